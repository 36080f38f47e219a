// Tavrik.Ext.Dict: DictPlus, a dict whose items are also readable and
// writable as attributes (items first).  Page derives from it.
#include <tavrik/json.hpp>
#include <tavrik/module.hpp>

namespace {

using tavrik::Immortal;
using tavrik::Ref;

Immortal s_setitem;  // interned "__setitem__"
Immortal s_getattr;  // interned "__getattr__"

PyTypeObject DictPlusType = tavrik::empty_type();

// Item under `name` as self[name] gives it (a subclass's own item access or
// __missing__ takes part); on an Exception-family error the ordinary
// attribute lookup instead.
PyObject* item_first(PyObject* self, PyObject* name) {
    PyObject* v = PyObject_GetItem(self, name);
    if (v || !PyErr_ExceptionMatches(PyExc_Exception)) return v;
    PyErr_Clear();
    return PyObject_GenericGetAttr(self, name);
}

PyObject* dp_getattro(PyObject* self, PyObject* name) {
    PyObject* v = item_first(self, name);
    // A Python subclass gets the interpreter's __getattr__ hook, which makes
    // this fallback itself; only do it when this slot is the type's own.
    if (v || Py_TYPE(self)->tp_getattro != dp_getattro || !PyErr_ExceptionMatches(PyExc_AttributeError)) return v;
    PyErr_Clear();
    return PyObject_CallMethodOneArg(self, s_getattr, name);
}

PyObject* dp_getattr(PyObject* self, PyObject* name) { return item_first(self, name); }

int dp_setattro(PyObject* self, PyObject* name, PyObject* value) {
    if (!value) return PyObject_GenericSetAttr(self, name, nullptr);
    return tavrik::guard_int([&]() -> int {
        Ref setitem = tavrik::getattr(self, s_setitem);
        PyObject* args[2] = {name, value};
        Ref r = tavrik::new_ref(PyObject_Vectorcall(setitem.get(), args, 2, nullptr));
        return 0;
    });
}

PyObject* dp_json(PyObject* self, PyObject*) {
    return tavrik::guard([&]() -> PyObject* { return tavrik::json::dumps(self).relinquish(); });
}

PyMethodDef dp_methods[] = {
    {"json", (PyCFunction)dp_json, METH_NOARGS,
     "json($self, /)\n--\n\n"
     "把本字典 (如 aggregate() 或 columns= 查询的一行) 写成 JSON 文本, 返回 UTF-8 编码的 bytes; "
     "各类型的写法与 ModelInstance.json() 相同."},
    {"__getattr__", (PyCFunction)dp_getattr, METH_O, "__getattr__($self, item, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef moduledef = tavrik::module_definition("Tavrik.Ext.Dict");

void init(PyObject* m) {
    s_setitem = tavrik::intern("__setitem__");
    s_getattr = tavrik::intern("__getattr__");
    // No fields of its own: the dict's GC support covers everything.
    DictPlusType = tavrik::builtin_subtype("Tavrik.Ext.Dict.DictPlus", &PyDict_Type);
    DictPlusType.tp_getattro = dp_getattro;
    DictPlusType.tp_setattro = dp_setattro;
    // Only a text signature (dict's own constructor has none to inherit).
    DictPlusType.tp_doc = "DictPlus(iterable=(), /, **kwargs)\n--\n\n";
    DictPlusType.tp_methods = dp_methods;
    tavrik::add_type(m, &DictPlusType);
    Ref slots = tavrik::new_ref(PyTuple_New(0));
    tavrik::type_set(&DictPlusType, "__slots__", slots.get());
}

}  // namespace

PyMODINIT_FUNC PyInit_Dict(void) { TAVRIK_MODULE_INIT(moduledef, init); }
