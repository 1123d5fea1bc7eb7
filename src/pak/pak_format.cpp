#include "pak/pak_format.h"

#include "crypto/crypto.h"

#include <cstring>

const char kPakSignature[40] = "Archive created by the resource packer.";

namespace {

// The passphrase is kept as a text, never as its digest or the keys.
const char kIndexPassphrase[] = "marlow19990317";

struct CachedKeys {
    bool computed = false;
    PakIndexKeys keys;
};

thread_local CachedKeys t_indexKeys;

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
    crypto::TripleDes cipher(keys.k1, keys.k2, keys.k3);
    cipher.EncipherBlocks(buffer, length / crypto::kDesBlockSize);
}

void DecipherIndex(const PakIndexKeys& keys, u8* buffer, size_t length) {
    crypto::TripleDes cipher(keys.k1, keys.k2, keys.k3);
    cipher.DecipherBlocks(buffer, length / crypto::kDesBlockSize);
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
