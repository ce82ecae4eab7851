"""The monitor's server (binding rules, Host/Origin checks, token, read-only), recordings, and --monitor."""
import asyncio
import http.client
import json
import os
import socket
import subprocess
import sys
import time

import pytest

pytest.importorskip("starlette", reason="the monitor extra is not installed")
from websockets.exceptions import ConnectionClosed, InvalidStatus  # noqa: E402
from websockets.sync.client import connect  # noqa: E402

from brannox import monitor  # noqa: E402
from brannox.core import NodeStatus  # noqa: E402
from brannox.monitor._hub import Client  # noqa: E402

XML = """<root BTCPP_format="4"><BehaviorTree ID="Main">
  <Sequence><Flip/><AlwaysSuccess/></Sequence>
</BehaviorTree></root>"""


def flip(node):
    return NodeStatus.FAILURE if node.getInputObject("x") else NodeStatus.SUCCESS


@pytest.fixture
def trees(engine):
    engine.register_action_behavior("Flip", flip, [{"name": "x", "type": "object"}])
    for name in ("one", "two"):
        engine.create_tree_from_text(XML, name)
        engine.tick_once(name)
    return engine


@pytest.fixture
def served(trees):
    handle = monitor.serve(trees)
    yield handle
    handle.close()


def get(handle, path="/api/trees", method="GET", headers=None):
    conn = http.client.HTTPConnection("127.0.0.1", handle.port, timeout=10)
    try:
        conn.request(method, path, headers=headers or {})
        resp = conn.getresponse()
        return resp.status, resp.read()
    finally:
        conn.close()


@pytest.mark.parametrize("host", ["0.0.0.0", "::", "192.0.2.7", "monitor.example"])
def test_beyond_loopback_needs_a_token_before_any_socket(monkeypatch, host):
    monkeypatch.setattr(socket, "socket", lambda *a, **k: pytest.fail("a socket was made"))
    with pytest.raises(ValueError, match="token"):
        monitor.serve(host=host)


@pytest.mark.parametrize("token", ["", "short", 12345678])
def test_weak_tokens_refused(token):
    with pytest.raises(ValueError, match="token"):
        monitor.serve(token=token)


@pytest.mark.parametrize("headers, status", [
    ({}, 200),
    ({"Host": "localhost:{port}"}, 200),
    ({"Host": "attacker.example:{port}"}, 403),
    ({"Host": "attacker.example"}, 403),
    ({"Origin": "http://attacker.example"}, 403),
    ({"Origin": "http://127.0.0.1:{port}"}, 200),
])
def test_host_and_origin_checks(served, headers, status):
    headers = {k: v.format(port=served.port) for k, v in headers.items()}
    assert get(served, headers=headers)[0] == status


def test_lists_trees_read_only_and_keeps_stopped_ones(served, trees):
    status, body = get(served)
    assert status == 200
    listed = {t["label"]: t for t in json.loads(body)["trees"]}
    assert set(listed) == {"one", "two"} and all(t["alive"] for t in listed.values())
    assert get(served, method="POST")[0] == 405
    assert get(served, "/static/../_server.py")[0] == 404
    trees.stop_tree("two")
    trees.create_tree_from_text(XML, "three")
    trees.tick_once("three")
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        listed = {t["label"]: t for t in json.loads(get(served)[1])["trees"]}
        if "three" in listed and not listed["two"]["alive"]:
            break
        time.sleep(0.1)
    assert listed["three"]["alive"] and not listed["two"]["alive"] and listed["one"]["alive"]


def test_websocket_origin_and_token(trees):
    with monitor.serve(trees, token="s3cret-token") as handle:
        assert handle.url.endswith("#token=s3cret-token")
        ws_url = f"ws://127.0.0.1:{handle.port}/live"
        with pytest.raises(InvalidStatus):
            connect(ws_url, origin="http://attacker.example")
        assert get(handle)[0] == 401
        assert get(handle, headers={"Authorization": "Bearer s3cret-token"})[0] == 200
        with connect(ws_url) as ws:
            assert json.loads(ws.recv(10)) == {"type": "auth"}
            ws.send(json.dumps({"token": "wrong-token"}))
            with pytest.raises(ConnectionClosed) as info:
                ws.recv(10)
            assert info.value.rcvd.code == 4401
        with connect(ws_url) as ws:
            ws.recv(10)
            ws.send(json.dumps({"token": "s3cret-token"}))
            hello, listing = json.loads(ws.recv(10))[:2]
            assert hello["type"] == "hello" and {t["label"] for t in listing["trees"]} == {"one", "two"}


