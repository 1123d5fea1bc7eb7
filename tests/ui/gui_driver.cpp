#include "gui_driver.h"

#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

constexpr int kMessageBoxTextId = 0xFFFF;
constexpr int kUpdateCancelButton = 1005;
constexpr int kFolderTree = 14145;

struct Search {
    DWORD processId;
    const std::function<bool(HWND)>* match;
    HWND found;
};

BOOL CALLBACK VisitTopLevel(HWND window, LPARAM data) {
    auto* search = reinterpret_cast<Search*>(data);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner != search->processId || !IsWindowVisible(window) || WindowClass(window) != "#32770" ||
        !(*search->match)(window))
        return TRUE;
    search->found = window;
    return FALSE;
}

bool FileExists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

} // namespace

bool WaitUntil(const std::function<bool()>& ready, DWORD patience) {
    DWORD start = GetTickCount();
    while (!ready()) {
        if (GetTickCount() - start > patience)
            return false;
        Sleep(20);
    }
    return true;
}

TestProcess::~TestProcess() {
    if (m_info.hProcess) {
        if (!HasExited()) {
            TerminateProcess(m_info.hProcess, 1);
            WaitForSingleObject(m_info.hProcess, kPatience);
        }
        CloseHandle(m_info.hProcess);
        CloseHandle(m_info.hThread);
    }
}

bool TestProcess::Start(const std::string& exePath) {
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    std::string commandLine = "\"" + exePath + "\"";
    return CreateProcessA(exePath.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                          nullptr, &startup, &m_info) != 0;
}

bool TestProcess::WaitForExit(DWORD patience) {
    return WaitForSingleObject(m_info.hProcess, patience) == WAIT_OBJECT_0;
}

bool TestProcess::HasExited() const {
    return WaitForSingleObject(m_info.hProcess, 0) == WAIT_OBJECT_0;
}

std::string WindowText(HWND window) {
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutA(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 5000, &length))
        return "<no answer>";
    std::vector<char> text(length + 2);
    DWORD_PTR copied = 0;
    SendMessageTimeoutA(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                        SMTO_ABORTIFHUNG, 5000, &copied);
    return std::string(text.data(), copied);
}

std::string WindowClass(HWND window) {
    char name[64] = {};
    GetClassNameA(window, name, sizeof(name));
    return name;
}

std::string ControlText(HWND dialog, int id) {
    return WindowText(GetDlgItem(dialog, id));
}

bool IsControlEnabled(HWND dialog, int id) {
    return IsWindowEnabled(GetDlgItem(dialog, id));
}

bool IsControlVisible(HWND dialog, int id) {
    return IsWindowVisible(GetDlgItem(dialog, id));
}

int ProgressPosition(HWND dialog, int id) {
    DWORD_PTR position = 0;
    SendMessageTimeoutA(GetDlgItem(dialog, id), PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, 5000,
                        &position);
    return static_cast<int>(position);
}

HWND FocusedWindow(HWND window) {
    GUITHREADINFO info = {};
    info.cbSize = sizeof(info);
    return GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info) ? info.hwndFocus
                                                                              : nullptr;
}

HWND FindDialog(DWORD processId, const std::function<bool(HWND)>& match) {
    Search search = {processId, &match, nullptr};
    EnumWindows(VisitTopLevel, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND FindUpdateDialog(DWORD processId) {
    return FindDialog(
        processId, [](HWND window) { return GetDlgItem(window, kUpdateCancelButton) != nullptr; });
}

// Message boxes carry the application title, like the update dialog and the
// folder browser, but neither of their controls.
HWND FindMessageBox(DWORD processId) {
    return FindDialog(
        processId,
        [](HWND window) {
            return WindowText(window) == "《砚川》更新" && GetDlgItem(window, kMessageBoxTextId) &&
                   !GetDlgItem(window, kUpdateCancelButton) && !GetDlgItem(window, kFolderTree);
        });
}

std::string MessageBoxText(HWND box) {
    return ControlText(box, kMessageBoxTextId);
}

HWND FindFolderBrowser(DWORD processId) {
    return FindDialog(
        processId, [](HWND window) { return GetDlgItem(window, kFolderTree) != nullptr; });
}

void Click(HWND dialog, int id) {
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

void PressEscape(HWND dialog) {
    PostMessageA(dialog, WM_KEYDOWN, VK_ESCAPE, 1);
    PostMessageA(dialog, WM_KEYUP, VK_ESCAPE, 0xC0000001);
}

void PressEnter(HWND dialog) {
    PostMessageA(dialog, WM_KEYDOWN, VK_RETURN, 1);
    PostMessageA(dialog, WM_KEYUP, VK_RETURN, 0xC0000001);
}

void Screenshot(HWND window, const std::string& name) {
    const char* dir = getenv("PI_UI_SCREENSHOTS");
    if (!dir || !*dir)
        return;
    // Let the window finish painting what it was just told.
    RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    Sleep(300);
    RECT rect;
    GetWindowRect(window, &rect);
    std::string base = WindowsPathOf(dir) + "\\" + name;
    std::string request = base + ".request";
    FILE* file = fopen((request + ".tmp").c_str(), "w");
    if (!file)
        return;
    fprintf(file, "%ldx%ld+%ld+%ld\n", rect.right - rect.left, rect.bottom - rect.top, rect.left,
            rect.top);
    fclose(file);
    MoveFileA((request + ".tmp").c_str(), request.c_str());
    WaitUntil([&] { return FileExists(base + ".done"); }, 30000);
    DeleteFileA((base + ".done").c_str());
}

std::string WindowsPathOf(const std::string& unixPath) {
    std::string path = "Z:" + unixPath;
    for (char& c : path)
        if (c == '/')
            c = '\\';
    return path;
}
