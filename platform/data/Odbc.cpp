#include "platform/data/Odbc.h"

#include "platform/data/ErrorAdvice.h"
#include "platform/data/WideText.h"

#include <odbcinst.h>

#include <algorithm>
#include <cstring>
#include <strings.h>

namespace enlistor::ado::odbc {
namespace {

bool starts_with(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// Lower is more telling. Drivers report a refused login with 28000 next to a generic 08001 (FreeTDS in varying
// order), so the class of the record decides, not its position.
int rank_of(std::string_view sqlState) {
    if (sqlState == "28000")
        return 0;
    if (starts_with(sqlState, "42"))
        return 1;
    if (starts_with(sqlState, "23"))
        return 2;
    if (starts_with(sqlState, "01"))
        return 4; // a warning only accompanies the failure
    return 3;
}

CString trim_message(CString text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '\t'))
        text.pop_back();
    return text;
}

void replace_all(CString& text, std::string_view needle, std::string_view replacement) {
    if (needle.empty())
        return;
    for (std::size_t at = text.find(needle); at != CString::npos; at = text.find(needle, at + replacement.size()))
        text.replace(at, needle.size(), replacement);
}

// The next data source the driver manager lists (SQL_FETCH_FIRST starts over); none after the last or on an error.
std::optional<DataSourceInfo> next_data_source(const EnvHandle& env, SQLUSMALLINT direction) {
    std::vector<SQLCHAR> name(SQL_MAX_DSN_LENGTH + 1), driver(1024);
    SQLSMALLINT nameLength = 0, driverLength = 0;
    const SQLRETURN rc =
        SQLDataSources(env.get(), direction, name.data(), static_cast<SQLSMALLINT>(name.size()), &nameLength,
                       driver.data(), static_cast<SQLSMALLINT>(driver.size()), &driverLength);
    if (!SQL_SUCCEEDED(rc))
        return std::nullopt;
    return DataSourceInfo{reinterpret_cast<const char*>(name.data()), reinterpret_cast<const char*>(driver.data())};
}

} // namespace

std::vector<DiagRecord> ReadDiagnostics(SQLSMALLINT handleType, SQLHANDLE handle) {
    std::vector<DiagRecord> records;
    if (handle == SQL_NULL_HANDLE)
        return records;
    // The wide call: the driver's texts come back as UTF-16 and are converted to the process's character set.
    for (SQLSMALLINT index = 1;; ++index) {
        SQLWCHAR state[6] = {};
        SQLINTEGER native = 0;
        SQLSMALLINT length = 0;
        SQLRETURN rc = SQLGetDiagRecW(handleType, handle, index, state, &native, nullptr, 0, &length);
        if (rc == SQL_NO_DATA || !SQL_SUCCEEDED(rc))
            break;
        std::vector<SQLWCHAR> message(static_cast<std::size_t>(std::max<SQLSMALLINT>(length, 0)) + 1);
        rc = SQLGetDiagRecW(handleType, handle, index, state, &native, message.data(),
                            static_cast<SQLSMALLINT>(message.size()), &length);
        if (!SQL_SUCCEEDED(rc))
            break;
        const std::size_t stateLength = static_cast<std::size_t>(std::find(state, state + 5, SQLWCHAR{0}) - state);
        const std::size_t messageLength =
            std::min(message.size() - 1, static_cast<std::size_t>(std::max<SQLSMALLINT>(length, 0)));
        records.push_back(DiagRecord{wide::FromWide(state, stateLength), native,
                                     trim_message(wide::FromWide(message.data(), messageLength))});
    }
    return records;
}

HRESULT HresultFromSqlState(std::string_view sqlState) noexcept {
    if (sqlState == "28000")
        return static_cast<HRESULT>(0x80040E4Du);
    if (starts_with(sqlState, "42"))
        return static_cast<HRESULT>(0x80040E14u);
    if (starts_with(sqlState, "23"))
        return static_cast<HRESULT>(0x80040E2Fu);
    return E_FAIL;
}

