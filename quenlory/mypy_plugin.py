"""mypy plugin: the constructor of model classes.

Enable it in the mypy configuration with the path of this file (`plugins = quenlory/mypy_plugin.py` from a source
checkout), or with the module name `quenlory.mypy_plugin` where mypy runs on an interpreter that has quenlory
installed. Every class decorated with `quenlory.model` (bare or with metadata) then takes

    (self, data: dict[str, Any] = ..., /, *, <raw key>: Any = ..., ...)

with one optional keyword per raw key: each plain field and compound by its attribute name, each multi-field by its
component keys and its own name. Values are `Any` because each field's cast converts them at run time; a keyword
that no field claims is reported, as construction would refuse it. When the raw keys cannot all be read from the
class body (a declaration bound from elsewhere, components that are not a literal tuple or list of strings), the
keywords are `**kwargs: Any` instead. A class that defines its own `__init__` keeps it, as the model class does.

Without a dictionary, construction fails on every plain field or compound that has no keyword and no default,
factory or optional flag. Where the class has such keys, the constructor is an overload of two signatures:

    (self, data: dict[str, Any], /, *, <raw key>: Any = ..., ...)     the dictionary may hold any key
    (self, *, <required key>: Any, <other raw key>: Any = ..., ...)   no dictionary: those keys must be keywords

so `Point()` is an error. A key counts as required only when the body shows it for certain: a `Field`,
`ProxyField` or `ListField` call (not another subclass's, which may set metadata of its own) whose keywords and the
decorator's spread nothing (`**options`), neither of which gives "default" or "factory", and whose "optional" (its
own, else the decorator's) is absent or a literal False or 0, with no later statement rebinding the name. Multi-fields are never
required: their own name or all of their component keys will do.

This module is loaded by mypy only; it imports nothing from quenlory, so loading it needs no built extension.
"""
from typing import Callable, Dict, List, Optional, Set, Tuple, Type, Union

from mypy.nodes import (
    ARG_NAMED,
    ARG_NAMED_OPT,
    ARG_OPT,
    ARG_POS,
    ARG_STAR,
    ARG_STAR2,
    MDEF,
    Argument,
    AssignmentStmt,
    Block,
    CallExpr,
    ClassDef,
    ComplexExpr,
    Decorator,
    Expression,
    ExpressionStmt,
    FloatExpr,
    FuncDef,
    IntExpr,
    LambdaExpr,
    ListExpr,
    NameExpr,
    OverloadedFuncDef,
    PassStmt,
    RefExpr,
    StrExpr,
    SymbolTableNode,
    TupleExpr,
    TypeInfo,
    Var,
)
from mypy.plugin import ClassDefContext, Plugin
from mypy.types import AnyType, CallableType, NoneType, Overloaded, TypeOfAny
from mypy.typevars import fill_typevars

MODEL = "quenlory.model_decorator.model"
FIELD = "quenlory.fields.bases.Field"
PROXY_FIELD = "quenlory.fields.bases.ProxyField"
LIST_FIELD = "quenlory.fields.bases.ListField"
MULTI_FIELD = "quenlory.fields.bases.MultiField"
LITERALS = (StrExpr, IntExpr, FloatExpr, ComplexExpr, LambdaExpr)


def declaration_class(value: Expression) -> Optional[TypeInfo]:
    """The class a class-body value is made from, when it is a call of a class."""
    if isinstance(value, CallExpr) and isinstance(value.callee, RefExpr) and isinstance(value.callee.node, TypeInfo):
        return value.callee.node
    return None


def components(call: CallExpr) -> Optional[List[str]]:
    """The component keys of a MultiField call, when they are written out as strings."""
    for arg, name in zip(call.args, call.arg_names):
        if name in (None, "components"):
            if isinstance(arg, (TupleExpr, ListExpr)) and all(isinstance(item, StrExpr) for item in arg.items):
                return [item.value for item in arg.items]  # type: ignore[union-attr]
            return None
    return None


def keywords(call: Expression) -> Optional[Dict[str, Expression]]:
    """The keyword arguments of a call by name, or None when some are spread (`*args`, `**options`)."""
    if not isinstance(call, CallExpr):
        return {}  # a bare decorator
    if any(kind in (ARG_STAR, ARG_STAR2) for kind in call.arg_kinds):
        return None
    return {name: arg for name, arg in zip(call.arg_names, call.args) if name is not None}


def is_false(value: Expression) -> bool:
    return (isinstance(value, NameExpr) and value.fullname == "builtins.False") or (
        isinstance(value, IntExpr) and value.value == 0)


def required(call: CallExpr, info: TypeInfo, defaults: Optional[Dict[str, Expression]]) -> bool:
    """Whether construction without a dictionary certainly needs this declaration's keyword."""
    own = keywords(call)
    if info.fullname not in (FIELD, PROXY_FIELD, LIST_FIELD) or own is None or defaults is None:
        return False
    metadata = dict(defaults, **own)  # the declaration's own entries over the decorator's
    if "default" in metadata or "factory" in metadata:
        return False
    return "optional" not in metadata or is_false(metadata["optional"])


