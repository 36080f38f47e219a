"""The coroutine bodies of ``AsyncModelExecutor`` (``Tavrik.Model.Vantrel``).

Argument checks, validation and statement building are C helpers of the
extension module (``_v_*``), called before the awaitable exists; only the
awaiting is Python.  The executor's methods call the functions below.
"""

from logging import info as _v_log_info

from Tavrik.Model.Vantrel import (
    AsyncModelExecutor,
    _v_InstanceList,
    _v_Level,
    _v_MTM,
    _v_NotOne,
    _v_OTM,
    _v_OTO,
    _v_build_batch,
    _v_check_filter,
    _v_end_batch,
    _v_load_args,
    _v_model,
    _v_query_options,
    _v_start,
    _v_work,
)

__all__ = []

_v_dict_get = dict.get


async def execute(self):
    return await _v_start(self)


async def run(plan):
    """Runs a save or update planned by the executor: awaits each step the
    plan hands out and gives it the step's result or error, until the plan
    has ended; its last answer is then the operation's result."""
    step = plan.send(None)
    while plan.running:
        try:
            result = await step
        except Exception as exc:
            step = plan.throw(exc)
        else:
            step = plan.send(result)
    return step


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
    inside = type(clevel) is _v_Level
    path, clevel, level = _v_load_args(self, instance, path, clevel, level, before, False)
    deep = bool(deep)
    if deep and clevel != 1 and not inside:
        # Levels count from the top of a search (1); a search the caller
        # starts at another level c is taken to be at level c + 1.
        clevel += 1
    return _v_findForeignKey(self, instance, deep, path, clevel, level, before)


def _v_nested(ex, item, path, clevel, level, before):
    if type(ex).findForeignKey is _v_own_findForeignKey:
        return _v_findForeignKey(ex, item, True, path, clevel, level, before)
    # An override is called with the row's level marked as one inside the
    # search, so that its call back here takes it as it is.
    return ex.findForeignKey(item, deep=True, path=path, clevel=_v_Level(clevel), level=level, before=before)


async def _v_findForeignKey(self, instance, deep, path, clevel, level, before):
    model = _v_model(self)
    work = _v_work(self)
    table = model.tableName
    if deep:
        if clevel > level:
            return None
        path[table] = {instance[model.pkName]: instance}
    for fk in model.fk:
        direct = fk.directTarget
        if before is not None and direct.tableName == before:
            continue
        key = _v_dict_get(instance, fk.bindCol.name)
        if key is None:
            continue
        name = fk.name
        kind = fk.Type
        if kind == _v_MTM:
            owner_table = fk.owner.tableName
            ckey = (owner_table, name)
            cache = path.get(ckey)
            if isinstance(cache, dict) and key in cache:
                _v_log_info("当前外键" + str(name) + "已经查询过")
                hit = cache[key]
                instance[name] = hit if isinstance(hit, list) else [hit]
                continue
            ex = direct.getExecutor(work)
            ex.sql.join(getattr(direct, owner_table))
            res = await ex.findAllBy(getattr(fk.middleModel, owner_table + "_id") == key)
            instance[name] = res
            if not isinstance(cache, dict):
                cache = path[ckey] = {}
            cache[key] = res
            if deep and res:
                ex2 = type(res[0]).object.getExecutor(work)
                for item in res:
                    await _v_nested(ex2, item, path, clevel + 1, level, table)
            continue
        target = fk.target
        oto = kind == _v_OTO
        if oto and target is not model and fk.targetBindCol.name == target.pkName:
            cache = path.get(target.tableName)
            if isinstance(cache, dict) and key in cache:
                instance[name] = cache[key]
                continue
        res = await target.getExecutor(work).findAllBy(fk.targetBindCol == key)
        if not res:
            continue
        if oto:
            item = res[0]
            instance[name] = item
            if deep:
                await _v_nested(type(item).object.getExecutor(work), item, path, clevel + 1, level, table)
        elif kind == _v_OTM:
            ex2 = type(res[0]).object.getExecutor(work)
            instance[name] = res
            if deep:
                for item in res:
                    await _v_nested(ex2, item, path, clevel + 1, level, None)
    return instance


def findListForeignKey(self, instances, deep=False, path=None, clevel=1, level=3, before=None):
    path, clevel, level = _v_load_args(self, instances, path, clevel, level, before, True)
    return _v_findListForeignKey(self, instances, path, clevel, level)


async def _v_findListForeignKey(self, instances, path, clevel, level):
    if instances is None:
        return None
    for item in list(instances):
        await self.findForeignKey(item, deep=True, path=path, clevel=clevel, level=level)
    return None


# The executor's own methods, to tell a subclass's override from them.
_v_own_findForeignKey = AsyncModelExecutor.findForeignKey
