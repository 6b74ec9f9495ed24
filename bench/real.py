"""Real data into models: quenlory beside pydantic v2, msgspec and attrs+cattrs, from parsed dicts and from text.

Three data sets that ship in packages, none written here, each nested with lists of records and optional keys:

  iso-3166-2  Debian's iso-codes, /usr/share/iso-codes/json/iso_3166-2.json: the subdivisions under the key
              "3166-2" (not an identifier: each library's own way of naming such a key is used), an optional parent.
  pip-report  `python -m pip inspect` of the bench venv itself: installed[] of nested metadata, lists of
              classifiers and requirements, optional keys everywhere and an optional nested direct_url.
  spdx        the SPDX license list that the pinned reuse package ships (reuse/resources/licenses.json, installed
              by bench/setup.sh from bench/requirements-data.txt): licenses[] with lists of URLs, an optional flag.

The quenlory models are written by hand below; the peers' classes are made from those declarations, so all four
load the same schema (a cast str, int or bool becomes that type, Field(list) a list of str, Field(dict) a dict,
ProxyField the nested class, ListField a list of it; optional fields are Optional[...] = None). Each peer runs as a
user would run it: pydantic `model_validate` and `model_validate_json`, msgspec `convert` and `json.decode(...,
type=...)`, attrs classes through `cattrs.Converter().structure` (from text after `json.loads`), quenlory
`Model(data)` (from text `Model(json.loads(text))`, and `quenlory.loads(Model, text)` when the package has it).
Extra keys are each library's default: quenlory refuses them, the others ignore them (the data has none).

Every cell is one load of a whole document; a round runs every cell of a data set and route once (the columns
taking turns at going first), each for enough calls to fill a few tens of milliseconds, with the garbage collector
off while timing. A figure is the median over rounds; a ratio is the median of the per-round ratios to msgspec,
measured moments apart. Times are the CPU time of the thread (time.thread_time_ns), so that time spent waiting for a
core on a busy machine is left out; --wall takes the wall clock instead. The growth figures load the document with
its records repeated 10 and 100 times (parsed again from the text, so that no two records share a dict) and give ns
per record at each size. The text is the document written again by json.dumps (compact, UTF-8), at every size. The
dicts of the dict route are reused from call to call: a load leaves them as they were (checked).

    real.py [--quick] [--rounds N] [--growth-rounds N] [--target-ms MS] [--no-growth] [--wall] [--data NAME...]
            [--json FILE] [--results FILE]
    real.py --report JSON... [--results FILE]      the tables again from earlier runs (docs/real-data.md)
    real.py --callgrind NAME [--iterations N]      instructions per load of one data set
"""
import argparse
import gc
import json
import os
import platform
import statistics
import subprocess
import sys
import time
from typing import Any, Dict, List, Optional

import quenlory
from quenlory import Field, ListField, ProxyField, model, model_fields, raw

try:
    import pydantic
except ImportError:
    pydantic = None
try:
    import msgspec
except ImportError:
    msgspec = None
try:
    import attrs
    import cattrs
    from cattrs.gen import make_dict_structure_fn, make_dict_unstructure_fn, override
except ImportError:
    attrs = cattrs = None

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
ISO_FILE = "/usr/share/iso-codes/json/iso_3166-2.json"
SIZES = (1, 10, 100)


# --- the quenlory models, as a user writes them ---

@model
class Subdivision:
    code = Field(str)
    name = Field(str)
    type = Field(str)
    parent = Field(str, optional=True)


# The document holds its records under "3166-2", which cannot be written as an attribute in a class body; a class
# namespace can hold it all the same.
Subdivisions = model(type("Subdivisions", (), {"3166-2": ListField(Subdivision)}))


@model
class DirInfo:
    editable = Field(bool, optional=True)


@model
class ArchiveInfo:
    hash = Field(str, optional=True)
    hashes = Field(dict, optional=True)


