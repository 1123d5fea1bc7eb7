// Text at the tools' edges: the command line, the terminal and JSON are
// UTF-8; names and paths inside the installer's libraries are code page 936.
#pragma once

#include "runtime/types.h"

#include <string>

namespace pitool {

// `utf8` in code page 936; throws ToolError with `exitCode` naming `what`
// ("the file name") when GBK has no spelling for it.
std::string ToAcp(const std::string& utf8, const std::string& what, int exitCode);
// Lossy, for display: what cannot be converted becomes '?'.
std::string ToUtf8(const std::string& acp);

// 32 lower-case hex digits.
std::string HexDigest(const u8 digest[16]);

// A FILETIME (100-ns ticks since 1601, UTC) as "YYYY-MM-DD HH:MM:SS", for
// every value the 64 bits can hold.
std::string FormatFileTime(u64 ticks);

} // namespace pitool
