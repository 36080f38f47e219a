// Tavrik.DB.DB: the process's one database handle and its connector.
#include <tavrik/api/connector.hpp>
#include <tavrik/api/db.hpp>
#include <tavrik/args.hpp>
#include <tavrik/module.hpp>
#include <tavrik/params.hpp>

namespace tavrik {
namespace db {

namespace {

PyObject* g_instance = nullptr;  // the handle, or NULL
bool g_creating = false;         // DB.create is making the instance
ConnectorAPI* g_connector_api = nullptr;
#define DB_NAMES(X) X(process) X(asyncProcess) X(execute) X(executor) X(con) X(args) X(isAsync)

struct Names {
    DB_NAMES(TAVRIK_NAME_FIELD)
    // The keywords of the connector calls it makes.
    Immortal kwnames_executor, kwnames_executor_con, kwnames_args;
    void init() {
        DB_NAMES(TAVRIK_NAME_INTERN)
        kwnames_executor = new_ref(PyTuple_Pack(1, executor.get()));
        kwnames_executor_con = new_ref(PyTuple_Pack(2, executor.get(), con.get()));
        kwnames_args = new_ref(PyTuple_Pack(1, args.get()));
    }
} N;

inline DBObject* D(PyObject* o) { return (DBObject*)o; }

[[noreturn]] void raise_strovy(const char* name) {
    Ref cls = import_attr("Tavrik.Error.Strovy", name);
    PyErr_SetNone(cls.get());
    throw_error();
}

PyObject* db_new(PyTypeObject* tp, PyObject*, PyObject*) {
    return guard([&]() -> PyObject* {
        if (!g_creating) raise_strovy("DBInstanceCreateError");
        PyObject* self = tp->tp_alloc(tp, 0);
        if (!self) throw_error();
        D(self)->connector = nullptr;
        return self;
    });
}

using DBRefs = Refs<DBObject, NoRefs, &DBObject::connector>;

PyObject* connector_of(PyObject* self) {
    PyObject* c = D(self)->connector;
    if (!c) {
        PyErr_SetString(PyExc_AttributeError, "connector");
        throw_error();
    }
    return c;
}

bool is_async(PyObject* connector) {
    // The field is read directly unless a Python subclass may have replaced it.
    if (PyObject_TypeCheck(connector, g_connector_api->BaseConnectorType) &&
        !(Py_TYPE(connector)->tp_flags & Py_TPFLAGS_HEAPTYPE))
        return ((BaseConnectorObject*)connector)->isAsync != 0;
    return truthy(getattr(connector, N.isAsync).get());
}

Ref execute_impl(PyObject* self, PyObject* executor, PyObject* con) {
    PyObject* connector = connector_of(self);
    Ref keep = borrow(connector);
    if (Py_TYPE(connector) == g_connector_api->Sqlite3ConnectorType)
        return new_ref(g_connector_api->process(connector, executor, con));
    // By name: the other connectors' process/asyncProcess may be a user
    // subclass's override.
    PyObject* name = is_async(connector) ? N.asyncProcess : N.process;
    PyObject* args[3] = {connector, executor, con};
    return new_ref(PyObject_VectorcallMethod(name, args, 1, con ? N.kwnames_executor_con : N.kwnames_executor));
}

// execute(*, executor, con=None)
PyObject* db_execute(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        if (nargs) raise_arity("execute", "exactly", 0, nargs);
        PyObject *executor = nullptr, *con = nullptr;
        Py_ssize_t nk = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        for (Py_ssize_t i = 0; i < nk; ++i) {
            PyObject* k = PyTuple_GET_ITEM(kwnames, i);
            if (PyUnicode_Compare(k, N.executor) == 0)
                executor = args[i];
            else if (PyUnicode_Compare(k, N.con) == 0)
                con = args[i];
            else
                raise_unexpected_kw("execute", k);
        }
        if (!executor) {
            PyErr_SetString(PyExc_TypeError, "execute() needs keyword-only argument executor");
            throw_error();
        }
        return execute_impl(self, executor, con).relinquish();
    });
}

Ref execute_sql(PyObject* db, PyObject* sql, PyObject* params) {
    PyObject* connector = connector_of(db);
    Ref keep = borrow(connector);
    // By name: a user's connector subclass may override execute.
    PyObject* cargs[3] = {connector, sql, params};
    return new_ref(PyObject_VectorcallMethod(N.execute, cargs, 2, N.kwnames_args));
}

// executeSql(sql, args=())
PyObject* db_executeSql(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        static const char* const names[] = {"sql", "args"};
        PyObject* a[2];
        bind_args("executeSql", args, nargs, kwnames, names, 2, 1, a);
        PyObject *sql = a[0], *params = a[1];
        Ref empty;
        if (!params) {
            empty = new_ref(PyTuple_New(0));
            params = empty.get();
        }
        return execute_sql(self, sql, params).relinquish();
    });
}

