"""quenlory.loads against json.loads on generated JSON: random documents, broken ones and hostile ones.

    fuzz_json.py [--count N] [--seed S]

Each case is text (a str, or bytes in some encoding) decoded twice: `loads(model, text)` and `model(json.loads(text))`,
once with a pass-through model (the decoded value itself) and once with a nested model class. The two outcomes must
be the same: equal values of the same types with keys in the same order (floats by repr, so NaN and -0.0 count),
or the same exception type, message, position and notes. The cases of one seed are always the same; a mismatch
prints the seed and the case and ends the run with status 1. The last line is "N passed, N failed".
"""
import argparse
import json
import random
import sys

from quenlory import Field, ListField, ProxyField, loads, model, raw


@model
class Leaf:
    name = Field(str)
    size = Field(int, optional=True)


@model
class Tree:
    title = Field(str)
    leaf = ProxyField(Leaf, optional=True)
    leaves = ListField(Leaf, optional=True)
    extra = Field(optional=True)


KEYS = ["title", "leaf", "leaves", "extra", "name", "size", "a", "b", "\u00e9t\u00e9", "\U0001f600", ""]
# Characters that matter to a JSON reader, for strings and for the damage done to documents.
SPECIAL = ['"', "\\", "/", "\b", "\f", "\n", "\r", "\t", "\x00", "\x1f", "\x7f", "\u2028", "\ufeff", "\ud800",
           "\udfff", "\u00e9", "\U0001f600", "{", "}", "[", "]", ",", ":", " ", "-", "+", ".", "e", "E", "0", "1",
           "9", "n", "t", "f", "N", "I", "a", "//", "/*", "*/", "'", "\\u", "\\ud800", "\\udc00", "\\x", "\\u00"]
ESCAPES = ['\\"', "\\\\", "\\/", "\\b", "\\f", "\\n", "\\r", "\\t", "\\u0000", "\\u001f", "\\u00e9", "\\u20ac",
           "\\uD83D\\uDE00", "\\ud83d\\ude00", "\\uFFFF", "\\uffff"]
LONE = ["\\ud800", "\\udc00", "\\ud800\\u0041", "\\udc00\\ud800", "\\udbff\\"]
NUMBERS = ["0", "-0", "-0.0", "0.0", "1E5", "1e-5", "1e+5", "1.5E+300", "1e400", "-1e400", "1e-400", "2.5",
           "123456789012345678", "1234567890123456789", "-9223372036854775808", "18446744073709551616",
           "0.1000000000000000055511151231257827", "4.9e-324", "2.2250738585072011e-308", "1" * 40,
           "-" + "9" * 25, "1." + "0" * 30 + "1", "1e0000000000000000000001"]


def string(rng):
    parts = []
    for _ in range(rng.randrange(6)):
        roll = rng.random()
        if roll < 0.4:
            parts.append("".join(rng.choice("abcxyz _-") for _ in range(rng.randrange(12))))
        elif roll < 0.7:
            parts.append(rng.choice(LONE if rng.random() < 0.05 else ESCAPES))
        else:
            char = chr(rng.choice([rng.randrange(0x20, 0x7F), rng.randrange(0xA0, 0x800),
                                   rng.randrange(0x800, 0xD800), rng.randrange(0xE000, 0x10000),
                                   rng.randrange(0x10000, 0x110000)]))
            parts.append(json.dumps(char)[1:-1] if char in '"\\' else char)
    return '"' + "".join(parts) + '"'


def number(rng):
    roll = rng.random()
    if roll < 0.3:
        return rng.choice(NUMBERS)
    if roll < 0.6:
        return str(rng.randrange(-10 ** rng.randrange(1, 30), 10 ** rng.randrange(1, 30)))
    return repr(rng.uniform(-1, 1) * 10.0 ** rng.randrange(-300, 300))


def space(rng):
    return "".join(rng.choice(" \t\n\r") for _ in range(rng.randrange(3))) if rng.random() < 0.3 else ""


def document(rng, depth=0):
    roll = rng.random()
    if depth > 4 or roll < 0.35:
        return rng.choice([string, number, number, lambda r: rng.choice(["true", "false", "null"])])(rng)
    if roll < 0.65:
        items = [document(rng, depth + 1) for _ in range(rng.randrange(5))]
        return "[" + ",".join(space(rng) + item + space(rng) for item in items) + "]"
    members = []
    for _ in range(rng.randrange(6)):
        key = json.dumps(rng.choice(KEYS), ensure_ascii=rng.random() < 0.5) if rng.random() < 0.8 else string(rng)
        members.append(space(rng) + key + space(rng) + ":" + space(rng) + document(rng, depth + 1))
    return "{" + ",".join(members) + "}"


