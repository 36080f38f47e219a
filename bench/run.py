"""Tavrik benchmarks: Tavrik against the raw drivers doing the same work in the
same run, and against other ORMs when they are installed.

    python bench/run.py                 # full sizes, several runs, median
    python bench/run.py --quick         # tiny sizes, one run (the smoke test)
    python bench/run.py --only 1,2,7    # some scenarios
    python bench/run.py --rows 20000 --runs 3 --out /tmp/res

Writes results.md, results.json and (when matplotlib is there) results.png
into bench/results/ (or --out).  MySQL scenarios run when TAVRIK_MYSQL_HOST
etc. are set; without them a full run starts a private server through
tools/mysql_server.sh when it can (--mysql off skips MySQL).  PostgreSQL's
(10a-10g on asyncpg, 11a-11g on psycopg) likewise with TAVRIK_PG_HOST etc.
and tools/pg_server.sh (--pg off skips PostgreSQL).
"""
import argparse
import asyncio
import gc
import json
import os
import random
import shutil
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)

import common  # noqa: E402
from common import CheckFailed, Runner, Sizes, Skip, check_all_items, check_saved, clear_items, expect  # noqa: E402
import queries  # noqa: E402
import raw  # noqa: E402
import rebuild  # noqa: E402
import rowjson  # noqa: E402
import wide  # noqa: E402

IMPL_ORDER = ["raw", "Tavrik", "Tavrik save()", "Tavrik update()", "Tavrik (prebuilt rows)",
              "Tavrik (findListForeignKey)", "peewee", "SQLAlchemy",
              "Pony", "Tortoise", "SQLAlchemy async", "orjson"]
SYNC_OTHERS = ["peewee", "SQLAlchemy", "Pony"]
ASYNC_OTHERS = ["Tortoise", "SQLAlchemy async"]


class Ctx:
    def __init__(self, sizes, tmp, loop):
        self.sizes = sizes
        self.tmp = tmp
        self.loop = loop
        self.items = common.make_items(sizes.rows)
        rnd = random.Random(1)
        self.keys = [rnd.randint(1, sizes.rows) for _ in range(sizes.lookups)]
        self.page_expect = common.paging_expectation(self.items, sizes.page, sizes.page_size, raw.MIN_QTY)
        self.rel = common.make_relations(sizes.owners, sizes.posts_per, sizes.roles_per, sizes.roles)
        self.lib = common.make_library(sizes.authors, sizes.books_per, sizes.tags_per, sizes.tags)
        self.read_db = os.path.join(tmp, "read.db")
        common.build_sqlite_file(self.read_db, self.items, self.rel, self.lib)
        self._n = 0

    def new_file(self, name):
        """A fresh SQLite file holding the (empty) tables."""
        self._n += 1
        path = os.path.join(self.tmp, "%s_%d.db" % (name, self._n))
        common.build_sqlite_file(path)
        return path

    def derived(self, **kw):
        c = object.__new__(Ctx)
        c.__dict__.update(self.__dict__)
        c.__dict__.update(kw)
        return c


# ===================================================================== timing

def median_time(runner, runs, warm=True):
    """Warm-up (unless told otherwise), then `runs` timed runs; every result is
    checked.  Returns the list of times."""
    times = []
    total = runs + (1 if warm else 0)
    for i in range(total):
        runner.before()
        gc.collect()
        t0 = time.perf_counter()
        res = runner.run()
        t = time.perf_counter() - t0
        runner.check(res)
        del res
        if warm and i == 0:
            continue
        times.append(t)
    return times


def measure_scenario(sc, ctx, args):
    """Builds each implementation's runner, runs them interleaved (run i of
    every implementation before run i+1 of any) and collects medians."""
    results = {}
    runners = []
    for name, factory in sc["impls"]:
        if name in SYNC_OTHERS + ASYNC_OTHERS and args.no_others:
            results[name] = dict(skipped="other ORMs switched off (--no-others)")
            continue
        if name.startswith("Tavrik") and args.no_tavrik:
            results[name] = dict(skipped="Tavrik switched off (--no-tavrik)")
            continue
        try:
            r = factory(ctx)
        except Skip as e:
            results[name] = dict(skipped=str(e))
            continue
        except Exception as e:
            results[name] = dict(error=_err(e))
            if args.verbose:
                traceback.print_exc()
            continue
        runners.append((name, r))
    runs = sc.get("runs") or ctx.sizes.runs
    warm = sc.get("warm", True)
    times = {name: [] for name, _ in runners}
    failed = set()
    # Warm-up round, then the timed rounds, each implementation in turn.
    rounds = runs + (1 if warm else 0)
    for rnd in range(rounds):
        order = runners[rnd % len(runners):] + runners[:rnd % len(runners)] if runners else []
        for name, r in order:
            if name in failed:
                continue
            try:
                t = median_time(r, 1, warm=False)[0]
            except Exception as e:
                failed.add(name)
                results[name] = dict(error=_err(e))
                if args.verbose:
                    traceback.print_exc()
                continue
            if not (warm and rnd == 0):
                times[name].append(t)
            elif getattr(r, "samples", None) is not None:
                del r.samples[:]  # the warm-up's latencies are not reported
    for name, r in runners:
        try:
            r.close()
        except Exception:
            pass
        if name in failed:
            continue
        med = statistics.median(times[name])
        units = r.units or 1
        results[name] = dict(median_s=med, times=times[name], per_unit_us=med / units * 1e6, note=r.note)
        if getattr(r, "samples", None):
            lat = latency_note(r.samples)
            results[name]["latency_ms"] = lat
            results[name]["note"] = "%s latency p50 %.1f ms, p99 %.1f ms, max %.1f ms" % (
                sc["id"], lat["p50"], lat["p99"], lat["max"])
    base = results.get("raw", {}).get("median_s")
    for name, res in results.items():
        if base and "median_s" in res:
            res["ratio"] = res["median_s"] / base
    return results


def _err(e):
    kind = "check failed" if isinstance(e, CheckFailed) else type(e).__name__
    return "%s: %s" % (kind, str(e)[:300])


# ================================================================ scenarios

