"""The connector base class, dict_factory, the synchronous SQLite connector,
SqliteContextManager and generate_table, on real SQLite files."""
import copy
import logging
import pickle
import sqlite3
import threading

import pytest

from Tavrik.DB.Connector import (
    AioMysqlConnector,
    AioSqliteConnector,
    BaseConnector,
    PyMysqlConnector,
    Sqlite3Connector,
    dict_factory,
    lock,
)
from Tavrik.DB.DB import DB
from Tavrik.DB.utils import SqliteContextManager
from Tavrik.Ext import generate_table

HOSTILE = ['x"; DROP TABLE t_user;--', "a`b", "it's", 'say "hi"', "nul\x00byte", "line\nbreak", "order", "desc", "%s"]


@pytest.fixture
def conn(db_path):
    c = Sqlite3Connector(db_path, showLog=False)
    yield c
    c.close()


@pytest.fixture
def table(conn):
    conn.execute("CREATE TABLE t (id INTEGER PRIMARY KEY AUTOINCREMENT, name TEXT)")
    conn.commit()
    return conn


def other_reader(db_path, sql, args=()):
    """Reads through a connection of its own: sees only committed data."""
    c = sqlite3.connect(db_path)
    try:
        return c.execute(sql, args).fetchall()
    finally:
        c.close()


# --------------------------------------------------------------- base class


class TestBaseConnector:
    def test_initial_fields(self):
        c = BaseConnector()
        assert (c.isAsync, c.isReady, c._pool, c._config, c.paramsHolder) == (False, False, None, None, "%s")

    def test_do_nothing_operations(self):
        c = BaseConnector()
        assert c.process(1, 2, x=3) is None
        assert c.GenerateTable() is None
        assert c.close() is None

    async def test_async_process_yields_none(self):
        assert await BaseConnector().asyncProcess(1, executor=None) is None

    @pytest.mark.parametrize("name", ["process", "asyncProcess"])
    def test_keywords_must_be_strings(self, name):
        with pytest.raises(TypeError, match=r"^%s\(\) keywords must be strings$" % name):
            getattr(BaseConnector(), name)(**{1: 2})

    def test_config_accepts_dict_or_none_only(self):
        c = BaseConnector()
        c._config = {"a": 1}
        with pytest.raises(TypeError, match=r"^Expected dict, got list$"):
            c._config = [1]
        assert c._config == {"a": 1}
        c._config = None
        assert c._config is None
        c._config = {}
        del c._config
        assert c._config is None

    def test_pool_read_write_delete(self):
        c = BaseConnector()
        c._pool = marker = object()
        assert c._pool is marker
        del c._pool
        assert c._pool is None

    @pytest.mark.parametrize("name", ["isAsync", "isReady"])
    def test_flags_store_truth_and_refuse_delete(self, name):
        c = BaseConnector()
        setattr(c, name, "yes")
        assert getattr(c, name) is True
        setattr(c, name, [])
        assert getattr(c, name) is False
        with pytest.raises(NotImplementedError, match=r"^__del__$"):
            delattr(c, name)

    @pytest.mark.parametrize(
        "cls, holder",
        [(BaseConnector, "%s"), (Sqlite3Connector, "?"), (AioSqliteConnector, "?"), (AioMysqlConnector, "%s"),
         (PyMysqlConnector, "%s")],
    )
    def test_params_holder(self, cls, holder):
        assert cls.__new__(cls).paramsHolder == holder

    def test_pymysql_connector(self):
        c = PyMysqlConnector()
        assert (c.isAsync, c.isReady, c.paramsHolder, c.process(1), c.close()) == (False, False, "%s", None, None)
        assert not hasattr(c, "getCon") and not hasattr(c, "execute") and not hasattr(c, "getTableNameList")
        with pytest.raises(TypeError, match=r"^__init__\(\) takes exactly 0 positional arguments \(1 given\)$"):
            PyMysqlConnector(1)
        with pytest.raises(TypeError, match=r"^__init__\(\) got an unexpected keyword argument 'x'$"):
            PyMysqlConnector(x=1)

    def test_copy_and_pickle_keep_the_fields(self):
        c = PyMysqlConnector()
        c.isReady = True
        c._config = {"db": "x"}
        c._pool = "pool"
        for clone in (copy.copy(c), pickle.loads(pickle.dumps(c))):
            assert type(clone) is PyMysqlConnector
            assert (clone.isReady, clone.isAsync, clone._config, clone._pool) == (True, False, {"db": "x"}, "pool")

    def test_python_subclass_keeps_its_attributes_on_copy(self):
        class Mine(BaseConnector):
            pass

        c = Mine()
        c.extra = 5
        c.isAsync = True
        clone = copy.deepcopy(c)
        assert (type(clone), clone.extra, clone.isAsync) == (Mine, 5, True)


