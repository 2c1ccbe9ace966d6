#!/usr/bin/env bash
# Fails when a C++ file includes a project header from a folder its layer must not use. Dependencies point one way:
#   app, cli  -> workflow -> registration -> settings -> cipher -> common;  platform -> common
# Each folder may use:
#   app           anything (cli included: main.cpp runs the command line)
#   cli           anything but app
#   workflow      registration, settings, cipher, common, platform
#   registration  settings, cipher, common, platform, res (the dialog's labels name the settings in its sentences)
#   settings      cipher, common, platform
#   cipher        common
#   platform      common, platform (platform/ui also res)
#   res           common, platform/win32
#   common        nothing
#   tests, bench, fuzz  anything
# A header is a project header when the quoted name is found from the root or from the including file's folder;
# other quoted names (a library's) are not checked. A C++ file in a folder with no rule fails too, so a new folder
# gets its rule when it is made.
# Usage: scripts/check-layering.sh [ROOT]   (default: this checkout)
set -euo pipefail
root=${1:-$(cd "$(dirname "$0")/.." && pwd)}
exec python3 - "$root" <<'PY'
import os, re, sys

root = os.path.realpath(sys.argv[1])
BELOW_CLI = {"workflow", "registration", "settings", "cipher", "res", "common", "platform"}
RULES = {
    "app": None,  # anything
    "cli": BELOW_CLI,
    "workflow": {"registration", "settings", "cipher", "common", "platform"},
    "registration": {"settings", "cipher", "common", "platform", "res"},
    "settings": {"cipher", "common", "platform"},
    "cipher": {"common"},
    "platform": {"common", "platform"},
    "platform/ui": {"common", "platform", "res"},
    "res": {"common", "platform/win32"},
    "common": set(),
    "tests": None,
    "bench": None,
    "fuzz": None,
}
SKIP = {".git", "build", "docs", "scripts", "cmake"}
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')


def layer(path):
    parts = path.split("/")
    if parts[0] == "platform" and len(parts) > 2 and "platform/" + parts[1] in RULES:
        return "platform/" + parts[1]
    return parts[0]


def allowed(source, target):
    rule = RULES.get(source)
    if rule is None:
        return True
    if target == source or target.split("/")[0] == source:
        return True
    # A rule naming "platform" covers every platform/ folder; "platform/win32" only that one.
    return target in rule or target.split("/")[0] in rule


failures = []
for folder, dirs, files in os.walk(root):
    rel_folder = os.path.relpath(folder, root)
    if rel_folder == ".":
        # Build trees (generated sources) are not the project's folders.
        dirs[:] = [d for d in dirs if d not in SKIP and not d.startswith((".", "build"))
                   and not os.path.exists(os.path.join(folder, d, "CMakeCache.txt"))]
        continue
    for name in sorted(files):
        if not name.endswith((".h", ".hpp", ".cpp", ".cc", ".c")):
            continue
        path = os.path.join(rel_folder, name)
        source = layer(path)
        if source not in RULES and source.split("/")[0] not in RULES:
            failures.append(f"{path}: folder {source.split('/')[0]}/ has no layering rule")
            continue
        rule_source = source if source in RULES else source.split("/")[0]
        with open(os.path.join(root, path), errors="replace") as text:
            for number, line in enumerate(text, 1):
                match = INCLUDE.match(line)
                if not match:
                    continue
                name_in = match.group(1)
                if os.path.isfile(os.path.join(root, name_in)):
                    target_path = os.path.normpath(name_in)
                elif os.path.isfile(os.path.join(root, rel_folder, name_in)):
                    target_path = os.path.normpath(os.path.join(rel_folder, name_in))
                else:
                    continue
                target = layer(target_path)
                if not allowed(rule_source, target):
                    failures.append(f"{path}:{number}: {rule_source}/ must not include {target_path} ({target}/)")

for failure in failures:
    print(failure, file=sys.stderr)
if failures:
    print(f"layering: {len(failures)} violation(s)", file=sys.stderr)
    sys.exit(1)
print("layering: every include follows the folder rules")
PY
