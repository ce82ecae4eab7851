"""Time-based nodes (with the fake clock), the newer controls, SKIPPED, and
adding node types."""

import threading

import pytest

from brannox.core import (
    NodeStatus,
    PortInfo,
    RegistrationError,
    TickError,
    TreeBuildError,
    TreeNode,
    register_node_type,
    registered_node_types,
)
from brannox.engine.sequential_engine import SequentialEngine
from conftest import bt, core_engine, letters

K = NodeStatus.SKIPPED


# ------------------------------------------------------------------ time-based

@pytest.mark.parametrize("body, scripts, steps, expected_statuses, expected_events", [
    # Timeout: the child still running at 100 ms is halted.
    ('<Timeout msec="100"><A/></Timeout>', {"A": "R"}, [0, 50, 60], "RRF", ["A:start", "A:run", "A:halt"]),
    ('<Timeout msec="100"><A/></Timeout>', {"A": "RS"}, [0, 99], "RS", ["A:start", "A:run"]),
    # Delay: nothing is ticked before 100 ms have passed.
    ('<Delay delay_msec="100"><A/></Delay>', {"A": "S"}, [0, 99, 1, 0], "RRSR", ["A:start"]),
    ('<Delay delay_msec="0"><A/></Delay>', {"A": "S"}, [0], "S", ["A:start"]),
    ('<Sequence><Sleep msec="30"/><A/></Sequence>', {"A": "S"}, [0, 29, 1], "RRS", ["A:start"]),
    ('<Sleep msec="{wait}"/>', {}, [0, 40, 10], "RRS", []),
])
def test_time_based_nodes(clock, body, scripts, steps, expected_statuses, expected_events):
    engine, events = core_engine(body, scripts)
    engine.set_blackboard_data("wait", 50)
    statuses = []
    for msec in steps:
        clock.advance(msec)
        statuses.append(engine.tick_once())
    assert letters(statuses) == expected_statuses
    assert events == expected_events


@pytest.mark.parametrize("body, fragment", [
    ('<Sleep msec="-1"/>', "port 'msec' must be >= 0, got -1"),
    ('<Sleep msec="1.5"/>', "port 'msec' must be an integer"),
    ('<RunOnce then_skip="maybe"><A/></RunOnce>', "must be true or false"),
    ('<Precondition if="x &gt;" ><A/></Precondition>', "script syntax error"),
    ('<Precondition if="true" else="RUNNING"><A/></Precondition>', "must be SUCCESS, FAILURE or SKIPPED"),
    ('<ParallelAll max_failures="3"><A/><A/></ParallelAll>', "does not fit 2 children"),
    ('<Switch2 variable="{v}" case_1="a"><A/><A/><A/></Switch2>', r"needs port\(s\) case_2"),
])
def test_literal_ports_are_checked_when_the_tree_is_built(body, fragment):
    with pytest.raises(TreeBuildError, match=fragment):
        core_engine(body, {"A": "S"})


@pytest.mark.parametrize("then_skip, expected", [("", "RSKK"), (' then_skip="false"', "RSSS")])
def test_run_once_remembers_until_reset(then_skip, expected):
    engine, events = core_engine(f"<RunOnce{then_skip}><A/></RunOnce>", {"A": "RS"})
    assert letters(engine.tick_n_times(4)) == expected
    engine.reset_tree()
    engine.tick_once()
    assert events == ["A:start", "A:run", "A:start"]


# --------------------------------------------------------------- more controls

@pytest.mark.parametrize("body, scripts, ticks, statuses, events", [
    ("<IfThenElse><C/><A/><B/></IfThenElse>", {"C": "S", "A": "RS"}, 2, "RS", "C A A"),
    ("<IfThenElse><C/><A/><B/></IfThenElse>", {"C": "F", "B": "F"}, 1, "F", "C B"),
    ("<IfThenElse><C/><A/></IfThenElse>", {"C": "F"}, 1, "F", "C"),
    # The condition is re-checked every tick; a change halts the running branch.
    ("<WhileDoElse><C/><A/><B/></WhileDoElse>", {"C": "SF", "A": "R", "B": "R"}, 2, "RR",
     "C A C A:halt B"),
    ("<WhileDoElse><C/><A/></WhileDoElse>", {"C": "SF", "A": "R"}, 2, "RF", "C A C A:halt"),
    ('<ParallelAll max_failures="2"><A/><B/><C/></ParallelAll>', {"A": "F", "B": "RF", "C": "S"}, 2, "RF",
     "A B C B"),
    ('<ParallelAll max_failures="2"><A/><B/></ParallelAll>', {"A": "F", "B": "S"}, 1, "S", "A B"),
    ('<Precondition if="go"><A/></Precondition>', {"A": "RS"}, 2, "RS", "A A"),
    ('<Precondition if="!go" else="SKIPPED"><A/></Precondition>', {}, 1, "K", ""),
])
def test_more_controls(body, scripts, ticks, statuses, events):
    engine, recorded = core_engine(body, {**dict.fromkeys("ABC", "S"), **scripts})
    engine.set_blackboard_data("go", True)
    assert letters(engine.tick_n_times(ticks)) == statuses
    short = [e.replace(":start", "").replace(":run", "") for e in recorded]
    assert " ".join(short) == events


