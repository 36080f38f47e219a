"""The baselines: the raw drivers doing the same work as the ORM, written the
way an application would write it by hand (sqlite3, aiosqlite, aiomysql)."""
import sqlite3

from common import (INSERT_ITEM, SELECT_ITEM, Runner, check_all_items, check_saved, clear_items, expect,
                    same_item)

# The statement texts are those Tavrik's generator writes (traced with
# Sqlite3Connector(path, showLog=True)), so both sides share SQLite's work.
_ITEM_COLS = ", ".join("`bench_item`.`%s`" % c for c in ("id", "name", "qty", "price", "flag", "note"))
SELECT_ONE = "SELECT %s FROM `bench_item` WHERE `bench_item`.`id` = ?" % _ITEM_COLS
COUNT_PAGE = "select count(`id`) from `bench_item` WHERE `bench_item`.`qty` >= ?"
SELECT_PAGE = ("SELECT %s FROM `bench_item` WHERE `bench_item`.`qty` >= ? ORDER BY `bench_item`.`id` "
               "LIMIT ? OFFSET ?" % _ITEM_COLS)
MIN_QTY = 100

# The statements the relation loader issues: the owners, then per owner its
# 1:1 row, its 1:N rows and its M:N rows through the junction.
REL_USERS = "SELECT `rel_user`.`id`, `rel_user`.`name` FROM `rel_user`"
REL_PROFILE = ("SELECT `rel_profile`.`id`, `rel_profile`.`user_id`, `rel_profile`.`bio` FROM `rel_profile` "
               "WHERE `rel_profile`.`user_id` = ?")
REL_POSTS = ("SELECT `rel_post`.`id`, `rel_post`.`user_id`, `rel_post`.`title` FROM `rel_post` "
             "WHERE `rel_post`.`user_id` = ?")
REL_ROLES = ("SELECT `rel_role`.`id`, `rel_role`.`name` FROM `rel_role` JOIN `rel_user_role` "
             "ON `rel_user_role`.`rel_role_id` = `rel_role`.`id` WHERE `rel_user_role`.`rel_user_id` = ?")


def connect(path):
    # The settings Sqlite3Connector opens its connection with.
    return sqlite3.connect(path, timeout=99999, check_same_thread=False)


def as_dicts(cur):
    names = [d[0] for d in cur.description]
    return [dict(zip(names, r)) for r in cur.fetchall()]


def item_params(row):
    return (row[0], row[1], row[2], int(row[3]), row[4])


# ------------------------------------------------------------- sync SQLite

def fetch_all(ctx):
    con = connect(ctx.read_db)

    def run():
        cur = con.execute(SELECT_ITEM)
        rows = as_dicts(cur)
        con.commit()
        return rows

    return Runner(run, lambda rows: check_all_items(rows, ctx.items), close=con.close, units=len(ctx.items))


def lookups(ctx):
    con = connect(ctx.read_db)
    keys = ctx.keys

    def run():
        out = []
        for k in keys:
            cur = con.execute(SELECT_ONE, (k,))
            out.append(as_dicts(cur)[0])
            con.commit()
        return out

    return Runner(run, lambda res: check_lookups(res, ctx), close=con.close, units=len(keys))


def check_lookups(res, ctx):
    expect(len(res) == len(ctx.keys), "lookup count differs")
    for k, row in zip(ctx.keys, res):
        same_item(row, k, ctx.items)


def _saves(ctx, memory):
    path = ":memory:" if memory else ctx.new_file("raw_saves")
    con = connect(path)
    if memory:
        from common import SQLITE_DDL

        con.execute(SQLITE_DDL[0])
    data = ctx.items[:ctx.sizes.saves]

    def before():
        if memory:
            con.execute("DELETE FROM bench_item")
            con.commit()
        else:
            clear_items(path)

    def run():
        last = 0
        for row in data:
            cur = con.execute(INSERT_ITEM, item_params(row))
            last = cur.lastrowid
            con.commit()
        return last

    def check(last):
        expect(last == len(data), "last row id %r, expected %d" % (last, len(data)))
        check_saved(con if memory else path, data)

    return Runner(run, check, before, con.close, units=len(data))


