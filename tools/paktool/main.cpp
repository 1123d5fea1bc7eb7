// paktool: lists, verifies, extracts and builds pak archives from the
// command line, through the installer's own pak library.
#include "paktool.h"

#include "command_line.h"
#include "tool_main.h"

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
    "separate directories. `paktool COMMAND --help` shows one command's arguments.\n"
    "\n"
    "Exit status: 0 ok, 1 damaged archive or digest mismatch, 2 usage or I/O error.\n";

const char kExitStatus[] =
    "Exit status: 0 ok, 1 damaged archive or digest mismatch, 2 usage or I/O error.";

// The pak library's update lock lives as long as the command.
class UpdateLock {
  public:
    UpdateLock() : m_held(InitPakUpdateLock()) {}
    ~UpdateLock() {
        if (m_held)
            DeletePakUpdateLock();
    }
    UpdateLock(const UpdateLock&) = delete;
    UpdateLock& operator=(const UpdateLock&) = delete;
    bool Held() const { return m_held; }

  private:
    bool m_held;
};

int Run(const std::vector<std::string>& args) {
    using namespace paktool;
    pitool::CommandLine line("paktool", kUsage);
    std::string archive, directory = ".";
    std::vector<std::string> more; // sub-file names, archives or files
    bool json = false;

    CLI::App* list = line.AddCommand(
        "list",
        "The header and every sub-file: size, stored size, method, stamp (UTC), digest and name.",
        kExitStatus);
    CLI::Option* listed = list->add_option("ARCHIVE", archive, "the archive")->type_name("");
    list->add_flag("--json", json, "print JSON instead of a table");

    CLI::App* verify = line.AddCommand(
        "verify", "Checks the header, the index and every sub-file's MD5.", kExitStatus);
    verify->add_option("ARCHIVE", more, "one or more archives")->type_name("");

    CLI::App* extract = line.AddCommand(
        "extract", "Writes the stored bytes of the sub-files (all, or the NAMEs) below DIR.",
        kExitStatus);
    CLI::Option* extracted = extract->add_option("ARCHIVE", archive, "the archive")->type_name("");
    extract->add_option("NAME", more, "sub-files to extract ('/' or '\\' separated)")
        ->type_name("")
        ->expected(0, CLI::detail::expected_max_vector_size);
    extract->add_option("-C", directory, "the target directory (default: the current one)")
        ->type_name("DIR");

    CLI::App* create = line.AddCommand(
        "create", "A new archive holding every file below DIR, stored unchanged.", kExitStatus);
    CLI::Option* created = create->add_option("ARCHIVE", archive, "the new archive")->type_name("");
    CLI::Option* source = create->add_option("DIR", directory, "the files to store")->type_name("");

    CLI::App* add = line.AddCommand("add",
                                    "Adds or replaces sub-files, named after the file or NAME; "
                                    "creates the archive if it is missing.",
                                    kExitStatus);
    CLI::Option* added = add->add_option("ARCHIVE", archive, "the archive")->type_name("");
    add->add_option("FILE", more, "FILE or NAME=FILE, one or more")->type_name("");
    // A sub-file's name may start with '-': whatever is not an option of
    // extract or add is a name (or NAME=FILE).
    line.PassUnknownWords(extract);
    line.PassUnknownWords(add);

    CLI::App* command = line.Parse(args);
    if (command == nullptr)
        return kExitOk; // help was printed
    for (const std::string& word : command->remaining())
        more.push_back(word);
    if (command == list && listed->count() == 0)
        line.UsageError(command, "list takes one archive");
    if (command == verify && more.empty())
        line.UsageError(command, "verify takes one or more archives");
    if (command == extract && extracted->count() == 0)
        line.UsageError(command, "extract takes an archive");
    if (command == create && (created->count() == 0 || source->count() == 0))
        line.UsageError(command, "create takes an archive and a directory");
    if (command == add && (added->count() == 0 || more.empty()))
        line.UsageError(command, "add takes an archive and files");

    const UpdateLock lock;
    if (!lock.Held())
        return kExitUsageOrIo;
    if (command == list)
        return List(archive, json);
    if (command == verify)
        return Verify(more);
    if (command == extract)
        return Extract(archive, more, directory);
    if (command == create)
        return Create(archive, directory);
    return Add(archive, more);
}

} // namespace

int main(int argc, char** argv) {
    return pitool::RunTool("paktool", pitool::ArgumentsOf(argc, argv), Run);
}
