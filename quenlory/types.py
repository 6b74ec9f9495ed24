"""Casts that check a value instead of converting it.

Each is a cast for `Field` (or an item cast for `List` and `Dict`): it gives the value back as it is, or raises
`TypeError` ("expected str, got int") for a value of the wrong type and `ValueError` for one outside its bounds.
Construction and writes run them in line, as they run the built-in casts.

    from quenlory import Field, model
    from quenlory.types import Int, Str, List, Choice

    @model
    class Package:
        name = Field(Str(min_length=1))
        stars = Field(Int(ge=0))
        tags = Field(List(Str()))
        kind = Field(Choice("lib", "app"))

`Field(int, strict=True)`, or `@model(strict=True)` for every field of a model, puts `Int()` in place of `int`,
and likewise for str, float, bool, list and dict.

`Int` refuses bool. `Float` takes an int too, and keeps it as the int it is (JSON does not tell 1 from 1.0).
`pattern` is searched for anywhere in the text (anchor it with ^ and $ for the whole text).
"""
import enum
import numbers
import re

from quenlory import model_decorator  # noqa: F401  (loading the core makes the cast type)
from quenlory.fields import bases as _bases

__all__ = ["Str", "Int", "Float", "Bool", "List", "Dict", "Choice", "EnumOf", "CheckCast"]

#: The type of every cast made here.
CheckCast = _bases._CheckCast


def _text(name, args, options):
    shown = [repr(arg) for arg in args]
    shown += ["%s=%r" % (key, value) for key, value in options.items() if value is not None]
    return "%s(%s)" % (name, ", ".join(shown))


def _bound(name, value):
    if value is not None and (not isinstance(value, numbers.Real) or isinstance(value, bool)):
        raise TypeError("%s must be a number, got %r" % (name, value))
    return value


def _length(name, value):
    if value is None:
        return -1
    if not isinstance(value, int) or isinstance(value, bool) or value < 0:
        raise TypeError("%s must be an int >= 0, got %r" % (name, value))
    return value


def _item(cast):
    if cast is not None and not callable(cast):
        raise TypeError("the item cast %r is not callable" % (cast,))
    return cast


def Str(*, min_length=None, max_length=None, pattern=None):
    """A str (a subclass too), optionally of a length and containing a match of `pattern` (text or compiled)."""
    compiled = re.compile(pattern) if isinstance(pattern, str) else pattern
    if compiled is not None and not isinstance(compiled, re.Pattern):
        raise TypeError("pattern must be a str or a compiled pattern, got %r" % (pattern,))
    text = _text("Str", (), {"min_length": min_length, "max_length": max_length,
                             "pattern": compiled.pattern if compiled is not None else None})
    return CheckCast("str", text, min_length=_length("min_length", min_length),
                     max_length=_length("max_length", max_length), pattern=compiled)


def Int(*, ge=None, le=None):
    """An int, not a bool, optionally within bounds."""
    return CheckCast("int", _text("Int", (), {"ge": ge, "le": le}), ge=_bound("ge", ge), le=_bound("le", le))


def Float(*, ge=None, le=None):
    """A float, or an int kept as it is, not a bool, optionally within bounds."""
    return CheckCast("float", _text("Float", (), {"ge": ge, "le": le}), ge=_bound("ge", ge), le=_bound("le", le))


def Bool():
    """True or False."""
    return CheckCast("bool", "Bool()")


def List(item=None, *, min_length=None, max_length=None):
    """A list (the same list: no copy unless the item cast changes an item), each item checked by `item`."""
    return CheckCast("list", _text("List", (item,) if item is not None else (), {
        "min_length": min_length, "max_length": max_length}), item=_item(item),
        min_length=_length("min_length", min_length), max_length=_length("max_length", max_length))


def Dict(item=None, *, min_length=None, max_length=None):
    """A dict (the same dict unless the item cast changes a value), each value checked by `item`."""
    return CheckCast("dict", _text("Dict", (item,) if item is not None else (), {
        "min_length": min_length, "max_length": max_length}), item=_item(item),
        min_length=_length("min_length", min_length), max_length=_length("max_length", max_length))


def Choice(*choices):
    """One of the given values, of the same type (Choice(1) refuses True and 1.0)."""
    if not choices:
        raise TypeError("Choice needs at least one choice")
    return CheckCast("choice", _text("Choice", choices, {}), choices=tuple(choices))


def EnumOf(enum_class):
    """The value of a member of `enum_class`; a member given is taken as its value, so the raw data stays JSON."""
    if not (isinstance(enum_class, type) and issubclass(enum_class, enum.Enum)):
        raise TypeError("EnumOf needs an Enum class, got %r" % (enum_class,))
    values = tuple(member.value for member in enum_class)
    if not values:
        raise TypeError("EnumOf needs an Enum class with members, got %r" % (enum_class,))
    return CheckCast("choice", "EnumOf(%s)" % enum_class.__qualname__, choices=values, enum=enum_class)
