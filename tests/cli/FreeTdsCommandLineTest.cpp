// The unattended commands through the real FreeTDS driver against the SQL Server stand-in (tests/data): the
// executable runs in this test's network namespace (loopback only), so the driver reaches nothing else.
#include "tests/data/TdsLoginServer.h"
#include "tests/data/TdsTls.h"
#include "tests/log/SyslogCapture.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <tuple>

namespace fs = std::filesystem;
using namespace enlistor::test;
using Step = TdsLoginServer::Step;

namespace {

constexpr char kBinary[] = ENLISTOR_CLI_BINARY;
constexpr char kAddress[] = "198.18.0.5";

std::string first_line(const std::string& text) {
    return text.substr(0, text.find('\n'));
}

class FreeTdsCommandLineTest : public testing::Test {
protected:
    void SetUp() override {
        std::string why;
        if (!EnterLoopbackOnlyNetwork(&why))
            GTEST_SKIP() << "no network namespace: " << why;
        m_registry = m_dir.path() / "registry";
        fs::create_directories(m_registry);
        setenv("ENLISTOR_REGISTRY", m_registry.c_str(), 1);
        UseTestOdbcConfig(m_dir.path());
        // The stand-in does TLS with a certificate of its own, which register is told to trust (--ca-file) and
        // stores for the runs after it: the login never travels in the clear.
        m_certificate = MakeSelfSignedCertificate(m_dir.path().string(), "standin");
        TdsLoginServer::Options options;
        options.certFile = m_certificate.certFile;
        options.keyFile = m_certificate.keyFile;
        m_server = std::make_unique<TdsLoginServer>(options);
    }

    void TearDown() override {
        for (const std::string& secret : m_secrets)
            for (const std::string& output : m_outputs)
                EXPECT_EQ(output.find(secret), std::string::npos) << "a password was printed: " << output;
    }

    std::string server() const { return m_host + "," + std::to_string(m_server->port()); }

    fs::path password_file(const std::string& password) {
        const fs::path path = m_dir.path() / ("password-" + std::to_string(m_secrets.size()));
        std::ofstream(path, std::ios::binary) << password << "\n";
        fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::replace);
        if (password.size() > 2)
            m_secrets.push_back(password);
        return path;
    }

    ProcessResult run(std::vector<std::string> args, const std::map<std::string, std::string>& environment = {}) {
        args.insert(args.begin(), kBinary);
        ProcessOptions options;
        options.environment = environment;
        ProcessResult result = RunProcess(args, options);
        m_outputs.push_back(result.output);
        m_outputs.push_back(result.errors);
        return result;
    }

    std::vector<std::string> register_args(const std::string& login, const std::string& password,
                                           const std::string& database = "Suite") {
        return {"register",
                "--server",
                server(),
                "--database",
                database,
                "--login",
                login,
                "--password-file",
                password_file(password).string(),
                "--address",
                kAddress,
                "--ca-file",
                m_certificate.certFile};
    }

    TempDir m_dir;
    fs::path m_registry;
    TestCertificate m_certificate;
    std::string m_host = "127.0.0.1";
    std::unique_ptr<TdsLoginServer> m_server;
    std::vector<std::string> m_secrets;
    std::vector<std::string> m_outputs;
};

// register inserts the row once, a second register and check find it, unregister removes it; an address in
// tblServers stays where it is.
TEST_F(FreeTdsCommandLineTest, RegisterCheckUnregisterCycle) {
    const ProcessResult first = run(register_args("sa", "S3cret!"));
    ASSERT_EQ(first.exitCode, 0) << first.errors;
    EXPECT_EQ(first.output, "Server registered successfully\n");
    ASSERT_EQ(m_server->Registered().size(), 1u);
    EXPECT_EQ(m_server->Registered()[0].ip, kAddress);
    EXPECT_EQ(m_server->Registered()[0].type, "Windows");

    EXPECT_EQ(run({"register", "--address", kAddress}).exitCode, 0);
    EXPECT_EQ(m_server->Registered().size(), 1u);
    const ProcessResult check = run({"check", "--address", kAddress});
    EXPECT_EQ(check.exitCode, 0) << check.errors;
    EXPECT_NE(check.output.find("already registered"), std::string::npos) << check.output;

    const ProcessResult removed = run({"unregister", "--address", kAddress});
    EXPECT_EQ(removed.exitCode, 0) << removed.errors;
    EXPECT_TRUE(m_server->Registered().empty());

    m_server->AddServer(kAddress);
    const ProcessResult suiteOwn = run({"unregister", "--address", kAddress});
    EXPECT_EQ(suiteOwn.exitCode, 1);
    ASSERT_EQ(m_server->logins().size(), 5u);
    EXPECT_EQ(m_server->logins()[4], (TdsLoginServer::Login{"sa", "S3cret!", "Suite", true}));
}

