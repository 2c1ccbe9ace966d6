#include "registration/Registration.h"

#include "platform/data/Com.h"
#include "platform/net/ComputerName.h"
#include "settings/DatabaseSettings.h"
#include "settings/VLReg.h"
#include "tests/support/OdbcFaults.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace {

namespace test = enlistor::test;

// The registration as the dialog's error-text area receives it: the result, and the text cut to the area.
int RegisterMachine(char* area, std::size_t size = kErrorTextSize) {
    const RegistrationOutcome outcome = RegisterMachineDetailed();
    CopyErrorText(outcome.errorText, area, size);
    return outcome.result;
}
using test::OdbcCall;
using test::OdbcFault;
using test::Rows;
using test::ScopedOdbcFault;

constexpr const char* kSqliteDsn = "EnlistorSuiteSqlite";
constexpr const char* kSqliteMissingDsn = "EnlistorSuiteSqliteMissing";
constexpr const char* kPostgresDsn = "EnlistorSuitePostgres";
constexpr const char* kStoppedDsn = "EnlistorSuiteStopped";
constexpr const char* kSilentDsn = "EnlistorSuiteSilent";

// What every test of this file shares for the life of the process: the registry root, the ODBC configuration (the
// driver manager reads it once), the SQLite file, and the PostgreSQL server of the "postgres" fixture if there is one.
struct World {
    test::TempDir dir;
    std::filesystem::path sqliteFile;
    std::optional<test::PostgresServer> postgres;
    std::string postgresMissingReason;
    std::unique_ptr<test::SilentTcpListener> silent;

    World() {
        setenv("ENLISTOR_REGISTRY", (dir.path() / "registry").c_str(), 1);
        sqliteFile = dir.path() / "suite.db";
        postgres = test::PostgresServer::Load(&postgresMissingReason);
        silent = std::make_unique<test::SilentTcpListener>();
        std::vector<test::DataSource> sources = {
            {kSqliteDsn, "SQLite3", {{"Database", sqliteFile.string()}}},
            {kSqliteMissingDsn, "SQLite3", {{"Database", (dir.path() / "absent" / "suite.db").string()}}},
            {kStoppedDsn,
             "PostgreSQL Unicode",
             {{"Servername", "127.0.0.1"}, {"Port", std::to_string(test::ClosedTcpPort())}}},
            {kSilentDsn, "PostgreSQL Unicode", {{"Servername", "127.0.0.1"}, {"Port", std::to_string(silent->port())}}},
        };
        if (postgres)
            sources.push_back({kPostgresDsn, "PostgreSQL Unicode", postgres->DataSourceAttributes()});
        std::filesystem::create_directories(dir.path() / "odbc");
        test::UseTestOdbcConfig(dir.path() / "odbc", sources);
    }
};

World& world() {
    static World instance;
    return instance;
}

// One database the registration runs against: a fresh suite database per test, and the settings pointing at it.
class Backend {
public:
    virtual ~Backend() = default;
    // Empty when the backend can run here, else why not.
    virtual std::string Unavailable() const { return {}; }
    virtual void Create() = 0;
    virtual void Drop() {}
    // Raw ODBC (not the code under test) to prepare and inspect the database.
    virtual std::string Inspect() const = 0;
    // Stores the settings of a registration against this database; overrides for the failure cases.
    virtual void StoreSettings(const std::string* password = nullptr, const std::string* database = nullptr) const = 0;
    virtual bool HasLogin() const = 0;
};

class SqliteBackend : public Backend {
public:
    void Create() override {
        std::filesystem::remove(world().sqliteFile);
        test::CreateSqliteSuiteDatabase(world().sqliteFile);
    }
    std::string Inspect() const override { return test::SqliteConnectionString(world().sqliteFile); }
    void StoreSettings(const std::string* password, const std::string* database) const override {
        // A file database keeps its own path; the Database setting does not move it.
        ASSERT_TRUE(SaveDatabaseSettingsValue(DatabaseSettingsValue::FromTexts(
            database ? kSqliteMissingDsn : kSqliteDsn, "", "suite", "", password ? *password : "")));
    }
    bool HasLogin() const override { return false; }
};

