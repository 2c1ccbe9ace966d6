#!/usr/bin/env python3
"""Validates enlistor --json outputs against the shipped schema: one JSON object per line on standard input.
Usage: validate-json-output.py SCHEMA < outputs. Exits 1 naming each line that does not validate."""
import json
import sys

import jsonschema

with open(sys.argv[1], encoding="utf-8") as f:
    schema = json.load(f)
validator = jsonschema.Draft202012Validator(schema)
failures = 0
for number, line in enumerate(sys.stdin, 1):
    if not line.strip():
        continue
    try:
        document = json.loads(line)
    except ValueError as e:
        print(f"line {number}: not JSON ({e}): {line.strip()}")
        failures += 1
        continue
    for error in validator.iter_errors(document):
        print(f"line {number}: {error.json_path}: {error.message}: {line.strip()}")
        failures += 1
sys.exit(1 if failures else 0)
