"""Model instances across pickle, copy, a process pool and a Dask cluster."""
import copy
import copyreg
import gc
import os
import pickle
import subprocess
import sys
import unittest
import weakref

import support
from support import Field, MultiField, ProxyField, model, raw

from quenlory._pickling import restore

HERE = os.path.dirname(os.path.abspath(__file__))
PROTOCOLS = range(2, pickle.HIGHEST_PROTOCOL + 1)
CASTS = []


def counted_text(value):
    CASTS.append(value)
    return "<%s>" % (value,)  # not idempotent: a second cast would show


@model
class Address:
    city = Field(counted_text)
    postcode = Field(str, optional=True)


@model
class Station:
    name = Field(str)
    elevation = Field(int, default=0)
    address = ProxyField(Address)
    position = MultiField(("lat", "lon"))
    operator = Field(str, optional=True)


@model
class Custom:
    def __reduce__(self):
        return str, ("its own reduction",)


class Depot(Station):
    """A plain subclass: no model, pickled by its own name, with an instance dictionary of its own."""


class Counted(Station):
    """A subclass with __getnewargs__, which pickle calls."""
    def __getnewargs__(self):
        STATES.append("getnewargs")
        return ()


class _Vault(Station):
    """A subclass whose name starts with "_", with a private slot (named _Vault__key)."""
    __slots__ = ("__key",)


@model
class Versioned:
    name = Field(str)
    restored = Field(bool, optional=True)

    def __getstate__(self):
        return {"version": 2, "data": dict(raw(self))}

    def __setstate__(self, state):
        object.__setattr__(self, "_data", dict(state["data"], restored=state["version"] == 2))
        object.__setattr__(self, "_compounds", {})


STATES = []


@model
class Migrating:
    name = Field(str)

    def __setstate__(self, state):  # given the default state
        STATES.append(state)
        for slot, value in state[1].items():
            object.__setattr__(self, slot, value)


@model
class Protocols:
    def __reduce_ex__(self, protocol):
        return str, ("protocol %d" % (protocol,),)


class Registry:
    @model
    class Entry:
        code = Field(str)


def local_model():
    @model
    class Local:
        x = Field(int)

        def twin(self):
            return Local(x=self.x)  # the method's closure refers to the model class

    return Local


def station():
    return Station({"name": "Kew", "elevation": "41", "address": {"city": "London"}, "lat": 51.5, "lon": -0.3})


def bump(instance):
    instance.elevation += 1
    return os.getpid(), instance


class RoundTrip(unittest.TestCase):
    def test_models_come_back_without_a_second_cast(self):
        for protocol in PROTOCOLS:
            original = station()
            casts = len(CASTS)
            back = pickle.loads(pickle.dumps(original, protocol))
            self.assertEqual(len(CASTS), casts)
            self.assertIs(type(back), Station)
            self.assertEqual(raw(back), raw(original))
            self.assertEqual(raw(back)["address"], {"city": "<London>"})
            self.assertIs(raw(back.address), raw(back)["address"])
            self.assertEqual(list(back.position), [51.5, -0.3])
            entry = pickle.loads(pickle.dumps(Registry.Entry(code="x"), protocol))
            self.assertIs(type(entry), Registry.Entry)
            self.assertEqual(pickle.loads(pickle.dumps(Custom(), protocol)), "its own reduction")

    def test_memo_keeps_shared_objects_shared(self):
        data = {"name": "Kew", "address": {"city": "London"}, "lat": 1, "lon": 2}
        first, second = Station(data), Station(data)
        for protocol in PROTOCOLS:
            a, b, d, nested = pickle.loads(pickle.dumps([first, second, data, first.address], protocol))
            self.assertIs(raw(a), d)
            self.assertIs(raw(b), d)
            self.assertIs(a.address, nested)
            self.assertIs(a.position._data, d)

    def test_failures_name_the_model(self):
        Local = local_model()
        with self.assertRaisesRegex(pickle.PicklingError, r"local_model\.<locals>\.Local: it is declared inside a function"):
            pickle.dumps(Local(x=1))
        blob = pickle.dumps(Registry.Entry(code="x"))
        renamed = Registry.Entry
        del Registry.Entry
        try:
            with self.assertRaisesRegex(pickle.PicklingError, "not found under that name"):
                pickle.dumps(renamed(code="x"))
            with self.assertRaisesRegex(AttributeError, "no model test_pickling.Registry.Entry"):
                pickle.loads(blob)
            Registry.Entry = Address  # another model under the name
            with self.assertRaisesRegex(pickle.PicklingError, "bound to another model"):
                pickle.dumps(renamed(code="x"))
        finally:
            Registry.Entry = renamed
        for bad in ([("name", "Kew")], None, "text"):
            with self.assertRaisesRegex(TypeError, "must be a dict"):
                restore(Station, bad, {})
        with self.assertRaisesRegex(TypeError, "needs a model class"):
            restore(dict, {}, {})


