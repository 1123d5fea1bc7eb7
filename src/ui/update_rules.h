// The update dialog's decisions that need no window: where the directory is
// remembered, how it is handed to the job, and how progress is shown.
#pragma once

#include <windows.h>

#include <string>

// Where the game's installation directory is kept (maintained by the game's
// own installer; this program only reads it).
extern const char kSettingKey[];
extern const char kModuleDirValue[];

// Reads a directory string from `valueName` under `root`\`subKey`. True only
// for a REG_SZ or REG_EXPAND_SZ value (shown as stored, not expanded) whose
// stored bytes end with a zero and fit 260 bytes with it.
bool ReadDirectoryValue(HKEY root, const char* subKey, const char* valueName, std::string* dir);

// Removes exactly one trailing backslash; looks at the last byte only.
void CutTrailingBackslash(char* text);

// A progress bar position from a posted percentage.
int ClampPercent(WPARAM percent);
