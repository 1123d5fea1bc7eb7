// What mkpatch writes, beyond what it carries: the same sources give the
// same installer bytes whatever the machine does around the build (threads,
// the order a directory lists its entries in, time zone, locale), at zlib's
// levels and at zopfli's; and files with the same bytes are carried once.
#include "diff_support.h"
#include "patch/block_deflate.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <random>
#include <sys/stat.h>

namespace e2e {
namespace {

namespace fs = std::filesystem;

constexpr u32 kCopySize = 64 * 1024;

// zlib's best, and zopfli's where this build (and so its mkpatch) has it.
std::vector<const char*> Levels() {
    if (BlockDeflater::HasLevel(BlockDeflater::kZopfliLevel))
        return {"9", "11"};
    return {"9"};
}

std::string RandomBytes(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes)
        c = static_cast<char>(random());
    return bytes;
}

// Compressible, and longer than one 256 KiB block of the compressor, so
// that two threads would each take a part.
std::string LongText() {
    std::string text;
    for (int i = 0; text.size() < 300000; ++i)
        text += "[entry " + std::to_string(i * 7919 % 5000) +
                "] hp=" + std::to_string(i * 31 % 977) + " 名称=战士" + std::to_string(i % 13) +
                "\n";
    return text;
}

// A file's time by path alone, so that two trees made apart agree.
void SetTime(const std::string& native, u32 seconds) {
    const timespec times[2] = {{static_cast<time_t>(seconds), 0},
                               {static_cast<time_t>(seconds), 0}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, native.c_str(), times, AT_SYMLINK_NOFOLLOW)) << native;
}

u32 TimeOf(const std::string& relative) {
    return 1500000000u + static_cast<u32>(std::hash<std::string>()(relative) % 100000000u);
}

class MkpatchOutputTest : public ::testing::Test {
  protected:
    Scratch scratch;

    RunResult Mkpatch(std::vector<std::string> args, std::vector<std::string> env = {}) {
        return RunProgram(MkpatchPath(), args, env);
    }
    std::string Build(const std::string& output, const std::string& tree, const char* level,
                      const std::vector<std::string>& env) {
        const RunResult run =
            Mkpatch({"build", "--stub", StubPath(), "-o", NativePath(output), "--level", level,
                     "--files", NativePath(tree + "\\files"), "--pak",
                     u8"data/角色.pak=" + NativePath(tree + "\\role"), "--pak",
                     "data/scene.pak=" + NativePath(tree + "\\scene.pak")},
                    env);
        EXPECT_EQ(0, run.exitCode) << run.out << run.err;
        return FileBytes(output);
    }
    std::string Diff(const std::string& output, const std::string& oldTree,
                     const std::string& newTree, const char* level,
                     const std::vector<std::string>& env) {
        const RunResult run = Mkpatch({"diff", "--stub", StubPath(), "-o", NativePath(output),
                                       "--level", level, NativePath(oldTree), NativePath(newTree)},
                                      env);
        EXPECT_EQ(0, run.exitCode) << run.out << run.err;
        return FileBytes(output);
    }
};

// One version of a game's release tree: loose files, a directory of
// sub-files, an archive. `changed` makes the next version of it.
std::vector<std::pair<std::string, std::string>> ReleaseFiles(bool changed) {
    std::vector<std::pair<std::string, std::string>> files = {
        {"files\\readme.txt", changed ? "read me again" : "read me"},
        {"files\\文档\\说明.txt", "说明"},
        {"files\\bin\\client.dat", RandomBytes(5000, 1)},
        {"files\\bin\\same.dat", RandomBytes(5000, 2)},
        {"files\\bin\\copy.dat", RandomBytes(5000, 2)},
        {"files\\long.txt", LongText()},
        {"files\\b\\a\\z.txt", "z"},
        {"files\\empty.bin", ""},
        {"role\\model\\warrior.mdl", changed ? "warrior 2" : "warrior"},
        {"role\\模型\\战士.mdl", "战士"},
    };
    if (changed)
        files.push_back({"files\\new\\added.txt", "added"});
    return files;
}

