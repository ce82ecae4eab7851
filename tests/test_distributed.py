"""The distributed engine on one private local Ray (started once for this
module): the behaviour it shares with the thread engine, from one
parametrized set, then what only it has (coarse calls, placement, values
crossing processes, lost workers, shutting down)."""
import os
import pathlib
import re
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from distributed_support import is_loopback, listening_addresses, ray_processes, require_ray

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
