"""The shapes of what the module makes, as one table: every kind of class and function that `model` and the
module hand out, with its name, qualified name, module, docstring, and its bases and first members or its
signature, annotations and defaults."""
import inspect
import sys
import unittest
import weakref

import support
from support import Field, md, model, model_fields, model_fields_flat
from test_functions import made_functions, sample, shown_signature

MOD, LOCALS = md.__name__, "model.<locals>."


def classes():
    """(class, name, qualname, the members it lists first after __module__) for every kind of property class."""
    cls = sample()
    fp = LOCALS + "field_property.<locals>.FieldProperty"
    table = [(type(vars(cls)[name]), "FieldProperty", fp, ["__get__", "__set__"]) for name in "xo"]
    for name, kind in (("c", "CompoundProperty"), ("m", "MultiValueProperty")):
        table.append((type(vars(cls)[name]), kind, LOCALS + kind, ["__init__", "__get__", "__set__"]))
    return table


def functions():
    """(function, qualname, signature, annotations, defaults) for every kind of function."""
    table = [(getattr(md, name), name, "(cls, /)", {"cls": "type"}, None) for name in ("model_fields",
                                                                                        "model_fields_flat")]
    table += [(getattr(md, name), name, "(obj, /)", None, None) for name in ("raw", "dumps")]
    table.append((md.model, "model", "(cls=None, **metadata)", None, (None,)))
    return table + [(fn, qualname, signature, None, None) for fn, qualname, signature in made_functions()]


class Shapes(unittest.TestCase):
    def test_functions(self):
        for fn, qualname, signature, annotations, defaults in functions():
            with self.subTest(qualname):
                self.assertEqual((fn.__name__, fn.__qualname__), (qualname.rpartition(".")[2], qualname))
                self.assertEqual(fn.__module__, "quenlory.model_decorator" if support.NATIVE else md.__name__)
                self.assertEqual((fn.__doc__, fn.__annotations__, fn.__defaults__), (None, annotations or {}, defaults))
                self.assertEqual(shown_signature(fn), signature, qualname)
                self.assertIsInstance(fn.__dict__, dict)
        for name in ("model_fields", "model_fields_flat"):
            self.assertEqual(str(inspect.signature(getattr(md, name))), "(cls: 'type', /)")
        if support.NATIVE:
            self.assertEqual(len({type(fn) for fn, *_ in functions()}), 1)

    def test_property_classes(self):
        for cls, name, qualname, members in classes():
            with self.subTest(qualname):
                self.assertEqual((cls.__name__, cls.__qualname__, cls.__module__, cls.__doc__, cls.__bases__),
                                 (name, qualname, MOD, None, (object,)))
                self.assertEqual(list(vars(cls))[:1 + len(members)], ["__module__"] + members)
                self.assertFalse({"__slots__", "__delete__"} & set(vars(cls)))
                for member in members:
                    fn = vars(cls)[member]
                    self.assertEqual((fn.__name__, fn.__qualname__, fn.__module__, fn.__doc__),
                                     (member, qualname + "." + member, MOD, None))
                    with self.assertRaises(TypeError) as cm:
                        fn(1, 2)
                    if support.NATIVE:
                        self.assertEqual(str(cm.exception),
                                         member + "() takes exactly 3 positional arguments (2 given)")

    def test_model_class(self):
        class Base:
            inherited = Field()

        class Point(Base):
            """A point."""
            x: int = Field(int)
            label: str = Field(optional=True)

        M = model(Point)
        inst = object.__new__(M)
        self.assertEqual((M.__bases__, M.__name__, M.__qualname__, M.__module__, M.__doc__, M.__slots__),
                         ((object,), "Point", LOCALS + "ModelClass", MOD, "A point.", ["_data", "_compounds"]))
        self.assertEqual(repr(M), "<class '%s.model.<locals>.ModelClass'>" % MOD)
        self.assertFalse(issubclass(M, Point) or isinstance(inst, (Point, Base)))
        self.assertIs(M.__annotations__, Point.__annotations__)
        self.assertEqual((list(model_fields(M)), "inherited" in vars(M)), (["x", "label"], False))
        for name in ("__init__", "__eq__"):
            fn = vars(M)[name]
            self.assertEqual((fn.__name__, fn.__qualname__, fn.__module__, fn.__doc__),
                             (name, LOCALS + "ModelClass." + name, MOD, None))
        self.assertIsNone(M.__hash__)
        for call in (hash, weakref.ref, vars):
            self.assertRaises(TypeError, call, inst)
        E = model(type("E", (), {}))
        self.assertEqual((E.__doc__, model_fields(E), model_fields_flat(E)), (None, {}, {}))
        if sys.version_info < (3, 10):  # later versions give every class an annotations dict on demand
            self.assertNotIn("__annotations__", vars(E))


if __name__ == "__main__":
    unittest.main()
