// ModelInstance (the row base class) and InstanceList.  Building rows is the
// per-row hot path: exact-type fast paths, names interned at init, the column
// conversion called through ModelProperty's operation table.
#include "korvid_internal.hpp"

#include <tavrik/json.hpp>
#include <vector>

namespace tavrik {
namespace korvid {

PyTypeObject ModelInstanceType = empty_type();
PyTypeObject InstanceListType = empty_type();

namespace {

inline ModelInstanceObject* MI(PyObject* o) { return (ModelInstanceObject*)o; }

// ---------------------------------------------------------------- helpers

// True when the property's class converts through ModelProperty's own C
// conversion (its toObjValue is not replaced in Python).
bool c_conversion(PyTypeObject* t) {
    if (!(t->tp_flags & Py_TPFLAGS_HEAPTYPE)) return true;
    PyObject* f = mro_lookup(t, N.toObjValue);
    return f && Py_IS_TYPE(f, &PyMethodDescr_Type);
}

Ref to_obj_value(PyObject* prop, PyObject* value) {
    PyTypeObject* t = Py_TYPE(prop);
    if (PyType_IsSubtype(t, I.BaseProperty) && c_conversion(t)) return new_ref(I.mp->to_obj_value(prop, value));
    return new_ref(PyObject_CallMethodOneArg(prop, N.toObjValue, value));
}

// The converted default of a column.  A mutable default object handed back
// as it is gets copied, so rows never share (and corrupt) one container.
Ref default_value(PyObject* prop) {
    PyTypeObject* t = Py_TYPE(prop);
    Ref dflt;
    Ref v;
    if (PyType_IsSubtype(t, I.BaseProperty) && c_conversion(t)) {
        PyObject* d = ((BasePropertyObject*)prop)->defaultValue;
        dflt = Ref::owning(d ? d : Py_None);
        v = new_ref(I.mp->to_obj_value(prop, dflt.get()));
    } else {
        dflt = getattr(prop, N.Default);
        v = new_ref(PyObject_CallMethodOneArg(prop, N.toObjValue, dflt.get()));
    }
    if (v.get() == dflt.get() &&
        (PyList_Check(v.get()) || PyDict_Check(v.get()) || PySet_Check(v.get()) || PyByteArray_Check(v.get())))
        v = call(I.deepcopy, v.get());
    return v;
}

// Key under which a column's default is stored: the property's name.
Ref default_key(PyObject* prop, PyObject* key) {
    if (PyObject_TypeCheck(prop, I.BaseProperty)) {
        PyObject* n = ((BasePropertyObject*)prop)->name;
        if (n && PyUnicode_Check(n)) return Ref::owning(n);
    }
    Ref n = getattr(prop, N.name);
    return n.get() == Py_None ? Ref::owning(key) : n;
}

// target(value, check=check)
Ref build_related(PyObject* target, PyObject* value, PyObject* checkobj) {
    PyObject* args[2] = {value, checkobj};
    return new_ref(PyObject_Vectorcall(target, args, 1, N.check_kwnames));
}

Ref build_related_list(PyObject* target, PyObject* values, PyObject* checkobj) {
    Ref out = new_ref(PyList_New(0));
    Ref it = new_ref(PyObject_GetIter(values));
    while (PyObject* e = PyIter_Next(it.get())) {
        Ref item = Ref::consuming(e);
        Ref row = build_related(target, item.get(), checkobj);
        Require(PyList_Append(out.get(), row.get()));
    }
    if (PyErr_Occurred()) throw_error();
    return out;
}

class RowWriter {
public:
    explicit RowWriter(PyObject* self)
        : self_(self),
          plain_(Py_TYPE(self)->tp_as_mapping->mp_ass_subscript == PyDict_Type.tp_as_mapping->mp_ass_subscript) {}
    void set(PyObject* key, PyObject* value) {
        Require(plain_ ? PyDict_SetItem(self_, key, value) : PyObject_SetItem(self_, key, value));
    }
    // Items go in as into a plain dict: nothing else runs on the way.
    bool plain() const { return plain_; }

private:
    PyObject* self_;
    bool plain_;
};

// The model class of a row being filled.  Read from the row's class, not
// item-first: a row built from pairs that include a key "object" (a column of
// that name in a fetched row) must still find its model.
Ref row_model(PyObject* self) { return new_ref(PyObject_GenericGetAttr(self, N.object)); }

}  // namespace

// ------------------------------------------------------------- the fill

// One entry of the model's mapping: `v` is the data's value under the key
// (NULL when the data does not hold it).
static void fill_entry(RowWriter& row, PyObject* self, PyObject* k, PyObject* p, bool is_fk, PyObject* v, bool check,
                       PyObject* checkobj) {
    if (v) {
        if (is_fk && v != Py_None) {
            Ref type = getattr(p, N.Type);
            if (Require(PyObject_RichCompareBool(type.get(), I.ONE_TO_ONE, Py_EQ))) {
                Ref target = getattr(p, N.target);
                row.set(k, build_related(target.get(), v, checkobj).get());
            } else if (Require(PyObject_RichCompareBool(type.get(), I.ONE_TO_MANY, Py_EQ))) {
                Ref target = getattr(p, N.target);
                row.set(k, build_related_list(target.get(), v, checkobj).get());
            } else if (Require(PyObject_RichCompareBool(type.get(), I.MANY_TO_MANY, Py_EQ))) {
                Ref target = getattr(p, N.directTarget);
                row.set(k, build_related_list(target.get(), v, checkobj).get());
            }
        } else if (!check) {
            row.set(k, v);
        } else if (!is_fk) {
            row.set(k, to_obj_value(p, v).get());
        }
    } else if (check) {
        PyObject* cur = dict_get(self, k);
        if (cur) {
            Ref held = Ref::owning(cur);
            row.set(k, to_obj_value(p, cur).get());
        } else if (!is_fk) {
            Ref value = default_value(p);
            row.set(default_key(p, k).get(), value.get());
        }
    }
}

// A row whose keys and values are all atomic (numbers, text, None, ...)
// cannot be part of a reference cycle, so the cyclic collector need not
// follow it (the interpreter does the same for such plain dicts).  Storing a
// container in the row later tracks it again: dict insertion does that for
// every dict, subclasses included.  Rows are made by the hundred thousand,
// and collections over them were most of the cost of making them.
static bool may_be_tracked(PyObject* o) {
    return PyObject_IS_GC(o) && (!PyTuple_CheckExact(o) || PyObject_GC_IsTracked(o));
}

static void untrack_if_atomic(PyObject* self) {
    if (!PyObject_GC_IsTracked(self)) return;
    if (MI(self)->_temp && MI(self)->_temp != Py_None) return;
    PyObject** dictptr = _PyObject_GetDictPtr(self);
    if (dictptr && *dictptr) return;
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(self, &pos, &k, &v))
        if (may_be_tracked(k) || may_be_tracked(v)) return;
    PyObject_GC_UnTrack(self);
}

// Raises a TypeError for the first key of `data` that names neither an entry
// of the mapping nor a column's database name (`check` aside when the data is
// the keywords).  Only reached when a cheap count says there may be one.
static void check_keys(PyObject* model, PyObject* mapping, PyObject* data, bool keywords) {
    Ref columns = new_ref(PySet_New(nullptr));
    Py_ssize_t pos = 0;
    PyObject *k, *p;
    while (PyDict_Next(mapping, &pos, &k, &p))
        if (PyObject_TypeCheck(p, I.BaseProperty) && ((BasePropertyObject*)p)->column)
            Require(PySet_Add(columns.get(), ((BasePropertyObject*)p)->column));
    pos = 0;
    PyObject* v;
    while (PyDict_Next(data, &pos, &k, &v)) {
        if (keywords && PyUnicode_Check(k) && PyUnicode_Compare(k, N.check) == 0) continue;
        if (dict_get(mapping, k) || Require(PySet_Contains(columns.get(), k))) continue;
        // The format string of PyErr_Format must be ASCII: the text goes in as arguments.
        Ref name = getattr(model, N.dunder_name);
        Ref has_no = new_ref(PyUnicode_FromString(" 没有名为 "));
        Ref what =
            new_ref(PyUnicode_FromString(keywords ? " 的列或关系 (未知的关键字参数)" : " 的列或关系 (未知的字典键)"));
        PyErr_Format(PyExc_TypeError, "%S%U%R%U", name.get(), has_no.get(), k, what.get());
        throw_error();
    }
}

static void raise_type_error(std::initializer_list<PyObject*> parts) {
    Ref empty = new_ref(PyUnicode_New(0, 0));
    Ref list = new_ref(PyList_New(0));
    for (PyObject* p : parts) Require(PyList_Append(list.get(), p));
    Ref text = new_ref(PyUnicode_Join(empty.get(), list.get()));
    PyErr_SetObject(PyExc_TypeError, text.get());
    throw_error();
}

static void refuse_keywords_beside_data(PyObject* model, PyObject* kwargs) {
    Ref names = new_ref(PyList_New(0));
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(kwargs, &pos, &k, &v))
        if (!(PyUnicode_Check(k) && PyUnicode_Compare(k, N.check) == 0)) Require(PyList_Append(names.get(), k));
    Ref name = getattr(model, N.dunder_name);
    Ref shown = new_ref(PyObject_Repr(names.get()));
    raise_type_error({name.get(), new_ref(PyUnicode_FromString(" 的数据已由第一个位置参数给出, 关键字参数 ")).get(),
                      shown.get(), new_ref(PyUnicode_FromString(" 不会被使用")).get()});
}

