#include "patch/package_writer.h"

#include "crypto/chunk_digest.h"
#include "patch/block_deflate.h"
#include "patch/package.h"
#include "patch/report.h"
#include "runtime/stream.h"

#include <cstring>
#include <map>
#include <utility>

namespace {

// The installer positions its streams with signed 32-bit offsets.
constexpr u64 kMaxFileSize = 0x7FFFFFFF;
constexpr u32 kPakRecordSize = sizeof(PatchPakRecord);
constexpr u32 kFileRecordSize = sizeof(PatchFileRecord);

bool Failed(std::string* error, const std::string& text) {
    if (error)
        *error = text;
    return false;
}

// The records, and where the bytes of the data area come from, in the order
// they are laid down: each record's bytes once, records with the same bytes
// sharing them.
struct Layout {
    std::vector<PatchPakRecord> paks;
    std::vector<PatchFileRecord> files;
    std::vector<const PackageFile*> sources;
    u64 dataBytes = 0;
    // The sources already laid down, by size and stored digest, with their
    // data offsets: candidates for a record that carries the same bytes.
    std::map<std::pair<u32, std::string>, std::vector<std::pair<const PackageFile*, u32>>> stored;
};

bool CopyName(const std::string& name, const char* what, char (&field)[kPatchNameSize],
              std::string* error) {
    if (name.empty() || name.find('\0') != std::string::npos)
        return Failed(error, FormatText("%s has an empty name or one with a NUL byte", what));
    if (name.size() >= kPatchNameSize) {
        return Failed(error, FormatText("the name of %s is %u bytes long, at most %u fit a "
                                        "record: %s",
                                        what, static_cast<u32>(name.size()), kPatchNameSize - 1,
                                        name.c_str()));
    }
    std::memset(field, 0, sizeof field);
    std::memcpy(field, name.data(), name.size());
    return true;
}

// The installer refuses names that Windows would not keep in the game
// directory; so does the builder, before it writes anything.
bool CheckGameName(const std::string& name, const char* what, std::string* error) {
    const std::string why = WhyNotAGameName(name.c_str());
    if (!why.empty()) {
        return Failed(error, FormatText("%s %s is not a path Windows keeps in the game directory: "
                                        "%s",
                                        what, name.c_str(), why.c_str()));
    }
    return true;
}

bool OpenAt(const PackageFile& file, FileStream* stream) {
    return stream->Open(file.source.path.c_str(), OpenRead) && file.source.offset <= kMaxFileSize &&
           stream->Seek(static_cast<i32>(file.source.offset));
}

// Whether two sources hold the same bytes; a digest alone could be forged.
// A source that cannot be read is not the same: its copy will say why.
bool SameBytes(const PackageFile& a, const PackageFile& b) {
    FileStream first, second;
    if (!OpenAt(a, &first) || !OpenAt(b, &second))
        return false;
    constexpr u32 kChunk = 65536;
    std::vector<u8> one(kChunk), two(kChunk);
    for (u32 left = a.size; left != 0;) {
        const u32 chunk = left < kChunk ? left : kChunk;
        if (!first.Read(one.data(), chunk) || !second.Read(two.data(), chunk) ||
            std::memcmp(one.data(), two.data(), chunk) != 0)
            return false;
        left -= chunk;
    }
    return true;
}

// Where a record's bytes go in the data area: where the same bytes already
// lie, or at the end. Empty records take the end and add nothing.
u32 PlaceData(const PackageFile& file, Layout* layout) {
    const u32 end = static_cast<u32>(layout->dataBytes);
    if (file.size == 0)
        return end;
    auto& candidates =
        layout->stored[{file.size, std::string(reinterpret_cast<const char*>(file.storedMd5), 16)}];
    for (const auto& [stored, offset] : candidates)
        if (SameBytes(*stored, file))
            return offset;
    candidates.push_back({&file, end});
    layout->sources.push_back(&file);
    layout->dataBytes += file.size;
    return end;
}

bool AddFileRecord(const PackageFile& file, bool inPak, Layout* layout, std::string* error) {
    PatchFileRecord record;
    std::memset(&record, 0, sizeof record);
    if (!CopyName(file.name, inPak ? "a sub-file" : "a loose file", record.name, error))
        return false;
    if (!inPak && !CheckGameName(file.name, "the loose file", error))
        return false;
    if (layout->dataBytes > UINT32_MAX)
        return Failed(error, "the data of the package exceeds 4 GiB");
    record.dataOffset = PlaceData(file, layout);
    record.dataSize = file.size;
    std::memcpy(record.storedMd5, file.storedMd5, sizeof record.storedMd5);
    record.originalSize = file.originalSize;
    std::memcpy(record.originalMd5, file.originalMd5, sizeof record.originalMd5);
    record.stamp = file.stamp;
    record.method = inPak ? file.method : 0; // loose files are stored plain
    record.inPak = inPak ? 1 : 0;
    layout->files.push_back(record);
    return true;
}

bool AddPakRecord(const PackagePak& pak, Layout* layout, std::string* error) {
    PatchPakRecord record;
    std::memset(&record, 0, sizeof record);
    if (!CopyName(pak.name, "an archive", record.name, error) ||
        !CheckGameName(pak.name, "the archive", error))
        return false;
    if (!HasPakExtension(pak.name.c_str())) {
        return Failed(error,
                      FormatText("the archive %s does not end in \".pak\"", pak.name.c_str()));
    }
    record.stamp = pak.stamp;
    record.firstRecord = static_cast<u32>(layout->files.size());
    record.recordCount = static_cast<u32>(pak.files.size());
    layout->paks.push_back(record);
    for (const PackageFile& file : pak.files)
        if (!AddFileRecord(file, true, layout, error))
            return false;
    return true;
}

// In-pak records first, grouped per archive in table order; loose records
// after them; data blocks back to back in record order.
bool PlanPackage(const PackageContents& contents, Layout* layout, std::string* error) {
    for (const PackagePak& pak : contents.paks)
        if (!AddPakRecord(pak, layout, error))
            return false;
    for (const PackageFile& file : contents.looseFiles)
        if (!AddFileRecord(file, false, layout, error))
            return false;
    const u64 size = 8 + layout->paks.size() * sizeof(PatchPakRecord) +
                     layout->files.size() * sizeof(PatchFileRecord) + layout->dataBytes;
    if (size > kMaxFileSize) {
        return Failed(error,
                      FormatText("the package would hold %s bytes; the installer handles "
                                 "at most %u",
                                 std::to_string(size).c_str(), static_cast<u32>(kMaxFileSize)));
    }
    return true;
}

// Raw deflate into `out`, compressed on every core; a failed write is
// reported with the system's reason. Without `out` the bytes are only
// counted.
class Deflater {
  public:
    Deflater(FileStream* out, int level, unsigned threads)
        : m_out(out),
          m_blocks(
              level, [this](const u8* data, u32 size) { return Write(data, size); }, threads) {}

