"""Tavrik doing the scenarios' work through its documented API."""
import asyncio

from common import Runner, SQLITE_DDL, Skip, check_all_items, check_saved, clear_items, expect
import raw

MIN_QTY = raw.MIN_QTY

_models = None


def models():
    """Declares the benchmark's models once (Tavrik is imported lazily so the
    baselines run even when the package does not load)."""
    global _models
    if _models is not None:
        return _models
    from Tavrik.Model.Korvid import Korvid, MiddleKorvid
    from Tavrik.Model.ModelProperty import (AutoIncrement, BoolProperty, FloatProperty, ForeignKey,
                                             IntProperty, StrProperty, TextProperty)

    class BenchItem(Korvid):
        tableName = "bench_item"
        id = IntProperty(primaryKey=True, default=AutoIncrement)
        # The defaults mirror the table's DEFAULT clauses.
        name = StrProperty(32, default="")
        qty = IntProperty(default=0)
        price = FloatProperty(default=0.0)
        flag = BoolProperty(default=False)
        note = TextProperty(nullable=True)

    class RelProfile(Korvid):
        tableName = "rel_profile"
        id = IntProperty(primaryKey=True, default=AutoIncrement)
        user_id = IntProperty()
        bio = TextProperty(nullable=True)

    class RelPost(Korvid):
        tableName = "rel_post"
        id = IntProperty(primaryKey=True, default=AutoIncrement)
        user_id = IntProperty()
        title = StrProperty(200)

    class RelRole(Korvid):
        tableName = "rel_role"
        id = IntProperty(primaryKey=True, default=AutoIncrement)
        name = StrProperty(50)

    class RelUser(Korvid):
        tableName = "rel_user"
        id = IntProperty(primaryKey=True, default=AutoIncrement)
        name = StrProperty(64)
        profile = ForeignKey.oneToOne(RelProfile, targetBindCol=RelProfile.user_id)
        posts = ForeignKey.oneToMany(RelPost, targetBindCol=RelPost.user_id)
        roles = ForeignKey.manyToMany(RelRole, middleModel="RelUserRole")

    class RelUserRole(MiddleKorvid):
        tableName = "rel_user_role"
        id = IntProperty(primaryKey=True, default=AutoIncrement)
        rel_user_id = IntProperty()
        rel_role_id = IntProperty()
        user = ForeignKey.oneToOne(RelUser, bindCol="rel_user_id")
        role = ForeignKey.oneToOne(RelRole, bindCol="rel_role_id")

    class LibProfile(Korvid):
        tableName = "lib_profile"
        id = IntProperty(primaryKey=True, default=AutoIncrement)
        author_id = IntProperty()
        bio = TextProperty(nullable=True)

    class LibTag(Korvid):
        tableName = "lib_tag"
        id = IntProperty(primaryKey=True, default=AutoIncrement)
        name = StrProperty(50)

    class LibBook(Korvid):
        tableName = "lib_book"
        id = IntProperty(primaryKey=True, default=AutoIncrement)
        author_id = IntProperty()
        title = StrProperty(200)
        year = IntProperty()
        tags = ForeignKey.manyToMany(LibTag, middleModel="LibBookTag")

    class LibAuthor(Korvid):
        tableName = "lib_author"
        id = IntProperty(primaryKey=True, default=AutoIncrement)
        name = StrProperty(64)
        profile = ForeignKey.oneToOne(LibProfile, targetBindCol=LibProfile.author_id)
        books = ForeignKey.oneToMany(LibBook, targetBindCol=LibBook.author_id)

    class LibBookTag(MiddleKorvid):
        tableName = "lib_book_tag"
        id = IntProperty(primaryKey=True, default=AutoIncrement)
        lib_book_id = IntProperty()
        lib_tag_id = IntProperty()

    class M:
        pass

    for c in (BenchItem, RelProfile, RelPost, RelRole, RelUser, RelUserRole, LibProfile, LibTag, LibBook, LibAuthor,
              LibBookTag):
        setattr(M, c.__name__, c)
    _models = M
    return M


_installed = [None]


