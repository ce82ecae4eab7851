"""Durable trees: the stores, values and codecs, capture and resume, leases,
the async queue, the entry-update nodes and the command line."""
import json
import os
import sqlite3
import subprocess
import sys
import textwrap
import threading
from contextlib import closing

import pytest

from brannox import durable
from brannox.core import NodeStatus
from brannox.durable import _codec, _follow
from brannox.durable.store import _CREATE, SCHEMA_VERSION, CheckpointWrite
from brannox.engine.sequential_engine import SequentialEngine
from brannox.nodes.action_node import StatefulActionNode
from conftest import bt, letters
from helpers import until

S, F, R = NodeStatus.SUCCESS, NodeStatus.FAILURE, NodeStatus.RUNNING


@pytest.fixture(params=["sqlite", "postgres"])
def target(request, tmp_path):
    """Where a store lives, on each back-end."""
    if request.param == "sqlite":
        return str(tmp_path / "trees.db")
    return request.getfixturevalue("postgres_url")


@pytest.fixture
def db(tmp_path):
    return str(tmp_path / "trees.db")


@pytest.fixture(autouse=True)
def end_followers():
    yield
    for follower in list(_follow._followers.values()):
        follower.stop()
    for store in list(_follow._stores.values()):
        store.close()
    _follow._stores.clear()


def count(node):
    """Counts its runs in the blackboard; SUCCESS or FAILURE from its `fail_at` port."""
    key = f"n_{node.name}"
    n = (node._blackboard.get(key) or 0) + 1
    node._blackboard.set(key, n)
    fail_at = node.getInputObject("fail_at")
    return F if fail_at and str(n) in fail_at.split(",") else S


def work(node):
    """RUNNING until it has been ticked `ticks` times (counted in the blackboard)."""
    key = f"w_{node.name}"
    n = (node._blackboard.get(key) or 0) + 1
    node._blackboard.set(key, n)
    return S if n % int(node.getInputString("ticks")) == 0 else R


def engine_with_actions():
    e = SequentialEngine()
    e.register_action_behavior("Count", count, [{"name": "fail_at"}])
    e.register_action_behavior("Work", work, [{"name": "ticks"}])
    return e


# ------------------------------------------------------------------ the store

def test_schema_from_the_future_is_refused_untouched(db):
    durable.SQLiteStore(db).close()
    with closing(sqlite3.connect(db)) as conn, conn:
        conn.execute("UPDATE brannox_meta SET value = ? WHERE key = 'schema_version'", (str(SCHEMA_VERSION + 1),))
    with pytest.raises(durable.SchemaError, match=f"version {SCHEMA_VERSION + 1}, newer"):
        durable.SQLiteStore(db)
    with closing(sqlite3.connect(db)) as conn, conn:
        assert conn.execute("SELECT value FROM brannox_meta").fetchone() == (str(SCHEMA_VERSION + 1),)


def test_old_schema_is_migrated_forward_keeping_checkpoints(db):
    with closing(sqlite3.connect(db)) as conn, conn:
        for sql in _CREATE[1]:
            conn.execute(sql)
        conn.execute("INSERT INTO brannox_meta VALUES ('schema_version', '1')")
        conn.execute("INSERT INTO brannox_trees VALUES ('t', '<root/>', 'h')")
        conn.execute("INSERT INTO brannox_checkpoints VALUES ('t', 3, 7, 1.0, '{\"nodes\": []}')")
    with durable.SQLiteStore(db) as store:
        assert store.schema_version() == SCHEMA_VERSION
        stored = store.load("t")
        assert (stored.seq, stored.tick_count, stored.xml, stored.includes) == (3, 7, "<root/>", {})


def test_a_file_that_is_not_a_database_is_refused(tmp_path):
    path = tmp_path / "notes.txt"
    path.write_text("not a database\n" * 100)
    with pytest.raises(durable.SchemaError, match="not an SQLite database"):
        durable.SQLiteStore(path)


