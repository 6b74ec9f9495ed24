"""The docs: every ```python block of README.md and docs/*.md runs, and docs/reference.md is what its generator writes.

Each page's blocks run in order in one namespace, a module of its own (so that its models pickle by name), with
standard output captured. A block that is deliberately a fragment has the line `<!-- no-run -->` right above its
opening fence. An error names the page and the line in it.
"""
import os
import re
import subprocess
import sys
import textwrap
import types
import unittest

import support

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DOCS = os.path.join(ROOT, "docs")
PAGES = ["README.md"] + sorted(os.path.join("docs", name) for name in os.listdir(DOCS) if name.endswith(".md"))
REFERENCE = os.path.join(ROOT, "tools", "reference.py")
FENCE = re.compile(r"^(\s*)```(\S*)\s*$")
NO_RUN = "<!-- no-run -->"


def python_blocks(path):
    """[(line of the block's first code line, code)] for the page's ```python blocks that are not marked no-run."""
    with open(os.path.join(ROOT, path), encoding="utf-8") as handle:
        lines = handle.read().split("\n")
    blocks, index = [], 0
    while index < len(lines):
        opening = FENCE.match(lines[index])
        if not opening:
            index += 1
            continue
        end = next(j for j in range(index + 1, len(lines)) if lines[j].strip() == "```")
        previous = next((lines[j].strip() for j in range(index - 1, -1, -1) if lines[j].strip()), "")
        if opening.group(2) == "python" and previous != NO_RUN:
            blocks.append((index + 2, textwrap.dedent("\n".join(lines[index + 1:end]))))
        index = end + 1
    return blocks


class DocsTest(unittest.TestCase):
    def test_every_python_block_runs(self):
        ran = 0
        for page in PAGES:
            blocks = python_blocks(page)
            if not blocks:
                continue
            with self.subTest(page=page):
                name = "quenlory_docs_" + re.sub(r"\W", "_", os.path.basename(page)[:-3])
                module = types.ModuleType(name)
                sys.modules[name] = module
                try:
                    for line, code in blocks:
                        # Blank lines in front, so that a traceback gives the page's own line numbers.
                        compiled = compile("\n" * (line - 1) + code, os.path.join(ROOT, page), "exec")
                        with support.captured_stdout():
                            exec(compiled, module.__dict__)
                        ran += 1
                finally:
                    del sys.modules[name]
        self.assertGreater(ran, 5)

    @unittest.skipUnless(os.path.exists(REFERENCE), "no tools/reference.py beside the tests (a wheel's test copy)")
    def test_reference_is_current(self):
        run = subprocess.run([sys.executable, REFERENCE, "--check",
                              os.path.join(DOCS, "reference.md")],
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True)
        self.assertEqual(run.returncode, 0, run.stdout)


if __name__ == "__main__":
    unittest.main()
