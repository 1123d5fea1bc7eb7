// Opening archives, loading and checking their index, and reading sub-files.
#include "pak/pak_manager.h"

#include "crypto/crypto.h"
#include "runtime/file_ops.h"
#include "runtime/log.h"
#include "runtime/memory.h"

#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

PakManager g_pakManager;
u8 g_emptyMd5[16];

namespace {

// The digest of zero bytes, computed once before anything can ask for it.
const bool g_emptyMd5Ready = [] {
    crypto::Md5Digest(nullptr, 0, g_emptyMd5);
    return true;
}();

constexpr size_t kPathBufferSize = 260;

void WriteNumber(iLog& log, u32 value) {
    char text[16];
    std::snprintf(text, sizeof text, "%u", value);
    log.Write(text);
}

// What stands at a name. A failed query that is not "not found" is Unknown:
// the name may well hold an archive, so it must not be treated as free.
enum class Presence { Absent, File, Directory, Unknown };

Presence Probe(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES)
        return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? Presence::Directory : Presence::File;
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? Presence::Absent
                                                                          : Presence::Unknown;
}

// The text after the last '.' of `path` names the archive type.
bool HasPakExtension(const char* path) {
    const char* dot = std::strrchr(path, '.');
    if (dot == nullptr)
        return false;
    const char* ext = dot + 1;
    return (ext[0] | 0x20) == 'p' && (ext[1] | 0x20) == 'a' && (ext[2] | 0x20) == 'k' &&
           ext[3] == '\0';
}

enum class Recovery { NoBackup, Restored, Failed };

// A leftover backup means an update stopped after moving the archive aside:
// put it back before anything else looks at (or creates) the archive name.
Recovery RestoreBackup(const std::string& path) {
    const std::string backup = path + ".bak";
    switch (Probe(backup)) {
    case Presence::File:
        return MoveFileLogged(backup.c_str(), path.c_str()) ? Recovery::Restored : Recovery::Failed;
    case Presence::Unknown:
        return Recovery::Failed;
    default:
        return Recovery::NoBackup;
    }
}

void LogBadHeader(const std::string& path) {
    iLog& log = GetLog();
    log.Write(path.c_str());
    log.Write(" : Pak file header format is error, so recreate this file \n");
}

void LogIndexReadFailure(const std::string& path) {
    iLog& log = GetLog();
    log.Write(path.c_str());
    log.Write(": Read pak info header fail\n");
}

void LogIndexTooLarge(const std::string& path, u32 size) {
    iLog& log = GetLog();
    log.Write(path.c_str());
    log.Write(": not enough memory for its index of ");
    WriteNumber(log, size);
    log.Write(" bytes\n");
}

void LogIndexProblem(const std::string& path, u32 count, const PakIndexProblem& problem) {
    iLog& log = GetLog();
    log.Write(path.c_str());
    switch (problem.fault) {
    case PakIndexNameOffset:
    case PakIndexNameSpan:
        log.Write(", Include");
        WriteNumber(log, count);
        log.Write(" sub files. sub file ");
        WriteNumber(log, problem.entry);
        log.Write(problem.fault == PakIndexNameOffset ? "name pos is : " : "len is : ");
        WriteNumber(log, problem.value);
        log.Write(". Maybe this pak is bad.\n");
        break;
    case PakIndexLastName:
        log.Write(" Include");
        WriteNumber(log, count);
        log.Write("sub files. the lastest file name len is out of range. Maybe this pak is bad.\n");
        break;
    case PakIndexUnaligned:
    case PakIndexTableOverrun:
        log.Write(", Include");
        WriteNumber(log, count);
        log.Write(" sub files. index size is : ");
        WriteNumber(log, problem.value);
        log.Write(problem.fault == PakIndexUnaligned
                      ? ", not a whole number of blocks. Maybe this pak is bad.\n"
                      : ", too small for the entries. Maybe this pak is bad.\n");
        break;
    case PakIndexNameRunsOn:
    case PakIndexStrayNames:
    case PakIndexEmptyDigest:
        log.Write(", Include");
        WriteNumber(log, count);
        log.Write(" sub files. ");
        log.Write(DescribePakIndexProblem(problem, count).c_str());
        log.Write(". Maybe this pak is bad, so it is not rewritten.\n");
        break;
    case PakIndexIntact:
        log.Write("\n");
        break;
    }
}

} // namespace

PakFileEntry MakeFileEntry(PakArchive* archive, const PakIndexEntry& index) {
    PakFileEntry entry;
    entry.archive = archive;
    entry.position = 0;
    entry.dataOffset = index.dataOffset;
    entry.size = index.size;
    entry.alignedSize = index.alignedSize;
    std::memcpy(entry.storedMd5, index.size == 0 ? g_emptyMd5 : index.storedMd5, 16);
    std::memcpy(entry.originalMd5, index.originalMd5, 16);
    entry.originalSize = index.originalSize;
    entry.method = index.method;
    entry.stampLow = index.stampLow;
    entry.stampHigh = index.stampHigh;
    return entry;
}

