// BaseProperty and the column types.
#include "mp.hpp"
#include <cstddef>
#include <cstdint>

namespace tavrik {
namespace mp {

PyTypeObject BasePropertyType = empty_type();
PyTypeObject AutoIncrementType = empty_type();
PyTypeObject NullDefaultType = empty_type();
Immortal auto_increment_instance;
Immortal null_default_instance;

namespace {

struct KindInfo {
    const char* name;
    int kind;
    const char* target;  // SQL type name read by autoFiledAnnounce
    const char* pytype;  // "module.attr" of the value type
    PyTypeObject type;
};

KindInfo kinds[] = {
    {"IntProperty", PK_INT, "INT", "builtins.int", empty_type()},
    {"BigIntProperty", PK_BIGINT, "BIGINT", "builtins.int", empty_type()},
    {"FloatProperty", PK_FLOAT, "DOUBLE", "builtins.float", empty_type()},
    {"DecimalProperty", PK_DECIMAL, "DECIMAL", "decimal.Decimal", empty_type()},
    {"StrProperty", PK_STR, "VARCHAR", "builtins.str", empty_type()},
    {"TextProperty", PK_TEXT, "LONGTEXT", "builtins.str", empty_type()},
    {"BoolProperty", PK_BOOL, "TINYINT", "builtins.bool", empty_type()},
    {"DateProperty", PK_DATE, "DATE", "datetime.date", empty_type()},
    {"DateTimeProperty", PK_DATETIME, "DATETIME", "datetime.datetime", empty_type()},
    {"JsonProperty", PK_JSON, "LONGTEXT", "typing.Any", empty_type()},
    {"BytesProperty", PK_BYTES, "LONGBLOB", "builtins.bytes", empty_type()},
};
constexpr size_t NKINDS = sizeof(kinds) / sizeof(kinds[0]);
Immortal value_types[NKINDS + 1];  // [0] for BaseProperty

int kind_of(PyTypeObject* t) {
    for (; t; t = t->tp_base) {
        if (t == &BasePropertyType) return PK_BASE;
        for (size_t i = 0; i < NKINDS; i++)
            if (t == &kinds[i].type) return kinds[i].kind;
    }
    return PK_BASE;
}
const KindInfo* info_of(int kind) {
    for (size_t i = 0; i < NKINDS; i++)
        if (kinds[i].kind == kind) return &kinds[i];
    return nullptr;
}

// ------------------------------------------------------------- lifecycle

using PropRefs = Refs<BasePropertyObject, NoRefs, &BasePropertyObject::name, &BasePropertyObject::valueType,
                      &BasePropertyObject::defaultValue, &BasePropertyObject::targetType, &BasePropertyObject::typeArgs,
                      &BasePropertyObject::owner, &BasePropertyObject::extra, &BasePropertyObject::dict,
                      &BasePropertyObject::columnSql, &BasePropertyObject::column>;

int prop_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard_int([&]() -> int {
        BasePropertyObject* p = P(self);
        int kind = kind_of(Py_TYPE(self));
        PyObject* name = Py_None;
        PyObject* dflt = nullptr;
        int pk = 0, nullable = 1, unique = 0, index = 0;
        Py_ssize_t length = 255;
        int precision = 10, scale = 2;
        const KindInfo* info = info_of(kind);
        std::string fname = info ? info->name : "BaseProperty";
        // The options every kind takes, after its own leading parameters.
        auto options = [&](int i, PyObject* v) {
            switch (i) {
                case 0: name = v; break;
                case 1: pk = arg_bool(v); break;
                case 2: nullable = arg_bool(v); break;
                case 3: dflt = v; break;
                case 4: unique = arg_bool(v); break;
                case 5: index = arg_bool(v); break;
            }
        };
        if (kind == PK_STR) {
            static const char* const kw[] = {"length", "name", "primaryKey", "nullable", "default", "unique", "index"};
            PyObject* a[7];
            parse_tuple_kw(KwParams{fname.c_str(), kw, 7, 0, 1}, args, kwargs, a, [&](int i, PyObject* v) {
                if (i == 0) length = arg_ssize(v);
                options(i - 1, v);
            });
            if (length < 1 || length > 16383) {
                PyErr_Format(PyExc_ValueError, "StrProperty length must be between 1 and 16383, got %zd", length);
                throw_error();
            }
        } else if (kind == PK_DECIMAL) {
            static const char* const kw[] = {"precision", "scale",   "name",   "primaryKey",
                                             "nullable",  "default", "unique", "index"};
            PyObject* a[8];
            parse_tuple_kw(KwParams{fname.c_str(), kw, 8, 0, 2}, args, kwargs, a, [&](int i, PyObject* v) {
                if (i == 0) precision = arg_int(v);
                if (i == 1) scale = arg_int(v);
                options(i - 2, v);
            });
            if (precision < 1 || precision > 65 || scale < 0 || scale > 30 || scale > precision) {
                PyErr_Format(PyExc_ValueError,
                             "DecimalProperty needs 1 <= precision <= 65 and 0 <= scale <= min(30, precision), "
                             "got (%d, %d)",
                             precision, scale);
                throw_error();
            }
        } else {
            static const char* const kw[] = {"name", "primaryKey", "nullable", "default", "unique", "index"};
            PyObject* a[6];
            parse_tuple_kw(KwParams{fname.c_str(), kw, 6, 0, 0}, args, kwargs, a, options);
        }
        check_str_arg(name, "name");
        bool autoinc = false;
        if (dflt) {
            if (dflt == (PyObject*)&AutoIncrementType || PyObject_TypeCheck(dflt, &AutoIncrementType)) {
                autoinc = true;
                dflt = auto_increment_instance;
            } else if (dflt == (PyObject*)&NullDefaultType || PyObject_TypeCheck(dflt, &NullDefaultType)) {
                dflt = null_default_instance;
            }
        }
        if (autoinc && (!pk || (kind != PK_INT && kind != PK_BIGINT && kind != PK_BASE))) {
            PyErr_SetString(PyExc_ValueError, "AutoIncrement is only for an integer primary key");
            throw_error();
        }
        p->kind = kind;
        set_field(p->name, name == Py_None ? nullptr : name);
        set_field(p->column, nullptr);
        p->primaryKey = pk;
        p->unique = unique;
        p->index = index;
        p->nullable = pk ? 0 : nullable;
        p->hasDefault = dflt != nullptr;
        set_field(p->defaultValue, dflt);
        size_t idx = 0;
        for (size_t i = 0; i < NKINDS; i++)
            if (kinds[i].kind == kind) idx = i + 1;
        set_field(p->valueType, value_types[idx]);
        Ref target = info ? new_ref(PyUnicode_FromString(info->target)) : Ref();
        set_field(p->targetType, target.get());
        Ref targs;
        p->length = 0;
        switch (kind) {
            case PK_STR:
                targs = new_ref(Py_BuildValue("(n)", length));
                p->length = length;
                break;
            case PK_DECIMAL: targs = new_ref(Py_BuildValue("(ii)", precision, scale)); break;
            case PK_BOOL: targs = new_ref(Py_BuildValue("(i)", 1)); break;
            case PK_DATETIME: targs = new_ref(Py_BuildValue("(i)", 6)); break;
            default: targs = new_ref(PyTuple_New(0));
        }
        set_field(p->typeArgs, targs.get());
        set_field(p->columnSql, nullptr);
        return 0;
    });
}

// -------------------------------------------------------------- helpers

PyObject* table_name_of(PyObject* owner) {
    Ref t = getattr(owner, names.tableName.get());
    if (!PyUnicode_Check(t.get())) raise_expected("str", t.get());
    return t.relinquish();
}

// ------------------------------------------------------------ methods

PyObject* prop_set_name(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return guard([&]() -> PyObject* {
        if (nargs != 2) raise_arity("__set_name__", "exactly", 2, nargs);
        PyObject *owner = args[0], *name = args[1];
        BasePropertyObject* p = P(self);
        check_str_arg(name, "name", false);
        // Rows are keyed by the attribute the column is bound to; a name
        // declared with name= stays the database column's.  A column bound a
        // second time (to another model) keeps the names of its first binding.
        if (!p->owner) {
            if (p->name && PyUnicode_Compare(p->name, name) != 0) {
                if (PyErr_Occurred()) throw_error();
                if (!p->column) set_field(p->column, p->name);
            }
            set_field(p->name, name);
            if (p->column && PyUnicode_Compare(p->column, name) == 0) set_field(p->column, nullptr);
            if (PyErr_Occurred()) throw_error();
        }
        set_field(p->owner, owner);
        set_field(p->columnSql, nullptr);
        if (p->primaryKey) {
            setattr(owner, names.pkName.get(), p->name);
            setattr(owner, names.pkCol.get(), self);
        }
        // A default the column cannot hold is a declaration error.
        if (p->hasDefault && !is_sentinel(p->defaultValue)) to_db(self, p->defaultValue, true);
        Py_RETURN_NONE;
    });
}

PyObject* prop_to_obj(PyObject* self, PyObject* v) {
    return guard([&]() -> PyObject* { return to_obj(self, v).relinquish(); });
}

PyObject* make_cell(PyObject* self, PyObject* v) {
    Ref db = to_db(self, v, true);
    return PyTuple_Pack(2, self, db.get());
}

PyObject* prop_insert_cell(PyObject* self, PyObject* v) {
    return guard([&]() -> PyObject* { return Require(make_cell(self, v)); });
}

PyObject* prop_in(PyObject* self, PyObject* iterable) {
    return guard([&]() -> PyObject* {
        Ref it = new_ref(PyObject_GetIter(iterable));
        Ref values = new_ref(PyList_New(0));
        bool with_null = false;
        while (PyObject* item = PyIter_Next(it.get())) {
            Ref owned = Ref::consuming(item);
            if (item == Py_None) {
                with_null = true;
                continue;
            }
            Ref db = to_db(self, item, false);
            Require(PyList_Append(values.get(), db.get()));
        }
        if (PyErr_Occurred()) throw_error();
        Ref cell = filter_new(F_IN);
        FilterObject* f = (FilterObject*)cell.get();
        f->col = borrow(self).relinquish();
        f->value = new_ref(PyList_AsTuple(values.get())).relinquish();
        f->op = with_null ? 1 : 0;
        return cell.relinquish();
    });
}

PyObject* prop_like(PyObject* self, PyObject* pattern) {
    return guard([&]() -> PyObject* {
        check_str_arg(pattern, "pattern", false);
        Ref cell = filter_new(F_LIKE);
        FilterObject* f = (FilterObject*)cell.get();
        f->col = borrow(self).relinquish();
        f->value = borrow(pattern).relinquish();
        return cell.relinquish();
    });
}

PyObject* prop_is_null(PyObject* self, PyObject*) {
    return guard([&]() -> PyObject* { return make_compare(self, Py_None, Py_EQ).relinquish(); });
}
PyObject* prop_not_null(PyObject* self, PyObject*) {
    return guard([&]() -> PyObject* { return make_compare(self, Py_None, Py_NE).relinquish(); });
}
PyObject* prop_desc(PyObject* self, PyObject*) { return PyTuple_Pack(2, self, names.DESC.get()); }
PyObject* prop_asc(PyObject* self, PyObject*) { return PyTuple_Pack(2, self, names.ASC.get()); }

PyObject* prop_richcompare(PyObject* self, PyObject* other, int op) {
    return guard([&]() -> PyObject* { return make_compare(self, other, op).relinquish(); });
}

Py_hash_t prop_hash(PyObject* self) {
    // Identity: `==` builds a condition, so equality cannot define the hash.
    uintptr_t x = (uintptr_t)self;
    Py_hash_t h = (Py_hash_t)((x >> 4) | (x << (8 * sizeof(uintptr_t) - 4)));
    return h == -1 ? -2 : h;
}

PyObject* prop_repr(PyObject* self) {
    return guard([&]() -> PyObject* {
        BasePropertyObject* p = P(self);
        const char* tn = Py_TYPE(self)->tp_name;
        const char* dot = strrchr(tn, '.');
        tn = dot ? dot + 1 : tn;
        if (p->name) return Require(PyUnicode_FromFormat("<%s %U>", tn, p->name));
        return Require(PyUnicode_FromFormat("<%s>", tn));
    });
}

// A column is part of its model's declaration: copies share it, and pickles
// refer to it through its class.
PyObject* prop_copy(PyObject* self, PyObject*) {
    Py_INCREF(self);
    return self;
}

PyObject* prop_reduce(PyObject* self, PyObject*) {
    return guard([&]() -> PyObject* {
        PyObject* owner = P(self)->owner;
        if (owner && PyType_Check(owner)) {
            PyObject* dict = ((PyTypeObject*)owner)->tp_dict;
            PyObject *k, *v;
            Py_ssize_t pos = 0;
            while (PyDict_Next(dict, &pos, &k, &v)) {
                if (v == self) {
                    Ref getattr_fn = import_attr("builtins", "getattr");
                    return Require(Py_BuildValue("(O(OO))", getattr_fn.get(), owner, k));
                }
            }
        }
        PyErr_Format(PyExc_TypeError, "cannot pickle %R: it is not an attribute of its model class", self);
        throw_error();
    });
}

PyMethodDef prop_methods[] = {
    {"__copy__", prop_copy, METH_NOARGS, nullptr},
    {"__deepcopy__", prop_copy, METH_O, nullptr},
    {"__reduce__", prop_reduce, METH_NOARGS, nullptr},
    {"__set_name__", (PyCFunction)(void (*)(void))prop_set_name, METH_FASTCALL,
     "__set_name__($self, owner, name, /)\n--\n\n"
     "Takes the attribute name and owner."},
    {"toObjValue", prop_to_obj, METH_O,
     "toObjValue($self, value, /)\n--\n\n"
     "toObjValue(value): the column's Python value of a stored or given value."},
    {"insertCell", prop_insert_cell, METH_O,
     "insertCell($self, value, /)\n--\n\n"
     "insertCell(value): the (column, database value) cell for values()."},
    {"updateCell", prop_insert_cell, METH_O,
     "updateCell($self, value, /)\n--\n\n"
     "updateCell(value): the (column, database value) cell for set()."},
    {"in_", prop_in, METH_O,
     "in_($self, values, /)\n--\n\n"
     "in_(iterable): column IN (...); an empty iterable matches nothing."},
    {"like", prop_like, METH_O,
     "like($self, pattern, /)\n--\n\n"
     "like(pattern): column LIKE pattern."},
    {"isNull", prop_is_null, METH_NOARGS,
     "isNull($self, /)\n--\n\n"
     "isNull(): column IS NULL."},
    {"notNull", prop_not_null, METH_NOARGS,
     "notNull($self, /)\n--\n\n"
     "notNull(): column IS NOT NULL."},
    {"sum", column_sum, METH_NOARGS,
     "sum($self, /)\n--\n\n"
     "sum(): SUM of the column, for executor.aggregate; NULL (None) over no values."},
    {"avg", column_avg, METH_NOARGS,
     "avg($self, /)\n--\n\n"
     "avg(): AVG of the column: a float, a Decimal for a decimal column."},
    {"min", column_min, METH_NOARGS,
     "min($self, /)\n--\n\n"
     "min(): MIN of the column, of the column's type."},
    {"max", column_max, METH_NOARGS,
     "max($self, /)\n--\n\n"
     "max(): MAX of the column, of the column's type."},
    {"count", (PyCFunction)(void (*)(void))column_count, METH_FASTCALL | METH_KEYWORDS,
     "count($self, /, distinct=False)\n--\n\n"
     "count(distinct=False): COUNT of the column's values that are not NULL (distinct ones with "
     "distinct=True)."},
    {"desc", prop_desc, METH_NOARGS,
     "desc($self, /)\n--\n\n"
     "desc(): descending order for orderBy."},
    {"asc", prop_asc, METH_NOARGS,
     "asc($self, /)\n--\n\n"
     "asc(): ascending order for orderBy."},
    // Column[int] in a model's annotations, evaluated when the class is made.
    {"__class_getitem__", Py_GenericAlias, METH_O | METH_CLASS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// ------------------------------------------------------------ attributes

PyObject* get_name(PyObject* self, void*) { return or_none(P(self)->name); }
int set_name(PyObject* self, PyObject* v, void*) {
    return guard_int([&]() -> int {
        if (!v || v == Py_None) {
            set_field(P(self)->name, nullptr);
        } else {
            check_str_arg(v, "name", false);
            set_field(P(self)->name, v);
        }
        set_field(P(self)->columnSql, nullptr);
        return 0;
    });
}
PyObject* get_column(PyObject* self, void*) { return or_none(prop_column(self)); }
PyObject* get_unique(PyObject* self, void*) { return PyBool_FromLong(P(self)->unique); }
PyObject* get_index(PyObject* self, void*) { return PyBool_FromLong(P(self)->index); }
PyObject* get_value_type(PyObject* self, void*) { return or_none(P(self)->valueType); }
PyObject* get_nullable(PyObject* self, void*) { return PyBool_FromLong(P(self)->nullable); }
PyObject* get_pk(PyObject* self, void*) { return PyBool_FromLong(P(self)->primaryKey); }
PyObject* get_has_default(PyObject* self, void*) { return PyBool_FromLong(P(self)->hasDefault); }
PyObject* get_default(PyObject* self, void*) {
    PyObject* d = P(self)->defaultValue;
    if (!d || is_sentinel(d)) Py_RETURN_NONE;
    return copy_default(d);  // rows must not share one mutable default
}
PyObject* get_autoinc(PyObject* self, void*) {
    return PyBool_FromLong(P(self)->defaultValue == auto_increment_instance);
}
PyObject* get_target_type(PyObject* self, void*) { return or_none(P(self)->targetType); }
PyObject* get_type_args(PyObject* self, void*) { return or_none(P(self)->typeArgs); }
PyObject* get_owner(PyObject* self, void*) { return or_none(P(self)->owner); }
PyObject* get_length(PyObject* self, void*) {
    if (P(self)->length <= 0) Py_RETURN_NONE;
    return PyLong_FromSsize_t(P(self)->length);
}
PyObject* get_declared_default(PyObject* self, void*) { return or_none(P(self)->defaultValue); }

PyGetSetDef prop_getset[] = {
    {"name", get_name, set_name, "Key of the value in an instance: the attribute the column is bound to.", nullptr},
    {"column", get_column, nullptr, "Name of the database column (the name= given, else the attribute).", nullptr},
    {"unique", get_unique, nullptr, "Whether the table keeps the column's values unique.", nullptr},
    {"index", get_index, nullptr, "Whether the table indexes the column.", nullptr},
    {"valueType", get_value_type, nullptr, "Python type of the column's values.", nullptr},
    {"nullable", get_nullable, nullptr, "Whether the column may hold NULL.", nullptr},
    {"primaryKey", get_pk, nullptr, "Whether the column is the primary key.", nullptr},
    {"hasDefault", get_has_default, nullptr, "Whether a default was declared.", nullptr},
    {"Default", get_default, nullptr, "The default as a Python value (None for the sentinels).", nullptr},
    {"declaredDefault", get_declared_default, nullptr, "The default as declared (sentinels included).", nullptr},
    {"autoIncrement", get_autoinc, nullptr, "Whether the database assigns the value.", nullptr},
    {"targetType", get_target_type, nullptr, "SQL type name (MySQL spelling).", nullptr},
    {"typeArgs", get_type_args, nullptr, "Tuple of SQL type arguments.", nullptr},
    {"owner", get_owner, nullptr, "The model class that declares the column.", nullptr},
    {"length", get_length, nullptr, "Maximum length of a string column, or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ------------------------------------------------------------ sentinels

PyObject* sentinel_repr(PyObject* self) {
    return PyUnicode_FromString(Py_TYPE(self) == &AutoIncrementType ? "AutoIncrement" : "NullDefault");
}

// BaseProperty and each of its column kinds: the slots they all set (a
// static type inherits none of them before it is readied).
PyTypeObject property_type(const char* name, PyTypeObject* base) {
    PyTypeObject t = gc_type<PropRefs, PropRefs::clear, offsetof(BasePropertyObject, weaklist)>(
        name, sizeof(BasePropertyObject), Py_TPFLAGS_BASETYPE, base);
    t.tp_new = PyType_GenericNew;
    t.tp_init = prop_init;
    t.tp_hash = prop_hash;
    t.tp_richcompare = prop_richcompare;
    t.tp_as_number = &operand_number;  // Item.price * Item.qty
    return t;
}

void setup_sentinel(PyTypeObject* tp, const char* name, const char* doc) {
    tp->tp_name = name;
    tp->tp_basicsize = sizeof(PyObject);
    tp->tp_flags = Py_TPFLAGS_DEFAULT;
    tp->tp_new = PyType_GenericNew;
    tp->tp_repr = sentinel_repr;
    tp->tp_doc = doc;
}

}  // namespace

PyObject* column_in(PyObject* prop, PyObject* iterable) { return prop_in(prop, iterable); }

PyObject* column_sql_borrowed(PyObject* prop) {
    BasePropertyObject* p = P(prop);
    if (p->columnSql) return p->columnSql;
    if (!p->name) {
        PyErr_SetString(PyExc_ValueError, "the column has no name");
        throw_error();
    }
    std::string out;
    if (p->owner) {
        Ref table = Ref::consuming(table_name_of(p->owner));
        quote_ident(out, table.get());
        out += '.';
    }
    quote_ident(out, prop_column(prop));
    Ref s = new_ref(PyUnicode_DecodeUTF8(out.data(), (Py_ssize_t)out.size(), "strict"));
    p->columnSql = s.relinquish();  // dropped again by __set_name__ and name assignment
    return p->columnSql;
}

void init_property_types(PyObject* m) {
    setup_sentinel(&AutoIncrementType, "Tavrik.Model.ModelProperty.AutoIncrement",
                   "AutoIncrement()\n--\n\nDefault of a primary key that the database assigns.");
    setup_sentinel(&NullDefaultType, "Tavrik.Model.ModelProperty.NullDefault", "NullDefault()\n--\n\nDefault NULL.");
    add_type(m, &AutoIncrementType);
    add_type(m, &NullDefaultType);
    auto_increment_instance = new_ref(PyObject_CallNoArgs((PyObject*)&AutoIncrementType));
    null_default_instance = new_ref(PyObject_CallNoArgs((PyObject*)&NullDefaultType));

    PyTypeObject* tp = &BasePropertyType;
    *tp = with_slots(
        property_type("Tavrik.Model.ModelProperty.BaseProperty", nullptr),
        {"BaseProperty(*, name=None, primaryKey=False, nullable=True, default, unique=False, index=False)\n--\n\n"
         "Base of every column property.",
         prop_methods, prop_getset, nullptr, nullptr});
    tp->tp_repr = prop_repr;
    tp->tp_dictoffset = offsetof(BasePropertyObject, dict);
    add_type(m, tp);

    value_types[0] = import_attr("typing", "Any");
    // Never destroyed: the types keep pointing at their names until the
    // process ends, after any static destructor could have run.
    static std::string* names_store = new std::string[NKINDS];
    static std::string* docs_store = new std::string[NKINDS];
    for (size_t i = 0; i < NKINDS; i++) {
        const char* dot = strchr(kinds[i].pytype, '.');
        std::string mod(kinds[i].pytype, dot - kinds[i].pytype);
        value_types[i + 1] = import_attr(mod.c_str(), dot + 1);
        names_store[i] = std::string("Tavrik.Model.ModelProperty.") + kinds[i].name;
        PyTypeObject* st = &kinds[i].type;
        *st = property_type(names_store[i].c_str(), &BasePropertyType);
        // The text signature (how prop_init binds this kind's arguments) ahead
        // of the class's docstring, which is its name.
        const char* lead = kinds[i].kind == PK_STR       ? "length=255, "
                           : kinds[i].kind == PK_DECIMAL ? "precision=10, scale=2, "
                                                         : "";
        docs_store[i] = std::string(kinds[i].name) + "(" + lead +
                        "*, name=None, primaryKey=False, nullable=True, default, unique=False, index=False)\n--\n\n" +
                        kinds[i].name;
        st->tp_doc = docs_store[i].c_str();
        add_type(m, st);
    }
}

}  // namespace mp
}  // namespace tavrik
