"""connector.transaction(): the block's commit happens before the block is
left, a failed commit is raised there, an exception or a cancellation rolls
the block back; locking reads (forUpdate) for read-modify-write.  Whole
programs in a fresh interpreter, on aiosqlite and on MySQL; the database is
checked through a connection of the program's or the test's own."""
import pytest

from Tavrik.DB.Generator import SqlGenerator
from tests.asyncprograms import make_road


@pytest.fixture(params=["aiosqlite", "mysql", "postgresql"])
def road(request, tmp_path):
    dsn = request.getfixturevalue("pg_dsn") if request.param == "postgresql" else None
    return make_road(request.param, tmp_path, dsn)


def test_block_commits_on_exit_and_rolls_back_on_error_or_cancellation(road):
    proc = road.program('''
        async def cancelled_block(c, entered):
            async with c.transaction() as con:
                await Item.getExecutor(con).save(Item(name="cancelled"))
                entered.set()
                await asyncio.sleep(3600)

        async def main():
            c = make_connector()
            DB.create(c)
            async with c.transaction() as con:
                # Executors made with the block's connection, and without one,
                # run in the block's transaction.
                await Item.getExecutor(con).save(Item(name="with con"))
                await Item.getExecutor().save(Item(name="without con"))
                print("inside", peek("SELECT count(*) FROM p_item")[0][0])
            print("after", peek("SELECT count(*) FROM p_item")[0][0])
            try:
                async with c.transaction() as con:
                    await Item.getExecutor(con).save(Item(name="failed"))
                    raise LookupError("no")
            except LookupError:
                print("raised, committed:", peek("SELECT count(*) FROM p_item")[0][0])
            entered = asyncio.Event()
            t = asyncio.create_task(cancelled_block(c, entered))
            await entered.wait()
            t.cancel()
            try:
                await t
            except asyncio.CancelledError:
                # Rolled back before the task ended, not merely at its release.
                print("cancelled, committed:", peek("SELECT count(*) FROM p_item")[0][0])
        asyncio.run(main())
    ''')
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "inside 0\nafter 2\nraised, committed: 2\ncancelled, committed: 2\n"
    assert "Traceback" not in proc.stderr and "ERROR" not in proc.stderr, proc.stderr
    assert sorted(road.rows("SELECT name FROM p_item")) == [("with con",), ("without con",)]


def test_inner_block_is_part_of_the_outer_transaction(road):
    proc = road.program('''
        async def main():
            c = make_connector()
            DB.create(c)
            try:
                async with c.transaction() as outer:
                    async with c.transaction() as inner:
                        print("same connection:", inner is outer)
                        await Item.getExecutor(inner).save(Item(name="inner"))
                    print("after inner:", peek("SELECT count(*) FROM p_item")[0][0])
                    raise LookupError("outer fails")
            except LookupError:
                pass
        asyncio.run(main())
    ''')
    assert proc.returncode == 0 and proc.stdout == "same connection: True\nafter inner: 0\n", proc.stderr
    assert road.rows("SELECT count(*) FROM p_item") == [(0,)]


def test_failed_commit_is_raised_to_the_blocks_caller(road):
    # SQLite: a deferred foreign key fails only at COMMIT.  MySQL and
    # PostgreSQL: the connection is killed before the block ends.
    proc = road.program('''
        async def main():
            c = make_connector()
            DB.create(c)
            if ROAD == "aiosqlite":
                s = sqlite3.connect(TARGET)
                s.executescript("CREATE TABLE p (id INTEGER PRIMARY KEY);"
                                "CREATE TABLE ch (pid INTEGER REFERENCES p(id) DEFERRABLE INITIALLY DEFERRED);")
                s.close()
            try:
                async with c.transaction() as con:
                    if ROAD == "aiosqlite":
                        await con.execute("PRAGMA foreign_keys = ON")  # (outside a transaction only)
                    await Item.getExecutor(con).save(Item(name="lost"))
                    if ROAD == "aiosqlite":
                        await c.execute("INSERT INTO ch (pid) VALUES (%s)", con, args=(5,))
                    elif ROAD == "postgresql":
                        peek("SELECT pg_terminate_backend(%d)" % con.raw.get_server_pid())
                    else:
                        peek("KILL %d" % con.thread_id())
            except Exception as e:
                # MySQL: the lost connection is told apart from the client's
                # other errors, and is still one of them.
                import pymysql
                print("commit failed:", type(e).__name__, isinstance(e, pymysql.err.OperationalError))
            else:
                print("no error")
        asyncio.run(main())
    ''')
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == {"aiosqlite": "commit failed: IntegrityError False\n",
                           "postgresql": "commit failed: ConnectionDoesNotExistError False\n"}.get(
                               road.kind, "commit failed: NodeLost True\n"), proc.stderr
    assert road.rows("SELECT count(*) FROM p_item") == [(0,)]


def test_locking_reads_lose_no_increment(road):
    # 25 tasks x 20 read-modify-write increments of one counter.
    proc = road.program('''
        async def worker():
            c = DB.getInstance().connector
            for _ in range(20):
                async with c.transaction() as con:
                    ex = Counter.getExecutor(con)
                    row = await ex.findOneBy(Counter.id == 1, forUpdate=True)
                    row.n = row.n + 1
                    await ex.update(row)

        async def main():
            DB.create(make_connector())
            await asyncio.gather(*(asyncio.create_task(worker()) for _ in range(25)))
        asyncio.run(main())
    ''', timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert road.rows("SELECT n FROM p_counter WHERE id = 1") == [(500,)]


def test_for_update_ends_the_selection_after_its_limit():
    from tests.models import User

    g = SqlGenerator(User).select(User.name).where(User.id == 1).Limit(1).forUpdate()
    text, params = g.statementPair()
    assert text.endswith(" LIMIT %s OFFSET %s FOR UPDATE") and params == (1, 1, 0)
    assert not SqlGenerator(User).select().statementPair()[0].endswith("FOR UPDATE")


def test_for_update_is_accepted_and_changes_nothing_on_sqlite(sqlite_db):
    from tests.models import User

    users = User.getExecutor()
    saved = users.save(User(name="ann"))
    assert [u.name for u in users.findAllBy(User.id == saved.id, forUpdate=True)] == ["ann"]
    assert users.findOneBy(User.name == "ann", forUpdate=True).id == saved.id
    assert [u.id for u in users.findAnyMatch(User(name="ann", check=False), 1, 0, forUpdate=True)] == [saved.id]
