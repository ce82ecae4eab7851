"""AsyncEngine: every method of a ThreadEngine or a DistributedEngine as a
coroutine of the same name, with the same arguments, results and exceptions.

Who does what:

- The loop thread only queues. A call appends a command to its tree's lane
  (a FIFO per tree identifier) and awaits an asyncio future; it never waits
  for a lock that a tree holds.
- Helper threads (at most `max_threads`, started on demand, shared by every
  tree and every event loop using this face) serve lanes, one command at a
  time. A lane is served by one helper at a time, so a slow tree holds one
  helper rather than all of them, and its commands run in the order they were
  queued. After each command a helper that sees other lanes waiting moves to
  the one that has waited longest, so busy trees take turns.
- On a ThreadEngine a command holds its helper for as long as the tree takes.
  On an engine with `submit` (DistributedEngine) the helper only hands the
  command over; the lane stays busy until the engine's future settles, so
  one tree still sees one command at a time, and the helper moves on.
- Answers reach the loop through `call_soon_threadsafe`.

Cancelling the task that awaits a command withdraws the command if it is
still in its lane. A command already handed over cannot be taken back from
a tree thread: it runs to its end and its answer is dropped. Either way the
lane moves on to the next command.
"""
from __future__ import annotations

import asyncio
import atexit
import collections
import contextvars
import functools
import inspect
import os
import threading
import time
import weakref

from brannox.engine.commands import TREE_COMMANDS as ENGINE_TREE_COMMANDS
from brannox.engine.trigger.mthread import ThreadEngine

# The engines' commands to one tree: name -> how many positional arguments
# they take, the tree identifier first. The engine's `submit` runs all of
# them except stop_tree.
TREE_COMMANDS = {name: 1 + len(checks) for name, (_, checks) in ENGINE_TREE_COMMANDS.items()}
TREE_COMMANDS["stop_tree"] = 1
SUBMITTED = set(ENGINE_TREE_COMMANDS)

# Calls on the engine as a whole: name -> position of the tree identifier they
# name, if any (a creation with an identifier queues behind that tree's commands).
ENGINE_CALLS = {
    "register_action_behavior": None,
    "register_action_class": None,
    "create_tree_from_text": 1,
    "create_tree_from_file": 1,
    "get_tree_ids": None,
    "stop_all_trees": None,
}
CREATIONS = ("create_tree_from_text", "create_tree_from_file")

CLOSE_TIMEOUT_S = 30.0
IDLE_EXIT_S = 5.0  # an idle helper ends after this long; the next command starts another

QUEUED, HANDED, DONE = "queued", "handed", "done"
_END = object()  # what a helper is handed when it is to end
_FACES = weakref.WeakSet()  # every AsyncEngine, for the reset in a forked child
# Every helper thread not yet ended and collected, for the join at exit: one
# that a closed face already let go may still be on its way out.
_THREADS = weakref.WeakSet()


def _default_threads():
    # As concurrent.futures.ThreadPoolExecutor: the waits here are on other
    # threads (trees, workers), so a few more helpers than cores.
    return min(32, (os.cpu_count() or 1) + 4)


def _settle(future, ok, value):
    """Runs on the loop: answers an asyncio future unless its awaiter has
    been cancelled meanwhile (the answer is dropped then)."""
    if future.done():
        return
    if ok:
        future.set_result(value)
    else:
        future.set_exception(value)


def _deliver(loop, future, ok, value):
    try:
        loop.call_soon_threadsafe(_settle, future, ok, value)
    except RuntimeError:
        pass  # that loop is closed: nobody is left waiting for the answer


def _tree_key(args, kwargs, position):
    """The lane of a call: its tree identifier when it names one as a plain
    str; None (a lane of its own) otherwise, and the engine rules on it."""
    if position is None:
        return None
    key = args[position] if len(args) > position else kwargs.get("tree_id")
    return key if type(key) is str else None


