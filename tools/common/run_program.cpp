#include "run_program.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <cstring>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;
#endif

namespace pitool {

#ifdef _WIN32
namespace {

std::wstring Wide(const std::string& utf8) {
    const int length =
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(length, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &wide[0], length);
    return wide;
}

// One argument quoted so that the child's CommandLineToArgvW gives it back
// as it was: backslashes are literal except before a quote.
void AppendQuoted(std::wstring* line, const std::wstring& arg) {
    if (!line->empty())
        *line += L' ';
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        *line += arg;
        return;
    }
    *line += L'"';
    size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        line->append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        *line += c;
    }
    line->append(backslashes * 2, L'\\');
    *line += L'"';
}

} // namespace

int RunProgram(const std::string& program, const std::vector<std::string>& args,
               std::string* error) {
    std::wstring line;
    AppendQuoted(&line, Wide(program));
    for (const std::string& arg : args)
        AppendQuoted(&line, Wide(arg));
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_ERROR_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &process)) {
        *error = "cannot run " + program + " (error " + std::to_string(GetLastError()) + ")";
        return -1;
    }
    CloseHandle(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    return static_cast<int>(code);
}

#else

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

#endif

} // namespace pitool
