"""Observing statements: the hooks of ``DB.onStatement``, the slow-statement
line and the OpenTelemetry spans of ``Tavrik.DB.instrument()``.

Nothing here runs while nothing observes: the connectors' cores check one C
pointer (``_c_observe`` sets it) and only then read the clock and call
``emit`` (a synchronous core, after its statement) or wrap the core's
coroutine in ``observed`` (an asynchronous one).  Everything an observer sees
is reported after the statement has ended (committed, on the roads that
commit each statement), so a failing observer cannot undo it: an
``Exception`` raised by a callback is logged on the ``Tavrik.DB`` logger and
the statement's own result or error goes on.
"""
from __future__ import annotations

import importlib
import logging
import time
from contextvars import ContextVar
from typing import Any, Awaitable, Callable, Dict, Optional, Tuple

from Tavrik.DB.Connector import _c_observe

__all__ = ["StatementEvent", "instrument", "uninstrument"]

_logger = logging.getLogger("Tavrik.DB")

# What observes: the callbacks in the order they were added, the slow
# threshold in seconds, the tracer.  Replaced whole, never changed in place,
# so a statement running on another thread reads one consistent tuple.
_callbacks: Tuple[Callable[[StatementEvent], Any], ...] = ()
_slow: Optional[float] = None
_tracer: Any = None
_otel: Any = None  # (SpanKind.CLIENT, Status, StatusCode) once instrumented
# Set while the observers of one statement run, in its thread or task.
_reporting: ContextVar[bool] = ContextVar("Tavrik.DB._observe.reporting", default=False)


class StatementEvent:
    """一条语句执行完之后交给 onStatement 回调的事件。

    database: 方言名 ("sqlite", "mysql", "postgresql"); text: 交给驱动的语句文本 (只有占位符, 从不含参数值);
    duration: 秒 (float, 单调时钟; 包括等待链接与锁的时间); rows: 返回或影响的行数 (不知道时为 None);
    error: None 或语句抛出的异常。"""

    __slots__ = ("database", "text", "duration", "rows", "error")

    def __init__(self, database: str, text: str, duration: float, rows: Optional[int],
                 error: Optional[BaseException]) -> None:
        self.database = database
        self.text = text
        self.duration = duration
        self.rows = rows
        self.error = error

    def __repr__(self) -> str:
        return "StatementEvent(database=%r, text=%r, duration=%.6f, rows=%r, error=%r)" % (
            self.database, self.text, self.duration, self.rows, self.error)


def _refresh() -> None:
    if _callbacks or _slow is not None or _tracer is not None:
        _c_observe(emit, observed)
    else:
        _c_observe(None, None)


# ------------------------------------------------------------ the handle's methods

def on_statement(db: Any, callback: Optional[Callable[[StatementEvent], Any]]) -> Any:
    global _callbacks
    if callback is None:
        _callbacks = ()
    elif not callable(callback):
        raise TypeError("onStatement() 需要一个可调用对象或 None, 得到 %s" % type(callback).__name__)
    elif callback not in _callbacks:
        _callbacks = _callbacks + (callback,)
    _refresh()
    return callback


def off_statement(db: Any, callback: Callable[[StatementEvent], Any]) -> None:
    global _callbacks
    _callbacks = tuple(c for c in _callbacks if c != callback)
    _refresh()


def slow_statements(db: Any, seconds: Optional[float]) -> None:
    global _slow
    if seconds is None:
        _slow = None
    else:
        if isinstance(seconds, bool) or not isinstance(seconds, (int, float)):
            raise TypeError("slowStatements() 需要秒数 (int 或 float) 或 None, 得到 %s" % type(seconds).__name__)
        if not seconds >= 0:
            raise ValueError("slowStatements() 的秒数不能为负数: %r" % (seconds,))
        _slow = float(seconds)
    _refresh()


def forget() -> None:
    """The handle was dropped: its hooks and threshold go with it (the
    instrumentation is the process's and stays)."""
    global _callbacks, _slow
    _callbacks = ()
    _slow = None
    _refresh()


def instrument(tracerProvider: Any = None) -> None:
    """每条语句一个 OpenTelemetry 客户端 span (需要 opentelemetry-api); tracerProvider 缺省为全局的。"""
    global _tracer, _otel
    try:
        trace = importlib.import_module("opentelemetry.trace")
    except ImportError as e:
        raise ImportError("Tavrik.DB.instrument() 需要 opentelemetry-api: pip install opentelemetry-api") from e
    _tracer = trace.get_tracer("Tavrik.DB", tracer_provider=tracerProvider)
    _otel = (trace.SpanKind.CLIENT, trace.Status, trace.StatusCode.ERROR)
    _refresh()


def uninstrument() -> None:
    """停止产生 span。"""
    global _tracer
    _tracer = None
    _refresh()


# ------------------------------------------------------------ reporting

def _joined(text: Any) -> str:
    # A keyed batch runs a list of INSERTs: one event for the batch.
    if type(text) is str:
        return text
    if isinstance(text, list):
        return ";\n".join(dict.fromkeys(text))
    return str(text)


def _rows(batch: int, params: Any, result: Any) -> Optional[int]:
    if batch < 0:  # hand-written SQL: its rows
        return len(result) if isinstance(result, (list, tuple)) else None
    names, rows, key, count = result
    if isinstance(rows, list):
        return len(rows)
    if count is not None:
        return int(count)
    if key is not None:
        return len(params) if batch else 1
    if batch and isinstance(params, (list, tuple)):
        return len(params)
    return None


