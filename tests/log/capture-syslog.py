#!/usr/bin/env python3
"""Runs a command with its own system log: capture-syslog.py LOGFILE -- COMMAND [ARG...]

The command runs in a private mount namespace whose /dev is a fresh tmpfs holding only null, zero, full, random,
urandom and tty (bound from the real /dev), the fd/stdin/stdout/stderr links, an empty /dev/shm, and an AF_UNIX
datagram socket bound at /dev/log. Every datagram the command (or its children) sends to /dev/log is written to
LOGFILE, one per line, exactly as received (syslog(3) sends "<PRI>Mmm dd hh:mm:ss IDENT[PID]: MESSAGE"); a line
break inside a datagram is written as the two characters "\\n". The machine's own log never sees them, and a
machine without /dev/log works the same.

The command inherits standard input, output and error and the environment; the exit status is the command's (128+N
when killed by signal N). Exit 125: the namespace could not be made (needs root, or unprivileged user namespaces,
in which case the command runs as root of a user namespace).
"""
import ctypes
import os
import socket
import subprocess
import sys
import tempfile
import threading

MS_BIND = 0x1000
MS_REC = 0x4000
MS_PRIVATE = 1 << 18
MNT_DETACH = 2
NODES = ("null", "zero", "full", "random", "urandom", "tty")
LINKS = {"fd": "/proc/self/fd", "stdin": "/proc/self/fd/0", "stdout": "/proc/self/fd/1", "stderr": "/proc/self/fd/2"}

libc = ctypes.CDLL(None, use_errno=True)
libc.mount.argtypes = (ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_ulong, ctypes.c_char_p)
libc.umount2.argtypes = (ctypes.c_char_p, ctypes.c_int)


def fail(text):
    sys.stderr.write("capture-syslog: %s\n" % text)
    sys.exit(125)


def mount(source, target, fstype, flags, data=None):
    if libc.mount(source and source.encode(), target.encode(), fstype and fstype.encode(), flags,
                  data and data.encode()) != 0:
        fail("mount %s: %s" % (target, os.strerror(ctypes.get_errno())))


def private_dev():
    mount(None, "/", None, MS_REC | MS_PRIVATE)
    with tempfile.TemporaryDirectory(prefix="capture-syslog.") as stage:
        real_dev = os.path.join(stage, "dev")
        os.mkdir(real_dev)
        mount("/dev", real_dev, None, MS_BIND | MS_REC)
        mount("tmpfs", "/dev", "tmpfs", 0, "mode=0755,size=1m")
        for node in NODES:
            source = os.path.join(real_dev, node)
            if not os.path.exists(source):
                continue
            open(os.path.join("/dev", node), "w").close()
            mount(source, os.path.join("/dev", node), None, MS_BIND)
        for name, target in LINKS.items():
            os.symlink(target, os.path.join("/dev", name))
        os.mkdir("/dev/shm")
        os.chmod("/dev/shm", 0o1777)
        libc.umount2(real_dev.encode(), MNT_DETACH)


def main():
    args = sys.argv[1:]
    inside = bool(args) and args[0] == "--inside"
    if inside:
        args = args[1:]
    if len(args) < 3 or args[1] != "--":
        sys.stderr.write("usage: capture-syslog.py LOGFILE -- COMMAND [ARG...]\n")
        sys.exit(125)
    log_file, command = os.path.abspath(args[0]), args[2:]

    if not inside:
        unshare = ["unshare", "--mount", "--propagation", "private"]
        if os.geteuid() != 0:
            unshare.append("--map-root-user")
        try:
            os.execvp(unshare[0], unshare + [sys.executable, os.path.abspath(__file__), "--inside", log_file, "--"]
                      + command)
        except OSError as error:
            fail("unshare: %s" % error)

    private_dev()
    log = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    log.bind("/dev/log")
    os.chmod("/dev/log", 0o666)
    # Read while the command runs: a sender blocks once a few datagrams wait unread (net.unix.max_dgram_qlen).
    received = []
    done = threading.Event()

    def receive():
        log.settimeout(0.05)
        while True:
            try:
                received.append(log.recv(65536))
            except socket.timeout:
                if done.is_set():
                    return

    reader = threading.Thread(target=receive)
    reader.start()
    try:
        status = subprocess.call(command)
    except OSError as error:
        sys.stderr.write("capture-syslog: %s: %s\n" % (command[0], error))
        status = 127
    done.set()
    reader.join()
    with open(log_file, "wb") as out:
        for datagram in received:
            out.write(datagram.rstrip(b"\0").replace(b"\n", b"\\n") + b"\n")
    sys.exit(128 - status if status < 0 else status)

main()
