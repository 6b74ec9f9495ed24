"""quenlory.loads against json.loads: the same instances, values and errors, on generated and edge-case text."""
import json
import unittest

import fuzz_json
from fuzz_json import Leaf, Tree, mismatch
from quenlory import loads, model_fields, raw

# Text that a reader might take differently from json.loads: each kind of malformed input, every escape, the number
# forms, whitespace, encodings and byte order marks.
EDGES = [
    "", " ", "\t\n\r ", "1", " \t\n\r[1] \t\n\r", "\x0b1", "\x0c1", "\u00a01", "[\u2028]", "[1]x", "[1] [2]", "{}",
    "[]", "[", "]", "{", '{"a"', '{"a":', '{"a":1', '{"a" 1}', '{1: 2}', "{'a': 1}", '{"a": 1,}', "[1,]", "[,1]",
    "[1,,2]", "[1 2]", '{"a": 1 "b": 2}', "// c\n1", "/* c */ 1", "1 // c", "#1", "true", "false", "null", "tru",
    "nul", "True", "nulll", "NaN", "-NaN", "Infinity", "-Infinity", "[NaN, Infinity, -Infinity]", "nan", "inf",
    "-inf", "infinity", "+1", "01", "-01", "00", "1.", ".5", "1.e5", "1e", "1e+", "-", "--1", "0x10", "1_000",
    "0", "-0", "-0.0", "0.0", "1E5", "1e-5", "1e+05", "1E400", "-1e400", "1e-400", "2.5e-324", "4.9e-324",
    "1.7976931348623157e308", "1.7976931348623159e308", "123456789012345678", "1234567890123456789",
    "-9223372036854775809", "18446744073709551616", "0.30000000000000004", "1" * 4300, "1" * 4301,
    "-" + "7" * 5000, "1." + "5" * 5000, '"\\"\\\\\\/\\b\\f\\n\\r\\t"', '"\\u0000\\u001f\\u007f\\u0080\\u07ff\\u0800"',
    '"\\uD83D\\uDE00\\ud83d\\ude00\\uFFFF"', '"\\ud800"', '"\\udc00"', '"\\ud800\\u0041"', '"\\udc00\\ud800"',
    '"\\ud800\\ud800"', '"\\u12"', '"\\u12g4"', '"\\x41"', '"\\a"', '"\\\'"', '"\\', '"abc', '"\x00"', '"\x1f"',
    '"\x7f"', '"\t"', '"\n"', '"\ud800"', '"\udfff"', '"\u00e9\u20ac\U0001f600"', "\ufeff[]", "\ufeff",
    '{"a": 1, "a": 2, "b": 3, "a": 4}', '{"": 0, "\\u0061": 1, "a": 2}', '[[[[[[[[[[]]]]]]]]]]', '"' + "x" * 100000 + '"',
    '"' + "\\u00e9\\n" * 20000 + '"', '["' + "\u00e9" * 1000 + '", "\U0001f600"]',
    b"", b"[1]", b"\xef\xbb\xbf[1]", b"\xef\xbb\xbf", b"\xfe\xff\x00[\x00]", b"\xff\xfe[\x00]\x00", b"[\x001\x00]\x00",
    b"\x00[\x001\x00]", b"\x00\x00\x00[", b"[\x00\x00\x00", b"1\x00", b"\x001", b'"\xed\xa0\x80"', b'"\xc0\xaf"',
    b'"\xf5\x80\x80\x80"', b'"\xe9"', b"[\xff]", b"\x80", bytearray(b'{"a": [1]}'), bytearray(b"\xef\xbb\xbf2"),
    "[1]".encode("utf-16"), "[1]".encode("utf-32"), '["\u00e9"]'.encode("utf-16-le"), '["\u00e9"]'.encode("utf-32-be"),
    '{"title": "t", "leaves": [{"name": "a"}, {"name": "b", "size": 2}], "leaf": {"name": "c", "size": "3"}}',
    '{"title": "t", "leaves": [{"name": "a", "colour": 1}]}', '{"title": 1}', '{"titl": "t"}', '{"leaves": []}',
    '{"title": "t", "leaf": [1]}', '{"title": "t", "leaves": {"name": "a"}}', '{"title": "t", "leaves": [1]}',
    '[{"title": "t"}]', '"text"', "null",
]


