"""saveAll(rows) gives every inserted row the key the database gave it, as
save() does, on each road: in the rows' order, rows carrying their own key
keep it, a batch longer than one statement's chunk, a batch that fails
(nothing stored, no key filled), and hostile table and column names."""
import pytest

from Tavrik.Model.Korvid import Korvid, _KorvidMeta
from Tavrik.Model.ModelProperty import AutoIncrement, IntProperty, StrProperty
from tests.roads import road  # noqa: F401  (fixture)


class KyItem(Korvid):
    tableName = "ky_item"
    id = IntProperty(primaryKey=True, default=AutoIncrement)
    name = StrProperty(20)
    note = StrProperty(4000, nullable=True)


TABLE = 'ky x"; DROP TABLE ky_item;--'
COLUMN = "order`%s"
KyHostile = _KorvidMeta("KyHostile", (Korvid,), {
    "tableName": TABLE,
    "id": IntProperty(primaryKey=True, default=AutoIncrement),
    COLUMN: StrProperty(20),
})

SQLITE_DDL = """
CREATE TABLE ky_item (id INTEGER PRIMARY KEY AUTOINCREMENT, name VARCHAR(20) NOT NULL UNIQUE, note TEXT);
CREATE TABLE "ky x""; DROP TABLE ky_item;--" (id INTEGER PRIMARY KEY AUTOINCREMENT, "order`%s" VARCHAR(20));
INSERT INTO ky_item (name) VALUES ('first');
"""
MYSQL_DDL = [
    "CREATE TABLE ky_item (id INT PRIMARY KEY AUTO_INCREMENT, name VARCHAR(20) NOT NULL UNIQUE, note TEXT)"
    " ENGINE=InnoDB",
    "CREATE TABLE `ky x\"; DROP TABLE ky_item;--` (id INT PRIMARY KEY AUTO_INCREMENT, `order``%s` VARCHAR(20))"
    " ENGINE=InnoDB",
    "INSERT INTO ky_item (name) VALUES ('first')",
]
ITEMS = "SELECT id, name FROM ky_item WHERE name <> 'first' ORDER BY id"


@pytest.fixture
async def on(road):  # noqa: F811
    road.ddl(SQLITE_DDL, MYSQL_DDL)
    await road.open()
    return road


async def test_keyless_rows_get_their_keys_in_order(on):
    rows = [KyItem(name="r%d" % i) for i in range(5)]
    n, err = await on.call(lambda: KyItem.getExecutor().saveAll(rows))
    assert err is None and n == 5, repr(err)
    assert on.rows(ITEMS) == [(r.id, r.name) for r in rows]
    assert all(r.id for r in rows)


@pytest.mark.parametrize("size, own", [(5, {1: 500, 3: 40}), (2, {0: 600, 1: 601})])
async def test_rows_carrying_their_own_key_keep_it(on, size, own):
    rows = [KyItem(id=own[i], name="r%d" % i) if i in own else KyItem(name="r%d" % i) for i in range(size)]
    n, err = await on.call(lambda: KyItem.getExecutor().saveAll(rows))
    assert err is None and n == len(rows), repr(err)
    assert [r.id for i, r in enumerate(rows) if i in own] == list(own.values())
    assert sorted(on.rows(ITEMS)) == sorted((r.id, r.name) for r in rows)
    keyless = [r.id for i, r in enumerate(rows) if i not in own]
    assert keyless == sorted(keyless) and len(set(keyless)) == len(keyless)


def long_rows(n):
    # Long enough values that neither SQLite's parameter limit nor MySQL's
    # statement size takes the batch in one statement.
    return [KyItem(name="r%d" % i, note=("%d-" % i) * 700) for i in range(n)]


async def test_a_batch_longer_than_one_statement(on):
    rows = long_rows(1200)
    n, err = await on.call(lambda: KyItem.getExecutor().saveAll(rows))
    assert err is None and n == 1200, repr(err)
    assert on.rows(ITEMS) == [(r.id, r.name) for r in rows]
    assert on.rows("SELECT id, note FROM ky_item WHERE name = 'r1199'") == [(rows[-1].id, rows[-1].note)]


@pytest.mark.parametrize("size", [3, 1200])
async def test_a_failed_batch_stores_nothing_and_fills_no_key(on, size):
    rows = long_rows(size) + [KyItem(name="first")]
    n, err = await on.call(lambda: KyItem.getExecutor().saveAll(rows))
    assert err is not None and n is None
    assert [r.id for r in rows] == [None] * len(rows)
    assert on.rows(ITEMS) == []


async def test_hostile_names(on):
    rows = [KyHostile(**{COLUMN: "v%d'`\"%%s" % i}) for i in range(3)]
    n, err = await on.call(lambda: KyHostile.getExecutor().saveAll(rows))
    assert err is None and n == 3, repr(err)
    stored = on.rows('SELECT id, `order``%s` FROM `ky x"; DROP TABLE ky_item;--` ORDER BY id')
    assert stored == [(r.id, getattr(r, COLUMN)) for r in rows]


async def test_a_batch_before_the_mysql_pool_is_ready(db_path):
    """The server's version, which says whether keys come back, is known only
    once the connector has a connection: a batch sent at once still gets
    them."""
    import asyncio

    from Tavrik.DB.Connector import AioMysqlConnector
    from Tavrik.DB.DB import DB
    from tests.conftest import _mysql_reset, require_mysql
    from tests.roads import Road

    settings = require_mysql()
    await _mysql_reset(settings)
    Road("mysql", db_path, settings).ddl(SQLITE_DDL, MYSQL_DDL)
    connector = AioMysqlConnector(asyncio.get_running_loop(), **settings)
    assert not connector.isReady
    DB.create(connector)
    try:
        rows = [KyItem(name="r%d" % i) for i in range(3)]

        async def program():
            return await KyItem.getExecutor().saveAll(rows)

        assert await asyncio.get_running_loop().create_task(program()) == 3
        assert [r.id for r in rows] == sorted(r.id for r in rows) and all(r.id for r in rows)
    finally:
        DB.drop()
        await connector.close()
    assert Road("mysql", db_path, settings).rows(ITEMS) == [(r.id, r.name) for r in rows]
