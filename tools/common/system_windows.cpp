// The tools' system seam on Windows: the wide command line and wide file
// names converted to and from UTF-8, UTF-8 output shown on a console as
// UTF-16, and a console control handler for interrupts.
#include "system.h"

#include "text.h"
#include "tool_error.h"
#include "tool_main.h"

#include <cwchar>
#include <fcntl.h>
#include <io.h>
#include <mutex>
#include <shellapi.h>

namespace pitool {
namespace {

constexpr UINT kGbk = 936;

std::string Utf8FromWide(const wchar_t* wide, int length) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, wide, length, nullptr, 0, nullptr, nullptr);
    std::string utf8(size > 0 ? size : 0, '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, wide, length, &utf8[0], size, nullptr, nullptr);
    return utf8;
}

std::wstring WideFromUtf8(const std::string& utf8) {
    const int length = static_cast<int>(utf8.size());
    const int size = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), length, nullptr, 0);
    std::wstring wide(size > 0 ? size : 0, L'\0');
    if (size > 0)
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), length, &wide[0], size);
    return wide;
}

bool IsAscii(const std::string& text) {
    for (unsigned char c : text)
        if (c >= 0x80)
            return false;
    return true;
}

bool IsConsole(HANDLE handle) {
    DWORD mode = 0;
    return handle != INVALID_HANDLE_VALUE && handle != nullptr && GetConsoleMode(handle, &mode);
}

HANDLE HandleOf(std::FILE* stream) {
    return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
}

// A console shows what it is given as UTF-16 (WriteConsoleW) whatever its
// code page, while the C library writes bytes, and mingw's printf writes them
// one at a time, splitting every character. So standard output and error,
// where they are the console, are pointed at one pipe (one, so that their
// order holds), whose reader decodes whole UTF-8 sequences for the console.
class ConsoleRelay {
  public:
    void Start(bool out, bool err) {
        // A handle of its own: pointing the streams elsewhere closes theirs.
        if (!DuplicateHandle(GetCurrentProcess(), out ? HandleOf(stdout) : HandleOf(stderr),
                             GetCurrentProcess(), &m_console, 0, FALSE, DUPLICATE_SAME_ACCESS))
            return;
        m_consoleIsOut = out;
        m_consoleIsErr = err;
        HANDLE write = nullptr;
        if (!CreatePipe(&m_read, &write, nullptr, 0))
            return;
        const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(write), _O_BINARY);
        m_thread = CreateThread(nullptr, 0, Run, this, 0, nullptr);
        if (fd < 0 || m_thread == nullptr) {
            fd < 0 ? CloseHandle(write) : _close(fd);
            return;
        }
        // Unbuffered, like a console: what goes to one stream before the
        // other reaches the console first.
        for (std::FILE* stream : {stdout, stderr}) {
            if (stream == stdout ? out : err) {
                _dup2(fd, _fileno(stream));
                std::setvbuf(stream, nullptr, _IONBF, 0);
            }
        }
        _close(fd);
        std::atexit([] { Instance().Finish(); });
    }

    static ConsoleRelay& Instance() {
        static ConsoleRelay relay;
        return relay;
    }

  private:
    // The pipe ends once no stream writes to it any more.
    void Finish() {
        if (m_consoleIsOut)
            _close(_fileno(stdout));
        if (m_consoleIsErr)
            _close(_fileno(stderr));
        WaitForSingleObject(m_thread, INFINITE);
    }

    static DWORD WINAPI Run(void* self) {
        static_cast<ConsoleRelay*>(self)->Relay();
        return 0;
    }

    void Relay() {
        std::string pending;
        char buffer[4096];
        DWORD got = 0;
        while (ReadFile(m_read, buffer, sizeof buffer, &got, nullptr) && got > 0) {
            pending.append(buffer, got);
            const size_t whole = WholeSequences(pending);
            Show(pending.substr(0, whole));
            pending.erase(0, whole);
        }
        Show(pending);
        CloseHandle(m_read);
    }

    // The length of `text` without a UTF-8 sequence its end cuts short.
    static size_t WholeSequences(const std::string& text) {
        for (size_t back = 1; back <= 3 && back <= text.size(); ++back) {
            const unsigned char c = static_cast<unsigned char>(text[text.size() - back]);
            if (c < 0x80)
                break;
            if (c >= 0xC0) {
                const size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
                return length > back ? text.size() - back : text.size();
            }
        }
        return text.size();
    }

    void Show(const std::string& utf8) {
        const std::wstring wide = WideFromUtf8(utf8);
        DWORD done = 0;
        if (!wide.empty())
            WriteConsoleW(m_console, wide.data(), static_cast<DWORD>(wide.size()), &done, nullptr);
    }

    HANDLE m_console = nullptr;
    HANDLE m_read = nullptr;
    HANDLE m_thread = nullptr;
    bool m_consoleIsOut = false;
    bool m_consoleIsErr = false;
};

bool g_outIsConsole = false;
bool g_errIsConsole = false;

std::mutex g_interruptLock;
std::wstring g_interruptPaths[2];

