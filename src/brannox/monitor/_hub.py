"""The monitor's picture of the trees, and what it sends to each browser.

Threads: a TreeView is an observer; its on_* methods run on the tree thread
and only append immutable tuples to the view's bounded ``pending`` deque.
Everything else here runs on the server's event loop: ``pump`` drains the
deques every PUMP_SECONDS, keeps the per-tree state, and queues messages for
clients. No engine method is ever called: trees are found through the core's
registry and ``engine.trees[id]["thread"]``.
"""

from __future__ import annotations

import asyncio
import collections
import json
import threading

from .._bt.observe import REGISTRY, now_us
from ._trees import engine_threads

PUMP_SECONDS = 0.1
LIVENESS_SECONDS = 0.5
PENDING_EVENTS = 5_000      # per tree, between two pumps
TIMELINE_EVENTS = 1_000     # per tree, kept for scrubbing back
CLIENT_MESSAGES = 500       # per browser, before the oldest are dropped


class TreeView:
    def __init__(self, key: str, label: str, tree_id: str, nodes, xml: str, statuses, blackboard: dict,
                 entry=None, timeline: int = TIMELINE_EVENTS):
        self.key = key
        self.label = label
        self.tree_id = tree_id
        self.nodes = [{"id": n.id, "parent": n.parent, "path": n.path, "type": n.type, "name": n.name,
                       "ports": dict(n.ports)} for n in nodes] if nodes and not isinstance(nodes[0], dict) else list(nodes)
        self.xml = xml
        self.entry = entry
        self.alive = entry is not None
        self.statuses = list(statuses) or ["IDLE"] * len(self.nodes)
        self.blackboard = {k: list(v) + [0] for k, v in blackboard.items()}  # key -> [repr, type, t]
        self.counters = None
        self.base_statuses = list(self.statuses)
        self.base_blackboard = {k: v[:2] for k, v in self.blackboard.items()}
        self.timeline: collections.deque = collections.deque(maxlen=timeline)
        self.watched = False     # a browser shows this tree: make counter snapshots
        self.pending: collections.deque = collections.deque(maxlen=PENDING_EVENTS)
        self._made = 0           # tree thread: events made
        self._taken = 0          # event loop: events taken
        self.latest_counters = None   # set on the tree thread, an immutable tuple
        self.seq = 0
        self.changed = True

    # -- tree thread ---------------------------------------------------------------
    def on_transition(self, ev) -> None:
        self._made += 1
        self.pending.append((self._made, "transition", *ev))

    def on_blackboard(self, ev) -> None:
        self._made += 1
        self.pending.append((self._made, "blackboard", ev[0], ev[1], *ev[2]))

    def on_tick(self, counters) -> None:
        # Only for a tree a browser shows; the pump picks up the latest tuple.
        if self.watched:
            watch = self.entry.watch if self.entry is not None else None
            if watch is not None:
                self.latest_counters = watch.counter_rows()

    # -- event loop ------------------------------------------------------------------
    def drain(self) -> list:
        """Apply what the tree thread made; returns the new timeline events (dicts)."""
        out = []
        q = self.pending
        while q:
            item = q.popleft()
            n = item[0]
            if n != self._taken + 1:
                out.append(self._record({"type": "gap", "t": now_us(), "dropped": n - self._taken - 1}))
            self._taken = n
            kind = item[1]
            if kind == "transition":
                out.append(self._record({"type": "transition", "t": item[2], "node": item[3],
                                         "from": item[4], "to": item[5]}))
            else:
                out.append(self._record({"type": "blackboard", "t": item[2], "key": item[3],
                                         "value": {"repr": item[4], "type": item[5]}}))
        return out

    def apply(self, ev: dict) -> None:
        if ev["type"] == "transition":
            if ev["node"] == 0:
                self.changed = True  # the list shows the root's status
            if 0 <= ev["node"] < len(self.statuses):
                self.statuses[ev["node"]] = ev["to"]
        elif ev["type"] == "blackboard":
            v = ev["value"]
            self.blackboard[ev["key"]] = [v["repr"], v["type"], ev["t"]]

    def _record(self, ev: dict) -> dict:
        self.seq += 1
        ev["seq"] = self.seq
        if len(self.timeline) == self.timeline.maxlen:
            old = self.timeline[0]  # leaves the window: fold it into the base state
            if old["type"] == "transition" and 0 <= old["node"] < len(self.base_statuses):
                self.base_statuses[old["node"]] = old["to"]
            elif old["type"] == "blackboard":
                self.base_blackboard[old["key"]] = [old["value"]["repr"], old["value"]["type"]]
        self.timeline.append(ev)
        self.apply(ev)
        return ev

    def summary(self) -> dict:
        return {"key": self.key, "label": self.label, "tree_id": self.tree_id,
                "status": self.statuses[0] if self.statuses else "IDLE", "alive": self.alive}

    def full(self) -> dict:
        return {"type": "tree", "key": self.key, "label": self.label, "tree_id": self.tree_id,
                "alive": self.alive, "xml": self.xml, "nodes": self.nodes, "statuses": self.statuses,
                "counters": self.counters, "blackboard": self.blackboard,
                "timeline": {"base_statuses": self.base_statuses, "base_blackboard": self.base_blackboard,
                             "events": list(self.timeline)}}


