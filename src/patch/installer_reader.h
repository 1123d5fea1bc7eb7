// The one reader of installers: where the package stands (the trailer), its
// inflation into a temporary file, its manifest read and checked, and its
// records' digests. The patch job, the dry run, mkpatch's diff and inspect
// read installers only through it, so they cannot disagree on what an
// installer holds.
#pragma once

#include "patch/package.h"
#include "runtime/stream.h"

#include <string>
#include <vector>

// Where an installer carries its compressed package.
struct PackageLocation {
    u32 fileSize = 0;
    PatchTrailer trailer = {0, 0};
    u32 trailerStart = 0;   // the file offset of the trailer
    u32 compressedSize = 0; // from trailer.payloadStart to the trailer
    // A signed installer: the certificate table that ends the file, which
    // the trailer stands just before (0 and 0 when unsigned).
    u32 certificateTable = 0;
    u32 certificateSize = 0;
};

// Why an installer cannot be read: damage in it (`damaged`), or a file that
// cannot be read or written. Plain English, naming the file.
struct PackageProblem {
    bool damaged = false;
    std::string what;
};

// The trailer is the last 8 bytes of the file or, when the file is a PE
// whose certificate table (a signature) ends it, the 8 bytes just before
// that table. Its first word is where the compressed package starts, which
// must lie between the program and the trailer. `name` is the installer's
// name for messages.
bool FindPackage(FileStream& installer, const std::string& name, PackageLocation* where,
                 PackageProblem* problem);

// Inflates the package that `where` locates into `temp`, open for writing
// (`tempName` for messages). A stream cut short is damage.
bool UnpackPackage(FileStream& installer, const std::string& name, const PackageLocation& where,
                   Stream& temp, const std::string& tempName, PackageProblem* problem);

// Reads the manifest of the inflated package and checks everything the job
// relies on for a game directory of `gameDirLength` bytes (0: names only).
bool LoadManifest(Stream& payload, u32 gameDirLength, Manifest* manifest, PackageProblem* problem);

// Whether each record's bytes match its stored digest, in record order.
// False only when the bytes cannot be read.
bool CheckRecordDigests(Stream& payload, const Manifest& manifest, std::vector<bool>* matches);