def _with_daemon_status(daemon, call):
    """Runs call() on a thread whose daemon status is `daemon`. Tree threads
    take the daemon status of the thread that creates them, and helpers are
    daemons: a tree created from the loop's thread must be what the same
    creation made there would be."""
    if threading.current_thread().daemon == daemon:
        return call()
    box = {}

    def run():
        try:
            box["value"] = call()
        except BaseException as exc:  # handed back to the helper
            box["error"] = exc

    creator = threading.Thread(target=run, name="brannox-aio-create", daemon=daemon)
    creator.start()
    creator.join()
    if "error" in box:
        raise box.pop("error")
    return box["value"]


class _Command:
    __slots__ = ("call", "args", "kwargs", "submits", "loop", "future", "lane", "state", "context")

    def __init__(self, call, args, kwargs, submits, loop, future):
        self.call, self.args, self.kwargs, self.submits = call, args, kwargs, submits
        self.loop, self.future = loop, future
        self.lane, self.state = None, QUEUED
        # The awaiting task's context variables (a tracing span, say) travel
        # with the command, so the helper sends it as the task would have.
        self.context = contextvars.copy_context()


class _Lane:
    """Commands waiting for one tree. `active` while the lane is waiting for
    a helper, held by one, or has a command handed over; at most one of those."""

    __slots__ = ("key", "commands", "active")

    def __init__(self, key):
        self.key, self.commands, self.active = key, collections.deque(), False


class _Helper:
    """One helper thread; `park` is held while it has work and released by
    whoever hands it a lane (in `lane`) while it is idle."""

    __slots__ = ("park", "lane", "thread")

    def __init__(self, lane):
        self.park = threading.Lock()
        self.park.acquire()
        self.lane = lane
        self.thread = None