def raw_keys(ctx: ClassDefContext) -> Optional[Tuple[List[str], Set[str]]]:
    """Every keyword construction accepts, in class-body order, and those it needs when no dictionary is given;
    None when the body does not tell them all."""
    keys: List[str] = []
    needed: Set[str] = set()
    defaults = keywords(ctx.reason)
    for statement in ctx.cls.defs.body:
        if isinstance(statement, (FuncDef, Decorator, OverloadedFuncDef, ClassDef)):
            needed.discard(statement.name)
            continue
        if not isinstance(statement, AssignmentStmt):
            if not isinstance(statement, (PassStmt, ExpressionStmt)):
                needed.clear()  # an if, for, with or try may rebind any name above it
            continue
        names = [lvalue.name for lvalue in statement.lvalues if isinstance(lvalue, NameExpr)]
        needed.difference_update(names)
        value = statement.rvalue
        if isinstance(value, LITERALS) or value.__class__.__name__.endswith("ComprehensionExpr"):
            continue
        info = declaration_class(value)
        if info is None:
            return None  # a name or a helper's result: it may be a declaration made elsewhere
        if not info.has_base(FIELD):
            continue
        if info.has_base(MULTI_FIELD):
            named = components(value)  # type: ignore[arg-type]
            if named is None:
                return None
            keys.extend(named)
        elif required(value, info, defaults):  # type: ignore[arg-type]
            needed.update(names)
        keys.extend(names)
    return list(dict.fromkeys(keys)), needed


def inherited_keys(ctx: ClassDefContext) -> Optional[Tuple[List[str], Set[str]]]:
    """For `@model(inherit=True)`: the keywords of the model bases' constructors, the most basic first, and those
    they need; None when a base's constructor does not name them all."""
    keys: List[str] = []
    needed: Set[str] = set()
    for base in reversed(ctx.cls.info.mro[1:]):
        node = base.names.get("__init__")
        if node is None or not node.plugin_generated or node.node is None:
            continue
        typ = getattr(node.node, "type", None)
        items = typ.items if isinstance(typ, Overloaded) else [typ] if isinstance(typ, CallableType) else []
        if not items or ARG_STAR2 in items[-1].arg_kinds:
            return None
        for name, kind in zip(items[-1].arg_names, items[-1].arg_kinds):
            if name is not None and kind in (ARG_NAMED, ARG_NAMED_OPT):
                keys.append(name)
                if kind == ARG_NAMED:
                    needed.add(name)
                else:
                    needed.discard(name)
    return keys, needed


def constructor(ctx: ClassDefContext, args: List[Argument]) -> FuncDef:
    """An `__init__` taking these arguments after self (positional-only ones have no name, as in a stub)."""
    info = ctx.cls.info
    args = [Argument(Var("self"), fill_typevars(info), None, ARG_POS)] + args
    typ = CallableType([arg.type_annotation for arg in args], [arg.kind for arg in args],  # type: ignore[misc]
                       [None if arg.pos_only else arg.variable.name for arg in args], NoneType(),
                       ctx.api.named_type("builtins.function"), name="__init__ of " + info.name)
    func = FuncDef("__init__", args, Block([PassStmt()]))
    func.info, func.type, func._fullname, func.line = info, typ, info.fullname + ".__init__", info.line
    return func


def overload_item(func: FuncDef) -> Decorator:
    """A signature of an overloaded method, as an `@overload` declaration makes it."""
    func.is_overload = func.is_decorated = True
    var = Var(func.name, func.type)
    var.info, var._fullname, var.is_ready, var.line = func.info, func.fullname, True, func.line
    item = Decorator(func, [], var)
    item.is_overload, item.line = True, func.line
    return item


def add_constructor(ctx: ClassDefContext) -> bool:
    info = ctx.cls.info
    if "__init__" in info.names:
        return True
    anything = AnyType(TypeOfAny.explicit)
    # The dictionary may be left out but is never None: Model(None) raises.
    data_type = ctx.api.named_type("builtins.dict", [ctx.api.named_type("builtins.str"), anything])
    data = Argument(Var("data", data_type), data_type, None, ARG_OPT, pos_only=True)
    found = raw_keys(ctx)
    options = keywords(ctx.reason) or {}
    if found is not None and "inherit" in options and not is_false(options["inherit"]):
        inherited = inherited_keys(ctx)
        if inherited is None:
            found = None
        else:
            own_keys, own_needed = found
            found = (list(dict.fromkeys(inherited[0] + own_keys)),
                     (inherited[1] - set(own_keys)) | own_needed)
    if found is None:
        method: Union[FuncDef, OverloadedFuncDef] = constructor(ctx, [data, Argument(Var("kwargs", anything), anything, None, ARG_STAR2)])
    else:
        keys, needed = found
        needed.discard("self")

        def named(need: Set[str]) -> List[Argument]:
            return [Argument(Var(key, anything), anything, None, ARG_NAMED if key in need else ARG_NAMED_OPT)
                    for key in keys if key != "self"]

        method = constructor(ctx, [data] + named(set()))
        if needed:
            data = Argument(data.variable, data_type, None, ARG_POS, pos_only=True)
            items = [overload_item(constructor(ctx, [data] + named(set()))),
                     overload_item(constructor(ctx, named(needed)))]
            method = OverloadedFuncDef(items)  # type: ignore[arg-type]
            method.info, method._fullname = info, info.fullname + ".__init__"
            method.type = Overloaded([item.func.type for item in items])  # type: ignore[misc]
    info.names["__init__"] = SymbolTableNode(MDEF, method, plugin_generated=True)
    return True


class QuenloryPlugin(Plugin):
    def get_class_decorator_hook_2(self, fullname: str) -> Optional[Callable[[ClassDefContext], bool]]:
        return add_constructor if fullname == MODEL else None


def plugin(version: str) -> Type[Plugin]:
    return QuenloryPlugin
