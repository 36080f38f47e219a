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
import asyncio
import logging
import random
import sys
import weakref

_logger = logging.getLogger("Tavrik.DB")

# How long close() waits for other tasks' transactions to end.
CLOSE_TIMEOUT = 10.0

# Depth of the transaction() blocks a task is inside: only the outermost
# block commits.
_depth = weakref.WeakKeyDictionary()


class Life:
    """A connector's lifetime state."""

    __slots__ = ("closing", "guard", "broken", "poolArgs", "__weakref__")

    def __init__(self):
        self.closing = None  # the close() in progress or done (a future)
        self.guard = None  # the async generator that closes at loop shutdown
        self.broken = {}  # id -> MySQL connection whose statement was cut
        self.poolArgs = None  # how the MySQL pool is made, for a retry


def drive(coro, loop):
    """Runs `coro` to its end on `loop` as a plain future.  Nothing cancels it
    (it is not a task); its first step runs now."""
    fut = loop.create_future()

    def step(_=None):
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
            awaited._asyncio_future_blocking = False
            awaited.add_done_callback(step)

    step()
    return fut


async def steady(coro):
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


def ended_normally(task):
    return task.done() and not task.cancelled() and task.exception() is None


def report(loop, message, exc):
    """Hands a failure nobody awaits to the loop's exception handler."""
    loop.call_exception_handler({"message": message, "exception": exc})


def closed_error():
    return RuntimeError("连接器已关闭: close()开始之后不能再执行语句")


def check_open(connector, life, background):
    """Refuses a new connection once close() has begun; the connector's own
    background work started before (table creation) still runs."""
    if life.closing is not None and asyncio.current_task() not in background(connector):
        raise closed_error()


async def _guard(connector, life):
    try:
        yield
    finally:
        # Reached when the loop shuts down without close() having been called.
        if life.guard is not None:
            life.guard = None
            await connector.close()


async def watch(connector, life):
    """Makes the loop's shutdown close the connector."""
    if life.guard is None and life.closing is None:
        guard = _guard(connector, life)
        await guard.asend(None)
        life.guard = guard


async def close(connector, life, task_con, bound, background, take_all, finish, final, timeout):
    """close(): the current task's transaction is committed; the other tasks'
    transactions end as their tasks end, waited for up to `timeout` seconds;
    what is left is rolled back; every connection is closed.  Later calls
    wait for the first one.  The connector's parts are given as functions of
    the connector: its task's connection, its (task, connection) pairs, its
    releases in flight, taking every pair, ending one transaction, and the
    last step (closing a pool)."""
    if life.closing is not None:
        if not life.closing.done():
            await asyncio.shield(life.closing)
        return
    loop = asyncio.get_running_loop()
    life.closing = loop.create_future()
    error = None
    try:
        guard, life.guard = life.guard, None
        if guard is not None:
            await guard.aclose()
        current = asyncio.current_task()
        con = task_con(connector, current) if current is not None else None
        if con:
            # The caller's work ended normally: commit it first, so that tasks
            # waiting for the write lock can finish theirs.
            try:
                await steady(finish(connector, current, con, True))
            except Exception as e:
                error = e
        deadline = loop.time() + timeout
        while True:
            pending = [t for t, _ in bound(connector) if t is not current and not t.done()]
            pending += background(connector)
            remaining = deadline - loop.time()
            if not pending or remaining <= 0:
                break
            await asyncio.wait(pending, timeout=remaining)
        for task, con in take_all(connector):
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


def transaction(connector, life):
    """The connector's transaction(): a Transaction on its getCon()."""
    return Transaction(connector.getCon(), life=life)


class Transaction:
    """async with connector.transaction() as con: the block runs on the
    task's connection (statements of executors made with or without `con`);
    it commits when the block ends normally and rolls back when it raises or
    is cancelled.  A failed commit is raised from the block.  A block inside
    another one is part of the outer block's transaction.

    `manager` is the connector's getCon() (an asynchronous context manager);
    use_database runs its method through the same steps, reading the
    connection from its object (`holder.con`) and leaving a cancellation to
    the task's end."""

    __slots__ = ("_manager", "_holder", "_cancelRollsBack", "_con", "_task", "_inner", "_life")

    def __init__(self, manager, holder=None, cancelRollsBack=True, life=None):
        self._manager = manager
        self._life = life
        self._holder = holder
        self._cancelRollsBack = cancelRollsBack
        self._con = None
        self._task = None
        self._inner = False

    async def __aenter__(self):
        manager = self._manager
        con = await type(manager).__aenter__(manager)
        self._con = con
        task = asyncio.current_task()
        if task is not None:
            depth = _depth.get(task, 0)
            self._inner = depth > 0
            _depth[task] = depth + 1
            self._task = task
        return con

    def _connection(self):
        return self._holder.con if self._holder is not None else self._con

    async def leave(self, et, ev, tb):
        """Leaves the connection's context only (no commit, no rollback)."""
        self._pop()
        manager = self._manager
        return await type(manager).__aexit__(manager, et, ev, tb)

    def _pop(self):
        task, self._task = self._task, None
        if task is not None:
            depth = _depth.get(task, 1) - 1
            if depth:
                _depth[task] = depth
            else:
                _depth.pop(task, None)

    async def __aexit__(self, et, ev, tb):
        """Commits or rolls back, then leaves the connection's context; True
        when that context swallowed the exception (or the commit's)."""
        self._pop()
        manager = self._manager
        exit_ = type(manager).__aexit__
        if self._inner:
            return await exit_(manager, et, ev, tb)
        try:
            if et is None:
                try:
                    await steady(self._connection().commit())
                except Exception as failed:
                    con = self._connection()
                    try:
                        await steady(con.rollback())
                    except Exception:
                        # Neither went through (a lost connection): the
                        # task's release must close it, not use it again.
                        if self._life is not None:
                            self._life.broken[id(con)] = con
                        if self._holder is None:
                            # transaction(): the caller asked for the commit.
                            raise failed
                        raise
                    raise
            elif issubclass(et, Exception) or self._cancelRollsBack:
                await _rollback(self._connection())
        except BaseException:
            if not await exit_(manager, *sys.exc_info()):
                raise
            return True
        swallowed = await exit_(manager, et, ev, tb)
        return bool(swallowed) and et is not None


async def _rollback(con):
    # A MySQL connection whose statement was cut cannot take a ROLLBACK; the
    # task's release closes it, which rolls back on the server.
    for state in _lives:
        if id(con) in state.broken:
            return
    await steady(con.rollback())


# Lifetime states of the live connectors (for _rollback).
_lives = weakref.WeakSet()


def new_life():
    state = Life()
    _lives.add(state)
    return state


# Pause before re-running a transaction that lost a conflict: a random part
# keeps two retrying tasks from meeting again in step.
RETRY_PAUSE = 0.05


async def run_transaction(connector, fn, *args, retries=3, **kwargs):
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
