"""The edges of the asynchronous connectors' transactions.

A task's transaction is committed or rolled back when the task ends, by a
release that is driven as a plain future rather than an asyncio task:
asyncio.run() cancels every task once main() has returned, and a release cut
there would lose the commit (or leave a MySQL connection half way through
one).  Releases still in flight and connections still open are finished by
the connector's close(), awaited by the application or, at the latest, run
when the loop shuts its asynchronous generators down, which asyncio.run()
does before it closes the loop.  So the writes of main() and of every task it
awaited are committed before asyncio.run() returns, and every aiosqlite worker
thread is stopped.

transaction() is the explicit form: the block's commit happens before the
block is left, and a failed commit is raised there.
"""
from __future__ import annotations

import asyncio
import collections
import logging
import random
import sqlite3
import sys
import weakref
from types import TracebackType
from typing import (
    TYPE_CHECKING,
    Any,
    AsyncContextManager,
    AsyncGenerator,
    Awaitable,
    Callable,
    Coroutine,
    Deque,
    Dict,
    List,
    Optional,
    Tuple,
    Type,
    TypeVar,
    Union,
)

if TYPE_CHECKING:
    from Tavrik.DB.Connector import AioMysqlConnector, AioSqliteConnector, AsyncpgConnector

_T = TypeVar("_T")
# The connector a function of close() is given (one of the two asynchronous ones).
_C = TypeVar("_C", bound=Union["AioSqliteConnector", "AioMysqlConnector", "AsyncpgConnector"])
# Driver connections (aiosqlite, aiomysql) carry no type information.
_Con = Any
_ExcInfo = Tuple[Optional[Type[BaseException]], Optional[BaseException], Optional[TracebackType]]

_logger = logging.getLogger("Tavrik.DB")

class KeyTaken(Exception):
    """Marks a refused INSERT whose primary key is already stored, on a
    driver whose errors are neither sqlite3's nor pymysql's (asyncpg): the
    error raised is the driver's own class and this one, so save() falls
    back to its update on it and callers still catch the driver's class."""


# How long close() waits for other tasks' transactions to end.
CLOSE_TIMEOUT = 10.0

# Depth of the transaction() blocks a task is inside: only the outermost
# block commits.
_depth: weakref.WeakKeyDictionary[asyncio.Task[Any], int] = weakref.WeakKeyDictionary()


def in_block(task: Optional[asyncio.Task[Any]]) -> bool:
    """Whether `task` is inside a transaction() block."""
    return task is not None and task in _depth


# How many task connections the SQLite connector opens at once.
MAX_TASK_CONNECTIONS = 20


