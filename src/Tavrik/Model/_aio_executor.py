"""The coroutine bodies of ``AsyncModelExecutor`` (``Tavrik.Model.Vantrel``).

Argument checks, validation and statement building are C helpers of the
extension module (``_v_*``), called before the awaitable exists; only the
awaiting is Python.  The executor's methods call the functions below.
"""

from Tavrik.Model.Vantrel import (
    AsyncModelExecutor,
    BaseModelExecutor,
    _v_InstanceList,
    _v_MTM,
    _v_NotOne,
    _v_OTM,
    _v_OTO,
    _v_build_batch,
    _v_build_insert,
    _v_build_update,
    _v_check_filter,
    _v_check_save,
    _v_check_update,
    _v_end_batch,
    _v_integrity,
    _v_key_condition,
    _v_load_plan,
    _v_matched,
    _v_model,
    _v_mtm_plan,
    _v_query_options,
    _v_start,
    _v_work,
)

__all__ = []

_v_dict_get = dict.get


async def execute(self):
    return await _v_start(self)


def save(self, instance):
    _v_check_save(self, instance)
    return _v_save(self, instance)


async def _v_save(self, instance):
    cells = []
    if not _v_build_insert(self, instance, cells):
        return instance
    try:
        res = await self.execute()
    except _v_integrity:
        # Only a row whose key is already stored is updated instead; any
        # other integrity error is the caller's, before anything is written.
        # The probe locks the row (MySQL), so the update cannot miss it; an
        # overriding findAllBy is called as it always was.
        cond = _v_key_condition(self, instance)
        if cond is None:
            raise
        if type(self).findAllBy is BaseModelExecutor.findAllBy:
            stored = await self.findAllBy(cond, forUpdate=True)
        else:
            stored = await self.findAllBy(cond)
        if not stored:
            raise
        _v_matched(self, True)
        if type(self).update is _v_own_update:
            # The insert's converted values serve the update.
            _v_check_update(self, instance)
            res = await _v_update(self, instance, cells)
        else:
            res = await self.update(instance)
        if _v_matched(self, False) == 0:
            # The row went away before the update reached it: nothing was
            # written, and the insert's error stands.
            raise
        return res
    for fk in _v_model(self).fk:
        name = fk.name
        value = _v_dict_get(instance, name)
        if not value:
            continue
        kind = fk.Type
        if kind == _v_OTO:
            await self._saveOTO(res, fk, instance)
        elif kind == _v_OTM:
            await self._saveOTM(fk, instance)
        elif kind == _v_MTM:
            await self._saveMTM(fk, instance)
    return res


async def _saveOTO(self, res, fk, instance):
    src = res if isinstance(res, dict) else instance
    related = instance[fk.name]
    related[fk.targetBindCol.name] = src[fk.bindCol.name]
    src[fk.name] = await fk.target.getExecutor(_v_work(self)).save(related)


async def _saveOTM(self, fk, instance):
    value = instance[fk.bindCol.name]
    target_name = fk.targetBindCol.name
    ex = fk.target.getExecutor(_v_work(self))
    for item in instance[fk.name]:
        item[target_name] = value
        ex.reset()
        await ex.save(item)


async def _saveMTM(self, fk, instance):
    work = _v_work(self)
    far = fk.directTarget.getExecutor(work)
    other = fk.middleModel.getOtherFkBy(fk.owner)
    key = instance[fk.bindCol.name]
    target_name = fk.targetBindCol.name
    middle = fk.middleModel.getExecutor(work)
    await _v_clear_junction(middle, {target_name: key}, fk.targetBindCol == key)
    for item in instance[fk.name]:
        await far.save(item)
        await middle.save({target_name: key, other.bindCol.name: item[other.targetBindCol.name]})


async def _v_clear_junction(middle, row, cond):
    # Deleting nothing still locks the index gap on MySQL, and concurrent
    # saves of new owners then deadlock on their inserts: the owner's rows
    # are looked for first (a read that takes no locks).
    if len(await middle.findAllBy(cond)):
        await middle.delete(row, cond)


def update(self, instance):
    _v_check_update(self, instance)
    return _v_update(self, instance)


async def _v_update(self, instance, cells=None):
    has_cells = _v_build_update(self, instance, cells)
    work = _v_work(self)
    for fk in _v_model(self).fk:
        value = _v_dict_get(instance, fk.name)
        if value is None:
            continue
        kind = fk.Type
        if kind == _v_OTO:
            await fk.target.getExecutor(work).save(value)
        elif kind == _v_OTM:
            for item in value:
                await fk.target.getExecutor(work).update(item)
        elif kind == _v_MTM:
            for item in value:
                await fk.directTarget.getExecutor(work).save(item)
            middle_model, row, cond, rows = _v_mtm_plan(fk, instance)
            middle = middle_model.getExecutor(work)
            await _v_clear_junction(middle, row, cond)
            for junction in rows:
                await middle.save(junction)
    if not has_cells:
        return instance
    return await self.execute()


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
    return _v_load(_v_load_plan(self, False, instance, deep, path, clevel, level, before))


def findListForeignKey(self, instances, deep=False, path=None, clevel=1, level=3, before=None):
    return _v_load(_v_load_plan(self, True, instances, deep, path, clevel, level, before))


async def _v_load(plan):
    # The search itself is the extension's (the synchronous executor runs the
    # same one); each step is the awaitable of a call it needs: a related
    # executor's findAllBy, or an overriding findForeignKey.
    for step in plan:
        plan.send(await step)
    return plan.result


# The executor's own methods, to tell a subclass's override from them.
_v_own_update = AsyncModelExecutor.update
