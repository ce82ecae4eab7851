"""The commands every engine serves on one tree, written once.

The ThreadEngine's compiled table is the source of these names and argument
lists; the Python faces around the engines (the distributed engine, the
asyncio face) read this table instead of keeping lists of their own.
"""
from __future__ import annotations

#: Public command -> (the command type its failure texts name, the checks of
#: its arguments after the tree identifier: (name, exact type or None)).
#: ``stop_tree`` is not here: it ends the tree rather than being served by it.
TREE_COMMANDS = {
    "tick_once": ("tick_once", ()),
    "tick_until_failure": ("tick_until_failure", ()),
    "tick_until_success": ("tick_until_success", ()),
    "tick_n_times": ("tick_n_times", (("n", int),)),
    "get_tree_status": ("get_status", ()),
    "get_blackboard_data": ("get_blackboard_data", (("key", str),)),
    "set_blackboard_data": ("set_blackboard_data", (("key", str), ("value", None))),
    "get_all_blackboard_data": ("get_all_blackboard_data", ()),
    "reset_tree": ("reset", ()),
}
