"""The query calls an application writes beyond plain finds, on sync SQLite:
grouped aggregates, keyset-paged streaming, updates and deletes by condition
(the new values as expressions over columns), hand-written SQL read as model
rows, and a condition across a relation (EXISTS).  Each baseline is what the
same program does with sqlite3 alone, with the statement text Tavrik's
generator writes (traced through the "Tavrik.DB" log at DEBUG), so both sides
give SQLite the same work and the difference is the per-call and per-row
cost around it."""
import raw as rawmod
from common import SQLITE_DDL, Runner, check_all_items, expect, reload_items

BATCH = 1000  # iterate()'s page
MAX_QTY = 500  # the condition of the updates and deletes: qty < MAX_QTY
POINT_UPDATES = 10_000  # single-row decrements, one statement each
FILTER_CALLS = 100  # relation-filter queries per run
POST_PREFIX = "post 1"  # the posts the relation filter asks for

_COLS = ", ".join("`bench_item`.`%s`" % c for c in ("id", "name", "qty", "price", "flag", "note"))
AGGREGATE = ("SELECT `bench_item`.`flag` AS `flag`, `bench_item`.`qty` AS `qty`, SUM(`bench_item`.`price`) AS "
             "`total`, AVG(`bench_item`.`price`) AS `mean`, COUNT(`bench_item`.`id`) AS `n` FROM `bench_item` "
             "GROUP BY `bench_item`.`flag`, `bench_item`.`qty` ORDER BY `bench_item`.`flag`, `bench_item`.`qty`")
PAGE_FIRST = "SELECT %s FROM `bench_item` ORDER BY `bench_item`.`id` ASC LIMIT ? OFFSET 0" % _COLS
PAGE_NEXT = ("SELECT %s FROM `bench_item` WHERE `bench_item`.`id` > ? ORDER BY `bench_item`.`id` ASC "
             "LIMIT ? OFFSET 0" % _COLS)
UPDATE_WHERE = "UPDATE `bench_item` SET `qty` = `bench_item`.`qty` - 1 WHERE `bench_item`.`qty` < ?"
UPDATE_ONE = "UPDATE `bench_item` SET `qty` = `bench_item`.`qty` - 1 WHERE `bench_item`.`id` = ?"
DELETE_WHERE = "DELETE FROM `bench_item` WHERE `bench_item`.`qty` < ?"
HAND_SQL = "SELECT id, name, qty, price, flag, note FROM bench_item WHERE id > %s"
USERS_WITH_POSTS = ("SELECT `rel_user`.`id`, `rel_user`.`name` FROM `rel_user` WHERE EXISTS (SELECT 1 FROM "
                    "`rel_post` AS `tavrik_r1` WHERE `tavrik_r1`.`user_id` = `rel_user`.`id` AND "
                    "`tavrik_r1`.`title` LIKE ?)")


def _models():
    import tavrik_impl as t

    return t.models()


def _tavrik(connector, run, check, before=None, units=None):
    import tavrik_impl as t

    return t._runner(connector, run, check, before, units=units)


def _connector(path):
    import tavrik_impl as t

    return t.sync_connector(path)


# ----------------------------------------------------------- aggregates

def _want_groups(items):
    groups = {}
    for _name, qty, price, flag, _note in items:
        g = groups.setdefault((flag, qty), [0.0, 0])
        g[0] += price
        g[1] += 1
    return {k: (v[0], v[1]) for k, v in groups.items()}


def _check_groups(items):
    want = _want_groups(items)

    def check(rows):
        expect(len(rows) == len(want), "expected %d groups, got %d" % (len(want), len(rows)))
        keys = [(r["flag"], r["qty"]) for r in rows]
        expect(keys == sorted(want), "groups out of order or wrong")
        for r in rows:
            total, n = want[(r["flag"], r["qty"])]
            expect(type(r["flag"]) is bool, "flag is %s, not bool" % type(r["flag"]).__name__)
            expect(r["n"] == n and type(r["n"]) is int, "count of group %r" % ((r["flag"], r["qty"]),))
            expect(abs(r["total"] - total) < 1e-6 * max(1.0, total), "sum of group %r" % ((r["flag"], r["qty"]),))
            expect(abs(r["mean"] - total / n) < 1e-6 * max(1.0, total), "avg of group %r" % ((r["flag"], r["qty"]),))
        return rows

    return check


def raw_aggregate(ctx):
    con = rawmod.connect(ctx.read_db)

    def run():
        rows = con.execute(AGGREGATE).fetchall()
        con.commit()
        return [dict(flag=bool(f), qty=q, total=t, mean=m, n=n) for f, q, t, m, n in rows]

    return Runner(run, _check_groups(ctx.items), close=con.close, units=len(ctx.items))


