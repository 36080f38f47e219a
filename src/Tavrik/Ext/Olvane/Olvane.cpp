// Paged queries: Page (a DictPlus) and Olvane, the paging controller.
#include <tavrik/args.hpp>
#include <tavrik/module.hpp>
#include <tavrik/params.hpp>
#include <tavrik/sqltext.hpp>
#include <tavrik/api/db.hpp>
#include <tavrik/api/generator.hpp>
#include <tavrik/api/modelproperty.hpp>
#include <tavrik/api/vantrel.hpp>

namespace tavrik {
namespace {

PyTypeObject* DictPlusType = nullptr;
PyTypeObject* BaseModelExecutorType = nullptr;
PyTypeObject* FilterListCellType = nullptr;
GeneratorAPI* generator_api = nullptr;
// sys.flags.optimize, read once: it cannot change after start-up.
bool assertions_off = false;
DBAPI* db_api = nullptr;

// clang-format off: one name list, laid out by hand
#define OLVANE_NAMES(X)                                                                          \
    X(page) X(pageSize) X(content) X(total) X(totalPage) X(getExecutor) X(col) X(pkName) X(tableName) \
    X(execute) X(findListForeignKey) X(_execute) X(_getCount) X(_asyncExecute)
// clang-format on

struct Names {
    OLVANE_NAMES(TAVRIK_NAME_FIELD)
    void init() { OLVANE_NAMES(TAVRIK_NAME_INTERN) }
} names;

// ---------------------------------------------------------------- Page

PyTypeObject PageType = empty_type();

Ref int32_object(PyObject* o) { return from_long(to_int32(o)); }

int page_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard_int([&]() -> int {
        static const char* const kwlist[] = {"page", "pageSize", "content", "total"};
        PyObject* a[4];
        parse_tuple_kw(KwParams{"Page", kwlist, 4, 2, 4}, args, kwargs, a);
        PyObject *page = a[0], *pageSize = a[1], *content = a[2], *total = a[3];
        Ref p = int32_object(page), ps = int32_object(pageSize);
        Ref t = total ? int32_object(total) : from_long(0);
        // Every page built without content gets a list of its own.
        Ref c = content ? borrow(content) : new_ref(PyList_New(0));
        if (c.get() != Py_None && !PyList_Check(c.get())) raise_arg_type("content", "list", c.get());
        PyDict_Clear(self);
        Require(PyDict_SetItem(self, names.page.get(), p.get()));
        Require(PyDict_SetItem(self, names.pageSize.get(), ps.get()));
        Require(PyDict_SetItem(self, names.content.get(), c.get()));
        Require(PyDict_SetItem(self, names.total.get(), t.get()));
        return 0;
    });
}

const char page_doc[] =
    "Page(page, pageSize, content, total=0)\n--\n\n"
    "\n    Page实例类\n    本类继承自dict，拥有字典的一切行为\n\n    额外支持通过 . 获取字典内容\n"
    "    若获取的内容与字典类成员方法,参数相冲突，则优先选取字典内元素\n    ";

Ref new_page(int32_t page, int32_t pageSize) {
    Ref p = from_long(page), ps = from_long(pageSize);
    return new_ref(PyObject_CallFunctionObjArgs((PyObject*)&PageType, p.get(), ps.get(), nullptr));
}

// ---------------------------------------------------------------- Olvane

struct OlvaneObject {
    PyObject_HEAD PyObject* target;
    PyObject* executor;
    int32_t page;
    int32_t pageSize;
    int deep;
};

PyTypeObject OlvaneType = empty_type();

using OlvaneRefs = Refs<OlvaneObject, NoRefs, &OlvaneObject::target, &OlvaneObject::executor>;

int olvane_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard_int([&]() -> int {
        auto* o = (OlvaneObject*)self;
        static const char* const kwlist[] = {"target", "page", "pageSize", "findForeign"};
        PyObject* a[4];
        parse_tuple_kw(KwParams{"Olvane", kwlist, 4, 1, 4}, args, kwargs, a);
        PyObject *target = a[0], *page = a[1], *pageSize = a[2], *findForeign = a[3] ? a[3] : Py_False;
        int32_t p = page ? to_int32(page) : 1;
        int32_t ps = pageSize ? to_int32(pageSize) : 10;
        // Assertions: skipped when the interpreter runs optimised, like `assert`.
        if (!assertions_off) {
            if (!(ps > 0)) {
                PyErr_SetString(PyExc_AssertionError, "pageSize参数必须为大于零的整数");
                throw_error();
            }
            if (!(p > 0)) {
                PyErr_SetString(PyExc_AssertionError, "page参数必须为大于零的整数");
                throw_error();
            }
        }
        int deep = Require(PyObject_IsTrue(findForeign));
        // By name, as for every call on a user's model or executor below:
        // the user's classes may override these methods.
        Ref ex = new_ref(PyObject_CallMethodNoArgs(target, names.getExecutor.get()));
        if (ex.get() != Py_None && !PyObject_TypeCheck(ex.get(), BaseModelExecutorType))
            raise_cannot_convert(ex.get(), BaseModelExecutorType->tp_name);
        Py_INCREF(target);
        Py_XSETREF(o->target, target);
        Py_XSETREF(o->executor, ex.relinquish());
        o->page = p;
        o->pageSize = ps;
        o->deep = deep;
        return 0;
    });
}

