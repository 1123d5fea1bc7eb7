// How the job reports to the window that shows it: four posted messages and
// the name of the current item.
#pragma once

#include "platform/win32.h"
#include "runtime/types.h"

#include <string>

constexpr UINT WM_PATCH_DONE = WM_USER + 100;             // 1124
constexpr UINT WM_PATCH_OVERALL_PROGRESS = WM_USER + 101; // 1125, wParam percent
constexpr UINT WM_PATCH_ITEM_PROGRESS = WM_USER + 102;    // 1126, wParam percent
constexpr UINT WM_PATCH_ITEM_NAME = WM_USER + 103;        // 1127

// The window the job posts to; set once by the front end before a job starts.
extern HWND g_hMainDlg;

// The name of the item the job works on. The job stores it before posting
// WM_PATCH_ITEM_NAME; the window reads a copy when it handles the message.
// Both sides go through these two functions, which share one lock.
void SetCurrentItemName(const char* name);
std::string GetCurrentItemName();

// done * 100 / total without overflow; 0 when total is 0.
u32 Percent(u64 done, u64 total);

// Posts `message` with `wParam` (lParam 0) unless `window` is null; a failed
// post is ignored, the job goes on.
void PostToWindow(HWND window, UINT message, WPARAM wParam);

// Posts WM_PATCH_ITEM_PROGRESS with the percentage when g_hMainDlg is set.
void PostItemProgress(u32 done, u32 total);
