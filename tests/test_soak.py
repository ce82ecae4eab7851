"""Soak: many trees and callers mixing every command, stops, re-creations,
refused set-ups and failing ticks for SOAK_SECONDS (scripts/soak.sh runs the
long form). Afterwards every call must have been answered, no answer may have
reached the wrong caller, and threads, objects and memory must be back where
they were after a warm-up."""
import collections
import gc
import os
import random
import re
import threading
import time

import pytest

from brannox.core import NodeStatus
from brannox.engine.sequential_engine import SequentialEngine

SECONDS = float(os.environ.get("SOAK_SECONDS", "8"))
WARMUP = min(3.0, max(1.0, SECONDS / 4))
CALLERS = 24
STABLE = [f"s{i}" for i in range(8)]      # never stopped: every answer is exact
VOLATILE = [f"v{i}" for i in range(4)]    # stopped, re-created, given refused XML
TREES = STABLE + VOLATILE
MAX_TICKS = 3                             # keeps tick_until_failure short
NODES = CALLERS + 1
RSS_TOLERANCE = 48 * 1024 * 1024
SANITIZED = os.environ.get("MTHREAD_SANITIZED") == "1"

PORTS = [{"name": "in", "type": "object", "direction": "input", "description": ""},
         {"name": "out", "type": "object", "direction": "output", "description": ""}]
BAD_XML = ['<!DOCTYPE root [<!ENTITY e "x">]><root/>', "<root><unclosed",
           '<root BTCPP_format="4"><BehaviorTree ID="M">' + "<Inverter>" * 200 + "<AlwaysSuccess/>"
           + "</Inverter>" * 200 + "</BehaviorTree></root>"]


def tree_xml(tid):
    # One node per caller, each reading and writing only that caller's entries;
    # the tree's ID is the engine's id so that a status from another tree shows.
    nodes = "".join(f'<Echo in="{{in_{i}}}" out="{{out_{i}}}"/>' for i in range(CALLERS))
    return f'<root BTCPP_format="4"><BehaviorTree ID="{tid}"><Sequence>{nodes}</Sequence></BehaviorTree></root>'


class Boom(Exception):
    pass


def echo(node):
    value = node.getInputObject("in")
    if value is None:
        return NodeStatus.SUCCESS
    if value[0] == "boom":
        raise Boom(f"boom from caller {value[1]}")
    node.setOutput("out", ("echo",) + value)
    return NodeStatus.SUCCESS


class LimitedEngine(SequentialEngine):
    max_ticks = MAX_TICKS


class CountingLogger:
    """Keeps counts only: a soak must not grow a list of log lines."""

    def __init__(self):
        self.counts = collections.Counter()
        self._lock = threading.Lock()

    def _add(self, level, text):
        assert type(text) is str
        with self._lock:
            self.counts[level] += 1

    def info(self, text):
        self._add("info", text)

    def error(self, text):
        self._add("error", text)


class Fault(Exception):
    """An answer a correct engine cannot give."""


def expect(cond, what):
    if not cond:
        raise Fault(what)


