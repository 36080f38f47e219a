"""Tasks that share a connector or a connection: a task that only reads holds
no lock, writers take SQLite's write lock in arrival order, statements on one
connection take turns, a transaction() block's connection refuses work once
its block has ended, and nested blocks are savepoints.  Whole programs in a
fresh interpreter; the database is checked through a connection of the
test's own.  The order in which a connection's gate lets tasks through, with
waiters cut, is checked on the gate itself."""
import asyncio

import pytest

from Tavrik.DB._async_tx import Gate
from tests.asyncprograms import make_road


@pytest.fixture(params=["aiosqlite", "mysql", "postgresql"])
def road(request, tmp_path):
    dsn = request.getfixturevalue("pg_dsn") if request.param == "postgresql" else None
    return make_road(request.param, tmp_path, dsn)


@pytest.fixture
def sqlite_road(tmp_path):
    return make_road("aiosqlite", tmp_path)


def test_a_long_lived_reading_task_locks_no_writer_out(sqlite_road):
    # A service's lifespan reads once and lives on; a background loop keeps
    # reading; writer tasks come and go meanwhile.
    proc = sqlite_road.program('''
        async def lifespan(started, stop):
            print("at start:", await Item.getExecutor().count())
            started.set()
            await stop.wait()

        async def poller(stop):
            while not stop.is_set():
                await Item.getExecutor().count()
                await asyncio.sleep(0.005)

        async def request(i):
            await Item.getExecutor().save(Item(name="r%d" % i))

        async def main():
            DB.create(make_connector())
            started, stop = asyncio.Event(), asyncio.Event()
            life = asyncio.create_task(lifespan(started, stop))
            await started.wait()
            poll = asyncio.create_task(poller(stop))
            for i in range(10):
                await asyncio.create_task(request(i))
            while DB.getInstance().connector.boundConnections > 2:
                await asyncio.sleep(0.01)
            print("committed:", peek("SELECT count(*) FROM p_item")[0][0])
            stop.set()
            await asyncio.gather(life, poll)
        asyncio.run(main())
    ''')
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "at start: 0\ncommitted: 10\n", proc.stderr
    assert sqlite_road.rows("SELECT count(*) FROM p_item") == [(10,)]


def test_locking_reads_in_plain_tasks_lose_no_increment(road):
    # Each task reads the counter with forUpdate=True, then writes it back:
    # on SQLite the read begins the task's write transaction.
    proc = road.program('''
        async def bump():
            ex = Counter.getExecutor()
            row = await ex.findOneBy(Counter.id == 1, forUpdate=True)
            await asyncio.sleep(0)  # let the other tasks run in between
            row.n = row.n + 1
            await ex.update(row)

        async def main():
            DB.create(make_connector())
            await asyncio.gather(*(asyncio.create_task(bump()) for _ in range(20)))
        asyncio.run(main())
    ''')
    assert proc.returncode == 0, proc.stderr
    assert road.rows("SELECT n FROM p_counter WHERE id = 1") == [(20,)]


def test_a_writer_that_times_out_is_told_what_holds_the_lock(sqlite_road):
    proc = sqlite_road.program('''
        import Tavrik.DB._aio_connectors as connectors
        connectors._BUSY_TIMEOUT = 0.5   # the 30 s wait, shortened for the test

        async def child():
            await Item.getExecutor().save(Item(name="child"))

        async def main():
            DB.create(make_connector())
            # main has written, so it holds the write lock while it awaits
            # a child task that writes.
            await Item.getExecutor().save(Item(name="main"))
            try:
                await asyncio.create_task(child(), name="child")
            except sqlite3.OperationalError as e:
                print("own task:", "本连接器的任务" in str(e) and "main" in str(e))

        async def outsider():
            other = sqlite3.connect(TARGET, isolation_level=None)
            other.execute("BEGIN IMMEDIATE")
            DB.create(make_connector())
            try:
                await Item.getExecutor().save(Item(name="blocked"))
            except sqlite3.OperationalError as e:
                print("other connection:", "另一个数据库链接" in str(e))
            other.execute("ROLLBACK")

        asyncio.run(main())
        DB.drop()
        asyncio.run(outsider())
    ''')
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "own task: True\nother connection: True\n", proc.stderr
    assert sqlite_road.rows("SELECT name FROM p_item") == [("main",)]


def test_fifty_writers_are_served_in_arrival_order(sqlite_road):
    # 50 requests at once, each one write in a task of its own.  The first 20
    # open their connections together (the connector's 20 slots), so their
    # order among themselves is open; beyond that, no request is overtaken by
    # more than that many later ones.
    proc = sqlite_road.program('''
        written = []

        async def request(i):
            await Item.getExecutor().save(Item(name="w%d" % i))
            written.append(i)

        async def main():
            DB.create(make_connector())
            await asyncio.gather(*(asyncio.create_task(request(i)) for i in range(50)))
            print("overtaken by at most:", max(abs(rank - i) for rank, i in enumerate(written)))
        asyncio.run(main())
    ''')
    assert proc.returncode == 0, proc.stderr
    assert int(proc.stdout.split(":")[1]) < 20, proc.stdout
    assert sqlite_road.rows("SELECT count(*) FROM p_item") == [(50,)]