class Client:
    """One browser: a bounded message queue; the oldest go first, with a gap marker."""

    def __init__(self, limit: int = CLIENT_MESSAGES):
        self.limit = limit
        self.queue: collections.deque = collections.deque()
        self.dropped = 0
        self.ready = asyncio.Event()
        self.selected = None

    def put(self, msg: dict) -> None:
        if len(self.queue) >= self.limit:
            self.queue.popleft()
            self.dropped += 1
        self.queue.append(msg)
        self.ready.set()

    async def next_batch(self) -> list:
        await self.ready.wait()
        self.ready.clear()
        batch = list(self.queue)
        self.queue.clear()
        if self.dropped:
            batch.insert(0, {"type": "gap", "dropped": self.dropped})
            self.dropped = 0
        return batch


class Hub:
    def __init__(self, engine=None, timeline: int = TIMELINE_EVENTS):
        self.engine = engine
        self.timeline = timeline
        self.mode = "live"
        self.views: dict = {}
        self.clients: set = set()
        self._new: collections.deque = collections.deque()
        self._count = 0
        self._lock = threading.Lock()   # _count and _closed; taken before the registry's lock
        self._closed = False
        self._last_liveness = 0.0
        self._listening = False

    # -- discovery -------------------------------------------------------------------
    def start_live(self) -> None:
        """Watch the trees now known and those built later (called before serving)."""
        REGISTRY.add_listener(self._on_new_tree)
        self._listening = True
        threads = engine_threads(self.engine) if self.engine is not None else None
        for entry in REGISTRY.entries():
            if entry.alive() and (threads is None or entry.thread in threads):
                self._watch(entry, threads)

    def add_replay(self, head: dict, events: list) -> None:
        self.mode = "replay"
        view = TreeView("r1", str(head.get("tree", "")), str(head.get("tree_id", "")), head.get("nodes") or [],
                        str(head.get("xml", "")), head.get("statuses") or [],
                        {k: (v.get("repr", ""), v.get("type", "")) for k, v in (head.get("blackboard") or {}).items()},
                        timeline=max(len(events), 1))
        for ev in events:
            view._record(dict(ev))
        self.views[view.key] = view

    def _on_new_tree(self, entry) -> None:
        # Tree thread, right after the tree was built: attach before its first tick.
        threads = None
        if self.engine is not None:
            threads = engine_threads(self.engine)
            if entry.thread not in threads:
                return
        self._watch(entry, threads)

    def _watch(self, entry, threads) -> None:
        label = threads.get(entry.thread, entry.label) if threads else entry.label
        # A tree thread may get here while close() runs on another thread: the
        # lock makes sure nothing is attached after close() detached everything.
        with self._lock:
            if self._closed:
                return
            self._count += 1
            view = TreeView(f"t{self._count}", label, entry.tree_id, entry.nodes, entry.xml, entry.statuses(),
                            entry.blackboard(), entry=entry, timeline=self.timeline)
            if REGISTRY.attach(entry, view):
                self._new.append(view)

    def close(self) -> None:
        with self._lock:
            self._closed = True
        if self._listening:
            REGISTRY.remove_listener(self._on_new_tree)
            self._listening = False
        while self._new:
            self.views.setdefault(self._new[0].key, self._new[0])
            self._new.popleft()
        for view in self.views.values():
            if view.entry is not None:
                REGISTRY.detach(view.entry, view)

    # -- event loop -------------------------------------------------------------------
    def pump(self, now: float) -> None:
        added = []
        while self._new:
            view = self._new.popleft()
            self.views[view.key] = view
            added.append(view)
        if now - self._last_liveness >= LIVENESS_SECONDS and self.mode == "live":
            self._last_liveness = now
            threads = engine_threads(self.engine) if self.engine is not None else None
            for view in self.views.values():
                if view.alive and (not view.entry.alive() or (threads is not None and view.entry.thread not in threads)):
                    view.alive = False
                    view.changed = True
        changed = []
        for view in self.views.values():
            events = view.drain() if view.pending else None
            counters = view.latest_counters
            if counters is not view.counters:
                view.counters = counters
            else:
                counters = None
            if view.watched and (events or counters):
                for c in self.clients:
                    if c.selected == view.key:
                        if events:
                            c.put({"type": "events", "key": view.key, "events": events})
                        if counters:
                            c.put({"type": "counters", "key": view.key, "counters": counters})
            if view.changed:
                view.changed = False
                changed.append(view.summary())
            if not view.alive and view.entry is not None:
                REGISTRY.detach(view.entry, view)
                view.entry = None
        if changed:
            for c in self.clients:
                c.put({"type": "trees", "trees": changed})

    def tree_list(self) -> list:
        return [v.summary() for v in self.views.values()]

    def select(self, client: Client, key) -> None:
        old = self.views.get(client.selected)
        client.selected = key if key in self.views else None
        if old is not None:
            old.watched = any(c.selected == old.key for c in self.clients)
        view = self.views.get(client.selected)
        if view is not None:
            view.watched = True
            client.put(view.full())

    def connect(self) -> Client:
        client = Client()
        self.clients.add(client)
        client.put({"type": "hello", "mode": self.mode})
        client.put({"type": "trees", "full": True, "trees": self.tree_list()})
        return client

    def disconnect(self, client: Client) -> None:
        self.clients.discard(client)
        self.select(client, None)


def dumps(obj) -> str:
    return json.dumps(obj, ensure_ascii=False, separators=(",", ":"))
