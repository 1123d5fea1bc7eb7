// Fault injection for the Linux platform layer: one place where every call of
// the layer can be made to fail, once or from a given call on, so that tests
// can prove that no failing call loses data.
//
// A fault is armed for one call kind (or for all of them together) and fires
// on the Nth call counted from the moment it was armed. The failing call does
// nothing, sets the chosen Win32 error and returns its failure value.
//
// Only the calls named in Call ask the hook (InitializeCriticalSection stands
// for InitializeCriticalSectionAndSpinCount, BeginThread for _beginthreadex).
// Waits, exit codes, message reads and the critical section's other calls
// never fail by it: observing threads make them, and counting them would make
// Call::Any depend on timing.
//
// A child process can be armed through the environment, read at the layer's
// first call:   PI_FAULT=<call|any>:<n>:<error>[:forever]
// for example   PI_FAULT=WriteFile:3:112
//
// All of this exists only in pi_platform_testing, the variant that tests and
// the test build of the installer link; the released programs link
// pi_platform_product, where the layer's gates are constants and none of
// these settings is read (src/platform/CMakeLists.txt).
//
// Three more environment settings stop a child process at its Nth call of
// the layer (every kind counted together, from the process's start, as
// Call::Any counts them; the Nth call itself is not carried out):
//   PI_CRASH_AT=N     ends the process at once, as a kill would: _exit with
//                     kCrashExitCode, no flush, no destructors.
//   PI_PAUSE_AT=N     stops the process with SIGSTOP, so that a test can
//                     kill it there; SIGCONT lets it go on.
//   PI_POWERCUT_AT=N  with PI_POWERCUT_DIR=<directory>: a power cut. Inside
//                     that tree the layer keeps what was last made durable
//                     (see powercut.cpp); at the Nth call it throws away
//                     everything else and ends with kPowerCutExitCode. A
//                     process that ends before its Nth call has the cut at
//                     its exit instead, keeping its own exit status.
//
// And one sets a figure:
//   PI_FREE_SPACE=N   GetDiskFreeSpaceExA reports N bytes free to the caller
//                     on every volume, for the tests of too little room.
#pragma once

#ifndef _WIN32

#include "platform/win32.h"

#include <vector>

namespace pi::fault {

enum class Call : unsigned {
    CreateFile,
    ReadFile,
    WriteFile,
    SetFilePointer,
    GetFileSize,
    FlushFileBuffers,
    SetFileTime,
    CloseHandle,
    GetFileAttributes,
    SetFileAttributes,
    DeleteFile,
    MoveFile,
    MoveFileEx,
    CreateDirectory,
    GetModuleFileName,
    GetTempFileName,
    GetTempPath,
    InitializeCriticalSection,
    BeginThread,
    PostMessage,
    FindFirstFile,
    FindNextFile,
    DuplicateHandle,
    Count,
    Any = Count, // every call kind counted together
};

// The Win32 function name without its A suffix ("CreateFile"), or "any".
const char* CallName(Call call);
// Accepts the names CallName gives, case-insensitively.
bool ParseCall(const char* name, Call* call);

// The nth call of `call` from now (1-based) fails with `error`; with
// `forever`, that call and every later one fail.
void Arm(Call call, unsigned n, DWORD error, bool forever = false);
// Removes the armed fault and restarts the counters.
void Disarm();
// Calls of `call` since the last Arm or Disarm (Call::Any: of all kinds).
unsigned CallCount(Call call);
// How many calls the armed fault has made fail.
unsigned FiredCount();
// While on, the kind of every call is kept, in order, from the next Arm or
// Disarm on; a sweep uses it to fail each call with an error that suits it.
void Trace(bool on);
std::vector<Call> TracedCalls();

// inline: a program that never uses them keeps no copy.
inline constexpr int kCrashExitCode = 86;
inline constexpr int kPowerCutExitCode = 87;

} // namespace pi::fault

#endif // !_WIN32
