// `mkpatch diff`: the smallest installer that turns each of the game trees
// OLD into NEW. Files are matched by their exact relative paths (as records
// name them: code page 936, '\' separated). Loose files are compared by
// content; archives by their sub-files, the way the installer compares them
// (stored digest and method, under the lower-case name the record carries).
// With several OLD trees the package carries, once, every record that any of
// them needs: the installer skips what a tree already holds, so each tree
// gets its own changes and no other. What only an OLD tree has cannot be
// expressed, since a package cannot delete anything: it is reported for that
// tree, and with --strict refused.
#include "mkpatch.h"

#include "patch/package.h"
#include "patch/report.h"
#include "patch/sub_file_match.h"
#include "size_report.h"

#include <algorithm>
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

// What the package cannot express, by kind.
enum ShortfallKind {
    kOldOnlyFiles,
    kOldOnlyArchives,
    kOldOnlySubFiles,
    kCaseOnly,
    kIndexFieldsOnly,
    kShortfallKinds
};

const char* const kShortfallTexts[kShortfallKinds] = {
    "loose file(s) only in OLD, which a patch cannot delete",
    "archive(s) only in OLD, which a patch cannot delete",
    "sub-file(s) only in OLD's archives, which a patch cannot delete",
    "name(s) only in OLD that differ from a NEW name in letter case only; the file keeps OLD's "
    "spelling",
    "sub-file(s) that differ from OLD's only in original size, original digest or stamp, which "
    "the installer does not compare and so keeps as they are",
};

// Why an OLD tree needs a record of NEW: it lacks the file or sub-file under
// that exact name, or holds other bytes there. Ordered: a record that one
// tree lacks and another holds otherwise counts as changed.
enum class Need : unsigned char { None, New, Changed };

struct NewArchive {
    FoundFile found;
    std::string name; // the pak record's
    FILETIME stamp = {0, 0};
    std::vector<PackageFile> subFiles; // as the archive stores them
    std::set<std::string> lowerNames;  // of the sub-files
    // New and without sub-files in some OLD tree: it travels as a whole file,
    // since the installer does not even open a pak record without records.
    // The file then replaces the archive in every tree that holds one.
    bool whole = false;
};

struct NewLooseFile {
    FoundFile found;
    std::string name; // the record's
    bool wholeArchive = false;
    PackageFile file; // described once it is known to be carried
};

// NEW, read once. The whole archives come first among the loose files.
struct NewTree {
    Tree tree;
    std::vector<NewArchive> archives;
    std::vector<NewLooseFile> loose;
};

// Which of NEW's records a tree needs, by their places in NewTree.
struct Needs {
    std::vector<std::vector<Need>> subFiles; // per archive, per sub-file
    std::vector<Need> loose;
};

// One OLD tree against NEW.
struct Version {
    std::string dir;
    Needs needs;
    std::vector<bool> retimed;      // per loose file: equal bytes, another time
    std::vector<bool> holdsArchive; // per archive of NEW
    std::vector<std::string> shortfalls[kShortfallKinds]; // UTF-8 names
    // The size of an installer for this tree alone.
    u64 installerSize = 0;
};

