"""The distributed engine on one private local Ray (started once for this
module): the behaviour it shares with the thread engine, from one
parametrized set, then what only it has (coarse calls, placement, values
crossing processes, lost workers, shutting down)."""
import json
import os
import pathlib
import re
import signal
import subprocess
import sys
import textwrap
import threading
import time
import traceback

import pytest

from distributed_support import (OTHER_ADDRESS, is_loopback, listening_addresses, ray_processes, require_ray,
                                 with_other_address)

require_ray()

import ray  # noqa: E402

from brannox.core import NodeStatus  # noqa: E402
from brannox.engine.distributed import DistributedEngine  # noqa: E402
from brannox.engine.distributed import _engine as dist_module  # noqa: E402
from brannox.nodes.action_node import SimpleActionNode  # noqa: E402

pytestmark = pytest.mark.timeout(90)

XML = """<root BTCPP_format="4"><BehaviorTree ID="Main"><Sequence>
<Say msg="{greeting}" said="{said}"/></Sequence></BehaviorTree></root>"""
PORTS = [{"name": "msg", "type": "string", "direction": "input", "description": ""},
         {"name": "said", "type": "object", "direction": "output", "description": ""}]
S = NodeStatus.SUCCESS


def say(node):
    msg = node.getInputString("msg")
    if msg == "boom":
        raise KeyError("boom")
    node.setOutput("said", threading.Lock() if msg == "lock" else msg.upper())
    return S


class Say(SimpleActionNode):
    ports = PORTS
    tick = staticmethod(say)


@pytest.fixture(scope="module")
def ray_session():
    """Starts the module's Ray through an engine kept open, so every engine
    of the module shares it; checks that closing it ends every Ray process."""
    holder = DistributedEngine(num_workers=1)
    sockets = listening_addresses(ray_processes())
    assert sockets and [s for s in sockets if not is_loopback(s[0])] == []
    yield
    holder.close()
    assert not ray.is_initialized()
    deadline = time.monotonic() + 15
    while ray_processes() and time.monotonic() < deadline:
        time.sleep(0.2)
    assert ray_processes() == []


@pytest.fixture
def dist(ray_session, log, monkeypatch):
    monkeypatch.setattr(dist_module, "logger", log)
    engines = []

    def make(num_workers=2):
        engines.append(DistributedEngine(num_workers=num_workers))
        return engines[-1]

    yield make
    for e in engines:
        e.close()
    assert ray.is_initialized()  # never shut down by an engine that did not start it


@pytest.fixture(params=["thread", "distributed"])
def any_engine(request, make_engine):
    if request.param == "thread":
        return make_engine()
    return request.getfixturevalue("dist")()


def caller_lines(log):
    return [(lv, t) for lv, t, name in log.lines if name == threading.current_thread().name]


# ------------------------------------------------ shared with ThreadEngine


def test_session_and_caller_lines(any_engine, log):
    e = any_engine
    e.register_action_behavior("Say", say, PORTS)
    tree = e.create_tree_from_text(XML, "greeter")
    e.set_blackboard_data(tree, "greeting", "hello")
    assert e.tick_once(tree) is S
    assert e.get_blackboard_data(tree, "said") == "HELLO"
    assert e.tick_n_times(tree, 3) == [S] * 3
    assert e.tick_until_success(tree) == 1
    assert e.get_tree_status(tree)["tick_count"] == 5
    assert e.get_all_blackboard_data(tree) == {"greeting": "hello", "said": "HELLO"}
    e.reset_tree(tree)
    assert e.create_tree_from_text(XML) == "tree_1"
    assert e.get_tree_ids() == ["greeter", "tree_1"]
    e.stop_all_trees()
    assert e.get_tree_ids() == []
    assert caller_lines(log) == [
        ("info", "初始化线程引擎"), ("info", "注册动作节点: Say"), ("info", "创建行为树: greeter"),
        ("info", "创建行为树: tree_1"), ("info", "停止行为树: greeter"), ("info", "停止行为树: tree_1"),
        ("info", "停止所有行为树")]


