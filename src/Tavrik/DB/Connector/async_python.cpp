// The coroutines of the asynchronous connectors live in Tavrik/DB/_aio_connectors.py.
// Each step that touches a statement or a row is a C helper (_c_*) of this
// module, which that file imports; the task state and the awaiting are Python.  The methods
// below are the entry points: they hand their arguments to the coroutine
// function, so argument errors are raised when the awaitable is created.
#include <cstring>
#include "internal.hpp"

namespace tavrik {
namespace conn {

namespace {

Immortal py_sq_taskCon, py_sq_getTableNameList, py_sq_close, py_my_init_mysql, py_my_taskCon, py_my_getSelectCon,
    py_my_getTableNameList, py_my_close;

// A coroutine function named as the method it serves, so argument errors and
// tracebacks read as they did when it was that method.
Ref take(PyObject* py, const char* name, PyTypeObject* tp, const char* attr) {
    Ref v = getattr(py, name);
    Ref n = new_ref(PyUnicode_FromString(attr));
    setattr(v.get(), "__name__", n.get());
    const char* dot = strrchr(tp->tp_name, '.');
    Ref q = new_ref(PyUnicode_FromFormat("%s.%s", dot ? dot + 1 : tp->tp_name, attr));
    setattr(v.get(), "__qualname__", q.get());
    return v;
}

}  // namespace

#define TAVRIK_FORWARD(name)                                                                     \
    PyObject* name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) { \
        return call_with_self(py_##name.get(), self, args, nargs, kwnames);                      \
    }
TAVRIK_FORWARD(sq_taskCon)
TAVRIK_FORWARD(sq_getTableNameList)
TAVRIK_FORWARD(sq_close)
TAVRIK_FORWARD(my_init_mysql)
TAVRIK_FORWARD(my_taskCon)
TAVRIK_FORWARD(my_getSelectCon)
TAVRIK_FORWARD(my_getTableNameList)
TAVRIK_FORWARD(my_close)
#undef TAVRIK_FORWARD

PyObject* async_run_capi(PyObject* self, PyObject* sql, PyObject* params, int kind, int batch, int locks,
                         PyObject* con) {
    return guard([&]() -> PyObject* {
        PyObject* fn = PyObject_TypeCheck(self, &AioSqliteConnectorType) ? G.sq_run.get()
                       : PyObject_TypeCheck(self, &AsyncpgConnectorType) ? G.pg_run.get()
                                                                         : G.my_run.get();
        Ref k = from_long(kind);
        Ref mode = from_long(batch);
        PyObject* a[8] = {self,
                          sql,
                          params,
                          k.get(),
                          mode.get(),
                          locks ? Py_True : Py_False,
                          con ? Py_True : Py_False,
                          con ? con : Py_None};
        if (!observing()) return PyObject_Vectorcall(fn, a, 8, nullptr);
        Ref coro = new_ref(PyObject_Vectorcall(fn, a, 8, nullptr));
        return observe_async(coro.get(), self, sql, false, params, batch, con).relinquish();
    });
}

void init_async_python(PyObject* m) {
    Ref py = load_python(m, "Tavrik.DB._aio_connectors");
    // field of G, name in Tavrik/DB/_aio_connectors.py
    struct Taken {
        Immortal& field;
        const char* name;
    };
    const Taken taken[] = {
        {G.ConRequest, "_ConRequest"},
        {G.noop_coro, "_c_noop"},
        {G.sq_execute, "_sq_execute"},
        {G.sq_run, "_sq_run"},
        {G.my_run, "_my_run"},
        {G.sq_asyncProcess, "_sq_asyncProcess"},
        {G.py_release, "_release"},
        {G.my_execute, "_my_execute"},
        {G.my_asyncProcess, "_my_asyncProcess"},
        {G.pg_run, "_pg_run"},
        {G.pg_execute, "_pg_execute"},
        {G.pg_asyncProcess, "_pg_asyncProcess"},
        {G.my_server_version, "_my_server_version"},
    };
    for (const Taken& t : taken) t.field = getattr(py.get(), t.name);
    const Taken tx[] = {
        {G.tx_drive, "drive"},
        {G.tx_new_life, "new_life"},
        {G.tx_transaction, "transaction"},
        {G.tx_run_transaction, "run_transaction"},
    };
    for (const Taken& t : tx) t.field = import_attr("Tavrik.DB._async_tx", t.name);
    G.my_transaction = import_attr("Tavrik.DB._cluster", "transaction");
    init_pg_python(py.get());

    py_sq_taskCon = take(py.get(), "_sq_taskCon", &AioSqliteConnectorType, "_taskCon");
    py_sq_getTableNameList = take(py.get(), "_sq_getTableNameList", &AioSqliteConnectorType, "getTableNameList");
    py_sq_close = take(py.get(), "_sq_close", &AioSqliteConnectorType, "close");
    py_my_init_mysql = take(py.get(), "_my_init_mysql", &AioMysqlConnectorType, "_init_mysql");
    py_my_taskCon = take(py.get(), "_my_taskCon", &AioMysqlConnectorType, "_taskCon");
    py_my_getSelectCon = take(py.get(), "_my_getSelectCon", &AioMysqlConnectorType, "getSelectCon");
    py_my_getTableNameList = take(py.get(), "_my_getTableNameList", &AioMysqlConnectorType, "getTableNameList");
    py_my_close = take(py.get(), "_my_close", &AioMysqlConnectorType, "close");
}

}  // namespace conn
}  // namespace tavrik
