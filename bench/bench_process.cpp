#include "bench_process.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace bench {
namespace {

std::string g_spawner = "bench_spawn";

std::string Joined(const std::vector<std::string>& argv) {
    std::string text;
    for (const std::string& arg : argv)
        text += (text.empty() ? "" : " ") + arg;
    return text;
}

} // namespace

void SetSpawner(const std::string& path) {
    g_spawner = path;
}

Sample Run(const Command& command) {
    std::vector<std::string> argv = {g_spawner, command.stdoutPath, command.stderrPath};
    argv.insert(argv.end(), command.argv.begin(), command.argv.end());
    std::string pipeCommand;
    for (const std::string& arg : argv)
        pipeCommand += "'" + arg + "' ";
    FILE* report = popen(pipeCommand.c_str(), "r");
    if (report == nullptr)
        throw std::runtime_error("cannot start " + g_spawner + ": " + strerror(errno));
    Sample sample;
    int status = -1;
    const int fields =
        std::fscanf(report, "%lf %lf %ld %d", &sample.wall, &sample.cpu, &sample.peakKiB, &status);
    pclose(report);
    if (fields != 4 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error("failed (status " + std::to_string(status) + "): " +
                                 Joined(command.argv) + "\n" + ReadText(command.stderrPath));
    return sample;
}

void RunQuietly(const std::vector<std::string>& argv) {
    Command command;
    command.argv = argv;
    Run(command);
}

bool DropCaches() {
    sync();
    std::ofstream control("/proc/sys/vm/drop_caches");
    if (!control)
        return false;
    control << "3\n";
    control.flush();
    return static_cast<bool>(control);
}

Sample Median(std::vector<Sample> samples) {
    Sample median;
    if (samples.empty())
        return median;
    auto middle = [&](auto field) {
        std::vector<double> values;
        for (const Sample& s : samples)
            values.push_back(field(s));
        std::sort(values.begin(), values.end());
        const size_t n = values.size();
        return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    };
    median.wall = middle([](const Sample& s) { return s.wall; });
    median.cpu = middle([](const Sample& s) { return s.cpu; });
    for (const Sample& s : samples)
        median.peakKiB = std::max(median.peakKiB, s.peakKiB);
    return median;
}

std::string ReadText(const std::string& path) {
    if (path == "/dev/null")
        return "";
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace bench
