"""The coroutines of the asynchronous connectors of ``Tavrik.DB.Connector``.

Each step that touches a statement or a row is a C helper of the extension
module (``_c_*``); the connector's task state (which task holds which
connection, the releases in flight, the closing state) is one Python object,
``_async_tx.Life``, reached through ``_c_life``.  The extension's methods call
the functions below.
"""
from __future__ import annotations

import asyncio
import datetime
import decimal
import importlib
import logging
import sqlite3
from types import TracebackType
from typing import (TYPE_CHECKING, Any, Awaitable, Callable, Dict, Generator, List, Optional, Tuple, Type, TypeVar,
                    Union, cast)

import pymysql
from aiomysql import Cursor, DictCursor

from Tavrik.DB import _async_tx as _tx
from Tavrik.DB import _cluster as _cl
from Tavrik.DB import _pg
from Tavrik.DB.Connector import (
    _c_dict_rows,
    _c_driver,
    _c_error_kind,
    _c_path,
    _c_rows,
    _c_run,
    _c_sq_text,
    _c_statement,
    _c_take,
)
from Tavrik.Error.DriverError import adopt

if TYPE_CHECKING:
    from Tavrik.DB._async_tx import Life
    from Tavrik.DB.Connector import AioMysqlConnector, AioSqliteConnector, AsyncpgConnector
    from Tavrik.Model.Vantrel import AsyncModelExecutor

    # The connector's lifetime state; its stub leaves it Any (see there).
    def _c_life(self: Union[AioSqliteConnector, AioMysqlConnector, AsyncpgConnector], /) -> Life: ...
else:
    from Tavrik.DB.Connector import _c_life

# Driver connections (aiosqlite, aiomysql) carry no type information.
_Con = Any
_Connector = Union["AioSqliteConnector", "AioMysqlConnector", "AsyncpgConnector"]

# The connector's getCon() answer keeps the name it is known by.
__all__ = ["_ConRequest"]

_logger = logging.getLogger("Tavrik.DB")
_T = TypeVar("_T")

_BUSY_TIMEOUT = 30.0
_BEGIN = "BEGIN IMMEDIATE"
# _c_error_kind's answer for a lock waited on too long.
_LOCK_TIMEOUT = 3


class _ConRequest:
    """
        当前任务的数据库链接。
        await 得到链接; async with 进入时得到同一个链接, 退出时不提交也不回滚:
        事务在任务结束时由连接器提交或回滚 (use_database 与 transaction() 自己提交或回滚)。
    """
    __slots__ = ("_connector",)

    def __init__(self, connector: _Connector) -> None:
        self._connector = connector

    def __await__(self) -> Generator[Any, None, _Con]:
        return self._connector._taskCon().__await__()

    async def __aenter__(self) -> _Con:
        return await self._connector._taskCon()

    async def __aexit__(self, exc_type: Optional[Type[BaseException]], exc: Optional[BaseException],
                        tb: Optional[TracebackType]) -> None:
        return None


async def _c_noop() -> None:
    return None


def _c_release_failed(self: _Connector, con: _Con, exc: BaseException) -> None:
    context = _c_life(self).context(con) or (None, None)
    _logger.error("任务结束时提交失败: %r; 最后执行的语句: %s || params=%s", exc, context[0], context[1])
    _tx.report(asyncio.get_event_loop(), "Tavrik: 任务结束时提交失败, 它的写入已丢失", exc)


async def _opening(self: _Connector) -> Life:
    """The checks before a task gets a new connection: the connector is not
    closing, and the loop's shutdown will close it.  Returns its lifetime."""
    life = _c_life(self)
    _tx.check_open(life)
    if life.guard is None:
        await _tx.watch(self, life)
    return life


async def _task_con(self: _Connector, connect: Callable[[Any, Life], Awaitable[_Con]],
                    discard: Callable[[Any, _Con], Awaitable[None]]) -> _Con:
    """The calling task's connection: the one it holds, else a new one that
    `connect(self, life)` opens and `discard(self, con)` gives up again if the
    connector began closing meanwhile."""
    task = asyncio.current_task()
    con = _c_life(self).task_con(task)
    if con:
        return con
    life = await _opening(self)
    con = await connect(self, life)
    try:
        _tx.check_open(life)
    except RuntimeError:
        # close() began while the connection was opening: it is not handed out.
        await discard(self, con)
        raise
    assert task is not None  # task_con refuses to run outside a task
    # The connector's own method ends the task's transaction: a subclass may
    # replace it.
    life.bind(task, con, getattr(self, "releaseCon" if life.sqlite else "_releaseCon"))
    return con


# ------------------------------------------------------------ aiosqlite

async def _sq_connect(self: AioSqliteConnector, life: Life) -> _Con:
    queue = life.slots
    if queue or not life.reserve():
        # All 20 slots taken: wait in arrival order (a freed slot wakes the
        # first waiter; the timeout only re-checks that close() has not begun).
        me: List[Optional[asyncio.Future[None]]] = [None]
        queue.append(me)
        try:
            while not (queue[0] is me and life.reserve()):
                me[0] = woken = asyncio.get_running_loop().create_future()
                await asyncio.wait((woken,), timeout=0.1)
                _tx.check_open(life)
        finally:
            queue.remove(me)
            _tx.wake_slot(life)
    try:
        import aiosqlite
        return await aiosqlite.connect(_c_path(self), timeout=_BUSY_TIMEOUT, isolation_level=None)
    except BaseException:
        _c_life(self).unreserve()
        _tx.wake_slot(life)
        raise


