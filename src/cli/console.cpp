// The terminal seam of the installer's front end, the part that is the same
// on every platform: where interrupts are posted, and the rule that a further
// Ctrl-C waits for the last one to be acknowledged. The terminal itself (its
// encoding, reading and writing, and how interrupts arrive) is in
// console_posix.cpp and console_windows.cpp, one of which is built.
#include "cli/console.h"
#include "cli/console_route.h"

#include <atomic>

namespace cli {
namespace {

// The messages are set before the window is published, and read after it is
// loaded: the handler (Windows) or the signal thread (Linux) sees them whole.
std::atomic<HWND> g_window{nullptr};
UINT g_askMessage = 0;
UINT g_stopMessage = 0;
std::atomic<bool> g_interruptPending{false};

} // namespace

namespace route {

void RouteInterruptsTo(HWND window, UINT askMessage, UINT stopMessage) {
    g_askMessage = askMessage;
    g_stopMessage = stopMessage;
    g_window.store(window);
}

void StopRouting() {
    g_window.store(nullptr);
}

bool PostInterrupt() {
    HWND window = g_window.load();
    if (window == nullptr)
        return false;
    if (!g_interruptPending.exchange(true))
        PostMessageA(window, g_askMessage, 0, 0);
    return true;
}

bool PostStop(WPARAM reason) {
    HWND window = g_window.load();
    if (window == nullptr)
        return false;
    PostMessageA(window, g_stopMessage, reason, 0);
    return true;
}

} // namespace route

void AcknowledgeInterrupt() {
    g_interruptPending.store(false);
}

} // namespace cli
