"""Ordering, row windows, column selections, count() and exists() on every
road (sync SQLite, aiosqlite, MySQL), including a column declared under
another name and hostile table and column names and values."""
import copy
import pickle

import pytest

from Tavrik.Error.Strovy import DeleteWithOutPrimaryKeyError
from Tavrik.Model.Korvid import Korvid, _KorvidMeta
from Tavrik.Model.ModelProperty import AutoIncrement, IntProperty, StrProperty
from tests.roads import road  # noqa: F401  (fixture)


class QPerson(Korvid):
    tableName = "q_person"
    id = IntProperty(primaryKey=True, default=AutoIncrement)
    name = StrProperty(40)
    age = IntProperty(nullable=True)
    city = StrProperty(40, name="home_city", nullable=True)


HOSTILE_TABLE = 'q"; DROP TABLE q_person;--'
HOSTILE_COLS = ["desc", "order", "c`b", "c%s", "it's"]


class QHostile(Korvid):
    tableName = HOSTILE_TABLE
    id = IntProperty(primaryKey=True, default=AutoIncrement)
    locals().update({c: StrProperty(40, nullable=True) for c in HOSTILE_COLS})


# The tables are the tests' own: generate_table of other tests leaves them alone.
for _m in (QPerson, QHostile):
    _KorvidMeta.ModelList.remove(_m)

PEOPLE = [
    (1, "ann", 30, "Oslo"),
    (2, "bob", None, "Rome"),
    (3, "cid", 25, "Oslo"),
    (4, "dan", 30, None),
    (5, "eve", None, "Oslo"),
    (6, "fay", 25, "Rome"),
    (7, "gus", 41, "Rome"),
]
# (id, desc, order, c`b, c%s, it's)
HOSTILE_ROWS = [
    (1, "b", "x'; DROP TABLE q_person;--", "%s", "?", None),
    (2, "a", "y", "z", "%s", "it's"),
    (3, "b", "\n--", None, "?", "it's"),
]


def sql_value(v, mysql):
    if v is None:
        return "NULL"
    if isinstance(v, int):
        return str(v)
    s = v.replace("'", "''")
    return "'%s'" % (s.replace("\\", "\\\\") if mysql else s)


def ddl(table, cols, rows, mysql):
    q = (lambda n: "`%s`" % n.replace("`", "``")) if mysql else (lambda n: '"%s"' % n.replace('"', '""'))
    key = "INT PRIMARY KEY AUTO_INCREMENT" if mysql else "INTEGER PRIMARY KEY AUTOINCREMENT"
    create = "CREATE TABLE %s (%s %s, %s)" % (
        q(table), q(cols[0][0]), key, ", ".join("%s %s" % (q(n), t) for n, t in cols[1:]))
    insert = "INSERT INTO %s (%s) VALUES %s" % (
        q(table), ", ".join(q(n) for n, _ in cols),
        ", ".join("(%s)" % ", ".join(sql_value(v, mysql) for v in r) for r in rows))
    return [create + (" ENGINE=InnoDB" if mysql else ""), insert]


@pytest.fixture
async def people(road):  # noqa: F811
    person_cols = [("id", ""), ("name", "VARCHAR(40) NOT NULL"), ("age", "INT NULL"), ("home_city", "VARCHAR(40) NULL")]
    hostile_cols = [("id", "")] + [(c, "VARCHAR(40) NULL") for c in HOSTILE_COLS]
    script = {
        m: ddl("q_person", person_cols, PEOPLE, m) + ddl(HOSTILE_TABLE, hostile_cols, HOSTILE_ROWS, m)
        for m in (False, True)
    }
    road.ddl(";\n".join(script[False]) + ";", script[True])
    await road.open()
    return road


async def ok(road, fn):
    res, err = await road.call(fn)
    assert err is None, repr(err)
    return res


P = QPerson


