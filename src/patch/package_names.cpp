#include "patch/package.h"

#include "patch/report.h"
#include "platform/codepage.h"
#include "platform/windows_names.h"

#include <cstring>

namespace {

bool IsSeparator(unsigned char c) {
    return c == '\\' || c == '/';
}

// Components Windows would not keep as given: empty ones (a leading
// separator, two in a row, a trailing one), those whose trailing dots or
// spaces it drops ("." and ".." among them), and device names.
std::string WhyNotAComponent(const std::string& component) {
    if (component.empty()) {
        return "it has an empty component (a leading separator, or two in a row, or a "
               "trailing one)";
    }
    if (component.back() == '.' || component.back() == ' ') {
        return FormatText("its component \"%s\" ends in a dot or a space, which Windows drops",
                          component.c_str());
    }
    if (pi::DeviceNamedBy(component) != pi::Device::None) {
        return FormatText("its component \"%s\" is a device name, which Windows reserves",
                          component.c_str());
    }
    return std::string();
}

u32 RoomAfter(u32 used, u32 limit) {
    return used < limit ? limit - used : 0;
}

} // namespace

// Read per character of code page 936, as Windows reads it: the second byte
// of a double-byte character is never a separator or a refused character,
// whatever it looks like.
std::string WhyNotAGameName(const char* name) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(name);
    if (bytes[0] == '\0')
        return "it is empty";
    std::string component;
    for (size_t i = 0;; ++i) {
        const unsigned char c = bytes[i];
        if (c == '\0' || IsSeparator(c)) {
            const std::string why = WhyNotAComponent(component);
            if (!why.empty() || c == '\0')
                return why;
            component.clear();
        } else if (pi::IsLeadByte(c)) {
            if (!pi::IsTrailByte(bytes[i + 1])) {
                return FormatText("its byte 0x%02X at offset %u starts no character of code "
                                  "page 936",
                                  c, static_cast<u32>(i));
            }
            component.append(name + i, 2);
            ++i;
        } else if (c < 0x20 || c == 0xFF || std::strchr("<>:\"|?*", c) != nullptr) {
            return FormatText("it holds the byte 0x%02X, which Windows refuses in names", c);
        } else {
            component.push_back(static_cast<char>(c));
        }
    }
}

bool IsSafeRelativeName(const char* name) {
    return WhyNotAGameName(name).empty();
}

bool HasPakExtension(const char* name) {
    const size_t length = std::strlen(name);
    if (length < 4)
        return false;
    const char* extension = name + length - 4;
    const char* expected = ".pak";
    for (int i = 0; i < 4; ++i) {
        char c = extension[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != expected[i])
            return false;
    }
    return true;
}

std::string FoldGameName(const std::string& name) {
    std::string folded;
    folded.reserve(name.size());
    for (size_t i = 0; i < name.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(name[i]);
        if (pi::IsLeadByte(c) && i + 1 < name.size())
            folded.append(name, i++, 2);
        else if (c >= 'A' && c <= 'Z')
            folded.push_back(static_cast<char>(c + 0x20));
        else
            folded.push_back(c == '/' ? '\\' : static_cast<char>(c));
    }
    return folded;
}

// "dir\name" and its terminator in MAX_PATH bytes.
u32 MaxLooseNameLength(u32 gameDirLength) {
    return RoomAfter(gameDirLength + 2, MAX_PATH);
}

// The pak library builds "dir\name.tmp" and "dir\name.bak" and needs each
// within MAX_PATH - 1 bytes with its terminator.
u32 MaxPakNameLength(u32 gameDirLength) {
    return RoomAfter(gameDirLength + 6, MAX_PATH - 1);
}