// The instance form: the SQL Server Browser (UDP 1434) names the instance's port, and the registration goes there.
TEST_F(FreeTdsCommandLineTest, InstanceFormRegistersThroughTheBrowsersPort) {
    const std::string text = "ServerName;STANDIN;InstanceName;SUITE;IsClustered;No;Version;16.0.1000.6;tcp;" +
                             std::to_string(m_server->port()) + ";;";
    ScriptedUdpServer browser(1434, std::string("\x05", 1) + static_cast<char>(text.size()) + '\0' + text);
    const ProcessResult result =
        run({"register", "--server", "127.0.0.1\\SUITE", "--database", "Suite", "--login", "sa", "--password-file",
             password_file("S3cret!").string(), "--address", kAddress, "--ca-file", m_certificate.certFile});
    EXPECT_EQ(result.exitCode, 0) << result.errors;
    EXPECT_EQ(browser.lastRequest(), std::string("\x04SUITE\0", 7));
    ASSERT_EQ(m_server->Registered().size(), 1u);
    EXPECT_EQ(m_server->Registered()[0].ip, kAddress);
    // Through the generated section at the browser's port, the login inside TLS, the certificate checked for the
    // host the operator named.
    ASSERT_FALSE(m_server->logins().empty());
    EXPECT_TRUE(m_server->logins().back().overTls);
}

// What the operator types reaches the server exactly, through the settings store and the driver; a value the
// driver cannot be given, or that is not text, is refused (exit 2) before anything is sent.
struct TextRow {
    const char* name;
    std::string login;
    std::string password;
    std::string database;
    int exitCode;
};

void PrintTo(const TextRow& row, std::ostream* out) {
    *out << row.name;
}

class FreeTdsTextTest : public FreeTdsCommandLineTest, public testing::WithParamInterface<TextRow> {};

TEST_P(FreeTdsTextTest, ArrivesExactlyOrIsRefusedBeforeSending) {
    const TextRow& row = GetParam();
    const ProcessResult result = run(register_args(row.login, row.password, row.database));
    EXPECT_EQ(result.exitCode, row.exitCode) << result.errors;
    if (row.exitCode != 0) {
        EXPECT_EQ(m_server->connections(), 0);
        EXPECT_NE(first_line(result.errors).find("Check Database"), std::string::npos) << result.errors;
        return;
    }
    ASSERT_EQ(m_server->logins().size(), 1u);
    EXPECT_EQ(m_server->logins()[0], (TdsLoginServer::Login{row.login, row.password, row.database, true}));
    // check connects with the stored settings: it sends the same.
    EXPECT_EQ(run({"check", "--address", kAddress}).exitCode, 0);
    ASSERT_EQ(m_server->logins().size(), 2u);
    EXPECT_EQ(m_server->logins()[1], m_server->logins()[0]);
}

INSTANTIATE_TEST_SUITE_P(
    Values, FreeTdsTextTest,
    testing::Values(TextRow{"Plain", "sa", "S3cret!", "Suite", 0},
                    TextRow{"NonAscii", "Z\u00fcrich", "Pa\u00df-\u20ac", "Z\u00fcrich", 0},
                    TextRow{"NonAsciiSwapped", "Pa\u00df-\u20ac", "Z\u00fcrich", "Pa\u00df-\u20ac", 0},
                    TextRow{"BraceInside", "sa", "pw}x", "Suite", 0},
                    TextRow{"BraceNearTheEnd", "sa", "Xy}9", "Suite", 0},
                    TextRow{"LongPassword", "sa", std::string(128, 'p'), "Suite", 0},
                    TextRow{"Base64LookingPassword", "sa", "QUJDREVGR0hJSktMTU5PUFFSU1RVVldYWVphYmNkZWY=", "Suite", 0},
                    TextRow{"BraceEndingTheValue", "sa", "a};b", "Suite", 2},
                    TextRow{"LoginNotText",
                            "s\xff"
                            "a",
                            "S3cret!", "Suite", 2},
                    TextRow{"PasswordNotText", "sa", "pw\xc3(", "Suite", 2}),
    [](const testing::TestParamInfo<TextRow>& info) { return std::string(info.param.name); });

