"""Capturing a built tree's state as a JSON document, and restoring it into a
tree freshly built from the same XML.

What a node remembers during a run (a Sequence's position, a retry count,
a deadline) is found from outside the node classes, once per class: on a
throw-away copy of a node, every attribute a bare TreeNode does not have is
replaced by a probe, the copy is halted (which runs the class's per-run
reset, whatever it is called) and its between-runs memory is cleared; the
attributes the reset wrote (or touched) are the per-run memory. The rest was
set from the XML when the node was built, and building again restores it.
A class may instead name its fields in ``durable_fields``, and its deadline
fields (monotonic times) in ``durable_deadlines``.

Contract on resume: every node gets back its status and memory, except a
node that was RUNNING while holding work that cannot cross processes (a
registered action, or memory with no JSON form), which is restored IDLE with
its whole subtree fresh, so that it starts again from its beginning.
"""

from __future__ import annotations

import hashlib
import logging

from .._bt import factory as _factory
from .._bt.node import TreeNode
from .._bt.status import NodeStatus
from ._codec import from_json, to_json
from .errors import CheckpointMismatchError

logger = logging.getLogger("brannox.durable")

FORMAT = 1
_RUNNING, _IDLE = NodeStatus.RUNNING, NodeStatus.IDLE
_STATUS_BY_NAME = {s.name: s for s in NodeStatus}
#: Deadline fields of the built-in time-based nodes; stored as time remaining.
_BUILTIN_DEADLINES = {"Timeout": ("deadline",), "Delay": ("ready_at",), "Sleep": ("wake_at",)}
# Attributes the observation and the condition scripts put on instances.
_NOT_MEMORY = frozenset({"_obs", "execute_tick", "_conditions"})


class _Probe:
    """Stands in for a field during discovery; any use of it counts as a reset touching it."""

    __slots__ = ("touched",)

    def __init__(self):
        self.touched = False

    def __getattr__(self, name):
        self.touched = True
        return _ignore


def _ignore(*args, **kwargs):
    return None


_base_fields = None
_fields_by_class: dict = {}


def _plain_class(node) -> type:
    cls = type(node)
    return getattr(cls, "_plain_class", cls)


def _bare_node_fields() -> frozenset:
    global _base_fields
    if _base_fields is None:
        _base_fields = frozenset(TreeNode("Probe").__dict__) | _NOT_MEMORY
    return _base_fields


class _Always:
    """The reset value of a field whose reset value is unknown: never equal, so always stored."""

    def __eq__(self, other):
        return False

    __hash__ = object.__hash__


ALWAYS = _Always()


def _discover(cls: type, node) -> tuple:
    """((field, value the reset gives it), ...) for ``cls``."""
    base = _bare_node_fields()
    candidates = [k for k in node.__dict__ if k not in base]
    if not candidates:
        return ()
    probes = {k: _Probe() for k in candidates}
    copy = object.__new__(cls)
    state = {k: v for k, v in node.__dict__.items() if k not in _NOT_MEMORY}
    state.update(probes)
    state["children"] = []           # the real children are not touched
    state["status"] = _IDLE          # no halt callbacks
    copy.__dict__.update(state)
    try:
        copy.halt()
        # A field the reset writes only when it differs from a class default
        # may be absent from this instance: it shows up now.
        candidates += [k for k in copy.__dict__ if k not in state and k not in base]
        per_run = {k for k in candidates if copy.__dict__.get(k) is not probes.get(k) or
                   (k in probes and probes[k].touched)}
        reset_memory = getattr(copy, "reset_memory", None)
        if callable(reset_memory):
            reset_memory()
    except Exception as exc:  # noqa: BLE001 - any user reset may fail on a probe
        logger.warning("%s: could not tell its per-run memory (%s: %s); storing every field it has",
                       cls.__qualname__, type(exc).__name__, exc)
        return tuple((k, ALWAYS, False) for k in candidates)
    fields = []
    for k in candidates:
        value = copy.__dict__.get(k)
        if value is not probes.get(k):
            fields.append((k, value, k in per_run))
        elif probes[k].touched:
            fields.append((k, ALWAYS, k in per_run))  # reset in place: its reset value is not known
    return tuple(fields)


