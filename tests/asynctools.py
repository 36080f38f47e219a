"""Helpers of the asynchronous connector tests."""
import asyncio
import contextlib


def bound(c):
    """How many tasks of the connector hold a connection not yet released."""
    return c.boundConnections


def run(fn, *args):
    """Runs `fn` in a task of its own (a task is a transaction)."""
    return asyncio.get_running_loop().create_task(fn(*args))


async def settle(c):
    """Waits until every finished task's connection has been released."""
    for _ in range(800):
        if not bound(c):
            return
        await asyncio.sleep(0.025)
    raise AssertionError("connections still bound: %d" % bound(c))


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
