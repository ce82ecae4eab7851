"""Following a tree: checkpoints after each tick that changed something, its
lease, and resuming it in another process.

Threads. A followed tree's state is captured on the thread that ticks it
(a ThreadEngine's tree thread, or the caller of a SequentialEngine), by
wrappers put on that tree's own objects: ``tree.tick_once`` (every tick,
whichever engine method made it), and the engine's ``set_blackboard_data``
and ``reset_tree`` (changes outside a tick). The frozen thread engine calls
those by attribute on the core engine, so it needs no change; its stop
halts the tree through the class's ``halt_tree``, which is not followed, so
a stop never overwrites the last checkpoint with a halted tree.

``durability="sync"`` writes the checkpoint before the tick's caller is
answered. ``"async"`` captures the state on the tree thread the same way (a
consistent copy made of fresh built-in values) and hands it to the store's
write-behind thread, which turns it into JSON text and writes it; a tree's
newer checkpoint replaces its older one still queued.

To reach the core engine of a ThreadEngine tree, this module adds a hook
to ``SequentialEngine.tree_hooks``: it runs on the tree thread as soon as a
tree is built, before any command can reach it. That is where a resumed
tree is restored, and where the engine of every tree is noted for a later
``attach``.
"""

from __future__ import annotations

import atexit
import hashlib
import json
import logging
import os
import threading
import time
import uuid
import weakref
from typing import TYPE_CHECKING

from .._bt.node import TreeNode
from ..engine.sequential_engine import SequentialEngine
from ._capture import Plan
from .errors import DurableError, LeaseError, LeaseLostError, NoCheckpointError
from .store import HOST, CheckpointWrite, Store, is_postgres, open_store

if TYPE_CHECKING:
    from ._distributed import DistributedDurableTree

logger = logging.getLogger("brannox.durable")

DURABILITY = ("sync", "async")
LEASE_SECONDS = 15.0
ASYNC_QUEUE = 1024

_lock = threading.RLock()
# thread -> weakref to the core engine that built its current tree.
_engine_of_thread: weakref.WeakKeyDictionary = weakref.WeakKeyDictionary()
# (id(ThreadEngine), tree id) -> _Pending: work for the tree thread once its tree is built.
_pending: dict = {}
# Live followers: (store label, tree id) -> DurableTree.
_followers: dict = {}
# core engine -> its follower, so that loading another tree ends it.
_follower_of_engine: weakref.WeakKeyDictionary = weakref.WeakKeyDictionary()
# Stores opened here from a path or connection string, shared by the trees
# that name the same one: one connection, one writer and one lease keeper each.
_stores: dict = {}


def _sha256(text: str) -> str:
    return hashlib.sha256(text.encode("utf-8")).hexdigest()


def _is_thread_engine(engine) -> bool:
    return not isinstance(engine, SequentialEngine) and isinstance(getattr(engine, "trees", None), dict)