@model
class VcsInfo:
    vcs = Field(str)
    commit_id = Field(str)
    requested_revision = Field(str, optional=True)


@model
class DirectUrl:
    url = Field(str)
    subdirectory = Field(str, optional=True)
    dir_info = ProxyField(DirInfo, optional=True)
    archive_info = ProxyField(ArchiveInfo, optional=True)
    vcs_info = ProxyField(VcsInfo, optional=True)


@model(optional=True)  # core metadata: everything but the first three may be absent
class Metadata:
    metadata_version = Field(str, optional=False)
    name = Field(str, optional=False)
    version = Field(str, optional=False)
    dynamic = Field(list)
    platform = Field(list)
    supported_platform = Field(list)
    summary = Field(str)
    description = Field(str)
    description_content_type = Field(str)
    keywords = Field(list)
    home_page = Field(str)
    download_url = Field(str)
    author = Field(str)
    author_email = Field(str)
    maintainer = Field(str)
    maintainer_email = Field(str)
    license = Field(str)
    license_expression = Field(str)
    license_file = Field(list)
    classifier = Field(list)
    requires_dist = Field(list)
    requires_python = Field(str)
    requires_external = Field(list)
    project_url = Field(list)
    provides_extra = Field(list)
    provides_dist = Field(list)
    obsoletes_dist = Field(list)


@model
class Installed:
    metadata = ProxyField(Metadata)
    metadata_location = Field(str)
    installer = Field(str, optional=True)
    requested = Field(bool, optional=True)
    direct_url = ProxyField(DirectUrl, optional=True)


@model
class Environment:
    implementation_name = Field(str)
    implementation_version = Field(str)
    os_name = Field(str)
    platform_machine = Field(str)
    platform_release = Field(str)
    platform_system = Field(str)
    platform_version = Field(str)
    python_full_version = Field(str)
    platform_python_implementation = Field(str)
    python_version = Field(str)
    sys_platform = Field(str)


@model
class InspectReport:
    version = Field(str)
    pip_version = Field(str)
    installed = ListField(Installed)
    environment = ProxyField(Environment)


@model
class License:
    reference = Field(str)
    isDeprecatedLicenseId = Field(bool)
    detailsUrl = Field(str)
    referenceNumber = Field(int)
    name = Field(str)
    licenseId = Field(str)
    seeAlso = Field(list)
    isOsiApproved = Field(bool)
    isFsfLibre = Field(bool, optional=True)


@model
class LicenseList:
    licenseListVersion = Field(str)
    licenses = ListField(License)
    releaseDate = Field(str)


# --- the data sets: (name, model, key of the record list, loader of the document) ---

def site_file(*parts):
    for folder in sys.path:
        path = os.path.join(folder, *parts)
        if os.path.isfile(path):
            return path
    return None


def load_iso():
    with open(ISO_FILE, encoding="utf-8") as handle:
        return json.load(handle)


def pip_report_path():
    return os.path.join(ROOT, "build", "bench", "pip-report-%s.json" % sys.implementation.cache_tag)


def load_pip(fresh=False):
    """pip's report of the environment that runs the bench, made once per run (callgrind children read it)."""
    path = pip_report_path()
    if fresh or not os.path.exists(path):
        out = subprocess.run([sys.executable, "-m", "pip", "inspect"], check=True, capture_output=True,
                             env=dict(os.environ, PIP_DISABLE_PIP_VERSION_CHECK="1")).stdout
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as handle:
            handle.write(out)
    with open(path, encoding="utf-8") as handle:
        return json.load(handle)


def load_spdx():
    path = site_file("reuse", "resources", "licenses.json")
    if path is None:
        raise FileNotFoundError("reuse/resources/licenses.json (bench/setup.sh installs the reuse package)")
    with open(path, encoding="utf-8") as handle:
        return json.load(handle)


