"""Source rules of the extension that the compiler does not check."""
import glob
import os
import re
import unittest

SRC = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "src", "model_decorator")
NOT_A_FUNCTION = r"(?:namespace|struct|class|enum|using|template|typedef|return|extern|static_assert)\b"
# A definition may open with attributes: [[gnu::hot]], inline __attribute__((always_inline)).
ATTRIBUTES = r"(?:\[\[[^\]]*\]\]\s*|inline\s+|__attribute__\(\([^)]*\)\)\s*)*"
SIGNATURE_START = re.compile(r"^%s(?!%s)[A-Za-z_][\w:<>,*& ]*\b(\w+)\(" % (ATTRIBUTES, NOT_A_FUNCTION))


# Calls known to run no Python code and to free nothing, allowed in every window.
RUNS_NOTHING = {
    "if", "while", "for", "return", "sizeof", "static_cast", "reinterpret_cast", "__builtin_expect",
    "Py_BEGIN_CRITICAL_SECTION", "Py_END_CRITICAL_SECTION", "Py_TYPE", "Py_IS_TYPE", "PyErr_Occurred",
    "PyDict_Next", "PyDict_GET_SIZE", "PyDict_CheckExact", "PyUnicode_Check", "PyUnicode_CheckExact",
    "PyTuple_GET_ITEM", "PyTuple_GET_SIZE",
    "borrow", "steal",  # Ref: an incref, or a reference taken over
    "find", "as_met",  # KeyIndex probes, called only with an exact str
    "dict_get",  # in a window, only an exact str looked up among exact strs
    "keyword_in_place",  # an exact str compared with the exact strs of a call's keyword names
    "plain_value", "cast_runs_no_code", "str_keys_only", "lookups_run_no_code", "keeps_value",  # tests of types
    "owner_dict",  # the entry's owner, or the memo of offsets
    "dict_watched", "copies_plain_list",  # reads of plain state
    "known_absent_optional",  # a remembered offset, a slot's value and a remembered dict state, read
    # a copy of plain items under an exact str key of an unwatched dict, where allocating does not collect
    "replace_with_copy",
}


def sources(raw=False, comments=False):  # raw, comments: with the comments kept
    for path in sorted(glob.glob(os.path.join(SRC, "*.cpp")) + glob.glob(os.path.join(SRC, "*.hpp"))):
        with open(path) as f:
            code = f.read()
        if not (raw or comments):
            code = re.sub(r"//[^\n]*", "", code)  # comments may name anything
        yield os.path.basename(path), code.split("\n")


def functions(lines):
    """(name, first line number, body lines) of every function defined at column 0."""
    name = start = None
    body = []
    for number, line in enumerate(lines, 1):
        if name is None:
            match = SIGNATURE_START.match(line)
            if match and ";" not in line.split("{")[0]:
                name, start, body = match.group(1), number, []
        if name is not None:
            body.append(line)
            if ";" in line.split("{")[0] and not any("{" in b for b in body):
                name = None  # a declaration spread over several lines
                continue
            if re.match(r"^}\s*$", line) or (len(body) == 1 and line.rstrip().endswith("}")):
                yield name, start, body
                name = None



# The layers, lowest first: a file includes and calls only files of lower layers (and its own unit, the .hpp and
# .cpp of one name); module.cpp, the entry point, sits on top. docs/architecture.md gives the table and the graph.
LAYER = {"ref": 0, "compat": 1, "debug": 1, "interp": 2, "names": 2, "function": 3, "memo": 3, "mapping": 3,
         "casts": 4, "schema": 4, "storage": 4, "copying": 5, "compound_reads": 6, "fastpath": 7, "nested": 8,
         "accessors": 9, "instances": 9, "serialisation": 9, "probe": 9, "decorator": 10}
TOP = 11


def unit(file):
    return file.rsplit(".", 1)[0]


def layer_of(file):
    return TOP if file == "module.cpp" else LAYER[unit(file)]


STRING = re.compile(r'"(?:\\.|[^"\\\n])*"')
DECLARATION_START = re.compile(r"^%s(?!%s|static\b)[A-Za-z_][\w:<>,*& ]*\b(\w+)\(" % (ATTRIBUTES, NOT_A_FUNCTION))


