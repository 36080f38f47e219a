// executor.iterate(cond=None, *, batchSize=1000, orderBy=None): the rows a
// condition picks, read in keyset pages of at most batchSize rows, so a
// table of any size streams through in bounded memory on every road and
// nothing (no cursor, no connection) is held between two pages.  The loop
// itself is Python (Tavrik/Model/_iterate.py: a generator, and an
// asynchronous one on the asynchronous road); here: the arguments, checked
// at the call, and the ordering the pages follow.
#include "args.hpp"
#include "vantrel.hpp"

namespace tavrik {
namespace vantrel {

namespace {

Immortal sync_loop;   // Tavrik.Model._iterate.iterate
Immortal async_loop;  // Tavrik.Model._iterate.aiterate

// The ordering of the pages: orderBy's terms, each (property, "ASC"|"DESC",
// nullable, row key), ended by the primary key (a unique last term is what
// lets a page begin right after the row that ended the one before).
Ref keyset(PyObject* self, PyObject* orderBy) {
    PyObject* model = model_of(self);
    Ref pk = Ref::consuming_nullable(PyObject_GetAttr(model, N.pkCol));
    if (!pk) PyErr_Clear();
    if (!pk || !PyObject_TypeCheck(pk.get(), I.mp->BasePropertyType)) {
        PyErr_SetString(PyExc_TypeError, "iterate: 模型没有主键, 无法分页读取");
        throw_error();
    }
    Ref terms = new_ref(PyList_New(0));
    auto add = [&](PyObject* prop, const char* dir) {
        BasePropertyObject* p = (BasePropertyObject*)prop;
        Ref t = new_ref(Py_BuildValue("(OsOO)", prop, dir, p->nullable ? Py_True : Py_False, p->name));
        Require(PyList_Append(terms.get(), t.get()));
    };
    bool unique = false;
    if (orderBy && orderBy != Py_None) {
        QueryOptions o = query_options(model, nullptr, orderBy, nullptr, nullptr, nullptr);
        for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(o.order.get()); i < n && !unique; i++) {
            PyObject* t = PyTuple_GET_ITEM(o.order.get(), i);
            PyObject* prop = PyTuple_Check(t) ? PyTuple_GET_ITEM(t, 0) : t;
            const char* dir = PyTuple_Check(t) && PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(t, 1), "DESC") == 0
                                  ? "DESC"
                                  : "ASC";
            if (!PyObject_TypeCheck(prop, I.mp->BasePropertyType) || !((BasePropertyObject*)prop)->name)
                raise_arg_type("orderBy", "the model's columns", prop);
            add(prop, dir);
            unique = prop == pk.get();
        }
    }
    if (!unique) add(pk.get(), "ASC");
    return new_ref(PyList_AsTuple(terms.get()));
}

PyObject* start(PyObject* loop, PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        static const char* const names[] = {"cond", "batchSize", "orderBy"};
        PyObject* a[3];
        if (nargs > 1) raise_count(Params{"iterate", names, 1, 0}, nargs);
        bind_args("iterate", args, nargs, kwnames, names, 3, 0, a);
        PyObject* cond = a[0] ? a[0] : Py_None;
        check_filter(cond, "cond");
        long long size = 1000;
        if (a[1]) {
            if (!PyLong_Check(a[1]) || PyBool_Check(a[1])) raise_arg_type("batchSize", "int", a[1]);
            size = PyLong_AsLongLong(a[1]);
            if (size == -1 && PyErr_Occurred()) throw_error();
            if (size < 1) {
                PyErr_SetString(PyExc_ValueError, "batchSize must be at least 1");
                throw_error();
            }
        }
        Ref terms = keyset(self, a[2]);
        Ref n = new_ref(PyLong_FromLongLong(size));
        return call(loop, self, cond, n.get(), terms.get()).relinquish();
    });
}

}  // namespace

PyObject* executor_iterate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return start(sync_loop.get(), self, args, nargs, kwnames);
}

PyObject* executor_iterate_async(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return start(async_loop.get(), self, args, nargs, kwnames);
}

void install_iterate() {
    Ref py = import_private("Tavrik.Model._iterate");
    sync_loop = getattr(py.get(), "iterate");
    async_loop = getattr(py.get(), "aiterate");
}

}  // namespace vantrel
}  // namespace tavrik
