// The peer of the whole-process benchmark (run.sh): a minimal raw-ODBC program doing what "enlistor check" and an
// already-registered "enlistor register" do against the database: one connection, the two lookups of the address,
// no insert. The connection string comes on standard input (it holds the password), the address as the argument.
// Exits 0 when the address is known, 1 when not, 2 on an ODBC failure.
#include <sql.h>
#include <sqlext.h>

#include <cstdio>
#include <iostream>
#include <iterator>
#include <string>

namespace {

SQLCHAR* as_sql(const std::string& text) {
    return reinterpret_cast<SQLCHAR*>(const_cast<char*>(text.c_str()));
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s ADDRESS < connection-string\n", argv[0]);
        return 2;
    }
    std::string connection((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
    while (!connection.empty() && (connection.back() == '\n' || connection.back() == '\r')) {
        connection.pop_back();
    }
    const std::string address = argv[1];
    SQLHENV env = SQL_NULL_HENV;
    SQLHDBC dbc = SQL_NULL_HDBC;
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
    SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc);
    SQLSetConnectAttr(dbc, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(15), 0);
    int status = 2;
    if (SQL_SUCCEEDED(
            SQLDriverConnect(dbc, nullptr, as_sql(connection), SQL_NTS, nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT))) {
        bool known = false;
        bool failed = false;
        for (const char* sql : {"Select ServerIP from tblRegisteredServers where ServerIP = ?",
                                "Select ServerIP from tblServers where ServerIP = ?"}) {
            SQLHSTMT stmt = SQL_NULL_HSTMT;
            SQLLEN length = static_cast<SQLLEN>(address.size());
            SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt);
            SQLBindParameter(stmt, 1, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, address.size() + 1, 0,
                             const_cast<char*>(address.data()), 0, &length);
            if (SQL_SUCCEEDED(SQLExecDirect(stmt, as_sql(sql), SQL_NTS))) {
                known = known || SQLFetch(stmt) == SQL_SUCCESS;
            } else {
                failed = true;
            }
            SQLFreeHandle(SQL_HANDLE_STMT, stmt);
        }
        status = failed ? 2 : known ? 0 : 1;
        SQLDisconnect(dbc);
    }
    connection.assign(connection.size(), '\0');
    SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    SQLFreeHandle(SQL_HANDLE_ENV, env);
    return status;
}