@pytest.mark.parametrize("call, args, exc_type, text", [
    ("tick_once", ("ghost",), ValueError, "行为树ID ghost 不存在"),
    ("get_blackboard_data", ("ghost", "k"), ValueError, "行为树ID ghost 不存在"),
    ("stop_tree", ("ghost",), ValueError, "行为树ID ghost 不存在"),
    ("create_tree_from_text", (XML, "t"), ValueError, "行为树ID t 已存在"),
    ("tick_once", ("boom",), RuntimeError, "行为树 boom 执行命令 tick_once 失败: 处理命令 tick_once 时发生错误: "),
    ("tick_n_times", ("boom", 2), RuntimeError, "行为树 boom 执行命令 tick_n_times 失败: "),
    ("register_action_class", (int,), TypeError, "节点类 int 必须继承自SimpleActionNode"),
    ("tick_once", (None,), TypeError, "Argument 'tree_id' has incorrect type (expected str, got NoneType)"),
    ("tick_n_times", ("t", True), TypeError, "Argument 'n' has incorrect type (expected int, got bool)"),
    ("create_tree_from_file", ("/nonexistent/tree.xml",), FileNotFoundError, ""),
])
def test_failures_match(any_engine, log, call, args, exc_type, text):
    e = any_engine
    e.register_action_class(Say)
    for tree_id, greeting in (("t", "hi"), ("boom", "boom")):
        e.create_tree_from_text(XML, tree_id)
        e.set_blackboard_data(tree_id, "greeting", greeting)
    before = len(log.texts("error"))
    with pytest.raises(exc_type) as info:
        getattr(e, call)(*args)
    assert type(info.value) is exc_type and str(info.value).startswith(text)
    if exc_type in (ValueError, RuntimeError):
        assert log.texts("error")[before:][-1] == str(info.value)  # logged before raising
    assert e.tick_once("t") is S  # everything else keeps serving


def test_refused_xml(any_engine):
    tree = any_engine.create_tree_from_text("<root><nope", "bad")
    with pytest.raises(RuntimeError, match="^行为树 bad 执行命令 tick_once 失败: 行为树线程 bad 发生错误: "):
        any_engine.tick_once(tree)
    any_engine.stop_tree(tree)
    assert any_engine.get_tree_ids() == []


# ------------------------------------------------------ distributed only


def test_balanced_placement_and_tick_many(dist):
    e = dist()
    e.register_action_behavior("Say", say, PORTS)
    ids = [e.create_tree_from_text(XML, f"t{i}") for i in range(8)]
    assert sorted(e.worker_of(t)[0] for t in ids) == [0] * 4 + [1] * 4
    for t in ids:
        e.set_blackboard_data(t, "greeting", "boom" if t == "t3" else "x")
    result = e.tick_many(n=3)
    assert list(result) == ids and type(result["t3"]) is RuntimeError
    assert all(result[t] == [S] * 3 for t in ids if t != "t3")
    assert e.tick_many(["t1"]) == {"t1": [S]}
    with pytest.raises(ValueError, match="^行为树ID ghost 不存在$"):
        e.tick_many(["t1", "ghost"])


def test_submit_keeps_order_per_tree(dist):
    e = dist()
    e.register_action_behavior("Say", say, PORTS)
    trees = [e.create_tree_from_text(XML) for _ in range(4)]
    futures = []
    for i in range(10):
        for t in trees:
            futures.append(e.submit("set_blackboard_data", t, "greeting", f"v{i}"))
            futures.append(e.submit("get_blackboard_data", t, "greeting"))
    got = [f.result(timeout=30) for f in futures]
    assert got[1::2] == [f"v{i}" for i in range(10) for _ in trees]
    missing = e.submit("tick_once", "ghost")
    with pytest.raises(ValueError, match="^行为树ID ghost 不存在$"):
        missing.result(timeout=30)


@pytest.mark.parametrize("key, value", [
    ("lock", threading.Lock()), ("gen", (i for i in range(3))), ("it", iter([1, 2]))])
