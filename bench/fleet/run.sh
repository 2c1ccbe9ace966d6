#!/usr/bin/env bash
# A fleet registering at once: N simulated hosts run "enlistor register" at the same moment against one PostgreSQL.
#
#   bench/fleet/run.sh BUILD_DIR      (as root; BUILD_DIR holds app/enlistor)
#
# Each host is a network namespace made here, with a veth whose other end sits on a bridge in the server's own
# namespace; the host's address is static (198.18.0.0/15, the benchmarking range, which exists only inside these
# namespaces), so the program's own rules pick it (veth is Ethernet). Each host has its own UTS namespace (computer
# name fleet-I), registry root (ENLISTOR_REGISTRY) and ODBC data source file (ODBCINI). The server listens on the
# bridge at 198.18.0.1:5432 with max_connections sized for the largest fleet.
#
# Every host waits at a barrier (a shared flock the script holds) until all are ready, then runs
#   enlistor register --server pgsuite --ip 198.18.0.1 --database fleet_suite --login fleet --password-file FILE
# (settings stored and the row inserted, as a first boot does). Printed per N: rows, distinct addresses, failures,
# wall time (release to last exit), per-host latency p50/p99, and wall time per host; then the cost per host at
# 256 relative to 16. Hosts' files and the server's data live on a tmpfs (/dev/shm): a real fleet has a disk per
# host, the simulation would otherwise measure one shared disk. For the same reason the server runs at a higher
# priority than the hosts (nice -5; run the script itself with nice).
#
# Environment: FLEET_SIZES (default "1 16 64 256"), FLEET_ROUND_SECONDS (default 300: a round's time bound).
# Everything made here (namespaces, server, files) is removed on exit, also on failure or interrupt.
set -euo pipefail

[ $# -eq 1 ] || {
    echo "usage: $0 BUILD_DIR" >&2
    exit 2
}
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
enlistor=$(cd "$1" && pwd)/app/enlistor
[ -x "$enlistor" ] || {
    echo "$enlistor not found: build the target enlistor first" >&2
    exit 1
}
[ "$(id -u)" -eq 0 ] || {
    echo "run as root (network namespaces)" >&2
    exit 1
}
sizes=${FLEET_SIZES:-1 16 64 256}
round_seconds=${FLEET_ROUND_SECONDS:-300}
max_hosts=0
for n in $sizes; do
    [ "$n" -gt "$max_hosts" ] && max_hosts=$n
done
[ "$max_hosts" -le 1000 ] || {
    echo "at most 1000 hosts" >&2
    exit 2
}

