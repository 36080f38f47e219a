"""The executor core and the synchronous executor on real SQLite files:
queries, saving (with the fall-back to an update), updating, deleting, batch
insertion, copying/pickling, argument and value errors."""
import copy
import pickle
import sqlite3

import pytest

from Tavrik.Model.Korvid import InstanceList, Korvid
from Tavrik.Model.ModelProperty import (
    AutoIncrement,
    BigIntProperty,
    DateProperty,
    IntProperty,
    StrProperty,
)
from tests.leakcheck import assert_bursts_do_not_grow
from tests.models import Post, Role, User, UserRole

HOSTILE = ['x"; DROP TABLE t_user;--', "a`b", "it's", 'say "hi"', "nul\x00byte", "two\nlines", "order", "desc", "%s"]


class ExItem(Korvid):
    tableName = "ex_item"
    id = IntProperty(primaryKey=True, default=AutoIncrement)
    label = StrProperty(40)
    qty = IntProperty(nullable=True)
    code = StrProperty(40, nullable=True)  # the last declared column


class ExBig(Korvid):
    tableName = "ex_big"
    id = BigIntProperty(primaryKey=True, default=AutoIncrement)
    note = StrProperty(20)


class ExDated(Korvid):
    tableName = "ex_dated"
    id = IntProperty(primaryKey=True, default=AutoIncrement)
    day = DateProperty(nullable=True)


def raw(db_path, sql, args=()):
    con = sqlite3.connect(db_path)
    try:
        return con.execute(sql, args).fetchall()
    finally:
        con.close()


def count(db_path, table):
    return raw(db_path, "SELECT COUNT(*) FROM `%s`" % table)[0][0]


@pytest.fixture
def items(sqlite_db):
    ex = ExItem.getExecutor()
    rows = [("apple", 3, None), ("pear", 0, "P1"), ("plum", 7, "P2"), ("fig", 7, "F")]
    for label, qty, code in rows:
        ex.save(ExItem(label=label, qty=qty, code=code))
    return ex


# ---------------------------------------------------------------- the object


def test_construction_and_fields(sqlite_db):
    from Tavrik.DB.Generator import SqlGenerator
    from Tavrik.Model.Vantrel import BaseModelExecutor, ModelExecutor

    ex = User.getExecutor()
    assert type(ex) is ModelExecutor and isinstance(ex, BaseModelExecutor)
    assert isinstance(ex.sql, SqlGenerator) and ex.generator is ex.sql
    assert ex.__dict__ == {}
    # fresh executor: nothing executed, reset keeps the statement
    gen = ex.sql
    assert ex.reset() is None and ex.sql is gen
    ex.findAllBy()
    assert ex.reset() is ex and ex.sql is not gen

    class Work:
        con = "the-connection"

    assert ModelExecutor(User, Work()).__reduce__()[1][3] == "the-connection"
    # a falsy work is stored unchanged
    assert ModelExecutor(User, 0).__reduce__()[1][3] == 0


def test_sql_property(sqlite_db):
    ex = User.getExecutor()
    with pytest.raises(TypeError, match="Expected SqlGenerator, got str"):
        ex.sql = "SELECT 1"
    assert ex.sql is not None
    del ex.sql
    assert ex.sql is None and ex.generator is None
    with pytest.raises(AttributeError):
        ex.generator = None
    with pytest.raises(AttributeError, match="select"):
        ex.findAllBy()


