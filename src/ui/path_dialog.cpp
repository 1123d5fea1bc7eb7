#include "ui/path_dialog.h"

#include <cstring>

namespace {

// Only file-system folders, and a status line above the tree whose place the
// edit box takes.
constexpr UINT kBrowseFlags = BIF_RETURNONLYFSDIRS | BIF_STATUSTEXT;

// The edit box sits this far above the tree, and is this tall, in pixels.
constexpr int kEditGap = 4;
constexpr int kEditHeight = 23;

int AskWithAppMessageBox(const char* text, UINT type) {
    return ui::AppMessageBox(text, type);
}

CPathDialog::AskUser g_askUser = AskWithAppMessageBox;

std::string FolderMessage(const char* path, const char* tail) {
    return std::string("The folder:\n\n") + (path ? path : "") + "\n\n" + tail;
}

void TellWhyRefused(const char* path, int result) {
    const char* tail = result == PathInvalid ? "is invalid. Please reenter."
                                             : "can not be created. Please double check.";
    g_askUser(FolderMessage(path, tail).c_str(), MB_OK | MB_ICONEXCLAMATION);
}

bool IsAsciiLetter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool Exists(const char* path) {
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

bool IsEdgeByteRefused(char c) {
    return c == '\t' || c == ' ' || c == '.';
}

} // namespace

typedef ui::MessageRoute<CPathDialogSub> SubRoute;

const SubRoute CPathDialogSub::kRoutes[] = {
    SubRoute::Command(IDOK, BN_CLICKED, &CPathDialogSub::OnOkClicked),
    SubRoute::Command(kBrowseEditId, EN_CHANGE, &CPathDialogSub::OnEditChanged),
};

bool CPathDialogSub::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
    return ui::RouteMessage(*this, kRoutes, message, wParam, lParam, result);
}

void CPathDialogSub::OnEditChanged() {
    GetDlgItemTextA(Handle(), kBrowseEditId, m_owner->m_acceptedPath, MAX_PATH);
    m_owner->EnableOk(m_owner->m_acceptedPath[0] != '\0');
}

// The OK command never reaches the shell: the result is always the edit
// box's text, typed or selected.
void CPathDialogSub::OnOkClicked() {
    GetDlgItemTextA(Handle(), kBrowseEditId, m_owner->m_acceptedPath, MAX_PATH);
    if (CPathDialog::ValidatePath(m_owner->m_acceptedPath) == PathAccepted) {
        m_owner->m_bAccepted = 1;
        ::EndDialog(m_owner->m_browseWnd, IDOK);
        return;
    }
    SetFocus(GetDlgItem(Handle(), kBrowseEditId));
}

CPathDialog::CPathDialog(const char* caption, const char* title, const char* initialPath,
                         HWND parent)
    : m_caption(caption), m_initialPath(initialPath), m_owner(ui::OwnerForPopup(parent)),
      m_sub(this) {
    m_browseInfo.hwndOwner = m_owner;
    m_browseInfo.pidlRoot = nullptr;
    m_browseInfo.pszDisplayName = nullptr;
    m_browseInfo.lpszTitle = title;
    m_browseInfo.ulFlags = kBrowseFlags;
    m_browseInfo.lpfn = BrowseCallback;
}

int CPathDialog::ShowModal() {
    m_browseInfo.lpfn = BrowseCallback;
    m_browseInfo.lParam = reinterpret_cast<LPARAM>(this);
    m_browseInfo.pszDisplayName = m_displayName;

    IMalloc* allocator = nullptr;
    if (FAILED(SHGetMalloc(&allocator)) || !allocator)
        return -1;
    m_bAccepted = 0;
    // The shell's browser expects COM on the calling thread.
    HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    LPITEMIDLIST chosen = SHBrowseForFolderA(&m_browseInfo);
    if (chosen)
        allocator->Free(chosen);
    if (SUCCEEDED(com))
        CoUninitialize();
    allocator->Release();
    return m_bAccepted ? IDOK : -1;
}

void CPathDialog::SetAskUser(AskUser ask) {
    g_askUser = ask ? ask : AskWithAppMessageBox;
}

int CALLBACK CPathDialog::BrowseCallback(HWND window, UINT message, LPARAM lParam, LPARAM data) {
    auto* self = reinterpret_cast<CPathDialog*>(data);
    if (message == BFFM_INITIALIZED)
        self->OnBrowseInitialized(window);
    else if (message == BFFM_SELCHANGED)
        self->OnSelectionChanged(reinterpret_cast<LPCITEMIDLIST>(lParam));
    return 0;
}

