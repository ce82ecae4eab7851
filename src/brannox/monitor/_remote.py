"""The monitor over a DistributedEngine: its trees live in worker processes.

A lister thread asks every worker, every LIVENESS_SECONDS, for its trees and
their root statuses (one bounded call per worker) and fetches the node table
of each tree it has not seen. A tree a browser shows is followed through an
event subscription (brannox.events) on a thread of its own, which feeds the
view's ``pending`` deque in the tuples a local tree's observer makes, so the
hub's pump treats both alike. Nothing here runs on the server's event loop
except ``apply``.
"""
from __future__ import annotations

import collections
import logging
import threading
import time

from ..events import subscribe
from ..events._channel import _OFFSET
from ._hub import LIVENESS_SECONDS, TreeView

CALL_TIMEOUT_S = 10.0
logger = logging.getLogger("brannox.monitor")


def local_us(unix_seconds: float) -> int:
    """An event's Unix time as this process's monotonic microseconds (what the page's timeline uses)."""
    return int((unix_seconds - _OFFSET) * 1e6)


def describe(engine, tree_id: str, actor=None) -> dict:
    """A tree's recording header (node table, XML, statuses, blackboard), from its worker."""
    from ..engine.distributed import _ray
    from ..engine.distributed._engine import _unpack

    if actor is None:
        _, actor = engine.worker_of(tree_id)
    outcome = _unpack(_ray.submit(actor.describe, tree_id).result(CALL_TIMEOUT_S))
    if outcome.error is not None:
        raise outcome.error
    return outcome.value


def header_blackboard(head: dict) -> dict:
    return {k: (v["repr"], v["type"]) for k, v in head.get("blackboard", {}).items()}


class _Place:
    """Stands in for a registry entry: the hub only checks it is there, and the registry finds no watch on it."""

    watch = None


class RemoteTreeView(TreeView):
    def __init__(self, key, label, tree_id, head, engine, worker, record):
        # As for a local tree: tree_id is the BehaviorTree's, the engine's identifier is in the label.
        super().__init__(key, label, str(head.get("tree_id", "")), head["nodes"], head.get("xml", ""), head.get("statuses") or [],
                         header_blackboard(head), entry=_Place())
        self.engine, self.engine_id, self.worker, self.record = engine, tree_id, worker, record
        self.fresh = None        # (statuses, blackboard, events made by then) for the pump to start the picture from
        self.needs_full = False  # the pump sends the whole picture to the page
        self._stop = None

    def summary(self) -> dict:
        return {**super().summary(), "worker": self.worker}

    def full(self) -> dict:
        return {**super().full(), "worker": self.worker}

    # -- event loop --------------------------------------------------------------
    def drain(self) -> list:
        fresh = self.fresh
        if fresh is not None:
            statuses, blackboard, made = fresh
            self.reset(statuses, blackboard)
            # Events made before the snapshot are in it already.
            q = self.pending
            while q and q[0][0] <= made:
                q.popleft()
            self._taken = max(self._taken, made)
            self.fresh = None
            self.needs_full = True
        return super().drain()

    def start_watch(self) -> None:
        self.pending.clear()
        self._taken = self._made
        stop = self._stop = threading.Event()
        threading.Thread(target=self._follow, args=(stop,), name=f"monitor {self.engine_id}", daemon=True).start()

    def stop_watch(self) -> None:
        if self._stop is not None:
            self._stop.set()
            self._stop = None

    # -- its own thread ------------------------------------------------------------
    def _snapshot(self, stop) -> None:
        head = describe(self.engine, self.engine_id)
        # Subscribed first, then the snapshot: events in between are
        # applied again on top of it, which leaves the same state.
        self.fresh = (head.get("statuses") or [], header_blackboard(head), self._made)
        while self.fresh is not None and not stop.is_set():
            time.sleep(0.02)  # the pump takes the snapshot before any later event

    def _follow(self, stop) -> None:
        try:
            sub = subscribe(self.engine, self.engine_id)
        except Exception as exc:  # stopped meanwhile, or its worker is lost
            logger.warning("tree %r cannot be followed: %s: %s", self.label, type(exc).__name__, exc)
            return
        try:
            self._snapshot(stop)
            while not stop.is_set():
                ev = sub.get(0.25)
                if ev is None:
                    if sub.ended:
                        return
                    continue
                kind = ev["kind"]
                if kind == "transition":
                    self.on_transition((local_us(ev["time"]), ev["node"], ev["from"], ev["to"]))
                elif kind == "blackboard":
                    self.on_blackboard((local_us(ev["time"]), ev["key"], (ev["value"], ev["type"])))
                elif kind == "gap" and not ev["missed"]:
                    # Paused: what it missed is not counted; start again from the tree as it is.
                    if ev.get("paused_ticks") is not None:
                        self._snapshot(stop)
                elif kind == "gap":
                    self._made += ev["missed"]  # the pump sees the numbers jump: a gap
        except Exception as exc:  # noqa: BLE001 - the tree stays listed, without live detail
            logger.warning("following tree %r ended: %s: %s", self.label, type(exc).__name__, exc)
        finally:
            sub.close()


