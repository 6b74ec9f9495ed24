"""Field declarations: what a model's class body is made of.

`Field` is a plain value stored under its attribute name, `ProxyField` a nested
model kept beside its raw dictionary, `ListField` a list of nested models kept
beside the list of their raw dictionaries, and `MultiField` one attribute spread
over several raw keys.  The model decorator sets `name` and `metadata_defaults` on
each declaration and may replace `cast`; everything else here is read-only.
"""
import copy
import operator
import sys
import typing
from collections.abc import Mapping, MutableSequence
from types import GenericAlias

__all__ = ["Field", "ProxyField", "ListField", "MultiField", "MultiValue", "ListValue", "Model"]


_CONTAINERS = (dict, list, set, bytearray)
# Model metadata entries that are options of the model class (quenlory/_options.py), not field metadata.
_MODEL_OPTIONS = frozenset(("repr", "eq", "frozen", "hash", "match_args", "inherit"))

# Every option a declaration knows. An entry that is not one of them is the declaration's own metadata, free for
# any use, unless it is so close to one of them that it is taken for a misspelling, which is refused when the model
# is declared. Options added by a model (through its metadata, which reaches declarations as their defaults) or by
# other declarations belong here too, so that their misspellings are caught.
OPTIONS = ("optional", "default", "factory", "strict", "key")

# Filled in by the native core when it loads: the type of the checking casts of quenlory.types, and the checking
# twin of each built-in cast (int, str, float, bool, list, dict) that strict fields use instead.
_CheckCast = None
_strict_twins = {}


class PathNote(str):
    """The note an exception raised while an instance is built from data carries: "at " and the path to the
    field, from the outermost model (`installed[3].metadata.version`); `path` gives the path alone."""

    __slots__ = ()

    @property
    def path(self):
        return self[3:]


def _note_path(exc, segment):
    """Put `segment` (a key, or an int index) in front of the path note of `exc`, or give it one.

    Each model level adds its own segment as the exception passes outwards, so the note ends as one full path.
    Whatever fails here is left out, and the exception is raised on unchanged."""
    try:
        _put_path(exc, segment)
    except Exception:  # a note that cannot be made is left out: never in the way of the exception itself
        pass


def _put_path(exc, segment):
    if segment is None or not isinstance(exc, Exception) or isinstance(exc, MemoryError):
        return
    if type(segment) is int:
        step = "[%d]" % segment
    else:
        step = segment if isinstance(segment, str) else "[%r]" % (segment,)
    notes = vars(exc).get("__notes__")
    if type(notes) is list and notes and type(notes[-1]) is PathNote:
        path = notes[-1].path
        notes[-1] = PathNote("at " + step + ("" if path.startswith("[") else ".") + path)
    elif hasattr(exc, "add_note"):
        exc.add_note(PathNote("at " + step))
    elif notes is None:
        exc.__notes__ = [PathNote("at " + step)]
    elif type(notes) is list:
        notes.append(PathNote("at " + step))


_CHECKED = ("Field", "ProxyField", "ListField", "MultiField")


def _twin_of(cast):
    """The checking twin of a built-in cast, or None."""
    if not _strict_twins:
        from quenlory import model_decorator  # noqa: F401  (loading it fills the table in)
    for given, twin in _strict_twins.items():
        if cast is given:
            return twin
    return None


def _mistakes(owner, cast, metadata):
    """What is wrong with a declaration's cast and options, or None; told when the model names the field.

    Only the declarations as this module makes them are checked: a subclass of them makes its own rules."""
    if owner not in _CHECKED:
        return None
    if cast is not None and not callable(cast):
        return "the cast %r is not callable" % (cast,)
    if "factory" in metadata and not callable(metadata["factory"]):
        return "the factory %r is not callable" % (metadata["factory"],)
    if "key" in metadata:
        if owner == "MultiField":
            return "a MultiField keeps its values under its components, and takes no key"
        if type(metadata["key"]) is not str:
            return "the key must be a str, got %r" % (metadata["key"],)
    if (metadata.get("strict") is True and owner == "Field" and _twin_of(cast) is None
            and not isinstance(cast, _CheckCast)):
        return ("strict=True needs the cast int, str, float, bool, list or dict (or a cast of quenlory.types), "
                "got %s" % (_describe(cast) if cast is not None else "none"))
    unknown = [key for key in metadata if key not in OPTIONS]
    if unknown:
        import difflib
        for key in unknown:
            close = difflib.get_close_matches(str(key), OPTIONS, n=1, cutoff=0.8)
            if close:
                return "unknown option %r; did you mean %r?" % (key, close[0])
    return None


