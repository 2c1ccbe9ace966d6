#!/usr/bin/env bash
# The module's own behaviour, without the program: runs fake.yml with ansible-playbook -vvv against
# fake-enlistor.py, checks what the stand-in received, and that neither password shows anywhere in the output.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
command -v ansible-playbook >/dev/null || {
    echo "ansible-playbook not found: install the Debian package ansible" >&2
    exit 1
}
work=$(mktemp -d)
trap 'rm -rf -- "$work"' EXIT
umask 077
password="Fake-pw-$(head -c 9 /dev/urandom | base64 | tr -d '/+=')"
wrong="Wrong-pw-$(head -c 9 /dev/urandom | base64 | tr -d '/+=')"
printf 'password: "%s"\nwrong_password: "%s"\n' "$password" "$wrong" >"$work/secret.yml"

export ANSIBLE_COLLECTIONS_PATH="$here/.." ANSIBLE_LOCAL_TEMP="$work/ansible-tmp" ANSIBLE_REMOTE_TEMP="$work/ansible-remote-tmp"
export ANSIBLE_HOME="$work/ansible-home" ANSIBLE_NO_TARGET_SYSLOG=1
export ANSIBLE_NOCOLOR=1 ANSIBLE_RETRY_FILES_ENABLED=0 ANSIBLE_LOCALHOST_WARNING=0 ANSIBLE_INVENTORY_UNPARSED_WARNING=0
status=0
ansible-playbook -vvv -i localhost, "$here/fake.yml" -e "fake=$here/fake-enlistor.py" -e "log=$work/calls.jsonl" \
    -e "secret_file=$work/secret.yml" >"$work/output.txt" 2>&1 || status=$?
if [ "$status" -ne 0 ]; then
    cat "$work/output.txt" >&2
    echo "ansible-playbook failed ($status)" >&2
    exit 1
fi
grep -E '^(PLAY RECAP|localhost)' "$work/output.txt" | tail -1
python3 "$here/check-fake-log.py" "$work/calls.jsonl" "$here/fake-enlistor.py" "$password" "$wrong"
for secret in "$password" "$wrong"; do
    if grep -F -- "$secret" "$work/output.txt" >/dev/null; then
        echo "a password shows in the -vvv output" >&2
        exit 1
    fi
done
echo "no password in $(wc -l <"$work/output.txt") lines of -vvv output"

# The example playbook and its role, with the inventory's group_vars: they reach the program over the role's
# defaults (the play sets none of its own). Run as the user running the test (no become).
status=0
FAKE_ENLISTOR_LOG="$work/role-calls.jsonl" \
    FAKE_ENLISTOR_REPLY='{"outcome":"registered","exit_code":0,"address":"198.18.0.9","computer_name":"web1","error":"","row_inserted":true,"settings_changed":true}' \
    ansible-playbook -i "$here/role-inventory" "$here/../ansible_collections/enlistor/enlistor/playbooks/register.yml" \
    -e ansible_become=false -e "enlistor_executable=$here/fake-enlistor.py" >"$work/role-output.txt" 2>&1 || status=$?
if [ "$status" -ne 0 ]; then
    cat "$work/role-output.txt" >&2
    echo "the example playbook failed ($status)" >&2
    exit 1
fi
python3 - "$work/role-calls.jsonl" <<'PY'
import json, sys
calls = [json.loads(line) for line in open(sys.argv[1])]
assert len(calls) == 1, calls
argv = calls[0]["argv"]
assert argv[0] == "register", argv
options = dict(zip(argv[1::2], argv[2::2]))
assert options.get("--server") == "from-group-vars", argv
assert options.get("--login") == "group-login", argv
assert "--password-file" not in argv and "--database" not in argv, argv
print("role: group_vars reached the program:", " ".join(argv))
PY