// Passwords as operators generate them (openssl rand -base64 32) arrive exactly on register.
TEST_F(FreeTdsCommandLineTest, GeneratedPasswordsArriveExactly) {
    for (int i = 0; i < 20; ++i) {
        const ProcessResult generated = RunProcess({"openssl", "rand", "-base64", "32"});
        ASSERT_EQ(generated.exitCode, 0) << generated.errors;
        const std::string password = generated.output.substr(0, generated.output.find('\n'));
        ASSERT_EQ(password.size(), 44u);
        ASSERT_EQ(run(register_args("sa", password)).exitCode, 0);
        EXPECT_EQ(m_server->logins().back().password, password);
    }
}

// A computer name that is not ASCII is stored exactly (a UTS namespace of this test gives it).
TEST_F(FreeTdsCommandLineTest, NonAsciiComputerNameIsStoredExactly) {
    const std::string name = "z\u00fcrich";
    if (unshare(CLONE_NEWUTS) != 0 || sethostname(name.data(), name.size()) != 0)
        GTEST_SKIP() << "no UTS namespace here";
    ASSERT_EQ(run(register_args("sa", "S3cret!")).exitCode, 0);
    ASSERT_EQ(m_server->Registered().size(), 1u);
    EXPECT_EQ(m_server->Registered()[0].name, name);
    EXPECT_EQ(run({"unregister", "--address", kAddress}).exitCode, 0);
    EXPECT_TRUE(m_server->Registered().empty());
}

// What the server answers decides the exit code and the first line, whatever order its errors come in.
struct CauseRow {
    const char* name;
    Step step;
    TdsLoginServer::Answer answer;
    const char* command;
    int exitCode;
    const char* firstLine; // the start of stderr's first line
};

void PrintTo(const CauseRow& row, std::ostream* out) {
    *out << row.name;
}

class FreeTdsCauseTest : public FreeTdsCommandLineTest, public testing::WithParamInterface<CauseRow> {};

TEST_P(FreeTdsCauseTest, ExitCodeAndFirstLine) {
    const CauseRow& row = GetParam();
    ASSERT_EQ(run(register_args("sa", "S3cret!")).exitCode, 0);
    m_server->SetAnswer(row.step, row.answer);
    const ProcessResult result = run({row.command, "--address", kAddress});
    EXPECT_EQ(result.exitCode, row.exitCode) << result.errors;
    EXPECT_EQ(first_line(result.errors).rfind(row.firstLine, 0), 0u) << result.errors;
}

const TdsLoginServer::ServerError kCannotOpen{4060, 1, 11,
                                              "Cannot open database \"Suite\" requested by the login. "
                                              "The login failed."};
const TdsLoginServer::ServerError kLoginFailed{18456, 1, 14, "Login failed for user 'sa'."};
const TdsLoginServer::Answer kDropped{{}, true};

INSTANTIATE_TEST_SUITE_P(
    Answers, FreeTdsCauseTest,
    testing::Values(CauseRow{"WrongDatabase",
                             Step::Login,
                             {{kCannotOpen, kLoginFailed}},
                             "register",
                             5,
                             "enlistor: The database 'Suite' does not exist"},
                    CauseRow{"WrongDatabaseOtherOrder",
                             Step::Login,
                             {{kLoginFailed, kCannotOpen}},
                             "check",
                             5,
                             "enlistor: The database 'Suite' does not exist"},
                    CauseRow{
                        "LoginRefused", Step::Login, {{kLoginFailed}}, "register", 4, "enlistor: The database server"},
                    CauseRow{"NoTable",
                             Step::CheckRegistered,
                             {{{208, 1, 16, "Invalid object name 'tblRegisteredServers'."}}},
                             "check",
                             5,
                             "enlistor: The database 'Suite' lacks a table"},
                    CauseRow{"NoPermission",
                             Step::CheckServers,
                             {{{229, 5, 14, "The SELECT permission was denied on the object 'tblServers'."}}},
                             "unregister",
                             6,
                             "enlistor: The login 'sa' is not allowed"},
                    CauseRow{"DroppedOnRegister", Step::CheckRegistered, kDropped, "register", 3,
                             "enlistor: Cannot reach the database server"},
                    CauseRow{"DroppedOnCheck", Step::CheckRegistered, kDropped, "check", 3,
                             "enlistor: Cannot reach the database server"},
                    CauseRow{"DroppedOnUnregister", Step::CheckServers, kDropped, "unregister", 3,
                             "enlistor: Cannot reach the database server"}),
    [](const testing::TestParamInfo<CauseRow>& info) { return std::string(info.param.name); });

