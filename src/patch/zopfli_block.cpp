// zopfli's encoder for one block of a longer raw-deflate stream.
#include "patch/zopfli_block.h"

#include <zopfli/deflate.h>

#include <cstdlib>
#include <cstring>

namespace {

// zopfli writes bit by bit: `bitsUsed` (1 to 7) bits of the last byte are
// taken, 0 when the last byte is full. An empty stored block follows: its
// three header bits (not final, type 00), which zopfli has left zero, the
// padding to the byte, then LEN 0 and NLEN 0xFFFF, as a sync flush writes.
u32 SyncFlushedSize(size_t size, unsigned bitsUsed) {
    const size_t bits = (bitsUsed == 0 ? size * 8 : (size - 1) * 8 + bitsUsed) + 3;
    return static_cast<u32>((bits + 7) / 8 + 4);
}

} // namespace

bool ZopfliBuiltIn() {
    return true;
}

bool ZopfliCompressBlock(const u8* input, u32 history, u32 size, bool last, int iterations, u8* out,
                         u32 capacity, u32* produced) {
    ZopfliOptions options;
    ZopfliInitOptions(&options);
    options.numiterations = iterations;
    unsigned char bitsUsed = 0;
    unsigned char* data = nullptr;
    size_t dataSize = 0;
    ZopfliDeflatePart(&options, 2, last ? 1 : 0, input, history, history + size, &bitsUsed, &data,
                      &dataSize);
    const u32 total = last ? static_cast<u32>(dataSize) : SyncFlushedSize(dataSize, bitsUsed);
    const bool fits = dataSize <= capacity && total <= capacity;
    if (fits) {
        std::memcpy(out, data, dataSize);
        std::memset(out + dataSize, 0, total - dataSize);
        if (!last)
            std::memcpy(out + total - 4, "\x00\x00\xFF\xFF", 4);
    }
    std::free(data); // zopfli grows its output with realloc
    *produced = fits ? total : 0;
    return fits;
}
