"""The synchronous pooled connectors' core (``MysqlConnector``).

Why Python and not C++: the driver (pymysql) is pure Python, so every
statement already runs thousands of Python bytecodes inside it; the pool's
few lines per statement (a lock, a list pop, a commit call) are noise beside
that, and written here they stay readable and typed.  The per-statement work
that is ours (the statement text in the driver's form, the executor's rows)
stays C++: the connector's C methods hand this module the driver's text, and
the rows come back as the raw result the executor reads.

The module has two halves.  ``SyncPool`` is generic: connections checked
out per statement from a thread-safe pool, a thread's transaction block on
one connection, commits and rollbacks, the fork rule.  A ``Driver`` is the
database-specific rest (connect, run one statement into the raw result,
which errors mean a lost connection): ``PyMysqlDriver`` here; another
database's driver plugs in next to it.
"""
from __future__ import annotations

import logging
import os
import random
import select
import threading
import time
from types import TracebackType
from typing import Any, Callable, Dict, List, Mapping, Optional, Tuple, Type, TypeVar

import pymysql

from Tavrik.DB import _async_tx as _tx
from Tavrik.DB import _cluster as _cl
from Tavrik.DB.Connector import _c_dict_rows, _c_rows
from Tavrik.Error.ClusterError import ClusterUnavailable, NodeLost, TransactionConflict
from Tavrik.Error.DriverError import ConflictError

__all__ = ["Block", "PyMysqlDriver", "SyncPool", "mysql_pool", "public_config", "readable"]

_logger = logging.getLogger("Tavrik.DB")

# Driver connections carry no type information.
_Con = Any
# (names, rows, key, count): api/connector.hpp's RawField.
_Raw = Tuple[Any, Any, Any, Any]
_T = TypeVar("_T")

# The pool's own keywords, named as aiomysql's pool names them; the rest go
# to the driver.
POOL_OPTIONS = ("minsize", "maxsize", "pool_recycle", "showLog")
# Options whose values never appear in `_config` (nor so in a repr).
_SECRET = ("password", "passwd")

# Bumped in a forked child: connections of an older generation are the
# parent's.  A child never closes them (a quit or a rollback sent on a shared
# socket would end the parent's session or transaction); they are kept
# referenced so that no destructor touches them either.
_generation = 0
_inherited: List[_Con] = []


def _forked() -> None:
    global _generation
    _generation += 1


os.register_at_fork(after_in_child=_forked)


def _refused(what: str) -> RuntimeError:
    return RuntimeError(
        "事务块内不能调用连接器的%s(): 事务块正常结束时提交, 异常结束时回滚 (要提前结束请离开 with 块)" % what)


def readable(fd: int) -> bool:
    """Whether `fd` has something to read now: a poll that does not wait,
    no round trip."""
    poller = select.poll()
    poller.register(fd, select.POLLIN)
    return bool(poller.poll(0))


def public_config(options: Mapping[str, Any]) -> Dict[str, Any]:
    return {k: v for k, v in options.items() if k not in _SECRET}


# ------------------------------------------------------------ drivers

