// FilterListCell: conditions built from column comparisons, rendered as SQL
// text with %s placeholders and a list of bound values.
#include "mp.hpp"
#include <cstddef>
#include <initializer_list>

namespace tavrik {
namespace mp {

PyTypeObject FilterListCellType = empty_type();

namespace {

inline FilterObject* F(PyObject* o) { return (FilterObject*)o; }
inline bool is_filter(PyObject* o) { return PyObject_TypeCheck(o, &FilterListCellType); }

using FilterRefs = Refs<FilterObject, NoRefs, &FilterObject::name, &FilterObject::col, &FilterObject::value,
                        &FilterObject::left, &FilterObject::right, &FilterObject::chain>;

int filter_clear(PyObject* self) { return FilterRefs::clear(self); }

[[noreturn]] void raise_missing_relationship(PyObject* a, PyObject* b) {
    Ref cls = import_attr("Tavrik.Error.Grelt", "SqlMissingRelationshipError");
    Ref exc = new_ref(PyObject_CallFunctionObjArgs(cls.get(), a ? a : Py_None, b ? b : Py_None, nullptr));
    PyErr_SetObject(cls.get(), exc.get());
    throw_error();
}

PyObject* cell_label(PyObject* cell) {
    // What a missing-operator message names: a column's name, else None.
    FilterObject* f = F(cell);
    if (f->kind == F_COLUMN && f->name && PyUnicode_Check(f->name)) return f->name;
    return nullptr;
}

void render_into(PyObject* cell, std::string& out, PyObject* params);

bool is_simple(PyObject* cell) {
    FilterObject* f = F(cell);
    if (f->chain && PyList_GET_SIZE(f->chain) > 0) return false;
    return f->kind == F_CMP || f->kind == F_IN || f->kind == F_LIKE || f->kind == F_TRUE || f->kind == F_NOT ||
           f->kind == F_EXISTS;
}

void render_wrapped(PyObject* cell, std::string& out, PyObject* params) {
    if (is_simple(cell)) return render_into(cell, out, params);
    out += '(';
    render_into(cell, out, params);
    out += ')';
}

void add_param(std::string& out, PyObject* params, PyObject* v) {
    Require(PyList_Append(params, v));
    out += "%s";
}

// The tables a relation's subquery names, innermost first.  Its own table
// may be the outer statement's (a self relation), so it is always aliased,
// and a column is written with the alias of the innermost scope holding its
// table; a column of no scope's table names the outer statement's.
struct Scope {
    PyObject* table;
    PyObject* alias;
    const Scope* outer;
};
// Set only while a subquery renders; per thread, since reading a model's
// tableName may run Python code and so let another thread render.  Holds no
// reference.
thread_local const Scope* current_scope = nullptr;

struct InScope {
    const Scope* saved;
    explicit InScope(const Scope* s) : saved(current_scope) { current_scope = s; }
    ~InScope() { current_scope = saved; }
    InScope(const InScope&) = delete;
    InScope& operator=(const InScope&) = delete;
};

Ref table_of(PyObject* model) {
    Ref t = getattr(model, names.tableName.get());
    if (!PyUnicode_Check(t.get())) raise_expected("str", t.get());
    return t;
}

// (far, corr, middle, middleFar, farKey): columns where a junction needs them.
bool relation_ok(PyObject* rel) {
    if (!PyTuple_Check(rel) || PyTuple_GET_SIZE(rel) != 5) return false;
    PyObject* middle = PyTuple_GET_ITEM(rel, 2);
    if (!is_property(PyTuple_GET_ITEM(rel, 1))) return false;
    if (middle == Py_None) return PyTuple_GET_ITEM(rel, 3) == Py_None && PyTuple_GET_ITEM(rel, 4) == Py_None;
    return is_property(PyTuple_GET_ITEM(rel, 3)) && is_property(PyTuple_GET_ITEM(rel, 4));
}

bool same_text(PyObject* a, PyObject* b) { return PyUnicode_Compare(a, b) == 0; }

// Whether a name reads as the (ASCII) alias: ASCII letters compared without
// case, as SQLite and MySQL's column scopes read names.
bool names_alias(PyObject* name, const std::string& alias) {
    Py_ssize_t n;
    const char* s = PyUnicode_AsUTF8AndSize(name, &n);
    if (!s) throw_error();
    if ((size_t)n != alias.size()) return false;
    for (size_t i = 0; i < alias.size(); i++) {
        char a = s[i], b = alias[i];
        if (a >= 'A' && a <= 'Z') a = (char)(a - 'A' + 'a');
        if (a != b) return false;
    }
    return true;
}

// `tavrik_<kind><depth>`, lengthened until it names none of `taken` nor any
// table or alias of an outer scope: an alias equal to an outer table's name
// would hide that table from the correlation.
Ref pick_alias(char kind, int depth, std::initializer_list<PyObject*> taken) {
    std::string name = std::string("tavrik_") + kind + std::to_string(depth);
    for (;;) {
        bool clash = false;
        for (PyObject* t : taken)
            if (t && names_alias(t, name)) clash = true;
        for (const Scope* s = current_scope; s && !clash; s = s->outer)
            clash = names_alias(s->table, name) || names_alias(s->alias, name);
        if (!clash) return new_ref(PyUnicode_FromStringAndSize(name.data(), (Py_ssize_t)name.size()));
        name += '_';
    }
}

// EXISTS (SELECT 1 FROM far AS r [JOIN middle AS j ON j.middleFar = r.farKey]
//         WHERE r.corr (or j.corr) = near [AND (cond)])
// `value` is (far, corr, middle, middleFar, farKey); the last three are None
// but for a many-to-many relation, whose corr is the junction's column.
void render_exists(PyObject* cell, std::string& out, PyObject* params) {
    FilterObject* f = F(cell);
    PyObject* rel = f->value;
    PyObject *far = PyTuple_GET_ITEM(rel, 0), *corr = PyTuple_GET_ITEM(rel, 1), *middle = PyTuple_GET_ITEM(rel, 2);
    const bool junction = middle != Py_None;
    Ref far_table = table_of(far);
    Ref mid_table = junction ? table_of(middle) : Ref();
    Ref near_table = P(f->col)->owner ? table_of(P(f->col)->owner) : Ref();
    int depth = 1;
    for (const Scope* s = current_scope; s; s = s->outer) depth++;
    Ref far_alias = pick_alias('r', depth, {far_table.get(), mid_table.get(), near_table.get()});
    Ref mid_alias = junction
                        ? pick_alias('j', depth, {far_table.get(), mid_table.get(), near_table.get(), far_alias.get()})
                        : Ref();
    Scope mid_scope{mid_table.get(), mid_alias.get(), current_scope};
    Scope far_scope{far_table.get(), far_alias.get(), junction ? &mid_scope : current_scope};
    out += "EXISTS (SELECT 1 FROM ";
    quote_ident(out, far_table.get());
    out += " AS ";
    quote_ident(out, far_alias.get());
    if (junction) {
        out += " JOIN ";
        quote_ident(out, mid_table.get());
        out += " AS ";
        quote_ident(out, mid_alias.get());
        out += " ON ";
        InScope in(&far_scope);
        append_column(out, PyTuple_GET_ITEM(rel, 3));
        out += " = ";
        append_column(out, PyTuple_GET_ITEM(rel, 4));
    }
    out += " WHERE ";
    {
        InScope in(&far_scope);
        append_column(out, corr);
    }
    out += " = ";
    append_column(out, f->col);  // the owner's column, in the enclosing scope
    if (f->left) {
        out += " AND ";
        InScope in(&far_scope);
        render_wrapped(f->left, out, params);
    }
    out += ')';
}

const char* op_text(int op) {
    switch (op) {
        case OP_EQ: return " = ";
        case OP_NE: return " != ";
        case OP_LT: return " < ";
        case OP_LE: return " <= ";
        case OP_GT: return " > ";
        default: return " >= ";
    }
}

void render_base(PyObject* cell, std::string& out, PyObject* params) {
    FilterObject* f = F(cell);
    switch (f->kind) {
        // Comparisons, not the numbers 1 and 0: PostgreSQL takes no integer
        // for a condition.
        case F_TRUE: out += "1 = 1"; return;
        case F_COLUMN: raise_missing_relationship(cell_label(cell), nullptr);
        case F_VALUE:
            PyErr_SetString(PyExc_ValueError, "a value cell is not a condition: link it to a column");
            throw_error();
        case F_CMP: {
            render_operand(f->col, out, params);
            if (f->op == OP_ISNULL) {
                out += " IS NULL";
            } else if (f->op == OP_NOTNULL) {
                out += " IS NOT NULL";
            } else {
                out += op_text(f->op);
                if (is_operand(f->value))
                    render_operand(f->value, out, params);
                else
                    add_param(out, params, f->value);
            }
            return;
        }
        case F_IN: {
            Py_ssize_t n = PyTuple_GET_SIZE(f->value);
            if (f->op == 2 && n) {
                append_column(out, f->col);
                out += " = ANY(";
                Ref array = new_ref(PySequence_List(f->value));
                add_param(out, params, array.get());
                out += ')';
                return;
            }
            bool with_null = f->op == 1;
            if (n == 0 && !with_null) {
                out += "1 = 0";  // IN () matches nothing; "()" is not valid SQL
                return;
            }
            if (n && with_null) out += '(';
            if (n) {
                append_column(out, f->col);
                out += " IN (";
                for (Py_ssize_t i = 0; i < n; i++) {
                    if (i) out += ", ";
                    add_param(out, params, PyTuple_GET_ITEM(f->value, i));
                }
                out += ')';
            }
            if (with_null) {
                if (n) out += " OR ";
                append_column(out, f->col);
                out += " IS NULL";
                if (n) out += ')';
            }
            return;
        }
        case F_LIKE:
            append_column(out, f->col);
            out += " LIKE ";
            add_param(out, params, f->value);
            return;
        case F_AND:
        case F_OR:
            render_wrapped(f->left, out, params);
            out += f->kind == F_AND ? " AND " : " OR ";
            render_wrapped(f->right, out, params);
            return;
        case F_NOT:
            out += "NOT (";
            render_into(f->left, out, params);
            out += ')';
            return;
        case F_EXISTS: render_exists(cell, out, params); return;
    }
}

void render_into(PyObject* cell, std::string& out, PyObject* params) {
    if (Py_EnterRecursiveCall(" while rendering a condition")) throw_error();
    struct Leave {
        ~Leave() { Py_LeaveRecursiveCall(); }
    } leave;
    FilterObject* f = F(cell);
    Py_ssize_t n = f->chain ? PyList_GET_SIZE(f->chain) : 0;
    if (n == 0) return render_base(cell, out, params);
    size_t start = out.size();
    int terms = 0;
    long last_code = -1;
    if (f->kind != F_TRUE) {  // the "1" head only starts a chain
        bool compound = f->kind == F_AND || f->kind == F_OR;
        if (compound) out += '(';
        render_base(cell, out, params);
        if (compound) out += ')';
        terms = 1;
    }
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject* entry = PyList_GET_ITEM(f->chain, i);
        long code = PyLong_AsLong(PyTuple_GET_ITEM(entry, 0));
        PyObject* item = PyTuple_GET_ITEM(entry, 1);
        if (F(item)->kind == F_COLUMN) {
            PyObject* next = nullptr;
            if (i + 1 < n) next = cell_label(PyTuple_GET_ITEM(PyList_GET_ITEM(f->chain, i + 1), 1));
            raise_missing_relationship(cell_label(item), next);
        }
        if (terms > 0) {
            // Left to right: a change of connector groups what came before.
            if (terms > 1 && code != last_code) {
                out.insert(start, 1, '(');
                out += ')';
            }
            out += code == 1 ? " OR " : " AND ";
        }
        render_wrapped(item, out, params);
        last_code = code;
        terms++;
    }
    if (terms == 0) out += '1';
}

// What render_base writes follows from the kinds, operators, counts and
// column texts walked here; a chain, a relation's EXISTS or a cell that
// would fail to render is left to the rendering.
bool shape_of(PyObject* cell, TextShape& s, PyObject* params) {
    if (Py_EnterRecursiveCall(" while reading a condition's shape")) throw_error();
    struct Leave {
        ~Leave() { Py_LeaveRecursiveCall(); }
    } leave;
    FilterObject* f = F(cell);
    if (f->chain && PyList_GET_SIZE(f->chain) > 0) return false;
    switch (f->kind) {
        case F_TRUE: s.tag('T'); return true;
        case F_CMP:
            s.tag('C');
            s.tag(f->op);
            if (!operand_shape(f->col, s, params)) return false;
            if (f->op == OP_ISNULL || f->op == OP_NOTNULL) return true;
            if (is_operand(f->value)) {
                s.tag('o');
                return operand_shape(f->value, s, params);
            }
            s.tag('p');
            Require(PyList_Append(params, f->value));
            return true;
        case F_IN: {
            const Py_ssize_t n = PyTuple_GET_SIZE(f->value);
            s.tag('I');
            s.tag(f->op);
            if (f->op == 2 && n) {
                // One array parameter, whatever its length.
                s.tag('a');
                s.text(column_sql_borrowed(f->col));
                Ref array = new_ref(PySequence_List(f->value));
                Require(PyList_Append(params, array.get()));
                return true;
            }
            s.count(n);
            s.text(column_sql_borrowed(f->col));
            for (Py_ssize_t i = 0; i < n; i++) Require(PyList_Append(params, PyTuple_GET_ITEM(f->value, i)));
            return true;
        }
        case F_LIKE:
            s.tag('L');
            s.text(column_sql_borrowed(f->col));
            Require(PyList_Append(params, f->value));
            return true;
        case F_AND:
        case F_OR:
            s.tag(f->kind == F_AND ? '&' : '|');
            return shape_of(f->left, s, params) && shape_of(f->right, s, params);
        case F_NOT: s.tag('!'); return shape_of(f->left, s, params);
        default: return false;
    }
}

// Rendering the whole chain of a cell that has one, its own part first.
void render_top(PyObject* cell, std::string& out, PyObject* params) { render_into(cell, out, params); }

// ------------------------------------------------------------ Python API

int filter_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard_int([&]() -> int {
        static const char* const kw[] = {"value", "col"};
        PyObject* a[2];
        parse_tuple_kw(KwParams{"FilterListCell", kw, 2, 1, 1}, args, kwargs, a);
        PyObject* value = a[0];
        PyObject* col = a[1] ? a[1] : Py_None;
        FilterObject* f = F(self);
        filter_clear(self);
        f->op = 0;
        if (col != Py_None) {
            if (!is_property(col)) raise_arg_type("col", BasePropertyType.tp_name, col);
            check_str_arg(value, "value", false);
            f->kind = F_COLUMN;
            f->name = borrow(value).relinquish();
            f->col = borrow(col).relinquish();
        } else if (PyUnicode_CheckExact(value) && PyUnicode_CompareWithASCIIString(value, "1") == 0) {
            f->kind = F_TRUE;
            f->value = borrow(value).relinquish();  // also usable as the value "1"
        } else {
            f->kind = F_VALUE;
            f->value = borrow(value).relinquish();
        }
        return 0;
    });
}

Ref link(PyObject* self, PyObject* other, int code) {
    if (!is_filter(other)) raise_arg_type("other", FilterListCellType.tp_name, other);
    FilterObject* f = F(self);
    if (!f->chain) f->chain = new_ref(PyList_New(0)).relinquish();
    if (code == 0 || code == 1) {
        if (other == self) {
            PyErr_SetString(PyExc_ValueError, "a condition cannot be linked to itself");
            throw_error();
        }
        Ref entry = new_ref(Py_BuildValue("(iO)", code, other));
        Require(PyList_Append(f->chain, entry.get()));
    } else if (code == 2 || code == 3) {
        FilterObject* v = F(other);
        bool plain_value = v->kind == F_VALUE || (v->kind == F_TRUE && (!v->chain || !PyList_GET_SIZE(v->chain)));
        if (!plain_value) {
            PyErr_Format(PyExc_ValueError, "link code %d takes a value cell", code);
            throw_error();
        }
        Py_ssize_t n = PyList_GET_SIZE(f->chain);
        PyObject* last = n ? PyList_GET_ITEM(f->chain, n - 1) : nullptr;
        PyObject* colcell = last ? PyTuple_GET_ITEM(last, 1) : nullptr;
        if (!colcell || F(colcell)->kind != F_COLUMN) {
            PyErr_Format(PyExc_ValueError, "link code %d needs a column cell linked before the value", code);
            throw_error();
        }
        Ref cmp = make_compare(F(colcell)->col, v->value, code == 2 ? Py_EQ : Py_NE);
        Ref entry = new_ref(Py_BuildValue("(OO)", PyTuple_GET_ITEM(last, 0), cmp.get()));
        Require(PyList_SetItem(f->chain, n - 1, entry.relinquish()));
    } else {
        PyErr_Format(PyExc_ValueError, "unknown link code %d (0 AND, 1 OR, 2 =, 3 !=)", code);
        throw_error();
    }
    return borrow(self);
}

PyObject* filter_link_py(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        static const char* kw[] = {"other", "code", nullptr};
        PyObject* vals[2] = {nullptr, nullptr};
        Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        if (nargs > 2) raise_arity("link", "exactly", 2, nargs + nkw);
        for (Py_ssize_t i = 0; i < nargs; i++) vals[i] = args[i];
        for (Py_ssize_t i = 0; i < nkw; i++) {
            PyObject* k = PyTuple_GET_ITEM(kwnames, i);
            int slot = -1;
            for (int j = 0; j < 2; j++)
                if (PyUnicode_CompareWithASCIIString(k, kw[j]) == 0) slot = j;
            if (slot < 0) raise_unexpected_kw("link", k);
            if (vals[slot]) {
                PyErr_Format(PyExc_TypeError, "link() got multiple values for argument '%U'", k);
                throw_error();
            }
            vals[slot] = args[nargs + i];
        }
        if (!vals[0] || !vals[1]) raise_arity("link", "exactly", 2, nargs + nkw);
        return link(self, vals[0], to_int32(vals[1])).relinquish();
    });
}

