"""Projects of several files: <include>, the main tree, confinement and caps."""

import os

import pytest

from brannox._bt import factory as factory_module
from brannox._bt import xmlreader
from brannox.core import BehaviorTreeFactory, NodeStatus, TreeBuildError

HEAD = '<root BTCPP_format="4"{main}>'


def doc(body, main=None):
    return HEAD.format(main=f' main_tree_to_execute="{main}"' if main else "") + body + "</root>"


def tree(tree_id, body="<AlwaysSuccess/>"):
    return f'<BehaviorTree ID="{tree_id}">{body}</BehaviorTree>'


def write(path, text):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(text)
    return path


def node_ids(built):
    return [n.tree_id for n in built.nodes() if n.node_id == "AlwaysSuccess"]


@pytest.fixture
def project(tmp_path):
    """main.xml includes lib/a.xml, which includes b.xml beside it and ../common.xml;
    common.xml is also included by main.xml (loaded once)."""
    write(tmp_path / "lib" / "a.xml", doc('<include path="b.xml"/><include path="../common.xml"/>'
                                          + tree("A", '<Sequence><SubTree ID="B"/><SubTree ID="C"/></Sequence>')))
    write(tmp_path / "lib" / "b.xml", doc(tree("B")))
    write(tmp_path / "common.xml", doc(tree("C")))
    return write(tmp_path / "main.xml", doc('<include path="lib/a.xml"/><include path="common.xml"/>'
                                            + tree("Main", '<SubTree ID="A"/>'), main="Main"))


def test_relative_nested_and_shared_includes(project):
    built = BehaviorTreeFactory().create_tree_from_file(str(project))
    assert built.tree_id == "Main" and node_ids(built) == ["B", "C"]
    assert built.tick_once() is NodeStatus.SUCCESS


def test_text_resolves_against_the_current_or_chosen_directory(project, tmp_path, monkeypatch):
    text = doc('<include path="lib/b.xml"/>', main="B")
    monkeypatch.chdir(tmp_path)
    assert BehaviorTreeFactory().create_tree_from_text(text).tree_id == "B"
    monkeypatch.chdir(tmp_path / "lib")
    with pytest.raises(TreeBuildError, match="no such file"):
        BehaviorTreeFactory().create_tree_from_text(text)
    monkeypatch.setattr(BehaviorTreeFactory, "include_directory", str(tmp_path))
    assert BehaviorTreeFactory().create_tree_from_text(text).tree_id == "B"


def test_thread_engine_runs_a_project_file(project, make_engine, monkeypatch):
    monkeypatch.chdir(project.parent)  # the engine hands the file's text on
    engine = make_engine()
    tree_id = engine.create_tree_from_file(str(project))
    assert engine.tick_once(tree_id) is NodeStatus.SUCCESS
    assert engine.get_tree_status(tree_id)["node_count"] == 6


def test_include_cycle_is_refused_naming_it(tmp_path):
    write(tmp_path / "a.xml", doc('<include path="sub/b.xml"/>' + tree("A")))
    write(tmp_path / "sub" / "b.xml", doc('<include path="../a.xml"/>' + tree("B")))
    main = write(tmp_path / "main.xml", doc('<include path="a.xml"/>' + tree("M"), main="M"))
    with pytest.raises(TreeBuildError, match=r"include cycle: a\.xml -> sub/b\.xml -> a\.xml"):
        BehaviorTreeFactory().create_tree_from_file(str(main))


