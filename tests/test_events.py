"""Event subscriptions: what a tree reports, in order; gaps for a subscriber
that falls behind; custom events; a subscriber that never reads; the same
from the workers of a DistributedEngine (one Ray for the module), and the
monitor over that engine."""
import asyncio
import gc
import itertools
import json
import os
import pathlib
import sys
import threading
import time
import urllib.request

import pytest

from brannox import events
from brannox._bt.observe import REGISTRY, _observed_class
from brannox.aio import AsyncEngine
from brannox.core import NodeStatus, TreeNode
from distributed_support import each_engine, two_worker_engine
from helpers import run_docs_example

pytestmark = pytest.mark.timeout(120)

XML = ('<root BTCPP_format="4"><BehaviorTree ID="Main"><Sequence name="main">'
       '<Talk name="talk" out="{said}"/><AlwaysSuccess name="ok"/></Sequence></BehaviorTree></root>')
PORTS = [{"name": "out", "direction": "output", "type": "object"}]
WORDS = ("Hel", "lo", "!")


def talk(node):
    for word in WORDS:
        node.emit("token", word)
    node.setOutput("out", "".join(WORDS))
    if node._blackboard.get("boom"):
        raise KeyError("boom")
    return NodeStatus.SUCCESS


ONE_TICK = (["tick_start"] + ["token"] * len(WORDS) + ["blackboard"] + ["transition"] * 5 + ["tick_end"])
# From the second tick on, the root goes from SUCCESS to SUCCESS: no transition.
LATER_TICK = ONE_TICK[:-2] + ONE_TICK[-1:]


def ticks(n):
    return ONE_TICK + LATER_TICK * (n - 1)


def kinds(evs):
    return [e["kind"] for e in evs]


def drain(sub, timeout=5.0):
    """Every event up to the end, or until none came for `timeout` seconds."""
    out = []
    while (ev := sub.get(timeout)) is not None:
        out.append(ev)
    return out


@pytest.fixture
def talker(make_engine):
    engine = make_engine()
    engine.register_action_behavior("Talk", talk, PORTS)
    engine.create_tree_from_text(XML, "t")
    return engine


def test_order_fields_and_end(talker):
    with events.subscribe(talker, "t") as sub:
        talker.tick_once("t")
        talker.reset_tree("t")
        talker.set_blackboard_data("t", "boom", 1)
        with pytest.raises(RuntimeError, match="boom"):
            talker.tick_once("t")
        talker.stop_tree("t")
        evs = drain(sub)
    assert kinds(evs)[:len(ONE_TICK)] == ONE_TICK
    assert all(e["tree_id"] == "t" for e in evs) and [e["time"] for e in evs] == sorted(e["time"] for e in evs)
    assert abs(evs[0]["time"] - time.time()) < 60
    tokens = [e for e in evs if e["kind"] == "token"]
    assert [e["payload"] for e in tokens[:3]] == list(WORDS) and {e["name"] for e in tokens} == {"talk"}
    assert evs[len(ONE_TICK) - 2] == {**evs[len(ONE_TICK) - 2], "name": "main", "from": "IDLE", "to": "SUCCESS"}
    assert evs[len(ONE_TICK) - 1]["status"] == "SUCCESS"
    assert evs[len(ONE_TICK)]["kind"] == "halt" and evs[len(ONE_TICK)]["reset"] is True
    failed = [e for e in evs if e["kind"] == "tick_end" and e["error"]]
    assert len(failed) == 1 and failed[0]["status"] is None and "KeyError" in failed[0]["error"]
    assert [e for e in evs if e["kind"] == "blackboard" and e["key"] == "boom"][0]["value"] == "1"
    assert kinds(evs)[-2:] == ["halt", "end"]
    assert sub.get(0) is None and list(sub) == []


def test_gap_says_how_many_were_missed(talker):
    size = len(ONE_TICK) + 1
    small = events.subscribe(talker, "t", buffer=size)
    full = events.subscribe(talker, "t")
    for _ in range(3):
        talker.tick_once("t")
    everything, got = drain(full, 0.2), drain(small, 0.2)
    assert got[0]["kind"] == "gap" and got[0]["missed"] == len(everything) - size == len(ticks(3)) - size
    assert got[1:] == everything[-size:]
    talker.tick_once("t")  # caught up: no further gap
    assert kinds(drain(small, 0.2)) == LATER_TICK
    small.close()
    full.close()


