"""Typical typed code over quenlory: checked by test_typing.py with mypy (and its plugin) and with pyright (strict
mode, without a plugin), which must report nothing here. It also runs as it stands (test_typing.py runs it)."""
# pyright: strict
# Field is generic for type checkers only: `Field[Any]` in an annotation needs postponed evaluation at run time.
from __future__ import annotations

import datetime
import enum
from typing import TYPE_CHECKING, Any, Dict, Iterable, List, Optional, Union, overload

import quenlory
from quenlory import Field, ListField, Model, MultiField, ProxyField, dumps, model, model_fields, model_fields_flat, raw
from quenlory import DateField, EnumField, ValidationError, validate
from quenlory import ModelField, asdict, fields_of, replace
from quenlory.fields.bases import ListValue, MultiValue


class Kind(enum.Enum):
    SYNOP = "synop"
    METAR = "metar"


@model
class Report(Model):
    day = DateField()
    kind = EnumField(Kind, optional=True)


@model
class Address(Model):
    city = Field(str)
    postcode = Field(str, optional=True)


@model
class Reading(Model):
    value = Field(float)
    unit = Field(str, default="C")


@quenlory.model(optional=True)
class Station(Model):
    name = Field(str)
    elevation = Field(int, default=0)
    readings = Field(list, factory=list)
    tags = Field(dict, factory=dict)
    note = Field()
    address = ProxyField(Address)
    previous = ProxyField(Address, optional=True)
    log = ListField(Reading, factory=list)
    history = ListField(Reading, optional=True)
    position = MultiField(("lat", "lon"))

    def label(self) -> str:
        return "%s (%d m)" % (self.name, self.elevation)


data: Dict[str, Any] = {"name": "Kew", "elevation": "41", "address": {"city": "London"}, "lat": 51.5, "lon": 0.3}
kew = Station(data)
both = Station(dict(data), name="Kew Gardens", position=(51.5, 0.3))
empty = Station()
home = Address(city="London")  # without a dictionary, required keys are keywords
from_dict = Address({"city": "Paris"})

name: str = kew.name
height: int = kew.elevation + 1
kew.elevation = "6"  # casts convert on assignment
six: int = kew.elevation  # and a read after a write still has the field's type
kew.readings.append(12.5)
anything: Any = kew.note
city: str = kew.address.city
postcode: Optional[str] = kew.address.postcode
previous: Optional[Address] = kew.previous
where: MultiValue = kew.position
lat: float = where[0]
values: List[Any] = where[0:2]
kew.log.append({"value": "1.5"})
kew.log.append(Reading(value=2))
kew.log[0] = {"value": 3}
log: ListValue[Reading] = kew.log
first: float = kew.log[0].value
units: List[str] = [reading.unit for reading in kew.log]
kew.history = [{"value": 1}, Reading(value=2)]
kew.history = None
history: Optional[ListValue[Reading]] = kew.history
text: str = dumps(kew)
data_again: Dict[str, Any] = raw(kew)
label: str = kew.label()
fields: Dict[str, Field[Any]] = model_fields(Station)
flat: List[str] = sorted(model_fields_flat(Station))
cast_of_name = fields["name"].cast
same: bool = kew == both
report = validate(Report, {"day": "2024-05-01"})
day: datetime.date = report.day
kind: Optional[Kind] = report.kind
report.day = "2024-05-02"
try:
    validate(Report, {"day": 5})
except ValidationError as error:
    errors: int = len(error.exceptions)
# Bare containers read as containers of Any, so their items take any type.
first_reading: float = kew.readings[0]
kew.tags["source"] = "survey"
source: str = kew.tags["source"]
# The helpers keep the instance's type; a slice of a list field is a ListValue of the same items.
moved: Station = replace(kew, elevation=7)
copied: Dict[str, Any] = asdict(kew)
described: ModelField = fields_of(Station)[0]
recent: ListValue[Reading] = kew.log[-2:]
kew.log.sort(key=lambda reading: reading.value, reverse=True)


# A model that inherits its base model's fields reads them with their types, and takes their keywords.
@model(inherit=True)
class Depot(Station):
    capacity = Field(int, default=0)


depot = Depot(dict(data), capacity="3")
depot_name: str = depot.name
depot_capacity: int = depot.capacity + depot.elevation


SPREAD: Dict[str, Any] = {"optional": True}


@model(**SPREAD)
class Spread(Model):
    code = Field(str)


Spread()  # a spread in the decorator may make every key optional


# The block that quenlory.typed_init writes gives checkers without a plugin the keywords, their types and which
# are required; a dictionary still takes any of them.
@model
class Sensor(Model):
    code = Field(str)
    height = Field(float, default=0.0)
    site = ProxyField(Address, optional=True)
    readings = ListField(Reading, factory=list)
    installed = DateField(optional=True)
    kind = EnumField(Kind, optional=True)
    spot = MultiField(("x", "y"))

    if TYPE_CHECKING:
        @overload
        def __init__(
            self, data: Dict[str, Any], /, *,
            code: str = ...,
            height: float = ...,
            site: Union[Address, Dict[str, Any]] = ...,
            readings: Iterable[Union[Reading, Dict[str, Any]]] = ...,
            installed: Optional[Union[datetime.date, str]] = ...,
            kind: Optional[Union[Kind, str]] = ...,
            spot: Any = ...,
            x: Any = ...,
            y: Any = ...,
        ) -> None: ...
        @overload
        def __init__(
            self, *,
            code: str,
            height: float = ...,
            site: Union[Address, Dict[str, Any]] = ...,
            readings: Iterable[Union[Reading, Dict[str, Any]]] = ...,
            installed: Optional[Union[datetime.date, str]] = ...,
            kind: Optional[Union[Kind, str]] = ...,
            spot: Any = ...,
            x: Any = ...,
            y: Any = ...,
        ) -> None: ...
        def __init__(self, *args: Any, **keywords: Any) -> None: ...

@model
class Tag(Model):
    label = Field(str, default="")

    if TYPE_CHECKING:
        def __init__(self, data: Dict[str, Any] = ..., /, *, label: str = ...) -> None: ...

sensor = Sensor(code="S1", site={"city": "Ely"}, readings=[{"value": 1}, Reading(value=2)], installed="2024-05-01",
                spot=(1, 2))
readout: Dict[str, Any] = {"code": "S2", "x": 0, "y": 0}
sensor_data = Sensor(readout)
extra: Dict[str, Any] = {"height": 2.5}
sensor_both = Sensor(dict(readout), **extra)
sensor_placed = Sensor(code="S3", height=1, kind="metar", x=1, y=2, site=Address(city="Ely"), installed=None)
sensor_site: Optional[Address] = sensor.site
tags = [Tag(), Tag({"label": "a"}), Tag(label="b")]
