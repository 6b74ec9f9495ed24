"""The direct slots and shortcuts of model classes behave exactly like the generic path.

Every scenario runs twice, each time on classes made afresh: once as `model`
returns them, and once after `__init__`, `__get__` and `__set__` were
reassigned to themselves, which makes the interpreter put its generic slot
functions back.  Results, exceptions, warnings, the dictionaries involved and
the log of calls on data dictionaries and declarations must all match.
"""
import importlib
import sys
import unittest
import warnings

import support
from support import Field, MultiField, ProxyField, md
from quenlory.fields.bases import ListField
from recording import RecordingField, RecordingMultiField, RecordingProxyField
from observe import outcome as attempt, show, slot as slot_value


def make(name, **members):
    return md.model(type(name, (), members))


class LogDict(dict):
    """A data dictionary that logs what is asked of it."""

    def __init__(self, log, *args, **kwargs):
        dict.__init__(self, *args, **kwargs)
        self.log = log

    def get(self, *args):
        self.log.append("get%r" % (args,))
        return dict.get(self, *args)

    def __contains__(self, key):
        self.log.append("in %r" % (key,))
        return dict.__contains__(self, key)

    def __getitem__(self, key):
        self.log.append("[%r]" % (key,))
        return dict.__getitem__(self, key)

    def __setitem__(self, key, value):
        self.log.append("[%r] = %s" % (key, show(value)))
        dict.__setitem__(self, key, value)

    def keys(self):
        self.log.append("keys")
        return dict.keys(self)


class WithMissing(LogDict):
    def __missing__(self, key):
        self.log.append("missing %r" % (key,))
        return "default of " + key


class LoudKey(str):
    """A keyword name whose comparisons are logged: each lookup of its name shows."""

    log = None

    def __eq__(self, other):
        LoudKey.log.append("%s == %r" % (str.__str__(self), other))
        return str.__eq__(self, other)

    __hash__ = str.__hash__


def loud_keywords(e, **items):
    LoudKey.log = e.log
    return {LoudKey(k): v for k, v in items.items()}


def bad(value):
    raise LookupError("refused %r" % (value,))


def identity(value):
    return value


class BadProxy(MultiField):
    def proxy(self, data, value):
        data["e"] = "touched"
        raise KeyError("boom")


def raw_pairs(nested, optional=False):
    """A compound whose cast hands the assigned value straight to the pair unpacking."""
    decl = ProxyField(nested, optional=optional)
    decl.cast = identity
    return decl


def force_generic(cls):
    cls.__init__ = cls.__dict__["__init__"]
    for prop in list(vars(cls).values()):
        kind = type(prop)
        if kind.__qualname__.startswith("model.<locals>"):
            kind.__get__ = kind.__dict__["__get__"]
            kind.__set__ = kind.__dict__["__set__"]


class Env:
    """One set of fresh model classes, optionally with the generic slots forced."""

    def __init__(self, generic, impl=md):
        self.log = log = []
        self.kept = []

        def make(name, **members):
            return impl.model(type(name, (), members))

        I = self.I = make("Inner", v=Field(int), w=Field(optional=True))
        self.P = make("Plain", x=Field(int), y=Field(str, default=" 5 "), z=Field(float, optional=True),
                      n=Field(factory=list), o=Field(optional=True), b=Field(bad, optional=True))
        self.C = make("Comp", c=ProxyField(I), oc=ProxyField(I, optional=True),
                      fc=ProxyField(I, factory=lambda: {"v": "9"}))
        self.R = make("Pairs", p=raw_pairs(I), op=raw_pairs(I, optional=True))
        self.M = make("Multi", m=MultiField(("a", "b")), om=MultiField(("c",), optional=True),
                      bm=BadProxy(("e",), optional=True))
        self.Rec = make("Rec", x=RecordingField(log, "x", int), d=RecordingField(log, "d", default="4"),
                        f=RecordingField(log, "f", factory=dict), o=RecordingField(log, "o", optional=True),
                        c=RecordingProxyField(log, "c", I, optional=True),
                        m=RecordingMultiField(log, "m", ("a", "b"), optional=True))
        self.S = type("Sub", (self.P,), {})

        def getattribute(inst, name):
            if name.startswith("_"):
                log.append("read " + name)
            return object.__getattribute__(inst, name)

        def setattr_(inst, name, value):
            log.append("write %s = %s" % (name, show(value)))
            object.__setattr__(inst, name, value)

        self.W = type("Watched", (self.P,), {"__getattribute__": getattribute, "__setattr__": setattr_})

        def shadow_get(inst):
            log.append("get _data")
            return inst.__dict__["d"]

        def shadow_set(inst, value):
            log.append("set _data = %s" % (show(value),))
            inst.__dict__["d"] = value

        # _data found as a property before the slot it shadows
        self.Sh = type("Shadow", (self.P,), {"_data": property(shadow_get, shadow_set)})
        if generic:
            for cls in (self.I, self.P, self.C, self.R, self.M, self.Rec):
                force_generic(cls)
        del log[:]

    def keep(self, d):
        self.kept.append(d)
        return d

    def D(self, cls=LogDict, **items):
        return self.keep(cls(self.log, items))


