// Sqlite3Connector: synchronous SQLite through the interpreter's sqlite3.
#include "internal.hpp"

namespace tavrik {
namespace conn {

namespace {

using Obj = Sqlite3ConnectorObject;
inline Obj* S(PyObject* o) { return (Obj*)o; }

// sqlite3.connect(path, **kw)
Ref open_connection(PyObject* path, bool main) {
    Ref args = new_ref(PyTuple_Pack(1, path));
    Ref kw = new_ref(PyDict_New());
    if (main) {
        // A busy timeout long enough that writers queue rather than fail.
        Ref timeout = new_ref(PyLong_FromLong(99999));
        setitem(kw.get(), G.s_timeout, timeout.get());
        // Transaction blocks run on it: it refuses a commit in their middle.
        setitem(kw.get(), G.s_factory, G.BlockConnection.get());
    }
    // Usable from any thread; thread connections are also closed by close()
    // on whichever thread calls it.
    setitem(kw.get(), G.s_check_same_thread, Py_False);
    return new_ref(PyObject_Call(G.sqlite3_connect, args.get(), kw.get()));
}

Ref open_main_connection(PyObject* path, int showLog) {
    Ref con = open_connection(path, true);
    if (showLog) call_method(con.get(), G.s_set_trace_callback, G.logger_debug);
    return con;
}

// Connections inherited across a fork.  SQLite connections must not be used
// in a child, and closing them there could act on the parent's open
// transaction, so they are kept (never released) and left alone.
PyObject* g_inherited = nullptr;

void keep_inherited(PyObject* con) {
    if (!g_inherited) g_inherited = Require(PyList_New(0));
    Require(PyList_Append(g_inherited, con));
}

// In a forked child the connector opens its own connections on first use.
void renew_after_fork(PyObject* self) {
    Obj* s = S(self);
    if (s->forkGeneration == fork_generation) return;
    if (s->threadCons) {
        Ref cons = new_ref(PyDict_Values(s->threadCons));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(cons.get()); ++i) keep_inherited(PyList_GET_ITEM(cons.get(), i));
        PyDict_Clear(s->threadCons);
    }
    s->txDepth = 0;
    if (s->con && s->con != Py_None) {
        keep_inherited(s->con);
        Ref con = open_main_connection(s->path ? s->path : Py_None, s->showLog);
        set_field(s->con, con.get());
    }
    s->forkGeneration = fork_generation;
}

// The connection's own commit or rollback (`how`), past the main
// connection's refusal inside blocks: the connector ends its transactions.
void end_tx(PyObject* how, PyObject* con) { call(how, con); }

// Marks the main connection while a block is open (its commit() and
// rollback() refuse then).
void mark_block(PyObject* con, bool open) {
    if (PyObject_TypeCheck(con, (PyTypeObject*)G.BlockConnection.get()))
        Require(PyObject_SetAttr(con, G.s__tavrikBlock, open ? Py_True : Py_False));
}

PyObject* main_con(PyObject* self) {
    renew_after_fork(self);
    PyObject* c = S(self)->con;
    return c ? c : Py_None;
}

// Whether the calling thread is inside a transaction block of this connector
// (only the lock's holder can be).
bool in_block(PyObject* self) { return S(self)->txDepth > 0 && lock_owned(); }

void run_sql(PyObject* con, const char* text) {
    Ref t = new_ref(PyUnicode_FromString(text));
    call_method(con, G.s_execute, t.get());
}

}  // namespace

int sqlite_init_impl(PyObject* self, PyObject* path, int showLog) {
    return guard_int([&]() -> int {
        check_str_arg(path, "path");
        Ref con = open_main_connection(path, showLog);
        set_field(S(self)->con, con.get());
        set_field(S(self)->path, path);
        S(self)->showLog = showLog;
        S(self)->txDepth = 0;
        S(self)->forkGeneration = fork_generation;
        return 0;
    });
}

namespace {

// ------------------------------------------------------------ lazy rows

// The rows are fetched while the statement runs (under the module lock: a
// cursor left open on the shared connection would be reset by another
// thread's rollback); the dictionaries are made when first iterated.
struct DictRowsObject {
    PyObject_HEAD PyObject* names;  // column names; NULL once the dicts are made
    PyObject* rows;                 // row tuples, then row dicts
    Py_ssize_t pos;
};

using RowsRefs = Refs<DictRowsObject, NoRefs, &DictRowsObject::names, &DictRowsObject::rows>;

PyObject* rows_next(PyObject* o) {
    return guard([&]() -> PyObject* {
        auto* r = (DictRowsObject*)o;
        if (r->names) {
            Ref names = Ref::owning(r->names);
            Py_CLEAR(r->names);
            Ref rows = Ref::owning(r->rows);
            Py_CLEAR(r->rows);
            r->rows = rows_to_dicts_named(names.get(), rows.get()).relinquish();
            r->pos = 0;
        }
        if (!r->rows || r->pos >= PyList_GET_SIZE(r->rows)) {
            Py_CLEAR(r->rows);
            return nullptr;  // StopIteration
        }
        PyObject* item = PyList_GET_ITEM(r->rows, r->pos);
        r->pos++;
        Py_INCREF(item);
        return item;
    });
}

}  // namespace

PyTypeObject DictRowsType = [] {
    PyTypeObject t = gc_type<RowsRefs>("Tavrik.DB.Connector._DictRows", sizeof(DictRowsObject), 0);
    t.tp_doc = "首次迭代时才把结果行转换为字典, 逐行给出; 只能迭代一次";
    t.tp_iter = PyObject_SelfIter;
    t.tp_iternext = rows_next;
    return t;
}();

PyObject* sqlite_autoFiledAnnounce(PyObject*, PyObject*) {
    Py_INCREF(G.t_integer);
    return G.t_integer;
}

PyObject* sqlite_paramsHolder(PyObject*, void*) {
    Py_INCREF(G.t_qmark);
    return G.t_qmark;
}

namespace {

Ref lazy_dict_rows(PyObject* names, PyObject* rows) {
    auto* r = PyObject_GC_New(DictRowsObject, &DictRowsType);
    if (!r) throw_error();
    Py_INCREF(names);
    r->names = names;
    Py_INCREF(rows);
    r->rows = rows;
    r->pos = 0;
    PyObject_GC_Track((PyObject*)r);
    return Ref::consuming((PyObject*)r);
}

// ------------------------------------------------------------ methods

const char* const kInitNames[] = {"path", "showLog"};
const Params kInit{"__init__", kInitNames, 2, 1};

int sqlite_tp_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard_int([&]() -> int {
        PyObject* a[2];
        parse_tuple(kInit, args, kwargs, a);
        int showLog = a[1] ? (int)truthy(a[1]) : 1;
        base_of(self)->isAsync = 0;
        check_str_arg(a[0], "path");
        return sqlite_init_impl(self, a[0], showLog);
    });
}

// A connection of the calling thread (not the main thread): one per thread,
// kept so that close() can close it; those of finished threads are closed
// when the next one is opened.
PyObject* thread_connection(PyObject* self, PyObject* thread) {
    Obj* s = S(self);
    if (!s->threadCons) s->threadCons = Require(PyDict_New());
    Ref map = Ref::owning(s->threadCons);
    if (PyObject* c = dict_get(map.get(), thread)) {
        Py_INCREF(c);
        return c;
    }
    Ref keys = new_ref(PyDict_Keys(map.get()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
        PyObject* t = PyList_GET_ITEM(keys.get(), i);
        if (truthy(call_method(t, G.s_is_alive).get())) continue;
        PyObject* old = dict_get(map.get(), t);
        if (!old) continue;
        Ref c = Ref::owning(old);
        Require(PyDict_DelItem(map.get(), t));
        call_method(c.get(), G.s_close);
    }
    Ref con = open_connection(s->path ? s->path : Py_None, false);
    setitem(map.get(), thread, con.get());
    return con.relinquish();
}

PyObject* sqlite_getCon(PyObject* self, PyObject*) {
    return guard([&]() -> PyObject* {
        renew_after_fork(self);
        Ref cur = call(G.current_thread);
        Ref main = call(G.main_thread);
        // Inside a transaction block every statement of the thread belongs to
        // the block, which runs on the main connection.
        if (in_block(self) || Require(PyObject_RichCompareBool(cur.get(), main.get(), Py_EQ))) {
            PyObject* c = main_con(self);
            Py_INCREF(c);
            return c;
        }
        return thread_connection(self, cur.get());
    });
}

PyObject* sqlite_releaseCon(PyObject* self, PyObject* con) {
    return guard([&]() -> PyObject* {
        if (con != main_con(self)) {
            end_tx(G.con_commit, con);
            Py_RETURN_NONE;
        }
        LockHold hold;
        // A block's statements are committed when the block ends.
        if (S(self)->txDepth == 0) end_tx(G.con_commit, con);
        hold.release();
        Py_RETURN_NONE;
    });
}

const char* const kExecNames[] = {"sql", "con", "dictCur", "args"};
const Params kExec{"execute", kExecNames, 4, 1};

struct Fetched {
    Ref names, rows;
};

Fetched fetch_rows(PyObject* self, PyObject* sql, PyObject* params, bool dictCur) {
    // Every row is read before the lock is given back: no other thread's
    // commit or rollback meets an open cursor.
    LockHold hold;
    Ref cursor = call_method(main_con(self), G.s_cursor);
    call_method(cursor.get(), G.s_execute, sql, params);
    Fetched f;
    f.rows = call_method(cursor.get(), G.s_fetchall);
    if (dictCur) f.names = column_names(cursor.get());
    hold.release();
    return f;
}

PyObject* shaped_rows(const Fetched& f) {
    if (f.names) return lazy_dict_rows(f.names.get(), f.rows.get()).relinquish();
    return PySequence_Tuple(f.rows.get());
}

PyObject* sqlite_execute(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        PyObject* a[4];
        parse_fast(kExec, args, nargs, kwnames, a);
        check_str_arg(a[0], "sql");
        PyObject* params = a[3] ? a[3] : G.t_empty_tuple;
        check_tuple_arg(params, "args");
        bool dictCur = a[2] && truthy(a[2]);
        Ref sql = replace_placeholders(a[0]);
        if (params == Py_None || PyTuple_GET_SIZE(params) == 0) params = G.t_empty_tuple;
        Fetched f;
        if (!observing()) {
            f = fetch_rows(self, sql.get(), params, dictCur);
        } else {
            // The observer counts the fetched rows (dictionary rows are made later).
            Ref rows = Ref::consuming(observe_sync(self, a[0], true, params, 0, [&] {
                f = fetch_rows(self, sql.get(), params, dictCur);
                return borrow(f.rows.get()).relinquish();
            }));
        }
        return shaped_rows(f);
    });
}

