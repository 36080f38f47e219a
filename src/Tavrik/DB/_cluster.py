"""AioMysqlConnector on several database nodes (a MariaDB Galera cluster).

The connector's pool is then a ClusterPool: one aiomysql pool per node, made
when the node is first used.  Work goes to a node that reports itself synced
and ready (wsrep_ready ON and wsrep_local_state 4; a server without wsrep
counts as ready).  A watcher task asks every node for that state every
`checkInterval` seconds on a connection of its own, and a node whose
connection fails while in use is taken out at once, so new work moves to the
others within about checkInterval + the check's timeout.

What failover does not do: a statement or commit in flight on a node that
dies fails (see Tavrik.Error.ClusterError.NodeLost); nothing is re-sent on
its own, because a commit whose answer was lost may have been applied.

The synchronous MysqlConnector (Tavrik/DB/_sync_connectors.py) reuses the
parts that do not await: parse_hosts, not_ready, lost and conflict.
"""
from __future__ import annotations

import asyncio
import weakref
from types import TracebackType
from typing import TYPE_CHECKING, Any, Dict, Iterable, List, Mapping, Optional, Tuple, Type, Union

import pymysql

from Tavrik.DB import _async_tx as _tx
from Tavrik.Error.ClusterError import ClusterUnavailable, NodeLost, TransactionConflict

if TYPE_CHECKING:
    from Tavrik.DB._async_tx import Life
    from Tavrik.DB.Connector import AioMysqlConnector

# aiomysql's pools and connections carry no type information.
_Pool = Any
_Con = Any

# The connector's own keywords; the rest go to aiomysql unchanged.
OPTIONS = ("hosts", "causalReads", "spread", "failoverTimeout", "checkInterval")
_POOL_ONLY = ("minsize", "maxsize", "pool_recycle", "echo", "loop")

FAILOVER_TIMEOUT = 10.0
CHECK_INTERVAL = 0.5

STATE_SQL = "SHOW GLOBAL STATUS WHERE Variable_name IN ('wsrep_ready', 'wsrep_local_state')"

# Client and server errors that mean the node (or the way to it) is gone, not
# that the statement was wrong: can't connect, server gone away, lost
# connection, server shutting down, node not ready (wsrep), connection closed.
_LOST_CODES = frozenset((1047, 1053, 2003, 2006, 2013, 2055))
# A COMMIT refused by a node that has left the primary component (a peer
# dropped out under load): it takes no more work until it rejoins.
_ERROR_DURING_COMMIT = 1180
# _c_error_kind's answer for a deadlock or a failed certification.
_CONFLICT = 2


def not_ready(rows: Iterable[Tuple[str, str]]) -> Optional[str]:
    """Why a node whose STATE_SQL answered `rows` takes no work, or None."""
    state = {name: value for name, value in rows}
    if "wsrep_local_state" not in state:
        return None  # a server without wsrep
    if state.get("wsrep_ready") != "ON":
        return "wsrep_ready=%s" % state.get("wsrep_ready")
    if state["wsrep_local_state"] != "4":
        return "wsrep_local_state=%s (不是4: Synced)" % state["wsrep_local_state"]
    return None


def wanted(kwargs: Mapping[str, Any]) -> bool:
    return any(k in kwargs for k in OPTIONS)


def lost(exc: Optional[BaseException]) -> bool:
    if isinstance(exc, NodeLost):
        return True
    if isinstance(exc, pymysql.err.InterfaceError):
        return True  # a closed connection (aiomysql closes it on a lost link)
    if isinstance(exc, pymysql.err.MySQLError) and exc.args:
        code = exc.args[0]
        if code == _ERROR_DURING_COMMIT:
            return "Primary Component" in str(exc.args[-1])
        return code in _LOST_CODES
    return False


def conflict(exc: Optional[BaseException]) -> bool:
    # Imported here: the connector module imports this one while it loads.
    from Tavrik.DB.Connector import _c_error_kind
    return isinstance(exc, TransactionConflict) or (
        isinstance(exc, pymysql.err.MySQLError) and _c_error_kind("mysql", exc) == _CONFLICT)


# The wake-ups of give_back in flight (a task nobody awaits is kept here).
_wakeups: "set[asyncio.Task[None]]" = set()


