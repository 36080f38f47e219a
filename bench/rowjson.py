"""A page of rows as a web service's JSON answer: rows of 8 columns (int,
str, datetime, decimal, bool, a None-able int, JSON, bytes) fetched once
through Tavrik, then written as JSON bytes again and again.  The baseline is
what a service writes without Tavrik's help: json.dumps with a default= for
the datetimes, decimals and bytes, encoded to UTF-8; beside it orjson with
its default= for what it does not know (Decimal, bytes)."""
import base64
import datetime
import decimal
import json
import sqlite3

from common import Runner, Skip, expect

DDL = ("CREATE TABLE bench_json (id INTEGER PRIMARY KEY, name TEXT NOT NULL, at DATETIME NOT NULL, "
       "amount NUMERIC(12, 2) NOT NULL, flag BOOLEAN NOT NULL, maybe INTEGER, meta TEXT, data BLOB)")
INSERT = "INSERT INTO bench_json VALUES (?, ?, ?, ?, ?, ?, ?, ?)"
REPEAT = 20  # serialisations of the page per timed run

_model = []


def model():
    if _model:
        return _model[0]
    from Tavrik.Model.Korvid import Korvid
    from Tavrik.Model.ModelProperty import (BoolProperty, BytesProperty, DateTimeProperty, DecimalProperty,
                                             IntProperty, JsonProperty, TextProperty)

    class BenchJson(Korvid):
        tableName = "bench_json"
        id = IntProperty(primaryKey=True)
        name = TextProperty()
        at = DateTimeProperty()
        amount = DecimalProperty(12, 2)
        flag = BoolProperty()
        maybe = IntProperty(nullable=True)
        meta = JsonProperty(nullable=True)
        data = BytesProperty(nullable=True)

    _model.append(BenchJson)
    return BenchJson


def _stored(n):
    base = datetime.datetime(2024, 1, 1, 8, 30, 0, 250000)
    return [(i, "name %05d é \"q\"" % i, str(base + datetime.timedelta(minutes=i)), "%d.%02d" % (i * 7, i % 100),
             i % 2, None if i % 3 else i, json.dumps({"tags": ["a", "b"], "n": i, "ok": True}), bytes(range(i % 40)))
            for i in range(1, n + 1)]


def _default(o):
    if isinstance(o, (datetime.datetime, datetime.date, datetime.time)):
        return o.isoformat()
    if isinstance(o, decimal.Decimal):
        return str(o)
    if isinstance(o, bytes):
        return base64.b64encode(o).decode("ascii")
    raise TypeError(type(o).__name__)


def _orjson_default(o):
    if isinstance(o, decimal.Decimal):
        return str(o)
    if isinstance(o, bytes):
        return base64.b64encode(o).decode("ascii")
    raise TypeError(type(o).__name__)


def _rows(ctx):
    """(connector, the fetched rows): the page every implementation writes."""
    import tavrik_impl as t

    n = min(ctx.sizes.rows, 1000)
    path = ctx.new_file("json")
    con = sqlite3.connect(path)
    con.execute(DDL)
    con.executemany(INSERT, _stored(n))
    con.commit()
    con.close()
    connector = t.sync_connector(path)
    t.install(connector)
    try:
        rows = model().getExecutor().findAllBy(orderBy=model().id)
    finally:
        t.uninstall()
    return connector, rows


def _runner(ctx, write):
    connector, rows = _rows(ctx)
    want = json.loads(json.dumps(rows, default=_default))
    expect(len(want) == min(ctx.sizes.rows, 1000), "expected %d rows" % min(ctx.sizes.rows, 1000))

    def run():
        out = None
        for _ in range(REPEAT):
            out = write(rows)
        return out

    def check(out):
        expect(isinstance(out, bytes), "the answer is %s, not bytes" % type(out).__name__)
        expect(json.loads(out) == want, "the JSON text does not read back as the rows")

    return Runner(run, check, close=connector.close, units=len(rows) * REPEAT)


def raw(ctx):
    return _runner(ctx, lambda rows: json.dumps(rows, default=_default).encode("utf-8"))


def tavrik(ctx):
    return _runner(ctx, lambda rows: rows.json())


def orjson_(ctx):
    try:
        import orjson
    except ImportError:
        raise Skip("orjson not installed (pip install -r bench/requirements.txt)")
    return _runner(ctx, lambda rows: orjson.dumps(rows, default=_orjson_default))
