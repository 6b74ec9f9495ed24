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

With --hostile, names and keys are str subclasses, data dictionaries are dict
subclasses and casts, proxies, flat_fields and factories are wrapped, so that
every point where the module lets code run calls a hook that stirs the process
(see Hostile). Each case then runs in a child process that a crash or a hang
cannot take down with the run: the seed is reported and the next case goes on.

    python tests/fuzzgen.py [--count N] [--seed S] [--hostile]   # S defaults to a random seed, printed
"""
import argparse
import builtins
import contextlib
import copy
import enum
import faulthandler
import gc
import io
import json
import os
import random
import select
import signal
import subprocess
import sys
import tempfile
import time
import types
import weakref

_HERE = os.path.dirname(os.path.abspath(__file__))
if _HERE not in sys.path:
    sys.path.insert(0, _HERE)

import baseline  # noqa: E402
import strict_reading  # noqa: E402
import quenlory.model_decorator as native  # noqa: E402
from quenlory.fields.bases import Field  # noqa: E402
from quenlory.types import Choice, Float, Int, List, Str  # noqa: E402
from recording import RecordingField, RecordingMultiField, RecordingProxyField  # noqa: E402
from observe import first_difference, normal, outcome as observed, raised, show, slot  # noqa: E402

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
        hook(self)
        self.calls += not (KIT and KIT.busy)  # a hook's own constructions are not counted
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
# Hostile processes only: long int <-> str conversions, which check for signals and from 3.12 call _pylong.
LONG_VALUES = [lambda: 7 ** 9000, lambda: "9" * 7000]
# The checking casts of quenlory.types run in line where the native core meets them.
PLAIN_CASTS = [None, None, int, float, str, picky, boxed, Int(ge=0), Str(min_length=1), Float(), Choice("x", 1)]
MULTI_CASTS = [None, None, picky, list, List(Int())]
OPTIONAL = [True, True, 1, "yes", 0, "", None, False]


# ---- hostile mode ------------------------------------------------------------------------------

DICT_METHODS = ("__getitem__", "__contains__", "get", "__setitem__", "__delitem__", "keys", "items", "values",
                "__iter__", "__len__", "setdefault", "pop", "update", "copy")
LOOKED_UP = ("__init__", "__get__", "name", "_data")
DUNDER_FIELDS = ("__getattribute__", "__getattr__")  # a field under the hook that reads the field's slot
HEAPTYPE = 1 << 9
KIT = None  # the Hostile kit of the case being played, if any


def hook(*at_hand):
    if KIT is not None:
        KIT.fire(at_hand)


class Hostile:
    """A case's hostile classes, and the hook they call with what they have at hand.

    The classes are made afresh for every case, so that what a hook replaces on them stays in the case. A hook
    only acts while the module is being called (`armed`), never inside another hook, and picks per call, from
    the case's own generator: nothing; a collection; reading every young (or, rarely, every) tracked list,
    tuple and dictionary and each object of the module's own types; clearing the type cache and looking every
    class up again. In a fierce case it may also empty dictionaries that refer to what is at hand, or replace
    __get__, __init__ or name on a class the case made; `changed` then says that only an end without a crash
    is required. The costly acts have a budget per case, so that no case runs long.
    """

    def __init__(self, seed, fierce, live=True):
        self.rng, self.fierce, self.live = random.Random(seed * 7 + 1), fierce, live
        self.armed = self.busy = self.changed = False
        self.budget = 8
        kit = self

        def hashed(key):
            kit.fire((key,))
            return str.__hash__(key)

        def equal(key, other):
            kit.fire((key, other))
            return str.__eq__(key, other)

        # Named as the types they stand for, so that records show no difference the reference would not make.
        self.str = type("str", (str,), {"__hash__": hashed, "__eq__": equal})
        self.dicts = {base: self.hooked(base, DICT_METHODS + ("__missing__",) * (base is MDict))
                      for base in (dict, RDict, MDict)}
        self.fields = {base: type(base.__name__, (base,), {})
                       for base in (RecordingField, RecordingProxyField, RecordingMultiField)}
        self.made = list(self.dicts.values()) + list(self.fields.values()) + [self.str]
        self.models, self.instances, self.ticking, self.callback = [], [], False, None

        def planted_eq(key, other):  # inside a type lookup, between a memo's stamp and its store
            if kit.armed and kit.rng.random() < 0.5:
                sys._clear_type_cache()
                kit.poke()
            return False

        # A key that collides with a name the shortcuts look up on a class, planted in a class made by type().
        self.planted = type("str", (str,), {"__hash__": lambda key: hash(key.aim), "__eq__": planted_eq})

    @staticmethod
    def hooked(base, names):
        def method(name):
            inherited = getattr(base, name)
            return lambda self, *args, **kwargs: (hook(self, *args), inherited(self, *args, **kwargs))[1]
        return type(base.__name__, (base,), {name: method(name) for name in names})

    def wrap(self, fn):
        def call(*args, **kwargs):
            hook(*args)
            return fn(*args, **kwargs)
        call.__name__, call.__qualname__ = getattr(fn, "__name__", "call"), getattr(fn, "__qualname__", "call")
        return call

    def value(self, v):
        """`v` with every dictionary in it a hooked one with hooked keys."""
        if type(v) is dict:
            return self.dicts[dict]((self.value(k), self.value(x)) for k, x in v.items())
        return self.str(v) if type(v) is str else v

    def fire(self, at_hand):
        if not (self.live and self.armed) or self.busy:
            return
        self.busy, log = True, LOG[:]
        try:
            acts = ["none"] * 3 + ["collect", "walk", "walk", "types", "callbacks", "cycle", "timer", "plant"] + [
                "empty", "replace", "stray"] * self.fierce
            act = self.rng.choice(acts)
            if act != "none" and (act == "walk" or self.budget > 0):
                self.budget -= act != "walk"
                getattr(self, act)(at_hand)
        finally:
            LOG[:] = log
            self.busy = False

    def collect(self, at_hand):
        gc.collect(self.rng.choice((0, 2)))

    def poke(self):
        """Construct, read and write the case's models from code that runs where no Python frame calls it."""
        if not (self.live and self.armed) or self.busy:
            return
        self.busy, log = True, LOG[:]
        try:
            for inst in self.instances[-2:]:
                cls = type(inst)
                names = list(vars(cls))
                for name in self.rng.sample(names, min(3, len(names))):
                    with contextlib.suppress(Exception):
                        value = getattr(inst, name)
                        if self.fierce and self.rng.random() < 0.3:
                            setattr(inst, name, value)
                            self.changed = True
                with contextlib.suppress(Exception):
                    # A deep copy: a construction casts nested dicts in place, and the case's own are not to change.
                    cls(copy.deepcopy(dict(slot(inst, "_data"))))
        finally:
            LOG[:] = log
            self.busy = False

    def callbacks(self, at_hand):
        if self.callback is None:
            self.callback = lambda phase, info: (self.rng.random() < 0.3 and sys._clear_type_cache(), self.poke())
            gc.callbacks.append(self.callback)

    def timer(self, at_hand):
        if not self.ticking and hasattr(signal, "setitimer"):
            self.ticking = True
            signal.signal(signal.SIGALRM, lambda *a: self.poke())
            signal.setitimer(signal.ITIMER_REAL, self.rng.choice((1e-6, 1e-5, 1e-4)), 1e-4)

    def finish(self):
        """Undo what outlives a case: the collector's callback and the timer."""
        if self.callback in gc.callbacks:
            gc.callbacks.remove(self.callback)
        if self.ticking:
            signal.setitimer(signal.ITIMER_REAL, 0)

    def cycle(self, at_hand):
        """A dying cycle of a subclass, its instance and what is at hand, whose finaliser sets weak-reference
        callbacks that reach the instance between the collector's clears (its class's MRO may be gone)."""
        models = [m for m in self.models if isinstance(m, type)]
        if not models:
            return
        base = self.rng.choice(models)
        try:
            Sub = type(base.__name__, (base,), {})
            inst = Sub.__new__(Sub)
        except Exception:
            return
        kit, keep = self, []

        def touch(w):
            inst = w()
            for fn in (lambda: base.__init__(inst, {}), lambda: type(inst)(), lambda: base.__eq__(inst, inst)):
                with contextlib.suppress(Exception):
                    fn()
            kit.poke()

        class Box:
            pass

        class Holder:
            def __del__(self):
                w = weakref.ref(self.box.inst)
                for target in (self.box.first, self.box.last):
                    keep.append(weakref.ref(target, lambda r, w=w: touch(w)))

        box, holder = Box(), Holder()
        box.first, box.inst, box.at_hand, box.holder, box.last = Box(), inst, at_hand, holder, Box()
        holder.box, Sub.box, object.__getattribute__(inst, "__dict__")["box"] = box, box, box  # past the class's own hooks
        self.instances.append(keep)  # the callbacks' weak references outlive the cycle
        del Sub, inst, box, holder
        gc.collect(self.rng.choice((0, 1, 2)))

    def plant(self, at_hand):
        models = [m for m in self.models if isinstance(m, type)]
        if not models:
            return
        keys = {}
        for aim in self.rng.sample(("_data", "_compounds", "__init__", "__get__", "__set__", "name"), 3):
            key = self.planted("planted_" + aim)
            key.aim = aim
            keys[key] = 1
        base = self.rng.choice(models)
        with contextlib.suppress(Exception):
            Sub = type(base.__name__, (base,), keys)
            inst = Sub({})
            for name in list(vars(base))[:4]:
                getattr(inst, name, None)
            self.instances.append(inst)

    def stray(self, at_hand):
        """A dict that refers to what is at hand (the keywords, through the collector) loses a key and gains one."""
        for thing in at_hand:
            for d in gc.get_referrers(thing) if type(thing) not in (int, str, float, type(None)) else ():
                if type(d) is dict and d and all(type(k) is str for k in d) and not any(
                        issubclass(type(o), (type, types.ModuleType, Scenario, Hostile)) for o in gc.get_referrers(d)):
                    d.pop(self.rng.choice(list(d)))
                    d["zz"] = 1
                    self.changed = True

    def walk(self, at_hand):
        everything = self.budget > 0 and self.rng.random() < 0.05
        self.budget -= everything
        for o in gc.get_objects() if everything else gc.get_objects(0):
            t = type(o)
            try:
                base = next((b for b in (list, tuple, dict) if issubclass(t, b)), None)
                if base is not None:
                    n = base.__len__(o)
                    list(dict.items(o) if base is dict else base.__iter__(o))
                    if n < 20 and not everything:
                        base.__repr__(o)
                elif t.__module__ == native.__name__:  # a model (its own repr only) or the module's own type
                    repr(o)
                    for name in dir(o) if not t.__flags__ & HEAPTYPE else ():
                        getattr(o, name, None)
            except Exception:
                pass

    def types(self, at_hand):
        sys._clear_type_cache()
        todo, seen = [object], set()
        while todo:
            cls = todo.pop()
            if id(cls) in seen:
                continue
            seen.add(id(cls))
            for name in LOOKED_UP:
                try:
                    getattr(cls, name, None)
                except Exception:
                    pass
            todo.extend(type.__subclasses__(cls))

    def empty(self, at_hand):
        shared = (int, float, str, bytes, tuple, type, type(None), types.FunctionType)
        for thing in at_hand:
            if type(thing) in shared or issubclass(type(thing), type):
                continue
            for d in [thing] + gc.get_referrers(thing):
                if issubclass(type(d), dict) and d and self.rng.random() < 0.5:  # past an instance's own hooks
                    owners = gc.get_referrers(d)
                    if not any(issubclass(type(o), (type, types.ModuleType, Scenario, Hostile)) for o in owners):
                        dict.clear(d)
                        self.changed = True

    def replace(self, at_hand):
        cls = self.rng.choice(self.made)
        name = self.rng.choice(("__get__", "__init__", "name"))
        value = self.rng.choice((
            lambda *args, **kwargs: hook(*args), lambda *args, **kwargs: 1 / 0, "replaced",
            property(lambda self: (hook(self), "renamed")[1])))
        try:
            setattr(cls, name, value)
            self.changed = True
        except (TypeError, AttributeError):
            pass


