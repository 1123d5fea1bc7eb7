// paktool: lists, verifies, extracts and builds pak archives from the
// command line, through the installer's own pak library.
#include "paktool.h"

#include <cstdio>
#include <cstring>

namespace {

const char kUsage[] =
    "usage: paktool COMMAND ARGUMENTS\n"
    "\n"
    "  list ARCHIVE [--json]         the header and every sub-file: size, stored size,\n"
    "                                method, stamp (UTC), digest and name\n"
    "  verify ARCHIVE...             check the header, the index and every sub-file's MD5\n"
    "  extract ARCHIVE [-C DIR] [NAME...]\n"
    "                                write the stored bytes of the sub-files (all, or\n"
    "                                the NAMEs) below DIR (default: the current one)\n"
    "  create ARCHIVE DIR            a new archive holding every file below DIR\n"
    "  add ARCHIVE FILE|NAME=FILE... add or replace sub-files (named after the file, or\n"
    "                                NAME); creates the archive if it is missing\n"
    "\n"
    "Sub-files are stored unchanged (method 0) with the file's modification time.\n"
    "Names and paths are UTF-8 here and GBK inside the archive; '/' and '\\' both\n"
    "separate directories.\n"
    "\n"
    "Exit status: 0 ok, 1 damaged archive or digest mismatch, 2 usage or I/O error.\n";

int Run(const std::string& command, const std::vector<std::string>& args) {
    using namespace paktool;
    if (command == "list")
        return List(args);
    if (command == "verify")
        return Verify(args);
    if (command == "extract")
        return Extract(args);
    if (command == "create")
        return Create(args);
    if (command == "add")
        return Add(args);
    Fail(kExitUsageOrIo, "unknown command \"" + command + "\" (see paktool --help)");
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs(kUsage, stderr);
        return paktool::kExitUsageOrIo;
    }
    const std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(kUsage, stdout);
        return paktool::kExitOk;
    }
    if (!InitPakUpdateLock())
        return paktool::kExitUsageOrIo;
    int result;
    try {
        result = Run(command, std::vector<std::string>(argv + 2, argv + argc));
    } catch (const paktool::Failure& failure) {
        std::fprintf(stderr, "paktool: %s\n", failure.message.c_str());
        result = failure.code;
    }
    DeletePakUpdateLock();
    return result;
}
