// Tavrik.DB.Connector: module init, the raw results of the connectors' core and
// the hand-over of them to an executor given to process()/asyncProcess().
#include "internal.hpp"

namespace tavrik {
namespace conn {

Globals G;

// ---------------------------------------------------------------- rows

// Column names of a cursor's description, in order.
Ref column_names(PyObject* cursor) {
    Ref desc = getattr(cursor, G.s_description);
    if (desc.get() == Py_None) return new_ref(PyTuple_New(0));
    Ref seq = new_ref(PySequence_Fast(desc.get(), "description must be a sequence"));
    Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    Ref names = new_ref(PyTuple_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* entry = PySequence_Fast_GET_ITEM(seq.get(), i);
        PyObject* name;
        if (PyTuple_CheckExact(entry) && PyTuple_GET_SIZE(entry) > 0) {
            name = PyTuple_GET_ITEM(entry, 0);
            Py_INCREF(name);
        } else {
            name = Require(PySequence_GetItem(entry, 0));
        }
        PyTuple_SET_ITEM(names.get(), i, name);
    }
    return names;
}

namespace {

// One row tuple (or None) -> dict; `names` is a tuple.
Ref row_dict(PyObject* names, PyObject* row) {
    Py_ssize_t n = PyTuple_GET_SIZE(names);
    Ref d = new_ref(_PyDict_NewPresized(n));
    if (n == 0) return d;
    if (row == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' object is not subscriptable");
        throw_error();
    }
    Py_ssize_t len = PyTuple_GET_SIZE(row);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (i >= len) {
            PyErr_SetString(PyExc_IndexError, "tuple index out of range");
            throw_error();
        }
        Require(PyDict_SetItem(d.get(), PyTuple_GET_ITEM(names, i), PyTuple_GET_ITEM(row, i)));
    }
    return d;
}

}  // namespace

Ref rows_to_dicts(PyObject* cursor, PyObject* rows) {
    Ref names = column_names(cursor);
    return rows_to_dicts_named(names.get(), rows);
}

Ref rows_to_dicts_named(PyObject* names, PyObject* rows) {
    Ref seq = new_ref(PySequence_Fast(rows, "rows must be a sequence"));
    Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    Ref out = new_ref(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* row = PySequence_Fast_GET_ITEM(seq.get(), i);
        if (row != Py_None && !PyTuple_Check(row)) raise_expected("tuple", row);
        PyList_SET_ITEM(out.get(), i, row_dict(names, row).relinquish());
    }
    return out;
}

// ------------------------------------------------------------ statements

Ref raw_result(PyObject* names, PyObject* rows, PyObject* key, PyObject* count) {
    Ref out = new_ref(PyTuple_New(RAW_SIZE));
    PyObject* items[RAW_SIZE] = {names, rows, key, count};
    for (int i = 0; i < RAW_SIZE; i++) {
        PyObject* v = items[i] ? items[i] : Py_None;
        if (i == RAW_ROWS && items[i] && !PyList_CheckExact(v))
            v = Require(PySequence_List(v));
        else
            Py_INCREF(v);
        PyTuple_SET_ITEM(out.get(), i, v);
    }
    return out;
}

// ------------------------------------------------------------ hand-over
//
// The connector's side of the executor's hand-over: process() and
// asyncProcess() given an executor run its statement through the core and
// give the raw result back to it.  Nothing else in the connector calls
// into the executor.

Statement statement_of(PyObject* executor, const Dialect& d) {
    if (executor == Py_None)  // accepted by the signatures, but there is nothing to run
        raise_arg_type("executor", G.vantrel->ModelExecutorType->tp_name, executor);
    auto* ex = (BaseModelExecutorObject*)executor;
    return statement_in(G.generator, ex->sql ? ex->sql : Py_None, d.id);
}

Ref take_result(PyObject* executor, PyObject* raw) { return new_ref(G.vantrel->takeResult(executor, raw)); }

PyObject* hand_over(PyObject* connector, PyObject* executor, const Dialect& d, RunFn run) {
    Statement st = statement_of(executor, d);
    Ref raw = Ref::consuming_nullable(run(connector, st.sql.get(), st.params.get(), st.kind, st.mode()));
    if (!raw) return nullptr;
    return take_result(executor, raw.get()).relinquish();
}

void log_statement(PyObject* sql, PyObject* params) {
    Ref head = new_ref(PyObject_Str(sql));
    Ref tail = new_ref(PyObject_Str(params));
    Ref a = new_ref(PyUnicode_Concat(head.get(), G.t_params_sep));
    Ref line = new_ref(PyUnicode_Concat(a.get(), tail.get()));
    call(G.logging_info, line.get());
}

// ------------------------------------------------------------ functions

namespace {

const char* const kDictFactoryNames[] = {"cursor", "row"};
const Params kDictFactory{"dict_factory", kDictFactoryNames, 2, 2};

PyObject* dict_factory(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        PyObject* a[2];
        parse_fast(kDictFactory, args, nargs, kwnames, a);
        check_tuple_arg(a[1], "row");
        Ref names = column_names(a[0]);
        return row_dict(names.get(), a[1]).relinquish();
    });
}