class Scenario:
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

# ---- the checking casts and strict models against tests/strict_reading.py -----------------------

Colour = enum.Enum("Colour", {"RED": "red", "TWO": 2})
Count = type("Count", (int,), {})
Text = type("Text", (str,), {})
STRICT_VALUES = [0, -3, 10 ** 30, True, 2.5, float("nan"), float("-inf"), "", "ab", "x1", None, [1, -2], [],
                 {"k": 1}, {"k": "a", 5: 2.5}, Count(4), Text("ab"), Colour.RED, Colour.TWO, "red", [[1], ["x"]],
                 {"k": [0, 9]}, (1,)]
TWINS = {"int": ("int", None, None), "float": ("float", None, None), "bool": ("bool",),
         "str": ("str", None, None, None), "list": ("list", None, None, None), "dict": ("dict", None, None, None)}


def draw_kind(rng, depth=0):
    name = rng.choice(("int", "float", "bool", "str", "list", "dict", "choice", "enum"))
    bound, length = (lambda: rng.choice((None, None, 0, 1, -2.5, 10 ** 20))), (lambda: rng.choice((None, 0, 1, 2)))
    if name in ("int", "float"):
        return (name, bound(), bound())
    if name == "str":
        return (name, length(), length(), rng.choice((None, None, "^a", "[0-9]")))
    if name in ("list", "dict"):
        return (name, draw_kind(rng, depth + 1) if depth < 2 and rng.random() < 0.7 else None, length(), length())
    if name == "choice":
        return (name, tuple(rng.sample(("red", 2, 1, "ab", 2.5, True, None, Colour.TWO), rng.randint(1, 3))))
    return ("bool",) if name == "bool" else ("enum", Colour)


