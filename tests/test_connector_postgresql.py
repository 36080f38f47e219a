"""AsyncpgConnector against a real PostgreSQL server (skipped without one;
see tests/conftest.py): values both ways, the spelling of names, new keys,
the task's transaction, and a failed statement that leaves it usable."""
import asyncio
import datetime
import decimal

import psycopg
import pytest

import Tavrik.Error

from Tavrik.DB.Connector import AsyncpgConnector
from Tavrik.Model.Korvid import Korvid
from Tavrik.Model.ModelProperty import (AutoIncrement, FilterListCell, BoolProperty, BytesProperty, DateProperty, DateTimeProperty,
                                         DecimalProperty, FloatProperty, IntProperty, JsonProperty, StrProperty)
from tests.asynctools import installed, run, settle

HOSTILE = ['x"; DROP TABLE t;--', "a`b", "it's", 'say "hi"', "back\\slash", "%s", "$1", "?", "order"]


class PgKind(Korvid):
    tableName = "pg_kind"
    id = IntProperty(primaryKey=True, default=AutoIncrement)
    name = StrProperty(40, unique=True)
    flag = BoolProperty(nullable=True)
    price = DecimalProperty(30, 10, nullable=True)
    at = DateTimeProperty(nullable=True)
    day = DateProperty(nullable=True)
    doc = JsonProperty(nullable=True)
    blob = BytesProperty(nullable=True)
    ratio = FloatProperty(nullable=True)


def committed(dsn, sql):
    with psycopg.connect(dsn) as con:
        return con.execute(sql).fetchall()


@pytest.fixture
async def pg(pg_dsn):
    c = AsyncpgConnector(asyncio.get_running_loop(), pg_dsn, min_size=1, max_size=4)
    try:
        async with installed(c):
            yield c
    finally:
        await c.close()


def ex():
    return PgKind.getExecutor()


async def test_every_column_kind_round_trips_exactly(pg, pg_dsn):
    values = dict(name=HOSTILE[0], flag=True, price=decimal.Decimal("12345678901234567890.0123456789"),
                  at=datetime.datetime(2021, 2, 3, 4, 5, 6, 7), day=datetime.date(1999, 12, 31),
                  doc={"a": [1, {"b": None, "c": "x\"y"}], "n": 1.5}, blob=b"\x00\xff\x00'", ratio=0.1)
    saved = await run(lambda: ex().save(PgKind(**values)))
    assert saved["id"] == 1
    got = await run(lambda: ex().findOneBy(PgKind.id == 1))
    assert {k: got[k] for k in values} == values
    assert type(got["flag"]) is bool
    # Stored natively, not in the house form's texts and numbers.
    assert committed(pg_dsn, "SELECT flag, price::text, at::text FROM pg_kind") == [
        (True, "12345678901234567890.0123456789", "2021-02-03 04:05:06.000007")]
    found = await run(lambda: ex().findAllBy((PgKind.flag == True) & (PgKind.day == datetime.date(1999, 12, 31))))  # noqa: E712
    assert [r["id"] for r in found] == [1]


async def test_hostile_names_and_values_reach_the_database_unchanged(pg_dsn):
    cols = {"id": IntProperty(primaryKey=True, default=AutoIncrement)}
    cols.update({"c%d" % i: StrProperty(40, name=n, nullable=True) for i, n in enumerate(HOSTILE)})
    model = type("PgHostile", (Korvid,), dict(cols, tableName='t"a`b%s$1?'))
    c = AsyncpgConnector(asyncio.get_running_loop(), dsn=pg_dsn, min_size=1, max_size=2)
    try:
        async with installed(c):
            row = {"c%d" % i: v for i, v in enumerate(HOSTILE)}
            await run(lambda: model.getExecutor().save(model(**row)))
            got = await run(lambda: model.getExecutor().findAllBy(getattr(model, "c5") == "%s"))
            assert [{k: r[k] for k in row} for r in got] == [row]
    finally:
        await c.close()
    assert committed(pg_dsn, 'SELECT "$1", "a`b", "say ""hi""" FROM "t""a`b%s$1?"') == [("$1", "a`b", 'say "hi"')]


