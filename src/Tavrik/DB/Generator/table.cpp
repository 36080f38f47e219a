// TableGenerator (CREATE TABLE in the connector's dialect) and
// CustomColAnnounce (a hand-written column declaration).
#include "gen.hpp"
#include <cmath>
#include <cstddef>
#include <cstring>

namespace tavrik {
namespace gen {

PyTypeObject TableGeneratorType = {PyVarObject_HEAD_INIT(nullptr, 0)};
PyTypeObject CustomColAnnounceType = {PyVarObject_HEAD_INIT(nullptr, 0)};

namespace {

inline TableGeneratorObject* T(PyObject* o) { return (TableGeneratorObject*)o; }
inline CustomColAnnounceObject* A(PyObject* o) { return (CustomColAnnounceObject*)o; }
inline BasePropertyObject* P(PyObject* o) { return (BasePropertyObject*)o; }

void set_field(PyObject*& field, PyObject* v) {
    PyObject* old = field;
    Py_XINCREF(v);
    field = v;
    Py_XDECREF(old);
}

// ------------------------------------------------------------ literals

void quote_text(std::string& out, PyObject* s, bool mysql) {
    Py_ssize_t n;
    const char* p = PyUnicode_AsUTF8AndSize(s, &n);
    if (!p) throw_error();
    if (memchr(p, '\0', (size_t)n)) {
        PyErr_SetString(PyExc_ValueError, "a DEFAULT text cannot contain NUL");
        throw_error();
    }
    out += '\'';
    for (Py_ssize_t i = 0; i < n; i++) {
        if (p[i] == '\'') out += '\'';
        if (mysql && p[i] == '\\') out += '\\';  // MySQL reads backslash escapes in literals
        out += p[i];
    }
    out += '\'';
}

void literal(std::string& out, PyObject* prop, PyObject* v, bool mysql) {
    if (v == Py_None) {
        out += "NULL";
    } else if (PyBool_Check(v)) {
        out += v == Py_True ? '1' : '0';
    } else if (PyLong_Check(v)) {
        // The int's own digits: a subclass's __str__ could write anything.
        Ref s = new_ref(PyLong_Type.tp_repr(v));
        append_utf8(out, s.get());
    } else if (PyFloat_Check(v)) {
        if (!std::isfinite(PyFloat_AS_DOUBLE(v))) {
            PyErr_Format(PyExc_ValueError, "column %R: a non-finite DEFAULT cannot be written", P(prop)->name);
            throw_error();
        }
        Ref s = new_ref(PyFloat_Type.tp_repr(v));
        append_utf8(out, s.get());
    } else if (PyUnicode_Check(v)) {
        quote_text(out, v, mysql);
    } else if (PyBytes_Check(v)) {
        static const char* hex = "0123456789ABCDEF";
        out += "X'";
        const unsigned char* b = (const unsigned char*)PyBytes_AS_STRING(v);
        for (Py_ssize_t i = 0; i < PyBytes_GET_SIZE(v); i++) {
            out += hex[b[i] >> 4];
            out += hex[b[i] & 15];
        }
        out += '\'';
    } else {
        PyErr_Format(PyExc_ValueError, "column %R: a DEFAULT of type %.200s cannot be written", P(prop)->name,
                     Py_TYPE(v)->tp_name);
        throw_error();
    }
}

// ------------------------------------------------------------ types

void sqlite_type(std::string& out, PyObject* prop) {
    switch (P(prop)->kind) {
        case PK_INT:
        case PK_BIGINT:
        case PK_BOOL: out += " INTEGER"; break;
        case PK_FLOAT: out += " REAL"; break;
        case PK_BYTES: out += " BLOB"; break;
        case PK_BASE: break;  // no declared type: values keep their own
        default: out += " TEXT";  // decimals too: text keeps every digit
    }
}

void mysql_type(std::string& out, PyObject* prop) {
    BasePropertyObject* p = P(prop);
    out += ' ';
    if (!p->targetType || !PyUnicode_Check(p->targetType)) {
        out += "LONGTEXT";
        return;
    }
    append_utf8(out, p->targetType);
    if (p->typeArgs && PyTuple_Check(p->typeArgs) && PyTuple_GET_SIZE(p->typeArgs)) {
        out += '(';
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(p->typeArgs); i++) {
            PyObject* a = PyTuple_GET_ITEM(p->typeArgs, i);
            if (!PyLong_Check(a)) raise_arg_type("typeArgs", "int", a);
            if (i) out += ", ";
            Ref s = new_ref(PyLong_Type.tp_repr(a));
            append_utf8(out, s.get());
        }
        out += ')';
    }
}

bool mysql_needs_expression_default(PyObject* prop) {
    int k = P(prop)->kind;
    return k == PK_TEXT || k == PK_JSON || k == PK_BYTES || k == PK_BASE;
}

Ref announce_sql(PyObject* a) {
    CustomColAnnounceObject* c = A(a);
    if (!c->name) {
        PyErr_SetString(PyExc_ValueError, "CustomColAnnounce is not initialised");
        throw_error();
    }
    std::string out;
    quote_ident(out, c->name);
    out += ' ';
    append_utf8(out, c->declaration);
    return to_str(out);
}

Ref create_sql(PyObject* self) {
    TableGeneratorObject* t = T(self);
    if (!t->model) {
        PyErr_SetString(PyExc_ValueError, "TableGenerator is not initialised");
        throw_error();
    }
    Ref holder = getattr(t->connector, names.paramsHolder.get());
    int eq = PyUnicode_Check(holder.get()) ? PyUnicode_CompareWithASCIIString(holder.get(), "?") : 1;
    bool mysql = eq != 0;
    Ref table = table_name(t->model);
    Ref cols_obj = getattr(t->model, names.col.get());
    Ref cols = new_ref(PySequence_Fast(cols_obj.get(), "col must be a sequence"));
    Py_ssize_t n = PySequence_Fast_GET_SIZE(cols.get());
    int pks = 0;
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject* p = PySequence_Fast_GET_ITEM(cols.get(), i);
        if (!PyObject_TypeCheck(p, mp_api->BasePropertyType)) raise_arg_type("col", "BaseProperty", p);
        if (!P(p)->name) {
            PyErr_SetString(PyExc_ValueError, "a column without a name");
            throw_error();
        }
        if (P(p)->primaryKey) pks++;
    }
    std::string out = "CREATE TABLE IF NOT EXISTS ";
    quote_ident(out, table.get());
    out += " (";
    bool first = true;
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject* prop = PySequence_Fast_GET_ITEM(cols.get(), i);
        BasePropertyObject* p = P(prop);
        if (!first) out += ", ";
        first = false;
        quote_ident(out, p->name);
        bool autoinc = p->defaultValue && PyObject_TypeCheck(p->defaultValue, mp_api->AutoIncrementType);
        if (autoinc) {
            if (pks != 1) {
                PyErr_Format(PyExc_ValueError, "table %R: an auto-increment key must be the only primary key",
                             table.get());
                throw_error();
            }
            Ref ann = new_ref(PyObject_CallMethodOneArg(t->connector, names.autoFiledAnnounce.get(), prop));
            if (!PyUnicode_Check(ann.get())) raise_expected("str", ann.get());
            std::string a;
            append_utf8(a, ann.get());
            while (!a.empty() && (a.back() == ' ' || a.back() == '\t')) a.pop_back();
            out += ' ';
            out += a;
            out += " PRIMARY KEY";
            continue;
        }
        if (mysql)
            mysql_type(out, prop);
        else
            sqlite_type(out, prop);
        if (!p->nullable) out += " NOT NULL";
        if (p->hasDefault && p->defaultValue) {
            bool nulldef = PyObject_TypeCheck(p->defaultValue, mp_api->NullDefaultType);
            if (nulldef) {
                if (p->nullable) out += " DEFAULT NULL";
            } else {
                Ref v = new_ref(mp_api->to_db_value(prop, p->defaultValue));
                bool expr = mysql && mysql_needs_expression_default(prop) && v.get() != Py_None;
                out += expr ? " DEFAULT (" : " DEFAULT ";
                literal(out, prop, v.get(), mysql);
                if (expr) out += ')';
            }
        }
        if (p->primaryKey && pks == 1) out += " PRIMARY KEY";
    }
    if (t->extra) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(t->extra); i++) {
            Ref a = announce_sql(PyList_GET_ITEM(t->extra, i));
            if (!first) out += ", ";
            first = false;
            append_utf8(out, a.get());
        }
    }
    if (pks > 1) {
        out += ", PRIMARY KEY (";
        bool f = true;
        for (Py_ssize_t i = 0; i < n; i++) {
            PyObject* prop = PySequence_Fast_GET_ITEM(cols.get(), i);
            if (!P(prop)->primaryKey) continue;
            if (!f) out += ", ";
            f = false;
            quote_ident(out, P(prop)->name);
        }
        out += ')';
    }
    if (first) {
        PyErr_Format(PyExc_ValueError, "table %R has no columns", table.get());
        throw_error();
    }
    out += ')';
    if (mysql) out += " ENGINE=InnoDB DEFAULT CHARSET=utf8mb4";
    return to_str(out);
}

