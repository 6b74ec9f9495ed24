"""ListField: a list of nested models over the list of their raw dicts, and the declaration errors."""
import copy
import pickle
import typing
import unittest

import support
from support import Field, MultiField, ProxyField, dumps, model, model_fields_flat, raw
from quenlory.fields.bases import ListField, ListValue, Model


@model
class Item:
    sku = Field(str)
    qty = Field(int, default=1)


@model
class Order:
    id = Field(int)
    items = ListField(Item)
    returns = ListField(Item, optional=True)


def order():
    return Order({"id": "7", "items": [{"sku": "a", "qty": "2"}, {"sku": "b"}]})


class ListFieldTest(unittest.TestCase):
    def test_reads_share_the_raw_dicts(self):
        o = order()
        data = raw(o)
        self.assertIsInstance(o.items, ListValue)
        self.assertEqual(data, {"id": 7, "items": [{"sku": "a", "qty": 2}, {"sku": "b", "qty": 1}]})
        self.assertEqual([raw(item) for item in o.items], data["items"])
        self.assertTrue(all(raw(item) is entry for item, entry in zip(o.items, data["items"])))
        self.assertIs(o.items[0], o.items[0])  # one instance per entry, not one per read
        self.assertEqual((len(o.items), o.items[-1].sku, [i.sku for i in o.items[::-1]]), (2, "b", ["b", "a"]))
        self.assertIsNone(o.returns)
        self.assertNotIn("returns", data)  # an optional list left out stays absent, like a nested model
        o.items[1].qty = "5"
        self.assertEqual(data["items"][1], {"sku": "b", "qty": 5})

    def test_a_list_of_dicts_is_kept_and_others_are_not(self):
        given = [{"sku": "a"}]
        o = Order(id=1, items=given)
        self.assertIs(raw(o)["items"], given)
        first = o.items[0]
        o.items = (first, {"sku": "c"})  # an instance keeps its raw dict; the tuple gives a new list
        self.assertIs(raw(o)["items"][0], raw(first))
        self.assertIsInstance(raw(o)["items"], list)
        other = Order(id=2, items=o.items)  # shared, as a nested instance would be
        self.assertIs(raw(other)["items"], raw(o)["items"])
        self.assertIs(other.items[0], first)
        rows = type("Rows", (list,), {})(given)  # a list subclass is copied into a plain list
        self.assertIs(type(raw(Order(id=3, items=rows))["items"]), list)

    def test_mutations_update_the_raw_list(self):
        o = order()
        data = raw(o)["items"]
        o.items.append({"sku": "c", "qty": "3"})
        o.items.insert(0, Item(sku="z"))
        o.items.insert(-100, {"sku": "first"})
        o.items[1] = {"sku": "y"}
        o.items[2:4] = [Item(sku="p"), {"sku": "q"}]
        del o.items[-1]
        o.items.extend([{"sku": "e"}])
        o.items += [Item(sku="f")]
        self.assertIs(raw(o)["items"], data)
        self.assertEqual([entry["sku"] for entry in data], ["first", "y", "p", "q", "e", "f"])
        self.assertEqual(data[-2], {"sku": "e", "qty": 1})  # appended dicts are cast and filled in
        self.assertEqual([raw(item) for item in o.items], data)
        self.assertEqual(o.items.pop().sku, "f")
        o.items.remove({"sku": "p", "qty": 1})
        self.assertEqual([entry["sku"] for entry in data], ["first", "y", "q", "e"])
        self.assertEqual((o.items.index({"sku": "q"}), o.items.count(Item(sku="e")), {"sku": "zz"} in o.items),
                         (2, 1, False))
        o.items.reverse()
        self.assertEqual([item.sku for item in o.items], ["e", "q", "y", "first"])
        # Changes made to the raw list directly show at the next read.
        data.append({"sku": "raw", "qty": "4"})
        data[0] = {"sku": "swapped"}
        self.assertEqual((o.items[-1].qty, o.items[0].sku, len(o.items)), (4, "swapped", 5))
        o.items[-1] = {"sku": "last"}
        self.assertEqual(data[-1], {"sku": "last", "qty": 1})
        o.items.clear()
        self.assertEqual((data, len(o.items)), ([], 0))

    def test_equality_and_repr(self):
        o = order()
        with support.captured_stdout() as out:
            self.assertEqual(o.items, [{"sku": "a", "qty": 2}, {"sku": "b", "qty": 1}])
            self.assertEqual(o.items, [{"sku": "a", "qty": "2"}, Item(sku="b")])  # as the model would store them
            self.assertEqual(o.items, order().items)
            self.assertNotEqual(o.items, [{"sku": "a", "qty": 3}, {"sku": "b"}])
            self.assertNotEqual(o.items, "ab")
            self.assertNotEqual(o.items, [{"sku": "a", "qty": 2}])  # a prefix is not enough
        self.assertEqual(out.getvalue(), "")  # raw data compared, not the model's tracing ==
        self.assertEqual(raw(o)["items"], [{"sku": "a", "qty": 2}, {"sku": "b", "qty": 1}])  # nothing written
        self.assertEqual(repr(o.items), "ListValue(Item, [{'sku': 'a', 'qty': 2}, {'sku': 'b', 'qty': 1}])")
        with self.assertRaises(TypeError):
            hash(o.items)

    def test_optional_takes_none(self):
        o = order()
        o.returns = [{"sku": "r"}]
        self.assertEqual(o.returns, [{"sku": "r", "qty": 1}])
        o.returns = None
        self.assertIsNone(o.returns)
        self.assertIsNone(raw(o)["returns"])
        self.assertIsNone(Order(id=1, items=[], returns=None).returns)
        self.assertIsNone(Order({"id": 1, "items": [], "returns": None}).returns)
        # Model-wide optional too, and the flag still reads as set.
        Loose = model(optional=True)(type("Loose", (), {"items": ListField(Item)}))
        self.assertIsNone(Loose().items)
        self.assertTrue(support.model_fields(Loose)["items"].metadata.get("optional"))
        with self.assertRaisesRegex(ValueError, r"Missing key \[items\] to construct Order"):
            Order(id=1)

    def test_bad_items_name_the_field_index_and_type(self):
        o = order()
        cases = [(lambda: Order(id=1, items=[{"sku": "a"}, 3]), r"^items\[1\] must be a dict or an instance of Item, got int$"),
                 (lambda: Order(id=1, items="ab"), r"^items expects a list of dicts or of Item instances, got str$"),
                 (lambda: setattr(o, "items", None), r"got NoneType$"),
                 (lambda: o.items.append(Order(id=1, items=[])), r"^items\[2\] must .* got Order$"),
                 (lambda: o.items.extend([{"sku": "x"}, None]), r"^items\[3\] must .* got NoneType$"),
                 (lambda: o.items.__setitem__(slice(0, 1), [[]]), r"^items\[0\] must .* got list$"),
                 (lambda: o.items.insert(-100, 3), r"^items\[0\] must .* got int$")]
        for call, message in cases:
            with self.assertRaisesRegex(TypeError, message):
                call()
        self.assertEqual(raw(o)["items"], [{"sku": "a", "qty": 2}, {"sku": "b", "qty": 1}])  # left as it was
        with self.assertRaisesRegex(IndexError, "items"):
            o.items[5] = {"sku": "x"}
        raw(o)["items"].append(7)
        for read in (lambda: list(o.items), lambda: o.items[-1]):  # a negative index is named by its position
            with self.assertRaisesRegex(TypeError, r"^items\[2\] must .* got int$"):
                read()

    def test_flat_fields_pickle_copy_and_dumps(self):
        Outer = model(type("Outer", (), {"orders": ListField(Order), "name": Field(str)}))
        self.assertEqual(list(model_fields_flat(Order)), ["id", "items[].sku", "items[].qty", "returns[].sku",
                                                          "returns[].qty"])
        self.assertEqual(list(model_fields_flat(Outer)), ["orders[].id", "orders[].items[].sku",
                                                          "orders[].items[].qty", "orders[].returns[].sku",
                                                          "orders[].returns[].qty", "name"])
        o = order()
        self.assertEqual(dumps(o), '{"id": 7, "items": [{"sku": "a", "qty": 2}, {"sku": "b", "qty": 1}]}')
        for other in [pickle.loads(pickle.dumps(o, protocol)) for protocol in range(2, pickle.HIGHEST_PROTOCOL + 1)] + \
                [copy.deepcopy(o)]:
            self.assertEqual(raw(other), raw(o))
            self.assertIs(raw(other.items[1]), raw(other)["items"][1])  # still shared after the round trip
            other.items.append({"sku": "n"})
            other.items[0].qty = 9
            self.assertEqual((len(o.items), o.items[0].qty, len(raw(other)["items"])), (2, 2, 3))
        shallow = copy.copy(o)
        shallow.items = []  # a field written through the copy leaves the original
        self.assertEqual(len(o.items), 2)

    def test_declaration_errors(self):
        for bad in (list, dict, 3, Field(int)):
            for declare, argument in ((ListField, "item_model"), (ProxyField, "nested_model")):
                with self.assertRaisesRegex(TypeError, r"^%s needs a model class \(a class decorated with @model\) "
                                                       r"as %s, got " % (declare.__name__, argument)):
                    declare(bad)
        hints = [(typing.Optional[int], r"write Field\(int, optional=True\)"),
                 (typing.List[int], r"write Field\(list\)"),
                 (typing.Union[int, str], "give a function that converts the value to one of them"), (typing.Any, "leave the cast out")]
        hints += [(eval("list[int]"), r"write Field\(list\)")] if hasattr(list, "__class_getitem__") else []
        hints += [(eval("int | None"), r"write Field\(int, optional=True\)")] if hasattr(int, "__or__") and \
            hasattr(__import__("types"), "UnionType") else []
        for cast, hint in hints:
            with self.assertRaisesRegex(TypeError, r"^Field: the cast .* is a type annotation, not a callable that "
                                                   r"converts a value; " + hint):
                Field(cast)
        with self.assertRaisesRegex(TypeError, r"^MultiField: the cast typing.Tuple\[float, float\] "):
            MultiField(("lat", "lon"), typing.Tuple[float, float])
        T = typing.TypeVar("T")

        class Box(typing.Generic[T]):
            def __init__(self, value):
                self.value = value

        self.assertEqual(Field(Box[int]).cast(3).value, 3)  # a user's generic class still casts

    def test_model_base(self):
        Based = model(type("Based", (Model,), {"x": Field(int)}))
        self.assertEqual(raw(Based(x="1")), {"x": 1})
        self.assertNotIn(Model, Based.__mro__)
        self.assertTrue(isinstance(Based(x=1), Model) and isinstance(order(), Model) and issubclass(Order, Model))
        self.assertFalse(isinstance({"x": 1}, Model) or issubclass(dict, Model))


if __name__ == "__main__":
    unittest.main()