class Life:
    """An asynchronous connector's state, all of it that its Python parts
    drive: each task's connection (`cons`, the connector's conMap), the last
    statement run on each connection, the releases and other background tasks
    in flight, the connection slots being opened, and the closing state."""

    __slots__ = ("sqlite", "cons", "owned", "background", "pending", "initTask", "closing", "guard", "broken",
                 "poolArgs", "writes", "gates", "slots", "server", "__weakref__")

    def __init__(self, sqlite: bool = False, cons: Optional[Dict[asyncio.Task[Any], _Con]] = None) -> None:
        self.sqlite = sqlite
        # task -> its connection; None once a lost connection was dropped (the
        # task keeps its entry, and its one release, until it ends).
        self.cons: Dict[asyncio.Task[Any], _Con] = {} if cons is None else cons
        # task connection -> its record: its gate and its last statement.
        self.owned: Dict[_Con, Held] = {}
        # Releases and table creation in flight.
        self.background: "set[asyncio.Future[Any]]" = set()
        self.pending = 0  # SQLite: connections being opened (each holds a slot)
        self.initTask: Optional[asyncio.Task[Any]] = None  # MySQL: the task making the pool
        self.closing: Optional[asyncio.Future[None]] = None  # the close() in progress or done
        self.guard: Optional[AsyncGenerator[None, None]] = None  # closes the connector at loop shutdown
        self.broken: Dict[int, _Con] = {}  # id -> MySQL connection whose statement was cut
        # How the MySQL pool is made, for a retry: (args, keyword arguments).
        self.poolArgs: Optional[Tuple[Tuple[Any, ...], Any]] = None
        # MySQL: the server's version text, from the first connection.
        self.server: Optional[str] = None
        # SQLite: the file's write lock, taken in arrival order by the
        # connector's tasks; None on MySQL (row locks, no file lock).
        self.writes: Optional[WriteQueue] = WriteQueue() if sqlite else None
        # connection -> Gate: statements on one connection run one at a time,
        # whichever tasks share it.  Every connection that ever had a gate
        # keeps the same one while it lives (a task connection's gate outlives
        # its task: close() ends the transactions of tasks still running).
        # Task connections find theirs in `owned`; only a caller's own
        # connection is looked up here per statement.
        self.gates: weakref.WeakKeyDictionary[_Con, Gate] = weakref.WeakKeyDictionary()
        # SQLite: tasks waiting for one of the 20 connection slots, in order;
        # each waiter is a one-item list holding the future that wakes it.
        self.slots: Deque[List[Optional[asyncio.Future[None]]]] = collections.deque()

    # ---- the task -> connection map

    def task_con(self, task: Optional[asyncio.Task[Any]]) -> _Con:
        if task is None:
            raise RuntimeError("数据库链接只能在asyncio任务中获取")
        return self.cons.get(task)

    def reserve(self) -> bool:
        """Takes one of the SQLite connection slots before the connection is
        opened, so tasks that ask at the same time cannot exceed the limit
        together."""
        if not self.sqlite:
            return True
        if len(self.cons) + self.pending >= MAX_TASK_CONNECTIONS:
            return False
        self.pending += 1
        return True

    def unreserve(self) -> None:
        if self.pending > 0:
            self.pending -= 1

    def bind(self, task: asyncio.Task[Any], con: _Con, release: Callable[[asyncio.Task[Any]], Any]) -> None:
        """A freshly opened connection becomes the task's; `release` runs when
        the task ends (once per task: a task whose lost connection was
        dropped already has it)."""
        self.unreserve()
        had_entry = task in self.cons and self.cons[task] is None
        self.cons[task] = con
        self.owned[con] = Held(self.gate(con))
        if had_entry:
            return
        try:
            task.add_done_callback(release)
        except BaseException:
            del self.cons[task]
            del self.owned[con]
            raise

    def note(self, con: _Con, sql: Any, params: Any) -> bool:
        """Records the statement about to run on `con`; True when it is a
        task connection of the SQLite connector with no transaction open."""
        held = self.owned.get(con)
        if held is None:
            return False  # a caller's own connection: nothing to track
        held.last = (sql, params)
        return self.sqlite and not con.in_transaction

    def context(self, con: _Con) -> Optional[Tuple[Any, Any]]:
        """The last statement noted on `con`: None before its first one, or
        when it is not a task connection."""
        held = self.owned.get(con)
        return None if held is None else held.last

    def forget(self, task: asyncio.Task[Any], con: _Con) -> None:
        if self.cons.get(task) is con:
            del self.cons[task]
        self.owned.pop(con, None)

    def unbind(self, task: asyncio.Task[Any], con: _Con) -> None:
        """Drops a lost connection from its task: the task's next statement
        takes a new one; the entry stays (None) until the task's end."""
        if self.cons.get(task) is con:
            self.cons[task] = None
        self.owned.pop(con, None)

    def take_all(self) -> List[Tuple[asyncio.Task[Any], _Con]]:
        """Every (task, connection) pair still bound; the map is emptied."""
        items = [(t, c) for t, c in self.cons.items() if c is not None]
        self.cons.clear()
        self.owned.clear()
        return items

    def bound(self) -> List[Tuple[asyncio.Task[Any], _Con]]:
        return list(self.cons.items())

    def running(self) -> "List[asyncio.Future[Any]]":
        """The background tasks not yet done."""
        return [t for t in self.background if not t.done()]

    def keep(self, fut: "asyncio.Future[Any]") -> None:
        """Holds a background task until it is done."""
        self.background.add(fut)
        fut.add_done_callback(self.background.discard)

    # ---- statements on one connection take turns

    def gate(self, con: _Con) -> Union[Gate, _NoGate]:
        """`con`'s gate (entered around each of its statements)."""
        try:
            held = self.owned.get(con)
            if held is not None:
                return held.gate
            gate = self.gates.get(con)
            if gate is None:
                gate = self.gates[con] = Gate()
        except TypeError:
            # Not a driver connection (None, a stand-in): the statement fails
            # on it as it always did.
            return _NO_GATE
        return gate


