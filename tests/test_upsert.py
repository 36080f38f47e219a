"""saveAll(rows, onConflict=...) on each road: one statement per batch that
inserts the new rows and updates (or leaves alone) the stored ones met on
the target key, the keys put back by the target's values, the count of rows
written; a batch refused by another unique column (SQLite, PostgreSQL: the
error, nothing stored; MySQL answers every unique key: that row is
updated), hostile names, and an asynchronous task's transaction rolled
back."""
import asyncio
import decimal
import json

import pytest

from Tavrik.Model.Korvid import Korvid, _KorvidMeta
from Tavrik.Model.ModelProperty import (AutoIncrement, DecimalProperty, IntProperty, JsonProperty,
                                        StrProperty)
from tests.asynctools import settle
from tests.roads import road  # noqa: F401  (fixture)


class UpItem(Korvid):
    tableName = "up_item"
    id = IntProperty(primaryKey=True, default=AutoIncrement)
    code = StrProperty(20, nullable=False, unique=True)
    label = StrProperty(20, nullable=True, unique=True)
    qty = IntProperty(nullable=True)
    price = DecimalProperty(10, 2, nullable=True)
    doc = JsonProperty(nullable=True)


TABLE = 'up x"; DROP TABLE up_item;--'
UpHostile = _KorvidMeta("UpHostile", (Korvid,), {
    "tableName": TABLE,
    "id": IntProperty(primaryKey=True, default=AutoIncrement),
    "kind": StrProperty(20, name="order`%s", nullable=False, unique=True),
    "note": StrProperty(20, name="desc", nullable=True),
})

SQLITE_DDL = """
CREATE TABLE up_item (id INTEGER PRIMARY KEY AUTOINCREMENT, code VARCHAR(20) NOT NULL UNIQUE,
                      label VARCHAR(20) UNIQUE, qty INT, price NUMERIC(10, 2), doc TEXT);
CREATE TABLE "up x""; DROP TABLE up_item;--" (id INTEGER PRIMARY KEY AUTOINCREMENT,
                                               "order`%s" VARCHAR(20) NOT NULL UNIQUE, "desc" VARCHAR(20));
INSERT INTO up_item (code, label, qty, price, doc) VALUES ('a', 'la', 1, 1.50, '{"k": 1}'), ('b', 'lb', 2, 2.50, NULL);
INSERT INTO "up x""; DROP TABLE up_item;--" ("order`%s", "desc") VALUES ('k''`"%s', 'old');
"""
MYSQL_DDL = [
    "CREATE TABLE up_item (id INT PRIMARY KEY AUTO_INCREMENT, code VARCHAR(20) NOT NULL UNIQUE,"
    " label VARCHAR(20) UNIQUE, qty INT, price DECIMAL(10, 2), doc JSON) ENGINE=InnoDB",
    "CREATE TABLE `up x\"; DROP TABLE up_item;--` (id INT PRIMARY KEY AUTO_INCREMENT,"
    " `order``%s` VARCHAR(20) NOT NULL UNIQUE, `desc` VARCHAR(20)) ENGINE=InnoDB",
    "INSERT INTO up_item (id, code, label, qty, price, doc) VALUES (1, 'a', 'la', 1, 1.50, '{\"k\": 1}'),"
    " (2, 'b', 'lb', 2, 2.50, NULL)",
    "INSERT INTO `up x\"; DROP TABLE up_item;--` (id, `order``%s`, `desc`) VALUES (1, 'k''`\"%s', 'old')",
]
ITEMS = "SELECT id, code, label, qty, price, doc FROM up_item ORDER BY id"
SEEDED = [(1, "a", "la", 1, decimal.Decimal("1.50"), {"k": 1}), (2, "b", "lb", 2, decimal.Decimal("2.50"), None)]
DOC = {"x": [1, "é'\""], "n": None}


@pytest.fixture
async def on(road):  # noqa: F811
    road.ddl(SQLITE_DDL, MYSQL_DDL)
    await road.open()
    return road


def stored(on):
    """The items as stored: decimals as Decimal at their scale, JSON parsed."""
    out = []
    for id_, code, label, qty, price, doc in on.rows(ITEMS):
        price = None if price is None else decimal.Decimal(str(price)).quantize(decimal.Decimal("0.01"))
        doc = json.loads(doc) if isinstance(doc, str) else doc
        out.append((id_, code, label, qty, price, doc))
    return out


def item(row):
    return (row.id, row.code, row.label, row.qty, row.price, row.doc)


@pytest.mark.parametrize("target", [None, ["code"]])
async def test_a_batch_of_new_and_stored_rows(on, target):
    """Targeting the key a stored row is met by its key; targeting `code` a
    keyless row meets the stored one by its value and takes its key."""
    met = UpItem(code="a", label="la2", qty=10, price=decimal.Decimal("9.99"), doc=DOC)
    if target is None:
        met.id = 1
    new = UpItem(code="c", label="lc", qty=3, price=decimal.Decimal("0.05"), doc=[1, 2])
    n, err = await on.call(lambda: UpItem.getExecutor().saveAll([new, met], onConflict="update",
                                                                conflictColumns=target))
    assert err is None and n == 2, repr(err)
    assert met.id == 1 and new.id not in (None, 1, 2)
    assert stored(on) == [item(met), SEEDED[1], item(new)]


