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


def header(entry, started: int) -> dict:
    return {
        "type": "header", "format": FORMAT, "version": VERSION, "t": started,
        "tree": entry.label, "tree_id": entry.tree_id, "xml": entry.xml,
        "nodes": [{"id": n.id, "parent": n.parent, "path": n.path, "type": n.type, "name": n.name,
                   "ports": dict(n.ports)} for n in entry.nodes],
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
    _, t, dropped = ev
    return {"type": "gap", "t": t, "dropped": dropped}


class Recording:
    """Handle returned by :func:`record`; ``close()`` flushes and ends the file."""

    def __init__(self, entry, path, buffer_events: int = BUFFER_EVENTS):
        self.path = path
        self._entry = entry
        self._limit = buffer_events
        self._queue: collections.deque = collections.deque()
        self._dropped = 0        # written by the tree thread only
        self._wake = threading.Event()
        self._closing = False
        self._file = open(path, "w", encoding="utf-8")  # errors surface to the caller
        # Attached before the header's snapshot is taken: an event in between
        # is then recorded (applying it again on replay is harmless), not lost.
        if not REGISTRY.attach(entry, self):
            self._file.close()
            raise RuntimeError(f"tree {entry.label!r} is gone")
        try:
            self._write(header(entry, now_us()))
            self._file.flush()
        except BaseException:
            REGISTRY.detach(entry, self)
            self._file.close()
            raise
        self._writer = threading.Thread(target=self._write_loop, name=f"recording {entry.label}", daemon=True)
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
        pass

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
    return Recording(find_entry(engine, tree_id), path, buffer_events)


def load(path) -> tuple:
    """(header, events) of a recording; raises ValueError on a file that is not one."""
    events = []
    with open(path, encoding="utf-8") as f:
        first = f.readline()
        try:
            head = json.loads(first)
        except ValueError:
            head = None
        if not isinstance(head, dict) or head.get("format") != FORMAT:
            raise ValueError(f"{path}: not a tree recording")
        if head.get("version") != VERSION:
            raise ValueError(f"{path}: recording version {head.get('version')!r} is not supported")
        nodes = head.get("nodes")
        if not isinstance(nodes, list) or not all(_valid_node(x, i) for i, x in enumerate(nodes)):
            raise ValueError(f"{path}: the node table is malformed")
        rest = f.readlines()
    for n, line in enumerate(rest, 2):
        if not line.strip():
            continue
        try:
            ev = json.loads(line)
        except ValueError:
            if n == len(rest) + 1 and not line.endswith("\n"):
                break  # the last line of a recording cut short (the process died mid-write)
            raise ValueError(f"{path}, line {n}: not JSON") from None
        if not isinstance(ev, dict) or ev.get("type") in ("header", "end"):
            continue
        if not _valid_event(ev, len(nodes)):
            raise ValueError(f"{path}, line {n}: malformed {ev.get('type')!r} line")
        events.append(ev)
    return head, events


def _valid_node(node, index: int) -> bool:
    return (isinstance(node, dict) and node.get("id") == index and isinstance(node.get("parent"), int)
            and -1 <= node["parent"] < index and all(isinstance(node.get(k), str) for k in ("type", "name", "path")))


def _valid_event(ev: dict, node_count: int) -> bool:
    kind, t = ev.get("type"), ev.get("t")
    if not isinstance(t, int):
        return False
    if kind == "transition":
        node = ev.get("node")
        return (isinstance(node, int) and 0 <= node < node_count
                and isinstance(ev.get("from"), str) and isinstance(ev.get("to"), str))
    if kind == "blackboard":
        value = ev.get("value")
        return (isinstance(ev.get("key"), str) and isinstance(value, dict)
                and isinstance(value.get("repr"), str) and isinstance(value.get("type"), str))
    if kind == "gap":
        return isinstance(ev.get("dropped"), int)
    return False
