"""The function objects the module makes: attributes, signatures, binding, pickling and argument errors."""
import copy
import functools
import gc
import inspect
import pickle
import types
import unittest
import weakref

import support
from support import Field, MultiField, ProxyField, md

MODULE_LEVEL = ("model_fields", "model_fields_flat", "raw", "dumps", "model")
GET, SET = "(self, instance, objtype)", "(self, instance, value)"


@functools.lru_cache(maxsize=None)
def sample():
    @md.model
    class Sample:
        x = Field(int)
        o = Field(int, optional=True)
        c = ProxyField(md.model(type("Inner", (), {"v": Field(int)})), optional=True)
        m = MultiField(("lat", "lon"), optional=True)
    return Sample


def made_functions():
    """(function, qualname, parameters) for every kind of function made inside `model`."""
    cls = sample()
    field, compound, multi = (type(cls.__dict__[name]).__dict__ for name in "xcm")
    fp = "model.<locals>.field_property.<locals>.FieldProperty."
    table = [(md.model(), "model.<locals>.capture", "(cls, /)"),
             (support.model_fields(cls)["o"].cast, "model.<locals>.make_optional_cast.<locals>._cast", "(value, /)"),
             (field["__get__"], fp + "__get__", GET), (field["__set__"], fp + "__set__", SET),
             (cls.__dict__["__init__"], "model.<locals>.ModelClass.__init__", "(self, *args, **kwargs)"),
             (cls.__dict__["__eq__"], "model.<locals>.ModelClass.__eq__", "(self, other)")]
    for prefix, ns in (("model.<locals>.CompoundProperty.", compound), ("model.<locals>.MultiValueProperty.", multi)):
        table += [(ns["__init__"], prefix + "__init__", "(self, name, field)"),
                  (ns["__get__"], prefix + "__get__", GET), (ns["__set__"], prefix + "__set__", SET)]
    return table


def shown_signature(fn):
    sig = inspect.signature(fn)
    return str(sig.replace(parameters=[p.replace(annotation=p.empty) for p in sig.parameters.values()]))


class AttributeTest(unittest.TestCase):
    def test_names_are_writable_strings(self):
        fn = md.model()
        fn.__name__, fn.__qualname__ = "renamed", "Somewhere.renamed"
        self.assertEqual((fn.__name__, fn.__qualname__), ("renamed", "Somewhere.renamed"))
        for attr in ("__name__", "__qualname__"):
            for bad in (None, 5, b"x"):
                with self.assertRaises(TypeError):
                    setattr(fn, attr, bad)
        fn.tag = [1]
        self.assertEqual((fn.__name__, fn.__dict__), ("renamed", {"tag": [1]}))


class BehaviourTest(unittest.TestCase):
    def test_binds_like_a_python_function(self):
        class Holder:
            _data = {"k": 1}
            get_raw, get_text = md.raw, md.dumps

        holder = Holder()
        self.assertTrue(inspect.ismethod(holder.get_raw))
        self.assertEqual((holder.get_raw.__func__, holder.get_raw.__self__), (md.raw, holder))
        self.assertEqual((holder.get_raw(), holder.get_text()), ({"k": 1}, '{"k": 1}'))
        self.assertTrue(Holder.get_raw is md.raw.__get__(None, Holder) is md.raw)

    def test_module_level_functions_pickle_by_reference(self):
        for fn in map(md.__dict__.get, MODULE_LEVEL):
            for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
                self.assertIs(pickle.loads(pickle.dumps(fn, protocol)), fn)
            self.assertIs(copy.deepcopy(fn), fn)
        with self.assertRaises((pickle.PicklingError, AttributeError)):
            pickle.dumps(md.model())

    def test_runaway_recursion_raises(self):
        # Reading _data calls the function again, with no Python frame in between.
        for fn in (md.raw, md.dumps):
            with self.assertRaises(RecursionError):
                md.raw(type("Looping", (), {"_data": property(fn)})())
        self.assertEqual(md.raw(types.SimpleNamespace(_data=3)), 3)

    def test_cycles_through_functions_are_collected(self):
        token = type("Token", (), {})()
        capture = md.model(token=token)  # held by the captured metadata
        token.capture = capture
        capture.token = type(token)()  # and by the function's own __dict__
        capture.token.back = capture
        refs = [weakref.ref(token), weakref.ref(capture.token)]
        del token, capture
        gc.collect()
        self.assertEqual([ref() for ref in refs], [None, None])

    def test_keyword_calls(self):
        cls = sample()
        inst, prop = cls(x=1), cls.__dict__["x"]
        get, set_ = type(prop).__dict__["__get__"], type(prop).__dict__["__set__"]
        self.assertIsNone(set_(value="7", instance=inst, self=prop))
        self.assertEqual(get(prop, objtype=None, instance=inst), 7)
        fresh = cls.__new__(cls)
        self.assertEqual((cls.__dict__["__init__"](self=fresh, x="2"), md.raw(fresh)), (None, {"x": 2}))
        with support.captured_stdout():
            self.assertIs(cls.__dict__["__eq__"](other=cls(x=7), self=inst), True)
        compound = type(cls.__dict__["c"])(field="f", name="n")
        self.assertEqual((compound.name, compound.field), ("n", "f"))
        self.assertEqual(md.model(cls=None, tag=1)(type("T", (), {})).__name__, "T")


