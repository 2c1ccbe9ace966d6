// The peer of the registration benchmark: a minimal raw-ODBC program doing the registration's statements. Kept in a
// file of its own because the ODBC headers and the Win32 declarations of the system's code define the same names.
#pragma once

#include <string>

// One environment and connection per registration, the same three statements with the same bound parameters,
// forward-only result sets, no error texts beyond what failed.
class RawRegistration {
public:
    explicit RawRegistration(std::string connectionString) : m_connectionString(std::move(connectionString)) {}
    // Returns whether a row was inserted. Throws std::runtime_error naming the call that failed.
    bool Run(const std::string& address) const;

private:
    std::string m_connectionString;
};
