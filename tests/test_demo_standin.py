"""The stand-in model server, spoken to by the real ollama client and agno."""

import http.client
import json
import socket
import threading
import time

import pytest

from brannox.demo.standin import RUNNING_TEXT, StandinServer, reply_pieces, reply_text

ollama = pytest.importorskip("ollama")
httpx = pytest.importorskip("httpx")  # the ollama client's transport

MODEL = "qwen3:30b"


@pytest.fixture
def server():
    with StandinServer(piece_delay=0.0) as s:
        yield s


@pytest.fixture
def client_for():
    """Makes ollama clients and closes them: the tests run with warnings as errors."""
    made = []

    def make(s):
        made.append(ollama.Client(host=s.url))
        return made[-1]

    yield make
    for c in made:
        c.close()


def _conn(s):
    host, port = s.url.removeprefix("http://").split(":")
    return http.client.HTTPConnection(host, int(port), timeout=10)


def _request(s, method, path, body=None, headers=None):
    conn = _conn(s)
    try:
        conn.request(method, path, body=body, headers=headers or {})
        resp = conn.getresponse()
        return resp.status, resp.getheader("Content-Type", ""), resp.read()
    finally:
        conn.close()


CONVERSATIONS = [
    pytest.param([{"role": "user", "content": "中国上海的新闻"}], "中国上海的新闻", id="one-user"),
    pytest.param(
        [
            {"role": "system", "content": "You are a reporter."},
            {"role": "user", "content": "first"},
            {"role": "assistant", "content": "an answer"},
            {"role": "user", "content": "second\nline ✓"},
        ],
        "second\nline ✓",
        id="last-user-wins",
    ),
    pytest.param([{"role": "system", "content": "only a system message"}], "", id="no-user"),
    # No messages at all is how clients load a model: an empty answer, at once.
    pytest.param([], None, id="no-messages"),
]


@pytest.mark.parametrize("messages, asked", CONVERSATIONS)
@pytest.mark.parametrize("stream", [True, False], ids=["stream", "whole"])
def test_ollama_client_gets_the_deterministic_reply(server, client_for, messages, asked, stream):
    client = client_for(server)
    expected = "" if asked is None else reply_text(MODEL, asked)
    if stream:
        parts = list(client.chat(model=MODEL, messages=messages, stream=True))
        # One line per piece, then a final one with no content.
        assert len(parts) == len(reply_pieces(expected)) + 1
        assert [p.done for p in parts] == [False] * (len(parts) - 1) + [True]
        content = "".join(p.message.content for p in parts)
        final = parts[-1]
    else:
        final = client.chat(model=MODEL, messages=messages)
        content = final.message.content
    assert content == expected
    assert final.done and final.done_reason == "stop"
    assert final.model == MODEL and final.message.role == "assistant"
    assert isinstance(final.prompt_eval_count, int) and final.eval_count == len(reply_pieces(expected))


def test_reply_says_where_it_comes_from():
    text = reply_text(MODEL, "中国北京的新闻")
    assert "stand-in model server" in text and "not from a language model" in text
    assert MODEL in text and "中国北京的新闻" in text
    assert reply_text(MODEL, "a") != reply_text(MODEL, "b") != reply_text("other", "b")


def test_stream_wire_format(server):
    body = json.dumps({"model": MODEL, "messages": [{"role": "user", "content": "中国"}], "stream": True})
    status, ctype, data = _request(server, "POST", "/api/chat", body, {"Content-Type": "application/json"})
    assert status == 200 and ctype == "application/x-ndjson"
    assert data.isascii(), "non-ASCII must be escaped"
    assert data.endswith(b"\n")
    lines = data.decode().split("\n")[:-1]
    assert all(lines), "no blank lines"
    objs = [json.loads(line) for line in lines]
    pieces = [o["message"]["content"] for o in objs]
    assert "".join(pieces) == reply_text(MODEL, "中国")
    assert len(pieces) > 10 and max(map(len, pieces)) <= 8, "small pieces"
    assert objs[-1]["done"] is True and not any(o["done"] for o in objs[:-1])


