// The data objects against real databases: SQLite through the SQLite ODBC driver and PostgreSQL (the CTest fixture
// "postgres") through psqlODBC, both addressed the way the registration addresses them: Server names an ODBC data
// source. One test body runs against each.
#include "platform/data/Ado.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <ostream>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <functional>
#include <optional>

namespace {

using namespace enlistor::test;
using Clock = std::chrono::steady_clock;

constexpr HRESULT kLoginFailed = static_cast<HRESULT>(0x80040E4Du);
constexpr HRESULT kSyntaxOrAccess = static_cast<HRESULT>(0x80040E14u);
constexpr HRESULT kObjectClosed = static_cast<HRESULT>(0x800A0E78u);
constexpr HRESULT kObjectOpen = static_cast<HRESULT>(0x800A0E79u);
constexpr HRESULT kConnectionUnusable = static_cast<HRESULT>(0x800A0E7Du);

const char* const kSelectRegistered = "Select ServerIP from tblRegisteredServers where ServerIP = ?";
const char* const kSelectServers = "Select ServerIP from tblServers where ServerIP = ?";
const char* const kInsert =
    "Insert into tblRegisteredServers (ServerName, ServerIP, ServerType) values (?, ?, 'Windows')";

enum class Backend { Sqlite, Postgres };

std::string connection_string(const std::string& server, const std::string& database, const std::string& user,
                              const std::string& password) {
    return "Provider=SQLOLEDB; Server=" + server + "; Database=" + database + "; UID=" + user + "; PWD=" + password +
           ";";
}

_com_error expect_com_error(const std::function<void()>& call) {
    try {
        call();
    } catch (const _com_error& e) {
        return e;
    }
    ADD_FAILURE() << "no _com_error";
    return _com_error(S_OK);
}

// Rows print as their names, so the test names carry no byte dumps.
void PrintTo(Backend backend, std::ostream* out) {
    *out << (backend == Backend::Sqlite ? "SQLite" : "PostgreSQL");
}

class AdoDatabaseTest : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override {
        if (GetParam() == Backend::Sqlite) {
            m_file = m_dir.path() / "suite.db";
            UseTestOdbcConfig(m_dir.path(),
                              {{"EnlistorSuite", "SQLite3", {{"Database", m_file.string()}}},
                               {"EnlistorMissing", "SQLite3", {{"Database", (m_dir.path() / "none.db").string()}}}});
            CreateSqliteSuiteDatabase(m_file);
            m_inspect = SqliteConnectionString(m_file);
            m_good = connection_string("EnlistorSuite", "", "", "");
            return;
        }
        std::string why;
        m_server = PostgresServer::Load(&why);
        ASSERT_TRUE(m_server) << why;
        auto pg = [&](const std::string& name, int port) {
            return DataSource{name, "PostgreSQL Unicode", [&] {
                                  auto attributes = m_server->DataSourceAttributes(port);
                                  attributes["Database"] = m_server->database;
                                  return attributes;
                              }()};
        };
        m_silent.emplace();
        UseTestOdbcConfig(m_dir.path(), {pg("EnlistorSuite", m_server->port), pg("EnlistorStopped", ClosedTcpPort()),
                                         pg("EnlistorSilent", m_silent->port())});
        m_database = m_server->NewSuiteDatabase();
        m_inspect = m_server->ConnectionString(m_database);
        m_good = connection_string("EnlistorSuite", m_database, m_server->user, m_server->password);
    }
    void TearDown() override {
        if (m_server && !m_database.empty())
            m_server->DropDatabase(m_database);
    }

    void ExpectFromDriver(const _com_error& e) {
        ASSERT_TRUE(e.Source());
        EXPECT_EQ(*e.Source(),
                  GetParam() == Backend::Sqlite ? "ODBC driver SQLite3" : "ODBC driver PostgreSQL Unicode");
        ASSERT_TRUE(e.Description());
        EXPECT_FALSE(e.Description()->empty());
        if (m_server) {
            EXPECT_EQ(e.Description()->find(m_server->password), CString::npos);
        }
    }

    TempDir m_dir;
    std::filesystem::path m_file;
    std::optional<PostgresServer> m_server;
    std::optional<SilentTcpListener> m_silent;
    std::string m_database;
    std::string m_inspect;
    std::string m_good;
};

