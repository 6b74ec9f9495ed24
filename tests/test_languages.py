"""examples/languages.py on a small copy of the iso-codes records, on a broken copy, and on the system's data."""
import importlib.util
import json
import os
import shutil
import tempfile
import unittest

import support

HERE = os.path.dirname(os.path.abspath(__file__))
FIXTURES = os.path.join(HERE, "fixtures", "iso")
SYSTEM = "/usr/share/iso-codes/json"


def load_example():
    path = os.path.join(os.path.dirname(HERE), "examples", "languages.py")
    spec = importlib.util.spec_from_file_location("languages_example", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


class LanguagesExampleTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.example = load_example()

    def run_on(self, folder):
        with support.captured_stdout() as out:
            status = self.example.main(["languages.py", folder])
        return status, out.getvalue().splitlines()

    def test_fixture(self):
        status, lines = self.run_on(FIXTURES)
        self.assertEqual(status, 0, lines)
        self.assertEqual(lines[0], "9 languages (7 individual living, 6 with a two-letter code), "
                                   "7 countries (6 with an official name)")
        self.assertEqual(lines[1], "longest country name: United Kingdom (GB/GBR/826)")
        self.assertEqual(lines[2], "locales: en_GB=English in United Kingdom, pt_BR=Portuguese in Brazil, "
                                   "zh_TW=Chinese in Taiwan")
        self.assertRegex(lines[3], r"^timings: load [\d.]+ ms, build [\d.]+ ms, read [\d.]+ ms, write and check")
        self.assertEqual(lines[-1], "19 records written back, 0 differ")

    def test_record_that_does_not_come_back_is_reported(self):
        with tempfile.TemporaryDirectory() as folder:
            for name in os.listdir(FIXTURES):
                shutil.copy(os.path.join(FIXTURES, name), folder)
            path = os.path.join(folder, "iso_639-3.json")
            with open(path, encoding="utf-8") as handle:
                data = json.load(handle)
            data["639-3"][0]["scope"] = 1  # Field(str) writes "1"
            with open(path, "w", encoding="utf-8") as handle:
                json.dump(data, handle)
            status, lines = self.run_on(folder)
        self.assertEqual(status, 1)
        self.assertIn('"scope": "1"', lines[-2])
        self.assertEqual(lines[-1], "19 records written back, 1 differ")

    @unittest.skipUnless(os.path.exists(os.path.join(SYSTEM, "iso_639-3.json")), "iso-codes is not installed")
    def test_system_data(self):
        status, lines = self.run_on(SYSTEM)
        with open(os.path.join(SYSTEM, "iso_639-3.json"), encoding="utf-8") as handle:
            count = len(json.load(handle)["639-3"])
        self.assertEqual(status, 0, lines)
        self.assertTrue(lines[0].startswith("%d languages" % count), lines[0])
        self.assertTrue(lines[-1].endswith(" 0 differ"), lines[-1])


if __name__ == "__main__":
    unittest.main()
