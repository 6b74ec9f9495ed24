"""Hostile declarations, dictionaries, casts and callers: errors are raised, the process never dies.

Where both can run a scenario, the native module and the pure-Python reference
must leave the same record (results, errors, dictionaries, printed trace).
"""
import ctypes
import contextlib
import gc
import io
import unittest

import support
from support import Field, MultiField, ProxyField, md
import baseline
import quenlory.model_decorator as native
from observe import normal, raised, show

IMPLS = (native, baseline)


def make(impl, name, **members):
    return impl.model(type(name, (), members))


def both(case, scenario):
    """Run scenario(impl, do) for both implementations and require equal records."""
    records = []
    for impl in IMPLS:
        out = []

        def do(label, fn):
            made = None
            try:
                made = fn()
                result = ("ok", show(made))
            except Exception as exc:
                result = raised(exc)
            out.append(normal(repr((label, result))))
            return made

        with contextlib.redirect_stdout(io.StringIO()) as printed:
            scenario(impl, do)
        records.append(out + [normal(printed.getvalue())])
    case.assertEqual(records[0], records[1])
    return records[0]


class Hostile(unittest.TestCase):
    def test_dropped_models_leave_the_registries(self):
        while gc.collect():
            pass
        before = (len(md._fields), len(md._flat_fields))
        for i in range(150):
            inner = make(md, "DroppedInner", v=Field(int, optional=True))
            outer = make(md, "Dropped", c=ProxyField(inner), m=MultiField(("x", "y"), optional=True),
                         a=Field(default="1"), __eq__=lambda s, o: True)
            md.model(optional=i % 2)(type("Dropped", (), {"a": Field()}))
            inst = outer(c={"v": str(i)}, x=1, y=2)
            inst == {"c": {}}
            del inner, outer, inst
        while gc.collect():
            pass
        for registry in (md._fields, md._flat_fields):
            self.assertFalse([k for k in registry.keys() if k.__name__.startswith("Dropped")])
        self.assertEqual((len(md._fields), len(md._flat_fields)), before)

    def test_dictionaries_that_raise_or_change_under_construction_and_reads(self):
        def hostile(method, action):
            def hook(self, *args):
                if action == "raise":
                    raise LookupError(method)
                if action == "clear":
                    dict.clear(self)
                else:
                    dict.__setitem__(self, "x", "planted")
                return getattr(dict, method)(self, *args)
            return type("Hostile", (dict,), {method: hook})

        def scenario(impl, do):
            inner = make(impl, "Inner", v=Field(optional=True))
            cls = make(impl, "Host", c=ProxyField(inner, optional=True), m=MultiField(("x", "y"), optional=True),
                       a=Field(str, default=5), b=Field(optional=True))
            for method in ("keys", "get", "__contains__", "__getitem__", "__setitem__"):
                for action in ("raise", "clear", "plant"):
                    data = hostile(method, action)(a=1, b=None, c={"v": 2}, x=1, y=2)
                    do((method, action), lambda: cls(data))
                    do("data", lambda: data)
                    inst = cls.__new__(cls)
                    inst._data, inst._compounds = data, {}
                    for name in ("a", "b", "c"):
                        do("read " + name, lambda: getattr(inst, name))
                    do("write", lambda: setattr(inst, "a", 9))
                    do("dumps", lambda: impl.dumps(inst))
        both(self, scenario)

    def test_casts_that_change_the_data_or_build_more_instances(self):
        def scenario(impl, do):
            box = {}

            def clearing(value):
                box["data"].clear()
                return value

            def planting(value):
                box["data"].update(zz=1, b="7")
                return value

            def nesting(value):
                return box["cls"](box["data"]) if value == "again" else value

            cls = box["cls"] = make(impl, "Mut", a=Field(nesting), b=Field(int, optional=True), c=Field(clearing),
                                    d=Field(planting, optional=True))
            for items in ({"a": 1, "b": "2", "c": 3, "d": 4}, {"d": 4, "c": 3, "b": "2", "a": 1},
                          {"a": "again", "c": 1}):
                box["data"] = data = dict(items)
                do("construct", lambda: cls(data))
                do("data", lambda: data)
            endless = make(impl, "Endless", x=Field(lambda v: endless({"x": v})))
            do("endless", lambda: endless(x=1))

            # A cast that rewrites its own key and gives its value back: the value is still stored.
            def swapping(value):
                box["data"]["e"] = "swapped"
                return value
            swap = make(impl, "Swap", e=Field(swapping))
            box["data"] = data = {"e": "given"}
            do("own key rewritten", lambda: (swap(data), data)[1])
            # A multi-field's proxy frees a plain field's value, replacing it, before the plain fields are read.
            class Rewriting(MultiField):
                def proxy(self, data, value):
                    data["num"] = "".join(["4", "2"])
                    return super().proxy(data, value)
            rewrite = make(impl, "Rewrite", pos=Rewriting(("lat", "lon")), num=Field(int))
            do("plain value rewritten", lambda: rewrite({"lat": 1, "lon": 2, "num": "".join(["7", "7"])}).num)
            # A caller's own keyword dict, which a cast changes: the construction sees the keywords as given.
            call = ctypes.pythonapi.PyObject_Call
            call.restype, call.argtypes = ctypes.py_object, [ctypes.py_object] * 3
            keywords = {"a": "1", "b": "given"}
            kw = make(impl, "Kw", a=Field(lambda v: keywords.update(b="changed") or v), b=Field())
            do("caller's keywords", lambda: call(kw, (), keywords).b)
        both(self, scenario)

    def test_declarations_that_fail_halfway(self):
        def scenario(impl, do):
            inner = make(impl, "Inner", v=Field(optional=True))

            def halfway(value):
                yield value
                raise KeyError("second item")

            class Half(MultiField):
                def proxy(self, data, value):
                    data["x"] = "half"
                    raise LookupError("proxy")

            class Steps(MultiField):
                def components(self):
                    yield "x"
                    raise IndexError("components")

            class Items:
                def items(self):
                    return iter([("a", 1), ("b",)])

            class Flat(ProxyField):
                def flat_fields(self, prefix):
                    return Items()

            pair = ProxyField(inner)
            pair.cast = halfway
            cls = make(impl, "Half", m=Half(("x", "y"), optional=True), c=pair)
            do("proxy", lambda: cls({"x": 1, "y": 2}, c={}))
            data = {"c": {}}
            do("pair", lambda: cls(data, m=(1, 2)))
            do("data", lambda: data)
            do("components", lambda: make(impl, "Steps", s=Steps(())))
            do("flat", lambda: make(impl, "Flat", f=Flat(inner)))
        both(self, scenario)

    def test_declaration_attributes_that_raise(self):
        def flaky(base, attr, after):
            """A declaration class whose `attr` is a property that raises from its read number after+1 on."""
            count = [0]

            def get(self):
                count[0] += 1
                if count[0] > after:
                    raise ArithmeticError("%s #%d" % (attr, count[0]))
                return self.__dict__[attr] if attr in self.__dict__ else getattr(super(kind, self), attr)

            kind = type("Flaky", (base,), {attr: property(get, lambda self, v: self.__dict__.__setitem__(attr, v))})
            return kind

        def scenario(impl, do):
            inner = make(impl, "Inner", v=Field(optional=True))
            for attr, base, args, value in (
                    ("cast", Field, (), "1"), ("metadata", Field, (), "1"), ("cast", ProxyField, (inner,), {"v": 1}),
                    ("metadata", ProxyField, (inner,), {}), ("flat_fields", ProxyField, (inner,), {}),
                    ("proxy", MultiField, (("x",),), [1]), ("components", MultiField, (("x",),), [1]),
                    ("cast", MultiField, (("x",),), [1]), ("metadata", MultiField, (("x",),), [2])):
                for after in range(6):
                    decl = flaky(base, attr, after)(*args, optional=after % 2 == 0)
                    cls = do((attr, base.__name__, after), lambda: make(impl, "F", f=decl))
                    if cls is not None:
                        inst = do("empty", lambda: cls())
                        do("given", lambda: cls(f=value))
                        do("write", lambda: setattr(inst, "f", value))
        both(self, scenario)

    def test_comparisons_that_fail(self):
        class Verdict:
            def __bool__(self):
                raise ZeroDivisionError("truth")

        class Odd:
            def __init__(self, how):
                self.how = how

            def __ne__(self, other):
                if self.how == "ne":
                    raise OverflowError("ne")
                if self.how == "grow":
                    self.fields["z%d" % len(self.fields)] = Field()
                return Verdict() if self.how == "verdict" else False

            def __str__(self):
                if self.how == "str":
                    raise UnicodeError("str")
                return "Odd(%s)" % self.how

        def scenario(impl, do):
            for how in ("verdict", "ne", "str", "grow"):
                cls = make(impl, "Cmp", a=Field(), b=Field(optional=True))
                Odd.fields = impl.model_fields(cls)
                do(how, lambda: cls(a=Odd(how)) == cls(a=1))
                do(how + " !=", lambda: cls(a=1, b=Odd(how)) != cls(a=1))
            cls = make(impl, "Cmp", a=Field(), b=Field(optional=True))
            loop = cls(a=None)
            loop.a = loop
            with contextlib.redirect_stdout(io.StringIO()):  # its length depends on the stack each one uses
                do("self", lambda: loop == cls(a=loop))
            circle = cls(a=1, b={})
            circle.b["again"] = impl.raw(circle)
            do("data loop", lambda: impl.dumps(circle))
            do("dict keys", lambda: cls(a=1) == {1: 2})
        lines = both(self, scenario)
        self.assertIn("RecursionError", "".join(lines))
        self.assertIn("dictionary changed size during iteration", "".join(lines))

    def test_rebound_model_makes_capture_recurse(self):
        capture = md.model()
        with support.rebound("model", capture):
            with self.assertRaises(RecursionError):
                capture(type("Loop", (), {"a": Field()}))
        self.assertEqual(md.model(type("After", (), {"a": Field(int)}))(a="2").a, 2)

    def test_instances_outlive_their_class(self):
        inner = make(md, "Inner", v=Field(int))
        cls = make(md, "Gone", a=Field(int), c=ProxyField(inner), m=MultiField(("x", "y")))
        insts = [cls({"a": "1", "x": 1, "y": 2}, c={"v": "3"}) for _ in range(2)]
        del cls, inner
        gc.collect()
        first, second = insts
        first.a, first.c = "5", {"v": "6"}
        with contextlib.redirect_stdout(io.StringIO()):
            self.assertEqual((first == second, first != second, second == {"a": 1, "c": {"v": 3}, "x": 1, "y": 2}),
                             (False, True, True))
        self.assertEqual((first.a, first.c.v, list(first.m), md.dumps(second)),
                         (5, 6, [1, 2], '{"a": 1, "x": 1, "y": 2, "c": {"v": 3}}'))
        self.assertEqual(type(first)(a=2, c={"v": 1}, m=(1, 2)).a, 2)

    def test_keyword_dict_changed_by_a_cast(self):
        def scenario(impl, do):
            kw = {}

            def meddle(value):
                kw["b"] = "changed"
                kw.pop("c", None)
                kw["zz"] = 1
                return value

            cls = make(impl, "Kw", a=Field(meddle), b=Field(), c=Field(optional=True))
            probe = cls(a=0, b=2, c=3)
            for call in (lambda: cls(**kw), lambda: type.__call__(cls, **kw),
                         lambda: cls.__init__(cls.__new__(cls), **kw), lambda: probe == kw):
                kw.clear()
                kw.update(a=1, b=2, c=3)
                do("call", call)
                do("kw", lambda: kw)
        both(self, scenario)

    def test_key_check_sees_a_dictionary_changed_by_a_key_hash_or_eq(self):
        class Key:
            """Stands for `name`; hashing it (or comparing it) takes `victim` out of `data`."""
            data = None

            def __init__(self, name, victim, on_hash):
                self.name, self.victim, self.on_hash = name, victim, on_hash

            def __hash__(self):
                if self.on_hash and self.data is not None:
                    self.data.pop(self.victim, None)
                return hash(self.name)

            def __eq__(self, other):
                if not self.on_hash and self.data is not None:
                    self.data.pop(self.victim, None)
                return other == self.name

        def scenario(impl, do):
            # a data key whose hash changes the dictionary
            key = Key("a", "zz", True)
            data = {key: 1, "zz": 2}
            key.data = data
            do("hash", lambda: make(impl, "P", a=Field(optional=True))(data))
            # a component key that compares equal to a data key and changes the dictionary meanwhile
            key = Key("zz", "yy", False)
            cls = make(impl, "P", a=Field(optional=True), m=MultiField((key,), optional=True))
            key.data = data = {"zz": 1, "yy": 2}
            do("eq", lambda: cls(data))
        record = both(self, scenario)
        self.assertIn("dictionary changed size", record[0])
        self.assertIn("Unexpected key provided: set()", record[1])
