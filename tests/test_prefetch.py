"""prefetch(rows, level): the related rows of a whole list with one statement
per relation and level (chunked), filled exactly as findListForeignKey fills
them: same rows in the same places, same list order, the same cycles ended.
Random libraries on sync SQLite, aiosqlite and MySQL, statements counted on
the database's side."""
import asyncio
import contextlib
import gc
import logging
import random
import warnings
import weakref

import pytest

from Tavrik.Model.Korvid import InstanceList, Korvid, MiddleKorvid, ModelInstance
from Tavrik.Model.ModelProperty import AutoIncrement, ForeignKey, IntProperty, StrProperty
from tests.leakcheck import assert_bursts_do_not_grow
from tests.asynctools import settle
from tests.roads import road  # noqa: F401  (fixture)


def relate(model, name, fk):
    """Adds a relation after the class exists (a class body cannot name a
    class declared after it, or itself)."""
    fk.__set_name__(model, name)
    model.fk.append(fk)
    model.mapping[name] = fk
    setattr(model, name, fk)


class PrTag(Korvid):
    tableName = "pr_tag"
    id = IntProperty(primaryKey=True, default=AutoIncrement)
    name = StrProperty(20)


class PrBook(Korvid):
    tableName = "pr_book"
    id = IntProperty(primaryKey=True, default=AutoIncrement)
    author_id = IntProperty(nullable=True)
    title = StrProperty(20)
    tags = ForeignKey.manyToMany(PrTag, middleModel="PrBookTag")


class PrProfile(Korvid):
    tableName = "pr_profile"
    id = IntProperty(primaryKey=True, default=AutoIncrement)
    author_id = IntProperty(nullable=True)
    bio = StrProperty(20)


class PrAuthor(Korvid):
    tableName = "pr_author"
    id = IntProperty(primaryKey=True, default=AutoIncrement)
    name = StrProperty(20)
    mentor_id = IntProperty(nullable=True)
    profile = ForeignKey.oneToOne(PrProfile, targetBindCol=PrProfile.author_id)
    books = ForeignKey.oneToMany(PrBook, targetBindCol=PrBook.author_id)


class PrBookTag(MiddleKorvid):
    tableName = "pr_book_tag"
    id = IntProperty(primaryKey=True, default=AutoIncrement)
    pr_book_id = IntProperty()
    pr_tag_id = IntProperty()


# Cycles: an author's mentor is an author (a relation of a model to itself),
# a book and a profile lead back to their author, a tag back to its books.
relate(PrAuthor, "mentor", ForeignKey.oneToOne(PrAuthor, bindCol="mentor_id"))
relate(PrBook, "author", ForeignKey.oneToOne(PrAuthor, bindCol="author_id"))
relate(PrProfile, "author", ForeignKey.oneToOne(PrAuthor, bindCol="author_id"))
relate(PrTag, "books", ForeignKey.manyToMany(PrBook, middleModel="PrBookTag"))

TABLES = {
    "pr_author": ("id, name, mentor_id", "name VARCHAR(20) NOT NULL, mentor_id INT NULL"),
    "pr_profile": ("id, author_id, bio", "author_id INT NULL, bio VARCHAR(20) NOT NULL"),
    "pr_book": ("id, author_id, title", "author_id INT NULL, title VARCHAR(20) NOT NULL"),
    "pr_tag": ("id, name", "name VARCHAR(20) NOT NULL"),
    "pr_book_tag": ("id, pr_book_id, pr_tag_id", "pr_book_id INT NOT NULL, pr_tag_id INT NOT NULL"),
}
INDEXES = [("pr_author", "mentor_id"), ("pr_profile", "author_id"), ("pr_book", "author_id"),
           ("pr_book_tag", "pr_book_id"), ("pr_book_tag", "pr_tag_id")]


def sql_value(v):
    return "NULL" if v is None else repr(v)