@pytest.mark.parametrize("path, reason", [
    ("/etc/passwd", "absolute paths are not allowed"),
    ("../outside.xml", "leads outside"),
    ("sub/../../outside.xml", "leads outside"),
    ("link.xml", "symbolic link leads outside"),
    ("linkdir/x.xml", "symbolic link leads outside"),
    ("missing.xml", "no such file"),
    ("sub", "not a regular file"),
    ("", "needs a path"),
])
def test_includes_stay_under_the_top_level_directory(tmp_path, path, reason):
    top = tmp_path / "project"
    write(tmp_path / "outside.xml", doc(tree("X")))
    (top / "sub").mkdir(parents=True)
    os.symlink(tmp_path / "outside.xml", top / "link.xml")
    os.symlink(tmp_path, top / "linkdir")
    write(tmp_path / "x.xml", doc(tree("X")))
    main = write(top / "main.xml", doc(f'<include path="{path}"/>' + tree("M"), main="M"))
    with pytest.raises(TreeBuildError, match=reason) as err:
        BehaviorTreeFactory().create_tree_from_file(str(main))
    assert f"include {path!r} refused" in str(err.value)


def test_refusal_in_a_nested_file_names_it(tmp_path):
    write(tmp_path / "lib" / "a.xml", doc(tree("A", "<Nope/>")))
    main = write(tmp_path / "main.xml", doc('<include path="lib/a.xml"/>' + tree("M", '<SubTree ID="A"/>'), main="M"))
    with pytest.raises(TreeBuildError, match=r"unknown node type 'Nope'.*BehaviorTree 'A' of lib/a\.xml"):
        BehaviorTreeFactory().create_tree_from_file(str(main))
    write(tmp_path / "lib" / "a.xml", "<root BTCPP_format='4'><BehaviorTree ID='A'>")
    with pytest.raises(TreeBuildError, match=r"malformed XML.*\(in included file lib/a\.xml\)"):
        BehaviorTreeFactory().create_tree_from_file(str(main))


@pytest.mark.parametrize("cap_module, cap, value", [
    (factory_module, "MAX_TREE_NODES", 15),
    (xmlreader, "MAX_XML_ELEMENTS", 20),
    (factory_module, "MAX_PROJECT_BYTES", 400),
])
def test_caps_count_every_file_together(tmp_path, monkeypatch, cap_module, cap, value):
    body = "<Sequence>" + "<AlwaysSuccess/>" * 9 + "</Sequence>"  # 10 nodes, ~200 bytes
    write(tmp_path / "a.xml", doc(tree("A", body)))
    write(tmp_path / "b.xml", doc(tree("B", body)))
    monkeypatch.setattr(cap_module, cap, value)
    one = write(tmp_path / "one.xml", doc('<include path="a.xml"/>', main="A"))
    BehaviorTreeFactory().create_tree_from_file(str(one))
    both = write(tmp_path / "both.xml", doc('<include path="a.xml"/><include path="b.xml"/>', main="A"))
    with pytest.raises(TreeBuildError, match="more than"):
        BehaviorTreeFactory().create_tree_from_file(str(both))


def test_several_trees_without_a_main_one_say_how_to_choose(tmp_path):
    with pytest.raises(TreeBuildError) as err:
        BehaviorTreeFactory().create_tree_from_text(doc(tree("Alpha") + tree("Beta")))
    message = str(err.value)
    assert "several BehaviorTrees (Alpha, Beta)" in message and 'main_tree_to_execute="Alpha"' in message
    assert '<include path="FILE.xml"/>' in message
    # A top-level file with one tree of its own runs it; its includes are libraries.
    write(tmp_path / "lib.xml", doc(tree("L1") + tree("L2")))
    main = write(tmp_path / "main.xml", doc('<include path="lib.xml"/>' + tree("Own", '<SubTree ID="L2"/>')))
    assert BehaviorTreeFactory().create_tree_from_file(str(main)).tree_id == "Own"


@pytest.mark.parametrize("element, fragment", [
    ('<include path="a.xml" ros_pkg="pkg"/>', "ros_pkg is not supported"),
    ('<include path="a.xml"><x/></include>', "cannot have child elements"),
])
def test_malformed_includes(tmp_path, element, fragment):
    write(tmp_path / "a.xml", doc(tree("A")))
    main = write(tmp_path / "main.xml", doc(element + tree("M"), main="M"))
    with pytest.raises(TreeBuildError, match=fragment):
        BehaviorTreeFactory().create_tree_from_file(str(main))
