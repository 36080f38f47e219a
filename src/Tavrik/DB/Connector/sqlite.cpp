// Sqlite3Connector: synchronous SQLite through the interpreter's sqlite3.
#include "internal.hpp"

namespace tavrik {
namespace conn {

namespace {

using Obj = Sqlite3ConnectorObject;
inline Obj* S(PyObject* o) { return (Obj*)o; }

inline Ref callm(PyObject* o, PyObject* name) {
    PyObject* a[1] = {o};
    return new_ref(PyObject_VectorcallMethod(name, a, 1, nullptr));
}
inline Ref callm(PyObject* o, PyObject* name, PyObject* x) {
    PyObject* a[2] = {o, x};
    return new_ref(PyObject_VectorcallMethod(name, a, 2, nullptr));
}
inline Ref callm(PyObject* o, PyObject* name, PyObject* x, PyObject* y) {
    PyObject* a[3] = {o, x, y};
    return new_ref(PyObject_VectorcallMethod(name, a, 3, nullptr));
}

PyObject* main_con(PyObject* self) {
    PyObject* c = S(self)->con;
    return c ? c : Py_None;
}

// sqlite3.connect(path, **kw)
Ref open_connection(PyObject* path, bool main) {
    Ref args = new_ref(PyTuple_Pack(1, path));
    Ref kw = new_ref(PyDict_New());
    if (main) {
        // A busy timeout long enough that writers queue rather than fail.
        Ref timeout = new_ref(PyLong_FromLong(99999));
        setitem(kw.get(), G.s_timeout, timeout.get());
    }
    // Usable from any thread; thread connections are also closed by close()
    // on whichever thread calls it.
    setitem(kw.get(), G.s_check_same_thread, Py_False);
    return new_ref(PyObject_Call(G.sqlite3_connect, args.get(), kw.get()));
}

void set_field(PyObject*& field, PyObject* v) {
    PyObject* old = field;
    Py_XINCREF(v);
    field = v;
    Py_XDECREF(old);
}

}  // namespace

int sqlite_init_impl(PyObject* self, PyObject* path, int showLog) {
    return guard_int([&]() -> int {
        check_str_arg(path, "path");
        Ref con = open_connection(path, true);
        if (showLog) callm(con.get(), G.s_set_trace_callback, G.logger_debug);
        set_field(S(self)->con, con.get());
        set_field(S(self)->path, path);
        return 0;
    });
}

namespace {

// ------------------------------------------------------------ lazy rows

struct DictRowsObject {
    PyObject_HEAD
    PyObject* cursor;  // until first iterated
    PyObject* names;
    PyObject* rows;    // fetched rows (a list)
    Py_ssize_t pos;
};

int rows_traverse(PyObject* o, visitproc visit, void* arg) {
    auto* r = (DictRowsObject*)o;
    Py_VISIT(r->cursor);
    Py_VISIT(r->names);
    Py_VISIT(r->rows);
    return 0;
}
int rows_clear(PyObject* o) {
    auto* r = (DictRowsObject*)o;
    Py_CLEAR(r->cursor);
    Py_CLEAR(r->names);
    Py_CLEAR(r->rows);
    return 0;
}
void rows_dealloc(PyObject* o) {
    PyObject_GC_UnTrack(o);
    rows_clear(o);
    Py_TYPE(o)->tp_free(o);
}

PyObject* rows_next(PyObject* o) {
    return guard([&]() -> PyObject* {
        auto* r = (DictRowsObject*)o;
        if (r->cursor) {
            // First iteration: fetch everything, then hand out dicts.
            Ref cursor = Ref::owning(r->cursor);
            Py_CLEAR(r->cursor);
            Ref rows = callm(cursor.get(), G.s_fetchall);
            r->rows = rows_to_dicts(cursor.get(), rows.get()).relinquish();
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
    PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
    t.tp_name = "Tavrik.DB.Connector._DictRows";
    t.tp_basicsize = sizeof(DictRowsObject);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    t.tp_doc = "首次迭代时才读取全部结果行, 逐行给出字典; 只能迭代一次";
    t.tp_traverse = rows_traverse;
    t.tp_clear = rows_clear;
    t.tp_dealloc = rows_dealloc;
    t.tp_iter = PyObject_SelfIter;
    t.tp_iternext = rows_next;
    return t;
}();

namespace {

Ref lazy_dict_rows(PyObject* cursor) {
    auto* r = PyObject_GC_New(DictRowsObject, &DictRowsType);
    if (!r) throw_error();
    r->cursor = cursor;
    Py_INCREF(cursor);
    r->names = nullptr;
    r->rows = nullptr;
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
        if (truthy(callm(t, G.s_is_alive).get())) continue;
        PyObject* old = dict_get(map.get(), t);
        if (!old) continue;
        Ref c = Ref::owning(old);
        Require(PyDict_DelItem(map.get(), t));
        callm(c.get(), G.s_close);
    }
    Ref con = open_connection(s->path ? s->path : Py_None, false);
    setitem(map.get(), thread, con.get());
    return con.relinquish();
}

PyObject* sqlite_getCon(PyObject* self, PyObject*) {
    return guard([&]() -> PyObject* {
        Ref cur = call(G.current_thread);
        Ref main = call(G.main_thread);
        if (Require(PyObject_RichCompareBool(cur.get(), main.get(), Py_EQ))) {
            PyObject* c = main_con(self);
            Py_INCREF(c);
            return c;
        }
        return thread_connection(self, cur.get());
    });
}

PyObject* sqlite_releaseCon(PyObject* self, PyObject* con) {
    return guard([&]() -> PyObject* {
        callm(con, G.s_commit);
        Py_RETURN_NONE;
    });
}

const char* const kExecNames[] = {"sql", "con", "dictCur", "args"};
const Params kExec{"execute", kExecNames, 4, 1};

PyObject* sqlite_execute(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        PyObject* a[4];
        parse_fast(kExec, args, nargs, kwnames, a);
        check_str_arg(a[0], "sql");
        PyObject* params = a[3] ? a[3] : G.t_empty_tuple;
        check_tuple_arg(params, "args");
        bool dictCur = a[2] && truthy(a[2]);
        Ref cursor = callm(main_con(self), G.s_cursor);
        Ref sql = replace_placeholders(a[0]);
        if (params == Py_None || PyTuple_GET_SIZE(params) == 0) params = G.t_empty_tuple;
        callm(cursor.get(), G.s_execute, sql.get(), params);
        if (dictCur) return lazy_dict_rows(cursor.get()).relinquish();
        Ref rows = callm(cursor.get(), G.s_fetchall);
        return PySequence_Tuple(rows.get());
    });
}

PyObject* process_impl(PyObject* self, PyObject* executor) {
    if (executor == Py_None)  // accepted by the signature, but there is nothing to run
        raise_arg_type("executor", G.vantrel->ModelExecutorType->tp_name, executor);
    Statement st = statement_of(executor);
    Ref sql = replace_placeholders(st.sql.get());
    PyObject* con = main_con(self);
    call(G.lock_acquire);
    // The connection's own execute makes the cursor: one call instead of two.
    PyObject* exec_args[3] = {con, sql.get(), st.params.get()};
    PyObject* con_arg[1] = {con};
    PyObject* done = PyObject_VectorcallMethod(st.batch ? G.s_executemany : G.s_execute, exec_args, 3, nullptr);
    Ref cursor = Ref::owning(done);
    Ref batch_id;
    if (done && st.batch && st.kind == SK_INSERT) {
        // executemany leaves lastrowid unset: read the id of the batch's last
        // row while the lock still keeps other threads off the connection.
        Py_DECREF(done);
        PyObject* id_args[2] = {con, G.t_last_rowid_sql};
        done = PyObject_VectorcallMethod(G.s_execute, id_args, 2, nullptr);
        if (done) {
            PyObject* row = PyObject_CallMethod(done, "fetchone", nullptr);
            Py_DECREF(done);
            done = nullptr;
            if (row) {
                if (PyTuple_Check(row) && PyTuple_GET_SIZE(row) == 1) batch_id = borrow(PyTuple_GET_ITEM(row, 0));
                done = row;
            }
        }
    }
    if (done) {
        Py_DECREF(done);
        done = PyObject_VectorcallMethod(G.s_commit, con_arg, 1, nullptr);
    }
    if (!done) {
        // A failed statement (or any row of a batch) must not stay in the
        // open transaction for the next commit to publish.
        PyObject *t, *v, *tb;
        PyErr_Fetch(&t, &v, &tb);
        PyObject* r = PyObject_VectorcallMethod(G.s_rollback, con_arg, 1, nullptr);
        if (r)
            Py_DECREF(r);
        else
            PyErr_Clear();
        r = PyObject_CallNoArgs(G.lock_release);
        if (r)
            Py_DECREF(r);
        else
            PyErr_Clear();
        PyErr_Restore(t, v, tb);
        throw_error();
    }
    Py_DECREF(done);
    call(G.lock_release);
    Ref raw;
    if (st.kind == SK_SELECT) {
        Ref rows = callm(cursor.get(), G.s_fetchall);
        return select_result(executor, cursor.get(), rows.get()).relinquish();
    } else if (st.kind == SK_INSERT) {
        // A Python int: 64-bit row ids pass unchanged.
        raw = batch_id ? batch_id : getattr(cursor.get(), G.s_lastrowid);
    } else {
        raw = callm(cursor.get(), G.s_fetchall);
    }
    return executor_process(executor, raw.get()).relinquish();
}

const char* const kProcessNames[] = {"executor", "con"};
const Params kProcess{"process", kProcessNames, 2, 1};

PyObject* sqlite_process(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard([&]() -> PyObject* {
        PyObject* a[2];
        parse_tuple(kProcess, args, kwargs, a);
        check_arg(a[0], G.vantrel->ModelExecutorType, "executor");
        return process_impl(self, a[0]);
    });
}

Ref tables_impl(PyObject* self) {
    Ref cursor = callm(main_con(self), G.s_execute, G.t_tables_sql);
    Ref rows = callm(cursor.get(), G.s_fetchall);
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

PyObject* sqlite_autoFiledAnnounce(PyObject* self, PyObject* prop) {
    Py_INCREF(G.t_integer);
    return G.t_integer;
}

PyObject* sqlite_GenerateTable(PyObject* self, PyObject*) {
    return guard([&]() -> PyObject* {
        PyObject* fn = dict_get(PyModule_GetDict(G.module), intern("generate_table").get());
        if (!fn) {
            PyErr_SetString(PyExc_NameError, "name 'generate_table' is not defined");
            throw_error();
        }
        call1(fn, self);
        Py_RETURN_NONE;
    });
}

PyObject* sqlite_commit(PyObject* self, PyObject*) {
    return guard([&]() -> PyObject* {
        callm(main_con(self), G.s_commit);
        Py_RETURN_NONE;
    });
}

PyObject* sqlite_rollback(PyObject* self, PyObject*) {
    return guard([&]() -> PyObject* {
        callm(main_con(self), G.s_rollback);
        Py_RETURN_NONE;
    });
}

PyObject* sqlite_close(PyObject* self, PyObject*) {
    return guard([&]() -> PyObject* {
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

PyObject* sqlite_paramsHolder(PyObject* self, void*) {
    Py_INCREF(G.t_qmark);
    return G.t_qmark;
}

PyGetSetDef sqlite_getset[] = {
    {"paramsHolder", sqlite_paramsHolder, nullptr, "语句中的参数占位符: ?", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef sqlite_methods[] = {
    {"getCon", sqlite_getCon, METH_NOARGS,
     "获取链接: 主线程得到主链接; 其他线程得到该线程自己的链接 (每个线程一个, 在同一线程中复用, "
     "由close()关闭)"},
    {"releaseCon", sqlite_releaseCon, METH_O, "提交给定链接的事务 (不关闭链接)"},
    {"execute", (PyCFunction)(void (*)(void))sqlite_execute, METH_FASTCALL | METH_KEYWORDS,
     "在主链接上执行语句, 不提交; dictCur为真时返回首次迭代才读取的字典行, 否则返回元组行"},
    {"process", (PyCFunction)(void (*)(void))sqlite_process, METH_VARARGS | METH_KEYWORDS,
     "在主链接上执行执行器的语句并提交 (持有模块锁); 语句失败时回滚主链接后抛出错误"},
    {"getTableNameList", sqlite_getTableNameList, METH_NOARGS, "数据库中所有表的名称列表"},
    {"GenerateTable", sqlite_GenerateTable, METH_NOARGS, "为所有已声明的模型创建尚不存在的表并提交"},
    {"autoFiledAnnounce", sqlite_autoFiledAnnounce, METH_O, "自增列的类型声明: \"INTEGER \""},
    {"commit", sqlite_commit, METH_NOARGS, "提交主链接的事务"},
    {"rollback", sqlite_rollback, METH_NOARGS, "回滚主链接的事务"},
    {"close", sqlite_close, METH_NOARGS, "关闭主链接以及getCon()在其他线程交出的链接"},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* sqlite_new(PyTypeObject* tp, PyObject* a, PyObject* k) {
    PyObject* self = connector_new(tp, a, k);
    if (self) S(self)->threadCons = nullptr;
    return self;
}

int sqlite_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(S(self)->con);
    Py_VISIT(S(self)->path);
    Py_VISIT(S(self)->threadCons);
    return connector_base_traverse(self, visit, arg);
}

int sqlite_clear(PyObject* self) {
    Py_CLEAR(S(self)->con);
    Py_CLEAR(S(self)->path);
    Py_CLEAR(S(self)->threadCons);
    return connector_base_clear(self);
}

void sqlite_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    sqlite_clear(self);
    Py_TYPE(self)->tp_free(self);
}

}  // namespace

PyObject* sqlite_autoFiled_capi(PyObject* self, PyObject* prop) {
    return guard([&]() -> PyObject* {
        if (Py_TYPE(self) == &Sqlite3ConnectorType) return sqlite_autoFiledAnnounce(self, prop);
        Ref r = callm(self, G.s_autoFiledAnnounce, prop);
        if (r.get() != Py_None && !PyUnicode_Check(r.get())) raise_expected("unicode", r.get());
        return r.relinquish();
    });
}

PyObject* sqlite_tables_capi(PyObject* self) {
    return guard([&]() -> PyObject* {
        if (Py_TYPE(self) == &Sqlite3ConnectorType) return tables_impl(self).relinquish();
        Ref r = callm(self, G.s_getTableNameList);
        if (r.get() != Py_None && !PyList_Check(r.get())) raise_expected("list", r.get());
        return r.relinquish();
    });
}

PyObject* sqlite_process_capi(PyObject* self, PyObject* executor, PyObject* con) {
    return guard([&]() -> PyObject* {
        check_arg(executor, G.vantrel->ModelExecutorType, "executor");
        return process_impl(self, executor);
    });
}

PyTypeObject Sqlite3ConnectorType = [] {
    PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
    t.tp_name = "Tavrik.DB.Connector.Sqlite3Connector";
    t.tp_basicsize = sizeof(Sqlite3ConnectorObject);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    t.tp_doc = "SQLite同步连接器: 一个主链接, 每条执行器语句在模块锁下执行并提交";
    t.tp_traverse = sqlite_traverse;
    t.tp_clear = sqlite_clear;
    t.tp_dealloc = sqlite_dealloc;
    t.tp_methods = sqlite_methods;
    t.tp_getset = sqlite_getset;
    t.tp_init = sqlite_tp_init;
    t.tp_new = sqlite_new;
    return t;
}();

void init_sqlite_type(PyObject* m) {
    Sqlite3ConnectorType.tp_base = &BaseConnectorType;
    add_type(m, &Sqlite3ConnectorType);
    Require(PyType_Ready(&DictRowsType));
}

}  // namespace conn
}  // namespace tavrik
