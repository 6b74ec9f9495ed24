"""Data at the boundary: checking casts, strict models, path notes, unknown keys and declaration mistakes.

One test per kind of bad input a new user met with real data; each shows the opt-in answer and that a model
declared without the option behaves as before.
"""
import enum
import pickle
import unittest

import support  # noqa: F401  (puts the built package first on the path)
from quenlory import Field, ListField, MultiField, ProxyField, dumps, model, raw
from quenlory import model_fields_flat as md_flat
from quenlory.types import Bool, Choice, Dict, EnumOf, Float, Int, List, Str
from recording import RecordingField


def notes(error):
    return getattr(error, "__notes__", [])


@model
class Meta:
    name = Field(str)
    version = Field(Str(min_length=1))


@model
class Dist:
    metadata = ProxyField(Meta)
    pos = MultiField(("lat", "lon"), cast=List(Float()))


@model
class Report:
    installed = ListField(Dist)


@model(extra="ignore")
class Loose:
    a = Field(int)


@model
class Subdivision:
    code = Field(str, key="code-x")
    name = Field(str)


@model
class Iso:
    subs = ListField(Subdivision, key="3166-2")
    top = ProxyField(Subdivision, key="the top", optional=True)


class Color(enum.Enum):
    RED = "red"
    GREEN = "green"


