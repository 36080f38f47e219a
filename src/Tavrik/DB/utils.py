"""Small helpers around database connections."""
from __future__ import annotations

import sqlite3
from types import TracebackType
from typing import Literal, Optional, Type

__all__ = ["SqliteContextManager"]


class SqliteContextManager:
    """
        sqlite3 链接上的一个事务: 进入时返回链接, 正常退出时提交, 出错时回滚 (错误照常抛出)。

        with SqliteContextManager(con) as c:
            c.execute(...)
    """

    __slots__ = ("con",)

    def __init__(self, con: sqlite3.Connection) -> None:
        self.con = con

    def __enter__(self) -> sqlite3.Connection:
        return self.con

    def __exit__(self, exc_type: Optional[Type[BaseException]], exc: Optional[BaseException],
                 tb: Optional[TracebackType]) -> Literal[False]:
        if exc_type is None:
            self.con.commit()
        else:
            self.con.rollback()
        return False