// Writes the tree in the order given, or the reverse one, then gives every
// file and directory a time that depends on its path only (the archive
// stamps of `--pak NAME=DIR` come from the directory's time). Returns the
// order in which the directory `files` lists its entries.
std::vector<std::string> MakeTree(const std::string& root, bool changed, bool reversed,
                                  const std::string& archiveBytes) {
    auto files = ReleaseFiles(changed);
    if (reversed)
        std::reverse(files.begin(), files.end());
    if (reversed)
        PutFile(root + "\\scene.pak", archiveBytes);
    for (const auto& [name, bytes] : files)
        PutFile(root + "\\" + name, bytes);
    if (!reversed)
        PutFile(root + "\\scene.pak", archiveBytes);
    const fs::path native = NativePath(root);
    std::vector<fs::path> paths;
    for (const auto& entry : fs::recursive_directory_iterator(native))
        paths.push_back(entry.path());
    std::sort(paths.rbegin(), paths.rend()); // a directory after what it holds
    for (const fs::path& path : paths)
        SetTime(path.string(), TimeOf(path.lexically_relative(native).string()));
    std::vector<std::string> listing;
    for (const auto& entry : fs::directory_iterator(native / "files"))
        listing.push_back(entry.path().filename().string());
    return listing;
}

TEST_F(MkpatchOutputTest, SameSourcesGiveTheSameInstallerWhateverTheMachineDoes) {
    MakeArchive(scratch / "scene.pak",
                {{"map\\a.dat", {"packed", 3, 999, 132000000000000000ULL}},
                 {"map\\b.dat", {LongText().substr(0, 40000), 0, 0, 132000000000000001ULL}}});
    const std::string archive = FileBytes(scratch / "scene.pak");
    const std::vector<std::string> listed = MakeTree(scratch / "a", true, false, archive);
    // On tmpfs, where the tests' scratch lives when it can, a directory
    // lists its newest entry first: there the two trees list in other orders.
    if (listed == MakeTree(scratch / "b", true, true, archive))
        std::printf("note: both trees list in one order on this file system\n");
    MakeTree(scratch / "a-old", false, false, archive);
    MakeTree(scratch / "b-old", false, true, archive);

    const std::vector<std::string> one = {"MKPATCH_THREADS=1", "TZ=UTC0", "LC_ALL=C"};
    const std::vector<std::string> other = {"MKPATCH_THREADS=3", "TZ=Asia/Shanghai",
                                            "LC_ALL=zh_CN.GBK"};
    for (const char* level : Levels()) {
        SCOPED_TRACE(std::string("level ") + level);
        const std::string built = Build(scratch / "a.exe", scratch / "a", level, one);
        ASSERT_GT(built.size(), FileBytes(StubPath()).size() + 1000);
        EXPECT_TRUE(built == Build(scratch / "b.exe", scratch / "b", level, other));
        const std::string diffed =
            Diff(scratch / "ad.exe", scratch / "a-old", scratch / "a", level, one);
        EXPECT_TRUE(diffed ==
                    Diff(scratch / "bd.exe", scratch / "b-old", scratch / "b", level, other));

        // And what the installer carries is the tree.
        const std::string game = scratch / ("game" + std::string(level));
        MakeDirectory(game);
        RunResult run = RunInstaller(scratch / "a.exe", game);
        ASSERT_EQ(0, run.exitCode) << run.out << run.err;
        for (const auto& [name, bytes] : ReleaseFiles(true))
            if (name.compare(0, 6, "files\\") == 0) {
                // (Braces: gtest's assertions are if statements.)
                EXPECT_TRUE(bytes == FileBytes(game + "\\" + name.substr(6))) << name;
            }
        SubFiles role;
        ASSERT_TRUE(ReadArchive(game + "\\data\\角色.pak", &role));
        EXPECT_EQ("warrior 2", role["model\\warrior.mdl"].bytes);
    }
}

