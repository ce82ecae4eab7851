"""Launcher for the demonstration built into ``brannox.engine.trigger.mthread``.

``python -m brannox.demo`` runs it: two behaviour trees ask a model server
for the news and their streamed answers appear on standard output. When no
model server answers, a stand-in (:mod:`brannox.demo.standin`) is started so
the demonstration still runs; see docs/demo.md.
"""

from __future__ import annotations

import argparse
import importlib
import importlib.util
import io
import os
import select
import signal
import sys
import threading
import time
import traceback
import urllib.parse
from typing import List, Optional, TextIO

__all__ = [
    "DEFAULT_REQUEST_TIMEOUT",
    "FLAG",
    "INTERRUPTED",
    "MODEL",
    "MODULE",
    "TIMEOUT_ENV",
    "exit_at_once",
    "main",
    "model_server_url",
    "server_answers",
    "standin_wanted",
]

MODULE = "brannox.engine.trigger.mthread"
#: The exported int that makes the module run its demonstration when imported.
FLAG = "mthread_run_as_main"
#: The model the demonstration asks for.
MODEL = "qwen3:30b"

STANDIN_ENV = "BRANNOX_DEMO_STANDIN"
_ON = ("", "1", "true", "yes", "on")
_OFF = ("0", "false", "no", "off")

#: The demo extra's packages; one of them missing is a set-up fault, not the model server's.
EXTRA_MODULES = ("agno", "ollama")
EXTRA_INSTALL = 'pip install "brannox-mthread[demo]"'

TIMEOUT_ENV = "BRANNOX_DEMO_REQUEST_TIMEOUT"
#: The longest wait, in seconds, for the next piece of an answer (model loading included).
DEFAULT_REQUEST_TIMEOUT = 300.0

#: How the shell reports a program ended by Ctrl-C.
INTERRUPTED = 130


class DemoError(Exception):
    """A failure the launcher explains itself, without a traceback."""


def standin_wanted(no_standin_flag: bool, environ: Optional[dict] = None) -> bool:
    """Whether the stand-in may be started when no model server answers.

    ValueError for a value of BRANNOX_DEMO_STANDIN that is neither on nor off:
    a typo must not leave the stand-in on unnoticed.
    """
    env = os.environ if environ is None else environ
    value = env.get(STANDIN_ENV, "")
    word = value.strip().lower()
    if word not in _ON and word not in _OFF:
        raise ValueError(
            f"{value!r} is neither on ({', '.join(filter(None, _ON))}) nor off ({', '.join(_OFF)})"
        )
    return not no_standin_flag and word not in _OFF


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
    return _probe(base_url, timeout, timeout) == _OLLAMA


# What _probe found: a model server; something else that answered; nothing
# that took the connection; no connection within the time; a connection
# that got no answer within the time.
_OLLAMA, _OTHER, _ABSENT, _UNREACHABLE, _SILENT = "ollama", "other", "absent", "unreachable", "silent"


def _probe(base_url: str, connect_timeout: float, answer_timeout: float) -> str:
    """Sends ``GET /`` to ``base_url``; says what answered (one of the names above)."""
    # Imported here, as ctypes is below: the less the launcher imports before
    # main() runs, the shorter the start-up moment where Ctrl-C is not ours yet.
    import socket
    from http.client import HTTPConnection, HTTPSConnection

    split = urllib.parse.urlsplit(base_url)
    conn_cls = HTTPSConnection if split.scheme == "https" else HTTPConnection
    accepted = False

    def connect(*args, **kwargs):
        # Once the connection is taken, a server is there: what follows (TLS
        # included) may take until answer_timeout.
        nonlocal accepted
        sock = socket.create_connection(*args, **kwargs)
        accepted = True
        sock.settimeout(answer_timeout)
        return sock

    try:
        conn = conn_cls(split.hostname or "127.0.0.1", split.port, timeout=connect_timeout)
        conn._create_connection = connect
        try:
            conn.request("GET", split.path.rstrip("/") + "/")
            resp = conn.getresponse()
            body = resp.read(4096)
        finally:
            conn.close()
    except socket.timeout:
        return _SILENT if accepted else _UNREACHABLE
    except Exception:  # refused, TLS or protocol error: nothing usable there
        return _OTHER if accepted else _ABSENT
    return _OLLAMA if resp.status == 200 and b"Ollama is running" in body else _OTHER


#: How long a model server may take to answer GET / before the launcher says it is waiting.
PROBE_PATIENCE = 2.0