PyObject* db_create(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        PyObject* connector = nullptr;
        Py_ssize_t nk = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        if (nargs > 1) raise_arity("create", "exactly", 1, nargs);
        if (nargs == 1) connector = args[0];
        for (Py_ssize_t i = 0; i < nk; ++i) {
            PyObject* k = PyTuple_GET_ITEM(kwnames, i);
            if (PyUnicode_CompareWithASCIIString(k, "connector") != 0 || connector) raise_unexpected_kw("create", k);
            connector = args[nargs + i];
        }
        if (!connector) raise_arity("create", "exactly", 1, 0);
        if (g_instance) raise_strovy("DBInstanceError");
        if (connector == Py_None) raise_arg_type("connector", "Tavrik.DB.Connector.BaseConnector", connector);
        PyTypeObject* tp = PyType_Check(cls) ? (PyTypeObject*)cls : Py_TYPE(cls);
        g_creating = true;
        PyObject* inst = tp->tp_new(tp, nullptr, nullptr);
        g_creating = false;
        if (!inst) throw_error();
        Py_INCREF(connector);
        D(inst)->connector = connector;
        g_instance = inst;
        Py_INCREF(inst);
        return inst;
    });
}

PyObject* get_instance_impl() {
    return guard([&]() -> PyObject* {
        if (!g_instance) raise_strovy("DBInstanceCreateError");
        Py_INCREF(g_instance);
        return g_instance;
    });
}

PyObject* db_getInstance(PyObject*, PyObject*) { return get_instance_impl(); }

// The installed handle (new reference), raising when there is none.
Ref handle() {
    if (!g_instance) raise_strovy("DBInstanceCreateError");
    return borrow(g_instance);
}

int handle_is_async_impl() {
    return guard_int([&]() -> int {
        Ref db = handle();
        Ref connector = borrow(connector_of(db.get()));
        return is_async(connector.get()) ? 1 : 0;
    });
}

PyObject* handle_connector_impl() {
    return guard([&]() -> PyObject* {
        Ref db = handle();
        return borrow(connector_of(db.get())).relinquish();
    });
}

PyObject* execute_sql_impl(PyObject* sql, PyObject* params) {
    return guard([&]() -> PyObject* {
        Ref db = handle();
        return execute_sql(db.get(), sql, params).relinquish();
    });
}

// The hooks are written in Python (Tavrik/DB/_observe.py), imported when
// first used: a program that observes nothing never loads it.
Ref observe_fn(const char* name) { return import_attr("Tavrik.DB._observe", name); }

PyObject* db_onStatement(PyObject* self, PyObject* callback) {
    return guard([&]() -> PyObject* { return call(observe_fn("on_statement").get(), self, callback).relinquish(); });
}

PyObject* db_offStatement(PyObject* self, PyObject* callback) {
    return guard([&]() -> PyObject* { return call(observe_fn("off_statement").get(), self, callback).relinquish(); });
}

PyObject* db_slowStatements(PyObject* self, PyObject* seconds) {
    return guard([&]() -> PyObject* { return call(observe_fn("slow_statements").get(), self, seconds).relinquish(); });
}

PyObject* db_drop(PyObject*, PyObject*) {
    PyObject* inst = g_instance;
    if (inst && PyDict_GetItemString(PyImport_GetModuleDict(), "Tavrik.DB._observe")) {
        // The handle's hooks go with it.
        PyObject* ok = guard([&]() -> PyObject* { return call(observe_fn("forget").get()).relinquish(); });
        if (!ok) return nullptr;
        Py_DECREF(ok);
    }
    g_instance = nullptr;
    if (!inst) Py_RETURN_NONE;
    PyObject* connector = D(inst)->connector;
    D(inst)->connector = nullptr;
    Py_DECREF(inst);
    if (!connector) Py_RETURN_NONE;
    return connector;  // the reference the handle held
}

