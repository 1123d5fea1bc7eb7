// The child-process runner on Windows (and under wine): CreateProcess with
// three pipes, the console that carries Ctrl-Break to the child, polling
// readers, and the exit code.
#include "child_process_state.h"

#include <algorithm>

namespace pitest {
namespace {

// Console control events travel only between processes of one console.
// Under wine a program started with redirected output has a console handle
// that carries none, so the test program makes itself a fresh one (keeping
// its standard handles) for its children to share; it ignores the events.
void ShareAConsole() {
    static bool done = false;
    if (done || GetConsoleWindow() != nullptr)
        return;
    done = true;
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    FreeConsole();
    AllocConsole();
    SetStdHandle(STD_INPUT_HANDLE, in);
    SetStdHandle(STD_OUTPUT_HANDLE, out);
    SetStdHandle(STD_ERROR_HANDLE, err);
    SetConsoleCtrlHandler(nullptr, TRUE);
}

std::wstring Wide(const std::string& text, ArgumentText encoding) {
    const UINT codePage = encoding == ArgumentText::Utf8 ? CP_UTF8 : CP_ACP;
    const int size = static_cast<int>(text.size());
    const int length = MultiByteToWideChar(codePage, 0, text.data(), size, nullptr, 0);
    std::wstring wide(length > 0 ? length : 0, L'\0');
    if (length > 0)
        MultiByteToWideChar(codePage, 0, text.data(), size, &wide[0], length);
    return wide;
}

// The build tree's Unix path, as wine shows it.
std::wstring ProgramPath(const std::string& program, ArgumentText encoding) {
    std::wstring path = Wide(program, encoding);
    if (!path.empty() && path[0] == L'/') {
        path.insert(0, L"Z:");
        std::replace(path.begin(), path.end(), L'/', L'\\');
    }
    return path;
}

// The quoting that the runtime's command-line parser undoes. Done on UTF-16:
// in the ANSI code page a double-byte character may end in the byte of '\'.
std::wstring Quote(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos)
        return arg;
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        quoted.push_back(c);
        backslashes = 0;
    }
    quoted.append(backslashes * 2, L'\\');
    return quoted + L"\"";
}

// Polls instead of blocking in ReadFile: under wine the write end can stay
// open after the child has exited (its console host holds a copy), so the
// end of the pipe is the end of the child.
void Drain(HANDLE pipe, HANDLE process, ChildProcess::State* state, std::string* sink, bool isOut) {
    char buffer[4096];
    for (;;) {
        const bool exited = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
        DWORD available = 0, done = 0;
        if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr))
            break;
        if (available == 0) {
            if (exited)
                break;
            Sleep(5);
            continue;
        }
        if (!ReadFile(pipe, buffer, available < sizeof buffer ? available : sizeof buffer, &done,
                      nullptr) ||
            done == 0)
            break;
        state->Append(sink, buffer, done);
    }
    CloseHandle(pipe);
    state->Closed(isOut);
}

} // namespace

bool ChildProcess::Start(const std::string& program, const std::vector<std::string>& args,
                         const std::vector<std::string>&, const std::string& input,
                         bool keepInputOpen) {
    ShareAConsole();
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE inRead, inWrite, outRead, outWrite, errRead, errWrite;
    if (!CreatePipe(&inRead, &inWrite, &inherit, 0) ||
        !CreatePipe(&outRead, &outWrite, &inherit, 0) ||
        !CreatePipe(&errRead, &errWrite, &inherit, 0))
        return false;
    SetHandleInformation(inWrite, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = inRead;
    startup.hStdOutput = outWrite;
    startup.hStdError = errWrite;
    const ArgumentText encoding = m_state->argumentText;
    const std::wstring path = ProgramPath(program, encoding);
    std::wstring commandLine = Quote(path);
    for (const std::string& arg : args)
        commandLine += L" " + Quote(Wide(arg, encoding));
    const BOOL started =
        CreateProcessW(path.c_str(), &commandLine[0], nullptr, nullptr, TRUE,
                       CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &startup, &m_state->process);
    CloseHandle(inRead);
    CloseHandle(outWrite);
    CloseHandle(errWrite);
    if (started) {
        DWORD done = 0;
        if (!input.empty())
            WriteFile(inWrite, input.data(), (DWORD)input.size(), &done, nullptr);
    }
    m_state->input = inWrite;
    if (!started || !keepInputOpen)
        CloseInput();
    if (!started) {
        CloseHandle(outRead);
        CloseHandle(errRead);
        return false;
    }
    State* state = m_state;
    HANDLE process = m_state->process.hProcess;
    m_state->outReader = std::thread([=] { Drain(outRead, process, state, &state->out, true); });
    m_state->errReader = std::thread([=] { Drain(errRead, process, state, &state->err, false); });
    return true;
}

void ChildProcess::CloseInput() {
    if (m_state->input != nullptr)
        CloseHandle(m_state->input);
    m_state->input = nullptr;
}

// The child leads its own process group on the test's console. Windows
// sends Ctrl-Break to one group; wine sends only Ctrl-C, but to a group too.
bool ChildProcess::Interrupt() {
    const DWORD group = m_state->process.dwProcessId;
    return GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, group) != 0 ||
           GenerateConsoleCtrlEvent(CTRL_C_EVENT, group) != 0;
}

RunResult ChildProcess::Wait() {
    RunResult result;
    CloseInput();
    if (m_state->process.hProcess == nullptr)
        return result;
    WaitForSingleObject(m_state->process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(m_state->process.hProcess, &code);
    result.exitCode = static_cast<int>(code);
    m_state->Finish(&result);
    CloseHandle(m_state->process.hProcess);
    CloseHandle(m_state->process.hThread);
    m_state->process = {};
    return result;
}

} // namespace pitest
