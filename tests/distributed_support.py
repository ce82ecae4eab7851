"""Helpers for the tests that start Ray: when to skip, which processes Ray
started under this test process, and where they listen."""
import os
import pathlib
import socket
import sys

import pytest

RAY_NAMES = ("ray::", "raylet", "gcs_server", "ray/_private", "ray/dashboard", "ray/autoscaler")


def require_ray():
    """Imports ray, or skips with the reason. In CI the 3.10 and 3.13 legs
    install it, so a missing ray there is a failure, not a skip."""
    if os.environ.get("MTHREAD_SANITIZED"):
        pytest.skip("Ray's processes would inherit the sanitizer preload", allow_module_level=True)
    try:
        import ray  # noqa: F401
    except ImportError:
        if os.environ.get("CI") and sys.version_info[:2] in ((3, 10), (3, 13)):
            pytest.fail("ray must be installed in this CI leg (the distributed extra)", pytrace=False)
        pytest.skip("ray is not installed (the distributed extra)", allow_module_level=True)


def _children():
    kids = {}
    for entry in pathlib.Path("/proc").iterdir():
        if entry.name.isdigit():
            try:
                ppid = int((entry / "stat").read_text().rsplit(")", 1)[1].split()[1])
            except (OSError, IndexError, ValueError):
                continue
            kids.setdefault(ppid, []).append(int(entry.name))
    return kids


def ray_processes(root=None):
    """Pids of Ray's processes descending from `root` (this process)."""
    kids, found, todo = _children(), [], [root or os.getpid()]
    while todo:
        for pid in kids.get(todo.pop(), []):
            todo.append(pid)
            try:
                cmd = pathlib.Path(f"/proc/{pid}/cmdline").read_bytes().replace(b"\0", b" ").decode(errors="replace")
            except OSError:
                continue
            if any(name in cmd for name in RAY_NAMES):
                found.append(pid)
    return found


def _socket_inodes(pid):
    inodes = set()
    try:
        for fd in pathlib.Path(f"/proc/{pid}/fd").iterdir():
            target = os.readlink(fd)
            if target.startswith("socket:["):
                inodes.add(target[8:-1])
    except OSError:
        pass
    return inodes


def _address(hex_addr, family):
    raw = bytes.fromhex(hex_addr)
    if family == socket.AF_INET:
        return socket.inet_ntop(family, raw[::-1])
    words = b"".join(raw[i:i + 4][::-1] for i in range(0, 16, 4))
    return socket.inet_ntop(family, words)


def listening_addresses(pids):
    """{(address, port)} of the TCP sockets the processes listen on, and
    {(address, port)} of UDP sockets bound to them, from the socket table."""
    inodes = set().union(*(_socket_inodes(p) for p in pids)) if pids else set()
    found = set()
    for table, family, listen_state in (("tcp", socket.AF_INET, "0A"), ("tcp6", socket.AF_INET6, "0A"),
                                        ("udp", socket.AF_INET, None), ("udp6", socket.AF_INET6, None)):
        try:
            lines = pathlib.Path(f"/proc/net/{table}").read_text().splitlines()[1:]
        except OSError:
            continue
        for line in lines:
            fields = line.split()
            local, state, inode = fields[1], fields[3], fields[9]
            if inode in inodes and (listen_state is None or state == listen_state):
                addr, port = local.split(":")
                found.add((_address(addr, family), int(port, 16)))
    return found


def is_loopback(address):
    return address == "127.0.0.1" or address.startswith("127.") or address in ("::1", "::ffff:127.0.0.1") \
        or address.startswith("::ffff:127.")
