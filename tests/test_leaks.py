"""Repeated commands, creations and stops leave no references, objects or memory behind."""
import gc
import os
import sys
import threading
import types

import pytest

from helpers import PORTS, XML, Call, UnstartableThread, say


def commands(engine, tid, key, value):
    engine.set_blackboard_data(tid, key, value)
    assert engine.get_blackboard_data(tid, key) is value
    engine.tick_once(tid)
    engine.tick_n_times(tid, 2)
    engine.get_tree_status(tid)
    engine.get_all_blackboard_data(tid)
    engine.reset_tree(tid)
    for bad in (lambda: engine._send_command(tid, "bogus", {"v": value}),
                lambda: engine.set_blackboard_data(tid, "", value)):
        try:
            bad()
        except RuntimeError:
            pass


def scenario(mt, monkeypatch, name, engine, tid, key, value):
    """One round of `name`; the tree is always gone afterwards."""
    if name == "commands":
        engine.create_tree_from_text(XML, tid)
        for _ in range(3):
            commands(engine, tid, key, value)
        engine.stop_tree(tid)
    elif name == "failed_setup":
        engine.create_tree_from_text("<broken", tid)
        for _ in range(3):
            with pytest.raises(RuntimeError):
                engine.get_blackboard_data(tid, key)
        engine.stop_tree(tid)
    elif name == "failed_start":
        monkeypatch.setattr(mt, "threading", types.SimpleNamespace(Condition=threading.Condition, Thread=UnstartableThread))
        with pytest.raises(RuntimeError):
            engine.create_tree_from_text(XML, tid)
        monkeypatch.setattr(mt, "threading", threading)
    elif name == "duplicate_and_missing":
        engine.create_tree_from_text(XML, tid)
        with pytest.raises(ValueError):
            engine.create_tree_from_text(XML, tid)
        engine.stop_tree(tid)
        for call in (lambda: engine.stop_tree(tid), lambda: engine.set_blackboard_data(tid, key, value)):
            with pytest.raises(ValueError):
                call()
    elif name == "racing_stop":
        engine.create_tree_from_text(XML, tid)

        def hammer():
            for _ in range(5):
                try:
                    engine.set_blackboard_data(tid, key, value)
                    engine.get_blackboard_data(tid, key)
                except (RuntimeError, ValueError):  # refused once the stop has begun
                    pass

        callers = [Call(hammer) for _ in range(2)]
        engine.stop_tree(tid)
        for call in callers:
            call.outcome()
    elif name == "dropped_engine":
        other = mt.ThreadEngine()
        other.register_action_behavior("Say", say, PORTS)
        other.create_tree_from_text(XML, tid)
        commands(other, tid, key, value)
        other.create_tree_from_text("<broken", "broken")
        other.stop_tree(tid)
        other.trees["broken"]["thread"].join(10)
        del other  # __del__ stops the failed tree


def tracked(mt):
    gc.collect()
    objs = gc.get_objects()
    return {"engines": sum(isinstance(o, mt.ThreadEngine) for o in objs),
            "records": sum(type(o) is dict and "cond" in o and "thread" in o for o in objs),
            "threads": sum(isinstance(o, threading.Thread) for o in objs)}


SCENARIOS = ["commands", "failed_setup", "failed_start", "duplicate_and_missing", "racing_stop", "dropped_engine"]


@pytest.mark.parametrize("name", SCENARIOS)
def test_references_and_objects_back_to_baseline(mt, log, monkeypatch, in_daemon, name):
    def body():
        engine = mt.ThreadEngine()
        tick = lambda node: say(node)  # noqa: E731 - a function object of our own to count
        engine.register_action_behavior("Say", tick, PORTS)
        tid, key, value = "".join(["leak-", name]), "".join(["k", "ey"]), ["payload"]
        watched = {"engine": engine, "tick": tick, "tid": tid, "key": key, "value": value}
        scenario(mt, monkeypatch, name, engine, tid, key, value)  # warm-up: caches, interned texts
        gc.collect()
        refs, objs = {n: sys.getrefcount(o) for n, o in watched.items()}, tracked(mt)
        for _ in range(300):
            scenario(mt, monkeypatch, name, engine, tid, key, value)
        log.lines.clear()
        gc.collect()
        assert {n: sys.getrefcount(o) for n, o in watched.items()} == refs
        assert tracked(mt) == objs
        assert engine.trees == {}

    in_daemon(body, timeout=120)


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
@pytest.mark.skipif(bool(os.environ.get("MTHREAD_SANITIZED")), reason="the sanitizer holds freed memory in quarantine")
def test_memory_stays_flat(mt, log, monkeypatch, in_daemon):
    def body():
        engine = mt.ThreadEngine()
        engine.register_action_behavior("Say", say, PORTS)

        def rounds(n):
            for i in range(n):
                scenario(mt, monkeypatch, SCENARIOS[i % len(SCENARIOS)], engine, f"m{i % 7}", "key", [i] * 100)
                if i % 100 == 0:
                    log.lines.clear()

        rounds(300)
        gc.collect()
        start = rss_bytes()
        rounds(2000)
        gc.collect()
        return rss_bytes() - start

    growth = in_daemon(body, timeout=240)
    assert growth < 16 * 1024 * 1024, f"RSS grew by {growth} bytes"
