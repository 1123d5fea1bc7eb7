// Writing with paktool: `extract` to a directory, and `create` and `add`,
// which go through the library's update like any other writer.
#include "paktool.h"

#include "crypto/chunk_digest.h"
#include "input_file.h"
#include "system.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace paktool {
namespace {

std::string Quote(const std::string& text) {
    return "\"" + text + "\"";
}

// Opens through the library; a missing archive is reported rather than
// recovered or created, since reading should not change anything.
PakArchive* OpenForReading(const ArchiveName& archive, i32* error) {
    if (GetFileAttributesA(archive.acp.c_str()) == INVALID_FILE_ATTRIBUTES) {
        const bool backup =
            GetFileAttributesA((archive.acp + ".bak").c_str()) != INVALID_FILE_ATTRIBUTES;
        ThrowToolError(kExitUsageOrIo,
                       archive.display + ": no such archive" +
                           (backup ? " (a backup .bak from an interrupted update is "
                                     "beside it; `paktool add` restores it)"
                                   : ""));
    }
    PakArchive* opened = g_pakManager.Open(archive.acp.c_str(), PakReadOnly, false, error);
    if (opened == nullptr)
        ThrowToolError(*error == PakBadHeader ? kExitDamaged : kExitUsageOrIo,
                       archive.display + (*error == PakBadHeader
                                              ? ": header: not a pak archive"
                                              : ": cannot open or read the archive"));
    return opened;
}

// The sub-file's name as a path below the target directory, or an empty
// path when it would leave that directory.
fs::path SafeRelativePath(const std::string& utf8Name) {
    fs::path relative;
    size_t start = 0;
    while (start <= utf8Name.size()) {
        size_t end = utf8Name.find_first_of("\\/", start);
        if (end == std::string::npos)
            end = utf8Name.size();
        const std::string part = utf8Name.substr(start, end - start);
        if (part.empty() || part == "." || part == ".." || part.find(':') != std::string::npos)
            return fs::path();
        relative /= pitool::PathOf(part);
        start = end + 1;
    }
    return relative;
}

bool WriteSubFile(PakFileEntry* entry, const fs::path& target, std::string* problem) {
    std::error_code ignored;
    fs::create_directories(target.parent_path(), ignored);
    std::ofstream out(target, std::ios::binary | std::ios::trunc);
    if (!out)
        ThrowToolError(kExitUsageOrIo, pitool::Utf8Of(target) + ": cannot create the file");
    auto read = [entry](u8* buffer, u32 count) {
        return g_pakManager.ReadSubFile(entry, buffer, count) == static_cast<i32>(count);
    };
    auto write = [&out](const u8* piece, u32 count) {
        return static_cast<bool>(out.write(reinterpret_cast<const char*>(piece), count));
    };
    g_pakManager.SeekSubFile(entry, 0, 0);
    u8 digest[16];
    const bool copied = crypto::Md5OfChunks(entry->size, read, digest, write);
    g_pakManager.CloseSubFile(entry);
    if (!out.flush())
        ThrowToolError(kExitUsageOrIo, pitool::Utf8Of(target) + ": cannot write the file");
    if (!copied) {
        *problem = "dataOffset " + std::to_string(entry->dataOffset) + " + size " +
                   std::to_string(entry->size) + " cannot be read from the archive";
        return false;
    }
    if (std::memcmp(digest, entry->storedMd5, 16) != 0) {
        *problem = "storedMd5 is " + HexDigest(entry->storedMd5) + " but the data's digest is " +
                   HexDigest(digest) + " (extracted all the same)";
        return false;
    }
    return true;
}

PakFileEntry* FindByCommandLineName(PakArchive* archive, const std::string& utf8) {
    std::string name = ToAcp(utf8, "the sub-file name");
    std::replace(name.begin(), name.end(), '/', '\\');
    if (PakFileEntry* entry = g_pakManager.FindSubFile(archive, name.c_str()))
        return entry;
    LowerCaseBytes(&name[0]);
    return g_pakManager.FindSubFile(archive, name.c_str());
}

// MD5 and length of a file, read once up front: the library checks the
// bytes it copies against this digest.
void DescribeSource(pitool::InputFile& source, PakUpdateItem* item) {
    if (!source.Open())
        ThrowToolError(kExitUsageOrIo, source.Path() + ": cannot read the file");
    const u64 size = source.Size();
    if (size > 0xFFFFFFF0u)
        ThrowToolError(kExitUsageOrIo, source.Path() + ": the file exceeds 4 GiB");
    auto read = [&source](u8* buffer, u32 count) { return source.Read(buffer, count); };
    if (!crypto::Md5OfChunks(size, read, item->storedMd5))
        ThrowToolError(kExitUsageOrIo,
                       source.Path() + ": cannot read the file (did it change meanwhile?)");
    std::memcpy(item->originalMd5, item->storedMd5, 16);
    item->size = item->originalSize = static_cast<u32>(size);
}

// The library reads the file through `source`, which paktool opens itself:
// only the sub-file's name must be spelt in GBK, not the file's path.
PakUpdateItem MakeItem(const std::string& utf8Name, pitool::InputFile* source) {
    PakUpdateItem item;
    std::memset(&item, 0, sizeof item);
    std::string name = ToAcp(utf8Name, "the sub-file name");
    std::replace(name.begin(), name.end(), '/', '\\');
    if (name.size() > kPakMaxNameLength)
        ThrowToolError(kExitUsageOrIo, Quote(utf8Name) + ": names have at most 259 bytes in GBK");
    std::memcpy(item.name, name.c_str(), name.size() + 1);
    item.source = source;
    DescribeSource(*source, &item);
    const FILETIME stamp = pitool::ModificationTime(source->Path());
    item.stampLow = stamp.dwLowDateTime;
    item.stampHigh = stamp.dwHighDateTime;
    return item;
}

class ProgressBar : public IPackEventHandle {
  public:
    explicit ProgressBar(bool shown) : m_shown(shown) {}
    void OnProgress(u32 done, u32 total) override {
        if (!m_shown)
            return;
        const u32 width = 40;
        const u32 filled = total ? static_cast<u32>(static_cast<u64>(done) * width / total) : width;
        std::fprintf(stderr, "\r[%s%s] %u/%u", std::string(filled, '#').c_str(),
                     std::string(width - filled, ' ').c_str(), done, total);
        if (done == total)
            std::fprintf(stderr, "\n");
    }

