"""Data nobody here wrote, at the boundary: Debian iso-codes' ISO 3166-2 subdivisions and ISO 3166-3 withdrawn names.

    python examples/real_data.py [FOLDER]

FOLDER holds iso_3166-2.json and iso_3166-3.json (default /usr/share/iso-codes/json; `apt-get install iso-codes`).
The program loads the 5,000-odd subdivisions through `validate` into a strict model under the raw key "3166-2",
writes them back with `dumps` and checks the round trip; spoils a copy of the input in five ways and prints every
error `validate` collects, each with its path, with the spoilt copy left as it was, and the path note that plain
construction gives its first error; then reads the withdrawal dates of ISO 3166-3 with a `DateField`, in a model
that declares only the keys it uses (extra="ignore"), where a record that gives only a year is one of the errors,
found all at once. It exits non-zero if anything came out unexpected.
"""
import argparse
import copy
import json
import os
import sys
from collections import Counter
from typing import Any, Dict, List

from quenlory import DateField, Field, ListField, Model, ValidationError, dumps, model, raw, validate

DEFAULT_FOLDER = "/usr/share/iso-codes/json"


@model(strict=True)
class Subdivision(Model):
    """A region, province, parish...: "AD-02" Canillo, a Parish; some name the subdivision they belong to.

    Strict: the values must be text already, as they are in the file; a number or a list is refused, not made text."""

    code = Field(str)
    name = Field(str)
    type = Field(str)
    parent = Field(str, optional=True)


@model
class Subdivisions(Model):
    """The whole file: one key, "3166-2", which is no attribute name."""

    subdivisions = ListField(Subdivision, key="3166-2")


@model(extra="ignore")
class Withdrawn(Model):
    """A country name taken out of ISO 3166-1. Only the fields used here are declared; the others stay in the raw
    data as they are."""

    alpha_3 = Field(str)
    name = Field(str)
    withdrawal_date = DateField()


@model
class WithdrawnFile(Model):
    withdrawn = ListField(Withdrawn, key="3166-3")


def load(folder: str, name: str) -> Dict[str, Any]:
    with open(os.path.join(folder, name), encoding="utf-8") as handle:
        data: Dict[str, Any] = json.load(handle)
    return data


def path_of(error: BaseException) -> str:
    """The path in the note that construction and `validate` give an error ("3166-2[1].name"), or ""."""
    notes = getattr(error, "__notes__", None) or [""]
    return str(getattr(notes[-1], "path", ""))


def show(error: ValidationError, limit: int = 8) -> None:
    print("  %s" % (error.message,))
    for sub in error.exceptions[:limit]:
        print("    %-39s %s: %s" % (" / ".join(getattr(sub, "__notes__", ["?"])), type(sub).__name__, sub))
    if len(error.exceptions) > limit:
        print("    ... and %d more" % (len(error.exceptions) - limit))