def test_copy_deepcopy_pickle_keep_state(sqlite_db):
    ex = User.getExecutor()
    u = ex.save(User(name="copy"))
    ex.tag = "kept"
    c = copy.copy(ex)
    assert type(c) is type(ex)
    assert c.sql is ex.sql and c.__dict__ == ex.__dict__ and c.__dict__ is not ex.__dict__
    assert c.instance is u and c.tag == "kept"
    assert c.__reduce__()[1][1:6] == ex.__reduce__()[1][1:6]
    d = copy.deepcopy(ex)
    assert d.sql is not ex.sql and d.tag == "kept" and d.instance == u and d.instance is not u
    # executed survives: the copy resets like the original would
    assert d.reset() is d
    # rows are pickled by the model module; the executor's own state here
    del ex.instance
    ex.numbers = [1, 2]
    p = pickle.loads(pickle.dumps(ex))
    assert type(p) is type(ex) and p.__dict__ == {"tag": "kept", "numbers": [1, 2]}
    assert p.__reduce__()[1][1] is User and p.reset() is p  # executed was kept
    assert p.findOneBy(User.id == u.id) == u
    fresh = pickle.loads(pickle.dumps(User.getExecutor()))
    assert fresh.reset() is None


@pytest.mark.parametrize("base_name", ["BaseModelExecutor", "ModelExecutor", "AsyncModelExecutor"])
def test_python_subclass_instances_keep_their_class_alive(base_name):
    # Each instance of a Python subclass holds one reference to its class,
    # released once when the instance goes; releasing it twice freed the
    # class while still in use.
    import sys

    import Tavrik.Model.Vantrel as vantrel

    class Sub(getattr(vantrel, base_name)):
        pass

    before = sys.getrefcount(Sub)
    for _ in range(20):
        ex = Sub.__new__(Sub)
        assert type(ex) is Sub
        del ex
    assert sys.getrefcount(Sub) == before


def test_python_subclass_executor_runs_queries(items):
    from Tavrik.Model.Vantrel import ModelExecutor

    class Logged(ModelExecutor):
        pass

    for _ in range(5):
        ex = Logged(ExItem)
        assert sorted(r.label for r in ex.findAllBy()) == ["apple", "fig", "pear", "plum"]
        del ex
    assert Logged.__name__ == "Logged" and Logged.__mro__[1] is ModelExecutor


# ---------------------------------------------------------------- queries


def test_find_all_and_one(items, db_path):
    rows = items.findAllBy()
    assert isinstance(rows, InstanceList) and len(rows) == 4
    assert all(isinstance(r, ExItem.modelInstance) for r in rows)
    assert [r.label for r in items.findAllBy(ExItem.qty == 7)] == ["plum", "fig"]
    one = items.findOneBy(ExItem.label == "pear")
    # 0 is a value, stored as such
    assert (one.label, one.qty, one.code) == ("pear", 0, "P1")
    from Tavrik.Error.QueryError import QueryResoutIsNotOne

    with pytest.raises(QueryResoutIsNotOne):
        items.findOneBy(ExItem.label == "none")
    with pytest.raises(QueryResoutIsNotOne):
        items.findOneBy(ExItem.qty == 7)


@pytest.mark.parametrize("value", HOSTILE)
def test_hostile_values_are_data(sqlite_db, db_path, value):
    ex = ExItem.getExecutor()
    saved = ex.save(ExItem(label=value, code="h"))
    got = ex.findOneBy(ExItem.label == value)
    assert got.id == saved.id and got.label == value
    assert [r.label for r in ex.findAllBy(ExItem.label.like(value))] == [value]
    assert len(ex.findAnyMatch(ExItem(label=value, check=False))) == 1
    assert count(db_path, "t_user") == 0 and count(db_path, "ex_item") == 1