TEST_P(AdoDatabaseTest, OpenSelectReportsEofAndClosesForTheNextStatement) {
    // EOF is read right after Open; one Recordset object serves two statements in turn.
    RunSql(m_inspect, "INSERT INTO tblServers (ServerIP) VALUES ('10.0.0.7')");
    enlistor::ado::Connection connection;
    ASSERT_EQ(connection.CreateInstance(), S_OK);
    connection.Open(m_good, "", "", 0);
    EXPECT_EQ(connection.GetState(), enlistor::ado::adStateOpen);

    enlistor::ado::Recordset recordset;
    ASSERT_EQ(recordset.CreateInstance(), S_OK);
    recordset.Open(kSelectRegistered, {"10.0.0.7"}, connection, enlistor::ado::adOpenKeyset,
                   enlistor::ado::adLockOptimistic, enlistor::ado::adCmdText);
    EXPECT_TRUE(recordset.IsEOF());
    recordset.Close();
    recordset.Open(kSelectServers, {"10.0.0.7"}, connection, enlistor::ado::adOpenKeyset,
                   enlistor::ado::adLockOptimistic, enlistor::ado::adCmdText);
    EXPECT_FALSE(recordset.IsEOF());
    recordset.Close();
    recordset.Release();

    connection.Close();
    EXPECT_EQ(connection.GetState(), enlistor::ado::adStateClosed);
}

TEST_P(AdoDatabaseTest, ExecuteStoresBoundParametersExactly) {
    // Values travel as parameters: an apostrophe and SQL-looking text are stored as they stand, nothing else runs.
    enlistor::ado::Connection connection;
    ASSERT_EQ(connection.CreateInstance(), S_OK);
    connection.Open(m_good, "", "", 0);
    connection.Execute(kInsert, {"O'Brien-PC", "10.0.0.8"}, 0);
    connection.Execute(kInsert, {"x'); DELETE FROM tblServers; --", "10.0.0.9"}, 0);
    connection.Close();

    EXPECT_EQ(
        QueryRows(m_inspect, "SELECT ServerName, ServerIP, ServerType FROM tblRegisteredServers ORDER BY "
                             "ServerIP"),
        (Rows{{"O'Brien-PC", "10.0.0.8", "Windows"}, {"x'); DELETE FROM tblServers; --", "10.0.0.9", "Windows"}}));
    EXPECT_EQ(QueryRows(m_inspect, "SELECT COUNT(*) FROM tblServers"), (Rows{{"0"}}));
}

TEST_P(AdoDatabaseTest, MissingTableRaisesTheDriversError) {
    // PostgreSQL reports 42P01 (0x80040E14); the SQLite driver reports every statement fault as HY000.
    enlistor::ado::Connection connection;
    ASSERT_EQ(connection.CreateInstance(), S_OK);
    connection.Open(m_good, "", "", 0);
    RunSql(m_inspect, "DROP TABLE tblServers");
    enlistor::ado::Recordset recordset;
    ASSERT_EQ(recordset.CreateInstance(), S_OK);
    _com_error e = expect_com_error([&] {
        recordset.Open(kSelectServers, {"10.0.0.7"}, connection, enlistor::ado::adOpenKeyset,
                       enlistor::ado::adLockOptimistic, enlistor::ado::adCmdText);
    });
    if (GetParam() == Backend::Postgres) {
        EXPECT_EQ(e.Error(), kSyntaxOrAccess);
        EXPECT_EQ(e.SqlState(), "42P01");
    } else {
        EXPECT_EQ(e.Error(), E_FAIL);
    }
    ExpectFromDriver(e);
    EXPECT_EQ(e.Cause(), DataErrorCause::TableMissing) << *e.Description();
    CString lower = *e.Description();
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    EXPECT_NE(lower.find("tblservers"), CString::npos) << *e.Description();
    // The failed Open leaves the recordset closed and the connection usable.
    EXPECT_EQ(expect_com_error([&] { recordset.IsEOF(); }).Error(), kObjectClosed);
    connection.Execute(kInsert, {"after", "10.0.0.10"}, 0);
}

TEST_P(AdoDatabaseTest, UnknownDatabaseFailsToOpen) {
    enlistor::ado::Connection connection;
    ASSERT_EQ(connection.CreateInstance(), S_OK);
    const std::string target = GetParam() == Backend::Sqlite ? connection_string("EnlistorMissing", "", "", "")
                                                             : connection_string("EnlistorSuite", "enlistor_no_such_db",
                                                                                 m_server->user, m_server->password);
    _com_error e = expect_com_error([&] { connection.Open(target, "", "", 0); });
    EXPECT_EQ(e.Error(), E_FAIL);
    ExpectFromDriver(e);
    EXPECT_EQ(connection.GetState(), enlistor::ado::adStateClosed);
    EXPECT_EQ(e.Cause(), DataErrorCause::DatabaseMissing) << *e.Description();
    if (GetParam() == Backend::Sqlite) {
        EXPECT_NE(e.Description()->find("the database file " + (m_dir.path() / "none.db").string() + " does not exist"),
                  CString::npos)
            << *e.Description();
        EXPECT_FALSE(std::filesystem::exists(m_dir.path() / "none.db")) << "NoCreat=1 must keep the file uncreated";
    }
}

