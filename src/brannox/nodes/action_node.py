"""SimpleActionNode and StatefulActionNode: the base classes users derive action types from."""

from __future__ import annotations

from typing import Any

from .._bt.leaves import StatefulTick


class SimpleActionNode:
    """Declares an action type; it is never instantiated by the core.

    Subclasses set ``ports`` (a list of port dicts with keys "name", "type",
    "direction", "description") and define ``@staticmethod tick(node)``, which
    receives the tree's TreeNode and returns a NodeStatus. Register the class
    with ``SequentialEngine.register_action_class`` (or pass ``cls.tick`` and
    ``cls.ports`` to ``register_action_behavior``). The metaclass is plain
    ``type``, so subclasses can mix in freely.

    ``tick`` may also be a generator function: each bare ``yield`` reports
    RUNNING and the next tick resumes it; ``return NodeStatus.SUCCESS`` or
    ``FAILURE`` finishes the node; a halt closes the generator.
    """

    ports: list = []

    @staticmethod
    def tick(node):
        raise NotImplementedError("subclasses of SimpleActionNode must define a @staticmethod tick(node)")


class StatefulActionNode(SimpleActionNode):
    """An action that runs over several ticks and can be halted.

    Subclasses set ``ports`` and define three static methods, each receiving
    the tree's TreeNode:

    - ``on_start(node)``: the first tick of a run; returns SUCCESS, FAILURE
      or RUNNING.
    - ``on_running(node)``: every later tick while the node is RUNNING.
    - ``on_halted(node)``: the node was halted while RUNNING (its parent no
      longer needs it, a Timeout expired, the tree was reset or stopped);
      release what it holds. Its exceptions are logged, never raised.

    Defining the subclass gives it its own ``tick`` carrying these methods,
    so ``register_action_class(MyNode)`` and
    ``register_action_behavior(id, MyNode.tick, MyNode.ports)`` both work.
    """


    def __init_subclass__(cls, **kwargs: Any) -> None:
        super().__init_subclass__(**kwargs)
        if "tick" not in cls.__dict__:  # a subclass that writes its own tick keeps it
            cls.tick = StatefulTick(cls)

    @staticmethod
    def on_start(node):
        raise NotImplementedError("subclasses of StatefulActionNode must define a @staticmethod on_start(node)")

    @staticmethod
    def on_running(node):
        raise NotImplementedError("subclasses of StatefulActionNode must define a @staticmethod on_running(node)")

    @staticmethod
    def on_halted(node):
        """Default: nothing to release."""


StatefulActionNode.tick = StatefulTick(StatefulActionNode)
