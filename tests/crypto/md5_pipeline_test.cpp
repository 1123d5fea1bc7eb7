// Hashing on a second thread: digests equal the one-shot digest, come out in
// the order they were ended, and the small ring of chunks is enough for any
// amount of data.
#include "crypto/md5_pipeline.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

std::string Digest(const std::string& data) {
    uint8_t digest[crypto::kMd5Size];
    crypto::Md5Digest(data.data(), data.size(), digest);
    return std::string(reinterpret_cast<char*>(digest), sizeof digest);
}

std::string Taken(crypto::Md5Pipeline& pipeline, bool wait) {
    uint8_t digest[crypto::kMd5Size];
    if (!pipeline.TakeDigest(digest, wait))
        return "<none>";
    return std::string(reinterpret_cast<char*>(digest), sizeof digest);
}

// Feeds `data` through acquired chunks of at most `piece` bytes.
void FeedAll(crypto::Md5Pipeline& pipeline, const std::string& data, size_t piece) {
    for (size_t at = 0; at < data.size(); at += piece) {
        const size_t size = std::min(piece, data.size() - at);
        uint8_t* chunk = pipeline.Acquire();
        std::memcpy(chunk, data.data() + at, size);
        pipeline.Feed(chunk, size);
        // The caller may still read what it handed over.
        EXPECT_EQ(std::memcmp(chunk, data.data() + at, size), 0);
    }
    pipeline.EndDigest();
}

std::string Pattern(size_t size, unsigned seed) {
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i)
        data[i] = static_cast<char>((i * 131 + seed * 7) ^ (i >> 9));
    return data;
}

// With a hashing thread and without one (one core), the same results.
TEST(Md5Pipeline, DigestsMatchAndKeepTheirOrder) {
    SCOPED_TRACE(crypto::BackendName());
    for (bool thread : {true, false}) {
        crypto::Md5Pipeline pipeline(4096, 2, thread); // far less room than data
        ASSERT_TRUE(pipeline.Ready());
        const std::vector<std::string> inputs = {Pattern(100000, 1), "",    Pattern(4096, 2),
                                                 Pattern(4097, 3),   "abc", Pattern(8192, 4)};
        for (const std::string& data : inputs)
            FeedAll(pipeline, data, pipeline.ChunkSize());
        EXPECT_EQ(pipeline.Pending(), inputs.size());
        for (const std::string& data : inputs)
            EXPECT_EQ(Taken(pipeline, true), Digest(data));
        EXPECT_EQ(pipeline.Pending(), 0u);
        EXPECT_EQ(Taken(pipeline, true), "<none>"); // nothing ended: no wait
    }
}

TEST(Md5Pipeline, ChunksOfAnySizeAndDigestsTakenAsTheyFinish) {
    crypto::Md5Pipeline pipeline(1000, 3);
    const std::string data = Pattern(60000, 9);
    std::vector<std::string> taken;
    for (size_t piece : {1u, 7u, 999u, 1000u}) {
        FeedAll(pipeline, data, piece);
        // Without waiting, a digest is either finished and right, or absent.
        const std::string early = Taken(pipeline, false);
        if (early != "<none>")
            taken.push_back(early);
    }
    while (pipeline.Pending() != 0)
        taken.push_back(Taken(pipeline, true));
    EXPECT_EQ(taken, std::vector<std::string>(4, Digest(data)));
}

TEST(Md5Pipeline, EndsCleanlyWithWorkStillQueued) {
    crypto::Md5Pipeline pipeline(65536, 4);
    FeedAll(pipeline, Pattern(300000, 5), 65536);
    uint8_t* chunk = pipeline.Acquire();
    pipeline.Feed(chunk, 10); // a digest that is never ended
}

} // namespace