class DurableTree:
    """One followed tree. Made by :func:`attach` or :func:`resume`; not by hand.

    Attributes: ``tree_id``, ``store``, ``durability``, ``seq`` (of the last
    checkpoint taken), ``last_checkpoint_time``, ``resumed`` (the StoredCheckpoint it started from, or
    None), ``xml_changed`` (the XML file it came from differs from the stored
    XML it was resumed from).
    """

    def __init__(self, store: Store, tree_id: str, engine, tree, xml: str, *, durability: str,
                 lease_seconds: float, owner: str, thread_engine=None, source=None, includes=None):
        self.store = store
        self.tree_id = tree_id
        self.durability = durability
        self.lease_seconds = lease_seconds
        self.owner = owner
        self.seq = 0
        self.resumed = None
        self.xml_changed = False
        #: Wall-clock time (seconds since the epoch) of the last checkpoint
        #: known to be committed, for monitors; None before the first.
        self.last_checkpoint_time = None
        self._engine_ref = weakref.ref(engine)
        self._tree_ref = weakref.ref(tree)
        self._thread = threading.current_thread() if thread_engine is not None else None
        self._thread_engine = thread_engine
        self._plan = Plan(tree)
        self._xml = xml
        self._xml_hash = _sha256(xml)
        base = _include_directory(engine)
        if includes is None:
            includes = _included_files(xml, base)
        self._includes = {path: {"sha256": _sha256(text), "text": text, "file": os.path.join(base, path)}
                          for path, text in includes.items()}
        self._source = os.fspath(source) if source is not None else None
        self._xml_written = False
        self._last_state = None
        self._ticks = engine._tick_count
        self._ended = False
        self._failure = None      # an async write error or a lost lease, raised at the next tick
        self._wrapped = ()

    # -- tree thread ----------------------------------------------------------------
    def _install(self, engine, tree) -> None:
        plain_set = engine.set_blackboard_data
        plain_reset = engine.reset_tree
        follower = self

        def tick_once(*args, **kwargs):
            try:
                # Looked up on the class at each call: an observer that swaps
                # the tree's class later (a monitor, an event stream) still
                # sees the tick.
                status = type(tree).tick_once(tree, *args, **kwargs)
            except BaseException:
                # The tree halted itself; that is the state to keep. The
                # tick's own error is the one its caller must see.
                try:
                    follower.checkpoint(ticked=False)
                except Exception as exc:  # noqa: BLE001
                    logger.error("tree %r: checkpoint after a failed tick not written: %s", follower.tree_id, exc)
                raise
            follower.checkpoint(ticked=True)
            return status

        def set_blackboard_data(key, value):
            plain_set(key, value)
            if not tree._ticking:
                follower.checkpoint(ticked=False)

        def reset_tree():
            plain_reset()
            follower._ticks = 0
            follower.checkpoint(ticked=False)

        tree.tick_once = tick_once
        engine.set_blackboard_data = set_blackboard_data
        engine.reset_tree = reset_tree
        self._wrapped = ((tree, "tick_once"), (engine, "set_blackboard_data"), (engine, "reset_tree"))

    def _uninstall(self) -> None:
        for obj, name in self._wrapped:
            obj.__dict__.pop(name, None)
        self._wrapped = ()

    def checkpoint(self, ticked: bool = False) -> bool:
        """Capture the tree and write (sync) or queue (async) it if it changed; True if it did.

        Runs on the thread that ticks the tree. Raises UnstorableValueError
        naming the tree and key for a value with no JSON form or codec.
        """
        failure, self._failure = self._failure, None
        if failure is not None:
            if self._ended:
                self._uninstall()  # a lost lease is told once; the tree runs on, not followed
            raise failure
        if self._ended:
            return False
        if ticked:
            self._ticks += 1
        tree = self._tree_ref()
        if tree is None:
            return False
        state = self._plan.capture(self.tree_id, TreeNode.clock())
        # A capture is built of fresh lists and dicts: comparing it with the
        # last one is a deep comparison that runs in C.
        if state == self._last_state:
            return False
        self.seq += 1
        item = CheckpointWrite(self.tree_id, self.owner, self.seq, self._ticks, state, lease_seconds=self.lease_seconds)
        if not self._xml_written:
            item.xml, item.xml_hash, item.includes, item.source = (
                self._xml, self._xml_hash, self._includes, self._source)
        if self.durability == "async":
            self._last_state = state
            self._xml_written = True
            _writer(self.store).put(self, item)
            return True
        item.data = encode_state(state)
        try:
            lost = self.store.write([item])
        except Exception as exc:
            self.seq -= 1
            raise DurableError(f"tree {self.tree_id!r}: checkpoint not written: {type(exc).__name__}: {exc}") from exc
        if lost:
            self._lease_lost()
            self._uninstall()
            raise self._failure_pop()
        self._last_state = state
        self._xml_written = True
        self.last_checkpoint_time = time.time()
        return True

    def _failure_pop(self):
        failure, self._failure = self._failure, None
        return failure

    # -- any thread -----------------------------------------------------------------
    def alive(self) -> bool:
        """Whether the tree is still the one its engine runs (and, for a ThreadEngine, its thread lives)."""
        if self._ended:
            return False
        engine = self._engine_ref()
        if engine is None or engine._tree is not self._tree_ref():
            return False
        return self._thread is None or self._thread.is_alive()

    def _lease_lost(self) -> None:
        text = (f"tree {self.tree_id!r}: this process's lease was taken over by another owner; "
                "its checkpoints are no longer written here")
        logger.error("%s", text)
        self._failure = LeaseLostError(text)
        # The wrappers stay until the next checkpoint raises the error.
        self._end(release=False, uninstall=False)

    def _async_failed(self, exc: BaseException) -> None:
        self._last_state = None  # written again at the next change
        self._xml_written = False
        self._failure = DurableError(f"tree {self.tree_id!r}: a queued checkpoint was not written: "
                                     f"{type(exc).__name__}: {exc}")

    def flush(self, timeout: float | None = None) -> None:
        """Waits until this store's queued checkpoints are written (a no-op under sync)."""
        self.store.flush(timeout)

    def stop(self, *, delete: bool = False) -> None:
        """Ends following: stops a ThreadEngine tree, writes what is queued, ends the lease.

        ``delete=True`` also removes the tree's checkpoint, so it cannot be
        resumed; by default it is kept, and a later :func:`resume` continues
        from it.
        """
        if self._thread_engine is not None and self.tree_id in self._thread_engine.trees:
            self._thread_engine.stop_tree(self.tree_id)
        self._end(release=True)
        if delete:
            self.store.delete(self.tree_id)

    def _end(self, release: bool, uninstall: bool = True) -> None:
        with _lock:
            if self._ended:
                return
            self._ended = True
            if _followers.get((self.store.label, self.tree_id)) is self:
                del _followers[(self.store.label, self.tree_id)]
            engine = self._engine_ref()
            if engine is not None and _follower_of_engine.get(engine) is self:
                del _follower_of_engine[engine]
        if uninstall:
            self._uninstall()
        if release:
            if self.store.writer is not None:
                try:
                    self.store.writer.flush()
                except Exception as exc:  # noqa: BLE001 - the lease is released all the same
                    logger.error("tree %r: flushing its checkpoints failed: %s", self.tree_id, exc)
            try:
                self.store.release(self.tree_id, self.owner)
            except Exception as exc:  # noqa: BLE001
                logger.error("tree %r: releasing its lease failed: %s", self.tree_id, exc)

    def __repr__(self) -> str:
        state = "ended" if self._ended else self.durability
        return f"<DurableTree {self.tree_id!r} {state} seq={self.seq} in {self.store.label}>"


