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


def sources():
    for path in sorted(glob.glob(os.path.join(SRC, "*.cpp")) + glob.glob(os.path.join(SRC, "*.hpp"))):
        with open(path) as f:
            code = re.sub(r"//[^\n]*", "", f.read())  # comments may name anything
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
        # Each file includes only files of lower layers; the direct slots sit above every feature file.
        layer = {"ref": 0, "debug": 0.5, "compat": 1, "interp": 1.5, "module": 2, "memo": 3, "function": 3,
                 "mapping": 3, "casts": 4, "schema": 4, "storage": 4, "kinds": 5, "copying": 5, "nested": 5.5,
                 "accessors": 6, "instances": 6, "decorator": 6, "serialisation": 6, "fastpath": 7}
        wrong = []
        for file, lines in sources():
            stem = file.rsplit(".", 1)[0]
            mine = 8 if file == "module.cpp" else layer[stem]  # the entry point sits on top
            for line in lines:
                match = re.match(r'#include "(\w+)\.hpp"', line)
                if match and match.group(1) != stem and layer.get(match.group(1), 9) >= mine:
                    wrong.append("%s includes %s.hpp" % (file, match.group(1)))
        self.assertEqual(wrong, [])

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
        harmless = {"PyDict_Next", "PyUnicode_Check", "PyUnicode_CheckExact", "same_name", "PyErr_SetString",
                    "raise_duplicate", "borrow", "PySet_Contains", "if", "while", "for",
                    "find"}  # KeyIndex::find, called only with an exact str
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
        harmless = {"stamp_of", "store", "our_function", "name_in_instance_dict", "lookup_offset", "closure_peek",
                    "closure_peek_cast", "lasting_cast", "has", "static_cast", "if", "for", "while", "Entered",
                    "GetInfo", "SetInfo", "Offsets", "Stamp"}
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
