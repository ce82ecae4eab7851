"""The built-in node types: controls, decorators, leaves, and the action wrapper."""

from __future__ import annotations

from collections import deque
from types import GeneratorType, MappingProxyType

from .node import PortInfo, TreeNode, logger, parse_int, safe_repr, safe_str
from .script import ScriptError, compile_script
from .status import NodeStatus

RUNNING, SUCCESS, FAILURE, IDLE = NodeStatus.RUNNING, NodeStatus.SUCCESS, NodeStatus.FAILURE, NodeStatus.IDLE
SKIPPED = NodeStatus.SKIPPED
_BOOLEANS = {"true": True, "1": True, "false": False, "0": False}


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
        # The position lives in a local while children are ticked (this loop
        # is the core's hottest path); it is stored back before returning.
        # If a child raises, the tree halts and the position resets anyway.
        children = self.children
        stop_on = self.STOP_ON
        index = self.index
        count = len(children)
        skipped = 0
        while index < count:
            status = children[index].execute_tick()
            if status is RUNNING:
                self.index = index
                return RUNNING
            if status is stop_on:
                if self.RESTART_ON_STOP:
                    self.halt_children()
                    self.index = 0
                else:
                    self.index = index
                    self.halt_children(index)
                return status
            if status is SKIPPED:
                skipped += 1
            index += 1
        self.halt_children()
        self.index = 0
        # A run resumed after RUNNING always had an executed child, so
        # counting this tick's skips is enough.
        if skipped == count:
            return SKIPPED
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
        skipped = 0
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
            if status is SKIPPED:
                skipped += 1
        self.halt_children()
        if skipped == len(children):
            return SKIPPED
        return FAILURE if self.STOP_ON is SUCCESS else SUCCESS


class ReactiveSequence(_ReactiveControl):
    STOP_ON = FAILURE


class ReactiveFallback(_ReactiveControl):
    STOP_ON = SUCCESS


