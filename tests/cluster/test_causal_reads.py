"""causalReads: a read on one node right after a commit on another sees it."""
import asyncio

from Tavrik.DB.Connector import AioMysqlConnector


async def test_read_on_another_node_sees_the_commit(cluster):
    await cluster.run(1, "CREATE TABLE cr (id INT PRIMARY KEY, payload VARCHAR(200))")
    loop = asyncio.get_running_loop()
    writer = AioMysqlConnector(loop, hosts=[cluster.address(1)], autocommit=False, **cluster.login)
    reader = AioMysqlConnector(loop, hosts=[cluster.hosts[1]], causalReads=True, autocommit=False, **cluster.login)

    async def write(i):
        async with writer.transaction():
            await writer.execute("INSERT INTO cr VALUES (%s, REPEAT('x', 200))", args=(i,))

    try:
        for i in range(40):
            await loop.create_task(write(i))
            got = await loop.create_task(reader.execute("SELECT id FROM cr WHERE id = %s", args=(i,)))
            assert got == ((i,),)
    finally:
        await writer.close()
        await reader.close()
