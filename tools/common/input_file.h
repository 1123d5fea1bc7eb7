// A file the tool reads itself, handed to the installer's libraries as a
// Stream (the pak library's update, the archive reader) where they would
// otherwise open a code page 936 path: it is opened by its UTF-8 path, on
// Windows through the wide calls, so its name may hold what GBK cannot spell.
//
// It opens on first use and closes once its last byte has been read, so
// that an archive built from thousands of files never holds them all open.
#pragma once

#include "runtime/stream.h"
#include "runtime/types.h"

#include <fstream>
#include <string>
#include <system_error>

namespace pitool {

class InputFile : public Stream {
  public:
    explicit InputFile(std::string utf8Path) : m_path(std::move(utf8Path)) {}

    // Opens the file now (again after the end was read); false when it
    // cannot be read, and OpenError says why.
    bool Open();
    std::error_code OpenError() const { return m_openError; }
    // The whole length, once opened.
    u64 Size() const { return m_size; }
    const std::string& Path() const { return m_path; }

    bool HasAccess(u32 mask) override;
    u32 Tell() override;
    // Opens the file if it is closed; false past the end.
    bool Seek(i32 position) override;
    u32 GetSize() override; // 0xFFFFFFFF for 4 GiB and more
    bool Read(void* buffer, u32 count) override;
    bool Write(const void* buffer, u32 count) override;
    void Close() override;

  private:
    std::string m_path;
    std::filebuf m_file;
    std::error_code m_openError;
    u64 m_size = 0;
    u64 m_position = 0;
};

} // namespace pitool
