// The tools' system seam on Linux: arguments and file names are bytes, taken
// for UTF-8; signals end a run.
#include "system.h"

#include "text.h"
#include "tool_error.h"
#include "tool_main.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace pitool {
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
        std::memcpy(buffer, utf8Path->c_str(), utf8Path->size() + 1);
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

int RunProgram(const std::string& program, const std::vector<std::string>& args,
               std::string* error) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);
    pid_t child;
    const int started =
        posix_spawnp(&child, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (started != 0) {
        *error = "cannot run " + program + ": " + strerror(started);
        return -1;
    }
    int status;
    while (waitpid(child, &status, 0) < 0)
        if (errno != EINTR) {
            *error = "lost " + program + ": " + strerror(errno);
            return -1;
        }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    *error = program + " was ended by signal " + std::to_string(WTERMSIG(status));
    return -1;
}

} // namespace pitool
