"""The command exchange between callers and a tree thread, and the public tree operations."""
import json
import threading
import traceback
import types

import pytest

from brannox.core import NodeStatus
from helpers import XML, Call, child_script, from_fresh_threads, install_core, run_child

pytestmark = pytest.mark.usefixtures("collect_old_engines")


@pytest.fixture
def engine(say_engine):
    return say_engine


TOKEN = object()


def sub_engine(mt, **methods):
    return type("Sub", (mt.ThreadEngine,), methods)()


LIST, EMPTY, DICT, PARAMS = [NodeStatus.SUCCESS], [], {"loaded": True}, {"n": 5}


class MyDict(dict):
    pass


@pytest.mark.parametrize("op, sent, core_call, core_returns, expected", [
    (lambda e, t: e.tick_once(t), ("tick_once", {}), ("tick_once", ()), TOKEN, TOKEN),
    (lambda e, t: e.tick_until_failure(t), ("tick_until_failure", {}), ("tick_until_failure", ()), 7, 7),
    (lambda e, t: e.tick_until_success(t), ("tick_until_success", {}), ("tick_until_success", ()), None, None),
    (lambda e, t: e.tick_n_times(t, 4), ("tick_n_times", {"n": 4}), ("tick_n_times", (4,)), LIST, LIST),
    (lambda e, t: e.tick_n_times(t, -2), ("tick_n_times", {"n": -2}), ("tick_n_times", (-2,)), EMPTY, EMPTY),
    (lambda e, t: e.get_tree_status(t), ("get_status", {}), ("get_tree_status", ()), DICT, DICT),
    (lambda e, t: e.get_blackboard_data(tree_id=t, key="k"), ("get_blackboard_data", {"key": "k"}),
     ("get_blackboard_data", ("k",)), TOKEN, TOKEN),
    (lambda e, t: e.set_blackboard_data(t, "k", None), ("set_blackboard_data", {"key": "k", "value": None}),
     ("set_blackboard_data", ("k", None)), 5, None),
    (lambda e, t: e.get_all_blackboard_data(t), ("get_all_blackboard_data", {}),
     ("get_all_blackboard_data", ()), DICT, DICT),
    (lambda e, t: e.reset_tree(t), ("reset", {}), ("reset_tree", ()), 5, None),
    (lambda e, t: e._send_command(t, "tick_n_times", {}), ("tick_n_times", {}), ("tick_n_times", (1,)), LIST, LIST),
    (lambda e, t: e._send_command(t, "tick_n_times", PARAMS), ("tick_n_times", PARAMS), ("tick_n_times", (5,)),
     LIST, LIST),
    (lambda e, t: e._send_command(t, "get_blackboard_data", None), ("get_blackboard_data", {}),
     ("get_blackboard_data", (None,)), 1, 1),
    (lambda e, t: e._send_command(t, "set_blackboard_data", {"key": "k"}), ("set_blackboard_data", {"key": "k"}),
     ("set_blackboard_data", ("k", None)), 5, None),
])
def test_each_operation_reaches_the_core_on_the_tree_thread(mt, make_engine, log, monkeypatch, in_daemon,
                                                           op, sent, core_call, core_returns, expected):
    calls = install_core(mt, monkeypatch, **{core_call[0]: lambda *a: core_returns})
    commands = []

    def record_command(self, engine, command, tree_id, result):
        commands.append((command, tree_id, threading.current_thread().name))
        return mt.ThreadEngine._process_command(self, engine, command, tree_id, result)

    engine = sub_engine(mt, _process_command=record_command)

    def body():
        engine.create_tree_from_text(XML, "t")
        try:
            value = op(engine, "t")
            rec = engine.trees["t"]
            with rec["cond"]:
                assert rec["command"] == [None] and rec["result"] == [None]
            return value, rec["thread"].name
        finally:
            engine.stop_all_trees()

    value, tree = in_daemon(body)
    assert value is expected
    assert commands == [({"type": sent[0], "params": sent[1]}, "t", tree)]
    assert type(commands[0][0]["params"]) is dict
    assert (commands[0][0]["params"] is PARAMS) == (sent[1] is PARAMS)  # handed over, not copied
    assert calls[-1] == core_call + (tree,)
    assert log.texts("error") == []