def test_store_round_trip_and_lease_fencing(target):
    with durable.open_store(target) as store:
        store.acquire("t", "me", 30)
        item = CheckpointWrite("t", "me", 1, 5, '{"x": 1}', xml="<root/>", xml_hash="h")
        assert store.write([item]) == set()
        # A writer that does not hold the lease writes nothing.
        assert store.write([CheckpointWrite("t", "other", 2, 6, '{"x": 2}')]) == {"t"}
        stored = store.load("t")
        assert (stored.seq, stored.tick_count, stored.state) == (1, 5, {"x": 1})
        [row] = store.list_trees()
        assert (row.tree_id, row.owner_pid) == ("t", os.getpid())
        with pytest.raises(durable.LeaseError, match=rf"process {os.getpid()} on host"):
            store.acquire("t", "other", 30)
        store.release("t", "me")
        store.acquire("t", "other", 30)
        store.delete("t")
        with pytest.raises(durable.NoCheckpointError):
            store.load("t")


def test_an_expired_lease_is_taken_over(db):
    with durable.SQLiteStore(db) as store:
        store.acquire("t", "first", 0.01)
        threading.Event().wait(0.05)
        store.acquire("t", "second", 30)
        assert store.lease("t").owner == "second"


# ------------------------------------------------------------ values and codecs

class Point:
    def __init__(self, x, y):
        self.x, self.y = x, y


@pytest.mark.parametrize("value, stored", [
    ({"a": [1, 2.5, None, True, {"b": "c"}]}, {"a": [1, 2.5, None, True, {"b": "c"}]}),
    ({"$codec": "x"}, {"$dict": {"$codec": "x"}}),
])
def test_built_in_values_are_stored_as_json(value, stored):
    assert _codec.to_json(value, "t", "k") == stored
    assert _codec.from_json(stored) == value


@pytest.mark.parametrize("value, why", [
    (Point(1, 2), "register a codec"),
    ((1, 2), "register a codec"),
    ({1: "a"}, "dict key of type int"),
    ([object()], "register a codec"),
])
def test_other_values_are_refused_naming_tree_and_key(value, why):
    with pytest.raises(durable.UnstorableValueError, match=f"tree 't': blackboard entry 'k'.*{why}"):
        _codec.to_json(value, "t", "k")


def test_a_codec_round_trips_and_an_unknown_one_is_refused_on_read(db):
    durable.register_codec(Point, "point", lambda p: [p.x, p.y], lambda v: Point(*v))
    try:
        e = engine_with_actions()
        e.create_tree_from_text(bt('<Count name="a"/>'))
        e.set_blackboard_data("where", Point(3, 4))
        durable.attach(e, "p", db).stop()
        e2 = engine_with_actions()
        durable.resume(e2, "p", db).stop()
        assert vars(e2.get_blackboard_data("where")) == {"x": 3, "y": 4}
    finally:
        durable.unregister_codec(Point)
    with pytest.raises(durable.UnstorableValueError, match="codec 'point', which is not registered"):
        durable.resume(engine_with_actions(), "p", db)


def test_a_refused_value_fails_the_tick_and_keeps_the_last_checkpoint(db):
    def bad(node):
        node._blackboard.set("bad", object())
        return S
    e = engine_with_actions()
    e.register_action_behavior("Bad", bad)
    e.create_tree_from_text(bt('<Sequence><Count name="a"/><Bad/></Sequence>'))
    follower = durable.attach(e, "b", db)
    with pytest.raises(durable.UnstorableValueError, match="tree 'b': blackboard entry 'bad'"):
        e.tick_once()
    assert follower.store.load("b").seq == 1


# ----------------------------------------------------------- capture and resume

