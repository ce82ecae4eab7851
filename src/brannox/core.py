"""Single-tree behaviour-tree core: statuses, nodes, the factory, and errors.

One factory and the trees it builds belong to one thread. The only state
shared between threads is the table of node types added with
``register_node_type``, which is guarded by a lock.
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
from ._bt.factory import (
    MAX_TREE_DEPTH,
    MAX_TREE_NODES,
    BehaviorTreeFactory,
    Tree,
    register_node_type,
    registered_node_types,
)
from ._bt.node import PortInfo, TreeNode
from ._bt.script import MAX_SCRIPT_DEPTH, ScriptError
from ._bt.status import NodeStatus

__all__ = [
    "MAX_SCRIPT_DEPTH",
    "MAX_TREE_DEPTH",
    "MAX_TREE_NODES",
    "BehaviorTreeError",
    "BehaviorTreeFactory",
    "Blackboard",
    "NodeStatus",
    "PortError",
    "PortInfo",
    "RegistrationError",
    "ScriptError",
    "TickError",
    "Tree",
    "TreeBuildError",
    "TreeNode",
    "TreeNotLoadedError",
    "XMLParseError",
    "register_node_type",
    "registered_node_types",
]
