"""Field declarations for model classes."""
from .bases import Field, ListField, MultiField, ProxyField
from .rich import DateField, DateTimeField, DecimalField, EnumField, TimeField, UUIDField

__all__ = ["Field", "ProxyField", "ListField", "MultiField", "DateField", "DateTimeField", "TimeField", "UUIDField",
           "DecimalField", "EnumField"]
