"""Pure-Python twin of quenlory.model_decorator.

Same behaviour, same order of calls on declarations and data dictionaries,
same messages (the interpreter's own wording for wrong calls aside).  It is the
reference in cross-checks, so it is written as the behaviour reads, step for
step, and is never tuned: the benchmarks import it as it is, and a faster
Python peer they may want belongs in bench/.

Like the native module, its functions look up `Field`, `ProxyField`,
`MultiField`, `_fields`, `_flat_fields`, `model`, `raw` and `json` in this
module's namespace at each use, so rebinding them changes later calls.
"""
# Built-ins used by the model code, taken once so that later rebinding of the
# built-ins does not reach it.
_property = property
_classmethod = classmethod
_staticmethod = staticmethod
_ValueError = ValueError
_print = print

import json  # noqa: E402
import weakref  # noqa: E402
import typing  # noqa: E402
from typing import Dict, Set  # noqa: E402,F401

from quenlory.fields.bases import ProxyField, Field, MultiField  # noqa: E402,F401
from quenlory._pickling import register as _register_for_copying  # noqa: E402
from quenlory._pickling import register_subclass as _register_subclass  # noqa: E402

_fields = typing.cast(Dict, weakref.WeakKeyDictionary())
_flat_fields = typing.cast(Dict, weakref.WeakKeyDictionary())

_RESERVED = frozenset(("_data", "_compounds"))
_END = object()
_HEAPTYPE = 1 << 9


def _type_name(cls):
    # The interpreter's own name of a type: dotted for built-in types defined
    # outside builtins, plain for classes made at run time.
    if cls.__flags__ & _HEAPTYPE or cls.__module__ == "builtins":
        return cls.__name__
    return cls.__module__ + "." + cls.__name__


def _check_class(cls):
    if cls is not None and type(cls) is not type:
        raise TypeError(
            "Argument 'cls' has incorrect type (expected type, got %.200s)" % _type_name(type(cls))
        )


def model_fields(cls: "type", /):
    _check_class(cls)
    return _fields[cls]


def model_fields_flat(cls: "type", /):
    _check_class(cls)
    return _flat_fields[cls]


def raw(obj, /):
    return obj._data


def dumps(obj, /):
    return json.dumps(raw(obj))


def _split_pair(pair):
    # Two-target unpacking with the native module's messages: exact tuples and
    # lists by length, anything else by iterating one step past the second item.
    if type(pair) is tuple or type(pair) is list:
        count = len(pair)
        if count == 2:
            return pair[0], pair[1]
    else:
        items = iter(pair)
        first = next(items, _END)
        second = _END if first is _END else next(items, _END)
        if second is not _END:
            if next(items, _END) is _END:
                return first, second
            count = 3
        else:
            count = 0 if first is _END else 1
    if count > 2:
        raise _ValueError("too many values to unpack (expected 2)")
    raise _ValueError("need more than %d value%s to unpack" % (count, "" if count == 1 else "s"))


def _qualify(function, qualname, name=None):
    function.__qualname__ = qualname
    if name is not None:
        function.__name__ = name
    return function


