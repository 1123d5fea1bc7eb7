// Scratch folders and small file helpers for the user-interface tests.
#pragma once

#include <windows.h>

#include <string>

// A fresh folder under the temporary directory, removed with its contents.
class ScratchDir {
  public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    // Without a trailing backslash.
    const std::string& Path() const { return m_path; }

  private:
    std::string m_path;
};

bool Exists(const std::string& path);
bool IsDirectory(const std::string& path);
bool WriteFile(const std::string& path, const std::string& bytes);
bool ReadFile(const std::string& path, std::string* bytes);
void RemoveTree(const std::string& path);
// A drive letter that names no drive.
char UnusedDriveLetter();
