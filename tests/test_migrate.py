"""Schema migrations as a user runs them: every command is
`python -m Tavrik.migrate ...` in a fresh interpreter, the models a module
of the user's, and the database read afterwards through a connection of the
test's own.  Table and column names are hostile throughout."""
import json
import os
import random
import re
import sqlite3
import subprocess
import sys
import threading
from decimal import Decimal
import time
from urllib.parse import quote

import pytest

from tests.conftest import require_mysql

TABLE = 'it`em "x"; DROP TABLE t;--'
LABEL = "order"  # a reserved word, declared through name=
PRICE = "p%s?"

MODELS_V1 = """
from Tavrik.Model.Korvid import Korvid
from Tavrik.Model.ModelProperty import AutoIncrement, IntProperty, StrProperty

class Item(Korvid):
    tableName = %(table)r
    id = IntProperty(primaryKey=True, default=AutoIncrement)
    label = StrProperty(64, name=%(label)r)
"""

# The user adds a column (and an index on it) to the model.
MODELS_V2 = MODELS_V1 + """\
    price = IntProperty(nullable=True, name=%(price)r, index=True)
"""

SAVE = """
import sys
from Tavrik.DB import connect
from Tavrik.DB.DB import DB
from models import Item
DB.create(connect(sys.argv[1]))
for label, price in %(rows)r:
    row = Item(label=label) if price is None else Item(label=label, price=price)
    Item.getExecutor().save(row)
print("saved")
"""


class Backend:
    """A database of the test's own: its URL for the program, and a
    connection of the test's to read it."""

    def __init__(self, name, url, connect, placeholder):
        self.name = name
        self.url = url
        self._connect = connect
        self.placeholder = placeholder

    def query(self, sql, params=()):
        con = self._connect()
        try:
            cur = con.cursor()
            if params:
                cur.execute(sql.replace("%s", self.placeholder), params)
            else:
                cur.execute(sql)
            rows = [tuple(r) for r in cur.fetchall()] if cur.description else []
            con.commit()
            return rows
        finally:
            con.close()

    def name_of(self, name):
        q = '"' if self.name == "postgresql" else "`"
        return q + name.replace(q, q + q) + q

    def tables(self):
        if self.name == "sqlite":
            return {r[0] for r in self.query("SELECT name FROM sqlite_master WHERE type = 'table'")}
        if self.name == "mysql":
            return {r[0] for r in self.query(
                "SELECT TABLE_NAME FROM information_schema.TABLES WHERE TABLE_SCHEMA = DATABASE()")}
        return {r[0] for r in self.query(
            "SELECT table_name FROM information_schema.tables WHERE table_schema = 'public'")}

    def columns(self, table):
        """{column: nullable} of a table."""
        if self.name == "sqlite":
            rows = self.query("PRAGMA table_info(%s)" % self.name_of(table))
            return {r[1]: not r[3] and not r[5] for r in rows}
        sql = ("SELECT column_name, is_nullable FROM information_schema.columns WHERE table_name = %s AND "
               + ("table_schema = DATABASE()" if self.name == "mysql" else "table_schema = 'public'")
               + " ORDER BY ordinal_position")
        return {r[0]: r[1] == "YES" for r in self.query(sql, (table,))}

    def indexed(self, table, column):
        if self.name == "sqlite":
            for ix in self.query("PRAGMA index_list(%s)" % self.name_of(table)):
                if [r[2] for r in self.query("PRAGMA index_info(%s)" % self.name_of(ix[1]))] == [column]:
                    return True
            return False
        if self.name == "mysql":
            return bool(self.query("SELECT 1 FROM information_schema.STATISTICS WHERE TABLE_SCHEMA = DATABASE() "
                                   "AND TABLE_NAME = %s AND COLUMN_NAME = %s", (table, column)))
        return bool(self.query(
            "SELECT 1 FROM pg_index i JOIN pg_class t ON t.oid = i.indrelid JOIN pg_attribute a "
            "ON a.attrelid = t.oid AND a.attnum = ANY(i.indkey) WHERE t.relname = %s AND a.attname = %s "
            "AND NOT i.indisprimary", (table, column)))

    def fill(self, table, column, values):
        con = self._connect()
        try:
            sql = "INSERT INTO %s (%s) VALUES (%s)" % (self.name_of(table), self.name_of(column), self.placeholder)
            con.cursor().executemany(sql, [(v,) for v in values])
            con.commit()
        finally:
            con.close()

    def rows(self, table, *columns):
        cols = ", ".join(self.name_of(c) for c in columns)
        return self.query("SELECT %s FROM %s ORDER BY %s" % (cols, self.name_of(table), self.name_of("id")))


