"""One `except` per kind of failure: every driver's own error, raised by a real
database, is caught by Tavrik's kind and still reaches the caller as the
driver's object."""
import asyncio
import sqlite3

import pytest

import Tavrik.Error as kinds
from Tavrik.Error.ClusterError import TransactionConflict
from Tavrik.Error.DriverError import adopt
from tests.conftest import require_mysql

DUPLICATE = ["CREATE TABLE t (k INT PRIMARY KEY)", "INSERT INTO t VALUES (1)", "INSERT INTO t VALUES (1)"]


def sqlite_run(path, statements):
    con = sqlite3.connect(path)
    try:
        for s in statements:
            con.execute(s)
    finally:
        con.close()


async def aiosqlite_run(path, statements):
    import aiosqlite

    async with aiosqlite.connect(path) as con:
        for s in statements:
            await con.execute(s)


def mysql_settings():
    return {k: v for k, v in require_mysql().items() if k != "autocommit"}


def pymysql_run(statements):
    import pymysql

    con = pymysql.connect(**mysql_settings())
    try:
        with con.cursor() as cur:
            cur.execute("DROP TABLE IF EXISTS t")
            for s in statements:
                cur.execute(s)
    finally:
        con.close()


async def aiomysql_run(statements):
    import aiomysql

    con = await aiomysql.connect(**mysql_settings())
    try:
        async with con.cursor() as cur:
            await cur.execute("DROP TABLE IF EXISTS t")
            for s in statements:
                await cur.execute(s)
    finally:
        con.close()


def psycopg_run(dsn, statements):
    import psycopg

    adopt()
    with psycopg.connect(dsn, autocommit=True) as con:
        for s in statements:
            con.execute(s)


async def asyncpg_run(dsn, statements):
    import asyncpg

    adopt()
    con = await asyncpg.connect(dsn)
    try:
        for s in statements:
            await con.execute(s)
    finally:
        await con.close()


def raised(driver, statements, db_path, request):
    """The error `driver` raises running `statements`."""
    try:
        if driver == "sqlite3":
            sqlite_run(db_path, statements)
        elif driver == "aiosqlite":
            asyncio.run(aiosqlite_run(db_path, statements))
        elif driver == "pymysql":
            pymysql_run(statements)
        elif driver == "aiomysql":
            asyncio.run(aiomysql_run(statements))
        elif driver == "psycopg":
            psycopg_run(request.getfixturevalue("pg_dsn"), statements)
        else:
            asyncio.run(asyncpg_run(request.getfixturevalue("pg_dsn"), statements))
    except Exception as e:  # noqa: BLE001  (the error is the result)
        return e
    pytest.fail("%s raised nothing" % driver)


DRIVER_CLASS = {
    "sqlite3": "sqlite3.IntegrityError",
    "aiosqlite": "sqlite3.IntegrityError",
    "pymysql": "pymysql.err.IntegrityError",
    "aiomysql": "pymysql.err.IntegrityError",
    "psycopg": "psycopg.errors.UniqueViolation",
    "asyncpg": "asyncpg.exceptions.UniqueViolationError",
}


@pytest.mark.parametrize("driver", list(DRIVER_CLASS))
def test_duplicate_key_is_one_kind(driver, db_path, request):
    err = raised(driver, DUPLICATE, db_path, request)
    cls = type(err)
    assert "%s.%s" % (cls.__module__, cls.__qualname__) == DRIVER_CLASS[driver]
    try:
        raise err
    except kinds.IntegrityError as caught:
        assert caught is err
    assert isinstance(err, kinds.DatabaseError) and isinstance(err, kinds.Error)
    assert not isinstance(err, (kinds.OperationalError, kinds.ProgrammingError))


@pytest.mark.parametrize("driver", ["psycopg", "asyncpg"])
@pytest.mark.parametrize("state", ["40001", "40P01"])
def test_serialisation_failure_and_deadlock_are_conflicts(driver, state, db_path, request):
    err = raised(driver, ["DO $$ BEGIN RAISE EXCEPTION USING ERRCODE = '%s'; END $$" % state], db_path, request)
    assert isinstance(err, kinds.ConflictError) and isinstance(err, kinds.OperationalError)
    assert not isinstance(err, kinds.IntegrityError)


def test_cluster_conflict_is_the_same_kind():
    import pymysql

    assert issubclass(TransactionConflict, kinds.ConflictError)
    assert issubclass(TransactionConflict, pymysql.err.OperationalError)
