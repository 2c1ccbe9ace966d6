#!/usr/bin/env bash
# Builds the Debian package with CPack, checks it with lintian (no error and no warning may be left: each one is
# fixed or overridden with its reason in cmake/packaging/lintian-overrides), installs it with dpkg -i, runs the
# installed enlistor (--version, --help, man page, bash completion, and register/check against a temporary registry
# root and a SQLite database) and removes it again with dpkg -r. Exits non-zero on the first failure.
#
#   scripts/test-package.sh [BUILD_DIR]     default build/package
#
# Needs root (or sudo) for dpkg. Refuses to run when a package named enlistor is already installed, so it never
# removes an installation it did not make.
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$(pwd)
build_dir=${1:-build/package}

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
    sudo_cmd=(sudo)
fi

fail() {
    echo "test-package: $*" >&2
    exit 1
}

status=$(dpkg-query -W -f='${db:Status-Status}' enlistor 2>/dev/null || true)
case "$status" in
"" | not-installed) ;;
*) fail "a package named enlistor is already known to dpkg ($status); remove it first (dpkg --purge enlistor)" ;;
esac

cmake -S "$source_dir" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DENLISTOR_TESTS=OFF \
    -DENLISTOR_BENCH=OFF
cmake --build "$build_dir" -j "$(nproc)"
rm -f "$build_dir"/enlistor_*.deb
(cd "$build_dir" && cpack -G DEB)
deb=$(ls "$build_dir"/enlistor_*.deb)
[ -f "$deb" ] || fail "cpack made no package"
echo "package: $deb"

# What the package declares and holds.
control=$(dpkg-deb --field "$deb")
echo "$control"
version=$(dpkg-deb --field "$deb" Version)
grep -q '^Depends:.*libodbc' <<<"$control" || fail "Depends does not name the ODBC driver manager library"
for driver in tdsodbc odbc-postgresql libsqliteodbc; do
    grep -q "^Recommends:.*$driver" <<<"$control" || fail "Recommends lacks $driver"
done
contents=$(dpkg-deb --contents "$deb")
echo "$contents"
grep -q ' ./usr/bin/enlistor$' <<<"$contents" || fail "no /usr/bin/enlistor"
grep -q ' ./usr/share/man/man1/enlistor.1.gz$' <<<"$contents" || fail "no manual page"
grep -q ' ./usr/share/enlistor/enlistor-output.schema.json$' <<<"$contents" || fail "no JSON schema"
grep -q '^drwx------ root/root .* ./var/lib/enlistor/registry/$' <<<"$contents" ||
    fail "the registry directory is not root-owned 0700"
grep -q ' ./usr/share/applications/enlistor.desktop$' <<<"$contents" || fail "no desktop entry"
grep -q ' ./usr/share/icons/hicolor/32x32/apps/enlistor.png$' <<<"$contents" || fail "no icon"
grep -q '^-rw-r--r-- root/root .* ./lib/systemd/system/enlistor-register.service$' <<<"$contents" ||
    fail "no first-boot unit"
grep -q ' ./usr/share/bash-completion/completions/enlistor$' <<<"$contents" || fail "no bash completion"
grep -q ' ./usr/share/doc/enlistor/copyright$' <<<"$contents" || fail "no copyright file"
grep -q ' ./usr/share/doc/enlistor/changelog.Debian.gz$' <<<"$contents" || fail "no changelog"

# Debian's own checks on the built package: errors and warnings fail (informational tags are shown too).
command -v lintian >/dev/null || fail "lintian is not installed (scripts/install-deps.sh installs it)"
lintian --fail-on error,warning --display-info --tag-display-limit 0 "$deb" ||
    fail "lintian reports errors or warnings (fix them, or override them with a reason)"

