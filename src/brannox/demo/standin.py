"""A small model server that stands in for Ollama when none is running.

It answers the few endpoints the ``ollama`` Python client uses for chat, so
the demonstration can run on a machine without a language model. Its replies
are canned and deterministic: they say plainly where they come from and
repeat the request, so a test can compute them with :func:`reply_text`.

Run it on its own with ``python -m brannox.demo.standin [--port N]``.
"""

from __future__ import annotations

import argparse
import json
import logging
import re
import socket
import threading
import time
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any, Dict, List, Optional, Tuple

__all__ = [
    "DEFAULT_PIECE_DELAY",
    "RUNNING_TEXT",
    "StandinServer",
    "reply_pieces",
    "reply_text",
    "seconds",
    "seconds_above_zero",
]

log = logging.getLogger(__name__)

#: Pause between two streamed pieces, in seconds: long enough for a person
#: to see the text arrive piece by piece, short enough for tests.
DEFAULT_PIECE_DELAY = 0.025

#: What ``GET /`` answers; the launcher's probe looks for it too.
RUNNING_TEXT = "Ollama is running"

VERSION = "0.0.0-brannox-standin"

# A request body larger than this is refused rather than read into memory.
MAX_BODY = 16 * 1024 * 1024

_PIECE_CHARS = 6
_WORD = re.compile(r"\S+\s*|\s+")


def reply_text(model: str, user_message: str) -> str:
    """The whole reply the stand-in gives ``model`` for ``user_message``."""
    return (
        "[stand-in model server] This reply comes from the brannox demo's "
        "stand-in model server, not from a language model. "
        f'Model "{model}" was asked: "{user_message}". '
        "Start a real Ollama server with this model and point OLLAMA_HOST "
        "at it for a real answer."
    )


def reply_pieces(text: str) -> List[str]:
    """Cut ``text`` into the small pieces that are streamed one by one.

    Words keep their trailing blanks; long words (and text without blanks,
    such as Chinese) are cut every few characters. Joined, the pieces give
    back ``text`` exactly.
    """
    pieces: List[str] = []
    for word in _WORD.findall(text):
        pieces.extend(word[i : i + _PIECE_CHARS] for i in range(0, len(word), _PIECE_CHARS))
    return pieces


def _seconds(text: str, above_zero: bool) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number of seconds") from None
    # Written so that nan fails too; above TIMEOUT_MAX a timed wait raises.
    low_ok = value > 0 if above_zero else value >= 0
    if not (low_ok and value <= threading.TIMEOUT_MAX):
        least = "more than 0" if above_zero else "0 or more"
        raise argparse.ArgumentTypeError(
            f"{text!r}: give a finite number of seconds, {least}, up to {threading.TIMEOUT_MAX:.0f}"
        )
    return value


def seconds(text: str) -> float:
    """argparse type: a finite number of seconds, 0 or more."""
    return _seconds(text, above_zero=False)


def seconds_above_zero(text: str) -> float:
    """argparse type: a finite number of seconds, more than 0."""
    return _seconds(text, above_zero=True)


def _now() -> str:
    t = time.time()
    return time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(t)) + f".{int(t % 1 * 1e6):06d}Z"


class _BadRequest(Exception):
    def __init__(self, status: HTTPStatus, message: str) -> None:
        super().__init__(message)
        self.status = status


def _parse_chat(body: bytes) -> Tuple[str, List[Dict[str, Any]], bool]:
    try:
        request = json.loads(body)
    except (ValueError, UnicodeDecodeError) as e:
        raise _BadRequest(HTTPStatus.BAD_REQUEST, f"invalid JSON body: {e}") from None
    if not isinstance(request, dict):
        raise _BadRequest(HTTPStatus.BAD_REQUEST, "the body must be a JSON object")
    model = request.get("model")
    if not isinstance(model, str) or not model.strip():
        raise _BadRequest(HTTPStatus.BAD_REQUEST, "model is required")
    messages = request.get("messages")
    if messages is None:
        messages = []
    if not isinstance(messages, list) or not all(isinstance(m, dict) for m in messages):
        raise _BadRequest(HTTPStatus.BAD_REQUEST, "messages must be a list of objects")
    for m in messages:
        if not isinstance(m.get("content", ""), (str, type(None))):
            raise _BadRequest(HTTPStatus.BAD_REQUEST, "message content must be a string")
    # Like the real server, streaming is the default.
    stream = request.get("stream", True)
    return model, messages, stream is not False