def test_slow_client_loses_oldest_with_a_gap_marker():
    async def run():
        client = Client(limit=3)
        for i in range(10):
            client.put({"n": i})
        return await client.next_batch()

    assert asyncio.run(run()) == [{"type": "gap", "dropped": 7}, {"n": 7}, {"n": 8}, {"n": 9}]


def lines(path):
    with open(path, encoding="utf-8") as f:
        return [json.loads(line) for line in f]


def test_recording_and_gap_lines(trees, tmp_path):
    full = monitor.record(trees, "one", tmp_path / "full.jsonl")
    small = monitor.record(trees, "one", tmp_path / "small.jsonl", buffer_events=4)
    trees.set_blackboard_data("one", "x", True)
    trees.tick_n_times("one", 50)
    small.close()
    full.close()
    full.close()
    a, b = lines(tmp_path / "full.jsonl"), lines(tmp_path / "small.jsonl")
    head = a[0]
    assert head["format"] == "brannox-tree-recording" and head["version"] == 1 and "<Flip/>" in head["xml"]
    assert [n["type"] for n in head["nodes"]] == ["Sequence", "Flip", "AlwaysSuccess"]
    assert a[1] == {"type": "blackboard", "t": a[1]["t"], "key": "x", "value": {"repr": "True", "type": "bool"}}
    assert a[-1]["type"] == "end" and b[-1]["type"] == "end"
    events = [e for e in a if e["type"] in ("transition", "blackboard")]
    kept = [e for e in b if e["type"] in ("transition", "blackboard")]
    dropped = sum(e["dropped"] for e in b if e["type"] == "gap")
    assert dropped > 0 and len(kept) + dropped == len(events)
    assert monitor.load(tmp_path / "full.jsonl")[1] == a[1:-1]
    kept_lines = (tmp_path / "full.jsonl").read_text(encoding="utf-8").splitlines(keepends=True)[:-1]
    (tmp_path / "cut.jsonl").write_text("".join(kept_lines[:-1]) + kept_lines[-1][:12], encoding="utf-8")
    assert monitor.load(tmp_path / "cut.jsonl")[1] == a[1:-2]  # a process that died mid-line


HEAD = '{"format": "brannox-tree-recording", "version": 1, "nodes": [{"id": 0, "parent": -1, "type": "A", "name": "A", "path": "/"}]}\n'


@pytest.mark.parametrize("text, message", [
    ("", "not a tree recording"),
    ("not json\n", "not a tree recording"),
    ('{"format": "other"}\n', "not a tree recording"),
    (HEAD.replace('"parent": -1', '"parent": 3'), "node table"),
    (HEAD + '{"type": "transition", "t": 1, "node": 5, "from": "IDLE", "to": "SUCCESS"}\n', "line 2: malformed"),
    (HEAD + 'garbage\n{"type": "end", "t": 2}\n', "line 2: not JSON"),
])
def test_replay_refuses_other_files(tmp_path, text, message):
    path = tmp_path / "bad.jsonl"
    path.write_text(text)
    proc = subprocess.run([sys.executable, "-m", "brannox.monitor", "replay", str(path)],
                          capture_output=True, text=True, timeout=60, stdin=subprocess.DEVNULL)
    assert proc.returncode == 1 and message in proc.stderr


def test_demo_monitor_flag_keeps_stdout(tmp_path):
    pytest.importorskip("agno")  # the sanitizer leg installs no demonstration extra
    env = {k: v for k, v in os.environ.items() if k not in ("BRANNOX_DEMO_STANDIN", "AGNO_TELEMETRY")}
    with socket.socket() as closed:  # bound, not listening: no model server there
        closed.bind(("127.0.0.1", 0))
        env.update(HOME=str(tmp_path), OLLAMA_HOST=f"127.0.0.1:{closed.getsockname()[1]}")
        runs = [subprocess.run([sys.executable, "-m", "brannox.demo", "--piece-delay", "0.001", *flag], env=env,
                               cwd=tmp_path, stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
                for flag in ([], ["--monitor"])]
    plain, watched = runs
    assert plain.returncode == watched.returncode == 0, watched.stderr
    assert watched.stdout == plain.stdout
    assert b"monitor: http://127.0.0.1:" in watched.stderr


def test_closing_leaves_no_tree_observed(trees):
    from brannox._bt.observe import REGISTRY

    entries = [REGISTRY.for_thread(r["thread"]) for r in trees.trees.values()]
    with monitor.serve(trees), monitor.serve():
        assert all(len(e.watch.observers) == 2 for e in entries)
    assert all(e.watch is None for e in entries)
