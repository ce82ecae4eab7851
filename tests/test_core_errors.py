"""Errors a user can act on, hostile XML, and size limits."""

import os
import subprocess
import sys

import pytest

from brannox.core import (
    MAX_TREE_DEPTH,
    MAX_TREE_NODES,
    NodeStatus,
    RegistrationError,
    TickError,
    TreeBuildError,
    XMLParseError,
)
from brannox.engine.sequential_engine import SequentialEngine

PORTS = [{"name": "goal", "type": "string", "direction": "input", "description": ""},
         {"name": "out", "type": "object", "direction": "output", "description": ""}]


def engine_with_act(tick=lambda node: NodeStatus.SUCCESS):
    engine = SequentialEngine()
    engine.register_action_behavior("Act", tick, PORTS)
    return engine


def doc(*trees, main=None):
    head = f'<root BTCPP_format="4"{f" main_tree_to_execute={chr(34)}{main}{chr(34)}" if main else ""}>'
    return head + "\n" + "\n".join(f'<BehaviorTree ID="{i}">\n{b}\n</BehaviorTree>' for i, b in trees) + "\n</root>"


@pytest.mark.parametrize("xml, exc, fragment, line", [
    ('<root BTCPP_format="4">\n<BehaviorTree ID="T"><Sequence></BehaviorTree></root>', XMLParseError, "malformed", 2),
    ('<root BTCPP_format="4"/>', TreeBuildError, "no <BehaviorTree>", 1),
    ('<root BTCPP_format="3"><BehaviorTree ID="T"><Act/></BehaviorTree></root>', TreeBuildError, "not supported", 1),
    ('<trees><BehaviorTree ID="T"><Act/></BehaviorTree></trees>', TreeBuildError, "must be <root>", 1),
    (doc(("T", "<Sequence>\n  <Moove/>\n</Sequence>")), TreeBuildError, "unknown node type 'Moove'", 4),
    ("\n\n  " + doc(("T", "<Nope/>")), TreeBuildError, "unknown node type 'Nope'", 5),
    (doc(("T", "<SubTree/>")), TreeBuildError, "needs an ID", 3),
    (doc(("T", "<Action goal='x'/>")), TreeBuildError, "needs an ID", 3),
    ('<root BTCPP_format="4"><BehaviorTree><Act/></BehaviorTree></root>', TreeBuildError, "needs an ID", 1),
    (doc(("T", '<Act goal="x" speed="3"/>')), TreeBuildError, "no port named 'speed'", 3),
    (doc(("T", '<Act out="literal"/>')), TreeBuildError, "must name a blackboard entry", 3),
    (doc(("T", '<Repeat num_cycles="three"><Act/></Repeat>')), TreeBuildError, "must be an integer", 3),
    (doc(("T", '<RetryUntilSuccessful num_attempts="-2"><Act/></RetryUntilSuccessful>')), TreeBuildError, ">= -1", 3),
    (doc(("T", '<Parallel success_count="3"><Act/><Act/></Parallel>')), TreeBuildError, "does not fit 2", 3),
    (doc(("T", "<Repeat><Act/></Repeat>")), TreeBuildError, "needs port(s) num_cycles", 3),
    (doc(("T", "<Inverter><Act/><Act/></Inverter>")), TreeBuildError, "exactly 1 child", 3),
    (doc(("T", "<Sequence/>")), TreeBuildError, "at least 1 child", 3),
    (doc(("T", "<Act><Act/></Act>")), TreeBuildError, "is a leaf", 3),
    (doc(("T", '<SubTree ID="Nowhere"/>')), TreeBuildError, "'Nowhere', which does not exist", 3),
    (doc(("T", '<SubTree ID="A"/>'), ("A", '<SubTree ID="B"/>'), ("B", '<SubTree ID="A"/>'), main="T"),
     TreeBuildError, "includes itself: T -> A -> B -> A", 9),
    (doc(("T", "<Act/>"), ("U", "<Act/>")), TreeBuildError, "set main_tree_to_execute", 1),
    (doc(("T", "<Act/>"), main="Other"), TreeBuildError, "names 'Other'", 1),
    (doc(("T", "<Acct/>")), TreeBuildError, "'Acct'; did you mean Act?; register its tick function with "
                                            "register_action_behavior", 3),
    (doc(("T", "<LoopDoubel><Act/></LoopDoubel>")), TreeBuildError, "did you mean LoopDouble, LoopBool?; a "
                                                                    "node with children is a TreeNode subclass added with "
                                                                    "register_node_type", 3),
    (doc(("T", '<Act _description="kept" _autoremap="true"/>')), TreeBuildError, "no port named '_autoremap'", 3),
    (doc(("T", "<Act/>")).replace("</root>", '<TreeNodesModel><Action ID="Act"><input_port name="goal"/>'
                                             "</Action></TreeNodesModel></root>"),
     TreeBuildError, "entry 'Act' declares ports goal (input), but the registered action 'Act' has goal (input), "
                     "out (output)", 5),
    (doc(("T", "<Act/>")).replace("</root>", '<TreeNodesModel><Action ID="Act"><output_port name="goal"/>'
                                             '<inout_port name="out"/></Action></TreeNodesModel></root>'),
     TreeBuildError, "declares ports goal (output), out (inout)", 5),
])
def test_build_errors_name_element_and_line(xml, exc, fragment, line):
    engine = engine_with_act()
    with pytest.raises(exc) as info:
        engine.create_tree_from_text(xml)
    assert fragment in str(info.value)
    assert info.value.line == line and f"line {line}" in str(info.value)


