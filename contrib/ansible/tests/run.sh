#!/usr/bin/env bash
# The module against a real enlistor and the PostgreSQL test server: ansible-playbook -vvv with a local connection
# runs postgres.yml (check mode, present twice, check mode for absent, absent twice, a wrong password), then the
# output is searched for both passwords.
#
#   ENLISTOR_BINARY  the program to run (the build's enlistor)
#   PG_ENV           the env file of scripts/pg-test-server.sh (PG_HOST, PG_PORT, PG_USER, PG_PASSWORD_FILE)
#
# The test makes a database of its own (dropped on exit), a registry root and an ODBC data source "pgsuite".
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../../.." && pwd)
: "${ENLISTOR_BINARY:?set ENLISTOR_BINARY to the enlistor program}" "${PG_ENV:?set PG_ENV to the env file of the test server}"
command -v ansible-playbook >/dev/null || {
    echo "ansible-playbook not found: install the Debian package ansible" >&2
    exit 1
}
[ -f "$PG_ENV" ] || {
    echo "no PostgreSQL test server ($PG_ENV missing)" >&2
    exit 1
}
PG_HOST=$(sed -n 's/^PG_HOST=//p' "$PG_ENV")
PG_CA_FILE=$(sed -n 's/^PG_CA_FILE=//p' "$PG_ENV")
PG_PORT=$(sed -n 's/^PG_PORT=//p' "$PG_ENV")
PG_USER=$(sed -n 's/^PG_USER=//p' "$PG_ENV")
PG_PASSWORD_FILE=$(sed -n 's/^PG_PASSWORD_FILE=//p' "$PG_ENV")

umask 077
work=$(mktemp -d)
database="enlistor_ansible_$(head -c 6 /dev/urandom | od -An -tx1 | tr -d ' \n')"
psql_test() { PGPASSFILE="$work/pgpass" psql -X -q -v ON_ERROR_STOP=1 -h "$PG_HOST" -p "$PG_PORT" -U "$PG_USER" "$@"; }
cleanup() {
    psql_test -d postgres -c "DROP DATABASE IF EXISTS $database" >/dev/null 2>&1 || true
    rm -rf -- "$work"
}
trap cleanup EXIT

password=$(cat "$PG_PASSWORD_FILE")
wrong="Wrong-pw-$(head -c 9 /dev/urandom | base64 | tr -d '/+=')"
printf '%s:%s:*:%s:%s\n' "$PG_HOST" "$PG_PORT" "$PG_USER" "$password" >"$work/pgpass"
printf 'password: "%s"\nwrong_password: "%s"\n' "$password" "$wrong" >"$work/secret.yml"
psql_test -d postgres -c "CREATE DATABASE $database"
psql_test -d "$database" <<'SQL'
CREATE TABLE tblServers (ServerIP varchar(64));
CREATE TABLE tblRegisteredServers (ServerName varchar(256), ServerIP varchar(64), ServerType varchar(32));
SQL

mkdir -p "$work/registry" "$work/odbc"
cp "$source_dir/tests/support/odbcinst.ini" "$work/odbc/odbcinst.ini"
printf '[pgsuite]\nDriver=PostgreSQL Unicode\nServername=%s\nPort=%s\nSSLmode=verify-ca\npqopt=sslrootcert=%s\n' "$PG_HOST" "$PG_PORT" "$PG_CA_FILE" >"$work/odbc/odbc.ini"
: >"$work/odbc/user-odbc.ini"

# The module finds the program on PATH, as it finds /usr/bin/enlistor on a managed machine.
export PATH="$(dirname "$ENLISTOR_BINARY"):$PATH"
export ANSIBLE_COLLECTIONS_PATH="$here/.." ANSIBLE_LOCAL_TEMP="$work/ansible-tmp" ANSIBLE_REMOTE_TEMP="$work/ansible-remote-tmp"
export ANSIBLE_HOME="$work/ansible-home" ANSIBLE_NO_TARGET_SYSLOG=1
export ANSIBLE_NOCOLOR=1 ANSIBLE_RETRY_FILES_ENABLED=0 ANSIBLE_LOCALHOST_WARNING=0 ANSIBLE_INVENTORY_UNPARSED_WARNING=0
status=0
ansible-playbook -vvv -i localhost, "$here/postgres.yml" -e "secret_file=$work/secret.yml" \
    -e "registry=$work/registry" -e "odbc_dir=$work/odbc" -e "pgpass=$work/pgpass" -e "pg_host=$PG_HOST" \
    -e "pg_port=$PG_PORT" -e "pg_user=$PG_USER" -e "pg_database=$database" >"$work/output.txt" 2>&1 || status=$?
leaked=0
for secret in "$password" "$wrong"; do
    if grep -F -- "$secret" "$work/output.txt" >/dev/null; then
        leaked=1
    fi
done
if [ "$status" -ne 0 ]; then
    # The output shown is the same that was just searched; a password in it is not printed again.
    [ "$leaked" -eq 1 ] || cat "$work/output.txt" >&2
    echo "ansible-playbook failed ($status)" >&2
    exit 1
fi
if [ "$leaked" -eq 1 ]; then
    echo "a password shows in the -vvv output" >&2
    exit 1
fi
grep -E '^localhost ' "$work/output.txt" | tail -1
echo "no password in $(wc -l <"$work/output.txt") lines of -vvv output"