def _mysql_backend():
    import pymysql

    s = dict(require_mysql())
    s.pop("autocommit", None)
    con = pymysql.connect(**s)
    try:
        with con.cursor() as cur:
            cur.execute("SELECT TABLE_NAME FROM information_schema.TABLES WHERE TABLE_SCHEMA = DATABASE()")
            for (name,) in cur.fetchall():
                cur.execute("DROP TABLE `%s`" % name.replace("`", "``"))
        con.commit()
    finally:
        con.close()
    url = "mysql://%s:%s@%s:%d/%s" % (quote(s["user"], safe=""), quote(s["password"], safe=""), s["host"],
                                      s["port"], quote(s["db"], safe=""))
    return Backend("mysql", url, lambda: pymysql.connect(**s), "%s")


@pytest.fixture(params=["sqlite", "mysql", "postgresql"])
def backend(request, tmp_path):
    if request.param == "sqlite":
        path = str(tmp_path / "app.db")
        return Backend("sqlite", "sqlite:///" + path, lambda: sqlite3.connect(path), "?")
    if request.param == "mysql":
        return _mysql_backend()
    import psycopg

    dsn = request.getfixturevalue("pg_dsn")
    return Backend("postgresql", dsn, lambda: psycopg.connect(dsn), "%s")


class Project:
    """The user's directory: the models module and the migrations."""

    def __init__(self, path, backend):
        self.path = path
        self.backend = backend

    def models(self, text, **names):
        values = dict(table=TABLE, label=LABEL, price=PRICE)
        values.update(names)
        (self.path / "models.py").write_text(text % values)

    def _env(self):
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join([str(self.path)] + [p for p in sys.path if p])
        return env

    def _command(self, args, url):
        cmd = [sys.executable, "-m", "Tavrik.migrate", "--models", "models"]
        return cmd + (["--url", self.backend.url] if url else []) + list(args)

    def start(self, *args):
        return subprocess.Popen(self._command(args, True), cwd=str(self.path), env=self._env(),
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def run(self, *args, url=True, ok=True):
        proc = subprocess.run(self._command(args, url), cwd=str(self.path), capture_output=True, text=True,
                              env=self._env(), timeout=120)
        if ok:
            assert proc.returncode == 0, (args, proc.stdout, proc.stderr)
        return proc

    def api(self, command, *args):
        """A command run in this process, through Tavrik.migrate (upgrade, downgrade: no models needed)."""
        import Tavrik.migrate

        return getattr(Tavrik.migrate, command)(self.backend.url, *args, directory=str(self.path / "migrations"),
                                                report=lambda text: None)

    def save(self, rows):
        proc = subprocess.run([sys.executable, "-c", SAVE % dict(rows=rows), self.backend.url], cwd=str(self.path),
                              capture_output=True, text=True, env=self._env(), timeout=120)
        assert proc.returncode == 0, proc.stderr
        assert proc.stdout.strip() == "saved"

    def revision(self, number):
        (found,) = [f for f in os.listdir(self.path / "migrations") if f.startswith("%04d_" % number)]
        return self.path / "migrations" / found

    def review(self, number):
        path = self.revision(number)
        text = path.read_text()
        assert "reviewed = False" in text
        path.write_text(text.replace("reviewed = False", "reviewed = True"))

    def revision_id(self, number):
        (rev,) = re.findall(r"^revision = '(\w+)'", self.revision(number).read_text(), re.M)
        return rev


@pytest.fixture
def project(tmp_path, backend):
    p = Project(tmp_path, backend)
    p.run("init", url=False)
    return p


def test_added_column_keeps_rows(project, backend):
    project.models(MODELS_V1)
    project.run("make", "-m", "items", url=False)
    project.run("upgrade")
    project.save([("first", None), ("it's %s", None)])

    project.models(MODELS_V2)
    assert project.run("check", ok=False).returncode == 1
    project.run("make", "-m", "add price", url=False)
    printed = project.run("sql").stdout
    assert "ADD COLUMN" in printed
    assert PRICE not in backend.columns(TABLE)  # sql runs nothing
    project.run("upgrade")
    project.run("check")
    project.save([("third", 7)])

    assert backend.columns(TABLE) == {"id": False, LABEL: True, PRICE: True}
    assert backend.indexed(TABLE, PRICE)
    # Ids are not compared: a Galera node hands out every third one.
    assert backend.rows(TABLE, LABEL, PRICE) == [("first", None), ("it's %s", None), ("third", 7)]

    # A column added by hand is drift check reports.
    backend.query("ALTER TABLE %s ADD COLUMN %s INTEGER" % (backend.name_of(TABLE), backend.name_of("by hand")))
    proc = project.run("check", ok=False)
    assert proc.returncode == 1 and "'by hand'" in proc.stdout and "not in the models" in proc.stdout


# The second revision renames a column (as the user says), changes its
# type, and makes another unique: SQLite rebuilds the table for the type.
MODELS_V3 = """
from Tavrik.Model.Korvid import Korvid
from Tavrik.Model.ModelProperty import AutoIncrement, IntProperty, StrProperty

class Item(Korvid):
    tableName = %(table)r
    id = IntProperty(primaryKey=True, default=AutoIncrement)
    label = StrProperty(64, name=%(label)r, unique=True)
    cost = StrProperty(20, nullable=True, name=%(cost)r)
"""


def test_down_to_base_and_up_again(project, backend):
    project.models(MODELS_V2)
    project.run("make", "-m", "items", url=False)
    project.run("upgrade")
    project.save([("first", 5), ("second", None)])
    project.models(MODELS_V3, cost="desc")
    project.run("make", "-m", "cost", "--rename", "%s.%s:desc" % (TABLE, PRICE), url=False)
    # An integer turned into a string may not fit: the revision waits for review.
    assert project.run("upgrade", ok=False).returncode == 1
    project.review(2)
    project.run("upgrade")
    assert backend.columns(TABLE) == {"id": False, LABEL: True, "desc": True}
    assert backend.indexed(TABLE, LABEL) and not backend.indexed(TABLE, "desc")
    assert backend.rows(TABLE, LABEL, "desc") == [("first", "5"), ("second", None)]

    project.run("downgrade", project.revision_id(1))
    assert backend.columns(TABLE) == {"id": False, LABEL: True, PRICE: True}
    assert backend.indexed(TABLE, PRICE) and not backend.indexed(TABLE, LABEL)
    assert backend.rows(TABLE, LABEL, PRICE) == [("first", 5), ("second", None)]

    project.run("downgrade", "base")
    assert backend.tables() == {"tavrik_revision"}
    assert project.run("current").stdout.strip() == "base"
    project.run("upgrade", "head")
    assert backend.columns(TABLE) == {"id": False, LABEL: True, "desc": True}
    assert backend.indexed(TABLE, LABEL)
    project.run("check")


def test_unreviewed_drop_is_refused(project, backend):
    project.models(MODELS_V2)
    project.run("make", "-m", "items", url=False)
    project.run("upgrade")
    project.save([("kept", 3)])
    project.models(MODELS_V1)
    project.run("make", "-m", "drop price", url=False)
    path = project.revision(2)
    assert "reviewed = False" in path.read_text()

    proc = project.run("upgrade", ok=False)
    assert proc.returncode != 0 and "not reviewed" in proc.stderr
    assert backend.rows(TABLE, LABEL, PRICE) == [("kept", 3)]
    assert len(backend.query("SELECT * FROM tavrik_revision")) == 1

    path.write_text(path.read_text().replace("reviewed = False", "reviewed = True"))
    project.run("upgrade")
    assert backend.columns(TABLE) == {"id": False, LABEL: True}


FAILING = """
from Tavrik.Model.ModelProperty import AutoIncrement

revision = "b2"
down_revision = %(down)r
reviewed = True


def upgrade(op):
    op.add_column(%(table)r, {"name": "extra", "type": "IntProperty", "args": [], "nullable": True,
                             "primaryKey": False})
    op.execute("INSERT INTO %(marks)s (n) VALUES (%%s)", (1,))
    op.execute(%(third)r)


def downgrade(op):
    op.drop_column(%(table)r, "extra")


state = %(state)s
"""


def test_failed_revision_is_undone_or_resumed(project, backend):
    project.models(MODELS_V1)
    project.run("make", "-m", "items", url=False)
    project.run("upgrade")
    backend.query("CREATE TABLE marks (n INTEGER)")
    first = project.revision(1).read_text()
    (down,) = re.findall(r"^revision = '(\w+)'", first, re.M)
    state = first.split("\nstate = ", 1)[1]

    def write(third):
        text = FAILING % dict(down=down, table=TABLE, marks="marks", third=third, state=state)
        (project.path / "migrations" / "0002_b2_failing.py").write_text(text)

    write("INSERT INTO no_such_table VALUES (1)")
    proc = project.run("upgrade", ok=False)
    assert proc.returncode != 0 and "statement 3 of 3" in proc.stderr
    if backend.name == "mysql":
        # Each DDL committed by itself: the steps done stay, and are recorded.
        assert "2 done" in proc.stderr
        assert "extra" in backend.columns(TABLE)
        assert "stopped after 2 statement(s)" in project.run("current").stdout
    else:
        assert "nothing of it was applied" in proc.stderr
        assert "extra" not in backend.columns(TABLE)
        assert backend.query("SELECT n FROM marks") == []

    write("UPDATE marks SET n = n + 10")
    proc = project.run("upgrade")
    if backend.name == "mysql":
        assert "resuming b2 after 2 of 3" in proc.stdout
    assert "extra" in backend.columns(TABLE)
    assert backend.query("SELECT n FROM marks") == [(11,)]
    assert project.run("current").stdout.strip() == "b2"


HITS = """
from Tavrik.Model.ModelProperty import AutoIncrement

revision = "h2"
down_revision = %(down)r
reviewed = True


def upgrade(op):
    op.execute("INSERT INTO %(hits)s (n) VALUES (1)")
    op.execute(%(pause)r)
    op.execute("UPDATE %(hits)s SET n = n + 1")


def downgrade(op):
    pass


state = %(state)s
"""

PAUSE = {
    "sqlite": "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 300000) SELECT count(*) FROM c",
    "mysql": "SELECT SLEEP(0.3)",
    "postgresql": "SELECT pg_sleep(0.3)",
}


def test_concurrent_upgrades_apply_each_revision_once(project, backend):
    project.models(MODELS_V1)
    project.run("make", "-m", "items", url=False)
    first = project.revision(1).read_text()
    (down,) = re.findall(r"^revision = '(\w+)'", first, re.M)
    first = first.replace("def upgrade(op):\n", "def upgrade(op):\n    op.execute(%r)\n"
                          % "CREATE TABLE hits (n INTEGER)")
    project.revision(1).write_text(first)
    text = HITS % dict(down=down, hits="hits", pause=PAUSE[backend.name], state=first.split("\nstate = ", 1)[1])
    (project.path / "migrations" / "0002_h2_hits.py").write_text(text)

    results = []
    runs = [threading.Thread(target=lambda: results.append(project.run("upgrade", ok=False))) for _ in range(2)]
    for t in runs:
        t.start()
    for t in runs:
        t.join()
    assert [p.returncode for p in results] == [0, 0], [p.stderr for p in results]
    assert backend.query("SELECT n FROM hits") == [(2,)]
    assert len(backend.query("SELECT * FROM tavrik_revision")) == 2


def test_killed_upgrades_leave_whole_revisions(project, backend):
    """SIGKILL at random moments of upgrade: SQLite and PostgreSQL are found
    at a revision, never between two; MySQL resumes to the right schema."""
    project.models(MODELS_V1)
    project.run("make", "-m", "items", url=False)
    project.models(MODELS_V2)
    project.run("make", "-m", "price", url=False)
    project.models(MODELS_V3, cost="desc")
    project.run("make", "-m", "cost", "--rename", "%s.%s:desc" % (TABLE, PRICE), url=False)
    project.review(3)
    first, second, head = (project.revision_id(n) for n in (1, 2, 3))
    schema = {first: {"id": False, LABEL: True}, second: {"id": False, LABEL: True, PRICE: True},
              head: {"id": False, LABEL: True, "desc": True}}
    project.run("upgrade", first)
    labels = ["row %d" % n for n in range(20000)]  # enough that each change takes a while
    backend.fill(TABLE, LABEL, labels)

    began = time.monotonic()
    project.run("history", url=False)
    idle = time.monotonic() - began  # a run that does nothing
    began = time.monotonic()
    project.run("upgrade")
    full = time.monotonic() - began
    project.run("downgrade", first)

    rng = random.Random(7)
    kills = 0
    while kills < 20:
        proc = project.start("upgrade")
        time.sleep(rng.uniform(idle * 0.8, full * 0.95))
        if proc.poll() is None:
            proc.kill()
            kills += 1
        proc.wait(timeout=120)
        records = {r[0]: (r[1], r[2]) for r in backend.query("SELECT revision, state, steps FROM tavrik_revision")}
        halfway = [rev for rev, (state, _) in records.items() if state != "applied"]
        if halfway:
            assert backend.name == "mysql", records
            project.api("upgrade")
            records = {rev: ("applied", 0) for rev in (first, second, head)}
        at = [rev for rev in (first, second, head) if rev in records][-1]
        assert backend.columns(TABLE) == schema[at], (kills, at)
        assert [r[0] for r in backend.rows(TABLE, LABEL)] == labels
        if at == head:
            project.api("downgrade", first)
    project.run("upgrade")
    project.run("check")


def test_defaults_from_pyproject(tmp_path):
    db = tmp_path / "app.db"
    (tmp_path / "models.py").write_text(MODELS_V1 % dict(table=TABLE, label=LABEL))
    conf = tmp_path / "pyproject.toml"
    conf.write_text('[tool.tavrik]\nurl = "sqlite:///%s"\nmodels = "models"\ndir = "revs"\n' % db)
    inner = tmp_path / "src" / "deep"
    inner.mkdir(parents=True)

    def run(*args):
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
        return subprocess.run([sys.executable, "-m", "Tavrik.migrate"] + list(args), cwd=str(inner),
                              capture_output=True, text=True, env=env, timeout=120)

    for args in (["init"], ["make", "-m", "items"], ["upgrade"], ["check"]):
        proc = run(*args)
        assert proc.returncode == 0, (args, proc.stderr)
    assert len(os.listdir(tmp_path / "revs")) == 1
    assert sqlite3.connect(str(db)).execute("SELECT count(*) FROM tavrik_revision").fetchone() == (1,)

    conf.write_text('[tool.tavrik]\nurl = "sqlite:///%s"\nmodle = "models"\n' % db)
    proc = run("current")
    assert proc.returncode == 1 and "not modle" in proc.stderr


def test_example_migrations_upgrade_and_check(backend):
    examples = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([examples] + [p for p in sys.path if p]))
    for args in (["upgrade"], ["check"], ["downgrade", "base"]):
        proc = subprocess.run([sys.executable, "-m", "Tavrik.migrate", "--models", "models", "--url", backend.url]
                              + args, cwd=examples, capture_output=True, text=True, env=env, timeout=120)
        assert proc.returncode == 0, (args, proc.stdout, proc.stderr)
        if args == ["upgrade"]:
            assert "email" in backend.columns("user")
    assert backend.tables() == {"tavrik_revision"}


