// The program log beside the executable, and the lock that serialises it.
#include "runtime/log.h"

#include "platform/codepage.h"
#include "platform/text_file.h"

#include <cstring>
#include <ctime>

namespace {

// Offset of the first byte of the file name in `path`.
size_t FileNameStart(const char* path) {
    size_t start = 0;
    for (size_t i = 0; path[i] != '\0'; ++i)
        if (pi::IsLeadByte(path[i]) && path[i + 1] != '\0')
            ++i;
        else if (path[i] == '\\' || path[i] == '/')
            start = i + 1;
    return start;
}

i64 SecondsNow() {
#ifdef _WIN32
    return _time64(nullptr);
#else
    return time(nullptr);
#endif
}

} // namespace

// The i686 Windows runtime's time_t has 32 bits and ends in 2038: the 64-bit
// functions are used there.
void FormatLogTimeStamp(i64 seconds, char (&out)[256]) {
    out[0] = '\0';
    struct tm local;
#ifdef _WIN32
    // The Windows runtime keeps the result per thread.
    const __time64_t when = seconds;
    const struct tm* converted = _localtime64(&when);
    if (converted == nullptr)
        return;
    local = *converted;
#else
    const time_t when = static_cast<time_t>(seconds);
    if (localtime_r(&when, &local) == nullptr)
        return;
#endif
    if (strftime(out, sizeof(out), "%H:%M, %B %d, %Y\n", &local) == 0)
        out[0] = '\0';
}

void ShowOutOfMemoryBox() {
    MessageBoxA(nullptr, "内存不足，请先关闭其他程序，然后重新启动《榆岭》自动更新工具", "错误",
                MB_OK);
}

CLock::CLock() {
    m_valid = InitializeCriticalSectionAndSpinCount(&m_section, 0) != FALSE;
    if (!m_valid)
        ShowOutOfMemoryBox();
}

CLock::~CLock() {
    if (m_valid)
        DeleteCriticalSection(&m_section);
}

void CLock::Lock() {
    if (m_valid)
        EnterCriticalSection(&m_section);
}

void CLock::Unlock() {
    if (m_valid)
        LeaveCriticalSection(&m_section);
}

bool MakeLogPath(const char* exePath, char* out, u32 size) {
    static const char kExtension[] = ".log";
    size_t nameStart = FileNameStart(exePath);
    size_t stemLength = strlen(exePath);
    for (size_t i = nameStart; exePath[i] != '\0'; ++i)
        if (pi::IsLeadByte(exePath[i]) && exePath[i + 1] != '\0')
            ++i;
        else if (exePath[i] == '.')
            stemLength = i;
    if (stemLength + sizeof(kExtension) > size)
        return false;
    memcpy(out, exePath, stemLength);
    memcpy(out + stemLength, kExtension, sizeof(kExtension));
    return true;
}

CFileLog::CFileLog(const char* path) {
    char defaultPath[MAX_PATH];
    if (path == nullptr) {
        char exePath[MAX_PATH];
        DWORD length = GetModuleFileNameA(nullptr, exePath, MAX_PATH);
        // A truncated name could point at some other file, which "w+" would
        // wipe: log nothing rather than guess.
        if (length == 0 || length >= MAX_PATH)
            return;
        exePath[length] = '\0';
        if (!MakeLogPath(exePath, defaultPath, sizeof(defaultPath)))
            return;
        path = defaultPath;
    }
    m_file = pi::OpenTextFile(path, "w+");
    if (m_file == nullptr)
        return;
    char stamp[256];
    FormatLogTimeStamp(SecondsNow(), stamp);
    Write(stamp);
}

CFileLog::~CFileLog() {
    m_lock.Lock();
    if (m_file != nullptr) {
        fclose(m_file);
        m_file = nullptr;
    }
    m_lock.Unlock();
}

void CFileLog::Write(const char* text) {
    m_lock.Lock();
    if (m_file != nullptr)
        fwrite(text, strlen(text), 1, m_file);
    m_lock.Unlock();
}

void CFileLog::Flush() {
    m_lock.Lock();
    if (m_file != nullptr)
        fflush(m_file);
    m_lock.Unlock();
}

iLog& GetLog() {
    static CFileLog log(nullptr);
    return log;
}
