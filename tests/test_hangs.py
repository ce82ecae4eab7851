"""Paths where the program is interrupted or closes a loop of its own: each
scenario runs in a child interpreter under a time limit, so that a hang fails
the test instead of the suite."""
import subprocess
import sys
import textwrap
import threading

import pytest

PRELUDE = r"""
import os, signal, sys, threading, time
import brannox.engine.trigger.mthread as mt
from brannox.core import NodeStatus
from brannox.engine.sequential_engine import SequentialEngine

class Log:
    def __init__(self): self.lines = []
    def info(self, text): self.lines.append(("info", text))
    def error(self, text): self.lines.append(("error", text))
log = mt.logger = Log()

def xml(action):
    return f'<root BTCPP_format="4"><BehaviorTree ID="M"><{action}/></BehaviorTree></root>'

def tree_threads():
    return [t for t in threading.enumerate() if t.name.endswith("(_run_tree)") and t.is_alive()]

def interrupt_main_after(delay):
    main = threading.main_thread().ident
    threading.Timer(delay, signal.pthread_kill, (main, signal.SIGINT)).start()

engine = mt.ThreadEngine()
"""


def run_child(body, timeout=60, setup=""):
    proc = subprocess.run([sys.executable, "-c", PRELUDE + setup + textwrap.dedent(body)],
                          capture_output=True, text=True, timeout=timeout)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return proc.stdout


def test_creation_interrupted_after_the_thread_started():
    # start() raising after the real one launched the thread, as Ctrl-C does
    # while start() waits for the thread to report in.
    out = run_child(r"""
        import types
        class LateFailure(threading.Thread):
            def start(self):
                super().start()
                raise KeyboardInterrupt
        engine.register_action_behavior("Ok", lambda node: NodeStatus.SUCCESS, [])
        for round_ in range(30):
            mt.threading = types.SimpleNamespace(Condition=threading.Condition, Thread=LateFailure)
            try:
                engine.create_tree_from_text(xml("Ok"), "t")
            except KeyboardInterrupt:
                pass
            assert engine.get_tree_ids() == []
            mt.threading = threading
            engine.create_tree_from_text(xml("Ok"), "t")
            assert engine.tick_n_times("t", 3) == [NodeStatus.SUCCESS] * 3
            engine.stop_all_trees()
        deadline = time.monotonic() + 10
        while tree_threads() and time.monotonic() < deadline:
            time.sleep(0.01)
        assert tree_threads() == [], tree_threads()
        assert [t for lv, t in log.lines if lv == "error"] == []
        print("ok")
    """)
    assert out.strip() == "ok"  # and the interpreter exited: no thread left behind


STOP_INTERRUPTED = r"""
release = threading.Event()
halting = threading.Event()

class HaltWaits(SequentialEngine):
    def halt_tree(self):
        halting.set()
        release.wait(10)
        super().halt_tree() if hasattr(SequentialEngine, "halt_tree") else None

ticking = threading.Event()

def block(node):
    ticking.set()
    release.wait(10)
    return NodeStatus.SUCCESS

mt.SequentialEngine = HaltWaits
engine.register_action_behavior("Block", block, [])
engine.create_tree_from_text(xml("Block"), "t")
caller = threading.Thread(target=engine.tick_once, args=("t",))
caller.start()
assert ticking.wait(10)  # the tick is in flight
"""


def test_stop_interrupted_before_its_marker_leaves_the_tree_serving():
    run_child(setup=STOP_INTERRUPTED, body=r"""
        interrupt_main_after(0.2)
        try:
            engine.stop_tree("t")
            raise AssertionError("not interrupted")
        except KeyboardInterrupt:
            pass
        release.set()
        caller.join(10)
        assert engine.get_tree_ids() == ["t"]
        release.clear()
        threading.Timer(0.1, release.set).start()
        assert engine.tick_once("t") is NodeStatus.SUCCESS
        engine.stop_tree("t")
        assert engine.get_tree_ids() == [] and tree_threads() == []
    """)


def test_stop_interrupted_after_its_marker_completes_then_raises():
    run_child(setup=STOP_INTERRUPTED, body=r"""
        release.set()
        caller.join(10)
        release.clear()
        def interrupt_during_the_halt():
            assert halting.wait(10)  # the marker is placed: the tree thread is halting
            signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)
            time.sleep(0.3)
            release.set()
        threading.Thread(target=interrupt_during_the_halt).start()
        try:
            engine.stop_tree("t")
            raise AssertionError("interrupt lost")
        except KeyboardInterrupt:
            pass
        assert halting.is_set()
        assert engine.get_tree_ids() == [] and tree_threads() == []
        assert log.lines[-1] == ("info", "停止行为树: t")
    """)


