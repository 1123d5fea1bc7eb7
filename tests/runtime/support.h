// Scratch directories, whole-file access through the Win32 calls under test,
// and a view of the program log, for the runtime tests.
#pragma once

#include "platform/win32.h"

#include <string>

namespace rt {

// A fresh directory under the temporary directory, spelled with '\' and
// removed with its contents at the end of the test.
struct TempDir {
    TempDir();
    ~TempDir();
    std::string operator/(const std::string& name) const { return path + "\\" + name; }
    std::string path;
};

// The name as the C and C++ libraries take it ('/' on Linux).
std::string Native(std::string path);
// "<missing>" when the file cannot be opened.
std::string Read(const std::string& path);
void Write(const std::string& path, const std::string& data, bool readOnly = false);
// True when `path` exists and has one of the attribute `bits`.
bool Has(const std::string& path, DWORD bits);
inline bool Exists(const std::string& path) {
    return Has(path, ~0u);
}

// The program log's file beside this test program.
std::string ProgramLogPath();

// What the program log gained since construction, which builds the log.
struct LogCapture {
    LogCapture();
    std::string Added();
    std::string path;
    size_t start = 0;
};

} // namespace rt