@unittest.skipUnless(support.NATIVE, "the native module's own argument checking")
class ArgumentErrorTest(unittest.TestCase):
    def assert_error(self, text, fn, /, *args, **kwargs):
        with self.assertRaises(TypeError) as caught:
            fn(*args, **kwargs)
        if text.startswith("..."):
            self.assertTrue(str(caught.exception).endswith(text[3:]), str(caught.exception))
        else:
            self.assertEqual(str(caught.exception), text)

    def one_argument(self):
        return [md.raw, md.dumps, md.model_fields, md.model_fields_flat, md.model(),
                support.model_fields(sample())["o"].cast]

    def fixed(self):
        """(function, parameter names) of every function with required positional-or-keyword parameters."""
        shapes = [(fn, signature.strip("()").split(", ")) for fn, _, signature in made_functions()]
        return [(fn, names) for fn, names in shapes if "/" not in names and "*args" not in names]

    def test_one_argument_functions(self):
        for fn in self.one_argument():
            for args in ((), (1, 2)):
                self.assert_error("%s() takes exactly one argument (%d given)" % (fn.__name__, len(args)), fn, *args)
            for args in ((), (1,), (1, 2)):  # keywords are refused before the count is looked at
                self.assert_error("%s() takes no keyword arguments" % fn.__name__, fn, *args, obj=1)
        self.assertEqual(md.raw(types.SimpleNamespace(_data=4), **{}), 4)

    def test_fixed_parameter_functions(self):
        for fn, names in self.fixed():
            name, n = fn.__name__, len(names)
            takes = "%s() takes exactly %d positional arguments (%%d given)" % (name, n)
            for given in (n + 1, 0, 1, n - 1):
                self.assert_error(takes % given, fn, *range(given))
            if n > 2:  # the first missing parameter decides the count
                self.assert_error(takes % 1, fn, **{names[0]: 1, names[-1]: 2})
            self.assert_error("%s() got multiple values for keyword argument '%s'" % (name, names[-1]),
                              fn, *range(n), **{names[-1]: 1})
            self.assert_error("%s() got an unexpected keyword argument 'zzz'" % name, fn, *range(n), zzz=1)
            self.assert_error("...keywords must be strings", lambda: fn(*range(n - 1), **{1: 2}))

    def test_model_and_init(self):
        init, cls = sample().__dict__["__init__"], sample()
        for text, fn, args, kwargs in [
                ("model() takes at most 1 positional argument (2 given)", md.model, (1, 2), {}),
                ("model() got multiple values for keyword argument 'cls'", md.model, (None,), {"cls": None}),
                ("__init__() takes at least 1 positional argument (0 given)", init, (), {}),
                ("__init__() takes at least 1 positional argument (0 given)", init, (), {"x": 1}),
                ("__init__() got multiple values for keyword argument 'self'", init, (cls.__new__(cls),), {"self": 1}),
                ("...keywords must be strings", lambda: md.model(**{1: 2}), (), {}),
                ("...keywords must be strings", lambda: init(cls.__new__(cls), **{1: 2}), (), {})]:
            self.assert_error(text, fn, *args, **kwargs)