class AsyncEngine:
    """The methods of `engine` (a ThreadEngine or a DistributedEngine) as
    coroutines of the same names, arguments, results and exceptions.

    `max_threads` bounds the helper threads (default: CPUs + 4, at most 32);
    on a ThreadEngine, as many trees as helpers can be in a command at once.
    `aclose()` (or leaving `async with`) waits for the commands in flight; it
    does not stop trees or close the engine, which stay the caller's.
    """

    def __init__(self, engine, max_threads=None):
        if max_threads is None:
            max_threads = _default_threads()
        if type(max_threads) is not int:
            raise TypeError(f"max_threads must be an int, got {type(max_threads).__name__}")
        if max_threads < 1:
            raise ValueError("max_threads must be at least 1")
        self.engine = engine
        self.max_threads = max_threads
        # Commands go through the engine's future-returning `submit` where it has one.
        self._submit = getattr(engine, "submit", None)
        self._closed = False
        self._reset()
        _FACES.add(self)

    def _reset(self):
        """The scheduling state, empty: at creation, and in a forked child,
        where no helper thread of the parent exists and the parent's commands
        are not this process's to answer."""
        self._lock = threading.Lock()
        self._lanes = {}  # tree identifier -> _Lane with commands or active
        self._ready = collections.deque()  # active lanes waiting for a helper
        self._idle = []  # parked helpers, the most recently parked last
        self._helpers = set()
        self._starting = False  # a helper thread is starting
        self._outstanding = 0  # commands queued or handed over, not yet answered
        self._drain_waiters = []  # (loop, future) told when _outstanding reaches 0 after closing

    def __repr__(self):
        return f"<AsyncEngine over {type(self.engine).__name__}, {len(self._helpers)}/{self.max_threads} helpers>"

    # ------------------------------------------------------- the loop side

    async def _run(self, key, call, args, kwargs, submits=False):
        command = self._begin(key, call, args, kwargs, submits)
        try:
            return await command.future
        except BaseException:
            self._abandon(command)
            raise

    def _begin(self, key, call, args, kwargs, submits):
        """Queues a command for the running loop; returns it (await its `future`)."""
        loop = asyncio.get_running_loop()
        command = _Command(call, args, kwargs, submits, loop, loop.create_future())
        self._enqueue(key, command)
        return command

    def _abandon(self, command):
        """The awaiter of a command was cancelled, or its coroutine closed unfinished."""
        future = command.future
        if future.done() and not future.cancelled():
            future.exception()  # an answer dropped on purpose is not an unretrieved error
        self._withdraw(command)

    def _enqueue(self, key, command):
        with self._lock:
            if self._closed:
                raise RuntimeError("AsyncEngine is closed")
            lane = self._lanes.get(key) if key is not None else None
            if lane is None:
                lane = _Lane(key)
                if key is not None:
                    self._lanes[key] = lane
            command.lane = lane
            lane.commands.append(command)
            self._outstanding += 1
            wake = None
            if not lane.active:
                lane.active = True
                wake = self._dispatch(lane)
        if wake is not None:
            wake()

    def _withdraw(self, command):
        """A cancelled awaiter: a command still in its lane leaves it."""
        with self._lock:
            if command.state is not QUEUED:
                return  # handed over (runs to its end, answer dropped) or answered
            command.lane.commands.remove(command)
            command.state = DONE
            drained = self._count_done()
        self._tell_drained(drained)

    # ------------------------------------------------------ scheduling

    def _dispatch(self, lane):
        """Under the lock: gives an active lane to an idle helper, a new one,
        or the ready queue. Returns what to call once the lock is released."""
        if self._idle:
            helper = self._idle.pop()
            helper.lane = lane
            return helper.park.release
        if len(self._helpers) < self.max_threads and not self._starting:
            return self._new_helper(lane)
        self._ready.append(lane)
        return None

    def _new_helper(self, lane):
        """Under the lock: a helper for `lane`; returns its thread's start.
        One helper starts at a time: Thread.start() waits for the new thread
        to run, which on the loop's thread would stall the loop once per
        helper, so each new helper starts the next while lanes are waiting."""
        self._starting = True
        helper = _Helper(lane)
        self._helpers.add(helper)
        thread = threading.Thread(target=self._serve, args=(helper,), daemon=True,
                                  name=f"brannox-aio-{len(self._helpers)}")
        helper.thread = thread
        _THREADS.add(thread)
        return functools.partial(self._start_helper, thread, helper)

    def _start_helper(self, thread, helper):
        """Outside the lock. A thread that cannot start (the system's thread
        limit) leaves its lane to the other helpers, or, with none left,
        fails the lane's queued commands with the error."""
        try:
            thread.start()
        except BaseException as exc:
            with self._lock:
                self._starting = False
                self._helpers.discard(helper)
                lane, wake, failed = helper.lane, None, []
                if self._idle:
                    wake = self._dispatch(lane)
                elif self._helpers:  # busy ones: the first free one takes it
                    self._ready.append(lane)
                else:
                    failed = list(lane.commands)
                    lane.commands.clear()
                    self._deactivate(lane)
                    for command in failed:
                        command.state = DONE
                drained = self._count_done(len(failed)) if failed else ()
            if wake is not None:
                wake()
            for command in failed:
                _deliver(command.loop, command.future, False, exc)
            self._tell_drained(drained)

    def _deactivate(self, lane):
        """Under the lock: a lane with nothing queued and nothing handed over."""
        lane.active = False
        if lane.key is not None and not lane.commands and self._lanes.get(lane.key) is lane:
            del self._lanes[lane.key]

    def _next_lane(self, helper):
        """Under the lock: what a helper that is free does next (a lane, or
        None after registering it idle, or _END once the face is closed)."""
        if self._ready:
            return self._ready.popleft()
        if self._closed:
            self._helpers.discard(helper)
            return _END
        self._idle.append(helper)
        return None

    # ---------------------------------------------------- the helper side

    def _serve(self, helper):
        """A helper thread's body: serves lanes until told to end or idle too long."""
        with self._lock:
            self._starting = False
            start = None
            if self._ready and len(self._helpers) < self.max_threads:
                start = self._new_helper(self._ready.popleft())
        if start is not None:
            start()
        lane, helper.lane = helper.lane, None
        while lane is not _END:
            if lane is None:
                woken = helper.park.acquire(timeout=IDLE_EXIT_S)
                with self._lock:
                    if not woken:
                        if helper in self._idle:
                            self._idle.remove(helper)
                            self._helpers.discard(helper)
                            return
                        continue  # handed a lane just now; its release follows
                    lane, helper.lane = helper.lane, None
                continue
            lane = self._serve_once(helper, lane)

    def _serve_once(self, helper, lane):
        """Runs (or hands over) the first command of a lane; returns what the
        helper does next, as _next_lane."""
        with self._lock:
            if not lane.commands:  # every command withdrawn while it waited
                self._deactivate(lane)
                return self._next_lane(helper)
            command = lane.commands.popleft()
            command.state = HANDED
        if command.submits:
            self._hand_over(command)
            with self._lock:
                return self._next_lane(helper)
        try:
            ok, value = True, command.context.run(command.call, *command.args, **command.kwargs)
        except BaseException as exc:  # answered to the awaiter, as the engine raised it
            ok, value = False, exc
        # What this helper does next is settled before the answer goes out, so
        # that the loop, woken by it, finds the interpreter lock free soon.
        with self._lock:
            command.state = DONE
            drained = self._count_done()
            if not lane.commands:
                self._deactivate(lane)
                after = self._next_lane(helper)
            elif self._ready:  # other trees have waited: take turns
                self._ready.append(lane)
                after = self._ready.popleft()
            else:
                after = lane
        _deliver(command.loop, command.future, ok, value)
        self._tell_drained(drained)
        return after

    def _hand_over(self, command):
        """Starts a command through the engine's `submit`; the lane moves on
        when the engine's future settles (on whichever thread settles it)."""
        try:
            future = command.context.run(command.call, *command.args)
        except BaseException as exc:
            self._settled(command, None, exc)
            return
        future.add_done_callback(functools.partial(self._settled, command))

    def _settled(self, command, future, error=None):
        if future is not None:
            try:
                ok, value = True, future.result()
            except BaseException as exc:
                ok, value = False, exc
        else:
            ok, value = False, error
        self._answer(command, ok, value)
        lane = command.lane
        with self._lock:
            if lane.commands:
                wake = self._dispatch(lane)
            else:
                self._deactivate(lane)
                wake = None
        if wake is not None:
            wake()

    def _answer(self, command, ok, value):
        with self._lock:
            command.state = DONE
            drained = self._count_done()
        _deliver(command.loop, command.future, ok, value)
        self._tell_drained(drained)

    def _count_done(self, count=1):
        """Under the lock: `count` commands fewer outstanding; returns the
        close waiters to tell when those were the last ones."""
        self._outstanding -= count
        if self._outstanding or not self._drain_waiters:
            return ()
        drained, self._drain_waiters = self._drain_waiters, []
        return drained

    @staticmethod
    def _tell_drained(drained):
        for loop, waiter in drained:
            _deliver(loop, waiter, True, None)

    # -------------------------------------------------------- closing

    async def aclose(self, timeout=CLOSE_TIMEOUT_S):
        """Refuses new commands, then waits (at most `timeout` seconds) for
        the commands queued or running. At the time limit, commands still
        queued are withdrawn (their awaiters get RuntimeError) and
        TimeoutError says how many are still running on their trees; those
        still answer their awaiters when they end."""
        loop = asyncio.get_running_loop()
        waiter = None
        with self._lock:
            self._closed = True
            if self._outstanding:
                waiter = loop.create_future()
                self._drain_waiters.append((loop, waiter))
        if waiter is not None:
            await asyncio.wait([waiter], timeout=timeout)
        with self._lock:
            idle, self._idle = self._idle, []
            for helper in idle:
                self._helpers.discard(helper)
                helper.lane = _END
            if waiter is not None and not waiter.done():
                self._drain_waiters = [(lp, w) for lp, w in self._drain_waiters if w is not waiter]
                lanes = {id(lane): lane for lane in (*self._lanes.values(), *self._ready)}
                withdrawn = [c for lane in lanes.values() for c in lane.commands]
                for command in withdrawn:
                    command.lane.commands.remove(command)
                    command.state = DONE
                    self._outstanding -= 1
                running = self._outstanding
            else:
                withdrawn, running = [], 0
        for helper in idle:
            helper.park.release()
        for command in withdrawn:
            _deliver(command.loop, command.future, False,
                     RuntimeError("AsyncEngine closed before the command reached its tree"))
        if running:
            raise TimeoutError(f"{running} command(s) still running on their trees after {timeout} s")

    async def __aenter__(self):
        return self

    async def __aexit__(self, *exc_info):
        await self.aclose()

    # ------------------------------------------------------------- events

    def events(self, tree_id, *, buffer=None):
        """An async iterator of the events of tree `tree_id` (see
        brannox.events), from the commands queued after this call on.

        On a ThreadEngine the tree is watched at once; on a DistributedEngine
        the watch is set up in the tree's lane, so commands to the tree
        queued afterwards run once it is in place. Close it (`aclose()`, or
        `async with`) when done; it ends by itself once the tree is stopped.
        """
        from ..events._subscription import BUFFER_EVENTS, Subscription, open_source

        if buffer is None:
            buffer = BUFFER_EVENTS
        if self._submit is None:
            return Subscription(tree_id, open_source(self.engine, tree_id, buffer))
        command = self._begin(_tree_key((tree_id,), {}, 0), open_source, (self.engine, tree_id, buffer), {}, False)
        return Subscription(tree_id, opening=command.future)

    # -------------------------------- what only some engines have (submit, tick_many, close, ...)

    def __getattr__(self, name):
        if name.startswith("_"):
            raise AttributeError(f"{type(self).__name__!r} object has no attribute {name!r}")
        attr = getattr(self.engine, name)  # AttributeError as the engine words it
        if not callable(attr):
            return attr
        if name == "submit":
            return self._submit_command

        @functools.wraps(attr)
        async def call(*args, **kwargs):
            return await self._run(None, attr, args, kwargs)

        return call

    async def _submit_command(self, name, *args):
        """The engine's `submit`, awaited: runs one tree command by name and
        returns its result (what `await asyncio.wrap_future(engine.submit(...))`
        would), queued behind that tree's other commands."""
        return await self._run(_tree_key(args, {}, 0), self._submit, (name,) + args, {}, submits=True)


