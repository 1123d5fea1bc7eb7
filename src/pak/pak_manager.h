// The pak library: opens archives (recovering from a backup left by an
// interrupted update), validates and deciphers their index, reads sub-files,
// and rewrites archives through a temporary file and a backup name.
#pragma once

#include "pak/pak_events.h"
#include "pak/pak_format.h"
#include "pak/pak_reader.h"
#include "platform/win32.h"
#include "runtime/stream.h"
#include "runtime/types.h"

#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

enum PakOpenMode : u32 {
    PakReadOnly = 0,
    PakReadWrite = 1, // a missing archive is created empty first
};

enum PakOpenError : i32 {
    PakOk = 0,
    PakIndexDamaged = 1, // read-only: returned, holding the entries before the damage;
                         // read-write: refused
    PakMissing = 2,
    PakBadHeader = 3,
    PakIoError = 4,
};

constexpr u32 PakKindArchive = 1;

struct PakArchive;
class PakCheckedCopy;

struct PakFileEntry {
    PakArchive* archive;
    u32 position;
    u32 dataOffset;
    u32 size;
    u32 alignedSize;
    u8 storedMd5[16];
    u8 originalMd5[16];
    u32 originalSize;
    u32 method;
    u32 stampLow;
    u32 stampHigh;
};

struct PakArchive {
    std::string name; // the path as lower-cased by Open: the table key, and logs
    std::string path; // the path as the caller spelt it, for every file access
    FileStream stream;
    u32 kind = PakKindArchive;
    u32 mode = PakReadOnly;
    // Keyed by the exact name bytes of the index.
    std::unordered_map<std::string, PakFileEntry> files;
};

struct PakUpdateItem {
    u8 empty;             // store a zero-length sub-file; source fields ignored
    char sourcePath[259]; // whole file is the sub-file; used when source is null
    Stream* source;
    u32 sourceOffset;
    u32 size;
    u8 storedMd5[16]; // the copied bytes must have this digest
    u8 originalMd5[16];
    u32 originalSize;
    u32 method;
    u32 stampLow;
    u32 stampHigh;
    char name[260]; // lower-cased by Update
};

// One sub-file of the archive being written.
struct PakMergeRecord {
    PakIndexEntry entry;
    char name[260];
    PakFileEntry* old;         // the old sub-file it comes from, or null
    const PakUpdateItem* item; // the item that supplies it, or null; wins
};

// Ascending unsigned byte order; a prefix sorts first.
struct PakNameLess {
    bool operator()(const std::string& a, const std::string& b) const;
};
typedef std::map<std::string, PakMergeRecord, PakNameLess> PakMergeMap;

class PakManager {
  public:
    PakManager() = default;
    PakManager(const PakManager&) = delete;
    PakManager& operator=(const PakManager&) = delete;

    // Opens `path` or takes another reference on it; null on failure.
    PakArchive* Open(const char* path, u32 mode, bool recreate, i32* error);
    // Gives back one reference; the last one closes and destroys the archive.
    void Close(PakArchive* archive);

    PakFileEntry* FindSubFile(PakArchive* archive, const char* name);
    void SeekSubFile(PakFileEntry* entry, u32 offset, u32 origin);
    // Bytes read, or -1 when the archive's stream cannot deliver them.
    i32 ReadSubFile(PakFileEntry* entry, void* buffer, u32 count);
    void CloseSubFile(PakFileEntry* entry);

    // Rewrites `archive` with `items` added or replacing, then swaps the new
    // file in. Releases the archive on every path after the kind check. The
    // new file is flushed to disk first and, with `stamp`, takes that
    // last-write time before it gets the archive's name.
    bool Update(PakArchive* archive, const PakUpdateItem* items, u32 count, const char* tempDir,
                const char* tempName, bool commit, const FILETIME* stamp = nullptr);
    void SetEventHandler(IPackEventHandle* handler) { m_eventHandler = handler; }

    bool WriteIndex(const PakMergeMap& records, Stream* dst);

  private:
    struct Slot {
        PakArchive* archive;
        u32 refs;
    };

    enum class IndexParse { Whole, Damaged, NoMemory };

    PakArchive* OpenArchiveFile(const char* path, const std::string& name, u32 mode, i32* error);
    bool OpenForWriting(PakArchive* archive, i32* error);
    PakArchive* LoadArchive(std::unique_ptr<PakArchive> archive, u32 mode, i32* error);
    // The entries of the index just read; with `forRewrite`, also the checks
    // a rewrite needs.
    IndexParse ParseIndex(PakArchive* archive, bool forRewrite);
    static bool CreateEmptyPak(const char* path);
    bool Rewrite(PakArchive* archive, const PakUpdateItem* items, u32 count, const char* tempPath,
                 bool commit, const FILETIME* stamp);
    bool WriteData(PakMergeMap& records, FileStream* temp, PakHeader* header);
    bool FinishArchive(const PakMergeMap& records, FileStream* temp, PakHeader* header,
                       const FILETIME* stamp);
    static bool SwapIn(const char* tempPath, const std::string& name);
    bool WriteRecordData(PakMergeRecord& record, Stream* dst, PakCheckedCopy& copy);
    bool CopyOldSubFile(PakMergeRecord& record, Stream* dst, PakCheckedCopy& copy);

    std::vector<u8> m_work;
    std::unordered_map<std::string, Slot> m_open[2];
    IPackEventHandle* m_eventHandler = nullptr;
    PakIndexReader m_reader; // holds the index being read, reused from one open to the next
};

// The sub-file an index entry describes, as the library files it: an empty
// one takes the digest of zero bytes, whatever the index holds.
PakFileEntry MakeFileEntry(PakArchive* archive, const PakIndexEntry& index);
// The fields a rewrite gives the entry of `item`, with `size` bytes copied.
void SetEntryFromItem(const PakUpdateItem& item, u32 size, PakIndexEntry* entry);

// The sub-files a rewrite of `archive` with `items` writes, in the order it
// writes them: the old ones under their lower-case names, an item winning
// over an old sub-file and a later item over an earlier one. False for an
// item whose strings do not end in their arrays, or without the memory.
bool MergePakIndex(PakArchive* archive, const PakUpdateItem* items, u32 count,
                   PakMergeMap* records);
// The length of the archive a rewrite writes from `records`, whose entries
// hold their sizes: header, data blocks padded to 4, the index padded to 8.
u64 MergedArchiveSize(const PakMergeMap& records);

// Where a read-write open takes an archive from. It only looks.
enum class PakWriteSource {
    Archive,   // the file at the name (one of 0 bytes becomes an empty archive)
    Backup,    // the ".bak" beside it, moved back first: the name is free or
               // holds 0 bytes
    Create,    // nothing: an empty archive is created
    Directory, // a directory stands at the name: the open fails
    Unknown,   // the name cannot be looked at: the open fails
};
PakWriteSource ChoosePakWriteSource(const std::string& path);
// A ".bak" beside an archive that opened whole is a leftover of a run stopped
// after its swap, or whose deletion failed: the archive holds every sub-file
// the backup has, in the same or a newer version.
bool HasLeftoverPakBackup(const std::string& path);

extern PakManager g_pakManager;
extern u8 g_emptyMd5[16];

// One archive update at a time in the process.
extern CRITICAL_SECTION g_pakUpdateLock;
// Creates the lock; false (after telling the user) when memory is exhausted.
bool InitPakUpdateLock();
void DeletePakUpdateLock();
