// `--dry-run`: what the installer would do to a game directory, told without
// touching it.
#pragma once

#include <string>

namespace cli {

constexpr int kDryRunNoChange = 0;
constexpr int kDryRunFailed = 1; // damaged installer, unreadable directory, bad usage
constexpr int kDryRunChanges = 2;

// Reads the installer this program is part of, compares its patch with
// `gameDir` (system code page, no trailing separator) as the job would, and
// prints the plan.
int RunDryRun(const std::string& gameDir);

} // namespace cli
