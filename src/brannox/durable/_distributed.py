"""Durable trees of a DistributedEngine.

A distributed tree lives in a worker process, in that worker's ThreadEngine,
so it is followed there, by the same code that follows a ThreadEngine tree:
the driver sends the request (through the engine's per-tree queue, in order
with the tree's other commands) and the worker opens the store itself. The
store therefore travels as a path or a connection string, never as an open
connection. The lease names the worker's process and host; under ``sync`` a
tick's caller is answered after the worker's commit, since the worker
answers the driver only once its tree thread has answered it.

The driver side is :func:`attach` and :func:`resume` (reached from
``brannox.durable.attach`` / ``resume``) and :class:`DistributedDurableTree`;
the worker side is :func:`serve`, :func:`resume_here`, :func:`stopped` and
:func:`stopped_all`, called by the worker's methods.
"""

from __future__ import annotations

import logging
import os
import pickle
import sys

from . import _follow
from .errors import DurableError
from .store import HOST, MACHINE, Store, StoredCheckpoint, is_postgres

logger = logging.getLogger("brannox.durable")


def _boot_id(machine: str = MACHINE) -> str:
    return machine.split(":", 1)[0]


def is_distributed(engine) -> bool:
    # Looked up, not imported: a program without Ray never loads the engine.
    module = sys.modules.get("brannox.engine.distributed._engine")
    return module is not None and isinstance(engine, module.DistributedEngine)


class Relay(Exception):
    """Carries a durable error from a worker to the driver as itself (the
    engine rebuilds a worker's error from its class and text, which the
    durable errors with attributes do not survive)."""

    def __init__(self, blob: bytes):
        super().__init__(blob)

    def original(self) -> BaseException:
        return pickle.loads(self.args[0])

    def __str__(self) -> str:
        return str(self.original())


def _relayed(fn, *args):
    try:
        return fn(*args)
    except DurableError as exc:
        raise Relay(pickle.dumps(exc)) from None


def _travelling(store) -> tuple:
    """The store as a worker can open it: ("postgres", conninfo, None) or
    ("sqlite", absolute path, the driver's boot id)."""
    if isinstance(store, Store):
        raise TypeError("a DistributedEngine's workers open the store themselves: pass its path or "
                        f"Postgres connection string, not an open {type(store).__name__}")
    if isinstance(store, str) and is_postgres(store):
        return ("postgres", store, None)
    if isinstance(store, (str, os.PathLike)):
        # Resolved here: a worker's current directory is not the driver's.
        return ("sqlite", os.path.abspath(os.fspath(store)), _boot_id())
    raise TypeError(f"store must be a path or a Postgres connection string, not {type(store).__name__}")


def _check_id(tree_id) -> None:
    if type(tree_id) is not str:
        raise TypeError(f"tree_id must be a str, not {type(tree_id).__name__}")


def attach(engine, tree_id, store, *, durability, lease_seconds, source, includes, replace):
    _check_id(tree_id)
    _follow._check(durability, lease_seconds)
    spec = _travelling(store)
    request = ("attach", spec, dict(durability=durability, lease_seconds=lease_seconds,
                                    source=None if source is None else os.path.abspath(os.fspath(source)),
                                    includes=includes, replace=replace))
    try:
        summary = engine._durable(tree_id, pickle.dumps(request))
    except Relay as relay:
        raise relay.original() from None
    return DistributedDurableTree(engine, spec, summary)


def resume(engine, tree_id, store, *, durability, lease_seconds, timeout):
    _check_id(tree_id)
    _follow._check(durability, lease_seconds)
    spec = _travelling(store)
    request = (spec, dict(durability=durability, lease_seconds=lease_seconds, timeout=timeout))
    try:
        # Created on a worker like any tree, but from the stored XML, which
        # the worker reads under the lease.
        summary = engine._create(tree_id, "", pickle.dumps(request))
    except Relay as relay:
        raise relay.original() from None
    if summary["xml_changed"]:
        logger.warning("tree %r was resumed from its stored XML; its files changed since (the worker's log "
                       "names them)", tree_id)
    return DistributedDurableTree(engine, spec, summary)


