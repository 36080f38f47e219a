// AsyncModelExecutor: the same operations as awaitables.  The coroutine
// bodies are Python (Tavrik/Model/_aio_executor.py); argument checks, validation and statement
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
    H("_v_build_batch", h_build_batch),
    H("_v_end_batch", h_end_batch),
    H("_v_mtm_plan", h_mtm_plan),
    H("_v_key_condition", h_key_condition),
    H("_v_query_options", h_query_options),
    H("_v_matched", h_matched),
    {nullptr},
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
    {"execute", {}},
    {"save", {}},
    {"update", {}},
    {"_saveOTO", {}},
    {"_saveOTM", {}},
    {"_saveMTM", {}},
    {"findOneBy", {}},
    {"saveAll", {}},
    {"findForeignKey", {}},
    {"findListForeignKey", {}},
};

template <int I>
PyObject* forward(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_with_self(py_methods[I].fn.get(), self, args, nargs, kwnames);
}

#define M(i, doc) \
    {py_methods[i].name, (PyCFunction)(void (*)(void))forward<i>, METH_FASTCALL | METH_KEYWORDS, doc}
PyMethodDef async_methods[] = {
    M(0, "execute($self, /)\n--\n\n"
         "把当前语句交给数据库执行"),
    M(1, "save($self, /, instance)\n--\n\n"
         "插入实例及其关联对象，已存在时改为更新"),
    M(2, "update($self, /, instance)\n--\n\n"
         "按主键更新实例及其关联对象"),
    M(3, nullptr),
    M(4, nullptr),
    M(5, nullptr),
    M(6, "findOneBy($self, /, Filter=None, *, forUpdate=False, orderBy=None, limit=None, offset=None, columns=None)"
         "\n--\n\n"
         "按条件查询唯一的一行，没有结果时为None; 关键字参数同 findAllBy"),
    M(7, "saveAll($self, /, instances)\n--\n\n"
         "以一条INSERT语句批量插入实例，返回写入的行数"),
    M(8, "findForeignKey($self, /, instance, deep=False, path=None, clevel=1, level=3, before=None)\n--\n\n"
         "查询实例的关联对象"),
    M(9, "findListForeignKey($self, /, instances, deep=False, path=None, clevel=1, level=3, before=None)\n--\n\n"
         "查询实例列表中每个实例的关联对象"),
    {nullptr},
};
#undef M

}  // namespace

void install_async(PyObject* module) {
    Ref py = import_private("Tavrik.Model._aio_executor");
    for (PyMethod& m : py_methods) {
        Ref fn = getattr(py.get(), m.name);
        // Named as the method it serves, for argument errors and tracebacks.
        Ref qual = new_ref(PyUnicode_FromFormat("AsyncModelExecutor.%s", m.name));
        setattr(fn.get(), "__qualname__", qual.get());
        m.fn = std::move(fn);
    }
}

PyTypeObject AsyncModelExecutorType = {
    PyVarObject_HEAD_INIT(nullptr, 0) "Tavrik.Model.Vantrel.AsyncModelExecutor", /* tp_name */
    sizeof(ExecObject),                                                          /* tp_basicsize */
};

void ready_async_type() {
    PyTypeObject* t = &AsyncModelExecutorType;
    // GC support (flag, traverse, clear) is inherited from the base type.
    t->tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    t->tp_doc = "AsyncModelExecutor(model, work=None)\n--\n\n" "\n    异步模型执行器\n    与数据库交互的操作返回可等待对象\n";
    t->tp_base = &BaseModelExecutorType;
    t->tp_methods = async_methods;
}

}  // namespace vantrel
}  // namespace tavrik
