"""Whole programs that use the package and then simply end: the interpreter
must finalise cleanly (exit code 0, nothing printed to stderr) with model
classes, rows, executors, pages and the database handle still alive, and
what the program wrote must be in the database afterwards."""
import os
import sqlite3
import subprocess
import sys

import pytest

from tests.conftest import require_mysql

PROLOGUE = """
import asyncio, importlib, sys
for name in %(modules)r:
    importlib.import_module(name)

from Tavrik.DB.Connector import (AioMysqlConnector, AioSqliteConnector, AsyncpgConnector, MysqlConnector,
                                 PsycopgConnector, Sqlite3Connector)
from Tavrik.DB.DB import DB
from Tavrik.Ext import generate_table
from Tavrik.Ext.Olvane import Olvane
from Tavrik.Model.Korvid import Korvid
from Tavrik.Model.ModelProperty import AutoIncrement, ForeignKey, IntProperty, StrProperty


class ExitBook(Korvid):
    tableName = "exit_book"
    id = IntProperty(primaryKey=True, default=AutoIncrement)
    owner_id = IntProperty()
    title = StrProperty(100)


class ExitOwner(Korvid):
    tableName = "exit_owner"
    id = IntProperty(primaryKey=True, default=AutoIncrement)
    name = StrProperty(64)
    books = ForeignKey.oneToMany(ExitBook, targetBindCol=ExitBook.owner_id)
"""

# Everything stays referenced from module globals when the program ends.
SYNC = """
DB.create(%(connector)s)
generate_table()
ex = ExitOwner.getExecutor()
owner = ex.save(ExitOwner(name="ann"))
ExitBook.getExecutor().save(ExitBook(owner_id=owner.id, title="first"))
rows = ex.findAllBy(ExitOwner.name == "ann")
ex.findListForeignKey(rows)
assert [b.title for b in rows[0].books] == ["first"], rows
page = Olvane(ExitOwner, 1, 10).filter().execute()
assert page.total == 1, page
print("done")
"""

# A task is a transaction, committed when the task has ended: the program
# waits for the commit (settle) before it reads or ends.
ASYNC = """
from tests.asynctools import settle


async def main():
    loop = asyncio.get_running_loop()
    connector = %(connector)s
    while not connector.isReady:
        await asyncio.sleep(0.01)
    DB.create(connector)
    await loop.create_task(generate_table())
    await settle(connector)

    async def write():
        owner = await ExitOwner.getExecutor().save(ExitOwner(name="ann"))
        await ExitBook.getExecutor().save(ExitBook(owner_id=owner.id, title="first"))

    await loop.create_task(write())
    await settle(connector)

    async def read():
        ex = ExitOwner.getExecutor()
        rows = await ex.findAllBy(ExitOwner.name == "ann")
        await ex.findListForeignKey(rows)
        page = await Olvane(ExitOwner, 1, 10).filter().execute()
        return rows, page

    rows, page = await loop.create_task(read())
    await settle(connector)
    assert [b.title for b in rows[0].books] == ["first"], rows
    assert page.total == 1, page
    await connector.close()
    return rows, page

rows, page = asyncio.run(main())
print("done")
"""

MODULES = [
    "Tavrik.Model.Korvid",
    "Tavrik.Model.Vantrel",
    "Tavrik.Model.ModelProperty",
    "Tavrik.DB.Connector",
    "Tavrik.DB.DB",
    "Tavrik.DB.Generator",
    "Tavrik.DB.utils",
    "Tavrik.Ext",
    "Tavrik.Ext.Olvane",
    "Tavrik.Ext.Decorators",
    "Tavrik.Ext.Dict",
    "Tavrik.Error.Strovy",
    "Tavrik.Error.Grelt",
    "Tavrik.Error.QueryError",
]


def run_program(body, connector):
    values = dict(modules=MODULES, connector=connector)
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    proc = subprocess.run(
        [sys.executable, "-c", (PROLOGUE + body) % values],
        capture_output=True,
        text=True,
        env=env,
        timeout=60,
    )
    assert proc.returncode == 0, (proc.returncode, proc.stderr)
    assert proc.stdout.strip() == "done"
    assert proc.stderr == ""


CHECK = "SELECT o.name, b.title FROM exit_owner o JOIN exit_book b ON b.owner_id = o.id ORDER BY o.id, b.id"


@pytest.mark.parametrize("road", ["sqlite", "aiosqlite", "mysql", "mysql-sync", "postgresql", "postgresql-sync"])
def test_program_exits_cleanly(tmp_path, road, request):
    """Each road's program ends without closing anything (the asynchronous
    ones inside asyncio.run) and what it wrote is stored."""
    body = SYNC if road in ("sqlite", "mysql-sync", "postgresql-sync") else ASYNC
    if road.startswith("postgresql"):
        import psycopg

        dsn = request.getfixturevalue("pg_dsn")
        make = "PsycopgConnector(%r)" % dsn if road.endswith("sync") else "AsyncpgConnector(loop, %r)" % dsn
        run_program(body, make)
        with psycopg.connect(dsn) as con:
            rows = con.execute(CHECK).fetchall()
    elif road.startswith("mysql"):
        import pymysql

        settings = require_mysql()
        con = pymysql.connect(**settings)
        try:
            with con.cursor() as cur:
                for table in ("exit_book", "exit_owner"):
                    cur.execute("DROP TABLE IF EXISTS `%s`" % table)
            con.commit()
            kw = {k: v for k, v in settings.items() if k != "autocommit"}
            run_program(body, "MysqlConnector(**%r)" % kw if road.endswith("sync") else "AioMysqlConnector(loop, **%r)" % settings)
            with con.cursor() as cur:
                cur.execute(CHECK)
                rows = cur.fetchall()
        finally:
            con.close()
    else:
        path = str(tmp_path / "exit.db")
        make = "Sqlite3Connector(%r, showLog=False)" if road == "sqlite" else "AioSqliteConnector(loop, path=%r, showLog=False)"
        run_program(body, make % path)
        con = sqlite3.connect(path)
        try:
            rows = con.execute(CHECK).fetchall()
        finally:
            con.close()
    assert [tuple(r) for r in rows] == [("ann", "first")]
