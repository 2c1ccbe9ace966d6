#include "registration/Registration.h"
#include "tests/net/NetNamespace.h"

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

namespace {

// tap<i> with the static address 10.<i/256>.<i%256>.1/24, for i below the adapter count; loopback comes on top.
std::vector<std::string> tap_adapters(int count) {
    std::vector<std::string> lines;
    for (int i = 0; i < count; ++i) {
        const std::string name = "tap" + std::to_string(i);
        lines.push_back("tuntap add dev " + name + " mode tap");
        lines.push_back("addr add 10." + std::to_string(i / 256) + "." + std::to_string(i % 256) + ".1/24 dev " + name);
    }
    return lines;
}

void BM_GetLocalIPAddress(benchmark::State& state) {
    const int adapters = static_cast<int>(state.range(0));
    std::string reason;
    auto ns = NetNamespace::Create(reason);
    if (!ns) {
        state.SkipWithError(("skipped: " + reason).c_str());
        return;
    }
    if (!ns->IpBatch(tap_adapters(adapters)) || !ns->Enter()) {
        state.SkipWithError("skipped: could not build or enter the namespace");
        return;
    }
    CString address;
    for (auto _ : state) {
        address = GetLocalIPAddress();
        benchmark::DoNotOptimize(address);
    }
    ns->Leave();
    if (address != "10.0.0.1")
        state.SkipWithError(("unexpected address " + address).c_str());
    state.SetComplexityN(adapters);
    state.counters["adapters"] = adapters;
}
BENCHMARK(BM_GetLocalIPAddress)->Arg(1)->Arg(16)->Arg(256)->Unit(benchmark::kMicrosecond)->Complexity(benchmark::oN);

} // namespace

BENCHMARK_MAIN();
