"""quenlory: dict-backed data models.

A class decorated with `quenlory.model_decorator.model` keeps its raw data in
one dictionary and exposes each declared field (see `quenlory.fields`) as an
attribute over it.
"""

__version__ = "0.1.0"

__all__ = []