def outcome(fn, kit=None):
    if kit:
        kit.armed = True
    try:
        return observed(fn, notes=True)
    finally:
        if kit:
            kit.armed = False


def strict_divergence(seed, kit=None):
    """A checking cast on random values, and a strict model on a random dict, natively and as read."""
    rng = random.Random(seed * 31 + 5)
    pick = (lambda: kit.value(copy_value(rng.choice(STRICT_VALUES)))) if kit else (
        lambda: copy_value(rng.choice(STRICT_VALUES)))
    kind = draw_kind(rng)
    cast, seen = strict_reading.make(kind), []
    for value in [pick() for _ in range(4)]:
        seen.append((kind, show(value), outcome(lambda: cast(value), kit),
                     outcome(lambda: strict_reading.read(kind, value))))
    ns, kinds, data, whole = {}, [], {}, rng.random() < 0.5
    for name in rng.sample(NAMES, rng.randint(1, 3)):
        kind, key = draw_kind(rng), rng.choice((name, name + "-raw"))
        plain = kind[0] in TWINS and rng.random() < 0.5
        options = {"key": key} if key != name else {}
        if plain:  # a built-in cast, strict for the field or the model, or opting out of a strict model
            if not whole or rng.random() < 0.3:
                options["strict"] = not whole or rng.random() < 0.5
            cast = vars(builtins)[kind[0]]
            kind = TWINS[kind[0]] if options.get("strict", whole) else ("plain", cast)
        ns[name] = Field(cast if plain else strict_reading.make(kind), **options)
        kinds.append((key, kind))
        data[key] = next((v for v in (pick() for _ in range(4)) if accepts(kind, v)), None)
    extra = rng.random() < 0.5
    if extra:
        data["zz"] = 1
    meta = dict({"strict": True} if whole else {}, **{"extra": "ignore"} if extra else {})
    cls = native.model(type("Strict", (), ns), **meta)

    def reading():
        for key, kind in kinds:
            try:
                data[key] = strict_reading.read(kind, data[key])
            except Exception as exc:
                strict_reading._note_path(exc, key)
                raise
        return data

    given = kit.dicts[dict](data) if kit else dict(data)
    seen.append((meta, kinds, show(data), outcome(lambda: native.raw(cls(given)), kit), outcome(reading)))
    if kit and kit.changed:
        return None
    for step, (*what, mine, theirs) in enumerate(seen):
        if mine != theirs:
            return "seed %d, checking step %d: %r\n  native:  %s\n  reading: %s" % (seed, step, what, mine, theirs)
    return None


