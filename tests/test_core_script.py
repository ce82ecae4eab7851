"""The script language (Script, ScriptCondition) and pre-/post-conditions."""

import pytest

from brannox.core import MAX_SCRIPT_DEPTH, NodeStatus, RegistrationError, TickError, TreeBuildError
from brannox.engine.sequential_engine import SequentialEngine
from conftest import bt, core_engine, letters


def run_script(code, **entries):
    engine = SequentialEngine()
    for key, value in entries.items():
        engine.set_blackboard_data(key, value)
    engine.create_tree_from_text(bt(f'<Script code="{code}"/>'))
    assert engine.tick_once() is NodeStatus.SUCCESS
    return engine.get_all_blackboard_data()


@pytest.mark.parametrize("code, expected", [
    ("r := 1 + 2 * 3 - 4 / 2", 5.0),            # precedence; / always gives a real
    ("r := (1 + 2) * 3", 9),
    ("r := 7 / 2", 3.5),
    ("r := 0x1F &amp; 0xF0 | 2 ^ 3", 0x1F & 0xF0 | 2 ^ 3),
    ("r := ~5", -6),
    ("r := -2.5e1", -25.0),
    ("r := 'ab' + 'cd'", "abcd"),
    ("r := 1 &lt; 2 &amp;&amp; !false || false", True),
    ("r := 2 == 2.0", True),
    ("r := 1 == '1'", False),                   # different kinds are never equal
    ("r := 'a' &lt; 'b'", True),
    ("r := n &gt; 3 ? 'big' : 'small'", "big"),
    ("r := 1; r += 4; r *= 2; r -= 1", 9),
    ("r := s; r += '!'", "hi!"),
    ("r := a := 3", 3),
    ("n = 10; r := n", 10),
    ("r := &quot;it's&quot; + ' &quot;quoted&quot;'", 'it\'s "quoted"'),  # either quote holds the other
    ("r := &quot;a&quot; == 'a'", True),
])
def test_expressions(code, expected):
    result = run_script(code, n=5, s="hi")["r"]
    assert result == expected and type(result) is type(expected)


@pytest.mark.parametrize("code, fragment", [
    ("missing = 1", "assigns an entry that does not exist"),
    ("r := nothing + 1", "entry 'nothing' is not set"),
    ("r := 'a' + 1", "cannot apply '\\+' to string 'a' and integer 1"),
    ("r := 1.5 | 1", "cannot apply '\\|' to real"),
    ("r := 1 / 0", "division by zero"),
    ("r := 'a' &lt; 1", "cannot apply '&lt;'"),
    ("r := 's' ? 1 : 2", "must be a boolean or a number"),
    ("r := 0x7FFFFFFFFFFFFFFF + 1", "outside the 64-bit range"),
])
def test_type_errors_when_the_script_runs_name_the_node(code, fragment):
    engine = SequentialEngine()
    engine.create_tree_from_text(bt(f'<Script name="calc" code="{code}"/>'))
    with pytest.raises(TickError, match=f"node 'calc' \\(Script\\), line 1 in tree 'T'.*{fragment}".replace("&lt;", "<")):
        engine.tick_once()


@pytest.mark.parametrize("code", [
    "__import__('os').system('touch pwned')",
    "a.b",
    "a[0]",
    "lambda: 1",
    "x := ",
    '"unterminated',
    "(" * (MAX_SCRIPT_DEPTH + 5) + "1" + ")" * (MAX_SCRIPT_DEPTH + 5) + " + " + "-" * (MAX_SCRIPT_DEPTH + 1) + "1",
])
def test_bad_scripts_are_refused_when_the_tree_is_built(code, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)  # where a script that ran could leave a file
    xml = bt('<Sequence>\n<Script code="%s"/></Sequence>' % code.replace('"', "&quot;"))
    with pytest.raises(TreeBuildError) as err:
        SequentialEngine().create_tree_from_text(xml)
    assert err.value.line == 2 and "port 'code'" in str(err.value)
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("n, expected", [(2, NodeStatus.SUCCESS), (1, NodeStatus.FAILURE)])
def test_script_condition(n, expected):
    engine, _ = core_engine('<ScriptCondition code="n==2||n&gt;2"/>')
    engine.set_blackboard_data("n", n)
    assert engine.tick_once() is expected


