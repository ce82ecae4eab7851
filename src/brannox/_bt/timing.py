"""Nodes that follow the clock (``TreeNode.clock``): Timeout, Delay, Sleep."""

from __future__ import annotations

from types import MappingProxyType

from .node import PortInfo, TreeNode
from .status import NodeStatus

RUNNING, SUCCESS, FAILURE = NodeStatus.RUNNING, NodeStatus.SUCCESS, NodeStatus.FAILURE


class _Timed(TreeNode):
    """A node with one millisecond port, checked at build time when literal."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.check_int_literals(minimum=0)

    def duration(self, port: str) -> float:
        """A millisecond port as seconds."""
        msec = self.int_input(port)
        if msec < 0:
            raise self.tick_error(f"port '{port}' must be >= 0, got {msec}")
        return msec / 1000.0


class Timeout(_Timed):
    """Halts a child still RUNNING ``msec`` after the node started and returns FAILURE."""

    CHILDREN = (1, 1)
    PORTS = MappingProxyType({"msec": PortInfo("msec", description="milliseconds the child may run")})
    REQUIRED = INT_PORTS = frozenset(PORTS)

    def reset_run_state(self) -> None:
        self.deadline = None  # clock time at which a child still RUNNING is halted

    def tick(self) -> NodeStatus:
        child = self.children[0]
        if self.deadline is None:
            self.deadline = self.now() + self.duration("msec")
        elif self.now() >= self.deadline:
            child.halt()
            self.deadline = None
            return FAILURE
        status = child.execute_tick()
        if status is RUNNING:
            return RUNNING
        child.halt()
        self.deadline = None
        return status


class Delay(_Timed):
    """RUNNING until ``delay_msec`` has passed since the node started, then ticks its child."""

    CHILDREN = (1, 1)
    PORTS = MappingProxyType({"delay_msec": PortInfo("delay_msec", description="milliseconds to wait first")})
    REQUIRED = INT_PORTS = frozenset(PORTS)

    def reset_run_state(self) -> None:
        self.ready_at = None  # clock time at which the child may start
        self.waited = False  # whether the delay is over and the child has started

    def tick(self) -> NodeStatus:
        if not self.waited:
            if self.ready_at is None:
                self.ready_at = self.now() + self.duration("delay_msec")
            if self.now() < self.ready_at:
                return RUNNING
            self.waited = True
        child = self.children[0]
        status = child.execute_tick()
        if status is RUNNING:
            return RUNNING
        child.halt()
        self.reset_run_state()
        return status


class Sleep(_Timed):
    """RUNNING until ``msec`` has passed since the node started, then SUCCESS."""

    PORTS = MappingProxyType({"msec": PortInfo("msec", description="milliseconds to sleep")})
    REQUIRED = INT_PORTS = frozenset(PORTS)

    def reset_run_state(self) -> None:
        self.wake_at = None  # clock time at which the node succeeds

    def tick(self) -> NodeStatus:
        if self.wake_at is None:
            self.wake_at = self.now() + self.duration("msec")
        if self.now() < self.wake_at:
            return RUNNING
        self.wake_at = None
        return SUCCESS
