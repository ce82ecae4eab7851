"""Stopping trees: one, all, concurrently, while commands are in flight, and at teardown."""
import gc
import importlib.util
import json
import os
import subprocess
import sys
import threading
import time
import types

import pytest

from helpers import XML, Call, child_script, install_core

pytestmark = pytest.mark.usefixtures("collect_old_engines")


@pytest.fixture
def engine(say_engine):
    return say_engine


STOPPING = "正在停止或已停止"


def test_stop_idle_tree_then_again_then_recreate(engine, log, in_daemon):
    def body():
        engine.create_tree_from_text(XML, "a")
        rec = engine.trees["a"]
        engine.tick_once("a")
        assert engine.stop_tree("a") is None
        assert not rec["thread"].is_alive() and engine.get_tree_ids() == []
        with rec["cond"]:
            assert rec["command"] == [False] and rec["result"] == [None]
        with pytest.raises(ValueError, match="^行为树ID a 不存在$"):
            engine.stop_tree("a")
        with pytest.raises(ValueError, match="^行为树ID a 不存在$"):
            engine.tick_once("a")
        engine.create_tree_from_text(XML, "a")
        assert engine.get_blackboard_data("a", "o") is None  # a new tree, a new blackboard
        return rec["thread"].name, threading.current_thread().name

    tree, caller = in_daemon(body)
    assert log.lines == [("info", "创建行为树: a", caller), ("info", "停止行为树: a", caller),
                         ("error", "行为树ID a 不存在", caller), ("error", "行为树ID a 不存在", caller),
                         ("info", "创建行为树: a", caller)]
    assert not any(line[2] == tree for line in log.lines)


@pytest.mark.parametrize("ids", [[], ["B", "A"], ["x", "bad", "y"]])
def test_stop_all_in_creation_order(engine, log, in_daemon, ids):
    def body():
        for tid in ids:
            engine.create_tree_from_text("<broken" if tid == "bad" else XML, tid)
        if "bad" in ids:  # its set-up error is logged on its own thread: let that happen first
            engine.trees["bad"]["thread"].join(10)
        log.lines.clear()
        engine.stop_all_trees()
        return engine.get_tree_ids()

    assert in_daemon(body) == []
    assert log.texts() == [f"停止行为树: {t}" for t in ids] + ["停止所有行为树"]


def test_dropped_engine_stops_its_ended_trees(mt, log, in_daemon):
    def body():
        engine = mt.ThreadEngine()
        for _ in range(2):
            engine.create_tree_from_text("<broken")
        for rec in engine.trees.values():
            rec["thread"].join(10)
        log.lines.clear()
        del engine
        gc.collect()

    in_daemon(body)
    assert log.texts() == ["停止行为树: tree_0", "停止行为树: tree_1", "停止所有行为树"]


def test_stop_during_setup_waits_and_serves_nothing(mt, engine, log, monkeypatch, in_daemon):
    gate = threading.Event()
    calls = install_core(mt, monkeypatch, create_tree_from_text=lambda xml: gate.wait(10))

    def body():
        engine.create_tree_from_text(XML, "s")
        rec = engine.trees["s"]
        stop = Call(engine.stop_tree, "s")
        stop.join(0.05)
        assert stop.is_alive() and rec["thread"].is_alive()  # held up by the set-up
        gate.set()
        stop.outcome()
        return engine.get_tree_ids(), rec["command"]

    assert in_daemon(body) == ([], [False])
    assert [c[0] for c in calls] == ["__init__", "register_action_behavior", "create_tree_from_text"]
    assert log.texts("info")[-1] == "停止行为树: s"


def test_stop_while_a_command_is_in_flight(mt, log, monkeypatch, in_daemon):
    entered, release, stop_began = threading.Event(), threading.Event(), threading.Event()

    def tick():
        entered.set()
        release.wait(10)
        return "slow done"

    install_core(mt, monkeypatch, tick_once=tick)

    def check(self, tree_id):
        mt.ThreadEngine._check_tree_exists(self, tree_id)
        if threading.current_thread().name == "stopper":
            stop_began.set()

    engine = type("Sub", (mt.ThreadEngine,), {"_check_tree_exists": check})()

    def body():
        engine.create_tree_from_text(XML, "t")
        in_flight = Call(engine.tick_once, "t")
        assert entered.wait(10)
        stop = Call(engine.stop_tree, "t", name="stopper")
        assert stop_began.wait(10)
        late = [Call(engine.get_blackboard_data, "t", "k") for _ in range(4)]
        release.set()
        assert in_flight.outcome() == "slow done"
        stop.outcome()
        outcomes = []
        for call in late:
            with pytest.raises((RuntimeError, ValueError)) as err:
                call.outcome()
            outcomes.append(str(err.value))
        with pytest.raises(ValueError):
            engine.get_blackboard_data("t", "k")
        return outcomes

    for text in in_daemon(body):
        assert text in ("行为树ID t 不存在", f"行为树 t 执行命令 get_blackboard_data 失败: 行为树 t {STOPPING}")
    assert log.texts("info").count("停止行为树: t") == 1


def test_callers_hammering_a_tree_that_is_stopped(engine, log, in_daemon):
    def body():
        engine.create_tree_from_text(XML, "h")
        answered = threading.Semaphore(0)

        def hammer(i):
            n = 0
            while True:
                try:
                    engine.set_blackboard_data("h", f"k{i}", n)
                    assert engine.get_blackboard_data("h", f"k{i}") == n
                except ValueError as exc:
                    assert str(exc) == "行为树ID h 不存在"
                    return n
                except RuntimeError as exc:
                    assert STOPPING in str(exc)
                n += 1
                answered.release()

        callers = [Call(hammer, i) for i in range(8)]
        for _ in range(200):
            assert answered.acquire(timeout=10)
        engine.stop_tree("h")
        return [c.outcome() for c in callers]

    assert len(in_daemon(body)) == 8
    assert log.texts("info").count("停止行为树: h") == 1