async def _sq_discard(self: AioSqliteConnector, con: _Con) -> None:
    _c_life(self).unreserve()
    _tx.wake_slot(_c_life(self))
    await con.close()


async def _sq_taskCon(self: AioSqliteConnector) -> _Con:
    return await _task_con(self, _sq_connect, _sq_discard)


async def _sq_begin(self: AioSqliteConnector, con: _Con) -> None:
    """Begins the write transaction of one of the connector's connections:
    first the connector's own queue for the file's write lock (its tasks in
    arrival order), then SQLite's lock against other connections."""
    writes = _c_life(self).writes
    assert writes is not None  # an SQLite connector's life has its write queue
    await writes.acquire(con, _BUSY_TIMEOUT)
    try:
        await con.execute(_BEGIN)
    except sqlite3.OperationalError as e:
        writes.release(con)
        if _c_error_kind(self, e) == _LOCK_TIMEOUT:
            raise sqlite3.OperationalError(
                "等待写锁超过%g秒 (database is locked): 写锁由另一个数据库链接持有 "
                "(另一个进程或另一个连接器, 不是本连接器的任务)" % _BUSY_TIMEOUT) from e
        raise
    except BaseException:
        writes.release(con)
        raise


async def _sq_execute(self: AioSqliteConnector, sql: str, con: _Con, dictCur: bool,
                      args: Tuple[Any, ...]) -> Union[Tuple[Any, ...], List[Dict[str, Any]]]:
    while not self.isReady:
        await asyncio.sleep(0.3)
    if not con:
        con = _c_life(self).task_con(asyncio.current_task()) or await self._taskCon()
    else:
        con = _tx.unwrap(con)
    text, writes = _c_sq_text(self, sql, args)
    async with _c_life(self).gate(con):
        # A task's reads before its first write take no lock: only a
        # statement that may write begins the transaction.
        if _c_life(self).note(con, text, args) and writes:
            await _sq_begin(self, con)
        # One trip to the connection's thread per call (a separate cursor() and
        # execute() would take two).
        cursor = await con.execute(text, args)
        rows = await cursor.fetchall()
    if dictCur:
        return _c_dict_rows(cursor, rows)
    return tuple(rows)


# What the core hands up for one statement (the extension's raw result):
# (column names, row tuples, new key, rows matched), None where it has none.
_Raw = Tuple[Any, Any, Any, Any]
_NOTHING: _Raw = (None, None, None, None)


async def _sq_run(self: AioSqliteConnector, sql: Any, params: Any, kind: int, batch: int, locks: bool,
                  hasCon: bool, con: _Con) -> _Raw:
    """The connector's core: one statement in the house form on the task's
    connection (or the one given), its raw result back.  `batch`: 0 one run,
    1 a run per parameter tuple, 2 a keyed batch (INSERTs of many rows each,
    their RETURNING rows back)."""
    while not self.isReady:
        await asyncio.sleep(0.3)
    text, params = _c_driver(self, sql, params)
    if not hasCon:
        con = _c_life(self).task_con(asyncio.current_task()) or await self._taskCon()
    else:
        con = _tx.unwrap(con)
    async with _c_life(self).gate(con):
        # A task's reads before its first write take no lock: a statement
        # that may write, or a locking read (SQLite has no FOR UPDATE: the
        # write lock is what keeps its rows from changing), begins the
        # task's write transaction.
        if _c_life(self).note(con, text, params) and (kind != 0 or locks):
            await _sq_begin(self, con)
        if batch:
            rows = await _sq_batch(con, text, params, batch)
            if batch == 2:
                return (None, rows, None, None)
            cursor = rows
        else:
            cursor = await con.execute(text, params)
        if kind == 0:
            return _c_rows(cursor, await cursor.fetchall())
        if kind == 1:
            if batch:
                # The rows written (an upsert leaving duplicates alone counts
                # by them), then the batch's last id: executemany leaves
                # lastrowid unset.
                count = cursor.rowcount
                await cursor.execute("SELECT last_insert_rowid()")
                return (None, None, (await cursor.fetchone())[0], count)
            return (None, None, cursor.lastrowid, None)
        if (kind == 2 or kind == 3) and not batch:
            # The rows the update matched, by which the executor tells whether
            # the row it meant to update was still there (and the rows an
            # updateWhere/deleteWhere reaches).
            return (None, None, None, cursor.rowcount)
        if kind == 2 or kind == 3:
            # A deletion returns no rows: spare the trip to fetch nothing.
            return _NOTHING
        return (None, await cursor.fetchall(), None, None)


async def _sq_batch(con: _Con, text: Any, params: Any, batch: int) -> Any:
    """A batch on an aiosqlite connection, all or nothing: a failed row takes
    back the rows before it (the transaction stays open): the keyed batch's
    rows, else the cursor.  Outside a transaction (a caller's own connection)
    the savepoint would commit on release: the batch runs as it is."""
    if not con.in_transaction:
        return await _sq_batch_run(con, text, params, batch)
    await con.execute("SAVEPOINT tavrik_batch")
    try:
        out = await _sq_batch_run(con, text, params, batch)
    except Exception:
        await con.execute("ROLLBACK TO tavrik_batch")
        await con.execute("RELEASE tavrik_batch")
        raise
    await con.execute("RELEASE tavrik_batch")
    return out


