"""raw and dumps: the data dictionary of an instance, and its JSON text."""
import builtins
import datetime
import types
import unittest

import support
from support import DELETED, Field, MultiField, ProxyField, dumps, model, raw


def models():
    inner = model(type("Inner", (), {"v": Field(int)}))

    @model
    class Outer:
        a = Field(int)
        p = ProxyField(inner, optional=True)
        m = MultiField(("lat", "lon"), optional=True)
        o = Field(float, optional=True)
        z = Field(optional=True)
    return inner, Outer


class RawTest(unittest.TestCase):
    def test_raw_is_the_live_data_dictionary(self):
        _, outer = models()
        given = {"a": "1"}
        inst = outer(given)
        self.assertTrue(raw(inst) is raw(inst) is given)
        self.assertEqual(given, {"a": 1})
        raw(inst)["a"], raw(inst)["o"] = 5, 2.5
        self.assertEqual((inst.a, inst.o), (5, 2.5))
        inst.a = "6"
        self.assertEqual(given["a"], 6)
        mine = type("Data", (dict,), {})(a=1)
        self.assertIs(raw(outer(mine)), mine)
        self.assertEqual(raw(outer(a=2)), {"a": 2})

    def test_compounds_keep_their_value_beside_the_raw_data(self):
        inner, outer = models()
        inst = outer(a=1, p={"v": "3"}, lat=1, lon=2)
        nested = inst.p
        self.assertIsInstance(nested, inner)
        self.assertEqual(raw(inst), {"p": {"v": 3}, "lat": 1, "lon": 2, "a": 1})
        self.assertIs(raw(inst)["p"], raw(nested))
        raw(inst)["p"] = {"v": 9}  # the compound attribute does not follow the raw data
        self.assertEqual((inst.p, nested.v), (nested, 3))
        inst.p = {"v": "4"}  # until it is assigned
        self.assertEqual((raw(inst)["p"], inst.p.v), ({"v": 4}, 4))
        self.assertEqual(list(inst.m), [1, 2])
        self.assertNotIn("m", raw(inst))

    def test_any_object_with_data(self):
        _, outer = models()
        computed = type("Computed", (), {"__getattr__": lambda self, name: name + "!"})()
        self.assertEqual((raw(types.SimpleNamespace(_data=5)), raw(computed)), (5, "_data!"))
        self.assertEqual(dumps(computed), '"_data!"')
        self.assertIs(raw(outer), outer.__dict__["_data"])
        with self.assertRaises(TypeError):
            dumps(outer)
        for obj in (object(), outer.__new__(outer), None):
            for fn in (raw, dumps):
                with self.assertRaises(AttributeError):
                    fn(obj)


class DumpsTest(unittest.TestCase):
    def test_text_with_the_encoder_defaults(self):
        _, outer = models()
        inst = outer({"z": "é", "a": 1})
        inst.z = [1, 2.5, None, True, float("inf"), -float("inf"), {"k": "v"}]
        inst.o = float("nan")
        self.assertEqual(dumps(inst), '{"z": [1, 2.5, null, true, Infinity, -Infinity, {"k": "v"}], "a": 1, "o": NaN}')
        self.assertEqual(dumps(outer({"z": "é\n", "a": 1})), '{"z": "\\u00e9\\n", "a": 1}')
        # compound values and proxy objects are never encoded, only the raw data beside them
        self.assertEqual(dumps(outer(a=1, p={"v": 2}, lat=1.5, lon=2)), '{"p": {"v": 2}, "lat": 1.5, "lon": 2, "a": 1}')
        self.assertEqual(dumps(model(type("Empty", (), {"n": Field(optional=True)}))()), "{}")

    def test_encoder_errors_propagate(self):
        _, outer = models()
        inst = outer(a=1, z=datetime.date(2020, 1, 2))
        for value, error in ((datetime.date(2020, 1, 2), TypeError), ({("tuple", "key"): 1}, TypeError),
                             ([raw(inst)], ValueError)):
            inst.z = value
            with self.assertRaises(error) as caught:
                dumps(inst)
            self.assertIs(type(caught.exception), error)
        self.assertEqual(list(raw(inst)), ["a", "z"])

    def test_json_and_raw_are_looked_up_at_each_call(self):
        _, outer = models()
        inst = outer(a=1)
        with support.rebound("raw", lambda obj: {"k": [type(obj).__name__]}):
            self.assertEqual(dumps(inst), '{"k": ["Outer"]}')
        with support.rebound("json", types.SimpleNamespace(dumps=lambda value: ("fake", value))):
            self.assertEqual(dumps(inst), ("fake", {"a": 1}))
            if not support.FREE_THREADED:  # with the global lock the encoder is given the data itself
                self.assertIs(dumps(inst)[1], raw(inst))
        log = []
        with support.rebound("json", DELETED), support.rebound("raw", log.append):
            with self.assertRaises(NameError) as caught:
                dumps(inst)
            self.assertEqual((str(caught.exception), log), ("name 'json' is not defined", []))
        encoder = type("Encoder", (), {"__getattr__": lambda self, name: log.append(name) or repr})()
        with support.rebound("json", encoder), support.rebound("raw", DELETED):
            with self.assertRaises(NameError) as caught:
                dumps(inst)
            # json.dumps is read before raw is looked up
            self.assertEqual((str(caught.exception), log), ("name 'raw' is not defined", ["dumps"]))
            builtins.raw = lambda obj: "from builtins"
            try:
                self.assertEqual(dumps(inst), "'from builtins'")
            finally:
                del builtins.raw
        self.assertEqual(dumps(inst), '{"a": 1}')
