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
    for (; *text != '\0'; ++text)
        if (*text >= 'A' && *text <= 'Z')
            *text = static_cast<char>(*text + 0x20);
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
