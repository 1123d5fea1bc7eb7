// Shared pieces of paktool: exit codes, errors, text conversion at the
// edges, and the archive inspection that list and verify report from.
#pragma once

#include "pak/pak_manager.h"

#include <string>
#include <vector>

namespace paktool {

constexpr int kExitOk = 0;
constexpr int kExitDamaged = 1; // damaged archive or digest mismatch
constexpr int kExitUsageOrIo = 2;

// Thrown at the edges of the tool and turned into a message and exit code.
struct Failure {
    int code;
    std::string message;
};
[[noreturn]] void Fail(int code, const std::string& message);

// Command-line text is UTF-8; the library's names and paths are GBK.
std::string ToAcp(const std::string& utf8, const std::string& what);
std::string ToUtf8(const std::string& acp);
std::string Hex(const u8* bytes, size_t size);
// A FILETIME as "YYYY-MM-DD HH:MM:SS" UTC, or "-" for 0 or out of range.
std::string FormatStamp(u32 low, u32 high);

// The archive named on the command line: the process moves to its directory
// and the library gets only its file name in GBK, so that the directories
// above it may have names that GBK cannot spell.
struct ArchiveName {
    std::string display; // as given, for messages
    std::string acp;     // the file name in GBK, relative to the directory
};
ArchiveName EnterArchiveDirectory(const std::string& utf8Path);
// A command-line path made absolute against the directory paktool started in.
std::string Absolute(const std::string& utf8Path);

struct ListedEntry {
    std::string name; // GBK, as stored
    PakIndexEntry fields;
};

// The header, the index and every problem found in them, read directly
// from the file with the format's own checks.
struct Inspection {
    u32 fileSize = 0;
    bool headerOnly = false; // a 68-byte file: empty whatever it holds
    PakHeader header{};
    std::vector<ListedEntry> entries;
    std::vector<std::string> problems;
};
// Fails with kExitUsageOrIo when the file cannot be read at all.
Inspection Inspect(const ArchiveName& archive);
// Checks every sub-file's range and digest; adds the problems found, in
// entry order.
void VerifyData(const ArchiveName& archive, const std::vector<ListedEntry>& entries, u32 fileSize,
                std::vector<std::string>* problems);

int List(const std::vector<std::string>& args);
int Verify(const std::vector<std::string>& args);
int Extract(const std::vector<std::string>& args);
int Create(const std::vector<std::string>& args);
int Add(const std::vector<std::string>& args);

} // namespace paktool