@pytest.mark.parametrize(
    "order, ids",
    [
        # descending NULLs come last, ascending ones first, on both databases
        ((P.age.desc(), P.id), [7, 1, 4, 3, 6, 2, 5]),
        (("age", "-id"), [5, 2, 6, 3, 4, 1, 7]),
        ([(P.age, "DESC"), P.name.desc()], [7, 4, 1, 6, 3, 5, 2]),
        # a column declared under another name, by attribute and by column name
        ([("city", "desc"), P.name.asc()], [2, 6, 7, 1, 3, 5, 4]),
        (["-home_city", "id"], [2, 6, 7, 1, 3, 5, 4]),
        ([P.city.asc(), "-name"], [4, 5, 3, 1, 7, 6, 2]),
        # one pair is one term
        ((P.id, "desc"), [7, 6, 5, 4, 3, 2, 1]),
        ("-id", [7, 6, 5, 4, 3, 2, 1]),
        (P.id, [1, 2, 3, 4, 5, 6, 7]),
    ],
)
async def test_ordering_by_several_columns(people, order, ids):
    rows = await ok(people, lambda: P.getExecutor().findAllBy(orderBy=order))
    assert [r.id for r in rows] == ids
    # with a condition, and findAnyMatch, in the same order
    rows = await ok(people, lambda: P.getExecutor().findAllBy(P.id > 2, orderBy=order))
    assert [r.id for r in rows] == [i for i in ids if i > 2]
    rows = await ok(people, lambda: P.getExecutor().findAnyMatch(P(city="Oslo"), orderBy=order))
    assert [r.id for r in rows] == [i for i in ids if i in (1, 3, 5)]


@pytest.mark.parametrize(
    "cond, window, ids",
    [
        (None, dict(limit=3), [1, 2, 3]),
        (None, dict(limit=3, offset=2), [3, 4, 5]),
        (None, dict(offset=5), [6, 7]),
        (None, dict(limit=0), []),
        (None, dict(offset=7), []),
        (None, dict(limit=2 ** 63 - 1, offset=6), [7]),
        (P.age != None, dict(limit=2, offset=1), [3, 4]),  # noqa: E711
        (P.city == "Rome", dict(limit=1, offset=1), [6]),
    ],
)
async def test_limit_and_offset_windows(people, cond, window, ids):
    rows = await ok(people, lambda: P.getExecutor().findAllBy(cond, orderBy=P.id, **window))
    assert [r.id for r in rows] == ids


async def test_find_one_takes_the_first_of_an_ordered_window(people):
    oldest = await ok(people, lambda: P.getExecutor().findOneBy(orderBy=P.age.desc(), limit=1))
    assert oldest.name == "gus"
    second = await ok(people, lambda: P.getExecutor().findOneBy(P.city == "Oslo", orderBy="-name", limit=1,
                                                                offset=1, columns="name"))
    assert dict(second) == {"name": "cid"}


@pytest.mark.parametrize(
    "cond, count",
    [
        (None, 7),
        (P.age == 30, 2),
        (P.age == None, 2),  # noqa: E711
        (P.age > 100, 0),
        ((P.city == "Oslo") | (P.age == 41), 4),
        (P.name == "x'; DROP TABLE q_person;--", 0),
        (P.name.in_(["ann", "bob", "%s"]), 2),
    ],
)
async def test_count_and_exists(people, cond, count):
    ex = P.getExecutor()
    assert await ok(people, lambda: ex.count(cond)) == count
    text, params = ex.sql.statementPair()
    assert text.startswith("SELECT COUNT(*) FROM ")
    assert await ok(people, lambda: ex.exists(cond)) is (count > 0)
    text, params = ex.sql.statementPair()
    assert text.startswith("SELECT 1 FROM ") and text.endswith(" LIMIT 1")
    assert "DROP" not in text  # values are bound
    if cond is None:
        assert await ok(people, lambda: P.getExecutor().count()) == 7
        assert await ok(people, lambda: P.getExecutor().exists()) is True
    # the executor goes on to other queries afterwards
    rows = await ok(people, lambda: ex.findAllBy(cond, orderBy=P.id))
    assert len(rows) == count


async def test_count_ignores_a_window_added_beforehand(people):
    ex = P.getExecutor()
    ex.editSql(lambda s: s.Limit(1, 3).orderBy(P.name))
    assert await ok(people, lambda: ex.count(P.age != None)) == 5  # noqa: E711


