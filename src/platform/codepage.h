// Conversion between the system's narrow code page (936, GBK) and UTF-8, for
// the edges where text comes from or goes to a UTF-8 world: the Linux file
// system, terminals, command lines and JSON output.
#pragma once

#include <string>

namespace pi {

// False when `text` is not valid in the source encoding or has no
// equivalent in the target one; `out` is then unspecified.
bool AcpToUtf8(const std::string& text, std::string* out);
bool Utf8ToAcp(const std::string& text, std::string* out);

// Best effort for display: bytes that cannot be converted become '?'.
std::string AcpToUtf8Lossy(const std::string& text);

} // namespace pi
