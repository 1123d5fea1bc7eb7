// What a player's machine can put in the installer's way: an archive held
// open by another program, a read-only archive, a disk that fills during a
// rewrite, a game directory that is a file or does not exist. Each ends
// with the failure message, exit status 1, the reason on stderr and in the
// program log beside the installer, and nothing lost (or, for the read-only
// archive, with the patch applied).
#include "e2e_support.h"

#include "pak/pak_format.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace e2e {
namespace {

constexpr u64 kStamp = 132000000000000000ULL;

std::string HolderPath() {
#ifdef _WIN32
    std::string path = "Z:" + std::string(FILE_HOLDER_BINARY);
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
#else
    return FILE_HOLDER_BINARY;
#endif
}

class BadInput : public ::testing::Test {
  protected:
    Scratch scratch;
    const std::string game = scratch / "game";
    const std::string installer = scratch / "bin\\setup.exe";
    const std::string log = scratch / "bin\\setup.log";
    const std::string archive = game + "\\data\\a.pak";
    PackageBuilder builder{scratch / "src"};
    SubFiles old = {{"keep.txt", {"keep"}}, {"change.txt", {std::string(300000, 'o')}}};

    void SetUp() override {
        MakeDirectory(game);
        MakeArchive(archive, old);
        builder.AddPak("data\\a.pak", kStamp);
        builder.AddSubFile("change.txt", {std::string(1 << 20, 'n')});
        builder.AddSubFile("added.txt", {"added"});
        builder.Write(installer);
    }

    // The failure as the player and the support desk see it.
    void ExpectFailure(const RunResult& run, const std::string& reason) {
        EXPECT_EQ(1, run.exitCode) << run.out << run.err;
        EXPECT_NE(std::string::npos, run.out.find(Shown(kFailed))) << run.out;
        EXPECT_EQ(std::string::npos, run.out.find(Shown(kUpdated))) << run.out;
        EXPECT_NE(std::string::npos, run.err.find(reason)) << run.err;
        const std::string logged = FileBytes(log);
        EXPECT_NE(std::string::npos, logged.find("Update failed: ")) << logged;
        EXPECT_NE(std::string::npos, logged.find(reason)) << logged;
    }

    void ExpectArchiveUntouched(const std::string& bytes) {
        EXPECT_TRUE(bytes == FileBytes(archive));
        EXPECT_TRUE(FindNames(game + "\\data", "", ".tmp").empty());
        EXPECT_TRUE(FindNames(game + "\\data", "", ".bak").empty());
        EXPECT_TRUE(FindNames(game, "qv", ".tmp").empty());
    }

