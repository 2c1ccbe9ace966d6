#include "tests/support/TestSupport.h"

#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <mutex>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <random>
#include <sched.h>
#include <sstream>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace enlistor::test {
namespace fs = std::filesystem;

namespace {

std::string errno_text(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

std::string diagnostics(SQLSMALLINT type, SQLHANDLE handle) {
    std::string text;
    for (SQLSMALLINT i = 1;; ++i) {
        SQLCHAR state[6] = {};
        SQLINTEGER native = 0;
        std::vector<SQLCHAR> message(4096);
        SQLSMALLINT length = 0;
        if (!SQL_SUCCEEDED(SQLGetDiagRec(type, handle, i, state, &native, message.data(),
                                         static_cast<SQLSMALLINT>(message.size()), &length)))
            break;
        text +=
            std::string("[") + reinterpret_cast<char*>(state) + "] " + reinterpret_cast<char*>(message.data()) + "\n";
    }
    return text;
}

// A raw ODBC connection for preparing and inspecting test databases.
class RawConnection {
public:
    explicit RawConnection(const std::string& connectionString) {
        SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &m_env);
        SQLSetEnvAttr(m_env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
        SQLAllocHandle(SQL_HANDLE_DBC, m_env, &m_dbc);
        SQLSetConnectAttr(m_dbc, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(15), 0);
        std::string text = connectionString;
        if (!SQL_SUCCEEDED(SQLDriverConnect(m_dbc, nullptr, reinterpret_cast<SQLCHAR*>(text.data()), SQL_NTS, nullptr,
                                            0, nullptr, SQL_DRIVER_NOPROMPT))) {
            std::string why = diagnostics(SQL_HANDLE_DBC, m_dbc);
            release();
            throw std::runtime_error("test connection failed: " + why);
        }
        m_connected = true;
    }
    ~RawConnection() { release(); }
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    Rows Run(const std::string& sql, bool fetch) {
        SQLHANDLE stmt = SQL_NULL_HANDLE;
        SQLAllocHandle(SQL_HANDLE_STMT, m_dbc, &stmt);
        std::string text = sql;
        SQLRETURN rc = SQLExecDirect(stmt, reinterpret_cast<SQLCHAR*>(text.data()), SQL_NTS);
        if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA) {
            std::string why = diagnostics(SQL_HANDLE_STMT, stmt);
            SQLFreeHandle(SQL_HANDLE_STMT, stmt);
            throw std::runtime_error("test statement failed: " + sql + ": " + why);
        }
        Rows rows;
        SQLSMALLINT columns = 0;
        SQLNumResultCols(stmt, &columns);
        while (fetch && columns > 0 && SQL_SUCCEEDED(SQLFetch(stmt))) {
            std::vector<std::string> row;
            for (SQLUSMALLINT c = 1; c <= static_cast<SQLUSMALLINT>(columns); ++c) {
                std::vector<char> buffer(4096);
                SQLLEN indicator = 0;
                SQLGetData(stmt, c, SQL_C_CHAR, buffer.data(), static_cast<SQLLEN>(buffer.size()), &indicator);
                row.push_back(indicator == SQL_NULL_DATA ? std::string("<NULL>") : std::string(buffer.data()));
            }
            rows.push_back(std::move(row));
        }
        SQLFreeHandle(SQL_HANDLE_STMT, stmt);
        return rows;
    }

private:
    void release() {
        if (m_connected)
            SQLDisconnect(m_dbc);
        m_connected = false;
        if (m_dbc != SQL_NULL_HANDLE)
            SQLFreeHandle(SQL_HANDLE_DBC, m_dbc);
        if (m_env != SQL_NULL_HANDLE)
            SQLFreeHandle(SQL_HANDLE_ENV, m_env);
        m_dbc = m_env = SQL_NULL_HANDLE;
    }
    SQLHANDLE m_env = SQL_NULL_HANDLE;
    SQLHANDLE m_dbc = SQL_NULL_HANDLE;
    bool m_connected = false;
};

const char* const kSuiteTables[] = {
    "CREATE TABLE tblServers (ServerIP varchar(64))",
    "CREATE TABLE tblRegisteredServers (ServerName varchar(256), ServerIP varchar(64), ServerType varchar(32))",
};

int bind_loopback(int type, int port) {
    int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error(errno_text("socket"));
    int yes = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        int saved = errno;
        ::close(fd);
        errno = saved;
        throw std::runtime_error(errno_text("bind 127.0.0.1:" + std::to_string(port)));
    }
    return fd;
}

