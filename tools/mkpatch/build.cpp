// `mkpatch build`: gathers loose files and pak sub-files from directories and
// archives, then streams them into an installer with WritePackage.
#include "mkpatch.h"

#include "patch/package.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <set>

namespace fs = std::filesystem;

namespace mkpatch {
namespace {

void AddLooseFiles(const std::string& dir, PackageContents* contents,
                   std::vector<SourceNote>* notes) {
    std::set<std::string> seen;
    for (const FoundFile& found : ListFiles(dir)) {
        std::string name = GameRecordName(found);
        CheckUnique(&seen, name, dir);
        contents->looseFiles.push_back(DescribeFile(found, name));
        notes->push_back({nullptr, found.path, false});
    }
}

std::string CheckedPakName(const std::string& given) {
    std::string name = given;
    std::replace(name.begin(), name.end(), '/', '\\');
    name = ToAcp(name, "the archive name");
    const std::string why = WhyNotAGameName(name.c_str());
    if (!why.empty())
        ThrowToolError(kExitUsageOrIo,
                       "the archive name " + given +
                           " is not a path Windows keeps in the game directory: " + ToUtf8(why));
    if (!HasPakExtension(name.c_str()))
        ThrowToolError(kExitUsageOrIo, "the archive name " + given + " does not end in \".pak\"");
    // Kept as spelt: the installer opens and creates the archive under this
    // very name (lower-casing bytes would also change double-byte characters
    // whose second byte is a capital letter, and so move the archive).
    return name;
}

// Sub-files stored unchanged, named as the archive files them: lower case.
void AddPakFromDirectory(const std::string& dir, PackagePak* pak, std::vector<SourceNote>* notes) {
    std::set<std::string> seen;
    for (const FoundFile& found : ListFiles(dir)) {
        std::string name = LowerCased(RecordName(found.relative, "the file name"));
        CheckUniqueSubFile(&seen, name, dir);
        pak->files.push_back(DescribeFile(found, name));
        notes->push_back({nullptr, found.path, false});
    }
}

// Sub-files taken from an archive exactly as it stores them.
void AddPakFromArchive(const std::string& archive, PackagePak* pak,
                       std::vector<SourceNote>* notes) {
    std::set<std::string> seen;
    for (const ArchiveEntry& entry : ReadSourceArchive(archive)) {
        PackageFile file = DescribeSubFile(archive, entry);
        CheckUniqueSubFile(&seen, file.name, archive);
        pak->files.push_back(file);
        notes->push_back({nullptr, archive, true});
    }
}

void AddPak(const PakOption& option, std::set<std::string>* pakNames, PackageContents* contents,
            std::vector<SourceNote>* notes) {
    PackagePak pak;
    pak.name = CheckedPakName(option.name);
    if (!pakNames->insert(FoldGameName(pak.name)).second)
        ThrowToolError(kExitUsageOrIo, "the archive " + option.name + " is given twice");
    std::error_code error;
    fs::file_status status = fs::status(PathOf(option.source), error);
    if (fs::is_directory(status))
        AddPakFromDirectory(option.source, &pak, notes);
    else if (fs::is_regular_file(status))
        AddPakFromArchive(option.source, &pak, notes);
    else
        ThrowToolError(kExitUsageOrIo, "no directory or archive at " + option.source);
    pak.stamp = ModificationTime(option.source);
    contents->paks.push_back(std::move(pak));
}

void PrintSummary(const BuildOptions& options, const PackageContents& contents,
                  const PackageLocation& written) {
    size_t subFiles = 0;
    for (const PackagePak& pak : contents.paks)
        subFiles += pak.files.size();
    printf("wrote %s: %zu archive(s) with %zu sub-file(s), %zu loose file(s); %u bytes "
           "(stub %u, package %u",
           options.output.c_str(), contents.paks.size(), subFiles, contents.looseFiles.size(),
           written.fileSize, written.trailer.payloadStart,
           written.compressedSize + kPatchTrailerSize);
    if (written.certificateSize != 0)
        printf(", signature %u", written.certificateSize);
    printf(")\n");
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
    const PackageLocation written = WriteInstaller(options.stub, options.output, options.level,
                                                   options.signing, contents, &notes);
    PrintSummary(options, contents, written);
    return kExitOk;
}

} // namespace mkpatch
