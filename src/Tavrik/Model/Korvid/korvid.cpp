// _Korvid, the metaclass _KorvidMeta, Korvid and MiddleKorvid.
//
// The metaclass, Korvid and MiddleKorvid are ordinary classes; they are made
// here with type() from namespaces of C functions, so the table-name rule
// stays a C++ function that Python cannot reach.
#include "korvid_internal.hpp"

#include <vector>

namespace tavrik {
namespace korvid {

PyTypeObject KorvidBaseType = empty_type();

namespace {

const char kModuleName[] = "Tavrik.Model.Korvid";

// ------------------------------------------------------------ _Korvid

inline KorvidObject* KO(PyObject* o) { return (KorvidObject*)o; }

PyObject* kb_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    PyObject** fields[] = {&KO(self)->col, &KO(self)->mapping, &KO(self)->modelInstance, &KO(self)->tableName};
    for (PyObject** f : fields) {
        Py_INCREF(Py_None);
        *f = Py_None;
    }
    return self;
}

using KorvidRefs = Refs<KorvidObject, NoRefs, &KorvidObject::col, &KorvidObject::mapping, &KorvidObject::modelInstance,
                        &KorvidObject::tableName>;

PyObject* kb_get_tableName(PyObject* self, void*) { return or_none(KO(self)->tableName); }

int kb_set_tableName(PyObject* self, PyObject* value, void*) {
    return guard_int([&]() -> int {
        if (!value) value = Py_None;
        if (value != Py_None && !PyUnicode_Check(value)) raise_expected("str", value);
        Py_INCREF(value);
        Py_XSETREF(KO(self)->tableName, value);
        return 0;
    });
}

// _Korvid.instanceBuilder(cls, *args, **kwargs): cls.modelInstance(...)
PyObject* kb_instanceBuilder(PyObject* cls, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        Ref inst_cls = getattr(cls, N.modelInstance);
        return call_instance_class(inst_cls.get(), args, PyVectorcall_NARGS(nargsf), kwnames);
    });
}

PyGetSetDef kb_getset[] = {
    {"tableName", kb_get_tableName, kb_set_tableName, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kb_methods[] = {
    {"instanceBuilder", (PyCFunction)(void (*)(void))kb_instanceBuilder, METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "instanceBuilder($type, /, *args, **kwargs)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// ------------------------------------------------------ table names

// Class name -> table name: drop every "Model", put "_" before each upper
// case character but the first, lower-case the whole.
Ref get_lower_case_name(PyObject* name) {
    if (!PyUnicode_Check(name)) raise_expected("str", name);
    Ref model = intern("Model");
    Ref empty = new_ref(PyUnicode_New(0, 0));
    Ref s = new_ref(PyUnicode_Replace(name, model.get(), empty.get(), -1));
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s.get());
    const int kind = PyUnicode_KIND(s.get());
    const void* data = PyUnicode_DATA(s.get());
    std::vector<Py_UCS4> out;
    out.reserve((size_t)n * 2);
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 ch = PyUnicode_READ(kind, data, i);
        if (i != 0 && Py_UNICODE_ISUPPER(ch)) out.push_back('_');
        out.push_back(ch);
    }
    Ref joined = new_ref(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, out.data(), (Py_ssize_t)out.size()));
    return new_ref(PyObject_CallMethod(joined.get(), "lower", nullptr));
}

// ---------------------------------------------------------- metaclass

// getPropertyObj(cls, attrs) -> (col, mapping, fk)
Ref property_obj(PyObject* attrs) {
    if (attrs == Py_None) raise_none_attr("items");
    if (!PyDict_Check(attrs)) raise_arg_type("attrs", "dict", attrs);
    Ref col = new_ref(PyList_New(0));
    Ref fk = new_ref(PyList_New(0));
    Ref mapping = new_ref(PyDict_New());
    Ref items = new_ref(PyDict_Items(attrs));  // a snapshot: the body dict is ours to change later
    for (Py_ssize_t i = 0, n = PyList_GET_SIZE(items.get()); i < n; ++i) {
        PyObject* pair = PyList_GET_ITEM(items.get(), i);
        PyObject* key = PyTuple_GET_ITEM(pair, 0);
        PyObject* value = PyTuple_GET_ITEM(pair, 1);
        if (!PyUnicode_Check(key)) raise_expected("str", key);
        if (PyObject_TypeCheck(value, I.BaseProperty)) {
            Require(PyList_Append(col.get(), value));
        } else if (PyObject_TypeCheck(value, I.ForeignKey)) {
            Require(PyList_Append(fk.get(), value));
        } else {
            continue;
        }
        Require(PyDict_SetItem(mapping.get(), key, value));
    }
    return new_ref(PyTuple_Pack(3, col.get(), mapping.get(), fk.get()));
}

PyObject* meta_getPropertyObj(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        static const char* const names[] = {"cls", "attrs"};
        PyObject* a[2];
        bind_args("getPropertyObj", args, nargs, kwnames, names, 2, 2, a);
        return property_obj(a[1]).relinquish();
    });
}