class PostgresBackend : public Backend {
public:
    std::string Unavailable() const override {
        return world().postgres ? std::string() : "no PostgreSQL test server: " + world().postgresMissingReason;
    }
    void Create() override { m_database = world().postgres->NewSuiteDatabase(); }
    void Drop() override {
        if (!m_database.empty())
            world().postgres->DropDatabase(m_database);
    }
    std::string Inspect() const override { return world().postgres->ConnectionString(m_database); }
    void StoreSettings(const std::string* password, const std::string* database) const override {
        const test::PostgresServer& server = *world().postgres;
        ASSERT_TRUE(SaveDatabaseSettingsValue(
            DatabaseSettingsValue::FromTexts(kPostgresDsn, server.host, database ? *database : m_database, server.user,
                                             password ? *password : server.password)));
    }
    bool HasLogin() const override { return true; }

private:
    std::string m_database;
};

// "%s Error %ld%s%s" of the error the outcome reports, with real error information from the driver.
void ExpectDriverErrorText(const RegistrationOutcome& outcome) {
    ASSERT_TRUE(outcome.lastError.has_value());
    const _com_error& error = *outcome.lastError;
    ASSERT_TRUE(error.Source().has_value());
    ASSERT_TRUE(error.Description().has_value());
    EXPECT_FALSE(error.Source()->empty());
    EXPECT_FALSE(error.Description()->empty());
    EXPECT_EQ(outcome.errorText, *error.Source() + " Error " + std::to_string(error.Error()) + *error.Description() +
                                     error.ErrorMessage());
    EXPECT_LT(error.Error(), 0);
}

std::string computer_name() {
    char buffer[256] = {};
    DWORD size = 255;
    return GetComputerNameA(buffer, &size) ? std::string(buffer, size) : std::string();
}

class RegisterMachineTest : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        world();
        if (GetParam() == "SQLite")
            m_backend = std::make_unique<SqliteBackend>();
        else
            m_backend = std::make_unique<PostgresBackend>();
        if (const std::string why = m_backend->Unavailable(); !why.empty())
            GTEST_SKIP() << why;
        m_backend->Create();
        m_backend->StoreSettings();
        m_address = GetLocalIPAddress();
    }
    void TearDown() override {
        EXPECT_EQ(CoInitializeDepth(), 0) << "COM left initialised";
        if (m_backend)
            m_backend->Drop();
    }

    void Sql(const std::string& statement) const { test::RunSql(m_backend->Inspect(), statement); }
    Rows Registered() const {
        return test::QueryRows(m_backend->Inspect(),
                               "SELECT ServerName, ServerIP, ServerType FROM tblRegisteredServers ORDER BY ServerName");
    }
    // A literal for raw SQL in the tests (the code under test binds its values).
    static std::string Literal(const std::string& text) {
        std::string quoted = "'";
        for (char c : text)
            quoted += c == '\'' ? std::string("''") : std::string(1, c);
        return quoted + "'";
    }

    std::unique_ptr<Backend> m_backend;
    std::string m_address;
};

// A new address inserts exactly one row (computer name, address, "Windows") and reports success through the
// dialog's entry; a second Register finds it and inserts nothing.
TEST_P(RegisterMachineTest, NewAddressIsInsertedOnceAndASecondRegisterInsertsNothing) {
    char area[kErrorTextSize];
    std::fill(std::begin(area), std::end(area), '\xbd');
    EXPECT_EQ(RegisterMachine(area), 1);
    EXPECT_STREQ(area, "");
    EXPECT_EQ(CoInitializeDepth(), 0);
    const Rows expected = {{computer_name(), m_address, "Windows"}};
    EXPECT_EQ(Registered(), expected);

    const RegistrationOutcome again = RegisterMachineDetailed();
    EXPECT_EQ(again.result, 1);
    EXPECT_EQ(again.errorText, "");
    EXPECT_TRUE(again.alreadyKnown);
    EXPECT_FALSE(again.rowInserted);
    EXPECT_EQ(again.address, m_address);
    EXPECT_EQ(Registered(), expected);
}