def load(road, data):
    """Creates the tables (indexed as generate_table indexes them) holding
    `data`: table -> list of row tuples, inserted in the list's order."""
    lite, my = [], []
    for t, (cols, decl) in TABLES.items():
        lite.append("DROP TABLE IF EXISTS %s;" % t)
        lite.append("CREATE TABLE %s (id INTEGER PRIMARY KEY AUTOINCREMENT, %s);" % (t, decl))
        my.append("CREATE TABLE %s (id INT PRIMARY KEY AUTO_INCREMENT, %s) ENGINE=InnoDB" % (t, decl))
        rows = data.get(t, [])
        for i in range(0, len(rows), 500):
            values = ", ".join("(%s)" % ", ".join(sql_value(v) for v in r) for r in rows[i:i + 500])
            stmt = "INSERT INTO %s (%s) VALUES %s" % (t, cols, values)
            lite.append(stmt + ";")
            my.append(stmt)
    for t, c in INDEXES:
        lite.append("CREATE INDEX ix_%s_%s ON %s (%s);" % (t, c, t, c))
        my.append("CREATE INDEX ix_%s_%s ON %s (%s)" % (t, c, t, c))
    road.ddl("".join(lite), my)


def random_library(seed):
    rnd = random.Random(seed)
    na = rnd.randint(1, 7)
    ids = list(range(1, na + 1))
    authors = [(i, "a%d" % i, rnd.choice([None, None] + ids)) for i in ids]
    profiles, pid = [], 0
    for i in ids + [None]:
        for _ in range(rnd.choice([0, 1, 1, 2])):
            pid += 1
            profiles.append((pid, i, "p%d" % pid))
    nb = rnd.randint(0, 14)
    books = [(b, rnd.choice([None] + ids), "b%d" % b) for b in range(1, nb + 1)]
    rnd.shuffle(books)  # stored out of key order
    nt = rnd.randint(0, 6)
    tags = [(t, "t%d" % t) for t in range(1, nt + 1)]
    links = []
    for b in range(1, nb + 1):
        picked = rnd.sample(range(1, nt + 1), min(nt, rnd.randint(0, 3)))
        if picked and rnd.random() < 0.2:
            picked.append(picked[0])  # the same tag twice
        links.extend((b, t) for t in picked)
    rnd.shuffle(links)  # a book's tags in the junction's order, not the tags'
    links = [(j + 1, b, t) for j, (b, t) in enumerate(links)]
    return {"pr_author": authors, "pr_profile": profiles, "pr_book": books, "pr_tag": tags, "pr_book_tag": links}


MTM_LISTS = {(PrBook, "tags"), (PrTag, "books")}


def same(a, b, unordered=False, seen=None):
    """Equal rows and lists, row classes included, through cycles.  With
    `unordered`, many-to-many lists are compared as multisets: MySQL reads a
    few rows of a junction in whichever order its plan takes, and the
    per-owner query asks for none; with "all", every list (PostgreSQL
    returns a table's rows in no order either)."""
    seen = set() if seen is None else seen
    if isinstance(a, (ModelInstance, InstanceList)) or isinstance(b, (ModelInstance, InstanceList)):
        if type(a) is not type(b):
            return False
        pair = (id(a), id(b))
        if pair in seen:
            return True
        seen.add(pair)
        if isinstance(a, InstanceList):
            return len(a) == len(b) and all(same(x, y, unordered, seen) for x, y in zip(a, b))
        if a.keys() != b.keys():
            return False
        for k in a:
            x, y = a[k], b[k]
            if unordered and (unordered == "all" or (type(a).object, k) in MTM_LISTS) and isinstance(x, InstanceList):
                x, y = (InstanceList(sorted(v, key=lambda r: r["id"])) for v in (x, y))
            if not same(x, y, unordered, seen):
                return False
        return True
    return type(a) is type(b) and a == b


@contextlib.contextmanager
def sync_trace(road, fn):
    """Calls fn(statement text) for each statement the synchronous road runs:
    SQLite's trace callback, the pooled connector's statement log."""
    if road.kind == "sqlite":
        con = road.connector.getCon()
        con.set_trace_callback(fn)
        try:
            yield
        finally:
            con.set_trace_callback(None)
        return
    handler = logging.Handler()
    handler.emit = lambda record: fn(record.getMessage())
    logger = logging.getLogger("Tavrik.DB")
    level = logger.level
    logger.addHandler(handler)
    logger.setLevel(logging.DEBUG)
    road.connector._pool.showLog = True
    try:
        yield
    finally:
        road.connector._pool.showLog = False
        logger.removeHandler(handler)
        logger.setLevel(level)