_com_error MakeError(const std::vector<DiagRecord>& records, const CString& source, std::string_view context,
                     std::string_view secret) {
    // Drivers (FreeTDS) give their records in varying order: sorting by how telling each is, then by SQLSTATE, makes
    // the HRESULT and the text the same for the same failure.
    std::vector<const DiagRecord*> ordered;
    for (const DiagRecord& record : records)
        ordered.push_back(&record);
    std::stable_sort(ordered.begin(), ordered.end(), [](const DiagRecord* a, const DiagRecord* b) {
        const int rankA = rank_of(a->sqlState), rankB = rank_of(b->sqlState);
        return rankA != rankB ? rankA < rankB : a->sqlState < b->sqlState;
    });

    CString description;
    std::vector<std::string_view> seen;
    for (const DiagRecord* record : ordered) {
        if (record->message.empty() || std::find(seen.begin(), seen.end(), record->message) != seen.end())
            continue;
        seen.push_back(record->message);
        if (!description.empty())
            description += "; ";
        description += record->message;
    }
    if (description.empty())
        description = CString(context) + " failed without diagnostic information";
    replace_all(description, secret, "***");

    // Classified from the driver's own words, before anything of ours is added to them.
    // SQL Server's own message numbers are read first, together: they say more than any SQLSTATE a driver puts on
    // them (FreeTDS gives 4060 "cannot open database" and the 18456 "login failed" after it both as 28000).
    const NativeErrorKind kind = NativeErrorKindOf(source);
    DataErrorCause cause = DataErrorCause::Other;
    if (kind == NativeErrorKind::SqlServer) {
        std::vector<std::int32_t> natives;
        for (const DiagRecord* record : ordered)
            natives.push_back(record->nativeError);
        cause = SqlServerCauseOf(natives);
    }
    if (cause == DataErrorCause::Other)
        for (const DiagRecord* record : ordered)
            cause = MoreTellingCause(cause, ClassifyDataError(record->sqlState, HresultFromSqlState(record->sqlState),
                                                              record->message, record->nativeError, kind));

    CString sqlState = ordered.empty() ? CString() : ordered.front()->sqlState;
    const SQLINTEGER nativeError = ordered.empty() ? 0 : ordered.front()->nativeError;
    const HRESULT hr = HresultFromSqlState(sqlState);
    return _com_error(hr, source, std::move(description), std::move(sqlState), nativeError, cause);
}

SQLRETURN Check(SQLRETURN rc, SQLSMALLINT handleType, SQLHANDLE handle, const CString& source, std::string_view context,
                std::string_view secret, bool noDataIsSuccess) {
    if (SQL_SUCCEEDED(rc) || (noDataIsSuccess && rc == SQL_NO_DATA))
        return rc;
    throw MakeError(ReadDiagnostics(handleType, handle), source, context, secret);
}

EnvHandle NewEnvironment() {
    SQLHANDLE raw = SQL_NULL_HANDLE;
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &raw)))
        // The driver manager fails this only for lack of memory.
        throw _com_error(E_OUTOFMEMORY, "ODBC driver manager", "The ODBC environment could not be allocated");
    EnvHandle env(raw);
    Check(SQLSetEnvAttr(raw, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0), SQL_HANDLE_ENV, raw,
          "ODBC driver manager", "Setting the ODBC version");
    return env;
}

DbcHandle NewConnection(const EnvHandle& env) {
    SQLHANDLE raw = SQL_NULL_HANDLE;
    Check(SQLAllocHandle(SQL_HANDLE_DBC, env.get(), &raw), SQL_HANDLE_ENV, env.get(), "ODBC driver manager",
          "Allocating a connection");
    return DbcHandle(raw);
}

StmtHandle NewStatement(const DbcHandle& dbc, const CString& source) {
    SQLHANDLE raw = SQL_NULL_HANDLE;
    Check(SQLAllocHandle(SQL_HANDLE_STMT, dbc.get(), &raw), SQL_HANDLE_DBC, dbc.get(), source,
          "Allocating a statement");
    return StmtHandle(raw);
}