def give_back(pool: _Pool, con: _Con) -> None:
    """pool.release(con), for a connection that may have been closed (lost):
    aiomysql wakes the tasks waiting for a connection only when a live one
    comes back, and a closed one frees a place all the same (without the
    wake-up a task waiting on a full pool would wait for ever)."""
    inner = pool
    if isinstance(pool, ClusterPool):
        node = pool._owner.get(con)
        inner = node.pool if node is not None else None
    pool.release(con)
    if con.closed and inner is not None:
        task = asyncio.get_event_loop().create_task(inner._wakeup())
        _wakeups.add(task)
        task.add_done_callback(_wakeups.discard)


def parse_hosts(hosts: Union[str, Iterable[Union[str, Tuple[Any, Any]]]], default_port: int) -> List[Tuple[str, int]]:
    if isinstance(hosts, str):
        hosts = [h for h in hosts.split(",") if h.strip()]
    out: List[Tuple[str, int]] = []
    port: Union[str, int]
    for h in hosts:
        if isinstance(h, str):
            host, sep, port = h.strip().rpartition(":")
            if not sep:
                host, port = port, default_port
            out.append((host, int(port)))
        else:
            host, port = h
            out.append((str(host), int(port)))
    if not out:
        raise ValueError("hosts 不能为空: 需要至少一个 \"host:port\" 或 (host, port)")
    return out


class Node:
    __slots__ = ("host", "port", "pool", "ready", "reason", "watch", "making", "prepared")

    def __init__(self, host: str, port: int) -> None:
        self.host = host
        self.port = port
        self.pool: _Pool = None
        self.ready = False
        self.reason: Optional[str] = None  # why it is not ready
        self.watch: _Con = None  # the watcher's own connection
        self.making: Optional[asyncio.Future[None]] = None  # the pool being made
        self.prepared: weakref.WeakSet[_Con] = weakref.WeakSet()  # connections with wsrep_sync_wait set

    def __repr__(self) -> str:
        return "%s:%s" % (self.host, self.port)