def test_find_any_match(items):
    def labels(inst, *a):
        return sorted(r.label for r in items.findAnyMatch(inst, *a))

    assert labels(ExItem(qty=7, check=False)) == ["fig", "plum"]
    # every column counts, the last declared one (code) included
    assert labels(ExItem(code="F", check=False)) == ["fig"]
    assert labels(ExItem(qty=7, code="P2", check=False)) == ["plum"]
    # falsy values do not restrict: the bare filter matches every row
    assert labels(ExItem(qty=0, label="", check=False)) == ["apple", "fig", "pear", "plum"]
    ordered = [r.label for r in items.findAnyMatch(ExItem(check=False), 2, 1)]
    assert len(ordered) == 2
    # limit 0: no window, offset ignored
    assert len(items.findAnyMatch(ExItem(check=False), 0, 3)) == 4
    # offsets are 64-bit
    assert items.findAnyMatch(ExItem(check=False), 1, 2**40) == []


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda ex: ex.findAllBy("id = 1"), "Argument 'Filter' has incorrect type"),
        (lambda ex: ex.findOneBy(1), "Argument 'Filter' has incorrect type"),
        (lambda ex: ex.By(object()), "Argument 'Filter' has incorrect type"),
        (lambda ex: ex.findAnyMatch({"label": "x"}), "Argument 'instance' has incorrect type"),
        (lambda ex: ex.findAnyMatch(User(name="x")), "Argument 'instance' has incorrect type"),
        (lambda ex: ex.findAnyMatch(ExItem(), "1"), "an integer is required"),
        (lambda ex: ex.findAnyMatch(ExItem(), 1, 2.0), "an integer is required"),
        (lambda ex: ex.find(ExItem.id, x=1), "find\\(\\) takes no keyword arguments"),
        (lambda ex: ex.findAllBy(None, None), r"^findAllBy\(\) takes at most 1 positional argument \(2 given\)$"),
        (lambda ex: ex.delete(None, "id = 1"), "Argument 'filter' has incorrect type"),
        (lambda ex: ex.save(Post(title="wrong model")), "Argument 'instance' has incorrect type"),
        (lambda ex: ex.save(42), "Argument 'instance' has incorrect type"),
        (lambda ex: ex.update({"id": 1}), "Argument 'instance' has incorrect type"),
        (lambda ex: ex.update(Post(id=1, title="wrong model")), "Argument 'instance' has incorrect type"),
        (lambda ex: ex.saveAll([ExItem(label="ok"), Post(title="bad")]), "Argument 'instances' has incorrect type"),
    ],
)
def test_wrong_argument_types(items, db_path, call, message):
    before = raw(db_path, "SELECT * FROM ex_item ORDER BY id")
    with pytest.raises(TypeError, match=message):
        call(items)
    assert raw(db_path, "SELECT * FROM ex_item ORDER BY id") == before
    assert count(db_path, "t_post") == 0


def test_find_then_by(items):
    rows = items.find(ExItem.id, ExItem.label).By(ExItem.label == "plum")
    assert len(rows) == 1 and rows[0].label == "plum"
    # By without find runs the statement the generator holds
    items.findAllBy(ExItem.label == "fig")
    items.reset()
    items.find(ExItem.label)
    assert [r.label for r in items.By(ExItem.qty == 3)] == ["apple"]


def test_edit_sql_survives_first_reset(items):
    seen = []
    assert items.editSql(seen.append) is items
    assert seen == [items.sql]
    ex = ExItem.getExecutor()
    ex.editSql(lambda g: g.orderBy("-label"))
    assert [r.label for r in ex.findAllBy()] == ["plum", "pear", "fig", "apple"]


def test_delete(items, db_path):
    from Tavrik.Error.Strovy import DeleteWithOutPrimaryKeyError

    apple = items.findOneBy(ExItem.label == "apple")
    items.delete(apple)
    assert count(db_path, "ex_item") == 3
    for pk in (0, None):
        with pytest.raises(DeleteWithOutPrimaryKeyError):
            items.delete(ExItem(id=pk, label="pear", check=False))
    assert count(db_path, "ex_item") == 3
    items.delete(None, ExItem.qty == 7)
    assert [r[0] for r in raw(db_path, "SELECT label FROM ex_item")] == ["pear"]
    # an executed query's WHERE does not narrow a later deletion
    items.findAllBy(ExItem.label == "nothing")
    pear = ExItem.getExecutor().findOneBy()
    items.delete(pear)
    assert count(db_path, "ex_item") == 0


