"""TreeNode, the object every node of a built tree is, and port handling."""

from __future__ import annotations

import logging
import re
import time
from dataclasses import dataclass
from types import MappingProxyType
from typing import Any

from .blackboard import Blackboard
from .errors import PortError, RegistrationError, TickError, TreeBuildError
from .script import INT_MAX, INT_MIN, ScriptError
from .status import NodeStatus

#: Where the core reports what it must not raise: failures of halt callbacks.
logger = logging.getLogger("brannox.core")

PORT_TYPES = ("string", "object")
PORT_DIRECTIONS = ("input", "output")
# Attributes every element may carry that are not ports.
RESERVED_ATTRIBUTES = frozenset({"name", "ID"})
#: Script attributes every node accepts: pre-conditions (checked in this order
#: when the node starts), the guard checked on every tick, and post-scripts.
PRE_CONDITIONS = ("_failureIf", "_successIf", "_skipIf")
POST_SCRIPTS = ("_onSuccess", "_onFailure", "_onHalted", "_post")
CONDITION_ATTRIBUTES = frozenset(PRE_CONDITIONS + ("_while",) + POST_SCRIPTS)

_RUNNING, _SUCCESS, _FAILURE, _SKIPPED, _IDLE = (
    NodeStatus.RUNNING, NodeStatus.SUCCESS, NodeStatus.FAILURE, NodeStatus.SKIPPED, NodeStatus.IDLE,
)


#: Event kinds the observation layer makes itself; ``TreeNode.emit`` refuses them.
RESERVED_EVENT_KINDS = frozenset({"transition", "blackboard", "tick_start", "tick_end", "halt", "gap", "end"})


def check_event_kind(kind: object) -> None:
    if type(kind) is not str:
        raise TypeError(f"the kind of an event is a str, not {type(kind).__name__}")
    if not kind or kind in RESERVED_EVENT_KINDS:
        raise ValueError(f"the kind of an event must be a non-empty name other than "
                         f"{', '.join(sorted(RESERVED_EVENT_KINDS))}; got {safe_repr(kind)}")


class TickWork:
    """What is left of the current tick's work cap, shared by the nodes of one tree."""

    __slots__ = ("left", "limit")

    def __init__(self) -> None:
        self.left = self.limit = 0


@dataclass(frozen=True)
class PortInfo:
    name: str
    type: str = "string"
    direction: str = "input"
    description: str = ""


def parse_port_list(owner: str, ports) -> dict:
    """Validate a list of port dicts and return {name: PortInfo}.

    "type" defaults to "string", "direction" to "input", "description" to "".
    """
    if not isinstance(ports, (list, tuple)):
        raise RegistrationError(f"ports of '{owner}' must be a list of dicts, not {type(ports).__name__}")
    declared: dict = {}
    for i, port in enumerate(ports):
        if not isinstance(port, dict):
            raise RegistrationError(f"port #{i} of '{owner}' must be a dict, not {type(port).__name__}")
        name = port.get("name")
        if not isinstance(name, str) or not name or name != name.strip():
            raise RegistrationError(f"port #{i} of '{owner}' needs a non-empty \"name\" without surrounding spaces")
        if name in RESERVED_ATTRIBUTES:
            raise RegistrationError(f"port name '{name}' of '{owner}' is reserved for the element itself")
        if name in CONDITION_ATTRIBUTES:
            raise RegistrationError(f"port name '{name}' of '{owner}' is reserved for a pre- or post-condition")
        if name.startswith("_"):
            # Attributes beginning with "_" are conditions or editor metadata, never ports.
            raise RegistrationError(f"port name '{name}' of '{owner}' begins with '_', which is kept for metadata")
        if name in declared:
            raise RegistrationError(f"'{owner}' declares port '{name}' twice")
        ptype = port.get("type", "string")
        direction = port.get("direction", "input")
        description = port.get("description", "")
        if ptype not in PORT_TYPES:
            raise RegistrationError(f"port '{name}' of '{owner}': type must be one of {PORT_TYPES}, not {ptype!r}")
        if direction not in PORT_DIRECTIONS:
            raise RegistrationError(
                f"port '{name}' of '{owner}': direction must be one of {PORT_DIRECTIONS}, not {direction!r}"
            )
        declared[name] = PortInfo(name, ptype, direction, str(description or ""))
    return declared