// The connector's core: one statement in the house form (its parameters a
// tuple, or a sequence of tuples for a batch) run and committed on the main
// connection; the raw result (raw_result()) or NULL with the error set.
// A keyed batch (mode 2): INSERTs of many rows each, in order, their
// RETURNING rows together.
Ref keyed_rows(PyObject* con, PyObject* texts, PyObject* params) {
    if (!PyList_Check(texts) || !PyList_Check(params) || PyList_GET_SIZE(texts) != PyList_GET_SIZE(params))
        raise_expected("list of texts and parameters", texts);
    Ref rows = new_ref(PyList_New(0));
    for (Py_ssize_t i = 0, n = PyList_GET_SIZE(texts); i < n; i++) {
        Ref cursor = call_method(con, G.s_execute, PyList_GET_ITEM(texts, i), PyList_GET_ITEM(params, i));
        Ref got = call_method(cursor.get(), G.s_fetchall);
        Require(PyList_SetSlice(rows.get(), PyList_GET_SIZE(rows.get()), PyList_GET_SIZE(rows.get()), got.get()));
    }
    return rows;
}

PyObject* run_plain(PyObject* self, PyObject* text, PyObject* params, int kind, int batch) {
    Ref sql = batch == 2 ? driver_texts(text, kSQLite) : replace_placeholders(text);
    Ref names, rows, key, count;
    {
        // The statement runs, its rows are read and it is committed under the
        // lock: another thread's commit or rollback would reset a cursor still
        // open on the shared connection.
        LockHold hold;
        PyObject* con = main_con(self);
        Ref keep = borrow(con);
        // Inside a transaction block the block commits; a failed batch there
        // takes back only its own rows.
        const bool block = S(self)->txDepth > 0;
        const bool savepoint = block && batch;
        try {
            if (savepoint) run_sql(con, "SAVEPOINT tavrik_batch");
            // The connection's own execute makes the cursor: one call instead of two.
            PyObject* exec_args[3] = {con, sql.get(), params};
            PyObject* ran =
                batch == 2 ? keyed_rows(con, sql.get(), params).relinquish()
                           : PyObject_VectorcallMethod(batch ? G.s_executemany : G.s_execute, exec_args, 3, nullptr);
            if (!ran) {
                // Reported by return value, not by unwinding: a refused insert
                // is the expected first step of save() of a stored row, and
                // unwinding would cost more than the statement.
                if (savepoint)
                    keeping_error([&] {
                        run_sql(con, "ROLLBACK TO tavrik_batch");
                        run_sql(con, "RELEASE tavrik_batch");
                    });
                else if (!block)
                    keeping_error([&] { end_tx(G.con_rollback, con); });
                return nullptr;
            }
            Ref cursor = Ref::consuming(ran);
            if (batch == 2) {
                rows = std::move(cursor);
            } else if (kind == SK_SELECT) {
                names = column_names(cursor.get());
                rows = call_method(cursor.get(), G.s_fetchall);
            } else if (kind == SK_INSERT && batch) {
                // The rows written (an upsert leaving duplicates alone counts
                // by them), then the batch's last id: executemany leaves
                // lastrowid unset.
                count = getattr(cursor.get(), G.s_rowcount);
                Ref id_cursor = call_method(con, G.s_execute, G.t_last_rowid_sql);
                Ref row = new_ref(PyObject_CallMethod(id_cursor.get(), "fetchone", nullptr));
                if (!PyTuple_Check(row.get()) || PyTuple_GET_SIZE(row.get()) != 1) raise_expected("tuple", row.get());
                key = borrow(PyTuple_GET_ITEM(row.get(), 0));
            } else if (kind == SK_INSERT) {
                // A Python int: 64-bit row ids pass unchanged.
                key = getattr(cursor.get(), G.s_lastrowid);
            } else if ((kind == SK_UPDATE || kind == SK_DELETE) && !batch) {
                // The rows the update matched (SQLite counts a row whose
                // values stay the same): the executor tells by it whether the
                // row it meant to update was still there; and the rows an
                // updateWhere/deleteWhere reached.
                count = getattr(cursor.get(), G.s_rowcount);
            } else {
                rows = call_method(cursor.get(), G.s_fetchall);
            }
            if (savepoint)
                run_sql(con, "RELEASE tavrik_batch");
            else if (!block)
                end_tx(G.con_commit, con);
        } catch (const PyErrOccurred&) {
            // A failed statement (or any row of a batch) must not stay in the
            // open transaction for the next commit to publish.
            keeping_error([&] {
                if (savepoint) {
                    run_sql(con, "ROLLBACK TO tavrik_batch");
                    run_sql(con, "RELEASE tavrik_batch");
                } else if (!block) {
                    end_tx(G.con_rollback, con);
                }
            });
            throw;
        }
        hold.release();
    }
    return raw_result(names.get(), rows.get(), key.get(), count.get()).relinquish();
}

