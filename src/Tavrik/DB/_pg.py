"""What both PostgreSQL drivers (asyncpg, psycopg) share: the current
schema's table list, the rule by which a refused INSERT falls back to
save()'s UPDATE, and the error of a COMMIT the server turned into a
rollback."""
from __future__ import annotations

from typing import Any, Dict, Optional, cast

from Tavrik.DB import _async_tx as _tx
from Tavrik.Error.DriverError import OperationalError

__all__ = ["TABLES_SQL", "aborted_commit", "key_taken"]

TABLES_SQL = "SELECT tablename FROM pg_tables WHERE schemaname = current_schema()"

# A driver's error class -> the same class marked KeyTaken.
_marked: Dict[type, type] = {}


def key_taken(e: BaseException) -> Optional[BaseException]:
    """A unique violation of the table's primary key (the constraint
    PostgreSQL names <table>_pkey) as the same error marked KeyTaken; None
    for any other error, which save() does not fall back on.  asyncpg
    carries the table and constraint on the error, psycopg on its `diag`."""
    if getattr(e, "sqlstate", None) != "23505":
        return None
    where = getattr(e, "diag", e)
    table = getattr(where, "table_name", None)
    if not table or getattr(where, "constraint_name", None) != (table + "_pkey")[:63]:
        return None
    cls = type(e)
    marked: Any = _marked.get(cls)
    if marked is None:
        marked = _marked[cls] = type(cls.__name__, (cls, _tx.KeyTaken), {"__module__": __name__})
    new = cast(BaseException, marked.__new__(marked))
    if hasattr(e, "__dict__"):
        new.__dict__.update(e.__dict__)
    new.args = e.args
    return new


def aborted_commit() -> OperationalError:
    """A COMMIT of a transaction an earlier failed statement aborted: the
    server answers it with a rollback and no error, which would report
    every write of the transaction as kept."""
    return OperationalError("PostgreSQL事务已被先前失败的语句中止, COMMIT改为回滚: 事务中的写入均未保存")