    bool Begin(std::string* error) { return m_blocks.Begin(error); }
    bool Add(const void* data, u32 size, std::string* error) {
        return m_blocks.Add(data, size, error) || WriteFailure(error);
    }
    bool Finish(std::string* error) { return m_blocks.Finish(error) || WriteFailure(error); }
    u64 Written() const { return m_blocks.Written(); }

  private:
    bool Write(const u8* data, u32 size) {
        if (m_out == nullptr || m_out->Write(data, size))
            return true;
        m_writeError = "cannot write the installer: " + DescribeSystemError(GetLastError());
        return false;
    }
    bool WriteFailure(std::string* error) {
        if (error && !m_writeError.empty())
            *error = m_writeError;
        return false;
    }

    FileStream* m_out;
    BlockDeflater m_blocks;
    std::string m_writeError;
};

bool OpenStub(const char* stubPath, FileStream& stub, u32* stubSize, std::string* error) {
    if (!stub.Open(stubPath, OpenRead)) {
        const DWORD code = GetLastError();
        return Failed(error, FormatText("cannot open the stub %s: %s", stubPath,
                                        DescribeSystemError(code).c_str()));
    }
    const u32 size = stub.GetSize();
    if (size == 0 || size > kMaxFileSize) {
        return Failed(error,
                      FormatText("the stub %s is empty or too large (%u bytes)", stubPath, size));
    }
    *stubSize = size;
    return true;
}

bool CopyStub(const char* stubPath, FileStream& out, u32* stubSize, std::string* error) {
    FileStream stub;
    u32 size = 0;
    if (!OpenStub(stubPath, stub, &size, error))
        return false;
    if (!CopyStream(out, stub, size, nullptr)) {
        const DWORD code = GetLastError();
        return Failed(error, FormatText("cannot copy the stub %s: %s", stubPath,
                                        DescribeSystemError(code).c_str()));
    }
    *stubSize = size;
    return true;
}

struct DataProgress {
    PackageProgress* sink;
    u64 done;
    u64 total;
};

bool OpenSource(const PackageFile& file, FileStream& source, std::string* error) {
    const char* path = file.source.path.c_str();
    if (!source.Open(path, OpenRead)) {
        const DWORD code = GetLastError();
        return Failed(error, FormatText("cannot open %s for %s: %s", path, file.name.c_str(),
                                        DescribeSystemError(code).c_str()));
    }
    const u64 end = static_cast<u64>(file.source.offset) + file.size;
    if (end > source.GetSize() || file.source.offset > kMaxFileSize) {
        return Failed(error, FormatText("%s is too short for the %u bytes of %s at offset %u", path,
                                        file.size, file.name.c_str(), file.source.offset));
    }
    if (file.size != 0 && !source.Seek(static_cast<i32>(file.source.offset))) {
        const DWORD code = GetLastError();
        return Failed(error,
                      FormatText("cannot read %s: %s", path, DescribeSystemError(code).c_str()));
    }
    return true;
}

// Streams one record's bytes into the package, checking them against the
// digest the record will carry.
bool AddRecordData(const PackageFile& file, Deflater& deflater, DataProgress* progress,
                   std::string* error) {
    FileStream source;
    if (!OpenSource(file, source, error))
        return false;
    bool readable = true;
    auto read = [&](u8* buffer, u32 count) { return readable = source.Read(buffer, count); };
    auto add = [&](const u8* piece, u32 count) {
        if (!deflater.Add(piece, count, error))
            return false;
        progress->done += count;
        if (progress->sink)
            progress->sink->OnBytes(progress->done, progress->total);
        return true;
    };
    u8 digest[16];
    if (!crypto::Md5OfChunks(file.size, read, digest, add)) {
        if (readable)
            return false; // the deflater said why
        const DWORD code = GetLastError();
        return Failed(error, FormatText("cannot read %s: %s", file.source.path.c_str(),
                                        DescribeSystemError(code).c_str()));
    }
    if (std::memcmp(digest, file.storedMd5, sizeof digest) != 0) {
        return Failed(error, FormatText("the data of %s read from %s does not match its digest",
                                        file.name.c_str(), file.source.path.c_str()));
    }
    return true;
}

bool AddManifest(const Layout& layout, Deflater& deflater, std::string* error) {
    const u32 pakCount = static_cast<u32>(layout.paks.size());
    const u32 fileCount = static_cast<u32>(layout.files.size());
    return deflater.Add(&pakCount, 4, error) &&
           deflater.Add(layout.paks.data(), pakCount * kPakRecordSize, error) &&
           deflater.Add(&fileCount, 4, error) &&
           deflater.Add(layout.files.data(), fileCount * kFileRecordSize, error);
}

// The manifest and every record's data, as one stream.
bool CompressPackage(const Layout& layout, Deflater& deflater, PackageProgress* sink,
                     std::string* error) {
    if (!deflater.Begin(error) || !AddManifest(layout, deflater, error))
        return false;
    DataProgress progress = {sink, 0, layout.dataBytes};
    if (sink)
        sink->OnBytes(0, progress.total);
    for (const PackageFile* file : layout.sources)
        if (!AddRecordData(*file, deflater, &progress, error))
            return false;
    return deflater.Finish(error);
}

// A signature's certificate table starts at a multiple of 8, and a signing
// tool pads the file up to it: the installer ends there itself, so that its
// trailer stands right before the table. The reader ignores what follows the
// compressed stream.
u32 PaddingBeforeTrailer(u32 payloadStart, u64 compressedSize) {
    const u64 end = payloadStart + compressedSize + kPatchTrailerSize;
    return static_cast<u32>((8 - end % 8) % 8);
}

bool WriteInstaller(const char* stubPath, const Layout& layout, FileStream& out, int level,
                    unsigned threads, PackageProgress* sink, std::string* error) {
    u32 payloadStart = 0;
    if (!CopyStub(stubPath, out, &payloadStart, error))
        return false;
    Deflater deflater(&out, level, threads);
    if (!CompressPackage(layout, deflater, sink, error))
        return false;
    const u64 end = payloadStart + deflater.Written() + kPatchTrailerSize;
    static const u8 kPad[7] = {};
    const u32 pad = PaddingBeforeTrailer(payloadStart, deflater.Written());
    if (end + pad > kMaxFileSize)
        return Failed(error, "the installer would be larger than 2 GiB");
    const PatchTrailer trailer = {payloadStart, payloadStart};
    if ((pad != 0 && !out.Write(kPad, pad)) || !out.Write(&trailer, sizeof trailer)) {
        const DWORD code = GetLastError();
        return Failed(error, "cannot write the installer: " + DescribeSystemError(code));
    }
    return true;
}

} // namespace

