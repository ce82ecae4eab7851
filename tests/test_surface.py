"""What importing the module binds, the ThreadEngine class and its method
objects, and the calling conventions every method shares: binding errors,
exact-type tests of arguments and results."""
import builtins
import ctypes
import functools
import inspect
import json
import shutil
import subprocess
import sys
import textwrap
import types

import pytest

MODNAME = "brannox.engine.trigger.mthread"


pytestmark = pytest.mark.usefixtures("collect_old_engines")


MODULE_DOC = ("\n线程引擎模块\n\n该模块实现了基于线程的B树引擎，适用于需要并发处理的场景。\n"
              "每个行为树在独立的线程中运行，提高处理效率。\n")
CLASS_DOC = "\n    线程B树引擎类\n    \n    该类实现了基于线程的B树操作，每个行为树在独立的线程中执行。\n    "

# (method, [(parameter, annotation, exact-type test)], return annotation, result test).
# `self` is implied first. A test ending in "?" also accepts None, and such a
# parameter is the one (last) parameter that defaults to None.
TREE = [("tree_id", "str", "str")]
METHODS = [
    ("__init__", [], None, None),
    ("register_action_behavior", [("action_id", "str", "str"),
                                  ("tick_functor", "Callable[[TreeNode], NodeStatus]", None),
                                  ("ports_list", "List[Dict[str, str]]", "list")], "None", None),
    ("register_action_class", [("action_class", "Type[SimpleActionNode]", None),
                               ("action_id", "Optional[str]", "str?")], "None", None),
    ("_run_tree", TREE + [("xml_text", "str", "str")], "None", None),
    ("_process_command", [("engine", "SequentialEngine", None), ("command", "Dict[str, Any]", "dict")]
     + TREE + [("result", "List[Any]", "list")], "None", None),
    ("create_tree_from_text", [("xml_text", "str", "str"), ("tree_id", "Optional[str]", "str?")], "str", None),
    ("create_tree_from_file", [("file_path", "str", "str"), ("tree_id", "Optional[str]", "str?")], "str", "str"),
    ("_check_tree_exists", TREE, "None", None),
    ("get_tree_ids", [], "List[str]", None),
    ("_send_command", TREE + [("command_type", "str", "str"), ("params", "Dict[str, Any]", "dict?")], "Any", None),
    ("tick_once", TREE, "NodeStatus", None),
    ("tick_until_failure", TREE, "int", "int"),
    ("tick_until_success", TREE, "int", "int"),
    ("tick_n_times", TREE + [("n", "int", "int")], "List[NodeStatus]", "list"),
    ("get_tree_status", TREE, "Dict[str, Any]", "dict"),
    ("get_blackboard_data", TREE + [("key", "str", "str")], "Any", None),
    ("set_blackboard_data", TREE + [("key", "str", "str"), ("value", "Any", None)], "None", None),
    ("get_all_blackboard_data", TREE, "Dict[str, Any]", "dict"),
    ("reset_tree", TREE, "None", None),
    ("stop_tree", TREE, "None", None),
    ("stop_all_trees", [], "None", None),
    ("__del__", [], None, None),
]
PARAMS = {name: params for name, params, _, _ in METHODS}
NAMES = [m[0] for m in METHODS]


def has_default(params):
    return bool(params) and (params[-1][2] or "").endswith("?")


class MyStr(str):
    pass


class MyDict(dict):
    pass


class MyList(list):
    pass


class MyInt(int):
    pass


def run_python(code, cwd):
    """Runs code in a fresh interpreter (outside the source tree) and returns
    the JSON value it prints last."""
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], cwd=cwd,
                          capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


# ---------------------------------------------------------------- module

def test_namespace_binding_order(mt):
    names = list(vars(mt))
    public = ["os", "time", "threading", "Any", "Dict", "List", "Optional", "Type", "Callable", "Tuple",
              "logger", "BehaviorTreeFactory", "NodeStatus", "TreeNode", "SimpleActionNode",
              "SequentialEngine", "ThreadEngine"]
    first = names.index("os")
    assert all(n.startswith("__") and n.endswith("__") for n in names[:first])
    assert names[first:] == public


