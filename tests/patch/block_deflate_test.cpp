// Compressing on several threads: the pieces join into one raw-deflate
// stream that inflates to the input, whatever the block boundaries, and the
// bytes do not depend on the thread count or on how the input was handed in.
#include "patch/block_deflate.h"
#include "patch/zopfli_block.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr u32 kBlock = BlockDeflater::kBlockSize;

// Text-like runs, random stretches, and a pattern that repeats across block
// boundaries so that matches reach into the previous block.
std::string Mixed(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string pattern(5000, '\0');
    for (char& c : pattern)
        c = static_cast<char>('a' + random() % 26);
    std::string data;
    while (data.size() < size) {
        if (random() % 3 == 0)
            for (int i = 0; i < 3000; ++i)
                data += static_cast<char>(random());
        else
            data += pattern.substr(random() % 100, 2000 + random() % 3000);
    }
    data.resize(size);
    return data;
}

struct Compressed {
    bool ok = false;
    std::string bytes;
    std::string error;
};

Compressed Deflate(const std::string& data, unsigned threads, size_t piece, int level = 6) {
    Compressed out;
    BlockDeflater deflater(
        level,
        [&](const u8* bytes, u32 size) {
            out.bytes.append(reinterpret_cast<const char*>(bytes), size);
            return true;
        },
        threads);
    out.ok = deflater.Begin(&out.error);
    for (size_t at = 0; out.ok && at < data.size(); at += piece) {
        const u32 size = static_cast<u32>(std::min(piece, data.size() - at));
        out.ok = deflater.Add(data.data() + at, size, &out.error);
    }
    out.ok = out.ok && deflater.Finish(&out.error);
    EXPECT_EQ(deflater.Written(), out.bytes.size());
    return out;
}

// Inflates a whole raw stream; "<damaged>" unless it ends with its final block.
std::string InflateRaw(const std::string& compressed) {
    z_stream z;
    std::memset(&z, 0, sizeof z);
    inflateInit2(&z, -MAX_WBITS);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
    z.avail_in = static_cast<uInt>(compressed.size());
    std::string out;
    int result = Z_OK;
    while (result == Z_OK) {
        char buffer[65536];
        z.next_out = reinterpret_cast<Bytef*>(buffer);
        z.avail_out = sizeof buffer;
        result = inflate(&z, Z_NO_FLUSH);
        out.append(buffer, sizeof buffer - z.avail_out);
    }
    inflateEnd(&z);
    return result == Z_STREAM_END && z.avail_in == 0 ? out : "<damaged>";
}

TEST(BlockDeflate, InflatesToTheInputAtEveryBlockBoundary) {
    for (size_t size : {size_t{0}, size_t{1}, size_t{kBlock - 1}, size_t{kBlock},
                        size_t{kBlock + 1}, size_t{3 * kBlock + 7}}) {
        SCOPED_TRACE(size);
        const std::string data = Mixed(size, static_cast<unsigned>(size));
        const Compressed single = Deflate(data, 1, kBlock);
        const Compressed several = Deflate(data, 3, 4097);
        ASSERT_TRUE(single.ok) << single.error;
        ASSERT_TRUE(several.ok) << several.error;
        EXPECT_TRUE(InflateRaw(several.bytes) == data);
        EXPECT_TRUE(several.bytes == single.bytes);
    }
}

TEST(BlockDeflate, StoredAndBestLevelsAndTinyPieces) {
    const std::string data = Mixed(2 * kBlock + 300, 11);
    for (int level : {0, 9}) {
        const Compressed whole = Deflate(data, 2, data.size(), level);
        const Compressed bytewise = Deflate(data.substr(0, kBlock + 10), 2, 1, level);
        ASSERT_TRUE(whole.ok && bytewise.ok);
        EXPECT_TRUE(InflateRaw(whole.bytes) == data);
        EXPECT_TRUE(InflateRaw(bytewise.bytes) == data.substr(0, kBlock + 10));
    }
}

