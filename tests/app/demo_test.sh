#!/usr/bin/env bash
# The embedded default end to end with the real executable: scripts/demo.sh prepares the SQLite demo (no install,
# no build: the binaries of BUILD_DIR), the real binary registers this machine into it, and the row is there. Also
# checks the executable's behaviour with neither a display nor a terminal: one line on stderr, non-zero exit.
set -euo pipefail
repo=$1
build=$2
work=$(mktemp -d /tmp/enlistor-demo-test.XXXXXX)
trap 'rm -rf -- "$work"' EXIT

out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM ENLISTOR_SKIP_INSTALL=1 ENLISTOR_BUILD_DIR="$build" \
    ENLISTOR_DEMO_DIR="$work/demo" ENLISTOR_DEMO_PREPARE_ONLY=1 bash "$repo/scripts/demo.sh")
eval "$(printf '%s\n' "$out" | tail -n 1)"

# No display, no terminal: refused in one line, never a hang.
set +e
errors=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM TERM=xterm timeout 10 "$build/app/enlistor" \
    </dev/null 2>&1 >/dev/null)
status=$?
set -e
[ "$status" -ne 0 ] && [ "$status" -ne 124 ] || { echo "expected a non-zero exit without a hang, got $status"; exit 1; }
[ "$(printf '%s\n' "$errors" | wc -l)" -eq 1 ] || { echo "expected one line, got: $errors"; exit 1; }
case "$errors" in enlistor:*display*terminal*) ;; *) echo "unexpected text: $errors"; exit 1 ;; esac

# The settings the demo stored point at its DSN; registering enters this machine once.
"$build/app/enlistor" register >/dev/null
"$build/app/enlistor" register >/dev/null
rows=$(sqlite3 "$work/demo/suite.db" "SELECT count(*) FROM tblRegisteredServers;")
[ "$rows" = 1 ] || { echo "expected one row, got $rows"; exit 1; }
echo "demo ok: $(sqlite3 "$work/demo/suite.db" 'SELECT ServerName, ServerIP FROM tblRegisteredServers;')"
