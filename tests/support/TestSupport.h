// Helpers shared by the tests of every folder (target enlistor_test_support).
//
//   TempDir                    a private temporary directory, removed with everything in it.
//   UseTestOdbcConfig          points unixODBC (ODBCSYSINI, ODBCINI) at a directory holding a copy of
//                              tests/support/odbcinst.ini (Debian's drivers [SQLite3], [PostgreSQL Unicode],
//                              [PostgreSQL ANSI], [FreeTDS], their logging off) and the given data sources. Call it
//                              before the process's first ODBC call: the driver manager reads the files once.
//   RunSql, QueryRows          raw ODBC (not the data objects under test) to prepare and inspect databases.
//   CreateSqliteSuiteDatabase  a SQLite file with the suite's tables tblServers (ServerIP) and tblRegisteredServers
//                              (ServerName, ServerIP, ServerType).
//   PostgresServer             the throw-away server of the CTest fixture "postgres" (scripts/pg-test-server.sh):
//                              a test that sets FIXTURES_REQUIRED postgres reads it with PostgresServer::Load();
//                              NewSuiteDatabase() gives the test a database of its own with both tables. It runs
//                              with TLS (its certificate, for "localhost", is caFile); DataSourceAttributes() gives
//                              a data source that verifies it explicitly (SSLmode=verify-ca).
//   EnterLoopbackOnlyNetwork   moves the process into a new network namespace with only loopback up (as root, or
//                              through a user namespace otherwise): host names handed to a driver then never leave
//                              the machine. The fixture's PostgreSQL is not reachable from inside.
//   AddNamespaceAddress        a second, non-loopback address inside that namespace.
//   SilentTcpListener, ClosedTcpPort, ScriptedTcpServer, ScriptedUdpServer
//                              loopback peers: one that accepts and never answers, a port nobody listens on, and
//                              servers that answer every connection or datagram with fixed bytes.
//   RunProcess                 runs a program (optionally as the unprivileged user "nobody" when root) with extra
//                              environment and stdin, and collects its exit status and output.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace enlistor::test {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return m_path; }
    // Makes the directory (and its parents up to /tmp) usable by an unprivileged user.
    void OpenToAll() const;

private:
    std::filesystem::path m_path;
};

struct DataSource {
    std::string name;
    std::string driver; // a section of odbcinst.ini, e.g. "SQLite3"
    std::map<std::string, std::string> attributes;
    bool user = false; // in the user's odbc.ini (ODBCINI) instead of the system one
};

// Writes odbcinst.ini (optionally without some drivers) and the data sources into dir and points unixODBC there.
void UseTestOdbcConfig(const std::filesystem::path& dir, const std::vector<DataSource>& dataSources = {},
                       const std::vector<std::string>& withoutDrivers = {});

using Rows = std::vector<std::vector<std::string>>;
// Throws std::runtime_error with the ODBC diagnostics on failure. NULL columns read as "<NULL>".
void RunSql(const std::string& odbcConnectionString, const std::string& sql);
Rows QueryRows(const std::string& odbcConnectionString, const std::string& sql);

// "DRIVER=SQLite3;Database=<path>;" (creating the file when missing).
std::string SqliteConnectionString(const std::filesystem::path& file);
void CreateSqliteSuiteDatabase(const std::filesystem::path& file);

struct PostgresServer {
    std::string host;
    int port = 0;
    std::string user;
    std::string password;
    std::string database;
    std::string caFile; // the server's self-signed certificate

    // The fixture's server, or nullopt (with the reason in why) when its env file is missing.
    static std::optional<PostgresServer> Load(std::string* why = nullptr);
    // "DRIVER=PostgreSQL Unicode;SERVER=...;PORT=...;DATABASE=<database>;UID=...;PWD=...;"
    std::string ConnectionString(const std::string& databaseName) const;
    // Servername, Port (this server's, or otherPort), SSLmode=verify-ca and pqopt naming caFile as the root.
    std::map<std::string, std::string> DataSourceAttributes(std::optional<int> otherPort = std::nullopt) const;
    // Creates a database of its own (unique name) holding both suite tables, empty.
    std::string NewSuiteDatabase() const;
    void DropDatabase(const std::string& databaseName) const;
};

// The path of the fixture's env file in the build tree.
std::filesystem::path PostgresEnvFile();

// Returns false (and why) when no network namespace could be made.
bool EnterLoopbackOnlyNetwork(std::string* why = nullptr);
// After EnterLoopbackOnlyNetwork: gives the namespace an IPv4 address (198.18.0.0/15) on a veth pair of its own, so a
// test server can listen on an address that is not loopback and still reaches nowhere outside. False (and why) when
// `ip` fails.
bool AddNamespaceAddress(const std::string& address, std::string* why = nullptr);

// Listens on 127.0.0.1 and never accepts: connections complete (the kernel's backlog) and then hear nothing.
class SilentTcpListener {
public:
    SilentTcpListener();
    ~SilentTcpListener();
    SilentTcpListener(const SilentTcpListener&) = delete;
    SilentTcpListener& operator=(const SilentTcpListener&) = delete;
    int port() const { return m_port; }

private:
    int m_fd = -1;
    int m_port = 0;
};

// A loopback port on which nothing listens (bound once and released).
int ClosedTcpPort();

// Accepts every connection on 127.0.0.1, writes reply, and closes after closeAfter.
class ScriptedTcpServer {
public:
    explicit ScriptedTcpServer(std::string reply,
                               std::chrono::milliseconds closeAfter = std::chrono::milliseconds(200));
    ~ScriptedTcpServer();
    ScriptedTcpServer(const ScriptedTcpServer&) = delete;
    ScriptedTcpServer& operator=(const ScriptedTcpServer&) = delete;
    int port() const { return m_port; }
    int connections() const;

private:
    struct State;
    std::shared_ptr<State> m_state;
    int m_port = 0;
    std::thread m_thread;
};

// Answers every datagram arriving at 127.0.0.1:port with reply (empty reply: stays silent), and records the last
// request.
class ScriptedUdpServer {
public:
    ScriptedUdpServer(int port, std::string reply);
    ~ScriptedUdpServer();
    ScriptedUdpServer(const ScriptedUdpServer&) = delete;
    ScriptedUdpServer& operator=(const ScriptedUdpServer&) = delete;
    std::string lastRequest() const;

private:
    struct State;
    std::shared_ptr<State> m_state;
    std::thread m_thread;
};

struct ProcessOptions {
    bool unprivileged = false; // when root: run as "nobody"
    std::map<std::string, std::string> environment;
    std::string input;
    std::optional<std::filesystem::path> workingDirectory;
};
struct ProcessResult {
    int exitCode = -1; // -signal when killed by a signal
    std::string output;
    std::string errors;
};
ProcessResult RunProcess(const std::vector<std::string>& argv, const ProcessOptions& options = {});

} // namespace enlistor::test