// Helpers for the Python-source coroutines.
PyObject* c_dict_rows(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guard([&]() -> PyObject* {
        if (nargs != 2) raise_arity("_c_dict_rows", "exactly", 2, nargs);
        return rows_to_dicts(args[0], args[1]).relinquish();
    });
}

// The asynchronous hand-over's last step and the core's rows of a
// selection (Tavrik/DB/_aio_connectors.py).
PyObject* c_take(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guard([&]() -> PyObject* {
        if (nargs != 2) raise_arity("_c_take", "exactly", 2, nargs);
        check_arg(args[0], G.vantrel->BaseModelExecutorType, "executor", false);
        return take_result(args[0], args[1]).relinquish();
    });
}

PyObject* c_rows(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guard([&]() -> PyObject* {
        if (nargs != 2) raise_arity("_c_rows", "exactly", 2, nargs);
        Ref names = column_names(args[0]);
        return raw_result(names.get(), args[1], nullptr, nullptr).relinquish();
    });
}

// What a driver error means in a dialect (given by name or by a connector):
// 0 other, 1 duplicate key, 2 conflict (deadlock, serialisation failure), 3
// lock wait timeout.
PyObject* c_error_kind(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guard([&]() -> PyObject* {
        if (nargs != 2) raise_arity("_c_error_kind", "exactly", 2, nargs);
        const Dialect* d = dialect_named(args[0]);
        return PyLong_FromLong((long)error_kind(d ? *d : connector_dialect(&BaseConnectorType, args[0]), args[1]));
    });
}

