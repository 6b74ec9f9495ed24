"""quenlory: dict-backed data models.

Decorate a class with `model` and its field declarations (`Field`, `ProxyField`, `MultiField`) become attributes
over one raw-data dictionary per instance; `raw` gives that dictionary back and `dumps` its JSON text.

    from quenlory import Field, model, raw

    @model
    class Point:
        x = Field(int)
        y = Field(int, default=0)

    p = Point({"x": "3"})      # p.x == 3, raw(p) == {"x": 3, "y": 0}

The names here are re-exported from their modules of record: `quenlory.model_decorator` (the native core) and
`quenlory.fields.bases` (the declarations).
"""

__version__ = "0.1.0"

# The declarations first: the native module imports them while it initialises.
from .fields.bases import Field, MultiField, ProxyField  # noqa: E402
from .model_decorator import dumps, model, model_fields, model_fields_flat, raw  # noqa: E402

__all__ = ["model", "raw", "dumps", "model_fields", "model_fields_flat", "Field", "ProxyField", "MultiField"]
