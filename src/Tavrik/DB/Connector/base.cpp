// BaseConnector: the fields every connector shares and the do-nothing
// defaults of the connector contract; copying/pickling of all connectors.
#include <cstddef>
#include "internal.hpp"

namespace tavrik {
namespace conn {

namespace {

#define OBJ(T, f) {offsetof(T, f), false}
#define INT(T, f) {offsetof(T, f), true}
#define BASE_FIELDS(T)                                                                                         \
    OBJ(T, base._pool), INT(T, base.Type), INT(T, base.isAsync), OBJ(T, base.selectCon), OBJ(T, base._config), \
        INT(T, base.count), INT(T, base.isReady)

struct BaseWrap {
    BaseConnectorObject base;
};
const FieldDesc base_fields[] = {BASE_FIELDS(BaseWrap)};
const FieldDesc sqlite_fields[] = {BASE_FIELDS(Sqlite3ConnectorObject), OBJ(Sqlite3ConnectorObject, con),
                                   OBJ(Sqlite3ConnectorObject, path)};
const FieldDesc aiosqlite_fields[] = {BASE_FIELDS(AioSqliteConnectorObject), OBJ(AioSqliteConnectorObject, loop),
                                      OBJ(AioSqliteConnectorObject, con),    INT(AioSqliteConnectorObject, isUsing),
                                      OBJ(AioSqliteConnectorObject, path),   OBJ(AioSqliteConnectorObject, conMap),
                                      INT(AioSqliteConnectorObject, showLog)};
const FieldDesc aiomysql_fields[] = {BASE_FIELDS(AioMysqlConnectorObject), OBJ(AioMysqlConnectorObject, loop),
                                     OBJ(AioMysqlConnectorObject, conMap)};

FieldTable tables[5];

inline PyObject*& obj_at(PyObject* self, Py_ssize_t off) { return *(PyObject**)((char*)self + off); }
inline int& int_at(PyObject* self, Py_ssize_t off) { return *(int*)((char*)self + off); }

// ------------------------------------------------------------- fields

PyObject* pool_get(PyObject* self, void*) { return or_none(base_of(self)->_pool); }
int pool_set(PyObject* self, PyObject* v, void*) {
    set_field(base_of(self)->_pool, v ? v : Py_None);
    return 0;
}
PyObject* config_get(PyObject* self, void*) { return or_none(base_of(self)->_config); }
int config_set(PyObject* self, PyObject* v, void*) {
    return guard_int([&]() -> int {
        if (v && v != Py_None && !PyDict_Check(v)) raise_expected("dict", v);
        set_field(base_of(self)->_config, v ? v : Py_None);
        return 0;
    });
}
int set_flag(int& field, PyObject* v) {
    if (!v) {
        PyErr_SetString(PyExc_NotImplementedError, "__del__");
        return -1;
    }
    int t = PyObject_IsTrue(v);
    if (t < 0) return -1;
    field = t;
    return 0;
}
PyObject* isAsync_get(PyObject* self, void*) { return PyBool_FromLong(base_of(self)->isAsync); }
int isAsync_set(PyObject* self, PyObject* v, void*) { return set_flag(base_of(self)->isAsync, v); }
PyObject* isReady_get(PyObject* self, void*) { return PyBool_FromLong(base_of(self)->isReady); }
int isReady_set(PyObject* self, PyObject* v, void*) { return set_flag(base_of(self)->isReady, v); }
PyObject* paramsHolder_get(PyObject*, void*) {
    Py_INCREF(G.t_pct_s);
    return G.t_pct_s;
}
PyObject* dialect_get(PyObject* self, void*) {
    return PyUnicode_FromString(dialect_by_id(base_of(self)->dialect).name);
}

PyGetSetDef base_getset[] = {
    {"_pool", pool_get, pool_set, "连接池 (仅MySQL连接器使用)", nullptr},
    {"isAsync", isAsync_get, isAsync_set, "操作是否返回可等待对象", nullptr},
    {"_config", config_get, config_set, "连接配置", nullptr},
    {"isReady", isReady_get, isReady_set, "连接器是否已可以执行语句", nullptr},
    {"paramsHolder", paramsHolder_get, nullptr, "语句中的参数占位符", nullptr},
    {"dialect", dialect_get, nullptr, "连接器所说的SQL方言: 'sqlite', 'mysql' 或 'postgresql'", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ------------------------------------------------------------ methods

PyObject* base_process(PyObject*, PyObject*, PyObject* kwargs) {
    return guard([&]() -> PyObject* {
        check_kw_strings(kwargs, "process");
        Py_RETURN_NONE;
    });
}

PyObject* base_asyncProcess(PyObject*, PyObject*, PyObject* kwargs) {
    return guard([&]() -> PyObject* {
        check_kw_strings(kwargs, "asyncProcess");
        return call(G.noop_coro).relinquish();
    });
}

PyObject* base_none(PyObject*, PyObject*) { Py_RETURN_NONE; }

const FieldTable& table_for(PyTypeObject* tp) {
    for (PyTypeObject* t = tp; t; t = t->tp_base)
        for (auto& ft : tables)
            if (ft.type == t) return ft;
    return tables[0];
}

PyObject* base_reduce(PyObject* self, PyObject*) {
    return guard([&]() -> PyObject* {
        const FieldTable& ft = table_for(Py_TYPE(self));
        Ref fields = new_ref(PyTuple_New(ft.count));
        for (int i = 0; i < ft.count; ++i) {
            const FieldDesc& f = ft.fields[i];
            PyObject* v = f.is_int ? PyLong_FromLong(int_at(self, f.offset)) : or_none(obj_at(self, f.offset));
            PyTuple_SET_ITEM(fields.get(), i, Require(v));
        }
        PyObject** dictptr = _PyObject_GetDictPtr(self);
        PyObject* d = (dictptr && *dictptr) ? *dictptr : Py_None;
        Ref state = new_ref(Py_BuildValue("(OO)", fields.get(), d));
        return Py_BuildValue("(O(O)O)", G.copyreg_newobj.get(), (PyObject*)Py_TYPE(self), state.get());
    });
}

PyObject* base_setstate(PyObject* self, PyObject* state) {
    return guard([&]() -> PyObject* {
        const FieldTable& ft = table_for(Py_TYPE(self));
        if (!PyTuple_Check(state) || PyTuple_GET_SIZE(state) != 2) raise_expected("tuple", state);
        PyObject* fields = PyTuple_GET_ITEM(state, 0);
        if (!PyTuple_Check(fields) || PyTuple_GET_SIZE(fields) != ft.count) {
            PyErr_SetString(PyExc_ValueError, "连接器状态与类的字段不符");
            throw_error();
        }
        for (int i = 0; i < ft.count; ++i) {
            const FieldDesc& f = ft.fields[i];
            PyObject* v = PyTuple_GET_ITEM(fields, i);
            if (f.is_int)
                int_at(self, f.offset) = truthy(v);
            else
                set_field(obj_at(self, f.offset), v);
        }
        PyObject* d = PyTuple_GET_ITEM(state, 1);
        if (d != Py_None) {
            PyObject** dictptr = _PyObject_GetDictPtr(self);
            if (!dictptr) raise_expected("None", d);
            if (!*dictptr) *dictptr = Require(PyDict_New());
            Require(PyDict_Update(*dictptr, d));
        }
        Py_RETURN_NONE;
    });
}

PyMethodDef base_methods[] = {
    {"process", (PyCFunction)(void (*)(void))base_process, METH_VARARGS | METH_KEYWORDS,
     "process($self, /, *args, **kwargs)\n--\n\n"
     "执行执行器的语句 (基类: 什么也不做)"},
    {"asyncProcess", (PyCFunction)(void (*)(void))base_asyncProcess, METH_VARARGS | METH_KEYWORDS,
     "asyncProcess($self, /, *args, **kwargs)\n--\n\n"
     "异步执行执行器的语句 (基类: 返回一个结果为None的可等待对象)"},
    {"GenerateTable", base_none, METH_NOARGS,
     "GenerateTable($self, /)\n--\n\n"
     "创建所有模型的表 (基类: 什么也不做)"},
    {"close", base_none, METH_NOARGS,
     "close($self, /)\n--\n\n"
     "关闭连接器持有的连接 (基类: 没有连接)"},
    {"__reduce__", base_reduce, METH_NOARGS, nullptr},
    {"__setstate__", base_setstate, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// ------------------------------------------------------------ lifecycle

PyObject* base_new(PyTypeObject* tp, PyObject*, PyObject*) {
    PyObject* self = tp->tp_alloc(tp, 0);
    if (!self) return nullptr;
    // The base class's "%s" placeholders are MySQL's; the SQLite connectors
    // set theirs.
    base_of(self)->dialect = D_MYSQL;
    const FieldTable& ft = table_for(tp);
    for (int i = 0; i < ft.count; ++i)
        if (!ft.fields[i].is_int) set_field(obj_at(self, ft.fields[i].offset), Py_None);
    return self;
}

// As object() itself: the class takes no arguments unless a subclass
// defines a constructor of its own.
int base_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    if (PyTuple_GET_SIZE(args) || (kwargs && PyDict_GET_SIZE(kwargs))) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes no arguments", _PyType_Name(Py_TYPE(self)));
        return -1;
    }
    return 0;
}

}  // namespace

PyTypeObject BaseConnectorType =
    with_slots(gc_type<BaseRefs>("Tavrik.DB.Connector.BaseConnector", sizeof(BaseConnectorObject)),
               {"BaseConnector()\n--\n\n"
                "连接器基类: 所有连接器共有的字段与空操作",
                base_methods, base_getset, base_init, base_new});

// Shared by the subclasses' tp_new: allocates with every object field None.
PyObject* connector_new(PyTypeObject* tp, PyObject* a, PyObject* k) { return base_new(tp, a, k); }

void init_base(PyObject* m) {
    tables[0] = {&BaseConnectorType, base_fields, (int)(sizeof(base_fields) / sizeof(FieldDesc))};
    tables[1] = {&Sqlite3ConnectorType, sqlite_fields, (int)(sizeof(sqlite_fields) / sizeof(FieldDesc))};
    tables[2] = {&AioSqliteConnectorType, aiosqlite_fields, (int)(sizeof(aiosqlite_fields) / sizeof(FieldDesc))};
    tables[3] = {&AioMysqlConnectorType, aiomysql_fields, (int)(sizeof(aiomysql_fields) / sizeof(FieldDesc))};
    tables[4] = {&PyMysqlConnectorType, base_fields, (int)(sizeof(base_fields) / sizeof(FieldDesc))};
    add_type(m, &BaseConnectorType);
}

}  // namespace conn
}  // namespace tavrik