# ---------------------------------------------------------------- saving


def test_save_returns_same_instance_with_key(sqlite_db, db_path):
    ex = ExItem.getExecutor()
    it = ExItem(label="new", qty=2)
    assert it.id is None
    res = ex.save(it)
    assert res is it and it.id == 1 and ex.instance is it
    # a given key is kept
    it2 = ExItem(id=40, label="given")
    assert ex.save(it2) is it2 and it2.id == 40
    assert raw(db_path, "SELECT id, label FROM ex_item ORDER BY id") == [(1, "new"), (40, "given")]


def test_ids_beyond_32_bits(sqlite_db, db_path):
    ex = ExBig.getExecutor()
    big = 2**31 + 5
    assert ex.save(ExBig(id=big, note="a")).id == big
    nxt = ex.save(ExBig(note="b"))
    assert nxt.id == big + 1
    huge = ex.save(ExBig(id=2**40, note="c"))
    assert ex.save(ExBig(note="d")).id == 2**40 + 1 and huge.id == 2**40
    assert ex.findOneBy(ExBig.note == "b").id == big + 1


def test_bad_value_is_rejected_before_writing(sqlite_db, db_path):
    ex = ExDated.getExecutor()
    with pytest.raises((TypeError, ValueError), match="day"):
        ex.save(ExDated(day="not a date", check=False))
    assert count(db_path, "ex_dated") == 0


# ---------------------------------------------------------------- relations


@pytest.mark.parametrize("values", [dict(name="", age=0, active=False), dict(name="z", age=0, active=False)])
def test_falsy_values_are_written(sqlite_db, db_path, values):
    """0, False and "" are values: saving them must not store the column's
    default instead (active defaults to True)."""
    u = User.getExecutor().save(User(**values))
    assert u.id
    assert raw(db_path, "SELECT name, age, active FROM t_user WHERE id=?", (u.id,)) == [
        (values["name"], 0, 0)
    ]
    back = User.getExecutor().findOneBy(User.id == u.id)
    assert (back.name, back.age, back.active) == (values["name"], 0, False)
    assert User.getExecutor().saveAll([User(name="b", age=0, active=False)]) == 1
    assert raw(db_path, "SELECT age, active FROM t_user WHERE name='b'") == [(0, 0)]


def test_zero_primary_key_asks_for_a_new_key(sqlite_db, db_path):
    u = User.getExecutor().save(User(id=0, name="k"))
    assert u.id == 1 and raw(db_path, "SELECT id FROM t_user") == [(1,)]


def test_save_many_to_many_item_without_key_writes_nothing(sqlite_db, db_path):
    with pytest.raises(ValueError, match="roles"):
        User.getExecutor().save(User(name="dan", roles=[Role(name="unsaved")]))
    assert count(db_path, "t_user") == 0 and count(db_path, "t_user_role") == 0


def test_related_errors_are_raised_before_writing(sqlite_db, db_path):
    ex = User.getExecutor()
    u = User(name="eve")
    u["posts"] = [Post(title="ok"), Role(name="wrong")]
    with pytest.raises(TypeError, match="Argument 'instance' has incorrect type"):
        ex.save(u)
    u = User(name="eve")
    u["profile"] = Post(title="wrong")
    with pytest.raises(TypeError, match="Argument 'instance' has incorrect type"):
        ex.save(u)
    u = User(name="eve", posts=[{"title": "x" * 300}])
    with pytest.raises(ValueError, match="title"):
        ex.save(u)
    assert count(db_path, "t_user") == 0 and count(db_path, "t_post") == 0


# ---------------------------------------------------------------- batches


