// Which programs hold a file open: for a message that says why a file is in
// use, so that a player can close the game (or whatever it is) and try again.
#pragma once

#include <string>

namespace pi {

// The programs other than this one that hold the file at `path` (code page
// 936), as "name (process 1234)", joined with ", "; empty when none can be
// named. On Windows the Restart Manager tells; on Linux the open files
// under /proc.
std::string NameFileHolders(const char* path);

} // namespace pi
