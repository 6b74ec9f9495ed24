"""The benchmark's two models, written once per implementation.

Model A: ten plain fields (five integers given as text, four strings, one
optional string left out of the input).  Model B: two plain fields, a compound
holding a three-field model N, and one attribute over the two keys lat and lon.

Every implementation makes the same casts and answers the same reads; the
hand-written `__slots__` classes and the bare dict operations are the floors.
"""
import dataclasses
import json
from typing import Optional

from quenlory.fields.bases import Field, MultiField, ProxyField

INT_KEYS = ("a1", "a2", "a3", "a4", "a5")
STR_KEYS = ("s1", "s2", "s3", "s4")
A_INPUT = {"a1": "1", "a2": "22", "a3": "333", "a4": "4444", "a5": "-5",
           "s1": "alpha", "s2": "beta", "s3": "gamma", "s4": "delta"}
N_INPUT = {"x": "3", "y": "4", "name": "inner"}
B_INPUT = {"id": "7", "label": "bee", "inner": N_INPUT, "lat": 51.5, "lon": -0.12}


def copy_a(data):
    return data.copy()


def copy_b(data):
    # The nested dictionary is cast in place too, so it is copied as well.
    copy = data.copy()
    copy["inner"] = data["inner"].copy()
    return copy


# --- quenlory and the baseline: the same class bodies under either module ---

def model_kit(md):
    """Return (define_a, A, B, N) built with the `model` of module `md`."""
    model = md.model

    def define_a():
        @model
        class A:
            a1 = Field(int)
            a2 = Field(int)
            a3 = Field(int)
            a4 = Field(int)
            a5 = Field(int)
            s1 = Field(str)
            s2 = Field(str)
            s3 = Field(str)
            s4 = Field(str)
            opt = Field(str, optional=True)
        return A

    @model
    class N:
        x = Field(int)
        y = Field(int)
        name = Field(str)

    @model
    class B:
        id = Field(int)
        label = Field(str)
        inner = ProxyField(N)
        pos = MultiField(("lat", "lon"))

    return define_a, define_a(), B, N


# --- hand-written __slots__ classes ---

def define_slots_a():
    class SlotsA:
        __slots__ = ("a1", "a2", "a3", "a4", "a5", "s1", "s2", "s3", "s4", "opt")

        def __init__(self, data=None, **kw):
            if data is None:
                data = kw
            elif kw:
                data = {**data, **kw}
            self.a1 = int(data["a1"])
            self.a2 = int(data["a2"])
            self.a3 = int(data["a3"])
            self.a4 = int(data["a4"])
            self.a5 = int(data["a5"])
            self.s1 = str(data["s1"])
            self.s2 = str(data["s2"])
            self.s3 = str(data["s3"])
            self.s4 = str(data["s4"])
            opt = data.get("opt")
            self.opt = None if opt is None else str(opt)

        def __eq__(self, other):
            return (self.a1 == other.a1 and self.a2 == other.a2 and self.a3 == other.a3
                    and self.a4 == other.a4 and self.a5 == other.a5 and self.s1 == other.s1
                    and self.s2 == other.s2 and self.s3 == other.s3 and self.s4 == other.s4
                    and self.opt == other.opt)

        def raw(self):
            data = {"a1": self.a1, "a2": self.a2, "a3": self.a3, "a4": self.a4, "a5": self.a5,
                    "s1": self.s1, "s2": self.s2, "s3": self.s3, "s4": self.s4}
            if self.opt is not None:
                data["opt"] = self.opt
            return data

        def dumps(self):
            return json.dumps(self.raw())
    return SlotsA


SlotsA = define_slots_a()


class NamedA:
    """Model A by hand as a program would write it to be called with keywords: named parameters."""

    __slots__ = ("a1", "a2", "a3", "a4", "a5", "s1", "s2", "s3", "s4", "opt")

    def __init__(self, a1, a2, a3, a4, a5, s1, s2, s3, s4, opt=None):
        self.a1 = int(a1)
        self.a2 = int(a2)
        self.a3 = int(a3)
        self.a4 = int(a4)
        self.a5 = int(a5)
        self.s1 = str(s1)
        self.s2 = str(s2)
        self.s3 = str(s3)
        self.s4 = str(s4)
        self.opt = None if opt is None else str(opt)


class SlotsN:
    __slots__ = ("x", "y", "name")

    def __init__(self, data=None, **kw):
        if data is None:
            data = kw
        self.x = int(data["x"])
        self.y = int(data["y"])
        self.name = str(data["name"])


class SlotsB:
    __slots__ = ("id", "label", "inner", "lat", "lon")

    def __init__(self, data=None, **kw):
        if data is None:
            data = kw
        self.id = int(data["id"])
        self.label = str(data["label"])
        inner = data["inner"]
        self.inner = inner if isinstance(inner, SlotsN) else SlotsN(inner)
        self.lat = data["lat"]
        self.lon = data["lon"]

    @property
    def pos(self):
        return (self.lat, self.lon)


# --- bare dict operations ---

def dict_from_kw(**kw):
    return {"a1": int(kw["a1"]), "a2": int(kw["a2"]), "a3": int(kw["a3"]), "a4": int(kw["a4"]),
            "a5": int(kw["a5"]), "s1": str(kw["s1"]), "s2": str(kw["s2"]), "s3": str(kw["s3"]),
            "s4": str(kw["s4"])}


