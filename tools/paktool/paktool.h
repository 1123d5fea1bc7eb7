// Shared pieces of paktool: its exit code for damage, text conversion at
// the edges, and the archive inspection that list and verify report from.
#pragma once

#include "pak/pak_manager.h"
#include "text.h"
#include "tool_error.h"

#include <filesystem>
#include <string>
#include <vector>

namespace paktool {

using pitool::HexDigest;
using pitool::kExitOk;
using pitool::kExitUsageOrIo;
using pitool::ThrowToolError;
using pitool::ToUtf8;

constexpr int kExitDamaged = 1; // damaged archive or digest mismatch

// Command-line text is UTF-8; the library's names and paths are GBK.
std::string ToAcp(const std::string& utf8, const std::string& what);
// A FILETIME as "YYYY-MM-DD HH:MM:SS" UTC, "-" for 0, or "before 1970".
std::string FormatStamp(u32 low, u32 high);

// The archive named on the command line: the process moves to its directory
// and the library gets only its file name in GBK, so that the directories
// above it may have names that GBK cannot spell (paktool enters them through
// the system's wide calls on Windows).
struct ArchiveName {
    std::string display; // as given, for messages
    std::string acp;     // the file name in GBK, relative to the directory
};
ArchiveName EnterArchiveDirectory(const std::string& utf8Path);
// A command-line path (UTF-8) made absolute against the directory paktool
// started in.
std::filesystem::path Absolute(const std::string& utf8Path);

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
// Throws kExitUsageOrIo when the file cannot be read at all.
Inspection Inspect(const ArchiveName& archive);
// Checks every sub-file's range and digest; adds the problems found, in
// entry order.
void VerifyData(const ArchiveName& archive, const std::vector<ListedEntry>& entries, u32 fileSize,
                std::vector<std::string>* problems);

// The commands, with their arguments as given (UTF-8).
int List(const std::string& archive, bool json);
int Verify(const std::vector<std::string>& archives);
// All sub-files when `names` is empty.
int Extract(const std::string& archive, const std::vector<std::string>& names,
            const std::string& directory);
int Create(const std::string& archive, const std::string& directory);
// Each file as FILE or NAME=FILE.
int Add(const std::string& archive, const std::vector<std::string>& files);

} // namespace paktool
