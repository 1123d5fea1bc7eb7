// The pak archive format: a 68-byte header, 4-byte aligned data blocks, and an
// index of 64-byte entries plus names, enciphered with three-key Triple DES
// in ECB mode under keys derived from a fixed passphrase.
#pragma once

#include "runtime/types.h"

#include <cstddef>

constexpr u32 kPakMagic = 0x4B415021; // "!PAK" read as a little-endian u32
constexpr u32 kPakVersion = 5;
constexpr u32 kPakHeaderSize = 68;
constexpr u32 kPakEntrySize = 64;
constexpr u32 kPakMaxNameLength = 259;
// The longest step between two names the reader accepts.
constexpr u32 kPakMaxNameSpan = 1024;
// The largest index read into memory: some 700 000 sub-files, far more than a
// game's archive holds, and little of a 32-bit process's address space.
constexpr u32 kPakMaxIndexSize = 64u << 20;
extern const char kPakSignature[40]; // 39 characters and a NUL

#pragma pack(push, 1)
struct PakHeader {
    u32 magic;
    u32 version;
    u32 fileCount;
    u32 indexOffset;
    u32 indexSize;
    char comment[48];
};

struct PakIndexEntry {
    u32 nameOffset;
    u32 dataOffset;
    u32 size;
    u32 alignedSize;
    u8 storedMd5[16];
    u32 originalSize;
    u8 originalMd5[16];
    u32 method;
    u32 stampLow;
    u32 stampHigh;
};
#pragma pack(pop)

static_assert(sizeof(PakHeader) == kPakHeaderSize, "header layout");
static_assert(sizeof(PakIndexEntry) == kPakEntrySize, "index entry layout");

struct PakIndexKeys {
    u8 k1[8];
    u8 k2[8];
    u8 k3[8];
};

// The header of a new archive: magic, version 5, the signature, zero counts.
void InitPakHeader(PakHeader* header);

// Space a block of `size` bytes occupies in the data area.
inline u32 PakAlignedSize(u32 size) {
    return (size + 3) & ~3u;
}
// Index lengths are whole cipher blocks.
inline u32 PakPaddedIndexSize(u32 length) {
    return (length + 7) & ~7u;
}

// Lower-cases bytes 0x41 to 0x5A wherever they stand, also as the second byte
// of a double-byte character; no other byte changes.
void LowerCaseBytes(char* text);

// Derives the three index keys from the passphrase's MD5 digest.
void DeriveIndexKeys(PakIndexKeys* keys);
// The keys, derived once per thread and copied out.
void GetIndexKeys(PakIndexKeys* keys);

// Transform the whole 8-byte blocks of `buffer` in place; a tail shorter
// than a block is left as it is, so nothing past `length` is touched.
void EncipherIndex(const PakIndexKeys& keys, u8* buffer, size_t length);
void DecipherIndex(const PakIndexKeys& keys, u8* buffer, size_t length);
