#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (the fuzz preset) and runs each one, starting from its saved inputs in
# fuzz/corpus/<name>/, then prints how many inputs each target executed. A crashing input is kept in
# build/fuzz/artifacts/<name>/ (save it into fuzz/corpus/<name>/ once fixed, so CTest replays it).
# Usage: scripts/run-fuzzers.sh [--runs N | --seconds S] [--no-build] [name...]
#   --seconds S  run each target for S seconds (default 30)
#   --runs N     run each target until it has executed N inputs
#   --no-build   use the targets already built (for several runs side by side)
#   name...      only these targets (default: every *_fuzzer target)
set -euo pipefail
cd "$(dirname "$0")/.."

limit=(-max_total_time=30)
build=1
names=()
while [ $# -gt 0 ]; do
    case $1 in
    --runs) limit=(-runs="$2"); shift 2 ;;
    --seconds) limit=(-max_total_time="$2"); shift 2 ;;
    --no-build) build=0; shift ;;
    [0-9]*) limit=(-max_total_time="$1"); shift ;;
    *) names+=("$1"); shift ;;
    esac
done

if [ "$build" = 1 ]; then
    cmake --preset fuzz >/dev/null
fi
if [ "${#names[@]}" -eq 0 ]; then
    # Ninja also lists CMake's internal ordering targets (cmake_object_order_depends_target_<name>): not fuzzers.
    mapfile -t names < <(ninja -C build/fuzz -t targets all | sed -n 's/^\([A-Za-z0-9_]*\)_fuzzer: .*/\1/p' |
        grep -v '^cmake_object_order_depends_target_' | sort -u)
fi
if [ "${#names[@]}" -eq 0 ]; then
    echo "no fuzz targets"
    exit 0
fi
if [ "$build" = 1 ]; then
    cmake --build build/fuzz --target "${names[@]/%/_fuzzer}"
fi

status=0
for name in "${names[@]}"; do
    exe=$(find build/fuzz -type f -name "${name}_fuzzer" -perm -u+x | head -n 1)
    if [ -z "$exe" ]; then
        echo "$name: not built" >&2
        status=1
        continue
    fi
    work=$(mktemp -d)
    artifacts="build/fuzz/artifacts/$name"
    mkdir -p "$artifacts"
    cp -r "fuzz/corpus/$name/." "$work/" 2>/dev/null || true
    log="build/fuzz/$name.log"
    started=$(date +%s)
    if "$exe" "${limit[@]}" -timeout=30 -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$artifacts/" \
        "$work" >"$log" 2>&1; then
        result=ok
    else
        result="FAILED (log: $log; inputs: $artifacts/)"
        tail -n 40 "$log"
        status=1
    fi
    executed=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    echo "$name: ${executed:-?} executions in $(($(date +%s) - started)) s, $result"
    rm -rf "$work"
done
exit "$status"
