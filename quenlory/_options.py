"""Model options, given as model metadata: `@model(repr=True, eq="quiet", frozen=True, hash=True, match_args=True,
inherit=True)`.

The native decorator calls `namespace` before its walk when the metadata holds "inherit", and `apply` once the
model class is built when it holds any of these entries; a model without them never reaches this module. Each
option adds members to the model class, and a member the decorated class defines itself is kept instead.

- repr=True: `Station(name='Kew', elevation=41)`, the fields in order; a field without a value (an absent
  optional) is left out, and an instance that contains itself shows as `...` there.
- eq="quiet": the model's equality, the same comparisons in the same order with the same result, without the
  trace it prints.
- frozen=True: assigning or deleting a field raises `FrozenModelError` (a `dataclasses.FrozenInstanceError`,
  so an AttributeError). Only the instance is frozen: its raw data is still the dict that construction received,
  which the caller (and `raw`) can change, and nested lists and models stay as mutable as they are.
- hash=True (with frozen=True only): a hash of the field values in field order, so that equal instances hash alike.
- match_args=True: `__match_args__`, the field names in order, for positional patterns in `match`.
- Any of them also gives the class a `__signature__` that names the fields (for help() and call tips), unless
  the decorated class has its own `__init__`.
- inherit=True: the fields of the model classes among the decorated class's bases come first, the most basic
  first (reversed method resolution order); a field of the class (or of a later base) with the name of an
  inherited one takes its place there. Only fields are inherited: methods come from the class's own body.
"""
import copy
import dataclasses
import reprlib

from .fields.bases import (Field, ListField, ListValue, MultiField, MultiValue, ProxyField, _identity,
                           _implementation, _is_model)
from ._helpers import raw_key

__all__ = ["FrozenModelError", "namespace", "apply"]

OPTIONS = ("repr", "eq", "frozen", "hash", "match_args", "inherit")


class FrozenModelError(dataclasses.FrozenInstanceError):
    """Raised on assigning or deleting an attribute of an instance of a frozen model."""


# ---- inherit -------------------------------------------------------------------------------------------------


def _inherited(decl):
    # The decorator changes each declaration it walks (name, metadata_defaults, and the cast of an optional one),
    # so a model that inherits a field walks a copy of it, with the cast the declaration had before any model
    # took it; a cast bound to the declaration is bound to the copy instead.
    new = copy.copy(decl)
    # The entries the base model gave the field (`@model(optional=True)`) become the copy's own, so that it
    # behaves as it did in the base; the inheriting model's metadata fills in only what neither gives.
    inherited = {key: value for key, value in (decl.metadata_defaults or {}).items() if key not in OPTIONS}
    if inherited:
        inherited.update(decl._metadata)
        new._metadata = inherited
    cast = decl.cast
    if type(decl) in (Field, ProxyField, MultiField) and decl.metadata.get("optional", False):
        # the base model wrapped it: start again from the cast as declared
        given = decl._given_cast
        if type(decl) is ProxyField:
            cast = decl._to_pair
        elif given is not None:
            cast = given
        else:
            cast = _identity if type(decl) is Field else decl._to_values
    if getattr(cast, "__self__", None) is decl:
        cast = cast.__func__.__get__(new, type(new))
    new.cast = cast
    new.name = None
    return new


def namespace(cls, metadata):
    """The members the decorator walks for `cls`: inherited fields first, then the class's own namespace."""
    merged = {}
    for base in reversed(cls.__mro__[1:]):
        if _is_model(base):
            for name, decl in _implementation(base).model_fields(base).items():
                merged[name] = _inherited(decl)
    merged.update(cls.__dict__)
    return merged


# ---- the members -----------------------------------------------------------------------------------------------


def _make_repr(fields):
    @reprlib.recursive_repr()
    def __repr__(self):
        data = self._data
        parts = []
        for name, decl in fields.items():
            if isinstance(decl, (ProxyField, MultiField)):
                value = getattr(self, name)
                if value is None and (isinstance(decl, MultiField) or raw_key(decl, name) not in data):
                    continue
            elif raw_key(decl, name) not in data:
                continue
            else:
                value = getattr(self, name)
            parts.append("%s=%r" % (name, value))
        return "%s(%s)" % (type(self).__name__, ", ".join(parts))

    return __repr__


def _make_eq(fields):
    def __eq__(self, other):
        if isinstance(other, dict):
            return self == self.__class__(**dict(other))
        for name in fields:
            if getattr(self, name) != getattr(other, name):
                return False
        return True

    return __eq__


