"""Indexes: the columns relations look rows up by, and columns declared
unique= or index=, are indexed by generate_table on SQLite and MySQL; unique
columns are enforced by the database; creating the tables again changes
nothing; concurrent many-to-many saves on MySQL do not deadlock."""
import asyncio
import sqlite3

import pymysql
import pytest

from Tavrik.DB.Generator import TableGenerator
from Tavrik.Ext import SchemaWarning, generate_table
from Tavrik.Model.Korvid import Korvid, MiddleKorvid
from Tavrik.Model.ModelProperty import AutoIncrement, ForeignKey, IntProperty, StrProperty, TextProperty

from tests.asynctools import run, settle
from tests.conftest import mysql_settings
from tests.roads import road  # noqa: F401  (fixture)

HOSTILE_TABLE = 'ix "odd`%table'


class IxOwner(Korvid):
    tableName = "ix_owner"
    id = IntProperty(primaryKey=True, default=AutoIncrement)
    name = StrProperty(30, nullable=True)
    pets = ForeignKey.oneToMany("IxPet", targetBindCol="owner_id")
    badge = ForeignKey.oneToOne("IxBadge", targetBindCol="holder")
    tags = ForeignKey.manyToMany("IxTag", middleModel="IxOwnerTag")


class IxPet(Korvid):
    tableName = "ix_pet"
    id = IntProperty(primaryKey=True, default=AutoIncrement)
    owner_id = IntProperty(nullable=True)


class IxBadge(Korvid):
    tableName = HOSTILE_TABLE
    id = IntProperty(primaryKey=True, default=AutoIncrement)
    holder = IntProperty(name="hol`der\"x", nullable=True)
    email = StrProperty(80, unique=True, nullable=True)
    nick = StrProperty(30, index=True, nullable=True)
    bio = TextProperty(index=True, nullable=True)
    # long names: the index name must stay within MySQL's 64 characters
    a_rather_long_column_name_that_goes_on_and_on_for_a_while = IntProperty(index=True, nullable=True)


class IxTag(Korvid):
    tableName = "ix_tag"
    id = IntProperty(primaryKey=True, default=AutoIncrement)
    label = StrProperty(20, nullable=True)


class IxOwnerTag(MiddleKorvid):
    tableName = "ix_owner_tag"
    id = IntProperty(primaryKey=True, default=AutoIncrement)
    ix_owner_id = IntProperty()
    ix_tag_id = IntProperty()
    owner = ForeignKey.oneToOne(IxOwner, bindCol="ix_owner_id")
    tag = ForeignKey.oneToOne(IxTag, bindCol="ix_tag_id")


class IxLate(Korvid):
    tableName = "ix_late"
    id = IntProperty(primaryKey=True, default=AutoIncrement)
    code = StrProperty(20, unique=True, nullable=True)


# table -> {column: unique}
EXPECTED = {
    "ix_pet": {"owner_id": False},
    "ix_owner_tag": {"ix_owner_id": False, "ix_tag_id": False},
    HOSTILE_TABLE: {"hol`der\"x": False, "email": True, "nick": False, "bio": False,
                    "a_rather_long_column_name_that_goes_on_and_on_for_a_while": False},
}


def sqlite_indexes(db_path):
    con = sqlite3.connect(db_path)
    try:
        found = {}
        for table in EXPECTED:
            for _, name, unique, *_ in con.execute("PRAGMA index_list(%s)" % quote(table)).fetchall():
                if name.startswith("sqlite_autoindex"):
                    continue
                cols = [r[2] for r in con.execute("PRAGMA index_info(%s)" % quote(name)).fetchall()]
                found.setdefault(table, {})[tuple(cols)] = (name, bool(unique))
        return found
    finally:
        con.close()


def quote(name):
    return '"%s"' % name.replace('"', '""')


def test_sqlite_indexes_exist_and_unique_is_enforced(sqlite_db, db_path):
    found = sqlite_indexes(db_path)
    for table, cols in EXPECTED.items():
        assert {c[0]: u for c, (_, u) in found[table].items()} == cols, table
    generate_table()  # a second time: harmless, nothing added
    assert sqlite_indexes(db_path) == found
    con = sqlite3.connect(db_path)
    try:
        con.execute("INSERT INTO %s (email) VALUES ('a@x')" % quote(HOSTILE_TABLE))
        with pytest.raises(sqlite3.IntegrityError):
            con.execute("INSERT INTO %s (email) VALUES ('a@x')" % quote(HOSTILE_TABLE))
        # the relation lookups use the indexes
        plan = con.execute("EXPLAIN QUERY PLAN DELETE FROM ix_owner_tag WHERE ix_owner_id = 1").fetchall()
        assert "USING INDEX" in " ".join(str(r[-1]) for r in plan)
    finally:
        con.close()


