// Opening archives: the reference-counted tables, backup recovery, the open
// errors, and the reader's answer to damaged or hostile bytes.
#include "pak_test_support.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace paktest;

namespace {

struct PakOpenTest : ::testing::Test {
    void SetUp() override { ASSERT_TRUE(InitPakUpdateLock()); }

    PakArchive* Open(const std::string& path, u32 mode, bool recreate = false) {
        error = -1;
        return manager.Open(path.c_str(), mode, recreate, &error);
    }
    // A valid archive holding a = "first", b = "second", c = "third".
    std::string MakeArchive(const std::string& path) {
        ItemSet items;
        items.Add("a", "first");
        items.Add("b", "second");
        items.Add("c", "third");
        EXPECT_TRUE(UpdateArchive(manager, path, items));
        return ReadFileBytes(path);
    }

    TempDir dir;
    PakManager manager;
    i32 error = -1;
};

// Entries at 68 onwards whose data is "0123456789" and names "n0", "n1", ...
std::string Names(size_t count) {
    std::string names;
    for (size_t i = 0; i < count; ++i)
        names += "n" + std::to_string(i) + std::string(1, '\0');
    return names;
}

std::string Archive(u32 count, const std::string& plainIndex, u32 version = 5) {
    PakHeader header;
    InitPakHeader(&header);
    header.version = version;
    header.fileCount = count;
    header.indexOffset = 80;
    header.indexSize = static_cast<u32>(plainIndex.size());
    return RawArchive(header, "0123456789ab", plainIndex);
}

TEST_F(PakOpenTest, SamePathSharesOneArchive) {
    CreateDirectoryA((dir / "data").c_str(), nullptr);
    MakeArchive(dir / "data\\char2.pak");
    const std::string path = dir / "data\\char2.pak";
    PakArchive* first = Open(dir / "Data\\Char2.PAK", PakReadOnly);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->name, path);
    EXPECT_EQ(Open(path, PakReadOnly), first);
    PakArchive* writable = Open(path, PakReadWrite);
    EXPECT_NE(writable, first);
    manager.Close(writable);
    // The read-only archive was opened twice: the file stays open, and the
    // archive usable, until the second Close.
    EXPECT_TRUE(IsHeldOpen(path));
    manager.Close(first);
    EXPECT_TRUE(IsHeldOpen(path));
    EXPECT_NE(manager.FindSubFile(first, "a"), nullptr);
    manager.Close(first);
    EXPECT_FALSE(IsHeldOpen(path));
}

TEST_F(PakOpenTest, OnlyPakExtensionsOpen) {
    for (const char* name : {"noext", "a.pa", "a.pak\\x", "a.paks", "a.pak.tmp"}) {
        EXPECT_EQ(Open(dir / name, PakReadWrite), nullptr) << name;
        EXPECT_EQ(error, PakOk) << name;
        EXPECT_FALSE(Exists(dir / name)) << name;
    }
}

TEST_F(PakOpenTest, MissingArchive) {
    EXPECT_EQ(Open(dir / "gone.pak", PakReadOnly), nullptr);
    EXPECT_EQ(error, PakMissing);
    EXPECT_FALSE(Exists(dir / "gone.pak"));

    PakArchive* recreated = Open(dir / "gone.pak", PakReadOnly, true);
    ASSERT_NE(recreated, nullptr);
    EXPECT_EQ(error, PakMissing);
    EXPECT_TRUE(recreated->files.empty());
    EXPECT_EQ(ReadFileBytes(dir / "gone.pak").size(), 68u);
    manager.Close(recreated);

    PakArchive* created = Open(dir / "new.pak", PakReadWrite);
    ASSERT_NE(created, nullptr);
    EXPECT_EQ(error, PakOk);
    manager.Close(created);
    EXPECT_EQ(ReadFileBytes(dir / "new.pak").size(), 68u);
}

