#include "ui/orv_dlg.h"

#include "patch/progress.h"
#include "ui/path_dialog.h"
#include "ui/resource_ids.h"
#include "ui/update_rules.h"

namespace {

const char kPickerCaption[] = "《砚川》更新";
const char kPickerTitle[] = "请选择《砚川》客户端安装目录";
const char kNoDirectory[] = "请指定游戏目录!";
const char kExtracting[] = "正在解压源文件......";
const char kNoThread[] = "创建线程失败，请先关闭其他程序，重新运行";
const char kSucceeded[] = "更新成功!";
const char kFailed[] = "更新失败！可能源文件错误或IO失败！。";
const char kConfirmCancel[] = "确定的要取消更新吗？";
const char kDone[] = "完成";

HINSTANCE ResourceInstance() {
    ui::Application* app = ui::Application::Current();
    return app && app->Instance() ? app->Instance() : GetModuleHandleA(nullptr);
}

} // namespace

CAboutDlg::CAboutDlg() : ModalDialog(IDD_ABOUTBOX, nullptr) {}

typedef ui::MessageRoute<COrvDlg> Route;

const Route COrvDlg::kRoutes[] = {
    Route::Message(WM_SYSCOMMAND, &COrvDlg::OnSysCommand),
    Route::Message(WM_PAINT, &COrvDlg::OnPaint),
    Route::Message(WM_QUERYDRAGICON, &COrvDlg::OnQueryDragIcon),
    Route::Command(IDC_BROWSE, BN_CLICKED, &COrvDlg::OnBrowse),
    Route::Command(IDOK, BN_CLICKED, &COrvDlg::OnStart),
    Route::Message(WM_PATCH_ITEM_NAME, &COrvDlg::OnStatusText),
    Route::Message(WM_PATCH_DONE, &COrvDlg::OnJobFinished),
    Route::Command(IDC_CANCEL_BUTTON, BN_CLICKED, &COrvDlg::OnCancelButton),
    Route::Message(WM_PATCH_OVERALL_PROGRESS, &COrvDlg::OnTotalProgress),
    Route::Message(WM_PATCH_ITEM_PROGRESS, &COrvDlg::OnFileProgress),
};

COrvDlg::COrvDlg(HWND parent)
    : ModalDialog(IDD_ORV_DIALOG, parent),
      m_appIcon(LoadIconA(ResourceInstance(), MAKEINTRESOURCEA(IDR_MAINFRAME))) {}

// After the end message the worker may still be returning from its job while
// the user already closes the dialog with "完成": the dialog, and the job and
// the pak update lock after it, go away only once the worker has ended.
COrvDlg::~COrvDlg() {
    m_updateThread.WaitForEnd();
}

bool COrvDlg::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
    return ui::RouteMessage(*this, kRoutes, message, wParam, lParam, result);
}

void COrvDlg::BindControls() {
    BindControl(IDC_TOTAL_PROGRESS, m_progressTotal);
    BindControl(IDC_FILE_PROGRESS, m_progressFile);
}

BOOL COrvDlg::OnInitDialog() {
    ModalDialog::OnInitDialog();
    AddAboutItem();
    SendMessageA(Handle(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_appIcon));
    SendMessageA(Handle(), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_appIcon));
    SetDlgItemTextA(Handle(), IDC_STATUS, " ");
    m_progressFile.SetRange(0, 100);
    m_progressTotal.SetRange(0, 100);
    g_hMainDlg = Handle();
    FillModuleDir();
    return TRUE;
}

void COrvDlg::AddAboutItem() {
    HMENU menu = GetSystemMenu(Handle(), FALSE);
    if (!menu)
        return;
    char text[256] = {};
    if (LoadStringA(ResourceInstance(), IDS_ABOUTBOX, text, sizeof(text)) > 0) {
        AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
        AppendMenuA(menu, MF_STRING, ID_SYS_ABOUT, text);
    }
}

void COrvDlg::FillModuleDir() {
    std::string dir;
    if (ReadDirectoryValue(HKEY_CURRENT_USER, kSettingKey, kModuleDirValue, &dir))
        SetDlgItemTextA(Handle(), IDC_MODULE_DIR, dir.c_str());
}

ui::MessageReply COrvDlg::OnSysCommand(WPARAM command, LPARAM) {
    if ((command & 0xFFF0) != ID_SYS_ABOUT)
        return ui::NotHandled();
    CAboutDlg about;
    about.DoModal();
    return ui::Handled();
}

