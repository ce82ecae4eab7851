"""SequentialEngine: one tree, ticked on the caller's thread."""

from __future__ import annotations

import logging
import operator
from typing import TYPE_CHECKING, Any, Callable, Dict, Iterator, List, Optional, TypedDict, Union

from .._bt.blackboard import Blackboard
from .._bt.errors import TreeNotLoadedError
from .._bt.factory import MAX_NODE_TICKS, BehaviorTreeFactory
from .._bt.node import TreeNode
from .._bt.observe import REGISTRY
from .._bt.status import NodeStatus

if TYPE_CHECKING:
    from .._bt.factory import Tree
    from ..nodes.action_node import SimpleActionNode

logger = logging.getLogger("brannox.core")

#: What a tick function returns: a status, or (a generator function) an
#: iterator whose bare ``yield``s report RUNNING and whose ``return`` gives
#: SUCCESS or FAILURE.
TickResult = Union[NodeStatus, Iterator[Optional[NodeStatus]]]
#: A tick function: a plain function or a generator function taking the
#: node, or the ``tick`` of a SimpleActionNode or StatefulActionNode class.
TickFunction = Callable[[TreeNode], TickResult]
#: One port: {"name", "type", "direction", "description"}.
PortDict = Dict[str, str]


class TreeStatus(TypedDict):
    """What ``get_tree_status`` answers."""

    loaded: bool
    tree_id: Optional[str]
    root_status: NodeStatus
    root_status_name: str
    tick_count: int
    node_count: int
    max_ticks: int
    max_ticks_reached: bool


