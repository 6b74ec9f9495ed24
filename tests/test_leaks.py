"""Decoration, reads and writes, run many times, leave no memory behind, error paths included."""
import unittest

import support
from support import Field, MultiField, ProxyField, model


class Inner:
    v = Field(int)


INNER = model(Inner)


def decorate(**body):
    return model(type("Leaky", (), body))


class Broken(ProxyField):
    __slots__ = ()

    def flat_fields(self, prefix):
        raise LookupError(prefix)


class Leaks(unittest.TestCase):
    @unittest.skipUnless(support.NATIVE, "measures the extension's own allocations")
    @support.before_threads
    def test_decoration(self):
        # A leak here costs at least a block per decoration.  The slack absorbs caches that settle slowly and
        # the interpreter's own steady growth when classes are made and dropped: the pure-Python reference
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
        slack = 1600 if support.FREE_THREADED else 300
        for body in bodies:
            support.assert_no_leak(self, lambda: decorate(**body()), n=1000, warmup=300, slack=slack)
        capture = model(optional=True)
        support.assert_no_leak(self, lambda: capture(type("Captured", (), {"a": Field(int)})), n=1000, warmup=300,
                               slack=slack)

    @support.before_threads
    def test_reads_and_writes(self):
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
            support.assert_no_leak(self, call)


if __name__ == "__main__":
    unittest.main()