async def test_keys_come_back_by_returning(pg):
    async def work():
        a = await ex().save(PgKind(name="a"))
        b = await ex().save(PgKind(name="b"))
        given = await ex().save(PgKind(id=10, name="c"))
        return a["id"], b["id"], given["id"]

    assert await run(work) == (1, 2, 10)


async def test_task_commits_when_it_ends_and_rolls_back_when_it_fails(pg, pg_dsn):
    async def fails():
        await ex().save(PgKind(name="lost"))
        raise RuntimeError("boom")

    await run(lambda: ex().save(PgKind(name="kept")))
    with pytest.raises(RuntimeError):
        await run(fails)
    task = run(lambda: ex().save(PgKind(name="cut")))
    await asyncio.sleep(0)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    await settle(pg)
    assert committed(pg_dsn, "SELECT name FROM pg_kind ORDER BY id") == [("kept",)]


async def test_a_caught_statement_error_leaves_the_transaction_usable(pg, pg_dsn):
    async def work():
        await ex().save(PgKind(name="a"))
        with pytest.raises(Exception):
            await pg.execute("SELECT no_such_column FROM pg_kind")
        with pytest.raises(Exception):
            await ex().save(PgKind(name="a"))  # the unique name refuses it
        await ex().save(PgKind(name="b"))

    await run(work)
    await settle(pg)
    assert committed(pg_dsn, "SELECT name FROM pg_kind ORDER BY id") == [("a",), ("b",)]


async def test_save_of_a_stored_key_updates_it_and_any_other_refusal_propagates(pg, pg_dsn):
    await run(lambda: ex().save(PgKind(name="a", flag=False)))
    await run(lambda: ex().save(PgKind(id=1, name="a2", flag=True)))
    await run(lambda: ex().save(PgKind(name="b")))

    async def clash():
        await ex().save(PgKind(id=3, name="b"))

    with pytest.raises(Exception) as info:
        await run(clash)
    assert getattr(info.value, "sqlstate", None) == "23505"
    await settle(pg)
    assert committed(pg_dsn, "SELECT id, name, flag FROM pg_kind ORDER BY id") == [(1, "a2", True), (2, "b", None)]


async def test_update_counts_matched_rows(pg):
    async def work():
        await ex().save(PgKind(name="a", flag=True))
        await ex().save(PgKind(name="b", flag=True))
        return await ex().updateWhere(PgKind.flag == True, {"flag": True})  # noqa: E712

    assert await run(work) == 2


async def test_run_transaction_retries_a_serialisation_failure(pg, pg_dsn):
    await run(lambda: ex().save(PgKind(name="n", ratio=0.0)))
    attempts = []
    gate = asyncio.Event()

    async def bump(con):
        attempts.append(1)
        await pg.execute("SET TRANSACTION ISOLATION LEVEL SERIALIZABLE", con)
        rows = await pg.execute("SELECT ratio FROM pg_kind WHERE id = 1", con)
        if len(attempts) == 1:
            # Another transaction changes the row after this one has read it.
            with psycopg.connect(pg_dsn, autocommit=True) as other:
                other.execute("UPDATE pg_kind SET ratio = ratio + 10 WHERE id = 1")
        await pg.execute("UPDATE pg_kind SET ratio = %s WHERE id = 1", con, args=(rows[0][0] + 1,))
        gate.set()

    await run(lambda: pg.runTransaction(bump))
    assert len(attempts) == 2
    assert committed(pg_dsn, "SELECT ratio FROM pg_kind") == [(11.0,)]


async def test_ddl_is_native(pg, pg_dsn):
    types = committed(pg_dsn, "SELECT column_name, data_type, is_identity FROM information_schema.columns"
                              " WHERE table_name = 'pg_kind' ORDER BY ordinal_position")
    assert types == [("id", "bigint", "YES"), ("name", "character varying", "NO"), ("flag", "boolean", "NO"),
                     ("price", "numeric", "NO"), ("at", "timestamp without time zone", "NO"),
                     ("day", "date", "NO"), ("doc", "jsonb", "NO"), ("blob", "bytea", "NO"),
                     ("ratio", "double precision", "NO")]
    assert committed(pg_dsn, "SELECT indexdef LIKE 'CREATE UNIQUE INDEX%' FROM pg_indexes"
                              " WHERE tablename = 'pg_kind' AND indexname LIKE 'ux_%'") == [(True,)]
    assert "pg_kind" in await run(pg.getTableNameList)


