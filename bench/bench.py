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

    bench.py [--quick] [--rounds N] [--target-ms MS] [--no-growth] [--json FILE]
    bench.py --callgrind OP... [--columns quenlory slots] [--iterations N]
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
import sysconfig
import time

import growth
import peers
from quenlory import model_decorator
from quenlory.fields.bases import Field, ListField

# The pure-Python twin is the tests' reference; the bench times it from there.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests"))
import baseline  # noqa: E402

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
    ("construct_order", "construct order (10 items)"),
    ("read_item", "read item field"),
    ("eq", "eq"),
    ("raw", "raw"),
    ("dumps", "dumps"),
)
# Cheap statements are repeated in the loop body so the loop itself weighs little.
UNROLL = {"read": 10, "write": 10, "read_compound": 10, "read_multi": 10, "read_item": 10, "raw": 10, "eq": 1}

A_FIELDS = dict(zip(peers.INT_KEYS, (int(peers.A_INPUT[k]) for k in peers.INT_KEYS)))
A_FIELDS.update((k, peers.A_INPUT[k]) for k in peers.STR_KEYS)
KW_CALL = "(" + ", ".join("%s=%r" % item for item in peers.A_INPUT.items()) + ")"


class Cell:
    __slots__ = ("column", "row", "stmt", "env", "unroll", "minus", "run", "n", "samples")

    def __init__(self, column, row, stmt, env, minus=None, unroll=None):
        self.column, self.row, self.stmt, self.env, self.minus = column, row, stmt, env, minus
        self.unroll = unroll or UNROLL.get(row, 1)
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

# An order of ten items (a ListField), for the two list rows; quenlory and the baseline only.
ORDER_INPUT = {"id": "1", "items": [{"sku": "s%d" % i, "qty": str(i), "price": "2.5"} for i in range(10)]}


def copy_order(data):
    return {"id": data["id"], "items": [dict(item) for item in data["items"]]}


def order_kit(md):
    item = md.model(type("Item", (), {"sku": Field(str), "qty": Field(int), "price": Field(float)}))
    return md.model(type("Order", (), {"id": Field(int), "items": ListField(item)}))


def model_cells(name, md):
    define_a, A, B, N = peers.model_kit(md)
    Order = order_kit(md)
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
        "construct_order": ("Order(cp(s))", {"Order": Order, "cp": copy_order, "s": ORDER_INPUT}, "copy order"),
        "read_item": ("r.items[3].qty", {"r": Order(copy_order(ORDER_INPUT))}),
        "eq": ("o == p", {"o": fresh(), "p": fresh()}),
        "raw": ("raw(o)", {"raw": md.raw, "o": fresh()}),
        "dumps": ("dumps(o)", {"dumps": md.dumps, "o": fresh()}),
    }


# Model A's input already of the declared types, for the two callgrind-only columns "typed" (model A as declared
# today) and "strict" (the same model with @model(strict=True), whose checking casts refuse the text inputs).
A_TYPED = dict(A_FIELDS)
TYPED_KW_CALL = "(" + ", ".join("%s=%r" % item for item in A_TYPED.items()) + ")"


def typed_cells(strict):
    ns = {key: Field(int) for key in peers.INT_KEYS}
    ns.update((key, Field(str)) for key in peers.STR_KEYS)
    ns["opt"] = Field(str, optional=True)
    A = (model_decorator.model(strict=True) if strict else model_decorator.model)(type("A", (), ns))
    cp_a = peers.copy_a
    return {
        "construct_dict": ("A(cp(s))", {"A": A, "cp": cp_a, "s": A_TYPED}, "copy A"),
        "construct_kw": ("A" + TYPED_KW_CALL, {"A": A}),
        "write": ("w.a1 = 42", {"w": A(cp_a(A_TYPED))}),
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


def named_cells():
    """The keyword construction by a hand-written __slots__ class with named parameters."""
    return {"construct_kw": ("A" + KW_CALL, {"A": peers.NamedA})}


def load_floor():
    """bench/floor.c built for this interpreter (once, into build/bench/floor-<tag>/) and imported."""
    import importlib.util
    import shlex
    import subprocess
    import sysconfig
    here = os.path.dirname(os.path.abspath(__file__))
    source = os.path.join(here, "floor.c")
    folder = os.path.join(here, "..", "build", "bench", "floor-" + sys.implementation.cache_tag +
                          ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""))
    target = os.path.join(folder, "_floor" + sysconfig.get_config_var("EXT_SUFFIX"))
    if not os.path.exists(target) or os.path.getmtime(target) < os.path.getmtime(source):
        os.makedirs(folder, exist_ok=True)
        cc = shlex.split(sysconfig.get_config_var("CC") or "cc")
        subprocess.run(cc + ["-O2", "-fPIC", "-shared", "-I", sysconfig.get_paths()["include"], source, "-o", target],
                       check=True)
    spec = importlib.util.spec_from_file_location("_floor", target)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def floor_cells():
    """Model A as bench/floor.c's native record: the floor of a construction, a read and a write."""
    fl = load_floor()
    ns = {"__slots__": ()}
    ns.update((k, fl.field(k, 0)) for k in peers.INT_KEYS)
    ns.update((k, fl.field(k, 1)) for k in peers.STR_KEYS)
    ns["opt"] = fl.field("opt", 2)
    A = type("FloorA", (fl.Record,), ns)
    cp_a = peers.copy_a
    return {
        "construct_dict": ("A(cp(s))", {"A": A, "cp": cp_a, "s": peers.A_INPUT}, "copy A"),
        "construct_kw": ("A" + KW_CALL, {"A": A}),
        "read": ("o.a1", {"o": A(cp_a(peers.A_INPUT))}),
        "write": ("w.a1 = '42'", {"w": A(cp_a(peers.A_INPUT))}),
    }