// A file of zero bytes: left by a run stopped between creating an archive
// and writing its header, or by a cut between the two moves of a swap.
bool IsEmptyFile(const std::string& path) {
    RawFile file;
    return file.Open(path.c_str(), OpenRead) == StreamOk && file.GetSize() == 0;
}

PakWriteSource ChoosePakWriteSource(const std::string& path) {
    const Presence backup = Probe(path + ".bak");
    switch (Probe(path)) {
    case Presence::Unknown:
        return PakWriteSource::Unknown;
    case Presence::Directory:
        return PakWriteSource::Directory;
    case Presence::File:
        // An empty file holds nothing, but a backup beside it may hold the
        // only copy of the archive: that one wins.
        return backup == Presence::File && IsEmptyFile(path) ? PakWriteSource::Backup
                                                             : PakWriteSource::Archive;
    case Presence::Absent:
        break;
    }
    switch (backup) {
    case Presence::File:
        return PakWriteSource::Backup;
    case Presence::Unknown:
        return PakWriteSource::Unknown;
    default:
        return PakWriteSource::Create;
    }
}

bool HasLeftoverPakBackup(const std::string& path) {
    return Probe(path + ".bak") == Presence::File;
}

PakArchive* PakManager::Open(const char* path, u32 mode, bool recreate, i32* error) {
    *error = PakOk;
    (void)g_emptyMd5Ready;
    if (path == nullptr || mode > PakReadWrite)
        return nullptr;
    const size_t length = std::strlen(path);
    if (length >= kPathBufferSize)
        return nullptr;
    char lowered[kPathBufferSize];
    std::memcpy(lowered, path, length + 1);
    LowerCaseBytes(lowered);
    const std::string key(lowered);

    auto found = m_open[mode].find(key);
    if (found != m_open[mode].end()) {
        ++found->second.refs;
        return found->second.archive;
    }
    if (!HasPakExtension(lowered))
        return nullptr;

    PakArchive* archive = OpenArchiveFile(path, key, mode, error);
    if (archive == nullptr && recreate && (*error == PakMissing || *error == PakBadHeader)) {
        if (!CreateEmptyPak(path))
            return nullptr;
        std::unique_ptr<PakArchive> fresh(new (std::nothrow) PakArchive);
        if (!fresh)
            return nullptr;
        fresh->name = key;
        fresh->path = path;
        fresh->mode = mode;
        if (!fresh->stream.Open(path, OpenRead))
            return nullptr;
        archive = fresh.release();
    }
    if (archive == nullptr)
        return nullptr;
    m_open[mode].emplace(key, Slot{archive, 1});
    return archive;
}

PakArchive* PakManager::OpenArchiveFile(const char* path, const std::string& name, u32 mode,
                                        i32* error) {
    std::unique_ptr<PakArchive> archive(new (std::nothrow) PakArchive);
    if (!archive)
        return nullptr;
    archive->name = name;
    archive->path = path;
    archive->mode = mode;
    FileStream& stream = archive->stream;

    if (mode == PakReadOnly) {
        if (!stream.Open(path, OpenRead)) {
            const Presence presence = Probe(archive->path);
            if (presence == Presence::File || presence == Presence::Unknown) {
                *error = PakIoError;
                return nullptr;
            }
            const Recovery recovery = RestoreBackup(archive->path);
            if (recovery != Recovery::Restored) {
                *error = recovery == Recovery::NoBackup ? PakMissing : PakIoError;
                return nullptr;
            }
            if (!stream.Open(path, OpenRead)) {
                *error = PakIoError;
                return nullptr;
            }
        }
    } else if (mode == PakReadWrite) {
        if (!OpenForWriting(archive.get(), error))
            return nullptr;
    } else {
        return nullptr;
    }

    return LoadArchive(std::move(archive), mode, error);
}

// The header and the index through the one reader, with the log lines and
// error codes of the library.
PakArchive* PakManager::LoadArchive(std::unique_ptr<PakArchive> archive, u32 mode, i32* error) {
    FileStream& stream = archive->stream;
    const u32 fileSize = stream.GetSize();
    PakHeaderState state = PakHeaderState::Whole;
    if (m_reader.ReadHeader(stream, 0, fileSize, &state) != PakIndexReader::Result::Read ||
        state == PakHeaderState::TooShort || state == PakHeaderState::BadMagic ||
        state == PakHeaderState::OldVersion) {
        stream.Close();
        LogBadHeader(archive->name);
        *error = PakBadHeader;
        return nullptr;
    }
    if (state == PakHeaderState::Empty)
        return archive.release();
    const PakIndexReader::Result read = state == PakHeaderState::IndexOutside
                                            ? PakIndexReader::Result::Unreadable
                                            : m_reader.ReadIndex(stream, 0);
    if (read != PakIndexReader::Result::Read) {
        if (read == PakIndexReader::Result::NoMemory)
            LogIndexTooLarge(archive->name, m_reader.Header().indexSize);
        else
            LogIndexReadFailure(archive->name);
        *error = PakIoError;
        return nullptr;
    }
    switch (ParseIndex(archive.get(), mode == PakReadWrite)) {
    case IndexParse::Whole:
        break;
    case IndexParse::Damaged:
        *error = PakIndexDamaged;
        // A rewrite would keep only what the damaged index still names: an
        // archive opened for writing must be whole, or it is not opened.
        if (mode == PakReadWrite)
            return nullptr;
        break;
    case IndexParse::NoMemory:
        LogIndexTooLarge(archive->name, m_reader.Header().indexSize);
        *error = PakIoError;
        return nullptr;
    }
    return archive.release();
}

