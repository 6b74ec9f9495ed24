"""Tables and a chart from the JSON files of several bench runs (one per interpreter).

    report.py [--chart FILE] [--tables FILE] [--performance docs/performance.md] RESULT.json...

The chart shows, per operation and interpreter, each library's time as a ratio to the hand-written __slots__
class (log scale; below 1 is faster). The tables are markdown: the ratios against each target, then one table of
ns per operation per interpreter, then the growth figures. With --performance, they replace the part of that page
(docs/performance.md) between the two "bench-all" marker comments; the README is never rewritten.
"""
import argparse
import json
import re
import sys

import bench

CHART_ROWS = ("construct_dict", "construct_kw", "construct_b", "read", "write", "write_compound", "eq", "raw",
              "dumps", "define")
CHART_COLUMNS = ("quenlory", "dataclass", "attrs", "pydantic", "msgspec")
COLOURS = {"quenlory": "#c0392b", "dataclass": "#7f8c8d", "attrs": "#2980b9", "pydantic": "#8e44ad",
           "msgspec": "#27ae60"}
BEGIN, END = "<!-- bench-all: begin -->", "<!-- bench-all: end -->"


def load(paths):
    runs = [json.load(open(path)) for path in paths]
    return sorted(runs, key=lambda run: tuple(int(p) for p in run["python"].split(".")[:2]))


def short(run):
    return ".".join(run["python"].split(".")[:2])


