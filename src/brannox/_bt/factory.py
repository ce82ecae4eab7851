"""BehaviorTreeFactory (registrations + XML -> Tree) and Tree."""

from __future__ import annotations

import difflib
import re
import threading
from types import MappingProxyType

from .blackboard import Blackboard
from .builtins import BUILTIN_NODES, LATER_BUILTIN_NODES, ActionNode, SubTreeNode
from .errors import BehaviorTreeError, RegistrationError, TreeBuildError
from .node import CONDITION_ATTRIBUTES, TickWork, TreeNode, blackboard_key, parse_port_list
from .script import ScriptError, compile_script
from .status import NodeStatus
from .xmlreader import Element, parse_xml

#: Deepest allowed node nesting, counted across sub-trees. Ticking recurses
#: about two Python frames per level, so this stays far from the interpreter's
#: recursion limit even when the engine is called from deep in a program.
MAX_TREE_DEPTH = 128
#: Most nodes one tree may expand to. Sub-trees that include other sub-trees
#: several times multiply, so a short file could otherwise ask for billions.
MAX_TREE_NODES = 100_000
#: Default cap on the node ticks one tick of a tree may make. Only loops
#: (Repeat, RetryUntilSuccessful) tick a node more than once per tick, and they
#: charge each round with the nodes under them; without loops a tick makes at
#: most MAX_TREE_NODES. A tick that needs more than this runs for about a second.
MAX_NODE_TICKS = 1_000_000

FORMAT_ATTRIBUTE = "BTCPP_format"
SUPPORTED_FORMAT = "4"
# Generic elements that name their node type in an ID attribute.
_EXPLICIT_TAGS = frozenset({"Action", "Condition", "Control", "Decorator"})
_RESERVED_IDS = frozenset(BUILTIN_NODES) | _EXPLICIT_TAGS | {
    "SubTree", "BehaviorTree", "root", "TreeNodesModel", "include",
}
_ACTION_ID = re.compile(r"[A-Za-z_][A-Za-z0-9_.\-]*\Z")
_BOOLEANS = {"true": True, "1": True, "false": False, "0": False}

# Node types added with register_node_type, shared by every factory of the
# process. Writers replace the whole mapping under the lock; builders read
# the current mapping once per tree, so a tree never sees half an update.
_node_types: MappingProxyType = MappingProxyType({})
_node_types_lock = threading.Lock()


def register_node_type(cls, node_id: str | None = None) -> None:
    """Make a TreeNode subclass usable in every tree built from now on, in any thread.

    ``node_id`` (default: the class name) is the XML element name. Built-in
    names and element names are refused; registering the same class under
    the same id again does nothing, another class under a taken id is refused.
    A per-engine registered action of the same name takes precedence.
    """
    global _node_types
    if not (isinstance(cls, type) and issubclass(cls, TreeNode)) or cls is TreeNode:
        raise RegistrationError(f"a node type must be a subclass of TreeNode, not {cls!r}")
    node_id = cls.__name__ if node_id is None else node_id
    if not isinstance(node_id, str) or not _ACTION_ID.match(node_id):
        raise RegistrationError(f"node type id must be an XML element name such as 'MoveTo', not {node_id!r}")
    if node_id in _RESERVED_IDS or node_id in LATER_BUILTIN_NODES:
        raise RegistrationError(f"node type id '{node_id}' is the name of a built-in node or element")
    with _node_types_lock:
        current = _node_types.get(node_id)
        if current is cls:
            return
        if current is not None:
            raise RegistrationError(f"node type '{node_id}' is already registered as {current.__qualname__}")
        _node_types = MappingProxyType({**_node_types, node_id: cls})


def registered_node_types() -> dict:
    """A copy of the node types added with register_node_type: {id: class}."""
    return dict(_node_types)


