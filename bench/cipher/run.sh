#!/usr/bin/env bash
# Runs bench_cipher twice, once as the machine is and once with AES-NI hidden from OpenSSL, and prints ns/byte of
# every block benchmark with the ratios the cipher is held to: our 32/32 throughput against libmcrypt's
# rijndael-256 (goal: at least 1.5x) and our 16-byte blocks against OpenSSL's AES-ECB without AES-NI (goal: our time
# at most 1.3x OpenSSL's).
# Usage: bench/cipher/run.sh [path/to/bench_cipher] [repetitions]
# Build it first: cmake -S . -B build/cipher-rel -G Ninja -DCMAKE_BUILD_TYPE=Release && \
#                 cmake --build build/cipher-rel --target bench_cipher
set -euo pipefail
cd "$(dirname "$0")/../.."
binary=${1:-build/cipher-rel/bench/cipher/bench_cipher}
repetitions=${2:-5}
if [ ! -x "$binary" ]; then
    echo "no benchmark binary at $binary (build the bench_cipher target in a Release build first)" >&2
    exit 1
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

common=(--benchmark_min_time=0.2 --benchmark_repetitions="$repetitions" --benchmark_enable_random_interleaving=true
        --benchmark_report_aggregates_only=true --benchmark_format=json)
"$binary" "${common[@]}" --benchmark_out="$work/aesni.json" >/dev/null
# Bits 57 (AES-NI) and 33 (PCLMULQDQ) of OpenSSL's capability vector cleared: its software AES is used instead.
OPENSSL_ia32cap="~0x200000200000000" "$binary" "${common[@]}" \
    --benchmark_filter='OpenSSL|Rijndael(En|De)crypt/key:(16|32)/block:16' --benchmark_out="$work/soft.json" >/dev/null

python3 - "$work/aesni.json" "$work/soft.json" <<'PY'
import json, sys

def medians(path):
    result = {}
    for b in json.load(open(path))["benchmarks"]:
        if b.get("aggregate_name") != "median":
            continue
        name = b["run_name"]
        if "bytes_per_second" in b:
            result[name] = ("ns/byte", 1e9 / b["bytes_per_second"])
        else:
            scale = {"ns": 1, "us": 1e3, "ms": 1e6}[b["time_unit"]]
            result[name] = ("ns/call", b["cpu_time"] * scale)
    return result

aesni, soft = medians(sys.argv[1]), medians(sys.argv[2])
print("%-44s %10s %12s" % ("benchmark (median CPU time)", "value", "unit"))
for name, (unit, value) in sorted(aesni.items()):
    print("%-44s %10.3f %12s" % (name, value, unit))
for name, (unit, value) in sorted(soft.items()):
    if name.startswith("BM_OpenSSL"):
        print("%-44s %10.3f %12s" % (name + " [no AES-NI]", value, unit))

def ratio(label, ours, peer, goal):
    print("%-60s %6.2f   (%s)" % (label, peer / ours, goal))

print()
print("throughput ratios (peer ns/byte / our ns/byte; above 1 means we are faster)")
for op in ("Encrypt", "Decrypt"):
    ours = aesni["BM_Rijndael%s/key:32/block:32" % op][1]
    ratio("32/32 %s vs libmcrypt rijndael-256" % op.lower(), ours, aesni["BM_McryptRijndael256%s" % op][1],
          "goal >= 1.50")
for op in ("Encrypt", "Decrypt"):
    for key in (16, 32):
        ours = soft["BM_Rijndael%s/key:%d/block:16" % (op, key)][1]
        ratio("key %d/block 16 %s vs OpenSSL AES-%d-ECB, no AES-NI" % (key, op.lower(), key * 8), ours,
              soft["BM_OpenSSL%s/key:%d" % (op, key)][1], "goal >= 1/1.3 = 0.77")
        ours = aesni["BM_Rijndael%s/key:%d/block:16" % (op, key)][1]
        ratio("key %d/block 16 %s vs OpenSSL AES-%d-ECB, AES-NI" % (key, op.lower(), key * 8), ours,
              aesni["BM_OpenSSL%s/key:%d" % (op, key)][1], "for information")
PY
