// TableGenerator (CREATE TABLE in the connector's dialect) and
// CustomColAnnounce (a hand-written column declaration).
#include "gen.hpp"
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace tavrik {
namespace gen {

PyTypeObject TableGeneratorType = empty_type();
PyTypeObject CustomColAnnounceType = empty_type();

namespace {

inline TableGeneratorObject* T(PyObject* o) { return (TableGeneratorObject*)o; }
inline CustomColAnnounceObject* A(PyObject* o) { return (CustomColAnnounceObject*)o; }
inline BasePropertyObject* P(PyObject* o) { return (BasePropertyObject*)o; }

// ------------------------------------------------------------ literals

void quote_text(std::string& out, PyObject* s, const Dialect& d) {
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
        if (d.backslash_escapes && p[i] == '\\') out += '\\';
        out += p[i];
    }
    out += '\'';
}

void literal(std::string& out, PyObject* prop, PyObject* v, const Dialect& d) {
    if (v == Py_None) {
        out += "NULL";
    } else if (PyBool_Check(v)) {
        out += v == Py_True ? '1' : '0';
    } else if (PyLong_Check(v) && d.ddl_types == DdlTypes::PostgreSQL && P(prop)->kind == PK_BOOL) {
        // A boolean column there takes no number: the house form's 0/1.
        out += PyObject_IsTrue(v) ? "TRUE" : "FALSE";
    } else if (PyLong_Check(v)) {
        // The int's own digits: a subclass's __str__ could write anything.
        Ref s = new_ref(PyLong_Type.tp_repr(v));
        append_utf8(out, s.get());
    } else if (PyFloat_Check(v)) {
        if (!std::isfinite(PyFloat_AS_DOUBLE(v))) {
            PyErr_Format(PyExc_ValueError, "column %R: a non-finite DEFAULT cannot be written", prop_column(prop));
            throw_error();
        }
        Ref s = new_ref(PyFloat_Type.tp_repr(v));
        append_utf8(out, s.get());
    } else if (PyUnicode_Check(v)) {
        quote_text(out, v, d);
    } else if (PyBytes_Check(v) && d.ddl_types == DdlTypes::PostgreSQL) {
        static const char* hex = "0123456789ABCDEF";
        out += "'\\x";
        const unsigned char* b = (const unsigned char*)PyBytes_AS_STRING(v);
        for (Py_ssize_t i = 0; i < PyBytes_GET_SIZE(v); i++) {
            out += hex[b[i] >> 4];
            out += hex[b[i] & 15];
        }
        out += "'::bytea";
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
        PyErr_Format(PyExc_ValueError, "column %R: a DEFAULT of type %.200s cannot be written", prop_column(prop),
                     Py_TYPE(v)->tp_name);
        throw_error();
    }
}

// ------------------------------------------------------------ types

long decimal_digits(PyObject* prop) {
    PyObject* args = P(prop)->typeArgs;
    if (!args || !PyTuple_Check(args) || PyTuple_GET_SIZE(args) < 1) return 10;
    long precision = PyLong_AsLong(PyTuple_GET_ITEM(args, 0));
    if (precision == -1 && PyErr_Occurred()) throw_error();
    return precision;
}

void sqlite_type(std::string& out, PyObject* prop) {
    switch (P(prop)->kind) {
        case PK_INT:
        case PK_BIGINT:
        case PK_BOOL: out += " INTEGER"; break;
        case PK_FLOAT: out += " REAL"; break;
        case PK_BYTES: out += " BLOB"; break;
        case PK_BASE: break;  // no declared type: values keep their own
        case PK_DECIMAL:
            // NUMERIC keeps the values numbers, so they compare and sort as
            // numbers; it holds 15 significant digits exactly (a value is
            // read back at the column's scale).  Wider columns keep their
            // digits as text.
            out += decimal_digits(prop) <= 15 ? " NUMERIC" : " TEXT";
            break;
        default: out += " TEXT";
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

// PostgreSQL's native types: values keep their kind (booleans, exact
// decimals, timestamps, JSON) instead of the house form's texts and numbers.
void postgresql_type(std::string& out, PyObject* prop) {
    BasePropertyObject* p = P(prop);
    switch (p->kind) {
        case PK_INT: out += " INTEGER"; break;
        case PK_BIGINT: out += " BIGINT"; break;
        case PK_BOOL: out += " BOOLEAN"; break;
        case PK_FLOAT: out += " DOUBLE PRECISION"; break;
        case PK_BYTES: out += " BYTEA"; break;
        case PK_DATE: out += " DATE"; break;
        case PK_DATETIME: out += " TIMESTAMP"; break;
        case PK_JSON: out += " JSONB"; break;
        case PK_DECIMAL: {
            long scale = 2;
            PyObject* args = p->typeArgs;
            if (args && PyTuple_Check(args) && PyTuple_GET_SIZE(args) >= 2) {
                scale = PyLong_AsLong(PyTuple_GET_ITEM(args, 1));
                if (scale == -1 && PyErr_Occurred()) throw_error();
            }
            out += " NUMERIC(" + std::to_string(decimal_digits(prop)) + ", " + std::to_string(scale) + ")";
            break;
        }
        case PK_STR:
            if (p->length > 0) {
                out += " VARCHAR(" + std::to_string(p->length) + ")";
                break;
            }
            out += " TEXT";
            break;
        default: out += " TEXT";
    }
}

bool mysql_needs_expression_default(PyObject* prop) {
    int k = P(prop)->kind;
    return k == PK_TEXT || k == PK_JSON || k == PK_BYTES || k == PK_BASE;
}

void column_type(std::string& out, PyObject* prop, const Dialect& d) {
    if (d.ddl_types == DdlTypes::MySQL)
        mysql_type(out, prop);
    else if (d.ddl_types == DdlTypes::PostgreSQL)
        postgresql_type(out, prop);
    else
        sqlite_type(out, prop);
}

// " DEFAULT ..." when the column declares one (nothing otherwise).
void column_default(std::string& out, PyObject* prop, const Dialect& d) {
    BasePropertyObject* p = P(prop);
    if (!p->hasDefault || !p->defaultValue) return;
    if (PyObject_TypeCheck(p->defaultValue, mp_api->AutoIncrementType)) return;
    if (PyObject_TypeCheck(p->defaultValue, mp_api->NullDefaultType)) {
        if (p->nullable) out += " DEFAULT NULL";
        return;
    }
    Ref v = new_ref(mp_api->to_db_value(prop, p->defaultValue));
    bool expr = d.ddl_types == DdlTypes::MySQL && mysql_needs_expression_default(prop) && v.get() != Py_None;
    out += expr ? " DEFAULT (" : " DEFAULT ";
    literal(out, prop, v.get(), d);
    if (expr) out += ')';
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

// ------------------------------------------------------------ indexes

struct IndexSpec {
    PyObject* prop;  // borrowed from the model's col or the generator's list
    bool unique;
    long prefix;       // MySQL key prefix length, 0 for the whole value
    std::string name;  // quoted
};

uint64_t fnv1a(uint64_t h, PyObject* s) {
    Py_ssize_t n;
    const char* p = PyUnicode_AsUTF8AndSize(s, &n);
    if (!p) throw_error();
    for (Py_ssize_t i = 0; i < n; i++) {
        h ^= (unsigned char)p[i];
        h *= 1099511628211ULL;
    }
    h ^= 0xff;  // separates the table's bytes from the column's
    return h * 1099511628211ULL;
}

// The index of one column: "ix_"/"ux_", the table and column with every
// character outside [A-Za-z0-9_] made "_" and cut to fit, then a hash of the
// exact names, so hostile or long names still give a distinct identifier
// within MySQL's 64 characters, the same one on every run.
std::string index_name(PyObject* table, PyObject* column, bool unique) {
    std::string readable;
    for (PyObject* part : {table, column}) {
        Py_ssize_t n;
        const char* p = PyUnicode_AsUTF8AndSize(part, &n);
        if (!p) throw_error();
        if (!readable.empty()) readable += '_';
        for (Py_ssize_t i = 0; i < n; i++) {
            char c = p[i];
            bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
            readable += ok ? c : '_';
        }
    }
    if (readable.size() > 40) readable.resize(40);
    uint64_t h = fnv1a(fnv1a(14695981039346656037ULL, table), column);
    char hex[17];
    snprintf(hex, sizeof hex, "%016llx", (unsigned long long)h);
    std::string name = std::string(unique ? "ux_" : "ix_") + readable + "_" + hex;
    Ref s = to_str(name);
    std::string out;
    quote_ident(out, s.get());
    return out;
}

bool long_value_kind(PyObject* prop) {
    int k = P(prop)->kind;
    return k == PK_TEXT || k == PK_JSON || k == PK_BYTES || k == PK_BASE;
}

// The index of one column, with MySQL's key prefix where the value can be
// longer than a key holds.
IndexSpec index_spec(PyObject* table, PyObject* prop, bool unique, const Dialect& d) {
    BasePropertyObject* p = P(prop);
    long prefix = 0;
    if (d.index_prefix_chars) {
        // InnoDB keys hold at most 3072 bytes (768 four-byte characters).
        const long most = d.index_prefix_chars;
        bool too_long = long_value_kind(prop) || (p->kind == PK_STR && p->length > most);
        if (too_long && unique) {
            PyErr_Format(PyExc_ValueError,
                         "column %R of table %R: MySQL cannot keep a text this long unique; "
                         "use a StrProperty of at most 768 characters",
                         prop_column(prop), table);
            throw_error();
        }
        // Bytes are one byte each: four times as many fit.
        if (too_long) prefix = p->kind == PK_BYTES ? most * 4 : most;
    }
    return IndexSpec{prop, unique, prefix, index_name(table, prop_column(prop), unique)};
}

// What gets an index: columns declared unique= or index=, and the columns
// the generator was asked to index for relations (index()); a lone primary
// key has its own, and each column is indexed once.
std::vector<IndexSpec> index_specs(PyObject* self, PyObject* table, PyObject* cols, int pks) {
    TableGeneratorObject* t = T(self);
    const Dialect& d = dialect_of(t->connector);
    std::vector<IndexSpec> out;
    auto add = [&](PyObject* prop, bool unique) {
        BasePropertyObject* p = P(prop);
        if (p->primaryKey && pks == 1) return;
        for (IndexSpec& ix : out)
            if (ix.prop == prop || PyUnicode_Compare(prop_column(ix.prop), prop_column(prop)) == 0) {
                if (PyErr_Occurred()) throw_error();
                return;
            }
        if (PyErr_Occurred()) throw_error();
        out.push_back(index_spec(table, prop, unique, d));
    };
    Py_ssize_t n = PySequence_Fast_GET_SIZE(cols);
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject* p = PySequence_Fast_GET_ITEM(cols, i);
        if (P(p)->unique) add(p, true);
    }
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject* p = PySequence_Fast_GET_ITEM(cols, i);
        if (P(p)->index) add(p, false);
    }
    if (t->wanted)
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(t->wanted); i++) add(PyList_GET_ITEM(t->wanted, i), false);
    return out;
}

// One column as CREATE TABLE declares it (and ALTER TABLE ADD COLUMN adds
// it): its name, type, NOT NULL, DEFAULT and a lone PRIMARY KEY.
void column_def(std::string& out, PyObject* self, PyObject* table, PyObject* prop, int pks, const Dialect& d) {
    TableGeneratorObject* t = T(self);
    BasePropertyObject* p = P(prop);
    quote_ident(out, prop_column(prop));
    bool autoinc = p->defaultValue && PyObject_TypeCheck(p->defaultValue, mp_api->AutoIncrementType);
    if (autoinc) {
        if (pks != 1) {
            PyErr_Format(PyExc_ValueError, "table %R: an auto-increment key must be the only primary key", table);
            throw_error();
        }
        // By name: any connector (a user's subclass too) says how it
        // declares an auto-increment key.
        Ref ann = new_ref(PyObject_CallMethodOneArg(t->connector, names.autoFiledAnnounce.get(), prop));
        if (!PyUnicode_Check(ann.get())) raise_expected("str", ann.get());
        std::string a;
        append_utf8(a, ann.get());
        while (!a.empty() && (a.back() == ' ' || a.back() == '\t')) a.pop_back();
        out += ' ';
        out += a;
        out += " PRIMARY KEY";
        return;
    }
    column_type(out, prop, d);
    if (!p->nullable) out += " NOT NULL";
    column_default(out, prop, d);
    if (p->primaryKey && pks == 1) out += " PRIMARY KEY";
}

Ref create_sql(PyObject* self) {
    TableGeneratorObject* t = T(self);
    if (!t->model) {
        PyErr_SetString(PyExc_ValueError, "TableGenerator is not initialised");
        throw_error();
    }
    const Dialect& d = dialect_of(t->connector);
    Ref table = table_name(t->model);
    Ref cols_obj = getattr(t->model, names.col.get());
    Ref cols = new_ref(PySequence_Fast(cols_obj.get(), "col must be a sequence"));
    Py_ssize_t n = PySequence_Fast_GET_SIZE(cols.get());
    int pks = 0;
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject* p = PySequence_Fast_GET_ITEM(cols.get(), i);
        if (!PyObject_TypeCheck(p, mp_api->BasePropertyType)) raise_arg_type("col", "BaseProperty", p);
        if (!prop_column(p)) {
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
        if (!first) out += ", ";
        first = false;
        column_def(out, self, table.get(), prop, pks, d);
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
            quote_ident(out, prop_column(prop));
        }
        out += ')';
    }
    if (first) {
        PyErr_Format(PyExc_ValueError, "table %R has no columns", table.get());
        throw_error();
    }
    // MySQL has no CREATE INDEX IF NOT EXISTS: its indexes are part of the
    // table, created with it.
    if (d.inline_indexes) {
        std::vector<IndexSpec> specs = index_specs(self, table.get(), cols.get(), pks);
        for (const IndexSpec& ix : specs) {
            out += ix.unique ? ", UNIQUE KEY " : ", KEY ";
            out += ix.name;
            out += " (";
            quote_ident(out, prop_column(ix.prop));
            if (ix.prefix) out += "(" + std::to_string(ix.prefix) + ")";
            out += ')';
        }
    }
    out += ')';
    out += d.table_options;
    return to_str(out);
}

// ------------------------------------------------------------ TableGenerator

using TableRefs = Refs<TableGeneratorObject, NoRefs, &TableGeneratorObject::model, &TableGeneratorObject::connector,
                       &TableGeneratorObject::extra, &TableGeneratorObject::wanted>;

PyObject* table_new(PyTypeObject* tp, PyObject*, PyObject*) {
    PyObject* self = tp->tp_alloc(tp, 0);
    if (self) ((BaseSqlGeneratorObject*)self)->kind = SK_CUSTOM;
    return self;
}
int table_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard_int([&]() -> int {
        static const char* const kw[] = {"model", "connector"};
        PyObject* a[2];
        parse_tuple_kw(KwParams{"TableGenerator", kw, 2, 2, 2}, args, kwargs, a);
        PyObject *model = a[0], *connector = a[1];
        Ref t = table_name(model);
        set_field(T(self)->model, model);
        set_field(T(self)->connector, connector);
        set_field(T(self)->extra, nullptr);
        set_field(T(self)->wanted, nullptr);
        return 0;
    });
}
PyObject* table_sql(PyObject* self, PyObject*) {
    return guard([&]() -> PyObject* { return create_sql(self).relinquish(); });
}
PyObject* table_add(PyObject* self, PyObject* a) {
    return guard([&]() -> PyObject* {
        if (!PyObject_TypeCheck(a, &CustomColAnnounceType))
            raise_arg_type("announce", CustomColAnnounceType.tp_name, a);
        if (!T(self)->extra) T(self)->extra = new_ref(PyList_New(0)).relinquish();
        Require(PyList_Append(T(self)->extra, a));
        Py_INCREF(self);
        return self;
    });
}
PyObject* table_pair(PyObject* self, PyObject*) { return api_statement_pair(self); }

