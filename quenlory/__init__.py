"""quenlory: dict-backed data models.

Decorate a class with `model` and its field declarations (`Field`, `ProxyField`, `ListField`, `MultiField`) become
attributes over one raw-data dictionary per instance; `raw` gives that dictionary back and `dumps` its JSON text.

    from quenlory import Field, model, raw

    @model
    class Point:
        x = Field(int)
        y = Field(int, default=0)

    p = Point({"x": "3"})      # p.x == 3, raw(p) == {"x": 3, "y": 0}

The names here are re-exported from their modules of record: `quenlory.model_decorator` (the native core),
`quenlory.fields.bases` (the declarations, the values `ListValue` and `MultiValue` that list and multi-fields read
as, and `Model`, a base for type checkers without the mypy plugin), `quenlory._helpers` (`replace`, `asdict`,
`fields_of`) and `quenlory._options` (`FrozenModelError`, of models declared with the option frozen=True).
`python -m quenlory.typed_init MODULE` writes, for each model class of a module, the `if TYPE_CHECKING:` block of
`__init__` declarations that lets a checker without a plugin (pyright) check its keywords.
"""

__version__ = "0.1.0"

# The declarations first: the native module imports them while it initialises.
from .fields.bases import Field, ListField, ListValue, Model, MultiField, MultiValue, ProxyField  # noqa: E402
from .fields.rich import DateField, DateTimeField, DecimalField, EnumField, TimeField, UUIDField  # noqa: E402
try:
    from .model_decorator import dumps, model, model_fields, model_fields_flat, raw  # noqa: E402
    from ._loads import loads  # noqa: E402
except ModuleNotFoundError as error:
    if error.name != __name__ + ".model_decorator":
        raise


    def _not_built():
        """What to tell when the native core was not built for the running interpreter."""
        import glob
        import os
        import sys
        import sysconfig

        def tags(pattern):
            return ", ".join(sorted({os.path.basename(path).split(".")[1] for path in glob.glob(pattern)})) or "none"

        here = os.path.dirname(os.path.abspath(__file__))
        checkout = os.path.dirname(here)
        python = sys.executable
        text = ("quenlory's native core quenlory.model_decorator is not built for this interpreter, %s %s (%s), which "
                "loads model_decorator%s. Found beside the package: %s. "
                % (sys.implementation.name, sys.version.split()[0], python, sysconfig.get_config_var("EXT_SUFFIX"),
                   tags(os.path.join(here, "model_decorator.*.so"))))
        if os.path.exists(os.path.join(checkout, "CMakeLists.txt")):  # a source checkout
            return text + ("In build/: %s. Build it with `make build PYTHON=%s` and import it from the folder "
                           "`make -s pythonpath PYTHON=%s` prints (first on PYTHONPATH)."
                           % (tags(os.path.join(checkout, "build", "*", "site", "quenlory", "model_decorator.*.so")),
                              python, python))
        return text + "Build it with `%s -m pip install <quenlory's source folder or sdist>`." % python

    raise ImportError(_not_built()) from None

from ._helpers import ModelField, asdict, fields_of, replace  # noqa: E402

import typing  # noqa: E402

if typing.TYPE_CHECKING:  # type checkers do not run __getattr__ below
    from ._options import FrozenModelError  # noqa: F401
    from ._validate import ValidationError, validate  # noqa: F401


def __getattr__(name):
    # `validate` and `ValidationError` (quenlory._validate) are loaded on first use: below 3.11 they need the
    # exceptiongroup backport, which nothing else in the package does.
    if name in ("validate", "ValidationError"):
        from . import _validate

        return getattr(_validate, name)
    if name == "types":  # the checking casts
        import importlib

        return importlib.import_module(__name__ + ".types")
    # The error of frozen models comes with their options, which are imported when a model first asks for one.
    if name == "FrozenModelError":
        from ._options import FrozenModelError

        return FrozenModelError
    raise AttributeError("module %r has no attribute %r" % (__name__, name))


__all__ = ["model", "raw", "dumps", "model_fields", "model_fields_flat", "validate", "ValidationError", "loads",
           "replace", "asdict", "fields_of", "ModelField", "FrozenModelError", "Field", "ProxyField", "ListField",
           "MultiField", "DateField", "DateTimeField", "TimeField", "UUIDField", "DecimalField", "EnumField", "Model",
           "ListValue", "MultiValue"]