@pytest.mark.parametrize("op, core_method, returned, message", [
    ("tick_until_success", "tick_until_success", True, "Expected int, got bool"),
    ("tick_until_failure", "tick_until_failure", 2.0, "Expected int, got float"),
    ("tick_n_times", "tick_n_times", (1,), "Expected list, got tuple"),
    ("get_tree_status", "get_tree_status", MyDict(), "Expected dict, got MyDict"),
    ("get_all_blackboard_data", "get_all_blackboard_data", [], "Expected dict, got list"),
])
def test_checked_results_of_the_wrong_type(mt, engine, monkeypatch, in_daemon, op, core_method, returned, message):
    calls = install_core(mt, monkeypatch, **{core_method: lambda *a: returned})

    def body():
        engine.create_tree_from_text(XML, "t")
        args = ("t", 2) if op == "tick_n_times" else ("t",)
        with pytest.raises(TypeError, match=f"^{message}$"):
            getattr(engine, op)(*args)
        return engine.get_tree_ids()

    assert in_daemon(body) == ["t"]
    assert calls[-1][0] == core_method  # the work was done before the check


@pytest.mark.parametrize("command_type, hooks, tree_text", [
    ("bogus", {}, "未知命令类型: bogus"),
    ("error", {}, "未知命令类型: error"),
    ("tick_once", {"tick_once": ValueError("bad tick")}, "处理命令 tick_once 时发生错误: bad tick"),
    ("get_blackboard_data", {"get_blackboard_data": KeyError("k")}, "处理命令 get_blackboard_data 时发生错误: 'k'"),
])
def test_failed_command_logs_on_both_threads_and_tree_keeps_serving(mt, engine, log, monkeypatch, in_daemon,
                                                                   command_type, hooks, tree_text):
    def raiser(exc):
        def hook(*args):
            raise exc
        return hook

    install_core(mt, monkeypatch, get_all_blackboard_data=lambda: {"ok": 1},
                 **{name: raiser(exc) for name, exc in hooks.items()})

    def body():
        engine.create_tree_from_text(XML, "t")
        with pytest.raises(RuntimeError) as err:
            engine._send_command("t", command_type, {"key": "k"})
        assert engine.get_all_blackboard_data("t") == {"ok": 1}
        rec = engine.trees["t"]
        with rec["cond"]:
            assert rec["command"] == [None] and rec["result"] == [None]
        return str(err.value), rec["thread"].name, threading.current_thread().name

    text, tree, caller = in_daemon(body)
    assert text == f"行为树 t 执行命令 {command_type} 失败: {tree_text}"
    assert [line for line in log.lines if line[0] == "error"] == [("error", tree_text, tree), ("error", text, caller)]


def test_concurrent_callers_each_get_their_own_answer(engine, in_daemon):
    callers, rounds = 8, 150

    def body():
        engine.create_tree_from_text(XML, "t")
        barrier, wrong = threading.Barrier(callers), []

        def work(i):
            barrier.wait(10)
            for r in range(rounds):
                value = (i, r, object())
                engine.set_blackboard_data("t", f"k{i}", value)
                got = engine.get_blackboard_data("t", f"k{i}")
                statuses = engine.tick_n_times("t", i + 1)
                if got is not value or len(statuses) != i + 1:
                    wrong.append((i, r, got, statuses))

        for call in [Call(work, i) for i in range(callers)]:
            call.outcome(60)
        return wrong, engine.get_tree_status("t")["tick_count"]

    wrong, ticks = in_daemon(body, timeout=90)
    assert wrong == []
    assert ticks == rounds * sum(range(1, callers + 1))


class InterruptedOnce(threading.Condition):
    """wait() raises KeyboardInterrupt once in the victim thread, after the
    waiting (`after`) or instead of it (`before`), as a signal would."""

    victim, mode = None, None

    def wait(self, timeout=None):
        if threading.get_ident() != InterruptedOnce.victim:
            return super().wait(timeout)
        InterruptedOnce.victim = None
        if InterruptedOnce.mode == "after":
            super().wait(timeout)
        raise KeyboardInterrupt


