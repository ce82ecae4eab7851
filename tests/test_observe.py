"""Transitions, counters and blackboard writes reported by the core, and its registry of trees."""
import threading

import pytest

from brannox._bt.observe import REGISTRY, value_text
from brannox.core import NodeStatus, TreeNode, register_node_type
from brannox.engine.sequential_engine import SequentialEngine

XML = """<root BTCPP_format="4" main_tree_to_execute="Main">
  <BehaviorTree ID="Main">
    <Sequence>
      <Step name="first"/>
      <SubTree ID="Sub" out="{shared}"/>
    </Sequence>
  </BehaviorTree>
  <BehaviorTree ID="Sub">
    <Sequence><Write out="{out}"/><Step name="second"/></Sequence>
  </BehaviorTree>
</root>"""


class Collect:
    def __init__(self):
        self.transitions, self.writes, self.ticks = [], [], 0

    def on_transition(self, ev):
        self.transitions.append(ev)

    def on_blackboard(self, ev):
        self.writes.append(ev)

    def on_tick(self, counters):
        self.ticks += 1


@pytest.fixture
def core():
    results = []
    e = SequentialEngine()
    e.register_action_behavior("Step", lambda node: results.pop(0) if results else NodeStatus.SUCCESS)
    e.register_action_behavior("Write", lambda node: node.setOutput("out", [1, 2]) or NodeStatus.SUCCESS,
                               [{"name": "out", "type": "object", "direction": "output"}])
    e.create_tree_from_text(XML)
    e.results = results
    return e


def test_transitions_counters_and_detach(core):
    entry = REGISTRY.for_thread(threading.current_thread())
    assert [(n.path, n.type, n.name) for n in entry.nodes] == [
        ("/", "Sequence", "Sequence"), ("/0", "Step", "first"), ("/1", "SubTree", "Sub"),
        ("/1/0", "Sequence", "Sequence"), ("/1/0/0", "Write", "Write"), ("/1/0/1", "Step", "second")]
    plain = [type(n) for n in core._tree.nodes()]
    obs = Collect()
    REGISTRY.attach(entry, obs)
    core.results[:] = [NodeStatus.RUNNING]
    assert core.tick_once() is NodeStatus.RUNNING
    assert core.tick_once() is NodeStatus.SUCCESS
    core.results[:] = [NodeStatus.FAILURE]
    assert core.tick_once() is NodeStatus.FAILURE
    core.set_blackboard_data("k", "<b>")

    seen = [e[1:] for e in obs.transitions]
    assert seen[:2] == [(1, "IDLE", "RUNNING"), (0, "IDLE", "RUNNING")]
    assert (0, "RUNNING", "SUCCESS") in seen and (0, "SUCCESS", "FAILURE") in seen
    assert all(a[0] <= b[0] for a, b in zip(obs.transitions, obs.transitions[1:]))
    assert obs.ticks == 3
    # The sub-tree's write lands in the top blackboard through the remapping.
    assert [w[1:] for w in obs.writes] == [("shared", ("[1, 2]", "list"))] + [("k", ("'<b>'", "str"))]
    counters = entry.watch.counters()
    assert counters[0]["ticks"] == 3 and counters[0]["successes"] == 1 and counters[0]["failures"] == 1
    assert counters[1]["ticks"] == 3 and counters[1]["failures"] == 1
    assert counters[5]["ticks"] == 1 and counters[5]["halts"] == 0  # cleared by its sequence after success, not halted
    halts = counters[1]["halts"]
    core.results[:] = [NodeStatus.RUNNING]
    core.tick_once()
    core.reset_tree()  # halts the running step
    assert entry.watch.counters()[1]["halts"] == halts + 1

    REGISTRY.detach(entry, obs)
    assert [type(n) for n in core._tree.nodes()] == plain
    assert type(core._blackboard).__name__ == "Blackboard" and entry.watch is None
    before = len(obs.transitions)
    core.tick_once()
    core.set_blackboard_data("k", 1)
    assert len(obs.transitions) == before and len(obs.writes) == 2


