"""The module itself: initialisation, its namespace, the registries and the introspection functions."""
import abc
import collections
import gc
import importlib.util
import json
import os
import shutil
import subprocess
import sys
import tempfile
import types
import typing
import unittest
import weakref

import support
from support import DELETED, Field, MultiField, ProxyField, md, model, model_fields, model_fields_flat
from quenlory.fields import bases

CREATED = ["json", "weakref", "typing", "Dict", "Set", "ProxyField", "Field", "MultiField",
           "_fields", "_flat_fields", "model_fields", "model_fields_flat", "raw", "dumps", "model"]


def sample_model(inner=None):
    @model
    class Sample:
        a = Field(int)
        p = ProxyField(inner or model(type("Inner", (), {"v": Field(int)})), optional=True)
        m = MultiField(("lat", "lon"), optional=True)
        z = Field(str, optional=True)
    return Sample


class NamespaceTest(unittest.TestCase):
    def test_attributes_in_creation_order(self):
        self.assertEqual([name for name in vars(md) if name in CREATED], CREATED)
        expected = {"json": json, "weakref": weakref, "typing": typing, "Dict": typing.Dict, "Set": typing.Set,
                    "ProxyField": bases.ProxyField, "Field": bases.Field, "MultiField": bases.MultiField}
        for name, value in expected.items():
            self.assertIs(getattr(md, name), value, name)
        self.assertEqual((type(md._fields), type(md._flat_fields)), (weakref.WeakKeyDictionary,) * 2)
        self.assertIsNot(md._fields, md._flat_fields)
        for name in ("fields", "flat_fields", "make_optional_cast", "capture", "field_property"):
            self.assertNotIn(name, vars(md))
        if support.NATIVE:
            self.assertEqual((md.__name__, md.__doc__), ("quenlory.model_decorator", None))


@unittest.skipUnless(support.NATIVE, "import machinery of the native module")
class InitialisationGuardTest(unittest.TestCase):
    def test_one_module_object_and_reexecution_changes_nothing(self):
        import _imp
        before, spec = dict(vars(md)), md.__spec__
        self.assertIs(importlib.util.module_from_spec(spec), md)
        self.assertIs(_imp.create_dynamic(spec), md)
        spec.loader.exec_module(md)
        self.assertEqual([name for name in CREATED if vars(md)[name] is not before[name]], [])

    def test_execution_on_another_module_object_is_refused(self):
        import ctypes
        api = ctypes.pythonapi
        api.PyModule_GetDef.argtypes, api.PyModule_GetDef.restype = [ctypes.py_object], ctypes.c_void_p
        api.PyModule_ExecDef.argtypes, api.PyModule_ExecDef.restype = [ctypes.py_object, ctypes.c_void_p], ctypes.c_int
        other = types.ModuleType("quenlory.model_decorator")
        with self.assertRaises(RuntimeError) as caught:
            api.PyModule_ExecDef(other, api.PyModule_GetDef(md))
        self.assertEqual(str(caught.exception),
                         "Module 'model_decorator' has already been imported. Re-initialisation is not supported.")
        self.assertFalse(set(CREATED) & set(vars(other)))
        self.assertEqual(md.raw(types.SimpleNamespace(_data=1)), 1)  # the real module is untouched

    def test_another_interpreter_cannot_import_it(self):
        try:
            from _testcapi import run_in_subinterp as run
        except ImportError:
            self.skipTest("no sub-interpreter runner")
        with tempfile.TemporaryDirectory() as folder:
            out = os.path.join(folder, "out")
            self.assertEqual(run("import sys\nsys.path[:] = %r\ntry:\n    import quenlory.model_decorator\n"
                                 "    outcome = 'imported'\nexcept ImportError as e:\n    outcome = str(e)\n"
                                 "open(%r, 'w').write(outcome)\n" % (sys.path, out)), 0)
            with open(out) as f:
                self.assertEqual(f.read(), "Interpreter change detected - this module can only be loaded into one "
                                           "interpreter per process.")
        self.assertEqual(md.raw(types.SimpleNamespace(_data=2)), 2)  # still fine here

    @unittest.skipUnless(support.FREE_THREADED, "for free-threaded builds")
    def test_import_leaves_the_global_lock_off(self):
        env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
        env["PYTHONPATH"] = os.pathsep.join(map(os.path.abspath, sys.path))
        proc = subprocess.run([sys.executable, "-W", "error", "-c",
                               "import sys, quenlory.model_decorator; print(sys._is_gil_enabled())"],
                              capture_output=True, text=True, env=env, cwd=os.path.dirname(os.path.abspath(__file__)))
        self.assertEqual((proc.returncode, proc.stdout.strip(), proc.stderr[-2000:]), (0, "False", ""))


