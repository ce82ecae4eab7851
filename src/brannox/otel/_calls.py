"""Declaring that an action is a model call or a tool call, and reporting what it used.

A declaration is a :class:`GenAICall`. It marks a tick function or an
action class when used as a decorator, or it is given per action ID to
``instrument(engine, calls={...})``. The span of a declared action follows
the OpenTelemetry generative-AI conventions (``gen_ai.*`` attributes).
"""

from __future__ import annotations

import functools
import threading
from dataclasses import dataclass
from typing import Any, Callable, Optional, Sequence, Union

from opentelemetry.trace import SpanKind

from .._bt.leaves import StatefulTick

#: The attribute a declaration is stored under, on a tick function or an action class.
MARK = "__brannox_gen_ai__"

# The span of the model or tool call running on this thread (a tree thread
# ticking a declared action), for record_usage.
_running = threading.local()


@dataclass(frozen=True)
class GenAICall:
    """What a declared action is, in the terms of the generative-AI conventions.

    ``model`` may be a string or a callable taking the node and returning
    one (for a model read from a port); it becomes ``gen_ai.request.model``.
    Make one with :func:`model_call` or :func:`tool_call`.
    """

    operation: str
    model: Union[str, Callable[[Any], Optional[str]], None] = None
    provider: Optional[str] = None
    tool_name: Optional[str] = None
    tool_description: Optional[str] = None
    tool_type: Optional[str] = None

    def __call__(self, target):
        """Mark a tick function or an action class with this declaration; returns it."""
        if isinstance(target, type):
            tick = target.__dict__.get("tick")
            if isinstance(tick, StatefulTick):
                setattr(target, MARK, self)  # its StatefulTick names the class
            elif isinstance(tick, staticmethod):
                setattr(tick.__func__, MARK, self)
            elif callable(tick):
                setattr(tick, MARK, self)
            else:
                raise TypeError(f"{target.__qualname__} does not define its own tick; "
                                "mark the class that defines it, or give the declaration to instrument(calls=...)")
            return target
        if not callable(target):
            raise TypeError(f"a model or tool call declaration marks a tick function or an action class, "
                            f"not {type(target).__name__}")
        try:
            setattr(target, MARK, self)
            return target
        except (AttributeError, TypeError):  # a builtin or a bound method: mark a thin wrapper instead
            @functools.wraps(target)
            def tick(node):
                return target(node)
            setattr(tick, MARK, self)
            return tick

    # -- what the span gets ----------------------------------------------------
    def span_kind(self) -> SpanKind:
        # A model is called over the wire (a client span); a tool runs here.
        return SpanKind.INTERNAL if self.operation == "execute_tool" else SpanKind.CLIENT

    def request_model(self, node) -> Optional[str]:
        model = self.model
        if callable(model):
            try:
                model = model(node)
            except Exception:  # noqa: BLE001 - a failing look-up leaves the attribute out
                return None
        return model if isinstance(model, str) and model else None

    def span_name(self, node_type: str, model: Optional[str]) -> str:
        if self.operation == "execute_tool":
            return f"execute_tool {self.tool_name or node_type}"
        return f"{self.operation} {model}" if model else self.operation

    def attributes(self, node_type: str, model: Optional[str]) -> dict:
        attrs = {"gen_ai.operation.name": self.operation}
        if self.provider:
            attrs["gen_ai.provider.name"] = self.provider
        if model:
            attrs["gen_ai.request.model"] = model
        if self.operation == "execute_tool":
            attrs["gen_ai.tool.name"] = self.tool_name or node_type
            if self.tool_description:
                attrs["gen_ai.tool.description"] = self.tool_description
            if self.tool_type:
                attrs["gen_ai.tool.type"] = self.tool_type
        return attrs


def model_call(model=None, *, provider: Optional[str] = None, operation: str = "chat") -> GenAICall:
    """Declare a model call: ``operation`` is ``gen_ai.operation.name`` ("chat",
    "text_completion", "generate_content", "embeddings", ...), ``provider``
    is ``gen_ai.provider.name`` ("ollama", "openai", ...)."""
    if not isinstance(operation, str) or not operation:
        raise ValueError("operation must be a non-empty string such as 'chat'")
    return GenAICall(operation, model=model, provider=provider)


def tool_call(name: Optional[str] = None, *, description: Optional[str] = None,
              tool_type: Optional[str] = "function") -> GenAICall:
    """Declare a tool call (``gen_ai.operation.name`` "execute_tool"); the tool's
    name defaults to the action ID."""
    return GenAICall("execute_tool", tool_name=name, tool_description=description, tool_type=tool_type)


def declared_call(node, calls: dict) -> Optional[GenAICall]:
    """The declaration of an action node: by its action ID in ``calls``, else a mark
    on its tick function (or, for a stateful action, on its class)."""
    call = calls.get(node.node_id)
    if call is not None:
        return call
    functor = getattr(node, "functor", None)
    call = getattr(functor, MARK, None)
    if call is None and isinstance(functor, StatefulTick):
        call = getattr(functor.owner, MARK, None)
    return call if isinstance(call, GenAICall) else None


def record_usage(*, input_tokens: Optional[int] = None, output_tokens: Optional[int] = None,
                 response_model: Optional[str] = None, response_id: Optional[str] = None,
                 finish_reasons: Optional[Sequence[str]] = None) -> bool:
    """Report what the running model call used, from its tick function.

    Sets ``gen_ai.usage.input_tokens``/``output_tokens``, ``gen_ai.response.model``,
    ``gen_ai.response.id`` and ``gen_ai.response.finish_reasons`` (those given)
    on the span of the declared action now ticking on this thread. Returns
    False, doing nothing, when there is none (the engine is not instrumented,
    or the action is not declared): actions may call it unconditionally.
    """
    span = current_call_span()
    if span is None:
        return False
    for key, value in (("gen_ai.usage.input_tokens", input_tokens), ("gen_ai.usage.output_tokens", output_tokens),
                       ("gen_ai.response.model", response_model), ("gen_ai.response.id", response_id)):
        if value is not None:
            span.set_attribute(key, value)
    if finish_reasons is not None:
        span.set_attribute("gen_ai.response.finish_reasons", tuple(finish_reasons))
    return True


def current_call_span():
    """The span of the declared model or tool call ticking on this thread, or None
    (for attributes of the conventions that record_usage does not set)."""
    return getattr(_running, "span", None)
