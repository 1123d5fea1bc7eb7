// Linux stand-in for Win32: critical sections (recursive mutexes), threads
// started the way the C runtime's _beginthreadex starts them, waits, exit
// codes, thread ids and Sleep.
//
// A thread object is shared by its handle and by the running thread itself;
// it is freed when the thread has ended and its handle is closed, in either
// order. The threads are detached: nobody joins them.
#include "platform/posix_seam.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <ctime>
#include <limits.h>
#include <mutex>
#include <unistd.h>

namespace pi::posix {
namespace {

typedef unsigned(__stdcall* ThreadStart)(void*);

struct ThreadObject : KernelObject {
    ThreadObject(ThreadStart s, void* a, DWORD i)
        : KernelObject(ObjectKind::Thread), start(s), argument(a), id(i) {}
    const ThreadStart start;
    void* const argument;
    const DWORD id;
    std::mutex mutex;
    std::condition_variable ended;
    bool running = true;
    DWORD exitCode = STILL_ACTIVE;
    DWORD returned = 0; // what the start routine returned, the exit code at the end
};

std::shared_ptr<ThreadObject> FindThread(HANDLE handle) {
    return std::static_pointer_cast<ThreadObject>(FindObject(handle, ObjectKind::Thread));
}

std::atomic<DWORD> g_nextThreadId{1};
thread_local DWORD t_threadId = 0;

DWORD NewThreadId() {
    return g_nextThreadId.fetch_add(1);
}

// A Windows thread has ended, and its handle is signalled, only once the
// runtime has destroyed the thread's thread-local objects. This one is made
// before any other of the thread's, so it is destroyed after them all, and
// only then says that the thread has ended.
struct ThreadEnd {
    std::shared_ptr<ThreadObject> thread;
    ~ThreadEnd() {
        if (!thread)
            return;
        {
            std::lock_guard<std::mutex> lock(thread->mutex);
            thread->exitCode = thread->returned;
            thread->running = false;
        }
        thread->ended.notify_all();
    }
};
thread_local ThreadEnd t_threadEnd;

// The running thread's own reference to its object travels in `raw`.
void* ThreadMain(void* raw) {
    std::unique_ptr<std::shared_ptr<ThreadObject>> self(
        static_cast<std::shared_ptr<ThreadObject>*>(raw));
    ThreadObject& thread = **self;
    t_threadEnd.thread = *self;
    t_threadId = thread.id;
    unsigned code = thread.start(thread.argument);
    std::lock_guard<std::mutex> lock(thread.mutex);
    thread.returned = code;
    return nullptr;
}

bool StartDetached(std::shared_ptr<ThreadObject> object, unsigned stackSize) {
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0)
        return false;
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    if (stackSize != 0)
        pthread_attr_setstacksize(&attributes,
                                  stackSize < PTHREAD_STACK_MIN ? PTHREAD_STACK_MIN : stackSize);
    auto* reference = new std::shared_ptr<ThreadObject>(std::move(object));
    pthread_t thread;
    int rc = pthread_create(&thread, &attributes, ThreadMain, reference);
    pthread_attr_destroy(&attributes);
    if (rc != 0) {
        delete reference;
        SetErrorFromErrno(rc == EAGAIN ? ENOMEM : rc);
        return false;
    }
    return true;
}

} // namespace
} // namespace pi::posix

using namespace pi::posix;
using pi::fault::Call;

extern "C" {

// A recursive mutex cannot fail to initialise on glibc; should it ever, the
// process stops here, as Windows raises an exception, rather than use it.
void InitializeCriticalSection(LPCRITICAL_SECTION section) {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    int rc = pthread_mutex_init(&section->mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
    if (rc != 0)
        abort();
}

BOOL InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION section, DWORD) {
    if (FaultFires(Call::InitializeCriticalSection))
        return FALSE;
    pthread_mutexattr_t attributes;
    if (pthread_mutexattr_init(&attributes) != 0)
        return ReturnError(ERROR_NOT_ENOUGH_MEMORY, FALSE);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    int rc = pthread_mutex_init(&section->mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
    if (rc != 0)
        return ReturnError(ERROR_NOT_ENOUGH_MEMORY, FALSE);
    return TRUE;
}

void EnterCriticalSection(LPCRITICAL_SECTION section) {
    pthread_mutex_lock(&section->mutex);
}

void LeaveCriticalSection(LPCRITICAL_SECTION section) {
    pthread_mutex_unlock(&section->mutex);
}

void DeleteCriticalSection(LPCRITICAL_SECTION section) {
    pthread_mutex_destroy(&section->mutex);
}

// No creation flags are supported (a suspended start is refused).
uintptr_t _beginthreadex(void*, unsigned stackSize, unsigned(__stdcall* start)(void*),
                         void* argument, unsigned flags, unsigned* threadId) {
    if (FaultFires(Call::BeginThread))
        return 0;
    if (start == nullptr || flags != 0)
        return ReturnError(ERROR_INVALID_PARAMETER, uintptr_t(0));
    auto object = std::make_shared<ThreadObject>(start, argument, NewThreadId());
    // The handle exists before the thread runs, so the thread may close it.
    HANDLE handle = OpenHandle(object);
    if (!StartDetached(object, stackSize)) {
        DWORD error = GetLastError();
        CloseObjectHandle(handle);
        return ReturnError(error, uintptr_t(0));
    }
    if (threadId != nullptr)
        *threadId = object->id;
    return reinterpret_cast<uintptr_t>(handle);
}

DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) {
    auto thread = FindThread(object);
    if (!thread)
        return WAIT_FAILED;
    std::unique_lock<std::mutex> lock(thread->mutex);
    auto ended = [&] { return !thread->running; };
    if (milliseconds == INFINITE) {
        thread->ended.wait(lock, ended);
        return WAIT_OBJECT_0;
    }
    bool done = thread->ended.wait_for(lock, std::chrono::milliseconds(milliseconds), ended);
    return done ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

BOOL GetExitCodeThread(HANDLE handle, LPDWORD exitCode) {
    auto thread = FindThread(handle);
    if (!thread)
        return FALSE;
    std::lock_guard<std::mutex> lock(thread->mutex);
    *exitCode = thread->exitCode;
    return TRUE;
}

DWORD GetCurrentThreadId(void) {
    if (t_threadId == 0)
        t_threadId = NewThreadId();
    return t_threadId;
}

DWORD GetCurrentProcessId(void) {
    return static_cast<DWORD>(getpid());
}

void Sleep(DWORD milliseconds) {
    struct timespec rest = {static_cast<time_t>(milliseconds / 1000),
                            static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
    }
}

} // extern "C"
