"""The README's example session and the core guide's worked example run as
written, and the limits the README states hold; the test files share their
helpers only through conftest.py and helpers.py."""
import pathlib
import re
import subprocess
import sys
import textwrap

import pytest

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"


def test_example_session_runs(tmp_path):
    code = re.search(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), re.S).group(1)
    proc = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True, text=True,
                          timeout=60, stdin=subprocess.DEVNULL)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "4\n{'greeting': 'hello', 'said': 'HELLO'}\n"
    # Lifecycle lines go to standard error through the logger.
    for line in ("初始化线程引擎", "注册动作节点: Say", "创建行为树: greeter", "停止行为树: greeter", "停止所有行为树"):
        assert line in proc.stderr


def test_core_guide_worked_example_runs(tmp_path):
    guide = README.parent / "docs" / "core-guide.md"
    blocks = re.findall(r"```python\n(.*?)```", guide.read_text(encoding="utf-8"), re.S)
    code = next(b for b in blocks if "ThreadEngine()" in b and "yield" in b)
    proc = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True, text=True,
                          timeout=60, stdin=subprocess.DEVNULL)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "SUCCESS 49\nTrue\n"


LIMITS = {
    "a blocking tick function holds its tree": (
        ["holds its tree until it returns", "Ctrl-C in a caller waiting for it and `stop_tree` take effect only when it\nreturns",
         "actions that return RUNNING\n(see docs/core-guide.md)"],
        """
        import signal, threading, time
        def slow(node):
            time.sleep(1.5)
            return NodeStatus.SUCCESS
        def interrupt(signum, frame):
            raise KeyboardInterrupt
        signal.signal(signal.SIGUSR1, interrupt)  # SIGINT may be ignored when started in the background
        engine.register_action_behavior("Slow", slow, [])
        engine.create_tree_from_text(XML.replace("Say", "Slow"), "t")
        threading.Timer(0.2, signal.pthread_kill, (threading.main_thread().ident, signal.SIGUSR1)).start()
        t0 = time.monotonic()
        try:
            engine.tick_once("t")
        except KeyboardInterrupt:
            interrupted_after = time.monotonic() - t0
        ticker = threading.Thread(target=engine.tick_once, args=("t",))
        ticker.start()
        time.sleep(0.2)
        t0 = time.monotonic()
        engine.stop_tree("t")
        stopped_after = time.monotonic() - t0
        ticker.join()
        print(interrupted_after > 1.2, stopped_after > 1.0)
        """,
        "True True\n"),
    "automatic identifiers count live trees": (
        ["`tree_<n>`, n being the number of live trees", '"行为树ID tree_1 已存在"'],
        """
        made = [engine.create_tree_from_text(XML) for _ in range(2)]
        engine.stop_tree("tree_0")
        try:
            engine.create_tree_from_text(XML)
        except ValueError as exc:
            print(made, exc)
        engine.stop_all_trees()
        """,
        "['tree_0', 'tree_1'] 行为树ID tree_1 已存在\n"),
}
SETUP = """
from brannox.core import NodeStatus
import brannox.engine.trigger.mthread as mt
class Quiet:
    def info(self, *a): pass
    error = info
mt.logger = Quiet()
XML = '<root BTCPP_format="4"><BehaviorTree ID="Main"><Say/></BehaviorTree></root>'
engine = mt.ThreadEngine()
"""


@pytest.mark.parametrize("limit", LIMITS)
def test_documented_limits_hold(tmp_path, limit):
    phrases, script, expected = LIMITS[limit]
    text = " ".join(README.read_text(encoding="utf-8").split())  # line breaks may move
    assert [p for p in phrases if " ".join(p.split()) not in text] == []
    proc = subprocess.run([sys.executable, "-c", SETUP + textwrap.dedent(script)], cwd=tmp_path,
                          capture_output=True, text=True, timeout=60, stdin=subprocess.DEVNULL)
    assert (proc.stdout, proc.stderr) == (expected, "")


def test_test_files_share_code_only_through_conftest_and_helpers():
    # A test file imported by another runs its fixtures twice and drifts;
    # a stand-in core copied into each child script drifts too.
    found = {p.name: re.findall(r"^(?:from|import) test_\w+|^class Core\b", p.read_text(encoding="utf-8"), re.M)
             for p in (README.parent / "tests").glob("test_*.py")}
    assert {name: hits for name, hits in found.items() if hits} == {}