async def _sq_batch_run(con: _Con, text: Any, params: Any, batch: int) -> Any:
    if batch == 2:
        rows: List[Any] = []
        for t, p in zip(text, params):
            cursor = await con.execute(t, p)
            rows.extend(await cursor.fetchall())
        return rows
    return await con.executemany(text, params)


async def _sq_asyncProcess(self: AioSqliteConnector, executor: AsyncModelExecutor[Any], hasCon: bool, con: _Con) -> Any:
    sql, params, kind, batch, locks = _c_statement(self, executor)
    return _c_take(executor, await _c_run(self, sql, params, kind, batch, locks, hasCon, con))


async def _sq_getTableNameList(self: AioSqliteConnector) -> List[Any]:
    con = _c_life(self).task_con(asyncio.current_task()) or await self._taskCon()
    async with _c_life(self).gate(con):
        cursor = await con.execute('select tbl_name as name from sqlite_master where type = "table";')
        rows = await cursor.fetchall()
    return [row["name"] for row in _c_dict_rows(cursor, rows)]


def _release(self: _Connector, task: asyncio.Task[Any]) -> None:
    """Done callback of a task that took a connection (the connector's
    releaseCon/_releaseCon): its transaction is committed when it ended
    normally and rolled back when it raised or was cancelled, then the
    connection is closed or goes back to the pool and the entry is dropped."""
    life = _c_life(self)
    if task not in life.cons:
        return
    con = life.cons[task]
    if con is None:
        # The task's connection was dropped (lost) and none taken since.
        del life.cons[task]
        return
    try:
        # Only "no exception" commits: an exception whose truth value is
        # false still failed the task.
        commit = not task.cancelled() and task.exception() is None
    except Exception:  # a task that cannot tell how it ended is rolled back
        commit = False
    if life.sqlite:
        coro = _sq_finish(cast("AioSqliteConnector", self), task, con, commit)
    elif type(con) is _PgCon:
        coro = _pg_finish(cast("AsyncpgConnector", self), task, con, commit)
    else:
        coro = _my_finish(cast("AioMysqlConnector", self), task, con, commit)
    try:
        # Driven as a plain future, not a task: asyncio.run() cancels every
        # task once main() has returned, and the commit must not be cut.
        fut = _tx.drive(coro, task.get_loop())
    except BaseException:
        # The loop cannot run the release: still never leave the entry behind.
        coro.close()
        life.cons.pop(task, None)
        life.owned.pop(con, None)
        raise
    life.keep(fut)


async def _sq_finish(self: AioSqliteConnector, task: asyncio.Task[Any], con: _Con, commit: bool) -> None:
    # Ends a task's transaction and closes its connection.  Driven as a plain
    # future (_tx.drive): the loop's shutdown cannot cut it.  A failed commit
    # is logged and reported; a failed rollback needs nothing more, the
    # connection's close discards the transaction.
    life = _c_life(self)
    try:
        try:
            await _tx.gated(life, con, con.commit if commit else con.rollback)
        except Exception as e:
            if commit:
                _c_release_failed(self, con, e)
        finally:
            assert life.writes is not None  # an SQLite connector's life has its write queue
            life.writes.release(con)
            await con.close()
    finally:
        life.forget(task, con)
        _tx.wake_slot(life)


async def _sq_close(self: AioSqliteConnector, timeout: float = _tx.CLOSE_TIMEOUT) -> None:
    async def final(remaining: float) -> None:
        return None
    await _tx.close(self, _c_life(self), _sq_finish, final, timeout)


# ------------------------------------------------------------ aiomysql

async def _my_init_mysql(self: AioMysqlConnector, *args: Any, **kwargs: Any) -> None:
    pool: Any  # an aiomysql pool (untyped) or a ClusterPool standing in for one
    if _cl.wanted(kwargs):
        pool = await _cl.create_pool(args, kwargs)
    else:
        import aiomysql
        pool = await aiomysql.create_pool(*args, **kwargs)
    # The server's version tells what it can do (a batch's keys by
    # RETURNING), before any task has taken a connection.
    con = await pool.acquire()
    try:
        _c_life(self).server = con.get_server_info()
    finally:
        pool.release(con)
    self.isReady = True
    self._pool = pool


async def _my_wait_pool(self: AioMysqlConnector) -> None:
    retried = False
    while not self.isReady:
        init = _c_life(self).initTask
        if init is None:
            await asyncio.sleep(0.3)
        elif not init.done():
            await asyncio.wait((init,))
        elif init.cancelled() or init.exception() is not None:
            exc = None if init.cancelled() else init.exception()
            made = _c_life(self).poolArgs
            if retried or made is None:
                raise RuntimeError("MySQL连接池创建失败, 连接器暂不可用: %r" % (exc,)) from exc
            # The server may be back: make the pool again.
            retried = True
            coro = self._init_mysql(*made[0], **dict(made[1]))
            _c_life(self).initTask = asyncio.get_running_loop().create_task(coro)
        else:
            await asyncio.sleep(0.3)


