"""The processes descending from one process, read from Linux's /proc.

Not part of the public interface: the benchmarks and the tests that start
worker processes use it to find what they started.
"""
from __future__ import annotations

import os
import pathlib

PROC = pathlib.Path("/proc")


def children_by_parent() -> dict[int, list[int]]:
    """{parent pid: [child pids]} of every process visible now."""
    kids: dict[int, list[int]] = {}
    for entry in PROC.iterdir():
        if entry.name.isdigit():
            try:
                # The command name in parentheses may hold spaces and ")".
                ppid = int((entry / "stat").read_text().rsplit(")", 1)[1].split()[1])
            except (OSError, IndexError, ValueError):
                continue  # ended meanwhile
            kids.setdefault(ppid, []).append(int(entry.name))
    return kids


def descendants(root: int | None = None) -> list[int]:
    """Pids of the processes under `root` (this process by default), parents first."""
    kids, found, todo = children_by_parent(), [], [root or os.getpid()]
    while todo:
        for pid in kids.get(todo.pop(), []):
            todo.append(pid)
            found.append(pid)
    return found