TEST(BlockDeflate, RefusedLevelAndFailingSink) {
    std::string error;
    for (int level : {-1, 10, 12}) {
        BlockDeflater bad(level, [](const u8*, u32) { return true; });
        EXPECT_FALSE(bad.Begin(&error));
        EXPECT_EQ(error, "cannot start compression at level " + std::to_string(level));
    }
    if (!BlockDeflater::HasLevel(BlockDeflater::kZopfliLevel)) {
        BlockDeflater zopfli(BlockDeflater::kZopfliLevel, [](const u8*, u32) { return true; });
        EXPECT_FALSE(zopfli.Begin(&error));
        EXPECT_EQ(error, "compression level 11 (zopfli) is not available in this build");
    }

    int calls = 0;
    BlockDeflater failing(
        6, [&](const u8*, u32) { return ++calls < 2; }, 2);
    ASSERT_TRUE(failing.Begin(&error));
    const std::string data = Mixed(4 * kBlock, 5);
    bool ok = failing.Add(data.data(), static_cast<u32>(data.size()), &error);
    ok = ok && failing.Finish(&error);
    EXPECT_FALSE(ok);
    EXPECT_EQ(error, "cannot write the compressed data");
    EXPECT_EQ(calls, 2); // nothing is written after the failure
}

// Level 11: zopfli's blocks. It is slow, so the inputs stay small; the
// cases still cross the block boundaries.
class ZopfliDeflate : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!BlockDeflater::HasLevel(BlockDeflater::kZopfliLevel))
            GTEST_SKIP() << "this build has no zopfli (level 11)";
    }
    static constexpr int kLevel = BlockDeflater::kZopfliLevel;
};

TEST_F(ZopfliDeflate, InflatesToTheInputWhateverTheThreadsAndPieces) {
    for (size_t size : {size_t{0}, size_t{1}, size_t{kBlock + 5000}}) {
        SCOPED_TRACE(size);
        const std::string data = Mixed(size, static_cast<unsigned>(size) + 1);
        const Compressed single = Deflate(data, 1, kBlock, kLevel);
        const Compressed several = Deflate(data, 3, 4097, kLevel);
        ASSERT_TRUE(single.ok) << single.error;
        ASSERT_TRUE(several.ok) << several.error;
        EXPECT_TRUE(InflateRaw(single.bytes) == data);
        EXPECT_TRUE(several.bytes == single.bytes);
    }
}

TEST_F(ZopfliDeflate, SmallerThanZlibsBestOnText) {
    std::string text;
    for (int i = 0; text.size() < 200000; ++i)
        text += "record " + std::to_string(i * 7919 % 1000) + ": stamp " +
                std::to_string(i * 104729 % 100000) + (i % 3 ? " loose\n" : " in pak\n");
    const Compressed zlib = Deflate(text, 2, text.size(), 9);
    const Compressed zopfli = Deflate(text, 2, text.size(), kLevel);
    ASSERT_TRUE(zlib.ok && zopfli.ok);
    EXPECT_TRUE(InflateRaw(zopfli.bytes) == text);
    EXPECT_LT(zopfli.bytes.size(), zlib.bytes.size());
}

// zopfli stops anywhere within a byte; the piece is closed so that the next
// one starts on a byte boundary. Tiny pieces of every length end on every
// bit position (zopfli does not say which); each is followed by a final
// piece that refers back into it, the last one an empty final piece.
TEST_F(ZopfliDeflate, EveryPieceEndsOnAByteBoundary) {
    const std::string data = Mixed(100, 3) + "the end of the stream, the end of the stream";
    std::vector<u8> buffer(4096);
    for (u32 cut = 1; cut <= data.size(); cut += cut < 60 ? 1 : 7) {
        SCOPED_TRACE(cut);
        const u8* input = reinterpret_cast<const u8*>(data.data());
        u32 first = 0, second = 0;
        ASSERT_TRUE(ZopfliCompressBlock(input, 0, cut, false, 1, buffer.data(),
                                        static_cast<u32>(buffer.size()), &first));
        ASSERT_GE(first, 5u);
        EXPECT_EQ(0, std::memcmp(buffer.data() + first - 4, "\0\0\xFF\xFF", 4));
        std::string stream(reinterpret_cast<const char*>(buffer.data()), first);
        ASSERT_TRUE(ZopfliCompressBlock(input, cut, static_cast<u32>(data.size()) - cut, true, 1,
                                        buffer.data(), static_cast<u32>(buffer.size()), &second));
        stream.append(reinterpret_cast<const char*>(buffer.data()), second);
        EXPECT_TRUE(InflateRaw(stream) == data);
    }
}

TEST_F(ZopfliDeflate, OutputThatDoesNotFitIsRefused) {
    const std::string data = Mixed(5000, 9);
    std::vector<u8> buffer(100);
    u32 produced = 1;
    EXPECT_FALSE(ZopfliCompressBlock(reinterpret_cast<const u8*>(data.data()), 0,
                                     static_cast<u32>(data.size()), true, 1, buffer.data(),
                                     static_cast<u32>(buffer.size()), &produced));
    EXPECT_EQ(0u, produced);
}

} // namespace
