"""Runs behaviour trees sharded over worker processes and machines with Ray:
the thread engine's methods, plus coarse calls (`tick_many`, `submit`).

Needs the `distributed` extra (`pip install "brannox-mthread[distributed]"`).
"""
try:
    import ray  # noqa: F401
except ModuleNotFoundError as exc:
    if exc.name != "ray":
        raise
    raise ModuleNotFoundError(
        'DistributedEngine needs Ray, which is not installed: pip install "brannox-mthread[distributed]"',
        name="ray") from exc

from ._engine import DistributedEngine, WorkerError, WorkerTraceback

__all__ = ["DistributedEngine", "WorkerError", "WorkerTraceback"]