def tree(rng):
    """A document close to Tree's shape: most are valid instances, some fail to construct."""
    def leaf():
        members = ['"name": %s' % (string(rng) if rng.random() < 0.9 else number(rng))]
        if rng.random() < 0.5:
            members.append('"size": %s' % (number(rng) if rng.random() < 0.8 else string(rng)))
        if rng.random() < 0.05:
            members.append('"color": 1')
        return "{%s}" % ", ".join(rng.sample(members, len(members)))
    members = ['"title": %s' % string(rng)]
    if rng.random() < 0.5:
        members.append('"leaf": %s' % leaf())
    if rng.random() < 0.6:
        members.append('"leaves": [%s]' % ", ".join(leaf() for _ in range(rng.randrange(4))))
    if rng.random() < 0.3:
        members.append('"extra": %s' % document(rng, 2))
    if rng.random() < 0.1:
        members.append('"title": %s' % string(rng))  # a repeated key
    return "{%s}" % ", ".join(rng.sample(members, len(members)))


def damage(rng, text):
    for _ in range(rng.randrange(1, 3)):
        at = rng.randrange(len(text) + 1)
        roll = rng.random()
        if roll < 0.3:
            text = text[:at]
        elif roll < 0.6:
            text = text[:at] + rng.choice(SPECIAL) + text[at:]
        elif roll < 0.8:
            text = text[:at] + text[at + 1:]
        else:
            text = text[:at] + rng.choice(SPECIAL) + text[at + 1:]
    return text


def encode(rng, text):
    """The text as json.loads takes it: mostly itself or UTF-8, sometimes another encoding or broken bytes."""
    roll = rng.random()
    if roll < 0.5:
        return text
    try:
        if roll < 0.8:
            data = text.encode("utf-8", "surrogatepass")
            return bytearray(data) if rng.random() < 0.2 else data
        if roll < 0.9:
            return text.encode(rng.choice(["utf-8-sig", "utf-16", "utf-16-le", "utf-16-be", "utf-32", "utf-32-le",
                                           "utf-32-be"]), "surrogatepass")
    except UnicodeEncodeError:
        return text
    data = bytearray(text.encode("utf-8", "surrogatepass"))
    if data:
        data[rng.randrange(len(data))] = rng.choice([0x80, 0xC0, 0xED, 0xF5, 0xFF, 0x00, 0xEF])
    return bytes(data)


def case(rng):
    roll = rng.random()
    text = tree(rng) if roll < 0.4 else document(rng)
    if rng.random() < 0.35:
        text = damage(rng, text)
    return encode(rng, space(rng) + text + space(rng))


def same(a, b):
    if type(a) is not type(b):
        return False
    if type(a) is dict:
        return len(a) == len(b) and all(same(x, y) and same(a[x], b[y]) for x, y in zip(a, b))
    if type(a) is list:
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if type(a) is float:
        return repr(a) == repr(b)
    return a == b


def outcome(call):
    try:
        value = call()
    except Exception as error:  # noqa: BLE001 - the exception is the outcome compared
        return ("error", type(error), str(error), getattr(error, "pos", None), getattr(error, "__notes__", None))
    return ("value", raw(value) if isinstance(value, Tree) else value)


def mismatch(text, cls):
    """None when loads and json.loads agree on text with the model cls, else what each gave."""
    ours = outcome(lambda: loads(cls, text))
    theirs = outcome(lambda: cls(json.loads(text)))
    if ours[0] == theirs[0] == "value" and same(ours[1], theirs[1]):
        return None
    if ours[0] == theirs[0] == "error" and ours[1:] == theirs[1:]:
        return None
    return ours, theirs


def run(count, seed, out=sys.stdout):
    rng = random.Random(seed)
    failed = 0
    for index in range(count):
        text = case(rng)
        for cls in ((lambda data: data), Tree):
            found = mismatch(text, cls)
            if found:
                failed += 1
                print("seed %d case %d: %r\n  loads:      %r\n  json.loads: %r" % ((seed, index, text) + found),
                      file=out)
    return count * 2 - failed, failed


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--count", type=int, default=2000)
    parser.add_argument("--seed", type=int, default=None)
    args = parser.parse_args()
    seed = random.randrange(2 ** 32) if args.seed is None else args.seed
    print("seed %d, %d cases" % (seed, args.count), file=sys.stderr)
    passed, failed = run(args.count, seed)
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
