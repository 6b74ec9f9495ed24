"""Nanoseconds per operation: quenlory beside its pure-Python twin and the usual alternatives.

Every (operation, column) cell is a generated loop over one statement.  Each
round runs every cell once, row by row (the columns of a row one after the
other, taking turns at going first), each for a fixed number of iterations
sized at start so that one cell-round takes a few milliseconds; a figure is the
median over rounds, so a slow phase of the machine hits every cell alike, and
a ratio is the median of the per-round ratios of two cells of the same row.  The cost of the bare loop is measured in every round and taken
off every cell; construction from a dict by quenlory and the baseline writes
the dict in place, so those cells copy it per operation and the copy, measured
in the same round, is taken off as well.

    bench.py [--quick] [--rounds N] [--target-ms MS] [--json FILE]
"""
import argparse
import dataclasses
import gc
import itertools
import json
import os
import platform
import statistics
import sys
import time

import baseline
import peers
from quenlory import model_decorator

ROWS = (
    ("define", "define A"),
    ("construct_dict", "construct A (dict)"),
    ("construct_kw", "construct A (keywords)"),
    ("construct_b", "construct B (dict)"),
    ("read", "read field"),
    ("write", "write field"),
    ("read_compound", "read compound"),
    ("write_compound", "write compound"),
    ("read_multi", "read multi-field"),
    ("eq", "eq"),
    ("raw", "raw"),
    ("dumps", "dumps"),
)
# Cheap statements are repeated in the loop body so the loop itself weighs little.
UNROLL = {"read": 10, "write": 10, "read_compound": 10, "read_multi": 10, "raw": 10, "eq": 1}

A_FIELDS = dict(zip(peers.INT_KEYS, (int(peers.A_INPUT[k]) for k in peers.INT_KEYS)))
A_FIELDS.update((k, peers.A_INPUT[k]) for k in peers.STR_KEYS)
KW_CALL = "(" + ", ".join("%s=%r" % item for item in peers.A_INPUT.items()) + ")"


class Cell:
    __slots__ = ("column", "row", "stmt", "env", "unroll", "minus", "run", "n", "samples")

    def __init__(self, column, row, stmt, env, minus=None):
        self.column, self.row, self.stmt, self.env, self.minus = column, row, stmt, env, minus
        self.unroll = UNROLL.get(row, 1)
        self.samples = []
        names = sorted(env)
        body = "".join("        %s\n" % line for _ in range(self.unroll) for line in stmt.splitlines())
        source = ("def _cell(_it, %s):\n    _t0 = _clock()\n    for _ in _it:\n%s    return _clock() - _t0\n"
                  % (", ".join(names), body))
        namespace = {"_clock": time.perf_counter_ns}
        exec(compile(source, "<%s/%s>" % (column, row), "exec"), namespace)
        fn = namespace["_cell"]
        repeat = itertools.repeat

        def run(n):
            return fn(repeat(None, n), **env)
        self.run = run


# --- the columns ---

def model_cells(name, md):
    define_a, A, B, N = peers.model_kit(md)
    cp_a, cp_b = peers.copy_a, peers.copy_b
    fresh = lambda: A(cp_a(peers.A_INPUT))  # noqa: E731
    fresh_b = lambda: B(cp_b(peers.B_INPUT))  # noqa: E731
    return {
        "define": ("define()", {"define": define_a}),
        "construct_dict": ("A(cp(s))", {"A": A, "cp": cp_a, "s": peers.A_INPUT}, "copy A"),
        "construct_kw": ("A" + KW_CALL, {"A": A}),
        "construct_b": ("B(cp(s))", {"B": B, "cp": cp_b, "s": peers.B_INPUT}, "copy B"),
        "read": ("o.a1", {"o": fresh()}),
        "write": ("w.a1 = '42'", {"w": fresh()}),
        "read_compound": ("b.inner", {"b": fresh_b()}),
        "write_compound": ("b.inner = cp(n)", {"b": fresh_b(), "cp": cp_a, "n": peers.N_INPUT}, "copy N"),
        "read_multi": ("b.pos", {"b": fresh_b()}),
        "eq": ("o == p", {"o": fresh(), "p": fresh()}),
        "raw": ("raw(o)", {"raw": md.raw, "o": fresh()}),
        "dumps": ("dumps(o)", {"dumps": md.dumps, "o": fresh()}),
    }


