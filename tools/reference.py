"""Write docs/reference.md from the package's stubs and docstrings, so that the reference is never edited by hand.

    tools/reference.py [--write FILE | --check FILE]

Sources: the docstring of quenlory/__init__.py; each function of quenlory/model_decorator.pyi with the comment
above it; each class that quenlory/fields/bases.pyi exports, with the class docstring of quenlory/fields/bases.py and
its stub as written. Nothing is imported, so no build is needed. Without an option the page is printed; --write
writes it, --check exits 1 when FILE is not what would be written (make docs writes it; tests/test_docs.py checks).
"""
import argparse
import ast
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PACKAGE = os.path.join(ROOT, "quenlory")


def read(*parts):
    with open(os.path.join(ROOT, *parts), encoding="utf-8") as handle:
        return handle.read()


def comment_above(lines, number):
    """The block of `#` comment lines right above line `number` (1-based), without the marks."""
    found = []
    index = number - 2
    while index >= 0 and lines[index].startswith("#"):
        found.append(lines[index][1:].strip())
        index -= 1
    return " ".join(reversed(found))


def source_of(lines, node):
    """The stub's own text of a definition, decorators included."""
    first = min([node.lineno] + [d.lineno for d in getattr(node, "decorator_list", [])])
    return "\n".join(lines[first - 1:node.end_lineno])


def functions(text):
    """[(name, [stub text of each definition], comment)] for the module-level functions of a stub, in order."""
    lines = text.splitlines()
    out = []
    for node in ast.parse(text).body:
        if not isinstance(node, ast.FunctionDef):
            continue
        first = min([node.lineno] + [d.lineno for d in node.decorator_list])
        comment = comment_above(lines, first)
        if out and out[-1][0] == node.name:
            out[-1][1].append(source_of(lines, node))
        else:
            out.append((node.name, [source_of(lines, node)], comment))
    return out


def classes(stub, runtime):
    """[(name, stub text, runtime docstring)] for the classes of the stub's __all__, in the stub's order."""
    tree = ast.parse(stub)
    exported = next(ast.literal_eval(node.value) for node in tree.body
                    if isinstance(node, ast.Assign) and getattr(node.targets[0], "id", None) == "__all__")
    docs = {node.name: ast.get_docstring(node) or "" for node in ast.parse(runtime).body
            if isinstance(node, ast.ClassDef)}
    lines = stub.splitlines()
    return [(node.name, source_of(lines, node), docs.get(node.name, ""))
            for node in tree.body if isinstance(node, ast.ClassDef) and node.name in exported]


def page():
    package_doc = ast.get_docstring(ast.parse(read("quenlory", "__init__.py")))
    stub = read("quenlory", "model_decorator.pyi")
    parts = [
        "# Reference",
        "",
        "<!-- Written by tools/reference.py from quenlory/model_decorator.pyi, quenlory/fields/bases.pyi and the",
        "     docstrings of quenlory/fields/bases.py: edit those and run `make docs`, not this page. -->",
        "",
        "The names a program uses, as the package's type stubs give them, with the words of their docstrings and stub",
        "comments. The [guide](guide.md) shows them at work.",
        "",
        "## quenlory",
        "",
        package_doc.split("\n\n")[0].replace("\n", " "),
        "",
        "`from quenlory import ...` gives the same objects as their modules of record below.",
        "",
        "## quenlory.model_decorator",
        "",
        "The native core. The head of its stub says how model classes are typed:",
        "",
    ]
    head = []
    for line in stub.splitlines():
        if not line.startswith("#"):
            break
        head.append(line[2:] if line.startswith("# ") else line[1:])
    parts += ["> " + line if line else ">" for line in head[2:]]
    parts.append("")
    for name, definitions, comment in functions(stub):
        parts += ["### `%s`" % name, "", "```pyi"] + definitions + ["```", ""]
        if comment:
            parts += [comment, ""]
    parts += ["## quenlory.fields.bases", ""]
    bases_stub = read("quenlory", "fields", "bases.pyi")
    runtime = read("quenlory", "fields", "bases.py")
    parts += [ast.get_docstring(ast.parse(runtime)).replace("\n", " ").replace("  ", " "), ""]
    for name, text, doc in classes(bases_stub, runtime):
        parts += ["### `%s`" % name, ""]
        if doc:
            parts += [doc, ""]
        parts += ["```pyi", text, "```", ""]
    return "\n".join(parts).rstrip("\n") + "\n"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    group = parser.add_mutually_exclusive_group()
    group.add_argument("--write", metavar="FILE")
    group.add_argument("--check", metavar="FILE")
    args = parser.parse_args(argv)
    text = page()
    if args.write:
        with open(args.write, "w", encoding="utf-8") as handle:
            handle.write(text)
    elif args.check:
        with open(args.check, encoding="utf-8") as handle:
            if handle.read() != text:
                print("%s is out of date: run `make docs` (tools/reference.py --write %s)" % (args.check, args.check),
                      file=sys.stderr)
                return 1
    else:
        sys.stdout.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
