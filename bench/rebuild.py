"""A schema change SQLite's ALTER TABLE cannot make: a column's type and
nullability changed on a large table.  Tavrik's migration (python -m
Tavrik.migrate upgrade: the revision's alter_column rebuilds the table)
beside the hand-written rebuild in one transaction: CREATE the new table,
INSERT INTO it SELECT the rows, DROP the old one, RENAME, CREATE INDEX."""
import os
import shutil
import sqlite3

from common import Runner, expect

TABLE = "bench_rebuilt"
# The hand-written rebuild, as the table is declared (TEXT, INTEGER on
# SQLite): qty becomes NOT NULL DEFAULT 0.
REBUILD = [
    "CREATE TABLE `_new_bench_rebuilt` (`id` INTEGER PRIMARY KEY, `name` TEXT NOT NULL, "
    "`qty` INTEGER NOT NULL DEFAULT 0, `price` REAL, `note` TEXT)",
    "INSERT INTO `_new_bench_rebuilt` (`id`, `name`, `qty`, `price`, `note`) "
    "SELECT `id`, `name`, `qty`, `price`, `note` FROM `bench_rebuilt`",
    "DROP TABLE `bench_rebuilt`",
    "ALTER TABLE `_new_bench_rebuilt` RENAME TO `bench_rebuilt`",
    "CREATE INDEX `ix_bench_rebuilt_qty` ON `bench_rebuilt` (`qty`)",
]

_COLUMNS = """[
    {'name': 'id', 'type': 'IntProperty', 'args': [], 'nullable': False, 'primaryKey': True, 'unique': False,
     'index': False, 'default': AutoIncrement},
    {'name': 'name', 'type': 'StrProperty', 'args': [64], 'nullable': False, 'primaryKey': False, 'unique': False,
     'index': False},
    %s,
    {'name': 'price', 'type': 'FloatProperty', 'args': [], 'nullable': True, 'primaryKey': False, 'unique': False,
     'index': False},
    {'name': 'note', 'type': 'TextProperty', 'args': [], 'nullable': True, 'primaryKey': False, 'unique': False,
     'index': False},
]"""
_QTY_BEFORE = ("{'name': 'qty', 'type': 'IntProperty', 'args': [], 'nullable': True, 'primaryKey': False, "
               "'unique': False, 'index': True}")
_QTY_AFTER = ("{'name': 'qty', 'type': 'BigIntProperty', 'args': [], 'nullable': False, 'primaryKey': False, "
              "'unique': False, 'index': True, 'default': 0}")
_REVISION = """
from Tavrik.Model.ModelProperty import AutoIncrement

revision = %(rev)r
down_revision = %(down)r
reviewed = True


def upgrade(op):
    %(up)s


def downgrade(op):
    %(down_op)s


state = {%(table)r: %(columns)s}
"""


def _revisions(directory):
    os.makedirs(directory, exist_ok=True)
    first = _REVISION % dict(rev="r1", down=None, up="op.create_table(%r, %s)" % (TABLE, _COLUMNS % _QTY_BEFORE),
                             down_op="op.drop_table(%r)" % TABLE, table=TABLE, columns=_COLUMNS % _QTY_BEFORE)
    after = "{" + _QTY_AFTER[1:-1] + "}"
    second = _REVISION % dict(rev="r2", down="r1",
                              up="op.alter_column(%r, %s)" % (TABLE, after.replace(", 'unique': False, "
                                                                                   "'index': True", "")),
                              down_op="op.alter_column(%r, %s)" % (TABLE, _QTY_BEFORE.replace(
                                  ", 'unique': False, 'index': True", "")),
                              table=TABLE, columns=_COLUMNS % _QTY_AFTER)
    with open(os.path.join(directory, "0001_r1_create.py"), "w") as f:
        f.write(first)
    with open(os.path.join(directory, "0002_r2_qty.py"), "w") as f:
        f.write(second)


def _template(ctx):
    """The table at the first revision, filled (made once, copied per run)."""
    path = os.path.join(ctx.tmp, "rebuild_template.db")
    migrations = os.path.join(ctx.tmp, "rebuild_migrations")
    if not os.path.exists(path):
        _revisions(migrations)
        import Tavrik.migrate

        Tavrik.migrate.upgrade("sqlite:///" + path, "r1", directory=migrations, report=lambda s: None)
        con = sqlite3.connect(path)
        n = ctx.sizes.rebuild_rows
        con.executemany("INSERT INTO `bench_rebuilt` (`name`, `qty`, `price`, `note`) VALUES (?, ?, ?, ?)",
                        (("name%07d" % i, i % 1000, i * 0.5, None if i % 4 == 0 else "note %d" % i)
                         for i in range(n)))
        con.commit()
        con.close()
    return path, migrations


def _check(path, n):
    con = sqlite3.connect(path)
    try:
        cols = {r[1]: (r[2], r[3]) for r in con.execute("PRAGMA table_info(`bench_rebuilt`)")}
        expect(cols["qty"] == ("INTEGER", 1), "qty not rebuilt: %r" % (cols["qty"],))
        expect(con.execute("SELECT count(*), sum(`qty`) FROM `bench_rebuilt`").fetchone()
               == (n, sum(i % 1000 for i in range(n))), "rows lost in the rebuild")
        indexed = [r for r in con.execute("PRAGMA index_list(`bench_rebuilt`)")]
        expect(len(indexed) == 1, "index not remade: %r" % (indexed,))
    finally:
        con.close()


def _fresh(ctx, name):
    template, migrations = _template(ctx)
    path = os.path.join(ctx.tmp, name + ".db")

    def before():
        shutil.copyfile(template, path)

    return path, migrations, before


def raw(ctx):
    path, _, before = _fresh(ctx, "rebuild_raw")
    n = ctx.sizes.rebuild_rows

    def run():
        con = sqlite3.connect(path, isolation_level=None)
        try:
            con.execute("BEGIN IMMEDIATE")
            for sql in REBUILD:
                con.execute(sql)
            con.execute("COMMIT")
        finally:
            con.close()
        return n

    return Runner(run, lambda res: _check(path, n), before, units=n)


def tavrik(ctx):
    import Tavrik.migrate

    path, migrations, before = _fresh(ctx, "rebuild_tavrik")
    n = ctx.sizes.rebuild_rows

    def run():
        Tavrik.migrate.upgrade("sqlite:///" + path, "head", directory=migrations, report=lambda s: None)
        return n

    return Runner(run, lambda res: _check(path, n), before, units=n, note="python -m Tavrik.migrate upgrade")
