# Types of the native core.
#
# How model classes are typed. `model` returns a new class built from the decorated one, whose constructor takes a
# dictionary and/or keywords: `Station(data)`, `Station(name="Kew")`, `Station(data, name="Kew")`. A stub cannot
# give the decorated class that constructor by itself:
#
# - mypy keeps the class a decorator is applied to, whatever the decorator's return type says;
# - pyright does apply the return type, but a class is then typed by the class a decorator returns, so a return type
#   other than the class itself (a callable taking the dictionary, say) makes the name unusable as an annotation;
# - `typing.dataclass_transform` makes a checker write an `__init__` with one parameter per field, but only for
#   fields declared with an annotation (pyright reports every `name = Field(str)` without one as an error), it has no
#   place for the positional dictionary, and it cannot know that an optional field or a multi-field's component keys
#   may be left out. So it is not used.
#
# Three pieces therefore work together:
#
# - these stubs type what annotations can express: `model` hands back the class it is given (the model class has
#   the same fields, methods and properties, so attribute types carry over), and each declaration in
#   quenlory/fields/bases.pyi is a descriptor typed by its cast, so `x = Field(int)` reads as `int`, an optional
#   field as `int | None`, `ProxyField(Address)` as `Address`, `ListField(Item)` as `ListValue[Item]` and a
#   `MultiField` as a `MultiValue`;
# - the mypy plugin beside this file (quenlory/mypy_plugin.py, enabled with `plugins = quenlory/mypy_plugin.py`
#   or the module name `quenlory.mypy_plugin`) gives every class decorated with `model` the constructor
#   `(self, data: dict[str, Any] = ..., /, *, <each raw key>: Any = ...)`, so a misspelt keyword is an error
#   while values stay free (each field's cast converts them at run time). Where some keys have no default, factory
#   or optional flag, a second signature without the dictionary makes them required keywords. When the raw keys
#   cannot be read from the class body, the keywords fall back to `**kwargs: Any`;
# - for checkers without a plugin (pyright, and so Pylance), the decorated class may derive from
#   `quenlory.Model`, whose stub constructor is `(data: dict[str, Any] = ..., /, **keywords: Any)`: every valid
#   construction type-checks, keywords are not checked against the fields. At run time the base changes nothing
#   but a `__signature__` named after the fields (`model` builds the model class from the class's own namespace),
#   and every model class counts as a subclass of it for isinstance and issubclass. The mypy plugin's constructor
#   replaces the base's;
# - for keywords checked without the plugin, the class body carries an `if TYPE_CHECKING:` block of `__init__`
#   declarations (quenlory/typed_init.py writes it from the fields): one with the dictionary and every keyword
#   optional, one without it where the required keywords are required, each keyword typed by its field. The block
#   never runs, and a class that states `__init__` keeps it in the mypy plugin too. dataclass_transform cannot give
#   this: a synthesised `__init__` is always checked, so it could not take `Model(data)` without the required
#   keywords.
#
# Without the plugin or the base, calls of a model class with arguments are reported as too many arguments for the
# class; the rest of these types still holds.
from typing import Any, Callable, Dict, TypeVar, overload

from quenlory.fields.bases import Field as Field, MultiField as MultiField, ProxyField as ProxyField

_C = TypeVar("_C", bound=type)

# Model class -> field map, and model class -> flat field map (held by weak keys).
_fields: Dict[type, Dict[str, Field[Any]]]
_flat_fields: Dict[type, Dict[str, Field[Any]]]

# Bare `@model` or `model(cls, **metadata)` gives the model class; `@model(**metadata)` gives the decorator that
# applies that metadata (`optional=True` makes every field optional unless the field says otherwise).
@overload
def model(cls: _C, **metadata: Any) -> _C: ...
@overload
def model(cls: None = None, **metadata: Any) -> Callable[[_C], _C]: ...

# The field declarations of a model class by attribute name, in class-body order (the live map, not a copy).
def model_fields(cls: type, /) -> Dict[str, Field[Any]]: ...

# The same with each nested model's fields spelled "outer.inner" instead of the compound itself; no multi-fields.
def model_fields_flat(cls: type, /) -> Dict[str, Field[Any]]: ...

# The raw data dictionary of a model instance: the very dictionary it was constructed from, if any.
def raw(obj: object, /) -> Dict[str, Any]: ...

# The JSON text of the raw data (the standard encoder with its defaults).
def dumps(obj: object, /) -> str: ...
