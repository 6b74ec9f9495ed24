"""Pickling and copying of model instances.

A model class is made inside `model`, so its own module and qualified name lead nowhere, and nothing may be added
to its namespace. Instances are reduced through `copyreg.dispatch_table` instead, which pickle and copy consult
before they look at the class. Its key for a model class is a `_ModelKey`: it hashes like the class but holds it
through a weak reference, whose callback removes the entry when the class goes, so registering keeps no model
alive. The key remembers the decorated class's module and qualified name, where the model class is bound, and
doubles as the model's stand-in inside the reduced value:

- pickle writes it as `find_model(module, qualname)`, and refuses a model that cannot be found that way;
- deepcopy turns it into the class itself;
- copy.copy hands it to `restore` as it is, which tells `restore` that the storage it gets is the original's.

So `restore(model_class, data, compounds)` rebuilds an instance from its two slots as they were, without running
a cast, a default or a proxy again; pickle's and deepcopy's memos keep shared objects shared, a nested model
keeps sharing its raw dictionary with the outer one, and copy.copy gives a new top-level dictionary.

The class's own hooks win, as they would without the table:

- a class with its own `__reduce_ex__` (its own or inherited from anything but `object`) is not matched by its
  key at all, so pickle and copy call `__reduce_ex__(protocol)` as for any class; an own `__reduce__` gives the
  reduction, as `object.__reduce_ex__` would call it;
- otherwise a class with its own `__getstate__`, `__setstate__`, `__getnewargs_ex__` or `__getnewargs__` is reduced as
  `object.__reduce_ex__` would reduce it: `new_instance` makes the instance with `cls.__new__`, and pickle or copy
  hand it the state, that of `__getstate__` or else `(instance dictionary or None, slot values)`, through
  `__setstate__` or their default. Only the class in that value is the key, since the model class cannot be
  found by name;
- `__copy__` and `__deepcopy__` are asked by copy before the table.

A subclass of a model class is no model, and pickles by its own module and qualified name, but its instances
hold the same storage. The model's `__init__` registers the subclass with `register_subclass` (and so does loading
one of its instances): its key makes copies and pickles of its instances work as a model's, with the instance
dictionary and the subclass's own slots carried as ordinary state.
"""
import copyreg
import importlib
import sys
import weakref

from .fields.bases import MultiValue

__all__ = ["find_model", "restore"]

_dispatch_table = copyreg.dispatch_table
_keys = {}  # id(class) -> its key, for model classes and registered subclasses alike
_STORAGE = ("_data", "_compounds")
_object_reduce_ex = object.__reduce_ex__
_object_reduce = object.__reduce__
_object_getstate = getattr(object, "__getstate__", None)  # 3.11 and later


def _slot_names(cls):
    # The slots declared along the MRO, as pickle's default state names them, less the model's storage; found
    # without caching them on the class as copyreg does.
    names = []
    for base in cls.__mro__:
        slots = base.__dict__.get("__slots__", ())
        for name in (slots,) if isinstance(slots, str) else slots:
            if name.startswith("__") and not name.endswith("__"):
                stripped = base.__name__.lstrip("_")
                if stripped:
                    name = "_%s%s" % (stripped, name)
            if name not in ("__dict__", "__weakref__") and name not in _STORAGE and name not in names:
                names.append(name)
    return tuple(names)


class _ModelKey:
    __slots__ = ("_ref", "_hash", "_id", "module", "qualname", "subclass", "_slots", "_dict", "__weakref__")

    def __init__(self, cls, module, qualname, subclass=False):
        self._ref = weakref.ref(cls, self._forget)
        self._hash = hash(cls)
        self._id = id(cls)
        self.module = module
        self.qualname = qualname
        self.subclass = subclass
        self._slots = _slot_names(cls) if subclass else ()
        self._dict = subclass and cls.__dictoffset__ != 0

    # A dictionary lookup by the class compares the stored key with it: the key stands for its class only while
    # the class is alive, never for another class that later gets the same hash, and never for a class with its
    # own `__reduce_ex__`, since only pickle and copy can call that with the protocol.
    def __hash__(self):
        return self._hash

    def __eq__(self, other):
        if other is self:
            return True
        cls = self._ref()
        return cls is not None and other is cls and other.__reduce_ex__ is _object_reduce_ex

    def _forget(self, _ref, _pop=_dispatch_table.pop):
        _pop(self, None)
        if _keys.get(self._id) is self:
            del _keys[self._id]

    def reduce(self, instance):
        cls = type(instance)
        for base in cls.__mro__:
            if base is not object:  # the hooks that a class along the MRO defines, object's aside
                names = base.__dict__
                if ("__reduce__" in names or "__getstate__" in names or "__setstate__" in names
                        or "__getnewargs_ex__" in names or "__getnewargs__" in names):
                    return self._reduce_ordinarily(instance, cls)
        get = object.__getattribute__
        reduced = restore, (self, get(instance, "_data"), get(instance, "_compounds"))
        if self.subclass:
            state = self._state(instance, False)
            if state is not None:
                reduced += (state,)
        return reduced

    def _reduce_ordinarily(self, instance, cls):
        # As object.__reduce_ex__ does for protocol 2 and later, with the key in place of the class.
        if cls.__reduce__ is not _object_reduce:
            return instance.__reduce__()
        if getattr(cls, "__getnewargs_ex__", None) is not None:
            args, kwargs = instance.__getnewargs_ex__()
        elif getattr(cls, "__getnewargs__", None) is not None:
            args, kwargs = instance.__getnewargs__(), {}
        else:
            args, kwargs = (), {}
        if getattr(cls, "__getstate__", _object_getstate) is not _object_getstate:
            state = instance.__getstate__()
        else:
            state = self._state(instance, True)
        return new_instance, (self, args, kwargs), state

    def _state(self, instance, storage):
        # What object's default state holds: the instance dictionary (or None) and the slots that are set.
        get = object.__getattribute__
        attributes = get(instance, "__dict__") if self._dict else None
        slots = {}
        for name in (_STORAGE + self._slots) if storage else self._slots:
            try:
                slots[name] = get(instance, name)
            except AttributeError:
                pass
        if not slots:
            return attributes or None
        return attributes or None, slots

    def describe(self):
        if self.module is None or self.qualname is None:
            return "model %s" % (getattr(self._ref(), "__name__", "?"),)
        return "model %s.%s" % (self.module, self.qualname)

    def __reduce__(self):
        cls = self._ref()
        if self.subclass:
            # An ordinary class: pickle writes it by its own name, or says why it cannot.
            return model_subclass, (cls,)
        # Pickle: the class by the name under which the decorated class was declared.
        if self.module is None or self.qualname is None:
            why = "its decorated class has no module or qualified name"
        elif "<locals>" in self.qualname.split("."):
            why = ("it is declared inside a function, so loading cannot find it by name; "
                   "declare it at module level or as a class attribute")
        else:
            try:
                found = find_model(self.module, self.qualname)
            except (ImportError, AttributeError, TypeError) as error:
                found, why = None, "it is not found under that name (%s)" % (error,)
            else:
                why = "that name is bound to another model (the model was made again or rebound)"
            if found is cls:
                return find_model, (self.module, self.qualname)
        from pickle import PicklingError

        raise PicklingError("Can't pickle an instance of %s: %s" % (self.describe(), why))

    def __deepcopy__(self, memo):
        return self._ref()


