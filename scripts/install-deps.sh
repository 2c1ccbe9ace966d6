#!/usr/bin/env bash
# Installs every Debian 12 package that building, running and testing Enlistor needs.
set -euo pipefail

packages=(
    # build
    build-essential cmake ninja-build pkg-config git file dpkg-dev
    clang libclang-rt-14-dev clang-format
    libgtest-dev libgmock-dev libbenchmark-dev
    # the utility's own dependencies
    unixodbc unixodbc-dev libmnl-dev qt6-base-dev libnewt-dev fonts-dejavu-core
    # header-only: the command line's argument parser and JSON writer
    libcli11-dev nlohmann-json3-dev
    # ODBC drivers: SQLite (the demo database), PostgreSQL, SQL Server through FreeTDS
    libsqliteodbc odbc-postgresql tdsodbc sqlite3
    # peers measured by the benchmarks
    libssl-dev libmcrypt-dev
    # tests: database server, namespaces, privilege drops, front ends
    postgresql iproute2 util-linux procps tmux xvfb xauth python3 hostname
    # the --json outputs checked against the shipped schema
    python3-jsonschema
    # the package's checks (scripts/test-package.sh) and the shell completion it ships
    lintian bash-completion
    # the RPM packages' build and checks (cpack -G RPM, rpmlint), the window module's display probe
    rpm rpmlint libxcb1-dev
    # the first-boot unit (systemd-analyze verify), the Ansible module's playbook test
    systemd ansible
    # the collection's sanity checks offline (contrib/ansible/tests/sanity.sh)
    yamllint pycodestyle python3-voluptuous
)

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
    sudo_cmd=(sudo)
fi

export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -q
"${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${packages[@]}"