async def _my_connect(self: AioMysqlConnector, life: Life) -> _Con:
    if not self.isReady:
        await _my_wait_pool(self)
    con = await self._pool.acquire()
    if life.server is None:
        life.server = con.get_server_info()
    return con


def _my_server_version(self: AioMysqlConnector) -> Optional[str]:
    """The server's version text as the connector's first connection gave
    it (None before one): whether a batch's keys come back."""
    server: Optional[str] = _c_life(self).server
    return server


async def _my_discard(self: AioMysqlConnector, con: _Con) -> None:
    self._pool.release(con)


async def _my_taskCon(self: AioMysqlConnector) -> _Con:
    return await _task_con(self, _my_connect, _my_discard)


async def _my_getSelectCon(self: AioMysqlConnector) -> _Con:
    _tx.check_open(_c_life(self))
    if not self.isReady:
        await _my_wait_pool(self)
    return await self._pool.acquire()


async def _my_execute(self: AioMysqlConnector, sql: str, con: _Con, dictCur: bool, args: Tuple[Any, ...]) -> Any:
    if not con:
        con = _c_life(self).task_con(asyncio.current_task()) or await self._taskCon()
    else:
        con = _tx.unwrap(con)
    try:
        # The protocol carries one statement at a time: tasks sharing the
        # connection take turns.
        async with _c_life(self).gate(con), con.cursor(DictCursor if dictCur else Cursor) as cursor:
            _c_life(self).note(con, sql, args)
            await cursor.execute(sql, args)
            return await cursor.fetchall()
    except asyncio.CancelledError:
        # Cut half way, the connection is in the middle of the protocol: it
        # is closed at the task's end, never rolled back or pooled again.
        if _c_life(self).context(con) is not None:
            _c_life(self).broken[id(con)] = con
        raise
    except Exception as e:
        if _cl.lost(e):
            _my_lost(self, con, e)
        raise


async def _my_run(self: AioMysqlConnector, sql: Any, params: Any, kind: int, batch: int, locks: bool,
                  hasCon: bool, con: _Con) -> _Raw:
    """The connector's core, as _sq_run (a locking read's FOR UPDATE is in
    its text)."""
    if not hasCon:
        con = _c_life(self).task_con(asyncio.current_task()) or await self._taskCon()
    else:
        con = _tx.unwrap(con)
    # Rows are read as tuples: the executor builds its rows from them in one
    # step.
    try:
        async with _c_life(self).gate(con), con.cursor(Cursor) as cursor:
            text, params = _c_driver(self, sql, params)
            _c_life(self).note(con, text, params)
            if batch:
                # The driver may cut a batch into several statements: a
                # failed one takes back the ones before it (in a
                # transaction: a caller's connection may autocommit).
                guarded = not con.get_autocommit()
                if guarded:
                    await cursor.execute("SAVEPOINT tavrik_batch")
                try:
                    if batch == 2:
                        rows: List[Any] = []
                        for t, p in zip(text, params):
                            await cursor.execute(t, p)
                            rows.extend(await cursor.fetchall())
                    else:
                        await cursor.executemany(text, params)
                except Exception:
                    if guarded:
                        await cursor.execute("ROLLBACK TO SAVEPOINT tavrik_batch")
                    raise
                # The batch's own count and key, before the release resets them.
                count, key = cursor.rowcount, cursor.lastrowid
                if guarded:
                    await cursor.execute("RELEASE SAVEPOINT tavrik_batch")
                if batch == 2:
                    return (None, rows, None, None)
                if kind == 1:
                    return (None, None, key, count)
            else:
                await cursor.execute(text, params)
            if kind == 0:
                return _c_rows(cursor, await cursor.fetchall())
            if kind == 1:
                # The rows an insert wrote: an upsert that leaves duplicates
                # alone counts by them (0 for a row passed over).
                return (None, None, cursor.lastrowid, cursor.rowcount)
            if (kind == 2 or kind == 3) and not batch:
                # Affected rows (changed, not matched): the executor reads
                # them for updateWhere/deleteWhere only.
                return (None, None, None, cursor.rowcount)
            return (None, await cursor.fetchall(), None, None)
    except asyncio.CancelledError:
        # Cut half way, the connection is in the middle of the protocol: it
        # is closed at the task's end, never rolled back or pooled again.
        if _c_life(self).context(con) is not None:
            _c_life(self).broken[id(con)] = con
        raise
    except Exception as e:
        if _cl.lost(e):
            _my_lost(self, con, e)
        raise


def _my_lost(self: AioMysqlConnector, con: _Con, exc: Exception) -> None:
    """A statement met a lost link (the server restarted or went away): the
    transaction on it is gone.  Inside a transaction() block the connection
    stays the block's, so the rest of the block fails and its end reports
    it (the block's exit drops it); a task's own connection is dropped at
    once, and its next statement begins anew on a fresh one (the failed
    statement has told it that what it ran before is lost)."""
    life = _c_life(self)
    task = asyncio.current_task()
    if con not in life.owned or _tx.in_block(task):
        if isinstance(exc, pymysql.err.InterfaceError):
            # A connection closed by an earlier loss: say what happened.
            raise pymysql.err.OperationalError(2006, "MySQL server has gone away (链接已断开, 事务已丢失)") from exc
        return
    for t, c in life.bound():
        if c is con:
            life.unbind(t, con)
    life.broken.pop(id(con), None)
    con.close()
    pool = self._pool
    if pool is not None:
        if isinstance(pool, _cl.ClusterPool):
            pool.nodeFailed(con, exc)
        try:
            _cl.give_back(pool, con)
        except Exception:
            pass  # the pool no longer knows it (closed meanwhile)


