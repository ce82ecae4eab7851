"""What a tree does, as a stream of small mappings, for programs.

    with events.subscribe(engine, "t") as sub:     # a ThreadEngine or a DistributedEngine
        for ev in sub:                             # ends with an "end" event once the tree is stopped
            print(ev["kind"], ev)

    async for ev in AsyncEngine(engine).events("t"): ...

Every event has ``kind``, ``tree_id`` and ``time`` (Unix seconds); see
docs/events.md for the kinds and their fields. Each subscription keeps at
most ``buffer`` events; one that falls behind loses the oldest and is told
how many with a "gap" event, and the tree never waits for it. One that stops
reading altogether is paused until it reads again, and then told how many
ticks went unrecorded; while paused it costs the tree nothing.
"""
from ._channel import BATCH_EVENTS, BUFFER_EVENTS
from ._subscription import Subscription, subscribe

__all__ = ["BATCH_EVENTS", "BUFFER_EVENTS", "Subscription", "subscribe"]