// A backup left by an interrupted update is moved back by either kind of
// open; a read-write open must not create an empty archive in its place.
TEST_F(PakOpenTest, BackupRecoveredInBothModes) {
    const std::string old = MakeArchive(dir / "x.pak");
    for (u32 mode : {PakReadOnly, PakReadWrite}) {
        ASSERT_TRUE(MoveFileA((dir / "x.pak").c_str(), (dir / "x.pak.bak").c_str()));
        PakArchive* archive = Open(dir / "x.pak", mode);
        ASSERT_NE(archive, nullptr) << mode;
        EXPECT_EQ(error, PakOk);
        EXPECT_EQ(archive->files.size(), 3u);
        EXPECT_FALSE(Exists(dir / "x.pak.bak"));
        manager.Close(archive);
        EXPECT_EQ(ReadFileBytes(dir / "x.pak"), old);
    }
    // An empty file at the archive's name does not make the backup stale.
    ASSERT_TRUE(MoveFileA((dir / "x.pak").c_str(), (dir / "x.pak.bak").c_str()));
    WriteFileBytes(dir / "x.pak", "");
    PakArchive* archive = Open(dir / "x.pak", PakReadWrite);
    ASSERT_NE(archive, nullptr);
    EXPECT_EQ(archive->files.size(), 3u);
    manager.Close(archive);
    EXPECT_EQ(ReadFileBytes(dir / "x.pak"), old);
    EXPECT_FALSE(Exists(dir / "x.pak.bak"));
}

TEST_F(PakOpenTest, BadHeaderAndVersion) {
    WriteFileBytes(dir / "bad.pak", std::string(100, 'x'));
    EXPECT_EQ(Open(dir / "bad.pak", PakReadOnly), nullptr);
    EXPECT_EQ(error, PakBadHeader);
    PakArchive* recreated = Open(dir / "bad.pak", PakReadWrite, true);
    ASSERT_NE(recreated, nullptr);
    EXPECT_EQ(error, PakBadHeader);
    manager.Close(recreated);
    EXPECT_EQ(ReadFileBytes(dir / "bad.pak").size(), 68u);

    // Exactly 68 bytes is an empty archive whatever they hold.
    WriteFileBytes(dir / "junk.pak", std::string(68, 'x'));
    PakArchive* junk = Open(dir / "junk.pak", PakReadOnly);
    EXPECT_NE(junk, nullptr);
    manager.Close(junk);

    WriteFileBytes(dir / "short.pak", "!PAK\x05");
    EXPECT_EQ(Open(dir / "short.pak", PakReadOnly), nullptr);
    EXPECT_EQ(error, PakBadHeader);

    const std::string index = EntryBytes(0, 68, "0123") + Names(1) + std::string(5, '\0');
    WriteFileBytes(dir / "v6.pak", Archive(1, index, 6));
    PakArchive* v6 = Open(dir / "v6.pak", PakReadOnly);
    ASSERT_NE(v6, nullptr);
    EXPECT_NE(manager.FindSubFile(v6, "n0"), nullptr);
    manager.Close(v6);
    WriteFileBytes(dir / "v4.pak", Archive(1, index, 4));
    EXPECT_EQ(Open(dir / "v4.pak", PakReadOnly), nullptr);
    EXPECT_EQ(error, PakBadHeader);
}