DATA = (
    ("iso-3166-2", Subdivisions, "3166-2", load_iso),
    ("pip-report", InspectReport, "installed", load_pip),
    ("spdx", LicenseList, "licenses", load_spdx),
)


def grown(document, key, times):
    """The document with its records repeated `times` times."""
    copy = dict(document)
    copy[key] = document[key] * times
    return copy


# --- the peers' classes, made from the quenlory declarations ---

CASTS = {str: str, int: int, bool: bool, float: float, list: List[str], dict: Dict[str, Any], None: Any}


def attribute(key):
    """A Python name for the raw key (the peers declare attributes, and rename those that are not identifiers)."""
    return key if key.isidentifier() else "f_" + "".join(c if c.isalnum() else "_" for c in key)


def schema(cls):
    """[(key, type or ('model', cls) or ('list', cls), optional)] of a quenlory model."""
    out = []
    for key, decl in model_fields(cls).items():
        if isinstance(decl, ListField):
            kind = ("list", decl.nested_model)
        elif isinstance(decl, ProxyField):
            kind = ("model", decl.nested_model)
        else:
            kind = CASTS[decl._given_cast]
        out.append((key, kind, bool(decl["optional"])))
    return out


class Peer:
    """One library's classes for every quenlory model of a data set, made on first use."""

    def __init__(self, name):
        self.name = name
        self.classes = {}

    def of(self, cls):
        if cls not in self.classes:
            fields = []
            for key, kind, optional in schema(cls):
                if isinstance(kind, tuple):
                    inner = self.of(kind[1])
                    kind = List[inner] if kind[0] == "list" else inner
                fields.append((key, attribute(key), Optional[kind] if optional else kind, optional))
            self.classes[cls] = self.make(cls.__name__, fields)
        return self.classes[cls]


class PydanticPeer(Peer):
    def make(self, name, fields):
        declared = {}
        for key, attr, kind, optional in fields:
            options = {"alias": key} if attr != key else {}
            declared[attr] = (kind, pydantic.Field(None if optional else ..., **options))
        return pydantic.create_model(name, **declared)

    def loaders(self, cls):
        peer = self.of(cls)
        return peer.model_validate, peer.model_validate_json

    def plain(self, obj):
        return obj.model_dump(by_alias=True)


class MsgspecPeer(Peer):
    def make(self, name, fields):
        declared = [(attr, kind, None) if optional else (attr, kind) for key, attr, kind, optional in fields]
        rename = {attr: key for key, attr, _, _ in fields if attr != key}
        return msgspec.defstruct(name, declared, kw_only=True, rename=rename or None)

    def loaders(self, cls):
        peer, convert, decode = self.of(cls), msgspec.convert, msgspec.json.decode
        return (lambda data: convert(data, peer)), (lambda text: decode(text, type=peer))

    def plain(self, obj):
        return msgspec.to_builtins(obj)


class CattrsPeer(Peer):
    def __init__(self, name):
        Peer.__init__(self, name)
        self.converter = cattrs.Converter()

    def make(self, name, fields):
        declared = {attr: attrs.field(type=kind, default=None) if optional else attrs.field(type=kind)
                for key, attr, kind, optional in fields}
        cls = attrs.make_class(name, declared, kw_only=True)
        renamed = {attr: override(rename=key) for key, attr, _, _ in fields if attr != key}
        if renamed:
            c = self.converter
            c.register_structure_hook(cls, make_dict_structure_fn(cls, c, **renamed))
            c.register_unstructure_hook(cls, make_dict_unstructure_fn(cls, c, **renamed))
        return cls

    def loaders(self, cls):
        peer, structure, loads = self.of(cls), self.converter.structure, json.loads
        return (lambda data: structure(data, peer)), (lambda text: structure(loads(text), peer))

    def plain(self, obj):
        return self.converter.unstructure(obj)


def quenlory_loaders(cls):
    loads = json.loads
    return cls, (lambda text: cls(loads(text)))


