// The worker-thread base: starts Run() on a thread of its own and hands the
// thread handle over, exactly once, to whoever releases it.
#include "runtime/thread_object.h"

bool CThreadObjectEx::Start() {
    // A handle left behind by a thread that ended before Start stored it has
    // no other owner once the object is idle.
    if (m_active.load() == 0) {
        HANDLE stale = m_handle.exchange(nullptr);
        if (stale != nullptr) {
            CloseHandle(stale);
        }
    }
    // Counted before the thread exists, so that it can never be seen idle
    // while its thread may still touch the object.
    m_active.fetch_add(1);
    uintptr_t thread = _beginthreadex(nullptr, 0, ThreadEntry, this, 0, &m_threadId);
    if (thread == 0) {
        m_active.fetch_sub(1);
        return false;
    }
    m_handle.store(reinterpret_cast<HANDLE>(thread));
    return true;
}

void CThreadObjectEx::Wait() {
    HANDLE thread = m_handle.exchange(nullptr);
    if (thread != nullptr) {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
}

void CThreadObjectEx::WaitForEnd() {
    Wait();
    // The thread may be between the end of Run and its last use of m_active.
    while (m_active.load() != 0) {
        Sleep(1);
    }
}

CThreadObjectEx::~CThreadObjectEx() {
    WaitForEnd();
}

unsigned __stdcall CThreadObjectEx::ThreadEntry(void* object) {
    CThreadObjectEx* self = static_cast<CThreadObjectEx*>(object);
    u32 result = self->Run();
    HANDLE own = self->m_handle.exchange(nullptr);
    if (own != nullptr) {
        CloseHandle(own);
    }
    // Last touch of the object: after this the owner may destroy it.
    self->m_active.fetch_sub(1);
    return result;
}
