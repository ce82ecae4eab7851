"""``python -m brannox.demo`` end to end, and the launcher parts it relies on."""

import json
import logging
import os
import select
import signal
import socket
import subprocess
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest

import brannox.demo as demo
from brannox.demo.standin import StandinServer, reply_text
from helpers import write_fake_agno

pytest.importorskip("agno")
pytest.importorskip("ollama")

TIMEOUT = 120
ASKED = ("中国上海的新闻", "中国北京的新闻")
TIMEOUT_ENV = "BRANNOX_DEMO_REQUEST_TIMEOUT"


@pytest.fixture
def closed_port():
    # Bound but not listening: connecting is refused, and nothing else can take the port meanwhile.
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        yield s.getsockname()[1]


def _demo_env(tmp_path, **env_updates):
    env = {
        k: v
        for k, v in os.environ.items()
        if k not in ("BRANNOX_DEMO_STANDIN", "OLLAMA_HOST", "AGNO_TELEMETRY", TIMEOUT_ENV)
    }
    env.update(HOME=str(tmp_path), **env_updates)
    return env


def _run_demo(tmp_path, args, **env_updates):
    return subprocess.run(
        [sys.executable, "-m", "brannox.demo", *args],
        env=_demo_env(tmp_path, **env_updates),
        cwd=tmp_path,
        stdin=subprocess.DEVNULL,
        capture_output=True,
        timeout=TIMEOUT,
    )


@pytest.mark.parametrize(
    "server, args",
    [
        pytest.param("none", ["--piece-delay", "0.001"], id="stand-in-started"),
        pytest.param("running", [], id="server-already-running"),
        pytest.param("running", ["--no-standin"], id="server-running-stand-in-off"),
    ],
)
def test_demonstration_prints_both_streamed_answers(tmp_path, closed_port, server, args):
    with StandinServer(piece_delay=0.0) as running:
        host = running.url if server == "running" else f"127.0.0.1:{closed_port}"
        proc = _run_demo(tmp_path, args, OLLAMA_HOST=host)
    stderr = proc.stderr.decode("utf-8", "replace")
    assert proc.returncode == 0, stderr
    # agno sends the user input unchanged as the last user message.
    assert proc.stdout.decode("utf-8") == "".join(reply_text(demo.MODEL, q) + "\n" for q in ASKED), stderr
    assert ("started the stand-in" in stderr) == (server == "none")


@pytest.mark.parametrize(
    "how", [{"args": ["--no-standin"]}, {"env": {"BRANNOX_DEMO_STANDIN": "0"}}], ids=["flag", "env"]
)
def test_demonstration_fails_clearly_without_a_model_server(tmp_path, closed_port, how):
    host = f"127.0.0.1:{closed_port}"
    proc = _run_demo(tmp_path, how.get("args", []), OLLAMA_HOST=host, **how.get("env", {}))
    stderr = proc.stderr.decode("utf-8", "replace")
    assert proc.returncode == 1, stderr
    assert proc.stdout == b""
    assert "demonstration failed" in stderr and host in stderr
    assert "stand-in model server was turned off" in stderr


def test_refuses_when_the_module_is_already_imported(monkeypatch, capsys):
    monkeypatch.setenv("AGNO_TELEMETRY", "false")
    monkeypatch.setitem(sys.modules, demo.MODULE, object())
    assert demo.main(["--no-standin"]) == 1
    assert "already imported" in capsys.readouterr().err


@pytest.mark.parametrize(
    "flag, value, wanted",
    [(False, None, True), (False, "1", True), (False, "0", False), (False, " Off ", False), (True, None, False)],
)
def test_standin_switch(flag, value, wanted):
    env = {} if value is None else {demo.STANDIN_ENV: value}
    assert demo.standin_wanted(flag, env) is wanted


HOSTS = [None, "", "1.2.3.4", ":56789", "example.com:56789/", "http://example.com", "https://h:1/path/", "[::1]"]


@pytest.mark.parametrize("host", HOSTS)
def test_host_parsing_matches_the_ollama_client(host):
    from ollama._client import _parse_host

    assert demo._parse_host_like_ollama(host) == _parse_host(host) == demo.model_server_url(host)


def test_server_probe(closed_port):
    with StandinServer() as s:
        assert demo.server_answers(s.url)
        assert not demo.server_answers(s.url + "/elsewhere")  # 404 there
    assert not demo.server_answers(f"http://127.0.0.1:{closed_port}", timeout=2)


@pytest.fixture
def agno_handlers():
    from agno.utils import log as agno_log

    loggers = [
        logging.getLogger(n)
        for n in (agno_log.LOGGER_NAME, agno_log.TEAM_LOGGER_NAME, agno_log.WORKFLOW_LOGGER_NAME)
    ]
    saved = [(h, h.console) for lg in loggers for h in lg.handlers if hasattr(h, "console")]
    yield agno_log
    for h, console in saved:
        h.console = console