def memory_fields(node) -> tuple:
    """``node``'s memory as ((name, reset value, reset by a halt), ...), found once per class.

    A field a halt resets holds its reset value whenever the node is IDLE
    (IDLE means not started, or halted), so it is read only from nodes that
    are not; fields that survive halts (RunOnce's result) are always read.
    """
    cls = _plain_class(node)
    fields = _fields_by_class.get(cls)
    if fields is None:
        declared = getattr(cls, "durable_fields", None)
        fields = tuple((k, ALWAYS, False) for k in declared) if declared is not None else _discover(cls, node)
        _fields_by_class[cls] = fields
    return fields


def deadline_fields(node) -> frozenset:
    cls = _plain_class(node)
    declared = getattr(cls, "durable_deadlines", None)
    if declared is not None:
        return frozenset(declared)
    if cls.__module__.startswith("brannox._bt"):
        return frozenset(_BUILTIN_DEADLINES.get(cls.__name__, ()))
    return frozenset()


def _holds_work(node) -> bool:
    """A registered action's run lives in the user's code: it cannot be carried over."""
    action = getattr(_factory, "ActionNode", None)
    return action is not None and isinstance(node, action)


# -- node memory as JSON ------------------------------------------------------------

class _Unencodable(Exception):
    pass


def _enc(value):
    kind = type(value)
    if kind is str or kind is int or kind is float or kind is bool or value is None:
        return value
    if kind is NodeStatus:
        return {"$s": value.name}
    if kind is list:
        return [_enc(v) for v in value]
    if kind is tuple:
        return {"$t": [_enc(v) for v in value]}
    if kind is dict:
        return {"$d": [[_enc(k), _enc(v)] for k, v in value.items()]}
    raise _Unencodable(kind.__name__)


def _dec(data):
    if type(data) is list:
        return [_dec(v) for v in data]
    if type(data) is dict:
        if "$s" in data:
            return _STATUS_BY_NAME[data["$s"]]
        if "$t" in data:
            return tuple(_dec(v) for v in data["$t"])
        if "$d" in data:
            return {_hashable(_dec(k)): _dec(v) for k, v in data["$d"]}
        if "$rem" in data:
            raise CheckpointMismatchError("a deadline outside a deadline field")
    return data


def _hashable(value):
    return tuple(value) if type(value) is list else value


# -- the plan: what to read from which node, worked out once per tree ----------------

_LETTER = {NodeStatus.IDLE: "I", NodeStatus.RUNNING: "R", NodeStatus.SUCCESS: "S", NodeStatus.FAILURE: "F",
           NodeStatus.SKIPPED: "K"}
_STATUS_BY_LETTER = {v: k for k, v in _LETTER.items()}
_LETTERS_BY_VALUE = {s.value: letter for s, letter in _LETTER.items()}
_PLAIN_TYPES = frozenset({str, int, float, bool, type(None)})


