"""Decorators: nodes of one child that change its result, repeat it or run it once
per element (the Loop nodes)."""

from __future__ import annotations

from collections import deque
from types import MappingProxyType

from .node import BOOLEANS, PortInfo, TreeNode, parse_int
from .status import NodeStatus

RUNNING, SUCCESS, FAILURE, SKIPPED = NodeStatus.RUNNING, NodeStatus.SUCCESS, NodeStatus.FAILURE, NodeStatus.SKIPPED


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

    def reset_run_state(self) -> None:
        self.rounds = 0  # rounds the child has finished in this run

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


def _read_bool(text):
    if isinstance(text, bool):
        return text
    if isinstance(text, str) and text.strip().lower() in BOOLEANS:
        return BOOLEANS[text.strip().lower()]
    raise ValueError(text)


def _bool_literal(node: TreeNode, port: str, default: bool) -> bool:
    if port not in node._attrs:
        return default
    key = node._keys[port]
    raw = node._attrs[port] if key is None else node._blackboard.get(key)
    try:
        return _read_bool(raw)
    except ValueError:
        source = "" if key is None else f" (blackboard entry '{key}')"
        raise ValueError(f"port '{port}' must be true or false, got {raw!r}{source}") from None


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


# ------------------------------------------------------------------ Loop nodes
def _loop_float(text):
    if isinstance(text, float):
        return text
    if isinstance(text, int) and not isinstance(text, bool):
        return float(text)
    if isinstance(text, str):
        return float(text.strip())
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
        self.if_empty = self.status_literal("if_empty", "SUCCESS")
        self.literal = None
        if self._keys["queue"] is None:
            try:
                self.literal = self._parse(self._attrs["queue"])
            except ValueError as exc:
                raise self.build_error(str(exc)) from None

    def _parse(self, text: str) -> tuple:
        for separator in self.SEPARATORS[1:]:
            text = text.replace(separator, self.SEPARATORS[0])
        return tuple(self._element(part) for part in text.split(self.SEPARATORS[0]) if part.strip())

    def _element(self, item):
        try:
            return self.convert(item.strip() if isinstance(item, str) else item)
        except (TypeError, ValueError):
            raise ValueError(f"queue element {item!r} cannot be read as {self.KIND}") from None

    def reset_run_state(self) -> None:
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
                    self.reset_run_state()
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
                self.reset_run_state()
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
LoopBool = _make_loop("LoopBool", "true or false", _read_bool, ";,")
LoopString = _make_loop("LoopString", "text", _loop_str, ";")
