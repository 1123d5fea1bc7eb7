// Linux stand-in for Win32: file handles. CreateFileA with its dispositions,
// the read-only attribute and share modes; ReadFile, WriteFile, the file
// pointer, size, flush and times.
//
// The process runs as root in tests and CI, so nothing here may lean on the
// kernel's permission checks to refuse a write to a read-only file: the
// layer checks the write bits itself.
#include "platform/posix_seam.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pi::posix {
namespace {

struct FileObject : KernelObject {
    FileObject(int descriptor, bool read, bool write, bool through)
        : KernelObject(ObjectKind::File), fd(descriptor), canRead(read), canWrite(write),
          writeThrough(through) {}
    ~FileObject() override { close(fd); } // also drops the share locks
    const int fd;
    const bool canRead;
    const bool canWrite;
    const bool writeThrough;
    std::atomic<uint64_t> unwritten{0}; // bytes written since writeback was last started
};

// Windows writes a file's cached data back to the disk continuously, so a
// flush at the end finds little left. Linux waits until a share of all
// memory is dirty, far more than an archive, and the flush would then write
// a whole archive at once. So each time this much has been written to a
// file, its writeback is started here (not waited for).
constexpr uint64_t kWritebackStep = 8 << 20;

void StartWriteback(FileObject& object, DWORD written) {
    if (object.unwritten.fetch_add(written) + written < kWritebackStep)
        return;
    object.unwritten = 0;
    sync_file_range(object.fd, 0, 0, SYNC_FILE_RANGE_WRITE); // only a hint: failures do not matter
}

std::shared_ptr<FileObject> FindFile(HANDLE handle) {
    return std::static_pointer_cast<FileObject>(FindObject(handle, ObjectKind::File));
}

// Far beyond any offset a real file of the installer reaches.
const off_t kMarkerBase = static_cast<off_t>(0x7FFFFFFF00000000LL);

struct flock MarkerLock(ShareMarker marker, short type) {
    struct flock lock = {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = kMarkerBase + static_cast<off_t>(marker);
    lock.l_len = 1;
    return lock;
}

// A file system without open-file-description locks gets no share modes
// rather than no files.
bool LocksUnsupported(int error) {
    return error == EINVAL || error == ENOLCK || error == EOPNOTSUPP || error == ENOSYS;
}

bool TakeMarker(int fd, ShareMarker marker) {
    struct flock lock = MarkerLock(marker, F_RDLCK);
    return fcntl(fd, F_OFD_SETLK, &lock) == 0 || LocksUnsupported(errno);
}

bool TakeMarkers(int fd, bool read, bool write, DWORD share) {
    return TakeMarker(fd, ShareMarker::Open) && (!read || TakeMarker(fd, ShareMarker::HasRead)) &&
           (!write || TakeMarker(fd, ShareMarker::HasWrite)) &&
           ((share & FILE_SHARE_READ) || TakeMarker(fd, ShareMarker::DeniesRead)) &&
           ((share & FILE_SHARE_WRITE) || TakeMarker(fd, ShareMarker::DeniesWrite)) &&
           ((share & FILE_SHARE_DELETE) || TakeMarker(fd, ShareMarker::DeniesDelete));
}

bool ConflictsWithOthers(int fd, bool read, bool write, DWORD share) {
    return (read && MarkerHeldByOthers(fd, ShareMarker::DeniesRead)) ||
           (write && MarkerHeldByOthers(fd, ShareMarker::DeniesWrite)) ||
           (!(share & FILE_SHARE_READ) && MarkerHeldByOthers(fd, ShareMarker::HasRead)) ||
           (!(share & FILE_SHARE_WRITE) && MarkerHeldByOthers(fd, ShareMarker::HasWrite));
}

// Announce first, then look: of two conflicting opens racing each other,
// each then sees the other and both fail, so neither wins wrongly.
bool ClaimShare(int fd, bool read, bool write, DWORD share) {
    if (!TakeMarkers(fd, read, write, share)) {
        SetErrorFromErrno(errno);
        return false;
    }
    if (ConflictsWithOthers(fd, read, write, share))
        return ReturnError(ERROR_SHARING_VIOLATION, false);
    return true;
}

bool Truncates(DWORD disposition) {
    return disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING;
}

int OpenFlags(bool write, DWORD flags) {
    int result = (write ? O_RDWR : O_RDONLY) | O_CLOEXEC;
    if (flags & FILE_FLAG_WRITE_THROUGH)
        result |= O_DSYNC;
    return result;
}

int OpenOrFail(const std::string& name, int flags, mode_t mode) {
    int fd;
    do
        fd = open(name.c_str(), flags, mode);
    while (fd < 0 && errno == EINTR);
    return fd;
}

// Opens or creates the descriptor the disposition asks for, without
// truncating: that waits until the share mode has been granted. `existed`
// tells whether an existing file was opened.
int OpenDescriptor(const std::string& name, int flags, DWORD disposition, mode_t mode,
                   bool* existed) {
    int fd = -1;
    *existed = false;
    if (disposition == CREATE_NEW) {
        fd = OpenOrFail(name, flags | O_CREAT | O_EXCL, mode);
        if (fd < 0 && errno == EEXIST)
            return ReturnError(ERROR_FILE_EXISTS, -1);
    } else if (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING) {
        fd = OpenOrFail(name, flags, 0);
        *existed = fd >= 0;
    } else {
        // Open, else create exclusively; a file that appears in between is
        // opened on the next round.
        for (int round = 0; round < 8 && fd < 0; ++round) {
            fd = OpenOrFail(name, flags, 0);
            *existed = fd >= 0;
            if (fd >= 0 || errno != ENOENT)
                break;
            fd = OpenOrFail(name, flags | O_CREAT | O_EXCL, mode);
            if (fd < 0 && errno != EEXIST)
                break;
        }
    }
    if (fd < 0)
        SetErrorFromErrno(errno, name);
    return fd;
}

bool IsReadOnly(const struct stat& st) {
    return (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
}

// What Windows refuses once the file is found: a directory, and writing to
// (or truncating) an existing read-only file.
bool AcceptOpenedFile(int fd, bool existed, bool changesData) {
    struct stat st;
    if (fstat(fd, &st) != 0) {
        SetErrorFromErrno(errno);
        return false;
    }
    if (S_ISDIR(st.st_mode) || (existed && changesData && IsReadOnly(st)))
        return ReturnError(ERROR_ACCESS_DENIED, false);
    return true;
}

// CREATE_ALWAYS replaces an existing hidden or system file only when the
// call repeats those attributes.
bool RepeatsHiddenAndSystem(int fd, bool existed, DWORD disposition, DWORD flags) {
    if (!existed || disposition != CREATE_ALWAYS)
        return true;
    if (ExtraAttributesOf(fd) & ~flags)
        return ReturnError(ERROR_ACCESS_DENIED, false);
    return true;
}

// Checks the file that was opened, takes its share mode, and only then
// truncates it when the disposition says so. A file the call creates, or
// replaces with CREATE_ALWAYS, takes the hidden and system attributes the
// call gives.
bool PrepareOpenedFile(int fd, bool existed, bool read, bool write, DWORD share, DWORD disposition,
                       DWORD flags) {
    if (!AcceptOpenedFile(fd, existed, write || Truncates(disposition)) ||
        !RepeatsHiddenAndSystem(fd, existed, disposition, flags) ||
        !ClaimShare(fd, read, write, share))
        return false;
    if (existed && Truncates(disposition))
        NoteFileChanging(fd);
    if (existed && Truncates(disposition) && ftruncate(fd, 0) != 0) {
        SetErrorFromErrno(errno);
        return false;
    }
    if ((!existed || disposition == CREATE_ALWAYS) &&
        !SetExtraAttributesOf(fd, flags & kExtraAttributes))
        return false;
    return true;
}

// NUL: every disposition opens it, reads find its end, writes vanish.
HANDLE OpenNullDevice(bool read, bool write) {
    int fd = OpenOrFail(kNullDevice, O_RDWR | O_CLOEXEC, 0);
    if (fd < 0) {
        SetErrorFromErrno(errno);
        return INVALID_HANDLE_VALUE;
    }
    SetLastError(ERROR_SUCCESS);
    return OpenHandle(std::make_shared<FileObject>(fd, read, write, false));
}

bool Exists(const std::string& name) {
    struct stat st;
    return lstat(name.c_str(), &st) == 0;
}

// FlushFileBuffers on NTFS makes the file durable under its name: the
// directory entry goes to disk with it. Here that takes a sync of the
// directory that holds the file now.
bool SyncDirectoryOf(int fd) {
    char target[4096];
    ssize_t n =
        readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target, sizeof target - 1);
    if (n <= 0)
        return true;
    std::string dir = ParentDirectory(std::string(target, static_cast<size_t>(n)));
    int dirFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0)
        return true; // the file has no name any more
    bool synced = fsync(dirFd) == 0;
    int error = errno;
    close(dirFd);
    if (!synced) {
        SetErrorFromErrno(error);
        return false;
    }
    NoteDirectorySynced(dir);
    return true;
}

// Reads or writes until `count` bytes are done, the end of the file is
// reached (a read returning 0) or the system fails.
template <typename Transfer> bool TransferAll(Transfer transfer, DWORD count, DWORD* done) {
    *done = 0;
    while (*done < count) {
        ssize_t n = transfer(*done, count - *done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            SetErrorFromErrno(errno);
            return false;
        }
        if (n == 0)
            break;
        *done += static_cast<DWORD>(n);
    }
    return true;
}

// FILETIME counts 100 ns units since 1601-01-01; this is 1970-01-01.
const uint64_t kUnixEpochFiletime = 116444736000000000ULL;
const uint64_t kUnitsPerSecond = 10000000ULL;

uint64_t FiletimeValue(const FILETIME& time) {
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// Windows takes a time as a signed 64-bit number: from 2^63 on it is
// negative, and refused, but for all ones and all ones less one, which stop
// and resume the system's own updates of that time and change nothing now.
bool IsRefusedTime(const FILETIME* time) {
    const uint64_t value = time != nullptr ? FiletimeValue(*time) : 0;
    return value >= (1ULL << 63) && value < ~1ULL;
}

// A null time, one of zero, or one of the two special values (as Windows
// treats them), leaves the time as it is.
struct timespec ToTimespec(const FILETIME* time) {
    struct timespec result = {0, UTIME_OMIT};
    if (time == nullptr || FiletimeValue(*time) == 0 || FiletimeValue(*time) >= ~1ULL)
        return result;
    uint64_t value = FiletimeValue(*time);
    if (value >= kUnixEpochFiletime) {
        uint64_t units = value - kUnixEpochFiletime;
        result.tv_sec = static_cast<time_t>(units / kUnitsPerSecond);
        result.tv_nsec = static_cast<long>(units % kUnitsPerSecond) * 100;
    } else {
        uint64_t units = kUnixEpochFiletime - value;
        result.tv_sec = -static_cast<time_t>(units / kUnitsPerSecond);
        result.tv_nsec = -static_cast<long>(units % kUnitsPerSecond) * 100;
        if (result.tv_nsec < 0) {
            result.tv_sec -= 1;
            result.tv_nsec += 1000000000L;
        }
    }
    return result;
}

FILETIME ToFiletime(const struct timespec& time) {
    int64_t units = static_cast<int64_t>(time.tv_sec) * static_cast<int64_t>(kUnitsPerSecond) +
                    time.tv_nsec / 100;
    int64_t value = units + static_cast<int64_t>(kUnixEpochFiletime);
    uint64_t clamped = value < 0 ? 0 : static_cast<uint64_t>(value);
    FILETIME result;
    result.dwLowDateTime = static_cast<DWORD>(clamped);
    result.dwHighDateTime = static_cast<DWORD>(clamped >> 32);
    return result;
}

} // namespace

bool MarkerHeldByOthers(int fd, ShareMarker marker) {
    struct flock lock = MarkerLock(marker, F_WRLCK);
    return fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
}

bool MarkerHeld(const std::string& path, ShareMarker marker) {
    int fd = OpenOrFail(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0);
    if (fd < 0)
        return false;
    struct stat st;
    bool held = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && MarkerHeldByOthers(fd, marker);
    close(fd);
    return held;
}

} // namespace pi::posix