async def _my_asyncProcess(self: AioMysqlConnector, executor: AsyncModelExecutor[Any], hasCon: bool, con: _Con) -> Any:
    sql, params, kind, batch, locks = _c_statement(self, executor)
    return _c_take(executor, await _c_run(self, sql, params, kind, batch, locks, hasCon, con))


async def _my_getTableNameList(self: AioMysqlConnector) -> List[Any]:
    # The constructor sets the pool's parameters (a connector that lacks them
    # fails here as it always did).
    db = cast(Dict[str, Any], self._config).get("db")
    rows = await self.execute(
        "SELECT TABLE_NAME FROM information_schema.`TABLES` WHERE TABLE_SCHEMA = %s;", args=(str(db),))
    return [row[0] for row in rows]


async def _end_pooled(self: Union[AioMysqlConnector, AsyncpgConnector], life: Life, con: _Con, commit: bool,
                      drop: Callable[[], Any]) -> None:
    """Ends a task's transaction on a pooled connection; one whose state is
    unknown (a cut statement, a failed commit or rollback) is dropped
    instead, and the server then discards its transaction."""
    if life.broken.pop(id(con), None) is not None:
        drop()
        if commit:
            _c_release_failed(self, con, RuntimeError("链接已失效 (语句被中断或提交失败), 无法提交"))
        return
    try:
        await _tx.gated(life, con, con.commit if commit else con.rollback)
    except Exception as e:
        drop()
        if commit:
            _c_release_failed(self, con, e)


async def _my_finish(self: AioMysqlConnector, task: asyncio.Task[Any], con: _Con, commit: bool) -> None:
    # As _sq_finish; the connection goes back to the pool, or is closed when
    # its state is unknown (a cut statement, a failed commit or rollback):
    # the server then discards its transaction.
    life = _c_life(self)
    try:
        await _end_pooled(self, life, con, commit, con.close)
        pool = self._pool
        if pool is not None:
            # The connection is back in the pool when release returns; the
            # task it hands back only wakes the pool's waiters, and
            # asyncio.run cancels that task at shutdown: it is not awaited.
            _cl.give_back(pool, con)
    finally:
        life.forget(task, con)


async def _my_close(self: AioMysqlConnector, timeout: float = _tx.CLOSE_TIMEOUT) -> None:
    async def final(remaining: float) -> None:
        init = _c_life(self).initTask
        if init is not None and not init.done():
            await asyncio.wait((init,), timeout=remaining)
        pool = self._pool
        if pool is not None:
            pool.close()
            try:
                await asyncio.wait_for(pool.wait_closed(), remaining)
            except asyncio.TimeoutError:
                # Connections someone never gave back (getSelectCon): cut them.
                pool.terminate()
    await _tx.close(self, _c_life(self), _my_finish, final, timeout)


# ------------------------------------------------------------ asyncpg

# _c_error_kind's answer for a conflict to retry (serialisation failure, deadlock).
_CONFLICT = 2
# Guards each statement of a transaction that holds writes or locks: a failed
# statement rolls back to it, and the transaction stays usable, as on the
# other databases (PostgreSQL would abort the whole transaction).
_STMT_SAVEPOINT = "tavrik_stmt"
_SAVEPOINT_WORDS = ("savepoint", "release", "rollback to")


class _PgCon:
    """A task's pooled asyncpg connection and its transaction: asyncpg has no
    implicit transaction, so the first statement begins one, and commit() or
    rollback() ends it (the next statement begins the next)."""

    __slots__ = ("raw", "open", "writes", "guard", "dirty", "__weakref__")

    def __init__(self, raw: _Con) -> None:
        self.raw = raw
        self.open = False  # BEGIN sent, not yet ended
        self.writes = False  # the transaction holds writes, locks or savepoints
        self.guard = False  # the statement savepoint is set
        self.dirty = False  # something to keep was done since it was set

    @property
    def in_transaction(self) -> bool:
        return self.open

    async def commit(self) -> None:
        if self.open:
            self.open = self.writes = self.guard = self.dirty = False
            try:
                status = await self.raw.execute("COMMIT")
            except Exception as e:
                _pg_raise_lost(self.raw, e)
                raise
            if status == "ROLLBACK":
                raise _pg.aborted_commit()

    async def rollback(self) -> None:
        if self.open:
            self.open = self.writes = self.guard = self.dirty = False
            try:
                await self.raw.execute("ROLLBACK")
            except Exception:
                if not _pg_gone(self.raw):
                    raise
                # The server ended the session: it has discarded the
                # transaction itself.

    def drop(self) -> None:
        """Closes a connection whose state is unknown; one the pool took
        back when its link was lost needs nothing."""
        if not _pg_gone(self.raw):
            self.raw.terminate()

    def __repr__(self) -> str:
        return "<Tavrik PostgreSQL链接 %r>" % (self.raw,)