PyObject* table_index(PyObject* self, PyObject* col) {
    return guard([&]() -> PyObject* {
        if (!PyObject_TypeCheck(col, mp_api->BasePropertyType)) raise_arg_type("col", "BaseProperty", col);
        TableGeneratorObject* t = T(self);
        if (!t->model) {
            PyErr_SetString(PyExc_ValueError, "TableGenerator is not initialised");
            throw_error();
        }
        // Only a column of this table can be indexed with it.
        Ref cols_obj = getattr(t->model, names.col.get());
        int in_table = PySequence_Contains(cols_obj.get(), col);
        if (in_table < 0) throw_error();
        if (!in_table) {
            PyErr_Format(PyExc_ValueError, "column %R is not a column of %R", col, t->model);
            throw_error();
        }
        if (!t->wanted) t->wanted = new_ref(PyList_New(0)).relinquish();
        Require(PyList_Append(t->wanted, col));
        Py_INCREF(self);
        return self;
    });
}

// SQLite's CREATE INDEX IF NOT EXISTS statements (MySQL's indexes are part of
// sql()), so tables created before an index was declared get it as well.
PyObject* table_index_sql(PyObject* self, PyObject*) {
    return guard([&]() -> PyObject* {
        TableGeneratorObject* t = T(self);
        if (!t->model) {
            PyErr_SetString(PyExc_ValueError, "TableGenerator is not initialised");
            throw_error();
        }
        Ref result = new_ref(PyList_New(0));
        if (dialect_of(t->connector).inline_indexes) return result.relinquish();
        Ref table = table_name(t->model);
        Ref cols_obj = getattr(t->model, names.col.get());
        Ref cols = new_ref(PySequence_Fast(cols_obj.get(), "col must be a sequence"));
        int pks = 0;
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(cols.get()); i++) {
            PyObject* p = PySequence_Fast_GET_ITEM(cols.get(), i);
            if (!PyObject_TypeCheck(p, mp_api->BasePropertyType)) raise_arg_type("col", "BaseProperty", p);
            if (P(p)->primaryKey) pks++;
        }
        for (const IndexSpec& ix : index_specs(self, table.get(), cols.get(), pks)) {
            std::string out = ix.unique ? "CREATE UNIQUE INDEX IF NOT EXISTS " : "CREATE INDEX IF NOT EXISTS ";
            out += ix.name;
            out += " ON ";
            quote_ident(out, table.get());
            out += " (";
            quote_ident(out, prop_column(ix.prop));
            out += ')';
            Ref text = to_str(out);
            Require(PyList_Append(result.get(), text.get()));
        }
        return result.relinquish();
    });
}

