#!/usr/bin/env bash
# ansible-test sanity on the collection, offline. ansible-test installs the checkers of nine of its tests from PyPI
# into virtual environments; here those nine are skipped and the same checkers run from Debian's packages instead
# (ansible-core's validate-modules with python3-voluptuous, ansible-doc, yamllint, pycodestyle). pylint (whose
# ansible-test plugins need the PyPI pins) and the PowerShell checker are not run.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
collection=$here/../ansible_collections/enlistor/enlistor
work=$(mktemp -d)
trap 'rm -rf -- "$work"' EXIT
# ansible-test wants the collection under ansible_collections/NAMESPACE/NAME and a tree of its own (no build dirs).
mkdir -p "$work/ansible_collections/enlistor"
cp -a "$collection" "$work/ansible_collections/enlistor/enlistor"
cd "$work/ansible_collections/enlistor/enlistor"
export ANSIBLE_HOME=$work/ansible-home ANSIBLE_LOCAL_TEMP=$work/ansible-tmp ANSIBLE_COLLECTIONS_PATH=$work
export ANSIBLE_NOCOLOR=1
test_util=$(/usr/bin/python3 -c 'import ansible_test, os; print(os.path.dirname(ansible_test.__file__))')/_util

skipped=(ansible-doc changelog import pep8 pslint pylint runtime-metadata validate-modules yamllint)
skip_args=()
for test in "${skipped[@]}"; do
    skip_args+=(--skip-test "$test")
done
ansible-test sanity --local --python-interpreter /usr/bin/python3 "${skip_args[@]}"

echo "validate-modules (Debian's python3-voluptuous)"
/usr/bin/python3 "$test_util/controller/sanity/validate-modules/validate.py" --format plain --arg-spec \
    --collection ansible_collections/enlistor/enlistor --collection-version "$(sed -n 's/^version: //p' galaxy.yml)" \
    --plugin-type module plugins/modules/*.py >"$work/validate.txt" 2>&1 || true
# The ignore file's entries apply here as ansible-test applies them.
grep -v -F -f <(sed -n 's/^\([^ ]*\) validate-modules:\([a-z0-9-]*\).*/\1:0:0: E\2/p' tests/sanity/ignore-2.14.txt) \
    "$work/validate.txt" >"$work/validate-left.txt" || true
if [ -s "$work/validate-left.txt" ]; then
    cat "$work/validate-left.txt" >&2
    exit 1
fi

echo "ansible-doc: the documentation renders on this ansible-core"
ansible-doc -t module enlistor.enlistor.enlistor >/dev/null
ansible-doc -t role enlistor.enlistor.register >/dev/null

echo "yamllint (ansible-test's configuration)"
yamllint -c "$test_util/controller/sanity/yamllint/config/default.yml" -s .
echo "pycodestyle (ansible-test's pep8 settings)"
pycodestyle --max-line-length 160 --config /dev/null \
    --ignore "$(paste -sd, "$test_util/controller/sanity/pep8/current-ignore.txt")" plugins
echo "sanity passed"
