"""The coroutine bodies of ``AsyncModelExecutor`` (``Tavrik.Model.Vantrel``).

Argument checks, validation and statement building are C helpers of the
extension module (``_v_*``), called before the awaitable exists; only the
awaiting is Python.  The executor's methods call the functions below.
"""

from Tavrik.Model.Vantrel import (
    _v_InstanceList,
    _v_NotOne,
    _v_build_batch,
    _v_check_filter,
    _v_end_batch,
    _v_load_plan,
    _v_query_options,
    _v_start,
)

__all__ = []


async def execute(self):
    return await _v_start(self)


async def run(plan):
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


def findOneBy(self, Filter=None, *, forUpdate=False, orderBy=None, limit=None, offset=None, columns=None):
    _v_check_filter(Filter)
    options = _v_query_options(self, forUpdate, orderBy, limit, offset, columns)
    return _v_findOneBy(self, Filter, options)


async def _v_findOneBy(self, Filter, options):
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


def saveAll(self, instances):
    n = _v_build_batch(self, instances)
    return _v_saveAll(self, n)


async def _v_saveAll(self, n):
    if not n:
        return 0
    try:
        await self.execute()
    finally:
        _v_end_batch(self)
    return n


def findForeignKey(self, instance, deep=False, path=None, clevel=1, level=3, before=None):
    return run(_v_load_plan(self, False, instance, deep, path, clevel, level, before))


def findListForeignKey(self, instances, deep=False, path=None, clevel=1, level=3, before=None):
    return run(_v_load_plan(self, True, instances, deep, path, clevel, level, before))
