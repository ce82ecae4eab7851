"""The driver side: DistributedEngine.

Trees are sharded over worker actors (each hosting one ThreadEngine); the
driver keeps which tree lives where, and answers identifiers, duplicates and
lost workers itself. Every command to a tree goes through one dispatcher
thread that keeps one call per tree in flight and queues the rest in
submission order, so a single driver thread can keep many trees busy through
`submit` while each tree still sees its commands one at a time, in order.
"""
from __future__ import annotations

import collections
import itertools
import queue
import sys
import sysconfig
import threading
from concurrent.futures import Future
from pathlib import Path

import ray
from loguru import logger
from ray import cloudpickle
from ray.exceptions import ActorDiedError, ActorUnavailableError, ActorUnschedulableError, RayError
from ray.util.scheduling_strategies import NodeAffinitySchedulingStrategy

from brannox.nodes.action_node import SimpleActionNode

from . import _ray
from ._worker import TreeWorker, value_refusal

# Public command -> (the command type named in failure texts, argument checks).
COMMANDS = {
    "tick_once": ("tick_once", ()),
    "tick_until_failure": ("tick_until_failure", ()),
    "tick_until_success": ("tick_until_success", ()),
    "tick_n_times": ("tick_n_times", (("n", int),)),
    "get_tree_status": ("get_status", ()),
    "get_blackboard_data": ("get_blackboard_data", (("key", str),)),
    "set_blackboard_data": ("set_blackboard_data", (("key", str), ("value", None))),
    "get_all_blackboard_data": ("get_all_blackboard_data", ()),
    "reset_tree": ("reset", ()),
}

# Enough threads per worker that every tree it hosts can wait on its tree
# thread at once (a worker serving one call at a time serialises I/O-bound trees).
WORKER_CONCURRENCY = 1000
STOP_TIMEOUT_S = 10.0

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


def _outcome_from(answer, lines):
    kind, *rest = answer
    if kind == "ok":
        return _Outcome(value=rest[0], lines=lines)
    cls, args, text = rest
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
    return _Outcome(error=error, lines=lines)


class _Worker:
    """One worker actor; `lost` once Ray has said its process is gone."""

    __slots__ = ("actor", "slot", "lost", "trees")

    def __init__(self, actor, slot):
        self.actor, self.slot, self.lost, self.trees = actor, slot, False, 0


class _Tree:
    __slots__ = ("tree_id", "worker", "queue", "busy")

    def __init__(self, tree_id, worker):
        self.tree_id, self.worker = tree_id, worker
        self.queue = collections.deque()  # (command type, payload, future) waiting
        self.busy = False  # a call is in flight


