#include "registration/Registration.h"

#include "platform/data/Com.h"
#include "settings/DatabaseSettings.h"
#include "tests/support/TestSupport.h"

#include <benchmark/benchmark.h>
#include <sql.h>
#include <sqlext.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>

namespace {

namespace test = enlistor::test;

constexpr const char* kSqliteDsn = "EnlistorBenchSqlite";
constexpr const char* kPostgresDsn = "EnlistorBenchPostgres";

// The minimal raw-ODBC program: one environment and connection per registration, the same three statements with the
// same bound parameters, forward-only result sets, no error texts beyond a failure flag.
class RawRegistration {
public:
    explicit RawRegistration(std::string connectionString) : m_connectionString(std::move(connectionString)) {}

    // Returns whether a row was inserted.
    bool Run(const std::string& address) const {
        SQLHENV env = SQL_NULL_HENV;
        SQLHDBC dbc = SQL_NULL_HDBC;
        check(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env), "env");
        SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
        check(SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc), "dbc");
        SQLSetConnectAttr(dbc, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(15), 0);
        check(SQLDriverConnect(dbc, nullptr, as_sql(m_connectionString), SQL_NTS, nullptr, 0, nullptr,
                               SQL_DRIVER_NOPROMPT),
              "connect");
        bool known = false;
        for (const char* sql : {"Select ServerIP from tblRegisteredServers where ServerIP = ?",
                                "Select ServerIP from tblServers where ServerIP = ?"}) {
            SQLHSTMT stmt = SQL_NULL_HSTMT;
            check(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt), "stmt");
            bind(stmt, 1, address);
            check(SQLExecDirect(stmt, as_sql(sql), SQL_NTS), "select");
            known = known || SQLFetch(stmt) == SQL_SUCCESS;
            SQLFreeHandle(SQL_HANDLE_STMT, stmt);
        }
        if (!known) {
            char name[256] = {};
            gethostname(name, sizeof name - 1);
            const std::string computerName = std::string(name).substr(0, std::string(name).find('.'));
            SQLHSTMT stmt = SQL_NULL_HSTMT;
            check(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt), "stmt");
            bind(stmt, 1, computerName);
            bind(stmt, 2, address);
            check(SQLExecDirect(stmt,
                                as_sql("Insert into tblRegisteredServers (ServerName, ServerIP, ServerType) values "
                                       "(?, ?, 'Windows')"),
                                SQL_NTS),
                  "insert");
            SQLFreeHandle(SQL_HANDLE_STMT, stmt);
        }
        SQLDisconnect(dbc);
        SQLFreeHandle(SQL_HANDLE_DBC, dbc);
        SQLFreeHandle(SQL_HANDLE_ENV, env);
        return !known;
    }

private:
    static SQLCHAR* as_sql(const std::string& text) {
        return reinterpret_cast<SQLCHAR*>(const_cast<char*>(text.c_str()));
    }
    static void check(SQLRETURN rc, const char* what) {
        if (!SQL_SUCCEEDED(rc))
            throw std::runtime_error(std::string("raw ODBC failed: ") + what);
    }
    static void bind(SQLHSTMT stmt, SQLUSMALLINT index, const std::string& value) {
        static thread_local SQLLEN lengths[3];
        lengths[index] = static_cast<SQLLEN>(value.size());
        check(SQLBindParameter(stmt, index, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, value.size() + 1, 0,
                               const_cast<char*>(value.data()), 0, &lengths[index]),
              "bind");
    }

    std::string m_connectionString;
};

struct Database {
    std::string dsn;
    std::string databaseName; // the Database setting
    std::string user;
    std::string password;
    std::string inspect; // raw connection string for the clean-up between iterations
};

// The registry root, the ODBC configuration and both databases, for the whole run.
struct World {
    test::TempDir dir;
    std::optional<test::PostgresServer> postgres;
    std::string postgresWhy;
    Database sqlite;
    std::optional<Database> pg;
    std::string address;

    World() {
        setenv("ENLISTOR_REGISTRY", (dir.path() / "registry").c_str(), 1);
        const auto file = dir.path() / "suite.db";
        test::CreateSqliteSuiteDatabase(file);
        sqlite = {kSqliteDsn, "suite", "", "", test::SqliteConnectionString(file)};
        std::vector<test::DataSource> sources = {{kSqliteDsn, "SQLite3", {{"Database", file.string()}}}};
        postgres = test::PostgresServer::Load(&postgresWhy);
        if (postgres) {
            const std::string name = postgres->NewSuiteDatabase();
            pg = Database{kPostgresDsn, name, postgres->user, postgres->password, postgres->ConnectionString(name)};
            sources.push_back({kPostgresDsn,
                               "PostgreSQL Unicode",
                               {{"Servername", postgres->host}, {"Port", std::to_string(postgres->port)}}});
        }
        std::filesystem::create_directories(dir.path() / "odbc");
        test::UseTestOdbcConfig(dir.path() / "odbc", sources);
        address = GetLocalIPAddress();
    }
    ~World() {
        if (pg)
            postgres->DropDatabase(pg->databaseName);
    }
};

World& world() {
    static World instance;
    return instance;
}

void clear_rows(benchmark::State& state, const Database& db) {
    state.PauseTiming();
    test::RunSql(db.inspect, "DELETE FROM tblRegisteredServers");
    state.ResumeTiming();
}

const Database* database_for(benchmark::State& state, bool postgres) {
    if (!postgres)
        return &world().sqlite;
    if (!world().pg) {
        state.SkipWithError(("no PostgreSQL test server: " + world().postgresWhy).c_str());
        return nullptr;
    }
    return &*world().pg;
}

void BM_RegisterMachine(benchmark::State& state, bool postgres) {
    const Database* db = database_for(state, postgres);
    if (!db)
        return;
    if (!SaveDatabaseSettings(db->dsn, "", db->databaseName, db->user, db->password)) {
        state.SkipWithError("settings not stored");
        return;
    }
    char area[kErrorTextSize];
    for (auto _ : state) {
        clear_rows(state, *db);
        if (RegisterMachine(area) != 1 || area[0] != '\0') {
            state.SkipWithError(area);
            break;
        }
    }
}

void BM_RawOdbc(benchmark::State& state, bool postgres) {
    const Database* db = database_for(state, postgres);
    if (!db)
        return;
    std::string connectionString = "DSN=" + db->dsn + ";";
    if (postgres)
        connectionString += "DATABASE=" + db->databaseName + ";UID=" + db->user + ";PWD=" + db->password + ";";
    const RawRegistration raw(connectionString);
    for (auto _ : state) {
        clear_rows(state, *db);
        try {
            if (!raw.Run(world().address)) {
                state.SkipWithError("raw program found the address");
                break;
            }
        } catch (const std::exception& e) {
            state.SkipWithError(e.what());
            break;
        }
    }
}

BENCHMARK_CAPTURE(BM_RegisterMachine, SQLite, false)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_RawOdbc, SQLite, false)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_RegisterMachine, PostgreSQL, true)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_RawOdbc, PostgreSQL, true)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