class PyMysqlDriver:
    """MySQL/MariaDB through pymysql: rows as tuples, committed by the pool.
    Given `nodes` (a Galera cluster's (host, port) list), a connection goes
    to a node that reports itself synced and ready, trying the others (for
    up to `failoverTimeout` seconds) when one is lost or not ready."""

    __slots__ = ("_options", "_nodes", "_next", "_failover", "_syncWait", "server")
    dialect = "mysql"

    def __init__(self, options: Mapping[str, Any], nodes: Optional[List[Tuple[str, int]]] = None,
                 failoverTimeout: float = _cl.FAILOVER_TIMEOUT, syncWait: int = 0) -> None:
        self._options = dict(options)
        # The pool ends every transaction itself.
        self._options["autocommit"] = False
        self._nodes = nodes
        self._next = 0  # the node that answered last: tried first
        self._failover = failoverTimeout
        self._syncWait = syncWait
        # The server's version text, from the first connection.
        self.server: Optional[str] = None

    def connect(self) -> _Con:
        con = self._connect()
        if self.server is None:
            self.server = con.get_server_info()
        return con

    def _connect(self) -> _Con:
        if self._nodes is None:
            return pymysql.connect(**self._options)
        nodes = self._nodes
        deadline = time.monotonic() + self._failover
        reasons: Dict[int, str] = {}
        last: Optional[BaseException] = None
        while True:
            for i in range(len(nodes)):
                k = (self._next + i) % len(nodes)
                host, port = nodes[k]
                try:
                    con = pymysql.connect(host=host, port=port, **self._options)
                except Exception as e:
                    if not _cl.lost(e):
                        raise
                    reasons[k], last = repr(e), e
                    continue
                try:
                    reason = _cl.not_ready(self.rows(con, _cl.STATE_SQL, None, False))
                    if reason is None:
                        if self._syncWait:
                            self.rows(con, "SET SESSION wsrep_sync_wait = %s", (self._syncWait,), False)
                        self._next = k
                        return con
                except Exception as e:
                    if not _cl.lost(e):
                        con.close()
                        raise
                    reason, last = repr(e), e
                con.close()
                reasons[k] = reason
            if time.monotonic() >= deadline:
                err = ClusterUnavailable()
                err.msg = "%s: %s" % (err.msg, ", ".join(
                    "%s:%d %s" % (nodes[k][0], nodes[k][1], r) for k, r in sorted(reasons.items())))
                raise err from last
            time.sleep(min(0.2, max(deadline - time.monotonic(), 0)))

    def blockError(self, exc: BaseException, committing: bool) -> Optional[BaseException]:
        """What a transaction block raises instead of `exc`, or None."""
        if isinstance(exc, (NodeLost, TransactionConflict)):
            return None
        if _cl.lost(exc):
            return NodeLost(committing)
        if _cl.conflict(exc):
            return TransactionConflict()
        return None

    def run(self, con: _Con, text: Any, params: Any, kind: int, batch: int) -> _Raw:
        # The raw result of the asynchronous MySQL core (_my_run), for the
        # same statement.
        cur = con.cursor()
        try:
            if batch == 2:
                rows: List[Any] = []
                for t, p in zip(text, params):
                    cur.execute(t, p)
                    rows.extend(cur.fetchall())
                return (None, rows, None, None)
            if batch:
                cur.executemany(text, params)
            else:
                cur.execute(text, params)
            if kind == 0:
                raw: _Raw = _c_rows(cur, cur.fetchall())
                return raw
            if kind == 1:
                # The rows an insert wrote: an upsert that leaves duplicates
                # alone counts by them (0 for a row passed over).
                return (None, None, cur.lastrowid, cur.rowcount)
            if (kind == 2 or kind == 3) and not batch:
                # Rows changed, not matched (MySQL's count).
                return (None, None, None, cur.rowcount)
            return (None, list(cur.fetchall()), None, None)
        finally:
            cur.close()

    def rows(self, con: _Con, text: str, args: Any, dictCur: bool) -> Any:
        cur = con.cursor()
        try:
            cur.execute(text, args)
            rows = cur.fetchall()
            return _c_dict_rows(cur, rows) if dictCur else tuple(rows)
        finally:
            cur.close()

    def statement(self, con: _Con, text: str) -> None:
        cur = con.cursor()
        try:
            cur.execute(text)
        finally:
            cur.close()

    def begin(self, con: _Con) -> None:
        # Autocommit is off: the block's first statement opens its
        # transaction, and a BEGIN would cost a round trip of its own (a
        # save() of one row is a block too).
        pass

    def commit(self, con: _Con) -> None:
        con.commit()

    def rollback(self, con: _Con) -> None:
        con.rollback()

    def close(self, con: _Con) -> None:
        con.close()

    def lost(self, exc: BaseException) -> bool:
        return _cl.lost(exc)

    def gone(self, con: _Con) -> bool:
        # Between statements the server sends nothing: anything to read on
        # an idle connection is its end (EOF, or the error packet before it).
        sock = con._sock
        return sock is None or readable(sock.fileno())

    def tables(self, con: _Con) -> List[str]:
        rows = self.rows(con, "SELECT TABLE_NAME FROM information_schema.TABLES WHERE TABLE_SCHEMA = DATABASE()",
                         None, False)
        return [row[0] for row in rows]


