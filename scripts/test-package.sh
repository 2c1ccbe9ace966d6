#!/usr/bin/env bash
# Builds the two Debian packages (enlistor, enlistor-gui) and the same two RPMs with CPack from one build, and checks
# them:
#   - what each declares and holds (enlistor depends on no Qt library; enlistor-gui on exactly this enlistor), and
#     the hardening of the binaries (RELRO, BIND_NOW, PIE, stack protector, _FORTIFY_SOURCE);
#   - lintian --pedantic: no error, warning or pedantic tag may be left (each one is fixed or overridden with its
#     reason in cmake/packaging/lintian-overrides*);
#   - enlistor installed alone with dpkg -i: --version, --help, man page, bash completion, the terminal dialog in a
#     tmux terminal with an unreachable display set, register/check against a temporary registry root and a SQLite
#     database, the post-installation script with a symbolic link in /var/lib/enlistor; then enlistor-gui added
#     (the window module loads and finds its libraries); both removed and purged;
#   - the RPMs: rpmlint without errors, requirements by soname, no system directory owned, the maintainer scripts,
#     and an install into a scratch root (rpm --root --nodeps --noscripts: no RPM system here).
# Exits non-zero on the first failure.
#
#   scripts/test-package.sh [BUILD_DIR]     default build/package
#
# Needs root (or sudo) for dpkg. Refuses to run when a package named enlistor or enlistor-gui is already installed,
# so it never removes an installation it did not make.
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

for package in enlistor enlistor-gui; do
    status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)
    case "$status" in
    "" | not-installed) ;;
    *) fail "a package named $package is already known to dpkg ($status); remove it first (dpkg --purge $package)" ;;
    esac
done

cmake -S "$source_dir" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DENLISTOR_TESTS=OFF \
    -DENLISTOR_BENCH=OFF
cmake --build "$build_dir" -j "$(nproc)"
rm -f "$build_dir"/enlistor*.deb "$build_dir"/enlistor*.rpm
(cd "$build_dir" && cpack -G DEB)
deb=$(ls "$build_dir"/enlistor_*.deb)
gui_deb=$(ls "$build_dir"/enlistor-gui_*.deb)
[ -f "$deb" ] && [ -f "$gui_deb" ] || fail "cpack did not make both packages"
echo "packages: $deb $gui_deb"

# What the packages declare and hold.
control=$(dpkg-deb --field "$deb")
echo "$control"
version=$(dpkg-deb --field "$deb" Version)
grep -q '^Depends:.*libodbc' <<<"$control" || fail "Depends does not name the ODBC driver manager library"
for library in libssl libnewt libslang; do # loaded at run time: named by the packaging, not found by dpkg-shlibdeps
    grep -q "^Depends:.*$library" <<<"$control" || fail "Depends does not name $library"
done
! grep -qi 'qt' <<<"$(dpkg-deb --field "$deb" Depends)" || fail "enlistor depends on Qt: $(dpkg-deb --field "$deb" Depends)"
[ "$(dpkg-deb --field "$deb" Recommends)" = tdsodbc ] || fail "Recommends is not the SQL Server driver alone"
[ "$(dpkg-deb --field "$deb" Suggests)" = "enlistor-gui, odbc-postgresql, libsqliteodbc" ] ||
    fail "enlistor does not suggest the window and the other drivers"
gui_control=$(dpkg-deb --field "$gui_deb")
echo "$gui_control"
grep -q "^Depends:.*enlistor (= $version)" <<<"$gui_control" || fail "enlistor-gui does not depend on enlistor $version"
grep -q '^Depends:.*libqt6widgets6' <<<"$gui_control" || fail "enlistor-gui does not depend on Qt Widgets"
contents=$(dpkg-deb --contents "$deb")
echo "$contents"
grep -q ' ./usr/bin/enlistor$' <<<"$contents" || fail "no /usr/bin/enlistor"
grep -q ' ./usr/share/man/man1/enlistor.1.gz$' <<<"$contents" || fail "no manual page"
grep -q ' ./usr/share/enlistor/enlistor-output.schema.json$' <<<"$contents" || fail "no JSON schema"
grep -q '^drwx------ root/root .* ./var/lib/enlistor/registry/$' <<<"$contents" ||
    fail "the registry directory is not root-owned 0700"
grep -q '^-rw-r--r-- root/root .* ./usr/lib/systemd/system/enlistor-register.service$' <<<"$contents" ||
    fail "no first-boot unit"