// Positional arguments after the data would be ignored: refused.
static void refuse_extra_positionals(PyObject* model, Py_ssize_t nargs) {
    Ref name = getattr(model, N.dunder_name);
    Ref count = new_ref(PyUnicode_FromFormat("%zd", nargs));
    raise_type_error({name.get(), new_ref(PyUnicode_FromString(" 最多接受一个位置参数 (行的数据), 收到 ")).get(),
                      count.get(), new_ref(PyUnicode_FromString(" 个")).get()});
}

void fill_row(PyObject* self, PyObject* first, PyObject* kwargs, bool strict, Py_ssize_t nargs) {
    PyObject* c = kwargs ? dict_get(kwargs, N.check) : nullptr;
    Ref checkobj = Ref::owning(c ? c : Py_True);
    const bool check = c ? truthy(c) : true;

    Ref data = Ref::owning(kwargs);
    bool from_zip = false;
    if (first) {
        if (PyObject_TypeCheck(first, &PyZip_Type)) {
            Require(PyDict_MergeFromSeq2(self, first, 1));
            from_zip = true;
        } else if (PyDict_Check(first)) {
            data = Ref::owning(first);
        } else if (strict && first != Py_None) {
            // A mapping or pairs, as dict() takes them: ignoring them would
            // give a row of Nones that saves as such.
            Ref pairs = new_ref(PyDict_New());
            static Immortal keys_name(intern("keys"));
            const int mapping = PyObject_HasAttr(first, keys_name);
            Require(mapping ? PyDict_Merge(pairs.get(), first, 1) : PyDict_MergeFromSeq2(pairs.get(), first, 1));
            data = pairs;
        }
    }

    Ref model = row_model(self);
    if (strict && nargs > 1) refuse_extra_positionals(model.get(), nargs);
    Ref mapping = getattr(model.get(), N.mapping);
    if (!PyDict_Check(mapping.get())) raise_expected("dict", mapping.get());

    RowWriter row(self);
    Py_ssize_t pos = 0;
    Py_ssize_t found = 0;  // entries of the data the mapping consumed
    PyObject *k, *p;
    while (PyDict_Next(mapping.get(), &pos, &k, &p)) {
        // Held across the calls below, which may run arbitrary code.
        Ref key = Ref::owning(k);
        Ref prop = Ref::owning(p);
        if (!PyUnicode_Check(k)) raise_expected("str", k);
        PyObject* v = data ? dict_get(data.get(), k) : nullptr;
        // A column declared under another name may be given by that name
        // (a dict keyed by database column names, Account(owner_name=...)).
        if (!v && data && PyObject_TypeCheck(p, I.BaseProperty) && ((BasePropertyObject*)p)->column)
            v = dict_get(data.get(), ((BasePropertyObject*)p)->column);
        Ref value = Ref::owning(v);
        if (v) ++found;
        // A zip keyed by a column's database name: the item moves to the
        // attribute the row is keyed by (left there, it would save as NULL).
        if (from_zip && !v && PyObject_TypeCheck(p, I.BaseProperty) && ((BasePropertyObject*)p)->column) {
            PyObject* column = ((BasePropertyObject*)p)->column;
            PyObject* held = dict_get(self, column);
            if (held && !dict_get(self, k) && !dict_get(mapping.get(), column)) {
                Ref moved = Ref::owning(held);
                Require(PyDict_DelItem(self, column));
                row.set(k, moved.get());
            }
        }
        fill_entry(row, self, k, p, PyObject_TypeCheck(p, I.ForeignKey), v, check, checkobj.get());
    }
    // A value the caller gave under a name the model does not have would be
    // dropped silently (and saved as NULL): refuse it.  A fetched row may
    // carry more columns than the model (a join, a computed column), so rows
    // built from results are not checked.
    if (strict && data && PyDict_Check(data.get())) {
        const bool keywords = data.get() == kwargs;
        if (found < PyDict_GET_SIZE(data.get()) - (keywords && c ? 1 : 0))
            check_keys(model.get(), mapping.get(), data.get(), keywords);
        // Keywords beside a dict are not used: refused, not dropped.
        if (!keywords && kwargs && PyDict_GET_SIZE(kwargs) > (c ? 1 : 0)) {
            check_keys(model.get(), mapping.get(), kwargs, true);
            refuse_keywords_beside_data(model.get(), kwargs);
        }
    }
    untrack_if_atomic(self);
}

