"""The distributed section of the benchmark: one process's ThreadEngine
beside DistributedEngine (2 worker processes) on the same trees.

Run through bench.py (`--only dist`); needs the distributed extra. It starts a
private Ray bound to loopback (on a shared machine, run it as root inside
`unshare --net sh -c 'ip link set lo up && exec ...'`).

  cpu   8 trees whose tick burns about 2 ms of pure-Python CPU:
        (a) ThreadEngine, 8 caller threads, 25 tick_once each;
        (b) DistributedEngine, 2 workers, tick_many(n=25);
        (c) the same 200 ticks as single tick_once calls through submit.
  io    8 trees whose tick sleeps 10 ms: (a) and (b).
Also the round trip of one tick_once, the start-up time of the first engine
(Ray included) and the resident memory of the Ray processes it started.
"""
from __future__ import annotations

import os
import pathlib
import statistics
import threading
import time

import brannox.engine.trigger.mthread as mt
from brannox._proctree import descendants
from brannox.core import NodeStatus

TREES = 8
N = 25
XML = '<root BTCPP_format="4"><BehaviorTree ID="M"><{node}/></BehaviorTree></root>'
pc = time.perf_counter


def burn_loops(ms=2.0):
    """Loop count of `burn` that takes about `ms` of CPU here (the fastest of
    five timings, so that other load on the machine does not inflate it)."""
    loops = 20000
    best = float("inf")
    for _ in range(5):
        t = time.process_time()
        burn(loops)
        best = min(best, time.process_time() - t)
    return max(1, int(loops * ms / 1000 / best))


def burn(loops):
    x = 0
    for i in range(loops):
        x += i * i
    return x


def make_cpu_tick(loops):
    def work(node):
        burn(loops)
        return NodeStatus.SUCCESS
    return work


def io_tick(node):
    time.sleep(0.010)
    return NodeStatus.SUCCESS


def trivial_tick(node):
    return NodeStatus.SUCCESS


class Quiet:
    def info(self, text):
        pass

    def error(self, text):
        pass


def ray_rss_mib():
    """Resident memory of the Ray processes under this one (MiB)."""
    total, page = 0, os.sysconf("SC_PAGE_SIZE")
    for pid in descendants():
        try:
            total += int(pathlib.Path(f"/proc/{pid}/statm").read_text().split()[1]) * page
        except OSError:
            pass
    return total / 2**20


def thread_engine_rate(tick):
    """Ticks per second: ThreadEngine, one caller thread per tree."""
    e = mt.ThreadEngine()
    e.register_action_behavior("Work", tick, [])
    ids = [e.create_tree_from_text(XML.format(node="Work")) for _ in range(TREES)]
    e.tick_once(ids[0])
    callers = [threading.Thread(target=lambda t=t: [e.tick_once(t) for _ in range(N)]) for t in ids]
    start = pc()
    for c in callers:
        c.start()
    for c in callers:
        c.join()
    elapsed = pc() - start
    e.stop_all_trees()
    return TREES * N / elapsed


def dist_rates(engine, node, with_submit):
    """Ticks per second of 8 trees of one `node` (registered once per engine)."""
    for t in engine.get_tree_ids():
        engine.stop_tree(t)
    ids = [engine.create_tree_from_text(XML.format(node=node)) for _ in range(TREES)]
    engine.tick_many(ids, 1)
    actors = {engine.worker_of(t)[0]: engine.worker_of(t)[1] for t in ids}.values()
    cpu_before = worker_cpu(actors)
    start = pc()
    result = engine.tick_many(ids, N)
    wall = pc() - start
    many = TREES * N / wall
    # Where the time goes: the CPU the workers got during the call, as a
    # share of one core each for the whole call.
    share = (worker_cpu(actors) - cpu_before) / (wall * len(actors))
    assert all(r == [NodeStatus.SUCCESS] * N for r in result.values()), result
    single = None
    if with_submit:
        start = pc()
        futures = [engine.submit("tick_once", t) for _ in range(N) for t in ids]
        for f in futures:
            f.result()
        single = TREES * N / (pc() - start)
    return many, single, share


def worker_cpu(actors):
    import ray
    return sum(ray.get([a.__ray_call__.remote(lambda self: time.process_time()) for a in actors]))


def latency_us(engine, calls=300):
    tree = engine.create_tree_from_text(XML.format(node="Nop"), "latency")
    engine.tick_once(tree)
    start = pc()
    for _ in range(calls):
        engine.tick_once(tree)
    took = (pc() - start) / calls * 1e6
    engine.stop_tree(tree)
    return took


def run_distributed(rounds=5):
    from brannox.engine.distributed import DistributedEngine
    from brannox.engine.distributed import _engine as dist_module

    mt.logger = Quiet()
    dist_module.logger = Quiet()
    loops = burn_loops()
    start = pc()
    engine = DistributedEngine(num_workers=2)
    startup = pc() - start
    rows = {k: [] for k in ("cpu_a", "cpu_b", "cpu_c", "io_a", "io_b", "latency", "share")}
    try:
        cpu_tick = make_cpu_tick(loops)
        for node, tick in (("Cpu", cpu_tick), ("Io", io_tick), ("Nop", trivial_tick)):
            engine.register_action_behavior(node, tick, [])
        for _ in range(rounds):
            rows["cpu_a"].append(thread_engine_rate(cpu_tick))
            b, c, share = dist_rates(engine, "Cpu", True)
            rows["cpu_b"].append(b)
            rows["cpu_c"].append(c)
            rows["share"].append(share)
            rows["io_a"].append(thread_engine_rate(io_tick))
            rows["io_b"].append(dist_rates(engine, "Io", False)[0])
            rows["latency"].append(latency_us(engine))
        memory = ray_rss_mib()
    finally:
        engine.close()
    med = {k: statistics.median(v) for k, v in rows.items()}
    ratio = {k: statistics.median(x / a for x, a in zip(rows[k], rows[k[:-1] + "a"]))
             for k in ("cpu_b", "cpu_c", "io_b")}
    print(f"\nDistributed: {TREES} trees, {N} ticks each, 2 worker processes; ticks/s, median of {rounds} rounds")
    print(f"  {'':38} {'ticks/s':>9}  ÷(a)   goal")
    print(f"  {'cpu (a) ThreadEngine, 8 caller threads':38} {med['cpu_a']:9.0f}")
    print(f"  {'cpu (b) distributed, tick_many n=25':38} {med['cpu_b']:9.0f}  {ratio['cpu_b']:4.2f}  >= 1.8")
    print(f"  {'cpu (c) distributed, submit tick_once':38} {med['cpu_c']:9.0f}  {ratio['cpu_c']:4.2f}")
    print(f"  {'io  (a) ThreadEngine, 8 caller threads':38} {med['io_a']:9.0f}")
    print(f"  {'io  (b) distributed, tick_many n=25':38} {med['io_b']:9.0f}  {ratio['io_b']:4.2f}  >= 0.9")
    print(f"  cpu (b): each worker process had {med['share']:.2f} of a core while tick_many ran "
          f"(1.00 when nothing else competes); load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} CPUs")
    print(f"  tick burns {loops} loops (~2 ms CPU); tick_once round trip {med['latency']:.0f} us; "
          f"first engine up in {startup:.1f} s (Ray started); Ray processes' RSS {memory:.0f} MiB")
    return {"ticks_per_s": med, "ratio": ratio, "latency_us": med["latency"], "startup_s": startup,
            "ray_rss_mib": memory, "raw": rows, "burn_loops": loops}
