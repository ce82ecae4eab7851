"""LoopInt, LoopDouble, LoopString, LoopBool."""

from collections import deque

import pytest

from brannox.core import NodeStatus, TickError, TreeBuildError
from brannox.engine.sequential_engine import SequentialEngine
from conftest import STATUS, bt, letters


def loop_engine(node, queue, script="S", extra=""):
    """A tree <node queue=... value={v}><Rec/></node>; Rec records {v} and answers the letters of ``script``."""
    engine, seen, answers = SequentialEngine(), [], list(script)

    def rec(n):
        seen.append(n.getInputObject("v"))
        return STATUS[answers.pop(0) if len(answers) > 1 else answers[0]]

    engine.register_action_behavior("Rec", rec, [{"name": "v", "type": "object"}])
    engine.create_tree_from_text(bt(f'<{node} queue="{queue}" value="{{v}}" {extra}><Rec v="{{v}}"/></{node}>'))
    return engine, seen


@pytest.mark.parametrize("node, queue, values", [
    ("LoopInt", "1;2; 3", [1, 2, 3]),
    ("LoopInt", "1, 2, 11", [1, 2, 11]),
    ("LoopDouble", "1.5;-2;1e3", [1.5, -2.0, 1000.0]),
    ("LoopBool", "true;0;FALSE", [True, False, False]),
    ("LoopString", "a, b;c", ["a, b", "c"]),
])
def test_literal_queue_runs_each_element_in_one_tick(node, queue, values):
    engine, seen = loop_engine(node, queue)
    assert engine.tick_once() is NodeStatus.SUCCESS
    assert seen == values and all(type(a) is type(b) for a, b in zip(seen, values))
    engine.tick_once()
    assert seen == values * 2  # a literal queue starts afresh on the next run


@pytest.mark.parametrize("container", [list, deque])
def test_blackboard_queue_is_consumed_from_the_front(container):
    engine, seen = loop_engine("LoopInt", "{q}", script="RS")
    queue = container(["4", 5])
    engine.set_blackboard_data("q", queue)
    assert engine.tick_once() is NodeStatus.RUNNING and list(queue) == [5]  # the RUNNING child keeps its element
    assert engine.tick_once() is NodeStatus.SUCCESS
    assert seen == [4, 4, 5] and list(queue) == []


def test_elements_added_during_a_tick_wait_for_the_next():
    engine, queue, added = SequentialEngine(), [1, 2], []

    def grow(node):
        if len(added) < 3:
            added.append(0)
            queue.append(0)
        return NodeStatus.SUCCESS

    engine.register_action_behavior("Grow", grow, [])
    engine.set_blackboard_data("q", queue)
    engine.create_tree_from_text(bt('<LoopInt queue="{q}"><Grow/></LoopInt>'))
    # 2 elements, then the 2 they added, then the last one: never more than a tick began with.
    assert letters(engine.tick_n_times(3)) == "RRS"


def test_failure_ends_the_loop_and_halt_starts_over():
    engine, seen = loop_engine("LoopString", "a;b;c", script="SF")
    assert engine.tick_once() is NodeStatus.FAILURE
    assert seen == ["a", "b"]
    engine, seen = loop_engine("LoopString", "a;b", script="SR")
    assert letters(engine.tick_n_times(1)) == "R"
    engine.halt_tree()
    engine.tick_once()
    assert seen == ["a", "b", "a"]


@pytest.mark.parametrize("queue, extra, status", [
    ("", "", "S"),
    (" ; ", 'if_empty="FAILURE"', "F"),
    ("{empty}", 'if_empty="SKIPPED"', "K"),
])
def test_empty_queue_returns_if_empty(queue, extra, status):
    engine, seen = loop_engine("LoopInt", queue, extra=extra)
    engine.set_blackboard_data("empty", [])
    assert letters([engine.tick_once()]) == status and seen == []


@pytest.mark.parametrize("node, queue, extra, fragment", [
    ("LoopInt", "1;x", "", "queue element 'x' cannot be read as an integer"),
    ("LoopBool", "yes", "", "cannot be read as true or false"),
    ("LoopDouble", "1", 'if_empty="RUNNING"', "if_empty"),
])
def test_bad_literals_are_refused_when_built(node, queue, extra, fragment):
    with pytest.raises(TreeBuildError, match=fragment):
        loop_engine(node, queue, extra=extra)


@pytest.mark.parametrize("value, fragment", [
    (None, "'q', which is not set"),
    (7, "holds int, not a list"),
    (["1", "two"], "'two' cannot be read as an integer"),
])
def test_bad_blackboard_queues_fail_the_tick(value, fragment):
    engine, _ = loop_engine("LoopInt", "{q}")
    engine.set_blackboard_data("q", value)
    with pytest.raises(TickError, match=fragment):
        engine.tick_once()