def test_agno_log_lines_leave_stdout(agno_handlers, capsys):
    demo._quiet_agno()
    agno_handlers.log_warning("agno says something")
    agno_handlers.logger.info("and something else")
    out, err = capsys.readouterr()
    assert out == ""
    assert "agno says something" in err and "and something else" in err


def test_stdout_is_unbuffered():
    # The child writes one piece with no newline, then waits: the piece must arrive before the child goes on.
    code = (
        "import sys, brannox.demo as d; d._unbuffered_stdout(); "
        "print('片', end=''); sys.stdin.readline(); print('!')"
    )
    env = dict(os.environ, PYTHONIOENCODING="ascii")  # the launcher's writer is UTF-8 regardless
    with subprocess.Popen(
        [sys.executable, "-c", code], stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env
    ) as child:
        try:
            ready, _, _ = select.select([child.stdout], [], [], 30)
            assert ready, "nothing arrived: stdout is still buffered"
            assert os.read(child.stdout.fileno(), 16) == "片".encode("utf-8")
        finally:
            child.stdin.close()
        assert child.stdout.read() == b"!\n"
        assert child.wait(30) == 0


class _ModelServer(ThreadingHTTPServer):
    """Answers GET / as Ollama does; a chat request is never answered
    ("silent") or its stream breaks after two pieces ("broken"). "mute"
    never answers GET /; "slow" answers it after 3 s, then is "broken"."""

    daemon_threads = True
    block_on_close = False

    def __init__(self, mode):
        self.mode, self.asked, self.released = mode, threading.Event(), threading.Event()
        super().__init__(("127.0.0.1", 0), _ModelHandler)
        threading.Thread(target=self.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True).start()
        self.url = "http://127.0.0.1:%d" % self.server_address[1]

    def close(self):
        self.released.set()
        self.shutdown()
        self.server_close()


class _ModelHandler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_GET(self):
        if self.server.mode == "mute":
            self.server.asked.set()
            self.server.released.wait(TIMEOUT)
            return
        if self.server.mode == "slow":
            time.sleep(3)
        self.send_response(200)
        self.send_header("Content-Length", "17")
        self.end_headers()
        self.wfile.write(b"Ollama is running")

    def do_POST(self):
        self.rfile.read(int(self.headers.get("Content-Length", 0)))
        self.server.asked.set()
        if self.server.mode == "silent":
            self.server.released.wait(TIMEOUT)
            return
        self.send_response(200)
        self.send_header("Content-Type", "application/x-ndjson")
        self.send_header("Transfer-Encoding", "chunked")
        self.end_headers()
        for piece in ("partial ", "answer"):
            line = json.dumps({"model": demo.MODEL, "created_at": "2025-01-01T00:00:00Z",
                               "message": {"role": "assistant", "content": piece}, "done": False}).encode() + b"\n"
            self.wfile.write(b"%x\r\n%s\r\n" % (len(line), line))
            self.wfile.flush()
        self.close_connection = True  # without the final chunk


@pytest.fixture
def model_server():
    made = []

    def make(mode):
        made.append(_ModelServer(mode))
        return made[-1]

    yield make
    for s in made:
        s.close()


def _start_demo(tmp_path, args, **env_updates):
    # SIGINT may be ignored by whatever started the tests; a user's terminal delivers it.
    return subprocess.Popen(
        [sys.executable, "-m", "brannox.demo", *args],
        env=_demo_env(tmp_path, **env_updates),
        cwd=tmp_path,
        stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL),
    )


def _stuck_demo(tmp_path, model_server, closed_port, where, args=(), **env):
    """A started demonstration and a wait() for the moment it is stuck in
    the request: with the server never answering, or in a tick function that
    never returns (non-daemon tree thread) when `where` is "tick"."""
    if where == "tick":
        write_fake_agno(tmp_path)
        proc = _start_demo(tmp_path, ["--no-standin", *args], OLLAMA_HOST=f"127.0.0.1:{closed_port}",
                           PYTHONPATH=str(tmp_path), FAKE_AGNO_BLOCK=ASKED[0], **env)
        stuck = lambda: (tmp_path / "blocked").exists()  # noqa: E731
    else:
        server = model_server("mute" if where == "probe" else "silent")
        proc = _start_demo(tmp_path, list(args), OLLAMA_HOST=server.url, **env)
        stuck = server.asked.is_set
    deadline = time.monotonic() + TIMEOUT
    while not stuck():
        assert proc.poll() is None, proc.communicate()
        assert time.monotonic() < deadline, "the demonstration never reached the request"
        time.sleep(0.02)
    return proc


