"""Seeded differential fuzz: the native module against the pure-Python reference.

`observe(impl, seed)` draws one random scenario from `seed` (models with plain,
optional, default and factory fields, compounds over small nested models,
multi-fields with clashing components, properties, methods, dunder members and
static values, decorated in one of several ways) and plays it against one
implementation: decoration, constructions from dictionaries and keywords,
reads, writes, deletions, equality with its trace, raw, dumps and hashing.
Every step appends one normalised text to the result, together with the calls
that declarations, casts, proxies, factories and data dictionaries saw. Both
implementations draw the same choices, so their results must be equal.

    python tests/fuzzgen.py [--count N] [--seed S]   # S defaults to a random seed, printed
"""
import argparse
import contextlib
import io
import os
import random
import re
import sys
import time

_HERE = os.path.dirname(os.path.abspath(__file__))
if _HERE not in sys.path:
    sys.path.insert(0, _HERE)

import baseline  # noqa: E402
import quenlory.model_decorator as native  # noqa: E402
from quenlory.fields.bases import Field  # noqa: E402
from recording import RecordingField, RecordingMultiField, RecordingProxyField  # noqa: E402

LOG = []  # the calls seen by everything a scenario builds
NAMES = ("a", "b", "c", "d", "e", "f")
KEYS = NAMES + ("p", "q", "zz", "a.v", "c.w")


# ---- casts, proxies and factories: module-level so that logs show the same names ----

def picky(value):
    if isinstance(value, str) and value == "bad":
        raise ValueError("picky refuses %r" % (value,))
    return value


def failing_proxy(data, value):
    data["q"] = "half"
    raise LookupError("proxy gave up")


def _named(name, fn):
    fn.__name__ = fn.__qualname__ = name
    return fn


# Casts of every shape (compound casts must give pairs, and some do not), and proxies.
boxed = _named("boxed", lambda v: [v])
COMPOUND_CASTS = [None, None, None] + [_named(name, fn) for name, fn in (
    ("pair_same", lambda v: (v, v)), ("pair_list", lambda v: [picky(v), {"k": v}]), ("two_chars", lambda v: "ab"),
    ("one_item", lambda v: (v,)), ("three_items", lambda v: (v, v, v)), ("nothing", lambda v: None),
    ("gen_two", lambda v: iter((v, 1))), ("gen_three", lambda v: (x for x in (v, 1, 2))))]
PROXIES = [None, None, None, _named("echo_proxy", lambda data, v: ("proxied", v)),
           _named("grabbing_proxy", lambda data, v: (data.__setitem__("p", v), len(data))[1]), failing_proxy]


class Factory:
    def __init__(self, kind):
        self.kind, self.calls = kind, 0

    def __call__(self):
        self.calls += 1
        return VALUES[self.kind]() if self.kind < len(VALUES) else ["made", self.calls]

    def __repr__(self):
        return "Factory(%d)" % self.kind


class RDict(dict):
    """A data dictionary that logs what it is asked."""

    def keys(self):
        LOG.append("keys()")
        return dict.keys(self)

    def get(self, *args):
        LOG.append("get%r" % (args,))
        return dict.get(self, *args)

    def __contains__(self, key):
        LOG.append("in %r" % (key,))
        return dict.__contains__(self, key)

    def __getitem__(self, key):
        LOG.append("[%r]" % (key,))
        return dict.__getitem__(self, key)

    def __setitem__(self, key, value):
        LOG.append("[%r] = %s" % (key, show(value)))
        dict.__setitem__(self, key, value)


class MDict(dict):
    def __missing__(self, key):
        return "missing " + str(key)


def log_getattribute(self, name):
    LOG.append("getattr " + name)
    return object.__getattribute__(self, name)


def log_setattr(self, name, value):
    LOG.append("setattr %s = %s" % (name, show(value)))
    object.__setattr__(self, name, value)


def custom_eq(self, other):
    LOG.append("custom eq")
    return NotImplemented


def own_init(self, *args, **kwargs):
    LOG.append("own init %d %d" % (len(args), len(kwargs)))


custom_repr = _named("custom_repr", lambda self: "R<%s>" % type(self).__name__)
custom_hash = _named("custom_hash", lambda self: 42)
method = _named("method", lambda self: "method")
read_a = _named("read_a", lambda self: self._data.get("a", "no a"))
Nested = type("Nested", (), {})