// ------------------------------------------------------------ schema changes
// The pieces a schema change runs, written by the same code as sql() and
// indexSql(), so a migrated table and a freshly created one are declared
// alike.

struct BoundTable {
    Ref table;
    Ref cols;
    int pks;
};

BoundTable bound_table(PyObject* self) {
    TableGeneratorObject* t = T(self);
    if (!t->model) {
        PyErr_SetString(PyExc_ValueError, "TableGenerator is not initialised");
        throw_error();
    }
    BoundTable b{table_name(t->model), Ref(), 0};
    Ref cols_obj = getattr(t->model, names.col.get());
    b.cols = new_ref(PySequence_Fast(cols_obj.get(), "col must be a sequence"));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(b.cols.get()); i++) {
        PyObject* p = PySequence_Fast_GET_ITEM(b.cols.get(), i);
        if (!PyObject_TypeCheck(p, mp_api->BasePropertyType)) raise_arg_type("col", "BaseProperty", p);
        if (P(p)->primaryKey) b.pks++;
    }
    return b;
}

void check_prop(PyObject* col) {
    if (!PyObject_TypeCheck(col, mp_api->BasePropertyType)) raise_arg_type("col", "BaseProperty", col);
    if (!prop_column(col)) {
        PyErr_SetString(PyExc_ValueError, "a column without a name");
        throw_error();
    }
}

