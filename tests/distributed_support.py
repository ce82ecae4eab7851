"""Helpers for the tests that start Ray: when to skip, which processes Ray
started under this test process, and where they listen."""
import os
import pathlib
import re
import subprocess
import sys

import pytest

from brannox._proctree import descendants

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


def ray_processes(root=None):
    """Pids of Ray's processes descending from `root` (this process)."""
    found = []
    for pid in descendants(root):
        try:
            cmd = pathlib.Path(f"/proc/{pid}/cmdline").read_bytes().replace(b"\0", b" ").decode(errors="replace")
        except OSError:
            continue
        if any(name in cmd for name in RAY_NAMES):
            found.append(pid)
    return found


def listening_addresses(pids):
    """{(address, port)} the processes listen on (TCP) or are bound to (UDP),
    from the socket table as `ss` shows it."""
    table = subprocess.run(["ss", "-Hltunp"], capture_output=True, text=True, check=True).stdout
    found = set()
    for line in table.splitlines():
        if {int(p) for p in re.findall(r"pid=(\d+)", line)} & set(pids):
            address, port = line.split()[4].rsplit(":", 1)
            found.add((address.strip("[]").split("%")[0], port))
    return found


def is_loopback(address):
    return address.removeprefix("::ffff:").startswith("127.") or address == "::1"
