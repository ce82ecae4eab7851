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


@dataclass
class Element:
    tag: str
    attrs: dict
    line: int
    children: list = field(default_factory=list)


def _refuse(what: str):
    def handler(*_args):
        raise XMLParseError(f"{what} are not allowed in tree XML")

    return handler


def parse_xml(text) -> Element:
    """Parse ``text`` (str or bytes) and return the root Element."""
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

    parser = expat.ParserCreate()
    parser.SetParamEntityParsing(expat.XML_PARAM_ENTITY_PARSING_NEVER)
    parser.StartDoctypeDeclHandler = _refuse("DOCTYPE / DTD declarations")
    parser.EntityDeclHandler = _refuse("entity declarations")
    parser.UnparsedEntityDeclHandler = _refuse("entity declarations")
    parser.NotationDeclHandler = _refuse("notation declarations")
    parser.ExternalEntityRefHandler = _refuse("external entities")

    stack: list[Element] = []
    result: list[Element] = []

    def start(tag, attrs):
        line = parser.CurrentLineNumber + line_offset
        if len(stack) >= MAX_ELEMENT_DEPTH:
            raise XMLParseError(
                f"elements are nested deeper than {MAX_ELEMENT_DEPTH} levels", element=tag, line=line
            )
        el = Element(tag, attrs, line)
        if stack:
            stack[-1].children.append(el)
        else:
            result.append(el)
        stack.append(el)

    def end(_tag):
        stack.pop()

    parser.StartElementHandler = start
    parser.EndElementHandler = end
    try:
        parser.Parse(stripped, True)
    except expat.ExpatError as exc:
        line = (exc.lineno or 0) + line_offset
        raise XMLParseError(
            f"malformed XML: {expat.errors.messages[exc.code]} (column {exc.offset})", line=line
        ) from None
    return result[0]