def _identity(value):
    return value


def _describe(value):
    return getattr(value, "__qualname__", None) or repr(value)


# Modules whose generic aliases are annotations of containers (`list[int]`, `typing.List[int]`,
# `collections.abc.Sequence[str]`): calling one builds the bare container, or fails, and never casts the items.
_ANNOTATION_MODULES = ("builtins", "typing", "collections", "collections.abc")
_UnionType = getattr(__import__("types"), "UnionType", None)  # `int | None`, from 3.10


def _check_cast(owner, cast):
    """Refuse a type annotation given where a cast (a callable converting one value) is expected."""
    if cast is None or cast is typing.Any:
        if cast is typing.Any:
            raise TypeError("%s: the cast typing.Any is a type annotation, not a callable that converts a value; "
                            "leave the cast out to store values as given" % owner)
        return
    origin = typing.get_origin(cast)
    special = isinstance(cast, getattr(typing, "_SpecialForm", ()))  # Union, Optional, ClassVar... unsubscripted
    if origin is None and not special:
        return
    args = [arg for arg in typing.get_args(cast) if arg is not type(None)]
    if origin is typing.Union or (_UnionType is not None and origin is _UnionType):
        if len(args) < len(typing.get_args(cast)) and len(args) == 1:
            hint = "write %s(%s, optional=True) for an optional value" % (owner, _describe(args[0]))
        else:
            hint = "give a function that converts the value to one of them"
    elif isinstance(origin, type) and origin.__module__ in _ANNOTATION_MODULES:
        hint = "write %s(%s); item types are not checked or cast" % (owner, origin.__name__)
    elif origin is not None and not special and isinstance(origin, type):
        return  # a user's generic class, subscripted: calling it builds an instance as the class does
    else:
        hint = "give a callable that converts the value, or no cast to store values as given"
    raise TypeError("%s: the cast %r is a type annotation, not a callable that converts a value; %s"
                    % (owner, cast, hint))


def _is_model(cls):
    """Whether `cls` is a class that `model` returned (the native module's or the pure-Python twin's)."""
    return isinstance(cls, type) and cls in getattr(_implementation(cls), "_fields", ())


def _check_model(owner, argument, cls):
    if not _is_model(cls):
        raise TypeError("%s needs a model class (a class decorated with @model) as %s, got %s"
                        % (owner, argument, cls if isinstance(cls, type) else repr(cls)))


class Field:
    """A plain field: `cast` converts an assigned value into what is stored.

    Metadata entries ("default", "factory", "optional", or anything else) are
    the declaration's own; `metadata_defaults` (set by the model) fills in the
    entries the declaration does not give.  `strict=True` puts the checking
    twin of a built-in int, str, float, bool, list or dict cast in its place
    (see quenlory.types; a model's strict=True does it for every field that
    does not say strict=False), and `key="3166-2"` keeps the value in the raw
    data under that key instead of the attribute name.  A cast or factory that
    is not callable, and an option misspelt, are refused when a model names
    the field.  A default given with a factory wins over it, as it always has.
    """

    __slots__ = ("cast", "name", "metadata", "_defaults", "_metadata", "_given_cast", "_mistake")

    # Field[int] in annotations, matching the generic declaration of the type stubs.
    __class_getitem__ = classmethod(GenericAlias)

    def __init__(self, cast=None, **metadata):
        _check_cast(type(self).__name__, cast)
        self._mistake = _mistakes(type(self).__name__ if type(self).__module__ == __name__ else None, cast, metadata)
        self.cast = _identity if cast is None else cast
        if metadata.get("strict") is True and self._mistake is None:
            self.cast = _twin_of(cast) or cast
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
        if self._mistake is not None and self.name is not None:
            raise TypeError("field %r: %s" % (self.name, self._mistake))
        self._defaults = defaults
        merged = dict(defaults) if defaults else {}
        if "key" in merged:
            del merged["key"]  # a field's key in the data is its own: a model's "key" entry does not reach it
        if merged and not _MODEL_OPTIONS.isdisjoint(merged):
            # The model's options say nothing to a field, and each entry in this view costs every construction
            # that looks a default up in it; they stay readable through metadata_defaults.
            merged = {key: value for key, value in merged.items() if key not in _MODEL_OPTIONS}
        merged.update(self._metadata)
        _metadata_slot.__set__(self, merged)
        if defaults and "strict" in defaults and "strict" not in self._metadata:
            strict = defaults["strict"] is True
            # A strict model: the built-in cast as given gives way to its checking twin, and back for a model
            # that is not strict (a declaration may serve several models).
            given = self._given_cast
            twin = _twin_of(given) if given is not None else None
            if twin is not None:
                current = self.cast
                if strict and current is given:
                    _cast_slot.__set__(self, twin)
                elif not strict and current is twin:
                    _cast_slot.__set__(self, given)

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
_cast_slot = Field.__dict__["cast"]


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
        _check_model(type(self).__name__, "nested_model", nested_model)
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


