"""PsycopgConnector's driver: PostgreSQL through psycopg 3, on the
synchronous pool of ``_sync_connectors`` (the same checkout per statement,
thread blocks and fork rule as MysqlConnector).

psycopg is imported when the first PsycopgConnector is made, so the package
works without the ``tavrik[postgresql]`` extra.
"""
from __future__ import annotations

import importlib
from typing import Any, Callable, Dict, List, Mapping, Optional, TypeVar

from Tavrik.DB import _pg
from Tavrik.DB._sync_connectors import POOL_OPTIONS, SyncPool, readable
from Tavrik.DB.Connector import _c_dict_rows, _c_rows
from Tavrik.Error.DriverError import adopt

__all__ = ["PsycopgDriver", "psycopg_pool"]

_Con = Any
_Raw = Any
_NOTHING = (None, None, None, None)
_T = TypeVar("_T")

# The savepoint each statement of a block runs under once the block has
# written: PostgreSQL aborts the whole transaction on any error, the other
# databases only the statement, and a caller catching an error inside a
# block expects the block still usable.
_STMT = "tavrik_stmt"
_FOR_UPDATE = " FOR UPDATE"


def _import() -> Any:
    try:
        # By name: an import statement would lead the type checker to the
        # driver's own types, which the package does not depend on.
        psycopg = importlib.import_module("psycopg")
    except ImportError as e:
        raise ImportError("PsycopgConnector需要psycopg: pip install tavrik[postgresql]") from e
    adopt()
    return psycopg


class _Block:
    """A block's state on its connection: whether it has written (a failed
    statement may then undo only itself), whether the statement savepoint
    is set, and whether anything to keep was done since it was set."""

    __slots__ = ("writes", "guard", "dirty")

    def __init__(self) -> None:
        self.writes = False
        self.guard = False
        self.dirty = False


