"""The driver side: DistributedEngine.

Trees are sharded over worker actors (each hosting one ThreadEngine); the
driver keeps which tree lives where, and answers identifiers, duplicates and
lost workers itself. Every call that concerns a tree (its commands, its
share of a `tick_many`, its stop) goes through one dispatcher thread that
keeps one call per tree in flight and queues the rest in submission order,
so a single driver thread can keep many trees busy through `submit` while
each tree still sees its calls one at a time, in order.
"""
from __future__ import annotations

import collections
import itertools
import queue
import sys
import sysconfig
import threading
import time
from concurrent.futures import Future
from concurrent.futures import TimeoutError as FutureTimeout
from concurrent.futures import wait as wait_futures
from pathlib import Path

import ray
from loguru import logger
from ray import cloudpickle
from ray.exceptions import ActorDiedError, ActorUnavailableError, ActorUnschedulableError, RayError
from ray.util.scheduling_strategies import NodeAffinitySchedulingStrategy

from brannox.engine.commands import TREE_COMMANDS
from brannox.nodes.action_node import SimpleActionNode

from . import _ray
from ._worker import HEALTH_GROUP, TreeWorker, value_refusal

# Public command -> (the command type named in failure texts, argument checks).
COMMANDS = TREE_COMMANDS

# Enough threads per worker that every tree it hosts can wait on its tree
# thread at once (a worker serving one call at a time serialises I/O-bound trees).
WORKER_CONCURRENCY = 1000
HEALTH_CONCURRENCY = 2
STOP_TIMEOUT_S = 10.0  # how long close() lets the workers stop their trees
# Ray calls a worker "unavailable" when it cannot reach it for now (it may
# come back). One that answers a health check again within this window gets
# the call again; past it, or once Ray says it died, it is lost.
RETRY_WINDOW_S = 10.0
HEALTH_TIMEOUT_S = 1.0
CLOSED_TEXT = "this DistributedEngine is closed; create a new one"

_TYPE_NAMES = {str: "str", int: "int", list: "list"}


def _check(name, value, want, none_ok=False):
    """The engine's argument test: exact builtin type, subclasses refused."""
    if want is None or type(value) is want or (none_ok and value is None):
        return
    note = ""
    if isinstance(value, want):
        note = (". Subclasses of builtin types are refused by these argument tests; "
                "pass an instance of the builtin type itself")
    raise TypeError(
        f"Argument '{name}' has incorrect type (expected {_TYPE_NAMES[want]}, got {type(value).__name__}){note}"
    )


def _lost_text(tree_id, command_type):
    return f"行为树 {tree_id} 执行命令 {command_type} 失败: 行为树 {tree_id} 所在的工作进程已丢失"


def _failed(text, cause=None, error_type=RuntimeError):
    error = error_type(text)
    return _Outcome(error=error, lines=[("error", text)], cause=cause)


def _missing(tree_id):
    return _failed(f"行为树ID {tree_id} 不存在", error_type=ValueError)


def _result_regardless(future):
    """The future's result, waited for through any further interrupts."""
    while True:
        try:
            return future.result()
        except BaseException:
            continue


def _installed(module):
    """Whether a module comes from the interpreter's installed paths (and so
    can be imported by reference in a worker of the same environment)."""
    origin = getattr(module, "__file__", None)
    if origin is None:
        return module is not None and module.__name__ in sys.builtin_module_names
    roots = {Path(p).resolve() for k, p in sysconfig.get_paths().items() if k in ("stdlib", "platstdlib", "purelib", "platlib")}
    return any(root in Path(origin).resolve().parents for root in roots)


def _pickle_registration(action_id, tick_functor, ports_list):
    """Pickles a registration; code from modules a worker may not be able to
    import (scripts, test files, notebooks) travels by value."""
    module = sys.modules.get(getattr(tick_functor, "__module__", None) or "")
    by_value = module is not None and module.__name__ != "__main__" and not _installed(module)
    if by_value:
        cloudpickle.register_pickle_by_value(module)
    try:
        return cloudpickle.dumps((action_id, tick_functor, ports_list))
    finally:
        if by_value:
            cloudpickle.unregister_pickle_by_value(module)


