"""Cost of watching a tree, measured on the core directly (no engine, no threads).

    python bench/observe_overhead.py plain        # ticks per second, no observer
    python bench/observe_overhead.py served       # monitor.serve() running, no page open
    python bench/observe_overhead.py shown        # monitor.serve() with a page showing this tree
    python bench/observe_overhead.py observed     # with an observer keeping every event in memory
    python bench/observe_overhead.py served engine   # any mode, ticking through a ThreadEngine's tick_once

The tree: a Sequence of 9 Sequences of 10 trivial actions (100 nodes). Each
mode prints the median of three timed runs, in CPU microseconds per tick
(CPU time: the machine is shared, and wall time moves with the other load),
the monitor's server thread included for "served" and "shown". Run the
"plain" mode under another installed version to compare with it.
"""
import os
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


def show(port: int) -> None:
    """A page that selects the (only) tree and reads everything sent, on a thread of its own."""
    import json
    import threading

    from websockets.sync.client import connect

    ws = connect(f"ws://127.0.0.1:{port}/live")
    key = next(m for m in json.loads(ws.recv(10)) if m["type"] == "trees")["trees"][0]["key"]
    ws.send(json.dumps({"select": key}))

    def read():
        while True:
            ws.recv()

    threading.Thread(target=read, daemon=True).start()
    time.sleep(0.3)


def per_tick_us(mode: str, via: str = "core") -> float:
    if via == "engine":
        from brannox.engine.trigger.mthread import ThreadEngine

        engine = ThreadEngine()
        engine.register_action_behavior("Act", lambda node: NodeStatus.SUCCESS, [])
        engine.create_tree_from_text(XML, "t")
        assert engine.get_tree_status("t")["node_count"] == 100
        tick = lambda: engine.tick_once("t")  # noqa: E731
        thread = engine.trees["t"]["thread"]
    else:
        import threading

        core = SequentialEngine()
        core.register_action_behavior("Act", lambda node: NodeStatus.SUCCESS)
        core.create_tree_from_text(XML)
        assert core.get_tree_status()["node_count"] == 100
        tick = core.tick_once
        thread = threading.current_thread()
    if mode == "observed":
        from brannox._bt.observe import REGISTRY
        REGISTRY.attach(REGISTRY.for_thread(thread), Memory())
    elif mode in ("served", "shown"):
        from brannox import monitor
        handle = monitor.serve()
        if mode == "shown":
            show(handle.port)
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
    print(f"{per_tick_us(*(sys.argv[1:] or ['plain'])):.1f}", flush=True)
    os._exit(0)  # the engine's tree thread and the monitor end with the process
