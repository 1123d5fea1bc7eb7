// Writing the installer for `build` and `diff`: the package streamed behind
// a copy of the stub, progress on a terminal, and on failure an explanation
// of whose fault it was.
#include "mkpatch.h"

#include "crypto/chunk_digest.h"
#include "patch/package_writer.h"
#include "patch/report.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace mkpatch {
namespace {

// Pairs every record with its note, in package order (the vectors' buffers
// are stable once everything has been gathered).
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
    std::ifstream in(PathOf(note.path), std::ios::binary);
    in.seekg(note.file->source.offset);
    auto read = [&in](u8* buffer, u32 count) {
        return static_cast<bool>(in.read(reinterpret_cast<char*>(buffer), count));
    };
    u8 digest[16];
    if (!crypto::Md5OfChunks(note.file->size, read, digest))
        return DigestCheck::Unreadable;
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
            ThrowToolError(kExitBadInput, "the archive " + note.path + " is damaged: the data of " +
                                              ToUtf8(note.file->name) +
                                              " does not match its digest");
        ThrowToolError(kExitBadInput, note.path + " changed while the installer was being built");
    }
    ThrowToolError(kExitUsageOrIo, ToUtf8(error));
}

class TerminalProgress : public PackageProgress {
  public:
    explicit TerminalProgress(const char* doing)
        : m_doing(doing), m_show(pitool::IsTerminal(stderr)) {}
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
        fprintf(stderr, "\r%s %3d%% (%.1f of %.1f MiB)", m_doing, percent, done / 1048576.0,
                total / 1048576.0);
        fflush(stderr);
    }

  private:
    const char* m_doing;
    bool m_show;
    bool m_shown = false;
    int m_percent = -1;
};

// MKPATCH_THREADS: how many threads compress; unset, one per core. The
// output is the same for every count, so tests can hold builds side by side.
unsigned CompressionThreads() {
    const char* text = getenv("MKPATCH_THREADS");
    if (text == nullptr || *text == '\0')
        return 0;
    char* end = nullptr;
    errno = 0;
    const unsigned long threads = strtoul(text, &end, 10);
    if (*end != '\0' || errno != 0 || threads < 1 || threads > 64 || text[0] == '-')
        ThrowToolError(kExitUsageOrIo,
                       std::string("MKPATCH_THREADS takes a number from 1 to 64, not ") + text);
    return static_cast<unsigned>(threads);
}

void CopyStubPermissions(const std::string& stub, const std::string& output) {
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::perms perms = fs::status(PathOf(stub), error).permissions();
    if (!error)
        fs::permissions(PathOf(output), perms, error);
    if (error)
        ThrowToolError(kExitUsageOrIo,
                       "cannot make " + output + " executable: " + pitool::ErrorText(error));
}

} // namespace

bool LocatePackage(const std::string& utf8Path, PackageLocation* where, std::string* problem) {
    FileStream file;
    PackageProblem found;
    if (!file.Open(PathToAcp(utf8Path).c_str(), OpenRead)) {
        *problem = "cannot open " + utf8Path + ": " + ToUtf8(DescribeSystemError(GetLastError()));
        return false;
    }
    if (FindPackage(file, utf8Path, where, &found))
        return true;
    *problem = ToUtf8(found.what);
    return false;
}

PackageLocation WriteInstaller(const std::string& stub, const std::string& output, int level,
                               const Signing& signing, const PackageContents& contents,
                               std::vector<SourceNote>* notes) {
    LinkNotes(contents, notes);
    const unsigned threads = CompressionThreads();
    // A signed installer is first written whole beside `output`, so that
    // `output` never holds an unsigned one.
    const std::string target = signing.Requested() ? output + ".unsigned" : output;
    std::string error;
    bool written;
    {
        TerminalProgress progress("compressing");
        const std::string partial = target + ".tmp"; // where WritePackage writes
        RemoveOnInterrupt(&partial);
        written = WritePackage(PathToAcp(stub).c_str(), contents, PathToAcp(target).c_str(), level,
                               &progress, &error, threads);
        RemoveOnInterrupt(nullptr);
    }
    if (!written)
        ExplainFailure(*notes, error);
    CopyStubPermissions(stub, target);
    if (signing.Requested())
        SignInstaller(signing, target, output);
    PackageLocation where;
    std::string problem;
    if (!LocatePackage(output, &where, &problem))
        ThrowToolError(kExitUsageOrIo, "the installer written cannot be read back: " + problem);
    return where;
}

u64 MeasureInstallerSize(const std::string& stub, int level, const PackageContents& contents,
                         std::vector<SourceNote>* notes) {
    LinkNotes(contents, notes);
    std::string error;
    u64 size = 0;
    bool measured;
    {
        TerminalProgress progress("measuring");
        measured = MeasureInstaller(PathToAcp(stub).c_str(), contents, level, &progress, &size,
                                    &error, CompressionThreads());
    }
    if (!measured)
        ExplainFailure(*notes, error);
    return size;
}

} // namespace mkpatch