@pytest.mark.parametrize("name, source, attr", [
    ("os", "os", None), ("time", "time", None), ("threading", "threading", None),
    *[(n, "typing", n) for n in ("Any", "Dict", "List", "Optional", "Type", "Callable", "Tuple")],
    ("logger", "loguru", "logger"),
    ("BehaviorTreeFactory", "brannox.core", "BehaviorTreeFactory"),
    ("NodeStatus", "brannox.core", "NodeStatus"), ("TreeNode", "brannox.core", "TreeNode"),
    ("SimpleActionNode", "brannox.nodes.action_node", "SimpleActionNode"),
    ("SequentialEngine", "brannox.engine.sequential_engine", "SequentialEngine"),
])
def test_bound_names_are_the_imported_objects(mt, name, source, attr):
    module = __import__(source, fromlist=["_"] if "." in source else [])
    assert getattr(mt, name) is (module if attr is None else getattr(module, attr))


def test_plain_import(mt):
    assert mt.__doc__ == MODULE_DOC and mt.__name__ == MODNAME
    assert not [n for n, v in vars(mt).items()
                if isinstance(v, (types.BuiltinFunctionType, types.FunctionType))]
    for name in ("CreateAgentOllama", "GetStreamResponse", "engine"):
        assert not hasattr(mt, name)


def _dynamic_symbols(path, *flags):
    if not shutil.which("nm"):
        pytest.skip("nm is not installed")
    out = subprocess.run(["nm", "-D", "--defined-only", *flags, path], capture_output=True, text=True,
                         check=True).stdout
    return [line.split() for line in out.splitlines() if line.strip()]


def test_exported_function_and_main_flag(mt):
    rows = _dynamic_symbols(mt.__file__, "-S")
    assert [r[-1] for r in rows if r[2] in "TtWi"] == ["PyInit_mthread"]
    flag = next(r for r in rows if r[-1] == "mthread_run_as_main")
    assert int(flag[1], 16) == 4 and flag[2] in "BD"


def test_nothing_else_is_exported(mt):
    assert sorted(r[-1] for r in _dynamic_symbols(mt.__file__)) == ["PyInit_mthread", "mthread_run_as_main"]


def test_main_flag_is_zero_after_plain_import(mt):
    assert ctypes.c_int32.in_dll(ctypes.CDLL(mt.__file__), "mthread_run_as_main").value == 0


FAKE_CORE = """
import json, sys, types
core = types.ModuleType("brannox.core")
core.BehaviorTreeFactory = "factory"
core.NodeStatus = "status"
sys.modules["brannox.core"] = core
"""


@pytest.mark.parametrize("setup, outcome", [
    # a missing name fails the import; the module is not bound and a later
    # import runs the body again
    ("""
     try:
         import brannox.engine.trigger.mthread
         out = "imported"
     except ImportError as e:
         out = [type(e).__name__, str(e), "brannox.engine.trigger.mthread" in sys.modules]
     core.TreeNode = "node"
     import brannox.engine.trigger.mthread as mt
     print(json.dumps([out, mt.TreeNode, mt.BehaviorTreeFactory]))
     """, [["ImportError", "cannot import name TreeNode", False], "node", "factory"]),
    # an imported submodule of that name stands in for the missing attribute
    ("""
     sub = types.ModuleType("brannox.core.TreeNode")
     sys.modules["brannox.core.TreeNode"] = sub
     import threading
     import brannox.engine.trigger.mthread as mt
     print(json.dumps([mt.TreeNode is sub, list(vars(mt))[-6:-3], threading.active_count()]))
     """, [True, ["BehaviorTreeFactory", "NodeStatus", "TreeNode"], 1]),
    # only a missing attribute is excused: other lookup errors propagate as they are
    ("""
     def missing(name):
         raise (AttributeError if name.startswith("__") else LookupError)("lookup of " + name)
     core.__getattr__ = missing
     sys.modules["brannox.core.TreeNode"] = types.ModuleType("brannox.core.TreeNode")
     try:
         import brannox.engine.trigger.mthread
     except Exception as e:
         print(json.dumps([type(e).__name__, str(e)]))
     """, ["LookupError", "lookup of TreeNode"]),
])
def test_from_import_in_fresh_interpreter(tmp_path, setup, outcome):
    assert run_python(FAKE_CORE + textwrap.dedent(setup), tmp_path) == outcome


