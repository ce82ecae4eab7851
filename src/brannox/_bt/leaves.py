"""Leaves and the nodes that wrap what users register: constant results,
SetBlackboard, the SubTree node, and the action node."""

from __future__ import annotations

from types import GeneratorType, MappingProxyType

from .node import PortInfo, TreeNode, logger, safe_repr, safe_str
from .status import NodeStatus

RUNNING, SUCCESS, FAILURE = NodeStatus.RUNNING, NodeStatus.SUCCESS, NodeStatus.FAILURE


class AlwaysSuccess(TreeNode):
    def tick(self) -> NodeStatus:
        return SUCCESS


class AlwaysFailure(TreeNode):
    def tick(self) -> NodeStatus:
        return FAILURE


class SetBlackboard(TreeNode):
    """Writes ``value`` (a literal, or a copy of another entry) to ``output_key``."""

    PORTS = MappingProxyType({
        "value": PortInfo("value", "object", description="literal text or {key} to copy"),
        "output_key": PortInfo("output_key", description="entry to write: name or {name}"),
    })
    REQUIRED = frozenset(PORTS)

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        target = self._keys["output_key"] or self._attrs["output_key"].strip()
        if not target:
            raise self.build_error("port 'output_key' is empty")
        self.target = target

    def tick(self) -> NodeStatus:
        key = self._keys["value"]
        if key is not None and not self._blackboard.has(key):
            raise self.tick_error(f"port 'value' refers to blackboard entry '{key}', which is not set")
        self._blackboard.set(self.target, self.getInputObject("value"))
        return SUCCESS


class SubTreeNode(TreeNode):
    """Runs another BehaviorTree with its own, remapped blackboard."""

    CHILDREN = (0, 0)  # its child is the sub-tree root, added by the builder

    def tick(self) -> NodeStatus:
        return self.children[0].execute_tick()


class StatefulTick:
    """The ``tick`` of a StatefulActionNode subclass: dispatches on the node's state.

    Calling it ticks (``on_start`` unless the node is RUNNING, then
    ``on_running``); ActionNode calls ``on_halted`` when the node is halted
    while RUNNING. The methods are looked up on the class at each call, so
    they can be replaced like any class attribute.
    """

    __slots__ = ("owner",)

    def __init__(self, owner):
        self.owner = owner

    def __call__(self, node):
        if node.status is RUNNING:
            return self.owner.on_running(node)
        return self.owner.on_start(node)

    def on_halted(self, node) -> None:
        self.owner.on_halted(node)

    def __repr__(self) -> str:
        return f"<stateful tick of {self.owner.__qualname__}>"


class ActionNode(TreeNode):
    """A registered action: calls its tick function with itself.

    A tick function may return a generator instead of a status: each bare
    ``yield`` then reports RUNNING, the generator is resumed on the next tick,
    its ``return`` value (SUCCESS or FAILURE) finishes the node, and a halt
    closes it so that its ``finally`` blocks run.
    """

    #: Its per-run memory: the generator a tick function returned, while it runs.
    _generator = None

    def __init__(self, node_id: str, functor, **kwargs):
        super().__init__(node_id, **kwargs)
        self.functor = functor

    def tick(self) -> NodeStatus:
        if self._generator is not None:
            return self._resume()
        try:
            result = self.functor(self)
        except Exception as exc:
            raise self.tick_error(f"tick function raised {type(exc).__name__}: {safe_str(exc)}") from exc
        if result is SUCCESS or result is FAILURE or result is RUNNING:
            return result
        if type(result) is GeneratorType:
            self._generator = result
            return self._resume()
        raise self.tick_error(
            f"tick function returned {safe_repr(result)}; it must return NodeStatus.SUCCESS, FAILURE or RUNNING"
        )

    def _resume(self) -> NodeStatus:
        generator = self._generator
        try:
            step = next(generator)
        except StopIteration as stop:
            self._generator = None
            if stop.value is SUCCESS or stop.value is FAILURE:
                return stop.value
            raise self.tick_error(
                f"generator tick function returned {safe_repr(stop.value)}; it must return NodeStatus.SUCCESS or FAILURE"
            ) from None
        except Exception as exc:
            self._generator = None
            raise self.tick_error(f"tick function raised {type(exc).__name__}: {safe_str(exc)}") from exc
        if step is None or step is RUNNING:
            return RUNNING
        message = f"generator tick function yielded {safe_repr(step)}; use a bare 'yield' to report RUNNING"
        try:
            self._close_generator()
        except Exception as exc:
            raise self.tick_error(f"{message} (closing it then raised {type(exc).__name__}: {safe_str(exc)})") from exc
        raise self.tick_error(message)

    def _close_generator(self) -> None:
        generator, self._generator = self._generator, None
        if generator is not None:
            generator.close()  # runs its finally blocks and with-exits here, on the tree's thread

    def on_halted(self) -> None:
        if self._generator is not None:
            self._close_generator()
        elif isinstance(self.functor, StatefulTick):
            self.functor.on_halted(self)

    def reset_run_state(self) -> None:
        # Sets _generator back to None (the class default) only when it is not:
        # every action is halted at least once per tick, so a store here costs.
        if self._generator is not None:
            # Only reachable if a node was reset without being RUNNING; close it all the same.
            try:
                self._close_generator()
            except Exception as exc:
                logger.error("%s: closing its generator raised %s: %s", self.describe(), type(exc).__name__, exc)
