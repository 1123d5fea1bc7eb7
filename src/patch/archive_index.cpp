#include "patch/archive_index.h"

#include "crypto/crypto.h"
#include "patch/report.h"
#include "runtime/memory.h"

#include <cstring>
#include <limits>
#include <map>

namespace {

// Stream positions are signed 32-bit numbers.
constexpr u64 kMaxPosition = static_cast<u64>(std::numeric_limits<i32>::max());

bool Damaged(ArchiveProblem* problem, ArchiveDamage damage, std::string what,
             const std::string& subFile = std::string()) {
    problem->damage = damage;
    problem->what = std::move(what);
    problem->subFile = subFile;
    return true;
}

bool ReadAt(Stream& file, u64 position, void* buffer, u32 size, ArchiveProblem* problem) {
    if (size == 0)
        return true;
    if (position + size > kMaxPosition || !file.Seek(static_cast<i32>(position)) ||
        !file.Read(buffer, size)) {
        problem->what =
            FormatText("cannot read %u bytes at offset %s", size, std::to_string(position).c_str());
        return false;
    }
    return true;
}

// The pak library reads a block wherever its entry points; the writer never
// puts one outside the data area, between the header and the index.
bool CheckEntryData(const ArchiveEntry& entry, const PakHeader& header, ArchiveProblem* problem) {
    const PakIndexEntry& index = entry.index;
    const u64 end = static_cast<u64>(index.dataOffset) + index.size;
    if (index.size == 0 || (index.dataOffset >= kPakHeaderSize && end <= header.indexOffset))
        return true;
    Damaged(problem, ArchiveDataOutside,
            FormatText("sub-file %s: its data (offset %u, %u bytes) lies outside the data area "
                       "(%u to %u)",
                       entry.name.c_str(), index.dataOffset, index.size, kPakHeaderSize,
                       header.indexOffset),
            entry.name);
    return false;
}

void SortEntries(std::map<std::string, ArchiveEntry>& byName, std::vector<ArchiveEntry>* entries) {
    for (auto& pair : byName)
        entries->push_back(std::move(pair.second));
}

// Entries up to the first damaged one, as the library keeps them.
bool ReadEntries(const std::vector<u8>& index, const PakHeader& header,
                 std::map<std::string, ArchiveEntry>* byName, ArchiveProblem* problem) {
    PakIndexProblem fault{CheckPakIndexShape(index.size(), header.fileCount), 0, header.indexSize};
    if (fault.fault != PakIndexIntact) {
        Damaged(problem, ArchiveIndexDamaged, DescribePakIndexProblem(fault, header.fileCount));
        return false;
    }
    u8 emptyMd5[16];
    crypto::Md5Digest("", 0, emptyMd5);
    for (u32 i = 0; i < header.fileCount; ++i) {
        ArchiveEntry entry;
        std::string_view name;
        if (!ReadPakIndexEntry(index.data(), index.size(), header.fileCount, i, &entry.index, &name,
                               &fault)) {
            Damaged(problem, ArchiveIndexDamaged, DescribePakIndexProblem(fault, header.fileCount));
            return false;
        }
        entry.name.assign(name.data(), name.size());
        std::memcpy(entry.storedMd5, entry.index.size == 0 ? emptyMd5 : entry.index.storedMd5, 16);
        (*byName)[entry.name] = entry;
    }
    // Every entry read; what only a rewrite refuses is damage all the same.
    if (!CheckPakIndexForRewrite(index.data(), index.size(), header.fileCount, &fault)) {
        Damaged(problem, ArchiveIndexDamaged, DescribePakIndexProblem(fault, header.fileCount));
        return false;
    }
    return true;
}

} // namespace

bool ReadArchiveIndex(Stream& file, u32 base, u32 length, std::vector<ArchiveEntry>* entries,
                      ArchiveProblem* problem) {
    entries->clear();
    *problem = ArchiveProblem();
    // A header alone is an empty archive, whatever its bytes say.
    if (length == kPakHeaderSize)
        return true;
    if (length < kPakHeaderSize)
        return Damaged(problem, ArchiveBadHeader,
                       FormatText("it is %u bytes long, shorter than its 68-byte header", length));
    PakHeader header;
    if (!ReadAt(file, base, &header, sizeof header, problem))
        return false;
    if (header.magic != kPakMagic)
        return Damaged(problem, ArchiveBadHeader, "the header does not start with \"!PAK\"");
    if (header.version < kPakVersion)
        return Damaged(problem, ArchiveBadHeader,
                       FormatText("the header's version is %u, below 5", header.version));
    if (static_cast<u64>(header.indexOffset) + header.indexSize > length)
        return Damaged(problem, ArchiveIndexOutside,
                       FormatText("the index (offset %u, %u bytes) lies outside the file "
                                  "(%u bytes)",
                                  header.indexOffset, header.indexSize, length));

    std::vector<u8> index;
    if (!ResizeFromDisk(&index, header.indexSize, kPakMaxIndexSize)) {
        problem->what = FormatText("not enough memory for its index of %u bytes", header.indexSize);
        return false;
    }
    if (!ReadAt(file, static_cast<u64>(base) + header.indexOffset, index.data(), header.indexSize,
                problem))
        return false;
    PakIndexKeys keys;
    GetIndexKeys(&keys);
    DecipherIndex(keys, index.data(), index.size());
    std::map<std::string, ArchiveEntry> byName;
    const bool intact = ReadEntries(index, header, &byName, problem);
    SortEntries(byName, entries);
    if (!intact)
        return true;
    for (const ArchiveEntry& entry : *entries)
        if (!CheckEntryData(entry, header, problem))
            break;
    return true;
}