#: Boolean literals of ports (and of ``_autoremap``), by their lower-case text.
BOOLEANS = MappingProxyType({"true": True, "1": True, "false": False, "0": False})
#: The statuses a port such as ``else`` or ``if_empty`` may name.
STATUS_LITERALS = MappingProxyType({"SUCCESS": _SUCCESS, "FAILURE": _FAILURE, "SKIPPED": _SKIPPED})
# int() also takes other scripts' digits, underscores and any amount of digits.
_INT_TEXT = re.compile(r"[ \t\r\n]*([+-]?)0*([0-9]+)[ \t\r\n]*\Z")


def port_reference(port: str, raw: str) -> str | None:
    """The blackboard key an attribute ``port="raw"`` refers to, or None for a literal.

    ``{key}`` names an entry, ``{=}`` the entry called like the port,
    ``{@key}`` (and ``{@=}``) the root blackboard's entry. Raises ValueError
    for an empty reference.
    """
    s = raw.strip()
    if len(s) < 2 or s[0] != "{" or s[-1] != "}":
        return None
    key = s[1:-1].strip()
    if key in ("=", "@="):
        key = key[:-1] + port
    if key == "" or key == "@" or key[:2] == "@ ":
        raise ValueError(f"attribute '{port}' has an empty blackboard reference {s!r}")
    return key


def relative_count(port: str, value: int, children: int) -> int:
    """Resolve a count port against the number of children: -1 means all of
    them, -2 all but one, and so on; the result must be within 1..children."""
    resolved = children + value + 1 if value < 0 else value
    if not 1 <= resolved <= children:
        raise ValueError(f"port '{port}'={value} does not fit {children} children "
                         f"(valid: 1..{children} or -{children}..-1)")
    return resolved


def parse_int(text, what: str) -> int:
    """Parse a numeric port value: ASCII digits with an optional sign, within
    the 64-bit range; bools and floats are refused on purpose."""
    if isinstance(text, int) and not isinstance(text, bool):
        value = text
    else:
        match = _INT_TEXT.match(text) if isinstance(text, str) else None
        if match is None:
            raise ValueError(f"{what} must be an integer, got {safe_repr(text)}")
        sign, digits = match.groups()
        if len(digits) > 19:  # more than INT_MAX has; int() would refuse thousands
            raise ValueError(f"{what} must be within the 64-bit integer range, got {len(digits)} digits")
        value = int(sign + digits)
    if not INT_MIN <= value <= INT_MAX:
        raise ValueError(f"{what} must be within the 64-bit integer range, got {value.bit_length()} bits")
    return value


def safe_repr(value, limit: int = 200) -> str:
    """repr() for error messages: a value whose repr fails must not hide the error being told."""
    try:
        text = repr(value)
    except Exception:
        return f"<{type(value).__name__} object (its repr failed)>"
    return text if len(text) <= limit else text[:limit] + "..."


def safe_str(exc: BaseException) -> str:
    try:
        return str(exc)
    except Exception:
        return "(its message could not be read)"


