"""The coroutine bodies of ``AsyncModelExecutor`` (``Tavrik.Model.Vantrel``).

Argument checks, validation and statement building are C helpers of the
extension module (``_v_*``), called before the awaitable exists; only the
awaiting is Python.  The executor's methods call the functions below.  Their arguments are checked by
those helpers, so they are taken here as given (Any).
"""
from __future__ import annotations

from typing import TYPE_CHECKING, Any, Awaitable, Coroutine, Dict, List

from Tavrik.Model.Vantrel import (
    _v_InstanceList,
    _v_NotOne,
    _v_batch_keys,
    _v_batch_written,
    _v_build_batch,
    _v_check_filter,
    _v_end_batch,
    _v_load_plan,
    _v_query_options,
    _v_raw_rows,
    _v_raw_start,
    _v_run,
    _v_start,
    _v_take,
)

if TYPE_CHECKING:
    from typing import Protocol

    from Tavrik.Model.Vantrel import AsyncModelExecutor

    class _Plan(Protocol):
        """A plan of the extension's: a generator-like step machine."""

        running: bool

        def send(self, value: Any, /) -> Any: ...
        def throw(self, exc: BaseException, /) -> Any: ...
        def close(self) -> None: ...

__all__: List[str] = []


async def execute(self: AsyncModelExecutor[Any]) -> Any:
    # The statement through the core of the package's own connector, its
    # raw result shaped here; a connector class of the user's takes the
    # executor through its asyncProcess().
    run = _v_run(self)
    if run is None:
        return await _v_start(self)
    return _v_take(self, await run)


async def run(plan: _Plan) -> Any:
    """Runs a plan of the executor's (a save, an update, a related-object
    search; the algorithm is the extension's, the synchronous executor runs
    the same one): awaits each step the plan hands out and gives it the
    step's result or error, until the plan has ended; its last answer is
    then the operation's result."""
    try:
        step = plan.send(None)
        while plan.running:
            try:
                result = await step
            except Exception as exc:
                step = plan.throw(exc)
            else:
                step = plan.send(result)
        return step
    finally:
        # A plan left half-way (cancelled) lets go of what it holds.
        plan.close()


def findOneBy(self: AsyncModelExecutor[Any], Filter: Any = None, *, forUpdate: Any = False, orderBy: Any = None,
              limit: Any = None, offset: Any = None, columns: Any = None) -> Coroutine[Any, Any, Any]:
    _v_check_filter(Filter)
    options = _v_query_options(self, forUpdate, orderBy, limit, offset, columns)
    return _v_findOneBy(self, Filter, options)


async def _v_findOneBy(self: AsyncModelExecutor[Any], Filter: Any, options: Dict[str, Any]) -> Any:
    self.reset()
    rows = await self.findAllBy(Filter, **options)
    if rows is None:
        return None
    if not isinstance(rows, _v_InstanceList):
        raise TypeError("Expected InstanceList, got %s" % type(rows).__name__)
    n = len(rows)
    if n == 0:
        return None
    if n == 1:
        return rows[0]
    raise _v_NotOne()


def saveAll(self: AsyncModelExecutor[Any], instances: Any, onConflict: Any = None,
            conflictColumns: Any = None) -> Coroutine[Any, Any, int]:
    n = _v_build_batch(self, instances, onConflict, conflictColumns)
    return _v_saveAll(self, n)


async def _v_saveAll(self: AsyncModelExecutor[Any], n: int) -> int:
    if not n:
        return 0
    try:
        waiting = _v_batch_keys(self, False)
        if waiting is not None:
            # A MySQL server tells whether it returns a batch's keys once the
            # connector has a connection: the task's, which the batch takes.
            await waiting._taskCon()
            _v_batch_keys(self, True)
        await self.execute()
        n = _v_batch_written(self, n)
    finally:
        _v_end_batch(self)
    return n


def findForeignKey(self: AsyncModelExecutor[Any], instance: Any, deep: Any = False, path: Any = None, clevel: Any = 1,
                   level: Any = 3, before: Any = None) -> Awaitable[Any]:
    return run(_v_load_plan(self, False, instance, deep, path, clevel, level, before))


def findListForeignKey(self: AsyncModelExecutor[Any], instances: Any, deep: Any = False, path: Any = None,
                       clevel: Any = 1, level: Any = 3, before: Any = None) -> Awaitable[Any]:
    return run(_v_load_plan(self, True, instances, deep, path, clevel, level, before))


def raw(self: AsyncModelExecutor[Any], sql: Any, params: Any = ()) -> Coroutine[Any, Any, Any]:
    # Started at the call, so a wrong argument is raised there.
    return _v_raw(self, _v_raw_start(self, sql, params))


async def _v_raw(self: AsyncModelExecutor[Any], pending: Awaitable[Any]) -> Any:
    return _v_raw_rows(self, await pending)