def model(cls=None, **metadata):
    if cls is None:
        def capture(cls, /):
            return model(cls, **metadata)
        return capture

    keys = set()
    fields = {}
    flat_fields = {}
    compounds = {}
    multi_fields = {}
    basic = {}
    casts = {}
    properties = {}
    methods = {}
    static_values = {}

    # Walk the class's own namespace in definition order.
    for name, value in cls.__dict__.items():
        if name in _RESERVED:
            raise _ValueError(f"Error creating model {cls.__name__}: '{name}' is a reserved attribute name")
        if isinstance(value, Field):
            casts[name] = value.cast
            fields[name] = value
            value.name = name
            value.metadata_defaults = metadata
            if value.metadata.get("optional", False):
                def make_optional_cast(_c, /):
                    def _cast(value, /):
                        if value is None:
                            return None
                        return _c(value)
                    return _cast
                value.cast = wrapper = make_optional_cast(value.cast)
                casts[name] = wrapper
            if isinstance(value, ProxyField):
                keys.add(name)
                compounds[name] = value
                flat = value.flat_fields(prefix=name)
                if type(flat) is dict:
                    flat_fields.update(flat)
                else:
                    # items that are not exact pairs fail with the same words as compound pairs
                    for item in flat.items():
                        key, decl = item if type(item) is tuple and len(item) == 2 else _split_pair(item)
                        flat_fields[key] = decl
            elif isinstance(value, MultiField):
                multi_fields[name] = value
            else:
                keys.add(name)
                basic[name] = value
                flat_fields[name] = value
        elif isinstance(value, _property):
            keys.add(name)
            properties[name] = value
        elif callable(value) or isinstance(value, _classmethod) or isinstance(value, _staticmethod):
            keys.add(name)
            methods[name] = value
        elif not (name.startswith("__") or name.endswith("__")):
            keys.add(name)
            static_values[name] = value

    field_names = set(fields)
    multi_field_components = {}
    proxies = {}
    for name, decl in multi_fields.items():
        components = decl.components()
        if type(components) is not tuple:
            components = tuple(components)
        multi_field_components[name] = components
        for key in components:
            if key in keys:
                raise _ValueError(f"Error creating model {cls.__name__} collision on key {key} with field {name}")
            keys.add(key)
            field_names.add(key)
        proxies[name] = decl.proxy
        keys.add(name)

    def missing(name):
        return _ValueError(f"Missing key [{name}] to construct {cls.__name__}")

    def field_property(_name, _cast, optional):
        if optional:
            def __get__(self, instance, objtype):
                return instance._data.get(_name)
        else:
            def __get__(self, instance, objtype):
                return instance._data[_name]

        def __set__(self, instance, value):
            instance._data[_name] = _cast(value)

        qualname = "model.<locals>.field_property.<locals>.FieldProperty"
        return type("FieldProperty", (), {
            "__module__": __name__,
            "__qualname__": qualname,
            "__get__": _qualify(__get__, qualname + ".__get__"),
            "__set__": _qualify(__set__, qualname + ".__set__"),
        })()

    def compound_set(self, instance, value):
        value, data = _split_pair(casts[self.name](value))
        instance._compounds[self.name] = value
        instance._data[self.name] = data

    def multi_set(self, instance, value):
        proxy = proxies[self.name]
        data = instance._data
        result = proxy(data, casts[self.name](value))
        instance._compounds[self.name] = result

    def property_class(class_name, setter):
        def __init__(self, name, field):
            self.name = name
            self.field = field

        def __get__(self, instance, objtype):
            return instance._compounds[self.name]

        qualname = "model.<locals>." + class_name
        return type(class_name, (), {
            "__module__": __name__,
            "__qualname__": qualname,
            "__init__": _qualify(__init__, qualname + ".__init__"),
            "__get__": _qualify(__get__, qualname + ".__get__"),
            "__set__": _qualify(setter, qualname + ".__set__", "__set__"),
        })

    def __init__(self, *args, **kwargs):
        if type(self) is not ModelClass:
            _register_subclass(type(self))
        data = args[0] if args else {}
        self._data = data
        self._compounds = found = {}
        # A type test, as the native module makes it: `__class__` is not consulted.
        if not issubclass(type(data), dict):
            raise _ValueError("Unexpected parameter type for model construction")
        # The difference itself, not issuperset: how that walks the keys differs between interpreters.
        if set(data.keys()) - field_names:
            raise _ValueError(f"Unexpected key provided: {set(data.keys()) - field_names}")

        for name, decl in compounds.items():
            if name in kwargs:
                cast = decl.cast
                value = kwargs.pop(name)
            elif data.get(name) is not None:
                cast = decl.cast
                value = data[name]
            elif "default" in decl.metadata:
                cast = decl.cast
                value = decl["default"]
            elif "factory" in decl.metadata:
                cast = decl.cast
                value = decl["factory"]()
            elif decl.metadata.get("optional", False):
                found[name] = None
                continue
            else:
                raise missing(name)
            found[name], data[name] = _split_pair(cast(value))

        for name, decl in multi_fields.items():
            components = multi_field_components[name]
            for key in components:
                if key not in kwargs:
                    break
            else:
                proxy = decl.proxy
                found[name] = proxy(data, [kwargs.pop(key) for key in components])
                continue
            if name in kwargs:
                proxy = decl.proxy
                cast = decl.cast
                value = kwargs.pop(name)
            else:
                for key in components:
                    if key not in data:
                        break
                else:
                    proxy = decl.proxy
                    found[name] = proxy(data, [data[key] for key in components])
                    continue
                if data.get(name) is not None:
                    proxy = decl.proxy
                    cast = decl.cast
                    value = data[name]
                elif "default" in decl.metadata:
                    proxy = decl.proxy
                    cast = decl.cast
                    value = decl["default"]
                elif "factory" in decl.metadata:
                    proxy = decl.proxy
                    cast = decl.cast
                    value = decl["factory"]()
                elif decl.metadata.get("optional", False):
                    found[name] = None
                    continue
                else:
                    raise missing(name)
            found[name] = proxy(data, cast(value))

        for name, decl in basic.items():
            cast = casts[name]
            if name in kwargs:
                data[name] = cast(kwargs.pop(name))
            elif name in data:
                data[name] = cast(data[name])
            elif "default" in decl.metadata:
                data[name] = cast(decl["default"])
            elif "factory" in decl.metadata:
                data[name] = cast(decl["factory"]())
            elif not decl.metadata.get("optional", False):
                raise missing(name)

        if kwargs:
            raise _ValueError(f"Unexpected key provided: {kwargs.keys()}")

    def __eq__(self, other):
        if issubclass(type(other), dict):
            return self == self.__class__(**other)
        for name in fields:
            _print(name, getattr(self, name), getattr(other, name))
            if getattr(self, name) != getattr(other, name):
                _print("false")
                return False
            _print("true")
        return True

    CompoundProperty = property_class("CompoundProperty", compound_set)
    MultiValueProperty = property_class("MultiValueProperty", multi_set)
    ModelClass = type("ModelClass", (), {
        "__module__": __name__,
        "__qualname__": "model.<locals>.ModelClass",
        "__slots__": ["_data", "_compounds"],
        "__init__": _qualify(__init__, "model.<locals>.ModelClass.__init__"),
        "__eq__": _qualify(__eq__, "model.<locals>.ModelClass.__eq__"),
    })
    ModelClass.__name__ = cls.__name__
    ModelClass.__doc__ = cls.__doc__
    try:
        cls.__annotations__
    except Exception:
        pass
    else:
        ModelClass.__annotations__ = cls.__annotations__

    _fields[ModelClass] = fields
    _flat_fields[ModelClass] = flat_fields

    for name, decl in compounds.items():
        setattr(ModelClass, name, CompoundProperty(name, decl))
    for name, decl in basic.items():
        setattr(ModelClass, name, field_property(name, decl.cast, decl["optional"]))
    for name, decl in multi_fields.items():
        setattr(ModelClass, name, MultiValueProperty(name, decl.cast))
    for members in (properties, methods, static_values):
        for name, value in members.items():
            setattr(ModelClass, name, value)
    _register_for_copying(ModelClass, cls)
    return ModelClass