class ClusterPool:
    """The aiomysql pool's operations (acquire, release, close, wait_closed,
    terminate, size, freesize) over the pools of several nodes."""

    def __init__(self, args: Tuple[Any, ...], kwargs: Mapping[str, Any]) -> None:
        kwargs = dict(kwargs)
        hosts = kwargs.pop("hosts", None)
        causal = kwargs.pop("causalReads", False)
        self.spread = bool(kwargs.pop("spread", False))
        self.failoverTimeout = float(kwargs.pop("failoverTimeout", FAILOVER_TIMEOUT))
        self.checkInterval = float(kwargs.pop("checkInterval", CHECK_INTERVAL))
        if hosts is None:
            hosts = [(kwargs.pop("host", "localhost"), kwargs.pop("port", 3306))]
        elif "host" in kwargs or "port" in kwargs:
            raise TypeError("hosts 与 host/port 不能同时给出")
        else:
            hosts = parse_hosts(hosts, 3306)
        # wsrep_sync_wait bit mask: True waits before reads (1).
        self.syncWait = int(causal) if not isinstance(causal, bool) else (1 if causal else 0)
        self.nodes = [Node(h, p) for h, p in hosts]
        self._args = args
        self._kwargs = kwargs
        self._owner: Dict[_Con, Node] = {}  # connection -> node
        self._next = 0
        self._closing = False
        self._watcher: Optional[asyncio.Task[None]] = None
        self._loop: Optional[asyncio.AbstractEventLoop] = None
        self._changed: Optional[asyncio.Event] = None  # set when a node's state changes

    # -------------------------------------------------------- node state

    def _connect_kwargs(self) -> Dict[str, Any]:
        kw = {k: v for k, v in self._kwargs.items() if k not in _POOL_ONLY}
        kw["autocommit"] = True
        kw.setdefault("connect_timeout", max(1.0, self.checkInterval * 2))
        return kw

    async def _probe(self, node: Node) -> Optional[str]:
        import aiomysql

        con = node.watch
        if con is None or con.closed:
            node.watch = None
            con = await aiomysql.connect(host=node.host, port=node.port, **self._connect_kwargs())
            node.watch = con
        async with con.cursor() as cur:
            await cur.execute(STATE_SQL)
            return not_ready(await cur.fetchall())

    async def check(self, node: Node) -> None:
        reason: Optional[str]
        try:
            reason = await asyncio.wait_for(self._probe(node), max(1.0, self.checkInterval * 2))
        except asyncio.CancelledError:
            self._drop_watch(node)
            raise
        except Exception as e:
            self._drop_watch(node)
            reason = repr(e)
        if reason is None:
            self._mark(node, True, None)
        else:
            await self._down(node, reason)

    def _drop_watch(self, node: Node) -> None:
        con, node.watch = node.watch, None
        if con is not None:
            con.close()

    def _mark(self, node: Node, ready: bool, reason: Optional[str]) -> None:
        changed = node.ready != ready
        node.ready = ready
        node.reason = reason
        if changed and self._changed is not None:
            self._changed.set()

    async def _down(self, node: Node, reason: str) -> None:
        was = node.ready
        self._mark(node, False, reason)
        if was and node.pool is not None:
            # Its idle connections are dead or lead to a node that refuses work.
            # A hung node would never answer the QUIT each one is sent.
            try:
                await asyncio.wait_for(node.pool.clear(), max(1.0, self.checkInterval * 2))
            except (Exception, asyncio.TimeoutError):
                pass  # the pool's connections are being dropped anyway

    def nodeFailed(self, con: _Con, exc: BaseException) -> None:
        """A connection of this pool was lost: its node takes no new work until
        the watcher finds it ready again."""
        node = self._owner.get(con)
        if node is not None and node.ready:
            self._mark(node, False, repr(exc))

    async def checkAll(self) -> None:
        await asyncio.gather(*(self.check(n) for n in self.nodes))

    async def _watch(self) -> None:
        try:
            while not self._closing:
                await asyncio.sleep(self.checkInterval)
                await self.checkAll()
        except asyncio.CancelledError:
            pass
        finally:
            for node in self.nodes:
                self._drop_watch(node)

    def _bind_loop(self) -> asyncio.AbstractEventLoop:
        loop = asyncio.get_running_loop()
        if self._loop is not loop:
            self._loop = loop
            self._changed = asyncio.Event()
        return loop

    def _ensure_watcher(self) -> None:
        loop = self._bind_loop()
        w = self._watcher
        if (w is None or w.done() or w.get_loop() is not loop) and not self._closing:
            self._watcher = loop.create_task(self._watch())

    # -------------------------------------------------------- the pool

    def _pick(self) -> Optional[Node]:
        ready = [n for n in self.nodes if n.ready]
        if not ready:
            return None
        if not self.spread:
            return ready[0]
        self._next = (self._next + 1) % len(ready)
        return ready[self._next]

    async def _node_pool(self, node: Node) -> _Pool:
        import aiomysql

        while node.pool is None:
            if node.making is not None:
                await asyncio.shield(node.making)
                continue
            node.making = asyncio.get_running_loop().create_future()
            try:
                node.pool = await aiomysql.create_pool(*self._args, host=node.host, port=node.port, **self._kwargs)
            finally:
                making, node.making = node.making, None
                making.set_result(None)
        return node.pool

    async def acquire(self) -> _Con:
        self._ensure_watcher()
        loop = asyncio.get_running_loop()
        deadline = loop.time() + self.failoverTimeout
        last: Optional[Exception] = None
        while True:
            if self._closing:
                raise _tx.closed_error()
            node = self._pick()
            if node is not None:
                con = None
                try:
                    pool = await self._node_pool(node)
                    con = await pool.acquire()
                    self._owner[con] = node
                    if self.syncWait and con not in node.prepared:
                        async with con.cursor() as cur:
                            await cur.execute("SET SESSION wsrep_sync_wait = %s", (self.syncWait,))
                        node.prepared.add(con)
                    return con
                except Exception as e:
                    if con is not None:
                        self.release(con)
                    if not lost(e):
                        raise
                    last = e
                    await self._down(node, repr(e))
                    continue
            remaining = deadline - loop.time()
            if remaining <= 0:
                err = ClusterUnavailable()
                err.msg = "%s: %s" % (err.msg, ", ".join("%r %s" % (n, n.reason) for n in self.nodes))
                raise err from last
            assert self._changed is not None  # made by _ensure_watcher's _bind_loop
            self._changed.clear()
            try:
                await asyncio.wait_for(self._changed.wait(), min(remaining, self.checkInterval))
            except asyncio.TimeoutError:
                pass

    def release(self, con: _Con) -> asyncio.Future[None]:
        node = self._owner.pop(con, None)
        if node is not None and node.pool is not None:
            released: asyncio.Future[None] = node.pool.release(con)  # aiomysql's: a future, untyped
            return released
        con.close()
        fut: asyncio.Future[None] = asyncio.get_event_loop().create_future()
        fut.set_result(None)
        return fut

    @property
    def size(self) -> int:
        return sum(n.pool.size for n in self.nodes if n.pool is not None)

    @property
    def freesize(self) -> int:
        return sum(n.pool.freesize for n in self.nodes if n.pool is not None)

    def readyNodes(self) -> List[Tuple[str, int]]:
        """The nodes taking work now, as (host, port) pairs, in order."""
        return [(n.host, n.port) for n in self.nodes if n.ready]

    def close(self) -> None:
        self._closing = True
        w = self._watcher
        if w is not None and not w.done():
            w.cancel()
        for node in self.nodes:
            self._drop_watch(node)
            if node.pool is not None:
                node.pool.close()

    def terminate(self) -> None:
        self.close()
        for node in self.nodes:
            if node.pool is not None:
                node.pool.terminate()

    async def wait_closed(self) -> None:
        w = self._watcher
        if w is not None and not w.done() and w.get_loop() is asyncio.get_running_loop():
            await asyncio.wait((w,))
        for node in self.nodes:
            if node.pool is not None:
                await node.pool.wait_closed()