async def counted(road, fn):
    """Runs `fn()` as the road runs a program and returns (result, number of
    SELECT statements the database ran for it)."""
    if road.sync:
        seen = []
        with sync_trace(road, seen.append):
            res = fn()
        return res, sum(1 for s in seen if s.lstrip().upper().startswith("SELECT"))

    async def com_select():
        rows = await road.connector.execute("SHOW SESSION STATUS LIKE 'Com_select'")
        return int(rows[0][1])

    async def program():
        seen = []
        if road.kind == "aiosqlite":
            con = await road.connector.getCon()
            await con.set_trace_callback(seen.append)
            res = await fn()
            await con.set_trace_callback(None)
            return res, sum(1 for s in seen if s.lstrip().upper().startswith("SELECT"))
        if road.postgresql:
            con = await road.connector.getCon()

            def logged(q):
                seen.append(q.query)

            con.raw.add_query_logger(logged)
            try:
                res = await fn()
                await asyncio.sleep(0)  # the logger is called soon after each statement
            finally:
                con.raw.remove_query_logger(logged)
            # The driver's own type introspection (its texts begin with a
            # line break) is not the package's.
            return res, sum(1 for s in seen if s.startswith("SELECT"))
        idle = -(await com_select()) + await com_select()  # what asking costs
        start = await com_select()
        res = await fn()
        return res, await com_select() - start - idle

    out = await asyncio.get_running_loop().create_task(program())
    await settle(road.connector)
    return out


async def authors(road):
    rows, n = await counted(road, lambda: PrAuthor.getExecutor().findAllBy(None))
    return InstanceList(sorted(rows, key=lambda r: r.id))


async def both(road, level):
    """(rows filled by findListForeignKey, its statements, rows filled by
    prefetch, its statements)."""
    old, new = await authors(road), await authors(road)
    ex = PrAuthor.getExecutor()
    res, n_old = await counted(road, lambda: ex.findListForeignKey(old, level=level))
    assert res is None
    res, n_new = await counted(road, lambda: PrAuthor.getExecutor().prefetch(new, level=level))
    assert res is new
    return old, n_old, new, n_new


@pytest.mark.parametrize("seed", range(8))
async def test_random_libraries_fill_as_findListForeignKey(road, seed):  # noqa: F811
    load(road, random_library(seed))
    await road.open()
    for level in (1, 2, 3, 4):
        old, n_old, new, n_new = await both(road, level)
        assert same(old, new, "all" if road.postgresql else road.mysql), (seed, level)
        # at most one statement per relation (7 in all) and level
        assert n_new <= 7 * level, (n_new, n_old)


@pytest.mark.parametrize("level", [1, 2, 3])
@pytest.mark.parametrize("repeat", ["same row", "equal row"])
async def test_repeated_owners_get_rows_of_their_own(road, level, repeat):  # noqa: F811
    # An owner listed twice (the very row, or another row with its key) asks
    # for its relations twice: the second gets rows of its own, built from the
    # same values, at the last level as at the others.
    load(road, random_library(3))
    await road.open()
    old, new = await authors(road), await authors(road)
    extra_old, extra_new = (await authors(road), await authors(road)) if repeat == "equal row" else (old, new)
    old = InstanceList(list(old) + [extra_old[0], old[-1]])
    new = InstanceList(list(new) + [extra_new[0], new[-1]])
    ex = PrAuthor.getExecutor()
    await counted(road, lambda: ex.findListForeignKey(old, level=level))
    res, n = await counted(road, lambda: PrAuthor.getExecutor().prefetch(new, level=level))
    assert res is new
    assert same(old, new, "all" if road.postgresql else road.mysql)
    assert n <= 7 * level
    # Shared or separate exactly where the per-owner search shares them.
    for name in ("books", "profile"):
        a, b = old[0].get(name), old[len(old) - 2].get(name)
        c, d = new[0].get(name), new[len(new) - 2].get(name)
        assert (a is b) == (c is d), name


