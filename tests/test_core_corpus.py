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


def survey(path):
    """(main tree or None, trees, models, {app node id: (attribute names, has children)}, sub-tree ids used)."""
    doc = ElementTree.parse(path).getroot()
    trees = [t.get("ID") for t in doc.findall("BehaviorTree")]
    models = {m.get("ID"): {p.get("name"): p.tag for p in m} for model in doc.findall("TreeNodesModel") for m in model}
    app, used = {}, set()
    for tree in doc.findall("BehaviorTree"):
        for el in list(tree.iter())[1:]:
            kind = el.get("ID") if el.tag in GENERIC else el.tag
            if kind == "SubTree":
                used.add(el.get("ID"))
            elif kind not in FORMAT_NODES:
                names, children = app.get(kind, (set(), False))
                names |= {a for a in el.attrib if a not in ("name", "ID") and not a.startswith("_")}
                app[kind] = (names, children or len(el) > 0)
    return doc.get("main_tree_to_execute"), trees, models, app, used


@pytest.fixture(scope="module")
def controls():
    """Stub classes for the applications' nodes with children (node types are process-wide)."""
    wanted = {}
    for path in FILES:
        for node_id, (names, children) in survey(path)[3].items():
            if children:
                wanted.setdefault(node_id, set()).update(names)
    for node_id, names in wanted.items():
        if node_id not in _stub_controls:
            ports = {p: PortInfo(p, "object") for p in sorted(names)}
            _stub_controls[node_id] = type(node_id, (Sequence,), {"PORTS": ports})
            register_node_type(_stub_controls[node_id])


_stub_controls = {}


@pytest.mark.parametrize("path", FILES, ids=[p.name for p in FILES])
def test_corpus_file_builds_and_ticks(path, controls, make_engine, monkeypatch):
    main, trees, models, app, used = survey(path)
    engine = make_engine()
    for node_id, (names, children) in app.items():
        model = models.get(node_id)  # when there is one, the registration must agree with it
        if not children:
            engine.register_action_behavior(node_id, lambda node: SUCCESS, [
                {"name": p, "type": "object", "direction": "output" if model.get(p) == "output_port" else "input"}
                if model else {"name": p, "type": "object"} for p in sorted(names if model is None else model)])
    missing = sorted(used - set(trees))
    if not missing and (main or len(trees) == 1):
        tree_id = engine.create_tree_from_file(str(path))
    else:
        # A top-level document that includes the file, names the tree the
        # application runs (else the first one no other uses) and stubs the
        # sub-trees the application loads from elsewhere.
        monkeypatch.chdir(CORPUS)
        main = main or next(t for t in trees if t not in used)
        stubs = "".join(f'<BehaviorTree ID="{t}"><AlwaysSuccess/></BehaviorTree>' for t in missing)
        tree_id = engine.create_tree_from_text(
            f'<root BTCPP_format="4" main_tree_to_execute="{main}"><include path="{path.name}"/>{stubs}</root>')
    expected = NEEDS_APPLICATION_ENTRIES.get(path.name)
    if expected is None:
        assert all(isinstance(s, NodeStatus) for s in engine.tick_n_times(tree_id, 3))
    else:
        with pytest.raises(RuntimeError, match=expected):
            engine.tick_once(tree_id)
