"""Construction of model instances and their field-by-field equality."""
import contextlib
import operator
import types
import unittest

from support import Field, MultiField, ProxyField, captured_stdout, md
import recording
from recording import RecordingField, RecordingMultiField, RecordingProxyField

MISSING = object()
KEYS = "data.keys()"


def make(name, **members):
    """Decorate a class built from `members`, in the order given."""
    return md.model(type(name, (), members))


EMPTY = make("Empty")
INNER = make("Inner", v=Field(), __repr__=lambda self: "I(%s)" % self.v)


def _logged(show, method):
    def call(self, *args):
        self.log.append(show(self.tag, args))
        return method(self, *args)
    return call


class RDict(dict):
    """A data dictionary that logs every operation dispatched to it."""
    tag = "data"

    def __init__(self, log, *args, **kwargs):
        dict.__init__(self, *args, **kwargs)
        self.log = log

    keys = _logged(lambda t, a: t + ".keys()", dict.keys)
    get = _logged(lambda t, a: "%s.get(%s)" % (t, ", ".join(map(repr, a))), dict.get)
    __contains__ = _logged(lambda t, a: "%r in %s" % (a[0], t), dict.__contains__)
    __getitem__ = _logged(lambda t, a: "%s[%r]" % (t, a[0]), dict.__getitem__)
    __setitem__ = _logged(lambda t, a: "%s[%r] = %r" % (t, a[0], a[1]), dict.__setitem__)


class Lines:
    """A standard output that turns each printed line into a log entry (or drops it, without a log)."""

    def __init__(self, log=None):
        self.log, self.part = log, ""

    def write(self, text):
        if self.log is None:
            return
        self.part += text
        while "\n" in self.part:
            line, self.part = self.part.split("\n", 1)
            self.log.append("print " + line)

    def flush(self):
        pass


BOOM = KeyError("boom")


def fail(*args):
    raise BOOM.with_traceback(None)  # one object, raised afresh each time


class BadProxy(MultiField):
    proxy = fail


def quietly(fn):
    with contextlib.redirect_stdout(Lines()):
        fn()


class LooseProxy(ProxyField):
    """A compound with a cast of its own and no nested model."""

    def __init__(self, cast, **metadata):
        Field.__init__(self, cast, **metadata)

    def flat_fields(self, prefix):
        return {}


compound = recording._recording_class(LooseProxy)


class Multi(RecordingMultiField):
    """A recording multi-field whose proxy keeps what it receives."""

    def __init__(self, log, tag, components, **kwargs):
        super().__init__(log, tag, components, **kwargs)
        self.received = []

    def proxy(self, data, value):
        self.received.append((data, value))
        return ("proxy", value)


def md_tests(tag, *tests):
    """The log entries of reading `metadata` once per test."""
    out = []
    for test in tests:
        out += ["%s.metadata" % tag,
                "%s.metadata.get('optional', False)" % tag if test == "optional" else "%r in %s.metadata" % (test, tag)]
    return out


def pair(v):
    return ("val", v), ("raw", v)


def tagged(v):
    return ("cast", v)