@pytest.mark.parametrize(
    "columns, keys",
    [
        ((P.id, P.city), ["id", "city"]),
        ("name", ["name"]),
        (["home_city"], ["city"]),  # by the database column's name
        ([P.city, "age", P.id], ["city", "age", "id"]),
    ],
)
async def test_column_selection_rows_hold_only_those_columns(people, columns, keys):
    rows = await ok(people, lambda: P.getExecutor().findAllBy(P.id <= 3, orderBy=P.id, columns=columns))
    assert [sorted(r) for r in rows] == [sorted(keys)] * 3
    assert all(type(r) is P.modelInstance for r in rows)
    full = {r[0]: dict(zip(("id", "name", "age", "city"), r)) for r in PEOPLE}
    assert [dict(r) for r in rows] == [{k: full[i][k] for k in keys} for i in (1, 2, 3)]
    one = await ok(people, lambda: P.getExecutor().findOneBy(P.id == 2, columns=columns))
    assert dict(one) == {k: full[2][k] for k in keys}
    match = await ok(people, lambda: P.getExecutor().findAnyMatch(P(city="Rome"), 2, 1, orderBy="id",
                                                                  columns=columns))
    assert [dict(r) for r in match] == [{k: full[i][k] for k in keys} for i in (6, 7)]
    # the next full selection of the same executor has every column again
    ex = P.getExecutor()
    await ok(people, lambda: ex.findAllBy(columns=columns))
    again = await ok(people, lambda: ex.findAllBy(P.id == 1))
    assert dict(again[0]) == full[1]


H = QHostile


async def test_hostile_names_and_values(people):
    col = {c: getattr(H, c) for c in HOSTILE_COLS}
    rows = await ok(people, lambda: H.getExecutor().findAllBy(orderBy=["-desc", col["order"].desc()]))
    assert [r.id for r in rows] == [1, 3, 2]
    rows = await ok(people, lambda: H.getExecutor().findAllBy(orderBy=("desc", "it's", "-id")))
    assert [r.id for r in rows] == [2, 1, 3]
    rows = await ok(people, lambda: H.getExecutor().findAllBy(col["c%s"] == "?", orderBy=(col["c`b"], "desc"),
                                                             columns=("order", "c`b")))
    assert [dict(r) for r in rows] == [
        {"order": "x'; DROP TABLE q_person;--", "c`b": "%s"},
        {"order": "\n--", "c`b": None},
    ]
    assert await ok(people, lambda: H.getExecutor().count(col["order"] == "x'; DROP TABLE q_person;--")) == 1
    assert await ok(people, lambda: H.getExecutor().count(col["it's"] == "it's")) == 2
    assert await ok(people, lambda: H.getExecutor().exists(col["c%s"] == "%s")) is True
    assert await ok(people, lambda: H.getExecutor().exists(col["c`b"] == "'; --")) is False
    assert people.rows("SELECT COUNT(*) FROM q_person") == [(7,)]


async def streamed(road, fn):
    """The ids iterate() gives: fn(executor) makes the iterator."""
    if road.sync:
        return [r.id for r in fn(P.getExecutor())]

    async def collect():
        return [r.id async for r in fn(P.getExecutor())]

    return await ok(road, collect)


@pytest.mark.parametrize("order", [None, "age", "-age", ["city", "-name"], [P.age.desc(), "-id"], "-id"])
async def test_iterate_gives_every_row_in_order_page_by_page(people, order):
    # Ties and NULLs in the ordering columns, pages that end on a tie.
    terms = [] if order is None else ([order] if not isinstance(order, list) else order)
    full = terms if any(t in ("id", "-id") for t in terms) else terms + ["id"]
    want = [r.id for r in await ok(people, lambda: P.getExecutor().findAllBy(orderBy=full))]
    oslo = [i for i in want if PEOPLE[i - 1][3] == "Oslo"]
    for batch in (1, 2, 7, 100):
        assert await streamed(people, lambda ex: ex.iterate(batchSize=batch, orderBy=order)) == want, batch
        assert await streamed(people, lambda ex: ex.iterate(P.city == "Oslo", batchSize=batch, orderBy=order)) == oslo


async def test_iterate_left_early_holds_nothing_and_splits_no_transaction(people):
    c = people.connector
    if people.sync:
        for row in P.getExecutor().iterate(batchSize=2):
            break
        assert row.id == 1
        P.getExecutor().save(P(id=101, name="after", age=1))
    else:
        async def task():
            await P.getExecutor().save(P(id=100, name="before", age=1))
            async for row in P.getExecutor().iterate(batchSize=2):
                break
            await P.getExecutor().save(P(id=101, name="after", age=1))
            return row.id

        assert await ok(people, task) == 1
    names = [r[0] for r in people.rows("SELECT name FROM q_person WHERE age = 1 ORDER BY id")]
    assert names == (["after"] if people.sync else ["before", "after"])
    assert getattr(c, "boundConnections", 0) == 0
    with pytest.raises(ValueError, match="batchSize"):
        P.getExecutor().iterate(batchSize=0)  # at the call, on both roads
    with pytest.raises(TypeError, match="cond|Filter"):
        P.getExecutor().iterate("age > 1")