def sync_scenarios(sizes):
    import others_sync as o
    import tavrik_impl as t

    def impls(key, others=("peewee", "SQLAlchemy", "Pony"), extra=()):
        out = [("raw", getattr(raw, key)), ("Tavrik", getattr(t, key))]
        out += list(extra)
        mods = {"peewee": "peewee_", "SQLAlchemy": "sqlalchemy_", "Pony": "pony_"}
        for name in others:
            fn = getattr(o, mods[name] + key, None)
            if fn is not None:
                out.append((name, fn))
        return out

    s = sizes
    return [
        dict(id="1", title="Fetch all (findAllBy)", size="%d rows x 6 cols" % s.rows, unit="row",
             goal=1.2, impls=impls("fetch_all")),
        dict(id="2", title="Point lookups (findOneBy pk)", size="%d lookups in %d rows" % (s.lookups, s.rows),
             unit="lookup", goal=1.3, impls=impls("lookups")),
        dict(id="3m", title="Single-row saves, :memory:", size="%d saves" % s.saves, unit="save", goal=1.6,
             impls=impls("saves_memory")),
        dict(id="3f", title="Single-row saves, file", size="%d saves, commit each" % s.saves, unit="save",
             goal=1.15, impls=impls("saves_file"), runs=s.save_runs, warm=False),
        dict(id="3e", title="save() of stored rows, :memory:", size="%d rows: fetch, change 2, save" % s.saves,
             unit="row", goal=2.0, impls=[("raw", raw.rewrites), ("Tavrik", t.resaves)]),
        dict(id="3u", title="update() of rows, :memory:", size="%d rows: fetch, change 2, update" % s.saves,
             unit="row", goal=1.5, impls=[("raw", raw.rewrites), ("Tavrik", t.updates)]),
        dict(id="3w", title="Wide row written back, :memory:",
             size="%d rows x 14 cols: fetch, change 2, write" % s.saves, unit="row", goal=1.3,
             impls=[("raw", wide.raw), ("Tavrik", wide.tavrik("update", columns=["qty", "note"])),
                    ("Tavrik save()", wide.tavrik("save")), ("Tavrik update()", wide.tavrik("update"))]),
        # Ratios against json.dumps; "near": at most 1.5x the time of orjson.
        dict(id="12", title="Rows to JSON bytes (rows.json())", size="%d rows x 8 cols, %d times"
             % (min(s.rows, 1000), rowjson.REPEAT), unit="row", goal=0.33, near=("orjson", 1.5),
             impls=[("raw", rowjson.raw), ("Tavrik", rowjson.tavrik), ("orjson", rowjson.orjson_)]),
        dict(id="4", title="Batch insert (saveAll)", size="%d rows" % s.batch, unit="row", goal=1.3,
             impls=impls("batch_insert", extra=[("Tavrik (prebuilt rows)", t.batch_insert_prebuilt)])),
        dict(id="5", title="Paging (Olvane)", size="page %d x %d over %d rows, %d calls"
             % (s.page, s.page_size, s.rows, s.page_calls), unit="page", goal=1.3, impls=impls("paging")),
        dict(id="6", title="Relations (findListForeignKey)",
             size="%d owners: 1:1, %dx 1:N, %dx M:N" % (s.owners, s.posts_per, s.roles_per), unit="owner",
             goal=1.3, impls=impls("relations", others=("peewee", "SQLAlchemy"))),
        dict(id="13", title="Table rebuilt by a migration (type and NOT NULL)",
             size="%d rows, one index" % s.rebuild_rows, unit="row", goal=1.5,
             impls=[("raw", rebuild.raw), ("Tavrik", rebuild.tavrik)], runs=min(s.runs, 3), warm=False),
    ] + queries.scenarios(s) + [
        dict(id="9" + "ab"[depth - 1], title="Batched relations to depth %d (prefetch)" % depth,
             size="%d authors: 1:1, %dx 1:N%s" % (s.authors, s.books_per,
                                                  ", %dx M:N per book" % s.tags_per if depth > 1 else ""),
             unit="author", goal=1.3, others_faster=8,
             impls=[("raw", lambda ctx, d=depth: raw.library(ctx, d)), ("Tavrik", lambda ctx, d=depth: t.library(ctx, d)),
                    ("Tavrik (findListForeignKey)", lambda ctx, d=depth: t.library_per_owner(ctx, d)),
                    ("peewee", lambda ctx, d=depth: o.peewee_library(ctx, d)),
                    ("SQLAlchemy", lambda ctx, d=depth: o.sqlalchemy_library(ctx, d))])
        for depth in (1, 2)
    ]


# ----------------------------------------------------------------- async

def async_runner(ctx, coro_fn, check, before=None, close=None, units=None, note=""):
    import tavrik_impl as t

    def run():
        return ctx.loop.run_until_complete(t.in_task(coro_fn))

    return Runner(run, check, before, close, units=units, note=note)


# Scenario 7i: requests writing at the same moment (a service under load).
WRITERS = 50


def latency_note(samples):
    """p50/p99/max of a writers scenario's request latencies."""
    xs = sorted(samples)

    def at(q):
        return xs[min(len(xs) - 1, int(q * len(xs)))] * 1e3

    return dict(p50=at(0.5), p99=at(0.99), max=xs[-1] * 1e3)


def aiosqlite_scenarios(sizes):
    import tavrik_impl as t
    from others_async import SAAsyncImpl, TortoiseImpl

    s = sizes
    others = {}

    def other(name, cls):
        def get():
            if name not in others:
                others[name] = cls()
            return others[name]
        return get

    tortoise = other("Tortoise", TortoiseImpl)
    saasync = other("SQLAlchemy async", SAAsyncImpl)

    def tavrik_connector(ctx, path):
        from Tavrik.DB.Connector import AioSqliteConnector

        return AioSqliteConnector(ctx.loop, path=path, showLog=False)

    def tav(ctx, path, coro_fn, check, before=None, units=None):
        con = tavrik_connector(ctx, path)

        def before_all():
            t.install(con)
            if before:
                before()

        def close():
            if t._installed[0] is con:
                t.uninstall()
            res = con.close()
            if asyncio.iscoroutine(res):
                ctx.loop.run_until_complete(res)

        return async_runner(ctx, lambda: t.committed(con, coro_fn), check, before_all, close, units)

    def read_impls(raw_fn, tav_fn, method, check, units):
        def mk_raw(ctx):
            return async_runner(ctx, lambda: raw_fn(ctx), check(ctx), units=units)

        def mk_tav(ctx):
            return tav(ctx, ctx.read_db, lambda: tav_fn(ctx), check(ctx), units=units)

        def mk_other(get):
            def f(ctx):
                impl = get()
                return async_runner(ctx, lambda: getattr(impl, method)(ctx), check(ctx), units=units,
                                    close=lambda: ctx.loop.run_until_complete(impl.close()))
            return f

        return [("raw", mk_raw), ("Tavrik", mk_tav), ("Tortoise", mk_other(tortoise)),
                ("SQLAlchemy async", mk_other(saasync))]

    def saves_impls():
        def data(ctx):
            return ctx.items[:ctx.sizes.saves]

        def check(ctx, path):
            def c(last):
                last_id = last if isinstance(last, int) else (last or {}).get("id")
                expect(last_id == len(data(ctx)), "last saved id %r, expected %d" % (last_id, len(data(ctx))))
                check_saved(path, data(ctx))
            return c

        def mk_raw(ctx):
            path = ctx.new_file("araw_saves")
            return async_runner(ctx, lambda: raw.a_saves(ctx, path, data(ctx)), check(ctx, path),
                                lambda: clear_items(path), units=len(data(ctx)))

        def mk_tav(ctx):
            path = ctx.new_file("atav_saves")
            return tav(ctx, path, lambda: t.a_saves(ctx, data(ctx)), check(ctx, path), lambda: clear_items(path),
                       units=len(data(ctx)))

        def mk_other(get, name):
            def f(ctx):
                impl = get()
                path = ctx.new_file(name + "_saves")
                return async_runner(ctx, lambda: impl.saves(ctx, path, data(ctx)), check(ctx, path),
                                    lambda: clear_items(path), units=len(data(ctx)),
                                    close=lambda: ctx.loop.run_until_complete(impl.close()))
            return f

        return [("raw", mk_raw), ("Tavrik", mk_tav), ("Tortoise", mk_other(tortoise, "tortoise")),
                ("SQLAlchemy async", mk_other(saasync, "saasync"))]

    def writers_impls():
        # Latencies of one run's requests; the timed runs' are kept.
        def data(ctx):
            return ctx.items[:WRITERS]

        def check(path):
            def c(saved):
                expect(len(saved) == WRITERS, "%d writers answered, expected %d" % (len(saved), WRITERS))
                con = sqlite3.connect(path)
                try:
                    n = con.execute("SELECT count(*) FROM bench_item").fetchone()[0]
                finally:
                    con.close()
                expect(n == WRITERS, "expected %d saved rows, got %d" % (WRITERS, n))
            return c

        def mk_raw(ctx):
            path = ctx.new_file("araw_writers")
            samples = []
            r = async_runner(ctx, lambda: raw.a_writers(path, data(ctx), samples), check(path),
                             lambda: clear_items(path), units=WRITERS)
            r.samples = samples
            return r

        def mk_tav(ctx):
            path = ctx.new_file("atav_writers")
            con = tavrik_connector(ctx, path)
            samples = []

            def before():
                t.install(con)
                clear_items(path)

            def close():
                if t._installed[0] is con:
                    t.uninstall()
                ctx.loop.run_until_complete(con.close())

            r = async_runner(ctx, lambda: t.a_writers(con, data(ctx), samples), check(path), before, close,
                             units=WRITERS)
            r.samples = samples
            return r

        return [("raw", mk_raw), ("Tavrik", mk_tav)]

    def chk_all(ctx):
        return lambda rows: check_all_items(rows, ctx.items)

    def chk_lookups(ctx):
        return lambda res: raw.check_lookups(res, ctx)

    def chk_page(ctx):
        return lambda page: raw.check_page(page, ctx)

    return [
        dict(id="7a", title="Async fetch all, aiosqlite", size="%d rows" % s.rows, unit="row", goal=1.15,
             impls=read_impls(raw.a_fetch_all, t.a_fetch_all, "fetch_all", chk_all, s.rows)),
        dict(id="7b", title="Async point lookups, aiosqlite", size="%d lookups, one task" % s.lookups,
             unit="lookup", goal=1.15,
             impls=read_impls(raw.a_lookups, t.a_lookups, "lookups", chk_lookups, s.lookups)),
        dict(id="7c", title="Async saves, aiosqlite file", size="%d saves, one task" % s.saves, unit="save",
             goal=1.15, impls=saves_impls(), runs=s.save_runs),
        dict(id="7d", title="Async paging, aiosqlite", size="page %d x %d, %d calls"
             % (s.page, s.page_size, s.page_calls), unit="page", goal=1.15,
             impls=read_impls(raw.a_paging, t.a_paging, "paging", chk_page, s.page_calls)),
        dict(id="7i", title="Concurrent writers, aiosqlite file", size="%d tasks, one write each" % WRITERS,
             unit="write", goal=1.15, impls=writers_impls()),
    ]


