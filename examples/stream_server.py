"""Stream a model's answer to the browser, one agent tree per request.

    pip install "brannox-mthread[demo,monitor]"
    python examples/stream_server.py --standin     # then open http://127.0.0.1:8000/

Each GET /stream?q=... starts a tree that builds an agent and streams its
answer; every piece the action emits goes to the browser as a server-sent
event, then a "done" event, and the tree is stopped, also when the browser
goes away first. The model server is the one OLLAMA_HOST names (a local
Ollama by default); --standin starts the demonstration's stand-in instead.
"""
import argparse
import asyncio
import contextlib
import json
import os
import queue
import threading
import uuid

import anyio
import uvicorn
from agno.agent import Agent
from agno.models.ollama import Ollama
from starlette.applications import Starlette
from starlette.responses import HTMLResponse, JSONResponse, StreamingResponse
from starlette.routing import Route

from brannox.aio import AsyncEngine
from brannox.core import NodeStatus
from brannox.engine.trigger.mthread import ThreadEngine

XML = """
<root BTCPP_format="4">
  <BehaviorTree ID="Answer">
    <Sequence>
      <CreateAgent model="qwen3:30b" agent="{agent}"/>
      <Timeout msec="300000">  <!-- a model that falls silent fails the tree instead of holding it -->
        <StreamAnswer agent="{agent}" question="{question}" answer="{answer}"/>
      </Timeout>
    </Sequence>
  </BehaviorTree>
</root>
"""
TICK_SECONDS = 0.02  # how often a request ticks its tree while the answer streams in
FINISHED = object()  # what the reader thread queues after the last piece


def port(name, direction="input"):
    return {"name": name, "type": "object", "direction": direction}


def create_agent(node):
    model = Ollama(id=node.getInputString("model"))  # the client reads OLLAMA_HOST
    node.setOutput("agent", Agent(model=model, description="You are a helpful assistant.", telemetry=False))
    return NodeStatus.SUCCESS


def read_answer(agent, question, pieces, halted):  # on a thread of its own: the answer, as it comes
    try:
        for chunk in agent.run(question, stream=True):
            if halted.is_set():
                break
            if chunk.content:
                pieces.put(chunk.content)
    except Exception as exc:
        pieces.put(exc)
    finally:
        agent.model.get_client().close()
        pieces.put(FINISHED)


def stream_answer(node):
    """A generator action: each tick emits the pieces that arrived and yields
    (RUNNING), so the tree's thread never waits on the model."""
    pieces, halted, answer = queue.SimpleQueue(), threading.Event(), []
    threading.Thread(target=read_answer, daemon=True,
                     args=(node.getInputObject("agent"), node.getInputString("question"), pieces, halted)).start()
    try:
        while True:
            try:
                piece = pieces.get_nowait()
            except queue.Empty:
                yield
                continue
            if piece is FINISHED:
                break
            if isinstance(piece, Exception):
                raise piece
            node.emit("token", piece)
            answer.append(piece)
        node.setOutput("answer", "".join(answer))
        return NodeStatus.SUCCESS
    finally:
        halted.set()  # halted part-way (the tree stopped): the reader ends at its next piece


async def tick_until_done(engine, tree):
    status = await engine.tick_once(tree)
    while status is NodeStatus.RUNNING:
        await asyncio.sleep(TICK_SECONDS)
        status = await engine.tick_once(tree)
    return status


def sse(data, event=None):
    return (f"event: {event}\n" if event else "") + f"data: {json.dumps(data)}\n\n"


async def answer_events(engine, question):
    tree = f"answer-{uuid.uuid4().hex[:12]}"  # named here, so it can be stopped whenever this ends
    ticking = None
    try:
        await engine.create_tree_from_text(XML, tree)
        await engine.set_blackboard_data(tree, "question", question)
        async with engine.events(tree) as events:
            ticking = asyncio.ensure_future(tick_until_done(engine, tree))
            async for ev in events:
                if ev["kind"] == "token":
                    yield sse(ev["payload"])
                elif ev["kind"] == "tick_end" and ev.get("status") != "RUNNING":
                    break
        try:
            done = {"status": (await ticking).name}
        except Exception as exc:  # the action failed: say so instead of cutting the stream
            done = {"status": "FAILURE", "error": f"{type(exc).__name__}: {exc}"}
        yield sse(done, event="done")
    finally:
        # A client that went away cancels this generator; the clean-up must still run.
        with anyio.CancelScope(shield=True):
            if ticking is not None:
                ticking.cancel()
                await asyncio.wait([ticking])
            with contextlib.suppress(ValueError):  # no such tree: never created, or stopped at shutdown
                await engine.stop_tree(tree)


async def stream(request):
    question = request.query_params.get("q") or "中国上海的新闻"
    return StreamingResponse(answer_events(request.state.engine, question), media_type="text/event-stream",
                             headers={"Cache-Control": "no-store"})


async def trees(request):  # the trees running now: none once every stream has ended
    return JSONResponse(await request.state.engine.get_tree_ids())


async def page(request):
    return HTMLResponse(PAGE)


PAGE = """<!doctype html><meta charset="utf-8"><title>Streamed answer</title>
<form id="ask"><input name="q" value="中国上海的新闻" size="40"> <button>Ask</button></form>
<pre id="answer" style="white-space: pre-wrap"></pre>
<script>
document.getElementById("ask").onsubmit = (e) => {
  e.preventDefault();
  const out = document.getElementById("answer");
  out.textContent = "";
  delete out.dataset.status;
  const source = new EventSource("/stream?q=" + encodeURIComponent(e.target.q.value));
  source.onmessage = (m) => { out.textContent += JSON.parse(m.data); };
  // Closed at the end: left open, an EventSource reconnects and asks again.
  source.addEventListener("done", (m) => { source.close(); out.dataset.status = JSON.parse(m.data).status; });
  source.onerror = () => source.close();
};
</script>
"""


@contextlib.asynccontextmanager
async def lifespan(app):
    async with AsyncEngine(ThreadEngine()) as engine:
        await engine.register_action_behavior("CreateAgent", create_agent, [port("model"), port("agent", "output")])
        await engine.register_action_behavior("StreamAnswer", stream_answer,
                                              [port("agent"), port("question"), port("answer", "output")])
        yield {"engine": engine}
        await engine.stop_all_trees()


app = Starlette(routes=[Route("/", page), Route("/stream", stream), Route("/trees", trees)], lifespan=lifespan)

if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, default=int(os.environ.get("PORT", 8000)),
                        help="loopback port to serve on (default: $PORT or 8000)")
    parser.add_argument("--standin", action="store_true", help="answer with the stand-in model server")
    args = parser.parse_args()
    with contextlib.ExitStack() as stack:
        if args.standin:
            from brannox.demo.standin import StandinServer

            os.environ["OLLAMA_HOST"] = stack.enter_context(StandinServer()).url
        uvicorn.run(app, host="127.0.0.1", port=args.port, timeout_graceful_shutdown=2)