Ref model_instance_class(PyObject* cls, PyObject* name) {
    Ref cls_name = new_ref(PyNumber_Add(name, N.Instance));
    Ref bases = new_ref(PyTuple_Pack(1, (PyObject*)&ModelInstanceType));
    Ref ns = new_ref(PyDict_New());
    Ref temp = new_ref(PyDict_New());
    Require(PyDict_SetItem(ns.get(), N.object, cls));
    Require(PyDict_SetItemString(ns.get(), "_temp", temp.get()));
    Ref inst =
        new_ref(PyObject_CallFunctionObjArgs((PyObject*)&PyType_Type, cls_name.get(), bases.get(), ns.get(), nullptr));
    // Rows belong where their model is declared.
    if (PyType_Check(cls)) {
        PyObject* mod = dict_get(((PyTypeObject*)cls)->tp_dict, N.dunder_module);
        if (mod) setattr(inst.get(), N.dunder_module, mod);
    }
    return inst;
}

PyObject* meta_buildModelInstance(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        static const char* const names[] = {"cls", "cols", "name"};
        PyObject* a[3];
        bind_args("buildModelInstance", args, nargs, kwnames, names, 3, 3, a);
        check_arg_exact_or_sub(a[1], PyList_Check(a[1]), "cols", "list");
        check_str_arg(a[2], "name");
        return model_instance_class(a[0], a[2]).relinquish();
    });
}

Ref optional_of(PyObject* t) { return getitem(I.Optional, t); }

// The pydantic model of a relation's target.  A target named by string and
// declared later cannot be read yet (LookupError from the descriptor): its
// rows are then accepted as they are.
Ref related_pydantic_model(PyObject* fk, bool direct) {
    PyObject* target = direct ? PyObject_GetAttr(fk, N.directTarget) : PyObject_GetItem(fk, N.target);
    if (!target) {
        PyObject *t, *v, *tb;
        PyErr_Fetch(&t, &v, &tb);
        if (t != PyExc_LookupError) {
            PyErr_Restore(t, v, tb);
            throw_error();
        }
        Py_XDECREF(t);
        Py_XDECREF(v);
        Py_XDECREF(tb);
        return import_attr("typing", "Any");
    }
    Ref owned = Ref::consuming(target);
    return getattr(target, N.MODEL);
}