def plain(tree):
    return not hasattr(type(tree), "_plain_class") and not any(hasattr(type(n), "_plain_class") for n in tree.nodes())


@pytest.mark.parametrize("ending", ["close", "drop"])
@pytest.mark.parametrize("beside_reader", [False, True])
def test_never_reading_subscriber_pauses_and_costs_nothing(talker, ending, beside_reader):
    reader = events.subscribe(talker, "t") if beside_reader else None
    stalled = events.subscribe(talker, "t", buffer=50)
    channel = stalled._source.channel
    entry = channel.entry
    assert talker.tick_n_times("t", 500) == [NodeStatus.SUCCESS] * 500
    # 1,000 events lost past the 50 kept: paused, and with nobody else watching
    # the tree runs on its plain classes.
    assert channel.paused and len(channel.queue) == 50
    assert plain(entry.tree_ref()) != beside_reader
    paused_in = next(k for k in range(1, 501) if len(ticks(k)) >= 1050)
    got = drain(stalled, 0.2)
    assert len(got) == 52 and kinds(got[1:51]) == ticks(paused_in)[1000:1050]
    assert got[0] == {**got[0], "kind": "gap", "missed": 1000, "paused_ticks": 0}
    assert got[51] == {**got[51], "kind": "gap", "missed": 0, "paused_ticks": 501 - paused_in}  # its own in part
    assert not channel.paused and entry.watch is not None  # taken everything: watching again
    talker.tick_once("t")
    assert kinds(drain(stalled, 0.2)) == LATER_TICK
    if reader is not None:
        assert kinds(drain(reader, 0.2)) == ticks(501)  # the other subscriber lost nothing
        reader.close()
    if ending == "close":
        stalled.close()
    else:
        del stalled, got
        gc.collect()
    # Nobody watches: the tree's nodes are their plain classes again.
    assert entry.watch is None and plain(entry.tree_ref())
    talker.tick_once("t")
    assert channel.queue.maxlen == 50 and not channel.queue


@pytest.mark.parametrize("during", ["pause", "rejoin"])
def test_a_collector_closing_a_subscription_inside_a_watch_update(talker, monkeypatch, during):
    """A subscription kept only by a reference cycle, collected while another
    one pauses or rejoins (a collection may run at any allocation, inside the
    registry's update): neither update undoes the other."""
    from brannox._bt import observe

    stalled = events.subscribe(talker, "t", buffer=5)
    a = stalled._source.channel
    other = events.subscribe(talker, "t")
    b = other._source.channel
    other.cycle = other
    del other
    original, fired = observe._hooks, []

    def hooks(observers, name):
        inside = (a not in observers) if during == "pause" else (a in observers and b in observers)
        if not fired and b in observers and inside:
            fired.append(True)
            gc.collect()  # closes b: its detach comes in the middle of a's update
        return original(observers, name)

    gc.disable()
    try:
        if during == "rejoin":
            talker.tick_n_times("t", 200)
            assert a.paused
        monkeypatch.setattr(observe, "_hooks", hooks)
        talker.tick_n_times("t", 200) if during == "pause" else drain(stalled, 0.2)
    finally:
        gc.enable()
    assert fired and b.closed
    watch = a.entry.watch
    if during == "pause":  # a paused, b closed: nobody watches
        assert a.paused and watch is None
    else:  # a watches again, alone
        assert watch is not None and watch.observers == (a,)
        talker.tick_once("t")
        assert kinds(drain(stalled, 0.2))[-5:] == LATER_TICK[-5:]  # a buffer of 5: the tick's last events
    stalled.close()


def segments(evs):
    out, seg = [], []
    for ev in evs:
        if ev["kind"] == "gap":
            out.append(seg)
            seg = []
        else:
            seg.append(ev["kind"])
    return out + [seg]


