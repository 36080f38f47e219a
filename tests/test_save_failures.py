"""Saves that fail must fail.  An insert refused by the database becomes an
update only when the row's primary key is already stored; every other
integrity error (another unique column, NOT NULL, CHECK, a foreign key)
reaches the caller unchanged and nothing is written.  A tree holding a row
under a relation it does not belong to is refused before its first write.
Each case runs on sync SQLite, aiosqlite and MySQL."""
import inspect
import sqlite3

import pymysql
import pytest

import Tavrik.Error

from Tavrik.Error.BaseOrmError import BaseOrmError
from Tavrik.Model.Korvid import Korvid
from Tavrik.Model.ModelProperty import AutoIncrement, ForeignKey, IntProperty, StrProperty
from tests.roads import road  # noqa: F401  (fixture)


class SfAcct(Korvid):
    tableName = "sf_acct"
    id = IntProperty(primaryKey=True, default=AutoIncrement)
    # nullable here: the NOT NULL under test is the table's own
    email = StrProperty(50, nullable=True)
    age = IntProperty(nullable=True)
    owner_id = IntProperty(nullable=True)


class SfOwner(Korvid):
    tableName = "sf_owner"
    id = IntProperty(primaryKey=True, default=AutoIncrement)
    name = StrProperty(20)
    accts = ForeignKey.oneToMany(SfAcct, targetBindCol=SfAcct.owner_id)
    main = ForeignKey.oneToOne(SfAcct, targetBindCol=SfAcct.owner_id)


SQLITE_DDL = """
DROP TABLE IF EXISTS sf_acct;
DROP TABLE IF EXISTS sf_owner;
CREATE TABLE sf_owner (id INTEGER PRIMARY KEY AUTOINCREMENT, name VARCHAR(20) NOT NULL);
CREATE TABLE sf_acct (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    email VARCHAR(50) NOT NULL UNIQUE,
    age INTEGER CHECK (age >= 0),
    owner_id INTEGER REFERENCES sf_owner (id)
);
INSERT INTO sf_owner (id, name) VALUES (1, 'first');
INSERT INTO sf_acct (id, email, age, owner_id) VALUES (1, 'taken@x', 30, 1), (2, 'other@x', 40, NULL);
"""

MYSQL_DDL = [
    "CREATE TABLE sf_owner (id INT PRIMARY KEY AUTO_INCREMENT, name VARCHAR(20) NOT NULL) ENGINE=InnoDB",
    "CREATE TABLE sf_acct (id INT PRIMARY KEY AUTO_INCREMENT, email VARCHAR(50) NOT NULL UNIQUE,"
    " age INT NULL CHECK (age >= 0), owner_id INT NULL,"
    " FOREIGN KEY (owner_id) REFERENCES sf_owner (id)) ENGINE=InnoDB",
    "INSERT INTO sf_owner (id, name) VALUES (1, 'first')",
    "INSERT INTO sf_acct (id, email, age, owner_id) VALUES (1, 'taken@x', 30, 1), (2, 'other@x', 40, NULL)",
]

SEEDED = [(1, "taken@x", 30, 1), (2, "other@x", 40, None)]
ACCTS = "SELECT id, email, age, owner_id FROM sf_acct ORDER BY id"


@pytest.fixture
async def seeded(road):  # noqa: F811
    road.ddl(SQLITE_DDL, MYSQL_DDL)
    await road.open()
    return road


def save(row):
    return lambda: SfAcct.getExecutor().save(row)


# The SQLSTATE PostgreSQL gives for each of SQLite's refusals.
PG_STATES = {"UNIQUE": "23505", "NOT NULL": "23502", "CHECK": "23514", "FOREIGN KEY": "23503"}


def check_driver_error(road, err, sqlite_text, mysql_errno):
    """`err` is the database's own error, as the driver raised it."""
    assert err is not None, "the save reported success"
    assert not isinstance(err, BaseOrmError), repr(err)
    if road.postgresql:
        driver = "psycopg" if road.sync else "asyncpg"
        state = next(v for k, v in PG_STATES.items() if sqlite_text.startswith(k))
        assert type(err).__module__.startswith(driver) and err.sqlstate == state, repr(err)
        assert isinstance(err, Tavrik.Error.IntegrityError), repr(err)
    elif road.mysql:
        assert isinstance(err, pymysql.MySQLError) and err.args[0] == mysql_errno, repr(err)
    else:
        assert isinstance(err, sqlite3.IntegrityError) and sqlite_text in str(err), repr(err)


