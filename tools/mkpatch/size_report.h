// The size report of `mkpatch diff` and `mkpatch inspect`: what a package
// carries, one row per archive and per directory of loose files, largest
// first, and why (new or changed) where that is known. Sizes are the stored
// bytes: the package is one deflate stream, so no row's share of the
// compressed size is known.
#pragma once

#include "json_output.h"
#include "runtime/types.h"

#include <string>
#include <vector>

namespace mkpatch {

// Why a record is carried. Only a game directory tells new from changed:
// without one, a record is just carried.
enum class Carried { Changed, New, Equal, Unknown };

struct CarriedRecord {
    std::string archive; // code page 936: the pak record's name; empty for a loose file
    std::string name;    // code page 936, as the record spells it
    u64 size = 0;        // stored bytes
    Carried why = Carried::Unknown;
    bool outsideArchives = false; // an in-pak record no pak record lists
};

struct SizeRow {
    enum Kind { Archive, Directory, OutsideArchives };
    std::string name; // UTF-8: the archive, or the directory ending in '\' (".\" at the top)
    Kind kind = Archive;
    u64 bytes = 0;
    u32 counts[4] = {}; // by Carried
};

// The rows, largest first (ties by name).
std::vector<SizeRow> SizeRows(const std::vector<CarriedRecord>& records);
void PrintSizeReport(const std::vector<SizeRow>& rows);
pitool::Json SizeReportJson(const std::vector<SizeRow>& rows);

} // namespace mkpatch
