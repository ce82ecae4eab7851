"""OpenTelemetry spans of ticks: the span tree, nesting across the caller and
tree threads, errors, halts, model and tool calls, switching off, and the
OTLP/HTTP exporter against a receiver on loopback."""
import http.server
import threading
import time

import pytest

pytest.importorskip("opentelemetry.sdk")

from opentelemetry.sdk.trace import TracerProvider  # noqa: E402
from opentelemetry.sdk.trace.export import SimpleSpanProcessor  # noqa: E402
from opentelemetry.sdk.trace.export.in_memory_span_exporter import InMemorySpanExporter  # noqa: E402
from opentelemetry.trace import SpanKind, StatusCode  # noqa: E402

from brannox import otel  # noqa: E402
from brannox._bt.leaves import ActionNode  # noqa: E402
from brannox._bt.observe import REGISTRY  # noqa: E402
from brannox.core import NodeStatus  # noqa: E402
from brannox.engine.sequential_engine import SequentialEngine  # noqa: E402
from brannox.nodes.action_node import SimpleActionNode, StatefulActionNode  # noqa: E402

from conftest import bt  # noqa: E402
from helpers import run_docs_example  # noqa: E402

S, R = NodeStatus.SUCCESS, NodeStatus.RUNNING


@pytest.fixture
def traced():
    exporter = InMemorySpanExporter()
    provider = TracerProvider()
    provider.add_span_processor(SimpleSpanProcessor(exporter))
    yield provider, exporter
    provider.shutdown()


class Face:
    """One tree on a ThreadEngine or a SequentialEngine, commanded alike."""

    def __init__(self, kind, make_engine, actions, body, classes=()):
        self.kind = kind
        self.engine = make_engine() if kind == "thread" else SequentialEngine()
        for action_id, fn in actions.items():
            self.engine.register_action_behavior(action_id, fn, [])
        for cls in classes:
            self.engine.register_action_class(cls)
        if kind == "thread":
            self.tid = self.engine.create_tree_from_text(bt(body), "t")
        else:
            self.tid = None
            self.engine.create_tree_from_text(bt(body))

    def __getattr__(self, name):
        method = getattr(self.engine, name)
        return method if self.tid is None else (lambda *a: method(self.tid, *a))


def by_name(exporter):
    return {s.name: s for s in exporter.get_finished_spans()}


def parent_of(span):
    return span.parent.span_id if span.parent is not None else None


@pytest.mark.parametrize("kind", ["thread", "sequential"])
def test_span_tree_and_attributes(kind, make_engine, traced):
    provider, exporter = traced
    face = Face(kind, make_engine, {"Ok": lambda n: S, "Wait": lambda n: R},
                '<Sequence><Ok name="first"/><AlwaysSuccess/><Wait/></Sequence>')
    handle = otel.instrument(face.engine, tracer_provider=provider)
    with provider.get_tracer("test").start_as_current_span("caller") as caller:
        assert face.tick_once() is R
    handle.uninstrument()
    spans = by_name(exporter)
    assert set(spans) == {"caller", "tick " + ("t" if kind == "thread" else "T"), "first", "Wait"}
    tick = next(s for n, s in spans.items() if n.startswith("tick "))
    # The caller's span is the tick's parent; the actions are its children;
    # built-in leaves and controls make no spans.
    assert parent_of(tick) == caller.get_span_context().span_id
    assert tick.context.trace_id == caller.get_span_context().trace_id
    assert {parent_of(spans["first"]), parent_of(spans["Wait"])} == {tick.context.span_id}
    assert dict(tick.attributes) == {"brannox.tree.id": "t" if kind == "thread" else "T",
                                     "brannox.tree.name": "T", "brannox.tick.status": "RUNNING"}
    assert dict(spans["first"].attributes) == {
        "brannox.tree.id": tick.attributes["brannox.tree.id"], "brannox.node.name": "first",
        "brannox.node.type": "Ok", "brannox.node.path": "/0", "brannox.node.status": "SUCCESS"}
    assert spans["Wait"].attributes["brannox.node.status"] == "RUNNING"
    assert spans["first"].end_time <= spans["Wait"].start_time <= tick.end_time


