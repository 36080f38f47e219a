"""How the extension modules reach each other: the C tables they publish, a
statement builder's overrides honoured by every operation that builds
statements in C, and the collector left running while statements run."""
import ctypes
import gc
import importlib
import logging
import sqlite3

import pytest

from tests.conftest import _drop_handle

# Each module's table and the least version its users need today.
TABLES = [
    ("Tavrik.DB.Connector", 2),
    ("Tavrik.DB.DB", 2),
    ("Tavrik.DB.Generator", 3),
    ("Tavrik.Model.Korvid", 2),
    ("Tavrik.Model.ModelProperty", 4),
    ("Tavrik.Model.Vantrel", 2),
]


@pytest.mark.parametrize("module, version", TABLES)
def test_table_is_named_after_its_module_and_versioned(module, version):
    get = ctypes.pythonapi.PyCapsule_GetPointer
    get.restype = ctypes.c_void_p
    get.argtypes = [ctypes.py_object, ctypes.c_char_p]
    capsule = importlib.import_module(module)._C_API
    ptr = get(capsule, (module + "._C_API").encode())
    # Every table begins with its version.
    assert ctypes.c_int.from_address(ptr).value >= version
    with pytest.raises(ValueError):
        get(capsule, b"Tavrik.Other._C_API")


# ------------------------------------------------- a builder's overrides


def recording_generator(model, calls):
    from Tavrik.DB.Generator import SqlGenerator

    class Recording(SqlGenerator):
        pass

    def recorder(name):
        base = getattr(SqlGenerator, name)

        def method(self, *args):
            calls.append(name)
            return base(self, *args)

        return method

    for name in ("select", "selectCount", "selectExists", "where", "orderBy", "delete", "Limit", "forUpdate"):
        setattr(Recording, name, recorder(name))
    return Recording(model)


@pytest.fixture
def people(sqlite_db):
    from tests.models import User

    ex = User.getExecutor()
    for name, age in (("ann", 30), ("bob", 20), ("cid", 40)):
        ex.save(User(name=name, age=age))
    return User


OPERATIONS = [
    pytest.param(
        lambda U, ex: [r.name for r in ex.findAllBy(U.age > 25, orderBy=[(U.age, "DESC")])],
        ["select", "where", "orderBy"],
        ["cid", "ann"],
        id="findAllBy",
    ),
    pytest.param(
        lambda U, ex: [r.name for r in ex.findAllBy(U.age > 0, orderBy=[U.age], limit=1, offset=1)],
        ["select", "where", "orderBy"],
        ["ann"],
        id="findAllBy-window",
    ),
    pytest.param(lambda U, ex: ex.count(U.age < 35), ["selectCount", "where"], 2, id="count"),
    pytest.param(lambda U, ex: ex.exists(U.name == "zed"), ["selectExists", "where"], False, id="exists"),
    pytest.param(
        lambda U, ex: [r["name"] for r in ex.find(U.name).By(U.age == 20)], ["select", "where"], ["bob"], id="find-By"
    ),
    pytest.param(
        lambda U, ex: [r.name for r in ex.findAnyMatch(U(name="bob"), columns=[U.name])],
        ["select", "where"],
        ["bob"],
        id="findAnyMatch",
    ),
    pytest.param(
        lambda U, ex: (ex.delete(None, filter=U.age > 35), sorted(r.name for r in U.getExecutor().findAllBy()))[1],
        ["delete", "where"],
        ["ann", "bob"],
        id="delete",
    ),
]


@pytest.mark.parametrize("operation, expected_calls, expected", OPERATIONS)
def test_operations_build_through_an_overriding_generator(people, operation, expected_calls, expected):
    calls = []
    ex = people.getExecutor()
    ex.sql = recording_generator(people, calls)
    assert operation(people, ex) == expected
    assert calls == expected_calls