def test_a_transaction_connection_refuses_work_after_its_block(road):
    proc = road.program('''
        async def later(con):
            return await Item.getExecutor(con).save(Item(name="other task"))

        async def main():
            c = make_connector()
            DB.create(c)
            async with c.transaction() as con:
                await Item.getExecutor(con).save(Item(name="in block"))
            attempts = [
                lambda: Item.getExecutor(con).save(Item(name="after")),
                lambda: Item.getExecutor(con).count(),
                lambda: c.execute("SELECT 1", con),
                lambda: asyncio.create_task(later(con)),
                lambda: con.cursor(),  # the driver's own calls too
            ]
            for attempt in attempts:
                try:
                    await attempt()
                    print("ran")
                except RuntimeError as e:
                    print("refused", "已经结束的transaction()" in str(e))
            # The task's own connection still works.
            await Item.getExecutor().save(Item(name="own"))
        asyncio.run(main())
    ''')
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "refused True\n" * 5, proc.stderr
    assert sorted(road.rows("SELECT name FROM p_item")) == [("in block",), ("own",)]


def test_tasks_sharing_one_connection_take_turns(road):
    proc = road.program('''
        async def worker(con, i):
            ex = Item.getExecutor(con)
            await ex.save(Item(name="t%d" % i))
            # (PostgreSQL types a parameter by where it stands: here, nowhere)
            await c.execute("SELECT %s::int" if ROAD == "postgresql" else "SELECT %s", con, args=(i,))
            return await ex.count()

        async def main():
            global c
            c = make_connector()
            DB.create(c)
            con = await c.getCon()
            counts = await asyncio.gather(*(asyncio.create_task(worker(con, i)) for i in range(4)),
                                          return_exceptions=True)
            print("counts:", sorted(counts))
            print("on con:", await Item.getExecutor(con).count())
        asyncio.run(main())
    ''')
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines()[1] == "on con: 4", proc.stdout + proc.stderr
    counts = proc.stdout.splitlines()[0]
    assert "Error" not in counts and all(1 <= int(n) <= 4 for n in counts[len("counts: ["):-1].split(", "))
    assert "ERROR" not in proc.stderr and "Traceback" not in proc.stderr, proc.stderr
    assert road.rows("SELECT count(*) FROM p_item") == [(4,)]


@pytest.mark.parametrize("cut, expected", [
    (None, [0, 1, 2, 3, "again"]),
    ("queued", [0, 1, 3, "again"]),    # task 2 cancelled in the queue
    ("leaving", [0, 2, 3, "again"]),   # task 1 cancelled as the holder leaves
    ("handed", [0, 2, 3, "again"]),    # task 1 cancelled once handed the gate
])
async def test_a_gate_lets_waiters_through_in_arrival_order(cut, expected):
    gate, order = Gate(), []
    inside = peak = 0
    release = asyncio.Event()

    async def statement(i):
        nonlocal inside, peak
        async with gate:
            order.append(i)
            inside += 1
            peak = max(peak, inside)
            await asyncio.sleep(0)
            inside -= 1

    async def holder():
        async with gate:
            order.append(0)
            await release.wait()
        if cut == "handed":
            waiters[0].cancel()  # before task 1 has run again
        # Back at once: behind every waiter, not ahead of them.
        await statement("again")

    first = asyncio.create_task(holder())
    await asyncio.sleep(0)
    waiters = [asyncio.create_task(statement(i)) for i in (1, 2, 3)]
    await asyncio.sleep(0)
    if cut == "queued":
        waiters[1].cancel()
        await asyncio.sleep(0)
    release.set()
    if cut == "leaving":
        waiters[0].cancel()  # its wake-up comes after the holder's
    # All of it runs in the loop without I/O: a few dozen turns are ample, and
    # a gate that was lost leaves its waiters pending instead of hanging here.
    for _ in range(50):
        await asyncio.sleep(0)
    pending = [t for t in (first, *waiters) if not t.done()]
    for t in pending:
        t.cancel()
    assert not pending
    results = await asyncio.gather(first, *waiters, return_exceptions=True)
    assert order == expected
    assert peak == 1
    assert [type(r) for r in results].count(asyncio.CancelledError) == (cut is not None)
    assert not gate.held


def test_nested_blocks_are_savepoints(road):
    proc = road.program('''
        calls = []

        async def failing(con):
            calls.append(1)
            await Item.getExecutor(con).save(Item(name="run once"))
            raise LookupError("inner fails")

        async def main():
            c = make_connector()
            DB.create(c)
            # The outer block has only read when the inner one writes.
            async with c.transaction() as con:
                await Item.getExecutor(con).count()
                try:
                    async with c.transaction() as inner:
                        await Item.getExecutor(inner).save(Item(name="first write, undone"))
                        raise LookupError("inner fails")
                except LookupError:
                    pass
                await Item.getExecutor(con).save(Item(name="after a failed first"))
            async with c.transaction() as con:
                await Item.getExecutor(con).save(Item(name="outer"))
                async with c.transaction() as inner:
                    await Item.getExecutor(inner).save(Item(name="inner kept"))
                try:
                    async with c.transaction() as inner:
                        await Item.getExecutor(inner).save(Item(name="inner undone"))
                        raise LookupError("inner fails")
                except LookupError:
                    pass
                try:
                    await c.runTransaction(failing)
                except LookupError:
                    pass
                print("seen in block:", sorted(r.name for r in await Item.getExecutor(con).findAllBy()))
        asyncio.run(main())
        print("calls:", len(calls))
    ''')
    assert proc.returncode == 0, proc.stderr
    kept = ["after a failed first", "inner kept", "outer"]
    assert proc.stdout == "seen in block: %r\ncalls: 1\n" % (kept,), proc.stderr
    assert sorted(r[0] for r in road.rows("SELECT name FROM p_item")) == kept