// The core as the executors and process() reach it: observed only while
// something observes.
PyObject* run_impl(PyObject* self, PyObject* text, PyObject* params, int kind, int batch) {
    if (!observing()) return run_plain(self, text, params, kind, batch);
    return observe_sync(self, text, false, params, batch, [&] { return run_plain(self, text, params, kind, batch); });
}

const char* const kProcessNames[] = {"executor", "con"};
const Params kProcess{"process", kProcessNames, 2, 1};

PyObject* sqlite_process(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard([&]() -> PyObject* {
        PyObject* a[2];
        parse_tuple(kProcess, args, kwargs, a);
        check_arg(a[0], G.vantrel->ModelExecutorType, "executor");
        return hand_over(self, a[0], kSQLite, run_impl);
    });
}

Ref tables_impl(PyObject* self) {
    LockHold hold;
    Ref cursor = call_method(main_con(self), G.s_execute, G.t_tables_sql);
    Ref rows = call_method(cursor.get(), G.s_fetchall);
    hold.release();
    Ref seq = new_ref(PySequence_Fast(rows.get(), "rows must be a sequence"));
    Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    Ref out = new_ref(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* row = PySequence_Fast_GET_ITEM(seq.get(), i);
        if (!PyTuple_Check(row)) raise_expected("tuple", row);
        if (PyTuple_GET_SIZE(row) < 1) {
            PyErr_SetString(PyExc_IndexError, "tuple index out of range");
            throw_error();
        }
        PyObject* name = PyTuple_GET_ITEM(row, 0);
        Py_INCREF(name);
        PyList_SET_ITEM(out.get(), i, name);
    }
    return out;
}