# ---------------------------------------------------------------- dict_factory


class TestDictFactory:
    def cursor(self, sql):
        return sqlite3.connect(":memory:").execute(sql)

    def test_row_to_dict_in_column_order(self):
        d = dict_factory(self.cursor("SELECT 1 AS id, 'a' AS name"), (1, "a"))
        assert d == {"id": 1, "name": "a"} and list(d) == ["id", "name"]

    def test_duplicate_names_keep_the_later_value(self):
        assert dict_factory(self.cursor("SELECT 1 AS id, 2 AS id"), (1, 2)) == {"id": 2}

    def test_keywords(self):
        assert dict_factory(row=(7,), cursor=self.cursor("SELECT 7 AS n")) == {"n": 7}

    def test_row_must_be_a_tuple(self):
        with pytest.raises(TypeError, match=r"^Argument 'row' has incorrect type \(expected tuple, got list\)$"):
            dict_factory(self.cursor("SELECT 1 AS id"), [1])

    def test_none_row(self):
        with pytest.raises(TypeError, match=r"^'NoneType' object is not subscriptable$"):
            dict_factory(self.cursor("SELECT 1 AS id"), None)
        empty = sqlite3.connect(":memory:").cursor()  # no description
        assert dict_factory(empty, None) == {}

    @pytest.mark.parametrize("args, given", [((), 0), ((1,), 1), ((1, 2, 3), 3)])
    def test_arity(self, args, given):
        msg = r"^dict_factory\(\) takes exactly 2 positional arguments \(%d given\)$" % given
        with pytest.raises(TypeError, match=msg):
            dict_factory(*args)

    def test_works_as_sqlite3_row_factory(self):
        c = sqlite3.connect(":memory:")
        c.row_factory = dict_factory
        assert c.execute("SELECT 1 AS a, 'x' AS b").fetchall() == [{"a": 1, "b": "x"}]


# ------------------------------------------------------------ Sqlite3Connector


class TestConstruction:
    def test_fields(self, conn, db_path):
        assert (conn.isAsync, conn.isReady, conn.paramsHolder) == (False, False, "?")
        assert conn.autoFiledAnnounce(object()) == "INTEGER "
        assert conn.autoFiledAnnounce(None) == "INTEGER "

    def test_path_type(self):
        with pytest.raises(TypeError, match=r"^Argument 'path' has incorrect type \(expected str, got int\)$"):
            Sqlite3Connector(1)

    @pytest.mark.parametrize(
        "args, msg",
        [((), r"takes at least 1 positional argument \(0 given\)"),
         (("a", True, 3), r"takes at most 2 positional arguments \(3 given\)")],
    )
    def test_arity(self, args, msg):
        with pytest.raises(TypeError, match=r"^__init__\(\) " + msg + "$"):
            Sqlite3Connector(*args)

    def test_unknown_keyword(self, db_path):
        with pytest.raises(TypeError, match=r"^__init__\(\) got an unexpected keyword argument 'log'$"):
            Sqlite3Connector(db_path, log=True)

    def test_show_log_traces_every_statement(self, db_path, caplog):
        c = Sqlite3Connector(db_path)
        try:
            with caplog.at_level(logging.DEBUG, logger="Tavrik.DB"):
                c.execute("SELECT 42")
            assert [(r.name, r.levelno, r.getMessage()) for r in caplog.records] == [
                ("Tavrik.DB", logging.DEBUG, "SELECT 42")]
        finally:
            c.close()

    def test_no_log_without_show_log(self, conn, caplog):
        with caplog.at_level(logging.DEBUG, logger="Tavrik.DB"):
            conn.execute("SELECT 42")
        assert caplog.records == []


