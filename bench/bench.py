#!/usr/bin/env python3
"""Cost of the thread engine's command hand-off, beside what Python threads allow.

Every figure is measured in one process, in rounds: each round runs every
measurement once, in a shuffled order, so drift and noise hit all of them
alike. Tables show the median over rounds and the best round; ratios are the
median of the per-round ratios (engine and baseline measured in the same round).

Baselines:
  limit  two bare `_thread` lock hand-offs between two Python threads per
         round trip: the best Python threads can do when every hand-off
         puts the waiting thread to sleep in the kernel.
  floor  the engine's record protocol (one threading.Condition, one-element
         list slots) written in plain Python, doing nothing else.

Run:  python bench/bench.py [--quick] [--json PATH] [--trees 200,2000,10000]
"""

from __future__ import annotations

import _thread
import argparse
import asyncio
import datetime
import gc
import json
import os
import platform
import random
import resource
import statistics
import subprocess
import sys
import threading
import time
import traceback

import brannox.engine.trigger.mthread as mt
from brannox.aio import AsyncEngine
from brannox.core import NodeStatus
from brannox.engine.sequential_engine import SequentialEngine

pc = time.perf_counter

XML_TINY = '<root BTCPP_format="4"><BehaviorTree ID="M"><AlwaysSuccess/></BehaviorTree></root>'
# The core section's tree: a Sequence of 9 Sequences of 10 trivial actions, 100 nodes.
XML_CORE_100 = ('<root BTCPP_format="4"><BehaviorTree ID="M"><Sequence>'
                + ("<Sequence>" + "<Nop/>" * 10 + "</Sequence>") * 9
                + "</Sequence></BehaviorTree></root>")
PAGE = os.sysconf("SC_PAGE_SIZE")
HERE = os.path.dirname(os.path.abspath(__file__))


# ----------------------------------------------------------------- stand-ins

class TrivialCore:
    """A core that does no work, so that only the hand-off is measured."""

    def register_action_behavior(self, action_id, tick_functor, ports_list=None):
        pass

    def register_action_class(self, cls, action_id=None):
        pass

    def create_tree_from_text(self, xml_text):
        pass

    def tick_once(self):
        return NodeStatus.SUCCESS

    def get_blackboard_data(self, key):
        return 1

    def set_blackboard_data(self, key, value):
        pass


class NoOpLogger:
    """Keeps log formatting and stderr writes out of the figures."""

    def info(self, *a, **k):
        pass

    error = warning = debug = info


# ------------------------------------------------------------------ helpers

class Hung(Exception):
    pass


def guarded(fn, timeout, name):
    """Runs fn on a daemon thread: a hang then cannot keep the benchmark (or
    the trees it creates, which inherit daemon status) alive."""
    box = {}

    def body():
        try:
            box["value"] = fn()
        except BaseException as e:  # reported by the caller
            box["error"] = e
            box["tb"] = traceback.format_exc()

    t = threading.Thread(target=body, name=f"bench-{name}", daemon=True)
    t.start()
    t.join(timeout)
    if t.is_alive():
        raise Hung(f"{name} did not finish within {timeout:.0f} s")
    if "error" in box:
        raise box["error"]
    return box["value"]


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def read_int(path):
    try:
        with open(path) as f:
            s = f.read().strip()
        return None if s == "max" else int(s)
    except (OSError, ValueError):
        return None


