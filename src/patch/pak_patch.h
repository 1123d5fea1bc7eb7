// The decisions of patching one archive, shared by the patch job and its dry
// run so that the two cannot drift apart.
#pragma once

#include "pak/pak_manager.h"
#include "patch/package.h"

#include <atomic>
#include <vector>

// The item that puts a record's sub-file into an archive: taken from the
// unpacked patch exactly as the archive will store it; the library verifies
// storedMd5 while it copies.
PakUpdateItem MakeUpdateItem(const PatchFileRecord& record, Stream* payload, u32 dataBase);

// The records of `pak` that `archive` lacks, or holds with another stored
// digest or storage method, as items for the rewrite, in record order. False
// when `cancel` (if given) is raised on the way.
bool FindChangedRecords(PakArchive* archive, const PatchPakRecord& pak,
                        const std::vector<PatchFileRecord>& files, Stream* payload, u32 dataBase,
                        const std::atomic<u32>* cancel, std::vector<PakUpdateItem>* items);