def follows_pattern(seg, pattern):
    return not seg or any(all(k == pattern[(o + i) % len(pattern)] for i, k in enumerate(seg))
                          for o in range(len(pattern)))


def test_pausing_and_rejoining_under_a_busy_tree_lose_nothing_silently(talker):
    """A tree ticking on its own thread while a reader reads in bursts with
    pauses long enough to stall: every run of events between two gaps is
    exactly what the tree made, in order."""
    talker.tick_once("t")  # every later tick makes the same events
    sub = events.subscribe(talker, "t", buffer=30)
    stop = threading.Event()

    def ticking():
        while not stop.is_set():
            talker.tick_n_times("t", 20)

    thread = threading.Thread(target=ticking, daemon=True)
    thread.start()
    got, pauses, deadline = [], 0, time.monotonic() + 2.0
    try:
        for burst in itertools.count():
            if time.monotonic() > deadline:
                break
            for _ in range(40):
                ev = sub.get(0.05)
                if ev is not None:
                    got.append(ev)
                    pauses += ev["kind"] == "gap" and bool(ev["paused_ticks"])
            time.sleep(0.002 * (burst % 20))
    finally:
        stop.set()
        thread.join(10)
    talker.stop_tree("t")
    got += drain(sub)
    sub.close()
    assert not thread.is_alive() and got[-1]["kind"] == "end" and pauses > 0
    # The stop's events, if the subscription was not paused then, end the stream.
    halt = max((i for i, ev in enumerate(got) if ev["kind"] == "halt"), default=len(got) - 1)
    assert all(follows_pattern(seg, LATER_TICK) for seg in segments(got[:halt]))


class OwnEmit(TreeNode):
    CHILDREN = (0, 0)

    def emit(self, kind, payload=None):
        return "mine"

    def tick(self):
        return NodeStatus.SUCCESS


@pytest.mark.parametrize("watched", [False, True])
def test_emit_checks_its_kind_and_keeps_a_node_types_own_emit(talker, watched):
    node = TreeNode("X")
    sub = events.subscribe(talker, "t") if watched else None
    for kind, error in ((3, TypeError), ("", ValueError), ("transition", ValueError), ("gap", ValueError)):
        with pytest.raises(error):
            node.emit(kind, None)
    node.emit("token", object())  # nobody watches this node: nothing happens
    # A node type's own emit stays its own in the class its watched nodes get.
    assert _observed_class(OwnEmit).emit is OwnEmit.emit
    if sub is not None:
        sub.close()


def test_a_tick_method_kept_past_the_watch_still_ticks():
    from brannox.engine.sequential_engine import SequentialEngine
    from brannox.events._channel import Channel

    core = SequentialEngine()
    core.register_action_behavior("Talk", talk, PORTS)
    core.create_tree_from_text(XML)
    channel = Channel(REGISTRY.for_thread(threading.current_thread()), "core")
    kept, halt = core._tree.tick_once, core._tree.halt  # as a wrapper installed meanwhile would hold them
    channel.close()
    assert kept() is NodeStatus.SUCCESS and halt() is None


def test_durable_tree_subscribed_later_still_reports_its_ticks(talker, tmp_path):
    from brannox import durable

    talker.create_tree_from_text(XML, "kept")  # built after durable was imported, so it can be followed
    durable.attach(talker, "kept", str(tmp_path / "store.db"))
    with events.subscribe(talker, "kept") as sub:
        talker.tick_once("kept")
        talker.stop_tree("kept")
        evs = drain(sub)
    assert kinds(evs)[:len(ONE_TICK)] == ONE_TICK


@pytest.mark.parametrize("bad", [{"tree_id": 3}, {"buffer": 0}, {"buffer": 1.5}])
def test_bad_arguments(talker, bad):
    args = {"tree_id": "t", "buffer": 10, **bad}
    with pytest.raises((TypeError, ValueError)):
        events.subscribe(talker, args["tree_id"], buffer=args["buffer"])


def test_no_such_tree(talker):
    with pytest.raises(ValueError, match="nope"):
        events.subscribe(talker, "nope")
    with pytest.raises(TypeError, match="ThreadEngine or a DistributedEngine"):
        events.subscribe(object(), "t")


