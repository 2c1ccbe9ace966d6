// The unattended commands as an operator's script runs them: the real executable, a temporary registry root, the
// SQLite ODBC driver and the PostgreSQL test server, each failure produced by a real fault.
#include "tests/log/SyslogCapture.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <sched.h>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace enlistor::test;

namespace {

constexpr char kBinary[] = ENLISTOR_CLI_BINARY;
constexpr char kSuccess[] = "Server registered successfully\n";

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_file(const fs::path& path, const std::string& text,
                fs::perms perms = fs::perms::owner_read | fs::perms::owner_write) {
    std::ofstream(path, std::ios::binary) << text;
    fs::permissions(path, perms, fs::perm_options::replace);
}

// Every entry below root with its type, mode, owner, size, modification time (ns) and content: two equal listings
// mean nothing was created, removed, rewritten or touched.
std::string hive_listing(const fs::path& root) {
    std::map<std::string, std::string> entries;
    if (!fs::exists(root))
        return "(no hive)";
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
        struct stat st {};
        if (::lstat(entry.path().c_str(), &st) != 0)
            continue;
        std::ostringstream line;
        line << std::oct << st.st_mode << std::dec << " " << st.st_uid << " " << st.st_size << " " << st.st_mtim.tv_sec
             << "." << st.st_mtim.tv_nsec;
        if (S_ISREG(st.st_mode))
            line << " [" << read_file(entry.path()) << "]";
        entries[fs::relative(entry.path(), root).string()] = line.str();
    }
    std::string listing;
    for (const auto& [path, line] : entries)
        listing += path + " " + line + "\n";
    return listing;
}

// The members of a JSON object as a JSON parser reads them (python3's json module): top-level scalars by name,
// members of nested objects as "outer.inner". Fails the test when the text is not exactly one JSON object.
std::map<std::string, std::string> parse_json(const std::string& text) {
    static const char* script = R"(import json, sys
d = json.load(sys.stdin)
assert isinstance(d, dict)
def walk(prefix, v):
    if isinstance(v, dict):
        for k, x in v.items():
            walk(prefix + k + ".", x)
    else:
        s = "null" if v is None else json.dumps(v) if isinstance(v, bool) else str(v)
        sys.stdout.write(prefix[:-1] + "\t" + s.encode("unicode_escape").decode("ascii") + "\n")
walk("", d))";
    ProcessOptions options;
    options.input = text;
    const ProcessResult parsed = RunProcess({"python3", "-c", script}, options);
    EXPECT_EQ(parsed.exitCode, 0) << "not one JSON object: " << text << parsed.errors;
    std::map<std::string, std::string> members;
    std::istringstream lines(parsed.output);
    for (std::string line; std::getline(lines, line);) {
        const std::size_t tab = line.find('\t');
        members[line.substr(0, tab)] = line.substr(tab + 1);
    }
    return members;
}

int count_rows(const std::string& connection, const std::string& table = "tblRegisteredServers") {
    return std::stoi(QueryRows(connection, "select count(*) from " + table).at(0).at(0));
}

class CommandLineTest : public testing::Test {
protected:
    void SetUp() override {
        m_dir.OpenToAll();
        m_registry = m_dir.path() / "registry";
        fs::create_directories(m_registry);
        setenv("ENLISTOR_REGISTRY", m_registry.c_str(), 1);
        m_odbc = m_dir.path() / "odbc";
        fs::create_directories(m_odbc);
    }

    // No output of any run in the test holds a secret, and every --json output validates against the schema the
    // package ships.
    void TearDown() override {
        for (const std::string& secret : m_secrets)
            for (const std::string& output : m_outputs)
                EXPECT_EQ(output.find(secret), std::string::npos) << "a password was printed: " << output;
        if (m_jsonOutputs.empty())
            return;
        ProcessOptions options;
        for (const std::string& output : m_jsonOutputs)
            options.input += output.empty() ? "{}\n" : output;
        const ProcessResult validated = RunProcess({"python3", ENLISTOR_SOURCE_DIR "/scripts/validate-json-output.py",
                                                    ENLISTOR_SOURCE_DIR "/docs/enlistor-output.schema.json"},
                                                   options);
        EXPECT_EQ(validated.exitCode, 0) << validated.output << validated.errors;
    }

    fs::path password_file(const std::string& password) {
        const fs::path path = m_dir.path() / ("password-" + std::to_string(m_secrets.size()));
        write_file(path, password + "\n");
        m_secrets.push_back(password);
        return path;
    }

