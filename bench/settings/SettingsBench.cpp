// Cost per call of the settings store: LoadSettings and SaveSettings as the dialog makes them, and one value read.
// Reported as the median of repetitions; the save includes every fsync that makes it durable.
#include "settings/DatabaseSettings.h"
#include "settings/VLReg.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// A fresh hive under ENLISTOR_BENCH_HIVE (default: the working directory), removed at exit.
class BenchHive {
public:
    BenchHive() {
        const char* base = std::getenv("ENLISTOR_BENCH_HIVE");
        m_root = fs::path(base != nullptr ? base : ".") / ("bench-hive-" + std::to_string(::getpid()));
        fs::remove_all(m_root);
        ::setenv("ENLISTOR_REGISTRY", m_root.c_str(), 1);
        (void)SaveDatabaseSettingsValue(DatabaseSettingsValue::FromTexts("db01.example.com", "10.0.0.5",
                                                                         "SuiteDatabase", "suite_user", "a password"));
    }
    ~BenchHive() { fs::remove_all(m_root); }

private:
    fs::path m_root;
};

void prepare() {
    static BenchHive hive;
}

void BM_LoadSettings(benchmark::State& state) {
    prepare();
    DatabaseSettingsValue value;
    for (auto _ : state) {
        (void)LoadDatabaseSettingsValue(value);
        benchmark::DoNotOptimize(value.password.Text().data());
    }
}

void BM_SaveSettings(benchmark::State& state) {
    prepare();
    for (auto _ : state)
        (void)SaveDatabaseSettingsValue(DatabaseSettingsValue::FromTexts("db01.example.com", "10.0.0.5",
                                                                         "SuiteDatabase", "suite_user", "a password"));
}

void BM_ReadOneValue(benchmark::State& state) {
    prepare();
    CString value;
    for (auto _ : state) {
        CVLReg reg;
        benchmark::DoNotOptimize(reg.ReadValue(value, SettingsKeyPath(), "DatabaseServer"));
    }
}

// One durable value write (open, atomic replace with its two fsyncs, close): the floor a save is five of.
void BM_WriteOneValue(benchmark::State& state) {
    prepare();
    for (auto _ : state) {
        CVLReg reg;
        benchmark::DoNotOptimize(reg.WriteValue(SettingsKeyPath(), "DatabaseServer", "db01.example.com", REG_SZ));
    }
}

} // namespace

BENCHMARK(BM_LoadSettings)->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_SaveSettings)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_ReadOneValue)->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_WriteOneValue)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

BENCHMARK_MAIN();
