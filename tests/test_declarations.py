"""Declarations: columns declared under another name than their attribute,
decimals compared as numbers on SQLite, and models and columns named by
string before they are declared.  Every behaviour runs on the synchronous
SQLite road and on both asynchronous roads (aiosqlite, MySQL)."""
import asyncio
import decimal
import inspect
import sqlite3

import pytest

from Tavrik.Ext.Olvane import Olvane
from Tavrik.Model.Korvid import Korvid, MiddleKorvid
from Tavrik.Model.ModelProperty import AutoIncrement, DecimalProperty, ForeignKey, IntProperty, StrProperty

from tests.asynctools import run, settle
from tests.conftest import mysql_settings

D = decimal.Decimal


# Column names that differ from the attributes, hostile ones included: a
# reserved word, a backtick, a double quote and a blank.
class DeclAccount(Korvid):
    tableName = "decl_account"
    id = IntProperty(primaryKey=True, default=AutoIncrement, name="account_no")
    owner = StrProperty(60, name="owner_name")
    code = IntProperty(name="order", nullable=True)
    card = ForeignKey.oneToOne("DeclCard", bindCol="code", targetBindCol="holder")
    notes = ForeignKey.oneToMany("DeclNote", targetBindCol="DeclNote.account")


class DeclCard(Korvid):
    tableName = "decl_card"
    id = IntProperty(primaryKey=True, default=AutoIncrement)
    holder = IntProperty(name="holder`code", nullable=True)
    label = StrProperty(20, name='la"bel', nullable=True)


class DeclNote(Korvid):
    tableName = "decl_note"
    id = IntProperty(primaryKey=True, default=AutoIncrement)
    account = IntProperty(name="account ref", nullable=True)
    text = StrProperty(40, name="body", nullable=True)


class DeclPrice(Korvid):
    tableName = "decl_price"
    id = IntProperty(primaryKey=True, default=AutoIncrement)
    price = DecimalProperty(10, 2, nullable=True)
    wide = DecimalProperty(40, 10, nullable=True)


# Forward references: A names B and C, and its junction, before they exist.
class DeclA(Korvid):
    tableName = "decl_a"
    id = IntProperty(primaryKey=True, default=AutoIncrement)
    title = StrProperty(20, nullable=True)
    b = ForeignKey.oneToOne("DeclB", targetBindCol="DeclB.a_id")
    bs = ForeignKey.oneToMany("DeclB", targetBindCol="a_id", name="bs")
    cs = ForeignKey.manyToMany("DeclC", middleModel="DeclAC")


class DeclB(Korvid):
    tableName = "decl_b"
    id = IntProperty(primaryKey=True, default=AutoIncrement)
    a_id = IntProperty(nullable=True)
    tag = StrProperty(20, nullable=True)


class DeclC(Korvid):
    tableName = "decl_c"
    id = IntProperty(primaryKey=True, default=AutoIncrement)
    tag = StrProperty(20, nullable=True)


class DeclAC(MiddleKorvid):
    tableName = "decl_a_c"
    id = IntProperty(primaryKey=True, default=AutoIncrement)
    decl_a_id = IntProperty()
    decl_c_id = IntProperty()
    a = ForeignKey.oneToOne(DeclA, bindCol="decl_a_id")
    c = ForeignKey.oneToOne(DeclC, bindCol="decl_c_id")


async def aw(value):
    return await value if inspect.isawaitable(value) else value


class Road:
    """One road: runs a scenario (in one task on the asynchronous roads, so
    that it is committed) and reads the database through a connection of
    its own."""

    def __init__(self, kind, connector, db_path):
        self.kind, self.connector, self.db_path = kind, connector, db_path

    async def run(self, fn, *args):
        if self.kind == "sqlite":
            return await fn(*args)
        result = await run(fn, *args)
        await settle(self.connector)
        return result

    async def raw(self, sql):
        if self.kind != "mysql":
            con = sqlite3.connect(self.db_path)
            try:
                return [tuple(r) for r in con.execute(sql.replace("%%", "%")).fetchall()]
            finally:
                con.close()
        import aiomysql

        settings = {k: v for k, v in mysql_settings().items() if k != "autocommit"}
        con = await aiomysql.connect(**settings)
        try:
            async with con.cursor() as cur:
                await cur.execute(sql)
                return [tuple(r) for r in await cur.fetchall()]
        finally:
            con.close()


@pytest.fixture
def sync_road(sqlite_db, db_path):
    return Road("sqlite", sqlite_db, db_path)


@pytest.fixture
def async_road(async_db, db_path):
    from Tavrik.DB.Connector import AioMysqlConnector

    return Road("mysql" if isinstance(async_db, AioMysqlConnector) else "aiosqlite", async_db, db_path)


def both(test):
    """The scenario `test(road)` as a synchronous-road test and an
    asynchronous-road test (aiosqlite and MySQL)."""

    def on_sync(sync_road):
        asyncio.run(test(sync_road))

    async def on_async(async_road):
        await test(async_road)

    on_sync.__name__ = test.__name__ + "_sync"
    on_async.__name__ = test.__name__ + "_async"
    return on_sync, on_async


