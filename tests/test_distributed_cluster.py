"""The distributed engine on a local multi-node Ray cluster (several Ray nodes
on this machine, all bound to loopback): trees spread over the nodes, and
removing a node loses exactly its trees."""
import time

import pytest

from distributed_support import is_loopback, listening_addresses, ray_processes, require_ray

require_ray()

import ray  # noqa: E402
from ray.cluster_utils import Cluster  # noqa: E402

from brannox.core import NodeStatus  # noqa: E402
from brannox.engine.distributed import DistributedEngine  # noqa: E402

pytestmark = pytest.mark.timeout(120)

NODE = {"num_cpus": 1, "node_ip_address": "127.0.0.1", "object_store_memory": 80 * 1024 * 1024}
# A node that stops answering is declared dead after about 1.5 s instead of 30 s.
HEALTH = {"health_check_initial_delay_ms": 0, "health_check_period_ms": 300,
          "health_check_timeout_ms": 300, "health_check_failure_threshold": 5}
XML = '<root BTCPP_format="4"><BehaviorTree ID="M"><Step/></BehaviorTree></root>'


def step(node):
    return NodeStatus.SUCCESS


@pytest.fixture(scope="module")
def cluster():
    c = Cluster(initialize_head=True, head_node_args={**NODE, "include_dashboard": False, "_system_config": HEALTH})
    nodes = [c.add_node(**NODE) for _ in range(2)]
    c.wait_for_nodes()
    yield c, nodes
    if ray.is_initialized():
        ray.shutdown()
    c.shutdown()
    deadline = time.monotonic() + 15
    while ray_processes() and time.monotonic() < deadline:
        time.sleep(0.2)
    assert ray_processes() == []


@pytest.fixture(scope="module")
def engine(cluster):
    c, _ = cluster
    e = DistributedEngine(address=c.address)  # one worker per CPU: one per node
    e.register_action_behavior("Step", step, [])
    yield e
    e.close()
    assert ray.is_initialized()  # a joined cluster is left running


def node_of(engine, tree_id):
    actor = engine.worker_of(tree_id)[1]
    return ray.get(actor.__ray_call__.remote(lambda self: ray.get_runtime_context().get_node_id()))


def test_listens_on_loopback_only(engine):
    pids = ray_processes()
    assert len(pids) >= 6
    sockets = listening_addresses(pids)
    assert sockets and [s for s in sockets if not is_loopback(s[0])] == []


def test_trees_spread_and_a_removed_node_loses_exactly_its_trees(cluster, engine):
    c, nodes = cluster
    assert engine.num_workers == 3
    ids = [engine.create_tree_from_text(XML, f"t{i}") for i in range(6)]
    placed = {t: node_of(engine, t) for t in ids}
    assert len(set(placed.values())) == 3
    victim = nodes[0]
    doomed = sorted(t for t, n in placed.items() if n == victim.node_id)
    assert len(doomed) == 2
    c.remove_node(victim)
    started = time.monotonic()
    result = engine.tick_many()
    assert time.monotonic() - started < 10
    for t in ids:
        if t in doomed:
            assert type(result[t]) is RuntimeError
            assert str(result[t]) == f"行为树 {t} 执行命令 tick_n_times 失败: 行为树 {t} 所在的工作进程已丢失"
        else:
            assert result[t] == [NodeStatus.SUCCESS]
    assert engine.get_tree_ids() == ids
    for t in doomed:
        engine.stop_tree(t)
    fresh = engine.create_tree_from_text(XML, "fresh")  # the replacement worker takes it
    assert engine.tick_once(fresh) is NodeStatus.SUCCESS