async def test_statements_per_relation_and_level_chunked(road):  # noqa: F811
    # 950 authors (more than one chunk of keys), each with a profile and two
    # books of two tags: level 1 asks for profiles and books in two chunks
    # each, level 2 for the books' authors (the per-owner search finds them
    # registered) in two and for the 1900 books' tags in three.  Below that
    # every key has been fetched, and the tags' own relation leads straight
    # back to books, which is not followed.
    n = 950
    data = {
        "pr_author": [(i, "a%d" % i, None) for i in range(1, n + 1)],
        "pr_profile": [(i, i, "p%d" % i) for i in range(1, n + 1)],
        "pr_book": [(b, (b + 1) // 2, "b%d" % b) for b in range(1, 2 * n + 1)],
        "pr_tag": [(t, "t%d" % t) for t in range(1, 6)],
        "pr_book_tag": [(j, (j + 1) // 2, 5 - j % 5) for j in range(1, 4 * n + 1)],
    }
    load(road, data)
    await road.open()
    old, n_old, new, n_new = await both(road, 2)
    assert same(old, new, "all" if road.postgresql else road.mysql)
    assert n_old == 2 * n + 2 * n  # each author's profile and books, each book's tags
    # PostgreSQL binds each statement's keys as one array: no chunks.
    assert n_new == (1 + 1 + 1 + 1 if road.postgresql else 2 + 2 + 2 + 3)
    for level, expected in ((0, 0), (1, 2), (3, 4)) if road.postgresql else ((0, 0), (1, 4), (3, 9)):
        rows = await authors(road)
        res, count = await counted(road, lambda: PrAuthor.getExecutor().prefetch(rows, level=level))
        assert count == expected, level


async def test_bad_arguments_raise_before_anything_runs(road):  # noqa: F811
    load(road, random_library(1))
    await road.open()
    rows = await authors(road)
    ex = PrAuthor.getExecutor()
    for args, exc in (((None,), TypeError), ((rows, "2"), TypeError), (([PrTag(id=1, name="x")],), TypeError),
                      ((rows, 2**40), OverflowError)):
        with pytest.raises(exc):
            ex.prefetch(*args)


async def test_a_failing_statement_fills_nothing(road):  # noqa: F811
    load(road, random_library(3))
    await road.open()
    rows = await authors(road)
    before = [dict(r) for r in rows]
    road.ddl("DROP TABLE pr_book_tag;", ["DROP TABLE pr_book_tag"])
    res, err = await road.call(lambda: PrAuthor.getExecutor().prefetch(rows, level=2))
    assert err is not None and "pr_book_tag" in str(err)
    # the rows are filled only once every statement has run
    assert [dict(r) for r in rows] == before


class _Rows(InstanceList):
    """Rows that can hold the load's coroutine: a cycle through its plan."""


@pytest.mark.parametrize("road", ["aiosqlite", "mysql"], indirect=True)
@pytest.mark.parametrize("end", ["cancelled", "never run"])
async def test_an_asynchronous_prefetch_left_lets_go_of_its_plan(road, end):  # noqa: F811
    load(road, random_library(1))
    await road.open()
    rows = _Rows(await authors(road))
    gone = weakref.ref(rows)
    # The plan holds the rows, which hold the coroutine, which holds the plan;
    # a cancelled one is also held by the traceback of its cancellation.
    rows.load = PrAuthor.getExecutor().prefetch(rows, level=3)
    if end == "cancelled":
        task = asyncio.get_running_loop().create_task(rows.load)
        await asyncio.sleep(0)  # into its first statement
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        del task
        await settle(road.connector)
    del rows
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # never awaited
        gc.collect()
    assert gone() is None


# Observed through SQLite's statement trace.
@pytest.mark.parametrize("road", ["sqlite", "aiosqlite"], indirect=True)
async def test_the_collector_runs_while_statements_run(road):  # noqa: F811
    # Pausing the collector is process-wide: a statement that waits (on a
    # lock, on the network) must not keep other threads from collecting.
    load(road, random_library(5))
    await road.open()
    rows = await authors(road)
    seen = []

    def trace(sql):
        seen.append(gc.isenabled())

    if road.sync:
        with sync_trace(road, trace):
            PrAuthor.getExecutor().prefetch(rows, level=3)
    else:
        async def program():
            con = await road.connector.getCon()
            await con.set_trace_callback(trace)
            try:
                return await PrAuthor.getExecutor().prefetch(rows, level=3)
            finally:
                await con.set_trace_callback(None)

        await asyncio.get_running_loop().create_task(program())
        await settle(road.connector)
    assert len(seen) > 1 and all(seen), seen
    assert gc.isenabled()


async def test_reads_inside_the_callers_transaction(road):  # noqa: F811
    load(road, {})
    await road.open()

    def program():
        if road.sync:
            a = PrAuthor.getExecutor().save(PrAuthor(name="x", books=[PrBook(title="b1"), PrBook(title="b2")]))
            return PrAuthor.getExecutor().prefetch([a], level=1)

        async def task():
            # nothing is committed before the task ends
            a = await PrAuthor.getExecutor().save(PrAuthor(name="x"))
            for t in ("b1", "b2"):
                await PrBook.getExecutor().save(PrBook(title=t, author_id=a.id))
            return await PrAuthor.getExecutor().prefetch([a], level=1)

        return task()

    res, err = await road.call(program)
    assert err is None, repr(err)
    assert [b.title for b in res[0].books] == ["b1", "b2"]


# Names a statement must quote: a backtick, a `%` (the MySQL driver formats
# the text), quotes and reserved words.
class HzTag(Korvid):
    tableName = "order"
    id = IntProperty(primaryKey=True, default=AutoIncrement)
    desc = StrProperty(20)


class HzNote(Korvid):
    tableName = "n'o\"te"
    id = IntProperty(primaryKey=True, default=AutoIncrement)
    owner = IntProperty(name="gr`p%s")
    body = StrProperty(20)


class HzGroup(Korvid):
    tableName = "g`r%p"
    id = IntProperty(primaryKey=True, default=AutoIncrement)
    name = StrProperty(20)
    notes = ForeignKey.oneToMany(HzNote, targetBindCol=HzNote.owner)
    tags = ForeignKey.manyToMany(HzTag, middleModel="HzGroupTag")


# the junction's owner column is named after the owner's table
HzGroupTag = type(MiddleKorvid)("HzGroupTag", (MiddleKorvid,), {
    "__module__": __name__, "tableName": "select", "id": IntProperty(primaryKey=True, default=AutoIncrement),
    "g`r%p_id": IntProperty(), "order_id": IntProperty()})


def q(name):
    return "`%s`" % name.replace("`", "``")


async def test_hostile_names(road):  # noqa: F811
    tables = [("order", "%s VARCHAR(20)" % q("desc"), [(1, "t1"), (2, "t2")]),
              ("n'o\"te", "%s INT, body VARCHAR(20)" % q("gr`p%s"), [(1, 1, "n1"), (2, 1, "n2"), (3, 2, "n3")]),
              ("g`r%p", "name VARCHAR(20)", [(1, "g1"), (2, "g2")]),
              ("select", "%s INT, order_id INT" % q("g`r%p_id"), [(1, 1, 2), (2, 1, 1), (3, 2, 2)])]
    lite, my = [], []
    for t, decl, rows in tables:
        values = ", ".join("(%s)" % ", ".join(sql_value(v) for v in r) for r in rows)
        lite += ["DROP TABLE IF EXISTS %s;" % q(t), "CREATE TABLE %s (id INTEGER PRIMARY KEY, %s);" % (q(t), decl),
                 "INSERT INTO %s VALUES %s;" % (q(t), values)]
        my += ["CREATE TABLE %s (id INT PRIMARY KEY, %s)" % (q(t), decl), "INSERT INTO %s VALUES %s" % (q(t), values)]
    road.ddl("".join(lite), my)
    await road.open()
    rows, err = await road.call(lambda: HzGroup.getExecutor().findAllBy(None))
    assert err is None, repr(err)
    rows = sorted(rows, key=lambda r: r.id)
    res, err = await road.call(lambda: HzGroup.getExecutor().prefetch(rows, level=2))
    assert err is None, repr(err)
    assert [[n.body for n in g.notes] for g in rows] == [["n1", "n2"], ["n3"]]
    assert [[t.desc for t in g.tags] for g in rows] == [["t2", "t1"], ["t2"]]


LEAK_SCRIPT = """
import gc, os, sys, tempfile, tracemalloc, weakref
sys.path[:0] = %(path)r
from Tavrik.DB.Connector import Sqlite3Connector
from Tavrik.DB.DB import DB
from Tavrik.Ext import generate_table
from tests.models import Post, Profile, Role, User

DB.create(Sqlite3Connector(os.path.join(tempfile.mkdtemp(), "leak.db"), showLog=False))
generate_table()
roles = [Role.getExecutor().save(Role(name="r%%d" %% i)) for i in range(3)]
for i in range(20):
    User.getExecutor().save(User(name="u", posts=[Post(title="p")] * 3, profile=Profile(bio="b"), roles=roles))

def burst():
    ex = User.getExecutor()
    for i in range(20):
        ex.prefetch(ex.findAllBy(), level=3)
        ex.prefetch([User(name="not saved")], level=1)  # no key: relates to nothing
        try:
            ex.prefetch([User(name="x"), Role(name="r")])
        except TypeError:
            pass

"""


def test_prefetch_does_not_leak():
    """Loading over and over in a fresh interpreter: object count and traced
    memory stop growing."""
    assert_bursts_do_not_grow(LEAK_SCRIPT)