    void ExpectPatched() {
        SubFiles now;
        ASSERT_TRUE(ReadArchive(archive, &now));
        EXPECT_EQ(3u, now.size());
        EXPECT_EQ("keep", now["keep.txt"].bytes);
        EXPECT_TRUE(now["change.txt"].bytes == std::string(1 << 20, 'n'));
        EXPECT_EQ("added", now["added.txt"].bytes);
    }
};

TEST_F(BadInput, ArchiveHeldOpenByAnotherProgramFailsCleanlyAndALaterRunPatches) {
    const std::string bytes = FileBytes(archive);
    const std::string flag = scratch / "release";
    ChildProcess holder;
    ASSERT_TRUE(holder.Start(HolderPath(), {NativePath(archive), NativePath(flag)}, {}, ""));
    const std::string ready = holder.ReadLine();
    ASSERT_EQ(0u, ready.rfind("ready ", 0)) << ready;
    RunResult run = RunInstaller(installer, game);
    PutFile(flag, "");
    EXPECT_EQ(0, holder.Wait().exitCode);
    ExpectFailure(run, "cannot open the archive data\\a.pak");
#ifndef _WIN32
    // The player learns which program to close. (Wine's Restart Manager
    // names none.)
    ExpectFailure(run, "held open by file_holder (process " + ready.substr(6) + ")");
#endif
    ExpectArchiveUntouched(bytes);
    run = RunInstaller(installer, game);
    EXPECT_EQ(0, run.exitCode) << run.out << run.err;
    ExpectPatched();
}

// The runtime clears the read-only attribute before it writes, as a player
// would want: the patch goes in, and the new archive is an ordinary file.
TEST_F(BadInput, ReadOnlyArchiveIsPatched) {
    MakeReadOnly(archive);
    RunResult run = RunInstaller(installer, game);
    EXPECT_EQ(0, run.exitCode) << run.out << run.err;
    EXPECT_NE(std::string::npos, run.out.find(Shown(kUpdated))) << run.out;
    ExpectPatched();
    EXPECT_FALSE(TakeSnapshot(game).at("data/a.pak").readOnly);
}

TEST_F(BadInput, DiskFillingDuringTheRewriteFailsCleanly) {
#ifdef _WIN32
    GTEST_SKIP() << "needs the fault hook of the Linux platform layer (PI_FAULT)";
#else
    const std::string bytes = FileBytes(archive);
    // The first seven writes unpack the patch; from the eighth on the rewrite
    // writes, its sub-files in pieces of up to 256 KiB.
    RunResult run = RunInstaller(installer, game, {"PI_FAULT=WriteFile:12:112:forever"});
    ExpectFailure(run, "cannot rewrite the archive data\\a.pak");
    ExpectArchiveUntouched(bytes);
    EXPECT_EQ(0, RunInstaller(installer, game).exitCode);
    ExpectPatched();
#endif
}

// A rewrite keeps exactly what the index names: an archive whose index
// announces one entry too many, or has lost the name of its middle entry, is
// not rewritten, and the log says which archive and what is damaged.
TEST_F(BadInput, DamagedIndexLeavesTheArchiveAsItIs) {
    MakeArchive(archive, {{"a.txt", {"alpha"}}, {"b.txt", {"bravo"}}, {"c.txt", {"charlie"}}});
    const std::string pristine = FileBytes(archive);
    PakHeader header;
    std::memcpy(&header, pristine.data(), sizeof header);
    const struct {
        const char* what;
        bool inIndex;
        u32 offset, value;
    } kDamage[] = {
        {"one entry too many", false, 8, header.fileCount + 1},
        {"a thousand entries too many", false, 8, header.fileCount + 1000},
        {"the middle name lost", true, kPakEntrySize, 0xFFFF},
    };
    for (const auto& damage : kDamage) {
        SCOPED_TRACE(damage.what);
        PutFile(archive, pristine);
        SetArchiveWord(archive, damage.inIndex, damage.offset, damage.value);
        const std::string bytes = FileBytes(archive);
        RunResult run = RunInstaller(installer, game);
        ExpectFailure(run, "cannot open the archive data\\a.pak: its index is damaged");
        ExpectArchiveUntouched(bytes);
        EXPECT_NE(std::string::npos, FileBytes(log).find("a.pak, Include")) << FileBytes(log);
    }
}

// The small volume of with-small-volume.sh, in the system's spelling; empty
// when this run has none.
std::string SmallVolume() {
    const char* dir = std::getenv("PI_SMALL_VOLUME");
    if (dir == nullptr || *dir == '\0')
        return "";
#ifdef _WIN32
    std::string path = "Z:" + std::string(dir);
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
#else
    return dir;
#endif
}

std::string NoiseBytes(size_t size) {
    std::string bytes(size, '\0');
    u32 state = 2463534242u;
    for (char& c : bytes) {
        state ^= state << 13, state ^= state >> 17, state ^= state << 5;
        c = static_cast<char>(state);
    }
    return bytes;
}

// A disk with too little room is found out before any game file is touched,
// and the player is told how much is needed and how much there is.
TEST(SmallVolume, TooLittleRoomIsFoundBeforeAnythingIsWritten) {
    const std::string volume = SmallVolume();
    ULARGE_INTEGER total;
    if (volume.empty() || !GetDiskFreeSpaceExA(volume.c_str(), nullptr, &total, nullptr) ||
        total.QuadPart > (64u << 20))
        GTEST_SKIP() << "no small volume: cli_e2e_small_volume runs this case on one";
    Scratch scratch;
    const std::string installer = scratch / "bin\\setup.exe";
    const std::string game = volume + "\\game";
    PutFile(game + "\\keep.txt", "as it was");
    // 5 MiB that do not compress: unpacked beside the game they leave some
    // 3 MiB of the 8, and the file needs 5 more.
    PackageBuilder builder(scratch / "src");
    builder.AddLoose("big.bin", NoiseBytes(5u << 20), kStamp);
    builder.AddLoose("keep.txt", "new", kStamp);
    builder.Write(installer);
    const Snapshot before = TakeSnapshot(game);

    RunResult run = RunInstaller(installer, game);
    EXPECT_EQ(1, run.exitCode) << run.out << run.err;
    EXPECT_NE(std::string::npos, run.out.find(Shown(kFailed))) << run.out;
    EXPECT_NE(std::string::npos, run.err.find("not enough free space")) << run.err;
    EXPECT_NE(std::string::npos, run.err.find("the patch needs 5.0 MiB")) << run.err;
    EXPECT_NE(std::string::npos,
              FileBytes(scratch / "bin\\setup.log").find("not enough free space"));
    EXPECT_EQ(before, TakeSnapshot(game));
    RemoveTree(game);
}

// The room a run needs is worked out to the byte: the new loose files beyond
// the size of the ones they replace, plus the archive written beside the old
// one. A run with room to spare tells how large the new archive is; one byte
// less than the sum fails before anything is written, the sum itself does.
TEST_F(BadInput, RoomNeededIsWhatTheRunWrites) {
#ifdef _WIN32
    GTEST_SKIP() << "forces the free space through the Linux platform layer (PI_FREE_SPACE)";
#else
    PackageBuilder mixed(scratch / "mixed");
    mixed.AddLoose("new.bin", NoiseBytes(100000), kStamp);
    mixed.AddLoose("grown.bin", NoiseBytes(80000), kStamp);
    mixed.AddPak("data\\a.pak", kStamp);
    mixed.AddSubFile("added.txt", {"added"});
    const std::string setup = scratch / "bin\\mixed.exe";
    mixed.Write(setup);
    auto freshGame = [&](const std::string& name) {
        const std::string dir = scratch / name;
        MakeArchive(dir + "\\data\\a.pak", old);
        PutFile(dir + "\\grown.bin", std::string(50000, 'g'));
        return dir;
    };
    const std::string spare = freshGame("spare");
    RunResult run = RunInstaller(setup, spare, {"PI_FREE_SPACE=1000000000"});
    ASSERT_EQ(0, run.exitCode) << run.out << run.err;
    const u64 needed = 100000 + (80000 - 50000) + FileBytes(spare + "\\data\\a.pak").size();

    const std::string tight = freshGame("tight");
    const Snapshot before = TakeSnapshot(tight);
    run = RunInstaller(setup, tight, {"PI_FREE_SPACE=" + std::to_string(needed - 1)});
    EXPECT_EQ(1, run.exitCode) << run.out << run.err;
    EXPECT_NE(std::string::npos, run.err.find("not enough free space")) << run.err;
    EXPECT_EQ(before, TakeSnapshot(tight));

    const std::string exact = freshGame("exact");
    run = RunInstaller(setup, exact, {"PI_FREE_SPACE=" + std::to_string(needed)});
    EXPECT_EQ(0, run.exitCode) << run.out << run.err;
#endif
}

TEST_F(BadInput, GameDirectoryThatIsAFileIsLeftAlone) {
    const std::string file = scratch / "notadir";
    PutFile(file, "a file");
    RunResult run = RunInstaller(installer, file);
    ExpectFailure(run, "cannot create a temporary file in");
    EXPECT_EQ("a file", FileBytes(file));
}

TEST_F(BadInput, MissingGameDirectoryIsNotCreated) {
    const std::string missing = scratch / "missing";
    RunResult run = RunInstaller(installer, missing);
    ExpectFailure(run, "cannot create a temporary file in");
    EXPECT_FALSE(Exists(missing));
}

} // namespace
} // namespace e2e