# -- the write-behind queue and the lease keeper, one of each per store -----------------

def encode_state(state) -> str:
    return json.dumps(state, separators=(",", ":"), allow_nan=True)


class WriteBehind:
    """A bounded queue of checkpoints and the thread that writes them.

    One entry per tree: a newer checkpoint of a tree replaces its older one
    not yet written. When ``maxsize`` trees are waiting, the next new tree
    waits for room (the queue is bounded by trees, not ticks). Once woken,
    the writer lingers ``linger`` seconds before taking what is queued, so
    that a fast-ticking tree is written once per batch, not once per tick;
    ``flush`` cuts the wait short.
    """

    def __init__(self, store: Store, maxsize: int = ASYNC_QUEUE, linger: float = 0.02):
        self.store = store
        self.maxsize = maxsize
        self.linger = linger
        self._pending: dict = {}
        self._cond = threading.Condition()
        self._hurry = threading.Event()
        self._idle = False        # the writer waits for work (only then does put wake it)
        self._busy = False
        self._closing = False
        self._thread = threading.Thread(target=self._run, name=f"checkpoints {store.label}", daemon=True)
        self._thread.start()

    def put(self, follower: DurableTree, item: CheckpointWrite) -> None:
        with self._cond:
            if self._closing:
                raise DurableError(f"store {self.store.label} is closed")
            if item.tree_id in self._pending:
                old = self._pending[item.tree_id][1]
                if old.xml is not None and item.xml is None:
                    item.xml, item.xml_hash, item.includes, item.source = old.xml, old.xml_hash, old.includes, old.source
            else:
                while len(self._pending) >= self.maxsize and not self._closing:
                    self._hurry.set()
                    self._cond.wait()
            self._pending[item.tree_id] = (follower, item)
            if self._idle:
                self._cond.notify_all()

    def _run(self) -> None:
        while True:
            with self._cond:
                while not self._pending and not self._closing:
                    self._idle = True
                    self._cond.wait()
                self._idle = False
                if not self._pending:
                    return
            if not self._closing:
                self._hurry.wait(self.linger)
            with self._cond:
                self._hurry.clear()
                batch, self._pending = self._pending, {}
                self._busy = True
                self._cond.notify_all()  # room for producers that waited
            try:
                for _, item in batch.values():
                    if not isinstance(item.data, str):
                        item.data = encode_state(item.data)
                lost = self.store.write([item for _, item in batch.values()])
            except Exception as exc:  # noqa: BLE001 - handed to each tree's next tick
                logger.error("writing %d queued checkpoint(s) to %s failed: %s", len(batch), self.store.label, exc)
                for follower, _ in batch.values():
                    if follower is not None:
                        follower._async_failed(exc)
            else:
                written = time.time()
                for tree_id, (follower, _) in batch.items():
                    if follower is None:
                        continue
                    if tree_id in lost:
                        follower._lease_lost()
                    else:
                        follower.last_checkpoint_time = written
            with self._cond:
                self._busy = False
                self._cond.notify_all()

    def flush(self, timeout: float | None = None) -> None:
        self._hurry.set()
        with self._cond:
            if not self._cond.wait_for(lambda: not self._pending and not self._busy, timeout):
                raise TimeoutError(f"queued checkpoints for {self.store.label} not written within {timeout} s")

    def close(self) -> None:
        with self._cond:
            self._closing = True
            self._cond.notify_all()
        self._hurry.set()
        self._thread.join()


