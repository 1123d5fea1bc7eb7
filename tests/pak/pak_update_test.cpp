// Rewriting archives: merge rules, digest checks, what is left on disk when
// an update stops, progress, and old sub-files larger than the copy pieces.
#include "pak_test_support.h"

#include <gtest/gtest.h>

#include <cstring>

#ifndef _WIN32
#include "platform/fault.h"
#endif

using namespace paktest;

namespace {

constexpr u32 kChunk = 256 * 1024;

struct PakUpdateTest : ::testing::Test {
    void SetUp() override { ASSERT_TRUE(InitPakUpdateLock()); }

    PakArchive* OpenRw(const std::string& path) {
        i32 error;
        return manager.Open(path.c_str(), PakReadWrite, false, &error);
    }
    bool Update(const std::string& path, std::vector<PakUpdateItem>& items, bool commit = true) {
        PakArchive* archive = OpenRw(path);
        return archive && manager.Update(archive, items.data(), static_cast<u32>(items.size()),
                                         dir.path().c_str(), "u.tmp", commit);
    }

    TempDir dir;
    PakManager manager;
};

struct ProgressLog : IPackEventHandle {
    void OnProgress(u32 done, u32 total) override { calls.emplace_back(done, total); }
    std::vector<std::pair<u32, u32>> calls;
};

// An archive written by someone else: upper-case names out of order, data
// blocks in reverse order with gaps between them.
TEST_F(PakUpdateTest, RewriteWithoutItemsSortsAndRepacks) {
    const std::string index = EntryBytes(0, 90, "zz") + EntryBytes(4, 80, "Mid") +
                              EntryBytes(10, 68, "first") + std::string("B.x\0A\\Q\0\0\0Ab\0", 14) +
                              std::string(2, '\0');
    PakHeader header;
    InitPakHeader(&header);
    header.fileCount = 3;
    header.indexOffset = 92;
    header.indexSize = static_cast<u32>(index.size());
    WriteFileBytes(dir / "old.pak", RawArchive(header, "first.......Mid.......zz", index));
    std::vector<PakUpdateItem> none;
    ASSERT_TRUE(Update(dir / "old.pak", none));

    const std::string bytes = ReadFileBytes(dir / "old.pak");
    const std::string plain = Decipher(bytes.substr(HeaderOf(bytes).indexOffset));
    EXPECT_EQ(HeaderOf(bytes).indexOffset, 68u + 4 + 8 + 4);
    EXPECT_EQ(plain.substr(192, 16), std::string("a\\q\0ab\0b.x\0\0\0\0\0", 16));
    EXPECT_EQ(bytes.substr(68, 16), std::string("Mid\0first\0\0\0zz\0\0", 16));
    const std::map<std::string, std::string> expected = {
        {"a\\q", "Mid"}, {"ab", "first"}, {"b.x", "zz"}};
    EXPECT_EQ(ReadAll(manager, dir / "old.pak"), expected);
}

TEST_F(PakUpdateTest, MergeRules) {
    ItemSet first;
    first.Add("keep", "kept bytes");
    first.Add("replace", "old bytes");
    ASSERT_TRUE(UpdateArchive(manager, dir / "m.pak", first));
    // The replaced sub-file's stored bytes no longer match: an item that
    // replaces it neither copies nor checks them.
    std::string bytes = ReadFileBytes(dir / "m.pak");
    bytes[68 + 12] ^= 1;
    WriteFileBytes(dir / "m.pak", bytes);

    ItemSet second;
    second.Add("Foo.txt", "first foo");
    second.Add("foo.txt", "second foo");
    second.Add("REPLACE", "new bytes", 3, 0x0102030405060708ull);
    second.items.push_back(EmptyItem("nothing"));
    second.items.back().method = 5;
    second.items.back().stampHigh = 77;
    ASSERT_TRUE(UpdateArchive(manager, dir / "m.pak", second));

    const std::map<std::string, std::string> expected = {{"foo.txt", "second foo"},
                                                         {"keep", "kept bytes"},
                                                         {"nothing", ""},
                                                         {"replace", "new bytes"}};
    EXPECT_EQ(ReadAll(manager, dir / "m.pak"), expected);
    i32 error;
    PakArchive* archive = manager.Open((dir / "m.pak").c_str(), PakReadOnly, false, &error);
    const PakFileEntry* replaced = manager.FindSubFile(archive, "replace");
    EXPECT_EQ(replaced->method, 3u);
    EXPECT_EQ(replaced->stampLow, 0x05060708u);
    EXPECT_EQ(replaced->stampHigh, 0x01020304u);
    const PakFileEntry* empty = manager.FindSubFile(archive, "nothing");
    EXPECT_EQ(empty->originalSize, 0u);
    EXPECT_EQ(0, std::memcmp(empty->storedMd5, g_emptyMd5, 16));
    EXPECT_EQ(0, std::memcmp(empty->originalMd5, g_emptyMd5, 16));
    EXPECT_EQ(empty->method, 5u);
    EXPECT_EQ(empty->stampHigh, 77u);
    manager.Close(archive);
}

// Every failure before the replacement leaves the archive as it was and no
// temporary file behind.
TEST_F(PakUpdateTest, FailuresLeaveArchiveUntouched) {
    ItemSet base;
    base.Add("big", std::string(2 * kChunk, 'b'));
    base.Add("small", "small");
    ASSERT_TRUE(UpdateArchive(manager, dir / "f.pak", base));
    const std::string before = ReadFileBytes(dir / "f.pak");

    MemoryStream source("0123456789");
    const std::string wrong = Md5Of("other");
    std::vector<std::vector<PakUpdateItem>> cases = {
        {StreamItem("bad", &source, 0, "0123456789", &wrong)},
        {StreamItem("short", &source, 5, "0123456789")},
        {PathItem("nofile", dir / "absent.bin", "x")},
    };
    for (auto& items : cases) {
        SCOPED_TRACE(items[0].name);
        EXPECT_FALSE(Update(dir / "f.pak", items));
        EXPECT_EQ(ReadFileBytes(dir / "f.pak"), before);
        EXPECT_FALSE(Exists(dir / "u.tmp"));
        EXPECT_FALSE(IsHeldOpen(dir / "f.pak"));
    }

    // Damage in the last piece of an old sub-file of two whole pieces.
    std::string damaged = before;
    damaged[68 + 2 * kChunk - 1] ^= 0x20;
    WriteFileBytes(dir / "f.pak", damaged);
    std::vector<PakUpdateItem> none;
    EXPECT_FALSE(Update(dir / "f.pak", none));
    EXPECT_EQ(ReadFileBytes(dir / "f.pak"), damaged);
    EXPECT_FALSE(Exists(dir / "u.tmp"));
}

// Old sub-files pass through in pieces; sizes around the piece boundary
// come out intact and at the places the whole-buffer copy would put them.
TEST_F(PakUpdateTest, LargeOldSubFilesCopiedInPieces) {
    ItemSet items;
    for (u32 size : {kChunk - 1, kChunk, kChunk + 1, 2 * kChunk, 2 * kChunk + 3}) {
        std::string data(size, '\0');
        for (u32 i = 0; i < size; ++i)
            data[i] = static_cast<char>(i * 7 + size);
        items.Add("s" + std::to_string(size), data);
    }
    ASSERT_TRUE(UpdateArchive(manager, dir / "l.pak", items));
    const std::string before = ReadFileBytes(dir / "l.pak");
    ItemSet one;
    one.Add("zzz", "tail");
    ASSERT_TRUE(UpdateArchive(manager, dir / "l.pak", one));
    const std::string after = ReadFileBytes(dir / "l.pak");
    const u32 dataEnd = HeaderOf(before).indexOffset;
    EXPECT_EQ(after.substr(0, dataEnd).substr(68), before.substr(68, dataEnd - 68));
    const auto files = ReadAll(manager, dir / "l.pak");
    ASSERT_EQ(files.size(), 6u);
    for (size_t i = 0; i < items.items.size(); ++i)
        EXPECT_EQ(files.at(items.items[i].name), items.streams[i]->data.substr(2));
}

// New sub-files pass through in the same pieces: one byte over a piece and
// exactly two pieces arrive intact, and damage in the last piece is caught.
TEST_F(PakUpdateTest, LargeNewSubFilesCopiedInPieces) {
    std::string twoPieces(2 * kChunk, '\0');
    for (u32 i = 0; i < twoPieces.size(); ++i)
        twoPieces[i] = static_cast<char>(i * 13 + (i >> 10));
    ItemSet items;
    items.Add("over", twoPieces.substr(0, kChunk + 1));
    items.Add("two", twoPieces);
    ASSERT_TRUE(UpdateArchive(manager, dir / "n.pak", items));
    const std::map<std::string, std::string> expected = {{"over", twoPieces.substr(0, kChunk + 1)},
                                                         {"two", twoPieces}};
    EXPECT_EQ(ReadAll(manager, dir / "n.pak"), expected);

    const std::string before = ReadFileBytes(dir / "n.pak");
    std::string damaged = twoPieces;
    damaged.back() ^= 0x01;
    MemoryStream source(damaged);
    std::vector<PakUpdateItem> bad = {StreamItem("three", &source, 0, twoPieces)};
    EXPECT_FALSE(Update(dir / "n.pak", bad));
    EXPECT_EQ(ReadFileBytes(dir / "n.pak"), before);
    EXPECT_FALSE(Exists(dir / "u.tmp"));
}

// The digests are checked while later records are already being copied, yet
// the records are reported done in order, and none from the first whose
// digest differs or whose bytes cannot be read.
TEST_F(PakUpdateTest, ProgressStopsBeforeTheFailingRecord) {
    const std::string data(kChunk + 100, 'r');
    const std::string wrong = Md5Of("something else");
    for (bool unreadable : {false, true}) {
        for (u32 failing : {0u, 3u, 5u}) {
            SCOPED_TRACE(std::to_string(failing) + (unreadable ? " unreadable" : " mismatch"));
            MemoryStream source(data);
            std::vector<PakUpdateItem> items;
            for (u32 i = 0; i < 6; ++i) {
                const bool fails = i == failing;
                const std::string name = "r" + std::to_string(i);
                items.push_back(StreamItem(name, &source, fails && unreadable ? 200 : 0, data,
                                           fails && !unreadable ? &wrong : nullptr));
            }
            ProgressLog progress;
            manager.SetEventHandler(&progress);
            EXPECT_FALSE(Update(dir / "g.pak", items));
            manager.SetEventHandler(nullptr);
            std::vector<std::pair<u32, u32>> expected;
            for (u32 done = 0; done <= failing; ++done)
                expected.emplace_back(done, 6u);
            EXPECT_EQ(progress.calls, expected);
            EXPECT_FALSE(Exists(dir / "u.tmp"));
        }
    }
}

TEST_F(PakUpdateTest, UncommittedLeavesCompleteTemporaryArchive) {
    ItemSet base;
    base.Add("a", "aaa");
    ASSERT_TRUE(UpdateArchive(manager, dir / "c.pak", base));
    const std::string before = ReadFileBytes(dir / "c.pak");
    ItemSet more;
    more.Add("b", "bbbb");
    EXPECT_FALSE(UpdateArchive(manager, dir / "c.pak", more, false));
    EXPECT_FALSE(IsHeldOpen(dir / "c.pak"));
    EXPECT_FALSE(IsHeldOpen(dir / "c.pak.tmp"));
    EXPECT_EQ(ReadFileBytes(dir / "c.pak"), before);
    ASSERT_TRUE(MoveFileA((dir / "c.pak.tmp").c_str(), (dir / "t.pak").c_str()));
    const std::map<std::string, std::string> expected = {{"a", "aaa"}, {"b", "bbbb"}};
    EXPECT_EQ(ReadAll(manager, dir / "t.pak"), expected);
}

TEST_F(PakUpdateTest, ProgressAndAlignment) {
    ItemSet items;
    for (u32 i = 0; i < 9; ++i)
        items.Add(std::string(i + 1, 'n'), std::string(i * 3, 'd'));
    ProgressLog progress;
    manager.SetEventHandler(&progress);
    ASSERT_TRUE(UpdateArchive(manager, dir / "p.pak", items));
    manager.SetEventHandler(nullptr);
    ASSERT_EQ(progress.calls.size(), 10u);
    for (u32 i = 0; i < 10; ++i)
        EXPECT_EQ(progress.calls[i], std::make_pair(i, 9u));
    const PakHeader header = HeaderOf(ReadFileBytes(dir / "p.pak"));
    EXPECT_EQ(header.indexOffset % 4, 0u);
    EXPECT_EQ(header.indexSize % 8, 0u);
    EXPECT_EQ(header.indexSize, (9 * 64 + 45 + 9 + 7) / 8 * 8);
}

// A file named by path is the sub-file, and the system temporary directory
// serves when none is given.
TEST_F(PakUpdateTest, PathSourceAndSystemTempDir) {
    WriteFileBytes(dir / "src.bin", "from a file");
    std::vector<PakUpdateItem> items = {PathItem("f", dir / "src.bin", "from a file")};
    PakArchive* archive = OpenRw(dir / "s.pak");
    const std::string tempName = "pi-pak-" + std::to_string(reinterpret_cast<uintptr_t>(this));
    ASSERT_TRUE(manager.Update(archive, items.data(), 1, nullptr, tempName.c_str(), true));
    const std::map<std::string, std::string> expected = {{"f", "from a file"}};
    EXPECT_EQ(ReadAll(manager, dir / "s.pak"), expected);
}

// Without the lock an update cannot run, and it still gives back the archive.
TEST_F(PakUpdateTest, UpdateWithoutLockReleasesArchive) {
    DeletePakUpdateLock();
    std::vector<PakUpdateItem> none;
    EXPECT_FALSE(Update(dir / "n.pak", none));
    EXPECT_TRUE(Exists(dir / "n.pak"));
    EXPECT_FALSE(IsHeldOpen(dir / "n.pak"));
    EXPECT_TRUE(InitPakUpdateLock());
#ifndef _WIN32
    DeletePakUpdateLock();
    pi::fault::Arm(pi::fault::Call::InitializeCriticalSection, 1, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_FALSE(InitPakUpdateLock());
    pi::fault::Disarm();
    EXPECT_TRUE(InitPakUpdateLock());
#endif
}

} // namespace
