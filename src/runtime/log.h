// The program log: one text file beside the executable, written only when
// something goes wrong, and the lock that serialises its writes.
#pragma once

#include "platform/win32.h"
#include "runtime/types.h"

#include <cstdio>

class iLock {
  public:
    virtual void Lock() = 0;
    virtual void Unlock() = 0;
    virtual ~iLock() = default;
};

// A re-entrant lock over a critical section. If the section cannot be set up
// for lack of memory, the constructor tells the user and the lock becomes a
// no-op (IsValid() false) rather than touching an unusable section.
class CLock : public iLock {
  public:
    CLock();
    ~CLock() override;
    CLock(const CLock&) = delete;
    CLock& operator=(const CLock&) = delete;

    void Lock() override;
    void Unlock() override;
    bool IsValid() const { return m_valid; }

  private:
    CRITICAL_SECTION m_section;
    bool m_valid = false;
};

class iLog {
  public:
    // Appends `text` exactly as given.
    virtual void Write(const char* text) = 0;

  protected:
    ~iLog() = default;
};

class CFileLog : public iLog {
  public:
    // Null `path`: the executable's path with its extension replaced by ".log".
    explicit CFileLog(const char* path);
    virtual ~CFileLog();
    CFileLog(const CFileLog&) = delete;
    CFileLog& operator=(const CFileLog&) = delete;

    void Write(const char* text) override;
    // Hands what was written so far to the system, so that the file can be
    // read while the log stays open.
    void Flush();

  private:
    CLock m_lock;
    FILE* m_file = nullptr;
};

// The log path of the executable at `exePath`: the extension of its file name
// replaced by ".log", or ".log" appended when the name has none. False when
// the result does not fit in `size` bytes.
bool MakeLogPath(const char* exePath, char* out, u32 size);

// The log's first line for the local time at `seconds` since 1970:
// "%H:%M, %B %d, %Y\n", or empty when it cannot be formatted.
void FormatLogTimeStamp(i64 seconds, char (&out)[256]);

// The program-wide log, built (and its file created afresh) on first use.
iLog& GetLog();

// The message shown when a lock cannot be set up for lack of memory.
void ShowOutOfMemoryBox();
