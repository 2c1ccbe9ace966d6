#include "bench/registration/RawRegistration.h"

#include <sql.h>
#include <sqlext.h>
#include <unistd.h>

#include <stdexcept>

namespace {

SQLCHAR* as_sql(const std::string& text) {
    return reinterpret_cast<SQLCHAR*>(const_cast<char*>(text.c_str()));
}

void check(SQLRETURN rc, const char* what) {
    if (!SQL_SUCCEEDED(rc))
        throw std::runtime_error(std::string("raw ODBC failed: ") + what);
}

void bind(SQLHSTMT stmt, SQLUSMALLINT index, const std::string& value, SQLLEN& length) {
    length = static_cast<SQLLEN>(value.size());
    check(SQLBindParameter(stmt, index, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, value.size() + 1, 0,
                           const_cast<char*>(value.data()), 0, &length),
          "bind");
}

// The handles of one registration, freed on every path.
struct Connection {
    SQLHENV env = SQL_NULL_HENV;
    SQLHDBC dbc = SQL_NULL_HDBC;
    bool connected = false;
    ~Connection() {
        if (connected)
            SQLDisconnect(dbc);
        if (dbc != SQL_NULL_HDBC)
            SQLFreeHandle(SQL_HANDLE_DBC, dbc);
        if (env != SQL_NULL_HENV)
            SQLFreeHandle(SQL_HANDLE_ENV, env);
    }
};

struct Statement {
    SQLHSTMT stmt = SQL_NULL_HSTMT;
    ~Statement() {
        if (stmt != SQL_NULL_HSTMT)
            SQLFreeHandle(SQL_HANDLE_STMT, stmt);
    }
};

} // namespace

bool RawRegistration::Run(const std::string& address) const {
    Connection c;
    check(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &c.env), "env");
    SQLSetEnvAttr(c.env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    check(SQLAllocHandle(SQL_HANDLE_DBC, c.env, &c.dbc), "dbc");
    SQLSetConnectAttr(c.dbc, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(15), 0);
    check(
        SQLDriverConnect(c.dbc, nullptr, as_sql(m_connectionString), SQL_NTS, nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT),
        "connect");
    c.connected = true;

    bool known = false;
    for (const char* sql : {"Select ServerIP from tblRegisteredServers where ServerIP = ?",
                            "Select ServerIP from tblServers where ServerIP = ?"}) {
        Statement s;
        SQLLEN length = 0;
        check(SQLAllocHandle(SQL_HANDLE_STMT, c.dbc, &s.stmt), "stmt");
        bind(s.stmt, 1, address, length);
        check(SQLExecDirect(s.stmt, as_sql(sql), SQL_NTS), "select");
        known = known || SQLFetch(s.stmt) == SQL_SUCCESS;
    }
    if (known)
        return false;

    char name[256] = {};
    gethostname(name, sizeof name - 1);
    const std::string computerName = std::string(name).substr(0, std::string(name).find('.'));
    Statement s;
    SQLLEN lengths[2] = {};
    check(SQLAllocHandle(SQL_HANDLE_STMT, c.dbc, &s.stmt), "stmt");
    bind(s.stmt, 1, computerName, lengths[0]);
    bind(s.stmt, 2, address, lengths[1]);
    check(SQLExecDirect(
              s.stmt,
              as_sql("Insert into tblRegisteredServers (ServerName, ServerIP, ServerType) values (?, ?, 'Windows')"),
              SQL_NTS),
          "insert");
    return true;
}