Ref pydantic_model(PyObject* cols, PyObject* name, PyObject* fks) {
    Ref fields = new_ref(PyDict_New());
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(cols); ++i) {
        Ref prop = Ref::owning(PyList_GET_ITEM(cols, i));
        if (!PyObject_TypeCheck(prop.get(), I.BaseProperty)) raise_cannot_convert(prop.get(), "BaseProperty");
        BasePropertyObject* bp = (BasePropertyObject*)prop.get();
        PyObject* vt = bp->valueType ? bp->valueType : Py_None;
        Ref annotation = bp->nullable ? optional_of(vt) : Ref::owning(vt);
        Ref has_default = getattr(prop.get(), N.hasDefault);
        Ref dflt = truthy(has_default.get()) ? getattr(prop.get(), N.Default) : Ref::owning(Py_Ellipsis);
        Ref field = new_ref(PyTuple_Pack(2, annotation.get(), dflt.get()));
        Require(PyDict_SetItem(fields.get(), bp->name ? bp->name : Py_None, field.get()));
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(fks); ++i) {
        Ref fk = Ref::owning(PyList_GET_ITEM(fks, i));
        Ref type = getitem(fk.get(), N.Type);
        Ref field;
        if (Require(PyObject_RichCompareBool(type.get(), I.ONE_TO_ONE, Py_EQ))) {
            Ref model = related_pydantic_model(fk.get(), false);
            field = new_ref(PyTuple_Pack(2, optional_of(model.get()).get(), Py_None));
        } else {
            Ref model = related_pydantic_model(fk.get(), true);
            Ref annotation = getitem(I.List, model.get());
            Ref empty = new_ref(PyList_New(0));
            field = new_ref(PyTuple_Pack(2, annotation.get(), empty.get()));
        }
        Ref key = getitem(fk.get(), N.name);
        Require(PyDict_SetItem(fields.get(), key.get(), field.get()));
    }
    Ref args = new_ref(PyTuple_Pack(1, name));
    Ref model = new_ref(PyObject_Call(I.create_model, args.get(), fields.get()));
    Ref ignored = call(I.pydantic_support, model.get());
    return model;
}

PyObject* meta_buildPydanticModel(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        static const char* const names[] = {"cls", "cols", "name", "fk"};
        PyObject* a[4];
        bind_args("buildPydanticModel", args, nargs, kwnames, names, 4, 4, a);
        check_arg_exact_or_sub(a[1], PyList_Check(a[1]), "cols", "list");
        check_str_arg(a[2], "name");
        check_arg_exact_or_sub(a[3], PyList_Check(a[3]), "fk", "list");
        if (a[1] == Py_None || a[3] == Py_None) {
            PyErr_SetString(PyExc_TypeError, "'NoneType' object is not iterable");
            throw_error();
        }
        return pydantic_model(a[1], a[2], a[3]).relinquish();
    });
}

// A model has at most one primary-key column: rows are found, updated and
// deleted by that one key, so a second key column would be silently ignored
// and an operation on one row would reach every row sharing the first.
void refuse_composite_key(PyObject* name, PyObject* mapping) {
    if (!PyDict_Check(mapping)) return;
    Ref keys = new_ref(PyList_New(0));
    Ref props = new_ref(PyList_New(0));
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(mapping, &pos, &key, &value)) {
        if (!PyObject_TypeCheck(value, I.BaseProperty) || !((BasePropertyObject*)value)->primaryKey) continue;
        // One property bound to two names is one column.
        bool again = false;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(props.get()); ++i)
            again = again || PyList_GET_ITEM(props.get(), i) == value;
        if (again) continue;
        Require(PyList_Append(props.get(), value));
        Require(PyList_Append(keys.get(), key));
    }
    if (PyList_GET_SIZE(keys.get()) < 2) return;
    Ref sep = new_ref(PyUnicode_FromString(", "));
    Ref joined = new_ref(PyUnicode_Join(sep.get(), keys.get()));
    Ref head = new_ref(PyUnicode_FromString("模型"));
    Ref mid = new_ref(PyUnicode_FromString("声明了多个主键字段("));
    Ref tail = new_ref(PyUnicode_FromString(")，不支持复合主键：每个模型只能有一个主键字段"));
    Ref msg = new_ref(PyUnicode_FromFormat("%U%S%U%U%U", head.get(), name, mid.get(), joined.get(), tail.get()));
    PyErr_SetObject(PyExc_TypeError, msg.get());
    throw_error();
}

