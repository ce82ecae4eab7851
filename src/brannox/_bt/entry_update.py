"""Nodes that react to new writes of a blackboard entry, for trees that wait on
something outside them (a person's approval, a message).

They compare the entry's version number (how many times it was written,
kept by the blackboard) instead of its value, so writing the same value
again counts as an update. The versions they saw are ordinary per-run
memory, kept in checkpoints like a Sequence's position.
"""

from __future__ import annotations

from types import MappingProxyType

from .node import PortInfo, TreeNode
from .status import NodeStatus

RUNNING, SUCCESS, FAILURE, SKIPPED = NodeStatus.RUNNING, NodeStatus.SUCCESS, NodeStatus.FAILURE, NodeStatus.SKIPPED
_ENTRY_PORTS = MappingProxyType({"entry": PortInfo("entry", description="the entry to watch: name or {name}")})


class _EntryWatcher(TreeNode):
    PORTS = _ENTRY_PORTS
    REQUIRED = frozenset(PORTS)

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        key = self._keys["entry"] or self._attrs["entry"].strip()
        if not key:
            raise self.build_error("port 'entry' is empty")
        self.entry = key

    def entry_version(self) -> int:
        return self._blackboard.version(self.entry)


class WasEntryUpdated(_EntryWatcher):
    """SUCCESS when the entry was written since this node last looked, else FAILURE.

    The first look counts any earlier write. What it saw survives halts and
    is cleared only by a tree reset.
    """

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.seen_version = 0

    def reset_memory(self) -> None:
        self.seen_version = 0

    def tick(self) -> NodeStatus:
        version = self.entry_version()
        if version == self.seen_version:
            return FAILURE
        self.seen_version = version
        return SUCCESS


class SkipUnlessUpdated(_EntryWatcher):
    """Ticks its child only if the entry was written since the child's last run started;
    otherwise SKIPPED. A RUNNING child is ticked on without checking."""

    CHILDREN = (1, 1)

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.seen_version = 0

    def reset_memory(self) -> None:
        self.seen_version = 0

    def tick(self) -> NodeStatus:
        child = self.children[0]
        if child.status is not RUNNING:
            version = self.entry_version()
            if version == self.seen_version:
                return SKIPPED
            self.seen_version = version
        status = child.execute_tick()
        if status is not RUNNING:
            child.halt()
        return status


class WaitValueUpdate(_EntryWatcher):
    """RUNNING from its start until the entry is written again, then ticks its child."""

    CHILDREN = (1, 1)

    def reset_run_state(self) -> None:
        self.start_version = None
        self.updated = False

    def tick(self) -> NodeStatus:
        if not self.updated:
            version = self.entry_version()
            if self.start_version is None:
                self.start_version = version
                return RUNNING
            if version == self.start_version:
                return RUNNING
            self.updated = True
        child = self.children[0]
        status = child.execute_tick()
        if status is RUNNING:
            return RUNNING
        child.halt()
        self.reset_run_state()
        return status