PyObject* filter_render_py(PyObject* self, PyObject*) {
    return guard([&]() -> PyObject* {
        Ref params = new_ref(PyList_New(0));
        Ref text = Ref::consuming(api_filter_render(self, params.get()));
        return Require(PyTuple_Pack(2, text.get(), params.get()));
    });
}

Ref combine(int kind, PyObject* a, PyObject* b) {
    Ref cell = filter_new(kind);
    F(cell.get())->left = borrow(a).relinquish();
    F(cell.get())->right = b ? borrow(b).relinquish() : nullptr;
    return cell;
}

PyObject* filter_and(PyObject* a, PyObject* b) {
    if (!is_filter(a) || !is_filter(b)) Py_RETURN_NOTIMPLEMENTED;
    return guard([&]() -> PyObject* { return combine(F_AND, a, b).relinquish(); });
}
PyObject* filter_or(PyObject* a, PyObject* b) {
    if (!is_filter(a) || !is_filter(b)) Py_RETURN_NOTIMPLEMENTED;
    return guard([&]() -> PyObject* { return combine(F_OR, a, b).relinquish(); });
}
PyObject* filter_invert(PyObject* a) {
    return guard([&]() -> PyObject* { return combine(F_NOT, a, nullptr).relinquish(); });
}

int filter_bool(PyObject* self) {
    // `col_a == col_b` answers identity so that `prop in list` and dict
    // lookups keep working; every other condition refuses a truth value.
    FilterObject* f = F(self);
    if (f->kind == F_CMP && (f->op == OP_EQ || f->op == OP_NE) && f->value && is_property(f->value) &&
        is_property(f->col) && !(f->chain && PyList_GET_SIZE(f->chain))) {
        bool same = f->col == f->value;
        return f->op == OP_EQ ? same : !same;
    }
    // `a > 1 and b == 2` would silently keep only one side of the condition.
    PyErr_SetString(PyExc_TypeError, "查询条件没有真假值: 组合条件请用 & 和 | (取反用 ~), 不要用 and、or、not");
    return -1;
}