// An address already in tblRegisteredServers, or only in tblServers, is known: success, empty text, no row.
TEST_P(RegisterMachineTest, KnownAddressInEitherTableInsertsNothing) {
    Sql("INSERT INTO tblRegisteredServers (ServerName, ServerIP, ServerType) VALUES ('other', " + Literal(m_address) +
        ", 'Linux')");
    RegistrationOutcome outcome = RegisterMachineDetailed();
    EXPECT_EQ(outcome.result, 1);
    EXPECT_EQ(outcome.errorText, "");
    EXPECT_TRUE(outcome.alreadyKnown);
    EXPECT_EQ(Registered(), (Rows{{"other", m_address, "Linux"}}));

    Sql("DELETE FROM tblRegisteredServers");
    Sql("INSERT INTO tblServers (ServerIP) VALUES (" + Literal(m_address) + ")");
    outcome = RegisterMachineDetailed();
    EXPECT_EQ(outcome.result, 1);
    EXPECT_EQ(outcome.errorText, "");
    EXPECT_TRUE(outcome.alreadyKnown);
    EXPECT_EQ(Registered(), Rows{});
}

// The addresses are compared by the database, as values: a stored address that merely resembles ours is not a match.
TEST_P(RegisterMachineTest, OnlyTheExactAddressCounts) {
    Sql("INSERT INTO tblServers (ServerIP) VALUES (" + Literal(m_address + "0") + ")");
    Sql("INSERT INTO tblRegisteredServers (ServerName, ServerIP, ServerType) VALUES ('near', " +
        Literal(" " + m_address) + ", 'Linux')");
    const RegistrationOutcome outcome = RegisterMachineDetailed();
    EXPECT_EQ(outcome.result, 1);
    EXPECT_FALSE(outcome.alreadyKnown);
    EXPECT_EQ(Registered().size(), 2u);
}

// tblServers missing: the second check fails, the insert still runs, and the result is 1 with the check's error kept.
// When the first check has already found the address, the failure of the second decides: 0, and nothing inserted.
TEST_P(RegisterMachineTest, FailedCheckStillInsertsUnlessTheAddressWasFound) {
    Sql("DROP TABLE tblServers");
    RegistrationOutcome outcome = RegisterMachineDetailed();
    EXPECT_EQ(outcome.result, 1);
    EXPECT_EQ(outcome.lastErrorStep, RegistrationStep::Check);
    ExpectDriverErrorText(outcome);
    EXPECT_TRUE(outcome.rowInserted);
    EXPECT_EQ(Registered(), (Rows{{computer_name(), m_address, "Windows"}}));
    // The warning says what the kept error says, the sentence naming the setting to check included.
    EXPECT_NE(outcome.errorText.find("lacks a table the registration needs. Check Database Name."), std::string::npos)
        << outcome.errorText;
    EXPECT_EQ(outcome.warnings, std::vector<CString>{"a duplicate check failed: " + outcome.errorText});

    char area[kErrorTextSize];
    EXPECT_EQ(RegisterMachine(area), 0) << "the first check finds the row, the second fails";
    EXPECT_EQ(std::string(area), RegisterMachineDetailed().errorText.substr(0, kErrorTextSize - 1));
    EXPECT_EQ(Registered().size(), 1u);
}