class RemoteTrees:
    """Keeps the hub's list of a DistributedEngine's trees."""

    def __init__(self, hub, engine):
        self.hub = hub
        self.engine = engine
        self.known: dict = {}   # tree id -> view (lister thread only)
        self.updates: collections.deque = collections.deque()  # (view, status or None if gone), for the loop
        self._stop = threading.Event()
        self._thread = None
        self._failed = False

    def start(self) -> None:
        self._thread = threading.Thread(target=self._loop, name="monitor lister", daemon=True)
        self._thread.start()

    def close(self) -> None:
        self._stop.set()
        for view in list(self.known.values()):
            view.stop_watch()

    def _loop(self) -> None:
        while not self._stop.is_set():
            try:
                self.poll()
                self._failed = False
            except Exception as exc:  # noqa: BLE001 - tried again at the next round
                if not self._failed:
                    logger.warning("listing the workers' trees failed: %s: %s", type(exc).__name__, exc)
                self._failed = True
            self._stop.wait(LIVENESS_SECONDS)

    def poll(self) -> None:
        from ..engine.distributed import _ray

        placed = self.engine._placements() if not self.engine._closed else {}
        actors = {}
        for tree_id, (slot, actor, _) in placed.items():
            actors.setdefault(slot, actor)
        asked = {slot: _ray.submit(actor.overview) for slot, actor in actors.items()}
        statuses = {}
        for slot, answer in asked.items():
            try:
                statuses.update({t: s for t, s in answer.result(CALL_TIMEOUT_S)})
            except Exception:  # noqa: BLE001 - that worker's trees keep their last status
                pass
        for tree_id, view in list(self.known.items()):
            now = placed.get(tree_id)
            if now is None or now[2] is not view.record:
                del self.known[tree_id]
                view.stop_watch()
                self.updates.append((view, None))
            elif statuses.get(tree_id) is not None:
                self.updates.append((view, statuses[tree_id]))
        for tree_id, (slot, actor, record) in placed.items():
            if tree_id in self.known or self._stop.is_set():
                continue
            try:
                head = describe(self.engine, tree_id, actor)
            except Exception:  # noqa: BLE001 - stopped meanwhile; a later round lists what is there then
                continue
            key = self.hub._next_key()
            if key is None:
                return
            view = RemoteTreeView(key, f"{tree_id} · worker {slot}", tree_id, head, self.engine, slot, record)
            self.known[tree_id] = view
            self.hub._new.append(view)

    def apply(self) -> None:
        """On the loop: root statuses of trees nobody follows, and trees gone."""
        while self.updates:
            view, status = self.updates.popleft()
            if status is None:
                if view.alive:
                    view.alive = False
                    view.changed = True
            elif not view.watched and view.statuses and status != view.statuses[0]:
                view.statuses[0] = status
                view.changed = True


def event_line(ev: dict):
    """A recording's line for an event, or None for kinds a recording does not keep."""
    kind = ev["kind"]
    if kind == "transition":
        return {"type": "transition", "t": local_us(ev["time"]), "node": ev["node"], "from": ev["from"], "to": ev["to"]}
    if kind == "blackboard":
        return {"type": "blackboard", "t": local_us(ev["time"]), "key": ev["key"],
                "value": {"repr": ev["value"], "type": ev["type"]}}
    if kind == "gap":
        line = {"type": "gap", "t": local_us(ev["time"]), "dropped": ev["missed"]}
        if not ev["missed"]:  # paused: ticks unrecorded in whole or part (None: how many is unknown)
            line["paused_ticks"] = ev.get("paused_ticks")
        return line
    return None


class RemoteRecording:
    """A recording (the same file as for a local tree) of a tree on a worker,
    written by a thread of its own from an event subscription."""

    def __init__(self, engine, tree_id: str, path, buffer_events: int):
        from .._bt.observe import now_us

        self.path = path
        self.label = tree_id
        self._closing = False
        self._file = open(path, "w", encoding="utf-8")  # errors surface to the caller
        try:
            self._sub = subscribe(engine, tree_id, buffer=buffer_events)
            try:
                # Subscribed before the snapshot: an event in between is recorded, not lost.
                head = {**describe(engine, tree_id), "t": now_us(), "tree": tree_id}
                self._write(head)
                self._file.flush()
            except BaseException:
                self._sub.close()
                raise
        except BaseException:
            self._file.close()
            raise
        self._writer = threading.Thread(target=self._write_loop, name=f"recording {tree_id}", daemon=True)
        self._writer.start()

    def _write(self, obj) -> None:
        import json

        self._file.write(json.dumps(obj, ensure_ascii=False) + "\n")

    def _write_loop(self) -> None:
        while not self._closing:
            ev = self._sub.get(0.2)
            if ev is None:
                self._file.flush()
                if self._sub.ended:
                    return
                continue
            line = event_line(ev)
            if line is not None:
                self._write(line)

    def close(self) -> None:
        """Stop recording, write what has arrived and an "end" line, close the file. Idempotent."""
        from .._bt.observe import now_us

        if self._file.closed:
            return
        self._closing = True
        self._writer.join()
        while (ev := self._sub.get(0)) is not None:
            line = event_line(ev)
            if line is not None:
                self._write(line)
        self._sub.close()
        self._write({"type": "end", "t": now_us()})
        self._file.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
