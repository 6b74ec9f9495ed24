"""Data nobody here wrote, at the boundary: Debian iso-codes' ISO 3166-2 subdivisions and ISO 3166-3 withdrawn names.

    python examples/real_data.py [FOLDER]

FOLDER holds iso_3166-2.json and iso_3166-3.json (default /usr/share/iso-codes/json; `apt-get install iso-codes`).
The program loads the 5,000-odd subdivisions through `validate`, writes them back with `dumps` and checks the round
trip; spoils a copy of the input in four ways and prints every error `validate` collects, each with its path, with
the spoilt copy left as it was; then reads the withdrawal dates of ISO 3166-3 with a `DateField`, where a record
that gives only a year is one of the errors, found all at once. It exits non-zero if anything came out unexpected.
"""
import argparse
import copy
import json
import os
import sys
from collections import Counter
from typing import Any, Dict, List, Type, TypeVar

from quenlory import DateField, Field, ListField, Model, ValidationError, dumps, model, raw, validate

DEFAULT_FOLDER = "/usr/share/iso-codes/json"


# ---- Guards for options still to come: strict loading, raw keys and extra="ignore". Each is tried once on a tiny
# model; the example runs either way, and shows the option where it is there. (Remove the guards once all three are.)
def _works(build) -> bool:
    try:
        return bool(build())
    except Exception:
        return False


def _strict_loading() -> bool:
    @model
    class Probe(Model):
        name = Field(str, strict=True)

    try:
        Probe({"name": 123})
    except TypeError:
        return True
    return False


def _raw_keys() -> bool:
    @model
    class Probe(Model):
        code = Field(str, key="3166-2")

    return raw(Probe({"3166-2": "x"})) == {"3166-2": "x"} and Probe({"3166-2": "x"}).code == "x"


def _extra_ignore() -> bool:
    @model(extra="ignore")
    class Probe(Model):
        name = Field(str)

    return raw(Probe({"name": "x", "more": 1})) == {"name": "x", "more": 1}


STRICT = {"strict": True} if _works(_strict_loading) else {}
HAS_RAW_KEYS = _works(_raw_keys)
EXTRA_IGNORE = _works(_extra_ignore)
_C = TypeVar("_C")


def model_ignoring_extra_keys(cls: Type[_C]) -> Type[_C]:
    """@model(extra="ignore"), where there is such an option, else @model."""
    return model(cls, extra="ignore") if EXTRA_IGNORE else model(cls)
# ---- end of the guards


@model
class Subdivision(Model):
    """A region, province, parish...: "AD-02" Canillo, a Parish; some name the subdivision they belong to."""

    code = Field(str, **STRICT)
    name = Field(str, **STRICT)
    type = Field(str, **STRICT)
    parent = Field(str, optional=True, **STRICT)


@model
class Subdivisions(Model):
    """The whole file: one key, "3166-2", which is no attribute name."""

    if HAS_RAW_KEYS:
        subdivisions = ListField(Subdivision, key="3166-2")
    else:  # (guard) without raw keys the attribute has to be the key itself
        locals()["3166-2"] = ListField(Subdivision)


def subdivisions_of(file: Any) -> Any:
    return file.subdivisions if HAS_RAW_KEYS else getattr(file, "3166-2")


@model_ignoring_extra_keys  # (guard) @model(extra="ignore")
class Withdrawn(Model):
    """A country name taken out of ISO 3166-1. Only the fields used here are declared."""

    alpha_3 = Field(str)
    name = Field(str)
    withdrawal_date = DateField()
    if not EXTRA_IGNORE:  # (guard) until extra="ignore" is there, the keys this program does not use are declared
        alpha_2 = Field(str)
        alpha_4 = Field(str)
        numeric = Field(str, optional=True)
        comment = Field(str, optional=True)


@model
class WithdrawnFile(Model):
    if HAS_RAW_KEYS:
        withdrawn = ListField(Withdrawn, key="3166-3")
    else:  # (guard)
        locals()["3166-3"] = ListField(Withdrawn)


def load(folder: str, name: str) -> Dict[str, Any]:
    with open(os.path.join(folder, name), encoding="utf-8") as handle:
        data: Dict[str, Any] = json.load(handle)
    return data


