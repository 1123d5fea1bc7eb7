// Shared pieces of the fuzz targets: a scratch directory on tmpfs, streams
// over memory, and the checks that every iteration leaves nothing behind.
#pragma once

#include "memory_stream.h"
#include "runtime/stream.h"
#include "runtime/types.h"

#include <cstddef>
#include <string>

namespace fuzz {

// A directory of its own under $PI_FUZZ_SCRATCH, /dev/shm or /tmp, created on
// first use and removed at exit. Paths are in the library's spelling.
const std::string& ScratchRoot();
// ScratchRoot()\name, emptied: every iteration starts from nothing.
std::string FreshDirectory(const std::string& name);
// Removes `path` and everything below it.
void RemoveTree(const std::string& path);
// Writes `bytes` as the whole file; aborts when it cannot (the harness broke).
void WriteWholeFile(const std::string& path, const u8* bytes, size_t size);

// The program log is one file beside the executable that every failing
// iteration appends to: it is pointed at /dev/null before its first use so
// that long runs cannot fill the disk. Call once, from LLVMFuzzerInitialize.
void SilenceProgramLog();

// Stops the run with `what` on stderr: an invariant of the code under test
// does not hold.
[[noreturn]] void Violation(const char* what);

// Aborts when an archive under `dir` is still held open: every Open of the
// pak library must have been balanced by a Close or an Update.
void ExpectNoOpenArchives(const std::string& dir);

// A read-only stream over a copy of `size` bytes at `data` (the shared
// in-memory stream of the tests; the copy costs nothing next to a run).
pitest::MemoryStream ReaderOver(const u8* data, size_t size);

// A fast hash of a byte sequence that does not depend on how the sequence is
// cut into pieces (not for security: to compare two copies of the same bytes).
class ByteHash {
  public:
    void Update(const u8* bytes, size_t count);
    u64 Value() const;

  private:
    void Mix(u64 word);
    u64 m_state = 0x9E3779B97F4A7C15ull;
    u64 m_pending = 0;
    u32 m_filled = 0;
};

// A write-only sink that keeps only the size and hash of what it was given;
// after `failAfter` bytes its writes fail, as a full disk would.
class DigestSink : public Stream {
  public:
    explicit DigestSink(u64 failAfter = ~0ull);
    bool HasAccess(u32 mask) override;
    u32 Tell() override;
    bool Seek(i32 position) override;
    u32 GetSize() override;
    bool Read(void* buffer, u32 count) override;
    bool Write(const void* buffer, u32 count) override;

    u64 size = 0;
    ByteHash hash;

  private:
    u64 m_failAfter;
};

} // namespace fuzz
