"""AioSqliteConnector on real SQLite files: one connection and one
transaction per asyncio task, the limit of 20 task connections, releases
of failed and cancelled tasks, and the DB handle on top of it."""
import asyncio
import gc
import logging
import sqlite3

import pytest

from Tavrik.DB.Connector import AioSqliteConnector
from Tavrik.DB.DB import DB
from Tavrik.Ext import generate_table
from tests.asynctools import bound, installed, run, settle

HOSTILE = ['x"; DROP TABLE t;--', "a`b", "it's", 'say "hi"', "nul\x00byte", "line\nbreak", "order", "desc", "%s"]
EXECUTOR_MSG = "需要传入executor参数,且必须为AsyncModelExecutor实例"


def committed(db_path, sql, args=()):
    """Reads through a connection of its own: sees only committed data."""
    c = sqlite3.connect(db_path)
    try:
        return c.execute(sql, args).fetchall()
    finally:
        c.close()


@pytest.fixture
async def aconn(db_path):
    s = sqlite3.connect(db_path)
    s.execute("CREATE TABLE t (id INTEGER PRIMARY KEY, name TEXT, n INTEGER)")
    s.commit()
    s.close()
    c = AioSqliteConnector(asyncio.get_running_loop(), path=db_path, showLog=False)
    yield c
    await c.close()


@pytest.fixture
async def handle(aconn):
    """The connector installed as the DB handle, with the shared models' tables."""
    async with installed(aconn) as c:
        yield c


# ---------------------------------------------------------------- construction


class TestConstruction:
    def test_needs_no_running_loop(self, db_path):
        loop = asyncio.new_event_loop()
        try:
            c = AioSqliteConnector(loop, path=db_path)
            assert (c.isAsync, c.isReady, c.paramsHolder, c.autoFiledAnnounce(None)) == (True, True, "?", "INTEGER ")
            c2 = AioSqliteConnector(loop=loop, path=None, showLog=False)
            assert c2.isReady is True
        finally:
            loop.close()

    @pytest.mark.parametrize("args", [(), (1, 2)])
    def test_exactly_one_loop(self, args):
        msg = r"^__init__\(\) takes exactly 1 positional argument \(%d given\)$" % len(args)
        with pytest.raises(TypeError, match=msg):
            AioSqliteConnector(*args)

    def test_path_type(self):
        with pytest.raises(TypeError, match=r"^Argument 'path' has incorrect type \(expected str, got int\)$"):
            AioSqliteConnector(None, path=1)

    def test_init_sqlite_arguments(self, db_path):
        c = AioSqliteConnector(None, path=db_path)
        with pytest.raises(TypeError, match=r"^init_sqlite\(\) takes at most 2 positional arguments \(3 given\)$"):
            c.init_sqlite(db_path, True, 3)
        with pytest.raises(TypeError, match=r"^init_sqlite\(\) got an unexpected keyword argument 'bogus'$"):
            AioSqliteConnector(None, path=db_path, bogus=1)

    def test_subclass_init_sqlite_receives_the_keywords(self):
        seen = []

        class Mine(AioSqliteConnector):
            def init_sqlite(self, **kw):
                seen.append(kw)

        c = Mine(None, path="x", extra=1)
        assert seen == [{"path": "x", "extra": 1}] and c.isReady is False and c.isAsync is True

    def test_release_docstring(self):
        assert AioSqliteConnector.releaseCon.__doc__ == "\n            task call back\n        "


# ----------------------------------------------------------------- statements


