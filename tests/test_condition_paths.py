"""A record's condition is driven natively when it is an unmodified
threading.Condition and through its Python methods otherwise: both ways give
the same answers and leave the lock and the waiter list in the same states."""
import inspect
import json
import os
import re
import signal
import subprocess
import sys
import threading
import time
import types

import pytest

from helpers import Call, child_script, until

XML = "<root/>"  # the stand-in core ignores it
ORIGINAL = {n: threading.Condition.__dict__[n] for n in ("__enter__", "__exit__", "wait", "notify")}
CODES = {f.__code__ for f in ORIGINAL.values()}
_lines, _first = inspect.getsourcelines(ORIGINAL["wait"])
# Line of the blocking acquire inside wait()'s try block (the second bare one).
BLOCKING_LINE = _first + [i for i, line in enumerate(_lines) if line.strip() == "waiter.acquire()"][-1]


class Sub(threading.Condition):
    pass


def variant(name, monkeypatch):
    """(condition factory, list the variant's own hooks append the condition to, or None)."""
    seen = []
    if name == "counting subclass":
        class Counting(threading.Condition):
            def wait(self, timeout=None):
                seen.append(self)
                return super().wait(timeout)

            def notify(self, n=1):
                seen.append(self)
                return super().notify(n)
        return Counting, seen
    if name == "class wait patched":
        def wait(self, timeout=None):
            seen.append(self)
            return ORIGINAL["wait"](self, timeout)
        monkeypatch.setattr(threading.Condition, "wait", wait)
        return threading.Condition, seen
    if name == "instance notify":
        def make():
            cond = threading.Condition()
            cond.notify = lambda n=1: (seen.append(cond), ORIGINAL["notify"](cond, n))[1]
            return cond
        return make, seen
    if name == "instance release_save":
        def make():
            cond = threading.Condition()
            inner = cond._release_save
            cond._release_save = lambda: (seen.append(cond), inner())[1]
            return cond
        return make, seen
    if name == "allocate_lock patched":
        original = threading._allocate_lock

        def allocate():
            seen.append(sys._getframe(1).f_locals.get("self"))
            return original()
        monkeypatch.setattr(threading, "_allocate_lock", allocate)
        return threading.Condition, seen
    if name == "list waiters":
        def make():
            cond = threading.Condition()
            cond._waiters = []
            return cond
        return make, None
    return {"standard": threading.Condition, "subclass": Sub,
            "plain lock": lambda: threading.Condition(threading.Lock()),
            "python rlock": lambda: threading.Condition(threading._PyRLock())}[name], None


ALL = ["standard", "subclass", "counting subclass", "class wait patched", "instance notify",
       "instance release_save", "allocate_lock patched", "plain lock", "python rlock", "list waiters"]


@pytest.fixture
def conditions(mt, monkeypatch):
    """Makes new records use a variant's conditions and a stand-in core whose tick_once calls `tick`."""
    def use(name, tick=lambda: "ticked"):
        factory, seen = variant(name, monkeypatch)
        monkeypatch.setattr(mt, "threading", types.SimpleNamespace(Condition=factory, Thread=threading.Thread))
        core = {"__init__": lambda self: setattr(self, "board", {}),
                "register_action_behavior": lambda self, *args: None,
                "create_tree_from_text": lambda self, xml: None,
                "tick_once": lambda self: tick(),
                "get_blackboard_data": lambda self, key: self.board.get(key),
                "set_blackboard_data": lambda self, key, value: self.board.__setitem__(key, value)}
        monkeypatch.setattr(mt, "SequentialEngine", type("Core", (), core))
        return seen
    return use


@pytest.fixture
def python_calls():
    """Counts Python-level runs of Condition's own methods on an object, in threads started from now on."""
    selves = []

    def hook(frame, event, arg):
        if event == "call" and frame.f_code in CODES:
            selves.append(frame.f_locals.get("self"))
    threading.setprofile(hook)
    yield lambda obj: sum(s is obj for s in selves)
    threading.setprofile(None)


def lock_state(lock):
    """(owner ident, recursion count) of an RLock; None for a plain lock."""
    if hasattr(lock, "_count"):  # the Python RLock
        return lock._owner or 0, lock._count
    m = re.search(r"owner=(\d+) count=(\d+)", repr(lock))
    return m and (int(m[1]), int(m[2]))


def free(lock):
    got = lock.acquire(blocking=False)
    if got:
        lock.release()
    return got


