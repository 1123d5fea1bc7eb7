// Helpers of the pak tests: a scratch directory, whole files through the same
// Win32 layer the library uses, update items over in-memory streams, and
// hand-made archives for the reader's damaged-input cases.
#pragma once

#include "memory_stream.h"
#include "open_files.h"
#include "pak/pak_manager.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace paktest {

// A fresh directory whose path is lower case (the library lower-cases
// archive paths, and Linux names are case-sensitive), removed at the end.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "\\" + name; }

  private:
    std::string m_path;
};

// The whole file, or "<missing>".
std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& data);
bool Exists(const std::string& path);
void RemoveFile(const std::string& path);

std::string Md5Of(const std::string& data);

using pitest::IsHeldOpen;
using pitest::MemoryStream;

// An item whose bytes come from `source` at `offset`; its digest is that of
// `data` unless `digest` is given.
PakUpdateItem StreamItem(const std::string& name, Stream* source, u32 offset,
                         const std::string& data, const std::string* digest = nullptr);
PakUpdateItem EmptyItem(const std::string& name);
PakUpdateItem PathItem(const std::string& name, const std::string& path, const std::string& data);

// Items that own their sources.
struct ItemSet {
    std::vector<std::unique_ptr<MemoryStream>> streams;
    std::vector<PakUpdateItem> items;
    void Add(const std::string& name, const std::string& data, u32 method = 0, u64 stamp = 0);
};

// Opens `path` read-write and rewrites it with `items`; true on success.
bool UpdateArchive(PakManager& manager, const std::string& path, ItemSet& items,
                   bool commit = true);

// Name -> bytes of every sub-file, read through the library.
std::map<std::string, std::string> ReadAll(PakManager& manager, const std::string& path,
                                           i32* error = nullptr);

// Raw archive building: the index is exactly `plainIndex`, enciphered.
std::string RawArchive(const PakHeader& header, const std::string& data,
                       const std::string& plainIndex);
std::string EntryBytes(u32 nameOffset, u32 dataOffset, const std::string& data);
std::string Encipher(std::string plain);
std::string Decipher(std::string cipher);
PakHeader HeaderOf(const std::string& archive);

} // namespace paktest
