"""What a write sends to the database, on each road: a row holding no values
is still inserted (the table's defaults and constraints decide), a batch
never drops the related rows it was given, and update(row, columns=...)
writes those columns alone."""
import sqlite3

import pymysql
import pytest

from Tavrik.Model.Korvid import Korvid
from Tavrik.Model.ModelProperty import AutoIncrement, ForeignKey, IntProperty, StrProperty
from tests.roads import road  # noqa: F401  (fixture)


class WrNote(Korvid):
    tableName = "wr_note"
    id = IntProperty(primaryKey=True, default=AutoIncrement)
    owner_id = IntProperty()
    text = StrProperty(20)


class WrOwner(Korvid):
    tableName = "wr_owner"
    id = IntProperty(primaryKey=True, default=AutoIncrement)
    name = StrProperty(20)
    rank = IntProperty(nullable=True, name="order")
    notes = ForeignKey.oneToMany(WrNote, targetBindCol=WrNote.owner_id)


class WrDefaults(Korvid):
    tableName = "wr_defaults"
    id = IntProperty(primaryKey=True, default=AutoIncrement)
    kind = StrProperty(10, nullable=True)


SQLITE_DDL = """
CREATE TABLE wr_owner (id INTEGER PRIMARY KEY AUTOINCREMENT, name VARCHAR(20) NOT NULL, `order` INTEGER);
CREATE TABLE wr_note (id INTEGER PRIMARY KEY AUTOINCREMENT, owner_id INTEGER NOT NULL, text VARCHAR(20) NOT NULL);
CREATE TABLE wr_defaults (id INTEGER PRIMARY KEY AUTOINCREMENT, kind VARCHAR(10) DEFAULT 'plain');
"""
MYSQL_DDL = [
    "CREATE TABLE wr_owner (id INT PRIMARY KEY AUTO_INCREMENT, name VARCHAR(20) NOT NULL, `order` INT NULL)"
    " ENGINE=InnoDB",
    "CREATE TABLE wr_note (id INT PRIMARY KEY AUTO_INCREMENT, owner_id INT NOT NULL, text VARCHAR(20) NOT NULL)"
    " ENGINE=InnoDB",
    "CREATE TABLE wr_defaults (id INT PRIMARY KEY AUTO_INCREMENT, kind VARCHAR(10) DEFAULT 'plain') ENGINE=InnoDB",
]
OWNERS = "SELECT id, name, `order` FROM wr_owner ORDER BY id"


@pytest.fixture
async def on(road):  # noqa: F811
    road.ddl(SQLITE_DDL, MYSQL_DDL)
    await road.open()
    return road


async def test_a_row_of_no_values_reaches_the_database(on):
    res, err = await on.call(lambda: WrOwner.getExecutor().save(WrOwner(name=None, check=False)))
    # NOT NULL decides: the error is the database's own
    assert isinstance(err, (sqlite3.IntegrityError, pymysql.err.MySQLError)) or getattr(err, "sqlstate", "") == "23502", \
        repr(err)
    assert "name" in str(err)
    assert on.rows(OWNERS) == []
    row = WrDefaults(check=False)
    res, err = await on.call(lambda: WrDefaults.getExecutor().save(row))
    assert err is None and res is row and row.id, repr(err)
    assert on.rows("SELECT id, kind FROM wr_defaults") == [(row.id, "plain")]


async def test_a_batch_with_related_rows_is_refused_before_writing(on):
    rows = [WrOwner(name="a"), WrOwner(name="b", notes=[WrNote(text="x")])]
    with pytest.raises(ValueError, match=r"instances\[1\].*notes"):
        WrOwner.getExecutor().saveAll(rows)
    # an empty relation holds nothing to lose
    res, err = await on.call(lambda: WrOwner.getExecutor().saveAll([WrOwner(name="c", notes=[])]))
    assert err is None and res == 1, repr(err)
    assert on.rows("SELECT name FROM wr_owner") == [("c",)] and on.rows("SELECT * FROM wr_note") == []


@pytest.mark.parametrize("columns", [["name"], WrOwner.name, ("id", WrOwner.name)])
async def test_update_of_some_columns_writes_those_alone(on, columns):
    row, err = await on.call(lambda: WrOwner.getExecutor().save(WrOwner(name="a", rank=3)))
    assert err is None, repr(err)
    # another writer changed the rank meanwhile; the name alone is written
    changed = WrOwner(id=row.id, name="b", rank=None, notes=[WrNote(text="never")])
    res, err = await on.call(lambda: WrOwner.getExecutor().update(changed, columns=columns))
    assert err is None and res is changed, repr(err)
    assert on.rows(OWNERS) == [(row.id, "b", 3)] and on.rows("SELECT * FROM wr_note") == []
    # the column's database name serves too (a reserved word, quoted)
    changed.rank = 9
    res, err = await on.call(lambda: WrOwner.getExecutor().update(changed, columns=["order"]))
    assert err is None, repr(err)
    assert on.rows(OWNERS) == [(row.id, "b", 9)]


@pytest.mark.parametrize("columns, match", [
    (["nope"], "nope"), (["id"], "主键"), ([], "at least one"), ([WrNote.text], "not a column"),
])
async def test_update_columns_are_checked_before_any_statement(on, columns, match):
    row = WrOwner(id=1, name="a", check=False)
    with pytest.raises(ValueError, match=match):
        WrOwner.getExecutor().update(row, columns=columns)
    # a column asked for must be held by the row
    with pytest.raises(ValueError, match="rank"):
        WrOwner.getExecutor().update(WrOwner(id=1, name="a", check=False), columns=["name", "order"])
    assert on.rows(OWNERS) == []
