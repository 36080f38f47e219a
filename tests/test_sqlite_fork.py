"""A forked child gets its own module lock and its own connections: a child
that dies holding the lock, or in the middle of a transaction, does not
block its parent, and a child forked while a parent thread holds the lock
is not blocked by it.  (A write transaction open in the parent at the fork
still holds the database file for the child: SQLite keeps the file's lock
state per process.)"""
import os
import sqlite3
import subprocess
import sys
import textwrap

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

PROGRAM = textwrap.dedent(
    """
    import os, sys, threading, time
    from Tavrik.DB import Connector
    from Tavrik.DB.Connector import Sqlite3Connector
    from Tavrik.DB.DB import DB
    from Tavrik.Ext import generate_table
    from Tavrik.Model.Korvid import Korvid
    from Tavrik.Model.ModelProperty import AutoIncrement, IntProperty, StrProperty

    class ForkRow(Korvid):
        tableName = "fork_row"
        id = IntProperty(primaryKey=True, default=AutoIncrement)
        label = StrProperty(40)

    connector = Sqlite3Connector(sys.argv[1], showLog=False)
    DB.create(connector)
    generate_table()

    def save(label):
        ForkRow.getExecutor().save(ForkRow(label=label))

    def child(action):
        pid = os.fork()
        if pid == 0:
            code = 1
            try:
                action()
                code = 0
            finally:
                os._exit(code)
        return pid

    def wait(pid):
        # A child still running after 20 s is stuck: reported, not waited for.
        for _ in range(400):
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                return os.waitstatus_to_exitcode(status)
            time.sleep(0.05)
        os.kill(pid, 9)
        os.waitpid(pid, 0)
        return "stuck"

    def take_lock_and_die():
        Connector.lock.acquire()
        os._exit(0)

    def die_in_a_block():
        with connector.transaction():
            save("child-undone")
            os._exit(0)

    save("parent-1")
    print("lock", wait(child(take_lock_and_die)))
    save("parent-2")
    print("block", wait(child(die_in_a_block)))
    save("parent-3")

    holding, release = threading.Event(), threading.Event()

    def holder():
        # Holds the lock as a statement of this thread would, at the fork.
        with Connector.lock:
            holding.set()
            release.wait(30)
        save("parent-holder")

    t = threading.Thread(target=holder)
    t.start()
    holding.wait(30)
    pid = child(lambda: save("child-written"))
    time.sleep(0.2)
    release.set()
    t.join()
    print("held", wait(pid))
    save("parent-4")
    print("end")
    """
)


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork()")
def test_children_cannot_block_their_parent(tmp_path):
    path = str(tmp_path / "fork.db")
    script = tmp_path / "prog.py"
    script.write_text(PROGRAM)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [os.environ.get("PYTHONPATH"), ROOT])))
    proc = subprocess.run(
        [sys.executable, str(script), path], capture_output=True, text=True, timeout=60, env=env, cwd=ROOT
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split("\n") == ["lock 0", "block 0", "held 0", "end", ""], proc.stderr
    con = sqlite3.connect(path)
    try:
        labels = sorted(r[0] for r in con.execute("SELECT label FROM fork_row"))
    finally:
        con.close()
    assert labels == sorted(["parent-1", "parent-2", "parent-3", "parent-holder", "child-written", "parent-4"])