def test_failed_load_keeps_the_previous_tree():
    engine = engine_with_act()
    engine.create_tree_from_text(doc(("T", '<Act goal="x"/>')))
    with pytest.raises(TreeBuildError):
        engine.create_tree_from_text(doc(("T", "<Nope/>")))
    assert engine.tick_once() is NodeStatus.SUCCESS


@pytest.mark.parametrize("action_id, tick, ports, fragment", [
    ("Act", lambda n: None, [], "already registered"),
    ("Sequence", lambda n: None, [], "built-in"),
    ("two words", lambda n: None, [], "XML element name"),
    ("New", "not callable", [], "not callable"),
    ("New", lambda n: None, {"name": "x"}, "must be a list"),
    ("New", lambda n: None, [{"type": "string"}], "needs a non-empty \"name\""),
    ("New", lambda n: None, [{"name": "x", "type": "int"}], "type must be one of"),
    ("New", lambda n: None, [{"name": "x", "direction": "sideways"}], "direction must be one of"),
    ("New", lambda n: None, [{"name": "x"}, {"name": "x"}], "twice"),
    ("New", lambda n: None, [{"name": "name"}], "reserved"),
])
def test_registration_errors(action_id, tick, ports, fragment):
    with pytest.raises(RegistrationError, match=fragment.replace("(", r"\(")):
        engine_with_act().register_action_behavior(action_id, tick, ports)


def _raise(node):
    raise ValueError("boom")


@pytest.mark.parametrize("tick, fragment", [
    (_raise, "raised ValueError: boom"),
    (lambda node: None, "returned None"),
    (lambda node: "SUCCESS", "returned 'SUCCESS'"),
    (lambda node: NodeStatus.IDLE, "returned <NodeStatus.IDLE"),
])
def test_bad_tick_functions_name_node_and_tree_and_halt_the_tree(tick, fragment):
    engine = SequentialEngine()
    engine.register_action_behavior("Act", lambda node: NodeStatus.RUNNING, [])
    engine.register_action_behavior("Bad", tick, [])
    engine.create_tree_from_text(doc(("Main", '<Parallel><Act/><Bad name="culprit"/></Parallel>')))
    with pytest.raises(TickError) as info:
        engine.tick_once()
    message = str(info.value)
    assert fragment in message and "'culprit' (Bad)" in message and "tree 'Main'" in message
    assert engine.get_tree_status()["root_status"] is NodeStatus.IDLE


@pytest.mark.parametrize("prolog", [
    '<!DOCTYPE root [<!ENTITY a "aaaaaaaaaa"><!ENTITY b "&a;&a;&a;&a;&a;&a;&a;&a;">]>',
    '<!DOCTYPE root SYSTEM "{path}">',
    '<!DOCTYPE root [<!ENTITY secret SYSTEM "file://{path}">]>',
    '<!DOCTYPE root [<!ENTITY % p SYSTEM "file://{path}"> %p;]>',
])
def test_dtds_and_entities_are_refused_without_reading_files(prolog, tmp_path):
    secret = tmp_path / "secret.txt"
    secret.write_text("TOP-SECRET")
    xml = prolog.format(path=secret) + '\n<root BTCPP_format="4"><BehaviorTree ID="T"><Act goal="&b;"/></BehaviorTree></root>'
    with pytest.raises(XMLParseError, match="DOCTYPE") as info:
        engine_with_act().create_tree_from_text(xml)
    assert "TOP-SECRET" not in str(info.value)


def test_undefined_entity_is_a_parse_error():
    with pytest.raises(XMLParseError, match="undefined entity"):
        engine_with_act().create_tree_from_text(doc(("T", '<Act goal="&x;"/>')))


def nested(levels):
    return "<Inverter>" * (levels - 1) + "<AlwaysFailure/>" + "</Inverter>" * (levels - 1)