class Plan:
    """The nodes of one built tree in depth-first order, with what to capture from each.

    A captured state is {"format", "shape", "blackboards": [[entries,
    versions], ...] (the root's first, then each sub-tree's in node order),
    "status": one letter per node, "memory": {node index: {field: value}}}
    where memory lists only fields that differ from what a reset gives
    them: most nodes of a tree between runs hold none.
    """

    def __init__(self, tree):
        self.tree = tree
        self.nodes = tree.nodes()
        self.holds_work = [_holds_work(n) for n in self.nodes]
        # (index, node's __dict__, fields, fields read when IDLE) for nodes with memory,
        # each field as (name, reset value, is a deadline).
        self.memory = []
        for i, node in enumerate(self.nodes):
            deadlines = deadline_fields(node)
            known = memory_fields(node)
            fields = tuple((name, reset, name in deadlines) for name, reset, _ in known)
            kept = tuple((name, reset, name in deadlines) for name, reset, per_run in known if not per_run)
            if fields:
                self.memory.append((str(i), node.__dict__, fields, kept))
        self.dicts = [n.__dict__ for n in self.nodes]
        sizes = [1] * len(self.nodes)
        # Depth-first order: a node's subtree is the run of nodes after it.
        index = {id(n): i for i, n in enumerate(self.nodes)}
        for i in range(len(self.nodes) - 1, -1, -1):
            for child in self.nodes[i].children:
                sizes[i] += sizes[index[id(child)]]
        self.sizes = sizes
        blackboards, seen = [tree.blackboard], {id(tree.blackboard)}
        for node in self.nodes:
            bb = node._blackboard
            if id(bb) not in seen:
                seen.add(id(bb))
                blackboards.append(bb)
        self.blackboards = blackboards
        shape = "\n".join(f"{n.node_id}:{len(n.children)}" for n in self.nodes)
        self.shape = hashlib.sha256(shape.encode()).hexdigest()[:16]

    def capture(self, tree_id: str, now: float) -> dict:
        """The tree's state as built-in JSON types; refuses values without a JSON form.

        ``now`` is the tree's clock, so deadlines become time remaining.
        """
        blackboards = []
        plain = _PLAIN_TYPES
        for bb in self.blackboards:
            entries = {}
            for key, value in bb._data.items():
                entries[key] = value if type(value) in plain else to_json(value, tree_id, key)
            blackboards.append([entries, dict(bb._versions)])
        # By value, not by member: an enum member hashes in Python code.
        letters = _LETTERS_BY_VALUE
        status = "".join([letters[d["status"]._value_] for d in self.dicts])
        memory = {}
        idle = _IDLE
        for index, d, fields, kept in self.memory:
            if d["status"] is idle:
                fields = kept
            held = None
            for name, reset, deadline in fields:
                value = d.get(name)
                if value is reset or value == reset:
                    continue
                if held is None:
                    held = {}
                try:
                    held[name] = {"$rem": value - now} if deadline and type(value) is float else _enc(value)
                except _Unencodable:
                    held = False  # restarts from its beginning if it was running
                    break
            if held is not None:
                memory[index] = held or None
        return {"format": FORMAT, "shape": self.shape, "blackboards": blackboards, "status": status,
                "memory": memory}

    def restore(self, state: dict, tree_id: str, now: float) -> None:
        """Puts a captured state into this (freshly built) tree."""
        if state.get("format") != FORMAT:
            raise CheckpointMismatchError(f"tree {tree_id!r}: checkpoint format {state.get('format')!r} "
                                          f"is not {FORMAT}")
        status = state.get("status") or ""
        if state.get("shape") != self.shape or len(status) != len(self.nodes) \
                or len(state.get("blackboards") or []) != len(self.blackboards):
            raise CheckpointMismatchError(
                f"tree {tree_id!r}: the checkpoint does not fit the tree built from its stored XML "
                "(are the same actions and node types registered as when it was taken?)"
            )
        for bb, (entries, versions) in zip(self.blackboards, state["blackboards"]):
            bb._data.clear()
            bb._data.update({key: from_json(value, tree_id, key) for key, value in entries.items()})
            bb._versions = {key: int(v) for key, v in versions.items()}
        stored_memory = state.get("memory") or {}
        i, count = 0, len(self.nodes)
        while i < count:
            node, now_status = self.nodes[i], _STATUS_BY_LETTER[status[i]]
            memory = stored_memory.get(str(i), {})
            if now_status is _RUNNING and (memory is None or self.holds_work[i]):
                i += self.sizes[i]  # this node and its subtree stay as built: IDLE, fresh
                continue
            for name, value in (memory or {}).items():
                if type(value) is dict and "$rem" in value:
                    setattr(node, name, now + float(value["$rem"]))
                else:
                    setattr(node, name, _dec(value))
            node.status = now_status
            i += 1