# ----------------------------------------------------------------- MySQL

def mysql_settings():
    host = os.environ.get("TAVRIK_MYSQL_HOST")
    if not host:
        return None
    return dict(host=host, port=int(os.environ.get("TAVRIK_MYSQL_PORT", "3306")),
                user=os.environ["TAVRIK_MYSQL_USER"], password=os.environ.get("TAVRIK_MYSQL_PASSWORD", ""),
                db=os.environ["TAVRIK_MYSQL_DB"])


def start_private_mysql():
    """Starts a MariaDB of the benchmark's own (own data dir and port, so a
    test server is left alone).  Returns (settings, stop) or (None, reason)."""
    script = os.path.join(ROOT, "tools", "mysql_server.sh")
    env = dict(os.environ, TAVRIK_MYSQL_BASE=os.path.join(tempfile.gettempdir(), "tavrik-bench-mysql"),
               TAVRIK_MYSQL_PORT=os.environ.get("TAVRIK_BENCH_MYSQL_PORT", "33317"))
    try:
        out = subprocess.run(["sh", script, "start"], env=env, capture_output=True, text=True, timeout=900)
    except Exception as e:
        return None, "could not start a MySQL server: %s" % e
    if out.returncode != 0:
        return None, "could not start a MySQL server: " + (out.stderr.strip().splitlines() or ["?"])[-1]
    for line in out.stdout.splitlines():
        if line.startswith("export "):
            for kv in line[len("export "):].split():
                k, v = kv.split("=", 1)
                os.environ[k] = v

    def stop():
        subprocess.run(["sh", script, "stop"], env=env, capture_output=True, timeout=120)

    return mysql_settings(), stop


def _pymysql(settings):
    import pymysql

    kw = dict(settings)
    kw["database"] = kw.pop("db")
    return pymysql.connect(**kw)


