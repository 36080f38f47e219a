"""AioMysqlConnector given a list of nodes, its transaction errors and
runTransaction(), on the single test server (the cluster's own tests are in
tests/cluster)."""
import asyncio
import socket

import aiomysql
import pytest

from Tavrik.DB.Connector import AioMysqlConnector
from Tavrik.Error.BaseOrmError import BaseOrmError
from Tavrik.Error.ClusterError import ClusterUnavailable, NodeLost, TransactionConflict
from tests.asynctools import run, settle
from tests.conftest import _mysql_reset, require_mysql


def closed_port():
    """A loopback port nobody listens on (a dead node)."""
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def without_address(settings):
    return {k: v for k, v in settings.items() if k not in ("host", "port")}


@pytest.fixture
async def settings():
    s = require_mysql()
    await _mysql_reset(s)
    con = await aiomysql.connect(**without_address(s), host=s["host"], port=s["port"])
    try:
        async with con.cursor() as cur:
            await cur.execute("CREATE TABLE acct (id INT PRIMARY KEY, v INT)")
            await cur.execute("INSERT INTO acct VALUES (1, 100), (2, 100)")
        await con.commit()
    finally:
        con.close()
    return s


@pytest.fixture
async def nodes(settings):
    c = AioMysqlConnector(asyncio.get_running_loop(), hosts=["%s:%d" % (settings["host"], settings["port"])],
                          checkInterval=0.2, **without_address(settings))
    yield c
    await c.close()


async def committed(c, sql, args=()):
    return await run(lambda: c.execute(sql, args=args))


@pytest.mark.parametrize("form", ["text", "pairs", "comma string", "dead node first"])
async def test_nodes_given_as_a_list(settings, form):
    host, port = settings["host"], settings["port"]
    hosts = {
        "text": ["%s:%d" % (host, port)],
        "pairs": [(host, port)],
        "comma string": "%s:%d" % (host, port),
        "dead node first": ["127.0.0.1:%d" % closed_port(), "%s:%d" % (host, port)],
    }[form]
    kwargs = dict(without_address(settings), hosts=hosts, checkInterval=0.2)
    c = AioMysqlConnector(asyncio.get_running_loop(), **kwargs)
    try:
        async def body():
            async with c.transaction():
                await c.execute("UPDATE acct SET v = 7 WHERE id = 1")

        await run(body)
        assert await committed(c, "SELECT v FROM acct WHERE id = 1") == ((7,),)
        assert c._pool.readyNodes() == [(host, port)]
        assert c.config == kwargs
        assert await c.getTableNameList() == ["acct"]
    finally:
        await c.close()


def test_no_ready_node_fails_the_constructor():
    settings = require_mysql()
    loop = asyncio.new_event_loop()
    try:
        with pytest.raises(ClusterUnavailable) as info:
            AioMysqlConnector(loop, hosts=["127.0.0.1:%d" % closed_port()], failoverTimeout=0.5,
                              **without_address(settings))
        assert "127.0.0.1" in str(info.value) and isinstance(info.value, BaseOrmError)
    finally:
        loop.close()


def test_hosts_and_host_together_are_refused():
    settings = require_mysql()
    loop = asyncio.new_event_loop()
    try:
        with pytest.raises(TypeError):
            AioMysqlConnector(loop, hosts=["127.0.0.1:1"], **settings)
    finally:
        loop.close()


@pytest.mark.parametrize("causal, expected", [(None, 0), (False, 0), (True, 1), (3, 3)])
async def test_causal_reads_set_on_every_connection(settings, causal, expected):
    kwargs = dict(settings, maxsize=3)
    if causal is not None:
        kwargs["causalReads"] = causal
    c = AioMysqlConnector(asyncio.get_running_loop(), **kwargs)
    try:
        seen = await asyncio.gather(*(committed(c, "SELECT @@SESSION.wsrep_sync_wait") for _ in range(6)))
        assert {r[0][0] for r in seen} == {expected}
    finally:
        await c.close()