class Held:
    """What the Life keeps of one task connection."""

    __slots__ = ("gate", "last")

    def __init__(self, gate: Union[Gate, _NoGate]) -> None:
        self.gate = gate
        self.last: Optional[Tuple[Any, Any]] = None  # (statement, params), None before the first


class Gate:
    """Lets one statement at a time run on a connection: a task's `async
    with` takes it when it is free, else waits behind the others in arrival
    order.  Leaving hands it straight to the first waiter (it stays held
    meanwhile), so a newcomer never overtakes a waiter, and a waiter cut after
    it was handed the gate hands it on.  Not re-entrant: no statement path
    enters it twice.

    A free gate is taken and left by a flag alone; a waiter's future, its
    queue and the coroutine that waits are made only when the gate is busy.
    (Plain methods returning a finished awaitable were tried: awaiting an
    object through its Python-level __await__ costs more than the two small
    coroutines.)"""

    __slots__ = ("held", "waiters")

    def __init__(self) -> None:
        # True from a taker's entry to the last holder's exit, through each
        # hand-over: nothing waits while it is False.
        self.held = False
        self.waiters: Optional[Deque[asyncio.Future[None]]] = None

    async def __aenter__(self) -> None:
        if self.held:
            await self._wait()
        else:
            self.held = True

    async def __aexit__(self, et: Optional[Type[BaseException]], ev: Optional[BaseException],
                        tb: Optional[TracebackType]) -> None:
        if self.waiters:
            self.release()
        else:
            self.held = False

    def release(self) -> None:
        waiters = self.waiters
        while waiters:
            fut = waiters.popleft()
            if not fut.done():  # a cancelled waiter's future is done
                fut.set_result(None)
                return
        self.held = False

    async def _wait(self) -> None:
        waiters = self.waiters
        if waiters is None:
            waiters = self.waiters = collections.deque()
        fut: asyncio.Future[None] = asyncio.get_running_loop().create_future()
        waiters.append(fut)
        try:
            await fut
        except BaseException:
            if fut.done() and not fut.cancelled():
                self.release()  # handed over just as the wait was cut
            else:
                try:
                    waiters.remove(fut)
                except ValueError:
                    pass  # a release dropped it already
            raise


class _NoGate:
    async def __aenter__(self) -> None:
        return None

    async def __aexit__(self, et: Optional[Type[BaseException]], ev: Optional[BaseException],
                        tb: Optional[TracebackType]) -> None:
        return None


_NO_GATE = _NoGate()


async def gated(life: Optional[Life], con: _Con, op: Callable[..., Awaitable[_T]], *args: Any) -> _T:
    """`await op(*args)` with `con`'s statements held back meanwhile."""
    if life is None:
        return await op(*args)
    async with life.gate(con):
        return await op(*args)


def _task_label(task: Optional[asyncio.Task[Any]]) -> str:
    if task is None:
        return "?"
    coro = task.get_coro()
    return "%s (%s)" % (task.get_name(), getattr(coro, "__qualname__", type(coro).__name__))


