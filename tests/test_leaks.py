"""Every leak loop of the suite, as one table: decoration, reads and writes, construction, equality, the
introspection functions, raw and dumps, and the argument errors of the functions the module makes, each run many
times, leave no memory behind, error paths included.

A row is a name, whether it measures the extension alone (the reference's own allocations are no concern), and a
function giving the calls to measure with the options of support.assert_no_leak. The models of a row come from
the suite that tests that behaviour."""
import abc
import datetime
import unittest

import support
import test_functions
import test_instances
import test_module
import test_serialisation
from support import Field, MultiField, ProxyField, md, model

FREE = support.FREE_THREADED


class Inner:
    v = Field(int)


INNER = model(Inner)


def decorate(**body):
    return model(type("Leaky", (), body))


class Broken(ProxyField):
    __slots__ = ()

    def flat_fields(self, prefix):
        raise LookupError(prefix)


def decoration():
    # A leak here costs at least a block per decoration.  The slack absorbs caches that settle slowly and the
    # interpreter's own steady growth when classes are made and dropped: the pure-Python reference
    # (QUENLORY_IMPL=baseline) grows by 100 to 300 blocks per 1000 decorations of this body too.
    bodies = [
        lambda: {"a": Field(int), "b": Field(str, optional=True), "c": ProxyField(INNER),
                 "m": MultiField(("x", "y")), "p": property(lambda self: 1), "f": lambda self: 2, "s": 3},
        lambda: {"a": Field(), "m": MultiField(("a", "b"))},          # collision
        lambda: {"a": Field(), "_data": 1},                            # reserved name
        lambda: {"c": Broken(INNER)},                                  # flat_fields raises
    ]
    # The free-threaded build runs four times as many and frees some memory late (other threads might still
    # read it): there the count settles about 0.2 blocks a decoration higher, still far below a leak's one.
    options = dict(n=1000, warmup=300, slack=1600 if FREE else 300)
    for body in bodies:
        yield (lambda body=body: decorate(**body())), options
    capture = model(optional=True)
    yield (lambda: capture(type("Captured", (), {"a": Field(int)}))), options


def reads_and_writes():
    M = decorate(a=Field(int), o=Field(int, optional=True), c=ProxyField(INNER, optional=True),
                 m=MultiField(("x", "y"), optional=True))
    m = M(a=1, c={"v": 1}, x=1, y=2)
    empty = object.__new__(M)

    def assign(name, value):
        return lambda: setattr(m, name, value)

    calls = [
        lambda: m.a, lambda: m.o, lambda: m.c, lambda: m.m, lambda: M.a, lambda: M.c, lambda: empty.a,
        assign("a", "5"), assign("a", "x"), assign("o", None), assign("c", {"v": 2}), assign("c", None),
        assign("c", {"zz": 1}), assign("m", (3, 4)), assign("m", (1, 2, 3)), assign("m", None),
        lambda: delattr(m, "a"), lambda: delattr(m, "c"), lambda: setattr(empty, "a", 1),
        lambda: support.raw(m), lambda: support.dumps(m),
    ]
    for call in calls:
        yield call, {}


def argument_errors():
    errors = test_functions.ArgumentErrorTest
    calls = []
    for fn in errors.one_argument(None):
        calls += [lambda fn=fn: fn(), lambda fn=fn: fn(1, 2), lambda fn=fn: fn(1, obj=2)]
    for fn, names in errors.fixed(None):
        n, first, last = len(names), names[0], names[-1]
        calls += [lambda fn=fn, n=n: fn(*range(n + 1)), lambda fn=fn, k=first: fn(**{k: 1}),
                  lambda fn=fn, n=n, k=last: fn(*range(n), **{k: 1}), lambda fn=fn, n=n: fn(*range(n), zzz=1)]
    init, cls = test_functions.sample().__dict__["__init__"], test_functions.sample()
    calls += [lambda: md.model(1, 2), lambda: md.model(None, cls=None), lambda: md.model(tag=1),
              lambda: init(), lambda: init(cls.__new__(cls), self=1), lambda: init(cls.__new__(cls), x=1)]
    for call in calls:
        yield call, dict(n=500)
    # decoration settles caches slowly, and the interpreter grows by itself as classes come and go (see the
    # decoration row); a real leak would still cost a block per call (2,000 calls on the free-threaded build, whose
    # collector settles a few hundred blocks more)
    yield (lambda: md.model()(type("Leak", (), {"a": Field(int)}))), dict(n=500, slack=600 if FREE else 300)


