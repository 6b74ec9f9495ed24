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

This module is loaded by mypy only; it imports nothing from quenlory, so loading it needs no built extension.
"""
from typing import Callable, List, Optional, Type

from mypy.nodes import (
    ARG_NAMED_OPT,
    ARG_OPT,
    ARG_STAR2,
    Argument,
    AssignmentStmt,
    CallExpr,
    ComplexExpr,
    Expression,
    FloatExpr,
    IntExpr,
    LambdaExpr,
    ListExpr,
    NameExpr,
    RefExpr,
    StrExpr,
    TupleExpr,
    TypeInfo,
    Var,
)
from mypy.plugin import ClassDefContext, Plugin
from mypy.plugins.common import add_method_to_class
from mypy.types import AnyType, NoneType, TypeOfAny

MODEL = "quenlory.model_decorator.model"
FIELD = "quenlory.fields.bases.Field"
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


def raw_keys(ctx: ClassDefContext) -> Optional[List[str]]:
    """Every keyword construction accepts, in class-body order, or None when the body does not tell them all."""
    keys: List[str] = []
    for statement in ctx.cls.defs.body:
        if not isinstance(statement, AssignmentStmt):
            continue
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
        keys.extend(lvalue.name for lvalue in statement.lvalues if isinstance(lvalue, NameExpr))
    return list(dict.fromkeys(keys))


def add_constructor(ctx: ClassDefContext) -> bool:
    if "__init__" in ctx.cls.info.names:
        return True
    anything = AnyType(TypeOfAny.explicit)
    # The dictionary may be left out but is never None: Model(None) raises.
    data_type = ctx.api.named_type("builtins.dict", [ctx.api.named_type("builtins.str"), anything])
    args = [Argument(Var("data", data_type), data_type, None, ARG_OPT, pos_only=True)]
    keys = raw_keys(ctx)
    if keys is None:
        args.append(Argument(Var("kwargs", anything), anything, None, ARG_STAR2))
    else:
        args.extend(Argument(Var(key, anything), anything, None, ARG_NAMED_OPT) for key in keys if key != "self")
    add_method_to_class(ctx.api, ctx.cls, "__init__", args, NoneType())
    return True


class QuenloryPlugin(Plugin):
    def get_class_decorator_hook_2(self, fullname: str) -> Optional[Callable[[ClassDefContext], bool]]:
        return add_constructor if fullname == MODEL else None


def plugin(version: str) -> Type[Plugin]:
    return QuenloryPlugin
