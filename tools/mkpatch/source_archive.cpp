// Reads the archives of the release engineer's trees (`build --pak
// NAME=ARCHIVE`, both trees of `diff`). They are only read: no backup is
// restored, nothing is created and nothing is logged, so the pak library's
// Open is not used. Any damage stops the tool. mkpatch opens them itself, so
// their paths may hold what code page 936 cannot spell.
#include "mkpatch.h"

#include "crypto/chunk_digest.h"
#include "input_file.h"

#include <algorithm>
#include <cstring>

namespace mkpatch {
namespace {

[[noreturn]] void Damaged(const std::string& path, const std::string& what) {
    ThrowToolError(kExitBadInput, "the archive " + path + " is damaged: " + what);
}

[[noreturn]] void Unreadable(const std::string& path, const std::string& what) {
    ThrowToolError(kExitUsageOrIo, "cannot read the archive " + path + ": " + what);
}

void OpenArchive(pitool::InputFile* file, u32* size) {
    if (!file->Open())
        Unreadable(file->Path(), pitool::ErrorText(file->OpenError()));
    if (file->Size() > 0x7FFFFFFF)
        ThrowToolError(kExitBadInput,
                       "the archive " + file->Path() + " is larger than the installer can handle");
    *size = static_cast<u32>(file->Size());
}

bool DataMatches(pitool::InputFile& file, const ArchiveEntry& entry) {
    if (entry.index.size != 0 && !file.Seek(static_cast<i32>(entry.index.dataOffset)))
        return false;
    u8 digest[16];
    return crypto::Md5OfChunks(
               entry.index.size,
               [&file](u8* buffer, u32 count) { return file.Read(buffer, count); }, digest) &&
           std::memcmp(digest, entry.storedMd5, 16) == 0;
}

} // namespace

std::vector<ArchiveEntry> ReadSourceArchive(const std::string& path) {
    pitool::InputFile file(path);
    u32 size = 0;
    OpenArchive(&file, &size);
    std::vector<ArchiveEntry> entries;
    ArchiveProblem problem;
    if (!ReadArchiveIndex(file, 0, size, &entries, &problem))
        Unreadable(path, problem.what);
    if (problem.damage != ArchiveIntact)
        Damaged(path, ToUtf8(problem.what));
    return entries;
}

// The data lies inside the file (ReadSourceArchive checked it), so a failed
// read is the file's fault only if it shrank meanwhile; either way it does
// not hold what its index says.
void VerifySourceArchive(const std::string& path, const std::vector<ArchiveEntry>& entries) {
    pitool::InputFile file(path);
    u32 size = 0;
    OpenArchive(&file, &size);
    for (const ArchiveEntry& entry : entries)
        if (!DataMatches(file, entry))
            Damaged(path, "the data of the sub-file " + ToUtf8(entry.name) +
                              " does not match its digest");
}

} // namespace mkpatch
