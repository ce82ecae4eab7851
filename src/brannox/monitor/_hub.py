"""The monitor's picture of the trees, and what it sends to each browser.

Threads: a TreeView is an observer; its on_* methods run on the tree thread
and only append immutable tuples to the view's bounded ``pending`` deque.
Everything else here runs on the server's event loop: ``pump`` drains the
deques every PUMP_SECONDS, keeps the per-tree state, and queues messages for
clients. No engine method is ever called: trees are found through the core's
registry and ``engine.trees[id]["thread"]``.

The trees of a DistributedEngine are listed and followed by _remote.py, in
views the pump treats as it treats these.

A tree is observed (its nodes swapped to reporting classes) only while some
browser shows it; the list of trees is kept up to date by reading each root's
status every LIVENESS_SECONDS, which costs the trees nothing.
"""

from __future__ import annotations

import asyncio
import collections
import json
import logging
import threading
import time

from .._bt.observe import REGISTRY, now_us
from ._trees import engine_threads

PUMP_SECONDS = 0.1
LIVENESS_SECONDS = 0.5
PENDING_EVENTS = 5_000      # per tree, between two pumps
TIMELINE_EVENTS = 1_000     # per tree, kept for scrubbing back
CLIENT_MESSAGES = 500       # per browser, before the oldest are dropped
CLIENT_BYTES = 4 << 20      # per browser, in JSON text, before the oldest are dropped
BEHIND_SECONDS = 10.0       # a browser still dropping messages after this long is disconnected

logger = logging.getLogger("brannox.monitor")