def _pg_gone(raw: _Con) -> bool:
    """Whether the pooled connection's link is lost (the pool takes such a
    connection back at once, and the proxy then refuses every call)."""
    try:
        return bool(raw.is_closed())
    except Exception:
        return True


def _pg_raise_lost(raw: _Con, e: Exception) -> None:
    """Raises a lost link as the driver's connection error (an
    OperationalError), not as the proxy's complaint of being released."""
    if isinstance(e, _pg_import().PostgresConnectionError) or not _pg_gone(raw):
        return
    raise _pg_import().ConnectionDoesNotExistError("与PostgreSQL服务器的链接已断开, 事务已丢失 (没有提交)") from e


def _pg_bool_in(v: Any) -> str:
    # The house form of a boolean is 0/1; a caller's own SQL may give a bool.
    return v if isinstance(v, str) else ("t" if v else "f")


def _pg_date_in(v: Any) -> str:
    return v if isinstance(v, str) else cast(str, v.isoformat())


def _pg_timestamp_in(v: Any) -> str:
    return v if isinstance(v, str) else cast(str, v.isoformat(" "))


def _pg_timestamp_out(text: str) -> datetime.datetime:
    # The server drops trailing zeros of the fraction; Python 3.9's parser
    # takes three or six digits.
    head, dot, frac = text.partition(".")
    if dot:
        text = head + "." + (frac + "000000")[:6]
    return datetime.datetime.fromisoformat(text)


# The text codecs each pool connection gets: encoders take the house form
# (what the columns' conversion makes before the dialect is known) and a
# caller's native values; decoders give the native values the rows' own
# conversion takes.  A second PostgreSQL driver mirrors this table.
_PG_CODECS: Tuple[Tuple[str, Callable[[Any], str], Callable[[str], Any]], ...] = (
    ("bool", _pg_bool_in, lambda t: t == "t"),
    ("date", _pg_date_in, datetime.date.fromisoformat),
    ("timestamp", _pg_timestamp_in, _pg_timestamp_out),
    ("numeric", str, decimal.Decimal),
)


def _pg_import() -> Any:
    try:
        # By name: an import statement would lead the type checker to the
        # untyped driver.
        asyncpg = importlib.import_module("asyncpg")
    except ImportError as e:
        raise ImportError("AsyncpgConnector需要asyncpg: pip install tavrik[postgresql]") from e
    # Its errors are caught by Tavrik.Error's kinds from now on.
    adopt()
    return asyncpg


def _pg_setup(self: AsyncpgConnector, loop: Any, dsn: Optional[str], options: Dict[str, Any]) -> None:
    """The constructor's Python part: the pool is made at once when the loop
    is not running, else by a task that statements wait for."""
    asyncpg = _pg_import()
    kwargs = dict(options)
    user_init = kwargs.pop("init", None)

    async def init(raw: _Con) -> None:
        for name, encoder, decoder in _PG_CODECS:
            await raw.set_type_codec(name, schema="pg_catalog", encoder=encoder, decoder=decoder, format="text")
        if user_init is not None:
            await user_init(raw)

    async def make() -> None:
        self._pool = await asyncpg.create_pool(dsn, init=init, **kwargs)
        self.isReady = True

    life = _c_life(self)
    if loop.is_running():
        life.initTask = loop.create_task(make())
        life.poolArgs = ((), {"make": make})
    else:
        loop.run_until_complete(make())


async def _pg_wait_pool(self: AsyncpgConnector) -> None:
    retried = False
    while not self.isReady:
        life = _c_life(self)
        init = life.initTask
        if init is None:
            await asyncio.sleep(0.05)
        elif not init.done():
            await asyncio.wait((init,))
        elif init.cancelled() or init.exception() is not None:
            exc = None if init.cancelled() else init.exception()
            if retried or life.poolArgs is None:
                raise RuntimeError("PostgreSQL连接池创建失败, 连接器暂不可用: %s" % type(exc).__name__) from exc
            # The server may be back: make the pool again.
            retried = True
            life.initTask = asyncio.get_running_loop().create_task(life.poolArgs[1]["make"]())
        else:
            await asyncio.sleep(0.05)


async def _pg_acquire(self: AsyncpgConnector) -> _Con:
    try:
        return await self._pool.acquire()
    except OSError as e:
        # The server is down (refused, unreachable): the driver's own
        # connection error, as a lost link is.
        raise _pg_import().ConnectionFailureError("无法连接PostgreSQL服务器: %s" % (e,)) from e


async def _pg_connect(self: AsyncpgConnector, life: Life) -> _Con:
    if not self.isReady:
        await _pg_wait_pool(self)
    return _PgCon(await _pg_acquire(self))


async def _pg_begin(self: AsyncpgConnector, con: _PgCon) -> None:
    """Begins the connection's next transaction.  A link lost while no
    transaction was open is replaced first: nothing of the statement has
    been sent yet, and nothing was held."""
    raw = con.raw
    try:
        await raw.execute("BEGIN")
    except Exception:
        if not _pg_gone(raw) or self._pool is None:
            raise
        fresh = await _pg_acquire(self)
        con.raw = fresh
        await _pg_give_back(raw)
        try:
            await fresh.execute("BEGIN")
        except Exception as again:
            _pg_raise_lost(fresh, again)
            raise
    con.open = True