def _add(key, cls):
    _keys[id(cls)] = key
    _dispatch_table[key] = key.reduce


def register(model_class, cls):
    """Called by `model` for every model class it returns; `cls` is the decorated class."""
    names = []
    for attribute in ("__module__", "__qualname__"):
        try:
            name = getattr(cls, attribute, None)
        except Exception:
            name = None
        names.append(name if type(name) is str else None)
    _add(_ModelKey(model_class, *names), model_class)


def register_subclass(cls):
    """Called by a model's `__init__` for an instance of any class but the model class itself.

    Registers `cls` once when it derives from a model class; returns whether it does.
    """
    key = _keys.get(id(cls))
    if key is not None and key._ref() is cls:
        return True
    return _subclass_key(cls) is not None


def _subclass_key(cls):
    if not isinstance(cls, type) or not any(_model_key(base) is not None for base in cls.__mro__[1:]):
        return None
    key = _ModelKey(cls, None, None, subclass=True)
    _add(key, cls)
    return key


def _key_of(obj):
    key = _keys.get(id(obj))
    return key if key is not None and key._ref() is obj else None


def _model_key(obj):
    key = _keys.get(id(obj))
    return key if key is not None and not key.subclass and key._ref() is obj else None


def _class_of(model_class, what):
    # The class a reduced value names: a key, a model class, or a subclass of one (registered on first sight).
    if type(model_class) is _ModelKey:
        return model_class._ref()
    if isinstance(model_class, type) and (_key_of(model_class) is not None or _subclass_key(model_class)):
        return model_class
    raise TypeError("%s() needs a model class, not %r" % (what, model_class))


def find_model(module, qualname):
    """The model class bound to `qualname` in `module`, importing the module if needed."""
    found = sys.modules.get(module) or importlib.import_module(module)
    path = module
    for part in qualname.split("."):
        try:
            found = getattr(found, part)
        except AttributeError:
            raise AttributeError("%s has no attribute %r: no model %s.%s" % (path, part, module, qualname)) from None
        path += "." + part
    if _model_key(found) is None:
        raise TypeError("%s.%s is not a model class" % (module, qualname))
    return found


def model_subclass(cls):
    """`cls`, once checked to derive from a model class."""
    return _class_of(cls, "model_subclass")


def restore(model_class, data, compounds):
    """A new instance of `model_class` whose slots hold `data` and `compounds` as given."""
    if type(model_class) is _ModelKey:
        model_class = model_class._ref()
        data, compounds = _copy_storage(data, compounds)
    else:
        model_class = _class_of(model_class, "restore")
    for what, value in (("raw data", data), ("compound dictionary", compounds)):
        if not isinstance(value, dict):
            raise TypeError("%s of a %s must be a dict, not %s" % (what, model_class.__name__, type(value).__name__))
    instance = object.__new__(model_class)
    object.__setattr__(instance, "_data", data)
    object.__setattr__(instance, "_compounds", compounds)
    return instance


def new_instance(model_class, args, kwargs):
    """`model_class.__new__(model_class, *args, **kwargs)`, as pickle makes an instance it then gives a state."""
    model_class = _class_of(model_class, "new_instance")
    return model_class.__new__(model_class, *args, **kwargs)


def _copy_storage(data, compounds):
    # copy.copy: a new top-level dictionary, and multi-field views that read it instead of the original's.
    # Nested instances and every value stay shared, as in any shallow copy.
    if type(data) is dict:
        new_data = data.copy()
    else:
        import copy

        new_data = copy.copy(data)
    new_compounds = dict(compounds)
    for name, value in new_compounds.items():
        if type(value) is MultiValue and value._data is data:
            new_compounds[name] = MultiValue(new_data, value._keys)
    return new_data, new_compounds
