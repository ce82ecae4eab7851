"""Launcher for the demonstration built into ``brannox.engine.trigger.mthread``.

``python -m brannox.demo`` runs it: two behaviour trees ask a model server
for the news and their streamed answers appear on standard output. When no
model server answers, a stand-in (:mod:`brannox.demo.standin`) is started so
the demonstration still runs; see docs/demo.md.
"""

from __future__ import annotations

import argparse
import ctypes
import importlib
import importlib.util
import io
import os
import sys
import traceback
import urllib.parse
from http.client import HTTPConnection, HTTPSConnection
from typing import List, Optional, TextIO

__all__ = ["MODULE", "MODEL", "FLAG", "main", "model_server_url", "server_answers", "standin_wanted"]

MODULE = "brannox.engine.trigger.mthread"
#: The exported int that makes the module run its demonstration when imported.
FLAG = "mthread_run_as_main"
#: The model the demonstration asks for.
MODEL = "qwen3:30b"

STANDIN_ENV = "BRANNOX_DEMO_STANDIN"
_OFF = {"0", "false", "no", "off"}


class DemoError(Exception):
    """A failure the launcher explains itself, without a traceback."""


def standin_wanted(no_standin_flag: bool, environ: Optional[dict] = None) -> bool:
    """Whether the stand-in may be started when no model server answers."""
    env = os.environ if environ is None else environ
    return not no_standin_flag and env.get(STANDIN_ENV, "").strip().lower() not in _OFF


def model_server_url(host: Optional[str]) -> str:
    """The base URL the ollama client makes of ``host`` (OLLAMA_HOST's value)."""
    try:
        from ollama._client import _parse_host
    except ImportError:
        return _parse_host_like_ollama(host)
    return _parse_host(host)


def _parse_host_like_ollama(host: Optional[str]) -> str:
    # Same rules as the ollama client, for when its helper is unavailable.
    host, port = host or "", 11434
    scheme, _, hostport = host.partition("://")
    if not hostport:
        scheme, hostport = "http", host
    elif scheme == "http":
        port = 80
    elif scheme == "https":
        port = 443
    split = urllib.parse.urlsplit(f"{scheme}://{hostport}")
    name = split.hostname or "127.0.0.1"
    port = split.port or port
    if ":" in name:
        name = f"[{name}]"
    if path := split.path.strip("/"):
        return f"{scheme}://{name}:{port}/{path}"
    return f"{scheme}://{name}:{port}"


def server_answers(base_url: str, timeout: float = 2.0) -> bool:
    """Whether a model server answers ``GET /`` at ``base_url`` as Ollama does."""
    split = urllib.parse.urlsplit(base_url)
    conn_cls = HTTPSConnection if split.scheme == "https" else HTTPConnection
    try:
        conn = conn_cls(split.hostname or "127.0.0.1", split.port, timeout=timeout)
        try:
            conn.request("GET", split.path.rstrip("/") + "/")
            resp = conn.getresponse()
            body = resp.read(4096)
        finally:
            conn.close()
    except Exception:  # refused, timed out, TLS or protocol error: nothing usable there
        return False
    return resp.status == 200 and b"Ollama is running" in body


def _say(message: str) -> None:
    print(f"brannox demo: {message}", file=sys.stderr, flush=True)


class _Unbuffered(io.TextIOWrapper):
    # write_through only hands text to the byte buffer; flushing after every
    # write is what gets each streamed piece to the terminal as it arrives.
    def write(self, s: str) -> int:
        n = super().write(s)
        self.flush()
        return n


def _unbuffered_stdout() -> Optional[TextIO]:
    """Replace sys.stdout with an unbuffered UTF-8 writer; return the old one."""
    old = sys.stdout
    if old is None:
        return None
    try:
        old.flush()
        fd = old.fileno()
    except (AttributeError, OSError, ValueError):
        # Not backed by a file descriptor (e.g. captured): leave it alone.
        return None
    raw = io.FileIO(fd, "w", closefd=False)
    sys.stdout = _Unbuffered(
        io.BufferedWriter(raw), encoding="utf-8", errors="backslashreplace", line_buffering=False
    )
    return old


def _quiet_agno() -> None:
    """Send agno's own log lines to stderr: stdout carries only the answers.

    agno logs through ``logging`` handlers that are rich RichHandlers on
    rich's global console, which writes to sys.stdout.
    """
    try:
        import logging

        from agno.utils import log as agno_log
        from rich.console import Console
        from rich.logging import RichHandler
    except ImportError:
        return  # the import of the module will say what is missing
    console = Console(stderr=True)
    names = [
        agno_log.LOGGER_NAME,
        getattr(agno_log, "TEAM_LOGGER_NAME", None),
        getattr(agno_log, "WORKFLOW_LOGGER_NAME", None),
    ]
    for name in filter(None, names):
        for handler in logging.getLogger(name).handlers:
            if isinstance(handler, RichHandler):
                handler.console = console
            elif isinstance(handler, logging.StreamHandler) and handler.stream is sys.stdout:
                handler.setStream(sys.stderr)