// A package, and for each record in package order where its bytes come from
// and why it is carried.
struct Package {
    PackageContents contents;
    std::vector<SourceNote> notes;
    std::vector<CarriedRecord> records;
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

const FoundFile* Find(const std::map<std::string, FoundFile>& files, const std::string& relative) {
    const auto found = files.find(relative);
    return found == files.end() ? nullptr : &found->second;
}

NewArchive ReadNewArchive(const FoundFile& found, bool lackedBySome) {
    NewArchive archive;
    archive.found = found;
    const std::vector<ArchiveEntry> entries = ReadCheckedArchive(found.path);
    archive.name = GameRecordName(found);
    archive.whole = lackedBySome && entries.empty();
    if (archive.whole)
        return archive;
    archive.stamp = ModificationTime(found.path);
    for (const ArchiveEntry& entry : entries) {
        archive.subFiles.push_back(DescribeSubFile(found.path, entry));
        CheckUniqueSubFile(&archive.lowerNames, archive.subFiles.back().name, found.path);
    }
    return archive;
}

NewTree ReadNewTree(const std::string& dir, const std::vector<Tree>& olds) {
    NewTree fresh;
    fresh.tree = ScanTree(dir);
    for (const auto& [relative, found] : fresh.tree.archives) {
        // (A structured binding cannot be captured in C++17.)
        const auto& name = relative;
        const bool lacked = std::any_of(olds.begin(), olds.end(), [&](const Tree& old) {
            return old.archives.count(name) == 0;
        });
        fresh.archives.push_back(ReadNewArchive(found, lacked));
        if (fresh.archives.back().whole)
            fresh.loose.push_back({found, fresh.archives.back().name, true, {}});
    }
    for (const auto& [relative, found] : fresh.tree.loose)
        fresh.loose.push_back({found, GameRecordName(found), false, {}});
    return fresh;
}

// The sub-files of NEW's archive that the installer would find missing or
// different in the OLD tree's: the record's lower-case name looked up
// exactly, as the job looks it up.
std::vector<Need> DiffSubFiles(const NewArchive& archive, const FoundFile* held, Version* version) {
    std::vector<ArchiveEntry> oldEntries;
    if (held)
        oldEntries = ReadCheckedArchive(held->path);
    std::map<std::string, const ArchiveEntry*> oldByName;
    for (const ArchiveEntry& entry : oldEntries)
        oldByName[entry.name] = &entry;
    const std::string& relative = archive.found.relative;
    std::vector<Need> needs;
    for (const PackageFile& file : archive.subFiles) {
        const auto old = oldByName.find(file.name);
        Need need = old == oldByName.end() ? Need::New : Need::Changed;
        if (need == Need::Changed &&
            SameStoredSubFile(old->second->storedMd5, old->second->index.method, file.storedMd5,
                              file.method)) {
            need = Need::None;
            if (!SameIndexFields(*old->second, file))
                version->shortfalls[kIndexFieldsOnly].push_back(relative + ": " +
                                                                ToUtf8(file.name));
        }
        needs.push_back(need);
    }
    // A rewrite files every name in lower case, so an old name survives
    // unless a new one matches it in that spelling.
    for (const ArchiveEntry& entry : oldEntries)
        if (archive.lowerNames.count(LowerCased(entry.name)) == 0)
            version->shortfalls[kOldOnlySubFiles].push_back(relative + ": " + ToUtf8(entry.name));
    return needs;
}

Need DiffLooseFile(const NewLooseFile& fresh, const FoundFile* held, bool* retimed) {
    if (!held)
        return Need::New;
    if (!SameContents(held->path, fresh.found.path))
        return Need::Changed;
    *retimed =
        StampValue(ModificationTime(held->path)) != StampValue(ModificationTime(fresh.found.path));
    return Need::None;
}

void NoteOldOnly(const std::map<std::string, FoundFile>& oldFiles, const Tree& fresh,
                 const std::map<std::string, FoundFile>& newFiles, ShortfallKind kind,
                 Version* version) {
    for (const auto& [relative, found] : oldFiles) {
        if (newFiles.count(relative) != 0)
            continue;
        const bool caseOnly =
            fresh.folded.count(FoldGameName(RecordName(relative, "the file name"))) != 0;
        version->shortfalls[caseOnly ? kCaseOnly : kind].push_back(relative);
    }
}

Version CompareVersion(const Tree& old, const NewTree& fresh, StepProgress* progress) {
    Version version;
    version.dir = old.root;
    for (const NewArchive& archive : fresh.archives) {
        const FoundFile* held = Find(old.archives, archive.found.relative);
        version.holdsArchive.push_back(held != nullptr);
        version.needs.subFiles.push_back(archive.whole ? std::vector<Need>()
                                                       : DiffSubFiles(archive, held, &version));
        progress->Step();
    }
    for (const NewLooseFile& file : fresh.loose) {
        bool retimed = false;
        const FoundFile* held =
            Find(file.wholeArchive ? old.archives : old.loose, file.found.relative);
        version.needs.loose.push_back(DiffLooseFile(file, held, &retimed));
        version.retimed.push_back(retimed);
        if (!file.wholeArchive)
            progress->Step();
    }
    NoteOldOnly(old.loose, fresh.tree, fresh.tree.loose, kOldOnlyFiles, &version);
    NoteOldOnly(old.archives, fresh.tree, fresh.tree.archives, kOldOnlyArchives, &version);
    return version;
}

Needs Union(const std::vector<Version>& versions) {
    Needs all = versions.front().needs;
    for (const Version& version : versions) {
        for (size_t a = 0; a < all.subFiles.size(); ++a)
            for (size_t s = 0; s < all.subFiles[a].size(); ++s)
                all.subFiles[a][s] = std::max(all.subFiles[a][s], version.needs.subFiles[a][s]);
        for (size_t i = 0; i < all.loose.size(); ++i)
            all.loose[i] = std::max(all.loose[i], version.needs.loose[i]);
    }
    return all;
}

// Whether two trees need the same records, for whatever reasons.
bool SameRecords(const Needs& a, const Needs& b) {
    auto carried = [](const std::vector<Need>& needs) {
        std::vector<bool> flags;
        for (Need need : needs)
            flags.push_back(need != Need::None);
        return flags;
    };
    for (size_t i = 0; i < a.subFiles.size(); ++i)
        if (carried(a.subFiles[i]) != carried(b.subFiles[i]))
            return false;
    return carried(a.loose) == carried(b.loose);
}

Carried Reason(Need need) {
    return need == Need::Changed ? Carried::Changed : Carried::New;
}

// Loose files are read whole to be described: only those carried are.
void DescribeCarried(const Needs& carried, NewTree* fresh) {
    for (size_t i = 0; i < fresh->loose.size(); ++i)
        if (carried.loose[i] != Need::None)
            fresh->loose[i].file = DescribeFile(fresh->loose[i].found, fresh->loose[i].name);
}

Package Gather(const NewTree& fresh, const Needs& needs) {
    Package package;
    for (size_t a = 0; a < fresh.archives.size(); ++a) {
        const NewArchive& archive = fresh.archives[a];
        PackagePak pak;
        pak.name = archive.name;
        pak.stamp = archive.stamp;
        for (size_t s = 0; s < archive.subFiles.size(); ++s) {
            const Need need = needs.subFiles[a][s];
            if (need == Need::None)
                continue;
            const PackageFile& file = archive.subFiles[s];
            pak.files.push_back(file);
            package.notes.push_back({nullptr, archive.found.path, true});
            package.records.push_back({archive.name, file.name, file.size, Reason(need)});
        }
        if (!pak.files.empty())
            package.contents.paks.push_back(std::move(pak));
    }
    for (size_t i = 0; i < fresh.loose.size(); ++i) {
        if (needs.loose[i] == Need::None)
            continue;
        const PackageFile& file = fresh.loose[i].file;
        package.contents.looseFiles.push_back(file);
        package.notes.push_back({nullptr, fresh.loose[i].found.path, false});
        package.records.push_back({"", file.name, file.size, Reason(needs.loose[i])});
    }
    return package;
}

// What a diff of this tree alone would carry: the same, but for a whole
// archive that the tree holds, which alone it would compare by sub-files
// (and so find nothing to carry, the new one having none).
Needs OwnNeeds(const Version& version, const NewTree& fresh) {
    Needs own = version.needs;
    for (size_t i = 0; i < fresh.loose.size(); ++i)
        if (fresh.loose[i].wholeArchive && own.loose[i] != Need::New)
            own.loose[i] = Need::None;
    return own;
}

// The size of an installer for each OLD tree alone: its own package through
// the same deflater at the same level, the bytes only counted. That costs a
// compression of each tree's package, never more than the one written; a
// tree that needs every record carried would get this very installer.
void MeasureVersions(const DiffOptions& options, const NewTree& fresh, const Needs& carried,
                     const PackageLocation& written, std::vector<Version>* versions) {
    for (Version& version : *versions) {
        const Needs own = OwnNeeds(version, fresh);
        if (SameRecords(own, carried)) {
            version.installerSize = written.trailerStart + kPatchTrailerSize; // unsigned
            continue;
        }
        Package alone = Gather(fresh, own);
        version.installerSize =
            MeasureInstallerSize(options.stub, options.level, alone.contents, &alone.notes);
    }
}

// What the installer does to one OLD tree, in the dry run's words.
struct Changes {
    u32 filesCreated = 0, filesReplaced = 0, filesRetimed = 0;
    u32 archivesCreated = 0, archivesRewritten = 0, subFilesAdded = 0, subFilesReplaced = 0;
    std::vector<std::string> keptTimes; // equal bytes, another time, not carried
};

Changes ChangesOf(const Version& version, const NewTree& fresh, const Needs& carried) {
    Changes changes;
    for (size_t a = 0; a < fresh.archives.size(); ++a) {
        const std::vector<Need>& needs = version.needs.subFiles[a];
        const u32 added = static_cast<u32>(std::count(needs.begin(), needs.end(), Need::New));
        const u32 replaced =
            static_cast<u32>(std::count(needs.begin(), needs.end(), Need::Changed));
        changes.subFilesAdded += added;
        changes.subFilesReplaced += replaced;
        if (added + replaced != 0)
            ++(version.holdsArchive[a] ? changes.archivesRewritten : changes.archivesCreated);
    }
    for (size_t i = 0; i < fresh.loose.size(); ++i) {
        const Need need = version.needs.loose[i];
        changes.filesCreated += need == Need::New;
        changes.filesReplaced += need == Need::Changed;
        if (need != Need::None || !version.retimed[i])
            continue;
        if (carried.loose[i] != Need::None)
            ++changes.filesRetimed; // rewritten for another tree: it gets NEW's time
        else
            changes.keptTimes.push_back(fresh.loose[i].found.relative);
    }
    return changes;
}

// What the summary tells, as text or JSON.
struct Totals {
    size_t subFiles = 0;
    u64 carriedBytes = 0;
    u32 equalFiles = 0, equalSubFiles = 0, equalArchives = 0;
    std::vector<std::string> wholeArchives;
    u64 installerSize = 0, compressedSize = 0;
    std::vector<Changes> changes; // per OLD tree
};

Totals TotalsOf(const NewTree& fresh, const Needs& carried, const Package& package,
                const std::vector<Version>& versions, const PackageLocation& written) {
    Totals totals;
    totals.installerSize = written.fileSize;
    totals.compressedSize = written.compressedSize;
    for (const Version& version : versions)
        totals.changes.push_back(ChangesOf(version, fresh, carried));
    for (const CarriedRecord& record : package.records) {
        totals.subFiles += !record.archive.empty();
        totals.carriedBytes += record.size;
    }
    for (size_t a = 0; a < fresh.archives.size(); ++a) {
        const std::vector<Need>& needs = carried.subFiles[a];
        const u32 equal = static_cast<u32>(std::count(needs.begin(), needs.end(), Need::None));
        totals.equalSubFiles += equal;
        if (fresh.archives[a].whole)
            totals.wholeArchives.push_back(fresh.archives[a].found.relative);
        else
            totals.equalArchives += equal == needs.size();
    }
    for (size_t i = 0; i < fresh.loose.size(); ++i)
        totals.equalFiles += carried.loose[i] == Need::None;
    return totals;
}

std::string FirstNames(const std::vector<std::string>& names) {
    std::string text;
    for (size_t i = 0; i < names.size() && i < kShownNames; ++i)
        text += (i == 0 ? "" : ", ") + names[i];
    if (names.size() > kShownNames)
        text += FormatText(" and %zu more", names.size() - kShownNames);
    return text;
}

std::vector<std::string> DescribeShortfalls(const Version& version) {
    std::vector<std::string> lines;
    for (size_t kind = 0; kind < kShortfallKinds; ++kind)
        if (!version.shortfalls[kind].empty())
            lines.push_back(
                FormatText("%zu %s: ", version.shortfalls[kind].size(), kShortfallTexts[kind]) +
                FirstNames(version.shortfalls[kind]));
    return lines;
}

// Every shortfall, each line naming its tree when there are several.
std::vector<std::string> AllShortfalls(const std::vector<Version>& versions) {
    std::vector<std::string> lines;
    for (const Version& version : versions)
        for (const std::string& line : DescribeShortfalls(version))
            lines.push_back(versions.size() == 1 ? line : version.dir + ": " + line);
    return lines;
}

void PrintVersion(const Version& version, const Changes& changes) {
    printf("OLD tree %s:\n", version.dir.c_str());
    printf("  files: %u to create, %u to replace, %u to retime (same bytes, NEW's time)\n",
           changes.filesCreated, changes.filesReplaced, changes.filesRetimed);
    printf("  archives: %u to create, %u to rewrite; sub-files: %u to add, %u to replace\n",
           changes.archivesCreated, changes.archivesRewritten, changes.subFilesAdded,
           changes.subFilesReplaced);
    printf("  an installer for this tree alone: %llu bytes\n",
           static_cast<unsigned long long>(version.installerSize));
    if (!changes.keptTimes.empty())
        printf("  equal file(s) whose time differs, left out with this tree's time: %zu: %s\n",
               changes.keptTimes.size(), FirstNames(changes.keptTimes).c_str());
    const size_t shortfalls = DescribeShortfalls(version).size();
    if (shortfalls != 0)
        printf("  %zu kind(s) of difference the package cannot express (see the warnings)\n",
               shortfalls);
}

void PrintText(const DiffOptions& options, const Package& package,
               const std::vector<Version>& versions, const Totals& totals) {
    const bool several = versions.size() > 1;
    printf("wrote %s: %zu record(s): %zu sub-file(s) of %zu archive(s), %zu loose file(s)\n",
           options.output.c_str(), package.records.size(), totals.subFiles,
           package.contents.paks.size(), package.contents.looseFiles.size());
    printf("carried %llu bytes, compressed to %llu bytes (installer %llu bytes)\n",
           static_cast<unsigned long long>(totals.carriedBytes),
           static_cast<unsigned long long>(totals.compressedSize),
           static_cast<unsigned long long>(totals.installerSize));
    printf("left out as equal%s: %u loose file(s), %u sub-file(s), %u whole archive(s)\n",
           several ? " in every OLD tree" : "", totals.equalFiles, totals.equalSubFiles,
           totals.equalArchives);
    if (!totals.wholeArchives.empty())
        printf("new empty archive(s) carried as whole files (the installer does not create an "
               "archive without records): %s\n",
               FirstNames(totals.wholeArchives).c_str());
    for (size_t k = 0; k < versions.size(); ++k) {
        const Changes& changes = totals.changes[k];
        if (several)
            PrintVersion(versions[k], changes);
        else if (!changes.keptTimes.empty())
            printf("equal file(s) whose time differs, left out with OLD's time: %zu: %s\n",
                   changes.keptTimes.size(), FirstNames(changes.keptTimes).c_str());
    }
    if (AllShortfalls(versions).empty())
        printf(several ? "the installer expresses every difference between each OLD tree and NEW\n"
                       : "the installer expresses every difference between the trees\n");
    printf("\n");
    PrintSizeReport(SizeRows(package.records));
}

pitool::Json VersionJson(const Version& version, const Changes& changes) {
    pitool::Json shortfalls = pitool::Json::array();
    for (size_t kind = 0; kind < kShortfallKinds; ++kind)
        if (!version.shortfalls[kind].empty())
            shortfalls.push_back(
                {{"what", kShortfallTexts[kind]}, {"names", version.shortfalls[kind]}});
    return {{"dir", version.dir},
            {"filesToCreate", changes.filesCreated},
            {"filesToReplace", changes.filesReplaced},
            {"filesToRetime", changes.filesRetimed},
            {"archivesToCreate", changes.archivesCreated},
            {"archivesToRewrite", changes.archivesRewritten},
            {"subFilesToAdd", changes.subFilesAdded},
            {"subFilesToReplace", changes.subFilesReplaced},
            {"equalFilesKeepingTheirTime", changes.keptTimes},
            {"shortfalls", shortfalls},
            {"installerSizeAlone", version.installerSize}};
}

void PrintJson(const DiffOptions& options, const Package& package,
               const std::vector<Version>& versions, const Totals& totals) {
    pitool::Json olds = pitool::Json::array();
    for (size_t k = 0; k < versions.size(); ++k)
        olds.push_back(VersionJson(versions[k], totals.changes[k]));
    const pitool::Json document = {{"installer", options.output},
                                   {"size", totals.installerSize},
                                   {"compressedSize", totals.compressedSize},
                                   {"records", package.records.size()},
                                   {"subFiles", totals.subFiles},
                                   {"archives", package.contents.paks.size()},
                                   {"looseFiles", package.contents.looseFiles.size()},
                                   {"carriedBytes", totals.carriedBytes},
                                   {"equalLooseFiles", totals.equalFiles},
                                   {"equalSubFiles", totals.equalSubFiles},
                                   {"equalArchives", totals.equalArchives},
                                   {"wholeArchives", totals.wholeArchives},
                                   {"oldTrees", olds},
                                   {"sizeReport", SizeReportJson(SizeRows(package.records))}};
    printf("%s\n", pitool::JsonText(document).c_str());
}

void RequireDirectory(const std::string& dir) {
    std::error_code error;
    if (!fs::is_directory(PathOf(dir), error))
        ThrowToolError(kExitUsageOrIo, "no directory at " + dir);
}

} // namespace