def tavrik_aggregate(ctx):
    Item = _models().BenchItem

    def run():
        return Item.getExecutor().aggregate(groupBy=[Item.flag, Item.qty], orderBy=[Item.flag, Item.qty], total=Item.price.sum(),
                                         mean=Item.price.avg(), n=Item.id.count())

    return _tavrik(_connector(ctx.read_db), run, _check_groups(ctx.items), units=len(ctx.items))


# -------------------------------------------------------------- iterate

def raw_iterate(ctx):
    con = rawmod.connect(ctx.read_db)

    def run():
        out = []
        cur = con.execute(PAGE_FIRST, (BATCH,))
        while True:
            page = rawmod.as_dicts(cur)
            out += page
            if len(page) < BATCH:
                break
            cur = con.execute(PAGE_NEXT, (page[-1]["id"], BATCH))
        con.commit()
        return out

    return Runner(run, lambda rows: check_all_items(rows, ctx.items), close=con.close, units=len(ctx.items))


def tavrik_iterate(ctx):
    Item = _models().BenchItem

    def run():
        return list(Item.getExecutor().iterate(batchSize=BATCH))

    return _tavrik(_connector(ctx.read_db), run, lambda rows: check_all_items(rows, ctx.items, strict_bool=True),
                   units=len(ctx.items))


# ------------------------------------------------- updates and deletes

def _table(ctx, which):
    """A private :memory: table per implementation, refilled before each run
    (outside the time), so every run changes the same rows."""
    items = ctx.items
    if which == "raw":
        con = rawmod.connect(":memory:")
        con.execute(SQLITE_DDL[0])
        return con, con, items
    connector = _connector(":memory:")
    con = connector.getCon()
    con.execute(SQLITE_DDL[0])
    return connector, con, items


def _check_table(con, want_rows, want_count):
    def check(n):
        expect(n == want_count, "the statement reported %r rows, expected %d" % (n, want_count))
        got = con.execute("SELECT id, name, qty, price, flag, note FROM bench_item ORDER BY id").fetchall()
        expect(got == want_rows, "the table after the statement differs from the expected one")

    return check


def _rows(items):
    return [(i, r[0], r[1], r[2], int(r[3]), r[4]) for i, r in enumerate(items, 1)]


def _after_update(items):
    return [(i, n, q - 1 if q < MAX_QTY else q, p, f, t) for i, n, q, p, f, t in _rows(items)]


