// Windows that are only message queues.
//
// On Windows: a message-only window (parent HWND_MESSAGE) of a class
// registered once, whose procedure is the default one.
//
// On Linux this file also stands in for the message calls of Win32. As on
// Windows, each thread that made a window has one queue; a window belongs to
// the queue of the thread that made it, and PostMessageA with a null window
// posts to the calling thread's own queue. GetMessageA and PeekMessageA take
// from the calling thread's queue, in posting order, the first message that
// matches the window (null: any) and the filter range (0, 0: any).
#include "platform/message_window.h"

#ifdef _WIN32

namespace pi {
namespace {

const char kClassName[] = "PiMessageWindow";

bool RegisterOnce() {
    static const bool registered = [] {
        WNDCLASSA windowClass = {};
        windowClass.lpfnWndProc = DefWindowProcA;
        windowClass.hInstance = GetModuleHandleA(nullptr);
        windowClass.lpszClassName = kClassName;
        return RegisterClassA(&windowClass) != 0;
    }();
    return registered;
}

} // namespace

HWND CreateMessageWindow() {
    if (!RegisterOnce())
        return nullptr;
    return CreateWindowExA(0, kClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                           GetModuleHandleA(nullptr), nullptr);
}

void DestroyMessageWindow(HWND window) {
    if (window != nullptr)
        DestroyWindow(window);
}

} // namespace pi

#else // Linux

#include "platform/codepage.h"
#include "platform/posix_seam.h"

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <time.h>
#include <unordered_map>

namespace pi {
namespace {

struct ThreadQueue {
    std::mutex mutex;
    std::condition_variable arrived;
    std::deque<MSG> messages;
    std::set<HWND> windows; // the live windows of this queue
};

struct WindowRecord {
    std::shared_ptr<ThreadQueue> queue;
};

// Lock order: the registry, then a queue.
struct Registry {
    std::mutex mutex;
    std::unordered_map<HWND, std::unique_ptr<WindowRecord>> windows;
};

Registry& Windows() {
    static Registry* registry = new Registry; // outlives static destructors
    return *registry;
}

thread_local std::shared_ptr<ThreadQueue> t_queue;

std::shared_ptr<ThreadQueue> ThisThreadQueue() {
    if (!t_queue)
        t_queue = std::make_shared<ThreadQueue>();
    return t_queue;
}

DWORD TickCount() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<DWORD>(now.tv_sec * 1000 + now.tv_nsec / 1000000);
}

// A Windows thread's queue holds at most this many posted messages (the
// system's default); a post beyond it fails, and the message is dropped.
constexpr size_t kPostedMessageLimit = 10000;

BOOL Append(ThreadQueue& queue, HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    MSG msg = {};
    msg.hwnd = window;
    msg.message = message;
    msg.wParam = wParam;
    msg.lParam = lParam;
    msg.time = TickCount();
    {
        std::lock_guard<std::mutex> lock(queue.mutex);
        if (queue.messages.size() >= kPostedMessageLimit)
            return posix::ReturnError(ERROR_NOT_ENOUGH_QUOTA, FALSE);
        queue.messages.push_back(msg);
    }
    queue.arrived.notify_all();
    return TRUE;
}

bool Matches(const MSG& msg, HWND window, UINT filterMin, UINT filterMax) {
    bool inRange = (filterMin == 0 && filterMax == 0) ||
                   (msg.message >= filterMin && msg.message <= filterMax);
    return inRange && (window == nullptr || msg.hwnd == window);
}

// Takes (or copies) the first matching message; the queue's lock is held.
bool TakeLocked(ThreadQueue& queue, MSG* msg, HWND window, UINT filterMin, UINT filterMax,
                bool remove) {
    for (auto it = queue.messages.begin(); it != queue.messages.end(); ++it) {
        if (!Matches(*it, window, filterMin, filterMax))
            continue;
        *msg = *it;
        if (remove)
            queue.messages.erase(it);
        return true;
    }
    return false;
}

bool WindowGoneLocked(const ThreadQueue& queue, HWND window) {
    return window != nullptr && queue.windows.count(window) == 0;
}

} // namespace

