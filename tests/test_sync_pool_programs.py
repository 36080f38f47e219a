"""Whole programs on the pooled synchronous roads (MysqlConnector,
PsycopgConnector): threads sharing one connector, a forked child, a process
killed in the middle of a tree save.  Each runs in a fresh interpreter; the
database is read back through a connection of its own."""
import json
import os
import subprocess
import sys
import textwrap

import pytest

from tests.conftest import _mysql_reset, require_mysql

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

HEAD = textwrap.dedent(
    """
    import json, logging, os, sys, threading, time
    from Tavrik.DB.Connector import MysqlConnector, PsycopgConnector
    from Tavrik.DB.DB import DB
    from Tavrik.Ext import generate_table
    from Tavrik.Model.Korvid import Korvid
    from Tavrik.Model.ModelProperty import AutoIncrement, ForeignKey, IntProperty, StrProperty

    class PgPost(Korvid):
        tableName = "pg_post"
        id = IntProperty(primaryKey=True, default=AutoIncrement)
        owner_id = IntProperty()
        title = StrProperty(40)

    class PgOwner(Korvid):
        tableName = "pg_owner"
        id = IntProperty(primaryKey=True, default=AutoIncrement)
        label = StrProperty(40)
        posts = ForeignKey.oneToMany(PgPost, targetBindCol=PgPost.owner_id)

    road, settings = json.loads(sys.argv[1])
    if road == "mysql":
        connector = MysqlConnector(maxsize=3, **settings)
        session_sql = "SELECT CONNECTION_ID()"
        backend = lambda con: con.thread_id()
    else:
        connector = PsycopgConnector(settings, maxsize=3)
        session_sql = "SELECT pg_backend_pid()"
        backend = lambda con: con.info.backend_pid
    DB.create(connector)
    generate_table()

    def tree(label, n=2):
        return PgOwner(label=label, posts=[PgPost(title="%s/%d" % (label, i)) for i in range(n)])
    """
)

THREADS = HEAD + textwrap.dedent(
    """
    errors = []

    def work(t):
        try:
            for i in range(15):
                PgOwner.getExecutor().save(tree("t%d-save%d" % (t, i)))
            for j in range(4):
                try:
                    with connector.transaction():
                        PgOwner.getExecutor().save(tree("t%d-block%d" % (t, j)))
                        time.sleep(0.01)  # others commit meanwhile
                        # the block sees its own rows, and no other block's
                        mine = PgOwner.getExecutor().findAllBy(PgOwner.label.like("t%d-block%%" % t))
                        kept = [k for k in range(j) if k % 2 == 0] + [j]
                        assert sorted(r.label for r in mine) == ["t%d-block%d" % (t, k) for k in kept]
                        if j % 2:
                            raise KeyError("undo")
                except KeyError:
                    pass
        except BaseException as e:
            errors.append(repr(e))

    threads = [threading.Thread(target=work, args=(t,)) for t in range(6)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    print(errors or "ok")
    """
)

FORK = HEAD + textwrap.dedent(
    """
    def session():
        return connector.execute(session_sql)[0][0]

    PgOwner.getExecutor().save(tree("before"))
    with connector.transaction() as con:
        PgOwner.getExecutor().save(tree("parent-block"))
        parent = backend(con)
        r, w = os.pipe()
        pid = os.fork()
        if pid == 0:
            code = 1
            try:
                os.close(r)
                # the parent's block is not the child's, and is not committed
                seen = [row.label for row in PgOwner.getExecutor().findAllBy(None)]
                PgOwner.getExecutor().save(tree("child"))
                with connector.transaction() as own:
                    PgOwner.getExecutor().save(tree("child-block"))
                    child = backend(own)
                os.write(w, json.dumps([seen, child, session()]).encode())
                connector.close()
                code = 0
            finally:
                os._exit(code)
        os.close(w)
        status = os.waitpid(pid, 0)[1]
        seen, child, other = json.loads(os.read(r, 65536).decode() or "null")
        PgOwner.getExecutor().save(tree("parent-after-fork"))
        assert backend(con) == parent
    print(os.waitstatus_to_exitcode(status), seen, parent not in (child, other))
    """
)

KILLED = HEAD + textwrap.dedent(
    """
    import signal

    class Killer(logging.Handler):
        # Kills this process as the save's first post is sent: its owner is
        # then written, in the save's transaction, and not committed.
        def emit(self, record):
            if "pg_post" in record.getMessage():
                os.kill(os.getpid(), signal.SIGKILL)

    logging.getLogger("Tavrik.DB").addHandler(Killer())
    logging.getLogger("Tavrik.DB").setLevel(logging.DEBUG)
    connector._pool.showLog = True
    PgOwner.getExecutor().save(tree("doomed", 3000))
    print("saved")
    """
)

