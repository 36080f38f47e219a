// Shared state and helpers of Tavrik.DB.Connector (one module, several files).
#pragma once
#include <chrono>
#include <tavrik/api/connector.hpp>
#include <tavrik/api/db.hpp>
#include <tavrik/api/generator.hpp>
#include <tavrik/api/vantrel.hpp>
#include <tavrik/args.hpp>
#include <tavrik/module.hpp>
#include <tavrik/params.hpp>
#include <tavrik/sqltext.hpp>

namespace tavrik {
namespace conn {

// Interned names: G.s_<id> holds the text of <id>.
// clang-format off: one name list, laid out by hand
#define CONNECTOR_NAMES(X)                                                                                      \
    X(cursor) X(execute) X(executemany) X(commit) X(rollback) X(fetchall) X(lastrowid) X(rowcount)             \
    X(description) X(close) X(set_trace_callback) X(in_transaction) X(is_running) X(create_task)               \
    X(run_until_complete) X(add_done_callback) X(discard) X(add) X(cancelled) X(exception) X(get_loop)         \
    X(releaseCon) X(_releaseCon) X(init_sqlite) X(_init_mysql) X(is_alive) X(typeArgs) X(targetType)           \
    X(getTableNameList) X(autoFiledAnnounce) X(timeout) X(check_same_thread) X(asyncProcess) X(process)        \
    X(executor) X(con) X(args) X(loop) X(keep) X(factory) X(_tavrikBlock) X(run) X(getCon) X(begin) X(end)        \
    X(transaction) X(refuseInBlock) X(tables) X(runTransaction) X(serverVersion)
// clang-format on
#define CONNECTOR_NAME_FIELD(id) Immortal s_##id;
// Constant texts: G.t_<id> holds the text given.
// clang-format off: one name list, laid out by hand
#define CONNECTOR_TEXTS(X)                                                                                      \
    X(pct_s, "%s") X(qmark, "?") X(integer, "INTEGER ") X(params_sep, " || params=") X(comma, ",")             \
    X(comma_paren, ",)") X(empty, "") X(auto_increment, " AUTO_INCREMENT")                                      \
    X(tables_sql, "select tbl_name from sqlite_master where type = \"table\";")                                 \
    X(last_rowid_sql, "SELECT last_insert_rowid()")
// clang-format on
#define CONNECTOR_TEXT_FIELD(id, text) Immortal t_##id;

// Module-lifetime objects, made once at module init.
struct Globals {
    CONNECTOR_NAMES(CONNECTOR_NAME_FIELD)
    CONNECTOR_TEXTS(CONNECTOR_TEXT_FIELD)
    Immortal t_empty_tuple;
    // imported objects
    Immortal lock, lock_acquire, lock_release, logger, logger_debug, logging_info, sqlite3_connect, current_thread,
        main_thread, copyreg_newobj;
    // The main connection's class (Tavrik/DB/_sqlite_block.py) and the base
    // class's commit and rollback, by which the connector ends transactions.
    Immortal BlockConnection, con_commit, con_rollback;
    // functions of Tavrik/DB/_aio_connectors.py and Tavrik/DB/_async_tx.py
    Immortal ConRequest, sq_run, my_run, sq_asyncProcess, sq_execute, my_asyncProcess, my_execute, noop_coro,
        py_release, tx_drive, tx_new_life, tx_transaction, tx_run_transaction, my_transaction, pg_run, pg_execute,
        pg_asyncProcess, my_server_version;
    // Tavrik/DB/_sync_connectors.py: the synchronous MySQL pool and its settings without secrets
    Immortal sync_mysql_pool, sync_public_config;
    Immortal module;
    // other modules' tables
    VantrelAPI* vantrel;
    GeneratorAPI* generator;
    PyTypeObject* DBType;
};
extern Globals G;

// Layouts of the concrete connectors: the published base fields first, then
// the class's own.  No other module reads them.
struct Sqlite3ConnectorObject {
    BaseConnectorObject base;
    PyObject* con;                 // main sqlite3 connection
    PyObject* path;                // str or None
    PyObject* threadCons;          // private: thread -> sqlite3 connection of that thread
    int showLog;                   // private: trace the statements of connections it opens
    int txDepth;                   // private: open transaction blocks (of the lock's holder)
    unsigned long forkGeneration;  // private: the process generation its connections belong to
};

struct AioSqliteConnectorObject {
    BaseConnectorObject base;
    PyObject* loop;
    PyObject* con;
    int isUsing;
    PyObject* path;
    PyObject* conMap;  // asyncio task -> aiosqlite connection (the task state's map)
    int showLog;
    PyObject* life;  // private: the task state (Tavrik.DB._async_tx.Life)
};

struct AioMysqlConnectorObject {
    BaseConnectorObject base;
    PyObject* loop;
    PyObject* conMap;  // asyncio task -> pooled aiomysql connection (the task state's map)
    PyObject* life;    // private: the task state (Tavrik.DB._async_tx.Life)
};

extern PyTypeObject BaseConnectorType;
extern PyTypeObject Sqlite3ConnectorType;
extern PyTypeObject AioSqliteConnectorType;
extern PyTypeObject AioMysqlConnectorType;
extern PyTypeObject PyMysqlConnectorType;
extern PyTypeObject MysqlConnectorType;
extern PyTypeObject PsycopgConnectorType;
extern PyTypeObject AsyncpgConnectorType;
extern PyTypeObject DictRowsType;

inline BaseConnectorObject* base_of(PyObject* o) { return (BaseConnectorObject*)o; }

// Field table of a connector class, for copying and pickling.
struct FieldDesc {
    Py_ssize_t offset;
    bool is_int;
};
struct FieldTable {
    PyTypeObject* type;
    const FieldDesc* fields;
    int count;
};

// Statement text in the driver's form: for SQLite "%s" -> "?" outside quoted
// names, literals and comments; for MySQL `%` doubled inside them (a None
// text raises AttributeError naming replace).
// Statement texts repeat (the generator hands out the same text object for
// the same statement shape), so the rewritten texts are kept: a hit costs a
// dict lookup on a cached hash, and the driver's statement cache then sees
// the same text object again too.
inline Ref driver_text(PyObject* sql, const Dialect& d) {
    if (sql == Py_None) raise_none_attr("replace");
    if (!PyUnicode_Check(sql)) raise_expected("unicode", sql);
    static Immortal caches[D_COUNT];  // live for the process, as the module does
    if (!PyUnicode_CheckExact(sql)) return rewrite_statement(sql, d);
    Immortal& cache = caches[d.id];
    if (!cache) cache = new_ref(PyDict_New());
    if (PyObject* hit = dict_get(cache, sql)) return borrow(hit);
    Ref out = rewrite_statement(sql, d);
    if (PyDict_GET_SIZE(cache.get()) >= 1024) PyDict_Clear(cache);
    Require(PyDict_SetItem(cache, sql, out.get()));
    return out;
}
inline Ref replace_placeholders(PyObject* sql) { return driver_text(sql, kSQLite); }
// A keyed batch of many INSERTs (batch mode 2 on SQLite and MySQL) holds a
// list of texts: each in the driver's form.
inline Ref driver_texts(PyObject* sql, const Dialect& d) {
    if (!PyList_Check(sql)) return driver_text(sql, d);
    const Py_ssize_t n = PyList_GET_SIZE(sql);
    Ref out = new_ref(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; i++)
        PyList_SET_ITEM(out.get(), i, driver_text(PyList_GET_ITEM(sql, i), d).relinquish());
    return out;
}

// Runs a clean-up step while an error is being raised: the error stays set;
// a failure of the step is raised instead with the first error as its
// context, as a failing `finally` block would.
template <class F>
void keeping_error(F&& f) noexcept {
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    try {
        f();
    } catch (const PyErrOccurred&) {
    } catch (...) {
        if (!PyErr_Occurred()) PyErr_NoMemory();
    }
    restore_or_chain(t, v, tb);
}

// The module lock (lock.cpp).  Re-entrant for the thread holding it.
extern unsigned long fork_generation;  // bumped in a forked child
void lock_enter();
void lock_exit();
void lock_exit_keeping_error() noexcept;
bool lock_owned();
void init_lock(PyObject* m);

// Holds the module lock for a scope; release() gives it back early and
// reports a failure, the destructor keeps a pending error.
struct LockHold {
    bool held;
    LockHold() : held(false) {
        lock_enter();
        held = true;
    }
    void release() {
        held = false;
        lock_exit();
    }
    ~LockHold() {
        if (held) lock_exit_keeping_error();
    }
    LockHold(const LockHold&) = delete;
    LockHold& operator=(const LockHold&) = delete;
};

// The statement of an executor (given to process()/asyncProcess()), spelled
// for the connector's database.
Statement statement_of(PyObject* executor, const Dialect& d);

// Rows (a list/tuple of row tuples) -> list of row dicts keyed by the names
// of `cursor.description` (execute(dictCur=True)).
Ref rows_to_dicts(PyObject* cursor, PyObject* rows);
Ref rows_to_dicts_named(PyObject* names, PyObject* rows);
Ref column_names(PyObject* cursor);

// A raw result (api/connector.hpp's RawField) of NULL-or-objects; rows of
// another sequence type become a list.
Ref raw_result(PyObject* names, PyObject* rows, PyObject* key, PyObject* count);

// A synchronous connector's core: (connector, text, params, kind, batch) ->
// the raw result, or NULL with the error set.
using RunFn = PyObject* (*)(PyObject*, PyObject*, PyObject*, int, int);
// process(executor): the executor's statement through `run`, the raw result
// back to the executor; NULL with the error set when the statement failed.
PyObject* hand_over(PyObject* connector, PyObject* executor, const Dialect& d, RunFn run);
// The executor's result of a raw result of its statement.
Ref take_result(PyObject* executor, PyObject* raw);

// Statement observers (observe.cpp, Tavrik/DB/_observe.py).  While nothing
// observes `observe_emit` is NULL and a core pays this one test: no clock
// read, no call.
extern PyObject* observe_emit;  // _observe.emit, or NULL
extern PyObject* observe_wrap;  // _observe.observed, or NULL
inline bool observing() noexcept { return observe_emit != nullptr; }
using ObserveClock = std::chrono::steady_clock;
// Hands a finished statement to the observer.  `result` (a new reference)
// is its answer, or NULL with its error set; `hand` hand-written SQL given
// to execute() (its text and rows are reported as such); `con` the
// connection it ran on, when known.  Gives back `result`, or NULL with the
// error set (the statement's own, or an observer's BaseException).
PyObject* observe_report(PyObject* connector, PyObject* sql, bool hand, PyObject* params, int batch,
                         ObserveClock::time_point start, PyObject* result, PyObject* con) noexcept;
// A synchronous core run observed: `run()` gives the result as a new
// reference or NULL with the error set (or throws PyErrOccurred); `seen`, a
// list the run puts its connection in (a pooled connector's).
template <class F>
PyObject* observe_sync(PyObject* connector, PyObject* sql, bool hand, PyObject* params, int batch, F&& run,
                       PyObject* seen = nullptr) {
    const ObserveClock::time_point start = ObserveClock::now();
    PyObject* result;
    try {
        result = run();
    } catch (const PyErrOccurred&) {
        result = nullptr;
    }
    PyObject* con = seen && PyList_GET_SIZE(seen) ? PyList_GET_ITEM(seen, 0) : nullptr;
    PyObject* out = observe_report(connector, sql, hand, params, batch, start, result, con);
    if (!out) throw_error();
    return out;
}
// An asynchronous core's coroutine, observed (a new reference).
Ref observe_async(PyObject* coro, PyObject* connector, PyObject* sql, bool hand, PyObject* params, int batch,
                  PyObject* con);
void init_observe(PyObject* m);

// Statement log line of the asynchronous SQLite connector.
void log_statement(PyObject* sql, PyObject* params);

// Shared C parts of the asynchronous connectors.
PyObject* async_getCon(PyObject* self, PyObject*);
PyObject* async_GenerateTable(PyObject* self, PyObject*);
PyObject* async_runTransaction(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* async_release_callback(PyObject* self, PyObject* task);
PyObject* async_asyncProcess(PyObject* self, PyObject* args, PyObject* kwargs, PyObject* coro_fn, bool check_ready);
Ref execute_args(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject* coro_fn);

PyObject* connector_new(PyTypeObject* tp, PyObject* a, PyObject* k);
// What every connector's base fields hold (the subclasses' lists end with it).
using BaseRefs = Refs<BaseConnectorObject, NoRefs, &BaseConnectorObject::_pool, &BaseConnectorObject::selectCon,
                      &BaseConnectorObject::_config>;

void init_base(PyObject* m);
void init_sqlite_type(PyObject* m);
void init_async_types(PyObject* m);
void init_async_python(PyObject* m);
void init_mysql_type(PyObject* m);
void init_pg_type(PyObject* m);
// The PostgreSQL connector's coroutines, from the loaded Python module.
void init_pg_python(PyObject* py);
// Methods whose bodies are coroutines of Tavrik/DB/_aio_connectors.py.
PyObject* sq_taskCon(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* sq_getTableNameList(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* sq_close(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* my_init_mysql(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* my_taskCon(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* my_getSelectCon(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* my_getTableNameList(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* my_close(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// What both SQLite connectors answer for autoFiledAnnounce and paramsHolder.
PyObject* sqlite_autoFiledAnnounce(PyObject* self, PyObject* prop);
PyObject* sqlite_paramsHolder(PyObject* self, void*);
// The MySQL connectors' declaration of an auto-increment column.
PyObject* mysql_autoFiledAnnounce(PyObject* self, PyObject* prop);
PyObject* pg_autoFiledAnnounce(PyObject* self, PyObject* prop);

// C implementations behind the capsule.
int sqlite_init_impl(PyObject* self, PyObject* path, int showLog);
PyObject* sqlite_autoFiled_capi(PyObject* self, PyObject* prop);
PyObject* sqlite_tables_capi(PyObject* self);
PyObject* sqlite_process_capi(PyObject* self, PyObject* executor, PyObject* con);
PyObject* sqlite_run_capi(PyObject* self, PyObject* sql, PyObject* params, int kind, int batch);
PyObject* async_run_capi(PyObject* self, PyObject* sql, PyObject* params, int kind, int batch, int locks,
                         PyObject* con);
int sqlite_transaction_begin(PyObject* self);
int sqlite_transaction_end(PyObject* self, int ok);
PyObject* mysql_run_capi(PyObject* self, PyObject* sql, PyObject* params, int kind, int batch);
int batch_keys_capi(PyObject* connector);
PyObject* mysql_process_capi(PyObject* self, PyObject* executor, PyObject* con);
int mysql_transaction_begin(PyObject* self);
int mysql_transaction_end(PyObject* self, int ok);

}  // namespace conn
}  // namespace tavrik