def peers():
    """{column: (loaders(cls) -> (from_dict, from_text), plain(result) -> builtins)}, and the columns missing."""
    cols = {"quenlory": (quenlory_loaders, raw)}
    native_loads = getattr(quenlory, "loads", None)
    if native_loads is not None:
        cols["quenlory.loads"] = (lambda cls: (None, lambda text: native_loads(cls, text)), raw)
    missing = []
    for name, module, kind in (("pydantic", pydantic, PydanticPeer), ("msgspec", msgspec, MsgspecPeer),
                               ("attrs+cattrs", cattrs, CattrsPeer)):
        if module is None:
            missing.append(name)
            continue
        peer = kind(name)
        cols[name] = (peer.loaders, peer.plain)
    return cols, missing


# --- the check: every column loads what quenlory loads ---

def stripped(value):
    """Builtins without the None of absent optional fields (the peers write them out, quenlory leaves them out)."""
    if isinstance(value, dict):
        return {k: stripped(v) for k, v in value.items() if v is not None}
    if isinstance(value, (list, tuple)):
        return [stripped(v) for v in value]
    return value


def check(name, cls, document, text, cols):
    problems = []
    want = stripped(document)
    before = json.dumps(document, sort_keys=True)
    for column, (loaders, plain) in cols.items():
        for route, load, source in zip(("dict", "text"), loaders(cls), (document, text)):
            if load is None:
                continue
            try:
                got = stripped(plain(load(source)))
            except Exception as error:  # noqa: BLE001 -- reported, and the run stops
                problems.append("%s/%s/%s: %s: %s" % (name, column, route, type(error).__name__, error))
                continue
            if got != want:
                problems.append("%s/%s/%s: the result differs from the document" % (name, column, route))
    if json.dumps(document, sort_keys=True) != before:
        problems.append("%s: a load from dicts changed the dicts" % name)
    return problems


# --- timing ---

# The clock of the timings: the CPU time of the running thread by default, so that on a shared machine the time the
# process spends waiting for a core is left out of every figure (--wall: time.perf_counter_ns).
CLOCK = [time.thread_time_ns]


class Cell:
    __slots__ = ("column", "route", "load", "source", "n", "samples")

    def __init__(self, column, route, load, source):
        self.column, self.route, self.load, self.source = column, route, load, source
        self.n, self.samples = 1, []

    def run(self, n):
        load, source, clock = self.load, self.source, CLOCK[0]
        gc.disable()
        try:
            start = clock()
            for _ in range(n):
                load(source)
            return clock() - start
        finally:
            gc.enable()


def calibrate(cell, target_ns):
    took = max(cell.run(1), 1)  # also warms: first calls make caches and validators
    if took < target_ns:
        took = max(cell.run(1), 1)
    cell.n = max(1, int(target_ns / took))


def run_rounds(cells, rounds, target_ns, known=None):
    """Time `cells` in interleaved rounds. `known` maps a cell to a guess of its ns per call (the figure at the
    size below, scaled), which saves calibrating a cell whose single call takes longer than the target."""
    for cell in cells:
        guess = (known or {}).get(cell)
        if guess is not None:
            cell.n = max(1, int(target_ns / guess))
        else:
            calibrate(cell, target_ns)
        gc.collect()
    for index in range(rounds):
        turn = index % len(cells)
        for cell in cells[turn:] + cells[:turn]:
            cell.samples.append(cell.run(cell.n) / cell.n)
        gc.collect()


def ratio(cell, reference):
    if cell is None or reference is None:
        return None
    return statistics.median(a / b for a, b in zip(cell.samples, reference.samples))


