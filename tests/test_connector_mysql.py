"""AioMysqlConnector and MysqlConnector against a real MariaDB/MySQL server
(skipped without one; see tests/conftest.py), and the parts that need no
server."""
import asyncio
import threading

import pytest

from Tavrik.DB.Connector import AioMysqlConnector, MysqlConnector
from Tavrik.Error.ClusterError import ClusterUnavailable, NodeLost, TransactionConflict
from tests.asynctools import bound, installed, run, settle
from Tavrik.Model.ModelProperty import DecimalProperty, IntProperty, StrProperty
from tests.conftest import _mysql_reset, require_mysql

HOSTILE = ['x"; DROP TABLE t;--', "a`b", "it's", 'say "hi"', "back\\slash", "line\nbreak", "order", "desc", "%s"]


async def rows_of(c, sql, args=()):
    """Committed rows, read in a task (a transaction) of its own."""
    return await run(lambda: c.execute(sql, args=args))


@pytest.fixture
async def myconn():
    settings = require_mysql()
    await _mysql_reset(settings)
    c = AioMysqlConnector(asyncio.get_running_loop(), maxsize=5, **settings)
    await run(lambda: c.execute("CREATE TABLE t (id INT PRIMARY KEY AUTO_INCREMENT, name VARCHAR(100), n INT)"))
    await settle(c)
    yield c
    await c.close()


@pytest.fixture
async def handle(myconn):
    """The connector installed as the DB handle, with the shared models' tables."""
    async with installed(myconn) as c:
        yield c


# ---------------------------------------------------------- without a server


class TestWithoutServer:
    @pytest.mark.parametrize(
        "prop, text",
        [(StrProperty(11), "VARCHAR(11) AUTO_INCREMENT"),
         (DecimalProperty(precision=10, scale=2), "DECIMAL(10, 2) AUTO_INCREMENT"),
         (IntProperty(), "INT AUTO_INCREMENT")],
    )
    @pytest.mark.parametrize("cls", [AioMysqlConnector, MysqlConnector])
    def test_auto_filed_announce(self, prop, text, cls):
        assert cls.__new__(cls).autoFiledAnnounce(prop) == text

    def test_needs_a_loop(self):
        with pytest.raises(TypeError, match=r"^__init__\(\) takes at least 1 positional argument \(0 given\)$"):
            AioMysqlConnector()

    def test_docstrings(self):
        assert AioMysqlConnector.getCon.__doc__ == "\n        获取链接实例\n        :return:\n        "
        assert AioMysqlConnector.releaseCon.__doc__ == (
            "\n        释放链接实例\n        :param con: 数据库链接实例\n        :return:\n        ")

    async def test_failed_pool_gives_a_clear_error(self):
        c = AioMysqlConnector(asyncio.get_running_loop(), host="127.0.0.1", port=1, user="x", password="x",
                              db="x", connect_timeout=1)
        assert c.isReady is False
        with pytest.raises(RuntimeError, match="^MySQL连接池创建失败"):
            await run(lambda: c.execute("SELECT 1"))
        await c.close()


# --------------------------------------------------------------- with server


class TestPool:
    def test_pool_exists_after_construction_on_an_idle_loop(self):
        settings = require_mysql()
        loop = asyncio.new_event_loop()
        try:
            c = AioMysqlConnector(loop, **settings)
            assert (c.isReady, c.isAsync, c.paramsHolder, c.config) == (True, True, "%s", settings)
            assert c._pool is not None
            loop.run_until_complete(c.close())
        finally:
            loop.close()

    async def test_statements_wait_for_the_pool(self):
        settings = require_mysql()
        c = AioMysqlConnector(asyncio.get_running_loop(), **settings)
        try:
            assert (c.isReady, c._pool) == (False, None)
            assert await run(lambda: c.execute("SELECT 1")) == ((1,),)
            assert c.isReady is True
        finally:
            await c.close()

    async def test_tasks_beyond_the_pool_size_wait_then_proceed(self):
        settings = require_mysql()
        c = AioMysqlConnector(asyncio.get_running_loop(), minsize=1, maxsize=2, **settings)
        try:
            got, release = [], asyncio.Event()

            async def grab(i):
                await c.getCon()
                got.append(i)
                await release.wait()

            tasks = [run(grab, i) for i in range(4)]
            await asyncio.sleep(0.4)
            assert len(got) == 2
            release.set()
            await asyncio.gather(*tasks)
            assert sorted(got) == [0, 1, 2, 3]
            await settle(c)
        finally:
            await c.close()

    async def test_select_connection_is_the_callers(self, myconn):
        con = await myconn.getSelectCon()
        try:
            async with con.cursor() as cur:
                await cur.execute("SELECT 7")
                assert await cur.fetchall() == ((7,),)
        finally:
            await myconn.releaseCon(con)
        assert bound(myconn) == 0


