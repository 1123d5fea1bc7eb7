// InflateStream on arbitrary bytes, checked against zlib inflating the same
// bytes in one piece: a stream that zlib finishes must inflate to the same
// bytes, and anything else (damage, input cut short, a sink that refuses
// writes) must not be reported as success.
//
// Input: one flags byte, one parameter byte, then the deflate data.
//   flags bit 0: the sink fails after parameter x 1024 bytes; otherwise
//                a little after one whole output buffer (more shows nothing
//                new and only slows the run)
//   flags bit 1: length 0xFFFFFFFF (the whole source) instead of the size
//   flags bit 2: only the first size - parameter bytes are given as length
#include "fuzz_support.h"
#include "patch/package.h"

#include <zlib.h>

#include <vector>

namespace {

constexpr u64 kOutputCap = kInflateOutputSize + 2 * kInflateInputSize;

struct Reference {
    bool complete = false; // the final block was reached
    u64 size = 0;
    fuzz::ByteHash hash;
};

// Stops once more than `limit` bytes came out.
Reference InflateInOnePiece(const u8* data, size_t size, u64 limit) {
    Reference out;
    z_stream z{};
    if (inflateInit2(&z, -MAX_WBITS) != Z_OK)
        fuzz::Violation("zlib cannot start");
    static std::vector<u8> buffer(1 << 16);
    z.next_in = const_cast<Bytef*>(data);
    z.avail_in = static_cast<uInt>(size);
    for (;;) {
        z.next_out = buffer.data();
        z.avail_out = static_cast<uInt>(buffer.size());
        const int result = inflate(&z, Z_NO_FLUSH);
        const uInt produced = static_cast<uInt>(buffer.size()) - z.avail_out;
        out.hash.Update(buffer.data(), produced);
        out.size += produced;
        if (result == Z_STREAM_END)
            out.complete = true;
        if (result != Z_OK || out.size > limit)
            break;
    }
    inflateEnd(&z);
    return out;
}

// zlib is the system's and carries no coverage of its own: one edge per
// outcome and per class of output size lets the fuzzer keep inputs that
// reach the boundaries of InflateStream's buffers.
void MarkOutcome(int result, const Reference& reference) {
    volatile int mark = 0;
    switch (result) {
    case Z_OK:
        mark = 1;
        break;
    case Z_DATA_ERROR:
        mark = 2;
        break;
    case Z_ERRNO:
        mark = 3;
        break;
    default:
        mark = 4;
        break;
    }
    const u64 size = reference.size;
    if (size == 0)
        mark = 5;
    else if (size < kInflateInputSize)
        mark = 6;
    else if (size < kInflateOutputSize)
        mark = 7;
    else if (size == kInflateOutputSize)
        mark = 8;
    else
        mark = 9;
    if (size != 0 && size % kInflateOutputSize == 0)
        mark = 11;
    if (reference.complete)
        mark = 12;
    (void)mark;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const u8* data, size_t size) {
    if (size < 2)
        return 0;
    const u8 flags = data[0];
    const u32 parameter = data[1];
    const u8* stream = data + 2;
    const u32 available = static_cast<u32>(size - 2);

    u32 length = available;
    if (flags & 4)
        length = parameter < available ? available - parameter : 0;
    const u32 passed = (flags & 2) && !(flags & 4) ? 0xFFFFFFFF : length;
    const u64 failAfter = (flags & 1) ? static_cast<u64>(parameter) * 1024 : kOutputCap;

    pitest::MemoryStream source = fuzz::ReaderOver(stream, available);
    fuzz::DigestSink sink(failAfter);
    const int result = InflateStream(source, sink, passed);

    const Reference reference = InflateInOnePiece(stream, length, failAfter);
    MarkOutcome(result, reference);
    if (result == Z_OK) {
        if (!reference.complete)
            fuzz::Violation("a damaged or cut-short stream was reported as inflated");
        if (reference.size > failAfter)
            fuzz::Violation("a refused write was reported as success");
        if (sink.size != reference.size || sink.hash.Value() != reference.hash.Value())
            fuzz::Violation("the inflated bytes differ from zlib's");
    } else if (reference.complete && reference.size <= failAfter) {
        fuzz::Violation("a sound stream was refused");
    }
    return 0;
}