    // Runs the executable; as the unprivileged user 65534 through setpriv when asked.
    ProcessResult run(std::vector<std::string> args, const std::string& input = {}, bool unprivileged = false) {
        args.insert(args.begin(), kBinary);
        if (unprivileged)
            args.insert(args.begin(), {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
        ProcessOptions options;
        options.input = input;
        ProcessResult result = RunProcess(args, options);
        m_outputs.push_back(result.output);
        m_outputs.push_back(result.errors);
        if (std::find(args.begin(), args.end(), "--json") != args.end())
            m_jsonOutputs.push_back(result.output);
        return result;
    }

    std::map<std::string, std::string> run_json(std::vector<std::string> args, int expectedExit) {
        args.push_back("--json");
        const ProcessResult result = run(args);
        EXPECT_EQ(result.exitCode, expectedExit) << result.output << result.errors;
        EXPECT_EQ(result.errors, "") << "--json prints nothing but the object";
        auto members = parse_json(result.output);
        EXPECT_EQ(members["exit_code"], std::to_string(expectedExit));
        return members;
    }

    void use_sqlite(const fs::path& database) {
        UseTestOdbcConfig(m_odbc, {DataSource{"suite", "SQLite3", {{"Database", database.string()}}}});
    }

    TempDir m_dir;
    fs::path m_registry;
    fs::path m_odbc;
    std::vector<std::string> m_secrets;
    std::vector<std::string> m_outputs;
    std::vector<std::string> m_jsonOutputs; // each --json run's standard output
};

class SqliteCommandLineTest : public CommandLineTest {
protected:
    void SetUp() override {
        CommandLineTest::SetUp();
        m_database = m_dir.path() / "suite.db";
        CreateSqliteSuiteDatabase(m_database);
        m_connection = SqliteConnectionString(m_database);
        use_sqlite(m_database);
    }

    ProcessResult register_suite() {
        return run({"register", "--server", "suite", "--ip", "127.0.0.1", "--database", "suite", "--login", "sa",
                    "--password-file", password_file("Sqlite-pw-71").string()});
    }

    fs::path m_database;
    std::string m_connection;
};

// register stores the given settings and inserts one row; a second register and check both find it known.
TEST_F(SqliteCommandLineTest, RegisterInsertsOnceAndCheckFindsIt) {
    const ProcessResult first = register_suite();
    ASSERT_EQ(first.exitCode, 0) << first.errors;
    EXPECT_EQ(first.output, kSuccess);
    EXPECT_EQ(first.errors, "");
    ASSERT_EQ(count_rows(m_connection), 1);
    const Rows rows = QueryRows(m_connection, "select ServerName, ServerIP, ServerType from tblRegisteredServers");
    EXPECT_EQ(rows[0][2], "Windows");

    auto check = run_json({"check"}, 0);
    EXPECT_EQ(check["outcome"], "already-registered");
    EXPECT_EQ(check["address"], rows[0][1]);
    EXPECT_EQ(check["computer_name"], rows[0][0]);
    EXPECT_EQ(check["settings.database_server"], "suite");
    EXPECT_EQ(check["settings.database_server_ip"], "127.0.0.1");
    EXPECT_EQ(check["settings.database_login"], "sa");
    EXPECT_EQ(check["settings.database_password"], "********");
    EXPECT_EQ(check["would_insert"], "null");

    auto again = run_json({"register"}, 0);
    EXPECT_EQ(again["outcome"], "already-registered");
    EXPECT_EQ(again["error"], "");
    EXPECT_EQ(count_rows(m_connection), 1);
}

// check stores nothing and inserts nothing: the hive (names, modes, times, contents) and the rows are unchanged,
// in text and JSON mode alike, and it names the row register would insert.
TEST_F(SqliteCommandLineTest, CheckWritesNothing) {
    ASSERT_EQ(register_suite().exitCode, 0);
    RunSql(m_connection, "delete from tblRegisteredServers");
    const std::string before = hive_listing(m_registry);
    std::this_thread::sleep_for(std::chrono::milliseconds(20)); // so that a rewrite would show in the times

    const ProcessResult text = run({"check"});
    EXPECT_EQ(text.exitCode, 8) << text.errors; // reachable, and register would insert
    EXPECT_NE(text.output.find("not registered; register would insert ServerName="), std::string::npos) << text.output;
    EXPECT_NE(text.output.find("********"), std::string::npos);
    auto json = run_json({"check"}, 8);
    EXPECT_EQ(json["outcome"], "not-registered");
    EXPECT_EQ(json["would_insert.ServerType"], "Windows");
    EXPECT_EQ(json["would_insert.ServerIP"], json["address"]);

    EXPECT_EQ(count_rows(m_connection), 0);
    EXPECT_EQ(hive_listing(m_registry), before);
}

// A missing table gives exit code 5 for both commands; the failed register puts the earlier settings back.
TEST_F(SqliteCommandLineTest, MissingTableIsFiveAndRollsBack) {
    ASSERT_EQ(register_suite().exitCode, 0);
    RunSql(m_connection, "drop table tblServers");

    const ProcessResult failed = run({"register", "--database", "other", "--login", "someone"});
    EXPECT_EQ(failed.exitCode, 5) << failed.errors;
    EXPECT_EQ(failed.output, "");
    EXPECT_NE(failed.errors.find(" Error "), std::string::npos) << failed.errors;
    EXPECT_NE(failed.errors.find("no such table"), std::string::npos) << failed.errors;
    EXPECT_NE(failed.errors.find("lacks a table the registration needs. Check Database Name."), std::string::npos);

    auto check = run_json({"check"}, 5);
    EXPECT_EQ(check["outcome"], "failed");
    EXPECT_NE(check["error"].find("no such table"), std::string::npos);
    EXPECT_EQ(check["settings.database_name"], "suite"); // rolled back
    EXPECT_EQ(check["settings.database_login"], "sa");
    EXPECT_EQ(count_rows(m_connection), 1);
}

// A database file that cannot be opened is "database missing" (5).
TEST_F(SqliteCommandLineTest, UnopenableDatabaseIsFive) {
    ASSERT_EQ(register_suite().exitCode, 0);
    use_sqlite(m_dir.path() / "no-such-dir" / "suite.db");
    const ProcessResult failed = run({"register"});
    EXPECT_EQ(failed.exitCode, 5) << failed.errors;
    EXPECT_EQ(run({"check"}).exitCode, 5);
}

// As an unprivileged user the settings store is read-only: register stops with 6 before touching the database and
// the hive stays as it was.
TEST_F(SqliteCommandLineTest, ReadOnlyRegistryIsSix) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to drop to an unprivileged user";
    ASSERT_EQ(register_suite().exitCode, 0);
    RunSql(m_connection, "delete from tblRegisteredServers");
    const std::string before = hive_listing(m_registry);

    const ProcessResult failed = run({"register", "--login", "intruder"}, {}, true);
    EXPECT_EQ(failed.exitCode, 6) << failed.output << failed.errors;
    EXPECT_NE(failed.errors.find("Permission denied"), std::string::npos) << failed.errors;
    auto json = parse_json(run({"register", "--json"}, {}, true).output);
    EXPECT_EQ(json["exit_code"], "6");
    EXPECT_EQ(json["outcome"], "failed");
    // The hive is root's alone: another user's check cannot read the settings, and says so.
    const ProcessResult check = run({"check"}, {}, true);
    EXPECT_EQ(check.exitCode, 6) << check.output << check.errors;
    EXPECT_NE(check.errors.find("cannot read the setting DatabaseServer"), std::string::npos) << check.errors;
    EXPECT_NE(check.errors.find("Access is denied."), std::string::npos) << check.errors;
    // It names the hive directory and what to do, not a Windows key path.
    EXPECT_NE(check.errors.find("in the registry directory " + m_registry.string()), std::string::npos) << check.errors;
    EXPECT_NE(check.errors.find("Run as root."), std::string::npos) << check.errors;
    EXPECT_EQ(check.errors.find("HKEY_"), std::string::npos) << check.errors;

    EXPECT_EQ(hive_listing(m_registry), before);
    EXPECT_EQ(count_rows(m_connection), 0);
}

// Under --json the warning about a password file that others can read is in the object's list, and standard error
// stays empty; in text mode it is a warning line. A FIFO as the password file is refused at once.
TEST_F(SqliteCommandLineTest, PasswordFileWarningsAndFifo) {
    ASSERT_EQ(register_suite().exitCode, 0);
    const fs::path readable = password_file("Readable-pw-1");
    fs::permissions(readable, fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read);
    auto readableJson = run_json({"check", "--password-file", readable.string()}, 0);
    EXPECT_NE(readableJson["warnings"].find("can be read by other users"), std::string::npos)
        << readableJson["warnings"];
    const ProcessResult text = run({"check", "--password-file", readable.string()});
    EXPECT_NE(text.errors.find("enlistor: warning: the password file"), std::string::npos) << text.errors;

    const fs::path fifo = m_dir.path() / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const ProcessResult refused = run({"register", "--password-file", fifo.string()});
    EXPECT_EQ(refused.exitCode, 2);
    EXPECT_NE(refused.errors.find("is not a regular file"), std::string::npos) << refused.errors;
    auto json = run_json({"unregister", "--password-file", fifo.string()}, 2);
    EXPECT_EQ(json["outcome"], "usage");
    EXPECT_EQ(json["command"], "unregister");
}

// --address takes the IPv4 text of an IPv4-mapped address, so both spellings are one row.
TEST_F(SqliteCommandLineTest, MappedAddressIsTheIpv4Row) {
    ASSERT_EQ(register_suite().exitCode, 0);
    EXPECT_EQ(run_json({"register", "--address", "192.0.2.7"}, 0)["outcome"], "registered");
    auto again = run_json({"register", "--address", "::ffff:192.0.2.7"}, 0);
    EXPECT_EQ(again["outcome"], "already-registered");
    EXPECT_EQ(again["address"], "192.0.2.7");
    const ProcessResult text = run({"register", "--address", "::FFFF:192.0.2.7"});
    EXPECT_NE(text.output.find("already registered, nothing was inserted"), std::string::npos) << text.output;
}

// Wrong command lines are usage errors (2), in JSON too, and a password is refused on the command line.
TEST_F(SqliteCommandLineTest, UsageErrorsAreTwo) {
    const ProcessResult onArgv = run({"register", "--password", "Argv-Secret-9"});
    m_secrets.push_back("Argv-Secret-9");
    EXPECT_EQ(onArgv.exitCode, 2);
    EXPECT_NE(onArgv.errors.find("--password-file"), std::string::npos);
    // One line on standard error, ended, pointing at --help.
    EXPECT_EQ(onArgv.errors.find('\n'), onArgv.errors.size() - 1) << onArgv.errors;
    EXPECT_NE(onArgv.errors.find("(see enlistor --help)"), std::string::npos) << onArgv.errors;
    EXPECT_EQ(run({"check", "--server"}).exitCode, 2);
    EXPECT_EQ(run({"unregister", "--address", "db01.example"}).exitCode, 2);
    EXPECT_EQ(run({"register", "--password-file", (m_dir.path() / "absent").string()}).exitCode, 2);
    auto json = run_json({"frobnicate"}, 2);
    EXPECT_EQ(json["outcome"], "usage");
    EXPECT_EQ(json["cause"], "unknown command (expected register, check or unregister)");
    EXPECT_EQ(hive_listing(m_registry), "");

    const ProcessResult help = run({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    for (const char* code : {"0  ", "1  ", "2  ", "3  ", "4  ", "5  ", "6  "})
        EXPECT_NE(help.output.find(std::string("\n  ") + code), std::string::npos) << code;
    const ProcessResult version = run({"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.output.rfind("enlistor ", 0), 0u) << version.output;
}

// The password comes from standard input with "-", one line end stripped: the stored password is exactly it (a
// login with it succeeds is not observable with SQLite, so the stored settings are compared through check).
TEST_F(SqliteCommandLineTest, PasswordFromStandardInput) {
    m_secrets.push_back("Stdin-pw-33");
    const ProcessResult result = run({"register", "--server", "suite", "--password-file", "-"}, "Stdin-pw-33\n");
    EXPECT_EQ(result.exitCode, 0) << result.errors;
    auto json = run_json({"check"}, 0);
    EXPECT_EQ(json["settings.database_password"], "********");
    // Nothing under the hive holds the password in plain text.
    EXPECT_EQ(hive_listing(m_registry).find("Stdin-pw-33"), std::string::npos);
}

// The PostgreSQL test server, reached through a data source naming it.
class PostgresCommandLineTest : public CommandLineTest {
protected:
    void SetUp() override {
        CommandLineTest::SetUp();
        std::string why;
        auto server = PostgresServer::Load(&why);
        if (!server)
            GTEST_SKIP() << "no PostgreSQL test server: " << why;
        m_server = *server;
        m_database = m_server.NewSuiteDatabase();
        m_connection = m_server.ConnectionString(m_database);
        use_postgres(m_server.port);
        m_secrets.push_back(m_server.password);
    }
    void TearDown() override {
        if (!m_database.empty())
            m_server.DropDatabase(m_database);
        CommandLineTest::TearDown();
    }

    void use_postgres(int port) {
        UseTestOdbcConfig(m_odbc, {DataSource{"pgsuite", "PostgreSQL Unicode", m_server.DataSourceAttributes(port)}});
    }

    ProcessResult register_with(const std::string& password, std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"register",    "--server",        "pgsuite",
                                         "--database",  m_database,        "--login",
                                         m_server.user, "--password-file", password_file(password)};
        args.insert(args.end(), extra.begin(), extra.end());
        return run(args);
    }

    PostgresServer m_server;
    std::string m_database;
    std::string m_connection;
};

// Runs SQL as the test server's superuser (its socket directory trusts local connections); the text goes on stdin.
void run_as_postgres_admin(const PostgresServer& server, const std::string& database, const std::string& sql) {
    std::ifstream env(PostgresEnvFile());
    std::string dataRoot;
    for (std::string line; std::getline(env, line);)
        if (line.rfind("PG_DATA_ROOT=", 0) == 0)
            dataRoot = line.substr(13);
    ProcessOptions options;
    options.input = sql;
    const ProcessResult result = RunProcess({"psql", "-X", "-q", "-v", "ON_ERROR_STOP=1", "-h", dataRoot, "-p",
                                             std::to_string(server.port), "-U", "postgres", "-d", database},
                                            options);
    ASSERT_EQ(result.exitCode, 0) << result.errors;
}

// Passwords as operators generate them (openssl rand -base64 32), and a long one, reach the server exactly on
// register: the server takes them as its role's password. A role that does not exist is a refused login.
TEST_F(PostgresCommandLineTest, GeneratedPasswordsArriveExactlyAndAMissingRoleIsRefused) {
    const std::string role = "gen_" + m_database;
    run_as_postgres_admin(m_server, m_database,
                          "create role " + role +
                              " login;\ngrant select, insert on tblServers, tblRegisteredServers to " + role + ";\n");
    std::vector<std::string> passwords = {std::string(128, 'p')};
    for (int i = 0; i < 20; ++i) {
        const ProcessResult generated = RunProcess({"openssl", "rand", "-base64", "32"});
        ASSERT_EQ(generated.exitCode, 0) << generated.errors;
        passwords.push_back(generated.output.substr(0, generated.output.find('\n')));
    }
    for (const std::string& password : passwords) {
        run_as_postgres_admin(m_server, m_database,
                              "set password_encryption = 'scram-sha-256';\nalter role " + role + " password '" +
                                  password + "';\n");
        const ProcessResult registered = run({"register", "--server", "pgsuite", "--database", m_database, "--login",
                                              role, "--password-file", password_file(password)});
        EXPECT_EQ(registered.exitCode, 0) << registered.errors;
    }
    EXPECT_EQ(count_rows(m_connection), 1);
    const ProcessResult missing = run({"register", "--login", "no_such_role_" + m_database});
    EXPECT_EQ(missing.exitCode, 4) << missing.errors;
    run_as_postgres_admin(m_server, m_database, "drop owned by " + role + ";\ndrop role " + role + ";\n");
}

// Register inserts one row, check then reports it known; a second register inserts nothing.
TEST_F(PostgresCommandLineTest, RegisterAndCheck) {
    const ProcessResult first = register_with(m_server.password);
    ASSERT_EQ(first.exitCode, 0) << first.errors;
    EXPECT_EQ(first.output, kSuccess);
    EXPECT_EQ(count_rows(m_connection), 1);
    auto check = run_json({"check"}, 0);
    EXPECT_EQ(check["outcome"], "already-registered");
    EXPECT_EQ(check["odbc_driver"].empty(), false);
    EXPECT_EQ(run({"register"}).exitCode, 0);
    EXPECT_EQ(count_rows(m_connection), 1);
}

// A wrong password is a refused login (4) for both commands, and the settings from before are put back.
TEST_F(PostgresCommandLineTest, WrongPasswordIsFour) {
    ASSERT_EQ(register_with(m_server.password).exitCode, 0);
    RunSql(m_connection, "delete from tblRegisteredServers");
    auto failed = register_with("Wrong-pw-4242");
    EXPECT_EQ(failed.exitCode, 4) << failed.errors;
    EXPECT_NE(failed.errors.find("password authentication failed"), std::string::npos) << failed.errors;
    EXPECT_NE(
        failed.errors.find("refused the login '" + m_server.user + "'. Check Database Login and Database Password."),
        std::string::npos)
        << failed.errors;
    EXPECT_EQ(run({"check"}).exitCode, 8); // the right password is stored again, and the row is gone
    EXPECT_EQ(count_rows(m_connection), 0);

    auto json = run_json({"register", "--password-file", password_file("Wrong-pw-4343").string()}, 4);
    EXPECT_EQ(json["outcome"], "failed");
    EXPECT_NE(json["error"].find(" Error "), std::string::npos);
}

// A missing table and a missing database are 5.
TEST_F(PostgresCommandLineTest, MissingTableOrDatabaseIsFive) {
    ASSERT_EQ(register_with(m_server.password).exitCode, 0);
    RunSql(m_connection, "drop table tblRegisteredServers");
    EXPECT_EQ(run({"register"}).exitCode, 5);
    EXPECT_EQ(run({"check"}).exitCode, 5);
    auto json = run_json({"register", "--database", "enlistor_no_such_db"}, 5);
    EXPECT_NE(json["error"].find("does not exist"), std::string::npos) << json["error"];
}

// Without the privileges on the tables the login is "not allowed" (6): no select for check, no insert for register.
TEST_F(PostgresCommandLineTest, MissingPrivilegeIsSix) {
    ASSERT_EQ(register_with(m_server.password).exitCode, 0);
    RunSql(m_connection, "delete from tblRegisteredServers");
    RunSql(m_connection, "revoke insert on tblRegisteredServers from " + m_server.user);
    EXPECT_EQ(run({"register"}).exitCode, 6);
    EXPECT_EQ(run({"check"}).exitCode, 8); // the selects are still allowed: check does not insert
    RunSql(m_connection, "revoke select on tblServers from " + m_server.user);
    auto json = run_json({"check"}, 6);
    EXPECT_NE(json["error"].find("permission denied"), std::string::npos) << json["error"];
    EXPECT_EQ(count_rows(m_connection), 0);
}

// A server that is not running (nothing listens on its port) is unreachable (3).
TEST_F(PostgresCommandLineTest, StoppedServerIsThree) {
    ASSERT_EQ(register_with(m_server.password).exitCode, 0);
    use_postgres(ClosedTcpPort());
    const ProcessResult failed = run({"register"});
    EXPECT_EQ(failed.exitCode, 3) << failed.errors;
    // The first line names the cause and the setting to check; the driver's own text follows, indented; every line
    // is ended.
    EXPECT_EQ(failed.errors.rfind("enlistor: Cannot reach the database server 'pgsuite': connection refused. Check "
                                  "Database Server Name.\n    ODBC driver PostgreSQL Unicode Error -2147467259: ",
                                  0),
              0u)
        << failed.errors;
    EXPECT_EQ(failed.errors.back(), '\n');
    auto json = run_json({"check"}, 3);
    // JSON keeps the dialog's text, with the sentence and the HRESULT beside it.
    EXPECT_EQ(json["error"].rfind("ODBC driver PostgreSQL Unicode Error -2147467259Cannot reach the database server "
                                  "'pgsuite': connection refused. Check Database Server Name. ",
                                  0),
              0u)
        << json["error"];
    EXPECT_EQ(json["cause"], "Cannot reach the database server 'pgsuite': connection refused. Check Database Server "
                             "Name.");
    EXPECT_EQ(json["hresult"], "-2147467259");
    EXPECT_EQ(json["connected"], "false");
}

// A server that accepts and never answers times out (3) within the login time limit. While the command waits, the
// password it read from standard input is in neither its command line nor its environment.
TEST_F(PostgresCommandLineTest, SilentServerTimesOutAndPasswordStaysOutOfProc) {
    SilentTcpListener silent;
    use_postgres(silent.port());
    const std::string password = "Proc-pw-5150";
    m_secrets.push_back(password);

    int in[2];
    ASSERT_EQ(::pipe(in), 0);
    const fs::path out = m_dir.path() / "out", err = m_dir.path() / "err";
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(in[0], 0);
        ::close(in[1]);
        const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(o, 1);
        dup2(e, 2);
        execl(kBinary, kBinary, "register", "--server", "pgsuite", "--database", "suite", "--login", "reg",
              "--password-file", "-", static_cast<char*>(nullptr));
        _exit(127);
    }
    ::close(in[0]);
    ASSERT_EQ(::write(in[1], (password + "\n").data(), password.size() + 1), static_cast<ssize_t>(password.size() + 1));
    ::close(in[1]);

    const auto start = std::chrono::steady_clock::now();
    int samples = 0;
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        const fs::path proc = fs::path("/proc") / std::to_string(pid);
        const std::string cmdline = read_file(proc / "cmdline");
        const std::string environ = read_file(proc / "environ");
        EXPECT_EQ(cmdline.find(password), std::string::npos);
        EXPECT_EQ(environ.find(password), std::string::npos);
        if (!cmdline.empty())
            ++samples;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GT(samples, 10) << "the command was watched while it waited";
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3);
    EXPECT_LT(elapsed, std::chrono::seconds(60));
    m_outputs.push_back(read_file(out));
    m_outputs.push_back(read_file(err));
    EXPECT_EQ(read_file(out), "");
    EXPECT_NE(read_file(err).find("The database server 'pgsuite' did not answer in time."), std::string::npos)
        << read_file(err);
}

} // namespace

namespace {

// The hive's value files and their bytes (not their times: a roll-back rewrites them).
std::map<std::string, std::string> hive_values(const fs::path& root) {
    std::map<std::string, std::string> values;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root))
        if (entry.is_regular_file() && entry.path().filename().string()[0] != '.')
            values[fs::relative(entry.path(), root).string()] = read_file(entry.path());
    return values;
}

