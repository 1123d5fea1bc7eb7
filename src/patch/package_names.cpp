#include "patch/package.h"

#include <cstring>

namespace {

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

// Win32 drops trailing dots and spaces from a component, so "..", "... " and
// the like all climb out of the directory.
bool IsParentComponent(const char* begin, const char* end) {
    int dots = 0;
    for (const char* p = begin; p != end; ++p) {
        if (*p == '.') {
            ++dots;
        } else if (*p != ' ') {
            return false;
        }
    }
    return dots >= 2;
}

u32 RoomAfter(u32 used, u32 limit) {
    return used < limit ? limit - used : 0;
}

} // namespace

// Scans byte by byte: a separator byte that is really the second byte of a
// double-byte character can only make the test stricter, never let a climb
// out of the directory through.
bool IsSafeRelativeName(const char* name) {
    if (name[0] == '\0' || IsSeparator(name[0]) || std::strchr(name, ':') != nullptr) {
        return false;
    }
    const char* component = name;
    for (const char* p = name;; ++p) {
        if (*p != '\0' && !IsSeparator(*p)) {
            continue;
        }
        if (IsParentComponent(component, p)) {
            return false;
        }
        if (*p == '\0') {
            return true;
        }
        component = p + 1;
    }
}

bool HasPakExtension(const char* name) {
    const size_t length = std::strlen(name);
    if (length < 4) {
        return false;
    }
    const char* extension = name + length - 4;
    const char* expected = ".pak";
    for (int i = 0; i < 4; ++i) {
        char c = extension[i];
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
        if (c != expected[i]) {
            return false;
        }
    }
    return true;
}

std::string FoldGameName(const std::string& name) {
    std::string folded;
    folded.reserve(name.size());
    for (size_t i = 0; i < name.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(name[i]);
        if (c >= 0x81 && c <= 0xFE && i + 1 < name.size()) {
            folded.append(name, i++, 2);
        } else if (c >= 'A' && c <= 'Z') {
            folded.push_back(static_cast<char>(c + 0x20));
        } else {
            folded.push_back(c == '/' ? '\\' : static_cast<char>(c));
        }
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
