// mkpatch: builds patch installers from directories and pak archives, and
// inspects them. The pieces of the tool share these declarations.
#pragma once

#include "pak/pak_reader.h"
#include "patch/installer_reader.h"
#include "patch/package_writer.h"
#include "platform/win32.h"
#include "runtime/types.h"
#include "system.h"
#include "text.h"
#include "tool_error.h"

#include <map>
#include <set>
#include <string>
#include <vector>

namespace mkpatch {

using pitool::HexDigest;
using pitool::kExitOk;
using pitool::kExitUsageOrIo;
using pitool::ModificationTime;
using pitool::PathOf;
using pitool::RemoveOnInterrupt;
using pitool::ThrowToolError;
using pitool::ToUtf8;
using pitool::Utf8Of;

// Exit codes: damaged or unusable input is kept apart from usage mistakes
// and I/O failures (kExitUsageOrIo).
constexpr int kExitBadInput = 1;
// `inspect --against`: the installer would change the game directory (every
// failure is kExitBadInput there).
constexpr int kExitWouldChange = 2;

// Text conversions at the edge between the UTF-8 world (file system,
// command line, terminal, JSON) and the code page 936 names of the package:
// a name GBK cannot spell is bad input, a path a usage mistake.
std::string ToAcp(const std::string& utf8, const char* what);
// A path as the installer's libraries take it (code page 936).
std::string PathToAcp(const std::string& utf8Path);

// "2024-05-01 12:30:00 UTC".
std::string FormatStamp(const FILETIME& stamp);
u64 StampValue(const FILETIME& stamp);

// Reads and checks the index of the archive at `utf8Path`: header, index
// bounds, entry checks, and every entry's data inside the data area. Throws
// kExitBadInput for damage, kExitUsageOrIo when the file cannot be read.
// Entries come in name order; a later duplicate replaces an earlier one.
std::vector<ArchiveEntry> ReadSourceArchive(const std::string& utf8Path);
// Reads every sub-file's data and throws kExitBadInput, naming the archive
// and the sub-file, at the first that does not match its digest.
void VerifySourceArchive(const std::string& utf8Path, const std::vector<ArchiveEntry>& entries);

// A regular file under a directory that the tool takes files from.
struct FoundFile {
    std::string relative; // UTF-8, '/' separated
    std::string path;     // UTF-8
};
// Every regular file under `dir`, in byte order of the relative paths.
std::vector<FoundFile> ListFiles(const std::string& dir);
// A relative path as a record names it: '\' separated, code page 936.
std::string RecordName(const std::string& relativeUtf8, const char* what);
// The same for a file the installer writes into the game directory (a loose
// file, an archive): refused, naming the file, where Windows would not keep
// the name as given.
std::string GameRecordName(const FoundFile& found);
std::string LowerCased(std::string name);
// The game's directories are case-insensitive: two names of one tree that
// Windows takes for one would land on the same file.
void CheckUnique(std::set<std::string>* seen, const std::string& name, const std::string& where);
// An archive files its sub-files under their byte-wise lower-case names: two
// names that lower-case alike would land on the same sub-file.
void CheckUniqueSubFile(std::set<std::string>* seen, const std::string& name,
                        const std::string& where);
// A plain file stored unchanged, stamped with its modification time.
PackageFile DescribeFile(const FoundFile& found, const std::string& name);
// A sub-file of the archive at `archiveUtf8` exactly as the archive stores
// it, under the lower-case name the pak library files it under.
PackageFile DescribeSubFile(const std::string& archiveUtf8, const ArchiveEntry& entry);

// Where a record's bytes come from, to tell afterwards why a build failed.
// One per record, in package order: every archive's sub-files, then the
// loose files.
struct SourceNote {
    const PackageFile* file; // set by WriteInstaller
    std::string path;        // UTF-8
    bool fromArchive;
};
// A code-signing certificate and its private key (files osslsigncode reads),
// and the address of a time-stamping authority, if any.
struct Signing {
    std::string certificate;
    std::string key;
    std::string timestampUrl;
    bool Requested() const { return !certificate.empty(); }
};

// Streams `contents` into `output` behind a copy of `stub`, with progress on
// a terminal, and signs the result when asked to; on failure, says whose
// fault it was and leaves nothing new at `output`. Returns where the
// installer written carries its package (and its signature), as read back.
PackageLocation WriteInstaller(const std::string& stub, const std::string& output, int level,
                               const Signing& signing, const PackageContents& contents,
                               std::vector<SourceNote>* notes);
// Signs the finished installer at `unsignedPath` into `output` through
// osslsigncode, then removes `unsignedPath`. Checks that the package is
// still found in the signed file.
void SignInstaller(const Signing& signing, const std::string& unsignedPath,
                   const std::string& output);

// Where the installer at `utf8Path` carries its package, read as the
// installer reads it; false, with `problem` (UTF-8), when it is not found.
bool LocatePackage(const std::string& utf8Path, PackageLocation* where, std::string* problem);

// Who signed an installer, as read from its certificate table.
struct InstallerSignature {
    bool present = false;
    u32 table = 0; // file offset and size of the certificate table
    u32 size = 0;
    std::string signer;  // UTF-8, "C=.., O=.., CN=.." of the signer's certificate
    std::string problem; // why the signer could not be read
};
InstallerSignature ReadSignature(FileStream& installer, const PackageLocation& where);
// The size of the installer that WriteInstaller would write, unsigned, found
// without writing it (the package compressed the same way, only counted);
// failures are told as WriteInstaller tells them.
u64 MeasureInstallerSize(const std::string& stub, int level, const PackageContents& contents,
                         std::vector<SourceNote>* notes);

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
    Signing signing;
};

struct DiffOptions {
    std::string stub;
    std::string output;
    std::vector<std::string> oldDirs; // one or more
    std::string newDir;
    bool strict = false; // what the package cannot express is an error
    bool json = false;
    int level = 9;
    Signing signing;
};

int RunBuild(const BuildOptions& options);
int RunDiff(const DiffOptions& options);
// With `againstDir` (UTF-8), also what the installer would do to that game
// directory, as its dry run tells it.
int RunInspect(const std::string& installer, bool json, const std::string& againstDir);

} // namespace mkpatch