PyObject* filter_repr(PyObject* self) {
    static const char* kinds[] = {"true", "column", "value", "compare", "in", "like", "and", "or", "not", "exists"};
    return PyUnicode_FromFormat("<FilterListCell %s>", kinds[F(self)->kind]);
}

PyObject* filter_reduce(PyObject* self, PyObject*) {
    FilterObject* f = F(self);
    return Py_BuildValue("(O(O)(iiOOOOOO))", (PyObject*)&FilterListCellType, names.one_str.get(), f->kind, f->op,
                         none_if_null(f->name), none_if_null(f->col), none_if_null(f->value), none_if_null(f->left),
                         none_if_null(f->right), none_if_null(f->chain));
}

PyObject* filter_setstate(PyObject* self, PyObject* state) {
    return guard([&]() -> PyObject* {
        if (!PyTuple_Check(state) || PyTuple_GET_SIZE(state) != 8) raise_arg_type("state", "tuple", state);
        int kind, op;
        try {
            kind = arg_int(PyTuple_GET_ITEM(state, 0));
            op = arg_int(PyTuple_GET_ITEM(state, 1));
        } catch (const PyErrOccurred&) {
            raise_arg_type("state", "tuple", state);
        }
        PyObject *name = PyTuple_GET_ITEM(state, 2), *col = PyTuple_GET_ITEM(state, 3),
                 *value = PyTuple_GET_ITEM(state, 4), *left = PyTuple_GET_ITEM(state, 5),
                 *right = PyTuple_GET_ITEM(state, 6), *chain = PyTuple_GET_ITEM(state, 7);
        bool ok = kind >= F_TRUE && kind <= F_EXISTS && op >= OP_EQ && op <= OP_NOTNULL;
        ok = ok && (col == Py_None || is_property(col) || (kind == F_CMP && is_expression(col))) &&
             (left == Py_None || is_filter(left)) && (right == Py_None || is_filter(right)) &&
             (chain == Py_None || PyList_Check(chain));
        if (ok && (kind == F_AND || kind == F_OR)) ok = left != Py_None && right != Py_None;
        if (ok && kind == F_NOT) ok = left != Py_None;
        if (ok && kind >= F_COLUMN && kind != F_VALUE && kind <= F_LIKE) ok = col != Py_None;
        if (ok && kind == F_IN) ok = PyTuple_Check(value);
        if (ok && kind == F_EXISTS) ok = is_property(col) && relation_ok(value);
        if (ok && chain != Py_None) {
            for (Py_ssize_t i = 0; ok && i < PyList_GET_SIZE(chain); i++) {
                PyObject* e = PyList_GET_ITEM(chain, i);
                ok = PyTuple_Check(e) && PyTuple_GET_SIZE(e) == 2 && PyLong_Check(PyTuple_GET_ITEM(e, 0)) &&
                     is_filter(PyTuple_GET_ITEM(e, 1));
            }
        }
        if (!ok) {
            PyErr_SetString(PyExc_ValueError, "invalid FilterListCell state");
            throw_error();
        }
        FilterObject* f = F(self);
        filter_clear(self);
        f->kind = kind;
        f->op = op;
        f->name = borrow(null_if_none(name)).relinquish();
        f->col = borrow(null_if_none(col)).relinquish();
        f->value = borrow(null_if_none(value)).relinquish();
        f->left = borrow(null_if_none(left)).relinquish();
        f->right = borrow(null_if_none(right)).relinquish();
        f->chain = borrow(null_if_none(chain)).relinquish();
        Py_RETURN_NONE;
    });
}

