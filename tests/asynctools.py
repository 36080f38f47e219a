"""Helpers of the asynchronous connector tests."""
import asyncio
import contextlib

from Tavrik.DB.Connector import AioSqliteConnector


def con_map(c):
    """The connector's task -> connection map (part of the state copying keeps)."""
    return c.__reduce__()[2][0][11 if isinstance(c, AioSqliteConnector) else 8]


def run(fn, *args):
    """Runs `fn` in a task of its own (a task is a transaction)."""
    return asyncio.get_running_loop().create_task(fn(*args))


async def settle(c):
    """Waits until every finished task's connection has been released."""
    for _ in range(800):
        if not con_map(c):
            return
        await asyncio.sleep(0.025)
    raise AssertionError("connections still bound: %r" % (con_map(c),))


@contextlib.asynccontextmanager
async def installed(connector):
    """The connector installed as the DB handle, with the shared models'
    tables created and committed; the handle is dropped afterwards."""
    from Tavrik.DB.DB import DB
    from Tavrik.Ext import generate_table

    import tests.models  # noqa: F401

    DB.create(connector)
    try:
        await run(generate_table)
        await settle(connector)
        yield connector
    finally:
        DB.drop()
