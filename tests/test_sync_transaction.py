"""Transaction blocks of the synchronous SQLite connector, and save/update
with related rows as one transaction."""
import os
import random
import signal
import sqlite3
import subprocess
import sys
import textwrap
import threading
import time

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def other_reader(db_path, sql, args=()):
    """Reads through a connection of its own: sees only committed data."""
    c = sqlite3.connect(db_path)
    try:
        return c.execute(sql, args).fetchall()
    finally:
        c.close()


def names(db_path):
    return sorted(r[0] for r in other_reader(db_path, "SELECT name FROM t_user"))


def program_env():
    return dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [os.environ.get("PYTHONPATH"), ROOT])))


# ------------------------------------------------------------ blocks


class Boom(Exception):
    pass


def write_all_ways(connector, tag):
    """One write through each road a thread has to the database."""
    from tests.models import User

    User.getExecutor().save(User(name=tag + "-save"))
    connector.execute("INSERT INTO t_user (name, active) VALUES (?, 1)", args=(tag + "-execute",))
    # Inside a block getCon() is the block's connection, on any thread.
    con = connector.getCon()
    con.execute("INSERT INTO t_user (name, active) VALUES (?, 1)", (tag + "-getCon",))
    connector.releaseCon(con)  # commits nothing before the block ends


def on_thread(fn, where):
    if where == "main":
        return fn()
    box = []

    def run():
        try:
            fn()
        except BaseException as e:  # noqa: B036 - handed to the caller
            box.append(e)

    t = threading.Thread(target=run)
    t.start()
    t.join(60)
    if box:
        raise box[0]


@pytest.mark.parametrize("where", ["main", "thread"])
@pytest.mark.parametrize("fail", [False, True])
def test_block_commits_at_its_end_or_rolls_back(sqlite_db, db_path, fail, where):
    def block():
        with sqlite_db.transaction() as con:
            assert con is sqlite_db.getCon()
            write_all_ways(sqlite_db, "a")
            # Nothing is visible outside before the end.
            assert names(db_path) == []
            if fail:
                raise Boom

    if fail:
        with pytest.raises(Boom):
            on_thread(block, where)
    else:
        on_thread(block, where)
    assert names(db_path) == ([] if fail else ["a-execute", "a-getCon", "a-save"])


def test_nested_block_is_a_savepoint(sqlite_db, db_path):
    from tests.models import User

    ex = User.getExecutor()
    with sqlite_db.transaction():
        ex.save(User(name="outer"))
        with pytest.raises(Boom):
            with sqlite_db.transaction():
                ex.reset()
                ex.save(User(name="inner-undone"))
                raise Boom
        with sqlite_db.transaction():
            ex.reset()
            ex.save(User(name="inner-kept"))
        assert names(db_path) == []
    assert names(db_path) == ["inner-kept", "outer"]


def test_commit_or_rollback_inside_a_block_is_refused(sqlite_db, db_path):
    # Either would split the block: writes before it kept (or lost) whatever the block did then.
    from tests.models import User

    ex = User.getExecutor()
    with pytest.raises(Boom):
        with sqlite_db.transaction() as con:
            ex.save(User(name="h1"))
            for end in (con.commit, con.rollback, sqlite_db.commit, sqlite_db.rollback, sqlite_db.getCon().commit):
                with pytest.raises(RuntimeError, match="事务块内不能"):
                    end()
            ex.save(User(name="h2"))
            raise Boom
    assert names(db_path) == []
    with sqlite_db.transaction() as con:
        ex.save(User(name="r1"))
    con.commit()  # after the block, the connection is the connector's own again
    assert names(db_path) == ["r1"]


def test_other_threads_wait_for_the_block(sqlite_db, db_path):
    from tests.models import User

    done = threading.Event()

    def save():
        User.getExecutor().save(User(name="other"))
        done.set()

    with sqlite_db.transaction():
        User.getExecutor().save(User(name="mine"))
        t = threading.Thread(target=save)
        t.start()
        assert not done.wait(0.3)
    t.join(30)
    assert done.is_set()
    assert names(db_path) == ["mine", "other"]


def test_fall_back_to_update_inside_a_block(sqlite_db, db_path):
    from tests.models import User

    ex = User.getExecutor()
    u = ex.save(User(name="first"))
    with sqlite_db.transaction():
        ex.reset()
        # The failing insert ends only itself, not the block.
        ex.save(User(id=u.id, name="second"))
        ex.reset()
        ex.save(User(name="third"))
    assert names(db_path) == ["second", "third"]


def test_failing_related_row_leaves_none_of_the_tree(sqlite_db, db_path):
    from tests.models import User

    sqlite_db.execute(
        "CREATE TRIGGER no_boom BEFORE INSERT ON t_post WHEN NEW.title = 'boom' "
        "BEGIN SELECT abs(-9223372036854775807 - 1); END"
    )
    sqlite_db.commit()
    ex = User.getExecutor()
    with pytest.raises(sqlite3.OperationalError, match="integer overflow"):
        ex.save(User(name="tree", profile={"bio": "b"}, posts=[{"title": "ok"}, {"title": "boom"}]))
    for table in ("t_user", "t_profile", "t_post"):
        assert other_reader(db_path, "SELECT count(*) FROM %s" % table) == [(0,)]
    # The connector is usable afterwards, and a whole tree is stored whole.
    ex.reset()
    u = ex.save(User(name="tree", profile={"bio": "b"}, posts=[{"title": "ok"}]))
    assert other_reader(db_path, "SELECT count(*) FROM t_post WHERE user_id = ?", (u.id,)) == [(1,)]


