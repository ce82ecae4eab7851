"""Turning blackboard values into JSON and back, and the codecs users register.

Only the built-in JSON types are stored as they are: str, int, float, bool,
None, list and dict with str keys, nested. Any other value is refused unless a
codec is registered for its exact type. Decoding never runs code named by
the stored data: a codec is looked up by name in this process's table, and an
unknown name is an error. There is no pickle anywhere on this path, so a
store shared by many machines cannot be used to run code in them.
"""

from __future__ import annotations

import threading
from dataclasses import dataclass
from typing import Any, Callable

from .errors import UnstorableValueError

#: Marks a value written by a codec: {"$codec": name, "value": encoded}.
CODEC_TAG = "$codec"
#: Wraps a user dict that happens to use a marker key, so it reads back as a dict.
DICT_TAG = "$dict"
_PLAIN = (str, int, float, bool, type(None))


@dataclass(frozen=True)
class Codec:
    type: type
    name: str
    encode: Callable[[Any], Any]
    decode: Callable[[Any], Any]


_codecs_by_type: dict = {}
_codecs_by_name: dict = {}
_lock = threading.Lock()


def register_codec(cls: type, name: str, encode: Callable[[Any], Any], decode: Callable[[Any], Any]) -> None:
    """Store values of exactly ``cls`` as ``encode(value)`` (built-in JSON types only),
    read back with ``decode``. ``name`` is what the store records; it must be
    registered under the same name in every process that reads the store."""
    if not isinstance(cls, type):
        raise TypeError(f"a codec is registered for a type, not {cls!r}")
    if cls in _PLAIN or cls in (list, dict):
        raise ValueError(f"{cls.__name__} is stored as JSON already; it cannot have a codec")
    if not isinstance(name, str) or not name:
        raise ValueError(f"a codec needs a non-empty name, not {name!r}")
    if not (callable(encode) and callable(decode)):
        raise TypeError("encode and decode must be callable")
    with _lock:
        taken = _codecs_by_name.get(name)
        if taken is not None and taken.type is not cls:
            raise ValueError(f"codec name {name!r} is already used for {taken.type.__qualname__}")
        old = _codecs_by_type.pop(cls, None)
        if old is not None:
            _codecs_by_name.pop(old.name, None)
        codec = Codec(cls, name, encode, decode)
        _codecs_by_type[cls] = codec
        _codecs_by_name[name] = codec


def unregister_codec(cls: type) -> None:
    with _lock:
        codec = _codecs_by_type.pop(cls, None)
        if codec is not None:
            _codecs_by_name.pop(codec.name, None)


def to_json(value, tree_id: str, key: str, _depth: int = 0):
    """``value`` as built-in JSON types; UnstorableValueError names the tree and key."""
    kind = type(value)
    if kind in _PLAIN:
        return value
    if _depth > 100:
        raise UnstorableValueError(tree_id, key, value, "it is nested more than 100 levels deep")
    if kind is list:
        return [to_json(v, tree_id, key, _depth + 1) for v in value]
    if kind is dict:
        out = {}
        for k, v in value.items():
            if type(k) is not str:
                raise UnstorableValueError(tree_id, key, value, f"it has a dict key of type {type(k).__name__}")
            out[k] = to_json(v, tree_id, key, _depth + 1)
        if CODEC_TAG in out or DICT_TAG in out:
            return {DICT_TAG: out}
        return out
    codec = _codecs_by_type.get(kind)
    if codec is None:
        raise UnstorableValueError(tree_id, key, value, "register a codec for its type with register_codec()")
    try:
        encoded = codec.encode(value)
    except Exception as exc:
        raise UnstorableValueError(tree_id, key, value, f"its codec {codec.name!r} raised {exc!r}") from exc
    # What a codec returns must itself be plain (no codec of a codec).
    return {CODEC_TAG: codec.name, "value": _plain_only(encoded, tree_id, key, codec.name)}


def _plain_only(value, tree_id, key, codec_name, depth=0):
    kind = type(value)
    if kind in _PLAIN:
        return value
    if depth <= 100 and kind is list:
        return [_plain_only(v, tree_id, key, codec_name, depth + 1) for v in value]
    if depth <= 100 and kind is dict and all(type(k) is str for k in value):
        return {k: _plain_only(v, tree_id, key, codec_name, depth + 1) for k, v in value.items()}
    raise UnstorableValueError(tree_id, key, value, f"its codec {codec_name!r} returned a {kind.__name__}, "
                               "not built-in JSON types")


def from_json(data, tree_id: str = "", key: str = ""):
    """The inverse of :func:`to_json`; unknown codec names are refused."""
    kind = type(data)
    if kind is list:
        return [from_json(v, tree_id, key) for v in data]
    if kind is dict:
        if CODEC_TAG in data:
            name = data[CODEC_TAG]
            codec = _codecs_by_name.get(name)
            if codec is None:
                raise UnstorableValueError(tree_id, key, None, f"it was stored with codec {name!r}, "
                                           "which is not registered in this process", reading=True)
            return codec.decode(data.get("value"))
        if DICT_TAG in data and len(data) == 1:
            data = data[DICT_TAG]
        return {k: from_json(v, tree_id, key) for k, v in data.items()}
    return data
