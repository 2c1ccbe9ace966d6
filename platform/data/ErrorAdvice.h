// The plain cause of a data-object failure, named from the ODBC diagnostic (SQLSTATE, native error, HRESULT and, as
// a last resort, the driver's own text).
//
// The data layer classifies each error once, when it raises it from the driver's diagnostics, and stores the cause
// in the _com_error (Cause()); callers read that instead of classifying again.
//
// Drivers do not agree on SQLSTATEs: psqlODBC reports every failed connection as 08001 (a refused login and a
// missing database included) and the SQLite driver reports HY000 for everything, so the driver's text decides where
// the state and the native error cannot.
#pragma once

#include "common/Text.h"
#include "platform/data/ComError.h"
#include "platform/win32/Win32.h"

#include <cstdint>
#include <optional>
#include <vector>

// Whose native error codes a diagnostic carries: they mean different things for each driver.
enum class NativeErrorKind {
    Unknown,
    SqlServer, // FreeTDS and Microsoft's drivers: the server's message numbers (18456 login failed, ...)
    Sqlite,    // the SQLite driver: SQLite's result codes (14 SQLITE_CANTOPEN, ...)
};

// The kind of native codes the driver named in an error source ("ODBC driver <name>") or a driver name gives.
[[nodiscard]] NativeErrorKind NativeErrorKindOf(const CString& driver);

// The cause one of SQL Server's own message numbers names (4060 database, 18456 login, 208 object, 229/230
// permission, 2/53/10060/... network); nullopt for the others.
[[nodiscard]] std::optional<DataErrorCause> SqlServerNativeCause(std::int32_t nativeError);

// The cause SQL Server's message numbers name together, whatever order they came in: a named reason (4060 database,
// 208 object, 229 permission) before the generic 18456 that follows it, then the network; Other when none is known.
[[nodiscard]] DataErrorCause SqlServerCauseOf(const std::vector<std::int32_t>& nativeErrors);

// Names the cause of a failure: a SQLSTATE that says it decides, then the native error (of the given kind), then the
// driver's text, and only then the SQLSTATE's class (08xxx: unreachable).
[[nodiscard]] DataErrorCause ClassifyDataError(const CString& sqlState, HRESULT hr, const CString& driverText,
                                               std::int32_t nativeError = 0,
                                               NativeErrorKind kind = NativeErrorKind::Unknown);

// The more telling of two causes (a refused login outranks the generic "unreachable" that accompanies it).
[[nodiscard]] DataErrorCause MoreTellingCause(DataErrorCause a, DataErrorCause b);