def measure(name, cls, key, document, cols, sizes, rounds, target_ns):
    """{size: {(column, route): Cell}} for one data set; the reference `json.loads` is column 'json.loads'."""
    out = {}
    previous = None
    for times in sizes:
        doc = grown(document, key, times) if times > 1 else document
        text = json.dumps(doc, ensure_ascii=False)
        if times > 1:
            doc = json.loads(text)  # records of their own
        cells = {}
        for column, (loaders, _) in cols.items():
            for route, load in zip(("dict", "text"), loaders(cls)):
                if load is not None:
                    cells[(column, route)] = Cell(column, route, load, doc if route == "dict" else text)
        cells[("json.loads", "text")] = Cell("json.loads", "text", json.loads, text)
        known = {}
        if previous is not None:
            scale = times / previous[0]
            known = {cell: scale * statistics.median(previous[1][k].samples) for k, cell in cells.items()}
        for route in ("dict", "text"):
            group = [cell for (column, r), cell in cells.items() if r == route]
            run_rounds(group, rounds[times], target_ns, known)
        for cell in cells.values():
            cell.source = None  # the figures stay, the data goes
        out[times] = cells
        previous = (times, cells)
        del doc, text
        gc.collect()
    return out


# --- reporting ---

COLUMNS = ("quenlory", "quenlory.loads", "pydantic", "msgspec", "attrs+cattrs", "json.loads")
ROUTES = (("dict", "parsed dicts"), ("text", "JSON text"))
REFERENCE = "msgspec"


def fmt_ms(ns):
    ms = ns / 1e6
    return "%.3f" % ms if ms < 1 else "%.2f" % ms if ms < 10 else "%.1f" % ms


def fmt_ratio(value):
    return "n/a" if value is None else "%.2fx" % value


def summary(results):
    """The figures as plain data: per data set and route, per column, the median ns and the ratio to msgspec at
    each size, and ns per record."""
    out = {}
    for name, (records, by_size) in results.items():
        entry = out[name] = {"records": records, "routes": {}}
        for route, _ in ROUTES:
            row = entry["routes"][route] = {}
            for times, cells in by_size.items():
                reference = cells.get((REFERENCE, route))
                for (column, r), cell in cells.items():
                    if r != route:
                        continue
                    ns = statistics.median(cell.samples)
                    row.setdefault(column, {})[str(times)] = {
                        "ns": ns, "ns_per_record": ns / (records * times), "rounds": len(cell.samples),
                        "calls_per_round": cell.n, "ratio_msgspec": ratio(cell, reference)}
    return out


def markdown(figures, env_line, growth):
    routes = [route for entry in figures.values() for route in entry["routes"].values()]
    columns = [c for c in COLUMNS if any(c in route for route in routes)]
    head = ["data set (records)", "from"] + columns + (["quenlory ns/record at 1x / 10x / 100x"] if growth else [])
    lines = ["ms per load of the whole document (median), and in brackets the ratio to msgspec (median of "
             "per-round ratios); " + env_line, "",
             "| " + " | ".join(head) + " |", "|" + "|".join(["---"] * 2 + ["---:"] * (len(head) - 2)) + "|"]
    for name, entry in figures.items():
        for route, label in ROUTES:
            row = entry["routes"][route]
            cells = [("%s (%d)" % (name, entry["records"])) if route == "dict" else "", label]
            for column in columns:
                one = row.get(column, {}).get("1")
                cells.append("" if one is None else "%s (%s)" % (fmt_ms(one["ns"]), fmt_ratio(one["ratio_msgspec"])))
            if growth:
                per = row.get("quenlory", {})
                cells.append(" / ".join("%.0f" % per[str(t)]["ns_per_record"] for t in SIZES if str(t) in per))
            lines.append("| " + " | ".join(cells) + " |")
    if growth:
        lines += ["", "ns per record at 1x / 10x / 100x the records (median; the same cost per record at every "
                  "size is cost linear in size)", "",
                  "| data set | from | " + " | ".join(columns) + " |",
                  "|" + "|".join(["---"] * 2 + ["---:"] * len(columns)) + "|"]
        for name, entry in figures.items():
            for route, label in ROUTES:
                row = entry["routes"][route]
                cells = [name if route == "dict" else "", label]
                for column in columns:
                    per = row.get(column)
                    cells.append("" if per is None else " / ".join(
                        "%.0f" % per[str(t)]["ns_per_record"] for t in SIZES if str(t) in per))
                lines.append("| " + " | ".join(cells) + " |")
    return "\n".join(lines)