class LeaseKeeper:
    """Renews the leases of this process's live trees in one store; ends those whose tree is gone."""

    def __init__(self, store: Store):
        self.store = store
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, name=f"leases {store.label}", daemon=True)
        self._thread.start()

    def _followers(self) -> list:
        with _lock:
            return [f for (label, _), f in _followers.items() if label == self.store.label]

    def _run(self) -> None:
        while True:
            followers = self._followers()
            period = min([f.lease_seconds for f in followers] or [LEASE_SECONDS]) / 3
            if self._stop.wait(period):
                return
            live = []
            for follower in self._followers():
                if follower.alive():
                    live.append(follower)
                else:
                    follower._end(release=True)
            try:
                lost = self.store.renew([(f.tree_id, f.owner, f.lease_seconds) for f in live])
            except Exception as exc:  # noqa: BLE001 - tried again next period
                logger.error("renewing leases in %s failed: %s", self.store.label, exc)
                continue
            for follower in live:
                if follower.tree_id in lost:
                    follower._lease_lost()

    def close(self) -> None:
        self._stop.set()
        self._thread.join()


# Write-behind queues of the process, written out at a clean exit.
_writers: weakref.WeakSet = weakref.WeakSet()


def _writer(store: Store) -> WriteBehind:
    with _lock:
        if store.writer is None:
            store.writer = WriteBehind(store)
            _writers.add(store.writer)
        return store.writer


# Lease keepers of the process, ended at a clean exit.
_keepers: weakref.WeakSet = weakref.WeakSet()


@atexit.register
def _flush_at_exit() -> None:
    """Writes what the queues hold, then ends the writer and lease threads, so
    that none is still running when the interpreter shuts down. Leases stay in
    the store: a later owner takes a dead process's lease over at once."""
    for writer in list(_writers):
        try:
            writer.flush(10.0)
        except Exception as exc:  # noqa: BLE001 - exiting regardless
            logger.error("checkpoints still queued for %s at exit were not written: %s", writer.store.label, exc)
    for worker in (*_writers, *_keepers):
        try:
            worker.close()
        except Exception as exc:  # noqa: BLE001 - exiting regardless
            logger.error("%s did not end at exit: %s", type(worker).__name__, exc)


def _keep_leases(store: Store) -> None:
    with _lock:
        if store.lease_keeper is None:
            store.lease_keeper = LeaseKeeper(store)
            _keepers.add(store.lease_keeper)


# -- the engine hook --------------------------------------------------------------------

class _Pending:
    """Work waiting for a ThreadEngine tree thread to build its tree."""

    def __init__(self, thread_engine, work):
        self.thread_engine = thread_engine  # held, so that its id stays its own
        self.work = work
        self.done = threading.Event()
        self.result = None
        self.error = None


def _on_tree_built(engine, tree) -> None:
    thread = threading.current_thread()
    with _lock:
        _engine_of_thread[thread] = weakref.ref(engine)
        stale = _follower_of_engine.pop(engine, None)
    if stale is not None:
        # The engine loaded another tree: the followed one is gone.
        stale._end(release=True)
    owner = getattr(getattr(thread, "_target", None), "__self__", None)
    args = getattr(thread, "_args", ())
    if owner is None or not args:
        return
    with _lock:
        pending = _pending.pop((id(owner), args[0]), None)
    if pending is None:
        return
    try:
        pending.result = pending.work(engine, tree)
    except BaseException as exc:
        pending.error = exc
        raise
    finally:
        pending.done.set()