def quiet(calls):
    # print to a sink that keeps nothing: collected text would count as growth
    for call in calls:
        yield (lambda call=call: test_instances.quietly(call)), dict(n=1000)


def construction():
    make, inner, fail = test_instances.make, test_instances.INNER, test_instances.fail
    M = make("Full", c=ProxyField(inner, optional=True), k=test_instances.LooseProxy(lambda v: v, optional=True),
             m=MultiField(("a", "b"), optional=True), n=MultiField(("p",), default=[1]), x=Field(int),
             y=Field(default=0), f=Field(factory=list), o=Field(optional=True))
    B = make("Bad", x=Field(factory=fail), m=test_instances.BadProxy(("a",), optional=True), c=ProxyField(inner))
    return quiet([
        lambda: M(x=1), lambda: M({"x": "1", "a": 1, "b": 2, "c": {"v": 1}, "p": 0}, o=None),
        lambda: M({"m": [1, 2], "n": [3]}, x=1, k=(1, 2)), lambda: M(x=1, a=1, b=2, m=0),
        lambda: M(x=1, m=[1]), lambda: M(x=1, a=1), lambda: M(x=1, k=[1, 2, 3]), lambda: M(x=1, k=[1]),
        lambda: M(x=1, k=5), lambda: M(x=1, k=None), lambda: M(x=1, k=iter("abc")), lambda: M(None),
        lambda: M({"zz": 1}), lambda: M(), lambda: M(x=1, zz=2, yy=3), lambda: M(x="bad"),
        lambda: M(x=1, c={"zz": 1}), lambda: M(self=1), lambda: B(c={"v": 1}), lambda: B(a=1, x=1, c={"v": 1}),
        lambda: B(x=1), lambda: B({"c": {"v": 1}}, x=1), lambda: B(dict.fromkeys("ab"), x=1),
    ])


def equality():
    make, inner = test_instances.make, test_instances.INNER
    M = make("Pair", a=Field(int), b=ProxyField(inner, optional=True))
    Outer = make("Outer", inner=ProxyField(inner))
    E = make("Nothing")
    p, q, r = M(a=1, b={"v": 1}), M(a=1, b={"v": 1}), M(a=2)
    missing = M(a=1)
    del md.raw(missing)["a"]
    return quiet([
        lambda: p == q, lambda: p != r, lambda: p == {"a": "1", "b": {"v": 1}}, lambda: p == {"a": 1},
        lambda: p == {"a": 1, "z": 0}, lambda: p == {1: 2}, lambda: p == 5, lambda: p == missing,
        lambda: Outer(inner={"v": 1}) == Outer(inner={"v": 2}), lambda: E() == 5, lambda: E() == {"a": 1},
    ])


def introspection():
    sample = test_module.sample_model()
    for arg in (sample, type("Plain", (), {}), None, 5, abc.ABC):
        for fn in (support.model_fields, support.model_fields_flat):
            yield (lambda fn=fn, arg=arg: fn(arg)), {}


def serialisation():
    raw, dumps = support.raw, support.dumps
    _, outer = test_serialisation.models()
    good, bad, looped = outer(a=1, p={"v": 2}, lat=1, lon=2), outer(a=1, z=datetime.date(2020, 1, 2)), outer(a=1)
    looped.z = [raw(looped)]
    try:
        for call in (lambda: raw(good), lambda: dumps(good), lambda: dumps(bad), lambda: dumps(looped),
                     lambda: raw(object()), lambda: dumps(object()), lambda: raw(good, obj=1),
                     lambda: dumps(good, good)):
            yield call, {}
    finally:
        looped.z = None


TABLE = [
    ("decoration", True, decoration),
    ("reads and writes", False, reads_and_writes),
    ("argument errors of the module's functions", False, argument_errors),
    ("construction", False, construction),
    ("equality", False, equality),
    ("model_fields and model_fields_flat", False, introspection),
    ("raw and dumps", False, serialisation),
]


class Leaks(unittest.TestCase):
    @support.before_threads
    def test_table(self):
        for name, native_only, calls in TABLE:
            if native_only and not support.NATIVE:  # measures the extension's own allocations
                continue
            for i, (call, options) in enumerate(calls()):
                with self.subTest(name, i=i):
                    support.assert_no_leak(self, call, **options)


if __name__ == "__main__":
    unittest.main()
