"""Node semantics, running/halting, sub-trees, ports and the engine API."""

import threading

import pytest

from brannox.core import NodeStatus, PortError, TickError
from brannox.engine.sequential_engine import SequentialEngine
from brannox.nodes.action_node import SimpleActionNode

S, F, R, I = NodeStatus.SUCCESS, NodeStatus.FAILURE, NodeStatus.RUNNING, NodeStatus.IDLE
LETTER = {"S": S, "F": F, "R": R}


def tree(body, extra=""):
    return f'<root BTCPP_format="4"><BehaviorTree ID="T">{body}</BehaviorTree>{extra}</root>'


def scripted(scripts):
    """Engine with actions that return scripted statuses ('SRF'; the last one repeats)."""
    engine, calls = SequentialEngine(), []
    for action_id, script in scripts.items():
        queue = list(script)

        def tick(node, action_id=action_id, queue=queue):
            calls.append(action_id)
            return LETTER[queue.pop(0) if len(queue) > 1 else queue[0]]

        engine.register_action_behavior(action_id, tick, [])
    return engine, calls


def run(engine, n):
    return "".join(s.name[0] for s in engine.tick_n_times(n))


@pytest.mark.parametrize("body, scripts, ticks, statuses, calls", [
    ("<Sequence><A/><B/></Sequence>", {"A": "S", "B": "RS"}, 2, "RS", "ABB"),
    ("<Sequence><A/><B/></Sequence>", {"A": "S", "B": "F"}, 2, "FF", "ABAB"),
    ("<SequenceWithMemory><A/><B/></SequenceWithMemory>", {"A": "S", "B": "FS"}, 2, "FS", "ABB"),
    ("<ReactiveSequence><A/><B/></ReactiveSequence>", {"A": "S", "B": "RS"}, 2, "RS", "ABAB"),
    ("<Fallback><A/><B/></Fallback>", {"A": "F", "B": "RS"}, 2, "RS", "ABB"),
    ("<Fallback><A/><B/></Fallback>", {"A": "F", "B": "F"}, 1, "F", "AB"),
    ("<ReactiveFallback><A/><B/></ReactiveFallback>", {"A": "FS", "B": "R"}, 2, "RS", "ABA"),
    ("<Parallel><A/><B/></Parallel>", {"A": "S", "B": "RS"}, 2, "RS", "ABB"),
    ('<Parallel success_count="1"><A/><B/></Parallel>', {"A": "R", "B": "S"}, 1, "S", "AB"),
    ('<Parallel success_count="1" failure_count="2"><A/><B/></Parallel>', {"A": "F", "B": "RF"}, 2, "RF", "ABB"),
    ('<Parallel failure_count="-1"><A/><B/></Parallel>', {"A": "F", "B": "S"}, 1, "F", "A"),
    ('<Parallel success_count="1" failure_count="-1"><A/><B/></Parallel>', {"A": "F", "B": "F"}, 1, "F", "AB"),
    ("<Inverter><A/></Inverter>", {"A": "SFR"}, 3, "FSR", "AAA"),
    ("<ForceSuccess><A/></ForceSuccess>", {"A": "FR"}, 2, "SR", "AA"),
    ("<ForceFailure><A/></ForceFailure>", {"A": "SR"}, 2, "FR", "AA"),
    ('<Repeat num_cycles="3"><A/></Repeat>', {"A": "S"}, 1, "S", "AAA"),
    ('<Repeat num_cycles="3"><A/></Repeat>', {"A": "SF"}, 1, "F", "AA"),
    ('<Repeat num_cycles="2"><A/></Repeat>', {"A": "RSS"}, 2, "RS", "AAA"),
    ('<Repeat num_cycles="-1"><A/></Repeat>', {"A": "S"}, 3, "RRR", "AAA"),
    ('<RetryUntilSuccessful num_attempts="3"><A/></RetryUntilSuccessful>', {"A": "F"}, 1, "F", "AAA"),
    ('<RetryUntilSuccessful num_attempts="3"><A/></RetryUntilSuccessful>', {"A": "RFS"}, 2, "RS", "AAA"),
    ("<KeepRunningUntilFailure><A/></KeepRunningUntilFailure>", {"A": "SSF"}, 3, "RRF", "AAA"),
    ("<Sequence><AlwaysSuccess/><AlwaysFailure/><A/></Sequence>", {"A": "S"}, 1, "F", ""),
])
def test_node_semantics(body, scripts, ticks, statuses, calls):
    engine, log = scripted(scripts)
    engine.create_tree_from_text(tree(body))
    assert run(engine, ticks) == statuses
    assert "".join(log) == calls


def test_reactive_sequence_halts_the_preempted_child():
    engine, _ = scripted({"A": "SR", "B": "R"})
    engine.create_tree_from_text(tree("<ReactiveSequence><A/><B/></ReactiveSequence>"))
    engine.tick_once()
    assert [n.status for n in engine._tree.root.children] == [I, R]
    engine.tick_once()
    assert [n.status for n in engine._tree.root.children] == [R, I]


def test_reset_halts_running_nodes_and_restarts():
    engine, log = scripted({"A": "S", "B": "R"})
    engine.create_tree_from_text(tree('<Sequence><A/><Repeat num_cycles="2"><B/></Repeat></Sequence>'))
    assert run(engine, 2) == "RR" and log == ["A", "B", "B"]
    engine.reset_tree()
    assert all(n.status is I for n in engine._tree.nodes())
    assert engine.get_tree_status()["root_status"] is I and engine.get_tree_status()["tick_count"] == 0
    engine.tick_once()
    assert log[-2:] == ["A", "B"]