def _ends_within(proc, seconds):
    try:
        out, err = proc.communicate(timeout=seconds)
    except subprocess.TimeoutExpired:
        proc.kill()
        out, err = proc.communicate()
        pytest.fail(f"still running {seconds} s later; stderr: {err.decode('utf-8', 'replace')[-2000:]}")
    return proc.returncode, out.decode("utf-8"), err.decode("utf-8", "replace")


@pytest.mark.parametrize("where, how", [("server", "flag"), ("server", "env"), ("tick", "flag")])
def test_request_timeout_ends_a_stuck_run(tmp_path, model_server, closed_port, where, how):
    args, env = (["--request-timeout", "1.5"], {}) if how == "flag" else ([], {TIMEOUT_ENV: "1.5"})
    proc = _stuck_demo(tmp_path, model_server, closed_port, where, args, **env)
    status, out, err = _ends_within(proc, 1.5 + 5)
    assert status == 1, err
    last = err.rstrip("\n").split("\n")[-1]
    assert last.startswith("brannox demo: the demonstration failed: the model server sent no piece of an answer "
                           "for 1.5 s (--request-timeout"), err
    assert out == ""


def _first_output(proc):
    ready, _, _ = select.select([proc.stdout], [], [], TIMEOUT)
    assert ready, "no answer began"
    return os.read(proc.stdout.fileno(), 4096).decode("utf-8", "replace")


@pytest.mark.parametrize("moment", ["waiting for the server", "tick function blocked", "answer streaming",
                                    "waiting for GET /"])
def test_ctrl_c_exits_130_at_once(tmp_path, model_server, closed_port, moment):
    if moment == "answer streaming":
        proc = _start_demo(tmp_path, ["--piece-delay", "0.2"], OLLAMA_HOST=f"127.0.0.1:{closed_port}")
        head = _first_output(proc)
    else:
        where = {"tick function blocked": "tick", "waiting for GET /": "probe"}.get(moment, "server")
        proc = _stuck_demo(tmp_path, model_server, closed_port, where)
        head = ""
    proc.send_signal(signal.SIGINT)
    status, out, err = _ends_within(proc, 5)
    assert status == 130, err
    assert err.endswith("brannox demo: interrupted\n"), err
    assert "Traceback" not in err and "Exception ignored" not in err
    assert (head + out).endswith("\n") or not head + out  # a partial answer still ends its line


@pytest.mark.parametrize("host", ["127.0.0.1:99999", "http://[::1", "127.0.0.1:abc"])
def test_malformed_ollama_host_is_explained(tmp_path, host):
    proc = _run_demo(tmp_path, [], OLLAMA_HOST=host)
    err = proc.stderr.decode("utf-8", "replace")
    assert (proc.returncode, proc.stdout) == (1, b""), err
    assert err.startswith(f"brannox demo: the demonstration failed: OLLAMA_HOST={host!r} is not a model server")
    assert err.count("\n") == 1, err  # one paragraph, no traceback


@pytest.mark.parametrize("command, shown", [
    ('"$0" -m brannox.demo | head -c 30; exit "${PIPESTATUS[0]}"', 30),
    ('"$0" -m brannox.demo >&-', 0),
], ids=["closed part-way", "closed from the start"])
def test_closed_stdout_is_told_in_one_line(tmp_path, command, shown):
    with StandinServer(piece_delay=0.02) as running:
        proc = subprocess.run(["bash", "-c", command, sys.executable], env=_demo_env(tmp_path, OLLAMA_HOST=running.url),
                              cwd=tmp_path, stdin=subprocess.DEVNULL, capture_output=True, timeout=TIMEOUT)
    err = proc.stderr.decode("utf-8", "replace")
    assert proc.returncode == 1, err
    assert proc.stdout == reply_text(demo.MODEL, ASKED[0]).encode()[:shown]
    assert err.endswith("brannox demo: standard output was closed, so the answers could not be written; "
                        "the demonstration stopped.\n"), err
    assert "Exception ignored" not in err and "model server" not in err


@pytest.mark.parametrize("option, value", [
    ("--piece-delay", "inf"), ("--piece-delay", "nan"), ("--piece-delay", "-0.5"),
    ("--request-timeout", "0"), ("--request-timeout", "inf"), ("--request-timeout", "nan"),
    (TIMEOUT_ENV, "-1"),
])
def test_bad_seconds_are_usage_errors(tmp_path, closed_port, option, value):
    args, env = ([], {option: value}) if option == TIMEOUT_ENV else ([option, value], {})
    proc = _run_demo(tmp_path, ["--no-standin", *args], OLLAMA_HOST=f"127.0.0.1:{closed_port}", **env)
    err = proc.stderr.decode("utf-8", "replace")
    assert proc.returncode == 2, err
    named = option if option == TIMEOUT_ENV else f"argument {option}"
    assert err.startswith("usage: python -m brannox.demo") and f"error: {named}: " in err, err