std::vector<DriverInfo> ListDrivers(const EnvHandle& env) {
    std::vector<DriverInfo> drivers;
    SQLUSMALLINT direction = SQL_FETCH_FIRST;
    for (;;) {
        std::vector<SQLCHAR> name(256), attributes(4096);
        SQLSMALLINT nameLength = 0, attributesLength = 0;
        SQLRETURN rc = SQLDrivers(env.get(), direction, name.data(), static_cast<SQLSMALLINT>(name.size()), &nameLength,
                                  attributes.data(), static_cast<SQLSMALLINT>(attributes.size()), &attributesLength);
        if (!SQL_SUCCEEDED(rc))
            break;
        direction = SQL_FETCH_NEXT;
        DriverInfo info{reinterpret_cast<const char*>(name.data()), {}};
        // The attributes come as "key=value\0key=value\0\0" (truncated when longer than the buffer).
        const char* at = reinterpret_cast<const char*>(attributes.data());
        const char* end =
            at + std::min<std::size_t>(attributes.size() - 1,
                                       static_cast<std::size_t>(std::max<SQLSMALLINT>(attributesLength, 0)));
        while (at < end && *at != '\0') {
            std::string_view pair(at, strnlen(at, static_cast<std::size_t>(end - at)));
            if (pair.size() > 7 && strncasecmp(pair.data(), "Driver=", 7) == 0)
                info.library = CString(pair.substr(7));
            at += pair.size() + 1;
        }
        drivers.push_back(std::move(info));
    }
    return drivers;
}

CString DataSourceAttribute(const CString& dataSource, const CString& key) {
    std::vector<char> value(4096);
    const int length = SQLGetPrivateProfileString(dataSource.c_str(), key.c_str(), "", value.data(),
                                                  static_cast<int>(value.size()), "odbc.ini");
    return length > 0 ? CString(value.data(), strnlen(value.data(), value.size())) : CString();
}

std::vector<CString> DataSourceAttributes(const CString& dataSource, const std::vector<std::string_view>& keys) {
    std::vector<CString> values(keys.size());
    // The names come as "name\0name\0...\0\0" (the return value is not their length); a list that fills the buffer
    // may have been cut, and every attribute is then read by its own lookup.
    std::vector<char> names(16384, '\0');
    (void)SQLGetPrivateProfileString(dataSource.c_str(), nullptr, "", names.data(), static_cast<int>(names.size()),
                                     "odbc.ini");
    const bool whole = names[names.size() - 2] == '\0';
    names.back() = '\0';
    for (std::size_t i = 0; i < keys.size(); ++i) {
        bool present = !whole;
        for (const char* name = names.data(); !present && *name != '\0'; name += std::strlen(name) + 1)
            present = std::strlen(name) == keys[i].size() && strncasecmp(name, keys[i].data(), keys[i].size()) == 0;
        if (present)
            values[i] = DataSourceAttribute(dataSource, CString(keys[i]));
    }
    return values;
}

std::optional<DataSourceInfo> FindDataSource(const EnvHandle& env, std::string_view wanted) {
    if (wanted.empty())
        return std::nullopt;
    for (auto source = next_data_source(env, SQL_FETCH_FIRST); source; source = next_data_source(env, SQL_FETCH_NEXT))
        if (source->name.size() == wanted.size() &&
            strncasecmp(source->name.c_str(), wanted.data(), wanted.size()) == 0)
            return source;
    return std::nullopt;
}

CString DriverAttribute(const CString& driver, const CString& key) {
    std::vector<char> value(4096);
    const int length = SQLGetPrivateProfileString(driver.c_str(), key.c_str(), "", value.data(),
                                                  static_cast<int>(value.size()), "odbcinst.ini");
    return length > 0 ? CString(value.data(), strnlen(value.data(), value.size())) : CString();
}

} // namespace enlistor::ado::odbc
