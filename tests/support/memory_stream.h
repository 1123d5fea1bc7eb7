// A Stream over bytes in memory, for the tests and the fuzz targets: the
// source of sub-files and packages, and the target of what the code under
// test writes.
#pragma once

#include "runtime/stream.h"

#include <string>

namespace pitest {

// Reads and seeks as FileStream does: a seek to or past the end fails with
// StreamEnd (the position still moves there), a read past the end fails
// with StreamEnd and moves nothing. A writable stream grows as it is
// written; a read-only one refuses writes with StreamBadMode.
class MemoryStream : public Stream {
  public:
    enum Mode { ReadWrite, ReadOnly };
    explicit MemoryStream(std::string bytes = std::string(), Mode mode = ReadWrite);

    bool HasAccess(u32 mask) override;
    u32 Tell() override;
    bool Seek(i32 position) override;
    u32 GetSize() override;
    bool Read(void* buffer, u32 count) override;
    bool Write(const void* buffer, u32 count) override;

    std::string data;
    u32 position = 0;

  private:
    Mode m_mode;
};

} // namespace pitest