std::string alter_table(const BoundTable& b) {
    std::string out = "ALTER TABLE ";
    quote_ident(out, b.table.get());
    return out;
}

PyObject* table_column_sql(PyObject* self, PyObject* col) {
    return guard([&]() -> PyObject* {
        check_prop(col);
        BoundTable b = bound_table(self);
        std::string out;
        column_def(out, self, b.table.get(), col, b.pks, dialect_of(T(self)->connector));
        return to_str(out).relinquish();
    });
}

PyObject* table_add_column_sql(PyObject* self, PyObject* col) {
    return guard([&]() -> PyObject* {
        check_prop(col);
        BoundTable b = bound_table(self);
        std::string out = alter_table(b) + " ADD COLUMN ";
        column_def(out, self, b.table.get(), col, b.pks, dialect_of(T(self)->connector));
        return to_str(out).relinquish();
    });
}

PyObject* table_drop_column_sql(PyObject* self, PyObject* name) {
    return guard([&]() -> PyObject* {
        BoundTable b = bound_table(self);
        std::string out = alter_table(b) + " DROP COLUMN ";
        quote_ident(out, name);
        return to_str(out).relinquish();
    });
}

PyObject* table_rename_column_sql(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        static const char* const kw[] = {"old", "new"};
        PyObject* a[2];
        parse_fast(Params{"renameColumnSql", kw, 2, 2}, args, nargs, kwnames, a);
        BoundTable b = bound_table(self);
        std::string out = alter_table(b) + " RENAME COLUMN ";
        quote_ident(out, a[0]);
        out += " TO ";
        quote_ident(out, a[1]);
        return to_str(out).relinquish();
    });
}