TEST_P(AdoDatabaseTest, WrongPasswordIsRefusedWithoutShowingIt) {
    // psqlODBC reports every refused connection, a wrong password included, as 08001 (0x80004005); the password,
    // which here needs quoting, appears in no text.
    if (GetParam() == Backend::Sqlite)
        GTEST_SKIP() << "SQLite has no logins";
    enlistor::ado::Connection connection;
    ASSERT_EQ(connection.CreateInstance(), S_OK);
    const std::string wrong = "wrong;pass}word";
    _com_error e = expect_com_error([&] {
        connection.Open("Provider=SQLOLEDB; Server=EnlistorSuite; Database=" + m_database + "; UID=" + m_server->user +
                            "; PWD={wrong;pass}}word};",
                        "", "", 0);
    });
    EXPECT_EQ(e.Error(), E_FAIL);
    EXPECT_EQ(e.SqlState(), "08001");
    EXPECT_NE(e.Description()->find("password authentication failed"), CString::npos) << *e.Description();
    EXPECT_EQ(e.Cause(), DataErrorCause::LoginRefused);
    ExpectFromDriver(e);
    EXPECT_EQ(e.Description()->find(wrong), CString::npos);
    EXPECT_EQ(connection.MappedConnectionString().find("wrong"), CString::npos);
}

TEST_P(AdoDatabaseTest, StoppedServerRefusesTheConnection) {
    if (GetParam() == Backend::Sqlite)
        GTEST_SKIP() << "SQLite has no server";
    enlistor::ado::Connection connection;
    ASSERT_EQ(connection.CreateInstance(), S_OK);
    _com_error e = expect_com_error([&] {
        connection.Open(connection_string("EnlistorStopped", m_database, m_server->user, m_server->password), "", "",
                        0);
    });
    EXPECT_EQ(e.Error(), E_FAIL);
    EXPECT_EQ(e.SqlState().substr(0, 2), "08");
    EXPECT_EQ(e.Cause(), DataErrorCause::ServerUnreachable) << *e.Description();
    ExpectFromDriver(e);
}

TEST_P(AdoDatabaseTest, SilentServerFailsWithinTheLoginLimit) {
    if (GetParam() == Backend::Sqlite)
        GTEST_SKIP() << "SQLite has no server";
    enlistor::ado::Connection connection;
    ASSERT_EQ(connection.CreateInstance(), S_OK);
    const auto started = Clock::now();
    _com_error e = expect_com_error([&] {
        connection.Open(connection_string("EnlistorSilent", m_database, m_server->user, m_server->password), "", "", 0);
    });
    const auto elapsed = std::chrono::duration<double>(Clock::now() - started).count();
    std::printf("silent server: error after %.2f s\n", elapsed);
    EXPECT_EQ(e.Error(), E_FAIL);
    ExpectFromDriver(e);
    EXPECT_LT(elapsed, enlistor::ado::kLoginTimeoutSeconds + 3.0);
}

TEST_P(AdoDatabaseTest, CallsInTheWrongStateRaiseAdoErrors) {
    enlistor::ado::Connection connection;
    ASSERT_EQ(connection.CreateInstance(), S_OK);
    enlistor::ado::Recordset recordset;
    ASSERT_EQ(recordset.CreateInstance(), S_OK);
    EXPECT_EQ(expect_com_error([&] { connection.Close(); }).Error(), kObjectClosed);
    EXPECT_EQ(expect_com_error([&] { connection.Execute(kInsert, {"a", "b"}, 0); }).Error(), kObjectClosed);
    EXPECT_EQ(expect_com_error([&] {
                  recordset.Open(kSelectServers, {"x"}, connection, enlistor::ado::adOpenKeyset,
                                 enlistor::ado::adLockOptimistic, enlistor::ado::adCmdText);
              }).Error(),
              kConnectionUnusable);
    connection.Open(m_good, "", "", 0);
    EXPECT_EQ(expect_com_error([&] { connection.Open(m_good, "", "", 0); }).Error(), kObjectOpen);
    recordset.Open(kSelectServers, {"x"}, connection, enlistor::ado::adOpenKeyset, enlistor::ado::adLockOptimistic,
                   enlistor::ado::adCmdText);
    EXPECT_EQ(expect_com_error([&] {
                  recordset.Open(kSelectServers, {"x"}, connection, enlistor::ado::adOpenKeyset,
                                 enlistor::ado::adLockOptimistic, enlistor::ado::adCmdText);
              }).Error(),
              kObjectOpen);
    // Closing the connection under an open recordset closes the recordset too.
    connection.Close();
    EXPECT_EQ(expect_com_error([&] { recordset.IsEOF(); }).Error(), kObjectClosed);
    recordset.Release();
}

INSTANTIATE_TEST_SUITE_P(Databases, AdoDatabaseTest, ::testing::Values(Backend::Sqlite, Backend::Postgres),
                         [](const auto& info) { return info.param == Backend::Sqlite ? "SQLite" : "PostgreSQL"; });

} // namespace
