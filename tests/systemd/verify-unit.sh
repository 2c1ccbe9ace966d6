#!/usr/bin/env bash
# systemd-analyze verify over a unit as the package installs it: verify-unit.sh UNIT_FILE [EXECUTABLE [DROP_IN...]]
#
# The check runs against a scratch root holding the machine's own system units (the targets the unit names), the
# unit under /usr/lib/systemd/system, and EXECUTABLE (default: an empty stand-in) at /usr/bin/enlistor, so it needs
# neither an installed package nor a running systemd. Manual pages are not looked up (the package is not installed).
# Each DROP_IN is installed as /etc/systemd/system/UNIT.d/<its file name>, as an administrator would.
set -euo pipefail
[ $# -ge 1 ] || {
    echo "usage: $0 UNIT_FILE [EXECUTABLE [DROP_IN...]]" >&2
    exit 2
}
unit=$1
executable=${2:-}
drop_ins=("${@:3}")
command -v systemd-analyze >/dev/null || {
    echo "systemd-analyze not found: install the Debian package systemd" >&2
    exit 1
}
root=$(mktemp -d)
trap 'rm -rf -- "$root"' EXIT
mkdir -p "$root/usr/bin" "$root/usr/lib/systemd/system" "$root/etc/systemd/system"
ln -s usr/bin "$root/bin"
ln -s usr/lib "$root/lib"
for dir in /usr/lib/systemd/system /lib/systemd/system; do
    [ -d "$dir" ] && cp -a "$dir/." "$root/usr/lib/systemd/system/"
done
if [ -n "$executable" ]; then
    cp "$executable" "$root/usr/bin/enlistor"
else
    printf '#!/bin/sh\nexit 0\n' >"$root/usr/bin/enlistor"
fi
chmod 0755 "$root/usr/bin/enlistor"
name=$(basename "$unit")
cp "$unit" "$root/usr/lib/systemd/system/$name"
for drop_in in "${drop_ins[@]}"; do
    mkdir -p "$root/etc/systemd/system/$name.d"
    cp "$drop_in" "$root/etc/systemd/system/$name.d/"
done
# verify exits 0 on warnings too; anything it prints about the unit is a finding.
output=$(systemd-analyze verify --man=no --root="$root" "$name" 2>&1) || {
    printf '%s\n' "$output" >&2
    exit 1
}
if printf '%s\n' "$output" | grep -F "$name" >&2; then
    exit 1
fi
echo "$name: verified${drop_ins[*]:+ with ${drop_ins[*]}}"
