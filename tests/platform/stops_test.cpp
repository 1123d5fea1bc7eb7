// The stops of the layer, in a second process: PI_CRASH_AT ends it at its
// Nth call, PI_PAUSE_AT stops it there, and PI_POWERCUT_AT throws away what
// was not durable before ending it (or at its exit). The helper's "steps"
// make a known number of calls each (see helper.cpp).
#include "child_process.h"
#include "platform/fault.h"
#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

std::vector<std::string> StepArguments(const std::vector<std::string>& steps) {
    std::vector<std::string> args = {"steps"};
    args.insert(args.end(), steps.begin(), steps.end());
    return args;
}

// The helper's exit status.
int RunSteps(const std::vector<std::string>& steps, const std::vector<std::string>& env) {
    return pitest::RunProgram(PI_PLATFORM_HELPER, StepArguments(steps), env).exitCode;
}

std::vector<std::string> PowerCut(unsigned n, const ScratchDir& dir) {
    return {"PI_POWERCUT_AT=" + std::to_string(n), "PI_POWERCUT_DIR=" + dir.Path().string()};
}

const unsigned kNever = 1000000; // the cut comes at the exit

bool Exists(const std::string& path) {
    return fs::exists(path);
}

TEST(Stops, CrashEndsTheProcessAtTheNthCallWithoutMakingIt) {
    ScratchDir dir;
    // Calls 1-3 write a; call 4 would create b.
    EXPECT_EQ(
        pi::fault::kCrashExitCode,
        RunSteps({"write=" + dir / "a" + "=1", "write=" + dir / "b" + "=2"}, {"PI_CRASH_AT=4"}));
    EXPECT_EQ("1", ReadRaw(dir / "a"));
    EXPECT_FALSE(Exists(dir / "b"));
    EXPECT_EQ(0, RunSteps({"write=" + dir / "c" + "=3"}, {"PI_CRASH_AT=4"})); // never reached
}

TEST(Stops, PauseStopsTheProcessThereAndItGoesOnWhenContinued) {
    ScratchDir dir;
    pitest::ChildProcess helper;
    ASSERT_TRUE(
        helper.Start(PI_PLATFORM_HELPER,
                     StepArguments({"write=" + dir / "a" + "=1", "write=" + dir / "b" + "=2"}),
                     {"PI_PAUSE_AT=4"}));
    ASSERT_TRUE(helper.WaitUntilStopped());
    EXPECT_EQ("1", ReadRaw(dir / "a"));
    EXPECT_FALSE(Exists(dir / "b"));
    helper.Continue();
    EXPECT_EQ(0, helper.Wait().exitCode);
    EXPECT_EQ("2", ReadRaw(dir / "b"));
}

TEST(PowerCut, OnlyFlushedContentsSurvive) {
    ScratchDir dir;
    WriteRaw(dir / "old1", "old one");
    WriteRaw(dir / "old2", "old two");
    EXPECT_EQ(0, RunSteps({"write=" + dir / "new1" + "=a", "flush=" + dir / "new2" + "=b",
                           "write=" + dir / "old1" + "=x", "flush=" + dir / "old2" + "=y"},
                          PowerCut(kNever, dir)));
    // new2's flush synced the directory, and new1's name with it, but not
    // new1's bytes.
    EXPECT_TRUE(Exists(dir / "new1"));
    EXPECT_EQ("", ReadRaw(dir / "new1"));
    EXPECT_EQ("b", ReadRaw(dir / "new2"));
    EXPECT_EQ("old one", ReadRaw(dir / "old1"));
    EXPECT_EQ("y", ReadRaw(dir / "old2"));
}

TEST(PowerCut, TheCutAtTheNthCallEndsTheProcess) {
    ScratchDir dir;
    // Calls 1-4 write and flush a; call 6 would write b's bytes.
    EXPECT_EQ(
        pi::fault::kPowerCutExitCode,
        RunSteps({"flush=" + dir / "a" + "=1", "write=" + dir / "b" + "=2"}, PowerCut(6, dir)));
    EXPECT_EQ("1", ReadRaw(dir / "a"));
    EXPECT_FALSE(Exists(dir / "b"));
}

TEST(PowerCut, NamesAreDurableOnlyOnceTheirDirectoryIsSynced) {
    ScratchDir dir;
    fs::create_directory(dir / "plain");
    fs::create_directory(dir / "through");
    WriteRaw(dir / "plain/f1", "one");
    WriteRaw(dir / "plain/f2", "two");
    WriteRaw(dir / "through/f3", "three");
    WriteRaw(dir / "through/t", "target");
    EXPECT_EQ(0, RunSteps({"move=" + dir / "plain/f1" + "=" + dir / "plain/g1",
                           "delete=" + dir / "plain/f2",
                           "movewt=" + dir / "through/f3" + "=" + dir / "through/t",
                           "mkdir=" + dir / "new", "write=" + dir / "new/lost" + "=x"},
                          PowerCut(kNever, dir)));
    EXPECT_EQ("one", ReadRaw(dir / "plain/f1"));
    EXPECT_FALSE(Exists(dir / "plain/g1"));
    EXPECT_EQ("two", ReadRaw(dir / "plain/f2"));
    EXPECT_EQ("three", ReadRaw(dir / "through/t"));
    EXPECT_FALSE(Exists(dir / "through/f3"));
    EXPECT_TRUE(fs::is_directory(dir / "new")); // CreateDirectory writes its parent through
    EXPECT_FALSE(Exists(dir / "new/lost"));
}

TEST(PowerCut, AFlushSyncsTheNameAndTheDataOfItsFile) {
    ScratchDir dir;
    WriteRaw(dir / "a", "old");
    EXPECT_EQ(0, RunSteps({"move=" + dir / "a" + "=" + dir / "b", "flush=" + dir / "b" + "=new"},
                          PowerCut(kNever, dir)));
    EXPECT_FALSE(Exists(dir / "a"));
    EXPECT_EQ("new", ReadRaw(dir / "b"));
}

TEST(PowerCut, TimesAndModesNeedAFlushAWriteThroughHandleNeedsNone) {
    ScratchDir dir;
    WriteRaw(dir / "f", "f");
    WriteRaw(dir / "g", "g");
    WriteRaw(dir / "h", "old");
    struct stat before;
    ASSERT_EQ(0, stat((dir / "f").c_str(), &before));
    EXPECT_EQ(0, RunSteps({"time=" + dir / "f" + "=132000000000000000", "readonly=" + dir / "g",
                           "through=" + dir / "h" + "=durable"},
                          PowerCut(kNever, dir)));
    struct stat after;
    ASSERT_EQ(0, stat((dir / "f").c_str(), &after));
    EXPECT_EQ(before.st_mtim.tv_sec, after.st_mtim.tv_sec);
    EXPECT_EQ(before.st_mtim.tv_nsec, after.st_mtim.tv_nsec);
    ASSERT_EQ(0, stat((dir / "g").c_str(), &after));
    EXPECT_NE(0u, after.st_mode & S_IWUSR);
    EXPECT_EQ("durable", ReadRaw(dir / "h"));
}

} // namespace