async def mysql_query(sql, args=()):
    import aiomysql

    settings = {k: v for k, v in mysql_settings().items() if k != "autocommit"}
    con = await aiomysql.connect(**settings)
    try:
        async with con.cursor() as cur:
            await cur.execute(sql, args)
            rows = await cur.fetchall()
        await con.commit()
        return rows
    finally:
        con.close()


async def mysql_indexes():
    rows = await mysql_query(
        "SELECT TABLE_NAME, INDEX_NAME, COLUMN_NAME, NON_UNIQUE FROM information_schema.STATISTICS "
        "WHERE TABLE_SCHEMA = DATABASE() AND INDEX_NAME <> 'PRIMARY'")
    found = {}
    for table, name, col, non_unique in rows:
        found.setdefault(table, {})[col] = (name, not non_unique)
    return found


@pytest.mark.filterwarnings("ignore:Table .* already exists")  # the server's note on the second creation
async def test_mysql_indexes_exist_and_unique_is_enforced(mysql_db):
    found = await mysql_indexes()
    for table, cols in EXPECTED.items():
        assert {c: u for c, (_, u) in found[table].items()} == cols, table
    assert all(len(name) <= 64 for t in found.values() for name, _ in t.values())
    await run(generate_table)  # a second time: harmless
    await settle(mysql_db)
    assert await mysql_indexes() == found
    await mysql_query("INSERT INTO `%s` (email) VALUES ('a@x')" % HOSTILE_TABLE.replace("`", "``").replace("%", "%%"))
    with pytest.raises(pymysql.err.IntegrityError):
        await mysql_query("INSERT INTO `%s` (email) VALUES ('a@x')"
                          % HOSTILE_TABLE.replace("`", "``").replace("%", "%%"))


def test_index_names_are_distinct_and_quoted(sqlite_db):
    g = TableGenerator(IxBadge, sqlite_db)
    assert len(g.indexSql()) == 4  # the declared ones
    statements = g.index(IxBadge.holder).indexSql()
    assert len(statements) == 5 and len(set(statements)) == 5
    assert statements[0].startswith("CREATE UNIQUE INDEX IF NOT EXISTS `ux_ix__odd__table_email_")
    assert all(" ON `ix \"odd``%table` (" in s for s in statements)
    with pytest.raises(ValueError, match="not a column"):
        g.index(IxPet.owner_id)


async def test_mysql_concurrent_many_to_many_saves_do_not_deadlock(mysql_db):
    async def make_tags():
        ex = IxTag.getExecutor()
        return [await ex.save(IxTag(label="t%d" % i)) for i in range(400)]

    tags = await run(make_tags)
    await settle(mysql_db)

    async def save_owner(i):
        # each owner's own tags: the junction rows are what the tasks share
        owner = IxOwner(name="o%d" % i, tags=[tags[2 * i], tags[2 * i + 1]])
        await IxOwner.getExecutor().save(owner)

    results = await asyncio.gather(*(run(save_owner, i) for i in range(200)), return_exceptions=True)
    await settle(mysql_db)
    failures = [r for r in results if isinstance(r, BaseException)]
    assert failures == []
    (count,) = await mysql_query("SELECT COUNT(*) FROM ix_owner_tag")
    assert count[0] == 400


@pytest.mark.filterwarnings("ignore:Table .* already exists")  # MySQL's note on the existing table
async def test_an_existing_table_lacking_a_declared_constraint_is_reported(road):  # noqa: F811
    # The existing table holds duplicates (SQLite cannot add the unique index)
    # or just lacks the key (MySQL's CREATE TABLE IF NOT EXISTS skips it):
    # every missing table is still made, and the lack is named.
    road.ddl("CREATE TABLE ix_late (id INTEGER PRIMARY KEY, code TEXT); INSERT INTO ix_late (code) VALUES ('a'), ('a');",
             ["CREATE TABLE ix_late (id INT AUTO_INCREMENT PRIMARY KEY, code VARCHAR(20))",
              "INSERT INTO ix_late (code) VALUES ('a'), ('a')"])
    await road.open()
    with pytest.warns(SchemaWarning, match="'ix_late' .*唯一约束 \\(列 'code'\\)"):
        _, err = await road.call(generate_table)
    assert err is None, repr(err)
    assert road.rows("SELECT COUNT(*) FROM ix_pet") == [(0,)]
    assert road.rows("SELECT COUNT(*) FROM ix_late") == [(2,)]