@pytest.mark.parametrize("value, chosen", [
    ("a", "A"), (2, "B"), ("2", "B"), (2.0, "B"), (True, "D"), (None, "D"), ("c", "D"),
])
def test_switch_matches_text_and_numbers(value, chosen):
    body = '<Switch3 variable="{v}" case_1="a" case_2="2" case_3="{other}"><A/><B/><C/><D/></Switch3>'
    engine, events = core_engine(body, dict.fromkeys("ABCD", "S"))
    engine.set_blackboard_data("other", "zzz")
    engine.set_blackboard_data("v", value)
    engine.tick_once()
    assert events == [f"{chosen}:start"]


def test_switch_halts_the_branch_it_leaves():
    engine, events = core_engine('<Switch2 variable="{v}" case_1="1" case_2="2"><A/><B/><C/></Switch2>',
                                 dict.fromkeys("ABC", "R"))
    engine.set_blackboard_data("v", 1)
    engine.tick_once()
    engine.set_blackboard_data("v", 2)
    engine.tick_once()
    assert events == ["A:start", "A:halt", "B:start"]


# --------------------------------------------------------------------- SKIPPED

@pytest.mark.parametrize("body, expected", [
    ('<Sequence><A _skipIf="true"/><A _skipIf="true"/></Sequence>', "K"),
    ('<Fallback><A _skipIf="true"/><A _skipIf="true"/></Fallback>', "K"),
    ('<Parallel><A _skipIf="true"/></Parallel>', "K"),
    ('<Sequence><A _skipIf="true"/><A/></Sequence>', "S"),
    ('<Fallback><A _skipIf="true"/><A/></Fallback>', "S"),
    ('<Inverter><A _skipIf="true"/></Inverter>', "K"),
    ('<Repeat num_cycles="3"><A _skipIf="true"/></Repeat>', "K"),
])
def test_skipped_children_count_as_not_executed(body, expected):
    engine, _ = core_engine(body, {"A": "S"})
    assert letters([engine.tick_once()]) == expected


def test_a_tick_function_may_not_return_skipped():
    engine = SequentialEngine()
    engine.register_action_behavior("Skipper", lambda node: K, [])
    engine.create_tree_from_text(bt("<Skipper/>"))
    with pytest.raises(TickError, match="must return NodeStatus.SUCCESS, FAILURE or RUNNING"):
        engine.tick_once()


def test_tick_until_success_on_a_skipping_root_stops_at_max_ticks():
    engine, _ = core_engine('<AlwaysSuccess _skipIf="true"/>')
    engine.max_ticks = 7
    assert engine.tick_until_success() == 7
    assert engine.get_tree_status()["max_ticks_reached"]


# ----------------------------------------------------------- adding node types

class Counter(TreeNode):
    """A leaf that counts its ticks into the blackboard entry `out`."""

    PORTS = {"out": PortInfo("out", "object", "output")}
    REQUIRED = frozenset(PORTS)

    def tick(self):
        self.setOutput("out", (self._blackboard.get(self._keys["out"]) or 0) + 1)
        return NodeStatus.SUCCESS


def test_registered_node_type_reaches_trees_built_on_other_threads(engine, in_daemon):
    register_node_type(Counter)
    register_node_type(Counter)  # the same class again: nothing happens
    assert registered_node_types()["Counter"] is Counter

    def body():
        tid = engine.create_tree_from_text(bt('<Counter out="{n}"/>'), "counting")
        engine.tick_n_times(tid, 3)
        return engine.get_blackboard_data(tid, "n")

    assert in_daemon(body) == 3


@pytest.mark.parametrize("cls, node_id, fragment", [
    (dict, None, "must be a subclass of TreeNode"),
    (TreeNode, None, "must be a subclass of TreeNode"),
    (Counter, "Sleep", "name of a built-in node"),
    (Counter, "bad id", "XML element name"),
    (type("Counter", (TreeNode,), {}), "Counter", "already registered"),
])
def test_register_node_type_refusals(cls, node_id, fragment):
    register_node_type(Counter)
    with pytest.raises(RegistrationError, match=fragment):
        register_node_type(cls, node_id)


