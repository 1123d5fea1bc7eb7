// Linux stand-in for Win32: operations on names. Attributes (the read-only
// attribute is "no write bits"), delete, move and replace with the refusals
// Windows makes, directories, searches, the module's own name, and
// temporary names.
#include "platform/codepage.h"
#include "platform/posix_seam.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace pi::posix {
namespace {

const mode_t kWriteBits = S_IWUSR | S_IWGRP | S_IWOTH;

bool IsReadOnly(const struct stat& st) {
    return (st.st_mode & kWriteBits) == 0;
}

// Opens `name` only to reach its extended attributes.
int OpenForAttributes(const std::string& name) {
    return open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
}

bool StatOrFail(const std::string& name, struct stat* st, bool followLinks = true) {
    int rc = followLinks ? stat(name.c_str(), st) : lstat(name.c_str(), st);
    if (rc == 0)
        return true;
    SetErrorFromErrno(errno, name);
    return false;
}

bool ErrnoFailure(const std::string& name) {
    SetErrorFromErrno(errno, name);
    return false;
}

bool SyncDescriptorOf(const std::string& name, int flags) {
    int fd = open(name.c_str(), flags | O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return ErrnoFailure(name);
    bool synced = fsync(fd) == 0;
    int error = errno;
    close(fd);
    if (!synced)
        SetErrorFromErrno(error);
    return synced;
}

// A rename that is made durable must not carry a file whose data is not.
bool SyncRegularFile(const std::string& name, const struct stat& st) {
    return !S_ISREG(st.st_mode) || SyncDescriptorOf(name, O_NONBLOCK);
}

bool SyncDirectory(const std::string& dir) {
    if (!SyncDescriptorOf(dir, O_DIRECTORY))
        return false;
    NoteDirectorySynced(dir);
    return true;
}

bool SyncParents(const std::string& from, const std::string& to) {
    std::string fromDir = ParentDirectory(from);
    std::string toDir = ParentDirectory(to);
    return SyncDirectory(toDir) && (fromDir == toDir || SyncDirectory(fromDir));
}

// Windows refuses to replace a directory, to replace anything by a
// directory, and to replace a read-only file or one that is open.
bool CanReplace(const struct stat& source, const std::string& target, const struct stat& existing) {
    if (S_ISDIR(source.st_mode) || S_ISDIR(existing.st_mode))
        return ReturnError(ERROR_ACCESS_DENIED, false);
    if (S_ISREG(existing.st_mode) &&
        (IsReadOnly(existing) || MarkerHeld(target, ShareMarker::Open)))
        return ReturnError(ERROR_ACCESS_DENIED, false);
    return true;
}

bool LinkThenUnlink(const std::string& from, const std::string& to) {
    if (link(from.c_str(), to.c_str()) != 0)
        return ErrnoFailure(to);
    if (unlink(from.c_str()) != 0) {
        int error = errno;
        unlink(to.c_str());
        SetErrorFromErrno(error, from);
        return false;
    }
    return true;
}

// Renames only if `to` does not exist. File systems without
// RENAME_NOREPLACE get a hard link and an unlink for files; directories
// there are renamed after the check alone.
bool RenameNoReplace(const std::string& from, const std::string& to, bool isDirectory) {
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
        return ErrnoFailure(to);
    if (!isDirectory)
        return LinkThenUnlink(from, to);
    if (rename(from.c_str(), to.c_str()) != 0)
        return ErrnoFailure(to);
    return true;
}

bool MoveName(LPCSTR from, LPCSTR to, DWORD flags) {
    std::string source, target;
    if (!ToSystemPath(from, &source) || !ToSystemPath(to, &target))
        return false;
    struct stat sourceStat, targetStat;
    if (!StatOrFail(source, &sourceStat, false))
        return false;
    if (S_ISREG(sourceStat.st_mode) && MarkerHeld(source, ShareMarker::DeniesDelete))
        return ReturnError(ERROR_SHARING_VIOLATION, false);
    bool targetExists = lstat(target.c_str(), &targetStat) == 0;
    if (targetExists && !(flags & MOVEFILE_REPLACE_EXISTING))
        return ReturnError(ERROR_ALREADY_EXISTS, false);
    if (targetExists && !CanReplace(sourceStat, target, targetStat))
        return false;
    bool writeThrough = (flags & MOVEFILE_WRITE_THROUGH) != 0;
    if (writeThrough && !SyncRegularFile(source, sourceStat))
        return false;
    NoteEntryChanging(source);
    NoteEntryChanging(target);
    if (targetExists && rename(source.c_str(), target.c_str()) != 0)
        return ErrnoFailure(target);
    if (!targetExists && !RenameNoReplace(source, target, S_ISDIR(sourceStat.st_mode)))
        return false;
    return !writeThrough || SyncParents(source, target);
}

bool CopyOut(const std::string& text, LPSTR buffer, DWORD size) {
    if (text.size() + 1 > size)
        return false;
    memcpy(buffer, text.c_str(), text.size() + 1);
    return true;
}

// Up to three characters of the prefix, not three bytes: a double-byte
// character is never cut in half.
bool PrefixOfThree(LPCSTR prefix, std::string* out) {
    std::string utf8;
    if (!AcpToUtf8(prefix != nullptr ? prefix : "", &utf8))
        return ReturnError(ERROR_INVALID_NAME, false);
    size_t end = 0;
    for (int chars = 0; chars < 3 && end < utf8.size(); ++chars)
        do
            ++end;
        while (end < utf8.size() && (static_cast<unsigned char>(utf8[end]) & 0xC0) == 0x80);
    if (!Utf8ToAcp(utf8.substr(0, end), out))
        return ReturnError(ERROR_INVALID_NAME, false);
    return true;
}

std::string HexName(unsigned number) {
    char text[16];
    snprintf(text, sizeof text, "%X.tmp", number);
    return text;
}

unsigned FirstNumber() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    unsigned mixed = static_cast<unsigned>(now.tv_nsec) ^ static_cast<unsigned>(getpid()) * 40503u;
    return mixed % 0xFFFFu + 1;
}

// The one file of a new temporary name; false on EEXIST without an error.
bool CreateEmpty(const std::string& name, bool* exists) {
    NoteEntryChanging(name);
    int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    *exists = fd < 0 && errno == EEXIST;
    if (fd < 0)
        return *exists ? false : ErrnoFailure(name);
    close(fd);
    NoteCreated(name, false);
    return true;
}

// Tries the 65535 numbers from a varying start, never reusing a file.
UINT CreateUniqueName(const std::string& gbkBase, const std::string& systemBase, LPSTR out) {
    unsigned first = FirstNumber();
    for (unsigned i = 0; i < 0xFFFFu; ++i) {
        unsigned number = (first - 1 + i) % 0xFFFFu + 1;
        bool exists = false;
        if (CreateEmpty(systemBase + HexName(number), &exists)) {
            CopyOut(gbkBase + HexName(number), out, MAX_PATH);
            return number;
        }
        if (!exists)
            return 0;
    }
    return ReturnError(ERROR_FILE_EXISTS, 0u);
}

// '*' stands for any run of characters, '?' for one; ASCII letters match
// either case, as Windows matches them. Both are UTF-8.
bool MatchesPattern(const char* pattern, const char* name) {
    auto fold = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; };
    auto next = [](const char* p) {
        do
            ++p;
        while ((static_cast<unsigned char>(*p) & 0xC0) == 0x80);
        return p;
    };
    if (*pattern == '\0')
        return *name == '\0';
    if (*pattern == '*')
        for (const char* rest = name;; rest = next(rest)) {
            if (MatchesPattern(pattern + 1, rest))
                return true;
            if (*rest == '\0')
                return false;
        }
    if (*name == '\0')
        return false;
    if (*pattern == '?')
        return MatchesPattern(pattern + 1, next(name));
    return fold(*pattern) == fold(*name) && MatchesPattern(pattern + 1, name + 1);
}