// ------------------------------------------------------------ TableGenerator

int table_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(T(self)->model);
    Py_VISIT(T(self)->connector);
    Py_VISIT(T(self)->extra);
    return 0;
}
int table_clear(PyObject* self) {
    Py_CLEAR(T(self)->model);
    Py_CLEAR(T(self)->connector);
    Py_CLEAR(T(self)->extra);
    return 0;
}
void table_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    table_clear(self);
    Py_TYPE(self)->tp_free(self);
}
PyObject* table_new(PyTypeObject* tp, PyObject*, PyObject*) {
    PyObject* self = tp->tp_alloc(tp, 0);
    if (self) ((BaseSqlGeneratorObject*)self)->kind = SK_CUSTOM;
    return self;
}
int table_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard_int([&]() -> int {
        static const char* kw[] = {"model", "connector", nullptr};
        PyObject *model, *connector;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:TableGenerator", (char**)kw, &model, &connector))
            throw_error();
        Ref t = table_name(model);
        set_field(T(self)->model, model);
        set_field(T(self)->connector, connector);
        set_field(T(self)->extra, nullptr);
        return 0;
    });
}
PyObject* table_sql(PyObject* self, PyObject*) {
    return guard([&]() -> PyObject* { return create_sql(self).relinquish(); });
}
PyObject* table_add(PyObject* self, PyObject* a) {
    return guard([&]() -> PyObject* {
        if (!PyObject_TypeCheck(a, &CustomColAnnounceType)) raise_arg_type("announce", CustomColAnnounceType.tp_name, a);
        if (!T(self)->extra) T(self)->extra = new_ref(PyList_New(0)).relinquish();
        Require(PyList_Append(T(self)->extra, a));
        Py_INCREF(self);
        return self;
    });
}
PyObject* table_pair(PyObject* self, PyObject*) { return api_statement_pair(self); }