@pytest.mark.parametrize("mode", ["before", "after"])
def test_interrupted_caller_leaves_nothing_behind(mt, engine, monkeypatch, in_daemon, mode):
    gate = threading.Event()
    install_core(mt, monkeypatch, get_blackboard_data=lambda key: (gate.wait(10), "echo " + key)[1])
    monkeypatch.setattr(mt, "threading", types.SimpleNamespace(Condition=InterruptedOnce, Thread=threading.Thread))
    monkeypatch.setattr(InterruptedOnce, "mode", mode)

    def body():
        engine.create_tree_from_text(XML, "t")
        gate.set()
        assert engine.get_blackboard_data("t", "warm") == "echo warm"
        InterruptedOnce.victim = threading.get_ident()
        with pytest.raises(KeyboardInterrupt):
            engine.get_blackboard_data("t", "first")
        answers = [engine.get_blackboard_data("t", f"k{i}") for i in range(3)]
        rec = engine.trees["t"]
        with rec["cond"]:
            assert rec["command"] == [None] and rec["result"] == [None]
        return answers

    assert in_daemon(body) == ["echo k0", "echo k1", "echo k2"]


@pytest.mark.parametrize("call_own_tree, failure", [
    (lambda e, t: e.get_blackboard_data(t, "x"), "行为树 self 执行命令 get_blackboard_data 失败: "),
    (lambda e, t: e.tick_once(t), "行为树 self 执行命令 tick_once 失败: "),
    (lambda e, t: e.set_blackboard_data(t, "x", 1), "行为树 self 执行命令 set_blackboard_data 失败: "),
    (lambda e, t: e.stop_tree(t), "cannot join current thread"),  # nothing is marked before the join
])
def test_tick_function_addressing_its_own_tree_fails_at_once(engine, log, in_daemon, call_own_tree, failure):
    caught = []

    def ask(node):
        try:
            call_own_tree(engine, "self")
        except RuntimeError as exc:
            caught.append(str(exc))
        return NodeStatus.SUCCESS

    engine.register_action_behavior("Ask", ask, [])

    def body():
        engine.create_tree_from_text(XML.replace('<Say msg="hi" out="{o}"/>', "<Ask/>"), "self")
        statuses = [engine.tick_once("self"), engine.tick_once("self")]  # the tree still serves
        return statuses, engine.get_tree_status("self")["tick_count"]

    assert in_daemon(body) == ([NodeStatus.SUCCESS] * 2, 2)
    assert len(caught) == 2 and all(t.startswith(failure) for t in caught)


def raise_in_process(exc):
    def _process_command(self, engine, command, tree_id, result):
        raise exc
    return _process_command


@pytest.mark.parametrize("exc, thread_line", [
    (RuntimeError("loop broke"), "行为树线程 t 发生错误: loop broke"),
    (KeyboardInterrupt(), None),  # not an Exception: the thread just ends
])
def test_serving_failure_answers_waiting_and_later_callers(mt, log, monkeypatch, in_daemon, exc, thread_line):
    escaped = []
    monkeypatch.setattr(threading, "excepthook", lambda args: escaped.append(args.exc_type))
    install_core(mt, monkeypatch)
    engine = sub_engine(mt, _process_command=raise_in_process(exc))

    def body():
        engine.create_tree_from_text(XML, "t")
        try:
            with pytest.raises(RuntimeError) as err:
                engine.tick_once("t")
            thread = engine.trees["t"]["thread"]
            thread.join(10)
            later = from_fresh_threads(lambda: engine.get_blackboard_data("t", "k"), thread.ident)
            outcomes = [err.value] + later
            assert all(isinstance(o, RuntimeError) for o in outcomes)
            outcomes = [str(o) for o in outcomes]
            return outcomes
        finally:
            engine.stop_tree("t")

    outcomes = in_daemon(body)
    assert outcomes[0].startswith("行为树 t 执行命令 tick_once 失败: ")
    assert outcomes[1].startswith("行为树 t 执行命令 get_blackboard_data 失败: ")
    if thread_line:
        assert all(o.endswith(" 失败: " + thread_line) for o in outcomes)
        assert log.texts("error")[0] == thread_line
    else:
        assert escaped == [KeyboardInterrupt] and len(set(o.split(" 失败: ")[1] for o in outcomes)) == 1
    assert log.texts("info")[-1] == "停止行为树: t" and "t" not in engine.trees


