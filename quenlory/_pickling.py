"""Pickling and copying of model instances.

A model class is made inside `model`, so its own module and qualified name lead nowhere, and nothing may be added
to its namespace. Instances are reduced through `copyreg.dispatch_table` instead, which pickle and copy consult
before they look at the class. Its key for a model class is a `_ModelKey`: it hashes and compares like the class
but holds it through a weak reference, whose callback removes the entry when the class goes, so registering
keeps no model alive. The key remembers the decorated class's module and qualified name, where the model class
is bound, and doubles as the model's stand-in inside the reduced value:

- pickle writes it as `find_model(module, qualname)`, and refuses a model that cannot be found that way;
- deepcopy turns it into the class itself;
- copy.copy hands it to `restore` as it is, which tells `restore` that the storage it gets is the original's.

So `restore(model_class, data, compounds)` rebuilds an instance from its two slots as they were, without running
a cast, a default or a proxy again; pickle's and deepcopy's memos keep shared objects shared, a nested model
keeps sharing its raw dictionary with the outer one, and copy.copy gives a new top-level dictionary.
"""
import copyreg
import importlib
import sys
import weakref

from .fields.bases import MultiValue

__all__ = ["find_model", "restore"]

_dispatch_table = copyreg.dispatch_table


class _ModelKey:
    __slots__ = ("_ref", "_hash", "module", "qualname", "__weakref__")

    def __init__(self, model_class, module, qualname):
        self._ref = weakref.ref(model_class, self._forget)
        self._hash = hash(model_class)
        self.module = module
        self.qualname = qualname

    # A dictionary lookup by the class compares the stored key with it: the key stands for its class only while
    # the class is alive, and never for another class that later gets the same hash.
    def __hash__(self):
        return self._hash

    def __eq__(self, other):
        if other is self:
            return True
        cls = self._ref()
        return cls is not None and other is cls

    def _forget(self, _ref, _pop=_dispatch_table.pop):
        _pop(self, None)

    def reduce(self, instance):
        # A reduction that the model class defines itself still wins, as it would without this table.
        cls = type(instance)
        if cls.__reduce_ex__ is not object.__reduce_ex__:
            return instance.__reduce_ex__(2)
        if cls.__reduce__ is not object.__reduce__:
            return instance.__reduce__()
        get = object.__getattribute__
        return restore, (self, get(instance, "_data"), get(instance, "_compounds"))

    def describe(self):
        if self.module is None or self.qualname is None:
            return "model %s" % (getattr(self._ref(), "__name__", "?"),)
        return "model %s.%s" % (self.module, self.qualname)

    def __reduce__(self):
        # Pickle: the class by the name under which the decorated class was declared.
        cls = self._ref()
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


def register(model_class, cls):
    """Called by `model` for every model class it returns; `cls` is the decorated class."""
    names = []
    for attribute in ("__module__", "__qualname__"):
        try:
            name = getattr(cls, attribute, None)
        except Exception:
            name = None
        names.append(name if type(name) is str else None)
    key = _ModelKey(model_class, *names)
    _dispatch_table[key] = key.reduce


def _key_of(obj):
    reduce = _dispatch_table.get(obj) if isinstance(obj, type) else None
    key = getattr(reduce, "__self__", None)
    return key if type(key) is _ModelKey and key._ref() is obj else None


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
    if _key_of(found) is None:
        raise TypeError("%s.%s is not a model class" % (module, qualname))
    return found


def restore(model_class, data, compounds):
    """A new instance of `model_class` whose slots hold `data` and `compounds` as given."""
    if type(model_class) is _ModelKey:
        key = model_class
        model_class = key._ref()
        data, compounds = _copy_storage(data, compounds)
    elif _key_of(model_class) is None:
        raise TypeError("restore() needs a model class, not %r" % (model_class,))
    for what, value in (("raw data", data), ("compound dictionary", compounds)):
        if not isinstance(value, dict):
            raise TypeError("%s of a %s must be a dict, not %s" % (what, model_class.__name__, type(value).__name__))
    instance = object.__new__(model_class)
    object.__setattr__(instance, "_data", data)
    object.__setattr__(instance, "_compounds", compounds)
    return instance


def _copy_storage(data, compounds):
    # copy.copy: a new top-level dictionary, and multi-field views that read it instead of the original's.
    # Nested instances and every value stay shared, as in any shallow copy.
    import copy

    new_data = copy.copy(data)
    new_compounds = dict(compounds)
    for name, value in new_compounds.items():
        if type(value) is MultiValue and value._data is data:
            new_compounds[name] = MultiValue(new_data, value._keys)
    return new_data, new_compounds
