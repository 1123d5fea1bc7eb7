// What the job posts to its window, and in which order.
#include "patch_test_support.h"

#include "patch/progress.h"
#include "platform/message_window.h"

#include <gtest/gtest.h>

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
