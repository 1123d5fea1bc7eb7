// Whole-file operations of the job and the pak library. Refusals of the
// delete and move operations are written to the program log, one line each.
#pragma once

#include "platform/win32.h"
#include "runtime/types.h"

bool DeleteFileLogged(const char* path);
// `from` ends up under the name `to`, replacing a file there.
bool MoveFileLogged(const char* from, const char* to);
// `from` replaces `to`; the old `to` passes through the name `backup`.
bool ReplaceFileLogged(const char* from, const char* to, const char* backup);
// Sets the last-write time only; creates the file empty if it is missing.
bool SetFileWriteTime(const char* path, const FILETIME* lastWrite);
// Creates every missing directory named by a prefix of `path` that ends just
// before a '\'. The last component is a file name and is never created.
bool CreateParentDirectories(const char* path, u32 startOffset);