class TreeView:
    def __init__(self, key: str, label: str, tree_id: str, nodes, xml: str, statuses, blackboard: dict,
                 entry=None, timeline: int = TIMELINE_EVENTS):
        self.key = key
        self.label = label
        self.tree_id = tree_id
        self.nodes = [{"id": n.id, "parent": n.parent, "path": n.path, "type": n.type, "name": n.name,
                       "ports": dict(n.ports), "description": n.description} for n in nodes] if nodes and not isinstance(nodes[0], dict) else list(nodes)
        self.xml = xml
        self.entry = entry
        self.alive = entry is not None
        self.timeline: collections.deque = collections.deque(maxlen=timeline)
        self.reset(statuses, blackboard)
        self.watched = False     # a browser shows this tree, and it is attached
        self.pending: collections.deque = collections.deque(maxlen=PENDING_EVENTS)
        self._made = 0           # tree thread: events made
        self._taken = 0          # event loop: events taken
        self.latest_counters = None   # set on the tree thread, an immutable tuple
        self.seq = 0
        self.changed = True

    def reset(self, statuses, blackboard: dict) -> None:
        """Start the picture again from a snapshot (the tree was not observed until now)."""
        self.statuses = list(statuses) or ["IDLE"] * len(self.nodes)
        self.blackboard = {k: list(v) + [0] for k, v in blackboard.items()}  # key -> [repr, type, t]
        self.counters = None
        self.latest_counters = None
        self.base_statuses = list(self.statuses)
        self.base_blackboard = {k: v[:2] for k, v in self.blackboard.items()}
        self.timeline.clear()

    # -- tree thread ---------------------------------------------------------------
    def on_transition(self, ev) -> None:
        self._made += 1
        self.pending.append((self._made, "transition", *ev))

    def on_blackboard(self, ev) -> None:
        self._made += 1
        self.pending.append((self._made, "blackboard", ev[0], ev[1], *ev[2]))

    def on_tick(self, counters) -> None:
        # A marker ends each tick: the page tells which nodes ran in the latest one.
        self._made += 1
        self.pending.append((self._made, "tick", now_us()))
        # The pump picks up the latest tuple.
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
            if n > self._taken + 1:
                out.append(self._record({"type": "gap", "t": now_us(), "dropped": n - self._taken - 1}))
            self._taken = n
            kind = item[1]
            if kind == "transition":
                out.append(self._record({"type": "transition", "t": item[2], "node": item[3],
                                         "from": item[4], "to": item[5]}))
            elif kind == "tick":
                out.append(self._record({"type": "tick", "t": item[2]}))
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
    """One browser: a queue of JSON texts bounded in count and in bytes.

    When full, the oldest texts go and the next batch starts with a gap
    marker (the page then asks for a fresh picture). A browser that keeps
    the queue overflowing for BEHIND_SECONDS without taking a batch is not
    reading at all: ``kicked`` is set and the server disconnects it.
    """

    def __init__(self, limit: int = CLIENT_MESSAGES, max_bytes: int = CLIENT_BYTES,
                 behind_seconds: float = BEHIND_SECONDS):
        self.limit = limit
        self.max_bytes = max_bytes
        self.behind_seconds = behind_seconds
        self.queue: collections.deque = collections.deque()
        self.bytes = 0
        self.dropped = 0
        self.behind_since = None      # monotonic time of the first drop since the last batch
        self.ready = asyncio.Event()
        self.kicked = asyncio.Event()
        self.selected = None

    def put(self, msg, text: str | None = None) -> None:
        if self.kicked.is_set():
            return
        if text is None:
            text = dumps(msg)
        self.queue.append(text)
        self.bytes += len(text)
        while len(self.queue) > self.limit or (self.bytes > self.max_bytes and self.queue):
            self.bytes -= len(self.queue.popleft())
            self.dropped += 1
        if self.dropped:
            now = time.monotonic()
            if self.behind_since is None:
                self.behind_since = now
            elif now - self.behind_since > self.behind_seconds:
                self.queue.clear()
                self.bytes = 0
                self.kicked.set()
        self.ready.set()

    async def next_batch(self) -> list:
        """The queued JSON texts, a gap marker first if some were dropped."""
        await self.ready.wait()
        self.ready.clear()
        batch = list(self.queue)
        self.queue.clear()
        self.bytes = 0
        self.behind_since = None
        if self.dropped:
            batch.insert(0, dumps({"type": "gap", "dropped": self.dropped}))
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
        # _count, _closed and every attach/detach; taken before the registry's lock.
        self._lock = threading.Lock()
        self._closed = False
        self._last_liveness = 0.0
        self._listening = False
        self._attach_failed: set = set()
        self.remote = None  # a DistributedEngine's trees: see _remote.py

    # -- discovery -------------------------------------------------------------------
    def start_live(self) -> None:
        """List the trees now known and those built later (called before serving)."""
        if hasattr(self.engine, "_placements"):
            from ._remote import RemoteTrees

            self.remote = RemoteTrees(self, self.engine)
            self.remote.start()
            return
        REGISTRY.add_listener(self._on_new_tree)
        self._listening = True
        threads = engine_threads(self.engine) if self.engine is not None else None
        for entry in REGISTRY.entries():
            if entry.alive() and (threads is None or entry.thread in threads):
                self._add(entry, threads)

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
        # Tree thread, right after the tree was built: only listed, not observed.
        threads = None
        if self.engine is not None:
            threads = engine_threads(self.engine)
            if entry.thread not in threads:
                return
        self._add(entry, threads)

    def _next_key(self):
        """A key for a newly listed tree, or None once closed."""
        with self._lock:
            if self._closed:
                return None
            self._count += 1
            return f"t{self._count}"

    def _add(self, entry, threads) -> None:
        label = threads.get(entry.thread, entry.label) if threads else process_wide_label(entry)
        key = self._next_key()
        if key is None:
            return
        status = entry.root_status()
        view = TreeView(key, label, entry.tree_id, entry.nodes, entry.xml,
                        [status or "IDLE"] + ["IDLE"] * (len(entry.nodes) - 1), {}, entry=entry,
                        timeline=self.timeline)
        self._new.append(view)

    def _attach(self, view) -> None:
        """Observe ``view``'s tree from now on, its picture taken afresh (event loop)."""
        with self._lock:
            if self._closed or view.watched or view.entry is None:
                return
            if self.remote is not None:
                view.watched = True
                view.start_watch()  # the picture comes with the first events
                return
            try:
                attached = REGISTRY.attach(view.entry, view)
            except Exception as exc:  # noqa: BLE001 - the tree stays listed, without live detail
                if view.key not in self._attach_failed:
                    self._attach_failed.add(view.key)
                    logger.warning("tree %r cannot be observed: %s: %s", view.label, type(exc).__name__, exc)
                return
            if not attached:
                return
            view.watched = True
        # Attached first, then the snapshot: events in between are applied
        # again on top of it, which leaves the same state.
        view.pending.clear()
        view._taken = view._made
        view.reset(view.entry.statuses(), view.entry.blackboard())

    def _detach(self, view) -> None:
        if self.remote is not None:
            view.stop_watch()
        with self._lock:
            if view.watched and view.entry is not None:
                REGISTRY.detach(view.entry, view)
            view.watched = False

    def close(self) -> None:
        """Stop listing and observing; safe from any thread, even while the loop still runs."""
        with self._lock:
            self._closed = True
            views = list(self.views.values()) + list(self._new)
            for view in views:
                if view.entry is not None:
                    REGISTRY.detach(view.entry, view)
                view.watched = False
        if self.remote is not None:
            self.remote.close()
        if self._listening:
            REGISTRY.remove_listener(self._on_new_tree)
            self._listening = False

    # -- event loop -------------------------------------------------------------------
    def pump(self, now: float) -> None:
        while self._new:
            view = self._new.popleft()
            self.views[view.key] = view
        if self.remote is not None:
            self.remote.apply()
        elif now - self._last_liveness >= LIVENESS_SECONDS and self.mode == "live":
            self._last_liveness = now
            self._poll(engine_threads(self.engine) if self.engine is not None else None)
        changed = []
        by_key: dict = {}
        for c in self.clients:
            by_key.setdefault(c.selected, []).append(c)
        for view in list(self.views.values()):
            fresh = getattr(view, "fresh", None) is not None
            events = view.drain() if view.pending or fresh else None
            counters = view.latest_counters
            if counters is not view.counters:
                view.counters = counters
            else:
                counters = None
            watchers = by_key.get(view.key)
            if getattr(view, "needs_full", False):
                view.needs_full = False  # a remote tree's picture arrived: the page starts from it
                for c in watchers or ():
                    c.put(view.full())
                events = None
            if watchers and (events or counters):
                texts = []
                if events:
                    texts.append(dumps({"type": "events", "key": view.key, "events": events}))
                if counters:
                    texts.append(dumps({"type": "counters", "key": view.key, "counters": counters}))
                for c in watchers:
                    for text in texts:
                        c.put(None, text)
            if view.changed:
                view.changed = False
                changed.append(view.summary())
            if not view.alive and view.entry is not None:
                self._detach(view)
                view.entry = None
        if changed:
            text = dumps({"type": "trees", "trees": changed})
            for c in self.clients:
                c.put(None, text)

    def _poll(self, threads) -> None:
        """Liveness of every tree, and the root status of those nobody observes."""
        for view in list(self.views.values()):
            entry = view.entry
            if not view.alive or entry is None:
                continue
            if not entry.alive() or (threads is not None and entry.thread not in threads):
                view.alive = False
                view.changed = True
            elif not view.watched:
                status = entry.root_status()
                if status is not None and view.statuses and status != view.statuses[0]:
                    view.statuses[0] = status
                    view.changed = True

    def tree_list(self) -> list:
        return [v.summary() for v in list(self.views.values())]

    def select(self, client: Client, key) -> None:
        old = self.views.get(client.selected)
        client.selected = key if key in self.views else None
        if old is not None and not any(c.selected == old.key for c in self.clients):
            self._detach(old)
        view = self.views.get(client.selected)
        if view is not None:
            self._attach(view)
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


def process_wide_label(entry) -> str:
    """The label of a tree the process-wide monitor lists: its engine identifier when it is a ThreadEngine tree.

    With no engine to ask, the identifier exists only as the first argument the
    engine gives its tree thread, so it is read there, and only from a thread
    whose target is the engine's ``_run_tree``; any other tree keeps its entry's
    label. An engine given to ``serve`` or ``record`` is always asked instead.
    """
    thread = entry.thread
    target = getattr(thread, "_target", None)
    args = getattr(thread, "_args", None)
    if getattr(target, "__name__", None) == "_run_tree" and isinstance(args, tuple) and args and type(args[0]) is str:
        return args[0]
    return entry.label


def dumps(obj) -> str:
    return json.dumps(obj, ensure_ascii=False, separators=(",", ":"))
