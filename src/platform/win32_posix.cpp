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
#include "platform/windows_names.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
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

// A full disk is ERROR_DISK_FULL, as NTFS reports it.
const ErrnoEntry kErrnoTable[] = {
    {ENOENT, ERROR_FILE_NOT_FOUND},
    {ENOTDIR, ERROR_PATH_NOT_FOUND},
    {EACCES, ERROR_ACCESS_DENIED},
    {EPERM, ERROR_ACCESS_DENIED},
    {EISDIR, ERROR_ACCESS_DENIED},
    {EROFS, ERROR_ACCESS_DENIED},
    {ENOSPC, ERROR_DISK_FULL},
    {EDQUOT, ERROR_DISK_FULL},
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

// Handle values are numbers of their own, as on Windows, so that one object
// can stand behind several handles (DuplicateHandle).
struct HandleTable {
    std::mutex mutex;
    std::unordered_map<HANDLE, std::shared_ptr<KernelObject>> objects;
    uintptr_t next = 0x100;
};

HandleTable& Handles() {
    static HandleTable* table = new HandleTable; // outlives every static destructor
    return *table;
}

bool Exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

bool EqualFoldingAscii(const char* a, const char* b) {
    auto fold = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; };
    for (; *a && *b; ++a, ++b)
        if (fold(*a) != fold(*b))
            return false;
    return *a == *b;
}

// The entry of `dir` whose name equals `name` when ASCII letters are folded,
// as Windows would match it; the smallest such name when several do, so the
// choice does not depend on the order of the directory.
bool FindFoldedEntry(const std::string& dir, const std::string& name, std::string* found) {
    DIR* stream = opendir(dir.empty() ? "/" : dir.c_str());
    if (stream == nullptr)
        return false;
    bool any = false;
    while (const dirent* entry = readdir(stream)) {
        if (!EqualFoldingAscii(entry->d_name, name.c_str()))
            continue;
        if (!any || *found > entry->d_name)
            *found = entry->d_name;
        any = true;
    }
    closedir(stream);
    return any;
}

std::string JoinName(const std::string& dir, const std::string& name) {
    if (dir.empty())
        return name;
    return dir.back() == '/' ? dir + name : dir + '/' + name;
}

// Windows names are case-insensitive, and the core relies on it (the pak
// library lower-cases whole archive paths). A name that does not exist as
// spelt is matched component by component; components that match nothing
// stay as given, so that new files and directories are created as named.
void ResolveCase(std::string* path) {
    if (path->empty() || Exists(*path))
        return;
    std::string resolved = (*path)[0] == '/' ? "/" : "";
    bool matching = true; // every component so far exists
    size_t pos = 0;
    while ((pos = path->find_first_not_of('/', pos)) != std::string::npos) {
        size_t end = std::min(path->find('/', pos), path->size());
        std::string component = path->substr(pos, end - pos);
        std::string next = JoinName(resolved, component);
        std::string found;
        if (matching && !Exists(next)) {
            bool special = component == "." || component == "..";
            if (!special && FindFoldedEntry(resolved.empty() ? "." : resolved, component, &found))
                next = JoinName(resolved, found);
            else
                matching = false;
        }
        resolved = next;
        pos = end;
    }
    if (path->back() == '/' && resolved.back() != '/')
        resolved += '/';
    *path = resolved;
}

// Characters Windows refuses in a name: the ASCII controls and <>:"|?*
// (':' would name an NTFS stream, which this layer does not keep).
bool IsRefusedCharacter(unsigned char c, bool wildcardsAllowed) {
    if (c < 0x20)
        return true;
    if (wildcardsAllowed && (c == '*' || c == '?'))
        return false;
    return std::strchr("<>:\"|?*", c) != nullptr;
}

// Windows drops the trailing dots and spaces of a component ("x." is "x").
void DropTrailingDotsAndSpaces(std::string* component) {
    if (*component == "." || *component == "..")
        return;
    while (!component->empty() && (component->back() == '.' || component->back() == ' '))
        component->pop_back();
}

} // namespace