TAGS = 'tag "list"'
EVOLVED = """
import decimal
from Tavrik.Model.Korvid import Korvid
from Tavrik.Model.ModelProperty import AutoIncrement, DecimalProperty, IntProperty, JsonProperty, StrProperty

class Item(Korvid):
    tableName = %(table)r
    id = IntProperty(primaryKey=True, default=AutoIncrement)
    label = StrProperty(%(length)d, name=%(label)r, unique=%(unique)r)
%(extra)s
class Tag(Korvid):
    tableName = %(tags)r
    id = IntProperty(primaryKey=True, default=AutoIncrement)
%(word)s
"""
PRICE_INT = "    price = IntProperty(nullable=True, name=%r, index=True)\n" % PRICE
AMOUNT = "    amount = DecimalProperty(%d, %d, nullable=True)\n    meta = JsonProperty(nullable=True)\n"
META = {"k": [1, "it's \"x\""], "n": None}
# Each revision's models and how `make` is told about renames.
REVISIONS = [
    dict(length=64, unique=False, extra="", tags="tag", word="    word = StrProperty(20, nullable=True)"),
    dict(length=64, unique=False, extra=PRICE_INT + AMOUNT % (8, 2), tags="tag",
         word="    word = StrProperty(20, nullable=True)"),
    dict(length=64, unique=True, extra=PRICE_INT + AMOUNT % (8, 2), tags=TAGS,
         word="    word = StrProperty(20, nullable=True)", make=["--rename-table", "tag:" + TAGS]),
    dict(length=128, unique=True, extra="    price = StrProperty(20, nullable=True, name=%r, index=True)\n" % PRICE
         + AMOUNT % (12, 3), tags=TAGS, word="    word = StrProperty(20, nullable=True)"),
    dict(length=128, unique=True, extra="    cost = StrProperty(20, nullable=True, index=True)\n" + AMOUNT % (12, 3),
         tags=TAGS, word="    word = StrProperty(20, nullable=False, default='')",
         make=["--rename", "%s.%s:cost" % (TABLE, PRICE)]),
    dict(length=128, unique=False, extra="    cost = StrProperty(20, nullable=True)\n" + AMOUNT % (12, 3),
         tags=TAGS, word=""),
]
FILL = """
def fill(models):
    # A data migration: each row's price from its label, through the model as it is here.
    item = models[%(table)r]
    for row in item.getExecutor().findAllBy(orderBy=item.id):
        setattr(row, %(price)r, len(getattr(row, %(label)r)))
        setattr(row, "amount", decimal.Decimal("1.25"))
        setattr(row, "meta", %(meta)r)
        item.getExecutor().update(row)


def upgrade(op):
"""