// Starts the executable (as user 65534 when asked) with the test's environment; stdout and stderr go to /dev/null.
pid_t spawn(const std::vector<std::string>& args, bool unprivileged = false) {
    std::vector<std::string> command = {kBinary};
    if (unprivileged)
        command.insert(command.begin(), {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    command.insert(command.end(), args.begin(), args.end());
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, 0);
        ::dup2(null, 1);
        ::dup2(null, 2);
        std::vector<char*> argv;
        for (const std::string& arg : command)
            argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

} // namespace

// Runs of one machine at the same moment take turns: after each round of 20 concurrent registers (half of them with
// a wrong password) there is exactly one row, each run's outcome is its own, and concurrent checks only ever see
// one successful run's complete settings (the data source and the server IP each run gives belong together).
TEST_F(PostgresCommandLineTest, ConcurrentRunsRegisterOnceAndNeverMixSettings) {
    constexpr int kRuns = 20;
    std::vector<DataSource> sources;
    for (int i = 0; i < kRuns; ++i)
        sources.push_back(DataSource{"pg" + std::to_string(i), "PostgreSQL Unicode", m_server.DataSourceAttributes()});
    UseTestOdbcConfig(m_odbc, sources);
    const fs::path right = password_file(m_server.password);
    const fs::path wrong = password_file("Wrong-pw-5151");
    // A complete set is stored first: a failed run puts back what it found, and with nothing stored a failed run
    // that happened to go first would rightly leave nothing for its check to read.
    ASSERT_EQ(RunProcess({kBinary, "register", "--server", "pg0", "--ip", "10.0.0.0", "--database", m_database,
                          "--login", m_server.user, "--password-file", right.string()})
                  .exitCode,
              0);
    for (int round = 0; round < 2; ++round) {
        RunSql(m_connection, "delete from tblRegisteredServers");
        std::vector<ProcessResult> results(kRuns);
        std::vector<std::string> checks(kRuns);
        std::vector<std::thread> threads;
        for (int i = 0; i < kRuns; ++i) {
            threads.emplace_back([&, i] {
                const std::string tag = std::to_string(i);
                results[i] = RunProcess({kBinary, "register", "--server", "pg" + tag, "--ip", "10.0.0." + tag,
                                         "--database", m_database, "--login", m_server.user, "--password-file",
                                         (i % 2 == 0 ? right : wrong).string()});
                checks[i] = RunProcess({kBinary, "check", "--json"}).output;
            });
        }
        for (std::thread& thread : threads)
            thread.join();
        EXPECT_EQ(count_rows(m_connection), 1) << "round " << round;
        for (int i = 0; i < kRuns; ++i) {
            EXPECT_EQ(results[i].exitCode, i % 2 == 0 ? 0 : 4) << "run " << i << ": " << results[i].errors;
            m_jsonOutputs.push_back(checks[i]);
            auto check = parse_json(checks[i]);
            const std::string server = check["settings.database_server"];
            ASSERT_EQ(server.rfind("pg", 0), 0u) << checks[i];
            EXPECT_EQ(check["settings.database_server_ip"], "10.0.0." + server.substr(2)) << checks[i];
            // 0 once the row is in, 8 before: either way never a stored set with a wrong password.
            EXPECT_TRUE(check["exit_code"] == "0" || check["exit_code"] == "8")
                << "a stored set with a wrong password: " << checks[i];
        }
    }
}

// register interrupted while it waits for a silent server (SIGINT, SIGTERM, SIGHUP) puts the settings stored before
// it back, byte for byte, and then ends by that signal; a second signal does not skip the roll-back.
TEST_F(PostgresCommandLineTest, InterruptedRegisterPutsTheSettingsBack) {
    ASSERT_EQ(register_with(m_server.password).exitCode, 0);
    const auto before = hive_values(m_registry);
    SilentTcpListener silent;
    use_postgres(silent.port());
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        const pid_t pid = spawn({"register", "--ip", "198.18.7.7", "--database", "other_db"});
        ASSERT_GT(pid, 0);
        // Wait until the new settings are stored, that is, the registration is waiting for the server.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (hive_values(m_registry) == before && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_NE(hive_values(m_registry), before) << "the run never stored its settings";
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ::kill(pid, sig);
        ::kill(pid, sig);
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << strsignal(sig) << " status " << status;
        EXPECT_EQ(hive_values(m_registry), before) << strsignal(sig);
    }
}