def proc_field(path, key):
    try:
        with open(path) as f:
            for line in f:
                if line.startswith(key + ":"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def fmt_lim(v):
    return "unlimited" if v in (None, resource.RLIM_INFINITY) else str(v)


def limits_snapshot():
    """What may stop a new thread from starting, read while the threads are live."""
    s = {}
    s["threads_in_process"] = proc_field("/proc/self/status", "Threads")
    try:
        with open("/proc/loadavg") as f:
            s["tasks_on_system"] = int(f.read().split()[3].split("/")[1])
    except (OSError, ValueError, IndexError):
        s["tasks_on_system"] = None
    s["threads_max"] = read_int("/proc/sys/kernel/threads-max")
    s["pid_max"] = read_int("/proc/sys/kernel/pid_max")
    s["rlimit_nproc"] = resource.getrlimit(resource.RLIMIT_NPROC)[0]
    s["rlimit_as"] = resource.getrlimit(resource.RLIMIT_AS)[0]
    s["rlimit_stack"] = resource.getrlimit(resource.RLIMIT_STACK)[0]
    s["thread_stack_size"] = threading.stack_size() or s["rlimit_stack"]
    try:
        with open("/proc/self/maps") as f:
            s["map_count"] = sum(1 for _ in f)
    except OSError:
        s["map_count"] = None
    s["max_map_count"] = read_int("/proc/sys/vm/max_map_count")
    s["vm_size"] = int(open("/proc/self/statm").read().split()[0]) * PAGE
    s["mem_available_kib"] = proc_field("/proc/meminfo", "MemAvailable")
    s["committed_as_kib"] = proc_field("/proc/meminfo", "Committed_AS")
    s["commit_limit_kib"] = proc_field("/proc/meminfo", "CommitLimit")
    s["overcommit_memory"] = read_int("/proc/sys/vm/overcommit_memory")
    s["cgroup_pids_current"] = read_int("/sys/fs/cgroup/pids.current") or read_int(
        "/sys/fs/cgroup/pids/pids.current")
    s["cgroup_pids_max"] = read_int("/sys/fs/cgroup/pids.max") or read_int("/sys/fs/cgroup/pids/pids.max")
    return s


def suspect_limit(s, exc):
    """Names the limit that the snapshot shows exhausted (best effort: the
    interpreter's "can't start new thread" does not carry the errno)."""
    near = lambda used, lim: used is not None and lim not in (None, resource.RLIM_INFINITY) and used >= lim * 0.98
    stack = s["thread_stack_size"] if s["thread_stack_size"] != resource.RLIM_INFINITY else 8 << 20
    found = []
    if near(s["tasks_on_system"], s["threads_max"]):
        found.append(f"kernel.threads-max ({s['tasks_on_system']}/{s['threads_max']} tasks)")
    if near(s["tasks_on_system"], s["pid_max"]):
        found.append(f"kernel.pid_max ({s['tasks_on_system']}/{s['pid_max']})")
    if near(s["cgroup_pids_current"], s["cgroup_pids_max"]):
        found.append(f"cgroup pids.max ({s['cgroup_pids_current']}/{s['cgroup_pids_max']})")
    if os.geteuid() != 0 and near(s["tasks_on_system"], s["rlimit_nproc"]):
        found.append(f"RLIMIT_NPROC (ulimit -u {fmt_lim(s['rlimit_nproc'])}; {s['tasks_on_system']} tasks on system)")
    if near(s["map_count"], s["max_map_count"]):
        found.append(f"vm.max_map_count ({s['map_count']}/{s['max_map_count']} mappings)")
    if s["rlimit_as"] != resource.RLIM_INFINITY and s["vm_size"] + stack > s["rlimit_as"]:
        found.append(f"RLIMIT_AS (ulimit -v): {s['vm_size'] >> 20} MiB mapped + a {stack >> 20} MiB "
                     f"stack reservation > {s['rlimit_as'] >> 20} MiB")
    if (s["overcommit_memory"] == 2 and s["committed_as_kib"] is not None
            and s["committed_as_kib"] + (stack >> 10) > s["commit_limit_kib"]):
        found.append(f"vm.overcommit_memory=2 commit limit ({s['committed_as_kib']}/{s['commit_limit_kib']} KiB)")
    if isinstance(exc, MemoryError) or (s["mem_available_kib"] is not None and s["mem_available_kib"] < 65536):
        found.append(f"memory (MemAvailable {s['mem_available_kib']} KiB)")
    return "; ".join(found) or "not identified from /proc and rlimits"


def describe_failure(exc, created, what):
    s = limits_snapshot()
    return {
        "what": what,
        "created_before_failure": created,
        "error": f"{type(exc).__name__}: {exc}",
        "limit": suspect_limit(s, exc),
        "snapshot": s,
    }


# ------------------------------------------------------------- the baselines

ANSWER = ("tick_once", "t", 1)
COMMAND = {"type": "tick_once", "params": {}}


class LockPair:
    """The limit: request and reply are two plain locks, each released by the
    side that does not hold it."""

    def __init__(self):
        self.req = _thread.allocate_lock()
        self.rep = _thread.allocate_lock()
        self.req.acquire()
        self.rep.acquire()
        self.live = True
        self.thread = threading.Thread(target=self._serve, daemon=True, name="limit-server")
        self.thread.start()

    def _serve(self):
        req, rep = self.req, self.rep
        while True:
            req.acquire()
            if not self.live:
                rep.release()
                return
            rep.release()

    def round_trips(self, n):
        req, rep = self.req, self.rep
        t0 = pc()
        for _ in range(n):
            req.release()
            rep.acquire()
        return pc() - t0

    def loop_until(self, stop):
        req, rep = self.req, self.rep
        n = 0
        while not stop[0]:
            req.release()
            rep.acquire()
            n += 1
        return n

    def close(self):
        self.live = False
        self.req.release()
        self.rep.acquire()
        self.thread.join()


def floor_serve(rec):
    # The engine's tree-thread loop, minus the work: take the command under
    # the condition, answer, clear the slot, notify.
    cond, command, result = rec["cond"], rec["command"], rec["result"]
    while True:
        with cond:
            while command[0] is None:
                cond.wait()
            if command[0] is False:
                return
            result[0] = ANSWER
            command[0] = None
            cond.notify()


def floor_record():
    return {"cond": threading.Condition(), "command": [None], "result": [None], "thread": None}


def floor_call(rec):
    cond, command, result = rec["cond"], rec["command"], rec["result"]
    with cond:
        command[0] = COMMAND
        cond.notify()
        while result[0] is None:
            cond.wait()
        r = result[0]
        result[0] = None
    return r


def floor_stop(rec):
    cond = rec["cond"]
    with cond:
        rec["command"][0] = False
        cond.notify()
    rec["thread"].join()


class FloorServer:
    def __init__(self):
        self.rec = floor_record()
        self.rec["thread"] = threading.Thread(target=floor_serve, args=(self.rec,), daemon=True,
                                              name="floor-server")
        self.rec["thread"].start()

    def round_trips(self, n):
        # The caller side is inlined as in loop_until: a Python-level function
        # call per command would be a cost the engine's C++ caller does not pay.
        cond, command, result = self.rec["cond"], self.rec["command"], self.rec["result"]
        cmd = COMMAND
        t0 = pc()
        for _ in range(n):
            with cond:
                command[0] = cmd
                cond.notify()
                while result[0] is None:
                    cond.wait()
                result[0] = None
        return pc() - t0

    def loop_until(self, stop):
        cond, command, result = self.rec["cond"], self.rec["command"], self.rec["result"]
        cmd = COMMAND
        n = 0
        while not stop[0]:
            with cond:
                command[0] = cmd
                cond.notify()
                while result[0] is None:
                    cond.wait()
                result[0] = None
            n += 1
        return n

    def close(self):
        floor_stop(self.rec)


class EngineTree:
    """One live tree of the persistent engine, driven by one method."""

    def __init__(self, engine, tree_id, method="tick_once", args=()):
        self.engine, self.tree_id = engine, tree_id
        self.fn = getattr(engine, method)
        self.args = (tree_id,) + tuple(args)

    def round_trips(self, n):
        fn, args = self.fn, self.args
        t0 = pc()
        for _ in range(n):
            fn(*args)
        return pc() - t0

    def loop_until(self, stop):
        fn, args = self.fn, self.args
        n = 0
        while not stop[0]:
            fn(*args)
            n += 1
        return n


class AwaitedTree:
    """One tree driven through an AsyncEngine from an event loop of its own:
    the awaited round trip, beside the synchronous one of EngineTree."""

    def __init__(self, face, tree_id):
        self.face, self.tree_id = face, tree_id
        self.loop = asyncio.new_event_loop()

    def round_trips(self, n):
        async def awaited():
            tick, tree = self.face.tick_once, self.tree_id
            t0 = pc()
            for _ in range(n):
                await tick(tree)
            return pc() - t0

        return self.loop.run_until_complete(awaited())

    def close(self):
        self.loop.run_until_complete(self.face.aclose())
        self.loop.close()


class AsyncFloor:
    """The least any awaited command through a helper thread costs: the loop
    releases a parked thread's lock, the thread answers a future through
    call_soon_threadsafe at once, the loop wakes; nothing else."""

    def __init__(self):
        self.loop = asyncio.new_event_loop()
        self.park = threading.Lock()
        self.park.acquire()
        self.box = []
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        while True:
            self.park.acquire()
            future = self.box.pop()
            if future is None:
                return
            self.loop.call_soon_threadsafe(future.set_result, None)

    def round_trips(self, n):
        async def awaited():
            loop, box, release = self.loop, self.box, self.park.release
            t0 = pc()
            for _ in range(n):
                future = loop.create_future()
                box.append(future)
                release()
                await future
            return pc() - t0

        return self.loop.run_until_complete(awaited())

    def close(self):
        self.box.append(None)
        self.park.release()
        self.thread.join(5)
        self.loop.close()


class DirectCore:
    """Our own core ticked on the calling thread: how much of the engine's
    figure with our core is the core itself."""

    def __init__(self):
        self.core = SequentialEngine()
        self.core.create_tree_from_text(XML_TINY)

    def round_trips(self, n):
        tick = self.core.tick_once
        t0 = pc()
        for _ in range(n):
            tick()
        return pc() - t0


# -------------------------------------------------------------- core section

def nop_tick(node):
    return NodeStatus.SUCCESS


def core_section(rounds, ticks, timeout, seed):
    """Per-tick time of the 100-node tree: on the core directly, and through a
    ThreadEngine with the bundled core. Uses only what every version of the
    core offers, so the same script measures an older installation."""
    direct = SequentialEngine()
    direct.register_action_behavior("Nop", nop_tick, [])
    direct.create_tree_from_text(XML_CORE_100)
    assert direct.get_tree_status()["node_count"] == 100
    engine = mt.ThreadEngine()
    engine.register_action_behavior("Nop", nop_tick, [])
    engine.create_tree_from_text(XML_CORE_100, "core100")

    def on_core(n):
        tick = direct.tick_once
        t0 = pc()
        for _ in range(n):
            tick()
        return pc() - t0

    def via_engine(n):
        tick = engine.tick_once
        t0 = pc()
        for _ in range(n):
            tick("core100")
        return pc() - t0

    rows = {"core_direct": on_core, "core_engine": via_engine}
    figures = {k: [] for k in rows}
    cpu = {k: [] for k in rows}
    rng = random.Random(seed)
    try:
        for fn in rows.values():  # warm-up
            guarded(lambda fn=fn: fn(max(1, ticks // 10)), timeout, "core warm-up")
        for _ in range(rounds):
            order = list(rows.items())
            rng.shuffle(order)
            for name, fn in order:
                gc.collect()
                wall, cpu_time = guarded(lambda fn=fn: per_call(fn, ticks), timeout, name)
                figures[name].append(wall)
                cpu[name].append(cpu_time)
    finally:
        engine.stop_all_trees()
    print(f"\nCore: one tick of a 100-node tree of Sequences and trivial actions (us; {rounds} rounds of {ticks})")
    print("                                  wall: median    best   cpu: median    best")
    out = {}
    for name, label in (("core_direct", "on the core directly"), ("core_engine", "through ThreadEngine")):
        s, c = summary(figures[name]), summary(cpu[name])
        out[name] = {"median": s["median"] * 1e6, "best": s["best"] * 1e6,
                     "cpu_median": c["median"] * 1e6, "cpu_best": c["best"] * 1e6}
        print(f"  {label:<30} {s['median'] * 1e6:12.2f} {s['best'] * 1e6:7.2f} "
              f"{c['median'] * 1e6:12.2f} {c['best'] * 1e6:7.2f}")
    return out


# ------------------------------------------------------------- spans section

def spans_section(ticks, timeout, runs=3):
    """Per-tick time of the 100-node tree with brannox.otel: instrumented (spans
    to an exporter that drops them) and off again after uninstrument(), beside
    a twin that was never instrumented; on the core directly and through a
    ThreadEngine. Runs alternate (on, off, never; the order rotating), three
    of each; figures are medians, ratios medians of the per-run ratios."""
    try:
        from opentelemetry.sdk.trace import TracerProvider
        from opentelemetry.sdk.trace.export import SimpleSpanProcessor, SpanExporter, SpanExportResult

        from brannox import otel
    except ImportError as exc:
        print(f"\nSpans: skipped ({exc}; install the otel extra)")
        return None

    class Drop(SpanExporter):
        def export(self, spans):
            return SpanExportResult.SUCCESS

    provider = TracerProvider()
    provider.add_span_processor(SimpleSpanProcessor(Drop()))
    engines = {}
    for via in ("core", "engine"):
        for twin in ("traced", "never"):
            if via == "core":
                e = SequentialEngine()
                e.register_action_behavior("Nop", nop_tick, [])
                e.create_tree_from_text(XML_CORE_100)
                engines[via, twin] = (e, e.tick_once)
            else:
                e = mt.ThreadEngine()
                e.register_action_behavior("Nop", nop_tick, [])
                tid = e.create_tree_from_text(XML_CORE_100, f"spans-{twin}")
                engines[via, twin] = (e, lambda e=e, tid=tid: e.tick_once(tid))

    def timed(tick, n):
        def loop(n):
            t0 = pc()
            for _ in range(n):
                tick()
            return pc() - t0
        return per_call(loop, n)

    def measure(via, mode, n):
        engine, tick = engines[via, "never" if mode == "never" else "traced"]
        if mode != "on":
            return timed(tick, n)
        handle = otel.instrument(engine, tracer_provider=provider)
        try:
            tick()  # a ThreadEngine's tree is attached at its first command
            return timed(tick, n)
        finally:
            handle.uninstrument()

    modes = ("on", "off", "never")
    figures = {(via, mode): [] for via in ("core", "engine") for mode in modes}
    try:
        for via in ("core", "engine"):
            for mode in modes:
                guarded(lambda: measure(via, mode, max(1, ticks // 10)), timeout, "spans warm-up")
        for r in range(runs):
            for via in ("core", "engine"):
                order = modes[r % 3:] + modes[:r % 3]
                for mode in order:
                    gc.collect()
                    wall, cpu = guarded(lambda: measure(via, mode, ticks), timeout, f"spans {via} {mode}")
                    figures[via, mode].append(cpu)
    finally:
        for (via, _), (e, _) in engines.items():
            if via == "engine":
                e.stop_all_trees()
    print(f"\nSpans: one tick of the 100-node tree, CPU us (median of {runs} alternating runs of {ticks} ticks)")
    print("                         on      off    never   on÷never  off÷never")
    out = {}
    for via, label in (("core", "on the core directly"), ("engine", "through ThreadEngine")):
        med = {m: statistics.median(figures[via, m]) for m in modes}
        ratio = {m: statistics.median(a / b for a, b in zip(figures[via, m], figures[via, "never"]))
                 for m in ("on", "off")}
        out[via] = {"cpu_us_median": {m: v * 1e6 for m, v in med.items()},
                    "ratio_on_never": ratio["on"], "ratio_off_never": ratio["off"]}
        print(f"  {label:<20} {med['on'] * 1e6:8.1f} {med['off'] * 1e6:8.1f} {med['never'] * 1e6:8.1f} "
              f"{ratio['on']:9.2f} {ratio['off']:10.3f}")
    return out


# ------------------------------------------------------------ events section

EVENT_MODES = ("none", "reading", "stalled")


def events_section(rounds, ticks, timeout):
    """Time per tick of the core section's 100-node tree through a ThreadEngine
    (tick_n_times) with no subscriber, with one reading every event on a
    thread of its own, and with one that never reads. The never-reading one
    is timed once it has paused (its buffer full and a buffer's worth lost);
    the ticks it took to get there are reported apart, as a one-off cost.
    Each round runs the three, in an order rotated from round to round;
    ratios are per round, to no subscriber; medians."""
    from brannox import events

    engine = mt.ThreadEngine()
    engine.register_action_behavior("Nop", nop_tick, [])
    engine.create_tree_from_text(XML_CORE_100, "ev100")
    counts = {}
    fills = []

    def run(mode, n):
        sub, reader, stop = None, None, threading.Event()
        if mode != "none":
            sub = events.subscribe(engine, "ev100")
        if mode == "reading":
            def read():
                got = 0
                while not stop.is_set():
                    got += sub.get(0.05) is not None
                counts["read"] = got
            reader = threading.Thread(target=read, daemon=True)
            reader.start()
        try:
            if mode == "stalled":
                channel, filled, t0 = sub._source.channel, 0, pc()
                while not channel.paused:
                    engine.tick_once("ev100")
                    filled += 1
                fills.append((filled, (pc() - t0) / filled))
            t0 = pc()
            engine.tick_n_times("ev100", n)
            return (pc() - t0) / n
        finally:
            stop.set()
            if reader is not None:
                reader.join()
            if sub is not None:
                sub.close()

    figures = {m: [] for m in EVENT_MODES}
    try:
        for mode in EVENT_MODES:  # warm-up
            guarded(lambda mode=mode: run(mode, max(1, ticks // 10)), timeout, f"events warm-up {mode}")
        fills.clear()
        for r in range(rounds):
            order = EVENT_MODES[r % 3:] + EVENT_MODES[:r % 3]
            for mode in order:
                gc.collect()
                figures[mode].append(guarded(lambda mode=mode: run(mode, ticks), timeout, f"events {mode}"))
    finally:
        engine.stop_all_trees()
    print(f"\nEvents: one tick of the 100-node tree through ThreadEngine, wall time ({rounds} rounds of {ticks} ticks)")
    print("  subscriber              us/tick: median    best   ÷none (same round)")
    out = {}
    for mode in EVENT_MODES:
        s = summary(figures[mode])
        r = paired_ratio(figures[mode], figures["none"]) if mode != "none" else None
        out[mode] = {"us_median": s["median"] * 1e6, "us_best": s["best"] * 1e6, "ratio_none": r}
        label = "stalled, once paused" if mode == "stalled" else mode
        print(f"  {label:<22} {s['median'] * 1e6:16.2f} {s['best'] * 1e6:7.2f} {ratio_cell(r, 9)}")
    r = paired_ratio(figures["stalled"], figures["reading"])
    out["stalled_to_reading"] = r
    print(f"  stalled ÷ reading, same round: {ratio_cell(r, 0).strip()}")
    if fills:  # none when every stalled run failed
        fill_ticks = statistics.median(f[0] for f in fills)
        fill_us = statistics.median(f[1] for f in fills) * 1e6
        out["stalled_fill"] = {"ticks": fill_ticks, "us_per_tick": fill_us}
        print(f"  before it paused (once per stall): {fill_ticks:.0f} ticks at {fill_us:.2f} us/tick")
    return out


# ----------------------------------------------------------- measurements

def per_call(round_trips, n):
    """Wall and process CPU time (all threads: caller and server) per round trip.
    CPU time moves far less than wall time when other processes compete for the cores."""
    c0 = time.process_time()
    wall = round_trips(n)
    return wall / n, (time.process_time() - c0) / n


def throughput(fixtures, duration):
    """Each fixture driven by its own caller thread for `duration` seconds.
    Every command counted finished inside [t0, t_end]."""
    stop = [False]
    go = threading.Event()
    ready = threading.Semaphore(0)
    counts = [0] * len(fixtures)

    def caller(i, fx):
        ready.release()
        go.wait()
        counts[i] = fx.loop_until(stop)

    threads = [threading.Thread(target=caller, args=(i, fx), daemon=True, name=f"caller-{i}")
               for i, fx in enumerate(fixtures)]
    for t in threads:
        t.start()
    for _ in threads:
        ready.acquire()
    c0 = time.process_time()
    t0 = pc()
    go.set()
    time.sleep(duration)
    stop[0] = True
    for t in threads:
        t.join()
    elapsed = pc() - t0
    cpu = time.process_time() - c0
    total = sum(counts)
    return total / elapsed, cpu / max(total, 1)


def engine_create_stop(n):
    eng = mt.ThreadEngine()
    out = {"n": n}
    created = []
    try:
        gc.collect()
        rss0 = rss_bytes()
        t0 = pc()
        create = eng.create_tree_from_text
        for i in range(n):
            tid = f"cs{i}"
            try:
                create(XML_TINY, tid)
            except Exception as e:
                out["failure"] = describe_failure(e, len(created), f"create_tree_from_text #{i + 1} of {n}")
                break
            created.append(tid)
        t1 = pc()
        if "failure" in out:
            return out
        tick = eng.tick_once
        for tid in created:
            tick(tid)
        t2 = pc()
        rss1 = rss_bytes()
        t2b = pc()
        eng.stop_all_trees()
        t3 = pc()
        out.update(create=(t1 - t0) / n, tick=(t2 - t1) / n, stop=(t3 - t2b) / n,
                   total=((t1 - t0) + (t2 - t1) + (t3 - t2b)) / n, rss=(rss1 - rss0) / n)
        return out
    finally:
        if eng.get_tree_ids():
            eng.stop_all_trees()


def floor_create_stop(n):
    recs = {}
    out = {"n": n}
    try:
        gc.collect()
        rss0 = rss_bytes()
        t0 = pc()
        for i in range(n):
            rec = floor_record()
            th = threading.Thread(target=floor_serve, args=(rec,))
            rec["thread"] = th
            try:
                th.start()
            except Exception as e:
                out["failure"] = describe_failure(e, len(recs), f"Thread.start #{i + 1} of {n}")
                break
            recs[f"cs{i}"] = rec
        t1 = pc()
        if "failure" in out:
            return out
        for rec in recs.values():
            floor_call(rec)
        t2 = pc()
        rss1 = rss_bytes()
        t2b = pc()
        for tid in list(recs):
            floor_stop(recs.pop(tid))
        t3 = pc()
        out.update(create=(t1 - t0) / n, tick=(t2 - t1) / n, stop=(t3 - t2b) / n,
                   total=((t1 - t0) + (t2 - t1) + (t3 - t2b)) / n, rss=(rss1 - rss0) / n)
        return out
    finally:
        for rec in recs.values():
            floor_stop(rec)


# ------------------------------------------------------------------ driver

LAT_ROWS = [
    ("limit", "limit: 2 lock hand-offs"),
    ("floor", "floor: Condition record protocol"),
    ("tick", "engine tick_once, trivial core"),
    ("get", "engine get_blackboard_data, trivial"),
    ("set", "engine set_blackboard_data, trivial"),
    ("tick_core", "engine tick_once, our core"),
    ("core_direct", "our core tick_once, same thread"),
    ("aio_floor", "floor: loop → thread → loop, no work"),
    ("aio_tick", "awaited tick_once, trivial core"),
    ("aio_tick_core", "awaited tick_once, our core"),
]
# Awaited rows and the synchronous rows they are divided by.
AWAITED = {"aio_tick": "tick", "aio_tick_core": "tick_core"}


def machine_info():
    cpu = "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    try:
        rev = subprocess.run(["git", "-C", HERE, "rev-parse", "HEAD"], capture_output=True, text=True,
                             timeout=5).stdout.strip()
        dirty = bool(subprocess.run(["git", "-C", HERE, "status", "--porcelain"], capture_output=True,
                                    text=True, timeout=5).stdout.strip())
    except (OSError, subprocess.SubprocessError):
        rev, dirty = None, None
    so = mt.__file__
    return {
        "cpu_model": cpu,
        "cores": os.cpu_count(),
        "cores_usable": len(os.sched_getaffinity(0)),
        "python": sys.version.replace("\n", " "),
        "implementation": platform.python_implementation(),
        "platform": platform.platform(),
        "date": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
        "git_head": rev,
        "git_dirty": dirty,
        "module": so,
        "module_mtime": datetime.datetime.fromtimestamp(os.path.getmtime(so)).isoformat(timespec="seconds"),
        "switch_interval_s": sys.getswitchinterval(),
        "limits": {k: v for k, v in limits_snapshot().items()
                   if k in ("threads_max", "pid_max", "rlimit_nproc", "rlimit_as", "rlimit_stack",
                            "max_map_count", "cgroup_pids_max", "overcommit_memory", "mem_available_kib")},
    }


def summary(values, smaller_is_better=True):
    if not values:
        return None
    return {"median": statistics.median(values), "best": min(values) if smaller_is_better else max(values),
            "n": len(values)}


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                 formatter_class=argparse.RawDescriptionHelpFormatter, epilog=__doc__)
    ap.add_argument("--quick", action="store_true", help="smoke run: few rounds, short loops, trees 200 only")
    ap.add_argument("--rounds", type=int, help="rounds (default 7; quick 3)")
    ap.add_argument("--iters", type=int, help="round trips per latency measurement (default 10000; quick 3000)")
    ap.add_argument("--duration", type=float, help="seconds per throughput measurement (default 0.3; quick 0.1)")
    ap.add_argument("--callers", default="1,2,8,64", help="T values for throughput (default 1,2,8,64)")
    ap.add_argument("--trees", help="N values for create-then-stop (default 200,2000,10000; quick 200)")
    ap.add_argument("--stack-kib", type=int, help="threading.stack_size for every thread started here")
    ap.add_argument("--timeout", type=float, default=120.0, help="seconds before a measurement counts as hung")
    ap.add_argument("--seed", type=int, default=1, help="seed of the per-round shuffle")
    ap.add_argument("--only", default="lat,tput,cs,core,spans",
                    help="comma list of groups to run: lat (round trips), tput (throughput), cs (create/stop, RSS), "
                         "core (a 100-node tree ticked on the core and through the engine), "
                         "spans (the same tree with OpenTelemetry spans on, off, and never instrumented), "
                         "events (the 100-node tree with an event subscriber reading, stalled, none), "
                         "dist (ThreadEngine beside DistributedEngine; not in the default run, needs Ray), "
                         "durable (checkpoint cost per tick and resume time; not in the default run)")
    ap.add_argument("--json", metavar="PATH", help="write every figure and machine info here")
    args = ap.parse_args(argv)
    groups = set(args.only.split(","))
    dist = None
    if "dist" in groups:
        # A section of its own: it starts Ray, which the other groups must not share the cores with.
        from bench_distributed import run_distributed
        dist = run_distributed(rounds=args.rounds or 5)
        groups.discard("dist")
        if not groups:
            if args.json:
                with open(args.json, "w") as f:
                    json.dump({"distributed": dist, "machine": machine_info()}, f, indent=2, default=str)
            return 0
        args.only = ",".join(sorted(groups))

    event_figures = None
    if "events" in groups:
        # Three times the rounds: one tick of a trivial tree varies by tens of percent from run to run here.
        event_figures = events_section(3 * (args.rounds or 3), 500 if args.quick else 2000, args.timeout)
        groups.discard("events")
        if not groups:
            if args.json:
                with open(args.json, "w") as f:
                    json.dump({"events": event_figures, "machine": machine_info()}, f, indent=2, default=str)
            return 0
        args.only = ",".join(sorted(groups))

    if "durable" in groups:
        # Its own section too: it writes to disk and may start a Postgres server.
        from bench_durable import run_durable
        durable_figures = run_durable(rounds=args.rounds or 3, ticks=500 if args.quick else 2000,
                                      trees=200 if args.quick else 1000)
        groups.discard("durable")
        if not groups:
            if args.json:
                with open(args.json, "w") as f:
                    json.dump({"durable": durable_figures, "machine": machine_info()}, f, indent=2, default=str)
            return 0
        args.only = ",".join(sorted(groups))

    rounds = args.rounds or (3 if args.quick else 7)
    iters = args.iters or (3000 if args.quick else 10000)
    duration = args.duration or (0.1 if args.quick else 0.3)
    callers = [int(x) for x in args.callers.split(",") if x]
    trees = [int(x) for x in (args.trees or ("200" if args.quick else "200,2000,10000")).split(",") if x]
    if args.stack_kib:
        threading.stack_size(args.stack_kib * 1024)

    started = pc()
    real_core = mt.SequentialEngine
    mt.logger = NoOpLogger()
    hung = False
    groups = set(args.only.split(","))
    core_figures = spans_figures = None
    if "core" in groups:
        # First, while the module still uses the bundled core.
        core_figures = core_section(rounds, iters // 5, args.timeout, args.seed)
    if "spans" in groups:
        spans_figures = spans_section(iters // 20, args.timeout)
    if groups <= {"core", "spans"}:
        if args.json:
            with open(args.json, "w") as f:
                json.dump({"machine": machine_info(), "core_us_per_tick": core_figures,
                           "spans_us_per_tick": spans_figures}, f, indent=2, default=str)
        return 0

    raw = {f"lat:{k}": [] for k, _ in LAT_ROWS}
    raw.update({f"cpu:lat:{k}": [] for k, _ in LAT_ROWS})
    for t in callers:
        for kind in ("limit", "floor", "engine"):
            raw[f"tput:{kind}:{t}"] = []
            raw[f"cpu:tput:{kind}:{t}"] = []
    cs_raw = {f"cs:{kind}:{n}": [] for n in trees for kind in ("floor", "engine")}
    failures = []
    broken = {}

    engine = mt.ThreadEngine()
    limits, floors, etrees = [], [], []
    fixtures = {}

    def setup():
        # Our core's tree first: the tree thread reads SequentialEngine when
        # it starts, so the swap to the trivial core waits for its first answer.
        mt.SequentialEngine = real_core
        engine.create_tree_from_text(XML_TINY, "core")
        engine.tick_once("core")
        mt.SequentialEngine = TrivialCore
        tmax = max(callers + [1])
        for i in range(tmax):
            limits.append(LockPair())
            floors.append(FloorServer())
            engine.create_tree_from_text(XML_TINY, f"t{i}")
            etrees.append(EngineTree(engine, f"t{i}"))
        engine.set_blackboard_data("t0", "k", 1)
        fixtures.update({
            "limit": limits[0],
            "floor": floors[0],
            "tick": etrees[0],
            "get": EngineTree(engine, "t0", "get_blackboard_data", ("k",)),
            "set": EngineTree(engine, "t0", "set_blackboard_data", ("k", 2)),
            "tick_core": EngineTree(engine, "core"),
            "core_direct": DirectCore(),
        })
        face = AsyncEngine(engine)
        fixtures.update({"aio_tick": AwaitedTree(face, "t0"), "aio_tick_core": AwaitedTree(face, "core"),
                         "aio_floor": AsyncFloor()})

    def teardown():
        for fx in limits + floors + [fixtures.get(k) for k in (*AWAITED, "aio_floor") if k in fixtures]:
            try:
                fx.close()
            except Exception:
                pass
        engine.stop_all_trees()

    tput_sets = {"limit": limits, "floor": floors, "engine": etrees}
    info = machine_info()

    def jobs():
        out = []
        for k, _ in LAT_ROWS:
            out.append((f"lat:{k}", lambda k=k, m=None: per_call(fixtures[k].round_trips, m or iters)))
        for t in callers:
            for kind in ("limit", "floor", "engine"):
                out.append((f"tput:{kind}:{t}",
                            lambda kind=kind, t=t, m=None: throughput(tput_sets[kind][:t], m or duration)))
        for n in trees:
            out.append((f"cs:engine:{n}", lambda n=n, m=None: engine_create_stop(m or n)))
            out.append((f"cs:floor:{n}", lambda n=n, m=None: floor_create_stop(m or n)))
        return out

    try:
        guarded(setup, args.timeout, "setup")
        all_jobs = [j for j in jobs() if j[0].split(":")[0] in groups]
        # Warm-up: every code path once, at a small size, not recorded.
        for name, fn in all_jobs:
            small = (iters // 10 if name.startswith("lat") else duration / 4 if name.startswith("tput")
                     else min(100, int(name.rsplit(":", 1)[1])))
            try:
                guarded(lambda: fn(m=small), args.timeout, name)
            except Hung as e:
                broken[name] = f"{e} (warm-up)"
                hung = True
                break
        rng = random.Random(args.seed)
        for r in range(0 if hung else rounds):
            order = list(all_jobs)
            rng.shuffle(order)
            for name, fn in order:
                if name in broken:
                    continue
                gc.collect()
                try:
                    v = guarded(fn, args.timeout, name)
                except Hung as e:
                    # Whatever hung may hold a fixture that other measurements
                    # share: stop here and report what was measured.
                    broken[name] = f"{e}; later measurements skipped"
                    hung = True
                    break
                except Exception as e:
                    broken[name] = f"{type(e).__name__}: {e}"
                    continue
                if name.startswith("cs:"):
                    if "failure" in v:
                        failures.append(dict(v["failure"], measurement=name, round=r))
                    else:
                        cs_raw[name].append(v)
                else:
                    raw[name].append(v[0])
                    raw["cpu:" + name].append(v[1])
            if hung:
                break
            print(f"round {r + 1}/{rounds} done at {pc() - started:.1f} s", file=sys.stderr, flush=True)
    except Hung as e:
        broken["setup"] = str(e)
        hung = True
    finally:
        try:
            guarded(teardown, min(60.0, args.timeout), "teardown")
        except Exception as e:
            broken["teardown"] = f"{type(e).__name__}: {e}"
            hung = True
        # The no-op logger stays: engines still referenced log from their
        # destructors at interpreter exit.
        mt.SequentialEngine = real_core

    runtime = pc() - started
    result = report(raw, cs_raw, failures, broken, callers, trees, info, runtime,
                    dict(rounds=rounds, iters=iters, duration=duration, callers=callers, trees=trees,
                         quick=args.quick, stack_kib=args.stack_kib, seed=args.seed))
    if core_figures is not None:
        result["core_us_per_tick"] = core_figures
    if spans_figures is not None:
        result["spans_us_per_tick"] = spans_figures
    if dist is not None:
        result["distributed"] = dist
    if event_figures is not None:
        result["events"] = event_figures
    if args.json:
        with open(args.json, "w") as f:
            json.dump(result, f, indent=2, default=str)
        print(f"\nwrote {args.json}")
    sys.stdout.flush()
    if hung:
        # Stuck daemon threads can hang interpreter shutdown.
        os._exit(2)
    return 0


def paired_ratio(num, den):
    """Median and best of per-round ratios num/den (same round, side by side)."""
    rs = [a / b for a, b in zip(num, den) if b]
    return summary(rs) if rs else None


def ratio_cell(r, width=8):
    return f"{r['median']:{width}.2f}" if r else "-".rjust(width)


def report(raw, cs_raw, failures, broken, callers, trees, info, runtime, params):
    us = 1e6
    res = {"machine": info, "params": params, "runtime_s": runtime, "latency_us": {}, "throughput": {},
           "create_stop_us_per_tree": {}, "rss_kib_per_tree": {}, "failures": failures, "broken": broken,
           "raw": {"latency_s": raw, "create_stop": cs_raw}}

    print(f"\n{info['cpu_model']}, {info['cores_usable']}/{info['cores']} cores, Python "
          f"{sys.version.split()[0]}, {info['date']}")
    print(f"rounds {params['rounds']}, {params['iters']} round trips per latency figure, "
          f"{params['duration']} s per throughput figure; trivial core and no-op logger unless named")
    print("ratios: median over rounds of (engine / baseline) measured in the same round; "
          ">1 means the engine costs more per command")

    # ---- round trips
    print("\nRound trip per call (us)            wall: median    best  ÷limit  ÷floor"
          "   cpu: median  ÷limit  ÷floor")
    lim, flo = raw["lat:limit"], raw["lat:floor"]
    for k, label in LAT_ROWS:
        v = raw[f"lat:{k}"]
        s = summary(v)
        if not s:
            print(f"  {label:<36} {'n/a':>8}   {broken.get('lat:' + k, '')}")
            continue
        rl = paired_ratio(v, lim) if k not in ("limit", "core_direct") else None
        rf = paired_ratio(v, flo) if k not in ("limit", "floor", "core_direct") else None
        if k == "floor":
            rl = paired_ratio(v, lim)
        cv = raw[f"cpu:lat:{k}"]
        cs = summary(cv)
        crl = paired_ratio(cv, raw["cpu:lat:limit"]) if rl else None
        crf = paired_ratio(cv, raw["cpu:lat:floor"]) if rf else None
        res["latency_us"][k] = {"label": label, "median": s["median"] * us, "best": s["best"] * us,
                                "ratio_limit": rl, "ratio_floor": rf,
                                "cpu_median": cs["median"] * us, "cpu_best": cs["best"] * us,
                                "cpu_ratio_limit": crl, "cpu_ratio_floor": crf}
        print(f"  {label:<36} {s['median'] * us:8.2f} {s['best'] * us:7.2f} {ratio_cell(rl, 7)} "
              f"{ratio_cell(rf, 7)}   {cs['median'] * us:11.2f} {ratio_cell(crl, 7)} {ratio_cell(crf, 7)}")

    for k, sync in AWAITED.items():
        r = paired_ratio(raw[f"lat:{k}"], raw[f"lat:{sync}"])
        res["latency_us"].setdefault(k, {})["ratio_sync"] = r
        if r:
            print(f"  {dict(LAT_ROWS)[k]} ÷ synchronous, same round: median {r['median']:.2f}, best {r['best']:.2f}")
    # What asyncio and the thread hand-offs alone cost, against what the face adds to them.
    for k in AWAITED:
        r = paired_ratio(raw[f"lat:{k}"], raw["lat:aio_floor"])
        res["latency_us"].setdefault(k, {})["ratio_aio_floor"] = r
        if r:
            print(f"  {dict(LAT_ROWS)[k]} ÷ loop-thread floor, same round: median {r['median']:.2f}, best {r['best']:.2f}")
    r = paired_ratio(raw["lat:aio_floor"], raw["lat:tick"])
    if r:
        res["latency_us"].setdefault("aio_floor", {})["ratio_sync"] = r
        print(f"  loop-thread floor ÷ synchronous tick_once, same round: median {r['median']:.2f}")

    # ---- throughput
    print("\nThroughput, T trees each driven by its own caller thread (commands/s total, median; best)")
    print(f"  {'T':>3}  {'limit':>17}  {'floor':>17}  {'engine':>17}   ÷limit   ÷floor")
    cpu_rows = []
    for t in callers:
        row = {}
        for kind in ("limit", "floor", "engine"):
            row[kind] = summary(raw[f"tput:{kind}:{t}"], smaller_is_better=False)
        e, l, f_ = (raw[f"tput:{k}:{t}"] for k in ("engine", "limit", "floor"))
        # Cost ratio: baseline throughput over engine throughput.
        rl, rf = paired_ratio(l, e), paired_ratio(f_, e)
        cpu = {k: summary(raw[f"cpu:tput:{k}:{t}"]) for k in ("limit", "floor", "engine")}
        crl = paired_ratio(raw[f"cpu:tput:engine:{t}"], raw[f"cpu:tput:limit:{t}"])
        crf = paired_ratio(raw[f"cpu:tput:engine:{t}"], raw[f"cpu:tput:floor:{t}"])
        cpu_rows.append((t, cpu, crl, crf))
        res["throughput"][str(t)] = {"cmds_per_s": row, "cost_ratio_limit": rl, "cost_ratio_floor": rf,
                                     "cpu_us_per_cmd": {k: v and {"median": v["median"] * us, "best": v["best"] * us}
                                                        for k, v in cpu.items()},
                                     "cpu_ratio_limit": crl, "cpu_ratio_floor": crf}

        def cell(s):
            return f"{s['median']:>9.0f};{s['best']:>7.0f}" if s else f"{'n/a':>17}"

        print(f"  {t:>3}  {cell(row['limit'])}  {cell(row['floor'])}  {cell(row['engine'])} "
              f"{ratio_cell(rl)} {ratio_cell(rf)}")

    print("  process CPU per command (us, median):")
    for t, cpu, crl, crf in cpu_rows:
        cells = "  ".join(f"{cpu[k]['median'] * us:17.2f}" if cpu[k] else f"{'n/a':>17}"
                          for k in ("limit", "floor", "engine"))
        print(f"  {t:>3}  {cells} {ratio_cell(crl)} {ratio_cell(crf)}")

    # ---- create then stop
    print("\nCreate N trees, tick each once, stop all: us per tree (median; best), trivial core")
    print(f"  {'N':>6}  {'':7} {'total':>16}  {'create':>7} {'tick':>7} {'stop':>7}   ÷floor")
    for n in trees:
        res["create_stop_us_per_tree"][str(n)] = {}
        fl, en = cs_raw[f"cs:floor:{n}"], cs_raw[f"cs:engine:{n}"]
        for kind, vals in (("floor", fl), ("engine", en)):
            name = f"cs:{kind}:{n}"
            fails = [f for f in failures if f["measurement"] == name]
            if not vals:
                why = broken.get(name)
                if fails:
                    f0 = fails[0]
                    why = (f"FAILED in {len(fails)} round(s): {f0['what']} -> {f0['error']} after "
                           f"{f0['created_before_failure']} live; limit: {f0['limit']}")
                print(f"  {n:>6}  {kind:<7} {why or 'n/a'}")
                res["create_stop_us_per_tree"][str(n)][kind] = {"failed": why}
                continue
            s = {p: summary([v[p] for v in vals]) for p in ("total", "create", "tick", "stop")}
            ratio = None
            if kind == "engine" and fl:
                ratio = paired_ratio([v["total"] for v in en], [v["total"] for v in fl])
            res["create_stop_us_per_tree"][str(n)][kind] = {
                p: {"median": s[p]["median"] * us, "best": s[p]["best"] * us} for p in s}
            res["create_stop_us_per_tree"][str(n)][kind]["ratio_floor"] = ratio
            note = ""
            if fails:
                note = f"  ({len(fails)} round(s) failed: {fails[0]['error']}; limit: {fails[0]['limit']})"
            print(f"  {n:>6}  {kind:<7} {s['total']['median'] * us:>8.1f};{s['total']['best'] * us:>7.1f}  "
                  f"{s['create']['median'] * us:>7.1f} {s['tick']['median'] * us:>7.1f} "
                  f"{s['stop']['median'] * us:>7.1f} "
                  f"{ratio_cell(ratio)}{note}")

    # ---- memory
    print("\nRSS per live tree (KiB; /proc/self/statm after N trees are up vs before; median; max)")
    for n in trees:
        fl, en = cs_raw[f"cs:floor:{n}"], cs_raw[f"cs:engine:{n}"]
        row = {}
        for kind, vals in (("floor", fl), ("engine", en)):
            xs = [v["rss"] / 1024 for v in vals]
            row[kind] = {"median": statistics.median(xs), "max": max(xs)} if xs else None
        res["rss_kib_per_tree"][str(n)] = row
        cells = "  ".join(f"{k} {row[k]['median']:6.1f};{row[k]['max']:6.1f}" if row[k] else f"{k}    n/a"
                          for k in ("floor", "engine"))
        ratio = (f"   ÷floor {row['engine']['median'] / row['floor']['median']:.2f}"
                 if row["floor"] and row["engine"] and row["floor"]["median"] > 0 else "")
        print(f"  {n:>6}  {cells}{ratio}")

    if failures:
        print("\nThread start failures:")
        for f in failures:
            s = f["snapshot"]
            print(f"  round {f['round'] + 1} {f['measurement']}: {f['what']} -> {f['error']}; "
                  f"{f['created_before_failure']} live; limit: {f['limit']}")
            print(f"    threads in process {s['threads_in_process']}, tasks on system {s['tasks_on_system']}, "
                  f"threads-max {s['threads_max']}, pid_max {s['pid_max']}, RLIMIT_NPROC {fmt_lim(s['rlimit_nproc'])}, "
                  f"RLIMIT_AS {fmt_lim(s['rlimit_as'])} B, maps {s['map_count']}/{s['max_map_count']}, "
                  f"stack {s['thread_stack_size']}, MemAvailable {s['mem_available_kib']} KiB")
    if broken:
        print("\nSkipped or hung:")
        for k, v in broken.items():
            print(f"  {k}: {v}")
    print(f"\nruntime {runtime:.1f} s")
    return res


if __name__ == "__main__":
    sys.exit(main())