class TestStatements:
    async def test_rows(self, myconn):
        async def body():
            await myconn.execute("INSERT INTO t (name, n) VALUES (%s, %s), (%s, %s)", args=("a", 1, "b", 2))
            return (await myconn.execute("SELECT name, n FROM t ORDER BY id"),
                    await myconn.execute("SELECT name, n FROM t ORDER BY id", dictCur=True))

        rows, dicts = await run(body)
        assert [tuple(r) for r in rows] == [("a", 1), ("b", 2)]
        assert list(dicts) == [{"name": "a", "n": 1}, {"name": "b", "n": 2}]

    @pytest.mark.parametrize("value", HOSTILE)
    async def test_hostile_values_are_data(self, myconn, value):
        await run(lambda: myconn.execute("INSERT INTO t (name) VALUES (%s)", args=(value,)))
        await settle(myconn)
        assert [r[0] for r in await rows_of(myconn, "SELECT name FROM t WHERE name = %s", (value,))] == [value]

    async def test_table_names_bind_the_schema(self, myconn):
        assert await run(myconn.getTableNameList) == ["t"]
        myconn._config = dict(myconn.config, db="tavrik_test' OR '1'='1")
        assert await run(myconn.getTableNameList) == []
        myconn._config = {}
        assert await run(myconn.getTableNameList) == []

    async def test_two_statements_of_a_task_commit_together(self, myconn):
        seen = {}

        async def body():
            await myconn.execute("INSERT INTO t (name) VALUES ('a')")
            await myconn.execute("INSERT INTO t (name) VALUES ('b')")
            seen["same"] = await myconn.getCon() is await myconn.getCon()
            seen["others"] = await rows_of(myconn, "SELECT count(*) FROM t")

        await run(body)
        await settle(myconn)
        assert seen == {"same": True, "others": ((0,),)}
        assert await rows_of(myconn, "SELECT count(*) FROM t") == ((2,),)

    async def test_failed_task_is_rolled_back(self, myconn):
        async def body():
            await myconn.execute("INSERT INTO t (name) VALUES ('a')")
            await myconn.execute("INSERT INTO t (name) VALUES ('b')")
            raise ValueError

        with pytest.raises(ValueError):
            await run(body)
        await settle(myconn)
        assert await rows_of(myconn, "SELECT count(*) FROM t") == ((0,),)

    async def test_cancelled_task_is_rolled_back_and_returned(self, myconn):
        inserted = asyncio.Event()

        async def body():
            await myconn.execute("INSERT INTO t (name) VALUES ('a')")
            inserted.set()
            await asyncio.Event().wait()

        t = run(body)
        await inserted.wait()
        t.cancel()
        with pytest.raises(asyncio.CancelledError):
            await t
        await settle(myconn)
        pool = myconn._pool
        assert pool.freesize == pool.size
        assert await rows_of(myconn, "SELECT count(*) FROM t") == ((0,),)

    async def test_falsy_exception_rolls_back(self, myconn):
        class Empty(Exception):
            def __bool__(self):
                return False

        async def body():
            await myconn.execute("INSERT INTO t (name) VALUES ('a')")
            raise Empty()

        with pytest.raises(Empty):
            await run(body)
        await settle(myconn)
        assert await rows_of(myconn, "SELECT count(*) FROM t") == ((0,),)

    async def test_close_returns_every_connection_when_one_fails(self, myconn):
        ready, cons = [asyncio.Event(), asyncio.Event()], {}

        async def body(i):
            cons[i] = await myconn.getCon()
            ready[i].set()
            await asyncio.Event().wait()

        tasks = []
        for i in range(2):
            tasks.append(run(body, i))
            await ready[i].wait()
        cons[0].close()  # closed by hand: its rollback at close() fails, and needs nothing more
        pool = myconn._pool
        await myconn.close(timeout=0.2)
        assert bound(myconn) == 0
        assert cons[1].closed and pool.size == 0  # returned, and the pool closed anyway
        for t in tasks:
            t.cancel()
        await asyncio.gather(*tasks, return_exceptions=True)

    async def test_map_does_not_grow(self, myconn):
        for i in range(12):
            await run(lambda: myconn.execute("INSERT INTO t (n) VALUES (%s)", args=(i,)))
        await settle(myconn)
        assert bound(myconn) == 0
        assert await rows_of(myconn, "SELECT count(*) FROM t") == ((12,),)


class TestAsyncProcess:
    async def test_insert_select_and_batch(self, handle):
        from tests.models import User

        async def body():
            ex = User.getExecutor()
            bob = await ex.save(User(name="bob", age=3))
            ex.reset()
            ex.sql.insert(User).valuesMany([[User.name.insertCell(n)] for n in ("x", "y'", 'z"; DROP TABLE t_user;--')])
            await ex.execute()
            return bob.id, [(r.id, r.name) for r in await ex.findAllBy(None)]

        bob_id, rows = await run(body)
        await settle(handle)
        ids = [r[0] for r in rows]
        assert ids[0] == bob_id and ids == sorted(set(ids))
        assert [r[1] for r in rows] == ["bob", "x", "y'", 'z"; DROP TABLE t_user;--']

    @pytest.mark.parametrize(
        "kwargs, exc",
        [(dict(executor=1), TypeError), (dict(), AssertionError)],
    )
    async def test_executor_checks(self, myconn, kwargs, exc):
        with pytest.raises(exc):
            await myconn.asyncProcess(**kwargs)


