#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test: the format and layering checks, the plain build, the
# ASan+UBSan build and a short run of every fuzzer. Exits non-zero on the first failure.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${ENLISTOR_SKIP_INSTALL:-0}" != 1 ]; then
    bash scripts/install-deps.sh
fi

bash scripts/check-format.sh
bash scripts/check-layering.sh

jobs=$(nproc)
cmake --preset ci
cmake --build --preset ci -j "$jobs"
ctest --preset ci -j "$jobs"
bash scripts/test-package.sh build/ci

cmake --preset asan
cmake --build --preset asan -j "$jobs"
ctest --preset asan -j "$jobs"

bash scripts/run-fuzzers.sh --seconds "${ENLISTOR_FUZZ_SECONDS:-30}"
echo "all tests passed"