// A second run waits while another holds the machine's registration lock, then goes on.
TEST_F(SqliteCommandLineTest, SecondRunWaitsForTheRegistrationLock) {
    const std::string lockFile = m_registry.string() + ".lock";
    ProcessResult holder;
    std::thread holding([&] { holder = RunProcess({"flock", "-x", lockFile, "sleep", "1.5"}); });
    // Go on once the holder has the lock (a probe that cannot take it), however slowly flock started.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (bool held = false; !held && std::chrono::steady_clock::now() < deadline;) {
        const int probe = ::open(lockFile.c_str(), O_RDONLY | O_CLOEXEC);
        held = probe >= 0 && ::flock(probe, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
        if (probe >= 0)
            ::close(probe);
        if (!held)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const auto started = std::chrono::steady_clock::now();
    const ProcessResult waited = register_suite();
    const auto took = std::chrono::steady_clock::now() - started;
    holding.join();
    EXPECT_EQ(holder.exitCode, 0) << holder.errors;
    EXPECT_EQ(waited.exitCode, 0) << waited.errors;
    EXPECT_GE(took, std::chrono::milliseconds(1200));
    EXPECT_EQ(count_rows(m_connection), 1);
}

// The process holding the password is not dumpable and writes no core: another process of the same user cannot read
// its environment or memory, and its core limit is 0.
TEST_F(PostgresCommandLineTest, ProcessIsNotDumpable) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run both processes as an unprivileged user";
    SilentTcpListener silent;
    use_postgres(silent.port());
    setenv("ENLISTOR_REGISTRY", (m_dir.path() / "unused-registry").c_str(), 1);
    const pid_t pid = spawn({"check", "--server", "pgsuite"}, true);
    ASSERT_GT(pid, 0);
    const fs::path proc = fs::path("/proc") / std::to_string(pid);
    // Wait until setpriv has become the program (the command line starts with it) and the program has closed itself
    // off, which hands its /proc files to root; a program that never does fails the checks below.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    const auto closed_off = [&] {
        struct stat info {};
        const std::string cmdline = read_file(proc / "cmdline");
        return cmdline.rfind(kBinary, 0) == 0 && cmdline.find("pgsuite") != std::string::npos &&
               ::stat((proc / "environ").c_str(), &info) == 0 && info.st_uid == 0;
    };
    while (!closed_off() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const ProcessResult peek =
        RunProcess({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "cat", (proc / "environ").string()});
    EXPECT_NE(peek.exitCode, 0) << "another process of the same user read the environment";
    EXPECT_NE(peek.errors.find("Permission denied"), std::string::npos) << peek.errors;
    const std::string limits = read_file(proc / "limits");
    EXPECT_NE(limits.find("Max core file size        0                    0"), std::string::npos) << limits;
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
}