def test_documented_example_runs(tmp_path):
    assert run_docs_example("events.md", tmp_path) == ("'Trees talk back.' 4\ngap True ['transition', 'transition', 'tick_end']\n"
                           "['halt', 'transition', 'end']\n")


# ------------------------------------------------------------ distributed


@pytest.fixture(scope="module")
def dist_engine():
    yield from two_worker_engine("Talk", talk, PORTS)


@pytest.fixture(params=["thread", "distributed"])
def engine(request, make_engine):
    yield from each_engine(request, make_engine, "dist_engine", "Talk", talk, PORTS)


def test_async_events_while_the_loop_stays_free(engine):
    async def main():
        face = AsyncEngine(engine)
        await face.create_tree_from_text(XML, "a")
        await face.create_tree_from_text(XML, "b")
        subs = {t: face.events(t) for t in ("a", "b")}
        await asyncio.gather(*(face.tick_n_times(t, 3) for t in ("a", "b")))
        await face.stop_tree("a")
        await face.stop_tree("b")

        async def read(sub):
            return [ev async for ev in sub]

        got = await asyncio.wait_for(asyncio.gather(*(read(s) for s in subs.values())), 30)
        await face.aclose()
        return dict(zip(subs, got)), subs

    got, subs = asyncio.run(main())
    for tree_id, evs in got.items():
        assert kinds(evs) == ticks(3) + ["halt", "transition", "end"]
        assert {e["tree_id"] for e in evs} == {tree_id}
        assert [e["payload"] for e in evs if e["kind"] == "token"] == list(WORDS) * 3
    if hasattr(engine, "worker_of"):
        assert {subs[t].worker for t in got} == {0, 1}
        assert all(e["worker"] == subs[t].worker for t, evs in got.items() for e in evs)


def emit_lock(node):
    node.emit("thing", threading.Lock())
    node.emit("thing", "fine")
    return NodeStatus.SUCCESS


def test_distributed_gap_and_payload_that_cannot_cross(dist_engine):
    dist_engine.register_action_behavior("EmitLock", emit_lock, [])
    dist_engine.create_tree_from_text(XML, "g")
    dist_engine.create_tree_from_text(XML.replace('<AlwaysSuccess name="ok"/>', "<EmitLock/>"), "lock")
    try:
        sub = events.subscribe(dist_engine, "g", buffer=7)
        dist_engine.tick_n_times("g", 20)
        got = drain(sub, 1.0)
        assert got[0]["kind"] == "gap" and got[0]["missed"] == len(ticks(20)) - 7 and len(got) == 8
        assert got[1:] == [{**e, "worker": sub.worker} for e in got[1:]]
        sub.close()
        with events.subscribe(dist_engine, "lock") as sub:
            dist_engine.tick_once("lock")
            things = [e for e in drain(sub, 1.0) if e["kind"] == "thing"]
        assert things[0]["payload"] is None and "cannot cross processes" in things[0]["payload_error"]
        assert things[1]["payload"] == "fine" and "payload_error" not in things[1]
    finally:
        dist_engine.stop_all_trees()


# ---------------------------------------------------- the monitor over workers


def trees_of_two_workers(engine, names=("alpha", "beta", "gamma", "delta")):
    for name in names:
        engine.create_tree_from_text(XML, name)
    return {name: engine.worker_of(name)[0] for name in names}


def listed(url, want, timeout=20.0):
    deadline = time.monotonic() + timeout
    while True:
        with urllib.request.urlopen(url + "api/trees", timeout=10) as answer:
            trees = json.load(answer)["trees"]
        if {t["label"].split(" ")[0] for t in trees} >= want or time.monotonic() > deadline:
            return trees
        time.sleep(0.2)