PyObject* sqlite_getTableNameList(PyObject* self, PyObject*) {
    return guard([&]() -> PyObject* { return tables_impl(self).relinquish(); });
}

PyObject* sqlite_GenerateTable(PyObject* self, PyObject*) {
    return guard([&]() -> PyObject* {
        PyObject* fn = dict_get(PyModule_GetDict(G.module), intern("generate_table").get());
        if (!fn) {
            PyErr_SetString(PyExc_NameError, "name 'generate_table' is not defined");
            throw_error();
        }
        // Its statements run on the main connection (from the main thread)
        // beside the other threads' statements.
        LockHold hold;
        call(fn, self);
        hold.release();
        Py_RETURN_NONE;
    });
}

// Calls the main connection's method `name` under the module lock; inside
// a block the connection refuses, as its own commit() and rollback() do.
PyObject* main_con_locked(PyObject* self, PyObject* name) {
    return guard([&]() -> PyObject* {
        LockHold hold;
        call_method(main_con(self), name);
        hold.release();
        Py_RETURN_NONE;
    });
}

PyObject* sqlite_commit(PyObject* self, PyObject*) { return main_con_locked(self, G.s_commit); }
PyObject* sqlite_rollback(PyObject* self, PyObject*) { return main_con_locked(self, G.s_rollback); }

