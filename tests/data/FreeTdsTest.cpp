// The SQL Server providers through FreeTDS, which cannot reach a real SQL Server here: the mapped connection string
// for each Server form and the failure paths (port closed, silent peer, wrong protocol, instance lookup). Each test
// runs in a network namespace of its own with only loopback, so host names never leave the machine.
#include "platform/data/Ado.h"
#include "platform/data/ConnectionString.h"
#include "platform/data/Odbc.h"
#include "tests/data/TdsLoginServer.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>

namespace {

using namespace enlistor::test;
using Clock = std::chrono::steady_clock;

// A refused or unanswered connection carries its cause beside the driver's own text (and what a second try found).
void ExpectCauseAndDriverText(const _com_error& e, DataErrorCause cause, const CString& driverText) {
    EXPECT_EQ(e.Cause(), cause) << e.Description().value_or("");
    EXPECT_EQ(e.Description().value_or(""), driverText);
}

class FreeTdsTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        if (!EnterLoopbackOnlyNetwork(&why))
            GTEST_SKIP() << "no network namespace: " << why;
        UseTestOdbcConfig(m_dir.path());
        ASSERT_EQ(m_connection.CreateInstance(), S_OK);
        // These pin the host path's mapping and failures as the driver meets them: the login is allowed without a
        // verified certificate (the protected path has tests of its own, LoginProtectionTest).
        enlistor::ado::TransportTrust insecure;
        insecure.insecureLogin = true;
        m_connection.SetTransportTrust(insecure);
    }

    // Opens Server=server through SQLOLEDB and returns the error, printing it with the time it took.
    _com_error OpenFails(const std::string& server) {
        const auto started = Clock::now();
        try {
            m_connection.Open("Provider=SQLOLEDB; Server=" + server + "; Database=Suite; UID=sa; PWD={pw;x};", "", "",
                              0);
        } catch (const _com_error& e) {
            m_elapsed = std::chrono::duration<double>(Clock::now() - started).count();
            std::printf("%s: %.2f s, 0x%08X [%s] %s\n", server.c_str(), m_elapsed, static_cast<unsigned>(e.Error()),
                        e.SqlState().c_str(), e.Description().value_or("(none)").c_str());
            EXPECT_EQ(e.Source().value_or(""), "ODBC driver FreeTDS");
            EXPECT_EQ(e.Description().value_or("").find("pw;x"), CString::npos);
            EXPECT_EQ(m_connection.GetState(), enlistor::ado::adStateClosed);
            return e;
        }
        ADD_FAILURE() << "Open succeeded";
        return _com_error(S_OK);
    }

    static std::string browser_answer(int port) {
        std::string text = "ServerName;LOCALHOST;InstanceName;SQLEXPRESS;IsClustered;No;Version;16.0.1000.6;tcp;" +
                           std::to_string(port) + ";;";
        return std::string("\x05", 1) + static_cast<char>(text.size() & 0xFF) + static_cast<char>(text.size() >> 8) +
               text;
    }

    TempDir m_dir;
    enlistor::ado::Connection m_connection;
    double m_elapsed = 0;
};

TEST_F(FreeTdsTest, HostAloneUsesPort1433AndReportsTheRefusal) {
    _com_error e = OpenFails("localhost");
    EXPECT_EQ(m_connection.MappedConnectionString(),
              "DRIVER=FreeTDS;SERVER=localhost;PORT=1433;TDS_Version=7.4;DATABASE=Suite;UID=sa;PWD=***;");
    EXPECT_EQ(e.Error(), E_FAIL);
    EXPECT_EQ(e.SqlState(), "08001");
    ExpectCauseAndDriverText(e, DataErrorCause::ServerUnreachable,
                             "[FreeTDS][SQL Server]Unable to connect to data source; [FreeTDS][SQL Server]Unable to "
                             "connect: Adaptive Server is unavailable or does not exist; connecting to localhost "
                             "port 1433 again: connection refused");
    EXPECT_LT(m_elapsed, enlistor::ado::kLoginTimeoutSeconds);
}

TEST_F(FreeTdsTest, HostCommaPortReachesThatPortAndASilentPeerTimesOutWithinTheLoginLimit) {
    SilentTcpListener silent;
    _com_error e = OpenFails("127.0.0.1," + std::to_string(silent.port()));
    EXPECT_EQ(m_connection.MappedConnectionString(),
              "DRIVER=FreeTDS;SERVER=127.0.0.1;PORT=" + std::to_string(silent.port()) +
                  ";TDS_Version=7.4;DATABASE=Suite;UID=sa;PWD=***;");
    EXPECT_EQ(e.Error(), E_FAIL);
    EXPECT_EQ(e.SqlState(), "08001");
    ExpectCauseAndDriverText(
        e, DataErrorCause::ServerTimedOut,
        "[FreeTDS][SQL Server]Unable to connect to data source; [FreeTDS][SQL Server]Timeout expired");
    EXPECT_LT(m_elapsed, enlistor::ado::kLoginTimeoutSeconds + 3.0);
}

