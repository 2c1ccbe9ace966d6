// The dialog framework: an application object with one start-up operation, and modal dialogs drawn from a
// template, with data exchange between their edit controls and text members. Dialogs are written against this
// alone; the window they run in comes from the front end (GetFrontEnd()).
#pragma once

#include "common/Text.h"
#include "platform/ui/DialogWindow.h"
#include "platform/win32/Win32.h"
#include "res/ImageResources.h"

#include <exception>
#include <functional>
#include <memory>

using HICON = const ImageResource*;

// Initialises the common controls. The window front ends need no such step; kept for the start-up sequence.
void InitCommonControls();
// Enables hosting ActiveX controls in dialogs. No dialog here hosts any; nothing to do on this platform.
void AfxEnableControlContainer();

// One direction of the exchange between a dialog's controls and its members.
class CDataExchange {
public:
    CDataExchange(IDialogWindow& window, bool saveAndValidate)
        : m_window(window), m_bSaveAndValidate(saveAndValidate) {}

    IDialogWindow& m_window;
    const bool m_bSaveAndValidate; // true: controls into members; false: members into controls
};

// Plain text exchange between edit control `id` and `value`: no validation, no length limit.
void DDX_Text(CDataExchange* pDX, int id, CString& value);

class CDialog {
public:
    // The dialog drawn from template `templateId`. Dialogs here have no parent window.
    explicit CDialog(int templateId, CDialog* parent = nullptr);
    virtual ~CDialog();
    CDialog(const CDialog&) = delete;
    CDialog& operator=(const CDialog&) = delete;

    // Creates the window through the front end, runs OnInitDialog, shows it and handles its input until
    // EndDialog. Returns EndDialog's result, or -1 when the window could not be created (no front end, no
    // template, or the front end refused; the reason goes to standard error). An exception thrown by a handler
    // ends the modal run and is rethrown here, after the window is gone.
    virtual INT_PTR DoModal();
    // Ends the modal run with the given result once the current handler returns.
    void EndDialog(int result);
    // Runs the exchange bindings (DoDataExchange): true copies the controls into the members, false the members
    // into the controls. Returns false only when the dialog has no window.
    BOOL UpdateData(BOOL saveAndValidate = TRUE);
    // A message box owned by the dialog: modal to it, with the given text and caption and one OK button
    // (type MB_OK). Returns IDOK, or 0 when the dialog has no window.
    int MessageBox(const CString& text, const CString& caption = CString(), UINT type = MB_OK);
    // Sets the window's big or small icon.
    void SetIcon(HICON icon, BOOL big);
    // Keeps the window painting, its input dropped, until done() is true (IDialogWindow::WaitUntil); without a
    // window it sleeps in between. Work that runs meanwhile on another thread must not touch the dialog's window.
    void WaitWhileBusy(const std::function<bool()>& done);

    int GetTemplateId() const { return m_templateId; }
    // The window while the dialog runs modally, else nullptr.
    IDialogWindow* GetDialogWindow() const { return m_window.get(); }

protected:
    // Called when the window and its controls exist, before it is shown. The focus goes to the first tab stop.
    virtual BOOL OnInitDialog();
    virtual void DoDataExchange(CDataExchange* pDX);
    // The OK command: the controls into the members, then the dialog ends with IDOK.
    virtual void OnOK();
    // Ends the dialog with IDCANCEL.
    virtual void OnCancel();
    // The command table: a clicked button's id, IDOK for the OK command, IDCANCEL for Esc and the close box.
    // Returns true when the command was handled. The base routes IDOK and IDCANCEL.
    virtual bool OnCommand(int id);

private:
    class Events;
    friend class Events;

    int m_templateId;
    std::unique_ptr<IDialogWindow> m_window;
    std::exception_ptr m_handlerFailure;
    // A command handler runs with the window busy (taking no input); a message box lifts that while it is shown.
    int m_busyDepth = 0;
};

class CWinApp {
public:
    // The one application object. It registers itself as AfxGetApp() for its lifetime.
    explicit CWinApp(const char* appName = nullptr);
    virtual ~CWinApp();
    CWinApp(const CWinApp&) = delete;
    CWinApp& operator=(const CWinApp&) = delete;

    // The application's start-up. Returns true to go on with Run, false to end the process.
    virtual BOOL InitInstance();
    // The message loop. Dialog applications run none: it returns ExitInstance().
    virtual int Run();
    // The process exit status: 0, or 1 when a dialog could not be opened.
    virtual int ExitInstance();

    // The name of the per-user profile key. Kept; the application itself stores no profile settings.
    void SetRegistryKey(const char* key);
    const CString& GetRegistryKey() const { return m_registryKey; }
    // The icon resource with the given identifier, or nullptr.
    HICON LoadIcon(int id) const;

    // The application's main window while it runs.
    CDialog* m_pMainWnd = nullptr;

private:
    friend class CDialog;
    CString m_appName;
    CString m_registryKey;
    int m_dialogFailures = 0;
};

// The application object, or nullptr before it is constructed.
CWinApp* AfxGetApp();
// The framework's process entry: InitInstance, then Run when it returned true, else ExitInstance. Returns the
// process exit status. Call after SetFrontEnd.
int AfxWinMain();