@pytest.mark.parametrize(
    "values, sqlite_text, mysql_errno",
    [
        # another unique column, with a key that is not stored
        (dict(id=99, email="taken@x"), "UNIQUE constraint failed: sf_acct.email", 1062),
        # another unique column, without a key (used to be UpdateWithOutPrimaryKeyError)
        (dict(email="taken@x"), "UNIQUE constraint failed: sf_acct.email", 1062),
        # NOT NULL column left unset
        (dict(id=5), "NOT NULL constraint failed: sf_acct.email", 1364),
        (dict(id=99, email="new@x", age=-1), "CHECK constraint failed", 4025),
        (dict(id=99, email="new@x", owner_id=42), "FOREIGN KEY constraint failed", 1452),
    ],
    ids=["unique", "unique-no-key", "not-null", "check", "foreign-key"],
)
async def test_refused_insert_is_not_reported_as_saved(seeded, values, sqlite_text, mysql_errno):
    row = SfAcct(**values)
    res, err = await seeded.call(save(row))
    check_driver_error(seeded, err, sqlite_text, mysql_errno)
    assert res is None
    assert seeded.rows(ACCTS) == SEEDED


async def test_stored_key_falls_back_to_update(seeded):
    row = SfAcct(id=1, email="changed@x", age=31, owner_id=1)
    res, err = await seeded.call(save(row))
    assert err is None and res is row
    assert seeded.rows(ACCTS) == [(1, "changed@x", 31, 1), SEEDED[1]]


async def test_failed_update_after_fallback_carries_the_insert_error(seeded):
    # row 1 is stored, so the save turns into an update, which the unique
    # email refuses: that error propagates, the insert's one as its context
    row = SfAcct(id=1, email="other@x")
    res, err = await seeded.call(save(row))
    check_driver_error(seeded, err, "UNIQUE constraint failed: sf_acct.email", 1062)
    assert isinstance(err.__context__, Tavrik.Error.IntegrityError) and err.__context__ is not err
    assert seeded.rows(ACCTS) == SEEDED


@pytest.mark.parametrize("relation", ["accts", "main"])
async def test_row_under_a_foreign_relation_is_refused_before_any_write(seeded, relation):
    owner = SfOwner(name="second")
    # the owner itself where its accounts belong: not an account
    owner[relation] = [SfAcct(email="fresh@x"), owner] if relation == "accts" else owner
    res, err = await seeded.call(lambda: SfOwner.getExecutor().save(owner))
    assert isinstance(err, TypeError) and "Argument 'instance' has incorrect type" in str(err), repr(err)
    assert "id" not in owner or not owner["id"]
    assert seeded.rows("SELECT id, name FROM sf_owner ORDER BY id") == [(1, "first")]
    assert seeded.rows(ACCTS) == SEEDED


async def test_failed_related_save_stops_at_the_database_error(seeded):
    # the related row breaks the unique email: the error is the database's
    # own, not a fall-back to updating an unkeyed row
    owner = SfOwner(name="second", accts=[SfAcct(email="taken@x")])
    res, err = await seeded.call(lambda: SfOwner.getExecutor().save(owner))
    check_driver_error(seeded, err, "UNIQUE constraint failed: sf_acct.email", 1062)
    assert seeded.rows(ACCTS) == SEEDED


# The row goes away between the insert's failure and the update, on the
# saving connection itself: a BEFORE UPDATE trigger deletes it, so the update
# matches no row (SQLite; MySQL refuses a trigger that changes the table it
# fires on: there the row is locked instead, see the next test).
VANISH_TRIGGER = """
CREATE TRIGGER sf_vanish BEFORE UPDATE ON sf_acct WHEN NEW.email = 'gone@x'
BEGIN DELETE FROM sf_acct WHERE id = OLD.id; END;
"""


def _executor_class(road):  # noqa: F811
    from Tavrik.Model.Vantrel import AsyncModelExecutor, ModelExecutor

    return ModelExecutor if road.sync else AsyncModelExecutor


@pytest.mark.parametrize("road", ["sqlite", "aiosqlite"], indirect=True)
@pytest.mark.parametrize("probing", [False, True], ids=["direct", "probing-subclass"])
async def test_update_after_fallback_matching_no_row_raises_the_insert_error(road, probing):  # noqa: F811
    road.ddl(SQLITE_DDL + VANISH_TRIGGER, [])
    await road.open()
    cls = _executor_class(road)
    # A subclass takes the road of a probe before the update, as the
    # asynchronous executor always does.
    ex_cls = type("ProbingExecutor", (cls,), {}) if probing else cls
    row = SfAcct(id=1, email="gone@x", age=33)
    res, err = await road.call(lambda: ex_cls(SfAcct).save(row))
    assert res is None
    assert isinstance(err, sqlite3.IntegrityError), repr(err)
    # the insert's own error: the key, not anything the update did
    assert "sf_acct.id" in str(err), repr(err)
    rows = road.rows(ACCTS)
    assert all(r[1] != "gone@x" for r in rows), rows
    if road.sync:
        # the save is one transaction: the trigger's delete went with it
        assert rows == SEEDED


