"""Watching built trees: status transitions, per-node counters, blackboard writes.

Nothing here costs anything while a tree is unobserved. Attaching the first
observer swaps each node's class for a subclass whose ``status`` is a
write-reporting descriptor (and each blackboard's for one whose ``set`` reports), so every
status write, wherever the core makes it, is seen; detaching the last
observer swaps the plain classes back. The tree itself gets a class that
reports tick starts and ends, halts and resets, and each node one whose
``emit`` reports, to observers that define the matching ``on_*`` method.

Threads: events are made on the thread that ticks the tree (or writes its
blackboard) and handed to observers there; an observer must only copy what
it needs into structures of its own. Events and node tables are immutable
tuples, safe to read from any thread.

An observer may also take part in ticks (a tracer timing them; see
"Taking part in ticks" below); only trees with such an observer get the
classes that make those calls.

The process-wide :data:`REGISTRY` lists every tree a SequentialEngine has
built, keyed by the thread that built it (the tree thread of a ThreadEngine,
``engine.trees[id]["thread"]``).
"""

from __future__ import annotations

import builtins
import logging
import reprlib
import threading
import time
import weakref
from typing import NamedTuple

from .blackboard import Blackboard
from .node import TreeNode, check_event_kind, safe_str
from .status import NodeStatus

logger = logging.getLogger("brannox.core")

_IDLE = NodeStatus.IDLE
_RUNNING = NodeStatus.RUNNING
REPR_LIMIT = 200


def now_us() -> int:
    return time.monotonic_ns() // 1000


class _ShortRepr(reprlib.Repr):
    """Bounded reprs of built-in containers: a blackboard holding a huge list
    must not cost a full repr on the tree thread at every write."""

    def __init__(self):
        super().__init__()
        self.maxlist = self.maxtuple = self.maxset = self.maxfrozenset = self.maxdeque = self.maxdict = 20
        self.maxstring = self.maxlong = self.maxother = REPR_LIMIT

    def repr_instance(self, obj, level):
        return builtins.repr(obj)  # errors go to value_text, which names them


_short_repr = _ShortRepr().repr


def value_text(value, limit: int = REPR_LIMIT) -> tuple:
    """(truncated repr, type name); a repr that raises gives a placeholder."""
    tname = type(value).__name__
    try:
        text = _short_repr(value)
        if not isinstance(text, str):
            raise TypeError("__repr__ returned a non-string")
    except Exception as exc:  # noqa: BLE001 - any user repr may fail
        return (f"<repr failed: {type(exc).__name__}>", tname)
    if len(text) > limit:
        text = text[: limit - 1] + "…"
    return (text, tname)


class NodeInfo(NamedTuple):
    id: int            # depth-first index, stable for the life of the tree
    parent: int        # -1 for the root
    path: str          # child indices from the root, e.g. "/0/2"
    type: str          # node type (element or registered action id)
    name: str
    ports: tuple       # ((port, raw attribute text), ...)
    description: str = ""  # the element's _description attribute


# Events are plain tuples (cheaper to make than named ones):
#   transition: (t, node index, previous status name, new status name)
#   blackboard: (t, key, (truncated repr, type name))
#   emitted:    (t, node index, kind, payload)         to on_emit
#   tick start: t; tick end: (t, status name or None, error text or None)
#   halt:       (t, whether it is a reset)             to on_halt
# with t in monotonic microseconds. The last three go only to observers that
# define on_emit, on_tick_start, on_tick_end or on_halt. Status names keep new members working unchanged.




class Counters:
    """Per-node counts, kept on the tree thread while observed."""

    __slots__ = ("ticks", "halts", "by_status", "last_status", "last_change")

    def __init__(self, status):
        self.ticks = 0
        self.halts = 0
        self.by_status: dict = {}
        self.last_status = status
        self.last_change = 0

    def row(self) -> tuple:
        """(ticks, successes, failures, skips, halts, last status, last change)."""
        by = self.by_status
        return (self.ticks, by.get("SUCCESS", 0), by.get("FAILURE", 0), by.get("SKIPPED", 0), self.halts,
                self.last_status.name, self.last_change)

    def snapshot(self) -> dict:
        by = {s.lower(): n for s, n in self.by_status.items()}
        return {
            "ticks": self.ticks, "successes": by.get("success", 0), "failures": by.get("failure", 0),
            "skips": by.get("skipped", 0), "halts": self.halts, "last_status": self.last_status.name,
            "last_change": self.last_change,
        }


