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

// A lead byte starts a double-byte character of code page 936, whose second
// byte (a trail byte) may look like '\', '|' or any other ASCII character.
inline bool IsLeadByte(unsigned char c) {
    return c >= 0x81 && c <= 0xFE;
}
inline bool IsLeadByte(char c) {
    return IsLeadByte(static_cast<unsigned char>(c));
}
inline bool IsTrailByte(unsigned char c) {
    return c >= 0x40 && c <= 0xFE && c != 0x7F;
}

} // namespace pi
