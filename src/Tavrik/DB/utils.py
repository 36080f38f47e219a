"""Small helpers around database connections."""

__all__ = ["SqliteContextManager"]


class SqliteContextManager:
    """
        sqlite3 链接上的一个事务: 进入时返回链接, 正常退出时提交, 出错时回滚 (错误照常抛出)。

        with SqliteContextManager(con) as c:
            c.execute(...)
    """

    __slots__ = ("con",)

    def __init__(self, con):
        self.con = con

    def __enter__(self):
        return self.con

    def __exit__(self, exc_type, exc, tb):
        if exc_type is None:
            self.con.commit()
        else:
            self.con.rollback()
        return False