class ConstructionTest(unittest.TestCase):
    def run_rows(self, tag, declare, rows):
        for meta, start, kw, calls, data_after, compounds_after in rows:
            with self.subTest(tag=tag, meta=meta, start=start, kw=kw):
                log = []
                decl = declare(log, tag, **meta)
                M = make("Point", **{tag: decl})
                data = RDict(log, start)
                del log[:]
                if compounds_after is MISSING:
                    with self.assertRaises(ValueError) as cm:
                        M(data, **kw)
                    self.assertEqual(cm.exception.args, ("Missing key [%s] to construct Point" % tag,))
                else:
                    inst = M(data, **kw)
                    self.assertIs(inst._data, data)
                    self.assertIs(md.raw(inst), data)
                    self.assertEqual(inst._compounds, compounds_after)
                self.assertEqual(log, [KEYS] + calls)
                self.assertEqual(data, data_after)
                self.assertEqual(list(data), list(data_after))
                for got, _ in getattr(decl, "received", ()):
                    self.assertIs(got, data)

    def test_compound_rules(self):
        c = "c"
        get, cast_read = "data.get('c')", "c.cast"
        both = dict(default=7, factory=lambda: 8)
        self.run_rows(c, lambda log, tag, **m: compound(log, tag, pair, **m), [
            # keyword wins over the dictionary; the entry keeps its place
            (both, {"c": 5}, {"c": 1}, [cast_read, "c.cast(1)", "data['c'] = ('raw', 1)"],
             {"c": ("raw", 1)}, {"c": ("val", 1)}),
            ({}, {"c": 5}, {}, [get, cast_read, "data['c']", "c.cast(5)", "data['c'] = ('raw', 5)"],
             {"c": ("raw", 5)}, {"c": ("val", 5)}),
            # None in the dictionary counts as absent; default comes before factory
            (both, {"c": None}, {},
             [get] + md_tests(c, "default") + [cast_read, "c['default']", "c.cast(7)", "data['c'] = ('raw', 7)"],
             {"c": ("raw", 7)}, {"c": ("val", 7)}),
            (dict(factory=lambda: 8), {}, {},
             [get] + md_tests(c, "default", "factory")
             + [cast_read, "c['factory']", "c.factory()", "c.cast(8)", "data['c'] = ('raw', 8)"],
             {"c": ("raw", 8)}, {"c": ("val", 8)}),
            (dict(optional="yes"), {"c": None}, {}, [get] + md_tests(c, "default", "factory", "optional"),
             {"c": None}, {"c": None}),
            (dict(optional=0), {}, {}, [get] + md_tests(c, "default", "factory", "optional"), {}, MISSING),
        ])

    def test_multi_field_rules(self):
        m = "m"
        proxy = ["m.proxy"]
        call = "m.proxy(...)"
        declare = lambda log, tag, **meta: Multi(log, tag, ("a", "b"), cast=tagged, **meta)  # noqa: E731
        self.run_rows(m, declare, [
            # all components as keywords: raw values, no cast; the data stays as given
            ({}, {"m": 9}, {"a": 1, "b": 2}, proxy + [call], {"m": 9}, {"m": ("proxy", [1, 2])}),
            ({}, {"a": 1, "b": 2}, {"m": 5}, proxy + ["m.cast", "m.cast(5)", call],
             {"a": 1, "b": 2}, {"m": ("proxy", ("cast", 5))}),
            ({}, {"a": 1, "b": 2, "m": 7}, {},
             ["'a' in data", "'b' in data"] + proxy + ["data['a']", "data['b']", call],
             {"a": 1, "b": 2, "m": 7}, {"m": ("proxy", [1, 2])}),
            # the component test stops at the first key that is absent
            ({}, {"b": 2, "m": 7}, {},
             ["'a' in data", "data.get('m')"] + proxy + ["m.cast", "data['m']", "m.cast(7)", call],
             {"b": 2, "m": 7}, {"m": ("proxy", ("cast", 7))}),
            (dict(default=3, factory=list), {"a": 1, "m": None}, {},
             ["'a' in data", "'b' in data", "data.get('m')"] + md_tests(m, "default")
             + proxy + ["m.cast", "m['default']", "m.cast(3)", call],
             {"a": 1, "m": None}, {"m": ("proxy", ("cast", 3))}),
            (dict(factory=lambda: 4), {}, {},
             ["'a' in data", "data.get('m')"] + md_tests(m, "default", "factory")
             + proxy + ["m.cast", "m['factory']", "m.factory()", "m.cast(4)", call],
             {}, {"m": ("proxy", ("cast", 4))}),
            (dict(optional=1), {}, {}, ["'a' in data", "data.get('m')"] + md_tests(m, "default", "factory", "optional"),
             {}, {"m": None}),
            # None as keyword goes through the optional wrapper to the proxy
            (dict(optional=True), {}, {"m": None}, proxy + ["m.cast", call], {}, {"m": ("proxy", None)}),
            ({}, {}, {}, ["'a' in data", "data.get('m')"] + md_tests(m, "default", "factory", "optional"), {}, MISSING),
        ])

    def test_plain_field_rules(self):
        x = "x"
        self.run_rows(x, lambda log, tag, **m: RecordingField(log, tag, tagged, **m), [
            (dict(default=7), {"x": 5}, {"x": 1}, ["x.cast(1)", "data['x'] = ('cast', 1)"],
             {"x": ("cast", 1)}, {}),
            # None in the dictionary is present and reaches the cast
            (dict(default=7), {"x": None}, {},
             ["'x' in data", "data['x']", "x.cast(None)", "data['x'] = ('cast', None)"],
             {"x": ("cast", None)}, {}),
            (dict(default=7, factory=list), {}, {},
             ["'x' in data"] + md_tests(x, "default") + ["x['default']", "x.cast(7)", "data['x'] = ('cast', 7)"],
             {"x": ("cast", 7)}, {}),
            (dict(factory=lambda: 8), {}, {},
             ["'x' in data"] + md_tests(x, "default", "factory")
             + ["x['factory']", "x.factory()", "x.cast(8)", "data['x'] = ('cast', 8)"],
             {"x": ("cast", 8)}, {}),
            (dict(optional=True), {}, {}, ["'x' in data"] + md_tests(x, "default", "factory", "optional"), {}, {}),
            (dict(optional=True), {}, {"x": None}, ["data['x'] = None"], {"x": None}, {}),
            ({}, {}, {}, ["'x' in data"] + md_tests(x, "default", "factory", "optional"), {}, MISSING),
        ])

    def test_processing_order_and_key_order(self):
        log = []
        M = make("Mixed", x=RecordingField(log, "x", tagged), m=MultiField(("a", "b")),
                 c1=compound(log, "c1", pair), y=RecordingField(log, "y", tagged), c2=compound(log, "c2", pair),
                 n=Multi(log, "n", ()))
        data = RDict(log, {"y": 0, "b": 1})
        del log[:]
        inst = M(data, x=1, c2=2, a=3, b=4, c1=5)
        self.assertEqual(log, [
            KEYS, "c1.cast", "c1.cast(5)", "data['c1'] = ('raw', 5)",
            "c2.cast", "c2.cast(2)", "data['c2'] = ('raw', 2)",
            "data['a'] = 3", "data['b'] = 4", "n.proxy", "n.proxy(...)",
            "x.cast(1)", "data['x'] = ('cast', 1)", "'y' in data", "data['y']", "y.cast(0)", "data['y'] = ('cast', 0)"])
        # caller's keys keep their places; new ones follow in processing order
        self.assertEqual(list(data), ["y", "b", "c1", "c2", "a", "x"])
        self.assertEqual(list(inst._compounds), ["c1", "c2", "m", "n"])
        self.assertEqual(list(inst.m), [3, 4])
        self.assertEqual(inst.n, ("proxy", []))

    def test_multi_field_keywords(self):
        log = []
        decl = Multi(log, "m", ("a", "b"), cast=tagged)
        M = make("Point", m=decl)
        # components win over the own name, which is then left over
        with self.assertRaises(ValueError) as cm:
            M(m=0, b=2, a=1)
        self.assertEqual(cm.exception.args, ("Unexpected key provided: dict_keys(['m'])",))
        self.assertEqual(decl.received[-1][1], [1, 2])
        # some components only: none is consumed, later rules decide, the rest is left over
        data = {"m": 7}
        with self.assertRaises(ValueError) as cm:
            M(data, b=2)
        self.assertEqual(cm.exception.args, ("Unexpected key provided: dict_keys(['b'])",))
        self.assertEqual(decl.received[-1], (data, ("cast", 7)))
        with self.assertRaises(ValueError) as cm:
            M(a=1)
        self.assertEqual(cm.exception.args, ("Missing key [m] to construct Point",))
        # without component keys the components always win: the own keyword is left over
        N = make("Point", n=Multi(log, "n", ()))
        self.assertEqual(N()._compounds, {"n": ("proxy", [])})
        with self.assertRaisesRegex(ValueError, r"^Unexpected key provided: dict_keys\(\['n'\]\)$"):
            N(n=1)

    def test_construction_errors(self):
        log = []
        M = make("Point", c=compound(log, "c", lambda v: v, optional=True), x=Field(int))
        rows = [
            ((None,), {}, ValueError, "Unexpected parameter type for model construction"),
            (([("x", 1)],), {}, ValueError, "Unexpected parameter type for model construction"),
            ((M(x=1),), {}, ValueError, "Unexpected parameter type for model construction"),
            # stray data keys come before any field, even before a missing one
            (({"colour": 1},), {}, ValueError, "Unexpected key provided: {'colour'}"),
            (({5: 1},), {"x": 1}, ValueError, "Unexpected key provided: {5}"),
            ((), {"colour": 1, "x": 1, "size": 2}, ValueError,
             "Unexpected key provided: dict_keys(['colour', 'size'])"),
            ((), {"c": [1, 2]}, ValueError, "Missing key [x] to construct Point"),
            ((), {"x": 1, "c": [1, 2, 3]}, ValueError, "too many values to unpack (expected 2)"),
            ((), {"x": 1, "c": iter("abc")}, ValueError, "too many values to unpack (expected 2)"),
            ((), {"x": 1, "c": [1]}, ValueError, "need more than 1 value to unpack"),
            ((), {"x": 1, "c": ()}, ValueError, "need more than 0 values to unpack"),
            ((), {"x": 1, "c": iter([1])}, ValueError, "need more than 1 value to unpack"),
            ((), {"x": 1, "c": 5}, TypeError, None),
            ((), {"x": 1, "c": None}, TypeError, None),
            ((), {"x": "z"}, ValueError, "invalid literal for int() with base 10: 'z'"),
            ((), {"self": 1, "x": 1}, TypeError, None),
        ]
        for args, kw, exc, message in rows:
            with self.subTest(args=args, kw=kw):
                with self.assertRaises(exc) as cm:
                    M(*args, **kw)
                if message is not None:
                    self.assertEqual(cm.exception.args, (message,))
        # what a compound's cast gives is accepted when it unpacks into two items
        for value, expect in [("ab", ("a", "b")), (iter([1, 2]), (1, 2)), ([3, 4], (3, 4))]:
            inst = M({}, "ignored", x="1", c=value)
            self.assertEqual((inst.c, inst._data["c"], inst.x), expect + (1,))
        self.assertEqual(M(x=2)._compounds, {"c": None})
        # the message names the decorated class, also for a subclass of the model
        Sub = type("Sub", (M,), {})
        with self.assertRaisesRegex(ValueError, r"^Missing key \[x\] to construct Point$"):
            Sub()

    def test_field_name_whose_hash_empties_the_data(self):
        # Testing the keywords for the name runs its __hash__, which empties the data: the key is missing then,
        # whatever the data's key check saw of it before.
        data = {}

        class Name(str):
            def __hash__(self):
                data.clear()
                return str.__hash__(self)

            __eq__ = str.__eq__

        M = make("M", **{Name("a"): Field(key="A"), "b": Field()})
        for _ in range(3):
            data.update({"A": "".join(["x"] * 50), "b": "y"})
            with self.assertRaisesRegex(ValueError, r"^Missing key \[A\] to construct M$"):
                M(data, b="kw")

    def test_errors_stop_at_once_and_leave_writes(self):
        log = []
        M = make("Point", c=compound(log, "c", pair), x=RecordingField(log, "x", tagged))
        inst = M(c=1, x=2)
        data = RDict(log, {"colour": 1, "x": 5})
        del log[:]
        with self.assertRaises(ValueError):
            inst.__init__(data, c=3)
        self.assertEqual(log, [KEYS, KEYS])  # nothing else touched
        self.assertIs(inst._data, data)
        self.assertEqual(inst._compounds, {})
        # a leftover keyword is found after everything was written, and nothing is undone
        data = RDict(log, {"x": 5})
        del log[:]
        with self.assertRaisesRegex(ValueError, r"^Unexpected key provided: dict_keys\(\['zz'\]\)$"):
            inst.__init__(data, zz=0, c=3)
        self.assertEqual(data, {"x": ("cast", 5), "c": ("raw", 3)})
        self.assertEqual(inst._compounds, {"c": ("val", 3)})
        self.assertEqual(log[-2:], ["x.cast(5)", "data['x'] = ('cast', 5)"])
        # a missing compound is found before plain fields are looked at
        data = {"x": 5}
        with self.assertRaisesRegex(ValueError, r"^Missing key \[c\] to construct Point$"):
            inst.__init__(data)
        self.assertEqual((data, inst._data, inst._compounds), ({"x": 5}, data, {}))
        # a failed type check still rebinds both slots
        inst.__init__(c=1, x=2)
        with self.assertRaises(ValueError):
            inst.__init__(None)
        self.assertEqual((inst._data, inst._compounds), (None, {}))
        # errors of casts, factories, proxies and the dictionary's own methods pass unchanged
        BadGet = type("BadGet", (dict,), {"get": fail})
        for call in [lambda: make("P", x=Field(fail))(x=1), lambda: make("P", x=Field(factory=fail))(),
                     lambda: make("P", m=BadProxy(("a",)))(a=1), lambda: make("P", c=ProxyField(INNER))(BadGet())]:
            with self.assertRaises(KeyError) as cm:
                call()
            self.assertIs(cm.exception, BOOM)

    def test_shared_dictionary_and_factories(self):
        log = []
        M = make("Point", x=RecordingField(log, "x", int), f=RecordingField(log, "f", factory=list),
                 c=compound(log, "c", lambda v: (v, v), factory=dict))
        data = {"x": "3"}
        del log[:]
        p, q = M(data), M(data)
        # one dictionary, cast twice; each instance has its own compound dictionary
        self.assertTrue(p._data is q._data is data)
        self.assertIsNot(p._compounds, q._compounds)
        self.assertEqual(log.count("x.cast('3')"), 1)
        self.assertEqual(log.count("x.cast(3)"), 1)
        self.assertEqual(log.count("f.factory()"), 1)  # the second time f is in the dictionary
        r, s = M(x=1), M(x=1)
        self.assertIsNot(r.f, s.f)
        self.assertIsNot(r.c, s.c)
        self.assertIs(r.c, r._data["c"])
        # spread keywords are a new dictionary: the caller's mapping is untouched
        kw = {"x": "4", "f": [1]}
        self.assertEqual(M(**kw)._data, {"c": {}, "x": 4, "f": [1]})
        self.assertEqual(kw, {"x": "4", "f": [1]})
        # a keyword overwrites the caller's entry in place
        data = {"f": [], "x": "1"}
        M(data, x="2")
        self.assertEqual(list(data.items()), [("f", []), ("x", 2), ("c", {})])

    def test_worked_construction(self):
        log = []
        Origin = make("Origin", ox=Field(int), oy=Field(int))
        Point = make("Point", x=RecordingField(log, "x", int), label=RecordingField(log, "label", optional=True),
                     origin=RecordingProxyField(log, "origin", Origin))
        data, small = {"x": "3"}, {"ox": "1", "oy": 2}
        del log[:]
        p = Point(data, origin=small)
        self.assertEqual(log, ["origin.cast", "origin.cast({'ox': '1', 'oy': 2})", "x.cast('3')"]
                         + md_tests("label", "default", "factory", "optional"))
        self.assertIs(p._data, data)
        self.assertEqual(list(p._compounds), ["origin"])
        self.assertIs(p._compounds["origin"], p.origin)
        self.assertIs(p.origin._data, small)
        self.assertIs(data["origin"], small)
        self.assertEqual(list(data.items()), [("x", 3), ("origin", {"ox": 1, "oy": 2})])
        self.assertEqual((p.x, p.label, p.origin.ox), (3, None, 1))
        self.assertIs(md.raw(p), data)
        self.assertEqual(md.dumps(p), '{"x": 3, "origin": {"ox": 1, "oy": 2}}')


