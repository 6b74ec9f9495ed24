"""Wrong uses that test_typing.py expects the type checkers to report: each line whose comment holds "# error:" must
get a mypy error containing the rest of that comment (up to a further " # "), each line whose comment holds
"# pyright error:" a pyright error containing its text, and no other line may get one."""
from typing import TYPE_CHECKING, Any, Dict, Optional, overload

from quenlory import Field, ListField, Model, MultiField, ProxyField, dumps, model, raw


@model
class Address(Model):
    city = Field(str)


@model
class Item(Model):
    sku = Field(str)
    qty = Field(int, default=1)


@model
class Station(Model):
    name = Field(str)
    elevation = Field(int, default=0)
    operator = Field(str, optional=True)
    address = ProxyField(Address)
    items = ListField(Item, factory=list)
    position = MultiField(("lat", "lon"))


kew = Station({"name": "Kew"}, address={"city": "London"}, lat=51.5, lon=0.3)
size: int = dumps(kew)  # error: Incompatible types in assignment (expression has type "str", variable has type "int") # pyright error: "str" is not assignable to declared type "int"
Station(nmae="Kew")  # error: No overload variant of "Station" matches argument type "str"
Station(["Kew"])  # error: No overload variant of "Station" matches argument type "list[str]" # pyright error: "list[str]" is not assignable to "Dict[str, Any]"
Station(None)  # error: No overload variant of "Station" matches argument type "None" # pyright error: "None" is not assignable to "Dict[str, Any]"
Station()  # error: All overload variants of "Station" require at least one argument
height: str = kew.elevation  # error: (expression has type "int", variable has type "str") # pyright error: "int" is not assignable to declared type "str"
operator: str = kew.operator  # error: (expression has type "str | None", variable has type "str") # pyright error: "str | None" is not assignable to declared type "str"
city: int = kew.address.city  # error: (expression has type "str", variable has type "int") # pyright error: "str" is not assignable to declared type "int"
kew.address.town  # error: "Address" has no attribute "town" # pyright error: Cannot access attribute "town" for class "Address"
keys: Optional[str] = raw(kew)  # error: (expression has type "dict[str, Any]", variable has type "str | None") # pyright error: "Dict[str, Any]" is not assignable to declared type "str | None"
kew.elevation = "7"
after: str = kew.elevation  # error: (expression has type "int", variable has type "str") # pyright error: "int" is not assignable to declared type "str"
count: str = kew.items[0].qty  # error: (expression has type "int", variable has type "str") # pyright error: "int" is not assignable to declared type "str"
kew.items.append(3)  # error: Argument 1 to "append" of "ListValue" has incompatible type "int" # pyright error: "Literal[3]" cannot be assigned to parameter "value" of type "Item | Dict[str, Any]"
kew.items[0].sku_code  # error: "Item" has no attribute "sku_code" # pyright error: Cannot access attribute "sku_code" for class "Item"


@model(inherit=True)
class Depot(Station):
    capacity = Field(int)


Depot(name="Kew", address={"city": "Ely"}, capacity=3)
Depot(name="Kew", address={"city": "Ely"}, capacity=3, lat=1, lon=2)
Depot({"name": "Kew"})
Depot(name="Kew", capacity=3, nmae="x")  # error: No overload variant of "Depot" matches argument types "str", "int", "str"
Depot(capacity=3)  # error: No overload variant of "Depot" matches argument type "int"


@model
class Strict(Model):
    code = Field(str, optional=False)


Strict()  # error: All overload variants of "Strict" require at least one argument


@model
class Rebound(Model):
    code = Field(str)  # pyright error: Type "Field[str]" is not assignable to declared type

    def code(self) -> str:  # error: Name "code" already defined
        return "a method: the name is not a required key"


Rebound()


# With the block of quenlory.typed_init, pyright checks the keywords too.
@model
class Gauge(Model):
    code = Field(str)
    depth = Field(int, default=0)

    if TYPE_CHECKING:
        @overload
        def __init__(self, data: Dict[str, Any], /, *, code: str = ..., depth: int = ...) -> None: ...
        @overload
        def __init__(self, *, code: str, depth: int = ...) -> None: ...
        def __init__(self, *args: Any, **keywords: Any) -> None: ...


Gauge({"code": "G1"}, depth=2)
Gauge(code="G1", dpeth=2)  # error: No overload variant of "Gauge" matches argument types "str", "int" # pyright error: No overloads for "__init__" match the provided arguments
Gauge(depth=2)  # error: No overload variant of "Gauge" matches argument type "int" # pyright error: No overloads for "__init__" match the provided arguments
Gauge(code="G1", depth="2")  # error: No overload variant of "Gauge" matches argument types "str", "str" # pyright error: "Literal['2']" cannot be assigned to parameter "depth" of type "int"