class TreeNode:
    """One node of a built tree; tick functions receive the action's TreeNode.

    Public attributes: ``name`` (XML ``name`` attribute or the node id),
    ``node_id`` (the element's node type), ``status``, ``tree_id``, ``line``,
    ``children``.
    """

    #: Ports of built-in node types; registered actions get theirs per node.
    PORTS = MappingProxyType({})
    #: Ports that must be present in the XML.
    REQUIRED: frozenset = frozenset()
    #: Ports holding integers, checked at build time when literal.
    INT_PORTS: frozenset = frozenset()
    #: Allowed number of children: (min, max), max None for unlimited.
    CHILDREN: tuple = (0, 0)
    #: Time source of the time-based nodes, in seconds; read on the class at
    #: every tick, so tests (or a simulation) can replace it process-wide.
    clock = staticmethod(time.monotonic)
    #: Compiled condition scripts, set by the builder on nodes that have any.
    _conditions = None
    #: The tree's TickWork, and the number of nodes below this one (what one
    #: round over the children may tick); both set by Tree.
    _work = None
    _descendants = 0
    #: Editor attributes of the element (``_description``, ``_uid``, ...), set
    #: by the builder on nodes that have any; never ports, never remapped.
    metadata = MappingProxyType({})
    #: Whether construction calls reset_run_state; False for classes that
    #: still define the former hook, reset_state (see __init_subclass__).
    _run_state_at_construction = True

    def __init_subclass__(cls, **kwargs: Any) -> None:
        super().__init_subclass__(**kwargs)
        # A node type written for the former hook name keeps working: its
        # reset_state becomes the hook, called after every halt as before,
        # but not at construction, since it may use attributes its own
        # __init__ sets only after calling ours.
        if "reset_state" in cls.__dict__ and "reset_run_state" not in cls.__dict__:
            cls.reset_run_state = cls.__dict__["reset_state"]
        if any("reset_state" in k.__dict__ for k in cls.__mro__[:cls.__mro__.index(TreeNode)]):
            cls._run_state_at_construction = False

    def __init__(self, node_id: str, *, name: str | None = None, attrs: dict | None = None,
                 ports: dict | None = None, blackboard: Blackboard | None = None,
                 tree_id: str = "", line: int | None = None, tag: str | None = None):
        self.node_id = node_id
        self.name = name or node_id
        self.tree_id = tree_id
        self.line = line
        self.tag = tag or node_id
        self.status = NodeStatus.IDLE
        self.children: list = []
        self._ports = self.PORTS if ports is None else ports
        self._attrs = dict(attrs or {})
        self._blackboard = blackboard if blackboard is not None else Blackboard()
        self._keys: dict = {}
        for port, raw in self._attrs.items():
            if port not in self._ports:
                declared = ", ".join(sorted(self._ports)) or "none"
                raise self.build_error(f"'{self.node_id}' has no port named '{port}' (declared ports: {declared})")
            try:
                key = port_reference(port, raw)
            except ValueError as exc:
                raise self.build_error(str(exc)) from None
            if key is None and self._ports[port].direction == "output" and raw.strip():
                raise self.build_error(
                    f"output port '{port}' must name a blackboard entry, e.g. {port}=\"{{{port}}}\", not a literal"
                )
            self._keys[port] = key
        missing = sorted(self.REQUIRED - self._attrs.keys())
        if missing:
            raise self.build_error(f"'{self.node_id}' needs port(s) {', '.join(missing)}")
        if self._run_state_at_construction:
            self.reset_run_state()

    @property
    def description(self) -> str:
        """The element's ``_description`` attribute (what an editor shows), or ""."""
        return self.metadata.get("_description", "")

    # -- errors -------------------------------------------------------------
    def describe(self) -> str:
        what = f"node '{self.name}'" if self.name == self.node_id else f"node '{self.name}' ({self.node_id})"
        line = f", line {self.line}" if self.line is not None else ""
        return f"{what}{line} in tree '{self.tree_id}'"

    def build_error(self, message: str) -> TreeBuildError:
        where = f" (in BehaviorTree '{self.tree_id}')" if self.tree_id else ""
        return TreeBuildError(message + where, element=self.tag, line=self.line)

    def tick_error(self, message: str) -> TickError:
        return TickError(f"{self.describe()}: {message}")

    # -- ticking ------------------------------------------------------------
    def execute_tick(self) -> NodeStatus:
        status = self.tick()
        self.status = status
        return status

    def tick(self) -> NodeStatus:  # pragma: no cover - every concrete node overrides it
        raise NotImplementedError

    def count_round(self) -> None:
        """Charge one round over this node's children to the tick's work cap.

        A node that may tick its children more than once within one tick
        (a loop) calls it before each round, so that a tick always ends: past
        the cap it raises TickError naming this node.
        """
        work = self._work
        if work is not None:
            work.left -= self._descendants
            if work.left < 0:
                raise self.tick_error(
                    f"the tick made more than max_node_ticks={work.limit} node ticks while this node repeated "
                    "its children; raise SequentialEngine.max_node_ticks to allow more"
                )

    def now(self) -> float:
        """The current time in seconds, from the replaceable ``TreeNode.clock``."""
        return type(self).clock()

    def emit(self, kind: str, payload: object = None) -> None:
        """Tell whoever watches this tree that something happened here, e.g. a
        piece of a streamed answer: ``kind`` is a short name of the caller's
        choosing, ``payload`` any value (passed on as it is, so do not change
        it afterwards). Does nothing while nobody watches the tree.
        """
        # While watched, the node's reporting class replaces this method.
        check_event_kind(kind)

    def halt(self) -> None:
        """Stop this node and its descendants and return them to IDLE.

        Children are halted first. Only a node that was RUNNING gets its
        ``on_halted`` callback (and its ``_onHalted``/``_post`` scripts);
        every node forgets its per-run state. Never raises an ``Exception``:
        a failing callback is logged on the ``brannox.core`` logger.
        """
        for child in self.children:
            child.halt()
        if self.status is _RUNNING:
            self._halt_callbacks()
        self.reset_run_state()
        self.status = _IDLE

    def reset_run_state(self) -> None:
        """Set every per-run field of the node to its value before a run, and nothing else.

        The one place a node type keeps its per-run memory (child position,
        counters, deadlines): the attributes this method sets are exactly
        that memory. Called at the end of ``TreeNode.__init__`` (so a
        subclass need not set those fields in its own ``__init__``) and
        after every halt. Overridden by nodes that have such fields.
        """

    def reset_state(self) -> None:
        """The former name of ``reset_run_state``; a subclass overriding it is still honoured."""

    def on_halted(self) -> None:
        """Release what a RUNNING node holds; called once when it is halted while RUNNING."""

    def reset_memory(self) -> None:
        """Forget what survives ordinary halts (RunOnce's "done"); called by a tree reset."""

    def _halt_callbacks(self) -> None:
        try:
            self.on_halted()
        except Exception as exc:
            logger.error("%s: halt callback raised %s: %s", self.describe(), type(exc).__name__, exc, exc_info=exc)
        conditions = self._conditions
        if conditions is not None:
            for attribute in ("_onHalted", "_post"):
                script = conditions.get(attribute)
                if script is not None:
                    try:
                        script.run(self._blackboard)
                    except Exception as exc:
                        logger.error("%s: %s script failed after a halt: %s", self.describe(), attribute, exc)

    # -- pre- and post-conditions --------------------------------------------
    def set_conditions(self, conditions: dict) -> None:
        """Attach compiled condition scripts ({attribute: Script}).

        Only nodes that have some pay for them: the guarded tick replaces
        ``execute_tick`` on this instance alone.
        """
        self._conditions = conditions
        self.execute_tick = self._execute_guarded

    def _run_script(self, script, label: str = "script"):
        """Run a compiled script on this node's blackboard; a failure is a TickError naming the node."""
        try:
            return script.run(self._blackboard)
        except ScriptError as exc:
            raise self.tick_error(f"{label} {script.source!r} failed: {exc}") from None
        except Exception as exc:  # from a blackboard value's own methods (repr, ==)
            raise self.tick_error(f"{label} {script.source!r} failed: {type(exc).__name__}: "
                                  f"{safe_str(exc)}") from exc

    def _script_truth(self, script, label: str = "script") -> bool:
        """Run a script as a condition: a boolean, or a number (true unless 0).

        Any other value is a TickError: a condition that gives text is a
        mistake in the tree, not a false condition.
        """
        value = self._run_script(script, label)
        if isinstance(value, bool):
            return value
        if isinstance(value, (int, float)):
            return value != 0
        raise self.tick_error(f"{label} {script.source!r} gave {type(value).__name__} {safe_repr(value)}, "
                              "not a boolean")

    def _script(self, attribute: str) -> None:
        script = self._conditions.get(attribute)
        if script is not None:
            self._run_script(script, f"{attribute} script")

    def _check(self, attribute: str) -> bool:
        return self._script_truth(self._conditions[attribute], f"{attribute} script")

    def _execute_guarded(self) -> NodeStatus:
        conditions = self._conditions
        if self.status is not _RUNNING:
            for attribute, result in zip(PRE_CONDITIONS, (_FAILURE, _SUCCESS, _SKIPPED)):
                if attribute in conditions and self._check(attribute):
                    self.status = result
                    return result
        if "_while" in conditions and not self._check("_while"):
            if self.status is _RUNNING:
                self.halt()
            self.status = _SKIPPED
            return _SKIPPED
        status = self.tick()
        self.status = status
        if status is _SUCCESS:
            self._script("_onSuccess")
            self._script("_post")
        elif status is _FAILURE:
            self._script("_onFailure")
            self._script("_post")
        return status

    def finish_setup(self) -> None:
        """Checks that need the children; called by the builder once they are attached."""

    def halt_children(self, start: int = 0) -> None:
        # Every finished run of a control halts all its children: no slice copy then.
        for child in self.children[start:] if start else self.children:
            child.halt()

    # -- ports --------------------------------------------------------------
    def _declared(self, port: str) -> PortInfo:
        try:
            return self._ports[port]
        except (KeyError, TypeError):
            declared = ", ".join(sorted(self._ports)) or "none"
            raise PortError(f"{self.describe()} has no port {port!r} (declared ports: {declared})") from None

    def getInputString(self, port: str) -> str:
        """The port's value as text: the literal, or str() of the referenced entry.

        Raises PortError if the XML leaves the port unset or the referenced
        blackboard entry holds no value (unset or None).
        """
        self._declared(port)
        if port not in self._attrs:
            raise PortError(f"port '{port}' of {self.describe()} is not set in the XML")
        key = self._keys[port]
        if key is None:
            return self._attrs[port]
        value = self._blackboard.get(key)
        if value is None:
            raise PortError(f"port '{port}' of {self.describe()} refers to blackboard entry '{key}', which has no value")
        return value if isinstance(value, str) else str(value)

    def getInputObject(self, port: str):
        """The port's value as stored: the literal string, or the referenced entry.

        Returns None when the entry has never been written or the XML leaves
        the port unset.
        """
        self._declared(port)
        if port not in self._attrs:
            return None
        key = self._keys[port]
        if key is None:
            return self._attrs[port]
        return self._blackboard.get(key)

    def setOutput(self, port: str, value) -> None:
        """Write ``value`` to the blackboard entry an output port refers to."""
        if self._declared(port).direction != "output":
            raise PortError(f"port '{port}' of {self.describe()} is an input port; it cannot be written")
        key = self._keys.get(port)
        if key is None:  # absent, or left empty as editors write an unused port
            raise PortError(f"output port '{port}' of {self.describe()} is not connected to a blackboard entry in the XML")
        self._blackboard.set(key, value)

    # -- helpers for built-in nodes -----------------------------------------
    def int_input(self, port: str, default: int | None = None) -> int | None:
        """Read a numeric port; literals were already checked at build time."""
        if port not in self._attrs:
            return default
        key = self._keys[port]
        raw = self._attrs[port] if key is None else self._blackboard.get(key)
        try:
            return parse_int(raw, f"port '{port}'")
        except ValueError as exc:
            source = "" if key is None else f" (blackboard entry '{key}')"
            raise self.tick_error(f"{exc}{source}") from None

    def status_literal(self, port: str, default: str):
        """The status a literal port names (SUCCESS, FAILURE or SKIPPED), checked at build time."""
        raw = self._attrs.get(port, default)
        if self._keys.get(port) is not None or raw.strip().upper() not in STATUS_LITERALS:
            raise self.build_error(f"port '{port}' must be SUCCESS, FAILURE or SKIPPED, not {raw!r}")
        return STATUS_LITERALS[raw.strip().upper()]

    def check_int_literals(self, minimum: int) -> None:
        for port in self._attrs:
            if self._keys[port] is None and port in self.INT_PORTS:
                try:
                    value = parse_int(self._attrs[port], f"port '{port}'")
                except ValueError as exc:
                    raise self.build_error(str(exc)) from None
                if value < minimum:
                    raise self.build_error(f"port '{port}' must be >= {minimum}, got {value}")

    def __repr__(self) -> str:
        return f"<{type(self).__name__} {self.name!r} {self.status.name}>"
