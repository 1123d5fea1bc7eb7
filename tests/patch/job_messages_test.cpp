// What the job posts to its window, and in which order.
#include "patch_test_support.h"

#include "patch/progress.h"
#include "platform/message_window.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace patchtest;
using Messages = std::vector<std::string>;

// A loose file of 20000 bytes posts item steps as its pieces go; the overall
// bar reaches 100 before the archive is rewritten; an archive without
// records posts its name and an unchanged overall, and is not created.
TEST(JobMessages, PostedInOrderForEachKindOfRecord) {
    Workspace space;
    const struct {
        const char* what;
        PackageContents contents;
        Messages expected;
        const char* lastName;
    } kCases[] = {
        {"big loose file",
         {{}, {space.File("big.bin", std::string(20000, 'b'))}},
         {"name", "item 0", "item 40", "item 81", "item 100", "overall 100", "done"},
         "big.bin"},
        {"two loose files and an archive",
         {{{"x.pak", Stamp(5), {space.File("s1.txt", "one"), space.File("s2.txt", "two")}}},
          {space.File("l1.txt", "l-one"), space.File("l2.txt", "l-two")}},
         {"name", "item 0", "item 100", "overall 25", "name", "item 0", "item 100", "overall 50",
          "name", "overall 100", "item 0", "item 50", "item 100", "done"},
         "x.pak"},
        {"archive without records",
         {{{"none.pak", Stamp(5), {}}}, {space.File("l.txt", "")}},
         {"name", "item 0", "overall 100", "name", "overall 100", "done"},
         "none.pak"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.what);
        const JobRun run = RunJob(space.game(), space.Build(c.contents));
        EXPECT_TRUE(run.result) << run.failure;
        EXPECT_EQ(run.messages, c.expected);
        EXPECT_EQ(GetCurrentItemName(), c.lastName);
    }
    EXPECT_FALSE(Exists(space.GamePath("none.pak")));
}

// Watched while the job runs: the one completion message arrives when the
// temporary package is already gone.
TEST(JobMessages, SuccessPostsDoneOnceAfterTheTemporaryFileIsDeleted) {
    Workspace space;
    PackageContents contents;
    contents.looseFiles.push_back(space.File("a.txt", std::string(100000, 'a')));
    const std::string installer = space.Build(contents);
    HWND window = pi::CreateMessageWindow();
    g_hMainDlg = window;
    CUpdateThread job;
    job.SetModuleDir(space.game());
    job.SetInstallerPath(installer);
    ASSERT_TRUE(job.Start());
    int done = 0;
    bool tempGoneAtDone = false;
    for (bool running = true; running;) {
        running = job.IsRunning();
        MSG msg;
        while (PeekMessageA(&msg, window, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_PATCH_DONE) {
                ++done;
                tempGoneAtDone = LeftoverTemps(space.game()).empty();
            }
        }
        Sleep(1);
    }
    WaitForJob(job);
    g_hMainDlg = nullptr;
    pi::DestroyMessageWindow(window);
    EXPECT_EQ(done, 1);
    EXPECT_TRUE(tempGoneAtDone);
    EXPECT_TRUE(job.GetResult());
    EXPECT_EQ(job.GetFailureReason(), "");
}

namespace {

// The window's messages until WM_PATCH_DONE, or until `patience` has passed
// once the job's worker ended without it.
Messages PumpUntilDone(HWND window, CUpdateThread& job, DWORD patience) {
    Messages seen;
    DWORD waited = 0;
    for (;;) {
        const bool ended = !job.IsRunning();
        MSG msg;
        while (PeekMessageA(&msg, window, 0, 0, PM_REMOVE)) {
            seen.push_back(Describe(msg.message, msg.wParam));
            if (msg.message == WM_PATCH_DONE)
                return seen;
        }
        if (ended && (waited += 10) > patience)
            return seen;
        Sleep(10);
    }
}

} // namespace

// A queue holds at most 10,000 posted messages and drops the rest. A file of
// 200 MiB is copied in 25,600 pieces: one message for each, while the window
// does not pump, would crowd out the job's end for good.
TEST(JobMessages, DoneArrivesThoughTheWindowStoppedPumping) {
    Workspace space;
    PackageContents contents;
    contents.looseFiles.push_back(space.File("big.bin", std::string(200u << 20, 'q')));
    const std::string installer = space.Build(contents);
    HWND window = pi::CreateMessageWindow();
    g_hMainDlg = window;
    CUpdateThread job;
    job.SetModuleDir(space.game());
    job.SetInstallerPath(installer);
    ASSERT_TRUE(job.Start());
    while (job.IsRunning()) // the window's thread is busy elsewhere
        Sleep(10);
    const Messages seen = PumpUntilDone(window, job, 2000);
    WaitForJob(job);
    EXPECT_TRUE(job.GetResult()) << job.GetFailureReason();
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back(), "done");
    // One step per percentage: 0 to 100.
    EXPECT_EQ(std::count_if(seen.begin(), seen.end(),
                            [](const std::string& m) { return m.rfind("item ", 0) == 0; }),
              101);

    // A queue already full when the job ends: the end waits until the
    // window reads again.
    for (int i = 0; i < 10000 && PostMessageA(window, WM_APP, 0, 0); ++i) {
    }
    PackageContents small;
    small.looseFiles.push_back(space.File("small.txt", "small"));
    job.SetInstallerPath(space.Build(small));
    ASSERT_TRUE(job.Start());
    Sleep(300);
    const Messages later = PumpUntilDone(window, job, 2000);
    WaitForJob(job);
    EXPECT_TRUE(job.GetResult()) << job.GetFailureReason();
    ASSERT_FALSE(later.empty());
    EXPECT_EQ(later.back(), "done");
    g_hMainDlg = nullptr;
    pi::DestroyMessageWindow(window);
}