def mysql_scenarios(sizes, settings):
    import tavrik_impl as t

    s = sizes

    def sub(ctx):
        """The MySQL runs use the first mysql_rows rows of the data set."""
        n = min(s.mysql_rows, s.rows)
        items = ctx.items[:n]
        rnd = random.Random(2)
        keys = [rnd.randint(1, n) for _ in range(s.mysql_lookups)]
        return ctx.derived(items=items, keys=keys,
                           page_expect=common.paging_expectation(items, s.page, s.page_size, raw.MIN_QTY))

    def load(ctx, items):
        con = _pymysql(settings)
        try:
            with con.cursor() as cur:
                for stmt in common.MYSQL_DDL:
                    cur.execute(stmt)
                cur.executemany(raw.M_INSERT, [raw.item_params(r) for r in items])
            con.commit()
        finally:
            con.close()

    def truncate():
        con = _pymysql(settings)
        try:
            with con.cursor() as cur:
                cur.execute("TRUNCATE TABLE bench_item")
            con.commit()
        finally:
            con.close()

    def read_back():
        con = _pymysql(settings)
        try:
            with con.cursor() as cur:
                cur.execute("SELECT name, qty, price, flag, note FROM bench_item ORDER BY id")
                return [tuple(r) for r in cur.fetchall()]
        finally:
            con.close()

    pools = {}

    def pool(ctx):
        import aiomysql

        if "p" not in pools:
            pools["p"] = ctx.loop.run_until_complete(aiomysql.create_pool(autocommit=False, **settings))
        return pools["p"]

    def close_pool(ctx):
        p = pools.pop("p", None)
        if p is not None:
            p.close()
            ctx.loop.run_until_complete(p.wait_closed())

    def tav(ctx, coro_fn, check, before=None, units=None):
        from Tavrik.DB.Connector import AioMysqlConnector

        con = AioMysqlConnector(ctx.loop, autocommit=False, **settings)

        async def ready():
            for _ in range(500):
                if con.isReady:
                    return
                await asyncio.sleep(0.01)
            raise RuntimeError("AioMysqlConnector did not get ready")

        ctx.loop.run_until_complete(ready())

        def before_all():
            t.install(con)
            if before:
                before()

        def close():
            if t._installed[0] is con:
                t.uninstall()
            res = con.close()
            if asyncio.iscoroutine(res):
                ctx.loop.run_until_complete(res)

        return async_runner(ctx, lambda: t.committed(con, coro_fn), check, before_all, close, units)

    def pair(raw_fn, tav_fn, check, units_of, before=None, is_save=False):
        def mk_raw(ctx):
            m = sub(ctx)
            p = pool(ctx)
            return async_runner(ctx, lambda: raw_fn(m, p), check(m), before, units=units_of(m))

        def mk_tav(ctx):
            m = sub(ctx)
            return tav(m, lambda: tav_fn(m), check(m), before, units=units_of(m))

        return [("raw", mk_raw), ("Tavrik", mk_tav)]

    def chk_all(m):
        return lambda rows: check_all_items(rows, m.items)

    def chk_lookups(m):
        return lambda res: raw.check_lookups(res, m)

    def chk_page(m):
        return lambda page: raw.check_page(page, m)

    def chk_saves(m):
        data = m.items[:s.mysql_saves]

        def c(last):
            last_id = last if isinstance(last, int) else (last or {}).get("id")
            expect(last_id == len(data), "last saved id %r, expected %d" % (last_id, len(data)))
            got = read_back()
            want = [(r[0], r[1], r[2], int(r[3]), r[4]) for r in data]
            expect(got == want, "saved rows differ from the data set")
        return c

    def setup(ctx):
        load(ctx, sub(ctx).items)

    def batch_data(m):
        # The table's own rows again, as new rows (as many as it holds).
        return m.items[:s.mysql_batch]

    def chk_batch(m):
        data = batch_data(m)

        def c(n):
            expect(n == len(data), "batch wrote %r rows, expected %d" % (n, len(data)))
            want = [(r[0], r[1], r[2], int(r[3]), r[4]) for r in data]
            expect(read_back() == want, "saved rows differ from the data set")
        return c

    def sync_pair(raw_fn, tav_fn, check, units_of, before=None):
        """The synchronous road: raw pymysql against MysqlConnector, each
        statement committed on both."""
        def mk_raw(ctx):
            m = sub(ctx)
            con = _pymysql(settings)
            return Runner(lambda: raw_fn(m, con), check(m), before, con.close, units=units_of(m))

        def mk_tav(ctx):
            from Tavrik.DB.Connector import MysqlConnector

            m = sub(ctx)
            connector = MysqlConnector(maxsize=2, **settings)

            def before_all():
                t.install(connector)
                if before:
                    before()

            def close():
                if t._installed[0] is connector:
                    t.uninstall()
                connector.close()

            return Runner(lambda: tav_fn(m), check(m), before_all, close, units=units_of(m))

        return [("raw", mk_raw), ("Tavrik", mk_tav)]

    def s_fetch_all(m):
        return t.models().BenchItem.getExecutor().findAllBy()

    def s_lookups(m):
        Item = t.models().BenchItem
        ex, pk = Item.getExecutor(), Item.id
        return [ex.findOneBy(pk == k) for k in m.keys]

    def s_batch(m):
        M = t.models()
        rows = [t.new_item(M, r) for r in batch_data(m)]
        n = M.BenchItem.getExecutor().saveAll(rows)
        expect(all(r["id"] for r in rows), "saveAll left rows without their keys")
        return n

    def s_saves(m):
        M = t.models()
        ex = M.BenchItem.getExecutor()
        last = None
        for row in m.items[:s.mysql_saves]:
            last = ex.save(t.new_item(M, row))
        return last

    return setup, lambda ctx: close_pool(ctx), [
        dict(id="7e", title="Async fetch all, MySQL", size="%d rows" % min(s.mysql_rows, s.rows), unit="row",
             goal=1.15, impls=pair(lambda m, p: raw.m_fetch_all(p), t.a_fetch_all, chk_all, lambda m: len(m.items))),
        dict(id="7f", title="Async point lookups, MySQL", size="%d lookups, one task" % s.mysql_lookups,
             unit="lookup", goal=1.15,
             impls=pair(lambda m, p: raw.m_lookups(p, m.keys), t.a_lookups, chk_lookups, lambda m: len(m.keys))),
        dict(id="7h", title="Async paging, MySQL", size="page %d x %d, %d calls" % (s.page, s.page_size, s.page_calls),
             unit="page", goal=1.15,
             impls=pair(lambda m, p: raw.m_paging(p, s), t.a_paging, chk_page, lambda m: s.page_calls)),
        # The reads first: the saves empty the table.
        dict(id="7s1", title="Sync fetch all, MySQL", size="%d rows" % min(s.mysql_rows, s.rows), unit="row",
             goal=1.15, impls=sync_pair(lambda m, c: raw.p_fetch_all(c), s_fetch_all, chk_all,
                                        lambda m: len(m.items))),
        dict(id="7s2", title="Sync point lookups, MySQL", size="%d lookups" % s.mysql_lookups, unit="lookup",
             goal=1.15, impls=sync_pair(lambda m, c: raw.p_lookups(c, m.keys), s_lookups, chk_lookups,
                                        lambda m: len(m.keys))),
        dict(id="7g", title="Async saves, MySQL", size="%d saves, one task" % s.mysql_saves, unit="save",
             goal=1.15, runs=s.save_runs,
             impls=pair(lambda m, p: raw.m_saves(p, m.items[:s.mysql_saves]),
                        lambda m: t.a_saves(m, m.items[:s.mysql_saves]), chk_saves,
                        lambda m: min(s.mysql_saves, len(m.items)), before=truncate)),
        dict(id="7s3", title="Sync saves, MySQL", size="%d saves" % s.mysql_saves, unit="save", goal=1.15,
             runs=s.save_runs,
             impls=sync_pair(lambda m, c: raw.p_saves(c, m.items[:s.mysql_saves]), s_saves, chk_saves,
                             lambda m: min(s.mysql_saves, len(m.items)), before=truncate)),
        dict(id="7j", title="Async batch insert (saveAll), MySQL", size="%d rows, one task" % s.mysql_batch,
             unit="row", goal=1.3, runs=s.save_runs,
             impls=pair(lambda m, p: raw.m_batch(p, batch_data(m)), lambda m: t.a_batch(batch_data(m)), chk_batch,
                        lambda m: len(batch_data(m)), before=truncate)),
        dict(id="7s4", title="Sync batch insert (saveAll), MySQL", size="%d rows" % s.mysql_batch, unit="row",
             goal=1.3, runs=s.save_runs,
             impls=sync_pair(lambda m, c: raw.p_batch(c, batch_data(m)), s_batch, chk_batch,
                             lambda m: len(batch_data(m)), before=truncate)),
    ]


# ------------------------------------------------------------ PostgreSQL

PG_IDS = ["10" + c for c in "abcdefg"] + ["11" + c for c in "abcdefg"]


def pg_settings():
    host = os.environ.get("TAVRIK_PG_HOST")
    if not host:
        return None
    return dict(host=host, port=int(os.environ.get("TAVRIK_PG_PORT", "5432")),
                user=os.environ["TAVRIK_PG_USER"], password=os.environ.get("TAVRIK_PG_PASSWORD", ""),
                db=os.environ["TAVRIK_PG_DB"])