class DistributedDurableTree:
    """A followed tree of a DistributedEngine, as the driver sees it. Made by
    ``attach`` or ``resume``; not by hand.

    Attributes (as of the last answer from the worker): ``tree_id``,
    ``store`` (the store's label), ``durability``, ``seq``,
    ``last_checkpoint_time``, ``owner``, ``pid`` and ``host`` (the worker
    process holding the lease), ``resumed`` (the StoredCheckpoint it started
    from, or None) and ``xml_changed``.
    """

    tree_id: str
    store: str
    durability: str
    seq: int
    last_checkpoint_time: float | None
    owner: str
    pid: int
    host: str
    resumed: StoredCheckpoint | None
    xml_changed: bool

    def __init__(self, engine, spec, summary):
        self._engine = engine
        self._spec = spec
        self._update(summary)

    def _update(self, summary) -> None:
        for name, value in summary.items():
            setattr(self, name, value)

    def _ask(self, op, *args):
        try:
            summary = self._engine._durable(self.tree_id, pickle.dumps((op, *args)))
        except Relay as relay:
            raise relay.original() from None
        self._update(summary)
        return self

    def refresh(self) -> "DistributedDurableTree":
        """Brings ``seq`` and ``last_checkpoint_time`` up to date, after the calls made to the tree before it."""
        return self._ask("info")

    def flush(self, timeout: float | None = None) -> None:
        """Waits until the tree's queued checkpoints are written (a no-op under sync),
        after the calls made to the tree before it."""
        self._ask("flush", timeout)

    def stop(self, *, delete: bool = False) -> None:
        """Stops the tree (``engine.stop_tree``), which writes what is queued
        and ends the lease. ``delete=True`` also removes its checkpoint."""
        self._engine.stop_tree(self.tree_id)
        if delete:
            _follow._open(self._spec[1]).delete(self.tree_id)

    def __repr__(self) -> str:
        return (f"<DistributedDurableTree {self.tree_id!r} {self.durability} seq={self.seq} in {self.store} "
                f"(process {self.pid} on {self.host})>")


# -- worker side -------------------------------------------------------------------------

_here: dict = {}  # tree id -> the DurableTree following it in this worker


def _target(tree_id, spec):
    kind, target, boot_id = spec
    if kind == "sqlite" and boot_id != _boot_id():
        raise DurableError(f"tree {tree_id!r}: an SQLite store is a file of one machine, and this tree's worker "
                           f"runs on another (host {HOST!r}) than the driver that named {target}; "
                           "use a Postgres store for workers on several machines")
    return target


def _summary(follower) -> dict:
    return dict(tree_id=follower.tree_id, store=follower.store.label, durability=follower.durability,
                seq=follower.seq, last_checkpoint_time=follower.last_checkpoint_time, owner=follower.owner,
                pid=os.getpid(), host=HOST, resumed=follower.resumed, xml_changed=follower.xml_changed)


def _followed(tree_id):
    follower = _here.get(tree_id)
    if follower is None or follower._ended:
        raise DurableError(f"tree {tree_id!r} is not durable (or no longer followed) in its worker")
    return follower


def serve(engine, tree_id: str, payload: bytes):
    """Runs one request of the driver about tree ``tree_id`` of this worker's ThreadEngine."""
    op, *args = pickle.loads(payload)
    return _relayed(_serve, engine, tree_id, op, args)


def _serve(engine, tree_id, op, args):
    if op == "attach":
        spec, options = args
        follower = _follow.attach(engine, tree_id, _target(tree_id, spec), **options)
        _here[tree_id] = follower
        return _summary(follower)
    follower = _followed(tree_id)
    if op == "flush":
        follower.flush(args[0])
    elif op != "info":
        raise ValueError(f"unknown durable request {op!r}")
    return _summary(follower)


def resume_here(engine, tree_id: str, payload: bytes):
    """Resumes tree ``tree_id`` into this worker's ThreadEngine (it creates it)."""
    spec, options = pickle.loads(payload)

    def work():
        follower = _follow.resume(engine, tree_id, _target(tree_id, spec), **options)
        _here[tree_id] = follower
        return _summary(follower)
    return _relayed(work)


def _end(follower) -> None:
    # The tree is stopped: what is queued is written and the lease ends now,
    # not at the lease keeper's next round (nor never, when Ray ends the
    # worker next).
    follower._end(release=True)


def stopped(tree_id: str) -> None:
    """The worker stopped tree ``tree_id``."""
    follower = _here.pop(tree_id, None)
    if follower is not None:
        _end(follower)


def stopped_all() -> None:
    """The worker stopped all its trees."""
    for tree_id in list(_here):
        stopped(tree_id)
