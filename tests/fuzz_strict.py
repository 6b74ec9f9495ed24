"""The fuzz's strict differential: the checking casts of quenlory.types and strict models, played natively and
as tests/strict_reading.py reads the same values."""
import builtins
import enum
import random

import quenlory.model_decorator as native
import strict_reading
from fuzz_scenario import NAMES
from observe import outcome as observed, show
from quenlory.fields.bases import Field

Colour = enum.Enum("Colour", {"RED": "red", "TWO": 2})
Count = type("Count", (int,), {})
Text = type("Text", (str,), {})
STRICT_VALUES = [0, -3, 10 ** 30, True, 2.5, float("nan"), float("-inf"), "", "ab", "x1", None, [1, -2], [],
                 {"k": 1}, {"k": "a", 5: 2.5}, Count(4), Text("ab"), Colour.RED, Colour.TWO, "red", [[1], ["x"]],
                 {"k": [0, 9]}, (1,)]
TWINS = {"int": ("int", None, None), "float": ("float", None, None), "bool": ("bool",),
         "str": ("str", None, None, None), "list": ("list", None, None, None), "dict": ("dict", None, None, None)}


def draw_kind(rng, depth=0):
    name = rng.choice(("int", "float", "bool", "str", "list", "dict", "choice", "enum"))
    bound, length = (lambda: rng.choice((None, None, 0, 1, -2.5, 10 ** 20))), (lambda: rng.choice((None, 0, 1, 2)))
    if name in ("int", "float"):
        return (name, bound(), bound())
    if name == "str":
        return (name, length(), length(), rng.choice((None, None, "^a", "[0-9]")))
    if name in ("list", "dict"):
        return (name, draw_kind(rng, depth + 1) if depth < 2 and rng.random() < 0.7 else None, length(), length())
    if name == "choice":
        return (name, tuple(rng.sample(("red", 2, 1, "ab", 2.5, True, None, Colour.TWO), rng.randint(1, 3))))
    return ("bool",) if name == "bool" else ("enum", Colour)


def outcome(fn, kit=None):
    if kit:
        kit.armed = True
    try:
        return observed(fn, notes=True)
    finally:
        if kit:
            kit.armed = False


def strict_divergence(seed, kit=None):
    """A checking cast on random values, and a strict model on a random dict, natively and as read."""
    rng = random.Random(seed * 31 + 5)
    pick = (lambda: kit.value(copy_value(rng.choice(STRICT_VALUES)))) if kit else (
        lambda: copy_value(rng.choice(STRICT_VALUES)))
    kind = draw_kind(rng)
    cast, seen = strict_reading.make(kind), []
    for value in [pick() for _ in range(4)]:
        seen.append((kind, show(value), outcome(lambda: cast(value), kit),
                     outcome(lambda: strict_reading.read(kind, value))))
    ns, kinds, data, whole = {}, [], {}, rng.random() < 0.5
    for name in rng.sample(NAMES, rng.randint(1, 3)):
        kind, key = draw_kind(rng), rng.choice((name, name + "-raw"))
        plain = kind[0] in TWINS and rng.random() < 0.5
        options = {"key": key} if key != name else {}
        if plain:  # a built-in cast, strict for the field or the model, or opting out of a strict model
            if not whole or rng.random() < 0.3:
                options["strict"] = not whole or rng.random() < 0.5
            cast = vars(builtins)[kind[0]]
            kind = TWINS[kind[0]] if options.get("strict", whole) else ("plain", cast)
        ns[name] = Field(cast if plain else strict_reading.make(kind), **options)
        kinds.append((key, kind))
        data[key] = next((v for v in (pick() for _ in range(4)) if accepts(kind, v)), None)
    extra = rng.random() < 0.5
    if extra:
        data["zz"] = 1
    meta = dict({"strict": True} if whole else {}, **{"extra": "ignore"} if extra else {})
    cls = native.model(type("Strict", (), ns), **meta)

    def reading():
        for key, kind in kinds:
            try:
                data[key] = strict_reading.read(kind, data[key])
            except Exception as exc:
                strict_reading._note_path(exc, key)
                raise
        return data

    given = kit.dicts[dict](data) if kit else dict(data)
    seen.append((meta, kinds, show(data), outcome(lambda: native.raw(cls(given)), kit), outcome(reading)))
    if kit and kit.changed:
        return None
    for step, (*what, mine, theirs) in enumerate(seen):
        if mine != theirs:
            return "seed %d, checking step %d: %r\n  native:  %s\n  reading: %s" % (seed, step, what, mine, theirs)
    return None


def accepts(kind, value):
    try:
        return strict_reading.read(kind, copy_value(value)) is not None
    except Exception:
        return False


def copy_value(v):
    return [copy_value(x) for x in v] if type(v) is list else {k: copy_value(x) for k, x in v.items()} if type(
        v) is dict else v
