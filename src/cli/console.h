// The terminal the installer talks to, and the interrupts it receives from it.
// Everything that differs between Linux and Windows lives behind these
// functions (console_posix.cpp, console_windows.cpp, and their shared part
// console.cpp); the rest of the front end is portable.
//
// Text in and out of these functions is in the system code page (GBK), like
// every narrow string of the program; they convert to and from whatever the
// terminal uses.
#pragma once

#include "platform/win32.h"

#include <string>

namespace cli {

// Reads the terminal's encoding from the locale (Linux) or prepares the
// console for escape sequences (Windows). Call once, first.
void InitConsole();

// True when standard output is a terminal that understands the escape
// sequences used to redraw the progress lines in place.
bool CanRedrawOutput();
// Width of the output terminal in columns, 0 when unknown.
int OutputColumns();

// A command-line argument in the system code page. False when it has no
// equivalent there.
bool ArgumentToAcp(const char* argument, std::string* acp);

void WriteOut(const std::string& acp);
void WriteErr(const std::string& acp);
enum class LineRead { Read, EndOfInput, NoEquivalent };
// One line from standard input without its line end. NoEquivalent: the line
// cannot be written in the system code page.
LineRead ReadLine(std::string* acp);

// Ctrl-C (and Ctrl-Break) posts `askMessage` to `window`; termination
// requests (closing the console, SIGTERM, SIGHUP) post `stopMessage`. A
// further Ctrl-C is not posted until AcknowledgeInterrupt. Signals are routed
// before any other thread starts, so call this before starting the job.
bool WatchInterrupts(HWND window, UINT askMessage, UINT stopMessage);
void AcknowledgeInterrupt();
void StopWatchingInterrupts();

} // namespace cli
