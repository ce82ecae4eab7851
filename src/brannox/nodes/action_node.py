"""SimpleActionNode: the base class users derive action types from."""

from __future__ import annotations


class SimpleActionNode:
    """Declares an action type; it is never instantiated by the core.

    Subclasses set ``ports`` (a list of port dicts with keys "name", "type",
    "direction", "description") and define ``@staticmethod tick(node)``, which
    receives the tree's TreeNode and returns a NodeStatus. Register the class
    with ``SequentialEngine.register_action_class`` (or pass ``cls.tick`` and
    ``cls.ports`` to ``register_action_behavior``). The metaclass is plain
    ``type``, so subclasses can mix in freely.
    """

    ports: list = []

    @staticmethod
    def tick(node):
        raise NotImplementedError("subclasses of SimpleActionNode must define a @staticmethod tick(node)")
