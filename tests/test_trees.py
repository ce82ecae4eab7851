"""Tree creation, the tree thread's set-up and lookup of live trees."""
import threading
import types

import pytest

from brannox.engine.sequential_engine import SequentialEngine
from helpers import PORTS, XML, Call, FailingThread, UnstartableThread, from_fresh_threads, install_core, \
    run_tree_threads, say, until

pytestmark = pytest.mark.usefixtures("collect_old_engines")


@pytest.fixture
def engine(say_engine):
    return say_engine


def test_creation_builds_record_and_sets_up_core_on_tree_thread(mt, engine, log, monkeypatch, in_daemon):
    calls = install_core(mt, monkeypatch, get_blackboard_data=lambda key: "v")
    first, second = (lambda n: None), (lambda n: None)
    engine.action_registrations.clear()
    engine.register_action_behavior("A", first, [])
    engine.register_action_behavior("B", second, PORTS)

    def body():
        assert engine.create_tree_from_text(XML, "a") == "a"
        rec = engine.trees["a"]
        assert list(rec) == ["cond", "command", "result", "thread"]
        assert isinstance(rec["cond"], threading.Condition)
        assert isinstance(rec["thread"], threading.Thread) and rec["thread"].daemon
        engine.register_action_behavior("Late", first, [])  # after creation: not for "a"
        assert engine.get_blackboard_data("a", "k") == "v"
        with rec["cond"]:
            assert rec["command"] == [None] and rec["result"] == [None]
        engine.create_tree_from_text(XML, "b")
        engine.get_blackboard_data("b", "k")
        return rec["thread"].name, engine.trees["b"]["thread"].name, threading.current_thread().name

    tree_a, tree_b, caller = in_daemon(body)
    setup = [("__init__", ()), ("register_action_behavior", ("A", first, [])),
             ("register_action_behavior", ("B", second, PORTS)), ("create_tree_from_text", (XML,))]
    assert [c for c in calls if c[2] == tree_a] == [c + (tree_a,) for c in setup] + [
        ("get_blackboard_data", ("k",), tree_a)]
    late = ("register_action_behavior", ("Late", first, []))
    assert [c for c in calls if c[2] == tree_b] == [c + (tree_b,) for c in setup[:3] + [late] + setup[3:]] + [
        ("get_blackboard_data", ("k",), tree_b)]
    assert [line for line in log.lines if "行为树" in line[1]] == [
        ("info", "创建行为树: a", caller), ("info", "创建行为树: b", caller)]


@pytest.mark.parametrize("given", [None, "tree_1", ""])
def test_identifiers_and_duplicates(engine, log, in_daemon, given):
    def body():
        assert [engine.create_tree_from_text(XML) for _ in range(2)] == ["tree_0", "tree_1"]
        if given == "":
            assert engine.create_tree_from_text(XML, "") == ""
            given_id = ""
        else:
            engine.stop_tree("tree_0")  # one live tree: the next automatic id is tree_1 again
            given_id = "tree_1"
        snapshot = engine.get_tree_ids()
        before = list(engine.trees.items())
        with pytest.raises(ValueError) as err:
            engine.create_tree_from_text(XML, given_id if given is None else given)
        assert list(engine.trees.items()) == before
        snapshot.append("junk")
        assert engine.get_tree_ids() == [k for k, _ in before]
        return str(err.value), given_id

    text, given_id = in_daemon(body)
    assert text == f"行为树ID {given_id} 已存在"
    assert log.texts("error") == [text]


@pytest.mark.parametrize("tree_id", ["same", None])
def test_concurrent_creation_of_one_id_has_one_winner(engine, log, in_daemon, tree_id):
    racers = 8

    def round_(n):
        barrier, out = threading.Barrier(racers), []

        def create():
            barrier.wait(10)
            try:
                out.append(engine.create_tree_from_text(XML, tree_id))
            except ValueError as exc:
                out.append(exc)

        before = len(run_tree_threads())
        for call in [Call(create) for _ in range(racers)]:
            call.outcome()
        won = [o for o in out if isinstance(o, str)]
        lost = [str(o) for o in out if isinstance(o, ValueError)]
        assert len(won) + len(lost) == racers
        if tree_id:
            assert won == [tree_id]
        # Automatic ids taken one after another differ; simultaneous ones collide.
        assert len(set(won)) == len(won) and set(lost) <= {f"行为树ID {t} 已存在" for t in won}
        assert sorted(engine.get_tree_ids()) == sorted(won)
        assert len(run_tree_threads()) == before + len(won)
        engine.stop_all_trees()
        return len(lost)

    lost = sum(in_daemon(round_, n) for n in range(10))
    assert len(log.texts("error")) == lost


@pytest.mark.parametrize("thread_class, message", [
    (FailingThread, "no thread for you"),
    (UnstartableThread, "can't start new thread"),
])
def test_failed_thread_start_withdraws_the_record(mt, engine, log, monkeypatch, in_daemon, thread_class, message):
    monkeypatch.setattr(mt, "threading", types.SimpleNamespace(Condition=threading.Condition, Thread=thread_class))

    def body():
        with pytest.raises(RuntimeError, match=message):
            engine.create_tree_from_text(XML, "x")
        assert engine.get_tree_ids() == [] and engine.trees == {}
        with pytest.raises(ValueError):
            engine.get_tree_status("x")
        monkeypatch.setattr(mt, "threading", threading)
        assert engine.create_tree_from_text(XML, "x") == "x"  # the id is free again
        return engine.get_tree_status("x")["loaded"]

    assert in_daemon(body) is True
    caller = log.lines[0][2]  # nothing logged for the failed creation itself
    assert log.lines == [("error", "行为树ID x 不存在", caller), ("info", "创建行为树: x", caller)]


