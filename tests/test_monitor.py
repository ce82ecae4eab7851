"""The monitor's server (binding rules, Host/Origin checks, token, read-only), recordings, and --monitor."""
import asyncio
import http.client
import json
import os
import socket
import subprocess
import sys
import threading
import time
import urllib.parse

import pytest

pytest.importorskip("starlette", reason="the monitor extra is not installed")
from websockets.exceptions import ConnectionClosed, InvalidStatus  # noqa: E402
from websockets.sync.client import connect  # noqa: E402

from brannox import monitor  # noqa: E402
from brannox.core import NodeStatus  # noqa: E402
from brannox.monitor._hub import Client, Hub, TreeView  # noqa: E402
from brannox.monitor._server import AcceptErrorLog  # noqa: E402

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


def test_process_wide_monitor_lists_engine_trees_by_identifier(trees):
    # Both trees share one BehaviorTree ID; only the engine's identifiers tell them apart.
    with monitor.serve() as handle:
        labels = {t["label"] for t in json.loads(get(handle)[1])["trees"]}
    assert {"one", "two"} <= labels


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


@pytest.mark.parametrize("limits", [{"limit": 3}, {"max_bytes": 3 * len('{"n":0}')}])
def test_slow_client_loses_oldest_with_a_gap_marker(limits):
    async def run():
        client = Client(**limits)
        for i in range(10):
            client.put({"n": i})
        return [json.loads(text) for text in await client.next_batch()], client.kicked.is_set()

    assert asyncio.run(run()) == ([{"type": "gap", "dropped": 7}, {"n": 7}, {"n": 8}, {"n": 9}], False)


def test_client_that_stays_behind_is_let_go():
    async def run():
        client = Client(limit=2, behind_seconds=0.05)
        for i in range(5):
            client.put({"n": i})
        await client.next_batch()       # it caught up: the drops are forgiven
        client.put({"n": 5})
        kept = client.kicked.is_set()
        for i in range(3):
            client.put({"n": i})
        time.sleep(0.1)
        client.put({"n": 9})            # still dropping, and no batch taken since
        return kept, client.kicked.is_set(), len(client.queue)

    assert asyncio.run(run()) == (False, True, 0)


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
    assert sum(e["type"] == "tick" for e in a) == 50  # one marker per tick, whatever its statuses did
    assert a[-1]["type"] == "end" and b[-1]["type"] == "end"
    events = [e for e in a if e["type"] in ("transition", "blackboard", "tick")]
    kept = [e for e in b if e["type"] in ("transition", "blackboard", "tick")]
    dropped = sum(e["dropped"] for e in b if e["type"] == "gap")
    assert dropped > 0 and len(kept) + dropped == len(events)
    assert monitor.load(tmp_path / "full.jsonl")[1] == a[1:-1]
    kept_lines = (tmp_path / "full.jsonl").read_text(encoding="utf-8").splitlines(keepends=True)[:-1]
    (tmp_path / "cut.jsonl").write_text("".join(kept_lines[:-1]) + kept_lines[-1][:12], encoding="utf-8")
    assert monitor.load(tmp_path / "cut.jsonl")[1] == a[1:-2]  # a process that died mid-line


HEAD = '{"format": "brannox-tree-recording", "version": 1, "nodes": [{"id": 0, "parent": -1, "type": "A", "name": "A", "path": "/"}]}\n'
TWO = HEAD.replace('}]}', '}, {"id": 1, "parent": 0, "type": "B", "name": "B", "path": "/0"}]}')