def test_main_flag_makes_the_body_run_as_main(tmp_path):
    # The flag is set through the already loaded library before the import;
    # the demonstration's first import is stopped by a stand-in package that
    # records what the module looks like at that moment.
    seen = run_python("""
        import ctypes, importlib.util, json, sys, types
        origin = importlib.util.find_spec("brannox.engine.trigger.mthread").origin
        ctypes.c_int32.in_dll(ctypes.CDLL(origin), "mthread_run_as_main").value = 1
        seen = {}
        def probe(name):
            if name == "Ollama":
                mod = sys.modules["brannox.engine.trigger.mthread"]
                seen.update(name=mod.__name__, cls=mod.ThreadEngine.__module__,
                            fn=mod.ThreadEngine.tick_once.__module__)
            raise AttributeError(name)
        ollama = types.ModuleType("agno.models.ollama")
        ollama.__getattr__ = probe
        sys.modules.update({"agno": types.ModuleType("agno"), "agno.models": types.ModuleType("agno.models"),
                            "agno.models.ollama": ollama})
        try:
            import brannox.engine.trigger.mthread
        except ImportError as e:
            seen["error"] = str(e)
        print(json.dumps(seen))
        """, tmp_path)
    assert seen == {"name": "__main__", "cls": MODNAME, "fn": MODNAME, "error": "cannot import name Ollama"}


# ---------------------------------------------------------------- the class

def test_class_object(mt):
    cls = mt.ThreadEngine
    assert type(cls) is type and cls.__bases__ == (object,)
    assert cls.__name__ == cls.__qualname__ == "ThreadEngine"
    assert cls.__module__ == MODNAME and cls.__doc__ == CLASS_DOC
    assert list(vars(cls)) == ["__module__", "__doc__", *NAMES, "__dict__", "__weakref__"]


@pytest.mark.parametrize("name, params, ret, result", METHODS, ids=NAMES)
def test_function_object(mt, engine, name, params, ret, result):
    fn = vars(mt.ThreadEngine)[name]
    assert fn.__name__ == name and fn.__qualname__ == "ThreadEngine." + name
    assert fn.__module__ == MODNAME
    assert fn.__defaults__ == ((None,) if has_default(params) else None)
    assert fn.__kwdefaults__ is None
    expected = [(p, a) for p, a, _ in params] + ([("return", ret)] if ret else [])
    assert list(fn.__annotations__.items()) == expected
    assert type(fn.__doc__) is str and fn.__doc__.startswith("\n        ")
    # reads like a Python function: itself through the class, bound through an instance
    assert getattr(mt.ThreadEngine, name) is fn
    bound = getattr(engine, name)
    assert type(bound) is types.MethodType and bound.__func__ is fn and bound.__self__ is engine

    sig = inspect.signature(fn)
    assert list(sig.parameters) == ["self"] + [p for p, _, _ in params]
    assert {p.kind for p in sig.parameters.values()} == {inspect.Parameter.POSITIONAL_OR_KEYWORD}
    assert [sig.parameters[p].annotation for p, _, _ in params] == [a for _, a, _ in params]
    defaults = [p.default for p in sig.parameters.values() if p.default is not inspect.Parameter.empty]
    assert defaults == ([None] if has_default(params) else [])
    assert sig.return_annotation == (ret if ret else inspect.Signature.empty)
    assert list(inspect.signature(bound).parameters) == [p for p, _, _ in params]


@pytest.mark.parametrize("name", ["tick_once", "__init__", "create_tree_from_text"])
def test_function_attributes_are_writable_like_python(mt, monkeypatch, name):
    fn = vars(mt.ThreadEngine)[name]
    monkeypatch.setattr(fn, "marker", 1, raising=False)
    assert type(fn.__dict__) is dict and fn.__dict__["marker"] == 1
    for attr in ("__name__", "__qualname__"):
        with pytest.raises(TypeError):
            setattr(fn, attr, 5)
    assert fn.__name__ == name and fn.__qualname__ == "ThreadEngine." + name


@pytest.mark.parametrize("name, doc", [
    ("__del__", "\n        析构函数，确保所有线程被正确停止\n        "),
    ("get_tree_ids", "\n        获取所有行为树ID\n        \n        Returns:\n            List[str]: 行为树ID列表\n        "),
    ("tick_n_times", "\n        执行行为树n次\n        \n        Args:\n            tree_id: 行为树ID\n            "
     "n: 执行次数\n            \n        Returns:\n            List[NodeStatus]: 执行状态列表\n        "),
])
def test_exact_docstrings(mt, name, doc):
    assert getattr(mt.ThreadEngine, name).__doc__ == doc


# ---------------------------------------------------- module names at call time

