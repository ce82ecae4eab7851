"""The monitor's web side: a small Starlette route table served by uvicorn in a daemon thread."""

from __future__ import annotations

import asyncio
import contextlib
import hmac
import ipaddress
import json
import logging
import socket
import threading
import urllib.parse
from pathlib import Path

from ._hub import PUMP_SECONDS, Hub, dumps

STATIC = Path(__file__).parent / "static"
AUTH_SECONDS = 30
REQUEST_SECONDS = 10         # to send a whole request, from the connection or the previous response
MAX_CONNECTIONS = 100        # HTTP and WebSocket together; more are closed as soon as accepted
BACKLOG = 128
WS_MAX_BYTES = 64 * 1024     # the page only ever sends {"select": key} or {"token": ...}
ACCEPT_LOG_SECONDS = 10      # one "out of system resource" line per this many seconds at most
logger = logging.getLogger("brannox.monitor")
SECURITY_HEADERS = [
    (b"content-security-policy", b"default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
                                 b"connect-src 'self'; base-uri 'none'; frame-ancestors 'none'; form-action 'none'"),
    (b"x-content-type-options", b"nosniff"),
    (b"referrer-policy", b"no-referrer"),
    (b"cache-control", b"no-store"),
]


def is_loopback(host: str) -> bool:
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host.strip("[]")).is_loopback
    except ValueError:
        return False  # a name: it may resolve anywhere


def check_bind(host: str, token) -> None:
    """Refuse, before any socket exists, to listen beyond loopback without a token."""
    if not isinstance(host, str) or not host:
        raise ValueError(f"host must be an address, not {host!r}")
    if token is not None and (not isinstance(token, str) or len(token) < 8):
        raise ValueError("token must be a string of at least 8 characters")
    if not is_loopback(host) and token is None:
        raise ValueError(f"binding {host!r} exposes the monitor beyond this machine: pass token=... to do so")


class Guard:
    """ASGI middleware: Host and Origin checks (DNS rebinding), security headers."""

    def __init__(self, app, allowed_hosts):
        self.app = app
        self.allowed_hosts = allowed_hosts  # None: any Host (bound beyond loopback, token required)

    async def __call__(self, scope, receive, send):
        if scope["type"] not in ("http", "websocket"):
            return await self.app(scope, receive, send)
        headers = {k.decode("latin-1").lower(): v.decode("latin-1") for k, v in scope["headers"]}
        host = headers.get("host", "").lower()
        origin = headers.get("origin")
        ok = bool(host) and (self.allowed_hosts is None or host in self.allowed_hosts)
        if ok and origin is not None:
            ok = origin.lower() in (f"http://{host}", f"https://{host}")
        if not ok:
            if scope["type"] == "websocket":
                await receive()
                return await send({"type": "websocket.close", "code": 1008})
            await send({"type": "http.response.start", "status": 403,
                        "headers": [(b"content-type", b"text/plain; charset=utf-8")] + SECURITY_HEADERS})
            return await send({"type": "http.response.body", "body": b"foreign Host or Origin refused\n"})

        async def send_with_headers(message):
            if message["type"] == "http.response.start":
                message = {**message, "headers": list(message.get("headers", [])) + SECURITY_HEADERS}
            await send(message)

        return await self.app(scope, receive, send_with_headers)