class TestExecute:
    async def test_rows(self, aconn):
        async def body():
            await aconn.execute("INSERT INTO t (name, n) VALUES (%s, %s), (%s, %s)", args=("a", 1, "b", 2))
            return (await aconn.execute("SELECT name, n FROM t ORDER BY id"),
                    await aconn.execute("SELECT name, n FROM t ORDER BY id", dictCur=True),
                    await aconn.execute("SELECT * FROM t WHERE n > 5"))

        rows, dicts, empty = await run(body)
        assert rows == (("a", 1), ("b", 2))
        assert dicts == [{"name": "a", "n": 1}, {"name": "b", "n": 2}]
        assert empty == ()

    @pytest.mark.parametrize(
        "kwargs, msg",
        [(dict(sql=1), r"^Argument 'sql' has incorrect type \(expected str, got int\)$"),
         (dict(sql="SELECT 1", args=[1]), r"^Argument 'args' has incorrect type \(expected tuple, got list\)$")],
    )
    def test_argument_errors(self, aconn, kwargs, msg):
        with pytest.raises(TypeError, match=msg):
            aconn.execute(**kwargs)

    async def test_none_sql(self, aconn):
        with pytest.raises(AttributeError, match=r"^'NoneType' object has no attribute 'replace'$"):
            await run(aconn.execute, None)

    async def test_args_none(self, aconn):
        assert await run(lambda: aconn.execute("SELECT 3", args=None)) == ((3,),)

    @pytest.mark.parametrize("value", HOSTILE)
    async def test_hostile_values_are_data(self, aconn, value, db_path):
        async def body():
            await aconn.execute("INSERT INTO t (name) VALUES (%s)", args=(value,))
            return await aconn.execute("SELECT name FROM t WHERE name = %s", args=(value,))

        assert await run(body) == ((value,),)
        await settle(aconn)
        assert committed(db_path, "SELECT name FROM t") == [(value,)]

    async def test_waits_until_ready(self, aconn):
        aconn.isReady = False
        t = run(aconn.execute, "SELECT 1")
        await asyncio.sleep(0.4)
        assert not t.done()
        aconn.isReady = True
        assert await t == ((1,),)

    async def test_log_line_shows_the_statement_before_replacement(self, db_path, caplog):
        c = AioSqliteConnector(asyncio.get_running_loop(), path=db_path)
        try:
            with caplog.at_level(logging.INFO):
                await run(c.execute, "SELECT %s", None, False, (1,))
            lines = [(r.name, r.levelno, r.getMessage()) for r in caplog.records]
            assert ("root", logging.INFO, "SELECT %s || params=(1,)") in lines
        finally:
            await c.close()

    async def test_table_names(self, db_path):
        c = AioSqliteConnector(asyncio.get_running_loop(), path=db_path, showLog=False)
        try:
            assert await run(c.getTableNameList) == []
            s = sqlite3.connect(db_path)
            for name in ("b", "a", "order"):
                s.execute('CREATE TABLE "%s" (x)' % name)
            s.commit()
            s.close()
            assert await run(c.getTableNameList) == ["b", "a", "order"]
        finally:
            await c.close()


# ------------------------------------------------------------ task transactions


class TestTaskTransactions:
    async def test_one_connection_per_task_invisible_until_the_task_ends(self, aconn, db_path):
        seen = {}

        async def body():
            first = await aconn.getCon()
            async with aconn.getCon() as entered:
                pass
            await aconn.execute("INSERT INTO t (name) VALUES ('a')")
            await aconn.execute("INSERT INTO t (name) VALUES ('b')")
            seen["same"] = first is entered is await aconn.getCon()
            seen["mid"] = committed(db_path, "SELECT count(*) FROM t")
            seen["own"] = await aconn.execute("SELECT count(*) FROM t")

        await run(body)
        assert seen == {"same": True, "mid": [(0,)], "own": ((2,),)}
        await settle(aconn)
        assert committed(db_path, "SELECT name FROM t ORDER BY id") == [("a",), ("b",)]

    async def test_different_tasks_get_different_connections(self, aconn):
        async def grab():
            return await aconn.getCon()

        a, b = await asyncio.gather(run(grab), run(grab))
        assert a is not b

    async def test_task_raising_after_insert_leaves_no_row(self, aconn, db_path):
        async def body():
            await aconn.execute("INSERT INTO t (name) VALUES ('a')")
            raise ValueError("boom")

        with pytest.raises(ValueError):
            await run(body)
        await settle(aconn)
        assert committed(db_path, "SELECT count(*) FROM t") == [(0,)]

    async def test_exception_that_is_falsy_still_rolls_back(self, aconn, db_path):
        class Empty(Exception):
            def __bool__(self):
                return False

        async def body():
            await aconn.execute("INSERT INTO t (name) VALUES ('a')")
            raise Empty()

        with pytest.raises(Empty):
            await run(body)
        await settle(aconn)
        assert committed(db_path, "SELECT count(*) FROM t") == [(0,)]

    async def test_caught_statement_error_keeps_the_rest(self, aconn, db_path):
        async def body():
            await aconn.execute("INSERT INTO t (name) VALUES ('kept')")
            with pytest.raises(sqlite3.OperationalError):
                await aconn.execute("SELECT * FROM nowhere")

        await run(body)
        await settle(aconn)
        assert committed(db_path, "SELECT name FROM t") == [("kept",)]

    async def test_async_with_exit_leaves_the_transaction_to_the_task(self, aconn, db_path):
        seen = {}

        async def body():
            async with aconn.getCon() as con:
                await aconn.execute("INSERT INTO t (name) VALUES ('a')", con)
            seen["after_exit"] = committed(db_path, "SELECT count(*) FROM t")
            seen["open"] = con.in_transaction

        await run(body)
        await settle(aconn)
        assert seen == {"after_exit": [(0,)], "open": True}
        assert committed(db_path, "SELECT count(*) FROM t") == [(1,)]

    async def test_map_does_not_grow(self, aconn):
        async def body(i):
            await aconn.execute("INSERT INTO t (n) VALUES (%s)", args=(i,))

        for chunk in range(3):
            await asyncio.gather(*(run(body, chunk * 10 + i) for i in range(10)))
        await settle(aconn)
        assert bound(aconn) == 0