@pytest.mark.parametrize("text, message", [
    ("", "line 1: not a tree recording"),
    ("not json\n", "line 1: not a tree recording"),
    ('{"format": "other"}\n', "line 1: not a tree recording"),
    (HEAD.replace('"parent": -1', '"parent": 3'), "line 1: the node table"),
    (TWO.replace('"parent": 0', '"parent": -1'), "line 1: the node table"),   # two roots
    (HEAD.replace('"path": "/"', '"path": "/", "description": 5'), "line 1: the node table"),
    (HEAD.replace('"nodes"', '"blackboard": ["x"], "nodes"'), "line 1: 'blackboard'"),
    (HEAD.replace('"nodes"', '"statuses": 5, "nodes"'), "line 1: 'statuses'"),
    (HEAD.replace('"nodes"', '"statuses": "SUCCESS", "nodes"'), "line 1: 'statuses'"),
    (HEAD.replace('"nodes"', '"x": ' + "[" * 100_000 + "]" * 100_000 + ', "nodes"'), "line 1: JSON nested too deeply"),
    (HEAD + '{"type": "transition", "t": 1, "node": 5, "from": "IDLE", "to": "SUCCESS"}\n', "line 2: malformed"),
    (HEAD + '{"type": "gap", "t": 1, "dropped": true}\n', "line 2: malformed"),
    (HEAD + "[" * 100_000 + "]" * 100_000 + "\n", "line 2: JSON nested too deeply"),
    (HEAD + 'garbage\n{"type": "end", "t": 2}\n', "line 2: not JSON"),
    (HEAD.encode() + b'{"type": "end", "t": 2, "x": "\xff"}\n', "line 2: not UTF-8"),
])
def test_replay_refuses_other_files(tmp_path, text, message):
    path = tmp_path / "bad.jsonl"
    path.write_bytes(text if isinstance(text, bytes) else text.encode())
    proc = subprocess.run([sys.executable, "-m", "brannox.monitor", "replay", str(path)],
                          capture_output=True, text=True, timeout=60, stdin=subprocess.DEVNULL)
    said = proc.stderr.splitlines()
    assert proc.returncode == 2 and len(said) == 1 and said[0].startswith(f"error: {path}, {message}"), proc.stderr


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


def ws_url(handle):
    return f"ws://127.0.0.1:{handle.port}/live"


def receive_until(ws, pred, timeout=10):
    deadline = time.monotonic() + timeout
    while True:
        for msg in json.loads(ws.recv(max(0.1, deadline - time.monotonic()))):
            if pred(msg):
                return msg


def test_only_shown_trees_are_observed(trees):
    from brannox._bt.observe import REGISTRY

    entries = {tid: REGISTRY.for_thread(r["thread"]) for tid, r in trees.trees.items()}
    listeners = REGISTRY._listeners
    with monitor.serve(trees) as handle, monitor.serve():
        trees.tick_once("one")
        time.sleep(0.3)
        assert all(e.watch is None for e in entries.values())   # listed, not observed
        with connect(ws_url(handle)) as ws:
            listing = receive_until(ws, lambda m: m["type"] == "trees")
            key = next(t["key"] for t in listing["trees"] if t["label"] == "one")
            ws.send(json.dumps({"select": key}))
            receive_until(ws, lambda m: m["type"] == "tree")
            assert entries["one"].watch is not None and entries["two"].watch is None
            trees.tick_once("one")
            receive_until(ws, lambda m: m["type"] == "events" and any(
                e.get("node") == 1 and e.get("to") == "SUCCESS" for e in m["events"]))
        until = time.monotonic() + 10
        while entries["one"].watch is not None and time.monotonic() < until:
            time.sleep(0.05)
        assert entries["one"].watch is None   # the page left
        trees.create_tree_from_text(XML, "three")
        trees.tick_once("three")
        until = time.monotonic() + 10
        while time.monotonic() < until:   # the list still follows the root of a tree nobody shows
            listed = {t["label"]: t for t in json.loads(get(handle)[1])["trees"]}
            if listed.get("three", {}).get("status") == "SUCCESS":
                break
            time.sleep(0.1)
        assert listed["three"]["status"] == "SUCCESS"
        entries["three"] = REGISTRY.for_thread(trees.trees["three"]["thread"])
    assert all(e.watch is None for e in entries.values())
    assert REGISTRY._listeners == listeners   # a closed monitor is no longer told of new trees


