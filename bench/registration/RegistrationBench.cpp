#include "registration/Registration.h"

#include "bench/registration/RawRegistration.h"
#include "platform/data/Com.h"
#include "settings/DatabaseSettings.h"
#include "tests/support/TestSupport.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>

using namespace enlistor::test;

namespace {

constexpr const char* kSqliteDsn = "EnlistorBenchSqlite";
constexpr const char* kPostgresDsn = "EnlistorBenchPostgres";

struct Database {
    std::string dsn;
    std::string databaseName; // the Database setting
    std::string user;
    std::string password;
    std::string inspect; // raw connection string for the clean-up between iterations
};

// The registry root, the ODBC configuration and both databases, for the whole run.
struct World {
    TempDir dir;
    std::optional<PostgresServer> postgres;
    std::string postgresWhy;
    Database sqlite;
    std::optional<Database> pg;
    std::string address;

    World() {
        setenv("ENLISTOR_REGISTRY", (dir.path() / "registry").c_str(), 1);
        const auto file = dir.path() / "suite.db";
        std::vector<DataSource> sources = {{kSqliteDsn, "SQLite3", {{"Database", file.string()}}}};
        postgres = PostgresServer::Load(&postgresWhy);
        if (postgres)
            sources.push_back({kPostgresDsn, "PostgreSQL Unicode", postgres->DataSourceAttributes()});
        // Before the first ODBC call of the process: the driver manager reads its configuration once.
        std::filesystem::create_directories(dir.path() / "odbc");
        UseTestOdbcConfig(dir.path() / "odbc", sources);

        CreateSqliteSuiteDatabase(file);
        sqlite = {kSqliteDsn, "suite", "", "", SqliteConnectionString(file)};
        if (postgres) {
            const std::string name = postgres->NewSuiteDatabase();
            pg = Database{kPostgresDsn, name, postgres->user, postgres->password, postgres->ConnectionString(name)};
        }
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
    RunSql(db.inspect, "DELETE FROM tblRegisteredServers");
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
    if (!SaveDatabaseSettingsValue(
            DatabaseSettingsValue::FromTexts(db->dsn, "", db->databaseName, db->user, db->password))) {
        state.SkipWithError("settings not stored");
        return;
    }
    char area[kErrorTextSize];
    for (auto _ : state) {
        clear_rows(state, *db);
        const RegistrationOutcome outcome = RegisterMachineDetailed();
        CopyErrorText(outcome.errorText, area, sizeof area);
        if (outcome.result != 1 || area[0] != '\0') {
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

// The parts of RegisterMachine's own overhead beyond the statements: where the difference to raw ODBC goes.
void BM_GetConnectionString(benchmark::State& state) {
    world();
    if (!SaveDatabaseSettingsValue(DatabaseSettingsValue::FromTexts(kSqliteDsn, "", "suite", "sa", "secret"))) {
        state.SkipWithError("settings not stored");
        return;
    }
    for (auto _ : state)
        benchmark::DoNotOptimize(GetConnectionString());
}

void BM_GetLocalIPAddress(benchmark::State& state) {
    for (auto _ : state)
        benchmark::DoNotOptimize(GetLocalIPAddress());
}

BENCHMARK(BM_GetConnectionString)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GetLocalIPAddress)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_RegisterMachine, SQLite, false)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_RawOdbc, SQLite, false)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_RegisterMachine, PostgreSQL, true)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_RawOdbc, PostgreSQL, true)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
