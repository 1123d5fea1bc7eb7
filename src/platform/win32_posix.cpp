// Linux stand-in for Win32: the seam itself. The last error, the one table
// that turns errno into Win32 codes, the translation of code page 936 names
// with '\' separators into UTF-8 file system names, and the table of handles.
//
// The calls are spread over a few files by family:
//   win32_posix_files.cpp    file handles, reads, writes, share modes
//   win32_posix_names.cpp    attributes, delete, move, directories, temp names
//   win32_posix_threads.cpp  critical sections, threads, waits
//   message_window.cpp       message queues and MessageBoxA
#include "platform/codepage.h"
#include "platform/posix_seam.h"

#include <cerrno>
#include <mutex>
#include <sys/stat.h>
#include <unordered_map>

namespace pi::posix {
namespace {

thread_local DWORD t_lastError = ERROR_SUCCESS;

struct ErrnoEntry {
    int error;
    DWORD win32;
};

// ENOSPC maps to ERROR_HANDLE_DISK_FULL rather than ERROR_DISK_FULL: the
// streams count that code among "no access", which is what a full disk is to
// the installer.
const ErrnoEntry kErrnoTable[] = {
    {ENOENT, ERROR_FILE_NOT_FOUND},
    {ENOTDIR, ERROR_PATH_NOT_FOUND},
    {EACCES, ERROR_ACCESS_DENIED},
    {EPERM, ERROR_ACCESS_DENIED},
    {EISDIR, ERROR_ACCESS_DENIED},
    {EROFS, ERROR_ACCESS_DENIED},
    {ENOSPC, ERROR_HANDLE_DISK_FULL},
    {EDQUOT, ERROR_HANDLE_DISK_FULL},
    {EMFILE, ERROR_TOO_MANY_OPEN_FILES},
    {ENFILE, ERROR_TOO_MANY_OPEN_FILES},
    {EBADF, ERROR_INVALID_HANDLE},
    {EEXIST, ERROR_ALREADY_EXISTS},
    {ENAMETOOLONG, ERROR_FILENAME_EXCED_RANGE},
    {EINVAL, ERROR_INVALID_PARAMETER},
    {ENOMEM, ERROR_NOT_ENOUGH_MEMORY},
    {EXDEV, ERROR_NOT_SAME_DEVICE},
    {ENOTEMPTY, ERROR_DIR_NOT_EMPTY},
    {EIO, ERROR_IO_DEVICE},
};

bool IsDirectory(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

struct HandleTable {
    std::mutex mutex;
    std::unordered_map<HANDLE, std::shared_ptr<KernelObject>> objects;
};

HandleTable& Handles() {
    static HandleTable* table = new HandleTable; // outlives every static destructor
    return *table;
}

} // namespace

std::string ParentDirectory(const std::string& path) {
    size_t end = path.find_last_not_of('/');
    if (end == std::string::npos)
        return "/";
    size_t slash = path.rfind('/', end);
    if (slash == std::string::npos)
        return ".";
    size_t parentEnd = path.find_last_not_of('/', slash);
    return parentEnd == std::string::npos ? "/" : path.substr(0, parentEnd + 1);
}

DWORD ErrorFromErrno(int error) {
    for (const ErrnoEntry& entry : kErrnoTable)
        if (entry.error == error)
            return entry.win32;
    return ERROR_GEN_FAILURE;
}

void SetErrorFromErrno(int error, const std::string& path) {
    DWORD code = ErrorFromErrno(error);
    if (error == ENOENT && !path.empty() && !IsDirectory(ParentDirectory(path)))
        code = ERROR_PATH_NOT_FOUND;
    SetLastError(code);
}

bool ToSystemPath(LPCSTR path, std::string* out) {
    if (path == nullptr || *path == '\0')
        return Fail(ERROR_PATH_NOT_FOUND, false);
    // Convert first: a GBK trail byte may be 0x5C, which is only a separator
    // once the name is UTF-8.
    if (!AcpToUtf8(path, out))
        return Fail(ERROR_INVALID_NAME, false);
    for (char& c : *out)
        if (c == '\\')
            c = '/';
    return true;
}

bool FromSystemPath(const std::string& path, std::string* out) {
    if (!Utf8ToAcp(path, out))
        return Fail(ERROR_INVALID_NAME, false);
    return true;
}

HANDLE OpenHandle(std::shared_ptr<KernelObject> object) {
    HANDLE handle = object.get();
    HandleTable& table = Handles();
    std::lock_guard<std::mutex> lock(table.mutex);
    table.objects[handle] = std::move(object);
    return handle;
}

std::shared_ptr<KernelObject> FindObject(HANDLE handle, ObjectKind kind) {
    HandleTable& table = Handles();
    std::lock_guard<std::mutex> lock(table.mutex);
    auto it = table.objects.find(handle);
    if (it == table.objects.end() || it->second->kind != kind)
        return Fail(ERROR_INVALID_HANDLE, nullptr);
    return it->second;
}

bool CloseObjectHandle(HANDLE handle) {
    std::shared_ptr<KernelObject> object; // released after the table's lock
    HandleTable& table = Handles();
    std::lock_guard<std::mutex> lock(table.mutex);
    auto it = table.objects.find(handle);
    if (it == table.objects.end())
        return Fail(ERROR_INVALID_HANDLE, false);
    object = std::move(it->second);
    table.objects.erase(it);
    return true;
}

} // namespace pi::posix

using namespace pi::posix;

extern "C" {

DWORD GetLastError(void) {
    return t_lastError;
}

void SetLastError(DWORD error) {
    t_lastError = error;
}

BOOL CloseHandle(HANDLE object) {
    if (FaultFires(pi::fault::Call::CloseHandle))
        return FALSE;
    return CloseObjectHandle(object) ? TRUE : FALSE;
}

} // extern "C"