def test_concurrent_callers_each_parent_their_own_ticks(make_engine, traced):
    # Several threads send to one tree at once; each tick span must hang under
    # the span of the thread that sent its command, never another's.
    provider, exporter = traced

    def act(node):
        time.sleep(0.001)  # long enough for the other callers to be waiting
        return S

    face = Face("thread", make_engine, {"Act": act}, "<Act/>")
    otel.instrument(face.engine, tracer_provider=provider)
    tracer = provider.get_tracer("test")
    callers, ticks = 6, 15
    ids = {}

    def caller(i):
        with tracer.start_as_current_span(f"caller {i}") as span:
            ids[span.get_span_context().span_id] = i
            for _ in range(ticks):
                face.tick_once()
            face.tick_n_times(2)

    threads = [threading.Thread(target=caller, args=(i,)) for i in range(callers)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(30)
    per_caller = {}
    for span in exporter.get_finished_spans():
        if span.name == "tick t":
            per_caller[ids[parent_of(span)]] = per_caller.get(ids[parent_of(span)], 0) + 1
    assert per_caller == {i: ticks + 2 for i in range(callers)}


def test_a_tree_commanding_another_nests_its_ticks(make_engine, traced):
    # A tick function of tree "a" ticks tree "b": b's tick hangs under a's action.
    provider, exporter = traced
    engine = make_engine()
    engine.register_action_behavior("Ok", lambda n: S, [])
    engine.register_action_behavior("Delegate", lambda n: engine.tick_once("b"), [])
    engine.create_tree_from_text(bt("<Delegate/>"), "a")
    engine.create_tree_from_text(bt("<Ok/>"), "b")
    otel.instrument(engine, tracer_provider=provider)
    assert engine.tick_once("a") is S
    spans = by_name(exporter)
    assert parent_of(spans["tick b"]) == spans["Delegate"].context.span_id
    assert parent_of(spans["Delegate"]) == spans["tick a"].context.span_id
    assert parent_of(spans["tick a"]) is None


@pytest.mark.parametrize("kind", ["thread", "sequential"])
def test_exception_recorded_and_halts_are_events(kind, make_engine, traced):
    provider, exporter = traced
    state = {"n": 0}

    def flaky(node):
        state["n"] += 1
        if state["n"] == 2:
            raise ValueError("the tool broke")
        return R

    face = Face(kind, make_engine, {"Flaky": flaky}, "<Sequence><Flaky/></Sequence>")
    otel.instrument(face.engine, tracer_provider=provider)
    face.tick_once()
    with pytest.raises(Exception):
        face.tick_once()
    second_tick = [s for s in exporter.get_finished_spans() if s.name.startswith("tick ")][1]
    action = [s for s in exporter.get_finished_spans() if s.name == "Flaky"][1]
    # The tick function's own exception, not the core's wrapper around it.
    assert action.status.status_code is StatusCode.ERROR
    (event,) = [e for e in action.events if e.name == "exception"]
    assert event.attributes["exception.type"] == "ValueError"
    assert event.attributes["exception.message"] == "the tool broke"
    assert "brannox.node.status" not in action.attributes
    assert second_tick.status.status_code is StatusCode.ERROR
    assert "brannox.tick.status" not in second_tick.attributes
    # The failed tick halts what was running; each halt is an event on the tick span.
    halts = [e.attributes["brannox.node.name"] for e in second_tick.events if e.name == "halt"]
    assert halts == ["Flaky", "Sequence"]


def test_stop_and_reset_halts_get_spans_under_their_caller(make_engine, traced):
    provider, exporter = traced
    face = Face("thread", make_engine, {"Wait": lambda n: R}, '<Sequence><Wait name="w"/></Sequence>')
    otel.instrument(face.engine, tracer_provider=provider)
    tracer = provider.get_tracer("test")
    face.tick_once()
    with tracer.start_as_current_span("resetting") as resetting:
        face.reset_tree()
    face.tick_once()
    with tracer.start_as_current_span("stopping") as stopping:
        face.engine.stop_tree("t")
    spans = exporter.get_finished_spans()
    halts = [s for s in spans if s.name == "halt t"]
    assert len(halts) == 2
    for span, parent in zip(halts, (resetting, stopping)):
        assert parent_of(span) == parent.get_span_context().span_id
        assert [(e.name, e.attributes["brannox.node.name"]) for e in span.events] == [("halt", "w"),
                                                                                      ("halt", "Sequence")]


def test_trees_created_one_after_another_are_each_traced(make_engine, traced):
    # Each new tree is attached at its first command, whatever came before it.
    provider, exporter = traced
    engine = make_engine()
    engine.register_action_behavior("Ok", lambda n: S, [])
    otel.instrument(engine, tracer_provider=provider)
    for i in range(6):
        engine.create_tree_from_text(bt("<Ok/>"), f"t{i}")
        engine.tick_once(f"t{i}")
        engine.stop_tree(f"t{i}")
    assert sorted(s.name for s in exporter.get_finished_spans() if s.name.startswith("tick ")) == \
        [f"tick t{i}" for i in range(6)]


# -- model and tool calls ------------------------------------------------------------

def _ask(node):
    assert otel.record_usage(input_tokens=12, output_tokens=30, response_model="m-2024",
                             finish_reasons=["stop"])
    return S


@otel.tool_call(description="finds things")
class Lookup(SimpleActionNode):
    @staticmethod
    def tick(node):
        otel.current_call_span().set_attribute("gen_ai.tool.call.id", "call-1")
        return S


@otel.model_call(lambda node: node.name, provider="ollama", operation="text_completion")
class Stream(StatefulActionNode):
    @staticmethod
    def on_start(node):
        return R

    @staticmethod
    def on_running(node):
        otel.record_usage(output_tokens=7)
        return S


@pytest.mark.parametrize("kind", ["thread", "sequential"])
def test_model_and_tool_calls_follow_the_gen_ai_conventions(kind, make_engine, traced):
    provider, exporter = traced
    face = Face(kind, make_engine,
                {"Ask": otel.model_call("qwen3:30b", provider="ollama")(_ask), "Search": lambda n: S},
                '<Sequence><Ask/><Lookup/><Stream name="small-model"/><Search/></Sequence>', classes=(Lookup, Stream))
    otel.instrument(face.engine, tracer_provider=provider, calls={"Search": otel.tool_call("web_search")})
    face.tick_once()
    face.tick_once()
    spans = exporter.get_finished_spans()
    chat = next(s for s in spans if s.name == "chat qwen3:30b")
    assert chat.kind is SpanKind.CLIENT
    assert {k: v for k, v in chat.attributes.items() if k.startswith("gen_ai.")} == {
        "gen_ai.operation.name": "chat", "gen_ai.provider.name": "ollama", "gen_ai.request.model": "qwen3:30b",
        "gen_ai.usage.input_tokens": 12, "gen_ai.usage.output_tokens": 30, "gen_ai.response.model": "m-2024",
        "gen_ai.response.finish_reasons": ("stop",)}
    tool = next(s for s in spans if s.name == "execute_tool Lookup")
    assert tool.kind is SpanKind.INTERNAL
    assert {k: v for k, v in tool.attributes.items() if k.startswith("gen_ai.")} == {
        "gen_ai.operation.name": "execute_tool", "gen_ai.tool.name": "Lookup",
        "gen_ai.tool.description": "finds things", "gen_ai.tool.type": "function", "gen_ai.tool.call.id": "call-1"}
    assert next(s for s in spans if s.name == "execute_tool web_search").attributes["gen_ai.tool.name"] == "web_search"
    # One span per tick of a running call; the model comes from the node.
    streams = [s for s in spans if s.name == "text_completion small-model"]
    assert [s.attributes["brannox.node.status"] for s in streams] == ["RUNNING", "SUCCESS"]
    assert "gen_ai.usage.output_tokens" not in streams[0].attributes
    assert streams[1].attributes["gen_ai.usage.output_tokens"] == 7
    # The usage helper is a harmless no-op where nothing is traced.
    assert otel.record_usage(input_tokens=1) is False


def test_declaration_errors():
    with pytest.raises(TypeError, match="does not define its own tick"):
        otel.tool_call()(type("Sub", (Lookup,), {}))
    with pytest.raises(TypeError, match="calls\\['X'\\]"):
        otel.instrument(SequentialEngine(), calls={"X": "chat"})
    with pytest.raises(TypeError, match="ThreadEngine or a SequentialEngine"):
        otel.instrument(object())


# -- off, and back off ---------------------------------------------------------------

class Watcher:
    def __init__(self):
        self.transitions = []

    def on_transition(self, ev):
        self.transitions.append(ev[1:])

    def on_blackboard(self, ev):
        pass

    def on_tick(self, counters):
        pass


def test_uninstrument_restores_everything_and_keeps_other_observers(make_engine, traced):
    provider, exporter = traced
    engine = SequentialEngine()
    engine.register_action_behavior("Ok", lambda n: S, [])
    engine.create_tree_from_text(bt("<Sequence><Ok/></Sequence>"))
    tree = engine._tree
    plain = (type(tree), [type(n) for n in tree.nodes()])
    entry = next(e for e in REGISTRY.entries() if e.tree_ref() is tree)
    watcher = Watcher()
    assert REGISTRY.attach(entry, watcher)
    handle = otel.instrument(engine, tracer_provider=provider)
    with pytest.raises(RuntimeError, match="instrumented already"):
        otel.instrument(engine, tracer_provider=provider)
    engine.tick_once()
    assert len(exporter.get_finished_spans()) == 2
    handle.uninstrument()
    handle.uninstrument()
    engine.tick_once()
    assert len(exporter.get_finished_spans()) == 2
    # The watcher still sees transitions; the tree has the plain observed
    # classes again, and the plain ones once the watcher goes.
    seen = len(watcher.transitions)
    engine.tick_once()
    assert len(watcher.transitions) > seen > 0
    assert type(tree).__mro__[1] is plain[0]
    assert [type(n).__mro__[1] for n in tree.nodes()] == plain[1]
    REGISTRY.detach(entry, watcher)
    assert (type(tree), [type(n) for n in tree.nodes()]) == plain
    # Instrumenting again works, and a ThreadEngine gets its methods back.
    otel.instrument(engine, tracer_provider=provider).uninstrument()
    thread_engine = make_engine()
    before = dict(vars(thread_engine))
    otel.instrument(thread_engine, tracer_provider=provider).uninstrument()
    assert vars(thread_engine) == before


def sequential(body="<Ok/>"):
    engine = SequentialEngine()
    engine.register_action_behavior("Ok", lambda n: S, [])
    if body:
        engine.create_tree_from_text(bt(body))
    return engine


def test_trees_loaded_later_and_beside_other_engines_are_traced(traced):
    # The registry knows one tree per thread: trees of other engines built on
    # this thread, before or after instrument(), must not end the tracing.
    provider, exporter = traced
    early = sequential()
    sequential()
    engine = sequential(None)
    with otel.instrument(engine, tracer_provider=provider), otel.instrument(early, tracer_provider=provider):
        engine.create_tree_from_text(bt("<Ok/>"))
        sequential()
        engine.tick_once()
        early.tick_once()
    engine.tick_once()
    assert [s.name for s in exporter.get_finished_spans()] == ["Ok", "tick T"] * 2
    assert all(type(n) is ActionNode for n in engine._tree.nodes() + early._tree.nodes())


@pytest.mark.parametrize("durable_first", [True, False])
def test_beside_a_durable_tree_in_either_order(durable_first, traced, tmp_path):
    # Durable trees keep the tree's own tick_once (a bound method): tracing must
    # not depend on it, and ticks must still work after uninstrument().
    durable = pytest.importorskip("brannox.durable")
    provider, exporter = traced
    engine = sequential("<Sequence><Ok/></Sequence>")
    if durable_first:
        follower = durable.attach(engine, "d", str(tmp_path / "trees.db"))
        handle = otel.instrument(engine, tracer_provider=provider)
    else:
        handle = otel.instrument(engine, tracer_provider=provider)
        follower = durable.attach(engine, "d", str(tmp_path / "trees.db"))
    try:
        engine.tick_once()
        handle.uninstrument()
        assert engine.tick_once() is S
    finally:
        follower.stop()
    assert [s.name for s in exporter.get_finished_spans()] == ["Ok", "tick T"]


# -- OTLP over HTTP, to a receiver on loopback ---------------------------------------------

def test_otlp_http_export_reaches_a_receiver(make_engine, monkeypatch):
    pytest.importorskip("opentelemetry.exporter.otlp.proto.http")
    from opentelemetry.exporter.otlp.proto.http.trace_exporter import OTLPSpanExporter
    from opentelemetry.proto.collector.trace.v1.trace_service_pb2 import (
        ExportTraceServiceRequest,
        ExportTraceServiceResponse,
    )
    from opentelemetry.sdk.trace.export import BatchSpanProcessor

    received = []

    class Receiver(http.server.BaseHTTPRequestHandler):
        def do_POST(self):
            body = self.rfile.read(int(self.headers["Content-Length"]))
            request = ExportTraceServiceRequest()
            request.ParseFromString(body)
            received.append((self.path, self.headers["Content-Type"], request))
            answer = ExportTraceServiceResponse().SerializeToString()
            self.send_response(200)
            self.send_header("Content-Type", "application/x-protobuf")
            self.send_header("Content-Length", str(len(answer)))
            self.end_headers()
            self.wfile.write(answer)

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Receiver)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    monkeypatch.setenv("NO_PROXY", "127.0.0.1")
    provider = TracerProvider()
    provider.add_span_processor(BatchSpanProcessor(
        OTLPSpanExporter(endpoint=f"http://127.0.0.1:{server.server_address[1]}/v1/traces", timeout=10)))
    try:
        face = Face("thread", make_engine, {"Ask": otel.model_call("m")(lambda n: S)}, "<Ask/>")
        with otel.instrument(face.engine, tracer_provider=provider):
            with provider.get_tracer("test").start_as_current_span("request"):
                face.tick_once()
        assert provider.force_flush(10_000)
    finally:
        provider.shutdown()
        server.shutdown()
        server.server_close()
    spans = {}
    for path, content_type, request in received:
        assert (path, content_type) == ("/v1/traces", "application/x-protobuf")
        for resource_spans in request.resource_spans:
            for scope_spans in resource_spans.scope_spans:
                for span in scope_spans.spans:
                    spans[span.name] = (scope_spans.scope.name, span)
    assert set(spans) == {"request", "tick t", "chat m"}
    assert spans["tick t"][0] == spans["chat m"][0] == "brannox.otel"
    assert spans["tick t"][1].parent_span_id == spans["request"][1].span_id
    assert spans["chat m"][1].parent_span_id == spans["tick t"][1].span_id
    attrs = {a.key: a.value for a in spans["chat m"][1].attributes}
    assert attrs["gen_ai.operation.name"].string_value == "chat"
    assert attrs["gen_ai.request.model"].string_value == "m"


def test_docs_example_runs(tmp_path):
    assert run_docs_example("otel.md", tmp_path).splitlines() == [
        "request",
        "  tick agent",
        "    chat qwen3:30b {'gen_ai.usage.input_tokens': 42, 'gen_ai.usage.output_tokens': 7}",
        "    execute_tool search",
    ]


def test_awaited_ticks_nest_under_the_awaiting_task_span(make_engine, traced):
    import asyncio

    from brannox.aio import AsyncEngine

    provider, exporter = traced
    face = Face("thread", make_engine, {"Ok": lambda n: S}, '<Ok name="first"/>')
    handle = otel.instrument(face.engine, tracer_provider=provider)

    async def main():
        async with AsyncEngine(face.engine) as aengine:
            with provider.get_tracer("test").start_as_current_span("task") as task:
                assert await aengine.tick_once(face.tid) is S
        return task

    task = asyncio.run(main())
    handle.uninstrument()
    assert parent_of(by_name(exporter)["tick t"]) == task.get_span_context().span_id
