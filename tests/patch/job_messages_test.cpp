// What the job posts to its window, and in which order.
#include "patch_test_support.h"

#include "patch/progress.h"
#include "platform/message_window.h"

#include <gtest/gtest.h>

using namespace patchtest;
using Messages = std::vector<std::string>;

TEST(JobMessages, LooseFileOf20000BytesPostsItemSteps) {
    Workspace space;
    PackageContents contents;
    contents.looseFiles.push_back(space.File("big.bin", std::string(20000, 'b')));
    const JobRun run = RunJob(space.game(), space.Build(contents));
    EXPECT_TRUE(run.result) << run.failure;
    EXPECT_EQ(run.messages, (Messages{"name", "item 0", "item 40", "item 81", "item 100",
                                      "overall 100", "done"}));
    EXPECT_EQ(GetCurrentItemName(), "big.bin");
}

TEST(JobMessages, OverallReaches100BeforeTheArchiveIsRewritten) {
    Workspace space;
    PackageContents contents;
    contents.paks.push_back(
        {"x.pak", Stamp(5), {space.File("s1.txt", "one"), space.File("s2.txt", "two")}});
    contents.looseFiles = {space.File("l1.txt", "l-one"), space.File("l2.txt", "l-two")};
    const JobRun run = RunJob(space.game(), space.Build(contents));
    EXPECT_TRUE(run.result) << run.failure;
    EXPECT_EQ(run.messages, (Messages{"name", "item 0", "item 100", "overall 25", "name", "item 0",
                                      "item 100", "overall 50", "name", "overall 100", "item 0",
                                      "item 50", "item 100", "done"}));
}

TEST(JobMessages, ArchiveWithoutRecordsPostsItsNameAndAnUnchangedOverall) {
    Workspace space;
    PackageContents contents;
    contents.paks.push_back({"none.pak", Stamp(5), {}});
    contents.looseFiles.push_back(space.File("l.txt", ""));
    const JobRun run = RunJob(space.game(), space.Build(contents));
    EXPECT_TRUE(run.result) << run.failure;
    EXPECT_EQ(run.messages,
              (Messages{"name", "item 0", "overall 100", "name", "overall 100", "done"}));
    EXPECT_FALSE(Exists(space.GamePath("none.pak")));
    EXPECT_EQ(ReadFileBytes(space.GamePath("l.txt")), "");
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
