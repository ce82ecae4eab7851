"""Durable behaviour trees: checkpoints in SQLite or Postgres, resume after a crash,
one owner per tree at a time.

    from brannox.durable import attach, resume

    engine.create_tree_from_text(xml)             # a SequentialEngine, or
    tree = attach(engine, "order-42", "trees.db")  # ThreadEngine tree "order-42"
    engine.tick_once()                             # answered once the checkpoint is committed

    # in a new process, after a crash:
    tree = resume(engine, "order-42", "trees.db")  # same structure, blackboards, node memory

See docs/durable.md for what resumes, what runs again, and what is refused.
"""

from ._codec import register_codec, unregister_codec
from ._follow import DURABILITY, LEASE_SECONDS, DurableTree, attach, resume
from .errors import (
    CheckpointMismatchError,
    DurableError,
    LeaseError,
    LeaseLostError,
    NoCheckpointError,
    SchemaError,
    UnstorableValueError,
)
from .store import SCHEMA_VERSION, PostgresStore, SQLiteStore, Store, open_store

__all__ = [
    "DURABILITY",
    "LEASE_SECONDS",
    "SCHEMA_VERSION",
    "CheckpointMismatchError",
    "DurableError",
    "DurableTree",
    "LeaseError",
    "LeaseLostError",
    "NoCheckpointError",
    "PostgresStore",
    "SQLiteStore",
    "SchemaError",
    "Store",
    "UnstorableValueError",
    "attach",
    "open_store",
    "register_codec",
    "resume",
    "unregister_codec",
]
