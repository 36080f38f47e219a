"""One class for each kind of database failure, whichever driver raised it.

``except Tavrik.Error.IntegrityError`` catches a duplicate key from sqlite3,
aiosqlite, pymysql, aiomysql, asyncpg and psycopg alike.  The drivers'
exceptions still reach the caller unchanged (the same object, of the
driver's own class): each driver's class is given the matching kind as an
additional base when the driver is adopted, because ``except`` reads a
class's real bases (a class registered as virtual subclass would pass
``isinstance`` and still escape an ``except``).

sqlite3 (and so aiosqlite) and pymysql (and so aiomysql) are adopted when
this module loads; asyncpg and psycopg when a PostgreSQL connector imports
them.  ``adopt()`` adopts every known driver imported by then.
"""
from __future__ import annotations

import importlib
import sys
from typing import Dict, List, Optional, Tuple, Type

# Adopted below: Tavrik always speaks SQLite, and the MySQL roads' errors are
# pymysql's (imported by name: the driver ships no type information).
importlib.import_module("sqlite3")
importlib.import_module("pymysql.err")

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
    "adopt",
]


class Error(Exception):
    """A failure reported by a database driver."""

    # No slot of its own (nor have the kinds below), so a driver's class
    # keeps its layout when it takes a kind as a base: a layout change would
    # be refused.
    __slots__ = ()


class InterfaceError(Error):
    """The driver's own interface failed (not the database)."""

    __slots__ = ()


class DatabaseError(Error):
    """The database refused or failed a statement."""

    __slots__ = ()


class DataError(DatabaseError):
    """A value the column cannot hold (out of range, malformed)."""

    __slots__ = ()


class OperationalError(DatabaseError):
    """The database could not carry the work out: a lost connection, a lock
    wait that timed out, a database that is locked or shutting down."""

    __slots__ = ()


class IntegrityError(DatabaseError):
    """A constraint refused the row: a duplicate key, a NOT NULL column, a
    foreign key."""

    __slots__ = ()


class InternalError(DatabaseError):
    """The database reports an inconsistency of its own."""

    __slots__ = ()


class ProgrammingError(DatabaseError):
    """The statement is wrong: a syntax error, a missing table or column."""

    __slots__ = ()


class NotSupportedError(DatabaseError):
    """The database does not support what the statement asks."""

    __slots__ = ()


class ConflictError(OperationalError):
    """The transaction lost to a concurrent one (a serialisation failure or a
    deadlock) and was rolled back as a whole: running it again is safe
    (``connector.runTransaction(fn, retries=N)`` does so)."""

    __slots__ = ()


_KINDS: Dict[str, Type[Error]] = {
    c.__name__: c
    for c in (Error, InterfaceError, DatabaseError, DataError, OperationalError, IntegrityError, InternalError,
              ProgrammingError, NotSupportedError)
}

# The DB-API classes of each driver module, by the same names as the kinds.
_DBAPI_MODULES = ("sqlite3", "pymysql.err", "psycopg")

# PostgreSQL's SQLSTATE classes (the first two characters) and the kind each
# means, for asyncpg, whose classes follow SQLSTATEs rather than DB-API.
_SQLSTATE_CLASSES: Dict[str, Type[Error]] = {
    "08": OperationalError,
    "0A": NotSupportedError,
    "20": ProgrammingError,
    "21": ProgrammingError,
    "22": DataError,
    "23": IntegrityError,
    "24": InternalError,
    "25": InternalError,
    "26": InternalError,
    "27": InternalError,
    "28": OperationalError,
    "2B": InternalError,
    "2D": InternalError,
    "2F": InternalError,
    "34": ProgrammingError,
    "38": InternalError,
    "39": InternalError,
    "3B": InternalError,
    "3D": ProgrammingError,
    "3F": ProgrammingError,
    "40": OperationalError,
    "42": ProgrammingError,
    "44": ProgrammingError,
    "53": OperationalError,
    "54": OperationalError,
    "55": OperationalError,
    "57": OperationalError,
    "58": OperationalError,
    "F0": InternalError,
    "HV": OperationalError,
    "P0": ProgrammingError,
    "XX": InternalError,
}

# Serialisation failure and deadlock: the transaction may simply run again.
_CONFLICT_STATES = ("40001", "40P01")


def _graft(cls: type, kind: type) -> None:
    if issubclass(cls, kind):
        return
    try:
        # After the driver's own bases: its methods are found first.
        setattr(cls, "__bases__", cls.__bases__ + (kind,))
    except TypeError:
        # A class deriving from Exception itself: the kind, an Exception,
        # must come before it.
        setattr(cls, "__bases__", (kind,) + cls.__bases__)


def _dbapi(module_name: str) -> List[Tuple[type, type]]:
    module = sys.modules.get(module_name)
    if module is None:
        return []
    pairs: List[Tuple[type, type]] = []
    for name, kind in _KINDS.items():
        cls = getattr(module, name, None)
        if isinstance(cls, type) and issubclass(cls, BaseException):
            pairs.append((cls, kind))
    return pairs


def _psycopg_conflicts() -> List[Tuple[type, type]]:
    errors = sys.modules.get("psycopg.errors")
    if errors is None:
        return []
    return [(errors.lookup(state), ConflictError) for state in _CONFLICT_STATES]


def _asyncpg() -> List[Tuple[type, type]]:
    exceptions = sys.modules.get("asyncpg.exceptions")
    if exceptions is None:
        return []
    pairs: List[Tuple[type, type]] = []
    base = getattr(exceptions, "PostgresError", None)
    interface = getattr(exceptions, "InterfaceError", None)
    if isinstance(interface, type):
        pairs.append((interface, InterfaceError))
    if isinstance(base, type):
        pairs.append((base, DatabaseError))
    for name in getattr(exceptions, "__all__", ()):
        cls = getattr(exceptions, name, None)
        state: Optional[str] = getattr(cls, "sqlstate", None)
        if not isinstance(cls, type) or not isinstance(state, str) or not issubclass(cls, BaseException):
            continue
        kind = ConflictError if state in _CONFLICT_STATES else _SQLSTATE_CLASSES.get(state[:2])
        if kind is not None:
            pairs.append((cls, kind))
    return pairs


def adopt() -> None:
    """Gives every imported driver's exception classes their kinds; a
    driver imported later is adopted when Tavrik opens a connection on it."""
    pairs = [p for name in _DBAPI_MODULES for p in _dbapi(name)]
    pairs += _psycopg_conflicts()
    pairs += _asyncpg()
    # Bases first: a subclass then inherits its kind instead of adding it
    # (a conflict class still gets its narrower kind after its base's).
    pairs.sort(key=lambda p: len(p[0].__mro__))
    for cls, kind in pairs:
        _graft(cls, kind)


adopt()