@pytest.mark.parametrize("name, trigger", [
    ("BehaviorTreeFactory", lambda mt, e: type("Quiet", (mt.ThreadEngine,), {"__del__": lambda s: None})()),
    ("logger", lambda mt, e: e.register_action_behavior("A", None, [])),
    ("SimpleActionNode", lambda mt, e: e.register_action_class(int)),
    ("threading", lambda mt, e: e.create_tree_from_text("<root/>", "t")),
])
def test_missing_module_name_raises_name_error(mt, engine, monkeypatch, name, trigger):
    monkeypatch.delattr(mt, name)
    with pytest.raises(NameError) as info:
        trigger(mt, engine)
    assert str(info.value) == f"name '{name}' is not defined"
    assert engine.trees == {} and engine.action_registrations == []


def test_module_names_fall_back_to_builtins(mt, monkeypatch, make_engine):
    class Factory:
        pass
    monkeypatch.delattr(mt, "BehaviorTreeFactory")
    monkeypatch.setattr(builtins, "BehaviorTreeFactory", Factory, raising=False)
    assert type(make_engine().factory) is Factory


# ------------------------------------------------------------------ binding

BINDING = [
    ("__init__", (1,), {}, "__init__() takes exactly 1 positional argument (2 given)"),
    ("get_tree_ids", (1, 2), {}, "get_tree_ids() takes exactly 1 positional argument (3 given)"),
    ("tick_once", (), {}, "tick_once() takes exactly 2 positional arguments (1 given)"),
    ("tick_once", ("a", "b"), {}, "tick_once() takes exactly 2 positional arguments (3 given)"),
    ("tick_n_times", ("t",), {}, "tick_n_times() takes exactly 3 positional arguments (2 given)"),
    ("create_tree_from_text", (), {}, "create_tree_from_text() takes at least 2 positional arguments (1 given)"),
    ("create_tree_from_text", ("a", "b", "c", "d"), {},
     "create_tree_from_text() takes at most 3 positional arguments (5 given)"),
    ("_send_command", ("t",), {}, "_send_command() takes at least 3 positional arguments (2 given)"),
    ("_send_command", ("t", "c", {}, 1), {}, "_send_command() takes at most 4 positional arguments (5 given)"),
    # a missing parameter reports how many parameters precede it
    ("get_blackboard_data", (), {"key": "k"}, "get_blackboard_data() takes exactly 3 positional arguments (1 given)"),
    ("set_blackboard_data", ("t",), {"value": 1},
     "set_blackboard_data() takes exactly 4 positional arguments (2 given)"),
    ("register_action_class", (), {"action_id": "A"},
     "register_action_class() takes at least 2 positional arguments (1 given)"),
    ("_process_command", (None,), {"tree_id": "t", "result": []},
     "_process_command() takes exactly 5 positional arguments (2 given)"),
    ("tick_once", (), {"tree_id": "t", "key": "k"}, "tick_once() got an unexpected keyword argument 'key'"),
    ("create_tree_from_text", ("x",), {"treeid": "t"},
     "create_tree_from_text() got an unexpected keyword argument 'treeid'"),
    ("tick_once", ("t",), {"tree_id": "u"}, "tick_once() got multiple values for keyword argument 'tree_id'"),
    ("create_tree_from_text", ("x", "t"), {"tree_id": "u"},
     "create_tree_from_text() got multiple values for keyword argument 'tree_id'"),
    ("get_tree_ids", (), {"self": 1}, "get_tree_ids() got multiple values for keyword argument 'self'"),
]


@pytest.mark.parametrize("how", ["bound", "class_star", "partial"])
@pytest.mark.parametrize("name, args, kwargs, message", BINDING)
def test_binding_errors(mt, engine, log, how, name, args, kwargs, message):
    fn = getattr(mt.ThreadEngine, name)
    log.lines.clear()
    with pytest.raises(TypeError) as info:
        if how == "bound":
            getattr(engine, name)(*args, **kwargs)
        elif how == "class_star":
            fn(*(engine,) + args, **kwargs)
        else:
            functools.partial(fn, engine)(*args, **kwargs)
    assert str(info.value) == message
    assert log.lines == [] and engine.trees == {} and engine.action_registrations == []