class TestExecute:
    def test_rows_are_a_tuple_of_tuples(self, table):
        table.execute("INSERT INTO t (name) VALUES (%s), (%s)", args=("a", "b"))
        assert table.execute("SELECT id, name FROM t ORDER BY id") == ((1, "a"), (2, "b"))

    def test_no_rows_is_the_empty_tuple(self, table):
        assert table.execute("SELECT * FROM t") == ()

    @pytest.mark.parametrize("args", [None, ()])
    def test_without_parameters(self, table, args):
        assert table.execute("SELECT 5", args=args) == ((5,),)

    @pytest.mark.parametrize(
        "sql, args, expected",
        [
            ("SELECT %s", (1,), ((1,),)),
            # A literal, a quoted name and a comment keep their "%s".
            ("SELECT '%s%', %s", (2,), (("%s%", 2),)),
            ('SELECT 1 AS "a%sb", %s', (3,), ((1, 3),)),
            ("SELECT 1 AS `a%s``b` /* %s */ -- %s\n, %s", (4,), ((1, 4),)),
            ("SELECT 'it''s %s', %s", (5,), (("it's %s", 5),)),
        ],
    )
    def test_placeholders_replaced_outside_quotes(self, conn, sql, args, expected):
        assert conn.execute(sql, args=args) == expected

    def test_dict_rows_are_lazy_and_single_pass(self, table):
        table.execute("INSERT INTO t (name) VALUES ('a'), ('b')")
        rows = table.execute("SELECT id, name FROM t ORDER BY id", dictCur=True)
        assert not isinstance(rows, (list, tuple)) and iter(rows) is rows
        assert list(rows) == [{"id": 1, "name": "a"}, {"id": 2, "name": "b"}]
        assert list(rows) == []

    def test_does_not_commit(self, table, db_path):
        table.execute("INSERT INTO t (name) VALUES ('a')")
        assert other_reader(db_path, "SELECT name FROM t") == []
        table.commit()
        assert other_reader(db_path, "SELECT name FROM t") == [("a",)]

    def test_con_argument_is_ignored(self, table):
        other = sqlite3.connect(":memory:")
        assert table.execute("SELECT count(*) FROM t", other) == ((0,),)

    @pytest.mark.parametrize(
        "kwargs, msg",
        [(dict(sql=1), r"^Argument 'sql' has incorrect type \(expected str, got int\)$"),
         (dict(sql="SELECT 1", args=[1]), r"^Argument 'args' has incorrect type \(expected tuple, got list\)$"),
         (dict(sql="SELECT 1", bogus=1), r"^execute\(\) got an unexpected keyword argument 'bogus'$")],
    )
    def test_argument_errors(self, conn, kwargs, msg):
        with pytest.raises(TypeError, match=msg):
            conn.execute(**kwargs)

    def test_none_sql(self, conn):
        with pytest.raises(AttributeError, match=r"^'NoneType' object has no attribute 'replace'$"):
            conn.execute(None)

    @pytest.mark.parametrize("value", HOSTILE)
    def test_hostile_values_are_data(self, table, value):
        table.execute("INSERT INTO t (name) VALUES (%s)", args=(value,))
        assert table.execute("SELECT name FROM t WHERE name = %s", args=(value,)) == ((value,),)
        assert "t" in table.getTableNameList()


