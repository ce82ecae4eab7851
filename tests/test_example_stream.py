"""examples/stream_server.py, run as a user would: a child process on a
loopback port, read by a real HTTP client and by Chromium."""
import json
import os
import pathlib
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time

import pytest

from helpers import until

for _module in ("agno", "ollama", "starlette", "uvicorn"):
    pytest.importorskip(_module, reason="the example needs the demo and monitor extras")
httpx = pytest.importorskip("httpx")

from brannox.demo.standin import StandinServer, reply_pieces, reply_text  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parent.parent
EXAMPLE = ROOT / "examples" / "stream_server.py"
MODEL = "qwen3:30b"
PIECE_DELAY = 0.03


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture(scope="module")
def start_example(tmp_path_factory):
    """Starts the example in a child process; stops every one started, bounded."""
    started = []

    def start(*args, env=None):
        port = free_port()
        log = tmp_path_factory.mktemp("example") / "stderr.txt"
        with log.open("w") as stderr:
            proc = subprocess.Popen([sys.executable, str(EXAMPLE), "--port", str(port), *args],
                                    env={**os.environ, "AGNO_TELEMETRY": "false", **(env or {})},
                                    stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=stderr)
        started.append((proc, log))
        url = f"http://127.0.0.1:{port}"
        deadline = time.monotonic() + 60
        while True:
            assert proc.poll() is None, log.read_text()
            try:
                httpx.get(url + "/", timeout=2).raise_for_status()
                return url
            except httpx.TransportError:
                assert time.monotonic() < deadline, "the example did not answer within 60 s"
                time.sleep(0.2)

    yield start
    for proc, _ in started:
        proc.terminate()  # uvicorn shuts down gracefully, then ends by the same signal
    for proc, log in started:
        try:
            proc.wait(15)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
        assert proc.returncode == -signal.SIGTERM and "Application shutdown complete" in log.read_text()


@pytest.fixture(scope="module")
def served(start_example):
    """The example, on a stand-in of this process whose pieces take PIECE_DELAY each."""
    with StandinServer(piece_delay=PIECE_DELAY) as standin:
        yield start_example(env={"OLLAMA_HOST": standin.url})


def sse_events(response):
    """(event, data) pairs of a server-sent event stream, as they arrive."""
    event, data = "message", []
    for line in response.iter_lines():
        if line:
            field, _, value = line.partition(": ")
            if field == "event":
                event = value
            else:
                data.append(value)
        elif data:
            yield event, json.loads("\n".join(data))
            event, data = "message", []


def open_stream(client, url, question):
    return client.stream("GET", url + "/stream", params={"q": question}, timeout=30)


def tree_ids(url):
    return httpx.get(url + "/trees", timeout=10).json()


@pytest.mark.parametrize("question", ["中国上海的新闻", 'two\nlines and "quotes"'])
def test_pieces_arrive_in_order_as_they_come_then_done(served, question):
    pieces, times = [], []
    with httpx.Client() as client, open_stream(client, served, question) as response:
        assert response.headers["content-type"].startswith("text/event-stream")
        events = []
        for event, data in sse_events(response):
            events.append((event, data))
            if event == "message":
                pieces.append(data)
                times.append(time.monotonic())
    assert pieces == reply_pieces(reply_text(MODEL, question))
    assert events[-1] == ("done", {"status": "SUCCESS"})
    assert [e for e, _ in events].count("done") == 1
    # Streamed, not gathered: the stand-in spaces its pieces, and so do the events.
    assert times[-1] - times[0] >= (len(pieces) - 1) * PIECE_DELAY / 2
    until(lambda: tree_ids(served) == [])


