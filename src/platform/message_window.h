// A window that is only a message queue: the front ends of the installer make
// one for the job to post its progress to, and read it with GetMessageA.
#pragma once

#include "platform/win32.h"

namespace pi {

// Null on failure. Messages posted to it are read on the creating thread.
HWND CreateMessageWindow();
void DestroyMessageWindow(HWND window);

} // namespace pi
