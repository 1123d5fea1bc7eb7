#include "patch/package.h"

#include "patch/report.h"
#include "runtime/memory.h"

#include <zlib.h>

#include <cstring>

namespace {

// Stream positions are signed 32-bit numbers.
constexpr u64 kMaxPayloadSize = 0x7FFFFFFF;

u8* InflateInput() {
    thread_local u8 buffer[kInflateInputSize];
    return buffer;
}

u8* InflateOutput() {
    thread_local u8 buffer[kInflateOutputSize];
    return buffer;
}

// Feeds `length` bytes of `src` to the inflater a chunk at a time and writes
// every piece of output at once. Input used up before the final block means
// the stream was cut short.
int InflateAll(z_stream& z, Stream& src, Stream& dst, u32 length) {
    u8* const input = InflateInput();
    u8* const output = InflateOutput();
    u32 remaining = length;
    bool outputFull = false; // more output may be pending without more input
    for (;;) {
        if (z.avail_in == 0 && !outputFull) {
            if (remaining == 0)
                return Z_DATA_ERROR;
            const u32 chunk = remaining < kInflateInputSize ? remaining : kInflateInputSize;
            if (!src.Read(input, chunk))
                return Z_ERRNO;
            remaining -= chunk;
            z.next_in = input;
            z.avail_in = chunk;
        }
        z.next_out = output;
        z.avail_out = kInflateOutputSize;
        const int result = inflate(&z, Z_SYNC_FLUSH);
        // No progress: the previous call filled the output exactly as the
        // chunk ran out, and the inflater needs more input.
        if (result == Z_BUF_ERROR && z.avail_in == 0) {
            outputFull = false;
            continue;
        }
        if (result != Z_OK && result != Z_STREAM_END)
            return result < 0 ? result : Z_DATA_ERROR;
        const u32 produced = kInflateOutputSize - z.avail_out;
        if (produced != 0 && !dst.Write(output, produced))
            return Z_ERRNO;
        if (result == Z_STREAM_END)
            return Z_OK; // whatever follows the final block is not ours
        outputFull = z.avail_out == 0;
    }
}

bool Refuse(ManifestProblem* problem, std::string what) {
    if (problem)
        problem->what = std::move(what);
    return false;
}

// Reads one count and the records it announces, after checking that they lie
// within the package.
template <typename Record>
bool ReadTable(Stream& payload, u64 size, u64* position, const char* what,
               std::vector<Record>* table, ManifestProblem* problem) {
    u32 count = 0;
    if (*position + 4 > size || !payload.Read(&count, 4)) {
        return Refuse(problem, FormatText("the package ends before its %s count (%u bytes)", what,
                                          static_cast<u32>(size)));
    }
    *position += 4;
    const u64 bytes = static_cast<u64>(count) * sizeof(Record);
    if (bytes > size - *position) {
        return Refuse(problem,
                      FormatText("the package announces %u %s records but holds only %u bytes",
                                 count, what, static_cast<u32>(size)));
    }
    if (!ResizeFromDisk(table, count, kMaxManifestTableSize)) {
        return Refuse(problem, FormatText("not enough memory for the %s table of the package "
                                          "(%u records)",
                                          what, count));
    }
    if (bytes != 0 && !payload.Read(table->data(), static_cast<u32>(bytes)))
        return Refuse(problem, FormatText("cannot read the %s table of the package", what));
    *position += bytes;
    return true;
}

bool IsTerminated(const char (&name)[kPatchNameSize]) {
    return std::memchr(name, 0, kPatchNameSize) != nullptr;
}

std::string RecordLabel(const char* kind, size_t index, const char (&name)[kPatchNameSize]) {
    if (!IsTerminated(name))
        return FormatText("%s %u", kind, static_cast<u32>(index));
    return FormatText("%s %u (%s)", kind, static_cast<u32>(index), name);
}

// A name joined to the game directory: one that Windows takes as given,
// inside it, short enough.
bool CheckGameName(const std::string& label, const char* name, u32 maxLength,
                   ManifestProblem* problem) {
    const std::string why = WhyNotAGameName(name);
    if (!why.empty()) {
        return Refuse(problem,
                      label +
                          ": the name is not a path Windows keeps in the game directory: " + why);
    }
    const size_t length = std::strlen(name);
    if (length > maxLength) {
        return Refuse(problem, FormatText("%s: the name is %u bytes long, at most %u fit the game "
                                          "directory",
                                          label.c_str(), static_cast<u32>(length), maxLength));
    }
    return true;
}

bool CheckFileRecord(const PatchFileRecord& record, size_t index, u32 dataAreaSize,
                     u32 gameDirLength, ManifestProblem* problem) {
    const char* kind = record.inPak ? "pak sub-file record" : "loose file record";
    const std::string label = RecordLabel(kind, index, record.name);
    if (!IsTerminated(record.name))
        return Refuse(problem, label + ": the name is not terminated within 260 bytes");
    // An empty record reads nothing, wherever its offset points.
    const u64 end = static_cast<u64>(record.dataOffset) + record.dataSize;
    if (record.dataSize != 0 && end > dataAreaSize) {
        return Refuse(problem,
                      FormatText("%s: its data (offset %u, %u bytes) lies outside the "
                                 "data area (%u bytes)",
                                 label.c_str(), record.dataOffset, record.dataSize, dataAreaSize));
    }
    if (record.inPak)
        return true;
    return CheckGameName(label, record.name, MaxLooseNameLength(gameDirLength), problem);
}

bool CheckPakRecord(const PatchPakRecord& pak, size_t index, size_t fileCount, u32 gameDirLength,
                    ManifestProblem* problem) {
    const std::string label = RecordLabel("pak record", index, pak.name);
    if (!IsTerminated(pak.name))
        return Refuse(problem, label + ": the name is not terminated within 260 bytes");
    // Without records the job neither opens nor creates the archive: only
    // its name is shown.
    if (pak.recordCount == 0)
        return true;
    if (!CheckGameName(label, pak.name, MaxPakNameLength(gameDirLength), problem))
        return false;
    if (!HasPakExtension(pak.name))
        return Refuse(problem, label + ": the name does not end in \".pak\"");
    const u64 end = static_cast<u64>(pak.firstRecord) + pak.recordCount;
    if (end > fileCount) {
        return Refuse(problem, FormatText("%s: its records %u (+%u) lie outside the file-record "
                                          "table (%u records)",
                                          label.c_str(), pak.firstRecord, pak.recordCount,
                                          static_cast<u32>(fileCount)));
    }
    return true;
}

} // namespace