class Caller(threading.Thread):
    OPS = (["rw"] * 4 + ["tick"] * 3 + ["ticks", "until_success", "until_failure", "status", "all", "reset",
                                         "ids", "boom", "bogus", "bad_key"]
           + ["stop", "recreate", "recreate", "bad_setup", "create"])
    VOLATILE_ONLY = {"stop", "recreate", "bad_setup", "create"}

    def __init__(self, i, engine, deadline):
        super().__init__(daemon=True, name=f"soak-caller-{i}")
        self.i, self.engine, self.deadline = i, engine, deadline
        self.created = collections.Counter()
        self.rng = random.Random(1000 + i)
        self.seq = 0
        self.made = self.returned = self.raised = 0
        self.ops = collections.Counter()
        self.faults = []
        self.current = None
        self.last_token = {}  # tid -> token this caller last stored under its key

    # Every engine call goes through here: counted when made and when answered.
    def call(self, fn, *args):
        self.made += 1
        self.current = (fn.__name__, args[:1])
        try:
            value = fn(*args)
        except BaseException:
            self.raised += 1
            raise
        finally:
            self.current = None
        self.returned += 1
        return value

    def token(self, kind="tok"):
        self.seq += 1
        return (kind, self.i, self.seq)

    def run(self):
        while time.monotonic() < self.deadline:
            op = self.rng.choice(self.OPS)
            tid = self.rng.choice(VOLATILE if op in self.VOLATILE_ONLY else TREES)
            self.ops[op] += 1
            try:
                getattr(self, "op_" + op)(tid)
            except Fault as f:
                self.faults.append(f"{op} on {tid}: {f}")
            except (ValueError, RuntimeError) as exc:
                problem = self.unexpected(exc, tid)
                if problem:
                    self.faults.append(f"{op} on {tid}: {problem}")
            except BaseException as exc:  # anything else is a fault, and the loop goes on
                self.faults.append(f"{op} on {tid}: {type(exc).__name__}: {exc}")

    def unexpected(self, exc, tid):
        """Why `exc` cannot be the answer to this caller's command on `tid`, or None."""
        text, volatile = str(exc), tid in VOLATILE
        if isinstance(exc, ValueError):
            if volatile and type(exc) is ValueError and text in (f"行为树ID {tid} 不存在", f"行为树ID {tid} 已存在"):
                return None
            return f"{type(exc).__name__}: {text}"
        ctype = getattr(exc, "ctype", None)
        prefix = f"行为树 {tid} 执行命令 {ctype} 失败: "
        if type(exc) is not RuntimeError or not text.startswith(prefix):
            return f"{type(exc).__name__}: {text}"
        reason = text[len(prefix):]
        if reason.startswith("处理命令 "):
            # The tree thread names the command it ran: another caller's
            # command here means answers crossed.
            if not reason.startswith(f"处理命令 {ctype} 时发生错误: "):
                return f"crossed answer: {text}"
            if getattr(exc, "may_boom", False) and "tick function raised Boom: boom from caller" in reason:
                return None
            if getattr(exc, "core_refusal", False) and "blackboard keys are non-empty strings" in reason:
                return None
            return text
        if reason.startswith("未知命令类型: "):
            return None if ctype == "bogus" and reason == "未知命令类型: bogus" else f"crossed answer: {text}"
        if volatile and (reason == f"行为树 {tid} 正在停止或已停止" or reason.startswith(f"行为树线程 {tid} 发生错误: ")):
            return None
        return text

    def command(self, ctype, fn, *args, may_boom=False, core_refusal=False):
        try:
            return self.call(fn, *args)
        except RuntimeError as exc:
            exc.ctype, exc.may_boom, exc.core_refusal = ctype, may_boom, core_refusal
            raise

    # ---- operations on any tree

    def op_rw(self, tid):
        e, key, tok = self.engine, f"k_{self.i}", self.token()
        self.command("set_blackboard_data", e.set_blackboard_data, tid, key, tok)
        self.last_token[tid] = tok
        got = self.command("get_blackboard_data", e.get_blackboard_data, tid, key)
        expect(got is tok or (tid in VOLATILE and got is None), f"read back {got!r}, wrote {tok!r}")

    def op_tick(self, tid):
        e, tok = self.engine, self.token()
        self.command("set_blackboard_data", e.set_blackboard_data, tid, f"in_{self.i}", tok)
        try:
            status = self.command("tick_once", e.tick_once, tid, may_boom=True)
        except RuntimeError as exc:
            if self.unexpected(exc, tid) is None:
                return  # another caller's failing input, or the tree went away
            raise
        expect(status is NodeStatus.SUCCESS, f"tick_once gave {status!r}")
        out = self.command("get_blackboard_data", e.get_blackboard_data, tid, f"out_{self.i}")
        expect(out == ("echo",) + tok or (tid in VOLATILE and out is None),
               f"tick wrote {out!r} for input {tok!r}")

    def op_ticks(self, tid):
        n = self.rng.randrange(MAX_TICKS + 1)  # tick_n_times refuses more than max_ticks
        got = self.command("tick_n_times", self.engine.tick_n_times, tid, n, may_boom=True)
        expect(got == [NodeStatus.SUCCESS] * n, f"tick_n_times({n}) gave {got!r}")

    def op_until_success(self, tid):
        got = self.command("tick_until_success", self.engine.tick_until_success, tid, may_boom=True)
        expect(got == 1, f"tick_until_success gave {got!r}")

    def op_until_failure(self, tid):
        got = self.command("tick_until_failure", self.engine.tick_until_failure, tid, may_boom=True)
        expect(got == MAX_TICKS, f"tick_until_failure gave {got!r}")

    def op_status(self, tid):
        st = self.command("get_status", self.engine.get_tree_status, tid)
        expect(type(st) is dict and st["tree_id"] == tid and st["loaded"] is True
               and st["node_count"] == NODES and st["max_ticks"] == MAX_TICKS, f"status {st!r}")

    def op_all(self, tid):
        data = self.command("get_all_blackboard_data", self.engine.get_all_blackboard_data, tid)
        expect(type(data) is dict, f"get_all gave {type(data).__name__}")
        for key, value in data.items():
            owner = int(key.split("_")[1])
            expect(value is None or value[1 if key[0] in "ki" else 2] == owner, f"{key} holds {value!r}")
        mine = data.get(f"k_{self.i}")
        if tid in STABLE:
            expect(mine is self.last_token.get(tid), f"own key holds {mine!r}, last wrote {self.last_token.get(tid)!r}")

    def op_reset(self, tid):
        expect(self.command("reset", self.engine.reset_tree, tid) is None, "reset returned a value")

    def op_ids(self, tid):
        ids = self.call(self.engine.get_tree_ids)
        expect(set(STABLE) <= set(ids) <= set(TREES) and len(ids) == len(set(ids)), f"tree ids {ids!r}")

    def op_boom(self, tid):
        e, key = self.engine, f"in_{self.i}"
        self.command("set_blackboard_data", e.set_blackboard_data, tid, key, self.token("boom"))
        try:
            try:
                status = self.command("tick_once", e.tick_once, tid, may_boom=True)
            except RuntimeError as exc:
                problem = self.unexpected(exc, tid)
                expect(problem is None, problem)
            else:
                # Only a re-created tree has lost the failing input.
                expect(tid in VOLATILE and status is NodeStatus.SUCCESS, f"failing tick gave {status!r}")
        finally:
            self.command("set_blackboard_data", e.set_blackboard_data, tid, key, None)

    def op_bogus(self, tid):
        self.command("bogus", self.engine._send_command, tid, "bogus", {"caller": self.i})
        raise Fault("an unknown command type was accepted")

    def op_bad_key(self, tid):
        self.command("set_blackboard_data", self.engine.set_blackboard_data, tid, "", self.i, core_refusal=True)
        raise Fault("an empty blackboard key was accepted")

    # ---- volatile trees only

    def op_stop(self, tid):
        self.call(self.engine.stop_tree, tid)

    def op_create(self, tid):
        expect(self.call(self.engine.create_tree_from_text, tree_xml(tid), tid) == tid, "create returned another id")
        self.created["good"] += 1

    def op_recreate(self, tid):
        try:
            self.op_stop(tid)
        except ValueError as exc:
            expect(self.unexpected(exc, tid) is None, str(exc))
        self.op_create(tid)

    def op_bad_setup(self, tid):
        try:
            self.op_stop(tid)
        except ValueError as exc:
            expect(self.unexpected(exc, tid) is None, str(exc))
        xml = self.rng.choice(BAD_XML)
        expect(self.call(self.engine.create_tree_from_text, xml, tid) == tid, "create returned another id")
        self.created["refused"] += 1
        # Refused at once, unless another caller has replaced the tree meanwhile.
        self.op_status(tid)