_FLOOR = []


def floor_column():
    """The floor's cells, made once (its record class can be made only once in a process)."""
    if not _FLOOR:
        _FLOOR.append(floor_cells())
    return _FLOOR[0]


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


def msgspec_cells():
    A, B, N = peers.MsgA, peers.MsgB, peers.MsgN
    ms = peers.msgspec
    convert = ms.convert
    fresh = lambda: convert(peers.A_INPUT, A, strict=False)  # noqa: E731
    fresh_b = lambda: convert(peers.B_INPUT, B, strict=False)  # noqa: E731
    return {
        "define": ("define()", {"define": peers.define_msgspec_a}),
        "construct_dict": ("convert(s, A, strict=False)", {"convert": convert, "A": A, "s": peers.A_INPUT}),
        "construct_kw": ("mk" + KW_CALL, {"mk": peers.msgspec_from_kw(A)}),
        "construct_b": ("convert(s, B, strict=False)", {"convert": convert, "B": B, "s": peers.B_INPUT}),
        "read": ("o.a1", {"o": fresh()}),
        "write": ("w.a1 = int('42')", {"w": fresh()}),
        "read_compound": ("b.inner", {"b": fresh_b()}),
        "write_compound": ("b.inner = convert(n, N, strict=False)",
                           {"b": fresh_b(), "convert": convert, "N": N, "n": peers.N_INPUT}),
        "read_multi": ("b.pos", {"b": fresh_b()}),
        "eq": ("o == p", {"o": fresh(), "p": fresh()}),
        "raw": ("asdict(o)", {"asdict": ms.structs.asdict, "o": fresh()}),
        "dumps": ("encode(o)", {"encode": ms.json.encode, "o": fresh()}),
    }


def reference_cells():
    """Faster JSON encoders on the same dict as the dict column's json.dumps: shown beside dumps only."""
    refs = {}
    d = eval(peers.DICT_A_FROM, {"s": peers.A_INPUT})
    if peers.orjson is not None:
        refs["orjson"] = {"dumps": ("enc(d)", {"enc": peers.orjson.dumps, "d": d})}
    if peers.msgspec is not None:
        refs["msgspec.json"] = {"dumps": ("enc(d)", {"enc": peers.msgspec.json.encode, "d": d})}
    return refs


# Columns that hold only the dumps row, printed apart from the tables.
REFERENCES = ("orjson", "msgspec.json")
PEERS = ("attrs", "pydantic", "msgspec")


