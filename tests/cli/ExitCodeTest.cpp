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

CString describe(const CString& sqlState, HRESULT hr, const CString& server, const CString& database,
                 const CString& login, const CString& text) {
    return DescribeCause(ClassifyDataError(sqlState, hr, text), server, database, login, text);
}
CString describe_with(const CString& sqlState, HRESULT hr, const CString& server, const CString& database,
                      const CString& login, const CString& text) {
    const _com_error raised(E_FAIL, "test", text);
    return *raised.WithCauseSentence(describe(sqlState, hr, server, database, login, text)).Description();
}

// The sentence names the cause and the setting to check, and goes before the driver's own text.
TEST(DescribeCause, NamesCauseAndSetting) {
    const char* refused = "connection to server at \"db01\", port 5432 failed: Connection refused";
    EXPECT_EQ(describe("08001", 0, "db01", "suite", "sa", refused),
              "Cannot reach the database server 'db01': connection refused. Check Database Server Name.");
    EXPECT_EQ(describe_with("08001", 0, "db01", "suite", "sa", refused),
              CString("Cannot reach the database server 'db01': connection refused. Check Database Server Name. ") +
                  refused);
    EXPECT_EQ(describe("08001", 0, "db01", "suite", "sa", "FATAL:  password authentication failed for user"),
              "The database server 'db01' refused the login 'sa'. Check Database Login and Database Password.");
    EXPECT_NE(describe("42S02", 0, "db01", "suite", "sa", "").find("Check Database Name."), CString::npos);
    EXPECT_EQ(describe("08001", 0, "", "", "", "Unable to connect"),
              "No database server is set. Check Database Server Name.");
}

// Without a recognisable cause the driver's text stands alone.
TEST(DescribeCause, LeavesUnknownCausesToTheDriver) {
    EXPECT_EQ(describe("HY000", kFail, "db01", "suite", "sa", "something odd"), "");
    EXPECT_EQ(describe_with("HY000", kFail, "db01", "suite", "sa", "something odd"), "something odd");
}

} // namespace