def accepts(kind, value):
    try:
        return strict_reading.read(kind, copy_value(value)) is not None
    except Exception:
        return False


def copy_value(v):
    return [copy_value(x) for x in v] if type(v) is list else {k: copy_value(x) for k, x in v.items()} if type(
        v) is dict else v


def observe(impl, seed, kit=None):
    """The normalised record of scenario `seed` played against `impl` (with the hostile `kit`, if given)."""
    global KIT
    scenario = Scenario(impl, seed, kit)
    LOG[:], KIT = [], kit
    try:
        scenario.play()
    except Exception as exc:  # in the harness's own steps, which a hostile case may break
        scenario.note("escaped", type(exc).__name__, str(exc))
    finally:
        if kit:
            kit.finish()
        LOG[:], KIT = [], None
    return scenario.out


def divergence(seed, hostile=False):
    """None when both implementations agree on scenario `seed`, else a description of the first difference.

    A hostile case is fierce one time in two; the reference, which plays it with its hooks off, is only asked
    when the case changed nothing it depends on."""
    if hostile:
        fierce = random.Random(-seed).random() < 0.5
        kit = Hostile(seed, fierce)
        mine = observe(native, seed, kit)
        if kit.changed:
            return None
        kit.budget = 4
        checked = strict_divergence(seed, kit)
        if checked:
            return checked
        theirs = observe(baseline, seed, Hostile(seed, fierce, live=False))
    else:
        mine, theirs = observe(native, seed), observe(baseline, seed)
        checked = strict_divergence(seed)
        if checked:
            return checked
    parted = first_difference(mine, theirs)
    return "seed %d, %s" % (seed, parted) if parted else None


