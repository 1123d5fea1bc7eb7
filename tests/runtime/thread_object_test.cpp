#include "runtime/thread_object.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>

#ifndef _WIN32
#include "platform/fault.h"
#endif

namespace {

void WaitFor(const std::atomic<bool>& flag) {
    while (!flag.load()) {
        Sleep(1);
    }
}

// Runs until its gate opens; `done` is its very last step, like the job
// posting its end.
class Job final : public CThreadObjectEx {
  public:
    explicit Job(bool open) : gate(open) {}
    u32 Run() override {
        runs.fetch_add(1);
        WaitFor(gate);
        finished.store(true);
        return 7;
    }
    std::atomic<int> runs{0};
    std::atomic<bool> gate, finished{false};
};

TEST(CThreadObjectEx, ThreadReleasesItsHandleWhenRunEnds) {
    Job job(false);
    ASSERT_TRUE(job.Start());
    ASSERT_NE(job.Handle(), nullptr);
#ifdef _WIN32
    HANDLE copy = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), job.Handle(), GetCurrentProcess(), &copy, 0,
                                FALSE, DUPLICATE_SAME_ACCESS));
#endif
    job.gate.store(true);
    while (job.IsRunning()) {
        Sleep(1);
    }
    EXPECT_EQ(job.Handle(), nullptr);
#ifdef _WIN32
    DWORD code = 0;
    EXPECT_EQ(WaitForSingleObject(copy, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(GetExitCodeThread(copy, &code));
    EXPECT_EQ(code, 7u);
    CloseHandle(copy);
#endif
    // Started again after a finished run; Wait blocks until Run has returned.
    job.gate.store(false);
    job.finished.store(false);
    ASSERT_TRUE(job.Start());
    std::thread opener([&job] {
        Sleep(20);
        job.gate.store(true);
    });
    job.Wait();
    EXPECT_TRUE(job.finished.load());
    EXPECT_EQ(job.Handle(), nullptr);
    EXPECT_EQ(job.runs.load(), 2);
    opener.join();
}

TEST(CThreadObjectEx, OwnerMayDestroyRightAfterTheEndIsSignalled) {
    for (int i = 0; i < 200; ++i) {
        Job* job = new Job(true);
        ASSERT_TRUE(job->Start());
        WaitFor(job->finished);
        delete job;
    }
}

#ifndef _WIN32
TEST(CThreadObjectEx, FailedStartLeavesTheObjectIdle) {
    Job job(true);
    pi::fault::Arm(pi::fault::Call::BeginThread, 1, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_FALSE(job.Start());
    pi::fault::Disarm();
    EXPECT_FALSE(job.IsRunning());
    EXPECT_EQ(job.Handle(), nullptr);
}
#endif

} // namespace