def report(payloads):
    """The tables of earlier runs' JSON files: per interpreter (newest first) the timings, then the counts."""
    def order(payload):
        version = tuple(int(part) for part in payload["python"].split(".")[:2])
        return (-version[0], -version[1], payload.get("kind") == "callgrind", str(payload.get("data")))
    sections, seen = [], set()
    for payload in sorted(payloads, key=order):
        version = payload["python"].rsplit(".", 1)[0]
        if version not in seen:
            seen.add(version)
            sections.append("## CPython %s" % version)
        if payload.get("kind") == "callgrind":
            sections.append(callgrind_markdown(payload))
        else:
            sections.append(markdown(payload["data"], payload["environment"], len(payload["sizes"]) > 1))
    return "\n\n".join(sections)


def write_results(path, table, title="Real data"):
    """Write the table as a results file (docs/real-data.md) for the docs: a heading, the table, the command."""
    with open(path, "w", encoding="utf-8") as out:
        out.write("# %s\n\n" % title)
        out.write("`make bench-real` (bench/real.py; the data sets and the way each library loads them are in its "
                  "docstring).\n\n")
        out.write(table.rstrip() + "\n")


def peer_versions():
    from importlib.metadata import PackageNotFoundError, version
    found = {"quenlory": quenlory.__version__}
    for name in ("pydantic", "msgspec", "attrs", "cattrs", "reuse", "pip"):
        try:
            found[name] = version(name)
        except PackageNotFoundError:
            pass
    return found


# --- instruction counts under callgrind ---

def floor_loaders(cls):
    """bench/floor.c's nested floor for a model's schema: the least a native type does to make the same instances
    (its comment says what that is), from parsed dicts and, after quenlory's own decoder, from text."""
    import bench
    import quenlory._json
    import quenlory._loads
    fl = bench.load_floor()

    def shape(model):
        declared = []
        for key, decl in model_fields(model).items():
            optional = bool(decl["optional"])
            if isinstance(decl, ProxyField):
                declared.append((key, 2 if isinstance(decl, ListField) else 1, shape(decl.nested_model), optional))
            else:
                declared.append((key, 0, decl._given_cast, optional))
        return fl.node_shape(tuple(declared))

    top, build = shape(cls), fl.node_build
    decode, key_shape = quenlory._json.decode, quenlory._loads._shape(cls)
    return (lambda data: build(top, data)), (lambda text: build(top, decode(text, key_shape, None)))


def callgrind_child(name, column, route, n):
    _, cls, _, loader = next(item for item in DATA if item[0] == name)
    document = loader()
    text = json.dumps(document, ensure_ascii=False)
    cols, _ = peers()
    if column == "floor":
        load = dict(zip(("dict", "text"), floor_loaders(cls)))[route]
    elif column == "json.loads":
        load = json.loads
    else:
        load = dict(zip(("dict", "text"), cols[column][0](cls)))[route]
    source = document if route == "dict" else text
    load(source)  # warm, in both runs: the count of the run of none takes it off
    for _ in range(n):
        load(source)
    return 0


def callgrind_total(name, column, route, n):
    import tempfile
    with tempfile.TemporaryDirectory() as folder:
        out = os.path.join(folder, "callgrind.out")
        command = ["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out, sys.executable,
                   os.path.abspath(__file__), "--callgrind-child", name, column, route, str(n)]
        subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       env=dict(os.environ, PYTHONHASHSEED="0"))
        with open(out) as text:
            for line in text:
                if line.startswith(("summary:", "totals:")):
                    return int(line.split()[1])
    raise RuntimeError("no instruction total in callgrind's output")


