// The tools' system seam on Linux: arguments and file names are bytes, taken
// for UTF-8; signals end a run.
#include "system.h"

#include "text.h"
#include "tool_error.h"
#include "tool_main.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace pitool {
namespace {

constexpr u64 kTicksPerSecond = 10000000;
// Seconds from 1601-01-01 (FILETIME's origin) to 1970-01-01.
constexpr i64 kFileTimeToUnixSeconds = 11644473600LL;

// Read by the signal handler: a fixed buffer, never reallocated.
char g_interruptPath[4096];

void OnInterrupt(int) {
    if (g_interruptPath[0] != '\0')
        unlink(g_interruptPath);
    _exit(130);
}

} // namespace

std::vector<std::string> ArgumentsOf(int argc, char** argv) {
    return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

std::string LibraryPath(const std::string& utf8Path, const std::string& what, int exitCode) {
    return ToAcp(utf8Path, what, exitCode);
}

std::string ErrorText(const std::error_code& error) {
    return error.message();
}

void PrepareOutput() {}

bool IsTerminal(std::FILE* stream) {
    return isatty(fileno(stream)) != 0;
}

FILETIME ModificationTime(const std::string& utf8Path) {
    struct stat st;
    if (stat(utf8Path.c_str(), &st) != 0)
        ThrowToolError(kExitUsageOrIo,
                       "cannot read the time of " + utf8Path + ": " + std::strerror(errno));
    const i64 seconds = static_cast<i64>(st.st_mtim.tv_sec) + kFileTimeToUnixSeconds;
    u64 ticks = 0;
    if (seconds > 0)
        ticks = static_cast<u64>(seconds) * kTicksPerSecond + st.st_mtim.tv_nsec / 100;
    FILETIME stamp;
    stamp.dwLowDateTime = static_cast<DWORD>(ticks);
    stamp.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return stamp;
}

void RemoveOnInterrupt(const std::string* utf8Path) {
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
    g_interruptPath[0] = '\0';
    if (utf8Path != nullptr && utf8Path->size() < sizeof g_interruptPath)
        std::memcpy(g_interruptPath, utf8Path->c_str(), utf8Path->size() + 1);
    sigprocmask(SIG_SETMASK, &previous, nullptr);
}

} // namespace pitool
