// The byte layout the writer produces, checked against archives built by
// hand from the format's worked examples.
#include "pak_test_support.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace paktest;

namespace {

struct PakFormatTest : ::testing::Test {
    void SetUp() override { ASSERT_TRUE(InitPakUpdateLock()); }
    TempDir dir;
    PakManager manager;
};

std::string HeaderBytes(u32 count, u32 indexOffset, u32 indexSize) {
    PakHeader header;
    std::memset(&header, 0, sizeof header);
    std::memcpy(&header, "!PAK\x05\0\0\0", 8);
    header.fileCount = count;
    header.indexOffset = indexOffset;
    header.indexSize = indexSize;
    std::memcpy(header.comment, "Archive created by the resource packer.", 40);
    return std::string(reinterpret_cast<const char*>(&header), sizeof header);
}

std::string Entry(u32 nameOffset, u32 dataOffset, const std::string& data, u32 method, u64 stamp,
                  u32 originalSize, const std::string& originalMd5) {
    std::string entry = EntryBytes(nameOffset, dataOffset, data);
    PakIndexEntry e;
    std::memcpy(&e, entry.data(), sizeof e);
    e.originalSize = originalSize;
    std::memcpy(e.originalMd5, originalMd5.data(), 16);
    e.method = method;
    e.stampLow = static_cast<u32>(stamp);
    e.stampHigh = static_cast<u32>(stamp >> 32);
    return std::string(reinterpret_cast<const char*>(&e), sizeof e);
}

std::string FromHex(const std::string& hex) {
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

// The index below, enciphered by a cipher that is not ours (OpenSSL's
// command-line des-ede3 with the three keys of the passphrase's digest).
const char kTwoSubFilesIndex[] = "c033fa3a98f8e90d341fc7fe03f6ec568b8157a209b6b3b9bf649f61fd23d4ab"
                                 "0101faef2d15ea2ac21d9698fa87fa0b27bcacb8ad4ff52f79bf97d9bb883aba"
                                 "8d86522a2abde2163c010393ce735a4852b63bedf952a0b4dabbb62734a06348"
                                 "515f36dbaca2205020b2a15c013266f52f01129e19348d8fa077934c3549d9ed"
                                 "e5edd98ae8142423";

TEST_F(PakFormatTest, TwoSubFilesOneEmpty) {
    const std::string path = dir / "two.pak";
    ItemSet items;
    items.Add("A", "hello", 3, 0x01D2000012345678ull);
    items.items.push_back(EmptyItem("b"));
    items.items.back().method = 7;
    items.items.back().stampLow = 9;
    ASSERT_TRUE(UpdateArchive(manager, path, items));

    const std::string plainIndex =
        Entry(0, 68, "hello", 3, 0x01D2000012345678ull, 5, Md5Of("hello")) +
        Entry(2, 76, "", 7, 9, 0, Md5Of("")) + std::string("a\0b\0\0\0\0\0", 8);
    ASSERT_EQ(plainIndex.size(), 136u);
    ASSERT_EQ(Encipher(plainIndex), FromHex(kTwoSubFilesIndex));
    const std::string expected =
        HeaderBytes(2, 76, 136) + std::string("hello\0\0\0", 8) + FromHex(kTwoSubFilesIndex);
    const std::string actual = ReadFileBytes(path);
    EXPECT_EQ(actual.size(), 212u);
    EXPECT_EQ(actual, expected);
}

TEST_F(PakFormatTest, OneZeroLengthSubFile) {
    const std::string path = dir / "one.pak";
    ItemSet items;
    items.Add("config\\x.ini", "");
    ASSERT_TRUE(UpdateArchive(manager, path, items));
    const std::string plainIndex =
        Entry(0, 68, "", 0, 0, 0, Md5Of("")) + std::string("config\\x.ini\0\0\0\0", 16);
    EXPECT_EQ(ReadFileBytes(path), HeaderBytes(1, 68, 80) + Encipher(plainIndex));

    ItemSet shortName;
    shortName.Add("abcdefg", "");
    ASSERT_TRUE(UpdateArchive(manager, dir / "short.pak", shortName));
    const std::string archive = ReadFileBytes(dir / "short.pak");
    EXPECT_EQ(HeaderOf(archive).indexSize, 72u);
    EXPECT_EQ(archive.size(), 68u + 72u);
}

// A read-write open of a missing archive writes the empty archive, and a
// rewrite with nothing to add writes the same 68 bytes.
TEST_F(PakFormatTest, EmptyArchive) {
    const std::string path = dir / "empty.pak";
    i32 error = -1;
    PakArchive* archive = manager.Open(path.c_str(), PakReadWrite, false, &error);
    ASSERT_NE(archive, nullptr);
    EXPECT_EQ(error, PakOk);
    manager.Close(archive);
    EXPECT_EQ(ReadFileBytes(path), HeaderBytes(0, 68, 0));

    ItemSet none;
    ASSERT_TRUE(UpdateArchive(manager, path, none));
    EXPECT_EQ(ReadFileBytes(path), HeaderBytes(0, 68, 0));
}

// Only 'A' to 'Z' change, wherever they stand: 0x81 0x41 is one double-byte
// character whose second byte is lowered all the same.
TEST_F(PakFormatTest, LowerCasing) {
    char text[] = "Data\\ABC.txt \x81\x41\x81\x5A\x81\x5C\xC0\xB6@[`{";
    LowerCaseBytes(text);
    EXPECT_STREQ(text, "data\\abc.txt \x81\x61\x81\x7A\x81\x5C\xC0\xB6@[`{");

    const std::string path = dir / "case.pak";
    ItemSet items;
    items.Add("Data\\ABC.txt", "1");
    items.Add("\xB1\xED\x81\x41.TXT", "2");
    ASSERT_TRUE(UpdateArchive(manager, path, items));
    const auto files = ReadAll(manager, path);
    const std::map<std::string, std::string> expected = {{"data\\abc.txt", "1"},
                                                         {"\xB1\xED\x81\x61.txt", "2"}};
    EXPECT_EQ(files, expected);
}

} // namespace