if _on_tree_built not in SequentialEngine.tree_hooks:
    SequentialEngine.tree_hooks = SequentialEngine.tree_hooks + (_on_tree_built,)


def _core_engine_of(thread_engine, tree_id: str, timeout: float = 10.0):
    record = thread_engine.trees.get(tree_id)
    if not isinstance(record, dict):
        raise DurableError(f"no live tree {tree_id!r}")
    deadline = time.monotonic() + timeout
    while True:
        thread = record.get("thread")
        ref = _engine_of_thread.get(thread) if thread is not None else None
        engine = ref() if ref is not None else None
        if engine is not None and engine._tree is not None:
            return engine
        if thread is not None and thread.ident is not None and not thread.is_alive():
            raise DurableError(f"tree {tree_id!r} has no built tree (its thread ended)")
        if time.monotonic() > deadline:
            raise DurableError(f"tree {tree_id!r}: its core engine is unknown; was it created before "
                               "brannox.durable was imported?")
        time.sleep(0.005)


def _on_tree_thread(thread_engine, tree_id: str, engine, fn):
    """Runs fn() on the tree's thread, between two commands, and returns its result.

    The engine's ``get_tree_status`` is replaced, for one call, by one that
    runs fn first; the thread engine looks it up on the core engine object
    at each command.
    """
    box = {}

    def once():
        engine.__dict__.pop("get_tree_status", None)
        if "done" not in box:
            box["done"] = True
            try:
                box["value"] = fn()
            except BaseException as exc:
                box["error"] = exc
        return SequentialEngine.get_tree_status(engine)

    engine.get_tree_status = once
    try:
        thread_engine.get_tree_status(tree_id)
    finally:
        engine.__dict__.pop("get_tree_status", None)
    if "error" in box:
        raise box["error"]
    return box.get("value")


# -- public entry points -------------------------------------------------------------------

def _open(target) -> Store:
    if isinstance(target, Store):
        return target
    key = target if isinstance(target, str) and is_postgres(target) else os.path.abspath(os.fspath(target))
    with _lock:
        store = _stores.get(key)
        if store is None or store._closed:
            store = _stores[key] = open_store(key)
        return store


def _check(durability: str, lease_seconds: float) -> None:
    if durability not in DURABILITY:
        raise ValueError(f"durability must be one of {DURABILITY}, not {durability!r}")
    if not (isinstance(lease_seconds, (int, float)) and lease_seconds > 0):
        raise ValueError(f"lease_seconds must be a positive number, not {lease_seconds!r}")


def checkpoint_times() -> dict:
    """{id(tree): wall-clock time of its last committed checkpoint} for the
    trees this process follows, for monitors; trees with none yet are left out."""
    with _lock:
        followers = list(_followers.values())
    times = {}
    for follower in followers:
        tree = follower._tree_ref()
        if tree is not None and follower.last_checkpoint_time is not None:
            times[id(tree)] = follower.last_checkpoint_time
    return times


def _register(follower: DurableTree) -> None:
    with _lock:
        key = (follower.store.label, follower.tree_id)
        old = _followers.get(key)
        if old is not None and old is not follower and old.alive():
            raise LeaseError(follower.tree_id, os.getpid(), HOST)
        _followers[key] = follower
        engine = follower._engine_ref()
        if engine is not None:
            _follower_of_engine[engine] = follower
    _keep_leases(follower.store)


def _release_dead_local(store: Store, tree_id: str) -> None:
    """A tree this process followed and has since stopped gives its lease up now,
    not at the lease keeper's next round."""
    with _lock:
        old = _followers.get((store.label, tree_id))
    if old is not None and not old.alive():
        old._end(release=True)


