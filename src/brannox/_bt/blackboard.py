"""Key/value store shared by the nodes of one tree.

A sub-tree gets its own Blackboard whose keys can be remapped onto the parent's
(explicitly, or all of them with ``_autoremap``), so a sub-tree can be reused
with different wiring. A key written ``@name`` names the entry ``name`` of the
root blackboard (the tree's top scope), from any depth and whatever the remapping.
"""

from __future__ import annotations

_MISSING = object()


class Blackboard:
    __slots__ = ("_data", "_parent", "_remap", "_autoremap", "_root", "_versions")

    def __init__(self, parent: Blackboard | None = None, remap: dict | None = None, autoremap: bool = False):
        self._data: dict = {}
        self._parent = parent
        self._remap = dict(remap or {})  # internal key -> parent key
        self._autoremap = autoremap and parent is not None
        self._root = self if parent is None else parent._root
        # key -> times written; lets nodes wait for a new write of an entry.
        self._versions: dict = {}

    def _resolve(self, key: str) -> tuple[Blackboard, str]:
        bb = self
        while True:
            if key[:1] == "@":
                return bb._root, key[1:]
            if key in bb._remap:
                key = bb._remap[key]
                bb = bb._parent
            elif bb._autoremap and not key.startswith("_") and key not in bb._data:
                # Keys starting with "_" stay private to the sub-tree.
                bb = bb._parent
            else:
                return bb, key

    def get(self, key: str, default=None):
        bb, key = self._resolve(key)
        return bb._data.get(key, default)

    def has(self, key: str) -> bool:
        return self.get(key, _MISSING) is not _MISSING

    def set(self, key: str, value) -> None:
        bb, key = self._resolve(key)
        bb._data[key] = value
        bb._versions[key] = bb._versions.get(key, 0) + 1

    def set_local(self, key: str, value) -> None:
        """Write in this scope, bypassing remapping (literal sub-tree ports)."""
        self._data[key] = value
        self._versions[key] = self._versions.get(key, 0) + 1

    def version(self, key: str) -> int:
        """How many times the entry has been written (0: never), following remapping."""
        bb, key = self._resolve(key)
        return bb._versions.get(key, 0)

    def snapshot(self) -> dict:
        """A shallow copy of this scope's own entries."""
        return dict(self._data)