def columns():
    cols = {
        "quenlory": model_cells("quenlory", model_decorator),
        "baseline": model_cells("baseline", baseline),
        "slots": slots_cells(),
        "named": named_cells(),
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
    if peers.msgspec is not None:
        cols["msgspec"] = msgspec_cells()
    else:
        missing.append("msgspec")
    if peers.orjson is None:
        missing.append("orjson")
    cols.update(reference_cells())
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
    if column == "msgspec":
        return peers.msgspec.convert(data, cls, strict=False)
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
            elif row == "construct_order":
                expect(column, row, [item.qty for item in value(spec).items], list(range(10)))
            elif row == "read_item":
                expect(column, row, value(spec), 3)
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


def run_rounds(groups, rounds, target_ns):
    """Measure every cell of `groups` (lists of cells compared with each other) in `rounds` interleaved rounds.

    A cell's samples are ns per operation: the bare loop of the same round is taken off, and so is the cell named
    by its `minus` (a copy of the input, measured in the same group). Returns the loop's median ns per iteration.
    """
    loop = Cell("-", "loop", "pass", {})
    groups = [[loop]] + groups
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
            if cell.minus is not None:
                ns -= raw_ns[cell.minus] - per_iter_loop
            cell.samples.append(ns)
    return statistics.median(loop.samples)


def copy_cells():
    return {
        "copy A": Cell("-", "copy A", "cp(s)", {"cp": peers.copy_a, "s": peers.A_INPUT}),
        "copy B": Cell("-", "copy B", "cp(s)", {"cp": peers.copy_b, "s": peers.B_INPUT}),
        "copy N": Cell("-", "copy N", "cp(n)", {"cp": peers.copy_a, "n": peers.N_INPUT}),
        "copy order": Cell("-", "copy order", "cp(s)", {"cp": copy_order, "s": ORDER_INPUT}),
    }


def measure(cols, rounds, target_ns, extra_groups=()):
    """Return ({row: {column: samples}}, {helper: median ns}); samples[i] is round i's figure."""
    copies = copy_cells()
    # One group per row, its copy first: the cells compared with each other run
    # close together in time.  The columns take turns at going first.
    groups = []
    for row, _ in ROWS:
        group = [Cell(column, row, *specs[row]) for column, specs in cols.items() if row in specs]
        for cell in group:
            cell.minus = copies[cell.minus] if cell.minus else None
        minus = {cell.minus for cell in group} - {None}
        groups.append(sorted(minus, key=lambda cell: cell.row) + group)
    cells = [cell for group in groups for cell in group]
    loop_ns = run_rounds(groups + list(extra_groups), rounds, target_ns)
    samples = {}
    for cell in cells:
        if cell.column != "-":
            samples.setdefault(cell.row, {})[cell.column] = (cell.samples, cell.n * cell.unroll)
    extras = {"loop": loop_ns}
    for name, cell in copies.items():
        extras[name] = statistics.median(cell.samples) if cell.samples else None
    return samples, extras


# --- growth: the same operations on bigger models ---

GROWTH_COLUMNS = ("quenlory", "baseline", "slots")


def growth_rows():
    """[(key, label, per, {column: Cell})]: `per` is the number of fields or levels of the model."""
    impls = {"quenlory": model_decorator, "baseline": baseline}
    rows = []
    for n in growth.SIZES:
        data = growth.flat_input(n)
        copy = Cell("-", "copy flat %d" % n, "cp(s)", {"cp": peers.copy_a, "s": data})
        define, construct, read = {}, {}, {}
        for column, md in impls.items():
            definer = growth.flat_model_definer(md, n)
            cls = definer()
            define[column] = Cell(column, "define", "define()", {"define": definer})
            construct[column] = Cell(column, "construct", "G(cp(s))", {"G": cls, "cp": peers.copy_a, "s": data},
                                     minus=copy)
            read[column] = Cell(column, "read", "o.f%d" % (n - 1), {"o": cls(dict(data))}, unroll=10)
        definer = growth.flat_slots_definer(n)
        cls = definer()
        define["slots"] = Cell("slots", "define", "define()", {"define": definer})
        construct["slots"] = Cell("slots", "construct", "G(s)", {"G": cls, "s": data})
        read["slots"] = Cell("slots", "read", "o.f%d" % (n - 1), {"o": cls(data)}, unroll=10)
        rows.append(("define_%d" % n, "define, %d fields" % n, n, define, None))
        rows.append(("construct_%d" % n, "construct, %d fields" % n, n, construct, copy))
        rows.append(("read_%d" % n, "read, %d fields" % n, n, read, None))
    for depth in growth.DEPTHS:
        data = growth.nested_input(depth)
        copy = Cell("-", "copy depth %d" % depth, "cp(s)", {"cp": growth.deep_copy, "s": data})
        nested = {column: Cell(column, "nested", "G(cp(s))",
                               {"G": growth.nested_model(md, depth), "cp": growth.deep_copy, "s": data}, minus=copy)
                  for column, md in impls.items()}
        nested["slots"] = Cell("slots", "nested", "G(s)", {"G": growth.nested_slots(depth), "s": data})
        rows.append(("nested_%d" % depth, "construct, depth %d" % depth, depth, nested, copy))
    return rows


def check_growth(rows):
    problems = []
    for key, _, per, cells, _ in rows:
        for column, cell in cells.items():
            env = dict(cell.env)
            if key.startswith("read"):
                got, want = eval(cell.stmt, {}, env), per - 1
            elif key.startswith("nested"):
                obj, got, want = eval(cell.stmt, {}, env), [], list(range(per, -1, -1))
                for _ in range(per + 1):
                    got.append(obj.x)
                    obj = getattr(obj, "child", None)
            else:
                obj = eval(cell.stmt, {}, env)
                if key.startswith("define"):
                    obj = obj(growth.flat_input(per))
                got, want = getattr(obj, "f%d" % (per - 1)), per - 1
            if got != want:
                problems.append("growth %s/%s: got %r, expected %r" % (column, key, got, want))
    return problems


def growth_groups(rows):
    return [([copy] if copy else []) + list(cells.values()) for _, _, _, cells, copy in rows]


def growth_results(rows):
    return {key: {column: statistics.median(cell.samples) for column, cell in cells.items()}
            for key, _, _, cells, _ in rows}


def growth_table(rows, results):
    """ns per operation, then quenlory's cost per added field (or level) between consecutive sizes."""
    lines = ["growth: ns per operation (median); 'added' is the extra ns per field or level from the row above",
             "%-24s" % "" + "".join(name.rjust(11) for name in GROWTH_COLUMNS)
             + "".join(("%s added" % name[:5]).rjust(13) for name in ("quenlory", "slots"))]
    previous = {}
    for key, label, per, _, _ in rows:
        kind = key.rsplit("_", 1)[0]
        figures = results[key]
        added = []
        for name in ("quenlory", "slots"):
            before = previous.get(kind)
            added.append(fmt_ns((figures[name] - before[1][name]) / (per - before[0])) if before else "")
        previous[kind] = (per, figures)
        lines.append("%-24s" % label + "".join(fmt_ns(figures[name]).rjust(11) for name in GROWTH_COLUMNS)
                     + "".join(text.rjust(13) for text in added))
    return "\n".join(lines)


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
    parser.add_argument("--quick", action="store_true", help="fewer, shorter rounds (well under a minute)")
    parser.add_argument("--rounds", type=int, help="rounds (default 15, --quick 5)")
    parser.add_argument("--target-ms", type=float, help="time of one cell in one round (default 10, --quick 4)")
    parser.add_argument("--no-growth", action="store_true", help="leave out the growth table")
    parser.add_argument("--floor", action="store_true",
                        help="add the column of bench/floor.c (construction, read and write of model A only)")
    parser.add_argument("--json", metavar="FILE", help="write all figures and ratios as JSON")
    parser.add_argument("--callgrind", metavar="OP", nargs="+", choices=[row for row, _ in ROWS],
                        help="instead of timing: instructions per operation under valgrind's callgrind")
    parser.add_argument("--columns", nargs="+", default=["quenlory", "slots"], help="columns for --callgrind")
    parser.add_argument("--iterations", type=int, default=20000, help="operations per --callgrind run")
    parser.add_argument("--callgrind-child", nargs=3, metavar=("COLUMN", "ROW", "N"), help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.callgrind_child:
        return callgrind_child(*args.callgrind_child)
    if args.callgrind:
        return callgrind_main(args.callgrind, args.columns, args.iterations)
    rounds = args.rounds or (5 if args.quick else 15)
    target_ms = args.target_ms or (4.0 if args.quick else 10.0)

    started = time.perf_counter()
    cols, missing = columns()
    if args.floor:
        cols["floor"] = floor_column()
    names = [name for name in cols if name not in REFERENCES]
    grow = [] if args.no_growth else growth_rows()
    stdout = sys.stdout
    # Equality writes a trace: it goes to the null device for the whole run.
    sys.stdout = devnull = open(os.devnull, "w")
    try:
        problems = check(cols) + check_growth(grow)
        if not problems:
            samples, extras = measure(cols, rounds, target_ms * 1e6, growth_groups(grow))
    finally:
        sys.stdout = stdout
        devnull.close()
    if problems:
        print("columns disagree with quenlory:\n  " + "\n  ".join(problems), file=sys.stderr)
        return 1

    results = summarise(samples)
    every = list(cols)
    ns = {row: {name: (results[row][name]["median"] if name in results.get(row, {}) else None) for name in every}
          for row, _ in ROWS}
    by_slots = ratios(samples, every, "slots")
    by_base = ratios(samples, every, "baseline")
    grown = growth_results(grow)

    def r(row, reference, column="quenlory"):
        return paired(samples, row, column, reference)

    targets = [
        ("construct A (dict) / slots", r("construct_dict", "slots"), 0.9),
        ("construct A (keywords) / slots", r("construct_kw", "slots"), 1.0),
        ("construct A (keywords) / named", r("construct_kw", "named"), 1.0),
        ("write field / slots", r("write", "slots"), 1.0),
        ("read field / slots", r("read", "slots"), 1.3 if sys.version_info < (3, 11) else 5.0),
        ("define A / baseline", r("define", "baseline"), 0.95),
        ("eq / baseline", r("eq", "baseline"), None),
        ("dumps / json.dumps of the dict", r("dumps", "dict"), 1.05),
        ("construct A (dict) / pydantic", r("construct_dict", "pydantic"), 1.0),
        ("construct A (dict) / attrs", r("construct_dict", "attrs"), 1.0),
        ("construct A (dict) / msgspec", r("construct_dict", "msgspec"), 1.25),
        ("read compound / slots", r("read_compound", "slots"), None),
    ]
    elapsed = time.perf_counter() - started
    versions = peer_versions()
    env_line = "CPython %s (%s), os.cpu_count() = %s; %d rounds of ~%g ms per cell; %.0f s" % (
        platform.python_version(), sys.implementation.cache_tag, os.cpu_count(), rounds, target_ms, elapsed)

    print(env_line)
    if versions:
        print("peers: " + ", ".join("%s %s" % item for item in versions.items()))
    if missing:
        print("not installed for this interpreter: " + ", ".join(missing))
    print()
    print(table("ns per operation (median of %d interleaved rounds)" % rounds, names, ns, fmt_ns))
    print("  dict column: construct = casting into a new dict, read/write = d['a1'], dumps = json.dumps(d)")
    print("  of the same data; slots raw/dumps build a dict of the fields; dataclass, attrs and msgspec use")
    print("  asdict; pydantic model_dump/model_dump_json, msgspec.json.encode (compact JSON). The libraries")
    print("  write the absent optional field as null. eq writes quenlory's and the baseline's trace to os.devnull.")
    print("  copies (taken off quenlory and baseline constructions): A %s, B %s, N %s ns; loop %s ns/iteration"
          % (fmt_ns(extras["copy A"]), fmt_ns(extras["copy B"]), fmt_ns(extras["copy N"]), fmt_ns(extras["loop"])))
    refs = [name for name in REFERENCES if name in cols]
    if refs:
        print("  for reference, the same dict encoded by other libraries: "
              + ", ".join("%s %s ns (%s of json.dumps)" % (name, fmt_ns(ns["dumps"][name]),
                                                         fmt_ratio(paired(samples, "dumps", name, "dict")))
                          for name in refs))
    print()
    print(table("relative to the __slots__ class (median of per-round ratios)", names, by_slots, fmt_ratio))
    print()
    print(table("relative to the baseline (median of per-round ratios)", names, by_base, fmt_ratio))
    print()
    if grow:
        print(growth_table(grow, grown))
        print()
    print("targets (quenlory, median of per-round ratios)")
    for label, value, limit in targets:
        verdict = "" if limit is None or value is None else "  ok" if value <= limit else "  MISSED (<= %g)" % limit
        print("  %-34s %s%s" % (label, fmt_ratio(value), verdict))

    if args.json:
        payload = {
            "python": platform.python_version(), "implementation": sys.implementation.name,
            "cache_tag": sys.implementation.cache_tag, "cpu_count": os.cpu_count(), "rounds": rounds,
            "target_ms": target_ms, "seconds": elapsed, "peers": versions,
            "columns": names, "references": refs, "missing": missing, "rows": dict(ROWS),
            "ns": ns, "detail": results, "overheads": extras,
            "ratio_slots": by_slots, "ratio_baseline": by_base,
            "targets": [{"label": label, "ratio": value, "limit": limit} for label, value, limit in targets],
            "growth": [{"key": key, "label": label, "size": per, "ns": grown[key]} for key, label, per, _, _ in grow],
        }
        with open(args.json, "w") as out:
            json.dump(payload, out, indent=1)
            out.write("\n")
    return 0


def peer_versions():
    found = {}
    for name in ("attrs", "pydantic", "msgspec", "orjson"):
        module = sys.modules.get(name)
        if module is not None:
            found[name] = getattr(module, "__version__", None) or getattr(module, "VERSION", "?")
    return found


# --- instruction counts under callgrind ---

class _WithOptions:
    """model_decorator with `model` giving every model the options `options`, for the opted-in columns."""

    def __init__(self, **options):
        self.model = lambda cls: model_decorator.model(cls, **options)
        self.raw, self.dumps = model_decorator.raw, model_decorator.dumps


# Opted-in models, for --callgrind only: a model with every option but frozen, and a frozen, hashable one (whose
# writes raise, so it has no write row).
OPTED = {"options": dict(repr=True, eq="quiet", match_args=True, inherit=True),
         "frozen": dict(repr=True, eq="quiet", match_args=True, frozen=True, hash=True)}


def callgrind_cell(column, row):
    """The cell of (column, row) and, when there is one, the cell that its figure is taken relative to."""
    cols = {"quenlory": lambda: model_cells("quenlory", model_decorator),
            "options": lambda: model_cells("options", _WithOptions(**OPTED["options"])),
            "frozen": lambda: {row: cell for row, cell in model_cells("frozen", _WithOptions(**OPTED["frozen"])).items()
                               if not row.startswith("write")},
            "baseline": lambda: model_cells("baseline", baseline), "slots": slots_cells, "named": named_cells,
            "dict": dict_cells,
            "dataclass": dataclass_cells, "msgspec": msgspec_cells, "pydantic": pydantic_cells, "attrs": attrs_cells,
            "floor": floor_column, "typed": lambda: typed_cells(False), "strict": lambda: typed_cells(True)}
    stmt_env = cols[column]()[row]
    cell = Cell(column, row, *stmt_env)
    if cell.minus:
        return cell, copy_cells()[cell.minus]
    return cell, Cell("-", "loop", "pass", {})


def callgrind_child(column, row, n):
    """Run one cell n times: `row` itself, or with row "ref:ROW" the cell its figure is taken relative to."""
    cell, reference = callgrind_cell(column, row.split(":")[-1])
    stdout = sys.stdout
    sys.stdout = open(os.devnull, "w")  # the trace of eq
    try:
        (reference if row.startswith("ref:") else cell).run(int(n))
    finally:
        sys.stdout = stdout
    return 0


def callgrind_total(column, row, n):
    import subprocess
    import tempfile
    with tempfile.TemporaryDirectory() as folder:
        out = os.path.join(folder, "callgrind.out")
        # -S: no site-packages, so that the peers' libraries are not imported into the count (a peer's own
        # column needs them; the run of none subtracts the import).
        site = [] if column in ("msgspec", "pydantic", "attrs") else ["-S"]
        command = ["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out, sys.executable, *site,
                   os.path.abspath(__file__), "--callgrind-child", column, row, str(n)]
        # A fixed hash seed: dict lookups probe the same slots in every run, so that the counts compare.
        subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       env=dict(os.environ, PYTHONHASHSEED="0"))
        with open(out) as text:
            for line in text:
                if line.startswith(("summary:", "totals:")):
                    return int(line.split()[1])
    raise RuntimeError("no instruction total in callgrind's output")


def callgrind_main(rows, names, n):
    """Instructions per operation: the count of a run of n operations less that of a run of none, less the same
    difference for the reference statement (the bare loop, or the copy of the input for a construction that writes
    into its dict), over n. Start-up, imports and set-up cancel out, and so does the compiling of the loop."""
    print("instructions per operation under callgrind, CPython %s: (run of %d operations - run of 0) less the"
          % (platform.python_version(), n))
    print("same for the bare loop (or the input's copy, for quenlory constructing from a dict), over %d" % n)
    print("%-24s" % "" + "".join(name.rjust(12) for name in names) + "".join(
        ("%s/%s" % (name[:5], names[-1][:5])).rjust(14) for name in names[:-1]))
    for row in rows:
        figures = []
        for column in names:
            try:
                cell, _ = callgrind_cell(column, row)
            except KeyError:  # a column without this row (the floor has four)
                figures.append(None)
                continue
            done = callgrind_total(column, row, n) - callgrind_total(column, row, 0)
            base = callgrind_total(column, "ref:" + row, n) - callgrind_total(column, "ref:" + row, 0)
            figures.append((done - base) / (n * cell.unroll))
        label = dict(ROWS)[row]
        print("%-24s" % label + "".join(("{:,.0f}".format(v) if v is not None else "-").rjust(12) for v in figures)
              + "".join(("%.2f" % (v / figures[-1]) if v is not None and figures[-1] else "n/a").rjust(14)
                        for v in figures[:-1]),
              flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