def _point_keys(items):
    n = min(POINT_UPDATES, len(items))
    return list(range(1, len(items) + 1, max(1, len(items) // n)))[:n]


def _after_points(items):
    keys = set(_point_keys(items))
    return [(i, n, q - 1 if i in keys else q, p, f, t) for i, n, q, p, f, t in _rows(items)]


def _write_runner(ctx, which, run_raw, run_tavrik, want_rows, want_count, units):
    owner, con, items = _table(ctx, which)
    check = _check_table(con, want_rows, want_count)
    if which == "raw":
        return Runner(lambda: run_raw(con), check, lambda: reload_items(con, items), con.close, units=units)
    return _tavrik(owner, run_tavrik, check, lambda: reload_items(con, items), units=units)


def update_where(which):
    def make(ctx):
        Item = _models().BenchItem
        n = sum(r[1] < MAX_QTY for r in ctx.items)

        def run_raw(con):
            n = con.execute(UPDATE_WHERE, (MAX_QTY,)).rowcount
            con.commit()
            return n

        def run_tavrik():
            return Item.getExecutor().updateWhere(Item.qty < MAX_QTY, {Item.qty: Item.qty - 1})

        return _write_runner(ctx, which, run_raw, run_tavrik, _after_update(ctx.items), n, n)

    return make


def update_points(which):
    def make(ctx):
        Item = _models().BenchItem
        keys = _point_keys(ctx.items)

        def run_raw(con):
            n = 0
            for k in keys:
                n += con.execute(UPDATE_ONE, (k,)).rowcount
                con.commit()
            return n

        def run_tavrik():
            ex, pk, qty = Item.getExecutor(), Item.id, Item.qty
            n = 0
            for k in keys:
                n += ex.updateWhere(pk == k, {qty: qty - 1})
            return n

        return _write_runner(ctx, which, run_raw, run_tavrik, _after_points(ctx.items), len(keys), len(keys))

    return make


def delete_where(which):
    def make(ctx):
        Item = _models().BenchItem
        kept = [r for r in _rows(ctx.items) if r[2] >= MAX_QTY]
        n = len(ctx.items) - len(kept)

        def run_raw(con):
            n = con.execute(DELETE_WHERE, (MAX_QTY,)).rowcount
            con.commit()
            return n

        def run_tavrik():
            return Item.getExecutor().deleteWhere(Item.qty < MAX_QTY)

        return _write_runner(ctx, which, run_raw, run_tavrik, kept, n, n)

    return make


# ------------------------------------------------------------------ raw()

def raw_sql(ctx):
    con = rawmod.connect(ctx.read_db)
    text = HAND_SQL.replace("%s", "?")

    def run():
        rows = rawmod.as_dicts(con.execute(text, (0,)))
        con.commit()
        return rows

    return Runner(run, lambda rows: check_all_items(rows, ctx.items), close=con.close, units=len(ctx.items))


def tavrik_raw_sql(ctx):
    Item = _models().BenchItem

    def run():
        return Item.getExecutor().raw(HAND_SQL, (0,))

    def check(rows):
        check_all_items(rows, ctx.items, strict_bool=True)
        expect(type(rows[0]).__name__ != "dict", "rows are plain dicts, not model rows")

    return _tavrik(_connector(ctx.read_db), run, check, units=len(ctx.items))


# -------------------------------------------------------- relation filter

def _want_users(ctx):
    users = sorted({u for u, title in ctx.rel["posts"] if title.startswith(POST_PREFIX)})
    return [(u, ctx.rel["users"][u - 1][0]) for u in users]


def _check_users(ctx):
    want = _want_users(ctx)

    def check(answers):
        expect(len(answers) == FILTER_CALLS, "expected %d answers, got %d" % (FILTER_CALLS, len(answers)))
        for rows in answers:
            got = sorted((r["id"], r["name"]) for r in rows)
            expect(got == want, "the users with a matching post differ (%d, expected %d)" % (len(got), len(want)))

    return check


def raw_relation_filter(ctx):
    con = rawmod.connect(ctx.read_db)
    pattern = POST_PREFIX + "%"

    def run():
        out = []
        for _ in range(FILTER_CALLS):
            out.append(rawmod.as_dicts(con.execute(USERS_WITH_POSTS, (pattern,))))
            con.commit()
        return out

    return Runner(run, _check_users(ctx), close=con.close, units=FILTER_CALLS)


def tavrik_relation_filter(ctx):
    M = _models()
    U, P = M.RelUser, M.RelPost
    pattern = POST_PREFIX + "%"

    def run():
        ex = U.getExecutor()
        return [ex.findAllBy(U.posts.any(P.title.like(pattern))) for _ in range(FILTER_CALLS)]

    return _tavrik(_connector(ctx.read_db), run, _check_users(ctx), units=FILTER_CALLS)


def scenarios(s):
    """The scenarios 14a-14g for run.py's sync SQLite plan."""
    rows = "%d rows" % s.rows
    return [
        dict(id="14a", title="Grouped aggregate (aggregate)",
             size="%s -> sum/avg/count per (flag, qty)" % rows, unit="row", goal=1.2,
             impls=[("raw", raw_aggregate), ("Tavrik", tavrik_aggregate)]),
        dict(id="14b", title="Streamed rows (iterate)", size="%s, pages of %d" % (rows, BATCH), unit="row",
             goal=1.2, impls=[("raw", raw_iterate), ("Tavrik", tavrik_iterate)]),
        dict(id="14c", title="updateWhere, expression, :memory:", size="%s, qty = qty - 1 where qty < %d"
             % (rows, MAX_QTY), unit="row", goal=1.2,
             impls=[("raw", update_where("raw")), ("Tavrik", update_where("Tavrik"))]),
        dict(id="14d", title="updateWhere by key, :memory:", size="%d calls, qty = qty - 1, commit each"
             % min(POINT_UPDATES, s.rows), unit="call", goal=1.5,
             impls=[("raw", update_points("raw")), ("Tavrik", update_points("Tavrik"))]),
        dict(id="14e", title="deleteWhere, :memory:", size="%s, where qty < %d" % (rows, MAX_QTY), unit="row",
             goal=1.2, impls=[("raw", delete_where("raw")), ("Tavrik", delete_where("Tavrik"))]),
        dict(id="14f", title="Hand-written SQL to model rows (raw)", size=rows, unit="row", goal=1.2,
             impls=[("raw", raw_sql), ("Tavrik", tavrik_raw_sql)]),
        dict(id="14g", title="Relation filter (findAllBy posts.any)", size="%d owners x %d posts, %d calls"
             % (s.owners, s.posts_per, FILTER_CALLS), unit="call", goal=1.2,
             impls=[("raw", raw_relation_filter), ("Tavrik", tavrik_relation_filter)]),
    ]