class TestSharedConnections:
    @pytest.mark.parametrize("sql, writes", [
        ("SELECT count(*) FROM t", False),
        ("  -- a note\n /* and one more */ select 1", False),
        ("SELECT\n1", False),
        ("WITH x AS (SELECT 1) SELECT * FROM x", True),
        ("INSERT INTO t (name, n) VALUES ('a', 1)", True),
        ("PRAGMA user_version = 3", True),
        ("selected_view", True),
    ])
    async def test_only_clear_reads_of_hand_written_sql_leave_the_task_without_a_transaction(self, aconn, sql, writes):
        async def body():
            try:
                await aconn.execute(sql)
            except Exception:  # noqa: BLE001  (what matters is whether it began the transaction)
                pass
            return (await aconn.getCon()).in_transaction

        assert await run(body) is writes

    async def test_statements_of_one_connection_never_overlap(self, aconn):
        # aiosqlite's own thread runs one call at a time; a statement is several
        # calls (BEGIN, execute, fetch), which the tasks must not interleave.
        async def body():
            con = await aconn.getCon()

            async def share(i):
                await aconn.execute("INSERT INTO t (name, n) VALUES (%s, %s)", con, args=("s", i))
                return await aconn.execute("SELECT count(*) FROM t", con)

            return await asyncio.gather(*(share(i) for i in range(8)))

        results = await run(body)
        assert all(1 <= r[0][0] <= 8 for r in results)


class TestConnectionLimit:
    async def test_21st_task_waits_for_a_free_slot(self, aconn, db_path):
        holding, release = [], asyncio.Event()

        async def holder(i):
            await aconn.getCon()
            holding.append(i)
            await release.wait()
            await aconn.execute("INSERT INTO t (n) VALUES (%s)", args=(i,))

        holders = [run(holder, i) for i in range(20)]
        while len(holding) < 20:
            await asyncio.sleep(0.01)
        late = run(aconn.execute, "INSERT INTO t (n) VALUES (99)")
        await asyncio.sleep(0.4)
        assert not late.done() and bound(aconn) == 20
        release.set()
        await asyncio.gather(*holders, late)
        await settle(aconn)
        assert committed(db_path, "SELECT count(*) FROM t") == [(21,)]

    async def test_limit_holds_when_tasks_ask_at_the_same_moment(self, aconn):
        got, release = [], asyncio.Event()

        async def grab(i):
            await aconn.getCon()
            got.append(i)
            await release.wait()

        tasks = [run(grab, i) for i in range(25)]
        await asyncio.sleep(0.4)
        assert len(got) == 20
        release.set()
        await asyncio.gather(*tasks)
        assert len(got) == 25