// Login refused, unknown database, server down: 0 with the driver's error, and no statement runs.
TEST_P(RegisterMachineTest, ConnectionFailuresReportTheDriversError) {
    Sql("INSERT INTO tblServers (ServerIP) VALUES ('unchanged')");
    auto expect_connect_failure = [&](const char* what) {
        SCOPED_TRACE(what);
        const RegistrationOutcome outcome = RegisterMachineDetailed();
        EXPECT_EQ(outcome.result, 0);
        EXPECT_FALSE(outcome.connected);
        EXPECT_EQ(outcome.lastErrorStep, RegistrationStep::Connect);
        EXPECT_EQ(outcome.address, "") << "the address is looked up only once connected";
        ExpectDriverErrorText(outcome);
        EXPECT_EQ(CoInitializeDepth(), 0);
        return outcome;
    };

    const std::string unknownDatabase = "enlistor_no_such_database";
    m_backend->StoreSettings(nullptr, &unknownDatabase);
    const RegistrationOutcome missing = expect_connect_failure("unknown database");
    EXPECT_EQ(missing.lastError->Cause(), DataErrorCause::DatabaseMissing) << missing.errorText;
    EXPECT_NE(missing.errorText.find(". Check Database Name."), std::string::npos)
        << "the description names the setting to check: " << missing.errorText;

    if (m_backend->HasLogin()) {
        const std::string wrong = "Wrong;Pass}word";
        m_backend->StoreSettings(&wrong);
        const RegistrationOutcome refused = expect_connect_failure("wrong password");
        EXPECT_EQ(refused.errorText.find("Wrong;Pass"), std::string::npos) << "the password leaked into the text";
        EXPECT_NE(refused.errorText.find("Check Database Login and Database Password"), std::string::npos)
            << refused.errorText;
        EXPECT_EQ(refused.lastError->Cause(), DataErrorCause::LoginRefused);

        // An empty stored password, and one that does not decrypt (it gives an empty PWD), are refused logins too:
        // the server's "no password supplied" says so, not an unreachable server.
        const std::string empty;
        m_backend->StoreSettings(&empty);
        const RegistrationOutcome noPassword = expect_connect_failure("empty password");
        EXPECT_EQ(noPassword.lastError->Cause(), DataErrorCause::LoginRefused) << noPassword.errorText;
        EXPECT_NE(noPassword.errorText.find("Check Database Login and Database Password"), std::string::npos)
            << noPassword.errorText;
        CVLReg reg;
        ASSERT_TRUE(reg.WriteValue(SettingsKeyPath(), "DBUserPassword", std::string(44, '#'), REG_SZ));
        const RegistrationOutcome undecryptable = expect_connect_failure("undecryptable password");
        EXPECT_EQ(undecryptable.lastError->Cause(), DataErrorCause::LoginRefused) << undecryptable.errorText;

        ASSERT_TRUE(SaveDatabaseSettingsValue(
            DatabaseSettingsValue::FromTexts(kStoppedDsn, "", "suite", "enlistor", "secret")));
        const RegistrationOutcome stopped = expect_connect_failure("server stopped");
        EXPECT_EQ(stopped.lastError->Cause(), DataErrorCause::ServerUnreachable) << stopped.errorText;
    }
    EXPECT_EQ(Registered(), Rows{});
    EXPECT_EQ(test::QueryRows(m_backend->Inspect(), "SELECT ServerIP FROM tblServers"), (Rows{{"unchanged"}}));
}

// A server that accepts the connection and never answers: the login time limit ends the wait.
TEST_P(RegisterMachineTest, SilentServerFailsWithinTheLoginTimeLimit) {
    if (!m_backend->HasLogin())
        GTEST_SKIP() << "a file database has no server to fall silent";
    ASSERT_TRUE(
        SaveDatabaseSettingsValue(DatabaseSettingsValue::FromTexts(kSilentDsn, "", "suite", "enlistor", "secret")));
    const auto start = std::chrono::steady_clock::now();
    const RegistrationOutcome outcome = RegisterMachineDetailed();
    const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.lastErrorStep, RegistrationStep::Connect);
    ASSERT_TRUE(outcome.lastError.has_value());
    EXPECT_EQ(outcome.errorText, GetComErrorText(*outcome.lastError));
    // 15 s login limit; the margin is for a loaded CI machine.
    EXPECT_LT(seconds, 25.0);
    std::printf("silent server: error after %.1f s: %s\n", seconds, outcome.errorText.c_str());
}