def start_private_pg():
    """Starts a PostgreSQL of the benchmark's own (own data dir and port, so
    a test server is left alone).  Returns (settings, stop) or (None, reason)."""
    script = os.path.join(ROOT, "tools", "pg_server.sh")
    env = dict(os.environ, TAVRIK_PG_BASE=os.path.join(tempfile.gettempdir(), "tavrik-bench-pg"),
               TAVRIK_PG_PORT=os.environ.get("TAVRIK_BENCH_PG_PORT", "35433"))
    try:
        out = subprocess.run(["sh", script, "start"], env=env, capture_output=True, text=True, timeout=900)
    except Exception as e:
        return None, "could not start a PostgreSQL server: %s" % e
    if out.returncode != 0:
        return None, "could not start a PostgreSQL server: " + (out.stderr.strip().splitlines() or ["?"])[-1]
    for line in out.stdout.splitlines():
        if line.startswith("export "):
            for kv in line[len("export "):].split():
                k, v = kv.split("=", 1)
                os.environ[k] = v

    def stop():
        subprocess.run(["sh", script, "stop"], env=env, capture_output=True, timeout=120)

    return pg_settings(), stop


def _conninfo(settings):
    return "host=%s port=%d user=%s password=%s dbname=%s" % (
        settings["host"], settings["port"], settings["user"], settings["password"], settings["db"])


def _psycopg(settings):
    import psycopg

    return psycopg.connect(_conninfo(settings))


def pg_scenarios(sizes, settings):
    """The PostgreSQL scenarios, asynchronous (asyncpg: 10a-10g) and
    synchronous (psycopg 3: 11a-11g), each against its own raw driver."""
    import others_sync as o
    import tavrik_impl as t
    from common import rewrite_keys
    from others_async import SAAsyncPgImpl, TortoisePgImpl

    s = sizes
    item_cols = "id, name, qty, price, flag, note"

    def copy_in(cur, table, cols, rows):
        with cur.copy("COPY %s (%s) FROM STDIN" % (table, cols)) as cp:
            for r in rows:
                cp.write_row(r)

    def items_with_ids(items):
        return [(i,) + raw.p_item_params(r) for i, r in enumerate(items, 1)]

    def run_sql(fn):
        con = _psycopg(settings)
        try:
            with con.cursor() as cur:
                res = fn(cur)
            con.commit()
            return res
        finally:
            con.close()

    def load(m):
        import wide

        def fill(cur):
            for stmt in common.PG_DDL:
                cur.execute(stmt)
            copy_in(cur, "bench_item", item_cols, items_with_ids(m.items))
            copy_in(cur, "bench_edit", item_cols, items_with_ids(m.edit_data))
            copy_in(cur, "bench_wide", ", ".join(wide.COLS), [wide.pg_params(r) for r in m.wide])
            lib = m.lib
            copy_in(cur, "lib_author", "id, name", [(i,) + r for i, r in enumerate(lib["authors"], 1)])
            copy_in(cur, "lib_profile", "id, author_id, bio", [(i,) + r for i, r in enumerate(lib["profiles"], 1)])
            copy_in(cur, "lib_book", "id, author_id, title, year", [(i,) + r for i, r in enumerate(lib["books"], 1)])
            copy_in(cur, "lib_tag", "id, name", [(i,) + r for i, r in enumerate(lib["tags"], 1)])
            copy_in(cur, "lib_book_tag", "id, lib_book_id, lib_tag_id",
                    [(i,) + r for i, r in enumerate(lib["links"], 1)])
            cur.execute("ANALYZE")

        run_sql(fill)

    def truncate_new():
        run_sql(lambda cur: cur.execute("TRUNCATE TABLE bench_new RESTART IDENTITY"))

    def read(sql):
        return run_sql(lambda cur: cur.execute(sql).fetchall())

    def sub(ctx):
        """The PostgreSQL runs read the first pg_rows rows of the data set and
        write pg_saves / pg_batch of them."""
        import wide

        n = min(s.pg_rows, s.rows)
        items = ctx.items[:n]
        rnd = random.Random(2)
        new_data = ctx.items[:s.pg_saves]
        batch_data = ctx.items[:s.pg_batch]
        edit_data = ctx.items[:s.pg_saves]
        edit_keys = rewrite_keys(len(edit_data))

        def saved(data, last=None):
            if last is not None:
                last_id = last if isinstance(last, int) else (last["id"] if isinstance(last, dict) else last.id)
                expect(last_id == len(data), "last saved id %r, expected %d" % (last_id, len(data)))
            got = read("SELECT name, qty, price, flag, note FROM bench_new ORDER BY id")
            expect(len(got) == len(data), "expected %d saved rows, got %d" % (len(data), len(got)))
            expect([tuple(g) for g in got] == [raw.p_item_params(r) for r in data],
                   "saved rows differ from the data set")

        def check_edits(n):
            got = read("SELECT id, name, qty, price, flag, note FROM bench_edit ORDER BY id")
            want = [(i, r[0], r[1] + 1, r[2], bool(r[3]), "edited %d" % i) for i, r in enumerate(edit_data, 1)]
            expect([tuple(g) for g in got] == want, "rewritten rows differ from the expected ones")

        def reload_edit():
            def fill(cur):
                cur.execute("TRUNCATE TABLE bench_edit")
                copy_in(cur, "bench_edit", item_cols, items_with_ids(edit_data))
            run_sql(fill)

        return ctx.derived(items=items, keys=[rnd.randint(1, n) for _ in range(s.pg_lookups)],
                           page_expect=common.paging_expectation(items, s.page, s.page_size, raw.MIN_QTY),
                           pg=settings, wide=wide.rows(s.pg_rows), new_data=new_data, batch_data=batch_data,
                           edit_data=edit_data, edit_keys=edit_keys, truncate_new=truncate_new,
                           check_saves=lambda last: saved(new_data, last),
                           check_batch=lambda n: saved(batch_data), check_edits=check_edits,
                           reload_edit=reload_edit)

    pools = {}

    def apool(ctx):
        import asyncpg

        if "a" not in pools:
            pools["a"] = ctx.loop.run_until_complete(asyncpg.create_pool(
                host=settings["host"], port=settings["port"], user=settings["user"], password=settings["password"],
                database=settings["db"]))
        return pools["a"]

    def spool():
        from psycopg.rows import dict_row
        from psycopg_pool import ConnectionPool

        if "s" not in pools:
            pools["s"] = ConnectionPool(_conninfo(settings), kwargs=dict(row_factory=dict_row, autocommit=True),
                                        open=True)
        return pools["s"]

    def close_pools(ctx):
        p = pools.pop("a", None)
        if p is not None:
            ctx.loop.run_until_complete(p.close())
        p = pools.pop("s", None)
        if p is not None:
            p.close()

    # The work of each scenario: (raw function, Tavrik function, other-ORM
    # method, check, units, before), the functions taking the PostgreSQL ctx.
    def chk_wide(m):
        import wide

        return lambda rows: wide.check_fetched(rows, m.wide)

    work = dict(
        fetch_wide=(lambda m: len(m.wide), chk_wide, None),
        lookups=(lambda m: len(m.keys), lambda m: lambda res: raw.check_lookups(res, m), None),
        saves=(lambda m: len(m.new_data), lambda m: m.check_saves, lambda m: m.truncate_new),
        updates=(lambda m: len(m.edit_keys), lambda m: m.check_edits, lambda m: m.reload_edit),
        batch=(lambda m: len(m.batch_data), lambda m: m.check_batch, lambda m: m.truncate_new),
        paging=(lambda m: s.page_calls, lambda m: lambda p: raw.check_page(p, m), None),
        library=(lambda m: s.authors, lambda m: lambda a: raw.check_library(a, m, 2), None),
    )
    a_args = dict(fetch_wide=(), lookups=("keys",), saves=("new_data",), updates=("edit_keys",),
                  batch=("batch_data",), paging=("sizes",), library=(2,))

    def args_of(key, m):
        return [getattr(m, a) if isinstance(a, str) else a for a in a_args[key]]

    others = {}

    def other(name, cls):
        def get():
            if name not in others:
                others[name] = cls(settings)
            return others[name]
        return get

    tortoise = other("Tortoise", TortoisePgImpl)
    saasync = other("SQLAlchemy async", SAAsyncPgImpl)

    def async_impls(key):
        units, check, before = work[key]

        def mk_raw(ctx):
            m = sub(ctx)
            p = apool(ctx)
            fn = getattr(raw, "pa_" + key)
            return async_runner(ctx, lambda: fn(p, *args_of(key, m)), check(m), before and before(m),
                                units=units(m))

        def mk_tav(ctx):
            m = sub(ctx)
            con = t.pg_connector("AsyncpgConnector", ctx.loop, None, host=settings["host"], port=settings["port"],
                                 user=settings["user"], password=settings["password"], database=settings["db"])

            async def ready():
                for _ in range(500):
                    if getattr(con, "isReady", True):
                        return
                    await asyncio.sleep(0.01)
                raise RuntimeError("AsyncpgConnector did not get ready")

            ctx.loop.run_until_complete(ready())
            fn = getattr(t, "pa_" + key)
            pre = before and before(m)

            def before_all():
                t.install(con)
                if pre:
                    pre()

            def close():
                if t._installed[0] is con:
                    t.uninstall()
                res = con.close()
                if asyncio.iscoroutine(res):
                    ctx.loop.run_until_complete(res)

            return async_runner(ctx, lambda: t.committed(con, lambda: fn(*args_of(key, m))), check(m), before_all,
                                close, units=units(m))

        def mk_other(get):
            def f(ctx):
                m = sub(ctx)
                impl = get()
                meth = getattr(impl, key)
                extra = [2] if key == "library" else []
                own = getattr(impl, "check_" + key, None)
                return async_runner(ctx, lambda: meth(m, *extra), own(m) if own else check(m), before and before(m),
                                    units=units(m), close=lambda: ctx.loop.run_until_complete(impl.close()),
                                    note=getattr(impl, "notes", {}).get(key, ""))
            return f

        return [("raw", mk_raw), ("Tavrik", mk_tav), ("Tortoise", mk_other(tortoise)),
                ("SQLAlchemy async", mk_other(saasync))]

    def sync_impls(key):
        units, check, before = work[key]

        def mk_raw(ctx):
            m = sub(ctx)
            p = spool()
            fn = getattr(raw, "ps_" + key)
            return Runner(lambda: fn(p, *args_of(key, m)), check(m), before and before(m), units=units(m))

        def mk_tav(ctx):
            m = sub(ctx)
            con = t.pg_connector("PsycopgConnector", _conninfo(settings))
            fn = getattr(t, "p_" + key)

            def close():
                if t._installed[0] is con:
                    t.uninstall()
                res = con.close()
                if asyncio.iscoroutine(res):
                    ctx.loop.run_until_complete(res)

            r = t._runner(con, lambda: fn(*args_of(key, m)), check(m), before and before(m), units=units(m))
            r.close = close
            return r

        def mk_other(name):
            def f(ctx):
                # Skipped, not failed, where the ORM is not installed: its
                # functions import it before they can say so.
                o.need(name)
                fn = getattr(o, name + "_pg_" + key)
                m = sub(ctx)
                return fn(m, 2) if key == "library" else fn(m)
            return f

        return [("raw", mk_raw), ("Tavrik", mk_tav), ("peewee", mk_other("peewee")),
                ("SQLAlchemy", mk_other("sqlalchemy"))]

    titles = [("fetch_wide", "fetch wide rows", "%d rows x 14 cols" % min(s.pg_rows, s.rows), "row"),
              ("lookups", "point lookups", "%d lookups" % s.pg_lookups, "lookup"),
              ("saves", "single-row saves", "%d saves" % s.pg_saves, "save"),
              ("updates", "fetch, change 2, update", "%d rows" % s.pg_saves, "row"),
              ("batch", "batch insert (saveAll)", "%d rows" % s.pg_batch, "row"),
              ("paging", "paging (Olvane)", "page %d x %d, %d calls" % (s.page, s.page_size, s.page_calls), "page"),
              ("library", "prefetch to depth 2", "%d authors: 1:1, %dx 1:N, %dx M:N per book"
               % (s.authors, s.books_per, s.tags_per), "author")]
    out = []
    for road, prefix, impls, how in (("10", "Async", async_impls, "one task"),
                                     ("11", "Sync", sync_impls, "commit each")):
        for letter, (key, what, size, unit) in zip("abcdefg", titles):
            sc = dict(id=road + letter, title="%s %s, PostgreSQL" % (prefix, what), size=size, unit=unit,
                      goal=1.2, impls=impls(key))
            if key == "saves":
                sc["size"] += ", " + how
            if key in ("saves", "updates"):
                sc["runs"] = s.save_runs
            out.append(sc)

    def setup(ctx):
        load(sub(ctx))

    return setup, close_pools, out