PyObject* generator_of(OlvaneObject* o) {
    if (!o->executor || o->executor == Py_None) {
        PyErr_SetString(PyExc_AttributeError, "'NoneType' object has no attribute 'sql'");
        throw_error();
    }
    PyObject* gen = ((BaseModelExecutorObject*)o->executor)->sql;
    if (!gen) raise_none_attr("select");
    return gen;
}

PyObject* olvane_filter(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        auto* o = (OlvaneObject*)self;
        PyObject* cond = Py_None;
        static const char* const params[] = {"args"};
        PyObject* given[1];
        bind_args("filter", args, nargs, kwnames, params, 1, 0, given);
        if (given[0]) cond = given[0];
        check_arg(cond, FilterListCellType, "args");
        PyObject* gen = generator_of(o);
        Ref cols = getattr(o->target, names.col.get());
        Ref colt = new_ref(PySequence_Tuple(cols.get()));
        Require(generator_api->select(gen, colt.get()));
        Require(generator_api->where(gen, cond));
        Py_INCREF(self);
        return self;
    });
}

PyObject* olvane_orderBy(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard([&]() -> PyObject* {
        if (kwargs && PyDict_GET_SIZE(kwargs)) {
            PyErr_SetString(PyExc_TypeError, "orderBy() takes no keyword arguments");
            throw_error();
        }
        PyObject* gen = generator_of((OlvaneObject*)self);
        Require(generator_api->order_by(gen, args));
        Py_INCREF(self);
        return self;
    });
}

PyObject* olvane_findForeign(PyObject* self, PyObject*) {
    ((OlvaneObject*)self)->deep = 1;
    Py_INCREF(self);
    return self;
}

PyObject* olvane_setPage(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard([&]() -> PyObject* {
        auto* o = (OlvaneObject*)self;
        static const char* const kwlist[] = {"page", "pageSize"};
        PyObject* a[2];
        parse_tuple_kw(KwParams{"setPage", kwlist, 2, 1, 2}, args, kwargs, a);
        PyObject *page = a[0], *pageSize = a[1];
        int32_t p = to_int32(page);
        int32_t ps = pageSize ? to_int32(pageSize) : 0;
        o->page = p;
        if (ps > 0) o->pageSize = ps;
        Py_INCREF(self);
        return self;
    });
}

// The raw result of the count statement (an awaitable on the async road).
Ref get_count(OlvaneObject* o) {
    PyObject* gen = generator_of(o);
    Ref pair = new_ref(generator_api->where_part(gen));
    if (!PyTuple_Check(pair.get())) raise_expected("tuple", pair.get());
    if (PyTuple_GET_SIZE(pair.get()) != 2) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", (Py_ssize_t)2);
        throw_error();
    }
    PyObject* where = PyTuple_GET_ITEM(pair.get(), 0);
    PyObject* params = PyTuple_GET_ITEM(pair.get(), 1);
    if (where != Py_None && !PyUnicode_Check(where)) raise_expected("unicode", where);
    if (params != Py_None && !PyList_Check(params)) raise_expected("list", params);
    if (params == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' object is not iterable");
        throw_error();
    }
    Ref pk = getattr(o->target, names.pkName.get());
    // The key's database column, which a name= declaration may set apart
    // from the attribute pkName gives.
    Ref pk_col = new_ref(PyObject_GetAttrString(o->target, "pkCol"));
    if (pk_col.get() != Py_None) pk = new_ref(PyObject_GetAttrString(pk_col.get(), "column"));
    Ref table = getattr(o->target, names.tableName.get());
    Ref connector = new_ref(db_api->handle_connector());
    const Dialect& dialect = dialect_of(connector.get());
    // Identifiers are quoted so reserved words and odd names stay names.
    Ref pks = new_ref(PyObject_Str(pk.get()));
    Ref tbs = new_ref(PyObject_Str(table.get()));
    std::string sql = "select count(";
    quote_ident(sql, pks.get(), dialect);
    sql += ") from ";
    quote_ident(sql, tbs.get(), dialect);
    sql += ' ';
    append_utf8(sql, new_ref(PyObject_Str(where)).get());
    Ref text = new_ref(PyUnicode_DecodeUTF8(sql.data(), (Py_ssize_t)sql.size(), nullptr));
    Ref tup = new_ref(PyList_AsTuple(params));
    // The text goes to the connector's executeSql with "%s" placeholders; a
    // driver that formats it with `%` must find every `%` inside a quoted
    // name doubled.
    if (dialect.percent_formatting) text = rewrite_statement(text.get(), dialect);
    return new_ref(db_api->execute_sql(text.get(), tup.get()));
}

