// The tools' edge with the operating system: the command line (tool_main.h's
// ArgumentsOf), the console, interrupts, file times and the paths the
// installer's libraries take. One header, one file per system
// (system_posix.cpp, system_windows.cpp), so that paktool and mkpatch hold no
// platform code of their own.
//
// Paths are UTF-8 throughout the tools. A file the tool opens itself goes
// through PathOf, which on Windows reaches the wide calls: any name works
// there. A path handed to the installer's libraries must be spelt in code
// page 936 (LibraryPath), as the game's own libraries take it.
#pragma once

#include "platform/win32.h"

#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace pitool {

inline std::filesystem::path PathOf(const std::string& utf8) {
    return std::filesystem::u8path(utf8);
}
inline std::string Utf8Of(const std::filesystem::path& path) {
    return path.u8string();
}

// `utf8Path` in code page 936 for the installer's libraries; throws ToolError
// with `exitCode`, naming `what` ("the path") and the path, when it cannot
// be spelt there (on Windows also when the system's ANSI code page, through
// which the libraries open it, is another one).
std::string LibraryPath(const std::string& utf8Path, const std::string& what, int exitCode);

// A system error in words, as UTF-8 (Windows words its messages in the ANSI
// code page).
std::string ErrorText(const std::error_code& error);

// Standard output and error carry UTF-8 with "\n" line ends, to a terminal
// and to a pipe or file alike. RunTool calls it first.
void PrepareOutput();
// True when `stream` is a terminal (a console on Windows), where progress is
// drawn in place.
bool IsTerminal(std::FILE* stream);

// The last-write time of a file or directory; throws kExitUsageOrIo when it
// cannot be read.
FILETIME ModificationTime(const std::string& utf8Path);

// A file that an interrupt (Ctrl-C, Ctrl-Break, SIGTERM, closing the console)
// removes before the tool ends with exit code 130: the partly written
// installer (with the unsigned copy a signing run keeps beside it), the
// inflated package. Null to forget them.
void RemoveOnInterrupt(const std::string* utf8Path, const std::string* second = nullptr);

// Runs another program to its end, for a step a tool hands over (signing an
// installer). Its standard output goes to the tool's standard error, so that
// what the tool prints on standard output stays its own. Returns the exit
// code; -1 when it could not be started or did not end normally, with
// `error` saying why. `program` is found on the PATH when it names no
// directory. Arguments are UTF-8.
int RunProgram(const std::string& program, const std::vector<std::string>& args,
               std::string* error);

} // namespace pitool
