// The one reader of pak archives: the header, the index deciphered and its
// entries checked, and one description of every kind of damage. The
// library's open, paktool, the dry run and the release tools read archives
// only through it. It reads; it never moves a backup, creates an archive or
// writes the log.
#pragma once

#include "pak/pak_format.h"
#include "runtime/stream.h"
#include "runtime/types.h"

#include <functional>
#include <string>
#include <string_view>
#include <vector>

// Why an index, or one entry of it, cannot be used. The entry checks stop at
// the first damaged entry; the entries before it remain usable.
enum PakIndexFault : u32 {
    PakIndexIntact = 0,
    PakIndexUnaligned,    // length is not a whole number of cipher blocks
    PakIndexTableOverrun, // 64 x fileCount does not fit in the index
    PakIndexNameOffset,   // nameOffset is not inside the names area
    PakIndexNameSpan,     // the step to the next entry's name exceeds 1024
    PakIndexLastName,     // the last name has no NUL before the end
    // What only a rewrite refuses (CheckPakIndexForRewrite):
    PakIndexNameRunsOn,  // a name has no NUL before the next entry's name
    PakIndexStrayNames,  // names-area bytes outside the names that are not zero
    PakIndexEmptyDigest, // a sub-file of 0 bytes whose digest is another's
};

struct PakIndexProblem {
    PakIndexFault fault;
    u32 entry; // the damaged entry (from 0)
    u32 value; // the offending nameOffset, step or length
};

// Whether a deciphered index of `length` bytes can hold `count` entries.
PakIndexFault CheckPakIndexShape(size_t length, u32 count);

// Entry `i` of a deciphered index whose shape passed CheckPakIndexShape, and
// its name (pointing into `index`). False at a damaged entry, with `problem`
// filled in.
bool ReadPakIndexEntry(const u8* index, size_t length, u32 count, u32 i, PakIndexEntry* entry,
                       std::string_view* name, PakIndexProblem* problem);

// A reader keeps what it can of a damaged index, but a rewrite keeps exactly
// the sub-files the index names and drops the rest. So before an archive is
// rewritten its index must account for its bytes: each name ends with a NUL
// before the next name starts, every names-area byte outside the names is
// zero (bytes of a lost entry or name would not be), and a sub-file of 0
// bytes does not carry the digest of other bytes (then its size, not its
// digest, is the damaged field). Run on an index every entry of which
// ReadPakIndexEntry accepted. False with `problem` filled in.
bool CheckPakIndexForRewrite(const u8* index, size_t length, u32 count, PakIndexProblem* problem);

// The damage in plain English, naming the entry and the field, for the
// tools and the patch job's reasons.
std::string DescribePakIndexProblem(const PakIndexProblem& problem, u32 count);

// What the header of an archive says about it.
enum class PakHeaderState {
    Whole,        // the header holds, and the index lies inside the file
    Empty,        // exactly 68 bytes: an archive without sub-files, whatever they hold
    TooShort,     // fewer than 68 bytes
    BadMagic,     // not "!PAK"
    OldVersion,   // version below 5
    IndexOutside, // the index does not lie inside the file
};

// The header and the index of one archive, read and checked. The index
// buffer is kept from one read to the next.
class PakIndexReader {
  public:
    enum class Result { Read, Unreadable, NoMemory };

    // Reads and checks the header of the archive occupying `length` bytes of
    // `file` from `base`; `*state` tells what it holds. Unreadable when the
    // bytes cannot be read.
    Result ReadHeader(Stream& file, u32 base, u32 length, PakHeaderState* state);
    // Reads the index the header names (after a Whole header) and deciphers
    // it; it must fit kPakMaxIndexSize and the memory there is.
    Result ReadIndex(Stream& file, u32 base);

    const PakHeader& Header() const { return m_header; }

    // Calls `visit` for each entry in index order, up to the first damaged
    // one. False at damage, with `problem` filled in; with `forRewrite` also
    // the checks a rewrite needs (CheckPakIndexForRewrite).
    bool VisitEntries(bool forRewrite,
                      const std::function<void(const PakIndexEntry&, std::string_view name)>& visit,
                      PakIndexProblem* problem) const;

  private:
    PakHeader m_header{};
    std::vector<u8> m_index;
};

// A header state in plain English, naming the field.
std::string DescribePakHeaderState(PakHeaderState state, const PakHeader& header, u32 length);

// One sub-file as the index describes it.
struct ArchiveEntry {
    std::string name;    // the exact bytes of the index
    PakIndexEntry index; // as stored
    // The digest the pak library files it under: that of zero bytes for an
    // empty sub-file, whatever the index holds.
    u8 storedMd5[16];
};

enum ArchiveDamage : u32 {
    ArchiveIntact = 0,
    ArchiveBadHeader,    // the pak library refuses to open it
    ArchiveIndexOutside, // the index does not lie inside the file: refused too
    // The library reads the entries before the damage, and refuses to open
    // the archive for writing.
    ArchiveIndexDamaged,
    ArchiveDataOutside, // an entry's data does not lie in the data area
};

struct ArchiveProblem {
    ArchiveDamage damage = ArchiveIntact;
    std::string what;    // plain English, naming the entry and the field
    std::string subFile; // the damaged entry's name, when it has one
};

// Reads the archive that occupies `length` bytes of `file` from `base`
// (an archive on its own, or one that a patch package carries whole).
// `entries` come in ascending byte order of their names; a later duplicate
// replaces an earlier one, as the library keeps them. Damage is reported in
// `problem` with a true result, together with every entry read before it.
// False only when `file` cannot be read (`problem->what` says where).
bool ReadArchiveIndex(Stream& file, u32 base, u32 length, std::vector<ArchiveEntry>* entries,
                      ArchiveProblem* problem);

// Whether a damage means that the pak library will not open the archive for
// writing, as the patch job opens it.
inline bool ArchiveIsRefused(ArchiveDamage damage) {
    return damage == ArchiveBadHeader || damage == ArchiveIndexOutside ||
           damage == ArchiveIndexDamaged;
}
