// The benchmark's data: a game directory with one large archive and loose
// files, the same archive with no large sub-file, the sources of a patch, and
// an archive of many tiny sub-files. Everything is derived from the size
// parameter and fixed seeds, so two builds measure the same bytes.
#pragma once

#include "runtime/types.h"

#include <string>

namespace bench {

struct DataSet {
    std::string root;        // the directory that holds everything below
    std::string pristine;    // game directory before the patch: data/main.pak, loose files
    std::string flat;        // data/main.pak of the same size, no sub-file over 1 MiB
    std::string patchMain;   // new and changed sub-files of data/main.pak
    std::string patchNew;    // the sub-files of the new archive data/new.pak
    std::string patchLoose;  // loose files
    std::string concat;      // every byte mkpatch compresses, back to back
    std::string manyEntries; // an archive of `manyCount` tiny sub-files

    u64 archiveBytes = 0;
    u32 archiveEntries = 0;
    u64 largestSubFile = 0;
    u64 flatLargest = 0;
    u64 patchBytes = 0;
    u32 patchRecords = 0;
    u64 manyIndexBytes = 0;
};

// Writes the data for an archive of `sizeMiB` MiB below `root` unless a
// complete set for that size is already there. Prints what it does.
DataSet PrepareData(const std::string& root, u32 sizeMiB, u32 manyCount);

} // namespace bench