def _server_there(server: str, explicit: bool, limit: float) -> bool:
    """Whether the model server at ``server`` is to be used rather than the stand-in.

    Only a server that is not there is replaced: nothing took the connection,
    or something answered that is not a model server. One that took the
    connection, or that OLLAMA_HOST names, is waited for up to ``limit``
    (the request time-out); past it DemoError says so.
    """
    note = threading.Timer(PROBE_PATIENCE, _say, [
        f"the model server at {server} has not answered GET / within {PROBE_PATIENCE:g} s; waiting for it up to "
        f"{limit:g} s (--request-timeout or {TIMEOUT_ENV})"])
    note.daemon = True
    note.start()
    try:
        found = _probe(server, limit if explicit else PROBE_PATIENCE, limit)
    finally:
        note.cancel()
    if found == _SILENT:
        what = f"the model server accepted the connection but sent no answer to GET / for {limit:g} s"
    elif found == _UNREACHABLE and explicit:
        what = f"no connection to the model server that OLLAMA_HOST names could be made in {limit:g} s"
    else:
        return found == _OLLAMA
    raise DemoError(_failure_text(
        f"{what} (--request-timeout or {TIMEOUT_ENV}); the stand-in does not replace a server that is there",
        server, True, traceback_hint=False))


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
    import ctypes

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


def _failure_text(what: str, server: str, standin_on: bool, traceback_hint: bool) -> str:
    text = f"the demonstration failed: {what}".rstrip(": ")
    text += (
        f". It asks the model server at {server} (OLLAMA_HOST) for model {MODEL!r}: is a model server running "
        f"there, and does it have that model (ollama pull {MODEL})?"
    )
    if not standin_on:
        text += (
            f" The stand-in model server was turned off (--no-standin or {STANDIN_ENV}=0), "
            "so nothing answers unless a real server runs there."
        )
    return text + " Run with --traceback for details." if traceback_hint else text


def _missing_extra_text(name: str) -> str:
    return f"the demonstration needs {name}, which is not installed: {EXTRA_INSTALL}"


def _check_extra() -> None:
    """DemoError before anything starts when a package of the demo extra is missing."""
    for name in EXTRA_MODULES:
        try:
            found = importlib.util.find_spec(name)
        except ModuleNotFoundError as e:
            raise DemoError(_missing_extra_text(name)) from e
        except (ImportError, ValueError):
            continue  # there but odd: the module's own import says what is wrong
        if found is None:
            raise DemoError(_missing_extra_text(name)) from ModuleNotFoundError(
                f"No module named {name!r}", name=name)


def _missing_extra(exc: Optional[BaseException]) -> Optional[str]:
    """The demo extra's package whose absence (or broken install) caused `exc`, if any.

    agno reports a missing ollama client as a plain ImportError raised while
    handling the ModuleNotFoundError, so the whole chain is searched.
    """
    seen = set()
    while exc is not None and id(exc) not in seen:
        seen.add(id(exc))
        if isinstance(exc, ModuleNotFoundError):
            top = (exc.name or "").partition(".")[0]
            if top in EXTRA_MODULES:
                return top
        exc = exc.__cause__ or exc.__context__
    return None


def _bad_host_text(host: str, exc: ValueError) -> str:
    return (
        f"the demonstration failed: OLLAMA_HOST={host!r} is not a model server address ({exc}). "
        "Set it to host:port or to a URL such as http://127.0.0.1:11434, the address used when "
        "OLLAMA_HOST is unset."
    )


def _timeout_text(limit: float, server: str, standin_on: bool) -> str:
    what = (
        f"the model server sent no piece of an answer for {limit:g} s (--request-timeout or {TIMEOUT_ENV}; "
        "a model that is still loading may need longer)"
    )
    return _failure_text(what, server, standin_on, traceback_hint=False)


def _write_failed_text(exc: BaseException) -> str:
    if isinstance(exc, BrokenPipeError):
        return "standard output was closed, so the answers could not be written; the demonstration stopped."
    return f"writing to standard output failed ({type(exc).__name__}: {exc}); the demonstration stopped."


class _Output:
    """sys.stdout while the demonstration runs (the module prints through it).

    Each piece is flushed at once; the time of the last one is what the
    watchdog measures, whether a line is left open is what lets a failure end
    a partial answer before its message, and a failed write (a closed pipe)
    is kept so the failure can be told for what it is.
    """

    def __init__(self, stream: TextIO) -> None:
        self.stream = stream
        self.lock = threading.Lock()
        self.line_open = False
        self.write_error: Optional[BaseException] = None
        self.last_piece = time.monotonic()

    def write(self, s: str) -> int:
        with self.lock:
            try:
                n = self.stream.write(s)
                self.stream.flush()
            except (OSError, ValueError) as e:
                if self.write_error is None:
                    self.write_error = e
                raise
            if s:
                self.line_open = not s.endswith("\n")
                self.last_piece = time.monotonic()
            return n

    def flush(self) -> None:
        with self.lock:
            self.stream.flush()

    def end_line(self, wait: float = -1) -> None:
        """Ends a partial answer with a line break, unless stdout is broken.

        `wait` bounds the wait for a writer stuck on a full pipe."""
        if not self.lock.acquire(timeout=wait):
            return
        try:
            if self.line_open and self.write_error is None:
                self.stream.write("\n")
                self.stream.flush()
                self.line_open = False
        except (OSError, ValueError):
            pass
        finally:
            self.lock.release()

    def __getattr__(self, name: str) -> object:
        return getattr(self.stream, name)


