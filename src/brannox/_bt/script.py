"""The script language: parsing (with lark, grammar in ``script.lark``) and evaluation.

Tree files come from users, so a script is never handed to ``eval``/``exec``:
the grammar has no calls, attribute access or indexing, and a parsed script
is compiled into a chain of small closures that read and write one
blackboard and nothing else.
"""

from __future__ import annotations

import pathlib
import threading

from .errors import BehaviorTreeError

#: Deepest allowed nesting of operators in one script; evaluation recurses
#: once per level, so this keeps far from the interpreter's recursion limit.
#: A run of left-grouping binary operators (1 + 2 - 3 * 4 ...) is evaluated
#: in a loop, so it counts as one level however long it is.
MAX_SCRIPT_DEPTH = 64
#: Longest script source accepted, in characters.
MAX_SCRIPT_LENGTH = 10_000
#: Integers are 64-bit signed; a result outside that range is an error.
INT_MIN, INT_MAX = -(1 << 63), (1 << 63) - 1
#: Longest string a script may build by joining.
MAX_STRING_LENGTH = 1 << 24


class ScriptError(BehaviorTreeError, ValueError):
    """A script failed to parse, or an expression failed while running."""


_parser = None
_parser_lock = threading.Lock()


def _get_parser():
    """The process-wide parser, built on first use (building it costs milliseconds)."""
    global _parser
    if _parser is None:
        with _parser_lock:
            if _parser is None:
                from lark import Lark

                grammar = (pathlib.Path(__file__).with_name("script.lark")).read_text(encoding="utf-8")
                _parser = Lark(grammar, parser="lalr", maybe_placeholders=False)
    return _parser


class Script:
    """A compiled script: ``run(blackboard)`` returns the last statement's value."""

    __slots__ = ("source", "_statements")

    def __init__(self, source: str, statements: tuple):
        self.source = source
        self._statements = statements

    def run(self, blackboard):
        value = None
        for statement in self._statements:
            value = statement(blackboard)
        return value

    def __repr__(self) -> str:
        return f"<Script {self.source!r}>"


def compile_script(source: str) -> Script:
    """Parse and compile ``source``; raises ScriptError for anything malformed."""
    from lark.exceptions import UnexpectedCharacters, UnexpectedEOF, UnexpectedInput, UnexpectedToken

    if not isinstance(source, str):
        raise ScriptError(f"a script must be text, not {type(source).__name__}")
    if len(source) > MAX_SCRIPT_LENGTH:
        raise ScriptError(f"the script is longer than {MAX_SCRIPT_LENGTH} characters")
    if not source.strip():
        raise ScriptError("the script is empty")
    try:
        tree = _get_parser().parse(source)
    except UnexpectedCharacters as exc:
        raise ScriptError(f"script syntax error at column {exc.column}: unexpected character {exc.char!r}") from None
    except UnexpectedEOF:
        raise ScriptError("script syntax error: the script ends too early") from None
    except UnexpectedToken as exc:
        if exc.token.type == "$END":
            raise ScriptError("script syntax error: the script ends too early") from None
        raise ScriptError(f"script syntax error at column {exc.column}: unexpected {str(exc.token)!r}") from None
    except UnexpectedInput as exc:  # pragma: no cover - other lark input errors
        raise ScriptError(f"script syntax error: {exc}") from None
    _check_depth(tree)
    return Script(source, tuple(_compile(child) for child in tree.children))


def _check_depth(tree) -> None:
    # Iterative, so a pathological script cannot exhaust the stack here.
    from lark import Tree

    stack = [(tree, 1)]
    while stack:
        node, depth = stack.pop()
        if depth > MAX_SCRIPT_DEPTH:
            raise ScriptError(f"the script nests operators deeper than {MAX_SCRIPT_DEPTH} levels")
        children = [child for child in node.children if isinstance(child, Tree)]
        if node.data in _LEFT_CHAINED and children and children[0].data in _LEFT_CHAINED:
            # The left operand continues the same run (see _compile_chain).
            stack.append((children.pop(0), depth))
        stack.extend((child, depth + 1) for child in children)


# ------------------------------------------------------------------ values
def _kind(value) -> str:
    if isinstance(value, bool):
        return "boolean"
    if isinstance(value, int):
        return "integer"
    if isinstance(value, float):
        return "real"
    if isinstance(value, str):
        return "string"
    return type(value).__name__


