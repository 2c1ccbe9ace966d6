#!/usr/bin/python
# -*- coding: utf-8 -*-
# Drives the installed enlistor program: register (present), unregister (absent), check (check mode).

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
module: enlistor
short_description: Enter a machine into the control-panel suite's server list, or take it out
version_added: "9.0.0"
description:
  - Runs the C(enlistor) program installed on the managed machine with C(--json) and reports what it did.
  - With C(state=present) it stores the given database settings and registers the machine (C(enlistor register));
    C(changed) is true only when a row was inserted or a stored setting changed.
  - With C(state=absent) it removes the machine's pending row (C(enlistor unregister)); C(changed) is true only
    when a row was removed. A machine already in the suite's own server list must be removed in the suite.
  - In check mode it runs C(enlistor check), which connects with the given values but stores and inserts nothing,
    and reports the change the real run would make.
  - In diff mode it shows the stored settings before and after, the password masked (C(********) when one is
    stored or given, and C(******** (new)) when one is given).
  - The password goes to the program on its standard input (C(--password-file -)), never on its command line, and
    is never part of the result.
options:
  state:
    description: Whether the machine should be registered (C(present)) or its pending row removed (C(absent)).
    type: str
    choices: [present, absent]
    default: present
  server:
    description: Database Server Name (an ODBC data source or a host name). Stored settings apply when omitted.
    type: str
  server_ip:
    description: Database Server IP. Stored settings apply when omitted.
    type: str
  database:
    description: Database Name. Stored settings apply when omitted.
    type: str
  login:
    description: Database Login. Stored settings apply when omitted.
    type: str
  password:
    description: Database Password. The stored password applies when omitted.
    type: str
  address:
    description:
      - The address to register (an IPv4 or IPv6 literal) instead of the one the program picks from the machine's
        statically configured adapters. Needed where every address comes from DHCP, as on most cloud machines.
    type: str
  ca_file:
    description:
      - A CA bundle (or the database server's own certificate) on the managed machine that verifies the server's TLS
        certificate, host name checked. Stored with the settings. Without it the system's CAs verify the server; a
        server they do not verify never gets the password (exit code 7).
    type: path
  trust_cert:
    description:
      - The SHA-256 fingerprint (hex, colons optional) of the database server's certificate, pinned; the host name is
        not checked. Stored with the settings. A failed run's C(cause) shows the fingerprint of a certificate that
        could not be verified.
    type: str
  executable:
    description:
      - Path of the enlistor program on the managed machine. When omitted, C(enlistor) is looked for in the
        directories of C(PATH) (and C(/usr/bin), C(/usr/local/bin)).
    type: path
requirements:
  - the enlistor package on the managed machine (run as root, which owns its settings)
attributes:
  check_mode:
    description: Runs C(enlistor check), which stores and inserts nothing, and reports the change a real run would make.
    support: full
  diff_mode:
    description: Shows the stored settings before and after, the password masked.
    support: full
author:
  - Enlistor maintainers (@enlistor)
"""

EXAMPLES = r"""
- name: Register this machine in the suite
  enlistor.enlistor.enlistor:
    server: suite-db
    server_ip: 10.20.0.5
    database: Suite
    login: enlistor
    password: "{{ vault_enlistor_password }}"

- name: Register the address the cloud gave this machine
  enlistor.enlistor.enlistor:
    address: "{{ ansible_default_ipv4.address }}"

- name: Take the pending registration back
  enlistor.enlistor.enlistor:
    state: absent
"""

RETURN = r"""
outcome:
  description: The program's outcome word (registered, already-registered, unregistered, not-registered, failed).
  type: str
  returned: always
exit_code:
  description: >-
    The program's exit status. 0 success, 1 other failure, 2 usage, 3 server unreachable or timed out, 4 login
    refused, 5 database or table missing, 6 not allowed, 7 the login was not sent because it could not be protected
    (no TLS, an unverified certificate, a failed handshake).
  type: int
  returned: always
address:
  description: The address registered, looked for or removed.
  type: str
  returned: when the program printed its result
computer_name:
  description: This machine's computer name, as the row carries it.
  type: str
  returned: when the program printed its result
tls:
  description: >-
    How the login was protected on the wire (encrypted, verified, by ca/pin/none, certificate_sha256, subject, ...);
    null when nothing crossed the network.
  type: dict
  returned: when the program printed its result
enlistor:
  description: The program's whole JSON result (the password masked in it).
  type: dict
  returned: when the program printed its result
diff:
  description: The stored settings before and after (as YAML-like text lines), the password masked.
  type: dict
  returned: in diff mode
"""

import json

from ansible.module_utils.basic import AnsibleModule

MASK = "********"

# The module's options for the five settings, and the names the program's JSON result gives them.
SETTING_NAMES = (
    ("server", "database_server"),
    ("server_ip", "database_server_ip"),
    ("database", "database_name"),
    ("login", "database_login"),
)

SETTING_OPTIONS = (
    ("server", "--server"),
    ("server_ip", "--ip"),
    ("database", "--database"),
    ("login", "--login"),
    ("address", "--address"),
    ("ca_file", "--ca-file"),
    ("trust_cert", "--trust-cert"),
)


def build_command(executable, params, command):
    argv = [executable, command]
    for option, flag in SETTING_OPTIONS:
        if params[option] is not None:
            argv += [flag, params[option]]
    if params["password"] is not None:
        argv += ["--password-file", "-"]
    argv.append("--json")
    return argv


def decide_changed(state, check_mode, result):
    """Whether the run changed (or, in check mode, would change) anything, from the program's JSON result."""
    outcome = result.get("outcome")
    if not check_mode:
        if state == "present":
            return bool(result.get("row_inserted")) or bool(result.get("settings_changed"))
        return int(result.get("rows_removed") or 0) > 0
    if state == "present":
        return outcome == "not-registered" or bool(result.get("settings_would_change"))
    # A known address may be the pending row (which unregister removes) or an entry of the suite's own list (which
    # it never touches); check tells them apart only as far as its result says.
    return outcome == "already-registered" and result.get("would_insert") is None


def settings_text(settings):
    names = [name for _, name in SETTING_NAMES] + ["database_password"]
    return "".join("%s: %s\n" % (name, json.dumps(settings.get(name, ""))) for name in names)


def diff_settings(stored, params):
    """The stored settings before and after the run, as the diff callback shows them; never the password."""
    before = dict((name, stored.get(name, "")) for _, name in SETTING_NAMES)
    before["database_password"] = MASK if stored.get("database_password") else ""
    after = dict(before)
    for option, name in SETTING_NAMES:
        if params[option] is not None:
            after[name] = params[option]
    if params["password"] is not None:
        after["database_password"] = MASK + " (new)" if params["password"] else ""
    return dict(before=settings_text(before), after=settings_text(after), before_header="stored settings",
                after_header="stored settings")


def stored_settings(module, executable):
    """The settings stored on the machine, as "enlistor check --json" without options reports them (masked)."""
    rc, stdout, stderr = module.run_command([executable, "check", "--json"], check_rc=False,
                                            expand_user_and_vars=False)
    try:
        result = json.loads(stdout)
    except ValueError:
        return {}
    settings = result.get("settings") if isinstance(result, dict) else None
    return settings if isinstance(settings, dict) else {}


def main():
    module = AnsibleModule(
        argument_spec=dict(
            state=dict(type="str", default="present", choices=["present", "absent"]),
            server=dict(type="str"),
            server_ip=dict(type="str"),
            database=dict(type="str"),
            login=dict(type="str"),
            password=dict(type="str", no_log=True),
            address=dict(type="str"),
            ca_file=dict(type="path"),
            trust_cert=dict(type="str"),
            executable=dict(type="path"),
        ),
        supports_check_mode=True,
    )
    params = module.params
    state = params["state"]
    if module.check_mode:
        command = "check"
    else:
        command = "register" if state == "present" else "unregister"

    # Where the program is: the option, else the first enlistor on PATH (fails with a clear message when none).
    executable = params["executable"] or module.get_bin_path("enlistor", required=True,
                                                             opt_dirs=["/usr/bin", "/usr/local/bin"])
    diff = diff_settings(stored_settings(module, executable), params) if module._diff else None

    argv = build_command(executable, params, command)
    # run_command adds one line break to data, which the program strips again: the password arrives exactly.
    password = params["password"]
    rc, stdout, stderr = module.run_command(argv, data=password, check_rc=False, expand_user_and_vars=False)

    try:
        result = json.loads(stdout)
        if not isinstance(result, dict):
            raise ValueError("not an object")
    except ValueError:
        module.fail_json(
            msg="%s %s printed no JSON result (exit status %d): %s"
            % (executable, command, rc, (stderr or stdout).strip()),
            exit_code=rc,
            command=command,
        )

    summary = dict(
        outcome=result.get("outcome", ""),
        exit_code=rc,
        address=result.get("address", ""),
        computer_name=result.get("computer_name", ""),
        tls=result.get("tls"),
        enlistor=result,
    )
    # check exits 8 when the server answered and this machine is not registered yet: a result, not a failure.
    not_registered = command == "check" and rc == 8 and result.get("outcome") == "not-registered"
    failed = (rc != 0 and not not_registered) or result.get("outcome") == "failed"
    if diff is not None:
        # A failed registration rolls the settings back: nothing changed.
        summary["diff"] = dict(diff, after=diff["before"]) if failed else diff
    if failed:
        error = result.get("error") or (stderr.strip() or "enlistor %s failed" % command)
        module.fail_json(msg=error, cause=result.get("cause"), hresult=result.get("hresult"), **summary)

    module.exit_json(changed=decide_changed(state, module.check_mode, result), **summary)


if __name__ == "__main__":
    main()