DEADLOCK = HEAD + textwrap.dedent(
    """
    connector.execute("INSERT INTO pg_owner (id, label) VALUES (1, 'a'), (2, 'b')")
    calls = []
    both = threading.Barrier(2)
    results = []

    def transfer(con, first):
        calls.append(first)
        connector.execute("SELECT label FROM pg_owner WHERE id = %s FOR UPDATE", args=(first,))
        if calls.count(first) == 1:
            both.wait(30)  # only the first attempts meet, locking in opposite orders
        connector.execute("SELECT label FROM pg_owner WHERE id = %s FOR UPDATE", args=(3 - first,))
        connector.execute("UPDATE pg_owner SET label = CONCAT(label, CAST(%s AS CHAR(1)))", args=(str(first),))
        return first

    threads = [threading.Thread(target=lambda f=f: results.append(connector.runTransaction(transfer, f)))
               for f in (1, 2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    print(sorted(results), sorted(calls))
    """
)


def run(program, road, tmp_path):
    script = tmp_path / "prog.py"
    script.write_text(program)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [os.environ.get("PYTHONPATH"), ROOT])))
    return subprocess.run([sys.executable, str(script), json.dumps(road)], capture_output=True, text=True,
                          timeout=120, env=env, cwd=ROOT)


OWNERS = ("SELECT o.label, COUNT(p.id) FROM pg_owner o LEFT JOIN pg_post p ON p.owner_id = o.id "
          "GROUP BY o.id, o.label")
ORPHANS = "SELECT COUNT(*) FROM pg_post p WHERE NOT EXISTS (SELECT 1 FROM pg_owner o WHERE o.id = p.owner_id)"


def labels(road):
    kind, settings = road
    if kind == "postgresql":
        import psycopg

        with psycopg.connect(settings) as con:
            return dict(con.execute(OWNERS).fetchall()), con.execute(ORPHANS).fetchone()[0]
    import pymysql

    con = pymysql.connect(**settings)
    try:
        with con.cursor() as cur:
            cur.execute(OWNERS)
            owners = dict(cur.fetchall())
            cur.execute(ORPHANS)
            return owners, cur.fetchone()[0]
    finally:
        con.close()


@pytest.fixture(params=["mysql", "postgresql"])
async def road(request):
    """(kind, settings): MySQL's connect keywords, PostgreSQL's URL."""
    if request.param == "postgresql":
        return "postgresql", request.getfixturevalue("pg_dsn")
    s = require_mysql()
    await _mysql_reset(s)
    return "mysql", {k: v for k, v in s.items() if k != "autocommit"}


def test_threads_share_one_connector(road, tmp_path):
    proc = run(THREADS, road, tmp_path)
    assert (proc.returncode, proc.stdout) == (0, "ok\n"), proc.stderr
    owners, orphans = labels(road)
    expected = {"t%d-save%d" % (t, i) for t in range(6) for i in range(15)}
    expected |= {"t%d-block%d" % (t, j) for t in range(6) for j in (0, 2)}
    assert (set(owners), set(owners.values()), orphans) == (expected, {2}, 0)


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork()")
def test_forked_child_uses_its_own_connections(road, tmp_path):
    proc = run(FORK, road, tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "0 ['before'] True\n", proc.stderr
    owners, orphans = labels(road)
    assert owners == {k: 2 for k in ("before", "parent-block", "child", "child-block", "parent-after-fork")}
    assert orphans == 0


def test_kill_during_a_tree_save_leaves_nothing_of_it(road, tmp_path):
    proc = run(KILLED, road, tmp_path)
    assert proc.returncode == -9 and "saved" not in proc.stdout, (proc.returncode, proc.stderr)
    assert labels(road) == ({}, 0)


def test_run_transaction_reruns_the_loser_of_a_deadlock(road, tmp_path):
    proc = run(DEADLOCK, road, tmp_path)
    assert proc.returncode == 0, proc.stderr
    # Both transfers done, one of them twice; each row holds each once.
    assert proc.stdout in ("[1, 2] [1, 1, 2]\n", "[1, 2] [1, 2, 2]\n"), (proc.stdout, proc.stderr)
    owners, _ = labels(road)
    assert sorted(owners) in (["a12", "b12"], ["a21", "b21"])
