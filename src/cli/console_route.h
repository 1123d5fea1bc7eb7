// Where the terminal's interrupts go: the part of the seam that both
// platform files share (console.cpp). Only the console files include this.
#pragma once

#include "platform/win32.h"

namespace cli::route {

// From now on interrupts are posted to `window`.
void RouteInterruptsTo(HWND window, UINT askMessage, UINT stopMessage);
// Nothing is posted any more.
void StopRouting();
// Ctrl-C: posts the ask message, unless the last one is not yet
// acknowledged. False when no window is routed.
bool PostInterrupt();
// A termination request: posts the stop message with `reason` (the console
// event or the signal). False when no window is routed.
bool PostStop(WPARAM reason);

} // namespace cli::route