PyObject* execute_capi(PyObject* db, PyObject* executor, PyObject* con) {
    // The synchronous SQLite road reports a failed statement by its return
    // value all the way up: no unwinding for an error the caller expects.
    PyObject* connector = D(db)->connector;
    if (connector && Py_TYPE(connector) == g_connector_api->Sqlite3ConnectorType) {
        Py_INCREF(connector);
        PyObject* r = g_connector_api->process(connector, executor, con);
        Py_DECREF(connector);
        return r;
    }
    return guard([&]() -> PyObject* { return execute_impl(db, executor, con).relinquish(); });
}

PyObject* connector_get(PyObject* self, void*) { return or_none(D(self)->connector); }

PyGetSetDef db_getset[] = {
    {"connector", connector_get, nullptr, "数据库句柄持有的连接器", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef db_methods[] = {
    {"create", (PyCFunction)(void (*)(void))db_create, METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "create($type, /, connector)\n--\n\n"
     "用给定的连接器创建唯一的数据库句柄并返回它; 已存在时抛出DBInstanceError"},
    {"getInstance", db_getInstance, METH_NOARGS | METH_CLASS,
     "getInstance($type, /)\n--\n\n"
     "返回唯一的数据库句柄; 尚未创建时抛出DBInstanceCreateError"},
    {"drop", db_drop, METH_NOARGS | METH_CLASS,
     "drop($type, /)\n--\n\n"
     "忘掉数据库句柄并返回它的连接器 (没有句柄时返回None); 关闭连接器由调用者负责"},
    {"execute", (PyCFunction)(void (*)(void))db_execute, METH_FASTCALL | METH_KEYWORDS,
     "execute($self, /, *, executor, con)\n--\n\n"
     "execute(*, executor, con=None): 通过连接器执行执行器的语句 (异步连接器返回可等待对象)"},
    {"executeSql", (PyCFunction)(void (*)(void))db_executeSql, METH_FASTCALL | METH_KEYWORDS,
     "executeSql($self, /, sql, args=())\n--\n\n"
     "executeSql(sql, args=()): 执行一条语句并返回结果行 (connector.execute)"},
    {"onStatement", db_onStatement, METH_O,
     "onStatement($self, callback, /)\n--\n\n"
     "onStatement(callback): 连接器每执行完一条语句 (执行器的语句, 批量插入, execute的语句; 不含连接器自己的"
     "BEGIN/COMMIT/保存点) 调用 callback(event), event 有 database, text (不含参数值), duration (秒), rows, error; "
     "可以注册多个 (同一个只注册一次), 返回callback; onStatement(None) 去掉全部回调。回调抛出的Exception记录在 "
     "\"Tavrik.DB\" 记录器上, 不影响语句。句柄drop()时回调随之去掉"},
    {"offStatement", db_offStatement, METH_O,
     "offStatement($self, callback, /)\n--\n\n"
     "去掉onStatement注册的一个回调 (未注册时什么也不做)"},
    {"slowStatements", db_slowStatements, METH_O,
     "slowStatements($self, seconds, /)\n--\n\n"
     "slowStatements(seconds): 执行时间达到seconds秒的语句在 \"Tavrik.DB\" 记录器上记录一条WARNING "
     "(语句文本与耗时, 不含参数值); None 关闭"},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject DBType = with_slots(gc_type<DBRefs>("Tavrik.DB.DB.DB", sizeof(DBObject), 0),
                                 {"DB()\n--\n\n"
                                  "进程唯一的数据库句柄, 持有一个连接器; 用DB.create(connector)创建",
                                  db_methods, db_getset, nullptr, db_new});

PyModuleDef module_def = module_definition("Tavrik.DB.DB", "数据库句柄");

void module_body(PyObject* m) {
    N.init();

    add_type(m, &DBType);
    static DBAPI capi = {TAVRIK_DB_API_VERSION, &DBType,         get_instance_impl, execute_capi, handle_is_async_impl,
                         handle_connector_impl, execute_sql_impl};
    export_api(m, TAVRIK_DB_CAPSULE, &capi);

    g_connector_api = import_api<ConnectorAPI>(TAVRIK_CONNECTOR_CAPSULE, 1);
}

}  // namespace
}  // namespace db
}  // namespace tavrik

PyMODINIT_FUNC PyInit_DB(void) { TAVRIK_MODULE_INIT(tavrik::db::module_def, tavrik::db::module_body); }