def install(connector):
    """Makes `connector` the database handle's connector (the handle is one
    per process, so runners of different databases take turns)."""
    from Tavrik.DB.DB import DB

    if _installed[0] is connector:
        return
    DB.drop()
    DB.create(connector)
    _installed[0] = connector


def uninstall():
    from Tavrik.DB.DB import DB

    DB.drop()
    _installed[0] = None


def sync_connector(path):
    from Tavrik.DB.Connector import Sqlite3Connector

    return Sqlite3Connector(path, showLog=False)


def _runner(connector, run, check, before=None, units=None, note=""):
    def before_all():
        install(connector)
        if before:
            before()

    def close():
        if _installed[0] is connector:
            uninstall()
        connector.close()

    return Runner(run, check, before_all, close, units=units, note=note)


def new_item(M, row):
    return M.BenchItem(name=row[0], qty=row[1], price=row[2], flag=row[3], note=row[4])


# ------------------------------------------------------------------- sync

def fetch_all(ctx):
    M = models()
    con = sync_connector(ctx.read_db)

    def run():
        return M.BenchItem.getExecutor().findAllBy()

    def check(rows):
        check_all_items(rows, ctx.items)
        expect(type(rows[0]).__name__ != "dict", "rows are plain dicts, not model instances")

    return _runner(con, run, check, units=len(ctx.items))


def lookups(ctx):
    M = models()
    con = sync_connector(ctx.read_db)
    keys = ctx.keys
    Item = M.BenchItem
    pk = Item.id

    def run():
        ex = Item.getExecutor()
        return [ex.findOneBy(pk == k) for k in keys]

    return _runner(con, run, lambda res: raw.check_lookups(res, ctx), units=len(keys))


def _saves(ctx, memory):
    M = models()
    path = ":memory:" if memory else ctx.new_file("tavrik_saves")
    con = sync_connector(path)
    if memory:
        con.getCon().execute(SQLITE_DDL[0])
    data = ctx.items[:ctx.sizes.saves]

    def before():
        if memory:
            c = con.getCon()
            c.execute("DELETE FROM bench_item")
            c.commit()
        else:
            clear_items(path)

    def run():
        ex = M.BenchItem.getExecutor()
        last = None
        for row in data:
            last = ex.save(new_item(M, row))
        return last

    def check(last):
        expect(last is not None and last["id"] == len(data), "last saved row has id %r, expected %d"
               % (None if last is None else last.get("id"), len(data)))
        check_saved(con.getCon() if memory else path, data)

    return _runner(con, run, check, before, units=len(data))


def saves_file(ctx):
    return _saves(ctx, False)


def saves_memory(ctx):
    return _saves(ctx, True)


def _rewrites(ctx, method):
    from common import check_rewritten, reload_items, rewrite_keys, rewritten

    M = models()
    con = sync_connector(":memory:")
    con.getCon().execute(SQLITE_DDL[0])
    data = ctx.items[:ctx.sizes.saves]
    keys = rewrite_keys(len(data))
    Item = M.BenchItem
    pk = Item.id

    def run():
        ex = Item.getExecutor()
        write = getattr(ex, method)
        for k in keys:
            row = ex.findOneBy(pk == k)
            row["qty"], row["note"] = rewritten(row)
            write(row)
        return len(keys)

    return _runner(con, run, lambda n: check_rewritten(con.getCon(), data), lambda: reload_items(con.getCon(), data),
                   units=len(keys))


def resaves(ctx):
    """save() of rows whose key is stored: the insertion falls back to an update."""
    return _rewrites(ctx, "save")


def updates(ctx):
    return _rewrites(ctx, "update")


def _batch(ctx, prebuilt):
    M = models()
    path = ctx.new_file("tavrik_batch_pre" if prebuilt else "tavrik_batch")
    con = sync_connector(path)
    data = ctx.items[:ctx.sizes.batch]
    box = {}

    def before():
        clear_items(path)
        if prebuilt:
            box["rows"] = [new_item(M, r) for r in data]

    def run():
        ex = M.BenchItem.getExecutor()
        rows = box.pop("rows") if prebuilt else [new_item(M, r) for r in data]
        ex.saveAll(rows)
        return len(rows)

    return _runner(con, run, lambda n: check_saved(path, data), before, units=len(data),
                   note="instances built beforehand" if prebuilt else "")