def emit(connector: Any, text: Any, params: Any, batch: int, result: Any, error: Optional[BaseException],
         duration: float, con: Any) -> None:
    """One finished statement: `result` its raw result (the executor's
    statements, `batch` 0..2) or its rows (hand-written SQL, `batch` -1),
    `con` the connection it ran on when the core knows it."""
    if _reporting.get():
        return  # a statement a callback ran: not reported back to the callbacks
    token = _reporting.set(True)
    try:
        _report(connector, text, params, batch, result, error, duration, con)
    except Exception:
        _logger.exception("observing a statement failed (the statement is not affected)")
    finally:
        _reporting.reset(token)


def _report(connector: Any, text: Any, params: Any, batch: int, result: Any, error: Optional[BaseException],
            duration: float, con: Any) -> None:
    sql = _joined(text)
    database = connector.dialect
    slow = _slow
    if slow is not None and duration >= slow:
        _logger.warning("slow statement (%.6f s, %s): %s", duration, database, sql)
    callbacks = _callbacks
    if callbacks:
        event = StatementEvent(database, sql, duration, None if error is not None else _rows(batch, params, result),
                               error)
        for cb in callbacks:
            try:
                cb(event)
            except Exception:
                _logger.exception("onStatement callback %r failed (the statement is not affected)", cb)
    tracer = _tracer
    if tracer is not None:
        try:
            _span(tracer, connector, database, sql, duration, error, con)
        except Exception:
            _logger.exception("statement span failed (the statement is not affected)")


async def observed(coro: Awaitable[Any], connector: Any, text: Any, params: Any, batch: int, con: Any) -> Any:
    """An asynchronous core's coroutine, reported when it ends."""
    start = time.perf_counter()
    try:
        result = await coro
    except BaseException as e:
        emit(connector, text, params, batch, None, e, time.perf_counter() - start, _task_con(connector, con))
        raise
    emit(connector, text, params, batch, result, None, time.perf_counter() - start, _task_con(connector, con))
    return result


def _task_con(connector: Any, con: Any) -> Any:
    """The connection an asynchronous statement ran on, for its span."""
    if _tracer is None or connector.dialect == "sqlite":
        return None  # only a span names the server
    import asyncio

    from Tavrik.DB.Connector import _c_life

    try:
        # By name: an import statement would lead the type checkers of every
        # user of DB.pyi (which names StatementEvent) to the drivers.
        tx = importlib.import_module("Tavrik.DB._async_tx")
        if con is not None:
            return tx.unwrap(con)  # a transaction() block's handle: its connection
        return _c_life(connector).task_con(asyncio.current_task())
    except Exception:
        return None  # the span goes without the connection's node


def _where(connector: Any, database: str, con: Any) -> Tuple[Optional[str], Optional[str], Optional[int]]:
    """(db.namespace, server.address, server.port) of a statement: read from
    the connection it ran on where there is one (a cluster's node), else from
    the connector's settings."""
    if database == "sqlite":
        path = getattr(connector, "path", None)
        if path is None:
            from Tavrik.DB.Connector import _c_path
            try:
                path = _c_path(connector)
            except Exception:
                path = None
        return (path, None, None)
    config = getattr(connector, "config", None) or {}
    namespace = config.get("db") or config.get("database") or config.get("dbname")
    host, port = config.get("host"), config.get("port")
    raw = getattr(con, "raw", con)  # asyncpg's connection inside the task's _PgCon
    if raw is not None:
        info = getattr(raw, "info", None)  # psycopg
        if info is not None and hasattr(info, "dbname"):
            namespace, host, port = info.dbname, info.host, info.port
        elif hasattr(raw, "_addr"):  # asyncpg
            addr = raw._addr
            if isinstance(addr, tuple):
                host, port = addr[0], addr[1]
            params = getattr(raw, "_params", None)
            namespace = getattr(params, "database", None) or namespace
        else:  # pymysql, aiomysql
            host = getattr(raw, "host", host)
            port = getattr(raw, "port", port)
            db = getattr(raw, "db", None)
            if isinstance(db, bytes):
                db = db.decode()
            namespace = db or namespace
    if database == "postgresql" and host is None:
        host = "localhost"
    if port is None and host is not None:
        port = 5432 if database == "postgresql" else 3306
    return (str(namespace) if namespace is not None else None, str(host) if host is not None else None,
            int(port) if port is not None else None)


def _span(tracer: Any, connector: Any, database: str, sql: str, duration: float, error: Optional[BaseException],
          con: Any) -> None:
    kind, Status, error_code = _otel
    namespace, host, port = _where(connector, database, con)
    attributes: Dict[str, Any] = {"db.system": database, "db.query.text": sql}
    words = sql.split(None, 1)
    operation = words[0].upper() if words else ""
    if operation.isalpha():
        attributes["db.operation.name"] = operation
    if namespace is not None:
        attributes["db.namespace"] = namespace
    if host is not None:
        attributes["server.address"] = host
    if port is not None:
        attributes["server.port"] = port
    end = time.time_ns()
    name = (operation + " " + namespace if namespace else operation) if operation.isalpha() else database
    # Made after the statement (so a statement costs one call into here),
    # dated back to its start; the caller's context is still current, so the
    # span is the child of the caller's span on every road.
    span = tracer.start_span(name, kind=kind, attributes=attributes, start_time=end - int(duration * 1e9))
    if error is not None:
        span.record_exception(error)
        span.set_status(Status(error_code, "%s: %s" % (type(error).__name__, error)))
    span.end(end_time=end)
