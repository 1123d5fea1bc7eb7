// Resource and control ids shared by orv.rc and the dialogs' code.
#pragma once

#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_ORV_DIALOG 102
#define IDR_MAINFRAME 128

#define IDC_MODULE_DIR 1000
#define IDC_FILE_PROGRESS 1001
#define IDC_TOTAL_PROGRESS 1002
#define IDC_BROWSE 1003
#define IDC_STATUS 1004
#define IDC_CANCEL_BUTTON 1005

#define IDS_APP_TITLE 57344

// The About item of the system menu; system commands keep their low four
// bits for the system's own use.
#define ID_SYS_ABOUT 0x0010

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
