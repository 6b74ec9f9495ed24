"""A short end-to-end pass over every subsystem, small enough to run under a memory checker."""
import gc
import unittest

import support
from support import Field, MultiField, ProxyField, captured_stdout, md


class Smoke(unittest.TestCase):
    def test_round_trip(self):
        Inner = md.model(type("Inner", (), {"v": Field(int), "w": Field(optional=True)}))
        Point = md.model(optional=False)(type("Point", (), {
            "x": Field(int), "label": Field(str, optional=True), "n": Field(factory=list), "d": Field(default="4"),
            "origin": ProxyField(Inner, optional=True), "pair": MultiField(("lo", "hi")),
            "double": property(lambda self: self.x * 2), "kind": "point", "__doc__": "A point.",
        }))
        data = {"x": "3", "lo": 1, "hi": 2}
        p = Point(data, origin={"v": "5"})
        self.assertIs(md.raw(p), data)
        self.assertEqual((p.x, p.label, p.n, p.d, p.origin.v, list(p.pair), p.double, p.kind, Point.__doc__),
                         (3, None, [], "4", 5, [1, 2], 6, "point", "A point."))
        p.x, p.label, p.origin, p.pair = "7", 8, {"v": 9}, (3, 4)
        self.assertEqual(md.dumps(p), '{"x": 7, "lo": 3, "hi": 4, "origin": {"v": 9}, "n": [], "d": "4", "label": "8"}')
        q = Point(x=7, lo=3, hi=4, origin={"v": 9}, label="8")
        with captured_stdout() as out:
            self.assertTrue(p == q)
            self.assertTrue(p != {"x": 1, "lo": 3, "hi": 4})
        self.assertEqual(out.getvalue().count("true"), 8)  # six fields, two of them nested
        self.assertEqual(list(md.model_fields(Point)), ["x", "label", "n", "d", "origin", "pair"])
        self.assertEqual(list(md.model_fields_flat(Point)), ["x", "label", "n", "d", "origin.v", "origin.w"])

    def test_errors(self):
        Point = md.model(type("Point", (), {"x": Field(int), "c": ProxyField(md.model(type("I", (), {})))}))
        for call, kind, text in (
                (lambda: Point(), ValueError, "Missing key [c] to construct Point"),
                (lambda: Point({"y": 1}), ValueError, "Unexpected key provided: {'y'}"),
                (lambda: Point([1]), ValueError, "Unexpected parameter type for model construction"),
                (lambda: Point(c={}, x="z"), ValueError, "invalid literal for int() with base 10: 'z'"),
                (lambda: Point(c={}, x=1, y=2), ValueError, "Unexpected key provided: dict_keys(['y'])"),
                (lambda: md.model(type("M", (), {"a": Field(), "m": MultiField(("a",))})), ValueError,
                 "Error creating model M collision on key a with field m"),
                (lambda: md.model_fields(None), TypeError, "cannot create weak reference to 'NoneType' object"),
                (lambda: md.dumps(object()), AttributeError, "'object' object has no attribute '_data'")):
            with self.assertRaises(kind) as caught:
                call()
            self.assertEqual(str(caught.exception).strip('"'), text)
        p = Point(c={}, x=1)
        for value, text in ((None, "not iterable"), ((1, 2, 3), "too many values"), ((1,), "need more than 1")):
            vars(Point)["c"].name = "c"
            md.model_fields(Point)["c"].cast = lambda v, value=value: value
            with self.assertRaisesRegex((TypeError, ValueError), text):
                Point(c={}, x=1)
        with self.assertRaises(AttributeError):
            del p.x
        with self.assertRaises(TypeError):
            hash(p)

    @support.before_threads
    def test_dropped_classes_and_recursion(self):
        for _ in range(20):
            md.model(type("Dropped", (), {"a": Field(), "m": MultiField(("b",))}))(a=1, b=2)
        gc.collect()
        self.assertFalse([k for k in md._fields.keys() if k.__name__ == "Dropped"])
        Node = md.model(type("Node", (), {"a": Field()}))
        loop = Node(a=None)
        loop.a = loop
        with captured_stdout(), self.assertRaises(RecursionError):
            loop == Node(a=loop)