// Each damaged index opens with error 1 and the entries before the damage
// for reading. A rewrite would keep only those, so it is not opened for
// writing at all, and the file stays as it is.
TEST_F(PakOpenTest, DamagedIndexKeepsEntriesBefore) {
    const std::string names = Names(3); // "n0\0n1\0n2\0": 9 bytes
    const std::string e0 = EntryBytes(0, 68, "0123"), e1 = EntryBytes(3, 72, "4567");
    const std::string pad(7, '\0');
    const struct {
        const char* what;
        std::string index;
        u32 count;
        size_t kept;
    } kCases[] = {
        {"third name past the area", e0 + e1 + EntryBytes(99, 76, "") + names + pad, 3, 2},
        {"span above 1024", e0 + e1 + EntryBytes(3000, 76, "") + names + pad, 3, 1},
        {"last name unterminated", e0 + e1 + EntryBytes(6, 76, "") + std::string("n0\0n1\0n2", 8),
         3, 2},
        {"table beyond index", e0 + e1 + names + pad, 0x4000000, 0},
        {"length not whole blocks", e0 + e1 + EntryBytes(6, 76, "") + names + "\0\0", 3, 0},
        {"span reaching past the end", e0 + EntryBytes(200, 72, "4567") + "n0abcdef", 2, 1},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.what);
        WriteFileBytes(dir / "dmg.pak", Archive(c.count, c.index));
        PakManager fresh; // an index buffer of exactly this index's size
        PakArchive* archive = fresh.Open((dir / "dmg.pak").c_str(), PakReadOnly, false, &error);
        ASSERT_NE(archive, nullptr);
        EXPECT_EQ(error, PakIndexDamaged);
        EXPECT_EQ(archive->files.size(), c.kept);
        fresh.Close(archive);

        const std::string before = ReadFileBytes(dir / "dmg.pak");
        EXPECT_EQ(fresh.Open((dir / "dmg.pak").c_str(), PakReadWrite, false, &error), nullptr);
        EXPECT_EQ(error, PakIndexDamaged);
        EXPECT_FALSE(IsHeldOpen(dir / "dmg.pak"));
        EXPECT_TRUE(ReadFileBytes(dir / "dmg.pak") == before);
    }
}

// Indexes a reader takes whole, but whose bytes say that an entry or a name
// was lost: a rewrite would drop, rename or empty a sub-file, so they are not
// opened for writing. Zero bytes between names say nothing and are fine.
TEST_F(PakOpenTest, WritingNeedsAnIndexThatAccountsForItsBytes) {
    const std::string e0 = EntryBytes(0, 68, "0123"), e1 = EntryBytes(3, 72, "4567");
    std::string spentDigest = EntryBytes(6, 76, "");
    std::memset(&spentDigest[16], 0x5A, 16);
    const std::string e1At5 = EntryBytes(5, 72, "4567");
    const struct {
        const char* what;
        u32 count;
        std::string index;
        bool writable;
    } kCases[] = {
        {"names back to back", 3, e0 + e1 + EntryBytes(6, 76, "") + Names(3) + std::string(7, 0),
         true},
        {"zeros between names", 2, e0 + e1At5 + std::string("n0\0\0\0n1\0\0", 8), true},
        {"bytes no name holds", 2, e0 + e1At5 + std::string("n0\0xyn1\0", 8), false},
        {"a name that runs into the next", 2,
         e0 + EntryBytes(2, 72, "4567") + std::string("n0n1\0\0\0\0", 8), false},
        {"an empty sub-file with another's digest", 3,
         e0 + e1 + spentDigest + Names(3) + std::string(7, 0), false},
        {"a name before the first", 1, EntryBytes(3, 68, "0123") + std::string("old\0n0\0\0", 8),
         false},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.what);
        const u32 count = c.count;
        WriteFileBytes(dir / "w.pak", Archive(count, c.index));
        const std::string before = ReadFileBytes(dir / "w.pak");
        PakManager fresh;
        PakArchive* reading = fresh.Open((dir / "w.pak").c_str(), PakReadOnly, false, &error);
        ASSERT_NE(reading, nullptr);
        EXPECT_EQ(error, PakOk);
        EXPECT_EQ(reading->files.size(), count);
        fresh.Close(reading);
        PakArchive* writing = fresh.Open((dir / "w.pak").c_str(), PakReadWrite, false, &error);
        EXPECT_EQ(writing != nullptr, c.writable);
        EXPECT_EQ(error, c.writable ? PakOk : PakIndexDamaged);
        fresh.Close(writing);
        EXPECT_TRUE(ReadFileBytes(dir / "w.pak") == before);
    }
}

