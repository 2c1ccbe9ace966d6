#!/usr/bin/env python3
"""The drop-in the cloud-init example writes is the documented one (docs/examples/credentials.conf, without its
comments), and the example reads the password from the unit's credentials directory, never from a file it leaves.

    cloud-init-drop-in.py CLOUD_INIT_YAML DROP_IN
"""
import sys

import yaml

cloud_init_path, drop_in_path = sys.argv[1:3]
with open(cloud_init_path) as f:
    first_line = f.readline()
    config = yaml.safe_load(first_line + f.read())
assert first_line.strip() == "#cloud-config", first_line
files = {entry["path"]: entry for entry in config["write_files"]}
written = files["/etc/systemd/system/enlistor-register.service.d/credentials.conf"]["content"]
with open(drop_in_path) as f:
    documented = "".join(line for line in f if not line.startswith("#"))
assert written.strip() == documented.strip(), (written, documented)
assert "--password-file %d/enlistor-password" in written, written
# The plain password only ever sits in /run (memory) and is removed once encrypted.
plain = [path for path in files if "password" in path]
assert plain == ["/run/enlistor-password"], plain
assert ["rm", "-f", "/run/enlistor-password"] in config["runcmd"], config["runcmd"]
print("cloud-init example writes the documented drop-in")
