#!/usr/bin/env bash
# Measures one whole registration through RegisterMachine against a minimal raw-ODBC program doing the same
# statements, on SQLite and on a throw-away PostgreSQL, and prints both figures and the ratio.
#
#   bench/registration/run.sh [BUILD_DIR]    (default: build/bench, configured as Release when missing)
set -euo pipefail

source_dir=$(cd "$(dirname "$0")/../.." && pwd)
build_dir=${1:-$source_dir/build/bench}
if [ ! -f "$build_dir/CMakeCache.txt" ]; then
    cmake -S "$source_dir" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
if ! build_log=$(cmake --build "$build_dir" --target bench_registration -j2 2>&1); then
    echo "$build_log" >&2
    exit 1
fi

# The test support library finds the server through this directory of the build tree.
pg_dir=$build_dir/tests/postgres
results=$(mktemp /tmp/enlistor-bench.XXXXXXXX)
cleanup() {
    bash "$source_dir/scripts/pg-test-server.sh" stop "$pg_dir" >/dev/null 2>&1 || true
    rm -f -- "$results"
}
trap cleanup EXIT
bash "$source_dir/scripts/pg-test-server.sh" start "$pg_dir" >/dev/null

"$build_dir/bench/registration/bench_registration" --benchmark_repetitions="${ENLISTOR_BENCH_REPETITIONS:-5}" \
    --benchmark_report_aggregates_only=true --benchmark_enable_random_interleaving=true --benchmark_out="$results" --benchmark_out_format=json

python3 - "$results" <<'PY'
import json, sys
runs = json.load(open(sys.argv[1]))["benchmarks"]
median = {r["run_name"].removesuffix("/real_time"): r["real_time"]
          for r in runs if r.get("aggregate_name") == "median"}
print()
print(f"{'database':<12}{'RegisterMachine':>18}{'raw ODBC':>12}{'ratio':>8}")
ok = True
for db in ("SQLite", "PostgreSQL"):
    ours, raw = median.get(f"BM_RegisterMachine/{db}"), median.get(f"BM_RawOdbc/{db}")
    if ours is None or raw is None:
        print(f"{db:<12}{'(not measured)':>38}")
        ok = False
        continue
    ratio = ours / raw
    print(f"{db:<12}{ours:>15.3f} ms{raw:>9.3f} ms{ratio:>8.3f}")
print("goal: ratio <= 1.10 (medians of the repetitions, wall-clock per registration)")
sys.exit(0 if ok else 1)
PY
