"""The documented examples, and each documented kind of tick function on
both engines, type-check under mypy --strict against the installed
package's annotations and stub."""
import pathlib
import re
import subprocess
import sys
import textwrap

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent

# The kinds of tick function docs/core-guide.md describes, each registered on
# both engines; a tick function of the wrong type must still be flagged (the
# ignore comment is reported as unused if it is not).
TICK_KINDS = """
from typing import Generator, Iterator, List

from brannox.core import NodeStatus, TreeNode
from brannox.engine.sequential_engine import SequentialEngine, TreeStatus
from brannox.engine.trigger.mthread import ThreadEngine
from brannox.nodes.action_node import SimpleActionNode, StatefulActionNode


def plain(node: TreeNode) -> NodeStatus:
    return NodeStatus.SUCCESS


def steps(node: TreeNode) -> Generator[None, None, NodeStatus]:
    yield
    return NodeStatus.SUCCESS


def bare_steps(node: TreeNode) -> Iterator[None]:
    yield


class Simple(SimpleActionNode):
    @staticmethod
    def tick(node: TreeNode) -> NodeStatus:
        return NodeStatus.FAILURE


class Stateful(StatefulActionNode):
    @staticmethod
    def on_start(node: TreeNode) -> NodeStatus:
        return NodeStatus.RUNNING

    @staticmethod
    def on_running(node: TreeNode) -> NodeStatus:
        return NodeStatus.SUCCESS


def wrong(node: TreeNode) -> str:
    return "SUCCESS"


sequential = SequentialEngine()
threads = ThreadEngine()
sequential.register_action_behavior("Plain", plain)
sequential.register_action_behavior("Steps", steps, [])
sequential.register_action_behavior("Bare", bare_steps, [])
sequential.register_action_behavior("Simple", Simple.tick, Simple.ports)
sequential.register_action_behavior("Stateful", Stateful.tick, Stateful.ports)
sequential.register_action_class(Stateful)
sequential.register_action_behavior("Wrong", wrong)  # type: ignore[arg-type]
threads.register_action_behavior("Plain", plain, [])
threads.register_action_behavior("Steps", steps, [])
threads.register_action_behavior("Bare", bare_steps, [])
threads.register_action_behavior("Simple", Simple.tick, Simple.ports)
threads.register_action_behavior("Stateful", Stateful.tick, Stateful.ports)
threads.register_action_class(Stateful)
threads.register_action_behavior("Wrong", wrong, [])  # type: ignore[arg-type]

status: TreeStatus = sequential.get_tree_status()
ticks: int = status["tick_count"] + threads.get_tree_status("t")["tick_count"]
root: NodeStatus = threads.get_tree_status("t")["root_status"]
statuses: List[NodeStatus] = sequential.tick_n_times(2) + threads.tick_n_times("t", 2)
"""


def documented_examples():
    """The README's example session and the core guide's complete examples
    (those that import what they use; the others are fragments)."""
    readme = re.findall(r"```python\n(.*?)```", (ROOT / "README.md").read_text(encoding="utf-8"), re.S)
    guide = re.findall(r"```python\n(.*?)```", (ROOT / "docs" / "core-guide.md").read_text(encoding="utf-8"), re.S)
    return {"readme_session": readme[0],
            **{f"core_guide_{i}": b for i, b in enumerate(guide) if re.match(r"(from|import) ", b)}}


@pytest.mark.timeout(600)
def test_examples_and_tick_kinds_pass_mypy_strict(tmp_path):
    sources = {"tick_kinds": TICK_KINDS, **documented_examples()}
    assert len(sources) >= 5  # the session, the quick start, the node type, the worked example
    for name, code in sources.items():
        (tmp_path / f"{name}.py").write_text(textwrap.dedent(code), encoding="utf-8")
    proc = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-error-summary",
                           "--cache-dir", str(tmp_path / "cache"), *sorted(f"{n}.py" for n in sources)],
                          cwd=tmp_path, capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stdout + proc.stderr
