"""One subscriber's channel, in the process that ticks the tree.

A Channel is an observer of the core's registry. On the tree thread it only
numbers the core's event tuple and appends it to a deque bounded by
``maxlen`` (the oldest event goes when it is full), then wakes the reader if
the reader asked to be woken: no lock, no wait, whatever the reader does.
The reader turns tuples into mappings and finds a gap in the numbers when
events were dropped.

A reader that stops reading would still cost the tree the observation of
every status write, several times a trivial tick. So once a channel has lost
``max(buffer, STALL_EVENTS)`` events since its reader last took any, it is
paused: it leaves the tree's observers (with no other observer the nodes get
their plain classes back and the tree runs as if unwatched) and only notes
how many ticks the tree had begun. When the reader has taken everything kept,
the channel rejoins and tells the reader, with a gap event, how many ticks
went unrecorded.
"""
from __future__ import annotations

import collections
import itertools
import threading
import time

from .._bt.observe import REGISTRY, now_us

BUFFER_EVENTS = 10_000
BATCH_EVENTS = 1_000
STALL_EVENTS = 1_000  # the fewest events lost in a row before a channel pauses

# Monotonic microseconds (what the core stamps) to Unix seconds, once for
# the process, so that every subscription gives one event the same time.
_OFFSET = time.time() - time.monotonic()

_TRANSITION, _BLACKBOARD, _EMIT, _TICK_START, _TICK_END, _HALT = range(6)