def test_depth_limit():
    engine = SequentialEngine()
    engine.create_tree_from_text(doc(("T", nested(MAX_TREE_DEPTH))))
    assert engine.tick_once() is (NodeStatus.SUCCESS if MAX_TREE_DEPTH % 2 == 0 else NodeStatus.FAILURE)
    with pytest.raises(TreeBuildError, match=f"deeper than {MAX_TREE_DEPTH}"):
        engine.create_tree_from_text(doc(("T", nested(MAX_TREE_DEPTH + 1))))
    with pytest.raises(TreeBuildError, match="deeper than"):
        engine.create_tree_from_text(doc(("T", nested(200_000))))


def test_wide_trees_work_and_exploding_subtrees_are_capped():
    engine = SequentialEngine()
    engine.create_tree_from_text(doc(("T", "<Sequence>" + "<AlwaysSuccess/>" * 20_000 + "</Sequence>")))
    assert engine.tick_once() is NodeStatus.SUCCESS
    fan = '<Sequence>' + '<SubTree ID="L{}"/>' * 10 + "</Sequence>"
    layers = [(f"L{i}", fan.format(*[i + 1] * 10)) for i in range(6)] + [("L6", "<AlwaysSuccess/>")]
    with pytest.raises(TreeBuildError, match=f"more than {MAX_TREE_NODES} nodes"):
        engine.create_tree_from_text(doc(*layers, main="L0"))


# Run in a child interpreter so the peak memory measured is this refusal's alone.
_REFUSE_HUGE = r"""
import resource, sys
from brannox.core import BehaviorTreeFactory, XMLParseError
body = {body}
text = '<root BTCPP_format="4"><BehaviorTree ID="M"><Sequence>' + body + '</Sequence></BehaviorTree></root>'
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
try:
    BehaviorTreeFactory().create_tree_from_text(text)
except XMLParseError as exc:
    print(exc)
print((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) // 1024)
"""


@pytest.mark.parametrize("body, fragment", [
    ('"<AlwaysSuccess/>" * (2 << 20)', f"holds more than {MAX_TREE_NODES} nodes"),
    ('"<AlwaysSuccess name=\'" + "x" * (32 << 20) + "\'/>"', "longer than 8388608 bytes"),
    ('"<AlwaysSuccess name=\'" + "x" * ((4 << 20) + 1) + "\'/>"', "attribute 'name' is longer than 4194304 characters"),
], ids=["32mb_of_elements", "32mb_attribute", "long_attribute"])
def test_huge_documents_are_refused_while_parsing(body, fragment):
    proc = subprocess.run([sys.executable, "-c", _REFUSE_HUGE.format(body=body)],
                          capture_output=True, text=True, timeout=60)
    message, extra_mib = proc.stdout.splitlines()
    assert fragment in message
    if "asan" not in os.environ.get("LD_PRELOAD", ""):  # the sanitizer's allocator keeps freed memory
        assert int(extra_mib) < 50


# A tick must end: loops inside one tick are capped, and the loop at fault is named.
_ENDLESS_TICK = r"""
import time
from brannox.core import TickError
from brannox.engine.sequential_engine import SequentialEngine
engine = SequentialEngine()
engine.create_tree_from_text('<root BTCPP_format="4"><BehaviorTree ID="T"><Repeat num_cycles="1000000">'
                             '<Repeat name="inner" num_cycles="1000000"><AlwaysSuccess/></Repeat>'
                             '</Repeat></BehaviorTree></root>')
try:
    engine.tick_once()
except TickError as exc:
    print(exc)
print(engine.get_tree_status()["root_status_name"])
"""


def test_a_tick_that_loops_for_ever_fails_naming_the_loop():
    proc = subprocess.run([sys.executable, "-c", _ENDLESS_TICK], capture_output=True, text=True, timeout=60)
    message, status = proc.stdout.splitlines()
    assert "node 'inner' (Repeat)" in message and "max_node_ticks=1000000" in message, proc.stderr
    assert status == "IDLE"  # the tree was halted


@pytest.mark.parametrize("body, cap, expected", [
    ('<Repeat num_cycles="10"><Sequence><AlwaysSuccess/><AlwaysSuccess/></Sequence></Repeat>', 30, NodeStatus.SUCCESS),
    ('<Repeat num_cycles="11"><Sequence><AlwaysSuccess/><AlwaysSuccess/></Sequence></Repeat>', 30, "'Repeat'"),
    ('<RetryUntilSuccessful name="retry" num_attempts="50"><AlwaysFailure/></RetryUntilSuccessful>', 40, "'retry'"),
    ('<Repeat num_cycles="-1"><AlwaysSuccess/></Repeat>', 1, NodeStatus.RUNNING),  # one round per tick
])
def test_the_work_cap_of_one_tick_is_adjustable(body, cap, expected):
    engine = SequentialEngine()
    engine.max_node_ticks = cap
    engine.create_tree_from_text(doc(("T", body)))
    if isinstance(expected, NodeStatus):
        assert engine.tick_n_times(3) == [expected] * 3  # the cap is per tick
    else:
        with pytest.raises(TickError, match=f"{expected}.*max_node_ticks={cap}"):
            engine.tick_once()