// unregister removes exactly this machine's own row: another machine's row with the same address stays, a second run
// finds nothing, and an address in tblServers is refused (the suite's own list) with nothing removed.
TEST_F(PostgresCommandLineTest, UnregisterRemovesOnlyThisMachinesRow) {
    ASSERT_EQ(register_with(m_server.password).exitCode, 0);
    const std::string address = QueryRows(m_connection, "select ServerIP from tblRegisteredServers").at(0).at(0);
    RunSql(m_connection, "insert into tblRegisteredServers (ServerName, ServerIP, ServerType) values ('other-host', '" +
                             address + "', 'Windows')");
    auto removed = run_json({"unregister"}, 0);
    EXPECT_EQ(removed["outcome"], "unregistered");
    EXPECT_EQ(removed["rows_removed"], "1");
    EXPECT_EQ(QueryRows(m_connection, "select ServerName from tblRegisteredServers"), (Rows{{"other-host"}}));
    auto again = run_json({"unregister"}, 0);
    EXPECT_EQ(again["outcome"], "not-registered");
    EXPECT_EQ(again["rows_removed"], "0");
    EXPECT_NE(run({"unregister"}).output.find("Not registered"), std::string::npos);

    RunSql(m_connection, "insert into tblServers (ServerIP) values ('" + address + "')");
    const ProcessResult refused = run({"unregister"});
    EXPECT_EQ(refused.exitCode, 1) << refused.errors;
    EXPECT_NE(refused.errors.find("must be removed in the suite"), std::string::npos) << refused.errors;
    EXPECT_EQ(count_rows(m_connection, "tblServers"), 1);
    EXPECT_EQ(count_rows(m_connection), 1);
}

