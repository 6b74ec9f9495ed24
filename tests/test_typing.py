"""Types and introspection: mypy and pyright over the examples and typed samples, help() and the package's names."""
import inspect
import json
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
from quenlory.typed_init import constructor_stub
from support import md
from test_functions import MODULE_LEVEL, made_functions, shown_signature

HERE = os.path.dirname(os.path.abspath(__file__))
EXAMPLES = os.path.join(os.path.dirname(HERE), "examples")
PACKAGE = os.path.dirname(os.path.abspath(quenlory.__file__))
ERROR = re.compile(r"^(?P<path>[^:]+):(?P<line>\d+): error: (?P<message>.*?)(  \[[a-z-]+\])?$")


def checker(name):
    """The pinned checker of tools/test_deps.sh --typing (QUENLORY_TYPING_BIN, set by make test), else PATH's."""
    folder = os.environ.get("QUENLORY_TYPING_BIN")
    found = os.path.join(folder, name) if folder else None
    return found if found and os.path.exists(found) else shutil.which(name)


MYPY, PYRIGHT = checker("mypy"), checker("pyright")
REQUIREMENTS = os.path.join(os.path.dirname(HERE), "tools", "requirements-typing.txt")


def pinned(name):
    """The version of `name` pinned in tools/requirements-typing.txt."""
    with open(REQUIREMENTS, encoding="utf-8") as handle:
        for line in handle:
            match = re.match(r"%s==([^\s;]+)" % re.escape(name), line.strip())
            if match:
                return match.group(1)
    raise AssertionError("%s is not pinned in %s" % (name, REQUIREMENTS))