VALUES = [
    lambda: 0, lambda: 1, lambda: 7, lambda: "3", lambda: "12", lambda: "x", lambda: "bad", lambda: None,
    lambda: None, lambda: 2.5, lambda: "", lambda: True, lambda: [1, 2], lambda: [1, "bad"], lambda: (3, 4),
    lambda: {"v": 1}, lambda: {"v": "bad"}, lambda: {"v": "2", "w": 2}, lambda: {"zz": 1}, lambda: {},
    lambda: {"a": 1, "b": 2, "p": 3}, lambda: "ab", lambda: 10 ** 20, lambda: float("nan"),
]
PLAIN_CASTS = [None, None, int, float, str, picky, boxed]
MULTI_CASTS = [None, None, picky, list]
OPTIONAL = [True, True, 1, "yes", 0, "", None, False]


# ---- observation -------------------------------------------------------------------------------

def is_model(v):
    return any("_compounds" in vars(k) for k in type(v).__mro__)


def slot(v, name):
    for k in type(v).__mro__:
        if name in vars(k):
            try:
                return vars(k)[name].__get__(v, type(v))
            except AttributeError:
                return "<unset>"


def show(v, depth=0):
    """A comparable picture of a value that never calls back into it."""
    if depth > 5:
        return "..."
    t = type(v)
    if issubclass(t, dict):
        return (t.__name__, [(show(k, depth + 1), show(x, depth + 1)) for k, x in dict.items(v)])
    if t in (list, tuple):
        return (t.__name__, [show(x, depth + 1) for x in v])
    if is_model(v):
        return ("model", t.__name__, show(slot(v, "_data"), depth + 1), show(slot(v, "_compounds"), depth + 1))
    if t.__name__ == "MultiValue":
        return ("MultiValue", v._keys, show(v._data, depth + 1))
    if t.__name__ in ("function", "native_function"):
        return ("function", v.__qualname__)
    return (t.__name__, repr(v))


_NORMAL = [
    (re.compile(r" at 0x[0-9a-fA-F]+"), " at 0x?"),
    (re.compile(r"\b(quenlory\.model_decorator|baseline)\."), "M."),
    (re.compile(r"\bnative_function\b"), "function"),
    (re.compile(r"(maximum recursion depth exceeded)[^'\"]*"), r"\1"),
    # the wording of argument errors differs between native and Python functions
    (re.compile(r"TypeError', '[^']*(keywords must be strings|got multiple values for)[^']*'"), r"TypeError', '\1'"),
]


def normal(text):
    for pattern, repl in _NORMAL:
        text = pattern.sub(repl, text)
    return text


