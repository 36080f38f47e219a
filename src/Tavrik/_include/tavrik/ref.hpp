// Owned/borrowed references and error propagation for the CPython C API.
//
// A C API failure is turned into a C++ `PyErrOccurred` exception by `Require`;
// the Python exception stays set in the interpreter.  Every Python-facing entry
// point wraps its body in `guard`, which catches and translates, so no C++
// exception ever crosses into the interpreter.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <exception>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

namespace tavrik {

// The Python error indicator is set; unwind to the nearest `guard`.
struct PyErrOccurred : std::exception {
    const char* what() const noexcept override { return "Python exception set"; }
};

[[noreturn]] inline void throw_error() { throw PyErrOccurred(); }

inline PyObject* Require(PyObject* p) {
    if (!p) throw PyErrOccurred();
    return p;
}
inline int Require(int rc) {
    if (rc < 0) throw PyErrOccurred();
    return rc;
}
inline Py_ssize_t RequireSize(Py_ssize_t n) {
    if (n < 0 && PyErr_Occurred()) throw PyErrOccurred();
    return n;
}

// A strong reference, released on destruction.  Copying adds a reference
// (each copy owns one); moving hands the one reference over.
class Ref {
public:
    Ref() noexcept : p_(nullptr) {}
    Ref(std::nullptr_t) noexcept : p_(nullptr) {}
    Ref(const Ref& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
    Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    ~Ref() { Py_XDECREF(p_); }
    Ref& operator=(const Ref& o) noexcept {
        PyObject* old = p_;
        p_ = o.p_;
        Py_XINCREF(p_);
        Py_XDECREF(old);
        return *this;
    }
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) {
            PyObject* old = p_;
            p_ = o.p_;
            o.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    // Takes over a new reference; throws if it is NULL (error set).
    static Ref consuming(PyObject* p) { return Ref(Require(p), 0); }
    // Takes over a new reference that may legitimately be NULL without error.
    static Ref consuming_nullable(PyObject* p) noexcept { return Ref(p, 0); }
    // Adds a reference to a borrowed one.
    static Ref owning(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p, 0);
    }
    PyObject* get() const noexcept { return p_; }
    PyObject* operator->() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Hands the reference back to the caller (e.g. as a return value to Python).
    PyObject* relinquish() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    void reset(PyObject* p = nullptr) noexcept {
        PyObject* old = p_;
        p_ = p;
        Py_XDECREF(old);
    }

private:
    Ref(PyObject* p, int) noexcept : p_(p) {}
    PyObject* p_;
};

inline Ref new_ref(PyObject* p) { return Ref::consuming(p); }
inline Ref borrow(PyObject* p) noexcept { return Ref::owning(p); }

// A reference owned by a C++ static (interned names, imported callables,
// module-wide caches): it lives for the life of the process and is never
// released.  Static destructors run after the interpreter has finalised, when
// touching a Python object is a use after free, so this type has none at all:
// it is trivially destructible and constant-initialised, which registers no
// exit handler.  Copying is deleted so that one cannot slip through a C
// variadic call (PyTuple_Pack, Py_BuildValue, ...ObjArgs) as a struct: pass
// `get()` there.
class Immortal {
public:
    constexpr Immortal() noexcept : p_(nullptr) {}
    // For function-local statics: takes over `r` on first use.
    explicit Immortal(Ref r) noexcept : p_(r.relinquish()) {}
    Immortal(const Immortal&) = delete;
    Immortal& operator=(const Immortal&) = delete;
    // Takes over `r`.  Set once at module init; a value it replaces is left
    // alive on purpose, since borrowed pointers to it may still be in use.
    Immortal& operator=(Ref r) noexcept {
        p_ = r.relinquish();
        return *this;
    }
    PyObject* get() const noexcept { return p_; }
    operator PyObject*() const noexcept { return p_; }

private:
    PyObject* p_;
};
static_assert(std::is_trivially_destructible<Immortal>::value, "a static Immortal must register no exit handler");

// Boundary translation: run `f`; on a C++ exception make sure a Python error is
// set and return `fail`.
template <class R, class F>
inline R guard_value(R fail, F&& f) noexcept {
    try {
        return f();
    } catch (const PyErrOccurred&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
        return fail;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return fail;
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
        return fail;
    }
}
template <class F>
inline PyObject* guard(F&& f) noexcept {
    return guard_value<PyObject*>(nullptr, std::forward<F>(f));
}
template <class F>
inline int guard_int(F&& f) noexcept {
    return guard_value<int>(-1, std::forward<F>(f));
}

// Frequently used small wrappers (each throws on failure).
inline Ref getattr(PyObject* o, PyObject* name) { return new_ref(PyObject_GetAttr(o, name)); }
inline Ref getattr(PyObject* o, const char* name) { return new_ref(PyObject_GetAttrString(o, name)); }
inline void setattr(PyObject* o, PyObject* name, PyObject* v) { Require(PyObject_SetAttr(o, name, v)); }
inline void setattr(PyObject* o, const char* name, PyObject* v) { Require(PyObject_SetAttrString(o, name, v)); }
inline Ref getitem(PyObject* o, PyObject* key) { return new_ref(PyObject_GetItem(o, key)); }
inline void setitem(PyObject* o, PyObject* key, PyObject* v) { Require(PyObject_SetItem(o, key, v)); }
inline bool truthy(PyObject* o) { return Require(PyObject_IsTrue(o)) != 0; }
// The one set of call helpers: f(*args), o.name(*args) (without making a
// bound method), and o.name(*args, **kw) from an array.  Each leaves a spare
// slot before the arguments, which PY_VECTORCALL_ARGUMENTS_OFFSET lets the
// callee use to prepend `self` without copying.
template <class... Args>
inline Ref call(PyObject* f, const Args&... args) {
    PyObject* stack[] = {nullptr, static_cast<PyObject*>(args)...};
    return new_ref(PyObject_Vectorcall(f, stack + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
template <class... Args>
inline Ref call_method(PyObject* o, PyObject* name, const Args&... args) {
    PyObject* stack[] = {nullptr, o, static_cast<PyObject*>(args)...};
    return new_ref(
        PyObject_VectorcallMethod(name, stack + 1, (1 + sizeof...(Args)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
// `nargs` positional arguments, then one value for each name of `kwnames`.
inline Ref call_method_args(PyObject* o, PyObject* name, PyObject* const* args, size_t nargs,
                            PyObject* kwnames = nullptr) {
    size_t total = nargs + (kwnames ? (size_t)PyTuple_GET_SIZE(kwnames) : 0);
    PyObject* small[16];
    std::unique_ptr<PyObject*[]> big;
    PyObject** stack = small;
    if (total + 2 > sizeof(small) / sizeof(small[0])) {
        big.reset(new PyObject*[total + 2]);
        stack = big.get();
    }
    stack[0] = nullptr;
    stack[1] = o;
    for (size_t i = 0; i < total; i++) stack[i + 2] = args[i];
    return new_ref(PyObject_VectorcallMethod(name, stack + 1, (nargs + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}
inline Ref import(const char* name) { return new_ref(PyImport_ImportModule(name)); }
inline Ref import_attr(const char* module, const char* name) {
    Ref m = import(module);
    return getattr(m.get(), name);
}
inline Ref intern(const char* s) { return new_ref(PyUnicode_InternFromString(s)); }

// A module's interned names, each written once: the module lists them as
// `#define SOME_NAMES(X) X(page) X(pageSize) ...`; SOME_NAMES(TAVRIK_NAME_FIELD)
// in a struct declares them, and SOME_NAMES(TAVRIK_NAME_INTERN) in a member
// function of it interns each as the text of its identifier.
#define TAVRIK_NAME_FIELD(id) ::tavrik::Immortal id;
#define TAVRIK_NAME_INTERN(id) id = ::tavrik::intern(#id);
// The same for names whose text cannot be an identifier (a C++ keyword, a
// dunder): `#define SOME_TEXTS(X) X(delete_, "delete") ...`.
#define TAVRIK_TEXT_FIELD(id, text) ::tavrik::Immortal id;
#define TAVRIK_TEXT_INTERN(id, text) id = ::tavrik::intern(text);

inline Ref from_long(long long v) { return new_ref(PyLong_FromLongLong(v)); }

// A field that may be NULL as Python sees it (None where unset), and back.
inline PyObject* none_if_null(PyObject* v) noexcept { return v ? v : Py_None; }
inline PyObject* null_if_none(PyObject* v) noexcept { return v == Py_None ? nullptr : v; }
// A new reference to such a field: what a getter returns.
inline PyObject* or_none(PyObject* v) noexcept {
    v = none_if_null(v);
    Py_INCREF(v);
    return v;
}

// Stores a new reference to `v` (or NULL) in an object's field, releasing
// the old value only once the field no longer points at it.
inline void set_field(PyObject*& field, PyObject* v) noexcept {
    PyObject* old = field;
    Py_XINCREF(v);
    field = v;
    Py_XDECREF(old);
}

// Borrowed dict lookup that distinguishes "missing" from "error".
inline PyObject* dict_get(PyObject* d, PyObject* key) {
    PyObject* v = PyDict_GetItemWithError(d, key);
    if (!v && PyErr_Occurred()) throw PyErrOccurred();
    return v;
}

// Puts back an error fetched before a clean-up step: when the step raised,
// its error stays and gets the fetched one as its context (as a failing
// `finally` block does); otherwise the fetched error is restored.
inline void restore_or_chain(PyObject* t, PyObject* v, PyObject* tb) noexcept {
    if (!t) return;
    if (!PyErr_Occurred()) {
        PyErr_Restore(t, v, tb);
        return;
    }
    PyErr_NormalizeException(&t, &v, &tb);
    if (tb) PyException_SetTraceback(v, tb);
    PyObject *t2, *v2, *tb2;
    PyErr_Fetch(&t2, &v2, &tb2);
    PyErr_NormalizeException(&t2, &v2, &tb2);
    PyException_SetContext(v2, v);  // takes over v
    Py_DECREF(t);
    Py_XDECREF(tb);
    PyErr_Restore(t2, v2, tb2);
}

}  // namespace tavrik