// _KorvidMeta.__new__(cls, name, bases, attrs, **kwargs)
PyObject* meta_new(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        static const char* const names[] = {"cls", "name", "bases", "attrs"};
        PyObject* a[4];
        Ref ignored_kwargs;  // class-statement keywords are accepted and dropped
        bind_args("__new__", args, nargs, kwnames, names, 4, 4, a, &ignored_kwargs);
        PyObject *cls = a[0], *name = a[1], *bases = a[2], *attrs = a[3];
        check_str_arg(name, "name");
        check_tuple_arg(bases, "bases");
        check_arg_exact_or_sub(attrs, attrs == Py_None || PyDict_Check(attrs), "attrs", "dict");
        PyObject* meta = I.KorvidMeta;

        Ref parts = new_ref(PyObject_CallMethodObjArgs(meta, N.getPropertyObj, meta, attrs, nullptr));
        if (!PyTuple_Check(parts.get()) || PyTuple_GET_SIZE(parts.get()) != 3) raise_expected("tuple", parts.get());
        Require(PyDict_SetItem(attrs, N.col, PyTuple_GET_ITEM(parts.get(), 0)));
        Require(PyDict_SetItem(attrs, N.mapping, PyTuple_GET_ITEM(parts.get(), 1)));
        Require(PyDict_SetItem(attrs, N.fk, PyTuple_GET_ITEM(parts.get(), 2)));
        refuse_composite_key(name, PyTuple_GET_ITEM(parts.get(), 1));

        Ref table = Ref::owning(dict_get(attrs, N.tableName));
        if (!table || !truthy(table.get()))
            Require(PyDict_SetItem(attrs, N.tableName, get_lower_case_name(name).get()));

        Ref klass = call(I.type_new, cls, name, bases, attrs);

        Ref model_list = getattr(meta, N.ModelList);
        if (PyList_CheckExact(model_list.get()))
            Require(PyList_Append(model_list.get(), klass.get()));
        else
            Ref r = new_ref(PyObject_CallMethod(model_list.get(), "append", "O", klass.get()));

        PyObject* col = dict_get(attrs, N.col);
        if (!col) {
            PyErr_SetObject(PyExc_KeyError, N.col);
            throw_error();
        }
        Ref col_held = Ref::owning(col);
        Ref inst = new_ref(PyObject_CallMethodObjArgs(meta, N.buildModelInstance, klass.get(), col, name, nullptr));
        setattr(klass.get(), N.modelInstance, inst.get());

        PyObject* fk = dict_get(attrs, N.fk);
        if (!fk) {
            PyErr_SetObject(PyExc_KeyError, N.fk);
            throw_error();
        }
        Ref fk_held = Ref::owning(fk);
        Ref model =
            new_ref(PyObject_CallMethodObjArgs(meta, N.buildPydanticModel, klass.get(), col, name, fk, nullptr));
        setattr(klass.get(), N.MODEL, model.get());
        return klass.relinquish();
    });
}

// ------------------------------------------------------------- Korvid

// Korvid.__new__(cls, *args, **kwargs): cls.instanceBuilder(*args, **kwargs)
PyObject* korvid_new(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        if (nargs < 1) raise_arity("__new__", "at least", 1, nargs);
        Ref res = new_ref(PyObject_VectorcallMethod(N.instanceBuilder, args, (size_t)nargs, kwnames));
        check_builder_result(res.get());
        return res.relinquish();
    });
}

PyObject* work_arg(const char* func, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"work"};
    PyObject* a[1];
    bind_args(func, args, nargs, kwnames, names, 1, 0, a);
    return a[0] ? a[0] : Py_None;
}

bool db_is_async() { return Require(I.db->handle_is_async()) != 0; }

PyObject* korvid_getExecutor(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        PyObject* work = work_arg("getExecutor", args, nargs, kwnames);
        if (db_is_async()) {
            PyObject* call_args[2] = {cls, work};
            return PyObject_VectorcallMethod(N.getAsyncExecutor, call_args, 2, nullptr);
        }
        return call((PyObject*)I.ModelExecutor, cls, work).relinquish();
    });
}

// The synchronous executor, for code that knows its road (and whose type
// checker should too).  On an asynchronous connector its statements would
// hand back awaitables nobody awaits: refused instead.
PyObject* korvid_getSyncExecutor(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        PyObject* work = work_arg("getSyncExecutor", args, nargs, kwnames);
        if (db_is_async()) {
            PyErr_SetString(PyExc_TypeError, "数据库连接器是异步的, 同步执行器无法使用: 请用 getAsyncExecutor()");
            throw_error();
        }
        return call((PyObject*)I.ModelExecutor, cls, work).relinquish();
    });
}

PyObject* korvid_getAsyncExecutor(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        PyObject* work = work_arg("getAsyncExecutor", args, nargs, kwnames);
        return call((PyObject*)I.AsyncModelExecutor, cls, work).relinquish();
    });
}

