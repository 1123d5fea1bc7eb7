// The update dialog owns the patch job; destroying the dialog must not leave
// a worker thread running on a job object that no longer exists.
#include "ui/orv_dlg.h"

#include "patch/progress.h"
#include "ui_test_support.h"

#include <gtest/gtest.h>

struct OrvDlgTestAccess {
    static CUpdateThread& Job(COrvDlg& dialog) { return dialog.m_updateThread; }
};

namespace {

// The job finds no patch in this test program; it still makes and removes
// its temporary file and reports its end, which takes a while under wine.
TEST(UpdateDialog, DestroyingItWaitsForTheJobsWorker) {
    ScratchDir game;
    g_hMainDlg = nullptr;
    for (int round = 0; round < 20; ++round) {
        auto* dialog = new COrvDlg();
        CUpdateThread& job = OrvDlgTestAccess::Job(*dialog);
        job.SetModuleDir(game.Path());
        ASSERT_TRUE(job.Start());
        // By its id, not by job.Handle(), which the worker may be closing
        // right now: the job keeps a handle on its thread until it has waited
        // for it, so until then the id names that thread and no other.
        HANDLE thread = OpenThread(SYNCHRONIZE, FALSE, job.ThreadId());
        ASSERT_NE(thread, nullptr) << "round " << round;
        delete dialog;
        EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0) << "round " << round;
        CloseHandle(thread);
        WIN32_FIND_DATAA found;
        HANDLE search = FindFirstFileA((game.Path() + "\\qv*.tmp").c_str(), &found);
        EXPECT_EQ(search, INVALID_HANDLE_VALUE) << "round " << round;
        if (search != INVALID_HANDLE_VALUE) {
            FindClose(search);
        }
    }
}

} // namespace