FILETIME FiletimeOf(const struct timespec& time) {
    const int64_t kEpoch = 116444736000000000LL; // 1970-01-01 in FILETIME units
    int64_t value = static_cast<int64_t>(time.tv_sec) * 10000000LL + time.tv_nsec / 100 + kEpoch;
    uint64_t clamped = value < 0 ? 0 : static_cast<uint64_t>(value);
    return FILETIME{static_cast<DWORD>(clamped), static_cast<DWORD>(clamped >> 32)};
}

// False for a name with no code page 936 spelling or too long for the record.
bool DescribeEntry(const std::string& dir, const std::string& name, WIN32_FIND_DATAA* out) {
    struct stat st;
    std::string gbk;
    if (lstat((dir + "/" + name).c_str(), &st) != 0 || !Utf8ToAcp(name, &gbk) ||
        gbk.size() >= MAX_PATH)
        return false;
    memset(out, 0, sizeof *out);
    DWORD extra = 0;
    if (S_ISREG(st.st_mode)) {
        int fd = OpenForAttributes(dir + "/" + name);
        if (fd >= 0) {
            extra = ExtraAttributesOf(fd);
            close(fd);
        }
    }
    out->dwFileAttributes = FileAttributesOf(st, extra);
    out->ftCreationTime = out->ftLastWriteTime = FiletimeOf(st.st_mtim);
    out->ftLastAccessTime = FiletimeOf(st.st_atim);
    uint64_t size = S_ISDIR(st.st_mode) ? 0 : static_cast<uint64_t>(st.st_size);
    out->nFileSizeHigh = static_cast<DWORD>(size >> 32);
    out->nFileSizeLow = static_cast<DWORD>(size);
    memcpy(out->cFileName, gbk.c_str(), gbk.size() + 1);
    return true;
}