def saves_file(ctx):
    return _saves(ctx, False)


def saves_memory(ctx):
    return _saves(ctx, True)


# The hand-written form of a rewrite: the changed columns only.
UPDATE_QTY_NOTE = "UPDATE `bench_item` SET `qty` = ?, `note` = ? WHERE `bench_item`.`id` = ?"


def rewrites(ctx):
    """Fetch a row by key, change two fields, write them back: one UPDATE of
    the changed columns, committed (:memory:)."""
    from common import SQLITE_DDL, check_rewritten, reload_items, rewrite_keys, rewritten

    con = connect(":memory:")
    con.execute(SQLITE_DDL[0])
    data = ctx.items[:ctx.sizes.saves]
    keys = rewrite_keys(len(data))

    def run():
        for k in keys:
            cur = con.execute(SELECT_ONE, (k,))
            row = as_dicts(cur)[0]
            con.commit()
            qty, note = rewritten(row)
            con.execute(UPDATE_QTY_NOTE, (qty, note, k))
            con.commit()
        return len(keys)

    return Runner(run, lambda n: check_rewritten(con, data), lambda: reload_items(con, data), con.close,
                  units=len(keys))


def batch_insert(ctx):
    path = ctx.new_file("raw_batch")
    con = connect(path)
    data = ctx.items[:ctx.sizes.batch]

    # saveAll hands every row its new key: the same work by hand is INSERTs
    # of many rows (up to SQLite's oldest parameter limit) with RETURNING
    # (sqlite3's executemany returns no rows).
    per = 999 // 5
    head = INSERT_ITEM.split(" VALUES ")[0] + " VALUES "

    def run():
        params = [item_params(r) for r in data]
        keys = []
        for start in range(0, len(params), per):
            chunk = params[start:start + per]
            text = head + ", ".join(["(?, ?, ?, ?, ?)"] * len(chunk)) + " RETURNING id"
            keys.extend(k for (k,) in con.execute(text, [v for p in chunk for v in p]).fetchall())
        con.commit()
        expect(len(keys) == len(data), "expected a key per row")
        return len(data)

    return Runner(run, lambda n: check_saved(path, data), lambda: clear_items(path), con.close, units=len(data))


def paging(ctx):
    con = connect(ctx.read_db)
    s = ctx.sizes
    offset = (s.page - 1) * s.page_size

    def run():
        page = None
        for _ in range(s.page_calls):
            total = con.execute(COUNT_PAGE, (MIN_QTY,)).fetchall()[0][0]
            total_page = total // s.page_size + (1 if total % s.page_size else 0)
            page = dict(page=s.page, pageSize=s.page_size, content=[], total=total, totalPage=total_page)
            if total and s.page <= total_page:
                cur = con.execute(SELECT_PAGE, (MIN_QTY, s.page_size, offset))
                page["content"] = as_dicts(cur)
                con.commit()
        return page

    return Runner(run, lambda page: check_page(page, ctx), close=con.close, units=s.page_calls)


def check_page(page, ctx):
    total, ids = ctx.page_expect
    expect(page["total"] == total, "page total %r, expected %d" % (page["total"], total))
    got = [r["id"] if isinstance(r, dict) else r.id for r in page["content"]]
    expect(got == ids, "page ids %r, expected %r" % (got[:5], ids[:5]))
    for r, i in zip(page["content"], ids):
        same_item(r, i, ctx.items)


def relations(ctx):
    con = connect(ctx.read_db)

    def run():
        cur = con.execute(REL_USERS)
        users = as_dicts(cur)
        con.commit()
        for u in users:
            key = u["id"]
            prof = as_dicts(con.execute(REL_PROFILE, (key,)))
            con.commit()
            if prof:
                u["profile"] = prof[0]
            posts = as_dicts(con.execute(REL_POSTS, (key,)))
            con.commit()
            if posts:
                u["posts"] = posts
            u["roles"] = as_dicts(con.execute(REL_ROLES, (key,)))
            con.commit()
        return users

    return Runner(run, lambda users: check_relations(users, ctx), close=con.close, units=ctx.sizes.owners)


