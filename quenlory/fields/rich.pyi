# Types of the rich fields: each reads as its standard-library object (or that | None when optional).
import datetime
import decimal
import enum
import uuid
from typing import Any, Literal, Optional, Tuple, Type, TypeVar, overload

from .bases import ProxyField

_T = TypeVar("_T")
_E = TypeVar("_E", bound=enum.Enum)

class RichField(ProxyField[_T]):
    expected: type
    def accepts(self, value: object) -> bool: ...
    def parse(self, text: str) -> Any: ...
    def dump(self, obj: Any) -> Any: ...

class DateField(RichField[_T]):
    @overload
    def __init__(self: DateField[Optional[datetime.date]], *, optional: Literal[True], **metadata: Any) -> None: ...
    @overload
    def __init__(self: DateField[datetime.date], **metadata: Any) -> None: ...

class DateTimeField(RichField[_T]):
    @overload
    def __init__(
        self: DateTimeField[Optional[datetime.datetime]], *, optional: Literal[True], **metadata: Any
    ) -> None: ...
    @overload
    def __init__(self: DateTimeField[datetime.datetime], **metadata: Any) -> None: ...

class TimeField(RichField[_T]):
    @overload
    def __init__(self: TimeField[Optional[datetime.time]], *, optional: Literal[True], **metadata: Any) -> None: ...
    @overload
    def __init__(self: TimeField[datetime.time], **metadata: Any) -> None: ...

class UUIDField(RichField[_T]):
    @overload
    def __init__(self: UUIDField[Optional[uuid.UUID]], *, optional: Literal[True], **metadata: Any) -> None: ...
    @overload
    def __init__(self: UUIDField[uuid.UUID], **metadata: Any) -> None: ...

class DecimalField(RichField[_T]):
    @overload
    def __init__(
        self: DecimalField[Optional[decimal.Decimal]], *, optional: Literal[True], **metadata: Any
    ) -> None: ...
    @overload
    def __init__(self: DecimalField[decimal.Decimal], **metadata: Any) -> None: ...

class EnumField(RichField[_T]):
    enum_class: Type[enum.Enum]
    @overload
    def __init__(
        self: EnumField[Optional[_E]], enum_class: Type[_E], *, optional: Literal[True], **metadata: Any
    ) -> None: ...
    @overload
    def __init__(self: EnumField[_E], enum_class: Type[_E], **metadata: Any) -> None: ...
