// AsyncModelExecutor: the same operations as awaitables.  The coroutine
// bodies are Python (Tavrik/Model/_aio_executor.py); argument checks, validation and statement
// building are the C++ helpers below, called before the awaitable exists.
// save, update and the relation savers make their plan (saveplan.cpp) at the
// call and return the coroutine that drives it.
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

static PyObject* h_start(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guard([&] {
        exact_args("_v_start", nargs, 1);
        return sync_execute(require_exec(args[0])).relinquish();
    });
}

static PyObject* h_run(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guard([&] {
        exact_args("_v_run", nargs, 1);
        return async_run(require_exec(args[0])).relinquish();
    });
}

static PyObject* h_take(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guard([&] {
        exact_args("_v_take", nargs, 2);
        return take_result(require_exec(args[0]), args[1]).relinquish();
    });
}

static PyObject* h_check_filter(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guard([&] {
        exact_args("_v_check_filter", nargs, 1);
        check_filter(args[0], "Filter");
        return Ref::owning(Py_None).relinquish();
    });
}

static PyObject* h_build_batch(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guard([&] {
        exact_args("_v_build_batch", nargs, 4);
        return PyLong_FromSsize_t(build_batch(require_exec(args[0]), args[1], args[2], args[3]));
    });
}

static PyObject* h_batch_written(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guard([&] {
        exact_args("_v_batch_written", nargs, 2);
        Py_ssize_t n = PyLong_AsSsize_t(args[1]);
        if (n == -1 && PyErr_Occurred()) throw_error();
        return PyLong_FromSsize_t(batch_written(require_exec(args[0]), n));
    });
}

// The connector whose first connection will tell whether the batch's keys
// come back, or None once that is decided.
static PyObject* h_batch_keys(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guard([&] {
        exact_args("_v_batch_keys", nargs, 2);
        PyObject* self = require_exec(args[0]);
        PyObject* c = batch_keys_known(self, truthy(args[1])) ? own_core_connector(self) : nullptr;
        return Ref::owning(c ? c : Py_None).relinquish();
    });
}

static PyObject* h_end_batch(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guard([&] {
        exact_args("_v_end_batch", nargs, 1);
        end_batch(require_exec(args[0]));
        return Ref::owning(Py_None).relinquish();
    });
}

static PyObject* h_raw_start(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guard([&] {
        exact_args("_v_raw_start", nargs, 3);
        return raw_start(require_exec(args[0]), args[1], args[2], true).relinquish();
    });
}

static PyObject* h_raw_rows(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guard([&] {
        exact_args("_v_raw_rows", nargs, 2);
        return raw_rows(require_exec(args[0]), args[1]).relinquish();
    });
}

#define H(name, fn) {name, (PyCFunction)(void (*)(void))fn, METH_FASTCALL, nullptr}
PyMethodDef module_helpers[] = {
    H("_v_start", h_start),
    H("_v_run", h_run),
    H("_v_take", h_take),
    H("_v_check_filter", h_check_filter),
    H("_v_build_batch", h_build_batch),
    H("_v_batch_written", h_batch_written),
    H("_v_end_batch", h_end_batch),
    H("_v_batch_keys", h_batch_keys),
    H("_v_query_options", h_query_options),
    H("_v_raw_start", h_raw_start),
    H("_v_raw_rows", h_raw_rows),
    {nullptr, nullptr, 0, nullptr},
};
#undef H