# ---------------------------------------------------------------- memory

def memory_scenario(ctx):
    """Peak and retained traced memory of holding the rows of scenario 1."""
    import tracemalloc

    import tavrik_impl as t

    out = dict(id="8", title="Memory of 100k rows held" if ctx.sizes.rows == 100_000 else "Memory of rows held",
               size="%d rows" % ctx.sizes.rows, unit="row", goal=1.1, results={})
    for name, factory in (("raw", raw.fetch_all), ("Tavrik", t.fetch_all)):
        try:
            r = factory(ctx)
            r.before()
            r.check(r.run())  # warm-up: caches, statement cache, first-call allocations
            gc.collect()
            tracemalloc.start()
            rows = r.run()
            current, peak = tracemalloc.get_traced_memory()
            tracemalloc.stop()
            r.check(rows)
            del rows
            r.close()
            out["results"][name] = dict(peak_bytes=peak, retained_bytes=current,
                                        per_unit_us=None, peak_per_row=peak / ctx.sizes.rows,
                                        retained_per_row=current / ctx.sizes.rows)
        except Exception as e:
            if tracemalloc.is_tracing():
                tracemalloc.stop()
            out["results"][name] = dict(error=_err(e))
    rr, tr = out["results"].get("raw", {}), out["results"].get("Tavrik", {})
    if "peak_bytes" in rr and "peak_bytes" in tr:
        tr["ratio"] = tr["peak_bytes"] / rr["peak_bytes"]
        tr["retained_ratio"] = tr["retained_bytes"] / rr["retained_bytes"]
        rr["ratio"] = 1.0
        rr["retained_ratio"] = 1.0
    return out


# ================================================================= report

def fmt_ratio(res):
    if res is None:
        return "-"
    if "error" in res:
        return "FAILED"
    if "skipped" in res:
        return "n/a"
    if "ratio" in res:
        return "%.2fx" % res["ratio"]
    return "-"