async def _pg_discard(self: AsyncpgConnector, con: _Con) -> None:
    await self._pool.release(con.raw)


async def _pg_taskCon(self: AsyncpgConnector) -> _Con:
    return await _task_con(self, _pg_connect, _pg_discard)


async def _pg_con(self: AsyncpgConnector, hasCon: bool, con: _Con) -> _PgCon:
    if not hasCon:
        con = _c_life(self).task_con(asyncio.current_task()) or await self._taskCon()
    else:
        con = _tx.unwrap(con)
    if type(con) is not _PgCon:
        raise TypeError("AsyncpgConnector的con必须是它自己的链接 (getCon()或transaction()给出的), 得到%s"
                        % type(con).__name__)
    pg: _PgCon = con
    return pg


async def _pg_statement(self: AsyncpgConnector, con: _PgCon, text: str, writes: bool,
                        op: Callable[[], Awaitable[_T]]) -> _T:
    """Runs `op` (one statement on `con.raw`) inside the connection's
    transaction, so that its failure undoes only itself."""
    life = _c_life(self)
    try:
        async with life.gate(con):
            if not con.open:
                await _pg_begin(self, con)
            raw = con.raw
            try:
                if text.lstrip()[:11].lower().startswith(_SAVEPOINT_WORDS):
                    # A transaction() block's savepoint: the statement savepoint
                    # must not sit inside it (releasing one releases those after it).
                    if con.guard:
                        con.guard = False
                        await raw.execute("RELEASE SAVEPOINT " + _STMT_SAVEPOINT)
                    con.writes = con.dirty = True
                    return await op()
                guarded = con.writes
                # Set again only when something was kept since it was set:
                # reads after it need no new one, so a read and its update
                # cost one extra round trip, not two.
                if guarded and (con.dirty or not con.guard):
                    if con.guard:
                        await raw.execute("RELEASE SAVEPOINT %s; SAVEPOINT %s" % (_STMT_SAVEPOINT, _STMT_SAVEPOINT))
                    else:
                        await raw.execute("SAVEPOINT " + _STMT_SAVEPOINT)
                        con.guard = True
                    con.dirty = False
                try:
                    result = await op()
                except asyncio.CancelledError:
                    raise
                except Exception as e:
                    if _pg_gone(raw):
                        raise
                    if guarded:
                        await raw.execute("ROLLBACK TO SAVEPOINT " + _STMT_SAVEPOINT)
                    else:
                        # Nothing held yet: the failed transaction is dropped whole
                        # and the next statement begins a fresh one.
                        con.open = con.guard = False
                        await raw.execute("ROLLBACK")
                    taken = _pg.key_taken(e)
                    if taken is not None:
                        raise taken.with_traceback(e.__traceback__) from None
                    raise
            except asyncio.CancelledError:
                raise
            except Exception as e:
                if con.open and _pg_gone(raw):
                    # The link is lost, and the transaction with it.  Inside a
                    # transaction() block the transaction stays open, so the
                    # rest of the block fails on it and its end reports it;
                    # a task's own transaction ends here, and the task's next
                    # statement begins anew on another connection.
                    if not _tx.in_block(asyncio.current_task()):
                        con.open = con.writes = con.guard = con.dirty = False
                    _pg_raise_lost(raw, e)
                raise
            if writes:
                con.writes = con.dirty = True
            return result
    except asyncio.CancelledError:
        # Cut half way, the connection's state is unknown: it is closed at
        # the task's end, never committed or pooled as it is.
        if con.open:
            life.broken[id(con)] = con
        raise


def _pg_writes(text: str) -> bool:
    return not text.lstrip()[:6].lower() == "select"


async def _pg_execute(self: AsyncpgConnector, sql: str, con: _Con, dictCur: bool, args: Tuple[Any, ...]) -> Any:
    pg = await _pg_con(self, bool(con), con)
    text, params = _c_driver(self, sql, args)
    _c_life(self).note(pg, text, params)
    word = text.strip().rstrip(";").lower()
    if word in ("commit", "rollback", "end", "abort"):
        # The connection's own transaction state must follow: the next
        # statement begins a new transaction.
        async with _c_life(self).gate(pg):
            await (pg.commit() if word in ("commit", "end") else pg.rollback())
        return [] if dictCur else ()
    rows = await _pg_statement(self, pg, text, _pg_writes(text), lambda: pg.raw.fetch(text, *params))
    if dictCur:
        return [dict(r.items()) for r in rows]
    return tuple(tuple(r) for r in rows)


def _pg_rows(rows: List[Any]) -> _Raw:
    names = tuple(rows[0].keys()) if rows else ()
    return (names, [tuple(r) for r in rows], None, None)


