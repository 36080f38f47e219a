// AsyncModelExecutor: the same operations as awaitables.  The coroutine
// bodies are Python source; argument checks, validation and statement
// building are the C++ helpers below, called before the awaitable exists.
#include "args.hpp"
#include "vantrel.hpp"

namespace tavrik {
namespace vantrel {

static PyObject* require_exec(PyObject* o) {
    if (!PyObject_TypeCheck(o, &BaseModelExecutorType)) raise_cannot_convert(o, "BaseModelExecutor");
    return o;
}

static void exact_args(const char* fname, Py_ssize_t nargs, Py_ssize_t n) {
    if (nargs != n) raise_arity(fname, "exactly", n, nargs);
}

static PyObject* h_model(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guard([&] {
        exact_args("_v_model", nargs, 1);
        return Ref::owning(model_of(require_exec(args[0]))).relinquish();
    });
}

static PyObject* h_work(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guard([&] {
        exact_args("_v_work", nargs, 1);
        PyObject* w = E(require_exec(args[0]))->work;
        return Ref::owning(w ? w : Py_None).relinquish();
    });
}

static PyObject* h_check_save(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guard([&] {
        exact_args("_v_check_save", nargs, 2);
        PyObject* model = model_of(require_exec(args[0]));
        check_row_of(model, args[1], "instance", true);
        validate_tree(model, args[1], VM_ASYNC_SAVE);
        return Ref::owning(Py_None).relinquish();
    });
}

static PyObject* h_check_update(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guard([&] {
        exact_args("_v_check_update", nargs, 2);
        PyObject* model = model_of(require_exec(args[0]));
        check_row_of(model, args[1], "instance", false);
        validate_tree(model, args[1], VM_ASYNC_UPDATE);
        return Ref::owning(Py_None).relinquish();
    });
}

// (executor, row, update cells) -> whether there is anything to insert; the
// list receives the cells an update of the row would set (see build_insert).
static PyObject* h_build_insert(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guard([&] {
        exact_args("_v_build_insert", nargs, 3);
        if (!PyList_CheckExact(args[2])) raise_expected("list", args[2]);
        return Ref::owning(build_insert(require_exec(args[0]), args[1], args[2]) ? Py_True : Py_False)
            .relinquish();
    });
}

// (executor, row, cells or None): cells kept from save()'s insert are used
// as they are, not converted again.
static PyObject* h_build_update(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guard([&] {
        exact_args("_v_build_update", nargs, 3);
        PyObject* cells = args[2] == Py_None ? nullptr : args[2];
        if (cells && !PyList_CheckExact(cells)) raise_expected("list", cells);
        return Ref::owning(build_update_has_cells(require_exec(args[0]), args[1], cells) ? Py_True : Py_False)
            .relinquish();
    });
}

static PyObject* h_start(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guard([&] {
        exact_args("_v_start", nargs, 1);
        return sync_execute(require_exec(args[0])).relinquish();
    });
}

static PyObject* h_check_filter(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guard([&] {
        exact_args("_v_check_filter", nargs, 1);
        check_filter(args[0], "Filter");
        return Ref::owning(Py_None).relinquish();
    });
}

// (instance-or-list, path, clevel, level, before, is_list) -> (path, clevel, level)
static PyObject* h_load_args(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guard([&] {
        exact_args("_v_load_args", nargs, 7);
        PyObject* model = model_of(require_exec(args[0]));
        bool is_list = truthy(args[6]);
        if (is_list) {
            check_arg(args[1], I.korvid->InstanceListType, "instances");
        } else {
            check_arg(args[1], I.korvid->ModelInstanceType, "instance", false);
            check_row_of(model, args[1], "instance", false);
        }
        PyObject* path = args[2];
        check_arg_exact_or_sub(path, PyDict_Check(path), "path", "dict");
        long clevel = (long)to_int32(args[3]);
        long level = (long)to_int32(args[4]);
        check_str_arg(args[5], "before");
        Ref p = path == Py_None ? new_ref(PyDict_New()) : Ref::owning(path);
        return Py_BuildValue("(Oll)", p.get(), clevel, level);
    });
}

static PyObject* h_build_batch(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guard([&] {
        exact_args("_v_build_batch", nargs, 2);
        return PyLong_FromSsize_t(build_batch(require_exec(args[0]), args[1]));
    });
}

static PyObject* h_end_batch(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guard([&] {
        exact_args("_v_end_batch", nargs, 1);
        end_batch(require_exec(args[0]));
        return Ref::owning(Py_None).relinquish();
    });
}

static PyObject* h_mtm_plan(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guard([&] {
        exact_args("_v_mtm_plan", nargs, 2);
        return mtm_plan(args[0], args[1]).relinquish();
    });
}

static PyObject* h_key_condition(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guard([&] {
        exact_args("_v_key_condition", nargs, 2);
        Ref cond = stored_key_condition(model_of(require_exec(args[0])), args[1]);
        return Ref::owning(cond ? cond.get() : Py_None).relinquish();
    });
}

// (executor, forget) -> the rows its last update matched, or None when its
// connector does not report them; `forget` clears the count first.
static PyObject* h_matched(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guard([&] {
        exact_args("_v_matched", nargs, 2);
        ExecObject* x = X(require_exec(args[0]));
        if (truthy(args[1])) x->matched = -1;
        if (x->matched < 0) return Ref::owning(Py_None).relinquish();
        return from_long(x->matched).relinquish();
    });
}

#define H(name, fn) {name, (PyCFunction)(void (*)(void))fn, METH_FASTCALL, nullptr}
PyMethodDef module_helpers[] = {
    H("_v_model", h_model),
    H("_v_work", h_work),
    H("_v_check_save", h_check_save),
    H("_v_check_update", h_check_update),
    H("_v_build_insert", h_build_insert),
    H("_v_build_update", h_build_update),
    H("_v_start", h_start),
    H("_v_check_filter", h_check_filter),
    H("_v_load_args", h_load_args),
    H("_v_build_batch", h_build_batch),
    H("_v_end_batch", h_end_batch),
    H("_v_mtm_plan", h_mtm_plan),
    H("_v_key_condition", h_key_condition),
    H("_v_query_options", h_query_options),
    H("_v_matched", h_matched),
    {nullptr},
};
#undef H

static const char kAsyncSource[] = R"PY(
from logging import info as _v_log_info

_v_dict_get = dict.get


async def execute(self):
    """把当前语句交给数据库执行"""
    return await _v_start(self)


def save(self, instance):
    """插入实例及其关联对象，已存在时改为更新"""
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
    """按主键更新实例及其关联对象"""
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
    """按条件查询唯一的一行，没有结果时为None; 关键字参数同 findAllBy"""
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
    """以一条INSERT语句批量插入实例，返回写入的行数"""
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
    """查询实例的关联对象"""
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
    """查询实例列表中每个实例的关联对象"""
    path, clevel, level = _v_load_args(self, instances, path, clevel, level, before, True)
    return _v_findListForeignKey(self, instances, path, clevel, level)


async def _v_findListForeignKey(self, instances, path, clevel, level):
    if instances is None:
        return None
    for item in list(instances):
        await self.findForeignKey(item, deep=True, path=path, clevel=clevel, level=level)
    return None


_v_own_findForeignKey = findForeignKey
_v_own_update = update
_v_async_methods = (execute, save, update, _saveOTO, _saveOTM, _saveMTM, findOneBy, saveAll,
                    findForeignKey, findListForeignKey)
)PY";

void install_async(PyObject* module) {
    run_source(module, kAsyncSource, "Tavrik/Model/Vantrel/AsyncModelExecutor");
    PyObject* g = PyModule_GetDict(module);
    Ref tup = Ref::owning(PyDict_GetItemString(g, "_v_async_methods"));
    if (!tup || !PyTuple_Check(tup.get())) {
        PyErr_SetString(PyExc_RuntimeError, "async executor source did not define its methods");
        throw_error();
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(tup.get()); i++) {
        PyObject* fn = PyTuple_GET_ITEM(tup.get(), i);
        Ref name = getattr(fn, "__name__");
        Ref qual = new_ref(PyUnicode_FromFormat("AsyncModelExecutor.%U", name.get()));
        setattr(fn, "__qualname__", qual.get());
        type_set(&AsyncModelExecutorType, PyUnicode_AsUTF8(name.get()), fn);
    }
    Require(PyDict_DelItemString(g, "_v_async_methods"));
    // The public names defined by the source belong to the type, not the module.
    static const char* const publics[] = {"execute", "save", "update", "_saveOTO", "_saveOTM", "_saveMTM",
                                          "findOneBy", "saveAll", "findForeignKey", "findListForeignKey"};
    for (const char* n : publics) Require(PyDict_DelItemString(g, n));
}

PyTypeObject AsyncModelExecutorType = {
    PyVarObject_HEAD_INIT(nullptr, 0) "Tavrik.Model.Vantrel.AsyncModelExecutor", /* tp_name */
    sizeof(ExecObject),                                                          /* tp_basicsize */
};

void ready_async_type() {
    PyTypeObject* t = &AsyncModelExecutorType;
    // GC support (flag, traverse, clear) is inherited from the base type.
    t->tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    t->tp_doc = "\n    异步模型执行器\n    与数据库交互的操作返回可等待对象\n";
    t->tp_base = &BaseModelExecutorType;
}

}  // namespace vantrel
}  // namespace tavrik
