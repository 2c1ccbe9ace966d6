#include "platform/data/ErrorAdvice.h"

#include <algorithm>
#include <cctype>
#include <initializer_list>
#include <iterator>
#include <optional>
#include <string_view>
#include <vector>

namespace {

constexpr HRESULT kAuthenticationFailed = static_cast<HRESULT>(0x80040E4DU); // DB_SEC_E_AUTH_FAILED
constexpr HRESULT kNoSuchTable = static_cast<HRESULT>(0x80040E37U);          // DB_E_NOTABLE
constexpr HRESULT kPermissionDenied = static_cast<HRESULT>(0x80040E09U);     // DB_SEC_E_PERMISSIONDENIED

CString lower_ascii(const CString& text) {
    CString result = text;
    std::transform(result.begin(), result.end(), result.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return result;
}

bool contains_any(const CString& haystack, std::initializer_list<std::string_view> needles) {
    return std::any_of(needles.begin(), needles.end(),
                       [&](std::string_view needle) { return haystack.find(needle) != CString::npos; });
}

bool state_is(const CString& sqlState, std::initializer_list<std::string_view> states) {
    return std::any_of(states.begin(), states.end(), [&](std::string_view s) { return sqlState == s; });
}

} // namespace

std::optional<DataErrorCause> SqlServerNativeCause(std::int32_t nativeError) {
    switch (nativeError) {
    case 4060: // cannot open the database requested by the login (followed by 18456)
    case 911:  // database does not exist
        return DataErrorCause::DatabaseMissing;
    case 18456: // login failed
    case 18452: // login from an untrusted domain
    case 18470: // account disabled
    case 18487: // password expired
    case 18488: // password must be changed
        return DataErrorCause::LoginRefused;
    case 208: // invalid object name
        return DataErrorCause::TableMissing;
    case 229: // permission denied on the object
    case 230: // permission denied on a column
    case 262: // permission denied in the database
    case 916: // the login cannot access the database
        return DataErrorCause::PermissionDenied;
    case 2:     // the server was not found or was not accessible
    case 53:    // the network path was not found
    case 64:    // the specified network name is no longer available
    case 233:   // no process is on the other end of the pipe
    case 10053: // the connection was aborted
    case 10054: // the connection was reset by the peer
    case 10060: // the connection attempt timed out
    case 10061: // the connection was refused
        return DataErrorCause::ServerUnreachable;
    case 11001: // no such host is known
        return DataErrorCause::ServerUnknown;
    default:
        return std::nullopt;
    }
}

DataErrorCause SqlServerCauseOf(const std::vector<std::int32_t>& nativeErrors) {
    // SQL Server follows a refusal for a named reason with its generic 18456: the reason wins.
    constexpr DataErrorCause order[] = {DataErrorCause::DatabaseMissing,  DataErrorCause::TableMissing,
                                        DataErrorCause::PermissionDenied, DataErrorCause::LoginRefused,
                                        DataErrorCause::ServerUnknown,    DataErrorCause::ServerUnreachable};
    DataErrorCause found = DataErrorCause::Other;
    auto rank = [&](DataErrorCause cause) {
        return static_cast<std::size_t>(std::find(std::begin(order), std::end(order), cause) - std::begin(order));
    };
    for (std::int32_t native : nativeErrors)
        if (const std::optional<DataErrorCause> cause = SqlServerNativeCause(native);
            cause && rank(*cause) < rank(found))
            found = *cause;
    return found;
}

NativeErrorKind NativeErrorKindOf(const CString& driver) {
    const CString name = lower_ascii(driver);
    if (contains_any(name, {"freetds", "sql server"}))
        return NativeErrorKind::SqlServer;
    if (contains_any(name, {"sqlite"}))
        return NativeErrorKind::Sqlite;
    return NativeErrorKind::Unknown;
}

DataErrorCause ClassifyDataError(const CString& sqlState, HRESULT hr, const CString& driverText,
                                 std::int32_t nativeError, NativeErrorKind kind) {
    const CString text = lower_ascii(driverText);
    const CString state = [&] {
        CString s = sqlState;
        std::transform(s.begin(), s.end(), s.begin(),
                       [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
        return s;
    }();

    // The SQLSTATEs that say what happened, whatever the driver.
    if (state_is(state, {"28000", "28P01"}) || hr == kAuthenticationFailed)
        return DataErrorCause::LoginRefused;
    if (state_is(state, {"3D000"}))
        return DataErrorCause::DatabaseMissing;
    if (state_is(state, {"42S02", "42P01"}) || hr == kNoSuchTable)
        return DataErrorCause::TableMissing;
    if (state_is(state, {"42501"}) || hr == kPermissionDenied)
        return DataErrorCause::PermissionDenied;
    // HYT00/HYT01: a time limit ran out; 57014: PostgreSQL cancelled the statement at its time limit.
    if (state_is(state, {"HYT00", "HYT01", "57014"}))
        return DataErrorCause::ServerTimedOut;
    if (state_is(state, {"IM002", "IM003"}))
        return DataErrorCause::DriverMissing;

    // The native error, read as the driver that gave it means it.
    if (kind == NativeErrorKind::SqlServer) {
        if (const std::optional<DataErrorCause> cause = SqlServerNativeCause(nativeError))
            return *cause;
    }
    if (kind == NativeErrorKind::Sqlite && nativeError != 0) {
        switch (nativeError & 0xFF) { // extended result codes carry the primary code in the low byte
        case 14:                      // SQLITE_CANTOPEN
            return DataErrorCause::DatabaseMissing;
        case 3:  // SQLITE_PERM
        case 8:  // SQLITE_READONLY
        case 23: // SQLITE_AUTH
            return DataErrorCause::PermissionDenied;
        default:
            break;
        }
    }

    // The driver's text, last: psqlODBC wraps all of these in 08001 and the SQLite driver in HY000.
    if (contains_any(text, {"does not support ssl", "server does not support encryption"}))
        return DataErrorCause::ServerCannotEncrypt;
    if (contains_any(text, {"certificate verify failed", "does not match host name", "certificate is not trusted",
                            "root certificate file"}))
        return DataErrorCause::CertificateUntrusted;
    if (contains_any(text, {"ssl error", "ssl syscall error", "tls handshake", "ssl handshake"}))
        return DataErrorCause::TlsFailed;
    if (contains_any(text,
                     {"password authentication failed", "login failed", "authentication failed", "no pg_hba.conf entry",
                      "pg_hba.conf rejects", "access denied for user", "no password supplied"}) ||
        (contains_any(text, {"role \""}) && contains_any(text, {"does not exist"})))
        return DataErrorCause::LoginRefused;
    if ((contains_any(text, {"database \""}) && contains_any(text, {"does not exist"})) ||
        contains_any(text, {"cannot open database", "unknown database"}) ||
        (contains_any(text, {"[sqlite"}) && contains_any(text, {"connect failed", "unable to open database"})))
        return DataErrorCause::DatabaseMissing;
    if (contains_any(text, {"no such table", "invalid object name"}) ||
        (contains_any(text, {"relation \"", "table \""}) && contains_any(text, {"does not exist"})))
        return DataErrorCause::TableMissing;
    if (contains_any(text, {"permission denied", "permission was denied", "readonly database", "read-only"}))
        return DataErrorCause::PermissionDenied;
    if (contains_any(text, {"timeout expired", "timed out", "statement timeout"}))
        return DataErrorCause::ServerTimedOut;
    if (contains_any(text, {"could not translate host name", "name or service not known", "unknown host",
                            "temporary failure in name resolution", "could not find servername"}))
        return DataErrorCause::ServerUnknown;
    if (state.rfind("08", 0) == 0 ||
        contains_any(text, {"connection refused", "unable to connect", "no route to host", "network is unreachable"}))
        return DataErrorCause::ServerUnreachable;
    if (contains_any(text, {"can't open lib", "data source name not found", "could not be found"}))
        return DataErrorCause::DriverMissing;
    return DataErrorCause::Other;
}

DataErrorCause MoreTellingCause(DataErrorCause a, DataErrorCause b) {
    // Most telling first: what names a setting precisely beats what only says the connection failed.
    constexpr DataErrorCause order[] = {
        DataErrorCause::SettingUnusable, DataErrorCause::CertificateUntrusted, DataErrorCause::ServerCannotEncrypt,
        DataErrorCause::TlsFailed,       DataErrorCause::LoginRefused,         DataErrorCause::DatabaseMissing,
        DataErrorCause::TableMissing,    DataErrorCause::PermissionDenied,     DataErrorCause::ServerTimedOut,
        DataErrorCause::ServerUnknown,   DataErrorCause::DriverMissing,        DataErrorCause::ServerUnreachable,
        DataErrorCause::Other,
    };
    for (DataErrorCause cause : order)
        if (a == cause || b == cause)
            return cause;
    return DataErrorCause::Other;
}