TREES = {
    "sequence": '<Sequence><Count name="a"/><Work name="w" ticks="3"/><Count name="b"/></Sequence>',
    "memory": '<SequenceWithMemory><Count name="a"/><Count name="b" fail_at="1,2"/><Work name="w" ticks="2"/>'
              '</SequenceWithMemory>',
    "fallback": '<Fallback><Count name="a" fail_at="1,2,3"/><Work name="w" ticks="2"/></Fallback>',
    "repeat": '<Repeat num_cycles="3"><Sequence><Count name="a"/><Work name="w" ticks="2"/></Sequence></Repeat>',
    "retry": '<RetryUntilSuccessful num_attempts="4"><Sequence><Work name="w" ticks="2"/>'
             '<Count name="a" fail_at="1,2"/></Sequence></RetryUntilSuccessful>',
    "parallel": '<Parallel success_count="2"><Work name="w" ticks="2"/><Work name="v" ticks="3"/>'
                '<Count name="a" fail_at="1"/></Parallel>',
    "parallel-all": '<ParallelAll><Work name="w" ticks="2"/><Work name="v" ticks="4"/></ParallelAll>',
    "run-once": '<Sequence><RunOnce><Work name="w" ticks="2"/></RunOnce><Work name="v" ticks="3"/></Sequence>',
    "if-then-else": '<IfThenElse><Count name="c" fail_at="2"/><Work name="w" ticks="2"/>'
                    '<Work name="v" ticks="2"/></IfThenElse>',
    "switch": '<Sequence><Script code="k := 2"/><Switch2 variable="{k}" case_1="1" case_2="2">'
              '<Work name="w" ticks="2"/><Work name="v" ticks="3"/><Count name="d"/></Switch2></Sequence>',
    "timers": '<Sequence><Delay delay_msec="30"><Count name="a"/></Delay><Timeout msec="100">'
              '<Work name="w" ticks="3"/></Timeout><Sleep msec="20"/><Count name="b"/></Sequence>',
    "subtree": '<Sequence><SubTree ID="Sub" out="{o}"/><Count name="a"/></Sequence>',
    "reactive": '<ReactiveSequence><Count name="c"/><Work name="w" ticks="3"/></ReactiveSequence>',
}
SUB = '<BehaviorTree ID="Sub"><Sequence><Work name="s" ticks="2"/><SetBlackboard value="x" output_key="{out}"/>' \
      '<Script code="local := 5"/></Sequence></BehaviorTree>'


def run(engine, ticks, clock):
    # Time passes before each tick, none between a checkpoint and the resume:
    # deadlines are kept as time remaining, so the two runs then agree.
    out = []
    for _ in range(ticks):
        clock.advance(10)
        out.append(engine.tick_once())
    return out


@pytest.mark.parametrize("name", TREES)
@pytest.mark.parametrize("cut", [1, 2, 4])
def test_a_resumed_tree_continues_as_if_never_stopped(name, cut, db, clock):
    xml = bt(TREES[name], SUB) if name == "subtree" else bt(TREES[name])
    xml = xml.replace("<root ", '<root main_tree_to_execute="T" ', 1)
    plain = engine_with_actions()
    plain.create_tree_from_text(xml)
    expected = run(plain, 12, clock)

    first = engine_with_actions()
    first.create_tree_from_text(xml)
    follower = durable.attach(first, name, db)
    before = run(first, cut, clock)
    follower.stop()
    second = engine_with_actions()
    durable.resume(second, name, db)
    assert second.get_tree_status()["tick_count"] == cut
    after = run(second, 12 - cut, clock)
    assert letters(before + after) == letters(expected)
    assert second.get_all_blackboard_data() == plain.get_all_blackboard_data()


def test_running_actions_start_again_from_their_beginning(db):
    events = []

    def generator(node):
        events.append("gen:first line")
        yield
        events.append("gen:second line")
        return S

    class Stateful(StatefulActionNode):
        @staticmethod
        def on_start(node):
            events.append("st:start")
            return R

        @staticmethod
        def on_running(node):
            events.append("st:run")
            return S

    def make():
        e = SequentialEngine()
        e.register_action_behavior("Gen", generator)
        e.register_action_class(Stateful)
        e.create_tree_from_text(bt("<Parallel><Gen/><Stateful/></Parallel>"))
        return e

    first = make()
    follower = durable.attach(first, "r", db)
    assert first.tick_once() is R
    follower.stop()
    second = engine_with_actions()
    second.register_action_behavior("Gen", generator)
    second.register_action_class(Stateful)
    durable.resume(second, "r", db)
    assert second.tick_once() is R
    assert events == ["gen:first line", "st:start"] * 2