def test_block_ended_on_another_thread_is_refused(sqlite_db):
    tx = sqlite_db.transaction()
    tx.__enter__()
    with pytest.raises(RuntimeError):
        on_thread(lambda: tx.__exit__(None, None, None), "thread")
    tx.__exit__(None, None, None)
    # The lock is free again.
    on_thread(lambda: sqlite_db.execute("SELECT 1"), "thread")


# ------------------------------------------------------------ whole programs

COUNTER = textwrap.dedent(
    """
    import sys, threading
    from Tavrik.DB.Connector import Sqlite3Connector
    from Tavrik.DB.DB import DB
    from Tavrik.Ext import generate_table
    from Tavrik.Model.Korvid import Korvid
    from Tavrik.Model.ModelProperty import IntProperty

    class Counter(Korvid):
        tableName = "tx_counter"
        id = IntProperty(primaryKey=True)
        value = IntProperty(nullable=True)

    connector = Sqlite3Connector(sys.argv[1], showLog=False)
    DB.create(connector)
    generate_table()
    Counter.getExecutor().save(Counter(id=1, value=0))
    start = threading.Barrier(4)

    def worker():
        start.wait()
        ex = Counter.getExecutor()
        for _ in range(100):
            with connector.transaction():
                ex.reset()
                row = ex.findOneBy(Counter.id == 1)
                row["value"] = row.value + 1
                ex.reset()
                ex.update(row)

    threads = [threading.Thread(target=worker) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    """
)


def test_read_modify_write_in_blocks_loses_no_update(tmp_path):
    path = str(tmp_path / "counter.db")
    script = tmp_path / "counter.py"
    script.write_text(COUNTER)
    proc = subprocess.run(
        [sys.executable, str(script), path], capture_output=True, text=True, timeout=60, env=program_env(), cwd=ROOT
    )
    assert proc.returncode == 0, proc.stderr
    assert other_reader(path, "SELECT value FROM tx_counter WHERE id = 1") == [(400,)]


WRITER = textwrap.dedent(
    """
    import sys
    from Tavrik.DB.Connector import Sqlite3Connector
    from Tavrik.DB.DB import DB
    from Tavrik.Ext import generate_table
    from tests.models import Role, User

    connector = Sqlite3Connector(sys.argv[1], showLog=False)
    DB.create(connector)
    generate_table()
    roles = {r.name: r for r in Role.getExecutor().findAllBy()}
    for name in "abcd":
        if name not in roles:
            roles[name] = Role.getExecutor().save(Role(name=name))
    ex = User.getExecutor()
    print("ready", flush=True)
    i = 0
    while True:
        i += 1
        ex.reset()
        u = ex.save(User(name="u%d" % i, profile={"bio": "b%d" % i},
                         posts=[{"title": "p%d-%d" % (i, k)} for k in range(3)],
                         roles=[roles["a"], roles["b"]]))
        # Every other owner is updated whole too: one more post, new roles.
        if i % 2 == 0:
            u["posts"] = u.posts + [{"title": "p%d-3" % i}]
            u["roles"] = [roles["c"], roles["d"]]
            ex.reset()
            ex.update(u)
    """
)


def whole_trees(path):
    """Owners whose stored tree is not whole: name -> what is stored."""
    con = sqlite3.connect(path)
    try:
        broken = {}
        users = con.execute("SELECT id, name FROM t_user").fetchall()
        for uid, name in users:
            i = int(name[1:])
            profiles = con.execute("SELECT bio FROM t_profile WHERE user_id = ?", (uid,)).fetchall()
            posts = sorted(r[0] for r in con.execute("SELECT title FROM t_post WHERE user_id = ?", (uid,)))
            roles = sorted(
                r[0]
                for r in con.execute(
                    "SELECT r.name FROM t_user_role j JOIN t_role r ON r.id = j.t_role_id WHERE j.t_user_id = ?", (uid,)
                )
            )
            saved = (["b%d" % i], ["p%d-%d" % (i, k) for k in range(3)], ["a", "b"])
            updated = (saved[0], saved[1] + ["p%d-3" % i], ["c", "d"])
            got = ([p[0] for p in profiles], posts, roles)
            if got != saved and got != updated:
                broken[name] = got
        return len(users), broken
    finally:
        con.close()


def test_killed_writer_leaves_whole_trees_or_none(tmp_path):
    path = str(tmp_path / "killed.db")
    script = tmp_path / "writer.py"
    script.write_text(WRITER)
    rng = random.Random(7)
    for _ in range(8):
        proc = subprocess.Popen(
            [sys.executable, str(script), path], stdout=subprocess.PIPE, env=program_env(), cwd=ROOT, text=True
        )
        try:
            assert proc.stdout.readline().strip() == "ready"
            time.sleep(rng.uniform(0.02, 0.3))
        finally:
            proc.send_signal(signal.SIGKILL)
            proc.wait(60)
            proc.stdout.close()
    owners, broken = whole_trees(path)
    assert owners > 0
    assert broken == {}