def test_register_node_type_from_many_threads():
    classes = [type(f"Parallel_{i}", (TreeNode,), {"tick": lambda self: NodeStatus.SUCCESS}) for i in range(40)]
    threads = [threading.Thread(target=register_node_type, args=(cls,)) for cls in classes]
    for t in threads:
        t.start()
    for t in threads:
        t.join(10)
    assert all(registered_node_types()[cls.__name__] is cls for cls in classes)


class CountdownHook(TreeNode):
    """RUNNING for one tick, then SUCCESS; the count is per-run memory."""

    def reset_run_state(self):
        self.left = 2

    def tick(self):
        self.left -= 1
        return NodeStatus.RUNNING if self.left else NodeStatus.SUCCESS


class CountdownLegacy(TreeNode):
    """The same written for the former hook name, whose body needs what __init__ sets."""

    tick = CountdownHook.tick

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.start = 2
        self.left = self.start

    def reset_state(self):
        self.left = self.start


@pytest.mark.parametrize("cls", [CountdownHook, CountdownLegacy])
def test_per_run_state_is_set_when_built_and_after_every_halt(cls):
    register_node_type(cls)
    engine = SequentialEngine()
    engine.create_tree_from_text(bt(f"<{cls.__name__}/>"))
    statuses = [engine.tick_once()]
    engine.halt_tree()
    statuses += [engine.tick_once(), engine.tick_once()]
    assert letters(statuses) == "RRS"


def test_registered_actions_take_precedence_over_later_built_in_names():
    engine = SequentialEngine()
    engine.register_action_behavior("Sleep", lambda node: NodeStatus.FAILURE, [{"name": "msec"}])
    engine.create_tree_from_text(bt('<Sleep msec="100000"/>'))
    assert engine.tick_once() is NodeStatus.FAILURE


# ------------------------------------------------------- editor metadata, models
def reader_engine(seen):
    engine = SequentialEngine()
    engine.register_action_behavior("Read", lambda n: (seen.append((n.getInputObject("goal"),
                                                                    n.getInputObject("speed"))),
                                                       NodeStatus.SUCCESS)[1],
                                    [{"name": "goal", "type": "object"}, {"name": "speed"}])
    return engine


def test_metadata_attributes_are_kept_on_the_node_and_never_ports():
    engine = reader_engine([])
    engine.create_tree_from_text(
        '<root BTCPP_format="4" main_tree_to_execute="T"><BehaviorTree ID="T">'
        '<Sequence _collapsed="true" _description="Does X" _uid="7" _fullpath="a/b" _external="x" _mine="y">'
        '<SubTree ID="Sub" _collapsed="true" _description="inner" _autoremap="true"/></Sequence></BehaviorTree>'
        '<BehaviorTree ID="Sub"><Read goal="{_description}" speed="1" _description="leaf"/></BehaviorTree></root>')
    sequence, subtree = engine._tree.root, engine._tree.root.children[0]
    assert dict(sequence.metadata) == {"_collapsed": "true", "_description": "Does X", "_uid": "7",
                                       "_fullpath": "a/b", "_external": "x", "_mine": "y"}
    assert sequence.description == "Does X" and sequence._attrs == {}
    assert subtree.description == "inner" and subtree.children[0].description == "leaf"
    assert subtree.children[0]._blackboard.snapshot() == {}  # not remapped, not set as a sub-tree port
    engine.tick_once()
    assert engine.get_all_blackboard_data() == {}


def test_a_port_named_with_an_underscore_is_refused():
    with pytest.raises(RegistrationError, match="begins with '_'"):
        SequentialEngine().register_action_behavior("A", lambda n: NodeStatus.SUCCESS, [{"name": "_hidden"}])


def test_subtree_model_defaults_apply_where_the_instance_is_silent():
    seen = []
    engine = reader_engine(seen)
    engine.set_blackboard_data("g", "from parent")
    engine.create_tree_from_text(
        '<root BTCPP_format="4" main_tree_to_execute="T"><BehaviorTree ID="T"><Sequence>'
        '<SubTree ID="Sub"/><SubTree ID="Sub" speed="5" goal="given"/></Sequence></BehaviorTree>'
        '<BehaviorTree ID="Sub"><Read goal="{goal}" speed="{speed}"/></BehaviorTree>'
        '<TreeNodesModel><SubTree ID="Sub"><input_port name="goal" default="{g}"/>'
        '<input_port name="speed" default="3"/></SubTree>'
        '<Action ID="NotRegistered"><input_port name="x"/></Action></TreeNodesModel></root>')
    engine.tick_once()
    assert seen == [("from parent", "3"), ("given", "5")]
