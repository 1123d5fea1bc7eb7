// A thin layer over plain Win32 dialogs: the application object, modal
// dialogs driven by a table of handlers, control wrappers, the application's
// message box, the wait cursor and window subclassing. It holds only what the
// installer's dialogs use.
//
// Dialog procedures follow the usual contract: the procedure returns whether
// it handled a message, and a handler's result goes to DWLP_MSGRESULT (or is
// returned directly for the few messages that want it so).
#pragma once

#include <windows.h>

#include <commctrl.h>

#include <cstddef>
#include <string>

namespace ui {

// What a message handler made of a message.
struct MessageReply {
    bool handled;
    LRESULT result;
};
inline MessageReply Handled(LRESULT result = 0) {
    return {true, result};
}
inline MessageReply NotHandled() {
    return {false, 0};
}

// One line of a handler table: a message, or a WM_COMMAND from one control
// with one notification code. The first matching line wins.
template <class Owner> struct MessageRoute {
    typedef MessageReply (Owner::*MessageHandler)(WPARAM, LPARAM);
    typedef void (Owner::*CommandHandler)();

    UINT message;
    UINT id;
    UINT code;
    MessageHandler onMessage;
    CommandHandler onCommand;

    static constexpr MessageRoute Message(UINT message, MessageHandler handler) {
        return {message, 0, 0, handler, nullptr};
    }
    static constexpr MessageRoute Command(UINT id, UINT code, CommandHandler handler) {
        return {WM_COMMAND, id, code, nullptr, handler};
    }
};

// Looks `message` up in `routes` and calls the handler. False when no line
// matches or the handler leaves the message to default processing.
template <class Owner, size_t N>
bool RouteMessage(Owner& owner, const MessageRoute<Owner> (&routes)[N], UINT message, WPARAM wParam,
                  LPARAM lParam, LRESULT* result) {
    for (const MessageRoute<Owner>& route : routes) {
        if (route.message != message)
            continue;
        if (route.onCommand) {
            if (LOWORD(wParam) != route.id || HIWORD(wParam) != route.code)
                continue;
            (owner.*route.onCommand)();
            *result = 0;
            return true;
        }
        MessageReply reply = (owner.*route.onMessage)(wParam, lParam);
        *result = reply.result;
        return reply.handled;
    }
    return false;
}

class ModalDialog;

// The program's application object: exactly one exists, built before WinMain.
// Run calls InitInstance and then ExitInstance; there is no message loop of
// the application's own, only those of its modal dialogs.
class Application {
  public:
    Application();
    virtual ~Application();
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    // The one application, or null (in test programs).
    static Application* Current();

    int Run(HINSTANCE instance);

    HINSTANCE Instance() const { return m_instance; }
    // String resource 57344: the caption of the application's message boxes.
    const std::string& Title() const { return m_title; }
    // Only remembered: nothing is ever read from or written under it.
    void SetRegistryKey(const char* name) { m_registryKey = name; }
    const std::string& RegistryKey() const { return m_registryKey; }

    // The dialog that owns the application's message boxes and pickers.
    void SetMainDialog(ModalDialog* dialog) { m_mainDialog = dialog; }
    HWND MainWindow() const;

  protected:
    // Whether a message loop should follow; this layer runs none either way.
    virtual bool InitInstance() = 0;
    // The process exit code.
    virtual int ExitInstance() { return 0; }

  private:
    HINSTANCE m_instance = nullptr;
    std::string m_title;
    std::string m_registryKey;
    ModalDialog* m_mainDialog = nullptr;
};

// The resource id of the application title.
constexpr UINT kAppTitleString = 57344;

// The window that a new pop-up should belong to: `parent`'s top-level window,
// or without a parent the main window, or the pop-up active in front of it.
HWND OwnerForPopup(HWND parent);

// MessageBoxA with the application title as caption, owned as above. A box
// that names no icon gets the exclamation icon.
int AppMessageBox(const char* text, UINT type = MB_OK);

// A child control that a dialog binds to an object by its id.
class Control {
  public:
    void Attach(HWND window) { m_window = window; }
    HWND Handle() const { return m_window; }

  private:
    HWND m_window = nullptr;
};

class ProgressBar : public Control {
  public:
    void SetRange(int low, int high) { SendMessageA(Handle(), PBM_SETRANGE32, low, high); }
    void SetPos(int position) { SendMessageA(Handle(), PBM_SETPOS, position, 0); }
};

// A modal dialog on a template of the application's resources.
class ModalDialog {
  public:
    ModalDialog(UINT templateId, HWND parent);
    virtual ~ModalDialog() = default;
    ModalDialog(const ModalDialog&) = delete;
    ModalDialog& operator=(const ModalDialog&) = delete;

    // Runs the dialog; its end code, or -1 when it could not be created.
    INT_PTR DoModal();
    HWND Handle() const { return m_window; }
    void EndDialog(INT_PTR result);

  protected:
    // Binds control ids to wrapper objects with BindControl.
    virtual void BindControls() {}
    void BindControl(int id, Control& control);
    // Binds the controls; an override calls this first. TRUE lets the
    // dialog manager put the focus on the first tab stop.
    virtual BOOL OnInitDialog();
    virtual void OnOK() { EndDialog(IDOK); }
    // IDCANCEL: Esc, the close box and Alt+F4 all end up here.
    virtual void OnCancel() { EndDialog(IDCANCEL); }
    // The derived class's table; false leaves the message to the defaults.
    virtual bool HandleMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result);

  private:
    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR Dispatch(UINT message, WPARAM wParam, LPARAM lParam);

    UINT m_templateId;
    HWND m_parent;
    HWND m_window = nullptr;
};

// The hourglass while the user-interface thread is blocked.
class WaitCursor {
  public:
    void Begin();
    // Shows the hourglass again after something changed the cursor.
    void Restore();
    void End();

  private:
    HCURSOR m_previous = nullptr;
    int m_depth = 0;
};

// Takes over the window procedure of a window created by someone else; the
// messages that HandleMessage leaves go on to the original procedure. It lets
// go by itself when the window is destroyed.
class WindowSubclass {
  public:
    WindowSubclass() = default;
    virtual ~WindowSubclass() { Detach(); }
    WindowSubclass(const WindowSubclass&) = delete;
    WindowSubclass& operator=(const WindowSubclass&) = delete;

    bool Attach(HWND window);
    void Detach();
    HWND Handle() const { return m_window; }

  protected:
    virtual bool HandleMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result);

  private:
    static LRESULT CALLBACK SubclassProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    HWND m_window = nullptr;
    WNDPROC m_original = nullptr;
};

} // namespace ui
