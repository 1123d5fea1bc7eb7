// Helpers of the diff and dry-run tests, on top of the end-to-end support:
// game versions made up by a test, archives written byte by byte or spoilt
// on purpose, and the plan lines of a dry run's report.
#pragma once

#include "e2e_support.h"

#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace e2e {

constexpr u64 kStamp = 132000000000000000ULL; // 2019
constexpr u64 kHour = 36000000000ULL;

struct LooseFile {
    std::string bytes;
    u64 stamp = 0;
};

struct Archive {
    SubFiles files;
    u64 stamp = 0;
};

// A game version: names as records spell them (code page 936, '\').
struct Version {
    std::map<std::string, LooseFile> files;
    std::map<std::string, Archive> archives;
    // Archives written byte by byte rather than through the pak library
    // (which lower-cases names): their sub-files' names in order, as spelt.
    std::map<std::string, std::vector<std::string>> byHand;
};

void Materialize(const Version& version, const std::string& dir);

// An archive laid out as the format says, without the pak library: the
// sub-files `order` names from `files`, their names spelt as given.
void MakeArchiveByHand(const std::string& path, const SubFiles& files,
                       const std::vector<std::string>& order);

// Every sub-file's bytes, method, original size and stamp.
void ExpectSubFile(const SubFile& expected, const SubFile& held);

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
// Lines as the installer prints them (see Shown).
std::set<std::string> ShownLines(std::initializer_list<std::string> lines);

} // namespace e2e
