"""The package's helpers (replace, asdict, fields), the model options and the ListValue additions."""
import copy
import dataclasses
import inspect
import pickle
import unittest

import quenlory
import support
from quenlory import FrozenModelError, ListField, ListValue, asdict, fields_of, replace
from support import Field, MultiField, ProxyField, md, raw

native = unittest.skipUnless(support.NATIVE, "the options belong to the native decorator")


@md.model
class Place:
    city = Field(str)


@md.model
class Kit:
    name = Field(str)
    size = Field(int, default=1)
    place = ProxyField(Place, optional=True)
    pos = MultiField(("lat", "lon"))


# Module level, so that pickle finds them.
@md.model
class Base:
    id = Field(int)
    kind = Field(str, default="base")
    note = Field(str, optional=True)
    place = ProxyField(Place, optional=True)


if support.NATIVE:
    @md.model(inherit=True, repr=True)
    class Child(Base):
        kind = Field(str, default="child")
        extra = Field(int)


class HelperTest(unittest.TestCase):
    def test_replace_and_asdict_copy_the_raw_data(self):
        data = {"name": "a", "place": {"city": "Kew"}, "lat": 1, "lon": 2}
        kit = Kit(data)
        other = replace(kit, size="5", place={"city": "Ely"})
        self.assertEqual((other.size, other.place.city, other.name, list(other.pos)), (5, "Ely", "a", [1, 2]))
        self.assertEqual((kit.size, kit.place.city), (1, "Kew"))
        self.assertEqual(list(replace(kit, lat=5).pos), [5, 2])
        self.assertIsNot(raw(replace(kit)), data)
        self.assertIsNot(raw(replace(kit))["place"], data["place"])
        copied = asdict(kit)
        self.assertEqual(copied, data)
        copied["place"]["city"] = "x"
        self.assertEqual(kit.place.city, "Kew")
        for helper in (asdict, replace):
            with self.assertRaisesRegex(TypeError, "model instance"):
                helper({"name": "a"})

    def test_fields(self):
        got = [(f.name, f.key, f.kind) for f in fields_of(Kit)]
        self.assertEqual(got, [("name", "name", "field"), ("size", "size", "field"), ("place", "place", "compound"),
                               ("pos", ("lat", "lon"), "multi")])
        self.assertIs(fields_of(Kit(name="a", lat=1, lon=2))[0].declaration, md.model_fields(Kit)["name"])
        with self.assertRaisesRegex(TypeError, "model class"):
            fields_of(Place.__mro__[-1])


@native
class OptionTest(unittest.TestCase):
    def test_repr(self):
        @md.model(repr=True)
        class Station:
            name = Field(str)
            elevation = Field(int)
            note = Field(str, optional=True)
            place = ProxyField(Place, optional=True)
            seen = Field(list, factory=list)

        s = Station(name="Kew", elevation="41")
        self.assertEqual(repr(s), "Station(name='Kew', elevation=41, seen=[])")
        s.seen.append(s)
        s.note = None
        self.assertEqual(repr(s), "Station(name='Kew', elevation=41, note=None, seen=[...])")

        @md.model(repr=True)
        class Own:
            x = Field(int)

            def __repr__(self):
                return "own"

        self.assertEqual(repr(Own(x=1)), "own")
        self.assertEqual(str(inspect.signature(Station)), "(data={}, /, *, name: str, elevation: int, note: str = None, "
                         "place: 'Place' = None, seen: list = <factory>)")

    def test_quiet_equality(self):
        @md.model(eq="quiet")
        class QPlace:
            city = Field(str)

        @md.model(eq="quiet")
        class Q:
            x = Field(int)
            place = ProxyField(QPlace, optional=True)

        with support.captured_stdout() as out:
            self.assertTrue(Q(x=1, place={"city": "a"}) == Q({"x": "1", "place": {"city": "a"}}))
            self.assertTrue(Q(x=1) == {"x": "1"})
            self.assertTrue(Q(x=1) != Q(x=2))
            self.assertFalse(Q(x=1) == {"x": 2})
        self.assertEqual(out.getvalue(), "")
        with self.assertRaises(ValueError):
            md.model(type("Bad", (), {"x": Field()}), eq="loud")

    def test_frozen_and_hash(self):
        @md.model(frozen=True, hash=True, match_args=True)
        class F:
            x = Field(int)
            place = ProxyField(Place, optional=True)
            pos = MultiField(("lat", "lon"), optional=True)

        data = {"x": "1", "place": {"city": "a"}}
        f = F(data)
        for name, value in (("x", 2), ("place", {"city": "b"}), ("pos", (1, 2))):
            with self.assertRaisesRegex(FrozenModelError, "cannot assign to field '%s'" % name):
                setattr(f, name, value)
            with self.assertRaisesRegex(dataclasses.FrozenInstanceError, "cannot delete field '%s'" % name):
                delattr(f, name)
        self.assertEqual((f.x, f.place.city, raw(f)), (1, "a", data))
        data["x"] = 7  # the raw data stays the caller's
        self.assertEqual(f.x, 7)
        g = F({"x": 7, "place": {"city": "a"}})
        self.assertEqual(hash(f), hash(g))
        with support.captured_stdout():  # the set compares f and g with the model's equality, which prints
            self.assertEqual(len({f, g, F(x=8)}), 2)
        self.assertEqual(F.__match_args__, ("x", "place", "pos"))
        self.assertEqual(hash(copy.deepcopy(f)), hash(f))
        with self.assertRaisesRegex(ValueError, "hash=True needs frozen=True"):
            md.model(hash=True)(type("H", (), {"x": Field()}))

    def test_a_model_without_options_is_unchanged(self):
        @md.model(optional=True)
        class Plain:
            x = Field(int)

        self.assertIsNone(Plain.__hash__)
        self.assertNotIn("__repr__", Plain.__dict__)
        self.assertNotIn("__match_args__", Plain.__dict__)