async def test_stored_row_cannot_vanish_before_the_fallback_update(seeded):
    """Another connection deletes the row between the insert's failure and
    the update: the delete waits for the saving transaction (here it gives
    up after a second), and the update finds the row."""
    cls = _executor_class(seeded)
    attempts = []

    def delete_elsewhere():
        if seeded.postgresql:
            import psycopg

            with psycopg.connect(seeded.settings, autocommit=True) as con:
                con.execute("SET lock_timeout = '1s'")
                try:
                    con.execute("DELETE FROM sf_acct WHERE id = 1")
                    attempts.append("deleted")
                except psycopg.errors.LockNotAvailable as e:
                    attempts.append(e.sqlstate)
        elif seeded.mysql:
            import pymysql

            con = pymysql.connect(**{k: v for k, v in seeded.settings.items() if k != "autocommit"})
            try:
                with con.cursor() as cur:
                    cur.execute("SET SESSION innodb_lock_wait_timeout = 1")
                    try:
                        cur.execute("DELETE FROM sf_acct WHERE id = 1")
                        con.commit()
                        attempts.append("deleted")
                    except pymysql.err.OperationalError as e:
                        attempts.append(e.args[0])
            finally:
                con.close()
        else:
            con = sqlite3.connect(seeded.path, timeout=0.2)
            try:
                con.execute("DELETE FROM sf_acct WHERE id = 1")
                con.commit()
                attempts.append("deleted")
            except sqlite3.OperationalError as e:
                attempts.append(str(e))
            finally:
                con.close()

    if cls.__name__ == "ModelExecutor":
        class Racing(cls):
            def findAllBy(self, Filter=None, **kw):
                rows = super().findAllBy(Filter, **kw)
                delete_elsewhere()
                return rows
    else:
        class Racing(cls):
            async def findAllBy(self, Filter=None, **kw):
                rows = await super().findAllBy(Filter, **kw)
                delete_elsewhere()
                return rows

    row = SfAcct(id=1, email="changed@x", age=31, owner_id=1)
    res, err = await seeded.call(lambda: Racing(SfAcct).save(row))
    if seeded.postgresql:
        # A refused INSERT holds no lock there, and an overriding findAllBy
        # is called without forUpdate: the row may vanish before the update,
        # which then matches nothing and the insert's error stands.
        assert attempts == ["deleted"] and err.sqlstate == "23505", (err, attempts)
        assert seeded.rows(ACCTS) == [SEEDED[1]]
        return
    assert err is None and res is row, (err, attempts)
    assert attempts and attempts[0] != "deleted", attempts
    if seeded.postgresql:
        assert attempts == ["55P03"]
    elif seeded.mysql:
        assert attempts == [1205]
    else:
        assert "locked" in attempts[0]
    assert seeded.rows(ACCTS) == [(1, "changed@x", 31, 1), SEEDED[1]]


async def test_caught_errors_in_a_block_undo_only_their_own_statement(seeded):
    """A hand-written write, a read, a failed read and a refused save, each
    error caught inside one transaction() block: the block commits every
    statement that succeeded (PostgreSQL, which aborts a whole transaction
    on an error, included)."""
    c = seeded.connector

    async def body():
        await done(c.execute("INSERT INTO sf_acct (email, age) VALUES ('raw@x', 5)"))
        assert (await done(SfAcct.getExecutor().findOneBy(SfAcct.email == "raw@x")))["age"] == 5
        with pytest.raises(Tavrik.Error.DatabaseError):
            await done(c.execute("SELECT no_such_column FROM sf_acct"))
        with pytest.raises(Tavrik.Error.IntegrityError):
            await done(SfAcct.getExecutor().save(SfAcct(email="taken@x")))
        await done(SfAcct.getExecutor().save(SfAcct(email="after@x")))

    if seeded.sync:
        with c.transaction():
            await body()
    else:
        async def block():
            async with c.transaction():
                await body()

        _, err = await seeded.call(block)
        assert err is None, repr(err)
    assert sorted(r[1] for r in seeded.rows(ACCTS)) == ["after@x", "other@x", "raw@x", "taken@x"]


async def done(result):
    return await result if inspect.isawaitable(result) else result