def _silence_stdout(stream: Optional[TextIO]) -> None:
    # What is left buffered for a closed pipe would fail again when the
    # interpreter flushes at exit, as "Exception ignored" noise: send it nowhere.
    try:
        fd = stream.fileno()  # type: ignore[union-attr]
        devnull = os.open(os.devnull, os.O_WRONLY)
    except (AttributeError, OSError, ValueError):
        return
    os.dup2(devnull, fd)
    os.close(devnull)


class _Ending:
    """Says the launcher's last words once: the main thread and the watchdog may both try."""

    def __init__(self, output: Optional[_Output] = None) -> None:
        self.output = output
        self._said = threading.Lock()

    def say(self, message: str, wait: float = -1) -> bool:
        if not self._said.acquire(timeout=wait):
            return False
        if self.output is not None:
            self.output.end_line(wait=1.0)
        try:
            _say(message)
        except (OSError, ValueError):
            pass
        return True


def _ignore_signal(signum: int, frame: object) -> None:
    pass  # the watchdog acts on it, through the wake-up fd


class _Watchdog:
    """Ends the process when the demonstration cannot end by itself.

    The demonstration runs inside the module's import, on the main thread,
    and its requests wait for the model server with the client's default of
    no time-out, in the main thread or in a tree thread's tick. Tree threads
    are not daemons, and agno turns a KeyboardInterrupt that lands inside a
    run into a cancelled answer, so neither Ctrl-C nor a silent server can
    be left to the main thread. This thread watches both: Ctrl-C through the
    signal wake-up fd (written by the C-level handler whatever the main
    thread is doing), and the time since the last piece of an answer. Either
    ends the process with os._exit once the last words are said.
    """

    def __init__(self, ending: _Ending, output: _Output, limit: float, timeout_text: str) -> None:
        self._ending, self._output = ending, output
        self._limit: Optional[float] = limit
        self._timeout_text = timeout_text
        self._rfd, self._wfd = os.pipe()
        os.set_blocking(self._wfd, False)

    def start(self) -> None:
        if threading.current_thread() is threading.main_thread():
            if signal.getsignal(signal.SIGINT) is not signal.SIG_IGN:  # ignored: started in the background
                # The fd first: a Ctrl-C between the two calls still reaches the watchdog.
                signal.set_wakeup_fd(self._wfd, warn_on_full_buffer=False)
                signal.signal(signal.SIGINT, _ignore_signal)
        threading.Thread(target=self._watch, name="brannox-demo-watchdog", daemon=True).start()

    def disarm(self) -> None:
        """Stops the clock (the answers are done); Ctrl-C is still watched."""
        self._limit = None

    def _watch(self) -> None:
        while True:
            limit = self._limit
            wait = None if limit is None else max(0.0, self._output.last_piece + limit - time.monotonic())
            ready, _, _ = select.select([self._rfd], [], [], wait)
            if ready:
                if int(signal.SIGINT) in os.read(self._rfd, 512):
                    self._end(INTERRUPTED, "interrupted")
            elif limit is not None and self._limit is not None:
                if time.monotonic() >= self._output.last_piece + limit:
                    self._end(1, self._timeout_text)

    def _end(self, status: int, message: str) -> None:
        # The main thread may be saying its own last words; they stand.
        self._ending.say(message, wait=2.0)
        exit_at_once(status, sys.stderr, sys.__stderr__)


def exit_at_once(status: int, *streams) -> None:
    """Flushes `streams` (ignoring any that cannot be) and ends the process
    with `status` without unwinding: no thread is waited for."""
    for stream in streams:
        try:
            stream.flush()
        except (AttributeError, OSError, ValueError):
            pass
    os._exit(status)


def _preload_agent_modules() -> None:
    # Importing agno takes seconds on a slow machine: time that must not count
    # against the model server. An import that fails here fails again, and is
    # reported, inside the module.
    for name in ("agno.agent", "agno.models.ollama"):
        try:
            importlib.import_module(name)
        except Exception:
            pass


