"""Types and introspection: mypy over the examples and typed samples, help() and the package's names."""
import os
import pydoc
import re
import runpy
import shutil
import subprocess
import sys
import tempfile
import unittest

import quenlory
import support
from support import md
from test_functions import MODULE_LEVEL, made_functions, shown_signature

HERE = os.path.dirname(os.path.abspath(__file__))
EXAMPLES = os.path.join(os.path.dirname(HERE), "examples")
PACKAGE = os.path.dirname(os.path.abspath(quenlory.__file__))
MYPY = shutil.which("mypy")
ERROR = re.compile(r"^(?P<path>[^:]+):(?P<line>\d+): error: (?P<message>.*?)(  \[[a-z-]+\])?$")


def expected_errors(path):
    """{line: text} for the lines of a sample marked `# error: text`."""
    with open(path, encoding="utf-8") as handle:
        return {number: line.split("# error: ", 1)[1].strip()
                for number, line in enumerate(handle, 1) if "# error: " in line}


@unittest.skipIf(MYPY is None, "mypy is not installed (Debian: apt-get install mypy)")
class MypyTest(unittest.TestCase):
    def test_examples_and_samples(self):
        """Typical code passes; each marked mistake is reported on its line, and nothing else is."""
        usage, mistakes = (os.path.join(HERE, name) for name in ("typing_usage.py", "typing_mistakes.py"))
        examples = sorted(os.path.join(EXAMPLES, name) for name in os.listdir(EXAMPLES) if name.endswith(".py"))
        self.assertTrue(os.path.exists(os.path.join(PACKAGE, "py.typed")), PACKAGE)
        with tempfile.TemporaryDirectory() as scratch:
            # mypy reads the package under test (source tree, build folder or installed copy) as found on
            # MYPYPATH: only its Python files, stubs and plugin are copied, so no other quenlory is seen.
            shutil.copytree(PACKAGE, os.path.join(scratch, "path", "quenlory"),
                            ignore=lambda folder, names: [n for n in names if n.endswith((".so", ".pyc"))])
            config = os.path.join(scratch, "mypy.ini")
            with open(config, "w") as handle:
                handle.write("[mypy]\npython_version = 3.9\nplugins = %s\ncache_dir = %s\n"
                             % (os.path.join(scratch, "path", "quenlory", "mypy_plugin.py"),
                                os.path.join(scratch, "cache")))
            env = {key: value for key, value in os.environ.items()
                   if key not in ("PYTHONPATH", "LD_PRELOAD", "PYTHONMALLOC")}  # mypy is not under test
            env["MYPYPATH"] = os.path.join(scratch, "path")
            run = subprocess.run([MYPY, "--config-file", config, "--no-site-packages", "--show-error-codes",
                                  usage, mistakes] + examples, cwd=scratch, env=env,
                                 stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True)
        reported = {}
        for line in run.stdout.splitlines():
            match = ERROR.match(line)
            if match:
                self.assertEqual(os.path.basename(match["path"]), "typing_mistakes.py", run.stdout)
                reported[int(match["line"])] = match["message"]
            else:
                self.assertRegex(line, r"^Found \d+ errors? in 1 file|: note: ", run.stdout)
        expected = expected_errors(mistakes)
        self.assertEqual(sorted(reported), sorted(expected), run.stdout)
        for number, text in expected.items():
            self.assertIn(text, reported[number])
        self.assertEqual(run.returncode, 1, run.stdout)

    def test_typed_sample_runs(self):
        """The typed sample is real code: it runs as written, with the types it declares."""
        with support.captured_stdout():
            names = runpy.run_path(os.path.join(HERE, "typing_usage.py"))
        self.assertEqual((names["height"], names["city"], names["previous"], names["values"]), (42, "London", None,
                                                                                               [51.5, 0.3]))
        self.assertIs(names["data_again"], names["data"])


class IntrospectionTest(unittest.TestCase):
    def test_help_shows_parameters(self):
        """help() of every function the module has or a model makes shows its name and real parameters."""
        functions = [(getattr(md, name), name) for name in MODULE_LEVEL]
        functions += [(fn, qualname.rpartition(".")[2]) for fn, qualname, _ in made_functions()]
        for fn, name in functions:
            text = re.sub(r": ('[^']*'|\w+)(?=[,)])", "", pydoc.render_doc(fn, renderer=pydoc.plaintext))
            self.assertIn("\n%s%s\n" % (name, shown_signature(fn)), text)
        module = pydoc.render_doc(md, renderer=pydoc.plaintext)
        for name in MODULE_LEVEL:
            self.assertIn(name + shown_signature(getattr(md, name)), re.sub(r": ('[^']*'|\w+)(?=[,)])", "", module))

    def test_help_of_a_model_class(self):
        @md.model
        class Station:
            """A weather station."""
            name = support.Field(str)

            def describe(self, style="short"):
                return self.name

        text = pydoc.render_doc(Station, renderer=pydoc.plaintext)
        for shown in ("A weather station.", "__init__(self, *args, **kwargs)", "__eq__(self, other)",
                      "describe(self, style='short')"):
            self.assertIn(shown, text)
        self.assertRegex(text, r"Data descriptors defined here:(\s+\|)+\s+name\n")

    def test_package_names(self):
        """`from quenlory import ...` gives the objects of the modules of record."""
        from quenlory import fields, model_decorator
        for name in quenlory.__all__:
            home = fields.bases if name.endswith("Field") else model_decorator
            self.assertIs(getattr(quenlory, name), getattr(home, name), name)
        self.assertEqual(sorted(quenlory.__all__), sorted(MODULE_LEVEL + ("Field", "ProxyField", "MultiField")))
        self.assertRegex(quenlory.__version__, r"^\d+\.\d+\.\d+")


if __name__ == "__main__":
    unittest.main()
