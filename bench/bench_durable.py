"""Cost of durable trees: checkpoints per tick, and resuming many trees.

The tree is the core section's 100-node tree (a Sequence of 9 Sequences of
10 actions) with 20 blackboard entries; one action counts its runs in the
blackboard, so every tick changes the tree and writes a checkpoint. Each
round measures every case once, in a shuffled order; figures are medians of
the rounds, ratios medians of the per-round ratios to the plain tick.

Run:  python bench/bench.py --only durable [--rounds 3]
      python bench/bench_durable.py [--rounds 3] [--ticks 2000] [--trees 1000]
"""

from __future__ import annotations

import argparse
import gc
import glob
import os
import random
import shutil
import socket
import statistics
import subprocess
import tempfile
import time

from brannox import durable
from brannox.core import NodeStatus
from brannox.engine.sequential_engine import SequentialEngine

pc = time.perf_counter
XML_100 = ('<root BTCPP_format="4"><BehaviorTree ID="M"><Sequence>'
           + ("<Sequence>" + "<Nop/>" * 10 + "</Sequence>") * 8
           + "<Sequence>" + "<Nop/>" * 9 + "<Count/></Sequence>"
           + "</Sequence></BehaviorTree></root>")


def nop(node):
    return NodeStatus.SUCCESS


def count(node):
    bb = node._blackboard
    bb.set("ticks", (bb.get("ticks") or 0) + 1)
    return NodeStatus.SUCCESS


def make_engine():
    engine = SequentialEngine()
    engine.register_action_behavior("Nop", nop)
    engine.register_action_behavior("Count", count)
    return engine


def loaded_engine():
    engine = make_engine()
    for i in range(19):
        engine.set_blackboard_data(f"entry{i}", [i, f"value {i}", {"n": i}] if i % 3 == 0 else f"text {i}" * 3)
    engine.create_tree_from_text(XML_100)
    assert engine.get_tree_status()["node_count"] == 100
    return engine


def per_tick(engine, ticks: int, after=None) -> float:
    tick = engine.tick_once
    t0 = pc()
    for _ in range(ticks):
        tick()
    if after is not None:
        after()
    return (pc() - t0) / ticks


class PrivatePostgres:
    """A throw-away server on a Unix socket and 127.0.0.1 (as in the tests), or None where absent."""

    def __init__(self):
        found = sorted(glob.glob("/usr/lib/postgresql/*/bin/initdb"))
        if not found:
            raise RuntimeError("Postgres is not installed")
        self.bin = os.path.dirname(found[-1])
        self.user = ["runuser", "-u", "postgres", "--"] if os.geteuid() == 0 else []
        self.folder = tempfile.mkdtemp(prefix="brannox-bench-pg-")
        if self.user:
            shutil.chown(self.folder, "postgres")
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            self.port = s.getsockname()[1]
        self.data = os.path.join(self.folder, "data")
        self._run("initdb", "-D", self.data, "-A", "trust", "-U", "postgres", "-E", "UTF8")
        self._run("pg_ctl", "-D", self.data, "-l", os.path.join(self.folder, "log"), "-w", "-o",
                  f"-k {self.folder} -c listen_addresses=127.0.0.1 -p {self.port}", "start")
        self.url = f"postgresql://postgres@127.0.0.1:{self.port}/postgres"

    def _run(self, *args):
        subprocess.run(self.user + [os.path.join(self.bin, args[0]), *args[1:]], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)

    def close(self):
        try:
            self._run("pg_ctl", "-D", self.data, "-m", "fast", "-w", "stop")
        finally:
            shutil.rmtree(self.folder, ignore_errors=True)


def run_durable(rounds: int = 3, ticks: int = 2000, trees: int = 1000, seed: int = 1) -> dict:
    folder = tempfile.mkdtemp(prefix="brannox-bench-durable-")
    try:
        postgres = PrivatePostgres()
    except Exception as exc:  # noqa: BLE001 - the Postgres row is left out
        print(f"(no Postgres row: {exc})")
        postgres = None
    serial = iter(range(1 << 30))
    try:
        def plain():
            return per_tick(loaded_engine(), ticks)

        def followed(target, durability):
            def run():
                engine = loaded_engine()
                tree = durable.attach(engine, f"bench-{next(serial)}", target, durability=durability)
                try:
                    return per_tick(engine, ticks, tree.flush if durability == "async" else None)
                finally:
                    tree.stop(delete=True)
            return run

        db = os.path.join(folder, "bench.db")
        cases = {"plain": plain, "sqlite_sync": followed(db, "sync"), "sqlite_async": followed(db, "async")}
        if postgres is not None:
            cases["postgres_sync"] = followed(postgres.url, "sync")
        figures = {k: [] for k in cases}
        rng = random.Random(seed)
        for fn in cases.values():  # warm-up
            fn()
        for _ in range(rounds):
            order = list(cases.items())
            rng.shuffle(order)
            for name, fn in order:
                gc.collect()
                figures[name].append(fn())
        resume = [resume_many(os.path.join(folder, f"resume{r}.db"), trees) for r in range(rounds)]
    finally:
        if postgres is not None:
            postgres.close()
        shutil.rmtree(folder, ignore_errors=True)

    print(f"\nDurable: one tick of the 100-node tree with 20 blackboard entries, each tick checkpointed "
          f"(us; median of {rounds} rounds of {ticks} ticks; async includes the final flush)")
    print("                          median    best   ratio to plain (median)")
    out = {}
    for name, label in (("plain", "no checkpoints"), ("sqlite_sync", "SQLite, sync"),
                        ("sqlite_async", "SQLite, async"), ("postgres_sync", "Postgres, sync")):
        if name not in figures:
            continue
        values = figures[name]
        ratio = statistics.median(v / p for v, p in zip(values, figures["plain"]))
        out[name] = {"median_us": statistics.median(values) * 1e6, "best_us": min(values) * 1e6, "ratio": ratio}
        print(f"  {label:<22} {out[name]['median_us']:8.1f} {out[name]['best_us']:7.1f}   {ratio:5.2f}x")
    out["resume_s"] = {"trees": trees, "median": statistics.median(resume), "best": min(resume)}
    print(f"  resume {trees} trees from SQLite: {statistics.median(resume):.2f} s (median; best {min(resume):.2f} s)")
    return out


def resume_many(path: str, n: int) -> float:
    """Seconds to resume ``n`` stored trees into new engines (the checkpoints are made first, untimed)."""
    for i in range(n):
        engine = loaded_engine()
        engine.tick_once()
        durable.attach(engine, f"t{i}", path).stop()
    engines = []
    t0 = pc()
    followers = [durable.resume(engines.append(make_engine()) or engines[-1], f"t{i}", path) for i in range(n)]
    elapsed = pc() - t0
    for follower in followers:
        follower.stop()
    return elapsed


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--ticks", type=int, default=2000)
    ap.add_argument("--trees", type=int, default=1000)
    args = ap.parse_args(argv)
    run_durable(args.rounds, args.ticks, args.trees)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
