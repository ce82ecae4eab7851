"""Checkpoint stores: one interface, an SQLite file (the default) and Postgres.

A store keeps, per tree identifier, the last checkpoint (one row, replaced
by each newer one), the tree's XML (written when it changes) and the lease
that names the tree's one live owner. Every checkpoint is written in one
transaction together with a check that the writer still holds the lease, so
a crash at any instant leaves the previous checkpoint or the next, and an
owner whose lease was taken over can no longer overwrite its successor.

The schema carries a version number. Opening a store made by older code
migrates it forward; a store made by newer code is refused rather than
misread.

Threads: a store object may be used from any thread; its one connection is
guarded by a lock, and the database serialises writers of other processes.
"""

from __future__ import annotations

import json
import os
import socket
import sqlite3
import threading
import time
from contextlib import contextmanager
from dataclasses import dataclass, field

from .errors import LeaseError, NoCheckpointError, SchemaError

SCHEMA_VERSION = 2
#: Every schema the code has known, as DDL; a new version adds an entry to
#: both tables, never changes an old one.
_CREATE = {
    1: [
        "CREATE TABLE IF NOT EXISTS brannox_meta (key TEXT PRIMARY KEY, value TEXT NOT NULL)",
        "CREATE TABLE IF NOT EXISTS brannox_trees (tree_id TEXT PRIMARY KEY, xml TEXT NOT NULL, "
        "xml_hash TEXT NOT NULL)",
        "CREATE TABLE IF NOT EXISTS brannox_checkpoints (tree_id TEXT PRIMARY KEY, seq BIGINT NOT NULL, "
        "tick_count BIGINT NOT NULL, created DOUBLE PRECISION NOT NULL, data TEXT NOT NULL)",
        "CREATE TABLE IF NOT EXISTS brannox_leases (tree_id TEXT PRIMARY KEY, owner TEXT NOT NULL, "
        "pid BIGINT NOT NULL, host TEXT NOT NULL, machine TEXT NOT NULL, expires DOUBLE PRECISION NOT NULL)",
    ],
}
#: Steps from version N to N + 1.
_MIGRATE = {
    1: [
        # Included files (path -> {"sha256", "text"}) and the file the XML came from.
        "ALTER TABLE brannox_trees ADD COLUMN includes TEXT NOT NULL DEFAULT '{}'",
        "ALTER TABLE brannox_trees ADD COLUMN source TEXT",
    ],
}


def _machine_id() -> str:
    """Tells this machine and PID namespace apart from others sharing a host name,
    so that a lease of a dead local process can be recognised as such."""
    parts = []
    try:
        with open("/proc/sys/kernel/random/boot_id", encoding="ascii") as f:
            parts.append(f.read().strip())
    except OSError:
        parts.append(socket.gethostname())
    try:
        parts.append(str(os.stat("/proc/self/ns/pid").st_ino))
    except OSError:
        pass
    return ":".join(parts)


HOST = socket.gethostname()
MACHINE = _machine_id()


def _pid_alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    except OSError:
        return True
    # A zombie has exited but keeps its PID until reaped.
    try:
        with open(f"/proc/{pid}/stat", encoding="ascii") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except (OSError, IndexError):
        return True


@dataclass(frozen=True)
class Lease:
    tree_id: str
    owner: str
    pid: int
    host: str
    machine: str
    expires: float


@dataclass(frozen=True)
class TreeSummary:
    """One line of :meth:`Store.list_trees`."""
    tree_id: str
    seq: int
    tick_count: int
    created: float          # wall-clock time of the last checkpoint (seconds since the epoch)
    owner_pid: int | None   # None when no live lease
    owner_host: str | None
    lease_expires: float | None


@dataclass(frozen=True)
class StoredCheckpoint:
    tree_id: str
    seq: int
    tick_count: int
    created: float
    state: dict              # the decoded JSON document
    xml: str
    xml_hash: str
    includes: dict = field(default_factory=dict)
    source: str | None = None