int RunDiff(const DiffOptions& options) {
    for (const std::string& dir : options.oldDirs)
        RequireDirectory(dir);
    RequireDirectory(options.newDir);
    std::vector<Tree> olds;
    for (const std::string& dir : options.oldDirs)
        olds.push_back(ScanTree(dir));
    NewTree fresh = ReadNewTree(options.newDir, olds);
    std::vector<Version> versions;
    {
        StepProgress progress(olds.size() * (fresh.archives.size() + fresh.tree.loose.size()));
        for (const Tree& old : olds)
            versions.push_back(CompareVersion(old, fresh, &progress));
    }
    const std::vector<std::string> shortfalls = AllShortfalls(versions);
    if (options.strict && !shortfalls.empty()) {
        std::string message = "--strict: the package cannot express everything:";
        for (const std::string& line : shortfalls)
            message += "\n  " + line;
        ThrowToolError(kExitBadInput, message);
    }
    const Needs carried = Union(versions);
    DescribeCarried(carried, &fresh);
    Package package = Gather(fresh, carried);
    const PackageLocation written =
        WriteInstaller(options.stub, options.output, options.level, options.signing,
                       package.contents, &package.notes);
    MeasureVersions(options, fresh, carried, written, &versions);
    const Totals totals = TotalsOf(fresh, carried, package, versions, written);
    (options.json ? PrintJson : PrintText)(options, package, versions, totals);
    for (const std::string& line : shortfalls)
        fprintf(stderr, "mkpatch: warning: %s\n", line.c_str());
    return kExitOk;
}

} // namespace mkpatch