bool DescribePlainFile(const char* path, const std::string& name, PackageFile* out,
                       std::string* error) {
    FileStream file;
    if (!file.Open(path, OpenRead)) {
        const DWORD code = GetLastError();
        return Failed(error,
                      FormatText("cannot open %s: %s", path, DescribeSystemError(code).c_str()));
    }
    DWORD high = 0;
    const DWORD size = GetFileSize(file.file.handle, &high);
    FILETIME stamp = {0, 0};
    if (high != 0 || size > kMaxFileSize ||
        !GetFileTime(file.file.handle, nullptr, nullptr, &stamp))
        return Failed(error, FormatText("cannot take %s: too large or unreadable", path));
    u8 digest[16];
    if (!crypto::Md5OfChunks(
            size, [&file](u8* buffer, u32 count) { return file.Read(buffer, count); }, digest)) {
        const DWORD code = GetLastError();
        return Failed(error,
                      FormatText("cannot read %s: %s", path, DescribeSystemError(code).c_str()));
    }
    *out = PackageFile();
    out->name = name;
    out->source.path = path;
    out->size = size;
    std::memcpy(out->storedMd5, digest, sizeof out->storedMd5);
    std::memcpy(out->originalMd5, out->storedMd5, sizeof out->originalMd5);
    out->originalSize = size;
    out->stamp = stamp;
    return true;
}