# ------------------------------------------------------------ the pool

class _Thread(threading.local):
    """A thread's transaction block: its connection and depth."""
    con: _Con = None
    depth = 0


class SyncPool:
    """Connections checked out per statement (or held by a thread for its
    transaction block) and given back; safe to share between threads."""

    def __init__(self, driver: Any, minsize: int = 1, maxsize: int = 10, pool_recycle: float = -1,
                 showLog: bool = False) -> None:
        if not isinstance(maxsize, int) or maxsize < 1:
            raise ValueError("maxsize must be a positive integer, got %r" % (maxsize,))
        if not isinstance(minsize, int) or not 0 <= minsize <= maxsize:
            raise ValueError("minsize must be an integer between 0 and maxsize, got %r" % (minsize,))
        self.driver = driver
        self.minsize = minsize
        self.maxsize = maxsize
        self.recycle = pool_recycle
        self.showLog = bool(showLog)
        self.closed = False
        self._start()
        # Opened at once: wrong settings or an unreachable server fail here.
        cons = [self.acquire() for _ in range(minsize)]
        for con in cons:
            self.release(con)

    def _start(self) -> None:
        self._generation = _generation
        self._cond = threading.Condition(threading.Lock())
        self._free: List[Tuple[_Con, float]] = []
        self._size = 0
        self._thread = _Thread()

    def _here(self) -> _Thread:
        if self._generation != _generation:
            # A forked child: the parent's connections and blocks stay the
            # parent's; this process opens its own.
            _inherited.extend(con for con, _ in self._free)
            if self._thread.con is not None:
                _inherited.append(self._thread.con)
            self._start()
        return self._thread

    @property
    def size(self) -> int:
        return self._size

    @property
    def freesize(self) -> int:
        return len(self._free)

    def acquire(self) -> _Con:
        self._here()
        stale: List[_Con] = []
        try:
            with self._cond:
                while True:
                    if self.closed:
                        raise RuntimeError("连接器已关闭")
                    if self._free:
                        con, since = self._free.pop()
                        if (self.recycle >= 0 and time.monotonic() - since > self.recycle) or self.driver.gone(con):
                            # A connection the server ended while it lay here
                            # (a restart): found before anything is sent on it,
                            # so taking another one is safe.
                            stale.append(con)
                            self._size -= 1
                            continue
                        return con
                    if self._size < self.maxsize:
                        self._size += 1
                        break
                    self._cond.wait()
        finally:
            for con in stale:
                self._close(con)
        try:
            return self.driver.connect()
        except BaseException:
            with self._cond:
                self._size -= 1
                self._cond.notify()
            raise

    def release(self, con: _Con, broken: bool = False) -> None:
        if self._generation != _generation:
            _inherited.append(con)  # checked out in the parent
            return
        with self._cond:
            keep = not broken and not self.closed
            if keep:
                self._free.append((con, time.monotonic()))
            else:
                self._size -= 1
            self._cond.notify()
        if not keep:
            self._close(con)

    def _close(self, con: _Con) -> None:
        try:
            self.driver.close(con)
        except Exception:
            pass  # already gone: the server has ended its session

    def _ended(self, con: _Con, exc: BaseException) -> bool:
        """Rolls back after a failure; whether the connection must go."""
        if not isinstance(exc, Exception) or self.driver.lost(exc):
            return True  # cut half way, or gone: its state is unknown
        try:
            self.driver.rollback(con)
        except BaseException:
            return True
        return False

    def _begun(self) -> _Con:
        """A connection of its own with a transaction begun; given back
        (closed when its state is unknown) when the BEGIN fails."""
        con = self.acquire()
        try:
            self.driver.begin(con)
        except BaseException as e:
            self.release(con, self._ended(con, e))
            raise
        return con

    def _log(self, text: str) -> None:
        if self.showLog:
            _logger.debug("%s", text)

    # ---------------------------------------------------- statements

    def serverVersion(self) -> Optional[str]:
        """The server's version text (a connection is made for it when none
        was yet): whether a batch's keys come back."""
        if self.driver.server is None:
            self.release(self.acquire())
        server: Optional[str] = self.driver.server
        return server

    def run(self, text: Any, params: Any, kind: int, batch: int, seen: Optional[List[_Con]] = None) -> _Raw:
        """One statement of an executor: in the thread's block, or on a
        connection of its own, committed.  `seen` (given only while
        statements are observed) gets the connection it ran on."""
        t = self._here()
        self._log(text)
        if t.depth:
            if seen is not None:
                seen.append(t.con)
            if not batch:
                raw: _Raw = self.driver.run(t.con, text, params, kind, batch)
                return raw
            # A failed batch takes back only its own rows.
            self.driver.statement(t.con, "SAVEPOINT tavrik_batch")
            try:
                raw = self.driver.run(t.con, text, params, kind, batch)
            except BaseException:
                self.driver.statement(t.con, "ROLLBACK TO SAVEPOINT tavrik_batch")
                raise
            self.driver.statement(t.con, "RELEASE SAVEPOINT tavrik_batch")
            return raw
        out: _Raw = self._committed(lambda con: self.driver.run(con, text, params, kind, batch), seen)
        return out

    def _committed(self, op: Callable[[_Con], _T], seen: Optional[List[_Con]] = None) -> _T:
        """`op` on a connection of its own, committed (rolled back when it
        fails) and given back."""
        con = self.acquire()
        if seen is not None:
            seen.append(con)
        broken = False
        try:
            result = op(con)
            self.driver.commit(con)
            return result
        except BaseException as e:
            broken = self._ended(con, e)
            raise
        finally:
            self.release(con, broken)

    def execute(self, text: str, args: Any, dictCur: bool, con: _Con, seen: Optional[List[_Con]] = None) -> Any:
        """A statement's rows: on `con` (a getCon() connection, not
        committed), in the thread's block, or on a connection of its own and
        committed; `seen` as for run()."""
        t = self._here()
        self._log(text)
        if con is not None or t.depth:
            on = con if con is not None else t.con
            if seen is not None:
                seen.append(on)
            return self.driver.rows(on, text, args, dictCur)
        return self._committed(lambda con: self.driver.rows(con, text, args, dictCur), seen)

    def tables(self) -> List[str]:
        t = self._here()
        if t.depth:
            tables: List[str] = self.driver.tables(t.con)
            return tables
        return self._committed(self.driver.tables)

    # ---------------------------------------------------- connections

    def getCon(self) -> _Con:
        t = self._here()
        if t.depth:
            return t.con
        # Its statements are one transaction, which releaseCon commits.
        return self._begun()

    def releaseCon(self, con: _Con) -> None:
        t = self._here()
        if t.depth and con is t.con:
            return  # the block commits
        broken = False
        try:
            self.driver.commit(con)
        except BaseException as e:
            broken = self._ended(con, e)
            raise
        finally:
            self.release(con, broken)

    def refuseInBlock(self, what: str) -> None:
        if self._here().depth:
            raise _refused(what)

    # ---------------------------------------------------- blocks

    def begin(self) -> _Con:
        t = self._here()
        if t.depth == 0:
            t.con = self._begun()
        else:
            self.driver.statement(t.con, "SAVEPOINT tavrik_tx_%d" % t.depth)
        t.depth += 1
        return t.con

    def end(self, ok: bool) -> None:
        t = self._here()
        if t.depth == 0:
            return  # begun before a fork, in the parent
        t.depth -= 1
        con = t.con
        if t.depth:
            if not ok:
                self.driver.statement(con, "ROLLBACK TO SAVEPOINT tavrik_tx_%d" % t.depth)
            self.driver.statement(con, "RELEASE SAVEPOINT tavrik_tx_%d" % t.depth)
            return
        t.con = None
        broken = False
        try:
            if ok:
                self.driver.commit(con)
            else:
                self.driver.rollback(con)
        except BaseException as e:
            # A failed commit is the caller's error; the connection's state
            # is then unknown, so it is closed (the server drops what is left).
            broken = True
            if not ok and isinstance(e, Exception):
                # The block's own error is the one to see: a rollback that
                # cannot go through (a lost connection) leaves the closing
                # of the session to undo the transaction.
                return
            if ok and isinstance(e, Exception) and not self.driver.lost(e):
                try:
                    self.driver.rollback(con)
                    broken = False
                except BaseException:
                    pass
            raise
        finally:
            self.release(con, broken)

    def transaction(self) -> Block:
        return Block(self)

    def runTransaction(self, fn: Callable[..., _T], *args: Any, retries: int = 3, **kwargs: Any) -> _T:
        """connector.runTransaction(fn, *args, retries=3, **kwargs): as the
        asynchronous connectors' (run_transaction in _async_tx), for a
        thread: `fn(con, *args, **kwargs)` in a transaction() block, run
        again on a fresh transaction when it loses a conflict or its
        connection is lost before the commit was sent."""
        if isinstance(retries, bool) or not isinstance(retries, int) or retries < 0:
            raise ValueError("retries 必须是不小于0的整数")
        if self._here().depth:
            with self.transaction() as con:
                return fn(con, *args, **kwargs)
        attempt = 0
        while True:
            try:
                with self.transaction() as con:
                    return fn(con, *args, **kwargs)
            except ConflictError:
                if attempt >= retries:
                    raise
            except NodeLost as e:
                if e.committing or attempt >= retries:
                    raise
            attempt += 1
            time.sleep(_tx.RETRY_PAUSE * attempt * (0.5 + random.random()))

    def close(self) -> None:
        """Closes the free connections; those in use close when given back.
        In a forked child only the child's own."""
        self._here()
        with self._cond:
            self.closed = True
            free = [con for con, _ in self._free]
            self._size -= len(free)
            self._free.clear()
            self._cond.notify_all()
        for con in free:
            self._close(con)


