"""The errors of the durable package; all derive from DurableError."""

from __future__ import annotations


class DurableError(Exception):
    """Base of the errors raised by brannox.durable."""

    def __reduce__(self):
        # Rebuilt from its text and attributes, not its constructor's
        # arguments, so that it reaches a DistributedEngine's driver as itself.
        return _rebuilt, (type(self), self.args, dict(self.__dict__))


def _rebuilt(cls, args, state):
    error = cls.__new__(cls)
    Exception.__init__(error, *args)
    error.__dict__.update(state)
    return error


class SchemaError(DurableError):
    """The store's schema cannot be used by this code (newer, or not a checkpoint store)."""


class UnstorableValueError(DurableError, TypeError):
    """A blackboard value has no JSON form and no registered codec."""

    def __init__(self, tree_id: str, key: str, value, why: str, reading: bool = False):
        self.tree_id, self.key = tree_id, key
        if reading:
            text = f"tree {tree_id!r}: blackboard entry {key!r} cannot be read back: {why}"
        else:
            text = (f"tree {tree_id!r}: blackboard entry {key!r} holds a value of type "
                    f"{type(value).__qualname__}, which cannot be stored: {why}")
        super().__init__(text)


class LeaseError(DurableError):
    """The tree has another live owner."""

    def __init__(self, tree_id: str, pid, host: str, expires_in: float | None = None):
        self.tree_id, self.pid, self.host = tree_id, pid, host
        until = "" if expires_in is None else f"; its lease runs for another {max(expires_in, 0):.1f} s"
        super().__init__(f"tree {tree_id!r} is owned by process {pid} on host {host!r}{until}")


class LeaseLostError(DurableError):
    """This process's lease on a tree was taken over; its checkpoints are no longer written."""


class CheckpointMismatchError(DurableError):
    """A checkpoint does not fit the tree built from its XML."""


class NoCheckpointError(DurableError, KeyError):
    """The store holds no checkpoint of that tree."""

    def __str__(self) -> str:
        return str(self.args[0]) if self.args else ""
