#!/usr/bin/env bash
# Compiles one line, #include "HEADER", with the include directories a target is built with, and checks that the
# header is found (EXPECT=sees) or is not (EXPECT=hidden).
# Usage: include-probe.sh COMPILER EXPECT HEADER INCLUDE_DIR...
set -euo pipefail
compiler=$1 expect=$2 header=$3
shift 3
flags=()
for dir in "$@"; do
    flags+=("-I$dir")
done
if output=$(printf '#include "%s"\n' "$header" | "$compiler" -std=c++20 -fsyntax-only "${flags[@]}" -x c++ - 2>&1); then
    found=sees
elif grep -q "$header: No such file or directory" <<<"$output"; then
    found=hidden
else
    echo "the probe did not compile for another reason:" >&2
    echo "$output" >&2
    exit 1
fi
if [ "$found" != "$expect" ]; then
    echo "expected the target to be built so that it $expect $header, but it $found it" >&2
    exit 1
fi