class _Outcome:
    """What a command came to: a value or an exception, the lines the engine
    logged on the caller's thread, and the Ray error behind it, if any."""

    __slots__ = ("value", "error", "lines", "cause")

    def __init__(self, value=None, error=None, lines=(), cause=None):
        self.value, self.error, self.lines, self.cause = value, error, list(lines), cause


def _unpack(blob):
    return _outcome_from(*cloudpickle.loads(blob))


class WorkerTraceback(Exception):
    """The traceback of an exception raised in a worker, as the worker
    formatted it. Chained as the `__cause__` of that exception's copy (or
    WorkerError) on the driver, so that printing the caller's error shows
    the worker's lines down to the one that raised."""

    __module__ = "brannox.engine.distributed"

    def __str__(self):
        return f'\n"""\n{self.args[0] if self.args else ""}"""'


class WorkerError(Exception):
    """Stands in on the driver for an exception raised in a worker that no
    copy of could reach it (it cannot be pickled in the worker, or its pickle
    does not rebuild it here): `type_name` names its class ("module.Class"),
    `message` is its text, `reason` says why there is no copy."""

    __module__ = "brannox.engine.distributed"

    def __init__(self, type_name, message, reason):
        super().__init__(type_name, message, reason)
        self.type_name, self.message, self.reason = type_name, message, reason

    def __str__(self):
        return f"{self.type_name}: {self.message} (not copied to the driver: {self.reason})"


def _rebuilt_cause(cause):
    """The exception behind a worker's error, from what the worker sent
    (see _worker._cause_of): a copy, else a WorkerError, either way raised
    from its WorkerTraceback."""
    blob, reason, type_name, text, formatted = cause
    copy = None
    if blob is not None:
        try:
            copy = cloudpickle.loads(blob)
            if not isinstance(copy, BaseException):
                raise TypeError(f"unpickled a {type(copy).__name__}, not an exception")
        except Exception as refusal:
            copy, reason = None, f"{type(refusal).__name__}: {refusal}"
    if copy is None:
        copy = WorkerError(type_name, text, reason)
    copy.__cause__ = WorkerTraceback(formatted)
    return copy


def _outcome_from(answer, lines):
    kind, *rest = answer
    if kind == "ok":
        return _Outcome(value=rest[0], lines=lines)
    cls, args, text, cause = rest
    # The same class with the same str(): from its own arguments where they
    # rebuild it (KeyError quotes its text), else from the text.
    for attempt in ((lambda: cls(*args)) if args is not None else None, lambda: cls(text)):
        try:
            error = attempt and attempt()
        except Exception:
            error = None
        if error is not None and str(error) == text:
            break
    else:
        error = RuntimeError(text)
    if cause is not None:
        error.__cause__ = _rebuilt_cause(cause)
    return _Outcome(error=error, lines=lines)


class _Worker:
    """One worker actor; `lost` once Ray has said its process is gone."""

    __slots__ = ("actor", "slot", "lost", "trees")

    def __init__(self, actor, slot):
        self.actor, self.slot, self.lost, self.trees = actor, slot, False, 0


class _Tree:
    __slots__ = ("tree_id", "worker", "queue", "busy", "removed")

    def __init__(self, tree_id, worker):
        self.tree_id, self.worker = tree_id, worker
        self.queue = collections.deque()  # _Calls waiting (dispatcher thread only)
        self.busy = False  # held by a call in flight, or by a tick_many gathering its trees
        self.removed = False  # stopped: calls still queued for it answer that it does not exist


class _Call:
    """One call to a worker, queued on each tree it concerns: a tree command
    ("call"), a stop ("stop"), or one worker's share of a tick_many
    ("tick_many"). It is sent once it heads the queue of every one of its
    trees and holds them until it is answered, so no call overtakes another
    on any tree."""

    __slots__ = ("kind", "trees", "worker", "args", "command_type", "future", "held", "state")

    def __init__(self, kind, trees, args, command_type):
        self.kind, self.trees, self.args, self.command_type = kind, trees, args, command_type
        self.worker = trees[0].worker
        self.future = Future()
        self.held = 0  # how many of its trees it holds (dispatcher thread only)
        self.state = "queued"  # then "sent", or "cancelled" by an interrupted stop_tree (under the lock)


