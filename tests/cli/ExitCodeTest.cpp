#include "platform/data/ErrorAdvice.h"
#include "workflow/ExitCodes.h"

#include <gtest/gtest.h>

#include <ostream>

namespace {

struct cause_row {
    const char* name;
    const char* sqlState;
    HRESULT hr;
    const char* text;
    DataErrorCause cause;
    int exitCode;
};

// Rows print as their names, so the test names carry no byte dumps.
void PrintTo(const cause_row& row, std::ostream* out) {
    *out << row.name;
}

class ClassifyDriverError : public testing::TestWithParam<cause_row> {};

// Each row is a diagnostic the drivers really give (SQLGetDiagRec, captured on Debian 12 against a loopback
// PostgreSQL 15, SQLite 3 files and closed or silent loopback ports), with the cause and exit code it must give.
TEST_P(ClassifyDriverError, NamesTheCause) {
    const cause_row& row = GetParam();
    EXPECT_EQ(ClassifyDataError(row.sqlState, row.hr, row.text), row.cause);
    EXPECT_EQ(ExitCodeForCause(ClassifyDataError(row.sqlState, row.hr, row.text)), row.exitCode);
}

constexpr HRESULT kFail = static_cast<HRESULT>(0x80004005U);
constexpr HRESULT kSyntax = static_cast<HRESULT>(0x80040E14U);

INSTANTIATE_TEST_SUITE_P(
    Drivers, ClassifyDriverError,
    testing::Values(
        cause_row{"PsqlRefused", "08001", kFail,
                  "connection to server at \"127.0.0.1\", port 55499 failed: Connection refused\n\tIs the server "
                  "running on that host and accepting TCP/IP connections?",
                  DataErrorCause::ServerUnreachable, kExitUnreachable},
        cause_row{"PsqlTimeout", "08001", kFail,
                  "connection to server at \"127.0.0.1\", port 55498 failed: timeout expired",
                  DataErrorCause::ServerTimedOut, kExitUnreachable},
        cause_row{"PsqlUnknownHost", "08001", kFail,
                  "could not translate host name \"nosuchhost.invalid\" to address: Name or service not known",
                  DataErrorCause::ServerUnknown, kExitUnreachable},
        cause_row{"PsqlWrongPassword", "08001", kFail,
                  "connection to server at \"127.0.0.1\", port 55432 failed: FATAL:  password authentication failed "
                  "for user \"reg\"",
                  DataErrorCause::LoginRefused, kExitLoginRefused},
        cause_row{"PsqlNoDatabase", "08001", kFail,
                  "connection to server at \"127.0.0.1\", port 55432 failed: FATAL:  database \"nosuchdb\" does not "
                  "exist",
                  DataErrorCause::DatabaseMissing, kExitMissing},
        cause_row{"PsqlNoConnectPrivilege", "08001", kFail,
                  "connection to server at \"127.0.0.1\", port 55432 failed: FATAL:  permission denied for database "
                  "\"postgres\"\nDETAIL:  User does not have CONNECT privilege.",
                  DataErrorCause::PermissionDenied, kExitNotAllowed},
        cause_row{"PsqlNoTable", "42P01", kSyntax,
                  "ERROR: relation \"tblservers\" does not exist;\nError while executing the query",
                  DataErrorCause::TableMissing, kExitMissing},
        cause_row{"PsqlNoTablePrivilege", "42501", kSyntax,
                  "ERROR: permission denied for table tblservers;\nError while executing the query",
                  DataErrorCause::PermissionDenied, kExitNotAllowed},
        cause_row{"SqliteNoTable", "HY000", kFail, "[SQLite]no such table: tblServers (1)",
                  DataErrorCause::TableMissing, kExitMissing},
        cause_row{"SqliteCannotOpen", "HY000", kFail, "[SQLite]connect failed", DataErrorCause::DatabaseMissing,
                  kExitMissing},
        cause_row{"SqliteReadOnly", "HY000", kFail, "[SQLite]attempt to write a readonly database (8)",
                  DataErrorCause::PermissionDenied, kExitNotAllowed},
        cause_row{"FreeTdsRefused", "08S01", kFail,
                  "[FreeTDS][SQL Server]Unable to connect: Adaptive Server is unavailable or does not exist",
                  DataErrorCause::ServerUnreachable, kExitUnreachable},
        cause_row{"FreeTdsNoServer", "08001", kFail,
                  "[FreeTDS][SQL Server]Could not find Servername or server parameter", DataErrorCause::ServerUnknown,
                  kExitUnreachable},
        cause_row{"SqlServerLoginFailed", "28000", static_cast<HRESULT>(0x80040E4DU),
                  "[FreeTDS][SQL Server]Login failed for user 'sa'.", DataErrorCause::LoginRefused, kExitLoginRefused},
        cause_row{"SqlServerNoTable", "42S02", kSyntax, "[FreeTDS][SQL Server]Invalid object name 'tblServers'.",
                  DataErrorCause::TableMissing, kExitMissing},
        cause_row{"DriverManagerNoDsn", "IM002", kFail,
                  "[unixODBC][Driver Manager]Data source name not found and no default driver specified",
                  DataErrorCause::DriverMissing, kExitFailure},
        cause_row{"LoginTimeoutState", "HYT00", kFail, "Login timeout expired", DataErrorCause::ServerTimedOut,
                  kExitUnreachable},
        cause_row{"NoObject", "", static_cast<HRESULT>(0x80004003U), "", DataErrorCause::Other, kExitFailure},
        cause_row{"Duplicate", "23000", static_cast<HRESULT>(0x80040E2FU), "UNIQUE constraint failed",
                  DataErrorCause::Other, kExitFailure}),
    [](const testing::TestParamInfo<cause_row>& info) { return info.param.name; });

} // namespace
