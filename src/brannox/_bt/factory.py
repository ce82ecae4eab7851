"""BehaviorTreeFactory (registrations + XML -> Tree) and Tree."""

from __future__ import annotations

import difflib
import os
import re
import threading
from types import MappingProxyType

from . import controls, decorators, entry_update, leaves, scripting, timing
from .blackboard import Blackboard
from .errors import BehaviorTreeError, RegistrationError, TreeBuildError
from .leaves import ActionNode, SubTreeNode
from .node import BOOLEANS, CONDITION_ATTRIBUTES, TickWork, TreeNode, parse_port_list, port_reference
from .script import ScriptError, compile_script
from .status import NodeStatus
from .xmlreader import Element, ParseCounts, parse_xml

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
#: Most files one project may load through <include> (the top-level one too).
MAX_PROJECT_FILES = 256
#: Most bytes the files of one project may hold together (for text given
#: directly, its characters count as bytes).
MAX_PROJECT_BYTES = 64 << 20

def _by_name(*classes) -> MappingProxyType:
    return MappingProxyType({cls.__name__: cls for cls in classes})


#: The node types of the first release; their names cannot be registered.
BUILTIN_NODES = _by_name(
    controls.Sequence, controls.ReactiveSequence, controls.SequenceWithMemory, controls.Fallback,
    controls.ReactiveFallback, controls.Parallel,
    decorators.Inverter, decorators.ForceSuccess, decorators.ForceFailure, decorators.Repeat,
    decorators.RetryUntilSuccessful, decorators.KeepRunningUntilFailure,
    leaves.AlwaysSuccess, leaves.AlwaysFailure, leaves.SetBlackboard,
)
#: Node types added after the first release. A registered action of the same
#: name takes precedence over these, so programs that registered, say, their
#: own "Sleep" before it existed keep working unchanged.
LATER_BUILTIN_NODES = _by_name(
    timing.Timeout, timing.Delay, timing.Sleep, decorators.RunOnce, controls.IfThenElse, controls.WhileDoElse,
    controls.Switch2, controls.Switch3, controls.Switch4, controls.Switch5, controls.Switch6, controls.ParallelAll,
    scripting.Precondition, scripting.Script, scripting.ScriptCondition,
    decorators.LoopInt, decorators.LoopDouble, decorators.LoopString, decorators.LoopBool,
    entry_update.WasEntryUpdated, entry_update.SkipUnlessUpdated, entry_update.WaitValueUpdate,
)

FORMAT_ATTRIBUTE = "BTCPP_format"
SUPPORTED_FORMAT = "4"
# Generic elements that name their node type in an ID attribute.
_EXPLICIT_TAGS = frozenset({"Action", "Condition", "Control", "Decorator"})
_RESERVED_IDS = frozenset(BUILTIN_NODES) | _EXPLICIT_TAGS | {
    "SubTree", "BehaviorTree", "root", "TreeNodesModel", "include",
}
_ACTION_ID = re.compile(r"[A-Za-z_][A-Za-z0-9_.\-]*\Z")

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
        # Ticks begun, kept always (one addition per tick): what a paused
        # event subscription reports it missed.
        self.ticks_begun = 0
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
        self.ticks_begun += 1
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

    #: Where the relative ``<include path>`` of text given directly resolve,
    #: and the directory no include may leave; None means the current
    #: directory at build time. A file's includes use the file's directory.
    #: Read on the instance, so a subclass or one factory may set its own.
    include_directory: str | None = None

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
        """Build the main tree of ``xml_text``; raises TreeBuildError (or XMLParseError) when refused.

        Relative includes resolve against ``include_directory`` (default: the
        current directory) and may not leave it.
        """
        directory = os.path.realpath(self.include_directory or os.getcwd())
        return self._build(xml_text, directory, None, blackboard)

    def create_tree_from_file(self, path, blackboard: Blackboard | None = None) -> Tree:
        """Build the main tree of the file at ``path``; its includes resolve
        against its directory and may not leave it."""
        real = os.path.realpath(path)
        try:
            with open(real, "rb") as f:
                data = f.read(MAX_PROJECT_BYTES + 1)
        except OSError as exc:
            raise TreeBuildError(f"cannot read tree file {os.fspath(path)!r}: {exc.strerror or exc}") from None
        if len(data) > MAX_PROJECT_BYTES:
            raise TreeBuildError(f"tree file {os.fspath(path)!r} is larger than {MAX_PROJECT_BYTES} bytes")
        return self._build(data, os.path.dirname(real), real, blackboard)

    def _build(self, xml_text, directory: str, path: str | None, blackboard) -> Tree:
        builder = _Builder(self._actions, _node_types)
        builder.load_project(xml_text, directory, path)
        return builder.build(blackboard if blackboard is not None else Blackboard())