int port_of(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

void write_file(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out.flush())
        throw std::runtime_error("cannot write " + path.string());
}

} // namespace

TempDir::TempDir() {
    std::string pattern = (fs::temp_directory_path() / "enlistor-test.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error(errno_text("mkdtemp"));
    m_path = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    fs::remove_all(m_path, ignored);
}

void TempDir::OpenToAll() const {
    fs::permissions(m_path, fs::perms::all, fs::perm_options::replace);
}

void UseTestOdbcConfig(const fs::path& dir, const std::vector<DataSource>& dataSources,
                       const std::vector<std::string>& withoutDrivers) {
    std::ifstream in(ENLISTOR_TEST_ODBCINST);
    std::stringstream drivers;
    bool skipping = false;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.front() == '[') {
            std::string section = line.substr(1, line.find(']') - 1);
            skipping = std::find(withoutDrivers.begin(), withoutDrivers.end(), section) != withoutDrivers.end();
        }
        if (!skipping)
            drivers << line << '\n';
    }
    write_file(dir / "odbcinst.ini", drivers.str());
    std::string system, user;
    for (const DataSource& source : dataSources) {
        std::string& target = source.user ? user : system;
        target += "[" + source.name + "]\nDriver=" + source.driver + "\n";
        for (const auto& [key, value] : source.attributes)
            target += key + "=" + value + "\n";
        target += "\n";
    }
    write_file(dir / "odbc.ini", system);
    write_file(dir / "user-odbc.ini", user);
    setenv("ODBCSYSINI", dir.c_str(), 1);
    setenv("ODBCINSTINI", "odbcinst.ini", 1);
    setenv("ODBCINI", (dir / "user-odbc.ini").c_str(), 1);
}

void RunSql(const std::string& odbcConnectionString, const std::string& sql) {
    RawConnection(odbcConnectionString).Run(sql, false);
}

Rows QueryRows(const std::string& odbcConnectionString, const std::string& sql) {
    return RawConnection(odbcConnectionString).Run(sql, true);
}

std::string SqliteConnectionString(const fs::path& file) {
    return "DRIVER=SQLite3;Database=" + file.string() + ";";
}

void CreateSqliteSuiteDatabase(const fs::path& file) {
    RawConnection connection(SqliteConnectionString(file));
    for (const char* sql : kSuiteTables)
        connection.Run(sql, false);
}

fs::path PostgresEnvFile() {
    return ENLISTOR_POSTGRES_ENV;
}

std::optional<PostgresServer> PostgresServer::Load(std::string* why) {
    std::ifstream in(PostgresEnvFile());
    if (!in) {
        if (why)
            *why = "no " + PostgresEnvFile().string() + " (is the CTest fixture \"postgres\" set up?)";
        return std::nullopt;
    }
    std::map<std::string, std::string> values;
    for (std::string line; std::getline(in, line);)
        if (auto eq = line.find('='); eq != std::string::npos)
            values[line.substr(0, eq)] = line.substr(eq + 1);
    PostgresServer server;
    server.host = values["PG_HOST"];
    server.port = std::atoi(values["PG_PORT"].c_str());
    server.user = values["PG_USER"];
    server.database = values["PG_DATABASE"];
    server.caFile = values["PG_CA_FILE"];
    std::ifstream password(values["PG_PASSWORD_FILE"]);
    std::getline(password, server.password);
    if (server.port == 0 || server.password.empty()) {
        if (why)
            *why = "incomplete " + PostgresEnvFile().string();
        return std::nullopt;
    }
    return server;
}

std::string PostgresServer::ConnectionString(const std::string& databaseName) const {
    return "DRIVER=PostgreSQL Unicode;SERVER=" + host + ";PORT=" + std::to_string(port) + ";DATABASE=" + databaseName +
           ";UID=" + user + ";PWD=" + password + ";";
}

std::map<std::string, std::string> PostgresServer::DataSourceAttributes(std::optional<int> otherPort) const {
    return {{"Servername", host},
            {"Port", std::to_string(otherPort.value_or(port))},
            {"SSLmode", "verify-ca"},
            {"pqopt", "sslrootcert=" + caFile}};
}