PyMethodDef table_methods[] = {
    {"sql", table_sql, METH_NOARGS, "sql(): CREATE TABLE IF NOT EXISTS for the model in the connector's dialect."},
    {"add", table_add, METH_O, "add(announce): appends a CustomColAnnounce column; returns self."},
    {"statementPair", table_pair, METH_NOARGS, "statementPair(): (sql(), ())."},
    {nullptr, nullptr, 0, nullptr},
};

// ------------------------------------------------------- CustomColAnnounce

int ann_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(A(self)->name);
    Py_VISIT(A(self)->declaration);
    return 0;
}
int ann_clear(PyObject* self) {
    Py_CLEAR(A(self)->name);
    Py_CLEAR(A(self)->declaration);
    return 0;
}
void ann_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    ann_clear(self);
    Py_TYPE(self)->tp_free(self);
}
int ann_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard_int([&]() -> int {
        static const char* kw[] = {"name", "declaration", nullptr};
        PyObject *name, *decl;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:CustomColAnnounce", (char**)kw, &name, &decl))
            throw_error();
        check_str_arg(name, "name", false);
        check_str_arg(decl, "declaration", false);
        Py_ssize_t n;
        const char* d = PyUnicode_AsUTF8AndSize(decl, &n);
        if (!d) throw_error();
        // A declaration is one column's text: it must not end the statement.
        if (n == 0 || memchr(d, ';', (size_t)n) || memchr(d, '\0', (size_t)n)) {
            PyErr_SetString(PyExc_ValueError, "a column declaration must be non-empty, without ';' or NUL");
            throw_error();
        }
        std::string probe;
        quote_ident(probe, name);
        set_field(A(self)->name, name);
        set_field(A(self)->declaration, decl);
        return 0;
    });
}
PyObject* ann_sql(PyObject* self, PyObject*) {
    return guard([&]() -> PyObject* { return announce_sql(self).relinquish(); });
}
PyMethodDef ann_methods[] = {
    {"sql", ann_sql, METH_NOARGS, "sql(): '`name` declaration'."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyObject* table_statement_pair(PyObject* self) {
    Ref text = create_sql(self);
    Ref empty = new_ref(PyTuple_New(0));
    return PyTuple_Pack(2, text.get(), empty.get());
}

void init_table_types(PyObject* m) {
    PyTypeObject* tp = &TableGeneratorType;
    tp->tp_name = "Tavrik.DB.Generator.TableGenerator";
    tp->tp_basicsize = sizeof(TableGeneratorObject);
    tp->tp_base = &BaseSqlGeneratorType;
    tp->tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    tp->tp_doc = "TableGenerator(model, connector): the CREATE TABLE statement of a model.";
    tp->tp_new = table_new;
    tp->tp_init = table_init;
    tp->tp_dealloc = table_dealloc;
    tp->tp_traverse = table_traverse;
    tp->tp_clear = table_clear;
    tp->tp_methods = table_methods;
    add_type(m, tp);

    tp = &CustomColAnnounceType;
    tp->tp_name = "Tavrik.DB.Generator.CustomColAnnounce";
    tp->tp_basicsize = sizeof(CustomColAnnounceObject);
    tp->tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    tp->tp_doc = "CustomColAnnounce(name, declaration): a column declared by hand for TableGenerator.add.";
    tp->tp_new = PyType_GenericNew;
    tp->tp_init = ann_init;
    tp->tp_dealloc = ann_dealloc;
    tp->tp_traverse = ann_traverse;
    tp->tp_clear = ann_clear;
    tp->tp_methods = ann_methods;
    add_type(m, tp);
}

}  // namespace gen
}  // namespace tavrik