PyObject* table_rename_table_sql(PyObject* self, PyObject* name) {
    return guard([&]() -> PyObject* {
        BoundTable b = bound_table(self);
        std::string out = alter_table(b) + " RENAME TO ";
        quote_ident(out, name);
        return to_str(out).relinquish();
    });
}

PyObject* table_drop_table_sql(PyObject* self, PyObject*) {
    return guard([&]() -> PyObject* {
        BoundTable b = bound_table(self);
        std::string out = "DROP TABLE ";
        quote_ident(out, b.table.get());
        return to_str(out).relinquish();
    });
}

// The statements that give an existing column the declaration of `col`
// (type, nullability, default); none where the dialect cannot alter a
// column (SQLite: the table is rebuilt instead).
PyObject* table_alter_column_sql(PyObject* self, PyObject* col) {
    return guard([&]() -> PyObject* {
        check_prop(col);
        BoundTable b = bound_table(self);
        const Dialect& d = dialect_of(T(self)->connector);
        Ref result = new_ref(PyList_New(0));
        auto push = [&](const std::string& text) {
            Ref s = to_str(text);
            Require(PyList_Append(result.get(), s.get()));
        };
        if (d.alter_column == AlterColumn::Modify) {
            std::string out = alter_table(b) + " MODIFY COLUMN ";
            column_def(out, self, b.table.get(), col, b.pks, d);
            push(out);
        } else if (d.alter_column == AlterColumn::Clauses) {
            std::string column = alter_table(b) + " ALTER COLUMN ";
            quote_ident(column, prop_column(col));
            std::string type;
            column_type(type, col, d);
            // The old default is dropped first: it may not cast to the new type.
            push(column + " DROP DEFAULT");
            std::string out = column + " TYPE" + type + " USING ";
            quote_ident(out, prop_column(col));
            out += "::" + type.substr(1);
            push(out);
            push(column + (P(col)->nullable ? " DROP NOT NULL" : " SET NOT NULL"));
            std::string def;
            column_default(def, col, d);
            if (!def.empty()) push(column + " SET" + def);
        }
        return result.relinquish();
    });
}

