#include "pak/pak_reader.h"

#include "crypto/crypto.h"
#include "runtime/memory.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <map>

namespace {

// Stream positions are signed 32-bit numbers.
constexpr u64 kMaxPosition = static_cast<u64>(std::numeric_limits<i32>::max());

u32 LoadU32(const u8* bytes) {
    u32 value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

bool ReadAt(Stream& file, u64 position, void* buffer, u32 size) {
    if (size == 0)
        return true;
    return position + size <= kMaxPosition && file.Seek(static_cast<i32>(position)) &&
           file.Read(buffer, size);
}

} // namespace

PakIndexFault CheckPakIndexShape(size_t length, u32 count) {
    if (length % crypto::kDesBlockSize != 0)
        return PakIndexUnaligned;
    if (static_cast<u64>(count) * kPakEntrySize > length)
        return PakIndexTableOverrun;
    return PakIndexIntact;
}

bool ReadPakIndexEntry(const u8* index, size_t length, u32 count, u32 i, PakIndexEntry* entry,
                       std::string_view* name, PakIndexProblem* problem) {
    const size_t tableSize = static_cast<size_t>(count) * kPakEntrySize;
    const u8* names = index + tableSize;
    const size_t namesSize = length - tableSize;
    std::memcpy(entry, index + static_cast<size_t>(i) * kPakEntrySize, kPakEntrySize);
    const u32 offset = entry->nameOffset;
    problem->entry = i;
    if (offset >= namesSize) {
        problem->fault = PakIndexNameOffset;
        problem->value = offset;
        return false;
    }
    const char* start = reinterpret_cast<const char*>(names + offset);
    const size_t available = namesSize - offset;
    if (i + 1 == count) {
        const void* end = std::memchr(start, 0, available);
        if (end == nullptr) {
            problem->fault = PakIndexLastName;
            problem->value = static_cast<u32>(available);
            return false;
        }
        *name = std::string_view(start, static_cast<const char*>(end) - start);
        return true;
    }
    const u32 span = LoadU32(index + static_cast<size_t>(i + 1) * kPakEntrySize) - offset;
    if (span > kPakMaxNameSpan) {
        problem->fault = PakIndexNameSpan;
        problem->value = span;
        return false;
    }
    // The span may reach past the names area when the next entry is damaged;
    // the name never does.
    const size_t limit = span < available ? span : available;
    const void* end = std::memchr(start, 0, limit);
    *name = std::string_view(start, end ? static_cast<const char*>(end) - start : limit);
    return true;
}

namespace {

bool IsEmptyDigest(const u8 (&digest)[16]) {
    static const struct EmptyDigest {
        EmptyDigest() { crypto::Md5Digest(nullptr, 0, bytes); }
        u8 bytes[crypto::kMd5Size];
    } kEmpty;
    static const u8 kUnset[16] = {};
    return std::memcmp(digest, kEmpty.bytes, 16) == 0 || std::memcmp(digest, kUnset, 16) == 0;
}

bool Refuse(PakIndexProblem* problem, PakIndexFault fault, u32 entry, u32 value) {
    *problem = PakIndexProblem{fault, entry, value};
    return false;
}

} // namespace

bool CheckPakIndexForRewrite(const u8* index, size_t length, u32 count, PakIndexProblem* problem) {
    const size_t tableSize = static_cast<size_t>(count) * kPakEntrySize;
    const u8* names = index + tableSize;
    const size_t namesSize = length - tableSize;
    auto zeros = [names](size_t from, size_t to) {
        return std::all_of(names + from, names + to, [](u8 b) { return b == 0; });
    };
    size_t covered = 0; // the end of the last name's NUL
    for (u32 i = 0; i < count; ++i) {
        PakIndexEntry entry;
        std::memcpy(&entry, index + static_cast<size_t>(i) * kPakEntrySize, kPakEntrySize);
        // ReadPakIndexEntry has put the names in ascending order, the next
        // at most 1024 bytes on, so nothing of this one lies before `covered`.
        const size_t start = entry.nameOffset;
        if (!zeros(covered, start))
            return Refuse(problem, PakIndexStrayNames, i, entry.nameOffset);
        const size_t limit =
            i + 1 == count
                ? namesSize - start
                : std::min<size_t>(LoadU32(index + static_cast<size_t>(i + 1) * kPakEntrySize) -
                                       entry.nameOffset,
                                   namesSize - start);
        const void* end = std::memchr(names + start, 0, limit);
        if (end == nullptr)
            return Refuse(problem, PakIndexNameRunsOn, i, static_cast<u32>(limit));
        covered = static_cast<size_t>(static_cast<const u8*>(end) - names) + 1;
        if (entry.size == 0 && !IsEmptyDigest(entry.storedMd5))
            return Refuse(problem, PakIndexEmptyDigest, i, 0);
    }
    if (!zeros(covered, namesSize))
        return Refuse(problem, PakIndexStrayNames, count, static_cast<u32>(namesSize - covered));
    return true;
}

std::string DescribePakIndexProblem(const PakIndexProblem& problem, u32 count) {
    const std::string entry = "index entry " + std::to_string(problem.entry) + ": ";
    const std::string value = std::to_string(problem.value);
    switch (problem.fault) {
    case PakIndexUnaligned:
        return "the index length " + value + " is not a multiple of 8";
    case PakIndexTableOverrun:
        return "fileCount " + std::to_string(count) + " needs " +
               std::to_string(static_cast<u64>(count) * kPakEntrySize) +
               " bytes of entries but the index holds " + value;
    case PakIndexNameOffset:
        return entry + "nameOffset " + value + " lies outside the names area";
    case PakIndexNameSpan:
        return entry + "the next entry's name starts " + value + " bytes on (at most 1024)";
    case PakIndexLastName:
        return entry + "the last name has no NUL before the end of the index";
    case PakIndexNameRunsOn:
        return entry + "the name has no NUL within the " + value + " bytes before the next name";
    case PakIndexStrayNames:
        if (problem.entry == count)
            return "the " + value + " bytes after the last name are not all zero";
        return entry + "nameOffset " + value +
               " leaves bytes before it that no entry names and that are not zero";
    case PakIndexEmptyDigest:
        return entry + "size 0, but storedMd5 is the digest of other bytes";
    case PakIndexIntact:
        break;
    }
    return "the index is intact";
}

PakIndexReader::Result PakIndexReader::ReadHeader(Stream& file, u32 base, u32 length,
                                                  PakHeaderState* state) {
    std::memset(&m_header, 0, sizeof m_header);
    if (length == kPakHeaderSize) {
        *state = PakHeaderState::Empty;
        return Result::Read;
    }
    if (length < kPakHeaderSize) {
        *state = PakHeaderState::TooShort;
        return Result::Read;
    }
    if (!ReadAt(file, base, &m_header, sizeof m_header))
        return Result::Unreadable;
    if (m_header.magic != kPakMagic)
        *state = PakHeaderState::BadMagic;
    else if (m_header.version < kPakVersion)
        *state = PakHeaderState::OldVersion;
    else if (static_cast<u64>(m_header.indexOffset) + m_header.indexSize > length)
        *state = PakHeaderState::IndexOutside;
    else
        *state = PakHeaderState::Whole;
    return Result::Read;
}

// The size is checked against the limit before the buffer is sized, so a
// damaged header cannot ask for gigabytes.
PakIndexReader::Result PakIndexReader::ReadIndex(Stream& file, u32 base) {
    if (!ResizeFromDisk(&m_index, m_header.indexSize, kPakMaxIndexSize))
        return Result::NoMemory;
    if (!ReadAt(file, static_cast<u64>(base) + m_header.indexOffset, m_index.data(),
                m_header.indexSize))
        return Result::Unreadable;
    PakIndexKeys keys;
    GetIndexKeys(&keys);
    DecipherIndex(keys, m_index.data(), m_index.size());
    return Result::Read;
}

bool PakIndexReader::VisitEntries(
    bool forRewrite, const std::function<void(const PakIndexEntry&, std::string_view name)>& visit,
    PakIndexProblem* problem) const {
    const u32 count = m_header.fileCount;
    *problem = PakIndexProblem{CheckPakIndexShape(m_index.size(), count), 0,
                               static_cast<u32>(m_index.size())};
    if (problem->fault != PakIndexIntact)
        return false;
    for (u32 i = 0; i < count; ++i) {
        PakIndexEntry entry;
        std::string_view name;
        if (!ReadPakIndexEntry(m_index.data(), m_index.size(), count, i, &entry, &name, problem))
            return false;
        visit(entry, name);
    }
    return !forRewrite || CheckPakIndexForRewrite(m_index.data(), m_index.size(), count, problem);
}

std::string DescribePakHeaderState(PakHeaderState state, const PakHeader& header, u32 length) {
    switch (state) {
    case PakHeaderState::TooShort:
        return "it is " + std::to_string(length) + " bytes long, shorter than its 68-byte header";
    case PakHeaderState::BadMagic:
        return "the header does not start with \"!PAK\"";
    case PakHeaderState::OldVersion:
        return "the header's version is " + std::to_string(header.version) + ", below 5";
    case PakHeaderState::IndexOutside:
        return "the index (offset " + std::to_string(header.indexOffset) + ", " +
               std::to_string(header.indexSize) + " bytes) lies outside the file (" +
               std::to_string(length) + " bytes)";
    case PakHeaderState::Whole:
    case PakHeaderState::Empty:
        break;
    }
    return "the header is whole";
}

namespace {

bool Damaged(ArchiveProblem* problem, ArchiveDamage damage, std::string what,
             const std::string& subFile = std::string()) {
    problem->damage = damage;
    problem->what = std::move(what);
    problem->subFile = subFile;
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
            "sub-file " + entry.name + ": its data (offset " + std::to_string(index.dataOffset) +
                ", " + std::to_string(index.size) + " bytes) lies outside the data area (" +
                std::to_string(kPakHeaderSize) + " to " + std::to_string(header.indexOffset) + ")",
            entry.name);
    return false;
}

ArchiveDamage DamageOf(PakHeaderState state) {
    return state == PakHeaderState::IndexOutside ? ArchiveIndexOutside : ArchiveBadHeader;
}

} // namespace

