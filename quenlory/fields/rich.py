"""Rich fields: the attribute reads a standard-library object, the raw data keeps its JSON form.

    @model
    class Release:
        version = Field(str)
        published = DateField()                 # reads a datetime.date; raw data "2024-05-01"
        digest = UUIDField(optional=True)       # reads a uuid.UUID; raw data its canonical text
        price = DecimalField(default="0.00")    # reads a decimal.Decimal; raw data "0.00"
        channel = EnumField(Channel)            # reads a Channel member; raw data its value

Each is a compound whose cast returns the pair (rich object, JSON form), so the object is made once, when the
value comes in, and `raw`, `dumps`, copies and pickles see only the JSON form in the raw data. Assigning the
attribute takes the rich object or its text and writes both forms again.

Parsing is strict: a date, time or datetime is read by the standard library's `fromisoformat` of the running
interpreter (3.11 and later accept more ISO 8601 forms than 3.9 and 3.10), a UUID by `uuid.UUID`, a decimal by
`decimal.Decimal` less its lenient extras (surrounding blanks, digit separators, NaN). A value of the wrong type
raises TypeError ("expected str or date, got int"), text that does not parse raises ValueError. The raw data always
holds the canonical text (`isoformat()`, `str()`), which may differ from the text that came in: "1E3" is kept as
"1E+3", and a UUID in capitals in lower case.

An optional rich field reads None when the input lacks it (or holds None), and assigning None stores None.
"""
import datetime
import decimal
import enum
import uuid

from .bases import Field, ListField, ProxyField

__all__ = ["DateField", "DateTimeField", "TimeField", "UUIDField", "DecimalField", "EnumField"]

_ABSENT = object()


class RichField(ProxyField):
    """Base of the rich fields: a compound over one JSON value, whose cast is `to_pair`.

    A subclass gives `expected` (the rich type), `parse(text)` (the rich object that JSON text stands for) and
    may override `dump(obj)` (its JSON form, `obj.isoformat()` by default) and `accepts(obj)`.
    """

    __slots__ = ("_hidden_optional",)
    expected = object

    def __init__(self, **metadata):
        Field.__init__(self, **metadata)
        self.cast = self._to_pair
        self.nested_model = None
        self._hidden_optional = _ABSENT

    # An optional rich field hides "optional" from the decorator's optional test, as an optional ListField does
    # (see there): the decorator's wrapper would give None where the pair (None, None) is needed.
    metadata_defaults = ListField.metadata_defaults
    _restore_optional = ListField._restore_optional
    _optional = ListField._optional

    def _to_pair(self, value):
        if value is None and self._optional():
            return None, None
        if isinstance(value, str):
            obj = self.parse(value)
        elif self.accepts(value):
            obj = value
        else:
            raise TypeError("expected str or %s, got %s" % (self.expected.__name__, type(value).__name__))
        return obj, self.dump(obj)

    def accepts(self, value):
        return isinstance(value, self.expected)

    def parse(self, text):
        return self.expected.fromisoformat(text)

    def dump(self, obj):
        return obj.isoformat()

    def flat_fields(self, prefix):
        # One raw value under the field's own name, as a plain field has.
        self._restore_optional()
        return {prefix: self}

    def _arguments(self):
        return []


class DateField(RichField):
    """A `datetime.date`, kept as "YYYY-MM-DD". A datetime is refused: its text is not a date's."""

    __slots__ = ()
    expected = datetime.date

    def accepts(self, value):
        return isinstance(value, datetime.date) and not isinstance(value, datetime.datetime)


class DateTimeField(RichField):
    """A `datetime.datetime`, naive or aware, kept as its `isoformat()` text."""

    __slots__ = ()
    expected = datetime.datetime


class TimeField(RichField):
    """A `datetime.time`, kept as its `isoformat()` text."""

    __slots__ = ()
    expected = datetime.time


class UUIDField(RichField):
    """A `uuid.UUID`, kept as its canonical text: 36 characters, lower case, with hyphens."""

    __slots__ = ()
    expected = uuid.UUID

    def parse(self, text):
        return uuid.UUID(text)

    def dump(self, obj):
        return str(obj)


class DecimalField(RichField):
    """A `decimal.Decimal`, kept as its canonical text (`str`), so that no digit is lost to a float.

    The text is a number as `decimal.Decimal` reads it, or Infinity; blanks around it, "_" between digits and NaN
    are refused (a NaN would make the instance unequal to itself).
    """

    __slots__ = ()
    expected = decimal.Decimal

    def parse(self, text):
        if text != text.strip() or "_" in text:
            raise ValueError("invalid decimal text %r" % (text,))
        try:
            obj = decimal.Decimal(text)
        except decimal.InvalidOperation:
            raise ValueError("invalid decimal text %r" % (text,)) from None
        return self._checked(obj)

    def accepts(self, value):
        return isinstance(value, decimal.Decimal) and self._checked(value) is value

    @staticmethod
    def _checked(obj):
        if obj.is_nan():
            raise ValueError("expected a number, got %s" % (obj,))
        return obj

    def dump(self, obj):
        return str(obj)


_JSON_SCALARS = (str, int, float, bool)


class EnumField(RichField):
    """A member of `enum_class`, kept as its value, which must be a str, int, float or bool.

    A member is taken as it is; a value of the exact type of some member's value is looked up with
    `enum_class(value)` (ValueError when no member has it); anything else raises TypeError, so True is no 1 and "1"
    no 1.
    """

    __slots__ = ("enum_class", "_value_types")

    def __init__(self, enum_class, **metadata):
        if not (isinstance(enum_class, type) and issubclass(enum_class, enum.Enum)):
            raise TypeError("EnumField needs an enum.Enum subclass, got %r" % (enum_class,))
        types = []
        for member in enum_class:
            kind = type(member.value)
            if kind not in _JSON_SCALARS:
                raise TypeError("EnumField(%s): the value of %s is a %s; the raw data can hold only a str, int, "
                                "float or bool" % (enum_class.__name__, member, kind.__name__))
            if kind not in types:
                types.append(kind)
        RichField.__init__(self, **metadata)
        self.enum_class = enum_class
        self._value_types = tuple(types)

    def _to_pair(self, value):
        if value is None and self._optional():
            return None, None
        enum_class = self.enum_class
        if isinstance(value, enum_class):
            obj = value
        elif type(value) in self._value_types:
            obj = enum_class(value)
        else:
            raise TypeError("expected %s, got %s" % (" or ".join(
                [kind.__name__ for kind in self._value_types] + [enum_class.__name__]), type(value).__name__))
        return obj, obj.value

    def _arguments(self):
        return [self.enum_class.__name__]