class Tree:
    """A built tree: its root node, its blackboard, and tick/halt."""

    def __init__(self, tree_id: str, root, blackboard: Blackboard, node_count: int):
        self.tree_id = tree_id
        self.root = root
        self.blackboard = blackboard
        self.node_count = node_count
        self._ticking = False
        self._work = TickWork()
        # Children come after their parent in nodes(), so in reverse a
        # node's children are counted before it.
        for node in reversed(self.nodes()):
            node._work = self._work
            if node.children:
                node._descendants = sum(1 + child._descendants for child in node.children)

    @property
    def status(self) -> NodeStatus:
        return self.root.status

    def tick_once(self, max_node_ticks: int = MAX_NODE_TICKS) -> NodeStatus:
        """Tick the root once. If anything raises, the tree is halted, then the error propagates.

        A tick that makes more than ``max_node_ticks`` node ticks fails with
        TickError naming the loop node that went past it.
        """
        if self._ticking:
            raise BehaviorTreeError(f"tree '{self.tree_id}' was ticked again from inside one of its own ticks")
        self._ticking = True
        work = self._work
        work.left = work.limit = max_node_ticks
        try:
            return self.root.execute_tick()
        except Exception:
            self.root.halt()
            raise
        finally:
            self._ticking = False

    def halt(self) -> None:
        """Halt RUNNING nodes (their halt callbacks run); never raises an Exception."""
        self.root.halt()

    def reset(self) -> None:
        """Halt, then forget what survives halts (RunOnce) so the tree starts afresh."""
        self.root.halt()
        for node in self.nodes():
            node.reset_memory()

    def nodes(self) -> list:
        """Every node, depth first (iterative: trees may be wide)."""
        out, stack = [], [self.root]
        while stack:
            node = stack.pop()
            out.append(node)
            stack.extend(reversed(node.children))
        return out


class BehaviorTreeFactory:
    """Holds action registrations and builds trees from XML.

    Each instance has its own registrations; nothing is shared between
    factories, so factories on different threads never interfere.
    """

    def __init__(self):
        self._actions: dict = {}  # action id -> (tick functor, ports list as given)

    def register_action_behavior(self, action_id: str, tick_functor, ports_list=None) -> None:
        """Register an action type. Registering an id twice raises RegistrationError.

        ``ports_list`` is kept by reference and read again whenever a tree is built.
        """
        if not isinstance(action_id, str) or not _ACTION_ID.match(action_id):
            raise RegistrationError(f"action id must be an XML element name such as 'MoveTo', not {action_id!r}")
        if action_id in _RESERVED_IDS:
            raise RegistrationError(f"action id '{action_id}' is the name of a built-in node or element")
        if action_id in self._actions:
            raise RegistrationError(f"action '{action_id}' is already registered")
        if not callable(tick_functor):
            raise RegistrationError(f"tick function of '{action_id}' is not callable: {tick_functor!r}")
        if ports_list is None:
            ports_list = []
        parse_port_list(action_id, ports_list)
        self._actions[action_id] = (tick_functor, ports_list)

    def register_action_class(self, cls, action_id: str | None = None) -> None:
        """Register a SimpleActionNode subclass under ``action_id`` (default: the class name)."""
        self.register_action_behavior(action_id or cls.__name__, cls.tick, cls.ports)

    def registered_actions(self) -> list:
        return sorted(self._actions)

    def create_tree_from_text(self, xml_text, blackboard: Blackboard | None = None) -> Tree:
        """Build the main tree of ``xml_text``; raises TreeBuildError (or XMLParseError) when refused."""
        document = parse_xml(xml_text, MAX_TREE_NODES)
        return _Builder(self._actions, document, _node_types).build(blackboard if blackboard is not None else Blackboard())


