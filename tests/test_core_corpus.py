"""Trees written for other applications of the format, run as written.

The files live in the shared folder next to the repository (never copied into
it); each one is built and ticked through a ThreadEngine with only the
applications' own node types stubbed: leaves as SUCCESS actions, nodes with
children as a Sequence. Sub-trees that an application loads from files not in
the folder are stubbed in a short top-level document that includes the file.
"""

import os
import pathlib
from xml.etree import ElementTree

import pytest

from brannox._bt.builtins import BUILTIN_NODES, LATER_BUILTIN_NODES, Sequence
from brannox.core import NodeStatus, PortInfo, register_node_type

CORPUS = pathlib.Path(os.environ.get(
    "BRANNOX_REALWORLD_XML", pathlib.Path(__file__).resolve().parents[1].parent / "shared" / "realworld-xml"))
FILES = sorted(CORPUS.glob("*.xml")) if CORPUS.is_dir() else []
pytestmark = pytest.mark.skipif(
    not FILES, reason=f"the real-world corpus is not at {CORPUS} (set BRANNOX_REALWORLD_XML to its folder)")

# The format's own node types: everything else a file uses is its application's.
FORMAT_NODES = set(BUILTIN_NODES) | set(LATER_BUILTIN_NODES) | {"SubTree"}
GENERIC = {"Action", "Condition", "Control", "Decorator"}
# These read, in scripts, entries their applications set before the first tick
# (parameters of the run); the first one read is named.
NEEDS_APPLICATION_ENTRIES = {
    "12-husarion-lights.xml": "blackboard entry 'current_error_anim_id' is not set",
    "13-husarion-safety.xml": "blackboard entry 'battery_health' is not set",
    "17-moveit-plan-execute-position-only.xml": "blackboard entry 'execute_trajectories' is not set",
    "22-moveit-errorcheck-vector-size.xml": "blackboard entry 'vector_size' is not set",
    # Its HasParameter stub succeeds without the parameter the application sets.
    "38-autoapms-simple-skill-tree.xml": "root blackboard entry 'msg' is not set",
}
SUCCESS = NodeStatus.SUCCESS


def node_type(el):
    return el.get("ID") if el.tag in GENERIC else el.tag


def survey(path):
    """(trees, models, {app node id: (attribute names, has children)}, sub-tree ids used)."""
    doc = ElementTree.parse(path).getroot()
    trees = [t.get("ID") for t in doc.findall("BehaviorTree")]
    models = {m.get("ID"): {p.get("name"): p.tag for p in m} for model in doc.findall("TreeNodesModel") for m in model}
    app, used = {}, set()
    for tree in doc.findall("BehaviorTree"):
        for el in tree.iter():
            kind = node_type(el)
            if el is tree:
                continue
            if kind == "SubTree":
                used.add(el.get("ID"))
            elif kind not in FORMAT_NODES:
                names, children = app.get(kind, (set(), False))
                names |= {a for a in el.attrib if a not in ("name", "ID") and not a.startswith("_")}
                app[kind] = (names, children or len(el) > 0)
    return trees, models, app, used


def stub_control(node_id, ports):
    cls = type(node_id, (Sequence,), {"PORTS": {p: PortInfo(p, "object") for p in ports}})
    return cls


_stub_controls = {}


@pytest.fixture(scope="module")
def controls():
    """One stub class per application control (node types are registered process-wide)."""
    wanted = {}
    for path in FILES:
        for node_id, (names, children) in survey(path)[2].items():
            if children:
                wanted.setdefault(node_id, set()).update(names)
    for node_id, names in wanted.items():
        if node_id not in _stub_controls:
            _stub_controls[node_id] = stub_control(node_id, sorted(names))
            register_node_type(_stub_controls[node_id])
    return _stub_controls


def main_tree(path, trees, used):
    """The tree the application would run: the file's choice, else the first one no other uses."""
    main = ElementTree.parse(path).getroot().get("main_tree_to_execute")
    return main or next(t for t in trees if t not in used)


@pytest.mark.parametrize("path", FILES, ids=[p.name for p in FILES])
def test_corpus_file_builds_and_ticks(path, controls, make_engine, monkeypatch):
    trees, models, app, used = survey(path)
    engine = make_engine()
    for node_id, (names, children) in app.items():
        if children:
            continue
        model = models.get(node_id)
        ports = names if model is None else model  # an entry must agree with the registration
        direction = {"output_port": "output"}
        engine.register_action_behavior(node_id, lambda node: SUCCESS, [
            {"name": p, "type": "object", "direction": direction.get(model.get(p), "input") if model else "input"}
            for p in sorted(ports)
        ])
    missing = sorted(used - set(trees))
    has_main = ElementTree.parse(path).getroot().get("main_tree_to_execute") is not None
    if not missing and (has_main or len(trees) == 1):
        tree_id = engine.create_tree_from_file(str(path))
    else:
        # Chosen and completed by a top-level document that includes the file.
        monkeypatch.chdir(CORPUS)
        stubs = "".join(f'<BehaviorTree ID="{t}"><AlwaysSuccess/></BehaviorTree>' for t in missing)
        tree_id = engine.create_tree_from_text(
            f'<root BTCPP_format="4" main_tree_to_execute="{main_tree(path, trees, used)}">'
            f'<include path="{path.name}"/>{stubs}</root>')
    expected = NEEDS_APPLICATION_ENTRIES.get(path.name)
    if expected is None:
        statuses = engine.tick_n_times(tree_id, 3)
        assert all(isinstance(s, NodeStatus) for s in statuses)
    else:
        with pytest.raises(Exception, match=expected):
            engine.tick_once(tree_id)