// Runs body in a child process and returns the status character it reports: 'y' passed, 'n' failed, 'u' the child
// could not set itself up (no namespace here); 'n' when the child reported nothing.
char in_child(const std::function<char()>& body) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0)
        return 'u';
    const pid_t child = fork();
    if (child < 0)
        return 'u';
    if (child == 0) {
        close(pipeFds[0]);
        const char status = body();
        (void)!write(pipeFds[1], &status, 1);
        _exit(0);
    }
    close(pipeFds[1]);
    char status = 0;
    const ssize_t got = read(pipeFds[0], &status, 1);
    close(pipeFds[0]);
    int wstatus = 0;
    waitpid(child, &wstatus, 0);
    return got == 1 ? status : 'n';
}

// Runs a registration in a child process whose UTS namespace has the given host name (the machine's own name is
// untouched). Returns 'y' when the outcome passed check, 'n' when not, 'u' when no UTS namespace could be had.
char register_with_host_name(const std::string& name, bool (*check)(const RegistrationOutcome&)) {
    return in_child([&] {
        if (unshare(CLONE_NEWUTS) != 0 || sethostname(name.data(), name.size()) != 0)
            return 'u';
        return check(RegisterMachineDetailed()) ? 'y' : 'n';
    });
}

// A computer name with an apostrophe is stored exactly (it is a bound value, not SQL text) and nothing else changes.
TEST_P(RegisterMachineTest, ComputerNameWithApostropheIsStoredExactly) {
    Sql("INSERT INTO tblRegisteredServers (ServerName, ServerIP, ServerType) VALUES ('db''s', '10.9.9.9', 'Linux')");
    Sql("INSERT INTO tblServers (ServerIP) VALUES ('10.9.9.8')");
    static const std::string name = "o'brien-x');DROP TABLE tblServers;--";
    const char status = register_with_host_name(name, [](const RegistrationOutcome& outcome) {
        return outcome.result == 1 && outcome.rowInserted && outcome.computerName == name;
    });
    if (status == 'u')
        GTEST_SKIP() << "cannot set a host name in a UTS namespace here (needs CAP_SYS_ADMIN)";
    EXPECT_EQ(status, 'y');
    EXPECT_EQ(Registered(), (Rows{{"db's", "10.9.9.9", "Linux"}, {name, m_address, "Windows"}}));
    EXPECT_EQ(test::QueryRows(m_backend->Inspect(), "SELECT ServerIP FROM tblServers"), (Rows{{"10.9.9.8"}}));
}

// A computer name that cannot be read (the kernel's "(none)": nobody set one) gives a row with an empty ServerName.
TEST_P(RegisterMachineTest, UnreadableComputerNameGivesAnEmptyServerName) {
    const char status = register_with_host_name("(none)", [](const RegistrationOutcome& outcome) {
        return outcome.result == 1 && outcome.rowInserted && outcome.computerName.empty();
    });
    if (status == 'u')
        GTEST_SKIP() << "cannot set a host name in a UTS namespace here (needs CAP_SYS_ADMIN)";
    EXPECT_EQ(status, 'y');
    EXPECT_EQ(Registered(), (Rows{{"", m_address, "Windows"}}));
}

