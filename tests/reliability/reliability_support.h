// Support for the reliability tests: game directories kept pristine and
// copied afresh for every run, one representative patch, the installer run
// in a forked child (in-process) or as a child process stopped at a chosen
// call, and readable differences between two directories.
//
// Paths are in the system code page with '\' as separator, as the e2e
// helpers take them.
#pragma once

#include "e2e_support.h"
#include "platform/fault.h"

#include <map>
#include <string>
#include <vector>

namespace rel {

using e2e::RemoveTree;
using e2e::Scratch;
using e2e::Snapshot;
using e2e::TakeSnapshot;

// Replaces `to` by a copy of `from`: bytes, modes and write times.
void CopyTree(const std::string& from, const std::string& to);
// The names whose entries differ, one per line, for failure messages.
std::string Difference(const Snapshot& expected, const Snapshot& actual);
// Temporary and backup files anywhere under `dir`.
std::vector<std::string> Leftovers(const std::string& dir);

// Sub-files by name, read from a copy of the archive (or of its backup when
// the archive is missing) so that the pak library's recovery cannot change
// the directory under test. False when neither can be read whole.
bool ReadArchiveOrBackup(const std::string& archive, e2e::SubFiles* files);

// The representative patch: a read-only loose file that it replaces, loose
// files in a missing directory, an archive that changes, an archive that is
// already up to date, and a new archive in a missing directory.
struct RepresentativePatch {
    std::string pristine;  // the game directory before the patch
    std::string installer; // the orv installer that carries the patch
    // The archives of the game before the patch, with their sub-files.
    std::vector<std::pair<std::string, e2e::SubFiles>> before;
};
RepresentativePatch MakeRepresentativePatch(const Scratch& scratch);

// The patch job run in-process, in a forked child so that a handle that a
// failing CloseHandle kept open dies with it. With `trace`, the kinds of the
// platform calls of the run are returned through it.
struct JobOutcome {
    bool ran = false; // the child ended normally
    bool result = false;
    std::vector<pi::fault::Call> calls;
};
struct Fault {
    pi::fault::Call call = pi::fault::Call::Any;
    unsigned n = 0; // 0: none
    DWORD error = 0;
    bool forever = false;
};
JobOutcome RunJobInChild(const std::string& game, const std::string& installer,
                         const Fault& fault = Fault(), bool trace = false);

// The installer as a child process with `env` added; its exit status, or
// 128 + the signal that ended it. Its output is not looked at.
int RunInstallerQuietly(const std::string& installer, const std::string& game,
                        const std::vector<std::string>& env);
// The same with PI_PAUSE_AT=n: when the installer stops there it is killed
// with SIGKILL. True when it was killed, false when it ended first.
bool RunInstallerKilledAt(const std::string& installer, const std::string& game, unsigned n);

// The game directory after an uninterrupted run from `pristine`.
Snapshot UninterruptedResult(const std::string& pristine, const std::string& installer);

// The representative patch and what an uninterrupted run makes of it, found
// once per test program: the installer's result, and the kinds of the
// platform calls the job makes.
struct Baseline {
    Baseline();
    Scratch scratch;
    RepresentativePatch patch;
    std::vector<pi::fault::Call> calls;
    Snapshot expected;
    std::map<std::string, e2e::SubFiles> updated; // archive -> its sub-files after the patch
};
const Baseline& GetBaseline();

// Every sub-file the game had before the patch is still there, with its old
// or its new bytes (digests checked), in its archive or in the backup.
void ExpectNothingLost(const Baseline& base, const std::string& game);
// The snapshot without the leftovers that a power cut may bring back after a
// run has ended (their deletion was not yet durable).
Snapshot WithoutLeftovers(Snapshot snapshot);

// Deterministic bytes that do not compress.
std::string NoiseBytes(size_t size, unsigned seed);

} // namespace rel
