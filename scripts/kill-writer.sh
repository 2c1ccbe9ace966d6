#!/usr/bin/env bash
# Kills a settings writer at random moments (SIGKILL) and checks after every kill that each of the five stored
# values is whole: the old generation's text or the new one's, never torn. Run by hand, not in CI (10,000 kills take
# a few minutes); the figure it prints goes into the release notes.
# Usage: scripts/kill-writer.sh [kills] [seed]    (defaults: 10000, 20240611)
# Builds settings_kill_writer in the dev build (cmake --preset dev first). The hive is a private temporary directory
# on the working directory's file system, so the writes are durable writes to a real disk.
set -euo pipefail
cd "$(dirname "$0")/.."
kills=${1:-10000}
seed=${2:-20240611}
cmake --build build/dev --target settings_kill_writer >/dev/null
hive=$(mktemp -d -p "$PWD/build" kill-writer.XXXXXX)
trap 'rm -rf "$hive"' EXIT
ENLISTOR_REGISTRY="$hive/hive" build/dev/bench/crash/settings_kill_writer "$kills" "$seed"
