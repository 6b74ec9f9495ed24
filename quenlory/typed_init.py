"""A typed constructor for a model class, for type checkers without a plugin (pyright, and so Pylance).

A checker without a plugin cannot read a model's keywords from its class body, so the class states them itself,
in a block that only checkers see:

    @model
    class Station(Model):
        name = Field(str)
        elevation = Field(int, default=0)

        if TYPE_CHECKING:
            @overload
            def __init__(self, data: Dict[str, Any], /, *, name: str = ..., elevation: int = ...) -> None: ...
            @overload
            def __init__(self, *, name: str, elevation: int = ...) -> None: ...

The block never runs, so the model class is the one it always was. A checker then reports a misspelt keyword, a
missing required one (without a dictionary) and a value of the wrong type, and takes `Station(data)` and
`Station(data, **keywords)` as they are. `constructor_stub(Station)` writes the block from the model's fields, and

    python -m quenlory.typed_init mypackage.stations

prints it for every model class of a module, with the imports it needs. Write it again when the fields change.

Each keyword takes what its field reads as: `Field(int)` an int (a value that the cast would convert, like "41",
is reported: state the type the caller should give), an optional field that or None, `ProxyField(Address)` an
Address or its dictionary, `ListField(Item)` an iterable of Items or dictionaries, a rich field its object or its
text, a multi-field (by its own name or by its component keys) anything. A field whose cast is not a class (a
function, a checking cast of quenlory.types) takes what the function's return annotation says, else anything.
Keywords without a default, factory or optional flag are required where no dictionary is given.
"""
import sys
import typing
from keyword import iskeyword

from .fields.bases import ListField, MultiField, ProxyField, _implementation, _is_model

__all__ = ["constructor_stub", "keywords"]

_CONTAINERS = {list: "List[Any]", dict: "Dict[Any, Any]", set: "Set[Any]"}


def _home(cls):
    """The module and qualified name a class was declared with (a model class's own say the native module)."""
    from ._pickling import _key_of

    key = _key_of(cls) if _is_model(cls) else None
    if key is not None:
        return key.module, key.qualname
    return cls.__module__, cls.__qualname__


def _name(cls, home, modules):
    """How the block names a class: a builtin or a class of the model's own module by its name, others in full
    (their modules are added to the set `modules`); a class made inside a function, which has no name there, is
    `Any`."""
    module, qualname = _home(cls)
    if "<locals>" in qualname:
        return "Any"
    if module in ("builtins", home):
        return qualname
    modules.add(module)
    return "%s.%s" % (module, qualname)


def _annotation(hint, home, modules):
    """A return annotation as the block writes it, or None when it cannot be written out."""
    if hint is type(None):
        return "None"
    if isinstance(hint, type) and typing.get_origin(hint) is None:
        return _CONTAINERS.get(hint) or _name(hint, home, modules)
    return None


def _accepts(decl, home, modules):
    """The type of the keyword of the plain field or compound `decl`."""
    from .fields import rich

    if isinstance(decl, rich.EnumField):
        kinds = [_name(decl.enum_class, home, modules)] + [kind.__name__ for kind in decl._value_types]
        return "Union[%s]" % ", ".join(kinds)
    if isinstance(decl, rich.RichField):
        return "Union[%s, str]" % _name(decl.expected, home, modules)
    if isinstance(decl, ListField):
        return "Iterable[Union[%s, Dict[str, Any]]]" % _name(decl.nested_model, home, modules)
    if isinstance(decl, ProxyField):
        return "Union[%s, Dict[str, Any]]" % _name(decl.nested_model, home, modules)
    cast = decl._given_cast
    if cast is None:
        return "Any"
    if isinstance(cast, type):
        return _annotation(cast, home, modules) or "Any"
    try:
        hint = typing.get_type_hints(cast).get("return")
    except Exception:  # a callable whose annotations cannot be read takes anything
        hint = None
    return (_annotation(hint, home, modules) if hint is not None else None) or "Any"


def _nested(decl):
    """Whether `decl` declares one nested model (a ProxyField that is neither a list field nor a rich field)."""
    from .fields import rich

    return isinstance(decl, ProxyField) and not isinstance(decl, (ListField, rich.RichField))


