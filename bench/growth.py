"""Models of growing size for the growth table: flat models of N plain fields, and chains of nested models.

Every class is written out as source and compiled, so that defining one is a class statement as in a user's
module, for quenlory, the pure-Python baseline and a hand-written __slots__ class alike.
"""
from quenlory.fields.bases import Field, ProxyField

SIZES = (10, 50, 200)
DEPTHS = (1, 4, 16)


def _compile(source, namespace):
    exec(compile(source, "<growth>", "exec"), namespace)
    return namespace


def flat_input(n):
    return {"f%d" % i: str(i) for i in range(n)}


def flat_model_definer(md, n):
    """A function that defines a model of n integer fields (given as text)."""
    body = "".join("        f%d = Field(int)\n" % i for i in range(n))
    source = "def define():\n    @model\n    class Flat%d:\n%s    return Flat%d\n" % (n, body, n)
    return _compile(source, {"model": md.model, "Field": Field})["define"]


def flat_slots_definer(n):
    names = ["f%d" % i for i in range(n)]
    body = "".join("            self.%s = int(data[%r])\n" % (name, name) for name in names)
    source = ("def define():\n    class SlotsFlat%d:\n        __slots__ = %r\n\n"
              "        def __init__(self, data):\n%s    return SlotsFlat%d\n" % (n, tuple(names), body, n))
    return _compile(source, {})["define"]


def nested_input(depth):
    data = {"x": "0", "name": "leaf"}
    for level in range(1, depth + 1):
        data = {"x": str(level), "name": "level", "child": data}
    return data


def deep_copy(data):
    # The casts write into the nested dictionaries too, so every level is copied.
    return {key: deep_copy(value) if type(value) is dict else value for key, value in data.items()}


def nested_model(md, depth):
    """The outermost of depth + 1 models, each holding the next one in a ProxyField."""
    cls = md.model(type("Level0", (), {"x": Field(int), "name": Field(str)}))
    for level in range(1, depth + 1):
        cls = md.model(type("Level%d" % level, (), {"x": Field(int), "name": Field(str), "child": ProxyField(cls)}))
    return cls


def nested_slots(depth):
    class SlotsLeaf:
        __slots__ = ("x", "name")

        def __init__(self, data):
            self.x = int(data["x"])
            self.name = str(data["name"])
    cls = SlotsLeaf
    for _ in range(depth):
        def make(inner):
            class SlotsLevel:
                __slots__ = ("x", "name", "child")

                def __init__(self, data):
                    self.x = int(data["x"])
                    self.name = str(data["name"])
                    self.child = inner(data["child"])
            return SlotsLevel
        cls = make(cls)
    return cls