class Copies(unittest.TestCase):
    def test_copy_has_its_own_top_level_dictionary(self):
        original = station()
        before = copy.deepcopy(raw(original))
        twin = copy.copy(original)
        self.assertIsNot(raw(twin), raw(original))
        self.assertIs(twin.address, original.address)  # shallow: nested values stay shared
        self.assertIs(twin.position._data, raw(twin))
        twin.name, twin.elevation, twin.address, twin.position = "Wisley", 30, {"city": "Woking"}, (51.3, -0.5)
        self.assertEqual(raw(original), before)
        self.assertEqual(list(original.position), [51.5, -0.3])

    def test_deepcopy_copies_everything(self):
        original = station()
        twin = copy.deepcopy(original)
        self.assertEqual(raw(twin), raw(original))
        self.assertIsNot(raw(twin)["address"], raw(original)["address"])
        self.assertIs(raw(twin.address), raw(twin)["address"])
        self.assertIs(twin.position._data, raw(twin))

    @support.before_threads
    def test_models_stay_collectable_and_unchanged(self):
        namespace = sorted(vars(Station))
        Local = local_model()
        key = copyreg.dispatch_table[Local].__self__
        instance = Local(x=1)
        self.assertEqual(raw(copy.copy(instance)), {"x": 1})  # copies need no name
        self.assertEqual(raw(copy.deepcopy(instance).twin()), {"x": 1})
        pickle.dumps(station())
        gone = weakref.ref(Local)
        del Local, instance
        gc.collect()
        self.assertIsNone(gone())
        self.assertFalse(any(entry is key for entry in copyreg.dispatch_table))
        self.assertEqual(sorted(vars(Station)), namespace)
        self.assertEqual(Station.__qualname__, "model.<locals>.ModelClass")


class OwnHooks(unittest.TestCase):
    def test_the_class_s_own_hooks_win(self):
        namespaces = [sorted(vars(cls)) for cls in (Versioned, Migrating)]
        twins = [("copy", copy.copy), ("deepcopy", copy.deepcopy)]
        twins += [("protocol %d" % p, lambda o, p=p: pickle.loads(pickle.dumps(o, p))) for p in PROTOCOLS]
        for how, twin in twins:
            with self.subTest(how):
                original = Versioned(name="a")
                back = twin(original)
                self.assertIs(type(back), Versioned)
                self.assertEqual(raw(back), dict(raw(original), restored=True))
                original, STATES[:] = Migrating(name="b"), []
                back = twin(original)
                self.assertIs(type(back), Migrating)
                self.assertEqual(raw(back), {"name": "b"})
                self.assertEqual([(s[0], sorted(s[1])) for s in STATES], [(None, ["_compounds", "_data"])])
        for protocol in PROTOCOLS:
            self.assertEqual(pickle.loads(pickle.dumps(Protocols(), protocol)), "protocol %d" % protocol)
        self.assertEqual(copy.copy(Protocols()), "protocol 4")
        Late = model(type("Late", (), {}))  # its own __reduce_ex__ comes after the decoration
        Late.__reduce_ex__ = lambda self, protocol: (str, ("late",))
        STATES[:] = []
        pickle.dumps(Counted(raw(station())), 2)
        # str(): a model with no fields equals anything
        self.assertEqual((str(copy.copy(Late())), STATES), ("late", ["getnewargs"]))
        self.assertEqual([sorted(vars(cls)) for cls in (Versioned, Migrating)], namespaces)

    # The model's __init__ enters a subclass the first time it constructs one of its instances.
    def test_subclass_instances_copy_and_pickle_as_the_model_s(self):
        original = Depot(raw(station()))
        original.note = "kept"
        for how, twin in (("copy", copy.copy), ("deepcopy", copy.deepcopy),
                          ("pickle", lambda o: pickle.loads(pickle.dumps(o)))):
            with self.subTest(how):
                back = twin(original)
                self.assertIs(type(back), Depot)
                self.assertEqual(back.note, "kept")
                self.assertIsNot(raw(back), raw(original))
                self.assertEqual(raw(back), raw(original))
                self.assertIs(back.position._data, raw(back))
        vault = _Vault(raw(station()))
        vault._Vault__key = "kept"
        for twin in (copy.copy, copy.deepcopy, lambda o: pickle.loads(pickle.dumps(o))):
            self.assertEqual(twin(vault)._Vault__key, "kept")


class Processes(unittest.TestCase):
    def test_process_pool_example(self):
        script = os.path.join(os.path.dirname(HERE), "examples", "parallel.py")
        run = subprocess.run([sys.executable, script, os.path.join(HERE, "fixtures", "iso"), "--workers", "2"],
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True, timeout=120)
        self.assertEqual(run.returncode, 0, run.stdout)
        self.assertIn("19 records: the parallel result equals the serial one", run.stdout)

    def test_dask_cluster(self):
        try:
            import dask
            import dask.bag
            from dask.distributed import Client, LocalCluster
        except ImportError as error:
            self.skipTest("Dask is not importable here (make test installs it for the interpreters in DASK_VERSIONS):"
                          " %s" % (error,))
        items = [Station(name="s%d" % i, elevation=i, address={"city": "c%d" % i}, lat=i, lon=-i) for i in range(40)]
        expected = [raw(bump(copy.deepcopy(item))[1]) for item in items]
        with dask.config.set({"distributed.comm.timeouts.connect": "30s"}), \
                LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                             dashboard_address=None) as cluster, Client(cluster, timeout="30s") as client:
            bag = dask.bag.from_sequence(items, npartitions=4).map(bump)
            results = client.compute(bag).result(timeout=60)
        self.assertEqual([raw(instance) for _, instance in results], expected)
        self.assertTrue(all(type(instance) is Station for _, instance in results))
        self.assertNotIn(os.getpid(), {pid for pid, _ in results})
        self.assertEqual([item.elevation for item in items], list(range(40)))  # the originals did not move


if __name__ == "__main__":
    unittest.main()
