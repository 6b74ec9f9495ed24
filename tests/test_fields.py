"""Field declarations: merged metadata, compounds over nested models, multi-fields."""
import unittest

import support
from support import Field, MultiField, ProxyField, model, raw


@model
class Point:
    x = Field(int)
    y = Field(int, default=0)


@model
class Segment:
    start = ProxyField(Point)
    end = ProxyField(Point, optional=True)


class FieldTest(unittest.TestCase):
    def test_bare_declaration(self):
        decl = Field()
        self.assertIsNone(decl.name)
        self.assertEqual(decl.metadata_defaults, {})
        self.assertEqual(dict(decl.metadata), {})
        marker = object()
        self.assertIs(decl.cast(marker), marker)
        self.assertIs(decl["optional"], False)
        for key in ("default", "factory", "other"):
            with self.assertRaises(KeyError):
                decl[key]
        self.assertEqual(repr(decl), "Field()")

    def test_own_metadata_over_model_defaults(self):
        decl = Field(int, default=3, optional=False)
        decl.metadata_defaults = defaults = {"optional": True, "factory": list}
        meta = decl.metadata
        self.assertEqual((meta["default"], meta["optional"], meta["factory"]), (3, False, list))
        self.assertEqual((decl["default"], decl["optional"], decl["factory"]), (3, False, list))
        self.assertIs(meta.get("optional", True), False)
        meta["default"] = 4  # the view is a copy: the declaration's own entries stay
        self.assertEqual(decl["default"], 3)
        decl.metadata_defaults = {"tag": "later"}  # assigning new defaults gives a new view
        self.assertEqual((decl.metadata["tag"], decl["tag"], "factory" in decl.metadata), ("later", "later", False))
        decl.name = "n"
        self.assertEqual(repr(decl), "n=Field(int, default=3, optional=False)")

    def test_container_defaults_are_not_shared(self):
        @support.model
        class Inner:
            v = Field(int)

        @support.model
        class Outer:
            tags = Field(default=[])
            inner = ProxyField(Inner, default={"v": 1})

        first, second = Outer(), Outer()
        first.tags.append("x")
        first.inner.v = 2
        self.assertEqual((second.tags, second.inner.v, Outer().inner.v), ([], 1, 1))
        self.assertIsNot(support.raw(first)["inner"], support.raw(second)["inner"])

    def test_model_metadata_reaches_every_field(self):
        @support.model(optional=True)
        class Loose:
            a = Field(int)
            b = Field(int, optional=False)

        self.assertIs(support.model_fields(Loose)["a"]["optional"], True)
        self.assertIsNone(Loose(b=1).a)
        self.assertIsNone(Loose(a=None, b=2).a)  # optional casts let None through
        with self.assertRaisesRegex(ValueError, r"Missing key \[b\]"):
            Loose(a=1)


class ProxyFieldTest(unittest.TestCase):
    def test_cast_shares_the_dict(self):
        decl = ProxyField(Point)
        data = {"x": "4"}
        inst, data_out = decl.cast(data)
        self.assertIsInstance(inst, Point)
        self.assertIs(data_out, data)
        self.assertIs(raw(inst), data)
        self.assertEqual(data, {"x": 4, "y": 0})
        self.assertEqual(decl.cast(inst), (inst, data))
        for bad in (None, [1, 2], "x", 3):
            with self.assertRaisesRegex(TypeError, "Point"):
                decl.cast(bad)
        with self.assertRaises(TypeError):
            ProxyField({"x": 1})

    def test_flat_fields(self):
        decl = ProxyField(Segment)
        flat = decl.flat_fields(prefix="seg")
        self.assertEqual(list(flat), ["seg.start.x", "seg.start.y", "seg.end.x", "seg.end.y"])
        self.assertIs(flat["seg.start.x"], support.model_fields(Point)["x"])
        self.assertEqual(list(support.model_fields_flat(Segment)), ["start.x", "start.y", "end.x", "end.y"])

    def test_in_a_model(self):
        data = {"start": {"x": 1}}
        seg = Segment(data)
        self.assertIs(raw(seg), data)
        self.assertIs(raw(seg.start), data["start"])
        self.assertIsNone(seg.end)
        seg.end = Point(x=5)
        self.assertIs(raw(seg)["end"], raw(seg.end))
        self.assertEqual(support.dumps(seg), '{"start": {"x": 1, "y": 0}, "end": {"x": 5, "y": 0}}')


class MultiFieldTest(unittest.TestCase):
    def test_default_cast(self):
        decl = MultiField(["lat", "lon"])
        self.assertEqual(decl.components(), ("lat", "lon"))
        self.assertEqual(decl.cast({"lon": 2, "lat": 1, "alt": 9}), [1, 2])
        self.assertEqual(decl.cast((1, 2)), [1, 2])
        self.assertEqual(decl.cast(iter([1, 2])), [1, 2])
        self.assertIsNone(decl.cast(None))
        for bad in ([1], (1, 2, 3)):
            with self.assertRaisesRegex(ValueError, "expects 2 values"):
                decl.cast(bad)
        with self.assertRaises(KeyError):
            decl.cast({"lat": 1})
        self.assertEqual(MultiField("ab", cast=tuple).cast([1, 2]), (1, 2))
        self.assertEqual(repr(MultiField(("a",), cast=tuple)), "MultiField(('a',), cast=tuple)")

    def test_proxy_view(self):
        decl = MultiField(("lat", "lon"))
        self.assertIsNone(decl.proxy({}, None))
        data = {"other": 0}
        view = decl.proxy(data, [1.5, 2.0])
        self.assertEqual(data, {"other": 0, "lat": 1.5, "lon": 2.0})
        self.assertEqual((view[0], view[-1], view["lat"], view[:1], len(view), list(view)),
                         (1.5, 2.0, 1.5, [1.5], 2, [1.5, 2.0]))
        self.assertTrue(view == [1.5, 2.0] and view == (1.5, 2.0) and view == decl.proxy({}, (1.5, 2.0)))
        self.assertTrue(view != [1.5] and view != [2.0, 1.5] and view != "ab" and view != {"lat": 1.5})
        self.assertEqual(repr(view), "MultiValue(lat=1.5, lon=2.0)")
        data["lon"] = 7  # live
        self.assertEqual(view, [1.5, 7])
        for index in ("other", 2):
            with self.assertRaises((KeyError, IndexError)):
                view[index]
        with self.assertRaises(TypeError):
            hash(view)
        with self.assertRaises(ValueError):
            decl.proxy({}, [1])

    def test_in_a_model(self):
        @model
        class Place:
            where = MultiField(("lat", "lon"))
            alt = MultiField(("alt",), optional=True)

        by_parts = Place(lat=1, lon=2)
        by_whole = Place({"where": {"lat": 1, "lon": 2}})
        self.assertEqual(raw(by_parts), {"lat": 1, "lon": 2})
        self.assertEqual(raw(by_whole), {"where": {"lat": 1, "lon": 2}, "lat": 1, "lon": 2})
        self.assertIsNone(by_parts.alt)
        with support.captured_stdout():
            self.assertEqual(by_parts, by_whole)
        raw(by_parts)["lat"] = 5
        self.assertEqual(by_parts.where, [5, 2])
        by_parts.where = by_whole.where
        self.assertEqual(raw(by_parts), {"lat": 1, "lon": 2})


if __name__ == "__main__":
    unittest.main()