grep -q ' ./usr/share/bash-completion/completions/enlistor$' <<<"$contents" || fail "no bash completion"
grep -q ' ./usr/share/doc/enlistor/copyright$' <<<"$contents" || fail "no copyright file"
grep -q ' ./usr/share/doc/enlistor/changelog.Debian.gz$' <<<"$contents" || fail "no changelog"
! grep -q 'enlistor-window\|applications/\|icons/' <<<"$contents" || fail "enlistor holds the window's files"
gui_contents=$(dpkg-deb --contents "$gui_deb")
echo "$gui_contents"
grep -q ' ./usr/lib/enlistor/window/enlistor-window.so$' <<<"$gui_contents" || fail "no window module"
grep -q ' ./usr/share/applications/enlistor.desktop$' <<<"$gui_contents" || fail "no desktop entry"
grep -q ' ./usr/share/icons/hicolor/32x32/apps/enlistor.png$' <<<"$gui_contents" || fail "no icon"
grep -q ' ./usr/share/doc/enlistor-gui/copyright$' <<<"$gui_contents" || fail "no copyright file in enlistor-gui"

# Hardening of what is shipped, as dpkg-buildflags' hardening=+all gives it.
# (Each readelf output is read whole first: grep -q ending a pipe early would fail it under pipefail.)
for binary in "$build_dir/app/enlistor" "$build_dir/lib/enlistor/window/enlistor-window.so"; do
    headers=$(readelf -lW "$binary")
    dynamic=$(readelf -dW "$binary")
    grep -q GNU_RELRO <<<"$headers" || fail "$binary: no RELRO"
    grep -q 'FLAGS.*BIND_NOW' <<<"$dynamic" || fail "$binary: no BIND_NOW"
    grep -q 'Type:.*DYN' <<<"$(readelf -hW "$binary")" || fail "$binary: not position-independent"
    grep -q '__stack_chk_fail' <<<"$(readelf --dyn-syms -W "$binary")" || fail "$binary: no stack protector"
done
# The module calls no C library function whose size _FORTIFY_SOURCE could check; the program does.
grep -q '__[a-z0-9_]*_chk@' <<<"$(readelf --dyn-syms -W "$build_dir/app/enlistor")" ||
    fail "the program: no fortified functions"

# Debian's own checks on the built packages, pedantic tags included: errors, warnings and pedantic tags fail
# (informational tags are shown too).
command -v lintian >/dev/null || fail "lintian is not installed (scripts/install-deps.sh installs it)"
lintian_out=$(lintian --pedantic --fail-on error,warning,pedantic --display-info --tag-display-limit 0 "$deb" \
    "$gui_deb" 2>&1) || {
    echo "$lintian_out"
    fail "lintian reports errors, warnings or pedantic tags (fix them, or override them with a reason)"
}
echo "$lintian_out"
! grep -q 'hardening-' <<<"$lintian_out" || fail "lintian finds binaries without hardening"

installed=()
work=$(mktemp -d /tmp/enlistor-package.XXXXXXXX)
tmux_socket=enlistor-package-$$
cleanup() {
    tmux -L "$tmux_socket" kill-server 2>/dev/null || true
    rm -rf -- "$work"
    if [ "${#installed[@]}" -gt 0 ]; then
        "${sudo_cmd[@]}" dpkg --purge "${installed[@]}" >/dev/null || true
    fi
}
trap cleanup EXIT

"${sudo_cmd[@]}" dpkg -i "$deb"
installed=(enlistor)

# From the installed files only, enlistor without its window.
bin=/usr/bin/enlistor
[ -x "$bin" ] || fail "$bin is not installed"
[ "$(stat -c '%U %a' /var/lib/enlistor/registry)" = "root 700" ] || fail "/var/lib/enlistor/registry is not root 0700"
out=$("$bin" --version)
[ "$out" = "enlistor $(cut -d- -f1 <<<"$version")" ] || fail "--version printed '$out', package version $version"
# Read whole before matching: grep -q leaving a pipe early would end the writer with SIGPIPE (and pipefail fail it).
help=$("$bin" --help)
grep -q 'Exit status' <<<"$help" || fail "--help lacks the exit status"
completion=/usr/share/bash-completion/completions/enlistor
grep -q -- '-F _enlistor enlistor$' <<<"$(bash --norc --noprofile -c "source $completion && complete -p enlistor")" ||
    fail "the installed bash completion does not register for enlistor"
