"""The database handle: one per process, its connector, and how execute and
executeSql reach the connector."""
import asyncio
import sqlite3

import pytest

from Tavrik.DB.Connector import AioSqliteConnector, BaseConnector, Sqlite3Connector
from Tavrik.DB.DB import DB
from Tavrik.Error.Strovy import DBInstanceCreateError, DBInstanceError


@pytest.fixture(autouse=True)
def no_handle():
    DB.drop()
    yield
    DB.drop()


class Recording(BaseConnector):
    """Records what the handle passes to process / asyncProcess."""

    def __init__(self, is_async=False):
        self.isAsync = is_async
        self.calls = []

    def process(self, *args, **kwargs):
        self.calls.append(("process", args, kwargs))
        return "sync-result"

    def asyncProcess(self, *args, **kwargs):
        self.calls.append(("asyncProcess", args, kwargs))

        async def result():
            return "async-result"

        return result()

    def execute(self, *args, **kwargs):
        self.calls.append(("execute", args, kwargs))
        return ((1,),)


class TestLifecycle:
    def test_direct_construction_is_refused(self):
        with pytest.raises(DBInstanceCreateError) as info:
            DB()
        assert info.value.msg == "请使用DB.create()创建数据库实例"

    def test_get_instance_before_create(self):
        with pytest.raises(DBInstanceCreateError):
            DB.getInstance()

    def test_create_once(self):
        c = Recording()
        db = DB.create(c)
        assert isinstance(db, DB) and DB.getInstance() is db and db.connector is c
        with pytest.raises(DBInstanceError) as info:
            DB.create(Recording())
        assert info.value.msg == "DB链接对象实例已存在，不可重新创建"
        assert DB.getInstance().connector is c

    def test_drop_returns_the_connector_and_allows_a_new_handle(self):
        c = Recording()
        DB.create(c)
        assert DB.drop() is c
        assert DB.drop() is None
        with pytest.raises(DBInstanceCreateError):
            DB.getInstance()
        d = Recording()
        DB.create(connector=d)
        assert DB.getInstance().connector is d

    def test_connector_is_read_only(self):
        db = DB.create(Recording())
        with pytest.raises(AttributeError):
            db.connector = Recording()

    @pytest.mark.parametrize(
        "args, kwargs, msg",
        [((), {}, r"^create\(\) takes exactly 1 positional argument \(0 given\)$"),
         ((1, 2), {}, r"^create\(\) takes exactly 1 positional argument \(2 given\)$"),
         ((None,), {}, r"^Argument 'connector' has incorrect type"),
         ((), {"conn": 1}, r"^create\(\) got an unexpected keyword argument 'conn'$")],
    )
    def test_create_arguments(self, args, kwargs, msg):
        with pytest.raises(TypeError, match=msg):
            DB.create(*args, **kwargs)


class TestExecute:
    def test_sync_connector_gets_process_and_con_only_when_given(self):
        c = Recording()
        db = DB.create(c)
        assert db.execute(executor="ex") == "sync-result"
        assert db.execute(executor="ex", con="work") == "sync-result"
        assert c.calls == [("process", (), {"executor": "ex"}),
                           ("process", (), {"executor": "ex", "con": "work"})]

    async def test_async_connector_gets_async_process(self):
        c = Recording(is_async=True)
        db = DB.create(c)
        assert await db.execute(executor="ex") == "async-result"
        assert await db.execute(executor="ex", con=None) == "async-result"
        assert c.calls == [("asyncProcess", (), {"executor": "ex"}),
                           ("asyncProcess", (), {"executor": "ex", "con": None})]

    @pytest.mark.parametrize(
        "args, kwargs, msg",
        [(("ex",), {}, r"^execute\(\) takes exactly 0 positional arguments \(1 given\)$"),
         ((), {}, r"^execute\(\) needs keyword-only argument executor$"),
         ((), {"executor": 1, "x": 2}, r"^execute\(\) got an unexpected keyword argument 'x'$")],
    )
    def test_arguments(self, args, kwargs, msg):
        db = DB.create(Recording())
        with pytest.raises(TypeError, match=msg):
            db.execute(*args, **kwargs)

    def test_execute_sql_passes_args_by_keyword(self):
        c = Recording()
        db = DB.create(c)
        assert db.executeSql("SELECT 1") == ((1,),)
        db.executeSql("SELECT %s", args=(2,))
        db.executeSql("SELECT %s", (3,))
        assert c.calls == [("execute", ("SELECT 1",), {"args": ()}),
                           ("execute", ("SELECT %s",), {"args": (2,)}),
                           ("execute", ("SELECT %s",), {"args": (3,)})]


class TestWithRealConnectors:
    def test_sqlite(self, sqlite_db):
        from tests.models import User

        db = DB.getInstance()
        saved = User.getExecutor().save(User(name="bob"))
        assert db.executeSql("SELECT id, name FROM t_user WHERE name = %s", args=("bob",)) == ((saved.id, "bob"),)

    def test_sqlite_subclass_goes_through_its_process(self, db_path):
        import tests.models  # noqa: F401
        from Tavrik.Ext import generate_table
        from tests.models import User

        seen = []

        class Traced(Sqlite3Connector):
            def process(self, executor, con=None):
                seen.append(con)
                return super().process(executor, con)

        c = Traced(db_path, showLog=False)
        try:
            DB.create(c)
            generate_table()
            User.getExecutor().save(User(name="x"))
            assert seen == [None]
            assert sqlite3.connect(db_path).execute("SELECT name FROM t_user").fetchall() == [("x",)]
        finally:
            DB.drop()
            c.close()

    def test_raw_sql_goes_through_a_subclass_execute(self, db_path):
        import tests.models  # noqa: F401
        from Tavrik.Ext import generate_table
        from tests.models import User

        seen = []

        class Traced(Sqlite3Connector):
            def execute(self, sql, con=None, dictCur=False, args=()):
                seen.append(sql)
                return super().execute(sql, con, dictCur, args)

        c = Traced(db_path, showLog=False)
        try:
            DB.create(c)
            generate_table()
            User.getExecutor().save(User(name="x"))
            rows = User.getExecutor().raw("SELECT id, name FROM t_user WHERE name = %s", ("x",))
            assert [(r.id, r.name) for r in rows] == [(1, "x")] and "name" in rows[0] and "active" not in rows[0]
            assert seen == ["SELECT id, name FROM t_user WHERE name = ?"]
        finally:
            DB.drop()
            c.close()

    async def test_aiosqlite(self, db_path):
        c = AioSqliteConnector(asyncio.get_running_loop(), path=db_path, showLog=False)
        try:
            db = DB.create(c)

            async def body():
                return await db.executeSql("SELECT %s + 1", args=(1,))

            assert await asyncio.get_running_loop().create_task(body()) == ((2,),)
        finally:
            DB.drop()
            await c.close()