using namespace pi::posix;
using pi::fault::Call;

extern "C" {

HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD disposition,
                   DWORD flags, HANDLE) {
    if (FaultFires(Call::CreateFile))
        return INVALID_HANDLE_VALUE;
    bool read = (access & GENERIC_READ) != 0;
    bool write = (access & GENERIC_WRITE) != 0;
    if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING ||
        (disposition == TRUNCATE_EXISTING && !write))
        return ReturnError(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    std::string name;
    if (!ToSystemPath(path, &name, NameUse::Open))
        return INVALID_HANDLE_VALUE;
    if (name == kNullDevice)
        return OpenNullDevice(read, write);
    // Always readable, so that share locks can be taken; truncation needs
    // a writable descriptor whatever the caller asked for.
    int openFlags = OpenFlags(write || Truncates(disposition), flags);
    mode_t mode = (flags & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;
    bool existed = false;
    bool creates = disposition != OPEN_EXISTING && disposition != TRUNCATE_EXISTING;
    if (creates && PowerCutModelOn() && !Exists(name))
        NoteEntryChanging(name);
    int fd = OpenDescriptor(name, openFlags, disposition, mode, &existed);
    if (fd < 0)
        return INVALID_HANDLE_VALUE;
    if (!existed)
        NoteCreated(name, false);
    if (!PrepareOpenedFile(fd, existed, read, write, share, disposition, flags)) {
        close(fd);
        return INVALID_HANDLE_VALUE;
    }
    if (flags & FILE_FLAG_SEQUENTIAL_SCAN)
        posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    HANDLE handle = OpenHandle(
        std::make_shared<FileObject>(fd, read, write, (flags & FILE_FLAG_WRITE_THROUGH) != 0));
    bool reportsExisting = disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS;
    SetLastError(existed && reportsExisting ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD count, LPDWORD done, LPOVERLAPPED overlapped) {
    DWORD local = 0;
    DWORD* counter = done != nullptr ? done : &local;
    *counter = 0;
    if (FaultFires(Call::ReadFile))
        return FALSE;
    auto object = FindFile(file);
    if (!object)
        return FALSE;
    if (overlapped != nullptr)
        return ReturnError(ERROR_INVALID_PARAMETER, FALSE);
    if (!object->canRead)
        return ReturnError(ERROR_ACCESS_DENIED, FALSE);
    char* bytes = static_cast<char*>(buffer);
    auto transfer = [&](DWORD at, DWORD n) { return read(object->fd, bytes + at, n); };
    return TransferAll(transfer, count, counter) ? TRUE : FALSE;
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD count, LPDWORD done, LPOVERLAPPED overlapped) {
    DWORD local = 0;
    DWORD* counter = done != nullptr ? done : &local;
    *counter = 0;
    if (FaultFires(Call::WriteFile))
        return FALSE;
    auto object = FindFile(file);
    if (!object)
        return FALSE;
    if (overlapped != nullptr)
        return ReturnError(ERROR_INVALID_PARAMETER, FALSE);
    if (!object->canWrite)
        return ReturnError(ERROR_ACCESS_DENIED, FALSE);
    const char* bytes = static_cast<const char*>(buffer);
    auto transfer = [&](DWORD at, DWORD n) {
        ssize_t written = write(object->fd, bytes + at, n);
        if (written == 0) { // a write that makes no progress would spin
            errno = ENOSPC;
            return static_cast<ssize_t>(-1);
        }
        return written;
    };
    NoteFileChanging(object->fd);
    if (!TransferAll(transfer, count, counter))
        return FALSE;
    if (object->writeThrough)
        NoteFileSynced(object->fd);
    else
        StartWriteback(*object, *counter);
    return TRUE;
}

DWORD SetFilePointer(HANDLE file, LONG distance, PLONG distanceHigh, DWORD method) {
    if (FaultFires(Call::SetFilePointer))
        return INVALID_SET_FILE_POINTER;
    auto object = FindFile(file);
    if (!object)
        return INVALID_SET_FILE_POINTER;
    int64_t offset = distance;
    if (distanceHigh != nullptr)
        offset = static_cast<int64_t>(
            (static_cast<uint64_t>(static_cast<uint32_t>(*distanceHigh)) << 32) |
            static_cast<uint32_t>(distance));
    int64_t origin = 0;
    struct stat st;
    if (method == FILE_CURRENT)
        origin = lseek(object->fd, 0, SEEK_CUR);
    else if (method == FILE_END)
        origin = fstat(object->fd, &st) == 0 ? st.st_size : -1;
    else if (method != FILE_BEGIN)
        return ReturnError(ERROR_INVALID_PARAMETER, INVALID_SET_FILE_POINTER);
    if (origin < 0) {
        SetErrorFromErrno(errno);
        return INVALID_SET_FILE_POINTER;
    }
    // Saturating: an offset beyond the signed range is as negative or as far
    // as anything this layer accepts.
    int64_t target;
    if (__builtin_add_overflow(origin, offset, &target) || target < 0)
        return ReturnError(ERROR_NEGATIVE_SEEK, INVALID_SET_FILE_POINTER);
    // Without a high part the caller can only see 32 bits: a position it
    // cannot see is refused rather than reported wrongly.
    if (distanceHigh == nullptr && target > 0xFFFFFFFFLL)
        return ReturnError(ERROR_INVALID_PARAMETER, INVALID_SET_FILE_POINTER);
    if (lseek(object->fd, static_cast<off_t>(target), SEEK_SET) < 0) {
        SetErrorFromErrno(errno);
        return INVALID_SET_FILE_POINTER;
    }
    if (distanceHigh != nullptr)
        *distanceHigh = static_cast<LONG>(static_cast<uint64_t>(target) >> 32);
    SetLastError(ERROR_SUCCESS); // tells a position of 0xFFFFFFFF from a failure
    return static_cast<DWORD>(target);
}

DWORD GetFileSize(HANDLE file, LPDWORD sizeHigh) {
    if (FaultFires(Call::GetFileSize))
        return INVALID_FILE_SIZE;
    auto object = FindFile(file);
    if (!object)
        return INVALID_FILE_SIZE;
    struct stat st;
    if (fstat(object->fd, &st) != 0) {
        SetErrorFromErrno(errno);
        return INVALID_FILE_SIZE;
    }
    uint64_t size = static_cast<uint64_t>(st.st_size);
    if (sizeHigh != nullptr)
        *sizeHigh = static_cast<DWORD>(size >> 32);
    SetLastError(ERROR_SUCCESS); // tells a size of 0xFFFFFFFF from a failure
    return static_cast<DWORD>(size);
}

BOOL FlushFileBuffers(HANDLE file) {
    if (FaultFires(Call::FlushFileBuffers))
        return FALSE;
    auto object = FindFile(file);
    if (!object)
        return FALSE;
    if (!object->canWrite)
        return ReturnError(ERROR_ACCESS_DENIED, FALSE);
    if (fsync(object->fd) != 0) {
        SetErrorFromErrno(errno);
        return FALSE;
    }
    NoteFileSynced(object->fd);
    return SyncDirectoryOf(object->fd) ? TRUE : FALSE;
}

BOOL SetFileTime(HANDLE file, const FILETIME*, const FILETIME* lastAccess,
                 const FILETIME* lastWrite) {
    if (FaultFires(Call::SetFileTime))
        return FALSE;
    auto object = FindFile(file);
    if (!object)
        return FALSE;
    if (!object->canWrite)
        return ReturnError(ERROR_ACCESS_DENIED, FALSE);
    if (IsRefusedTime(lastAccess) || IsRefusedTime(lastWrite))
        return ReturnError(ERROR_INVALID_PARAMETER, FALSE);
    struct timespec times[2] = {ToTimespec(lastAccess), ToTimespec(lastWrite)};
    NoteFileChanging(object->fd);
    if (futimens(object->fd, times) != 0) {
        SetErrorFromErrno(errno);
        return FALSE;
    }
    return TRUE;
}

// Linux keeps no creation time that can be set; the modification time
// stands in for it.
BOOL GetFileTime(HANDLE file, FILETIME* creation, FILETIME* lastAccess, FILETIME* lastWrite) {
    auto object = FindFile(file);
    if (!object)
        return FALSE;
    struct stat st;
    if (fstat(object->fd, &st) != 0) {
        SetErrorFromErrno(errno);
        return FALSE;
    }
    if (creation != nullptr)
        *creation = ToFiletime(st.st_mtim);
    if (lastAccess != nullptr)
        *lastAccess = ToFiletime(st.st_atim);
    if (lastWrite != nullptr)
        *lastWrite = ToFiletime(st.st_mtim);
    return TRUE;
}

} // extern "C"