class Loads(unittest.TestCase):
    def test_same_as_json_loads(self):
        """Edge cases, then a generated corpus (fuzz_json.py's, fixed seed): the same values, types, key order
        and errors, through a pass-through model and through a nested one."""
        for text in EDGES:
            for cls in ((lambda data: data), Tree):
                with self.subTest(text=text[:60], cls=cls):
                    self.assertIsNone(mismatch(text, cls))
        found = []
        passed, failed = fuzz_json.run(400, 20261209, out=_Lines(found))
        self.assertEqual((failed, found), (0, []))

    def test_deep_nesting_and_odd_arguments(self):
        """Nesting past the recursion limit raises RecursionError; what json.loads refuses to take, so does loads."""
        for text in ("[" * 100000 + "]" * 100000, '{"a":' * 100000 + "1" + "}" * 100000, "[" * 100000):
            self.assertIsNone(mismatch(text, lambda data: data))
            with self.assertRaises(RecursionError):
                loads(Tree, text)

        class Text(str):
            def startswith(self, *args):
                return False

        for text in (None, 1, memoryview(b"[1]"), Text("\ufeff[1]"), ["[1]"]):
            with self.subTest(text=text):
                self.assertIsNone(mismatch(text, lambda data: data))

    def test_schema_keys_are_reused(self):
        """The keys a model declares come out as the field map's own key objects, in nested models and in lists
        of them too; keys of one document that no model declares are made once."""
        names = {key: key for key in model_fields(Tree)}
        leaf_names = {key: key for key in model_fields(Leaf)}
        text = ''.join(['{"title": "t", "leaf": {"name": "a", "size": 1}, "leaves": [{"name": "b"}, {"size": 2, ',
                        '"name": "c"}], "extra": [{"name": 1, "title": 2, "other": 3}, {"other": 4}]}'])
        tree = loads(Tree, text)
        data = raw(tree)
        self.assertEqual(data, json.loads(text))
        for key in data:
            self.assertIs(key, names[key])
        for record in [data["leaf"]] + data["leaves"]:
            for key in record:
                self.assertIs(key, leaf_names[key])
        first, second = data["extra"]
        self.assertIs(list(first)[2], next(iter(second)))
        self.assertIs(raw(tree.leaves[1]), data["leaves"][1])

    def test_odd_schemas(self):
        """Field maps changed after a first load, odd keys in them, and a compound declaration without its model:
        the keys are only ever a shortcut, so every result stays json.loads's."""
        from quenlory import Field, ProxyField, model

        class Key(str):
            def __hash__(self):
                return hash(str(self))

            def __eq__(self, other):
                return str(self) == other

        Weird = model(type("Weird", (), {"a": Field(optional=True), "b": ProxyField(Leaf, optional=True),
                                         "c": ProxyField(Leaf, optional=True)}))
        del model_fields(Weird)["b"].nested_model
        text = '{"a": {"name": 1}, "c": {"name": "x"}, "\u00e9": 2}'
        for change in (None, lambda f: f.pop("c"), lambda f: f.__setitem__(Key("\u00e9"), f["a"]),
                       lambda f: f.__setitem__(1, f["a"]), lambda f: f.__setitem__("\ud800", f["a"])):
            if change:
                change(model_fields(Weird))
            self.assertIsNone(mismatch(text, Weird))
            self.assertIsNone(mismatch(text.replace('"\\u00e9": 2', '"b": {}'), Weird))


class _Lines:
    def __init__(self, lines):
        self.lines = lines

    def write(self, text):
        if text.strip():
            self.lines.append(text)


if __name__ == "__main__":
    unittest.main()
