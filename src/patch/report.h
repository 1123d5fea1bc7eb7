// Plain-English failure texts shared by the job and the installer builder.
#pragma once

#include "platform/win32.h"
#include "runtime/types.h"

#include <string>

// printf-style formatting into a string. mingw's C99 printf does the work
// there (%zu included), so its format is the one checked, not msvcrt's.
#ifdef __MINGW_PRINTF_FORMAT
#define PI_FORMAT_TEXT_ARCHETYPE __MINGW_PRINTF_FORMAT
#else
#define PI_FORMAT_TEXT_ARCHETYPE printf
#endif
std::string FormatText(const char* format, ...)
    __attribute__((format(PI_FORMAT_TEXT_ARCHETYPE, 1, 2)));

// A number of bytes as a person reads it: "512 bytes", "3.4 MiB".
std::string DescribeSize(u64 bytes);

// A Win32 error code as a player can read it, for example
// "access denied (error 5)".
std::string DescribeSystemError(DWORD code);
// The same for an operation on the file at `path`; when another program
// holds the file (errors 32 and 33), it is named, with its process id,
// where it can be found.
std::string DescribeFileError(DWORD code, const std::string& path);
// "; held open by NAME (process ID)", or empty when no program can be named.
std::string DescribeFileHolders(const std::string& path);
