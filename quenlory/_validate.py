"""`validate(Model, data)`: every error of an input at once, each with its path, and no half-cast input.

Construction stops at the first error and leaves behind what it wrote by then, in the caller's own dictionary.
`validate` first walks the model's fields over the data without writing anything: each present value goes
through the cast that the model class runs on a write of that field (its descriptor's `__set__`, on a scratch
instance, with a copy of the value), nested models and list items are walked in turn, and missing required keys
and keys the model does not declare are counted too. Every error found gets its path as a PEP 678 note
("installed[3].metadata.version", "3166-2[1].name") and they are raised together as one `ValidationError`, an
ExceptionGroup. When the walk finds nothing, the instance is `Model(data)` itself, built over the caller's
dictionary; should that construction fail all the same (a factory, a default, a proxy), every dict and list of
the input is put back as it was before the error is raised, alone, in a `ValidationError`.
"""
import copy
import sys

from .fields.bases import (Field, ListField, ListValue, MultiField, ProxyField, _implementation, _is_model,
                           _list_item, _note_path)

if sys.version_info >= (3, 11):
    _ExceptionGroup = ExceptionGroup  # noqa: F821 (a built-in from 3.11)
else:
    from exceptiongroup import ExceptionGroup as _ExceptionGroup

__all__ = ["validate", "ValidationError"]

_defaults_slot = vars(Field)["_defaults"].__get__


class ValidationError(_ExceptionGroup):
    """The errors of one input, in the order of the walk; each carries its path as a note (`__notes__`)."""

    def derive(self, excs):
        return ValidationError(self.message, excs)


ValidationError.__module__ = "quenlory"


def _metadata(decl):
    """The merged metadata of a declaration, as the model reads it on a construction that needs a default."""
    metadata = decl.metadata
    return metadata if type(metadata) is dict else {}


def _raw_key(name, decl, metadata):
    """The key under which the data holds the field `name`, read as the decorator reads it: a str (exactly) under
    "key" in the declaration's metadata (an exact dict), else the name; a multi-field has none."""
    if isinstance(decl, MultiField):
        return name
    key = metadata.get("key")
    return key if type(key) is str else name


def _ignores_extra(fields):
    """Whether the model was declared with extra="ignore" (exactly that str), which leaves undeclared keys alone.

    The decorator hands the model's metadata, the exact dict it was called with, to every declaration as its
    defaults, kept in the declaration's own slot; it is read from there, running no code of the declaration."""
    for decl in fields.values():
        try:
            defaults = _defaults_slot(decl)
        except (AttributeError, TypeError):
            continue  # not a declaration of ours, or one whose model set no defaults on it
        if type(defaults) is dict:
            extra = defaults.get("extra")
            return type(extra) is str and extra == "ignore"
    return False


def _add_note(error, path):
    """Give `error` the path note construction gives ("at installed[3].metadata.version"): a note that the
    model's own cast already put on it (a list field's item index, say) becomes the end of that path."""
    if path:
        _note_path(error, path)


def _join(path, key):
    return "%s.%s" % (path, key) if path else str(key)


def _has_fallback(metadata):
    return "default" in metadata or "factory" in metadata or bool(metadata.get("optional", False))


def _descriptor(cls, name):
    for klass in type.mro(cls):
        if name in klass.__dict__:
            return klass.__dict__[name]
    raise AttributeError(name)


