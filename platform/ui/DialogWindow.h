// The seam between the dialog framework and a front end that realises its window (Qt, the terminal, or a
// scripted window in tests).
#pragma once

#include "common/Text.h"
#include "platform/win32/Win32.h"
#include "res/DialogTemplate.h"

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

// How often a waiting window looks whether the work it waits for has ended.
inline constexpr std::chrono::milliseconds kWaitTick{20};

// What the window reports back to the dialog framework while it runs modally.
class IDialogEvents {
public:
    virtual ~IDialogEvents() = default;
    // The window and its controls exist, before it is shown.
    virtual void OnWindowCreated() = 0;
    // A push button was clicked (mouse, Space, or Enter while the button has the focus).
    virtual void OnButtonClicked(int id) = 0;
    // Enter while the focus is not on a push button: the OK command.
    virtual void OnOkCommand() = 0;
    // Esc, the close box, or Alt+F4.
    virtual void OnCancelCommand() = 0;
};

class IDialogWindow {
public:
    virtual ~IDialogWindow() = default;
    virtual CString GetItemText(int id) = 0;
    virtual void SetItemText(int id, const CString& text) = 0;
    // Shows the window and dispatches its input until EndModal; returns EndModal's result.
    virtual int RunModal(IDialogEvents& events) = 0;
    virtual void EndModal(int result) = 0;
    // A message box owned by the window: modal to it, one OK button. Returns when the operator closes it.
    virtual int MessageBox(const CString& text, const CString& caption, UINT type) = 0;
    // While busy the window takes no input (the Register command's work).
    virtual void SetBusy(bool busy) = 0;
    // Returns once done() is true, asking it at least every kWaitTick. A window front end dispatches its events
    // meanwhile (it repaints and answers the window manager's pings, input is still dropped while busy), so the
    // desktop never sees a window that stopped answering while work runs on another thread. The default sleeps.
    virtual void WaitUntil(const std::function<bool()>& done) {
        while (!done()) {
            std::this_thread::sleep_for(kWaitTick);
        }
    }
    // The window's icon (big: the title bar and task switcher; small: the title bar's own). A front end without
    // window icons ignores it.
    virtual void SetIcon(int iconResource, bool big) {
        (void)iconResource;
        (void)big;
    }
};

class IFrontEnd {
public:
    virtual ~IFrontEnd() = default;
    virtual std::unique_ptr<IDialogWindow> CreateDialogWindow(const DialogTemplate& tmpl) = 0;
};

// The front end dialogs are created on. Set once by the process entry (or by a test).
void SetFrontEnd(IFrontEnd* frontEnd);
IFrontEnd* GetFrontEnd();
