# Types of the field declarations.
#
# Inside a model class a declaration is replaced by a descriptor over the instance's raw data; these stubs give
# each declaration that descriptor's types, so that reading an attribute is typed by the field's cast: `Field(int)`
# reads as `int`, `Field(int, optional=True)` as `int | None`, `ProxyField(Address)` as `Address`,
# `ListField(Item)` as `ListValue[Item]`, a `MultiField` as a `MultiValue`. Writing accepts any value, since the cast
# converts it; the value's type is `object` rather than `Any`, so that a checker which narrows an attribute to what
# was assigned keeps the field's type for a later read. Reading a field on the model class
# itself raises AttributeError. A model-wide `@model(optional=True)` is not seen here: its fields keep the types
# of their own declarations.
from typing import (
    Any, Callable, Dict, Generic, Iterable, Iterator, List, Literal, Mapping, MutableSequence, NoReturn, Optional,
    Tuple, Type, TypeVar, Union, overload,
)

_T = TypeVar("_T")
_M = TypeVar("_M")
# The type an overload of a constructor solves; the class's own parameter (_T, _M) is what the declaration reads as.
_S = TypeVar("_S")

class Field(Generic[_T]):
    cast: Callable[[Any], Any]
    name: Optional[str]
    # The declaration's own metadata over the model's metadata_defaults (read-only). Its options: optional,
    # default, factory, strict (a checking cast of quenlory.types for int, str, float, bool, list and dict) and
    # key (the field's key in the raw data, where it is not the attribute name; keywords take the attribute name).
    metadata: Mapping[str, Any]
    metadata_defaults: Mapping[str, Any]
    # A class is matched as a class first, so that a bare generic class (`Field(list)`) reads as `list[Any]`.
    @overload
    def __init__(
        self: Field[Optional[_S]], cast: Type[_S], *, optional: Literal[True], strict: bool = ..., key: str = ...,
        **metadata: Any
    ) -> None: ...
    @overload
    def __init__(
        self: Field[Optional[_S]], cast: Callable[[Any], _S], *, optional: Literal[True],
        strict: bool = ..., key: str = ..., **metadata: Any
    ) -> None: ...
    @overload
    def __init__(self: Field[_S], cast: Type[_S], *, strict: bool = ..., key: str = ..., **metadata: Any) -> None: ...
    @overload
    def __init__(self: Field[_S], cast: Callable[[Any], _S], *, strict: bool = ..., key: str = ...,
                 **metadata: Any) -> None: ...
    @overload
    def __init__(self: Field[Any], cast: None = None, *, key: str = ..., **metadata: Any) -> None: ...
    @overload
    def __get__(self, instance: None, owner: Any) -> NoReturn: ...
    @overload
    def __get__(self, instance: object, owner: Any) -> _T: ...
    def __set__(self, instance: object, value: object) -> None: ...
    def __getitem__(self, key: str) -> Any: ...

class ProxyField(Field[_M]):
    nested_model: type
    @overload
    def __init__(
        self: ProxyField[Optional[_S]], nested_model: Type[_S], *, optional: Literal[True],
        strict: bool = ..., key: str = ..., **metadata: Any
    ) -> None: ...
    @overload
    def __init__(self: ProxyField[_S], nested_model: Type[_S], *, key: str = ..., **metadata: Any) -> None: ...
    def flat_fields(self, prefix: str) -> Dict[str, Field[Any]]: ...

class ListValue(MutableSequence[_M]):
    def __init__(self, item_model: Type[_M], name: str, data: List[Dict[str, Any]],
                 items: Optional[Iterable[Optional[_M]]] = None) -> None: ...
    def __len__(self) -> int: ...
    @overload
    def __getitem__(self, index: int) -> _M: ...
    @overload
    def __getitem__(self, index: slice) -> List[_M]: ...
    @overload
    def __setitem__(self, index: int, value: Union[_M, Dict[str, Any]]) -> None: ...
    @overload
    def __setitem__(self, index: slice, value: Iterable[Union[_M, Dict[str, Any]]]) -> None: ...
    def __delitem__(self, index: Union[int, slice]) -> None: ...
    def __iter__(self) -> Iterator[_M]: ...
    def insert(self, index: int, value: Union[_M, Dict[str, Any]]) -> None: ...
    def append(self, value: Union[_M, Dict[str, Any]]) -> None: ...
    def extend(self, values: Iterable[Union[_M, Dict[str, Any]]]) -> None: ...
    def __iadd__(self, values: Iterable[Union[_M, Dict[str, Any]]]) -> ListValue[_M]: ...  # type: ignore[override,misc]
    def __eq__(self, other: object) -> bool: ...
    __hash__: None  # type: ignore[assignment]

class ListField(ProxyField[_T]):
    @overload
    def __init__(
        self: ListField[Optional[ListValue[_S]]], item_model: Type[_S], *, optional: Literal[True],
        strict: bool = ..., key: str = ..., **metadata: Any
    ) -> None: ...
    @overload
    def __init__(self: ListField[ListValue[_S]], item_model: Type[_S], *, key: str = ..., **metadata: Any) -> None: ...

# A base for a class given to `model` (optional; nothing at run time): a checker without the mypy plugin takes the
# model constructor from it. Keywords are not checked against the fields here; the mypy plugin checks them.
class Model:
    def __init__(self, data: Dict[str, Any] = ..., /, **keywords: Any) -> None: ...

class MultiValue:
    def __init__(self, data: Dict[Any, Any], keys: Tuple[Any, ...]) -> None: ...
    @overload
    def __getitem__(self, index: int) -> Any: ...
    @overload
    def __getitem__(self, index: slice) -> List[Any]: ...
    @overload
    def __getitem__(self, index: Any) -> Any: ...
    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[Any]: ...
    def keys(self) -> Tuple[Any, ...]: ...
    def __eq__(self, other: object) -> bool: ...
    __hash__: None  # type: ignore[assignment]

class MultiField(Field[_T]):
    @overload
    def __init__(
        self: MultiField[Optional[MultiValue]],
        components: Iterable[Any],
        cast: Optional[Callable[[Any], Any]] = None,
        *,
        optional: Literal[True],
        **metadata: Any,
    ) -> None: ...
    @overload
    def __init__(
        self: MultiField[MultiValue],
        components: Iterable[Any],
        cast: Optional[Callable[[Any], Any]] = None,
        **metadata: Any,
    ) -> None: ...
    def components(self) -> Tuple[Any, ...]: ...
    def proxy(self, data: Dict[Any, Any], value: Any) -> Optional[MultiValue]: ...

__all__ = ["Field", "ProxyField", "ListField", "MultiField", "MultiValue", "ListValue", "Model"]