  private:
    bool m_shown;
};

int WriteArchive(const ArchiveName& archive, const std::vector<PakUpdateItem>& items) {
    i32 error = PakOk;
    PakArchive* opened = g_pakManager.Open(archive.acp.c_str(), PakReadWrite, false, &error);
    if (opened == nullptr && error == PakIndexDamaged)
        ThrowToolError(kExitDamaged, archive.display + ": index: damaged; rewriting it would lose "
                                                       "sub-files (see paktool verify)");
    if (opened == nullptr)
        ThrowToolError(error == PakBadHeader ? kExitDamaged : kExitUsageOrIo,
                       archive.display + (error == PakBadHeader
                                              ? ": header: not a pak archive"
                                              : ": cannot open or create the archive"));
    ProgressBar bar(pitool::IsTerminal(stderr));
    g_pakManager.SetEventHandler(&bar);
    const std::string tempName = archive.acp + ".tmp";
    const bool written = g_pakManager.Update(opened, items.data(), static_cast<u32>(items.size()),
                                             "", tempName.c_str(), true);
    g_pakManager.SetEventHandler(nullptr);
    if (!written)
        ThrowToolError(kExitUsageOrIo, archive.display +
                                           ": writing the archive failed (a source changed "
                                           "while it was read, or a file operation failed; "
                                           "see paktool.log beside paktool)");
    std::fprintf(stderr, "%s: %zu sub-files written\n", archive.display.c_str(), items.size());
    return kExitOk;
}

} // namespace

