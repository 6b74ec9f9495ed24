"""Random scenarios from tests/fuzzgen.py must play out alike on the native module and the reference.

QUENLORY_FUZZ_COUNT, QUENLORY_FUZZ_SEED and QUENLORY_FUZZ_SECONDS change the
number of scenarios, the first seed and the time cap; `make fuzz` runs long.
"""
import contextlib
import io
import os
import unittest

import support
import fuzzgen
from observe import normal, show
from quenlory.fields.bases import Field

COUNT = int(os.environ.get("QUENLORY_FUZZ_COUNT", "2500"))
SEED = int(os.environ.get("QUENLORY_FUZZ_SEED", "7919"))
SECONDS = float(os.environ.get("QUENLORY_FUZZ_SECONDS", "12"))


def watched_getattribute(self, name):
    fuzzgen.LOG.append("getattr " + name)
    return object.__getattribute__(self, name)


@unittest.skipUnless(support.NATIVE, "compares the native module with the reference")
class Fuzz(unittest.TestCase):
    def test_random_scenarios(self):
        run, found = fuzzgen.fuzz(SEED, COUNT, budget=SECONDS)
        self.assertEqual(found, [], "\n\n".join(found))
        self.assertGreater(run, min(COUNT, 100))

    def test_found_cases(self):
        """Scenarios on which the two once parted."""
        def record(impl):
            fuzzgen.LOG[:] = []
            cls = impl.model(type("Seen", (), {"a": Field(optional=True), "__getattribute__": watched_getattribute}))
            one, two = cls(a=1), cls()
            with contextlib.redirect_stdout(io.StringIO()) as out:
                # the type of the other side is tested without reading its __class__
                results = [one != two, one == {"a": 1}, two == one]
            return normal(repr((show(results), out.getvalue(), fuzzgen.LOG[:])))

        self.assertEqual(record(fuzzgen.native), record(fuzzgen.baseline))
