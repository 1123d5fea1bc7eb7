// Whether the code under test still holds a file open, seen from outside as
// another program would see it: an open that shares nothing is refused while
// any other handle on the file is open.
#pragma once

#include <string>
#include <vector>

namespace pitest {

// True when an exclusive open of the file fails with a sharing violation;
// false when it succeeds or the file is missing.
bool IsHeldOpen(const std::string& path);

// The files under `dir` (recursively) whose names end with `suffix`, letter
// case ignored, that are held open. Paths as IsHeldOpen takes them: the
// system code page, '\' between names.
std::vector<std::string> HeldOpenUnder(const std::string& dir, const std::string& suffix);

} // namespace pitest
