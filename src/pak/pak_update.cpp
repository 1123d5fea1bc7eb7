// Rewriting an archive: every kept and every new sub-file is copied into a
// temporary file and checked against its digest, the enciphered index is
// appended, and only then does the new file replace the archive through a
// backup name.
#include "pak/pak_manager.h"

#include "crypto/crypto.h"
#include "pak/pak_copy.h"
#include "runtime/file_ops.h"
#include "runtime/log.h"

#include <algorithm>
#include <cstring>
#include <new>

CRITICAL_SECTION g_pakUpdateLock;

namespace {

bool g_pakUpdateLockReady = false;

constexpr u64 kMaxArchiveSize = 0xFFFFFFFFu;

size_t BoundedLength(const char* text, size_t capacity) {
    const void* end = std::memchr(text, 0, capacity);
    return end ? static_cast<const char*>(end) - text : capacity;
}

std::string LowerCased(std::string text) {
    LowerCaseBytes(&text[0]);
    return text;
}

PakCheckedCopy::Reader StreamReader(Stream* source) {
    return [source](u8* buffer, u32 count) { return source->Read(buffer, count); };
}

bool IsExistingFile(const char* path) {
    const DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool NothingAt(const char* path) {
    if (GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES)
        return false;
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// tempDir, a '\' unless it already ends with one, then tempName; an empty
// tempDir leaves tempName relative to the current directory.
bool JoinTempPath(const char* tempDir, const char* tempName, std::string* path) {
    if (tempName == nullptr)
        return false;
    *path = tempDir;
    if (!path->empty() && path->back() != '\\')
        path->push_back('\\');
    path->append(tempName);
    return path->size() <= kPakMaxNameLength;
}

// An item is usable when its strings end inside their arrays.
bool IsWellFormed(const PakUpdateItem& item) {
    if (BoundedLength(item.name, sizeof item.name) == sizeof item.name)
        return false;
    if (!item.empty && item.source == nullptr &&
        BoundedLength(item.sourcePath, sizeof item.sourcePath) == sizeof item.sourcePath)
        return false;
    return true;
}

void SetRecordName(PakMergeRecord* record, const std::string& name) {
    const size_t length = std::min(name.size(), sizeof record->name - 1);
    std::memcpy(record->name, name.data(), length);
    record->name[length] = '\0';
}

void CopyIndexFields(const PakFileEntry& from, PakIndexEntry* to) {
    to->nameOffset = 0;
    to->dataOffset = from.dataOffset;
    to->size = from.size;
    to->alignedSize = from.alignedSize;
    std::memcpy(to->storedMd5, from.storedMd5, 16);
    to->originalSize = from.originalSize;
    std::memcpy(to->originalMd5, from.originalMd5, 16);
    to->method = from.method;
    to->stampLow = from.stampLow;
    to->stampHigh = from.stampHigh;
}

// The old sub-files under their lower-case names, then the items, an item
// winning over an old sub-file and a later item over an earlier one.
bool MergeInto(PakArchive* archive, const PakUpdateItem* items, u32 count, PakMergeMap* records) {
    for (auto& file : archive->files) {
        const std::string key = LowerCased(file.first);
        PakMergeRecord& record = (*records)[key];
        CopyIndexFields(file.second, &record.entry);
        SetRecordName(&record, key);
        record.old = &file.second;
        record.item = nullptr;
    }
    for (u32 i = 0; i < count; ++i) {
        if (!IsWellFormed(items[i]))
            return false;
        const std::string key = LowerCased(items[i].name);
        auto inserted = records->try_emplace(key);
        PakMergeRecord& record = inserted.first->second;
        if (inserted.second) {
            std::memset(&record.entry, 0, sizeof record.entry);
            SetRecordName(&record, key);
            record.old = nullptr;
        }
        record.item = &items[i];
    }
    return records->size() <= 0xFFFFFFFFu;
}

} // namespace

void SetEntryFromItem(const PakUpdateItem& item, u32 size, PakIndexEntry* entry) {
    entry->method = item.method;
    entry->stampLow = item.stampLow;
    entry->stampHigh = item.stampHigh;
    if (item.empty) {
        entry->size = 0;
        entry->originalSize = 0;
        std::memcpy(entry->storedMd5, g_emptyMd5, 16);
        std::memcpy(entry->originalMd5, g_emptyMd5, 16);
        return;
    }
    entry->size = size;
    std::memcpy(entry->storedMd5, item.storedMd5, 16);
    std::memcpy(entry->originalMd5, item.originalMd5, 16);
    entry->originalSize = item.originalSize;
}

bool MergePakIndex(PakArchive* archive, const PakUpdateItem* items, u32 count,
                   PakMergeMap* records) {
    if (count != 0 && items == nullptr)
        return false;
    // As many records as the index and the items hold: bounded, but the
    // memory may still not be there.
    try {
        return MergeInto(archive, items, count, records);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

namespace {

u64 IndexLength(const PakMergeMap& records) {
    u64 length = static_cast<u64>(records.size()) * kPakEntrySize;
    for (const auto& record : records)
        length += record.first.size() + 1;
    return (length + 7) & ~static_cast<u64>(7);
}

} // namespace

u64 MergedArchiveSize(const PakMergeMap& records) {
    u64 size = kPakHeaderSize + IndexLength(records);
    for (const auto& record : records)
        size += (static_cast<u64>(record.second.entry.size) + 3) & ~static_cast<u64>(3);
    return size;
}

bool InitPakUpdateLock() {
    if (g_pakUpdateLockReady)
        return true;
    if (!InitializeCriticalSectionAndSpinCount(&g_pakUpdateLock, 4000)) {
        ShowOutOfMemoryBox();
        return false;
    }
    g_pakUpdateLockReady = true;
    return true;
}

void DeletePakUpdateLock() {
    if (!g_pakUpdateLockReady)
        return;
    DeleteCriticalSection(&g_pakUpdateLock);
    g_pakUpdateLockReady = false;
}

bool PakNameLess::operator()(const std::string& a, const std::string& b) const {
    const int order = std::memcmp(a.data(), b.data(), std::min(a.size(), b.size()));
    return order != 0 ? order < 0 : a.size() < b.size();
}

bool PakManager::Update(PakArchive* archive, const PakUpdateItem* items, u32 count,
                        const char* tempDir, const char* tempName, bool commit,
                        const FILETIME* stamp) {
    char systemTemp[MAX_PATH + 1];
    if (tempDir == nullptr) {
        const DWORD length = GetTempPathA(MAX_PATH, systemTemp);
        if (length == 0 || length >= MAX_PATH)
            return false;
        tempDir = systemTemp;
    }
    if (archive == nullptr || archive->kind != PakKindArchive)
        return false;
    if (!g_pakUpdateLockReady) {
        Close(archive);
        return false;
    }
    EnterCriticalSection(&g_pakUpdateLock);
    std::string tempPath;
    bool result = false;
    if (JoinTempPath(tempDir, tempName, &tempPath))
        result = Rewrite(archive, items, count, tempPath.c_str(), commit, stamp);
    else
        Close(archive);
    LeaveCriticalSection(&g_pakUpdateLock);
    return result;
}

// The new archive is built in the temporary file: data, index, header,
// time, flush. Then it takes the archive's name, unless `commit` is false.
// The archive is released on every path; the temporary file is deleted
// whenever the new archive could not be made whole.
bool PakManager::Rewrite(PakArchive* archive, const PakUpdateItem* items, u32 count,
                         const char* tempPath, bool commit, const FILETIME* stamp) {
    PakMergeMap records;
    if (!MergePakIndex(archive, items, count, &records)) {
        Close(archive);
        return false;
    }
    FileStream temp;
    if (!temp.Open(tempPath, OpenCreate)) {
        Close(archive);
        return false;
    }
    PakHeader header;
    if (!WriteData(records, &temp, &header) || !FinishArchive(records, &temp, &header, stamp)) {
        temp.Close();
        DeleteFileLogged(tempPath);
        Close(archive);
        return false;
    }
    temp.Close();
    if (!commit) {
        Close(archive);
        return false;
    }
    const std::string name = archive->path;
    Close(archive);
    return SwapIn(tempPath, name);
}

// The provisional header, then every record's bytes, each checked against
// its digest and padded to 4 bytes; the records' offsets and sizes are set.
bool PakManager::WriteData(PakMergeMap& records, FileStream* temp, PakHeader* header) {
    const u32 total = static_cast<u32>(records.size());
    InitPakHeader(header);
    header->fileCount = total;
    header->indexOffset = 0; // known only once the data is written
    if (!temp->Write(header, sizeof *header))
        return false;
    if (m_eventHandler)
        m_eventHandler->OnProgress(0, total);

    // The digests are checked on a second thread while the next records are
    // copied; a record is reported done once its digest has matched. When a
    // copy fails, the records before it are settled first, so that the
    // reports and the outcome are those of checking each record in turn.
    PakCheckedCopy copy(m_eventHandler, total);
    if (!copy.Ready())
        return false;
    static const u8 kPad[3] = {0, 0, 0};
    u64 offset = kPakHeaderSize;
    for (auto& pair : records) {
        PakIndexEntry& entry = pair.second.entry;
        if (!WriteRecordData(pair.second, temp, copy)) {
            copy.Settle(true);
            return false;
        }
        // The size is known once the record is written.
        const u64 aligned = (static_cast<u64>(entry.size) + 3) & ~static_cast<u64>(3);
        if (offset + aligned > kMaxArchiveSize ||
            !temp->Write(kPad, static_cast<u32>(aligned - entry.size))) {
            copy.Settle(true);
            return false;
        }
        entry.dataOffset = static_cast<u32>(offset);
        entry.alignedSize = static_cast<u32>(aligned);
        offset += aligned;
        if (!copy.Settle(false))
            return false;
    }
    header->indexOffset = static_cast<u32>(offset);
    return copy.Settle(true);
}

// The index after the data, the header again with its place and length,
// then the time and a flush. Positions are asked of the file and checked,
// not trusted: a failed Tell must not end up in the header.
bool PakManager::FinishArchive(const PakMergeMap& records, FileStream* temp, PakHeader* header,
                               const FILETIME* stamp) {
    const u64 offset = header->indexOffset;
    const u64 indexSize = IndexLength(records);
    if (temp->Tell() != offset || offset + indexSize > kMaxArchiveSize)
        return false;
    if (!WriteIndex(records, temp) || temp->Tell() != offset + indexSize)
        return false;
    header->indexSize = static_cast<u32>(indexSize);
    if (!temp->Seek(0) || !temp->Write(header, sizeof *header))
        return false;
    // Before any name moves, the new file takes its time and reaches the
    // disk: after a power cut the archive's name must never lead to bytes
    // that were only in memory. A time the file system refuses is no reason
    // to keep the old archive: the time is a courtesy, the bytes are not.
    if (stamp != nullptr)
        temp->SetWriteTime(stamp);
    return temp->Flush();
}

// The new archive takes the old one's name through the backup name.
bool PakManager::SwapIn(const char* tempPath, const std::string& name) {
    const std::string backup = name + ".bak";
    if (ReplaceFileLogged(tempPath, name.c_str(), backup.c_str()))
        return true;
    // Put the old archive back only when the replacement left nothing at its
    // name: a backup that an earlier run failed to delete must never
    // overwrite the archive that is still in place.
    if (NothingAt(name.c_str()) && IsExistingFile(backup.c_str()))
        MoveFileLogged(backup.c_str(), name.c_str());
    return false;
}

// Copies the record's bytes; `copy` checks them against the digest they must
// have. False when the bytes cannot be read or written.
bool PakManager::WriteRecordData(PakMergeRecord& record, Stream* dst, PakCheckedCopy& copy) {
    const PakUpdateItem* item = record.item;
    if (item == nullptr)
        return CopyOldSubFile(record, dst, copy);
    if (item->empty) {
        SetEntryFromItem(*item, 0, &record.entry);
        copy.Add();
        return true;
    }
    u32 size;
    if (item->source != nullptr) {
        Stream* source = item->source;
        source->Seek(static_cast<i32>(item->sourceOffset));
        size = item->size;
        if (!copy.Copy(size, StreamReader(source), dst, item->storedMd5))
            return false;
    } else {
        FileStream source;
        if (!source.Open(item->sourcePath, OpenRead))
            return false;
        size = source.GetSize();
        if (!copy.Copy(size, StreamReader(&source), dst, item->storedMd5))
            return false;
    }
    SetEntryFromItem(*item, size, &record.entry);
    return true;
}

// The old bytes pass through in pieces, never whole; their digest must be
// the one the old index holds.
bool PakManager::CopyOldSubFile(PakMergeRecord& record, Stream* dst, PakCheckedCopy& copy) {
    PakFileEntry* old = record.old;
    SeekSubFile(old, 0, 0);
    auto read = [this, old](u8* buffer, u32 count) {
        return ReadSubFile(old, buffer, count) == static_cast<i32>(count);
    };
    const bool copied = copy.Copy(old->size, read, dst, record.entry.storedMd5);
    SeekSubFile(old, 0, 0);
    return copied;
}

bool PakManager::WriteIndex(const PakMergeMap& records, Stream* dst) {
    const u64 length = IndexLength(records);
    if (length > kMaxArchiveSize)
        return false;
    try {
        m_work.assign(static_cast<size_t>(length), 0);
    } catch (const std::bad_alloc&) {
        return false;
    }
    u8* entries = m_work.data();
    u8* names = entries + records.size() * kPakEntrySize;
    u32 nameOffset = 0;
    for (const auto& pair : records) {
        PakIndexEntry entry = pair.second.entry;
        entry.nameOffset = nameOffset;
        std::memcpy(entries, &entry, sizeof entry);
        entries += sizeof entry;
        // The key is the full lower-cased name, even one longer than the
        // record's buffer that an archive from elsewhere may hold.
        std::memcpy(names + nameOffset, pair.first.data(), pair.first.size());
        nameOffset += static_cast<u32>(pair.first.size()) + 1;
    }
    PakIndexKeys keys;
    GetIndexKeys(&keys);
    EncipherIndex(keys, m_work.data(), m_work.size());
    return dst->Write(m_work.data(), static_cast<u32>(m_work.size()));
}
