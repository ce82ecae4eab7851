"""Helpers for the tests that start Ray: when to skip, which processes Ray
started under this test process, and where they listen."""
import os
import pathlib
import re
import shutil
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


# A network namespace with loopback and one more address, 10.99.0.1, that
# the default route points at, so that anything looking for "the address
# other machines reach" finds it; nothing can leave such a namespace. A dummy
# device where the kernel has them, else one end of a veth pair.
OTHER_ADDRESS = "10.99.0.1"
_WITH_OTHER_ADDRESS = (
    "ip link set lo up && "
    "{ ip link add d0 type dummy 2>/dev/null || { ip link add d0 type veth peer name d1 && ip link set d1 up; }; } && "
    f"ip addr add {OTHER_ADDRESS}/24 dev d0 && ip link set d0 up && ip route add default dev d0 && "
    'exec "$@"'
)


def with_other_address(argv):
    """argv run in a fresh network namespace that has another address
    besides loopback; skips where such a namespace cannot be made."""
    if not shutil.which("unshare") or not shutil.which("ip"):
        pytest.skip("a network namespace with a second address needs unshare and ip (util-linux, iproute2)")
    # Without root, in a user namespace of its own where this user is root.
    unshare = ["unshare", "--net"] if os.geteuid() == 0 else ["unshare", "--user", "--map-root-user", "--net"]
    probe = subprocess.run([*unshare, "sh", "-c", _WITH_OTHER_ADDRESS, "sh", "true"], capture_output=True, text=True)
    if probe.returncode != 0:
        pytest.skip(f"cannot make a network namespace with a second address: {probe.stderr.strip()}")
    return [*unshare, "sh", "-c", _WITH_OTHER_ADDRESS, "sh", *argv]


def two_worker_engine(action_id, tick, ports):
    """Yields a DistributedEngine of two workers with one action registered
    (for a module-scoped fixture); afterwards waits for its Ray processes to
    end, so the next module's Ray starts on a clean slate."""
    import time

    require_ray()
    from brannox.engine.distributed import DistributedEngine
    with DistributedEngine(num_workers=2) as engine:
        engine.register_action_behavior(action_id, tick, ports)
        yield engine
    deadline = time.monotonic() + 15
    while ray_processes() and time.monotonic() < deadline:
        time.sleep(0.2)


def each_engine(request, make_engine, distributed_fixture, action_id, tick, ports):
    """Yields a ThreadEngine or the module's DistributedEngine (request.param
    "thread" or "distributed") with the action registered; the distributed
    engine's trees are stopped afterwards."""
    if request.param == "thread":
        made = make_engine()
        made.register_action_behavior(action_id, tick, ports)
        yield made
        return
    made = request.getfixturevalue(distributed_fixture)
    yield made
    made.stop_all_trees()