bool SameFile(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
           a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

// The installer's libraries hold the file they write open without sharing
// it, and Windows deletes no file while a handle to it is open. The process
// ends right after, so its own handles to that file are closed here: they
// are found among the process's handle values (multiples of four) by the
// file's identity. Opening with no access rights asks nothing of the
// sharing the writer refused.
void CloseHandlesTo(const std::wstring& path) {
    HANDLE probe =
        CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (probe == INVALID_HANDLE_VALUE)
        return;
    BY_HANDLE_FILE_INFORMATION target;
    const bool known = GetFileInformationByHandle(probe, &target) != 0;
    CloseHandle(probe);
    if (!known)
        return;
    for (ULONG_PTR value = 4; value < 0x10000; value += 4) {
        HANDLE handle = reinterpret_cast<HANDLE>(value);
        BY_HANDLE_FILE_INFORMATION info;
        if (GetFileType(handle) == FILE_TYPE_DISK && GetFileInformationByHandle(handle, &info) &&
            SameFile(info, target))
            CloseHandle(handle);
    }
}

BOOL WINAPI OnInterrupt(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT)
        return FALSE;
    {
        std::lock_guard<std::mutex> lock(g_interruptLock);
        for (const std::wstring& path : g_interruptPaths) {
            if (!path.empty()) {
                CloseHandlesTo(path);
                DeleteFileW(path.c_str());
            }
        }
    }
    ExitProcess(130);
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

std::vector<std::string> ArgumentsOf(int, char**) {
    // The runtime's argv is in the ANSI code page, which may lack characters
    // of the names given: the wide command line has them all.
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::string> args;
    for (int i = 1; wide != nullptr && i < count; ++i)
        args.push_back(Utf8FromWide(wide[i], static_cast<int>(wcslen(wide[i]))));
    LocalFree(wide);
    return args;
}

std::string LibraryPath(const std::string& utf8Path, const std::string& what, int exitCode) {
    const std::string acp = ToAcp(utf8Path, what, exitCode);
    if (!IsAscii(acp) && GetACP() != kGbk)
        ThrowToolError(exitCode, what + " \"" + utf8Path +
                                     "\" cannot be opened: the installer's libraries take code "
                                     "page 936 (GBK) names, and this system's ANSI code page is " +
                                     std::to_string(GetACP()));
    return acp;
}

std::string ErrorText(const std::error_code& error) {
    if (error.category() != std::system_category())
        return error.message();
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(error.value()), 0, reinterpret_cast<wchar_t*>(&text), 0,
        nullptr);
    std::string message = length > 0 ? Utf8FromWide(text, static_cast<int>(length))
                                     : "error " + std::to_string(error.value());
    LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == ' ' || message.back() == '.'))
        message.pop_back();
    return message;
}

// A pipe or a file gets the text byte for byte as Linux prints it: no "\r"
// added before "\n". A console gets it through the relay.
void PrepareOutput() {
    static bool prepared = false;
    if (prepared)
        return;
    prepared = true;
    g_outIsConsole = IsConsole(HandleOf(stdout));
    g_errIsConsole = IsConsole(HandleOf(stderr));
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    if (g_outIsConsole || g_errIsConsole)
        ConsoleRelay::Instance().Start(g_outIsConsole, g_errIsConsole);
}

bool IsTerminal(std::FILE* stream) {
    // Asked of the handle (_isatty would also take the NUL device for a
    // terminal), or of what it was before the relay took it over.
    if (stream == stdout && g_outIsConsole)
        return true;
    if (stream == stderr && g_errIsConsole)
        return true;
    return IsConsole(HandleOf(stream));
}

FILETIME ModificationTime(const std::string& utf8Path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(WideFromUtf8(utf8Path).c_str(), GetFileExInfoStandard, &data))
        ThrowToolError(kExitUsageOrIo,
                       "cannot read the time of " + utf8Path + ": " +
                           ErrorText(std::error_code(static_cast<int>(GetLastError()),
                                                     std::system_category())));
    return data.ftLastWriteTime;
}

void RemoveOnInterrupt(const std::string* utf8Path, const std::string* second) {
    static bool installed = false;
    std::lock_guard<std::mutex> lock(g_interruptLock);
    if (!installed) {
        installed = true;
        // A program started in a new process group ignores Ctrl-C until it
        // asks for it again.
        SetConsoleCtrlHandler(nullptr, FALSE);
        SetConsoleCtrlHandler(OnInterrupt, TRUE);
    }
    g_interruptPaths[0] = utf8Path != nullptr ? WideFromUtf8(*utf8Path) : std::wstring();
    g_interruptPaths[1] = second != nullptr ? WideFromUtf8(*second) : std::wstring();
}

int RunProgram(const std::string& program, const std::vector<std::string>& args,
               std::string* error) {
    std::wstring line;
    AppendQuoted(&line, WideFromUtf8(program));
    for (const std::string& arg : args)
        AppendQuoted(&line, WideFromUtf8(arg));
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

} // namespace pitool
