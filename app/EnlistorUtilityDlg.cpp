#include "app/EnlistorUtilityDlg.h"

#include "registration/Registration.h"
#include "res/Resource.h"
#include "settings/DatabaseSettings.h"
#include "workflow/RegisterWorkflow.h"

#include <array>

CEnlistorUtilityDlg::CEnlistorUtilityDlg(CDialog* parent) : CDialog(IDD_ENLISTORUTILITY_DIALOG, parent) {
    m_hIcon = AfxGetApp() != nullptr ? AfxGetApp()->LoadIcon(IDR_MAINFRAME) : FindImageResource(IDR_MAINFRAME);
}

CEnlistorUtilityDlg::~CEnlistorUtilityDlg() = default;

void CEnlistorUtilityDlg::DoDataExchange(CDataExchange* pDX) {
    CDialog::DoDataExchange(pDX);
    DDX_Text(pDX, IDC_DATABASE_SERVER, m_strDatabaseServer);
    DDX_Text(pDX, IDC_DB_SERVER_IP, m_strDBServerIP);
    DDX_Text(pDX, IDC_DATABASE_NAME, m_strDatabaseName);
    DDX_Text(pDX, IDC_DB_USER_ID, m_strDBUserID);
    DDX_Text(pDX, IDC_DB_USER_PASSWORD, m_strDBUserPassword);
}

bool CEnlistorUtilityDlg::OnCommand(int id) {
    if (id == IDC_REGISTER) {
        OnRegister();
        return true;
    }
    return CDialog::OnCommand(id);
}

BOOL CEnlistorUtilityDlg::OnInitDialog() {
    CDialog::OnInitDialog();
    SetIcon(m_hIcon, TRUE);
    SetIcon(m_hIcon, FALSE);

    UpdateData(TRUE);
    LoadSettings();
    UpdateData(FALSE);
    return TRUE;
}

HICON CEnlistorUtilityDlg::OnQueryDragIcon() {
    return m_hIcon;
}

// The dialog's part of the Register workflow: the snapshot is the members as last loaded, the typed values come
// from the fields, the outcome is one message box, and the reload ends every run.
class DialogRegisterFace final : public IRegisterFace {
public:
    explicit DialogRegisterFace(CEnlistorUtilityDlg& dialog) : m_dialog(dialog) {}

    std::optional<WorkflowStop> TakeSnapshot(DatabaseSettingsValue& snapshot) override {
        snapshot = m_dialog.MembersValue();
        return std::nullopt;
    }

    std::optional<WorkflowStop> StoreTyped(DatabaseSettingsValue& typed) override {
        m_dialog.UpdateData(TRUE);
        m_dialog.SaveSettings();
        m_dialog.UpdateData(FALSE);
        typed = m_dialog.MembersValue();
        return std::nullopt; // the dialog does not examine the save; the reload shows what the store holds
    }

    RegistrationOutcome Register() override {
        // Zeroed, and cut at its end after the call, so a misbehaving implementation cannot make the error box
        // read past the area.
        std::array<char, kErrorTextSize> errorText{};
        int result = 0;
        m_dialog.m_lastRegistration.reset();
        m_dialog.RunWhileBusy([&] { result = m_dialog.RegisterMachine(errorText.data(), errorText.size()); });
        errorText.back() = '\0';
        RegistrationOutcome outcome = m_dialog.m_lastRegistration.value_or(RegistrationOutcome{});
        m_dialog.m_lastRegistration.reset();
        outcome.result = result;
        outcome.errorText = errorText.data();
        return outcome;
    }

    void Report(const WorkflowResult& result) override {
        if (result.registration.result == 1) {
            m_dialog.MessageBox("Server registered successfully", "Success", MB_OK);
        } else {
            m_dialog.MessageBox(result.registrationRan ? result.registration.errorText : result.failure, "Error",
                                MB_OK);
        }
    }

    bool Restore(const DatabaseSettingsValue& snapshot, SettingsStoreError& /*error*/) override {
        m_dialog.SetMembers(snapshot);
        m_dialog.SaveSettings();
        return true;
    }

    DatabaseSettingsValue Reload() override {
        m_dialog.UpdateData(TRUE);
        m_dialog.LoadSettings();
        m_dialog.UpdateData(FALSE);
        return m_dialog.MembersValue();
    }

private:
    CEnlistorUtilityDlg& m_dialog;
};

void CEnlistorUtilityDlg::OnRegister() {
    DialogRegisterFace face(*this);
    (void)RunRegisterWorkflow(face);
}

DatabaseSettingsValue CEnlistorUtilityDlg::MembersValue() const {
    return DatabaseSettingsValue::FromTexts(m_strDatabaseServer, m_strDBServerIP, m_strDatabaseName, m_strDBUserID,
                                            m_strDBUserPassword);
}

void CEnlistorUtilityDlg::SetMembers(const DatabaseSettingsValue& value) {
    value.CopyTo(m_strDatabaseServer, m_strDBServerIP, m_strDatabaseName, m_strDBUserID, m_strDBUserPassword);
}

bool CEnlistorUtilityDlg::LoadSettings() {
    return LoadDatabaseSettings(m_strDatabaseServer, m_strDBServerIP, m_strDatabaseName, m_strDBUserID,
                                m_strDBUserPassword);
}

bool CEnlistorUtilityDlg::SaveSettings() {
    return SaveDatabaseSettings(m_strDatabaseServer, m_strDBServerIP, m_strDatabaseName, m_strDBUserID,
                                m_strDBUserPassword);
}

int CEnlistorUtilityDlg::RegisterMachine(char* errorText, std::size_t errorTextSize) {
    RegistrationOutcome outcome = RegisterMachineDetailed();
    CopyErrorText(outcome.errorText, errorText, errorTextSize);
    const int result = outcome.result;
    m_lastRegistration = std::move(outcome);
    return result;
}