class WriteQueue:
    """The SQLite file's write lock as the connector's tasks see it: one
    connection holds it from its BEGIN IMMEDIATE to its commit or rollback;
    the others wait here in arrival order, woken one by one, instead of
    competing through SQLite's busy handler (whose sleeps let a late comer
    overtake a task that has waited for seconds)."""

    __slots__ = ("holder", "task", "waiters")

    def __init__(self) -> None:
        self.holder: _Con = None  # the connection whose transaction holds the lock
        self.task: Optional[asyncio.Task[Any]] = None  # the task that began that transaction
        self.waiters: Deque[List[Any]] = collections.deque()  # [connection, task, future]

    async def acquire(self, con: _Con, timeout: float) -> None:
        if self.holder is con:
            return
        task = asyncio.current_task()
        if self.holder is None and not self.waiters:
            self.holder, self.task = con, task
            return
        loop = asyncio.get_running_loop()
        entry = [con, task, loop.create_future()]
        self.waiters.append(entry)
        expiry = loop.call_later(timeout, _expire, entry[2])
        try:
            await entry[2]
        except BaseException as e:
            if self.holder is con:
                self.release(con)  # handed over just as the wait was cut
            elif entry in self.waiters:
                self.waiters.remove(entry)
            if isinstance(e, _Expired):
                raise sqlite3.OperationalError(
                    "等待写锁超过%g秒 (database is locked): 写锁由本连接器的任务 %s 持有, "
                    "它的事务在任务结束 (或它的transaction()代码块结束) 时才提交并释放写锁"
                    % (timeout, _task_label(self.task))) from None
            raise
        finally:
            expiry.cancel()

    def release(self, con: _Con) -> None:
        if self.holder is not con:
            return
        self.holder = self.task = None
        while self.waiters:
            con, task, fut = self.waiters.popleft()
            if not fut.done():
                self.holder, self.task = con, task
                fut.set_result(None)
                return


class _Expired(Exception):
    pass


def _expire(fut: asyncio.Future[None]) -> None:
    if not fut.done():
        fut.set_exception(_Expired())


def wake_slot(life: Life) -> None:
    """A connection slot was freed: the first waiting task tries for it."""
    if life.slots:
        fut = life.slots[0][0]
        if fut is not None and not fut.done():
            fut.set_result(None)


def drive(coro: Coroutine[Any, Any, _T], loop: asyncio.AbstractEventLoop) -> asyncio.Future[_T]:
    """Runs `coro` to its end on `loop` as a plain future.  Nothing cancels it
    (it is not a task); its first step runs now."""
    fut: asyncio.Future[_T] = loop.create_future()

    def step(_: object = None) -> None:
        try:
            awaited = coro.send(None)
        except StopIteration as stop:
            if not fut.done():
                fut.set_result(stop.value)
            return
        except BaseException as exc:  # handed on to whoever awaits the future
            if not fut.done():
                fut.set_exception(exc)
            return
        if awaited is None:
            loop.call_soon(step)
        else:
            # A future the coroutine awaits: resumed when it is done.  (Only
            # a task reads the flag awaiting sets on it; this is no task.)
            awaited.add_done_callback(step)

    step()
    return fut


async def steady(coro: Coroutine[Any, Any, _T]) -> _T:
    """Awaits `coro` to its end even when the awaiting task is cancelled
    meanwhile (a commit or rollback is never cut half way); the cancellation
    is raised afterwards."""
    fut = drive(coro, asyncio.get_running_loop())
    cancelled = False
    while not fut.done():
        try:
            await asyncio.shield(fut)
        except asyncio.CancelledError:
            cancelled = True
    if fut.exception() is not None or not cancelled:
        return fut.result()
    raise asyncio.CancelledError()


def ended_normally(task: asyncio.Task[Any]) -> bool:
    return task.done() and not task.cancelled() and task.exception() is None


def report(loop: asyncio.AbstractEventLoop, message: str, exc: BaseException) -> None:
    """Hands a failure nobody awaits to the loop's exception handler."""
    loop.call_exception_handler({"message": message, "exception": exc})


def closed_error() -> RuntimeError:
    return RuntimeError("连接器已关闭: close()开始之后不能再执行语句")


def check_open(life: Life) -> None:
    """Refuses a new connection once close() has begun; the connector's own
    background work started before (table creation) still runs."""
    if life.closing is not None and asyncio.current_task() not in life.running():
        raise closed_error()


async def _guard(connector: Union[AioSqliteConnector, AioMysqlConnector, AsyncpgConnector], life: Life) -> AsyncGenerator[None, None]:
    try:
        yield
    finally:
        # Reached when the loop shuts down without close() having been called.
        if life.guard is not None:
            life.guard = None
            await connector.close()


async def watch(connector: Union[AioSqliteConnector, AioMysqlConnector, AsyncpgConnector], life: Life) -> None:
    """Makes the loop's shutdown close the connector."""
    if life.guard is None and life.closing is None:
        guard = _guard(connector, life)
        await guard.asend(None)
        life.guard = guard