# ------------------------------------------------------------ column names


def test_rows_are_keyed_by_attribute_whichever_name_builds_them():
    rows = [
        DeclAccount(owner="a", code=1),
        DeclAccount(owner_name="a", order=1),
        DeclAccount({"owner_name": "a", "order": 1}),
        DeclAccount({"owner": "a", "code": 1}),
        DeclAccount(zip(["owner_name", "order"], ["a", 1])),
        DeclAccount([("owner_name", "a"), ("code", 1)]),
    ]
    for row in rows:
        assert dict(row) == {"id": None, "owner": "a", "code": 1}
    # the attribute wins when a row is given both names
    assert DeclAccount(owner="attr", owner_name="column").owner == "attr"
    assert DeclAccount.owner.name == "owner" and DeclAccount.owner.column == "owner_name"
    assert DeclCard.holder.column == "holder`code" and DeclCard.id.column == "id"
    assert DeclAccount.pkName == "id" and DeclAccount.id.column == "account_no"
    assert list(DeclAccount.MODEL.model_fields)[:3] == ["id", "owner", "code"]


async def _renamed_columns(road):
    async def write():
        ex = DeclAccount.getExecutor()
        await aw(ex.save(DeclAccount(owner="a", code=11, card=DeclCard(label="card-a"),
                                     notes=[DeclNote(text="n1"), DeclNote(text="n2")])))
        await aw(ex.save(DeclAccount(owner_name="b", order=12)))
        await aw(ex.save(DeclAccount({"owner_name": "c", "order": 13})))

    await road.run(write)
    assert await road.raw("SELECT `owner_name`, `order` FROM `decl_account` ORDER BY `account_no`") == [
        ("a", 11), ("b", 12), ("c", 13)]
    # keys are read back, not assumed to be 1, 2, ...: a cluster node hands out its own
    ids = [r[0] for r in await road.raw("SELECT `account_no` FROM `decl_account` ORDER BY `account_no`")]
    assert await road.raw("SELECT `holder``code`, `la\"bel` FROM `decl_card`") == [(11, "card-a")]
    assert await road.raw("SELECT `account ref`, `body` FROM `decl_note` ORDER BY `id`") == [
        (ids[0], "n1"), (ids[0], "n2")]

    async def read():
        ex = DeclAccount.getExecutor()
        rows = await aw(ex.findAllBy(DeclAccount.code > 11))
        assert [dict(r) for r in rows] == [{"id": ids[1], "owner": "b", "code": 12},
                                           {"id": ids[2], "owner": "c", "code": 13}]
        (row,) = await aw(ex.find("owner", DeclAccount.code).By(DeclAccount.owner == "a"))
        assert dict(row) == {"owner": "a", "code": 11, "id": None}
        (row,) = await aw(ex.findAllBy(DeclAccount.owner.in_(["a"])))
        await aw(DeclAccount.getExecutor().findForeignKey(row))
        assert row.card.label == "card-a" and row.card.holder == 11
        assert sorted(n.text for n in row.notes) == ["n1", "n2"] and {n.account for n in row.notes} == {ids[0]}
        row.owner = "a2"
        row.code = 21
        await aw(DeclAccount.getExecutor().update(row))
        page = await aw(Olvane(DeclAccount, page=1, pageSize=2).filter(DeclAccount.code > 0)
                        .orderBy(DeclAccount.owner.desc()).execute())
        assert (page.total, page.totalPage) == (3, 2)
        assert [(r.owner, r.code) for r in page.content] == [("c", 13), ("b", 12)]
        page = await aw(Olvane(DeclAccount, page=2, pageSize=2).filter(None).orderBy("-owner").execute())
        assert [(r.owner, r.code) for r in page.content] == [("a2", 21)]
        await aw(DeclAccount.getExecutor().delete(None, DeclAccount.owner == "b"))
        assert await aw(DeclAccount.getExecutor().saveAll([DeclAccount(owner_name="d", order=31)])) == 1
        (row,) = await aw(DeclAccount.getExecutor().findAnyMatch(DeclAccount(owner="d", check=False)))
        assert row.code == 31
        await aw(DeclAccount.getExecutor().delete(row))

    await road.run(read)
    assert await road.raw("SELECT `owner_name`, `order` FROM `decl_account` ORDER BY `account_no`") == [("a2", 21), ("c", 13)]


test_renamed_columns_sync, test_renamed_columns_async = both(_renamed_columns)


