#!/usr/bin/env bash
# Builds every libFuzzer target with clang and runs each for a fixed time, starting from its saved inputs.
# Usage: scripts/run-fuzzers.sh [seconds-per-target]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
cmake --preset fuzz >/dev/null
mapfile -t targets < <(ninja -C build/fuzz -t targets all | grep -v "^cmake_" |
    sed -n 's/^\([A-Za-z0-9_]*_fuzzer\): .*/\1/p' | sort -u)
if [ "${#targets[@]}" -eq 0 ]; then
    echo "no fuzz targets"
    exit 0
fi
cmake --build build/fuzz --target "${targets[@]}"
for target in "${targets[@]}"; do
    name=${target%_fuzzer}
    work=$(mktemp -d)
    cp -r "fuzz/corpus/$name/." "$work/" 2>/dev/null || true
    echo "fuzzing $name for ${seconds}s"
    exe=$(find build/fuzz -type f -name "$target" -perm -u+x | head -n 1)
    "$exe" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 "$work" \
        >"build/fuzz/$name.log" 2>&1 || { tail -n 40 "build/fuzz/$name.log"; exit 1; }
    tail -n 3 "build/fuzz/$name.log"
    rm -rf "$work"
done