def _chat_reply(model: str, messages: List[Dict[str, Any]]) -> str:
    # No messages at all is how clients load a model: the answer is empty.
    if not messages:
        return ""
    users = [m for m in messages if m.get("role") == "user"]
    last = (users[-1].get("content") or "") if users else ""
    return reply_text(model, last)


def _prompt_tokens(messages: List[Dict[str, Any]]) -> int:
    # A rough count is all a client does anything with.
    return sum(len(_WORD.findall(m.get("content") or "")) for m in messages)


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "brannox-standin"
    server: "_Server"

    # -- routing -----------------------------------------------------------
    _ROUTES = {
        "/": ("GET", "HEAD"),
        "/api/chat": ("POST",),
        "/api/version": ("GET", "HEAD"),
        "/api/tags": ("GET", "HEAD"),
    }

    def _route(self) -> None:
        path = self.path.split("?", 1)[0]
        allowed = self._ROUTES.get(path)
        if allowed is None:
            self._discard_body()
            self._send_text(HTTPStatus.NOT_FOUND, "404 page not found")
            return
        if self.command not in allowed:
            self._discard_body()
            self._send_text(HTTPStatus.METHOD_NOT_ALLOWED, "405 method not allowed", allow=", ".join(allowed))
            return
        if path == "/":
            self._send_text(HTTPStatus.OK, RUNNING_TEXT)
        elif path == "/api/version":
            self._send_json(HTTPStatus.OK, {"version": VERSION})
        elif path == "/api/tags":
            self._send_json(HTTPStatus.OK, {"models": []})
        else:
            self._chat()

    do_GET = do_HEAD = do_POST = do_PUT = do_DELETE = do_PATCH = do_OPTIONS = _route

    # -- chat --------------------------------------------------------------
    def _chat(self) -> None:
        try:
            body = self._read_body()
            model, messages, stream = _parse_chat(body)
        except _BadRequest as e:
            self._send_json(e.status, {"error": str(e)})
            return
        text = _chat_reply(model, messages)
        pieces = reply_pieces(text)
        final = {
            "model": model,
            "created_at": _now(),
            "message": {"role": "assistant", "content": "" if stream else text},
            "done": True,
            "done_reason": "stop",
            "total_duration": 0,
            "load_duration": 0,
            "prompt_eval_count": _prompt_tokens(messages),
            "prompt_eval_duration": 0,
            "eval_count": len(pieces),
            "eval_duration": 0,
        }
        if not stream:
            self._send_json(HTTPStatus.OK, final)
            return
        started = time.monotonic_ns()
        self.send_response(HTTPStatus.OK)
        self.send_header("Content-Type", "application/x-ndjson")
        self.send_header("Transfer-Encoding", "chunked")
        self.end_headers()
        for i, piece in enumerate(pieces):
            if i and self.server.wait_stopping(self.server.piece_delay):
                # Stopping: end the connection without the final line so the
                # client sees a broken stream, not a short answer.
                self.close_connection = True
                return
            self._write_chunk(
                {
                    "model": model,
                    "created_at": _now(),
                    "message": {"role": "assistant", "content": piece},
                    "done": False,
                }
            )
        final["created_at"] = _now()
        final["total_duration"] = final["eval_duration"] = time.monotonic_ns() - started
        self._write_chunk(final)
        self.wfile.write(b"0\r\n\r\n")
        self.wfile.flush()

    def _write_chunk(self, obj: Dict[str, Any]) -> None:
        line = json.dumps(obj).encode("ascii") + b"\n"
        self.wfile.write(b"%x\r\n%s\r\n" % (len(line), line))
        self.wfile.flush()

    # -- plumbing ----------------------------------------------------------
    def _read_body(self) -> bytes:
        if "chunked" in self.headers.get("Transfer-Encoding", "").lower():
            self.close_connection = True
            raise _BadRequest(HTTPStatus.LENGTH_REQUIRED, "chunked request bodies are not supported")
        raw = self.headers.get("Content-Length", "0")
        try:
            length = int(raw)
        except ValueError:
            length = -1
        if length < 0:
            self.close_connection = True
            raise _BadRequest(HTTPStatus.BAD_REQUEST, f"invalid Content-Length: {raw!r}")
        if length > MAX_BODY:
            self.close_connection = True
            raise _BadRequest(HTTPStatus.REQUEST_ENTITY_TOO_LARGE, "request body too large")
        return self.rfile.read(length)

    def _discard_body(self) -> None:
        try:
            self._read_body()
        except _BadRequest:
            pass

    def _send(self, status: HTTPStatus, ctype: str, data: bytes, **headers: str) -> None:
        self.send_response(status)
        self.send_header("Content-Type", ctype)
        self.send_header("Content-Length", str(len(data)))
        for name, value in headers.items():
            self.send_header(name.capitalize(), value)
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(data)
        self.wfile.flush()

    def _send_text(self, status: HTTPStatus, text: str, **headers: str) -> None:
        self._send(status, "text/plain; charset=utf-8", text.encode("utf-8"), **headers)

    def _send_json(self, status: HTTPStatus, obj: Dict[str, Any]) -> None:
        self._send(status, "application/json; charset=utf-8", json.dumps(obj).encode("ascii"))

    def handle(self) -> None:
        try:
            super().handle()
        except (ConnectionError, socket.timeout):
            # The client went away mid-reply; nothing to tell anyone.
            pass

    def version_string(self) -> str:
        return self.server_version

    def log_message(self, format: str, *args: Any) -> None:
        # Per-request lines would clutter the demonstration's stderr.
        log.debug("%s - %s", self.address_string(), format % args)


