"""Tavrik's errors: the package's own (``BaseOrmError`` and its subclasses in
``Strovy``, ``Grelt``, ``QueryError`` and ``ClusterError``) and one class per
kind of database failure (``DriverError``), which every driver's matching
exception is a subclass of."""
from Tavrik.Error.DriverError import (
    ConflictError,
    DatabaseError,
    DataError,
    Error,
    IntegrityError,
    InterfaceError,
    InternalError,
    NotSupportedError,
    OperationalError,
    ProgrammingError,
)

__all__ = [
    "Error",
    "InterfaceError",
    "DatabaseError",
    "DataError",
    "OperationalError",
    "IntegrityError",
    "InternalError",
    "ProgrammingError",
    "NotSupportedError",
    "ConflictError",
]