async def _value_under_a_column_name_is_refused(road):
    # Rows are keyed by attribute: a value stored under the column's name
    # would be saved as NULL, so save and update refuse the row.
    row = DeclAccount(id=1, owner="a", code=1)
    row["owner_name"] = "b"

    async def write():
        ex = DeclAccount.getExecutor()
        for call in (ex.save, ex.update, lambda r: ex.saveAll([DeclAccount(owner="x"), r])):
            with pytest.raises(TypeError, match="'owner_name' .*'owner'"):
                await aw(call(row))
        nested = DeclAccount(owner="p", notes=[DeclNote(text="n")])
        nested.notes[0]["body"] = "x"
        with pytest.raises(TypeError, match="DeclNote .*'body'"):
            await aw(ex.save(nested))

    await road.run(write)
    assert await road.raw("SELECT COUNT(*) FROM `decl_account`") == [(0,)]


test_value_under_column_name_refused_sync, test_value_under_column_name_refused_async = both(
    _value_under_a_column_name_is_refused)


# ------------------------------------------------------------ decimals


async def _decimals_compare_as_numbers(road):
    values = ["12.35", "100.00", "6.00", "5.5", "-7.25", "99999999.99"]
    long_value = D("123456789012345678901234567890.0123456789")

    async def write():
        ex = DeclPrice.getExecutor()
        for v in values:
            await aw(ex.save(DeclPrice(price=D(v))))
        await aw(ex.save(DeclPrice(wide=long_value)))

    await road.run(write)

    async def read():
        ex = DeclPrice.getExecutor()
        got = await aw(ex.findAllBy(DeclPrice.price > 6))
        assert sorted(r.price for r in got) == [D("12.35"), D("100.00"), D("99999999.99")]
        assert all(str(r.price) in values for r in got)  # the declared scale, as stored
        got = await aw(ex.findAllBy(DeclPrice.price.in_([D("100"), "6"])))
        assert sorted(str(r.price) for r in got) == ["100.00", "6.00"]
        page = await aw(Olvane(DeclPrice, page=1, pageSize=3).filter(DeclPrice.price.notNull())
                        .orderBy(DeclPrice.price.desc()).execute())
        assert [str(r.price) for r in page.content] == ["99999999.99", "100.00", "12.35"]
        (row,) = await aw(ex.findAllBy(DeclPrice.wide.notNull()))
        assert row.wide == long_value and str(row.wide) == str(long_value)

    await road.run(read)
    assert await road.raw("SELECT MAX(`price`), MIN(`price`) FROM `decl_price`") in (
        [(99999999.99, -7.25)], [(D("99999999.99"), D("-7.25"))])


test_decimals_compare_as_numbers_sync, test_decimals_compare_as_numbers_async = both(_decimals_compare_as_numbers)


@pytest.mark.parametrize("stored, expected", [
    (12.3, "12.30"), (100, "100.00"), (0.1, "0.10"), (-7.255, "-7.26"), ("12.3", "12.3"), (D("1.5"), "1.5"),
])
def test_numbers_read_back_at_the_declared_scale(stored, expected):
    # REAL and INTEGER are what SQLite's NUMERIC columns give back; texts and
    # decimals are taken as they are.
    assert str(DeclPrice.price.toObjValue(stored)) == expected


# ------------------------------------------------------------ forward references


def test_names_resolve_when_first_needed():
    assert DeclA.b.target is DeclB and DeclA.b.targetBindCol is DeclB.a_id
    assert DeclA.bs.targetBindCol is DeclB.a_id and DeclA.cs.directTarget is DeclC
    assert DeclA.cs.middleModel is DeclAC and DeclA.cs.targetBindCol is DeclAC.decl_a_id
    assert DeclAccount.notes.targetBindCol is DeclNote.account  # by "Model.column"
    # the model part of "Model.column" must name the model looked in
    wrong = ForeignKey.oneToOne(DeclB, targetBindCol="DeclC.a_id")
    with pytest.raises(AttributeError, match="no column"):
        wrong.targetBindCol


async def _forward_references_save_and_load(road):
    async def write():
        cs = []
        for tag in ("c1", "c2"):
            cs.append(await aw(DeclC.getExecutor().save(DeclC(tag=tag))))
        a = DeclA(title="root", b=DeclB(tag="one"), bs=[DeclB(tag="m1"), DeclB(tag="m2")], cs=cs)
        saved = await aw(DeclA.getExecutor().save(a))
        return saved.id

    a_id = await road.run(write)
    c_ids = [r[0] for r in await road.raw("SELECT `id` FROM `decl_c` ORDER BY `id`")]
    assert len(c_ids) == 2
    assert await road.raw("SELECT `decl_a_id`, `decl_c_id` FROM `decl_a_c` ORDER BY `decl_c_id`") == [
        (a_id, c_ids[0]), (a_id, c_ids[1])]

    async def read():
        (a,) = await aw(DeclA.getExecutor().findAllBy(DeclA.id == a_id))
        await aw(DeclA.getExecutor().findForeignKey(a))
        assert a.b.tag in ("one", "m1", "m2") and a.b.a_id == a_id
        assert sorted(b.tag for b in a.bs) == ["m1", "m2", "one"]
        assert sorted(c.tag for c in a.cs) == ["c1", "c2"]

    await road.run(read)


test_forward_references_sync, test_forward_references_async = both(_forward_references_save_and_load)