struct SearchObject : KernelObject {
    SearchObject() : KernelObject(ObjectKind::Find) {}
    std::vector<WIN32_FIND_DATAA> found;
    size_t next = 0;
};

// Every entry of the pattern's directory that the last component matches.
bool Search(const std::string& pattern, SearchObject* search) {
    size_t slash = pattern.rfind('/');
    std::string dir = slash == std::string::npos ? "."
                      : slash == 0               ? "/"
                                                 : pattern.substr(0, slash);
    std::string wildcard = slash == std::string::npos ? pattern : pattern.substr(slash + 1);
    DIR* stream = opendir(dir.c_str());
    if (stream == nullptr && (errno == ENOENT || errno == ENOTDIR))
        return ReturnError(ERROR_PATH_NOT_FOUND, false);
    if (stream == nullptr)
        return ErrnoFailure(dir);
    std::vector<std::string> names;
    while (const dirent* entry = readdir(stream))
        if (MatchesPattern(wildcard.c_str(), entry->d_name))
            names.push_back(entry->d_name);
    closedir(stream);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        WIN32_FIND_DATAA data;
        if (DescribeEntry(dir, name, &data))
            search->found.push_back(data);
    }
    return search->found.empty() ? ReturnError(ERROR_FILE_NOT_FOUND, false) : true;
}

} // namespace

const char kExtraAttributesName[] = "user.win32.attributes";

DWORD ExtraAttributesOf(int fd) {
    DWORD value = 0;
    if (fgetxattr(fd, kExtraAttributesName, &value, sizeof value) != sizeof value)
        return 0;
    return value & kExtraAttributes;
}

bool SetExtraAttributesOf(int fd, DWORD attributes) {
    attributes &= kExtraAttributes;
    if (attributes == 0) {
        if (fremovexattr(fd, kExtraAttributesName) == 0 || errno == ENODATA || errno == ENOTSUP)
            return true;
        return ErrnoFailure("");
    }
    if (fsetxattr(fd, kExtraAttributesName, &attributes, sizeof attributes, 0) != 0)
        return ErrnoFailure("");
    return true;
}

DWORD FileAttributesOf(const struct stat& st, DWORD extra) {
    if (S_ISDIR(st.st_mode))
        return FILE_ATTRIBUTE_DIRECTORY;
    const DWORD attributes = (IsReadOnly(st) ? FILE_ATTRIBUTE_READONLY : 0) | extra;
    return attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
}

} // namespace pi::posix

using namespace pi::posix;
using pi::fault::Call;