class Scenario:
    def __init__(self, impl, seed):
        self.impl, self.rng, self.out, self.shared = impl, random.Random(seed), [], None

    def attempt(self, fn):
        """("ok", picture) or ("raise", type, message); the object made is kept in `made`."""
        self.made = None
        try:
            self.made = fn()
            return ("ok", show(self.made))
        except Exception as exc:
            return ("raise", type(exc).__name__, str(exc))

    def note(self, *what):
        calls, LOG[:] = LOG[:], []
        self.out.append(normal(repr(what + (calls,) if calls else what)))

    def chance(self, p):
        return self.rng.random() < p

    def value(self, inner=None):
        r = self.rng.random()
        if inner is not None and r < 0.08:
            made = self.attempt(lambda: inner({"v": self.rng.choice(("1", 5, "bad"))}))
            self.note("inner value", made)
            return self.made if made[0] == "ok" else "no inner"
        return self.rng.choice(VALUES)()

    def metadata(self, inner=None):
        meta = {}
        if self.chance(0.25):
            meta["default"] = self.value(inner)
        if self.chance(0.2):
            meta["factory"] = Factory(self.rng.randrange(len(VALUES) + 1))
        if self.chance(0.35):
            meta["optional"] = self.rng.choice(OPTIONAL)
        if self.chance(0.05):
            meta["extra"] = 1
        return meta

    def decorate(self, cls):
        rng, model = self.rng, self.impl.model
        meta = self.metadata() if self.chance(0.3) else {}
        how = rng.randrange(5)
        if how == 0:
            return model(cls)
        if how == 1:
            return model(None, **meta)(cls)
        if how == 2:
            return model(cls, **meta)
        if how == 3:
            return model(**meta)(cls)
        return model(cls=cls, **meta)

    def inner_model(self, index):
        rng, tag = self.rng, "I%d" % index
        ns = {"v": RecordingField(LOG, tag + ".v", rng.choice(PLAIN_CASTS), **self.metadata()),
              "w": RecordingField(LOG, tag + ".w", optional=True)}
        if self.chance(0.3):
            ns["__repr__"] = custom_repr
        made = self.attempt(lambda: self.decorate(type("Inner%d" % index, (), ns)))
        self.note("inner", made)
        return self.made if made[0] == "ok" else None

    def field(self, name, inners):
        rng = self.rng
        kind = rng.random()
        inner = rng.choice(inners) if inners else None
        if kind < 0.45 or (kind < 0.7 and inner is None):
            return RecordingField(LOG, name, rng.choice(PLAIN_CASTS), **self.metadata(inner))
        if kind < 0.7:
            decl = RecordingProxyField(LOG, name, inner, **self.metadata(inner))
            cast = rng.choice(COMPOUND_CASTS)
            if cast is not None:
                object.__setattr__(decl, "cast", decl._logged("cast", cast))
            return decl
        components = [rng.choice(NAMES + ("p", "q", name, 5)) for _ in range(rng.choice((0, 1, 2, 2, 3)))]
        decl = RecordingMultiField(LOG, name, components, rng.choice(MULTI_CASTS), **self.metadata())
        proxy = rng.choice(PROXIES)
        if proxy is not None:
            object.__setattr__(decl, "proxy", proxy)
        return decl

    def member(self, name, inners):
        r = self.rng.random()
        if r < 0.7:
            return self.field(name, inners)
        return self.rng.choice([property(read_a), method, staticmethod(method), classmethod(method), Nested, 5, "s",
                                None, [1], Factory(0)])

    def build(self):
        rng = self.rng
        inners = [c for c in (self.inner_model(i) for i in range(rng.choice((0, 1, 1, 2)))) if c is not None]
        ns, self.keys = {}, []
        for _ in range(rng.randrange(7)):
            name = rng.choice(NAMES)
            ns[name] = self.member(name, inners)
        for name, value in ns.items():
            if isinstance(value, Field):
                self.keys += [name] + list(getattr(value, "_components", ()))
        for name, value, p in (("__repr__", custom_repr, 0.2), ("__hash__", custom_hash, 0.1),
                               ("__hash__", None, 0.05), ("__eq__", custom_eq, 0.05), ("__x", 1, 0.05),
                               ("y__", 2, 0.05), ("__getattribute__", log_getattribute, 0.07),
                               ("__setattr__", log_setattr, 0.07), ("__init__", own_init, 0.02),
                               ("_data", 3, 0.01)):
            if self.chance(p):
                ns[name] = value
        cls = type(rng.choice(("Point", "Thing", "Box")), (), ns)
        self.note("class", list(ns))
        result = self.attempt(lambda: self.decorate(cls))
        if result[0] == "ok" and self.chance(0.1):  # the same class again: declarations are mutated twice
            result = self.attempt(lambda: self.decorate(cls))
        self.note("model", result)
        if result[0] != "ok":
            return None, inners
        Cls = self.made
        self.note("namespace", [(k, type(v).__name__) for k, v in vars(Cls).items()],
                  [(k, v._tag if hasattr(v, "_tag") else show(v)) for k, v in self.impl.model_fields(Cls).items()],
                  list(self.impl.model_fields_flat(Cls)))
        return Cls, inners

    def inputs(self, inners):
        """A positional argument (usually a dictionary) and keywords, mostly over the model's own keys."""
        rng = self.rng
        inner = rng.choice(inners) if inners else None
        data = rng.choice((dict, dict, RDict, MDict))() if self.chance(0.75) else None
        kwargs = {}
        for key in self.keys + [rng.choice(KEYS)] * self.chance(0.15):
            r = rng.random()
            if r < 0.4 and data is not None:
                dict.__setitem__(data, key, self.value(inner))
            elif r < 0.65 and isinstance(key, str):
                kwargs[key] = self.value(inner)
        if self.chance(0.1) and self.shared is not None:  # a dictionary that an instance already holds
            data = self.shared
        self.shared = data
        if data is not None:
            args = (data,) if self.chance(0.95) else (data, "ignored")
        else:
            args = rng.choice(((), (), (), (), (None,), ([1],)))
        return data, args, kwargs

    def play(self):
        Cls, inners = self.build()
        if Cls is None:
            return
        rng, impl = self.rng, self.impl
        names = list(impl.model_fields(Cls))
        instances = []
        for _ in range(rng.randint(1, 5)):
            data, args, kwargs = self.inputs(inners)
            self.note("construct", show(args), show(kwargs))
            if instances and self.chance(0.05):  # __init__ again on a live instance
                again = instances[-1]
                self.note("reinit", self.attempt(lambda: again.__init__(*args, **kwargs)), show(data),
                          show(slot(again, "_compounds")))
                continue
            made = self.attempt(lambda: Cls(*args, **kwargs))
            self.note("constructed", made, show(data))
            if made[0] == "ok":
                instances.append(self.made)
        for inst in instances:
            for name in names + ["zz"]:
                self.note("read", name, self.attempt(lambda: getattr(inst, name)))
            self.note("raw", self.attempt(lambda: impl.raw(inst)), self.attempt(lambda: impl.dumps(inst)),
                      self.attempt(lambda: hash(inst)), self.attempt(lambda: repr(inst)))
            for _ in range(rng.randrange(3)):
                name = rng.choice(names + ["zz", "_data", "_compounds"])
                value = self.value(inners[0] if inners else None)
                if self.chance(0.1):
                    self.note("delete", name, self.attempt(lambda: delattr(inst, name)))
                else:
                    self.note("write", name, show(value), self.attempt(lambda: setattr(inst, name, value)))
                self.note("after", show(slot(inst, "_data")), show(slot(inst, "_compounds")))
        if names:
            self.note("class read", self.attempt(lambda: getattr(Cls, rng.choice(names))))
        for _ in range(rng.randrange(4) if instances else 0):
            left = rng.choice(instances)
            other = self.value(inners[0] if inners else None)
            right = rng.choice(instances * 3 + [None, 5, {}, {"a": "3"}, {5: 1}, other])
            op = rng.choice(("==", "!="))
            with contextlib.redirect_stdout(io.StringIO()) as out:
                result = self.attempt(lambda: left == right if op == "==" else left != right)
            self.note("compare", op, result, out.getvalue())