def unpinned_reason(path, name):
    """Why the checker at `path` is not the one the samples are written for, or None when it is the pinned one.

    The planted mistakes and their messages are those of the pinned release; another release (a mypy on PATH, say)
    words or finds them differently, so it is skipped with its version rather than reported as a fault."""
    env = dict(os.environ, PYRIGHT_PYTHON_IGNORE_WARNINGS="1")
    env.pop("PYTHONPATH", None)
    try:
        shown = subprocess.run([path, "--version"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env,
                               universal_newlines=True, timeout=120).stdout
    except (OSError, subprocess.SubprocessError) as error:
        return "%s --version failed: %s" % (path, error)
    found = re.search(r"\b%s\s+(\S+)" % name, shown)
    want = pinned(name)
    if found and found.group(1) == want:
        return None
    return ("%s is %s, not the pinned %s of tools/requirements-typing.txt (make test installs that one: "
            "tools/test_deps.sh --typing)" % (path, found.group(1) if found else repr(shown.strip()), want))


def expected_errors(path, marker):
    """{line: text} for the lines of a sample marked `# <marker>: text` (up to the next ` # `)."""
    tag = "# %s: " % marker
    with open(path, encoding="utf-8") as handle:
        return {number: line.split(tag, 1)[1].split(" # ", 1)[0].strip()
                for number, line in enumerate(handle, 1) if tag in line}


class TypeCheckTest(unittest.TestCase):
    """Typical code passes; each marked mistake is reported on its line, and nothing else is."""

    files = ("typing_usage.py", "typing_mistakes.py")

    def run_checker(self, command, make_config):
        usage, mistakes = (os.path.join(HERE, name) for name in self.files)
        examples = sorted(os.path.join(EXAMPLES, name) for name in os.listdir(EXAMPLES) if name.endswith(".py"))
        self.assertTrue(os.path.exists(os.path.join(PACKAGE, "py.typed")), PACKAGE)
        with tempfile.TemporaryDirectory() as scratch:
            # The checker reads the package under test (source tree, build folder or installed copy) from a copy of
            # its Python files, stubs and plugin, so no other quenlory is seen.
            path = os.path.join(scratch, "path")
            shutil.copytree(PACKAGE, os.path.join(path, "quenlory"),
                            ignore=lambda folder, names: [n for n in names if n.endswith((".so", ".pyc"))])
            env = {key: value for key, value in os.environ.items()
                   if key not in ("PYTHONPATH", "LD_PRELOAD", "PYTHONMALLOC", "PYTHON_GIL")}  # the checker is not under test
            arguments = make_config(scratch, path, env)
            return subprocess.run(command + arguments + [usage, mistakes] + examples, cwd=scratch, env=env,
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True)

    def assert_reported(self, reported, marker, output):
        expected = expected_errors(os.path.join(HERE, "typing_mistakes.py"), marker)
        self.assertEqual(sorted(reported), sorted(expected), output)
        for number, text in expected.items():
            self.assertIn(text, reported[number], output)

    @unittest.skipIf(MYPY is None, "mypy is not installed (make test installs it: tools/test_deps.sh --typing)")
    def test_mypy_with_the_plugin(self):
        reason = unpinned_reason(MYPY, "mypy")
        if reason:
            self.skipTest(reason)

        def config(scratch, path, env):
            name = os.path.join(scratch, "mypy.ini")
            with open(name, "w") as handle:
                handle.write("[mypy]\npython_version = 3.9\nplugins = %s\ncache_dir = %s\n"
                             % (os.path.join(path, "quenlory", "mypy_plugin.py"), os.path.join(scratch, "cache")))
            env["MYPYPATH"] = path
            return ["--config-file", name, "--no-site-packages", "--show-error-codes"]

        run = self.run_checker([MYPY], config)
        reported = {}
        for line in run.stdout.splitlines():
            match = ERROR.match(line)
            if match:
                self.assertEqual(os.path.basename(match["path"]), "typing_mistakes.py", run.stdout)
                reported[int(match["line"])] = match["message"]
            else:
                self.assertRegex(line, r"^Found \d+ errors? in 1 file|: note: ", run.stdout)
        self.assert_reported(reported, "error", run.stdout)
        self.assertEqual(run.returncode, 1, run.stdout)

    @unittest.skipIf(PYRIGHT is None, "pyright is not installed (make test installs it: tools/test_deps.sh --typing)")
    def test_pyright_without_a_plugin(self):
        """pyright's default mode, and strict mode for typing_usage.py (its `# pyright: strict` comment)."""
        reason = unpinned_reason(PYRIGHT, "pyright")
        if reason:
            self.skipTest(reason)

        def config(scratch, path, env):
            with open(os.path.join(scratch, "pyrightconfig.json"), "w") as handle:
                json.dump({"pythonVersion": "3.9", "extraPaths": [path, EXAMPLES]}, handle)
            env["PYRIGHT_PYTHON_IGNORE_WARNINGS"] = "1"  # no look-up of the latest release
            # An environment without quenlory: the checker's own venv, or an interpreter given no site-packages.
            return ["--outputjson", "--pythonpath", os.path.join(os.path.dirname(PYRIGHT), "python")
                    if os.path.exists(os.path.join(os.path.dirname(PYRIGHT), "python")) else sys.executable]

        run = self.run_checker([PYRIGHT], config)
        try:
            report = json.loads(run.stdout)
        except ValueError:
            self.fail(run.stdout)
        reported = {}
        for diagnostic in report["generalDiagnostics"]:
            if diagnostic["severity"] != "error":
                continue
            self.assertEqual(os.path.basename(diagnostic["file"]), "typing_mistakes.py", run.stdout)
            line = diagnostic["range"]["start"]["line"] + 1
            self.assertNotIn(line, reported, run.stdout)
            reported[line] = diagnostic["message"]
        self.assert_reported(reported, "pyright error", run.stdout)
        self.assertGreaterEqual(report["summary"]["filesAnalyzed"], len(self.files) + 1, run.stdout)

    def test_typed_sample_runs(self):
        """The typed sample is real code: it runs as written, with the types it declares."""
        with support.captured_stdout():
            names = runpy.run_path(os.path.join(HERE, "typing_usage.py"))
        self.assertEqual((names["height"], names["city"], names["previous"], names["values"]), (42, "London", None,
                                                                                               [51.5, 0.3]))
        self.assertIs(names["data_again"], names["data"])
        # The constructor blocks the checkers read are the ones quenlory.typed_init writes for the classes.
        with open(os.path.join(HERE, "typing_usage.py"), encoding="utf-8") as handle:
            text = handle.read()
        for name in ("Sensor", "Tag"):
            self.assertIn(constructor_stub(names[name]), text)


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

    def test_signature_on_the_typed_base(self):
        """A model on the typed base shows its fields as construction's parameters; a plain one is left alone."""
        @md.model
        class Place(quenlory.Model):
            city = support.Field(str)
            since = quenlory.DateField(optional=True)

        @md.model
        class Plain:
            city = support.Field(str)

        shown = "(data={}, /, *, city: str, since: datetime.date = None)"
        self.assertEqual(str(inspect.signature(Place)), shown)
        self.assertIn("Place" + shown, pydoc.render_doc(Place, renderer=pydoc.plaintext))
        self.assertNotIn("__signature__", vars(Plain))

    def test_package_names(self):
        """`from quenlory import ...` gives the objects of the modules of record."""
        from quenlory import _helpers, _loads, _options, _validate, fields, model_decorator
        from quenlory.fields import rich
        rich_fields = tuple(rich.__all__)
        others = {"loads": _loads, "FrozenModelError": _options}
        others.update(dict.fromkeys(_validate.__all__, _validate))
        others.update(dict.fromkeys(("replace", "asdict", "fields_of", "ModelField"), _helpers))
        for name in quenlory.__all__:
            home = (rich if name in rich_fields else others[name] if name in others
                    else fields.bases if name.endswith(("Field", "Value")) or name == "Model" else model_decorator)
            self.assertIs(getattr(quenlory, name), getattr(home, name), name)
        declarations = ("Field", "ProxyField", "ListField", "MultiField") + rich_fields
        self.assertEqual(sorted(quenlory.__all__), sorted(MODULE_LEVEL + declarations + tuple(others) + (
            "Model", "ListValue", "MultiValue")))
        self.assertEqual(sorted(fields.__all__), sorted(declarations))
        self.assertRegex(quenlory.__version__, r"^\d+\.\d+\.\d+")


if __name__ == "__main__":
    unittest.main()