def callgrind_main(name, n, names, json_path=None):
    """Instructions per load: (run of n loads - run of none) / n, each run after one warming load."""
    _, cls, key, loader = next(item for item in DATA if item[0] == name)
    if name == "pip-report":
        load_pip(fresh=True)
    records = len(loader()[key])
    cols, _ = peers()
    print("instructions per load of %s (%d records) under callgrind, CPython %s: (run of %d loads - run of none) "
          "/ %d" % (name, records, platform.python_version(), n, n))
    print("%-16s %-12s %16s %12s %10s" % ("column", "from", "instructions", "per record", "/ msgspec"))
    rows = []
    for route, label in ROUTES:
        figures = {}
        for column in [c for c in list(cols) + ["json.loads", "floor"] if c in names]:
            if column == "json.loads" and route != "text":
                continue
            own = column in ("json.loads", "floor")
            if not own and dict(zip(("dict", "text"), cols[column][0](cls)))[route] is None:
                continue
            figures[column] = (callgrind_total(name, column, route, n) - callgrind_total(name, column, route, 0)) / n
        for column, count in figures.items():
            ref = figures.get(REFERENCE)
            rows.append({"column": column, "route": route, "instructions": count,
                         "ratio_msgspec": count / ref if ref else None})
            print("%-16s %-12s %16s %12s %10s" % (column, label, "{:,.0f}".format(count),
                                                  "{:,.0f}".format(count / records),
                                                  "%.2f" % (count / ref) if ref else "n/a"), flush=True)
    if json_path:
        root, ext = os.path.splitext(json_path)
        with open("%s-callgrind-%s%s" % (root, name, ext), "w") as out:
            json.dump({"kind": "callgrind", "python": platform.python_version(),
                       "cache_tag": sys.implementation.cache_tag, "data": name, "records": records,
                       "iterations": n, "versions": peer_versions(), "rows": rows}, out, indent=1)
            out.write("\n")
    return 0