def test_values_that_cannot_cross(dist, key, value):
    e = dist(1)
    e.register_action_behavior("Say", say, PORTS)
    tree = e.create_tree_from_text(XML, "t")
    with pytest.raises(TypeError, match=f"^行为树 t 的黑板键 {key} 的值不能在进程间传递"):
        e.set_blackboard_data(tree, key, value)
    e.set_blackboard_data(tree, "greeting", "lock")  # the tick writes a lock to "said"
    assert e.tick_once(tree) is S
    for read in (lambda: e.get_blackboard_data(tree, "said"), lambda: e.get_all_blackboard_data(tree)):
        with pytest.raises(TypeError, match="^行为树 t 的黑板键 said 的值不能在进程间传递"):
            read()
    e.set_blackboard_data(tree, "greeting", "ok")
    assert e.tick_once(tree) is S and e.get_blackboard_data(tree, "said") == "OK"


def test_unpicklable_tick_function(dist):
    e = dist(1)
    lock = threading.Lock()
    with pytest.raises(TypeError, match="^动作节点 Locked 的tick函数不能在进程间传递"):
        e.register_action_behavior("Locked", lambda node: lock and S, PORTS)


def test_killed_worker_loses_only_its_trees(dist, log):
    e = dist()
    e.register_action_behavior("Say", say, PORTS)
    doomed, kept = e.create_tree_from_text(XML, "a"), e.create_tree_from_text(XML, "b")
    for t in (doomed, kept):
        e.set_blackboard_data(t, "greeting", "x")
    os.kill(ray.get(e.worker_of(doomed)[1].ping.remote()), signal.SIGKILL)
    started = time.monotonic()
    lost = "行为树 a 执行命令 tick_once 失败: 行为树 a 所在的工作进程已丢失"
    with pytest.raises(RuntimeError) as info:
        e.tick_once(doomed)
    assert time.monotonic() - started < 2
    assert type(info.value) is RuntimeError and str(info.value) == lost
    assert isinstance(info.value.__cause__, ray.exceptions.RayError)
    assert log.texts("error")[-1] == lost
    result = e.tick_many()
    assert result["b"] == [S]  # the other worker is untouched
    assert type(result["a"]) is RuntimeError and str(result["a"]) == lost.replace("tick_once", "tick_n_times")
    assert e.get_tree_ids() == ["a", "b"]
    e.stop_tree(doomed)
    assert e.get_tree_ids() == ["b"]
    fresh = e.create_tree_from_text(XML, "c")  # the restarted worker has the registration
    e.set_blackboard_data(fresh, "greeting", "y")
    assert e.tick_once(fresh) is S and e.get_blackboard_data(fresh, "said") == "Y"


DRIVER_EXIT = textwrap.dedent("""
    import sys
    sys.path.insert(0, {tests!r})
    from distributed_support import ray_processes
    from brannox.core import NodeStatus
    from brannox.engine.distributed import DistributedEngine
    def tick(node):
        return NodeStatus.RUNNING
    e = DistributedEngine(num_workers=2)
    e.register_action_behavior("Spin", tick, [])
    for i in range(4):
        e.create_tree_from_text('<root BTCPP_format="4"><BehaviorTree ID="M"><Spin/></BehaviorTree></root>')
    e.tick_many(n=2)
    print(*ray_processes(), flush=True)
    # no close(): interpreter exit must end the trees, the workers and Ray
""")


def test_driver_exit_ends_everything(ray_session):
    script = DRIVER_EXIT.format(tests=os.path.dirname(__file__))
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    pids = [int(p) for p in done.stdout.split()]
    assert pids
    deadline = time.monotonic() + 15
    while any(os.path.exists(f"/proc/{p}") for p in pids) and time.monotonic() < deadline:
        time.sleep(0.2)
    assert [p for p in pids if os.path.exists(f"/proc/{p}")] == []


def test_readme_example_runs(ray_session, capsys):
    readme = (pathlib.Path(__file__).resolve().parent.parent / "README.md").read_text(encoding="utf-8")
    first, distributed = re.findall(r"```python\n(.*?)```", readme, re.S)[:2]
    namespace = {}
    exec(first, namespace)  # say, PORTS, XML
    capsys.readouterr()
    exec(distributed, namespace)
    assert capsys.readouterr().out == "[" + ", ".join(["<NodeStatus.SUCCESS: 2>"] * 8) + "]\n"
    assert ray.is_initialized()


