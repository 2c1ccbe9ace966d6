#include "app/EnlistorUtilityDlg.h"

#include "registration/Registration.h"
#include "res/Resource.h"
#include "settings/DatabaseSettings.h"

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

void CEnlistorUtilityDlg::OnRegister() {
    const CString snapshotDatabaseServer = m_strDatabaseServer;
    const CString snapshotDBServerIP = m_strDBServerIP;
    const CString snapshotDatabaseName = m_strDatabaseName;
    const CString snapshotDBUserID = m_strDBUserID;
    const CString snapshotDBUserPassword = m_strDBUserPassword;

    UpdateData(TRUE);
    SaveSettings();
    UpdateData(FALSE);

    // RegisterMachine always leaves a terminated text here; zeroed anyway so a misbehaving implementation
    // cannot make the error box read past the area.
    std::array<char, kErrorTextSize> errorText{};
    const int result = RegisterMachine(errorText.data(), errorText.size());
    errorText.back() = '\0';

    if (result == 1) {
        MessageBox("Server registered successfully", "Success", MB_OK);
    } else {
        MessageBox(errorText.data(), "Error", MB_OK);
        m_strDatabaseServer = snapshotDatabaseServer;
        m_strDBServerIP = snapshotDBServerIP;
        m_strDatabaseName = snapshotDatabaseName;
        m_strDBUserID = snapshotDBUserID;
        m_strDBUserPassword = snapshotDBUserPassword;
        SaveSettings();
    }

    UpdateData(TRUE);
    LoadSettings();
    UpdateData(FALSE);
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
    return ::RegisterMachine(errorText, errorTextSize);
}