# Inline expressions (no function call) for the dict column's statements.
DICT_A_FROM = ('{"a1": int(s["a1"]), "a2": int(s["a2"]), "a3": int(s["a3"]), "a4": int(s["a4"]), '
               '"a5": int(s["a5"]), "s1": str(s["s1"]), "s2": str(s["s2"]), "s3": str(s["s3"]), '
               '"s4": str(s["s4"])}')
DICT_N_FROM = '{"x": int(n["x"]), "y": int(n["y"]), "name": str(n["name"])}'
DICT_B_FROM = ('{"id": int(s["id"]), "label": str(s["label"]), "inner": %s, "lat": s["lat"], "lon": s["lon"]}'
               % DICT_N_FROM.replace("n[", 's["inner"]['))


# --- dataclasses ---

def define_data_a():
    @dataclasses.dataclass
    class DataA:
        a1: int
        a2: int
        a3: int
        a4: int
        a5: int
        s1: str
        s2: str
        s3: str
        s4: str
        opt: Optional[str] = None

        def __post_init__(self):
            self.a1 = int(self.a1)
            self.a2 = int(self.a2)
            self.a3 = int(self.a3)
            self.a4 = int(self.a4)
            self.a5 = int(self.a5)
            self.s1 = str(self.s1)
            self.s2 = str(self.s2)
            self.s3 = str(self.s3)
            self.s4 = str(self.s4)
            if self.opt is not None:
                self.opt = str(self.opt)
    return DataA


DataA = define_data_a()


@dataclasses.dataclass
class DataN:
    x: int
    y: int
    name: str

    def __post_init__(self):
        self.x = int(self.x)
        self.y = int(self.y)
        self.name = str(self.name)


@dataclasses.dataclass
class DataB:
    id: int
    label: str
    inner: DataN
    lat: float
    lon: float

    def __post_init__(self):
        self.id = int(self.id)
        self.label = str(self.label)
        if not isinstance(self.inner, DataN):
            self.inner = DataN(**self.inner)

    @property
    def pos(self):
        return (self.lat, self.lon)


# --- attrs (converters run on construction and, with attrs.define, on assignment) ---

try:
    import attrs
except ImportError:
    attrs = None

if attrs is not None:
    def define_attrs_a():
        @attrs.define
        class AttrsA:
            a1: int = attrs.field(converter=int)
            a2: int = attrs.field(converter=int)
            a3: int = attrs.field(converter=int)
            a4: int = attrs.field(converter=int)
            a5: int = attrs.field(converter=int)
            s1: str = attrs.field(converter=str)
            s2: str = attrs.field(converter=str)
            s3: str = attrs.field(converter=str)
            s4: str = attrs.field(converter=str)
            opt: Optional[str] = attrs.field(default=None, converter=attrs.converters.optional(str))
        return AttrsA

    AttrsA = define_attrs_a()

    @attrs.define
    class AttrsN:
        x: int = attrs.field(converter=int)
        y: int = attrs.field(converter=int)
        name: str = attrs.field(converter=str)

    def _to_attrs_n(value):
        return value if isinstance(value, AttrsN) else AttrsN(**value)

    @attrs.define
    class AttrsB:
        id: int = attrs.field(converter=int)
        label: str = attrs.field(converter=str)
        inner: AttrsN = attrs.field(converter=_to_attrs_n)
        lat: float = attrs.field()
        lon: float = attrs.field()

        @property
        def pos(self):
            return (self.lat, self.lon)


# --- pydantic v2 (lax mode turns "1" into 1; assignments are validated) ---

try:
    import pydantic
    if not pydantic.VERSION.startswith("2."):
        pydantic = None
except ImportError:
    pydantic = None

if pydantic is not None:
    from pydantic import BaseModel, ConfigDict

    def define_pyd_a():
        class PydA(BaseModel):
            model_config = ConfigDict(validate_assignment=True)
            a1: int
            a2: int
            a3: int
            a4: int
            a5: int
            s1: str
            s2: str
            s3: str
            s4: str
            opt: Optional[str] = None
        return PydA

    PydA = define_pyd_a()

    class PydN(BaseModel):
        model_config = ConfigDict(validate_assignment=True)
        x: int
        y: int
        name: str

    class PydB(BaseModel):
        model_config = ConfigDict(validate_assignment=True)
        id: int
        label: str
        inner: PydN
        lat: float
        lon: float

        @property
        def pos(self):
            return (self.lat, self.lon)


# --- msgspec (lax conversion from a dict; a Struct checks nothing on assignment, so writes cast by hand) ---

try:
    import msgspec
except ImportError:
    msgspec = None

if msgspec is not None:
    def define_msgspec_a():
        class MsgA(msgspec.Struct):
            a1: int
            a2: int
            a3: int
            a4: int
            a5: int
            s1: str
            s2: str
            s3: str
            s4: str
            opt: Optional[str] = None
        return MsgA

    MsgA = define_msgspec_a()

    class MsgN(msgspec.Struct):
        x: int
        y: int
        name: str

    class MsgB(msgspec.Struct):
        id: int
        label: str
        inner: MsgN
        lat: float
        lon: float

        @property
        def pos(self):
            return (self.lat, self.lon)

    def msgspec_from_kw(cls):
        convert = msgspec.convert

        def build(**kw):
            return convert(kw, cls, strict=False)
        return build


# --- JSON encoders shown beside dumps for reference ---

try:
    import orjson
except ImportError:
    orjson = None