def _tree_command(name, count):
    async def command(self, *args, **kwargs):
        # Awaits the command's future in this frame: one coroutine per command, not two.
        key = _tree_key(args, kwargs, 0)
        if self._submit is not None and name in SUBMITTED and len(args) == count and not kwargs:
            pending = self._begin(key, self._submit, (name,) + args, {}, True)
        else:  # anything else, other argument shapes included, the engine's own method rules on
            pending = self._begin(key, getattr(self.engine, name), args, kwargs, False)
        try:
            return await pending.future
        except BaseException:
            self._abandon(pending)
            raise

    return command


def _engine_call(name, position):
    async def command(self, *args, **kwargs):
        method = getattr(self.engine, name)
        call = functools.partial(method, *args, **kwargs)
        if name in CREATIONS and self._submit is None:
            call = functools.partial(_with_daemon_status, threading.current_thread().daemon, call)
        return await self._run(_tree_key(args, kwargs, position), call, (), {})

    return command


def _install():
    """Puts one coroutine per engine method on AsyncEngine, with the thread
    engine's signature (both engines share it)."""
    made = {name: _tree_command(name, count) for name, count in TREE_COMMANDS.items()}
    made.update({name: _engine_call(name, position) for name, position in ENGINE_CALLS.items()})
    for name, command in made.items():
        command.__name__ = name
        command.__qualname__ = f"AsyncEngine.{name}"
        command.__doc__ = f"Awaitable `{name}` of the wrapped engine: same arguments, result and exceptions."
        command.__signature__ = inspect.signature(getattr(ThreadEngine, name))
        setattr(AsyncEngine, name, command)


_install()


def _after_fork_in_child():
    for face in list(_FACES):
        face._reset()


os.register_at_fork(after_in_child=_after_fork_in_child)


def _end_helpers_at_exit(timeout=2.0):
    """Closes every face and waits (bounded) for its helper threads to end.

    Helpers are daemon threads; one left parked, or just finishing a command
    when the program ends, would be abandoned by the interpreter's shutdown
    with its thread state still allocated. A closed face hands a helper that
    finishes its work nothing more, so each ends once its command is done.
    """
    for face in list(_FACES):
        with face._lock:
            face._closed = True
            idle, face._idle = face._idle, []
            for helper in idle:
                face._helpers.discard(helper)
                helper.lane = _END
        for helper in idle:
            helper.park.release()
    deadline = time.monotonic() + timeout
    for thread in list(_THREADS):
        if thread is not threading.current_thread() and thread.ident is not None:
            thread.join(max(0.0, deadline - time.monotonic()))


atexit.register(_end_helpers_at_exit)
