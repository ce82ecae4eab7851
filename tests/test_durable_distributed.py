"""Durable trees of a DistributedEngine: followed in the worker that hosts
them, on SQLite and Postgres, resumed onto a new engine's worker."""
import os
import socket
import time

import pytest

from distributed_support import ray_processes, require_ray

require_ray()

import ray  # noqa: E402

from brannox import durable  # noqa: E402
from brannox.core import NodeStatus  # noqa: E402
from brannox.durable import _follow  # noqa: E402
from brannox.engine.distributed import DistributedEngine  # noqa: E402
from conftest import bt  # noqa: E402
from helpers import until  # noqa: E402

pytestmark = pytest.mark.timeout(120)

S, R = NodeStatus.SUCCESS, NodeStatus.RUNNING
XML = bt('<Sequence><Count name="a"/><Count name="b"/><Work name="w" ticks="3"/><Count name="c"/></Sequence>')


def count(node):
    key = f"n_{node.name}"
    node._blackboard.set(key, (node._blackboard.get(key) or 0) + 1)
    return S


def work(node):
    key = f"w_{node.name}"
    n = (node._blackboard.get(key) or 0) + 1
    node._blackboard.set(key, n)
    return S if n % int(node.getInputString("ticks")) == 0 else R


@pytest.fixture(scope="module")
def ray_session():
    """One Ray for the module, started by an engine kept open; closing it
    ends every Ray process this test process started."""
    holder = DistributedEngine(num_workers=1)
    yield
    holder.close()
    deadline = time.monotonic() + 15
    while ray_processes() and time.monotonic() < deadline:
        time.sleep(0.2)
    assert ray_processes() == []


@pytest.fixture
def dist(ray_session):
    engines = []

    def make():
        e = DistributedEngine(num_workers=1)
        e.register_action_behavior("Count", count, [])
        e.register_action_behavior("Work", work, [{"name": "ticks"}])
        engines.append(e)
        return e

    yield make
    for e in engines:
        e.close()
    for store in list(_follow._stores.values()):
        store.close()
    _follow._stores.clear()


@pytest.fixture(params=["sqlite", "postgres"])
def target(request, tmp_path):
    if request.param == "sqlite":
        return str(tmp_path / "trees.db")
    return request.getfixturevalue("postgres_url")


def worker_pid(engine, tree_id):
    return ray.get(engine.worker_of(tree_id)[1].ping.remote())


def entries(store, tree_id):
    return store.load(tree_id).state["blackboards"][0][0]


def gone(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] == "Z"
    except OSError:
        return True


@pytest.mark.parametrize("end", ["close", "kill"])
def test_attach_tick_end_and_resume_on_a_new_worker(dist, target, end):
    a = dist()
    a.create_tree_from_text(XML, "d")
    tree = durable.attach(a, "d", target)
    pid = worker_pid(a, "d")
    assert (tree.pid, tree.host) == (pid, socket.gethostname()) and pid != os.getpid()
    assert a.tick_once("d") is R
    # Under sync the answer comes after the worker's commit.
    store = _follow._open(target)  # closed by the fixture
    assert entries(store, "d") == {"n_a": 1, "n_b": 1, "w_w": 1}
    assert store.load("d").tick_count == 1 and store.lease("d").pid == pid
    b = dist()
    with pytest.raises(durable.LeaseError, match=rf"owned by process {pid} on host"):
        durable.resume(b, "d", target)
    assert "d" not in b.get_tree_ids()  # the refused resume leaves no tree behind
    if end == "close":
        a.close()  # the worker writes what it holds and ends the lease before Ray ends it
        assert store.lease("d") is None
        host = b  # a new engine, with new workers
    else:
        # A worker that dies keeps its lease, which names a process of this
        # machine that no longer exists: taken over at once, here by the
        # worker that took the lost one's place.
        ray.kill(a.worker_of("d")[1], no_restart=True)
        until(lambda: gone(pid))
        assert store.lease("d").pid == pid
        a.stop_tree("d")  # the lost tree's identifier is free again
        host = a
    resumed = durable.resume(host, "d", target)
    assert resumed.pid == worker_pid(host, "d") != pid and resumed.resumed.tick_count == 1
    assert host.get_all_blackboard_data("d") == {"n_a": 1, "n_b": 1, "w_w": 1}
    assert [host.tick_once("d") for _ in range(2)] == [R, S]
    # Finished children did not run again; the rest of the Sequence did, once.
    assert entries(store, "d") == {"n_a": 1, "n_b": 1, "w_w": 3, "n_c": 1}
    assert resumed.refresh().seq == store.load("d").seq
    resumed.stop(delete=True)
    assert "d" not in host.get_tree_ids() and store.lease("d") is None
    with pytest.raises(durable.NoCheckpointError):
        store.load("d")


def test_async_flush_and_refusals(dist, tmp_path, monkeypatch):
    from brannox.durable import _distributed
    db = str(tmp_path / "trees.db")
    e = dist()
    e.create_tree_from_text(XML, "q")
    with monkeypatch.context() as m:  # as if the driver ran on another machine than the worker
        m.setattr(_distributed, "_boot_id", lambda: "elsewhere")
        with pytest.raises(durable.DurableError, match="use a Postgres store"):
            durable.attach(e, "q", db)
    with pytest.raises(TypeError, match="path or Postgres connection string"):
        durable.attach(e, "q", _follow._open(db))
    with pytest.raises(ValueError, match="不存在"):
        durable.attach(e, "nope", db)
    tree = durable.attach(e, "q", db, durability="async")
    # Errors of the worker's durable code reach the caller as themselves.
    with pytest.raises(durable.LeaseError) as owned:
        durable.attach(e, "q", db)
    assert owned.value.pid == worker_pid(e, "q")
    submitted = [e.submit("tick_once", "q") for _ in range(3)]
    tree.flush()  # after the ticks submitted before it
    assert [f.result() for f in submitted] == [R, R, S]
    assert _follow._open(db).load("q").tick_count == 3
    with pytest.raises(RuntimeError, match="'pair'") as refused:
        e.set_blackboard_data("q", "pair", (1, 2))
    cause = refused.value.__cause__  # the worker's error itself, not a stand-in
    assert isinstance(cause, durable.UnstorableValueError) and (cause.tree_id, cause.key) == ("q", "pair")
    with pytest.raises(durable.NoCheckpointError):
        durable.resume(e, "never", db)
    e.set_blackboard_data("q", "pair", [1, 2])  # queued, then written by the close
    e.close()
    assert entries(_follow._open(db), "q")["pair"] == [1, 2]
