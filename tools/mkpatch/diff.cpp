// `mkpatch diff`: the smallest installer that turns the game tree OLD into
// NEW. Files are matched by their exact relative paths (as records name
// them: code page 936, '\' separated). Loose files are compared by content;
// archives by their sub-files, the way the installer compares them (stored
// digest and method, under the lower-case name the record carries). What
// only OLD has cannot be expressed, since a package cannot delete anything:
// it is reported, and with --strict refused.
#include "mkpatch.h"

#include "patch/package.h"
#include "patch/report.h"
#include "patch/sub_file_match.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace mkpatch {
namespace {

constexpr size_t kShownNames = 5;
constexpr size_t kCompareBufferSize = 65536;

// One tree's files by exact relative path (UTF-8), archives apart.
struct Tree {
    std::string root;
    std::map<std::string, FoundFile> loose;
    std::map<std::string, FoundFile> archives;
    std::set<std::string> folded; // record names lower-cased, of either kind
};

// What the package cannot express, of one kind.
struct Shortfall {
    const char* what;
    std::vector<std::string> names; // UTF-8
};

enum ShortfallKind {
    kOldOnlyFiles,
    kOldOnlyArchives,
    kOldOnlySubFiles,
    kCaseOnly,
    kIndexFieldsOnly,
    kShortfallKinds
};

struct Diff {
    PackageContents contents;
    std::vector<SourceNote> pakNotes;
    std::vector<SourceNote> looseNotes;
    Shortfall shortfalls[kShortfallKinds] = {
        {"loose file(s) only in OLD, which a patch cannot delete", {}},
        {"archive(s) only in OLD, which a patch cannot delete", {}},
        {"sub-file(s) only in OLD's archives, which a patch cannot delete", {}},
        {"name(s) only in OLD that differ from a NEW name in letter case only; the file keeps "
         "OLD's spelling",
         {}},
        {"sub-file(s) that differ from OLD's only in original size, original digest or stamp, "
         "which the installer does not compare and so keeps as they are",
         {}},
    };
    u32 equalFiles = 0;
    std::vector<std::string> retimedFiles; // equal bytes, other time: left out
    u32 equalSubFiles = 0;
    u32 equalArchives = 0;
    std::vector<std::string> emptyArchives; // new and empty: carried whole
};

class StepProgress {
  public:
    explicit StepProgress(size_t total) : m_total(total), m_show(pitool::IsTerminal(stderr)) {}
    ~StepProgress() {
        if (m_show && m_done != 0)
            fputc('\n', stderr);
    }
    void Step() {
        ++m_done;
        if (!m_show)
            return;
        fprintf(stderr, "\rcomparing %zu of %zu", m_done, m_total);
        fflush(stderr);
    }