// ------------------------------------------------------- MiddleKorvid

PyObject* middle_instanceBuilder(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) { Py_RETURN_NONE; }

// Calling a junction class gives None; this builds its row, as calling any
// other model class does.
PyObject* middle_buildRow(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        Ref inst_cls = getattr(cls, N.modelInstance);
        return call_instance_class(inst_cls.get(), args, nargs, kwnames);
    });
}

PyObject* model_arg(const char* func, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"model"};
    PyObject* a[1];
    bind_args(func, args, nargs, kwnames, names, 1, 1, a);
    return a[0];
}

PyObject* middle_getOtherFkBy(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        PyObject* model = model_arg("getOtherFkBy", args, nargs, kwnames);
        Ref fks = getattr(cls, N.fk);
        Ref first = new_ref(PySequence_GetItem(fks.get(), 0));
        Ref target = getattr(first.get(), N.target);
        if (target.get() == model) return PySequence_GetItem(fks.get(), 1);
        return first.relinquish();
    });
}

PyObject* middle_getOtherModelBy(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        PyObject* model = model_arg("getOtherModelBy", args, nargs, kwnames);
        PyObject* call_args[2] = {cls, model};
        Ref fk = new_ref(PyObject_VectorcallMethod(N.getOtherFkBy, call_args, 2, nullptr));
        return getattr(fk.get(), N.target).relinquish();
    });
}

#define FASTKW(f) (PyCFunction)(void (*)(void))(f), METH_FASTCALL | METH_KEYWORDS

PyMethodDef meta_defs[] = {
    {"__new__", FASTKW(meta_new), "__new__(cls, name, bases, attrs, **kwargs)\n--\n\n"},
    {"buildModelInstance", FASTKW(meta_buildModelInstance), "buildModelInstance(cls, cols, name)\n--\n\n"},
    {"buildPydanticModel", FASTKW(meta_buildPydanticModel), "buildPydanticModel(cls, cols, name, fk)\n--\n\n"},
    {"getPropertyObj", FASTKW(meta_getPropertyObj), "getPropertyObj(cls, attrs)\n--\n\n"},
};
PyMethodDef korvid_new_def = {"__new__", FASTKW(korvid_new), "__new__(cls, /, *args, **kwargs)\n--\n\n"};
PyMethodDef korvid_getAsyncExecutor_def = {"getAsyncExecutor", FASTKW(korvid_getAsyncExecutor),
                                           "getAsyncExecutor($type, /, work=None)\n--\n\n"};
PyMethodDef korvid_getExecutor_def = {"getExecutor", FASTKW(korvid_getExecutor),
                                      "getExecutor($type, /, work=None)\n--\n\n"};
PyMethodDef korvid_getSyncExecutor_def = {"getSyncExecutor", FASTKW(korvid_getSyncExecutor),
                                          "getSyncExecutor($type, /, work=None)\n--\n\n"};
PyMethodDef middle_defs[] = {
    {"instanceBuilder", FASTKW(middle_instanceBuilder), "instanceBuilder($type, /, *args, **kwargs)\n--\n\n"},
    {"buildRow", FASTKW(middle_buildRow), "buildRow($type, /, *args, check=True, **kwargs)\n--\n\n"},
    {"getOtherFkBy", FASTKW(middle_getOtherFkBy), "getOtherFkBy($type, /, model)\n--\n\n"},
    {"getOtherModelBy", FASTKW(middle_getOtherModelBy), "getOtherModelBy($type, /, model)\n--\n\n"},
};

Ref builtin(PyMethodDef* def) {
    Ref modname = new_ref(PyUnicode_FromString(kModuleName));
    return new_ref(PyCFunction_NewEx(def, nullptr, modname.get()));
}
Ref static_method(PyMethodDef* def) { return new_ref(PyStaticMethod_New(builtin(def).get())); }
Ref class_method(PyMethodDef* def) { return new_ref(PyDescr_NewClassMethod(&KorvidBaseType, def)); }

