// The tools' command lines: the shared parser on its own, then paktool and
// mkpatch as a person types them.
#include "child_process.h"
#include "command_line.h"
#include "tool_error.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

const char kOverview[] = "usage: tool build -o FILE [--level N] [NAME...]\n";

// A small tool: `build` with a required-by-hand -o, a flag and names.
class ToolCommandLine : public ::testing::Test {
  protected:
    pitool::CommandLine line{"tool", kOverview};
    std::string output, level;
    std::vector<std::string> names;
    bool json = false;
    CLI::App* build = nullptr;

    void SetUp() override {
        build = line.AddCommand("build", "Builds.", "Exit status: 0 ok.");
        build->add_option("-o,--output", output, "where")->type_name("FILE");
        build->add_option("--level", level, "how hard")->type_name("N");
        build->add_flag("--json", json, "as JSON");
        build->add_option("NAME", names, "what")
            ->type_name("")
            ->expected(0, CLI::detail::expected_max_vector_size);
    }

    // The message of the usage error the arguments give.
    std::string Refusal(const std::vector<std::string>& args) {
        try {
            line.Parse(args);
        } catch (const pitool::ToolError& error) {
            EXPECT_EQ(pitool::kExitUsageOrIo, error.exitCode);
            return error.message;
        }
        ADD_FAILURE() << "accepted";
        return "";
    }
};

TEST_F(ToolCommandLine, TakesValuesInEveryFormTheToolsAlwaysTook) {
    EXPECT_EQ(build, line.Parse({"build", "-o", "a", "--level=3", "x", "--json", "y"}));
    EXPECT_EQ("a", output);
    EXPECT_EQ("3", level);
    EXPECT_TRUE(json);
    EXPECT_EQ(std::vector<std::string>({"x", "y"}), names);

    // "-o=FILE" is FILE (CLI11 alone would take "=FILE"); "-oFILE" too; an
    // option given twice keeps its last value.
    EXPECT_EQ(build, line.Parse({"build", "-o=b", "--level", "1", "--level", "2"}));
    EXPECT_EQ("b", output);
    EXPECT_EQ("2", level);
    EXPECT_EQ(build, line.Parse({"build", "-oc", "--output=d=e"}));
    EXPECT_EQ("d=e", output);
    // A value may look like an option.
    EXPECT_EQ(build, line.Parse({"build", "-o", "--json"}));
    EXPECT_EQ("--json", output);
}

TEST_F(ToolCommandLine, MistakesNameTheArgumentAndTheHelpToRead) {
    EXPECT_EQ("-o needs a value: FILE (see tool build --help)", Refusal({"build", "x", "-o"}));
    EXPECT_EQ("--level needs a value: N (see tool build --help)",
              Refusal({"build", "-o", "a", "--level"}));
    EXPECT_EQ("unexpected argument --bogus (see tool build --help)",
              Refusal({"build", "--bogus", "-o", "a"}));
    EXPECT_EQ("unexpected argument -x=1 (see tool build --help)", Refusal({"build", "-x=1"}));
    EXPECT_EQ("unknown command \"frob\" (see tool --help)", Refusal({"frob", "build"}));
    EXPECT_EQ("unexpected argument --bogus (see tool --help)", Refusal({"--bogus"}));
    EXPECT_EQ("no command given\nusage: tool build -o FILE [--level N] [NAME...]", Refusal({}));
    // What CLI11 itself refuses keeps its words, with the pointer.
    EXPECT_EQ("Could not convert: --json = maybe (see tool build --help)",
              Refusal({"build", "--json=maybe"}));
    try {
        line.UsageError(build, "build needs -o");
        ADD_FAILURE() << "no error";
    } catch (const pitool::ToolError& error) {
        EXPECT_EQ("build needs -o (see tool build --help)", error.message);
    }
}

TEST_F(ToolCommandLine, HelpIsPrintedAndParsingEndsThere) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--help"}, {"-h"}, {"help"}}) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(nullptr, line.Parse(args));
        EXPECT_EQ(kOverview, testing::internal::GetCapturedStdout());
    }
    // A command's help wins over a mistake beside it.
    testing::internal::CaptureStdout();
    EXPECT_EQ(nullptr, line.Parse({"build", "--bogus", "--help"}));
    const std::string help = testing::internal::GetCapturedStdout();
    EXPECT_EQ(0u, help.find("Usage: tool build [OPTIONS] [NAME...]\n\nBuilds.\n")) << help;
    EXPECT_NE(std::string::npos, help.find("-o,--output FILE")) << help;
    EXPECT_NE(std::string::npos, help.find("Exit status: 0 ok.")) << help;
}

// The tools themselves.

pitest::RunResult RunTool(const char* program, const std::vector<std::string>& args) {
    return pitest::RunProgram(program, args, pitest::ArgumentText::Utf8);
}