class TestConnections:
    def test_main_thread_gets_the_main_connection(self, conn):
        assert conn.getCon() is conn.getCon()

    def run_in_thread(self, fn):
        box = {}

        def target():
            try:
                box["value"] = fn()
            except BaseException as e:  # noqa: B036 - handed to the test thread
                box["error"] = e

        t = threading.Thread(target=target)
        t.start()
        t.join()
        if "error" in box:
            raise box["error"]
        return box["value"]

    def test_other_thread_gets_its_own_connection_reused_on_that_thread(self, conn):
        first, second = self.run_in_thread(lambda: (conn.getCon(), conn.getCon()))
        assert first is second and first is not conn.getCon()
        # It is usable (the statement runs on that thread's connection).
        assert first.execute("SELECT 1").fetchall() == [(1,)]

    def test_threads_get_different_connections(self, conn):
        a = self.run_in_thread(conn.getCon)
        b = self.run_in_thread(conn.getCon)
        assert a is not b

    def test_close_closes_main_and_thread_connections(self, db_path):
        c = Sqlite3Connector(db_path, showLog=False)
        main = c.getCon()
        worker = self.run_in_thread(c.getCon)
        c.close()
        for con in (main, worker):
            with pytest.raises(sqlite3.ProgrammingError):
                con.execute("SELECT 1")

    def test_connection_of_a_finished_thread_is_closed_by_the_next_open(self, conn):
        dead = self.run_in_thread(conn.getCon)
        self.run_in_thread(conn.getCon)
        with pytest.raises(sqlite3.ProgrammingError):
            dead.execute("SELECT 1")

    def test_release_commits_the_given_connection(self, table, db_path):
        table.execute("INSERT INTO t (name) VALUES ('a')")
        assert table.releaseCon(table.getCon()) is None
        assert other_reader(db_path, "SELECT name FROM t") == [("a",)]

    def test_rollback(self, table, db_path):
        table.execute("INSERT INTO t (name) VALUES ('a')")
        table.rollback()
        table.commit()
        assert other_reader(db_path, "SELECT count(*) FROM t") == [(0,)]


class TestTableNames:
    def test_empty_database(self, conn):
        assert conn.getTableNameList() == []

    def test_names_in_catalogue_order(self, conn):
        for name in ("b", "a", "order"):
            conn.execute('CREATE TABLE "%s" (x)' % name)
        assert conn.getTableNameList() == ["b", "a", "order"]

    def test_generate_table_creates_and_commits(self, conn, db_path):
        import tests.models  # noqa: F401

        assert conn.GenerateTable() is None
        names = {r[0] for r in other_reader(db_path, "SELECT name FROM sqlite_master WHERE type = 'table'")}
        assert {"t_user", "t_post", "t_role", "t_profile", "t_user_role"} <= names


# ------------------------------------------------------------ process


class TestProcess:
    def test_insert_and_select(self, sqlite_db):
        from tests.models import User

        ex = User.getExecutor()
        bob = User(name="bob", age=30)
        assert ex.save(bob) is bob and bob.id == 1
        assert [dict(r) for r in ex.findAllBy(User.name == "bob")] == [
            {"id": 1, "name": "bob", "age": 30, "active": True}]

    def test_commits_each_statement(self, sqlite_db, db_path):
        from tests.models import User

        User.getExecutor().save(User(name="bob"))
        assert other_reader(db_path, "SELECT name FROM t_user") == [("bob",)]

    def test_row_ids_are_64_bit(self, sqlite_db):
        from tests.models import User

        big = 2 ** 40
        sqlite_db.execute("INSERT INTO t_user (id, name, active) VALUES (%s, 'big', 1)", args=(big,))
        sqlite_db.commit()
        row = User.getExecutor().save(User(name="next"))
        assert row.id == big + 1

    @pytest.mark.parametrize("value", HOSTILE)
    def test_hostile_values_are_data(self, sqlite_db, value):
        from tests.models import User

        ex = User.getExecutor()
        ex.save(User(name=value))
        assert [r.name for r in ex.findAllBy(User.name == value)] == [value]
        assert "t_user" in sqlite_db.getTableNameList()

    def batch(self, names):
        from tests.models import User

        ex = User.getExecutor()
        ex.reset()
        ex.sql.insert(User).valuesMany([[User.name.insertCell(n), User.age.insertCell(i)] for i, n in enumerate(names)])
        return ex

    def test_batch_runs_once_per_row_and_commits_once(self, sqlite_db, db_path):
        commits = []
        con = sqlite_db.getCon()
        con.set_trace_callback(lambda s: commits.append(s) if s.upper().startswith("COMMIT") else None)
        try:
            res = self.batch(["a", "b", "c"]).execute()
        finally:
            con.set_trace_callback(None)
        assert len(commits) == 1
        assert other_reader(db_path, "SELECT id, name, age FROM t_user ORDER BY id") == [
            (1, "a", 0), (2, "b", 1), (3, "c", 2)]
        assert res.id == 3  # the batch's last row id

    def test_failing_batch_leaves_nothing(self, sqlite_db, db_path):
        from tests.models import User

        sqlite_db.execute("CREATE UNIQUE INDEX user_name ON t_user (name)")
        sqlite_db.commit()
        with pytest.raises(sqlite3.IntegrityError):
            self.batch(["a", "b", "a"]).execute()
        assert lock.acquire(block=False)  # released on the error path
        lock.release()
        # The next commit on the main connection publishes none of the batch.
        User.getExecutor().save(User(name="z"))
        assert other_reader(db_path, "SELECT name FROM t_user") == [("z",)]

    def test_executor_type(self, conn):
        msg = r"^Argument 'executor' has incorrect type \(expected Tavrik.Model.Vantrel.ModelExecutor, got int\)$"
        with pytest.raises(TypeError, match=msg):
            conn.process(1)
        with pytest.raises(TypeError, match=r"^Argument 'executor' has incorrect type"):
            conn.process(None)
        with pytest.raises(TypeError, match=r"^process\(\) takes at least 1 positional argument \(0 given\)$"):
            conn.process()

    def test_waits_for_the_module_lock(self, sqlite_db, db_path):
        from tests.models import User

        done = threading.Event()

        def save():
            User.getExecutor().save(User(name="t"))
            done.set()

        lock.acquire()
        try:
            t = threading.Thread(target=save)
            t.start()
            assert not done.wait(0.3)  # blocked on the lock held here
        finally:
            lock.release()
        t.join()
        assert other_reader(db_path, "SELECT name FROM t_user") == [("t",)]

    def test_two_threads_saving_at_once_lose_nothing(self, sqlite_db, db_path):
        from tests.models import User

        errors = []
        start = threading.Barrier(2)

        def worker(prefix):
            try:
                ex = User.getExecutor()
                start.wait()
                for i in range(100):
                    ex.save(User(name="%s%d" % (prefix, i)))
            except BaseException as e:  # noqa: B036 - reported below
                errors.append(e)

        threads = [threading.Thread(target=worker, args=(p,)) for p in "ab"]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert errors == []
        rows = other_reader(db_path, "SELECT id, name FROM t_user")
        assert len(rows) == 200 and len({r[0] for r in rows}) == 200


