// Reads the index of a source archive for `--pak NAME=ARCHIVE`. The archive
// is only read: no backup is restored and nothing is logged, since it lives
// in the release engineer's tree, and its path is taken as it is spelt (the
// pak library's own open lower-cases whole paths, as Windows allows).
#include "mkpatch.h"

#include "patch/report.h"

#include <cerrno>
#include <cstring>
#include <fstream>

namespace mkpatch {
namespace {

const char* DescribeIndexFault(PakIndexFault fault) {
    switch (fault) {
    case PakIndexUnaligned:
        return "the index length is not a whole number of 8-byte blocks";
    case PakIndexTableOverrun:
        return "the entry table does not fit in the index";
    case PakIndexNameOffset:
        return "nameOffset lies outside the names area";
    case PakIndexNameSpan:
        return "the name runs more than 1024 bytes up to the next entry's name";
    case PakIndexLastName:
        return "the last name has no terminating NUL";
    case PakIndexIntact:
        break;
    }
    return "intact";
}

[[noreturn]] void Damaged(const std::string& path, const std::string& what) {
    Fail(kExitBadInput, "the archive " + path + " is damaged: " + what);
}

void ReadAt(std::ifstream& file, const std::string& path, u64 offset, void* buffer, u64 size) {
    file.seekg(static_cast<std::streamoff>(offset));
    file.read(static_cast<char*>(buffer), static_cast<std::streamsize>(size));
    if (!file)
        Fail(kExitUsageOrIo, "cannot read " + path + ": " + strerror(errno));
}

// Every block must lie in the data area, between the header and the index.
void CheckEntryData(const std::string& path, const std::string& name, const PakIndexEntry& entry,
                    const PakHeader& header) {
    if (entry.size == 0)
        return;
    const u64 end = static_cast<u64>(entry.dataOffset) + entry.size;
    if (entry.dataOffset < kPakHeaderSize || end > header.indexOffset)
        Damaged(path, FormatText("sub-file %s: its data (offset %u, %u bytes) lies outside the "
                                 "data area (%u to %u)",
                                 ToUtf8(name).c_str(), entry.dataOffset, entry.size, kPakHeaderSize,
                                 header.indexOffset));
}

} // namespace

std::vector<ArchiveEntry> ReadArchiveIndex(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file)
        Fail(kExitUsageOrIo, "cannot open the archive " + path + ": " + strerror(errno));
    file.seekg(0, std::ios::end);
    const u64 size = static_cast<u64>(file.tellg());
    // A header alone is an empty archive, whatever its bytes say.
    if (size == kPakHeaderSize)
        return {};
    if (size < kPakHeaderSize)
        Damaged(path, FormatText("it is %u bytes long, shorter than its 68-byte header",
                                 static_cast<u32>(size)));
    PakHeader header;
    ReadAt(file, path, 0, &header, sizeof header);
    if (header.magic != kPakMagic)
        Damaged(path, "the header does not start with \"!PAK\"");
    if (header.version < kPakVersion)
        Damaged(path, FormatText("the header's version is %u, below 5", header.version));
    if (static_cast<u64>(header.indexOffset) + header.indexSize > size ||
        header.indexOffset < kPakHeaderSize)
        Damaged(path,
                FormatText("the index (offset %u, %u bytes) lies outside the file (%s bytes)",
                           header.indexOffset, header.indexSize, std::to_string(size).c_str()));

    std::vector<u8> index(header.indexSize);
    ReadAt(file, path, header.indexOffset, index.data(), index.size());
    PakIndexKeys keys;
    GetIndexKeys(&keys);
    DecipherIndex(keys, index.data(), index.size());
    PakIndexFault shape = CheckPakIndexShape(index.size(), header.fileCount);
    if (shape != PakIndexIntact)
        Damaged(path, FormatText("%s (%u entries, %u index bytes)", DescribeIndexFault(shape),
                                 header.fileCount, header.indexSize));

    std::map<std::string, PakIndexEntry> entries;
    for (u32 i = 0; i < header.fileCount; ++i) {
        PakIndexEntry entry;
        std::string_view name;
        PakIndexProblem problem;
        if (!ReadPakIndexEntry(index.data(), index.size(), header.fileCount, i, &entry, &name,
                               &problem))
            Damaged(path, FormatText("index entry %u: %s (value %u)", problem.entry,
                                     DescribeIndexFault(problem.fault), problem.value));
        std::string key(name);
        CheckEntryData(path, key, entry, header);
        entries[key] = entry;
    }
    std::vector<ArchiveEntry> result;
    for (const auto& [name, entry] : entries)
        result.push_back({name, entry});
    return result;
}

} // namespace mkpatch