std::string PostgresServer::NewSuiteDatabase() const {
    static std::atomic<int> counter{0};
    std::random_device random;
    const std::string name = "enlistor_t_" + std::to_string(getpid()) + "_" + std::to_string(counter++) + "_" +
                             std::to_string(random() % 100000);
    RunSql(ConnectionString(database), "CREATE DATABASE " + name);
    RawConnection connection(ConnectionString(name));
    for (const char* sql : kSuiteTables)
        connection.Run(sql, false);
    return name;
}

void PostgresServer::DropDatabase(const std::string& databaseName) const {
    RunSql(ConnectionString(database), "DROP DATABASE IF EXISTS " + databaseName);
}

bool EnterLoopbackOnlyNetwork(std::string* why) {
    const uid_t uid = geteuid();
    const gid_t gid = getegid();
    if (uid == 0) {
        if (unshare(CLONE_NEWNET) != 0) {
            if (why)
                *why = errno_text("unshare(CLONE_NEWNET)");
            return false;
        }
    } else {
        if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
            if (why)
                *why = errno_text("unshare(CLONE_NEWUSER|CLONE_NEWNET)");
            return false;
        }
        try {
            write_file("/proc/self/setgroups", "deny");
            write_file("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1\n");
            write_file("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1\n");
        } catch (const std::exception& e) {
            if (why)
                *why = e.what();
            return false;
        }
    }
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = fd >= 0 && ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP | IFF_RUNNING);
    up = up && ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    if (!up && why)
        *why = errno_text("bringing up lo");
    if (fd >= 0)
        ::close(fd);
    return up;
}

bool AddNamespaceAddress(const std::string& address, std::string* why) {
    for (const std::vector<std::string>& ip :
         {std::vector<std::string>{"ip", "link", "add", "enl0", "type", "veth", "peer", "name", "enl1"},
          {"ip", "addr", "add", address + "/24", "dev", "enl0"},
          {"ip", "link", "set", "enl0", "up"},
          {"ip", "link", "set", "enl1", "up"}}) {
        const ProcessResult result = RunProcess(ip);
        if (result.exitCode != 0) {
            if (why)
                *why = "ip " + ip[1] + " " + ip[2] + ": " + result.errors;
            return false;
        }
    }
    return true;
}

SilentTcpListener::SilentTcpListener() : m_fd(bind_loopback(SOCK_STREAM, 0)) {
    if (::listen(m_fd, 16) != 0)
        throw std::runtime_error(errno_text("listen"));
    m_port = port_of(m_fd);
}

SilentTcpListener::~SilentTcpListener() {
    ::close(m_fd);
}

int ClosedTcpPort() {
    int fd = bind_loopback(SOCK_STREAM, 0);
    int port = port_of(fd);
    ::close(fd);
    return port;
}

struct ScriptedTcpServer::State {
    int fd = -1;
    int wake[2] = {-1, -1};
    std::atomic<int> connections{0};
};

ScriptedTcpServer::ScriptedTcpServer(std::string reply, std::chrono::milliseconds closeAfter)
    : m_state(std::make_shared<State>()) {
    m_state->fd = bind_loopback(SOCK_STREAM, 0);
    if (::listen(m_state->fd, 16) != 0 || ::pipe2(m_state->wake, O_CLOEXEC) != 0)
        throw std::runtime_error(errno_text("listen"));
    m_port = port_of(m_state->fd);
    m_thread = std::thread([state = m_state, reply = std::move(reply), closeAfter] {
        for (;;) {
            pollfd fds[2] = {{state->fd, POLLIN, 0}, {state->wake[0], POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0 && errno != EINTR)
                return;
            if (fds[1].revents != 0)
                return;
            if ((fds[0].revents & POLLIN) == 0)
                continue;
            int client = ::accept4(state->fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0)
                continue;
            ++state->connections;
            if (!reply.empty())
                (void)!::send(client, reply.data(), reply.size(), MSG_NOSIGNAL);
            pollfd wait[2] = {{client, POLLIN, 0}, {state->wake[0], POLLIN, 0}};
            const auto deadline = std::chrono::steady_clock::now() + closeAfter;
            // Drain what the client sends until it is time to close.
            while (std::chrono::steady_clock::now() < deadline) {
                const auto left =
                    std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
                if (::poll(wait, 2, static_cast<int>(left.count()) + 1) <= 0 || wait[1].revents != 0)
                    break;
                char sink[4096];
                if (::recv(client, sink, sizeof sink, 0) <= 0)
                    break;
            }
            ::close(client);
        }
    });
}

ScriptedTcpServer::~ScriptedTcpServer() {
    (void)!::write(m_state->wake[1], "x", 1);
    m_thread.join();
    ::close(m_state->fd);
    ::close(m_state->wake[0]);
    ::close(m_state->wake[1]);
}

int ScriptedTcpServer::connections() const {
    return m_state->connections;
}

struct ScriptedUdpServer::State {
    int fd = -1;
    int wake[2] = {-1, -1};
    mutable std::mutex mutex;
    std::string lastRequest;
};

ScriptedUdpServer::ScriptedUdpServer(int port, std::string reply) : m_state(std::make_shared<State>()) {
    m_state->fd = bind_loopback(SOCK_DGRAM, port);
    if (::pipe2(m_state->wake, O_CLOEXEC) != 0)
        throw std::runtime_error(errno_text("pipe"));
    m_thread = std::thread([state = m_state, reply = std::move(reply)] {
        for (;;) {
            pollfd fds[2] = {{state->fd, POLLIN, 0}, {state->wake[0], POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0 && errno != EINTR)
                return;
            if (fds[1].revents != 0)
                return;
            std::vector<char> buffer(65536);
            sockaddr_storage peer{};
            socklen_t peerLength = sizeof peer;
            ssize_t got =
                ::recvfrom(state->fd, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&peer), &peerLength);
            if (got < 0)
                continue;
            {
                std::lock_guard lock(state->mutex);
                state->lastRequest.assign(buffer.data(), static_cast<std::size_t>(got));
            }
            if (!reply.empty())
                (void)!::sendto(state->fd, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&peer),
                                peerLength);
        }
    });
}

