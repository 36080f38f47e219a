// Module initialisation helpers shared by every extension module.
//
// Loading order: a module registers itself in sys.modules, readies and
// publishes its own types and capsule, and only then imports the other
// modules of the package.  Two modules that import each other therefore load
// whichever comes first.
#pragma once
#include "ref.hpp"
#include "type.hpp"
#include <cstring>
#include <memory>
#include <new>

namespace tavrik {

// A single-phase module's definition with every field given (the modules
// keep their state in statics: no size, no slots).
inline PyModuleDef module_definition(const char* name, const char* doc = nullptr, PyMethodDef* methods = nullptr) {
    return PyModuleDef{PyModuleDef_HEAD_INIT, name, doc, -1, methods, nullptr, nullptr, nullptr, nullptr};
}

// Creates the module object and makes it visible to nested imports at once.
inline Ref module_begin(PyModuleDef* def) {
    Ref m = new_ref(PyModule_Create(def));
    Require(PyDict_SetItemString(PyImport_GetModuleDict(), def->m_name, m.get()));
    return m;
}

// Removes a half-initialised module from sys.modules after a failed init.
inline void module_abort(PyModuleDef* def) noexcept {
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    PyObject* modules = PyImport_GetModuleDict();
    if (PyDict_GetItemString(modules, def->m_name)) PyDict_DelItemString(modules, def->m_name);
    PyErr_Clear();
    PyErr_Restore(t, v, tb);
}

inline void add_type(PyObject* m, PyTypeObject* tp) {
    Require(PyType_Ready(tp));
    const char* dot = std::strrchr(tp->tp_name, '.');
    const char* name = dot ? dot + 1 : tp->tp_name;
    Py_INCREF(tp);
    if (PyModule_AddObject(m, name, (PyObject*)tp) < 0) {
        Py_DECREF(tp);
        throw_error();
    }
}

inline void add_object(PyObject* m, const char* name, PyObject* o) {
    Py_INCREF(o);
    if (PyModule_AddObject(m, name, o) < 0) {
        Py_DECREF(o);
        throw_error();
    }
}

// Imports `module.name` and checks that it is a type.
inline PyTypeObject* import_type(const char* module, const char* name) {
    Ref t = import_attr(module, name);
    if (!PyType_Check(t.get())) {
        PyErr_Format(PyExc_TypeError, "%s.%s is not a type", module, name);
        throw_error();
    }
    // Types live for the life of the process (static or held by their module).
    return (PyTypeObject*)t.get();
}

// Publishes `api` as the capsule "<module>._C_API".
inline void export_api(PyObject* m, const char* capsule_name, void* api) {
    Ref cap = new_ref(PyCapsule_New(api, capsule_name, nullptr));
    add_object(m, "_C_API", cap.get());
}

// Imports a capsule table and checks its version (the first int of every table).
// The module is imported by its full name (PyCapsule_Import would read it as
// an attribute of its parent package, which is only set once the module has
// finished loading, so a module still loading could not be reached).
template <class Api>
inline Api* import_api(const char* capsule_name, int min_version) {
    const char* dot = std::strrchr(capsule_name, '.');
    if (!dot) {
        PyErr_Format(PyExc_ImportError, "bad capsule name %s", capsule_name);
        throw_error();
    }
    Ref modname = new_ref(PyUnicode_FromStringAndSize(capsule_name, dot - capsule_name));
    Ref mod = new_ref(PyImport_Import(modname.get()));
    Ref cap = getattr(mod.get(), dot + 1);
    Api* api = (Api*)PyCapsule_GetPointer(cap.get(), capsule_name);
    if (!api) throw_error();
    if (api->api_version < min_version) {
        PyErr_Format(PyExc_ImportError, "%s: API version %d, need at least %d", capsule_name, api->api_version,
                     min_version);
        throw_error();
    }
    return api;
}

// Imports the private Python module `pyname` of an extension module that is
// initialising now.  When that Python module is the one importing the
// extension (someone imported it first), it is still half-run and cannot
// give the extension its functions: a complete copy is loaded instead, and
// the import under way hands back that copy too (importlib returns whatever
// sys.modules holds for the name when the module body ends).
inline Ref import_private(const char* pyname) {
    PyObject* modules = PyImport_GetModuleDict();
    if (PyObject* existing = PyDict_GetItemString(modules, pyname)) {
        Ref spec = new_ref(PyObject_GetAttrString(existing, "__spec__"));
        int initializing = 0;
        if (spec.get() != Py_None) {
            PyObject* flag = PyObject_GetAttrString(spec.get(), "_initializing");
            if (!flag) {
                // A spec without the flag: the module is not being imported.
                if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
                PyErr_Clear();
            } else {
                Ref f = new_ref(flag);
                initializing = PyObject_IsTrue(f.get());
                if (initializing < 0) throw_error();
            }
        }
        if (initializing) Require(PyDict_DelItemString(modules, pyname));
    }
    return new_ref(PyImport_ImportModule(pyname));
}

// Imports the private Python module `pyname` that holds the parts of an
// extension module better written in Python (coroutine bodies, plain error
// classes), and publishes every name of its __all__ on the extension module
// `m`.  The published classes and functions report `m` as their module, the
// name callers import them by.  The extension module is already in
// sys.modules, so the Python module may import its C helpers from it.
inline Ref load_python(PyObject* m, const char* pyname) {
    Ref py = import_private(pyname);
    Ref names = getattr(py.get(), "__all__");
    Ref public_name = new_ref(PyModule_GetNameObject(m));
    Ref private_name = new_ref(PyUnicode_FromString(pyname));
    // In the order of definition, as a namespace lists them.
    PyObject* dict = PyModule_GetDict(py.get());
    PyObject *key, *item;
    Py_ssize_t pos = 0;
    while (PyDict_Next(dict, &pos, &key, &item)) {
        // Held: the calls below run Python code.
        Ref name = Ref::owning(key), value = Ref::owning(item);
        int listed = PySequence_Contains(names.get(), name.get());
        if (listed < 0) throw_error();
        if (!listed) continue;
        if (PyType_Check(value.get()) || PyFunction_Check(value.get())) {
            Ref owner = getattr(value.get(), "__module__");
            int same = PyObject_RichCompareBool(owner.get(), private_name.get(), Py_EQ);
            if (same < 0) throw_error();
            if (same) Require(PyObject_SetAttrString(value.get(), "__module__", public_name.get()));
        }
        Require(PyObject_SetAttr(m, name.get(), value.get()));
    }
    return py;
}

// Calls `fn(self, *args, **kwargs)` from a METH_FASTCALL | METH_KEYWORDS
// method: how an extension type's method hands over to a function of its
// private Python module (a coroutine body, say).
inline PyObject* call_with_self(PyObject* fn, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept {
    Py_ssize_t total = 1 + nargs + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
    PyObject* small[8];
    std::unique_ptr<PyObject*[]> big;
    PyObject** stack = small;
    if (total > 8) {
        big.reset(new (std::nothrow) PyObject*[total]);
        if (!big) return PyErr_NoMemory();
        stack = big.get();
    }
    stack[0] = self;
    for (Py_ssize_t i = 1; i < total; ++i) stack[i] = args[i - 1];
    return PyObject_Vectorcall(fn, stack, 1 + nargs, kwnames);
}

// Puts `value` into a static type's dict (a class attribute computed at init,
// such as __slots__) and invalidates the type's method cache.
inline void type_set(PyTypeObject* tp, const char* name, PyObject* value) {
    Require(PyDict_SetItemString(tp->tp_dict, name, value));
    PyType_Modified(tp);
}

}  // namespace tavrik

// Module init boilerplate: PyInit_X calls TAVRIK_MODULE_INIT(def, body-func).
#define TAVRIK_MODULE_INIT(def, fn)                       \
    do {                                                  \
        PyObject* _m = tavrik::guard([&]() -> PyObject* { \
            tavrik::Ref m = tavrik::module_begin(&(def)); \
            fn(m.get());                                  \
            return m.relinquish();                        \
        });                                               \
        if (!_m) tavrik::module_abort(&(def));            \
        return _m;                                        \
    } while (0)