class Parallel(_Control):
    """Ticks all unfinished children each tick.

    SUCCESS once success_count children succeeded, FAILURE once failure_count
    failed or success became unreachable. Negative counts are relative to the
    number of children (-1 means all of them). A skipped child counts as
    neither; when every child is skipped the node is skipped.
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
            failures = sum(1 for s in self.done.values() if s is FAILURE)
            skipped = len(self.done) - successes - failures
            if skipped == n:
                self.done = {}
                return SKIPPED
            if successes >= need_success:
                self.halt_children()
                self.done = {}
                return SUCCESS
            if failures >= need_failure or n - failures - skipped < need_success:
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
        if status is RUNNING or status is SKIPPED:
            return status
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
            self.count_round()
            status = child.execute_tick()
            if status is RUNNING:
                return RUNNING
            child.halt()
            if status is SKIPPED:
                self.rounds = 0
                return SKIPPED
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

    def __init__(self, node_id: str, functor, **kwargs):
        super().__init__(node_id, **kwargs)
        self.functor = functor
        self._generator = None

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

    def reset_state(self) -> None:
        if self._generator is not None:
            # Only reachable if a node was reset without being RUNNING; close it all the same.
            try:
                self._close_generator()
            except Exception as exc:
                logger.error("%s: closing its generator raised %s: %s", self.describe(), type(exc).__name__, exc)


# ------------------------------------------------------------ time-based nodes
def _duration(node: TreeNode, port: str) -> float:
    """A millisecond port as seconds; literals were checked at build time."""
    msec = node.int_input(port)
    if msec < 0:
        raise node.tick_error(f"port '{port}' must be >= 0, got {msec}")
    return msec / 1000.0


class Timeout(TreeNode):
    """Halts a child still RUNNING ``msec`` after the node started and returns FAILURE."""

    CHILDREN = (1, 1)
    PORTS = MappingProxyType({"msec": PortInfo("msec", description="milliseconds the child may run")})
    REQUIRED = INT_PORTS = frozenset(PORTS)

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.check_int_literals(minimum=0)
        self.deadline = None

    def reset_state(self) -> None:
        self.deadline = None

    def tick(self) -> NodeStatus:
        child = self.children[0]
        if self.deadline is None:
            self.deadline = self.now() + _duration(self, "msec")
        elif self.now() >= self.deadline:
            child.halt()
            self.deadline = None
            return FAILURE
        status = child.execute_tick()
        if status is RUNNING:
            return RUNNING
        child.halt()
        self.deadline = None
        return status


class Delay(TreeNode):
    """RUNNING until ``delay_msec`` has passed since the node started, then ticks its child."""

    CHILDREN = (1, 1)
    PORTS = MappingProxyType({"delay_msec": PortInfo("delay_msec", description="milliseconds to wait first")})
    REQUIRED = INT_PORTS = frozenset(PORTS)

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.check_int_literals(minimum=0)
        self.ready_at = None
        self.waited = False

    def reset_state(self) -> None:
        self.ready_at = None
        self.waited = False

    def tick(self) -> NodeStatus:
        if not self.waited:
            if self.ready_at is None:
                self.ready_at = self.now() + _duration(self, "delay_msec")
            if self.now() < self.ready_at:
                return RUNNING
            self.waited = True
        child = self.children[0]
        status = child.execute_tick()
        if status is RUNNING:
            return RUNNING
        child.halt()
        self.reset_state()
        return status


class Sleep(TreeNode):
    """RUNNING until ``msec`` has passed since the node started, then SUCCESS."""

    PORTS = MappingProxyType({"msec": PortInfo("msec", description="milliseconds to sleep")})
    REQUIRED = INT_PORTS = frozenset(PORTS)

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.check_int_literals(minimum=0)
        self.wake_at = None

    def reset_state(self) -> None:
        self.wake_at = None

    def tick(self) -> NodeStatus:
        if self.wake_at is None:
            self.wake_at = self.now() + _duration(self, "msec")
        if self.now() < self.wake_at:
            return RUNNING
        self.wake_at = None
        return SUCCESS


def _bool_literal(node: TreeNode, port: str, default: bool) -> bool:
    if port not in node._attrs:
        return default
    key = node._keys[port]
    raw = node._attrs[port] if key is None else node._blackboard.get(key)
    if isinstance(raw, bool):
        return raw
    if isinstance(raw, str) and raw.strip().lower() in _BOOLEANS:
        return _BOOLEANS[raw.strip().lower()]
    source = "" if key is None else f" (blackboard entry '{key}')"
    raise ValueError(f"port '{port}' must be true or false, got {raw!r}{source}")


class RunOnce(TreeNode):
    """Ticks its child until it finishes once; afterwards SKIPPED (or that result again).

    The "done" memory survives halts and is cleared only by a tree reset.
    """

    CHILDREN = (1, 1)
    PORTS = MappingProxyType({"then_skip": PortInfo("then_skip", description="skip after the first run (default true)")})

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        if self._keys.get("then_skip", "") is None:
            try:
                _bool_literal(self, "then_skip", True)
            except ValueError as exc:
                raise self.build_error(str(exc)) from None
        self.result = None

    def reset_memory(self) -> None:
        self.result = None

    def tick(self) -> NodeStatus:
        if self.result is not None:
            try:
                then_skip = _bool_literal(self, "then_skip", True)
            except ValueError as exc:
                raise self.tick_error(str(exc)) from None
            return SKIPPED if then_skip else self.result
        child = self.children[0]
        status = child.execute_tick()
        if status is RUNNING or status is SKIPPED:
            return status
        child.halt()
        self.result = status
        return status


# -------------------------------------------------------------- more controls
class IfThenElse(TreeNode):
    """Ticks the first child; on SUCCESS runs the second, else the third (or FAILURE).

    The condition is checked once per run; a RUNNING branch is resumed
    without re-checking it.
    """

    CHILDREN = (2, 3)

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.branch = 0

    def reset_state(self) -> None:
        self.branch = 0

    def tick(self) -> NodeStatus:
        children = self.children
        if not self.branch:
            condition = children[0].execute_tick()
            if condition is RUNNING or condition is SKIPPED:
                return condition
            if condition is SUCCESS:
                self.branch = 1
            elif len(children) == 3:
                self.branch = 2
            else:
                self.halt_children()
                return FAILURE
        status = children[self.branch].execute_tick()
        if status is RUNNING:
            return RUNNING
        self.halt_children()
        self.branch = 0
        return status


class WhileDoElse(TreeNode):
    """Like IfThenElse, but the condition is re-checked every tick.

    When its answer changes, the branch that was running is halted.
    """

    CHILDREN = (2, 3)

    def tick(self) -> NodeStatus:
        children = self.children
        condition = children[0].execute_tick()
        if condition is RUNNING or condition is SKIPPED:
            return condition
        if condition is SUCCESS:
            branch, other = 1, 2
        elif len(children) == 3:
            branch, other = 2, 1
        else:
            self.halt_children()
            return FAILURE
        if other < len(children):
            children[other].halt()
        status = children[branch].execute_tick()
        if status is RUNNING:
            return RUNNING
        self.halt_children()
        return status


def _switch_matches(value, case) -> bool:
    """Whether ``value`` (the variable) equals ``case``; literals are text, so
    a numeric or boolean variable is compared with the text read as a number
    or as true/false."""
    if isinstance(value, str) and not isinstance(case, str):
        value, case = case, value
    if isinstance(case, str) and not isinstance(value, str):
        if isinstance(value, bool):
            return case.strip().lower() == ("true" if value else "false")
        if isinstance(value, (int, float)):
            try:
                return float(case) == value if isinstance(value, float) else parse_int(case, "case") == value
            except ValueError:
                return False
        return False
    if isinstance(value, bool) != isinstance(case, bool):
        return False
    return value == case


class _Switch(TreeNode):
    CASES = 0

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.running = None

    def reset_state(self) -> None:
        self.running = None

    def tick(self) -> NodeStatus:
        value = self.getInputObject("variable")
        match = self.CASES  # the last child is the default
        for i in range(1, self.CASES + 1):
            if value is not None and _switch_matches(value, self.getInputObject(f"case_{i}")):
                match = i - 1
                break
        if self.running is not None and self.running != match:
            self.children[self.running].halt()
        self.running = match
        status = self.children[match].execute_tick()
        if status is RUNNING:
            return RUNNING
        self.halt_children()
        self.running = None
        return status


def _make_switch(cases: int) -> type:
    ports = {"variable": PortInfo("variable", "object", description="value to match")}
    for i in range(1, cases + 1):
        ports[f"case_{i}"] = PortInfo(f"case_{i}", "object", description=f"value that selects child {i}")
    return type(f"Switch{cases}", (_Switch,), {
        "__doc__": f"Runs the child whose case_i equals variable; the last of its {cases + 1} children is the default.",
        "CASES": cases,
        "CHILDREN": (cases + 1, cases + 1),
        "PORTS": MappingProxyType(ports),
        "REQUIRED": frozenset(ports),
        "__module__": __name__,
    })


Switch2, Switch3, Switch4, Switch5, Switch6 = (_make_switch(n) for n in range(2, 7))


class ParallelAll(TreeNode):
    """Ticks every unfinished child each tick until all have finished.

    Then FAILURE if at least ``max_failures`` failed (default 1; negative
    counts from the number of children), else SUCCESS; SKIPPED if every
    child was skipped.
    """

    CHILDREN = (1, None)
    PORTS = MappingProxyType({"max_failures": PortInfo("max_failures", description="failures that fail the node (default 1)")})
    INT_PORTS = frozenset(PORTS)

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.check_int_literals(minimum=-(1 << 62))
        self.done: dict = {}

    def finish_setup(self) -> None:
        if self._keys.get("max_failures") is None:
            try:
                self._max_failures()
            except ValueError as exc:
                raise self.build_error(str(exc)) from None

    def _max_failures(self) -> int:
        n = len(self.children)
        value = self.int_input("max_failures", 1)
        resolved = n + value + 1 if value < 0 else value
        if not 1 <= resolved <= n:
            raise ValueError(f"port 'max_failures'={value} does not fit {n} children (valid: 1..{n} or -{n}..-1)")
        return resolved

    def reset_state(self) -> None:
        self.done = {}

    def tick(self) -> NodeStatus:
        try:
            max_failures = self._max_failures()
        except ValueError as exc:
            raise self.tick_error(str(exc)) from None
        for i, child in enumerate(self.children):
            if i not in self.done:
                status = child.execute_tick()
                if status is not RUNNING:
                    self.done[i] = status
        if len(self.done) < len(self.children):
            return RUNNING
        results = list(self.done.values())
        self.halt_children()
        self.done = {}
        if results.count(SKIPPED) == len(results):
            return SKIPPED
        return FAILURE if results.count(FAILURE) >= max_failures else SUCCESS


# ------------------------------------------------------------------- scripting
class _ScriptNode(TreeNode):
    """Base of nodes whose ports hold literal scripts, compiled when the tree is built."""

    SCRIPT_PORTS: tuple = ()

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.scripts = {}
        for port in self.SCRIPT_PORTS:
            if port not in self._attrs:
                continue
            if self._keys[port] is not None:
                raise self.build_error(f"port '{port}' must hold a script, not a blackboard reference")
            try:
                self.scripts[port] = compile_script(self._attrs[port])
            except ScriptError as exc:
                raise self.build_error(f"port '{port}': {exc}") from None

    def run_script(self, port: str):
        try:
            return self.scripts[port].run(self._blackboard)
        except ScriptError as exc:
            raise self.tick_error(f"script {self.scripts[port].source!r} failed: {exc}") from None
        except Exception as exc:  # from a blackboard value's own methods (repr, ==)
            raise self.tick_error(
                f"script {self.scripts[port].source!r} failed: {type(exc).__name__}: {safe_str(exc)}"
            ) from exc

    def script_truth(self, port: str) -> bool:
        value = self.run_script(port)
        if isinstance(value, bool):
            return value
        if isinstance(value, (int, float)):
            return value != 0
        raise self.tick_error(
            f"script {self.scripts[port].source!r} gave {type(value).__name__} {safe_repr(value)}, not a boolean"
        )


class Script(_ScriptNode):
    """Runs its script; SUCCESS (a failing expression is a tick error)."""

    PORTS = MappingProxyType({"code": PortInfo("code", description="statements to run")})
    REQUIRED = frozenset(PORTS)
    SCRIPT_PORTS = ("code",)

    def tick(self) -> NodeStatus:
        self.run_script("code")
        return SUCCESS


class ScriptCondition(_ScriptNode):
    """SUCCESS when its script is true, else FAILURE."""

    PORTS = Script.PORTS
    REQUIRED = frozenset(PORTS)
    SCRIPT_PORTS = ("code",)

    def tick(self) -> NodeStatus:
        return SUCCESS if self.script_truth("code") else FAILURE


_ELSE_STATUSES = {"SUCCESS": SUCCESS, "FAILURE": FAILURE, "SKIPPED": SKIPPED}


class Precondition(_ScriptNode):
    """Ticks its child only if the ``if`` script is true when the run starts; else returns ``else``."""

    CHILDREN = (1, 1)
    PORTS = MappingProxyType({
        "if": PortInfo("if", description="script checked before the child starts"),
        "else": PortInfo("else", description="SUCCESS, FAILURE (default) or SKIPPED when the script is false"),
    })
    REQUIRED = frozenset({"if"})
    SCRIPT_PORTS = ("if",)

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        raw = self._attrs.get("else", "FAILURE")
        if self._keys.get("else") is not None or raw.strip().upper() not in _ELSE_STATUSES:
            raise self.build_error(f"port 'else' must be SUCCESS, FAILURE or SKIPPED, not {raw!r}")
        self.otherwise = _ELSE_STATUSES[raw.strip().upper()]

    def tick(self) -> NodeStatus:
        child = self.children[0]
        if child.status is not RUNNING and not self.script_truth("if"):
            return self.otherwise
        status = child.execute_tick()
        if status is RUNNING:
            return RUNNING
        child.halt()
        return status


# ------------------------------------------------------------------ loops
def _loop_float(text):
    if isinstance(text, float):
        return text
    if isinstance(text, int) and not isinstance(text, bool):
        return float(text)
    if isinstance(text, str):
        return float(text.strip())
    raise ValueError(text)


def _loop_bool(text):
    if isinstance(text, bool):
        return text
    if isinstance(text, str) and text.strip().lower() in _BOOLEANS:
        return _BOOLEANS[text.strip().lower()]
    raise ValueError(text)


def _loop_str(value):
    return value if isinstance(value, str) else str(value)


_NO_ELEMENT = object()


class _Loop(TreeNode):
    """Runs its child once per element of ``queue``, the element written to ``value``.

    ``queue`` is a literal list separated by ";" (numbers and booleans may
    also be separated by ","), or a blackboard entry holding a list or deque,
    whose elements are taken from its front as they are used (or text, read
    as a literal). A RUNNING child keeps its element; a FAILURE ends the loop
    with FAILURE; when the elements are used up the loop succeeds, or returns
    ``if_empty`` when there were none from the start. The elements present
    when a tick starts run within that tick; ones added meanwhile wait for
    the next. A halt drops the current element (taken elements stay taken).
    """

    CHILDREN = (1, 1)
    PORTS = MappingProxyType({
        "queue": PortInfo("queue", "object", description="elements: 'a;b;c', or {entry} holding a list or deque"),
        "value": PortInfo("value", "object", "output", "entry that receives the current element"),
        "if_empty": PortInfo("if_empty", description="SUCCESS (default), FAILURE or SKIPPED for an empty queue"),
    })
    REQUIRED = frozenset({"queue"})
    KIND = "text"
    SEPARATORS = ";"
    convert = staticmethod(_loop_str)

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        raw = self._attrs.get("if_empty", "SUCCESS")
        if self._keys.get("if_empty") is not None or raw.strip().upper() not in _ELSE_STATUSES:
            raise self.build_error(f"port 'if_empty' must be SUCCESS, FAILURE or SKIPPED, not {raw!r}")
        self.if_empty = _ELSE_STATUSES[raw.strip().upper()]
        self.literal = None
        if self._keys["queue"] is None:
            try:
                self.literal = self._parse(self._attrs["queue"])
            except ValueError as exc:
                raise self.build_error(str(exc)) from None
        self.reset_state()

    def _parse(self, text: str) -> tuple:
        for separator in self.SEPARATORS[1:]:
            text = text.replace(separator, self.SEPARATORS[0])
        return tuple(self._element(part) for part in text.split(self.SEPARATORS[0]) if part.strip())

    def _element(self, item):
        try:
            return self.convert(item.strip() if isinstance(item, str) else item)
        except (TypeError, ValueError):
            raise ValueError(f"queue element {item!r} cannot be read as {self.KIND}") from None

    def reset_state(self) -> None:
        self.pending = None  # the elements of a literal queue not yet used, during a run
        self.current = _NO_ELEMENT
        self.started = False

    def _source(self):
        """The pending literal elements, or the list or deque the blackboard entry holds."""
        if self.pending is not None:
            return self.pending
        key = self._keys["queue"]
        if key is None:
            self.pending = deque(self.literal)
            return self.pending
        source = self._blackboard.get(key)
        if isinstance(source, (list, deque)):
            return source
        if isinstance(source, str):
            try:
                self.pending = deque(self._parse(source))
            except ValueError as exc:
                raise self.tick_error(f"{exc} (blackboard entry '{key}')") from None
            return self.pending
        if source is None:
            raise self.tick_error(f"port 'queue' refers to blackboard entry '{key}', which is not set")
        raise self.tick_error(f"port 'queue': blackboard entry '{key}' holds {type(source).__name__}, "
                              "not a list, a deque or text")

    def _take(self, source):
        item = source.popleft() if isinstance(source, deque) else source.pop(0)
        if source is self.pending:
            return item  # converted when the text was parsed
        try:
            return self._element(item)
        except ValueError as exc:
            raise self.tick_error(f"{exc} (blackboard entry '{self._keys['queue']}')") from None

    def tick(self) -> NodeStatus:
        child = self.children[0]
        budget = len(self._source()) + (self.current is not _NO_ELEMENT)
        while True:
            if self.current is _NO_ELEMENT:
                source = self._source()
                if not source:
                    result = SUCCESS if self.started else self.if_empty
                    self.reset_state()
                    return result
                if budget <= 0:
                    return RUNNING  # elements added while this tick ran wait for the next
                self.current = self._take(source)
                self.started = True
                if self._keys.get("value") is not None:
                    self._blackboard.set(self._keys["value"], self.current)
            status = child.execute_tick()
            if status is RUNNING:
                return RUNNING
            child.halt()
            if status is FAILURE:
                self.reset_state()
                return FAILURE
            self.current = _NO_ELEMENT
            budget -= 1


def _make_loop(name: str, kind: str, convert, separators: str) -> type:
    return type(name, (_Loop,), {
        "__doc__": f"{_Loop.__doc__.splitlines()[0]} Elements are read as {kind}.",
        "KIND": kind, "convert": staticmethod(convert), "SEPARATORS": separators, "__module__": __name__,
    })


# A number or a boolean never holds a comma, so for those "1, 2, 3" means three elements.
LoopInt = _make_loop("LoopInt", "an integer", lambda v: parse_int(v, "element"), ";,")
LoopDouble = _make_loop("LoopDouble", "a number", _loop_float, ";,")
LoopBool = _make_loop("LoopBool", "true or false", _loop_bool, ";,")
LoopString = _make_loop("LoopString", "text", _loop_str, ";")


BUILTIN_NODES = MappingProxyType({
    cls.__name__: cls
    for cls in (
        Sequence, ReactiveSequence, SequenceWithMemory, Fallback, ReactiveFallback, Parallel,
        Inverter, ForceSuccess, ForceFailure, Repeat, RetryUntilSuccessful, KeepRunningUntilFailure,
        AlwaysSuccess, AlwaysFailure, SetBlackboard,
    )
})
#: Node types added after the first release. A registered action of the same
#: name takes precedence over these, so programs that registered, say, their
#: own "Sleep" before it existed keep working unchanged.
LATER_BUILTIN_NODES = MappingProxyType({
    cls.__name__: cls
    for cls in (
        Timeout, Delay, Sleep, RunOnce, IfThenElse, WhileDoElse, Switch2, Switch3, Switch4, Switch5, Switch6,
        ParallelAll, Precondition, Script, ScriptCondition, LoopInt, LoopDouble, LoopString, LoopBool,
    )
})