void CPathDialog::OnBrowseInitialized(HWND window) {
    m_browseWnd = window;
    if (m_caption)
        SetWindowTextA(window, m_caption);
    m_sub.Attach(window);
    ShowWindow(GetDlgItem(window, kBrowseStatusId), SW_HIDE);

    RECT tree = {};
    GetWindowRect(GetDlgItem(window, kBrowseTreeId), &tree);
    POINT topLeft = {tree.left, tree.top - kEditGap - kEditHeight};
    POINT bottomRight = {tree.right, tree.top - kEditGap};
    ScreenToClient(window, &topLeft);
    ScreenToClient(window, &bottomRight);
    HWND edit = CreateWindowExA(
        WS_EX_CLIENTEDGE, "EDIT", "", WS_CHILD | WS_VISIBLE | WS_TABSTOP | ES_AUTOHSCROLL,
        topLeft.x, topLeft.y, bottomRight.x - topLeft.x, bottomRight.y - topLeft.y, window,
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(kBrowseEditId)),
        reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(window, GWLP_HINSTANCE)), nullptr);
    ShowWindow(edit, SW_SHOW);
    SendMessageA(edit, WM_SETFONT, SendMessageA(window, WM_GETFONT, 0, 0), TRUE);

    // No initial path at all (not an empty one) means the current directory.
    char current[MAX_PATH] = {};
    const char* initial = m_initialPath;
    if (!initial) {
        GetCurrentDirectoryA(MAX_PATH, current);
        initial = current;
    }
    SendMessageA(window, BFFM_SETSELECTIONA, TRUE, reinterpret_cast<LPARAM>(initial));
}

// Only drive paths can be accepted; network places and virtual folders leave
// an empty box and a disabled OK.
void CPathDialog::OnSelectionChanged(LPCITEMIDLIST item) {
    char path[MAX_PATH] = {};
    bool drivePath = SHGetPathFromIDListA(item, path) && path[1] == ':';
    if (!drivePath)
        path[0] = '\0';
    EnableOk(drivePath);
    SetDlgItemTextA(m_browseWnd, kBrowseEditId, path);
}

void CPathDialog::EnableOk(bool enable) {
    SendMessageA(m_browseWnd, BFFM_ENABLEOK, 0, enable ? 1 : 0);
}

int CPathDialog::ValidatePath(const char* path) {
    int result = WalkFolderPath(path, true);
    if (result != PathAccepted) {
        TellWhyRefused(path, result);
        return result;
    }
    if (Exists(path))
        return PathAccepted;
    std::string question =
        FolderMessage(path, "does not exist. Do you want the folder to be created?");
    if (g_askUser(question.c_str(), MB_YESNO | MB_ICONQUESTION) != IDYES)
        return PathDeclined;
    result = WalkFolderPath(path, false);
    if (result != PathAccepted)
        TellWhyRefused(path, result);
    return result;
}

// Byte by byte, without regard to double-byte characters: a trail byte 0x5C
// ends a level and a trail byte 0x7C is refused.
int CPathDialog::WalkFolderPath(const char* path, bool checkOnly) {
    if (!path)
        return PathInvalid;
    size_t length = strlen(path);
    // Longer paths would not fit any buffer the picker or the job uses.
    if (length < 3 || length >= MAX_PATH)
        return PathInvalid;
    if (!IsAsciiLetter(path[0]) || path[1] != ':' || path[2] != '\\')
        return PathInvalid;
    if (length == 3)
        return checkOnly || Exists(path) ? PathAccepted : PathNotCreated;
    char buffer[MAX_PATH];
    memcpy(buffer, path, length + 1);
    size_t start = 3;
    for (;;) {
        if (buffer[start] == '\0')
            return PathInvalid; // ended in a backslash
        size_t end = start;
        while (buffer[end] != '\0' && buffer[end] != '\\')
            ++end;
        bool last = buffer[end] == '\0';
        buffer[end] = '\0';
        if (!IsValidFolderName(buffer + start))
            return PathInvalid;
        if (!checkOnly) {
            CreateDirectoryA(buffer, nullptr); // an existing folder is fine
            if (!Exists(buffer))
                return PathNotCreated;
        }
        if (last)
            return PathAccepted;
        buffer[end] = '\\';
        start = end + 1;
    }
}

bool CPathDialog::IsValidFolderName(const char* name) {
    if (!name || name[0] == '\0')
        return false;
    if (IsEdgeByteRefused(name[0]) || IsEdgeByteRefused(name[strlen(name) - 1]))
        return false;
    return strpbrk(name, "\"*/:<>?\\|") == nullptr;
}