def observe(impl, seed):
    """The normalised record of scenario `seed` played against `impl`."""
    scenario = Scenario(impl, seed)
    LOG[:] = []
    scenario.play()
    LOG[:] = []
    return scenario.out


def divergence(seed):
    """None when both implementations agree on scenario `seed`, else a description of the first difference."""
    mine, theirs = observe(native, seed), observe(baseline, seed)
    if mine == theirs:
        return None
    i = next((i for i, (a, b) in enumerate(zip(mine, theirs)) if a != b), min(len(mine), len(theirs)))
    context = "\n".join("  " + line for line in mine[max(0, i - 3):i])
    return "seed %d, step %d\n%s\n  native:   %s\n  baseline: %s" % (
        seed, i, context, mine[i] if i < len(mine) else "<end>", theirs[i] if i < len(theirs) else "<end>")


def fuzz(start, count, budget=None, stop_after=5):
    """Run `count` seeds from `start`; return (seeds run, divergences found)."""
    found, deadline, n = [], time.monotonic() + budget if budget else None, 0
    for n, seed in enumerate(range(start, start + count), 1):
        problem = divergence(seed)
        if problem:
            found.append(problem)
            if len(found) >= stop_after:
                break
        if deadline and time.monotonic() > deadline:
            break
    return n, found


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--count", type=int, default=10000)
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--show", type=int, default=None, help="print the record of one seed and stop")
    args = parser.parse_args(argv)
    if args.show is not None:
        for impl in (native, baseline):
            print("==", impl.__name__)
            print("\n".join(observe(impl, args.show)))
        return 0
    seed = args.seed if args.seed is not None else random.randrange(10 ** 9)
    print("fuzz: seeds %d..%d (rerun with --seed %d --count %d)" % (seed, seed + args.count - 1, seed, args.count))
    started = time.monotonic()
    n, found = fuzz(seed, args.count, stop_after=20)
    for problem in found:
        print(problem)
    print("fuzz: %d cases in %.1f s, %d divergences" % (n, time.monotonic() - started, len(found)))
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
