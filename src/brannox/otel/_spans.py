"""The spans of one tree: an observer of the core's observation layer.

Every method but ``node_calls`` and ``close`` runs on the thread that ticks
the tree (its tree thread, or a SequentialEngine's caller), so the stack of
open spans needs no lock. A span is made current while its tick runs, so spans that a
tick function starts (an HTTP client's, say) nest under its action's span.
"""

from __future__ import annotations

from opentelemetry import context as otel_context
from opentelemetry import trace
from opentelemetry.trace import Status, StatusCode

from .._bt.errors import TickError
from .._bt.leaves import ActionNode
from ._calls import _running, declared_call


def _reported(error: BaseException) -> BaseException:
    """What a tick function raised, rather than the core's TickError around it."""
    cause = error.__cause__
    return cause if isinstance(error, TickError) and cause is not None else error


def _fail(span, error: BaseException) -> None:
    shown = _reported(error)
    span.record_exception(shown, escaped=True)
    span.set_status(Status(StatusCode.ERROR, f"{type(shown).__name__}: {shown}"))


class TreeTracer:
    """Turns one tree's ticks, action ticks and halts into spans."""

    def __init__(self, tracer, entry, label: str, calls: dict, parent_for_halt=None):
        self.entry = entry
        self.label = label
        self._tracer = tracer
        self._calls = calls
        # Where a halt outside any command gets its parent (a stopping caller's context).
        self._parent_for_halt = parent_for_halt
        self._stack: list = []  # spans open on the tree's thread, innermost last
        self._tree_attrs = {"brannox.tree.id": label, "brannox.tree.name": entry.tree_id}
        self._node_attrs = tuple(
            {"brannox.tree.id": label, "brannox.node.name": info.name, "brannox.node.type": info.type,
             "brannox.node.path": info.path}
            for info in entry.nodes)
        self._nodes: dict = {}    # index -> action node, from node_calls
        self._declared: dict = {}  # index -> GenAICall
        self._failed_tick = None   # the span of a tick that raised, until the tree is halted

    # -- the layer's event methods ----------------------------------------------
    def on_transition(self, ev) -> None:
        _, index, old, new = ev
        if old != "RUNNING" or new != "IDLE":
            return
        attrs = self._node_attrs[index]
        if self._stack:
            self._stack[-1].add_event("halt", attrs)
            return
        # A node halted by someone other than the tree: a span of its own.
        span = self._tracer.start_span(f"halt {self.label}", attributes=self._tree_attrs)
        span.add_event("halt", attrs)
        span.end()

    def on_blackboard(self, ev) -> None:
        pass

    def on_tick(self, counters) -> None:
        pass

    # -- the layer's tick hooks ---------------------------------------------------
    def node_calls(self, nodes) -> dict:
        # The root's tick and halt are the tree's; actions get a span per tick.
        picked = {0: ("tick", "halt")}
        for index, node in enumerate(nodes):
            if isinstance(node, ActionNode):
                if index:
                    picked[index] = ("tick",)
                self._nodes[index] = node
                call = declared_call(node, self._calls)
                if call is not None:
                    self._declared[index] = call
        return picked

    def node_call(self, kind: str, index: int):
        if index:
            return self._action(index)
        if kind == "halt":
            return self._tree_halt()
        if self._failed_tick is not None:  # its halt never came: end it before the next tick
            if self._failed_tick in self._stack:
                self._stack.remove(self._failed_tick)
            self.close()
        end_tick = self._open(self._tracer.start_span(f"tick {self.label}", attributes=self._tree_attrs),
                              "brannox.tick.status", keep_on_error=True)
        if 0 not in self._nodes:
            return end_tick
        end_action = self._action(0)  # the root is an action itself

        def end_both(result, error):
            end_action(result, error)
            end_tick(result, error)
        return end_both

    def _tree_halt(self):
        pending = self._failed_tick
        if pending is not None:
            # The core halts the tree right after a tick that raised: the
            # halts are that tick's, on its span, which ends with them.
            self._failed_tick = None
            token = otel_context.attach(trace.set_span_in_context(pending))

            def end_failed(result, error):
                otel_context.detach(token)
                if self._stack and self._stack[-1] is pending:
                    self._stack.pop()
                pending.end()
            return end_failed
        parent = None
        if self._parent_for_halt is not None and not trace.get_current_span().get_span_context().is_valid:
            parent = self._parent_for_halt(self.label)
        span = self._tracer.start_span(f"halt {self.label}", context=parent, attributes=self._tree_attrs)
        return self._open(span, None)

    def _action(self, index: int):
        call = self._declared.get(index)
        if call is None:
            attrs = self._node_attrs[index]
            span = self._tracer.start_span(attrs["brannox.node.name"], attributes=attrs)
            return self._open(span, "brannox.node.status")
        node_type = self._node_attrs[index]["brannox.node.type"]
        model = call.request_model(self._nodes[index])
        attrs = {**self._node_attrs[index], **call.attributes(node_type, model)}
        span = self._tracer.start_span(call.span_name(node_type, model), kind=call.span_kind(), attributes=attrs)
        end = self._open(span, "brannox.node.status")
        outer = getattr(_running, "span", None)
        _running.span = span

        def end_call(result, error):
            _running.span = outer
            if error is not None:
                span.set_attribute("error.type", type(_reported(error)).__qualname__)
            end(result, error)
        return end_call

    def _open(self, span, status_key, keep_on_error=False):
        token = otel_context.attach(trace.set_span_in_context(span))
        stack = self._stack
        stack.append(span)

        def end(result, error):
            otel_context.detach(token)
            if error is not None:
                _fail(span, error)
                if keep_on_error and isinstance(error, Exception):
                    self._failed_tick = span  # ended by the halt that follows
                    return
            elif result is not None and status_key is not None:
                span.set_attribute(status_key, result.name)
            if stack and stack[-1] is span:
                stack.pop()
            span.end()
        return end

    def close(self) -> None:
        """End a failed tick's span still waiting for its halt (the tracer was detached)."""
        pending, self._failed_tick = self._failed_tick, None
        if pending is not None:
            pending.end()