def tree_threads():
    return [t for t in threading.enumerate() if t.name.endswith("(_run_tree)")]


def live_objects(mt):
    gc.collect()
    function_type = type(mt.ThreadEngine.tick_once)
    counts = collections.Counter()
    for o in gc.get_objects():
        if isinstance(o, mt.ThreadEngine):
            counts["engines"] += 1
        elif type(o) is function_type:
            counts["module functions"] += 1
        elif type(o) is dict and "cond" in o:
            counts["records"] += 1
        elif isinstance(o, threading.Condition):
            counts["conditions"] += 1
        elif isinstance(o, threading.Thread):
            counts["thread objects"] += 1
        elif isinstance(o, BaseException):
            counts["exceptions"] += 1
        elif type(o) is tuple and len(o) == 3 and o[0] in ("tok", "boom"):
            counts["tokens"] += 1
    counts["running threads"] = threading.active_count()
    return dict(counts)


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def run_phase(engine, seconds):
    """Creates every tree, lets the callers loose for `seconds`, checks and
    stops everything. Returns figures for the report and the problems seen."""
    created = collections.Counter()
    for tid in TREES:
        engine.create_tree_from_text(tree_xml(tid), tid)
        created["good"] += 1
    deadline = time.monotonic() + seconds
    callers = [Caller(i, engine, deadline) for i in range(CALLERS)]
    for c in callers:
        c.start()
    stuck = []
    for c in callers:
        c.join(max(0.0, deadline - time.monotonic()) + 60)
        if c.is_alive():
            stuck.append(f"{c.name} still in {c.current}")
    # Nothing more can be checked safely with a caller still waiting.
    assert stuck == [], f"commands never answered: {stuck}"

    problems = []
    faults = [f for c in callers for f in c.faults]
    if faults:
        kinds = collections.Counter(re.sub(r"\d+", "N", f) for f in faults)
        problems.append(f"{len(faults)} wrong answers: {dict(kinds.most_common(10))}")
    unanswered = {c.name: c.made - c.returned - c.raised for c in callers if c.made != c.returned + c.raised}
    if unanswered:
        problems.append(f"calls neither returned nor raised: {unanswered}")
    # The never-stopped trees still hold exactly what each caller last wrote.
    for tid in STABLE:
        data = engine.get_all_blackboard_data(tid)
        for c in callers:
            if tid in c.last_token and data.get(f"k_{c.i}") is not c.last_token[tid]:
                problems.append(f"{tid}: k_{c.i} is {data.get(f'k_{c.i}')!r}, last written {c.last_token[tid]!r}")

    engine.stop_all_trees()
    for t in tree_threads():
        t.join(30)
    if engine.get_tree_ids() or engine.trees:
        problems.append(f"trees left after stop_all_trees: {engine.get_tree_ids()}")
    if tree_threads():
        problems.append(f"tree threads left: {tree_threads()}")
    ops = sum((c.ops for c in callers), collections.Counter())
    figures = {"commands": sum(c.made for c in callers), "raised": sum(c.raised for c in callers),
               "ops": dict(sorted(ops.items())), "created": dict(sum((c.created for c in callers), created))}
    return figures, problems


