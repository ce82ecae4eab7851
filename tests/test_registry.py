"""A ThreadEngine's fields and its action registry."""
import abc
import threading
import types

import pytest

REFUSED = " 必须继承自SimpleActionNode"


pytestmark = pytest.mark.usefixtures("collect_old_engines")


def tick(node):
    return "SUCCESS"


def sink_down(text):
    raise OSError("sink down")


@pytest.fixture
def bare_base(mt, monkeypatch):
    """A node base class with neither `tick` nor `ports`, put in place of the
    core's, which carries both."""
    class Base:
        pass
    monkeypatch.setattr(mt, "SimpleActionNode", Base)
    return Base


def quiet_engine_class(mt):
    # Its half-built instances must not try to stop trees when reclaimed.
    return type("Quiet", (mt.ThreadEngine,), {"__del__": lambda self: None})


# ------------------------------------------------------------- construction

def test_fresh_engine(mt, engine, log):
    assert list(vars(engine)) == ["factory", "trees", "action_registrations"]
    assert type(engine.factory) is mt.BehaviorTreeFactory
    assert type(engine.trees) is dict and engine.trees == {}
    assert type(engine.action_registrations) is list and engine.action_registrations == []
    assert log.lines == [("info", "初始化线程引擎", threading.current_thread().name)]


def test_engines_share_nothing(make_engine):
    a, b = make_engine(), make_engine()
    assert a.factory is not b.factory
    assert a.trees is not b.trees and a.action_registrations is not b.action_registrations


def test_factory_called_without_arguments(mt, monkeypatch, make_engine):
    made = []

    class Factory:
        def __init__(self, *args, **kwargs):
            made.append((args, kwargs))

    monkeypatch.setattr(mt, "BehaviorTreeFactory", Factory)
    assert type(make_engine().factory) is Factory and made == [((), {})]


def test_factory_failure_propagates_before_anything_is_set(mt, monkeypatch, log):
    class Boom(Exception):
        pass

    def factory():
        raise Boom("no factory")

    monkeypatch.setattr(mt, "BehaviorTreeFactory", factory)
    cls = quiet_engine_class(mt)
    obj = object.__new__(cls)
    with pytest.raises(Boom, match="no factory"):
        cls.__init__(obj)
    assert vars(obj) == {} and log.lines == []


def test_log_line_comes_after_the_fields(mt, log, monkeypatch):
    monkeypatch.setattr(log, "info", sink_down)
    cls = quiet_engine_class(mt)
    obj = object.__new__(cls)
    with pytest.raises(OSError):
        cls.__init__(obj)
    assert list(vars(obj)) == ["factory", "trees", "action_registrations"]


# ------------------------------------------------- register_action_behavior

@pytest.mark.parametrize("action_id", ["Act", "动作", ""])
@pytest.mark.parametrize("functor", [tick, 42, None])  # the functor is not tested, not even for callability
def test_register_action_behavior_appends_the_very_objects(engine, log, action_id, functor):
    regs = engine.action_registrations
    ports = [{"name": "goal", "type": "string", "direction": "input", "description": ""}]
    log.lines.clear()
    assert engine.register_action_behavior(action_id, functor, ports) is None
    assert engine.action_registrations is regs and len(regs) == 1
    entry = regs[0]
    assert type(entry) is tuple and len(entry) == 3
    assert entry[0] is action_id and entry[1] is functor and entry[2] is ports
    assert [(lv, text) for lv, text, _ in log.lines] == [("info", "注册动作节点: " + action_id)]


def test_same_id_twice_gives_two_entries_in_call_order(engine, log):
    def other(node):
        return "FAILURE"

    engine.register_action_behavior("A", tick, [])
    engine.register_action_behavior("A", other, [])
    assert [(a, f) for a, f, _ in engine.action_registrations] == [("A", tick), ("A", other)]
    assert log.texts("info")[-2:] == ["注册动作节点: A"] * 2


@pytest.mark.parametrize("args, param, got", [
    ((None, tick, []), "action_id", "NoneType"),
    (("A", tick, None), "ports_list", "NoneType"),
    (("A", tick, ()), "ports_list", "tuple"),
    ((None, tick, ()), "action_id", "NoneType"),
    ((b"A", tick, []), "action_id", "bytes"),
])
def test_register_action_behavior_refuses(engine, log, args, param, got):
    log.lines.clear()
    with pytest.raises(TypeError) as info:
        engine.register_action_behavior(*args)
    expected = "str" if param == "action_id" else "list"
    assert str(info.value) == f"Argument '{param}' has incorrect type (expected {expected}, got {got})"
    assert engine.action_registrations == [] and log.lines == []


def test_append_is_the_last_step(engine, log, monkeypatch):
    monkeypatch.setattr(log, "info", sink_down)
    with pytest.raises(OSError):
        engine.register_action_behavior("A", tick, [])
    assert engine.action_registrations == []


# ---------------------------------------------------- register_action_class

def test_class_without_ports_gets_a_new_empty_list_each_time(engine, bare_base):
    class Act(bare_base):
        tick = staticmethod(tick)

    engine.register_action_class(Act)
    engine.register_action_class(Act)
    (a, t1, p1), (b, t2, p2) = engine.action_registrations
    assert a == b == "Act" and t1 is t2 is tick
    assert type(p1) is list and p1 == [] and p2 == [] and p1 is not p2


