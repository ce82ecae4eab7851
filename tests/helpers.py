"""Helpers shared by the test files; fixtures live in conftest.py."""
import subprocess
import sys
import textwrap
import threading
import time

from brannox.core import NodeStatus

XML = '<root BTCPP_format="4"><BehaviorTree ID="Main"><Sequence><Say msg="hi" out="{o}"/></Sequence></BehaviorTree></root>'
PORTS = [{"name": "msg", "type": "string", "direction": "input", "description": ""},
         {"name": "out", "type": "string", "direction": "output", "description": ""}]
CORE_METHODS = ("register_action_behavior", "create_tree_from_text", "tick_once", "tick_until_failure",
                "tick_until_success", "tick_n_times", "get_tree_status", "get_blackboard_data",
                "set_blackboard_data", "get_all_blackboard_data", "reset_tree")


def say(node):
    node.setOutput("out", node.getInputString("msg"))
    return NodeStatus.SUCCESS


def install_core(mt, monkeypatch, **hooks):
    """Core stand-in: records (method, args, thread name); `hooks` answer or raise."""
    calls = []

    def method(name):
        def call(self, *args):
            calls.append((name, args, threading.current_thread().name))
            return hooks[name](*args) if name in hooks else None
        return call

    monkeypatch.setattr(mt, "SequentialEngine", type("Core", (), {n: method(n) for n in ("__init__",) + CORE_METHODS}))
    return calls


def until(pred, timeout=10.0):
    deadline = time.monotonic() + timeout
    while not pred():
        assert time.monotonic() < deadline, "state not reached"
        time.sleep(0.001)


class Call(threading.Thread):
    """Runs fn(*args) on a daemon thread; outcome() returns or re-raises, and fails on a hang."""

    def __init__(self, fn, *args, name=None):
        super().__init__(daemon=True, name=name)
        self.fn, self.args, self.box = fn, args, {}
        self.start()

    def run(self):
        try:
            self.box["value"] = self.fn(*self.args)
        except BaseException as exc:
            self.box["error"] = exc

    def outcome(self, timeout=10.0):
        self.join(timeout)
        assert not self.is_alive(), "call hung"
        if "error" in self.box:
            raise self.box["error"]
        return self.box.get("value")


def from_fresh_threads(fn, dead_ident, limit=300):
    """Outcomes of fn called on fresh threads, up to the first thread that runs
    with `dead_ident` (an ended tree thread's ident, which the system recycles)."""
    outcomes = []
    for _ in range(limit):
        call = Call(fn)
        try:
            outcomes.append(call.outcome())
        except Exception as exc:
            outcomes.append(exc)
        if call.ident == dead_ident:
            break
    return outcomes


def run_tree_threads():
    return [t for t in threading.enumerate() if t.name.endswith("(_run_tree)")]


class FailingThread(threading.Thread):
    def __init__(self, *args, **kwargs):
        raise RuntimeError("no thread for you")


class UnstartableThread(threading.Thread):
    def start(self):
        raise RuntimeError("can't start new thread")


# The core stand-in for scripts run in a child interpreter, and a logger that
# says nothing. The scripts import the module themselves, where their test
# needs it (some change the process first), and then call install().
CHILD_CORE = r"""
import sys, threading, time


class Core:
    delay = 0  # seconds a tick sleeps, unless the blackboard's "delay" says otherwise
    die = False  # a tick raises SystemExit: its tree thread ends with the command unanswered

    def __init__(self): self.board = {}
    def register_action_behavior(self, *a): pass
    def create_tree_from_text(self, xml): pass

    def tick_once(self):
        if Core.die:
            raise SystemExit
        delay = self.board.get("delay", Core.delay)
        if delay:
            time.sleep(delay)
        return "ticked"

    def get_blackboard_data(self, key): return self.board.get(key)
    def set_blackboard_data(self, key, value): self.board[key] = value


class Quiet:
    def info(self, *a): pass
    error = info


def install():
    import brannox.engine.trigger.mthread as mt
    mt.SequentialEngine, mt.logger = Core, Quiet()
    return mt
"""


def child_script(body):
    """The source of a child-interpreter script: the stand-in core, then `body`."""
    return CHILD_CORE + textwrap.dedent(body)


def run_child(script, *args, timeout=60):
    """Runs `script` in a child interpreter; its stdout, after checking that
    it exited cleanly within `timeout` seconds (a hang fails the test)."""
    proc = subprocess.run([sys.executable, "-c", script, *args], capture_output=True, text=True,
                          timeout=timeout, stdin=subprocess.DEVNULL)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return proc.stdout


# A fake agno package for main mode, put first on PYTHONPATH. An answer is
# the model id, the question and 42; the environment variables below name a
# question whose answer fails part-way (FAKE_AGNO_FAIL), is empty
# (FAKE_AGNO_EMPTY) or never comes, the tick blocking (FAKE_AGNO_BLOCK).
FAKE_AGNO = {
    "agno/__init__.py": "",
    "agno/models/__init__.py": "",
    "agno/models/ollama.py": """
        CALLS = []
        class Ollama:
            def __init__(self, *args, **kwargs):
                CALLS.append(("Ollama", args, kwargs))
                self.id = kwargs.get("id")
    """,
    "agno/agent.py": """
        import os, time
        from agno.models.ollama import CALLS
        class RunResponse:
            def __init__(self, content):
                self.content = content
        class Agent:
            def __init__(self, *args, **kwargs):
                CALLS.append(("Agent", args, tuple(kwargs)))
                self.model = kwargs["model"]
            def run(self, *args, **kwargs):
                CALLS.append(("run", args, kwargs))
                text = args[0]
                if os.environ.get("FAKE_AGNO_FAIL") == text:
                    def broken():
                        yield RunResponse("partial")
                        raise ConnectionError("model server went away")
                    return broken()
                if os.environ.get("FAKE_AGNO_EMPTY") == text:
                    return iter(())
                if os.environ.get("FAKE_AGNO_BLOCK") == text:
                    # A request that never returns, made in the tick; the file tells the test.
                    open("blocked", "w").close()
                    time.sleep(3600)
                return iter([RunResponse(f"<{self.model.id}>"), RunResponse(text), RunResponse(42)])
    """,
}


def write_fake_agno(where):
    for rel, text in FAKE_AGNO.items():
        path = where / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(textwrap.dedent(text), encoding="utf-8")
    return where


def run_docs_example(doc, cwd):
    """Runs the first ```python block of docs/<doc> in a child interpreter; returns its standard output."""
    import pathlib
    import re

    text = (pathlib.Path(__file__).resolve().parent.parent / "docs" / doc).read_text(encoding="utf-8")
    code = re.search(r"```python\n(.*?)```", text, re.S).group(1)
    proc = subprocess.run([sys.executable, "-c", code], cwd=cwd, capture_output=True, text=True,
                          timeout=60, stdin=subprocess.DEVNULL)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout
