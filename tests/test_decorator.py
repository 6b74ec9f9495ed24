"""The model decorator: call forms, the walk of the class body, the flat field
map, component collisions and the assembly of the model class."""
import gc
import sys
import unittest
import weakref

import support
from recording import RecordingField, RecordingMultiField, RecordingProxyField
from support import Field, MultiField, ProxyField, md, model, model_fields, model_fields_flat

MOD, LOCALS, MISSING = md.__name__, "model.<locals>.", object()
Falsehood = type("Falsehood", (), {"__bool__": lambda self: 1 / 0})
Everything = type("Everything", (), {"__eq__": lambda self, other: True, "__hash__": None})
Formatted = type("Formatted", (), {"__format__": lambda self, spec: "formatted" + spec, "__str__": lambda self: "str"})


def build(name="C", ns=(), **meta):
    """Decorate a class made by type() from `ns`, so names and order are free."""
    return model(type(name, (), dict(ns)), **meta)


def walk(tag, optional=False):
    """What the walk does to one declaration, as the recording log shows it."""
    steps = [tag + ".cast", "%s.name = %r" % (tag, tag), tag + ".metadata_defaults = {...}",
             tag + ".metadata", "%s.metadata.get('optional', False)" % tag]
    return steps + [tag + ".cast", tag + ".cast = <wrapper>"] if optional else steps


def collect():
    while gc.collect():  # a registered field map may hold the next model class (a compound's)
        pass


class Multi(MultiField):
    """A multi-field whose components come out of a one-shot iterator."""

    def components(self):
        return iter(self._components)


def multi(*keys):
    return Multi(keys)


class FixedProxy(ProxyField):
    """A compound whose flat fields are given directly."""

    __slots__ = ("flat", "asked")

    def __init__(self, flat):
        Field.__init__(self)
        self.flat, self.asked = flat, []

    def flat_fields(self, *args, **kwargs):
        self.asked.append((args, kwargs))
        return self.flat


class Tuned(Field):
    """A plain field whose metadata answer and item "optional" are chosen; an exception class is raised."""

    __slots__ = ("answer", "item")
    metadata = property(lambda self: {} if self.answer is MISSING else {"optional": self.answer})

    def __getitem__(self, key):
        if isinstance(self.item, type):
            raise self.item(key)
        return self.item


def tuned(answer=MISSING, item=False):
    f = Tuned(int)
    f.answer, f.item = answer, item
    return f


class CallForms(unittest.TestCase):
    def test_bare_capture_and_keyword_forms(self):
        f = Field()
        plain_cast, C = f.cast, type("C", (), {"f": f})
        M = model(C)
        self.assertEqual((isinstance(M, type), f.metadata_defaults), (True, {}))
        for cap in (model(), model(None), model(tag=1)):
            self.assertEqual((cap.__name__, cap.__qualname__, cap.__module__, cap.__doc__),
                             ("capture", LOCALS + "capture", MOD, None))
        cap = model(tag=1, optional=False)
        M1, first, M2 = cap(C), f.metadata_defaults, cap(C)
        self.assertEqual(list(first.items()), [("tag", 1), ("optional", False)])
        self.assertIsNot(first, f.metadata_defaults)  # each call of capture hands over a fresh copy
        self.assertEqual((first, len({M, M1, M2})), (f.metadata_defaults, 3))
        self.assertIs(f.cast, plain_cast)
        self.assertIsInstance(model(cls=C, optional=True), type)
        self.assertEqual((f.metadata_defaults, f.cast.__name__), ({"optional": True}, "_cast"))
        calls = []
        with support.rebound("model", lambda *a, **k: calls.append((a, k)) or "made"):
            self.assertEqual(cap(C), "made")  # looked up in the module at each call
        self.assertEqual(calls, [((C,), {"tag": 1, "optional": False})])
        for call in (cap, lambda: cap(C, C), lambda: cap(cls=C)):
            self.assertRaises(TypeError, call)
        for call, text in ((lambda: model(C, C), "model() takes at most 1 positional argument (2 given)"),
                           (lambda: model(C, cls=C), "model() got multiple values for keyword argument 'cls'")):
            with self.assertRaises(TypeError) as cm:
                call()
            if support.NATIVE:
                self.assertEqual(str(cm.exception), text)

    def test_optional_wrapper(self):
        seen, g = [], Field(int, optional=True)
        f = Field(lambda v: seen.append(v) or ("cast", v), optional=True)
        build(ns={"f": f, "g": g})
        w = f.cast
        self.assertEqual((w.__name__, w.__qualname__, w.__module__, w.__doc__),
                         ("_cast", LOCALS + "make_optional_cast.<locals>._cast", MOD, None))
        self.assertIsNone(w(None))
        falsy = [0, "", False, [], Everything()]  # None is told by identity
        self.assertEqual([w(v) for v in falsy], [("cast", v) for v in falsy])
        for args, kwargs in (((), {}), ((1, 2), {}), ((), {"value": 1})):
            self.assertRaises(TypeError, w, *args, **kwargs)
        self.assertEqual(seen, falsy)
        self.assertRaises(ValueError, g.cast, "x")
        build(ns={"f": f})  # the same declaration in a second class is wrapped once more
        self.assertIsNot(f.cast, w)
        self.assertEqual((f.cast(None), f.cast(5), seen[-1]), (None, ("cast", 5), 5))
        # any truthy answer of metadata.get makes a field optional; a missing entry counts as false
        for answer in (True, 1, "no", [0], False, 0, "", None, [], MISSING):
            f = tuned(answer)
            build(ns={"f": f})
            self.assertEqual(f.cast is not int, answer is not MISSING and bool(answer), answer)
        self.assertRaises(ZeroDivisionError, build, ns={"f": tuned(Falsehood())})
        inner, outer = Field(int), Field(int, optional=False)
        build(ns={"inner": inner, "outer": outer}, optional=True)
        self.assertEqual((inner.cast.__name__, outer.cast), ("_cast", int))


