// A tool's command line: one CLI11 subcommand per command, under an overview
// written by hand that `TOOL --help` and `TOOL help` print. Each command's
// own help (`TOOL COMMAND --help`) is made from its options. A command's
// positionals are not marked required: the tool checks them itself, with its
// own messages. The help shows one as optional where it is declared to take
// no value at all (`expected(0, ...)`).
#pragma once

#include <CLI/CLI.hpp>

#include <string>
#include <vector>

namespace pitool {

class CommandLine {
  public:
    CommandLine(std::string tool, std::string overview);
    CommandLine(const CommandLine&) = delete;
    CommandLine& operator=(const CommandLine&) = delete;

    // `footer` follows the command's options in its help.
    CLI::App* AddCommand(const std::string& name, const std::string& description,
                         const std::string& footer = "");

    // Words the command does not know as options are left to it, through
    // `command->remaining()`, instead of being refused: for commands whose
    // arguments are names, and a name may start with '-'.
    void PassUnknownWords(CLI::App* command);

    // Parses the arguments after the program name (UTF-8). Returns the command
    // given, or null when help was asked for and printed. Usage mistakes
    // throw ToolError with kExitUsageOrIo, naming the argument.
    CLI::App* Parse(const std::vector<std::string>& args);

    // For the checks a command makes once parsed: `message` with a pointer
    // to the command's help.
    [[noreturn]] void UsageError(const CLI::App* command, const std::string& message) const;

  private:
    std::vector<std::string> Normalized(std::vector<std::string> args) const;

    std::string m_tool;
    std::string m_overview;
    CLI::App m_app;
    std::vector<const CLI::App*> m_passUnknownWords;
};

} // namespace pitool