ScriptedUdpServer::~ScriptedUdpServer() {
    (void)!::write(m_state->wake[1], "x", 1);
    m_thread.join();
    ::close(m_state->fd);
    ::close(m_state->wake[0]);
    ::close(m_state->wake[1]);
}

std::string ScriptedUdpServer::lastRequest() const {
    std::lock_guard lock(m_state->mutex);
    return m_state->lastRequest;
}

ProcessResult RunProcess(const std::vector<std::string>& argv, const ProcessOptions& options) {
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
        throw std::runtime_error(errno_text("pipe"));
    uid_t uid = 0;
    gid_t gid = 0;
    if (options.unprivileged && geteuid() == 0) {
        passwd* nobody = getpwnam("nobody");
        if (nobody == nullptr)
            throw std::runtime_error("no user nobody");
        uid = nobody->pw_uid;
        gid = nobody->pw_gid;
    }
    std::vector<std::string> environment;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry = *e;
        if (options.environment.count(entry.substr(0, entry.find('='))) == 0)
            environment.push_back(entry);
    }
    for (const auto& [key, value] : options.environment)
        environment.push_back(key + "=" + value);
    std::vector<char*> args, envp;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (const std::string& e : environment)
        envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error(errno_text("fork"));
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        if (options.workingDirectory && chdir(options.workingDirectory->c_str()) != 0)
            _exit(126);
        if (uid != 0 && (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0))
            _exit(126);
        execvpe(args[0], args.data(), envp.data());
        _exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    ProcessResult result;
    std::size_t written = 0;
    int inFd = in[1];
    if (options.input.empty()) {
        ::close(inFd);
        inFd = -1;
    }
    std::signal(SIGPIPE, SIG_IGN);
    bool outOpen = true, errOpen = true;
    while (outOpen || errOpen) {
        pollfd fds[3] = {{out[0], static_cast<short>(outOpen ? POLLIN : 0), 0},
                         {err[0], static_cast<short>(errOpen ? POLLIN : 0), 0},
                         {inFd, POLLOUT, 0}};
        if (::poll(fds, 3, -1) < 0 && errno != EINTR)
            break;
        char buffer[4096];
        for (int i = 0; i < 2; ++i) {
            if (fds[i].revents == 0)
                continue;
            ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
            if (got <= 0)
                (i == 0 ? outOpen : errOpen) = false;
            else
                (i == 0 ? result.output : result.errors).append(buffer, static_cast<std::size_t>(got));
        }
        if (inFd >= 0 && fds[2].revents != 0) {
            ssize_t put = ::write(inFd, options.input.data() + written, options.input.size() - written);
            if (put > 0)
                written += static_cast<std::size_t>(put);
            if (put <= 0 || written == options.input.size()) {
                ::close(inFd);
                inFd = -1;
            }
        }
    }
    if (inFd >= 0)
        ::close(inFd);
    ::close(out[0]);
    ::close(err[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    return result;
}

} // namespace enlistor::test