def attach(engine, tree_id: str, store, *, durability: str = "sync", lease_seconds: float = LEASE_SECONDS,
           source=None, includes=None, replace: bool = False) -> DurableTree | DistributedDurableTree:
    """Make a loaded tree durable under ``tree_id`` and write its first checkpoint.

    ``engine`` is a SequentialEngine (its current tree; ``tree_id`` names it
    in the store) or a ThreadEngine (its tree ``tree_id``). ``store`` is a
    Store, a path or a Postgres connection string. ``source`` is the file
    the XML was read from and ``includes`` the included files' texts
    ({path: text}); both are stored so that a resume can tell when the files
    changed. A store that already holds a checkpoint of ``tree_id`` is
    refused unless ``replace=True`` (use :func:`resume` to continue it).

    A DistributedEngine tree is followed in the worker that hosts it (see
    docs/durable.md): ``store`` must then be a path or a connection string,
    and a DistributedDurableTree is returned.
    """
    from . import _distributed
    if _distributed.is_distributed(engine):
        return _distributed.attach(engine, tree_id, store, durability=durability, lease_seconds=lease_seconds,
                                   source=source, includes=includes, replace=replace)
    _check(durability, lease_seconds)
    store = _open(store)
    if not replace:
        try:
            store.load(tree_id)
        except NoCheckpointError:
            pass
        else:
            raise DurableError(f"{store.label} already holds a checkpoint of tree {tree_id!r}: "
                               "resume() it, or pass replace=True to start it afresh")
    _release_dead_local(store, tree_id)
    owner = uuid.uuid4().hex
    store.acquire(tree_id, owner, lease_seconds)
    try:
        if _is_thread_engine(engine):
            core = _core_engine_of(engine, tree_id)

            def setup():
                return _start(store, tree_id, core, core._tree, durability, lease_seconds, owner, engine,
                              source, includes, None)
            return _on_tree_thread(engine, tree_id, core, setup)
        if engine._tree is None:
            raise DurableError("the engine has no tree loaded: call create_tree_from_text() first")
        return _start(store, tree_id, engine, engine._tree, durability, lease_seconds, owner, None,
                      source, includes, None)
    except BaseException:
        store.release(tree_id, owner)
        raise


def _start(store, tree_id, engine, tree, durability, lease_seconds, owner, thread_engine, source, includes,
           stored) -> DurableTree:
    xml = stored.xml if stored is not None else _xml_of(tree)
    follower = DurableTree(store, tree_id, engine, tree, xml, durability=durability, lease_seconds=lease_seconds,
                           owner=owner, thread_engine=thread_engine, source=source,
                           includes=includes if stored is None else {})
    if stored is not None:
        follower._plan.restore(stored.state, tree_id, TreeNode.clock())
        engine._tick_count = follower._ticks = stored.tick_count
        follower.seq = stored.seq
        follower.resumed = stored
        follower._xml_written = True
        follower._includes = stored.includes
        follower._source = stored.source
        # A faithful restore captures as the checkpoint did: nothing to write.
        follower._last_state = stored.state
        follower.last_checkpoint_time = stored.created
    _register(follower)
    follower._install(engine, tree)
    try:
        follower.checkpoint()
    except BaseException:
        follower._end(release=False)
        raise
    return follower


def _included_files(xml: str, directory: str) -> dict:
    """{path under ``directory``: text} of every file ``xml`` includes, directly or not.

    Read the way the builder reads them (paths relative to the including
    file); a file that cannot be read is left out, since the tree was built.
    """
    from .._bt.xmlreader import parse_xml
    found: dict = {}
    pending = [(xml, directory)]
    while pending:
        text, here = pending.pop()
        try:
            document = parse_xml(text)
        except Exception:  # noqa: BLE001 - the builder accepted it; nothing more to find
            continue
        for el in document.children:
            raw = el.attrs.get("path", "") if el.tag == "include" else ""
            if not raw.strip() or os.path.isabs(raw):
                continue
            real = os.path.realpath(os.path.join(here, raw))
            key = os.path.relpath(real, directory)
            if key in found:
                continue
            try:
                with open(real, encoding="utf-8") as f:
                    found[key] = f.read()
            except (OSError, UnicodeDecodeError):
                continue
            pending.append((found[key], os.path.dirname(real)))
    return found


def _include_directory(engine) -> str:
    return os.path.realpath(getattr(engine.factory, "include_directory", None) or os.getcwd())


def _xml_of(tree) -> str:
    from .._bt.observe import REGISTRY
    for entry in REGISTRY.entries():
        if entry.tree_ref() is tree:
            return entry.xml
    raise DurableError(f"tree {tree.tree_id!r}: its XML text is not known")


def _files_changed(stored) -> list:
    """The stored source and included files whose text on disk differs from what was stored."""
    changed = []
    files = []
    if stored.source:
        files.append((stored.source, stored.xml_hash))
    files += [(item.get("file", path), item.get("sha256")) for path, item in stored.includes.items()]
    for path, digest in files:
        try:
            with open(path, encoding="utf-8") as f:
                on_disk = _sha256(f.read())
        except OSError:
            changed.append(path)
            continue
        if on_disk != digest:
            changed.append(path)
    return changed