def exercise(engine, tid, callers=4, rounds=15):
    def caller(i):
        for j in range(rounds):
            engine.set_blackboard_data(tid, f"k{i}", (i, j))
            assert engine.get_blackboard_data(tid, f"k{i}") == (i, j)
            assert engine.tick_once(tid) == "ticked"
    for call in [Call(caller, i) for i in range(callers)]:
        call.outcome()


@pytest.mark.parametrize("name", ALL)
def test_commands_and_stop_work_and_the_right_path_is_taken(engine, conditions, python_calls, in_daemon, name):
    seen = conditions(name)

    def body():
        engine.create_tree_from_text(XML, "t")
        rec = engine.trees["t"]
        exercise(engine, "t")
        engine.stop_tree("t")
        return rec
    rec = in_daemon(body)
    cond = rec["cond"]
    assert "t" not in engine.trees and not rec["thread"].is_alive()
    assert len(cond._waiters) == 0 and free(cond._lock)
    # Only the unmodified standard condition may bypass Condition's Python code.
    assert (python_calls(cond) == 0) == (name == "standard")
    if seen is not None:
        assert any(s is cond for s in seen)


@pytest.mark.parametrize("name", ALL)
def test_lock_and_waiter_states_during_and_after_a_command(engine, conditions, in_daemon, name):
    entered, gate, inside, box = threading.Event(), threading.Event(), {}, {}
    reentrant = name != "plain lock"

    def tick():
        cond = box["cond"]
        inside["owned"] = cond._is_owned()
        if reentrant:
            with cond:  # the holder acquires again
                inside["nested"] = lock_state(cond._lock)
            inside["after nested"] = lock_state(cond._lock)
        entered.set()
        gate.wait(10)
        return "slow"
    conditions(name, tick)

    def body():
        engine.create_tree_from_text(XML, "t")
        rec = engine.trees["t"]
        cond = box["cond"] = rec["cond"]
        until(lambda: len(cond._waiters) == 1)  # the tree thread waits for a command
        caller = Call(engine.tick_once, "t")
        try:
            assert entered.wait(10)
            waiters = list(cond._waiters)
            during = ([w.locked() for w in waiters], free(cond._lock), lock_state(cond._lock), rec["command"][0])
        finally:
            gate.set()
        assert caller.outcome() == "slow"
        until(lambda: len(cond._waiters) == 1)
        left = list(cond._waiters)
        after = (left[0] is waiters[0], left[0].locked(), rec["command"][0], rec["result"][0],
                 cond._is_owned(), free(cond._lock))
        ident = rec["thread"].ident
        engine.stop_tree("t")
        return during, after, ident
    during, after, ident = in_daemon(body)
    # The caller is the only waiter, still blocked; the tree thread holds the lock once.
    assert during[:2] == ([True], False)
    assert during[3] == {"type": "tick_once", "params": {}}
    assert inside["owned"] is True
    if reentrant:
        assert during[2] == (ident, 1)
        assert inside["nested"] == (ident, 2) and inside["after nested"] == (ident, 1)
    # Answered: both slots empty, the tree thread is the one waiter, the lock is free.
    assert after == (False, True, None, None, False, True)


@pytest.mark.parametrize("name", ["standard", "subclass"])
def test_a_released_waiter_left_at_the_head_is_dropped_not_counted(engine, conditions, in_daemon, name):
    conditions(name)

    def body():
        engine.create_tree_from_text(XML, "t")
        cond = engine.trees["t"]["cond"]
        until(lambda: len(cond._waiters) == 1)
        stale = threading.Lock()  # as left by a notify interrupted between release and removal
        with cond:
            cond._waiters.appendleft(stale)
        answer = engine.tick_once("t")  # its notify must still reach the tree thread
        until(lambda: len(cond._waiters) == 1)
        left = stale in cond._waiters
        engine.stop_tree("t")
        return answer, left
    assert in_daemon(body) == ("ticked", False)