class TestCancellation:
    async def test_cancelled_task_is_rolled_back_and_released(self, aconn, db_path):
        inserted = asyncio.Event()

        async def body():
            await aconn.execute("INSERT INTO t (name) VALUES ('a')")
            inserted.set()
            await asyncio.Event().wait()

        t = run(body)
        await inserted.wait()
        t.cancel()
        with pytest.raises(asyncio.CancelledError):
            await t
        await settle(aconn)
        assert committed(db_path, "SELECT count(*) FROM t") == [(0,)]

    async def test_cancel_mid_statement_leaks_nothing(self, aconn, db_path):
        started = asyncio.Event()
        slow = ("WITH RECURSIVE r(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM r WHERE i < 3000000) "
                "SELECT count(*) FROM r")

        async def body():
            await aconn.execute("INSERT INTO t (name) VALUES ('partial')")
            started.set()
            await aconn.execute(slow)

        t = run(body)
        await started.wait()
        await asyncio.sleep(0.05)
        t.cancel()
        with pytest.raises(asyncio.CancelledError):
            await t
        await settle(aconn)
        assert committed(db_path, "SELECT count(*) FROM t") == [(0,)]
        # The write lock is free again: another task can write at once.
        await run(aconn.execute, "INSERT INTO t (name) VALUES ('next')")
        await settle(aconn)
        assert committed(db_path, "SELECT name FROM t") == [("next",)]

    async def test_cancelled_while_waiting_for_a_slot(self, aconn):
        release = asyncio.Event()

        async def holder():
            await aconn.getCon()
            await release.wait()

        holders = [run(holder) for _ in range(20)]
        await asyncio.sleep(0.1)
        async def wait_for_slot():
            return await aconn.getCon()

        waiting = run(wait_for_slot)
        await asyncio.sleep(0.15)
        waiting.cancel()
        with pytest.raises(asyncio.CancelledError):
            await waiting
        release.set()
        await asyncio.gather(*holders)
        await settle(aconn)
        # No slot was lost to the cancelled wait: 20 can be held again.
        got = []
        release2 = asyncio.Event()

        async def grab():
            await aconn.getCon()
            got.append(1)
            await release2.wait()

        tasks = [run(grab) for _ in range(20)]
        while len(got) < 20:
            await asyncio.sleep(0.01)
        release2.set()
        await asyncio.gather(*tasks)


class TestFailingRelease:
    async def test_failed_commit_is_logged_reported_and_forgotten(self, aconn, db_path, caplog):
        s = sqlite3.connect(db_path)
        s.executescript("CREATE TABLE p (id INTEGER PRIMARY KEY);"
                        "CREATE TABLE c (pid INTEGER REFERENCES p(id) DEFERRABLE INITIALLY DEFERRED);")
        s.close()
        reported = []
        loop = asyncio.get_running_loop()
        loop.set_exception_handler(lambda _loop, context: reported.append(context))

        async def body():
            con = await aconn.getCon()
            await con.execute("PRAGMA foreign_keys = ON")
            await aconn.execute("INSERT INTO c (pid) VALUES (%s)", args=(5,))

        try:
            with caplog.at_level(logging.ERROR, logger="Tavrik.DB"):
                await run(body)  # the task itself ends normally; its commit fails
                await settle(aconn)
                for _ in range(5):
                    gc.collect()
                    await asyncio.sleep(0)
        finally:
            loop.set_exception_handler(None)
        errors = [r for r in caplog.records if r.name == "Tavrik.DB" and r.levelno == logging.ERROR]
        assert len(errors) == 1
        text = errors[0].getMessage()
        assert "INSERT INTO c (pid) VALUES (?)" in text and "params=(5,)" in text and "FOREIGN KEY" in text
        assert any(isinstance(ctx.get("exception"), sqlite3.IntegrityError) for ctx in reported)
        assert committed(db_path, "SELECT count(*) FROM c") == [(0,)]