# ---------------------------------------------------- helpers of the package


class TestSqliteContextManager:
    def test_commits_on_success(self, table, db_path):
        with SqliteContextManager(table.getCon()) as con:
            con.execute("INSERT INTO t (name) VALUES ('a')")
        assert other_reader(db_path, "SELECT name FROM t") == [("a",)]

    def test_rolls_back_on_error(self, table, db_path):
        with pytest.raises(ValueError):
            with SqliteContextManager(table.getCon()) as con:
                con.execute("INSERT INTO t (name) VALUES ('a')")
                raise ValueError
        table.commit()
        assert other_reader(db_path, "SELECT count(*) FROM t") == [(0,)]


class TestGenerateTable:
    @pytest.fixture
    def handle(self, conn):
        DB.create(conn)
        yield conn
        DB.drop()

    def test_latest_declaration_per_table_and_no_column_less_models(self, handle, db_path):
        from Tavrik.Model.Korvid import Korvid
        from Tavrik.Model.ModelProperty import IntProperty, StrProperty

        class GtFirst(Korvid):
            tableName = "gt_same"
            id = IntProperty(primaryKey=True)

        class GtSecond(Korvid):
            tableName = "gt_same"
            id = IntProperty(primaryKey=True)
            label = StrProperty(20)

        class GtEmpty(Korvid):
            tableName = "gt_empty"

        assert generate_table() is None
        cols = [r[1] for r in other_reader(db_path, "PRAGMA table_info(gt_same)")]
        assert cols == ["id", "label"]
        names = {r[0] for r in other_reader(db_path, "SELECT name FROM sqlite_master WHERE type = 'table'")}
        assert "gt_empty" not in names and "korvid" not in {n.lower() for n in names}
        assert generate_table() is None  # existing tables are left alone

    def test_explicit_connector(self, conn, db_path):
        import tests.models  # noqa: F401

        generate_table(conn)
        assert other_reader(db_path, "SELECT count(*) FROM sqlite_master WHERE name = 't_user'") == [(1,)]
