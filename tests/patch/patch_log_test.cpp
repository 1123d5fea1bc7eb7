// A failed job leaves its reason in the program log. The log is one file per
// program, so this case has a program of its own.
#include "patch_test_support.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

using namespace patchtest;

namespace {

// The executable's path with its extension replaced by ".log".
std::string ProgramLogPath() {
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string log(path, length);
    const size_t dot = log.rfind('.');
    const size_t separator = log.find_last_of("\\/");
    if (dot != std::string::npos && (separator == std::string::npos || dot > separator))
        log.resize(dot);
    return log + ".log";
}

} // namespace

TEST(JobLog, FailureReasonIsWrittenAsOneLine) {
    Workspace space;
    const std::string installer = space.root() + "\\empty.exe";
    WriteFileBytes(installer, "MZ" + std::string(8, '\0'));
    const JobRun run = RunJob(space.game(), installer);
    ASSERT_FALSE(run.result);
    EXPECT_NE(run.failure.find("carries no patch"), std::string::npos) << run.failure;
    // The log is written through standard I/O and flushed only at exit.
    std::fflush(nullptr);
    // Read with standard I/O too: the log stays open for writing.
    std::ifstream in(ProgramLogPath(), std::ios::binary);
    const std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(log.find("Update failed: " + run.failure), std::string::npos) << log;
}
