"""Actions that take several ticks (stateful, generator) and the halting contract,
on the core directly and through ThreadEngine."""

import logging
import threading

import pytest

from brannox.core import NodeStatus, TickError
from brannox.engine.sequential_engine import SequentialEngine
from brannox.nodes.action_node import SimpleActionNode, StatefulActionNode
from conftest import bt, core_engine, letters, stateful_action

S, F, R = NodeStatus.SUCCESS, NodeStatus.FAILURE, NodeStatus.RUNNING


# ------------------------------------------------------------ stateful actions

def test_stateful_action_lifecycle():
    events = []
    cls = stateful_action(events, "A", "RRSR")
    assert issubclass(cls, SimpleActionNode) and cls.tick is not StatefulActionNode.tick
    engine = SequentialEngine()
    engine.register_action_behavior("Work", cls.tick, cls.ports)  # the tick carries all three methods
    engine.create_tree_from_text(bt("<Sequence><Work/></Sequence>"))
    assert letters(engine.tick_n_times(4)) == "RRSR"
    assert events == ["A:start", "A:run", "A:run", "A:start"]
    engine.reset_tree()  # RUNNING: halted once
    engine.reset_tree()  # IDLE: no callback
    assert events[-1] == "A:halt" and events.count("A:halt") == 1


# ----------------------------------------------------------- generator actions

def generator_engine(functor):
    engine = SequentialEngine()
    engine.register_action_behavior("Gen", functor, [])
    engine.create_tree_from_text(bt('<Gen name="g"/>'))
    return engine


def test_generator_runs_one_step_per_tick_and_halt_closes_it():
    steps = []

    def work(node):
        try:
            for i in range(2):
                steps.append(i)
                yield
            return S
        finally:
            steps.append("closed")

    engine = generator_engine(work)
    assert letters(engine.tick_n_times(3)) == "RRS"
    assert steps == [0, 1, "closed"]
    engine.tick_once()
    engine.reset_tree()
    assert steps == [0, 1, "closed", 0, "closed"]


def _returns_nothing(node):
    yield


def _raises(node):
    yield
    raise OSError("disk gone")


def _yields_value(node):
    try:
        yield S
    finally:
        _yields_value.closed = True


@pytest.mark.parametrize("functor, fragment", [
    (_returns_nothing, "generator tick function returned None"),
    (_raises, "tick function raised OSError: disk gone"),
    (_yields_value, "yielded <NodeStatus.SUCCESS: 2>"),
])
def test_generator_faults_are_tick_errors_naming_the_node(functor, fragment):
    engine = generator_engine(functor)
    with pytest.raises(TickError, match=fragment) as err:
        engine.tick_n_times(2)
    assert "node 'g' (Gen)" in str(err.value)
    assert engine.get_tree_status()["root_status"] is NodeStatus.IDLE
    if functor is _yields_value:
        assert _yields_value.closed


# ------------------------------------------------------------ halting contract

@pytest.mark.parametrize("body, scripts, ticks, expected", [
    # An earlier child's result changes: the running later child is halted.
    ("<ReactiveSequence><A/><B/></ReactiveSequence>", {"A": "SF", "B": "R"}, 2,
     ["A:start", "B:start", "A:start", "B:halt"]),
    ("<ReactiveFallback><A/><B/></ReactiveFallback>", {"A": "FS", "B": "R"}, 2,
     ["A:start", "B:start", "A:start", "B:halt"]),
    # Decided: the still-running child is halted.
    ('<Parallel success_count="1"><A/><B/></Parallel>', {"A": "R", "B": "RS"}, 2,
     ["A:start", "B:start", "A:run", "B:run", "A:halt"]),
    # A finished child is not halted with a callback.
    ("<Sequence><A/><B/></Sequence>", {"A": "S", "B": "F"}, 1, ["A:start", "B:start"]),
])
def test_controls_halt_running_children_they_no_longer_need(body, scripts, ticks, expected):
    engine, events = core_engine(body, scripts)
    engine.tick_n_times(ticks)
    assert events == expected


def test_halt_callbacks_that_raise_are_logged_not_raised(caplog):
    class Fragile(StatefulActionNode):
        on_start = staticmethod(lambda node: R)

        @staticmethod
        def on_halted(node):
            raise RuntimeError("cannot let go")

    engine = SequentialEngine()
    engine.register_action_class(Fragile)
    engine.create_tree_from_text(bt("<Fragile/>"))
    for halt in (engine.halt_tree, engine.reset_tree):
        engine.tick_once()
        with caplog.at_level(logging.ERROR, logger="brannox.core"):
            halt()
    assert [r.getMessage().count("cannot let go") for r in caplog.records] == [1, 1]
    assert engine.get_tree_status()["root_status"] is NodeStatus.IDLE


# --------------------------------------------------------- through ThreadEngine

def _engine_with_halt_recorder(engine, started, halted):
    class Hold(StatefulActionNode):
        @staticmethod
        def on_start(node):
            started.set()
            return R

        on_running = on_start

        @staticmethod
        def on_halted(node):
            halted.append(threading.current_thread().name)

    engine.register_action_class(Hold)
    return engine.create_tree_from_text(bt("<Hold/>"), "held")


def test_reset_through_thread_engine_halts_on_the_tree_thread(engine, in_daemon):
    started, halted = threading.Event(), []

    def body():
        tid = _engine_with_halt_recorder(engine, started, halted)
        engine.tick_once(tid)
        engine.reset_tree(tid)
        return engine.get_tree_status(tid)["root_status"]

    assert in_daemon(body) is NodeStatus.IDLE
    assert len(halted) == 1 and halted[0] != threading.current_thread().name


def test_stop_halts_a_running_tree(engine, in_daemon):
    started, halted = threading.Event(), []

    def body():
        tid = _engine_with_halt_recorder(engine, started, halted)
        engine.tick_once(tid)
        engine.stop_tree(tid)

    in_daemon(body)
    assert len(halted) == 1 and halted[0] != threading.current_thread().name


def test_a_runaway_tick_n_times_is_refused_before_ticking(engine, in_daemon):
    def body():
        tid = engine.create_tree_from_text(bt("<AlwaysSuccess/>"), "capped")
        with pytest.raises(RuntimeError) as err:
            engine.tick_n_times(tid, 2**63)
        assert len(engine.tick_n_times(tid, 10_000)) == 10_000
        return str(err.value), engine.get_tree_status(tid)["tick_count"]

    text, count = in_daemon(body)
    assert text.endswith(f"tick_n_times(n={2**63}) exceeds max_ticks=10000; "
                         "raise SequentialEngine.max_ticks to allow more")
    assert count == 10_000
