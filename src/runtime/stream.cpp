// Byte streams over Win32 file handles, and the chunked copy between them.
#include "runtime/stream.h"

#include <cstring>

namespace {

// Errors that mean "the file cannot be reached right now" rather than a
// fault of the request itself.
const DWORD kNoAccessErrors[] = {
    ERROR_FILE_NOT_FOUND, ERROR_TOO_MANY_OPEN_FILES, ERROR_INVALID_HANDLE,
    ERROR_INVALID_ACCESS, ERROR_SHARING_VIOLATION,   ERROR_HANDLE_DISK_FULL,
};

const u32 kCopyChunk = 8192;

struct ModeParameters {
    DWORD access;
    DWORD share;
    DWORD disposition;
    bool clearReadOnly;
    u32 accessMask;
};

const u32 kReadSeek = StreamAccessRead | StreamAccessSeek;
const u32 kWriteSeek = StreamAccessWrite | StreamAccessSeek;

// Indexed by FileOpenMode.
const ModeParameters kModes[] = {
    {GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, false, kReadSeek},
    {GENERIC_WRITE, 0, CREATE_ALWAYS, true, kWriteSeek},
    {GENERIC_READ | GENERIC_WRITE, 0, OPEN_ALWAYS, true, kReadSeek | kWriteSeek},
    {GENERIC_WRITE, 0, OPEN_ALWAYS, true, kWriteSeek},
};

const u32 kModeCount = sizeof(kModes) / sizeof(kModes[0]);

StreamStatus LastErrorStatus() {
    return StreamStatusFromError(GetLastError());
}

// The system's separator is '\'; callers may spell paths with '/'.
bool CopyWin32Path(const char* path, char (&out)[MAX_PATH]) {
    size_t length = strlen(path);
    if (length >= MAX_PATH)
        return false;
    for (size_t i = 0; i <= length; ++i)
        out[i] = path[i] == '/' ? '\\' : path[i];
    return true;
}

const DWORD kHiddenOrSystem = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

// A failure of either call is of no consequence: the open that follows
// reports whether the file can be written. Returns the hidden and system
// attributes the file keeps.
DWORD ClearReadOnly(const char* path) {
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return 0;
    SetFileAttributesA(path, attributes & ~FILE_ATTRIBUTE_READONLY);
    return attributes & kHiddenOrSystem;
}

// CREATE_ALWAYS refuses an existing hidden or system file unless the call
// repeats those attributes; repeated, the file is replaced and keeps them.
DWORD CreateFlags(DWORD disposition, DWORD kept) {
    const DWORD scan = FILE_FLAG_SEQUENTIAL_SCAN;
    if (disposition == CREATE_ALWAYS && kept != 0)
        return kept | scan;
    return FILE_ATTRIBUTE_NORMAL | scan;
}

} // namespace

StreamStatus StreamStatusFromError(DWORD error) {
    for (DWORD noAccess : kNoAccessErrors)
        if (error == noAccess)
            return StreamNoAccess;
    return StreamFailed;
}

RawFile::~RawFile() {
    if (handle != INVALID_HANDLE_VALUE) {
        if (!CloseHandle(handle))
            status = LastErrorStatus();
        handle = INVALID_HANDLE_VALUE;
    }
}

StreamStatus RawFile::Open(const char* path, FileOpenMode mode) {
    char workPath[MAX_PATH];
    bool pathFits = CopyWin32Path(path, workPath);

    if (status != StreamClosed) {
        if (handle == INVALID_HANDLE_VALUE) {
            status = StreamClosed;
        } else if (CloseHandle(handle)) {
            handle = INVALID_HANDLE_VALUE;
            status = StreamClosed;
        } else {
            status = LastErrorStatus();
        }
    }

    if (!pathFits) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return status = StreamFailed;
    }
    if (mode >= kModeCount) {
        // Report the request's own fault, not whatever error came before.
        SetLastError(ERROR_INVALID_PARAMETER);
        return status = StreamFailed;
    }

    const ModeParameters& parameters = kModes[mode];
    const DWORD kept = parameters.clearReadOnly ? ClearReadOnly(workPath) : 0;
    handle =
        CreateFileA(workPath, parameters.access, parameters.share, nullptr, parameters.disposition,
                    CreateFlags(parameters.disposition, kept), nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return status = LastErrorStatus();
    return status = StreamOk;
}