@pytest.mark.parametrize("ring, second_call, cycle", [
    (["A", "B"], "tick_once", "B → A → B"),
    (["A", "B", "C"], "tick_once", "C → A → B → C"),
    (["A", "B"], "stop_tree", "B → A → B"),
])
def test_trees_commanding_each_other_in_a_ring_fail_at_once(ring, second_call, cycle):
    run_child(rf"""
        ring = {ring!r}
        for i, tid in enumerate(ring):
            nxt = ring[(i + 1) % len(ring)]
            call = "{second_call}" if i == len(ring) - 1 else "tick_once"
            def tick(node, nxt=nxt, call=call):
                getattr(engine, call)(nxt)
                return NodeStatus.SUCCESS
            engine.register_action_behavior("Call" + tid, tick, [])
        for tid in ring:
            engine.create_tree_from_text(xml("Call" + tid), tid)
        try:
            engine.tick_once("A")
            raise AssertionError("no error")
        except RuntimeError as exc:
            assert "行为树之间的命令形成循环等待: {cycle}" in str(exc), str(exc)
        engine.stop_all_trees()
    """)


def test_cross_tree_commands_without_a_cycle_under_many_callers():
    run_child(r"""
        engine.register_action_behavior("Leaf", lambda node: NodeStatus.SUCCESS, [])
        def forward(node):
            assert engine.tick_once("leaf") is NodeStatus.SUCCESS
            return NodeStatus.SUCCESS
        engine.register_action_behavior("Forward", forward, [])
        engine.create_tree_from_text(xml("Leaf"), "leaf")
        for i in range(4):
            engine.create_tree_from_text(xml("Forward"), f"f{i}")
        errors = []
        def drive(tid):
            try:
                for _ in range(200):
                    assert engine.tick_once(tid) is NodeStatus.SUCCESS
            except Exception as exc:
                errors.append(exc)
        callers = [threading.Thread(target=drive, args=(t,)) for t in ["leaf", "f0", "f1", "f2", "f3"] * 2]
        for c in callers: c.start()
        for c in callers: c.join()
        assert errors == [], errors[:3]
        engine.stop_all_trees()
    """, timeout=120)


def test_forked_child_ends_inherited_trees_and_runs_new_ones():
    run_child(r"""
        import warnings
        warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads, 3.12+
        release = threading.Event()
        engine.register_action_behavior("Ok", lambda node: NodeStatus.SUCCESS, [])
        engine.register_action_behavior("Block", lambda node: (release.wait(10), NodeStatus.SUCCESS)[1], [])
        engine.create_tree_from_text(xml("Ok"), "t")
        engine.create_tree_from_text(xml("Block"), "busy")
        busy = threading.Thread(target=engine.tick_once, args=("busy",))
        busy.start()
        time.sleep(0.2)  # a command in flight at fork time
        pid = os.fork()
        if pid == 0:
            code = 1
            try:
                try:
                    engine.tick_once("t")
                except RuntimeError as exc:
                    assert str(exc) == "行为树 t 执行命令 tick_once 失败: 行为树 t 的线程不在当前进程中", str(exc)
                else:
                    raise AssertionError("inherited tree answered")
                engine.stop_all_trees()
                assert engine.get_tree_ids() == []
                engine.create_tree_from_text(xml("Ok"), "t")
                assert engine.tick_once("t") is NodeStatus.SUCCESS
                engine.stop_all_trees()
                code = 0
            finally:
                os._exit(code)
        deadline = time.monotonic() + 30
        while True:
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                break
            assert time.monotonic() < deadline, "forked child hung"
            time.sleep(0.01)
        assert os.waitstatus_to_exitcode(status) == 0
        release.set()
        busy.join(10)
        assert engine.tick_once("t") is NodeStatus.SUCCESS  # the parent is unaffected
        engine.stop_all_trees()
    """)


def test_system_exit_in_a_tick_names_itself_to_later_callers(engine, log, monkeypatch, in_daemon):
    monkeypatch.setattr(threading, "excepthook", lambda args: None)  # as the default hook does for SystemExit
    engine.register_action_behavior("Bye", lambda node: sys.exit("bye"), [])
    engine.create_tree_from_text(
        '<root BTCPP_format="4"><BehaviorTree ID="M"><Bye/></BehaviorTree></root>', "t")
    reason = "行为树线程 t 意外结束: SystemExit: bye"
    for _ in range(2):
        with pytest.raises(RuntimeError) as err:
            in_daemon(engine.tick_once, "t")
        assert str(err.value) == "行为树 t 执行命令 tick_once 失败: " + reason


@pytest.mark.parametrize("hook", ["records", "raises", "instance only"])
def test_stop_calls_the_core_class_halt_hook_on_the_tree_thread(mt, engine, log, monkeypatch, in_daemon, hook):
    calls = []

    class Core:
        def __init__(self):
            if hook == "instance only":
                self.halt_tree = lambda: calls.append("instance")

        def register_action_behavior(self, *args):
            pass

        def create_tree_from_text(self, xml):
            pass

    if hook != "instance only":
        def halt_tree(self):
            calls.append(threading.current_thread().name)
            if hook == "raises":
                raise ValueError("halt failed")
        Core.halt_tree = halt_tree

    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
    monkeypatch.setattr(mt, "SequentialEngine", Core)
    engine.create_tree_from_text("<root/>", "t")
    thread = engine.trees["t"]["thread"]
    in_daemon(engine.stop_tree, "t")
    assert engine.get_tree_ids() == [] and log.texts()[-1] == "停止行为树: t"
    assert calls == ([] if hook == "instance only" else [thread.name])
    assert [str(u.exc_value) for u in unraisable] == (["halt failed"] if hook == "raises" else [])
