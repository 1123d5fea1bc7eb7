// The dry run: what the patch job would do to a game directory, found without
// touching it. It makes the job's own decisions in the job's order: the
// manifest is checked against the directory's length, loose files come first,
// then each pak record compares its records with the archive as the job would
// find it by that time (the file on disk, the backup the job would move back,
// a whole archive that a loose record of the same package writes, or the
// archive as an earlier pak record left it). Archives are read with
// ReadArchiveIndex, never through the pak library, whose Open moves backups
// and creates archives.
//
// Loose files are compared by content: the job rewrites every loose file,
// and the plan tells a change of bytes from a rewrite of the same bytes. A
// file whose bytes stay and whose time would be set is listed, but does not
// count as a change: the job's own test of "up to date" (for archives)
// ignores times too, and file systems with a coarse clock would otherwise
// report a change after every run.
#pragma once

#include "patch/package.h"
#include "runtime/stream.h"

#include <string>
#include <vector>

struct PlannedFile {
    enum Action { Create, Replace, SameBytes };
    std::string name; // as the record spells it
    Action action = Create;
    bool timeChanges = false; // SameBytes only: the job would set another time
    u64 oldSize = 0;          // of the file there before the run, if any
    u64 newSize = 0;
};

struct PlannedSubFile {
    std::string name;
    bool replaces = false; // false: the archive lacks it
};

struct PlannedPak {
    enum Action {
        NoRecords, // the job does not even open it
        UpToDate,  // every record is present with the same digest and method
        Create,    // the archive does not exist: created with every record
        Rewrite,   // rewritten with the sub-files below
    };
    std::string name;
    Action action = NoRecords;
    u32 records = 0;
    bool restoresBackup = false; // the job moves NAME.bak back first
    bool removesBackup = false;  // the job deletes a NAME.bak left beside it
    bool fromPackage = false;    // compared with the archive a loose record writes
    std::vector<PlannedSubFile> subFiles;
    u64 oldSize = 0; // of the archive the job opens (Rewrite)
    u64 newSize = 0; // of the archive it writes beside it (Create, Rewrite)
};

struct UpdatePlan {
    enum Outcome { NoChange, Changes, Unusable };

    std::vector<PlannedFile> files; // one per path, in the order first written
    std::vector<PlannedPak> paks;   // in table order, up to a failure
    // Damage found in the game directory, each naming archive and entry.
    std::vector<std::string> damage;
    // Why a real run would stop; the plan ends where it would.
    std::string failure;

    // NoChange: a real run would leave every byte as it is. Unusable: the
    // plan could not be made whole (damage, a failure, an unreadable file).
    Outcome GetOutcome() const;

    // The most room the run takes on the game's volume at any moment: what
    // the loose files add over the files they replace, then for each
    // archive in turn the new one written beside the old, on top of what the
    // archives before it added.
    u64 RoomNeeded() const;
};

// `gameDir` is in the system code page without a trailing separator, as the
// job takes it; `payload` is the extracted package that `manifest` was read
// from, already checked (ExtractedPackage, or the tools' own reader).
// With `compareBytes` false, a loose file that exists is taken as replaced
// without reading it: enough for sizes, and far quicker.
void PlanUpdate(const Manifest& manifest, Stream& payload, const std::string& gameDir,
                UpdatePlan* plan, bool compareBytes = true);

// The plan as lines of text in the system code page: one line per loose file
// created, replaced or given a new time, one per archive with one more per
// sub-file added or replaced, then the damage, the failure and a summary.
std::string DescribePlan(const UpdatePlan& plan);
