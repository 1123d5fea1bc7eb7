// Base of an object that runs its own Run() on a thread of its own.
#pragma once

#include "platform/win32.h"
#include "runtime/types.h"

#include <atomic>

class CThreadObjectEx {
  public:
    CThreadObjectEx() = default;
    CThreadObjectEx(const CThreadObjectEx&) = delete;
    CThreadObjectEx& operator=(const CThreadObjectEx&) = delete;

    // Starts a thread that calls Run(). False when it cannot be created.
    bool Start();
    // Blocks until the thread has ended, then releases its handle.
    void Wait();
    // Waits, then also until the thread has made its last use of this object.
    // A derived class calls it first thing in its destructor: by the time the
    // base destructor runs, the derived members the thread uses are gone.
    void WaitForEnd();
    // True from Start until the thread has stopped touching this object.
    bool IsRunning() const { return m_active.load() != 0; }
    // The thread handle, or null when the object holds none.
    HANDLE Handle() const { return m_handle.load(); }
    // The identifier of the last thread started. It names that thread until
    // its end has been waited for: the object keeps a handle on it till then.
    unsigned ThreadId() const { return m_threadId; }

    virtual u32 Run() { return 0; }

  protected:
    // Waits for a thread that has not yet ended: the owner may destroy the
    // object right after the job reported its end, while the thread is still
    // returning from Run.
    ~CThreadObjectEx();

    // The handle is taken out of this field atomically by whichever side
    // releases it (the waiter, or the thread when its body ends), so it is
    // closed exactly once.
    std::atomic<HANDLE> m_handle{nullptr};
    unsigned m_threadId = 0;
    // Set by Start, cleared by the thread after its last use of the object.
    std::atomic<int> m_active{0};

  private:
    static unsigned __stdcall ThreadEntry(void* object);
    void ReleaseStaleHandles();

    // The waiter's own handle on the thread, taken by Start. The thread
    // releases m_handle as its body ends, and a waiter that comes after
    // that must still wait for the thread's end itself. Start and Wait run
    // on the owner's thread; the worker never touches this one.
    std::atomic<HANDLE> m_waitHandle{nullptr};
};