def _seconds_from_env(parser: argparse.ArgumentParser, value: str) -> float:
    from .standin import seconds_above_zero

    try:
        return seconds_above_zero(value)
    except argparse.ArgumentTypeError as e:
        parser.error(f"{TIMEOUT_ENV}: {e}")
        raise  # not reached: error() exits


def _parser() -> argparse.ArgumentParser:
    from .standin import DEFAULT_PIECE_DELAY, seconds, seconds_above_zero

    p = argparse.ArgumentParser(
        prog="python -m brannox.demo",
        allow_abbrev=False,  # an abbreviation is no option: the run under --monitor must not see one
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
        type=seconds,
        default=DEFAULT_PIECE_DELAY,
        metavar="SECONDS",
        help="pause between the stand-in's streamed pieces (default: %(default)s)",
    )
    p.add_argument(
        "--request-timeout",
        type=seconds_above_zero,
        default=None,
        metavar="SECONDS",
        help=(
            "the longest wait for the next piece of an answer, model loading included; when it passes, the "
            f"demonstration fails (default: {TIMEOUT_ENV} if set, else {DEFAULT_REQUEST_TIMEOUT:g})"
        ),
    )
    p.add_argument(
        "--traceback", action="store_true", help="print the full traceback when the demonstration fails"
    )
    p.add_argument("--monitor", action="store_true", help="watch the trees in a browser (URL on standard error)")
    return p


def main(argv: Optional[List[str]] = None) -> int:
    """Runs the demonstration; returns the exit status.

    Once the demonstration has started, Ctrl-C and the request time-out end
    the process from a watchdog thread (see _Watchdog) instead of returning.
    """
    ending = _Ending()
    try:
        return _main(argv, ending)
    except KeyboardInterrupt:
        # Ctrl-C before the watchdog took it over, or while cleaning up.
        ending.say("interrupted")
        return INTERRUPTED


def _main(argv: Optional[List[str]], ending: _Ending, watched: bool = False) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    # The environment is checked before the monitor starts: a usage error comes alone.
    limit = args.request_timeout
    if limit is None:
        env_limit = os.environ.get(TIMEOUT_ENV, "").strip()
        limit = _seconds_from_env(parser, env_limit) if env_limit else DEFAULT_REQUEST_TIMEOUT
    try:
        standin_on = standin_wanted(args.no_standin)
    except ValueError as e:
        parser.error(f"{STANDIN_ENV}: {e}")
    if args.monitor and not watched:
        from .watch import run_watched

        # The run under the monitor is told so, whatever its arguments say.
        return run_watched(lambda: _main(argv, ending, watched=True))
    os.environ.setdefault("AGNO_TELEMETRY", "false")
    host = os.environ.get("OLLAMA_HOST")
    try:
        server = model_server_url(host)
    except ValueError as e:  # e.g. a port out of range or an unclosed IPv6 bracket
        if args.traceback:
            traceback.print_exc()
        ending.say(_bad_host_text(host or "", e))
        return 1
    if sys.stdout is None:  # started with standard output closed: print() would drop the answers
        ending.say(_write_failed_text(BrokenPipeError()))
        return 1
    standin = None
    saved_stdout = sys.stdout
    output = None
    watchdog = None
    try:
        _check_extra()
        _arm_module()
        if standin_on and not _server_there(server, bool((host or "").strip()), limit):
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
        _preload_agent_modules()
        _unbuffered_stdout()
        output = ending.output = _Output(sys.stdout)
        sys.stdout = output  # type: ignore[assignment]
        watchdog = _Watchdog(ending, output, limit, _timeout_text(limit, server, standin_on))
        watchdog.start()
        importlib.import_module(MODULE)
    except DemoError as e:
        if args.traceback and e.__cause__ is not None:
            traceback.print_exc()
        ending.say(str(e))
        return 1
    except Exception as e:
        if output is not None and output.write_error is not None:
            _silence_stdout(saved_stdout)
            ending.say(_write_failed_text(output.write_error))
            return 1
        if args.traceback:
            traceback.print_exc()
        missing = _missing_extra(e)
        if missing is not None:
            ending.say(_missing_extra_text(missing))
            return 1
        ending.say(_failure_text(f"{type(e).__name__}: {e}", server, standin_on, not args.traceback))
        return 1
    finally:
        if watchdog is not None:
            watchdog.disarm()
        if sys.stdout is not saved_stdout:
            try:
                sys.stdout.flush()
            except (OSError, ValueError):
                pass
            sys.stdout = saved_stdout
        if standin is not None:
            standin.stop()
    return 0
