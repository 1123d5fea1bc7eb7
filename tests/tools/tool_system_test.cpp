// The tools' edge with the system, through the programs: names of every
// script on the command line and in directories, and an interrupt. The same
// cases run on Linux and, under wine, on Windows, where the arguments reach
// the tools as UTF-16 and the files are opened by wide names.
#include "child_process.h"
#include "runtime/types.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

namespace fs = std::filesystem;

namespace {

// Hangul and an emoji: no spelling in code page 936 (GBK).
const char kKorean[] = u8"\uD55C\uAD6D\uC5B4";
const char kEmoji[] = u8"\U0001F600";

class ToolSystem : public ::testing::Test {
  protected:
    void SetUp() override {
        std::random_device seed;
        do
            root = fs::temp_directory_path() / ("pi-tools-" + std::to_string(seed()));
        while (!fs::create_directory(root));
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }

    fs::path Put(const std::string& utf8Relative, const std::string& bytes) {
        const fs::path path = root / fs::u8path(utf8Relative);
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }
    static std::string Bytes(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        return in ? std::string(std::istreambuf_iterator<char>(in), {}) : "<missing>";
    }
    static pitest::RunResult Run(const char* program, const std::vector<std::string>& args) {
        return pitest::RunProgram(program, args, pitest::ArgumentText::Utf8);
    }
    std::string Arg(const std::string& utf8Relative) const {
        return (root / fs::u8path(utf8Relative)).u8string();
    }

