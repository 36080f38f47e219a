"""updateWhere(cond, values) and deleteWhere(cond): one statement over the
rows a condition picks, on every road (sync SQLite, aiosqlite, MySQL); the
count each returns, the calls refused before anything runs, values converted
by their column, a hostile column name, and a rolled-back block."""
import decimal

import pytest

from Tavrik.Model.Korvid import Korvid, _KorvidMeta
from Tavrik.Model.ModelProperty import AutoIncrement, BoolProperty, DecimalProperty, IntProperty, StrProperty
from tests.roads import road  # noqa: F401  (fixture)

HOSTILE = 'n`o"te; %s'

BkItem = _KorvidMeta("BkItem", (Korvid,), {
    "tableName": "bk_item",
    "id": IntProperty(primaryKey=True, default=AutoIncrement),
    "name": StrProperty(20),
    "flag": BoolProperty(nullable=True),
    "price": DecimalProperty(10, 2, nullable=True),
    HOSTILE: StrProperty(20, nullable=True),
})
COL = getattr(BkItem, HOSTILE)


async def with_rows(road, names=("a", "a", "b", "c")):
    rows = ", ".join("('%s', 0)" % n for n in names)
    road.ddl(
        "DROP TABLE IF EXISTS bk_item;"
        "CREATE TABLE bk_item (id INTEGER PRIMARY KEY AUTOINCREMENT, name VARCHAR(20) NOT NULL,"
        ' flag INTEGER, price DECIMAL(10, 2), "n`o""te; %%s" VARCHAR(20));'
        "INSERT INTO bk_item (name, flag) VALUES %s;" % rows,
        ["CREATE TABLE bk_item (id INT PRIMARY KEY AUTO_INCREMENT, name VARCHAR(20) NOT NULL,"
         " flag TINYINT(1), price DECIMAL(10, 2), `n``o\"te; %s` VARCHAR(20)) ENGINE=InnoDB",
         "INSERT INTO bk_item (name, flag) VALUES %s" % rows])
    await road.open()


def ex():
    return BkItem.getExecutor()


@pytest.mark.parametrize("call, expected, left", [
    (lambda: ex().updateWhere(BkItem.name == "a", {"name": "z"}), 2, ["b", "c", "z", "z"]),
    (lambda: ex().updateWhere(BkItem.name == "a", {BkItem.name: "z"}, all=True), 2, ["b", "c", "z", "z"]),
    (lambda: ex().updateWhere(None, {"name": "z"}, all=True), 4, ["z", "z", "z", "z"]),
    (lambda: ex().updateWhere(BkItem.name == "none", {"name": "z"}), 0, ["a", "a", "b", "c"]),
    (lambda: ex().deleteWhere(BkItem.name == "a"), 2, ["b", "c"]),
    (lambda: ex().deleteWhere(None, all=True), 4, []),
])
async def test_counts_the_rows_the_statement_reaches(road, call, expected, left):  # noqa: F811
    await with_rows(road)
    n, err = await road.call(call)
    assert err is None and n == expected
    assert sorted(r[0] for r in road.rows("SELECT name FROM bk_item")) == left


async def test_a_row_already_holding_the_values_counts_on_sqlite_not_on_mysql(road):  # noqa: F811
    await with_rows(road, ("a", "z"))
    n, err = await road.call(lambda: ex().updateWhere(None, {"name": "z"}, all=True))
    assert err is None and n == (1 if road.mysql else 2)


@pytest.mark.parametrize("call, error, text", [
    (lambda: ex().updateWhere(None, {"name": "z"}), ValueError, "all=True"),
    (lambda: ex().deleteWhere(None), ValueError, "all=True"),
    (lambda: ex().updateWhere(BkItem.name == "a", {}), ValueError, "no column"),
    (lambda: ex().updateWhere(BkItem.name == "a", {"id": 9}), ValueError, "primary key"),
    (lambda: ex().updateWhere(BkItem.name == "a", {BkItem.id: 9}, all=True), ValueError, "primary key"),
    (lambda: ex().updateWhere(BkItem.name == "a", {"nope": 1}), ValueError, "nope"),
    (lambda: ex().updateWhere("name = 'a'", {"name": "z"}), TypeError, "cond"),
])
async def test_refused_before_anything_runs(road, call, error, text):  # noqa: F811
    await with_rows(road)
    _, err = await road.call(call)
    assert isinstance(err, error) and text in str(err)
    # Names only: a cluster node steps its auto-increment keys.
    assert sorted(r[0] for r in road.rows("SELECT name FROM bk_item")) == ["a", "a", "b", "c"]


async def test_values_are_converted_by_their_column(road):  # noqa: F811
    await with_rows(road)
    values = {BkItem.flag: True, "price": decimal.Decimal("12.5"), HOSTILE: "it's; %s"}
    n, err = await road.call(lambda: ex().updateWhere(BkItem.name == "b", values))
    assert err is None and n == 1
    assert road.rows('SELECT flag FROM bk_item ORDER BY id') == [(0,), (0,), (1,), (0,)]
    rows, err = await road.call(lambda: ex().findAllBy(BkItem.name == "b"))
    assert err is None
    assert (rows[0]["price"], rows[0][HOSTILE]) == (decimal.Decimal("12.5"), "it's; %s")
    n, err = await road.call(lambda: ex().deleteWhere(COL == "it's; %s"))
    assert err is None and n == 1


async def test_rolled_back_block_leaves_the_rows_unchanged(road):  # noqa: F811
    await with_rows(road)
    c = road.connector

    def sync_block():
        with c.transaction():
            assert BkItem.getExecutor().updateWhere(None, {"name": "z"}, all=True) == 4
            raise LookupError("undo")

    async def async_block():
        async with c.transaction() as con:
            assert await BkItem.getExecutor(con).updateWhere(None, {"name": "z"}, all=True) == 4
            raise LookupError("undo")

    _, err = await road.call(sync_block if road.sync else async_block)
    assert isinstance(err, LookupError)
    assert sorted(r[0] for r in road.rows("SELECT name FROM bk_item")) == ["a", "a", "b", "c"]