// An address given by the caller is the one checked and registered; an empty one is no usable address.
TEST_P(RegisterMachineTest, GivenAddressIsRegisteredInsteadOfTheAdapters) {
    RegistrationOptions options;
    options.address = CString("198.18.7.7");
    RegistrationOutcome outcome = RegisterMachineDetailed(options);
    EXPECT_EQ(outcome.result, 1);
    EXPECT_EQ(outcome.address, "198.18.7.7");
    EXPECT_EQ(Registered(), (Rows{{computer_name(), "198.18.7.7", "Windows"}}));

    options.address = CString();
    outcome = RegisterMachineDetailed(options);
    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.lastErrorStep, RegistrationStep::Address);
    EXPECT_EQ(outcome.errorText, NoUsableAddressText());
    EXPECT_EQ(Registered().size(), 1u);
}

// A machine with only loopback (a network namespace of a child process): no row, and the "no usable address" text in
// the dialog's "%s Error %ld%s%s" form, saying why.
TEST_P(RegisterMachineTest, NoUsableAddressRegistersNothing) {
    if (m_backend->HasLogin())
        GTEST_SKIP() << "the server is not reachable from a loopback-only namespace; the file database is";
    const char status = in_child([] {
        if (!test::EnterLoopbackOnlyNetwork())
            return 'u';
        char area[kErrorTextSize];
        const int result = RegisterMachine(area);
        return result == 0 && std::string(area) == NoUsableAddressText().substr(0, kErrorTextSize - 1) ? 'y' : 'n';
    });
    if (status == 'u')
        GTEST_SKIP() << "no network namespace here";
    EXPECT_EQ(status, 'y');
    EXPECT_EQ(Registered(), Rows{});
    const CString text = NoUsableAddressText();
    EXPECT_TRUE(text.starts_with("Server registration Error -2147467259No usable network address was found")) << text;
    EXPECT_NE(text.find("DHCP"), CString::npos);
    EXPECT_NE(text.find("loopback"), CString::npos);
}

// Unregistering removes this machine's row and reports how many went; a second run finds none. An address in the
// suite's own server list is refused with nothing removed.
TEST_P(RegisterMachineTest, UnregisterRemovesOnlyThisMachinesRow) {
    RegistrationOptions options;
    options.address = CString("198.18.7.8");
    ASSERT_EQ(RegisterMachineDetailed(options).result, 1);
    Sql("INSERT INTO tblRegisteredServers (ServerName, ServerIP, ServerType) VALUES ('other', '198.18.7.8', 'Linux')");

    RegistrationOutcome outcome = UnregisterMachineDetailed(options);
    EXPECT_EQ(outcome.result, 1);
    EXPECT_EQ(outcome.errorText, "");
    EXPECT_EQ(outcome.rowsRemoved, 1);
    EXPECT_EQ(Registered(), (Rows{{"other", "198.18.7.8", "Linux"}}));
    outcome = UnregisterMachineDetailed(options);
    EXPECT_EQ(outcome.result, 1);
    EXPECT_EQ(outcome.rowsRemoved, 0);

    Sql("INSERT INTO tblServers (ServerIP) VALUES ('198.18.7.8')");
    outcome = UnregisterMachineDetailed(options);
    EXPECT_EQ(outcome.result, 0);
    EXPECT_TRUE(outcome.alreadyKnown);
    EXPECT_NE(outcome.errorText.find("must be removed in the suite"), std::string::npos) << outcome.errorText;
    EXPECT_EQ(Registered(), (Rows{{"other", "198.18.7.8", "Linux"}}));
}

// Check-only runs every step up to the insert and writes nothing.
TEST_P(RegisterMachineTest, CheckOnlyWritesNothing) {
    RegistrationOptions options;
    options.insertWhenNew = false;
    const RegistrationOutcome outcome = RegisterMachineDetailed(options);
    EXPECT_EQ(outcome.result, 1);
    EXPECT_TRUE(outcome.connected);
    EXPECT_FALSE(outcome.alreadyKnown);
    EXPECT_FALSE(outcome.rowInserted);
    EXPECT_EQ(outcome.computerName, computer_name());
    EXPECT_FALSE(outcome.driverName.empty());
    EXPECT_EQ(outcome.connectionTarget.find(world().postgres ? world().postgres->password : "\x01"), std::string::npos);
    EXPECT_EQ(Registered(), Rows{});
}