class TestClose:
    async def test_close_rolls_back_and_closes_connections_of_running_tasks(self, db_path):
        c = AioSqliteConnector(asyncio.get_running_loop(), path=db_path, showLog=False)
        s = sqlite3.connect(db_path)
        s.execute("CREATE TABLE t (name TEXT)")
        s.commit()
        s.close()
        inserted, box = asyncio.Event(), {}

        async def body():
            box["con"] = await c.getCon()
            await c.execute("INSERT INTO t VALUES ('x')")
            inserted.set()
            await asyncio.Event().wait()

        t = run(body)
        await inserted.wait()
        await c.close(timeout=0.2)  # the task does not end: its transaction is rolled back
        assert bound(c) == 0
        with pytest.raises(ValueError):
            await box["con"].execute("SELECT 1")
        t.cancel()
        with pytest.raises(asyncio.CancelledError):
            await t
        assert committed(db_path, "SELECT count(*) FROM t") == [(0,)]

    async def test_close_closes_every_connection_when_one_fails(self, db_path):
        c = AioSqliteConnector(asyncio.get_running_loop(), path=db_path, showLog=False)
        ready, cons = [asyncio.Event(), asyncio.Event()], {}

        async def body(i):
            cons[i] = await c.getCon()
            ready[i].set()
            await asyncio.Event().wait()

        tasks = []
        for i in range(2):
            tasks.append(run(body, i))
            await ready[i].wait()
        await cons[0].close()  # closed by hand: its rollback at close() fails, and needs nothing more
        await c.close(timeout=0.2)
        assert bound(c) == 0
        with pytest.raises(ValueError):  # the other one was still closed
            await cons[1].execute("SELECT 1")
        for t in tasks:
            t.cancel()
        await asyncio.gather(*tasks, return_exceptions=True)


# ----------------------------------------------------------- with executors


class TestAsyncProcess:
    async def test_insert_and_select(self, handle, db_path):
        from tests.models import User

        async def body():
            ex = User.getExecutor()
            bob = User(name="bob", age=3)
            saved = await ex.save(bob)
            return saved is bob, bob.id, [dict(r) for r in await ex.findAllBy(User.name == "bob")]

        assert await run(body) == (True, 1, [{"id": 1, "name": "bob", "age": 3, "active": True}])

    async def test_two_statements_of_one_task_share_the_transaction(self, handle, db_path):
        from tests.models import User

        async def body():
            ex = User.getExecutor()
            await ex.save(User(name="a"))
            await ex.save(User(name="b"))
            raise RuntimeError

        with pytest.raises(RuntimeError):
            await run(body)
        await settle(handle)
        assert committed(db_path, "SELECT count(*) FROM t_user") == [(0,)]

    async def test_batch(self, handle, db_path):
        from tests.models import User

        async def body():
            ex = User.getExecutor()
            ex.reset()
            ex.sql.insert(User).valuesMany([[User.name.insertCell(n)] for n in "abc"])
            return await ex.execute()

        res = await run(body)
        assert res.id == 3
        await settle(handle)
        assert committed(db_path, "SELECT name FROM t_user ORDER BY id") == [("a",), ("b",), ("c",)]

    async def test_row_ids_are_64_bit(self, handle, db_path):
        from tests.models import User

        s = sqlite3.connect(db_path)
        s.execute("INSERT INTO t_user (id, name, active) VALUES (?, 'big', 1)", (2 ** 40,))
        s.commit()
        s.close()

        async def body():
            return (await User.getExecutor().save(User(name="next"))).id

        assert await run(body) == 2 ** 40 + 1

    async def test_con_none_is_used_as_given(self, handle):
        from tests.models import User

        ex = User.getExecutor()
        ex.reset()
        ex.sql.select().where(None)
        # the statement runs on the connection given, None included
        with pytest.raises(AttributeError, match=r"^'NoneType' object has no attribute 'execute'$"):
            await run(lambda: handle.asyncProcess(executor=ex, con=None))

    @pytest.mark.parametrize(
        "kwargs, exc, msg",
        [(dict(executor=1), TypeError, r"^Cannot convert int to Tavrik.Model.Vantrel.AsyncModelExecutor$"),
         (dict(), AssertionError, "^" + EXECUTOR_MSG + "$"),
         (dict(executor=None), AssertionError, "^" + EXECUTOR_MSG + "$")],
    )
    async def test_executor_checks(self, aconn, kwargs, exc, msg):
        with pytest.raises(exc, match=msg):
            await aconn.asyncProcess(**kwargs)

    async def test_sync_executor_is_refused(self, handle):
        from Tavrik.Model.Vantrel import ModelExecutor
        from tests.models import User

        with pytest.raises(TypeError, match=r"^Cannot convert Tavrik.Model.Vantrel.ModelExecutor to Tavrik.Model.Vantrel.AsyncModelExecutor$"):
            await handle.asyncProcess(executor=ModelExecutor(User))

    def test_keywords_must_be_strings(self, aconn):
        with pytest.raises(TypeError, match=r"^asyncProcess\(\) keywords must be strings$"):
            aconn.asyncProcess(**{1: 2})

    async def test_log_line(self, handle, db_path, caplog):
        from tests.models import User

        handle.init_sqlite(db_path, True)

        async def body():
            await User.getExecutor().findAllBy(User.id == 1)

        with caplog.at_level(logging.INFO):
            await run(body)
        lines = [r.getMessage() for r in caplog.records if r.name == "root"]
        assert len(lines) == 1 and "%s" in lines[0] and "?" not in lines[0] and lines[0].endswith(" || params=(1,)")