bool WritePackage(const char* stubPath, const PackageContents& contents, const char* outputPath,
                  int level, PackageProgress* progress, std::string* error, unsigned threads) {
    Layout layout;
    if (!PlanPackage(contents, &layout, error))
        return false;
    const std::string tempPath = std::string(outputPath) + ".tmp";
    if (tempPath.size() >= MAX_PATH)
        return Failed(error, FormatText("the output path %s is too long", outputPath));
    bool written = false;
    {
        FileStream out;
        if (!out.Open(tempPath.c_str(), OpenCreate)) {
            const DWORD code = GetLastError();
            return Failed(error, FormatText("cannot create %s: %s", tempPath.c_str(),
                                            DescribeSystemError(code).c_str()));
        }
        written = WriteInstaller(stubPath, layout, out, level, threads, progress, error);
    }
    if (written && !MoveFileExA(tempPath.c_str(), outputPath, MOVEFILE_REPLACE_EXISTING)) {
        const DWORD code = GetLastError();
        written = Failed(error, FormatText("cannot move the finished installer to %s: %s",
                                           outputPath, DescribeSystemError(code).c_str()));
    }
    if (!written)
        DeleteFileA(tempPath.c_str());
    return written;
}

bool MeasureInstaller(const char* stubPath, const PackageContents& contents, int level,
                      PackageProgress* progress, u64* installerSize, std::string* error,
                      unsigned threads) {
    Layout layout;
    FileStream stub;
    u32 payloadStart = 0;
    if (!PlanPackage(contents, &layout, error) || !OpenStub(stubPath, stub, &payloadStart, error))
        return false;
    Deflater counter(nullptr, level, threads);
    if (!CompressPackage(layout, counter, progress, error))
        return false;
    *installerSize = payloadStart + counter.Written() +
                     PaddingBeforeTrailer(payloadStart, counter.Written()) + kPatchTrailerSize;
    return true;
}