class MissingBuildTest(unittest.TestCase):
    def test_package_without_the_extension_says_how_to_build_it(self):
        package = os.path.dirname(bases.__file__.rsplit(os.sep, 1)[0])
        with tempfile.TemporaryDirectory() as folder:
            copy = os.path.join(folder, "quenlory")
            shutil.copytree(package, copy, ignore=shutil.ignore_patterns("model_decorator.*", "__pycache__"))
            open(os.path.join(copy, "model_decorator.cpython-30-x86_64-linux-gnu.so"), "w").close()
            proc = subprocess.run([sys.executable, "-c", "import quenlory"], cwd=folder, capture_output=True, text=True)
        last = proc.stderr.strip().splitlines()[-1]
        self.assertTrue(last.startswith("ImportError: quenlory's native core"), proc.stderr)
        for words in (sys.version.split()[0], "Found beside the package: cpython-30-x86_64-linux-gnu.",
                      sys.executable + " -m pip install"):
            self.assertIn(words, last)


class RegistryTest(unittest.TestCase):
    def test_field_maps_are_live_and_in_declaration_order(self):
        inner = model(type("Inner", (), {"v": Field(int)}))
        sample = sample_model(inner)
        fields, flat = model_fields(sample), model_fields_flat(sample)
        self.assertTrue(fields is md._fields[sample] is model_fields(sample))
        self.assertTrue(flat is md._flat_fields[sample] is model_fields_flat(sample))
        self.assertEqual(list(fields), ["a", "p", "m", "z"])
        self.assertEqual([decl.name for decl in fields.values()], ["a", "p", "m", "z"])
        self.assertEqual(list(flat), ["a", "p.v", "z"])
        self.assertIs(flat["a"], fields["a"])
        self.assertIs(flat["p.v"], model_fields(inner)["v"])
        # Equality walks the registered map itself, so removing a field from it is seen at once.
        left, right = sample(a=1, z="x"), sample(a=1, z="y")
        with support.captured_stdout():
            self.assertFalse(left == right)
            removed = fields.pop("z")
            try:
                self.assertTrue(left == right)
            finally:
                fields["z"] = removed

    def test_each_decoration_registers_its_own_class(self):
        cls = type("Twice", (), {"a": Field(int)})
        first, second = model(cls), model(cls)
        self.assertIsNot(first, second)
        self.assertIsNot(model_fields(first), model_fields(second))
        self.assertEqual(model_fields(first), model_fields(second))
        self.assertNotIn(cls, md._fields)

    @support.before_threads
    def test_entries_go_with_their_class(self):
        inner = model(type("Inner", (), {"v": Field(int)}))
        sample = sample_model(inner)
        sample(a=1, p={"v": 1})  # instances and descriptors must not keep the class alive either
        ref = weakref.ref(sample)
        self.assertTrue(sample in md._fields and sample in md._flat_fields)
        while gc.collect():  # earlier tests' models may need several passes to go
            pass
        counts = len(md._fields), len(md._flat_fields)
        del sample
        gc.collect()
        self.assertIsNone(ref())
        self.assertEqual((len(md._fields), len(md._flat_fields)), (counts[0] - 1, counts[1] - 1))
        self.assertIn(inner, md._fields)

    def test_argument_check(self):
        class Meta(type):
            pass

        cases = [(5, "int"), ("x", "str"), (abc.ABC, "ABCMeta"), (Meta("Never", (), {}), "Meta"),
                 (collections.OrderedDict(), "collections.OrderedDict")]
        for fn in (model_fields, model_fields_flat):
            for arg, shown in cases:
                with self.assertRaises(TypeError) as caught:
                    fn(arg)
                self.assertEqual(str(caught.exception),
                                 "Argument 'cls' has incorrect type (expected type, got %s)" % shown)
            with self.assertRaises(KeyError):
                fn(type("Plain", (), {}))
            with self.assertRaises(TypeError) as caught:  # passes the check, fails in the weak-key registry
                fn(None)
            self.assertNotIn("Argument", str(caught.exception))

    def test_registries_are_looked_up_at_each_use(self):
        sample = sample_model()
        with support.rebound("_fields", {sample: "mine"}), support.rebound("_flat_fields", DELETED):
            self.assertEqual(model_fields(sample), "mine")
            with self.assertRaises(NameError) as caught:
                model_fields_flat(sample)
            self.assertEqual(str(caught.exception), "name '_flat_fields' is not defined")
        self.assertEqual(list(model_fields(sample)), ["a", "p", "m", "z"])
        mine = {}
        with support.rebound("_fields", mine):
            later = model(type("Later", (), {"b": Field()}))
        self.assertEqual((list(mine), list(mine[later])), ([later], ["b"]))
        self.assertNotIn(later, md._fields)
        self.assertIn(later, md._flat_fields)
