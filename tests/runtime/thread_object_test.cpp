#include "runtime/thread_object.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>

#ifndef _WIN32
#include "platform/fault.h"
#endif

namespace {

void WaitFor(const std::atomic<bool>& flag) {
    while (!flag.load())
        Sleep(1);
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
    while (job.IsRunning())
        Sleep(1);
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

// Holds its thread past the end of Run: a thread ends only after the runtime
// has destroyed its thread-local objects, and by then it has already given
// back its own handle.
struct Lingerer {
    std::atomic<bool>* gate = nullptr;
    std::atomic<bool>* gone = nullptr;
    ~Lingerer() {
        if (gate != nullptr) {
            WaitFor(*gate);
            gone->store(true);
        }
    }
};
thread_local Lingerer t_lingerer;

class LingeringJob final : public CThreadObjectEx {
  public:
    u32 Run() override {
        t_lingerer.gate = &gate;
        t_lingerer.gone = &gone;
        WaitFor(started); // Start has stored the handle the thread releases
        return 0;
    }
    std::atomic<bool> started{false}, gate{false}, gone{false};
};

TEST(CThreadObjectEx, WaitReturnsOnlyOnceTheThreadHasEnded) {
    LingeringJob job;
    std::atomic<bool> waiting{false};
    // Started beforehand: on Windows a thread-local destructor runs under the
    // loader lock, which a thread that starts meanwhile would wait for.
    std::thread opener([&job, &waiting] {
        WaitFor(waiting);
        Sleep(50);
        job.gate.store(true);
    });
    ASSERT_TRUE(job.Start());
    job.started.store(true);
    while (job.IsRunning())
        Sleep(1);
    EXPECT_EQ(job.Handle(), nullptr); // the thread released its own handle
    waiting.store(true);
    job.Wait();
    EXPECT_TRUE(job.gone.load());
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
