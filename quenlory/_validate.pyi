# Types of quenlory.validate and quenlory.ValidationError.
import sys
from typing import Any, Dict, Tuple, Type, TypeVar

_M = TypeVar("_M")

if sys.version_info >= (3, 11):
    class ValidationError(ExceptionGroup[Exception]): ...
else:
    class ValidationError(Exception):  # an ExceptionGroup of the exceptiongroup backport
        message: str
        exceptions: Tuple[Exception, ...]

def validate(model_class: Type[_M], data: Dict[str, Any]) -> _M: ...
