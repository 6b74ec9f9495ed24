"""Rich fields (date, datetime, time, UUID, Decimal, Enum over JSON raw data) and validate's collected errors."""
import copy
import datetime
import decimal
import enum
import importlib.util
import json
import os
import pickle
import unittest
import uuid

import support
from support import Field, ProxyField, dumps, model, model_fields_flat, raw
from quenlory import validate, ValidationError
from quenlory.fields import DateField, DateTimeField, DecimalField, EnumField, ListField, TimeField, UUIDField


class Channel(enum.Enum):
    STABLE = "stable"
    BETA = "beta"


class Level(enum.IntEnum):
    LOW = 1
    HIGH = 2


@model
class Release:
    day = DateField()
    at = DateTimeField(optional=True)
    time = TimeField(optional=True)
    id = UUIDField()
    price = DecimalField(default="0.00")
    channel = EnumField(Channel)
    level = EnumField(Level, optional=True)


RELEASE = {"day": "2024-05-01", "at": "2024-05-01T10:30:00+02:00", "id": "12345678-ABCD-5678-1234-567812345678",
           "price": "1e3", "channel": "beta", "level": 2}


@model
class Meta:
    name = Field(str)
    version = Field(int)
    released = DateField(optional=True)


@model
class Dist:
    metadata = ProxyField(Meta)
    requested = Field(bool, default=False)


@model
class Report:
    version = Field(str)
    installed = ListField(Dist)


def notes(error):
    return [(type(sub).__name__, str(sub), getattr(sub, "__notes__", None)) for sub in error.exceptions]


class RichFieldTest(unittest.TestCase):
    def test_reads_the_object_and_keeps_the_json_form(self):
        r = Release(dict(RELEASE))
        self.assertEqual((r.day, r.id, r.price, r.channel, r.level, r.time),
                         (datetime.date(2024, 5, 1), uuid.UUID(RELEASE["id"]), decimal.Decimal("1E+3"), Channel.BETA,
                          Level.HIGH, None))
        self.assertEqual(r.at.utcoffset(), datetime.timedelta(hours=2))
        expected = dict(RELEASE, id=RELEASE["id"].lower(), price="1E+3")  # the canonical text
        self.assertEqual(raw(r), expected)
        self.assertNotIn("time", raw(r))  # an optional one left out stays out
        self.assertEqual(raw(Release(json.loads(dumps(r)))), expected)
        for twin in (pickle.loads(pickle.dumps(r)), copy.deepcopy(r)):
            self.assertEqual((raw(twin), twin.day, twin.channel), (expected, r.day, r.channel))
        self.assertIs(model_fields_flat(Release)["day"], Release.__dict__["day"].field)
        # Writes take the object or its text and keep both forms in step.
        r.day, r.time, r.price, r.channel = datetime.date(2020, 1, 2), "10:11", decimal.Decimal("0.10"), "stable"
        r.level = None
        self.assertEqual((r.day, r.time, r.price, r.channel, r.level),
                         (datetime.date(2020, 1, 2), datetime.time(10, 11), decimal.Decimal("0.10"), Channel.STABLE,
                          None))
        self.assertEqual({key: raw(r)[key] for key in ("day", "time", "price", "channel", "level")},
                         {"day": "2020-01-02", "time": "10:11:00", "price": "0.10", "channel": "stable", "level": None})
        fresh = Release(day="2024-01-01", id=uuid.UUID(int=1), channel=Channel.BETA)
        self.assertEqual((fresh.price, raw(fresh)["id"]), (decimal.Decimal("0.00"), str(uuid.UUID(int=1))))

    def test_bad_input(self):
        r = Release(dict(RELEASE))
        before = dict(raw(r))
        for name, value, kind, message in (
                ("day", 20240501, TypeError, "expected str or date, got int"),
                ("day", datetime.datetime(2024, 5, 1), TypeError, "expected str or date, got datetime"),
                ("day", "2024-13-01", ValueError, None),
                ("day", None, TypeError, "expected str or date, got NoneType"),  # not optional
                ("at", "tomorrow", ValueError, None),
                ("id", "12345", ValueError, None),
                ("price", 1.5, TypeError, "expected str or Decimal, got float"),
                ("price", "NaN", ValueError, None),
                ("price", " 1", ValueError, None),
                ("price", "1_000", ValueError, None),
                ("price", "abc", ValueError, None),
                ("channel", "alpha", ValueError, None),
                ("channel", 1, TypeError, "expected str or Channel, got int"),
                ("level", True, TypeError, "expected int or Level, got bool"),
                ("level", "2", TypeError, "expected int or Level, got str")):
            with self.assertRaises(kind, msg=(name, value)) as caught:
                setattr(r, name, value)
            if message:
                self.assertEqual(str(caught.exception), message)
        self.assertEqual((raw(r), r.day, r.channel), (before, datetime.date(2024, 5, 1), Channel.BETA))
        with self.assertRaises(TypeError):
            Release(dict(RELEASE, day=5))

        class Shape(enum.Enum):
            POINT = (0, 0)
        with self.assertRaisesRegex(TypeError, "only a str, int, float or bool"):
            EnumField(Shape)


