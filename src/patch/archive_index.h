// Reads the index of a pak archive straight from its bytes, for the release
// tools and the dry run. Unlike the pak library's Open it only reads: it never
// moves a backup into place, never creates an archive and never writes the
// program log, and it can read an archive that lies inside another file (a
// whole archive carried by a patch package as a loose file).
#pragma once

#include "pak/pak_format.h"
#include "runtime/stream.h"
#include "runtime/types.h"

#include <string>
#include <vector>

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

// Reads the archive that occupies `length` bytes of `file` from `base`.
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
