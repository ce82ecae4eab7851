"""OpenTelemetry spans for the ticks of an engine's trees (the ``[otel]`` extra).

``instrument(engine)`` makes, for every tree of the engine:

- one span per tick of the tree (``tick <tree>``; attributes ``brannox.tree.id``,
  ``brannox.tree.name``, and the result as ``brannox.tick.status``), and one per
  halt of the whole tree outside a tick (``halt <tree>``: a stop, a reset);
- below it, one span per tick of an action node (named after the node;
  ``brannox.node.name``, ``.type``, ``.path``, ``.status``), with the
  exception recorded when its tick function raised;
- a span event ``halt`` for each node halted while RUNNING, on the span
  open at the time.

An action declared a model or a tool call (:func:`model_call`,
:func:`tool_call`) gets a span following the generative-AI conventions.

The caller's current span is the parent of the tick spans: a
ThreadEngine's commands carry the calling thread's context to the tree
thread, and a SequentialEngine ticks on the caller's thread anyway. Nothing
is added to an engine that is not instrumented, nor after
``uninstrument()``. DistributedEngine trees are not traced.
"""

from __future__ import annotations

import logging
import threading
import weakref

try:
    from opentelemetry import context as otel_context
    from opentelemetry import trace
except ImportError as exc:  # pragma: no cover - depends on the installation
    raise ImportError("brannox.otel needs OpenTelemetry: pip install 'brannox-mthread[otel]'") from exc

from .. import __version__
from .._bt.observe import REGISTRY, TreeEntry
from ..engine.sequential_engine import SequentialEngine
from ..engine.trigger.mthread import ThreadEngine
from ._calls import GenAICall, current_call_span, model_call, record_usage, tool_call
from ._spans import TreeTracer

__all__ = ["GenAICall", "Instrumentation", "current_call_span", "instrument", "model_call", "record_usage",
           "tool_call"]

logger = logging.getLogger("brannox.otel")

# The key under which a command's parameters carry the caller's context; not
# a string, so no command parameter can collide with it.
_CONTEXT = object()
# Engines instrumented now, so that a second instrument() is refused.
_instrumented: "weakref.WeakKeyDictionary" = weakref.WeakKeyDictionary()
_instrumented_lock = threading.Lock()


def instrument(engine, *, tracer_provider=None, calls=None) -> "Instrumentation":
    """Trace the ticks of ``engine`` (a ThreadEngine or a SequentialEngine) until
    ``uninstrument()`` on the returned handle (also a context manager).

    ``tracer_provider`` defaults to the global one. ``calls`` maps action IDs
    to declarations (``{"Ask": model_call("qwen3:30b", provider="ollama")}``),
    for tick functions that are not marked themselves.
    """
    if not isinstance(engine, (ThreadEngine, SequentialEngine)):
        raise TypeError(f"brannox.otel.instrument() traces a ThreadEngine or a SequentialEngine, "
                        f"not {type(engine).__name__}")
    calls = dict(calls or {})
    for action_id, call in calls.items():
        if not isinstance(call, GenAICall):
            raise TypeError(f"calls[{action_id!r}] must be made by model_call() or tool_call(), "
                            f"not {type(call).__name__}")
    with _instrumented_lock:
        if engine in _instrumented:
            raise RuntimeError(f"this {type(engine).__name__} is instrumented already")
        handle = Instrumentation(engine, tracer_provider, calls)
        _instrumented[engine] = handle
    try:
        handle._install()
    except BaseException:
        handle.uninstrument()
        raise
    return handle