extern "C" {

DWORD GetFileAttributesA(LPCSTR path) {
    if (FaultFires(Call::GetFileAttributes))
        return INVALID_FILE_ATTRIBUTES;
    std::string name;
    struct stat st;
    if (!ToSystemPath(path, &name) || !StatOrFail(name, &st))
        return INVALID_FILE_ATTRIBUTES;
    DWORD extra = 0;
    if (S_ISREG(st.st_mode)) {
        int fd = OpenForAttributes(name);
        if (fd >= 0) {
            extra = ExtraAttributesOf(fd);
            close(fd);
        }
    }
    return FileAttributesOf(st, extra);
}

// Directories keep their bits: on Windows the attribute does not stop
// anyone from writing into them.
BOOL SetFileAttributesA(LPCSTR path, DWORD attributes) {
    if (FaultFires(Call::SetFileAttributes))
        return FALSE;
    std::string name;
    struct stat st;
    if (!ToSystemPath(path, &name) || !StatOrFail(name, &st))
        return FALSE;
    if (S_ISDIR(st.st_mode))
        return TRUE;
    if (S_ISREG(st.st_mode)) {
        int fd = OpenForAttributes(name);
        if (fd < 0)
            return ErrnoFailure(name);
        bool set = SetExtraAttributesOf(fd, attributes);
        close(fd);
        if (!set)
            return FALSE;
    }
    mode_t mode = st.st_mode & 07777;
    mode_t wanted = (attributes & FILE_ATTRIBUTE_READONLY) ? mode & ~kWriteBits : mode | S_IWUSR;
    if (wanted == mode)
        return TRUE;
    NoteFileChanging(name);
    if (chmod(name.c_str(), wanted) != 0)
        return ErrnoFailure(name);
    return TRUE;
}

BOOL DeleteFileA(LPCSTR path) {
    if (FaultFires(Call::DeleteFile))
        return FALSE;
    std::string name;
    struct stat st;
    if (!ToSystemPath(path, &name) || !StatOrFail(name, &st, false))
        return FALSE;
    if (S_ISDIR(st.st_mode) || (S_ISREG(st.st_mode) && IsReadOnly(st)))
        return ReturnError(ERROR_ACCESS_DENIED, FALSE);
    if (S_ISREG(st.st_mode) && MarkerHeld(name, ShareMarker::DeniesDelete))
        return ReturnError(ERROR_SHARING_VIOLATION, FALSE);
    NoteEntryChanging(name);
    if (unlink(name.c_str()) != 0)
        return ErrnoFailure(name);
    return TRUE;
}

BOOL MoveFileA(LPCSTR from, LPCSTR to) {
    if (FaultFires(Call::MoveFile))
        return FALSE;
    return MoveName(from, to, 0) ? TRUE : FALSE;
}

// MOVEFILE_COPY_ALLOWED is not carried out: a move between file systems
// fails with ERROR_NOT_SAME_DEVICE.
BOOL MoveFileExA(LPCSTR from, LPCSTR to, DWORD flags) {
    if (FaultFires(Call::MoveFileEx))
        return FALSE;
    return MoveName(from, to, flags) ? TRUE : FALSE;
}

BOOL CreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES) {
    if (FaultFires(Call::CreateDirectory))
        return FALSE;
    std::string name;
    if (!ToSystemPath(path, &name))
        return FALSE;
    NoteEntryChanging(name);
    if (mkdir(name.c_str(), 0777) != 0)
        return ErrnoFailure(name);
    NoteCreated(name, true);
    // Written through at once, as NTFS orders it before any later flush: a
    // file flushed inside the new directory is then durable under its path.
    // A failed sync leaves a directory that exists, which is what was asked.
    SyncDirectory(ParentDirectory(name));
    return TRUE;
}

BOOL RemoveDirectoryA(LPCSTR path) {
    std::string name;
    if (!ToSystemPath(path, &name))
        return FALSE;
    NoteEntryChanging(name);
    if (rmdir(name.c_str()) != 0) {
        // POSIX lets rmdir report a non-empty directory either way.
        SetErrorFromErrno(errno == EEXIST ? ENOTEMPTY : errno, name);
        return FALSE;
    }
    return TRUE;
}

HANDLE FindFirstFileA(LPCSTR pattern, LPWIN32_FIND_DATAA found) {
    if (FaultFires(Call::FindFirstFile))
        return INVALID_HANDLE_VALUE;
    std::string name;
    if (found == nullptr)
        return ReturnError(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    auto search = std::make_shared<SearchObject>();
    if (!ToSystemPath(pattern, &name, NameUse::Pattern) || !Search(name, search.get()))
        return INVALID_HANDLE_VALUE;
    *found = search->found[0];
    search->next = 1;
    return OpenHandle(search);
}

BOOL FindNextFileA(HANDLE find, LPWIN32_FIND_DATAA found) {
    if (FaultFires(Call::FindNextFile))
        return FALSE;
    auto search = std::static_pointer_cast<SearchObject>(FindObject(find, ObjectKind::Find));
    if (!search)
        return FALSE;
    if (search->next >= search->found.size())
        return ReturnError(ERROR_NO_MORE_FILES, FALSE);
    *found = search->found[search->next++];
    return TRUE;
}

BOOL FindClose(HANDLE find) {
    if (!FindObject(find, ObjectKind::Find))
        return FALSE;
    return CloseObjectHandle(find) ? TRUE : FALSE;
}

// Truncates as Windows Vista and later do: size - 1 bytes and a zero,
// returning size with ERROR_INSUFFICIENT_BUFFER.
DWORD GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size) {
    if (FaultFires(Call::GetModuleFileName))
        return 0;
    if (module != nullptr)
        return ReturnError(ERROR_INVALID_HANDLE, 0u);
    std::string target(256, '\0');
    ssize_t n;
    while ((n = readlink("/proc/self/exe", &target[0], target.size())) ==
           static_cast<ssize_t>(target.size()))
        target.resize(target.size() * 2);
    if (n < 0) {
        SetErrorFromErrno(errno);
        return 0;
    }
    target.resize(static_cast<size_t>(n));
    std::string name;
    if (!FromSystemPath(target, &name))
        return 0;
    if (size == 0)
        return ReturnError(ERROR_INSUFFICIENT_BUFFER, 0u);
    if (CopyOut(name, buffer, size))
        return static_cast<DWORD>(name.size());
    memcpy(buffer, name.data(), size - 1);
    buffer[size - 1] = '\0';
    return ReturnError(ERROR_INSUFFICIENT_BUFFER, size);
}

