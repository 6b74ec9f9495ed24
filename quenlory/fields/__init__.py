"""Field declarations for model classes."""
from .bases import Field, MultiField, ProxyField

__all__ = ["Field", "ProxyField", "MultiField"]