@dataclass
class CheckpointWrite:
    """What a writer hands the store; ``xml`` is None when the stored XML is current."""
    tree_id: str
    owner: str
    seq: int
    tick_count: int
    data: object             # JSON text (the writer encodes a captured state before writing)
    xml: str | None = None
    xml_hash: str = ""
    includes: dict = field(default_factory=dict)
    source: str | None = None
    lease_seconds: float = 15.0


class Store:
    """The interface both back-ends implement. Open one with :func:`open_store`."""

    #: How the back-end writes "?" parameters.
    _param = "?"

    def __init__(self):
        self._lock = threading.RLock()
        self._closed = False
        self.writer = None       # the async write-behind queue, made on first use
        self.lease_keeper = None  # renews this process's leases, made on first use

    # -- back-end specific ------------------------------------------------------
    def _connect(self):
        raise NotImplementedError

    @contextmanager
    def _transaction(self):
        """Yields run(sql, params) -> cursor, inside one transaction."""
        raise NotImplementedError

    def _now(self, run) -> float:
        return time.time()

    def _lock_schema(self, run) -> None:
        """Keeps two processes from creating or migrating the schema at once."""

    # -- schema -------------------------------------------------------------------
    def _ensure_schema(self) -> None:
        with self._transaction() as run:
            self._lock_schema(run)
            version = self._schema_version(run)
            if version is None:
                for v in sorted(_CREATE):
                    for sql in _CREATE[v]:
                        run(sql)
                    if v in _MIGRATE:
                        for sql in _MIGRATE[v]:
                            run(sql)
                run("INSERT INTO brannox_meta (key, value) VALUES ('schema_version', ?)", (str(SCHEMA_VERSION),))
                return
            if version > SCHEMA_VERSION:
                raise SchemaError(
                    f"{self.label}: the store's schema is version {version}, newer than the version "
                    f"{SCHEMA_VERSION} this code knows; upgrade brannox to use it (nothing was changed)"
                )
            while version < SCHEMA_VERSION:
                for sql in _MIGRATE[version]:
                    run(sql)
                version += 1
            run("UPDATE brannox_meta SET value = ? WHERE key = 'schema_version'", (str(version),))

    def _schema_version(self, run):
        if not self._has_table(run, "brannox_meta"):
            return None
        row = run("SELECT value FROM brannox_meta WHERE key = 'schema_version'").fetchone()
        if row is None:
            raise SchemaError(f"{self.label}: has a brannox_meta table without a schema version")
        try:
            return int(row[0])
        except ValueError:
            raise SchemaError(f"{self.label}: schema version {row[0]!r} is not a number") from None

    def schema_version(self) -> int:
        with self._transaction() as run:
            return self._schema_version(run)

    def _has_table(self, run, name: str) -> bool:
        raise NotImplementedError

    # -- checkpoints ----------------------------------------------------------------
    def write(self, batch: list) -> set:
        """Writes each checkpoint of ``batch`` whose writer still holds the tree's
        lease (renewing it), all in one transaction; returns the tree ids whose
        lease was lost (their checkpoints are not written)."""
        lost = set()
        with self._transaction() as run:
            now = self._now(run)
            for item in batch:
                cur = run("UPDATE brannox_leases SET expires = ? WHERE tree_id = ? AND owner = ?",
                          (now + item.lease_seconds, item.tree_id, item.owner))
                if cur.rowcount != 1:
                    lost.add(item.tree_id)
                    continue
                if item.xml is not None:
                    run("INSERT INTO brannox_trees (tree_id, xml, xml_hash, includes, source) VALUES (?, ?, ?, ?, ?) "
                        "ON CONFLICT (tree_id) DO UPDATE SET xml = excluded.xml, xml_hash = excluded.xml_hash, "
                        "includes = excluded.includes, source = excluded.source",
                        (item.tree_id, item.xml, item.xml_hash, json.dumps(item.includes), item.source))
                run("INSERT INTO brannox_checkpoints (tree_id, seq, tick_count, created, data) VALUES (?, ?, ?, ?, ?) "
                    "ON CONFLICT (tree_id) DO UPDATE SET seq = excluded.seq, tick_count = excluded.tick_count, "
                    "created = excluded.created, data = excluded.data",
                    (item.tree_id, item.seq, item.tick_count, now, item.data))
        return lost

    def load(self, tree_id: str) -> StoredCheckpoint:
        with self._transaction() as run:
            row = run("SELECT c.seq, c.tick_count, c.created, c.data, t.xml, t.xml_hash, t.includes, t.source "
                      "FROM brannox_checkpoints c JOIN brannox_trees t ON t.tree_id = c.tree_id "
                      "WHERE c.tree_id = ?", (tree_id,)).fetchone()
        if row is None:
            raise NoCheckpointError(f"{self.label} holds no checkpoint of tree {tree_id!r}")
        seq, ticks, created, data, xml, xml_hash, includes, source = row
        return StoredCheckpoint(tree_id, int(seq), int(ticks), float(created), json.loads(data), xml, xml_hash,
                                json.loads(includes or "{}"), source)

    def list_trees(self) -> list:
        with self._transaction() as run:
            now = self._now(run)
            rows = run("SELECT c.tree_id, c.seq, c.tick_count, c.created, l.pid, l.host, l.expires "
                       "FROM brannox_checkpoints c LEFT JOIN brannox_leases l ON l.tree_id = c.tree_id "
                       "ORDER BY c.tree_id").fetchall()
        out = []
        for tree_id, seq, ticks, created, pid, host, expires in rows:
            live = expires is not None and expires > now
            out.append(TreeSummary(tree_id, int(seq), int(ticks), float(created), int(pid) if live else None,
                                   host if live else None, float(expires) if live else None))
        return out

    def delete(self, tree_id: str) -> None:
        """Forget the tree: its checkpoint, its XML and its lease."""
        with self._transaction() as run:
            for table in ("brannox_checkpoints", "brannox_trees", "brannox_leases"):
                run(f"DELETE FROM {table} WHERE tree_id = ?", (tree_id,))

    # -- leases -------------------------------------------------------------------
    def lease(self, tree_id: str) -> Lease | None:
        """The tree's lease if it is live, else None."""
        with self._transaction() as run:
            now = self._now(run)
            row = run("SELECT owner, pid, host, machine, expires FROM brannox_leases WHERE tree_id = ?",
                      (tree_id,)).fetchone()
        if row is None or row[4] <= now:
            return None
        return Lease(tree_id, row[0], int(row[1]), row[2], row[3], float(row[4]))

    def acquire(self, tree_id: str, owner: str, lease_seconds: float) -> None:
        """Make ``owner`` the tree's owner, or raise LeaseError naming the live one.

        A lease is taken over once it has expired, or at once when it names a
        process of this machine that no longer exists. Both cases are a
        compare-and-swap on the old owner, so of two racing processes exactly
        one wins.
        """
        with self._transaction() as run:
            now = self._now(run)
            row = run("SELECT owner, pid, host, machine, expires FROM brannox_leases WHERE tree_id = ?",
                      (tree_id,)).fetchone()
            values = (owner, os.getpid(), HOST, MACHINE, now + lease_seconds)
            if row is None:
                cur = run("INSERT INTO brannox_leases (tree_id, owner, pid, host, machine, expires) "
                          "VALUES (?, ?, ?, ?, ?, ?) ON CONFLICT (tree_id) DO NOTHING", (tree_id, *values))
                won = cur.rowcount == 1
            else:
                old_owner, pid, host, machine, expires = row
                dead = machine == MACHINE and int(pid) != os.getpid() and not _pid_alive(int(pid))
                if old_owner != owner and expires > now and not dead:
                    raise LeaseError(tree_id, int(pid), host, expires - now)
                cur = run("UPDATE brannox_leases SET owner = ?, pid = ?, host = ?, machine = ?, expires = ? "
                          "WHERE tree_id = ? AND owner = ?", (*values, tree_id, old_owner))
                won = cur.rowcount == 1
        if not won:
            # Another process won the swap in between; name it.
            held = self.lease(tree_id)
            if held is None:
                raise LeaseError(tree_id, "unknown", "unknown")
            raise LeaseError(tree_id, held.pid, held.host, held.expires - time.time())

    def renew(self, leases: list) -> set:
        """Extends each (tree_id, owner, lease_seconds) lease; returns the tree ids no longer held."""
        lost = set()
        if not leases:
            return lost
        with self._transaction() as run:
            now = self._now(run)
            for tree_id, owner, lease_seconds in leases:
                cur = run("UPDATE brannox_leases SET expires = ? WHERE tree_id = ? AND owner = ?",
                          (now + lease_seconds, tree_id, owner))
                if cur.rowcount != 1:
                    lost.add(tree_id)
        return lost

    def release(self, tree_id: str, owner: str) -> None:
        with self._transaction() as run:
            run("DELETE FROM brannox_leases WHERE tree_id = ? AND owner = ?", (tree_id, owner))

    # -- life ---------------------------------------------------------------------
    def _open(self) -> None:
        """Connects and brings the schema up to date; a store it refuses is closed again."""
        self._conn = self._connect()
        try:
            self._ensure_schema()
        except BaseException:
            self._conn.close()
            raise

    def close(self) -> None:
        """Writes what the async queue holds, stops renewing leases, closes the connection."""
        if self._closed:
            return
        if self.writer is not None:
            self.writer.close()
        if self.lease_keeper is not None:
            self.lease_keeper.close()
        with self._lock:
            self._closed = True
            self._conn.close()

    def flush(self, timeout: float | None = None) -> None:
        """Waits until every checkpoint queued by async trees is written."""
        if self.writer is not None:
            self.writer.flush(timeout)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __repr__(self) -> str:
        return f"<{type(self).__name__} {self.label}>"