def test_concurrent_stops_of_one_tree(engine, log, in_daemon):
    stoppers = 4

    def round_(n):
        engine.create_tree_from_text(XML, "c")
        engine.tick_once("c")
        barrier, outcomes = threading.Barrier(stoppers), []

        def stop():
            barrier.wait(10)
            try:
                outcomes.append(engine.stop_tree("c"))
            except ValueError as exc:
                outcomes.append(str(exc))

        for call in [Call(stop) for _ in range(stoppers)]:
            call.outcome()  # a KeyError would surface here
        assert set(outcomes) <= {None, "行为树ID c 不存在"} and None in outcomes
        assert engine.get_tree_ids() == []

    for n in range(30):
        in_daemon(round_, n)
    assert log.texts("info").count("停止行为树: c") == 30
    assert set(log.texts("error")) <= {"行为树ID c 不存在"}


@pytest.mark.parametrize("stall", ["__init__", "start"])
def test_stop_racing_creation_waits_for_the_thread(mt, engine, log, monkeypatch, in_daemon, stall):
    # The record is visible before its thread exists or runs; a stop arriving
    # then must wait for creation instead of failing on a missing thread.
    entered, gate = threading.Event(), threading.Event()

    class SlowThread(threading.Thread):
        def __init__(self, *args, **kwargs):
            if stall == "__init__":
                entered.set()
                gate.wait(10)
            super().__init__(*args, **kwargs)

        def start(self):
            if stall == "start":
                entered.set()
                gate.wait(10)
            super().start()

    monkeypatch.setattr(mt, "threading", types.SimpleNamespace(Condition=threading.Condition, Thread=SlowThread))

    def body():
        creator = Call(engine.create_tree_from_text, XML, "t")
        assert entered.wait(10)
        stopper = Call(engine.stop_tree, "t")
        time.sleep(0.1)  # let the stop reach its wait; either order must pass
        gate.set()
        assert creator.outcome() == "t"
        assert stopper.outcome() is None
        return engine.get_tree_ids()

    assert in_daemon(body) == []
    assert log.texts("info")[-1] == "停止行为树: t"


EXIT_SCRIPT = child_script(r"""
import brannox.engine.trigger.mthread as mt

if sys.argv[1].endswith("after a sub-interpreter"):
    try:
        import _interpreters as subs
    except ImportError:
        import _xxsubinterpreters as subs
    subs.destroy(subs.create())

Core.delay = 0.001 if sys.argv[1] == "slow ticks" else 0
install()
engine = mt.ThreadEngine()
started = threading.Barrier(5)

def body():
    for i in range(4):
        engine.create_tree_from_text("<root/>", f"t{i}")
    def hammer(tid):
        engine.tick_once(tid)
        started.wait()
        while True:
            engine.tick_once(tid)
    for i in range(4):
        threading.Thread(target=hammer, args=(f"t{i}",), daemon=True).start()
maker = threading.Thread(target=body, daemon=True)  # daemon trees
maker.start()
maker.join()
started.wait()
time.sleep(0.2)
print("leaving")
""")


@pytest.mark.parametrize("load", ["busy callers", "slow ticks", "busy callers after a sub-interpreter"])
@pytest.mark.parametrize("spin", ["50", "0"])
def test_interpreter_exits_cleanly_while_daemon_trees_are_busy(load, spin):
    """Daemon tree and caller threads are ended by the interpreter at exit,
    wherever they are in a command: the exit must be clean."""
    if "sub-interpreter" in load and not any(
            importlib.util.find_spec(m) for m in ("_interpreters", "_xxsubinterpreters")):
        pytest.skip("no sub-interpreter module in this Python")
    env = dict(os.environ, MTHREAD_SPIN_US=spin)
    if "ASAN_OPTIONS" in env:
        # The interpreter never frees what its daemon threads hold at exit.
        env["ASAN_OPTIONS"] += ":detect_leaks=0"
    for _ in range(3):
        proc = subprocess.run([sys.executable, "-c", EXIT_SCRIPT, load], env=env, capture_output=True,
                              text=True, timeout=60, stdin=subprocess.DEVNULL)
        assert (proc.returncode, proc.stdout, proc.stderr) == (0, "leaving\n", "")


STALL_SCRIPT = child_script(r"""
import json
mt = install()
engine = mt.ThreadEngine()
maker = threading.Thread(target=engine.create_tree_from_text, args=("<root/>", "t"), daemon=True)
maker.start(); maker.join()
for _ in range(300):  # both threads now spin for each other
    engine.tick_once("t")
t0 = time.monotonic()
if sys.argv[1] == "stop_tree":
    engine.stop_tree("t")
else:
    Core.die = True
    try:
        engine.tick_once("t")
    except RuntimeError:
        pass
print(json.dumps(time.monotonic() - t0))
""")


@pytest.mark.parametrize("path", ["stop_tree", "tree thread ends with a command pending"])
def test_a_last_notify_does_not_leave_its_waiter_spinning(path):
    """A thread that notifies and then does not wait itself (a stop, a tree
    thread's last answer) still hands the woken thread its hint: with a
    one-second spin allowed, the woken side must not sit out its spin."""
    env = dict(os.environ, MTHREAD_SPIN_US="1000000")
    proc = subprocess.run([sys.executable, "-c", STALL_SCRIPT, path], env=env, capture_output=True,
                          text=True, timeout=60, stdin=subprocess.DEVNULL)
    assert proc.returncode == 0, proc.stderr
    assert json.loads(proc.stdout) < 0.5  # a stall is the whole second