async def test_connect_url_makes_the_connector_and_hides_the_password(pg_dsn, caplog):
    import logging

    from Tavrik.DB import connect
    from tests.conftest import require_pg

    s = require_pg()
    caplog.set_level(logging.INFO, logger="Tavrik.DB")
    url = "postgresql+asyncpg://%s:%s@%s:%d/%s?min_size=1&max_size=2" % (
        s["user"], s["password"], s["host"], s["port"], s["dbname"])
    c = connect(url)
    try:
        assert isinstance(c, AsyncpgConnector) and c.config["max_size"] == 2
        assert await run(lambda: c.execute("SELECT %s + 1", args=(1,))) == ((2,),)
    finally:
        await c.close()
    assert ":%s@" % s["password"] not in caplog.text and repr(c).find(s["password"]) < 0


@pytest.mark.parametrize("cond, ids", [
    (lambda: PgKind.id.in_([]), []),
    (lambda: ~PgKind.id.in_([]), [1, 2]),
    (lambda: FilterListCell("1"), [1, 2]),
    (lambda: (PgKind.id == 1) | PgKind.id.in_([]), [1]),
    (lambda: PgKind.flag.in_([None]), [2]),
])
async def test_constant_conditions_are_conditions(pg, cond, ids):
    async def work():
        await ex().save(PgKind(name="a", flag=True))
        await ex().save(PgKind(name="b"))
        rows = await ex().findAllBy(cond(), orderBy="id")
        return [r["id"] for r in rows], await ex().count(cond())

    assert await run(work) == (ids, len(ids))


async def test_a_custom_init_runs_after_the_codecs(pg_dsn):
    seen = []

    async def init(raw):
        seen.append(await raw.fetchval("SELECT $1::boolean", 1))  # the house form's 1 already encodes

    c = AsyncpgConnector(asyncio.get_running_loop(), pg_dsn, min_size=1, max_size=1, init=init)
    try:
        assert await run(lambda: c.execute("SELECT %s::boolean", args=(0,))) == ((False,),)
    finally:
        await c.close()
    assert seen == [True]


def test_missing_driver_names_the_extra():
    import subprocess
    import sys

    program = ("import sys, asyncio; sys.modules['asyncpg'] = None\n"
               "from Tavrik.DB.Connector import AsyncpgConnector\n"
               "try:\n    AsyncpgConnector(asyncio.new_event_loop())\n"
               "except ImportError as e:\n    print(e)\n")
    import os

    import Tavrik

    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [os.path.dirname(os.path.dirname(Tavrik.__file__)), os.environ.get("PYTHONPATH", "")]))
    out = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True, timeout=60, env=env)
    assert "tavrik[postgresql]" in out.stdout, out.stdout + out.stderr


async def test_a_hand_written_commit_ends_the_transaction_and_the_next_begins(pg, pg_dsn):
    async def work():
        await pg.execute("INSERT INTO pg_kind (name) VALUES (%s)", args=("kept",))
        await pg.execute("COMMIT")
        await pg.execute("INSERT INTO pg_kind (name) VALUES (%s)", args=("lost",))
        await pg.execute("ROLLBACK")
        await pg.execute("INSERT INTO pg_kind (name) VALUES (%s)", args=("at end",))
        raise RuntimeError("the task fails: its open transaction is rolled back")

    with pytest.raises(RuntimeError):
        await run(work)
    await settle(pg)
    assert committed(pg_dsn, "SELECT name FROM pg_kind") == [("kept",)]


async def test_a_commit_the_server_turned_into_a_rollback_is_an_error(pg, pg_dsn):
    # A failed hand-written savepoint statement leaves the transaction
    # aborted: PostgreSQL answers the COMMIT with a rollback and no error.
    async def work():
        async with pg.transaction():
            await ex().save(PgKind(name="lost"))
            await pg.execute("SAVEPOINT mine")
            with pytest.raises(Tavrik.Error.DatabaseError):
                await pg.execute("ROLLBACK TO SAVEPOINT not_mine")

    with pytest.raises(Tavrik.Error.OperationalError, match="COMMIT"):
        await run(work)
    await settle(pg)
    assert committed(pg_dsn, "SELECT name FROM pg_kind") == []
