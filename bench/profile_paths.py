"""Runs one Tavrik path in a loop on a small database, for profilers, and
shows the SQL Tavrik issues for it.

    python bench/profile_paths.py fetch --rows 20000
    python bench/profile_paths.py relations --trace         # the statements, logged by Sqlite3Connector
    valgrind --tool=callgrind --callgrind-out-file=cg.out python bench/profile_paths.py lookups --n 2000
    callgrind_annotate cg.out | head -60

Paths: fetch, lookups, saves, memsaves, resaves, updates, batch, paging, relations, prefetch
(resaves and updates: fetch a stored row, change two fields, save() / update(); :memory:).
"""
import argparse
import logging
import os
import shutil
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import common  # noqa: E402
import tavrik_impl as t  # noqa: E402


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("path", choices=["fetch", "lookups", "saves", "memsaves", "resaves", "updates", "batch", "paging",
                                      "relations", "prefetch"])
    p.add_argument("--rows", type=int, default=20000)
    p.add_argument("--n", type=int, default=2000, help="operations for lookups/saves/paging")
    p.add_argument("--owners", type=int, default=200)
    p.add_argument("--level", type=int, default=2, help="prefetch depth")
    p.add_argument("--repeat", type=int, default=1)
    p.add_argument("--trace", action="store_true", help="log every statement (logger Tavrik.DB, DEBUG)")
    a = p.parse_args(argv)

    tmp = tempfile.mkdtemp(prefix="tavrik-prof-")
    try:
        items = common.make_items(max(a.rows, a.n))
        rel = common.make_relations(a.owners, 10, 3, 50)
        lib = common.make_library(a.owners, 20, 3, 50) if a.path == "prefetch" else None
        db = os.path.join(tmp, "p.db")
        common.build_sqlite_file(db, items if a.path not in ("saves", "memsaves", "batch") else None, rel, lib)
        M = t.models()
        from Tavrik.DB.Connector import Sqlite3Connector

        if a.trace:
            logging.basicConfig(level=logging.WARNING, format="%(name)s: %(message)s")
            logging.getLogger("Tavrik.DB").setLevel(logging.DEBUG)
        memory = a.path in ("memsaves", "resaves", "updates")
        path = ":memory:" if memory else db
        con = Sqlite3Connector(path, showLog=a.trace)
        if memory:
            con.getCon().execute(common.SQLITE_DDL[0])
        if a.path in ("resaves", "updates"):
            common.reload_items(con.getCon(), items[:a.n])
        t.install(con)
        ex = M.BenchItem.getExecutor()
        t0 = time.perf_counter()
        for _ in range(a.repeat):
            if a.path == "fetch":
                n = len(ex.findAllBy())
            elif a.path == "lookups":
                for k in range(1, a.n + 1):
                    ex.findOneBy(M.BenchItem.id == k)
                n = a.n
            elif a.path in ("saves", "memsaves"):
                for row in items[:a.n]:
                    ex.save(t.new_item(M, row))
                n = a.n
            elif a.path in ("resaves", "updates"):
                write = ex.save if a.path == "resaves" else ex.update
                for k in common.rewrite_keys(a.n):
                    row = ex.findOneBy(M.BenchItem.id == k)
                    row["qty"], row["note"] = common.rewritten(row)
                    write(row)
                n = a.n
            elif a.path == "batch":
                ex.saveAll([t.new_item(M, r) for r in items[:a.rows]])
                n = a.rows
            elif a.path == "paging":
                ctx_sizes = common.Sizes(True, dict(page=5, page_size=20))
                for _ in range(a.n):
                    t._page(M, ctx_sizes).execute()
                n = a.n
            elif a.path == "prefetch":
                lx = M.LibAuthor.getExecutor()
                n = len(lx.prefetch(lx.findAllBy(), level=a.level))
            else:
                users = M.RelUser.getExecutor().findAllBy()
                M.RelUser.getExecutor().findListForeignKey(users)
                n = len(users)
        dt = time.perf_counter() - t0
        print("%s: %d units x %d in %.3fs, %.2f us/unit" % (a.path, n, a.repeat, dt, dt / (n * a.repeat) * 1e6))
        t.uninstall()
        con.close()
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
