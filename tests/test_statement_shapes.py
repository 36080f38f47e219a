"""Statements of one shape repeat with new values, on every road: calls that
differ only in their values each bind their own, and calls whose statements
differ in anything else (an operator, NULL, a column, the number of IN items,
the structure of the condition, ordering, window, lock, the model) each get
their own statement, however they follow one another."""
import pytest

from Tavrik.DB.DB import DB
from Tavrik.Model.Korvid import Korvid, _KorvidMeta
from Tavrik.Model.ModelProperty import AutoIncrement, IntProperty, StrProperty
from tests.roads import road  # noqa: F401  (fixture)


def _model(name, table):
    return _KorvidMeta(name, (Korvid,), {
        "tableName": table,
        "id": IntProperty(primaryKey=True, default=AutoIncrement),
        "name": StrProperty(20, nullable=True),
        "qty": IntProperty(),
    })


It = _model("SsItem", "ss_item")
Ot = _model("SsOther", "ss_other")


async def with_rows(road):
    items = "(1, 'a', 10), (2, NULL, 20), (3, 'c', 30), (4, 'a', 40)"
    others = "(1, 'other', 10)"
    road.ddl(
        "DROP TABLE IF EXISTS ss_item; DROP TABLE IF EXISTS ss_other;"
        "CREATE TABLE ss_item (id INTEGER PRIMARY KEY AUTOINCREMENT, name VARCHAR(20), qty INTEGER NOT NULL);"
        "CREATE TABLE ss_other (id INTEGER PRIMARY KEY AUTOINCREMENT, name VARCHAR(20), qty INTEGER NOT NULL);"
        "INSERT INTO ss_item VALUES %s; INSERT INTO ss_other VALUES %s;" % (items, others),
        ["CREATE TABLE ss_item (id INT PRIMARY KEY AUTO_INCREMENT, name VARCHAR(20), qty INT NOT NULL)"
         " ENGINE=InnoDB",
         "CREATE TABLE ss_other (id INT PRIMARY KEY AUTO_INCREMENT, name VARCHAR(20), qty INT NOT NULL)"
         " ENGINE=InnoDB",
         "INSERT INTO ss_item VALUES %s" % items, "INSERT INTO ss_other VALUES %s" % others])
    await road.open()


def find(model, cond, **options):
    return lambda: model.getExecutor().findAllBy(cond, **options)


def ids(rows):
    return [r.id for r in rows]


# Each sequence runs in order on the same table: every call after the first
# meets a statement of the same model made just before it.
SEQUENCES = {
    "values": [(find(It, It.name == "a"), [1, 4]), (find(It, It.name == "c"), [3])],
    "null": [(find(It, It.name == "a"), [1, 4]), (find(It, It.name == None), [2]),  # noqa: E711
             (find(It, It.name != None), [1, 3, 4])],  # noqa: E711
    "operator": [(find(It, It.qty < 30), [1, 2]), (find(It, It.qty > 30), [4]), (find(It, It.qty >= 30), [3, 4])],
    "column": [(find(It, It.qty == 20), [2]), (find(It, It.id == 20), [])],
    "in items": [(find(It, It.id.in_([1, 2])), [1, 2]), (find(It, It.id.in_([1, 2, 3])), [1, 2, 3]),
                 (find(It, It.id.in_([4, 3])), [3, 4]), (find(It, It.id.in_([])), [])],
    "structure": [(find(It, (It.name == "a") & (It.qty > 10)), [4]),
                  (find(It, (It.name == "a") | (It.qty > 10)), [1, 2, 3, 4]),
                  (find(It, ~(It.name == "a")), [3])],
    "expression": [(find(It, It.qty == It.id * 10), [1, 2, 3, 4]), (find(It, It.qty == It.id + 10), []),
                   (find(It, It.qty == It.id * 20), [])],
    "ordering": [(find(It, None, orderBy="-qty"), [4, 3, 2, 1]), (find(It, None, orderBy="qty"), [1, 2, 3, 4])],
    "window": [(find(It, None, orderBy="qty", limit=1), [1]), (find(It, None, orderBy="qty", limit=2), [1, 2]),
               (find(It, None, orderBy="qty", limit=2, offset=2), [3, 4])],
}


@pytest.mark.parametrize("name", list(SEQUENCES))
async def test_each_call_reads_its_own_rows(road, name):  # noqa: F811
    await with_rows(road)
    for call, expected in SEQUENCES[name]:
        rows, err = await road.call(call)
        assert err is None
        got = ids(rows) if "ordering" in name or "window" in name else sorted(ids(rows))
        assert got == expected, (name, expected)


async def test_finds_of_other_models_keep_their_own_table(road):  # noqa: F811
    await with_rows(road)
    for model, want in ((It, "a"), (Ot, "other"), (It, "a")):
        rows, err = await road.call(find(model, model.id == 1))
        assert err is None and [r.name for r in rows] == [want]


async def test_counts_and_probes_by_shape(road):  # noqa: F811
    await with_rows(road)
    for call, expected in [(lambda: It.getExecutor().count(It.name == None), 1),  # noqa: E711
                           (lambda: It.getExecutor().count(It.name == "a"), 2),
                           (lambda: It.getExecutor().count(It.name == "c"), 1),
                           (lambda: It.getExecutor().exists(It.name == "zz"), False),
                           (lambda: It.getExecutor().exists(It.name == "c"), True)]:
        got, err = await road.call(call)
        assert err is None and got == expected


async def test_writes_of_one_shape_bind_their_own_values(road):  # noqa: F811
    await with_rows(road)
    ex = It.getExecutor
    calls = [lambda: ex().updateWhere(It.id == 1, {It.name: "x"}),
             lambda: ex().updateWhere(It.id == 2, {It.name: "y"}),
             lambda: ex().updateWhere(It.id == 3, {It.qty: It.qty + 1}),
             lambda: ex().updateWhere(It.id == 4, {It.qty: It.qty - 5}),
             lambda: ex().updateWhere(It.id == 4, {It.name: None}),
             lambda: ex().updateWhere(It.name == None, {It.qty: 0}),  # noqa: E711
             lambda: ex().deleteWhere(It.id.in_([1])),
             lambda: ex().deleteWhere(It.id.in_([5, 6]))]
    for call in calls:
        _, err = await road.call(call)
        assert err is None
    assert sorted(road.rows("SELECT id, name, qty FROM ss_item")) == [(2, "y", 20), (3, "c", 31), (4, None, 0)]


async def test_a_lock_is_asked_only_where_asked(road):  # noqa: F811
    await with_rows(road)
    events = []
    DB.getInstance().onStatement(events.append)
    try:
        for lock in (False, True, False):
            rows, err = await road.call(find(It, It.id == 1, forUpdate=lock))
            assert err is None and ids(rows) == [1]
    finally:
        DB.getInstance().onStatement(None)
    texts = [e.text for e in events if "ss_item" in e.text]
    locks = road.mysql or road.postgresql
    assert ["FOR UPDATE" in t for t in texts] == [False, locks, False]