class BoundaryTest(unittest.TestCase):
    def raises(self, kind, text, call, *args, **kwargs):
        with self.assertRaises(kind) as caught:
            call(*args, **kwargs)
        self.assertEqual(str(caught.exception), text)
        return caught.exception

    def test_a_str_field_given_an_int(self):
        # As declared today the int is converted; a strict field refuses it, in construction and in writes.
        self.assertEqual(raw(model(type("Lax", (), {"name": Field(str)}))({"name": 123})), {"name": "123"})
        Strict = model(type("Strict", (), {"name": Field(str, strict=True)}))
        error = self.raises(TypeError, "expected str, got int", Strict, {"name": 123})
        self.assertEqual(notes(error), ["at name"])
        s = Strict(name="a")
        self.raises(TypeError, "expected str, got int", setattr, s, "name", 1)
        self.assertEqual(raw(s), {"name": "a"})

    def test_a_str_where_a_list_belongs_and_checking_casts(self):
        Tags = model(type("Tags", (), {"tags": Field(list, strict=True), "ids": Field(List(Int(ge=0)))}))
        self.raises(TypeError, "expected list, got str", Tags, tags="abc", ids=[])
        self.assertEqual(notes(self.raises(ValueError, "expected int >= 0, got -1", Tags, tags=[], ids=[1, -1])),
                         ["at ids[1]"])
        data = {"tags": ["a"], "ids": [1, 2]}
        t = Tags(data)
        self.assertIs(raw(t)["ids"], data["ids"])  # checked, not copied
        cases = [
            (Int(), True, TypeError, "expected int, got bool"),
            (Int(le=3), 4, ValueError, "expected int <= 3, got 4"),
            (Float(), "1.5", TypeError, "expected float, got str"),
            (Bool(), "maybe", TypeError, "expected bool, got str"),
            (Str(min_length=1), "", ValueError, "expected str of length >= 1, got length 0"),
            (Str(pattern=r"^\d+$"), "1a", ValueError, "expected str matching '^\\\\d+$', got '1a'"),
            (Dict(Str()), {"k": 1}, TypeError, "expected str, got int"),
            (Choice("a", "b"), "c", ValueError, "expected one of 'a', 'b', got 'c'"),
            (Choice(1), True, ValueError, "expected one of 1, got True"),
            (EnumOf(Color), "blue", ValueError, "expected one of 'red', 'green', got 'blue'"),
        ]
        for cast, value, kind, text in cases:
            with self.subTest(cast=cast, value=value):
                self.raises(kind, text, cast, value)
        self.assertEqual((Float()(1), EnumOf(Color)(Color.RED), Str(max_length=2)("ab")), (1, "red", "ab"))
        self.assertIsInstance(Float()(1), int)  # an int is kept as given where a float is expected

    def test_a_bool_given_text_and_a_strict_model(self):
        @model(strict=True)
        class Flags:
            on = Field(bool)
            count = Field(int, optional=True)
            loose = Field(int, strict=False)

        self.raises(TypeError, "expected bool, got str", Flags, on="maybe", loose=1)
        self.raises(TypeError, "expected int, got str", Flags, on=True, count="1", loose=1)
        f = Flags({"on": False, "count": None, "loose": "2"})
        self.assertEqual(raw(f), {"on": False, "count": None, "loose": 2})
        self.raises(TypeError, "expected int, got str", setattr, f, "count", "3")
        f.loose = "4"
        self.assertEqual(f.loose, 4)

    def test_strict_makes_no_call_on_a_declaration(self):
        # A strict model walks its declarations with the calls, in the order, of a model that is not.
        def walk(**options):
            log = []
            fields = {"x": RecordingField(log, "x", int), "y": RecordingField(log, "y", str, optional=True)}
            model(**options)(type("R", (), fields))
            return log
        self.assertEqual(walk(strict=True), walk())

    def test_a_failing_cast_carries_its_path(self):
        Count = model(type("Count", (), {"n": Field(int)}))
        with self.assertRaises(ValueError) as caught:
            Count({"n": "abc"})
        error = caught.exception
        self.assertEqual((error.args, notes(error)), (("invalid literal for int() with base 10: 'abc'",), ["at n"]))
        good = {"metadata": {"name": "a", "version": "1"}, "lat": 1.0, "lon": 2.0}
        rows = [
            ({"metadata": {"version": "1"}}, ValueError, "at installed[3].metadata.name"),
            ({"metadata": {"name": "a", "version": ""}}, ValueError, "at installed[3].metadata.version"),
            ({"metadata": good["metadata"], "pos": ["x", 1.0]}, TypeError, "at installed[3].pos[0]"),
            ({"metadata": {"name": "a", "version": "1", "extra": 1}}, ValueError, "at installed[3].metadata"),
            (7, TypeError, "at installed[3]"),
        ]
        for bad, kind, note in rows:
            with self.subTest(note=note):
                with self.assertRaises(kind) as caught:
                    Report({"installed": [good] * 3 + [bad]})
                self.assertEqual(notes(caught.exception), [note])
        Reports = model(type("Reports", (), {"reports": ListField(Report)}))
        with self.assertRaises(ValueError) as caught:
            Reports({"reports": [{"installed": [good]}, {"installed": [good, {"metadata": {"version": "1"}}]}]})
        self.assertEqual(notes(caught.exception), ["at reports[1].installed[1].metadata.name"])
        # An exception whose notes cannot be written still propagates as it was.
        class Sealed(Exception):
            __slots__ = ()

            def __getattribute__(self, name):
                if name in ("__dict__", "__notes__", "add_note"):
                    raise RuntimeError("no")
                return super().__getattribute__(name)

        def seal(value):
            raise Sealed("sealed")
        with self.assertRaises(Sealed):
            model(type("S", (), {"a": Field(seal)}))(a=1)

    def test_keys_that_are_not_attribute_names(self):
        data = {"3166-2": [{"code-x": "A", "name": "a"}, {"code-x": "B", "name": "b"}]}
        iso = Iso(data)
        self.assertEqual((iso.subs[1].code, iso.top), ("B", None))
        iso.subs[0].code = "Z"
        iso.top = {"code-x": "T", "name": "t"}
        self.assertEqual(data, {"3166-2": [{"code-x": "Z", "name": "a"}, {"code-x": "B", "name": "b"}],
                                "the top": {"code-x": "T", "name": "t"}})
        self.assertIs(raw(iso), data)
        self.assertEqual(list(md_flat(Iso)), ["3166-2[].code-x", "3166-2[].name", "the top.code-x", "the top.name"])
        made = Subdivision(code="k", name="n")  # keywords take the attribute names
        self.assertEqual(raw(pickle.loads(pickle.dumps(made))), {"code-x": "k", "name": "n"})
        self.raises(ValueError, "Unexpected key provided: {'code'}", Subdivision, {"code": "k", "name": "n"})
        error = self.raises(ValueError, "Missing key [code-x] to construct Subdivision", Iso, {"3166-2": [{}]})
        self.assertEqual(notes(error), ["at 3166-2[0].code-x"])
        self.raises(ValueError, "Error creating model B: the key 'b' of field 'a' is another field's name or key",
                    model, type("B", (), {"a": Field(str, key="b"), "b": Field(str)}))
        self.assertEqual(raw(model(key="k")(type("K", (), {"a": Field(str)}))(a=1)), {"a": "1"})  # the model's own

    def test_undeclared_keys(self):
        data = {"a": "1", "new": [1], 2: "x"}
        loose = Loose(data)
        self.assertEqual(raw(loose), {"a": 1, "new": [1], 2: "x"})
        self.assertEqual(dumps(Loose({"a": 1, "b": 2})), '{"a": 1, "b": 2}')
        self.assertEqual(raw(pickle.loads(pickle.dumps(Loose({"a": 1, "b": 2})))), {"a": 1, "b": 2})
        self.raises(ValueError, "Unexpected key provided: dict_keys(['b'])", Loose, a=1, b=2)  # keywords still named
        for options in ({}, {"extra": "forbid"}, {"extra": 1}):
            Tight = model(**options)(type("Tight", (), {"a": Field(int)}))
            self.raises(ValueError, "Unexpected key provided: {'new'}", Tight, {"a": 1, "new": 2})

    def test_declaration_mistakes_are_refused_with_the_field_name(self):
        rows = [
            (Field(5), "field 'f': the cast 5 is not callable"),
            (Field(str, factory=5), "field 'f': the factory 5 is not callable"),
            (Field(str, optinal=True), "field 'f': unknown option 'optinal'; did you mean 'optional'?"),
            (ProxyField(Meta, defualt=None), "field 'f': unknown option 'defualt'; did you mean 'default'?"),
            (MultiField(("a", "b"), key="ab"), "field 'f': a MultiField keeps its values under its components, "
                                               "and takes no key"),
            (Field(str, key=3), "field 'f': the key must be a str, got 3"),
            (Field(repr, strict=True), "field 'f': strict=True needs the cast int, str, float, bool, list or dict "
                                       "(or a cast of quenlory.types), got repr"),
        ]
        for decl, text in rows:
            with self.subTest(text=text):
                self.raises(TypeError, text, model, type("D", (), {"f": decl}))
        # Entries that are not near an option stay the declaration's own metadata.
        self.assertEqual(model(type("Doc", (), {"f": Field(str, doc="x")}))(f=1).f, "1")


if __name__ == "__main__":
    unittest.main()