def test_monitor_lists_every_workers_trees_and_records_one(dist_engine, tmp_path):
    from brannox import monitor

    placed = trees_of_two_workers(dist_engine)
    assert set(placed.values()) == {0, 1}
    handle = monitor.serve(dist_engine)
    try:
        trees = listed(handle.url, set(placed))
        assert sorted(t["label"] for t in trees) == sorted(f"{name} · worker {w}" for name, w in placed.items())
        assert all(t["tree_id"] == "Main" and t["alive"] for t in trees)
        dist_engine.tick_once("alpha")
        path = tmp_path / "alpha.jsonl"
        with monitor.record(dist_engine, "alpha", path):
            dist_engine.tick_once("alpha")
            dist_engine.set_blackboard_data("alpha", "note", [1, 2])
        head, evs = monitor.load(path)
        assert head["tree"] == "alpha" and [n["name"] for n in head["nodes"]] == ["main", "talk", "ok"]
        assert head["statuses"][0] == "SUCCESS"
        assert [(e["node"], e["to"]) for e in evs if e["type"] == "transition"] == [
            (1, "SUCCESS"), (2, "SUCCESS"), (1, "IDLE"), (2, "IDLE")]
        assert [e["value"]["repr"] for e in evs if e["type"] == "blackboard"] == ["'Hello!'", "[1, 2]"]
        dist_engine.stop_tree("beta")
        deadline = time.monotonic() + 20
        def beta_alive():
            return [t["alive"] for t in listed(handle.url, set()) if t["label"].startswith("beta ")] == [True]

        while beta_alive() and time.monotonic() < deadline:
            time.sleep(0.2)
        assert not beta_alive()
    finally:
        handle.close()
        dist_engine.stop_all_trees()


CHROMIUM_ARGS = ["--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-background-networking",
                 "--disable-component-update", "--no-first-run", "--proxy-server=127.0.0.1:9"]


def test_monitor_page_in_chromium_lists_two_workers_trees(dist_engine):
    if os.environ.get("MTHREAD_SANITIZED") or sys.version_info[:2] != (3, 10):
        pytest.skip("browser tests run in the CPython 3.10 leg, not under the sanitizers")
    import shutil

    from playwright.sync_api import expect, sync_playwright

    from brannox import monitor

    placed = trees_of_two_workers(dist_engine)
    try:
        with monitor.serve(dist_engine) as handle, sync_playwright() as p:
            browser = p.chromium.launch(executable_path=shutil.which("chromium"), headless=True,
                                        args=CHROMIUM_ARGS, timeout=60_000)
            page = browser.new_page(viewport={"width": 1280, "height": 800})
            page.set_default_timeout(20_000)
            errors = []
            page.on("pageerror", lambda e: errors.append(str(e)))
            page.goto(handle.url)
            expect(page.locator("#trees li")).to_have_count(len(placed))
            for worker in (0, 1):
                expect(page.locator("#trees li", has_text=f"worker {worker}")).to_have_count(
                    sum(w == worker for w in placed.values()))
            page.locator("#trees li", has_text="alpha").click()
            expect(page.locator("#title")).to_contain_text("alpha")
            graph_root = page.locator('#graph g.node[data-id="0"]')
            expect(graph_root).to_have_attribute("data-status", "IDLE")
            dist_engine.tick_once("alpha")
            expect(graph_root).to_have_attribute("data-status", "SUCCESS")
            expect(page.locator("#events")).to_contain_text("talk")
            dist_engine.set_blackboard_data("alpha", "note", "from the driver")
            expect(page.locator('#bb tr[data-key="note"] td.value')).to_have_text("'from the driver'")
            artefacts = pathlib.Path(__file__).resolve().parent.parent / "build" / "test-artifacts"
            artefacts.mkdir(parents=True, exist_ok=True)
            page.screenshot(path=str(artefacts / "monitor-distributed.png"), full_page=True)
            browser.close()
            assert not errors, errors
    finally:
        dist_engine.stop_all_trees()


def test_a_lost_worker_ends_the_subscription(dist_engine):
    # Last in the module: the worker is killed (the engine starts a fresh one in its slot).
    import ray

    dist_engine.create_tree_from_text(XML, "doomed")
    try:
        sub = events.subscribe(dist_engine, "doomed")
        ray.kill(dist_engine.worker_of("doomed")[1], no_restart=True)
        last = drain(sub, 30.0)[-1]
        assert last["kind"] == "end" and last["worker"] == sub.worker and "Actor" in last["error"]
        assert sub.get(0) is None
    finally:
        dist_engine.stop_all_trees()