def test_submit_callbacks_may_call_the_engine(dist):
    e = dist(1)
    e.register_action_behavior("Say", say, PORTS)
    tree = e.create_tree_from_text(XML, "t")
    e.set_blackboard_data(tree, "greeting", "x")
    seen = []
    done = threading.Event()
    future = e.submit("tick_once", tree)
    future.add_done_callback(lambda f: (seen.append(e.get_blackboard_data(tree, "said")), done.set()))
    assert done.wait(30) and seen == ["X"]
    in_flight = [e.submit("tick_n_times", tree, 50) for _ in range(3)]
    e.close()
    for f in in_flight:  # answered (done, stopped or lost), never left hanging
        assert type(f.exception(timeout=30)) in (type(None), RuntimeError, ValueError)


# ----------------------------------------- hostile conditions and interrupts


BESIDE_ANOTHER_ADDRESS = textwrap.dedent("""
    import contextlib, json, os, sys, time
    sys.path.insert(0, {tests!r})
    from distributed_support import listening_addresses, ray_processes
    import ray
    from ray._raylet import node_ip_address_from_perspective
    from brannox.core import NodeStatus
    from brannox.engine.distributed import DistributedEngine
    from brannox.engine.distributed import _ray as private_ray
    def step(node):
        return NodeStatus.SUCCESS
    # Without keeping its loopback address, Ray moves to the other one: refused.
    keep, private_ray._node_address_kept = private_ray._node_address_kept, contextlib.nullcontext
    try:
        DistributedEngine(num_workers=1)
        refused = "started"
    except RuntimeError as exc:
        refused = str(exc)
    private_ray._node_address_kept = keep
    refused_left = ray.is_initialized()
    e = DistributedEngine(num_workers=1)
    e.register_action_behavior("Step", step, [])
    e.create_tree_from_text('<root BTCPP_format="4"><BehaviorTree ID="M"><Step/></BehaviorTree></root>')
    ticked = e.tick_many()
    sockets = sorted(listening_addresses(ray_processes() + [os.getpid()]))
    e.close()
    try:
        e.create_tree_from_text("<root/>")
        after = "created"
    except Exception as exc:
        after = f"{{type(exc).__name__}}: {{exc}}"
    deadline = time.monotonic() + 15
    while ray_processes() and time.monotonic() < deadline:
        time.sleep(0.2)
    print(json.dumps({{"found": node_ip_address_from_perspective(None), "refused": [refused, refused_left],
                      "ticked": str(ticked),
                      "sockets": sockets, "after_close": after, "up": ray.is_initialized(),
                      "left": ray_processes()}}))
""")


def test_private_ray_listens_on_loopback_beside_another_address():
    """Where the machine has another address (that Ray itself would pick),
    every listener of the private Ray is still on loopback, and a private
    Ray that moved off it is refused; after close() the engine refuses calls
    instead of starting a default Ray."""
    script = BESIDE_ANOTHER_ADDRESS.format(tests=os.path.dirname(__file__))
    done = subprocess.run(with_other_address([sys.executable, "-c", script]),
                          capture_output=True, text=True, timeout=150)
    assert done.returncode == 0, done.stderr[-3000:]
    seen = json.loads(done.stdout.splitlines()[-1])
    assert seen["found"] == OTHER_ADDRESS  # the namespace offers Ray another address
    assert seen["refused"][0].startswith(f"the private Ray did not stay on loopback (node address {OTHER_ADDRESS}")
    assert seen["refused"][1] is False
    assert seen["ticked"] == "{'tree_0': [<NodeStatus.SUCCESS: 2>]}"
    assert seen["sockets"] and [s for s in seen["sockets"] if not is_loopback(s[0])] == []
    assert seen["after_close"].startswith("RuntimeError: this DistributedEngine is closed")
    assert not seen["up"] and seen["left"] == []


def test_closed_engine_refuses_every_call(dist):
    e = dist(1)
    e.register_action_behavior("Say", say, PORTS)
    e.create_tree_from_text(XML, "t")
    e.close()
    calls = [("create_tree_from_text", XML), ("create_tree_from_file", __file__), ("tick_once", "t"),
             ("get_blackboard_data", "t", "k"), ("submit", "tick_once", "t"), ("tick_many",),
             ("stop_tree", "t"), ("stop_all_trees",), ("get_tree_ids",), ("register_action_class", Say),
             ("register_action_behavior", "Say", say, PORTS), ("worker_of", "t")]
    for name, *args in calls:
        with pytest.raises(RuntimeError, match="^this DistributedEngine is closed"):
            getattr(e, name)(*args)
    e.close()  # closing again is harmless