def test_paging_builds_through_an_overriding_generator(people, monkeypatch):
    from Tavrik.Ext.Olvane import Olvane
    from Tavrik.Model.Vantrel import ModelExecutor

    calls = []

    def executor(cls, work=None):
        ex = ModelExecutor(cls)
        ex.sql = recording_generator(cls, calls)
        return ex

    monkeypatch.setattr(people, "getExecutor", classmethod(executor))
    page = Olvane(people, page=2, pageSize=1).filter(people.age > 0).orderBy(people.age).execute()
    assert [r.name for r in page.content] == ["ann"] and page.total == 3 and page.totalPage == 3
    assert calls == ["select", "where", "orderBy", "Limit"]


def test_an_override_that_raises_stops_the_operation(people):
    from Tavrik.DB.Generator import SqlGenerator

    class Refusing(SqlGenerator):
        def where(self, cond):
            raise LookupError("no conditions here")

    ex = people.getExecutor()
    ex.sql = Refusing(people)
    with pytest.raises(LookupError, match="no conditions here"):
        ex.findAllBy(people.age > 0)
    ex = people.getExecutor()
    ex.sql = Refusing(people)
    with pytest.raises(LookupError):
        ex.delete(None, filter=people.age > 0)
    assert people.getExecutor().count() == 3


# ---------------------------------------------- the collector and the I/O


class _GcWatch(logging.Filter):
    """Notes, for each statement the connection traces, whether the cyclic
    collector could run while it ran."""

    def __init__(self):
        super().__init__()
        self.seen = []

    def filter(self, record):
        self.seen.append((record.getMessage(), gc.isenabled()))
        return True


@pytest.mark.parametrize("rows", [3, 600])
def test_collector_runs_while_a_batch_insert_runs(db_path, rows):
    from Tavrik.DB.Connector import Sqlite3Connector
    from Tavrik.DB.DB import DB
    from Tavrik.Ext import generate_table
    from Tavrik.Model.Korvid import InstanceList
    from tests.models import User

    connector = Sqlite3Connector(db_path, showLog=True)
    DB.create(connector)
    logger = logging.getLogger("Tavrik.DB")
    watch = _GcWatch()
    old_level = logger.level
    logger.setLevel(logging.DEBUG)
    logger.addFilter(watch)
    assert gc.isenabled()
    try:
        generate_table()
        written = User.getExecutor().saveAll(InstanceList([User(name="n%d" % i) for i in range(rows)]))
    finally:
        logger.removeFilter(watch)
        logger.setLevel(old_level)
        _drop_handle()
        connector.close()
    assert written == rows
    inserts = [on for text, on in watch.seen if text.lstrip().upper().startswith("INSERT")]
    # one INSERT per row, or of many rows each where the keys come back
    assert inserts and all(inserts)
    assert gc.isenabled()
    con = sqlite3.connect(db_path)
    try:
        assert con.execute("SELECT COUNT(*) FROM t_user").fetchone()[0] == rows
    finally:
        con.close()


@pytest.fixture
def forget_models():
    from Tavrik.Model.Korvid import _KorvidMeta

    saved = list(_KorvidMeta.ModelList)
    yield
    _KorvidMeta.ModelList[:] = saved


def test_in_condition_asks_a_python_column_class(people, forget_models):
    from Tavrik.DB.Generator import InOperatorGenerator
    from Tavrik.Model.Korvid import Korvid
    from Tavrik.Model.ModelProperty import IntProperty, StrProperty

    calls = []

    class AuditedInt(IntProperty):
        def in_(self, values):
            calls.append(tuple(values))
            return super().in_(values)

    class Aged(Korvid):
        tableName = "t_user"
        id = IntProperty(primaryKey=True)
        name = StrProperty(64)
        age = AuditedInt(nullable=True)

    plain = InOperatorGenerator(people.age, [20, 40]).cell()
    assert sorted(r.name for r in people.getExecutor().findAllBy(plain)) == ["bob", "cid"]
    assert calls == []
    audited = InOperatorGenerator(Aged.age, ["20", 30]).cell()
    assert sorted(r.name for r in Aged.getExecutor().findAllBy(audited)) == ["ann", "bob"]
    assert calls == [("20", 30)]