class Channel:
    def __init__(self, entry, tree_id: str, buffer: int = BUFFER_EVENTS):
        if type(buffer) is not int or buffer < 1:
            raise ValueError(f"buffer must be a positive int, not {buffer!r}")
        self.entry = entry
        self.tree_id = tree_id
        self.names = tuple(n.name for n in entry.nodes)
        self.queue: collections.deque = collections.deque(maxlen=buffer)
        # Numbers beyond the last one taken at which the channel pauses.
        self._stall = buffer + max(buffer, STALL_EVENTS)
        # next() on a count is atomic: an action emitting from a thread of its
        # own cannot take a number the tree thread also takes.
        self._number = itertools.count(1)
        self._taken = 0
        self._wake = None
        self.closed = False
        # While paused: the tree's ticks_begun when it paused. Pausing and
        # rejoining happen under _pausing, so a rejoin cannot slip in
        # between the decision to pause and the detach.
        self._paused_at = None
        self._pausing = threading.Lock()
        if not REGISTRY.attach(entry, self):
            raise ValueError(f"tree {tree_id!r} is gone")

    # -- tree thread: append, wake if asked --------------------------------
    def _put(self, code, ev) -> None:
        q = self.queue
        n = next(self._number)
        q.append((n, code, ev))
        if len(q) == q.maxlen and n - self._taken >= self._stall:
            self._pause()
        wake = self._wake
        if wake is not None:
            self._wake = None
            wake()

    def _pause(self) -> None:
        with self._pausing:
            if self.closed:
                REGISTRY.detach(self.entry, self)  # a closed channel never watches
                return
            if self._paused_at is not None:
                return  # a late event from an action's own thread
            tree = self.entry.tree_ref()
            # A tick under way is missed in part: it counts.
            self._paused_at = getattr(tree, "ticks_begun", 0) - bool(getattr(tree, "_ticking", False))
            REGISTRY.detach(self.entry, self)

    def _rejoin(self):
        """Reader side, once everything kept was taken: back among the
        tree's observers. Returns the gap event to deliver (paused_ticks
        None when the tree ended meanwhile), or None when not paused."""
        with self._pausing:
            if self._paused_at is None or self.closed:
                return None
            tree, missed = self.entry.tree_ref(), None
            if tree is not None and not self.gone():
                if REGISTRY.attach(self.entry, self):
                    # Read once watching again: a tick begun in between is
                    # counted though seen whole, never missed and uncounted;
                    # one under way now is seen in part and counted.
                    missed = getattr(tree, "ticks_begun", 0) - self._paused_at
                    if self.closed:
                        REGISTRY.detach(self.entry, self)
            self._paused_at = None
        return self._event("gap", now_us(), missed=0, paused_ticks=missed)

    @property
    def paused(self) -> bool:
        return self._paused_at is not None

    def on_transition(self, ev) -> None:
        self._put(_TRANSITION, ev)

    def on_blackboard(self, ev) -> None:
        self._put(_BLACKBOARD, ev)

    def on_emit(self, ev) -> None:
        self._put(_EMIT, ev)

    def on_tick_start(self, t) -> None:
        self._put(_TICK_START, t)

    def on_tick_end(self, ev) -> None:
        self._put(_TICK_END, ev)

    def on_halt(self, ev) -> None:
        self._put(_HALT, ev)

    def on_tick(self, counters) -> None:
        pass

    # -- reader --------------------------------------------------------------
    def _event(self, kind, t, **fields) -> dict:
        return {"kind": kind, "tree_id": self.tree_id, "time": t / 1e6 + _OFFSET, **fields}

    def _make(self, code, ev) -> dict:
        # The two kinds most events are, as literals: this runs for every event.
        if code == _TRANSITION:
            t, node, old, new = ev
            return {"kind": "transition", "tree_id": self.tree_id, "time": t / 1e6 + _OFFSET,
                    "node": node, "name": self.names[node], "from": old, "to": new}
        if code == _BLACKBOARD:
            t, key, (text, tname) = ev
            return {"kind": "blackboard", "tree_id": self.tree_id, "time": t / 1e6 + _OFFSET,
                    "key": key, "value": text, "type": tname}
        if code == _EMIT:
            t, node, kind, payload = ev
            return self._event(kind, t, node=node, name=self.names[node], payload=payload)
        if code == _TICK_START:
            return self._event("tick_start", ev)
        if code == _TICK_END:
            t, status, error = ev
            return self._event("tick_end", t, status=status, error=error)
        t, reset = ev
        return self._event("halt", t, reset=reset)

    def gone(self) -> bool:
        entry = self.entry
        return not entry.alive() or REGISTRY.for_thread(entry.thread) is not entry

    def take(self, limit: int = BATCH_EVENTS) -> list:
        """Up to ``limit`` events, oldest first, a gap event where some were
        dropped; an "end" event (and the channel closes) once the tree is gone
        and everything before it was taken."""
        out = []
        if self.closed:
            return out
        q = self.queue
        while q and len(out) < limit:
            n, code, ev = q.popleft()
            if n > self._taken + 1:
                out.append(self._event("gap", now_us(), missed=n - self._taken - 1, paused_ticks=0))
            self._taken = n
            out.append(self._make(code, ev))
        if not q and self._paused_at is not None and len(out) < limit:
            gap = self._rejoin()
            if gap is not None:
                out.append(gap)
        if not out and self.gone():
            self.close()
            out.append(self._event("end", now_us()))
        return out

    def wait(self, timeout: float) -> None:
        """Block until an event is queued or ``timeout`` passes (reader thread)."""
        # Paused, nothing will wake it: the next take() rejoins.
        if self.queue or self.closed or self._paused_at is not None:
            return
        ready = threading.Event()
        self._wake = ready.set
        if not self.queue:
            ready.wait(timeout)
        self._wake = None

    def arm(self, wake) -> bool:
        """Have ``wake()`` called (once, from the tree thread) at the next
        event; False, and nothing armed, when one is already queued."""
        self._wake = wake
        if self.queue or self.closed or self._paused_at is not None:
            self._wake = None
            return False
        return True

    def disarm(self) -> None:
        self._wake = None

    def close(self) -> None:
        # Not under _pausing: close() may come from a collector run on any
        # thread (the registry defers a detach that re-enters it). A rejoin
        # racing with it looks at `closed` again once attached.
        if not self.closed:
            self.closed = True
            REGISTRY.detach(self.entry, self)