# ------------------------------------------------- the cause of a failure

def lookup_missing(node):
    return {}["missing"]


LOOKUP_LINE = lookup_missing.__code__.co_firstlineno + 1


@pytest.mark.parametrize("op, command_type", [
    (lambda e: e.tick_once("t"), "tick_once"),
    (lambda e: e.tick_n_times("t", 3), "tick_n_times"),
    (lambda e: e.tick_until_failure("t"), "tick_until_failure"),
])
def test_tick_function_exception_is_the_callers_cause(engine, log, in_daemon, op, command_type):
    engine.register_action_behavior("Lookup", lookup_missing, [])

    def body():
        engine.create_tree_from_text(XML.replace('<Say msg="hi" out="{o}"/>', "<Lookup/>"), "t")
        with pytest.raises(RuntimeError) as err:
            op(engine)
        assert engine.tick_n_times("t", 0) == []  # a later answer carries nothing over
        return err.value

    exc = in_daemon(body)
    tree_text = (f"处理命令 {command_type} 时发生错误: "
                 "node 'Lookup', line 1 in tree 'Main': tick function raised KeyError: 'missing'")
    assert str(exc) == f"行为树 t 执行命令 {command_type} 失败: {tree_text}"
    assert log.texts("error") == [tree_text, str(exc)]
    cause = exc.__cause__
    assert type(cause) is KeyError and cause.args == ("missing",) and exc.__suppress_context__
    last = traceback.extract_tb(cause.__traceback__)[-1]
    assert (last.name, last.lineno) == ("lookup_missing", LOOKUP_LINE)
    # What a worker process would send on: the tick function's own line.
    assert 'return {}["missing"]' in "".join(traceback.format_exception(cause))


@pytest.mark.parametrize("send", [
    lambda e: e._send_command("t", "bogus", None),  # answered "error" without an exception
    lambda e: e._send_command("gone", "tick_once", None),
])
def test_failures_without_an_exception_have_no_cause(engine, in_daemon, send):
    def body():
        engine.create_tree_from_text(XML, "t")
        with pytest.raises((RuntimeError, ValueError)) as err:
            send(engine)
        return err.value

    assert in_daemon(body).__cause__ is None


CAUSE_STRESS = child_script(r"""
import json

class Picky(Core):
    def get_blackboard_data(self, key):
        if key.startswith("bad"):
            raise KeyError(key)
        return key

mt = install()
mt.SequentialEngine = Picky
engine = mt.ThreadEngine()
trees = ["a", "b", "c"]
for t in trees:
    engine.create_tree_from_text("<root/>", t)
wrong, lock = [], threading.Lock()

def work(i):
    for r in range(300):
        key = f"{'bad' if (i + r) % 3 == 0 else 'ok'}-{i}-{r}"
        try:
            got, cause = engine.get_blackboard_data(trees[i % len(trees)], key), None
        except RuntimeError as exc:
            got, cause = None, exc.__cause__
        right = (type(cause) is KeyError and cause.args == (key,)) if key.startswith("bad") else \
            (got == key and cause is None)
        if not right:
            with lock:
                wrong.append([key, repr(got), repr(cause)])

callers = [threading.Thread(target=work, args=(i,)) for i in range(12)]
for c in callers:
    c.start()
for c in callers:
    c.join()
engine.stop_all_trees()
print(json.dumps(wrong[:5]))
""")


def test_concurrent_failures_each_keep_their_own_cause():
    assert json.loads(run_child(CAUSE_STRESS, timeout=120)) == []
