"""A wide row written back: fetch a 14-column row by key (text, integers, a
float, a bool, a datetime, a date, a decimal, JSON), change two fields, write
it.  Tavrik's save(), update() and update(row, columns=[...]) beside the
hand-written code: the same SELECT, the values decoded as an application
needs them, one UPDATE of the two changed columns and its commit."""
import datetime
import decimal
import json
import random
import sqlite3

from common import Runner, expect

COLS = ("id", "name", "title", "code", "qty", "stock", "rank", "price", "flag", "created", "day", "amount", "meta",
        "note")
DDL = ("CREATE TABLE IF NOT EXISTS bench_wide (id INTEGER PRIMARY KEY, name VARCHAR(32) NOT NULL, "
       "title VARCHAR(64) NOT NULL, code VARCHAR(16) NOT NULL, qty INTEGER NOT NULL, stock INTEGER NOT NULL, "
       "rank INTEGER NOT NULL, price REAL NOT NULL, flag INTEGER NOT NULL, created DATETIME NOT NULL, "
       "day DATE NOT NULL, amount NUMERIC(12, 2) NOT NULL, meta TEXT, note TEXT)")
_Q = ", ".join("`bench_wide`.`%s`" % c for c in COLS)
SELECT_ONE = "SELECT %s FROM `bench_wide` WHERE `bench_wide`.`id` = ?" % _Q
UPDATE_TWO = "UPDATE `bench_wide` SET `qty` = ?, `note` = ? WHERE `bench_wide`.`id` = ?"
INSERT = "INSERT INTO bench_wide (%s) VALUES (%s)" % (", ".join(COLS), ", ".join("?" * len(COLS)))

_model = []


def model():
    if _model:
        return _model[0]
    from Tavrik.Model.Korvid import Korvid
    from Tavrik.Model.ModelProperty import (BoolProperty, DateProperty, DateTimeProperty, DecimalProperty,
                                             FloatProperty, IntProperty, JsonProperty, StrProperty,
                                             TextProperty)

    class BenchWide(Korvid):
        tableName = "bench_wide"
        id = IntProperty(primaryKey=True)
        name = StrProperty(32)
        title = StrProperty(64)
        code = StrProperty(16)
        qty = IntProperty()
        stock = IntProperty()
        rank = IntProperty()
        price = FloatProperty()
        flag = BoolProperty()
        created = DateTimeProperty()
        day = DateProperty()
        amount = DecimalProperty(12, 2)
        meta = JsonProperty(nullable=True)
        note = TextProperty(nullable=True)

    _model.append(BenchWide)
    return BenchWide


def rows(n, seed=5):
    """The table's rows as stored (database values), ids 1..n."""
    rnd = random.Random(seed)
    base = datetime.datetime(2024, 1, 1, 8, 30, 0)
    out = []
    for i in range(1, n + 1):
        out.append((i, "name%05d" % i, "title of row %d" % i, "C%06d" % rnd.randint(0, 999999), rnd.randint(0, 999),
                    rnd.randint(0, 50), rnd.randint(1, 5), round(rnd.uniform(1, 500), 2), rnd.randint(0, 1),
                    str(base + datetime.timedelta(minutes=i)), str(datetime.date(2024, 1, 1) + datetime.timedelta(i % 365)),
                    "%d.%02d" % (rnd.randint(0, 99999), rnd.randint(0, 99)),
                    json.dumps({"tags": ["a", "b"], "n": i}), "note %d" % i))
    return out


def _keys(n, seed=3):
    keys = list(range(1, n + 1))
    random.Random(seed).shuffle(keys)
    return keys


def _changed(qty, key):
    return qty + 1, "edited %d" % key


def _reload(con, data):
    con.execute(DDL)
    con.execute("DELETE FROM bench_wide")
    con.executemany(INSERT, data)
    con.commit()


