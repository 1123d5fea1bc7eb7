// Records that carry the same bytes share one copy of them in the data area:
// the builder lays the bytes down once, and the job reads every record by its
// own offset.
#include "patch_test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

using namespace patchtest;

namespace {

constexpr u32 kFileSize = 64 * 1024;

// Random bytes: deflate cannot shrink them, so the installer's size shows
// how many copies it holds.
std::string RandomBytes(u32 size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes)
        c = static_cast<char>(random());
    return bytes;
}

std::string Name(int i) {
    return "same\\copy" + std::to_string(i) + ".bin";
}

TEST(SharedData, FortyIdenticalFilesAreStoredOnceAndEachWritten) {
    Workspace space;
    const std::string same = RandomBytes(kFileSize, 1);
    const std::string other = RandomBytes(kFileSize, 2);
    PackageContents contents;
    contents.paks.push_back({"data\\x.pak", Stamp(5), {}});
    contents.paks[0].files.push_back(space.File("first.dat", same, 7, 3));
    contents.paks[0].files.push_back(space.File("empty.dat", "", 7));
    for (int i = 0; i < 40; ++i)
        contents.looseFiles.push_back(space.File(Name(i), i == 20 ? other : same, 100 + i));
    const std::string installer = space.Build(contents);

    const size_t stub = ReadFileBytes(space.Stub()).size();
    EXPECT_LT(ReadFileBytes(installer).size(), stub + kFileSize + kFileSize / 2 + kFileSize);
    const RawPackage package = Parse(Inflated(installer));
    ASSERT_EQ(package.files.size(), 42u);
    EXPECT_TRUE(package.data == same + other);
    for (size_t i = 0; i < package.files.size(); ++i) {
        const PatchFileRecord& record = package.files[i];
        SCOPED_TRACE(record.name);
        const u32 expected = i == 1 ? kFileSize : i == 22 ? kFileSize : 0; // empty: at the end
        EXPECT_EQ(record.dataOffset, expected);
    }

    const JobRun run = RunJob(space.game(), installer);
    ASSERT_TRUE(run.result) << run.failure;
    for (int i = 0; i < 40; ++i) {
        SCOPED_TRACE(i);
        EXPECT_TRUE(ReadFileBytes(space.GamePath(Name(i))) == (i == 20 ? other : same));
    }
    const auto archive = ReadArchive(space.GamePath("data\\x.pak"));
    ASSERT_EQ(archive.size(), 2u);
    EXPECT_TRUE(archive.at("first.dat") == same);
    EXPECT_EQ(archive.at("empty.dat"), "");
}

// Only bytes that compare equal are shared: a digest could be forged, or two
// files could collide.
TEST(SharedData, SameSizeAndDigestWithOtherBytesIsNotShared) {
    Workspace space;
    const std::string one = RandomBytes(1000, 3);
    std::string two = one;
    two[500] ^= 1;
    PackageContents contents;
    contents.looseFiles.push_back(space.File("one.bin", one));
    contents.looseFiles.push_back(space.File("two.bin", two));
    // Honest digests: two copies.
    const RawPackage honest = Parse(Inflated(space.Build(contents)));
    ASSERT_EQ(honest.files.size(), 2u);
    EXPECT_EQ(honest.files[1].dataOffset, 1000u);
    EXPECT_TRUE(honest.data == one + two);

    // The second record claims the first one's digest. Shared, it would
    // quietly carry the first one's bytes; kept apart, its own bytes are
    // copied, checked against that digest, and refused.
    std::memcpy(contents.looseFiles[1].storedMd5, contents.looseFiles[0].storedMd5, 16);
    const std::string output = space.root() + "\\forged.exe";
    std::string error;
    EXPECT_FALSE(WritePackage(space.Stub().c_str(), contents, output.c_str(), 9, nullptr, &error));
    EXPECT_NE(error.find("the data of two.bin"), std::string::npos) << error;
    EXPECT_NE(error.find("does not match its digest"), std::string::npos) << error;
    EXPECT_FALSE(Exists(output));
}

// A source that cannot be read is not taken for the same bytes: the copy
// says what is wrong with it.
TEST(SharedData, UnreadableDuplicateFailsAtItsCopy) {
    Workspace space;
    PackageContents contents;
    contents.looseFiles.push_back(space.File("a.bin", "same bytes"));
    contents.looseFiles.push_back(space.File("b.bin", "same bytes"));
    contents.looseFiles[1].source.path = space.root() + "\\gone.bin";
    const std::string output = space.root() + "\\out.exe";
    std::string error;
    EXPECT_FALSE(WritePackage(space.Stub().c_str(), contents, output.c_str(), 9, nullptr, &error));
    EXPECT_NE(error.find("gone.bin"), std::string::npos) << error;
}

} // namespace