def verdict(sc):
    res = sc["results"].get("Tavrik", {})
    if "error" in res:
        return "FAILED"
    if "ratio" not in res:
        return "-"
    ok = res["ratio"] <= sc["goal"]
    faster = 5 if sc["id"] == "1" else sc.get("others_faster")
    if faster:
        others = [sc["results"][n]["ratio"] for n in SYNC_OTHERS if "ratio" in sc["results"].get(n, {})]
        if others:
            sc["others_speedup"] = min(others) / res["ratio"]
            ok = ok and sc["others_speedup"] >= faster
    if sc.get("near"):
        name, most = sc["near"]
        other = sc["results"].get(name, {})
        if "ratio" in other:
            sc["near_ratio"] = res["ratio"] / other["ratio"]
            ok = ok and sc["near_ratio"] <= most
    return "yes" if ok else "NO"


def to_markdown(report):
    m = report["machine"]
    lines = ["# Tavrik benchmark results", "",
             "Machine: %s, %s cores, %s RAM; %s %s; SQLite %s; %s." % (
                 m["cpu"], m["cores"], m["memory"], m["implementation"], m["python"], m["sqlite"], m["platform"]),
             "Mode: %s; %s timed runs per scenario (median), after a warm-up run; %s." % (
                 "quick" if report["quick"] else "full", report["runs"], report["started"]),
             "",
             "Ratios are times relative to the raw driver doing the same work in the same run (lower is better);"
             " µs are per row / call of the scenario's unit.", ""]
    impls = [n for n in IMPL_ORDER if any(n in sc["results"] for sc in report["scenarios"])]
    head = ["scenario", "size", "raw µs/unit", "Tavrik µs/unit", "Tavrik", "goal", "met"] + \
        [n for n in impls if n not in ("raw", "Tavrik")]
    lines.append("| " + " | ".join(head) + " |")
    lines.append("|" + "---|" * len(head))
    for sc in report["scenarios"]:
        r = sc["results"]
        if sc["id"] == "8":
            rr, tr = r.get("raw", {}), r.get("Tavrik", {})
            raw_s = "%.0f B/row peak" % rr["peak_per_row"] if "peak_per_row" in rr else fmt_ratio(rr)
            tav_s = "%.0f B/row peak" % tr["peak_per_row"] if "peak_per_row" in tr else fmt_ratio(tr)
            ratio = fmt_ratio(tr)
            if "retained_ratio" in tr:
                ratio += " (retained %.2fx)" % tr["retained_ratio"]
            row = [sc["id"] + ". " + sc["title"], sc["size"], raw_s, tav_s, ratio, "≤%.2fx" % sc["goal"],
                   sc["met"]] + ["" for n in impls if n not in ("raw", "Tavrik")]
        else:
            def us(name):
                x = r.get(name, {})
                return "%.2f" % x["per_unit_us"] if "per_unit_us" in x else fmt_ratio(x)
            goal = "≤%.2fx" % sc["goal"]
            if sc["id"] == "1" or sc.get("others_faster"):
                goal += ", ≥%dx faster than other ORMs" % (sc.get("others_faster") or 5)
            if sc.get("near"):
                goal += ", ≤%.1fx %s" % (sc["near"][1], sc["near"][0])
            met = sc["met"]
            if "others_speedup" in sc:
                met += " (others %.1fx slower)" % sc["others_speedup"]
            if "near_ratio" in sc:
                met += " (%.2fx %s)" % (sc["near_ratio"], sc["near"][0])
            row = [sc["id"] + ". " + sc["title"], sc["size"], us("raw"), us("Tavrik"), fmt_ratio(r.get("Tavrik")),
                   goal, met] + [fmt_ratio(r.get(n)) for n in impls if n not in ("raw", "Tavrik")]
        lines.append("| " + " | ".join(str(c) for c in row) + " |")
    notes = []
    grouped = {}
    for sc in report["scenarios"]:
        for name in IMPL_ORDER:
            x = sc["results"].get(name)
            if not x:
                continue
            for key in ("error", "skipped", "note"):
                if x.get(key):
                    text = "%s%s" % ("" if key == "note" else key + ": ", x[key])
                    grouped.setdefault((name, text), []).append(sc["id"])
    for (name, text), ids in grouped.items():
        notes.append("- %s (%s): %s" % (name, ", ".join(ids), text))
    for n in report["notes"]:
        notes.append("- " + n)
    if notes:
        lines += ["", "Notes:"] + notes
    return "\n".join(lines) + "\n"


