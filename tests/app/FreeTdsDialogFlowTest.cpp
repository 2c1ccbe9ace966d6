// The dialog's whole flow through the real settings store, registration and FreeTDS driver, against the SQL Server
// stand-in: a scripted window types the settings and clicks Register. The test runs in a network namespace of its
// own (loopback, and one veth end with a static 198.18.0.0/15 address for the registration to find).
#include "app/EnlistorUtilityDlg.h"
#include "res/Resource.h"
#include "settings/DatabaseSettings.h"
#include "tests/data/TdsLoginServer.h"
#include "tests/data/TdsTls.h"
#include "tests/support/TestSupport.h"
#include "tests/ui/ScriptedWindow.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

using namespace enlistor::test;

namespace {

constexpr char kAddress[] = "198.18.0.5";

struct DialogRow {
    const char* name;
    std::string database;
    std::string login;
    std::string password;
    const char* box; // the start of the box the dialog shows
};

void PrintTo(const DialogRow& row, std::ostream* out) {
    *out << row.name;
}

class FreeTdsDialogFlowTest : public testing::TestWithParam<DialogRow> {
protected:
    void SetUp() override {
        std::string why;
        if (!EnterLoopbackOnlyNetwork(&why))
            GTEST_SKIP() << "no network namespace: " << why;
        for (const std::vector<std::string>& ip :
             {std::vector<std::string>{"ip", "link", "add", "en0", "type", "veth", "peer", "name", "en0p"},
              {"ip", "addr", "add", std::string(kAddress) + "/24", "dev", "en0"},
              {"ip", "link", "set", "en0", "up"}}) {
            const ProcessResult result = RunProcess(ip);
            if (result.exitCode != 0)
                GTEST_SKIP() << "cannot add an adapter here: " << result.errors;
        }
        ASSERT_EQ(setenv("ENLISTOR_REGISTRY", m_root.path().c_str(), 1), 0);
        UseTestOdbcConfig(m_root.path());
        // The stand-in does TLS with a certificate of its own, trusted as a CA file stored beside the settings (as
        // an earlier "enlistor register --ca-file" leaves it): the dialog connects the same way.
        m_certificate = MakeSelfSignedCertificate(m_root.path().string(), "standin");
        TdsLoginServer::Options options;
        options.certFile = m_certificate.certFile;
        options.keyFile = m_certificate.keyFile;
        m_server = std::make_unique<TdsLoginServer>(options);
        ConnectionTrustSettings trust;
        trust.caFile = m_certificate.certFile;
        ASSERT_TRUE(SaveConnectionTrust(trust));
    }
    void TearDown() override { unsetenv("ENLISTOR_REGISTRY"); }

    TempDir m_root;
    TestCertificate m_certificate;
    std::unique_ptr<TdsLoginServer> m_server; // made inside the namespace
    std::vector<std::string> m_log;
    ScriptedFrontEnd m_frontEnd{m_log};
    FrontEndScope m_scope{&m_frontEnd};
};

// What is typed reaches the server exactly and the row is stored, or the Error box says why nothing was sent.
TEST_P(FreeTdsDialogFlowTest, TypedSettingsRegisterThroughTheDriver) {
    const DialogRow& row = GetParam();
    m_frontEnd.script = {TypeText(1000, "127.0.0.1," + std::to_string(m_server->port())),
                         TypeText(1002, row.database),
                         TypeText(1003, row.login),
                         TypeText(1004, row.password),
                         Click(IDC_REGISTER),
                         PressEsc()};
    CEnlistorUtilityDlg dlg;
    dlg.DoModal();
    const auto box =
        std::find_if(m_log.begin(), m_log.end(), [](const std::string& line) { return line.rfind("box ", 0) == 0; });
    ASSERT_NE(box, m_log.end());
    EXPECT_EQ(box->rfind(std::string("box ") + row.box, 0), 0u) << *box;
    EXPECT_EQ(box->find(row.password), std::string::npos) << *box;
    if (std::string(row.box).rfind("[Success]", 0) != 0) {
        EXPECT_EQ(m_server->connections(), 0);
        return;
    }
    ASSERT_EQ(m_server->logins().size(), 1u);
    EXPECT_EQ(m_server->logins()[0], (TdsLoginServer::Login{row.login, row.password, row.database, true}));
    ASSERT_EQ(m_server->Registered().size(), 1u);
    EXPECT_EQ(m_server->Registered()[0].ip, kAddress);
}

INSTANTIATE_TEST_SUITE_P(
    Values, FreeTdsDialogFlowTest,
    testing::Values(DialogRow{"Plain", "Suite", "sa", "S3cret!", "[Success] Server registered successfully"},
                    DialogRow{"NonAscii", "Z\u00fcrich", "Pa\u00df-\u20ac", "Z\u00fcrich",
                              "[Success] Server registered successfully"},
                    DialogRow{"GeneratedLooking", "Suite", "sa", "QUJDREVGR0hJSktMTU5PUFFSU1RVVldYWVphYmNkZWY=",
                              "[Success] Server registered successfully"},
                    DialogRow{"Braces", "Suite", "sa", "Xy}9", "[Success] Server registered successfully"},
                    DialogRow{"BraceEndingTheValue", "Suite", "sa", "a};b", "[Error]"},
                    DialogRow{"NotText", "Suite", "s\xff", "S3cret!", "[Error]"}),
    [](const testing::TestParamInfo<DialogRow>& info) { return std::string(info.param.name); });

// A certificate nothing trusts: the Error box (one, for the one press) says the login was not sent, names the
// certificate's fingerprint and the command that pins it; the server never hears a login.
TEST_F(FreeTdsDialogFlowTest, UntrustedCertificateGivesTheErrorBoxAndSendsNoLogin) {
    ASSERT_TRUE(SaveConnectionTrust(ConnectionTrustSettings{}));
    m_frontEnd.script = {TypeText(1000, "127.0.0.1," + std::to_string(m_server->port())),
                         TypeText(1002, "Suite"),
                         TypeText(1003, "sa"),
                         TypeText(1004, "S3cret!"),
                         Click(IDC_REGISTER),
                         PressEsc()};
    CEnlistorUtilityDlg dlg;
    dlg.DoModal();
    EXPECT_EQ(
        std::count_if(m_log.begin(), m_log.end(), [](const std::string& line) { return line.rfind("box ", 0) == 0; }),
        1);
    const auto box =
        std::find_if(m_log.begin(), m_log.end(), [](const std::string& line) { return line.rfind("box ", 0) == 0; });
    ASSERT_NE(box, m_log.end());
    EXPECT_EQ(box->rfind("box [Error]", 0), 0u) << *box;
    EXPECT_NE(box->find("so the login was not sent"), std::string::npos) << *box;
    EXPECT_NE(box->find("--trust-cert " + Sha256Fingerprint(m_certificate.certFile)), std::string::npos) << *box;
    EXPECT_TRUE(m_server->logins().empty());
}

} // namespace