def test_save_all(sqlite_db, db_path):
    ex = ExItem.getExecutor()
    rows = [ExItem(label="b%d" % i, qty=i or None, code=HOSTILE[i % len(HOSTILE)]) for i in range(50)]
    assert ex.saveAll(rows) == 50
    got = raw(db_path, "SELECT label, qty, code FROM ex_item ORDER BY id")
    assert got == [("b%d" % i, i or None, HOSTILE[i % len(HOSTILE)]) for i in range(50)]
    assert ex.saveAll([]) == 0
    # junction rows, from plain dictionaries
    assert UserRole.getExecutor().saveAll([{"t_user_id": 1, "t_role_id": r} for r in (1, 2, 3)]) == 3
    assert count(db_path, "t_user_role") == 3
    # the executor works normally afterwards
    assert ex.save(ExItem(label="single")).id == 51


def test_save_all_validates_every_row_first(sqlite_db, db_path):
    ex = ExDated.getExecutor()
    import datetime

    good = [ExDated(day=datetime.date(2024, 1, d)) for d in range(1, 4)]
    with pytest.raises((TypeError, ValueError), match="day"):
        ex.saveAll(good + [ExDated(day="garbage", check=False)])
    assert count(db_path, "ex_dated") == 0
    assert ex.saveAll(good) == 3
    assert count(db_path, "ex_dated") == 3


def test_save_all_integrity_error_writes_nothing(sqlite_db, db_path):
    ex = ExItem.getExecutor()
    ex.save(ExItem(id=2, label="taken"))
    with pytest.raises(sqlite3.IntegrityError):
        ex.saveAll([ExItem(id=1, label="a"), ExItem(id=2, label="dup")])
    assert raw(db_path, "SELECT id, label FROM ex_item") == [(2, "taken")]


OPS_LEAK_SCRIPT = """
import gc, os, sys, tempfile, tracemalloc, weakref
sys.path[:0] = %(path)r
from Tavrik.DB.Connector import Sqlite3Connector
from Tavrik.DB.DB import DB
from Tavrik.Ext import generate_table
from Tavrik.Ext.Olvane import Olvane
from tests.models import Post, Profile, Role, User

DB.create(Sqlite3Connector(os.path.join(tempfile.mkdtemp(), "leak.db"), showLog=False))
generate_table()
role = Role.getExecutor().save(Role(name="r"))

def burst():
    ex = User.getExecutor()
    for i in range(50):
        u = ex.save(User(name="u", age=i, posts=[Post(title="p")], profile=Profile(bio="b"), roles=[role]))
        ex.findForeignKey(ex.findOneBy(User.id == u.id), deep=True)
        u.name = "v"
        ex.update(u)
        ex.save(User(id=u.id, name="v", age=None))  # a stored row: the insert falls back to an update
        ex.save(u)  # the same, with related rows (probed first)
        ex.saveAll([User(name="b%%d" %% k) for k in range(3)])
        ex.findListForeignKey(ex.findAnyMatch(User(name="v", check=False), 5, 0))
        Olvane(User, 1, 5).filter(User.age >= 0).orderBy(User.id).execute()
        ex.findAllBy(User.age >= 0, orderBy=(User.age.desc(), "id"), limit=3, offset=1, columns=("id", "name"))
        ex.count(User.age >= 0) + ex.exists(User.name == "v")
        ex.findAllBy((User.age * 2 + 1) > User.id - 1, orderBy=(User.age - 1.5).desc(), limit=2)
        ex.updateWhere(User.id == u.id, {User.age: User.age + 1})
        ex.aggregate(User.age >= 0, groupBy=[User.name], having=User.age.sum() > 0, n=User.id.count(),
                     s=(User.age / 2).sum(), orderBy="-n")
        try:
            ex.save(User(id=u.id, name="x" * 100))  # longer than the column allows
        except ValueError:
            pass
        ex.delete(u)
        ex.delete(None, User.name.like("b%%"))

"""


def test_database_operations_do_not_leak():
    """Saving, loading, updating, paging, aggregating and deleting over and
    over in a fresh interpreter: object count and traced memory stop growing."""
    assert_bursts_do_not_grow(OPS_LEAK_SCRIPT)