"""Tavrik on a 3-node Galera cluster: write throughput with all work on one
node against work spread over the three (same run, same cluster), and the
time from a node's SIGKILL to the next acknowledged commit.

    eval "$(tools/galera_cluster.sh start | grep ^export)"
    python bench/cluster.py [--seconds 5] [--writers 10]
    tools/galera_cluster.sh stop

Each writer task runs transactions of one INSERT and one UPDATE of its own
counter row, through connector.transaction().
"""
import argparse
import asyncio
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
SCRIPT = os.path.join(ROOT, "tools", "galera_cluster.sh")


def settings():
    try:
        hosts = os.environ["TAVRIK_GALERA_HOSTS"].split(",")
    except KeyError:
        sys.exit("TAVRIK_GALERA_HOSTS is not set: start the cluster with tools/galera_cluster.sh start")
    login = dict(user=os.environ["TAVRIK_GALERA_USER"], password=os.environ["TAVRIK_GALERA_PASSWORD"],
                 db=os.environ["TAVRIK_GALERA_DB"], autocommit=False)
    return hosts, login


async def prepare(c, writers):
    from Tavrik.DB.Connector import AioMysqlConnector

    async def body():
        await c.execute("DROP TABLE IF EXISTS bench_w")
        await c.execute("DROP TABLE IF EXISTS bench_n")
        await c.execute("CREATE TABLE bench_w (id INT PRIMARY KEY AUTO_INCREMENT, writer INT, seq INT)")
        await c.execute("CREATE TABLE bench_n (writer INT PRIMARY KEY, n INT)")
        await c.execute("INSERT INTO bench_n VALUES %s" % ", ".join("(%d, 0)" % w for w in range(writers)))

    await asyncio.get_running_loop().create_task(body())
    # Every node has the counter rows before the writers update them there.
    for host in settings()[0]:
        h, _, port = host.rpartition(":")
        probe = AioMysqlConnector(asyncio.get_running_loop(), hosts=[(h, int(port))], causalReads=True, **settings()[1])
        await asyncio.get_running_loop().create_task(probe.execute("SELECT count(*) FROM bench_n"))
        await probe.close()


async def load(c, writers, seconds, during=None):
    """Runs the writers for `seconds`; returns the times of acknowledged
    commits and the number of failed transactions.  `during` (a coroutine
    function) runs once, a third of the way in."""
    from Tavrik.Error.ClusterError import ClusterUnavailable, NodeLost, TransactionConflict

    loop = asyncio.get_running_loop()
    acked, failed = [], [0]
    end = loop.time() + seconds

    async def writer(w):
        seq = 0
        while loop.time() < end:
            seq += 1
            try:
                async with c.transaction():
                    await c.execute("INSERT INTO bench_w (writer, seq) VALUES (%s, %s)", args=(w, seq))
                    await c.execute("UPDATE bench_n SET n = n + 1 WHERE writer = %s", args=(w,))
            except (NodeLost, TransactionConflict, ClusterUnavailable):
                failed[0] += 1
            else:
                acked.append(loop.time())

    tasks = [loop.create_task(writer(w)) for w in range(writers)]
    extra = None
    if during is not None:
        await asyncio.sleep(seconds / 3)
        extra = await during()
    await asyncio.gather(*tasks)
    return acked, failed[0], extra


async def main(args):
    from Tavrik.DB.Connector import AioMysqlConnector

    hosts, login = settings()
    loop = asyncio.get_running_loop()
    rows = []

    for label, options in (("one node", dict(hosts=hosts[:1])), ("three nodes (spread=True)", dict(hosts=hosts, spread=True))):
        c = AioMysqlConnector(loop, maxsize=args.writers + 2, **options, **login)
        await prepare(c, args.writers)
        acked, failed, _ = await load(c, args.writers, args.seconds)
        await c.close()
        rows.append((label, len(acked) / args.seconds, failed))

    # Failover: every task on node 1 (the first ready node), which is killed.
    env = dict(os.environ)
    c = AioMysqlConnector(loop, hosts=hosts, checkInterval=0.3, maxsize=args.writers + 2, **login)
    await prepare(c, args.writers)

    async def kill():
        await asyncio.to_thread(subprocess.run, [SCRIPT, "kill", "1"], check=True, env=env)
        return loop.time()

    acked, failed, killed_at = await load(c, args.writers, args.seconds * 2, kill)
    await c.close()
    after = [t for t in acked if t > killed_at]
    started = time.monotonic()
    await asyncio.to_thread(subprocess.run, [SCRIPT, "restart", "1"], check=True, env=env,
                            stdout=subprocess.DEVNULL)
    rejoin = time.monotonic() - started

    print("| work sent to | commits/s | failed |")
    print("|---|---|---|")
    for label, rate, failed_n in rows:
        print("| %s | %.0f | %d |" % (label, rate, failed_n))
    print()
    if after:
        print("failover: first acknowledged commit %.2f s after node 1 was killed (%d transactions failed meanwhile)"
              % (after[0] - killed_at, failed))
    else:
        print("failover: no commit after the kill")
    print("node 1 restarted and synced again in %.1f s" % rejoin)


if __name__ == "__main__":
    p = argparse.ArgumentParser()
    p.add_argument("--seconds", type=float, default=5.0)
    p.add_argument("--writers", type=int, default=10)
    asyncio.run(main(p.parse_args()))
