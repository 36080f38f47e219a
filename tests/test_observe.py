"""Observing statements on every road: the events of DB.onStatement (a find,
a failing statement, a raising callback), the slow-statement line, and the
OpenTelemetry spans of Tavrik.DB.instrument() under the caller's span
(plain, inside transaction(), in an asyncio task), over a cluster's host
list too.  The bound values never reach what is observed."""
import asyncio
import logging
import os
import sys

import pytest

from Tavrik.DB.DB import DB
from Tavrik.Model.Korvid import Korvid, _KorvidMeta
from Tavrik.Model.ModelProperty import AutoIncrement, IntProperty, StrProperty
from tests.conftest import _mysql_reset, require_mysql
from tests.roads import ROADS, Road

# A value no statement text may ever carry.
SECRET = "zq-bound-value-7f3a"

ObItem = _KorvidMeta("ObItem", (Korvid,), {
    "tableName": "ob_item",
    "id": IntProperty(primaryKey=True, default=AutoIncrement),
    "name": StrProperty(40),
})

SQLITE_DDL = "CREATE TABLE ob_item (id INTEGER PRIMARY KEY AUTOINCREMENT, name VARCHAR(40) NOT NULL);"
MYSQL_DDL = ["CREATE TABLE ob_item (id INT PRIMARY KEY AUTO_INCREMENT, name VARCHAR(40) NOT NULL) ENGINE=InnoDB"]
DIALECT = {"sqlite": "sqlite", "aiosqlite": "sqlite", "mysql": "mysql", "mysql-sync": "mysql",
           "postgresql": "postgresql", "postgresql-sync": "postgresql", "mysql-hosts": "mysql",
           "mysql-sync-hosts": "mysql"}


class HostsRoad(Road):
    """A MySQL road given the server as a cluster's host list."""

    def __init__(self, kind, path, settings):
        super().__init__(kind, path, settings)
        self.sync = kind == "mysql-sync-hosts"

    async def open(self):
        from Tavrik.DB.Connector import AioMysqlConnector, MysqlConnector

        s = dict(self.settings)
        hosts = ["%s:%d" % (s.pop("host"), s.pop("port"))]
        if self.sync:
            self.connector = MysqlConnector(hosts=hosts, **s)
        else:
            self.connector = AioMysqlConnector(asyncio.get_running_loop(), hosts=hosts, **s)
            while not self.connector.isReady:
                await asyncio.sleep(0.01)
        DB.create(self.connector)


async def opened(request, db_path, kind):
    settings = None
    if kind.startswith("mysql"):
        settings = require_mysql()
        await _mysql_reset(settings)
    elif kind.startswith("postgresql"):
        settings = request.getfixturevalue("pg_dsn")
    r = (HostsRoad if kind.endswith("-hosts") else Road)(kind, db_path, settings)
    r.ddl(SQLITE_DDL, MYSQL_DDL)
    await r.open()
    return r


async def _each_road(request, db_path):
    r = await opened(request, db_path, request.param)
    try:
        yield r
    finally:
        if r.connector is not None:
            await r.close()


# The six roads; on_any also the two cluster (hosts=) connectors.
on = pytest.fixture(params=ROADS, name="on")(_each_road)
on_any = pytest.fixture(params=ROADS + ["mysql-hosts", "mysql-sync-hosts"], name="on_any")(_each_road)


def ex():
    return ObItem.getExecutor()


def execute(road, sql, args):
    return road.call(lambda: road.connector.execute(sql, args=args))


async def saved(road, name=SECRET):
    _, err = await road.call(lambda: ex().save(ObItem(name=name)))
    assert err is None


async def test_find_reports_its_statement(on):
    await saved(on)
    events = []
    DB.getInstance().onStatement(events.append)
    rows, err = await on.call(lambda: ex().findAllBy(ObItem.name == SECRET))
    assert err is None and len(rows) == 1
    [event] = events
    assert event.database == DIALECT[on.kind]
    assert "SELECT" in event.text and "ob_item" in event.text and SECRET not in event.text
    assert isinstance(event.duration, float) and event.duration > 0
    assert event.rows == 1 and event.error is None


async def test_failing_statement_reports_its_error_without_values(on):
    events = []
    DB.getInstance().onStatement(events.append)
    _, err = await execute(on, "SELECT no_such_column FROM ob_item WHERE name = %s", (SECRET,))
    assert err is not None
    [event] = events
    assert event.error is err and event.rows is None
    assert "no_such_column" in event.text and SECRET not in event.text


async def test_slow_line_shows_text_and_duration_not_values(on, caplog):
    DB.getInstance().slowStatements(0)
    with caplog.at_level(logging.WARNING, logger="Tavrik.DB"):
        _, err = await on.call(lambda: ex().findAllBy(ObItem.name == SECRET))
    assert err is None
    lines = [r.getMessage() for r in caplog.records if r.name == "Tavrik.DB" and r.levelno == logging.WARNING]
    assert any("slow statement" in line and "ob_item" in line and " s, " in line for line in lines)
    assert not any(SECRET in line for line in lines)