// ------------------------------------------------------------ transaction()

struct TransactionObject {
    PyObject_HEAD PyObject* connector;
};

using TransactionRefs = Refs<TransactionObject, NoRefs, &TransactionObject::connector>;

PyObject* tx_enter(PyObject* o, PyObject*) {
    PyObject* c = ((TransactionObject*)o)->connector;
    if (sqlite_transaction_begin(c) < 0) return nullptr;
    return guard([&]() -> PyObject* {
        PyObject* con = main_con(c);
        Py_INCREF(con);
        return con;
    });
}

PyObject* tx_exit(PyObject* o, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 3) {
        PyErr_Format(PyExc_TypeError, "__exit__ expected 3 arguments, got %zd", nargs);
        return nullptr;
    }
    if (sqlite_transaction_end(((TransactionObject*)o)->connector, args[0] == Py_None) < 0) return nullptr;
    Py_RETURN_FALSE;
}

PyMethodDef tx_methods[] = {
    {"__enter__", tx_enter, METH_NOARGS, nullptr},
    {"__exit__", (PyCFunction)(void (*)(void))tx_exit, METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject TransactionType = [] {
    PyTypeObject t = gc_type<TransactionRefs>("Tavrik.DB.Connector._Transaction", sizeof(TransactionObject), 0);
    t.tp_doc = "同步事务块: 进入时持有模块锁并开始事务 (得到主链接), 正常退出时提交, 异常退出时回滚";
    t.tp_methods = tx_methods;
    return t;
}();

PyObject* sqlite_transaction(PyObject* self, PyObject*) {
    auto* t = PyObject_GC_New(TransactionObject, &TransactionType);
    if (!t) return nullptr;
    Py_INCREF(self);
    t->connector = self;
    PyObject_GC_Track((PyObject*)t);
    return (PyObject*)t;
}

PyObject* sqlite_close(PyObject* self, PyObject*) {
    return guard([&]() -> PyObject* {
        // In a forked child only the child's own connections are closed.
        renew_after_fork(self);
        Obj* s = S(self);
        Ref cons = new_ref(PyList_New(0));
        if (s->threadCons) {
            Ref map = Ref::owning(s->threadCons);
            cons = new_ref(PyDict_Values(map.get()));
            PyDict_Clear(map.get());
        }
        if (s->con && s->con != Py_None) Require(PyList_Append(cons.get(), s->con));
        // Every connection is closed even when one of them fails to close;
        // the first failure is raised afterwards.
        PyObject *et = nullptr, *ev = nullptr, *etb = nullptr;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(cons.get()); ++i) {
            PyObject* r = PyObject_CallMethodNoArgs(PyList_GET_ITEM(cons.get(), i), G.s_close);
            if (r) {
                Py_DECREF(r);
            } else if (!et) {
                PyErr_Fetch(&et, &ev, &etb);
            } else {
                PyErr_Clear();
            }
        }
        if (et) {
            PyErr_Restore(et, ev, etb);
            throw_error();
        }
        Py_RETURN_NONE;
    });
}

PyGetSetDef sqlite_getset[] = {
    {"paramsHolder", sqlite_paramsHolder, nullptr, "语句中的参数占位符: ?", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef sqlite_methods[] = {
    {"getCon", sqlite_getCon, METH_NOARGS,
     "getCon($self, /)\n--\n\n"
     "获取链接: 主线程得到主链接; 其他线程得到该线程自己的链接 (每个线程一个, 在同一线程中复用, "
     "由close()关闭)"},
    {"releaseCon", sqlite_releaseCon, METH_O,
     "releaseCon($self, con, /)\n--\n\n"
     "提交给定链接的事务 (不关闭链接)"},
    {"execute", (PyCFunction)(void (*)(void))sqlite_execute, METH_FASTCALL | METH_KEYWORDS,
     "execute($self, /, sql, con=None, dictCur=False, args=())\n--\n\n"
     "在主链接上执行语句, 不提交; dictCur为真时返回首次迭代才读取的字典行, 否则返回元组行"},
    {"process", (PyCFunction)(void (*)(void))sqlite_process, METH_VARARGS | METH_KEYWORDS,
     "process($self, /, executor, con=None)\n--\n\n"
     "在主链接上执行执行器的语句并提交 (持有模块锁); 语句失败时回滚主链接后抛出错误"},
    {"getTableNameList", sqlite_getTableNameList, METH_NOARGS,
     "getTableNameList($self, /)\n--\n\n"
     "数据库中所有表的名称列表"},
    {"GenerateTable", sqlite_GenerateTable, METH_NOARGS,
     "GenerateTable($self, /)\n--\n\n"
     "为所有已声明的模型创建尚不存在的表并提交"},
    {"autoFiledAnnounce", sqlite_autoFiledAnnounce, METH_O,
     "autoFiledAnnounce($self, prop, /)\n--\n\n"
     "自增列的类型声明: \"INTEGER \""},
    {"transaction", sqlite_transaction, METH_NOARGS,
     "transaction($self, /)\n--\n\n"
     "事务块 (with connector.transaction(): ...): 本线程持有模块锁直到块结束, 块内本线程的语句都在主链接的同一事务中, "
     "正常结束时提交, 异常时回滚; 可以嵌套 (内层块为保存点)"},
    {"commit", sqlite_commit, METH_NOARGS,
     "commit($self, /)\n--\n\n"
     "提交主链接的事务"},
    {"rollback", sqlite_rollback, METH_NOARGS,
     "rollback($self, /)\n--\n\n"
     "回滚主链接的事务"},
    {"close", sqlite_close, METH_NOARGS,
     "close($self, /)\n--\n\n"
     "关闭主链接以及getCon()在其他线程交出的链接"},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* sqlite_new(PyTypeObject* tp, PyObject* a, PyObject* k) {
    PyObject* self = connector_new(tp, a, k);
    if (self) {
        S(self)->base.dialect = D_SQLITE;
        S(self)->threadCons = nullptr;
        S(self)->showLog = 0;
        S(self)->txDepth = 0;
        S(self)->forkGeneration = fork_generation;
    }
    return self;
}

using SqliteRefs = Refs<Sqlite3ConnectorObject, BaseRefs, &Sqlite3ConnectorObject::con, &Sqlite3ConnectorObject::path,
                        &Sqlite3ConnectorObject::threadCons>;

int sqlite_clear(PyObject* self) {
    if (S(self)->forkGeneration != fork_generation) {
        // Dropped in a forked child: the inherited connections must not be
        // closed here (closing one could end the parent's transaction).
        try {
            if (S(self)->con && S(self)->con != Py_None) keep_inherited(S(self)->con);
            if (S(self)->threadCons) {
                Ref cons = new_ref(PyDict_Values(S(self)->threadCons));
                for (Py_ssize_t i = 0; i < PyList_GET_SIZE(cons.get()); ++i)
                    keep_inherited(PyList_GET_ITEM(cons.get(), i));
            }
        } catch (const PyErrOccurred&) {
            PyErr_WriteUnraisable(self);
        }
        S(self)->forkGeneration = fork_generation;
    }
    return SqliteRefs::clear(self);
}

}  // namespace

PyObject* sqlite_autoFiled_capi(PyObject* self, PyObject* prop) {
    return guard([&]() -> PyObject* {
        if (Py_TYPE(self) == &Sqlite3ConnectorType) return sqlite_autoFiledAnnounce(self, prop);
        Ref r = call_method(self, G.s_autoFiledAnnounce, prop);
        if (r.get() != Py_None && !PyUnicode_Check(r.get())) raise_expected("unicode", r.get());
        return r.relinquish();
    });
}

PyObject* sqlite_tables_capi(PyObject* self) {
    return guard([&]() -> PyObject* {
        if (Py_TYPE(self) == &Sqlite3ConnectorType) return tables_impl(self).relinquish();
        Ref r = call_method(self, G.s_getTableNameList);
        if (r.get() != Py_None && !PyList_Check(r.get())) raise_expected("list", r.get());
        return r.relinquish();
    });
}

int sqlite_transaction_begin(PyObject* self) {
    return guard_int([&]() -> int {
        if (!PyObject_TypeCheck(self, &Sqlite3ConnectorType)) raise_expected("Sqlite3Connector", self);
        lock_enter();
        try {
            PyObject* con = main_con(self);
            Obj* s = S(self);
            if (s->txDepth > 0) {
                Ref sp = new_ref(PyUnicode_FromFormat("SAVEPOINT tavrik_tx_%d", s->txDepth));
                call_method(con, G.s_execute, sp.get());
            } else if (!truthy(getattr(con, G.s_in_transaction).get())) {
                // Takes the database's write lock now: another process cannot
                // change what the block reads before the block writes.
                run_sql(con, "BEGIN IMMEDIATE");
            }
            if (s->txDepth == 0) mark_block(con, true);
            s->txDepth++;
        } catch (const PyErrOccurred&) {
            lock_exit_keeping_error();
            throw;
        }
        return 0;
    });
}

int sqlite_transaction_end(PyObject* self, int ok) {
    return guard_int([&]() -> int {
        if (!PyObject_TypeCheck(self, &Sqlite3ConnectorType)) raise_expected("Sqlite3Connector", self);
        PyObject* con = main_con(self);
        Obj* s = S(self);
        if (s->txDepth == 0) return 0;  // begun before a fork, in the parent
        if (!lock_owned()) {
            PyErr_SetString(PyExc_RuntimeError, "事务块只能在开始它的线程中结束");
            throw_error();
        }
        try {
            int depth = --s->txDepth;
            if (depth == 0) mark_block(con, false);
            if (depth > 0) {
                if (!ok) {
                    Ref back = new_ref(PyUnicode_FromFormat("ROLLBACK TO tavrik_tx_%d", depth));
                    call_method(con, G.s_execute, back.get());
                }
                Ref rel = new_ref(PyUnicode_FromFormat("RELEASE tavrik_tx_%d", depth));
                call_method(con, G.s_execute, rel.get());
            } else if (ok) {
                try {
                    end_tx(G.con_commit, con);
                } catch (const PyErrOccurred&) {
                    keeping_error([&] { end_tx(G.con_rollback, con); });
                    throw;
                }
            } else {
                end_tx(G.con_rollback, con);
            }
        } catch (const PyErrOccurred&) {
            lock_exit_keeping_error();
            throw;
        }
        lock_exit();
        return 0;
    });
}

PyObject* sqlite_process_capi(PyObject* self, PyObject* executor, PyObject*) {
    return guard([&]() -> PyObject* {
        check_arg(executor, G.vantrel->ModelExecutorType, "executor");
        return hand_over(self, executor, kSQLite, run_impl);
    });
}

PyObject* sqlite_run_capi(PyObject* self, PyObject* sql, PyObject* params, int kind, int batch) {
    return guard([&]() -> PyObject* { return run_impl(self, sql, params, kind, batch); });
}

PyTypeObject Sqlite3ConnectorType =
    with_slots(gc_type<SqliteRefs, sqlite_clear>("Tavrik.DB.Connector.Sqlite3Connector", sizeof(Sqlite3ConnectorObject),
                                                 Py_TPFLAGS_BASETYPE, &BaseConnectorType),
               {"Sqlite3Connector(path, showLog=True)\n--\n\n"
                "SQLite同步连接器: 一个主链接, 每条执行器语句在模块锁下执行并提交",
                sqlite_methods, sqlite_getset, sqlite_tp_init, sqlite_new});

void init_sqlite_type(PyObject* m) {
    add_type(m, &Sqlite3ConnectorType);
    Require(PyType_Ready(&DictRowsType));
    Require(PyType_Ready(&TransactionType));
}

}  // namespace conn
}  // namespace tavrik
