"""Shared fixtures: the installed module, a recording logger, engines that are
always stopped, a guard that turns a hang into a failure, and helpers for
trees run on the core directly (recording actions, a fake clock)."""
import gc
import importlib.util
import pathlib
import threading

import pytest

import brannox.engine.trigger.mthread as mthread_module
from brannox.core import NodeStatus, TreeNode
from brannox.engine.sequential_engine import SequentialEngine
from brannox.nodes.action_node import StatefulActionNode
from helpers import PORTS, say

ROOT = pathlib.Path(__file__).resolve().parent.parent


def pytest_configure(config):
    # The tests exercise the installed package; importing the source tree
    # instead would test Python files without the compiled module beside them.
    origin = pathlib.Path(importlib.util.find_spec("brannox").origin).resolve()
    assert ROOT / "src" not in origin.parents, f"tests must import the installed package, got {origin}"


def pytest_sessionfinish(session):
    # Engines that tests left in reference cycles stop their trees from
    # __del__ when reclaimed, logging as they do: reclaim them now, into a
    # logger nobody reads, rather than at exit through the real one (a stray
    # line after the summary).
    real, mthread_module.logger = mthread_module.logger, RecordingLogger()
    try:
        gc.collect()
    finally:
        mthread_module.logger = real


class RecordingLogger:
    """Stands in for loguru's logger: keeps (level, text, thread name)."""

    def __init__(self):
        self.lines = []
        self._lock = threading.Lock()

    def _add(self, level, text):
        with self._lock:
            self.lines.append((level, text, threading.current_thread().name))

    def info(self, text):
        self._add("info", text)

    def error(self, text):
        self._add("error", text)

    def texts(self, level=None):
        with self._lock:
            return [t for lv, t, _ in self.lines if level is None or lv == level]


@pytest.fixture
def mt():
    return mthread_module


@pytest.fixture
def log(monkeypatch):
    rec = RecordingLogger()
    monkeypatch.setattr(mthread_module, "logger", rec)
    return rec


@pytest.fixture
def make_engine(log):
    """Creates engines (logging into `log`) and stops their trees afterwards."""
    engines = []

    def make():
        e = mthread_module.ThreadEngine()
        engines.append(e)
        return e

    yield make
    for e in engines:
        for tid in list(e.trees):
            try:
                e.stop_tree(tid)
            except Exception:
                pass
        # Its __del__ runs when pytest lets go of the fixtures, after the real
        # logger is back: with nothing left to stop, it should say nothing.
        e.stop_all_trees = lambda: None


@pytest.fixture
def engine(make_engine):
    return make_engine()


@pytest.fixture
def say_engine(make_engine, log):
    """An engine with the action "Say" registered and the log emptied after."""
    made = make_engine()
    made.register_action_behavior("Say", say, PORTS)
    log.lines.clear()
    return made


@pytest.fixture
def collect_old_engines():
    # Engines that earlier tests left in reference cycles log from __del__
    # when reclaimed; reclaim them now, not in the middle of this test's log.
    gc.collect()


def run_in_daemon(fn, *args, timeout=30.0):
    """Runs fn in a daemon thread (so tree threads it creates are daemons too
    and a hang cannot keep the interpreter alive) and returns its result;
    fails the test if it does not finish within `timeout`."""
    box = {}

    def target():
        try:
            box["value"] = fn(*args)
        except BaseException as exc:  # handed back to the test thread
            box["error"] = exc

    t = threading.Thread(target=target, daemon=True)
    t.start()
    t.join(timeout)
    if t.is_alive():
        pytest.fail(f"{getattr(fn, '__name__', fn)} did not finish within {timeout} s (hang)")
    if "error" in box:
        raise box["error"]
    return box.get("value")


@pytest.fixture
def in_daemon():
    return run_in_daemon


# ------------------------------------------------------- core (single tree)

STATUS = {"S": NodeStatus.SUCCESS, "F": NodeStatus.FAILURE, "R": NodeStatus.RUNNING, "K": NodeStatus.SKIPPED}


def bt(body, extra=""):
    """A one-tree document around ``body``."""
    return f'<root BTCPP_format="4"><BehaviorTree ID="T">{body}</BehaviorTree>{extra}</root>'


def letters(statuses):
    return "".join("K" if s is NodeStatus.SKIPPED else s.name[0] for s in statuses)


