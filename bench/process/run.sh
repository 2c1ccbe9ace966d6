#!/usr/bin/env bash
# Whole processes: "enlistor check" and "enlistor register" (the machine already registered, the settings as
# stored) against a minimal raw-ODBC program doing the same connection and the two lookups (bench_process_raw), on
# SQLite and on a throw-away PostgreSQL. The three commands run interleaved (the order turned every round); each
# figure is the median wall time of a whole process, start to exit, and the ratio is ours over the raw program's.
#
#   bench/process/run.sh [BUILD_DIR] [ROUNDS]    (default build/bench, configured as Release when missing; 41)
#
# Every process gets the address with --address (the raw program as its argument): both skip the adapter list, so
# the figures compare the program's own work around the same database round trips.
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
build_dir=${1:-$source_dir/build/bench}
rounds=${2:-41}
if [ ! -f "$build_dir/CMakeCache.txt" ]; then
    cmake -S "$source_dir" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
if ! build_log=$(cmake --build "$build_dir" --target enlistor enlistor-seed-settings bench_process_raw -j2 2>&1); then
    echo "$build_log" >&2
    exit 1
fi
enlistor=$build_dir/app/enlistor
raw=$build_dir/bench/process/bench_process_raw
seed=$build_dir/app/enlistor-seed-settings

umask 077
work=$(mktemp -d /tmp/enlistor-process.XXXXXXXX)
cleanup() {
    bash "$source_dir/scripts/pg-test-server.sh" stop "$work/pg" >/dev/null 2>&1 || true
    rm -rf -- "$work"
}
trap cleanup EXIT
bash "$source_dir/scripts/pg-test-server.sh" start "$work/pg" >/dev/null
pg_env=$work/pg/postgres.env
PG_HOST=$(sed -n 's/^PG_HOST=//p' "$pg_env")
PG_PORT=$(sed -n 's/^PG_PORT=//p' "$pg_env")
PG_USER=$(sed -n 's/^PG_USER=//p' "$pg_env")
PG_PASSWORD_FILE=$(sed -n 's/^PG_PASSWORD_FILE=//p' "$pg_env")
PG_CA_FILE=$(sed -n 's/^PG_CA_FILE=//p' "$pg_env")
tables='CREATE TABLE tblServers (ServerIP varchar(64));
CREATE TABLE tblRegisteredServers (ServerName varchar(256), ServerIP varchar(64), ServerType varchar(32));'
printf '%s:%s:*:%s:%s\n' "$PG_HOST" "$PG_PORT" "$PG_USER" "$(cat "$PG_PASSWORD_FILE")" >"$work/pgpass"
PG_DATABASE=enlistor_process
psql_bench() { PGPASSFILE=$work/pgpass psql -X -q -v ON_ERROR_STOP=1 -h "$PG_HOST" -p "$PG_PORT" -U "$PG_USER" "$@"; }
psql_bench -d postgres -c "CREATE DATABASE $PG_DATABASE"
psql_bench -d "$PG_DATABASE" -c "$tables"
sqlite3 "$work/suite.db" "$tables"

cp "$source_dir/tests/support/odbcinst.ini" "$work/odbcinst.ini"
# The PostgreSQL data source verifies the test server's certificate itself, so both programs log in over the same TLS.
printf '[suite]\nDriver=SQLite3\nDatabase=%s\n[pgsuite]\nDriver=PostgreSQL Unicode\nServername=%s\nPort=%s\n' \
    "$work/suite.db" "$PG_HOST" "$PG_PORT" >"$work/odbc.ini"
printf 'SSLmode=verify-ca\npqopt=sslrootcert=%s\n' "$PG_CA_FILE" >>"$work/odbc.ini"
export ODBCSYSINI=$work ODBCINSTINI=odbcinst.ini ODBCINI=$work/odbc.ini

address=198.18.0.42
mkdir -p "$work/registry-sqlite" "$work/registry-pg"
printf 'unused' | ENLISTOR_REGISTRY=$work/registry-sqlite "$seed" suite 127.0.0.1 suite sa
ENLISTOR_REGISTRY=$work/registry-pg "$seed" pgsuite "$PG_HOST" "$PG_DATABASE" "$PG_USER" <"$PG_PASSWORD_FILE"
printf 'DSN=suite;' >"$work/raw-sqlite"
printf 'DSN=pgsuite;Database=%s;UID=%s;PWD=%s;' "$PG_DATABASE" "$PG_USER" "$(cat "$PG_PASSWORD_FILE")" >"$work/raw-pg"
for db in sqlite pg; do
    ENLISTOR_REGISTRY=$work/registry-$db "$enlistor" register --address "$address" >/dev/null
    "$raw" "$address" <"$work/raw-$db" || {
        echo "the raw program does not find the registered address in $db" >&2
        exit 1
    }
done

python3 - "$enlistor" "$raw" "$work" "$address" "$rounds" <<'PY'
import os, statistics, subprocess, sys, time
enlistor, raw, work, address, rounds = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4], int(sys.argv[5])
print(f"{'database':<12}{'command':<10}{'enlistor':>12}{'raw ODBC':>12}{'ratio':>8}")
worst = 0.0
for db, label in (("sqlite", "SQLite"), ("pg", "PostgreSQL")):
    env = dict(os.environ, ENLISTOR_REGISTRY=f"{work}/registry-{db}")
    commands = {
        "check": ([enlistor, "check", "--address", address], None),
        "register": ([enlistor, "register", "--address", address], None),
        "raw": ([raw, address], f"{work}/raw-{db}"),
    }
    times = {name: [] for name in commands}
    names = list(commands)
    for round_ in range(rounds + 2):
        order = names[round_ % 3:] + names[:round_ % 3]
        for name in order:
            argv, stdin_path = commands[name]
            with open(stdin_path or os.devnull, "rb") as stdin:
                start = time.perf_counter()
                result = subprocess.run(argv, stdin=stdin, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env)
                elapsed = time.perf_counter() - start
            if result.returncode != 0:
                sys.exit(f"{name} on {label} exited {result.returncode}: {result.stderr.decode(errors='replace')}")
            if round_ >= 2:  # the first two rounds warm the caches
                times[name].append(elapsed * 1000)
    raw_median = statistics.median(times["raw"])
    for name in ("check", "register"):
        ours = statistics.median(times[name])
        ratio = ours / raw_median
        worst = max(worst, ratio)
        print(f"{label:<12}{name:<10}{ours:>9.2f} ms{raw_median:>9.2f} ms{ratio:>8.2f}")
print(f"medians of {rounds} interleaved rounds; goal: ratio <= 1.3 (worst here {worst:.2f})")
PY