def node_table(root) -> tuple:
    out, stack = [], [(root, -1, "")]
    while stack:
        node, parent, path = stack.pop()
        index = len(out)
        attrs = getattr(node, "_attrs", {})
        out.append(NodeInfo(index, parent, path or "/", node.node_id, node.name,
                            tuple((k, str(v)) for k, v in attrs.items()), str(getattr(node, "description", ""))))
        for i in range(len(node.children) - 1, -1, -1):
            stack.append((node.children[i], index, f"{path}/{i}"))
    return tuple(out)


def _nodes_in_table_order(root) -> list:
    out, stack = [], [root]
    while stack:
        node = stack.pop()
        out.append(node)
        stack.extend(reversed(node.children))
    return out


# -- node and blackboard classes while observed ------------------------------

_observed_classes: dict = {}
_class_lock = threading.Lock()


class _ReportedStatus:
    """``status`` of an observed node. Only ``__set__`` is defined: reads find
    the value in the instance dict at C speed; writes come here."""

    __slots__ = ()

    def __set__(self, node, new, _idle=_IDLE, _running=_RUNNING, _ns=time.monotonic_ns):
        # The hot path while observed: locals and default arguments only.
        d = node.__dict__
        old = d["status"]
        d["status"] = new
        # One read of one tuple: a detach on another thread pops it as a whole.
        obs = d.get("_obs")
        if obs is None:
            return
        watch, c, index = obs
        if new is _idle:
            if old is _idle:
                return
            # A node back to IDLE straight from RUNNING was halted; one that
            # finished first is only being cleared for its next run.
            if old is _running:
                c.halts += 1
        else:
            c.ticks += 1
            # Keyed by name: an enum member hashes in Python code, its _name_ string does not.
            name = new._name_
            by = c.by_status
            by[name] = by.get(name, 0) + 1
        if old is not new:
            c.last_status = new
            c.last_change = t = _ns() // 1000
            ev = (t, index, old._name_, new._name_)
            for emit in watch.on_transition:
                emit(ev)
        if index == 0 and new is not _idle:
            for o in watch.observers:
                o.on_tick(c)


_REPORTED_STATUS = _ReportedStatus()