def _frozen_value(value):
    # What a field value hashes as: containers by their content, a model instance by its field values.
    if isinstance(value, dict):
        return frozenset((key, _frozen_value(item)) for key, item in value.items())
    if isinstance(value, (list, tuple, ListValue, MultiValue)):
        return tuple(_frozen_value(item) for item in value)
    if isinstance(value, (set, frozenset)):
        return frozenset(_frozen_value(item) for item in value)
    if isinstance(value, bytearray):
        return bytes(value)
    fields = _fields_of(type(value))
    if fields is not None and type(value).__hash__ is None:
        return tuple(_field_value(value, name) for name in fields)
    return value


_ABSENT = object()


def _field_value(instance, name):
    try:
        return _frozen_value(getattr(instance, name))
    except KeyError:  # a field without a value
        return _ABSENT


def _fields_of(cls):
    for base in getattr(cls, "__mro__", ()):
        if _is_model(base):
            return _implementation(base).model_fields(base)
    return None


def _make_hash(fields):
    def __hash__(self):
        return hash(tuple(_field_value(self, name) for name in fields))

    return __hash__


def _freeze(model_class, fields):
    # Each field's descriptor class belongs to this model alone (the decorator makes a FieldProperty class per
    # plain field and one CompoundProperty and MultiValueProperty class per model), so writes are refused there,
    # and construction, which fills the instance's slots, and reads are untouched.
    classes = {}
    for name in fields:
        descriptor = model_class.__dict__.get(name)
        if descriptor is not None and type(descriptor).__module__ == model_class.__module__:
            classes.setdefault(type(descriptor), []).append(name)
    for descriptor_class, names in classes.items():
        only = names[0] if len(names) == 1 else None

        def __set__(self, instance, value, _only=only):
            raise FrozenModelError("cannot assign to field '%s'" % (_only or self.name,))

        def __delete__(self, instance, _only=only):
            raise FrozenModelError("cannot delete field '%s'" % (_only or self.name,))

        descriptor_class.__set__ = __set__
        descriptor_class.__delete__ = __delete__


class _Shown:
    """A default as a signature shows it."""

    def __init__(self, text):
        self.text = text

    def __repr__(self):
        return self.text


def _signature(fields):
    # (data={}, /, *, name: str, elevation: int = 0, note: str = None, tags = <factory>): what construction takes,
    # for help() and call tips. A field that construction can do without (a default, a factory, optional) shows
    # with its default; the data dict can give any of them instead.
    import inspect

    parameters = [inspect.Parameter("data", inspect.Parameter.POSITIONAL_ONLY, default=_Shown("{}"))]
    for name, decl in fields.items():
        metadata = decl.metadata
        if "default" in metadata:
            default = metadata["default"]
        elif "factory" in metadata:
            default = _Shown("<factory>")
        elif metadata.get("optional", False):
            default = None
        else:
            default = inspect.Parameter.empty
        given = getattr(decl, "_given_cast", None)
        if isinstance(decl, ListField):
            annotation = "list[%s]" % decl.nested_model.__name__
        elif isinstance(decl, ProxyField) and decl.nested_model is None:  # a rich field: the object it reads
            annotation = getattr(decl, "enum_class", None) or decl.expected
        elif isinstance(decl, ProxyField):
            annotation = decl.nested_model.__name__
        elif isinstance(given, type):
            annotation = given
        else:
            annotation = inspect.Parameter.empty
        parameters.append(inspect.Parameter(name, inspect.Parameter.KEYWORD_ONLY, default=default,
                                            annotation=annotation))
    return inspect.Signature(parameters)


def _option(metadata, name):
    value = metadata.get(name, False)
    if name == "eq":
        if value not in (False, None, "quiet"):
            raise ValueError("model option eq=%r: the one choice is eq=\"quiet\", equality without its trace"
                             % (value,))
        return value == "quiet"
    return bool(value)


def apply(model_class, cls, metadata):
    """Add the members the options in `metadata` ask for to `model_class`, made from the decorated class `cls`."""
    wanted = {name: _option(metadata, name) for name in OPTIONS}
    if wanted["hash"] and not wanted["frozen"]:
        raise ValueError("Error creating model %s: hash=True needs frozen=True, since the hash of an instance "
                         "that can change would change with it" % (cls.__name__,))
    fields = _implementation(model_class).model_fields(model_class)  # the live field map
    own = cls.__dict__
    members = []
    if wanted["repr"]:
        members.append(("__repr__", _make_repr(fields)))
    if wanted["eq"]:
        members.append(("__eq__", _make_eq(fields)))
    if wanted["hash"]:
        members.append(("__hash__", _make_hash(fields)))
    if wanted["match_args"]:
        members.append(("__match_args__", tuple(fields)))
    if "__init__" not in own:
        members.append(("__signature__", _signature(fields)))
    for name, value in members:
        if name in own and not (name == "__hash__" and own[name] is None):
            continue
        setattr(model_class, name, value)
    if wanted["frozen"]:
        _freeze(model_class, fields)
    return None
