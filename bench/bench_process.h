// Running the measured programs: one child process at a time, its wall time,
// CPU time and peak resident memory (from wait4), and the page cache.
#pragma once

#include <string>
#include <vector>

namespace bench {

struct Sample {
    double wall = 0;  // seconds
    double cpu = 0;   // user + system seconds
    long peakKiB = 0; // maximum resident set size
};

struct Command {
    std::vector<std::string> argv;
    std::string stdoutPath = "/dev/null";
    std::string stderrPath = "/dev/null";
};

// The small program that starts each measured one (bench_spawn).
void SetSpawner(const std::string& path);

// Runs `command` and waits for it; throws when it cannot start or does not
// exit with status 0 (the files it wrote to say why).
Sample Run(const Command& command);

// Runs a helper whose time is not measured (setting up a run); throws on
// failure.
void RunQuietly(const std::vector<std::string>& argv);

// Writes dirty pages back and drops the page cache: false when the system
// does not allow it.
bool DropCaches();

// The medians and the largest peak of several samples.
Sample Median(std::vector<Sample> samples);

std::string ReadText(const std::string& path);

} // namespace bench