def slots_cells():
    A, B, N = peers.SlotsA, peers.SlotsB, peers.SlotsN
    fresh = lambda: A(peers.A_INPUT)  # noqa: E731
    fresh_b = lambda: B(peers.B_INPUT)  # noqa: E731
    return {
        "define": ("define()", {"define": peers.define_slots_a}),
        "construct_dict": ("A(s)", {"A": A, "s": peers.A_INPUT}),
        "construct_kw": ("A" + KW_CALL, {"A": A}),
        "construct_b": ("B(s)", {"B": B, "s": peers.B_INPUT}),
        "read": ("o.a1", {"o": fresh()}),
        "write": ("w.a1 = int('42')", {"w": fresh()}),
        "read_compound": ("b.inner", {"b": fresh_b()}),
        "write_compound": ("b.inner = N(n)", {"b": fresh_b(), "N": N, "n": peers.N_INPUT}),
        "read_multi": ("b.pos", {"b": fresh_b()}),
        "eq": ("o == p", {"o": fresh(), "p": fresh()}),
        "raw": ("o.raw()", {"o": fresh()}),
        "dumps": ("o.dumps()", {"o": fresh()}),
    }


def dict_cells():
    src = peers.A_INPUT
    fresh = lambda: eval(peers.DICT_A_FROM, {"s": src})  # noqa: E731
    fresh_b = lambda: eval(peers.DICT_B_FROM, {"s": peers.B_INPUT})  # noqa: E731
    return {
        "construct_dict": (peers.DICT_A_FROM, {"s": src}),
        "construct_kw": ("mk" + KW_CALL, {"mk": peers.dict_from_kw}),
        "construct_b": (peers.DICT_B_FROM, {"s": peers.B_INPUT}),
        "read": ("d['a1']", {"d": fresh()}),
        "write": ("w['a1'] = int('42')", {"w": fresh()}),
        "read_compound": ("e['inner']", {"e": fresh_b()}),
        "write_compound": ("e['inner'] = " + peers.DICT_N_FROM, {"e": fresh_b(), "n": peers.N_INPUT}),
        "read_multi": ("(e['lat'], e['lon'])", {"e": fresh_b()}),
        "eq": ("d == f", {"d": fresh(), "f": fresh()}),
        "dumps": ("dumps(d)", {"dumps": json.dumps, "d": fresh()}),
    }


def dataclass_cells():
    A, B, N = peers.DataA, peers.DataB, peers.DataN
    fresh = lambda: A(**peers.A_INPUT)  # noqa: E731
    fresh_b = lambda: B(**peers.B_INPUT)  # noqa: E731
    return {
        "define": ("define()", {"define": peers.define_data_a}),
        "construct_dict": ("A(**s)", {"A": A, "s": peers.A_INPUT}),
        "construct_kw": ("A" + KW_CALL, {"A": A}),
        "construct_b": ("B(**s)", {"B": B, "s": peers.B_INPUT}),
        "read": ("o.a1", {"o": fresh()}),
        "write": ("w.a1 = int('42')", {"w": fresh()}),
        "read_compound": ("b.inner", {"b": fresh_b()}),
        "write_compound": ("b.inner = N(**n)", {"b": fresh_b(), "N": N, "n": peers.N_INPUT}),
        "read_multi": ("b.pos", {"b": fresh_b()}),
        "eq": ("o == p", {"o": fresh(), "p": fresh()}),
        "raw": ("asdict(o)", {"asdict": dataclasses.asdict, "o": fresh()}),
        "dumps": ("dumps(asdict(o))", {"dumps": json.dumps, "asdict": dataclasses.asdict, "o": fresh()}),
    }


def attrs_cells():
    A, B = peers.AttrsA, peers.AttrsB
    asdict = peers.attrs.asdict
    fresh = lambda: A(**peers.A_INPUT)  # noqa: E731
    fresh_b = lambda: B(**peers.B_INPUT)  # noqa: E731
    return {
        "define": ("define()", {"define": peers.define_attrs_a}),
        "construct_dict": ("A(**s)", {"A": A, "s": peers.A_INPUT}),
        "construct_kw": ("A" + KW_CALL, {"A": A}),
        "construct_b": ("B(**s)", {"B": B, "s": peers.B_INPUT}),
        "read": ("o.a1", {"o": fresh()}),
        "write": ("w.a1 = '42'", {"w": fresh()}),
        "read_compound": ("b.inner", {"b": fresh_b()}),
        "write_compound": ("b.inner = n", {"b": fresh_b(), "n": peers.N_INPUT}),
        "read_multi": ("b.pos", {"b": fresh_b()}),
        "eq": ("o == p", {"o": fresh(), "p": fresh()}),
        "raw": ("asdict(o)", {"asdict": asdict, "o": fresh()}),
        "dumps": ("dumps(asdict(o))", {"dumps": json.dumps, "asdict": asdict, "o": fresh()}),
    }