def test_keyword_names_must_be_strings(mt, engine):
    # Python call syntax refuses non-str keywords itself; a C caller can still
    # pass them through vectorcall.
    call = ctypes.pythonapi.PyObject_VectorcallMethod
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t, ctypes.py_object]
    argv = (ctypes.py_object * 3)(engine, "t", 5)
    with pytest.raises(TypeError) as info:
        call("tick_once", argv, 2, (1,))
    assert str(info.value) == "tick_once() keywords must be strings"


def test_every_parameter_binds_by_keyword(mt, engine):
    f = object()
    mt.ThreadEngine.register_action_behavior(ports_list=[], tick_functor=f, action_id="A", self=engine)
    mt.ThreadEngine.register_action_class(action_class=mt.SimpleActionNode, self=engine)
    assert engine.action_registrations == [("A", f, []), ("SimpleActionNode", mt.SimpleActionNode.tick, [])]


# ------------------------------------------------------ argument type tests

class _Act:  # stands in for a node class; never reached when a test fails
    pass


GOOD = {
    "register_action_behavior": ("A", None, []),
    "register_action_class": (_Act, "A"),
    "_run_tree": ("t", "<root/>"),
    "_process_command": (None, {"type": "nope"}, "t", [None]),
    "create_tree_from_text": ("<root/>", "t"),
    "create_tree_from_file": ("/nonexistent/tree.xml", "t"),
    "_send_command": ("t", "tick_once", {}),
    "tick_n_times": ("t", 1),
    "get_blackboard_data": ("t", "k"),
    "set_blackboard_data": ("t", "k", 1),
}
BAD = {  # (value, type name reported, is a subclass instance)
    "str": [(MyStr("t"), "MyStr", True), (5, "int", False), (b"t", "bytes", False)],
    "dict": [(MyDict(), "MyDict", True), ([], "list", False)],
    "list": [(MyList(), "MyList", True), ((), "tuple", False)],
    "int": [(True, "bool", True), (MyInt(3), "MyInt", True), (3.0, "float", False), ("3", "str", False)],
}


def _type_cases():
    for name, params, _, _ in METHODS:
        for i, (pname, _, check) in enumerate(params):
            if not check:
                continue
            kind = check.rstrip("?")
            bad = BAD[kind] + ([] if check.endswith("?") else [(None, "NoneType", False)])
            for value, got, sub in bad:
                yield pytest.param(name, i, kind, value, got, sub, id=f"{name}-{pname}-{got}")


@pytest.mark.parametrize("by_keyword", [False, True])
@pytest.mark.parametrize("name, index, kind, value, got, subclass", list(_type_cases()))
def test_argument_type_refused(mt, engine, log, by_keyword, name, index, kind, value, got, subclass):
    params = PARAMS[name]
    args = list(GOOD.get(name, ("t",)))
    args[index] = value
    log.lines.clear()
    with pytest.raises(TypeError) as info:
        if by_keyword:
            getattr(engine, name)(**{p: a for (p, _, _), a in zip(params, args)})
        else:
            getattr(engine, name)(*args)
    prefix = f"Argument '{params[index][0]}' has incorrect type (expected {kind}, got {got})"
    message = str(info.value)
    if subclass:
        note = message[len(prefix) + 2:]
        assert message.startswith(prefix + ". ") and "subclass" in note.lower() and note.strip()
    else:
        assert message == prefix
    assert log.lines == [] and engine.trees == {} and engine.action_registrations == []


def test_type_names_are_cut_at_200_characters(engine):
    with pytest.raises(TypeError) as info:
        engine.tick_once(type("T" * 300, (), {})())
    assert str(info.value) == f"Argument 'tree_id' has incorrect type (expected str, got {'T' * 200})"


@pytest.mark.parametrize("name", [n for n, p, _, _ in METHODS if sum(bool(c) for _, _, c in p) > 1])
def test_arguments_are_tested_in_parameter_order(mt, engine, name):
    params = PARAMS[name]
    args = [1.5 if check else None for _, _, check in params]
    with pytest.raises(TypeError) as info:
        getattr(engine, name)(*args)
    first = next(p for p, _, check in params if check)
    assert str(info.value).startswith(f"Argument '{first}' has incorrect type (expected ")


@pytest.fixture
def core(mt, monkeypatch):
    """Replaces the core engine each tree thread builds: every other method
    records its name and returns what `returns` holds for it."""
    calls, returns = [], {}

    class Core:
        def register_action_behavior(self, *args):
            pass

        def create_tree_from_text(self, xml_text):
            pass

        def __getattr__(self, name):
            def method(*args):
                calls.append(name)
                return returns.get(name)
            return method

    monkeypatch.setattr(mt, "SequentialEngine", Core)
    return types.SimpleNamespace(calls=calls, returns=returns)


