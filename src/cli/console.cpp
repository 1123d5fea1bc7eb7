// The terminal seam of the installer's front end: the one file that differs
// between Linux (a tty, the locale's encoding, signals taken by a thread of
// their own) and Windows (the console, its code page, a control handler).

#include "cli/console.h"

#include <atomic>
#include <cstring>

#ifdef _WIN32

#include <vector>

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

namespace cli {
namespace {

bool g_canRedraw = false;
std::atomic<HWND> g_watchWindow{nullptr};
UINT g_askMessage = 0;
UINT g_stopMessage = 0;
std::atomic<bool> g_interruptPending{false};

bool IsConsole(HANDLE handle) {
    DWORD mode = 0;
    return handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode);
}

std::wstring AcpToWide(const std::string& acp) {
    if (acp.empty())
        return std::wstring();
    int length = MultiByteToWideChar(CP_ACP, 0, acp.data(), (int)acp.size(), nullptr, 0);
    std::wstring wide(length > 0 ? length : 0, L'\0');
    if (length > 0)
        MultiByteToWideChar(CP_ACP, 0, acp.data(), (int)acp.size(), &wide[0], length);
    return wide;
}

// The console shows the text in its own code page, which need not be the
// program's: it gets UTF-16. A pipe or a file gets the program's bytes.
void WriteHandle(DWORD which, const std::string& acp) {
    HANDLE handle = GetStdHandle(which);
    if (handle == INVALID_HANDLE_VALUE || handle == nullptr)
        return;
    DWORD done = 0;
    if (IsConsole(handle)) {
        std::wstring wide = AcpToWide(acp);
        WriteConsoleW(handle, wide.data(), (DWORD)wide.size(), &done, nullptr);
        return;
    }
    size_t offset = 0;
    while (offset < acp.size()) {
        if (!WriteFile(handle, acp.data() + offset, (DWORD)(acp.size() - offset), &done, nullptr) ||
            done == 0)
            return;
        offset += done;
    }
}

BOOL WINAPI OnConsoleEvent(DWORD event) {
    HWND window = g_watchWindow.load();
    if (window == nullptr)
        return FALSE;
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
        if (!g_interruptPending.exchange(true))
            PostMessageA(window, g_askMessage, 0, 0);
        return TRUE;
    }
    // Closing the console ends the process when this handler returns: stop
    // the job first and let the main thread end the process.
    PostMessageA(window, g_stopMessage, event, 0);
    Sleep(INFINITE);
    return TRUE;
}

} // namespace

void InitConsole() {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    g_canRedraw =
        IsConsole(out) && GetConsoleMode(out, &mode) &&
        SetConsoleMode(out, mode | ENABLE_PROCESSED_OUTPUT | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

bool CanRedrawOutput() {
    return g_canRedraw;
}

int OutputColumns() {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info))
        return 0;
    return info.srWindow.Right - info.srWindow.Left + 1;
}

bool ArgumentToAcp(const char* argument, std::string* acp) {
    *acp = argument; // the runtime hands main() its arguments in the ANSI code page
    return true;
}

void WriteOut(const std::string& acp) {
    WriteHandle(STD_OUTPUT_HANDLE, acp);
}
void WriteErr(const std::string& acp) {
    WriteHandle(STD_ERROR_HANDLE, acp);
}

LineRead ReadLine(std::string* acp) {
    acp->clear();
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    if (IsConsole(in)) {
        std::wstring line;
        wchar_t buffer[256];
        DWORD done = 0;
        while (ReadConsoleW(in, buffer, 256, &done, nullptr) && done > 0) {
            line.append(buffer, done);
            if (line.back() == L'\n')
                break;
        }
        if (line.empty())
            return LineRead::EndOfInput;
        while (!line.empty() && (line.back() == L'\n' || line.back() == L'\r'))
            line.pop_back();
        if (line.empty())
            return LineRead::Read;
        BOOL lossy = FALSE;
        int length = WideCharToMultiByte(CP_ACP, 0, line.data(), (int)line.size(), nullptr, 0,
                                         nullptr, &lossy);
        if (length <= 0 || lossy)
            return LineRead::NoEquivalent;
        acp->resize(length);
        WideCharToMultiByte(CP_ACP, 0, line.data(), (int)line.size(), &(*acp)[0], length, nullptr,
                            nullptr);
        return LineRead::Read;
    }
    // A pipe: byte by byte, so that nothing after this line is taken.
    char c = 0;
    DWORD done = 0;
    bool any = false;
    while (ReadFile(in, &c, 1, &done, nullptr) && done == 1) {
        any = true;
        if (c == '\n')
            break;
        acp->push_back(c);
    }
    if (!acp->empty() && acp->back() == '\r')
        acp->pop_back();
    return any ? LineRead::Read : LineRead::EndOfInput;
}

bool WatchInterrupts(HWND window, UINT askMessage, UINT stopMessage) {
    g_askMessage = askMessage;
    g_stopMessage = stopMessage;
    g_watchWindow.store(window);
    // A program started in a new process group ignores Ctrl-C until it asks
    // for it again.
    SetConsoleCtrlHandler(nullptr, FALSE);
    return SetConsoleCtrlHandler(OnConsoleEvent, TRUE) != 0;
}

void AcknowledgeInterrupt() {
    g_interruptPending.store(false);
}

void StopWatchingInterrupts() {
    g_watchWindow.store(nullptr);
    SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
}

} // namespace cli

#else // Linux

#include "platform/codepage.h"

