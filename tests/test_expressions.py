"""Arithmetic over columns on every road: in conditions (beside &, | and ~),
in ordering and as the values updateWhere sets; columns compared with
columns; one division on every database; hostile column names inside
expressions."""
import decimal

import pytest

from Tavrik.Model.Korvid import Korvid, _KorvidMeta
from Tavrik.Model.ModelProperty import AutoIncrement, DecimalProperty, IntProperty, StrProperty
from tests.roads import road  # noqa: F401  (fixture)

HA = 'o`r"d; %s--'
HB = "order"

XpItem = _KorvidMeta("XpItem", (Korvid,), {
    "tableName": "xp_item",
    "id": IntProperty(primaryKey=True, default=AutoIncrement),
    "name": StrProperty(20),
    "price": DecimalProperty(10, 2, nullable=True),
    "qty": IntProperty(nullable=True),
    "stock": IntProperty(),
    "reorderAt": IntProperty(name="reorder_at"),
    "note": StrProperty(20, nullable=True),
    HA: IntProperty(nullable=True),
    HB: IntProperty(nullable=True),
})
A = getattr(XpItem, HA)
B = getattr(XpItem, HB)
It = XpItem

ROWS = [("a", "1.50", "2", 5, 10, 1, 7), ("b", "2.25", "4", 0, 3, 2, 8), ("c", "10.00", "NULL", 12, 12, 3, 9),
        ("d", "NULL", "1", 7, 2, 4, "NULL")]


async def with_rows(road):
    values = ", ".join("('%s', %s, %s, %d, %d, %s, %s)" % r for r in ROWS)
    road.ddl(
        "DROP TABLE IF EXISTS xp_item;"
        "CREATE TABLE xp_item (id INTEGER PRIMARY KEY AUTOINCREMENT, name VARCHAR(20) NOT NULL,"
        " price DECIMAL(10, 2), qty INTEGER, stock INTEGER NOT NULL, reorder_at INTEGER NOT NULL,"
        ' note VARCHAR(20), "o`r""d; %%s--" INTEGER, "order" INTEGER);'
        'INSERT INTO xp_item (name, price, qty, stock, reorder_at, "o`r""d; %%s--", "order") VALUES %s;' % values,
        ["CREATE TABLE xp_item (id INT PRIMARY KEY AUTO_INCREMENT, name VARCHAR(20) NOT NULL,"
         " price DECIMAL(10, 2), qty INT, stock INT NOT NULL, reorder_at INT NOT NULL, note VARCHAR(20),"
         " `o``r\"d; %s--` INT, `order` INT) ENGINE=InnoDB",
         "INSERT INTO xp_item (name, price, qty, stock, reorder_at, `o``r\"d; %%s--`, `order`) VALUES %s" % values])
    await road.open()


def ex():
    return XpItem.getExecutor()


def names(rows):
    return sorted(r["name"] for r in rows)


@pytest.mark.parametrize("cond, expected", [
    ((It.price * It.qty) >= 5, ["b"]),
    (It.stock - 1 > 5, ["c", "d"]),
    (1 + It.stock == 6, ["a"]),
    (-It.stock < -6, ["c", "d"]),
    (It.stock - (It.qty - 1) == 4, ["a"]),
    (It.stock * (It.qty + 1) == 15, ["a"]),
    (It.stock * 2 + 1 == 11, ["a"]),
    # Never integer division: 5 / 2 is 2.5 on every database.
    (It.stock / 2 > 2, ["a", "c", "d"]),
    (It.stock * 1.5 >= 7.5, ["a", "c", "d"]),
    # A zero divisor gives NULL on every database (PostgreSQL would fail).
    ((It.stock / (It.qty - 1)) == None, ["c", "d"]),  # noqa: E711
    (It.stock / (It.qty - 1) == 5, ["a"]),
    (It.price / 2 == decimal.Decimal("0.75"), ["a"]),
    (It.price * 2 > decimal.Decimal("4.4"), ["b", "c"]),
    ((It.stock - 1 > 5) & ~(It.qty == None), ["d"]),  # noqa: E711
    ((It.stock / 4 == It.qty) | (It.price - 1 == decimal.Decimal("0.5")), ["a"]),
    ((A * B) >= 16, ["b", "c"]),
])
async def test_arithmetic_in_a_condition(road, cond, expected):  # noqa: F811
    await with_rows(road)
    rows, err = await road.call(lambda: ex().findAllBy(cond))
    assert err is None and names(rows) == expected


