// Static extension types whose objects hold Python references.
//
// The fields an object owns are named once, in a `Refs` list; the GC's
// traverse and clear slots and the dealloc that goes with them are made from
// that list, so a field added to a layout cannot be forgotten in one of them.
#pragma once
#include "ref.hpp"
#include <initializer_list>

namespace tavrik {

inline void clear_ref(PyObject*& field) noexcept { Py_CLEAR(field); }

// A type object with its head and every slot empty, to be filled before
// PyType_Ready.  Brace-initialising only the head would leave every other
// slot to -Wmissing-field-initializers.
inline PyTypeObject empty_type() noexcept {
    PyVarObject head[] = {PyVarObject_HEAD_INIT(nullptr, 0)};
    PyTypeObject t{};
    t.ob_base = head[0];
    return t;
}

// The head of a static type whose objects hold no Python references.
inline PyTypeObject plain_type(const char* name, Py_ssize_t basicsize = 0) noexcept {
    PyTypeObject t = empty_type();
    t.tp_name = name;
    t.tp_basicsize = basicsize;
    return t;
}

// The end of a chain of layouts: nothing more to visit or clear.
struct NoRefs {
    static int traverse(PyObject*, visitproc, void*) { return 0; }
    static int clear(PyObject*) { return 0; }
};

// The end of a chain for a subclass of a built-in GC type (dict, list):
// the base's own slots visit and clear what it holds.
template <PyTypeObject* Builtin>
struct BuiltinRefs {
    static int traverse(PyObject* self, visitproc visit, void* arg) { return Builtin->tp_traverse(self, visit, arg); }
    static int clear(PyObject* self) { return Builtin->tp_clear(self); }
};

// The references held by the fields `Fields` of layout `T`; `Base` is the
// list of the layout `T` begins with (a base type's), visited after them.
template <class T, class Base, PyObject* T::*... Fields>
struct Refs {
    static int traverse(PyObject* self, visitproc visit, void* arg) {
        T* o = (T*)self;
        for (PyObject* field : {o->*Fields...}) Py_VISIT(field);
        return Base::traverse(self, visit, arg);
    }
    static int clear(PyObject* self) {
        clear_own(self);
        return Base::clear(self);
    }
    // These fields only, for a dealloc that hands the rest to its base's.
    static void clear_own(PyObject* self) noexcept {
        T* o = (T*)self;
        (clear_ref(o->*Fields), ...);
    }
};

// Untracks the object, drops its weak references (when the layout keeps a
// list at `WeakOffset`), releases what it holds through `Clear` and frees it.
template <inquiry Clear, Py_ssize_t WeakOffset = 0>
void gc_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    if (WeakOffset && *(PyObject**)((char*)self + WeakOffset)) PyObject_ClearWeakRefs(self);
    Clear(self);
    Py_TYPE(self)->tp_free(self);
}

// The head of a static GC type: its name and layout, the GC slots of `R`
// (or its own `Clear` where releasing does more than drop the fields), and
// the weak reference list at `WeakOffset` if any.  `flags` are added to the
// default ones.
template <class R, inquiry Clear = R::clear, Py_ssize_t WeakOffset = 0>
PyTypeObject gc_type(const char* name, Py_ssize_t basicsize, unsigned long flags = Py_TPFLAGS_BASETYPE,
                     PyTypeObject* base = nullptr) {
    PyTypeObject t = empty_type();
    t.tp_name = name;
    t.tp_basicsize = basicsize;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | flags;
    t.tp_base = base;
    t.tp_traverse = R::traverse;
    t.tp_clear = Clear;
    t.tp_dealloc = gc_dealloc<Clear, WeakOffset>;
    t.tp_weaklistoffset = WeakOffset;
    return t;
}

// What a class definition fills in after the type's head (NULL: left as
// the head has it).
struct ClassSlots {
    const char* doc;
    PyMethodDef* methods;
    PyGetSetDef* getset;
    initproc init;
    newfunc make;  // tp_new
};

inline PyTypeObject with_slots(PyTypeObject t, const ClassSlots& s) noexcept {
    t.tp_doc = s.doc;
    if (s.methods) t.tp_methods = s.methods;
    if (s.getset) t.tp_getset = s.getset;
    if (s.init) t.tp_init = s.init;
    if (s.make) t.tp_new = s.make;
    return t;
}

// The head of a static subclass of a built-in GC type (list, dict): the
// base's layout (or a larger one) and the base's GC slots, which cover
// every field the subclass does not add.
inline PyTypeObject builtin_subtype(const char* name, PyTypeObject* base, Py_ssize_t basicsize = 0) {
    PyTypeObject t = empty_type();
    t.tp_name = name;
    t.tp_basicsize = basicsize ? basicsize : base->tp_basicsize;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    t.tp_base = base;
    t.tp_traverse = base->tp_traverse;
    t.tp_clear = base->tp_clear;
    return t;
}

}  // namespace tavrik
