#include "crypto/chunk_digest.h"

#include <algorithm>
#include <vector>

namespace crypto {

bool Md5OfChunks(uint64_t size, const ChunkReader& read, uint8_t digest[kMd5Size],
                 const ChunkSink& sink) {
    std::vector<uint8_t> buffer(static_cast<size_t>(std::min<uint64_t>(size, kDigestChunkSize)));
    Md5 md5;
    for (uint64_t remaining = size; remaining != 0;) {
        const uint32_t piece =
            static_cast<uint32_t>(std::min<uint64_t>(remaining, kDigestChunkSize));
        if (!read(buffer.data(), piece) || (sink && !sink(buffer.data(), piece)))
            return false;
        md5.Update(buffer.data(), piece);
        remaining -= piece;
    }
    md5.Final(digest);
    return true;
}

} // namespace crypto
