"""Durable trees killed with SIGKILL at random moments and resumed in a new process.

The number of kills per case comes from BRANNOX_CRASH_KILLS (default 25,
which keeps the file under a minute on a busy two-core machine; with 100,
the two sync cases make 200 kills over both back-ends, about two minutes).
"""
import json
import os
import random
import signal
import subprocess
import sys
import textwrap
import time

import pytest

from brannox import durable

KILLS = int(os.environ.get("BRANNOX_CRASH_KILLS", "25"))
STEPS = 24

CHILD = textwrap.dedent("""
    import json, os, sys, time
    from brannox import durable
    from brannox.core import NodeStatus
    from brannox.engine.sequential_engine import SequentialEngine

    target, tree_id, mode, durability, log_path, steps = sys.argv[1:7]
    log = os.open(log_path, os.O_WRONLY | os.O_APPEND | os.O_CREAT)

    def step(node):
        n = node.getInputString("n")
        os.write(log, f"start {n}\\n".encode())
        node._blackboard.set("progress", int(n))
        yield
        os.write(log, f"done {n}\\n".encode())
        node._blackboard.set("s" + n, {"step": int(n), "items": list(range(int(n) % 5))})
        return NodeStatus.SUCCESS

    engine = SequentialEngine()
    engine.register_action_behavior("Step", step, [{"name": "n"}])
    if mode == "start":
        body = "".join(f'<Step n="{i}"/>' for i in range(int(steps)))
        engine.create_tree_from_text(f'<root BTCPP_format="4"><BehaviorTree ID="T"><Sequence>{body}</Sequence>'
                                     '</BehaviorTree></root>')
        follower = durable.attach(engine, tree_id, target, durability=durability, replace=True)
    else:
        follower = durable.resume(engine, tree_id, target, durability=durability)
    state = follower._plan.capture(tree_id, 0.0)
    print("state", json.dumps(state), flush=True)
    # Killed after its last tick was committed: a finished tree is not ticked again
    # (ticking it would start it over).
    status = engine.get_tree_status()["root_status"]
    while status is not NodeStatus.SUCCESS:
        status = engine.tick_once()
        print("tick", engine.get_tree_status()["tick_count"], flush=True)
        time.sleep(0.003)
    follower.flush()
    print("done", flush=True)
""")


def _read_lines(stream):
    # A kill may cut the last line short; only whole lines count.
    text = stream.read()
    lines = text.split("\n")
    return [line.split() for line in lines[:-1] if line]


def _log(path):
    if not os.path.exists(path):
        return []
    with open(path) as f:
        return [tuple(line.split()) for line in f if line.endswith("\n")]


@pytest.mark.parametrize("backend, durability", [("sqlite", "sync"), ("postgres", "sync"), ("sqlite", "async")])
def test_killed_trees_resume_from_their_last_checkpoint(backend, durability, tmp_path, request):
    target = str(tmp_path / "trees.db") if backend == "sqlite" else request.getfixturevalue("postgres_url")
    script = tmp_path / "child.py"
    script.write_text(CHILD)
    rng = random.Random(int(os.environ.get("BRANNOX_CRASH_SEED", "0")) or None)
    kills, runs, deadline = 0, 0, time.monotonic() + 240
    while kills < KILLS:
        runs += 1
        tree_id = f"run-{runs}"
        starts = {}    # step -> times its first line ran (expected)
        dones = {}
        mode = "start"
        round_no = 0
        while True:
            round_no += 1
            assert time.monotonic() < deadline, "crash test took too long"
            log_path = str(tmp_path / f"{tree_id}.{round_no}.log")
            child = subprocess.Popen([sys.executable, str(script), target, tree_id, mode, durability, log_path,
                                      str(STEPS)], stdout=subprocess.PIPE, text=True)
            with child:
                first = child.stdout.readline().split(" ", 1)
                assert first[0] == "state", first
                restored = json.loads(first[1])
                if mode == "resume":
                    _assert_restored(restored, expected_state)
                kill = kills < KILLS
                if kill:
                    time.sleep(rng.uniform(0, 0.15))
                    child.send_signal(signal.SIGKILL)
                lines = _read_lines(child.stdout)
                child.wait(60)
            finished = bool(lines) and lines[-1] == ["done"]
            answered = [int(words[1]) for words in lines if words[0] == "tick" and len(words) == 2]
            with durable.open_store(target) as store:  # always opens after a kill
                try:
                    stored = store.load(tree_id)
                except durable.NoCheckpointError:
                    stored = None  # killed before the first commit: start afresh
            logged = _log(log_path)
            committed = set(stored.state["blackboards"][0][0]) if stored else set()
            for kind, n in logged:
                book = starts if kind == "start" else dones
                book[n] = book.get(n, 0) + 1
            if finished:  # (a kill may still land while it exits)
                assert child.returncode in (0, -signal.SIGKILL)
                break
            assert child.returncode == -signal.SIGKILL
            kills += 1
            if stored is None:
                assert durability == "async" or not answered
                starts, dones, mode = {}, {}, "start"
                continue
            if durability == "sync" and answered:
                # Every tick answered to the caller is in the checkpoint (and at most one more).
                assert answered[-1] <= stored.tick_count <= answered[-1] + 1
            expected_state = stored.state
            mode = "resume"
            # Work the checkpoint does not show as done is done again (and only that).
            for n in {n for _, n in logged}:
                if f"s{n}" not in committed:
                    if ("start", n) in logged:
                        starts[n] -= 1
                    if ("done", n) in logged:
                        dones[n] -= 1
        final = stored.state["blackboards"][0][0]
        assert all(final[f"s{i}"]["step"] == i for i in range(STEPS))
        assert starts == dones == {str(i): 1 for i in range(STEPS)}, (starts, dones)


def _assert_restored(restored, stored):
    """The resumed tree holds the checkpoint's blackboard and node memory; the
    step that was RUNNING starts again, so it is IDLE with no memory."""
    assert restored["blackboards"] == stored["blackboards"]
    assert restored["memory"].get("0") == stored["memory"].get("0")  # the Sequence's position
    assert restored["status"][0] == stored["status"][0]
    for now, then in zip(restored["status"][1:], stored["status"][1:]):
        assert now == ("I" if then == "R" else then)
    assert set(restored["memory"]) <= {"0"}
