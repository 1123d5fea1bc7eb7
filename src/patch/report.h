// Plain-English failure texts shared by the job and the installer builder.
#pragma once

#include "platform/win32.h"

#include <string>

// printf-style formatting into a string.
std::string FormatText(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A Win32 error code as a player can read it, for example
// "access denied (error 5)".
std::string DescribeSystemError(DWORD code);
