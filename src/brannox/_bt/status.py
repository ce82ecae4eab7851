"""Node status values."""

import enum


class NodeStatus(enum.Enum):
    """Result of ticking a node.

    IDLE means "not started or halted"; a tick never returns it. SKIPPED is
    returned only by a node that did not run (a pre-condition or ``_while``
    skipped it, or every child of a control was skipped).
    """

    IDLE = 0
    RUNNING = 1
    SUCCESS = 2
    FAILURE = 3
    SKIPPED = 4

    @property
    def is_completed(self) -> bool:
        return self is NodeStatus.SUCCESS or self is NodeStatus.FAILURE
