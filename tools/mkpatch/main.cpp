// mkpatch: the release engineer's tool that builds patch installers and
// inspects them.
//
//   mkpatch build --stub STUB -o INSTALLER [--files DIR]
//                 [--pak NAME=DIR | --pak NAME=ARCHIVE]... [--level N]
//   mkpatch inspect INSTALLER [--json]
#include "mkpatch.h"

#include <cstdio>
#include <cstring>
#include <exception>

namespace mkpatch {
namespace {

const char kUsage[] =
    "usage: mkpatch build --stub STUB -o INSTALLER [--files DIR]\n"
    "                     [--pak NAME=DIR | --pak NAME=ARCHIVE]... [--level N]\n"
    "       mkpatch inspect INSTALLER [--json]\n"
    "\n"
    "build    appends a patch package to a copy of STUB (the Linux or the Windows\n"
    "         installer): the files under DIR as loose files (paths relative to DIR),\n"
    "         and for each archive NAME (a path such as data/x.pak relative to the\n"
    "         game directory) the files under a directory, stored unchanged, or the\n"
    "         sub-files of an existing archive as it stores them. --level 0-9 sets\n"
    "         the compression (default 9).\n"
    "inspect  shows the trailer, the archives and the records of an installer and\n"
    "         checks every record's digest.\n"
    "\n"
    "Exit status: 0 ok, 1 damaged or unusable input, 2 usage or I/O error.\n";

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

int Inspect(int argc, char** argv) {
    std::string installer;
    bool json = false;
    for (int i = 2; i < argc; ++i) {
        if (strcmp(argv[i], "--json") == 0)
            json = true;
        else if (argv[i][0] == '-' || !installer.empty())
            UsageError(std::string("unexpected argument ") + argv[i]);
        else
            installer = argv[i];
    }
    if (installer.empty())
        UsageError("inspect needs an installer");
    return RunInspect(installer, json);
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
    if (command == "inspect")
        return Inspect(argc, argv);
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
