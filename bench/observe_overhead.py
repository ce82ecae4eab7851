"""Cost of watching a tree, measured on the core directly (no engine, no threads).

    python bench/observe_overhead.py plain        # ticks per second, no observer
    python bench/observe_overhead.py observed     # with an observer keeping every event in memory

The tree: a Sequence of 9 Sequences of 10 trivial actions (100 nodes). Each
mode prints the median of three timed runs, in CPU microseconds per tick
(CPU time: the machine is shared, and wall time moves with the other load). Run
the "plain" mode under another installed version to compare with it.
"""
import statistics
import sys
import time

from brannox.core import NodeStatus
from brannox.engine.sequential_engine import SequentialEngine

INNER = "".join("<Sequence>" + "<Act/>" * 10 + "</Sequence>" for _ in range(9))
XML = f'<root BTCPP_format="4"><BehaviorTree ID="M"><Sequence>{INNER}</Sequence></BehaviorTree></root>'
TICKS = 2000


class Memory:
    def __init__(self):
        self.events = []
        self.on_transition = self.on_blackboard = self.events.append

    def on_tick(self, counters):
        pass


def per_tick_us(mode: str) -> float:
    core = SequentialEngine()
    core.register_action_behavior("Act", lambda node: NodeStatus.SUCCESS)
    core.create_tree_from_text(XML)
    assert core.get_tree_status()["node_count"] == 100
    if mode == "observed":
        import threading

        from brannox._bt.observe import REGISTRY
        REGISTRY.attach(REGISTRY.for_thread(threading.current_thread()), Memory())
    tick = core.tick_once
    for _ in range(200):
        tick()
    runs = []
    for _ in range(3):
        t0 = time.process_time()
        for _ in range(TICKS):
            tick()
        runs.append((time.process_time() - t0) / TICKS * 1e6)
    return statistics.median(runs)


if __name__ == "__main__":
    print(f"{per_tick_us(sys.argv[1] if len(sys.argv) > 1 else 'plain'):.1f}")