def test_registry_matches_threadengine_trees(engine):
    engine.create_tree_from_text('<root BTCPP_format="4"><BehaviorTree ID="M"><AlwaysSuccess/></BehaviorTree></root>', "a")
    engine.tick_once("a")  # answered once the tree is built
    entry = REGISTRY.for_thread(engine.trees["a"]["thread"])
    # The registry knows the BehaviorTree ID; the engine's identifier is the
    # monitor's to add (it is given the engine).
    assert entry.label == "M" and entry.tree_id == "M" and entry.alive()
    engine.stop_tree("a")
    assert not entry.alive()


class BadRepr:
    def __repr__(self):
        raise RuntimeError("no")


@pytest.mark.parametrize("value, expected", [
    (BadRepr(), ("<repr failed: RuntimeError>", "BadRepr")),
    ("x" * 500, ("'" + "x" * 97 + "..." + "x" * 98 + "'", "str")),
    (list(range(10**6)), ("[0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, ...]", "list")),
    (None, ("None", "NoneType")),
])
def test_value_text(value, expected):
    assert value_text(value) == expected


def test_skipped_counted_by_name():
    core = SequentialEngine()
    core.create_tree_from_text('<root BTCPP_format="4"><BehaviorTree ID="M"><Sequence>'
                               '<AlwaysFailure _skipIf="skip == 1"/><AlwaysSuccess/></Sequence></BehaviorTree></root>')
    core.set_blackboard_data("skip", 1)
    entry = REGISTRY.for_thread(threading.current_thread())
    obs = Collect()
    REGISTRY.attach(entry, obs)
    try:
        assert core.tick_once() is NodeStatus.SUCCESS
        assert (1, "IDLE", "SKIPPED") in [e[1:] for e in obs.transitions]
        assert entry.watch.counters()[1]["skips"] == 1
    finally:
        REGISTRY.detach(entry, obs)


def test_label_is_given_not_guessed_from_the_thread():
    # A thread started with a string argument is not a ThreadEngine's tree thread.
    def build(_unrelated):
        SequentialEngine().create_tree_from_text('<root BTCPP_format="4"><BehaviorTree ID="Own"><AlwaysSuccess/>'
                                                 '</BehaviorTree></root>')
        box.append(REGISTRY.for_thread(threading.current_thread()))

    box = []
    t = threading.Thread(target=build, args=("not-a-label",))
    t.start()
    t.join()
    assert box[0].label == "Own"


class Flavoured(TreeNode):
    def __init_subclass__(cls, /, flavour, **kwargs):
        super().__init_subclass__(**kwargs)


class PickyLeaf(Flavoured, flavour="sour"):
    """A node class that cannot be subclassed without an argument, so it cannot be observed."""

    def tick(self):
        return NodeStatus.SUCCESS


def test_attach_is_whole_or_nothing():
    register_node_type(PickyLeaf)
    core = SequentialEngine()
    core.create_tree_from_text('<root BTCPP_format="4"><BehaviorTree ID="M"><Sequence><AlwaysSuccess/>'
                               '<PickyLeaf/></Sequence></BehaviorTree></root>')
    entry = REGISTRY.for_thread(threading.current_thread())
    nodes = core._tree.nodes()
    plain = [type(n) for n in nodes]
    for _ in range(2):  # a failed attach leaves nothing marked started: the next one fails the same way
        with pytest.raises(TypeError):
            REGISTRY.attach(entry, Collect())
        assert [type(n) for n in nodes] == plain and entry.watch is None
        assert not any("_obs" in n.__dict__ for n in nodes)
    assert core.tick_once() is NodeStatus.SUCCESS


def test_listener_fault_stays_out_of_tree_creation(caplog):
    def broken(entry):
        raise RuntimeError("listener broke")

    REGISTRY.add_listener(broken)
    try:
        core = SequentialEngine()
        for _ in range(3):
            core.create_tree_from_text('<root BTCPP_format="4"><BehaviorTree ID="M"><AlwaysSuccess/>'
                                       '</BehaviorTree></root>')
        assert core.tick_once() is NodeStatus.SUCCESS
    finally:
        REGISTRY.remove_listener(broken)
    logged = [r for r in caplog.records if "listener" in r.getMessage()]
    assert len(logged) == 1 and "listener broke" in logged[0].exc_text
