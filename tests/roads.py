"""One suite over the four roads a program can take: the synchronous
executor on SQLite and on MySQL (a pooled connector), the asynchronous one
on aiosqlite and on MySQL.  Tables
are made from the test's own DDL (real constraints), calls run as a user's
program runs them (async: in a task of its own, one transaction, committed
when it ends), and the database is read back through a separate connection."""
import asyncio
import sqlite3

import pytest

from tests.asynctools import settle
from tests.conftest import _mysql_reset, require_mysql


class Road:
    def __init__(self, kind, path, settings):
        self.kind = kind
        self.path = path
        self.settings = settings
        self.connector = None
        # The synchronous executor: its calls return their results.
        self.sync = kind in ("sqlite", "mysql-sync")

    @property
    def mysql(self):
        return self.kind.startswith("mysql")

    def ddl(self, sqlite_script, mysql_statements):
        if self.mysql:
            con = self._mysql()
            try:
                with con.cursor() as cur:
                    for stmt in mysql_statements:
                        cur.execute(stmt)
                con.commit()
            finally:
                con.close()
        else:
            con = sqlite3.connect(self.path)
            try:
                con.executescript(sqlite_script)
                con.commit()
            finally:
                con.close()

    def _mysql(self):
        import pymysql

        return pymysql.connect(**{k: v for k, v in self.settings.items() if k != "autocommit"})

    def rows(self, sql):
        """The rows of `sql`, read through a connection of its own."""
        if self.mysql:
            con = self._mysql()
            try:
                with con.cursor() as cur:
                    cur.execute(sql)
                    return [tuple(r) for r in cur.fetchall()]
            finally:
                con.close()
        con = sqlite3.connect(self.path)
        try:
            return [tuple(r) for r in con.execute(sql).fetchall()]
        finally:
            con.close()

    async def call(self, fn):
        """Runs `fn()` (an executor call) and returns (result, error)."""
        if self.sync:
            try:
                return fn(), None
            except Exception as e:  # noqa: BLE001  (the error is the result)
                return None, e

        async def program():
            if self.kind == "aiosqlite":
                con = await self.connector._taskCon()
                await con.execute("PRAGMA foreign_keys = ON")
            try:
                return await fn(), None
            except Exception as e:  # noqa: BLE001
                return None, e

        out = await asyncio.get_running_loop().create_task(program())
        await settle(self.connector)
        return out

    async def open(self):
        from Tavrik.DB.Connector import AioMysqlConnector, AioSqliteConnector, MysqlConnector, Sqlite3Connector
        from Tavrik.DB.DB import DB

        if self.kind == "sqlite":
            self.connector = Sqlite3Connector(self.path, showLog=False)
            self.connector.execute("PRAGMA foreign_keys = ON")
        elif self.kind == "mysql-sync":
            self.connector = MysqlConnector(**self.settings)
        elif self.kind == "aiosqlite":
            self.connector = AioSqliteConnector(asyncio.get_running_loop(), path=self.path, showLog=False)
        else:
            self.connector = AioMysqlConnector(asyncio.get_running_loop(), **self.settings)
            while not self.connector.isReady:
                await asyncio.sleep(0.01)
        DB.create(self.connector)

    async def close(self):
        from Tavrik.DB.DB import DB

        DB.drop()
        res = self.connector.close()
        if asyncio.iscoroutine(res):
            await res


ROADS = ["sqlite", "aiosqlite", "mysql", "mysql-sync"]


@pytest.fixture(params=ROADS)
async def road(request, db_path):
    """A Road with no connector yet: the test makes its tables, then
    `await road.open()` installs the connector; it is closed afterwards."""
    settings = None
    if request.param.startswith("mysql"):
        settings = require_mysql()
        await _mysql_reset(settings)
    r = Road(request.param, db_path, settings)
    try:
        yield r
    finally:
        if r.connector is not None:
            await r.close()


def depth_of(node):
    """How many levels of children were loaded below `node`."""
    depth = 0
    while "children" in node:
        node = node["children"][0]
        depth += 1
    return depth
