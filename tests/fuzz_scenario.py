"""The fuzz's scenarios: `play(impl, seed)` draws one random scenario from `seed` (models with plain, optional,
default and factory fields, compounds over small nested models, multi-fields with clashing components,
properties, methods, dunder members and static values, decorated in one of several ways) and plays it against one
implementation. Every step appends one normalised text to the record, with the calls that declarations, casts,
proxies, factories and data dictionaries saw (tests/fuzz_kit.py's LOG).
"""
import contextlib
import io
import random
import sys
import types

import fuzz_kit
from fuzz_kit import DUNDER_FIELDS, LOG, MDict, RDict, Harness, hook
from observe import normal, raised, show, slot, without_repeats
from quenlory.fields.bases import Field
from quenlory.types import Choice, Float, Int, List, Str
from recording import RecordingField, RecordingMultiField, RecordingProxyField

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
        hook(self)
        self.calls += not (fuzz_kit.KIT and fuzz_kit.KIT.busy)  # a hook's own constructions are not counted
        return VALUES[self.kind]() if self.kind < len(VALUES) else ["made", self.calls]

    def __repr__(self):
        return "Factory(%d)" % self.kind


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
# Hostile processes only: long int <-> str conversions, which check for signals and from 3.12 call _pylong.
LONG_VALUES = [lambda: 7 ** 9000, lambda: "9" * 7000]
# The checking casts of quenlory.types run in line where the native core meets them.
PLAIN_CASTS = [None, None, int, float, str, picky, boxed, Int(ge=0), Str(min_length=1), Float(), Choice("x", 1)]
MULTI_CASTS = [None, None, picky, list, List(Int())]
OPTIONAL = [True, True, 1, "yes", 0, "", None, False]


