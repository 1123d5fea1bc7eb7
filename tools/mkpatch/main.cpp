// mkpatch: the release engineer's tool that builds patch installers and
// inspects them.
//
//   mkpatch build --stub STUB -o INSTALLER [--files DIR]
//                 [--pak NAME=DIR | --pak NAME=ARCHIVE]... [--level N] [SIGNING]
//   mkpatch diff --stub STUB -o INSTALLER OLD_DIR... NEW_DIR [--strict] [--json]
//                [--level N] [SIGNING]
//   mkpatch inspect INSTALLER [--json | --against GAME_DIR]
#include "mkpatch.h"

#include "command_line.h"
#include "patch/block_deflate.h"
#include "tool_main.h"

#include <exception>

namespace mkpatch {
namespace {

const char kUsage[] =
    "usage: mkpatch build --stub STUB -o INSTALLER [--files DIR]\n"
    "                     [--pak NAME=DIR | --pak NAME=ARCHIVE]... [--level N] [SIGNING]\n"
    "       mkpatch diff --stub STUB -o INSTALLER OLD_DIR... NEW_DIR [--strict] [--json]\n"
    "                    [--level N] [SIGNING]\n"
    "       mkpatch inspect INSTALLER [--json | --against GAME_DIR]\n"
    "\n"
    "build    appends a patch package to a copy of STUB (the Linux or the Windows\n"
    "         installer): the files under DIR as loose files (paths relative to DIR),\n"
    "         and for each archive NAME (a path such as data/x.pak relative to the\n"
    "         game directory) the files under a directory, stored unchanged, or the\n"
    "         sub-files of an existing archive as it stores them. --level takes\n"
    "         0 to 9 (zlib, default 9) or 11 (zopfli: up to some 6 per cent\n"
    "         smaller on text, some fifty times slower), where this build has it.\n"
    "diff     builds the smallest installer that turns the game tree OLD_DIR into\n"
    "         NEW_DIR: every file of NEW_DIR that OLD_DIR lacks or holds with other\n"
    "         bytes (files are matched by their exact relative paths), and for each\n"
    "         \".pak\" archive the sub-files that OLD_DIR's copy lacks or holds with\n"
    "         another stored digest or method. With several OLD_DIRs it carries what\n"
    "         any of them needs, and brings each to NEW_DIR. What only an OLD_DIR has\n"
    "         cannot be deleted by a patch: it is listed as a warning, or with --strict\n"
    "         refused. It ends with what the installer carries, largest first.\n"
    "inspect  shows the trailer, the signer, the archives and the records of an\n"
    "         installer and checks every record's digest. --against GAME_DIR also\n"
    "         tells what the installer would do to GAME_DIR, touching nothing (its\n"
    "         dry run). It too tells what the installer carries, largest first.\n"
    "\n"
    "SIGNING: --sign CERT KEY [--timestamp URL] signs the installer (Authenticode,\n"
    "SHA-256) with osslsigncode, which must be installed; URL is an RFC 3161\n"
    "time-stamping authority (none by default).\n"
    "\n"
    "`mkpatch COMMAND --help` shows one command's options.\n"
    "\n"
    "MKPATCH_THREADS=N in the environment sets how many threads compress\n"
    "(default: one per core); the installer's bytes do not depend on it.\n"
    "\n"
    "Exit status: 0 ok, 1 damaged or unusable input, 2 usage or I/O error.\n"
    "inspect --against: 0 the installer would change no byte of GAME_DIR, 2 it\n"
    "would, 1 for every failure.\n";

const char kExitStatus[] = "Exit status: 0 ok, 1 damaged or unusable input, 2 usage or I/O error.";
const char kInspectExitStatus[] =
    "Exit status: 0 ok, 1 damaged or unusable input, 2 usage or I/O error.\n"
    "With --against: 0 the installer would change no byte of GAME_DIR, 2 it\n"
    "would, 1 for every failure.";

int ParseLevel(const pitool::CommandLine& line, const CLI::App* command, const std::string& text) {
    if (text == "11") {
        if (!BlockDeflater::HasLevel(BlockDeflater::kZopfliLevel))
            line.UsageError(command, "--level 11 (zopfli) is not available in this build");
        return BlockDeflater::kZopfliLevel;
    }
    if (text.size() != 1 || text[0] < '0' || text[0] > '9')
        line.UsageError(command, "--level takes a number from 0 to 9, or 11, not " + text);
    return text[0] - '0';
}

PakOption ParsePak(const pitool::CommandLine& line, const CLI::App* command,
                   const std::string& text) {
    const size_t equals = text.find('=');
    if (equals == std::string::npos || equals == 0 || equals + 1 == text.size())
        line.UsageError(command, "--pak takes NAME=DIR or NAME=ARCHIVE, not " + text);
    return {text.substr(0, equals), text.substr(equals + 1)};
}

// What build and diff both write: a copy of STUB with the package behind it.
void AddStubAndOutput(CLI::App* command, std::string* stub, std::string* output) {
    command->add_option("--stub", *stub, "the installer to append to")->type_name("STUB");
    command->add_option("-o,--output", *output, "the installer to write")->type_name("INSTALLER");
}

CLI::Option* AddLevel(CLI::App* command, std::string* level) {
    return command
        ->add_option("--level", *level, "compression: 0 to 9 (zlib, default 9), or 11 (zopfli)")
        ->type_name("N");
}

void AddSigning(CLI::App* command, std::vector<std::string>* sign, std::string* timestampUrl) {
    command
        ->add_option("--sign", *sign,
                     "sign the installer with this certificate and private key (osslsigncode)")
        ->expected(2)
        ->option_text("CERT KEY");
    command->add_option("--timestamp", *timestampUrl, "an RFC 3161 time-stamping authority")
        ->type_name("URL");
}

Signing ParseSigning(const pitool::CommandLine& line, const CLI::App* command,
                     const std::vector<std::string>& sign, const std::string& timestampUrl) {
    if (sign.empty() && !timestampUrl.empty())
        line.UsageError(command, "--timestamp goes with --sign");
    if (sign.empty())
        return Signing();
    if (sign.size() != 2)
        line.UsageError(command, "--sign takes a certificate and a private key");
    return {sign[0], sign[1], timestampUrl};
}

int Dispatch(const std::vector<std::string>& args) {
    pitool::CommandLine line("mkpatch", kUsage);
    BuildOptions build;
    DiffOptions diff;
    std::string level, installer, against;
    std::vector<std::string> paks, sign;
    std::string timestampUrl;
    bool json = false;

    CLI::App* buildCommand = line.AddCommand(
        "build",
        "Appends a patch package to a copy of STUB (the Linux or the Windows installer): the\n"
        "files under DIR as loose files, and for each archive NAME (a path such as data/x.pak\n"
        "relative to the game directory) the files under a directory, stored unchanged, or\n"
        "the sub-files of an existing archive as it stores them.",
        kExitStatus);
    AddStubAndOutput(buildCommand, &build.stub, &build.output);
    buildCommand->add_option("--files", build.filesDir, "loose files, by paths relative to DIR")
        ->type_name("DIR");
    buildCommand
        ->add_option("--pak", paks, "an archive and where its sub-files come from, one per --pak")
        ->type_name("NAME=DIR|NAME=ARCHIVE")
        ->allow_extra_args(false);
    AddLevel(buildCommand, &level);
    AddSigning(buildCommand, &sign, &timestampUrl);

    CLI::App* diffCommand = line.AddCommand(
        "diff",
        "Builds the smallest installer that turns the game tree OLD_DIR into NEW_DIR: every\n"
        "file of NEW_DIR that OLD_DIR lacks or holds with other bytes (matched by exact\n"
        "relative paths), and for each \".pak\" archive the sub-files that OLD_DIR's copy\n"
        "lacks or holds with another stored digest or method. With several OLD_DIRs it\n"
        "carries what any of them needs, and brings each to NEW_DIR. What only an OLD_DIR\n"
        "has cannot be deleted by a patch: it is listed as a warning, or with --strict\n"
        "refused.",
        kExitStatus);
    AddStubAndOutput(diffCommand, &diff.stub, &diff.output);
    diffCommand->add_option("OLD_DIR", diff.oldDirs, "the game as it is, in one or more versions")
        ->type_name("");
    diffCommand->add_option("NEW_DIR", diff.newDir, "the game as it shall be")->type_name("");
    diffCommand->add_flag("--strict", diff.strict, "refuse what a patch cannot express");
    diffCommand->add_flag("--json", diff.json, "print the summary as JSON");
    AddLevel(diffCommand, &level);
    AddSigning(diffCommand, &sign, &timestampUrl);

    CLI::App* inspectCommand = line.AddCommand(
        "inspect",
        "Shows the trailer, the archives and the records of an installer and checks every\n"
        "record's digest.",
        kInspectExitStatus);
    inspectCommand->add_option("INSTALLER", installer, "the installer")->type_name("");
    inspectCommand->add_flag("--json", json, "print JSON instead of text");
    inspectCommand
        ->add_option("--against", against,
                     "also the installer's dry run on GAME_DIR, which it leaves untouched")
        ->type_name("GAME_DIR");

    CLI::App* command = line.Parse(args);
    if (command == nullptr)
        return kExitOk; // help was printed
    if (command == buildCommand) {
        for (const std::string& pak : paks)
            build.paks.push_back(ParsePak(line, command, pak));
        if (!level.empty())
            build.level = ParseLevel(line, command, level);
        build.signing = ParseSigning(line, command, sign, timestampUrl);
        if (build.stub.empty() || build.output.empty())
            line.UsageError(command, "build needs --stub and -o");
        return RunBuild(build);
    }
    if (command == diffCommand) {
        // OLD_DIR takes every directory given: the last one is NEW_DIR.
        if (diff.oldDirs.size() >= 2 && diff.newDir.empty()) {
            diff.newDir = diff.oldDirs.back();
            diff.oldDirs.pop_back();
        }
        if (!level.empty())
            diff.level = ParseLevel(line, command, level);
        diff.signing = ParseSigning(line, command, sign, timestampUrl);
        if (diff.stub.empty() || diff.output.empty() || diff.oldDirs.empty() || diff.newDir.empty())
            line.UsageError(command, "diff needs --stub, -o, OLD_DIR and NEW_DIR");
        return RunDiff(diff);
    }
    if (installer.empty())
        line.UsageError(command, "inspect needs an installer");
    if (json && !against.empty())
        line.UsageError(command, "--against prints text only");
    return RunInspect(installer, json, against);
}

// With --against, every failure exits 1: 2 means that the game directory
// would change.
bool InspectsAgainst(const std::vector<std::string>& args) {
    if (args.empty() || args[0] != "inspect")
        return false;
    for (const std::string& arg : args)
        if (arg.compare(0, 9, "--against") == 0 && (arg.size() == 9 || arg[9] == '='))
            return true;
    return false;
}

int Run(const std::vector<std::string>& args) {
    try {
        return Dispatch(args);
    } catch (pitool::ToolError& error) {
        if (InspectsAgainst(args))
            error.exitCode = kExitBadInput;
        throw;
    } catch (const std::exception& error) {
        if (InspectsAgainst(args))
            ThrowToolError(kExitBadInput, error.what());
        throw;
    }
}

} // namespace
} // namespace mkpatch

int main(int argc, char** argv) {
    return pitool::RunTool("mkpatch", pitool::ArgumentsOf(argc, argv), mkpatch::Run);
}
