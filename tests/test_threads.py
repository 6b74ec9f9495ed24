"""Eight threads for about two seconds on shared models, instances and dictionaries, with hostile changes of the
classes under them: nothing crashes, nothing raises, and every result that does not depend on the interleaving is
the one a single thread gets."""
import copy
import json
import random
import re
import sys
import threading
import time
import traceback
import unittest

import support
from support import Field, MultiField, ProxyField, dumps, model, model_fields, raw
from quenlory import loads

THREADS = 8
SECONDS = 2.0
ADDRESS = re.compile(" at 0x[0-9a-f]+")  # in the reprs of nested instances, which the trace prints
DECORATIONS = 40  # per thread: on 3.13t every class made once threads run stays alive until exit


class PerThread:
    """A stand-in for sys.stdout that keeps each thread's writes apart, so that each thread's equality trace can be
    compared with the one a single thread prints."""

    def __init__(self):
        self.parts = {}

    def write(self, text):
        self.parts.setdefault(threading.get_ident(), []).append(text)
        return len(text)

    def flush(self):
        pass

    def take(self):
        return "".join(self.parts.pop(threading.get_ident(), ()))


class Inner:
    v = Field(int)


Inner = model(Inner)


def ints(values):
    return [int(v) for v in values]


def body():
    return {"a": Field(int), "o": Field(int, optional=True), "c": ProxyField(Inner, optional=True),
            "m": MultiField(("x", "y"), ints, optional=True)}


Shared = model(type("Shared", (), body()))


def fresh(k):
    return {"a": str(k), "o": k, "c": {"v": str(k)}, "x": k, "y": k}