@pytest.mark.parametrize("name", ["standard", "subclass", "plain lock", "list waiters"])
def test_python_waiters_on_a_live_condition_coexist_with_commands(engine, conditions, in_daemon, name):
    conditions(name)

    def body():
        engine.create_tree_from_text(XML, "t")
        rec = engine.trees["t"]
        cond, done, torn, rounds = rec["cond"], threading.Event(), [], [0]

        def observer():
            while not done.is_set():
                with cond:
                    cond.wait(0.005)
                    # The tree thread holds the lock for a whole command, so a
                    # command and its answer are never seen together.
                    if rec["command"][0] is not None and rec["result"][0] is not None:
                        torn.append((rec["command"][0], rec["result"][0]))
                    cond.notify()  # pass on a wake-up this thread may have taken from the record's waiters
                rounds[0] += 1
        observers = [Call(observer) for _ in range(2)]
        try:
            exercise(engine, "t", callers=3, rounds=20)
        finally:
            done.set()
        for o in observers:
            o.outcome()
        until(lambda: len(cond._waiters) == 1)
        assert engine.tick_once("t") == "ticked"
        until(lambda: len(cond._waiters) == 1)
        state = (rec["command"][0], rec["result"][0], free(cond._lock))
        engine.stop_tree("t")
        return torn, rounds[0], state, len(cond._waiters)
    torn, rounds, state, left = in_daemon(body, timeout=60)
    assert torn == [] and rounds > 0
    assert state == (None, None, True) and left == 0


@pytest.mark.parametrize("name", ["standard", "counting subclass"])
@pytest.mark.parametrize("window", ["during tick", "before pickup"])
def test_interrupted_caller_leaves_lock_free_and_no_waiter(engine, conditions, in_daemon, name, window):
    main = threading.main_thread()
    if threading.current_thread() is not main:
        pytest.skip("signal handlers run only in the main thread")
    entered, gate, fired, armed = threading.Event(), threading.Event(), threading.Event(), [False]
    answers = iter(range(1, 100))

    def tick():
        n = next(answers)
        if n == 1 and window == "during tick":
            entered.set()
            gate.wait(10)
        return n
    conditions(name, tick)
    in_daemon(engine.create_tree_from_text, XML, "t")  # a daemon tree thread
    rec = engine.trees["t"]
    cond = rec["cond"]
    until(lambda: len(cond._waiters) == 1)
    stolen = None
    if window == "before pickup":
        with cond:
            stolen = cond._waiters.popleft()  # the tree thread misses the next notify

    def blocked():
        ready = entered.is_set() if window == "during tick" else len(cond._waiters) == 1
        if name == "standard":
            return ready  # the native wait runs no bytecode in which a handler could raise
        # A Python wait must be inside its try block, which cleans up after an interrupt.
        frame = sys._current_frames().get(main.ident)
        return ready and frame.f_code is ORIGINAL["wait"].__code__ and frame.f_lineno == BLOCKING_LINE

    snapshot = []

    def interrupter():
        deadline = time.monotonic() + 10
        try:
            while not blocked() and time.monotonic() < deadline:
                time.sleep(0.001)
            snapshot.extend(cond._waiters)
            armed[0] = True
            while not fired.wait(0.02) and time.monotonic() < deadline:
                signal.pthread_kill(main.ident, signal.SIGUSR1)
        finally:
            armed[0] = False
            gate.set()
            if not fired.is_set() and stolen is not None:
                with cond:
                    stolen.release()  # never interrupted: let the caller finish

    def handler(signum, frame):
        if armed[0]:
            armed[0] = False
            fired.set()
            raise KeyboardInterrupt

    old = signal.signal(signal.SIGUSR1, handler)
    helper = threading.Thread(target=interrupter, daemon=True)
    helper.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            engine.tick_once("t")
    finally:
        helper.join(20)
        sum(range(10))  # lets a signal still pending reach the disarmed handler
        signal.signal(signal.SIGUSR1, old)
    assert not helper.is_alive() and fired.is_set()
    assert len(snapshot) == 1 and snapshot[0] is not stolen  # the caller's own waiter
    if stolen is not None:
        # The command was never picked up: the caller took it back.
        assert rec["command"] == [None] and rec["result"] == [None]
        assert len(cond._waiters) == 0 and free(cond._lock)
        with cond:
            stolen.release()
    until(lambda: len(cond._waiters) == 1)
    assert snapshot[0] not in cond._waiters
    assert rec["command"] == [None] and rec["result"] == [None] and free(cond._lock)
    # The next caller gets its own answer, not the interrupted one's.
    assert in_daemon(engine.tick_once, "t") == (2 if window == "during tick" else 1)
    assert in_daemon(engine.get_blackboard_data, "t", "k") is None