LIBRARY = '<root BTCPP_format="4"><BehaviorTree ID="Lib"><Sequence><Count name="a"/>' \
          '<Work name="w" ticks="5"/></Sequence></BehaviorTree></root>'


@pytest.mark.parametrize("changed", ["main file", "included file"])
def test_a_tree_whose_files_changed_resumes_from_the_stored_xml(changed, db, tmp_path, caplog, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "lib").mkdir()
    library = tmp_path / "lib" / "library.xml"
    library.write_text(LIBRARY)
    main = tmp_path / "tree.xml"
    main.write_text('<root BTCPP_format="4" main_tree_to_execute="T"><include path="lib/library.xml"/>'
                    '<BehaviorTree ID="T"><SubTree ID="Lib" _autoremap="true"/></BehaviorTree></root>')
    e = engine_with_actions()
    e.create_tree_from_text(main.read_text())
    follower = durable.attach(e, "f", db, source=main)
    e.tick_once()
    follower.stop()
    (main if changed == "main file" else library).write_text(bt("<AlwaysFailure/>"))
    e2 = engine_with_actions()
    resumed = durable.resume(e2, "f", db)
    edited = main if changed == "main file" else library
    assert resumed.xml_changed and f"changed since: {edited}" in caplog.text
    assert e2.tick_once() is R and e2.get_blackboard_data("n_a") == 1


def test_a_checkpoint_that_does_not_fit_is_refused_and_frees_the_lease(db):
    e = engine_with_actions()
    e.create_tree_from_text(bt('<Sequence><Count name="a"/><Count name="b"/></Sequence>'))
    durable.attach(e, "m", db).stop()
    with closing(sqlite3.connect(db)) as conn, conn:
        data = json.loads(conn.execute("SELECT data FROM brannox_checkpoints").fetchone()[0])
        data["status"] = data["status"][:-1]
        conn.execute("UPDATE brannox_checkpoints SET data = ?", (json.dumps(data),))
    for _ in range(2):  # the failed resume does not keep the tree's lease
        with pytest.raises(durable.CheckpointMismatchError, match="does not fit the tree"):
            durable.resume(engine_with_actions(), "m", db)


# ---------------------------------------------------------------- one owner

def test_a_second_resume_of_a_live_tree_is_refused_naming_the_owner(db):
    e = engine_with_actions()
    e.create_tree_from_text(bt('<Count name="a"/>'))
    durable.attach(e, "o", db).stop()
    durable.resume(engine_with_actions(), "o", db)
    with pytest.raises(durable.LeaseError, match=rf"owned by process {os.getpid()} on host"):
        durable.resume(engine_with_actions(), "o", db)


def test_a_live_tree_keeps_its_lease_and_a_gone_one_gives_it_up(make_engine, db):
    from helpers import until
    a = make_engine()
    a.create_tree_from_text(bt("<Sleep msec=\"60000\"/>"), "k")
    follower = durable.attach(a, "k", db, lease_seconds=0.3)
    store = follower.store
    threading.Event().wait(1.0)  # no ticks: the lease keeper renews it
    assert store.lease("k").owner == follower.owner
    a.stop_tree("k")  # not through the follower: the keeper sees the thread end
    until(lambda: store.lease("k") is None, timeout=5)
    e = engine_with_actions()
    e.create_tree_from_text(bt('<Count name="a"/>'))
    durable.attach(e, "s", store)
    e.create_tree_from_text(bt('<Count name="b"/>'))  # another tree: the followed one is gone
    assert store.lease("s") is None


@pytest.mark.parametrize("durability", ["sync", "async"])
def test_an_owner_whose_lease_was_taken_over_writes_nothing_more(target, durability):
    e = engine_with_actions()
    e.create_tree_from_text(bt('<Sequence><Count name="a"/><Work name="w" ticks="50"/></Sequence>'))
    follower = durable.attach(e, "l", target, durability=durability)
    store = follower.store
    e.tick_once()
    follower.flush()
    # Another process took the tree over (this one stalled past its lease).
    store.release("l", follower.owner)
    store.acquire("l", "intruder", 60)
    before = store.load("l").seq
    with pytest.raises(durable.LeaseLostError, match="tree 'l'"):
        for _ in range(20):
            e.tick_once()
            follower.flush()
    assert e.tick_once() is R  # told once; the tree runs on, not followed
    follower.flush()
    assert store.load("l").seq == before and store.lease("l").owner == "intruder"