Ref new_namespace(const char* qualname, const char* doc) {
    Ref ns = new_ref(PyDict_New());
    Require(PyDict_SetItemString(ns.get(), "__module__", new_ref(PyUnicode_FromString(kModuleName)).get()));
    Require(PyDict_SetItemString(ns.get(), "__qualname__", new_ref(PyUnicode_FromString(qualname)).get()));
    if (doc) Require(PyDict_SetItemString(ns.get(), "__doc__", new_ref(PyUnicode_FromString(doc)).get()));
    return ns;
}

Ref make_class(PyObject* meta, const char* name, PyObject* bases, PyObject* ns) {
    Ref n = new_ref(PyUnicode_FromString(name));
    return new_ref(PyObject_CallFunctionObjArgs(meta, n.get(), bases, ns, nullptr));
}

const char kMetaDoc[] =
    "\n"
    "        数据模型元类\n"
    "        在生成数据模型子类时，将会在这对模型进行预处理操作";

const char kKorvidDoc[] =
    "\n"
    "    本类为无实例类，无法实例化\n"
    "    在调用本类的实例化方法时，将会创建本类相对应的模型实例类的实例即\n"
    "\n"
    "    isinstance(Korvid(), Korvid) -> False\n"
    "    isinstance(Korvid(), ModelInstance) -> True\n"
    "\n"
    "    模型实例类 与 模型类 与 模型实例之间的关系需要注意";

const char kModelInstanceDoc[] =
    "ModelInstance(*args, check=True, **kwargs)\n--\n\n"
    "\n"
    "    模型实例基类\n"
    "    其子类会在Korvid被创建之时自动创建并继承此类\n"
    "    本类及其子类需要通过实例化模型类时实例化\n"
    "\n"
    "    本类继承自字典《dict》实例拥有字典的所有能力\n"
    "    遇到";

const char kRowJsonDoc[] =
    "json($self, /)\n--\n\n"
    "把本行写成 JSON 文本, 返回 UTF-8 编码的 bytes, 可直接作为 Web 响应的内容.\n"
    "键为属性名; None -> null, bool, int (任意大小, 精确), float (最短的 repr 形式; NaN 与无穷大引发 "
    "ValueError), str (转义引号, 反斜杠与控制字符, 非 ASCII 字符写作 UTF-8; 单独的代理字符引发 "
    "ValueError), datetime/date/time 写作 isoformat() 的 ISO 8601 文本 (保留时区偏移), Decimal 写作字符串 "
    "(精确), bytes 写作 base64 (标准字母表, 带填充), JSON 列的 dict/list 递归写出, 已加载的关联行写作对象/数组.\n"
    "其他类型引发 TypeError (指明类型与键); 嵌套超过 128 层 (循环引用) 引发 ValueError.";

const char kRowsJsonDoc[] =
    "json($self, /)\n--\n\n"
    "把这些行写成一个 JSON 数组 (每行的写法同 ModelInstance.json()), 返回 UTF-8 编码的 bytes.";