async def create_pool(args: Tuple[Any, ...], kwargs: Mapping[str, Any]) -> ClusterPool:
    """The connector's pool on the nodes of `hosts`; fails, as create_pool
    would, when no node is ready."""
    pool = ClusterPool(args, kwargs)
    loop = pool._bind_loop()
    # A node may be joining while the application starts: wait for one as a
    # statement would.
    deadline = loop.time() + pool.failoverTimeout
    while True:
        await pool.checkAll()
        node = pool._pick()
        if node is not None or loop.time() >= deadline:
            break
        await asyncio.sleep(min(pool.checkInterval, max(deadline - loop.time(), 0)))
    if node is None:
        pool.close()
        err = ClusterUnavailable()
        err.msg = "%s: %s" % (err.msg, ", ".join("%r %s" % (n, n.reason) for n in pool.nodes))
        raise err
    try:
        await pool._node_pool(node)
    except BaseException:
        pool.close()
        raise
    return pool


# ------------------------------------------------------------ transactions

def transaction(connector: AioMysqlConnector, life: Life) -> MysqlTransaction:
    """The MySQL connector's transaction(): its errors of conflict and of a
    lost node become TransactionConflict and NodeLost."""
    return MysqlTransaction(connector, life)


class MysqlTransaction(_tx.Transaction):
    __slots__ = ("_connector",)

    def __init__(self, connector: AioMysqlConnector, life: Life) -> None:
        super().__init__(connector.getCon(), life=life)
        self._connector = connector

    async def __aexit__(self, et: Optional[Type[BaseException]], ev: Optional[BaseException],
                        tb: Optional[TracebackType]) -> Optional[bool]:
        if self._inner:
            return await super().__aexit__(et, ev, tb)
        con = self._con
        if et is not None and lost(ev):
            # A ROLLBACK cannot go through: the connection is closed instead
            # (the server discards its transaction).
            assert self._life is not None  # given by transaction()
            self._life.broken[id(con)] = con
        try:
            swallowed = await super().__aexit__(et, ev, tb)
        except Exception as e:
            committing = et is None
            if lost(e):
                self._drop(con, e)
                raise NodeLost(committing) from e
            if conflict(e):
                raise TransactionConflict() from e
            raise
        if et is not None and not swallowed and isinstance(ev, Exception):
            if lost(ev):
                self._drop(con, ev)
                if not isinstance(ev, NodeLost):
                    raise NodeLost(False) from ev
            elif conflict(ev) and not isinstance(ev, TransactionConflict):
                raise TransactionConflict() from ev
        return swallowed

    def _drop(self, con: _Con, exc: BaseException) -> None:
        """Unbinds a lost connection from the task, so its next statement (a
        retry) gets a connection to a node that is still there."""
        connector = self._connector
        pool = connector._pool
        assert self._life is not None  # given by transaction()
        if con not in self._life.owned:
            return  # dropped already, when a statement met the loss
        self._life.broken.pop(id(con), None)
        task = asyncio.current_task()
        if task is not None:
            self._life.unbind(task, con)
        con.close()
        if pool is not None:
            if isinstance(pool, ClusterPool):
                pool.nodeFailed(con, exc)
            try:
                give_back(pool, con)
            except Exception:
                pass  # the pool no longer knows it (closed meanwhile)
