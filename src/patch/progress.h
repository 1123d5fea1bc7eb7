// How the job reports to the window that shows it: four posted messages and
// the name of the current item.
#pragma once

#include "platform/win32.h"
#include "runtime/types.h"

#include <atomic>
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

// A new item: its name stored and WM_PATCH_ITEM_NAME posted to `window`; its
// progress starts again from nothing posted.
void AnnounceItem(HWND window, const char* name);

// done * 100 / total without overflow; 0 when total is 0.
u32 Percent(u64 done, u64 total);

// Posts `message` with `wParam` (lParam 0) unless `window` is null; a failed
// post is ignored, the job goes on.
void PostToWindow(HWND window, UINT message, WPARAM wParam);

// Posts WM_PATCH_ITEM_PROGRESS with the percentage when g_hMainDlg is set
// and the percentage differs from the one posted last for the item. A queue
// holds at most 10,000 posted messages: one per 8192 bytes of a large file
// would crowd out the job's end.
void PostItemProgress(u32 done, u32 total);

// Posts WM_PATCH_DONE until the queue takes it: a full queue drops a post,
// and a dropped end leaves the window waiting for good. Gives up when the
// window is gone or `cancel` is raised (its owner then waits for the job
// and no longer reads the queue).
void PostDone(HWND window, const std::atomic<u32>& cancel);
