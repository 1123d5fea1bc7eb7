// The terminal seam on Windows: the console, which takes UTF-16 whatever its
// code page, pipes that take the program's own bytes, and a console control
// handler for Ctrl-C, Ctrl-Break and closing the console.
#include "cli/console.h"
#include "cli/console_route.h"

#include <vector>

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

namespace cli {
namespace {

bool g_canRedraw = false;

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
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT)
        return route::PostInterrupt() ? TRUE : FALSE;
    if (!route::PostStop(event))
        return FALSE;
    // Closing the console ends the process when this handler returns: stop
    // the job first and let the main thread end the process.
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
    route::RouteInterruptsTo(window, askMessage, stopMessage);
    // A program started in a new process group ignores Ctrl-C until it asks
    // for it again.
    SetConsoleCtrlHandler(nullptr, FALSE);
    return SetConsoleCtrlHandler(OnConsoleEvent, TRUE) != 0;
}

void StopWatchingInterrupts() {
    route::StopRouting();
    SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
}

} // namespace cli