def test_six_revisions_down_to_base_and_up(project, backend):
    for n, rev in enumerate(REVISIONS, 1):
        project.models(EVOLVED, **{k: v for k, v in rev.items() if k != "make"})
        project.run("make", "-m", "step %d" % n, *rev.get("make", []), url=False)
        path = project.revision(n)
        text = path.read_text().replace("reviewed = False", "reviewed = True")
        if n == 2:
            text = text.replace("def upgrade(op):\n", FILL % dict(table=TABLE, price=PRICE, label=LABEL, meta=META), 1)
            text = text.replace("\n\ndef downgrade", "    op.run_python(fill)\n\n\ndef downgrade", 1)
        path.write_text(text)
    assert "op.run_python(fill)" in project.revision(2).read_text()

    labels = ["first", "it's %s"]
    five_seven = [len(s) for s in labels]
    item = {  # revision: ({column: nullable}, rows of the item table's columns after the key)
        1: ({"id": False, LABEL: True}, [(s,) for s in labels]),
        2: ({"id": False, LABEL: True, PRICE: True, "amount": True, "meta": True},
            [(s, p, Decimal("1.25"), META) for s, p in zip(labels, five_seven)]),
        4: ({"id": False, LABEL: True, PRICE: True, "amount": True, "meta": True},
            [(s, str(p), Decimal("1.250"), META) for s, p in zip(labels, five_seven)]),
        5: ({"id": False, LABEL: True, "cost": True, "amount": True, "meta": True},
            [(s, str(p), Decimal("1.250"), META) for s, p in zip(labels, five_seven)]),
    }

    def parsed(row):  # JSON comes back as text from SQLite and MySQL
        return tuple(json.loads(v) if isinstance(v, str) and v.startswith("{") else v for v in row)
    item[3], item[6] = item[2], item[5]

    def at(n, words):
        cols, rows = item[n]
        assert backend.columns(TABLE) == cols, n
        assert [parsed(r) for r in backend.rows(TABLE, *[c for c in cols if c != "id"])] == rows, n
        tags = "tag" if n < 3 else TAGS
        assert backend.tables() == {"tavrik_revision", TABLE, tags}, n
        if n < 6:
            assert backend.columns(tags) == {"id": False, "word": n != 5}, n
            assert [r[0] for r in backend.rows(tags, "word")] == words, n
        else:
            assert backend.columns(tags) == {"id": False}
        assert backend.indexed(TABLE, PRICE if n < 5 else "cost") == (2 <= n <= 5), n
        assert backend.indexed(TABLE, LABEL) == (3 <= n <= 5), n
        applied = {r[0] for r in backend.query("SELECT revision FROM tavrik_revision WHERE state = 'applied'")}
        assert applied == {project.revision_id(k) for k in range(1, n + 1)}, n

    project.api("upgrade", project.revision_id(1))
    backend.fill(TABLE, LABEL, labels)
    backend.fill("tag", "word", ["a", "b"])
    for n in range(2, 7):
        project.api("upgrade", project.revision_id(n))
        at(n, ["a", "b"])
    project.run("check")
    for n in range(5, 0, -1):
        project.api("downgrade", project.revision_id(n))
        # The dropped words come back as the column's default, "" (NOT NULL at 5), then stay.
        at(n, ["", ""])
    project.api("downgrade", "base")
    assert backend.tables() == {"tavrik_revision"}
    project.api("upgrade")
    project.run("check")
    assert backend.columns(TABLE) == item[6][0]


def test_primary_key_change_is_refused(tmp_path):
    (tmp_path / "models.py").write_text(MODELS_V1 % dict(table=TABLE, label=LABEL))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(tmp_path)] + [p for p in sys.path if p]))

    def make():
        return subprocess.run([sys.executable, "-m", "Tavrik.migrate", "--models", "models", "make", "-m", "x"],
                              cwd=str(tmp_path), capture_output=True, text=True, env=env, timeout=120)

    (tmp_path / "migrations").mkdir()
    assert make().returncode == 0
    (tmp_path / "models.py").write_text((MODELS_V1 % dict(table=TABLE, label=LABEL)).replace(
        "IntProperty(primaryKey=True, default=AutoIncrement)", "IntProperty()").replace(
        "name=%r)" % LABEL, "name=%r, primaryKey=True)" % LABEL))
    proc = make()
    assert proc.returncode == 1 and "primary key" in proc.stderr
    assert len(os.listdir(tmp_path / "migrations")) == 1
