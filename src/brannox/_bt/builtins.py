"""The built-in node types: controls, decorators, leaves, and the action wrapper."""

from __future__ import annotations

from types import MappingProxyType

from .node import PortInfo, TreeNode
from .status import NodeStatus

RUNNING, SUCCESS, FAILURE, IDLE = NodeStatus.RUNNING, NodeStatus.SUCCESS, NodeStatus.FAILURE, NodeStatus.IDLE


# --------------------------------------------------------------------- controls
class _Control(TreeNode):
    CHILDREN = (1, None)


class _MemoryControl(_Control):
    """Sequence/Fallback: resume at the running child, start over once finished."""

    # The child status that ends the run early (FAILURE for sequences).
    STOP_ON = FAILURE
    # Whether an early stop forgets the position (False: retry the same child).
    RESTART_ON_STOP = True

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.index = 0

    def reset_state(self) -> None:
        self.index = 0

    def tick(self) -> NodeStatus:
        children = self.children
        while self.index < len(children):
            status = children[self.index].execute_tick()
            if status is RUNNING:
                return RUNNING
            if status is self.STOP_ON:
                if self.RESTART_ON_STOP:
                    self.halt_children()
                    self.index = 0
                else:
                    self.halt_children(self.index)
                return status
            self.index += 1
        self.halt_children()
        self.index = 0
        return FAILURE if self.STOP_ON is SUCCESS else SUCCESS


class Sequence(_MemoryControl):
    STOP_ON = FAILURE


class SequenceWithMemory(_MemoryControl):
    STOP_ON = FAILURE
    RESTART_ON_STOP = False


class Fallback(_MemoryControl):
    STOP_ON = SUCCESS


class _ReactiveControl(_Control):
    """Re-ticks from the first child every tick; a running child pre-empts later ones."""

    STOP_ON = FAILURE

    def tick(self) -> NodeStatus:
        children = self.children
        for i, child in enumerate(children):
            status = child.execute_tick()
            if status is RUNNING:
                for j, other in enumerate(children):
                    if j != i:
                        other.halt()
                return RUNNING
            if status is self.STOP_ON:
                self.halt_children()
                return status
        self.halt_children()
        return FAILURE if self.STOP_ON is SUCCESS else SUCCESS


class ReactiveSequence(_ReactiveControl):
    STOP_ON = FAILURE


class ReactiveFallback(_ReactiveControl):
    STOP_ON = SUCCESS


class Parallel(_Control):
    """Ticks all unfinished children each tick.

    SUCCESS once success_count children succeeded, FAILURE once failure_count
    failed or success became unreachable. Negative counts are relative to the
    number of children (-1 means all of them).
    """

    PORTS = MappingProxyType({
        "success_count": PortInfo("success_count", description="children that must succeed (default -1: all)"),
        "failure_count": PortInfo("failure_count", description="children that must fail (default 1)"),
    })
    INT_PORTS = frozenset(PORTS)

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.check_int_literals(minimum=-(1 << 62))
        self.done: dict = {}

    def finish_setup(self) -> None:
        # Children exist by now, so literal thresholds can be checked at build time.
        if all(self._keys[p] is None for p in self._attrs):
            try:
                self._thresholds()
            except ValueError as exc:
                raise self.build_error(str(exc)) from None

    def _thresholds(self) -> tuple:
        n = len(self.children)
        result = []
        for port, default in (("success_count", -1), ("failure_count", 1)):
            value = self.int_input(port, default)
            resolved = n + value + 1 if value < 0 else value
            if not 1 <= resolved <= n:
                raise ValueError(f"port '{port}'={value} does not fit {n} children (valid: 1..{n} or -{n}..-1)")
            result.append(resolved)
        return tuple(result)

    def reset_state(self) -> None:
        self.done = {}

    def tick(self) -> NodeStatus:
        try:
            need_success, need_failure = self._thresholds()
        except ValueError as exc:
            raise self.tick_error(str(exc)) from None
        n = len(self.children)
        for i, child in enumerate(self.children):
            if i in self.done:
                continue
            status = child.execute_tick()
            if status is RUNNING:
                continue
            self.done[i] = status
            successes = sum(1 for s in self.done.values() if s is SUCCESS)
            failures = len(self.done) - successes
            if successes >= need_success:
                self.halt_children()
                self.done = {}
                return SUCCESS
            if failures >= need_failure or n - failures < need_success:
                self.halt_children()
                self.done = {}
                return FAILURE
        return RUNNING


