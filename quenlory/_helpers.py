"""Helpers for every model class: `replace`, `asdict` and `fields_of`, after the dataclasses functions `replace`,
`asdict` and `fields` (`quenlory.fields` is the package of the declarations).

They work on the raw data: `asdict` and `replace` copy it (deeply, so that the result shares nothing with the
instance), and `fields_of` describes the declarations without touching any instance.
"""
import copy
from typing import Any, Dict, NamedTuple, Tuple, TypeVar, Union

from .fields.bases import Field, Model, MultiField, ProxyField, _implementation, _is_model

__all__ = ["replace", "asdict", "fields_of", "ModelField"]

_I = TypeVar("_I")
_own_metadata = Field.__dict__["_metadata"]  # the declaration's own entries, read without going through it


class ModelField(NamedTuple):
    """One field of a model class: its attribute name, its raw key, its declaration and its kind.

    `key` is the key of the raw data the field is stored under; a multi-field spreads over several, and its `key`
    is the tuple of its component keys. `kind` is "field", "compound" (a ProxyField or ListField) or "multi".
    """

    name: str
    key: Union[str, Tuple[object, ...]]
    declaration: "Field[Any]"
    kind: str


def raw_key(decl: Any, name: str) -> Any:
    """The raw key a plain field or compound `decl`, standing under `name` in its model, is stored under."""
    try:
        own = _own_metadata.__get__(decl)
    except (AttributeError, TypeError):
        return name
    return own.get("key", name) if own else name


def _check_instance(function: str, instance: object) -> None:
    if isinstance(instance, Model):
        return
    raise TypeError("%s() should be called on a model instance, got %s" % (function, type(instance).__name__))


def asdict(instance: object) -> Dict[str, Any]:
    """A deep copy of the instance's raw data: changing it changes nothing in the instance."""
    _check_instance("asdict", instance)
    return copy.deepcopy(instance._data)  # type: ignore[attr-defined]


def replace(instance: _I, **changes: Any) -> _I:
    """A new instance of the same class over a deep copy of the raw data, with `changes` given as keywords.

    The changes go through construction as keywords do, so they are cast, and they win over the copied data.
    """
    _check_instance("replace", instance)
    data = copy.deepcopy(instance._data)  # type: ignore[attr-defined]
    # A multi-field's component keys are taken as they are, from keywords or data alike, but from keywords only
    # all together: a change of some of them goes into the data, beside the others.
    for record in fields_of(instance):
        if record.kind == "multi" and record.name not in changes:
            for key in record.key:
                if key in changes:
                    data[key] = changes.pop(key)
    return type(instance)(data, **changes)  # type: ignore[call-arg]


def fields_of(model_class_or_instance: Any) -> Tuple[ModelField, ...]:
    """The fields of a model class (or of an instance's class), in declaration order, as `ModelField` records."""
    cls = model_class_or_instance
    if not isinstance(cls, type):
        cls = type(cls)
    model_class = next((base for base in cls.__mro__ if _is_model(base)), None)
    if model_class is None:
        raise TypeError("fields_of() should be called on a model class or instance, got %s"
                        % (model_class_or_instance,))
    declared = _implementation(model_class).model_fields(model_class)
    result: "list[ModelField]" = []
    for name, decl in declared.items():
        if isinstance(decl, MultiField):
            result.append(ModelField(name, tuple(decl.components()), decl, "multi"))
        else:
            result.append(ModelField(name, raw_key(decl, name), decl,
                                     "compound" if isinstance(decl, ProxyField) else "field"))
    return tuple(result)