def fuzz(start, count, budget=None, stop_after=5, hostile=False):
    """Run `count` seeds from `start`; return (seeds run, divergences found)."""
    found, deadline, n = [], time.monotonic() + budget if budget else None, 0
    for n, seed in enumerate(range(start, start + count), 1):
        problem = divergence(seed, hostile)
        if problem:
            found.append(problem)
            if len(found) >= stop_after:
                break
        if deadline and time.monotonic() > deadline:
            break
    return n, found


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


def work(start, count):
    """The child's side of `supervise`: one line before each case, and one per divergence found."""
    hostile_process()
    if "asan" not in os.environ.get("LD_PRELOAD", ""):  # the sanitizer's report has the C frames
        faulthandler.enable()
    for seed in range(start, start + count):
        print("case", seed, flush=True)
        problem = divergence(seed, hostile=True)
        if problem:
            print("diverged", json.dumps(problem), flush=True)
    print("done", flush=True)


def supervise(start, count, case_seconds, stop_after=20):
    """Hostile cases in a child process, started again after a crash or a hang, which count as failures.

    Returns (cases run, problems found)."""
    found, seed, end, ran = [], start, start + count, 0
    while seed < end and len(found) < stop_after:
        with tempfile.TemporaryFile("w+") as err:
            # A fresh child every 100 cases: what hostile cases leave behind slows the later ones down.
            command = [sys.executable, os.path.abspath(__file__), "--work", str(seed), str(min(100, end - seed))]
            child = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=err, text=True)
            current, ended = None, False
            while not ended:
                ready = select.select([child.stdout], [], [], case_seconds)[0]
                line = child.stdout.readline() if ready else None
                if line and line.startswith("case "):
                    current, ran = int(line.split()[1]), ran + 1
                elif line and line.startswith("diverged "):
                    found.append(json.loads(line[9:]))
                elif line and line != "done\n":
                    continue  # what the case itself printed (an equality's trace, say)
                else:  # the end, a crash (EOF) or a hang (no line in time)
                    ended, hung = True, line is None
            if hung:
                child.kill()
            rc = child.wait()
            if line != "done\n" or rc != 0:
                err.seek(0)
                what = "hung for %d s" % case_seconds if hung else "died with exit status %d" % rc
                found.append("seed %s: the child %s; rerun with --hostile --seed %s --count 1\n%s" % (
                    current, what, current, err.read()[-12000:]))
            if current is None:
                break
            seed = current + 1
    return ran, found


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--count", type=int, default=10000)
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--show", type=int, default=None, help="print the record of one seed and stop")
    parser.add_argument("--hostile", action="store_true", help="hooked names, dictionaries and callables")
    parser.add_argument("--case-seconds", type=float, default=120, help="a hostile case running longer has hung")
    parser.add_argument("--work", type=int, nargs=2, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.work:
        return work(*args.work)
    if args.show is not None:
        if args.hostile:
            hostile_process()
        for impl in (native, baseline):
            print("==", impl.__name__)
            kit = Hostile(args.show, random.Random(-args.show).random() < 0.5, impl is native) if args.hostile else None
            print("\n".join(observe(impl, args.show, kit)))
        return 0
    seed = args.seed if args.seed is not None else random.randrange(10 ** 9)
    print("fuzz: seeds %d..%d (rerun with --seed %d --count %d%s)" % (
        seed, seed + args.count - 1, seed, args.count, " --hostile" * args.hostile))
    started = time.monotonic()
    if args.hostile:
        n, found = supervise(seed, args.count, args.case_seconds)
    else:
        n, found = fuzz(seed, args.count, stop_after=20)
    for problem in found:
        print(problem)
    print("fuzz: %d cases in %.1f s, %d problems" % (n, time.monotonic() - started, len(found)))
    print("%d passed, %d failed" % (n - len(found), len(found)))
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
