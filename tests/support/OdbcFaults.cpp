// Built with hidden visibility: the replacements below bind the test program's own calls, while the driver manager
// and the drivers it loads keep seeing only each other's symbols.
#include "tests/support/OdbcFaults.h"

#include "platform/data/OdbcApi.h"

#include <dlfcn.h>
#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

namespace enlistor::test {
namespace {

struct Armed {
    int id;
    OdbcFault fault;
    int hits = 0;
};

struct Record {
    std::string sqlState;
    int nativeError;
    std::string message;
};

std::mutex state_mutex;
std::vector<Armed> armed;
std::map<SQLHANDLE, Record> pending; // the record a failed call left on its handle
int next_id = 1;

// The fault for this call, if one is armed; counts the hit.
std::optional<OdbcFault> take(OdbcCall call, const char* statement = nullptr) {
    std::lock_guard lock(state_mutex);
    for (Armed& entry : armed) {
        if (entry.fault.call != call)
            continue;
        const std::string& prefix = entry.fault.statementPrefix;
        if (statement != nullptr && !prefix.empty() &&
            (std::strlen(statement) < prefix.size() || strncasecmp(statement, prefix.c_str(), prefix.size()) != 0))
            continue;
        ++entry.hits;
        return entry.fault;
    }
    return std::nullopt;
}

SQLRETURN fail(SQLHANDLE handle, const OdbcFault& fault) {
    std::lock_guard lock(state_mutex);
    if (handle != SQL_NULL_HANDLE)
        pending[handle] = Record{fault.sqlState, fault.nativeError, fault.message};
    return SQL_ERROR;
}

void forget(SQLHANDLE handle) {
    std::lock_guard lock(state_mutex);
    pending.erase(handle);
}

template <typename Function>
Function real(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

} // namespace

ScopedOdbcFault::ScopedOdbcFault(OdbcFault fault) {
    std::lock_guard lock(state_mutex);
    m_id = next_id++;
    armed.push_back(Armed{m_id, std::move(fault)});
}

ScopedOdbcFault::~ScopedOdbcFault() {
    std::lock_guard lock(state_mutex);
    armed.erase(std::remove_if(armed.begin(), armed.end(), [&](const Armed& a) { return a.id == m_id; }), armed.end());
}

int ScopedOdbcFault::hits() const {
    std::lock_guard lock(state_mutex);
    for (const Armed& entry : armed)
        if (entry.id == m_id)
            return entry.hits;
    return 0;
}

} // namespace enlistor::test

using enlistor::test::OdbcCall;

extern "C" {

SQLRETURN SQL_API SQLAllocHandle(SQLSMALLINT type, SQLHANDLE input, SQLHANDLE* output) {
    static const auto next = enlistor::test::real<SQLRETURN (*)(SQLSMALLINT, SQLHANDLE, SQLHANDLE*)>("SQLAllocHandle");
    if (type == SQL_HANDLE_ENV && enlistor::test::take(OdbcCall::AllocEnvironment)) {
        if (output != nullptr)
            *output = SQL_NULL_HANDLE;
        return SQL_ERROR;
    }
    return next(type, input, output);
}

SQLRETURN SQL_API SQLFreeHandle(SQLSMALLINT type, SQLHANDLE handle) {
    static const auto next = enlistor::test::real<SQLRETURN (*)(SQLSMALLINT, SQLHANDLE)>("SQLFreeHandle");
    enlistor::test::forget(handle);
    return next(type, handle);
}

SQLRETURN SQL_API SQLExecDirect(SQLHSTMT stmt, SQLCHAR* text, SQLINTEGER length) {
    static const auto next = enlistor::test::real<SQLRETURN (*)(SQLHSTMT, SQLCHAR*, SQLINTEGER)>("SQLExecDirect");
    const std::string statement = length == SQL_NTS ? std::string(reinterpret_cast<const char*>(text))
                                                    : std::string(reinterpret_cast<const char*>(text), length);
    if (auto fault = enlistor::test::take(OdbcCall::ExecDirect, statement.c_str()))
        return enlistor::test::fail(stmt, *fault);
    enlistor::test::forget(stmt);
    return next(stmt, text, length);
}

// The wide form the data objects call; the statements are ASCII, so each unit is one character.
SQLRETURN SQL_API SQLExecDirectW(SQLHSTMT stmt, SQLWCHAR* text, SQLINTEGER length) {
    static const auto next = enlistor::test::real<SQLRETURN (*)(SQLHSTMT, SQLWCHAR*, SQLINTEGER)>("SQLExecDirectW");
    std::string statement;
    for (SQLINTEGER i = 0; length == SQL_NTS ? text[i] != 0 : i < length; ++i)
        statement += static_cast<char>(text[i] < 0x80 ? text[i] : '?');
    if (auto fault = enlistor::test::take(OdbcCall::ExecDirect, statement.c_str()))
        return enlistor::test::fail(stmt, *fault);
    enlistor::test::forget(stmt);
    return next(stmt, text, length);
}

SQLRETURN SQL_API SQLDisconnect(SQLHDBC dbc) {
    static const auto next = enlistor::test::real<SQLRETURN (*)(SQLHDBC)>("SQLDisconnect");
    if (auto fault = enlistor::test::take(OdbcCall::Disconnect)) {
        // The connection is still taken down, so that the handle can be freed; only the result says it failed.
        (void)next(dbc);
        return enlistor::test::fail(dbc, *fault);
    }
    enlistor::test::forget(dbc);
    return next(dbc);
}

SQLRETURN SQL_API SQLGetDiagRec(SQLSMALLINT type, SQLHANDLE handle, SQLSMALLINT index, SQLCHAR* state,
                                SQLINTEGER* native, SQLCHAR* message, SQLSMALLINT capacity, SQLSMALLINT* length) {
    static const auto next =
        enlistor::test::real<SQLRETURN (*)(SQLSMALLINT, SQLHANDLE, SQLSMALLINT, SQLCHAR*, SQLINTEGER*, SQLCHAR*,
                                           SQLSMALLINT, SQLSMALLINT*)>("SQLGetDiagRec");
    std::optional<enlistor::test::Record> record;
    {
        std::lock_guard lock(enlistor::test::state_mutex);
        if (auto found = enlistor::test::pending.find(handle); found != enlistor::test::pending.end())
            record = found->second;
    }
    if (!record)
        return next(type, handle, index, state, native, message, capacity, length);
    if (index != 1)
        return SQL_NO_DATA;
    if (state != nullptr)
        std::snprintf(reinterpret_cast<char*>(state), 6, "%s", record->sqlState.c_str());
    if (native != nullptr)
        *native = record->nativeError;
    if (length != nullptr)
        *length = static_cast<SQLSMALLINT>(record->message.size());
    if (message != nullptr && capacity > 0)
        std::snprintf(reinterpret_cast<char*>(message), static_cast<std::size_t>(capacity), "%s",
                      record->message.c_str());
    return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLGetDiagRecW(SQLSMALLINT type, SQLHANDLE handle, SQLSMALLINT index, SQLWCHAR* state,
                                 SQLINTEGER* native, SQLWCHAR* message, SQLSMALLINT capacity, SQLSMALLINT* length) {
    static const auto next =
        enlistor::test::real<SQLRETURN (*)(SQLSMALLINT, SQLHANDLE, SQLSMALLINT, SQLWCHAR*, SQLINTEGER*, SQLWCHAR*,
                                           SQLSMALLINT, SQLSMALLINT*)>("SQLGetDiagRecW");
    std::optional<enlistor::test::Record> record;
    {
        std::lock_guard lock(enlistor::test::state_mutex);
        if (auto found = enlistor::test::pending.find(handle); found != enlistor::test::pending.end())
            record = found->second;
    }
    if (!record)
        return next(type, handle, index, state, native, message, capacity, length);
    if (index != 1)
        return SQL_NO_DATA;
    // The injected texts are ASCII: each character is one UTF-16 unit.
    auto copy = [](const std::string& text, SQLWCHAR* to, std::size_t room) {
        std::size_t i = 0;
        for (; i + 1 < room && i < text.size(); ++i)
            to[i] = static_cast<unsigned char>(text[i]);
        if (room > 0)
            to[i] = 0;
    };
    if (state != nullptr)
        copy(record->sqlState, state, 6);
    if (native != nullptr)
        *native = record->nativeError;
    if (length != nullptr)
        *length = static_cast<SQLSMALLINT>(record->message.size());
    if (message != nullptr && capacity > 0)
        copy(record->message, message, static_cast<std::size_t>(capacity));
    return SQL_SUCCESS;
}

} // extern "C"