// A backup left by an interrupted update is moved back first, as a
// read-only open does: creating an empty archive in its place would let the
// next replacement overwrite the only copy of the old archive. The empty
// archive is written through the read-write handle, which opens an existing
// file without truncating it, so an archive that a failed or racing query
// reported missing is never wiped.
bool PakManager::OpenForWriting(PakArchive* archive, i32* error) {
    switch (ChoosePakWriteSource(archive->path)) {
    case PakWriteSource::Unknown:
        *error = PakIoError;
        return false;
    case PakWriteSource::Directory:
        return false;
    case PakWriteSource::Backup:
        if (!MoveFileLogged((archive->path + ".bak").c_str(), archive->path.c_str())) {
            *error = PakIoError;
            return false;
        }
        break;
    case PakWriteSource::Archive:
    case PakWriteSource::Create:
        break;
    }
    FileStream& stream = archive->stream;
    if (!stream.Open(archive->path.c_str(), OpenReadWrite))
        return false;
    if (stream.GetSize() == 0) {
        PakHeader header;
        InitPakHeader(&header);
        if (!stream.Write(&header, sizeof header)) {
            stream.Close();
            return false;
        }
    }
    return true;
}

PakManager::IndexParse PakManager::ParseIndex(PakArchive* archive, bool forRewrite) {
    const u32 count = m_reader.Header().fileCount;
    PakIndexProblem problem;
    // The entries are bounded by the index's limit; the memory for their
    // table may still not be there.
    try {
        archive->files.reserve(std::min<u64>(count, m_reader.Header().indexSize / kPakEntrySize));
        const bool whole = m_reader.VisitEntries(
            forRewrite,
            [archive](const PakIndexEntry& index, std::string_view name) {
                archive->files[std::string(name)] = MakeFileEntry(archive, index);
            },
            &problem);
        if (whole)
            return IndexParse::Whole;
    } catch (const std::bad_alloc&) {
        archive->files.clear();
        return IndexParse::NoMemory;
    }
    LogIndexProblem(archive->name, count, problem);
    return IndexParse::Damaged;
}

bool PakManager::CreateEmptyPak(const char* path) {
    FileStream stream;
    if (!stream.Open(path, OpenCreate))
        return false;
    PakHeader header;
    InitPakHeader(&header);
    // The write's result counts too: an archive that could not
    // be written in full must not pass for an empty one.
    const bool written = stream.Write(&header, sizeof header);
    stream.Close();
    return written;
}

void PakManager::Close(PakArchive* archive) {
    if (archive == nullptr || archive->mode > PakReadWrite)
        return;
    auto& table = m_open[archive->mode];
    auto found = table.find(archive->name);
    if (found == table.end() || found->second.archive != archive)
        return;
    if (--found->second.refs != 0)
        return;
    table.erase(found);
    archive->stream.Close();
    delete archive;
}

PakFileEntry* PakManager::FindSubFile(PakArchive* archive, const char* name) {
    if (archive == nullptr || name == nullptr)
        return nullptr;
    auto found = archive->files.find(name);
    return found == archive->files.end() ? nullptr : &found->second;
}

void PakManager::SeekSubFile(PakFileEntry* entry, u32 offset, u32 origin) {
    u32 position;
    switch (origin) {
    case 1:
        position = entry->position + offset;
        break;
    case 2:
        position = entry->size + offset;
        break;
    default:
        position = offset;
        break;
    }
    entry->position = position > entry->size ? entry->size : position;
}

// Offsets come from the index unchecked; the range is checked against the
// file here, without overflow, so that a damaged entry yields -1 instead of
// a short read that would leave the archive's stream unusable.
i32 PakManager::ReadSubFile(PakFileEntry* entry, void* buffer, u32 count) {
    const u32 remaining = entry->position < entry->size ? entry->size - entry->position : 0;
    u32 wanted = count < remaining ? count : remaining;
    if (wanted > static_cast<u32>(std::numeric_limits<i32>::max()))
        wanted = static_cast<u32>(std::numeric_limits<i32>::max());
    if (wanted == 0)
        return 0;
    FileStream& stream = entry->archive->stream;
    const u64 start = static_cast<u64>(entry->dataOffset) + entry->position;
    if (start + wanted > stream.GetSize() ||
        start > static_cast<u64>(std::numeric_limits<i32>::max()))
        return -1;
    stream.Seek(static_cast<i32>(start));
    if (!stream.Read(buffer, wanted))
        return -1;
    entry->position += wanted;
    return static_cast<i32>(wanted);
}

void PakManager::CloseSubFile(PakFileEntry* entry) {
    entry->position = 0;
}