def new(cls, data=None):
    """An instance with construction skipped; `data` goes straight into the slot."""
    inst = object.__new__(cls)
    if data is not None:
        inst._data = data
        inst._compounds = {}
    return inst


def steps(*fns):
    return [attempt(fn) for fn in fns]


def assign(obj, attr, value):
    setattr(obj, attr, value)
    return getattr(obj, attr)


CONSTRUCTIONS = {
    "dict": lambda e: e.P(e.keep({"x": " 7 ", "z": "1e3", "o": None})),
    "keywords": lambda e: e.P(x=b"5", y=2.5, n=(1,), z=None),
    "both": lambda e: e.P(e.keep({"x": 1, "z": 2}), x="2", o=3),
    "logged dict": lambda e: e.P(e.D(x="3", o=4, z=None), y=1),
    "subclass": lambda e: (e.S(e.keep({"x": "1"})), e.S(x=2, y=3)),
    "watched subclass": lambda e: e.W(e.keep({"x": "1"}), z=1),
    "shadowed data slot": lambda e: e.Sh(e.keep({"x": "1"}), z=1),
    "compounds": lambda e: e.C(e.keep({"c": {"v": "1"}, "oc": None})),
    "compound keywords": lambda e: e.C(c=e.I(v=2), oc={"v": 3}, fc={"v": "4", "w": 5}),
    "compound logged": lambda e: e.C(e.D(c={"v": 1}, fc=None, oc=None)),
    "pairs": lambda e: (e.R(p=[1, 2]), e.R(p="ab", op=iter((3, 4)))),
    "multi components": lambda e: e.M(a=1, b=2, c=None),
    "multi own": lambda e: e.M(m=(1, 2), om={"c": 3}),
    "multi data": lambda e: e.M(e.keep({"a": 1, "b": 2, "c": 3})),
    "multi logged": lambda e: e.M(e.D(m=[1, 2], c=3)),
    "recorded defaults": lambda e: e.Rec(x="1"),
    "recorded everything": lambda e: e.Rec(e.D(x=1, a=1, b=2, d=None), c={"v": 1}, o=2, f=3),
    # errors
    "positional None": lambda e: e.P(None),
    "positional list": lambda e: e.P([("x", 1)]),
    "positional model": lambda e: e.P(e.P(x=1)),
    "stray key": lambda e: e.P(e.keep({"x": 1, "q": 2, "r": 3})),
    "stray key logged": lambda e: e.P(e.D(x=1, q=2)),
    "missing": lambda e: e.P(),
    "missing logged": lambda e: e.P(e.D(y=1)),
    "missing in subclass": lambda e: e.S(y=1),
    "leftover": lambda e: e.P(e.keep({"x": "1"}), zz=1, yy=2),
    "self keyword": lambda e: e.P(self=1),
    "self keyword, subclass": lambda e: e.S({}, x=1, self=1),
    "keyword not a string": lambda e: e.P(**{1: 2}),
    "keywords self and not a string": lambda e: e.P(**{"self": 1, 1: 2}),
    "keywords not a string and self": lambda e: e.P(x=1, **{2: 3}, self=4),
    "raising cast in data": lambda e: e.P(e.keep({"x": "abc"})),
    "raising cast keyword": lambda e: e.P(e.keep({"x": 1}), b=7),
    "compound missing": lambda e: e.C(oc={"v": 1}),
    "compound bad input": lambda e: e.C(e.keep({"c": 5})),
    "optional compound None": lambda e: e.C(c={"v": 1}, oc=None),
    "too many": lambda e: e.R(p=(1, 2, 3)),
    "too few": lambda e: e.R(p=(1,)),
    "none at all": lambda e: e.R(p=()),
    "not iterable": lambda e: e.R(p=5),
    "failing iteration": lambda e: e.R(p=(1 // 0 for _ in range(1))),
    "multi missing": lambda e: e.M(a=1),
    "multi both forms": lambda e: e.M(a=1, b=2, m=[3, 4]),
    "multi proxy raises": lambda e: e.M(e.keep({"a": 1, "b": 2}), e=5),
    "multi wrong size": lambda e: e.M(m=[1]),
    "recorded missing": lambda e: e.Rec(e.D(d=1)),
}

ACCESSES = {
    "plain reads": lambda e: (lambda p: steps(lambda: (p.x, p.y, p.z, p.o, p.n), lambda: p.b))(e.P(e.D(x=1))),
    "absent key": lambda e: (lambda p: steps(lambda: dict.pop(p._data, "x"), lambda: p.x, lambda: p.z))(
        e.P(e.keep({"x": 1}))),
    "absent key, __missing__": lambda e: (lambda p: steps(lambda: p.x, lambda: p.z))(
        new(e.P, e.D(WithMissing))),
    "plain writes": lambda e: (lambda p: steps(
        lambda: assign(p, "x", " 8 "), lambda: assign(p, "z", None), lambda: assign(p, "z", "1e3"),
        lambda: assign(p, "o", None), lambda: assign(p, "x", "abc"), lambda: assign(p, "b", 1),
        lambda: assign(p, "y", None), lambda: p.n.append(1)))(e.P(e.D(x=1))),
    "class-level reads": lambda e: steps(lambda: e.P.x, lambda: e.P.z, lambda: e.C.c, lambda: e.M.m,
                                         lambda: e.S.x, lambda: hasattr(e.P, "x")),
    "unset slots": lambda e: steps(lambda: new(e.P).x, lambda: new(e.P).z, lambda: assign(new(e.P), "x", "1"),
                                   lambda: assign(new(e.P), "x", "abc"), lambda: new(e.C).c,
                                   lambda: assign(new(e.C), "c", {"v": 1}), lambda: new(e.M).m,
                                   lambda: assign(new(e.M), "m", [1, 2]), lambda: assign(new(e.W), "x", 1)),
    "deletion": lambda e: (lambda p, c, m: steps(
        lambda: delattr(p, "x"), lambda: delattr(c, "c"), lambda: delattr(m, "m"),
        lambda: (p, c, m)))(e.P(x=1), e.C(c={"v": 1}), e.M(a=1, b=2)),
    "compound writes": lambda e: (lambda c: steps(
        lambda: assign(c, "c", {"v": "2"}), lambda: assign(c, "oc", None), lambda: assign(c, "oc", {"v": 5}),
        lambda: assign(c, "c", 5), lambda: c.c is c.c, lambda: c))(e.C(e.D(c={"v": 1}))),
    "pair writes": lambda e: (lambda r: steps(*(
        (lambda v: lambda: assign(r, "p", v))(v)
        for v in [(1, 2, 3), (1,), (), 5, None, "ab", [3, 4], iter([5, 6])]), lambda: r))(e.R(e.D(p=(1, 2)))),
    "logged compound dictionary": lambda e: (lambda c: steps(
        lambda: setattr(c, "_compounds", e.D(**dict(c._compounds))), lambda: c.c,
        lambda: assign(c, "c", {"v": 2}), lambda: c))(e.C(c={"v": 1})),
    "replaced data dictionary": lambda e: (lambda p: steps(
        lambda: setattr(p, "_data", e.D(x=5)), lambda: (p.x, p.z), lambda: assign(p, "x", "6")))(e.P(x=1)),
    "multi writes": lambda e: (lambda m: steps(
        lambda: assign(m, "m", (3, 4)), lambda: assign(m, "om", None), lambda: assign(m, "om", [5]),
        lambda: assign(m, "m", [1]), lambda: assign(m, "bm", 1), lambda: m))(e.M(e.D(a=1, b=2))),
    "renamed properties": lambda e: (lambda c, m: steps(
        lambda: setattr(vars(e.C)["c"], "name", "oc"), lambda: c.c, lambda: assign(c, "c", None),
        lambda: setattr(vars(e.C)["c"], "name", "zz"), lambda: c.c, lambda: assign(c, "c", {"v": 1}),
        lambda: setattr(vars(e.M)["m"], "name", "zz"), lambda: assign(m, "m", [1, 2]),
        lambda: (c, m)))(e.C(c={"v": 1}), e.M(a=1, b=2)),
    "watched subclass": lambda e: (lambda w: steps(
        lambda: (w.x, w.z), lambda: assign(w, "x", "2"), lambda: super(e.W, w).x))(e.W(x=1)),
    "shadowed data slot": lambda e: (lambda s: steps(
        lambda: (s.x, s.z), lambda: assign(s, "x", "2"), lambda: s.__dict__))(e.Sh(x=1)),
    "recorded writes": lambda e: (lambda r: steps(
        lambda: assign(r, "x", "5"), lambda: assign(r, "c", {"v": 2}), lambda: assign(r, "m", [1, 2]),
        lambda: assign(r, "o", None)))(e.Rec(x=1)),
}


class NestedEnv:
    """Models over nested declarations of the given classes: exactly ProxyField and ListField, which the core
    builds itself, or subclasses that change nothing, which keep calling their casts."""

    def __init__(self, proxy, listed):
        self.log = log = []
        self.grown = []  # where the cast below adds and takes items

        def cast(value):
            log.append("x(%r)" % (value,))
            if value == "grow":
                self.grown.append({"x": "added"})
            elif value == "shrink":
                del self.grown[-1]
            elif value == "swap":
                self.l.nested_model = self.J
            return value

        self.I = make("I", x=Field(cast), y=Field(optional=True))
        self.J = make("J", x=Field(lambda v: ("J", v)))
        self.p, self.l = proxy(self.I), listed(self.I)
        self.O = make("O", p=self.p, op=proxy(self.I, optional=True), l=self.l, ol=listed(self.I, optional=True),
                      fl=listed(self.I, factory=list))

    def D(self, **items):
        return LogDict(self.log, items)


class PyProxy(ProxyField):
    pass


class PyList(ListField):
    pass


NESTED = {
    "dicts": lambda e: e.O({"p": {"x": "1"}, "l": [{"x": "2"}, {"x": "3", "y": 4}], "ol": []}),
    "instances and dicts": lambda e: e.O(p=e.I(x=1), op={"x": 0}, l=[e.I(x=2), {"x": "3"}], fl=[e.I(x=4)]),
    "tuple and ListValue": lambda e: (lambda o: e.O(p=o.p, l=o.l, ol=(o.p, {"x": 6})))(e.O(p={"x": 5}, l=[{"x": 1}])),
    "optional None": lambda e: e.O(p={"x": 1}, l=[], ol=None, op=None),
    "dict subclasses": lambda e: e.O(p=e.D(x=1), l=[e.D(x=2), {"x": 3}]),
    "list grows and shrinks": lambda e: (e.grown.extend([{"x": "grow"}, {"x": 1}]), e.O(p={"x": 0}, l=e.grown),
                                         e.grown.extend([{"x": "shrink"}, {"x": 2}]), e.O(p={"x": 0}, l=e.grown)),
    "model swapped mid-list": lambda e: e.O(p={"x": 0}, l=[{"x": 1}, {"x": "swap"}, {"x": 2}]),
    "bad item": lambda e: e.O(p={"x": 1}, l=[{"x": 1}, 5]),
    "bad item, unnamed": lambda e: (setattr(e.l, "name", None), e.O(p={"x": 1}, l=[{"x": 1}, e.J(x=1)])),
    "bad compounds": lambda e: (attempt(lambda: e.O(p=5, l=[])), e.O(p=[], l=[])),
    "bad list": lambda e: e.O(p={"x": 1}, l={"x": 1}),
    "item cast raises": lambda e: e.O(p={"x": 1}, l=[{"x": 1}, {"x": 2, "z": 3}]),
    "assignments": lambda e: (lambda o: steps(
        lambda: assign(o, "p", {"x": 2}), lambda: assign(o, "l", [{"x": 3}, e.I(x=4)]), lambda: assign(o, "ol", None),
        lambda: assign(o, "l", [5]), lambda: assign(o, "p", [])))(e.O(p={"x": 1}, l=[])),
    "not a model any more": lambda e: (setattr(e.p, "nested_model", dict), e.O(p={"x": 1}, l=[])),
}


def run(scenario, generic, impl=md):
    env = Env(generic, impl)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = attempt(lambda: scenario(env))
    return {"result": result, "dicts": [show(d) for d in env.kept], "log": env.log,
            "warnings": [(w.category.__name__, str(w.message)) for w in caught]}


def reference():
    return importlib.import_module("baseline")


def kind(name, base=object, **methods):
    return type(name, (base,), methods)


def fail_str(self):
    raise RuntimeError("no text")


FloatSub = kind("FloatSub", float, __float__=lambda self: 9.5)
Number = kind("Number", __int__=lambda s: 11, __index__=lambda s: 12, __float__=lambda s: 13.5,
              __str__=lambda s: "fourteen")
IndexOnly = kind("IndexOnly", __index__=lambda s: 21)
# each conversion returns a subclass of the right type: converted, with a deprecation warning for int and float
Odd = kind("Odd", __int__=lambda s: True, __float__=lambda s: FloatSub(1.0), __str__=lambda s: kind("Text", str)("odd"))
StrFails = kind("StrFails", __str__=fail_str)

ODD_INPUTS = [" 7 ", "1e3", "1_000", "\u0663", "nan", "-inf", "abc", "", b"5", bytearray(b"6"), 2.75, 10 ** 20,
              True, None, FloatSub(2.5), kind("IntSub", int)(3), Number(), IndexOnly(), Odd(), StrFails(),
              kind("StrSub", str)(" 4 ")]


class DifferentialTest(unittest.TestCase):
    def compare(self, table):
        for name, scenario in table.items():
            with self.subTest(name):
                fast, generic = run(scenario, False), run(scenario, True)
                self.assertEqual(fast, generic)

    def test_constructions(self):
        self.compare(CONSTRUCTIONS)

    def test_reads_and_writes(self):
        self.compare(ACCESSES)

    def test_nested_models_built_in_the_core_as_their_casts_build_them(self):
        def nested(scenario, proxy, listed):
            env = NestedEnv(proxy, listed)
            return attempt(lambda: scenario(env)), env.log, show(env.grown)

        for name, scenario in NESTED.items():
            with self.subTest(name):
                self.assertEqual(nested(scenario, ProxyField, ListField), nested(scenario, PyProxy, PyList))
        # A subclass's own _to_pair is called, once per value.
        called = []

        class Own(ListField):
            def _to_pair(self, value):
                called.append(value)
                return ListField._to_pair(self, value)

        e = NestedEnv(ProxyField, Own)
        self.assertEqual((md.raw(e.O(p={"x": 1}, l=[{"x": 2}])), called),
                         ({"p": {"x": 1}, "l": [{"x": 2}], "fl": []}, [[{"x": 2}], []]))

    def test_keyword_names_of_a_str_subclass_are_asked_at_each_step(self):
        # Exact str names are tested and taken in one lookup; names whose comparisons run code are not.
        for generic in (False, True):
            e = Env(generic)
            e.P(**loud_keywords(e, x="1", z=2))
            self.assertEqual([line for line in e.log if "'self'" not in line], ["x == 'x'"] * 2 + ["z == 'z'"] * 2)

    @unittest.skipUnless(support.NATIVE, "compares the native module with the plain Python one")
    def test_same_as_reference(self):
        # The exact-dict shortcuts inside construction and the accessors are
        # the same code on both paths above, so they are held against the
        # plain Python implementation instead.  Only the wording for a
        # `self` keyword differs on purpose, and messages naming a class
        # carry each implementation's module name.
        base = reference()
        for name, scenario in list(CONSTRUCTIONS.items()) + list(ACCESSES.items()):
            if name.startswith("self keyword"):
                continue
            with self.subTest(name):
                ours, theirs = run(scenario, False), run(scenario, False, base)
                self.assertEqual(repr(ours), repr(theirs).replace(base.__name__ + ".", md.__name__ + "."))

    def test_casts_match_a_real_call(self):
        for cast in (int, str, float):
            for optional in (False, True):
                for value in ODD_INPUTS:
                    with self.subTest(cast=cast.__name__, optional=optional, value=value), \
                            warnings.catch_warnings(record=True) as caught:
                        warnings.simplefilter("always")
                        want = ("ok", ("NoneType", "None")) if optional and value is None else attempt(
                            lambda: cast(value))
                        want = (want, [str(w.message) for w in caught])
                        for generic in (False, True):
                            K = make("K", v=Field(cast, optional=optional))
                            if generic:
                                force_generic(K)
                            for way in (lambda: dict.get(K({"v": value})._data, "v"),
                                        lambda: dict.get(K(v=value)._data, "v"),
                                        lambda: assign(new(K, {}), "v", value)):
                                del caught[:]
                                got = attempt(way)
                                self.assertEqual((got, [str(w.message) for w in caught]), want)


def probe():
    return sys.modules["quenlory._probe"]


@unittest.skipUnless(support.NATIVE, "direct slots are native only")
class SlotsInPlaceTest(unittest.TestCase):
    """The differential tests above compare two different paths, not one path twice."""

    def test_keyword_data_dict_is_laid_out_as_a_grown_one(self):
        # A presized dict takes the general key layout from 3.11, a third larger than one of str keys grown as usual.
        M = md.model(type("M", (), {"f%d" % i: Field(int) for i in range(8)}))
        keywords, grown = {"f%d" % i: i for i in range(8)}, {}
        for key, value in keywords.items():
            grown[key] = value
        self.assertEqual(sys.getsizeof(md.raw(M(**keywords))), sys.getsizeof(grown))

    def test_fast_and_forced_slots_differ(self):
        class Plain:
            def __init__(self):
                pass

            def __get__(self, i, o):
                pass

        fast, forced = Env(False), Env(True)
        generic_get, _, generic_init = probe().slots(Plain)
        self.assertNotEqual(generic_init, probe().slots(object)[2])
        for env, same in ((fast, False), (forced, True)):
            self.assertEqual(probe().slots(env.P)[2] == generic_init, same)
            for prop in (vars(env.P)["x"], vars(env.C)["c"], vars(env.M)["m"]):
                self.assertEqual(probe().slots(type(prop))[0] == generic_get, same)

    def test_version_tags_behave_as_the_memos_expect(self):
        # The per-type memos of the fast paths hold while a type's version tag
        # does: nonzero once the type has been looked up, void after any change
        # (zeroed from 3.10, flag cleared on 3.9).  A memo that never hits is
        # invisible to every other test.
        tag = probe().type_tag
        P = Env(False).P
        P(x="1").x
        before = tag(P)
        self.assertNotEqual(before, 0)
        P.extra = 1
        self.assertEqual(tag(P), 0)
        P(x="1").x
        self.assertNotIn(tag(P), (0, before))


    @unittest.skipIf(support.FREE_THREADED, "nothing is remembered on the free-threaded build")
    def test_only_casts_that_live_for_good_write_in_line(self):
        # A write in line calls the cast it remembers without holding it.
        M = md.model(type("M", (), {"a": Field(int), "b": Field(lambda v: v)}))
        m = M(a=1, b=2)
        for _ in range(2):
            m.a, m.b = 3, 4
        self.assertIs(probe().write_cast(type(vars(M)["a"])), int)
        self.assertIsNone(probe().write_cast(type(vars(M)["b"])))


class OwnMethodsWinTest(unittest.TestCase):
    def test_own_init_wins(self):
        e = Env(False)
        calls = []
        own = lambda self, *args, **kwargs: calls.append((type(self).__name__, args, kwargs))
        init = e.P.__dict__["__init__"]
        e.P.__init__ = own  # reaches the subclass made before
        p, s = e.P(1, x=2), e.S(x=3)
        self.assertEqual(calls, [("Plain", (1,), {"x": 2}), ("Sub", (), {"x": 3})])
        self.assertEqual((slot_value(p, "_data"), slot_value(s, "_data")), ("<unset>", "<unset>"))
        e.P.__init__ = init  # put back, it builds again
        self.assertEqual(md.raw(e.S(x="4")), {"x": 4, "y": " 5 ", "n": []})
        e.S.__init__ = own
        self.assertEqual((md.raw(e.P(x=1))["x"], e.S(x=5) is not None, calls[-1]), (1, True, ("Sub", (), {"x": 5})))
        e.S.__init__ = lambda self: 1
        with self.assertRaisesRegex(TypeError, "should return None"):
            e.S()

    def test_own_new_and_abstract_methods_win(self):
        # The model class's own vectorcall takes the class call's steps only while __new__ is object's and the
        # class is not abstract.
        e = Env(False)
        e.P.__new__ = staticmethod(lambda cls, *args, **kwargs: ("new", args, kwargs))
        self.assertEqual(e.P(1, x=2), ("new", (1,), {"x": 2}))
        e = Env(False)
        e.P.__abstractmethods__ = frozenset({"f"})
        with self.assertRaisesRegex(TypeError, "abstract"):
            e.P(x=1)

    def test_subclass_with_own_init_reaches_the_model(self):
        e = Env(False)
        calls = []

        class Own(e.P):
            def __init__(self, *args, **kwargs):
                calls.append(kwargs)
                super().__init__(*args, **kwargs)

        self.assertEqual((md.raw(Own(x="1", y=2)), calls), ({"x": 1, "y": "2", "n": []}, [{"x": "1", "y": 2}]))
        with self.assertRaisesRegex(ValueError, r"^Missing key \[x\] to construct Plain$"):
            Own()

    def test_own_del_and_cycles_through_the_slots(self):
        import gc
        import weakref

        class Mark:
            pass

        log, back = [], []

        def late_del(self):
            log.append(("late", self.x))
            if not back:
                back.append(self)  # brought back once: finalised once, freed later

        M = make("M", x=Field(str), __del__=lambda self: log.append(("own", self.x)))
        L = make("L", x=Field(str))
        L.__del__ = late_del

        M(x="a")
        L(x="b")
        self.assertEqual((log, back[0].x), ([("own", "a"), ("late", "b")], "b"))
        back.clear()
        # a cycle through either slot is found and freed
        Q = make("Q", x=Field(str))
        for slot in ("_data", "_compounds"):
            p, mark = Q(x="d"), Mark()
            getattr(p, slot)["me"], getattr(p, slot)["mark"], held = p, mark, weakref.ref(mark)
            del p, mark
            gc.collect()
            self.assertIsNone(held(), slot)

    def test_own_get_and_set_win(self):
        e = Env(False)
        p, c, m = e.P(x=1), e.C(c={"v": 1}), e.M(a=1, b=2)
        seen = []
        for obj, name in ((p, "x"), (c, "c"), (m, "m")):
            kind = type(type(obj).__dict__[name])
            kind.__get__ = lambda self, instance, owner, name=name: "own " + name
            kind.__set__ = lambda self, instance, value: seen.append(value)
            setattr(obj, name, "new")
            self.assertEqual((getattr(obj, name), getattr(type(obj), name)), ("own " + name, "own " + name))
        self.assertEqual((seen, md.raw(p)["x"], md.raw(m)), (["new"] * 3, 1, {"a": 1, "b": 2}))
        self.assertEqual((e.S.x, p.z), ("own x", None))  # the subclass sees it; other fields keep theirs
        del type(vars(e.P)["x"]).__set__  # no longer a data descriptor, and the instance has no dict
        with self.assertRaises(AttributeError):
            p.x = 2


if __name__ == "__main__":
    unittest.main()
