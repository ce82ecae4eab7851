"""Many trees and callers at once: every call ends, answers never cross, no thread is left."""
import gc
import random
import threading
import time

import pytest

from brannox.core import NodeStatus
from helpers import PORTS, XML, say

TREES, CALLERS, SECONDS = 16, 32, 3.0
STABLE = [f"s{i}" for i in range(TREES // 2)]     # never stopped: answers must be exact
VOLATILE = [f"v{i}" for i in range(TREES // 2)]   # stopped and created again by callers


def is_statuses(value, n):
    return type(value) is list and len(value) == n and all(isinstance(s, NodeStatus) for s in value)


def caller(engine, i, deadline, unexpected, done):
    """One caller: random operations; records anything that a correct engine cannot produce."""
    rng, key = random.Random(i), f"c{i}"
    while time.monotonic() < deadline:
        tid = rng.choice(STABLE + VOLATILE)
        op = rng.choice(["rw", "rw", "tick", "ticks", "status", "all", "reset", "until", "unknown",
                         "failing", "restart", "bad"])
        expected = (ValueError, RuntimeError) if tid in VOLATILE else ()
        try:
            if op == "rw":
                token = (i, object())
                engine.set_blackboard_data(tid, key, token)
                got = engine.get_blackboard_data(tid, key)
                ok = got is token or (tid in VOLATILE and got is None)  # None: created again in between
            elif op == "tick":
                ok = isinstance(engine.tick_once(tid), NodeStatus)
            elif op == "ticks":
                n = rng.randrange(4)
                ok = is_statuses(engine.tick_n_times(tid, n), n)
            elif op == "status":
                ok = engine.get_tree_status(tid)["loaded"] is True
            elif op == "all":
                ok = type(engine.get_all_blackboard_data(tid)) is dict
            elif op == "reset":
                ok = engine.reset_tree(tid) is None
            elif op == "until":
                ok = engine.tick_until_success(tid) == 1
            elif op in ("unknown", "failing"):
                expected = (RuntimeError,) + expected
                if op == "unknown":
                    engine._send_command(tid, "bogus")
                else:
                    engine.set_blackboard_data(tid, "", 1)  # the core refuses empty keys
                ok = False
            elif op == "restart":
                tid = rng.choice(VOLATILE)
                expected = (ValueError, RuntimeError)
                engine.stop_tree(tid)
                engine.create_tree_from_text(XML, tid)
                ok = True
            else:
                tid, expected = f"bad{i}", ()
                engine.create_tree_from_text("<broken", tid)
                try:
                    engine.tick_once(tid)
                    ok = False
                except RuntimeError as exc:
                    ok = f"行为树线程 {tid} 发生错误: " in str(exc)
                engine.stop_tree(tid)
            if not ok:
                unexpected.append((op, tid, "wrong answer"))
        except expected:
            pass
        except BaseException as exc:
            unexpected.append((op, tid, repr(exc)))
        done[op] = done.get(op, 0) + 1


def tree_threads():
    return {t for t in threading.enumerate() if t.name.endswith("(_run_tree)")}


@pytest.mark.slow
def test_many_trees_many_callers(mt, make_engine, log, in_daemon):
    engine = make_engine()
    engine.register_action_behavior("Say", say, PORTS)
    gc.collect()
    before = tree_threads()

    def body():
        for tid in STABLE + VOLATILE:
            engine.create_tree_from_text(XML, tid)
        unexpected, done = [], {}
        deadline = time.monotonic() + SECONDS
        callers = [threading.Thread(target=caller, args=(engine, i, deadline, unexpected, done),
                                    name=f"caller-{i}", daemon=True) for i in range(CALLERS)]
        for t in callers:
            t.start()
        for t in callers:
            t.join(SECONDS + 60)
        hung = [t.name for t in callers if t.is_alive()]
        assert hung == [], "callers did not return"
        assert set(STABLE) <= set(engine.get_tree_ids())
        engine.stop_all_trees()
        return unexpected, done

    unexpected, done = in_daemon(body, timeout=SECONDS + 90)
    assert unexpected == []
    assert set(done) == {"rw", "tick", "ticks", "status", "all", "reset", "until", "unknown", "failing",
                         "restart", "bad"}
    assert engine.get_tree_ids() == []
    assert tree_threads() - before == set()
    # Each failure is logged by the thread that met it.
    for level, text, thread in log.lines:
        if text.startswith(("未知命令类型", "处理命令", "行为树线程")):
            assert thread.endswith("(_run_tree)"), (text, thread)
        elif text.startswith(("行为树 ", "行为树ID", "创建行为树", "停止行为树")):
            assert not thread.endswith("(_run_tree)"), (text, thread)
