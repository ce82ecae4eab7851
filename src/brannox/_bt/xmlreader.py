"""A small, hardened XML reader built directly on expat.

Tree files come from users and sometimes from the network, so anything that
could make the parser read a file, open a URL or expand entities is refused
before expat acts on it: a DOCTYPE aborts the parse at its first byte.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from xml.parsers import expat

from .errors import XMLParseError

# Nesting cap for raw elements; the builder applies the tighter node-depth limit,
# this one only stops pathological input before we hold all of it in memory.
MAX_ELEMENT_DEPTH = 1024
#: Most elements a document may hold. Checked while parsing, so refusing a
#: huge document costs little more than the text itself. Twice the node cap
#: leaves room for <TreeNodesModel> and the <BehaviorTree> wrappers.
MAX_XML_ELEMENTS = 200_000
#: Longest attribute value, in characters.
MAX_ATTRIBUTE_LENGTH = 1 << 22
#: Longest single tag (or run of text) expat may buffer, in UTF-8 bytes;
#: without it one giant attribute would be read whole before its tag ends.
MAX_TAG_BYTES = 8 << 20
# Input is fed to expat in pieces of this size (characters or bytes).
_CHUNK = 1 << 16


@dataclass(slots=True)
class Element:
    tag: str
    attrs: dict
    line: int
    children: list = field(default_factory=list)


def _refuse(what: str):
    def handler(*_args):
        raise XMLParseError(f"{what} are not allowed in tree XML")

    return handler


def _chunks(stripped):
    """UTF-8 pieces of the text, encoded one at a time so no second full copy exists."""
    if isinstance(stripped, str):
        for start in range(0, len(stripped), _CHUNK):
            try:
                yield stripped[start:start + _CHUNK].encode("utf-8")
            except UnicodeEncodeError as exc:
                raise XMLParseError(
                    f"the text contains a character that cannot be encoded as UTF-8 "
                    f"({exc.object[exc.start]!r} at character {start + exc.start})"
                ) from None
    else:
        view = memoryview(stripped)
        for start in range(0, len(view), _CHUNK):
            yield view[start:start + _CHUNK]


@dataclass(slots=True)
class ParseCounts:
    """Elements and nodes seen so far; shared by the files of one project so
    that the caps apply to all of them together."""

    elements: int = 0
    nodes: int = 0


def parse_xml(text, max_nodes: int | None = None, counts: ParseCounts | None = None) -> Element:
    """Parse ``text`` (str or bytes) and return the root Element.

    The caps (elements, nesting, attribute length, tag size, and
    ``max_nodes`` elements inside <BehaviorTree>s) are applied while
    parsing, so an oversized document is refused before it is held in
    memory as elements. With ``counts``, the element and node caps count
    from the totals there (other files of the same project), which are
    updated.
    """
    if isinstance(text, (bytes, bytearray)):
        data = bytes(text)
        stripped = data.lstrip()
        line_offset = data[: len(data) - len(stripped)].count(b"\n")
    elif isinstance(text, str):
        # Leading blank lines are common in inline strings; an XML declaration
        # after them would otherwise be a hard error.
        stripped = text.lstrip()
        line_offset = text[: len(text) - len(stripped)].count("\n")
    else:
        raise TypeError(f"tree XML must be str or bytes, not {type(text).__name__}")
    if not stripped:
        raise XMLParseError("the XML text is empty")

    # Text is handed over already encoded, so its own encoding declaration
    # must not apply (as when expat is given a str).
    parser = expat.ParserCreate("utf-8" if isinstance(stripped, str) else None)
    parser.SetParamEntityParsing(expat.XML_PARAM_ENTITY_PARSING_NEVER)
    parser.StartDoctypeDeclHandler = _refuse("DOCTYPE / DTD declarations")
    parser.EntityDeclHandler = _refuse("entity declarations")
    parser.UnparsedEntityDeclHandler = _refuse("entity declarations")
    parser.NotationDeclHandler = _refuse("notation declarations")
    parser.ExternalEntityRefHandler = _refuse("external entities")

    stack: list[Element] = []
    result: list[Element] = []
    if counts is None:
        counts = ParseCounts()
    count, nodes = counts.elements, counts.nodes
    last_event = 0  # byte index of the latest event: how far expat has got

    def start(tag, attrs):
        nonlocal count, nodes, last_event
        last_event = parser.CurrentByteIndex
        line = parser.CurrentLineNumber + line_offset
        if len(stack) >= MAX_ELEMENT_DEPTH:
            raise XMLParseError(
                f"elements are nested deeper than {MAX_ELEMENT_DEPTH} levels", element=tag, line=line
            )
        count += 1
        if len(stack) >= 2 and stack[1].tag == "BehaviorTree":
            nodes += 1
            if max_nodes is not None and nodes > max_nodes:
                raise XMLParseError(f"the document holds more than {max_nodes} nodes", element=tag, line=line)
        if count > MAX_XML_ELEMENTS:
            raise XMLParseError(f"the document has more than {MAX_XML_ELEMENTS} elements", element=tag, line=line)
        for name, value in attrs.items():
            if len(value) > MAX_ATTRIBUTE_LENGTH:
                raise XMLParseError(
                    f"attribute '{name}' is longer than {MAX_ATTRIBUTE_LENGTH} characters", element=tag, line=line
                )
        el = Element(tag, attrs, line)
        if stack:
            stack[-1].children.append(el)
        else:
            result.append(el)
        stack.append(el)

    def end(_tag):
        nonlocal last_event
        last_event = parser.CurrentByteIndex
        stack.pop()

    def progress(*_args):
        nonlocal last_event
        last_event = parser.CurrentByteIndex

    parser.StartElementHandler = start
    parser.EndElementHandler = end
    parser.CharacterDataHandler = progress
    parser.CommentHandler = progress
    parser.ProcessingInstructionHandler = progress
    fed = 0
    try:
        for chunk in _chunks(stripped):
            parser.Parse(chunk, False)
            fed += len(chunk)
            if fed - last_event > MAX_TAG_BYTES:
                raise XMLParseError(
                    f"a single tag or text run is longer than {MAX_TAG_BYTES} bytes",
                    line=parser.CurrentLineNumber + line_offset,
                )
        parser.Parse(b"", True)
    except expat.ExpatError as exc:
        line = (exc.lineno or 0) + line_offset
        raise XMLParseError(
            f"malformed XML: {expat.errors.messages[exc.code]} (column {exc.offset})", line=line
        ) from None
    counts.elements, counts.nodes = count, nodes
    return result[0]
