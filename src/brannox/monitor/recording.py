"""Recording one tree's transitions and blackboard changes to a JSON-lines file.

The tree thread only appends small tuples to a bounded deque; a daemon writer
thread turns them into lines and writes them, so a slow disk never holds up a
tick. When the deque is full, events are dropped and the next line written is
a "gap" line saying how many.
"""

from __future__ import annotations

import collections
import json
import threading

from .._bt.observe import REGISTRY, now_us
from ._trees import find_entry

FORMAT = "brannox-tree-recording"
VERSION = 1
BUFFER_EVENTS = 10_000


def header(entry, started: int, label=None) -> dict:
    return {
        "type": "header", "format": FORMAT, "version": VERSION, "t": started,
        "tree": entry.label if label is None else label, "tree_id": entry.tree_id, "xml": entry.xml,
        "nodes": [{"id": n.id, "parent": n.parent, "path": n.path, "type": n.type, "name": n.name,
                   "ports": dict(n.ports), "description": n.description} for n in entry.nodes],
        "statuses": list(entry.statuses()),
        "blackboard": {k: {"repr": r, "type": t} for k, (r, t) in entry.blackboard().items()},
    }


def event_line(ev) -> dict:
    kind = ev[0]
    if kind == "transition":
        _, t, node, prev, new = ev
        return {"type": "transition", "t": t, "node": node, "from": prev, "to": new}
    if kind == "blackboard":
        _, t, key, (text, tname) = ev
        return {"type": "blackboard", "t": t, "key": key, "value": {"repr": text, "type": tname}}
    if kind == "tick":
        return {"type": "tick", "t": ev[1]}
    _, t, dropped = ev
    return {"type": "gap", "t": t, "dropped": dropped}


class Recording:
    """Handle returned by :func:`record`; ``close()`` flushes and ends the file."""

    def __init__(self, entry, path, buffer_events: int = BUFFER_EVENTS, label=None):
        self.path = path
        self.label = entry.label if label is None else label
        self._entry = entry
        self._limit = buffer_events
        self._queue: collections.deque = collections.deque()
        self._dropped = 0        # written by the tree thread only
        self._wake = threading.Event()
        self._closing = False
        self._file = open(path, "w", encoding="utf-8")  # errors surface to the caller
        # Attached before the header's snapshot is taken: an event in between
        # is then recorded (applying it again on replay is harmless), not lost.
        try:
            attached = REGISTRY.attach(entry, self)
        except BaseException:
            self._file.close()
            raise
        if not attached:
            self._file.close()
            raise RuntimeError(f"tree {self.label!r} is gone")
        try:
            self._write(header(entry, now_us(), self.label))
            self._file.flush()
        except BaseException:
            REGISTRY.detach(entry, self)
            self._file.close()
            raise
        self._writer = threading.Thread(target=self._write_loop, name=f"recording {self.label}", daemon=True)
        self._writer.start()

    # -- tree thread -----------------------------------------------------------
    def _put(self, item) -> None:
        if len(self._queue) >= self._limit:
            self._dropped += 1
            return
        if self._dropped:
            self._queue.append(("gap", item[1], self._dropped))
            self._dropped = 0
        self._queue.append(item)
        if len(self._queue) > self._limit // 2:
            self._wake.set()

    def on_transition(self, ev) -> None:
        self._put(("transition", *ev))

    def on_blackboard(self, ev) -> None:
        self._put(("blackboard", *ev))

    def on_tick(self, counters) -> None:
        self._put(("tick", now_us()))

    # -- writer thread -----------------------------------------------------------
    def _write(self, obj) -> None:
        self._file.write(json.dumps(obj, ensure_ascii=False) + "\n")

    def _drain(self) -> None:
        q = self._queue
        while q:
            self._write(event_line(q.popleft()))
        self._file.flush()

    def _write_loop(self) -> None:
        while not self._closing:
            self._wake.wait(0.2)
            self._wake.clear()
            self._drain()

    # -- caller ------------------------------------------------------------------
    def close(self) -> None:
        """Stop recording, write what is buffered and an "end" line, close the file. Idempotent."""
        if self._file.closed:
            return
        REGISTRY.detach(self._entry, self)
        self._closing = True
        self._wake.set()
        self._writer.join()
        self._drain()
        if self._dropped:
            self._write(event_line(("gap", now_us(), self._dropped)))
        self._write({"type": "end", "t": now_us()})
        self._file.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def record(engine, tree_id: str, path, *, buffer_events: int = BUFFER_EVENTS) -> Recording:
    """Record ``engine``'s tree ``tree_id`` to ``path`` (JSON lines) until ``.close()``."""
    if hasattr(engine, "_placements"):  # a DistributedEngine: the tree is in a worker
        from ._remote import RemoteRecording

        return RemoteRecording(engine, tree_id, path, buffer_events)
    return Recording(find_entry(engine, tree_id), path, buffer_events, label=tree_id)


