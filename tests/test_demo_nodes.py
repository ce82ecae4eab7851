"""Main mode with a fake agno package: the node classes, their tick functions
and the demonstration run, each in a fresh interpreter (main mode runs inside
the module's first import)."""
import json
import os
import subprocess
import sys
import textwrap

import pytest

from helpers import write_fake_agno

DRIVER = """
import ctypes, importlib, importlib.util, json, sys, threading
origin = importlib.util.find_spec("brannox.engine.trigger.mthread").origin
ctypes.c_int32.in_dll(ctypes.CDLL(origin), "mthread_run_as_main").value = 1
try:
    m = importlib.import_module("brannox.engine.trigger.mthread")
except Exception as exc:
    report = {"error": f"{type(exc).__name__}: {exc}",
              "threads": [t.name for t in threading.enumerate() if t is not threading.main_thread()],
              "bound": "brannox.engine.trigger.mthread" in sys.modules}
else:
    report = {"module": m}
    exec(sys.argv[1], report)
    report.pop("module"); report.pop("__builtins__", None)
with open(sys.argv[2], "w", encoding="utf-8") as f:
    json.dump(report, f, ensure_ascii=False, default=repr)
"""


def run_main_mode(tmp_path, inspect="", **env):
    write_fake_agno(tmp_path)
    out = tmp_path / "report.json"
    proc = subprocess.run(
        [sys.executable, "-c", DRIVER, textwrap.dedent(inspect), str(out)],
        env=dict(os.environ, PYTHONPATH=str(tmp_path), **env),
        cwd=tmp_path, stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
    return proc, json.loads(out.read_text(encoding="utf-8"))


INSPECT = """
from agno.models.ollama import CALLS
import inspect
C, G = module.CreateAgentOllama, module.GetStreamResponse
calls = [list(c[:2]) + [sorted(c[2]) if isinstance(c[2], dict) else list(c[2])] for c in CALLS]
names = [k for k in vars(module) if not k.startswith("__")]
bases = [[b.__name__ for b in C.__bases__], [b.__name__ for b in G.__bases__]]
docs = [C.__doc__.split("\\n"), G.__doc__]
ports = [C.ports, G.ports]
ticks = [[t.__qualname__, t.__annotations__, t.__doc__, t.__module__, str(inspect.signature(t))]
         for t in (C.tick, G.tick)]
static = [type(vars(C)["tick"]).__name__, type(vars(G)["tick"]).__name__]
trees = module.engine.get_tree_ids()
last = [module.tree_id0, module.tree_id1, str(module.status), module.response.content]
xml_lines = module.xml_text.split("\\n")
import hashlib
xml_digest = [len(module.xml_text), hashlib.sha256(module.xml_text.encode()).hexdigest()]
"""


def test_main_mode_runs_the_demonstration(tmp_path):
    proc, r = run_main_mode(tmp_path, INSPECT)
    assert proc.returncode == 0, proc.stderr.decode()
    # Exactly the contents of the pieces, then one line break per request.
    assert proc.stdout.decode() == "<qwen3:30b>中国上海的新闻42\n<qwen3:30b>中国北京的新闻42\n"
    assert r["names"][-13:] == ["Ollama", "Agent", "RunResponse", "Iterator", "CreateAgentOllama",
                                "GetStreamResponse", "engine", "xml_text", "tree_id0", "tree_id1",
                                "status", "response_stream", "response"]
    assert r["bases"] == [["SimpleActionNode"], ["SimpleActionNode"]]
    assert r["docs"][1] is None
    assert r["docs"][0][:2] == ["", "        创建Agent节点"] and len(r["docs"][0]) == 14
    assert r["docs"][0][7] == "            - model_provider: 模型供应商名称 (可选值: ollama, deepseek, openai, anthropic, gemini)"
    assert [[p["name"], p["type"], p["direction"], p["description"]] for p in r["ports"][1]] == [
        ["agent", "object", "input", ""], ["instructions", "object", "input", ""],
        ["response_stream", "object", "output", ""], ["user_input", "string", "input", ""]]
    assert [list(p) for p in r["ports"][0]] == [["name", "type", "direction", "description"]] * 3
    assert r["ticks"] == [
        ["CreateAgentOllama.tick", {"node": "TreeNode"}, None, "brannox.engine.trigger.mthread", "(node: 'TreeNode')"],
        ["GetStreamResponse.tick", {"node": "TreeNode"}, None, "brannox.engine.trigger.mthread", "(node: 'TreeNode')"]]
    assert r["static"] == ["staticmethod", "staticmethod"]
    # Keywords only, in order; one agent per tree, created during its first tick.
    assert r["calls"] == [
        ["Ollama", [], ["id"]], ["Agent", [], ["model", "description", "markdown"]], ["run", ["中国上海的新闻"], ["stream"]],
        ["Ollama", [], ["id"]], ["Agent", [], ["model", "description", "markdown"]], ["run", ["中国北京的新闻"], ["stream"]]]
    assert r["trees"] == []
    assert r["last"] == ["tree0", "tree1", "NodeStatus.RUNNING", 42]
    # The embedded tree, byte for byte (tabs and trailing spaces included).
    assert r["xml_digest"] == [779, "dc4259be420a7b8b6b512612bd87f1e692d272203114d871659b82b53c1e8562"]
    assert r["xml_lines"][0] == "" and r["xml_lines"][-1] == "    "
    assert r["xml_lines"][8] == " " * 28 + "\tagent=\"{agent}\" "


def test_empty_stream_prints_only_the_line_break(tmp_path):
    proc, _ = run_main_mode(tmp_path, FAKE_AGNO_EMPTY="中国上海的新闻")
    assert proc.returncode == 0, proc.stderr.decode()
    assert proc.stdout.decode() == "\n<qwen3:30b>中国北京的新闻42\n"


def test_failure_stops_the_trees_before_propagating(tmp_path):
    # Trees created from the (non-daemon) main thread would keep the process
    # alive if the failure left them running.
    proc, r = run_main_mode(tmp_path, FAKE_AGNO_FAIL="中国北京的新闻")
    assert proc.returncode == 0, proc.stderr.decode()
    assert r == {"error": "ConnectionError: model server went away", "threads": [], "bound": False}
    assert proc.stdout.decode() == "<qwen3:30b>中国上海的新闻42\npartial"


NODE_CALLS = """
from agno.models.ollama import CALLS
class Node:
    def __init__(self, values):
        self.values, self.log = values, []
    def getInputString(self, port):
        self.log.append(["getInputString", port]); return self.values.get(port)
    def getInputObject(self, port):
        self.log.append(["getInputObject", port]); return self.values.get(port)
    def setOutput(self, port, value):
        self.log.append(["setOutput", port, type(value).__name__])
C, G = module.CreateAgentOllama, module.GetStreamResponse
CALLS.clear()
n = Node({"model_id": "m1", "description": "d"})
status = str(C.tick(n)); second = C.tick(node=n)
create = n.log
agent = module.Agent(model=module.Ollama(id="x"), description="", markdown=True)
g = Node({"agent": agent, "user_input": "hi"})
stream_status = str(G.tick(g)); stream = g.log
bad = Node({"agent": None, "user_input": "hi"})
try:
    G.tick(bad)
except AttributeError as exc:
    none_agent = ["AttributeError", bad.log]
errors = []
for call in (lambda: C.tick(), lambda: C.tick(n, n), lambda: C.tick(n, node=n), lambda: C.tick(n, nod=n),
             lambda: C.tick(nod=n)):
    try:
        call()
    except TypeError as exc:
        errors.append(str(exc))
"""


def test_tick_functions_call_node_and_agent_in_order(tmp_path):
    proc, r = run_main_mode(tmp_path, NODE_CALLS)
    assert proc.returncode == 0, proc.stderr.decode()
    assert r["status"] == r["stream_status"] == "NodeStatus.SUCCESS"
    assert r["create"] == [["getInputString", "model_id"], ["getInputString", "description"],
                           ["setOutput", "agent", "Agent"]] * 2
    assert r["stream"] == [["getInputObject", "agent"], ["getInputObject", "instructions"],
                           ["getInputString", "user_input"], ["setOutput", "response_stream", "list_iterator"]]
    # A missing agent fails at run() and writes nothing.
    assert r["none_agent"] == ["AttributeError", r["stream"][:3]]
    assert r["errors"] == ["tick() takes exactly 1 positional argument (0 given)",
                           "tick() takes exactly 1 positional argument (2 given)",
                           "tick() got multiple values for keyword argument 'node'",
                           "tick() got an unexpected keyword argument 'nod'",
                           # a missing parameter is reported before a stray keyword
                           "tick() takes exactly 1 positional argument (0 given)"]


def test_plain_import_defines_no_demonstration(tmp_path):
    proc = subprocess.run(
        [sys.executable, "-c", "import brannox.engine.trigger.mthread as m; "
         "print(sorted(n for n in ('CreateAgentOllama', 'GetStreamResponse', 'engine', 'Agent') if hasattr(m, n)), m.__name__)"],
        cwd=tmp_path, capture_output=True, timeout=60)
    assert proc.stdout.decode() == "[] brannox.engine.trigger.mthread\n"
    assert proc.stderr == b""
