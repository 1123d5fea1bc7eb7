#include "ui/dialog_layer.h"

namespace ui {

namespace {

Application* g_application = nullptr;

const char kSubclassProperty[] = "PiUiWindowSubclass";

std::string LoadResourceString(HINSTANCE instance, UINT id) {
    char text[256] = {};
    int length = LoadStringA(instance, id, text, sizeof(text));
    return std::string(text, length > 0 ? length : 0);
}

// These messages take the handler's result as the dialog procedure's return
// value; every other one reads it from DWLP_MSGRESULT.
bool ReturnsResultDirectly(UINT message) {
    switch (message) {
    case WM_CTLCOLORMSGBOX:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC:
    case WM_COMPAREITEM:
    case WM_VKEYTOITEM:
    case WM_CHARTOITEM:
    case WM_QUERYDRAGICON:
    case WM_INITDIALOG:
        return true;
    default:
        return false;
    }
}

HWND TopLevelWindow(HWND window) {
    while (window && (GetWindowLongPtrA(window, GWL_STYLE) & WS_CHILD))
        window = GetParent(window);
    return window;
}

} // namespace

Application::Application() {
    g_application = this;
}

Application::~Application() {
    if (g_application == this)
        g_application = nullptr;
}

Application* Application::Current() {
    return g_application;
}

int Application::Run(HINSTANCE instance) {
    m_instance = instance;
    m_title = LoadResourceString(instance, kAppTitleString);
    InitInstance();
    return ExitInstance();
}

HWND Application::MainWindow() const {
    return m_mainDialog ? m_mainDialog->Handle() : nullptr;
}

HWND OwnerForPopup(HWND parent) {
    if (parent)
        return TopLevelWindow(parent);
    Application* app = Application::Current();
    HWND main = TopLevelWindow(app ? app->MainWindow() : nullptr);
    return main ? GetLastActivePopup(main) : nullptr;
}

int AppMessageBox(const char* text, UINT type) {
    if ((type & MB_ICONMASK) == 0)
        type |= MB_ICONEXCLAMATION;
    Application* app = Application::Current();
    const char* caption = app ? app->Title().c_str() : "";
    return MessageBoxA(OwnerForPopup(nullptr), text, caption, type);
}

ModalDialog::ModalDialog(UINT templateId, HWND parent)
    : m_templateId(templateId), m_parent(parent) {}

INT_PTR ModalDialog::DoModal() {
    Application* app = Application::Current();
    HINSTANCE instance = app ? app->Instance() : GetModuleHandleA(nullptr);
    // Without a parent the dialog belongs to the main window, which it then
    // disables while it runs.
    return DialogBoxParamA(instance, MAKEINTRESOURCEA(m_templateId), OwnerForPopup(m_parent),
                           DialogProc, reinterpret_cast<LPARAM>(this));
}

void ModalDialog::EndDialog(INT_PTR result) {
    ::EndDialog(m_window, result);
}

void ModalDialog::BindControl(int id, Control& control) {
    control.Attach(GetDlgItem(m_window, id));
}

BOOL ModalDialog::OnInitDialog() {
    BindControls();
    return TRUE;
}

bool ModalDialog::HandleMessage(UINT, WPARAM, LPARAM, LRESULT*) {
    return false;
}

INT_PTR CALLBACK ModalDialog::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        auto* dialog = reinterpret_cast<ModalDialog*>(lParam);
        SetWindowLongPtrA(window, DWLP_USER, lParam);
        dialog->m_window = window;
        return dialog->OnInitDialog();
    }
    auto* dialog = reinterpret_cast<ModalDialog*>(GetWindowLongPtrA(window, DWLP_USER));
    if (!dialog)
        return FALSE;
    INT_PTR handled = dialog->Dispatch(message, wParam, lParam);
    if (message == WM_NCDESTROY) {
        dialog->m_window = nullptr;
        SetWindowLongPtrA(window, DWLP_USER, 0);
    }
    return handled;
}

INT_PTR ModalDialog::Dispatch(UINT message, WPARAM wParam, LPARAM lParam) {
    LRESULT result = 0;
    if (HandleMessage(message, wParam, lParam, &result)) {
        if (ReturnsResultDirectly(message))
            return result;
        SetWindowLongPtrA(m_window, DWLP_MSGRESULT, result);
        return TRUE;
    }
    if (message == WM_COMMAND && HIWORD(wParam) == BN_CLICKED) {
        if (LOWORD(wParam) == IDOK) {
            OnOK();
            return TRUE;
        }
        if (LOWORD(wParam) == IDCANCEL) {
            OnCancel();
            return TRUE;
        }
    }
    return FALSE;
}

void WaitCursor::Begin() {
    HCURSOR previous = SetCursor(LoadCursorA(nullptr, IDC_WAIT));
    if (m_depth++ == 0)
        m_previous = previous;
}

void WaitCursor::Restore() {
    if (m_depth > 0)
        SetCursor(LoadCursorA(nullptr, IDC_WAIT));
}

void WaitCursor::End() {
    if (m_depth > 0 && --m_depth == 0)
        SetCursor(m_previous ? m_previous : LoadCursorA(nullptr, IDC_ARROW));
}

bool WindowSubclass::Attach(HWND window) {
    if (m_window || !window || !SetPropA(window, kSubclassProperty, this))
        return false;
    m_window = window;
    m_original = reinterpret_cast<WNDPROC>(SetWindowLongPtrA(
        window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&WindowSubclass::SubclassProc)));
    return true;
}

void WindowSubclass::Detach() {
    if (!m_window)
        return;
    // Someone may have subclassed the window after us; then the chain stays.
    if (GetWindowLongPtrA(m_window, GWLP_WNDPROC) ==
        reinterpret_cast<LONG_PTR>(&WindowSubclass::SubclassProc))
        SetWindowLongPtrA(m_window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(m_original));
    RemovePropA(m_window, kSubclassProperty);
    m_window = nullptr;
}

bool WindowSubclass::HandleMessage(UINT, WPARAM, LPARAM, LRESULT*) {
    return false;
}

LRESULT CALLBACK WindowSubclass::SubclassProc(HWND window, UINT message, WPARAM wParam,
                                              LPARAM lParam) {
    auto* self = static_cast<WindowSubclass*>(GetPropA(window, kSubclassProperty));
    if (!self)
        return DefWindowProcA(window, message, wParam, lParam);
    LRESULT result = 0;
    if (message != WM_NCDESTROY && self->HandleMessage(message, wParam, lParam, &result))
        return result;
    WNDPROC original = self->m_original;
    if (message == WM_NCDESTROY)
        self->Detach();
    return CallWindowProcA(original, window, message, wParam, lParam);
}

} // namespace ui
