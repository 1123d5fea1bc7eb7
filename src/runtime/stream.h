// Byte streams over files. Every byte the installer reads or writes, except
// the text log, goes through Stream; FileStream is its one implementation,
// a thin layer over a Win32 file handle owned by RawFile.
//
// Nothing here throws, logs or shows anything: results are bool or a status
// code, and the last status stays on the object.
#pragma once

#include "platform/win32.h"
#include "runtime/types.h"

enum StreamStatus : u32 {
    StreamOk = 0,
    StreamNoAccess = 1, // missing, locked, too many files, bad handle, disk full
    StreamEnd = 2,      // short read, or a seek to or past the end
    StreamBadMode = 3,  // read or write not allowed by the open mode
    StreamClosed = 4,
    StreamFailed = 5, // any other system error
};

enum FileOpenMode : u32 {
    OpenRead = 0,         // read, shared for reading, must exist
    OpenCreate = 1,       // write, exclusive, created or truncated
    OpenReadWrite = 2,    // read and write, exclusive, opened or created
    OpenWriteInPlace = 3, // write, exclusive, opened or created
};

enum StreamAccess : u32 {
    StreamAccessWrite = 1,
    StreamAccessRead = 2,
    StreamAccessSeek = 4,
};

// Maps a Win32 error code to the status class the stream reports.
StreamStatus StreamStatusFromError(DWORD error);

class Stream {
  public:
    Stream() = default;
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    virtual bool HasAccess(u32 mask) = 0;
    virtual u32 Tell() = 0;
    virtual bool Seek(i32 position) = 0;
    virtual u32 GetSize() = 0;
    virtual bool Read(void* buffer, u32 count) = 0;
    virtual bool Write(const void* buffer, u32 count) = 0;
    virtual ~Stream() = default;
    virtual void Close() {}

    StreamStatus status = StreamClosed;
};

// Owns one Win32 file handle.
class RawFile {
  public:
    RawFile() = default;
    RawFile(const RawFile&) = delete;
    RawFile& operator=(const RawFile&) = delete;
    ~RawFile();

    StreamStatus Open(const char* path, FileOpenMode mode);
    StreamStatus Read(void* buffer, u32 count, u32* done);
    StreamStatus Write(const void* buffer, u32 count, u32* done);
    StreamStatus Seek(i32 position);
    u32 Tell();
    u32 GetSize();
    // Writes what the system still holds for the file through to the disk.
    StreamStatus Flush();
    StreamStatus Close();

    HANDLE handle = INVALID_HANDLE_VALUE;
    StreamStatus status = StreamClosed;
};

class FileStream : public Stream {
  public:
    FileStream() = default;
    ~FileStream() override;

    bool Open(const char* path, FileOpenMode mode);

    bool HasAccess(u32 mask) override;
    u32 Tell() override;
    bool Seek(i32 position) override;
    u32 GetSize() override;
    bool Read(void* buffer, u32 count) override;
    bool Write(const void* buffer, u32 count) override;
    void Close() override;

    // Makes everything written so far durable (FlushFileBuffers). Like a
    // write, it needs write access and a usable status.
    bool Flush();
    // Sets the last-write time only. A failure leaves the status alone: the
    // file's contents are unaffected by it.
    bool SetWriteTime(const FILETIME* lastWrite);

    RawFile file;
    u32 accessMask = 0;
};

// Reports (bytes copied so far, total bytes of the copy).
typedef void (*CopyProgress)(u32 done, u32 total);

// Copies `count` bytes (0xFFFFFFFF: the rest of `src`) from the current
// position of `src` to that of `dst` through a per-thread 8192-byte buffer.
bool CopyStream(Stream& dst, Stream& src, u32 count, CopyProgress progress);
