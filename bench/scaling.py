"""Throughput of constructions and reads from 1 and 2 threads, each on instances of its own of one shared model.

    PYTHONPATH=... python bench/scaling.py [--seconds S]

Prints operations per second for quenlory, the pure-Python twin and a hand-written slots class, and the
2-thread/1-thread ratio. Meant for a free-threaded interpreter run with PYTHON_GIL=0; on a GIL build the ratio stays
near 1. Each thread reads its own copy of the input, made of objects of its own: objects that several threads
reference are counted with atomic operations on the free-threaded build, and would measure that instead.
"""
import argparse
import os
import statistics
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

import baseline  # noqa: E402
from quenlory import model_decorator  # noqa: E402
from quenlory.fields.bases import Field  # noqa: E402

DATA = {"a1": "1", "a2": "22", "a3": "333", "s1": "alpha", "s2": "beta"}


def kit(md):
    return md.model(type("A", (), {"a1": Field(int), "a2": Field(int), "a3": Field(int), "s1": Field(str),
                                   "s2": Field(str), "opt": Field(str, optional=True)}))


class Slots:
    __slots__ = ("a1", "a2", "a3", "s1", "s2", "opt")

    def __init__(self, data):
        self.a1, self.a2, self.a3 = int(data["a1"]), int(data["a2"]), int(data["a3"])
        self.s1, self.s2, self.opt = str(data["s1"]), str(data["s2"]), data.get("opt")


def work(A, data, n):
    for _ in range(n):
        o = A(dict(data))
        o.a1; o.a2; o.s1; o.opt  # noqa: B018


def own_copy(data):
    return {key: (value + " ")[:-1] for key, value in data.items()}  # new objects, made by the calling thread


def throughput(A, threads, seconds, chunk=2000):
    done = [0] * threads
    stop = time.perf_counter() + seconds
    start = threading.Barrier(threads + 1)

    def run(i):
        data = own_copy(DATA)
        start.wait()
        while time.perf_counter() < stop:
            work(A, data, chunk)
            done[i] += chunk
    pool = [threading.Thread(target=run, args=(i,)) for i in range(threads)]
    for t in pool:
        t.start()
    t0 = time.perf_counter()
    start.wait()
    for t in pool:
        t.join()
    return sum(done) / (time.perf_counter() - t0)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=float, default=1.0)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print("CPython %s, global lock %s; median of %d rounds of %.1f s" % (sys.version.split()[0], "on" if gil else "off",
                                                                       args.rounds, args.seconds))
    print("%-10s %14s %14s %8s" % ("", "1 thread/s", "2 threads/s", "2/1"))
    for name, A in (("quenlory", kit(model_decorator)), ("twin", kit(baseline)), ("slots", Slots)):
        work(A, DATA, 1000)
        ones, twos = [], []
        for _ in range(args.rounds):
            ones.append(throughput(A, 1, args.seconds))
            twos.append(throughput(A, 2, args.seconds))
        ratio = statistics.median(b / a for a, b in zip(ones, twos))
        print("%-10s %14.0f %14.0f %8.2f" % (name, statistics.median(ones), statistics.median(twos), ratio))


if __name__ == "__main__":
    main()