int InflateStream(Stream& src, Stream& dst, u32 length) {
    if (length == 0xFFFFFFFF)
        length = src.GetSize();
    z_stream z;
    std::memset(&z, 0, sizeof z);
    int result = inflateInit2(&z, -MAX_WBITS);
    if (result != Z_OK)
        return result;
    result = InflateAll(z, src, dst, length);
    inflateEnd(&z);
    return result;
}

bool ReadManifest(Stream& payload, u32 manifestPos, Manifest* manifest, ManifestProblem* problem) {
    const u64 size = payload.GetSize();
    if (size > kMaxPayloadSize)
        return Refuse(problem, "the package is larger than 2 GiB");
    if (manifestPos >= size || !payload.Seek(static_cast<i32>(manifestPos))) {
        return Refuse(problem, FormatText("the package (%u bytes) holds no manifest",
                                          static_cast<u32>(size)));
    }
    u64 position = manifestPos;
    if (!ReadTable(payload, size, &position, "pak", &manifest->paks, problem) ||
        !ReadTable(payload, size, &position, "file", &manifest->files, problem))
        return false;
    manifest->dataBase = static_cast<u32>(position);
    return true;
}

bool ValidateManifest(const Manifest& manifest, u32 payloadSize, u32 gameDirLength,
                      ManifestProblem* problem) {
    if (manifest.dataBase > payloadSize)
        return Refuse(problem, "the manifest reaches past the end of the package");
    const u32 dataAreaSize = payloadSize - manifest.dataBase;
    for (size_t i = 0; i < manifest.files.size(); ++i)
        if (!CheckFileRecord(manifest.files[i], i, dataAreaSize, gameDirLength, problem))
            return false;
    for (size_t k = 0; k < manifest.paks.size(); ++k)
        if (!CheckPakRecord(manifest.paks[k], k, manifest.files.size(), gameDirLength, problem))
            return false;
    return true;
}