# The library loaded in one statement per relation and level, keys in IN
# lists, rows stitched in Python: what an application writes by hand.
LIB_AUTHORS = "SELECT `lib_author`.`id`, `lib_author`.`name` FROM `lib_author`"
LIB_PROFILES = ("SELECT `lib_profile`.`id`, `lib_profile`.`author_id`, `lib_profile`.`bio` FROM `lib_profile` "
                "WHERE `lib_profile`.`author_id` IN (%s) ORDER BY `lib_profile`.`author_id`, `lib_profile`.`id`")
LIB_BOOKS = ("SELECT `lib_book`.`id`, `lib_book`.`author_id`, `lib_book`.`title`, `lib_book`.`year` FROM `lib_book` "
             "WHERE `lib_book`.`author_id` IN (%s) ORDER BY `lib_book`.`author_id`, `lib_book`.`id`")
LIB_TAGS = ("SELECT `lib_tag`.`id`, `lib_tag`.`name`, `lib_book_tag`.`lib_book_id` FROM `lib_tag` "
            "JOIN `lib_book_tag` ON `lib_book_tag`.`lib_tag_id` = `lib_tag`.`id` "
            "WHERE `lib_book_tag`.`lib_book_id` IN (%s) ORDER BY `lib_book_tag`.`lib_book_id`, `lib_book_tag`.`id`")


def _marks(n):
    return ", ".join("?" * n)


def library(ctx, depth):
    con = connect(ctx.read_db)

    def run():
        authors = as_dicts(con.execute(LIB_AUTHORS))
        by_id = {a["id"]: a for a in authors}
        ids = list(by_id)
        for p in as_dicts(con.execute(LIB_PROFILES % _marks(len(ids)), ids)):
            a = by_id[p["author_id"]]
            if "profile" not in a:
                a["profile"] = p
        books = {}
        for b in as_dicts(con.execute(LIB_BOOKS % _marks(len(ids)), ids)):
            by_id[b["author_id"]].setdefault("books", []).append(b)
            books[b["id"]] = b
        if depth > 1 and books:
            keys = list(books)
            for tid, name, book in con.execute(LIB_TAGS % _marks(len(keys)), keys).fetchall():
                books[book].setdefault("tags", []).append({"id": tid, "name": name})
        con.commit()
        return authors

    return Runner(run, lambda authors: check_library(authors, ctx, depth), close=con.close,
                  units=ctx.sizes.authors)


def check_library(authors, ctx, depth, profile=None, books=None, tags=None):
    """authors: rows or objects whose profile / books / tags are reachable
    through the given accessors (defaults: items or attributes)."""
    lib = ctx.lib
    profile = profile or (lambda a: _get(a, "profile"))
    books = books or (lambda a: _get(a, "books"))
    tags = tags or (lambda b: _get(b, "tags"))
    expect(len(authors) == ctx.sizes.authors, "expected %d authors, got %d" % (ctx.sizes.authors, len(authors)))
    want_tags = {}
    for b, t in lib["links"]:
        want_tags.setdefault(b, set()).add(t)
    n = ctx.sizes.books_per
    for a in authors:
        aid = _get(a, "id")
        p = profile(a)
        expect(p is not None and _get(p, "bio") == "bio of %d" % aid, "profile of author %d wrong: %r" % (aid, p))
        bs = sorted(books(a), key=lambda b: _get(b, "id"))
        expect([_get(b, "title") for b in bs] == ["book %d.%d" % (aid, i) for i in range(n)],
               "books of author %d wrong" % aid)
        if depth > 1:
            for b in bs:
                got = {_get(t, "id") for t in tags(b)}
                expect(got == want_tags[_get(b, "id")], "tags of book %d wrong" % _get(b, "id"))


def _get(o, name):
    if isinstance(o, dict):
        return o[name]
    return getattr(o, name)


