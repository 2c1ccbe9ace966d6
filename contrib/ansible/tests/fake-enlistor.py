#!/usr/bin/env python3
"""A stand-in for the enlistor program in the module's tests.

Appends {"argv": [...], "stdin": "..."} as one JSON line to $FAKE_ENLISTOR_LOG, prints $FAKE_ENLISTOR_REPLY on
standard output and exits with $FAKE_ENLISTOR_EXIT (default 0).
"""
import json
import os
import sys

stdin = "" if sys.stdin is None or sys.stdin.isatty() else sys.stdin.read()
with open(os.environ["FAKE_ENLISTOR_LOG"], "a") as log:
    log.write(json.dumps({"argv": sys.argv[1:], "stdin": stdin}) + "\n")
sys.stdout.write(os.environ.get("FAKE_ENLISTOR_REPLY", ""))
sys.exit(int(os.environ.get("FAKE_ENLISTOR_EXIT", "0")))