def test_hostile_websocket_messages(trees, capfd):
    with monitor.serve(trees, token="s3cret-token") as handle:
        with connect(ws_url(handle)) as ws:
            ws.recv(10)
            ws.send('{"token": "\\ud800-lone-surrogate"}')
            with pytest.raises(ConnectionClosed) as info:
                ws.recv(10)
            assert info.value.rcvd.code == 4401
        with connect(ws_url(handle)) as ws:
            ws.recv(10)
            ws.send(json.dumps({"token": "s3cret-token"}))
            receive_until(ws, lambda m: m["type"] == "trees")
            ws.send(b"\x00binary")                       # ignored: the page never sends one
            ws.send("[" * 60_000 + "]" * 4_000)          # deeper than json can parse
            ws.send(json.dumps({"select": "t1"}))
            assert receive_until(ws, lambda m: m["type"] == "tree")["key"] == "t1"
    err = capfd.readouterr().err
    assert "Traceback" not in err and "Exception in ASGI" not in err, err


@pytest.mark.parametrize("token", ["p%25c&t#x=y", "plain-token"])
def test_printed_url_carries_the_token_encoded(token):
    with monitor.serve(token=token) as handle:
        fragment = urllib.parse.urlsplit(handle.url).fragment
        assert fragment.startswith("token=") and "&" not in fragment and "#" not in fragment
        assert urllib.parse.unquote(fragment[len("token="):]) == token


def test_failed_sender_ends_the_connection(trees, monkeypatch, caplog):
    async def broken(self):
        raise RuntimeError("sender broke")

    monkeypatch.setattr(Client, "next_batch", broken)
    with monitor.serve(trees) as handle, connect(ws_url(handle)) as ws:
        with pytest.raises(ConnectionClosed):
            ws.recv(10)
    said = [r.getMessage() for r in caplog.records]
    assert not any("never retrieved" in m for m in said) and any("sender broke" in m for m in said), said


def test_hub_close_while_the_loop_still_changes_views(trees):
    hub = Hub(trees)
    hub.start_live()
    template = next(iter(hub._new))
    stop = threading.Event()

    def loop():  # stands in for a server thread that outlived its join
        n = 0
        while not stop.is_set():
            n += 1
            hub.views[f"x{n}"] = TreeView(f"x{n}", "x", "x", template.nodes, "", [], {})
            hub.views.pop(f"x{n - 50}", None)

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    t = threading.Thread(target=loop, daemon=True)
    t.start()
    try:
        for _ in range(200):
            hub.close()
    finally:
        stop.set()
        t.join()
        sys.setswitchinterval(old)


@pytest.mark.parametrize("first, then", [
    (b"", b""),                                                   # connects, says nothing
    (b"GET /api/trees HTTP/1.1\r\nHost: 127.0.0.1", b""),          # half a request
    (b"GET /api/trees HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n\r\n", b"GET / HTTP/1.1\r\n"),  # half the second
])
def test_incomplete_requests_time_out(monkeypatch, first, then):
    from brannox.monitor import _server

    monkeypatch.setattr(_server, "REQUEST_SECONDS", 0.5)
    with monitor.serve() as handle, socket.create_connection(("127.0.0.1", handle.port), timeout=10) as s:
        s.sendall(first.replace(b"{port}", str(handle.port).encode()))
        if then:
            assert s.recv(65536).startswith(b"HTTP/1.1 200")
            s.sendall(then)
        started = time.monotonic()
        while s.recv(65536):
            pass
        assert time.monotonic() - started < 5


def test_connections_past_the_cap_are_closed_at_once(monkeypatch):
    from brannox.monitor import _server

    monkeypatch.setattr(_server, "MAX_CONNECTIONS", 3)
    with monitor.serve() as handle:
        held = [socket.create_connection(("127.0.0.1", handle.port), timeout=10) for _ in range(3)]
        try:
            with socket.create_connection(("127.0.0.1", handle.port), timeout=5) as extra:
                assert extra.recv(1) == b""
            held[0].sendall(f"GET /api/trees HTTP/1.1\r\nHost: 127.0.0.1:{handle.port}\r\n\r\n".encode())
            assert held[0].recv(65536).startswith(b"HTTP/1.1 200")   # those within it are served
        finally:
            for c in held:
                c.close()


