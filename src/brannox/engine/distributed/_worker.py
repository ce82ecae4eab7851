"""The worker side: one Ray actor process hosting one ThreadEngine.

Every answer leaves the worker as bytes made by cloudpickle, never as a Ray
return value or a Ray-wrapped exception: the driver then rebuilds exactly the
engine's exception (same class, same text), a value that cannot cross
processes is refused here with a TypeError naming the tree and the key, and
no generator is ever handed to Ray (which would iterate it as several return
values).
"""
from __future__ import annotations

import collections.abc
import itertools
import os
import threading
import time
import traceback
import types
from concurrent.futures import ThreadPoolExecutor

import loguru
from ray import cloudpickle

import brannox.engine.trigger.mthread as mthread_module

# Concurrency group of the health check: its own threads, so that a worker
# whose command threads are all taken by long ticks still answers it.
HEALTH_GROUP = "health"
# Event channels nobody has asked for a batch for this long are closed (a
# driver that went away without closing its subscription).
WATCH_IDLE_S = 120.0


class _CallerLines:
    """Stands in for the engine's logger inside a worker.

    Keeps the lines logged on a thread that is serving a driver call (the
    lines a ThreadEngine logs on its caller's thread), so the driver can log
    them itself; lines of the tree threads are logged here, in the worker,
    through loguru.
    """

    def __init__(self):
        self._local = threading.local()

    def capture(self):
        lines = []
        self._local.lines = lines
        return lines

    def release(self):
        self._local.lines = None

    def _add(self, level, text):
        lines = getattr(self._local, "lines", None)
        if lines is not None:
            lines.append((level, text))
        else:
            getattr(loguru.logger, level)(text)

    def info(self, text):
        self._add("info", text)

    def error(self, text):
        self._add("error", text)


def value_refusal(tree_id, key, value):
    """The TypeError for a value that cannot cross processes, or None."""
    if isinstance(value, (types.GeneratorType, collections.abc.Iterator)):
        reason = f"{type(value).__name__} 是生成器或迭代器"
    else:
        try:
            cloudpickle.dumps(value)
            return None
        except Exception as exc:  # any pickling failure is the caller's to see
            reason = f"{type(exc).__name__}: {exc}"
    return TypeError(f"行为树 {tree_id} 的黑板键 {key} 的值不能在进程间传递: {reason}")


def _failure(exc):
    # Arguments only when they are plain text: anything else may not unpickle
    # in the driver, and the text alone rebuilds the engine's own errors.
    args = exc.args if all(isinstance(a, (str, bytes, int)) for a in exc.args) else None
    return ("err", type(exc), args, str(exc), _cause_of(exc))


def _cause_of(exc):
    """What the driver needs to chain the exception behind `exc` (a tick
    function's own exception): (its pickle or None, why there is none, its
    class name, its text, its formatted traceback), or None.

    Pickled on its own, so that a cause the driver cannot unpickle spoils
    neither the answer nor the error it explains; the traceback goes as text,
    since pickling drops it.
    """
    cause = exc.__cause__
    if cause is None:
        return None
    cls = type(cause)
    name = cls.__qualname__ if cls.__module__ == "builtins" else f"{cls.__module__}.{cls.__qualname__}"
    try:
        text = str(cause)
    except Exception:
        text = "<str() failed>"
    formatted = "".join(traceback.format_exception(cls, cause, cause.__traceback__))
    try:
        return (cloudpickle.dumps(cause), None, name, text, formatted)
    except Exception as refusal:
        return (None, f"{type(refusal).__name__}: {refusal}", name, text, formatted)