PyMethodDef filter_methods[] = {
    {"__reduce__", filter_reduce, METH_NOARGS, nullptr},
    {"__setstate__", filter_setstate, METH_O, nullptr},
    {"link", (PyCFunction)(void (*)(void))filter_link_py, METH_FASTCALL | METH_KEYWORDS,
     "link($self, /, other, code)\n--\n\n"
     "link(other, code): appends `other` in place and returns self; code 0 ANDs a column cell or a "
     "condition, 1 ORs one, 2 compares the last column with a value cell by '=', 3 by '!='."},
    {"render", filter_render_py, METH_NOARGS,
     "render($self, /)\n--\n\n"
     "render(): (SQL text with %s placeholders, list of values)."},
    {nullptr, nullptr, 0, nullptr},
};

PyNumberMethods filter_as_number = {};

}  // namespace

Ref filter_new(int kind) {
    Ref cell = new_ref(PyType_GenericAlloc(&FilterListCellType, 0));
    F(cell.get())->kind = kind;
    return cell;
}

Ref make_compare(PyObject* prop, PyObject* other, int op) {
    if (is_filter(other)) {
        PyErr_SetString(PyExc_TypeError, "a column cannot be compared with a condition");
        throw_error();
    }
    int fop;
    Ref value;
    if (other == Py_None) {
        if (op != Py_EQ && op != Py_NE) {
            if (is_property(prop)) raise_column(prop, PyExc_TypeError, "NULL can only be tested with == or !=");
            PyErr_SetString(PyExc_TypeError, "NULL can only be tested with == or !=");
            throw_error();
        }
        fop = op == Py_EQ ? OP_ISNULL : OP_NOTNULL;
    } else {
        switch (op) {
            case Py_EQ: fop = OP_EQ; break;
            case Py_NE: fop = OP_NE; break;
            case Py_LT: fop = OP_LT; break;
            case Py_LE: fop = OP_LE; break;
            case Py_GT: fop = OP_GT; break;
            default: fop = OP_GE;
        }
        // A column or an expression on the right is written as SQL; a value
        // is bound, converted as the left side takes it.
        if (is_operand(other))
            value = borrow(other);
        else if (is_property(prop))
            value = to_db(prop, other, false);
        else
            value = bound_value(prop, other);
    }
    Ref cell = filter_new(F_CMP);
    FilterObject* f = F(cell.get());
    f->op = fop;
    f->col = borrow(prop).relinquish();
    f->value = value.relinquish();
    return cell;
}