PyObject* index_statement(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, bool create) {
    static const char* const kw[] = {"col", "unique"};
    PyObject* a[2];
    parse_fast(Params{create ? "createIndexSql" : "dropIndexSql", kw, 2, 1}, args, nargs, kwnames, a);
    check_prop(a[0]);
    bool unique = a[1] && arg_bool(a[1]);
    BoundTable b = bound_table(self);
    const Dialect& d = dialect_of(T(self)->connector);
    IndexSpec ix = index_spec(b.table.get(), a[0], unique, d);
    std::string out;
    if (create) {
        out = unique ? "CREATE UNIQUE INDEX " : "CREATE INDEX ";
        out += ix.name + " ON ";
        quote_ident(out, b.table.get());
        out += " (";
        quote_ident(out, prop_column(a[0]));
        if (ix.prefix) out += "(" + std::to_string(ix.prefix) + ")";
        out += ')';
    } else {
        out = "DROP INDEX " + ix.name;
        if (d.drop_index_on_table) {
            out += " ON ";
            quote_ident(out, b.table.get());
        }
    }
    return to_str(out).relinquish();
}

PyObject* table_create_index_sql(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* { return index_statement(self, args, nargs, kwnames, true); });
}

PyObject* table_drop_index_sql(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* { return index_statement(self, args, nargs, kwnames, false); });
}