PyMethodDef instance_methods[] = {
    {"json", (PyCFunction)rows_json, METH_NOARGS, kRowJsonDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef list_methods[] = {
    {"json", (PyCFunction)rows_json, METH_NOARGS, kRowsJsonDoc},
    {nullptr, nullptr, 0, nullptr},
};

const char kInstanceListDoc[] =
    "\n"
    "    实例列表，内部只有一种对象，就是模型实例的实例";

}  // namespace

void ready_types(PyObject* m) {
    KorvidBaseType = gc_type<KorvidRefs>("Tavrik.Model.Korvid._Korvid", sizeof(KorvidObject));
    KorvidBaseType.tp_new = kb_new;
    KorvidBaseType.tp_getset = kb_getset;
    KorvidBaseType.tp_methods = kb_methods;
    // Only a text signature: calling a model class (found through this base
    // by inspect) builds a row from a mapping and keyword values.
    KorvidBaseType.tp_doc = "_Korvid(*args, check=True, **kwargs)\n--\n\n";
    add_type(m, &KorvidBaseType);
    I.instance_builder_descr = borrow(dict_get(KorvidBaseType.tp_dict, N.instanceBuilder));

    InstanceListType = builtin_subtype("Tavrik.Model.Korvid.InstanceList", &PyList_Type);
    InstanceListType.tp_doc = kInstanceListDoc;
    InstanceListType.tp_methods = list_methods;
    add_type(m, &InstanceListType);

    ModelInstanceType = builtin_subtype("Tavrik.Model.Korvid.ModelInstance", &PyDict_Type, sizeof(ModelInstanceObject));
    ModelInstanceType.tp_new = mi_new;
    ModelInstanceType.tp_init = mi_init;
    ModelInstanceType.tp_getattro = mi_getattro;
    ModelInstanceType.tp_doc = kModelInstanceDoc;
    ModelInstanceType.tp_methods = instance_methods;
    set_instance_slots(&ModelInstanceType);
    add_type(m, &ModelInstanceType);
}

void create_meta(PyObject* m) {
    Ref ns = new_namespace("_KorvidMeta", kMetaDoc);
    Ref model_list = new_ref(PyList_New(0));
    Require(PyDict_SetItem(ns.get(), N.ModelList, model_list.get()));
    for (PyMethodDef& def : meta_defs) Require(PyDict_SetItemString(ns.get(), def.ml_name, static_method(&def).get()));
    Ref bases = new_ref(PyTuple_Pack(1, (PyObject*)&PyType_Type));
    Ref meta = make_class((PyObject*)&PyType_Type, "_KorvidMeta", bases.get(), ns.get());
    // Model classes are called once per row built: a call slot of our own
    // (inherited by every model class's metaclass) skips the generic road.
    PyTypeObject* mt = (PyTypeObject*)meta.get();
    mt->tp_call = meta_call;
    mt->tp_flags &= ~Py_TPFLAGS_HAVE_VECTORCALL;
    PyType_Modified(mt);
    add_object(m, "_KorvidMeta", meta.get());
    I.KorvidMeta = meta;
}

void create_korvid_classes(PyObject* m) {
    Ref ns = new_namespace("Korvid", kKorvidDoc);
    Ref new_sm = static_method(&korvid_new_def);
    Require(PyDict_SetItem(ns.get(), N.dunder_new, new_sm.get()));
    Require(PyDict_SetItemString(ns.get(), "getAsyncExecutor", class_method(&korvid_getAsyncExecutor_def).get()));
    Require(PyDict_SetItemString(ns.get(), "getExecutor", class_method(&korvid_getExecutor_def).get()));
    Require(PyDict_SetItemString(ns.get(), "getSyncExecutor", class_method(&korvid_getSyncExecutor_def).get()));
    // The request and response schemas are built once per class and read
    // no row: they are Python (Tavrik/Model/_schemas.py), bound as classmethods.
    Ref schemas = import_private("Tavrik.Model._schemas");
    for (const char* fn : {"createSchema", "updateSchema", "readSchema"}) {
        Ref f = getattr(schemas.get(), fn);
        Ref cm = new_ref(PyClassMethod_New(f.get()));
        Require(PyDict_SetItemString(ns.get(), fn, cm.get()));
    }
    Require(PyDict_SetItemString(ns.get(), "_db", (PyObject*)I.DBType));
    Require(PyDict_SetItemString(ns.get(), "pkName", Py_None));
    Require(PyDict_SetItemString(ns.get(), "pkCol", Py_None));
    Ref bases = new_ref(PyTuple_Pack(1, (PyObject*)&KorvidBaseType));
    Ref korvid = make_class(I.KorvidMeta, "Korvid", bases.get(), ns.get());
    add_object(m, "Korvid", korvid.get());
    I.korvid_new_sm = new_sm;
    I.Korvid = korvid;

    Ref mns = new_namespace("MiddleKorvid", nullptr);
    for (PyMethodDef& def : middle_defs)
        Require(PyDict_SetItemString(mns.get(), def.ml_name, class_method(&def).get()));
    Ref mbases = new_ref(PyTuple_Pack(1, korvid.get()));
    Ref middle = make_class(I.KorvidMeta, "MiddleKorvid", mbases.get(), mns.get());
    add_object(m, "MiddleKorvid", middle.get());
    I.MiddleKorvid = middle;
    I.middle_builder_descr = borrow(dict_get(((PyTypeObject*)middle.get())->tp_dict, N.instanceBuilder));
}

}  // namespace korvid
}  // namespace tavrik
