"""Runs behaviour trees sharded over worker processes and machines with Ray:
the thread engine's methods, plus coarse calls (`tick_many`, `submit`).

Needs the `distributed` extra (`pip install "brannox-mthread[distributed]"`).
"""
from ._engine import DistributedEngine

__all__ = ["DistributedEngine"]
