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

// The dialog's part of the workflow: the snapshot is the members as last loaded, the typed values come from the
// fields, the outcome is one message box, and the reload ends every run.
class DialogRegisterFace final : public IRunFace {
public:
    explicit DialogRegisterFace(CEnlistorUtilityDlg& dialog) : m_dialog(dialog) {}

    std::optional<WorkflowStop> TakeSnapshot(DatabaseSettingsValue& snapshot) override {
        snapshot = m_dialog.MembersValue();
        return std::nullopt;
    }

    std::optional<WorkflowStop> TypedSettings(WorkflowCommand /*command*/, const DatabaseSettingsValue& /*snapshot*/,
                                              DatabaseSettingsValue& typed) override {
        m_dialog.UpdateData(TRUE);
        m_dialog.SaveSettings();
        m_dialog.UpdateData(FALSE);
        typed = m_dialog.MembersValue();
        return std::nullopt; // the dialog does not examine the save; the reload shows what the store holds
    }

    RegistrationOutcome DatabaseStep(WorkflowCommand /*command*/, const RegistrationOptions& /*options*/) override {
        return m_dialog.RegisterMachine();
    }

    void Wait(const std::function<bool()>& stop) override { m_dialog.WaitWhileBusy(stop); }

    void Show(const RunReport& report) override {
        if (report.outcome != RunOutcome::Failed) {
            m_dialog.MessageBox(kRegisteredText, "Success", MB_OK);
            return;
        }
        // The error-text area's limit: a longer text loses its tail, never part of a character.
        std::array<char, kErrorTextSize> area{};
        CopyErrorText(report.dialogText, area.data(), area.size());
        m_dialog.MessageBox(area.data(), "Error", MB_OK);
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
    (void)RunWorkflow(WorkflowCommand::Register, face);
}

DatabaseSettingsValue CEnlistorUtilityDlg::MembersValue() const {
    return DatabaseSettingsValue::FromTexts(m_strDatabaseServer, m_strDBServerIP, m_strDatabaseName, m_strDBUserID,
                                            m_strDBUserPassword);
}

void CEnlistorUtilityDlg::SetMembers(const DatabaseSettingsValue& value) {
    value.CopyTo(m_strDatabaseServer, m_strDBServerIP, m_strDatabaseName, m_strDBUserID, m_strDBUserPassword);
}

bool CEnlistorUtilityDlg::LoadSettings() {
    DatabaseSettingsValue stored;
    (void)LoadDatabaseSettingsValue(stored); // an unreadable value reads as empty, the others still load
    SetMembers(stored);
    return true;
}

bool CEnlistorUtilityDlg::SaveSettings() {
    (void)SaveDatabaseSettingsValue(MembersValue()); // every value is attempted; the reload shows what went in
    return true;
}

RegistrationOutcome CEnlistorUtilityDlg::RegisterMachine() {
    return RegisterMachineDetailed();
}
