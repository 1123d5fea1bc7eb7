// Drives the installer's windows from another process, the way a person
// would: finds windows by caption and owner, reads control texts, clicks
// buttons and presses keys by posted messages (a sent click would wait for
// the modal loop that it opens).
#pragma once

#include <windows.h>

#include <functional>
#include <string>

// How long a step may take before the test gives up. It bounds failures only:
// every wait ends as soon as its condition holds.
constexpr DWORD kPatience = 90000;

// Calls `ready` every few milliseconds until it is true or kPatience passed.
bool WaitUntil(const std::function<bool()>& ready, DWORD patience = kPatience);

// A program started for a test, ended (if still running) with the test. Not
// the runner of tests/support: the dialog installer is started as a person
// starts it, with no pipes on its standard handles and outside the test's
// console, and is driven through its windows.
class TestProcess {
  public:
    ~TestProcess();
    bool Start(const std::string& exePath);
    bool WaitForExit(DWORD patience = kPatience);
    bool HasExited() const;
    DWORD Id() const { return m_info.dwProcessId; }

  private:
    PROCESS_INFORMATION m_info = {};
};

std::string WindowText(HWND window);
std::string WindowClass(HWND window);
std::string ControlText(HWND dialog, int id);
bool IsControlEnabled(HWND dialog, int id);
bool IsControlVisible(HWND dialog, int id);
int ProgressPosition(HWND dialog, int id);
// The window with the keyboard focus on `window`'s thread.
HWND FocusedWindow(HWND window);

// The first visible top-level dialog of `processId` that `match` accepts.
HWND FindDialog(DWORD processId, const std::function<bool(HWND)>& match);
// The update dialog: the one with button 1005.
HWND FindUpdateDialog(DWORD processId);
// A message box of `processId`: a dialog with the text control 0xFFFF.
HWND FindMessageBox(DWORD processId);
std::string MessageBoxText(HWND box);
// The shell's folder browser: a dialog with the folder tree 14145.
HWND FindFolderBrowser(DWORD processId);

// A button click as the dialog sees it (WM_COMMAND, BN_CLICKED).
void Click(HWND dialog, int id);
void PressEscape(HWND dialog);
void PressEnter(HWND dialog);

// Asks the test's screenshot helper (outside wine) to save `window` as
// `name`.png; does nothing unless screenshots were asked for.
void Screenshot(HWND window, const std::string& name);

// "/unix/path" -> "Z:\unix\path".
std::string WindowsPathOf(const std::string& unixPath);
