"""Subscriptions: a tree's events for a thread (iteration) or a coroutine
(async iteration), from a channel in this process or in a worker of a
DistributedEngine (fetched in bounded batches)."""
from __future__ import annotations

import asyncio
import collections
import time

from ._channel import BATCH_EVENTS, BUFFER_EVENTS, Channel

POLL_SECONDS = 0.25     # how often a waiting reader looks whether the tree is gone
# A reader woken by the first event lets a few more come before taking them:
# taken one at a time, each would cost the tree thread a wake-up.
BATCH_DELAY_SECONDS = 0.002
REMOTE_WAIT_SECONDS = 1.0   # the longest a worker holds one batch request open
REMOTE_SLACK_SECONDS = 30.0  # beyond that, a batch request that got no answer fails


def _resolve(future) -> None:
    if not future.done():
        future.set_result(None)


class _Local:
    worker = None

    def __init__(self, channel: Channel):
        self.channel = channel

    def fetch(self, timeout: float) -> list:
        out = self.channel.take()
        if not out:
            self.channel.wait(min(timeout, POLL_SECONDS))
            if timeout > BATCH_DELAY_SECONDS:
                time.sleep(BATCH_DELAY_SECONDS)
            out = self.channel.take()
        return out

    async def afetch(self, timeout: float) -> list:
        channel = self.channel
        out = channel.take()
        if out:
            return out
        loop = asyncio.get_running_loop()
        woken = loop.create_future()

        def wake():
            try:
                loop.call_soon_threadsafe(_resolve, woken)
            except RuntimeError:
                pass  # the loop is closed: nobody waits any more

        if channel.arm(wake):
            timer = loop.call_later(min(timeout, POLL_SECONDS), _resolve, woken)
            try:
                await woken
            finally:
                timer.cancel()
                channel.disarm()
            await asyncio.sleep(BATCH_DELAY_SECONDS)
        return channel.take()

    def close(self) -> None:
        self.channel.close()


class _Remote:
    """A channel in the worker hosting the tree, read in batches."""

    def __init__(self, engine, tree_id: str, buffer: int):
        from ..engine.distributed import _ray
        from ..engine.distributed._engine import _unpack

        self._ray, self._unpack = _ray, _unpack
        self.tree_id = tree_id
        self.worker, self.actor = engine.worker_of(tree_id)
        outcome = _unpack(_ray.submit(self.actor.watch, tree_id, buffer).result())
        if outcome.error is not None:
            raise outcome.error
        self.number = outcome.value
        self.closed = False

    def _request(self, timeout: float):
        return self._ray.submit(self.actor.events, self.number, BATCH_EVENTS, min(timeout, REMOTE_WAIT_SECONDS))

    def _read(self, blob) -> list:
        out = self._unpack(blob).value if blob is not None else None
        if out is None:  # the worker no longer knows this subscription
            out = [{"kind": "end", "tree_id": self.tree_id, "time": time.time()}]
        for ev in out:
            ev["worker"] = self.worker
        return out

    def _lost(self, exc) -> list:
        self.closed = True
        return [{"kind": "end", "tree_id": self.tree_id, "time": time.time(), "worker": self.worker,
                 "error": f"{type(exc).__name__}: {exc}"}]

    def fetch(self, timeout: float) -> list:
        try:
            return self._read(self._request(timeout).result(REMOTE_WAIT_SECONDS + REMOTE_SLACK_SECONDS))
        except Exception as exc:  # the worker is lost, or Ray is gone
            return self._lost(exc)

    async def afetch(self, timeout: float) -> list:
        try:
            blob = await asyncio.wait_for(asyncio.wrap_future(self._request(timeout)),
                                          REMOTE_WAIT_SECONDS + REMOTE_SLACK_SECONDS)
            return self._read(blob)
        except asyncio.CancelledError:
            raise
        except Exception as exc:
            return self._lost(exc)

    def close(self) -> None:
        if not self.closed:
            self.closed = True
            try:
                self._ray.submit(self.actor.unwatch, self.number)  # not waited for
            except Exception:
                pass


