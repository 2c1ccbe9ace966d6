#!/usr/bin/env bash
# Process start to dialog shown, and peak memory, for the window front end on the offscreen platform.
#   bench/app/startup.sh BUILD_DIR [RUNS]
# Each run starts the probe (the real executable's code plus a hook that reports when the dialog is first
# exposed) on an empty temporary registry root; the time counts from just before exec to the dialog's first
# expose event.
set -euo pipefail
build=${1:?usage: $0 BUILD_DIR [RUNS]}
runs=${2:-20}
probe="$build/app/enlistor_startup_probe"
registry=$(mktemp -d /tmp/enlistor-startup.XXXXXX)
trap 'rm -rf -- "$registry"' EXIT

times=()
rss=()
for _ in $(seq "$runs"); do
    start=$(date +%s%N)
    read -r _ shown kib < <(env QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$registry" ENLISTOR_REGISTRY="$registry" \
        "$probe" 2>/dev/null)
    times+=($(((shown - start) / 1000)))
    rss+=("$kib")
done
sorted=$(printf '%s\n' "${times[@]}" | sort -n)
median=$(printf '%s\n' "$sorted" | sed -n "$(((runs + 1) / 2))p")
min=$(printf '%s\n' "$sorted" | head -1)
max=$(printf '%s\n' "$sorted" | tail -1)
peak=$(printf '%s\n' "${rss[@]}" | sort -n | tail -1)
printf 'window front end (offscreen), %d runs: start to dialog shown median %.1f ms (min %.1f, max %.1f); peak RSS %d KiB\n' \
    "$runs" "$(echo "$median / 1000" | bc -l)" "$(echo "$min / 1000" | bc -l)" "$(echo "$max / 1000" | bc -l)" "$peak"