man -w enlistor >/dev/null 2>&1 || [ -f /usr/share/man/man1/enlistor.1.gz ] || fail "man page missing"
# The first-boot unit is shipped disabled: installing enables nothing.
! ls /etc/systemd/system/*.wants/enlistor-register.service >/dev/null 2>&1 || fail "installing enabled the unit"

# The post-installation script never follows a symbolic link in /var/lib/enlistor: a link in place of the registry
# is left, and so is what it points to. Run again without the link, it makes the registry anew.
postinst=/var/lib/dpkg/info/enlistor.postinst
mkdir -m 0755 "$work/elsewhere"
"${sudo_cmd[@]}" rmdir /var/lib/enlistor/registry
"${sudo_cmd[@]}" ln -s "$work/elsewhere" /var/lib/enlistor/registry
postinst_err=$("${sudo_cmd[@]}" "$postinst" configure 2>&1 >/dev/null)
[ "$(stat -c '%a' "$work/elsewhere")" = 755 ] || fail "postinst changed the mode of a link's target"
[ -L /var/lib/enlistor/registry ] || fail "postinst replaced the link"
grep -q 'is a symbolic link' <<<"$postinst_err" || fail "postinst did not warn of the link: $postinst_err"
"${sudo_cmd[@]}" rm /var/lib/enlistor/registry
"${sudo_cmd[@]}" "$postinst" configure
[ "$(stat -c '%U %a' /var/lib/enlistor/registry)" = "root 700" ] || fail "postinst did not make the registry 0700"

# Without the window, a display that cannot be opened shows the dialog in the terminal (a tmux terminal here) with
# one line saying why; without a terminal, the clear error and status 2.
set +e
no_terminal=$(env DISPLAY=:99 "$bin" </dev/null 2>&1 >/dev/null)
no_terminal_status=$?
set -e
[ "$no_terminal_status" = 2 ] || fail "no window and no terminal: status $no_terminal_status ($no_terminal)"
grep -q '^enlistor: the window is not installed (.*enlistor-gui provides it) and no usable terminal' \
    <<<"$no_terminal" || fail "no window and no terminal: '$no_terminal'"
mkdir -m 0700 "$work/dialog-registry"
tmux -L "$tmux_socket" -f /dev/null new-session -d -x 80 -y 24 \
    "env DISPLAY=:99 TERM=screen ENLISTOR_REGISTRY=$work/dialog-registry $bin 2>$work/dialog-err; echo \$? >$work/dialog-status"
shown=0
for _ in $(seq 300); do
    if grep -q 'Database Password' <<<"$(tmux -L "$tmux_socket" capture-pane -p)"; then
        shown=1
        break
    fi
    sleep 0.05
done
[ "$shown" = 1 ] || fail "the terminal dialog did not open: $(tmux -L "$tmux_socket" capture-pane -p)"
tmux -L "$tmux_socket" send-keys Escape
for _ in $(seq 300); do
    [ -s "$work/dialog-status" ] && break
    sleep 0.05
done
[ "$(cat "$work/dialog-status")" = 0 ] || fail "the terminal dialog ended with status $(cat "$work/dialog-status")"
grep -q '^enlistor: the window is not installed .*; showing the dialog in the terminal$' "$work/dialog-err" ||
    fail "the fall-back to the terminal was not explained: $(cat "$work/dialog-err")"

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

# enlistor-gui added: the window module is there, finds every library, and is what the program now tries.
"${sudo_cmd[@]}" dpkg -i "$gui_deb"
installed=(enlistor-gui enlistor)
module=/usr/lib/enlistor/window/enlistor-window.so
[ -f "$module" ] || fail "$module is not installed"
! grep -q 'not found' <<<"$(ldd "$module")" || fail "the window module lacks libraries: $(ldd "$module" | grep 'not found')"
set +e
stale=$(env -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM DISPLAY=:99 "$bin" </dev/null 2>&1 >/dev/null)
set -e
grep -q '^enlistor: cannot open display ":99" and no usable terminal' <<<"$stale" ||
    fail "with the window installed and a stale display: '$stale'"

"${sudo_cmd[@]}" dpkg -r enlistor-gui enlistor
[ ! -e "$bin" ] || fail "$bin is still there after dpkg -r"
[ ! -e "$module" ] || fail "$module is still there after dpkg -r"
# dpkg -r keeps the maintainer scripts until a purge: leave no trace of the test in dpkg's database.
"${sudo_cmd[@]}" dpkg --purge enlistor-gui enlistor >/dev/null
installed=()
[ ! -e /var/lib/enlistor ] || fail "purging left /var/lib/enlistor"
echo "Debian packages passed: $deb $gui_deb"

# The RPMs of the same two packages.
command -v rpmbuild >/dev/null && command -v rpmlint >/dev/null ||
    fail "rpm and rpmlint are not installed (scripts/install-deps.sh installs them)"
(cd "$build_dir" && umask 022 && cpack -G RPM)
rpm_main=$(ls "$build_dir"/enlistor-[0-9]*.rpm)
rpm_gui=$(ls "$build_dir"/enlistor-gui-[0-9]*.rpm)
echo "RPMs: $rpm_main $rpm_gui"
# Errors fail (each one is fixed, or filtered with its reason in cmake/packaging/rpmlintrc*); warnings are shown.
for rpm_check in "$rpm_main:rpmlintrc" "$rpm_gui:rpmlintrc-gui"; do
    rpmlint_out=$(rpmlint --rpmlintrc "$source_dir/cmake/packaging/${rpm_check##*:}" "${rpm_check%:*}" 2>&1 || true)
    echo "$rpmlint_out"
    grep -Eq ' 0 errors' <<<"$rpmlint_out" || fail "rpmlint reports errors in ${rpm_check%:*}"
done
requires=$(rpm -qpR "$rpm_main")
echo "$requires"
grep -q '^libodbc.so.2()(64bit)$' <<<"$requires" || fail "enlistor.rpm does not require libodbc by soname"
grep -q '^libnewt.so.0.52()(64bit)$' <<<"$requires" || fail "enlistor.rpm does not require libnewt by soname"
grep -q '^libssl.so.3()(64bit)$' <<<"$requires" || fail "enlistor.rpm does not require libssl by soname"
grep -q '^libslang.so.2()(64bit)$' <<<"$requires" || fail "enlistor.rpm does not require libslang by soname"
! grep -qi 'qt' <<<"$requires" || fail "enlistor.rpm requires Qt"
gui_requires=$(rpm -qpR "$rpm_gui")
grep -q "^enlistor = $(cut -d- -f1 <<<"$version")-" <<<"$gui_requires" || fail "enlistor-gui.rpm lacks enlistor = version"
grep -q '^libQt6Widgets.so.6()(64bit)' <<<"$gui_requires" || fail "enlistor-gui.rpm does not require Qt by soname"
# Each package owns its own files and directories only: no directory of the system's.
for rpm_file in "$rpm_main" "$rpm_gui"; do
    owned=$(rpm -qpl "$rpm_file")
    for system_dir in / /lib /usr /usr/lib /usr/lib/systemd /usr/lib/systemd/system /var /var/lib /usr/share \
        /usr/share/man /usr/share/man/man1 /usr/share/doc /usr/share/applications /usr/share/icons /usr/bin \
        /usr/share/bash-completion /usr/share/bash-completion/completions /usr/share/lintian; do
        ! grep -qx -- "$system_dir" <<<"$owned" || fail "$rpm_file owns $system_dir"
    done
    ! grep -q 'lintian\|changelog.Debian' <<<"$owned" || fail "$rpm_file holds Debian's own files"
done
scripts=$(rpm -qp --scripts "$rpm_main")
grep -q 'find /var/lib/enlistor/registry -xdev ! -type l' <<<"$scripts" ||
    fail "enlistor.rpm lacks the post-installation script"
grep -q 'daemon-reload' <<<"$scripts" || fail "enlistor.rpm does not reload systemd"
grep -q '^drwx------ .*root *root .* /var/lib/enlistor/registry$' <<<"$(rpm -qplv "$rpm_main")" ||
    fail "enlistor.rpm's registry directory is not root's 0700"
rpm_root=$work/rpm-root
mkdir -p "$rpm_root"
"${sudo_cmd[@]}" rpm --root "$rpm_root" --initdb
"${sudo_cmd[@]}" rpm --root "$rpm_root" -i --nodeps --noscripts "$rpm_main" "$rpm_gui"
[ -x "$rpm_root/usr/bin/enlistor" ] && [ -f "$rpm_root/usr/lib/enlistor/window/enlistor-window.so" ] ||
    fail "the RPM install into $rpm_root lacks the program or its window"
[ "$(stat -c '%a' "$rpm_root/var/lib/enlistor/registry")" = 700 ] || fail "the RPM's registry is not 0700"
"${sudo_cmd[@]}" rpm --root "$rpm_root" -e --nodeps --noscripts enlistor-gui enlistor
[ ! -e "$rpm_root/usr/bin/enlistor" ] || fail "rpm -e left /usr/bin/enlistor"
echo "package test passed: $deb $gui_deb $rpm_main $rpm_gui"
