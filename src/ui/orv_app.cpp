#include "ui/orv_app.h"

#include "pak/pak_manager.h"
#include "ui/orv_dlg.h"

#include <commctrl.h>

namespace {

// The size of the first version of INITCOMMONCONTROLSEX, and every class of
// the first generation of common controls.
constexpr DWORD kCommonControlsSize = 8;
constexpr DWORD kFirstGenerationClasses = 0xFF;

} // namespace

bool COrvApp::InitInstance() {
    INITCOMMONCONTROLSEX controls = {kCommonControlsSize, kFirstGenerationClasses};
    InitCommonControlsEx(&controls);
    SetRegistryKey("TallwynClient_Patch");

    // InitPakUpdateLock has told the user already when it fails.
    if (!InitPakUpdateLock())
        return false;
    m_lockCreated = true;

    // The dialog, and the job inside it, are gone (their worker ended) when
    // this block is left, before ExitInstance deletes the lock.
    {
        COrvDlg dialog;
        SetMainDialog(&dialog);
        dialog.DoModal();
        SetMainDialog(nullptr);
    }
    return false;
}

int COrvApp::ExitInstance() {
    if (m_lockCreated) {
        DeletePakUpdateLock();
        m_lockCreated = false;
    }
    return Application::ExitInstance();
}