async def close(
    connector: _C,
    life: Life,
    finish: Callable[[_C, asyncio.Task[Any], _Con, bool], Coroutine[Any, Any, None]],
    final: Callable[[float], Awaitable[None]],
    timeout: float,
) -> None:
    """close(): the current task's transaction is committed; the other tasks'
    transactions end as their tasks end, waited for up to `timeout` seconds;
    what is left is rolled back; every connection is closed.  Later calls
    wait for the first one.  `finish` ends one task's transaction on the
    connector's driver, `final` is its last step (closing a pool)."""
    if life.closing is not None:
        if not life.closing.done():
            await asyncio.shield(life.closing)
        return
    loop = asyncio.get_running_loop()
    life.closing = loop.create_future()
    error: Optional[Exception] = None
    try:
        guard, life.guard = life.guard, None
        if guard is not None:
            await guard.aclose()
        current = asyncio.current_task()
        con = life.task_con(current) if current is not None else None
        if current is not None and con:
            # The caller's work ended normally: commit it first, so that tasks
            # waiting for the write lock can finish theirs.
            try:
                await steady(finish(connector, current, con, True))
            except Exception as e:
                error = e
        deadline = loop.time() + timeout
        while True:
            pending: List[asyncio.Future[Any]] = [t for t, _ in life.bound() if t is not current and not t.done()]
            pending += life.running()
            remaining = deadline - loop.time()
            if not pending or remaining <= 0:
                break
            await asyncio.wait(pending, timeout=remaining)
        for task, con in life.take_all():
            # A task that has just ended may not have had its release started
            # yet (its done callbacks run after the one that woke us).
            try:
                await steady(finish(connector, task, con, ended_normally(task)))
            except Exception as e:
                if error is None:
                    error = e
        try:
            await final(max(deadline - loop.time(), 1.0))
        except Exception as e:
            if error is None:
                error = e
    finally:
        life.closing.set_result(None)
    if error is not None:
        raise error


def transaction(connector: Union[AioSqliteConnector, AioMysqlConnector, AsyncpgConnector], life: Life) -> Transaction:
    """The connector's transaction(): a Transaction on its getCon()."""
    return Transaction(connector.getCon(), life=life)


class BlockConnection:
    """The connection a transaction() block hands out: the task's connection
    while the block runs.  Once the block has ended (its transaction committed
    or rolled back) the package refuses to run statements on it: on MySQL the
    connection goes back to the pool at the task's end, and what a kept
    handle ran there would belong to the next task's transaction.  Attributes
    are the driver connection's."""

    __slots__ = ("_con", "_open")

    def __init__(self, con: _Con) -> None:
        self._con = con
        self._open = True

    def __getattr__(self, name: str) -> Any:
        # After the block the driver connection is not reachable through it
        # either: a statement run on it would leave the block's transaction.
        return getattr(unwrap(self), name)

    def __repr__(self) -> str:
        return "<transaction() 链接%s: %r>" % ("" if self._open else " (代码块已结束)", self._con)


def unwrap(con: _Con) -> _Con:
    """The driver connection behind `con`; a block's connection whose block
    has ended is refused."""
    if type(con) is BlockConnection:
        if not con._open:
            raise RuntimeError(
                "这个链接来自一个已经结束的transaction()代码块, 不能再执行语句: 代码块结束时它的事务已提交或回滚。"
                "请在新的transaction()代码块中执行, 或者不传con (在当前任务的链接上执行)")
        return con._con
    return con


# The handle of the outermost transaction() block each task is inside.
_handles: weakref.WeakKeyDictionary[asyncio.Task[Any], BlockConnection] = weakref.WeakKeyDictionary()


def _life_of(manager: object) -> Optional[Life]:
    connector = getattr(manager, "_connector", None)
    if connector is None:
        return None
    from Tavrik.DB.Connector import _c_life

    life: Life = _c_life(connector)
    return life


