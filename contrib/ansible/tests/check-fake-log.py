#!/usr/bin/env python3
"""Checks what the module handed fake-enlistor.py: check-fake-log.py LOG FAKE PASSWORD WRONG_PASSWORD"""
import json
import sys

log_file, fake, password, wrong = sys.argv[1:5]
calls = [json.loads(line) for line in open(log_file)]
commands = [c["argv"][0] for c in calls]
expected_commands = ["register"] * 3 + ["unregister"] * 2 + ["check"] * 5 + ["register"] * 2
assert commands == expected_commands, commands

first = calls[0]
assert first["argv"] == ["register", "--server", "suite db", "--ip", "198.18.0.1", "--database", "Suite", "--login",
                         "-sa", "--address", "198.18.0.9", "--password-file", "-", "--json"], first["argv"]
# Exactly the password and one line break, which the program strips.
assert first["stdin"] == password + "\n", repr(first["stdin"])
assert calls[5]["argv"] == ["check", "--password-file", "-", "--json"], calls[5]["argv"]
assert calls[5]["stdin"] == password + "\n"
assert calls[10]["stdin"] == wrong + "\n"
for call in calls:
    assert call["argv"][-1] == "--json", call["argv"]
    for secret in (password, wrong):
        assert all(secret not in arg for arg in call["argv"]), call["argv"]
    if "--password-file" not in call["argv"]:
        assert call["stdin"] == "", call
print("fake log: %d calls as expected" % len(calls))
