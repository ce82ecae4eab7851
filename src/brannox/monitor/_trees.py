"""Finding a ThreadEngine's core trees in the core's registry, without commanding the engine."""

from __future__ import annotations

import time

from .._bt.observe import REGISTRY, TreeEntry


def engine_threads(engine) -> dict:
    """{thread: tree identifier} for the engine's live trees (a plain read of ``engine.trees``)."""
    out = {}
    for tree_id, record in list(engine.trees.items()):
        thread = record.get("thread") if isinstance(record, dict) else None
        if thread is not None:
            out[thread] = tree_id
    return out


def find_entry(engine, tree_id: str, timeout: float = 10.0) -> TreeEntry:
    """The registry entry of ``engine``'s tree ``tree_id``, waiting for the tree thread to build it.

    Raises ValueError when the identifier is not live, RuntimeError when the
    tree thread ends (or times out) without building a tree.
    """
    record = engine.trees.get(tree_id)
    if not isinstance(record, dict):
        raise ValueError(f"no live tree {tree_id!r}")
    deadline = time.monotonic() + timeout
    while True:
        thread = record.get("thread")
        if thread is not None:
            entry = REGISTRY.for_thread(thread)
            if entry is not None:
                return entry
            if not thread.is_alive() and thread.ident is not None:
                raise RuntimeError(f"tree {tree_id!r} has no built tree (its thread ended)")
        if time.monotonic() > deadline:
            raise RuntimeError(f"tree {tree_id!r} was not built within {timeout} s")
        time.sleep(0.01)
