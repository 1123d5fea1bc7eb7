// The patch job in-process, for what the end-to-end tests of tests/cli cannot
// reach: a cancel at a chosen instant, and installers that the system would
// not even start.
#include "patch_test_support.h"

#include "pak/pak_manager.h"
#include "patch/progress.h"
#include "platform/message_window.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>

using namespace patchtest;

namespace {

void ExpectNoLeftovers(const Workspace& space, const std::string& archive = "") {
    EXPECT_TRUE(LeftoverTemps(space.game()).empty());
    if (!archive.empty()) {
        EXPECT_FALSE(Exists(space.GamePath(archive + ".tmp")));
        EXPECT_FALSE(Exists(space.GamePath(archive + ".bak")));
    }
    // No archive is still held by the pak library.
    EXPECT_EQ(pitest::HeldOpenUnder(space.game(), ".pak"), std::vector<std::string>());
}

} // namespace

TEST(Job, CancelDuringARewriteLetsItFinishAndPostsNoDone) {
    Workspace space;
    PackageContents contents;
    contents.paks.push_back({"x.pak", Stamp(1), {space.File("s1.txt", "one")}});
    contents.paks.push_back({"y.pak", Stamp(2), {space.File("s2.txt", "two")}});
    contents.looseFiles.push_back(space.File("a.txt", "a"));
    const std::string installer = space.Build(contents);

    HWND window = pi::CreateMessageWindow();
    g_hMainDlg = window;
    HeldJob job;
    job.SetModuleDir(space.game());
    job.SetInstallerPath(installer);
    ASSERT_TRUE(job.Start());
    while (!job.held.load())
        Sleep(1);
    job.Cancel();
    WaitForJob(job);
    std::vector<std::string> messages;
    MSG msg;
    while (PeekMessageA(&msg, window, 0, 0, PM_REMOVE))
        messages.push_back(Describe(msg.message, msg.wParam));
    g_hMainDlg = nullptr;
    pi::DestroyMessageWindow(window);

    EXPECT_FALSE(job.GetResult());
    EXPECT_FALSE(job.IsCancelling());
    EXPECT_EQ(std::count(messages.begin(), messages.end(), "done"), 0);
    EXPECT_EQ(messages.back(), "item 100");
    EXPECT_EQ(ReadArchive(space.GamePath("x.pak")),
              (std::map<std::string, std::string>{{"s1.txt", "one"}}));
    EXPECT_FALSE(Exists(space.GamePath("y.pak")));
    ExpectNoLeftovers(space, "x.pak");
}

// The one damage an executable installer cannot carry: it is shorter than its
// trailer. A job object that succeeded before does not keep that success.
TEST(Job, InstallerShorterThanItsTrailerFailsEvenAfterASuccess) {
    Workspace space;
    PackageContents contents;
    contents.looseFiles.push_back(space.File("a.txt", "a"));
    CUpdateThread job;
    ASSERT_TRUE(RunJob(job, space.game(), space.Build(contents)).result);
    WriteFileBytes(space.root() + "\\tiny.exe", "MZ\x01");
    const auto before = ReadFileBytes(space.GamePath("a.txt"));

    const JobRun run = RunJob(job, space.game(), space.root() + "\\tiny.exe");
    EXPECT_FALSE(run.result);
    EXPECT_EQ(run.messages, std::vector<std::string>{"done"});
    EXPECT_FALSE(run.failure.empty());
    EXPECT_EQ(ReadFileBytes(space.GamePath("a.txt")), before);
    ExpectNoLeftovers(space);
}

TEST(Job, GarbageBeforeTheTrailerAndAnySecondTrailerWordAreAccepted) {
    Workspace space;
    PackageContents contents;
    contents.looseFiles.push_back(space.File("a.txt", "content"));
    const std::string good = ReadFileBytes(space.Build(contents));
    std::string trailer = good.substr(good.size() - 8);
    trailer.replace(4, 4, "\xEF\xBE\xAD\xDE");
    const std::string installer = space.root() + "\\garbage.exe";
    WriteFileBytes(installer, good.substr(0, good.size() - 8) + std::string(777, '\x33') + trailer);
    const JobRun run = RunJob(space.game(), installer);
    EXPECT_TRUE(run.result) << run.failure;
    EXPECT_EQ(ReadFileBytes(space.GamePath("a.txt")), "content");
}

namespace {

std::atomic<bool> g_workerEntered{false};
std::atomic<bool> g_workerReturned{false};

// Marks that the worker is in the job, and, a little after the job's Run has
// returned, that it got there. It touches no member then: the object may
// already be half destroyed.
class ReturnWatch final : public CUpdateThread {
  public:
    u32 Run() override {
        g_workerEntered.store(true);
        const u32 result = CUpdateThread::Run();
        Sleep(20);
        g_workerReturned.store(true);
        return result;
    }
};

} // namespace

// The owner (the update dialog) may destroy the job as soon as it is told
// that the job is done: the destruction waits for the worker. Here the job
// finds no patch in the test program; it still makes and removes its
// temporary file and reports its end.
TEST(Job, DestroyingItWaitsForItsWorker) {
    Workspace space;
    g_hMainDlg = nullptr;
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        g_workerEntered.store(false);
        g_workerReturned.store(false);
        auto* job = new ReturnWatch();
        job->SetModuleDir(space.game());
        ASSERT_TRUE(job->Start());
        // Destroyed only once the worker runs this class's Run: before that,
        // the destruction would already have made it the base class's.
        while (!g_workerEntered.load())
            Sleep(1);
#ifdef _WIN32
        // By its id, not by Handle(), which the worker may be closing right
        // now: the job keeps a handle on its thread until it has waited for
        // it, so until then the id names that thread and no other.
        HANDLE thread = OpenThread(SYNCHRONIZE, FALSE, job->ThreadId());
        ASSERT_NE(thread, nullptr);
#endif
        delete job;
        EXPECT_TRUE(g_workerReturned.load());
#ifdef _WIN32
        EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);
        CloseHandle(thread);
#endif
        EXPECT_TRUE(LeftoverTemps(space.game()).empty());
    }
}