// A duplicate check that fails does not stop the insert, and is not hidden: --json lists it under warnings, the text
// output says "registered, but ...", and the audit line carries a warning.
TEST_F(FreeTdsCommandLineTest, FailedDuplicateCheckIsAWarningOfASuccessfulRegister) {
    m_server->SetAnswer(Step::CheckServers,
                        {{{229, 5, 14, "The SELECT permission was denied on the object 'tblServers'."}}});
    std::vector<std::string> args = register_args("sa", "S3cret!");
    args.push_back("--json");
    const ProcessResult json = run(args);
    EXPECT_EQ(json.exitCode, 0) << json.errors;
    ProcessOptions input;
    input.input = json.output;
    const ProcessResult members = RunProcess(
        {"python3", "-c",
         "import json, sys\nd = json.load(sys.stdin)\nprint(d['outcome'], d['error'] == '', len(d['warnings']))\n"
         "print(d['warnings'][0])"},
        input);
    EXPECT_EQ(first_line(members.output), "registered True 1") << json.output;
    EXPECT_NE(members.output.find("SELECT permission was denied"), std::string::npos) << members.output;
    ASSERT_EQ(m_server->Registered().size(), 1u);

    m_server->AddRegistered({"other", "198.18.0.6", "Windows"}); // a second address, registered anew
    const ProcessResult text = run({"register", "--address", "198.18.0.7"});
    EXPECT_EQ(text.exitCode, 0);
    EXPECT_EQ(text.output, "Server registered successfully\n");
    EXPECT_EQ(first_line(text.errors).rfind("enlistor: registered, but a duplicate check failed: ", 0), 0u)
        << text.errors;

    const SyslogCapture capture = RunWithSyslogCapture({kBinary, "register", "--address", "198.18.0.8"});
    if (!capture.available)
        GTEST_SKIP() << capture.process.errors;
    ASSERT_EQ(capture.datagrams.size(), 1u) << capture.process.errors;
    const auto message = ParseSyslogDatagram(capture.datagrams[0]);
    ASSERT_TRUE(message);
    const auto fields = ParseAuditFields(message->message);
    ASSERT_TRUE(fields) << message->message;
    EXPECT_EQ(fields->at("outcome"), "registered");
    EXPECT_EQ(fields->at("warning").rfind("a duplicate check failed", 0), 0u) << message->message;
}

// The program's own refusals say what happened on their first line; a refused port says so.
TEST_F(FreeTdsCommandLineTest, OwnRefusalsAndARefusedPortSayWhatHappened) {
    ASSERT_EQ(run(register_args("sa", "S3cret!")).exitCode, 0);
    m_server->AddServer(kAddress);
    const ProcessResult suiteOwn = run({"unregister", "--address", kAddress});
    EXPECT_EQ(suiteOwn.exitCode, 1);
    EXPECT_EQ(first_line(suiteOwn.errors).rfind("enlistor: The address 198.18.0.5 is in the suite's server list", 0),
              0u)
        << suiteOwn.errors;
    const ProcessResult noAddress = run({"check"}); // only loopback here: no address qualifies
    EXPECT_EQ(noAddress.exitCode, 1);
    EXPECT_EQ(first_line(noAddress.errors).rfind("enlistor: No usable network address was found", 0), 0u)
        << noAddress.errors;

    const ProcessResult refused =
        run({"check", "--address", kAddress, "--server", "127.0.0.1," + std::to_string(ClosedTcpPort())});
    EXPECT_EQ(refused.exitCode, 3);
    EXPECT_NE(first_line(refused.errors).find(": connection refused."), std::string::npos) << refused.errors;
}

// The login never crosses the network unprotected, through the real FreeTDS driver on the host path: (what the
// server offers, what the operator trusts) gives the exit code, and whether the password reached the server. Every
// row runs with the server on loopback and on a namespace's own address.
enum class Offer { NoTls, CertificateForThisAddress, CertificateForAnotherName };
enum class Trust { SystemCas, ItsCertificateAsCaFile, Pin, InsecureLogin };

struct SqlServerTlsRow {
    const char* name;
    Offer offer;
    Trust trust;
    int exitCode; // 0: registered, the login inside TLS; 7: the login never sent
};

void PrintTo(const SqlServerTlsRow& row, std::ostream* out) {
    *out << row.name;
}

class FreeTdsTlsTest : public FreeTdsCommandLineTest,
                       public testing::WithParamInterface<std::tuple<SqlServerTlsRow, bool>> {};

