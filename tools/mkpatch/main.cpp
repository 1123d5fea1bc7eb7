// mkpatch: the release engineer's tool that builds patch installers and
// inspects them.
//
//   mkpatch build --stub STUB -o INSTALLER [--files DIR]
//                 [--pak NAME=DIR | --pak NAME=ARCHIVE]... [--level N]
//   mkpatch diff --stub STUB -o INSTALLER OLD_DIR NEW_DIR [--strict] [--level N]
//   mkpatch inspect INSTALLER [--json | --against GAME_DIR]
#include "mkpatch.h"

#include <cstdio>
#include <cstring>
#include <exception>

namespace mkpatch {
namespace {

const char kUsage[] =
    "usage: mkpatch build --stub STUB -o INSTALLER [--files DIR]\n"
    "                     [--pak NAME=DIR | --pak NAME=ARCHIVE]... [--level N]\n"
    "       mkpatch diff --stub STUB -o INSTALLER OLD_DIR NEW_DIR [--strict] [--level N]\n"
    "       mkpatch inspect INSTALLER [--json | --against GAME_DIR]\n"
    "\n"
    "build    appends a patch package to a copy of STUB (the Linux or the Windows\n"
    "         installer): the files under DIR as loose files (paths relative to DIR),\n"
    "         and for each archive NAME (a path such as data/x.pak relative to the\n"
    "         game directory) the files under a directory, stored unchanged, or the\n"
    "         sub-files of an existing archive as it stores them. --level 0-9 sets\n"
    "         the compression (default 9).\n"
    "diff     builds the smallest installer that turns the game tree OLD_DIR into\n"
    "         NEW_DIR: every file of NEW_DIR that OLD_DIR lacks or holds with other\n"
    "         bytes (files are matched by their exact relative paths), and for each\n"
    "         \".pak\" archive the sub-files that OLD_DIR's copy lacks or holds with\n"
    "         another stored digest or method. What only OLD_DIR has cannot be\n"
    "         deleted by a patch: it is listed as a warning, or with --strict refused.\n"
    "inspect  shows the trailer, the archives and the records of an installer and\n"
    "         checks every record's digest. --against GAME_DIR also tells what the\n"
    "         installer would do to GAME_DIR, touching nothing (its dry run).\n"
    "\n"
    "Exit status: 0 ok, 1 damaged or unusable input, 2 usage or I/O error.\n"
    "inspect --against: 0 the installer would change no byte of GAME_DIR, 2 it\n"
    "would, 1 for every failure.\n";

[[noreturn]] void UsageError(const std::string& message) {
    Fail(kExitUsageOrIo, message + "\n" + kUsage);
}

// Takes the value of `--name VALUE` or `--name=VALUE` at argv[*i].
bool TakeValue(int argc, char** argv, int* i, const char* name, std::string* value) {
    const size_t length = strlen(name);
    const char* arg = argv[*i];
    if (strncmp(arg, name, length) != 0)
        return false;
    if (arg[length] == '=') {
        *value = arg + length + 1;
        return true;
    }
    if (arg[length] != '\0')
        return false;
    if (*i + 1 >= argc)
        UsageError(std::string(name) + " needs a value");
    *value = argv[++*i];
    return true;
}

int ParseLevel(const std::string& text) {
    if (text.size() != 1 || text[0] < '0' || text[0] > '9')
        UsageError("--level takes a number from 0 to 9, not " + text);
    return text[0] - '0';
}

PakOption ParsePak(const std::string& text) {
    const size_t equals = text.find('=');
    if (equals == std::string::npos || equals == 0 || equals + 1 == text.size())
        UsageError("--pak takes NAME=DIR or NAME=ARCHIVE, not " + text);
    return {text.substr(0, equals), text.substr(equals + 1)};
}

int Build(int argc, char** argv) {
    BuildOptions options;
    for (int i = 2; i < argc; ++i) {
        std::string value;
        if (TakeValue(argc, argv, &i, "--stub", &value))
            options.stub = value;
        else if (TakeValue(argc, argv, &i, "-o", &value) ||
                 TakeValue(argc, argv, &i, "--output", &value))
            options.output = value;
        else if (TakeValue(argc, argv, &i, "--files", &value))
            options.filesDir = value;
        else if (TakeValue(argc, argv, &i, "--pak", &value))
            options.paks.push_back(ParsePak(value));
        else if (TakeValue(argc, argv, &i, "--level", &value))
            options.level = ParseLevel(value);
        else
            UsageError(std::string("unexpected argument ") + argv[i]);
    }
    if (options.stub.empty() || options.output.empty())
        UsageError("build needs --stub and -o");
    return RunBuild(options);
}

int Diff(int argc, char** argv) {
    DiffOptions options;
    std::vector<std::string> dirs;
    for (int i = 2; i < argc; ++i) {
        std::string value;
        if (TakeValue(argc, argv, &i, "--stub", &value))
            options.stub = value;
        else if (TakeValue(argc, argv, &i, "-o", &value) ||
                 TakeValue(argc, argv, &i, "--output", &value))
            options.output = value;
        else if (TakeValue(argc, argv, &i, "--level", &value))
            options.level = ParseLevel(value);
        else if (strcmp(argv[i], "--strict") == 0)
            options.strict = true;
        else if (argv[i][0] == '-' || dirs.size() == 2)
            UsageError(std::string("unexpected argument ") + argv[i]);
        else
            dirs.push_back(argv[i]);
    }
    if (options.stub.empty() || options.output.empty() || dirs.size() != 2)
        UsageError("diff needs --stub, -o, OLD_DIR and NEW_DIR");
    options.oldDir = dirs[0];
    options.newDir = dirs[1];
    return RunDiff(options);
}

// With --against, every failure exits 1: 2 means that the game directory
// would change.
bool HasAgainst(int argc, char** argv) {
    for (int i = 2; i < argc; ++i)
        if (strncmp(argv[i], "--against", 9) == 0 && (argv[i][9] == '\0' || argv[i][9] == '='))
            return true;
    return false;
}

int Inspect(int argc, char** argv) {
    std::string installer, against;
    bool json = false;
    for (int i = 2; i < argc; ++i) {
        if (strcmp(argv[i], "--json") == 0)
            json = true;
        else if (TakeValue(argc, argv, &i, "--against", &against))
            continue;
        else if (argv[i][0] == '-' || !installer.empty())
            UsageError(std::string("unexpected argument ") + argv[i]);
        else
            installer = argv[i];
    }
    if (installer.empty())
        UsageError("inspect needs an installer");
    if (json && !against.empty())
        UsageError("--against prints text only");
    return RunInspect(installer, json, against);
}

int Run(int argc, char** argv) {
    if (argc < 2)
        UsageError("no command given");
    const std::string command = argv[1];
    if (command == "-h" || command == "--help" || command == "help") {
        fputs(kUsage, stdout);
        return kExitOk;
    }
    if (command == "build")
        return Build(argc, argv);
    if (command == "diff")
        return Diff(argc, argv);
    if (command == "inspect") {
        try {
            return Inspect(argc, argv);
        } catch (ToolError& error) {
            if (HasAgainst(argc, argv))
                error.exitCode = kExitBadInput;
            throw;
        } catch (const std::exception& error) {
            if (HasAgainst(argc, argv))
                Fail(kExitBadInput, error.what());
            throw;
        }
    }
    UsageError("unknown command " + command);
}

} // namespace
} // namespace mkpatch

int main(int argc, char** argv) {
    try {
        return mkpatch::Run(argc, argv);
    } catch (const mkpatch::ToolError& error) {
        fflush(stdout);
        fprintf(stderr, "mkpatch: %s\n", error.message.c_str());
        return error.exitCode;
    } catch (const std::exception& error) {
        fflush(stdout);
        fprintf(stderr, "mkpatch: %s\n", error.what());
        return mkpatch::kExitUsageOrIo;
    }
}