async def test_raw_sql_gives_the_models_converted_rows(people):
    # "%s" placeholders on every database; a literal holding "%s" and "?"
    # stays a literal; the `name=` column is found by its column name; a
    # column the model lacks is left out.
    rows = await ok(people, lambda: P.getExecutor().raw(
        "SELECT id, name, age, home_city, 1 AS extra FROM q_person WHERE age = %s AND name <> '%s?' ORDER BY id",
        (30,)))
    assert [dict(r) for r in rows] == [{"id": 1, "name": "ann", "age": 30, "city": "Oslo"},
                                       {"id": 4, "name": "dan", "age": 30, "city": None}]
    assert all(type(r) is type(P.getExecutor().findOneBy(P.id == 1)) for r in rows) if people.sync else True
    # Backquoted names are written in the database's quotes.
    rows = await ok(people, lambda: H.getExecutor().raw(
        'SELECT `id`, `c%s`, `it\'s` FROM `q"; DROP TABLE q_person;--` WHERE `c%s` = %s ORDER BY `id`', ["?"]))
    assert [dict(r) for r in rows] == [{"id": 1, "c%s": "?", "it's": None}, {"id": 3, "c%s": "?", "it's": "it's"}]
    assert await ok(people, lambda: P.getExecutor().raw("SELECT id FROM q_person WHERE id < %s", (0,))) == []
    with pytest.raises(TypeError, match="params"):
        P.getExecutor().raw("SELECT 1", 5)  # before any awaitable exists


@pytest.mark.parametrize(
    "call, error, text",
    [
        (lambda ex: ex.findAllBy(limit=-1), ValueError, "limit must not be negative"),
        (lambda ex: ex.findAllBy(offset=-1), ValueError, "offset must not be negative"),
        (lambda ex: ex.findOneBy(limit=2 ** 63), OverflowError, "64-bit"),
        (lambda ex: ex.findAllBy(limit="10"), TypeError, "limit"),
        (lambda ex: ex.findAllBy(orderBy=(P.age, "sideways", "x")), ValueError, "no column 'sideways'"),
        (lambda ex: ex.findAllBy(orderBy=[(P.age, "up")]), ValueError, "'asc' or 'desc'"),
        (lambda ex: ex.findAllBy(orderBy='id"; DROP TABLE q_person;--'), ValueError, "has no column"),
        (lambda ex: ex.findAllBy(orderBy=3), TypeError, "orderBy"),
        (lambda ex: ex.findAllBy(columns=()), ValueError, "at least one column"),
        (lambda ex: ex.findAllBy(columns=("id", "nope")), ValueError, "no column 'nope'"),
        (lambda ex: ex.findAllBy(columns=(H.id,)), ValueError, "not a column of"),
        (lambda ex: ex.findAllBy(orderBy=[P.age, H.id.desc()]), ValueError, "not a column of"),
        (lambda ex: ex.delete(None), DeleteWithOutPrimaryKeyError, "删除数据库实例需要包含主键字段"),
        (lambda ex: ex.findAnyMatch(P(age=1), columns=[None]), TypeError, "columns"),
        (lambda ex: ex.findAllBy(None, True), TypeError, "at most 1"),
        (lambda ex: ex.count(P.age > 1, None), TypeError, "at most 1"),
        (lambda ex: ex.exists("1"), TypeError, "Filter"),
    ],
)
async def test_bad_options_are_refused_before_anything_runs(people, call, error, text):
    ex = P.getExecutor()
    with pytest.raises(error, match=text):
        call(ex)  # on the asynchronous roads too, before any awaitable exists
    assert ex.reset() is None  # nothing was executed


@pytest.mark.parametrize("road", ["sqlite"], indirect=True)  # the copies re-run the statement at once
async def test_copies_of_an_executor_keep_what_its_statement_returns(people):
    ex = P.getExecutor()
    ex.findAllBy(P.age == 30, orderBy=P.id.desc(), columns=(P.city, "name"))
    for clone in (copy.copy(ex), copy.deepcopy(ex), pickle.loads(pickle.dumps(ex))):
        assert [dict(r) for r in clone.execute()] == [{"city": None, "name": "dan"}, {"city": "Oslo", "name": "ann"}]
    for call, result in ((lambda: ex.count(P.city == "Rome"), 3), (lambda: ex.exists(P.age > 40), True)):
        assert call() == result
        for clone in (copy.copy(ex), copy.deepcopy(ex), pickle.loads(pickle.dumps(ex))):
            assert clone.execute() == result