class PsycopgDriver:
    """PostgreSQL through psycopg 3: statements on a RawCursor ($n
    placeholders, bound on the server); the house form of the values (0/1
    booleans, ISO date texts, decimal texts) is sent untyped, so the server
    reads each as its column's type."""

    dialect = "postgresql"

    def __init__(self, conninfo: Optional[str], options: Mapping[str, Any]) -> None:
        self._psycopg = _import()
        self._conninfo = conninfo or ""
        self._options = dict(options)
        self._blocks: Dict[int, _Block] = {}
        adapt = importlib.import_module("psycopg.adapt")
        string = importlib.import_module("psycopg.types.string")

        class UntypedInt(adapt.Dumper):  # type: ignore[misc,name-defined]
            # psycopg types an int as smallint/integer/bigint, which a
            # boolean column refuses for the 0/1 of the house form; untyped,
            # the server reads it as the column's (or the context's) type.
            oid = 0

            def dump(self, obj: Any) -> bytes:
                return str(int(obj)).encode()

        self._int_dumper = UntypedInt
        # JSON is handed to the rows' conversion as its text, as the other
        # databases hand it: a decoded JSON string would be decoded again.
        self._text_loader = string.TextLoader
        self._ok = importlib.import_module("psycopg.pq").ConnStatus.OK

    def connect(self) -> _Con:
        psycopg = self._psycopg
        # Autocommit outside blocks: a statement of its own is then one round
        # trip, where psycopg would send a BEGIN before it and the pool a
        # COMMIT after it.
        con = psycopg.connect(self._conninfo, autocommit=True, cursor_factory=psycopg.RawCursor, **self._options)
        con.adapters.register_dumper(int, self._int_dumper)
        for name in ("json", "jsonb"):
            con.adapters.register_loader(name, self._text_loader)
        return con

    # ------------------------------------------------ statements

    def _run(self, con: _Con, text: str, params: Any, kind: int, batch: int) -> _Raw:
        cur = con.cursor()
        try:
            if batch == 2:
                if not isinstance(text, list):
                    return (None, self._returned(cur, text, params), None, None)
                # Rows carrying their keys and rows without, one INSERT
                # each: together or not at all.
                with con.transaction():
                    rows = [r for t, p in zip(text, params) for r in self._returned(cur, t, p)]
                return (None, rows, None, None)
            if batch:
                cur.executemany(text, params)
                return _NOTHING
            cur.execute(text, params)
            if kind == 0:
                return _c_rows(cur, cur.fetchall())
            if kind == 1:
                # The key by the RETURNING clause the generator wrote.
                row = cur.fetchone() if cur.description else None
                return (None, None, row[0] if row else None, None)
            if kind == 2 or kind == 3:
                return (None, None, None, cur.rowcount)
            return (None, list(cur.fetchall()) if cur.description else [], None, None)
        finally:
            cur.close()

    def _returned(self, cur: Any, text: str, params: Any) -> List[Any]:
        # One RETURNING row per parameter tuple, each its own result.
        cur.executemany(text, params, returning=True)
        rows: List[Any] = []
        while True:
            rows.extend(cur.fetchall())
            if not cur.nextset():
                break
        return rows

    def run(self, con: _Con, text: str, params: Any, kind: int, batch: int) -> _Raw:
        # A locking read (the generator ends it so) holds locks a whole
        # rollback would drop, as a write does.
        keeps = kind != 0 or text.endswith(_FOR_UPDATE)
        return self._guarded(con, keeps, lambda: self._run(con, text, params, kind, batch))

    def rows(self, con: _Con, text: str, args: Any, dictCur: bool) -> Any:
        def op() -> Any:
            cur = con.cursor()
            try:
                cur.execute(text, args if args else None)
                rows = cur.fetchall() if cur.description else []
                return _c_dict_rows(cur, rows) if dictCur else tuple(rows)
            finally:
                cur.close()

        # A caller's own SQL: anything but a plain SELECT may hold writes.
        return self._guarded(con, not text.lstrip()[:6].lower() == "select", op)

    def _guarded(self, con: _Con, keeps: bool, op: Callable[[], _T]) -> _T:
        """`op` (one statement on `con`): on its own, or in the block under
        the statement savepoint once the block holds writes.  The savepoint
        is set again only when something was kept since it was set: reads
        after it need no new one, so a read and its update cost one extra
        round trip, not two."""
        block = self._blocks.get(id(con))
        if block is None:
            # A statement of its own: the pool commits or rolls it back.
            try:
                return op()
            except Exception as e:
                _raise_key_taken(e)
                raise
        guarded = block.writes
        if guarded and (block.dirty or not block.guard):
            con.execute("RELEASE SAVEPOINT %s; SAVEPOINT %s" % (_STMT, _STMT) if block.guard else "SAVEPOINT " + _STMT)
            block.guard = True
            block.dirty = False
        try:
            result = op()
        except Exception as e:
            if guarded:
                con.execute("ROLLBACK TO SAVEPOINT " + _STMT)
            else:
                # Nothing written yet: the aborted transaction is dropped
                # whole and the next statement begins a fresh one.
                con.rollback()
                block.guard = False
            _raise_key_taken(e)
            raise
        if keeps:
            block.writes = block.dirty = True
        return result

    def statement(self, con: _Con, text: str) -> None:
        block = self._blocks.get(id(con))
        if block is not None:
            # A block's own savepoint: the statement savepoint must not sit
            # inside it (rolling back to it would drop the statement's).
            if block.guard:
                text = "RELEASE SAVEPOINT %s; %s" % (_STMT, text)
                block.guard = False
            block.writes = block.dirty = True
        con.execute(text)

    # ------------------------------------------------ transactions

    def begin(self, con: _Con) -> None:
        # psycopg begins the transaction with the block's first statement.
        con.autocommit = False
        self._blocks[id(con)] = _Block()

    def commit(self, con: _Con) -> None:
        # Outside a block the statement is committed already (a no-op here).
        aborted = con.info.transaction_status == self._psycopg.pq.TransactionStatus.INERROR
        try:
            con.rollback() if aborted else con.commit()
        finally:
            self._end(con)
        if aborted:
            raise _pg.aborted_commit()

    def rollback(self, con: _Con) -> None:
        con.rollback()
        self._end(con)

    def _end(self, con: _Con) -> None:
        if self._blocks.pop(id(con), None) is not None:
            con.autocommit = True

    def close(self, con: _Con) -> None:
        self._blocks.pop(id(con), None)
        con.close()

    def lost(self, exc: BaseException) -> bool:
        psycopg = self._psycopg
        if not isinstance(exc, (psycopg.OperationalError, psycopg.InterfaceError)):
            return False
        state = getattr(exc, "sqlstate", None)
        # No SQLSTATE: the client's own failure (the socket); 08: the
        # connection; 57P: the server shutting down or the session killed.
        return state is None or state.startswith("08") or state.startswith("57P")

    def gone(self, con: _Con) -> bool:
        # An idle connection may hold a notice or a notification to read; a
        # restart leaves its FATAL message and the end of the stream, which
        # libpq turns into a bad connection when it reads them.
        if con.closed:
            return True
        pgconn = con.pgconn
        # The message and the end come apart: each read takes one of them.
        for _ in range(4):
            if not readable(pgconn.socket):
                return False
            try:
                pgconn.consume_input()
            except self._psycopg.OperationalError:
                return True
            if pgconn.status != self._ok:
                return True
        return False

    def tables(self, con: _Con) -> List[str]:
        rows = self.rows(con, _pg.TABLES_SQL, None, False)
        return [row[0] for row in rows]


def _raise_key_taken(e: Exception) -> None:
    # save() falls back to its UPDATE only on the primary key's violation.
    taken = _pg.key_taken(e)
    if taken is not None:
        raise taken.with_traceback(e.__traceback__) from None


def psycopg_pool(conninfo: Optional[str], options: Dict[str, Any]) -> SyncPool:
    """The pool of PsycopgConnector(conninfo, **options): the pool's options
    taken out, the rest psycopg.connect's (host, port, user, password,
    dbname, prepare_threshold, ...)."""
    if conninfo is not None and not isinstance(conninfo, str):
        raise TypeError("conninfo must be a str or None, got %s" % type(conninfo).__name__)
    pool_kw = {k: options.pop(k) for k in POOL_OPTIONS if k in options}
    if "database" in options and "dbname" not in options:
        options["dbname"] = options.pop("database")
    return SyncPool(PsycopgDriver(conninfo, options), **pool_kw)