// ------------------------------------------------------ ModelInstance

bool is_plain_instance_class(PyObject* cls) {
    if (!PyType_Check(cls)) return false;
    PyTypeObject* t = (PyTypeObject*)cls;
    return t->tp_init == mi_init && t->tp_new == mi_new && t->tp_getattro == mi_getattro &&
           PyType_IsSubtype(t, &ModelInstanceType);
}

PyObject* mi_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    PyObject* self = PyDict_Type.tp_new(type, args, kwds);
    if (!self) return nullptr;
    Py_INCREF(Py_None);
    MI(self)->_temp = Py_None;
    return self;
}

int mi_init(PyObject* self, PyObject* args, PyObject* kwds) {
    return guard_int([&]() -> int {
        PyObject* first = PyTuple_GET_SIZE(args) > 0 ? PyTuple_GET_ITEM(args, 0) : nullptr;
        fill_row(self, first, kwds, true, PyTuple_GET_SIZE(args));
        return 0;
    });
}

void check_builder_result(PyObject* res) {
    if (res != Py_None && !PyObject_TypeCheck(res, &ModelInstanceType)) raise_cannot_convert(res, "ModelInstance");
}

PyObject* call_instance_class(PyObject* inst_cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Ref res;
    if (is_plain_instance_class(inst_cls)) {
        // The interpreter's type call without its argument tuple.
        res = new_ref(mi_new((PyTypeObject*)inst_cls, N.empty_tuple, nullptr));
        Ref kwargs;
        if (kwnames && PyTuple_GET_SIZE(kwnames)) {
            kwargs = new_ref(PyDict_New());
            for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(kwnames); i < n; ++i)
                Require(PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]));
        }
        fill_row(res.get(), nargs > 0 ? args[0] : nullptr, kwargs.get(), true, nargs);
    } else {
        res = new_ref(PyObject_Vectorcall(inst_cls, args, nargs, kwnames));
    }
    check_builder_result(res.get());
    return res.relinquish();
}