class SequentialEngine:
    """Owns a factory, a blackboard and at most one tree.

    An engine is meant for a single thread; engines share nothing, so many of
    them may run side by side. The blackboard belongs to the engine: values
    set before ``create_tree_from_text`` are visible to the tree, and they
    survive loading another tree.
    """

    #: Most ticks tick_until_success / tick_until_failure make before giving up,
    #: and the largest n tick_n_times accepts. Assign on the class to change it
    #: for every engine, or on an instance for that engine only.
    max_ticks: int = 10_000
    #: Most node ticks one tick of the tree may make (loops count each round
    #: with the nodes under them); past it the tick fails with TickError
    #: naming the loop node. Set like max_ticks.
    max_node_ticks: int = MAX_NODE_TICKS
    #: Process-wide callables run as ``hook(engine, tree)`` on the building
    #: thread once a newly built tree is current, before anything can tick
    #: it (brannox.durable restores and follows durable trees from here). A
    #: hook that raises fails the creation.
    tree_hooks: tuple = ()

    def __init__(self) -> None:
        self.factory = BehaviorTreeFactory()
        self._blackboard = Blackboard()
        self._tree: Optional[Tree] = None
        self._tick_count = 0
        self._limit_reached = False

    # -- registration and loading -------------------------------------------
    def register_action_behavior(
        self, action_id: str, tick_functor: TickFunction, ports_list: Optional[List[PortDict]] = None
    ) -> None:
        """Register an action type; an id may be registered once per engine (RegistrationError otherwise)."""
        self.factory.register_action_behavior(action_id, tick_functor, ports_list)

    def register_action_class(self, cls: type[SimpleActionNode], action_id: Optional[str] = None) -> None:
        """Register a SimpleActionNode subclass (id defaults to the class name)."""
        self.factory.register_action_class(cls, action_id)

    def create_tree_from_text(self, xml_text: str) -> None:
        """Build the main tree of ``xml_text`` and make it current.

        On error the previous tree (if any) stays loaded; on success it is
        halted and replaced, and the tick count restarts at 0.
        """
        tree = self.factory.create_tree_from_text(xml_text, self._blackboard)
        if self._tree is not None:
            self._tree.halt()
        self._tree = tree
        self._tick_count = 0
        self._limit_reached = False
        for hook in SequentialEngine.tree_hooks:
            hook(self, tree)
        REGISTRY.register(tree, xml_text)  # lets a monitor or recording find this tree

    def _require_tree(self) -> Tree:
        if self._tree is None:
            raise TreeNotLoadedError("no tree is loaded: call create_tree_from_text() first")
        return self._tree

    # -- ticking ------------------------------------------------------------
    def tick_once(self) -> NodeStatus:
        status = self._require_tree().tick_once(operator.index(self.max_node_ticks))
        self._tick_count += 1
        return status

    def _tick_until(self, target: NodeStatus) -> int:
        tree = self._require_tree()
        limit = operator.index(self.max_ticks)
        node_ticks = operator.index(self.max_node_ticks)
        count = 0
        self._limit_reached = False
        while count < limit:
            status = tree.tick_once(node_ticks)
            self._tick_count += 1
            count += 1
            if status is target:
                return count
        self._limit_reached = True
        return count

    def tick_until_success(self) -> int:
        """Tick until the root returns SUCCESS or max_ticks ticks were made; return the ticks made."""
        return self._tick_until(NodeStatus.SUCCESS)

    def tick_until_failure(self) -> int:
        """Tick until the root returns FAILURE or max_ticks ticks were made; return the ticks made."""
        return self._tick_until(NodeStatus.FAILURE)

    def tick_n_times(self, n: int) -> List[NodeStatus]:
        """Tick ``n`` times and return every status (an empty list for n <= 0).

        ``n`` above ``max_ticks`` is refused (ValueError) before any tick: a
        runaway count would otherwise hold the tree's thread for ever.
        """
        n = operator.index(n)
        limit = operator.index(self.max_ticks)
        if n > limit:
            raise ValueError(
                f"tick_n_times(n={n}) exceeds max_ticks={limit}; raise SequentialEngine.max_ticks to allow more"
            )
        if n > 0:
            self._require_tree()
        return [self.tick_once() for _ in range(n)]

    def reset_tree(self) -> None:
        """Halt running nodes (their halt callbacks run), then return every node to
        IDLE with its memory cleared and restart the tick count; the blackboard is kept."""
        if self._tree is not None:
            self._tree.reset()
        self._tick_count = 0
        self._limit_reached = False

    def halt_tree(self) -> None:
        """Halt the tree's RUNNING nodes so they release what they hold.

        The thread engine calls this on the tree's thread when the tree is
        stopped (it looks the method up on the class). Never raises an
        Exception: failures of halt callbacks are logged on the
        ``brannox.core`` logger.
        """
        tree = self._tree
        if tree is None:
            return
        try:
            tree.halt()
        except Exception as exc:
            logger.error("halting tree '%s' failed: %s: %s", tree.tree_id, type(exc).__name__, exc, exc_info=exc)

    def get_tree_status(self) -> TreeStatus:
        tree = self._tree
        status = tree.status if tree is not None else NodeStatus.IDLE
        return {
            "loaded": tree is not None,
            "tree_id": tree.tree_id if tree is not None else None,
            "root_status": status,
            "root_status_name": status.name,
            "tick_count": self._tick_count,
            "node_count": tree.node_count if tree is not None else 0,
            "max_ticks": self.max_ticks,
            "max_ticks_reached": self._limit_reached,
        }

    # -- blackboard ---------------------------------------------------------
    def get_blackboard_data(self, key: str) -> Any:
        """The value stored under ``key``, or None if it was never set."""
        return self._blackboard.get(_check_key(key))

    def set_blackboard_data(self, key: str, value: Any) -> None:
        self._blackboard.set(_check_key(key), value)

    def get_all_blackboard_data(self) -> Dict[str, Any]:
        """A copy of the top-level blackboard (sub-tree locals are not included)."""
        return self._blackboard.snapshot()


def _check_key(key: object) -> str:
    if not isinstance(key, str) or not key:
        raise TypeError(f"blackboard keys are non-empty strings, not {key!r}")
    return key