def open_source(engine, tree_id: str, buffer: int = BUFFER_EVENTS):
    """The channel of ``engine``'s tree ``tree_id``, attached from now on."""
    if type(tree_id) is not str:
        raise TypeError(f"tree_id must be a str, not {type(tree_id).__name__}")
    if type(buffer) is not int or buffer < 1:
        raise ValueError(f"buffer must be a positive int, not {buffer!r}")
    from ..aio import AsyncEngine

    if isinstance(engine, AsyncEngine):
        engine = engine.engine
    if hasattr(engine, "worker_of"):
        return _Remote(engine, tree_id, buffer)
    if isinstance(getattr(engine, "trees", None), dict):
        from ..monitor._trees import find_entry

        return _Local(Channel(find_entry(engine, tree_id), tree_id, buffer))
    raise TypeError(f"events come from a ThreadEngine or a DistributedEngine, not {type(engine).__name__}")


class Subscription:
    """The events of one tree, oldest first, until ``close()`` or the tree's
    "end" event. Iterate it from one thread, or async-iterate it from one
    task; ``get(timeout)`` returns the next event or None."""

    def __init__(self, tree_id: str, source=None, opening=None):
        self.tree_id = tree_id
        self._source = source
        self._opening = opening  # an asyncio future of the source (AsyncEngine.events)
        self._batch: collections.deque = collections.deque()
        self._ended = False
        self._closed = False

    @property
    def ended(self) -> bool:
        """Whether the "end" event has been received (nothing follows it)."""
        return self._ended

    @property
    def worker(self):
        """The slot of the DistributedEngine worker hosting the tree, else None."""
        return getattr(self._source, "worker", None)

    def _add(self, batch: list) -> None:
        if batch and batch[-1]["kind"] == "end":
            self._ended = True
            self._source.close()
        self._batch.extend(batch)

    def get(self, timeout: float | None = None):
        """The next event, waiting at most ``timeout`` seconds (None: until
        one comes); None at the timeout or after the end."""
        if self._source is None:
            raise RuntimeError("this subscription is being opened by an event loop; iterate it there")
        deadline = None if timeout is None else time.monotonic() + timeout
        asked = False
        while not self._batch:
            if self._ended or self._closed:
                return None
            left = POLL_SECONDS if deadline is None else deadline - time.monotonic()
            if left <= 0 and asked:
                return None
            self._add(self._source.fetch(max(left, 0.0)))
            asked = True
        return self._batch.popleft()

    def __iter__(self):
        return self

    def __next__(self):
        ev = self.get()
        if ev is None:
            raise StopIteration
        return ev

    def __aiter__(self):
        return self

    async def __anext__(self):
        if self._source is None:
            try:
                self._source = await asyncio.shield(self._opening)
            except BaseException:
                self._closed = True
                raise
            if self._closed:
                self._source.close()
        while not self._batch:
            if self._ended or self._closed:
                raise StopAsyncIteration
            self._add(await self._source.afetch(POLL_SECONDS))
        return self._batch.popleft()

    def close(self) -> None:
        """Stop receiving events (what is already here is dropped). Idempotent."""
        self._closed = True
        self._batch.clear()
        if self._source is not None:
            self._source.close()
        elif self._opening is not None:
            self._opening.add_done_callback(
                lambda f: f.cancelled() or f.exception() is not None or f.result().close())

    async def aclose(self) -> None:
        self.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()

    async def __aenter__(self):
        return self

    async def __aexit__(self, *exc_info):
        self.close()

    def __del__(self):
        # Dropped without close(): the channel (here or in a worker) goes too.
        try:
            if self._closed:
                return
            source, opening = self._source, self._opening
            if source is None and opening is not None and opening.done() and not opening.cancelled() \
                    and opening.exception() is None:
                source = opening.result()
            if source is not None:
                source.close()
        except Exception:
            pass


def subscribe(engine, tree_id: str, *, buffer: int = BUFFER_EVENTS) -> Subscription:
    """Events of ``engine``'s tree ``tree_id`` from now on (a ThreadEngine, a
    DistributedEngine, or the engine of an AsyncEngine). Raises ValueError
    when there is no such tree."""
    return Subscription(tree_id, open_source(engine, tree_id, buffer))