TEST_F(MkpatchOutputTest, FortyIdenticalFilesTakeTheRoomOfOne) {
    const std::string bytes = RandomBytes(kCopySize, 40);
    for (int i = 0; i < 40; ++i)
        PutFile(scratch / ("release\\dir" + std::to_string(i % 4) + "\\copy" + std::to_string(i) +
                           ".bin"),
                bytes);
    const size_t stub = FileBytes(StubPath()).size();
    for (const char* level : Levels()) {
        SCOPED_TRACE(std::string("level ") + level);
        const std::string installer = scratch / ("setup" + std::string(level));
        RunResult run = Mkpatch({"build", "--stub", StubPath(), "-o", NativePath(installer),
                                 "--level", level, "--files", NativePath(scratch / "release")});
        ASSERT_EQ(0, run.exitCode) << run.out << run.err;
        // One copy, the records, and deflate's framing: well under two copies.
        EXPECT_LT(FileBytes(installer).size(), stub + kCopySize + kCopySize / 2);

        run = Mkpatch({"inspect", NativePath(installer)});
        EXPECT_EQ(0, run.exitCode) << run.out << run.err;
        EXPECT_NE(std::string::npos, run.out.find("ok: all 40 record digests match")) << run.out;

        const std::string game = scratch / ("game" + std::string(level));
        MakeDirectory(game);
        run = RunInstaller(installer, game);
        ASSERT_EQ(0, run.exitCode) << run.out << run.err;
        for (int i = 0; i < 40; ++i)
            EXPECT_TRUE(bytes == FileBytes(game + "\\dir" + std::to_string(i % 4) + "\\copy" +
                                           std::to_string(i) + ".bin"))
                << i;
        run = RunProgram(NativePath(installer), {"--dry-run", NativePath(game)});
        EXPECT_EQ(0, run.exitCode) << run.out << run.err;
        EXPECT_TRUE(ChangeLines(run.out).empty()) << run.out;
    }
}

TEST_F(MkpatchOutputTest, LevelsAndThreadCountsOutsideTheRangeAreRefused) {
    PutFile(scratch / "release\\a.txt", "a");
    const std::string installer = NativePath(scratch / "setup");
    const std::vector<std::string> build = {
        "build", "--stub", StubPath(), "-o", installer, "--files", NativePath(scratch / "release")};
    auto with = [&](std::vector<std::string> extra) {
        std::vector<std::string> args = build;
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    };
    for (const char* level : {"10", "12", "011", "x"}) {
        const RunResult run = Mkpatch(with({"--level", level}));
        EXPECT_EQ(2, run.exitCode) << level;
        EXPECT_NE(
            std::string::npos,
            run.err.find("--level takes a number from 0 to 9, or 11, not " + std::string(level)))
            << run.err;
    }
    for (const char* threads : {"0", "65", "two", "-1", "2x"}) {
        const RunResult run = Mkpatch(build, {std::string("MKPATCH_THREADS=") + threads});
        EXPECT_EQ(2, run.exitCode) << threads;
        EXPECT_NE(std::string::npos, run.err.find("MKPATCH_THREADS takes a number from 1 to 64"))
            << run.err;
    }
    EXPECT_FALSE(Exists(scratch / "setup"));
    const RunResult run = Mkpatch(with({"--level", "11"}), {"MKPATCH_THREADS=2"});
    if (BlockDeflater::HasLevel(BlockDeflater::kZopfliLevel)) {
        EXPECT_EQ(0, run.exitCode) << run.err;
    } else {
        EXPECT_EQ(2, run.exitCode);
        EXPECT_NE(std::string::npos,
                  run.err.find("--level 11 (zopfli) is not available in this build"))
            << run.err;
    }
}

} // namespace
} // namespace e2e