class DistributedEngine:
    """ThreadEngine's methods over Ray: trees sharded over worker processes
    (and machines), plus coarse calls (`tick_many`, `submit`)."""

    def __init__(self, num_workers=None, address=None):
        if num_workers is not None:
            _check("num_workers", num_workers, int)
            if num_workers < 1:
                raise ValueError("num_workers must be at least 1")
        self._closed = False
        self._owned = _ray.acquire(address, self)  # whether this engine shares a Ray an engine started
        self._lock = threading.RLock()
        self._trees = {}  # id -> _Tree, or None while its creation is under way
        self._tokens = itertools.count()  # one per creation, so a worker can undo exactly that one
        self._registrations = []  # pickled, replayed to every new worker
        self._remote = ray.remote(concurrency_groups={HEALTH_GROUP: HEALTH_CONCURRENCY})(TreeWorker)
        self._workers = []
        try:
            if num_workers is None:
                num_workers = max(1, int(ray.cluster_resources().get("CPU", 1)))
            nodes = self._nodes_by_cpu()
            self._workers = [self._start_worker(slot, nodes[slot % len(nodes)] if nodes else None)
                             for slot in range(num_workers)]
            ray.get([w.actor.ping.remote() for w in self._workers])
        except BaseException:
            # A Ray started for this engine must not outlive its failed start.
            for w in self._workers:
                self._kill(w)
            _ray.release(self._owned, self)
            raise
        self._inbox = queue.SimpleQueue()
        self._ready = collections.deque()  # trees to look at again (dispatcher thread only)
        self._in_flight = 0  # calls sent and not yet answered (dispatcher thread only)
        self._dispatcher = threading.Thread(target=self._dispatch_loop, name="brannox-dispatch", daemon=True)
        self._dispatcher.start()
        self._settle = queue.SimpleQueue()
        threading.Thread(target=self._settle_loop, name="brannox-settle", daemon=True).start()
        self._log("info", "初始化线程引擎")

    def _check_open(self):
        if self._closed:
            raise RuntimeError(CLOSED_TEXT)

    # ---------------------------------------------------------- workers

    @staticmethod
    def _nodes_by_cpu():
        """Alive node ids, each repeated once per CPU, interleaved, so that
        consecutive workers land on different nodes."""
        alive = [n for n in ray.nodes() if n.get("Alive")]
        lanes = [[n["NodeID"]] * max(1, int(n.get("Resources", {}).get("CPU", 1))) for n in alive]
        return [n for group in itertools.zip_longest(*lanes) for n in group if n is not None]

    def _start_worker(self, slot, node_id):
        options = dict(num_cpus=0, max_concurrency=WORKER_CONCURRENCY, max_restarts=0, max_task_retries=0)
        if node_id is not None:
            options["scheduling_strategy"] = NodeAffinitySchedulingStrategy(node_id, soft=False)
        actor = self._remote.options(**options).remote(list(self._registrations))
        return _Worker(actor, slot)

    def _lose(self, worker):
        """Marks a worker lost and puts a fresh one (with every registration)
        in its slot; its trees stay listed and answer that they are lost."""
        with self._lock:
            if worker.lost:
                return
            worker.lost = True
            if not self._closed:
                try:
                    fresh = _ray.while_up(self._start_worker, worker.slot, None)
                except Exception:
                    fresh = None
                if fresh is not None:
                    self._workers[worker.slot] = fresh
        self._kill(worker)

    @staticmethod
    def _kill(worker):
        try:
            _ray.while_up(lambda: ray.kill(worker.actor, no_restart=True))
        except Exception:
            pass

    @staticmethod
    def _is_loss(exc):
        return isinstance(exc, (ActorDiedError, ActorUnavailableError, ActorUnschedulableError))

    def _reachable(self, worker):
        """Whether a worker that Ray called unavailable answers a health
        check within RETRY_WINDOW_S (tried with back-off); False at once when
        Ray says it died. The check has its own concurrency group, so a
        worker whose command threads are all in long ticks still answers."""
        deadline = time.monotonic() + RETRY_WINDOW_S
        pause = 0.05
        while not (self._closed or worker.lost):
            left = deadline - time.monotonic()
            if left <= 0:
                break
            try:
                ping = worker.actor.ping.options(concurrency_group=HEALTH_GROUP)
                _ray.submit(ping).result(timeout=min(left, HEALTH_TIMEOUT_S))
                return True
            except (ActorUnavailableError, FutureTimeout):
                pass
            except Exception:
                return False  # died, or Ray is gone
            time.sleep(max(0.0, min(pause, deadline - time.monotonic())))
            pause = min(pause * 2, 1.0)
        return False

    def _request(self, worker, method, *args):
        """One call to a worker, waited for; made again while Ray calls the
        worker unavailable but it still answers its health check."""
        while True:
            try:
                return _ray.submit(getattr(worker.actor, method), *args).result()
            except ActorUnavailableError:
                if not self._reachable(worker):
                    raise

    # ---------------------------------------------------------- logging

    @staticmethod
    def _log(level, text):
        # The module's `logger` is looked up at each call, as the thread
        # engine looks up its own: replacing it redirects the lines.
        getattr(logger, level)(text)

    def _fail(self, exc, cause=None):
        self._log("error", str(exc))
        raise exc from cause

    def _finish(self, outcome):
        for level, text in outcome.lines:
            self._log(level, text)
        if outcome.error is not None:
            # The Ray error behind it, else the cause the worker's error came with.
            raise outcome.error from (outcome.cause if outcome.cause is not None else outcome.error.__cause__)
        return outcome.value

    # ------------------------------------------------------ registrations

    def register_action_behavior(self, action_id, tick_functor, ports_list):
        self._check_open()
        _check("action_id", action_id, str)
        _check("ports_list", ports_list, list)
        try:
            blob = _pickle_registration(action_id, tick_functor, ports_list)
        except Exception as exc:
            self._fail(TypeError(f"动作节点 {action_id} 的tick函数不能在进程间传递: {type(exc).__name__}: {exc}"), exc)
        self._log("info", f"注册动作节点: {action_id}")
        with self._lock:
            self._check_open()
            self._registrations.append(blob)
            workers = list(self._workers)
        pending = {w: _ray.submit(w.actor.register, blob) for w in workers}
        for worker, answer in pending.items():
            try:
                try:
                    answer.result()
                except ActorUnavailableError:
                    self._request(worker, "register", blob)
            except RayError as exc:
                if not self._is_loss(exc):
                    raise RuntimeError(f"注册动作节点 {action_id} 失败: {type(exc).__name__}") from exc
                self._lose(worker)  # its replacement starts with the registration

    def register_action_class(self, action_class, action_id=None):
        self._check_open()
        _check("action_id", action_id, str, none_ok=True)
        if not (isinstance(action_class, type) and issubclass(action_class, SimpleActionNode)):
            self._fail(TypeError(f"节点类 {getattr(action_class, '__name__', action_class)} 必须继承自SimpleActionNode"))
        if action_id is None:
            action_id = action_class.__name__
        self.register_action_behavior(action_id, action_class.tick, getattr(action_class, "ports", []))

    # ----------------------------------------------------------- creation

    def create_tree_from_text(self, xml_text, tree_id=None):
        _check("xml_text", xml_text, str)
        _check("tree_id", tree_id, str, none_ok=True)
        return self._create(tree_id, xml_text)

    def _create(self, tree_id, xml_text, *extra):
        """Creates a tree on the least loaded worker; `extra` goes to the
        worker's `create` (brannox.durable resumes trees through it)."""
        with self._lock:
            self._check_open()
            if tree_id is None:
                tree_id = f"tree_{len(self._trees)}"
            if tree_id in self._trees:
                self._fail(ValueError(f"行为树ID {tree_id} 已存在"))
            # Reserved now so a concurrent creation of the same identifier fails.
            self._trees[tree_id] = None
        token = next(self._tokens)
        handed_over = False  # the reservation is the discard's to free
        try:
            failure = None
            for _attempt in range(2):
                with self._lock:
                    live = [w for w in self._workers if not w.lost]
                    if not live:
                        raise RuntimeError(f"创建行为树 {tree_id} 失败: 工作进程已丢失")
                    worker = min(live, key=lambda w: (w.trees, w.slot))
                    worker.trees += 1
                try:
                    outcome = _unpack(self._request(worker, "create", tree_id, xml_text, token, *extra))
                    break
                except RayError as exc:
                    with self._lock:
                        worker.trees -= 1
                    if not self._is_loss(exc):
                        raise RuntimeError(f"创建行为树 {tree_id} 失败: {type(exc).__name__}") from exc
                    failure = exc
                    self._lose(worker)  # then the tree goes to another (or the fresh) worker
                except BaseException:
                    # Interrupted (Ctrl-C) while the worker creates the tree:
                    # it is undone there before the identifier is free again.
                    handed_over = True
                    self._discard(worker, tree_id, token)
                    raise
            else:
                raise RuntimeError(f"创建行为树 {tree_id} 失败: 工作进程已丢失") from failure
        except BaseException:
            if not handed_over:
                with self._lock:
                    self._trees.pop(tree_id, None)
            raise
        with self._lock:
            if outcome.error is None and not self._closed:
                self._trees[tree_id] = _Tree(tree_id, worker)
            else:
                worker.trees -= 1
                self._trees.pop(tree_id, None)
        return self._finish(outcome)

    def _durable(self, tree_id, payload):
        """A brannox.durable request for the worker of a tree, in order with
        the tree's other calls; answers the worker's answer."""
        tree = self._tree(tree_id)
        call = _Call("durable", [tree], (tree_id, payload), "durable")
        if not self._queue(call):
            self._fail(ValueError(f"行为树ID {tree_id} 不存在"))
        return self._finish(call.future.result())

    def _discard(self, worker, tree_id, token):
        """Undoes an interrupted creation on its worker. The identifier stays
        reserved until the worker has answered: waited for here, unless the
        wait is interrupted too, and then freed when the answer comes."""
        freed = threading.Event()

        def free(_answer=None):
            with self._lock:
                if tree_id in self._trees and self._trees[tree_id] is None:
                    del self._trees[tree_id]
                worker.trees -= 1
            freed.set()

        try:
            _ray.submit(worker.actor.discard, tree_id, token).add_done_callback(free)
        except Exception:  # Ray gone: nothing is left of the worker either
            free()
        freed.wait()

    def create_tree_from_file(self, file_path, tree_id=None):
        self._check_open()
        _check("file_path", file_path, str)
        _check("tree_id", tree_id, str, none_ok=True)
        with open(file_path, "r", encoding="utf-8") as f:
            xml_text = f.read()
        return self.create_tree_from_text(xml_text, tree_id)

    def get_tree_ids(self):
        with self._lock:
            self._check_open()
            return [t for t, rec in self._trees.items() if rec is not None]

    def _tree(self, tree_id):
        with self._lock:
            self._check_open()
            tree = self._trees.get(tree_id)
        if tree is None:
            self._fail(ValueError(f"行为树ID {tree_id} 不存在"))
        return tree

    def _queue(self, call):
        """Hands a call to the dispatcher; False if one of its trees is no
        longer the live one (stopped meanwhile)."""
        with self._lock:
            # Under the lock close() takes: no call reaches the dispatcher
            # after it has been told to finish.
            self._check_open()
            if any(self._trees.get(t.tree_id) is not t for t in call.trees):
                return False
            self._inbox.put(("queue", call))
            return True

    # ----------------------------------------------------------- commands

    def _start(self, name, tree_id, args):
        """Checks a command and queues it; returns a Future of its _Outcome."""
        self._check_open()
        command_type, checks = COMMANDS[name]
        future = Future()
        try:
            _check("tree_id", tree_id, str)
            if len(args) != len(checks):
                raise TypeError(f"{name}() takes exactly {len(checks) + 2} positional arguments ({len(args) + 2} given)")
            for (arg_name, want), value in zip(checks, args):
                _check(arg_name, value, want)
            with self._lock:
                tree = self._trees.get(tree_id)
            if tree is None:
                future.set_result(_missing(tree_id))
                return future
            if name == "set_blackboard_data":
                refusal = value_refusal(tree_id, args[0], args[1])
                if refusal:
                    future.set_result(_Outcome(error=refusal, lines=[("error", str(refusal))]))
                    return future
            payload = cloudpickle.dumps(args)
        except TypeError as exc:
            future.set_result(_Outcome(error=exc))
            return future
        call = _Call("call", [tree], (tree_id, _METHODS[command_type], payload), command_type)
        if not self._queue(call):
            call.future.set_result(_missing(tree_id))
        return call.future

    def _command(self, name, tree_id, *args):
        return self._finish(self._start(name, tree_id, args).result())

    def tick_once(self, tree_id):
        return self._command("tick_once", tree_id)

    def tick_until_failure(self, tree_id):
        return self._command("tick_until_failure", tree_id)

    def tick_until_success(self, tree_id):
        return self._command("tick_until_success", tree_id)

    def tick_n_times(self, tree_id, n):
        return self._command("tick_n_times", tree_id, n)

    def get_tree_status(self, tree_id):
        return self._command("get_tree_status", tree_id)

    def get_blackboard_data(self, tree_id, key):
        return self._command("get_blackboard_data", tree_id, key)

    def set_blackboard_data(self, tree_id, key, value):
        self._command("set_blackboard_data", tree_id, key, value)

    def get_all_blackboard_data(self, tree_id):
        return self._command("get_all_blackboard_data", tree_id)

    def reset_tree(self, tree_id):
        self._command("reset_tree", tree_id)

    def submit(self, name, *args):
        """Starts one tree command (a method name of this class and its
        arguments) and returns a concurrent.futures.Future of its result.
        Submissions to one tree run in the order they were made."""
        self._check_open()
        _check("name", name, str)
        if name not in COMMANDS:
            raise ValueError(f"submit() runs one of {', '.join(COMMANDS)}; got {name!r}")
        if not args:
            raise TypeError(f"{name}() takes exactly {len(COMMANDS[name][1]) + 2} positional arguments (1 given)")
        outer = Future()
        outer.set_running_or_notify_cancel()

        def settle(inner):
            try:
                outer.set_result(self._finish(inner.result()))
            except BaseException as exc:
                outer.set_exception(exc)

        # The caller's own callbacks on `outer` run on the settling thread,
        # never on the dispatcher, so one that calls this engine cannot
        # stall the dispatcher it waits for.
        def hand_over(inner):
            if threading.current_thread() is self._dispatcher:
                self._settle.put((settle, inner))
            else:
                settle(inner)  # answered at once, on the caller's thread

        self._start(name, args[0], args[1:]).add_done_callback(hand_over)
        return outer

    def _settle_loop(self):
        while (item := self._settle.get()) is not None:
            fn, inner = item
            fn(inner)

    def tick_many(self, tree_ids=None, n=1):
        """Ticks each listed tree (every tree when None) n times: every worker
        in parallel, the trees of one worker concurrently, each tree after
        the calls made to it before. Returns {id: [statuses]}, a tree that
        failed mapping to its exception."""
        _check("n", n, int)
        with self._lock:
            self._check_open()
            if tree_ids is None:
                tree_ids = [t for t, rec in self._trees.items() if rec is not None]
            elif not isinstance(tree_ids, (list, tuple)):
                raise TypeError(f"tree_ids must be a list of identifiers or None, got {type(tree_ids).__name__}")
            for tree_id in tree_ids:
                _check("tree_id", tree_id, str)
            trees = [self._trees.get(t) for t in tree_ids]
        for tree_id, tree in zip(tree_ids, trees):
            if tree is None:
                self._fail(ValueError(f"行为树ID {tree_id} 不存在"))
        by_worker = collections.defaultdict(list)
        for tree in dict.fromkeys(trees):  # a tree named twice is ticked once
            by_worker[tree.worker].append(tree)
        results = {}
        for group in by_worker.values():
            call = _Call("tick_many", group, n, "tick_n_times")
            if self._queue(call):
                results[call] = None
            else:  # one of them stopped meanwhile: each tree on its own
                for tree in group:
                    single = _Call("tick_many", [tree], n, "tick_n_times")
                    results[single] = None if self._queue(single) else {tree.tree_id: _missing(tree.tree_id)}
        outcomes = {}
        for call, known in results.items():
            outcomes.update(known if known is not None else call.future.result())
        answer = {}
        for tree_id in tree_ids:
            try:
                # A tree stopped while this call waited for it does not exist.
                answer[tree_id] = self._finish(outcomes.get(tree_id) or _missing(tree_id))
            except Exception as exc:
                answer[tree_id] = exc
        return answer

    # ------------------------------------------------------- dispatching

    # Only the dispatcher thread touches a tree's queue and busy flag and a
    # call's hold count; Ray's completion callbacks and the health checks
    # just post here (they run on other threads).
    def _dispatch_loop(self):
        closing = False
        while not (closing and self._in_flight == 0):
            item = self._inbox.get()
            if item is None:
                closing = True  # ends once the calls in flight are answered
                continue
            kind, call, *rest = item
            if kind == "queue":
                for tree in call.trees:
                    tree.queue.append(call)
                self._ready.extend(call.trees)
            elif kind == "done":
                self._answered(call, rest[0])
            elif kind == "retry":  # the worker answered its health check
                self._transmit(call)
            else:  # "gone": it did not, within the window
                self._lose(call.worker)
                self._in_flight -= 1
                self._settle_call(call, self._each(call, lambda t, c: self._lost(t, c, rest[0])))
            while self._ready:
                self._advance(self._ready.popleft())
        self._settle.put(None)  # after every answer it was handed

    def _advance(self, tree):
        while not tree.busy and tree.queue:
            call = tree.queue.popleft()
            if call.state == "cancelled":
                continue
            tree.busy = True
            call.held += 1
            if call.held == len(call.trees):
                self._send(call)

    def _release(self, call, result):
        for tree in call.trees:
            tree.busy = False
        self._ready.extend(call.trees)
        call.future.set_result(result)

    def _each(self, call, make):
        """An answer made for each tree of a call: {id: outcome} for a
        tick_many share, the outcome itself otherwise."""
        if call.kind == "tick_many":
            return {t.tree_id: make(t.tree_id, call.command_type) for t in call.trees}
        return make(call.trees[0].tree_id, call.command_type)

    def _send(self, call):
        with self._lock:
            if call.state == "cancelled":  # an interrupted stop_tree took it back
                for tree in call.trees:
                    tree.busy = False
                self._ready.extend(call.trees)
                return
            call.state = "sent"
        if self._closed:
            return self._release(call, self._each(call, lambda t, c: _failed(CLOSED_TEXT)))
        gone = [t for t in call.trees if t.removed]
        if gone:
            # Stopped while this call waited: it must not reach a tree that
            # a later creation gave the same identifier.
            if call.kind != "tick_many":
                return self._release(call, _missing(call.trees[0].tree_id))
            call.trees = [t for t in call.trees if not t.removed]
            for tree in gone:
                tree.busy = False
            self._ready.extend(gone)
            if not call.trees:
                return self._release(call, {})
        if call.worker.lost:
            if call.kind == "stop":  # a lost tree is simply removed
                return self._settle_call(call, _Outcome())
            return self._release(call, self._each(call, self._lost))
        self._in_flight += 1
        self._transmit(call)

    def _transmit(self, call):
        if call.kind == "tick_many":
            method, args = call.worker.actor.tick_many, ([t.tree_id for t in call.trees], call.args)
        else:
            method, args = getattr(call.worker.actor, call.kind), call.args
        try:
            answer = _ray.submit(method, *args)
        except Exception as exc:  # Ray gone (shut down meanwhile): answer, never stall the queue
            self._in_flight -= 1
            return self._settle_call(call, self._each(call, lambda t, c: self._ray_failed(t, c, exc)))
        answer.add_done_callback(lambda done: self._inbox.put(("done", call, done)))

    def _answered(self, call, done):
        try:
            blob = done.result()
            if call.kind == "tick_many":
                answers = cloudpickle.loads(blob)
                result = {t.tree_id: _outcome_from(*answers[t.tree_id]) for t in call.trees}
            else:
                result = _unpack(blob)
        except ActorUnavailableError as exc:
            if not (self._closed or call.worker.lost):
                # Perhaps for a moment only: ask the worker's health check
                # (on a thread of its own) before declaring it lost.
                threading.Thread(target=self._probe, args=(call, exc), name="brannox-health", daemon=True).start()
                return
            self._lose(call.worker)
            result = self._each(call, lambda t, c: self._lost(t, c, exc))
        except RayError as exc:
            if self._is_loss(exc):
                self._lose(call.worker)
                result = self._each(call, lambda t, c: self._lost(t, c, exc))
            else:
                result = self._each(call, lambda t, c: self._ray_failed(t, c, exc))
        except Exception as exc:  # an answer that cannot be read back here
            result = self._each(call, lambda t, c: _failed(f"行为树 {t} 执行命令 {c} 的结果不能在进程间传递: {exc}",
                                                           exc, TypeError))
        self._in_flight -= 1
        self._settle_call(call, result)

    def _probe(self, call, exc):
        self._inbox.put(("retry", call) if self._reachable(call.worker) else ("gone", call, exc))

    def _settle_call(self, call, result):
        if call.kind == "stop":
            tree = call.trees[0]
            lost = isinstance(result.cause, RayError) and self._is_loss(result.cause)
            # Removed once stopped, also when its worker (lost) or the worker's
            # engine (no such tree) says there is nothing left to stop.
            if result.error is None or lost or type(result.error) is ValueError:
                if result.error is not None or not result.lines:
                    result = _Outcome(lines=[("info", f"停止行为树: {tree.tree_id}")])
                with self._lock:
                    if self._trees.get(tree.tree_id) is tree:
                        del self._trees[tree.tree_id]
                        tree.worker.trees -= 1
                    tree.removed = True
        self._release(call, result)

    def _lost(self, tree_id, command_type, cause=None):
        return _failed(_lost_text(tree_id, command_type), cause)

    @staticmethod
    def _ray_failed(tree_id, command_type, exc):
        return _failed(f"行为树 {tree_id} 执行命令 {command_type} 失败: {type(exc).__name__}", exc)

    # ----------------------------------------------------------- stopping

    def stop_tree(self, tree_id):
        _check("tree_id", tree_id, str)
        tree = self._tree(tree_id)
        call = _Call("stop", [tree], (tree_id,), "stop")
        if not self._queue(call):
            self._fail(ValueError(f"行为树ID {tree_id} 不存在"))
        try:
            outcome = call.future.result()
        except BaseException:
            # Interrupted (Ctrl-C). Still queued: taken back, the tree keeps
            # serving. Under way: it completes first, then the interrupt goes on.
            with self._lock:
                if call.state == "queued":
                    call.state = "cancelled"
                    raise
            for level, text in _result_regardless(call.future).lines:
                self._log(level, text)
            raise
        self._finish(outcome)

    def stop_all_trees(self):
        for tree_id in self.get_tree_ids():
            try:
                self.stop_tree(tree_id)
            except ValueError:
                pass  # stopped meanwhile by another thread
        self._log("info", "停止所有行为树")

    def close(self):
        """Stops every tree, ends the workers, and shuts Ray down when this
        was the last engine using a Ray that an engine started. Every call
        after it raises RuntimeError (this engine is closed)."""
        with self._lock:
            if self._closed:
                return
            self._closed = True
            workers = list(self._workers)
            self._trees.clear()
            self._inbox.put(None)  # the dispatcher ends once the calls in flight are answered
        try:
            stopping = []
            for w in workers:
                if not w.lost:
                    try:
                        stopping.append(_ray.submit(w.actor.stop_all))
                    except Exception:
                        pass
            wait_futures(stopping, timeout=STOP_TIMEOUT_S)
            for w in workers:
                self._kill(w)
            # Calls in flight are answered (their workers are gone) before
            # Ray may be shut down under them.
            if threading.current_thread() is not self._dispatcher:
                self._dispatcher.join(STOP_TIMEOUT_S)
        finally:
            _ray.release(self._owned, self)

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()

    @property
    def num_workers(self):
        return len(self._workers)

    def _placements(self):
        """{tree id: (worker slot, worker actor, the tree's record)} of the
        trees on workers not lost, logging nothing: for the monitor, which
        tells a tree from a later one of the same identifier by the record."""
        with self._lock:
            return {t: (rec.worker.slot, rec.worker.actor, rec) for t, rec in self._trees.items()
                    if rec is not None and not rec.worker.lost}

    def worker_of(self, tree_id):
        """The slot of the worker hosting a tree and its Ray actor id (for
        placement checks and fault drills)."""
        tree = self._tree(tree_id)
        return tree.worker.slot, tree.worker.actor


# Failure texts name the thread engine's command types; the worker calls its methods.
_METHODS = {command_type: name for name, (command_type, _) in COMMANDS.items()}
