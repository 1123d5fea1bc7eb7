// mkpatch: builds patch installers from directories and pak archives, and
// inspects them. The pieces of the tool share these declarations.
#pragma once

#include "pak/pak_format.h"
#include "platform/win32.h"
#include "runtime/types.h"

#include <map>
#include <string>
#include <vector>

namespace mkpatch {

// Exit codes: damaged or unusable input is kept apart from usage mistakes
// and I/O failures.
constexpr int kExitOk = 0;
constexpr int kExitBadInput = 1;
constexpr int kExitUsageOrIo = 2;

// Thrown at the first problem; main() prints it and exits with its code.
struct ToolError {
    int exitCode;
    std::string message; // UTF-8
};
[[noreturn]] void Fail(int exitCode, const std::string& message);

// Text conversions at the edge between the UTF-8 world (file system,
// command line, terminal, JSON) and the code page 936 names of the package.
std::string ToAcp(const std::string& utf8, const char* what);
std::string ToUtf8(const std::string& acp); // lossy, for display only
// A Linux path as the installer's libraries take it (code page 936).
std::string PathToAcp(const std::string& utf8Path);

// A file that Ctrl-C (or SIGTERM) removes before the tool ends: the partly
// written installer, the inflated package. One at a time; null to forget it.
void RemoveOnInterrupt(const std::string* utf8Path);

// Modification time of a file or directory as a FILETIME.
FILETIME ModificationTime(const std::string& utf8Path);
// "2024-05-01 12:30:00 UTC"; a zero stamp is "none".
std::string FormatStamp(const FILETIME& stamp);
u64 StampValue(const FILETIME& stamp);
std::string HexDigest(const u8 digest[16]);
std::string JsonString(const std::string& utf8);

// One sub-file of a source archive, as its index describes it.
struct ArchiveEntry {
    std::string name; // exact bytes of the index
    PakIndexEntry index;
};

// Reads and checks the index of the archive at `utf8Path`: header, index
// bounds, entry checks, and every entry's data inside the data area. Throws
// kExitBadInput for damage, kExitUsageOrIo when the file cannot be read.
// Entries come in name order; a later duplicate replaces an earlier one.
std::vector<ArchiveEntry> ReadArchiveIndex(const std::string& utf8Path);

struct PakOption {
    std::string name;   // UTF-8, as given
    std::string source; // UTF-8 path of a directory or an archive
};

struct BuildOptions {
    std::string stub;
    std::string output;
    std::string filesDir; // empty: no loose files
    std::vector<PakOption> paks;
    int level = 9;
};

int RunBuild(const BuildOptions& options);
int RunInspect(const std::string& installer, bool json);

} // namespace mkpatch