class Transaction:
    """async with connector.transaction() as con: the block runs on the
    task's connection (statements of executors made with or without `con`);
    it commits when the block ends normally and rolls back when it raises or
    is cancelled.  A failed commit is raised from the block.  A block inside
    another one is a savepoint of the outer block's transaction: its writes
    are rolled back when it raises, kept (for the outer block to commit)
    when it ends normally.

    `manager` is the connector's getCon() (an asynchronous context manager);
    use_database runs its method through the same steps, reading the
    connection from its object (`holder.con`) and leaving a cancellation to
    the task's end."""

    __slots__ = ("_manager", "_holder", "_cancelRollsBack", "_con", "_task", "_inner", "_life", "_handle",
                 "_ownHandle", "_savepoint")

    def __init__(self, manager: AsyncContextManager[_Con], holder: Any = None, cancelRollsBack: bool = True,
                 life: Optional[Life] = None) -> None:
        self._manager = manager
        self._life = life
        self._holder = holder  # an object whose `con` is the connection (use_database's)
        self._cancelRollsBack = cancelRollsBack
        self._con: _Con = None
        self._task: Optional[asyncio.Task[Any]] = None
        self._inner = False
        self._handle: Optional[BlockConnection] = None
        self._ownHandle = False
        self._savepoint: Optional[str] = None

    async def __aenter__(self) -> Any:
        manager = self._manager
        con = await type(manager).__aenter__(manager)
        self._con = con
        if self._life is None:
            self._life = _life_of(manager)
        task = asyncio.current_task()
        depth = 0
        if task is not None:
            depth = _depth.get(task, 0)
            self._inner = depth > 0
            _depth[task] = depth + 1
            self._task = task
        if self._inner:
            try:
                self._savepoint = await self._openSavepoint(depth)
            except BaseException:
                if not await self.leave(*sys.exc_info()):
                    raise
                return None
        if self._holder is not None:
            return con
        handle = _handles.get(task) if self._inner and task is not None else None
        if handle is None or handle._con is not con:
            handle = BlockConnection(con)
            self._ownHandle = True
            if not self._inner and task is not None:
                _handles[task] = handle
        self._handle = handle
        return handle

    def _connection(self) -> _Con:
        return self._holder.con if self._holder is not None else self._con

    def _connectorOf(self) -> Any:
        return getattr(self._manager, "_connector", None)

    async def _openSavepoint(self, depth: int) -> Optional[str]:
        connector = self._connectorOf()
        if connector is None:
            return None
        con = self._con
        life = self._life
        if life is not None and life.writes is not None and not con.in_transaction:
            # SQLite before the first write: a SAVEPOINT would begin a
            # transaction without the write lock.  Whatever this block begins
            # is its own, and its failure rolls that back.
            return ""
        name = "tavrik_tx_%d" % depth
        await connector.execute("SAVEPOINT " + name, con)
        return name

    async def _closeSavepoint(self, ok: bool) -> None:
        name, self._savepoint = self._savepoint, None
        con = self._con
        life = self._life
        if name is None or (life is not None and id(con) in life.broken):
            return
        if name == "":
            if not ok and con.in_transaction:
                # "" is only handed out where the SQLite write queue exists.
                assert life is not None and life.writes is not None
                await steady(gated(life, con, con.rollback))
                life.writes.release(con)
            return
        connector = self._connectorOf()
        if not ok:
            await steady(connector.execute("ROLLBACK TO SAVEPOINT " + name, con))
        await steady(connector.execute("RELEASE SAVEPOINT " + name, con))

    def _ended(self, con: _Con) -> None:
        """The outermost block's transaction is over: the SQLite write lock
        goes to the next writer, and the block's handle stops working."""
        life = self._life
        if life is not None and life.writes is not None:
            life.writes.release(con)
        self._closeHandle()

    def _closeHandle(self) -> None:
        handle, self._handle = self._handle, None
        if handle is not None and self._ownHandle:
            handle._open = False

    async def leave(self, et: Optional[Type[BaseException]], ev: Optional[BaseException],
                    tb: Optional[TracebackType]) -> Optional[bool]:
        """Leaves the connection's context only (no commit, no rollback)."""
        self._pop()
        self._closeHandle()
        manager = self._manager
        return await type(manager).__aexit__(manager, et, ev, tb)

    def _pop(self) -> None:
        task, self._task = self._task, None
        if task is not None:
            depth = _depth.get(task, 1) - 1
            if depth:
                _depth[task] = depth
            else:
                _depth.pop(task, None)
                _handles.pop(task, None)

    async def __aexit__(self, et: Optional[Type[BaseException]], ev: Optional[BaseException],
                        tb: Optional[TracebackType]) -> Optional[bool]:
        """Commits or rolls back, then leaves the connection's context; True
        when that context swallowed the exception (or the commit's)."""
        self._pop()
        manager = self._manager
        exit_ = type(manager).__aexit__
        if self._inner:
            ok = et is None
            try:
                if et is None or issubclass(et, Exception) or self._cancelRollsBack:
                    await self._closeSavepoint(ok)
            except BaseException:
                if ok:
                    self._closeHandle()
                    if not await exit_(manager, *sys.exc_info()):
                        raise
                    return True
                # The block's own error is what the caller needs to see.
            self._closeHandle()
            return await exit_(manager, et, ev, tb)
        life = self._life
        try:
            if et is None:
                con = self._connection()
                try:
                    try:
                        await steady(gated(life, con, con.commit))
                    except Exception as failed:
                        try:
                            await steady(gated(life, con, con.rollback))
                        except Exception:
                            # Neither went through (a lost connection): the
                            # task's release must close it, not use it again.
                            if life is not None:
                                life.broken[id(con)] = con
                            if self._holder is None:
                                # transaction(): the caller asked for the commit.
                                raise failed
                            raise
                        raise
                finally:
                    self._ended(con)
            elif issubclass(et, Exception) or self._cancelRollsBack:
                con = self._connection()
                try:
                    await _rollback(life, con)
                finally:
                    self._ended(con)
            else:
                self._closeHandle()
        except BaseException:
            if not await exit_(manager, *sys.exc_info()):
                raise
            return True
        swallowed = await exit_(manager, et, ev, tb)
        return bool(swallowed) and et is not None