// The instance class of `model` when calling the model would build a plain
// row (nothing customised on the way), else NULL: then rows are built by
// calling the model.
PyObject* plain_instance_class_of(PyObject* model, bool results) {
    if (!PyType_Check(model) || !I.korvid_new_sm) return nullptr;
    PyTypeObject* t = (PyTypeObject*)model;
    if (mro_lookup(t, N.dunder_new) != I.korvid_new_sm) return nullptr;
    PyObject* builder = mro_lookup(t, N.instanceBuilder);
    if (builder != I.instance_builder_descr && !(results && builder == I.middle_builder_descr)) return nullptr;
    PyObject* inst_cls = mro_lookup(t, N.modelInstance);
    return inst_cls && is_plain_instance_class(inst_cls) ? inst_cls : nullptr;
}

namespace {

// What builds a result row of `model` when it is not built here: the model
// itself, or a junction model's row class, since calling a junction class
// gives None by design and a query's rows must not be Nones.
Ref result_builder(PyObject* model) {
    if (PyType_Check(model) && mro_lookup((PyTypeObject*)model, N.instanceBuilder) == I.middle_builder_descr)
        return getattr(model, N.modelInstance);
    return Ref::owning(model);
}

}  // namespace

// Calling a model class: what type.__call__ does through Korvid.__new__,
// instanceBuilder and the instance class, taken in one step when nothing on
// that road is customised (the usual case, and a per-row cost).
PyObject* meta_call(PyObject* cls, PyObject* args, PyObject* kwargs) {
    PyObject* inst_cls = guard([&]() -> PyObject* {
        PyObject* c = plain_instance_class_of(cls);
        if (!c && !PyErr_Occurred()) return Py_None;
        return c;
    });
    if (!inst_cls) return nullptr;
    if (inst_cls == Py_None) return PyType_Type.tp_call(cls, args, kwargs);
    return guard([&]() -> PyObject* {
        Ref self = new_ref(mi_new((PyTypeObject*)inst_cls, N.empty_tuple, nullptr));
        fill_row(self.get(), PyTuple_GET_SIZE(args) > 0 ? PyTuple_GET_ITEM(args, 0) : nullptr, kwargs, true,
                 PyTuple_GET_SIZE(args));
        return self.relinquish();
    });
}