TEST_F(FreeTdsTest, APeerSpeakingAnotherProtocolIsAnError) {
    ScriptedTcpServer http("HTTP/1.0 400 Bad Request\r\nContent-Length: 0\r\n\r\n");
    _com_error e = OpenFails("localhost," + std::to_string(http.port()));
    EXPECT_GE(http.connections(), 1);
    EXPECT_EQ(e.Error(), E_FAIL);
    EXPECT_EQ(e.SqlState(), "08001");
    ExpectCauseAndDriverText(e, DataErrorCause::ServerUnreachable,
                             "[FreeTDS][SQL Server]Unable to connect to data source; [FreeTDS][SQL Server]Unexpected "
                             "EOF from the server; [FreeTDS][SQL Server]Adaptive Server connection failed");
    EXPECT_LT(m_elapsed, enlistor::ado::kLoginTimeoutSeconds);
}

TEST_F(FreeTdsTest, InstanceWithoutABrowserFailsAtOnce) {
    _com_error e = OpenFails("localhost\\SQLEXPRESS");
    EXPECT_EQ(e.Error(), E_FAIL);
    EXPECT_EQ(e.SqlState(), "08001");
    ExpectCauseAndDriverText(
        e, DataErrorCause::ServerUnreachable,
        "No SQL Server Browser is running: the SQL Server Browser on localhost (UDP port 1434) for instance "
        "SQLEXPRESS refused the request");
    EXPECT_LT(m_elapsed, 2.0);
}

TEST_F(FreeTdsTest, InstanceWithASilentBrowserFailsWithinTheLoginLimit) {
    ScriptedUdpServer browser(1434, "");
    _com_error e = OpenFails("127.0.0.1\\SQLEXPRESS");
    EXPECT_EQ(browser.lastRequest(), std::string("\x04SQLEXPRESS\0", 12));
    EXPECT_EQ(e.Error(), E_FAIL);
    ExpectCauseAndDriverText(
        e, DataErrorCause::ServerTimedOut,
        "No answer from the SQL Server Browser on 127.0.0.1 (UDP port 1434) for instance SQLEXPRESS within 5 s");
    EXPECT_LT(m_elapsed, enlistor::ado::kLoginTimeoutSeconds);
}

TEST_F(FreeTdsTest, InstanceAnsweredByTheBrowserConnectsToItsPort) {
    ScriptedTcpServer garbage(std::string(64, '\xff'));
    ScriptedUdpServer browser(1434, browser_answer(garbage.port()));
    _com_error e = OpenFails("localhost\\SQLEXPRESS");
    // The connection goes to the address whose browser answered, not to the name.
    EXPECT_EQ(m_connection.MappedConnectionString(),
              "DRIVER=FreeTDS;TDS_Version=7.4;DATABASE=Suite;UID=sa;PWD=***;SERVER=127.0.0.1;PORT=" +
                  std::to_string(garbage.port()) + ";");
    EXPECT_GE(garbage.connections(), 1);
    EXPECT_EQ(e.Error(), E_FAIL);
}

// The same with a private /etc/hosts (a mount namespace of this test process) listing "localhost" as ::1 first, as
// a fresh Debian install does, and as 127.0.0.1 first: the browser answers on 127.0.0.1 only, and the lookup finds
// it either way.
class FreeTdsHostsTest : public FreeTdsTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(FreeTdsHostsTest, InstanceAnsweredByTheBrowserConnectsToItsPort) {
    const std::filesystem::path hosts = m_dir.path() / "hosts";
    std::ofstream(hosts) << GetParam();
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount(hosts.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0)
        GTEST_SKIP() << "no private /etc/hosts here (needs a mount namespace)";
    ScriptedTcpServer garbage(std::string(64, '\xff'));
    ScriptedUdpServer browser(1434, browser_answer(garbage.port()));
    _com_error e = OpenFails("localhost\\SQLEXPRESS");
    EXPECT_EQ(m_connection.MappedConnectionString(),
              "DRIVER=FreeTDS;TDS_Version=7.4;DATABASE=Suite;UID=sa;PWD=***;SERVER=127.0.0.1;PORT=" +
                  std::to_string(garbage.port()) + ";");
    EXPECT_GE(garbage.connections(), 1);
    EXPECT_EQ(e.Error(), E_FAIL);
    EXPECT_LT(m_elapsed, enlistor::ado::kLoginTimeoutSeconds);
}