class RecordingError(ValueError):
    """A file that is not a well-formed recording; the message names the file and the line."""


def load(path) -> tuple:
    """(header, events) of a recording; raises RecordingError (a ValueError) on a file that is not one."""
    with open(path, "rb") as f:
        raw = f.read()
    lines = raw.split(b"\n")
    last = len(lines)
    if lines and lines[-1] == b"":
        lines.pop()
        last = 0  # the file ends with a newline: no line was cut short

    def fail(n, why):
        raise RecordingError(f"{path}, line {n}: {why}")

    def parse(n, line):
        try:
            text = line.decode("utf-8")
        except UnicodeDecodeError:
            fail(n, "not UTF-8 text")
        try:
            return json.loads(text)
        except RecursionError:
            fail(n, "JSON nested too deeply")

    try:
        head = parse(1, lines[0]) if lines else None
    except ValueError as exc:
        if isinstance(exc, RecordingError):
            raise
        head = None
    if not isinstance(head, dict) or head.get("format") != FORMAT:
        fail(1, "not a tree recording")
    if head.get("version") != VERSION:
        fail(1, f"recording version {head.get('version')!r} is not supported")
    why = _header_fault(head)
    if why:
        fail(1, why)
    node_count = len(head["nodes"])
    events = []
    for n, line in enumerate(lines[1:], 2):
        if not line.strip():
            continue
        try:
            ev = parse(n, line)
        except RecordingError:
            raise
        except ValueError:
            if n == last:
                break  # the last line of a recording cut short (the process died mid-write)
            fail(n, "not JSON")
        if not isinstance(ev, dict) or ev.get("type") in ("header", "end"):
            continue
        if not _valid_event(ev, node_count):
            fail(n, f"malformed {str(ev.get('type'))[:40]!r} line")
        events.append(ev)
    return head, events


def _is_int(x) -> bool:
    return isinstance(x, int) and not isinstance(x, bool)


def _is_value(v) -> bool:
    return isinstance(v, dict) and isinstance(v.get("repr"), str) and isinstance(v.get("type"), str)


def _header_fault(head: dict):
    """What is wrong with a header, or None."""
    nodes = head.get("nodes")
    if not isinstance(nodes, list) or not nodes or not all(_valid_node(x, i) for i, x in enumerate(nodes)):
        return "the node table is malformed"
    for name in ("tree", "tree_id", "xml"):
        if not isinstance(head.get(name, ""), str):
            return f"{name!r} is not a string"
    statuses = head.get("statuses", [])
    if not (isinstance(statuses, list) and all(isinstance(x, str) for x in statuses)
            and len(statuses) in (0, len(nodes))):
        return "'statuses' is not a list of one status name per node"
    board = head.get("blackboard", {})
    if not (isinstance(board, dict) and all(_is_value(v) for v in board.values())):
        return "'blackboard' is not an object of {\"repr\", \"type\"} values"
    return None


def _valid_node(node, index: int) -> bool:
    if not (isinstance(node, dict) and node.get("id") == index and _is_int(node["id"])):
        return False
    parent = node.get("parent")
    # One root, first; every other node's parent comes before it.
    if not (_is_int(parent) and (parent == -1 if index == 0 else 0 <= parent < index)):
        return False
    ports = node.get("ports", {})
    return (all(isinstance(node.get(k), str) for k in ("type", "name", "path"))
            and isinstance(node.get("description", ""), str)
            and isinstance(ports, dict) and all(isinstance(v, str) for v in ports.values()))


def _valid_event(ev: dict, node_count: int) -> bool:
    kind, t = ev.get("type"), ev.get("t")
    if not _is_int(t):
        return False
    if kind == "transition":
        node = ev.get("node")
        return (_is_int(node) and 0 <= node < node_count
                and isinstance(ev.get("from"), str) and isinstance(ev.get("to"), str))
    if kind == "blackboard":
        return isinstance(ev.get("key"), str) and _is_value(ev.get("value"))
    if kind == "gap":
        return _is_int(ev.get("dropped"))
    return kind == "tick"