// The volume's figures as statvfs gives them; "free to the caller" leaves
// out what the file system keeps for root, as quotas do on Windows. Tests
// may force that figure (PI_FREE_SPACE).
BOOL GetDiskFreeSpaceExA(LPCSTR directory, PULARGE_INTEGER freeToCaller, PULARGE_INTEGER total,
                         PULARGE_INTEGER totalFree) {
    std::string name;
    struct statvfs volume;
    if (!ToSystemPath(directory, &name))
        return FALSE;
    if (statvfs(name.c_str(), &volume) != 0)
        return ErrnoFailure(name);
    const uint64_t unit = volume.f_frsize;
    uint64_t forced;
    if (freeToCaller != nullptr)
        freeToCaller->QuadPart = ForcedFreeSpace(&forced) ? forced : volume.f_bavail * unit;
    if (total != nullptr)
        total->QuadPart = volume.f_blocks * unit;
    if (totalFree != nullptr)
        totalFree->QuadPart = volume.f_bfree * unit;
    return TRUE;
}

// Returns the length without the zero; when the buffer is too small,
// the size it needs (zero included) and nothing is written.
DWORD GetTempPathA(DWORD size, LPSTR buffer) {
    if (FaultFires(Call::GetTempPath))
        return 0;
    const char* fromEnvironment = getenv("TMPDIR");
    std::string dir = fromEnvironment != nullptr && *fromEnvironment ? fromEnvironment : "/tmp";
    if (dir.back() != '/')
        dir += '/';
    std::string name;
    if (!FromSystemPath(dir, &name))
        return 0;
    if (buffer == nullptr || !CopyOut(name, buffer, size))
        return static_cast<DWORD>(name.size() + 1);
    return static_cast<DWORD>(name.size());
}

// `out` holds MAX_PATH bytes. The name keeps the caller's spelling of `dir`
// and adds the separator `dir` uses ('/' never occurs inside a GBK
// character, so looking for it is safe).
UINT GetTempFileNameA(LPCSTR dir, LPCSTR prefix, UINT unique, LPSTR out) {
    if (FaultFires(Call::GetTempFileName))
        return 0;
    if (dir == nullptr || out == nullptr)
        return ReturnError(ERROR_INVALID_PARAMETER, 0u);
    std::string systemDir, prefixText;
    struct stat st;
    if (!ToSystemPath(dir, &systemDir) || !PrefixOfThree(prefix, &prefixText))
        return 0;
    if (stat(systemDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return ReturnError(ERROR_PATH_NOT_FOUND, 0u);
    bool endsWithSeparator = systemDir.back() == '/';
    std::string separator = endsWithSeparator ? "" : strchr(dir, '/') ? "/" : "\\";
    std::string gbkBase = dir + separator + prefixText;
    if (gbkBase.size() + strlen("FFFF.tmp") >= MAX_PATH)
        return ReturnError(ERROR_FILENAME_EXCED_RANGE, 0u);
    std::string systemBase;
    if (!ToSystemPath(gbkBase.c_str(), &systemBase))
        return 0;
    if (unique == 0)
        return CreateUniqueName(gbkBase, systemBase, out);
    unique &= 0xFFFFu;
    CopyOut(gbkBase + HexName(unique), out, MAX_PATH);
    return unique;
}

} // extern "C"