// A name as Windows reads it: refused characters are ERROR_INVALID_NAME,
// trailing dots and spaces go, and a device name names no file: a directory
// on the way cannot be one (ERROR_PATH_NOT_FOUND); the last component opens
// the device (NUL: /dev/null; the others are absent here) and refuses every
// other call (ERROR_INVALID_NAME).
bool ApplyWindowsNameRules(std::string* path, NameUse use) {
    std::string result = (*path)[0] == '/' ? "/" : "";
    size_t pos = 0;
    while ((pos = path->find_first_not_of('/', pos)) != std::string::npos) {
        const size_t end = std::min(path->find('/', pos), path->size());
        std::string component = path->substr(pos, end - pos);
        const bool last = path->find_first_not_of('/', end) == std::string::npos;
        const bool pattern = last && use == NameUse::Pattern;
        for (unsigned char c : component)
            if (IsRefusedCharacter(c, pattern))
                return ReturnError(ERROR_INVALID_NAME, false);
        DropTrailingDotsAndSpaces(&component);
        const Device device = pattern ? Device::None : DeviceNamedBy(component);
        if (device != Device::None && !last)
            return ReturnError(ERROR_PATH_NOT_FOUND, false);
        if (device != Device::None && use != NameUse::Open)
            return ReturnError(ERROR_INVALID_NAME, false);
        if (device == Device::Other)
            return ReturnError(ERROR_FILE_NOT_FOUND, false);
        if (device == Device::Null) {
            *path = kNullDevice;
            return true;
        }
        if (!component.empty())
            result += (result.empty() || result.back() == '/' ? "" : "/") + component;
        pos = end;
    }
    if (path->back() == '/' && result.back() != '/')
        result += '/';
    *path = result;
    return true;
}

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

bool ToSystemPath(LPCSTR path, std::string* out, NameUse use) {
    if (path == nullptr || *path == '\0')
        return ReturnError(ERROR_PATH_NOT_FOUND, false);
    // Convert first: a GBK trail byte may be 0x5C or 0x7C, which is only a
    // separator or a '|' once the name is UTF-8.
    if (!AcpToUtf8(path, out))
        return ReturnError(ERROR_INVALID_NAME, false);
    for (char& c : *out)
        if (c == '\\')
            c = '/';
    if (!ApplyWindowsNameRules(out, use))
        return false;
    ResolveCase(out);
    return true;
}

bool FromSystemPath(const std::string& path, std::string* out) {
    if (!Utf8ToAcp(path, out))
        return ReturnError(ERROR_INVALID_NAME, false);
    return true;
}

HANDLE OpenHandle(std::shared_ptr<KernelObject> object) {
    HandleTable& table = Handles();
    std::lock_guard<std::mutex> lock(table.mutex);
    HANDLE handle = reinterpret_cast<HANDLE>(table.next);
    table.next += 4; // never reused: a stale value is always refused
    table.objects[handle] = std::move(object);
    return handle;
}

std::shared_ptr<KernelObject> FindAnyObject(HANDLE handle) {
    HandleTable& table = Handles();
    std::lock_guard<std::mutex> lock(table.mutex);
    auto it = table.objects.find(handle);
    if (it == table.objects.end())
        return ReturnError(ERROR_INVALID_HANDLE, nullptr);
    return it->second;
}

std::shared_ptr<KernelObject> FindObject(HANDLE handle, ObjectKind kind) {
    std::shared_ptr<KernelObject> object = FindAnyObject(handle);
    if (object && object->kind != kind)
        return ReturnError(ERROR_INVALID_HANDLE, nullptr);
    return object;
}

bool CloseObjectHandle(HANDLE handle) {
    std::shared_ptr<KernelObject> object; // released after the table's lock
    HandleTable& table = Handles();
    std::lock_guard<std::mutex> lock(table.mutex);
    auto it = table.objects.find(handle);
    if (it == table.objects.end())
        return ReturnError(ERROR_INVALID_HANDLE, false);
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

HANDLE GetCurrentProcess(void) {
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)); // as Windows' pseudo-handle
}

BOOL DuplicateHandle(HANDLE sourceProcess, HANDLE source, HANDLE targetProcess, HANDLE* target,
                     DWORD, BOOL, DWORD options) {
    if (FaultFires(pi::fault::Call::DuplicateHandle))
        return FALSE;
    if (sourceProcess != GetCurrentProcess() || targetProcess != GetCurrentProcess() ||
        target == nullptr || (options & DUPLICATE_CLOSE_SOURCE) != 0)
        return ReturnError(ERROR_INVALID_PARAMETER, FALSE);
    std::shared_ptr<KernelObject> object = FindAnyObject(source);
    if (!object)
        return FALSE;
    *target = OpenHandle(std::move(object));
    return TRUE;
}

} // extern "C"
