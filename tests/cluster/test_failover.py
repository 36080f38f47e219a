"""A node of the cluster dies or leaves while ten tasks write: acknowledged
commits survive exactly once everywhere, nothing reported failed before its
commit is applied, and the connector goes on serving on the others."""
import asyncio
from collections import Counter

import pytest

from Tavrik.DB.Connector import AioMysqlConnector
from Tavrik.Error.ClusterError import ClusterUnavailable, NodeLost, TransactionConflict

WRITERS = 10


def connector(cluster, **options):
    return AioMysqlConnector(asyncio.get_running_loop(), hosts=[cluster.address(n) for n in (1, 2, 3)],
                             checkInterval=0.3, maxsize=WRITERS + 2, autocommit=False, **cluster.login, **options)


async def holdings(cluster, n):
    rows = [tuple(r) for r in await cluster.rows(n, "SELECT writer, seq FROM fo")]
    counts = {w: k for w, k in await cluster.rows(n, "SELECT writer, n FROM fo_count")}
    return Counter(rows), counts


# spread=False: every task works on the first ready node, which is killed;
# spread=True: the tasks are spread over the three, and the second is killed.
@pytest.mark.parametrize("spread, victim", [(False, 1), (True, 2)])
async def test_failover_under_load(cluster, spread, victim):
    await cluster.run(
        1,
        "CREATE TABLE fo (id INT PRIMARY KEY AUTO_INCREMENT, writer INT NOT NULL, seq INT NOT NULL, KEY (writer, seq))",
        "CREATE TABLE fo_count (writer INT PRIMARY KEY, n INT NOT NULL)",
        "INSERT INTO fo_count VALUES %s" % ", ".join("(%d, 0)" % w for w in range(WRITERS)),
    )
    for n in (2, 3):  # the counter rows are there before any writer updates them
        assert await cluster.rows(n, "SELECT count(*) FROM fo_count") == ((WRITERS,),)
    loop = asyncio.get_running_loop()
    c = connector(cluster, spread=spread)
    acked, doubtful, failed = {}, set(), set()
    stop = asyncio.Event()

    async def writer(w):
        seq = 0
        while not stop.is_set():
            seq += 1
            try:
                async with c.transaction():
                    await c.execute("INSERT INTO fo (writer, seq) VALUES (%s, %s)", args=(w, seq))
                    await c.execute("UPDATE fo_count SET n = n + 1 WHERE writer = %s", args=(w,))
            except NodeLost as e:
                (doubtful if e.committing else failed).add((w, seq))
            except TransactionConflict:
                failed.add((w, seq))
            else:
                acked[(w, seq)] = loop.time()

    try:
        tasks = [loop.create_task(writer(w)) for w in range(WRITERS)]
        await asyncio.sleep(2)
        assert acked, "no commit before the kill"
        await asyncio.to_thread(cluster.script, "kill", victim)
        killed_at = loop.time()  # the node's process is gone
        await asyncio.sleep(5)
        stop.set()
        await asyncio.wait_for(asyncio.gather(*tasks), 60)
        after = sorted(t for t in acked.values() if t > killed_at)
        assert after, "nothing committed after the kill"
        print("\nfirst commit %.2f s after the kill; %d commits, %d failed before commit, %d in doubt"
              % (after[0] - killed_at, len(acked), len(failed), len(doubtful)))
        assert cluster.hosts[victim - 1] not in c._pool.readyNodes()
    finally:
        await asyncio.wait_for(c.close(), 60)

    survivors = [n for n in (1, 2, 3) if n != victim]
    seen = []
    for n in survivors:
        present, counts = await holdings(cluster, n)
        assert max(present.values()) == 1  # exactly once
        assert set(acked) <= set(present)
        assert not set(present) & failed  # failed before its commit: never applied
        assert set(present) <= set(acked) | doubtful
        for w in range(WRITERS):  # insert and update went together
            mine = sorted(seq for (pw, seq) in present if pw == w)
            assert counts[w] == len(mine), (n, w, [(seq, (w, seq) in acked, (w, seq) in doubtful) for seq in mine[-5:]],
                                            sorted(seq for (pw, seq) in doubtful | failed if pw == w))
        seen.append((present, counts))
    assert seen[0] == seen[1]

    await asyncio.to_thread(cluster.script, "restart", victim)
    assert await holdings(cluster, victim) == seen[0]


async def test_desynced_node_gets_no_new_work(cluster):
    c = connector(cluster)

    async def serving():
        return (await asyncio.get_running_loop().create_task(c.execute("SELECT @@wsrep_node_name")))[0][0]

    async def until(name):
        for _ in range(300):
            if await serving() == name:
                return
            await asyncio.sleep(0.1)
        raise AssertionError("work never moved to %s" % name)

    try:
        assert await serving() == "node1"
        await asyncio.to_thread(cluster.script, "sql", 1, "SET GLOBAL wsrep_desync = ON")
        try:
            await until("node2")
            assert ("127.0.0.1", cluster.hosts[0][1]) not in c._pool.readyNodes()
        finally:
            await asyncio.to_thread(cluster.script, "sql", 1, "SET GLOBAL wsrep_desync = OFF")
        await until("node1")
    finally:
        await c.close()


async def test_lost_quorum_is_reported_not_waited_for(cluster):
    # Two nodes of three gone: the last one refuses work; a transaction fails
    # with ClusterUnavailable after failoverTimeout instead of hanging.
    c = connector(cluster, failoverTimeout=2)
    loop = asyncio.get_running_loop()

    async def one():
        async with c.transaction():
            return await c.execute("SELECT @@wsrep_node_name")

    try:
        assert await loop.create_task(one()) == (("node1",),)
        for n in (1, 2):
            await asyncio.to_thread(cluster.script, "kill", n)
        for _ in range(100):  # until the survivor has noticed
            if not c._pool.readyNodes():
                break
            await asyncio.sleep(0.1)
        with pytest.raises(ClusterUnavailable) as info:
            await loop.create_task(one())
        assert "wsrep_ready=OFF" in str(info.value)
    finally:
        await c.close()
        # A node without quorum takes nobody back: the cluster starts anew.
        await asyncio.to_thread(cluster.script, "start")
