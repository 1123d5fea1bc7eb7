// Gathering records for `build` and `diff`: the files under a directory, and
// loose files and sub-files described as the package carries them.
#include "mkpatch.h"

#include "patch/package.h"

#include <algorithm>
#include <cstring>
#include <filesystem>

namespace fs = std::filesystem;

namespace mkpatch {

std::vector<FoundFile> ListFiles(const std::string& dir) {
    std::error_code error;
    const fs::path root = PathOf(dir);
    fs::recursive_directory_iterator it(root, error);
    if (error)
        ThrowToolError(kExitUsageOrIo,
                       "cannot read the directory " + dir + ": " + pitool::ErrorText(error));
    std::vector<FoundFile> files;
    for (; it != fs::recursive_directory_iterator(); it.increment(error)) {
        if (error)
            ThrowToolError(kExitUsageOrIo,
                           "cannot read the directory " + dir + ": " + pitool::ErrorText(error));
        // Links to directories are not followed, so a loop cannot arise.
        if (it->is_directory(error))
            continue;
        if (!it->is_regular_file(error))
            ThrowToolError(kExitBadInput,
                           Utf8Of(it->path()) + " is neither a regular file nor a directory");
        files.push_back(
            {it->path().lexically_relative(root).generic_u8string(), Utf8Of(it->path())});
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

std::string GameRecordName(const FoundFile& found) {
    const std::string name = RecordName(found.relative, "the file name");
    const std::string why = WhyNotAGameName(name.c_str());
    if (!why.empty())
        ThrowToolError(kExitBadInput, found.path +
                                          " cannot be installed: Windows would not keep its name " +
                                          "in the game directory: " + ToUtf8(why));
    return name;
}

std::string LowerCased(std::string name) {
    LowerCaseBytes(name.data());
    return name;
}

void CheckUnique(std::set<std::string>* seen, const std::string& name, const std::string& where) {
    if (!seen->insert(FoldGameName(name)).second)
        ThrowToolError(kExitBadInput,
                       where + ": two names differ only in letter case: " + ToUtf8(name));
}

void CheckUniqueSubFile(std::set<std::string>* seen, const std::string& name,
                        const std::string& where) {
    if (!seen->insert(LowerCased(name)).second)
        ThrowToolError(kExitBadInput,
                       where + ": two sub-file names are one in lower case: " + ToUtf8(name));
}

PackageFile DescribeFile(const FoundFile& found, const std::string& name) {
    PackageFile file;
    std::string error;
    if (!DescribePlainFile(PathToAcp(found.path).c_str(), name, &file, &error))
        ThrowToolError(kExitUsageOrIo, ToUtf8(error));
    return file;
}

PackageFile DescribeSubFile(const std::string& archiveUtf8, const ArchiveEntry& entry) {
    if (entry.name.empty() || entry.name.size() >= kPatchNameSize)
        ThrowToolError(kExitBadInput, "the archive " + archiveUtf8 + " holds a sub-file name of " +
                                          std::to_string(entry.name.size()) +
                                          " bytes; a patch record takes 1 to 259");
    PackageFile file;
    // The library files every name in lower case; a record spelt otherwise
    // would never match and would be applied on every run.
    file.name = LowerCased(entry.name);
    file.source.path = PathToAcp(archiveUtf8);
    file.source.offset = entry.index.dataOffset;
    file.size = entry.index.size;
    std::memcpy(file.storedMd5, entry.storedMd5, 16);
    file.originalSize = entry.index.originalSize;
    std::memcpy(file.originalMd5, entry.index.originalMd5, 16);
    file.stamp.dwLowDateTime = entry.index.stampLow;
    file.stamp.dwHighDateTime = entry.index.stampHigh;
    file.method = entry.index.method;
    return file;
}

} // namespace mkpatch