// INSERT INTO this table (columns) SELECT columns FROM source: a rebuilt
// table takes its rows over.
PyObject* table_copy_rows_sql(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        static const char* const kw[] = {"source", "columns"};
        PyObject* a[2];
        parse_fast(Params{"copyRowsSql", kw, 2, 2}, args, nargs, kwnames, a);
        BoundTable b = bound_table(self);
        Ref columns = new_ref(PySequence_Fast(a[1], "columns must be a sequence"));
        std::string list;
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(columns.get()); i++) {
            if (i) list += ", ";
            quote_ident(list, PySequence_Fast_GET_ITEM(columns.get(), i));
        }
        if (list.empty()) {
            PyErr_SetString(PyExc_ValueError, "no columns to copy");
            throw_error();
        }
        std::string out = "INSERT INTO ";
        quote_ident(out, b.table.get());
        out += " (" + list + ") SELECT " + list + " FROM ";
        quote_ident(out, a[0]);
        return to_str(out).relinquish();
    });
}

// What a schema change must know of the connector's database: whether its
// DDL is transactional, how it alters a column, and its schema lock.
PyObject* table_schema_facts(PyObject*, PyObject* connector) {
    return guard([&]() -> PyObject* {
        const Dialect& d = dialect_of(connector);
        const char* alter = d.alter_column == AlterColumn::Rebuild  ? "rebuild"
                            : d.alter_column == AlterColumn::Modify ? "modify"
                                                                    : "clauses";
        return Py_BuildValue("{s:s,s:O,s:s,s:s,s:s,s:s,s:s}", "dialect", d.name, "transactionalDdl",
                             d.transactional_ddl ? Py_True : Py_False, "alterColumn", alter, "lock", d.schema_lock,
                             "unlock", d.schema_unlock, "ddlAlreadyDone", d.ddl_already_done, "columnsQuery",
                             d.columns_query);
    });
}

PyObject* table_quote(PyObject*, PyObject* name) {
    return guard([&]() -> PyObject* {
        std::string out;
        quote_ident(out, name);
        return to_str(out).relinquish();
    });
}