PyMethodDef module_methods[] = {
    {"dict_factory", (PyCFunction)(void (*)(void))dict_factory, METH_FASTCALL | METH_KEYWORDS,
     "dict_factory($module, /, cursor, row)\n--\n\n"
     "把一行查询结果转换为以列名为键的字典 (sqlite3 的 row_factory 签名)"},
    {"_c_dict_rows", (PyCFunction)(void (*)(void))c_dict_rows, METH_FASTCALL, nullptr},
    {"_c_take", (PyCFunction)(void (*)(void))c_take, METH_FASTCALL, nullptr},
    {"_c_rows", (PyCFunction)(void (*)(void))c_rows, METH_FASTCALL, nullptr},
    {"_c_error_kind", (PyCFunction)(void (*)(void))c_error_kind, METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def =
    module_definition("Tavrik.DB.Connector", "数据库连接器: SQLite (同步/异步) 与 MySQL (同步/异步)", module_methods);

#define CONNECTOR_NAME_INTERN(id) G.s_##id = intern(#id);
#define CONNECTOR_TEXT_INTERN(id, text) G.t_##id = intern(text);

void init_names() {
    CONNECTOR_NAMES(CONNECTOR_NAME_INTERN)
    CONNECTOR_TEXTS(CONNECTOR_TEXT_INTERN)
    G.t_empty_tuple = new_ref(PyTuple_New(0));
}

void set_global(PyObject* m, const char* name, PyObject* value) { add_object(m, name, value); }

// The capsule's synchronous entries, for either synchronous connector.
bool pooled(PyObject* connector) {
    return PyObject_TypeCheck(connector, &MysqlConnectorType) || PyObject_TypeCheck(connector, &PsycopgConnectorType);
}

PyObject* sync_process(PyObject* self, PyObject* executor, PyObject* con) {
    return pooled(self) ? mysql_process_capi(self, executor, con) : sqlite_process_capi(self, executor, con);
}
int sync_transaction_begin(PyObject* self) {
    return pooled(self) ? mysql_transaction_begin(self) : sqlite_transaction_begin(self);
}
int sync_transaction_end(PyObject* self, int ok) {
    return pooled(self) ? mysql_transaction_end(self, ok) : sqlite_transaction_end(self, ok);
}
PyObject* sync_run(PyObject* self, PyObject* sql, PyObject* params, int kind, int batch) {
    return pooled(self) ? mysql_run_capi(self, sql, params, kind, batch)
                        : sqlite_run_capi(self, sql, params, kind, batch);
}

void module_body(PyObject* m) {
    G.module = borrow(m);
    init_names();
    init_base(m);
    init_sqlite_type(m);
    init_async_types(m);
    init_mysql_type(m);
    init_pg_type(m);
    init_observe(m);

    static ConnectorAPI capi = {
        TAVRIK_CONNECTOR_API_VERSION,
        sqlite_init_impl,
        sqlite_autoFiled_capi,
        sqlite_tables_capi,
        &BaseConnectorType,
        &Sqlite3ConnectorType,
        &AioSqliteConnectorType,
        &AioMysqlConnectorType,
        &PyMysqlConnectorType,
        sync_process,
        sync_transaction_begin,
        sync_transaction_end,
        sync_run,
        async_run_capi,
        &MysqlConnectorType,
        &AsyncpgConnectorType,
        &PsycopgConnectorType,
        batch_keys_capi,
    };
    export_api(m, TAVRIK_CONNECTOR_CAPSULE, &capi);
    // The coroutines only reach the globals below when they run.
    init_async_python(m);

    // Only now the other modules: they may import this one back.
    Ref asyncio = import("asyncio");
    set_global(m, "asyncio", asyncio.get());
    set_global(m, "multiprocessing", import("multiprocessing").get());
    Ref threading = import("threading");
    set_global(m, "threading", threading.get());
    set_global(m, "AbstractEventLoop", getattr(asyncio.get(), "AbstractEventLoop").get());
    set_global(m, "Task", getattr(asyncio.get(), "Task").get());
    set_global(m, "SqliteContextManager", import_attr("Tavrik.DB.utils", "SqliteContextManager").get());
    set_global(m, "WriteOperateNotInAffairs", import_attr("Tavrik.Error.Strovy", "WriteOperateNotInAffairs").get());
    Ref gen_table = import_attr("Tavrik.Ext", "generate_table");
    set_global(m, "generate_table", gen_table.get());
    Ref sqlite3 = import("sqlite3");
    set_global(m, "sqlite3", sqlite3.get());
    Ref logging = import("logging");
    set_global(m, "logging", logging.get());
    set_global(m, "Cursor", import_attr("aiomysql", "Cursor").get());
    set_global(m, "DictCursor", import_attr("aiomysql", "DictCursor").get());
    Ref logger = new_ref(PyObject_CallMethod(logging.get(), "getLogger", "s", "Tavrik.DB"));
    set_global(m, "_logger", logger.get());
    init_lock(m);

    G.logger = logger;
    G.logger_debug = getattr(logger.get(), "debug");
    // The root logger's own method: the module-level logging.info() would
    // install a handler on the root logger and so disable the application's
    // later logging.basicConfig().
    Ref root = new_ref(PyObject_CallMethod(logging.get(), "getLogger", nullptr));
    G.logging_info = getattr(root.get(), "info");
    G.sqlite3_connect = getattr(sqlite3.get(), "connect");
    G.BlockConnection = import_attr("Tavrik.DB._sqlite_block", "BlockConnection");
    Ref sq_con = getattr(sqlite3.get(), "Connection");
    G.con_commit = getattr(sq_con.get(), "commit");
    G.con_rollback = getattr(sq_con.get(), "rollback");
    G.current_thread = getattr(threading.get(), "current_thread");
    G.main_thread = getattr(threading.get(), "main_thread");
    G.copyreg_newobj = import_attr("copyreg", "__newobj__");
    G.sync_mysql_pool = import_attr("Tavrik.DB._sync_connectors", "mysql_pool");
    G.sync_public_config = import_attr("Tavrik.DB._sync_connectors", "public_config");

    // Extension types used as types (their import also proves they load).
    G.DBType = import_type("Tavrik.DB.DB", "DB");
    set_global(m, "DB", (PyObject*)G.DBType);
    static const char* const mp_names[] = {"NullDefault", "AutoIncrement", "BaseProperty", "FilterListCell"};
    for (const char* n : mp_names) set_global(m, n, (PyObject*)import_type("Tavrik.Model.ModelProperty", n));
    static const char* const gen_names[] = {"JoinCell",          "BaseSqlGenerator",    "CustomColAnnounce",
                                            "SqlGenerator",      "InOperatorGenerator", "TableGenerator",
                                            "CustomSqlGenerator"};
    for (const char* n : gen_names) set_global(m, n, (PyObject*)import_type("Tavrik.DB.Generator", n));
    static const char* const kv_names[] = {"_Korvid", "InstanceList", "ModelInstance"};
    for (const char* n : kv_names) set_global(m, n, (PyObject*)import_type("Tavrik.Model.Korvid", n));
    static const char* const vt_names[] = {"BaseModelExecutor", "ModelExecutor", "AsyncModelExecutor"};
    for (const char* n : vt_names) set_global(m, n, (PyObject*)import_type("Tavrik.Model.Vantrel", n));
    G.vantrel = import_api<VantrelAPI>(TAVRIK_VANTREL_CAPSULE, 3);
    G.generator = import_api<GeneratorAPI>(TAVRIK_GENERATOR_CAPSULE, 6);
}

}  // namespace
}  // namespace conn
}  // namespace tavrik

PyMODINIT_FUNC PyInit_Connector(void) { TAVRIK_MODULE_INIT(tavrik::conn::module_def, tavrik::conn::module_body); }
