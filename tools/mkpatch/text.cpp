// Conversions, time stamps and the interrupt handler of mkpatch.
#include "mkpatch.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace mkpatch {
namespace {

constexpr u64 kTicksPerSecond = 10000000;
// Seconds from 1601-01-01 (FILETIME's origin) to 1970-01-01.
constexpr i64 kFileTimeToUnixSeconds = 11644473600LL;

// Read by the signal handler: fixed buffers, never reallocated.
char g_interruptPaths[2][4096];

void OnInterrupt(int) {
    for (const char* path : g_interruptPaths)
        if (path[0] != '\0')
            unlink(path);
    _exit(130);
}

void SetInterruptPath(char* buffer, const std::string* utf8Path) {
    buffer[0] = '\0';
    if (utf8Path != nullptr && utf8Path->size() < sizeof g_interruptPaths[0])
        memcpy(buffer, utf8Path->c_str(), utf8Path->size() + 1);
}

} // namespace

void RemoveOnInterrupt(const std::string* utf8Path, const std::string* second) {
    static bool installed = false;
    if (!installed) {
        installed = true;
        signal(SIGINT, OnInterrupt);
        signal(SIGTERM, OnInterrupt);
    }
    sigset_t signals, previous;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigprocmask(SIG_BLOCK, &signals, &previous);
    SetInterruptPath(g_interruptPaths[0], utf8Path);
    SetInterruptPath(g_interruptPaths[1], second);
    sigprocmask(SIG_SETMASK, &previous, nullptr);
}

std::string ToAcp(const std::string& utf8, const char* what) {
    return pitool::ToAcp(utf8, what, kExitBadInput);
}

std::string PathToAcp(const std::string& utf8Path) {
    return pitool::ToAcp(utf8Path, "the path", kExitUsageOrIo);
}

FILETIME ModificationTime(const std::string& utf8Path) {
    struct stat st;
    if (stat(utf8Path.c_str(), &st) != 0)
        ThrowToolError(kExitUsageOrIo,
                       "cannot read the time of " + utf8Path + ": " + strerror(errno));
    const i64 seconds = static_cast<i64>(st.st_mtim.tv_sec) + kFileTimeToUnixSeconds;
    u64 ticks = 0;
    if (seconds > 0)
        ticks = static_cast<u64>(seconds) * kTicksPerSecond + st.st_mtim.tv_nsec / 100;
    FILETIME stamp;
    stamp.dwLowDateTime = static_cast<DWORD>(ticks);
    stamp.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return stamp;
}

u64 StampValue(const FILETIME& stamp) {
    return (static_cast<u64>(stamp.dwHighDateTime) << 32) | stamp.dwLowDateTime;
}

std::string FormatStamp(const FILETIME& stamp) {
    return pitool::FormatFileTime(StampValue(stamp)) + " UTC";
}

} // namespace mkpatch