HWND CreateMessageWindow() {
    auto record = std::make_unique<WindowRecord>();
    record->queue = ThisThreadQueue();
    HWND window = reinterpret_cast<HWND>(record.get());
    Registry& registry = Windows();
    std::lock_guard<std::mutex> lock(registry.mutex);
    {
        std::lock_guard<std::mutex> queueLock(record->queue->mutex);
        record->queue->windows.insert(window);
    }
    registry.windows[window] = std::move(record);
    return window;
}

// Messages still waiting for the window are dropped, as Windows does.
void DestroyMessageWindow(HWND window) {
    Registry& registry = Windows();
    std::lock_guard<std::mutex> lock(registry.mutex);
    auto it = registry.windows.find(window);
    if (it == registry.windows.end())
        return;
    ThreadQueue& queue = *it->second->queue;
    {
        std::lock_guard<std::mutex> queueLock(queue.mutex);
        queue.windows.erase(window);
        for (auto m = queue.messages.begin(); m != queue.messages.end();)
            m = m->hwnd == window ? queue.messages.erase(m) : m + 1;
    }
    queue.arrived.notify_all(); // a reader waiting on this window must see it go
    registry.windows.erase(it);
}

} // namespace pi

using namespace pi;
using namespace pi::posix;

extern "C" {

BOOL PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (FaultFires(fault::Call::PostMessage))
        return FALSE;
    if (window == nullptr)
        return Append(*ThisThreadQueue(), nullptr, message, wParam, lParam);
    // The registry stays locked while appending, so a window being destroyed
    // cannot receive a message after its queue was purged.
    Registry& registry = Windows();
    std::lock_guard<std::mutex> lock(registry.mutex);
    auto it = registry.windows.find(window);
    if (it == registry.windows.end())
        return ReturnError(ERROR_INVALID_WINDOW_HANDLE, FALSE);
    return Append(*it->second->queue, window, message, wParam, lParam);
}

// -1 with ERROR_INVALID_WINDOW_HANDLE for a window that is not one of the
// calling thread's, or that is destroyed while waiting; the same for a thread
// that has no queue at all, which would otherwise wait for ever.
BOOL GetMessageA(MSG* msg, HWND window, UINT filterMin, UINT filterMax) {
    std::shared_ptr<ThreadQueue> queue = t_queue;
    if (!queue)
        return ReturnError(ERROR_INVALID_WINDOW_HANDLE, -1);
    std::unique_lock<std::mutex> lock(queue->mutex);
    for (;;) {
        if (WindowGoneLocked(*queue, window))
            return ReturnError(ERROR_INVALID_WINDOW_HANDLE, -1);
        if (TakeLocked(*queue, msg, window, filterMin, filterMax, true))
            return msg->message == WM_QUIT ? FALSE : TRUE;
        queue->arrived.wait(lock);
    }
}

BOOL PeekMessageA(MSG* msg, HWND window, UINT filterMin, UINT filterMax, UINT remove) {
    std::shared_ptr<ThreadQueue> queue = t_queue;
    if (!queue)
        return FALSE;
    std::lock_guard<std::mutex> lock(queue->mutex);
    if (WindowGoneLocked(*queue, window))
        return ReturnError(ERROR_INVALID_WINDOW_HANDLE, FALSE);
    return TakeLocked(*queue, msg, window, filterMin, filterMax, (remove & PM_REMOVE) != 0) ? TRUE
                                                                                            : FALSE;
}

// Nobody is there to answer: the box is printed and the default taken.
int MessageBoxA(HWND, LPCSTR text, LPCSTR caption, UINT type) {
    std::string caption8 = AcpToUtf8Lossy(caption != nullptr ? caption : "Error");
    std::string text8 = AcpToUtf8Lossy(text != nullptr ? text : "");
    fprintf(stderr, "%s: %s\n", caption8.c_str(), text8.c_str());
    UINT buttons = type & 0xF;
    return buttons == MB_YESNO || buttons == 3 /* MB_YESNOCANCEL */ ? IDYES : IDOK;
}

} // extern "C"

#endif // _WIN32
