// The tools' command lines: the shared parser.
#include "command_line.h"
#include "tool_error.h"

#include <gtest/gtest.h>

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

} // namespace
