"""Field, compound and multi-value properties on model instances."""
import collections
import unittest

import support
from support import Field, MultiField, ProxyField, model, raw


class Pair(ProxyField):
    """A compound whose cast is any callable; it has no flat fields."""

    __slots__ = ()
    __init__ = Field.__init__

    def flat_fields(self, prefix):
        return {}


class Split(Field):
    """A plain field whose item "optional" disagrees with its metadata."""

    __slots__ = ("item",)

    def __getitem__(self, key):
        return self.item if key == "optional" else Field.__getitem__(self, key)


def pair_cast(value):
    # a callable value makes the result itself, to try every shape
    return value() if callable(value) else (("value", value), ("raw", value))


def multi_cast(value):
    if value == "bad":
        raise ValueError(value)
    return ("cast", value)


def fixture():
    """A model with a plain, a compound and a multi-field, each also optional; and its proxy calls."""
    calls = []

    def proxy(data, value):
        calls.append((data, value))
        data["lo"] = value
        if value == ("cast", "fail"):
            raise RuntimeError("proxy")
        return ["proxy", value]

    multi = type("Multi", (MultiField,), {"__slots__": (), "proxy": staticmethod(proxy)})
    ns = {"x": Field(int), "label": Field(str, optional=True), "c": Pair(pair_cast),
          "oc": Pair(pair_cast, optional=True), "m": multi(("lo", "hi"), cast=multi_cast),
          "om": multi(("p", "q"), cast=multi_cast, optional=True)}
    return model(type("Point", (), ns)), ns, calls


def blank(M, data=None, compounds=None):
    """An instance whose storage is set by hand, without construction; unset where None."""
    inst = object.__new__(M)
    if data is not None:
        inst._data = data
    if compounds is not None:
        inst._compounds = compounds
    return inst


