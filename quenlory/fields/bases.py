"""Field declarations: what a model's class body is made of.

`Field` is a plain value stored under its attribute name, `ProxyField` a nested
model kept beside its raw dictionary, and `MultiField` one attribute spread over
several raw keys.  The model decorator sets `name` and `metadata_defaults` on
each declaration and may replace `cast`; everything else here is read-only.
"""
import copy
import sys
from collections.abc import Mapping
from types import GenericAlias

__all__ = ["Field", "ProxyField", "MultiField", "MultiValue"]


_CONTAINERS = (dict, list, set, bytearray)


def _identity(value):
    return value


def _describe(value):
    return getattr(value, "__qualname__", None) or repr(value)


class Field:
    """A plain field: `cast` converts an assigned value into what is stored.

    Metadata entries ("default", "factory", "optional", or anything else) are
    the declaration's own; `metadata_defaults` (set by the model) fills in the
    entries the declaration does not give.
    """

    __slots__ = ("cast", "name", "metadata", "_defaults", "_metadata", "_given_cast")

    # Field[int] in annotations, matching the generic declaration of the type stubs.
    __class_getitem__ = classmethod(GenericAlias)

    def __init__(self, cast=None, **metadata):
        self.cast = _identity if cast is None else cast
        self._given_cast = cast
        self.name = None
        self._metadata = metadata
        self.metadata_defaults = {}

    # `metadata` is the merged view (own entries over the model's defaults), a
    # new dict made whenever the defaults are assigned.  Models read it on every
    # construction that needs a default, so it is a plain slot holding a plain
    # dict, which they can query directly; treat it as read-only (changing it
    # changes nothing else).  It is written through the slot itself, so a
    # subclass may still define `metadata` its own way.
    @property
    def metadata_defaults(self):
        return self._defaults

    @metadata_defaults.setter
    def metadata_defaults(self, defaults):
        self._defaults = defaults
        merged = dict(defaults) if defaults else {}
        merged.update(self._metadata)
        _metadata_slot.__set__(self, merged)

    def __getitem__(self, key):
        own = self._metadata
        if key in own:
            value = own[key]
        elif key in self.metadata_defaults:
            value = self.metadata_defaults[key]
        elif key == "optional":
            return False
        else:
            raise KeyError(key)
        # A default that is a container is copied for every use: instances must
        # not share it (a nested model's default would otherwise become the raw
        # data of every instance built from it, and of later defaults too).
        if key == "default" and isinstance(value, _CONTAINERS):
            return copy.deepcopy(value)
        return value

    def _arguments(self):
        # The cast as declared: the model may since have wrapped `cast`.
        return [] if self._given_cast is None else [_describe(self._given_cast)]

    def __repr__(self):
        args = self._arguments()
        args.extend("%s=%r" % item for item in self._metadata.items())
        text = "%s(%s)" % (type(self).__name__, ", ".join(args))
        return text if self.name is None else "%s=%s" % (self.name, text)


_metadata_slot = Field.__dict__["metadata"]


def _implementation(model_class):
    # A model class keeps the __module__ of the implementation that built it
    # (the native extension, or the pure-Python reference used for benchmarks
    # and cross-checks), and that module's registries are the ones that know
    # it.  Anything else is asked of the native module.
    module = sys.modules.get(getattr(model_class, "__module__", None))
    if module is None or not hasattr(module, "model_fields_flat"):
        from quenlory import model_decorator as module
    return module


class ProxyField(Field):
    """A nested model: assigning a dict builds `nested_model(dict)`.

    The dict itself becomes the nested instance's data, so the outer raw data
    and the nested instance share it.
    """

    __slots__ = ("nested_model",)

    def __init__(self, nested_model, **metadata):
        if not isinstance(nested_model, type):
            raise TypeError("ProxyField needs a model class, got %r" % (nested_model,))
        Field.__init__(self, **metadata)
        self.cast = self._to_pair
        self.nested_model = nested_model

    def _to_pair(self, value):
        nested_model = self.nested_model
        if not isinstance(value, nested_model):
            if not isinstance(value, dict):
                raise TypeError(
                    "%s expects a dict or a %s instance, got %s"
                    % (self.name or "ProxyField", nested_model.__name__, type(value).__name__)
                )
            value = nested_model(value)
        return value, value._data

    def flat_fields(self, prefix):
        fields = _implementation(self.nested_model).model_fields_flat(self.nested_model)
        return {"%s.%s" % (prefix, key): decl for key, decl in fields.items()}

    def _arguments(self):
        return [self.nested_model.__name__]


class MultiValue:
    """Live view of a multi-field's component values in a data dictionary.

    Index it by position or by component key; it reads the dictionary on
    every access, so changes made to the raw data show at once.  Integer
    indexes are positions, even when a component key is itself an integer.
    """

    __slots__ = ("_data", "_keys")

    def __init__(self, data, keys):
        self._data = data
        self._keys = keys

    def __getitem__(self, index):
        keys = self._keys
        if isinstance(index, int):
            return self._data[keys[index]]
        if isinstance(index, slice):
            data = self._data
            return [data[key] for key in keys[index]]
        if index in keys:
            return self._data[index]
        raise KeyError(index)

    def __len__(self):
        return len(self._keys)

    def __iter__(self):
        data = self._data
        return (data[key] for key in self._keys)

    def keys(self):
        return self._keys

    def __eq__(self, other):
        if isinstance(other, (MultiValue, list, tuple)):
            return list(self) == list(other)
        return NotImplemented

    __hash__ = None

    def __reduce__(self):
        return MultiValue, (self._data, self._keys)

    def __repr__(self):
        data = self._data
        return "MultiValue(%s)" % ", ".join(
            "%s=%r" % (key, data[key]) if key in data else "%s=<missing>" % (key,) for key in self._keys
        )


class MultiField(Field):
    """One attribute over several raw keys (its components).

    The default cast accepts a mapping holding the component keys, or any
    iterable with one value per component, and gives the list of values in
    component order.  `proxy` writes them into the data dictionary and
    returns a `MultiValue` over it.
    """

    __slots__ = ("_components",)

    def __init__(self, components, cast=None, **metadata):
        Field.__init__(self, cast, **metadata)
        self._components = tuple(components)
        if cast is None:
            self.cast = self._to_values

    def components(self):
        return self._components

    def _to_values(self, value):
        if value is None:
            return None
        components = self._components
        if isinstance(value, Mapping):
            return [value[key] for key in components]
        values = list(value)
        if len(values) != len(components):
            raise ValueError(
                "%s expects %d values (%s), got %d"
                % (self.name or "MultiField", len(components), ", ".join(map(str, components)), len(values))
            )
        return values

    def proxy(self, data, value):
        if value is None:
            return None
        components = self._components
        if not isinstance(value, (list, tuple)):
            value = list(value)
        if len(value) != len(components):
            raise ValueError("%s expects %d values, got %d" % (self.name or "MultiField", len(components), len(value)))
        for key, item in zip(components, value):
            data[key] = item
        return MultiValue(data, components)

    def _arguments(self):
        args = [repr(self._components)]
        if self._given_cast is not None:
            args.append("cast=" + _describe(self._given_cast))
        return args