def build_app(hub: Hub, token=None, allowed_hosts=None):
    from starlette.applications import Starlette
    from starlette.responses import FileResponse, JSONResponse, Response
    from starlette.routing import Route, WebSocketRoute
    from starlette.websockets import WebSocketDisconnect

    def token_ok(given) -> bool:
        if token is None:
            return True
        try:
            return isinstance(given, str) and hmac.compare_digest(given.encode(), token.encode())
        except UnicodeEncodeError:  # a lone surrogate, sent as a JSON escape: not the token
            return False

    files = {"": ("index.html", "text/html"), "app.js": ("app.js", "text/javascript"),
             "app.css": ("app.css", "text/css")}

    async def page(request):
        name, media = files[request.path_params.get("name", "")]
        return FileResponse(STATIC / name, media_type=media)

    async def static(request):
        if request.path_params["name"] not in files or not request.path_params["name"]:
            return Response("not found\n", status_code=404, media_type="text/plain")
        return await page(request)

    async def trees(request):
        auth = request.headers.get("authorization", "")
        if not token_ok(auth[7:] if auth.startswith("Bearer ") else None):
            return JSONResponse({"error": "token required"}, status_code=401)
        return JSONResponse({"mode": hub.mode, "trees": hub.tree_list()})

    async def receive_json(websocket):
        """The next message as JSON, or None (binary, not JSON, nested too deeply); raises WebSocketDisconnect."""
        message = await websocket.receive()
        if message["type"] == "websocket.disconnect":
            raise WebSocketDisconnect(message.get("code", 1000))
        text = message.get("text")
        if text is None:
            return None  # a binary frame: the page never sends one
        try:
            return json.loads(text)
        except (ValueError, RecursionError):
            return None

    async def live(websocket):
        await websocket.accept()
        if token is not None:
            await websocket.send_text(dumps({"type": "auth"}))
            try:
                msg = await asyncio.wait_for(receive_json(websocket), AUTH_SECONDS)
            except (asyncio.TimeoutError, WebSocketDisconnect):
                msg = None
            if not isinstance(msg, dict) or not token_ok(msg.get("token")):
                with contextlib.suppress(Exception):
                    await websocket.close(code=4401)
                return
        client = hub.connect()

        async def sender():
            while True:
                batch = await client.next_batch()
                await websocket.send_text("[" + ",".join(batch) + "]")

        async def reader():
            while True:
                msg = await receive_json(websocket)
                if isinstance(msg, dict) and "select" in msg:
                    hub.select(client, msg["select"] if isinstance(msg["select"], str) else None)

        # Whichever ends first ends the connection: the browser left (reader),
        # sending failed (sender), or the browser stopped reading (kicked).
        tasks = [asyncio.create_task(sender()), asyncio.create_task(reader()), asyncio.create_task(client.kicked.wait())]
        try:
            await asyncio.wait(tasks, return_when=asyncio.FIRST_COMPLETED)
        finally:
            for task in tasks:
                task.cancel()
            for outcome in await asyncio.gather(*tasks, return_exceptions=True):
                if isinstance(outcome, Exception) and not isinstance(outcome, (WebSocketDisconnect, OSError)):
                    logger.warning("monitor connection ended by %s: %s", type(outcome).__name__, outcome)
            hub.disconnect(client)
            if client.kicked.is_set():
                logger.warning("a monitor page stopped reading for %s s; disconnected", client.behind_seconds)

    @contextlib.asynccontextmanager
    async def lifespan(app):
        asyncio.get_running_loop().set_exception_handler(AcceptErrorLog())

        async def pump():
            loop = asyncio.get_running_loop()
            while True:
                hub.pump(loop.time())
                await asyncio.sleep(PUMP_SECONDS)

        task = asyncio.create_task(pump())
        try:
            yield
        finally:
            task.cancel()

    routes = [
        Route("/", page),
        Route("/static/{name}", static),
        Route("/api/trees", trees),
        WebSocketRoute("/live", live),
    ]
    return Guard(Starlette(routes=routes, lifespan=lifespan), allowed_hosts)


class AcceptErrorLog:
    """Loop exception handler: asyncio logs a failed accept() (no file descriptor
    left) once per waiting connection, thousands of times a second; one line
    per ACCEPT_LOG_SECONDS says the same. Everything else goes to the default."""

    def __init__(self):
        self.last = None
        self.quiet = 0

    def __call__(self, loop, context):
        if context.get("message") != "socket.accept() out of system resource":
            return loop.default_exception_handler(context)
        now = loop.time()
        if self.last is not None and now - self.last < ACCEPT_LOG_SECONDS:
            self.quiet += 1
            return None
        more = f" ({self.quiet} more since the last such line)" if self.quiet else ""
        logger.error("monitor: socket.accept() out of system resource: %s%s", context.get("exception"), more)
        self.last, self.quiet = now, 0
        return None