_ABSENT = object()


class ListField(ProxyField):
    """A list of nested models: the raw data holds the list of their raw dicts.

    The attribute reads as a `ListValue`, a live sequence of `item_model`
    instances over that list.  Construction and assignment take a list (or a
    tuple, or another `ListValue`) of dicts and `item_model` instances: each
    dict becomes an item's raw data, as with `ProxyField`, and a list that holds
    only dicts is itself kept as the raw list.  An optional one also takes
    None, which it stores as is.
    """

    __slots__ = ("_hidden_optional",)

    def __init__(self, item_model, **metadata):
        _check_model(type(self).__name__, "item_model", item_model)
        Field.__init__(self, **metadata)
        self.cast = self._to_pair
        self.nested_model = item_model
        self._hidden_optional = _ABSENT

    # The decorator wraps the cast of a field it finds optional so that None is never cast, and an assignment of
    # None then fails to unpack the wrapper's None into a compound pair. So while the decorator makes its optional
    # test, which comes right after it sets metadata_defaults, the merged metadata does not show "optional"; it is
    # put back when the decorator asks for the flat fields, its next call on a compound, before any construction
    # reads it. An optional list is thus absent (None) when the input lacks it, as an optional nested model is, and
    # `_to_pair` turns None into the pair (None, None) itself.
    @property
    def metadata_defaults(self):
        return self._defaults

    @metadata_defaults.setter
    def metadata_defaults(self, defaults):
        Field.metadata_defaults.fset(self, defaults)
        self._hidden_optional = self.metadata.pop("optional", _ABSENT)

    def _restore_optional(self):
        hidden = self._hidden_optional
        if hidden is not _ABSENT:
            self._hidden_optional = _ABSENT
            self.metadata["optional"] = hidden

    def _optional(self):
        self._restore_optional()
        return bool(self.metadata.get("optional", False))

    def _to_pair(self, value):
        if value is None and self._optional():
            return None, None
        name = self.name or "ListField"
        if isinstance(value, ListValue) and value._model is self.nested_model:
            return value, value._data  # shared, as an assigned nested instance is (and `o.items += ...` keeps it)
        if isinstance(value, ListValue):
            items = list(value)
        elif isinstance(value, (list, tuple)):
            items = value
        else:
            raise TypeError("%s expects a list of dicts or of %s instances, got %s"
                            % (name, self.nested_model.__name__, type(value).__name__))
        try:
            instances = [_list_item(self.nested_model, name, index, item) for index, item in enumerate(items)]
        except Exception as error:
            _note_path(error, _failed_index(error))  # the item's index leads its path note
            raise
        if type(value) is list and all(isinstance(item, dict) for item in value):
            data = value  # only dicts: the list itself stays the raw data, like a nested model's dict
        else:
            data = [instance._data for instance in instances]
        return ListValue(self.nested_model, name, data, instances), data

    def flat_fields(self, prefix):
        self._restore_optional()
        fields = _implementation(self.nested_model).model_fields_flat(self.nested_model)
        return {"%s[].%s" % (prefix, key): decl for key, decl in fields.items()}