PyObject* olvane_getCount(PyObject* self, PyObject*) {
    return guard([&]() -> PyObject* { return get_count((OlvaneObject*)self).relinquish(); });
}

// Stores total and totalPage from the count rows; true when rows are to be fetched.
bool apply_count(OlvaneObject* o, PyObject* page, PyObject* rows) {
    Ref zero = from_long(0);
    Ref row = new_ref(PySequence_GetItem(rows, 0));
    Ref total = new_ref(PySequence_GetItem(row.get(), 0));
    long long t = PyLong_AsLongLong(total.get());
    if (t == -1 && PyErr_Occurred()) throw_error();
    long long ps = o->pageSize;
    long long pages = t / ps + (t % ps ? 1 : 0);
    Ref tobj = from_long(t), pobj = from_long(pages);
    Require(PyDict_SetItem(page, names.total.get(), tobj.get()));
    Require(PyDict_SetItem(page, names.totalPage.get(), pobj.get()));
    return !(t == 0 || o->page > pages);
}

void apply_limit(OlvaneObject* o) {
    PyObject* gen = generator_of(o);
    // 64-bit: page * pageSize may pass 2^31 on a big table.
    long long skip = ((long long)o->page - 1) * (long long)o->pageSize;
    Require(generator_api->limit(gen, o->pageSize, skip));
}

PyObject* olvane__execute(PyObject* self, PyObject*) {
    return guard([&]() -> PyObject* {
        auto* o = (OlvaneObject*)self;
        Ref page = new_page(o->page, o->pageSize);
        Ref rows = new_ref(PyObject_CallMethodNoArgs(self, names._getCount.get()));
        if (!apply_count(o, page.get(), rows.get())) return page.relinquish();
        apply_limit(o);
        Ref content = new_ref(PyObject_CallMethodNoArgs(o->executor, names.execute.get()));
        Require(PyDict_SetItem(page.get(), names.content.get(), content.get()));
        if (o->deep && truthy(content.get())) {
            Ref r = new_ref(PyObject_CallMethodOneArg(o->executor, names.findListForeignKey.get(), content.get()));
        }
        return page.relinquish();
    });
}

PyObject* olvane_execute(PyObject* self, PyObject*) {
    return guard([&]() -> PyObject* {
        if (Require(db_api->handle_is_async())) return PyObject_CallMethodNoArgs(self, names._asyncExecute.get());
        Ref res = new_ref(PyObject_CallMethodNoArgs(self, names._execute.get()));
        if (res.get() != Py_None && !PyObject_TypeCheck(res.get(), &PageType)) raise_cannot_convert(res.get(), "Page");
        return res.relinquish();
    });
}

// Helpers for the coroutine body (module-private, but reachable: they check
// what they are given).
OlvaneObject* olvane_arg(PyObject* self) {
    if (!PyObject_TypeCheck(self, &OlvaneType)) raise_cannot_convert(self, "Olvane");
    return (OlvaneObject*)self;
}
PyObject* mod_begin(PyObject*, PyObject* self) {
    return guard([&]() -> PyObject* {
        OlvaneObject* o = olvane_arg(self);
        return new_page(o->page, o->pageSize).relinquish();
    });
}
PyObject* mod_count_done(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guard([&]() -> PyObject* {
        if (nargs != 3) raise_arity("_count_done", "exactly", 3, nargs);
        OlvaneObject* o = olvane_arg(args[0]);
        if (!PyObject_TypeCheck(args[1], &PageType)) raise_cannot_convert(args[1], "Page");
        return PyBool_FromLong(apply_count(o, args[1], args[2]));
    });
}
PyObject* mod_limit(PyObject*, PyObject* self) {
    return guard([&]() -> PyObject* {
        OlvaneObject* o = olvane_arg(self);
        apply_limit(o);
        Py_INCREF(o->executor);
        return o->executor;
    });
}
PyObject* mod_deep(PyObject*, PyObject* self) {
    return guard([&]() -> PyObject* { return PyBool_FromLong(olvane_arg(self)->deep); });
}