PyMethodDef table_methods[] = {
    {"sql", table_sql, METH_NOARGS,
     "sql($self, /)\n--\n\n"
     "sql(): CREATE TABLE IF NOT EXISTS for the model in the connector's dialect."},
    {"add", table_add, METH_O,
     "add($self, announce, /)\n--\n\n"
     "add(announce): appends a CustomColAnnounce column; returns self."},
    {"statementPair", table_pair, METH_NOARGS,
     "statementPair($self, /)\n--\n\n"
     "statementPair(): (sql(), ())."},
    {"index", table_index, METH_O,
     "index($self, col, /)\n--\n\n"
     "index(col): also indexes this column of the table (for a relation); returns self."},
    {"indexSql", table_index_sql, METH_NOARGS,
     "indexSql($self, /)\n--\n\n"
     "indexSql(): the CREATE INDEX IF NOT EXISTS statements the dialect runs after sql() (none on MySQL, "
     "whose indexes are part of sql())."},
    {"columnSql", table_column_sql, METH_O,
     "columnSql($self, col, /)\n--\n\n"
     "columnSql(col): the column's declaration as sql() writes it."},
    {"addColumnSql", table_add_column_sql, METH_O,
     "addColumnSql($self, col, /)\n--\n\n"
     "addColumnSql(col): ALTER TABLE ... ADD COLUMN with the column's declaration."},
    {"dropColumnSql", table_drop_column_sql, METH_O,
     "dropColumnSql($self, name, /)\n--\n\n"
     "dropColumnSql(name): ALTER TABLE ... DROP COLUMN name."},
    {"renameColumnSql", (PyCFunction)(void (*)(void))table_rename_column_sql, METH_FASTCALL | METH_KEYWORDS,
     "renameColumnSql($self, old, new)\n--\n\n"
     "renameColumnSql(old, new): ALTER TABLE ... RENAME COLUMN old TO new."},
    {"renameTableSql", table_rename_table_sql, METH_O,
     "renameTableSql($self, name, /)\n--\n\n"
     "renameTableSql(name): ALTER TABLE ... RENAME TO name."},
    {"dropTableSql", table_drop_table_sql, METH_NOARGS,
     "dropTableSql($self, /)\n--\n\n"
     "dropTableSql(): DROP TABLE for the model's table."},
    {"alterColumnSql", table_alter_column_sql, METH_O,
     "alterColumnSql($self, col, /)\n--\n\n"
     "alterColumnSql(col): the statements giving an existing column this declaration; [] where the "
     "dialect cannot alter a column (SQLite rebuilds the table)."},
    {"createIndexSql", (PyCFunction)(void (*)(void))table_create_index_sql, METH_FASTCALL | METH_KEYWORDS,
     "createIndexSql($self, col, unique=False)\n--\n\n"
     "createIndexSql(col, unique=False): CREATE [UNIQUE] INDEX, named as indexSql() names it."},
    {"dropIndexSql", (PyCFunction)(void (*)(void))table_drop_index_sql, METH_FASTCALL | METH_KEYWORDS,
     "dropIndexSql($self, col, unique=False)\n--\n\n"
     "dropIndexSql(col, unique=False): DROP INDEX of that index."},
    {"copyRowsSql", (PyCFunction)(void (*)(void))table_copy_rows_sql, METH_FASTCALL | METH_KEYWORDS,
     "copyRowsSql($self, source, columns)\n--\n\n"
     "copyRowsSql(source, columns): INSERT INTO this table (columns) SELECT columns FROM source."},
    {"schemaFacts", table_schema_facts, METH_O | METH_STATIC,
     "schemaFacts(connector, /)\n--\n\n"
     "schemaFacts(connector): {'dialect', 'transactionalDdl', 'alterColumn' ('rebuild', 'modify' or 'clauses'), "
     "'lock', 'unlock', 'ddlAlreadyDone' (error codes joined by '|'), 'columnsQuery' (a live table's "
     "(name, NOT NULL) rows)} of the connector's database for schema changes."},
    {"quote", table_quote, METH_O | METH_STATIC,
     "quote(name, /)\n--\n\n"
     "quote(name): the name quoted as the generator's statements quote it."},
    {nullptr, nullptr, 0, nullptr},
};

// ------------------------------------------------------- CustomColAnnounce

using AnnounceRefs =
    Refs<CustomColAnnounceObject, NoRefs, &CustomColAnnounceObject::name, &CustomColAnnounceObject::declaration>;

int ann_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard_int([&]() -> int {
        static const char* const kw[] = {"name", "declaration"};
        PyObject* a[2];
        parse_tuple_kw(KwParams{"CustomColAnnounce", kw, 2, 2, 2}, args, kwargs, a);
        PyObject *name = a[0], *decl = a[1];
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
    {"sql", ann_sql, METH_NOARGS,
     "sql($self, /)\n--\n\n"
     "sql(): '`name` declaration'."},
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
    *tp = with_slots(gc_type<TableRefs>("Tavrik.DB.Generator.TableGenerator", sizeof(TableGeneratorObject),
                                        Py_TPFLAGS_BASETYPE, &BaseSqlGeneratorType),
                     {"TableGenerator(model, connector)\n--\n\n"
                      "TableGenerator(model, connector): the CREATE TABLE statement of a model.",
                      table_methods, nullptr, table_init, table_new});
    add_type(m, tp);

    tp = &CustomColAnnounceType;
    *tp = with_slots(gc_type<AnnounceRefs>("Tavrik.DB.Generator.CustomColAnnounce", sizeof(CustomColAnnounceObject)),
                     {"CustomColAnnounce(name, declaration)\n--\n\n"
                      "CustomColAnnounce(name, declaration): a column declared by hand for TableGenerator.add.",
                      ann_methods, nullptr, ann_init, PyType_GenericNew});
    add_type(m, tp);
}

}  // namespace gen
}  // namespace tavrik