class _Walk:
    def __init__(self):
        self.errors = []
        self._scratch = {}
        self._plans = {}

    def fail(self, error, path):
        _add_note(error, path)
        self.errors.append(error)

    def trial(self, cls, name, value, path):
        """Write a copy of `value` to the field `name` of a scratch instance of `cls`: the model's own cast."""
        scratch = self._scratch.get(cls)
        if scratch is None:
            scratch = self._scratch[cls] = object.__new__(cls)
        object.__setattr__(scratch, "_data", {})
        object.__setattr__(scratch, "_compounds", {})
        try:
            value = copy.deepcopy(value)
        except Exception:
            pass  # an object that cannot be copied is given as it is
        try:
            _descriptor(cls, name).__set__(scratch, value)
        except Exception as error:
            self.fail(error, path)

    def plan(self, cls):
        """(fields as (name, declaration, key, metadata), the keys the data may hold, or None when the model
        ignores keys it does not declare), worked out once per model class in a walk."""
        plan = self._plans.get(cls)
        if plan is None:
            fields = _implementation(cls).model_fields(cls)
            rows, keys = [], []
            for name, decl in fields.items():
                metadata = _metadata(decl)
                key = _raw_key(name, decl, metadata)
                rows.append((name, decl, key, metadata))
                keys.append(key)
                if isinstance(decl, MultiField):
                    keys.extend(decl.components())
            plan = self._plans[cls] = (rows, None if _ignores_extra(fields) else frozenset(keys))
        return plan

    def model(self, cls, data, path):
        if not isinstance(data, dict):
            self.fail(ValueError("Unexpected parameter type for model construction"), path)
            return
        rows, claimed = self.plan(cls)
        if claimed is not None:
            for key in data.keys():
                if key not in claimed:
                    self.fail(ValueError("Unexpected key provided: %s" % ({key},)), _join(path, key))
        for name, decl, key, metadata in rows:
            where = _join(path, key)
            if isinstance(decl, ProxyField):
                value = data.get(key)
                if value is not None:
                    self.compound(cls, name, decl, value, where)
                    continue
            elif isinstance(decl, MultiField):
                if all(component in data for component in decl.components()):
                    continue
                value = data.get(key)
                if value is not None:
                    self.trial(cls, name, value, where)
                    continue
            elif key in data:
                self.trial(cls, name, data[key], where)
                continue
            if not _has_fallback(metadata):
                self.fail(ValueError("Missing key [%s] to construct %s" % (key, cls.__name__)), where)

    def compound(self, cls, name, decl, value, path):
        kind = type(decl)
        if issubclass(kind, ListField) and kind._to_pair is ListField._to_pair and _is_model(decl.nested_model):
            item_model = decl.nested_model
            if isinstance(value, ListValue) and value._model is item_model:
                return
            if isinstance(value, (list, tuple, ListValue)):
                for index, item in enumerate(value):
                    where = "%s[%d]" % (path, index)
                    if isinstance(item, dict):
                        self.model(item_model, item, where)
                    elif not isinstance(item, item_model):
                        try:
                            _list_item(item_model, name, index, item)  # raises for anything but a dict or instance
                        except Exception as error:
                            self.fail(error, where)
                return
        elif kind._to_pair is ProxyField._to_pair and _is_model(decl.nested_model):
            if isinstance(value, dict):
                self.model(decl.nested_model, value, path)
                return
            if isinstance(value, decl.nested_model):
                return
        self.trial(cls, name, value, path)


def _containers(data):
    """Every dict and list reachable from `data`, each with a shallow copy of its contents."""
    saved, seen, stack = [], set(), [data]
    while stack:
        obj = stack.pop()
        if id(obj) in seen:
            continue
        seen.add(id(obj))
        if isinstance(obj, dict):
            saved.append((obj, dict(obj)))
            stack.extend(obj.values())
        elif isinstance(obj, list):
            saved.append((obj, list(obj)))
            stack.extend(obj)
    return saved


def _put_back(saved):
    for obj, contents in saved:
        if isinstance(obj, dict):
            obj.clear()
            obj.update(contents)
        else:
            obj[:] = contents


def validate(model_class, data):
    """`model_class(data)` when `data` is valid; otherwise raise one `ValidationError` holding every error.

    Each error is the exception that construction or a cast raises (ValueError for a missing or unexpected key,
    TypeError or ValueError from a cast...), with the path of its key from `data` as a note. `data` is unchanged
    unless the result is returned: it then is the instance's raw data, cast, as construction leaves it.
    """
    if not _is_model(model_class):
        raise TypeError("validate needs a model class (a class decorated with @model), got %r" % (model_class,))
    walk = _Walk()
    walk.model(model_class, data, "")
    name = getattr(model_class, "__name__", "model")
    if walk.errors:
        count = len(walk.errors)
        raise ValidationError("%d error%s validating %s" % (count, "" if count == 1 else "s", name), walk.errors)
    saved = _containers(data)
    try:
        return model_class(data)
    except Exception as error:
        _put_back(saved)
        raise ValidationError("1 error validating %s" % (name,), [error]) from None