// The coroutine body lives in Tavrik/Ext/_olvane.py.
Immortal async_execute;

PyObject* olvane_asyncExecute(PyObject* self, PyObject*) { return PyObject_CallOneArg(async_execute.get(), self); }

PyMethodDef olvane_methods[] = {
    {"filter", (PyCFunction)(void (*)(void))olvane_filter, METH_FASTCALL | METH_KEYWORDS,
     "filter($self, /, args=None)\n--\n\n"
     "\n        设置过滤条件\n\n        :param args: FilterListCell\n        :return: Olvane\n        "},
    {"orderBy", (PyCFunction)(void (*)(void))olvane_orderBy, METH_VARARGS | METH_KEYWORDS,
     "orderBy($self, /, *args)\n--\n\n"},
    {"findForeign", olvane_findForeign, METH_NOARGS, "findForeign($self, /)\n--\n\n"},
    {"setPage", (PyCFunction)(void (*)(void))olvane_setPage, METH_VARARGS | METH_KEYWORDS,
     "setPage($self, /, page, pageSize=0)\n--\n\n"
     "\n        设置分页\n\n        :param page: 当前页数\n        :param pageSize: 页面大小 默认可不传\n        "
     ":return: Olvane\n        "},
    {"execute", olvane_execute, METH_NOARGS,
     "execute($self, /)\n--\n\n"
     "\n        链式调用尽头\n        正式进行数据获取\n\n        :return: Page\n        "},
    {"_execute", olvane__execute, METH_NOARGS, nullptr},
    {"_getCount", olvane_getCount, METH_NOARGS, nullptr},
    {"_asyncExecute", olvane_asyncExecute, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

PyMethodDef module_methods[] = {{"_begin", mod_begin, METH_O, nullptr},
                                {"_count_done", (PyCFunction)(void (*)(void))mod_count_done, METH_FASTCALL, nullptr},
                                {"_limit", mod_limit, METH_O, nullptr},
                                {"_deep", mod_deep, METH_O, nullptr},
                                {nullptr, nullptr, 0, nullptr}};

PyModuleDef module_def = module_definition("Tavrik.Ext.Olvane", "Paged queries.", module_methods);

void olvane_exec(PyObject* m) {
    names.init();
    Ref flags = import_attr("sys", "flags");
    Ref optimize = getattr(flags.get(), "optimize");
    assertions_off = truthy(optimize.get());
    DictPlusType = import_type("Tavrik.Ext.Dict", "DictPlus");

    PageType.tp_name = "Tavrik.Ext.Olvane.Page";
    PageType.tp_base = DictPlusType;
    // GC support (flag, traverse, clear) is inherited from dict.
    PageType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    PageType.tp_init = page_init;
    PageType.tp_doc = page_doc;
    add_type(m, &PageType);

    OlvaneType = gc_type<OlvaneRefs>("Tavrik.Ext.Olvane.Olvane", sizeof(OlvaneObject));
    OlvaneType.tp_doc =
        "Olvane(target, page=1, pageSize=10, findForeign=False)\n--\n\n"
        "\n    分页控制器\n\n    本类支持链式调用\n    ";
    OlvaneType.tp_new = PyType_GenericNew;
    OlvaneType.tp_init = olvane_init;
    OlvaneType.tp_methods = olvane_methods;
    add_type(m, &OlvaneType);

    // Other modules' tables, after ours are published.
    BaseModelExecutorType = import_api<VantrelAPI>(TAVRIK_VANTREL_CAPSULE, 3)->BaseModelExecutorType;
    FilterListCellType = import_api<ModelPropertyAPI>(TAVRIK_MODELPROPERTY_CAPSULE, 1)->FilterListCellType;
    generator_api = import_api<GeneratorAPI>(TAVRIK_GENERATOR_CAPSULE, 3);
    db_api = import_api<DBAPI>(TAVRIK_DB_CAPSULE, 2);
    Ref dbcls = import_attr("Tavrik.DB.DB", "DB");
    add_object(m, "DB", dbcls.get());
    Ref korvid = import_attr("Tavrik.Model.Korvid", "Korvid");
    add_object(m, "Korvid", korvid.get());

    async_execute = getattr(import_private("Tavrik.Ext._olvane").get(), "async_execute");
}

}  // namespace
}  // namespace tavrik

PyMODINIT_FUNC PyInit_Olvane(void) { TAVRIK_MODULE_INIT(tavrik::module_def, tavrik::olvane_exec); }
