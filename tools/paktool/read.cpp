// Reading archives for paktool: `list` and `verify`, and the helpers the
// other commands share.
#include "paktool.h"

#include "crypto/crypto.h"
#include "crypto/md5_pipeline.h"
#include "json_output.h"
#include "pak/pak_reader.h"
#include "system.h"

#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>

namespace fs = std::filesystem;

namespace paktool {
namespace {

const fs::path g_startDirectory = fs::current_path();

std::string Quote(const std::string& text) {
    return "\"" + text + "\"";
}

std::string Describe(const ArchiveName& archive, const std::string& entry) {
    return archive.display + ": " + entry;
}

// What a reader of the damaged index keeps: nothing at all, or the entries
// before the damaged one; the checks only a rewrite makes lose nothing.
std::string IndexProblemText(const PakIndexProblem& problem, const Inspection& inspection) {
    const std::string text = DescribePakIndexProblem(problem, inspection.header.fileCount);
    switch (problem.fault) {
    case PakIndexUnaligned:
    case PakIndexTableOverrun:
        return text + "; no entry can be trusted";
    case PakIndexNameOffset:
    case PakIndexNameSpan:
    case PakIndexLastName:
        return text + "; this and the later entries are lost";
    default:
        return text + "; the installer will not rewrite this archive";
    }
}

bool ReadAt(FileStream& stream, u32 offset, void* buffer, u32 count) {
    if (offset > 0x7FFFFFFFu)
        return false;
    stream.Seek(static_cast<i32>(offset));
    return count == 0 || stream.Read(buffer, count);
}

} // namespace

std::string ToAcp(const std::string& utf8, const std::string& what) {
    return pitool::ToAcp(utf8, what, kExitUsageOrIo);
}

std::string FormatStamp(u32 low, u32 high) {
    const u64 ticks = (static_cast<u64>(high) << 32) | low;
    constexpr u64 kUnixEpoch = 116444736000000000ull; // 1970 in FILETIME ticks
    if (ticks < kUnixEpoch)
        return ticks == 0 ? "-" : "before 1970";
    return pitool::FormatFileTime(ticks);
}

fs::path Absolute(const std::string& utf8Path) {
    return (g_startDirectory / pitool::PathOf(utf8Path)).lexically_normal();
}

ArchiveName EnterArchiveDirectory(const std::string& utf8Path) {
    const fs::path path = Absolute(utf8Path);
    ArchiveName archive{utf8Path, pitool::LibraryPath(pitool::Utf8Of(path.filename()),
                                                      "the archive name", kExitUsageOrIo)};
    std::error_code error;
    fs::current_path(path.parent_path(), error);
    if (error)
        ThrowToolError(kExitUsageOrIo,
                       utf8Path + ": cannot enter its directory: " + pitool::ErrorText(error));
    return archive;
}

Inspection Inspect(const ArchiveName& archive) {
    Inspection inspection;
    FileStream stream;
    if (!stream.Open(archive.acp.c_str(), OpenRead))
        ThrowToolError(kExitUsageOrIo, archive.display + ": cannot open the archive");
    inspection.fileSize = stream.GetSize();
    PakIndexReader reader;
    PakHeaderState state;
    if (reader.ReadHeader(stream, 0, inspection.fileSize, &state) != PakIndexReader::Result::Read)
        ThrowToolError(kExitUsageOrIo, archive.display + ": cannot read the header");
    inspection.header = reader.Header();
    inspection.headerOnly = state == PakHeaderState::Empty;
    if (state != PakHeaderState::Whole) {
        if (!inspection.headerOnly)
            inspection.problems.push_back(
                "header: " + DescribePakHeaderState(state, inspection.header, inspection.fileSize));
        return inspection;
    }
    switch (reader.ReadIndex(stream, 0)) {
    case PakIndexReader::Result::Read:
        break;
    case PakIndexReader::Result::NoMemory:
        ThrowToolError(kExitUsageOrIo, archive.display + ": not enough memory for its index of " +
                                           std::to_string(inspection.header.indexSize) + " bytes");
    case PakIndexReader::Result::Unreadable:
        ThrowToolError(kExitUsageOrIo, archive.display + ": cannot read the index");
    }
    PakIndexProblem problem;
    const bool whole = reader.VisitEntries(
        true,
        [&inspection](const PakIndexEntry& fields, std::string_view name) {
            inspection.entries.push_back({std::string(name), fields});
        },
        &problem);
    if (!whole)
        inspection.problems.push_back(IndexProblemText(problem, inspection));
    return inspection;
}

namespace {

// Chunks in flight between the reading thread and the hashing one.
constexpr size_t kVerifyChunkSize = 256 * 1024;
constexpr size_t kVerifyChunkCount = 4;

std::string SubFileLabel(const ListedEntry& entry) {
    return "sub-file " + Quote(ToUtf8(entry.name)) + ": ";
}

std::string RangeProblem(const ListedEntry& entry, u32 fileSize) {
    const PakIndexEntry& fields = entry.fields;
    if (static_cast<u64>(fields.dataOffset) + fields.size <= fileSize)
        return "";
    return SubFileLabel(entry) + "dataOffset " + std::to_string(fields.dataOffset) + " + size " +
           std::to_string(fields.size) + " runs past the end of the file";
}

std::string DigestProblem(const ListedEntry& entry, const u8 digest[16]) {
    if (std::memcmp(digest, entry.fields.storedMd5, 16) == 0)
        return "";
    return SubFileLabel(entry) + "storedMd5 is " + HexDigest(entry.fields.storedMd5) +
           " but the data's digest is " + HexDigest(digest);
}

} // namespace

// One pass over the archive: each sub-file is read in chunks that a second
// thread hashes while the next ones are read. Problems are reported in entry
// order, whenever their digests finish.
void VerifyData(const ArchiveName& archive, const std::vector<ListedEntry>& entries, u32 fileSize,
                std::vector<std::string>* problems) {
    std::vector<std::string> found(entries.size());
    crypto::Md5Pipeline pipeline(kVerifyChunkSize, kVerifyChunkCount);
    if (!pipeline.Ready())
        ThrowToolError(kExitUsageOrIo, archive.display + ": out of memory");
    std::deque<size_t> hashing; // entries whose digests are on their way
    auto settle = [&](bool wait) {
        u8 digest[16];
        while (!hashing.empty() && pipeline.TakeDigest(digest, wait)) {
            found[hashing.front()] = DigestProblem(entries[hashing.front()], digest);
            hashing.pop_front();
        }
    };
    FileStream stream;
    for (size_t i = 0; i < entries.size(); ++i) {
        const PakIndexEntry& fields = entries[i].fields;
        found[i] = RangeProblem(entries[i], fileSize);
        if (!found[i].empty() || fields.size == 0)
            continue; // the reader takes the digest of nothing for empty ones
        if (stream.status == StreamClosed && !stream.Open(archive.acp.c_str(), OpenRead))
            ThrowToolError(kExitUsageOrIo, archive.display + ": cannot open the archive");
        for (u32 done = 0; done < fields.size;) {
            const u32 piece = static_cast<u32>(std::min<u64>(fields.size - done, kVerifyChunkSize));
            u8* chunk = pipeline.Acquire();
            if (!ReadAt(stream, fields.dataOffset + done, chunk, piece))
                ThrowToolError(kExitUsageOrIo, archive.display + ": " + SubFileLabel(entries[i]) +
                                                   "cannot read the data");
            pipeline.Feed(chunk, piece);
            done += piece;
        }
        pipeline.EndDigest();
        hashing.push_back(i);
        settle(false);
    }
    settle(true);
    for (std::string& problem : found)
        if (!problem.empty())
            problems->push_back(std::move(problem));
}

namespace {

// The header and the index entries are packed: their words are taken by
// value, since nlohmann binds references to what it is given.
void PrintJson(const ArchiveName& archive, const Inspection& inspection) {
    const PakHeader& h = inspection.header;
    pitool::Json entries = pitool::Json::array();
    for (const ListedEntry& entry : inspection.entries) {
        const PakIndexEntry& e = entry.fields;
        entries.push_back({{"name", ToUtf8(entry.name)},
                           {"size", u32{e.size}},
                           {"storedSize", u32{e.alignedSize}},
                           {"method", u32{e.method}},
                           {"stamp", FormatStamp(e.stampLow, e.stampHigh)},
                           {"storedMd5", HexDigest(e.storedMd5)},
                           {"originalSize", u32{e.originalSize}},
                           {"originalMd5", HexDigest(e.originalMd5)},
                           {"dataOffset", u32{e.dataOffset}}});
    }
    const pitool::Json document = {{"archive", archive.display},
                                   {"fileSize", inspection.fileSize},
                                   {"header",
                                    {{"version", u32{h.version}},
                                     {"fileCount", u32{h.fileCount}},
                                     {"indexOffset", u32{h.indexOffset}},
                                     {"indexSize", u32{h.indexSize}}}},
                                   {"entries", entries},
                                   {"problems", inspection.problems}};
    std::printf("%s\n", pitool::JsonText(document).c_str());
}

void PrintText(const ArchiveName& archive, const Inspection& inspection) {
    const PakHeader& h = inspection.header;
    std::printf("archive %s: %u bytes", archive.display.c_str(), inspection.fileSize);
    if (inspection.headerOnly)
        std::printf(", header only (an empty archive)\n");
    else
        std::printf(", version %u, fileCount %u, indexOffset %u, indexSize %u\n", h.version,
                    h.fileCount, h.indexOffset, h.indexSize);
    std::printf("%10s %10s %6s  %-19s  %-32s  %s\n", "size", "stored", "method", "stamp (UTC)",
                "storedMd5", "name");
    for (const ListedEntry& entry : inspection.entries) {
        const PakIndexEntry& e = entry.fields;
        std::printf("%10u %10u %6u  %-19s  %s  %s\n", e.size, e.alignedSize, e.method,
                    FormatStamp(e.stampLow, e.stampHigh).c_str(), HexDigest(e.storedMd5).c_str(),
                    ToUtf8(entry.name).c_str());
    }
}

} // namespace

int List(const std::string& path, bool json) {
    const ArchiveName archive = EnterArchiveDirectory(path);
    const Inspection inspection = Inspect(archive);
    json ? PrintJson(archive, inspection) : PrintText(archive, inspection);
    for (const std::string& problem : inspection.problems)
        std::fprintf(stderr, "paktool: %s\n", Describe(archive, problem).c_str());
    return inspection.problems.empty() ? kExitOk : kExitDamaged;
}

int Verify(const std::vector<std::string>& archives) {
    int result = kExitOk;
    size_t damaged = 0;
    for (const std::string& path : archives) {
        Inspection inspection;
        ArchiveName archive;
        try {
            archive = EnterArchiveDirectory(path);
            inspection = Inspect(archive);
            VerifyData(archive, inspection.entries, inspection.fileSize, &inspection.problems);
        } catch (const pitool::ToolError& failure) {
            std::fprintf(stderr, "paktool: %s\n", failure.message.c_str());
            result = kExitUsageOrIo;
            ++damaged;
            continue;
        }
        for (const std::string& problem : inspection.problems)
            std::fprintf(stderr, "paktool: %s\n", Describe(archive, problem).c_str());
        std::printf("%s: %zu sub-files, %s\n", archive.display.c_str(), inspection.entries.size(),
                    inspection.problems.empty()
                        ? "ok"
                        : (std::to_string(inspection.problems.size()) +
                           (inspection.problems.size() == 1 ? " problem" : " problems"))
                              .c_str());
        if (!inspection.problems.empty()) {
            ++damaged;
            if (result == kExitOk)
                result = kExitDamaged;
        }
    }
    if (archives.size() > 1)
        std::printf("%zu of %zu archives ok\n", archives.size() - damaged, archives.size());
    return result;
}

} // namespace paktool