def namespaces(lines):
    """Per line: the named namespace it is in ("" for quenlory itself, "fastpath", "compat", ...) and whether it is
    inside an anonymous one.  Namespaces open and close at column 0, each closed by `}  // namespace ...`."""
    stack, out = [], []
    for line in lines:
        match = re.match(r"^namespace\s*([\w:]*)\s*\{", line)
        if match:
            stack.append(match.group(1).split("::")[-1] if match.group(1) else None)
        elif re.match(r"^\}\s*//\s*namespace", line):
            stack.pop()
        named = [n for n in stack if n is not None]
        out.append(("" if not named or named[-1] == "quenlory" else named[-1], None in stack))
    if stack:
        raise AssertionError("namespaces left open: %s" % stack)
    return out


def program():
    """What every file defines, declares and refers to.

    Returns (defined, declared, local, code, variables): defined maps (namespace, name) of every non-static function and
    every extern to the file that defines it (functions defined at column 0 outside an anonymous namespace,
    variables declared `extern` in a header and defined at column 0); declared maps them to the header that
    declares them; local gives each file's names of its own (anonymous or static); code holds each file's lines
    without comments or string literals, with their namespaces; variables holds the keys of the externs."""
    defined, declared, local, code, externs = {}, {}, {}, {}, set()
    commented = dict(sources(comments=True))
    for file, lines in sources():
        lines = [STRING.sub('""', line) for line in lines]
        scope = namespaces(commented[file])
        code[file] = (lines, scope)
        local[file] = set()
        for name, start, body in functions(lines):
            ns, anonymous = scope[start - 1]
            if anonymous or lines[start - 1].startswith("static ") or ("::" + name + "(") in lines[start - 1]:
                local[file].add(name)
            else:
                defined[(ns, name)] = file
        if file.endswith(".hpp"):
            statement = ""
            for number, line in enumerate(lines):
                statement = statement + " " + line if statement else line
                if not re.match(DECLARATION_START, statement) and not statement.startswith("extern "):
                    statement = ""
                    continue
                if "{" in statement:
                    statement = ""
                elif ";" in statement:
                    ns, anonymous = scope[number]
                    match = (re.match(r"^extern\s+[\w:<>*&\s]+?\b(\w+)\s*;", statement)
                             or re.match(DECLARATION_START, statement))
                    if match and not anonymous:
                        declared[(ns, match.group(1))] = file
                        if statement.startswith("extern "):
                            externs.add((ns, match.group(1)))
                    statement = ""
    for file, (lines, scope) in code.items():
        for number, line in enumerate(lines):
            for ns, name in externs:
                if (scope[number][0] == ns and not line.startswith("extern ") and
                        re.match(r"^(?:const\s+|constexpr\s+)?[\w:<>]+[\s*&]+%s\s*(?:[=;{\[]|$)" % name, line)):
                    defined[(ns, name)] = file
    return defined, declared, local, code, externs


def references(defined, local, code):
    """(file, line number, referring text, defining file, is a call, key) for every use of another file's function or
    extern: unqualified names resolve in the file's own namespace first, then in quenlory's."""
    names = {name for _, name in defined}
    for file, (lines, scope) in code.items():
        for number, line in enumerate(lines, 1):
            for match in re.finditer(r"(?<![\w.>:])((?:\w+::)*)(\w+)\b(\s*(?:<[^;()]*>)?\s*\()?", line):
                qualifier, name, call = match.group(1).rstrip(":").split("::")[-1], match.group(2), match.group(3)
                if name not in names or (not qualifier and name in local[file]):
                    continue
                ns = scope[number - 1][0]
                if qualifier:
                    key = ("" if qualifier == "quenlory" else qualifier, name)
                else:
                    key = (ns, name) if (ns, name) in defined else ("", name)
                where = defined.get(key)
                if where and unit(where) != unit(file):
                    yield file, number, match.group(0).strip(), where, bool(call), key


def call_graph():
    """Each file and the files whose functions and externs it uses, highest layer first, as docs show it."""
    defined, _, local, code, _ = program()
    edges = {}
    for file, _, _, where, _, _ in references(defined, local, code):
        edges.setdefault(file, set()).add(where)
    order = sorted(edges, key=lambda f: (-layer_of(f), f))
    width = max(len(f) for f in order)
    return "\n".join("%s  %s" % (f.ljust(width), ", ".join(sorted(edges[f], key=lambda w: (-layer_of(w), w))))
                     for f in order)