class TreeWorker:
    """Ray actor class (made remote by the driver): commands for the trees
    it hosts, each answered as pickled bytes."""

    def __init__(self, registrations):
        # Before any tree is built: brannox.durable learns each tree's core
        # engine as it is built, so that a tree can be made durable later.
        import brannox.durable  # noqa: F401
        self._lines = _CallerLines()
        mthread_module.logger = self._lines
        # Its "初始化线程引擎" is the driver's to log (it does, once per engine).
        self._lines.capture()
        self._engine = mthread_module.ThreadEngine()
        self._lines.release()
        # Creations by token: a creation the driver gave up on (interrupted)
        # is discarded here, whether it has not begun, is under way or is done.
        self._lock = threading.Lock()
        self._made = {}  # tree id -> (token, answer) of the tree it names now
        self._running = {}  # token -> Event set when that creation has finished
        self._discarded = set()  # tokens discarded before their creation began
        self._channels = {}  # number -> [event channel, when a batch was last asked for]
        self._channel_numbers = itertools.count(1)
        for blob in registrations:
            self.register(blob)

    def _run(self, fn, *args):
        """Runs fn, returning (outcome, caller-thread lines)."""
        lines = self._lines.capture()
        try:
            return ("ok", fn(*args)), lines
        except Exception as exc:
            return _failure(exc), lines
        finally:
            self._lines.release()

    def ping(self):
        return os.getpid()

    def register(self, blob):
        action_id, tick_functor, ports_list = cloudpickle.loads(blob)
        self._run(self._engine.register_action_behavior, action_id, tick_functor, ports_list)

    def create(self, tree_id, xml_text, token, resume=None):
        with self._lock:
            if token in self._discarded:
                self._discarded.discard(token)
                return cloudpickle.dumps((_failure(RuntimeError("discarded")), []))
            made = self._made.get(tree_id)
            if made is not None and made[0] == token:
                return made[1]  # a retried call whose first attempt got through
            finished = self._running[token] = threading.Event()
        try:
            # Tree threads take the daemon status of their creator: made from a
            # daemon thread they never keep this process from exiting when asked.
            box = {}
            build = (self._engine.create_tree_from_text, xml_text, tree_id)
            if resume is not None:  # from its checkpoint, by brannox.durable
                build = (_durable().resume_here, self._engine, tree_id, resume)
            creator = threading.Thread(target=lambda: box.update(r=self._run(*build)), daemon=True)
            creator.start()
            creator.join()
            answer = cloudpickle.dumps(box["r"])
            if box["r"][0][0] == "ok":
                with self._lock:
                    self._made[tree_id] = (token, answer)
            return answer
        finally:
            with self._lock:
                del self._running[token]
            finished.set()

    def discard(self, tree_id, token):
        """Undoes the creation `token` (one the driver was interrupted
        waiting for): answers once nothing of it is left."""
        with self._lock:
            finished = self._running.get(token)
            made = self._made.get(tree_id)
            if finished is None and (made is None or made[0] != token):
                self._discarded.add(token)  # not begun: it will not begin
                return True
        if finished is not None:
            finished.wait()
        with self._lock:
            made = self._made.get(tree_id)
            if made is None or made[0] != token:
                return True
            del self._made[tree_id]
        self._run(self._engine.stop_tree, tree_id)
        _durable().stopped(tree_id)
        return True

    def call(self, tree_id, method, payload):
        args = cloudpickle.loads(payload)
        outcome, lines = self._run(getattr(self._engine, method), tree_id, *args)
        return self._pack(tree_id, method, args, outcome, lines)

    def _pack(self, tree_id, method, args, outcome, lines):
        if outcome[0] == "ok":
            refusal = None
            if method == "get_blackboard_data":
                refusal = value_refusal(tree_id, args[0], outcome[1])
            elif method == "get_all_blackboard_data" and isinstance(outcome[1], dict):
                for key, value in outcome[1].items():
                    refusal = value_refusal(tree_id, key, value)
                    if refusal:
                        break
            if refusal:
                return cloudpickle.dumps((_failure(refusal), lines + [("error", str(refusal))]))
        try:
            return cloudpickle.dumps((outcome, lines))
        except Exception as exc:
            refusal = TypeError(f"行为树 {tree_id} 执行命令 {method} 的结果不能在进程间传递: {exc}")
            return cloudpickle.dumps((_failure(refusal), lines + [("error", str(refusal))]))

    def tick_many(self, tree_ids, n):
        """Ticks each tree n times, the trees concurrently (each on its own
        tree thread); answers {id: (outcome, lines)} as bytes."""
        with ThreadPoolExecutor(max_workers=max(1, min(len(tree_ids), 64))) as pool:
            futures = {t: pool.submit(self._run, self._engine.tick_n_times, t, n) for t in tree_ids}
            answers = {t: f.result() for t, f in futures.items()}
        return cloudpickle.dumps(answers)

    def stop(self, tree_id):
        answer = self._run(self._engine.stop_tree, tree_id)
        with self._lock:
            self._made.pop(tree_id, None)
        _durable().stopped(tree_id)
        return cloudpickle.dumps(answer)

    def stop_all(self):
        self._run(self._engine.stop_all_trees)
        with self._lock:
            self._made.clear()
        _durable().stopped_all()
        return True

    def durable(self, tree_id, payload):
        """A brannox.durable request about one of its trees."""
        return cloudpickle.dumps(self._run(_durable().serve, self._engine, tree_id, payload))

    # ------------------------------------------------- events, the monitor

    def watch(self, tree_id, buffer):
        """Starts an event channel for a tree; answers its number (pickled outcome)."""
        from brannox.events._channel import Channel
        from brannox.monitor._trees import find_entry

        def open_channel():
            return Channel(find_entry(self._engine, tree_id), tree_id, buffer)

        outcome, lines = self._run(open_channel)
        if outcome[0] == "ok":
            now = time.monotonic()
            with self._lock:
                idle = [n for n, (_, last) in self._channels.items() if now - last > WATCH_IDLE_S]
                stale = [self._channels.pop(n)[0] for n in idle]
                number = next(self._channel_numbers)
                self._channels[number] = [outcome[1], now]
            for channel in stale:
                channel.close()
            outcome = ("ok", number)
        return cloudpickle.dumps((outcome, lines))

    def events(self, number, limit, wait_s):
        """Up to `limit` events of a channel, waiting at most `wait_s` for the
        first; None once the channel is unknown (closed, or ended)."""
        with self._lock:
            held = self._channels.get(number)
            if held is not None:
                held[1] = time.monotonic()
        if held is None:
            return cloudpickle.dumps((("ok", None), []))
        channel = held[0]
        out = channel.take(limit)
        if not out:
            channel.wait(wait_s)
            out = channel.take(limit)
        if channel.closed:
            with self._lock:
                self._channels.pop(number, None)
        try:
            return cloudpickle.dumps((("ok", out), []))
        except Exception:
            for ev in out:
                if "payload" in ev:
                    try:
                        cloudpickle.dumps(ev["payload"])
                    except Exception as exc:
                        ev["payload"] = None
                        ev["payload_error"] = f"the payload cannot cross processes: {type(exc).__name__}: {exc}"
            return cloudpickle.dumps((("ok", out), []))

    def unwatch(self, number):
        with self._lock:
            held = self._channels.pop(number, None)
        if held is not None:
            held[0].close()
        return True

    def overview(self):
        """[(tree id, root status name or None)] of the trees this worker hosts."""
        from brannox._bt.observe import REGISTRY

        out = []
        for tree_id, record in list(self._engine.trees.items()):
            thread = record.get("thread") if isinstance(record, dict) else None
            entry = REGISTRY.for_thread(thread) if thread is not None else None
            out.append((tree_id, entry.root_status() if entry is not None else None))
        return out

    def describe(self, tree_id):
        """A tree's node table, XML, statuses and blackboard, as a recording header has them (pickled outcome)."""
        from brannox._bt.observe import now_us
        from brannox.monitor._trees import find_entry
        from brannox.monitor.recording import header

        return cloudpickle.dumps(self._run(lambda: header(find_entry(self._engine, tree_id), now_us(), tree_id)))


def _durable():
    from brannox.durable import _distributed
    return _distributed
