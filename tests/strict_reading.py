"""A pure-Python reading of the checking casts of quenlory.types, beside the twin in baseline.py.

A cast is described by a tuple: ("int", ge, le), ("float", ge, le), ("bool",), ("str", min_length, max_length,
pattern), ("list", item, min_length, max_length), ("dict", item, min_length, max_length), ("choice", choices),
("enum", enum_class) or ("plain", cast) for a built-in cast that converts, an item being such a tuple or None.
`make(kind)` gives the native cast, `read(kind, value)` the value it should give back, or raises what it should
raise (with the same path note).
"""
import re

from baseline import _type_name
from quenlory import types
from quenlory.fields.bases import _note_path


def make(kind):
    name, *args = kind
    if name == "plain":
        return args[0]
    if name in ("int", "float"):
        return getattr(types, name.title())(ge=args[0], le=args[1])
    if name == "str":
        return types.Str(min_length=args[0], max_length=args[1], pattern=args[2])
    if name in ("list", "dict"):
        item = make(args[0]) if args[0] else None
        return getattr(types, name.title())(item, min_length=args[1], max_length=args[2])
    return {"bool": types.Bool, "choice": lambda c: types.Choice(*c), "enum": types.EnumOf}[name](*args)


def expected(what, value):
    return TypeError("expected %s, got %.200s" % (what, _type_name(type(value))))


def bounded(what, value, ge, le):
    for op, bound in ((">=", ge), ("<=", le)):
        if bound is not None and not (value >= bound if op == ">=" else value <= bound):
            raise ValueError("expected %s %s %r, got %r" % (what, op, bound, value))
    return value


def fits(what, n, low, high):
    for op, bound, bad in ((">=", low, n < (low or 0)), ("<=", high, high is not None and n > high)):
        if bound is not None and bad:
            raise ValueError("expected %s of length %s %d, got length %d" % (what, op, bound, n))


def read(kind, value):
    name, *args = kind
    if name == "plain":  # a built-in cast, which converts
        return args[0](value)
    if name == "int" or name == "float":
        if isinstance(value, bool) or not isinstance(value, (int, float) if name == "float" else int):
            raise expected(name, value)
        return bounded(name, value, *args)
    if name == "bool":
        if type(value) is not bool:
            raise expected("bool", value)
        return value
    if name == "str":
        if not isinstance(value, str):
            raise expected("str", value)
        fits("str", len(value), args[0], args[1])
        if args[2] is not None and re.search(args[2], value) is None:
            raise ValueError("expected str matching %r, got %r" % (args[2], value))
        return value
    if name in ("list", "dict"):
        if not isinstance(value, list if name == "list" else dict):
            raise expected(name, value)
        item, low, high = args
        fits(name, len(value), low, high)
        if item is None:
            return value
        pairs = list(enumerate(value) if name == "list" else dict.items(value))
        got = []
        for key, x in pairs:
            try:
                got.append(read(item, x))
            except Exception as exc:
                _note_path(exc, key)
                raise
        if all(a is b for a, (_, b) in zip(got, pairs)):
            return value
        return got if name == "list" else dict(zip((k for k, _ in pairs), got))
    if name == "enum":
        enum_class = args[0]
        value = value.value if isinstance(value, enum_class) else value
        choices = tuple(m.value for m in enum_class)
    else:
        choices = args[0]
    if any(type(c) is type(value) and (value is c or value == c) for c in choices):
        return value
    raise ValueError("expected one of %s, got %r" % (", ".join(map(repr, choices)), value))
