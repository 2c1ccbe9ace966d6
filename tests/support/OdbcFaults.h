// Faults injected into the ODBC calls of the code under test, for tests only (their names carry "Injected").
//
// Linking the object library enlistor_odbc_faults into a test program replaces, for that program alone, the
// unixODBC entry points named below with versions that fail on demand and otherwise pass the call on to the driver
// manager. Production code calls ODBC as it always does: no hook, no table, no check is compiled into it.
//
// A fault stays armed until its ScopedOdbcFault goes away: every matching call fails with SQL_ERROR, leaves no
// handle behind (SQLAllocHandle), and leaves one diagnostic record on the handle it was called with, which
// SQLGetDiagRec then reports.
#pragma once

#include <string>

namespace enlistor::test {

enum class OdbcCall {
    AllocEnvironment, // SQLAllocHandle(SQL_HANDLE_ENV): the data objects' Connection cannot be created
    ExecDirect,       // SQLExecDirect: a statement fails
    Disconnect,       // SQLDisconnect: closing the connection fails
};

struct OdbcFault {
    OdbcCall call;
    // ExecDirect only: the fault hits statements that start with this text (case-insensitive); empty: every one.
    std::string statementPrefix{};
    std::string sqlState = "HY000";
    int nativeError = 0;
    std::string message = "Injected fault";
};

class ScopedOdbcFault {
public:
    explicit ScopedOdbcFault(OdbcFault fault);
    ~ScopedOdbcFault();
    ScopedOdbcFault(const ScopedOdbcFault&) = delete;
    ScopedOdbcFault& operator=(const ScopedOdbcFault&) = delete;

    // How many calls the fault has failed so far.
    int hits() const;

private:
    int m_id;
};

} // namespace enlistor::test