def check_relations(users, ctx, profile=None, posts=None, roles=None):
    """users: rows or objects with profile / posts / roles reachable through
    the given accessors (defaults: items or attributes of those names)."""
    rel = ctx.rel
    profile = profile or (lambda u: _get(u, "profile"))
    posts = posts or (lambda u: _get(u, "posts"))
    roles = roles or (lambda u: _get(u, "roles"))
    expect(len(users) == ctx.sizes.owners, "expected %d owners, got %d" % (ctx.sizes.owners, len(users)))
    want_roles = {}
    for u, r in rel["links"]:
        want_roles.setdefault(u, set()).add(r)
    for u in users:
        uid = _get(u, "id")
        p = profile(u)
        expect(p is not None and _get(p, "bio") == "bio of %d" % uid, "profile of owner %d wrong: %r" % (uid, p))
        ps = list(posts(u))
        expect(sorted(_get(x, "title") for x in ps) == sorted("post %d.%d" % (uid, i)
                                                               for i in range(ctx.sizes.posts_per)),
               "posts of owner %d wrong" % uid)
        rs = roles(u)
        expect(isinstance(rs, (list, tuple)) or hasattr(rs, "__iter__"), "roles of owner %d not a list: %r" % (uid, rs))
        got = {_get(x, "id") for x in rs}
        expect(got == want_roles[uid], "roles of owner %d: %r, expected %r" % (uid, got, want_roles[uid]))
        for x in rs:
            expect(_get(x, "name") == "role%03d" % _get(x, "id"), "role name wrong")


# ----------------------------------------------------------- async SQLite

async def a_fetch_all(ctx):
    import aiosqlite

    con = await aiosqlite.connect(ctx.read_db)
    cur = await con.execute(SELECT_ITEM)
    names = [d[0] for d in cur.description]
    rows = [dict(zip(names, r)) for r in await cur.fetchall()]
    await con.commit()
    await con.close()
    return rows


async def a_lookups(ctx):
    import aiosqlite

    con = await aiosqlite.connect(ctx.read_db)
    out = []
    for k in ctx.keys:
        cur = await con.execute(SELECT_ONE, (k,))
        names = [d[0] for d in cur.description]
        out.append(dict(zip(names, (await cur.fetchall())[0])))
    await con.commit()
    await con.close()
    return out


async def a_saves(ctx, path, data):
    import aiosqlite

    con = await aiosqlite.connect(path)
    last = 0
    for row in data:
        cur = await con.execute(INSERT_ITEM, item_params(row))
        last = cur.lastrowid
    await con.commit()
    await con.close()
    return last


async def a_writers(path, data, latencies):
    """Concurrent requests that each write one row: a task per row with a
    connection of its own, committed before the task answers."""
    import asyncio
    import time

    import aiosqlite

    async def one(row):
        t0 = time.perf_counter()
        con = await aiosqlite.connect(path, timeout=30)
        try:
            cur = await con.execute(INSERT_ITEM, item_params(row))
            await con.commit()
        finally:
            await con.close()
        latencies.append(time.perf_counter() - t0)
        return cur.lastrowid

    loop = asyncio.get_running_loop()
    return await asyncio.gather(*(loop.create_task(one(row)) for row in data))


async def a_paging(ctx):
    import aiosqlite

    s = ctx.sizes
    con = await aiosqlite.connect(ctx.read_db)
    page = None
    for _ in range(s.page_calls):
        cur = await con.execute(COUNT_PAGE, (MIN_QTY,))
        total = (await cur.fetchall())[0][0]
        total_page = total // s.page_size + (1 if total % s.page_size else 0)
        page = dict(page=s.page, pageSize=s.page_size, content=[], total=total, totalPage=total_page)
        if total and s.page <= total_page:
            cur = await con.execute(SELECT_PAGE, (MIN_QTY, s.page_size, (s.page - 1) * s.page_size))
            names = [d[0] for d in cur.description]
            page["content"] = [dict(zip(names, r)) for r in await cur.fetchall()]
    await con.commit()
    await con.close()
    return page


# ------------------------------------------------------------ async MySQL

M_SELECT = "SELECT id, name, qty, price, flag, note FROM bench_item"
M_INSERT = "INSERT INTO bench_item (name, qty, price, flag, note) VALUES (%s, %s, %s, %s, %s)"


async def m_fetch_all(pool):
    import aiomysql

    con = await pool.acquire()
    try:
        async with con.cursor(aiomysql.DictCursor) as cur:
            await cur.execute(M_SELECT)
            rows = await cur.fetchall()
        await con.commit()
    finally:
        pool.release(con)
    return list(rows)