def test_tick_many_and_stop_keep_their_place_per_tree(dist):
    e = dist(1)
    e.register_action_behavior("Say", say, PORTS)
    tree = e.create_tree_from_text(XML, "t")
    for round_ in range(5):
        for i in range(20):
            e.submit("set_blackboard_data", tree, "greeting", f"v{round_}-{i}")
        assert e.tick_many([tree, tree]) == {tree: [S]}  # after every set made before it
        assert e.get_blackboard_data(tree, "said") == f"V{round_}-19"
    ticks = [e.submit("tick_once", tree) for _ in range(30)]
    e.stop_tree(tree)  # after the ticks submitted before it
    assert [f.result(timeout=30) for f in ticks] == [S] * 30
    late = e.submit("tick_once", tree)
    with pytest.raises(ValueError, match="^行为树ID t 不存在$"):
        late.result(timeout=30)


def test_an_identifier_its_worker_no_longer_has_can_be_removed(dist, log):
    e = dist(1)
    actor = e.worker_of(e.create_tree_from_text(XML, "t"))[1]
    ray.get(actor.__ray_call__.remote(lambda worker: worker._engine.stop_tree("t")))
    e.stop_tree("t")
    assert e.get_tree_ids() == [] and log.texts("info")[-1] == "停止行为树: t"
    assert e.create_tree_from_text(XML, "t") == "t"


def test_tree_thread_lines_stay_in_the_worker(dist):
    def listen(worker):
        import loguru
        worker.heard = []
        loguru.logger.add(lambda message: worker.heard.append(message.record["message"]), level="INFO")

    e = dist(1)
    actor = e.worker_of(e.create_tree_from_text(XML, "ok"))[1]
    ray.get(actor.__ray_call__.remote(listen))
    e.create_tree_from_text("<root><nope", "bad")
    with pytest.raises(RuntimeError):
        e.tick_once("bad")
    heard = ray.get(actor.__ray_call__.remote(lambda worker: list(worker.heard)))
    assert any(line.startswith("行为树线程 bad 发生错误") for line in heard), heard



class HoldsLock(Exception):
    """Cannot be pickled: it keeps a lock."""

    def __init__(self, text):
        super().__init__(text)
        self.lock = threading.Lock()


class TwoParts(Exception):
    """Pickles, but its pickle does not rebuild it (its args are not its parameters)."""

    def __init__(self, part, other):
        super().__init__(f"{part}/{other}")


RAISED = {"key": lambda: KeyError("missing"), "lock": lambda: HoldsLock("held"), "parts": lambda: TwoParts("a", "b")}


def raise_it(node):
    raise RAISED[node.getInputString("msg")]()


RAISE_AT = f'File "{raise_it.__code__.co_filename}", line {raise_it.__code__.co_firstlineno + 1}, in raise_it'


@pytest.mark.parametrize("kind, cause_type, cause_text", [
    ("key", "KeyError", "'missing'"),
    ("lock", "WorkerError", "test_distributed.HoldsLock: held (not copied to the driver: TypeError: "),
    ("parts", "WorkerError", "test_distributed.TwoParts: a/b (not copied to the driver: TypeError: "),
])
def test_tick_function_exception_is_the_cause(dist, kind, cause_type, cause_text):
    """Through a command, a submitted one and tick_many: the caller's
    RuntimeError is raised from a copy of the tick function's exception, or a
    stand-in when no copy can cross, and printing it shows the worker's
    traceback down to the line that raised."""
    e = dist(1)
    e.register_action_behavior("Say", raise_it, PORTS)
    for tree in ("direct", "submitted", "many"):
        e.create_tree_from_text(XML, tree)
        e.set_blackboard_data(tree, "greeting", kind)
    with pytest.raises(RuntimeError) as info:
        e.tick_once("direct")
    errors = {"direct": (info.value, "tick_once"),
              "submitted": (e.submit("tick_once", "submitted").exception(timeout=30), "tick_once"),
              "many": (e.tick_many(["many"], 2)["many"], "tick_n_times")}
    for tree, (error, command_type) in errors.items():
        assert type(error) is RuntimeError
        assert str(error).startswith(f"行为树 {tree} 执行命令 {command_type} 失败: 处理命令 {command_type} 时发生错误: ")
        cause = error.__cause__
        assert type(cause).__name__ == cause_type and str(cause).startswith(cause_text)
        assert error.__suppress_context__
        printed = "".join(traceback.format_exception(type(error), error, error.__traceback__))
        assert RAISE_AT in printed and "raise RAISED[node.getInputString(" in printed, printed
    if kind == "key":
        assert cause.args == ("missing",)
    else:
        assert (cause.type_name, cause.message) == (f"test_distributed.{type(RAISED[kind]()).__name__}",
                                                     str(RAISED[kind]()))