RACER = textwrap.dedent("""
    import sys
    from brannox import durable
    from brannox.engine.sequential_engine import SequentialEngine
    from brannox.core import NodeStatus
    held = []
    for line in sys.stdin:
        tree_id = line.strip()
        e = SequentialEngine()
        e.register_action_behavior("A", lambda node: NodeStatus.SUCCESS)
        try:
            held.append(durable.resume(e, tree_id, sys.argv[1], lease_seconds=60))
            print("won", flush=True)
        except durable.LeaseError as exc:
            print("lost", exc.pid, exc.host, flush=True)
""")


@pytest.mark.parametrize("races", [100])
def test_two_processes_racing_to_resume_a_tree_one_wins(target, races, tmp_path):
    store = _follow._open(target)
    for i in range(races):
        e = SequentialEngine()
        e.register_action_behavior("A", lambda node: S)
        e.create_tree_from_text(bt("<A/>"))
        durable.attach(e, f"race-{i}", store).stop()
    script = tmp_path / "racer.py"
    script.write_text(RACER)
    racers = [subprocess.Popen([sys.executable, str(script), target], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               text=True) for _ in range(2)]
    try:
        for i in range(races):
            for p in racers:
                p.stdin.write(f"race-{i}\n")
                p.stdin.flush()
            answers = [p.stdout.readline().split() for p in racers]
            winners = [p for p, a in zip(racers, answers) if a == ["won"]]
            assert len(winners) == 1, (i, answers)
            loser = answers[1] if answers[0] == ["won"] else answers[0]
            assert loser == ["lost", str(winners[0].pid), os.uname().nodename], (i, answers)
    finally:
        for p in racers:
            p.stdin.close()
            p.wait(30)
            p.stdout.close()


# ------------------------------------------------------- thread engine, async

def test_thread_engine_tree_attach_stop_and_resume(make_engine, db):
    from helpers import PORTS, say
    a = make_engine()
    a.register_action_behavior("Say", say, PORTS)
    a.create_tree_from_text(bt('<Sequence><Say msg="hi" out="{o}"/><Sleep msec="60000"/></Sequence>'), "t1")
    follower = durable.attach(a, "t1", db, durability="async")
    assert a.tick_once("t1") is R
    follower.flush()
    follower.stop()
    assert "t1" not in a.trees
    b = make_engine()
    b.register_action_behavior("Say", say, PORTS)
    resumed = durable.resume(b, "t1", db)
    assert resumed.seq >= 2 and b.get_blackboard_data("t1", "o") == "hi"
    assert b.get_tree_status("t1")["tick_count"] == 1
    with pytest.raises(durable.LeaseError):
        durable.resume(make_engine(), "t1", db)
    b.stop_tree("t1")
    # A stopped tree gives its lease up; its checkpoint is kept. An engine
    # without the tree's actions cannot rebuild it, and says why.
    with pytest.raises(Exception, match="Say"):
        durable.resume(make_engine(), "t1", db)
    c = make_engine()
    c.register_action_behavior("Say", say, PORTS)
    assert durable.resume(c, "t1", db).resumed.seq == resumed.seq


class SlowStore:
    """Stands in for a store whose writes wait until the test lets them through."""

    label = "slow"

    def __init__(self):
        self.gate = threading.Event()
        self.batches = []

    def write(self, batch):
        self.gate.wait(10)
        self.batches.append([(i.tree_id, i.seq) for i in batch])
        return set()