def _list_item(item_model, name, index, value):
    """The instance that the item `value` at `index` of the list field `name` stands for."""
    if isinstance(value, item_model):
        return value
    if isinstance(value, dict):
        return item_model(value)
    raise TypeError("%s[%d] must be a dict or an instance of %s, got %s"
                    % (name, index, item_model.__name__, type(value).__name__))


def _failed_index(error):
    """The index of the list item whose making raised `error`: that of the first `_list_item` call its traceback
    passes through (the list's construction pays nothing for it while it succeeds)."""
    tb = error.__traceback__
    while tb is not None:
        if tb.tb_frame.f_code is _list_item.__code__:
            index = tb.tb_frame.f_locals.get("index")
            return index if type(index) is int else None
        tb = tb.tb_next
    return None


def _restore_list(item_model, name, data, items):
    # Pickle and deepcopy give the item model through its pickling key, which stands for the class.
    if not isinstance(item_model, type):
        item_model = item_model._ref()
    return ListValue(item_model, name, data, items)


class ListValue(MutableSequence):
    """Live sequence of model instances over a list of raw dicts (what a ListField reads as).

    Indexing and iteration give instances whose raw data are the list's dicts;
    `append`, `insert`, `extend`, item assignment and deletion take instances
    or dicts and change the raw list with the instances.  A dict put into the
    raw list directly becomes an instance when it is first read.  It compares
    equal to another ListValue or a list of instances or dicts with the same
    raw data (a dict that differs is compared as the model would store it).
    """

    __slots__ = ("_model", "_name", "_data", "_items")

    def __init__(self, item_model, name, data, items=None):
        self._model = item_model
        self._name = name
        self._data = data
        self._items = list(items) if items is not None else [None] * len(data)

    def _synced(self):
        # The instances, one per raw entry, once more in step with the raw list (changed through raw() perhaps):
        # instances still over an entry are kept, the others are made when read.
        items, data = self._items, self._data
        if len(items) != len(data) or any(item is not None and item._data is not entry
                                           for item, entry in zip(items, data)):
            known = {id(item._data): item for item in items if item is not None}
            items = self._items = [known.get(id(entry)) for entry in data]
        return items

    def _item(self, index):
        data = self._data
        entry = data[index]
        items = self._items
        item = items[index] if len(items) == len(data) else self._synced()[index]
        if item is None or item._data is not entry:
            item = _list_item(self._model, self._name, index % len(data), entry)
            if item._data is not entry:
                data[index] = item._data
            self._synced()[index] = item
        return item

    def _convert(self, values, start):
        return [_list_item(self._model, self._name, start + offset, value) for offset, value in enumerate(values)]

    def __len__(self):
        return len(self._data)

    def __getitem__(self, index):
        if isinstance(index, slice):
            # A detached ListValue of the same item model: a new raw list holding the same raw dicts, so the
            # items are shared and the list is not (as a slice of a list is).
            positions = range(*index.indices(len(self._data)))
            items = [self._item(i) for i in positions]
            return ListValue(self._model, self._name, [item._data for item in items], items)
        return self._item(index)

    def sort(self, key=None, reverse=False):
        """Sort the items in place, by `key(item)` (an item model instance) or by the items themselves."""
        items = [self._item(i) for i in range(len(self._data))]
        items.sort(key=key, reverse=reverse)
        self._data[:] = [item._data for item in items]
        self._items = items

    def __iter__(self):
        for index in range(len(self._data)):
            yield self._item(index)

    def __setitem__(self, index, value):
        items = self._synced()
        if isinstance(index, slice):
            instances = self._convert(list(value), index.indices(len(self._data))[0])
            self._data[index] = [instance._data for instance in instances]
            items[index] = instances
            return
        size = len(self._data)
        position = operator.index(index)
        if position < 0:
            position += size
        if not 0 <= position < size:
            raise IndexError("%s assignment index out of range" % self._name)
        instance = self._convert([value], position)[0]
        self._data[position] = instance._data
        items[position] = instance

    def __delitem__(self, index):
        items = self._synced()
        del self._data[index]
        del items[index]

    def insert(self, index, value):
        items = self._synced()
        size = len(self._data)
        position = max(0, min(size, index + size if index < 0 else index))
        instance = self._convert([value], position)[0]
        self._data.insert(position, instance._data)
        items.insert(position, instance)

    def extend(self, values):
        instances = self._convert(list(values), len(self._data))
        items = self._synced()
        self._data.extend(instance._data for instance in instances)
        items.extend(instances)

    def __iadd__(self, values):
        self.extend(values)
        return self

    def clear(self):
        del self[:]

    # Membership and searches compare raw data, as equality does, rather than calling the model's own `==`,
    # which prints its trace.
    def __contains__(self, value):
        return any(self._same(entry, value) for entry in self._data)

    def index(self, value, start=0, stop=None):
        size = len(self._data)
        for position in range(*slice(start, stop).indices(size)):
            if self._same(self._data[position], value):
                return position
        raise ValueError("%r is not in %s" % (value, self._name))

    def count(self, value):
        return sum(1 for entry in self._data if self._same(entry, value))

    def _same(self, entry, other):
        if isinstance(other, self._model):
            return entry == other._data
        if not isinstance(other, dict):
            return False
        if entry == other:
            return True
        try:
            return entry == self._model(copy.deepcopy(other))._data
        except (TypeError, ValueError):
            return False

    def __eq__(self, other):
        if isinstance(other, ListValue):
            return self._data == other._data
        if not isinstance(other, (list, tuple)):
            return NotImplemented
        return len(other) == len(self._data) and all(map(self._same, self._data, other))

    __hash__ = None

    def __reduce__(self):
        from quenlory._pickling import _key_of

        key = _key_of(self._model)
        return _restore_list, (self._model if key is None else key, self._name, self._data, self._items)

    def __repr__(self):
        return "ListValue(%s, %r)" % (self._model.__name__, self._data)