# ------------------------------------------------- the synchronous connector


@pytest.fixture
async def syncon():
    settings = require_mysql()
    await _mysql_reset(settings)
    c = MysqlConnector(maxsize=2, **settings)
    c.execute("CREATE TABLE t (id INT PRIMARY KEY AUTO_INCREMENT, name VARCHAR(100), n INT)")
    yield c
    c.close()


def names(c):
    return [r[0] for r in c.execute("SELECT name FROM t ORDER BY id")]


def kill(session):
    """Ends a server session from a connection of its own (as a server that
    went away would)."""
    import pymysql

    settings = {k: v for k, v in require_mysql().items() if k != "autocommit"}
    con = pymysql.connect(**settings)
    try:
        with con.cursor() as cur:
            cur.execute("KILL %s", (session,))
    finally:
        con.close()


class TestSyncConnector:
    def test_inner_block_rolls_back_only_its_own_rows(self, syncon):
        with syncon.transaction():
            syncon.execute("INSERT INTO t (name) VALUES (%s)", args=("outer",))
            with pytest.raises(KeyError):
                with syncon.transaction():
                    syncon.execute("INSERT INTO t (name) VALUES (%s)", args=("inner",))
                    raise KeyError
        assert names(syncon) == ["outer"]

    def test_failed_commit_is_raised_and_the_connection_dropped(self, syncon):
        with pytest.raises(NodeLost) as e:
            with syncon.transaction() as con:
                syncon.execute("INSERT INTO t (name) VALUES (%s)", args=("lost",))
                kill(con.thread_id())
        assert e.value.committing is True
        assert names(syncon) == []  # and the pool handed out a live connection

    def test_deadlocked_block_raises_transaction_conflict(self, syncon):
        syncon.execute("INSERT INTO t (id, name) VALUES (1, 'a'), (2, 'b')")
        both = threading.Barrier(2)
        errors = []

        def block(first, second):
            try:
                with syncon.transaction():
                    syncon.execute("UPDATE t SET n = 1 WHERE id = %s", args=(first,))
                    both.wait()
                    syncon.execute("UPDATE t SET n = 1 WHERE id = %s", args=(second,))
            except Exception as e:  # noqa: BLE001  (the error is the result)
                errors.append(e)

        other = threading.Thread(target=block, args=(2, 1))
        other.start()
        block(1, 2)
        other.join()
        assert [type(e) for e in errors] == [TransactionConflict]

    def test_connection_the_server_dropped_is_not_pooled_again(self, syncon):
        import pymysql

        # Dropped while checked out: the statement on it meets the loss (one
        # dropped while idle in the pool is found before it is handed out).
        con = syncon.getCon()
        session = syncon.execute("SELECT CONNECTION_ID()", con=con)[0][0]
        kill(session)
        with pytest.raises(pymysql.err.OperationalError):
            syncon.execute("SELECT 1", con=con)
        with pytest.raises(pymysql.err.Error):
            syncon.releaseCon(con)
        assert syncon.execute("SELECT CONNECTION_ID()")[0][0] != session
        assert syncon._pool.size == 1

    @pytest.mark.parametrize("method", ["commit", "rollback"])
    def test_commit_and_rollback_refused_inside_a_block(self, syncon, method):
        with syncon.transaction():
            syncon.execute("INSERT INTO t (name) VALUES (%s)", args=("kept",))
            with pytest.raises(RuntimeError, match="事务块内不能调用连接器的%s" % method):
                getattr(syncon, method)()
        assert names(syncon) == ["kept"]

    def test_hostile_values_round_trip(self, syncon):
        for v in HOSTILE:
            syncon.execute("INSERT INTO t (name) VALUES (%s)", args=(v,))
        assert names(syncon) == HOSTILE

    def test_closed_connector_refuses_statements(self, syncon):
        syncon.close()
        with pytest.raises(RuntimeError, match="连接器已关闭"):
            syncon.execute("SELECT 1")

    def test_password_is_not_kept_where_it_shows(self):
        settings = dict(require_mysql(), password="Zq8Xw-wrong")
        with pytest.raises(Exception) as e:
            MysqlConnector(**settings)
        assert "Zq8Xw" not in str(e.value)
        c = MysqlConnector(minsize=0, **settings)
        assert "Zq8Xw" not in repr(c.config) + repr(c) + repr(c._pool)
        c.close()

    def test_host_list_goes_to_a_node_that_answers(self):
        settings = {k: v for k, v in require_mysql().items() if k not in ("host", "port")}
        live = "%s:%d" % (require_mysql()["host"], require_mysql()["port"])
        c = MysqlConnector(hosts=["127.0.0.1:1", live], connect_timeout=1, **settings)
        try:
            assert c.execute("SELECT 42") == ((42,),)
        finally:
            c.close()
        with pytest.raises(ClusterUnavailable, match="127.0.0.1:1"):
            MysqlConnector(hosts="127.0.0.1:1", failoverTimeout=0, connect_timeout=1, **settings)
