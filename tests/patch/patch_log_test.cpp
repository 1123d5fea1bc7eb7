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

std::string ProgramLog() {
    // The log is written through standard I/O and flushed only at exit.
    std::fflush(nullptr);
    // Read with standard I/O too: the log stays open for writing.
    std::ifstream in(ProgramLogPath(), std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

} // namespace

// The log is for what went wrong. A cancel is the player's choice, and its
// first line would wipe the log of an earlier run that did fail.
TEST(JobLog, ACancelWritesNothing) {
    Workspace space;
    PackageContents contents;
    contents.paks.push_back({"x.pak", Stamp(1), {space.File("s1.txt", "one")}});
    contents.paks.push_back({"y.pak", Stamp(2), {space.File("s2.txt", "two")}});
    HeldJob job;
    job.SetModuleDir(space.game());
    job.SetInstallerPath(space.Build(contents));
    ASSERT_TRUE(job.Start());
    while (!job.held.load())
        Sleep(1);
    job.Cancel();
    WaitForJob(job);
    EXPECT_FALSE(job.GetResult());
    EXPECT_EQ(ProgramLog().find("cancelled"), std::string::npos);
}

TEST(JobLog, FailureReasonIsWrittenAsOneLine) {
    Workspace space;
    const std::string installer = space.root() + "\\empty.exe";
    WriteFileBytes(installer, "MZ" + std::string(8, '\0'));
    const JobRun run = RunJob(space.game(), installer);
    ASSERT_FALSE(run.result);
    EXPECT_NE(run.failure.find("carries no patch"), std::string::npos) << run.failure;
    const std::string log = ProgramLog();
    EXPECT_NE(log.find("Update failed: " + run.failure), std::string::npos) << log;
}
