// The registration dialog: the suite's five database settings in five edit fields, and the Register command.
#pragma once

#include "common/Text.h"
#include "platform/ui/Dialog.h"
#include "registration/Registration.h"
#include "settings/DatabaseSettings.h"

class CEnlistorUtilityDlg : public CDialog {
public:
    explicit CEnlistorUtilityDlg(CDialog* parent = nullptr);
    ~CEnlistorUtilityDlg() override;

    // The Register command: stores the entered settings, registers this machine, reports the outcome in one
    // message box, puts the earlier settings back after a failure, and reloads what is stored. It runs the shared
    // workflow (workflow/RegisterWorkflow.h) with this dialog's members and boxes; the wait for the machine lock and
    // the registration run while the window keeps painting, and input that arrives meanwhile is dropped, not
    // replayed, so a double click cannot register twice.
    void OnRegister();

    HICON m_hIcon = nullptr;
    CString m_strDatabaseServer;
    CString m_strDBServerIP;
    CString m_strDatabaseName;
    CString m_strDBUserID;
    CString m_strDBUserPassword; // plain text in memory

protected:
    BOOL OnInitDialog() override;
    void DoDataExchange(CDataExchange* pDX) override;
    bool OnCommand(int id) override;

    // The settings store and the registration, virtual so the dialog's flow can be exercised on its own.
    // Assigns all five members from the stored settings (the password decrypted).
    virtual bool LoadSettings();
    // Stores all five members (the password encrypted).
    virtual bool SaveSettings();
    // Enters this machine into the suite's database with the stored settings: result 1 on success, else 0 with the
    // reason in errorText (the Error box shows at most kErrorTextSize - 1 bytes of it). Runs off the window's
    // thread: it must not touch the window.
    virtual RegistrationOutcome RegisterMachine();

private:
    friend class DialogRegisterFace;
    DatabaseSettingsValue MembersValue() const;
    void SetMembers(const DatabaseSettingsValue& value);
};
