// The worker-thread base: starts Run() on a thread of its own and hands the
// thread handle over, exactly once, to whoever releases it.
#include "runtime/thread_object.h"

#include <initializer_list>

// Handles left by a run that ended without a waiter have no other owner
// once the object is idle: its thread's own handle, if the thread ended
// before Start stored it, and the waiter's copy.
void CThreadObjectEx::ReleaseStaleHandles() {
    if (m_active.load() != 0)
        return;
    for (std::atomic<HANDLE>* field : {&m_handle, &m_waitHandle}) {
        HANDLE stale = field->exchange(nullptr);
        if (stale != nullptr)
            CloseHandle(stale);
    }
}

bool CThreadObjectEx::Start() {
    ReleaseStaleHandles();
    // Counted before the thread exists, so that it can never be seen idle
    // while its thread may still touch the object.
    m_active.fetch_add(1);
    uintptr_t thread = _beginthreadex(nullptr, 0, ThreadEntry, this, 0, &m_threadId);
    if (thread == 0) {
        m_active.fetch_sub(1);
        return false;
    }
    // The thread cannot release its handle before it is stored below, so
    // the copy is made of a handle that is certainly open. Without a copy a
    // waiter falls back to the object's own count of its thread.
    HANDLE copy = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), reinterpret_cast<HANDLE>(thread), GetCurrentProcess(),
                         &copy, SYNCHRONIZE, FALSE, 0))
        copy = nullptr;
    HANDLE stale = m_waitHandle.exchange(copy);
    if (stale != nullptr)
        CloseHandle(stale); // Start while a thread still ran: that one is let go
    m_handle.store(reinterpret_cast<HANDLE>(thread));
    return true;
}

void CThreadObjectEx::Wait() {
    HANDLE thread = m_handle.exchange(nullptr);
    HANDLE copy = m_waitHandle.exchange(nullptr);
    if (copy != nullptr || thread != nullptr) {
        WaitForSingleObject(copy != nullptr ? copy : thread, INFINITE);
    } else {
        // No handle to wait on: the thread released its own and the copy
        // could not be made. Its last touch of the object is the best sign.
        while (m_active.load() != 0)
            Sleep(1);
    }
    for (HANDLE handle : {copy, thread})
        if (handle != nullptr)
            CloseHandle(handle);
}

void CThreadObjectEx::WaitForEnd() {
    Wait();
    // The thread may be between the end of Run and its last use of m_active.
    while (m_active.load() != 0)
        Sleep(1);
}

CThreadObjectEx::~CThreadObjectEx() {
    WaitForEnd();
}

unsigned __stdcall CThreadObjectEx::ThreadEntry(void* object) {
    CThreadObjectEx* self = static_cast<CThreadObjectEx*>(object);
    u32 result = self->Run();
    HANDLE own = self->m_handle.exchange(nullptr);
    if (own != nullptr)
        CloseHandle(own);
    // Last touch of the object: after this the owner may destroy it.
    self->m_active.fetch_sub(1);
    return result;
}
