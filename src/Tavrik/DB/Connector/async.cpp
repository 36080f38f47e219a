// AioSqliteConnector, AioMysqlConnector and PyMysqlConnector.  The awaiting
// parts are Python (Tavrik/DB/_aio_connectors.py); everything they do per
// statement is in the helpers here.
#include "internal.hpp"

namespace tavrik {
namespace conn {

namespace {

using SqObj = AioSqliteConnectorObject;
using MyObj = AioMysqlConnectorObject;

constexpr Py_ssize_t kMaxTaskConnections = 20;

// The fields of either asynchronous connector.  Its task state (which task
// holds which connection, the releases in flight, the closing state) is one
// Python object, Tavrik.DB._async_tx.Life, in `life`; `conMap` is that
// object's map of task to connection.
struct AsyncFields {
    bool sqlite;
    PyObject** loop;
    PyObject** conMap;
    PyObject** life;
};

AsyncFields fields_of(PyObject* self) {
    if (PyObject_TypeCheck(self, &AioSqliteConnectorType)) {
        auto* s = (SqObj*)self;
        return {true, &s->loop, &s->conMap, &s->life};
    }
    if (PyObject_TypeCheck(self, &AioMysqlConnectorType) || PyObject_TypeCheck(self, &AsyncpgConnectorType)) {
        auto* s = (MyObj*)self;
        return {false, &s->loop, &s->conMap, &s->life};
    }
    PyErr_Format(PyExc_TypeError, "Expected asynchronous connector, got %.200s", type_name(self));
    throw_error();
}

// The conMap dict, made on first use (a subclass may skip __init__).
PyObject* ensure(PyObject** field) {
    if (!*field || *field == Py_None) {
        PyObject* v = Require(PyDict_New());
        Py_XDECREF(*field);
        *field = v;
    }
    if (!PyDict_Check(*field)) raise_expected("dict", *field);
    return *field;
}

PyObject* lookup_generate_table() {
    Ref name = intern("generate_table");
    PyObject* fn = dict_get(PyModule_GetDict(G.module), name.get());
    if (!fn) {
        PyErr_SetString(PyExc_NameError, "name 'generate_table' is not defined");
        throw_error();
    }
    return fn;
}

PyObject* life_of(PyObject* self);

// Runs `coro` on the connector's loop: scheduled (kept by the task state
// until done) when the loop runs, else to completion.
void run_on_loop(PyObject* self, PyObject* coro) {
    AsyncFields f = fields_of(self);
    PyObject* loop = *f.loop ? *f.loop : Py_None;
    if (truthy(call_method(loop, G.s_is_running).get())) {
        Ref task = call_method(loop, G.s_create_task, coro);
        call_method(life_of(self), G.s_keep, task.get());
    } else {
        call_method(loop, G.s_run_until_complete, coro);
    }
}

// Closes an unawaited coroutine quietly (no "never awaited" warning).
void close_coro(PyObject* coro) {
    PyObject* r = PyObject_CallMethodObjArgs(coro, G.s_close, nullptr);
    if (r)
        Py_DECREF(r);
    else
        PyErr_Clear();
}

// The connector's task state, made on first use around its conMap.
PyObject* life_of(PyObject* self) {
    AsyncFields f = fields_of(self);
    if (!*f.life || *f.life == Py_None) {
        PyObject* v = Require(
            PyObject_CallFunctionObjArgs(G.tx_new_life, f.sqlite ? Py_True : Py_False, ensure(f.conMap), nullptr));
        Py_XDECREF(*f.life);
        *f.life = v;
    }
    return *f.life;
}

}  // namespace

// ------------------------------------------------------------ shared parts

PyObject* async_getCon(PyObject* self, PyObject*) {
    return guard([&]() -> PyObject* { return call(G.ConRequest, self).relinquish(); });
}

PyObject* async_transaction(PyObject* self, PyObject*) {
    return guard([&]() -> PyObject* {
        return Require(PyObject_CallFunctionObjArgs(G.tx_transaction, self, life_of(self), nullptr));
    });
}

PyObject* my_transaction(PyObject* self, PyObject*) {
    return guard([&]() -> PyObject* {
        return Require(PyObject_CallFunctionObjArgs(G.my_transaction, self, life_of(self), nullptr));
    });
}

// runTransaction(fn, *args, retries=3, **kwargs): the retry loop is Python.
PyObject* async_runTransaction(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard([&]() -> PyObject* {
        Ref head = new_ref(PyTuple_Pack(1, self));
        Ref all = new_ref(PySequence_Concat(head.get(), args));
        return Require(PyObject_Call(G.tx_run_transaction, all.get(), kwargs));
    });
}

PyObject* async_GenerateTable(PyObject* self, PyObject*) {
    return guard([&]() -> PyObject* {
        Ref coro = call(lookup_generate_table(), self);
        run_on_loop(self, coro.get());
        Py_RETURN_NONE;
    });
}

// Done callback of a task that took a connection (releaseCon/_releaseCon):
// the task state's release, in Tavrik/DB/_aio_connectors.py.
PyObject* async_release_callback(PyObject* self, PyObject* task) {
    return guard([&]() -> PyObject* {
        fields_of(self);
        return call(G.py_release, self, task).relinquish();
    });
}

PyObject* async_asyncProcess(PyObject* self, PyObject*, PyObject* kwargs, PyObject* coro_fn, bool) {
    check_kw_strings(kwargs, "asyncProcess");
    PyObject* executor = kwargs ? dict_get(kwargs, G.s_executor) : nullptr;
    PyObject* con = kwargs ? dict_get(kwargs, G.s_con) : nullptr;
    return PyObject_CallFunctionObjArgs(coro_fn, self, executor ? executor : Py_None, con ? Py_True : Py_False,
                                        con ? con : Py_None, nullptr);
}

namespace {
const char* const kExecNames[] = {"sql", "con", "dictCur", "args"};
const Params kExec{"execute", kExecNames, 4, 1};
}  // namespace

Ref execute_args(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject* coro_fn) {
    PyObject* a[4];
    parse_fast(kExec, args, nargs, kwnames, a);
    check_str_arg(a[0], "sql");
    PyObject* params = a[3] ? a[3] : G.t_empty_tuple;
    check_tuple_arg(params, "args");
    PyObject* dictCur = (a[2] && truthy(a[2])) ? Py_True : Py_False;
    PyObject* call_args[5] = {self, a[0], a[1] ? a[1] : Py_None, dictCur, params};
    Ref coro = new_ref(PyObject_Vectorcall(coro_fn, call_args, 5, nullptr));
    if (!observing()) return coro;
    return observe_async(coro.get(), self, a[0], true, params, 0, a[1]);
}

namespace {

// ------------------------------------------------ helpers for the source

PyObject* c_path(PyObject*, PyObject* self) {
    return guard([&]() -> PyObject* {
        // The synchronous connector's too: a statement's span names its file.
        PyObject* p = nullptr;
        if (PyObject_TypeCheck(self, &Sqlite3ConnectorType))
            p = ((Sqlite3ConnectorObject*)self)->path;
        else if (PyObject_TypeCheck(self, &AioSqliteConnectorType))
            p = ((SqObj*)self)->path;
        else
            raise_expected("AioSqliteConnector", self);
        p = p ? p : Py_None;
        Py_INCREF(p);
        return p;
    });
}

PyObject* c_life(PyObject*, PyObject* self) {
    return guard([&]() -> PyObject* {
        PyObject* l = life_of(self);
        Py_INCREF(l);
        return l;
    });
}

// Executor check of asyncProcess: the wrong type is a TypeError; a missing
// one fails the assertion (also when assertions are off: nothing can run).
void check_async_executor(PyObject* executor) {
    if (executor != Py_None && !PyObject_TypeCheck(executor, G.vantrel->AsyncModelExecutorType))
        raise_cannot_convert(executor, G.vantrel->AsyncModelExecutorType->tp_name);
    if (executor == Py_None) {
        PyErr_SetString(PyExc_AssertionError, "需要传入executor参数,且必须为AsyncModelExecutor实例");
        throw_error();
    }
}

// A hand-written statement that clearly only reads: SELECT as its first word
// (after blanks and comments).  Anything else may write, and begins the
// task's write transaction.
bool plain_read(PyObject* sql) {
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(sql, &n);
    if (!p) throw_error();
    const char* end = p + n;
    while (p < end) {
        if (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\f' || *p == '\v') {
            ++p;
        } else if (end - p >= 2 && p[0] == '-' && p[1] == '-') {
            while (p < end && *p != '\n') ++p;
        } else if (end - p >= 2 && p[0] == '/' && p[1] == '*') {
            p += 2;
            while (end - p >= 2 && !(p[0] == '*' && p[1] == '/')) ++p;
            p = end - p >= 2 ? p + 2 : end;
        } else {
            break;
        }
    }
    static const char word[] = "select";
    for (int i = 0; i < 6; ++i, ++p)
        if (p >= end || (*p | 0x20) != word[i]) return false;
    if (p == end) return true;
    unsigned char c = (unsigned char)*p;
    return !(c == '_' || c == '$' || c >= 0x80 || (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z'));
}

// SQLite execute(): the log line, then (the text with "?", whether it may
// write).
PyObject* c_sq_text(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guard([&]() -> PyObject* {
        if (nargs != 3) raise_arity("_c_sq_text", "exactly", 3, nargs);
        if (!PyObject_TypeCheck(args[0], &AioSqliteConnectorType)) raise_expected("AioSqliteConnector", args[0]);
        if (((SqObj*)args[0])->showLog) log_statement(args[1], args[2]);
        Ref text = replace_placeholders(args[1]);
        return Py_BuildValue("(OO)", text.get(), plain_read(args[1]) ? Py_False : Py_True);
    });
}

// The hand-over's first step: (text, params, kind, batch, locks) of the
// executor's statement, in the house form of the connector's dialect.
PyObject* c_statement(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guard([&]() -> PyObject* {
        if (nargs != 2) raise_arity("_c_statement", "exactly", 2, nargs);
        check_async_executor(args[1]);
        Statement st = statement_of(args[1], connector_dialect(&BaseConnectorType, args[0]));
        return Py_BuildValue("(OOiiO)", st.sql.get(), st.params.get(), st.kind, st.mode(),
                             st.locks ? Py_True : Py_False);
    });
}

// The core's text for the driver: (text, params).  SQLite writes the log
// line first (showLog) and reads "?"; MySQL's driver formats the text with
// `%` whenever it is given parameters, so it always is (an empty tuple for
// none) and a `%` inside a quoted name reaches it doubled.
PyObject* c_driver(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guard([&]() -> PyObject* {
        if (nargs != 3) raise_arity("_c_driver", "exactly", 3, nargs);
        PyObject *sql = args[1], *params = args[2] == Py_None ? G.t_empty_tuple.get() : args[2];
        const Dialect& d = connector_dialect(&BaseConnectorType, args[0]);
        if (PyObject_TypeCheck(args[0], &AioSqliteConnectorType) && ((SqObj*)args[0])->showLog)
            log_statement(sql, params);
        Ref text = d.percent_formatting && sql == Py_None ? borrow(sql) : driver_texts(sql, d);
        return Require(PyTuple_Pack(2, text.get(), params));
    });
}

// The core as the connectors' asyncProcess reach it (the road of the
// asynchronous save plans): run_async, so observed as the executors' own
// statements are.  _c_run(connector, sql, params, kind, batch, locks,
// hasCon, con): a con given, None included, is used as given.
PyObject* c_run(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 8) return guard([&]() -> PyObject* { raise_arity("_c_run", "exactly", 8, nargs); });
    const long kind = PyLong_AsLong(args[3]), batch = PyLong_AsLong(args[4]);
    if ((kind == -1 || batch == -1) && PyErr_Occurred()) return nullptr;
    const int locks = PyObject_IsTrue(args[5]), has_con = PyObject_IsTrue(args[6]);
    if (locks < 0 || has_con < 0) return nullptr;
    return async_run_capi(args[0], args[1], args[2], (int)kind, (int)batch, locks, has_con ? args[7] : nullptr);
}

PyMethodDef helper_methods[] = {
    {"_c_run", (PyCFunction)(void (*)(void))c_run, METH_FASTCALL, nullptr},
    {"_c_path", c_path, METH_O, nullptr},
    {"_c_life", c_life, METH_O, nullptr},
    {"_c_statement", (PyCFunction)(void (*)(void))c_statement, METH_FASTCALL, nullptr},
    {"_c_driver", (PyCFunction)(void (*)(void))c_driver, METH_FASTCALL, nullptr},
    {"_c_sq_text", (PyCFunction)(void (*)(void))c_sq_text, METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// ------------------------------------------------------- AioSqliteConnector

// An asynchronous connector's constructor keywords: a copy checked to be
// strings, with the event loop taken out of it (NULL when not given).
struct LoopKeywords {
    Ref rest;
    Ref loop;
};

LoopKeywords loop_keywords(PyObject* kwargs) {
    LoopKeywords k{new_ref(PyDict_New()), Ref()};
    if (kwargs) Require(PyDict_Update(k.rest.get(), kwargs));
    check_kw_strings(k.rest.get(), "__init__");
    k.loop = borrow(dict_get(k.rest.get(), G.s_loop));
    if (k.loop) Require(PyDict_DelItem(k.rest.get(), G.s_loop));
    return k;
}

int sq_tp_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard_int([&]() -> int {
        auto* s = (SqObj*)self;
        Py_ssize_t nargs = PyTuple_GET_SIZE(args);
        LoopKeywords k = loop_keywords(kwargs);
        Ref& rest = k.rest;
        if (nargs > 1) raise_arity("__init__", "exactly", 1, nargs);
        PyObject* loop = k.loop.get();
        if (nargs == 1) {
            if (loop) {
                PyErr_SetString(PyExc_TypeError, "__init__() got multiple values for keyword argument 'loop'");
                throw_error();
            }
            loop = PyTuple_GET_ITEM(args, 0);
        } else if (!loop) {
            raise_arity("__init__", "exactly", 1, 0);
        }
        set_field(s->loop, loop);
        s->base.isAsync = 1;
        Ref init = getattr(self, G.s_init_sqlite);
        Ref empty = new_ref(PyTuple_New(0));
        new_ref(PyObject_Call(init.get(), empty.get(), rest.get()));
        s->isUsing = 0;
        Ref map = new_ref(PyDict_New());
        set_field(s->conMap, map.get());
        if (s->life && s->life != Py_None) setattr(s->life, "cons", map.get());
        return 0;
    });
}

const char* const kInitSqliteNames[] = {"path", "showLog"};
const Params kInitSqlite{"init_sqlite", kInitSqliteNames, 2, 1};

PyObject* sq_init_sqlite(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        PyObject* a[2];
        parse_fast(kInitSqlite, args, nargs, kwnames, a);
        check_str_arg(a[0], "path");
        // Each task has a connection of its own, and each connection to
        // ":memory:" (or "") is a separate empty database.
        if (a[0] && PyUnicode_Check(a[0]) &&
            (PyUnicode_CompareWithASCIIString(a[0], ":memory:") == 0 || PyUnicode_GET_LENGTH(a[0]) == 0)) {
            PyErr_SetString(PyExc_ValueError,
                            "AioSqliteConnector不能使用内存数据库 (\":memory:\" 或空路径): 每个任务有自己的链接, "
                            "各自会看到一个空的数据库; 请使用一个数据库文件的路径 (例如临时目录中的文件), "
                            "或者同步的Sqlite3Connector");
            throw_error();
        }
        auto* s = (SqObj*)self;
        set_field(s->path, a[0]);
        s->base.isReady = 1;
        s->showLog = a[1] ? (int)truthy(a[1]) : 1;
        Py_RETURN_NONE;
    });
}

PyObject* sq_execute(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* { return execute_args(self, args, nargs, kwnames, G.sq_execute).relinquish(); });
}

PyObject* sq_asyncProcess(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard(
        [&]() -> PyObject* { return Require(async_asyncProcess(self, args, kwargs, G.sq_asyncProcess, true)); });
}

// Its column declarations and placeholders are the synchronous connector's.
constexpr auto const_integer = sqlite_autoFiledAnnounce;
constexpr auto qmark_get = sqlite_paramsHolder;

// How many tasks hold a connection not yet released: a program (or its
// test) can wait for the releases that run after its tasks have ended.
PyObject* bound_get(PyObject* self, void*) {
    return guard([&] { return PyLong_FromSsize_t(PyDict_Size(ensure(fields_of(self).conMap))); });
}

PyGetSetDef sq_getset[] = {
    {"paramsHolder", qmark_get, nullptr, "语句中的参数占位符: ?", nullptr},
    {"boundConnections", bound_get, nullptr, "持有链接且尚未释放 (提交或回滚并关闭) 的任务数", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef sq_methods[] = {
    {"init_sqlite", (PyCFunction)(void (*)(void))sq_init_sqlite, METH_FASTCALL | METH_KEYWORDS,
     "init_sqlite($self, /, path, showLog=True)\n--\n\n"
     "设置数据库路径与是否记录语句"},
    {"getCon", async_getCon, METH_NOARGS,
     "getCon($self, /)\n--\n\n"
     "当前任务的链接: 可以await得到; 也可以用async with进入 (得到同一个链接, 退出时不提交也不回滚; "
     "任务结束时提交或回滚并关闭)"},
    {"releaseCon", async_release_callback, METH_O,
     "releaseCon($self, task, /)\n--\n\n"
     "\n            task call back\n        "},
    {"transaction", async_transaction, METH_NOARGS,
     "transaction($self, /)\n--\n\n"
     "显式事务: async with connector.transaction() as con: 代码块在当前任务的链接上运行 "
     "(用con或不用con创建的执行器都在其上执行), 正常结束时提交 (提交失败在代码块处抛出), "
     "抛出异常或被取消时回滚; 嵌套的代码块是保存点 (SAVEPOINT): 抛出异常时只回滚它自己的写入; "
     "代码块结束之后con不能再执行语句"},
    {"runTransaction", (PyCFunction)(void (*)(void))async_runTransaction, METH_VARARGS | METH_KEYWORDS,
     "runTransaction($self, fn, /, *args, retries=3, **kwargs)\n--\n\n"
     "await connector.runTransaction(fn, *args, retries=3, **kwargs): 在transaction()中执行 "
     "await fn(con, *args, **kwargs) 并返回其结果; 事务冲突 (TransactionConflict) 或在提交之前节点失联 "
     "(NodeLost, committing为False) 时重新执行, 最多再执行retries次; 在另一个transaction()之内只执行一次"},
    {"execute", (PyCFunction)(void (*)(void))sq_execute, METH_FASTCALL | METH_KEYWORDS,
     "execute($self, /, sql, con=None, dictCur=False, args=())\n--\n\n"
     "在当前任务的链接 (或给定的con) 上执行语句, 不提交"},
    {"asyncProcess", (PyCFunction)(void (*)(void))sq_asyncProcess, METH_VARARGS | METH_KEYWORDS,
     "asyncProcess($self, /, *args, **kwargs)\n--\n\n"
     "在当前任务的链接上执行执行器的语句"},
    {"GenerateTable", async_GenerateTable, METH_NOARGS,
     "GenerateTable($self, /)\n--\n\n"
     "为所有已声明的模型创建表: 事件循环运行中时作为任务调度, 否则运行到完成"},
    {"autoFiledAnnounce", const_integer, METH_O,
     "autoFiledAnnounce($self, prop, /)\n--\n\n"
     "自增列的类型声明: \"INTEGER \""},
    {"_taskCon", (PyCFunction)(void (*)(void))sq_taskCon, METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"getTableNameList", (PyCFunction)(void (*)(void))sq_getTableNameList, METH_FASTCALL | METH_KEYWORDS,
     "getTableNameList($self, /)\n--\n\n"},
    {"close", (PyCFunction)(void (*)(void))sq_close, METH_FASTCALL | METH_KEYWORDS,
     "close($self, /, timeout=10.0)\n--\n\n"
     "\n        关闭连接器: 先提交调用者任务的事务; 等待其他任务的事务随其任务结束 (最多timeout秒);\n        "
     "回滚剩余的; 关闭所有链接并停止其工作线程。之后的语句抛出错误; 再次调用无害。\n    "},
    {nullptr, nullptr, 0, nullptr},
};

using AioSqliteRefs =
    Refs<AioSqliteConnectorObject, BaseRefs, &AioSqliteConnectorObject::loop, &AioSqliteConnectorObject::con,
         &AioSqliteConnectorObject::path, &AioSqliteConnectorObject::conMap, &AioSqliteConnectorObject::life>;

PyObject* sq_new(PyTypeObject* tp, PyObject* a, PyObject* k) {
    PyObject* self = connector_new(tp, a, k);
    if (self) {
        auto* s = (SqObj*)self;
        s->base.dialect = D_SQLITE;
        s->life = nullptr;
    }
    return self;
}

// ------------------------------------------------------- AioMysqlConnector

int my_tp_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard_int([&]() -> int {
        auto* s = (MyObj*)self;
        Py_ssize_t nargs = PyTuple_GET_SIZE(args);
        LoopKeywords k = loop_keywords(kwargs);
        Ref& config = k.rest;
        PyObject* loop = k.loop.get();
        Ref rest;
        if (loop) {
            rest = borrow(args);
        } else {
            if (nargs < 1) raise_arity("__init__", "at least", 1, nargs);
            loop = PyTuple_GET_ITEM(args, 0);
            rest = new_ref(PyTuple_GetSlice(args, 1, nargs));
        }
        set_field(s->base._config, config.get());
        s->base.isAsync = 1;
        s->base.Type = 0;
        set_field(s->base.selectCon, Py_None);
        set_field(s->loop, loop);
        Ref map = new_ref(PyDict_New());
        set_field(s->conMap, map.get());
        if (s->life && s->life != Py_None) setattr(s->life, "cons", map.get());
        Ref init = getattr(self, G.s__init_mysql);
        Ref kwcopy = new_ref(PyDict_Copy(config.get()));
        Ref coro = new_ref(PyObject_Call(init.get(), rest.get(), kwcopy.get()));
        if (truthy(call_method(loop, G.s_is_running).get())) {
            PyObject* t = PyObject_CallMethodObjArgs(loop, G.s_create_task, coro.get(), nullptr);
            if (!t) {
                close_coro(coro.get());
                throw_error();
            }
            Ref task = Ref::consuming(t);
            setattr(life_of(self), "initTask", task.get());
            // Kept so that a pool whose creation failed is made again when
            // next needed (the server may be back by then).
            Ref made = new_ref(PyTuple_Pack(2, rest.get(), config.get()));
            setattr(life_of(self), "poolArgs", made.get());
        } else {
            call_method(loop, G.s_run_until_complete, coro.get());
        }
        return 0;
    });
}

PyObject* my_execute(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* { return execute_args(self, args, nargs, kwnames, G.my_execute).relinquish(); });
}

PyObject* my_asyncProcess(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard(
        [&]() -> PyObject* { return Require(async_asyncProcess(self, args, kwargs, G.my_asyncProcess, false)); });
}

PyObject* my_releaseCon(PyObject* self, PyObject* con) {
    return guard([&]() -> PyObject* {
        PyObject* pool = base_of(self)->_pool ? base_of(self)->_pool : Py_None;
        return PyObject_CallMethod(pool, "release", "O", con);
    });
}

PyObject* my_config_get(PyObject* self, void*) { return or_none(base_of(self)->_config); }

PyGetSetDef my_getset[] = {
    {"config", my_config_get, nullptr, "构造时给出的连接池参数", nullptr},
    {"boundConnections", bound_get, nullptr, "持有链接且尚未释放 (提交或回滚并还给连接池) 的任务数", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef my_methods[] = {
    {"getCon", async_getCon, METH_NOARGS,
     "getCon($self, /)\n--\n\n"
     "\n        获取链接实例\n        :return:\n        "},
    {"_releaseCon", async_release_callback, METH_O, "任务结束时的回调: 提交或回滚并把链接还给连接池"},
    {"transaction", my_transaction, METH_NOARGS,
     "transaction($self, /)\n--\n\n"
     "显式事务: async with connector.transaction() as con: 代码块在当前任务的链接上运行 "
     "(用con或不用con创建的执行器都在其上执行), 正常结束时提交 (提交失败在代码块处抛出), "
     "抛出异常或被取消时回滚; 嵌套的代码块是保存点 (SAVEPOINT): 抛出异常时只回滚它自己的写入; "
     "代码块结束之后con不能再执行语句。事务冲突 (集群认证失败或死锁, 错误1213) "
     "抛出Tavrik.Error.ClusterError.TransactionConflict; 链接的节点失联抛出NodeLost (committing为True时"
     "提交已发出而没有得到确认)"},
    {"runTransaction", (PyCFunction)(void (*)(void))async_runTransaction, METH_VARARGS | METH_KEYWORDS,
     "runTransaction($self, fn, /, *args, retries=3, **kwargs)\n--\n\n"
     "await connector.runTransaction(fn, *args, retries=3, **kwargs): 在transaction()中执行 "
     "await fn(con, *args, **kwargs) 并返回其结果; 事务冲突 (TransactionConflict) 或在提交之前节点失联 "
     "(NodeLost, committing为False) 时重新执行, 最多再执行retries次; 在另一个transaction()之内只执行一次"},
    {"releaseCon", my_releaseCon, METH_O,
     "releaseCon($self, con, /)\n--\n\n"
     "\n        释放链接实例\n        :param con: 数据库链接实例\n        :return:\n        "},
    {"execute", (PyCFunction)(void (*)(void))my_execute, METH_FASTCALL | METH_KEYWORDS,
     "execute($self, /, sql, con=None, dictCur=False, args=())\n--\n\n"
     "在当前任务的链接 (或给定的con) 上执行语句, 不提交"},
    {"asyncProcess", (PyCFunction)(void (*)(void))my_asyncProcess, METH_VARARGS | METH_KEYWORDS,
     "asyncProcess($self, /, *args, **kwargs)\n--\n\n"
     "在当前任务的链接上执行执行器的语句"},
    {"GenerateTable", async_GenerateTable, METH_NOARGS,
     "GenerateTable($self, /)\n--\n\n"
     "为所有已声明的模型创建表: 事件循环运行中时作为任务调度, 否则运行到完成"},
    {"autoFiledAnnounce", mysql_autoFiledAnnounce, METH_O,
     "autoFiledAnnounce($self, prop, /)\n--\n\n"
     "自增列的声明: 类型及其参数加 AUTO_INCREMENT"},
    {"_init_mysql", (PyCFunction)(void (*)(void))my_init_mysql, METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"_taskCon", (PyCFunction)(void (*)(void))my_taskCon, METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"getSelectCon", (PyCFunction)(void (*)(void))my_getSelectCon, METH_FASTCALL | METH_KEYWORDS,
     "getSelectCon($self, /)\n--\n\n"},
    {"getTableNameList", (PyCFunction)(void (*)(void))my_getTableNameList, METH_FASTCALL | METH_KEYWORDS,
     "getTableNameList($self, /)\n--\n\n"},
    {"close", (PyCFunction)(void (*)(void))my_close, METH_FASTCALL | METH_KEYWORDS,
     "close($self, /, timeout=10.0)\n--\n\n"
     "\n        关闭连接器: 先提交调用者任务的事务; 等待其他任务的事务随其任务结束 (最多timeout秒);\n        "
     "回滚并归还剩余的链接; 关闭连接池。之后的语句抛出错误; 再次调用无害。\n    "},
    {nullptr, nullptr, 0, nullptr},
};

using AioMysqlRefs = Refs<AioMysqlConnectorObject, BaseRefs, &AioMysqlConnectorObject::loop,
                          &AioMysqlConnectorObject::conMap, &AioMysqlConnectorObject::life>;

PyObject* my_new(PyTypeObject* tp, PyObject* a, PyObject* k) {
    PyObject* self = connector_new(tp, a, k);
    if (self) {
        auto* s = (MyObj*)self;
        s->life = nullptr;
    }
    return self;
}

// ------------------------------------------------------- PyMysqlConnector

int pm_tp_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard_int([&]() -> int {
        Py_ssize_t nargs = PyTuple_GET_SIZE(args);
        if (nargs) raise_arity("__init__", "exactly", 0, nargs);
        if (kwargs && PyDict_GET_SIZE(kwargs)) {
            PyObject *k, *v;
            Py_ssize_t pos = 0;
            PyDict_Next(kwargs, &pos, &k, &v);
            if (!PyUnicode_Check(k)) {
                PyErr_SetString(PyExc_TypeError, "__init__() keywords must be strings");
                throw_error();
            }
            raise_unexpected_kw("__init__", k);
        }
        base_of(self)->isAsync = 0;
        return 0;
    });
}

// Its one internal operation: nothing to do.
[[maybe_unused]] PyObject* pm_noop(PyObject*) { Py_RETURN_NONE; }

}  // namespace

// Declaration of an auto-increment column: the type with its arguments.
PyObject* mysql_autoFiledAnnounce(PyObject*, PyObject* prop) {
    return guard([&]() -> PyObject* {
        Ref typeArgs = getattr(prop, G.s_typeArgs);
        Ref text = new_ref(PyObject_Str(typeArgs.get()));
        Ref args;
        Py_ssize_t tl = PyUnicode_GET_LENGTH(text.get());
        if (Require((int)PyUnicode_Tailmatch(text.get(), G.t_comma_paren, 0, tl, 1)) == 1) {
            args = new_ref(PyUnicode_Replace(text.get(), G.t_comma, G.t_empty, -1));
        } else if (RequireSize(PyObject_Length(typeArgs.get())) == 0) {
            args = borrow(G.t_empty);
        } else {
            args = text;
        }
        Ref target = getattr(prop, G.s_targetType);
        Ref head = new_ref(PyNumber_Add(target.get(), args.get()));
        return PyNumber_Add(head.get(), G.t_auto_increment);
    });
}

PyTypeObject AioSqliteConnectorType = with_slots(
    gc_type<AioSqliteRefs>("Tavrik.DB.Connector.AioSqliteConnector", sizeof(AioSqliteConnectorObject),
                           Py_TPFLAGS_BASETYPE, &BaseConnectorType),
    {"AioSqliteConnector(loop, **kwargs)\n--\n\n"
     "SQLite异步连接器 (aiosqlite)。\n\n"
     "每个asyncio任务一个链接, 一个任务就是一个事务: 任务正常结束时提交, 抛出异常或被取消时回滚, "
     "然后关闭链接。同时最多打开20个任务链接, 第21个任务等待空位。\n"
     "任务链接以自动提交模式打开 (busy timeout 30秒); 只读过的任务不持有锁: 第一次写入 (或forUpdate=True的查询) "
     "之前执行BEGIN IMMEDIATE, 从那时起任务的事务持有写锁, 直到提交或回滚。本连接器的任务按到达顺序等待写锁; "
     "等待超过30秒时错误说明写锁由哪个任务 (或另一个链接) 持有。一个持有写锁的任务不应等待另一个要写入的任务。\n"
     "close() 是协程: 等待进行中的释放, 回滚并关闭剩余的任务链接。",
     sq_methods, sq_getset, sq_tp_init, sq_new});

PyTypeObject AioMysqlConnectorType =
    with_slots(gc_type<AioMysqlRefs>("Tavrik.DB.Connector.AioMysqlConnector", sizeof(AioMysqlConnectorObject),
                                     Py_TPFLAGS_BASETYPE, &BaseConnectorType),
               {"AioMysqlConnector(loop, *args, **kwargs)\n--\n\n"
                "MySQL异步连接器 (aiomysql连接池)。\n\n"
                "每个asyncio任务一个池链接, 一个任务就是一个事务: 任务正常结束时提交, 抛出异常或被取消时回滚, "
                "然后把链接还给连接池并删除conMap中的记录。连接池尚未建好时语句等待它; 建池失败时语句抛出错误。\n"
                "close() 是协程: 等待进行中的释放, 回滚并归还剩余的任务链接, 关闭连接池。",
                my_methods, my_getset, my_tp_init, my_new});

PyTypeObject PyMysqlConnectorType =
    with_slots(gc_type<BaseRefs>("Tavrik.DB.Connector.PyMysqlConnector", sizeof(BaseConnectorObject),
                                 Py_TPFLAGS_BASETYPE, &BaseConnectorType),
               {"PyMysqlConnector()\n--\n\n"
                "同步MySQL连接器的声明 (没有自己的行为)",
                nullptr, nullptr, pm_tp_init, nullptr});

void init_async_types(PyObject* m) {
    add_type(m, &AioSqliteConnectorType);
    add_type(m, &AioMysqlConnectorType);
    add_type(m, &PyMysqlConnectorType);
    Require(PyModule_AddFunctions(m, helper_methods));
}

}  // namespace conn
}  // namespace tavrik
