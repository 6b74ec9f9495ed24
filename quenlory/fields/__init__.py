"""Field declarations for model classes."""
from .bases import Field, ListField, MultiField, ProxyField

__all__ = ["Field", "ProxyField", "ListField", "MultiField"]
