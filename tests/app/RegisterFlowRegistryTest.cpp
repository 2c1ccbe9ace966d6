// The dialog with the real settings store on a temporary registry root; only the registration is injected.
#include "app/EnlistorUtilityApp.h"
#include "app/EnlistorUtilityDlg.h"
#include "platform/registry/Registry.h"
#include "res/Resource.h"
#include "settings/DatabaseSettings.h"
#include "tests/support/TestSupport.h"
#include "tests/ui/ScriptedWindow.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <optional>

using namespace enlistor::test;

namespace {

class InjectedRegistrationDlg : public CEnlistorUtilityDlg {
public:
    int result = 0;
    CString errorText;
    std::vector<std::map<std::string, std::optional<std::string>>> storedAtRegistration;

protected:
    RegistrationOutcome RegisterMachine() override;
};

// The stored value, or nullopt when it does not exist.
std::optional<std::string> StoredValue(const char* name) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SettingsKeyPath().c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    DWORD type = 0;
    DWORD size = 0;
    std::optional<std::string> value;
    if (RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
        std::string bytes(size, '\0');
        if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(bytes.data()), &size) ==
            ERROR_SUCCESS) {
            bytes.resize(size);
            while (!bytes.empty() && bytes.back() == '\0') {
                bytes.pop_back();
            }
            value = bytes;
        }
    }
    (void)RegCloseKey(key);
    return value;
}

const char* const kValueNames[] = {"DatabaseServer", "DBServerIP", "DatabaseName", "DBUserID", "DBUserPassword"};

std::map<std::string, std::optional<std::string>> AllStored() {
    std::map<std::string, std::optional<std::string>> all;
    for (const char* name : kValueNames) {
        all[name] = StoredValue(name);
    }
    return all;
}

RegistrationOutcome InjectedRegistrationDlg::RegisterMachine() {
    storedAtRegistration.push_back(AllStored());
    RegistrationOutcome outcome;
    outcome.result = result;
    outcome.errorText = errorText;
    return outcome;
}

class RegistryFlow : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(setenv("ENLISTOR_REGISTRY", root.path().c_str(), 1), 0); }
    void TearDown() override { unsetenv("ENLISTOR_REGISTRY"); }

    TempDir root;
    std::vector<std::string> log;
    ScriptedFrontEnd frontEnd{log};
    FrontEndScope scope{&frontEnd};
};

// On an empty registry the dialog opens with five empty fields; a failed first run stores the edits for the
// registration, then the snapshot: five empty values, the password in its encrypted form.
TEST_F(RegistryFlow, FirstFailedRunOnEmptyRegistryStoresFiveEmptyValues) {
    frontEnd.script = {Inspect([](ScriptedWindow& w) {
                           for (int id = 1000; id <= 1004; ++id) {
                               EXPECT_EQ(w.Field(id), "") << id;
                           }
                       }),
                       TypeText(1000, "db.example"),
                       TypeText(1003, "sa"),
                       TypeText(1004, "typed secret"),
                       Click(IDC_REGISTER),
                       PressEsc()};
    InjectedRegistrationDlg dlg;
    dlg.result = 0;
    dlg.errorText = "no route";
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);

    ASSERT_EQ(dlg.storedAtRegistration.size(), 1u);
    EXPECT_EQ(dlg.storedAtRegistration[0]["DatabaseServer"], "db.example");
    EXPECT_EQ(dlg.storedAtRegistration[0]["DBUserID"], "sa");
    ASSERT_TRUE(dlg.storedAtRegistration[0]["DBUserPassword"].has_value());
    EXPECT_GE(dlg.storedAtRegistration[0]["DBUserPassword"]->size(), kEncryptedPasswordMinLength);
    EXPECT_EQ(dlg.storedAtRegistration[0]["DBUserPassword"]->find("typed secret"), std::string::npos);

    const auto after = AllStored();
    for (const char* name : {"DatabaseServer", "DBServerIP", "DatabaseName", "DBUserID"}) {
        EXPECT_EQ(after.at(name), std::optional<std::string>("")) << name;
    }
    ASSERT_TRUE(after.at("DBUserPassword").has_value());
    EXPECT_GE(after.at("DBUserPassword")->size(), kEncryptedPasswordMinLength);
    EXPECT_EQ(dlg.m_strDBUserPassword, "");
    EXPECT_EQ(dlg.m_strDatabaseServer, "");
}

// After a success the fields show the stored values as the load gives them back; the password round-trips.
TEST_F(RegistryFlow, SuccessLeavesEditsStoredAndShown) {
    frontEnd.script = {TypeText(1000, "srv"),
                       TypeText(1001, "10.1.2.3"),
                       TypeText(1002, "suite"),
                       TypeText(1003, "login"),
                       TypeText(1004, "pässword"),
                       Click(IDC_REGISTER),
                       Inspect([](ScriptedWindow& w) {
                           EXPECT_EQ(w.Field(1000), "srv");
                           EXPECT_EQ(w.Field(1004), "pässword");
                       }),
                       PressEsc()};
    InjectedRegistrationDlg dlg;
    dlg.result = 1;
    dlg.DoModal();
    EXPECT_EQ(StoredValue("DatabaseServer"), "srv");
    EXPECT_EQ(StoredValue("DBServerIP"), "10.1.2.3");
    EXPECT_NE(StoredValue("DBUserPassword"), "pässword");
    EXPECT_EQ(dlg.m_strDBUserPassword, "pässword");
    EXPECT_TRUE(std::count(log.begin(), log.end(), "box [Success] Server registered successfully type 0"));
}

// The application's start-up: one dialog of template 102 run modally, the profile key name set, false returned;
// nothing stored when the operator cancels.
TEST_F(RegistryFlow, InitInstanceRunsOneDialogAndReturnsFalse) {
    frontEnd.script = {TypeText(1000, "edited"), PressEsc()};
    EXPECT_EQ(AfxGetApp(), &theApp);
    EXPECT_FALSE(theApp.InitInstance());
    EXPECT_EQ(frontEnd.created, 1);
    EXPECT_EQ(log.front(), "window 102");
    EXPECT_EQ(theApp.GetRegistryKey(), "Local AppWizard-Generated Applications");
    EXPECT_EQ(theApp.m_pMainWnd, nullptr);
    EXPECT_EQ(StoredValue("DatabaseServer"), std::nullopt);
    EXPECT_EQ(theApp.ExitInstance(), 0);
}

} // namespace
