// Names whose double-byte characters end in a byte that looks like an ASCII
// capital, '\' or '|' (GBK second bytes 0x41 to 0x5A, 0x5C and 0x7C), taken
// through every tool: mkpatch build and diff, the installer, its dry run and
// paktool. Paths in the game directory must land exactly as spelt; only
// sub-file names are lower-cased, byte by byte, as the archive format says.
#include "diff_support.h"

#include "pak/pak_format.h"
#include "platform/codepage.h"

#include <gtest/gtest.h>

namespace e2e {
namespace {

// One character per second byte, each with another first byte, all of them
// assigned in GBK.
std::vector<std::string> Characters() {
    std::vector<unsigned char> seconds;
    for (unsigned char c = 0x41; c <= 0x5A; ++c)
        seconds.push_back(c);
    seconds.push_back(0x5C);
    seconds.push_back(0x7C);
    std::vector<std::string> characters;
    for (size_t i = 0; i < seconds.size(); ++i) {
        const char bytes[] = {static_cast<char>(0x81 + i), static_cast<char>(seconds[i]), 0};
        characters.push_back(bytes);
    }
    return characters;
}

std::string Lowered(std::string name) {
    LowerCaseBytes(&name[0]);
    return name;
}

struct Names {
    std::string archive; // "C\CX.pak"
    std::string loose;   // "CL\C.Txt"
    std::string subFile; // "Sub\CF.TXT", as given to the tools
};

Names NamesOf(const std::string& c) {
    return {c + "\\" + c + "X.pak", c + "L\\" + c + ".Txt", "Sub\\" + c + "F.TXT"};
}

class GbkNames : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const std::string& c : Characters()) {
            std::string utf8;
            ASSERT_TRUE(pi::AcpToUtf8(c, &utf8)) << "not a GBK character";
        }
    }

    // Every archive where it is spelt, holding its sub-file under the
    // lower-cased name, and every loose file; nothing else in the game.
    void ExpectGame(const std::string& game) {
        std::set<std::string> expected;
        for (const std::string& c : Characters()) {
            const Names names = NamesOf(c);
            SCOPED_TRACE(Shown(names.archive));
            SubFiles held;
            ASSERT_TRUE(ReadArchive(game + "\\" + names.archive, &held));
            ASSERT_EQ(1u, held.size());
            EXPECT_EQ(Lowered(names.subFile), held.begin()->first);
            EXPECT_EQ("in " + c, held.begin()->second.bytes);
            EXPECT_EQ("loose " + c, FileBytes(game + "\\" + names.loose));
            for (const std::string& path : {names.archive, names.loose}) {
                const std::string name = TreeName(path);
                expected.insert(name);
                expected.insert(name.substr(0, name.rfind('/')));
            }
        }
        std::set<std::string> found;
        for (const auto& entry : TakeSnapshot(game))
            found.insert(entry.first);
        EXPECT_EQ(expected, found);
    }

    void ExpectNoChange(const std::string& setup, const std::string& game) {
        RunResult run = RunProgram(NativePath(setup), {"--dry-run", NativePath(game)});
        EXPECT_EQ(0, run.exitCode) << run.out << run.err;
        EXPECT_TRUE(ChangeLines(run.out).empty()) << run.out;
    }

    Scratch scratch;
};

TEST_F(GbkNames, BuildInstallerDryRunAndPaktoolKeepEveryPathAsSpelt) {
    std::vector<std::string> args = {"build",
                                     "--stub",
                                     StubPath(),
                                     "-o",
                                     NativePath(scratch / "setup"),
                                     "--files",
                                     NativePath(scratch / "files")};
    int i = 0;
    for (const std::string& c : Characters()) {
        const Names names = NamesOf(c);
        PutFile(scratch / "files\\" + names.loose, "loose " + c);
        const std::string source = scratch / ("pak" + std::to_string(i++));
        PutFile(source + "\\" + names.subFile, "in " + c);
        args.push_back("--pak");
        args.push_back(NativePath(names.archive) + "=" + NativePath(source));
    }
    RunResult run = RunProgram(MkpatchPath(), args);
    ASSERT_EQ(0, run.exitCode) << run.out << run.err;
    MakeDirectory(scratch / "game");
    run = RunProgram(NativePath(scratch / "setup"), {NativePath(scratch / "game")});
    ASSERT_EQ(0, run.exitCode) << run.out << run.err;
    ExpectGame(scratch / "game");
    ExpectNoChange(scratch / "setup", scratch / "game");

    const Names first = NamesOf(Characters().front());
    run = RunProgram(PaktoolPath(), {"list", NativePath(scratch / "game\\" + first.archive)});
    EXPECT_EQ(0, run.exitCode) << run.err;
    EXPECT_NE(std::string::npos, run.out.find(ToolText(Lowered(first.subFile)))) << run.out;
    run = RunProgram(PaktoolPath(), {"verify", NativePath(scratch / "game\\" + first.archive)});
    EXPECT_EQ(0, run.exitCode) << run.out << run.err;
}

TEST_F(GbkNames, DiffBringsAnOlderTreeToTheNewOneAsSpelt) {
    MakeDirectory(scratch / "old");
    for (const std::string& c : Characters()) {
        const Names names = NamesOf(c);
        PutFile(scratch / "new\\" + names.loose, "loose " + c);
        MakeArchive(scratch / "new\\" + names.archive, {{Lowered(names.subFile), {"in " + c}}});
    }
    const std::string setup = scratch / "setup";
    RunResult run =
        RunProgram(MkpatchPath(), {"diff", "--stub", StubPath(), "-o", NativePath(setup),
                                   NativePath(scratch / "old"), NativePath(scratch / "new")});
    ASSERT_EQ(0, run.exitCode) << run.out << run.err;
    MakeDirectory(scratch / "game");
    run = RunProgram(NativePath(setup), {NativePath(scratch / "game")});
    ASSERT_EQ(0, run.exitCode) << run.out << run.err;
    ExpectGame(scratch / "game");
    ExpectNoChange(setup, scratch / "game");
}

} // namespace
} // namespace e2e
