"""executor.aggregate on every road: groups with having and ordering by a
named result, NULLs (a sum of none is None, a count skips them), an empty
table and an empty group, the Python type of each result, aggregates of
expressions and hostile names."""
import datetime
import decimal

import pytest

from Tavrik.Model.Korvid import Korvid, _KorvidMeta
from Tavrik.Model.ModelProperty import AutoIncrement, DateTimeProperty, DecimalProperty, IntProperty, StrProperty
from tests.roads import road  # noqa: F401  (fixture)

HOSTILE = 'x"; DROP TABLE t;--'

AgSale = _KorvidMeta("AgSale", (Korvid,), {
    "tableName": "ag_sale",
    "id": IntProperty(primaryKey=True, default=AutoIncrement),
    "kind": StrProperty(10),
    "qty": IntProperty(nullable=True),
    "price": DecimalProperty(10, 2, nullable=True),
    "at": DateTimeProperty(nullable=True),
    HOSTILE: IntProperty(nullable=True),
})
S = AgSale
H = getattr(AgSale, HOSTILE)

ROWS = [("a", "2", "1.50", "'2024-01-02 03:04:05'", "1"), ("a", "4", "2.25", "'2024-03-01 00:00:00'", "1"),
        ("b", "NULL", "NULL", "NULL", "2"), ("b", "NULL", "3.00", "'2024-02-01 12:00:00'", "2"),
        ("c", "1", "NULL", "NULL", "NULL"), ("c", "1", "NULL", "NULL", "NULL")]


async def with_rows(road, rows=ROWS):
    values = ", ".join("('%s', %s, %s, %s, %s)" % r for r in rows)
    insert_sqlite = ('INSERT INTO ag_sale (kind, qty, price, at, "x""; DROP TABLE t;--") VALUES %s;' % values
                     if rows else "")
    insert_mysql = (['INSERT INTO ag_sale (kind, qty, price, at, `x"; DROP TABLE t;--`) VALUES %s' % values]
                    if rows else [])
    road.ddl(
        "DROP TABLE IF EXISTS ag_sale;"
        "CREATE TABLE ag_sale (id INTEGER PRIMARY KEY AUTOINCREMENT, kind VARCHAR(10) NOT NULL, qty INTEGER,"
        ' price DECIMAL(10, 2), at DATETIME, "x""; DROP TABLE t;--" INTEGER);' + insert_sqlite,
        ["CREATE TABLE ag_sale (id INT PRIMARY KEY AUTO_INCREMENT, kind VARCHAR(10) NOT NULL, qty INT,"
         ' price DECIMAL(10, 2), at DATETIME(6), `x"; DROP TABLE t;--` INT) ENGINE=InnoDB'] + insert_mysql)
    await road.open()


def ex():
    return AgSale.getExecutor()


@pytest.mark.parametrize("call, expected", [
    (lambda: ex().aggregate(groupBy=[S.kind], having=S.qty.sum() > 1, total=S.qty.sum(), n=S.id.count(),
                            orderBy="-total"),
     [{"kind": "a", "total": 6, "n": 2}, {"kind": "c", "total": 2, "n": 2}]),
    (lambda: ex().aggregate(groupBy="kind", having=S.price.max() >= decimal.Decimal("2.5"), n=S.price.count()),
     [{"kind": "b", "n": 1}]),
    (lambda: ex().aggregate(S.kind != "a", groupBy=S.kind, n=S.qty.count(), orderBy=[S.qty.count().desc(), "kind"],
                            limit=1),
     [{"kind": "c", "n": 2}]),
    (lambda: ex().aggregate(groupBy=[S.kind], having=S.id.count() > 5, n=S.id.count()), []),
])
async def test_groups(road, call, expected):  # noqa: F811
    await with_rows(road)
    rows, err = await road.call(call)
    assert err is None and rows == expected


async def test_nulls_are_skipped_and_a_sum_of_none_is_none(road):  # noqa: F811
    await with_rows(road)
    rows, err = await road.call(lambda: ex().aggregate(
        S.kind == "b", s=S.qty.sum(), nq=S.qty.count(), n=S.id.count(), avg=S.qty.avg(), lo=S.qty.min(),
        p=S.price.sum()))
    assert err is None and rows == [{"s": None, "nq": 0, "n": 2, "avg": None, "lo": None,
                                     "p": decimal.Decimal("3.00")}]


@pytest.mark.parametrize("grouped, expected", [
    (False, [{"s": None, "n": 0, "hi": None}]),
    (True, []),
])
async def test_an_empty_table(road, grouped, expected):  # noqa: F811
    await with_rows(road, rows=[])
    rows, err = await road.call(lambda: ex().aggregate(
        groupBy=S.kind if grouped else None, s=S.qty.sum(), n=S.id.count(), hi=S.at.max()))
    assert err is None and rows == expected


async def test_result_types(road):  # noqa: F811
    await with_rows(road)
    rows, err = await road.call(lambda: ex().aggregate(
        lo=S.at.min(), hi=S.at.max(), total=S.price.sum(), top=S.price.max(), q=S.qty.sum(), n=S.qty.count(),
        avg=S.qty.avg(), value=(S.price * S.qty).sum(), kinds=S.qty.count(distinct=True),
        tripled=(S.price * 3).sum()))
    assert err is None
    got = rows[0]
    # A bound decimal keeps its own scale: the product keeps the column's.
    assert str(got.pop("tripled")) == "20.25"
    assert got == {"lo": datetime.datetime(2024, 1, 2, 3, 4, 5), "hi": datetime.datetime(2024, 3, 1),
                   "total": decimal.Decimal("6.75"), "top": decimal.Decimal("3.00"), "q": 8, "n": 4, "avg": 2.0,
                   "value": 12, "kinds": 3}
    types = {k: type(v) for k, v in got.items()}
    assert types == {"lo": datetime.datetime, "hi": datetime.datetime, "total": decimal.Decimal,
                     "top": decimal.Decimal, "q": int, "n": int, "avg": float, "value": decimal.Decimal,
                     "kinds": int}
    assert got.total == got["total"]  # DictPlus


async def test_hostile_names(road):  # noqa: F811
    alias = "two\nlines /* %s ?"
    await with_rows(road)
    rows, err = await road.call(lambda: ex().aggregate(
        H != None, groupBy=[H], having=(H * 10).sum() > 5, orderBy="-" + alias,  # noqa: E711
        **{alias: (H * 10 - S.qty).sum()}))
    assert err is None and rows == [{HOSTILE: 1, alias: 14}, {HOSTILE: 2, alias: None}]