class SQLiteStore(Store):
    """A store in one SQLite file, in WAL mode.

    ``synchronous="NORMAL"`` (the default) keeps every committed checkpoint
    through a crash of the process; only a power loss or an operating-system
    crash may lose the last ones. ``"FULL"`` syncs each commit to the disk,
    at the cost of a disk flush per checkpoint.
    """

    def __init__(self, path, *, synchronous: str = "NORMAL", busy_timeout: float = 30.0):
        super().__init__()
        if synchronous not in ("NORMAL", "FULL"):
            raise ValueError(f"synchronous must be 'NORMAL' or 'FULL', not {synchronous!r}")
        self.path = os.fspath(path)
        self.label = os.path.abspath(self.path)
        self._synchronous = synchronous
        self._busy_timeout = busy_timeout
        self._open()

    def _connect(self):
        try:
            conn = sqlite3.connect(self.path, timeout=self._busy_timeout, isolation_level=None,
                                   check_same_thread=False)
        except sqlite3.Error as exc:
            raise SchemaError(f"{self.path}: cannot be opened as a checkpoint store: {exc}") from None
        try:
            conn.execute("PRAGMA journal_mode=WAL").fetchone()
            conn.execute(f"PRAGMA synchronous={self._synchronous}")
        except sqlite3.DatabaseError as exc:
            conn.close()
            raise SchemaError(f"{self.path}: is not an SQLite database: {exc}") from None
        return conn

    @contextmanager
    def _transaction(self):
        with self._lock:
            if self._closed:
                raise ValueError(f"store {self.label} is closed")
            conn = self._conn
            # IMMEDIATE: the write lock is taken at the start, so a
            # read-then-write (a lease swap) cannot be interleaved.
            conn.execute("BEGIN IMMEDIATE")
            try:
                yield conn.execute
            except BaseException:
                conn.execute("ROLLBACK")
                raise
            conn.execute("COMMIT")

    def _has_table(self, run, name: str) -> bool:
        return run("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?", (name,)).fetchone() is not None


