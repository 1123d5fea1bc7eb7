// The folder picker: the shell's browse-for-folder window with a caption of
// our own, an edit box above the tree in which a path can be typed, and an OK
// button that accepts only a well-formed local drive path that exists or, once
// the user agrees, has been created level by level.
#pragma once

#include "ui/dialog_layer.h"

#include <windows.h>

#include <shlobj.h>

#include <string>

class CPathDialog;

// Attached to the browse window while it is open: takes its OK button and the
// change notifications of the edit box.
class CPathDialogSub : public ui::WindowSubclass {
  public:
    explicit CPathDialogSub(CPathDialog* owner) : m_owner(owner) {}

  protected:
    bool HandleMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) override;

  private:
    void OnOkClicked();
    void OnEditChanged();

    static const ui::MessageRoute<CPathDialogSub> kRoutes[];
    CPathDialog* m_owner;
};

// Results of ValidatePath and WalkFolderPath.
enum PathCheck : int {
    PathAccepted = 0,
    PathDeclined = -1,  // the user did not want the folder created
    PathInvalid = 1,    // not a local drive path, or a bad level name
    PathNotCreated = 2, // a level cannot be created
};

// Ids inside the shell's browse window.
constexpr int kBrowseTreeId = 14145;
constexpr int kBrowseStatusId = 14147;
constexpr int kBrowseEditId = 14148;

class CPathDialog {
  public:
    // Each argument may be null. The caption and the initial path are not
    // copied: the caller keeps them alive while the picker is shown.
    CPathDialog(const char* caption, const char* title, const char* initialPath, HWND parent);
    virtual ~CPathDialog() = default;
    CPathDialog(const CPathDialog&) = delete;
    CPathDialog& operator=(const CPathDialog&) = delete;

    // IDOK when a path was accepted, -1 otherwise.
    virtual int ShowModal();
    std::string GetSelectedPath() const { return m_acceptedPath; }

    // Checks `path` and creates what is missing after asking; tells the user
    // why a path is refused. A PathCheck value.
    static int ValidatePath(const char* path);
    // Checks `path` level by level and, unless `checkOnly`, creates each
    // level. A PathCheck value; says nothing to the user.
    static int WalkFolderPath(const char* path, bool checkOnly);
    static bool IsValidFolderName(const char* name);

    // How ValidatePath talks to the user: MessageBoxA-like, the answer is the
    // button's id. Null restores the application's message box.
    typedef int (*AskUser)(const char* text, UINT type);
    static void SetAskUser(AskUser ask);

  private:
    friend class CPathDialogSub;

    static int CALLBACK BrowseCallback(HWND window, UINT message, LPARAM lParam, LPARAM data);
    void OnBrowseInitialized(HWND window);
    void OnSelectionChanged(LPCITEMIDLIST item);
    void EnableOk(bool enable);

    const char* m_caption;
    const char* m_initialPath;
    char m_acceptedPath[MAX_PATH] = {};
    BROWSEINFOA m_browseInfo = {};
    // The shell writes the chosen folder's display name here; unused.
    char m_displayName[MAX_PATH] = {};
    HWND m_browseWnd = nullptr;
    HWND m_owner;
    int m_bAccepted = 0;
    CPathDialogSub m_sub;
};