def test_concurrent_requests_stream_one_tree_each(served):
    questions = ["first question", "second question"]
    got = {q: [] for q in questions}
    streaming = threading.Barrier(len(questions) + 1, timeout=30)
    errors = []

    def read(question):
        try:
            with httpx.Client() as client, open_stream(client, served, question) as response:
                for event, data in sse_events(response):
                    got[question].append(data)
                    if len(got[question]) == 1:
                        streaming.wait()
        except Exception as exc:
            errors.append(exc)
            streaming.abort()

    readers = [threading.Thread(target=read, args=(q,)) for q in questions]
    for t in readers:
        t.start()
    streaming.wait()  # both have their first piece
    during = tree_ids(served)
    for t in readers:
        t.join(30)
    assert not errors and not any(t.is_alive() for t in readers)
    assert len(during) == 2 and all(t.startswith("answer-") for t in during)
    for q in questions:
        assert got[q] == reply_pieces(reply_text(MODEL, q)) + [{"status": "SUCCESS"}]
    until(lambda: tree_ids(served) == [])


def test_a_client_that_leaves_leaves_no_tree(served):
    with httpx.Client() as client, open_stream(client, served, "left early") as response:
        stream = sse_events(response)
        assert [next(stream)[0] for _ in range(3)] == ["message"] * 3
        assert len(tree_ids(served)) == 1
    until(lambda: tree_ids(served) == [])
    # The server carries on serving.
    with httpx.Client() as client, open_stream(client, served, "after") as response:
        assert list(sse_events(response))[-1] == ("done", {"status": "SUCCESS"})


def test_a_model_server_that_is_not_there_ends_the_stream_with_a_failure(start_example):
    url = start_example(env={"OLLAMA_HOST": f"http://127.0.0.1:{free_port()}"})  # nothing listens there
    with httpx.Client() as client, open_stream(client, url, "anyone?") as response:
        events = list(sse_events(response))
    assert len(events) == 1 and events[0][0] == "done"
    assert events[0][1]["status"] == "FAILURE" and "ConnectError" in events[0][1]["error"]
    until(lambda: tree_ids(url) == [])


@pytest.mark.skipif(bool(os.environ.get("MTHREAD_SANITIZED")) or sys.version_info[:2] != (3, 10),
                    reason="browser tests run in the CPython 3.10 leg, not under the sanitizers")
def test_chromium_shows_the_text_arriving(start_example):
    from playwright.sync_api import expect, sync_playwright

    exe = shutil.which("chromium")
    if exe is None:
        pytest.fail("chromium is not installed (apt-get install chromium; .ci/run does it)")
    url = start_example("--standin")
    question = "中国北京的新闻"
    args = ["--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--no-first-run",
            "--disable-background-networking", "--proxy-server=127.0.0.1:9"]  # a dead proxy: loopback only
    with sync_playwright() as p:
        browser = p.chromium.launch(executable_path=exe, headless=True, args=args, timeout=60_000)
        try:
            page = browser.new_page(viewport={"width": 900, "height": 360})
            page.set_default_timeout(15_000)
            errors = []
            page.on("pageerror", lambda e: errors.append(str(e)))
            page.goto(url + "/")
            # Every length the text takes on its way: many, if it arrives piece by piece.
            page.evaluate("""() => { window.lengths = []; const out = document.getElementById('answer');
                new MutationObserver(() => window.lengths.push(out.textContent.length))
                    .observe(out, {childList: true, characterData: true, subtree: true}); }""")
            page.fill("input[name=q]", question)
            page.click("button")
            answer = page.locator("#answer")
            expect(answer).to_have_attribute("data-status", "SUCCESS")
            expect(answer).to_have_text(reply_text(MODEL, question))
            lengths = page.evaluate("window.lengths")
            shots = ROOT / "build" / "test-artifacts"
            shots.mkdir(parents=True, exist_ok=True)
            page.screenshot(path=str(shots / "stream.png"))
        finally:
            browser.close()
    assert not errors, errors
    assert len(set(lengths)) > len(reply_pieces(reply_text(MODEL, question))) // 2
    until(lambda: tree_ids(url) == [])