class PostgresStore(Store):
    """A store in a Postgres database, for trees whose owners run on several machines.

    Needs the ``durable`` extra (psycopg 3). Times (leases, checkpoint times)
    are the database server's, so the machines' clocks need not agree.
    """

    _param = "%s"

    def __init__(self, conninfo: str, *, connect_timeout: float = 10.0):
        super().__init__()
        try:
            import psycopg
        except ImportError:
            raise ImportError("the Postgres store needs psycopg 3: pip install 'brannox-mthread[durable]'") from None
        self._psycopg = psycopg
        self.conninfo = conninfo
        self.label = _redact(conninfo)
        self._connect_timeout = connect_timeout
        self._open()

    def _connect(self):
        return self._psycopg.connect(self.conninfo, autocommit=True, connect_timeout=int(self._connect_timeout))

    @contextmanager
    def _transaction(self):
        with self._lock:
            if self._closed:
                raise ValueError(f"store {self.label} is closed")
            conn = self._conn
            if conn.closed or conn.broken:
                self._conn = conn = self._connect()
            with conn.transaction(), conn.cursor() as cur:
                def run(sql, params=()):
                    cur.execute(sql.replace("?", "%s"), params)
                    return cur
                yield run

    def _now(self, run) -> float:
        return float(run("SELECT EXTRACT(EPOCH FROM clock_timestamp())").fetchone()[0])

    # One statement is one transaction: the lease is checked and renewed and
    # the checkpoint written in a single round trip to the server.
    _WRITE_ONE = (
        "WITH now AS (SELECT EXTRACT(EPOCH FROM clock_timestamp())::float8 AS t), "
        "lease AS (UPDATE brannox_leases SET expires = (SELECT t FROM now) + %s "
        "WHERE tree_id = %s AND owner = %s RETURNING tree_id) "
        "INSERT INTO brannox_checkpoints (tree_id, seq, tick_count, created, data) "
        "SELECT tree_id, %s, %s, (SELECT t FROM now), %s FROM lease "
        "ON CONFLICT (tree_id) DO UPDATE SET seq = excluded.seq, tick_count = excluded.tick_count, "
        "created = excluded.created, data = excluded.data RETURNING 1"
    )

    def write(self, batch: list) -> set:
        if len(batch) != 1 or batch[0].xml is not None:
            return super().write(batch)
        item = batch[0]
        with self._lock:
            if self._closed:
                raise ValueError(f"store {self.label} is closed")
            if self._conn.closed or self._conn.broken:
                self._conn = self._connect()
            row = self._conn.execute(self._WRITE_ONE, (item.lease_seconds, item.tree_id, item.owner, item.seq,
                                                       item.tick_count, item.data)).fetchone()
        return set() if row is not None else {item.tree_id}

    def _lock_schema(self, run) -> None:
        run("SELECT pg_advisory_xact_lock(7243019)")

    def _has_table(self, run, name: str) -> bool:
        return run("SELECT to_regclass(?) IS NOT NULL", (name,)).fetchone()[0]


def _redact(conninfo: str) -> str:
    """The connection string without its password, for messages and listings."""
    import re
    text = re.sub(r"(://[^:/@]*:)[^@]*@", r"\1***@", conninfo)
    return re.sub(r"(password\s*=\s*)\S+", r"\1***", text)


def is_postgres(target: str) -> bool:
    return target.startswith(("postgresql://", "postgres://")) or "dbname=" in target or "host=" in target


def open_store(target) -> Store:
    """A Store for ``target``: a Store (returned as is), a Postgres connection
    string (``postgresql://...`` or ``key=value`` form), or an SQLite file path."""
    if isinstance(target, Store):
        return target
    if isinstance(target, str) and is_postgres(target):
        return PostgresStore(target)
    return SQLiteStore(target)
