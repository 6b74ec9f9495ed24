"""Wrong uses that test_typing.py expects mypy to report: each line whose comment starts with "error:" must get an
error containing the rest of the comment, and no other line may get one."""
from typing import Optional

from quenlory import Field, MultiField, ProxyField, dumps, model, raw


@model
class Address:
    city = Field(str)


@model
class Station:
    name = Field(str)
    elevation = Field(int, default=0)
    operator = Field(str, optional=True)
    address = ProxyField(Address)
    position = MultiField(("lat", "lon"))


kew = Station({"name": "Kew"}, address={"city": "London"}, lat=51.5, lon=0.3)
size: int = dumps(kew)  # error: Incompatible types in assignment (expression has type "str", variable has type "int")
Station(nmae="Kew")  # error: No overload variant of "Station" matches argument type "str"
Station(["Kew"])  # error: No overload variant of "Station" matches argument type "List[str]"
Station(None)  # error: No overload variant of "Station" matches argument type "None"
Station()  # error: All overload variants of "Station" require at least one argument
height: str = kew.elevation  # error: (expression has type "int", variable has type "str")
operator: str = kew.operator  # error: (expression has type "Optional[str]", variable has type "str")
city: int = kew.address.city  # error: (expression has type "str", variable has type "int")
kew.address.town  # error: "Address" has no attribute "town"
keys: Optional[str] = raw(kew)  # error: (expression has type "Dict[str, Any]", variable has type "Optional[str]")