class TestUseDatabase:
    async def test_commit_on_return_and_rollback_on_error(self, handle, db_path):
        from Tavrik.Ext.Decorators import use_database
        from tests.models import User

        class Service:
            @use_database
            async def add(self, name, fail=False):
                await User.getExecutor(self).save(User(name=name))
                if fail:
                    raise ValueError(name)
                return name

        async def body():
            svc = Service()
            assert await svc.add("kept") == "kept"
            # Committed by the decorator while the task still runs.
            assert committed(db_path, "SELECT name FROM t_user") == [("kept",)]
            with pytest.raises(ValueError):
                await svc.add("dropped", fail=True)

        await run(body)
        await settle(handle)
        assert committed(db_path, "SELECT name FROM t_user") == [("kept",)]


class TestGenerateTable:
    async def test_scheduled_on_a_running_loop(self, aconn, db_path):
        import tests.models  # noqa: F401

        DB.create(aconn)
        try:
            assert aconn.GenerateTable() is None
            await aconn.close()  # waits for the scheduled creation and its release
        finally:
            DB.drop()
        assert committed(db_path, "SELECT count(*) FROM sqlite_master WHERE name = 't_user'") == [(1,)]

    async def test_generate_table_returns_a_coroutine_that_commits(self, aconn, db_path):
        import tests.models  # noqa: F401

        coro = generate_table(aconn)
        assert asyncio.iscoroutine(coro)
        await run(lambda: coro)
        assert committed(db_path, "SELECT count(*) FROM sqlite_master WHERE name = 't_post'") == [(1,)]

    def test_run_to_completion_without_a_running_loop(self, db_path):
        import tests.models  # noqa: F401

        loop = asyncio.new_event_loop()
        try:
            c = AioSqliteConnector(loop, path=db_path, showLog=False)
            DB.create(c)
            try:
                assert c.GenerateTable() is None
                assert committed(db_path, "SELECT count(*) FROM sqlite_master WHERE name = 't_role'") == [(1,)]
            finally:
                DB.drop()
                loop.run_until_complete(c.close())
            assert bound(c) == 0
        finally:
            loop.close()


def test_private_helpers_refuse_the_other_connector():
    """The SQLite helpers of the coroutines read SQLite fields: handed the
    MySQL connector (or anything else) they raise instead of reading memory
    of another layout."""
    import Tavrik.DB.Connector as connector

    mysql = connector.AioMysqlConnector.__new__(connector.AioMysqlConnector)
    for call in (lambda: connector._c_path(mysql), lambda: connector._c_sq_text(mysql, "SELECT 1", ()),
                 lambda: connector._c_statement(mysql, 1), lambda: connector._c_path(1)):
        with pytest.raises(TypeError):
            call()