def pydantic_cells():
    A, B = peers.PydA, peers.PydB
    fresh = lambda: A.model_validate(peers.A_INPUT)  # noqa: E731
    fresh_b = lambda: B.model_validate(peers.B_INPUT)  # noqa: E731
    return {
        "define": ("define()", {"define": peers.define_pyd_a}),
        "construct_dict": ("A.model_validate(s)", {"A": A, "s": peers.A_INPUT}),
        "construct_kw": ("A" + KW_CALL, {"A": A}),
        "construct_b": ("B.model_validate(s)", {"B": B, "s": peers.B_INPUT}),
        "read": ("o.a1", {"o": fresh()}),
        "write": ("w.a1 = '42'", {"w": fresh()}),
        "read_compound": ("b.inner", {"b": fresh_b()}),
        "write_compound": ("b.inner = n", {"b": fresh_b(), "n": peers.N_INPUT}),
        "read_multi": ("b.pos", {"b": fresh_b()}),
        "eq": ("o == p", {"o": fresh(), "p": fresh()}),
        "raw": ("o.model_dump()", {"o": fresh()}),
        "dumps": ("o.model_dump_json()", {"o": fresh()}),
    }


def columns():
    cols = {
        "quenlory": model_cells("quenlory", model_decorator),
        "baseline": model_cells("baseline", baseline),
        "slots": slots_cells(),
        "dict": dict_cells(),
        "dataclass": dataclass_cells(),
    }
    missing = []
    if peers.attrs is not None:
        cols["attrs"] = attrs_cells()
    else:
        missing.append("attrs")
    if peers.pydantic is not None:
        cols["pydantic"] = pydantic_cells()
    else:
        missing.append("pydantic")
    return cols, missing


# --- the correctness check: every column computes what quenlory computes ---

def _get(obj, key):
    return obj.get(key) if isinstance(obj, dict) else getattr(obj, key)


def _plain(data):
    # Libraries write the absent optional field out as null; quenlory leaves it out.
    return {k: v for k, v in data.items() if v is not None}


def make_a(column, cls, data):
    if cls is dict:
        return eval(peers.DICT_A_FROM, {"s": data})
    if column == "pydantic":
        return cls.model_validate(data)
    if column in ("dataclass", "attrs"):
        return cls(**data)
    return cls(peers.copy_a(data))


def pos(obj):
    return (obj["lat"], obj["lon"]) if isinstance(obj, dict) else obj.pos


def check(cols):
    problems = []

    def expect(column, row, got, want):
        if got != want:
            problems.append("%s/%s: got %r, expected %r" % (column, row, got, want))

    def value(spec):
        stmt, env = spec[0], dict(spec[1])
        return eval(stmt, {}, env)

    def read_a(obj):
        return {k: _get(obj, k) for k in list(A_FIELDS) + ["opt"]}

    want_a = dict(A_FIELDS, opt=None)
    want_n = {"x": 3, "y": 4, "name": "inner"}
    texts = {}
    for column, cells in cols.items():
        for row, spec in cells.items():
            stmt, env = spec[0], spec[1]
            if row == "define":
                expect(column, row, read_a(make_a(column, env["define"](), peers.A_INPUT)), want_a)
            elif row in ("construct_dict", "construct_kw"):
                expect(column, row, read_a(value(spec)), want_a)
                expect(column, row + " types", [type(_get(value(spec), k)) for k in A_FIELDS],
                       [type(v) for v in A_FIELDS.values()])
            elif row == "construct_b":
                obj = value(spec)
                expect(column, row, [_get(obj, "id"), _get(obj, "label"), list(pos(obj))],
                       [7, "bee", [51.5, -0.12]])
                expect(column, row, {k: _get(_get(obj, "inner"), k) for k in want_n}, want_n)
            elif row == "read":
                expect(column, row, value(spec), 1)
            elif row == "write":
                target = dict(env)
                exec(stmt, {}, target)
                expect(column, row, _get(next(iter(env.values())), "a1"), 42)
            elif row == "read_compound":
                expect(column, row, {k: _get(value(spec), k) for k in want_n}, want_n)
            elif row == "write_compound":
                obj = env.get("b", env.get("e"))
                before = _get(obj, "inner")
                exec(stmt, {}, dict(env))
                after = _get(obj, "inner")
                expect(column, row, after is not before, True)
                expect(column, row, {k: _get(after, k) for k in want_n}, want_n)
            elif row == "read_multi":
                expect(column, row, list(value(spec)), [51.5, -0.12])
            elif row == "eq":
                expect(column, row, value(spec), True)
                second = "p" if "p" in env else "f"
                changed = dict(peers.A_INPUT, s4="other")
                unequal = dict(env, **{second: make_a(column, type(env[second]), changed)})
                expect(column, row + " (unequal)", eval(stmt, {}, unequal), False)
            elif row == "raw":
                expect(column, row, _plain(value(spec)), A_FIELDS)
            elif row == "dumps":
                text = value(spec)
                texts[column] = text
                expect(column, row, _plain(json.loads(text)), A_FIELDS)
    exact = {texts[c] for c in ("quenlory", "baseline", "slots", "dict")}
    if len(exact) != 1:
        problems.append("dumps texts differ: %r" % sorted(exact))
    return problems