class DistributedEngine:
    """ThreadEngine's methods over Ray: trees sharded over worker processes
    (and machines), plus coarse calls (`tick_many`, `submit`)."""

    def __init__(self, num_workers=None, address=None):
        if num_workers is not None:
            _check("num_workers", num_workers, int)
            if num_workers < 1:
                raise ValueError("num_workers must be at least 1")
        self._closed = False
        self._owned = _ray.acquire(address, self)
        self._lock = threading.RLock()
        self._trees = {}
        self._registrations = []  # pickled, replayed to every new worker
        self._remote = ray.remote(TreeWorker)
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
                ray.kill(w.actor, no_restart=True)
            _ray.release(self._owned, self)
            raise
        self._inbox = queue.SimpleQueue()
        self._in_flight = 0  # dispatcher thread only
        self._dispatcher = threading.Thread(target=self._dispatch_loop, name="brannox-dispatch", daemon=True)
        self._dispatcher.start()
        self._settle = queue.SimpleQueue()
        threading.Thread(target=self._settle_loop, name="brannox-settle", daemon=True).start()
        self._log("info", "初始化线程引擎")

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
                self._workers[worker.slot] = self._start_worker(worker.slot, None)
        try:
            ray.kill(worker.actor, no_restart=True)
        except Exception:
            pass

    @staticmethod
    def _is_loss(exc):
        return isinstance(exc, (ActorDiedError, ActorUnavailableError, ActorUnschedulableError))

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
            raise outcome.error from outcome.cause
        return outcome.value

    # ------------------------------------------------------ registrations

    def register_action_behavior(self, action_id, tick_functor, ports_list):
        _check("action_id", action_id, str)
        _check("ports_list", ports_list, list)
        try:
            blob = _pickle_registration(action_id, tick_functor, ports_list)
        except Exception as exc:
            self._fail(TypeError(f"动作节点 {action_id} 的tick函数不能在进程间传递: {type(exc).__name__}: {exc}"), exc)
        self._log("info", f"注册动作节点: {action_id}")
        with self._lock:
            self._registrations.append(blob)
            workers = list(self._workers)
        pending = {w: w.actor.register.remote(blob) for w in workers}
        for worker, ref in pending.items():
            try:
                ray.get(ref)
            except RayError as exc:
                if not self._is_loss(exc):
                    raise RuntimeError(f"注册动作节点 {action_id} 失败: {type(exc).__name__}") from exc
                self._lose(worker)  # its replacement starts with the registration

    def register_action_class(self, action_class, action_id=None):
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
        with self._lock:
            if tree_id is None:
                tree_id = f"tree_{len(self._trees)}"
            if tree_id in self._trees:
                self._fail(ValueError(f"行为树ID {tree_id} 已存在"))
            # Reserved now so a concurrent creation of the same identifier fails.
            self._trees[tree_id] = None
        try:
            failure = None
            for _attempt in range(2):
                with self._lock:
                    live = [w for w in self._workers if not w.lost]
                    worker = min(live, key=lambda w: (w.trees, w.slot))
                    worker.trees += 1
                try:
                    outcome = _unpack(ray.get(worker.actor.create.remote(tree_id, xml_text)))
                    break
                except RayError as exc:
                    with self._lock:
                        worker.trees -= 1
                    if not self._is_loss(exc):
                        raise RuntimeError(f"创建行为树 {tree_id} 失败: {type(exc).__name__}") from exc
                    failure = exc
                    self._lose(worker)  # then the tree goes to another (or the fresh) worker
            else:
                raise RuntimeError(f"创建行为树 {tree_id} 失败: 工作进程已丢失") from failure
        except BaseException:
            with self._lock:
                self._trees.pop(tree_id, None)
            raise
        with self._lock:
            if outcome.error is None:
                self._trees[tree_id] = _Tree(tree_id, worker)
            else:
                worker.trees -= 1
                self._trees.pop(tree_id, None)
        return self._finish(outcome)

    def create_tree_from_file(self, file_path, tree_id=None):
        _check("file_path", file_path, str)
        _check("tree_id", tree_id, str, none_ok=True)
        with open(file_path, "r", encoding="utf-8") as f:
            xml_text = f.read()
        return self.create_tree_from_text(xml_text, tree_id)

    def get_tree_ids(self):
        with self._lock:
            return [t for t, rec in self._trees.items() if rec is not None]

    def _tree(self, tree_id):
        with self._lock:
            tree = self._trees.get(tree_id)
        if tree is None:
            self._fail(ValueError(f"行为树ID {tree_id} 不存在"))
        return tree

    # ----------------------------------------------------------- commands

    def _start(self, name, tree_id, args):
        """Checks a command and queues it; returns a Future of its _Outcome."""
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
                error = ValueError(f"行为树ID {tree_id} 不存在")
                future.set_result(_Outcome(error=error, lines=[("error", str(error))]))
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
        with self._lock:
            # Under the lock close() takes: no command reaches the dispatcher
            # after it has been told to finish.
            if self._trees.get(tree_id) is tree:
                self._inbox.put(("send", tree, command_type, payload, future))
                return future
        error = ValueError(f"行为树ID {tree_id} 不存在")
        future.set_result(_Outcome(error=error, lines=[("error", str(error))]))
        return future

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

    # Only the dispatcher thread touches a tree's queue and busy flag; Ray's
    # completion callbacks just post here (they run on Ray's own threads).
    def _dispatch_loop(self):
        closing = False
        while not (closing and self._in_flight == 0):
            item = self._inbox.get()
            if item is None:
                closing = True  # ends once the calls in flight are answered
                continue
            if item[0] == "send":
                _, tree, command_type, payload, future = item
                tree.queue.append((command_type, payload, future))
            else:
                _, tree, future, done, command_type = item
                tree.busy = False
                self._in_flight -= 1
                future.set_result(self._outcome_of(tree, command_type, done))
            if not tree.busy and tree.queue:
                self._send_next(tree)
        self._settle.put(None)  # after every answer it was handed

    def _send_next(self, tree):
        while tree.queue:
            command_type, payload, future = tree.queue.popleft()
            if tree.worker.lost:
                future.set_result(self._lost(tree.tree_id, command_type))
                continue
            try:
                ref = tree.worker.actor.call.remote(tree.tree_id, _METHODS[command_type], payload)
            except Exception as exc:  # Ray gone (shut down meanwhile): answer, never stall the queue
                error = RuntimeError(f"行为树 {tree.tree_id} 执行命令 {command_type} 失败: {type(exc).__name__}")
                future.set_result(_Outcome(error=error, lines=[("error", str(error))], cause=exc))
                continue
            tree.busy = True
            self._in_flight += 1
            ref.future().add_done_callback(lambda done: self._inbox.put(("done", tree, future, done, command_type)))
            return

    def _lost(self, tree_id, command_type, cause=None):
        error = RuntimeError(_lost_text(tree_id, command_type))
        return _Outcome(error=error, lines=[("error", str(error))], cause=cause)

    def _outcome_of(self, tree, command_type, done):
        try:
            return _unpack(done.result())
        except RayError as exc:
            if self._is_loss(exc):
                self._lose(tree.worker)
                return self._lost(tree.tree_id, command_type, exc)
            error = RuntimeError(f"行为树 {tree.tree_id} 执行命令 {command_type} 失败: {type(exc).__name__}")
            return _Outcome(error=error, lines=[("error", str(error))], cause=exc)
        except Exception as exc:  # an answer that cannot be read back here
            error = TypeError(f"行为树 {tree.tree_id} 执行命令 {command_type} 的结果不能在进程间传递: {exc}")
            return _Outcome(error=error, lines=[("error", str(error))], cause=exc)

    def tick_many(self, tree_ids=None, n=1):
        """Ticks each listed tree (every tree when None) n times: every worker
        in parallel, the trees of one worker concurrently. Returns
        {id: [statuses]}, a tree that failed mapping to its exception."""
        _check("n", n, int)
        with self._lock:
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
        results, by_worker = {}, collections.defaultdict(list)
        for tree in trees:
            by_worker[tree.worker].append(tree.tree_id)
        calls = {}
        for worker, ids in by_worker.items():
            if worker.lost:
                for tree_id in ids:
                    results[tree_id] = self._lost(tree_id, "tick_n_times")
            else:
                calls[worker] = (ids, worker.actor.tick_many.remote(ids, n))
        for worker, (ids, ref) in calls.items():
            try:
                answers = cloudpickle.loads(ray.get(ref))
            except RayError as exc:
                if not self._is_loss(exc):
                    raise RuntimeError(f"tick_many 失败: {type(exc).__name__}") from exc
                self._lose(worker)
                for tree_id in ids:
                    results[tree_id] = self._lost(tree_id, "tick_n_times", exc)
                continue
            for tree_id, (answer, lines) in answers.items():
                results[tree_id] = _outcome_from(answer, lines)
        answer = {}
        for tree_id in tree_ids:
            outcome = results[tree_id]
            try:
                answer[tree_id] = self._finish(outcome)
            except Exception as exc:
                answer[tree_id] = exc
        return answer

    # ----------------------------------------------------------- stopping

    def stop_tree(self, tree_id):
        _check("tree_id", tree_id, str)
        tree = self._tree(tree_id)
        outcome = _Outcome(lines=[("info", f"停止行为树: {tree_id}")])
        if not tree.worker.lost:
            try:
                outcome = _unpack(ray.get(tree.worker.actor.stop.remote(tree_id), timeout=STOP_TIMEOUT_S))
            except RayError as exc:
                if not self._is_loss(exc):
                    self._fail(RuntimeError(f"停止行为树 {tree_id} 失败: {type(exc).__name__}"), exc)
                self._lose(tree.worker)  # a lost tree is simply removed
        with self._lock:
            if self._trees.get(tree_id) is tree and outcome.error is None:
                del self._trees[tree_id]
                tree.worker.trees -= 1
            elif outcome.error is None:
                outcome.lines = []  # a concurrent stop removed it first
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
        was the last engine using a Ray that an engine started."""
        with self._lock:
            if self._closed:
                return
            self._closed = True
            workers = list(self._workers)
            self._trees.clear()  # commands from now on find no tree, as after stop_all_trees
            self._inbox.put(None)  # the dispatcher ends once the calls in flight are answered
        try:
            live = [w.actor.stop_all.remote() for w in workers if not w.lost]
            ray.wait(live, num_returns=len(live), timeout=STOP_TIMEOUT_S)
            for w in workers:
                try:
                    ray.kill(w.actor, no_restart=True)
                except Exception:
                    pass
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

    def worker_of(self, tree_id):
        """The slot of the worker hosting a tree and its Ray actor id (for
        placement checks and fault drills)."""
        tree = self._tree(tree_id)
        return tree.worker.slot, tree.worker.actor


# Failure texts name the thread engine's command types; the worker calls its methods.
_METHODS = {command_type: name for name, (command_type, _) in COMMANDS.items()}