async def m_lookups(pool, keys):
    import aiomysql

    out = []
    con = await pool.acquire()
    try:
        for k in keys:
            async with con.cursor(aiomysql.DictCursor) as cur:
                await cur.execute(M_SELECT + " WHERE id = %s", (k,))
                out.append((await cur.fetchall())[0])
        await con.commit()
    finally:
        pool.release(con)
    return out


async def m_saves(pool, data):
    con = await pool.acquire()
    last = 0
    try:
        for row in data:
            async with con.cursor() as cur:
                await cur.execute(M_INSERT, item_params(row))
                last = cur.lastrowid
        await con.commit()
    finally:
        pool.release(con)
    return last


# saveAll hands every row its new key (MariaDB's RETURNING): by hand, INSERTs
# of many rows, cut at about 1 MB of text as the driver's own executemany
# cuts them, each returning its keys.
_M_HEAD = M_INSERT.split(" VALUES ")[0].encode() + b" VALUES "
_M_TAIL = b" RETURNING id"


def _m_chunks(con, data):
    out, cur, size = [], [], len(_M_HEAD) + len(_M_TAIL)
    for r in data:
        v = ("(%s, %s, %s, %s, %s)" % tuple(con.literal(x) for x in item_params(r))).encode()
        if cur and size + len(v) + 2 > 1_000_000:
            out.append(_M_HEAD + b", ".join(cur) + _M_TAIL)
            cur, size = [], len(_M_HEAD) + len(_M_TAIL)
        cur.append(v)
        size += len(v) + 2
    if cur:
        out.append(_M_HEAD + b", ".join(cur) + _M_TAIL)
    return out


async def m_batch(pool, data):
    con = await pool.acquire()
    keys = []
    try:
        async with con.cursor() as cur:
            for text in _m_chunks(con, data):
                await cur.execute(text)
                keys.extend(await cur.fetchall())
        await con.commit()
    finally:
        pool.release(con)
    expect(len(keys) == len(data), "expected a key per row")
    return len(data)


async def m_paging(pool, s):
    import aiomysql

    con = await pool.acquire()
    page = None
    try:
        for _ in range(s.page_calls):
            async with con.cursor() as cur:
                await cur.execute("SELECT count(id) FROM bench_item WHERE qty >= %s", (MIN_QTY,))
                total = (await cur.fetchall())[0][0]
            total_page = total // s.page_size + (1 if total % s.page_size else 0)
            page = dict(page=s.page, pageSize=s.page_size, content=[], total=total, totalPage=total_page)
            if total and s.page <= total_page:
                async with con.cursor(aiomysql.DictCursor) as cur:
                    await cur.execute(M_SELECT + " WHERE qty >= %s ORDER BY id LIMIT %s OFFSET %s",
                                      (MIN_QTY, s.page_size, (s.page - 1) * s.page_size))
                    page["content"] = list(await cur.fetchall())
        await con.commit()
    finally:
        pool.release(con)
    return page


# ------------------------------------------------------------- PostgreSQL
# The same work by hand on asyncpg (a pool, one connection and one
# transaction per task) and on psycopg 3 (a ConnectionPool of autocommit
# connections: every statement its own transaction, committed as it returns,
# without the BEGIN and COMMIT round trips an explicit transaction costs).  Rows come back as
# the dicts an application works with: native Python values, JSON decoded.

