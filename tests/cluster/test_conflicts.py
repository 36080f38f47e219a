"""Two transactions on different nodes write the same row: certification
lets one win; the other is a TransactionConflict, or succeeds when re-run."""
import asyncio

from Tavrik.DB.Connector import AioMysqlConnector
from Tavrik.Error.ClusterError import TransactionConflict


async def accounts(cluster):
    await cluster.run(1, "CREATE TABLE acct (id INT PRIMARY KEY, v INT NOT NULL)",
                      "INSERT INTO acct VALUES (1, 100), (2, 100)")
    loop = asyncio.get_running_loop()
    # causalReads: node 2 must see the rows just written through node 1.
    return [AioMysqlConnector(loop, hosts=[cluster.address(n)], causalReads=True, autocommit=False, **cluster.login)
            for n in (1, 2)]


async def move(c, con, amount, gate):
    """Reads, writes both rows, then (first attempt) waits until the other
    transaction has done the same: both commit with the same rows written."""
    ((v1,),) = await c.execute("SELECT v FROM acct WHERE id = 1", con)
    await c.execute("UPDATE acct SET v = %s WHERE id = 1", con, args=(v1 + amount,))
    await c.execute("UPDATE acct SET v = v - %s WHERE id = 2", con, args=(amount,))
    if gate is not None:
        gate.set()
        await asyncio.wait_for(gate.other.wait(), 30)
    return amount


def gates():
    a, b = asyncio.Event(), asyncio.Event()
    a.other, b.other = b, a
    return a, b


async def everywhere(cluster):
    return {n: tuple(await cluster.rows(n, "SELECT v FROM acct ORDER BY id")) for n in (1, 2, 3)}


async def test_loser_gets_the_conflict(cluster):
    connectors = await accounts(cluster)
    results = {}

    async def one(c, amount, gate):
        try:
            async with c.transaction() as con:
                await move(c, con, amount, gate)
            results[amount] = "committed"
        except TransactionConflict as e:
            assert e.__cause__.args[0] == 1213
            results[amount] = "conflict"

    loop = asyncio.get_running_loop()
    try:
        await asyncio.wait_for(asyncio.gather(
            *(loop.create_task(one(c, a, g)) for c, a, g in zip(connectors, (10, 20), gates()))), 60)
    finally:
        for c in connectors:
            await c.close()
    assert sorted(results.values()) == ["committed", "conflict"]
    winner = next(a for a, r in results.items() if r == "committed")
    assert set((await everywhere(cluster)).values()) == {((100 + winner,), (100 - winner,))}


async def test_run_transaction_reruns_the_loser(cluster):
    connectors = await accounts(cluster)
    calls = []

    async def one(c, amount, gate):
        async def fn(con):
            calls.append(amount)
            return await move(c, con, amount, gate if calls.count(amount) == 1 else None)

        return await c.runTransaction(fn, retries=3)

    loop = asyncio.get_running_loop()
    try:
        done = await asyncio.wait_for(asyncio.gather(
            *(loop.create_task(one(c, a, g)) for c, a, g in zip(connectors, (10, 20), gates()))), 60)
    finally:
        for c in connectors:
            await c.close()
    assert done == [10, 20] and len(calls) == 3
    assert set((await everywhere(cluster)).values()) == {((130,), (70,))}
