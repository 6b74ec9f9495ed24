"""What "the same outcome" means wherever two runs are held against each other: the fuzz (tests/fuzzgen.py), the
fast-path differential (tests/test_fastpaths.py) and the hostile tests (tests/test_hostile.py) picture values with
`show`, results and exceptions with `outcome`, normalise texts with `normal` and report with `first_difference`.
A call trace is a list of texts each harness appends to as it goes, compared as it is."""
import re

DEPTH = 8  # deeper than any value a harness builds, shallow enough for a dictionary that holds itself
WORDS = 300  # an exception's words kept: a message may repeat a whole self-referring data dictionary


def is_model(v):
    return any("_compounds" in vars(k) for k in type(v).__mro__)


def slot(v, name):
    """A slot read past any attribute hooks; "<unset>" when it holds nothing, None when there is no such slot."""
    for k in type(v).__mro__:
        if name in vars(k):
            try:
                return vars(k)[name].__get__(v, type(v))
            except AttributeError:
                return "<unset>"


def show(v, depth=0):
    """A comparable picture of a value that never calls back into it."""
    if depth > DEPTH:
        return "..."
    t, depth = type(v), depth + 1
    if issubclass(t, dict):
        return (t.__name__, [(show(k, depth), show(x, depth)) for k, x in dict.items(v)])
    if issubclass(t, (list, tuple)):
        return (t.__name__, [show(x, depth) for x in (list.__iter__(v) if issubclass(t, list) else
                                                      tuple.__iter__(v))])
    if is_model(v):
        return ("model", t.__name__, show(slot(v, "_data"), depth), show(slot(v, "_compounds"), depth))
    if t.__name__ == "ListValue":
        return ("ListValue", v._model.__name__, v._name, show(v._data, depth), show(v._items, depth))
    if t.__name__ == "MultiValue":
        return ("MultiValue", v._keys, show(v._data, depth))
    if t.__name__ in ("function", "native_function"):
        return ("function", v.__qualname__)
    return (t.__name__, repr(v))


def raised(exc, notes=False):
    """An exception as a record: its type and words, and with `notes` the notes added to it.

    The native module notes where in the data an error arose (3.11 on), which the reference does not: only the
    strict differential, whose reading notes the same, compares them. A RecursionError's words are the
    interpreter's, and differ between C and Python frames from 3.14."""
    words = "" if isinstance(exc, RecursionError) else str(exc)[:WORDS]
    return ("raise", type(exc).__name__, words) + (([str(n) for n in getattr(exc, "__notes__", ())],) if notes else ())


def outcome(fn, notes=False):
    try:
        return ("ok", show(fn()))
    except Exception as exc:
        return raised(exc, notes)


_NORMAL = [
    (re.compile(r" at 0x[0-9a-fA-F]+"), " at 0x?"),
    (re.compile(r"\b(quenlory\.model_decorator|baseline)\."), "M."),
    (re.compile(r"\bnative_function\b"), "function"),
    (re.compile(r"\"(maximum recursion depth exceeded)[^\"]*\""), r"'\1'"),  # a message with an apostrophe
    (re.compile(r"(maximum recursion depth exceeded)[^'\"]*"), r"\1"),
    # the wording of argument errors differs between native and Python functions
    (re.compile(r"TypeError', '[^']*(keywords must be strings|got multiple values for)[^']*'"), r"TypeError', '\1'"),
]


def normal(text):
    for pattern, repl in _NORMAL:
        text = pattern.sub(repl, text)
    return text


def without_repeats(calls):
    """A call log with each run of one repeated entry written once. How deep a runaway recursion goes before its
    RecursionError depends on the frames each implementation spends on a level, so such a step compares the
    calls it made, not how often."""
    return [c for i, c in enumerate(calls) if not i or c != calls[i - 1]]


def first_difference(mine, theirs, names=("native", "baseline")):
    """None when the two records are equal, else the first step where they part, with the three before it."""
    if mine == theirs:
        return None
    i = next((i for i, (a, b) in enumerate(zip(mine, theirs)) if a != b), min(len(mine), len(theirs)))
    context = "\n".join("  " + line for line in mine[max(0, i - 3):i])
    width = max(map(len, names)) + 1
    return "step %d\n%s\n  %s %s\n  %s %s" % (
        i, context, (names[0] + ":").ljust(width), mine[i] if i < len(mine) else "<end>",
        (names[1] + ":").ljust(width), theirs[i] if i < len(theirs) else "<end>")