StreamStatus RawFile::Read(void* buffer, u32 count, u32* done) {
    if (count == 0)
        return status = StreamOk;
    if (status != StreamOk)
        return status;
    DWORD read = 0;
    BOOL succeeded = ReadFile(handle, buffer, count, &read, nullptr);
    if (done)
        *done = read;
    if (!succeeded)
        return status = LastErrorStatus();
    return status = (read == count ? StreamOk : StreamEnd);
}

StreamStatus RawFile::Write(const void* buffer, u32 count, u32* done) {
    if (count == 0) {
        if (done)
            *done = 0;
        return status = StreamOk;
    }
    if (status != StreamOk && status != StreamEnd)
        return status;
    DWORD written = 0;
    BOOL succeeded = WriteFile(handle, buffer, count, &written, nullptr);
    if (done)
        *done = written;
    if (!succeeded)
        return status = LastErrorStatus();
    return status = StreamOk;
}

StreamStatus RawFile::Seek(i32 position) {
    if (status != StreamOk && status != StreamEnd)
        return status;
    DWORD moved = SetFilePointer(handle, position, nullptr, FILE_BEGIN);
    if (moved == INVALID_SET_FILE_POINTER)
        return status = LastErrorStatus();
    return status = (moved < GetFileSize(handle, nullptr) ? StreamOk : StreamEnd);
}

u32 RawFile::Tell() {
    return SetFilePointer(handle, 0, nullptr, FILE_CURRENT);
}

u32 RawFile::GetSize() {
    if (status != StreamOk && status != StreamEnd)
        return 0;
    return GetFileSize(handle, nullptr);
}

StreamStatus RawFile::Flush() {
    if (status != StreamOk && status != StreamEnd)
        return status;
    if (!FlushFileBuffers(handle))
        return status = LastErrorStatus();
    return status = StreamOk;
}

StreamStatus RawFile::Close() {
    if (status == StreamClosed)
        return StreamClosed;
    if (handle != INVALID_HANDLE_VALUE && !CloseHandle(handle))
        return status = LastErrorStatus();
    handle = INVALID_HANDLE_VALUE;
    return status = StreamClosed;
}

FileStream::~FileStream() {
    Close();
}

bool FileStream::Open(const char* path, FileOpenMode mode) {
    status = file.Open(path, mode);
    if (status != StreamOk)
        return false;
    accessMask = kModes[mode].accessMask;
    return true;
}

bool FileStream::HasAccess(u32 mask) {
    return (accessMask & mask) != 0;
}

u32 FileStream::Tell() {
    return file.Tell();
}

bool FileStream::Seek(i32 position) {
    return file.Seek(position) == StreamOk;
}

u32 FileStream::GetSize() {
    return file.GetSize();
}

bool FileStream::Read(void* buffer, u32 count) {
    if (!HasAccess(StreamAccessRead)) {
        status = StreamBadMode;
        return false;
    }
    if (status != StreamOk)
        return false;
    u32 done = 0;
    status = file.Read(buffer, count, &done);
    return status == StreamOk;
}

bool FileStream::Write(const void* buffer, u32 count) {
    if (!HasAccess(StreamAccessWrite)) {
        status = StreamBadMode;
        return false;
    }
    if (status != StreamOk && status != StreamEnd)
        return false;
    u32 done = 0;
    status = file.Write(buffer, count, &done);
    return status == StreamOk;
}

bool FileStream::Flush() {
    if (!HasAccess(StreamAccessWrite)) {
        status = StreamBadMode;
        return false;
    }
    if (status != StreamOk && status != StreamEnd)
        return false;
    status = file.Flush();
    return status == StreamOk;
}

bool FileStream::SetWriteTime(const FILETIME* lastWrite) {
    return HasAccess(StreamAccessWrite) && status != StreamClosed &&
           SetFileTime(file.handle, nullptr, nullptr, lastWrite) != FALSE;
}

void FileStream::Close() {
    if (status != StreamClosed) {
        file.Close();
        accessMask = 0;
        status = StreamClosed;
    }
}

bool CopyStream(Stream& dst, Stream& src, u32 count, CopyProgress progress) {
    thread_local static u8 buffer[kCopyChunk];

    u32 total = count == 0xFFFFFFFFu ? src.GetSize() - src.Tell() : count;
    if (progress)
        progress(0, total);
    u32 copied = 0;
    for (u32 remaining = total; remaining != 0;) {
        u32 chunk = remaining < kCopyChunk ? remaining : kCopyChunk;
        if (!src.Read(buffer, chunk) || !dst.Write(buffer, chunk))
            return false;
        copied += chunk;
        if (progress)
            progress(copied, total);
        remaining -= chunk;
    }
    return true;
}