def _arm_module() -> None:
    """Set the module's run-as-main flag without importing the module."""
    if MODULE in sys.modules:
        raise DemoError(f"{MODULE} is already imported, so its demonstration can no longer be started.")
    try:
        found = importlib.util.find_spec(MODULE)
    except ImportError as e:
        found = None
        why = f": {e}"
    else:
        why = ""
    if found is None or not found.origin or not os.path.isfile(found.origin):
        raise DemoError(
            f"the compiled module {MODULE} was not found{why}. Is the package built and installed?"
        )
    if MODULE in sys.modules:
        raise DemoError(
            f"{MODULE} was imported by its parent package, so its demonstration can no longer be started."
        )
    try:
        lib = ctypes.CDLL(found.origin)
        ctypes.c_int.in_dll(lib, FLAG).value = 1
    except (OSError, ValueError) as e:
        raise DemoError(f"could not set {FLAG} in {found.origin}: {e}") from None


def _failure_text(exc: BaseException, server: str, standin_on: bool, traceback_shown: bool) -> str:
    text = f"the demonstration failed: {type(exc).__name__}: {exc}".rstrip(": ")
    text += (
        f". It asks the model server at {server} (OLLAMA_HOST) for model {MODEL!r}: is a model server running "
        f"there, and does it have that model (ollama pull {MODEL})?"
    )
    if not standin_on:
        text += (
            f" The stand-in model server was turned off (--no-standin or {STANDIN_ENV}=0), "
            "so nothing answers unless a real server runs there."
        )
    return text if traceback_shown else text + " Run with --traceback for details."


def _parser() -> argparse.ArgumentParser:
    from .standin import DEFAULT_PIECE_DELAY

    p = argparse.ArgumentParser(
        prog="python -m brannox.demo",
        description=(
            "Run the demonstration built into brannox.engine.trigger.mthread: two behaviour trees ask a model server "
            f"(OLLAMA_HOST, model {MODEL!r}) for the news and stream the answers to standard output. When no model "
            "server answers, a stand-in with canned replies is started instead."
        ),
    )
    p.add_argument(
        "--no-standin",
        action="store_true",
        help=f"never start the stand-in model server (same as {STANDIN_ENV}=0)",
    )
    p.add_argument(
        "--piece-delay",
        type=float,
        default=DEFAULT_PIECE_DELAY,
        metavar="SECONDS",
        help="pause between the stand-in's streamed pieces (default: %(default)s)",
    )
    p.add_argument(
        "--traceback", action="store_true", help="print the full traceback when the demonstration fails"
    )
    p.add_argument("--monitor", action="store_true", help="watch the trees in a browser (URL on standard error)")
    return p


def main(argv: Optional[List[str]] = None) -> int:
    args = _parser().parse_args(argv)
    if args.monitor:
        from .watch import run_watched

        rest = [a for a in (sys.argv[1:] if argv is None else argv) if a != "--monitor"]
        return run_watched(lambda: main(rest))
    if args.piece_delay < 0:
        _say("--piece-delay must not be negative")
        return 2
    os.environ.setdefault("AGNO_TELEMETRY", "false")
    standin_on = standin_wanted(args.no_standin)
    server = model_server_url(os.environ.get("OLLAMA_HOST"))
    standin = None
    old_stdout = None
    try:
        _arm_module()
        if standin_on and not server_answers(server):
            from .standin import StandinServer

            standin = StandinServer(piece_delay=args.piece_delay).start()
            os.environ["OLLAMA_HOST"] = standin.url
            # A proxy from the environment must not get between the client and the loopback stand-in.
            for var in ("NO_PROXY", "no_proxy"):
                os.environ[var] = ",".join(filter(None, [os.environ.get(var, ""), "127.0.0.1"]))
            _say(
                f"no model server answered at {server}; started the stand-in model server at {standin.url}. "
                f"Its replies are canned, not from a language model (use --no-standin or {STANDIN_ENV}=0 to turn it off)."
            )
            server = standin.url
        _quiet_agno()
        old_stdout = _unbuffered_stdout()
        importlib.import_module(MODULE)
    except DemoError as e:
        _say(str(e))
        return 1
    except KeyboardInterrupt:
        _say("interrupted")
        return 130
    except Exception as e:
        if args.traceback:
            traceback.print_exc()
        _say(_failure_text(e, server, standin_on, args.traceback))
        return 1
    finally:
        if old_stdout is not None:
            try:
                sys.stdout.flush()
            except (OSError, ValueError):
                pass
            sys.stdout = old_stdout
        if standin is not None:
            standin.stop()
    return 0