TEST_P(FreeTdsTlsTest, ThePasswordReachesOnlyAVerifiedServer) {
    const auto& [row, onLoopback] = GetParam();
    if (!onLoopback) {
        std::string why;
        ASSERT_TRUE(AddNamespaceAddress("198.18.0.1", &why)) << why;
        m_host = "198.18.0.1";
    }
    TdsLoginServer::Options options;
    options.address = m_host;
    if (row.offer != Offer::NoTls) {
        const TestCertificate served = MakeSelfSignedCertificate(
            m_dir.path().string(), "served",
            row.offer == Offer::CertificateForThisAddress ? "IP:" + m_host : std::string("DNS:other.example"));
        options.certFile = served.certFile;
        options.keyFile = served.keyFile;
    }
    m_server = std::make_unique<TdsLoginServer>(options);
    const std::string fingerprint = options.certFile.empty() ? "" : Sha256Fingerprint(options.certFile);

    std::vector<std::string> args = register_args("sa", "S3cret!");
    args.resize(args.size() - 2); // the fixture's --ca-file
    if (row.trust == Trust::ItsCertificateAsCaFile)
        args.insert(args.end(), {"--ca-file", options.certFile});
    else if (row.trust == Trust::Pin)
        args.insert(args.end(), {"--trust-cert", fingerprint});
    else if (row.trust == Trust::InsecureLogin)
        args.push_back("--insecure-login");
    args.push_back("--json");
    const ProcessResult result = run(args);
    EXPECT_EQ(result.exitCode, row.exitCode) << result.output << result.errors;
    EXPECT_NE(result.output.find("\"certificate_sha256\":\"" + fingerprint + "\""), std::string::npos) << result.output;

    if (row.trust == Trust::InsecureLogin) {
        // The operator's opt-out for this server: sent as FreeTDS would by default, and said on every run.
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_NE(result.output.find("--insecure-login is set for this server"), std::string::npos) << result.output;
        ASSERT_EQ(m_server->logins().size(), 1u);
        EXPECT_FALSE(m_server->logins()[0].overTls);
        const ProcessResult again = run({"check", "--address", kAddress});
        EXPECT_EQ(again.exitCode, 0) << again.errors;
        EXPECT_NE(again.errors.find("warning: --insecure-login is set"), std::string::npos) << again.errors;
        return;
    }
    if (row.exitCode == 0) {
        EXPECT_NE(result.output.find("\"verified\":true"), std::string::npos) << result.output;
        ASSERT_EQ(m_server->Registered().size(), 1u);
        ASSERT_FALSE(m_server->logins().empty());
        for (const TdsLoginServer::Login& login : m_server->logins())
            EXPECT_TRUE(login.overTls); // the probe sends none; the driver's inside TLS
        return;
    }
    EXPECT_NE(result.output.find("\"verified\":false"), std::string::npos) << result.output;
    EXPECT_TRUE(m_server->logins().empty());
    EXPECT_TRUE(m_server->Registered().empty());
    // check says the same on stderr, with the command that pins the certificate it saw.
    args[0] = "check";
    args.pop_back();
    const ProcessResult text = run(args);
    EXPECT_EQ(text.exitCode, 7);
    EXPECT_NE(text.errors.find("so the login was not sent"), std::string::npos) << text.errors;
    if (!fingerprint.empty()) {
        EXPECT_NE(text.errors.find("enlistor register --trust-cert " + fingerprint), std::string::npos) << text.errors;
    }
    EXPECT_TRUE(m_server->logins().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FreeTdsTlsTest,
    testing::Combine(
        testing::Values(SqlServerTlsRow{"NoTls", Offer::NoTls, Trust::SystemCas, 7},
                        SqlServerTlsRow{"NoTlsInsecureLogin", Offer::NoTls, Trust::InsecureLogin, 0},
                        SqlServerTlsRow{"UnknownCertificate", Offer::CertificateForThisAddress, Trust::SystemCas, 7},
                        SqlServerTlsRow{"AnotherHostName", Offer::CertificateForAnotherName,
                                        Trust::ItsCertificateAsCaFile, 7},
                        SqlServerTlsRow{"AnotherHostNamePinned", Offer::CertificateForAnotherName, Trust::Pin, 0},
                        SqlServerTlsRow{"ItsCertificateAsCaFile", Offer::CertificateForThisAddress,
                                        Trust::ItsCertificateAsCaFile, 0}),
        testing::Bool()),
    [](const testing::TestParamInfo<std::tuple<SqlServerTlsRow, bool>>& info) {
        return std::string(std::get<0>(info.param).name) +
               (std::get<1>(info.param) ? "OnLoopback" : "OnANamespaceAddress");
    });

} // namespace
