// The MD5 of a run of bytes that arrives in pieces: from a stream, a file or
// a sub-file of an archive. Every reader that checks a digest goes through
// it, so the piece size and the loop live in one place.
#pragma once

#include "crypto/crypto.h"

#include <cstdint>
#include <functional>

namespace crypto {

// Fills `buffer` with the next `count` bytes; false when they cannot be read.
typedef std::function<bool(uint8_t* buffer, uint32_t count)> ChunkReader;
// Sees each piece after it was read, in order (to copy or compress it, or to
// report progress).
typedef std::function<bool(const uint8_t* piece, uint32_t count)> ChunkSink;

constexpr uint32_t kDigestChunkSize = 64 * 1024;

// The digest of `size` bytes that `read` delivers. False as soon as a read
// (or `sink`) fails; `digest` is then of no use.
bool Md5OfChunks(uint64_t size, const ChunkReader& read, uint8_t digest[kMd5Size],
                 const ChunkSink& sink = nullptr);

} // namespace crypto
