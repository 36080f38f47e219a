"""The private Galera cluster of `make test-cluster` (TAVRIK_GALERA_* in the
environment): its nodes, a way to kill and restart them, and connections to
one node at a time for checking what it holds."""
import asyncio
import os
import subprocess
from pathlib import Path

import aiomysql
import pytest

SCRIPT = Path(__file__).resolve().parents[2] / "tools" / "galera_cluster.sh"


class Cluster:
    def __init__(self):
        self.hosts = [(h.rpartition(":")[0], int(h.rpartition(":")[2]))
                      for h in os.environ["TAVRIK_GALERA_HOSTS"].split(",")]
        self.login = dict(user=os.environ["TAVRIK_GALERA_USER"], password=os.environ["TAVRIK_GALERA_PASSWORD"],
                          db=os.environ["TAVRIK_GALERA_DB"])

    def address(self, n):
        """"host:port" of node n (1..3)."""
        return "%s:%d" % self.hosts[n - 1]

    def script(self, *args, timeout=120):
        """Runs tools/galera_cluster.sh on this cluster (blocking: call it
        through asyncio.to_thread from a running loop)."""
        proc = subprocess.run([str(SCRIPT), *map(str, args)], capture_output=True, text=True, timeout=timeout,
                              env=dict(os.environ))
        assert proc.returncode == 0, proc.stderr
        return proc.stdout

    def down(self):
        """The numbers of the nodes that are not running."""
        return [int(line.split()[0][4:]) for line in self.script("status").splitlines() if line.endswith(" down")]

    async def node(self, n):
        """A connection to node n alone, whose reads wait for the cluster's
        earlier writes."""
        host, port = self.hosts[n - 1]
        con = await aiomysql.connect(host=host, port=port, autocommit=True, **self.login)
        async with con.cursor() as cur:
            await cur.execute("SET SESSION wsrep_sync_wait = 1")
        return con

    async def rows(self, n, sql, args=()):
        con = await self.node(n)
        try:
            async with con.cursor() as cur:
                await cur.execute(sql, args)
                return await cur.fetchall()
        finally:
            con.close()

    async def run(self, n, *statements):
        con = await self.node(n)
        try:
            async with con.cursor() as cur:
                for s in statements:
                    await cur.execute(s)
        finally:
            con.close()


@pytest.fixture
async def cluster():
    """The cluster with its three nodes running and the test schema empty."""
    if not os.environ.get("TAVRIK_GALERA_HOSTS"):
        pytest.skip("no cluster: run these through `make test-cluster`")
    c = Cluster()
    for n in await asyncio.to_thread(c.down):
        await asyncio.to_thread(c.script, "restart", n)
    names = [r[0] for r in await c.rows(
        1, "SELECT TABLE_NAME FROM information_schema.TABLES WHERE TABLE_SCHEMA = %s", (c.login["db"],))]
    await c.run(1, *["DROP TABLE `%s`" % name.replace("`", "``") for name in names])
    return c
