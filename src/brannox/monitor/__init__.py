"""Watching trees: a browser monitor for every tree of the process, and recordings.

    handle = serve()                      # every tree of the process; handle.url, handle.close()
    handle = serve(engine)                # only this ThreadEngine's trees
    rec = record(engine, "tree", "t.jsonl"); ...; rec.close()

See docs/monitor.md for the page, the recording schema and the safety rules.
"""

from __future__ import annotations

from .recording import Recording, load, record

__all__ = ["Recording", "load", "record", "replay", "serve"]

#: What the page's server is built on: the monitor extra.
_SERVER_MODULES = ("starlette", "uvicorn", "websockets")


def _require_server_modules(caller: str) -> None:
    """ModuleNotFoundError naming the extra, before anything starts, when the server cannot run."""
    import importlib

    for name in _SERVER_MODULES:
        try:
            importlib.import_module(name)
        except ModuleNotFoundError as exc:
            if (exc.name or "").partition(".")[0] != name:
                raise
            raise ModuleNotFoundError(
                f'brannox.monitor.{caller} needs {name}, which is not installed: '
                'pip install "brannox-mthread[monitor]"',
                name=name) from exc


def serve(engine=None, host: str = "127.0.0.1", port: int = 0, token: str | None = None):
    """Start the monitor in a daemon thread; returns a handle with ``.url`` and ``.close()``.

    Binding an address other than loopback requires ``token`` (ValueError
    otherwise, before any socket is opened). Needs the ``monitor`` extra
    (ModuleNotFoundError naming it otherwise).
    """
    _require_server_modules("serve")
    from ._hub import Hub
    from ._server import Monitor, check_bind

    check_bind(host, token)
    hub = Hub(engine)
    hub.start_live()
    try:
        return Monitor(hub, host, port, token)
    except BaseException:
        hub.close()
        raise


def replay(path, host: str = "127.0.0.1", port: int = 0, token: str | None = None):
    """Serve a recording (see :func:`record`) for the page's timeline; same handle as :func:`serve`."""
    _require_server_modules("replay")
    from ._hub import Hub
    from ._server import Monitor, check_bind

    check_bind(host, token)
    head, events = load(path)
    hub = Hub()
    hub.add_replay(head, events)
    return Monitor(hub, host, port, token)