namespace {

// dict(zip(names, row)): the row dictionary a connector would have made.
Ref row_dict(PyObject* names, PyObject* row) {
    Ref d = new_ref(PyDict_New());
    Py_ssize_t n = PyTuple_GET_SIZE(names);
    for (Py_ssize_t i = 0; i < n && i < PyTuple_GET_SIZE(row); i++)
        Require(PyDict_SetItem(d.get(), PyTuple_GET_ITEM(names, i), PyTuple_GET_ITEM(row, i)));
    return d;
}

// Whether the column's conversion hands `v` back as it is: a value read
// from the database that already has the column's exact type (the
// conversion's own first answers, taken here without the call).
inline bool as_read(PyObject* prop, PyObject* v) {
    if (v == Py_None) return true;
    const int kind = ((BasePropertyObject*)prop)->kind;
    PyTypeObject* t = Py_TYPE(v);
    return (t == &PyLong_Type && (kind == PK_INT || kind == PK_BIGINT)) ||
           (t == &PyUnicode_Type && (kind == PK_STR || kind == PK_TEXT)) || (t == &PyFloat_Type && kind == PK_FLOAT) ||
           (t == &PyBool_Type && kind == PK_BOOL);
}

struct PlanEntry {
    Ref key;
    Ref prop;
    Py_ssize_t idx;  // position in the row tuple, -1 when the result lacks the column
    bool direct;     // converted by ModelProperty's C conversion
    bool is_fk;
};

}  // namespace

// Appends to `out` one row of `model` per tuple of `rows`, exactly as
// model(dict(zip(names, row))) would build it, but without the intermediate
// dictionary: the row is the only dict made per fetched row.  The column
// positions are worked out once per result (a repeated name: the last wins,
// as in a row dictionary).
int build_rows(PyObject* model, PyObject* names, PyObject* rows, PyObject* out) {
    return guard_int([&]() -> int {
        if (!PyTuple_Check(names)) raise_expected("tuple", names);
        if (!PyList_Check(rows)) raise_expected("list", rows);
        PyObject* inst_cls = plain_instance_class_of(model, true);
        const Py_ssize_t nrows = PyList_GET_SIZE(rows);
        if (!inst_cls) {
            Ref builder = result_builder(model);
            for (Py_ssize_t r = 0; r < nrows; r++) {
                PyObject* row = PyList_GET_ITEM(rows, r);
                if (!PyTuple_Check(row)) raise_expected("tuple", row);
                Ref d = row_dict(names, row);
                Ref res = call(builder.get(), d.get());
                check_builder_result(res.get());
                Require(PyList_Append(out, res.get()));
            }
            return 0;
        }
        Ref mapping = getattr(model, N.mapping);
        if (!PyDict_Check(mapping.get())) raise_expected("dict", mapping.get());
        std::vector<PlanEntry> plan;
        bool keys_gc = false;
        const Py_ssize_t ncols = PyTuple_GET_SIZE(names);
        Py_ssize_t pos = 0;
        PyObject *k, *p;
        while (PyDict_Next(mapping.get(), &pos, &k, &p)) {
            if (!PyUnicode_Check(k)) raise_expected("str", k);
            Py_ssize_t idx = -1;
            for (Py_ssize_t i = ncols - 1; i >= 0; i--) {
                int eq = PyObject_RichCompareBool(PyTuple_GET_ITEM(names, i), k, Py_EQ);
                if (Require(eq)) {
                    idx = i;
                    break;
                }
            }
            const bool is_fk = PyObject_TypeCheck(p, I.ForeignKey);
            const bool direct = !is_fk && idx >= 0 && PyObject_TypeCheck(p, I.BaseProperty) && c_conversion(Py_TYPE(p));
            plan.push_back(PlanEntry{Ref::owning(k), Ref::owning(p), idx, direct, is_fk});
            if (may_be_tracked(k)) keys_gc = true;
        }
        for (Py_ssize_t r = 0; r < nrows; r++) {
            Ref row_obj = Ref::owning(PyList_GET_ITEM(rows, r));
            PyObject* row = row_obj.get();
            if (!PyTuple_Check(row)) raise_expected("tuple", row);
            const Py_ssize_t width = PyTuple_GET_SIZE(row);
            Ref self = new_ref(mi_new((PyTypeObject*)inst_cls, N.empty_tuple, nullptr));
            RowWriter writer(self.get());
            // Whether every value written is known to be atomic: then the
            // row leaves the collector without a walk over its items.
            bool atomic = writer.plain() && !keys_gc;
            for (const PlanEntry& e : plan) {
                PyObject* v = e.idx >= 0 && e.idx < width ? PyTuple_GET_ITEM(row, e.idx) : nullptr;
                if (e.direct && v) {
                    Ref conv = as_read(e.prop.get(), v) ? borrow(v) : new_ref(I.mp->to_obj_value(e.prop.get(), v));
                    // Through the row class's own item assignment, as the fill does.
                    writer.set(e.key.get(), conv.get());
                    if (atomic && may_be_tracked(conv.get())) atomic = false;
                } else if (e.is_fk && !v && !dict_get(self.get(), e.key.get())) {
                    // A relation the result does not hold, on a fresh row: the fill writes nothing.
                } else {
                    fill_entry(writer, self.get(), e.key.get(), e.prop.get(), e.is_fk, v, true, Py_True);
                    atomic = false;
                }
            }
            if (!atomic)
                untrack_if_atomic(self.get());
            else if (PyObject_GC_IsTracked(self.get()))
                PyObject_GC_UnTrack(self.get());
            Require(PyList_Append(out, self.get()));
        }
        return 0;
    });
}