def chart(runs, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib import ticker

    labels = dict(bench.ROWS)
    fig, axes = plt.subplots(2, 5, figsize=(18, 7.5), sharey=False)
    width = 0.8 / len(CHART_COLUMNS)
    for ax, row in zip(axes.flat, CHART_ROWS):
        for i, column in enumerate(CHART_COLUMNS):
            xs, ys = [], []
            for x, run in enumerate(runs):
                value = run["ratio_slots"].get(row, {}).get(column)
                if value is not None and value > 0:
                    xs.append(x + (i - (len(CHART_COLUMNS) - 1) / 2) * width)
                    ys.append(value)
            ax.bar(xs, ys, width, color=COLOURS[column], label=column)
        ax.axhline(1.0, color="black", linewidth=0.8)
        ax.set_yscale("log")
        ax.yaxis.set_major_locator(ticker.LogLocator(subs=(1.0, 2.0, 5.0)))
        ax.yaxis.set_major_formatter(ticker.FormatStrFormatter("%g"))
        ax.yaxis.set_minor_formatter(ticker.NullFormatter())
        ax.set_title(labels[row], fontsize=10)
        ax.set_xticks(range(len(runs)))
        ax.set_xticklabels([short(run) for run in runs], fontsize=8)
        ax.tick_params(axis="y", labelsize=8)
        ax.grid(axis="y", which="both", linewidth=0.3, alpha=0.5)
    axes.flat[0].set_ylabel("time / __slots__ class (log)")
    axes.flat[5].set_ylabel("time / __slots__ class (log)")
    handles, names = axes.flat[0].get_legend_handles_labels()
    fig.legend(handles, names, loc="upper center", ncol=len(CHART_COLUMNS), frameon=False)
    fig.suptitle("Time per operation relative to a hand-written __slots__ class (below 1: faster); "
                 "median of per-round ratios, one run per interpreter", y=0.02, fontsize=9)
    fig.tight_layout(rect=(0, 0.04, 1, 0.94))
    fig.savefig(path)


def mark(value, limit):
    if value is None:
        return ""
    text = bench.fmt_ratio(value)
    return text if limit is None or value <= limit else "**%s**" % text


def targets_table(runs):
    lines = ["| target (quenlory) | limit | " + " | ".join(short(run) for run in runs) + " |",
             "|---|---|" + "---|" * len(runs)]
    for index, first in enumerate(runs[0]["targets"]):
        label = first["label"]
        cells = []
        for run in runs:
            entry = run["targets"][index]
            limit = entry["limit"]
            if label.startswith("read field") and limit is not None:
                limit = 1.3 if short(run) in ("3.9", "3.10") else 5.0
            cells.append(mark(entry["ratio"], limit))
        limits = "1.3 / 5" if label.startswith("read field") else first["limit"]
        lines.append("| %s | %s | %s |" % (label, "" if limits is None else "≤ %s" % limits, " | ".join(cells)))
    return "\n".join(lines)


def ns_table(run):
    names = run["columns"]
    grid = {row: {name: run["ns"].get(row, {}).get(name) for name in names} for row, _ in bench.ROWS}
    text = bench.table("", names, grid, lambda v: "" if v is None else bench.fmt_ns(v)).lstrip("\n")
    refs = ["%s %s" % (name, bench.fmt_ns(run["ns"]["dumps"][name])) for name in run.get("references", [])]
    peers = ", ".join("%s %s" % item for item in run.get("peers", {}).items()) or "none"
    head = "CPython %s (peers: %s%s):" % (run["python"], peers,
                                          "; not available: " + ", ".join(run["missing"]) if run["missing"] else "")
    tail = "\ndumps of the same dict, for reference: " + ", ".join(refs) if refs else ""
    return "%s\n\n```text\n%s%s\n```" % (head, text, tail)


def growth_table(runs):
    """quenlory's ns per operation by size, with its cost per added field or level between sizes."""
    runs = [run for run in runs if run.get("growth")]
    if not runs:
        return ""
    lines = ["| quenlory, ns (per added field or level) | " + " | ".join(short(run) for run in runs) + " |",
             "|---|" + "---|" * len(runs)]
    for index, first in enumerate(runs[0]["growth"]):
        cells = []
        for run in runs:
            entry = run["growth"][index]
            kind = entry["key"].rsplit("_", 1)[0]
            before = [e for e in run["growth"][:index] if e["key"].rsplit("_", 1)[0] == kind]
            cell = bench.fmt_ns(entry["ns"]["quenlory"])
            if before and kind != "read":
                cell += " (%s)" % bench.fmt_ns((entry["ns"]["quenlory"] - before[-1]["ns"]["quenlory"])
                                               / (entry["size"] - before[-1]["size"]))
            cells.append(cell)
        lines.append("| %s | %s |" % (first["label"], " | ".join(cells)))
    return "\n".join(lines)


def tables(runs):
    parts = ["Targets, quenlory's median ratio in each run (**bold**: missed):", "", targets_table(runs), ""]
    parts += [ns_table(run) + "\n" for run in runs]
    growth = growth_table(runs)
    if growth:
        parts += ["Growth (models of 10, 50 and 200 `Field(int)` fields; chains of 1, 4 and 16 nested models):", "",
                  growth, ""]
    return "\n".join(parts)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("results", nargs="+")
    parser.add_argument("--chart", metavar="FILE")
    parser.add_argument("--tables", metavar="FILE")
    parser.add_argument("--performance", metavar="FILE", help="the docs page whose bench-all section is rewritten")
    args = parser.parse_args(argv)
    runs = load(args.results)
    if args.chart:
        chart(runs, args.chart)
        print("chart: " + args.chart)
    text = tables(runs)
    if args.tables:
        with open(args.tables, "w") as out:
            out.write(text)
        print("tables: " + args.tables)
    if args.performance:
        page = open(args.performance).read()
        pattern = re.compile(re.escape(BEGIN) + ".*?" + re.escape(END), re.S)
        if not pattern.search(page):
            print("%s has no %s ... %s section" % (args.performance, BEGIN, END), file=sys.stderr)
            return 1
        page = pattern.sub(lambda _: BEGIN + "\n" + text + "\n" + END, page)
        with open(args.performance, "w") as out:
            out.write(page)
        print("performance page rewritten: " + args.performance)
    if not (args.chart or args.tables or args.performance):
        print(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