class _ModelMeta(type):
    # isinstance(x, Model) and issubclass(C, Model) hold for every model class, whatever its decorated class was.
    def __instancecheck__(cls, instance):
        return cls.__subclasscheck__(type(instance))

    def __subclasscheck__(cls, subclass):
        if type.__subclasscheck__(cls, subclass):
            return True
        from quenlory._pickling import _key_of

        return isinstance(subclass, type) and _key_of(subclass) is not None


class _FieldSignature:
    """The `__signature__` of a model class declared on `Model`: construction's parameters, named after the fields
    (`(data={}, /, *, name: str, parent: str = None)`), for help(), call tips and `inspect.signature`.

    It is worked out from the model's fields whenever it is read, so it follows them; read on a class that is not
    (yet) a model class, it is absent, and `inspect` falls back to the class's own. It is callable (calling it
    with a model class gives that class's signature) because `model` carries the callables among a class's dunder
    names over to the model class, and leaves other dunder values behind."""

    __slots__ = ()

    def __get__(self, instance, owner=None):
        cls = owner if instance is None else type(instance)
        if not _is_model(cls):
            raise AttributeError("__signature__")
        return self(cls)

    def __call__(self, model_class):
        from quenlory._options import _signature

        return _signature(_implementation(model_class).model_fields(model_class))

    def __repr__(self):
        return "<the signature of the model's fields>"


_FIELD_SIGNATURE = _FieldSignature()


class Model(metaclass=_ModelMeta):
    """An optional base for a class given to `model`, for type checkers that take no plugin.

    `model` builds the model class from the decorated class's own namespace, so
    at run time this base adds only a `__signature__` that names the fields
    (unless the class defines `__init__` or `__signature__` itself), and every
    model class counts as a subclass of it.  Its type stubs give it the model
    constructor, `(data: dict[str, Any] = ..., /, **keywords: Any)`, which a
    checker without the mypy plugin then accepts for the subclass; see
    quenlory.typed_init for a constructor that checks the keywords too.
    """

    __slots__ = ()

    def __init_subclass__(cls, **keywords):
        super().__init_subclass__(**keywords)
        own = cls.__dict__
        if "__init__" not in own and "__signature__" not in own:
            cls.__signature__ = _FIELD_SIGNATURE


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