bool filter_shape(PyObject* cell, TextShape& shape, PyObject* params) {
    // Inside a relation's subquery a column's text is its scope's alias.
    if (current_scope || !is_filter(cell)) return false;
    return shape_of(cell, shape, params);
}

void append_column(std::string& out, PyObject* prop) {
    BasePropertyObject* p = P(prop);
    if (current_scope && p->owner) {
        Ref table = table_of(p->owner);
        for (const Scope* s = current_scope; s; s = s->outer) {
            if (!same_text(s->table, table.get())) continue;
            quote_ident(out, s->alias);
            out += '.';
            quote_ident(out, prop_column(prop));
            return;
        }
    }
    append_utf8(out, column_sql_borrowed(prop));
}

PyObject* relation_filter(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guard([&]() -> PyObject* {
        if (nargs != 7) raise_arity("_relation_filter", "exactly", 7, nargs);
        PyObject *near = args[0], *cond = args[6];
        if (!is_property(near)) raise_arg_type("near", BasePropertyType.tp_name, near);
        if (cond != Py_None && !is_filter(cond)) raise_arg_type("cond", FilterListCellType.tp_name, cond);
        Ref rel = new_ref(PyTuple_Pack(5, args[1], args[2], args[3], args[4], args[5]));
        if (!relation_ok(rel.get())) {
            PyErr_SetString(PyExc_TypeError, "_relation_filter: the relation's columns are not resolved");
            throw_error();
        }
        Ref cell = filter_new(F_EXISTS);
        FilterObject* f = F(cell.get());
        f->col = borrow(near).relinquish();
        f->value = rel.relinquish();
        f->left = cond == Py_None ? nullptr : borrow(cond).relinquish();
        return cell.relinquish();
    });
}