# --- measuring ---

def calibrate(cell, target_ns):
    n = 1
    while True:
        gc.disable()
        try:
            elapsed = cell.run(n)
        finally:
            gc.enable()
        if elapsed >= target_ns / 5 or n >= 1 << 24:
            break
        n *= 2 if elapsed * 20 > target_ns else 8
    cell.n = max(1, round(n * target_ns / max(elapsed, 1)))


def measure(cols, rounds, target_ns):
    """Return ({row: {column: samples}}, {helper: median ns}); samples[i] is round i's figure."""
    loop = Cell("-", "loop", "pass", {})
    copies = {
        "copy A": Cell("-", "copy A", "cp(s)", {"cp": peers.copy_a, "s": peers.A_INPUT}),
        "copy B": Cell("-", "copy B", "cp(s)", {"cp": peers.copy_b, "s": peers.B_INPUT}),
        "copy N": Cell("-", "copy N", "cp(n)", {"cp": peers.copy_a, "n": peers.N_INPUT}),
    }
    # One group per row, its copy first: the cells compared with each other run
    # close together in time.  The columns take turns at going first.
    groups = [[loop]]
    for row, _ in ROWS:
        group = [Cell(column, row, *specs[row]) for column, specs in cols.items() if row in specs]
        minus = {cell.minus for cell in group} - {None}
        groups.append([copies[name] for name in sorted(minus)] + group)
    cells = [cell for group in groups for cell in group]
    for cell in cells:
        calibrate(cell, target_ns)
    for index in range(rounds):
        raw_ns = {}
        for group in groups:
            turn = index % len(group)
            for cell in group[turn:] + group[:turn]:
                gc.disable()
                try:
                    raw_ns[cell] = cell.run(cell.n) / cell.n
                finally:
                    gc.enable()
        per_iter_loop = raw_ns[loop]
        loop.samples.append(per_iter_loop)
        for cell in cells:
            if cell is loop:
                continue
            ns = (raw_ns[cell] - per_iter_loop) / cell.unroll
            if cell.minus:
                ns -= raw_ns[copies[cell.minus]] - per_iter_loop
            cell.samples.append(ns)
    samples = {}
    for cell in cells:
        if cell.column != "-":
            samples.setdefault(cell.row, {})[cell.column] = (cell.samples, cell.n * cell.unroll)
    extras = {"loop": statistics.median(loop.samples)}
    for name, cell in copies.items():
        extras[name] = statistics.median(cell.samples)
    return samples, extras


def summarise(samples):
    results = {}
    for row, columns in samples.items():
        for column, (values, n) in columns.items():
            ordered = sorted(values)
            q = statistics.quantiles(ordered, n=4) if len(ordered) > 1 else ordered * 3
            results.setdefault(row, {})[column] = {
                "median": statistics.median(ordered), "q1": q[0], "q3": q[2], "ops_per_round": n}
    return results


# --- reporting ---

def fmt_ns(value):
    if value is None:
        return "n/a"
    return "%.1f" % value if abs(value) < 100 else "{:,.0f}".format(value)


def fmt_ratio(value):
    if value is None:
        return "n/a"
    return "%.2f" % value if value < 10 else "%.1f" % value if value < 100 else "%.0f" % value


def table(title, names, grid, fmt):
    label_width = max(len(label) for _, label in ROWS) + 2
    widths = [max(len(name), 9) + 2 for name in names]
    lines = [title, " " * label_width + "".join(name.rjust(w) for name, w in zip(names, widths))]
    for row, label in ROWS:
        if row not in grid:
            continue
        cells = "".join(fmt(grid[row].get(name)).rjust(w) for name, w in zip(names, widths))
        lines.append(label.ljust(label_width) + cells)
    return "\n".join(lines)


