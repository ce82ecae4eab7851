"""Trees in asyncio programs: the engines' methods as coroutines.

    async with AsyncEngine(ThreadEngine()) as engine:
        tree = await engine.create_tree_from_text(xml, "t")
        status = await engine.tick_once(tree)

The event loop never waits for a tree: commands run on a small, bounded set
of helper threads (or through a DistributedEngine's futures) and their
answers come back to the loop. See docs/asyncio.md.
"""
from ._engine import AsyncEngine

__all__ = ["AsyncEngine"]