class EqualityTest(unittest.TestCase):
    def setUp(self):
        self.M = make("Pair", a=Field(int), b=Field())

    def trace(self, left, right, op=operator.eq):
        with captured_stdout() as out:
            result = op(left, right)
        return result, out.getvalue()

    def test_trace_and_reads(self):
        log = []
        p, q, r = (self.M(RDict(log, a=1, b="x")) for _ in range(3))
        p._data.tag, q._data.tag, r._data.tag = "p", "q", "r"
        r._data["a"] = 2
        reads = lambda n, o="q": ["p[%r]" % n, "%s[%r]" % (o, n)]  # noqa: E731
        for left, right, op, result, expect in [
            (p, q, "==", True, reads("a") + ["print a 1 1"] + reads("a") + ["print true"]
             + reads("b") + ["print b x x"] + reads("b") + ["print true"]),
            (p, q, "!=", False, None),
            # the first difference ends the walk; b is never read
            (p, r, "==", False, reads("a", "r") + ["print a 1 2"] + reads("a", "r") + ["print false"]),
            (p, r, "!=", True, None),
        ]:
            del log[:]
            with contextlib.redirect_stdout(Lines(log)):
                self.assertIs(left == right if op == "==" else left != right, result)
            self.assertEqual(log, expect or last)
            last = log[:]
        self.assertEqual(self.trace(p, q), (True, "a 1 1\ntrue\nb x x\ntrue\n"))
        with self.assertRaises(TypeError):
            hash(p)

    def test_dictionaries(self):
        p = self.M(a=1, b="x")
        other = {"a": "1", "b": "x"}
        self.assertEqual(self.trace(p, other), (True, "a 1 1\ntrue\nb x x\ntrue\n"))
        self.assertEqual(other, {"a": "1", "b": "x"})
        self.assertEqual(self.trace(other, p), (True, "a 1 1\ntrue\nb x x\ntrue\n"))
        self.assertEqual(self.trace(p, {"a": 2, "b": "x"}), (False, "a 1 2\nfalse\n"))
        self.assertEqual(self.trace(p, {"a": 1, "b": "x"}, operator.ne), (False, "a 1 1\ntrue\nb x x\ntrue\n"))
        log = []
        sub = RDict(log, a=1, b="x")
        self.assertEqual(self.trace(p, sub)[0], True)
        self.assertEqual(sub, {"a": 1, "b": "x"})
        # a dictionary that construction refuses makes the comparison raise
        for bad, exc, message in [({"a": 1}, ValueError, "Missing key [b] to construct Pair"),
                                  ({"a": 1, "b": 2, "z": 3}, ValueError, "Unexpected key provided: dict_keys(['z'])"),
                                  ({"a": "q", "b": 2}, ValueError, None), ({1: 2}, TypeError, None)]:
            with self.subTest(bad=bad), captured_stdout() as out:
                with self.assertRaises(exc) as cm:
                    p == bad
                if message:
                    self.assertEqual(cm.exception.args, (message,))
                self.assertEqual(out.getvalue(), "")

    def test_other_objects(self):
        p = self.M(a=1, b="x")
        md.raw(p)["ignored"] = 1
        # classes are never compared, nor members that are not fields
        N = make("Other", b=Field(), a=Field(), kind="n", extra=lambda self: 0)
        for other in [N(a=1, b="x"), types.SimpleNamespace(a=1, b="x", c=3)]:
            self.assertEqual(self.trace(p, other), (True, "a 1 1\ntrue\nb x x\ntrue\n"))
            self.assertEqual(self.trace(p, other, operator.ne), (False, "a 1 1\ntrue\nb x x\ntrue\n"))
        self.assertEqual(self.trace(N(a=1, b="x"), p), (True, "b x x\ntrue\na 1 1\ntrue\n"))
        for other in [5, None, "ab", object()]:
            for compare in [lambda: p == other, lambda: other == p, lambda: p != other]:
                with captured_stdout() as out, self.assertRaises(AttributeError):
                    compare()
                self.assertEqual(out.getvalue(), "")
        # a read that fails stops the walk before that field's line
        q = self.M(a=1, b="x")
        del md.raw(q)["b"]
        with captured_stdout() as out, self.assertRaises(KeyError) as cm:
            p == q
        self.assertEqual((cm.exception.args, out.getvalue()), (("b",), "a 1 1\ntrue\n"))
        # fieldless models equal anything but a dictionary they refuse
        E = make("Nothing")
        for other in [None, 5, E(), {}]:
            self.assertEqual(self.trace(E(), other), (True, ""))
            self.assertEqual(self.trace(E(), other, operator.ne), (False, ""))
        with self.assertRaises(ValueError):
            E() == {"a": 1}

    def test_nested_models_and_odd_comparisons(self):
        Outer = make("Outer", inner=ProxyField(INNER), z=Field())
        p, q, r = Outer(inner={"v": 1}, z=5), Outer(inner={"v": 1}, z=5), Outer(inner={"v": 2}, z=5)
        self.assertEqual(self.trace(p, q), (True, "inner I(1) I(1)\nv 1 1\ntrue\ntrue\nz 5 5\ntrue\n"))
        self.assertEqual(self.trace(p, r), (False, "inner I(1) I(2)\nv 1 2\nfalse\nfalse\n"))

        class Odd:
            def __init__(self, ne):
                self.ne = ne

            def __ne__(self, other):
                return self.ne

            def __repr__(self):
                return "odd"

        class Explodes:
            def __bool__(self):
                raise ZeroDivisionError

        M = make("Odd", a=Field())
        # self's value is on the left of !=, and its result is taken by truth
        self.assertEqual(self.trace(M(a=Odd([])), M(a=Odd("yes"))), (True, "a odd odd\ntrue\n"))
        self.assertEqual(self.trace(M(a=Odd("yes")), M(a=Odd([]))), (False, "a odd odd\nfalse\n"))
        with captured_stdout() as out, self.assertRaises(ZeroDivisionError):
            M(a=Odd(Explodes())) == M(a=1)
        self.assertEqual(out.getvalue(), "a odd 1\n")

    def test_live_field_map(self):
        def grow(self):
            md.model_fields(type(self))["late"] = None
            return 1

        M = make("Live", a=Field(), kind="k", grow=property(grow))
        fields = md.model_fields(M)
        saved = dict(fields)
        p, q = M(a=1), M(a=1)
        try:
            fields["kind"] = Field()
            self.assertEqual(self.trace(p, q), (True, "a 1 1\ntrue\nkind k k\ntrue\n"))
            del fields["a"]
            self.assertEqual(self.trace(p, q), (True, "kind k k\ntrue\n"))
            fields["grow"] = None
            with captured_stdout() as out, self.assertRaisesRegex(RuntimeError, "changed size during iteration"):
                p == q
            self.assertEqual(out.getvalue(), "kind k k\ntrue\ngrow 1 1\ntrue\n")
        finally:
            fields.clear()
            fields.update(saved)
        self.assertEqual(self.trace(p, q), (True, "a 1 1\ntrue\n"))


if __name__ == "__main__":
    unittest.main()