def _reported_emit(node, kind, payload=None, _ns=time.monotonic_ns):
    check_event_kind(kind)
    obs = node.__dict__.get("_obs")
    if obs is not None:
        watch, _, index = obs
        if watch.on_emit:
            ev = (_ns() // 1000, index, kind, payload)
            for fn in watch.on_emit:
                fn(ev)


def _observed_class(cls):
    sub = _observed_classes.get(cls)
    if sub is None:
        with _class_lock:
            sub = _observed_classes.get(cls)
            if sub is None:
                extra = {"status": _REPORTED_STATUS, "__module__": cls.__module__, "_plain_class": cls}
                if getattr(cls, "emit", None) is TreeNode.emit:  # a node type's own emit stays its own
                    extra["emit"] = _reported_emit
                sub = type(cls.__name__, (cls,), extra)
                sub.__qualname__ = cls.__qualname__
                _observed_classes[cls] = sub
    return sub


# -- taking part in ticks -------------------------------------------------------
#
# Beside on_transition, on_blackboard and on_tick, an observer may define:
#   node_calls(nodes) -> {index: kinds}   at attach: which nodes (in table
#                                         order) it wants to hear about, and
#                                         of which calls ("tick", "halt");
#   node_call(kind, index) -> end or None before each such call of the node.
# end(result, error) follows once, on the same thread: what the call returned
# (a status for "tick", None for "halt") and None, or None and the exception
# on its way out. The root's calls are the tree's: its tick is the tree's
# tick, its halt the tree's halt (a stop, a reset, the clean-up after a tick
# that raised). Nodes nobody asked for keep the plain observed class.

_traced_classes: dict = {}
_failed_hooks: set = set()


def _hook_failed(hook) -> None:
    owner = getattr(hook, "__self__", hook)
    if id(owner) not in _failed_hooks:
        _failed_hooks.add(id(owner))
        logger.exception("a tick hook of %r failed; its later failures are not logged", owner)


def _around(hooks, kind, index, call, node):
    ends = []
    for hook in hooks:
        try:
            end = hook(kind, index)
        except Exception:  # noqa: BLE001 - an observer's fault is not the tree's
            _hook_failed(hook)
            continue
        if end is not None:
            ends.append(end)
    result = error = None
    try:
        result = call(node)
    except BaseException as exc:
        error = exc
        raise
    finally:
        for end in reversed(ends):  # last begun, first ended: tracers nest contexts
            try:
                end(result, error)
            except Exception:  # noqa: BLE001
                _hook_failed(end)
    return result


def _traced_class(cls):
    """The observed class of ``cls`` whose ``tick`` and ``halt`` also report to node_call hooks.

    The plain methods are called through ``cls``, not ``super()``: a bound
    method taken while the node had this class (a wrapper keeping
    ``node.tick``) must still work once the node has its plain class again.
    """
    sub = _traced_classes.get(cls)
    if sub is not None:
        return sub
    base = _observed_class(cls)

    def tick(self):
        obs = self.__dict__.get("_obs")
        hooks = obs[0].node_hooks.get(("tick", obs[2])) if obs is not None else None
        if not hooks:
            return cls.tick(self)
        return _around(hooks, "tick", obs[2], cls.tick, self)

    def halt(self):
        obs = self.__dict__.get("_obs")
        hooks = obs[0].node_hooks.get(("halt", obs[2])) if obs is not None else None
        if not hooks:
            return cls.halt(self)
        return _around(hooks, "halt", obs[2], cls.halt, self)

    with _class_lock:
        sub = _traced_classes.get(cls)
        if sub is None:
            sub = type(cls.__name__, (base,), {"tick": tick, "halt": halt, "__module__": cls.__module__})
            sub.__qualname__ = cls.__qualname__
            _traced_classes[cls] = sub
    return sub


class _ObservedBlackboard(Blackboard):
    __slots__ = ()

    def set(self, key: str, value) -> None:
        bb, key = self._resolve(key)
        bb._data[key] = value
        bb._versions[key] = bb._versions.get(key, 0) + 1
        watch = _bb_watches.get(id(bb))
        if watch is not None:
            ev = (now_us(), key, value_text(value))
            for obs in watch.observers:
                obs.on_blackboard(ev)


# id(top blackboard) -> watch; the watch keeps the blackboard alive, so the id stays valid.
_bb_watches: dict = {}


def _plain_tree_class(tree):
    # A bound method of the reporting class kept past the watch's end (a
    # wrapper around tree.tick_once) finds the plain class already back.
    cls = type(tree)
    return cls.__dict__.get("_plain_class", cls)


def _reported_tick_once(tree, *args, **kwargs):
    plain = _plain_tree_class(tree)
    watch = tree.__dict__.get("_obs")
    if watch is None or not (watch.on_tick_start or watch.on_tick_end):
        return plain.tick_once(tree, *args, **kwargs)
    t = now_us()
    for fn in watch.on_tick_start:
        fn(t)
    try:
        status = plain.tick_once(tree, *args, **kwargs)
    except Exception as exc:
        ev = (now_us(), None, f"{type(exc).__name__}: {safe_str(exc)}")
        for fn in watch.on_tick_end:
            fn(ev)
        raise
    ev = (now_us(), status._name_, None)
    for fn in watch.on_tick_end:
        fn(ev)
    return status


def _reported_halt(tree, reset=False):
    watch = tree.__dict__.get("_obs")
    if watch is not None:
        ev = (now_us(), reset)
        for fn in watch.on_halt:
            fn(ev)
    plain = _plain_tree_class(tree)
    return plain.reset(tree) if reset else plain.halt(tree)


def _observed_tree_class(cls):
    """The tree's reporting class: tick starts and ends, halts and resets."""
    sub = _observed_classes.get(cls)
    if sub is None:
        with _class_lock:
            sub = _observed_classes.get(cls)
            if sub is None:
                sub = type(cls.__name__, (cls,), {
                    "tick_once": _reported_tick_once, "halt": _reported_halt,
                    "reset": lambda tree: _reported_halt(tree, True),
                    "__module__": cls.__module__, "_plain_class": cls})
                sub.__qualname__ = cls.__qualname__
                _observed_classes[cls] = sub
    return sub


def _hooks(observers, name) -> tuple:
    return tuple(fn for fn in (getattr(o, name, None) for o in observers) if fn is not None)


class _Watch:
    """What one observed tree carries; ``observers`` is replaced, never mutated."""

    def __init__(self, entry, tree):
        self.entry = entry
        self.tree = tree
        self.started = False
        self.set_observers(())
        self.nodes = _nodes_in_table_order(tree.root)
        self.blackboards = {id(n._blackboard): n._blackboard for n in self.nodes}
        self.blackboards[id(tree.blackboard)] = tree.blackboard

    def set_observers(self, observers: tuple) -> None:
        # Bound methods looked up once, not on every transition.
        node_hooks: dict = {}
        for o in observers:
            pick = getattr(o, "node_calls", None)
            if pick is not None:
                for index, kinds in pick(self.nodes).items():
                    for kind in kinds:
                        node_hooks.setdefault((kind, index), []).append(o.node_call)
        node_hooks = {key: tuple(hooks) for key, hooks in node_hooks.items()}
        if self.started:
            self._swap_traced({index for _, index in node_hooks})
        self.node_hooks = node_hooks
        self.on_transition = tuple(o.on_transition for o in observers)
        self.on_emit = _hooks(observers, "on_emit")
        self.on_tick_start = _hooks(observers, "on_tick_start")
        self.on_tick_end = _hooks(observers, "on_tick_end")
        self.on_halt = _hooks(observers, "on_halt")
        self.observers = observers

    def _swap_traced(self, traced: set) -> None:
        """Give each node the class its hooks need: all classes made first,
        then the swaps, undone if one fails."""
        plan = []
        for index, node in enumerate(self.nodes):
            plain = type(node)._plain_class
            want = _traced_class(plain) if index in traced else _observed_class(plain)
            if type(node) is not want:
                plan.append((node, want))
        done = []
        try:
            for node, cls in plan:
                old = type(node)
                node.__class__ = cls
                done.append((node, old))
        except BaseException:
            for node, old in reversed(done):
                node.__class__ = old
            raise

    def start(self) -> None:
        """Swap every node and blackboard to its reporting class, or none of them.

        The classes are all made before any node changes, so a class that
        cannot be subclassed (an ``__init_subclass__`` that wants arguments)
        leaves the tree untouched; a failure while swapping undoes the swaps.
        """
        classes = [_observed_class(type(node)) for node in self.nodes]
        tree_class = _observed_tree_class(type(self.tree))
        try:
            for i, (node, cls) in enumerate(zip(self.nodes, classes)):
                d = node.__dict__
                d["_obs"] = (self, Counters(d["status"]), i)
                node.__class__ = cls
            for bb in self.blackboards.values():
                if type(bb) is Blackboard:
                    bb.__class__ = _ObservedBlackboard
            _bb_watches[id(self.tree.blackboard)] = self
            self.tree.__dict__["_obs"] = self
            self.tree.__class__ = tree_class
        except BaseException:
            self.stop()
            raise
        self.started = True

    def stop(self) -> None:
        self.started = False
        tree = self.tree
        plain = getattr(type(tree), "_plain_class", None)
        if plain is not None:
            tree.__class__ = plain
        tree.__dict__.pop("_obs", None)
        _bb_watches.pop(id(self.tree.blackboard), None)
        for bb in self.blackboards.values():
            if type(bb) is _ObservedBlackboard:
                bb.__class__ = Blackboard
        for node in self.nodes:
            plain = getattr(type(node), "_plain_class", None)
            if plain is not None:
                node.__class__ = plain
            node.__dict__.pop("_obs", None)

    def statuses(self) -> tuple:
        return tuple(n.__dict__["status"].name for n in self.nodes)

    def _each_counters(self, view) -> tuple:
        out = []
        for n in self.nodes:
            obs = n.__dict__.get("_obs")
            out.append(view(obs[1]) if obs is not None else None)
        return tuple(out)

    def counter_rows(self) -> tuple:
        return self._each_counters(Counters.row)

    def counters(self) -> tuple:
        """Snapshots of every node's counters; call on the tree thread for exact figures."""
        return self._each_counters(Counters.snapshot)


class TreeEntry:
    """One built tree as the registry knows it. Immutable after creation,
    except ``watch``, which only attach/detach change (under the registry lock)."""

    def __init__(self, seq: int, thread, tree, xml_text, label=None):
        self.seq = seq
        self.thread_ref = weakref.ref(thread)
        self.tree_ref = weakref.ref(tree)
        self.tree_id = tree.tree_id
        # Whoever knows a better name (a ThreadEngine's identifier, known to a
        # monitor given that engine) passes it; otherwise the BehaviorTree ID.
        self.label = label if isinstance(label, str) else tree.tree_id
        self.xml = xml_text if isinstance(xml_text, str) else ""
        self.nodes = node_table(tree.root)
        self.created = now_us()
        self.watch = None

    @property
    def thread(self):
        return self.thread_ref()

    def alive(self) -> bool:
        thread = self.thread_ref()
        return thread is not None and thread.is_alive() and self.tree_ref() is not None

    def root_status(self):
        """The root's status name, or None once the tree is gone; a plain read, from any thread."""
        tree = self.tree_ref()
        return None if tree is None else tree.root.__dict__["status"].name

    def statuses(self) -> tuple:
        tree = self.tree_ref()
        if tree is None:
            return ()
        return tuple(n.__dict__["status"].name for n in _nodes_in_table_order(tree.root))

    def blackboard(self) -> dict:
        """{key: value_text}; a copy taken at once (dict copies are atomic)."""
        tree = self.tree_ref()
        if tree is None:
            return {}
        return {k: value_text(v) for k, v in dict(tree.blackboard._data).items()}


class TreeRegistry:
    """Every tree built in the process, by the thread that built it."""

    def __init__(self):
        self._lock = threading.RLock()
        self._by_thread: weakref.WeakKeyDictionary = weakref.WeakKeyDictionary()
        self._listeners: tuple = ()
        self._failed_listeners: set = set()
        self._seq = 0
        # A collector run inside an attach or detach (at any allocation) may
        # close a subscription, which detaches on the same thread: it waits
        # here until the outer call has written its observers.
        self._updating = False
        self._deferred: list = []

    def register(self, tree, xml_text=None, label=None) -> TreeEntry:
        """Called on the building thread once a tree is current; tells listeners there.

        A listener's fault is the watcher's, not the tree's: it is logged (once
        per listener) and the tree stays built.
        """
        thread = threading.current_thread()
        with self._lock:
            self._seq += 1
            entry = TreeEntry(self._seq, thread, tree, xml_text, label)
            old = self._by_thread.get(thread)
            self._by_thread[thread] = entry
            if old is not None and old.watch is not None:
                # The replaced tree is no longer ticked; its observers see it end
                # (the tree goes away), and listeners are told of the new one.
                self._stop_watch(old)
            listeners = self._listeners
        for listener in listeners:
            try:
                listener(entry)
            except Exception:  # noqa: BLE001 - see the docstring
                with self._lock:
                    first = listener not in self._failed_listeners
                    self._failed_listeners.add(listener)
                if first:
                    logger.exception("a tree registry listener failed (%r); later failures of it are not logged",
                                     listener)
        return entry

    def entries(self) -> list:
        with self._lock:
            return sorted(self._by_thread.values(), key=lambda e: e.seq)

    def for_thread(self, thread):
        with self._lock:
            return self._by_thread.get(thread)

    def add_listener(self, fn) -> None:
        with self._lock:
            self._listeners += (fn,)

    def remove_listener(self, fn) -> None:
        with self._lock:
            self._listeners = tuple(f for f in self._listeners if f != fn)
            self._failed_listeners.discard(fn)

    def attach(self, entry: TreeEntry, observer) -> bool:
        """Start reporting to ``observer`` (on_transition, on_blackboard, on_tick,
        and the tick hooks it defines, if any).

        Returns False when the tree is gone. From a thread other than the tree
        thread an attach may land in the middle of a tick: events start there.
        Raises (the tree unchanged, nothing watched) when a node class cannot
        be given its reporting subclass.
        """
        with self._lock:
            self._updating, outer = True, self._updating
            try:
                return self._attach(entry, observer)
            finally:
                if not outer:
                    self._finish_update()

    def _attach(self, entry, observer) -> bool:
        tree = entry.tree_ref()
        if tree is None:
            return False
        created = entry.watch is None
        if created:
            watch = _Watch(entry, tree)
            watch.start()
            entry.watch = watch
        if observer not in entry.watch.observers:
            try:
                entry.watch.set_observers(entry.watch.observers + (observer,))
            except BaseException:
                if created:
                    self._stop_watch(entry)
                raise
        return True

    def detach(self, entry: TreeEntry, observer) -> None:
        with self._lock:
            if self._updating:
                self._deferred.append((entry, observer))
                return
            self._updating = True
            try:
                self._detach(entry, observer)
            finally:
                self._finish_update()

    def _detach(self, entry, observer) -> None:
        watch = entry.watch
        if watch is None:
            return
        watch.set_observers(tuple(o for o in watch.observers if o is not observer))
        if not watch.observers:
            self._stop_watch(entry)

    def _finish_update(self) -> None:
        """Under the lock, by the outermost attach or detach: the detaches
        that came in meanwhile, then the registry is free again."""
        try:
            while self._deferred:
                entry, observer = self._deferred.pop(0)
                try:
                    self._detach(entry, observer)
                except Exception:  # noqa: BLE001 - not the outer caller's fault
                    logger.exception("a deferred detach of %r failed", observer)
        finally:
            self._updating = False
            self._deferred.clear()

    def _stop_watch(self, entry) -> None:
        entry.watch.stop()
        entry.watch = None


REGISTRY = TreeRegistry()
