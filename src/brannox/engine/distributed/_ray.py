"""One Ray per driver process, shared by the engines in it.

An engine either joins the Ray this process already has, joins a cluster it
is given (and leaves it running), or starts a private local Ray bound to
loopback; that private Ray is shut down when the last engine using it
closes, and never by an engine that merely found it.
"""
from __future__ import annotations

import atexit
import os
import threading
import weakref

import ray

# Small enough for a laptop or a CI box; Ray's own floor is 75 MiB.
OBJECT_STORE_BYTES = 150 * 1024 * 1024

_lock = threading.Lock()
_users = 0  # open engines using the Ray an engine started
_open_engines: "weakref.WeakSet" = weakref.WeakSet()
_atexit_armed = False


def acquire(address, engine):
    """Connects this process to Ray; returns whether `engine` shares the
    Ray an engine started (and so must release it when it closes)."""
    global _users, _atexit_armed
    with _lock:
        owned = False
        if ray.is_initialized():
            owned = _users > 0
        elif address is None:
            os.environ.setdefault("RAY_USAGE_STATS_ENABLED", "0")
            ray.init(
                address="local",
                _node_ip_address="127.0.0.1",
                include_dashboard=False,
                object_store_memory=OBJECT_STORE_BYTES,
                logging_level="WARNING",
            )
            owned = True
        else:
            ray.init(address=address, logging_level="WARNING")
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
    global _users
    with _lock:
        _open_engines.discard(engine)
        if not owned:
            return
        _users -= 1
        if _users == 0 and ray.is_initialized():
            ray.shutdown()


def _close_all():
    for engine in list(_open_engines):
        try:
            engine.close()
        except Exception:
            pass