  private:
    size_t m_total;
    size_t m_done = 0;
    bool m_show;
};

Tree ScanTree(const std::string& dir) {
    Tree tree;
    tree.root = dir;
    std::set<std::string> seen;
    for (FoundFile& found : ListFiles(dir)) {
        const std::string name = RecordName(found.relative, "the file name");
        CheckUnique(&seen, name, dir);
        tree.folded.insert(FoldGameName(name));
        auto& table = HasPakExtension(name.c_str()) ? tree.archives : tree.loose;
        const std::string relative = found.relative;
        table.emplace(relative, std::move(found));
    }
    return tree;
}

bool SameContents(const std::string& a, const std::string& b) {
    std::error_code error;
    const auto size = fs::file_size(PathOf(a), error);
    if (!error && size != fs::file_size(PathOf(b), error))
        return false;
    std::ifstream first(PathOf(a), std::ios::binary), second(PathOf(b), std::ios::binary);
    if (error || !first || !second)
        ThrowToolError(kExitUsageOrIo, "cannot compare " + a + " with " + b);
    std::vector<char> one(kCompareBufferSize), two(kCompareBufferSize);
    for (;;) {
        first.read(one.data(), one.size());
        second.read(two.data(), two.size());
        if (first.bad() || second.bad())
            ThrowToolError(kExitUsageOrIo, "cannot compare " + a + " with " + b);
        const std::streamsize got = first.gcount();
        if (got != second.gcount() || std::memcmp(one.data(), two.data(), got) != 0)
            return false;
        if (got == 0)
            return true;
    }
}

std::vector<ArchiveEntry> ReadCheckedArchive(const std::string& path) {
    std::vector<ArchiveEntry> entries = ReadSourceArchive(path);
    VerifySourceArchive(path, entries);
    return entries;
}

bool SameIndexFields(const ArchiveEntry& old, const PackageFile& file) {
    return old.index.originalSize == file.originalSize &&
           std::memcmp(old.index.originalMd5, file.originalMd5, 16) == 0 &&
           old.index.stampLow == file.stamp.dwLowDateTime &&
           old.index.stampHigh == file.stamp.dwHighDateTime;
}

// The sub-files of NEW's archive that the installer would find missing or
// different in OLD's: the record's lower-case name looked up exactly, as the
// job looks it up.
void DiffSubFiles(const FoundFile& fresh, const std::vector<ArchiveEntry>& newEntries,
                  const std::vector<ArchiveEntry>& oldEntries, PackagePak* pak, Diff* diff) {
    std::map<std::string, const ArchiveEntry*> oldByName;
    for (const ArchiveEntry& entry : oldEntries)
        oldByName[entry.name] = &entry;
    std::set<std::string> seen;
    for (const ArchiveEntry& entry : newEntries) {
        PackageFile file = DescribeSubFile(fresh.path, entry);
        CheckUniqueSubFile(&seen, file.name, fresh.path);
        const auto old = oldByName.find(file.name);
        if (old != oldByName.end() &&
            SameStoredSubFile(old->second->storedMd5, old->second->index.method, file.storedMd5,
                              file.method)) {
            ++diff->equalSubFiles;
            if (!SameIndexFields(*old->second, file))
                diff->shortfalls[kIndexFieldsOnly].names.push_back(fresh.relative + ": " +
                                                                   ToUtf8(file.name));
            continue;
        }
        pak->files.push_back(file);
        diff->pakNotes.push_back({nullptr, fresh.path, true});
    }
    // A rewrite files every name in lower case, so an old name survives
    // unless a new one matches it in that spelling.
    for (const ArchiveEntry& entry : oldEntries)
        if (seen.count(LowerCased(entry.name)) == 0)
            diff->shortfalls[kOldOnlySubFiles].names.push_back(fresh.relative + ": " +
                                                               ToUtf8(entry.name));
}

void DiffArchive(const FoundFile& fresh, const FoundFile* old, Diff* diff) {
    const std::vector<ArchiveEntry> newEntries = ReadCheckedArchive(fresh.path);
    std::vector<ArchiveEntry> oldEntries;
    if (old)
        oldEntries = ReadCheckedArchive(old->path);
    const std::string name = GameRecordName(fresh);
    // A pak record without records is not even opened by the installer: a
    // new empty archive can only travel as a whole file.
    if (!old && newEntries.empty()) {
        diff->contents.looseFiles.push_back(DescribeFile(fresh, name));
        diff->looseNotes.push_back({nullptr, fresh.path, false});
        diff->emptyArchives.push_back(fresh.relative);
        return;
    }
    PackagePak pak;
    pak.name = name;
    pak.stamp = ModificationTime(fresh.path);
    DiffSubFiles(fresh, newEntries, oldEntries, &pak, diff);
    if (pak.files.empty())
        ++diff->equalArchives;
    else
        diff->contents.paks.push_back(std::move(pak));
}

void DiffLooseFile(const FoundFile& fresh, const FoundFile* old, Diff* diff) {
    const std::string name = GameRecordName(fresh);
    if (old && SameContents(old->path, fresh.path)) {
        ++diff->equalFiles;
        if (StampValue(ModificationTime(old->path)) != StampValue(ModificationTime(fresh.path)))
            diff->retimedFiles.push_back(fresh.relative);
        return;
    }
    diff->contents.looseFiles.push_back(DescribeFile(fresh, name));
    diff->looseNotes.push_back({nullptr, fresh.path, false});
}

void NoteOldOnly(const std::map<std::string, FoundFile>& oldFiles,
                 const std::map<std::string, FoundFile>& newFiles, const Tree& fresh,
                 ShortfallKind kind, Diff* diff) {
    for (const auto& [relative, found] : oldFiles) {
        if (newFiles.count(relative) != 0)
            continue;
        const bool caseOnly =
            fresh.folded.count(FoldGameName(RecordName(relative, "the file name"))) != 0;
        diff->shortfalls[caseOnly ? kCaseOnly : kind].names.push_back(relative);
    }
}

const FoundFile* Find(const std::map<std::string, FoundFile>& files, const std::string& relative) {
    const auto found = files.find(relative);
    return found == files.end() ? nullptr : &found->second;
}

Diff Compare(const Tree& old, const Tree& fresh) {
    Diff diff;
    StepProgress progress(fresh.archives.size() + fresh.loose.size());
    for (const auto& [relative, found] : fresh.archives) {
        DiffArchive(found, Find(old.archives, relative), &diff);
        progress.Step();
    }
    for (const auto& [relative, found] : fresh.loose) {
        DiffLooseFile(found, Find(old.loose, relative), &diff);
        progress.Step();
    }
    NoteOldOnly(old.loose, fresh.loose, fresh, kOldOnlyFiles, &diff);
    NoteOldOnly(old.archives, fresh.archives, fresh, kOldOnlyArchives, &diff);
    return diff;
}

std::string FirstNames(const std::vector<std::string>& names) {
    std::string text;
    for (size_t i = 0; i < names.size() && i < kShownNames; ++i)
        text += (i == 0 ? "" : ", ") + names[i];
    if (names.size() > kShownNames)
        text += FormatText(" and %zu more", names.size() - kShownNames);
    return text;
}

std::vector<std::string> DescribeShortfalls(const Diff& diff) {
    std::vector<std::string> lines;
    for (const Shortfall& shortfall : diff.shortfalls)
        if (!shortfall.names.empty())
            lines.push_back(FormatText("%zu %s: ", shortfall.names.size(), shortfall.what) +
                            FirstNames(shortfall.names));
    return lines;
}

void PrintSummary(const DiffOptions& options, const Diff& diff, const PackageLocation& written) {
    size_t subFiles = 0;
    u64 carried = 0;
    for (const PackagePak& pak : diff.contents.paks)
        for (const PackageFile& file : pak.files) {
            ++subFiles;
            carried += file.size;
        }
    for (const PackageFile& file : diff.contents.looseFiles)
        carried += file.size;
    printf("wrote %s: %zu record(s): %zu sub-file(s) of %zu archive(s), %zu loose file(s)\n",
           options.output.c_str(), subFiles + diff.contents.looseFiles.size(), subFiles,
           diff.contents.paks.size(), diff.contents.looseFiles.size());
    printf("carried %llu bytes, compressed to %llu bytes (installer %llu bytes)\n",
           static_cast<unsigned long long>(carried),
           static_cast<unsigned long long>(written.compressedSize),
           static_cast<unsigned long long>(written.fileSize));
    printf("left out as equal: %u loose file(s), %u sub-file(s), %u whole archive(s)\n",
           diff.equalFiles, diff.equalSubFiles, diff.equalArchives);
    if (!diff.emptyArchives.empty())
        printf("new empty archive(s) carried as whole files (the installer does not create an "
               "archive without records): %s\n",
               FirstNames(diff.emptyArchives).c_str());
    if (!diff.retimedFiles.empty())
        printf("equal file(s) whose time differs, left out with OLD's time: %zu: %s\n",
               diff.retimedFiles.size(), FirstNames(diff.retimedFiles).c_str());
    const std::vector<std::string> shortfalls = DescribeShortfalls(diff);
    if (shortfalls.empty())
        printf("the installer expresses every difference between the trees\n");
    for (const std::string& line : shortfalls)
        fprintf(stderr, "mkpatch: warning: %s\n", line.c_str());
}

void RequireDirectory(const std::string& dir) {
    std::error_code error;
    if (!fs::is_directory(PathOf(dir), error))
        ThrowToolError(kExitUsageOrIo, "no directory at " + dir);
}

} // namespace

int RunDiff(const DiffOptions& options) {
    RequireDirectory(options.oldDir);
    RequireDirectory(options.newDir);
    const Tree old = ScanTree(options.oldDir);
    const Tree fresh = ScanTree(options.newDir);
    Diff diff = Compare(old, fresh);
    const std::vector<std::string> shortfalls = DescribeShortfalls(diff);
    if (options.strict && !shortfalls.empty()) {
        std::string message = "--strict: the package cannot express everything:";
        for (const std::string& line : shortfalls)
            message += "\n  " + line;
        ThrowToolError(kExitBadInput, message);
    }
    std::vector<SourceNote> notes = diff.pakNotes;
    notes.insert(notes.end(), diff.looseNotes.begin(), diff.looseNotes.end());
    const PackageLocation written = WriteInstaller(options.stub, options.output, options.level,
                                                   options.signing, diff.contents, &notes);
    PrintSummary(options, diff, written);
    return kExitOk;
}

} // namespace mkpatch