// The methods hand over to the functions of Tavrik/Model/_aio_executor.py
// of the same name: those check their arguments through the helpers above
// and return the coroutine, so argument errors are raised at the call.
namespace {

struct PyMethod {
    const char* name;
    Immortal fn;
};
PyMethod py_methods[] = {
    {"execute", {}},        {"findOneBy", {}},          {"saveAll", {}},
    {"findForeignKey", {}}, {"findListForeignKey", {}}, {"raw", {}},
};

template <int I>
PyObject* forward(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_with_self(py_methods[I].fn.get(), self, args, nargs, kwnames);
}

// save, update and the savers: the plan is made (and the arguments checked)
// at the call; the driver's coroutine runs it.

template <PlanOp Op>
PyObject* planned(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const save_names[] = {"instance"};
    static const char* const update_names[] = {"instance", "columns"};
    static const char* const oto_names[] = {"res", "fk", "instance"};
    static const char* const rel_names[] = {"fk", "instance"};
    static const char* const fnames[] = {"save", "update", "_saveOTO", "_saveOTM", "_saveMTM"};
    return guard([&] {
        const char* const* names = Op == OP_SAVE || Op == OP_UPDATE ? save_names
                                   : Op == OP_SAVE_OTO              ? oto_names
                                                                    : rel_names;
        const int n = Op == OP_SAVE || Op == OP_UPDATE ? 1 : Op == OP_SAVE_OTO ? 3 : 2;
        PyObject* a[3];
        if (Op == OP_UPDATE) {
            if (nargs > 1) raise_count(Params{"update", update_names, 1, 1}, nargs);
            bind_args("update", args, nargs, kwnames, update_names, 2, 1, a);
            if (a[1] && a[1] != Py_None) {
                // Some columns of the row alone: one statement, built now;
                // its execute() is the awaitable.
                Ref props = written_columns(model_of(self), a[1]);
                build_column_update(self, a[0], props.get());
                return call_method(self, N.execute).relinquish();
            }
        } else {
            bind_args(fnames[Op], args, nargs, kwnames, names, n, n, a);
        }
        Ref plan = new_async_plan(self, Op, a);
        return drive_async(plan.get()).relinquish();
    });
}

#define M(i, doc) {py_methods[i].name, (PyCFunction)(void (*)(void))forward<i>, METH_FASTCALL | METH_KEYWORDS, doc}
#define P(name, op, doc) {name, (PyCFunction)(void (*)(void))planned<op>, METH_FASTCALL | METH_KEYWORDS, doc}
PyMethodDef async_methods[] = {
    M(0,
      "execute($self, /)\n--\n\n"
      "把当前语句交给数据库执行"),
    P("save", OP_SAVE,
      "save($self, /, instance)\n--\n\n"
      "插入实例及其关联对象，已存在时改为更新"),
    P("update", OP_UPDATE,
      "update($self, /, instance, *, columns=None)\n--\n\n"
      "按主键更新实例及其关联对象; columns 给出时只写这些列 (不含主键, 不写关联对象)"),
    P("_saveOTO", OP_SAVE_OTO, nullptr),
    P("_saveOTM", OP_SAVE_OTM, nullptr),
    P("_saveMTM", OP_SAVE_MTM, nullptr),
    M(1,
      "findOneBy($self, /, Filter=None, *, forUpdate=False, orderBy=None, limit=None, offset=None, columns=None)"
      "\n--\n\n"
      "按条件查询唯一的一行，没有结果时为None (同步执行器则抛出 QueryResoutIsNotOne), 多于一行时抛出 "
      "QueryResoutIsNotOne; 关键字参数同 findAllBy"),
    M(2, SAVE_ALL_DOC),
    M(3,
      "findForeignKey($self, /, instance, deep=False, path=None, clevel=1, level=3, before=None)\n--\n\n"
      "查询实例的关联对象"),
    M(4,
      "findListForeignKey($self, /, instances, deep=False, path=None, clevel=1, level=3, before=None)\n--\n\n"
      "查询实例列表中每个实例的关联对象"),
    M(5,
      "raw($self, /, sql, params=())\n--\n\n"
      "执行手写的语句 (占位符写作%s, 按数据库改写, 值总是绑定), 返回可等待对象, 其结果为模型的已转换行; "
      "结果列按属性名 (或 name= 给出的列名) 对应模型的列, 模型没有的列不在行中"),
    {"iterate", (PyCFunction)(void (*)(void))executor_iterate_async, METH_FASTCALL | METH_KEYWORDS,
     "iterate($self, /, cond=None, *, batchSize=1000, orderBy=None)\n--\n\n"
     "按条件逐行读取 (异步迭代器, async for): 按 orderBy 加主键分页, 每页一条语句至多 batchSize 行, 都在本任务的"
     "事务中; 中途离开循环即停止"},
    {"prefetch", (PyCFunction)(void (*)(void))executor_prefetch_async, METH_FASTCALL | METH_KEYWORDS,
     "prefetch($self, /, rows, level=3)\n--\n\n"
     "以每个关系每层一条语句 (按参数上限分块) 加载实例列表的关联对象, 结果与 "
     "findListForeignKey 相同; 返回可等待对象, 其结果为传入的列表"},
    {nullptr, nullptr, 0, nullptr},
};
#undef M
#undef P

}  // namespace

namespace {
Immortal run_driver;  // Tavrik.Model._aio_executor.run
}  // namespace

Ref drive_async(PyObject* plan) { return call(run_driver.get(), plan); }

void install_async() {
    Ref py = import_private("Tavrik.Model._aio_executor");
    for (PyMethod& m : py_methods) {
        Ref fn = getattr(py.get(), m.name);
        // Named as the method it serves, for argument errors and tracebacks.
        Ref qual = new_ref(PyUnicode_FromFormat("AsyncModelExecutor.%s", m.name));
        setattr(fn.get(), "__qualname__", qual.get());
        m.fn = std::move(fn);
    }
    run_driver = getattr(py.get(), "run");
}

PyTypeObject AsyncModelExecutorType = plain_type("Tavrik.Model.Vantrel.AsyncModelExecutor", sizeof(ExecObject));

void ready_async_type() {
    ready_executor_subtype(&AsyncModelExecutorType,
                           "AsyncModelExecutor(model, work=None)\n--\n\n"
                           "\n    异步模型执行器\n    与数据库交互的操作返回可等待对象\n",
                           async_methods);
}

}  // namespace vantrel
}  // namespace tavrik