@pytest.mark.parametrize(
    "body, error",
    [
        (b"not json", "JSON"),
        (b"\xff\xfe", "JSON"),
        (b"", "JSON"),
        (b"[1, 2]", "object"),
        (b'{"messages": []}', "model"),
        (b'{"model": "", "messages": []}', "model"),
        (b'{"model": "m", "messages": "hi"}', "messages"),
        (b'{"model": "m", "messages": [{"role": "user", "content": 5}]}', "content"),
    ],
)
def test_bad_chat_requests_get_json_errors(server, body, error):
    status, ctype, data = _request(server, "POST", "/api/chat", body, {"Content-Type": "application/json"})
    assert status == 400 and ctype.startswith("application/json")
    assert error in json.loads(data)["error"]


@pytest.mark.parametrize(
    "method, path, status",
    [("GET", "/nope", 404), ("POST", "/api/generate", 404), ("GET", "/api/chat", 405), ("DELETE", "/", 405)],
)
def test_other_paths_and_methods(server, method, path, status):
    got, ctype, _ = _request(server, method, path, b"{}")
    assert got == status and ctype.startswith("text/plain")


def test_root_answers_like_ollama_and_survives_bad_requests(server):
    for body in (b"{", b"null", b'{"model": 1}'):
        _request(server, "POST", "/api/chat", body)
    _request(server, "POST", "/api/chat", b"x", {"Content-Length": "oops"})
    assert _request(server, "GET", "/") == (200, "text/plain; charset=utf-8", RUNNING_TEXT.encode())
    assert _request(server, "HEAD", "/")[0::2] == (200, b"")


def test_serves_requests_while_a_stream_is_open(client_for):
    with StandinServer(piece_delay=0.01) as s:
        stream = client_for(s).chat(model=MODEL, messages=[{"role": "user", "content": "a"}], stream=True)
        first = next(stream)
        assert not first.done
        whole = client_for(s).chat(model=MODEL, messages=[{"role": "user", "content": "b"}])
        assert whole.message.content == reply_text(MODEL, "b")
        assert "".join([first.message.content] + [p.message.content for p in stream]) == reply_text(
            MODEL, "a"
        )


def test_stop_cuts_open_streams_and_idle_connections(client_for):
    s = StandinServer(piece_delay=0.2).start()
    host, port = s.url.removeprefix("http://").split(":")
    idle = _conn(s)
    idle.request("GET", "/")
    idle.getresponse().read()  # the keep-alive connection now sits idle in a handler thread
    stream = client_for(s).chat(model=MODEL, messages=[{"role": "user", "content": "a"}], stream=True)
    next(stream)
    stopper = threading.Timer(0.1, s.stop)
    stopper.start()
    with pytest.raises(httpx.HTTPError):
        for part in stream:
            assert not part.done, "a cut stream must not look complete"
    stopper.join(5)
    assert not stopper.is_alive(), "stop() hung on open connections"
    idle.close()
    with pytest.raises(OSError):
        socket.create_connection((host, int(port)), timeout=2).close()
    s.stop()  # a second stop is harmless


def test_agno_ollama_model_streams_the_reply(server, monkeypatch):
    pytest.importorskip("agno")
    monkeypatch.setenv("AGNO_TELEMETRY", "false")
    from agno.agent import Agent
    from agno.models.ollama import Ollama

    agent = Agent(model=Ollama(id=MODEL, host=server.url), description="You report news.", markdown=True)
    try:
        pieces = [r.content for r in agent.run("中国上海的新闻", stream=True)]
    finally:
        agent.model.get_client().close()
    assert len(pieces) > 3
    assert "".join(pieces) == reply_text(MODEL, "中国上海的新闻")


@pytest.mark.parametrize("delay", [-0.5, float("inf"), float("nan")])
def test_piece_delay_must_be_finite_and_not_negative(delay):
    with pytest.raises(ValueError, match="^piece_delay must be a finite number of seconds, 0 or more"):
        StandinServer(piece_delay=delay)
