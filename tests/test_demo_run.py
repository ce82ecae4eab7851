"""``python -m brannox.demo`` end to end, and the launcher parts it relies on."""

import logging
import os
import select
import socket
import subprocess
import sys

import pytest

import brannox.demo as demo
from brannox.demo.standin import StandinServer, reply_text

pytest.importorskip("agno")
pytest.importorskip("ollama")

TIMEOUT = 120
ASKED = ("中国上海的新闻", "中国北京的新闻")


@pytest.fixture
def closed_port():
    # Bound but not listening: connecting is refused, and nothing else can take the port meanwhile.
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        yield s.getsockname()[1]


def _run_demo(tmp_path, args, **env_updates):
    env = {
        k: v
        for k, v in os.environ.items()
        if k not in ("BRANNOX_DEMO_STANDIN", "OLLAMA_HOST", "AGNO_TELEMETRY")
    }
    env.update(HOME=str(tmp_path), **env_updates)
    return subprocess.run(
        [sys.executable, "-m", "brannox.demo", *args],
        env=env,
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
