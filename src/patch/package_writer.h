// Builds patch installers: a stub program, then the package as one raw-deflate
// stream, then the 8-byte trailer. Used by the release tools and the tests.
// Streams throughout: no record's data and no payload is held in memory whole.
#pragma once

#include "platform/win32.h"
#include "runtime/types.h"

#include <string>
#include <vector>

// Where a record's stored bytes are read from.
struct PackageSource {
    std::string path; // system code page
    u32 offset = 0;   // position of the first byte in that file
};

// One file record: a sub-file of a pak archive or a loose file.
struct PackageFile {
    std::string name; // system code page, as the record stores it
    PackageSource source;
    u32 size = 0;
    u8 storedMd5[16] = {};
    u32 originalSize = 0;
    u8 originalMd5[16] = {};
    FILETIME stamp = {0, 0};
    u32 method = 0;
};

struct PackagePak {
    std::string name; // relative path of the archive, system code page
    FILETIME stamp = {0, 0};
    std::vector<PackageFile> files;
};

struct PackageContents {
    std::vector<PackagePak> paks; // in-pak records come first, in this order
    std::vector<PackageFile> looseFiles;
};

class PackageProgress {
  public:
    // Bytes of record data copied so far, out of all of them.
    virtual void OnBytes(u64 done, u64 total) = 0;

  protected:
    ~PackageProgress() = default;
};

// Describes a plain file stored unchanged: method 0, originalSize = size,
// originalMd5 = storedMd5, stamp = its last-write time. Reads it once to hash.
bool DescribePlainFile(const char* path, const std::string& name, PackageFile* out,
                       std::string* error);

// Writes the installer to `outputPath`: the stub's bytes, the compressed
// package, the trailer. Each record's bytes are verified against storedMd5 as
// they are copied. Records that carry the same bytes (same size and stored
// digest, and byte for byte the same) share one copy in the data area. The
// output appears only when complete; on failure nothing new is left at
// `outputPath` (an earlier file there stays as it was) and `error` says why.
// `level`: 0 to 9, or 11 (BlockDeflater); `threads` 0 lets the deflater
// choose. The same contents give the same bytes whatever the thread count.
bool WritePackage(const char* stubPath, const PackageContents& contents, const char* outputPath,
                  int level, PackageProgress* progress, std::string* error, unsigned threads = 0);
// The size of the installer that WritePackage would write, found without
// writing it: the same records through the same deflater at the same level,
// the compressed bytes only counted. The records' bytes are read and checked
// as they would be.
bool MeasureInstaller(const char* stubPath, const PackageContents& contents, int level,
                      PackageProgress* progress, u64* installerSize, std::string* error,
                      unsigned threads = 0);