async def _rollback(life: Optional[Life], con: _Con) -> None:
    # A MySQL connection whose statement was cut cannot take a ROLLBACK; the
    # task's release closes it, which rolls back on the server.
    for state in _lives:
        if id(con) in state.broken:
            return
    await steady(gated(life, con, con.rollback))


# Lifetime states of the live connectors (for _rollback).
_lives: weakref.WeakSet[Life] = weakref.WeakSet()


def new_life(sqlite: bool = False, cons: Optional[Dict[asyncio.Task[Any], _Con]] = None) -> Life:
    state = Life(sqlite, cons)
    _lives.add(state)
    return state


# Pause before re-running a transaction that lost a conflict: a random part
# keeps two retrying tasks from meeting again in step.
RETRY_PAUSE = 0.05


async def run_transaction(connector: Union[AioSqliteConnector, AioMysqlConnector, AsyncpgConnector], fn: Callable[..., Awaitable[_T]],
                          *args: Any, retries: int = 3, **kwargs: Any) -> _T:
    """connector.runTransaction(fn, *args, retries=3, **kwargs): runs
    `await fn(con, *args, **kwargs)` in a transaction() block and returns its
    result; when the transaction loses a conflict (TransactionConflict), or
    its node is lost before the commit was sent (NodeLost with committing
    False), it is run again, up to `retries` more times, on a fresh
    transaction.  Inside another transaction() block it runs once: the outer
    block owns the transaction and decides."""
    from Tavrik.Error.ClusterError import NodeLost, TransactionConflict

    if isinstance(retries, bool) or not isinstance(retries, int) or retries < 0:
        raise ValueError("retries 必须是不小于0的整数")
    task = asyncio.current_task()
    if task is not None and _depth.get(task, 0) > 0:
        async with connector.transaction() as con:
            return await fn(con, *args, **kwargs)
    attempt = 0
    while True:
        try:
            async with connector.transaction() as con:
                return await fn(con, *args, **kwargs)
        except TransactionConflict:
            if attempt >= retries:
                raise
        except NodeLost as e:
            if e.committing or attempt >= retries:
                raise
        attempt += 1
        await asyncio.sleep(RETRY_PAUSE * attempt * (0.5 + random.random()))