@pytest.mark.parametrize("body, line, fragment", [
    ('<Script code="x := %s"/>' % ("1" * 5000), 3, "(5000 digits) is outside the 64-bit range"),
    ('<AlwaysSuccess _skipIf="x == 0x%s"/>' % ("F" * 17), 3, "outside the 64-bit range"),
    ('<Sleep msec="1%s"/>' % ("0" * 400), 3, "port 'msec' must be within the 64-bit integer range"),
    ('<Timeout msec="1%s"><AlwaysSuccess/></Timeout>' % ("0" * 400), 3, "64-bit integer range"),
    ('<Delay delay_msec="1%s"><AlwaysSuccess/></Delay>' % ("0" * 400), 3, "64-bit integer range"),
    ('<Repeat num_cycles="9223372036854775808"><AlwaysSuccess/></Repeat>', 3, "64-bit integer range"),
    ('<Repeat num_cycles="١٢٣"><AlwaysSuccess/></Repeat>', 3, "must be an integer, got '١٢٣'"),
    ('<Repeat num_cycles="1_000"><AlwaysSuccess/></Repeat>', 3, "must be an integer, got '1_000'"),
    ('<Sleep msec="\u00a05"/>', 3, "must be an integer"),
])
def test_numbers_out_of_range_or_not_ascii_are_refused_when_built(body, line, fragment):
    with pytest.raises(TreeBuildError) as info:
        SequentialEngine().create_tree_from_text(doc(("T", body)))
    assert fragment in str(info.value) and info.value.line == line and info.value.element


@pytest.mark.parametrize("body, value", [
    ('<Sleep msec="{v}"/>', 10 ** 400),
    ('<Timeout name="t" msec="{v}"><AlwaysSuccess/></Timeout>', -(10 ** 400)),
    ('<Delay delay_msec="{v}"><AlwaysSuccess/></Delay>', "1" + "0" * 400),
    ('<Repeat num_cycles="{v}"><AlwaysSuccess/></Repeat>', "1_000"),
])
def test_bad_numbers_from_the_blackboard_fail_the_tick_naming_the_node(body, value):
    engine = SequentialEngine()
    engine.create_tree_from_text(doc(("T", body)))
    engine.set_blackboard_data("v", value)
    with pytest.raises(TickError, match=r"^node '\w+'.*, line 3 in tree 'T': port '\w+' must be .*blackboard entry 'v'"):
        engine.tick_once()


class _Unshowable:
    def __repr__(self):
        raise KeyError("no repr")

    __str__ = __repr__


class _Unprintable(Exception):
    def __str__(self):
        raise KeyError("no message")


def _raise_unprintable(node):
    raise _Unprintable


def _bad_yield_then_failing_finally(node):
    try:
        yield 5
    finally:
        raise OSError("clean-up failed")


@pytest.mark.parametrize("body, cause", [
    ('<Script name="s" code="r := x + 1"/>', KeyError),
    ('<ScriptCondition name="s" code="x == x"/>', None),
    ('<ScriptCondition name="s" code="x"/>', None),
    ('<AlwaysSuccess name="s" _successIf="-x"/>', KeyError),
    ('<Precondition name="s" if="~x"><AlwaysSuccess/></Precondition>', KeyError),
    ('<Gen name="s"/>', OSError),
    ('<Raise name="s"/>', _Unprintable),
])
def test_failures_on_unusual_values_are_tick_errors_naming_the_node(body, cause):
    class Same(_Unshowable):
        def __eq__(self, other):
            raise ArithmeticError("no equality")

        __hash__ = object.__hash__

    engine = SequentialEngine()
    engine.register_action_behavior("Gen", _bad_yield_then_failing_finally, [])
    engine.register_action_behavior("Raise", _raise_unprintable, [])
    engine.create_tree_from_text(doc(("T", body)))
    engine.set_blackboard_data("x", Same() if "==" in body else _Unshowable())
    with pytest.raises(TickError, match=r"^node 's' \(\w+\), line 3 in tree 'T': ") as info:
        engine.tick_once()
    wanted = ArithmeticError if "==" in body else cause
    assert type(info.value.__cause__) is wanted if wanted else info.value.__cause__ is None