def _inside(path: str, directory: str) -> bool:
    return path == directory or path.startswith(directory.rstrip(os.sep) + os.sep)


_MODEL_PORTS = {"input_port": "input", "output_port": "output", "inout_port": "inout"}


class _Builder:
    def __init__(self, actions: dict, node_types=MappingProxyType({})):
        self.actions = actions
        self.node_types = node_types
        self.port_cache: dict = {}
        self.node_count = 0
        self.trees: dict = {}
        self.tree_files: dict = {}  # tree id -> file it came from (None: the top-level text)
        self.models: dict = {}  # node id -> (model tag, {port: (direction, default)})
        self.counts = ParseCounts()
        self.files: set = set()  # real paths loaded so far
        self.project_bytes = 0

    # -- loading: the top-level document and what it includes ----------------
    def load_project(self, text, directory: str, path: str | None) -> None:
        self.base = directory
        self.top_label = os.path.basename(path) if path else "the text"
        if path is not None:
            self.files.add(path)
        self.project_bytes = len(text) if isinstance(text, (bytes, bytearray, str)) else 0
        document = parse_xml(text, MAX_TREE_NODES, self.counts)
        own_trees = self._load(document, directory, path, [path] if path else [])
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
        elif len(own_trees) == 1:
            main = own_trees[0]  # the one tree of a top-level file that includes libraries
        else:
            first = next(iter(self.trees))
            name = self.top_label if path else "FILE.xml"
            raise TreeBuildError(
                f"several BehaviorTrees ({', '.join(self.trees)}) and no main one: set main_tree_to_execute "
                f"on <root>, e.g. <root BTCPP_format=\"4\" main_tree_to_execute=\"{first}\">, or load a short "
                f"top-level document that includes the file and names the main tree: <root BTCPP_format=\"4\" "
                f"main_tree_to_execute=\"{first}\"><include path=\"{name}\"/></root>",
                element="root", line=document.line,
            )
        self.main = main
        self._check_models()

    def _load(self, document: Element, directory: str, path: str | None, chain: list) -> list:
        """Take the trees, models and includes of one file; returns the ids of its own trees."""
        if document.tag != "root":
            raise TreeBuildError("the document element must be <root>", element=document.tag, line=document.line)
        version = document.attrs.get(FORMAT_ATTRIBUTE, SUPPORTED_FORMAT)
        if version.strip() != SUPPORTED_FORMAT:
            raise TreeBuildError(
                f"{FORMAT_ATTRIBUTE}=\"{version}\" is not supported; only \"{SUPPORTED_FORMAT}\" is",
                element="root", line=document.line,
            )
        own = []
        for el in document.children:
            if el.tag == "BehaviorTree":
                own.append(self._add_tree(el, path))
            elif el.tag == "TreeNodesModel":
                self._add_models(el)
            elif el.tag == "include":
                self._include(el, directory, chain)
            else:
                raise TreeBuildError(
                    "unexpected element under <root>; expected <BehaviorTree>, <include> or <TreeNodesModel>",
                    element=el.tag, line=el.line,
                )
        return own

    def _label(self, real: str) -> str:
        return os.path.relpath(real, self.base)

    def _include(self, el: Element, directory: str, chain: list) -> None:
        raw = el.attrs.get("path", "")

        def refuse(reason: str) -> TreeBuildError:
            exc = TreeBuildError(f"include {raw!r} refused: {reason}", element=el.tag, line=el.line)
            exc.located = True  # says where it is; the including files need not add themselves
            return exc

        if "ros_pkg" in el.attrs:
            raise refuse("ros_pkg is not supported; give a path relative to the including file")
        if el.children:
            raise refuse("<include> cannot have child elements")
        if not raw.strip():
            raise refuse("it needs a path attribute")
        if os.path.isabs(raw) or raw.startswith(("/", "\\")):
            raise refuse(f"absolute paths are not allowed; includes stay under {self.base}")
        candidate = os.path.normpath(os.path.join(directory, raw))
        if not _inside(candidate, self.base):
            raise refuse(f"it leads outside {self.base}, the directory includes must stay under")
        real = os.path.realpath(candidate)
        if not _inside(real, self.base):
            raise refuse(f"a symbolic link leads outside {self.base}, the directory includes must stay under")
        if real in chain:
            cycle = [self._label(p) for p in chain[chain.index(real):]] + [self._label(real)]
            raise refuse(f"include cycle: {' -> '.join(cycle)}")
        if real in self.files:
            return  # already loaded through another include: its trees are there
        if not os.path.isfile(real):
            raise refuse("no such file" if not os.path.exists(real) else "not a regular file")
        if len(self.files) >= MAX_PROJECT_FILES:
            raise refuse(f"the project would load more than {MAX_PROJECT_FILES} files")
        try:
            with open(real, "rb") as f:
                data = f.read(MAX_PROJECT_BYTES - self.project_bytes + 1)
        except OSError as exc:
            raise refuse(f"cannot read it: {exc.strerror or exc}") from None
        self.project_bytes += len(data)
        if self.project_bytes > MAX_PROJECT_BYTES:
            raise refuse(f"the files of the project hold more than {MAX_PROJECT_BYTES} bytes together")
        self.files.add(real)
        try:
            document = parse_xml(data, MAX_TREE_NODES, self.counts)
            self._load(document, os.path.dirname(real), real, chain + [real])
        except TreeBuildError as exc:
            if getattr(exc, "located", False):
                raise
            located = type(exc)(f"{exc} (in included file {self._label(real)})")
            located.located = True
            raise located from None

    def _add_models(self, el: Element) -> None:
        """Keep the port lists of <TreeNodesModel>: SubTree defaults apply, action entries are checked."""
        for entry in el.children:
            node_id = entry.attrs.get("ID", "").strip()
            if not node_id or node_id in self.models:
                continue
            ports = {}
            for port in entry.children:
                direction = _MODEL_PORTS.get(port.tag)
                name = port.attrs.get("name", "").strip()
                if direction is not None and name:
                    ports[name] = (direction, port.attrs.get("default"), entry.line)
            self.models[node_id] = (entry.tag, ports, entry.line)

    def _check_models(self) -> None:
        for node_id, (tag, ports, line) in self.models.items():
            if tag == "SubTree" or node_id not in self.actions:
                continue  # entries for nodes this engine does not define are only editor metadata
            registered = self._action_ports(node_id, lambda m: TreeBuildError(m, element=tag, line=line))
            agree = ports.keys() == registered.keys() and all(
                direction in ("inout", registered[name].direction) for name, (direction, _d, _l) in ports.items()
            )
            if not agree:
                model_list = ", ".join(f"{n} ({d})" for n, (d, _d, _l) in sorted(ports.items())) or "none"
                own_list = ", ".join(f"{n} ({p.direction})" for n, p in sorted(registered.items())) or "none"
                raise TreeBuildError(
                    f"<TreeNodesModel> entry '{node_id}' declares ports {model_list}, but the registered "
                    f"action '{node_id}' has {own_list}; make them agree or remove the entry",
                    element=tag, line=line,
                )

    def _action_ports(self, node_id: str, error) -> dict:
        if node_id not in self.port_cache:
            try:
                self.port_cache[node_id] = parse_port_list(node_id, self.actions[node_id][1])
            except RegistrationError as exc:
                raise error(f"ports of action '{node_id}' became invalid after registration: {exc}") from None
        return self.port_cache[node_id]

    def _add_tree(self, el: Element, path: str | None) -> str:
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
        self.tree_files[tree_id] = path
        return tree_id

    def build(self, blackboard: Blackboard) -> Tree:
        root = self._build_node(self.trees[self.main].children[0], blackboard, self.main, [self.main], 1)
        return Tree(self.main, root, blackboard, self.node_count)

    def _build_node(self, el: Element, bb: Blackboard, tree_id: str, stack: list, depth: int):
        def error(message: str) -> TreeBuildError:
            source = self.tree_files[tree_id]
            where = f"BehaviorTree '{tree_id}'" + (f" of {self._label(source)}" if source else "")
            return TreeBuildError(f"{message} (in {where})", element=el.tag, line=el.line)

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
        # What is left that begins with "_" (SubTree's _autoremap aside) is an
        # editor's: kept on the node, never a port.
        metadata = {a: attrs.pop(a) for a in [a for a in attrs if a[:1] == "_" and a != "_autoremap"]}

        if node_id == "SubTree":
            node = self._build_subtree(el, attrs, bb, stack, depth, common, error)
            if metadata:
                node.metadata = MappingProxyType(metadata)
            if conditions:
                node.set_conditions(conditions)
            return node
        # Lookup order: the original built-ins (their names cannot be
        # registered), this engine's actions, process-wide node types, then
        # built-ins added later, which yield to a registration of their name.
        if node_id in BUILTIN_NODES:
            node = BUILTIN_NODES[node_id](node_id, attrs=attrs, blackboard=bb, **common)
        elif node_id in self.actions:
            functor = self.actions[node_id][0]
            ports = self._action_ports(node_id, error)
            node = ActionNode(node_id, functor, attrs=attrs, ports=ports, blackboard=bb, **common)
        elif node_id in self.node_types:
            node = self.node_types[node_id](node_id, attrs=attrs, blackboard=bb, **common)
        elif node_id in LATER_BUILTIN_NODES:
            node = LATER_BUILTIN_NODES[node_id](node_id, attrs=attrs, blackboard=bb, **common)
        else:
            known = sorted(
                set(BUILTIN_NODES) | set(LATER_BUILTIN_NODES) | set(self.actions) | set(self.node_types) | {"SubTree"}
            )
            close = difflib.get_close_matches(node_id, known, n=3)
            hint = f"; did you mean {', '.join(close)}?" if close else ""
            if el.children:
                how = "a node with children is a TreeNode subclass added with register_node_type"
            else:
                how = "register its tick function with register_action_behavior"
            raise error(f"unknown node type '{node_id}'{hint}; {how}")

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
        if metadata:
            node.metadata = MappingProxyType(metadata)
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
        if raw_auto not in BOOLEANS:
            raise error(f"_autoremap must be true or false, not {raw_auto!r}")
        model = self.models.get(sub_id)
        if model is not None and model[0] == "SubTree":
            for port, (_direction, default, _line) in model[1].items():
                if default is not None and port not in attrs:
                    attrs[port] = default
        remap, literals = {}, {}
        for port, raw in attrs.items():
            try:
                key = port_reference(port, raw)
            except ValueError as exc:
                raise error(str(exc)) from None
            if key is None:
                literals[port] = raw
            else:
                remap[port] = key
        child_bb = Blackboard(parent=bb, remap=remap, autoremap=BOOLEANS[raw_auto])
        for key, value in literals.items():
            child_bb.set_local(key, value)
        common["name"] = common["name"] or sub_id
        node = SubTreeNode("SubTree", blackboard=bb, **common)
        sub_root_el = self.trees[sub_id].children[0]
        node.children.append(self._build_node(sub_root_el, child_bb, sub_id, stack + [sub_id], depth + 1))
        return node