class ValidateTest(unittest.TestCase):
    def test_every_error_with_its_path_and_the_input_untouched(self):
        bad = {"version": "1", "colour": 1, "installed": [
            {"metadata": {"name": "x", "version": "3"}},
            {"metadata": {"version": "abc", "released": "2020-13-01"}},
            5,
            {"metadata": 7},
            {}]}
        before, nested = copy.deepcopy(bad), bad["installed"][0]["metadata"]
        with self.assertRaises(ValidationError) as caught:
            validate(Report, bad)
        self.assertEqual([(kind, note) for kind, _, note in notes(caught.exception)], [
            ("ValueError", ["at colour"]),
            ("ValueError", ["at installed[1].metadata.name"]),
            ("ValueError", ["at installed[1].metadata.version"]),
            ("ValueError", ["at installed[1].metadata.released"]),
            ("TypeError", ["at installed[2]"]),
            ("TypeError", ["at installed[3].metadata"]),
            ("ValueError", ["at installed[4].metadata"])])
        self.assertEqual(notes(caught.exception)[1][1], "Missing key [name] to construct Meta")
        self.assertEqual(bad, before)
        self.assertIs(bad["installed"][0]["metadata"], nested)
        self.assertEqual(nested["version"], "3")  # nothing half-cast

    def test_success_is_the_instance_over_the_callers_dict(self):
        good = {"version": 1, "installed": [{"metadata": {"name": "x", "version": "3", "released": "2020-01-02"}}]}
        report = validate(Report, good)
        self.assertIs(raw(report), good)
        self.assertEqual(good, {"version": "1", "installed": [
            {"metadata": {"name": "x", "version": 3, "released": "2020-01-02"}, "requested": False}]})
        self.assertEqual(report.installed[0].metadata.released, datetime.date(2020, 1, 2))
        with support.captured_stdout():
            self.assertEqual(report, Report(json.loads(json.dumps(good))))

    def test_raw_keys_ignored_extras_and_strict_refusals_nested(self):
        @model(strict=True)
        class Region:
            code = Field(str)
            name = Field(str, key="full-name")
            level = Field(int, strict=False, optional=True)

        @model(extra="ignore")
        class Entry:
            region = ProxyField(Region, key="the-region")

        @model
        class File:
            entries = ListField(Entry, key="3166-2")

        bad = {"3166-2": [{"the-region": {"code": 1, "full-name": "A", "level": "2"}, "more": 1},
                          {"the-region": {"code": "b", "extra": 1}}]}
        with self.assertRaises(ValidationError) as caught:
            validate(File, bad)
        self.assertEqual([(message, note) for _, message, note in notes(caught.exception)], [
            ("expected str, got int", ["at 3166-2[0].the-region.code"]),
            ("Unexpected key provided: {'extra'}", ["at 3166-2[1].the-region.extra"]),
            ("Missing key [full-name] to construct Region", ["at 3166-2[1].the-region.full-name"])])
        self.assertEqual(type(caught.exception.exceptions[0].__notes__[0]).__name__, "PathNote")
        del bad["3166-2"][1]
        bad["3166-2"][0]["the-region"]["code"] = "a"
        self.assertEqual(validate(File, bad).entries[0].region.level, 2)
        self.assertEqual(bad["3166-2"][0]["more"], 1)

    def test_a_late_failure_puts_the_input_back(self):
        # The walk cannot call a factory; when the construction after it fails, what it cast is undone.
        def broken():
            raise RuntimeError("no stamp")

        @model
        class Stamped:
            meta = ProxyField(Meta)
            stamp = Field(str, factory=broken)

        data = {"meta": {"name": "x", "version": "3"}}
        before, inner = copy.deepcopy(data), data["meta"]
        with self.assertRaises(ValidationError) as caught:
            validate(Stamped, data)
        self.assertEqual(notes(caught.exception)[0], ("RuntimeError", "no stamp", ["at stamp"]))  # one note
        self.assertEqual(data, before)
        self.assertIs(data["meta"], inner)


ISO_3166_2 = "/usr/share/iso-codes/json/iso_3166-2.json"


class RealDataExampleTest(unittest.TestCase):
    @unittest.skipUnless(os.path.exists(ISO_3166_2), "needs Debian's iso-codes")
    def test_example_checks_itself_on_the_systems_data(self):
        path = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples", "real_data.py")
        spec = importlib.util.spec_from_file_location("real_data_example", path)
        example = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(example)
        with support.captured_stdout() as out:
            status = example.main(["real_data.py"])
        self.assertEqual(status, 0, out.getvalue())
        self.assertIn("at 3166-3[0].withdrawal_date", out.getvalue())


if __name__ == "__main__":
    unittest.main()