def show(error: ValidationError, limit: int = 8) -> None:
    print("  %s" % (error.message,))
    for sub in error.exceptions[:limit]:
        print("    at %-36s %s: %s" % (" / ".join(getattr(sub, "__notes__", ["?"])), type(sub).__name__, sub))
    if len(error.exceptions) > limit:
        print("    ... and %d more" % (len(error.exceptions) - limit))


def main(argv: List[str]) -> int:
    parser = argparse.ArgumentParser(prog=os.path.basename(argv[0]), description=(__doc__ or "").split("\n")[0])
    parser.add_argument("folder", nargs="?", default=DEFAULT_FOLDER,
                        help="holds iso_3166-2.json and iso_3166-3.json (default %(default)s)")
    folder = parser.parse_args(argv[1:]).folder
    problems = []
    print("options: strict loading %s, raw keys %s, extra=\"ignore\" %s" % tuple(
        "on" if flag else "not there yet" for flag in (STRICT, HAS_RAW_KEYS, EXTRA_IGNORE)))

    # 1. The whole file, validated; the instance's raw data is the loaded dict itself.
    original = load(folder, "iso_3166-2.json")
    data = copy.deepcopy(original)
    file = validate(Subdivisions, data)
    records = subdivisions_of(file)
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
    entries[1]["name"] = 123                  # a number for a name: refused by strict loading, else made "123"
    del entries[2]["type"]                    # a missing key
    entries[3]["colour"] = "blue"             # a key the model does not declare
    entries[4]["parent"] = ["AD"]             # a list for a str: refused by strict loading, else made "['AD']"
    entries.insert(5, "AD-09")                # a str where a record belongs
    before = copy.deepcopy(spoilt)
    print("a spoilt copy, validated:")
    try:
        validate(Subdivisions, spoilt)
        problems.append("the spoilt copy was accepted")
    except ValidationError as error:
        show(error)
        expected = 5 if STRICT else 3
        if len(error.exceptions) != expected:
            problems.append("%d errors in the spoilt copy, not %d" % (len(error.exceptions), expected))
    if spoilt != before:
        problems.append("validate changed the spoilt copy")

    # Construction itself stops at the first error; its path, where construction gives one, is a note.
    try:
        Subdivisions(copy.deepcopy(spoilt))
    except (TypeError, ValueError) as error:
        notes = getattr(error, "__notes__", None)
        print("construction alone: %s: %s%s" % (type(error).__name__, error,
                                               " (at %s)" % " / ".join(notes) if notes else ""))

    # 3. Dates: ISO 3166-3 gives some withdrawal dates as a year only, which no date is.
    withdrawn = load(folder, "iso_3166-3.json")
    before = copy.deepcopy(withdrawn)
    print("ISO 3166-3 withdrawal dates as a DateField:")
    try:
        validate(WithdrawnFile, withdrawn)
        problems.append("the year-only dates were accepted")
    except ValidationError as error:
        show(error, limit=3)
        if withdrawn != before:
            problems.append("validate changed the ISO 3166-3 data")
    whole = [record for record in withdrawn["3166-3"] if len(record["withdrawal_date"]) == 10]
    dated = [Withdrawn(dict(record)) for record in whole]
    # The keys the model does not declare (with extra="ignore") or does (without) come back all the same.
    if [json.loads(dumps(record)) for record in dated] != whole:
        problems.append("an ISO 3166-3 record did not come back unchanged")
    latest = max(dated, key=lambda record: record.withdrawal_date)
    print("%d of %d give a whole date; the latest: %s (%s) on %s, a %s" % (
        len(dated), len(withdrawn["3166-3"]), latest.name, latest.alpha_3, latest.withdrawal_date.isoformat(),
        latest.withdrawal_date.strftime("%A")))
    latest.withdrawal_date = latest.withdrawal_date.replace(day=1)  # a write keeps the raw text in step
    print("moved to the first of its month, its raw data reads %r" % (raw(latest)["withdrawal_date"],))

    for problem in problems:
        print("unexpected: %s" % problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