class _Server(ThreadingHTTPServer):
    daemon_threads = True
    # Idle keep-alive connections are cut in stop() instead of waited for.
    block_on_close = False

    def __init__(self, address: Tuple[str, int], piece_delay: float) -> None:
        self.piece_delay = piece_delay
        self._stopping = threading.Event()
        self._lock = threading.Lock()
        self._conns: set = set()
        super().__init__(address, _Handler)

    def wait_stopping(self, seconds: float) -> bool:
        return self._stopping.wait(seconds)

    def process_request(self, request: Any, client_address: Any) -> None:
        with self._lock:
            self._conns.add(request)
        super().process_request(request, client_address)

    def shutdown_request(self, request: Any) -> None:
        with self._lock:
            self._conns.discard(request)
        super().shutdown_request(request)

    def cut_connections(self) -> None:
        self._stopping.set()
        with self._lock:
            conns = list(self._conns)
        for conn in conns:
            try:
                conn.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


class StandinServer:
    """The stand-in on a loopback port, served from a background thread.

    ``with StandinServer() as s:`` starts it; ``s.url`` is what to give the
    ollama client (or OLLAMA_HOST).
    """

    def __init__(
        self, host: str = "127.0.0.1", port: int = 0, piece_delay: float = DEFAULT_PIECE_DELAY
    ) -> None:
        if not 0 <= piece_delay <= threading.TIMEOUT_MAX:  # nan fails too
            raise ValueError(f"piece_delay must be a finite number of seconds, 0 or more, not {piece_delay!r}")
        self._address = (host, port)
        self.piece_delay = piece_delay
        self._server: Optional[_Server] = None
        self._thread: Optional[threading.Thread] = None

    @property
    def url(self) -> str:
        if self._server is None:
            raise RuntimeError("the stand-in model server is not running")
        host, port = self._server.server_address[:2]
        return f"http://{host}:{port}"

    @property
    def running(self) -> bool:
        return self._server is not None

    def start(self) -> "StandinServer":
        if self._server is not None:
            raise RuntimeError("the stand-in model server is already running")
        server = _Server(self._address, self.piece_delay)
        self._thread = threading.Thread(
            target=server.serve_forever, kwargs={"poll_interval": 0.1}, name="brannox-standin", daemon=True
        )
        self._server = server
        self._thread.start()
        return self

    def stop(self) -> None:
        server, thread = self._server, self._thread
        if server is None:
            return
        self._server = self._thread = None
        server.cut_connections()
        server.shutdown()
        server.server_close()
        if thread is not None:
            thread.join()

    def __enter__(self) -> "StandinServer":
        return self.start()

    def __exit__(self, *exc: Any) -> None:
        self.stop()


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m brannox.demo.standin",
        description="Serve the stand-in model server until interrupted.",
    )
    parser.add_argument("--host", default="127.0.0.1", help="address to bind (default: %(default)s)")
    parser.add_argument(
        "--port", type=int, default=11434, help="port to bind, 0 for any free one (default: %(default)s)"
    )
    parser.add_argument(
        "--piece-delay",
        type=seconds,
        default=DEFAULT_PIECE_DELAY,
        metavar="SECONDS",
        help="pause between streamed pieces (default: %(default)s)",
    )
    args = parser.parse_args(argv)
    with StandinServer(args.host, args.port, args.piece_delay) as server:
        print(f"stand-in model server listening on {server.url}; Ctrl-C stops it", flush=True)
        try:
            threading.Event().wait()
        except KeyboardInterrupt:
            pass
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