def test_soak(mt, monkeypatch, in_daemon):
    gc.collect()  # engines of earlier tests log from __del__ when collected
    logger = CountingLogger()
    monkeypatch.setattr(mt, "logger", logger)
    monkeypatch.setattr(mt, "SequentialEngine", LimitedEngine)
    threads_before = set(threading.enumerate())

    def body():
        engine = mt.ThreadEngine()
        engine.register_action_behavior("Echo", echo, PORTS)
        _, warmup_problems = run_phase(engine, WARMUP)  # caches, interned texts, allocator pools
        objects_before, rss_before = live_objects(mt), rss_bytes()
        started = time.monotonic()
        figures, problems = run_phase(engine, SECONDS)
        figures["duration"] = time.monotonic() - started
        objects_after, rss_after = live_objects(mt), rss_bytes()
        return figures, warmup_problems + problems, objects_before, objects_after, rss_before, rss_after

    figures, problems, objects_before, objects_after, rss_before, rss_after = in_daemon(
        body, timeout=WARMUP + SECONDS + 300)
    mib = 1024 * 1024
    print(f"\nsoak: {figures['duration']:.1f} s, {CALLERS} callers, {len(TREES)} trees; "
          f"{figures['commands']} engine calls ({figures['raised']} raised); "
          f"trees created {figures['created'].get('good', 0)}, refused set-ups {figures['created'].get('refused', 0)}; "
          f"log lines {dict(logger.counts)}")
    print(f"soak: operations {figures['ops']}")
    print(f"soak: RSS {rss_before / mib:.1f} MiB -> {rss_after / mib:.1f} MiB "
          f"({(rss_after - rss_before) / mib:+.1f} MiB); objects {objects_before} -> {objects_after}")

    # Every check is made before failing, so that one fault does not hide another.
    if figures["commands"] == 0:
        problems.append("no command was made")
    if objects_after != objects_before:
        problems.append(f"live objects {objects_before} -> {objects_after}")
    extra = set(threading.enumerate()) - threads_before - {threading.current_thread()}
    if extra:
        problems.append(f"threads left: {extra}")
    if not SANITIZED and rss_after - rss_before >= RSS_TOLERANCE:  # the sanitizer keeps freed memory in quarantine
        problems.append(f"RSS grew by {(rss_after - rss_before) / mib:.1f} MiB")
    assert problems == [], "\n".join(problems)