installed=0
work=$(mktemp -d /tmp/enlistor-package.XXXXXXXX)
cleanup() {
    rm -rf -- "$work"
    if [ "$installed" = 1 ]; then
        "${sudo_cmd[@]}" dpkg -r enlistor >/dev/null || true
    fi
}
trap cleanup EXIT

"${sudo_cmd[@]}" dpkg -i "$deb"
installed=1

# From the installed files only.
bin=/usr/bin/enlistor
[ -x "$bin" ] || fail "$bin is not installed"
[ "$(stat -c '%U %a' /var/lib/enlistor/registry)" = "root 700" ] || fail "/var/lib/enlistor/registry is not root 0700"
out=$("$bin" --version)
[ "$out" = "enlistor $(cut -d- -f1 <<<"$version")" ] || fail "--version printed '$out', package version $version"
"$bin" --help | grep -q 'Exit status' || fail "--help lacks the exit status"
completion=/usr/share/bash-completion/completions/enlistor
bash --norc --noprofile -c "source $completion && complete -p enlistor" | grep -q -- '-F _enlistor enlistor$' ||
    fail "the installed bash completion does not register for enlistor"
man -w enlistor >/dev/null 2>&1 || [ -f /usr/share/man/man1/enlistor.1.gz ] || fail "man page missing"
# The first-boot unit is shipped disabled: installing enables nothing.
! ls /etc/systemd/system/*.wants/enlistor-register.service >/dev/null 2>&1 || fail "installing enabled the unit"

# A SQLite suite database behind a data source, and a registry root of its own.
sqlite3 "$work/suite.db" 'CREATE TABLE tblServers (ServerIP varchar(64));
CREATE TABLE tblRegisteredServers (ServerName varchar(256), ServerIP varchar(64), ServerType varchar(32));'
cp "$source_dir/tests/support/odbcinst.ini" "$work/odbcinst.ini"
printf '[suite]\nDriver=SQLite3\nDatabase=%s\n' "$work/suite.db" >"$work/odbc.ini"
: >"$work/user-odbc.ini"
export ODBCSYSINI=$work ODBCINSTINI=odbcinst.ini ODBCINI=$work/user-odbc.ini
export ENLISTOR_REGISTRY=$work/registry
mkdir -p "$ENLISTOR_REGISTRY"
umask 077
printf 'package-test-pw\n' >"$work/password"

# With no settings the connection falls to the SQL Server driver with an empty server name: kept off the network.
isolated=(unshare -n)
[ "$(id -u)" -eq 0 ] || isolated=(unshare -r -n)
set +e
check_out=$("${isolated[@]}" "$bin" check --json)
check_status=$?
set -e
echo "check (no settings): status $check_status: $check_out"
python3 -c 'import json,sys; json.loads(sys.argv[1])' "$check_out" || fail "check --json is not JSON"
[ "$check_status" -ne 0 ] || fail "check succeeded without any settings"
[ -z "$(ls -A "$ENLISTOR_REGISTRY")" ] || fail "check wrote to the registry"

out=$("$bin" register --server suite --database suite --login sa --password-file "$work/password")
[ "$out" = "Server registered successfully" ] || fail "register printed '$out'"
[ "$(sqlite3 "$work/suite.db" 'select count(*) from tblRegisteredServers')" = 1 ] || fail "no row inserted"
check_out=$("$bin" check --json)
echo "check: $check_out"
python3 -c 'import json,sys; d = json.loads(sys.argv[1]); assert d["outcome"] == "already-registered", d' \
    "$check_out" || fail "check does not find the registered machine"
grep -q 'package-test-pw' <<<"$check_out" && fail "check printed the password"

"${sudo_cmd[@]}" dpkg -r enlistor
installed=0
[ ! -e "$bin" ] || fail "$bin is still there after dpkg -r"
# dpkg -r keeps the maintainer scripts until a purge: leave no trace of the test in dpkg's database.
"${sudo_cmd[@]}" dpkg --purge enlistor >/dev/null
echo "package test passed: $deb"