class Block:
    """with connector.transaction() as con: the thread's block.  The
    outermost one raises the driver's kinds of a lost connection and of a
    conflict (NodeLost, TransactionConflict on MySQL)."""

    __slots__ = ("_pool", "_outer")

    def __init__(self, pool: SyncPool) -> None:
        self._pool = pool
        self._outer = False

    def __enter__(self) -> _Con:
        outer = self._pool._here().depth == 0
        con = self._pool.begin()
        self._outer = outer
        return con

    def __exit__(self, et: Optional[Type[BaseException]], ev: Optional[BaseException],
                 tb: Optional[TracebackType]) -> None:
        kinds = getattr(self._pool.driver, "blockError", None) if self._outer else None
        try:
            self._pool.end(et is None)
        except Exception as e:
            swap = kinds(e, et is None) if kinds is not None else None
            if swap is not None:
                raise swap from e
            raise
        if kinds is not None and isinstance(ev, Exception):
            swap = kinds(ev, False)
            if swap is not None:
                raise swap from ev


def mysql_pool(options: Dict[str, Any]) -> SyncPool:
    """The pool of MysqlConnector(**options): the pool's options taken out,
    the rest pymysql.connect's."""
    for name in ("spread", "checkInterval"):
        if name in options:
            raise TypeError("MysqlConnector 不支持 %s (只有 AioMysqlConnector 有)" % name)
    pool_kw = {k: options.pop(k) for k in POOL_OPTIONS if k in options}
    if "database" in options and "db" not in options:
        options["db"] = options.pop("database")
    nodes = None
    failover = float(options.pop("failoverTimeout", _cl.FAILOVER_TIMEOUT))
    causal = options.pop("causalReads", False)
    if "hosts" in options:
        if "host" in options or "port" in options:
            raise TypeError("hosts 与 host/port 不能同时给出")
        nodes = _cl.parse_hosts(options.pop("hosts"), 3306)
    # wsrep_sync_wait bit mask: True waits before reads (1).
    sync_wait = int(causal) if not isinstance(causal, bool) else (1 if causal else 0)
    return SyncPool(PyMysqlDriver(options, nodes, failover, sync_wait), **pool_kw)