@pytest.mark.parametrize("call, exc", [
    (lambda e: e.create_tree_from_text("<root/>", None), None),
    (lambda e: e.create_tree_from_text("<root/>", tree_id=None), None),
    (lambda e: e.create_tree_from_file("/nonexistent/tree.xml", None), FileNotFoundError),
    (lambda e: e._send_command("missing", "tick_once", None), ValueError),
    (lambda e: e.register_action_class(_Act, None), TypeError),  # the subclass test: the body ran
])
def test_none_passes_where_allowed(engine, core, log, in_daemon, call, exc):
    log.lines.clear()
    if exc is None:
        assert in_daemon(call, engine) == "tree_0"
    else:
        with pytest.raises(exc) as info:
            call(engine)
        assert "incorrect type" not in str(info.value)


# -------------------------------------------------------- result type tests

@pytest.mark.parametrize("method, args, command, value, error", [
    ("tick_until_success", (), "tick_until_success", True, "Expected int, got bool"),
    ("tick_until_failure", (), "tick_until_failure", MyInt(2), "Expected int, got MyInt"),
    ("tick_until_failure", (), "tick_until_failure", 7, None),
    ("tick_n_times", (2,), "tick_n_times", ("S", "F"), "Expected list, got tuple"),
    ("tick_n_times", (2,), "tick_n_times", ["S", "F"], None),
    ("get_tree_status", (), "get_tree_status", MyDict(a=1), "Expected dict, got MyDict"),
    ("get_all_blackboard_data", (), "get_all_blackboard_data", MyDict(), "Expected dict, got MyDict"),
    ("get_tree_status", (), "get_tree_status", type("L" * 300, (), {})(), "Expected dict, got " + "L" * 200),
    ("get_all_blackboard_data", (), "get_all_blackboard_data", {"k": 1}, None),
    *[(m, a, c, None, None) for m, a, c in [("tick_until_success", (), "tick_until_success"),
                                            ("tick_n_times", (1,), "tick_n_times"),
                                            ("get_tree_status", (), "get_tree_status")]],
    # results with annotations other than the four builtin types are not tested
    ("tick_once", (), "tick_once", "not a status", None),
    ("get_blackboard_data", ("k",), "get_blackboard_data", MyDict(), None),
])
def test_result_type(engine, core, in_daemon, method, args, command, value, error):
    core.returns[command] = value
    engine.create_tree_from_text("<root/>", "t")
    call = functools.partial(getattr(engine, method), "t", *args)
    if error:
        with pytest.raises(TypeError) as info:
            in_daemon(call)
        assert str(info.value) == error
    else:
        assert in_daemon(call) is value
    assert core.calls == [command]  # the command ran; only its value is withheld


@pytest.mark.parametrize("value, error", [
    (5, "Expected str, got int"),
    (MyStr("x"), "Expected str, got MyStr"),
    ("x", None),
    (None, None),
])
def test_create_tree_from_file_result(mt, log, tmp_path, value, error):
    seen = []

    class Engine(mt.ThreadEngine):
        def create_tree_from_text(self, xml_text, tree_id=None):
            seen.append((xml_text, tree_id))
            return value

    path = tmp_path / "tree.xml"
    path.write_text("<root>树</root>", encoding="utf-8")
    engine = Engine()
    if error:
        with pytest.raises(TypeError) as info:
            engine.create_tree_from_file(str(path), "id")
        assert str(info.value) == error
    else:
        assert engine.create_tree_from_file(str(path), "id") is value
    assert seen == [("<root>树</root>", "id")]


def test_python_command_table_matches_the_engine():
    from brannox.engine.commands import TREE_COMMANDS
    from brannox.engine.trigger.mthread import ThreadEngine

    tree_methods = {name for name, fn in vars(ThreadEngine).items() if not name.startswith("_")
                    and callable(fn) and list(inspect.signature(fn).parameters)[1:2] == ["tree_id"]}
    assert tree_methods - {"stop_tree"} == set(TREE_COMMANDS)
    for name, (_, checks) in TREE_COMMANDS.items():
        params = list(inspect.signature(getattr(ThreadEngine, name)).parameters)
        assert params == ["self", "tree_id", *(arg for arg, _ in checks)], name
