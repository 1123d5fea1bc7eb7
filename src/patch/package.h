// The patch package: the installer's executable tail (a raw-deflate stream and
// an 8-byte trailer) and the inflated package (pak table, file-record table,
// data area), with the routines that read and check it.
#pragma once

#include "platform/win32.h"
#include "runtime/stream.h"
#include "runtime/types.h"

#include <string>
#include <vector>

constexpr u32 kPatchTrailerSize = 8;
constexpr u32 kPatchNameSize = 260;
constexpr u32 kInflateInputSize = 4096;
constexpr u32 kInflateOutputSize = 163840;
// The largest record table read into memory: 800 000 file records, far more
// than any patch, and little of a 32-bit process's address space.
constexpr u32 kMaxManifestTableSize = 256u << 20;

#pragma pack(push, 1)
struct PatchTrailer {
    u32 payloadStart; // file offset of the compressed package; 0 is invalid
    u32 payloadStartCopy;
};

// One pak archive to bring up to date.
struct PatchPakRecord {
    char name[kPatchNameSize]; // relative to the game directory
    FILETIME stamp;            // the archive's last-write time after a rewrite
    u32 firstRecord;
    u32 recordCount;
};

// One sub-file of a pak archive, or one loose file.
struct PatchFileRecord {
    char name[kPatchNameSize];
    u32 dataOffset; // from the start of the data area
    u32 dataSize;
    u8 storedMd5[16];
    u32 originalSize;
    u8 originalMd5[16];
    FILETIME stamp;
    u32 method;
    u32 inPak;
};
#pragma pack(pop)

static_assert(sizeof(PatchTrailer) == 8, "trailer layout");
static_assert(sizeof(PatchPakRecord) == 276, "pak record layout");
static_assert(sizeof(PatchFileRecord) == 320, "file record layout");

// Inflates `length` bytes (0xFFFFFFFF: src.GetSize()) of raw deflate data from
// the current position of `src` into `dst`. 0 on success, else the zlib code;
// input that runs out before the final block is Z_DATA_ERROR.
int InflateStream(Stream& src, Stream& dst, u32 length);

// Why a package was refused, with the record it concerns.
struct ManifestProblem {
    std::string what; // plain English, for logs and tools
};

struct Manifest {
    std::vector<PatchPakRecord> paks;
    std::vector<PatchFileRecord> files;
    u32 dataBase = 0;
};

// Reads the two tables from `payload` at `manifestPos`. The counts are checked
// against the payload's size before anything is allocated.
bool ReadManifest(Stream& payload, u32 manifestPos, Manifest* manifest, ManifestProblem* problem);

// Why Windows would not take `name` as the path of a file inside the game
// directory, in plain English ("its component \"aux.cfg\" is a device
// name, ..."); empty when it would. Refused: an empty name or component (a
// leading separator, two in a row, a trailing one), a component ending in a
// dot or a space ("." and ".." among them), a device name (CON, PRN, AUX,
// NUL, COM1 to COM9, LPT1 to LPT9, with any extension, in any case), the
// bytes 0x01 to 0x1F and <>:"|?*, and bytes that are no character of code
// page 936. '\' and '/' are separators; the second byte of a double-byte
// character is neither, nor is it '|'.
std::string WhyNotAGameName(const char* name);
bool IsSafeRelativeName(const char* name);
// Whether `name` ends in ".pak" in any letter case: the only archives the pak
// library opens.
bool HasPakExtension(const char* name);
// The key under which Windows takes two names of the game directory for the
// same file: ASCII letters in one case and '/' as '\', read per character of
// code page 936, so a double-byte character is kept whole (its second byte
// may look like a letter or a separator, and is neither).
std::string FoldGameName(const std::string& name);

// The longest name a record may carry for a game directory of `gameDirLength`
// bytes: loose files need "dir\name" to fit 260 bytes with the terminator;
// archives also need room for the ".tmp" and ".bak" names made beside them.
u32 MaxLooseNameLength(u32 gameDirLength);
u32 MaxPakNameLength(u32 gameDirLength);

// Checks everything the job relies on before it touches the game directory:
// pak ranges, data ranges, names (terminated, relative, no drive, no "..",
// short enough to join to `gameDirLength` bytes of directory).
bool ValidateManifest(const Manifest& manifest, u32 payloadSize, u32 gameDirLength,
                      ManifestProblem* problem);