async def transfer(c, con, first, amount, gate):
    """Moves `amount` from account 2 to 1, locking the rows in the order given
    by `first`: two of them in opposite orders deadlock."""
    second = 3 - first
    await c.execute("SELECT v FROM acct WHERE id = %s FOR UPDATE", con, args=(first,))
    if gate is not None:
        gate.set()
        await gate.other.wait()
    await c.execute("SELECT v FROM acct WHERE id = %s FOR UPDATE", con, args=(second,))
    await c.execute("UPDATE acct SET v = v + %s WHERE id = 1", con, args=(amount,))
    await c.execute("UPDATE acct SET v = v - %s WHERE id = 2", con, args=(amount,))
    return amount


def gates():
    a, b = asyncio.Event(), asyncio.Event()
    a.other, b.other = b, a
    return a, b


async def test_deadlock_is_a_conflict_of_the_transaction(nodes):
    results = {}

    async def one(first, amount, gate):
        try:
            async with nodes.transaction() as con:
                await transfer(nodes, con, first, amount, gate)
            results[amount] = "committed"
        except TransactionConflict as e:
            assert e.__cause__.args[0] == 1213
            results[amount] = "conflict"

    await asyncio.wait_for(asyncio.gather(*(run(one, f, a, g) for f, a, g in zip((1, 2), (10, 20), gates()))), 60)
    assert sorted(results.values()) == ["committed", "conflict"]
    winner = next(a for a, r in results.items() if r == "committed")
    assert await committed(nodes, "SELECT v FROM acct ORDER BY id") == ((100 + winner,), (100 - winner,))


async def test_run_transaction_reruns_the_loser(nodes):
    calls = []

    async def one(first, amount, gate):
        async def fn(con, how_much):
            calls.append(how_much)
            # Only the first attempts meet; a re-run goes through alone.
            return await transfer(nodes, con, first, how_much, gate if calls.count(how_much) == 1 else None)

        return await nodes.runTransaction(fn, amount, retries=3)

    done = await asyncio.wait_for(asyncio.gather(*(run(one, f, a, g) for f, a, g in zip((1, 2), (10, 20), gates()))), 60)
    assert done == [10, 20] and len(calls) == 3
    assert await committed(nodes, "SELECT v FROM acct ORDER BY id") == ((130,), (70,))


@pytest.mark.parametrize("retries", [0, 2])
async def test_connection_lost_before_the_commit(settings, nodes, retries):
    # The server ends the connection in the middle of the block (as a dying
    # node would): NodeLost, not committed; runTransaction runs it again on a
    # fresh connection, once.
    killer = await aiomysql.connect(**without_address(settings), host=settings["host"], port=settings["port"])
    calls = []

    async def fn(con):
        calls.append(con)
        await nodes.execute("UPDATE acct SET v = v + 1 WHERE id = 1", con)
        if len(calls) == 1:
            async with killer.cursor() as cur:
                await cur.execute("KILL %d" % con.thread_id())
        await nodes.execute("UPDATE acct SET v = v - 1 WHERE id = 2", con)
        return "done"

    try:
        if retries:
            assert await run(lambda: nodes.runTransaction(fn, retries=retries)) == "done"
            assert len(calls) == 2 and calls[0] is not calls[1]
            expected = ((101,), (99,))
        else:
            with pytest.raises(NodeLost) as info:
                await run(lambda: nodes.runTransaction(fn, retries=0))
            assert info.value.committing is False and len(calls) == 1
            expected = ((100,), (100,))
        await settle(nodes)
        assert await committed(nodes, "SELECT v FROM acct ORDER BY id") == expected
    finally:
        killer.close()


async def test_run_transaction_returns_and_rolls_back(async_db):
    from tests.models import Role

    async def save(con, name):
        await Role.getExecutor(con).save(Role(name=name))
        return name

    async def fail(con):
        await Role.getExecutor(con).save(Role(name="lost"))
        raise LookupError("no")

    assert await run(lambda: async_db.runTransaction(save, "kept")) == "kept"
    with pytest.raises(LookupError):
        await run(lambda: async_db.runTransaction(fail))
    with pytest.raises(ValueError):
        await run(lambda: async_db.runTransaction(save, "x", retries=-1))
    rows = await run(lambda: Role.getExecutor().findAllBy())
    assert [r.name for r in rows] == ["kept"]