class Instrumentation:
    """What ``instrument()`` returns: the engine traced, and how to stop."""

    def __init__(self, engine, tracer_provider, calls):
        provider = tracer_provider if tracer_provider is not None else trace.get_tracer_provider()
        self.tracer = provider.get_tracer("brannox.otel", __version__)
        self._engine_ref = weakref.ref(engine)
        self._calls = calls
        self._lock = threading.Lock()
        # id(core tree) -> TreeTracer, and -> weak reference to a tree whose
        # attach failed (not tried again). Ids are reused once a tree is
        # gone, so every look-up checks the tree itself (_traced, _gave_up).
        self._tracers: dict = {}
        self._failed: dict = {}
        self._stopping: dict = {}  # tree identifier -> context of the caller stopping it
        self._listener = None
        self._active = True

    @property
    def engine(self):
        return self._engine_ref()

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.uninstrument()

    # -- attaching to trees ----------------------------------------------------------
    def _traced(self, tree) -> bool:
        """Whether a tracer of ours watches ``tree`` now; a plain read, any thread."""
        known = self._tracers.get(id(tree))
        if known is None or known.entry.tree_ref() is not tree:
            return False
        watch = known.entry.watch
        return watch is not None and known in watch.observers

    def _gave_up(self, tree) -> bool:
        ref = self._failed.get(id(tree))
        return ref is not None and ref() is tree

    def _attach(self, entry, label) -> None:
        """Attach a TreeTracer to the registry entry of a tree (once); any thread."""
        tree = entry.tree_ref()
        if tree is None:
            return
        with self._lock:
            # A tree has one watch: never a second one through another entry.
            if not self._active or self._gave_up(tree) or self._traced(tree):
                return
            # Trees that are gone leave their tracers behind; drop them here.
            for key in [k for k, t in self._tracers.items() if t.entry.tree_ref() is None]:
                del self._tracers[key]
            for key in [k for k, ref in self._failed.items() if ref() is None]:
                del self._failed[key]
            tracer = TreeTracer(self.tracer, entry, label, self._calls, self._stopping.get)
            try:
                attached = REGISTRY.attach(entry, tracer)
            except Exception:  # noqa: BLE001 - a tree we cannot trace still runs
                self._failed[id(tree)] = weakref.ref(tree)
                logger.exception("tree %r cannot be traced", label)
                return
            if attached:
                self._tracers[id(tree)] = tracer

    def _install(self) -> None:
        engine = self.engine
        if isinstance(engine, ThreadEngine):
            self._wrap_thread_engine(engine)
        else:
            self._follow_sequential_engine(engine)

    def _follow_sequential_engine(self, engine) -> None:
        # Ticks run on the caller's thread, under its context: only the trees
        # need finding, the current one now and each one loaded later.
        engine_ref = self._engine_ref

        def on_new_tree(entry):
            eng = engine_ref()
            if eng is None:
                return
            if entry.tree_ref() is eng._tree:
                self._attach(entry, entry.label)
            else:
                # Another engine's tree built on a thread that built ours
                # replaces ours in the registry, which ends its watch.
                self._keep_sequential_tree(eng)

        self._listener = on_new_tree
        REGISTRY.add_listener(on_new_tree)
        self._keep_sequential_tree(engine)

    def _keep_sequential_tree(self, engine) -> None:
        """Attach to the engine's tree unless already attached: through its
        registry entry, or, when the registry no longer lists the tree (a
        later tree on the same thread replaced it), through an entry of our
        own, which no monitor can reach to watch the tree a second time."""
        tree = engine._tree
        if tree is None or self._traced(tree):
            return
        entry = next((e for e in REGISTRY.entries() if e.tree_ref() is tree), None)
        if entry is None:
            entry = TreeEntry(0, threading.current_thread(), tree, None)
        self._attach(entry, entry.label)

    def _wrap_thread_engine(self, engine) -> None:
        # The engine looks these three up on the instance at every call, so
        # instance attributes reach both ends of every command; the compiled
        # methods themselves are untouched. The caller's context travels in
        # the command's own parameters, so it always reaches the tree thread
        # with that command, however many callers send at once.
        for name in ("_send_command", "_process_command", "stop_tree"):
            if name in vars(engine):
                raise RuntimeError(f"the engine's {name} is replaced already; cannot instrument it")
        send, process, stop = engine._send_command, engine._process_command, engine.stop_tree

        def _send_command(tree_id, command_type, params=None):
            if params is None or type(params) is dict:
                params = dict(params) if params else {}
                params[_CONTEXT] = otel_context.get_current()
            return send(tree_id, command_type, params)

        def _process_command(core, command, tree_id, result):
            params = command.get("params") if type(command) is dict else None
            carried = params.pop(_CONTEXT, None) if type(params) is dict else None
            tree = getattr(core, "_tree", None)
            if tree is not None and not self._traced(tree) and not self._gave_up(tree):
                entry = REGISTRY.for_thread(threading.current_thread())
                if entry is not None and entry.tree_ref() is tree:
                    self._attach(entry, tree_id)
            if carried is None:
                return process(core, command, tree_id, result)
            token = otel_context.attach(carried)
            try:
                return process(core, command, tree_id, result)
            finally:
                otel_context.detach(token)

        def stop_tree(tree_id):
            # The tree thread halts the tree after the stop marker, outside
            # any command: it finds the stopping caller's context here.
            ctx = otel_context.get_current()
            mine = self._stopping.setdefault(tree_id, ctx) is ctx
            try:
                return stop(tree_id)
            finally:
                if mine:
                    self._stopping.pop(tree_id, None)

        engine._send_command = _send_command
        engine._process_command = _process_command
        engine.stop_tree = stop_tree
        self._wrapped = (_send_command, _process_command, stop_tree)

    # -- stopping ------------------------------------------------------------------------
    def uninstrument(self) -> None:
        """Stop tracing: the engine's methods and trees are as before. Idempotent.

        Spans open at that moment (a tick in progress on a tree thread) still end.
        """
        with self._lock:
            if not self._active:
                return
            self._active = False
            tracers = list(self._tracers.values())
            self._tracers.clear()
        engine = self.engine
        if engine is not None:
            state = vars(engine)
            for name, fn in zip(("_send_command", "_process_command", "stop_tree"), getattr(self, "_wrapped", ())):
                if state.get(name) is fn:
                    del state[name]
        if self._listener is not None:
            REGISTRY.remove_listener(self._listener)
        for tracer in tracers:
            REGISTRY.detach(tracer.entry, tracer)
            tracer.close()
        with _instrumented_lock:
            if engine is not None and _instrumented.get(engine) is self:
                del _instrumented[engine]
