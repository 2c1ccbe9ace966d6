// A SQL Server stand-in for tests that only hears the login: on 127.0.0.1 (or the address given) it answers the
// prelogin, reads the LOGIN7 packet, decodes its login, password (de-obfuscated) and database, and closes the
// connection. So a test sees exactly what a driver would have sent a real server. Without a certificate it answers
// that it cannot encrypt (ENCRYPT_NOT_SUP); with one it does TLS inside the prelogin as SQL Server does (TdsTls.h)
// and reads the login through it.
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
        std::string certFile;              // PEM; empty: no TLS
        std::string keyFile;
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

private:
    struct State;
    std::shared_ptr<State> m_state;
};

} // namespace enlistor::test