def stateful_action(events, name, script="R"):
    """A StatefulActionNode subclass whose on_start/on_running return the letters
    of ``script`` in turn (the last one repeats) and that records every call
    in ``events`` as "name:start", "name:run", "name:halt"."""
    queue = list(script)

    def next_status():
        return STATUS[queue.pop(0) if len(queue) > 1 else queue[0]]

    class Recorded(StatefulActionNode):
        @staticmethod
        def on_start(node):
            events.append(f"{name}:start")
            return next_status()

        @staticmethod
        def on_running(node):
            events.append(f"{name}:run")
            return next_status()

        @staticmethod
        def on_halted(node):
            events.append(f"{name}:halt")

    Recorded.__name__ = Recorded.__qualname__ = name
    return Recorded


def core_engine(body, scripts=None, events=None):
    """A SequentialEngine running ``bt(body)`` whose actions (id -> letters) are
    recording stateful actions; returns (engine, events)."""
    engine, events = SequentialEngine(), [] if events is None else events
    for action_id, script in (scripts or {}).items():
        engine.register_action_class(stateful_action(events, action_id, script))
    engine.create_tree_from_text(bt(body))
    return engine, events


class FakeClock:
    """Stands in for TreeNode.clock: time moves only when a test says so."""

    def __init__(self):
        self.now = 1000.0

    def __call__(self):
        return self.now

    def advance(self, msec):
        self.now += msec / 1000


@pytest.fixture
def clock(monkeypatch):
    fake = FakeClock()
    monkeypatch.setattr(TreeNode, "clock", fake)
    return fake


# ------------------------------------------------------------ postgres server

def _postgres_bin():
    found = sorted(pathlib.Path("/usr/lib/postgresql").glob("*/bin/initdb"), key=lambda p: int(p.parts[-3]))
    return found[-1].parent if found else None


@pytest.fixture(scope="session")
def postgres_server():
    """A private Postgres server for the session: data in a temporary folder,
    trust authentication, a Unix socket there and 127.0.0.1 on a free port;
    stopped and removed afterwards. Yields its base connection string."""
    import os
    import shutil
    import socket
    import subprocess
    import tempfile

    # CI installs both, so there a missing one is a failure, not a skip.
    missing = pytest.fail if os.environ.get("CI") == "true" else pytest.skip
    bin_dir = _postgres_bin()
    if bin_dir is None:
        missing("Postgres is not installed (Debian package postgresql)")
    try:
        import psycopg  # noqa: F401
    except ImportError:
        missing("psycopg is not installed (the durable extra)")
    as_user = []
    if os.geteuid() == 0:
        # initdb refuses root; the server runs as the unprivileged postgres user.
        as_user = ["runuser", "-u", "postgres", "--"]
    folder = tempfile.mkdtemp(prefix="brannox-pg-")
    if as_user:
        shutil.chown(folder, "postgres")
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    data = os.path.join(folder, "data")

    # The server is no part of what is tested: it runs without a sanitizer
    # runtime the test process may have preloaded.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD" and not k.endswith("SAN_OPTIONS")}

    def run(*args):
        subprocess.run(as_user + [str(bin_dir / args[0]), *args[1:]], check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.PIPE, timeout=120, env=env)

    try:
        run("initdb", "-D", data, "-A", "trust", "-U", "postgres", "--no-sync", "-E", "UTF8")
        run("pg_ctl", "-D", data, "-l", os.path.join(folder, "log"), "-w", "-t", "60", "-o",
            f"-k {folder} -c listen_addresses=127.0.0.1 -p {port} -c fsync=off", "start")
    except (subprocess.CalledProcessError, subprocess.TimeoutExpired) as exc:
        shutil.rmtree(folder, ignore_errors=True)
        pytest.fail(f"the test Postgres server did not start: {exc}: {getattr(exc, 'stderr', b'')!r}")
    try:
        yield f"postgresql://postgres@127.0.0.1:{port}"
    finally:
        subprocess.run(as_user + [str(bin_dir / "pg_ctl"), "-D", data, "-m", "fast", "-w", "stop"],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120, env=env)
        shutil.rmtree(folder, ignore_errors=True)


_databases = iter(range(1, 1 << 30))


@pytest.fixture
def postgres_url(postgres_server):
    """A connection string to a new, empty database of the session's server."""
    import psycopg
    name = f"t{next(_databases)}"
    with psycopg.connect(f"{postgres_server}/postgres", autocommit=True) as conn:
        conn.execute(f"CREATE DATABASE {name}")
    return f"{postgres_server}/{name}"
