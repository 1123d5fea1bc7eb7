// Threads, critical sections and message queues of the Linux layer. No case
// depends on timing: threads are held and released through gates.
#include "platform/message_window.h"
#include "platform/win32.h"

#include <atomic>
#include <future>
#include <gtest/gtest.h>
#include <thread>

namespace {

// A thread body that waits for the test to open its gate, then returns 7.
struct Gate {
    std::promise<void> open;
    std::shared_future<void> opened = open.get_future().share();
    std::atomic<DWORD> seenId{0};
    std::atomic<bool> finished{false};
};

unsigned __stdcall GatedBody(void* raw) {
    auto* gate = static_cast<Gate*>(raw);
    gate->seenId = GetCurrentThreadId();
    gate->opened.wait();
    gate->finished = true;
    return 7;
}

HANDLE StartGated(Gate* gate, unsigned* id = nullptr) {
    return reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, GatedBody, gate, 0, id));
}

TEST(Threads, WaitAndExitCode) {
    Gate gate;
    unsigned id = 0;
    HANDLE thread = StartGated(&gate, &id);
    ASSERT_NE(thread, nullptr);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_TIMEOUT);
    gate.open.set_value();
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 7u);
    EXPECT_EQ(gate.seenId.load(), id);
    EXPECT_NE(id, GetCurrentThreadId());
    EXPECT_TRUE(CloseHandle(thread));
    EXPECT_FALSE(CloseHandle(thread));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_FAILED);
}

TEST(Threads, HandleClosedBeforeTheEnd) {
    Gate gate;
    HANDLE thread = StartGated(&gate);
    EXPECT_TRUE(CloseHandle(thread));
    gate.open.set_value();
    while (!gate.finished)
        std::this_thread::yield();
}

struct Counter {
    CRITICAL_SECTION section;
    long value = 0;
};

unsigned __stdcall CountUnderLock(void* raw) {
    auto* counter = static_cast<Counter*>(raw);
    for (int i = 0; i < 5000; ++i) {
        EnterCriticalSection(&counter->section);
        EnterCriticalSection(&counter->section); // re-entrant
        counter->value += 1;
        LeaveCriticalSection(&counter->section);
        LeaveCriticalSection(&counter->section);
    }
    return 0;
}

TEST(Threads, CriticalSectionIsRecursiveAndExclusive) {
    Counter counter;
    ASSERT_TRUE(InitializeCriticalSectionAndSpinCount(&counter.section, 4000));
    HANDLE threads[4];
    for (HANDLE& thread : threads)
        thread = reinterpret_cast<HANDLE>(
            _beginthreadex(nullptr, 0, CountUnderLock, &counter, 0, nullptr));
    for (HANDLE thread : threads) {
        EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
        CloseHandle(thread);
    }
    EXPECT_EQ(counter.value, 4 * 5000);
    DeleteCriticalSection(&counter.section);
}

TEST(Messages, CrossThreadInOrderUntilQuit) {
    HWND window = pi::CreateMessageWindow();
    ASSERT_NE(window, nullptr);
    std::thread poster([window] {
        for (UINT i = 0; i < 100; ++i)
            PostMessageA(window, WM_APP + i, i, -static_cast<LPARAM>(i));
        PostMessageA(window, WM_QUIT, 0, 0);
    });
    MSG msg;
    UINT expected = 0;
    while (GetMessageA(&msg, window, 0, 0) == TRUE) {
        EXPECT_EQ(msg.message, WM_APP + expected);
        EXPECT_EQ(msg.wParam, expected);
        EXPECT_EQ(msg.lParam, -static_cast<LPARAM>(expected));
        EXPECT_EQ(msg.hwnd, window);
        ++expected;
    }
    EXPECT_EQ(msg.message, WM_QUIT);
    EXPECT_EQ(expected, 100u);
    poster.join();
    pi::DestroyMessageWindow(window);
}

TEST(Messages, PeekFiltersAndDestroyedWindows) {
    HWND window = pi::CreateMessageWindow();
    MSG msg;
    EXPECT_FALSE(PeekMessageA(&msg, window, 0, 0, PM_REMOVE));
    PostMessageA(window, WM_USER + 1, 1, 0);
    PostMessageA(window, WM_USER + 2, 2, 0);
    EXPECT_TRUE(PeekMessageA(&msg, window, 0, 0, PM_NOREMOVE));
    EXPECT_EQ(msg.message, WM_USER + 1);
    EXPECT_EQ(GetMessageA(&msg, window, WM_USER + 2, WM_USER + 2), TRUE);
    EXPECT_EQ(msg.message, WM_USER + 2);
    EXPECT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.message, WM_USER + 1);
    EXPECT_FALSE(PeekMessageA(&msg, window, 0, 0, PM_REMOVE));

    PostMessageA(window, WM_USER + 3, 3, 0);
    pi::DestroyMessageWindow(window);
    EXPECT_FALSE(PostMessageA(window, WM_USER, 0, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)); // its message went with it
    EXPECT_EQ(GetMessageA(&msg, window, 0, 0), -1);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
}

TEST(Messages, MessageBoxPrintsUtf8AndTakesTheDefault) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(MessageBoxA(nullptr, "内存不足", "错误", MB_OK), IDOK);
    EXPECT_EQ(MessageBoxA(nullptr, "继续?", "更新", MB_YESNO | MB_ICONQUESTION), IDYES);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), u8"错误: 内存不足\n更新: 继续?\n");
}

} // namespace