PyObject* mi_getattro(PyObject* self, PyObject* name) {
    PyTypeObject* t = Py_TYPE(self);
    PyObject* v;
    if (t->tp_as_mapping->mp_subscript == PyDict_Type.tp_as_mapping->mp_subscript) {
        v = PyDict_GetItemWithError(self, name);
        if (v) {
            Py_INCREF(v);
            return v;
        }
        if (PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
            PyErr_Clear();
            return PyObject_GenericGetAttr(self, name);
        }
        // A missing item: only a __missing__ hook can still answer.
        PyObject* missing = guard([&]() -> PyObject* { return mro_lookup(t, N.dunder_missing); });
        if (!missing) {
            if (PyErr_Occurred()) return nullptr;
            return PyObject_GenericGetAttr(self, name);
        }
    }
    v = PyObject_GetItem(self, name);
    if (v || !PyErr_ExceptionMatches(PyExc_Exception)) return v;
    PyErr_Clear();
    return PyObject_GenericGetAttr(self, name);
}

namespace {

int mi_setattro(PyObject* self, PyObject* name, PyObject* value) {
    if (!value) return PyObject_GenericSetAttr(self, name, nullptr);
    return guard_int([&]() -> int {
        Ref model = new_ref(mi_getattro(self, N.object));
        Ref mapping = getattr(model.get(), N.mapping);
        int has = PyDict_Check(mapping.get()) ? PyDict_Contains(mapping.get(), name)
                                              : PySequence_Contains(mapping.get(), name);
        if (!Require(has)) {
            PyErr_SetNone(PyExc_KeyError);
            throw_error();
        }
        Require(PyObject_SetItem(self, name, value));
        return 0;
    });
}

using InstanceRefs = Refs<ModelInstanceObject, BuiltinRefs<&PyDict_Type>, &ModelInstanceObject::_temp>;

void mi_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    InstanceRefs::clear_own(self);
    PyDict_Type.tp_dealloc(self);
}

}  // namespace

// row.json() and rows.json(): the one writer of the header layer.
PyObject* rows_json(PyObject* self, PyObject*) {
    return guard([&]() -> PyObject* { return json::dumps(self).relinquish(); });
}

void set_instance_slots(PyTypeObject* tp) {
    tp->tp_setattro = mi_setattro;
    tp->tp_traverse = InstanceRefs::traverse;
    tp->tp_clear = InstanceRefs::clear;
    tp->tp_dealloc = mi_dealloc;
}

}  // namespace korvid
}  // namespace tavrik
