// Statement observers: what the cores do once something observes them (the
// hooks, the slow line and the spans live in Tavrik/DB/_observe.py).
#include "internal.hpp"

namespace tavrik {
namespace conn {

// Set by _c_observe; plain pointers that no destructor releases (the
// observer's functions live as long as their module does).
PyObject* observe_emit = nullptr;
PyObject* observe_wrap = nullptr;

namespace {

// The text as the driver got it: no values, only placeholders.
Ref reported_text(PyObject* connector, PyObject* sql, bool hand) {
    if (!PyUnicode_Check(sql) && !PyList_Check(sql)) return borrow(sql);
    const Dialect& d = connector_dialect(&BaseConnectorType, connector);
    // Hand-written MySQL text goes to the driver as it was given.
    if (hand && d.id == D_MYSQL) return borrow(sql);
    return driver_texts(sql, d);
}

// _c_observe(emit, wrap): both set, or both None (nothing observes).
PyObject* c_observe(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guard([&]() -> PyObject* {
        if (nargs != 2) raise_arity("_c_observe", "exactly", 2, nargs);
        PyObject* emit = null_if_none(args[0]);
        PyObject* wrap = null_if_none(args[1]);
        if (!emit != !wrap) {
            PyErr_SetString(PyExc_TypeError, "_c_observe() takes two callables or two Nones");
            throw_error();
        }
        PyObject *old_emit = observe_emit, *old_wrap = observe_wrap;
        Py_XINCREF(emit);
        Py_XINCREF(wrap);
        observe_emit = emit;
        observe_wrap = wrap;
        Py_XDECREF(old_emit);
        Py_XDECREF(old_wrap);
        Py_RETURN_NONE;
    });
}

PyMethodDef observe_methods[] = {
    {"_c_observe", (PyCFunction)(void (*)(void))c_observe, METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyObject* observe_report(PyObject* connector, PyObject* sql, bool hand, PyObject* params, int batch,
                         ObserveClock::time_point start, PyObject* result, PyObject* con) noexcept {
    const double seconds = std::chrono::duration<double>(ObserveClock::now() - start).count();
    PyObject *t = nullptr, *v = nullptr, *tb = nullptr;
    if (!result) {
        PyErr_Fetch(&t, &v, &tb);
        PyErr_NormalizeException(&t, &v, &tb);
        if (tb) PyException_SetTraceback(v, tb);
    }
    PyObject* ok = guard([&]() -> PyObject* {
        // Read again: the observer may have been switched off meanwhile.
        PyObject* emit = observe_emit;
        if (!emit) Py_RETURN_NONE;
        Ref keep = borrow(emit);
        Ref text = reported_text(connector, sql, hand);
        Ref dur = new_ref(PyFloat_FromDouble(seconds));
        Ref mode = from_long(hand ? -1 : batch);
        PyObject* a[8] = {connector,       text.get(), none_if_null(params), mode.get(), none_if_null(result),
                          v ? v : Py_None, dur.get(),  none_if_null(con)};
        return Require(PyObject_Vectorcall(emit, a, 8, nullptr));
    });
    if (!ok) {
        // The observer logs its callbacks' errors: only a BaseException of
        // its own gets here, and it is raised (the statement has ended).
        Py_XDECREF(result);
        restore_or_chain(t, v, tb);
        return nullptr;
    }
    Py_DECREF(ok);
    if (!result) {
        PyErr_Restore(t, v, tb);
        return nullptr;
    }
    return result;
}

Ref observe_async(PyObject* coro, PyObject* connector, PyObject* sql, bool hand, PyObject* params, int batch,
                  PyObject* con) {
    PyObject* wrap = observe_wrap;
    if (!wrap) return borrow(coro);
    Ref keep = borrow(wrap);
    Ref text = reported_text(connector, sql, hand);
    Ref mode = from_long(hand ? -1 : batch);
    PyObject* a[6] = {coro, connector, text.get(), none_if_null(params), mode.get(), none_if_null(con)};
    return new_ref(PyObject_Vectorcall(wrap, a, 6, nullptr));
}

void init_observe(PyObject* m) { Require(PyModule_AddFunctions(m, observe_methods)); }

}  // namespace conn
}  // namespace tavrik
