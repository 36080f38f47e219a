"""Many saves at once that share one stored many-to-many item: every one of
them succeeds, on each road.  The asynchronous road writes the item itself
too (updated first, inserted only when no row matched), so two owners
writing the same item never collide on its key; the synchronous road writes
the junction rows only.  Tables carry real foreign keys."""
import asyncio
from concurrent.futures import ThreadPoolExecutor

import pytest

from Tavrik.Model.Korvid import Korvid, MiddleKorvid
from Tavrik.Model.ModelProperty import AutoIncrement, ForeignKey, IntProperty, StrProperty
from tests.roads import road  # noqa: F401  (fixture)

TASKS = 20


class ShTag(Korvid):
    tableName = "sh_tag"
    id = IntProperty(primaryKey=True, default=AutoIncrement)
    label = StrProperty(20)


class ShMember(Korvid):
    tableName = "sh_member"
    id = IntProperty(primaryKey=True, default=AutoIncrement)
    name = StrProperty(20)
    tags = ForeignKey.manyToMany(ShTag, middleModel="ShMemberTag")


class ShMemberTag(MiddleKorvid):
    tableName = "sh_member_tag"
    id = IntProperty(primaryKey=True, default=AutoIncrement)
    sh_member_id = IntProperty()
    sh_tag_id = IntProperty()
    member = ForeignKey.oneToOne(ShMember, bindCol="sh_member_id")
    tag = ForeignKey.oneToOne(ShTag, bindCol="sh_tag_id")


SQLITE_DDL = """
CREATE TABLE sh_tag (id INTEGER PRIMARY KEY AUTOINCREMENT, label VARCHAR(20) NOT NULL);
CREATE TABLE sh_member (id INTEGER PRIMARY KEY AUTOINCREMENT, name VARCHAR(20) NOT NULL);
CREATE TABLE sh_member_tag (id INTEGER PRIMARY KEY AUTOINCREMENT,
    sh_member_id INTEGER NOT NULL REFERENCES sh_member(id), sh_tag_id INTEGER NOT NULL REFERENCES sh_tag(id));
CREATE INDEX ix_shm ON sh_member_tag (sh_member_id);
INSERT INTO sh_tag (id, label) VALUES (1, 'shared');
"""
MYSQL_DDL = [
    "CREATE TABLE sh_tag (id INT PRIMARY KEY AUTO_INCREMENT, label VARCHAR(20) NOT NULL) ENGINE=InnoDB",
    "CREATE TABLE sh_member (id INT PRIMARY KEY AUTO_INCREMENT, name VARCHAR(20) NOT NULL) ENGINE=InnoDB",
    "CREATE TABLE sh_member_tag (id INT PRIMARY KEY AUTO_INCREMENT, sh_member_id INT NOT NULL,"
    " sh_tag_id INT NOT NULL, KEY (sh_member_id), FOREIGN KEY (sh_member_id) REFERENCES sh_member(id),"
    " FOREIGN KEY (sh_tag_id) REFERENCES sh_tag(id)) ENGINE=InnoDB",
    "INSERT INTO sh_tag (id, label) VALUES (1, 'shared')",
]


async def all_at_once(road, write):  # noqa: F811
    """Runs write(executor, i) for i < TASKS at the same time, each in its own
    transaction; returns the errors."""
    if road.sync:
        def one(i):
            try:
                write(ShMember.getExecutor(), i)
            except Exception as e:  # noqa: BLE001  (the error is the result)
                return e
            return None

        with ThreadPoolExecutor(TASKS) as pool:
            return [e for e in pool.map(one, range(TASKS)) if e is not None]

    async def task(i):
        async with road.connector.transaction() as con:
            await write(ShMember.getAsyncExecutor(con), i)

    res = await asyncio.gather(*(asyncio.get_running_loop().create_task(task(i)) for i in range(TASKS)),
                               return_exceptions=True)
    return [e for e in res if e is not None]


@pytest.mark.parametrize("method", ["save", "update"])
async def test_saves_sharing_a_stored_item_all_succeed(road, method):  # noqa: F811
    road.ddl(SQLITE_DDL, MYSQL_DDL)
    await road.open()
    tag = ShTag(id=1, label="shared")
    if method == "update":
        for i in range(TASKS):
            res, err = await road.call(lambda i=i: ShMember.getExecutor().save(ShMember(name="m%d" % i)))
            assert err is None, repr(err)

        # keys are read back: a cluster node hands out its own
        ids = [r[0] for r in road.rows("SELECT id FROM sh_member ORDER BY id")]

        def write(ex, i):
            return ex.update(ShMember(id=ids[i], name="n%d" % i, tags=[tag]))
    else:
        def write(ex, i):
            return ex.save(ShMember(name="n%d" % i, tags=[tag]))

    errors = await all_at_once(road, write)
    assert errors == []
    assert road.rows("SELECT COUNT(*), COUNT(DISTINCT name) FROM sh_member WHERE name LIKE 'n%'") == [
        (TASKS, TASKS)]
    assert road.rows("SELECT COUNT(DISTINCT sh_member_id), MIN(sh_tag_id), MAX(sh_tag_id) FROM sh_member_tag") == [
        (TASKS, 1, 1)]
    assert road.rows("SELECT id, label FROM sh_tag") == [(1, "shared")]


async def test_an_item_given_with_a_key_not_stored_is_inserted(road):  # noqa: F811
    road.ddl(SQLITE_DDL, MYSQL_DDL)
    await road.open()
    fresh = ShTag(id=7, label="fresh")
    if road.sync:
        # the synchronous road writes the junction rows only: the item must exist
        res, err = await road.call(lambda: ShTag.getExecutor().save(fresh))
        assert err is None, repr(err)
    res, err = await road.call(lambda: ShMember.getExecutor().save(ShMember(name="a", tags=[fresh])))
    assert err is None, repr(err)
    assert road.rows("SELECT id, label FROM sh_tag ORDER BY id") == [(1, "shared"), (7, "fresh")]
    assert road.rows("SELECT sh_tag_id FROM sh_member_tag") == [(7,)]
