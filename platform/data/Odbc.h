// The ODBC layer under the data objects: one move-only owner per ODBC handle kind, one checking helper through which
// every ODBC call's result passes, and the translation of ODBC diagnostics into _com_error. Internal to
// platform/data (and its tests).
#pragma once

#include "common/Text.h"
#include "platform/data/ComError.h"
#include "platform/data/OdbcApi.h"

#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace enlistor::ado::odbc {

// One record of SQLGetDiagRec.
struct DiagRecord {
    CString sqlState;
    SQLINTEGER nativeError = 0;
    CString message;
};

inline constexpr SQLHANDLE kNoHandle = nullptr;

// Owns one ODBC handle of kind Type; frees it (SQLFreeHandle) on destruction.
template <SQLSMALLINT Type>
class Handle {
public:
    Handle() noexcept = default;
    explicit Handle(SQLHANDLE handle) noexcept : m_handle(handle) {}
    ~Handle() { reset(); }
    Handle(Handle&& other) noexcept : m_handle(std::exchange(other.m_handle, kNoHandle)) {}
    Handle& operator=(Handle&& other) noexcept {
        if (this != &other) {
            reset();
            m_handle = std::exchange(other.m_handle, kNoHandle);
        }
        return *this;
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;

    SQLHANDLE get() const noexcept { return m_handle; }
    explicit operator bool() const noexcept { return m_handle != kNoHandle; }
    void reset() noexcept {
        if (m_handle != kNoHandle)
            SQLFreeHandle(Type, std::exchange(m_handle, kNoHandle));
    }

private:
    SQLHANDLE m_handle = kNoHandle;
};

using EnvHandle = Handle<SQL_HANDLE_ENV>;
using DbcHandle = Handle<SQL_HANDLE_DBC>;
using StmtHandle = Handle<SQL_HANDLE_STMT>;

// Every diagnostic record the handle holds, in the driver's order.
std::vector<DiagRecord> ReadDiagnostics(SQLSMALLINT handleType, SQLHANDLE handle);

// The HRESULT for an SQLSTATE: 08xxx 0x80004005, 28000 0x80040E4D, 42xxx 0x80040E14, 23xxx 0x80040E2F, else
// 0x80004005.
HRESULT HresultFromSqlState(std::string_view sqlState) noexcept;

// The _com_error for a failed ODBC call. The records are scanned all and ordered by how telling they are (a login
// refusal, then a syntax or access fault, then a constraint, then the rest, warnings last), ties by SQLSTATE: the first
// decides the HRESULT and the SQLSTATE; the description joins the distinct messages in that order with "; ", and every
// occurrence of the secret (a password) in it is replaced by "***". context describes the call when the driver
// left no record. The cause is classified here, once, from each record's SQLSTATE, native error (read as the driver
// that the source names gives them) and raw text: the most telling one is kept with the error.
_com_error MakeError(const std::vector<DiagRecord>& records, const CString& source, std::string_view context,
                     std::string_view secret = {});

// Passes successes (SQL_SUCCESS, SQL_SUCCESS_WITH_INFO, and SQL_NO_DATA when noDataIsSuccess) and throws MakeError
// of the handle's diagnostics for every other result.
SQLRETURN Check(SQLRETURN rc, SQLSMALLINT handleType, SQLHANDLE handle, const CString& source, std::string_view context,
                std::string_view secret = {}, bool noDataIsSuccess = false);

// A new ODBC 3 environment.
EnvHandle NewEnvironment();
DbcHandle NewConnection(const EnvHandle& env);
StmtHandle NewStatement(const DbcHandle& dbc, const CString& source);

// An installed driver (odbcinst.ini section) and the value of its Driver= attribute (the library).
struct DriverInfo {
    CString name;
    CString library;
};
std::vector<DriverInfo> ListDrivers(const EnvHandle& env);

// A data source (user or system odbc.ini) and its driver's name as the driver manager reports it.
struct DataSourceInfo {
    CString name;
    CString driver;
};
// The data source named name (compared case-insensitively), stopping at the first match; nullopt when there is none.
std::optional<DataSourceInfo> FindDataSource(const EnvHandle& env, std::string_view name);

// An attribute of an installed driver as odbcinst.ini gives it (its Driver= library, for instance); "" when absent.
CString DriverAttribute(const CString& driver, const CString& key);

// An attribute of a data source as odbc.ini (user, else system) gives it; "" when absent.
CString DataSourceAttribute(const CString& dataSource, const CString& key);

// The attributes keys name (compared case-insensitively), each as DataSourceAttribute gives it, in the order of keys.
// The data source's attribute names are listed once and only those it sets are read: the driver manager reads the
// whole of odbc.ini again for every lookup.
std::vector<CString> DataSourceAttributes(const CString& dataSource, const std::vector<std::string_view>& keys);

} // namespace enlistor::ado::odbc