def batch_insert(ctx):
    return _batch(ctx, False)


def batch_insert_prebuilt(ctx):
    return _batch(ctx, True)


def _page(M, s):
    from Tavrik.Ext.Olvane import Olvane

    return (Olvane(M.BenchItem, page=s.page, pageSize=s.page_size)
            .filter(M.BenchItem.qty >= MIN_QTY).orderBy(M.BenchItem.id))


def check_page(page, ctx):
    s = ctx.sizes
    total = ctx.page_expect[0]
    expect(page["page"] == s.page and page["pageSize"] == s.page_size, "page numbers wrong")
    expect(page["totalPage"] == total // s.page_size + (1 if total % s.page_size else 0), "totalPage wrong")
    raw.check_page(page, ctx)


def paging(ctx):
    M = models()
    con = sync_connector(ctx.read_db)
    s = ctx.sizes

    def run():
        page = None
        for _ in range(s.page_calls):
            page = _page(M, s).execute()
        return page

    return _runner(con, run, lambda p: check_page(p, ctx), units=s.page_calls)


def relations(ctx):
    M = models()
    con = sync_connector(ctx.read_db)

    def run():
        users = M.RelUser.getExecutor().findAllBy()
        M.RelUser.getExecutor().findListForeignKey(users)
        return users

    return _runner(con, run, lambda users: raw.check_relations(users, ctx), units=ctx.sizes.owners)


def library(ctx, depth):
    M = models()
    con = sync_connector(ctx.read_db)

    def run():
        ex = M.LibAuthor.getExecutor()
        return ex.prefetch(ex.findAllBy(), level=depth)

    return _runner(con, run, lambda authors: raw.check_library(authors, ctx, depth), units=ctx.sizes.authors)


def library_per_owner(ctx, depth):
    M = models()
    con = sync_connector(ctx.read_db)

    def run():
        ex = M.LibAuthor.getExecutor()
        authors = ex.findAllBy()
        ex.findListForeignKey(authors, level=depth)
        return authors

    return _runner(con, run, lambda authors: raw.check_library(authors, ctx, depth), units=ctx.sizes.authors)


# ------------------------------------------------------------------ async

async def drain():
    """Waits until every other task is done."""
    me = asyncio.current_task()
    for _ in range(3):
        await asyncio.sleep(0)
    while True:
        others = [t for t in asyncio.all_tasks() if t is not me and not t.done()]
        if not others:
            return
        await asyncio.gather(*others, return_exceptions=True)


async def committed(connector, coro_fn):
    """The work in one transaction() block, committed when the block ends
    (the per-task commit would only follow the task's end)."""
    async with connector.transaction():
        return await coro_fn()


async def in_task(coro_fn, *args):
    """Runs the work as one task and returns when every other task is done
    (Tavrik's runners commit inside the task, see committed())."""
    res = await asyncio.get_running_loop().create_task(coro_fn(*args))
    await drain()
    return res


async def a_fetch_all(ctx):
    M = models()
    return await M.BenchItem.getExecutor().findAllBy()


async def a_lookups(ctx):
    M = models()
    ex = M.BenchItem.getExecutor()
    pk = M.BenchItem.id
    out = []
    for k in ctx.keys:
        out.append(await ex.findOneBy(pk == k))
    return out


async def a_saves(ctx, data):
    M = models()
    ex = M.BenchItem.getExecutor()
    last = None
    for row in data:
        last = await ex.save(new_item(M, row))
    return last


async def a_batch(data):
    M = models()
    rows = [new_item(M, r) for r in data]
    n = await M.BenchItem.getExecutor().saveAll(rows)
    expect(all(r["id"] for r in rows), "saveAll left rows without their keys")
    return n


async def a_writers(connector, data, latencies):
    """raw.a_writers through Tavrik: each request a task whose write is one
    transaction() block, committed before the task answers."""
    import time

    M = models()

    async def one(row):
        t0 = time.perf_counter()
        async with connector.transaction() as con:
            saved = await M.BenchItem.getExecutor(con).save(new_item(M, row))
        latencies.append(time.perf_counter() - t0)
        return saved

    loop = asyncio.get_running_loop()
    return await asyncio.gather(*(loop.create_task(one(row)) for row in data))


async def a_paging(ctx):
    M = models()
    page = None
    for _ in range(ctx.sizes.page_calls):
        page = await _page(M, ctx.sizes).execute()
    return page


# ------------------------------------------------------------- PostgreSQL

_pg_models = []


def pg_models():
    """bench_item's layout under the two tables the PostgreSQL writes go to."""
    if _pg_models:
        return _pg_models[0]
    from Tavrik.Model.Korvid import Korvid
    from Tavrik.Model.ModelProperty import AutoIncrement, BoolProperty, FloatProperty, IntProperty, StrProperty, TextProperty

    def item(cls_name, table):
        return type(cls_name, (Korvid,), dict(
            tableName=table, id=IntProperty(primaryKey=True, default=AutoIncrement), name=StrProperty(32, default=""),
            qty=IntProperty(default=0), price=FloatProperty(default=0.0), flag=BoolProperty(default=False),
            note=TextProperty(nullable=True)))

    class P:
        New = item("PgBenchNew", "bench_new")
        Edit = item("PgBenchEdit", "bench_edit")

    _pg_models.append(P)
    return P


def pg_connector(kind, *args, **kw):
    """Tavrik's PostgreSQL connector of that name, or Skip when this build
    has none."""
    try:
        import Tavrik.DB.Connector as C

        cls = getattr(C, kind)
    except (ImportError, AttributeError):
        raise Skip("%s not available in this build" % kind)
    return cls(*args, **kw)


def p_new(P, row):
    return P.New(name=row[0], qty=row[1], price=row[2], flag=row[3], note=row[4])


def p_fetch_wide():
    import wide

    return wide.model().getExecutor().findAllBy()


def p_lookups(keys):
    M = models()
    ex = M.BenchItem.getExecutor()
    pk = M.BenchItem.id
    return [ex.findOneBy(pk == k) for k in keys]


def p_saves(data):
    P = pg_models()
    ex = P.New.getExecutor()
    last = None
    for row in data:
        last = ex.save(p_new(P, row))
    return last


def p_updates(keys):
    from common import rewritten

    P = pg_models()
    ex = P.Edit.getExecutor()
    pk = P.Edit.id
    for k in keys:
        row = ex.findOneBy(pk == k)
        row["qty"], row["note"] = rewritten(row)
        ex.update(row)
    return len(keys)


def p_batch(data):
    P = pg_models()
    rows = [p_new(P, r) for r in data]
    P.New.getExecutor().saveAll(rows)
    return len(rows)


def p_paging(s):
    M = models()
    page = None
    for _ in range(s.page_calls):
        page = _page(M, s).execute()
    return page


def p_library(depth):
    ex = models().LibAuthor.getExecutor()
    return ex.prefetch(ex.findAllBy(), level=depth)


async def pa_fetch_wide():
    import wide

    return await wide.model().getExecutor().findAllBy()


async def pa_lookups(keys):
    M = models()
    ex = M.BenchItem.getExecutor()
    pk = M.BenchItem.id
    out = []
    for k in keys:
        out.append(await ex.findOneBy(pk == k))
    return out


async def pa_saves(data):
    P = pg_models()
    ex = P.New.getExecutor()
    last = None
    for row in data:
        last = await ex.save(p_new(P, row))
    return last


async def pa_updates(keys):
    from common import rewritten

    P = pg_models()
    ex = P.Edit.getExecutor()
    pk = P.Edit.id
    for k in keys:
        row = await ex.findOneBy(pk == k)
        row["qty"], row["note"] = rewritten(row)
        await ex.update(row)
    return len(keys)


async def pa_batch(data):
    P = pg_models()
    rows = [p_new(P, r) for r in data]
    await P.New.getExecutor().saveAll(rows)
    return len(rows)


async def pa_paging(s):
    M = models()
    page = None
    for _ in range(s.page_calls):
        page = await _page(M, s).execute()
    return page


async def pa_library(depth):
    ex = models().LibAuthor.getExecutor()
    return await ex.prefetch(await ex.findAllBy(), level=depth)