def test_accept_errors_logged_once_in_a_while(caplog):
    class Loop:
        now = 0.0

        def time(self):
            return self.now

    loop, log = Loop(), AcceptErrorLog()
    for i in range(20_000):
        loop.now = i / 1000          # 1,000 a second for 20 s
        log(loop, {"message": "socket.accept() out of system resource", "exception": OSError(24, "EMFILE")})
    lines = [r.getMessage() for r in caplog.records if "out of system resource" in r.getMessage()]
    assert len(lines) == 2 and "9999 more since" in lines[1]


BUSY = """
import os, sys, time
from brannox import monitor
from brannox.engine.trigger.mthread import ThreadEngine

inner = "".join("<Sequence>" + "<AlwaysSuccess/>" * 20 + "</Sequence>" for _ in range(19))
engine = ThreadEngine()
engine.create_tree_from_text(f'<root BTCPP_format="4"><BehaviorTree ID="M"><Sequence>{inner}</Sequence>'
                             '</BehaviorTree></root>', "busy")
assert engine.get_tree_status("busy")["node_count"] == 400
handle = monitor.serve(engine)
print(handle.port, flush=True)
sys.stdin.readline()   # the clients have selected the tree


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


start = peak = rss()
end = time.monotonic() + float(sys.argv[1])
while time.monotonic() < end:
    engine.tick_n_times("busy", 50)
    peak = max(peak, rss())
print(start, peak, flush=True)
os._exit(0)
"""


def never_reading_client(port, key):
    """A WebSocket client that selects a tree and then reads nothing at all."""
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    s.settimeout(10)
    s.connect(("127.0.0.1", port))
    s.sendall(f"GET /live HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
              "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n".encode())
    head = b""
    while b"\r\n\r\n" not in head:
        head += s.recv(1)
    assert b" 101 " in head
    payload = json.dumps({"select": key}).encode()
    s.sendall(bytes([0x81, 0x80 | len(payload)]) + b"\0\0\0\0" + payload)  # a zero mask leaves it as is
    return s