class _Builder:
    def __init__(self, actions: dict, document: Element, node_types=MappingProxyType({})):
        self.actions = actions
        self.node_types = node_types
        self.port_cache: dict = {}
        self.node_count = 0
        self.trees: dict = {}
        if document.tag != "root":
            raise TreeBuildError("the document element must be <root>", element=document.tag, line=document.line)
        version = document.attrs.get(FORMAT_ATTRIBUTE, SUPPORTED_FORMAT)
        if version.strip() != SUPPORTED_FORMAT:
            raise TreeBuildError(
                f"{FORMAT_ATTRIBUTE}=\"{version}\" is not supported; only \"{SUPPORTED_FORMAT}\" is",
                element="root", line=document.line,
            )
        for el in document.children:
            if el.tag == "BehaviorTree":
                self._add_tree(el)
            elif el.tag == "TreeNodesModel":
                continue  # editor metadata; the registrations are what count
            elif el.tag == "include":
                raise TreeBuildError("<include> is not supported: put every tree in one text", element=el.tag, line=el.line)
            else:
                raise TreeBuildError("unexpected element under <root>; expected <BehaviorTree>", element=el.tag, line=el.line)
        if not self.trees:
            raise TreeBuildError("the document contains no <BehaviorTree>", element="root", line=document.line)
        main = document.attrs.get("main_tree_to_execute")
        if main is not None:
            if main not in self.trees:
                raise TreeBuildError(
                    f"main_tree_to_execute names '{main}', but the BehaviorTrees are: {', '.join(self.trees)}",
                    element="root", line=document.line,
                )
        elif len(self.trees) == 1:
            main = next(iter(self.trees))
        else:
            raise TreeBuildError(
                f"several BehaviorTrees ({', '.join(self.trees)}): set main_tree_to_execute on <root>",
                element="root", line=document.line,
            )
        self.main = main

    def _add_tree(self, el: Element) -> None:
        tree_id = el.attrs.get("ID", "").strip()
        if not tree_id:
            raise TreeBuildError("<BehaviorTree> needs an ID attribute", element=el.tag, line=el.line)
        if tree_id in self.trees:
            raise TreeBuildError(f"BehaviorTree ID '{tree_id}' is used twice", element=el.tag, line=el.line)
        if len(el.children) != 1:
            raise TreeBuildError(
                f"BehaviorTree '{tree_id}' must contain exactly one root node, found {len(el.children)}",
                element=el.tag, line=el.line,
            )
        self.trees[tree_id] = el

    def build(self, blackboard: Blackboard) -> Tree:
        root = self._build_node(self.trees[self.main].children[0], blackboard, self.main, [self.main], 1)
        return Tree(self.main, root, blackboard, self.node_count)

    def _build_node(self, el: Element, bb: Blackboard, tree_id: str, stack: list, depth: int):
        def error(message: str) -> TreeBuildError:
            return TreeBuildError(f"{message} (in BehaviorTree '{tree_id}')", element=el.tag, line=el.line)

        if depth > MAX_TREE_DEPTH:
            raise error(f"nodes are nested deeper than {MAX_TREE_DEPTH} levels (sub-trees included)")
        self.node_count += 1
        if self.node_count > MAX_TREE_NODES:
            raise error(f"the tree expands to more than {MAX_TREE_NODES} nodes (sub-trees included)")

        attrs = dict(el.attrs)
        name = attrs.pop("name", "").strip() or None
        node_id = el.tag
        if el.tag in _EXPLICIT_TAGS:
            node_id = attrs.pop("ID", "").strip()
            if not node_id:
                raise error("needs an ID attribute naming the node type")
        common = {"name": name, "tree_id": tree_id, "line": el.line, "tag": el.tag}
        conditions = self._conditions(attrs, error)

        if node_id == "SubTree":
            node = self._build_subtree(el, attrs, bb, stack, depth, common, error)
            if conditions:
                node.set_conditions(conditions)
            return node
        # Lookup order: the original built-ins (their names cannot be
        # registered), this engine's actions, process-wide node types, then
        # built-ins added later, which yield to a registration of their name.
        if node_id in BUILTIN_NODES:
            node = BUILTIN_NODES[node_id](node_id, attrs=attrs, blackboard=bb, **common)
        elif node_id in self.actions:
            functor, ports_list = self.actions[node_id]
            if node_id not in self.port_cache:
                try:
                    self.port_cache[node_id] = parse_port_list(node_id, ports_list)
                except RegistrationError as exc:
                    raise error(f"ports of action '{node_id}' became invalid after registration: {exc}") from None
            node = ActionNode(node_id, functor, attrs=attrs, ports=self.port_cache[node_id], blackboard=bb, **common)
        elif node_id in self.node_types:
            node = self.node_types[node_id](node_id, attrs=attrs, blackboard=bb, **common)
        elif node_id in LATER_BUILTIN_NODES:
            node = LATER_BUILTIN_NODES[node_id](node_id, attrs=attrs, blackboard=bb, **common)
        else:
            known = sorted(
                set(BUILTIN_NODES) | set(LATER_BUILTIN_NODES) | set(self.actions) | set(self.node_types) | {"SubTree"}
            )
            close = difflib.get_close_matches(node_id, known, n=3)
            hint = f"; did you mean {', '.join(close)}?" if close else "; register it as an action first"
            raise error(f"unknown node type '{node_id}'{hint}")

        low, high = node.CHILDREN
        count = len(el.children)
        if high == 0 and count:
            raise error(f"'{node_id}' is a leaf and cannot have child elements")
        if count < low:
            raise error(f"'{node_id}' needs at least {low} child node{'s' if low > 1 else ''}")
        if high is not None and count > high:
            raise error(f"'{node_id}' takes exactly {high} child node, found {count}")
        for child_el in el.children:
            node.children.append(self._build_node(child_el, bb, tree_id, stack, depth + 1))
        node.finish_setup()
        if conditions:
            node.set_conditions(conditions)
        return node

    @staticmethod
    def _conditions(attrs: dict, error) -> dict:
        """Take the condition attributes out of ``attrs`` and compile them."""
        compiled = {}
        for attribute in [a for a in attrs if a in CONDITION_ATTRIBUTES]:
            try:
                compiled[attribute] = compile_script(attrs.pop(attribute))
            except ScriptError as exc:
                raise error(f"attribute '{attribute}': {exc}") from None
        return compiled

    def _build_subtree(self, el, attrs, bb, stack, depth, common, error):
        sub_id = attrs.pop("ID", "").strip()
        if not sub_id:
            raise error("<SubTree> needs an ID attribute naming a BehaviorTree")
        if sub_id not in self.trees:
            raise error(f"SubTree refers to BehaviorTree '{sub_id}', which does not exist (known: {', '.join(self.trees)})")
        if sub_id in stack:
            raise error(f"SubTree '{sub_id}' includes itself: {' -> '.join(stack + [sub_id])}")
        if el.children:
            raise error("<SubTree> cannot have child elements")
        raw_auto = attrs.pop("_autoremap", "false").strip().lower()
        if raw_auto not in _BOOLEANS:
            raise error(f"_autoremap must be true or false, not {raw_auto!r}")
        remap, literals = {}, {}
        for port, raw in attrs.items():
            key = blackboard_key(raw)
            if key == "=":
                key = port
            if key == "":
                raise error(f"attribute '{port}' has an empty blackboard reference '{{}}'")
            if key is None:
                literals[port] = raw
            else:
                remap[port] = key
        child_bb = Blackboard(parent=bb, remap=remap, autoremap=_BOOLEANS[raw_auto])
        for key, value in literals.items():
            child_bb.set_local(key, value)
        common["name"] = common["name"] or sub_id
        node = SubTreeNode("SubTree", blackboard=bb, **common)
        node.subtree_id = sub_id
        sub_root_el = self.trees[sub_id].children[0]
        node.children.append(self._build_node(sub_root_el, child_bb, sub_id, stack + [sub_id], depth + 1))
        return node