@pytest.mark.parametrize("call, expected", [
    (lambda: ex().count(It.stock - It.reorderAt > 0), 1),
    (lambda: ex().exists(It.stock * 0 != 0), False),
    (lambda: ex().deleteWhere(It.stock / It.reorderAt <= 0.5), 2),
])
async def test_the_other_calls_taking_a_condition(road, call, expected):  # noqa: F811
    await with_rows(road)
    got, err = await road.call(call)
    assert err is None and got == expected


@pytest.mark.parametrize("cond, expected", [
    (It.stock < It.reorderAt, ["a", "b"]),
    (It.stock == It.reorderAt, ["c"]),
    (It.reorderAt - 2 >= It.stock, ["a", "b"]),
    (A * 7 == B, ["a"]),
])
async def test_columns_compared_with_columns(road, cond, expected):  # noqa: F811
    await with_rows(road)
    rows, err = await road.call(lambda: ex().findAllBy(cond))
    assert err is None and names(rows) == expected


@pytest.mark.parametrize("call, expected", [
    (lambda: ex().findAllBy(orderBy=(It.stock - It.reorderAt).desc()), ["d", "c", "b", "a"]),
    # NULLs first ascending, last descending, as for columns.
    (lambda: ex().findAllBy(orderBy=[It.qty * 2, "id"]), ["c", "d", "a", "b"]),
    (lambda: ex().findAllBy(orderBy=[(It.price * It.qty, "desc"), "id"]), ["b", "a", "c", "d"]),
    # The values of the condition, the ordering and the window bound in their order.
    (lambda: ex().findAllBy(It.stock > 1, orderBy=(It.stock - 100).desc(), limit=2), ["c", "d"]),
    (lambda: ex().findAllBy(orderBy=-A), ["d", "c", "b", "a"]),
])
async def test_ordered_by_an_expression(road, call, expected):  # noqa: F811
    await with_rows(road)
    rows, err = await road.call(call)
    assert err is None and [r["name"] for r in rows] == expected


@pytest.mark.parametrize("cond, values, column, expected", [
    (It.stock > 0, {It.stock: It.stock - 1, It.note: "x"}, "stock, note", [(4, "x"), (0, None), (11, "x"), (6, "x")]),
    (It.stock > 0, {"note": It.name}, "note", [("a",), (None,), ("c",), ("d",)]),
    (It.price != None, {It.price: It.price * 2}, "price",  # noqa: E711
     [(decimal.Decimal("3.00"),), (decimal.Decimal("4.50"),), (decimal.Decimal("20.00"),), (None,)]),
    (It.stock > 0, {A: A + B * 10}, "`o``r\"d; %s--`", [(71,), (2,), (93,), (None,)]),
])
async def test_update_sets_expressions(road, cond, values, column, expected):  # noqa: F811
    await with_rows(road)
    n, err = await road.call(lambda: ex().updateWhere(cond, values))
    # Every row picked changes: the count is the same where it counts changes (MySQL).
    assert err is None and n == 3
    assert road.rows("SELECT %s FROM xp_item ORDER BY id" % column) == expected


async def test_update_refuses_an_aggregate(road):  # noqa: F811
    await with_rows(road)
    _, err = await road.call(lambda: ex().updateWhere(It.stock > 0, {It.stock: It.stock.sum()}))
    assert isinstance(err, ValueError) and "aggregate" in str(err)
    assert road.rows("SELECT stock FROM xp_item ORDER BY id") == [(5,), (0,), (12,), (7,)]


@pytest.mark.parametrize("make, error", [
    (lambda: It.name + 1, TypeError),
    (lambda: It.stock * "x", ValueError),
    (lambda: bool(It.stock - 1), TypeError),
    (lambda: It.stock.sum().max(), ValueError),
    (lambda: (It.stock - 1) < None, TypeError),
])
def test_expressions_refused_when_made(make, error):
    with pytest.raises(error):
        make()