P_ITEM_COLS = "id, name, qty, price, flag, note"
P_WIDE_COLS = "id, name, title, code, qty, stock, rank, price, flag, created, day, amount, meta, note"
P_WIDE_SELECT = "SELECT %s FROM bench_wide" % P_WIDE_COLS
P_ONE = "SELECT %s FROM bench_item WHERE id = $1" % P_ITEM_COLS
P_EDIT_ONE = "SELECT %s FROM bench_edit WHERE id = $1" % P_ITEM_COLS
P_EDIT_UPDATE = "UPDATE bench_edit SET qty = $1, note = $2 WHERE id = $3"
P_INSERT = "INSERT INTO bench_new (name, qty, price, flag, note) VALUES ($1, $2, $3, $4, $5)"
P_COUNT = "SELECT count(id) FROM bench_item WHERE qty >= $1"
P_PAGE = "SELECT %s FROM bench_item WHERE qty >= $1 ORDER BY id LIMIT $2 OFFSET $3" % P_ITEM_COLS
P_AUTHORS = "SELECT id, name FROM lib_author"
P_PROFILES = "SELECT id, author_id, bio FROM lib_profile WHERE author_id = ANY($1) ORDER BY author_id, id"
P_BOOKS = "SELECT id, author_id, title, year FROM lib_book WHERE author_id = ANY($1) ORDER BY author_id, id"
P_TAGS = ("SELECT lib_tag.id, lib_tag.name, lib_book_tag.lib_book_id FROM lib_tag JOIN lib_book_tag "
          "ON lib_book_tag.lib_tag_id = lib_tag.id WHERE lib_book_tag.lib_book_id = ANY($1) "
          "ORDER BY lib_book_tag.lib_book_id, lib_book_tag.id")


def _pct(sql):
    """asyncpg's $n placeholders as psycopg's %s."""
    import re

    return re.sub(r"\$\d+", "%s", sql)


def p_item_params(row):
    return (row[0], row[1], row[2], bool(row[3]), row[4])


def _wide_dict(d):
    import json

    if d["meta"] is not None:
        d["meta"] = json.loads(d["meta"])
    return d


def _page_of(total, s, content_fn):
    total_page = total // s.page_size + (1 if total % s.page_size else 0)
    page = dict(page=s.page, pageSize=s.page_size, content=[], total=total, totalPage=total_page)
    if total and s.page <= total_page:
        page["content"] = content_fn()
    return page


def _stitch(authors, profiles, books, tags):
    by_id = {a["id"]: a for a in authors}
    for p in profiles:
        a = by_id[p["author_id"]]
        if "profile" not in a:
            a["profile"] = p
    by_book = {}
    for b in books:
        by_id[b["author_id"]].setdefault("books", []).append(b)
        by_book[b["id"]] = b
    for tid, name, book in tags:
        by_book[book].setdefault("tags", []).append({"id": tid, "name": name})
    return authors, list(by_book)


async def pa_fetch_wide(pool):
    async with pool.acquire() as con:
        async with con.transaction():
            rows = await con.fetch(P_WIDE_SELECT)
    return [_wide_dict(dict(r)) for r in rows]


async def pa_lookups(pool, keys):
    out = []
    async with pool.acquire() as con:
        async with con.transaction():
            for k in keys:
                out.append(dict(await con.fetchrow(P_ONE, k)))
    return out


async def pa_saves(pool, data):
    last = 0
    async with pool.acquire() as con:
        async with con.transaction():
            for row in data:
                last = await con.fetchval(P_INSERT + " RETURNING id", *p_item_params(row))
    return last


async def pa_updates(pool, keys):
    from common import rewritten

    async with pool.acquire() as con:
        async with con.transaction():
            for k in keys:
                row = dict(await con.fetchrow(P_EDIT_ONE, k))
                row["qty"], row["note"] = rewritten(row)
                await con.execute(P_EDIT_UPDATE, row["qty"], row["note"], k)
    return len(keys)


async def pa_batch(pool, data):
    async with pool.acquire() as con:
        async with con.transaction():
            # The new keys come back, one row per parameter tuple, as
            # saveAll gives them to its rows.
            keys = await con.fetchmany(P_INSERT + " RETURNING id", [p_item_params(r) for r in data])
    expect(len(keys) == len(data), "expected a key per row")
    return len(data)


async def pa_paging(pool, s):
    page = None
    async with pool.acquire() as con:
        async with con.transaction():
            for _ in range(s.page_calls):
                total = await con.fetchval(P_COUNT, MIN_QTY)
                rows = []
                if total and s.page <= total // s.page_size + (1 if total % s.page_size else 0):
                    rows = [dict(r) for r in await con.fetch(P_PAGE, MIN_QTY, s.page_size,
                                                             (s.page - 1) * s.page_size)]
                page = _page_of(total, s, lambda: rows)
    return page


