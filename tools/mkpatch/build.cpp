// `mkpatch build`: gathers loose files and pak sub-files from directories and
// archives, then streams them into an installer with WritePackage.
#include "mkpatch.h"

#include "crypto/crypto.h"
#include "patch/package.h"
#include "patch/package_writer.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace mkpatch {
namespace {

struct FoundFile {
    std::string relative; // UTF-8, '/' separated
    std::string path;     // UTF-8
};

// Where each record's bytes come from, to tell afterwards why a build failed.
struct SourceNote {
    const PackageFile* file;
    std::string path; // UTF-8
    bool fromArchive;
};

std::vector<FoundFile> ListFiles(const std::string& dir) {
    std::error_code error;
    fs::recursive_directory_iterator it(dir, error);
    if (error)
        Fail(kExitUsageOrIo, "cannot read the directory " + dir + ": " + error.message());
    std::vector<FoundFile> files;
    for (; it != fs::recursive_directory_iterator(); it.increment(error)) {
        if (error)
            Fail(kExitUsageOrIo, "cannot read the directory " + dir + ": " + error.message());
        // Links to directories are not followed, so a loop cannot arise.
        if (it->is_directory(error))
            continue;
        if (!it->is_regular_file(error))
            Fail(kExitBadInput, it->path().string() + " is neither a regular file nor a directory");
        files.push_back({it->path().lexically_relative(dir).generic_string(), it->path().string()});
    }
    std::sort(files.begin(), files.end(),
              [](const FoundFile& a, const FoundFile& b) { return a.relative < b.relative; });
    return files;
}

std::string RecordName(const std::string& relativeUtf8, const char* what) {
    std::string name = relativeUtf8;
    std::replace(name.begin(), name.end(), '/', '\\');
    return ToAcp(name, what);
}

std::string LowerCased(std::string name) {
    LowerCaseBytes(name.data());
    return name;
}

// The game's directories and the archives are case-insensitive: two names
// that differ only in letter case would land on the same file.
void CheckUnique(std::set<std::string>* seen, const std::string& name, const std::string& where) {
    if (!seen->insert(LowerCased(name)).second)
        Fail(kExitBadInput, where + ": two names differ only in letter case: " + ToUtf8(name));
}

PackageFile DescribeFile(const FoundFile& found, const std::string& name) {
    PackageFile file;
    std::string error;
    if (!DescribePlainFile(PathToAcp(found.path).c_str(), name, &file, &error))
        Fail(kExitUsageOrIo, ToUtf8(error));
    return file;
}

void AddLooseFiles(const std::string& dir, PackageContents* contents,
                   std::vector<SourceNote>* notes) {
    std::set<std::string> seen;
    for (const FoundFile& found : ListFiles(dir)) {
        std::string name = RecordName(found.relative, "the file name");
        CheckUnique(&seen, name, dir);
        contents->looseFiles.push_back(DescribeFile(found, name));
        notes->push_back({nullptr, found.path, false});
    }
}

std::string CheckedPakName(const std::string& given) {
    std::string name = given;
    std::replace(name.begin(), name.end(), '/', '\\');
    name = ToAcp(name, "the archive name");
    if (!IsSafeRelativeName(name.c_str()))
        Fail(kExitUsageOrIo,
             "the archive name " + given + " is not a relative path inside the game directory");
    if (!HasPakExtension(name.c_str()))
        Fail(kExitUsageOrIo, "the archive name " + given + " does not end in \".pak\"");
    // The pak library opens archives under their lower-case spelling; the
    // directories that the installer creates for them must match it.
    return LowerCased(name);
}

// Sub-files stored unchanged, named as the archive files them: lower case.
void AddPakFromDirectory(const std::string& dir, PackagePak* pak, std::vector<SourceNote>* notes) {
    std::set<std::string> seen;
    for (const FoundFile& found : ListFiles(dir)) {
        std::string name = LowerCased(RecordName(found.relative, "the file name"));
        CheckUnique(&seen, name, dir);
        pak->files.push_back(DescribeFile(found, name));
        notes->push_back({nullptr, found.path, false});
    }
}

// Sub-files taken from an archive exactly as it stores them.
void AddPakFromArchive(const std::string& archive, PackagePak* pak,
                       std::vector<SourceNote>* notes) {
    const std::string acpPath = PathToAcp(archive);
    std::set<std::string> seen;
    for (const ArchiveEntry& entry : ReadArchiveIndex(archive)) {
        if (entry.name.empty() || entry.name.size() >= kPatchNameSize)
            Fail(kExitBadInput, "the archive " + archive + " holds a sub-file name of " +
                                    std::to_string(entry.name.size()) +
                                    " bytes; a patch record takes 1 to 259");
        PackageFile file;
        // The library files every name in lower case; a record spelt
        // otherwise would never match and would be applied on every run.
        file.name = LowerCased(entry.name);
        CheckUnique(&seen, file.name, archive);
        file.source.path = acpPath;
        file.source.offset = entry.index.dataOffset;
        file.size = entry.index.size;
        if (file.size == 0)
            crypto::Md5Digest("", 0, file.storedMd5); // as the library reads it
        else
            std::memcpy(file.storedMd5, entry.index.storedMd5, 16);
        file.originalSize = entry.index.originalSize;
        std::memcpy(file.originalMd5, entry.index.originalMd5, 16);
        file.stamp.dwLowDateTime = entry.index.stampLow;
        file.stamp.dwHighDateTime = entry.index.stampHigh;
        file.method = entry.index.method;
        pak->files.push_back(file);
        notes->push_back({nullptr, archive, true});
    }
}

void AddPak(const PakOption& option, std::set<std::string>* pakNames, PackageContents* contents,
            std::vector<SourceNote>* notes) {
    PackagePak pak;
    pak.name = CheckedPakName(option.name);
    if (!pakNames->insert(LowerCased(pak.name)).second)
        Fail(kExitUsageOrIo, "the archive " + option.name + " is given twice");
    std::error_code error;
    fs::file_status status = fs::status(option.source, error);
    if (fs::is_directory(status))
        AddPakFromDirectory(option.source, &pak, notes);
    else if (fs::is_regular_file(status))
        AddPakFromArchive(option.source, &pak, notes);
    else
        Fail(kExitUsageOrIo, "no directory or archive at " + option.source);
    pak.stamp = ModificationTime(option.source);
    contents->paks.push_back(std::move(pak));
}

// Pairs every record with the note made when it was added, in package order
// (the vectors' buffers are stable once everything has been gathered).
void LinkNotes(const PackageContents& contents, std::vector<SourceNote>* notes) {
    size_t next = 0;
    for (const PackagePak& pak : contents.paks)
        for (const PackageFile& file : pak.files)
            (*notes)[next++].file = &file;
    for (const PackageFile& file : contents.looseFiles)
        (*notes)[next++].file = &file;
}

enum class DigestCheck { Matches, Differs, Unreadable };

DigestCheck CheckDigest(const SourceNote& note) {
    std::ifstream in(note.path, std::ios::binary);
    in.seekg(note.file->source.offset);
    crypto::Md5 md5;
    std::vector<char> buffer(65536);
    for (u32 remaining = note.file->size; remaining != 0;) {
        const u32 chunk = std::min<u32>(remaining, static_cast<u32>(buffer.size()));
        if (!in.read(buffer.data(), chunk))
            return DigestCheck::Unreadable;
        md5.Update(buffer.data(), chunk);
        remaining -= chunk;
    }
    u8 digest[16];
    md5.Final(digest);
    return std::memcmp(digest, note.file->storedMd5, 16) == 0 ? DigestCheck::Matches
                                                              : DigestCheck::Differs;
}

// WritePackage says what failed but not whose fault it was: a source whose
// bytes do not match their digest is bad input, anything else is I/O.
[[noreturn]] void ExplainFailure(const std::vector<SourceNote>& notes, const std::string& error) {
    for (const SourceNote& note : notes) {
        if (CheckDigest(note) != DigestCheck::Differs)
            continue;
        if (note.fromArchive)
            Fail(kExitBadInput, "the archive " + note.path + " is damaged: the data of " +
                                    ToUtf8(note.file->name) + " does not match its digest");
        Fail(kExitBadInput, note.path + " changed while the installer was being built");
    }
    Fail(kExitUsageOrIo, ToUtf8(error));
}

class TerminalProgress : public PackageProgress {
  public:
    TerminalProgress() : m_show(isatty(STDERR_FILENO) != 0) {}
    ~TerminalProgress() {
        if (m_shown)
            fputc('\n', stderr);
    }
    void OnBytes(u64 done, u64 total) override {
        const int percent = total == 0 ? 100 : static_cast<int>(done * 100 / total);
        if (!m_show || percent == m_percent)
            return;
        m_percent = percent;
        m_shown = true;
        fprintf(stderr, "\rcompressing %3d%% (%.1f of %.1f MiB)", percent, done / 1048576.0,
                total / 1048576.0);
        fflush(stderr);
    }

