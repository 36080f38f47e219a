"""Hostile table and column names on every road (sync SQLite, aiosqlite,
MySQL): a "%s", "?", "%" or quote inside a name stays part of the name, so
each model reads and writes its own table and no other."""
import asyncio
import inspect
import sqlite3

import pytest

from Tavrik.Model.Korvid import Korvid, _KorvidMeta
from Tavrik.Model.ModelProperty import AutoIncrement, IntProperty, StrProperty

from tests.asynctools import run, settle
from tests.conftest import _mysql_reset, require_mysql

# Pairs that a placeholder rewrite or the MySQL driver's `%` formatting would
# make into one another, and names that would end or break a statement.
TABLES = [
    "t_p%sq",
    "t_p?q",
    "tw_x%%y",
    "tw_x%y",
    'x"; DROP TABLE t;--',
    "a`b",
    "order",
    "it's",
    "p%s%s?",
    "two\nlines -- %s",
]
COLUMNS = ["c%s", "c?", "desc", "c`b", 'c"x', "c'y", "order", "p%%", "/* %s"]


@pytest.fixture
def hostile_models():
    saved = list(_KorvidMeta.ModelList)
    models = []
    for i, table in enumerate(TABLES):
        body = {"tableName": table, "id": IntProperty(primaryKey=True, default=AutoIncrement)}
        body.update({col: StrProperty(40, nullable=True) for col in COLUMNS})
        models.append(_KorvidMeta("Hostile%d" % i, (Korvid,), body))
    yield models
    _KorvidMeta.ModelList[:] = saved


@pytest.fixture(params=["sqlite", "aiosqlite", "mysql", "mysql-sync"])
async def road(request, db_path, hostile_models):
    """(road name, connector, reader) with only the hostile models' tables;
    the reader returns the rows of a table through a connection of its own."""
    from Tavrik.DB.Connector import AioMysqlConnector, AioSqliteConnector, MysqlConnector, Sqlite3Connector
    from Tavrik.DB.DB import DB
    from Tavrik.Ext import generate_table

    saved = list(_KorvidMeta.ModelList)
    _KorvidMeta.ModelList[:] = saved[:2] + hostile_models  # Korvid, MiddleKorvid
    try:
        if request.param == "sqlite":
            connector = Sqlite3Connector(db_path, showLog=False)
        elif request.param == "aiosqlite":
            connector = AioSqliteConnector(asyncio.get_running_loop(), path=db_path, showLog=False)
        elif request.param == "mysql-sync":
            settings = require_mysql()
            await _mysql_reset(settings)
            connector = MysqlConnector(**settings)
        else:
            settings = require_mysql()
            await _mysql_reset(settings)
            connector = AioMysqlConnector(asyncio.get_running_loop(), **settings)
            while not connector.isReady:
                await asyncio.sleep(0.01)
        DB.create(connector)
        if connector.isAsync:
            await run(generate_table)
            await settle(connector)
        else:
            generate_table()
    finally:
        _KorvidMeta.ModelList[:] = saved

    if request.param.startswith("mysql"):
        import pymysql

        def reader(table):
            con = pymysql.connect(**{k: v for k, v in settings.items() if k != "autocommit"})
            try:
                with con.cursor() as cur:
                    # No arguments: the driver leaves the text alone.
                    cur.execute("SELECT * FROM `%s` ORDER BY id" % table.replace("`", "``"))
                    return [tuple(r) for r in cur.fetchall()]
            finally:
                con.close()

    else:

        def reader(table):
            con = sqlite3.connect(db_path)
            try:
                return con.execute('SELECT * FROM "%s" ORDER BY id' % table.replace('"', '""')).fetchall()
            finally:
                con.close()

    try:
        yield request.param, connector, reader
    finally:
        DB.drop()
        res = connector.close()
        if inspect.isawaitable(res):
            await res


async def done(value):
    return await value if inspect.isawaitable(value) else value


async def in_transaction(connector, fn):
    """Runs `fn` as one task (one transaction) on the asynchronous roads."""
    if not connector.isAsync:
        return await fn()
    result = await run(fn)
    await settle(connector)
    return result


async def test_each_model_keeps_to_its_own_table(road, hostile_models):
    name, connector, reader = road

    async def write():
        for i, model in enumerate(hostile_models):
            ex = model.getExecutor()
            # explicit keys: a cluster node does not hand out 1, 2, ...
            row = model(id=1, **{col: "%s-%d-%s" % (model.tableName, i, col) for col in COLUMNS})
            assert (await done(ex.save(row))).id == 1
            ex.reset()
            await done(ex.save(model(**{"id": 2, "c%s": "second %s ? '%s'"})))

    await in_transaction(connector, write)
    for i, model in enumerate(hostile_models):
        rows = reader(model.tableName)
        assert [r[0] for r in rows] == [1, 2], model.tableName
        assert list(rows[0][1:]) == ["%s-%d-%s" % (model.tableName, i, col) for col in COLUMNS]
        assert list(rows[1][1:]) == ["second %s ? '%s'"] + [None] * (len(COLUMNS) - 1)

    async def read_update_delete():
        seen = {}
        for i, model in enumerate(hostile_models):
            ex = model.getExecutor()
            cond = getattr(model, "c?") == "%s-%d-c?" % (model.tableName, i)
            one = await done(ex.findOneBy(cond))
            assert one.id == 1
            one["desc"] = "changed %s"
            ex.reset()
            await done(ex.update(one))
            # An insert of an existing key falls back to an update.
            ex.reset()
            await done(ex.save(model(**{"id": 2, "p%%": "saved again"})))
            ex.reset()
            seen[model.tableName] = sorted(r.id for r in await done(ex.findAllBy(getattr(model, "order") == None)))  # noqa: E711 (a condition: IS NULL)
            ex.reset()
            await done(ex.delete(model(id=1)))
        return seen

    seen = await in_transaction(connector, read_update_delete)
    assert seen == {model.tableName: [2] for model in hostile_models}
    for model in hostile_models:
        rows = reader(model.tableName)
        assert [r[0] for r in rows] == [2], model.tableName
        assert rows[0][COLUMNS.index("p%%") + 1] == "saved again"

    async def pages():
        from Tavrik.Ext.Olvane import Olvane

        out = {}
        for model in hostile_models:
            page = await done(Olvane(model, page=1, pageSize=5).filter(getattr(model, "p%%") == "saved again").execute())
            out[model.tableName] = (page.total, [r.id for r in page.content])
        return out

    assert await in_transaction(connector, pages) == {model.tableName: (1, [2]) for model in hostile_models}
    tables = await done(connector.getTableNameList())
    assert sorted(tables) == sorted(TABLES)
