#include "platform/ui/Dialog.h"

#include "res/DialogTemplate.h"

#include <cstdio>
#include <exception>
#include <thread>
#include <utility>

namespace {

CWinApp* current_app = nullptr;
IFrontEnd* current_front_end = nullptr;

} // namespace

void SetFrontEnd(IFrontEnd* frontEnd) {
    current_front_end = frontEnd;
}

IFrontEnd* GetFrontEnd() {
    return current_front_end;
}

void InitCommonControls() {}

void AfxEnableControlContainer() {}

void DDX_Text(CDataExchange* pDX, int id, CString& value) {
    if (pDX->m_bSaveAndValidate) {
        value = pDX->m_window.GetItemText(id);
    } else {
        pDX->m_window.SetItemText(id, value);
    }
}

// Routes the window's reports to the dialog's handlers. No exception crosses back into the front end's event
// handling: a failing handler ends the modal run and DoModal rethrows.
class CDialog::Events final : public IDialogEvents {
public:
    explicit Events(CDialog& dialog) : m_dialog(dialog) {}

    void OnWindowCreated() override {
        guarded([this] { m_dialog.OnInitDialog(); });
    }
    void OnButtonClicked(int id) override { command(id); }
    void OnOkCommand() override { command(IDOK); }
    void OnCancelCommand() override { command(IDCANCEL); }

private:
    void command(int id) {
        guarded([this, id] {
            BusyScope busy(m_dialog);
            m_dialog.OnCommand(id);
        });
    }

    template <typename Handler>
    void guarded(Handler handler) noexcept {
        if (m_dialog.m_handlerFailure) {
            return;
        }
        try {
            handler();
        } catch (...) {
            m_dialog.m_handlerFailure = std::current_exception();
            if (m_dialog.m_window) {
                m_dialog.m_window->EndModal(-1);
            }
        }
    }

    class BusyScope {
    public:
        explicit BusyScope(CDialog& dialog) : m_dialog(dialog) {
            if (m_dialog.m_busyDepth++ == 0 && m_dialog.m_window) {
                m_dialog.m_window->SetBusy(true);
            }
        }
        ~BusyScope() {
            if (--m_dialog.m_busyDepth == 0 && m_dialog.m_window) {
                m_dialog.m_window->SetBusy(false);
            }
        }
        BusyScope(const BusyScope&) = delete;
        BusyScope& operator=(const BusyScope&) = delete;

    private:
        CDialog& m_dialog;
    };

    CDialog& m_dialog;
};

CDialog::CDialog(int templateId, CDialog* parent) : m_templateId(templateId) {
    (void)parent;
}

CDialog::~CDialog() = default;

INT_PTR CDialog::DoModal() {
    const auto fail = [](const char* why) -> INT_PTR {
        std::fprintf(stderr, "enlistor: cannot open the dialog: %s\n", why);
        if (current_app != nullptr) {
            ++current_app->m_dialogFailures;
        }
        return -1;
    };
    const DialogTemplate* tmpl = FindDialogTemplate(m_templateId);
    if (tmpl == nullptr) {
        return fail("no such dialog template");
    }
    if (current_front_end == nullptr) {
        return fail("no front end to show it with");
    }
    try {
        m_window = current_front_end->CreateDialogWindow(*tmpl);
    } catch (const std::exception& e) {
        return fail(e.what());
    }
    if (!m_window) {
        return fail("the front end created no window");
    }
    m_handlerFailure = nullptr;
    Events events(*this);
    int result = -1;
    try {
        result = m_window->RunModal(events);
    } catch (...) {
        m_window.reset();
        throw;
    }
    m_window.reset();
    if (m_handlerFailure) {
        std::rethrow_exception(std::exchange(m_handlerFailure, nullptr));
    }
    return result;
}

void CDialog::EndDialog(int result) {
    if (m_window) {
        m_window->EndModal(result);
    }
}

BOOL CDialog::UpdateData(BOOL saveAndValidate) {
    if (!m_window) {
        return FALSE;
    }
    CDataExchange dx(*m_window, saveAndValidate != FALSE);
    DoDataExchange(&dx);
    return TRUE;
}

int CDialog::MessageBox(const CString& text, const CString& caption, UINT type) {
    if (!m_window) {
        return 0;
    }
    const bool busy = m_busyDepth > 0;
    if (busy) {
        m_window->SetBusy(false);
    }
    const int result = m_window->MessageBox(text, caption, type);
    if (busy) {
        m_window->SetBusy(true);
    }
    return result;
}

void CDialog::WaitWhileBusy(const std::function<bool()>& done) {
    if (m_window) {
        m_window->WaitUntil(done);
        return;
    }
    while (!done()) {
        std::this_thread::sleep_for(kWaitTick);
    }
}

void CDialog::SetIcon(HICON icon, BOOL big) {
    if (m_window && icon != nullptr) {
        m_window->SetIcon(icon->id, big != FALSE);
    }
}

BOOL CDialog::OnInitDialog() {
    return TRUE;
}

void CDialog::DoDataExchange(CDataExchange* pDX) {
    (void)pDX;
}

void CDialog::OnOK() {
    UpdateData(TRUE);
    EndDialog(IDOK);
}

void CDialog::OnCancel() {
    EndDialog(IDCANCEL);
}

bool CDialog::OnCommand(int id) {
    switch (id) {
    case IDOK:
        OnOK();
        return true;
    case IDCANCEL:
        OnCancel();
        return true;
    default:
        return false;
    }
}

CWinApp::CWinApp(const char* appName) : m_appName(appName != nullptr ? appName : "") {
    current_app = this;
}

CWinApp::~CWinApp() {
    if (current_app == this) {
        current_app = nullptr;
    }
}

BOOL CWinApp::InitInstance() {
    return TRUE;
}

int CWinApp::Run() {
    return ExitInstance();
}

int CWinApp::ExitInstance() {
    return m_dialogFailures > 0 ? 1 : 0;
}

void CWinApp::SetRegistryKey(const char* key) {
    m_registryKey = key != nullptr ? key : "";
}

HICON CWinApp::LoadIcon(int id) const {
    const ImageResource* image = FindImageResource(id);
    return image != nullptr && image->kind == ImageKind::Icon ? image : nullptr;
}

CWinApp* AfxGetApp() {
    return current_app;
}

int AfxWinMain() {
    CWinApp* app = current_app;
    if (app == nullptr) {
        std::fprintf(stderr, "enlistor: no application object\n");
        return 1;
    }
    if (!app->InitInstance()) {
        return app->ExitInstance();
    }
    return app->Run();
}