def test_missing_ray_names_the_extra():
    script = textwrap.dedent("""
        import json, sys

        class NoRay:
            def find_spec(self, name, path=None, target=None):
                if name.partition(".")[0] == "ray":
                    raise ModuleNotFoundError(f"No module named {name!r}", name=name)

        sys.meta_path.insert(0, NoRay())
        try:
            from brannox.engine.distributed import DistributedEngine
        except ModuleNotFoundError as exc:
            print(json.dumps([str(exc), exc.name, str(exc.__cause__)]))
        """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    text, name, cause = json.loads(done.stdout)
    assert 'pip install "brannox-mthread[distributed]"' in text and name == "ray"
    assert cause == "No module named 'ray'"

NAP_XML = '<root BTCPP_format="4"><BehaviorTree ID="M"><Nap secs="{secs}"/></BehaviorTree></root>'
NAP_PORTS = [{"name": "secs", "type": "string", "direction": "input", "description": ""}]


def nap(node):
    time.sleep(float(node.getInputString("secs")))
    return S


def test_transient_unavailability_is_retried_while_the_worker_is_busy(dist, log, monkeypatch):
    """Ray calls the worker unavailable once, while both its command threads
    are in long ticks: its health check still answers, the call is made
    again, and nothing is lost."""
    def unavailable_once(worker):
        from ray.exceptions import ActorUnavailableError

        def once(*args):
            del worker._pack  # the next answers are packed as usual
            raise ActorUnavailableError("unreachable for a moment", None)
        worker._pack = once

    monkeypatch.setattr(dist_module, "WORKER_CONCURRENCY", 2)
    monkeypatch.setattr(dist_module, "RETRY_WINDOW_S", 2.0, raising=False)
    e = dist(1)
    e.register_action_behavior("Nap", nap, NAP_PORTS)
    for tree_id, secs in (("quick", "0"), ("long1", "4"), ("long2", "4")):
        e.create_tree_from_text(NAP_XML, tree_id)
        e.set_blackboard_data(tree_id, "secs", secs)
    actor = e.worker_of("quick")[1]
    ray.get(actor.__ray_call__.remote(unavailable_once))
    flaky = e.submit("set_blackboard_data", "quick", "k", "v")
    longs = [e.submit("tick_once", t) for t in ("long1", "long2")]
    assert flaky.result(timeout=60) is None
    assert [f.result(timeout=60) for f in longs] == [S, S]
    assert e.get_blackboard_data("quick", "k") == "v" and e.tick_once("quick") is S
    assert e.worker_of("quick")[1] == actor
    assert not [t for t in log.texts("error") if "已丢失" in t]


INTERRUPTS = textwrap.dedent("""
    import json, signal, sys, threading, time
    import ray
    from brannox.core import NodeStatus
    from brannox.engine.distributed import DistributedEngine
    from brannox.engine.distributed import _engine as dist_module

    XML = {xml!r}
    PORTS = {ports!r}

    def nap(node):
        time.sleep(float(node.getInputString("secs")))
        return NodeStatus.SUCCESS

    def slowed(worker, method, secs):
        # The worker's engine with one of its methods taking `secs` longer.
        class Slow:
            def __init__(self, inner):
                self.inner = inner
            def __getattr__(self, name):
                found = getattr(self.inner, name)
                if name != method:
                    return found
                def slow(*args):
                    time.sleep(secs)
                    return found(*args)
                return slow
        inner = getattr(worker._engine, "inner", worker._engine)
        worker._engine = Slow(inner) if secs else inner

    def interrupted(secs, fn, *args):
        # Seconds until fn raised KeyboardInterrupt (Ctrl-C after `secs`), or what it did.
        threading.Timer(secs, signal.pthread_kill, (threading.main_thread().ident, signal.SIGINT)).start()
        started = time.monotonic()
        try:
            fn(*args)
            return "returned"
        except KeyboardInterrupt:
            return round(time.monotonic() - started, 1)
        except Exception as exc:
            return f"{{type(exc).__name__}}: {{exc}}"

    def attempt(fn, *args):
        try:
            return str(fn(*args))
        except Exception as exc:
            return f"{{type(exc).__name__}}: {{exc}}"

    seen = {{}}
    e = DistributedEngine(num_workers=1, address=sys.argv[1])
    e.register_action_behavior("Nap", nap, PORTS)
    actor = e.worker_of(e.create_tree_from_text(XML, "probe"))[1]
    on_worker = lambda: ray.get(actor.__ray_call__.remote(lambda w: sorted(w._engine.trees)))

    ray.get(actor.__ray_call__.remote(slowed, "create_tree_from_text", 2))
    seen["create"] = interrupted(0.5, e.create_tree_from_text, XML, "a")
    seen["after_create"] = [e.get_tree_ids(), on_worker()]
    ray.get(actor.__ray_call__.remote(slowed, "create_tree_from_text", 0))
    seen["again"] = attempt(e.create_tree_from_text, XML, "a")

    e.set_blackboard_data("a", "secs", "2")
    tick = e.submit("tick_once", "a")
    time.sleep(0.3)
    seen["stop_queued"] = interrupted(0.5, e.stop_tree, "a")
    e.set_blackboard_data("a", "secs", "0")
    seen["after_stop_queued"] = [attempt(tick.result, 30), attempt(e.tick_once, "a"), e.get_tree_ids()]

    ray.get(actor.__ray_call__.remote(slowed, "stop_tree", 1.5))
    seen["stop_under_way"] = interrupted(0.5, e.stop_tree, "a")
    ray.get(actor.__ray_call__.remote(slowed, "stop_tree", 0))
    seen["after_stop_under_way"] = [e.get_tree_ids(), on_worker(), attempt(e.create_tree_from_text, XML, "a")]

    dist_module.STOP_TIMEOUT_S = 1.0  # a tick longer than the engine's own time limits
    e.set_blackboard_data("a", "secs", "2.5")
    tick = e.submit("tick_once", "a")
    time.sleep(0.3)
    seen["slow_stop"] = [attempt(e.stop_tree, "a"), attempt(tick.result, 30), e.get_tree_ids(), on_worker()]
    e.close()
    print(json.dumps(seen))
""")


def test_interrupted_or_slow_creation_and_stop_leave_nothing_stuck(ray_session):
    """In a second driver on the module's Ray: Ctrl-C during a slow creation
    leaves the identifier free everywhere; Ctrl-C during a queued stop leaves
    the tree serving, during a stop under way lets it complete first; a stop
    behind a long tick waits for it."""
    script = INTERRUPTS.format(xml=NAP_XML, ports=NAP_PORTS)
    address = ray.get_runtime_context().gcs_address
    done = subprocess.run([sys.executable, "-c", script, address], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr[-3000:]
    seen = json.loads(done.stdout.splitlines()[-1])
    assert isinstance(seen["create"], float)
    assert seen["after_create"] == [["probe"], ["probe"]] and seen["again"] == "a"
    assert isinstance(seen["stop_queued"], float) and seen["stop_queued"] < 1.5
    assert seen["after_stop_queued"] == ["NodeStatus.SUCCESS", "NodeStatus.SUCCESS", ["probe", "a"]]
    assert isinstance(seen["stop_under_way"], float) and seen["stop_under_way"] >= 1.4
    assert seen["after_stop_under_way"] == [["probe"], ["probe"], "a"]
    assert seen["slow_stop"] == ["None", "NodeStatus.SUCCESS", ["probe"], ["probe"]]