def _is_number(value) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def _truth(value, what: str) -> bool:
    if isinstance(value, bool):
        return value
    if _is_number(value):
        return value != 0
    raise ScriptError(f"{what} must be a boolean or a number, not {_kind(value)} {value!r}")


def _checked_int(value: int) -> int:
    if not INT_MIN <= value <= INT_MAX:
        raise ScriptError(f"integer result {value} is outside the 64-bit range")
    return value


def _type_error(symbol: str, left, right):
    return ScriptError(f"cannot apply '{symbol}' to {_kind(left)} {left!r} and {_kind(right)} {right!r}")


def _arith(symbol: str, op):
    def apply(left, right):
        if _is_number(left) and _is_number(right):
            result = op(left, right)
            return _checked_int(result) if isinstance(result, int) else result
        raise _type_error(symbol, left, right)

    return apply


def _add(left, right):
    if isinstance(left, str) and isinstance(right, str):
        if len(left) + len(right) > MAX_STRING_LENGTH:
            raise ScriptError(f"joining would make a string longer than {MAX_STRING_LENGTH} characters")
        return left + right
    return _arith_add(left, right)


def _div(left, right):
    if not (_is_number(left) and _is_number(right)):
        raise _type_error("/", left, right)
    if right == 0:
        raise ScriptError("division by zero")
    try:
        return left / right  # always real: 7 / 2 is 3.5
    except OverflowError:
        raise ScriptError(f"{left!r} / {right!r} is too large for a real number") from None


def _bitwise(symbol: str, op):
    def apply(left, right):
        if type(left) is int and type(right) is int:
            return op(left, right)
        raise _type_error(symbol, left, right)

    return apply


def _equal(left, right) -> bool:
    if _is_number(left) and _is_number(right):
        return left == right
    if _kind(left) != _kind(right):
        return False  # values of different kinds are never equal
    return left == right


def _order(symbol: str, op):
    def apply(left, right):
        if (_is_number(left) and _is_number(right)) or (isinstance(left, str) and isinstance(right, str)):
            return op(left, right)
        raise _type_error(symbol, left, right)

    return apply


_arith_add = _arith("+", lambda a, b: a + b)
_BINARY = {
    "add": _add,
    "sub": _arith("-", lambda a, b: a - b),
    "mul": _arith("*", lambda a, b: a * b),
    "div": _div,
    "bit_or": _bitwise("|", lambda a, b: a | b),
    "bit_xor": _bitwise("^", lambda a, b: a ^ b),
    "bit_and": _bitwise("&", lambda a, b: a & b),
    "eq": _equal,
    "ne": lambda a, b: not _equal(a, b),
    "lt": _order("<", lambda a, b: a < b),
    "le": _order("<=", lambda a, b: a <= b),
    "gt": _order(">", lambda a, b: a > b),
    "ge": _order(">=", lambda a, b: a >= b),
}
_COMPOUND = {"+=": _add, "-=": _BINARY["sub"], "*=": _BINARY["mul"], "/=": _div}
_ASSIGNMENTS = {
    "create_assign": ":=", "assign": "=", "add_assign": "+=", "sub_assign": "-=", "mul_assign": "*=",
    "div_assign": "/=",
}


def _neg(value):
    if _is_number(value):
        return _checked_int(-value) if isinstance(value, int) else -value
    raise ScriptError(f"cannot negate {_kind(value)} {value!r}")


def _bit_not(value):
    if type(value) is int:
        return ~value
    raise ScriptError(f"'~' needs an integer, not {_kind(value)} {value!r}")


# ---------------------------------------------------------------- compiler
def _constant(value):
    return lambda _bb: value