// A minimised window paints its icon itself.
ui::MessageReply COrvDlg::OnPaint(WPARAM, LPARAM) {
    if (!IsIconic(Handle()))
        return ui::NotHandled();
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(Handle(), &paint);
    SendMessageA(Handle(), WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    RECT client;
    GetClientRect(Handle(), &client);
    int x = (client.right - client.left - GetSystemMetrics(SM_CXICON) + 1) / 2;
    int y = (client.bottom - client.top - GetSystemMetrics(SM_CYICON) + 1) / 2;
    DrawIcon(dc, x, y, m_appIcon);
    EndPaint(Handle(), &paint);
    return ui::Handled();
}

ui::MessageReply COrvDlg::OnQueryDragIcon(WPARAM, LPARAM) {
    return ui::Handled(reinterpret_cast<LRESULT>(m_appIcon));
}

// Works in every state: a directory chosen while a job runs changes only the
// edit box, never the job.
void COrvDlg::OnBrowse() {
    char current[MAX_PATH] = {};
    GetDlgItemTextA(Handle(), IDC_MODULE_DIR, current, MAX_PATH);
    CPathDialog picker(kPickerCaption, kPickerTitle, current, nullptr);
    if (picker.ShowModal() == IDOK)
        SetDlgItemTextA(Handle(), IDC_MODULE_DIR, picker.GetSelectedPath().c_str());
}

void COrvDlg::OnStart() {
    char dir[MAX_PATH] = {};
    GetDlgItemTextA(Handle(), IDC_MODULE_DIR, dir, MAX_PATH);
    if (dir[0] == '\0') {
        ui::AppMessageBox(kNoDirectory);
        return;
    }
    CutTrailingBackslash(dir);
    SetDlgItemTextA(Handle(), IDC_STATUS, kExtracting);
    m_bRunning = 1;
    m_updateThread.SetModuleDir(dir);
    if (!m_updateThread.Start()) {
        m_bRunning = 0;
        SetDlgItemTextA(Handle(), IDC_STATUS, " ");
        ui::AppMessageBox(kNoThread);
        return;
    }
    // One dialog runs one job. A disabled button cannot keep the focus; it
    // goes to the cancel button, through the dialog manager so that the
    // button also becomes the default one and Enter asks to cancel.
    HWND startButton = GetDlgItem(Handle(), IDOK);
    if (GetFocus() == startButton) {
        SendMessageA(Handle(), WM_NEXTDLGCTL,
                     reinterpret_cast<WPARAM>(GetDlgItem(Handle(), IDC_CANCEL_BUTTON)), TRUE);
    }
    EnableWindow(startButton, FALSE);
}

ui::MessageReply COrvDlg::OnStatusText(WPARAM, LPARAM) {
    SetDlgItemTextA(Handle(), IDC_STATUS, GetCurrentItemName().c_str());
    return ui::Handled();
}

ui::MessageReply COrvDlg::OnJobFinished(WPARAM, LPARAM) {
    SetDlgItemTextA(Handle(), IDC_STATUS, "");
    m_bRunning = 0;
    m_bFinished = 1;
    if (m_updateThread.GetResult()) {
        ui::AppMessageBox(kSucceeded);
    } else {
        // The box's text is fixed; the job has logged why it failed.
        ui::AppMessageBox(kFailed, MB_OK | MB_ICONERROR);
    }
    HWND doneButton = GetDlgItem(Handle(), IDC_CANCEL_BUTTON);
    SetWindowTextA(doneButton, kDone);
    SendMessageA(Handle(), WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(doneButton), TRUE);
    return ui::Handled();
}

void COrvDlg::OnCancelButton() {
    if (m_bFinished) {
        ModalDialog::OnCancel();
        return;
    }
    OnCancel();
}

void COrvDlg::OnCancel() {
    if (!m_bRunning) {
        ModalDialog::OnCancel();
        return;
    }
    if (ui::AppMessageBox(kConfirmCancel, MB_OKCANCEL) != IDOK)
        return;
    m_waitCursor.Begin();
    m_updateThread.Cancel();
    m_waitCursor.Restore();
    ModalDialog::OnCancel();
    m_waitCursor.End();
}

ui::MessageReply COrvDlg::OnTotalProgress(WPARAM percent, LPARAM) {
    m_progressTotal.SetPos(ClampPercent(percent));
    return ui::Handled();
}

ui::MessageReply COrvDlg::OnFileProgress(WPARAM percent, LPARAM) {
    m_progressFile.SetPos(ClampPercent(percent));
    return ui::Handled();
}
