"""One subscriber's channel, in the process that ticks the tree.

A Channel is an observer of the core's registry. On the tree thread it only
numbers the core's event tuple and appends it to a deque bounded by
``maxlen`` (the oldest event goes when it is full), then wakes the reader if
the reader asked to be woken: no lock, no wait, whatever the reader does.
The reader turns tuples into mappings and finds a gap in the numbers when
events were dropped.
"""
from __future__ import annotations

import collections
import itertools
import threading
import time

from .._bt.observe import REGISTRY, now_us

BUFFER_EVENTS = 10_000
BATCH_EVENTS = 1_000

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
        # next() on a count is atomic: an action emitting from a thread of its
        # own cannot take a number the tree thread also takes.
        self._number = itertools.count(1)
        self._taken = 0
        self._wake = None
        self.closed = False
        if not REGISTRY.attach(entry, self):
            raise ValueError(f"tree {tree_id!r} is gone")

    # -- tree thread: append, wake if asked --------------------------------
    def _put(self, code, ev) -> None:
        self.queue.append((next(self._number), code, ev))
        wake = self._wake
        if wake is not None:
            self._wake = None
            wake()

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
                out.append(self._event("gap", now_us(), missed=n - self._taken - 1))
            self._taken = n
            out.append(self._make(code, ev))
        if not out and self.gone():
            self.close()
            out.append(self._event("end", now_us()))
        return out

    def wait(self, timeout: float) -> None:
        """Block until an event is queued or ``timeout`` passes (reader thread)."""
        if self.queue or self.closed:
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
        if self.queue or self.closed:
            self._wake = None
            return False
        return True

    def disarm(self) -> None:
        self._wake = None

    def close(self) -> None:
        if not self.closed:
            self.closed = True
            REGISTRY.detach(self.entry, self)