class Walk(unittest.TestCase):
    def test_call_order_and_class_layout(self):
        log, N = [], build("N", {"x": Field(int)})
        a, b = RecordingField(log, "a", int), RecordingField(log, "b", int, optional=True)
        c = RecordingProxyField(log, "c", N)
        d, e = RecordingMultiField(log, "d", ("d1", "d2")), RecordingMultiField(log, "e", ["e1"], optional=True)
        ns = {"d": d, "k": 1, "a": a, "helper": lambda self: 0, "area": property(len), "c": c, "b": b, "e": e}
        M = build("C", ns, tag=1)
        self.assertEqual(log, walk("d") + walk("a") + walk("c") + ["c.flat_fields", "c.flat_fields(prefix='c')"]
                         + walk("b", True) + walk("e", True)
                         + ["d.components", "d.components()", "d.proxy", "e.components", "e.components()", "e.proxy"]
                         + ["a.cast", "a['optional']", "b.cast", "b['optional']", "d.cast", "e.cast"])
        # descriptors by kind (compounds, plain, multi), then properties, methods and static values
        self.assertEqual([n for n in vars(M) if n in ns], ["c", "a", "b", "d", "e", "area", "helper", "k"])
        self.assertEqual([type(vars(M)[n]).__name__ for n in "acd"],
                         ["FieldProperty", "CompoundProperty", "MultiValueProperty"])
        self.assertEqual([vars(M)[n] is ns[n] for n in ("k", "helper", "area")], [True] * 3)
        self.assertEqual(list(model_fields(M).items()), [(n, ns[n]) for n in "dacbe"])
        self.assertEqual(list(model_fields_flat(M).items()), [("a", a), ("c.x", model_fields_flat(N)["x"]), ("b", b)])
        self.assertEqual(len({id(x.metadata_defaults) for x in (a, b, c, d, e)}), 1)
        self.assertEqual((a.metadata_defaults, [x.name for x in (a, b, c, d, e)]), ({"tag": 1}, list("abcde")))
        self.assertIs(vars(M)["e"].field, e.cast)

    def test_reserved_names(self):
        for reserved in ("_data", "_compounds"):
            for value in (Field(), ProxyField(build("N")), property(len), lambda self: 0, classmethod(len), 0, None):
                log = []
                a, z = RecordingField(log, "a"), RecordingField(log, "z")
                C = type("Res", (), {"a": a, reserved: value, "z": z, "m": multi("a")})
                with self.assertRaises(ValueError) as cm:
                    model(C)
                self.assertEqual(cm.exception.args,
                                 ("Error creating model Res: '%s' is a reserved attribute name" % reserved,))
                self.assertEqual(log, walk("a"))  # the walk stops at the name; later entries are untouched
                self.assertIsNone(value.name if isinstance(value, Field) else None)
        self.assertFalse([k for k in md._fields.keys() if k.__name__ == "Res"])

    def test_flat_field_map(self):
        N = build("N", {"x": Field(int), "y": Field()})
        a, b, X, Y, nested = Field(), Field(), Field(), Field(), model_fields_flat(N)
        M = build("C", {"a": a, "p": ProxyField(N), "m": multi("k"), "b": b})
        self.assertEqual(list(model_fields_flat(M).items()),
                         [("a", a), ("p.x", nested["x"]), ("p.y", nested["y"]), ("b", b)])
        self.assertIs(model_fields_flat(M), model_fields_flat(M))
        # a later write of a key replaces the value in place, whichever kind wrote it; no error
        q = FixedProxy({"a": X, "q": Y})
        self.assertEqual(list(model_fields_flat(build("C", {"a": a, "q": q})).items()), [("a", X), ("q", Y)])
        self.assertEqual(q.asked, [((), {"prefix": "q"})])
        self.assertEqual(model_fields_flat(build("C", {"q": FixedProxy({"a": X}), "a": a})), {"a": a})
        pairs = lambda *items: type("Pairs", (), {"items": lambda self: iter(items)})()  # noqa: E731
        shadowed = type("Shadowed", (dict,), {"items": lambda self: [("z", Y)]})
        for flat, result in ((pairs(("k", X)), {"k": X}), (shadowed(k=X), {"z": Y}), (None, AttributeError),
                             (pairs(("k", X, 1)), ValueError), (pairs(5), TypeError), (5, AttributeError)):
            C = type("C", (), {"q": FixedProxy(flat)})
            if isinstance(result, dict):
                self.assertEqual(model_fields_flat(model(C)), result)
            else:
                self.assertRaises(result, model, C)

    def test_component_collisions(self):
        x, key = Field(), Formatted()
        cases = [({"x": x, "coords": multi("x", "y")}, "x with field coords"),
                 ({"m": multi("y", "y")}, "y with field m"),
                 ({"m": multi("m", "n"), "n": multi("k")}, None),  # its own name, a later multi-field's name
                 ({"n": multi("k"), "m": multi("n")}, "n with field m"),
                 ({"n": multi("k"), "m": multi("j", "k")}, "k with field m"),
                 ({"p": property(len), "m": multi("p")}, "p with field m"),
                 ({"f": len, "m": multi("f")}, "f with field m"),
                 ({"v": 0, "m": multi("v")}, "v with field m"),
                 ({"__repr__": repr, "m": multi("__repr__")}, "__repr__ with field m"),
                 ({"c": ProxyField(build("N", {"x": Field()})), "m": multi("c.x", "__module__", "__doc__")}, None),
                 ({"m": multi(5, 5)}, "5 with field m"), ({"m": multi(2.5, 2.5)}, "2.5 with field m"),
                 ({"m": multi(key, key)}, "formatted with field m")]
        for ns, error in cases:
            C = type("Point", (), ns)
            if error is None:
                self.assertEqual(list(model_fields(model(C))), list(ns))
                continue
            with self.assertRaises(ValueError) as cm:
                model(C)
            self.assertEqual(cm.exception.args, ("Error creating model Point collision on key " + error,))
        self.assertEqual(x.name, "x")  # mutations stay after a failure


