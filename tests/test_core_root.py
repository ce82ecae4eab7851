"""{@key} and @key: the root blackboard, from any depth of sub-trees."""

import threading

import pytest

from brannox._bt.observe import REGISTRY
from brannox.core import NodeStatus, TickError, TreeBuildError
from brannox.engine.sequential_engine import SequentialEngine

PORTS = [{"name": "inp", "type": "object"}, {"name": "out", "type": "object", "direction": "output"}]
# Sub is reached through Mid, so every form is tried two sub-tree levels down,
# where an entry of the root and one of the scope in between differ.
MID = '<BehaviorTree ID="Mid"><SubTree ID="Sub" {mid}/></BehaviorTree>'


def project(sub_body, mid_ports=""):
    return (f'<root BTCPP_format="4" main_tree_to_execute="T">'
            f'<BehaviorTree ID="T"><SubTree ID="Mid"/></BehaviorTree>{MID.format(mid=mid_ports)}'
            f'<BehaviorTree ID="Sub">{sub_body}</BehaviorTree></root>')


def engine_with(seen):
    engine = SequentialEngine()

    def tick(node):
        seen.append(node.getInputObject("inp"))
        node.setOutput("out", "written")
        return NodeStatus.SUCCESS

    engine.register_action_behavior("Act", tick, PORTS)
    engine.set_blackboard_data("odom", "root odom")
    return engine


@pytest.mark.parametrize("sub_body, mid_ports, read, written", [
    # A port of a node deep in sub-trees, reading and writing the root.
    ('<Act inp="{@odom}" out="{@result}"/>', "", "root odom", "result"),
    # A sub-tree port remapped onto the root, from inside a remapped sub-tree.
    ('<Act inp="{here}" out="{there}"/>', 'here="{@odom}" there="{@result}"', "root odom", "result"),
    # {@=}: the root entry called like the port.
    ('<Act inp="{@=}" out="{@=}"/>', "", None, "out"),
    # Scripts: read and write, in a Script and in a post-condition.
    ('<Sequence><Script code="@copy := @odom"/><Act inp="{@copy}" out="{x}" _onSuccess="@result := x"/>'
     '</Sequence>', "", "root odom", "result"),
    # The same key without "@" is the sub-tree's own (unset) entry, so the root's is untouched.
    ('<Act inp="{odom}" out="{result}"/>', "", None, None),
])
def test_root_entries_are_read_and_written_from_any_depth(sub_body, mid_ports, read, written):
    seen = []
    engine = engine_with(seen)
    engine.create_tree_from_text(project(sub_body, mid_ports))
    assert engine.tick_once() is NodeStatus.SUCCESS
    assert seen == [read]
    root = engine.get_all_blackboard_data()
    assert {k for k, v in root.items() if v == "written"} == ({written} if written else set())
    assert "@result" not in root and "@odom" not in root


def test_autoremap_and_pre_conditions_follow_the_root():
    engine = engine_with([])
    engine.set_blackboard_data("skip", True)
    xml = project('<Sequence><Act _skipIf="@skip" inp="x" out="{@a}"/><Act _failureIf="!@skip" inp="x" out="{@b}"/>'
                  '</Sequence>', mid_ports='_autoremap="true"')
    engine.create_tree_from_text(xml)
    assert engine.tick_once() is NodeStatus.SUCCESS
    assert engine.get_blackboard_data("a") is None and engine.get_blackboard_data("b") == "written"


def test_unset_root_entry_in_a_script_names_the_root():
    engine = engine_with([])
    engine.create_tree_from_text(project('<Script code="x := @missing"/>'))
    with pytest.raises(TickError, match="root blackboard entry 'missing' is not set"):
        engine.tick_once()


@pytest.mark.parametrize("attribute", ['inp="{@}"', 'inp="{@ }"'])
def test_empty_root_reference_is_refused(attribute):
    with pytest.raises(TreeBuildError, match="empty blackboard reference"):
        engine_with([]).create_tree_from_text(project(f'<Act {attribute} out="{{x}}"/>'))


def test_thread_engine_blackboard_calls_act_on_the_root(make_engine):
    engine = make_engine()
    engine.register_action_behavior("Act", lambda node: (node.setOutput("out", node.getInputObject("inp") * 2),
                                                         NodeStatus.SUCCESS)[1], PORTS)
    tree_id = engine.create_tree_from_text(project('<Act inp="{@n}" out="{@n2}"/>'))
    engine.set_blackboard_data(tree_id, "n", 21)
    assert engine.tick_once(tree_id) is NodeStatus.SUCCESS
    assert engine.get_blackboard_data(tree_id, "n2") == 42


def test_an_observer_sees_deep_writes_as_the_root_entry():
    engine = engine_with([])
    engine.create_tree_from_text(project('<Act inp="x" out="{@result}"/>'))
    entry, writes = REGISTRY.for_thread(threading.current_thread()), []
    observer = type("Observer", (), {"on_transition": lambda self, ev: None, "on_tick": lambda self, c: None,
                                     "on_blackboard": lambda self, ev: writes.append(ev[1])})()
    REGISTRY.attach(entry, observer)
    try:
        engine.tick_once()
    finally:
        REGISTRY.detach(entry, observer)
    assert writes == ["result"]
