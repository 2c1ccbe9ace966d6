#!/usr/bin/env bash
# A throw-away PostgreSQL 15 for the integration tests.
#
#   pg-test-server.sh start DIR   initialise and start a server, write DIR/postgres.env
#   pg-test-server.sh stop DIR    stop the server started for DIR and remove its data
#
# The server listens on 127.0.0.1 only, on a free port, and accepts password (SCRAM) logins over TCP; its socket
# and data live in a private temporary directory. As root it runs as the unprivileged "postgres" user (runuser),
# otherwise as the calling user. It holds the suite test database with tblServers and tblRegisteredServers, owned by
# a test login that may also create databases (tests that change rows use a database of their own).
#
# The server runs with ssl=on and a self-signed test certificate made here with openssl, for the host name
# "localhost" only (so a connection to 127.0.0.1 that checks the host name is refused); non-SSL logins are accepted
# too, so data sources that set SSLmode=disable still connect.
#
# DIR/postgres.env (shell syntax, read by tests/support): PG_HOST, PG_PORT, PG_USER, PG_PASSWORD_FILE (a file, mode
# 0600, holding the password and nothing else), PG_DATABASE, PG_DATA_ROOT, PG_CA_FILE (the server's certificate,
# which is also its CA, readable by all). The password is never passed on a command line.
set -euo pipefail

usage() {
    echo "usage: $0 start|stop DIR" >&2
    exit 2
}
[ $# -eq 2 ] || usage
action=$1
dir=$2
env_file="$dir/postgres.env"

pg_bin=${ENLISTOR_PG_BIN:-}
if [ -z "$pg_bin" ]; then
    for candidate in /usr/lib/postgresql/15/bin /usr/lib/postgresql/*/bin; do
        if [ -x "$candidate/initdb" ]; then
            pg_bin=$candidate
            break
        fi
    done
fi
[ -n "$pg_bin" ] && [ -x "$pg_bin/initdb" ] || {
    echo "PostgreSQL server binaries not found (install the Debian package postgresql)" >&2
    exit 1
}

if [ "$(id -u)" -eq 0 ]; then
    run_as_server() { runuser -u postgres -- "$@"; }
    server_user=postgres
else
    run_as_server() { "$@"; }
    server_user=$(id -un)
fi

stop_server() {
    [ -f "$env_file" ] || return 0
    local data_root
    data_root=$(sed -n 's/^PG_DATA_ROOT=//p' "$env_file")
    if [ -n "$data_root" ] && [ -d "$data_root/data" ]; then
        run_as_server "$pg_bin/pg_ctl" -D "$data_root/data" -m immediate -w stop >/dev/null 2>&1 || true
    fi
    case "$data_root" in
    /tmp/enlistor-pg.*) rm -rf -- "$data_root" ;;
    esac
    rm -f -- "$env_file" "$dir/password" "$dir/server-ca.crt"
}

free_port() {
    python3 -c 'import socket
s = socket.socket()
s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])'
}

start_server() {
    mkdir -p "$dir"
    stop_server
    local data_root port password user=enlistor_test database=enlistor_suite
    data_root=$(mktemp -d /tmp/enlistor-pg.XXXXXXXX)
    chmod 0700 "$data_root"
    [ "$server_user" = "$(id -un)" ] || chown "$server_user:" "$data_root"

    # Written before the server exists so that "stop" can always clean up after a half-done start.
    umask 077
    password=$(head -c 18 /dev/urandom | base64 | tr -d '/+=')
    printf '%s' "$password" >"$dir/password"
    port=$(free_port)
    cat >"$env_file" <<ENV
PG_HOST=127.0.0.1
PG_PORT=$port
PG_USER=$user
PG_PASSWORD_FILE=$dir/password
PG_DATABASE=$database
PG_DATA_ROOT=$data_root
PG_CA_FILE=$dir/server-ca.crt
ENV
    chmod 0644 "$env_file"

    run_as_server "$pg_bin/initdb" -D "$data_root/data" -U postgres -E UTF8 --locale=C.UTF-8 \
        --auth-local=trust --auth-host=scram-sha-256 >"$data_root/initdb.log" 2>&1 || {
        cat "$data_root/initdb.log" >&2
        return 1
    }
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 30 \
        -subj "/CN=localhost/O=Enlistor test" -addext "subjectAltName=DNS:localhost" \
        -keyout "$data_root/data/server.key" -out "$data_root/data/server.crt" >"$data_root/openssl.log" 2>&1 || {
        cat "$data_root/openssl.log" >&2
        return 1
    }
    [ "$server_user" = "$(id -un)" ] || chown "$server_user:" "$data_root/data/server.key" "$data_root/data/server.crt"
    chmod 0600 "$data_root/data/server.key"
    cp "$data_root/data/server.crt" "$dir/server-ca.crt"
    chmod 0644 "$dir/server-ca.crt"
    run_as_server "$pg_bin/pg_ctl" -D "$data_root/data" -l "$data_root/server.log" -w -t 60 \
        -o "-c listen_addresses=127.0.0.1 -p $port -k $data_root -c fsync=off -c max_connections=100 -c ssl=on" \
        start >/dev/null || {
        cat "$data_root/server.log" >&2
        return 1
    }

    # The password travels on stdin, never on a command line.
    psql_admin() { run_as_server "$pg_bin/psql" -X -q -v ON_ERROR_STOP=1 -h "$data_root" -p "$port" -U postgres "$@"; }
    {
        echo "SET password_encryption = 'scram-sha-256';"
        echo "CREATE ROLE $user LOGIN CREATEDB PASSWORD '$password';"
        echo "CREATE DATABASE $database OWNER $user;"
    } | psql_admin -d postgres
    psql_admin -d "$database" <<SQL
SET ROLE $user;
CREATE TABLE tblServers (ServerIP varchar(64));
CREATE TABLE tblRegisteredServers (ServerName varchar(256), ServerIP varchar(64), ServerType varchar(32));
SQL
    echo "PostgreSQL ready on 127.0.0.1:$port (database $database, login $user)"
}

case "$action" in
start) start_server ;;
stop) stop_server ;;
*) usage ;;
esac