async def _pg_run(self: AsyncpgConnector, sql: str, params: Any, kind: int, batch: int, locks: bool,
                  hasCon: bool, con: _Con) -> _Raw:
    """The connector's core, as _my_run: a single-row insert's new key comes
    back by the RETURNING clause the generator wrote, a keyed batch's keys
    one row per parameter tuple, in their order; an update's count is of the
    rows it matched."""
    pg = await _pg_con(self, hasCon, con)
    text, params = _c_driver(self, sql, params)
    _c_life(self).note(pg, text, params)
    writes = kind != 0 or locks
    if batch == 2:
        if isinstance(text, list):
            # Rows carrying their keys and rows without, one INSERT each,
            # under the one statement guard.
            async def groups() -> List[Any]:
                out: List[Any] = []
                for t, p in zip(text, params):
                    out.extend(await pg.raw.fetchmany(t, p))
                return out
            got = await _pg_statement(self, pg, text[0], writes, groups)
        else:
            got = await _pg_statement(self, pg, text, writes, lambda: pg.raw.fetchmany(text, params))
        return (None, [tuple(r) for r in got], None, None)
    if batch:
        await _pg_statement(self, pg, text, writes, lambda: pg.raw.executemany(text, params))
        return _NOTHING
    if kind == 1:
        row = await _pg_statement(self, pg, text, writes, lambda: pg.raw.fetchrow(text, *params))
        key = row[0] if row is not None and len(row) and isinstance(row[0], int) else 0
        return (None, None, key, None)
    if kind == 2 or kind == 3:
        status = await _pg_statement(self, pg, text, writes, lambda: pg.raw.execute(text, *params))
        tail = status.rsplit(" ", 1)[-1]
        return (None, None, None, int(tail) if tail.isdigit() else None)
    rows = await _pg_statement(self, pg, text, writes, lambda: pg.raw.fetch(text, *params))
    if kind == 0:
        return _pg_rows(rows)
    return (None, [tuple(r) for r in rows], None, None)


async def _pg_asyncProcess(self: AsyncpgConnector, executor: AsyncModelExecutor[Any], hasCon: bool, con: _Con) -> Any:
    sql, params, kind, batch, locks = _c_statement(self, executor)
    return _c_take(executor, await _c_run(self, sql, params, kind, batch, locks, hasCon, con))


async def _pg_getTableNameList(self: AsyncpgConnector) -> List[Any]:
    rows = await self.execute(_pg.TABLES_SQL)
    return [row[0] for row in rows]


async def _pg_finish(self: AsyncpgConnector, task: asyncio.Task[Any], con: _PgCon, commit: bool) -> None:
    # As _my_finish: a connection whose state is unknown (a cut statement,
    # a failed commit or rollback) is closed; the server then discards its
    # transaction.
    life = _c_life(self)
    try:
        await _end_pooled(self, life, con, commit, con.drop)
        if self._pool is not None:
            await _pg_give_back(con.raw)
    finally:
        life.forget(task, con)


async def _pg_give_back(raw: _Con) -> None:
    """Pool.release's steps without its asyncio.shield: the shield's inner
    task is one asyncio.run() cancels at its end, and a release driven as a
    plain future must not be cut (the holder would stay taken)."""
    proxy_con = getattr(raw, "_con", None)
    if proxy_con is None:
        return  # released already
    holder = raw._holder
    try:
        proxy_con._on_release()
        # The holder's release steps, without the asyncio.timeout() they run
        # under (from Python 3.11 it refuses to run outside a task, and this
        # release is driven as a plain future): reset the session, then free
        # the holder.
        await proxy_con._reset()
        reset_query = proxy_con.get_reset_query()
        if reset_query:
            await proxy_con.execute(reset_query)
    except Exception:
        proxy_con.terminate()  # the pool's own clean-up then frees the holder
        return
    holder._release()
    holder._setup_inactive_callback()


async def _pg_close(self: AsyncpgConnector, timeout: float = _tx.CLOSE_TIMEOUT) -> None:
    async def final(remaining: float) -> None:
        init = _c_life(self).initTask
        if init is not None and not init.done():
            await asyncio.wait((init,), timeout=remaining)
        pool = self._pool
        if pool is not None:
            try:
                await asyncio.wait_for(pool.close(), remaining)
            except asyncio.TimeoutError:
                pool.terminate()
    await _tx.close(self, _c_life(self), _pg_finish, final, timeout)


class _PgTransaction(_tx.Transaction):
    """The PostgreSQL connector's transaction(): a serialisation failure or a
    deadlock (40001, 40P01) becomes TransactionConflict, which
    runTransaction retries."""

    __slots__ = ("_pg",)

    def __init__(self, connector: AsyncpgConnector) -> None:
        super().__init__(connector.getCon(), life=_c_life(connector))
        self._pg = connector

    async def __aexit__(self, et: Optional[Type[BaseException]], ev: Optional[BaseException],
                        tb: Optional[TracebackType]) -> Optional[bool]:
        from Tavrik.Error.ClusterError import TransactionConflict

        if self._inner:
            return await super().__aexit__(et, ev, tb)
        try:
            swallowed = await super().__aexit__(et, ev, tb)
        except Exception as e:
            if not isinstance(e, TransactionConflict) and _c_error_kind(self._pg, e) == _CONFLICT:
                raise TransactionConflict() from e
            raise
        if (et is not None and not swallowed and isinstance(ev, Exception)
                and not isinstance(ev, TransactionConflict) and _c_error_kind(self._pg, ev) == _CONFLICT):
            raise TransactionConflict() from ev
        return swallowed


def _pg_transaction(self: AsyncpgConnector) -> _PgTransaction:
    return _PgTransaction(self)