def documented_graph():
    with open(os.path.join(os.path.dirname(os.path.dirname(SRC)), "docs", "architecture.md")) as f:
        text = f.read()
    match = re.search(r"<!-- call graph: tests/test_lint\.py --graph -->\n```text\n(.*?)\n```", text, re.S)
    return match.group(1) if match else None


@unittest.skipUnless(os.path.isdir(SRC), "the extension's sources are not beside these tests (an installed package)")
class Lint(unittest.TestCase):
    def offences(self, pattern, allowed=lambda file, function: False):
        found = []
        for file, lines in sources():
            owner = {}
            for name, start, body in functions(lines):
                for i in range(len(body)):
                    owner[start + i] = name
            for number, line in enumerate(lines, 1):
                if re.search(pattern, line) and not allowed(file, owner.get(number, "")):
                    found.append("%s:%d: %s" % (file, number, line.strip()))
        return found

    def test_no_lookup_that_swallows_errors(self):
        # PyDict_GetItem and PyDict_GetItemString hide errors of hashing, comparing
        # and making the key; PyDict_GetItemWithError reports them.
        self.assertEqual(self.offences(r"\bPyDict_GetItem(String)?\s*\("), [])

    def test_private_interpreter_names_stay_in_compat(self):
        # Backports (compat.hpp) and the capabilities over private state (interp.hpp) only.
        self.assertEqual(self.offences(r"\b_Py[A-Za-z]", lambda file, fn: file in ("compat.hpp", "interp.hpp")), [])

    def test_interpreter_versions_and_private_fields_stay_in_compat(self):
        pattern = (r"\b(PY_VERSION_HEX|Py_GIL_DISABLED|tp_version_tag|ma_version_tag|wr_object|"
                   r"Py_TPFLAGS_VALID_VERSION_TAG|ob_gc_bits|ob_ref_local|ob_ref_shared|ob_tid|d_member)\b")
        self.assertEqual(self.offences(pattern, lambda file, fn: file in ("compat.hpp", "interp.hpp")), [])

    def test_closures_are_read_through_their_views(self):
        self.assertEqual(self.offences(r"->c[01]\b", lambda file, fn: file == "function.cpp"), [])

    def test_includes_go_down_the_stack(self):
        # Each file includes only files of lower layers, and its own unit's header.
        wrong = []
        head = {file: "\n".join(lines[:next(i for i, l in enumerate(lines) if not l.startswith("//"))])
                for file, lines in sources(comments=True)}
        for file, lines in sources():
            for line in lines:
                match = re.match(r'#include "(\w+)\.hpp"', line)
                if match and match.group(1) != unit(file) and layer_of(match.group(1) + ".hpp") >= layer_of(file):
                    wrong.append("%s includes %s.hpp" % (file, match.group(1)))
            # and its head names the layer, as the table has it
            if "// Layer %s (docs/architecture.md)" % ("top" if file == "module.cpp" else LAYER[unit(file)]) not in head[file]:
                wrong.append("%s: its head does not name layer %s" % (file, layer_of(file)))
        self.assertEqual(wrong, [])

    def test_calls_go_down_the_stack(self):
        # Every use of another file's function or extern goes to a lower layer and, for a function, is a call: no
        # function of ours is handed on as a value, so no call can go up a layer unseen. A header declares only
        # what its own unit defines. The graph in docs/architecture.md is this one.
        defined, declared, local, code, variables = program()
        wrong = ["%s:%d: %s (%s) is a layer up" % (file, number, text, where)
                 for file, number, text, where, _, _ in references(defined, local, code)
                 if layer_of(where) >= layer_of(file)]
        wrong += ["%s:%d: %s (%s) is taken as a value" % (file, number, text, where)
                  for file, number, text, where, call, key in references(defined, local, code)
                  if not call and key not in variables]
        wrong += ["%s declares %s, defined in %s" % (header, name, defined.get(key, "no file"))
                  for key, header in declared.items() for name in [key[1]]
                  if unit(defined.get(key, "")) != unit(header)]
        self.assertEqual(wrong, [])
        self.assertGreater(len(defined), 100, "few definitions found: has the parser gone wrong?")
        self.assertEqual(documented_graph(), call_graph(), "regenerate it: python3 tests/test_lint.py --graph")

    def test_no_global_tables_of_function_pointers(self):
        # A global that holds our function pointers is const, filled where the lint sees every name it points to:
        # a table filled at run time would let a lower layer call a higher one unseen. (The interpreter's own
        # types, such as PyTypeObject and its slot types, are how it calls us.) The one table filled at run time is
        # memo.hpp's registry of the memo tables, whose entries are each table's own clear: memo calls only memo.
        own_registry = "memo.hpp: inline Registered g_registered[kMaxTables] = {};"
        kinds, wrong = set(), []
        for _, lines in sources():
            kinds |= {m.group(1) for line in lines for m in [re.match(r"^using (\w+) = [^;]*\(\s*\*\s*\)", line)] if m}
        for _, lines in sources():
            text = "\n".join(lines)
            for m in re.finditer(r"^struct (\w+)[^;{]*\{(.*?)^\};", text, re.S | re.M):
                if re.search(r"\(\s*\*\s*\w+\s*\)\s*\(|\b(%s)\b" % "|".join(sorted(kinds)), m.group(2)):
                    kinds.add(m.group(1))
        table = re.compile(r"^(?=\S)(?!using |typedef |extern |template |return )(?:static\s+|inline\s+)*(?:(%s)\b[\s*&]*\w+|"
                           r"[\w:<>*& ]+\(\s*\*\s*\w+\s*\)\s*\()" % "|".join(sorted(kinds)))
        for file, lines in sources():
            inside = set()
            for name, start, body in functions(lines):
                inside.update(range(start, start + len(body)))
            for number, line in enumerate(lines, 1):
                if (number not in inside and table.match(line) and "%s: %s" % (file, line) != own_registry and
                        not re.match(r"^(static\s+)?(inline\s+)?(const|constexpr)\b", line)):
                    wrong.append("%s:%d: %s" % (file, number, line.strip()))
        self.assertEqual(wrong, [])
        self.assertGreaterEqual(kinds, {"Convert", "Impl", "FuncSpec", "KnownCast"})

    def test_containers_are_whole_before_code_runs(self):
        # A list or tuple made with room for items is filled at once, by stores that run nothing.
        store = re.compile(r"^\s*((for \(.*\) )?Py(List|Tuple)_SET_ITEM\(.*\);|for \(.*\)|if \(!\w+\) return[^;]*;|Py(List|Tuple)_SET_ITEM\(.*\);|"
                           r"Ref \w+ = Ref::steal\(Py(List|Tuple)_New\(\w+\)\);|[{}]|)\s*$")
        wrong = []
        for file, lines in sources():
            for name, start, body in functions(lines):
                for i, line in enumerate(body):
                    if re.search(r"\bPy(List|Tuple)_New\((?!0\))", line):
                        last = max(j for j, b in enumerate(body) if "_SET_ITEM" in b)
                        wrong += ["%s:%d: %s" % (file, start + j, body[j].strip())
                                  for j in range(i + 1, last + 1) if not store.match(body[j])]
        self.assertEqual(wrong, [])

    def test_no_call_out_while_walking_a_dict_by_borrowed_items(self):
        # Inside a PyDict_Next step, only calls that run no Python code.
        harmless = RUNS_NOTHING | {"same_name", "PyErr_SetString", "raise_duplicate", "PySet_Contains"}
        wrong = []
        for file, lines in sources():
            for name, start, body in functions(lines):
                text = "\n".join(body)
                for match in re.finditer(r"\b(while|if) \(([^\n]*PyDict_Next[^\n]*)", text):
                    rest = text[match.end():]
                    if match.group(2).rstrip().endswith(";"):
                        step = ""  # the step is on the line itself
                    else:
                        step = rest[:rest.index("}")] if rest.lstrip().startswith("{") else rest.split(";")[0]
                    calls = set(re.findall(r"\b(\w+)\s*\(", match.group(2) + step)) - harmless
                    if calls:
                        wrong.append("%s: %s calls %s" % (file, name, sorted(calls)))
        self.assertEqual(wrong, [])

    def test_nothing_runs_between_a_stamp_and_its_store(self):
        # A memo entry is filled by type lookups and reads of plain data only.
        harmless = RUNS_NOTHING | {"stamp_of", "store", "our_function", "name_in_instance_dict", "lookup_offset",
                                   "lookup_declaration_offset", "DeclarationOffset",
                                   "closure_peek", "closure_peek_cast", "lasting_cast", "has", "Entered", "GetInfo",
                                   "SetInfo", "Offsets", "Stamp"}
        wrong = []
        for file, lines in sources():
            for name, start, body in functions(lines):
                text = "\n".join(body)
                for match in re.finditer(r"stamp_of\((?=.*\.store\()", text, re.S):
                    between = text[match.start():text.index(".store(", match.start())]
                    calls = set(re.findall(r"\b(\w+)\s*\(", between)) - harmless
                    if calls:
                        wrong.append("%s: %s calls %s" % (file, name, sorted(calls)))
        self.assertEqual(wrong, [])

    def test_windows_call_only_what_runs_nothing(self):
        # A stretch between "// window begins: NAME" and "// window ends: NAME" (in one function) uses
        # borrowed references or trusts a memo: every call in it is one known to run nothing.
        wrong, seen = [], set()
        for (file, raw), (_, lines) in zip(sources(raw=True), sources()):
            owner = {}
            for name, start, body in functions(lines):
                owner.update((start + i, name) for i in range(len(body)))
            opened = {}
            for number, line in enumerate(raw, 1):
                marker = re.search(r"//\s*window (begins|ends): (.+?)\s*$", line)
                if not marker:
                    continue
                what, window = marker.groups()
                where = "%s: %s: window %s" % (file, owner.get(number, "?"), window)
                if what == "begins":
                    if window in opened:
                        wrong.append(where + " begins twice")
                    opened[window] = number
                    continue
                begun = opened.pop(window, None)
                if begun is None or owner.get(begun) != owner.get(number):
                    wrong.append(where + " ends where it did not begin")
                    continue
                seen.add(window)
                stretch = "\n".join(lines[begun:number - 1])
                wrong += ["%s calls %s" % (where, call)
                          for call in sorted(set(re.findall(r"\b(\w+)\s*\(", stretch)) - RUNS_NOTHING)]
            wrong += ["%s: window %s does not end" % (file, window) for window in opened]
        self.assertEqual(wrong, [])
        self.assertLessEqual({"quiet", "quiet keywords", "noted values", "quiet write"}, seen)

    def test_references_are_released_by_owners_only(self):
        def allowed(file, function):
            return file in ("ref.hpp", "compat.hpp") or function.endswith(("_dealloc", "_clear"))
        self.assertEqual(self.offences(r"\bPy_X?DECREF\s*\(", allowed), [])

    def test_recursion_guards_are_paired(self):
        seen, unpaired = 0, []
        for file, lines in sources():
            for name, start, body in functions(lines):
                text = "\n".join(body)
                enters = [m.end() for m in re.finditer(r"\bPy_EnterRecursiveCall\s*\(", text)]
                leaves = [m.start() for m in re.finditer(r"\bPy_LeaveRecursiveCall\s*\(", text)]
                seen += len(enters)
                # one leave per enter, and no return between an enter's own line and its leave
                guarded = [text[text.index("\n", e):l] for e, l in zip(enters, leaves)]
                if len(enters) != len(leaves) or any(re.search(r"\breturn\b", g) for g in guarded):
                    unpaired.append("%s:%d: %s" % (file, start, name))
        self.assertEqual(unpaired, [])
        self.assertGreater(seen, 0, "no recursion guard found: has the parser gone wrong?")

    def test_parser_finds_the_functions(self):
        found = {name for _, lines in sources() for name, _, _ in functions(lines)}
        self.assertLessEqual({"func_dealloc", "func_clear", "schema_clear", "construct", "func_vectorcall"}, found)


if __name__ == "__main__":
    import sys
    if sys.argv[1:] == ["--graph"]:
        print(call_graph())
    else:
        unittest.main()