@native
class InheritTest(unittest.TestCase):
    def test_fields_of_bases_come_first(self):
        self.assertEqual(list(md.model_fields(Child)), ["id", "kind", "note", "place", "extra"])
        self.assertEqual(list(md.model_fields_flat(Child)), ["id", "kind", "note", "place.city", "extra"])
        c = Child(id="1", extra="2", note=None)
        self.assertEqual(raw(c), {"id": 1, "kind": "child", "note": None, "extra": 2})
        self.assertEqual(repr(pickle.loads(pickle.dumps(c))), "Child(id=1, kind='child', note=None, extra=2)")
        self.assertEqual(repr(copy.deepcopy(c)), repr(c))
        self.assertEqual(Base(id=1).kind, "base")
        # The base keeps its own declarations; the child's are copies, with an optional cast wrapped once.
        mine, theirs = md.model_fields(Child)["note"], md.model_fields(Base)["note"]
        self.assertIsNot(mine, theirs)
        self.assertEqual(theirs.metadata_defaults, {})
        self.assertIsNone(mine.cast(None))
        self.assertEqual(Child(id=1, extra=1, note=5).note, "5")
        self.assertEqual(Child(id=1, extra=1, place={"city": "x"}).place.city, "x")

        @md.model(inherit=True)
        class Grandchild(Child):
            more = Field(int, optional=True)

        self.assertEqual(list(md.model_fields(Grandchild)), ["id", "kind", "note", "place", "extra", "more"])
        self.assertEqual(Grandchild(id=1, extra=2).kind, "child")

        # A field keeps what its own model's metadata gave it.
        @md.model(optional=True)
        class Loose:
            a = Field(int)

        @md.model(inherit=True)
        class Strict(Loose):
            b = Field(int)

        self.assertEqual(raw(Strict(b=1)), {"b": 1})
        with self.assertRaisesRegex(ValueError, r"Missing key \[b\]"):
            Strict(a=1)


class ListValueTest(unittest.TestCase):
    def test_slice_and_sort(self):
        @md.model
        class Item:
            sku = Field(str)

        @md.model
        class Order:
            items = ListField(Item)

        order = Order(items=[{"sku": s} for s in "cab"])
        part = order.items[1:]
        self.assertIsInstance(part, ListValue)
        self.assertEqual([i.sku for i in part], ["a", "b"])
        part.append({"sku": "z"})  # detached: the order's list is not changed
        self.assertEqual(len(order.items), 3)
        self.assertIs(part[0], order.items[1])
        order.items.sort(key=lambda item: item.sku, reverse=True)
        self.assertEqual(raw(order)["items"], [{"sku": "c"}, {"sku": "b"}, {"sku": "a"}])
        self.assertEqual([i.sku for i in order.items], ["c", "b", "a"])
        self.assertIs(quenlory.MultiValue, support.MultiField(("a",)).proxy({"a": 1}, [1]).__class__)


if __name__ == "__main__":
    unittest.main()
