// What the platform files of the end-to-end support give its shared part;
// only the support's own files include this.
#pragma once

#include <filesystem>
#include <string>

namespace e2e {

// A name in the system code page as std::filesystem takes it.
std::filesystem::path FsPath(const std::string& path);
// The start of a fresh scratch directory's path, unique to this process;
// Scratch appends a counter.
std::string ScratchPrefix();

} // namespace e2e