  private:
    bool m_show;
    bool m_shown = false;
    int m_percent = -1;
};

void CopyStubPermissions(const std::string& stub, const std::string& output) {
    struct stat st;
    if (stat(stub.c_str(), &st) != 0 || chmod(output.c_str(), st.st_mode & 07777) != 0)
        Fail(kExitUsageOrIo, "cannot make " + output + " executable: " + strerror(errno));
}

void PrintSummary(const BuildOptions& options, const PackageContents& contents) {
    size_t subFiles = 0;
    for (const PackagePak& pak : contents.paks)
        subFiles += pak.files.size();
    std::error_code error;
    const auto size = fs::file_size(options.output, error);
    const auto stubSize = fs::file_size(options.stub, error);
    printf("wrote %s: %zu archive(s) with %zu sub-file(s), %zu loose file(s); %ju bytes "
           "(stub %ju, package %ju)\n",
           options.output.c_str(), contents.paks.size(), subFiles, contents.looseFiles.size(),
           static_cast<uintmax_t>(size), static_cast<uintmax_t>(stubSize),
           static_cast<uintmax_t>(size - stubSize));
}

} // namespace

int RunBuild(const BuildOptions& options) {
    PackageContents contents;
    std::vector<SourceNote> notes;
    std::set<std::string> pakNames;
    for (const PakOption& option : options.paks)
        AddPak(option, &pakNames, &contents, &notes);
    if (!options.filesDir.empty())
        AddLooseFiles(options.filesDir, &contents, &notes);
    LinkNotes(contents, &notes);

    std::string error;
    bool written;
    {
        TerminalProgress progress;
        const std::string partial = options.output + ".tmp"; // where WritePackage writes
        RemoveOnInterrupt(&partial);
        written = WritePackage(PathToAcp(options.stub).c_str(), contents,
                               PathToAcp(options.output).c_str(), options.level, &progress, &error);
        RemoveOnInterrupt(nullptr);
    }
    if (!written)
        ExplainFailure(notes, error);
    CopyStubPermissions(options.stub, options.output);
    PrintSummary(options, contents);
    return kExitOk;
}

} // namespace mkpatch