class Assembly(unittest.TestCase):
    @unittest.skipUnless(sys.version_info >= (3, 14), "annotations are evaluated on demand from 3.14")
    def test_annotations_may_name_a_class_defined_later(self):
        @model
        class Early:
            later: "Later"
            now: Later = Field(optional=True)

        class Later:
            pass

        self.assertEqual(Early.__annotations__, {"later": "Later", "now": Later})
        self.assertIsNone(Early().now)

    def test_members_are_copied_and_take_effect(self):
        def __init__(self, x):
            self._data, self._compounds = {"x": x}, {}

        callable_field = type("CallableField", (Field,), {"__slots__": (), "__call__": lambda self: 1})()
        ns = {"x": Field(int), "__init__": __init__, "__eq__": lambda s, o: "eq", "__hash__": lambda s: 7,
              "__repr__": lambda s: "P(%r)" % s.x, "Nested": type("Nested", (), {}), "double": lambda s: 2 * s.x,
              "cm": classmethod(lambda cls: cls), "sm": staticmethod(lambda: "s"), "area": property(lambda s: s.x ** 2),
              "k": 5, "_private": 6, "__dunder__": "skip", "__lead": 1, "trail__": 2, "f": callable_field}
        M = build("P", ns)
        for name, value in ns.items():
            if name in ("x", "f"):
                self.assertEqual(type(vars(M)[name]).__name__, "FieldProperty")
            elif name in ("__dunder__", "__lead", "trail__"):
                self.assertNotIn(name, vars(M))
            else:
                self.assertIs(vars(M)[name], value)
        self.assertEqual(list(model_fields(M)), ["x", "f"])
        p = M(4)
        self.assertEqual((p.x, p.double(), M.cm(), p.sm(), p.area, p.k, p._private, repr(p), p == p, hash(p)),
                         (4, 8, M, "s", 16, 5, 6, "P(4)", "eq", 7))
        for attr in ("k", "nothing"):
            self.assertRaises(AttributeError, setattr, p, attr, 1)
        self.assertEqual(p.k, 5)

    def test_registries(self):
        f = Field()
        C = type("R", (), {"f": f})
        M1, M2 = model(C, tag=1), model(C, tag=2)
        self.assertIsNot(model_fields(M1), model_fields(M2))
        self.assertEqual((model_fields(M1), model_fields_flat(M2)), ({"f": f}, {"f": f}))
        self.assertIs(model_fields(M1), md._fields[M1])
        self.assertIs(model_fields_flat(M1), md._flat_fields[M1])
        self.assertEqual((f.name, f.metadata_defaults), ("f", {"tag": 2}))
        self.assertIsNot(type(vars(M1)["f"]), type(vars(M2)["f"]))
        one, two = object.__new__(M1), object.__new__(M1)
        one._data, two._data = {"f": 1}, {"f": 2}
        with support.captured_stdout():  # the registered map is the one equality walks
            self.assertNotEqual(one, two)
            model_fields(M1).clear()
            self.assertEqual(one, two)
        del one, two
        collect()
        sizes, ref = (len(md._fields), len(md._flat_fields)), weakref.ref(M1)
        del M1
        collect()
        self.assertIsNone(ref())
        self.assertEqual((len(md._fields), len(md._flat_fields)), (sizes[0] - 1, sizes[1] - 1))

    def test_failure_after_registration(self):
        # the class is registered before its descriptors are made, and goes when it is collected
        for f, error in ((tuned(item=LookupError), LookupError), (tuned(item=Falsehood()), ZeroDivisionError)):
            self.assertRaises(error, build, "Half", {"f": f})
            half = [k for k in md._fields.keys() if k.__name__ == "Half"]
            self.assertEqual(len(half), 1)
            self.assertIn(half[0], md._flat_fields)
            ref = weakref.ref(half.pop())
            collect()
            self.assertIsNone(ref())


if __name__ == "__main__":
    unittest.main()
