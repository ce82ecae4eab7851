"""Node status values."""

import enum


class NodeStatus(enum.Enum):
    """Result of ticking a node.

    IDLE means "not started or halted"; a tick never returns it.
    """

    IDLE = 0
    RUNNING = 1
    SUCCESS = 2
    FAILURE = 3

    @property
    def is_completed(self) -> bool:
        return self is NodeStatus.SUCCESS or self is NodeStatus.FAILURE
