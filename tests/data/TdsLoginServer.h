// A SQL Server stand-in for tests that only hears the login: on 127.0.0.1 it answers the prelogin (no encryption),
// reads the LOGIN7 packet, decodes its login, password (de-obfuscated) and database, and closes the connection. So a
// test sees exactly what a driver would have sent a real server.
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
        bool operator==(const Login&) const = default;
    };

    TdsLoginServer();
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