// --address registers the given literal (in its canonical form), and check and unregister look for it; anything
// but an IP literal is a usage error that changes nothing.
TEST_F(PostgresCommandLineTest, AddressOptionRegistersTheGivenLiteral) {
    auto json =
        run_json({"register", "--server", "pgsuite", "--database", m_database, "--login", m_server.user,
                  "--password-file", password_file(m_server.password).string(), "--address", "2001:DB8:0:0::7%eth0"},
                 0);
    EXPECT_EQ(json["address"], "2001:db8::7");
    EXPECT_EQ(QueryRows(m_connection, "select ServerIP from tblRegisteredServers"), (Rows{{"2001:db8::7"}}));
    EXPECT_EQ(run_json({"check", "--address", "2001:db8::7"}, 0)["outcome"], "already-registered");
    for (const char* bad : {"db01.example", "198.18.0.300", "", "1.2.3"}) {
        const ProcessResult refused = run({"register", "--address", bad});
        EXPECT_EQ(refused.exitCode, 2) << bad << ": " << refused.errors;
    }
    EXPECT_EQ(run_json({"unregister", "--address", "2001:db8::7"}, 0)["rows_removed"], "1");
    EXPECT_EQ(count_rows(m_connection), 0);
}

// Every register and unregister leaves one line in the system log (authpriv), naming the outcome, the address and
// the settings used, never the password.
TEST_F(PostgresCommandLineTest, AuditLineForEachRegisterAndUnregister) {
    const fs::path password = password_file(m_server.password);
    const std::vector<std::vector<std::string>> runs = {
        {"register", "--server", "pgsuite", "--database", m_database, "--login", m_server.user, "--password-file",
         password.string()},
        {"unregister"},
        {"register", "--password-file", password_file("Wrong-pw-6262").string()}};
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"register", "registered"}, {"unregister", "unregistered"}, {"register", "failed"}};
    for (std::size_t i = 0; i < runs.size(); ++i) {
        std::vector<std::string> argv = runs[i];
        argv.insert(argv.begin(), kBinary);
        const SyslogCapture capture = RunWithSyslogCapture(argv);
        if (!capture.available)
            GTEST_SKIP() << capture.process.errors;
        m_outputs.push_back(capture.process.output + capture.process.errors);
        ASSERT_EQ(capture.datagrams.size(), 1u) << capture.process.errors;
        m_outputs.push_back(capture.datagrams[0]);
        const auto message = ParseSyslogDatagram(capture.datagrams[0]);
        ASSERT_TRUE(message) << capture.datagrams[0];
        EXPECT_EQ(message->facility, LOG_AUTHPRIV >> 3);
        EXPECT_EQ(message->ident, "enlistor");
        const auto fields = ParseAuditFields(message->message);
        ASSERT_TRUE(fields) << message->message;
        EXPECT_EQ(fields->at("command"), expected[i].first);
        EXPECT_EQ(fields->at("outcome"), expected[i].second);
        EXPECT_EQ(fields->at("exit_code"), std::to_string(capture.process.exitCode));
        EXPECT_EQ(fields->at("database_server"), "pgsuite");
        EXPECT_EQ(fields->at("login"), m_server.user);
        EXPECT_FALSE(fields->at("address").empty());
    }
}

