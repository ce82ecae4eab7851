"""Control nodes: sequences, fallbacks, parallels, branches and switches."""

from __future__ import annotations

from types import MappingProxyType

from .node import PortInfo, TreeNode, parse_int, relative_count
from .status import NodeStatus

RUNNING, SUCCESS, FAILURE, SKIPPED = NodeStatus.RUNNING, NodeStatus.SUCCESS, NodeStatus.FAILURE, NodeStatus.SKIPPED


class _Control(TreeNode):
    CHILDREN = (1, None)
    # For sequences and fallbacks: the child status that ends the run early,
    # and the result once every child has run (unless all were skipped).
    STOP_ON, ALL_DONE = FAILURE, SUCCESS


class _MemoryControl(_Control):
    """Sequence/Fallback: resume at the running child, start over once finished."""

    # Whether an early stop forgets the position (False: retry the same child).
    RESTART_ON_STOP = True

    def reset_run_state(self) -> None:
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
        return SKIPPED if skipped == count else self.ALL_DONE


class Sequence(_MemoryControl):
    STOP_ON, ALL_DONE = FAILURE, SUCCESS


class SequenceWithMemory(_MemoryControl):
    STOP_ON, ALL_DONE = FAILURE, SUCCESS
    RESTART_ON_STOP = False


class Fallback(_MemoryControl):
    STOP_ON, ALL_DONE = SUCCESS, FAILURE


class _ReactiveControl(_Control):
    """Re-ticks from the first child every tick; a running child pre-empts later ones."""

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
        return SKIPPED if skipped == len(children) else self.ALL_DONE


class ReactiveSequence(_ReactiveControl):
    STOP_ON, ALL_DONE = FAILURE, SUCCESS


class ReactiveFallback(_ReactiveControl):
    STOP_ON, ALL_DONE = SUCCESS, FAILURE


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

    def finish_setup(self) -> None:
        # Children exist by now, so literal thresholds can be checked at build time.
        if all(self._keys[p] is None for p in self._attrs):
            try:
                self._thresholds()
            except ValueError as exc:
                raise self.build_error(str(exc)) from None

    def _thresholds(self) -> tuple:
        n = len(self.children)
        return tuple(relative_count(port, self.int_input(port, default), n)
                     for port, default in (("success_count", -1), ("failure_count", 1)))

    def reset_run_state(self) -> None:
        self.done = {}  # child index -> its final status in this run

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


class ParallelAll(_Control):
    """Ticks every unfinished child each tick until all have finished.

    Then FAILURE if at least ``max_failures`` failed (default 1; negative
    counts from the number of children), else SUCCESS; SKIPPED if every
    child was skipped.
    """

    PORTS = MappingProxyType({"max_failures": PortInfo("max_failures", description="failures that fail the node (default 1)")})
    INT_PORTS = frozenset(PORTS)

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.check_int_literals(minimum=-(1 << 62))

    def finish_setup(self) -> None:
        if self._keys.get("max_failures") is None:
            try:
                self._max_failures()
            except ValueError as exc:
                raise self.build_error(str(exc)) from None

    def _max_failures(self) -> int:
        return relative_count("max_failures", self.int_input("max_failures", 1), len(self.children))

    def reset_run_state(self) -> None:
        self.done = {}  # child index -> its final status in this run

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


class IfThenElse(TreeNode):
    """Ticks the first child; on SUCCESS runs the second, else the third (or FAILURE).

    The condition is checked once per run; a RUNNING branch is resumed
    without re-checking it.
    """

    CHILDREN = (2, 3)

    def reset_run_state(self) -> None:
        self.branch = 0  # the running branch's child index; 0 while the condition is open

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

    def reset_run_state(self) -> None:
        self.running = None  # index of the child that was RUNNING, if any

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