SUB = '<BehaviorTree ID="Sub"><SetBlackboard value="{inner}" output_key="{out}"/></BehaviorTree>'


@pytest.mark.parametrize("call, expected", [
    ('<SubTree ID="Sub" inner="{x}" out="{y}"/>', "from-root"),
    ('<SubTree ID="Sub" inner="literal" out="{y}"/>', "literal"),
    ('<SubTree ID="Sub" inner="{=}" out="{y}" _autoremap="false"/>', "auto"),
    ('<SubTree ID="Sub" out="{y}" _autoremap="true"/>', "auto"),
])
def test_subtree_remapping(call, expected):
    engine = SequentialEngine()
    engine.set_blackboard_data("x", "from-root")
    engine.set_blackboard_data("inner", "auto")
    xml = tree(call, SUB).replace("<root ", '<root main_tree_to_execute="T" ')
    engine.create_tree_from_text(xml)
    assert engine.tick_once() is S
    data = engine.get_all_blackboard_data()
    assert data["y"] == expected and "out" not in data


def test_subtree_without_remap_cannot_see_parent():
    engine = SequentialEngine()
    engine.set_blackboard_data("inner", "x")
    engine.create_tree_from_text(tree('<SubTree ID="Sub"/>', SUB).replace("<root ", '<root main_tree_to_execute="T" '))
    with pytest.raises(TickError, match=r"'inner'.*not set"):
        engine.tick_once()


DEMO = """
    <root BTCPP_format="4">
        <BehaviorTree ID="MainTree">
            <Sequence name="root_sequence">
                <CreateAgentOllama model_id="qwen3:30b" agent="{agent}" description="You are an enthusiastic news reporter with a flair for storytelling!"/>
                    <KeepRunningUntilFailure>  
                        <Sequence>
                            <GetStreamResponse 
                            \tagent="{agent}" 
                            \tinstructions="{instructions}" 
                            \tuser_input="{user_input}" 
                            \tresponse_stream="{response_stream}"/>     
                        </Sequence>
                    </KeepRunningUntilFailure>
            </Sequence>
        </BehaviorTree>
    </root>
"""


def port(name, type_, direction):
    return {"name": name, "type": type_, "direction": direction, "description": ""}


def test_demo_tree():
    seen = []

    class CreateAgentOllama(SimpleActionNode):
        ports = [port("model_id", "string", "input"), port("description", "string", "input"),
                 port("agent", "object", "output")]

        @staticmethod
        def tick(node):
            seen.append((node.name, node.getInputString("model_id")))
            node.setOutput("agent", {"model": node.getInputString("model_id")})
            return S

    def stream(node):
        seen.append((node.getInputObject("agent"), node.getInputObject("instructions"), node.getInputString("user_input")))
        node.setOutput("response_stream", ["chunk"])
        return S

    engine = SequentialEngine()
    engine.register_action_class(CreateAgentOllama)
    engine.register_action_behavior("GetStreamResponse", stream, [
        port("agent", "object", "input"), port("instructions", "object", "input"),
        port("response_stream", "object", "output"), port("user_input", "string", "input")])
    engine.create_tree_from_text(DEMO)
    engine.set_blackboard_data("user_input", 42)
    assert engine.tick_n_times(2) == [R, R]
    assert seen == [("CreateAgentOllama", "qwen3:30b"), ({"model": "qwen3:30b"}, None, "42"),
                    ({"model": "qwen3:30b"}, None, "42")]
    assert engine.get_blackboard_data("response_stream") == ["chunk"]
    assert engine.get_tree_status()["tick_count"] == 2


@pytest.mark.parametrize("call, error", [
    ("getInputString('unset')", "not set in the XML"),
    ("getInputString('ref')", "'missing', which has no value"),
    ("getInputString('nope')", "has no port 'nope'"),
    ("setOutput('lit', 1)", "input port"),
    ("setOutput('out', 1)", "not connected"),
])
def test_port_errors_name_node_and_port(call, error):
    engine = SequentialEngine()
    engine.register_action_behavior("P", lambda node: eval("node." + call) or S, [
        port("unset", "string", "input"), port("ref", "string", "input"), port("lit", "string", "input"),
        port("out", "object", "output")])
    engine.create_tree_from_text(tree('<P name="probe" ref="{missing}" lit="x"/>'))
    with pytest.raises(TickError, match="probe") as info:
        engine.tick_once()
    assert isinstance(info.value.__cause__, PortError) and error in str(info.value)


def test_tick_loops_and_limits():
    engine, _ = scripted({"A": "RRS"})
    engine.create_tree_from_text(tree("<A/>"))
    assert engine.tick_until_success() == 3
    assert engine.tick_n_times(0) == [] and engine.tick_n_times(-2) == []
    engine.max_ticks = 4
    assert engine.tick_until_failure() == 4
    assert engine.get_tree_status()["max_ticks_reached"] is True
    assert SequentialEngine.max_ticks == 10_000


def test_blackboard_accessors_return_copies():
    engine = SequentialEngine()
    assert engine.get_blackboard_data("nothing") is None
    engine.set_blackboard_data("k", [1])
    engine.get_all_blackboard_data()["k"] = "changed"
    assert engine.get_blackboard_data("k") == [1]


def test_engines_on_threads_are_independent():
    results = {}

    def worker(i):
        engine = SequentialEngine()
        engine.register_action_behavior("Count", lambda node: node.setOutput("n", i) or S,
                                        [port("n", "object", "output")])
        engine.create_tree_from_text(tree('<Repeat num_cycles="50"><Count n="{n}"/></Repeat>'))
        results[i] = (engine.tick_until_success(), engine.get_blackboard_data("n"))

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == {i: (1, i) for i in range(8)}