    fs::path root;
};

TEST_F(ToolSystem, ChineseNamesOnTheCommandLineAndInDirectoriesThroughBothTools) {
    Put(u8"发布 目录/资源/角色/战士.txt", "warrior");
    Put(u8"发布 目录/资源/readme.txt", "read me");
    Put(u8"发布 目录/stub", "stub");
    const std::string archive = Arg(u8"发布 目录/数据.pak");
    const std::string sources = Arg(u8"发布 目录/资源");

    pitest::RunResult run = Run(PAKTOOL_BINARY, {"create", archive, sources});
    ASSERT_EQ(0, run.exitCode) << run.err;
    run = Run(PAKTOOL_BINARY, {"list", archive});
    EXPECT_EQ(0, run.exitCode) << run.err;
    EXPECT_NE(std::string::npos, run.out.find(u8"archive " + archive + ": ")) << run.out;
    EXPECT_NE(std::string::npos, run.out.find(u8"  角色\\战士.txt\n")) << run.out;
    run = Run(PAKTOOL_BINARY, {"extract", archive, "-C", Arg(u8"发布 目录/输出")});
    EXPECT_EQ(0, run.exitCode) << run.err;
    EXPECT_EQ("warrior", Bytes(root / fs::u8path(u8"发布 目录/输出/角色/战士.txt")));
    EXPECT_EQ("read me", Bytes(root / fs::u8path(u8"发布 目录/输出/readme.txt")));
    run = Run(PAKTOOL_BINARY, {"extract", archive, "-C", Arg(u8"一个"), u8"角色/战士.txt"});
    EXPECT_EQ(0, run.exitCode) << run.err;
    EXPECT_EQ("warrior", Bytes(root / fs::u8path(u8"一个/角色/战士.txt")));

    const std::string installer = Arg(u8"发布 目录/补丁.exe");
    run = Run(MKPATCH_BINARY, {"build", "--stub", Arg(u8"发布 目录/stub"), "-o", installer,
                               "--files", sources, "--pak", u8"数据/角色.pak=" + archive});
    ASSERT_EQ(0, run.exitCode) << run.err;
    EXPECT_EQ(0u, run.out.find("wrote " + installer + ": 1 archive(s)")) << run.out;
    run = Run(MKPATCH_BINARY, {"inspect", "--json", installer});
    EXPECT_EQ(0, run.exitCode) << run.err;
    for (const char* expected : {u8"\"name\": \"数据\\\\角色.pak\"",
                                 u8"\"name\": \"角色\\\\战士.txt\"", u8"\"installer\": \""})
        EXPECT_NE(std::string::npos, run.out.find(expected)) << expected << "\n" << run.out;
}

// A name GBK cannot spell is refused, naming it, only where it would become
// a name inside an archive or an installer, or a path the installer's
// libraries open; where the tool opens the file itself, it is taken.
TEST_F(ToolSystem, NamesOutsideCodePage936PassThroughOrAreRefusedClearly) {
    const std::string korean = kKorean;
    const std::string emoji = kEmoji;
    Put(korean + "/src/a.txt", "a");
    Put(korean + "/" + emoji + ".txt", "smile");
    Put(korean + "/stub", "stub");
    Put("named/" + korean + ".txt", "hangul");
    const std::string archive = Arg(korean + "/a.pak");

    pitest::RunResult run = Run(PAKTOOL_BINARY, {"create", archive, Arg(korean + "/src")});
    ASSERT_EQ(0, run.exitCode) << run.err;
    run = Run(PAKTOOL_BINARY, {"add", archive, u8"笑.txt=" + Arg(korean + "/" + emoji + ".txt")});
    EXPECT_EQ(0, run.exitCode) << run.err;
    run = Run(PAKTOOL_BINARY, {"extract", archive, "-C", Arg(korean + "/out")});
    EXPECT_EQ(0, run.exitCode) << run.err;
    EXPECT_EQ("smile", Bytes(root / fs::u8path(korean + u8"/out/笑.txt")));
    EXPECT_EQ("a", Bytes(root / fs::u8path(korean + "/out/a.txt")));

    const std::string listed = Run(PAKTOOL_BINARY, {"list", archive}).out;
    run = Run(PAKTOOL_BINARY, {"add", archive, Arg(korean + "/" + emoji + ".txt")});
    EXPECT_EQ(2, run.exitCode);
    EXPECT_NE(std::string::npos, run.err.find("paktool: the sub-file name \"" + emoji +
                                              ".txt\" cannot be written in code page 936 (GBK)"))
        << run.err;
    EXPECT_EQ(listed, Run(PAKTOOL_BINARY, {"list", archive}).out);
    run = Run(PAKTOOL_BINARY, {"create", Arg("b.pak"), Arg("named")});
    EXPECT_EQ(2, run.exitCode);
    EXPECT_NE(std::string::npos, run.err.find("\"" + korean + ".txt\" cannot be written"))
        << run.err;
    EXPECT_FALSE(fs::exists(root / "b.pak"));
    run = Run(PAKTOOL_BINARY, {"create", Arg(emoji + ".pak"), Arg(korean + "/src")});
    EXPECT_EQ(2, run.exitCode);
    EXPECT_NE(std::string::npos, run.err.find("the archive name \"" + emoji + ".pak\"")) << run.err;

    const std::string stub = Arg(korean + "/stub");
    run =
        Run(MKPATCH_BINARY, {"build", "--stub", stub, "-o", Arg("setup"), "--files", Arg("named")});
    EXPECT_EQ(1, run.exitCode);
    EXPECT_NE(std::string::npos, run.err.find("mkpatch: the file name \"" + korean +
                                              ".txt\" cannot be written in code page 936 (GBK)"))
        << run.err;
    EXPECT_FALSE(fs::exists(root / "setup"));
    // The stub and the output are paths the package writer opens.
    run = Run(MKPATCH_BINARY, {"build", "--stub", stub, "-o", Arg("setup")});
    EXPECT_EQ(2, run.exitCode);
    EXPECT_NE(std::string::npos, run.err.find("the path \"" + stub + "\" cannot be written"))
        << run.err;

    // diff reads OLD itself: its loose files and archives may lie anywhere.
    Put("stub", "stub");
    Put("new/a.pak", Bytes(fs::u8path(archive)));
    Put("new/" + std::string(u8"说明.txt"), "new");
    Put(korean + "/old/" + u8"说明.txt", "old");
    fs::copy_file(fs::u8path(archive), root / fs::u8path(korean + "/old/a.pak"));
    run = Run(MKPATCH_BINARY, {"diff", "--stub", Arg("stub"), "-o", Arg("setup"),
                               Arg(korean + "/old"), Arg("new")});
    ASSERT_EQ(0, run.exitCode) << run.err;
    EXPECT_NE(std::string::npos,
              run.out.find("1 record(s): 0 sub-file(s) of 0 archive(s), 1 loose"))
        << run.out;
}

// Ctrl-C on Linux, Ctrl-Break on Windows, while the installer is being
// written: neither it nor its partial file is left.
TEST_F(ToolSystem, AnInterruptedBuildLeavesNothingBehind) {
    Put("stub", "stub");
    const fs::path output = root / "setup";
    fs::path partial = output;
    partial += ".tmp";
    std::mt19937 random(3);
    // Random bytes compress slowly; a larger input where the build was done
    // before the interrupt came.
    for (size_t mebibytes : {16, 64, 256}) {
        std::string bytes(mebibytes << 20, '\0');
        for (size_t i = 0; i < bytes.size(); i += 4) {
            const u32 word = static_cast<u32>(random());
            std::memcpy(&bytes[i], &word, 4);
        }
        Put("files/big.bin", bytes);
        pitest::ChildProcess child;
        child.SetArgumentText(pitest::ArgumentText::Utf8);
        ASSERT_TRUE(child.Start(MKPATCH_BINARY, {"build", "--stub", Arg("stub"), "-o",
                                                 output.u8string(), "--files", Arg("files")}));
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
        while (!fs::exists(partial) && !fs::exists(output) &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ASSERT_TRUE(child.Interrupt());
        const pitest::RunResult run = child.Wait();
        if (run.exitCode == 0) {
            fs::remove(output);
            continue;
        }
        EXPECT_EQ(130, run.exitCode) << run.err;
        EXPECT_FALSE(fs::exists(partial));
        EXPECT_FALSE(fs::exists(output));
        return;
    }
    FAIL() << "every build was done before the interrupt";
}

} // namespace