// The Connection object cannot be created (its ODBC environment cannot be allocated): Open goes through the missing
// object (E_POINTER, no error information), nothing else runs.
TEST_P(RegisterMachineTest, ConnectionCreateFailureInjected) {
    {
        ScopedOdbcFault fault({OdbcCall::AllocEnvironment});
        char area[kErrorTextSize];
        EXPECT_EQ(RegisterMachine(area), 0);
        EXPECT_STREQ(area, "(null) Error -2147467261(null)Invalid pointer");
        // A small area gets the text cut to fit.
        char small[16];
        EXPECT_EQ(RegisterMachine(small, sizeof small), 0);
        EXPECT_STREQ(small, "(null) Error -2");
    }
    EXPECT_EQ(Registered(), Rows{});
}

// The first check fails: the insert still runs and succeeds; the result is 1 with the check's error kept.
TEST_P(RegisterMachineTest, CheckFailureInjected) {
    ScopedOdbcFault fault(
        {OdbcCall::ExecDirect, "Select ServerIP from tblRegisteredServers", "HY000", 0, "Injected fault: check"});
    const RegistrationOutcome outcome = RegisterMachineDetailed();
    EXPECT_EQ(outcome.result, 1);
    EXPECT_EQ(outcome.lastErrorStep, RegistrationStep::Check);
    ExpectDriverErrorText(outcome);
    EXPECT_NE(outcome.errorText.find("Injected fault: check"), std::string::npos) << outcome.errorText;
    EXPECT_EQ(Registered(), (Rows{{computer_name(), m_address, "Windows"}}));
}

// The insert fails: the result is 0 with the insert's error text, and no row is written.
TEST_P(RegisterMachineTest, InsertFailureInjected) {
    ScopedOdbcFault fault(
        {OdbcCall::ExecDirect, "Insert into tblRegisteredServers", "23000", 0, "Injected fault: insert"});
    const RegistrationOutcome outcome = RegisterMachineDetailed();
    EXPECT_EQ(outcome.result, 0);
    EXPECT_FALSE(outcome.rowInserted);
    EXPECT_EQ(outcome.lastErrorStep, RegistrationStep::Insert);
    ExpectDriverErrorText(outcome);
    EXPECT_NE(outcome.errorText.find("Injected fault: insert"), std::string::npos) << outcome.errorText;
    EXPECT_EQ(fault.hits(), 1);
    EXPECT_EQ(Registered(), Rows{});
}

// Closing fails after a successful registration: reported as the result (0) and the error text, COM still balanced,
// the object released; the row inserted before stays.
TEST_P(RegisterMachineTest, DisconnectFailureInjected) {
    {
        ScopedOdbcFault fault({OdbcCall::Disconnect, "", "HY000", 0, "Injected fault: disconnect"});
        const RegistrationOutcome outcome = RegisterMachineDetailed();
        EXPECT_EQ(outcome.result, 0);
        EXPECT_TRUE(outcome.rowInserted);
        EXPECT_EQ(outcome.lastErrorStep, RegistrationStep::Disconnect);
        ExpectDriverErrorText(outcome);
        EXPECT_NE(outcome.errorText.find("Injected fault: disconnect"), std::string::npos) << outcome.errorText;
        EXPECT_EQ(CoInitializeDepth(), 0);
    }
    EXPECT_EQ(Registered().size(), 1u);
    char area[kErrorTextSize];
    EXPECT_EQ(RegisterMachine(area), 1) << "fault cleared: the connection closes normally again";
}

INSTANTIATE_TEST_SUITE_P(Databases, RegisterMachineTest, ::testing::Values("SQLite", "PostgreSQL"),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

} // namespace
