#!/usr/bin/env bash
# The embedded default: installs what is needed, builds, prepares a SQLite demo suite database with a user DSN and
# a registry root whose settings point at it, and opens the dialog there. Press Register: this machine is entered
# into the demo database. Afterwards the rows of tblRegisteredServers are printed.
#
#   ENLISTOR_SKIP_INSTALL=1   skip scripts/install-deps.sh
#   ENLISTOR_DEMO_DIR=DIR     where the demo lives (default ${XDG_STATE_HOME:-$HOME/.local/state}/enlistor-demo)
#   ENLISTOR_BUILD_DIR=DIR    use the binaries of an existing build instead of building the dev preset
#   ENLISTOR_DEMO_PREPARE_ONLY=1  prepare the demo and print the environment to use it with, open nothing
#
# Everything the demo writes stays in that directory; the system's ODBC configuration is not touched.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$repo"

if [ "${ENLISTOR_SKIP_INSTALL:-0}" != 1 ]; then
    bash scripts/install-deps.sh
fi
if [ -n "${ENLISTOR_BUILD_DIR:-}" ]; then
    build=$ENLISTOR_BUILD_DIR # an existing build (the tests' own); nothing is built
else
    cmake --preset dev >/dev/null
    cmake --build --preset dev --target enlistor enlistor-seed-settings
    build="$repo/build/dev"
fi

demo=${ENLISTOR_DEMO_DIR:-${XDG_STATE_HOME:-$HOME/.local/state}/enlistor-demo}
mkdir -p "$demo"
chmod 0700 "$demo"
db="$demo/suite.db"
dsn=EnlistorDemo

# The suite's two tables; an existing demo database keeps its rows.
sqlite3 "$db" <<'SQL'
CREATE TABLE IF NOT EXISTS tblServers (ServerIP varchar(64));
CREATE TABLE IF NOT EXISTS tblRegisteredServers (ServerName varchar(256), ServerIP varchar(64), ServerType varchar(32));
SQL

# A private driver list (the SQLite driver, its logging off) and a user DSN naming the demo database.
cat >"$demo/odbcinst.ini" <<'INI'
[SQLite3]
Description=SQLite3 ODBC Driver
Driver=libsqlite3odbc.so
Setup=libsqlite3odbc.so
UsageCount=1
INI
cat >"$demo/user-odbc.ini" <<INI
[$dsn]
Driver=SQLite3
Description=Enlistor demo suite database
Database=$db
NoCreat=1
INI
: >"$demo/odbc.ini" # no system data sources
export ODBCSYSINI="$demo" ODBCINSTINI=odbcinst.ini ODBCINI="$demo/user-odbc.ini"

# The registry root with the five settings pointing at the DSN (the SQLite driver ignores login and password).
# The password goes through standard input, never the command line.
export ENLISTOR_REGISTRY="$demo/registry"
mkdir -p "$ENLISTOR_REGISTRY"
printf '%s' demo-password | "$build/app/enlistor-seed-settings" "$dsn" 127.0.0.1 suite demo

echo "Demo prepared in $demo"
if [ "${ENLISTOR_DEMO_PREPARE_ONLY:-0}" = 1 ]; then
    printf 'export ODBCSYSINI=%q ODBCINSTINI=odbcinst.ini ODBCINI=%q ENLISTOR_REGISTRY=%q\n' \
        "$ODBCSYSINI" "$ODBCINI" "$ENLISTOR_REGISTRY"
    exit 0
fi
echo "Opening the dialog: press Register to enter this machine into the demo database, then Cancel."
status=0
"$build/app/enlistor" || status=$?

echo
echo "Rows of tblRegisteredServers in $db:"
sqlite3 -header -column "$db" "SELECT ServerName, ServerIP, ServerType FROM tblRegisteredServers;"
echo
echo "To see them again:  sqlite3 -header -column '$db' 'SELECT * FROM tblRegisteredServers;'"
exit "$status"