INSTANTIATE_TEST_SUITE_P(EtcHosts, FreeTdsHostsTest,
                         ::testing::Values("::1 localhost\n127.0.0.1 localhost\n",
                                           "127.0.0.1 localhost\n::1 localhost\n"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return std::string(info.index == 0 ? "Ipv6First" : "Ipv4First");
                         });

// What FreeTDS really sends: a server that decodes the login packet receives exactly the typed login, password and
// database for values FreeTDS can carry (braced where they need it, non-ASCII text included), and nothing at all for
// values it would misread or that are not text.
struct LoginRow {
    const char* name;
    const char* login;
    const char* password;
    const char* database;
    bool refused;
};

void PrintTo(const LoginRow& row, std::ostream* out) {
    *out << row.name;
}

class FreeTdsLoginTest : public FreeTdsTest, public ::testing::WithParamInterface<LoginRow> {};

TEST_P(FreeTdsLoginTest, ServerReceivesExactlyTheTypedValuesOrNothing) {
    const LoginRow& row = GetParam();
    enlistor::test::TdsLoginServer server;
    const std::string text = "Provider=SQLOLEDB; Server=127.0.0.1," + std::to_string(server.port()) +
                             "; Database=" + enlistor::ado::QuoteConnectionStringValue(row.database) +
                             "; UID=" + enlistor::ado::QuoteConnectionStringValue(row.login) +
                             "; PWD=" + enlistor::ado::QuoteConnectionStringValue(row.password) + ";";
    try {
        m_connection.Open(text, "", "", 0);
        EXPECT_FALSE(row.refused) << "Open succeeded";
        m_connection.Close();
    } catch (const _com_error& e) {
        const CString description = e.Description().value_or("");
        EXPECT_TRUE(row.refused) << description;
        EXPECT_EQ(description.find(row.password), CString::npos) << description;
        EXPECT_EQ(e.Cause(), DataErrorCause::SettingUnusable) << description;
    }
    if (row.refused) {
        EXPECT_EQ(server.connections(), 0);
        EXPECT_TRUE(server.logins().empty());
        return;
    }
    ASSERT_EQ(server.logins().size(), 1u);
    EXPECT_EQ(server.logins()[0],
              (enlistor::test::TdsLoginServer::Login{row.login, row.password, row.database, false}));
}

// The three statements through the driver: the values arrive as bound parameters, the rows come back.
TEST_F(FreeTdsTest, StatementsRunAgainstTheStandIn) {
    enlistor::test::TdsLoginServer server;
    server.AddServer("198.18.0.9");
    m_connection.Open("Provider=SQLOLEDB; Server=127.0.0.1," + std::to_string(server.port()) +
                          "; Database=Suite; UID=sa; PWD=pw;",
                      "", "", 0);
    enlistor::ado::Recordset recordset;
    ASSERT_EQ(recordset.CreateInstance(), S_OK);
    recordset.Open("Select ServerIP from tblServers where ServerIP = ?", {"198.18.0.9"}, m_connection,
                   enlistor::ado::adOpenKeyset, enlistor::ado::adLockOptimistic, enlistor::ado::adCmdText);
    EXPECT_FALSE(recordset.IsEOF());
    recordset.Close();
    recordset.Open("Select ServerIP from tblRegisteredServers where ServerIP = ?", {"198.18.0.7"}, m_connection,
                   enlistor::ado::adOpenKeyset, enlistor::ado::adLockOptimistic, enlistor::ado::adCmdText);
    EXPECT_TRUE(recordset.IsEOF());
    recordset.Close();
    long rows = 0;
    m_connection.Execute("Insert into tblRegisteredServers (ServerName, ServerIP, ServerType) values (?, ?, 'Windows')",
                         {"host", "198.18.0.7"}, 0, &rows);
    EXPECT_EQ(rows, 1);
    m_connection.Close();
    EXPECT_EQ(server.Registered(),
              (std::vector<enlistor::test::TdsLoginServer::Row>{{"host", "198.18.0.7", "Windows"}}));
}