def test_stream_failing_part_way_ends_its_line(tmp_path, model_server):
    server = model_server("broken")
    proc = _run_demo(tmp_path, [], OLLAMA_HOST=server.url)
    err = proc.stderr.decode("utf-8", "replace")
    assert proc.returncode == 1, err
    assert proc.stdout.decode("utf-8") == "partial answer\n"
    assert err.split("\n")[-2].startswith("brannox demo: the demonstration failed: "), err


@pytest.fixture
def taking_port():
    # Listening but never accepting: the system takes the connection, nobody answers.
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        s.listen(8)
        yield s.getsockname()[1]


@pytest.mark.parametrize("server", ["slow", "mute", "taking"])
def test_a_model_server_that_is_there_is_not_replaced_by_the_stand_in(tmp_path, model_server, taking_port, server):
    url = f"127.0.0.1:{taking_port}" if server == "taking" else model_server(server).url
    start = time.monotonic()
    proc = _run_demo(tmp_path, ["--request-timeout", "4"], OLLAMA_HOST=url)
    err = proc.stderr.decode("utf-8", "replace")
    assert proc.returncode == 1 and "stand-in model server at" not in err, err
    last = err.rstrip("\n").split("\n")[-1]
    if server == "slow":  # waited for, then used: its chat stream breaks part-way
        assert proc.stdout == b"partial answer\n", err
        assert "has not answered GET / within 2 s; waiting for it up to 4 s" in err
    else:
        assert proc.stdout == b"" and time.monotonic() - start < 4 + 60
        assert last.startswith("brannox demo: the demonstration failed: the model server accepted the connection "
                               "but sent no answer to GET / for 4 s (--request-timeout"), err
        assert url in last


@pytest.mark.parametrize("args", [["--mon"], ["--no-s"], ["--request-t", "5"]])
def test_options_are_not_abbreviated(tmp_path, closed_port, args):
    # An abbreviated --monitor used to reach the run it starts, which started another monitor, and so on.
    proc = _run_demo(tmp_path, args, OLLAMA_HOST=f"127.0.0.1:{closed_port}")
    err = proc.stderr.decode("utf-8", "replace")
    assert proc.returncode == 2 and "monitor:" not in err, err[-2000:]
    assert f"error: unrecognized arguments: {args[0]}" in err



# A child interpreter where one module cannot be imported, as when an extra is not installed.
REFUSING = """
import sys
class Refuse:
    def find_spec(self, name, path=None, target=None):
        if name == REFUSED or name.startswith(REFUSED + "."):
            raise ModuleNotFoundError(f"No module named {name!r}", name=name)
REFUSED = sys.argv[1]
sys.meta_path.insert(0, Refuse())
"""


@pytest.mark.parametrize("refused, named", [("agno", "agno"), ("ollama", "ollama"), ("ollama._client", "ollama")])
def test_missing_demo_extra_is_named_not_blamed_on_the_model_server(tmp_path, closed_port, refused, named):
    script = REFUSING + "from brannox.demo import main\nsys.exit(main(['--no-standin', '--traceback']))\n"
    proc = subprocess.run([sys.executable, "-c", script, refused], env=_demo_env(tmp_path, OLLAMA_HOST=f"127.0.0.1:{closed_port}"),
                          cwd=tmp_path, stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=TIMEOUT)
    assert proc.returncode == 1, proc.stderr
    assert proc.stderr.endswith(
        f'brannox demo: the demonstration needs {named}, which is not installed: pip install "brannox-mthread[demo]"\n'
    ), proc.stderr
    assert f"ModuleNotFoundError: No module named '{refused}'" in proc.stderr  # the original, under --traceback


@pytest.mark.parametrize("value", ["bogus", "2", "of"])
def test_unknown_standin_switch_is_a_usage_error(tmp_path, closed_port, value):
    proc = _run_demo(tmp_path, ["--monitor"], OLLAMA_HOST=f"127.0.0.1:{closed_port}", BRANNOX_DEMO_STANDIN=value)
    err = proc.stderr.decode("utf-8", "replace")
    assert proc.returncode == 2 and err.startswith("usage: python -m brannox.demo"), err
    assert f"error: BRANNOX_DEMO_STANDIN: {value!r} is neither on (1, true, yes, on) nor off (0, false, no, off)" in err
    assert "monitor:" not in err and proc.stdout == b""