class Scenario(Harness):
    def __init__(self, impl, seed, kit=None):
        self.impl, self.rng, self.out, self.shared, self.kit = impl, random.Random(seed), [], None, kit

    def attempt(self, fn):
        """("ok", picture) or ("raise", type, message); the object made is kept in `made`."""
        self.made, error = None, None
        if self.kit:
            self.kit.armed = True
        try:
            self.made = fn()
        except Exception as exc:
            error = exc
        if self.kit:
            self.kit.armed = False
        return raised(error) if error is not None else ("ok", show(self.made))

    # In hostile mode: hooked names, dictionaries, values, declaration classes and callables.
    def s(self, name):
        return self.kit.str(name) if self.kit and type(name) is str else name

    def dict_kind(self, base):
        return self.kit.dicts[base] if self.kit else base

    def declaration(self, base, *args, **kwargs):
        if not self.kit:
            return base(LOG, *args, **kwargs)
        decl = self.kit.fields[base](LOG, *args, **kwargs)
        for attr in ("cast", "proxy", "flat_fields"):
            with contextlib.suppress(AttributeError):
                object.__setattr__(decl, attr, self.kit.wrap(object.__getattribute__(decl, attr)))
        return decl

    def made_class(self, cls):
        if self.kit:
            self.kit.made.append(cls)
        return cls

    def note(self, *what):
        calls, LOG[:] = LOG[:], []
        if "RecursionError" in repr(what):
            calls = without_repeats(calls)
        self.out.append(normal(repr(what + (calls,) if calls else what)))

    def chance(self, p):
        return self.rng.random() < p

    def value(self, inner=None):
        r = self.rng.random()
        if inner is not None and r < 0.08:
            made = self.attempt(lambda: inner({"v": self.rng.choice(("1", 5, "bad"))}))
            self.note("inner value", made)
            return self.made if made[0] == "ok" else "no inner"
        value = self.rng.choice(VALUES)()
        return self.kit.value(value) if self.kit else value

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
        ns = {self.s("v"): self.declaration(RecordingField, tag + ".v", rng.choice(PLAIN_CASTS), **self.metadata()),
              self.s("w"): self.declaration(RecordingField, tag + ".w", optional=True)}
        if self.chance(0.3):
            ns["__repr__"] = custom_repr
        made = self.attempt(lambda: self.decorate(type("Inner%d" % index, (), ns)))
        self.note("inner", made)
        return self.made_class(self.made) if made[0] == "ok" else None

    def field(self, name, inners):
        rng = self.rng
        kind = rng.random()
        inner = rng.choice(inners) if inners else None
        if kind < 0.45 or (kind < 0.7 and inner is None):
            return self.declaration(RecordingField, name, rng.choice(PLAIN_CASTS), **self.metadata(inner))
        if kind < 0.7:
            decl = self.declaration(RecordingProxyField, name, inner, **self.metadata(inner))
            cast = rng.choice(COMPOUND_CASTS)
            if cast is not None:
                object.__setattr__(decl, "cast", decl._logged("cast", self.kit.wrap(cast) if self.kit else cast))
            return decl
        components = [self.s(rng.choice(NAMES + ("p", "q", name, 5))) for _ in range(rng.choice((0, 1, 2, 2, 3)))]
        decl = self.declaration(RecordingMultiField, name, components, rng.choice(MULTI_CASTS), **self.metadata())
        proxy = rng.choice(PROXIES)
        if proxy is not None:
            object.__setattr__(decl, "proxy", self.kit.wrap(proxy) if self.kit else proxy)
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
            name = self.s(rng.choice(NAMES if not self.kit or self.chance(0.97) else DUNDER_FIELDS))
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
        Cls = self.made_class(self.made)
        if self.kit:
            self.kit.models.append(Cls)
        self.note("namespace", [(k, type(v).__name__) for k, v in vars(Cls).items()],
                  [(k, v._tag if hasattr(v, "_tag") else show(v)) for k, v in self.impl.model_fields(Cls).items()],
                  list(self.impl.model_fields_flat(Cls)))
        return Cls, inners

    def inputs(self, inners):
        """A positional argument (usually a dictionary) and keywords, mostly over the model's own keys."""
        rng = self.rng
        inner = rng.choice(inners) if inners else None
        data = self.dict_kind(rng.choice((dict, dict, RDict, MDict)))() if self.chance(0.75) else None
        kwargs = {}
        for key in self.keys + [self.s(rng.choice(KEYS))] * self.chance(0.15):
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
                if self.kit:
                    self.kit.instances.append(self.made)
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
            right = self.kit.value(right) if self.kit else right
            op = rng.choice(("==", "!="))
            with contextlib.redirect_stdout(io.StringIO()) as out:
                result = self.attempt(lambda: left == right if op == "==" else left != right)
            self.note("compare", op, result, out.getvalue())


def play(impl, seed, kit=None):
    """The normalised record of scenario `seed` played against `impl` (with the hostile `kit`, if given)."""
    scenario = Scenario(impl, seed, kit)
    LOG[:], fuzz_kit.KIT = [], kit
    try:
        scenario.play()
    except Exception as exc:  # in the harness's own steps, which a hostile case may break
        scenario.note("escaped", type(exc).__name__, str(exc))
    finally:
        if kit:
            kit.finish()
        LOG[:], fuzz_kit.KIT = [], None
    return scenario.out


def hostile_process():
    """Long conversions without the digit limit, and a _pylong (3.12 on) whose conversions call the hook."""
    if hasattr(sys, "set_int_max_str_digits"):
        sys.set_int_max_str_digits(0)
    VALUES.extend(LONG_VALUES)
    if sys.version_info >= (3, 12):
        real = __import__("_pylong")
        fake = types.ModuleType("_pylong")
        fake.__dict__.update(vars(real))
        for name, fn in vars(real).items():
            if name.startswith("int_") and callable(fn):
                setattr(fake, name, lambda *args, fn=fn: (hook(*args), fn(*args))[1])
        sys.modules["_pylong"] = fake
