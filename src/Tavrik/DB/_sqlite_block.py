"""The main connection of ``Sqlite3Connector``.

A ``sqlite3.Connection`` that refuses ``commit()`` and ``rollback()`` while a
``transaction()`` block of its connector is open: the block commits when it
ends and rolls back when it raises, and a commit or rollback in its middle
would split it without a word (the writes before it kept, or lost, whatever
the block then does).  The connector itself commits through the base class.
"""
import sqlite3
from typing import Any

__all__ = ["BlockConnection"]


def _refused(what: str) -> RuntimeError:
    return RuntimeError(
        "事务块内不能调用链接的%s(): 事务块正常结束时提交, 异常结束时回滚 (要提前结束请离开 with 块)" % what)


class BlockConnection(sqlite3.Connection):
    __slots__ = ("_tavrikBlock",)

    # sqlite3.connect's arguments, handed on as they came.
    def __init__(self, *args: Any, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        self._tavrikBlock = False

    def commit(self) -> None:
        if self._tavrikBlock:
            raise _refused("commit")
        super().commit()

    def rollback(self) -> None:
        if self._tavrikBlock:
            raise _refused("rollback")
        super().rollback()