bool ReadArchiveIndex(Stream& file, u32 base, u32 length, std::vector<ArchiveEntry>* entries,
                      ArchiveProblem* problem) {
    entries->clear();
    *problem = ArchiveProblem();
    PakIndexReader reader;
    PakHeaderState state;
    if (reader.ReadHeader(file, base, length, &state) != PakIndexReader::Result::Read) {
        problem->what = "cannot read the header at offset " + std::to_string(base);
        return false;
    }
    if (state == PakHeaderState::Empty)
        return true;
    const PakHeader& header = reader.Header();
    if (state != PakHeaderState::Whole)
        return Damaged(problem, DamageOf(state), DescribePakHeaderState(state, header, length));
    const PakIndexReader::Result read = reader.ReadIndex(file, base);
    if (read != PakIndexReader::Result::Read) {
        problem->what = read == PakIndexReader::Result::NoMemory
                            ? "not enough memory for its index of " +
                                  std::to_string(header.indexSize) + " bytes"
                            : "cannot read the index at offset " +
                                  std::to_string(static_cast<u64>(base) + header.indexOffset);
        return false;
    }
    u8 emptyMd5[16];
    crypto::Md5Digest("", 0, emptyMd5);
    std::map<std::string, ArchiveEntry> byName;
    PakIndexProblem fault;
    const bool whole = reader.VisitEntries(
        true,
        [&](const PakIndexEntry& index, std::string_view name) {
            ArchiveEntry entry;
            entry.name.assign(name.data(), name.size());
            entry.index = index;
            std::memcpy(entry.storedMd5, index.size == 0 ? emptyMd5 : index.storedMd5, 16);
            byName[entry.name] = entry;
        },
        &fault);
    for (auto& pair : byName)
        entries->push_back(std::move(pair.second));
    if (!whole)
        return Damaged(problem, ArchiveIndexDamaged,
                       DescribePakIndexProblem(fault, header.fileCount));
    for (const ArchiveEntry& entry : *entries)
        if (!CheckEntryData(entry, header, problem))
            break;
    return true;
}