// Text from outside reaches the terminal as plain text: the server's error quoting a database name full of escape
// sequences arrives with every control character made visible, under a first line that names the cause.
TEST_F(PostgresCommandLineTest, ServerTextReachesTheTerminalAsPlainText) {
    ASSERT_EQ(register_with(m_server.password).exitCode, 0);
    const std::string hostile = "db\x1b]0;owned\x07\x1b[2J\x1b[31mServer registered successfully\xc2\x9b";
    const ProcessResult failed = run({"register", "--database", hostile});
    EXPECT_EQ(failed.exitCode, 5) << failed.errors;
    EXPECT_EQ(failed.errors.find('\x1b'), std::string::npos) << failed.errors;
    EXPECT_EQ(failed.errors.find('\x07'), std::string::npos) << failed.errors;
    EXPECT_EQ(failed.errors.find("\xc2\x9b"), std::string::npos) << failed.errors;
    EXPECT_NE(failed.errors.find("?[31mServer registered successfully"), std::string::npos) << failed.errors;
    EXPECT_EQ(failed.output, "");
}

// A computer name that is not ASCII is stored exactly through a driver without wide calls too (the SQLite driver,
// which unixODBC serves in 8-bit text); a UTS namespace of this test gives the name.
TEST_F(SqliteCommandLineTest, NonAsciiComputerNameIsStoredExactly) {
    const std::string name = "z\u00fcrich-\u20ac";
    if (unshare(CLONE_NEWUTS) != 0 || sethostname(name.data(), name.size()) != 0)
        GTEST_SKIP() << "no UTS namespace here";
    for (const char* locale : {"C.UTF-8", "C"}) {
        RunSql(m_connection, "delete from tblRegisteredServers");
        ProcessOptions options;
        options.environment = {{"LC_ALL", locale}};
        const ProcessResult registered =
            RunProcess({kBinary, "register", "--server", "suite", "--database", "suite", "--login", "sa",
                        "--password-file", password_file("Sqlite-pw-71").string(), "--address", "198.18.0.5"},
                       options);
        EXPECT_EQ(registered.exitCode, 0) << locale << ": " << registered.errors;
        EXPECT_EQ(QueryRows(m_connection, "select ServerName from tblRegisteredServers"), (Rows{{name}})) << locale;
    }
}

