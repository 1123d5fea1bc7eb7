#include "support.h"

#include "runtime/log.h"

#include <filesystem>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/file.h>
#endif

namespace rt {

TempDir::TempDir() {
    char base[MAX_PATH];
    char unique[MAX_PATH];
    GetTempPathA(MAX_PATH, base);
    GetTempFileNameA(base, "rt", 0, unique);
    DeleteFileA(unique);
    CreateDirectoryA(unique, nullptr);
    path = unique;
    for (char& c : path)
        c = c == '/' ? '\\' : c;
}

std::string Native(std::string path) {
#ifndef _WIN32
    for (char& c : path)
        c = c == '\\' ? '/' : c;
#endif
    return path;
}

TempDir::~TempDir() {
    const std::string native = Native(path);
    namespace fs = std::filesystem;
    std::error_code error;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(native, error))
        fs::permissions(entry.path(), fs::perms::owner_write, fs::perm_options::add, error);
    fs::remove_all(native, error);
}

std::string Read(const std::string& path) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return "<missing>";
    std::string data;
    char chunk[4096];
    DWORD done = 0;
    while (ReadFile(file, chunk, sizeof(chunk), &done, nullptr) && done != 0)
        data.append(chunk, done);
    CloseHandle(file);
    return data;
}

void Write(const std::string& path, const std::string& data, bool readOnly) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD done = 0;
    WriteFile(file, data.data(), static_cast<DWORD>(data.size()), &done, nullptr);
    CloseHandle(file);
    if (readOnly)
        SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY);
}

bool Has(const std::string& path, DWORD bits) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & bits) != 0;
}

std::string ProgramLogPath() {
    char exe[MAX_PATH];
    char log[MAX_PATH];
    exe[GetModuleFileNameA(nullptr, exe, MAX_PATH)] = '\0';
    MakeLogPath(exe, log, MAX_PATH);
    return log;
}

// On Linux each test case is a process of its own, and cases run side by
// side, all logging beside the one program. A capture holds a lock for the
// rest of its process, so that the next process truncates the log only after
// this one has exited.
LogCapture::LogCapture() : path(ProgramLogPath()) {
#ifndef _WIN32
    static const int lock = open(Native(path + ".lock").c_str(), O_CREAT | O_RDWR, 0644);
    static const int locked = flock(lock, LOCK_EX);
    (void)locked;
#endif
    start = Added().size();
}

std::string LogCapture::Added() {
    static_cast<CFileLog&>(GetLog()).Flush();
    return Read(path).substr(start);
}

} // namespace rt