def _compile(node):
    """Turn a parse-tree node into a function of the blackboard."""
    kind = node.data
    children = node.children
    if kind == "int":
        return _constant(_literal_int(str(children[0]), 10))
    if kind == "hex":
        return _constant(_literal_int(str(children[0])[2:], 16))
    if kind == "real":
        return _constant(float(children[0]))
    if kind == "string":
        return _constant(str(children[0])[1:-1])
    if kind in ("true", "false"):
        return _constant(kind == "true")
    if kind == "name":
        return _reader(str(children[0]))
    if kind in _ASSIGNMENTS:
        return _assignment(str(children[0]), _ASSIGNMENTS[kind], _compile(children[1]))
    if kind in _LEFT_CHAINED and children[0].data in _LEFT_CHAINED:
        return _compile_chain(node)
    if kind in _BINARY:
        op, left, right = _BINARY[kind], _compile(children[0]), _compile(children[1])
        return lambda bb: op(left(bb), right(bb))
    if kind == "logic_and":
        left, right = _compile(children[0]), _compile(children[1])
        return lambda bb: _truth(left(bb), "an operand of '&&'") and _truth(right(bb), "an operand of '&&'")
    if kind == "logic_or":
        left, right = _compile(children[0]), _compile(children[1])
        return lambda bb: _truth(left(bb), "an operand of '||'") or _truth(right(bb), "an operand of '||'")
    if kind == "logic_not":
        operand = _compile(children[0])
        return lambda bb: not _truth(operand(bb), "the operand of '!'")
    if kind == "neg":
        operand = _compile(children[0])
        return lambda bb: _neg(operand(bb))
    if kind == "bit_not":
        operand = _compile(children[0])
        return lambda bb: _bit_not(operand(bb))
    if kind == "conditional":
        test, then, otherwise = (_compile(c) for c in children)
        return lambda bb: then(bb) if _truth(test(bb), "the condition of '?:'") else otherwise(bb)
    raise ScriptError(f"unsupported construct {kind!r}")  # pragma: no cover - grammar and compiler disagree


def _compile_chain(node):
    """A run of left-grouping binary operators, ((a + b) * c) < d ..., as
    a loop over its steps: its length costs no recursion, here or when run."""
    steps = []
    while node.data in _LEFT_CHAINED:
        steps.append((node.data, _compile(node.children[1])))
        node = node.children[0]
    first = _compile(node)
    steps = tuple((_STEP[kind], _BINARY.get(kind), right) for kind, right in reversed(steps))

    def run(bb):
        value = first(bb)
        for step, op, right in steps:
            value = step(value, op, right, bb)
        return value

    return run


def _and_step(value, _op, right, bb):
    return _truth(value, "an operand of '&&'") and _truth(right(bb), "an operand of '&&'")


def _or_step(value, _op, right, bb):
    return _truth(value, "an operand of '||'") or _truth(right(bb), "an operand of '||'")


def _binary_step(value, op, right, bb):
    return op(value, right(bb))


_STEP = dict.fromkeys(_BINARY, _binary_step)
_STEP.update(logic_and=_and_step, logic_or=_or_step)
_LEFT_CHAINED = frozenset(_STEP)


def _literal_int(text: str, base: int) -> int:
    if len(text.lstrip("0")) > (19 if base == 10 else 16):
        # Beyond the range whatever the digits, and int() refuses thousands of them.
        raise ScriptError(f"integer literal {text[:20]}... ({len(text)} digits) is outside the 64-bit range")
    value = int(text, base)
    if value > INT_MAX:
        raise ScriptError(f"integer literal {text} is outside the 64-bit range")
    return value


_UNSET = object()


def _entry(name: str) -> str:
    return f"root blackboard entry '{name[1:]}'" if name[:1] == "@" else f"blackboard entry '{name}'"


def _reader(name: str):
    def read(bb):
        value = bb.get(name, _UNSET)
        if value is _UNSET:
            raise ScriptError(f"{_entry(name)} is not set")
        return value

    return read


def _assignment(name: str, operator: str, value_of):
    if operator == ":=":
        def assign(bb):
            value = value_of(bb)
            bb.set(name, value)
            return value
    elif operator == "=":
        def assign(bb):
            if not bb.has(name):
                raise ScriptError(f"'{name} = ...' assigns an entry that does not exist; use ':=' to create it")
            value = value_of(bb)
            bb.set(name, value)
            return value
    else:
        op = _COMPOUND[operator]

        def assign(bb):
            current = bb.get(name, _UNSET)
            if current is _UNSET:
                raise ScriptError(f"'{name} {operator} ...' needs an existing entry '{name}'")
            value = op(current, value_of(bb))
            bb.set(name, value)
            return value

    return assign