PyObject* api_filter_true() {
    return guard([&]() -> PyObject* {
        Ref c = filter_new(F_TRUE);
        F(c.get())->value = borrow(names.one_str.get()).relinquish();
        return c.relinquish();
    });
}
PyObject* api_filter_column(PyObject* name, PyObject* prop) {
    return guard([&]() -> PyObject* {
        if (!is_property(prop)) raise_arg_type("col", BasePropertyType.tp_name, prop);
        Ref c = filter_new(F_COLUMN);
        F(c.get())->name = borrow(name).relinquish();
        F(c.get())->col = borrow(prop).relinquish();
        return c.relinquish();
    });
}
PyObject* api_filter_value(PyObject* value) {
    return guard([&]() -> PyObject* {
        Ref c = filter_new(F_VALUE);
        F(c.get())->value = borrow(value).relinquish();
        return c.relinquish();
    });
}
PyObject* api_filter_link(PyObject* head, PyObject* other, int code) {
    return guard([&]() -> PyObject* {
        if (!is_filter(head)) raise_arg_type("head", FilterListCellType.tp_name, head);
        return link(head, other, code).relinquish();
    });
}
PyObject* api_filter_render(PyObject* cell, PyObject* params) {
    return guard([&]() -> PyObject* {
        if (!is_filter(cell)) raise_arg_type("cond", FilterListCellType.tp_name, cell);
        return render_keeping_params(params, [&](std::string& out, PyObject* p) { render_top(cell, out, p); });
    });
}

void init_filter_type(PyObject* m) {
    filter_as_number.nb_and = filter_and;
    filter_as_number.nb_or = filter_or;
    filter_as_number.nb_invert = filter_invert;
    filter_as_number.nb_bool = filter_bool;
    PyTypeObject* tp = &FilterListCellType;
    *tp = gc_type<FilterRefs, filter_clear, offsetof(FilterObject, weaklist)>(
        "Tavrik.Model.ModelProperty.FilterListCell", sizeof(FilterObject), 0);
    tp->tp_doc =
        "FilterListCell(value, *, col=None)\n--\n\n"
        "A condition: FilterListCell(\"1\") is the always-true head of a chain, FilterListCell(name, col=prop) "
        "a column cell, FilterListCell(value) a value cell; column comparisons build the others.";
    tp->tp_new = PyType_GenericNew;
    tp->tp_init = filter_init;
    tp->tp_methods = filter_methods;
    tp->tp_as_number = &filter_as_number;
    tp->tp_repr = filter_repr;
    add_type(m, tp);
}

}  // namespace mp
}  // namespace tavrik