def keywords(model_class, modules=None):
    """The keywords construction takes, in field order, each as (name, type text, required); the modules that the
    type texts name are added to the set `modules`, if given."""
    if not _is_model(model_class):
        raise TypeError("keywords() needs a model class (a class decorated with @model), got %r" % (model_class,))
    home = _home(model_class)[0]
    modules = set() if modules is None else modules
    found = []
    for name, decl in _implementation(model_class).model_fields(model_class).items():
        if isinstance(decl, MultiField):
            found.append((name, "Any", False))
            # a component key that is no identifier (or is a keyword) can only come through the dictionary
            found.extend((key, "Any", False) for key in decl.components()
                         if isinstance(key, str) and key.isidentifier() and not iskeyword(key))
            continue
        metadata = decl.metadata
        optional = metadata.get("optional", False)
        kind = _accepts(decl, home, modules)
        # None is taken for an optional field, but not by a nested model's keyword (its cast needs a dict or an
        # instance, as a write does).
        if optional and kind != "Any" and not _nested(decl):
            kind = "Optional[%s]" % kind
        found.append((name, kind, not (optional or "default" in metadata or "factory" in metadata)))
    return list({name: (name, kind, needed) for name, kind, needed in found}.values())


def _declaration(head, parameters, indent):
    """One `def __init__(...)` line, or one parameter a line where that is too long."""
    line = "%sdef __init__(%s) -> None: ..." % (indent, ", ".join(head + parameters))
    if len(line) <= 110:
        return [line]
    inner = indent + "    "
    return (["%sdef __init__(" % indent, inner + ", ".join(head) + ","]
            + [inner + parameter + "," for parameter in parameters] + [indent + ") -> None: ..."])


def _free(name, taken):
    """`name`, or with underscores after it until no keyword has it."""
    while name in taken:
        name += "_"
    return name


def constructor_stub(model_class, indent="    ", modules=None):
    """The `if TYPE_CHECKING:` block of `__init__` declarations that types the constructor of `model_class`,
    indented for a class body by `indent`; the modules it names are added to the set `modules`, if given."""
    found = keywords(model_class, modules)
    taken = {name for name, _, _ in found}
    me, data = _free("self", taken), _free("data", taken)  # a field may be named so
    inner = indent + "    "
    lines = [indent + "if TYPE_CHECKING:"]
    every = ["%s: %s = ..." % (name, kind) for name, kind, _ in found]
    star = ["/", "*"] if found else ["/"]
    if not any(needed for _, _, needed in found):
        return "\n".join(lines + _declaration([me, data + ": Dict[str, Any] = ..."] + star, every, inner)) + "\n"
    bare = ["%s: %s%s" % (name, kind, "" if needed else " = ...")
            for name, kind, needed in found]
    lines.append(inner + "@overload")
    lines += _declaration([me, data + ": Dict[str, Any]"] + star, every, inner)
    lines.append(inner + "@overload")
    lines += _declaration([me, "*"], bare, inner)
    lines.append(inner + "def __init__(%s, *%s: Any, **%s: Any) -> None: ..."
                 % (me, _free("args", taken), _free("keywords", taken)))
    return "\n".join(lines) + "\n"


IMPORTS = "from typing import TYPE_CHECKING, Any, Dict, Iterable, List, Optional, Set, Union, overload\n"


def main(argv=None):
    import importlib

    argv = sys.argv[1:] if argv is None else argv
    if len(argv) != 1:
        print("usage: python -m quenlory.typed_init MODULE", file=sys.stderr)
        return 2
    module = importlib.import_module(argv[0])
    modules = set()
    blocks = ["\n# class %s:\n%s" % (name, constructor_stub(value, modules=modules))
              for name, value in vars(module).items() if _is_model(value) and _home(value)[0] == module.__name__]
    sys.stdout.write(IMPORTS + "".join("import %s\n" % name for name in sorted(modules)) + "".join(blocks))
    return 0


if __name__ == "__main__":
    sys.exit(main())