@pytest.mark.parametrize("explicit", [None, "Custom"])
def test_class_registration_uses_class_attributes(mt, engine, log, explicit):
    ports = [{"name": "out", "type": "object", "direction": "output", "description": "d"}]

    class Act(mt.SimpleActionNode):
        pass

    Act.ports = ports
    Act.tick = staticmethod(tick)
    log.lines.clear()
    engine.register_action_class(Act, explicit)
    action_id = explicit or "Act"
    [(got_id, got_tick, got_ports)] = engine.action_registrations
    assert got_id == action_id and got_tick is tick and got_ports is ports
    assert log.lines == [("info", "注册动作节点: " + action_id, threading.current_thread().name)]


def test_tick_is_read_as_a_plain_class_attribute(mt, engine):
    # Only what attribute access itself does: a classmethod stays bound.
    class Act(mt.SimpleActionNode):
        @classmethod
        def tick(cls, node):
            return cls

    engine.register_action_class(Act)
    got = engine.action_registrations[0][1]
    assert type(got) is types.MethodType and got.__self__ is Act and got.__func__ is Act.__dict__["tick"].__func__


def test_subclass_test_is_the_interpreters_own(mt, engine, monkeypatch):
    class Base(abc.ABC):
        pass

    class Plain:
        tick = staticmethod(tick)

    Base.register(Plain)
    monkeypatch.setattr(mt, "SimpleActionNode", Base)
    engine.register_action_class(Plain)
    assert engine.action_registrations == [("Plain", tick, [])]


def _named(value, base=object):
    """A class whose __name__ reads as `value`."""
    meta = type("Meta", (type,), {"__name__": property(lambda cls: value)})
    return meta("Odd", (base,), {"tick": staticmethod(tick)})


@pytest.mark.parametrize("make, name", [
    (lambda: int, "int"),
    (lambda: _named(5), "5"),
    (lambda: _named("名字"), "名字"),
])
def test_class_not_derived_from_the_base_is_refused(mt, engine, log, make, name):
    log.lines.clear()
    with pytest.raises(TypeError) as info:
        engine.register_action_class(make())
    assert str(info.value) == "节点类 " + name + REFUSED
    assert [(lv, text) for lv, text, _ in log.lines] == [("error", "节点类 " + name + REFUSED)]
    assert engine.action_registrations == []


def test_non_class_gets_the_subclass_tests_own_error(mt, engine, log):
    try:
        issubclass(5, mt.SimpleActionNode)
    except TypeError as exc:
        expected = str(exc)
    log.lines.clear()
    with pytest.raises(TypeError) as info:
        engine.register_action_class(5)
    assert str(info.value) == expected
    assert log.lines == [] and engine.action_registrations == []


def test_missing_tick_propagates(engine, log, bare_base):
    class Act(bare_base):
        ports = []

    log.lines.clear()
    with pytest.raises(AttributeError, match="tick"):
        engine.register_action_class(Act)
    assert log.lines == [] and engine.action_registrations == []


@pytest.mark.parametrize("ports, got, subclass", [((), "tuple", False), ({}, "dict", False),
                                                  (type("L", (list,), {})(), "L", True)])
def test_ports_not_exactly_a_list_is_refused_for_ports_list(mt, engine, log, ports, got, subclass):
    class Act(mt.SimpleActionNode):
        pass

    Act.ports = ports
    log.lines.clear()
    with pytest.raises(TypeError) as info:
        engine.register_action_class(Act)
    prefix = f"Argument 'ports_list' has incorrect type (expected list, got {got})"
    assert str(info.value).startswith(prefix + ". ") if subclass else str(info.value) == prefix
    assert log.lines == [] and engine.action_registrations == []


@pytest.mark.parametrize("error, outcome", [(ValueError, ValueError), (KeyError, KeyError),
                                            (AttributeError, None)])
def test_only_attribute_error_means_no_ports(mt, engine, error, outcome):
    def ports(cls):
        raise error("ports")

    meta = type("Meta", (type,), {"ports": property(ports)})
    Act = meta("Act", (mt.SimpleActionNode,), {"tick": staticmethod(tick)})
    if outcome:
        with pytest.raises(outcome):
            engine.register_action_class(Act)
        assert engine.action_registrations == []
    else:
        engine.register_action_class(Act)
        assert engine.action_registrations == [("Act", tick, [])]


@pytest.mark.parametrize("value, message", [
    (5, "Expected str, got int"),
    (type("S", (str,), {})("Odd"), "Expected str, got S"),
    (b"Odd", "Expected str, got bytes"),
    # None is taken, and then refused by register_action_behavior's own test
    (None, "Argument 'action_id' has incorrect type (expected str, got NoneType)"),
])
def test_class_name_that_is_not_a_str(mt, engine, log, value, message):
    odd = _named(value, mt.SimpleActionNode)
    log.lines.clear()
    with pytest.raises(TypeError) as info:
        engine.register_action_class(odd)
    assert str(info.value) == message
    assert log.lines == [] and engine.action_registrations == []
    engine.register_action_class(odd, "Explicit")  # an explicit id never reads __name__
    assert engine.action_registrations == [("Explicit", tick, mt.SimpleActionNode.ports)]


def test_delegation_goes_through_self(mt, log):
    calls = []

    class Engine(mt.ThreadEngine):
        def register_action_behavior(self, *args, **kwargs):
            calls.append((args, kwargs))

    class Act(mt.SimpleActionNode):
        ports = []
        tick = staticmethod(tick)

    engine = Engine()
    engine.register_action_class(Act)
    engine.register_action_class(Act, "B")
    assert calls == [(("Act", tick, Act.ports), {}), (("B", tick, Act.ports), {})]
    assert calls[0][0][2] is Act.ports
    assert engine.action_registrations == [] and log.texts() == ["初始化线程引擎"]