def resume(engine, tree_id: str, store, *, durability: str = "sync", lease_seconds: float = LEASE_SECONDS,
           timeout: float = 30.0) -> DurableTree | DistributedDurableTree:
    """Recreate tree ``tree_id`` from its last checkpoint in ``store`` and follow it again.

    A SequentialEngine loads it as its current tree; a ThreadEngine starts
    it as its tree ``tree_id``. The engine must have the same actions
    registered as the one that ran it. The tree is built from the stored
    XML; if the file it came from has changed since, the resume logs a
    warning and sets ``xml_changed``. Raises LeaseError naming the owner
    when the tree is live elsewhere, NoCheckpointError when there is none.
    A DistributedEngine creates it on one of its workers, which follows it.
    """
    from . import _distributed
    if _distributed.is_distributed(engine):
        return _distributed.resume(engine, tree_id, store, durability=durability, lease_seconds=lease_seconds,
                                   timeout=timeout)
    _check(durability, lease_seconds)
    store = _open(store)
    _release_dead_local(store, tree_id)
    owner = uuid.uuid4().hex
    store.acquire(tree_id, owner, lease_seconds)
    try:
        # Read under the lease: nothing newer can be written by another owner now.
        stored = store.load(tree_id)
        changed = _files_changed(stored)
        if _is_thread_engine(engine):
            follower = _resume_thread_tree(engine, tree_id, store, stored, durability, lease_seconds, owner, timeout)
        else:
            _build_stored(engine, stored)
            follower = _start(store, tree_id, engine, engine._tree, durability, lease_seconds, owner, None,
                              None, None, stored)
    except BaseException:
        store.release(tree_id, owner)
        raise
    if changed:
        follower.xml_changed = True
        logger.warning("tree %r was resumed from its stored XML; these files changed since: %s",
                       tree_id, ", ".join(changed))
    return follower


def _build_stored(engine, stored) -> None:
    """Builds the stored XML with the stored texts of its included files, not
    what the files hold now: they are laid out in a temporary folder that the
    factory resolves includes against for this one build."""
    if not stored.includes:
        engine.create_tree_from_text(stored.xml)
        return
    import tempfile
    factory = engine.factory
    with tempfile.TemporaryDirectory(prefix="brannox-resume-") as folder:
        for path, item in stored.includes.items():
            target = os.path.realpath(os.path.join(folder, path))
            if not target.startswith(os.path.realpath(folder) + os.sep):
                raise DurableError(f"tree {stored.tree_id!r}: stored include path {path!r} leaves its folder")
            os.makedirs(os.path.dirname(target), exist_ok=True)
            with open(target, "w", encoding="utf-8") as f:
                f.write(item.get("text", ""))
        had = factory.__dict__.get("include_directory", _MISSING)
        factory.include_directory = folder
        try:
            engine.create_tree_from_text(stored.xml)
        finally:
            if had is _MISSING:
                del factory.include_directory
            else:
                factory.include_directory = had


_MISSING = object()


def _resume_thread_tree(thread_engine, tree_id, store, stored, durability, lease_seconds, owner, timeout):
    if tree_id in thread_engine.trees:
        raise DurableError(f"the engine already runs a tree {tree_id!r}; stop it before resuming the stored one")

    def work(core, tree):
        return _start(store, tree_id, core, tree, durability, lease_seconds, owner, thread_engine, None, None,
                      stored)

    pending = _Pending(thread_engine, work)
    with _lock:
        _pending[(id(thread_engine), tree_id)] = pending
    try:
        thread_engine.create_tree_from_text(stored.xml, tree_id)
        # Served only once the tree is built and restored; a failed build
        # (an action not registered here, say) is raised from it.
        try:
            thread_engine.get_tree_status(tree_id)
        except Exception:
            if pending.error is None:
                raise
        if not pending.done.wait(timeout):
            raise DurableError(f"tree {tree_id!r} was not built within {timeout} s")
    except BaseException:
        with _lock:
            _pending.pop((id(thread_engine), tree_id), None)
        raise
    if pending.error is not None:
        if tree_id in thread_engine.trees:
            try:
                thread_engine.stop_tree(tree_id)
            except Exception:  # noqa: BLE001 - the restore error is the one to report
                pass
        raise pending.error
    return pending.result