int Extract(const std::string& path, const std::vector<std::string>& names,
            const std::string& directory) {
    const fs::path target = Absolute(directory);
    const ArchiveName archive = EnterArchiveDirectory(path);
    i32 error = PakOk;
    PakArchive* opened = OpenForReading(archive, &error);
    int result = kExitOk;
    if (error == PakIndexDamaged) {
        std::fprintf(stderr,
                     "paktool: %s: index: damaged; only the sub-files before the "
                     "damage are extracted (see paktool verify)\n",
                     archive.display.c_str());
        result = kExitDamaged;
    }
    std::vector<PakFileEntry*> chosen;
    for (const std::string& name : names) {
        PakFileEntry* entry = FindByCommandLineName(opened, name);
        if (entry == nullptr) {
            g_pakManager.Close(opened);
            ThrowToolError(kExitUsageOrIo, archive.display + ": no sub-file " + Quote(name));
        }
        chosen.push_back(entry);
    }
    std::vector<std::pair<std::string, PakFileEntry*>> all;
    for (auto& file : opened->files)
        if (names.empty() || std::count(chosen.begin(), chosen.end(), &file.second))
            all.emplace_back(file.first, &file.second);
    std::sort(all.begin(), all.end());
    for (auto& [name, entry] : all) {
        const std::string utf8 = ToUtf8(name);
        const fs::path relative = SafeRelativePath(utf8);
        std::string problem;
        if (relative.empty())
            problem = "the name would leave the target directory; not extracted";
        else if (WriteSubFile(entry, target / relative, &problem))
            continue;
        std::fprintf(stderr, "paktool: %s: sub-file %s: %s\n", archive.display.c_str(),
                     Quote(utf8).c_str(), problem.c_str());
        result = kExitDamaged;
    }
    g_pakManager.Close(opened);
    return result;
}

int Create(const std::string& archive, const std::string& directory) {
    const fs::path source = Absolute(directory);
    std::error_code failure;
    if (!fs::is_directory(source, failure))
        ThrowToolError(kExitUsageOrIo, directory + ": not a directory");
    if (fs::exists(Absolute(archive), failure))
        ThrowToolError(kExitUsageOrIo, archive + ": already exists (use paktool add to change it)");
    std::deque<pitool::InputFile> sources; // read while the archive is written
    std::vector<PakUpdateItem> items;
    for (fs::recursive_directory_iterator it(source, failure), end; it != end;
         it.increment(failure)) {
        if (failure)
            ThrowToolError(kExitUsageOrIo, directory + ": cannot read the directory: " +
                                               pitool::ErrorText(failure));
        if (it->is_regular_file(failure)) {
            sources.emplace_back(pitool::Utf8Of(it->path()));
            items.push_back(MakeItem(it->path().lexically_relative(source).generic_u8string(),
                                     &sources.back()));
        }
    }
    if (failure)
        ThrowToolError(kExitUsageOrIo,
                       directory + ": cannot read the directory: " + pitool::ErrorText(failure));
    return WriteArchive(EnterArchiveDirectory(archive), items);
}

int Add(const std::string& archive, const std::vector<std::string>& files) {
    std::deque<pitool::InputFile> sources; // read while the archive is written
    std::vector<PakUpdateItem> items;
    for (const std::string& file : files) {
        std::string name, path = file;
        const size_t equals = path.find('=');
        std::error_code ignored;
        if (equals != std::string::npos && !fs::exists(Absolute(path), ignored)) {
            name = path.substr(0, equals);
            path = path.substr(equals + 1);
        }
        const fs::path absolute = Absolute(path);
        if (!fs::is_regular_file(absolute, ignored))
            ThrowToolError(kExitUsageOrIo, path + ": not a regular file");
        sources.emplace_back(pitool::Utf8Of(absolute));
        items.push_back(
            MakeItem(name.empty() ? pitool::Utf8Of(absolute.filename()) : name, &sources.back()));
    }
    return WriteArchive(EnterArchiveDirectory(archive), items);
}

} // namespace paktool
