#!/usr/bin/env bash
# The layering check passes on the real tree, and on a copy of it fails for each planted upward include (naming the
# file and the header), for an include written relative to the including file, and for a C++ file in a folder that
# has no rule.
# Usage: check-layering-test.sh SOURCE_ROOT
set -euo pipefail
source_root=$1
check="$source_root/scripts/check-layering.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

bash "$check" "$source_root" >/dev/null || { echo "FAIL: the real tree does not pass"; failures=$((failures + 1)); }

# expect_refused FILE LINE PATTERN: a copy with LINE appended to FILE fails, and the report matches PATTERN.
expect_refused() {
    local file=$1 line=$2 pattern=$3 copy="$work/tree" report
    rm -rf "$copy"
    mkdir -p "$copy"
    for folder in app cli cipher common platform registration res settings; do
        [ -d "$source_root/$folder" ] && cp -r "$source_root/$folder" "$copy/"
    done
    mkdir -p "$(dirname "$copy/$file")"
    printf '%s\n' "$line" >>"$copy/$file"
    if report=$(bash "$check" "$copy" 2>&1); then
        echo "FAIL: passed with '$line' in $file"
        failures=$((failures + 1))
    elif ! grep -q -- "$pattern" <<<"$report"; then
        echo "FAIL: '$line' in $file reported as: $report"
        failures=$((failures + 1))
    fi
}

expect_refused cipher/Rijndael.h '#include "settings/DatabaseSettings.h"' 'cipher/Rijndael.h:.*settings/DatabaseSettings.h'
expect_refused settings/VLReg.cpp '#include "registration/Registration.h"' 'settings/VLReg.cpp:.*registration/'
expect_refused platform/registry/Registry.h '#include "res/Resource.h"' 'platform/registry/Registry.h:.*res/Resource.h'
expect_refused registration/Registration.h '#include "cli/Commands.h"' 'registration/Registration.h:.*cli/Commands.h'
expect_refused cli/Commands.h '#include "app/EnlistorUtilityDlg.h"' 'cli/Commands.h:.*app/EnlistorUtilityDlg.h'
expect_refused common/Text.h '#include "../cipher/VLBase64.h"' 'common/Text.h:.*cipher/VLBase64.h'
expect_refused contrib/Tool.cpp '#include "common/Text.h"' 'contrib/ has no layering rule'

if [ "$failures" -ne 0 ]; then
    echo "$failures layering case(s) failed"
    exit 1
fi
echo "layering check: real tree passes, 7 planted violations refused"
