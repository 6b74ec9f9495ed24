"""The hostile kit of the fuzz: hooked names, dictionaries, declaration classes and callables, and the hook they
call, which stirs the process wherever the module lets code run (see Hostile).

`LOG` is the call trace of the case being played; `KIT` the kit of the hostile case being played, if any.
"""
import contextlib
import copy
import gc
import random
import signal
import sys
import types
import weakref

import quenlory.model_decorator as native
from observe import show, slot
from recording import RecordingField, RecordingMultiField, RecordingProxyField

LOG = []  # the calls seen by everything a scenario builds


def near_the_limit():
    """Whether the recursion depth is within 250 of the limit, before 3.12. There a RecursionError leaves the thread
    free to go 50 deeper with no error, and one more aborts the process ("Cannot recover from stack overflow"), until
    the depth is back under the limit: a hook that hit the limit would turn the case's own RecursionError into that
    abort. The depth is read from setrecursionlimit's refusal, which raises without touching that state."""
    if sys.version_info >= (3, 12):
        return False
    limit = sys.getrecursionlimit()
    try:
        sys.setrecursionlimit(max(1, limit - 250))
    except RecursionError:
        return True
    sys.setrecursionlimit(limit)
    return False


@contextlib.contextmanager
def suppress_all_but_recursion():
    try:
        yield
    except RecursionError:
        raise
    except Exception:
        pass


class Harness:
    """The fuzz's own objects (a scenario, a kit), which a hook leaves alone."""


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


DICT_METHODS = ("__getitem__", "__contains__", "get", "__setitem__", "__delitem__", "keys", "items", "values",
                "__iter__", "__len__", "setdefault", "pop", "update", "copy")
LOOKED_UP = ("__init__", "__get__", "name", "_data")
DUNDER_FIELDS = ("__getattribute__", "__getattr__")  # a field under the hook that reads the field's slot
HEAPTYPE = 1 << 9
KIT = None  # the Hostile kit of the case being played, if any


def hook(*at_hand):
    if KIT is not None:
        KIT.fire(at_hand)


class Hostile(Harness):
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
        # What the timer and the collector's callback choose comes from a generator of its own: they fire at moments
        # that depend on timing, and must not shift the kit's other choices, so that a seed replays its case.
        self.hook_rng = random.Random(seed * 7 + 2)
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
        if not (self.live and self.armed) or self.busy or near_the_limit():
            return
        self.busy, log = True, LOG[:]
        try:
            for inst in self.instances[-2:]:
                cls = type(inst)
                names = list(vars(cls))
                for name in self.hook_rng.sample(names, min(3, len(names))):
                    with suppress_all_but_recursion():
                        value = getattr(inst, name)
                        if self.fierce and self.hook_rng.random() < 0.3:
                            setattr(inst, name, value)
                            self.changed = True
                with suppress_all_but_recursion():
                    # A deep copy: a construction casts nested dicts in place, and the case's own are not to change.
                    cls(copy.deepcopy(dict(slot(inst, "_data"))))
        except RecursionError:
            pass  # the rest of this poke would go deeper still
        finally:
            LOG[:] = log
            self.busy = False

    def callbacks(self, at_hand):
        if self.callback is None:
            self.callback = lambda phase, info: (self.hook_rng.random() < 0.3 and sys._clear_type_cache(), self.poke())
            gc.callbacks.append(self.callback)

    def timer(self, at_hand):
        if not self.ticking and hasattr(signal, "setitimer"):
            self.ticking = True
            signal.signal(signal.SIGALRM, self.tick)
            signal.setitimer(signal.ITIMER_REAL, self.rng.choice((1e-6, 1e-5, 1e-4)))

    def tick(self, *args):
        # One-shot, armed again as the poke ends: a poke slower than the interval (ASan, a loaded machine) would
        # otherwise leave the case no time between two signals.
        try:
            self.poke()
        finally:
            if self.ticking:
                signal.setitimer(signal.ITIMER_REAL, 1e-4)

    def finish(self):
        """Undo what outlives a case: the collector's callback and the timer."""
        if self.callback in gc.callbacks:
            gc.callbacks.remove(self.callback)
        if self.ticking:
            # First, so that a tick that lands in between does not arm the timer again.
            self.ticking = False
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
                        issubclass(type(o), (type, types.ModuleType, Harness)) for o in gc.get_referrers(d)):
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
                    if not any(issubclass(type(o), (type, types.ModuleType, Harness)) for o in owners):
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