class Accessors(unittest.TestCase):
    def check_class_reads(self, M, names):
        """Reads of the fields on the class fail (the property classes' shapes are in test_shapes)."""
        for attr in names:
            self.assertRaises(AttributeError, getattr, M, attr)
            self.assertFalse(hasattr(M, attr))

    def test_field_reads(self):
        M, ns, _ = fixture()
        value, data = ["stored"], {}
        inst = blank(M, data)
        self.assertIsNone(inst.label)
        data.update(x=value, label=None)
        self.assertEqual((inst.x, inst.label), (value, None))
        self.assertIs(inst.x, value)  # no cast on reads
        raw(inst)["label"] = "raw text"
        self.assertEqual(inst.label, "raw text")
        del data["x"]
        for read in (lambda: inst.x, lambda: getattr(inst, "x", 0), lambda: hasattr(inst, "x")):
            with self.assertRaises(KeyError) as cm:
                read()
            self.assertEqual(cm.exception.args, ("x",))
        fallback = collections.defaultdict(lambda: "missing")
        inst = blank(M, fallback)
        self.assertEqual((inst.x, inst.label, list(fallback)), ("missing", None, ["x"]))
        self.assertRaises(AttributeError, getattr, blank(M), "x")

    def test_field_writes_and_deletion(self):
        M, ns, _ = fixture()
        data = {}
        inst = blank(M, data)
        inst.x, inst.label = "12", 5
        self.assertEqual(data, {"x": 12, "label": "5"})
        self.assertRaises(ValueError, setattr, inst, "x", "bad")
        self.assertRaises(TypeError, setattr, inst, "x", None)  # None reaches a plain field's cast
        inst.label = None  # an optional one stores None without calling str
        for name in ("x", "label"):
            self.assertRaises(AttributeError, delattr, inst, name)
        self.assertEqual(data, {"x": 12, "label": None})
        self.assertRaises(ValueError, setattr, blank(M), "x", "bad")  # the cast runs before _data is read
        self.assertRaises(AttributeError, setattr, blank(M), "x", "1")
        # the read variant follows the item "optional"; None on writes follows the metadata
        loose, strict = Split(str), Split(str, optional=True)
        loose.item, strict.item = True, 0
        inst = blank(model(type("S", (), {"loose": loose, "strict": strict})), {})
        self.assertIsNone(inst.loose)
        self.assertRaises(KeyError, getattr, inst, "strict")
        inst.loose, inst.strict = None, None
        self.assertEqual(raw(inst), {"loose": "None", "strict": None})

    def test_field_property_classes(self):
        (M, ns, _), (M2, _, _) = fixture(), fixture()
        props = [vars(M)["x"], vars(M)["label"], vars(M2)["x"]]
        self.assertEqual(len({type(p) for p in props}), 3)
        for prop in props:
            self.check_class_reads(M, ["x", "label"])
            self.assertEqual((vars(prop), "__init__" in vars(type(prop))), ({}, False))
        inst = blank(M, {"x": 1})
        get, put = vars(type(props[0]))["__get__"], vars(type(props[0]))["__set__"]
        self.assertEqual(get(self=props[0], instance=inst, objtype=None), 1)
        self.assertIsNone(put(props[0], value="7", instance=inst))
        # a replaced __get__ or __set__ takes effect for that one field
        type(props[0]).__get__ = lambda self, instance, objtype: "replaced"
        type(props[1]).__set__ = lambda self, instance, value: instance._data.update(seen=value)
        inst.label = "v"
        self.assertEqual((inst.x, blank(M2, {"x": 2}).x, raw(inst)), ("replaced", 2, {"x": 7, "seen": "v"}))

    def test_compound_reads_and_writes(self):
        M, ns, _ = fixture()
        stored, data, compounds = object(), {"c": "raw"}, {"oc": None}
        inst = blank(M, data, compounds)
        compounds["c"] = stored
        self.assertEqual((inst.c, inst.oc), (stored, None))
        inst.c = 5
        self.assertIs(inst.c, compounds["c"])
        self.assertEqual((inst.c, data["c"]), (("value", 5), ("raw", 5)))
        data["c"] = "changed"
        self.assertEqual(inst.c, ("value", 5))
        inst.c = None  # a plain compound's cast sees None
        self.assertEqual((compounds["c"], data["c"]), (("value", None), ("raw", None)))
        for result, item0, item1 in (([1, 2], 1, 2), ("ab", "a", "b"), (iter((3, 4)), 3, 4), (iter("xy"), "x", "y")):
            inst.c = lambda: result
            self.assertEqual((inst.c, data["c"]), (item0, item1))
        del compounds["c"]
        with self.assertRaises(KeyError) as cm:
            inst.c
        self.assertEqual(cm.exception.args, ("c",))

    def test_compound_failed_writes(self):
        M, ns, _ = fixture()
        data, compounds = {"c": 1, "oc": 2}, {"c": 3, "oc": 4}
        inst = blank(M, data, compounds)

        def broken():
            yield 1
            raise LookupError("iteration")

        many, fewer = "too many values to unpack (expected 2)", "need more than %d value%s to unpack"
        for result, error, text in ((None, TypeError, None), ((1, 2, 3), ValueError, many),
                                    (iter([1, 2, 3]), ValueError, many), ([1], ValueError, fewer % (1, "")),
                                    ((), ValueError, fewer % (0, "s")), (iter([]), ValueError, fewer % (0, "s")),
                                    (broken(), LookupError, "iteration"), (lambda: 1 / 0, ZeroDivisionError, None)):
            with self.assertRaises(error) as cm:
                inst.c = result if error is ZeroDivisionError else lambda: result
            self.assertEqual(str(cm.exception), text or str(cm.exception))
        self.assertRaises(TypeError, setattr, inst, "oc", None)  # the optional wrapper hands back None
        for name in ("c", "oc"):
            self.assertRaises(AttributeError, delattr, inst, name)
        self.assertEqual((data, compounds), ({"c": 1, "oc": 2}, {"c": 3, "oc": 4}))
        refusing = type("Refusing", (dict,), {"__setitem__": lambda self, key, value: 1 / 0})
        inst = blank(M, refusing(c=1), compounds)
        self.assertRaises(ZeroDivisionError, setattr, inst, "c", 9)
        self.assertEqual((compounds["c"], inst._data), (("value", 9), {"c": 1}))  # no rollback
        self.assertRaises(AttributeError, getattr, blank(M, {}), "c")
        for value, error in ((lambda: 1 / 0, ZeroDivisionError), (lambda: (1, 2, 3), ValueError), (1, AttributeError)):
            self.assertRaises(error, setattr, blank(M, {}), "c", value)  # cast and unpacking come first

    def test_compound_property_classes(self):
        (M, ns, _), (M2, _, _) = fixture(), fixture()
        prop, CP = vars(M)["c"], type(vars(M)["c"])
        self.assertEqual((type(vars(M)["oc"]) is CP, type(vars(M2)["c"]) is CP), (True, False))
        self.check_class_reads(M, ["c", "oc"])
        self.assertEqual(list(vars(prop).items()), [("name", "c"), ("field", ns["c"])])
        self.assertEqual((vars(vars(M)["oc"]), vars(CP(field=1, name="z"))),
                         ({"name": "oc", "field": ns["oc"]}, {"name": "z", "field": 1}))
        # the name is read at every use: reads and writes follow a new one, casts included
        data, compounds = {}, {"c": 0, "oc": "o"}
        inst = blank(M, data, compounds)
        prop.name = "oc"
        self.assertEqual(inst.c, "o")
        self.assertRaises(TypeError, setattr, inst, "c", None)
        inst.c = 1
        self.assertEqual((data, compounds), ({"oc": ("raw", 1)}, {"c": 0, "oc": ("value", 1)}))
        prop.name, called = "nowhere", []
        with self.assertRaises(KeyError) as cm:
            inst.c = lambda: called.append(1)
        self.assertEqual((cm.exception.args, called), (("nowhere",), []))
        self.assertRaises(KeyError, getattr, inst, "c")
        CP.__get__ = lambda self, instance, objtype: "swapped"  # shared by the model's compounds, and only them
        self.assertEqual((inst.c, inst.oc, blank(M2, {}, {"c": 2}).c), ("swapped", "swapped", 2))

    def test_property_name_followed_between_reads(self):
        # Reads are repeated so that a remembered name would be used if it were kept too long.
        M, _, _ = fixture()
        prop, CP = vars(M)["c"], type(vars(M)["c"])
        keys = {"c": 0, "oc": 1, "k": 2, ("t",): 3}
        inst = blank(M, {}, dict(keys))

        def reads():
            return [inst.c for _ in range(3)]

        class Mapping(dict):
            pass

        changes = (
            lambda: setattr(prop, "name", "oc"),
            lambda: vars(prop).update(name="k"),
            lambda: vars(prop).__setitem__("name", ("t",)),
            lambda: setattr(prop, "__dict__", {"name": "c", "field": None}),
            lambda: setattr(prop, "__dict__", {"name": "oc"}),  # a fresh dict may reuse a freed one's memory
            lambda: setattr(prop, "__dict__", Mapping(name="k")),
            lambda: vars(prop).clear() or vars(prop).setdefault("name", "c"),
        )
        self.assertEqual(reads(), [0] * 3)
        seen = []
        for change in changes:
            change()
            seen.append((reads(), inst.oc))
        self.assertEqual([s[0][0] for s in seen], [1, 2, 3, 0, 1, 2, 0])
        self.assertTrue(all(len(set(s[0])) == 1 and s[1] == 1 for s in seen))
        del prop.name
        with self.assertRaises(AttributeError):
            inst.c
        prop.name = "oc"
        self.assertEqual(reads(), [1] * 3)
        CP.name = property(lambda self: "k")  # a data descriptor on the class now wins
        self.assertEqual(reads(), [2] * 3)
        del CP.name
        self.assertEqual(reads(), [1] * 3)
        CP.__getattribute__ = lambda self, attr: "c" if attr == "name" else object.__getattribute__(self, attr)
        self.assertEqual(reads(), [0] * 3)

    def test_property_name_lookup_runs_key_code_at_every_read(self):
        # A key that compares with "name" on the way to it is asked at every read.
        M, _, _ = fixture()
        prop = vars(M)["c"]
        asked = []

        class Shadow:
            def __hash__(self):
                return hash("name")

            def __eq__(self, other):
                asked.append(other)
                return False

        del prop.name
        vars(prop)[Shadow()] = None
        prop.name = "oc"  # now found after the shadow
        inst = blank(M, {}, {"c": 0, "oc": 1})
        del asked[:]
        prop.name  # how often one lookup asks depends on where the hash seed puts the keys
        per_lookup = len(asked)
        del asked[:]
        self.assertEqual([inst.c for _ in range(3)], [1] * 3)
        self.assertEqual((asked, per_lookup > 0), (["name"] * 3 * per_lookup, True))

    def test_multi_value_reads_and_writes(self):
        M, ns, calls = fixture()
        stored, data, compounds = object(), {}, {"om": None}
        inst = blank(M, data, compounds)
        compounds["m"] = stored
        self.assertEqual((inst.m, inst.m, inst.om, calls), (stored, stored, None, []))
        inst.m = 7
        self.assertEqual((calls, calls[0][0] is data, inst.m is compounds["m"]), ([(data, ("cast", 7))], True, True))
        self.assertEqual((inst.m, data), (["proxy", ("cast", 7)], {"lo": ("cast", 7)}))
        inst.om, inst.m = None, None  # the optional wrapper skips the cast; the proxy still runs
        self.assertEqual(calls[1:], [(data, None), (data, ("cast", None))])
        self.assertEqual((inst.om, inst.m), (["proxy", None], ["proxy", ("cast", None)]))
        del compounds["m"]
        with self.assertRaises(KeyError) as cm:
            inst.m
        self.assertEqual(cm.exception.args, ("m",))

    def test_multi_value_failed_writes(self):
        M, ns, calls = fixture()
        data, compounds = {"lo": 0}, {"m": "before"}
        inst = blank(M, data, compounds)
        self.assertRaises(ValueError, setattr, inst, "m", "bad")
        self.assertEqual(calls, [])
        self.assertRaises(RuntimeError, setattr, inst, "m", "fail")
        self.assertRaises(AttributeError, delattr, inst, "m")
        self.assertEqual((compounds, data), ({"m": "before"}, {"lo": ("cast", "fail")}))
        self.assertRaises(AttributeError, setattr, blank(M), "m", "bad")  # _data is read before the cast
        del calls[:]
        self.assertRaises(AttributeError, setattr, blank(M, {}), "m", 1)  # _compounds after the proxy
        self.assertEqual(calls, [({"lo": ("cast", 1)}, ("cast", 1))])
        vars(M)["m"].name = "nowhere"
        with self.assertRaises(KeyError) as cm:
            blank(M).m = "bad"  # before _data and the cast
        self.assertEqual(cm.exception.args, ("nowhere",))

    def test_multi_value_property_classes(self):
        (M, ns, _), (M2, _, _) = fixture(), fixture()
        prop, MV = vars(M)["m"], type(vars(M)["m"])
        self.assertEqual([type(p) is MV for p in (vars(M)["om"], vars(M2)["m"], vars(M)["c"])], [True, False, False])
        self.check_class_reads(M, ["m", "om"])
        self.assertEqual(list(vars(prop).items()), [("name", "m"), ("field", multi_cast)])
        MV.__set__ = lambda self, instance, value: instance._compounds.update({self.name: value})
        inst = blank(M, {}, {})
        inst.m = 1
        self.assertEqual(inst._compounds, {"m": 1})
        self.assertEqual((vars(vars(M)["om"]), ns["om"].cast.__name__),
                         ({"name": "om", "field": ns["om"].cast}, "_cast"))

    def test_reads_after_construction(self):
        M, ns, calls = fixture()
        data = {"x": "3", "lo": 1, "hi": 2}
        inst = M(data, c=5)
        self.assertEqual((raw(inst) is data, calls[0][0] is data), (True, True))
        self.assertEqual((inst.x, inst.label, inst.c, inst.oc, inst.m, inst.om),
                         (3, None, ("value", 5), None, ["proxy", [1, 2]], None))
        self.assertEqual(data, {"x": 3, "lo": [1, 2], "hi": 2, "c": ("raw", 5)})
        inst.x, inst.c, inst.m = "4", 6, 7
        self.assertEqual((inst.x, inst.c, inst.m), (4, ("value", 6), ["proxy", ("cast", 7)]))


if __name__ == "__main__":
    unittest.main()