@pytest.mark.parametrize("target", [None, [UpItem.code]])
async def test_ignore_leaves_stored_rows_untouched(on, target):
    left = UpItem(code="a", label="lz", qty=99, price=decimal.Decimal("7.00"), doc=DOC)
    if target is None:
        left.id = 2
        left.code = "z"
    new = UpItem(code="e", label="le", qty=5, price=decimal.Decimal("5.55"), doc=DOC)
    n, err = await on.call(lambda: UpItem.getExecutor().saveAll([left, new], onConflict="ignore",
                                                                conflictColumns=target))
    assert err is None and n == 1, repr(err)
    assert left.id == (2 if target is None else None)
    rows = stored(on)
    assert rows[:2] == SEEDED and len(rows) == 3
    assert rows[2][1:] == item(new)[1:]
    # MySQL's "ignore" has no RETURNING to tell the inserted rows by.
    assert new.id == (None if on.mysql else rows[2][0])


async def test_a_batch_longer_than_one_statement(on):
    """Long enough that SQLite's parameter limit and MySQL's statement size
    cut it; the stored rows met sit in different chunks."""
    rows = [UpItem(code="n%d" % i, label=None, qty=i, price=None, doc={"n": "%d-" % i * 700}) for i in range(1200)]
    rows[5].code, rows[1100].code = "b", "a"
    n, err = await on.call(lambda: UpItem.getExecutor().saveAll(rows, onConflict="update", conflictColumns=["code"]))
    assert err is None and n == 1200, repr(err)
    assert (rows[1100].id, rows[5].id) == (1, 2)
    got = {r[0]: r for r in stored(on)}
    assert len(got) == 1200 and all(got[r.id][1:4] == (r.code, SEEDED[r.id - 1][2] if r.id <= 2 else None, r.qty)
                                    and got[r.id][5] == r.doc for r in rows)


async def test_another_unique_column_met(on):
    """The batch targets `code`; its first row's label is stored row 1's."""
    clash = UpItem(code="f", label="la", qty=6, price=None, doc=None)
    fine = UpItem(code="g", label="lg", qty=7, price=None, doc=None)
    n, err = await on.call(lambda: UpItem.getExecutor().saveAll([clash, fine], onConflict="update",
                                                                conflictColumns=["code"]))
    if not on.mysql:
        assert err is not None and n is None
        assert stored(on) == SEEDED
        assert clash.id is None and fine.id is None
        return
    # MySQL updates the row whose label the batch met, the target and the
    # columns no row holds left as stored; that row is not told apart by
    # its code, so it gets no key.
    assert err is None and n == 2, repr(err)
    rows = stored(on)
    assert rows[:2] == [SEEDED[0][:3] + (6,) + SEEDED[0][4:], SEEDED[1]]
    assert len(rows) == 3 and rows[2] == item(fine)
    assert clash.id is None


async def test_hostile_names(on):
    met = UpHostile(kind="k'`\"%s", note="new")
    new = UpHostile(kind="x;--`\"", note="n2")
    n, err = await on.call(lambda: UpHostile.getExecutor().saveAll([met, new], onConflict="update",
                                                                   conflictColumns=["kind"]))
    assert err is None and n == 2, repr(err)
    rows = on.rows('SELECT id, `order``%s`, `desc` FROM `up x"; DROP TABLE up_item;--` ORDER BY id')
    assert rows == [(1, "k'`\"%s", "new"), (new.id, "x;--`\"", "n2")]
    assert met.id == 1


@pytest.mark.parametrize("options", [
    {"onConflict": "update", "conflictColumns": ["qty"]},
    {"onConflict": "update", "conflictColumns": ["code", "label"]},
    {"onConflict": "ignore", "conflictColumns": ["nope"]},
    {"onConflict": "replace"},
    {"conflictColumns": ["code"]},
])
async def test_refused_before_anything_is_written(on, options):
    row = UpItem(code="a", label="lx", qty=50)
    n, err = await on.call(lambda: UpItem.getExecutor().saveAll([row], **options))
    assert isinstance(err, ValueError) and n is None
    assert stored(on) == SEEDED


class Boom(Exception):
    pass


async def test_in_a_task_whose_transaction_rolls_back(on):
    if on.sync:
        pytest.skip("a task's transaction is the asynchronous roads'")
    rows = [UpItem(code="a", label="la", qty=40, price=None, doc=None),
            UpItem(code="h", label="lh", qty=8, price=None, doc=None)]

    async def program():
        n = await UpItem.getExecutor().saveAll(rows, onConflict="update", conflictColumns=["code"])
        assert n == 2
        raise Boom()

    with pytest.raises(Boom):
        await asyncio.get_running_loop().create_task(program())
    await settle(on.connector)
    assert stored(on) == SEEDED