def callgrind_markdown(payload):
    labels = dict(ROUTES)
    lines = ["Instructions per load of %s (%d records) under callgrind, CPython %s: (run of %d loads - run of none) "
             "/ %d, with the ratio to msgspec." % (payload["data"], payload["records"], payload["python"],
                                                   payload["iterations"], payload["iterations"]), "",
             "| from | column | instructions | per record | ratio to msgspec |", "|---|---|---:|---:|---:|"]
    for row in payload["rows"]:
        lines.append("| %s | %s | {:,.0f} | {:,.0f} | %s |".format(row["instructions"],
                                                                   row["instructions"] / payload["records"])
                     % (labels[row["route"]], row["column"], fmt_ratio(row["ratio_msgspec"])))
    if any(row["column"] == "floor" for row in payload["rows"]):
        lines += ["", "floor: bench/floor.c's nested floor, the least a native type does to make the same instances "
                  "(a new instance the collector tracks per record, holding the caller's dict and a new dict of its "
                  "nested values; each key matched once, values kept if they have their field's type, lists and "
                  "dicts copied as their casts copy them, no schema and no other check); from JSON text, after "
                  "quenlory's own decoder."]
    return "\n".join(lines)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="few short rounds, no 100x size (a few seconds)")
    parser.add_argument("--rounds", type=int, help="rounds at 1x (default 15, --quick 3)")
    parser.add_argument("--growth-rounds", type=int,
                        help="rounds at 10x, and at 100x two fewer (default 5 and 3; --quick: 1 at 10x, no 100x)")
    parser.add_argument("--target-ms", type=float, help="time of one cell in one round (default 40, --quick 5)")
    parser.add_argument("--no-growth", action="store_true", help="1x only")
    parser.add_argument("--wall", action="store_true", help="time with the wall clock, not the thread's CPU time")
    parser.add_argument("--data", nargs="+", choices=[item[0] for item in DATA], help="data sets (default all)")
    parser.add_argument("--json", metavar="FILE", help="write the figures as JSON")
    parser.add_argument("--results", metavar="FILE", help="write the Markdown table as a results file")
    parser.add_argument("--report", metavar="JSON", nargs="+",
                        help="instead of timing: the tables of earlier runs' JSON files (to stdout, or --results)")
    parser.add_argument("--callgrind", metavar="NAME", choices=[item[0] for item in DATA],
                        help="instead of timing: instructions per load of one data set under valgrind's callgrind")
    parser.add_argument("--iterations", type=int, default=3, help="loads per --callgrind run")
    parser.add_argument("--columns", nargs="+",
                        default=["quenlory", "quenlory.loads", "msgspec", "json.loads", "floor"],
                        help="columns for --callgrind (default %(default)s; the others: pydantic attrs+cattrs)")
    parser.add_argument("--callgrind-child", nargs=4, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.callgrind_child:
        name, column, route, n = args.callgrind_child
        return callgrind_child(name, column, route, int(n))
    if args.callgrind:
        return callgrind_main(args.callgrind, args.iterations, args.columns, args.json)
    if args.report:
        payloads = []
        for path in args.report:
            with open(path) as handle:
                payloads.append(json.load(handle))
        text = report(payloads)
        if args.results:
            write_results(args.results, text)
        else:
            print(text)
        return 0
    growth_rounds = args.growth_rounds or (1 if args.quick else 5)
    rounds = {1: args.rounds or (3 if args.quick else 15), 10: growth_rounds, 100: max(1, growth_rounds - 2)}
    target_ns = (args.target_ms or (5.0 if args.quick else 40.0)) * 1e6
    sizes = (1,) if args.no_growth else (1, 10) if args.quick else SIZES
    if args.wall:
        CLOCK[0] = time.perf_counter_ns

    started = time.perf_counter()
    cols, missing = peers()
    results, problems = {}, []
    for name, cls, key, loader in DATA:
        if args.data and name not in args.data:
            continue
        document = loader(fresh=True) if loader is load_pip else loader()
        text = json.dumps(document, ensure_ascii=False)
        found = check(name, cls, document, text, cols)
        if found:
            problems += found
            continue
        results[name] = (len(document[key]), measure(name, cls, key, document, cols, sizes, rounds, target_ns))
        print("  %s: done, %.0f s" % (name, time.perf_counter() - started), file=sys.stderr, flush=True)
    if problems:
        print("columns disagree with the data:\n  " + "\n  ".join(problems), file=sys.stderr)
        return 1
    elapsed = time.perf_counter() - started
    figures = summary(results)
    versions = peer_versions()
    env_line = "CPython %s, %s rounds, ~%g ms per cell, %s, one process, %.0f s. %s." % (
        platform.python_version(), ", ".join("%d at %dx" % (rounds[s], s) for s in sizes),
        target_ns / 1e6, "wall clock" if args.wall else "thread CPU time", elapsed,
        ", ".join("%s %s" % item for item in versions.items()))
    if missing:
        env_line += " Not installed: %s." % ", ".join(missing)
    payload = {"python": platform.python_version(), "cache_tag": sys.implementation.cache_tag,
               "cpu_count": os.cpu_count(), "rounds": {str(s): rounds[s] for s in sizes},
               "target_ms": target_ns / 1e6, "clock": "wall" if args.wall else "thread", "sizes": list(sizes),
               "seconds": elapsed, "versions": versions,
               "missing": missing, "reference": REFERENCE, "environment": env_line, "data": figures}
    table = markdown(figures, env_line, len(sizes) > 1)
    print(table)
    if args.json:
        os.makedirs(os.path.dirname(os.path.abspath(args.json)), exist_ok=True)
        with open(args.json, "w") as out:
            json.dump(payload, out, indent=1)
            out.write("\n")
    if args.results:
        write_results(args.results, table)
    return 0


if __name__ == "__main__":
    sys.exit(main())