def protocols():
    """uvicorn's h11 and sans-I/O WebSocket protocols with the bounds uvicorn has no option for."""
    from uvicorn.protocols.http.h11_impl import H11Protocol
    from uvicorn.protocols.websockets.websockets_sansio_impl import WebSocketsSansIOProtocol

    class BoundedHTTP(H11Protocol):
        """At most MAX_CONNECTIONS at once; a request must arrive whole within REQUEST_SECONDS.

        uvicorn times out only an idle keep-alive connection after a response,
        not a client that connects and sends nothing, or half a request.
        """

        _deadline = None

        def connection_made(self, transport):
            super().connection_made(transport)
            if len(self.connections) > MAX_CONNECTIONS:
                transport.abort()
                return
            self._arm()

        def _arm(self):
            if self._deadline is not None:
                self._deadline.cancel()
            self._deadline = self.loop.call_later(REQUEST_SECONDS, self._request_timed_out)

        def _request_timed_out(self):
            self._deadline = None
            if self.transport.is_closing() or self.transport.get_protocol() is not self:
                return  # closed, or upgraded to a WebSocket
            if self.cycle is not None and not self.cycle.response_complete:
                self._arm()  # the request arrived and is being answered
                return
            self.transport.abort()

        def on_response_complete(self):
            super().on_response_complete()
            if not self.transport.is_closing():
                self._arm()

        def connection_lost(self, exc):
            if self._deadline is not None:
                self._deadline.cancel()
                self._deadline = None
            super().connection_lost(exc)

    class BoundedWebSocket(WebSocketsSansIOProtocol):
        async def run_asgi(self):
            await super().run_asgi()
            # A peer that stopped reading keeps the write buffer full, and a
            # plain close() would wait for it to drain for ever.
            if not self.writable.is_set():
                self.transport.abort()

    return BoundedHTTP, BoundedWebSocket


class Monitor:
    """Handle returned by :func:`serve`: ``url`` and ``close()``."""

    def __init__(self, hub: Hub, host: str, port: int, token):
        import uvicorn

        check_bind(host, token)
        self.hub = hub
        family = socket.AF_INET6 if ":" in host else socket.AF_INET
        sock = socket.socket(family, socket.SOCK_STREAM)
        try:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            sock.bind((host.strip("[]"), port))
            sock.listen(BACKLOG)
        except BaseException:
            sock.close()
            raise
        self.port = sock.getsockname()[1]
        shown = f"[{host.strip('[]')}]" if ":" in host else host
        # The fragment is read by the page with decodeURIComponent.
        self.url = f"http://{shown}:{self.port}/" + (f"#token={urllib.parse.quote(token, safe='')}" if token else "")
        allowed = None
        if is_loopback(host):
            allowed = {f"{h}:{self.port}" for h in ("127.0.0.1", "localhost", "[::1]", shown.lower())}
        http, ws = protocols()
        # uvicorn answers 503 from limit_concurrency connections or tasks on;
        # BoundedHTTP already keeps connections at MAX_CONNECTIONS or fewer.
        config = uvicorn.Config(build_app(hub, token, allowed), log_level="warning", access_log=False,
                                lifespan="on", http=http, ws=ws, timeout_graceful_shutdown=2,
                                timeout_keep_alive=5, limit_concurrency=MAX_CONNECTIONS + 1, backlog=BACKLOG,
                                h11_max_incomplete_event_size=16 * 1024, ws_max_size=WS_MAX_BYTES)
        self._server = uvicorn.Server(config)
        self._failed: BaseException | None = None

        def run():
            try:
                asyncio.run(self._server.serve(sockets=[sock]))
            except BaseException as exc:  # noqa: BLE001 - reported to the starting thread
                self._failed = exc
            finally:
                sock.close()

        self._thread = threading.Thread(target=run, name="brannox monitor", daemon=True)
        self._thread.start()
        while not self._server.started:
            if not self._thread.is_alive():
                hub.close()
                raise RuntimeError(f"the monitor did not start: {self._failed!r}")
            self._thread.join(0.02)

    def close(self) -> None:
        """Stop serving and stop watching the trees. Idempotent."""
        self._server.should_exit = True
        self._thread.join(10)
        self.hub.close()  # safe even if the server thread is still running

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
