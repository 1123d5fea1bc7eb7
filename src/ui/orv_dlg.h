// The update dialog: shows the game directory, starts the patch job, follows
// its progress and shows its result; and the About box of its system menu.
#pragma once

#include "patch/update_thread.h"
#include "ui/dialog_layer.h"

class CAboutDlg : public ui::ModalDialog {
  public:
    CAboutDlg();
};

class COrvDlg : public ui::ModalDialog {
  public:
    explicit COrvDlg(HWND parent = nullptr);
    // Waits for a worker thread that is still finishing.
    ~COrvDlg() override;

  protected:
    void BindControls() override;
    BOOL OnInitDialog() override;
    void OnCancel() override;
    bool HandleMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) override;

  private:
    ui::MessageReply OnSysCommand(WPARAM command, LPARAM);
    ui::MessageReply OnPaint(WPARAM, LPARAM);
    ui::MessageReply OnQueryDragIcon(WPARAM, LPARAM);
    void OnBrowse();
    void OnStart();
    ui::MessageReply OnStatusText(WPARAM, LPARAM);
    ui::MessageReply OnJobFinished(WPARAM, LPARAM);
    void OnCancelButton();
    ui::MessageReply OnTotalProgress(WPARAM percent, LPARAM);
    ui::MessageReply OnFileProgress(WPARAM percent, LPARAM);

    void AddAboutItem();
    void FillModuleDir();

    static const ui::MessageRoute<COrvDlg> kRoutes[];

    HICON m_appIcon;
    CUpdateThread m_updateThread;
    int m_bRunning = 0;
    int m_bFinished = 0;
    ui::ProgressBar m_progressTotal;
    ui::ProgressBar m_progressFile;
    ui::WaitCursor m_waitCursor;
};
