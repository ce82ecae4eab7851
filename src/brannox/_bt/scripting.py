"""Nodes whose ports hold scripts: Script, ScriptCondition, Precondition."""

from __future__ import annotations

from types import MappingProxyType

from .node import PortInfo, TreeNode
from .script import ScriptError, compile_script
from .status import NodeStatus

RUNNING, SUCCESS, FAILURE = NodeStatus.RUNNING, NodeStatus.SUCCESS, NodeStatus.FAILURE


class _ScriptNode(TreeNode):
    """Base of nodes whose ports hold literal scripts, compiled when the tree is built."""

    SCRIPT_PORTS: tuple = ()

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.scripts = {}
        for port in self.SCRIPT_PORTS:
            if port not in self._attrs:
                continue
            if self._keys[port] is not None:
                raise self.build_error(f"port '{port}' must hold a script, not a blackboard reference")
            try:
                self.scripts[port] = compile_script(self._attrs[port])
            except ScriptError as exc:
                raise self.build_error(f"port '{port}': {exc}") from None


class Script(_ScriptNode):
    """Runs its script; SUCCESS (a failing expression is a tick error)."""

    PORTS = MappingProxyType({"code": PortInfo("code", description="statements to run")})
    REQUIRED = frozenset(PORTS)
    SCRIPT_PORTS = ("code",)

    def tick(self) -> NodeStatus:
        self._run_script(self.scripts["code"])
        return SUCCESS


class ScriptCondition(_ScriptNode):
    """SUCCESS when its script is true, else FAILURE."""

    PORTS = Script.PORTS
    REQUIRED = frozenset(PORTS)
    SCRIPT_PORTS = ("code",)

    def tick(self) -> NodeStatus:
        return SUCCESS if self._script_truth(self.scripts["code"]) else FAILURE


class Precondition(_ScriptNode):
    """Ticks its child only if the ``if`` script is true when the run starts; else returns ``else``."""

    CHILDREN = (1, 1)
    PORTS = MappingProxyType({
        "if": PortInfo("if", description="script checked before the child starts"),
        "else": PortInfo("else", description="SUCCESS, FAILURE (default) or SKIPPED when the script is false"),
    })
    REQUIRED = frozenset({"if"})
    SCRIPT_PORTS = ("if",)

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.otherwise = self.status_literal("else", "FAILURE")

    def tick(self) -> NodeStatus:
        child = self.children[0]
        if child.status is not RUNNING and not self._script_truth(self.scripts["if"]):
            return self.otherwise
        status = child.execute_tick()
        if status is RUNNING:
            return RUNNING
        child.halt()
        return status
