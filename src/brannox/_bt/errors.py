"""Exceptions raised by the core.

Every exception derives from BehaviorTreeError, and also from the builtin
type a caller would naturally catch (ValueError for bad input, RuntimeError
for failures while ticking).
"""

from __future__ import annotations


class BehaviorTreeError(Exception):
    """Base class of every error the core raises on purpose."""


class RegistrationError(BehaviorTreeError, ValueError):
    """An action registration was refused (bad id, bad ports, duplicate id)."""


class TreeBuildError(BehaviorTreeError, ValueError):
    """The XML was understood but describes a tree that cannot be built.

    ``element`` is the XML tag at fault and ``line`` its line number, when known.
    """

    def __init__(self, message: str, *, element: str | None = None, line: int | None = None):
        where = []
        if line is not None:
            where.append(f"line {line}")
        if element is not None:
            where.append(f"<{element}>")
        super().__init__(f"{', '.join(where)}: {message}" if where else message)
        self.element = element
        self.line = line


class XMLParseError(TreeBuildError):
    """The text is not well-formed XML, or uses a refused feature (DTD, entities)."""


class PortError(BehaviorTreeError, LookupError):
    """A tick function asked for a port the node cannot provide."""


class TickError(BehaviorTreeError, RuntimeError):
    """A node failed while being ticked; the message names the node and the tree."""


class TreeNotLoadedError(BehaviorTreeError, RuntimeError):
    """An operation needs a tree but none has been created yet."""