pg_bin=
for candidate in /usr/lib/postgresql/15/bin /usr/lib/postgresql/*/bin; do
    if [ -x "$candidate/initdb" ]; then
        pg_bin=$candidate
        break
    fi
done
[ -n "$pg_bin" ] || {
    echo "PostgreSQL server binaries not found (Debian package postgresql)" >&2
    exit 1
}

tag="enlf$$"
server_ns="$tag-db"
base=/dev/shm
[ -d "$base" ] || base=/tmp
work=$(mktemp -d "$base/enlistor-fleet.XXXXXXXX")
chmod 0755 "$work"
host_pids=()

cleanup() {
    set +e
    for pid in "${host_pids[@]}"; do
        kill "$pid" 2>/dev/null
    done
    wait 2>/dev/null
    if [ -d "$work/pg/data" ]; then
        runuser -u postgres -- "$pg_bin/pg_ctl" -D "$work/pg/data" -m fast -w stop >/dev/null 2>&1
    fi
    ip netns list 2>/dev/null | awk '{print $1}' | grep "^$tag-" | while read -r ns; do
        ip netns delete "$ns"
    done
    rm -rf -- "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Host i (1-based) is 198.18.H.L with H.L = i+1 as a 16-bit number.
host_address() { echo "198.18.$((($1 + 1) / 256)).$((($1 + 1) % 256))"; }

make_network() {
    ip netns add "$server_ns"
    ip -n "$server_ns" -b - <<NET
link set lo up
link add br0 type bridge
addr add 198.18.0.1/15 dev br0
link set br0 up
NET
    {
        for ((i = 1; i <= max_hosts; i++)); do
            echo "netns add $tag-h$i"
        done
    } | ip -b -
    {
        for ((i = 1; i <= max_hosts; i++)); do
            echo "link add eth0 netns $tag-h$i type veth peer name h$i netns $server_ns"
        done
    } | ip -b -
    {
        for ((i = 1; i <= max_hosts; i++)); do
            echo "link set h$i master br0 up"
        done
    } | ip -n "$server_ns" -b -
    for ((i = 1; i <= max_hosts; i++)); do
        # No IPv6 link-local address: the rules would skip it anyway, it only slows the link's start.
        ip -n "$tag-h$i" -b - <<NET
link set lo up
link set eth0 addrgenmode none
addr add $(host_address "$i")/15 dev eth0
link set eth0 up
NET
    done
}

start_server() {
    local password
    mkdir -p "$work/pg"
    chown postgres: "$work/pg"
    chmod 0700 "$work/pg"
    runuser -u postgres -- "$pg_bin/initdb" -D "$work/pg/data" -U postgres -E UTF8 --locale=C.UTF-8 \
        --auth-local=trust --auth-host=scram-sha-256 >"$work/pg/initdb.log" 2>&1 || {
        cat "$work/pg/initdb.log" >&2
        return 1
    }
    echo "host all all 198.18.0.0/15 scram-sha-256" >>"$work/pg/data/pg_hba.conf"
    # The server runs at nice -5 whatever this script's own level: a real server has processors of its own, which
    # hundreds of simulated hosts sharing this machine's would otherwise starve past the 15 s login time limit.
    ip netns exec "$server_ns" nice -n $((-5 - $(nice))) runuser -u postgres -- "$pg_bin/pg_ctl" -D "$work/pg/data" -l "$work/pg/server.log" \
        -w -t 60 -o "-c listen_addresses=198.18.0.1 -p 5432 -k $work/pg -c fsync=off -c max_connections=$((max_hosts + 20))" \
        start >/dev/null || {
        cat "$work/pg/server.log" >&2
        return 1
    }
    umask 077
    password=$(head -c 18 /dev/urandom | base64 | tr -d '/+=')
    printf '%s\n' "$password" >"$work/password"
    umask 022
    # The password travels on stdin, never on a command line.
    {
        echo "SET password_encryption = 'scram-sha-256';"
        echo "CREATE ROLE fleet LOGIN PASSWORD '$password';"
        echo "CREATE DATABASE fleet_suite OWNER fleet;"
    } | psql_admin -d postgres
    psql_admin -d fleet_suite <<'SQL'
SET ROLE fleet;
CREATE TABLE tblServers (ServerIP varchar(64));
CREATE TABLE tblRegisteredServers (ServerName varchar(256), ServerIP varchar(64), ServerType varchar(32));
SQL
}

psql_admin() { runuser -u postgres -- "$pg_bin/psql" -X -q -v ON_ERROR_STOP=1 -h "$work/pg" -p 5432 -U postgres "$@"; }

# One host's run, inside its network and UTS namespaces: waits at the barrier, registers, writes
# "EXIT START_US END_US" to its result file.
cat >"$work/host.sh" <<'HOST'
set -u
i=$1 dir=$2 enlistor=$3
hostname "fleet-$i"
export ENLISTOR_REGISTRY=$dir/h$i/registry ODBCSYSINI=$dir/odbc ODBCINSTINI=odbcinst.ini ODBCINI=$dir/h$i/odbc.ini
: >"$dir/ready/$i"
flock -s "$dir/barrier" true
start=${EPOCHREALTIME/./}
timeout "$ROUND_SECONDS" "$enlistor" register --server pgsuite --ip 198.18.0.1 --database fleet_suite --login fleet \
    --password-file "$dir/password" >"$dir/h$i/output" 2>&1
rc=$?
end=${EPOCHREALTIME/./}
echo "$rc $start $end" >"$dir/h$i/result"
HOST

prepare_hosts() {
    mkdir -p "$work/odbc"
    cp "$source_dir/tests/support/odbcinst.ini" "$work/odbc/odbcinst.ini"
    : >"$work/odbc/odbc.ini"
    for ((i = 1; i <= max_hosts; i++)); do
        mkdir -p "$work/h$i/registry"
        chmod 0700 "$work/h$i"
        # The throw-away server speaks no TLS: the data source says so itself (the login is then reported unprotected).
        printf '[pgsuite]\nDriver=PostgreSQL Unicode\nServername=198.18.0.1\nPort=5432\nSSLmode=disable\n' \
            >"$work/h$i/odbc.ini"
    done
}

percentile() { # P, then values on stdin (one a line): the nearest-rank percentile
    sort -n | awk -v p="$1" '{v[NR] = $1} END {if (NR == 0) {print 0; exit} r = int((p * NR + 99) / 100); if (r < 1) r = 1; print v[r]}'
}

run_round() {
    local n=$1 i ready deadline release_us last_end failures rows distinct wall_ms
    psql_admin -d fleet_suite -c "TRUNCATE tblRegisteredServers" >/dev/null
    rm -rf "$work/ready"
    mkdir -p "$work/ready"
    for ((i = 1; i <= n; i++)); do
        rm -rf "$work/h$i/registry" "$work/h$i/result" "$work/h$i/output"
        mkdir -p "$work/h$i/registry"
    done
    : >"$work/barrier"
    exec 9>"$work/barrier"
    flock -x 9
    host_pids=()
    for ((i = 1; i <= n; i++)); do
        ROUND_SECONDS=$round_seconds ip netns exec "$tag-h$i" unshare --uts bash "$work/host.sh" "$i" "$work" \
            "$enlistor" &
        host_pids+=($!)
    done
    deadline=$((SECONDS + round_seconds))
    while :; do
        ready=$(find "$work/ready" -type f | wc -l)
        [ "$ready" -ge "$n" ] && break
        [ "$SECONDS" -lt "$deadline" ] || {
            echo "only $ready of $n hosts reached the barrier" >&2
            return 1
        }
        sleep 0.2
    done
    sleep 0.5 # the last ready host reaches flock
    release_us=${EPOCHREALTIME/./}
    flock -u 9
    exec 9>&-
    wait "${host_pids[@]}" || true
    host_pids=()

    failures=0
    last_end=$release_us
    : >"$work/latencies"
    for ((i = 1; i <= n; i++)); do
        if [ ! -s "$work/h$i/result" ]; then
            failures=$((failures + 1))
            continue
        fi
        read -r rc start end <"$work/h$i/result"
        [ "$rc" -eq 0 ] || {
            failures=$((failures + 1))
            [ "$failures" -gt 1 ] || sed 's/^/    host '"$i"': /' "$work/h$i/output" >&2
        }
        [ "$end" -gt "$last_end" ] && last_end=$end
        echo $(((end - start) / 1000)) >>"$work/latencies"
    done
    rows=$(psql_admin -d fleet_suite -At -c "SELECT count(*) FROM tblRegisteredServers")
    distinct=$(psql_admin -d fleet_suite -At -c "SELECT count(DISTINCT ServerIP) FROM tblRegisteredServers")
    wall_ms=$(((last_end - release_us) / 1000))
    printf '%6d %6d %9d %9d %10d %9d %9d %14.1f\n' "$n" "$rows" "$distinct" "$failures" "$wall_ms" \
        "$(percentile 50 <"$work/latencies")" "$(percentile 99 <"$work/latencies")" \
        "$(echo "$wall_ms $n" | awk '{printf "%.1f", $1 / $2}')"
    echo "$n $wall_ms" >>"$work/summary"
}

echo "setting up $max_hosts hosts..." >&2
make_network
start_server
prepare_hosts
echo "enlistor: $enlistor; $(nproc) cores; PostgreSQL on 198.18.0.1 (max_connections $((max_hosts + 20)))"
printf '%6s %6s %9s %9s %10s %9s %9s %14s\n' hosts rows addresses failures wall_ms p50_ms p99_ms wall_ms/host
: >"$work/summary"
for n in $sizes; do
    run_round "$n"
done
awk '{per[$1] = $2 / $1} END {if ((16 in per) && (256 in per) && per[16] > 0) printf "cost per host at 256 relative to 16: %.2f (goal <= 1.2)\n", per[256] / per[16]}' "$work/summary"
