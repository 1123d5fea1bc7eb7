// When the installer takes a sub-file that an archive already holds for the
// one a record carries. The job, the dry run and the installer builder all
// decide it here, so that none of them can drift from the others.
#pragma once

#include "runtime/types.h"

#include <cstring>

// Same stored digest and same storage method. The original size, the
// original digest and the stamp travel with a record but are never compared:
// a sub-file that differs only in them is left as it is.
inline bool SameStoredSubFile(const u8 (&heldMd5)[16], u32 heldMethod, const u8 (&recordMd5)[16],
                              u32 recordMethod) {
    return std::memcmp(heldMd5, recordMd5, 16) == 0 && heldMethod == recordMethod;
}
