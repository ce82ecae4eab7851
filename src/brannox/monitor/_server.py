"""The monitor's web side: a small Starlette route table served by uvicorn in a daemon thread."""

from __future__ import annotations

import asyncio
import contextlib
import hmac
import ipaddress
import json
import socket
import threading
from pathlib import Path

from ._hub import PUMP_SECONDS, Hub, dumps

STATIC = Path(__file__).parent / "static"
AUTH_SECONDS = 30
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
        return token is None or (isinstance(given, str) and hmac.compare_digest(given.encode(), token.encode()))

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

    async def live(websocket):
        await websocket.accept()
        if token is not None:
            await websocket.send_text(dumps({"type": "auth"}))
            try:
                msg = json.loads(await asyncio.wait_for(websocket.receive_text(), AUTH_SECONDS))
            except (asyncio.TimeoutError, ValueError, WebSocketDisconnect):
                msg = None
            if not isinstance(msg, dict) or not token_ok(msg.get("token")):
                with contextlib.suppress(Exception):
                    await websocket.close(code=4401)
                return
        client = hub.connect()

        async def sender():
            while True:
                batch = await client.next_batch()
                await websocket.send_text(dumps(batch))

        task = asyncio.create_task(sender())
        try:
            while True:
                try:
                    msg = json.loads(await websocket.receive_text())
                except ValueError:
                    continue
                if isinstance(msg, dict) and "select" in msg:
                    hub.select(client, msg["select"] if isinstance(msg["select"], str) else None)
        except WebSocketDisconnect:
            pass
        finally:
            task.cancel()
            hub.disconnect(client)

    @contextlib.asynccontextmanager
    async def lifespan(app):
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
            sock.listen(128)
        except BaseException:
            sock.close()
            raise
        self.port = sock.getsockname()[1]
        shown = f"[{host.strip('[]')}]" if ":" in host else host
        self.url = f"http://{shown}:{self.port}/" + (f"#token={token}" if token else "")
        allowed = None
        if is_loopback(host):
            allowed = {f"{h}:{self.port}" for h in ("127.0.0.1", "localhost", "[::1]", shown.lower())}
        config = uvicorn.Config(build_app(hub, token, allowed), log_level="warning", access_log=False,
                                lifespan="on", ws="websockets-sansio", timeout_graceful_shutdown=2)
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
        self.hub.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