// No database server at all is a configuration error (2) that stores nothing; a password file others can read is
// used, with a warning.
TEST_F(SqliteCommandLineTest, NoServerIsAUsageErrorAndAnOpenPasswordFileIsWarnedAbout) {
    const ProcessResult none = run({"register", "--login", "sa"});
    EXPECT_EQ(none.exitCode, 2) << none.errors;
    EXPECT_EQ(none.errors, "enlistor: no database server is set: give --server or store one with the dialog\n");
    EXPECT_EQ(run({"check"}).exitCode, 2);

    const fs::path open = password_file("Sqlite-pw-71");
    fs::permissions(open,
                    fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
    const ProcessResult warned = run(
        {"register", "--server", "suite", "--database", "suite", "--login", "sa", "--password-file", open.string()});
    EXPECT_EQ(warned.exitCode, 0) << warned.errors;
    EXPECT_NE(warned.errors.find("enlistor: warning: the password file"), std::string::npos) << warned.errors;
    EXPECT_EQ(count_rows(m_connection), 1);
}

namespace {

// The PostgreSQL test server's certificate (self-signed, for "localhost") as a data source without SSLmode meets
// it: the password goes only to a verified server; a data source's own weaker mode is kept and reported.
struct PostgresTlsRow {
    const char* name;
    const char* host;    // the data source's Servername
    const char* sslMode; // "" when the data source sets none
    const char* trust;   // "", "ca" (--ca-file of the certificate) or "pin" (--trust-cert of its fingerprint)
    int exitCode;
    const char* word; // the audit line's tls field
};

void PrintTo(const PostgresTlsRow& row, std::ostream* out) {
    *out << row.name;
}

class PostgresTlsTest : public PostgresCommandLineTest, public testing::WithParamInterface<PostgresTlsRow> {};

std::string fingerprint_of(const std::string& certificate) {
    const std::string out =
        RunProcess({"openssl", "x509", "-in", certificate, "-noout", "-fingerprint", "-sha256"}).output;
    return out.substr(out.find('=') + 1, out.find('\n') - out.find('=') - 1);
}

TEST_P(PostgresTlsTest, RegisterSendsThePasswordOnlyToAVerifiedServer) {
    const PostgresTlsRow& row = GetParam();
    std::map<std::string, std::string> attributes = m_server.DataSourceAttributes();
    attributes.erase("pqopt");
    attributes["Servername"] = row.host;
    if (*row.sslMode != '\0')
        attributes["SSLmode"] = row.sslMode;
    else
        attributes.erase("SSLmode");
    UseTestOdbcConfig(m_odbc, {DataSource{"pgtls", "PostgreSQL Unicode", attributes}});
    const std::string fingerprint = fingerprint_of(m_server.caFile);

    std::vector<std::string> args = {"register",    "--server",        "pgtls",
                                     "--database",  m_database,        "--login",
                                     m_server.user, "--password-file", password_file(m_server.password).string()};
    if (std::string(row.trust) == "ca")
        args.insert(args.end(), {"--ca-file", m_server.caFile});
    else if (std::string(row.trust) == "pin")
        args.insert(args.end(), {"--trust-cert", fingerprint});
    std::vector<std::string> argv = args;
    argv.insert(argv.begin(), kBinary);
    argv.push_back("--json");
    const SyslogCapture capture = RunWithSyslogCapture(argv);
    if (!capture.available)
        GTEST_SKIP() << capture.process.errors;
    m_outputs.push_back(capture.process.output + capture.process.errors);
    EXPECT_EQ(capture.process.exitCode, row.exitCode) << capture.process.output << capture.process.errors;
    auto json = parse_json(capture.process.output);
    EXPECT_EQ(json["tls.certificate_sha256"], fingerprint);
    EXPECT_EQ(json["tls.verified"], row.exitCode == 0 && *row.sslMode == '\0' ? "true" : "false");
    EXPECT_EQ(json["tls.by"], row.exitCode != 0 || *row.sslMode != '\0' ? "none" : row.trust);
    EXPECT_EQ(count_rows(m_connection), row.exitCode == 0 ? 1 : 0);
    ASSERT_EQ(capture.datagrams.size(), 1u);
    const auto message = ParseSyslogDatagram(capture.datagrams[0]);
    ASSERT_TRUE(message);
    const auto fields = ParseAuditFields(message->message);
    ASSERT_TRUE(fields) << message->message;
    EXPECT_EQ(fields->at("tls"), row.word) << message->message;

    if (std::string(row.sslMode) == "disable") {
        // Honoured, and said on every run: --json, the audit line, the text.
        EXPECT_NE(json["tls.warning"].find("SSLMode=disable"), std::string::npos) << json["tls.warning"];
        EXPECT_NE(fields->at("tls_warning").find("not protected"), std::string::npos);
        const ProcessResult text = run({"check"});
        EXPECT_NE(text.errors.find("warning: the data source sets SSLMode=disable"), std::string::npos) << text.errors;
        EXPECT_NE(text.output.find("TLS:                   NOT encrypted"), std::string::npos) << text.output;
    } else if (row.exitCode != 0) {
        // The fingerprint and the command that pins it, on stderr (the failed register stored nothing).
        std::vector<std::string> check = args;
        check[0] = "check";
        const ProcessResult text = run(check);
        EXPECT_EQ(text.exitCode, row.exitCode);
        EXPECT_NE(text.errors.find("so the login was not sent"), std::string::npos) << text.errors;
        EXPECT_NE(text.errors.find("enlistor register --trust-cert " + fingerprint), std::string::npos) << text.errors;
    } else {
        // Stored beside the settings: the next run verifies the same way without being told.
        auto check = run_json({"check"}, 0);
        EXPECT_EQ(check["tls.by"], row.trust);
        EXPECT_EQ(check["outcome"], "already-registered");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PostgresTlsTest,
    testing::Values(PostgresTlsRow{"SelfSignedUnknown", "localhost", "", "", 7, "encrypted-unverified"},
                    PostgresTlsRow{"ItsCertificateAsCaFile", "localhost", "", "ca", 0, "verified-ca"},
                    PostgresTlsRow{"CaFileButAnotherHostName", "127.0.0.1", "", "ca", 7, "encrypted-unverified"},
                    PostgresTlsRow{"Pinned", "127.0.0.1", "", "pin", 0, "verified-pin"},
                    PostgresTlsRow{"DataSourceDisablesSsl", "127.0.0.1", "disable", "", 0, "unprotected"},
                    // The data source's own verify-full with no root certificate: the driver refuses, in the same
                    // words and with the same exit code as the probe's refusals.
                    PostgresTlsRow{"DataSourceVerifiesWithoutARoot", "localhost", "verify-full", "", 7,
                                   "encrypted-unverified"}),
    [](const testing::TestParamInfo<PostgresTlsRow>& info) { return std::string(info.param.name); });

// A server that refuses SSL never gets the login, and it is dialled only as often as the data source needs: without
// an SSLmode the probe's SSLRequest is all it hears (the driver never connects); a data source whose driver verifies
// the server itself (verify-full) is not probed first, so only the driver's SSLRequest comes; one that only requires
// TLS is probed for the certificate to report, then the driver asks.
struct SslRefusalRow {
    const char* name;
    const char* sslMode; // "" when the data source sets none
    int connections;
};

void PrintTo(const SslRefusalRow& row, std::ostream* out) {
    *out << row.name;
}

class PostgresSslRefusalTest : public PostgresCommandLineTest, public testing::WithParamInterface<SslRefusalRow> {};

TEST_P(PostgresSslRefusalTest, AServerRefusingSslNeverGetsTheLogin) {
    const SslRefusalRow& row = GetParam();
    ScriptedTcpServer refusing("N");
    std::map<std::string, std::string> attributes = {{"Servername", "127.0.0.1"},
                                                     {"Port", std::to_string(refusing.port())}};
    if (*row.sslMode != '\0')
        attributes["SSLmode"] = row.sslMode;
    UseTestOdbcConfig(m_odbc, {DataSource{"pgplain", "PostgreSQL Unicode", attributes}});
    auto json = run_json({"check", "--server", "pgplain", "--login", m_server.user, "--password-file",
                          password_file(m_server.password).string()},
                         7);
    if (*row.sslMode == '\0') {
        EXPECT_EQ(json["tls.encrypted"], "false");
    }
    EXPECT_NE(json["cause"].find("cannot encrypt the connection, so the login was not sent"), std::string::npos)
        << json["cause"];
    EXPECT_EQ(refusing.connections(), row.connections);
}

INSTANTIATE_TEST_SUITE_P(Modes, PostgresSslRefusalTest,
                         testing::Values(SslRefusalRow{"NoSslMode", "", 1},
                                         SslRefusalRow{"DataSourceVerifies", "verify-full", 1},
                                         SslRefusalRow{"DataSourceRequires", "require", 2}),
                         [](const testing::TestParamInfo<SslRefusalRow>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