def _check(con, data):
    got = con.execute("SELECT id, qty, note, name, amount, meta FROM bench_wide ORDER BY id").fetchall()
    want = [(r[0], r[4] + 1, "edited %d" % r[0], r[1], float(r[11]), r[12]) for r in data]
    got = [(g[0], g[1], g[2], g[3], float(g[4]), json.dumps(json.loads(g[5]))) for g in got]
    expect(got == want, "rewritten wide rows differ from the expected ones")


def _decode(row):
    """What an application makes of the fetched tuple before it changes it."""
    d = dict(zip(COLS, row))
    d["flag"] = bool(d["flag"])
    d["created"] = datetime.datetime.fromisoformat(d["created"])
    d["day"] = datetime.date.fromisoformat(d["day"])
    d["amount"] = decimal.Decimal(str(d["amount"])).quantize(decimal.Decimal("0.01"))
    d["meta"] = json.loads(d["meta"]) if d["meta"] is not None else None
    return d


def raw(ctx):
    con = sqlite3.connect(":memory:", timeout=99999, check_same_thread=False)
    data = rows(ctx.sizes.saves)
    keys = _keys(len(data))

    def run():
        for k in keys:
            row = _decode(con.execute(SELECT_ONE, (k,)).fetchone())
            con.commit()
            row["qty"], row["note"] = _changed(row["qty"], k)
            con.execute(UPDATE_TWO, (row["qty"], row["note"], k))
            con.commit()
        return len(keys)

    return Runner(run, lambda n: _check(con, data), lambda: _reload(con, data), con.close, units=len(keys))


def tavrik(method, columns=None):
    def factory(ctx):
        import tavrik_impl as t

        M = model()
        connector = t.sync_connector(":memory:")
        data = rows(ctx.sizes.saves)
        keys = _keys(len(data))
        pk = M.id

        def run():
            ex = M.getExecutor()
            write = getattr(ex, method)
            for k in keys:
                row = ex.findOneBy(pk == k)
                row["qty"], row["note"] = _changed(row["qty"], k)
                if columns:
                    write(row, columns=columns)
                else:
                    write(row)
            return len(keys)

        return t._runner(connector, run, lambda n: _check(connector.getCon(), data),
                         lambda: _reload(connector.getCon(), data), units=len(keys),
                         note="update(row, columns=%r)" % (columns,) if columns else "")

    return factory


# ------------------------------------------------------------ PostgreSQL

def pg_params(row):
    """A stored row as the values bound into PostgreSQL's native columns
    (meta stays JSON text: the column is TEXT)."""
    d = _decode(row)
    d["meta"] = row[12]
    return tuple(d[c] for c in COLS)


def expected(row):
    """A stored row as every implementation must hand it back."""
    return _decode(row)


def check_fetched(got, data, aware_utc=False):
    """The whole wide table, rows as dicts or objects: count, a checksum and
    sampled full rows compared value and type by value and type.  aware_utc:
    the ORM hands TIMESTAMP back as an aware UTC datetime (Tortoise does)."""
    got = list(got)
    expect(len(got) == len(data), "expected %d wide rows, got %d" % (len(data), len(got)))

    def val(r, c):
        return r[c] if isinstance(r, dict) else getattr(r, c)

    by_id = {val(r, "id"): r for r in got}
    expect(sum(val(r, "qty") for r in got) == sum(r[4] for r in data), "qty checksum differs")
    step = max(1, len(data) // 97)
    for i in list(range(1, len(data) + 1, step)) + [len(data)]:
        expect(i in by_id, "wide row %d missing" % i)
        want = expected(data[i - 1])
        have = {c: val(by_id[i], c) for c in COLS}
        if aware_utc:
            created = have["created"]
            expect(created.utcoffset() == datetime.timedelta(0), "wide row %d: created %r is not UTC" % (i, created))
            have["created"] = created.replace(tzinfo=None)
        expect(have == want, "wide row %d: got %r, expected %r" % (i, have, want))
        for c in ("flag", "created", "day", "amount", "meta"):
            expect(type(have[c]) is type(want[c]), "wide row %d: %s is %s, expected %s"
                   % (i, c, type(have[c]).__name__, type(want[c]).__name__))
