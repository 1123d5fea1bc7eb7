#include "pak/pak_format.h"

#include "crypto/crypto.h"

#include <algorithm>
#include <cstring>
#include <system_error>
#include <thread>
#include <vector>

const char kPakSignature[40] = "Archive created by the resource packer.";

namespace {

// The passphrase is kept as a text, never as its digest or the keys.
const char kIndexPassphrase[] = "marlow19990317";

struct CachedKeys {
    bool computed = false;
    PakIndexKeys keys;
};

thread_local CachedKeys t_indexKeys;

// Triple DES runs at a few tens of MB/s on one core, and the index of an
// archive with 100 000 sub-files is some 9 MiB. The blocks are independent
// (ECB), so a large index is split across the cores; below this many blocks
// per part a thread costs more than it saves.
constexpr size_t kMinBlocksPerPart = 8192;
constexpr unsigned kMaxIndexThreads = 4;

// Each part has its own key schedules: a backend's cipher handle is not
// meant to be shared between threads.
void TransformBlocks(const PakIndexKeys& keys, u8* blocks, size_t count, bool encipher) {
    crypto::TripleDes cipher(keys.k1, keys.k2, keys.k3);
    if (encipher)
        cipher.EncipherBlocks(blocks, count);
    else
        cipher.DecipherBlocks(blocks, count);
}

void TransformIndex(const PakIndexKeys& keys, u8* buffer, size_t blocks, bool encipher) {
    const size_t cores =
        std::max(1u, std::min(std::thread::hardware_concurrency(), kMaxIndexThreads));
    const size_t parts = std::max<size_t>(1, std::min(cores, blocks / kMinBlocksPerPart));
    const size_t perPart = blocks / parts;
    std::vector<std::thread> helpers;
    for (size_t part = 1; part < parts; ++part) {
        u8* start = buffer + part * perPart * crypto::kDesBlockSize;
        const size_t count = part + 1 == parts ? blocks - part * perPart : perPart;
        try {
            helpers.emplace_back(TransformBlocks, std::cref(keys), start, count, encipher);
        } catch (const std::system_error&) {
            TransformBlocks(keys, start, count, encipher); // no thread: do it here
        }
    }
    TransformBlocks(keys, buffer, perPart, encipher);
    for (std::thread& helper : helpers)
        helper.join();
}

u32 LoadU32(const u8* bytes) {
    u32 value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

} // namespace

void InitPakHeader(PakHeader* header) {
    std::memset(header, 0, sizeof *header);
    header->magic = kPakMagic;
    header->version = kPakVersion;
    header->fileCount = 0;
    header->indexOffset = kPakHeaderSize;
    header->indexSize = 0;
    std::memcpy(header->comment, kPakSignature, sizeof kPakSignature);
}

void LowerCaseBytes(char* text) {
    for (; *text != '\0'; ++text) {
        if (*text >= 'A' && *text <= 'Z')
            *text = static_cast<char>(*text + 0x20);
    }
}

void DeriveIndexKeys(PakIndexKeys* keys) {
    u8 digest[crypto::kMd5Size];
    crypto::Md5Digest(kIndexPassphrase, sizeof kIndexPassphrase - 1, digest);
    std::memcpy(keys->k1, digest, 8);
    std::memcpy(keys->k2, digest + 8, 8);
    std::memcpy(keys->k3, digest + 4, 8);
}

void GetIndexKeys(PakIndexKeys* keys) {
    if (!t_indexKeys.computed) {
        DeriveIndexKeys(&t_indexKeys.keys);
        t_indexKeys.computed = true;
    }
    *keys = t_indexKeys.keys;
}

void EncipherIndex(const PakIndexKeys& keys, u8* buffer, size_t length) {
    TransformIndex(keys, buffer, length / crypto::kDesBlockSize, true);
}

void DecipherIndex(const PakIndexKeys& keys, u8* buffer, size_t length) {
    TransformIndex(keys, buffer, length / crypto::kDesBlockSize, false);
}

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