async def test_raising_callback_is_logged_and_the_statement_stands(on, caplog):
    def broken(event):
        raise ValueError("hook fails")

    seen = []
    DB.getInstance().onStatement(broken)
    DB.getInstance().onStatement(seen.append)
    with caplog.at_level(logging.ERROR, logger="Tavrik.DB"):
        await saved(on, "kept")
    assert on.rows("SELECT name FROM ob_item") == [("kept",)]
    assert [e.error for e in seen] == [None]
    assert any(r.exc_info and r.exc_info[0] is ValueError for r in caplog.records if r.name == "Tavrik.DB")
    DB.getInstance().onStatement(None)
    rows, err = await on.call(lambda: ex().findAllBy(ObItem.name == "kept"))
    assert err is None and len(rows) == 1 and len(seen) == 1


async def test_statement_of_a_callback_is_not_reported_back(on):
    if not on.sync:
        pytest.skip("a callback is a plain function: it cannot await a statement")
    events = []

    def counting(event):
        events.append(event)
        on.connector.execute("SELECT COUNT(*) FROM ob_item")

    DB.getInstance().onStatement(counting)
    await saved(on, "once")
    assert [e.text.split()[0].upper() for e in events] == ["INSERT"]


# ------------------------------------------------------------ OpenTelemetry

@pytest.fixture
def spans():
    pytest.importorskip("opentelemetry.sdk")
    from opentelemetry.sdk.trace import TracerProvider
    from opentelemetry.sdk.trace.export import SimpleSpanProcessor
    from opentelemetry.sdk.trace.export.in_memory_span_exporter import InMemorySpanExporter

    import Tavrik.DB

    exporter = InMemorySpanExporter()
    provider = TracerProvider()
    provider.add_span_processor(SimpleSpanProcessor(exporter))
    Tavrik.DB.instrument(tracerProvider=provider)
    try:
        yield provider.get_tracer("test"), exporter
    finally:
        Tavrik.DB.uninstrument()


def children(exporter, parent):
    return [s for s in exporter.get_finished_spans() if s.parent is not None
            and s.parent.span_id == parent.get_span_context().span_id]


async def test_span_under_the_callers_span(on_any, spans):
    tracer, exporter = spans
    await saved(on_any)
    with tracer.start_as_current_span("caller") as parent:
        _, err = await on_any.call(lambda: ex().findAllBy(ObItem.name == SECRET))
    assert err is None
    [span] = children(exporter, parent)
    a = span.attributes
    assert span.kind.name == "CLIENT" and a["db.system"] == DIALECT[on_any.kind]
    assert "ob_item" in a["db.query.text"] and SECRET not in a["db.query.text"]
    if on_any.kind in ("sqlite", "aiosqlite"):
        assert a["db.namespace"] == on_any.path and "server.address" not in a
    else:
        assert a["db.namespace"] == database_of(on_any)
        assert a["server.address"] and a["server.port"] == server_port(on_any)


def database_of(road):
    return os.environ["TAVRIK_PG_DB" if road.postgresql else "TAVRIK_MYSQL_DB"]


def server_port(road):
    return int(os.environ["TAVRIK_PG_PORT" if road.postgresql else "TAVRIK_MYSQL_PORT"])


async def test_failing_span_has_error_status(on, spans):
    tracer, exporter = spans
    with tracer.start_as_current_span("caller") as parent:
        _, err = await execute(on, "SELECT no_such_column FROM ob_item WHERE name = %s", (SECRET,))
    assert err is not None
    [span] = children(exporter, parent)
    assert span.status.status_code.name == "ERROR"
    assert [e.name for e in span.events] == ["exception"]
    assert SECRET not in span.attributes["db.query.text"]


async def test_spans_inside_transaction_block(on, spans):
    tracer, exporter = spans

    def sync_block():
        with on.connector.transaction():
            ex().save(ObItem(name="a"))
            return ex().findAllBy(ObItem.name == "a")

    async def async_block():
        # The per-task transaction: the block runs in a task of its own.
        async with on.connector.transaction():
            await ex().save(ObItem(name="a"))
            return await ex().findAllBy(ObItem.name == "a")

    with tracer.start_as_current_span("caller") as parent:
        rows, err = await on.call(sync_block if on.sync else async_block)
    assert err is None and len(rows) == 1
    texts = [s.attributes["db.query.text"].split()[0].upper() for s in children(exporter, parent)]
    assert texts == ["INSERT", "SELECT"]


def test_instrument_without_opentelemetry_says_what_is_missing(monkeypatch):
    import Tavrik.DB

    # A name mapped to None in sys.modules cannot be imported: as if not installed.
    monkeypatch.setitem(sys.modules, "opentelemetry", None)
    monkeypatch.setitem(sys.modules, "opentelemetry.trace", None)
    with pytest.raises(ImportError, match="opentelemetry-api"):
        Tavrik.DB.instrument()
