// The plain cause of a data-object failure, named from the ODBC diagnostic (SQLSTATE, HRESULT and the driver's own
// text), and the one sentence that tells the operator which setting to check.
//
// Drivers do not agree on SQLSTATEs: psqlODBC reports every failed connection as 08001 (a refused login and a
// missing database included) and the SQLite driver reports HY000 for everything, so the driver's text decides where
// the state alone cannot.
#pragma once

#include "common/Text.h"
#include "platform/win32/Win32.h"

enum class DataErrorCause {
    Other,             // nothing more specific is known
    ServerUnreachable, // connection refused, no route, the connection failed
    ServerTimedOut,    // the server did not answer within the time limit
    ServerUnknown,     // the server name does not resolve
    LoginRefused,      // wrong login or password, or the server does not accept this login
    DatabaseMissing,   // the database does not exist (or, for a file database, cannot be opened)
    TableMissing,      // a table the statements use does not exist
    PermissionDenied,  // the login may not connect to the database or run the statement; a read-only database
    DriverMissing,     // no ODBC driver or data source for the connection
};

// Names the cause of a failure from its SQLSTATE ("" when unknown), HRESULT and the driver's text.
[[nodiscard]] DataErrorCause ClassifyDataError(const CString& sqlState, HRESULT hr, const CString& driverText);

// One sentence naming the cause and the setting to check, e.g. "Cannot reach the database server 'db01': connection
// refused. Check Database Server Name."; empty for DataErrorCause::Other. server, database and login are the values
// of the connection (the password is never an argument, so it cannot appear).
[[nodiscard]] CString DescribeCause(const CString& sqlState, HRESULT hr, const CString& server, const CString& database,
                                    const CString& login, const CString& driverText);

// The description an error carries: the sentence of DescribeCause, one blank and the driver's text; the driver's text
// alone when there is no sentence.
[[nodiscard]] CString DescriptionWithCause(const CString& sqlState, HRESULT hr, const CString& server,
                                           const CString& database, const CString& login, const CString& driverText);
