"""One Ray per driver process, shared by the engines in it.

An engine either joins the Ray this process already has, joins a cluster it
is given (and leaves it running), or starts a private local Ray bound to
loopback; that private Ray is shut down when the last engine using it
closes, and never by an engine that merely found it.

Every Ray call the engines make once they are running goes through `submit`
or `while_up`: Ray's own API starts a fresh default Ray when it finds none
(listening on every address), and a call racing the shutdown of ours must
fail instead.
"""
from __future__ import annotations

import atexit
import contextlib
import os
import threading
import weakref

import ray
import ray._private.services as ray_services

# Small enough for a laptop or a CI box; Ray's own floor is 75 MiB.
OBJECT_STORE_BYTES = 150 * 1024 * 1024
LOOPBACK = "127.0.0.1"

_lock = threading.RLock()
_users = 0  # open engines using the Ray an engine started
_started = None  # the GCS address of the Ray an engine started, while it runs
_open_engines: "weakref.WeakSet" = weakref.WeakSet()
_atexit_armed = False


def is_loopback(address):
    return address.removeprefix("::ffff:").startswith("127.") or address in ("::1", "localhost")


@contextlib.contextmanager
def _node_address_kept():
    # ray.init swaps a loopback node address for one "reachable from other
    # machines" (the address of the default route, else the host name's);
    # a node whose address is not loopback has its GCS, raylet, workers and
    # driver listen on every address and its agents on that address. Our
    # private Ray is for this machine only, so the loopback address it is
    # given is kept as it is, for the length of the call.
    resolve = ray_services.resolve_ip_for_localhost
    ray_services.resolve_ip_for_localhost = lambda host: host if is_loopback(host) else resolve(host)
    try:
        yield
    finally:
        ray_services.resolve_ip_for_localhost = resolve


def _start_private():
    os.environ.setdefault("RAY_USAGE_STATS_ENABLED", "0")
    with _node_address_kept():
        ray.init(
            address="local",
            _node_ip_address=LOOPBACK,
            include_dashboard=False,
            object_store_memory=OBJECT_STORE_BYTES,
            logging_level="WARNING",
        )
    # Refuse, rather than serve, a private Ray that ended up elsewhere: the
    # node's address is the one every component binds.
    addresses = {ray.util.get_node_ip_address()} | {n.get("NodeManagerAddress", "") for n in ray.nodes()}
    if not all(is_loopback(a) for a in addresses):
        ray.shutdown()
        raise RuntimeError(
            f"the private Ray did not stay on loopback (node address {', '.join(sorted(addresses))}); "
            "to run on a reachable address, start Ray yourself (`ray start --head --node-ip-address=...`) "
            "and pass its address to DistributedEngine(address=...)"
        )


def acquire(address, engine):
    """Connects this process to Ray; returns whether `engine` shares the
    Ray an engine started (and so must release it when it closes)."""
    global _users, _started, _atexit_armed
    with _lock:
        if ray.is_initialized():
            # Ours only if it is the very Ray an engine started (not one
            # the program started after shutting ours down).
            owned = _started is not None and _started == _gcs_address()
        elif address is None:
            _start_private()
            _started = _gcs_address()
            owned = True
        else:
            ray.init(address=address, logging_level="WARNING")
            _started, owned = None, False
        if owned:
            _users += 1
        _open_engines.add(engine)
        if not _atexit_armed:
            # Registered after ray.init, so it runs before Ray's own exit hook:
            # workers are told to stop their trees while Ray still answers.
            atexit.register(_close_all)
            _atexit_armed = True
        return owned


def release(owned, engine):
    global _users, _started
    with _lock:
        _open_engines.discard(engine)
        if not owned:
            return
        _users -= 1
        if _users == 0 and ray.is_initialized():
            ray.shutdown()
        if _users == 0:
            _started = None


def _gcs_address():
    return ray.get_runtime_context().gcs_address


def submit(method, *args):
    """Submits one actor call and returns a concurrent.futures.Future of its
    answer; raises instead of starting a Ray when none is running."""
    with _lock:
        if not ray.is_initialized():
            raise RuntimeError("Ray is not running in this process")
        return method.remote(*args).future()


def while_up(fn, *args):
    """fn(*args) if Ray is still running (never starting one), else None."""
    with _lock:
        if ray.is_initialized():
            return fn(*args)
    return None


def _close_all():
    for engine in list(_open_engines):
        try:
            engine.close()
        except Exception:
            pass
