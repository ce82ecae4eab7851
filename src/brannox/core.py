"""Single-tree behaviour-tree core: statuses, nodes, the factory, and errors.

One factory and the trees it builds belong to one thread; nothing in this
module is shared mutable state.
"""

from ._bt.blackboard import Blackboard
from ._bt.errors import (
    BehaviorTreeError,
    PortError,
    RegistrationError,
    TickError,
    TreeBuildError,
    TreeNotLoadedError,
    XMLParseError,
)
from ._bt.factory import MAX_TREE_DEPTH, MAX_TREE_NODES, BehaviorTreeFactory, Tree
from ._bt.node import PortInfo, TreeNode
from ._bt.status import NodeStatus

__all__ = [
    "MAX_TREE_DEPTH",
    "MAX_TREE_NODES",
    "BehaviorTreeError",
    "BehaviorTreeFactory",
    "Blackboard",
    "NodeStatus",
    "PortError",
    "PortInfo",
    "RegistrationError",
    "TickError",
    "Tree",
    "TreeBuildError",
    "TreeNode",
    "TreeNotLoadedError",
    "XMLParseError",
]
