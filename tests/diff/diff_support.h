// Helpers of the diff and dry-run tests, on top of the end-to-end support:
// archives spoilt on purpose, and the plan lines of a dry run's report.
#pragma once

#include "e2e_support.h"

#include <set>
#include <string>

namespace e2e {

// Points the name of index entry `entry` of the archive at `path` past the
// names area, enciphering the index again: the pak library keeps the entries
// before it and reports the archive damaged.
void SpoilIndexEntry(const std::string& path, u32 entry);
// Flips one data byte of the sub-file `name`.
void SpoilSubFileData(const std::string& path, const std::string& name);

// The lines of a dry run's report that name a change: files created,
// replaced or given a new time, archives created, rewritten or restored, and
// the sub-files added or replaced (these keep their indentation).
std::set<std::string> ChangeLines(const std::string& report);

} // namespace e2e