def main(argv: List[str]) -> int:
    parser = argparse.ArgumentParser(prog=os.path.basename(argv[0]), description=(__doc__ or "").split("\n")[0])
    parser.add_argument("folder", nargs="?", default=DEFAULT_FOLDER,
                        help="holds iso_3166-2.json and iso_3166-3.json (default %(default)s)")
    folder = parser.parse_args(argv[1:]).folder
    problems = []

    # 1. The whole file, validated; the instance's raw data is the loaded dict itself.
    original = load(folder, "iso_3166-2.json")
    data = copy.deepcopy(original)
    file = validate(Subdivisions, data)
    records = file.subdivisions
    kinds = Counter(record.type for record in records)
    print("%d subdivisions of %d countries; most common kinds: %s" % (
        len(records), len({record.code.split("-")[0] for record in records}),
        ", ".join("%s %d" % item for item in kinds.most_common(4))))
    children = [record for record in records if record.parent is not None]
    if children:
        print("%d name the subdivision they belong to, such as %s (%s) in %s" % (
            len(children), children[0].name, children[0].code, children[0].parent))
    if json.loads(dumps(file)) != original:
        problems.append("the subdivisions did not come back unchanged")

    # 2. A spoilt copy: every mistake is reported, each with its path, and the copy is left as it was.
    spoilt = copy.deepcopy(original)
    entries = spoilt["3166-2"]
    entries[1]["name"] = 123                  # a number for a name: refused by strict loading
    del entries[2]["type"]                    # a missing key
    entries[3]["colour"] = "blue"             # a key the model does not declare
    entries[4]["parent"] = ["AD"]             # a list for a str: refused by strict loading
    entries.insert(5, "AD-09")                # a str where a record belongs
    before = copy.deepcopy(spoilt)
    print("a spoilt copy, validated:")
    try:
        validate(Subdivisions, spoilt)
        problems.append("the spoilt copy was accepted")
    except ValidationError as error:
        show(error)
        found = [(type(sub).__name__, path_of(sub)) for sub in error.exceptions]
        expected = [("TypeError", "3166-2[1].name"), ("ValueError", "3166-2[2].type"),
                    ("ValueError", "3166-2[3].colour"), ("TypeError", "3166-2[4].parent"),
                    ("TypeError", "3166-2[5]")]
        if found != expected:
            problems.append("the spoilt copy's errors were %s, not %s" % (found, expected))
    if spoilt != before:
        problems.append("validate changed the spoilt copy")

    # Construction itself stops at the first error, and tells where it is in a note ("at 3166-2[1].name").
    try:
        Subdivisions(copy.deepcopy(spoilt))
        problems.append("construction took the spoilt copy")
    except TypeError as error:
        print("construction alone: %s: %s (at %s)" % (type(error).__name__, error, path_of(error)))
        if (str(error), path_of(error)) != ("expected str, got int", "3166-2[1].name"):
            problems.append("construction's error was %r at %r" % (str(error), path_of(error)))

    # 3. Dates: ISO 3166-3 gives some withdrawal dates as a year only, which no date is.
    withdrawn = load(folder, "iso_3166-3.json")
    before = copy.deepcopy(withdrawn)
    print("ISO 3166-3 withdrawal dates as a DateField:")
    try:
        validate(WithdrawnFile, withdrawn)
        problems.append("the year-only dates were accepted")
    except ValidationError as error:
        show(error, limit=3)
        first = error.exceptions[0]
        if (type(first), path_of(first)) != (ValueError, "3166-3[0].withdrawal_date"):
            problems.append("the first ISO 3166-3 error was %r at %r" % (first, path_of(first)))
        if withdrawn != before:
            problems.append("validate changed the ISO 3166-3 data")
    whole = [record for record in withdrawn["3166-3"] if len(record["withdrawal_date"]) == 10]
    dated = [Withdrawn(dict(record)) for record in whole]
    # The keys the model does not declare (alpha_2, numeric, comment...) are kept: they come back unchanged.
    if [json.loads(dumps(record)) for record in dated] != whole:
        problems.append("an ISO 3166-3 record did not come back unchanged")
    latest = max(dated, key=lambda record: record.withdrawal_date)
    print("%d of %d give a whole date; the latest: %s (%s) on %s, a %s" % (
        len(dated), len(withdrawn["3166-3"]), latest.name, latest.alpha_3, latest.withdrawal_date.isoformat(),
        latest.withdrawal_date.strftime("%A")))
    latest.withdrawal_date = latest.withdrawal_date.replace(day=1)  # a write keeps the raw text in step
    text = raw(latest)["withdrawal_date"]
    print("moved to the first of its month, its raw data reads %r" % (text,))
    if text != latest.withdrawal_date.isoformat() or not text.endswith("-01"):
        problems.append("the date's raw text is %r" % (text,))

    for problem in problems:
        print("unexpected: %s" % problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
