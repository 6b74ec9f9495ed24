"""`loads`: JSON text straight into a model instance."""
import json
import weakref
from typing import Any, Callable, FrozenSet, List, Optional, TypeVar, Union

from . import _json
from .fields.bases import ProxyField
from .model_decorator import model_fields

__all__ = ["loads"]

_T = TypeVar("_T")

_REFUSED = object()
_NO_SHAPE = object()
# model class -> its key shape for the decoder, or _NO_SHAPE; a stale entry costs speed only, never a value.
_shapes: "weakref.WeakKeyDictionary[type, object]" = weakref.WeakKeyDictionary()
# The declaration's own slot: a user subclass's attribute of that name runs no code here.
_nested_model = vars(ProxyField)["nested_model"].__get__


def loads(model: Callable[[Any], _T], text: Union[str, bytes, bytearray]) -> _T:
    """`model(json.loads(text))`, decoded by the native reader: the same instance, or the same error.

    `text` is a str, bytes or bytearray as json.loads takes them. The keys that the model's fields declare (and
    those of its nested models, ProxyField and ListField) come out as the schema's own key objects. Text that the
    native reader does not take whole, such as malformed JSON, NaN or Infinity, or bytes in UTF-16 or UTF-32, goes
    to json.loads itself, whose errors (json.JSONDecodeError and its position among them) reach the caller.
    """
    data = _json.decode(text, _shape(model), _REFUSED)
    if data is _REFUSED:
        data = json.loads(text)
    return model(data)


def _shape(model: Any, active: FrozenSet[Any] = frozenset()) -> Optional[object]:
    """The decoder's key shape for a model class, None for anything else."""
    if type(model) is not type:  # a model class is built by type itself: hashing it runs no user code
        return None
    shape = _shapes.get(model)
    if shape is None:
        try:
            fields = model_fields(model)
        except (KeyError, TypeError):
            fields = None
        if fields is None:
            shape = _NO_SHAPE
        else:
            active = active | {model}
            keys: List[str] = []
            children: List[Optional[object]] = []
            for key, field in list(fields.items()):
                child = None
                if issubclass(type(field), ProxyField):
                    try:
                        nested = _nested_model(field)
                    except AttributeError:
                        nested = None
                    if type(nested) is type and nested not in active:
                        child = _shape(nested, active)
                keys.append(key)
                children.append(child)
            shape = _json.shape(tuple(keys), tuple(children))
        _shapes[model] = shape
    return None if shape is _NO_SHAPE else shape