def test_async_queue_keeps_only_the_newest_unwritten_checkpoint_per_tree():
    store = SlowStore()
    queue = _follow.WriteBehind(store, maxsize=2)
    queue.put(None, CheckpointWrite("a", "o", 1, 1, "{}"))
    until(lambda: not queue._pending)  # the writer has taken a:1 and waits at the gate
    for seq in (2, 3, 4):
        queue.put(None, CheckpointWrite("a", "o", seq, seq, "{}"))
    queue.put(None, CheckpointWrite("b", "o", 1, 1, "{}"))
    full = threading.Thread(target=queue.put, args=(None, CheckpointWrite("c", "o", 1, 1, "{}")), daemon=True)
    full.start()
    full.join(0.2)
    assert full.is_alive(), "a full queue must make a new tree wait"
    store.gate.set()
    full.join(10)
    queue.flush(10)
    queue.close()
    assert store.batches[0] == [("a", 1)] and store.batches[1] == [("a", 4), ("b", 1)]
    assert store.batches[2:] == [[("c", 1)]]


# ---------------------------------------------------------- entry-update nodes

@pytest.mark.parametrize("body, writes, expected", [
    # Writing the same value again counts as an update.
    ('<WasEntryUpdated entry="x"/>', {1: 5, 3: 5}, "FSFSF"),
    ('<SkipUnlessUpdated entry="{x}"><Work name="w" ticks="2"/></SkipUnlessUpdated>', {1: 1, 4: 1}, "KRSKR"),
    ('<WaitValueUpdate entry="x"><Work name="w" ticks="2"/></WaitValueUpdate>', {2: 1}, "RRRSR"),
])
def test_entry_update_nodes(body, writes, expected):
    e = engine_with_actions()
    e.create_tree_from_text(bt(body))
    got = []
    for i in range(len(expected)):
        if i in writes:
            e.set_blackboard_data("x", writes[i])
        got.append(e.tick_once())
    assert letters(got) == expected


def test_waiting_for_an_approval_across_a_restart(make_engine, db):
    xml = bt('<Sequence><Count name="ask"/><WaitValueUpdate entry="approved">'
             '<Count name="ship"/></WaitValueUpdate></Sequence>')

    def engine():
        made = make_engine()
        made.register_action_behavior("Count", count, [{"name": "fail_at"}])
        return made

    a = engine()
    a.create_tree_from_text(xml, "order")
    follower = durable.attach(a, "order", db)
    assert [a.tick_once("order") for _ in range(3)] == [R, R, R]
    follower.stop()
    b = engine()
    durable.resume(b, "order", db)
    assert b.tick_once("order") is R
    b.set_blackboard_data("order", "approved", True)  # committed before it returns
    b.stop_tree("order")
    c = engine()
    durable.resume(c, "order", db)
    assert c.tick_once("order") is S
    assert (c.get_blackboard_data("order", "n_ask"), c.get_blackboard_data("order", "n_ship")) == (1, 1)


# ------------------------------------------------------------- command line

def test_command_line_lists_and_shows_trees(db):
    e = engine_with_actions()
    e.create_tree_from_text(bt('<Sequence><Count name="a"/><Work name="w" ticks="9"/></Sequence>'))
    durable.attach(e, "cli", db)
    e.tick_once()

    def cli(*args):
        return subprocess.run([sys.executable, "-m", "brannox.durable", *args], capture_output=True, text=True,
                              timeout=60)

    listed = cli("list", db)
    assert listed.returncode == 0 and "cli" in listed.stdout and f"pid {os.getpid()}" in listed.stdout
    shown = cli("show", db, "cli")
    assert shown.returncode == 0 and "n_a = 1  (v1)" in shown.stdout and "2 RUNNING, 1 SUCCESS" in shown.stdout
    missing = cli("show", db, "nope")
    assert missing.returncode == 1 and "no checkpoint of tree 'nope'" in missing.stderr


def test_the_guide_example_runs(tmp_path):
    import pathlib
    import re
    guide = pathlib.Path(__file__).resolve().parent.parent / "docs" / "durable.md"
    code = re.search(r"```python\n(.*?)```", guide.read_text(encoding="utf-8"), re.S).group(1)
    proc = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True, text=True, timeout=60,
                          stdin=subprocess.DEVNULL)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "shipping, approved: yes\nNodeStatus.SUCCESS\n"