def draw_chart(report, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    scs = [sc for sc in report["scenarios"]]
    impls = [n for n in IMPL_ORDER if n != "raw" and any("ratio" in sc["results"].get(n, {}) for sc in scs)]
    if not impls:
        return False
    fig, ax = plt.subplots(figsize=(max(10, 1.1 * len(scs)), 5.5))
    width = 0.8 / len(impls)
    xs = range(len(scs))
    for j, name in enumerate(impls):
        vals = [sc["results"].get(name, {}).get("ratio", 0) or 0 for sc in scs]
        ax.bar([x + (j - (len(impls) - 1) / 2) * width for x in xs], vals, width, label=name)
    for x, sc in zip(xs, scs):
        ax.hlines(sc["goal"], x - 0.45, x + 0.45, colors="black", linestyles="dashed", linewidth=1)
    ax.axhline(1.0, color="grey", linewidth=0.8)
    ax.set_yscale("log")
    ax.set_xticks(list(xs))
    ax.set_xticklabels([sc["id"] + "\n" + textwrap.fill(sc["title"], 16) for sc in scs], fontsize=7)
    ax.set_ylabel("time relative to the raw driver (log scale; dashed: Tavrik's goal)")
    m = report["machine"]
    ax.set_title("Tavrik vs raw drivers and other ORMs — %s, %s cores, Python %s" % (m["cpu"], m["cores"], m["python"]),
                 fontsize=9)
    ax.legend(fontsize=7, ncol=2)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return True


# =================================================================== main

def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--quick", action="store_true", help="tiny sizes, one run, other ORMs optional")
    p.add_argument("--out", default=os.path.join(HERE, "results"), help="directory for results.md/.json/.png")
    p.add_argument("--only", default="", help="comma separated scenario ids or numbers (1,2,3,4,5,6,7,8)")
    p.add_argument("--no-others", action="store_true", help="only Tavrik and the raw drivers")
    p.add_argument("--no-tavrik", action="store_true", help="leave Tavrik out (the baselines and other ORMs only)")
    p.add_argument("--mysql", choices=["auto", "off", "start"], default="auto",
                   help="auto: use TAVRIK_MYSQL_* when set, else start a private server unless --quick")
    p.add_argument("--pg", choices=["auto", "off", "start"], default="auto",
                   help="auto: use TAVRIK_PG_* when set, else start a private server unless --quick")
    p.add_argument("--keep-tmp", action="store_true")
    p.add_argument("-v", "--verbose", action="store_true", help="print tracebacks of failures")
    for k in ("rows", "lookups", "saves", "batch", "page", "page_size", "page_calls", "owners", "authors", "runs",
              "mysql_rows", "mysql_lookups", "mysql_saves", "mysql_batch", "pg_rows", "pg_lookups", "pg_saves",
              "pg_batch"):
        p.add_argument("--" + k.replace("_", "-"), type=int, default=None, dest=k)
    return p.parse_args(argv)


def selected(only, sid):
    if not only:
        return True
    wanted = {w.strip() for w in only.split(",") if w.strip()}
    return sid in wanted or sid.rstrip("abcdefghijklmnopqrstuvwxyz") in wanted


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    sizes = Sizes(args.quick, {k: getattr(args, k) for k in ("rows", "lookups", "saves", "batch", "page",
                                                             "page_size", "page_calls", "owners", "authors",
                                                             "runs",
                                                             "mysql_rows", "mysql_lookups", "mysql_saves",
                                                             "mysql_batch", "pg_rows", "pg_lookups", "pg_saves", "pg_batch")})
    tmp = tempfile.mkdtemp(prefix="tavrik-bench-")
    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    report = dict(machine=common.machine_info(), quick=args.quick, runs=sizes.runs, sizes=dict(sizes.__dict__),
                  started=time.strftime("%Y-%m-%d %H:%M:%S"), scenarios=[], notes=[])
    print("Tavrik benchmarks (%s) on %s, %s cores, Python %s" % ("quick" if args.quick else "full",
          report["machine"]["cpu"], report["machine"]["cores"], report["machine"]["python"]), flush=True)
    stop_mysql = None
    stop_pg = None
    failed = False
    try:
        t0 = time.perf_counter()
        ctx = Ctx(sizes, tmp, loop)
        print("data set ready (%.1fs)" % (time.perf_counter() - t0), flush=True)
        try:
            import tavrik_impl

            if not args.no_tavrik:
                tavrik_impl.models()
        except Exception as e:
            report["notes"].append("Tavrik could not be loaded: %s" % _err(e))
            failed = True
        plan = [sc for sc in sync_scenarios(sizes) if selected(args.only, sc["id"])]
        plan += [sc for sc in aiosqlite_scenarios(sizes) if selected(args.only, sc["id"])]
        mysql_plan = []
        mysql_ids = ("7e", "7f", "7g", "7h", "7j", "7s1", "7s2", "7s3", "7s4")
        if any(selected(args.only, i) for i in mysql_ids) and args.mysql != "off":
            settings = mysql_settings()
            if settings is None and (args.mysql == "start" or not args.quick):
                settings, stop_mysql = start_private_mysql()
                if settings is None:
                    report["notes"].append("MySQL skipped: %s" % stop_mysql)
                    stop_mysql = None
            if settings is None:
                if not report["notes"] or "MySQL" not in report["notes"][-1]:
                    report["notes"].append("MySQL skipped: no server (TAVRIK_MYSQL_HOST etc. not set)")
            else:
                setup, teardown, scs = mysql_scenarios(sizes, settings)
                mysql_plan = [sc for sc in scs if selected(args.only, sc["id"])]
        pg_plan = []
        if any(selected(args.only, i) for i in PG_IDS) and args.pg != "off":
            pg = pg_settings()
            if pg is None and (args.pg == "start" or not args.quick):
                pg, stop_pg = start_private_pg()
                if pg is None:
                    report["notes"].append("PostgreSQL skipped: %s" % stop_pg)
                    stop_pg = None
            if pg is None:
                if not report["notes"] or "PostgreSQL" not in report["notes"][-1]:
                    report["notes"].append("PostgreSQL skipped: no server (TAVRIK_PG_HOST etc. not set)")
            else:
                pg_setup, pg_teardown, scs = pg_scenarios(sizes, pg)
                pg_plan = [sc for sc in scs if selected(args.only, sc["id"])]
        skip_group = None
        for sc in plan + mysql_plan + pg_plan:
            if sc is (mysql_plan[0] if mysql_plan else None):
                try:
                    setup(ctx)
                except Exception as e:
                    report["notes"].append("MySQL skipped: loading the table failed: %s" % _err(e))
                    skip_group = mysql_plan
            if sc is (pg_plan[0] if pg_plan else None):
                try:
                    pg_setup(ctx)
                except Exception as e:
                    report["notes"].append("PostgreSQL skipped: loading the tables failed: %s" % _err(e))
                    skip_group = pg_plan
            if skip_group is not None and any(sc is x for x in skip_group):
                continue
            t1 = time.perf_counter()
            sc["results"] = measure_scenario(sc, ctx, args)
            sc["met"] = verdict(sc)
            del sc["impls"]
            report["scenarios"].append(sc)
            tr = sc["results"].get("Tavrik", {})
            print("%-4s %-34s %-40s Tavrik %-8s goal <=%.2fx %-6s [%.0fs]  %s" % (
                sc["id"], sc["title"], sc["size"], fmt_ratio(tr), sc["goal"], sc["met"], time.perf_counter() - t1,
                "  ".join("%s %s" % (n, fmt_ratio(x)) for n, x in sc["results"].items() if n not in ("Tavrik",))
                + ("  (other ORMs %.1fx slower)" % sc["others_speedup"] if "others_speedup" in sc else "")
                + ("  (%.2fx %s)" % (sc["near_ratio"], sc["near"][0]) if "near_ratio" in sc else "")),
                flush=True)
            for name, res in sc["results"].items():
                if "latency_ms" in res:
                    print("     %-8s %s" % (name, res["note"]), flush=True)
            if "error" in tr or "error" in sc["results"].get("raw", {}):
                failed = True
                print("     " + (tr.get("error") or sc["results"]["raw"]["error"]), flush=True)
        if mysql_plan:
            try:
                teardown(ctx)
            except Exception:
                pass
        if pg_plan:
            try:
                pg_teardown(ctx)
            except Exception:
                pass
        if selected(args.only, "8") and not args.no_tavrik:
            sc = memory_scenario(ctx)
            tr = sc["results"].get("Tavrik", {})
            sc["met"] = "FAILED" if "error" in tr else ("yes" if tr.get("ratio", 99) <= sc["goal"] else "NO")
            failed = failed or "error" in tr
            report["scenarios"].append(sc)
            print("8    %-34s %-40s Tavrik %-8s goal <=1.10x %s" % (sc["title"], sc["size"], fmt_ratio(tr), sc["met"]))
    finally:
        if stop_mysql:
            stop_mysql()
        if stop_pg:
            stop_pg()
        try:
            import tavrik_impl

            if tavrik_impl._installed[0] is not None:
                tavrik_impl.uninstall()
        except Exception:
            pass
        loop.close()
        if not args.keep_tmp:
            shutil.rmtree(tmp, ignore_errors=True)

    os.makedirs(args.out, exist_ok=True)
    md = to_markdown(report)
    with open(os.path.join(args.out, "results.md"), "w", encoding="utf-8") as f:
        f.write(md)
    with open(os.path.join(args.out, "results.json"), "w", encoding="utf-8") as f:
        json.dump(report, f, indent=1, default=str)
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        msg = "matplotlib not installed: no chart drawn"
        if not args.quick:
            print(msg + " (pip install -r bench/requirements.txt)")
        else:
            print(msg)
    else:
        if draw_chart(report, os.path.join(args.out, "results.png")):
            print("chart: %s" % os.path.join(args.out, "results.png"))
    print()
    print(md)
    print("written to %s" % args.out)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