# ----------------------------------------------------------- pre-/post-conditions

@pytest.mark.parametrize("attributes, expected, ticked", [
    ('_failureIf="true" _successIf="true"', "F", False),   # checked in order; the first true decides
    ('_successIf="true" _skipIf="true"', "S", False),
    ('_skipIf="true"', "K", False),
    ('_failureIf="false" _skipIf="n == 0"', "S", True),
])
def test_pre_conditions(attributes, expected, ticked):
    engine, events = core_engine(f"<A {attributes}/>", {"A": "S"})
    engine.set_blackboard_data("n", 1)
    assert letters([engine.tick_once()]) == expected
    assert bool(events) == ticked


def test_while_halts_a_running_node_and_skips_it():
    engine, events = core_engine('<A _while="go" _onHalted="h := 1" _post="p := 1"/>', {"A": "R"})
    engine.set_blackboard_data("go", True)
    assert letters(engine.tick_n_times(2)) == "RR"
    engine.set_blackboard_data("go", False)
    assert letters([engine.tick_once()]) == "K"
    assert events == ["A:start", "A:run", "A:halt"]
    data = engine.get_all_blackboard_data()
    assert data["h"] == 1 and data["p"] == 1


@pytest.mark.parametrize("script, expected", [
    ("S", ["success", "post"]), ("F", ["failure", "post"]), ("R", []),
])
def test_post_scripts_run_after_the_node_finishes(script, expected):
    body = "<A _onSuccess=\"log := log + 'success,'\" _onFailure=\"log := log + 'failure,'\" _post=\"log := log + 'post,'\"/>"
    engine, _ = core_engine(body, {"A": script})
    engine.set_blackboard_data("log", "")
    engine.tick_once()
    assert engine.get_blackboard_data("log").split(",")[:-1] == expected


def test_conditions_on_a_subtree_are_conditions_not_remappings():
    extra = '<BehaviorTree ID="Sub"><Script code="inner := 1"/></BehaviorTree>'
    engine = SequentialEngine()
    xml = bt('<SubTree ID="Sub" _skipIf="skip" _autoremap="true"/>', extra).replace("<root ", '<root main_tree_to_execute="T" ')
    engine.create_tree_from_text(xml)
    engine.set_blackboard_data("skip", True)
    assert engine.tick_once() is NodeStatus.SKIPPED
    engine.set_blackboard_data("skip", False)
    assert engine.tick_once() is NodeStatus.SUCCESS
    assert engine.get_blackboard_data("inner") == 1


def test_condition_attribute_errors():
    with pytest.raises(TreeBuildError, match="line 1.*attribute '_skipIf': script syntax error"):
        core_engine('<A _skipIf="1 +"/>', {"A": "S"})
    with pytest.raises(RegistrationError, match="reserved for a pre- or post-condition"):
        SequentialEngine().register_action_behavior("X", lambda node: NodeStatus.SUCCESS, [{"name": "_post"}])


@pytest.mark.parametrize("code, expected", [
    ("r := " + " + ".join(["1"] * (MAX_SCRIPT_DEPTH + 1)), MAX_SCRIPT_DEPTH + 1),  # a run is not nesting
    ("r := " + "-".join(["1"] * 4000), 1 - 3999),
    ("r := 10 - 2 - 3 * 2 * 1 / 2", 5.0),
    ("r := 1 + 2 &lt; 4 == true != false", True),
    ("r := false &amp;&amp; missing || n &gt; 3 &amp;&amp; n - 1 - 1 == 3", True),  # short-circuit kept
    ("r := " + "(" * MAX_SCRIPT_DEPTH + "1" + " + 1)" * MAX_SCRIPT_DEPTH, MAX_SCRIPT_DEPTH + 1),
])
def test_long_runs_of_operators_are_one_level(code, expected):
    result = run_script(code, n=5)["r"]
    assert result == expected and type(result) is type(expected)


def test_nesting_is_still_capped():
    nested = "r := " + "1 + (" * MAX_SCRIPT_DEPTH + "1" + ")" * MAX_SCRIPT_DEPTH
    with pytest.raises(TreeBuildError, match=f"deeper than {MAX_SCRIPT_DEPTH}"):
        SequentialEngine().create_tree_from_text(bt(f'<Script code="{nested}"/>'))