TEST(ToolsCommandLines, HelpGoesToStandardOutputAndExitsZero) {
    for (const char* program : {PAKTOOL_BINARY, MKPATCH_BINARY}) {
        SCOPED_TRACE(program);
        const pitest::RunResult overview = RunTool(program, {"--help"});
        EXPECT_EQ(0, overview.exitCode);
        EXPECT_EQ(0u, overview.out.find("usage: ")) << overview.out;
        EXPECT_NE(std::string::npos, overview.out.find("Exit status: 0 ok")) << overview.out;
        EXPECT_EQ(overview.out, RunTool(program, {"help"}).out);
        // Without a command: the same text, on standard error, exit 2.
        const pitest::RunResult bare = RunTool(program, {});
        EXPECT_EQ(2, bare.exitCode);
        EXPECT_NE(std::string::npos, bare.err.find(overview.out.substr(0, 40))) << bare.err;
        EXPECT_TRUE(bare.out.empty());
    }
    pitest::RunResult run = RunTool(PAKTOOL_BINARY, {"extract", "--help"});
    EXPECT_EQ(0, run.exitCode);
    EXPECT_EQ(0u, run.out.find("Usage: paktool extract [OPTIONS] ARCHIVE [NAME...]")) << run.out;
    EXPECT_NE(std::string::npos, run.out.find("-C DIR")) << run.out;
    run = RunTool(MKPATCH_BINARY, {"inspect", "--help"});
    EXPECT_EQ(0, run.exitCode);
    EXPECT_NE(std::string::npos, run.out.find("--against GAME_DIR")) << run.out;
    EXPECT_NE(std::string::npos, run.out.find("With --against: 0")) << run.out;
}

TEST(ToolsCommandLines, UsageMistakesExitTwoNamingTheArgument) {
    const struct {
        const char* program;
        std::vector<std::string> args;
        const char* message;
    } kCases[] = {
        {PAKTOOL_BINARY, {"frob"}, "paktool: unknown command \"frob\" (see paktool --help)"},
        {PAKTOOL_BINARY, {"list", "--bogus", "x.pak"}, "paktool: unexpected argument --bogus"},
        {PAKTOOL_BINARY, {"list"}, "paktool: list takes one archive (see paktool list --help)"},
        {PAKTOOL_BINARY, {"extract", "x.pak", "-C"}, "paktool: -C needs a value: DIR"},
        {PAKTOOL_BINARY, {"create", "x.pak", "dir", "more"}, "unexpected argument more"},
        {PAKTOOL_BINARY, {"add", "x.pak"}, "paktool: add takes an archive and files"},
        {MKPATCH_BINARY, {"build", "-o", "x", "--bogus"}, "mkpatch: unexpected argument --bogus"},
        {MKPATCH_BINARY, {"build", "--stub", "s", "-o"}, "mkpatch: -o needs a value"},
        {MKPATCH_BINARY,
         {"build", "--stub", "s", "-o", "x", "--level", "12"},
         "mkpatch: --level takes a number from 0 to 9, or 11, not 12"},
        {MKPATCH_BINARY,
         {"diff", "--stub", "s", "-o", "x", "old"},
         "mkpatch: diff needs --stub, -o, OLD_DIR and NEW_DIR (see mkpatch diff --help)"},
        {MKPATCH_BINARY, {"inspect", "a", "b"}, "mkpatch: unexpected argument b"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.message);
        const pitest::RunResult run = RunTool(c.program, c.args);
        EXPECT_EQ(2, run.exitCode);
        EXPECT_NE(std::string::npos, run.err.find(c.message)) << run.err;
        EXPECT_TRUE(run.out.empty()) << run.out;
    }
}

#ifndef _WIN32
// Linux file names are bytes: an archive below a directory whose name is not
// UTF-8 (paktool enters it without converting it) is listed all the same,
// the name shown with U+FFFD.
TEST(ToolsCommandLines, JsonReportsSurviveNamesThatAreNotUtf8) {
    char scratch[] = "/tmp/pi-tools-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(scratch));
    const std::filesystem::path root = scratch;
    std::filesystem::create_directories(root / "src");
    std::filesystem::create_directories(root / "bad\xFF");
    { std::ofstream(root / "src" / "a.txt") << "a"; }
    const std::string archive = (root / "bad\xFF" / "x.pak").string();
    EXPECT_EQ(0, RunTool(PAKTOOL_BINARY, {"create", archive, (root / "src").string()}).exitCode);
    const pitest::RunResult run = RunTool(PAKTOOL_BINARY, {"list", "--json", archive});
    EXPECT_EQ(0, run.exitCode) << run.err;
    EXPECT_NE(std::string::npos, run.out.find(u8"/bad\uFFFD/x.pak\",")) << run.out;
    EXPECT_NE(std::string::npos, run.out.find("\"name\": \"a.txt\"")) << run.out;
    std::filesystem::remove_all(root);
}
#endif

} // namespace