@pytest.mark.parametrize("where", ["__init__", "register_action_behavior", "create_tree_from_text"])
def test_setup_failure_answers_waiting_and_later_callers(mt, engine, log, monkeypatch, in_daemon, where):
    gate = threading.Event()

    def fail(*args):
        gate.wait(10)
        raise ValueError("core says no")

    install_core(mt, monkeypatch, **{where: fail})

    def body():
        engine.create_tree_from_text(XML, "t")
        rec = engine.trees["t"]
        waiting = Call(engine.tick_once, "t")
        until(lambda: rec["command"][0] is not None)
        gate.set()
        reason = "行为树线程 t 发生错误: core says no"
        with pytest.raises(RuntimeError) as err:
            waiting.outcome()
        assert str(err.value) == "行为树 t 执行命令 tick_once 失败: " + reason
        rec["thread"].join(10)
        for op, args, kind in [(engine.get_blackboard_data, ("t", "k"), "get_blackboard_data"),
                               (engine.tick_n_times, ("t", 3), "tick_n_times")]:
            texts = {str(o) for o in from_fresh_threads(lambda: op(*args), rec["thread"].ident)}
            assert texts == {f"行为树 t 执行命令 {kind} 失败: " + reason}
        engine.stop_tree("t")
        assert engine.get_tree_ids() == []
        return rec["thread"].name

    tree = in_daemon(body)
    assert [line for line in log.lines if line[0] == "error" and line[2] == tree] == [
        ("error", "行为树线程 t 发生错误: core says no", tree)]
    assert log.texts("info")[-1] == "停止行为树: t"


@pytest.mark.parametrize("extra_entry, text", [
    (None, None),  # refused XML, text from the core itself
    (("A", say), "need more than 2 values to unpack"),
    (("A", say, [], 1), "too many values to unpack (expected 3)"),
    (("A",), "need more than 1 value to unpack"),
])
def test_setup_failure_from_bad_input(engine, log, in_daemon, extra_entry, text):
    xml = XML
    if extra_entry is None:
        xml = "<root><unclosed"
        with pytest.raises(Exception) as err:
            SequentialEngine().create_tree_from_text(xml)
        text = str(err.value)
    else:
        engine.action_registrations.append(extra_entry)

    def body():
        engine.create_tree_from_text(xml, "bad")
        thread = engine.trees["bad"]["thread"]
        thread.join(10)
        assert not thread.is_alive()
        assert engine.get_tree_ids() == ["bad"]
        with pytest.raises(RuntimeError, match="^行为树 bad 执行命令 get_status 失败: 行为树线程 bad 发生错误: "):
            engine.get_tree_status("bad")
        engine.stop_tree("bad")
        return thread.name

    tree = in_daemon(body)
    assert [line for line in log.lines if line[2] == tree] == [("error", "行为树线程 bad 发生错误: " + text, tree)]


def test_command_sent_during_setup_is_served_afterwards(mt, engine, monkeypatch, in_daemon):
    gate = threading.Event()
    calls = install_core(mt, monkeypatch, create_tree_from_text=lambda xml: gate.wait(10),
                         get_blackboard_data=lambda key: "v:" + key)

    def body():
        engine.create_tree_from_text(XML, "slow")
        rec = engine.trees["slow"]
        waiting = Call(engine.get_blackboard_data, "slow", "k")
        until(lambda: rec["command"][0] is not None)
        assert waiting.is_alive() and calls[-1][0] == "create_tree_from_text"
        gate.set()
        return waiting.outcome()

    assert in_daemon(body) == "v:k"
    assert [c[0] for c in calls] == ["__init__", "register_action_behavior", "create_tree_from_text",
                                     "get_blackboard_data"]


@pytest.mark.parametrize("content, error", [
    ("utf8", None),
    ("latin1", UnicodeDecodeError),
    ("missing", FileNotFoundError),
])
def test_create_tree_from_file(engine, log, tmp_path, in_daemon, content, error):
    path = tmp_path / "tree.xml"
    if content != "missing":
        path.write_bytes(XML.replace("hi", "héllo 你好").encode("utf-8") if content == "utf8"
                         else XML.replace("hi", "h\xe9").encode("latin-1"))

    def body():
        if error:
            with pytest.raises(error):
                engine.create_tree_from_file(str(path), "f")
            return engine.get_tree_ids()
        tid = engine.create_tree_from_file(str(path), "f")
        engine.tick_once(tid)
        return engine.get_blackboard_data(tid, "o")

    if error:
        assert in_daemon(body) == [] and log.lines == []
    else:
        assert in_daemon(body) == "héllo 你好"
        assert log.texts() == ["创建行为树: f"]


def test_trees_are_independent(mt, engine, monkeypatch, in_daemon):
    entered, release = threading.Event(), threading.Event()

    def tick():
        entered.set()
        release.wait(10)
        return "slow done"

    install_core(mt, monkeypatch, tick_once=tick, get_blackboard_data=lambda key: key)

    def body():
        engine.create_tree_from_text(XML, "busy")
        engine.create_tree_from_text(XML, "free")
        busy = Call(engine.tick_once, "busy")
        assert entered.wait(10)
        answers = [Call(engine.get_blackboard_data, "free", "k").outcome() for _ in range(5)]
        assert busy.is_alive()  # still inside its tick while the other tree answered
        release.set()
        return answers, busy.outcome()

    assert in_daemon(body) == (["k"] * 5, "slow done")