INSTANTIATE_TEST_SUITE_P(Values, FreeTdsLoginTest,
                         ::testing::Values(LoginRow{"Plain", "sa", "S3cret!", "Suite", false},
                                           LoginRow{"SemicolonsAndBlanks", "sa", " S3cr;et ", "Suite DB", false},
                                           LoginRow{"LeadingBraceAndQuote", "{sa", "\"q\"=x", "it's", false},
                                           LoginRow{"KeywordLookalikes", "sa;UID=admin", "PWD=x;", "db;PORT=7", false},
                                           LoginRow{"PasswordWithBrace", "sa", "pw}x", "Suite", false},
                                           LoginRow{"PasswordEndingInBrace", "sa", "pw}", "Suite", false},
                                           LoginRow{"BracesEverywhere", "s}a", "Xy}9", "S}uite", false},
                                           LoginRow{"NonAscii", "Z\u00fcrich", "Pa\u00df-\u20ac", "Z\u00fcrich", false},
                                           LoginRow{"NonAsciiSwapped", "Pa\u00df-\u20ac", "Z\u00fcrich",
                                                    "Pa\u00df-\u20ac", false},
                                           LoginRow{"PasswordEndingTheValue", "sa", "a};b", "Suite", true},
                                           LoginRow{"LoginAddingAKeyword", "sa};UID=admin;X={", "pw", "Suite", true},
                                           LoginRow{"DatabaseAddingAPort", "sa", "pw", "db};PORT=7;A={", true},
                                           LoginRow{"NotValidText", "sa", "pw\xff", "Suite", true}),
                         [](const ::testing::TestParamInfo<LoginRow>& info) { return std::string(info.param.name); });

// The stand-in also answers prepared statements as FreeTDS runs them (sp_prepexec, then sp_execute on the handle it
// returned, sp_unprepare when the statement goes), for tests that drive the driver directly.
TEST_F(FreeTdsTest, StandInAnswersPreparedStatements) {
    enlistor::test::TdsLoginServer server;
    server.AddServer("198.18.0.9");
    using namespace enlistor::ado::odbc;
    EnvHandle env = NewEnvironment();
    DbcHandle dbc = NewConnection(env);
    std::string text = "DRIVER=FreeTDS;SERVER=127.0.0.1;PORT=" + std::to_string(server.port()) +
                       ";TDS_Version=7.4;UID=sa;PWD=pw;DATABASE=Suite;";
    ASSERT_TRUE(SQL_SUCCEEDED(SQLDriverConnect(dbc.get(), nullptr, reinterpret_cast<SQLCHAR*>(text.data()), SQL_NTS,
                                               nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT)));
    {
        StmtHandle stmt = NewStatement(dbc, "test");
        std::string sql = "Select ServerIP from tblServers where ServerIP = ?";
        ASSERT_TRUE(SQL_SUCCEEDED(SQLPrepare(stmt.get(), reinterpret_cast<SQLCHAR*>(sql.data()), SQL_NTS)));
        char value[32] = {};
        SQLLEN length = SQL_NTS;
        ASSERT_TRUE(SQL_SUCCEEDED(SQLBindParameter(stmt.get(), 1, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, 31, 0,
                                                   value, sizeof value, &length)));
        for (const char* ip : {"198.18.0.9", "198.18.0.8", "198.18.0.9"}) {
            std::snprintf(value, sizeof value, "%s", ip);
            ASSERT_TRUE(SQL_SUCCEEDED(SQLExecute(stmt.get())));
            const SQLRETURN fetched = SQLFetch(stmt.get());
            EXPECT_EQ(fetched == SQL_NO_DATA, std::string(ip) == "198.18.0.8") << ip;
            SQLCloseCursor(stmt.get());
        }
    }
    SQLDisconnect(dbc.get());
    EXPECT_EQ(server.Parameters(), (std::vector<std::string>{"198.18.0.9", "198.18.0.8", "198.18.0.9"}));
}

TEST_F(FreeTdsTest, ProviderWithoutAnyDriverSaysWhatToInstall) {
    UseTestOdbcConfig(m_dir.path(), {}, {"FreeTDS"});
    try {
        m_connection.Open("Provider=SQLNCLI11; Server=db; Database=Suite; UID=sa; PWD=pw;", "", "", 0);
        FAIL() << "Open succeeded";
    } catch (const _com_error& e) {
        EXPECT_EQ(e.Error(), static_cast<HRESULT>(0x800A0E7Au));
        EXPECT_EQ(e.Source().value_or(""), "ADODB.Connection");
        EXPECT_EQ(e.Cause(), DataErrorCause::DriverMissing);
        EXPECT_EQ(e.Description().value_or(""), "Provider SQLNCLI11 cannot be found: no SQL Server ODBC driver is "
                                                "installed (install the Debian package tdsodbc)");
    }
}

} // namespace