@pytest.mark.skipif(bool(os.environ.get("MTHREAD_SANITIZED")), reason="the sanitizer holds freed memory in quarantine")
def test_never_reading_clients_do_not_grow_the_monitor():
    seconds = float(os.environ.get("MONITOR_LOAD_SECONDS", "12"))
    proc = subprocess.Popen([sys.executable, "-c", BUSY, str(seconds)], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    clients = []
    try:
        port = int(proc.stdout.readline())
        clients = [never_reading_client(port, "t1") for _ in range(3)]
        time.sleep(0.5)
        proc.stdin.write("go\n")
        proc.stdin.flush()
        out, err = proc.communicate(timeout=seconds + 60)
    finally:
        proc.kill()
        for c in clients:
            c.close()
    start, peak = map(int, out.split())
    assert peak - start < 100 << 20, (start, peak, err[-2000:])


FD_VICTIM = """
import os, resource, sys, time
resource.setrlimit(resource.RLIMIT_NOFILE, (1024, 1024))
from brannox import monitor

handle = monitor.serve()
print(handle.port, flush=True)
failures, most = 0, 0
end = time.monotonic() + float(sys.argv[1])
while time.monotonic() < end:
    try:
        with open(os.devnull):
            most = max(most, len(os.listdir("/proc/self/fd")))
    except OSError:
        failures += 1
    time.sleep(0.01)
print(failures, most, flush=True)
os._exit(0)
"""

FD_ATTACKER = """
import resource, socket, sys, time
soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, 4096), hard))
port, hold = int(sys.argv[1]), float(sys.argv[2])
socks = []
for i in range(2000):
    s = socket.socket()
    s.setblocking(False)
    s.connect_ex(("127.0.0.1", port))
    socks.append(s)
time.sleep(0.5)
for s in socks[::3]:   # a third send half a request
    try:
        s.send(b"GET / HTTP/1.1\\r\\nHost: 127.0.0.1\\r\\n")
    except OSError:
        pass
time.sleep(hold)
"""


def test_idle_connections_leave_the_program_its_files():
    seconds = 8.0
    victim = subprocess.Popen([sys.executable, "-c", FD_VICTIM, str(seconds)], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True)
    attacker = None
    try:
        port = int(victim.stdout.readline())
        attacker = subprocess.Popen([sys.executable, "-c", FD_ATTACKER, str(port), str(seconds)],
                                    stderr=subprocess.DEVNULL)
        out, err = victim.communicate(timeout=seconds + 60)
    finally:
        victim.kill()
        if attacker is not None:
            attacker.kill()
            attacker.wait()
    failures, most = map(int, out.split())
    assert failures == 0 and most < 512, (failures, most, err[-2000:])
    assert err.count("out of system resource") <= 2, err[-2000:]


REFUSING = """
import json, sys
class Refuse:
    def find_spec(self, name, path=None, target=None):
        if name.partition(".")[0] == REFUSED:
            raise ModuleNotFoundError(f"No module named {name!r}", name=name)
REFUSED = sys.argv[1]
sys.meta_path.insert(0, Refuse())
from brannox import monitor
try:
    getattr(monitor, sys.argv[2])("run.jsonl") if sys.argv[2] == "replay" else monitor.serve()
except ModuleNotFoundError as exc:
    print(json.dumps([str(exc), exc.name, str(exc.__cause__)]))
"""


@pytest.mark.parametrize("refused", ["starlette", "uvicorn", "websockets"])
@pytest.mark.parametrize("call", ["serve", "replay"])
def test_missing_monitor_extra_is_named(tmp_path, refused, call):
    proc = subprocess.run([sys.executable, "-c", REFUSING, refused, call], cwd=tmp_path, capture_output=True,
                          text=True, timeout=60, stdin=subprocess.DEVNULL)
    assert proc.returncode == 0, proc.stderr
    text, name, cause = json.loads(proc.stdout)
    assert text == f'brannox.monitor.{call} needs {refused}, which is not installed: pip install "brannox-mthread[monitor]"'
    assert name == refused and cause == f"No module named '{refused}'"


@pytest.mark.parametrize("args, said", [
    (["--port", "99999"], "argument --port: 99999 is not a port number (0 to 65535"),
    (["--port", "-1"], "argument --port: -1 is not a port number"),
    (["--port", "http"], "argument --port: 'http' is not a port number"),
    (["--host", "0.0.0.0"], "binding '0.0.0.0' exposes the monitor beyond this machine: pass --token to do so"),
    (["--token", "short"], "argument --token: must be at least 8 characters"),
], ids=["port-high", "port-negative", "port-name", "no-token-off-loopback", "weak-token"])
def test_replay_command_line_refusals_are_usage_errors(tmp_path, args, said):
    proc = subprocess.run([sys.executable, "-m", "brannox.monitor", "replay", str(tmp_path / "run.jsonl"), *args],
                          capture_output=True, text=True, timeout=60, stdin=subprocess.DEVNULL)
    err = proc.stderr
    assert proc.returncode == 2 and err.startswith("usage: python -m brannox.monitor replay"), err
    assert f"error: {said}" in err and "token=" not in err


@pytest.mark.parametrize("argument", ["file", "--host HOST", "--port PORT", "--token TOKEN"])
def test_replay_help_describes_every_argument(monkeypatch, capsys, argument):
    from brannox.monitor.__main__ import main

    monkeypatch.setenv("COLUMNS", "120")
    with pytest.raises(SystemExit):
        main(["replay", "--help"])
    line = next(ln for ln in capsys.readouterr().out.splitlines() if ln.strip().startswith(argument))
    assert line.strip()[len(argument):].strip(), line
