#include "patch/progress.h"

#include <cstdint>
#include <mutex>

HWND g_hMainDlg = nullptr;

namespace {

// The window thread reads the name while the worker may already store the
// next one, so both go through this lock.
std::mutex g_currentItemLock;
std::string g_currentItemName;

// The percentage posted last for the current item; only the worker posts.
constexpr u32 kNothingPosted = 0xFFFFFFFF;
thread_local u32 t_lastItemPercent = kNothingPosted;

} // namespace

void SetCurrentItemName(const char* name) {
    std::lock_guard<std::mutex> guard(g_currentItemLock);
    g_currentItemName = name ? name : "";
}

std::string GetCurrentItemName() {
    std::lock_guard<std::mutex> guard(g_currentItemLock);
    return g_currentItemName;
}

void AnnounceItem(HWND window, const char* name) {
    SetCurrentItemName(name);
    t_lastItemPercent = kNothingPosted;
    PostToWindow(window, WM_PATCH_ITEM_NAME, 0);
}

// Nothing to do counts as nothing done yet: an empty copy reports (0, 0) once
// before it starts, and the next item or the final message moves the bar on.
u32 Percent(u64 done, u64 total) {
    if (total == 0)
        return 0;
    // Whole multiples and the remainder apart, so that no product wraps.
    const u64 whole = done / total;
    const u64 rest = done % total;
    u64 restPercent = total <= UINT64_MAX / 100 ? rest * 100 / total : rest / (total / 100);
    if (restPercent > 99)
        restPercent = 99;
    if (whole >= UINT32_MAX / 100)
        return UINT32_MAX;
    return static_cast<u32>(whole * 100 + restPercent);
}

void PostItemProgress(u32 done, u32 total) {
    const u32 percent = Percent(done, total);
    if (percent == t_lastItemPercent)
        return;
    t_lastItemPercent = percent;
    PostToWindow(g_hMainDlg, WM_PATCH_ITEM_PROGRESS, percent);
}

void PostDone(HWND window, const std::atomic<u32>& cancel) {
    constexpr DWORD kRetryMilliseconds = 10;
    while (window != nullptr && !PostMessageA(window, WM_PATCH_DONE, 0, 0)) {
        if (GetLastError() != ERROR_NOT_ENOUGH_QUOTA || cancel.load() != 0)
            return;
        Sleep(kRetryMilliseconds);
    }
}

void PostToWindow(HWND window, UINT message, WPARAM wParam) {
    if (window)
        PostMessageA(window, message, wParam, 0);
}
