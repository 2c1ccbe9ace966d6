// A small SQL Server stand-in for tests: on 127.0.0.1 (or the address given) it speaks enough TDS 7.4 for the FreeTDS
// ODBC driver to log in and run the registration's statements. It answers the prelogin (without a certificate: it
// cannot encrypt; with one: TLS inside the prelogin as SQL Server does, TdsTls.h), decodes each LOGIN7 packet (login,
// de-obfuscated password, database) and accepts it, then answers SQL batches and the RPC calls a driver makes for
// statements with bound parameters (sp_executesql, sp_prepexec, sp_execute, sp_unprepare) from two in-memory tables,
// tblServers (ServerIP) and tblRegisteredServers (ServerName, ServerIP, ServerType). Any step can be given a canned
// answer instead: SQL Server's ERROR tokens (number, state, class, text), or the connection dropped.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace enlistor::test {

class TdsLoginServer {
public:
    struct Login {
        std::string user;
        std::string password;
        std::string database;
        bool overTls = false; // the login arrived inside TLS
        bool operator==(const Login&) const = default;
    };
    struct Options {
        std::string address = "127.0.0.1"; // an IPv4 literal
        std::string certFile;              // PEM; empty: no TLS (ENCRYPT_NOT_SUP)
        std::string keyFile;
    };
    // One row of tblRegisteredServers, its texts in UTF-8.
    struct Row {
        std::string name;
        std::string ip;
        std::string type;
        bool operator==(const Row&) const = default;
    };
    // One ERROR token: SQL Server's message number, state, class (severity) and text.
    struct ServerError {
        int number = 0;
        int state = 1;
        int severity = 16;
        std::string text;
    };
    // The steps a canned answer replaces: the login, and the statements by the table and verb they name.
    enum class Step { Login, CheckRegistered, CheckServers, Insert, Delete };
    // The answer for a step: these errors (the step fails), or, with drop, the connection closed without a word.
    struct Answer {
        std::vector<ServerError> errors;
        bool drop = false;
    };

    TdsLoginServer() : TdsLoginServer(Options{}) {}
    explicit TdsLoginServer(Options options);
    ~TdsLoginServer();
    TdsLoginServer(const TdsLoginServer&) = delete;
    TdsLoginServer& operator=(const TdsLoginServer&) = delete;

    int port() const;
    // Connections accepted so far, and the logins decoded from them.
    int connections() const;
    std::vector<Login> logins() const;

    // From now on, every time the step comes, it gets this answer.
    void SetAnswer(Step step, Answer answer);
    // The in-memory tables.
    void AddServer(const std::string& ip);
    void AddRegistered(const Row& row);
    std::vector<Row> Registered() const;
    // Every statement parameter received, decoded to UTF-8, in order of arrival.
    std::vector<std::string> Parameters() const;

private:
    struct State;
    std::shared_ptr<State> m_state;
};

} // namespace enlistor::test