#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <iconv.h>
#include <langinfo.h>
#include <pthread.h>
#include <signal.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace cli {
namespace {

// The terminal's encoding; empty for UTF-8, which needs no iconv.
std::string g_codeset;

struct SignalWatch {
    pthread_t thread;
    bool running = false;
    sigset_t signals;
    HWND window = nullptr;
    UINT askMessage = 0;
    UINT stopMessage = 0;
    std::atomic<bool> pending{false};
    std::atomic<bool> stopping{false};
};
SignalWatch g_watch;

bool IsUtf8Codeset(const char* codeset) {
    // The C and POSIX locales report ASCII; their terminals are UTF-8 in
    // practice, and ASCII is a subset of it.
    return codeset == nullptr || *codeset == '\0' || strcasecmp(codeset, "UTF-8") == 0 ||
           strcasecmp(codeset, "utf8") == 0 || strcmp(codeset, "ANSI_X3.4-1968") == 0 ||
           strcasecmp(codeset, "ASCII") == 0;
}

// Converts with iconv; with `lossy`, a sequence that cannot be converted
// becomes '?' and the conversion goes on, else it ends with false.
bool Iconv(const char* to, const char* from, const std::string& in, std::string* out, bool lossy) {
    out->clear();
    iconv_t cd = iconv_open(to, from);
    if (cd == (iconv_t)-1)
        return false;
    char* source = const_cast<char*>(in.data());
    size_t left = in.size();
    char buffer[1024];
    bool ok = true;
    while (left > 0) {
        char* target = buffer;
        size_t room = sizeof buffer;
        size_t result = iconv(cd, &source, &left, &target, &room);
        out->append(buffer, target - buffer);
        if (result != (size_t)-1 || errno == E2BIG)
            continue;
        if (!lossy || left == 0) {
            ok = false;
            break;
        }
        out->push_back('?');
        ++source;
        --left;
    }
    iconv_close(cd);
    return ok;
}

std::string ToTerminal(const std::string& acp) {
    std::string utf8 = pi::AcpToUtf8Lossy(acp);
    if (g_codeset.empty())
        return utf8;
    std::string converted;
    Iconv(g_codeset.c_str(), "UTF-8", utf8, &converted, true);
    return converted;
}

bool FromTerminal(const std::string& text, std::string* acp) {
    if (g_codeset.empty())
        return pi::Utf8ToAcp(text, acp);
    std::string utf8;
    return Iconv("UTF-8", g_codeset.c_str(), text, &utf8, false) && pi::Utf8ToAcp(utf8, acp);
}

void WriteFd(int fd, const std::string& bytes) {
    size_t offset = 0;
    while (offset < bytes.size()) {
        ssize_t done = write(fd, bytes.data() + offset, bytes.size() - offset);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0)
            return;
        offset += done;
    }
}

void* WatchSignals(void*) {
    for (;;) {
        int signal = 0;
        if (sigwait(&g_watch.signals, &signal) != 0)
            continue;
        if (g_watch.stopping.load())
            return nullptr;
        if (signal == SIGINT) {
            if (!g_watch.pending.exchange(true))
                PostMessageA(g_watch.window, g_watch.askMessage, 0, 0);
        } else {
            PostMessageA(g_watch.window, g_watch.stopMessage, signal, 0);
        }
    }
}

} // namespace

void InitConsole() {
    setlocale(LC_CTYPE, "");
    const char* codeset = nl_langinfo(CODESET);
    g_codeset = IsUtf8Codeset(codeset) ? "" : codeset;
    // A reader that went away must not kill the installer in the middle of
    // an archive rewrite: writes then simply fail.
    signal(SIGPIPE, SIG_IGN);
}

bool CanRedrawOutput() {
    const char* term = getenv("TERM");
    return isatty(STDOUT_FILENO) && term != nullptr && strcmp(term, "dumb") != 0;
}

int OutputColumns() {
    winsize size = {};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0)
        return 0;
    return size.ws_col;
}

bool ArgumentToAcp(const char* argument, std::string* acp) {
    return FromTerminal(argument, acp);
}

void WriteOut(const std::string& acp) {
    WriteFd(STDOUT_FILENO, ToTerminal(acp));
}
void WriteErr(const std::string& acp) {
    WriteFd(STDERR_FILENO, ToTerminal(acp));
}

LineRead ReadLine(std::string* acp) {
    // Byte by byte, so that nothing after this line is taken from a pipe.
    std::string line;
    bool any = false;
    for (;;) {
        char c = 0;
        ssize_t done = read(STDIN_FILENO, &c, 1);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0)
            break;
        any = true;
        if (c == '\n')
            break;
        line.push_back(c);
    }
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    if (!any)
        return LineRead::EndOfInput;
    return FromTerminal(line, acp) ? LineRead::Read : LineRead::NoEquivalent;
}

bool WatchInterrupts(HWND window, UINT askMessage, UINT stopMessage) {
    g_watch.window = window;
    g_watch.askMessage = askMessage;
    g_watch.stopMessage = stopMessage;
    sigemptyset(&g_watch.signals);
    sigaddset(&g_watch.signals, SIGINT);
    sigaddset(&g_watch.signals, SIGTERM);
    sigaddset(&g_watch.signals, SIGHUP);
    // Blocked here, before any other thread exists, so that every later thread
    // inherits the mask and only the watcher receives them.
    if (pthread_sigmask(SIG_BLOCK, &g_watch.signals, nullptr) != 0)
        return false;
    g_watch.running = pthread_create(&g_watch.thread, nullptr, WatchSignals, nullptr) == 0;
    return g_watch.running;
}

void AcknowledgeInterrupt() {
    g_watch.pending.store(false);
}

void StopWatchingInterrupts() {
    if (!g_watch.running)
        return;
    g_watch.stopping.store(true);
    pthread_kill(g_watch.thread, SIGTERM);
    pthread_join(g_watch.thread, nullptr);
    g_watch.running = false;
}

} // namespace cli

#endif