def paired(samples, row, column, reference):
    # Median of the round-by-round ratios: both figures of a pair come from the
    # same round, taken moments apart.
    cells = samples.get(row, {})
    if column not in cells or reference not in cells:
        return None
    return statistics.median(a / b for a, b in zip(cells[column][0], cells[reference][0]))


def ratios(samples, names, reference):
    return {row: {name: paired(samples, row, name, reference) for name in names} for row, _ in ROWS}


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer, shorter rounds (well under 30 s)")
    parser.add_argument("--rounds", type=int, help="rounds (default 15, --quick 5)")
    parser.add_argument("--target-ms", type=float, help="time of one cell in one round (default 10, --quick 4)")
    parser.add_argument("--json", metavar="FILE", help="write all figures and ratios as JSON")
    args = parser.parse_args(argv)
    rounds = args.rounds or (5 if args.quick else 15)
    target_ms = args.target_ms or (4.0 if args.quick else 10.0)

    started = time.perf_counter()
    cols, missing = columns()
    names = list(cols)
    stdout = sys.stdout
    # Equality writes a trace: it goes to the null device for the whole run.
    sys.stdout = devnull = open(os.devnull, "w")
    try:
        problems = check(cols)
        if not problems:
            samples, extras = measure(cols, rounds, target_ms * 1e6)
    finally:
        sys.stdout = stdout
        devnull.close()
    if problems:
        print("columns disagree with quenlory:\n  " + "\n  ".join(problems), file=sys.stderr)
        return 1

    results = summarise(samples)
    ns = {row: {name: (results[row][name]["median"] if name in results.get(row, {}) else None) for name in names}
          for row, _ in ROWS}
    by_slots = ratios(samples, names, "slots")
    by_base = ratios(samples, names, "baseline")

    def r(row, reference):
        return paired(samples, row, "quenlory", reference)

    targets = [
        ("construct A (dict) / slots", r("construct_dict", "slots")),
        ("construct A (keywords) / slots", r("construct_kw", "slots")),
        ("read field / slots", r("read", "slots")),
        ("write field / slots", r("write", "slots")),
        ("read compound / slots", r("read_compound", "slots")),
        ("dumps / json.dumps of the dict", r("dumps", "dict")),
        ("eq / baseline", r("eq", "baseline")),
        ("define A / baseline", r("define", "baseline")),
    ]
    elapsed = time.perf_counter() - started
    env_line = "CPython %s (%s), os.cpu_count() = %s; %d rounds of ~%g ms per cell; %.0f s" % (
        platform.python_version(), sys.implementation.cache_tag, os.cpu_count(), rounds, target_ms, elapsed)

    print(env_line)
    if missing:
        print("not importable here: " + ", ".join(missing))
    print()
    print(table("ns per operation (median of %d interleaved rounds)" % rounds, names, ns, fmt_ns))
    print("  dict column: construct = casting into a new dict, read/write = d['a1'], dumps = json.dumps(d)")
    print("  of the same data; slots raw/dumps build a dict of the fields; dataclass and attrs use asdict;")
    print("  pydantic model_dump/model_dump_json (compact JSON). The libraries write the absent optional")
    print("  field as null. eq writes quenlory's and the baseline's trace to os.devnull.")
    print("  copies (taken off quenlory and baseline constructions): A %s, B %s, N %s ns; loop %s ns/iteration"
          % (fmt_ns(extras["copy A"]), fmt_ns(extras["copy B"]), fmt_ns(extras["copy N"]), fmt_ns(extras["loop"])))
    print()
    print(table("relative to the __slots__ class (median of per-round ratios)", names, by_slots, fmt_ratio))
    print()
    print(table("relative to the baseline (median of per-round ratios)", names, by_base, fmt_ratio))
    print()
    print("targets (quenlory, median of per-round ratios)")
    for label, value in targets:
        print("  %-34s %s" % (label, fmt_ratio(value)))

    if args.json:
        payload = {
            "python": platform.python_version(), "implementation": sys.implementation.name,
            "cpu_count": os.cpu_count(), "rounds": rounds, "target_ms": target_ms, "seconds": elapsed,
            "columns": names, "missing": missing, "rows": dict(ROWS),
            "ns": ns, "detail": results, "overheads": extras,
            "ratio_slots": by_slots, "ratio_baseline": by_base, "targets": dict(targets),
        }
        with open(args.json, "w") as out:
            json.dump(payload, out, indent=1)
            out.write("\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