class Threads(unittest.TestCase):
    def test_shared_models_instances_and_dictionaries(self):
        source = {"a": "1", "o": "2", "c": {"v": "3"}, "x": 4, "y": 5}
        common = {"a": "1", "x": 1, "y": 2, "c": {"v": "2"}}  # every thread writes through instances over it
        shared = Shared(a=0, x=0, y=0)
        hostile = model(type("Hostile", (), {"x": Field(int)}))
        accessor = type(vars(hostile)["x"])
        own_get, own_init = vars(accessor)["__get__"], vars(hostile)["__init__"]

        def other_init(self, *args, **kwargs):
            own_init(self, x="7")

        flip = model(type("Flip", (), {"f": Field(int, default=5)}))
        flip_decl = model_fields(flip)["f"]
        rule_states = [{"default": 5}, {"optional": True, "default": 5}]

        # What one thread alone gets from the same calls.
        with support.captured_stdout() as out:
            self.assertTrue(Shared(fresh(3)) == Shared(fresh(3)))
        trace, dumped = ADDRESS.sub("", out.getvalue()), dumps(Shared(fresh(3)))
        made = [model(type("Made", (), body()))]
        deadline = time.monotonic() + SECONDS
        errors, counts = [], {}

        def check_shared(s):
            d = raw(s)
            a, o, c, m = s.a, s.o, s.c, s.m
            assert type(a) is int and 0 <= a < THREADS, a
            assert o is None or type(o) is int and 0 <= o < THREADS, o
            assert c is None or type(c) is Inner and type(c.v) is int and 0 <= c.v < THREADS, c
            x, y = m  # each component is one of the values written, the pair may mix two writes
            assert all(type(v) is int and 0 <= v < THREADS for v in (x, y)), (x, y)
            assert set(d) <= {"a", "o", "c", "x", "y"} and {"a", "x", "y"} <= set(d), d

        def construct_shared_dict(k, rnd):
            s = Shared(source)
            assert raw(s) is source
            assert (s.a, s.c.v, list(s.m)) == (1, 3, [4, 5]), raw(s)
            assert s.o in (2, 3), s.o
            if rnd.random() < 0.2:
                s.o = str(2 + k % 2)  # the other threads' constructions from `source` see either value

        def write_shared(k, rnd):
            what = rnd.randrange(4)
            if what == 0:
                shared.a = str(k)
            elif what == 1:
                shared.o = k if rnd.random() < 0.7 else None
            elif what == 2:
                shared.c = {"v": str(k)}
            else:
                shared.m = (k, str(k))
            check_shared(shared)

        def read_shared(k, rnd):
            check_shared(shared)

        def equality(k, rnd):
            one, two = Shared(fresh(3)), Shared(fresh(3))
            printed.take()
            assert one == two
            got = ADDRESS.sub("", printed.take())
            assert got == trace, got
            for other in (one, fresh(k)):
                try:
                    assert (shared == other) in (True, False)
                except AttributeError:  # a nested field that is None on one side only, as with one thread
                    assert "'NoneType' object has no attribute 'v'" in str(sys.exc_info()[1])
            printed.take()

        def copies(k, rnd):
            mine = Shared(fresh(k))
            twin = copy.deepcopy(mine)
            assert raw(twin) == raw(mine) and raw(twin) is not raw(mine)
            assert raw(twin)["c"] is not raw(mine)["c"]
            check_shared(copy.copy(shared))
            try:
                check_shared(copy.deepcopy(shared))
            except RuntimeError as e:  # a write that adds a key while deepcopy walks the dict, as with any dict
                assert "changed size during iteration" in str(e), e
            assert dumps(Shared(fresh(3))) == dumped
            assert set(json.loads(dumps(shared))) <= {"a", "o", "c", "x", "y"}

        def decorate(k, rnd):
            if counts.get(("made", k), 0) < DECORATIONS:
                counts[("made", k)] = counts.get(("made", k), 0) + 1
                made.append(model(type("Made%d" % k, (), body())))
            cls = rnd.choice(made)  # possibly one decorated by another thread
            m = cls(a="5", c={"v": "6"}, x=1, y=2)
            assert (m.a, m.o, m.c.v, list(m.m)) == (5, None, 6, [1, 2]), raw(m)
            assert sorted(model_fields(cls)) == ["a", "c", "m", "o"]

        def hostile_changes(k, rnd):
            what = rnd.randrange(4)
            if what == 0:
                accessor.__get__ = (lambda self, instance, owner: "hostile") if rnd.random() < 0.5 else own_get
            elif what == 1:
                hostile.__init__ = other_init if rnd.random() < 0.5 else own_init
            h = hostile(x="1")
            assert raw(h) in ({"x": 1}, {"x": 7}), raw(h)
            assert h.x in (1, 7, "hostile"), h.x
            h.x = "3"
            assert raw(h) == {"x": 3}, raw(h)

        def metadata_changes(k, rnd):
            # A declaration's metadata view replaced, and changed in place, while other threads read its rules.
            for _ in range(10):
                if rnd.random() < 0.5:
                    flip_decl.metadata = dict(rnd.choice(rule_states))
                else:
                    flip_decl.metadata["x"] = k
                assert flip().f == 5

        def keywords(k, rnd):
            # Constructions from keywords, a compound and a multi-field given whole, beside others over `common`.
            i = rnd.randrange(300)
            one, other = Shared(common), Shared(a=i % 3, c={"v": i}, m=(k, i))
            one.a = str(i % 3)
            other.m = [i, k]
            assert (other.a, other.c.v, list(other.m)) == (i % 3, i, [i, k]), raw(other)
            assert type(one.a) is int and type(dumps(one)) is str, raw(one)
            assert (one == other) in (True, False) and (one != other) in (True, False)
            printed.take()

        def json_text(k, rnd):
            # Key tables made for classes that another thread may be decorating or decoding into at once.
            cls = rnd.choice(made)
            text = dumped if rnd.random() < 0.5 else dumped.encode()
            m = loads(cls, text)
            assert raw(m) == json.loads(dumped) and list(raw(m)) == list(json.loads(dumped)), raw(m)

        ops = [construct_shared_dict, write_shared, read_shared, equality, copies, decorate, hostile_changes,
               metadata_changes, keywords, json_text]

        def work(k):
            rnd = random.Random(k)
            n = 0
            try:
                while time.monotonic() < deadline:
                    rnd.choice(ops)(k, rnd)
                    n += 1
            except BaseException as exc:  # a failure in one thread is reported, not lost
                errors.append("thread %d: %s" % (k, "".join(traceback.format_exception(type(exc), exc,
                                                                                       exc.__traceback__))))
            counts[k] = n

        old_interval, old_stdout = sys.getswitchinterval(), sys.stdout
        sys.setswitchinterval(1e-5)  # with a global lock, switch threads often
        printed = sys.stdout = PerThread()
        threads = [threading.Thread(target=work, args=(k,)) for k in range(THREADS)]
        try:
            for t in threads:
                t.start()
            for t in threads:
                t.join(SECONDS + 60)
        finally:
            sys.stdout, _ = old_stdout, sys.setswitchinterval(old_interval)
        accessor.__get__, hostile.__init__ = own_get, own_init
        self.assertFalse([t for t in threads if t.is_alive()], "threads still running")
        self.assertEqual(errors[:3], [])
        self.assertTrue(all(counts[k] > 0 for k in range(THREADS)), counts)
        check_shared(shared)
        self.assertEqual((source["a"], source["c"]["v"], source["x"], source["y"]), (1, 3, 4, 5))


if __name__ == "__main__":
    unittest.main()