// Lengths from the header are checked against the file before anything is
// allocated; offsets from the index before anything is read.
TEST_F(PakOpenTest, HostileLengthsAndOffsets) {
    const std::string valid = MakeArchive(dir / "ok.pak");
    // A 3 GiB index, in an archive of a few hundred bytes, among them.
    for (auto bad : {std::make_pair(76u, 0xFFFFFFF8u), std::make_pair(76u, 0xC0000000u),
                     std::make_pair(0xFFFFFF00u, 0x200u), std::make_pair(100u, 200u)}) {
        PakHeader header = HeaderOf(valid);
        header.indexOffset = bad.first;
        header.indexSize = bad.second;
        std::string bytes = valid;
        std::memcpy(&bytes[0], &header, sizeof header);
        WriteFileBytes(dir / "big.pak", bytes);
        EXPECT_EQ(Open(dir / "big.pak", PakReadOnly), nullptr);
        EXPECT_EQ(error, PakIoError);
    }

    const std::string index = EntryBytes(0, 76, "89ab") + EntryBytes(3, 0xFFFFFFF0u, "0123") +
                              EntryBytes(6, 70, "23456789abcd") + Names(3) + std::string(7, 0);
    WriteFileBytes(dir / "far.pak", Archive(3, index));
    PakArchive* archive = Open(dir / "far.pak", PakReadOnly);
    ASSERT_NE(archive, nullptr);
    char buffer[16];
    EXPECT_EQ(manager.ReadSubFile(manager.FindSubFile(archive, "n1"), buffer, 4), -1);
    // Reaches past the end of the file (which ends at 80 + the index).
    PakFileEntry* n2 = manager.FindSubFile(archive, "n2");
    n2->size = 1000;
    EXPECT_EQ(manager.ReadSubFile(n2, buffer, 1000), -1);
    EXPECT_EQ(n2->position, 0u);
    // A refused read leaves the archive readable.
    EXPECT_EQ(manager.ReadSubFile(manager.FindSubFile(archive, "n0"), buffer, 16), 4);
    EXPECT_EQ(std::string(buffer, 4), "89ab");
    manager.Close(archive);
}

TEST_F(PakOpenTest, FindSeekRead) {
    ItemSet items;
    items.Add("Config\\Life_skill.ini", "wxyz");
    ASSERT_TRUE(UpdateArchive(manager, dir / "f.pak", items));
    PakArchive* archive = Open(dir / "f.pak", PakReadOnly);
    ASSERT_NE(archive, nullptr);
    EXPECT_EQ(manager.FindSubFile(archive, "Config\\Life_skill.ini"), nullptr);
    PakFileEntry* entry = manager.FindSubFile(archive, "config\\life_skill.ini");
    ASSERT_NE(entry, nullptr);
    char buffer[8] = {};
    manager.SeekSubFile(entry, 10, 0);
    EXPECT_EQ(entry->position, 4u);
    EXPECT_EQ(manager.ReadSubFile(entry, buffer, 8), 0);
    manager.SeekSubFile(entry, 1, 0);
    manager.SeekSubFile(entry, 1, 1);
    EXPECT_EQ(manager.ReadSubFile(entry, buffer, 8), 2);
    EXPECT_EQ(std::string(buffer, 2), "yz");
    manager.SeekSubFile(entry, static_cast<u32>(-3), 2);
    EXPECT_EQ(entry->position, 1u);
    manager.SeekSubFile(entry, 3, 9);
    EXPECT_EQ(entry->position, 3u);
    manager.CloseSubFile(entry);
    EXPECT_EQ(entry->position, 0u);
    EXPECT_EQ(manager.ReadSubFile(entry, buffer, 8), 4);
    manager.Close(archive);
}

} // namespace
