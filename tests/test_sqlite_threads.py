"""Threads sharing one Sqlite3Connector: every statement's rows are read
while the module lock is held, so a failing statement of another thread (and
the rollback it causes) cannot cut short, lengthen or break a read."""
import json
import os
import sqlite3
import subprocess
import sys
import textwrap

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

ROWS = 20000

PROGRAM = textwrap.dedent(
    """
    import json, sys, threading
    from Tavrik.DB.Connector import Sqlite3Connector
    from Tavrik.DB.DB import DB
    from Tavrik.Model.Korvid import Korvid
    from Tavrik.Model.ModelProperty import AutoIncrement, IntProperty, StrProperty

    class ThRow(Korvid):
        tableName = "th_row"
        id = IntProperty(primaryKey=True, default=AutoIncrement)
        label = StrProperty(40)

    connector = Sqlite3Connector(sys.argv[1], showLog=False)
    DB.create(connector)
    errors, lengths, bad_labels, counts, tables = [], [], [], [], []
    start = threading.Barrier(5)

    def guarded(fn):
        def run():
            try:
                start.wait()
                fn()
            except BaseException as e:
                errors.append("%s: %s" % (type(e).__name__, e))
        return run

    def reader():
        ex = ThRow.getExecutor()
        for _ in range(4):
            rows = ex.findAllBy()
            lengths.append(len(rows))
            bad_labels.extend(r.label for r in rows if not r.label.startswith(("r", "w")))

    def writer():
        # The insert of an existing key fails and turns into an update.
        ex = ThRow.getExecutor()
        for i in range(60):
            ex.reset()
            ex.save(ThRow(id=1, label="w%d" % i))

    def raw():
        for _ in range(30):
            counts.append(connector.execute("SELECT count(*) FROM th_row")[0][0])
            counts.append(len(list(connector.execute("SELECT id FROM th_row", dictCur=True))))
            tables.append(connector.getTableNameList())

    threads = [threading.Thread(target=guarded(f)) for f in (reader, reader, reader, writer, raw)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    print(json.dumps(dict(errors=errors, lengths=lengths, bad=bad_labels[:5], counts=sorted(set(counts)),
                          tables=sorted({tuple(t) for t in tables}))))
    """
)


def test_reads_beside_a_failing_writer_are_whole(tmp_path):
    path = str(tmp_path / "threads.db")
    con = sqlite3.connect(path)
    con.execute("CREATE TABLE th_row (id INTEGER PRIMARY KEY, label VARCHAR(40) NOT NULL)")
    con.executemany("INSERT INTO th_row (id, label) VALUES (?, ?)", ((i, "r%d" % i) for i in range(1, ROWS + 1)))
    con.commit()
    con.close()
    script = tmp_path / "prog.py"
    script.write_text(PROGRAM)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [os.environ.get("PYTHONPATH"), ROOT])))
    proc = subprocess.run(
        [sys.executable, str(script), path], capture_output=True, text=True, timeout=120, env=env, cwd=ROOT
    )
    assert proc.returncode == 0, proc.stderr
    out = json.loads(proc.stdout.strip().splitlines()[-1])
    assert out["errors"] == []
    assert out["lengths"] == [ROWS] * 12
    assert out["bad"] == []
    assert out["counts"] == [ROWS]
    assert out["tables"] == [["th_row"]]
    con = sqlite3.connect(path)
    try:
        assert con.execute("SELECT label FROM th_row WHERE id = 1").fetchall() == [("w59",)]
        assert con.execute("SELECT count(*) FROM th_row").fetchall() == [(ROWS,)]
    finally:
        con.close()