# ------------------------------------------------------------------- decorators
class _Decorator(TreeNode):
    CHILDREN = (1, 1)
    # Status returned when the child succeeds / fails (RUNNING is passed through).
    ON_SUCCESS = SUCCESS
    ON_FAILURE = FAILURE

    def tick(self) -> NodeStatus:
        child = self.children[0]
        status = child.execute_tick()
        if status is RUNNING:
            return RUNNING
        child.halt()
        return self.ON_SUCCESS if status is SUCCESS else self.ON_FAILURE


class Inverter(_Decorator):
    ON_SUCCESS, ON_FAILURE = FAILURE, SUCCESS


class ForceSuccess(_Decorator):
    ON_SUCCESS, ON_FAILURE = SUCCESS, SUCCESS


class ForceFailure(_Decorator):
    ON_SUCCESS, ON_FAILURE = FAILURE, FAILURE


class KeepRunningUntilFailure(_Decorator):
    ON_SUCCESS, ON_FAILURE = RUNNING, FAILURE


class _LoopDecorator(TreeNode):
    """Repeat / RetryUntilSuccessful.

    A finite count loops inside one tick while the child finishes at once;
    a count of -1 runs one round per tick and reports RUNNING in between, so
    an endless loop never blocks the tick that started it.
    """

    CHILDREN = (1, 1)
    COUNT_PORT = ""
    CONTINUE_ON = SUCCESS  # child result that starts another round

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.check_int_literals(minimum=-1)
        self.rounds = 0

    def reset_state(self) -> None:
        self.rounds = 0

    def tick(self) -> NodeStatus:
        limit = self.int_input(self.COUNT_PORT)
        if limit < -1:
            raise self.tick_error(f"port '{self.COUNT_PORT}' must be >= -1, got {limit}")
        child = self.children[0]
        while limit == -1 or self.rounds < limit:
            status = child.execute_tick()
            if status is RUNNING:
                return RUNNING
            child.halt()
            if status is not self.CONTINUE_ON:
                self.rounds = 0
                return status
            self.rounds += 1
            if limit == -1:
                return RUNNING
        self.rounds = 0
        # Ran out of rounds: Repeat did them all (SUCCESS), Retry used up its attempts.
        return self.CONTINUE_ON


class Repeat(_LoopDecorator):
    PORTS = MappingProxyType({"num_cycles": PortInfo("num_cycles", description="times to run the child; -1 for ever")})
    REQUIRED = INT_PORTS = frozenset(PORTS)
    COUNT_PORT = "num_cycles"
    CONTINUE_ON = SUCCESS


class RetryUntilSuccessful(_LoopDecorator):
    PORTS = MappingProxyType({"num_attempts": PortInfo("num_attempts", description="attempts before failing; -1 for ever")})
    REQUIRED = INT_PORTS = frozenset(PORTS)
    COUNT_PORT = "num_attempts"
    CONTINUE_ON = FAILURE


# ----------------------------------------------------------------------- leaves
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


# ---------------------------------------------------------------- sub-trees etc
class SubTreeNode(TreeNode):
    """Runs another BehaviorTree with its own, remapped blackboard."""

    CHILDREN = (0, 0)  # its child is the sub-tree root, added by the builder

    def tick(self) -> NodeStatus:
        return self.children[0].execute_tick()


class ActionNode(TreeNode):
    """A registered action: calls its tick function with itself."""

    def __init__(self, node_id: str, functor, **kwargs):
        super().__init__(node_id, **kwargs)
        self.functor = functor

    def tick(self) -> NodeStatus:
        try:
            result = self.functor(self)
        except Exception as exc:
            raise self.tick_error(f"tick function raised {type(exc).__name__}: {exc}") from exc
        if not isinstance(result, NodeStatus) or result is IDLE:
            raise self.tick_error(
                f"tick function returned {result!r}; it must return NodeStatus.SUCCESS, FAILURE or RUNNING"
            )
        return result


BUILTIN_NODES = MappingProxyType({
    cls.__name__: cls
    for cls in (
        Sequence, ReactiveSequence, SequenceWithMemory, Fallback, ReactiveFallback, Parallel,
        Inverter, ForceSuccess, ForceFailure, Repeat, RetryUntilSuccessful, KeepRunningUntilFailure,
        AlwaysSuccess, AlwaysFailure, SetBlackboard,
    )
})
