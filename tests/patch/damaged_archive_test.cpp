// A patch applied to an archive whose bytes were damaged in one word: no
// word of the header or of the index may make the job lose a sub-file that
// the archive held, and a failure leaves the archive as it was.
#include "patch_test_support.h"

#include "pak/pak_format.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace patchtest;

namespace {

struct Word {
    bool inIndex;  // a word of the deciphered index, else of the header
    size_t offset; // in the header or the plain index
};

// `bytes` with one word set; a word of the index is set in plain text and
// the index enciphered again, as damage inside the file would read.
std::string WithWord(std::string bytes, const Word& word, u32 value) {
    if (!word.inIndex) {
        std::memcpy(&bytes[word.offset], &value, 4);
        return bytes;
    }
    const PakHeader header = paktest::HeaderOf(bytes);
    std::string plain = paktest::Decipher(bytes.substr(header.indexOffset, header.indexSize));
    std::memcpy(&plain[word.offset], &value, 4);
    bytes.replace(header.indexOffset, header.indexSize, paktest::Encipher(plain));
    return bytes;
}

std::string Describe(const Word& word, u32 value) {
    const std::string where = word.inIndex ? "index entry " + std::to_string(word.offset / 64) +
                                                 " word " + std::to_string(word.offset % 64 / 4)
                                           : "header word " + std::to_string(word.offset / 4);
    return where + " = " + std::to_string(value);
}

TEST(DamagedArchive, NoWordOfTheHeaderOrIndexLosesASubFile) {
    Workspace space;
    const std::string path = space.GamePath("a.pak");
    paktest::ItemSet items;
    items.Add("a.txt", "alpha", 3, 0x01D2000012345678ull);
    items.Add("b.txt", "");
    items.Add("c.txt", "charlie!!");
    ASSERT_TRUE(paktest::UpdateArchive(g_pakManager, path, items));
    const std::string pristine = ReadFileBytes(path);
    const std::map<std::string, std::string> held = ReadArchive(path);
    ASSERT_EQ(held.size(), 3u);

    PackageContents contents;
    contents.paks.push_back({"a.pak", Stamp(1), {space.File("d.txt", "delta")}});
    const std::string installer = space.Build(contents);

    std::vector<Word> words;
    for (size_t offset = 0; offset < kPakHeaderSize; offset += 4)
        words.push_back({false, offset});
    for (size_t offset = 0; offset < held.size() * kPakEntrySize; offset += 4)
        words.push_back({true, offset});
    const u32 size = static_cast<u32>(pristine.size());
    int succeeded = 0, refused = 0;
    for (const Word& word : words) {
        for (u32 value : {0u, 1u, size, size + 1, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
            SCOPED_TRACE(Describe(word, value));
            const std::string damaged = WithWord(pristine, word, value);
            WriteFileBytes(path, damaged);
            const JobRun run = RunJob(space.game(), installer);
            if (run.result) {
                ++succeeded;
                std::map<std::string, std::string> now = ReadArchive(path);
                for (const auto& [name, bytes] : held)
                    EXPECT_TRUE(now.count(name) != 0 && now[name] == bytes) << name;
                EXPECT_EQ(now["d.txt"], "delta");
            } else {
                ++refused;
                EXPECT_TRUE(ReadFileBytes(path) == damaged) << run.failure;
            }
            EXPECT_FALSE(Exists(path + ".tmp"));
            EXPECT_FALSE(Exists(path + ".bak"));
            EXPECT_TRUE(LeftoverTemps(space.game()).empty());
            if (HasFailure())
                return;
        }
    }
    // Both outcomes occur: words nobody reads, and words that damage.
    EXPECT_GT(succeeded, 0);
    EXPECT_GT(refused, 0);
}

} // namespace
