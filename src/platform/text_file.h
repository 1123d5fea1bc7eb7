// The runtime library's text-mode file, as the program log uses it: a name in
// the system code page, and every "\n" written stored as CR LF on every
// platform.
#pragma once

#include <cstdio>

namespace pi {

// fopen(path, mode) in text mode; null when the file cannot be opened.
FILE* OpenTextFile(const char* path, const char* mode);

} // namespace pi
