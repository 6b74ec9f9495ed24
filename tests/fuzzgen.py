"""Seeded differential fuzz: the native module against the pure-Python reference.

`play(impl, seed)` draws one random scenario from `seed` (models with plain,
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
(tests/fuzz_kit.py). Each case then runs in a child process that a crash or a
hang cannot take down with the run: the seed is reported and the next case goes
on (tests/fuzz_child.py). Every case also plays the strict differential
(tests/fuzz_strict.py). This file drives the cases and holds the command line;
the scenarios are drawn in tests/fuzz_scenario.py, and compared as
tests/observe.py says.

    python tests/fuzzgen.py [--count N] [--seed S] [--hostile]   # S defaults to a random seed, printed
"""
import argparse
import faulthandler
import json
import os
import random
import sys
import time

_HERE = os.path.dirname(os.path.abspath(__file__))
if _HERE not in sys.path:
    sys.path.insert(0, _HERE)

import baseline  # noqa: E402
import quenlory.model_decorator as native  # noqa: E402
from fuzz_child import supervise  # noqa: E402
from fuzz_kit import LOG, Hostile  # noqa: E402,F401
from fuzz_scenario import hostile_process, play  # noqa: E402
from fuzz_strict import strict_divergence  # noqa: E402
from observe import first_difference  # noqa: E402


def divergence(seed, hostile=False):
    """None when both implementations agree on scenario `seed`, else a description of the first difference.

    A hostile case is fierce one time in two; the reference, which plays it with its hooks off, is only asked
    when the case changed nothing it depends on."""
    if hostile:
        fierce = random.Random(-seed).random() < 0.5
        kit = Hostile(seed, fierce)
        mine = play(native, seed, kit)
        if kit.changed:
            return None
        kit.budget = 4
        checked = strict_divergence(seed, kit)
        if checked:
            return checked
        theirs = play(baseline, seed, Hostile(seed, fierce, live=False))
    else:
        mine, theirs = play(native, seed), play(baseline, seed)
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
            print("\n".join(play(impl, args.show, kit)))
        return 0
    seed = args.seed if args.seed is not None else random.randrange(10 ** 9)
    print("fuzz: seeds %d..%d (rerun with --seed %d --count %d%s)" % (
        seed, seed + args.count - 1, seed, args.count, " --hostile" * args.hostile))
    started = time.monotonic()
    if args.hostile:
        n, found = supervise(os.path.abspath(__file__), seed, args.count, args.case_seconds)
    else:
        n, found = fuzz(seed, args.count, stop_after=20)
    for problem in found:
        print(problem)
    print("fuzz: %d cases in %.1f s, %d problems" % (n, time.monotonic() - started, len(found)))
    print("%d passed, %d failed" % (n - len(found), len(found)))
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
