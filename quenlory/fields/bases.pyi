# Types of the field declarations.
#
# Inside a model class a declaration is replaced by a descriptor over the instance's raw data; these stubs give
# each declaration that descriptor's types, so that reading an attribute is typed by the field's cast: `Field(int)`
# reads as `int`, `Field(int, optional=True)` as `int | None`, `ProxyField(Address)` as `Address`, a `MultiField`
# as a `MultiValue`. Writing accepts any value, since the cast converts it. Reading a field on the model class
# itself raises AttributeError. A model-wide `@model(optional=True)` is not seen here: its fields keep the types
# of their own declarations.
from typing import (
    Any, Callable, Dict, Generic, Iterable, Iterator, List, Literal, Mapping, NoReturn, Optional, Tuple, Type, TypeVar,
    overload,
)

_T = TypeVar("_T")
_M = TypeVar("_M")

class Field(Generic[_T]):
    cast: Callable[[Any], Any]
    name: Optional[str]
    # The declaration's own metadata over the model's metadata_defaults (read-only).
    metadata: Mapping[str, Any]
    metadata_defaults: Mapping[str, Any]
    # A class is matched as a class first, so that a bare generic class (`Field(list)`) reads as `list[Any]`.
    @overload
    def __init__(self: Field[Optional[_T]], cast: Type[_T], *, optional: Literal[True], **metadata: Any) -> None: ...
    @overload
    def __init__(
        self: Field[Optional[_T]], cast: Callable[[Any], _T], *, optional: Literal[True], **metadata: Any
    ) -> None: ...
    @overload
    def __init__(self: Field[_T], cast: Type[_T], **metadata: Any) -> None: ...
    @overload
    def __init__(self: Field[_T], cast: Callable[[Any], _T], **metadata: Any) -> None: ...
    @overload
    def __init__(self: Field[Any], cast: None = None, **metadata: Any) -> None: ...
    @overload
    def __get__(self, instance: None, owner: Any) -> NoReturn: ...
    @overload
    def __get__(self, instance: object, owner: Any) -> _T: ...
    def __set__(self, instance: object, value: Any) -> None: ...
    def __getitem__(self, key: str) -> Any: ...

class ProxyField(Field[_M]):
    nested_model: type
    @overload
    def __init__(
        self: ProxyField[Optional[_M]], nested_model: Type[_M], *, optional: Literal[True], **metadata: Any
    ) -> None: ...
    @overload
    def __init__(self: ProxyField[_M], nested_model: Type[_M], **metadata: Any) -> None: ...
    def flat_fields(self, prefix: str) -> Dict[str, Field[Any]]: ...

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

__all__ = ["Field", "ProxyField", "MultiField", "MultiValue"]
