"""Tavrik: a fast ORM whose core is C++ extension modules."""

__version__ = "0.1.0"