async def pa_library(pool, depth):
    async with pool.acquire() as con:
        async with con.transaction():
            authors = [dict(r) for r in await con.fetch(P_AUTHORS)]
            ids = [a["id"] for a in authors]
            profiles = [dict(r) for r in await con.fetch(P_PROFILES, ids)]
            books = [dict(r) for r in await con.fetch(P_BOOKS, ids)]
            tags = []
            if depth > 1 and books:
                tags = await con.fetch(P_TAGS, [b["id"] for b in books])
    return _stitch(authors, profiles, books, [tuple(t) for t in tags])[0]


def ps_fetch_wide(pool):
    with pool.connection() as con:
        return [_wide_dict(r) for r in con.execute(_pct(P_WIDE_SELECT)).fetchall()]


def ps_lookups(pool, keys):
    sql = _pct(P_ONE)
    with pool.connection() as con:
        return [con.execute(sql, (k,)).fetchone() for k in keys]


def ps_saves(pool, data):
    sql = _pct(P_INSERT) + " RETURNING id"
    last = 0
    with pool.connection() as con:
        for row in data:
            last = con.execute(sql, p_item_params(row)).fetchone()["id"]
    return last


def ps_updates(pool, keys):
    from common import rewritten

    one, upd = _pct(P_EDIT_ONE), _pct(P_EDIT_UPDATE)
    with pool.connection() as con:
        for k in keys:
            row = con.execute(one, (k,)).fetchone()
            row["qty"], row["note"] = rewritten(row)
            con.execute(upd, (row["qty"], row["note"], k))
    return len(keys)


def ps_batch(pool, data):
    # One statement's work, so one transaction, as saveAll commits once.
    with pool.connection() as con:
        with con.transaction():
            cur = con.cursor()
            cur.executemany(_pct(P_INSERT + " RETURNING id"), [p_item_params(r) for r in data], returning=True)
            keys = []
            while True:
                keys.extend(cur.fetchall())
                if not cur.nextset():
                    break
    expect(len(keys) == len(data), "expected a key per row")
    return len(data)


def ps_paging(pool, s):
    count, sel = _pct(P_COUNT), _pct(P_PAGE)
    page = None
    with pool.connection() as con:
        for _ in range(s.page_calls):
            total = con.execute(count, (MIN_QTY,)).fetchone()["count"]
            page = _page_of(total, s, lambda: con.execute(sel, (MIN_QTY, s.page_size,
                                                                (s.page - 1) * s.page_size)).fetchall())
    return page


def ps_library(pool, depth):
    with pool.connection() as con:
        authors = con.execute(P_AUTHORS).fetchall()
        ids = [a["id"] for a in authors]
        profiles = con.execute(_pct(P_PROFILES), (ids,)).fetchall()
        books = con.execute(_pct(P_BOOKS), (ids,)).fetchall()
        tags = []
        if depth > 1 and books:
            tags = [(t["id"], t["name"], t["lib_book_id"])
                    for t in con.execute(_pct(P_TAGS), ([b["id"] for b in books],)).fetchall()]
    return _stitch(authors, profiles, books, tags)[0]


# ------------------------------------------------------------ sync MySQL
# One pymysql connection, each statement committed, dict rows from the
# driver's DictCursor: what a hand-written synchronous program does.

def p_fetch_all(con):
    import pymysql

    with con.cursor(pymysql.cursors.DictCursor) as cur:
        cur.execute(M_SELECT)
        rows = list(cur.fetchall())
    con.commit()
    return rows


def p_lookups(con, keys):
    import pymysql

    out = []
    for k in keys:
        with con.cursor(pymysql.cursors.DictCursor) as cur:
            cur.execute(M_SELECT + " WHERE id = %s", (k,))
            out.append(cur.fetchall()[0])
        con.commit()
    return out


def p_batch(con, data):
    keys = []
    with con.cursor() as cur:
        for text in _m_chunks(con, data):
            cur.execute(text)
            keys.extend(cur.fetchall())
    con.commit()
    expect(len(keys) == len(data), "expected a key per row")
    return len(data)


def p_saves(con, data):
    last = 0
    for row in data:
        with con.cursor() as cur:
            cur.execute(M_INSERT, item_params(row))
            last = cur.lastrowid
        con.commit()
    return last