def test_path_is_chosen_at_each_use_not_at_creation(engine, conditions, python_calls, in_daemon, monkeypatch):
    conditions("standard")
    counted = []

    def notify(self, n=1):
        counted.append(self)
        return ORIGINAL["notify"](self, n)

    def body():
        engine.create_tree_from_text(XML, "t")
        cond = engine.trees["t"]["cond"]
        assert engine.tick_once("t") == "ticked"
        native = python_calls(cond)
        with monkeypatch.context() as m:
            m.setattr(threading.Condition, "notify", notify)
            for _ in range(3):
                assert engine.tick_once("t") == "ticked"
            patched = python_calls(cond)
        assert engine.tick_once("t") == "ticked"  # the tree thread's current wait began while patched
        settled = python_calls(cond)
        for _ in range(3):
            assert engine.tick_once("t") == "ticked"
        return cond, native, patched, settled, python_calls(cond)
    cond, native, patched, settled, last = in_daemon(body)
    assert native == 0 and patched > 0 and any(s is cond for s in counted)
    assert last == settled  # unpatched again: back to the native path


SPIN_SCRIPT = child_script(r"""
import json, os, signal
if sys.argv[1] == "one cpu":
    os.sched_setaffinity(0, {sorted(os.sched_getaffinity(0))[0]})
mt = install()
engine = mt.ThreadEngine()
out = {"bad": []}

def caller(tid, i):
    for j in range(150):
        engine.set_blackboard_data(tid, f"k{i}", j)
        if engine.get_blackboard_data(tid, f"k{i}") != j or engine.tick_once(tid) != "ticked":
            out["bad"].append((tid, i, j))

def make():
    for tid in ("a", "b"):
        engine.create_tree_from_text("<root/>", tid)
maker = threading.Thread(target=make, daemon=True)  # daemon tree threads
maker.start(); maker.join()
callers = [threading.Thread(target=caller, args=(t, i), daemon=True) for t in ("a", "b") for i in range(3)]
for c in callers: c.start()
for c in callers: c.join(60)
out["hung"] = any(c.is_alive() for c in callers)

# An answer that comes long after any spin has ended.
engine.set_blackboard_data("a", "delay", 0.2)
out["slow"] = engine.tick_once("a")

# Ctrl-C while the caller waits for a tree thread that missed its wake-up
# (its waiter taken off the list): the wait ends at once.
cond = engine.trees["b"]["cond"]
while len(cond._waiters) != 1:
    time.sleep(0.001)
with cond:
    stolen = cond._waiters.popleft()
rescued = []

def rescue():
    with cond:
        rescued.append(True)
        stolen.release()
def interrupt(signum, frame):
    raise KeyboardInterrupt
signal.signal(signal.SIGUSR1, interrupt)  # SIGINT may be ignored when started in the background
threading.Timer(0.02, signal.pthread_kill, (threading.main_thread().ident, signal.SIGUSR1)).start()
watchdog = threading.Timer(10, rescue)
watchdog.start()
try:
    engine.tick_once("b")
    out["interrupted"] = False
except KeyboardInterrupt:
    out["interrupted"] = True
watchdog.cancel()
out["rescued"] = bool(rescued)
if not rescued:
    rescue()
out["after"] = engine.tick_once("b")
engine.stop_all_trees()
print(json.dumps(out))
""")


@pytest.mark.parametrize("setting", [{"MTHREAD_SPIN_US": "0"}, {"MTHREAD_SPIN_US": "100000"},
                                     {"MTHREAD_SPIN_US": "junk"}, "one cpu"],
                         ids=["spin off", "spin 100 ms", "unreadable setting", "one cpu"])
def test_spin_settings_change_timing_only(setting):
    """Waits spin before blocking, from a process-wide setting read once: each
    setting gives the same answers, and Ctrl-C that comes during a long spin
    still ends the wait instead of leaving it blocked."""
    env = dict(os.environ)
    env.pop("MTHREAD_SPIN_US", None)
    arg = setting if isinstance(setting, str) else "default"
    if isinstance(setting, dict):
        env.update(setting)
    proc = subprocess.run([sys.executable, "-c", SPIN_SCRIPT, arg], env=env, capture_output=True,
                          text=True, timeout=120, stdin=subprocess.DEVNULL)
    assert proc.returncode == 0, proc.stderr
    out = json.loads(proc.stdout.strip().splitlines()[-1])
    assert out == {"bad": [], "hung": False, "slow": "ticked", "interrupted": True, "rescued": False,
                   "after": "ticked"}
