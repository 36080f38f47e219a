// BaseSqlGenerator, SqlGenerator, JoinCell, InOperatorGenerator and
// CustomSqlGenerator.
#include "gen.hpp"
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <vector>

namespace tavrik {
namespace gen {

PyTypeObject BaseSqlGeneratorType = empty_type();
PyTypeObject SqlGeneratorType = empty_type();
PyTypeObject InOperatorGeneratorType = empty_type();
PyTypeObject CustomSqlGeneratorType = empty_type();
PyTypeObject JoinCellType = empty_type();

// ------------------------------------------------------------ helpers

Ref table_name(PyObject* model) {
    Ref t = getattr(model, names.tableName.get());
    if (!PyUnicode_Check(t.get())) {
        PyErr_Format(PyExc_TypeError, "tableName of %R must be a str, not %.200s", model, Py_TYPE(t.get())->tp_name);
        throw_error();
    }
    return t;
}

Ref to_str(const std::string& s) { return new_ref(PyUnicode_DecodeUTF8(s.data(), (Py_ssize_t)s.size(), "strict")); }

namespace {

inline SqlGeneratorObject* G(PyObject* o) { return (SqlGeneratorObject*)o; }
inline bool is_prop(PyObject* o) { return PyObject_TypeCheck(o, mp_api->BasePropertyType); }
inline bool is_filter(PyObject* o) { return PyObject_TypeCheck(o, mp_api->FilterListCellType); }
inline bool is_expr(PyObject* o) { return PyObject_TypeCheck(o, mp_api->ExpressionType); }

// An expression's text, its bound values appended to `params`.
void append_operand(std::string& out, PyObject* operand, PyObject* params) {
    Ref text = new_ref(mp_api->operand_render(operand, params));
    append_utf8(out, text.get());
}

void append_column(std::string& out, PyObject* prop) {
    Ref s = new_ref(mp_api->column_sql(prop));
    append_utf8(out, s.get());
}

// The property of `model` bound to the attribute `name`, else the one whose
// database column is `name`, borrowed, or NULL.
PyObject* find_column(PyObject* model, PyObject* name) {
    if (!model) return nullptr;
    Ref cols = Ref::consuming_nullable(PyObject_GetAttr(model, names.col.get()));
    if (!cols) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
        PyErr_Clear();
        return nullptr;
    }
    Ref seq = new_ref(PySequence_Fast(cols.get(), "col must be a sequence"));
    Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject* p = PySequence_Fast_GET_ITEM(seq.get(), i);
        if (!is_prop(p)) continue;
        PyObject* pname = ((BasePropertyObject*)p)->name;
        if (pname && PyUnicode_Compare(pname, name) == 0) return p;  // the model holds it
    }
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject* p = PySequence_Fast_GET_ITEM(seq.get(), i);
        if (!is_prop(p) || !((BasePropertyObject*)p)->column) continue;
        if (PyUnicode_Compare(((BasePropertyObject*)p)->column, name) == 0) return p;
    }
    if (PyErr_Occurred()) throw_error();
    return nullptr;
}

// A selected column: rows arrive keyed by the attribute the column is bound
// to, whatever the database column is called.
void append_selected(std::string& out, PyObject* prop) {
    append_column(out, prop);
    BasePropertyObject* p = (BasePropertyObject*)prop;
    if (p->column && p->name) {
        out += " AS ";
        quote_ident(out, p->name);
    }
}

void append_named(std::string& out, PyObject* model, PyObject* name) {
    if (PyObject* p = find_column(model, name))
        append_column(out, p);
    else
        quote_ident(out, name);
}

// What one statement under construction holds; the bound model outlives it.
using StatementRefs = Refs<SqlGeneratorObject, NoRefs, &SqlGeneratorObject::table, &SqlGeneratorObject::columns,
                           &SqlGeneratorObject::where, &SqlGeneratorObject::rows, &SqlGeneratorObject::sets,
                           &SqlGeneratorObject::batch, &SqlGeneratorObject::order, &SqlGeneratorObject::joins,
                           &SqlGeneratorObject::groups, &SqlGeneratorObject::having, &SqlGeneratorObject::conflict>;
using GenRefs = Refs<SqlGeneratorObject, StatementRefs, &SqlGeneratorObject::model>;

void clear_statement(SqlGeneratorObject* g) {
    StatementRefs::clear((PyObject*)g);
    g->hasLimit = 0;
    g->limit = g->offset = 0;
    g->lockRows = 0;
    g->aggregate = AGG_NONE;
    g->keyed = 0;
    g->upsert = 0;
}

// ------------------------------------------------------------ lifecycle

int gen_clear(PyObject* self) {
    SqlGeneratorObject* g = G(self);
    Py_CLEAR(g->model);
    clear_statement(g);
    return 0;
}

int paging(PyObject* self, long long limit, long long offset) {
    return guard_int([&]() -> int {
        if (!PyObject_TypeCheck(self, &SqlGeneratorType)) raise_arg_type("gen", SqlGeneratorType.tp_name, self);
        if (limit < 0 || offset < 0) {
            PyErr_Format(PyExc_ValueError, "Limit: count and skip must not be negative (got %lld, %lld)", limit,
                         offset);
            throw_error();
        }
        G(self)->limit = limit;
        G(self)->offset = offset;
        G(self)->hasLimit = 1;
        return 0;
    });
}

PyObject* base_new(PyTypeObject* tp, PyObject*, PyObject*) {
    PyObject* self = tp->tp_alloc(tp, 0);
    if (self) ((BaseSqlGeneratorObject*)self)->kind = SK_NONE;
    return self;
}

PyObject* gen_new(PyTypeObject* tp, PyObject* a, PyObject* k) {
    PyObject* self = base_new(tp, a, k);
    if (self) G(self)->head.paging = paging;
    return self;
}

int gen_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard_int([&]() -> int {
        static const char* const kw[] = {"model"};
        PyObject* a[1];
        parse_tuple_kw(KwParams{"SqlGenerator", kw, 1, 0, 1}, args, kwargs, a);
        PyObject* model = a[0] ? a[0] : Py_None;
        clear_statement(G(self));
        G(self)->head.base.kind = SK_NONE;
        set_field(G(self)->model, model == Py_None ? nullptr : model);
        return 0;
    });
}

// ------------------------------------------------------------ statements

void begin(SqlGeneratorObject* g, int kind, PyObject* model) {
    clear_statement(g);
    g->head.base.kind = kind;
    set_field(g->table, model);
}

PyObject* self_ref(PyObject* self) {
    Py_INCREF(self);
    return self;
}

void no_kwargs(PyObject* kwnames, const char* func) {
    if (kwnames && PyTuple_GET_SIZE(kwnames)) raise_unexpected_kw(func, PyTuple_GET_ITEM(kwnames, 0));
}

PyObject* m_select(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        no_kwargs(kwnames, "select");
        SqlGeneratorObject* g = G(self);
        for (Py_ssize_t i = 0; i < nargs; i++)
            if (!is_prop(args[i]) && !PyUnicode_Check(args[i])) raise_arg_type("cols", "BaseProperty or str", args[i]);
        // A selection keeps clauses added ahead of it (joins, ordering);
        // switching from another kind of statement starts afresh.
        if (g->head.base.kind != SK_SELECT && g->head.base.kind != SK_NONE) clear_statement(g);
        g->head.base.kind = SK_SELECT;
        g->aggregate = AGG_NONE;
        Ref cols = new_ref(PyTuple_New(nargs));
        for (Py_ssize_t i = 0; i < nargs; i++) {
            Py_INCREF(args[i]);
            PyTuple_SET_ITEM(cols.get(), i, args[i]);
        }
        set_field(g->columns, cols.get());
        return self_ref(self);
    });
}

// SELECT COUNT(*) / SELECT 1 ... LIMIT 1 of the bound model's table, keeping
// joins and conditions added ahead of it, as select() does.
PyObject* begin_aggregate(PyObject* self, int aggregate) {
    return guard([&]() -> PyObject* {
        SqlGeneratorObject* g = G(self);
        if (g->head.base.kind != SK_SELECT && g->head.base.kind != SK_NONE) clear_statement(g);
        g->head.base.kind = SK_SELECT;
        Py_CLEAR(g->columns);
        g->aggregate = aggregate;
        return self_ref(self);
    });
}

PyObject* m_select_count(PyObject* self, PyObject*) { return begin_aggregate(self, AGG_COUNT); }

void check_grouped(PyObject* items, PyObject* groups, PyObject* having) {
    if (!PyTuple_Check(items) || PyTuple_GET_SIZE(items) == 0)
        raise_arg_type("items", "a non-empty tuple of (alias, column or expression)", items);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items); i++) {
        PyObject* it = PyTuple_GET_ITEM(items, i);
        if (!PyTuple_Check(it) || PyTuple_GET_SIZE(it) != 2 || !PyUnicode_Check(PyTuple_GET_ITEM(it, 0)) ||
            !(is_prop(PyTuple_GET_ITEM(it, 1)) || is_expr(PyTuple_GET_ITEM(it, 1))))
            raise_arg_type("items", "(alias, column or expression)", it);
    }
    if (!PyTuple_Check(groups)) raise_arg_type("groups", "tuple", groups);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(groups); i++)
        if (!is_prop(PyTuple_GET_ITEM(groups, i)))
            raise_arg_type("groups", "BaseProperty", PyTuple_GET_ITEM(groups, i));
    if (having != Py_None && !is_filter(having)) raise_arg_type("having", mp_api->FilterListCellType->tp_name, having);
}

// SELECT expr AS alias, ... GROUP BY ... HAVING ...: keeps joins, conditions
// and ordering added ahead of it, as select() does.
PyObject* m_select_grouped(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        static const char* const kw[] = {"items", "groups", "having"};
        PyObject* a[3];
        bind_args("selectGrouped", args, nargs, kwnames, kw, 3, 1, a);
        Ref items = new_ref(PySequence_Tuple(a[0]));
        Ref groups = a[1] ? new_ref(PySequence_Tuple(a[1])) : new_ref(PyTuple_New(0));
        PyObject* having = a[2] ? a[2] : Py_None;
        check_grouped(items.get(), groups.get(), having);
        SqlGeneratorObject* g = G(self);
        if (g->head.base.kind != SK_SELECT && g->head.base.kind != SK_NONE) clear_statement(g);
        g->head.base.kind = SK_SELECT;
        g->aggregate = AGG_GROUPED;
        set_field(g->columns, items.get());
        set_field(g->groups, groups.get());
        set_field(g->having, having == Py_None ? nullptr : having);
        return self_ref(self);
    });
}
PyObject* m_select_exists(PyObject* self, PyObject*) { return begin_aggregate(self, AGG_EXISTS); }

void add_where(PyObject* self, PyObject* cond) {
    SqlGeneratorObject* g = G(self);
    if (cond != Py_None && !is_filter(cond)) raise_arg_type("cond", mp_api->FilterListCellType->tp_name, cond);
    if (g->head.base.kind == SK_NONE) {
        Ref cls = import_attr("Tavrik.Error.Grelt", "WhereGrelt");
        Ref exc = new_ref(PyObject_CallNoArgs(cls.get()));
        PyErr_SetObject(cls.get(), exc.get());
        throw_error();
    }
    if (cond == Py_None) return;
    if (!g->where) {
        set_field(g->where, cond);
    } else {
        Ref both = new_ref(PyNumber_And(g->where, cond));
        set_field(g->where, both.get());
    }
}

PyObject* m_where(PyObject* self, PyObject* cond) {
    return guard([&]() -> PyObject* {
        add_where(self, cond);
        return self_ref(self);
    });
}

PyObject* m_insert(PyObject* self, PyObject* model) {
    return guard([&]() -> PyObject* {
        Ref t = table_name(model);
        begin(G(self), SK_INSERT, model);
        return self_ref(self);
    });
}

PyObject* m_update(PyObject* self, PyObject* model) {
    return guard([&]() -> PyObject* {
        Ref t = table_name(model);
        begin(G(self), SK_UPDATE, model);
        return self_ref(self);
    });
}

PyObject* m_delete(PyObject* self, PyObject* model) {
    return guard([&]() -> PyObject* {
        Ref t = table_name(model);
        begin(G(self), SK_DELETE, model);
        return self_ref(self);
    });
}

void check_cell(PyObject* cell) {
    if (!PyTuple_Check(cell) || PyTuple_GET_SIZE(cell) != 2 || !is_prop(PyTuple_GET_ITEM(cell, 0)))
        raise_arg_type("cells", "cell (BaseProperty, value) from insertCell/updateCell", cell);
    if (!((BasePropertyObject*)PyTuple_GET_ITEM(cell, 0))->name) {
        PyErr_SetString(PyExc_ValueError, "a cell's column has no name");
        throw_error();
    }
}

Ref row_of(PyObject* const* cells, Py_ssize_t n) {
    Ref row = new_ref(PyTuple_New(n));
    for (Py_ssize_t i = 0; i < n; i++) {
        check_cell(cells[i]);
        Py_INCREF(cells[i]);
        PyTuple_SET_ITEM(row.get(), i, cells[i]);
    }
    return row;
}

void add_row(SqlGeneratorObject* g, PyObject* row) {
    if (g->head.base.kind != SK_INSERT) {
        PyErr_SetString(PyExc_ValueError, "values() needs an INSERT statement: call insert(model) first");
        throw_error();
    }
    if (!g->rows) g->rows = new_ref(PyList_New(0)).relinquish();
    Require(PyList_Append(g->rows, row));
}

PyObject* m_values(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        no_kwargs(kwnames, "values");
        Ref row = row_of(args, nargs);
        add_row(G(self), row.get());
        return self_ref(self);
    });
}

PyObject* m_values_many(PyObject* self, PyObject* rows) {
    return guard([&]() -> PyObject* {
        Ref it = new_ref(PyObject_GetIter(rows));
        while (PyObject* r = PyIter_Next(it.get())) {
            Ref owned = Ref::consuming(r);
            Ref seq = new_ref(PySequence_Fast(r, "valuesMany: each row must be a sequence of cells"));
            Ref row = row_of(PySequence_Fast_ITEMS(seq.get()), PySequence_Fast_GET_SIZE(seq.get()));
            add_row(G(self), row.get());
        }
        if (PyErr_Occurred()) throw_error();
        return self_ref(self);
    });
}

PyObject* m_set(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        no_kwargs(kwnames, "set");
        SqlGeneratorObject* g = G(self);
        if (g->head.base.kind != SK_UPDATE) {
            Ref cls = import_attr("Tavrik.Error.Grelt", "SetGrelt");
            Ref exc = new_ref(PyObject_CallNoArgs(cls.get()));
            PyErr_SetObject(cls.get(), exc.get());
            throw_error();
        }
        Ref row = row_of(args, nargs);
        if (!g->sets) g->sets = new_ref(PyList_New(0)).relinquish();
        for (Py_ssize_t i = 0; i < nargs; i++) Require(PyList_Append(g->sets, args[i]));
        return self_ref(self);
    });
}

PyObject* m_join(PyObject* self, PyObject* target) {
    return guard([&]() -> PyObject* {
        SqlGeneratorObject* g = G(self);
        Ref cell;
        if (PyObject_TypeCheck(target, &JoinCellType)) {
            cell = borrow(target);
        } else {
            // A relation descriptor: JOIN its target ON target column = own column.
            Ref model = getattr(target, names.target.get());
            Ref far = getattr(target, names.targetBindCol.get());
            Ref near = getattr(target, names.bindCol.get());
            if (!is_prop(far.get()) || !is_prop(near.get())) {
                PyErr_Format(PyExc_TypeError, "join(%R): the relation's columns are not resolved", target);
                throw_error();
            }
            Ref on = new_ref(PyObject_RichCompare(far.get(), near.get(), Py_EQ));
            cell = new_ref(PyType_GenericAlloc(&JoinCellType, 0));
            JoinCellObject* j = (JoinCellObject*)cell.get();
            j->target = model.relinquish();
            j->on = on.relinquish();
        }
        if (!g->joins) g->joins = new_ref(PyList_New(0)).relinquish();
        Require(PyList_Append(g->joins, cell.get()));
        return self_ref(self);
    });
}

// An ordering term of a column that holds no NULL starts with this byte
// (no SQL text does), which the rendering drops: a database that sorts NULLs
// high then needs no NULLS clause, which would keep it from reading the
// column's index in order.
constexpr char kNotNullTerm = '\x01';

bool holds_no_null(PyObject* prop) {
    const BasePropertyObject* p = (const BasePropertyObject*)prop;
    return p->primaryKey || !p->nullable;
}

Ref order_term(PyObject* model, PyObject* arg) {
    std::string out;
    const char* dir = nullptr;
    PyObject* what = arg;
    Ref name_ref;
    if (PyTuple_Check(arg)) {
        if (PyTuple_GET_SIZE(arg) != 2 || !PyUnicode_Check(PyTuple_GET_ITEM(arg, 1)))
            raise_arg_type("args", "(column, 'ASC' or 'DESC')", arg);
        what = PyTuple_GET_ITEM(arg, 0);
        const char* d = PyUnicode_AsUTF8(PyTuple_GET_ITEM(arg, 1));
        if (!d) throw_error();
        if (strcasecmp(d, "DESC") == 0)
            dir = " DESC";
        else if (strcasecmp(d, "ASC") == 0)
            dir = " ASC";
        else {
            PyErr_Format(PyExc_ValueError, "order direction must be ASC or DESC, got %R", PyTuple_GET_ITEM(arg, 1));
            throw_error();
        }
    }
    if (is_expr(what)) {
        // An expression's term carries its bound values: (text, values).
        Ref params = new_ref(PyList_New(0));
        append_operand(out, what, params.get());
        if (dir) out += dir;
        Ref text = to_str(out);
        Ref values = new_ref(PyList_AsTuple(params.get()));
        return new_ref(PyTuple_Pack(2, text.get(), values.get()));
    }
    if (is_prop(what)) {
        if (holds_no_null(what)) out += kNotNullTerm;
        append_column(out, what);
    } else if (PyUnicode_Check(what)) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(what);
        if (!dir && n > 1 && PyUnicode_READ_CHAR(what, 0) == '-') {
            dir = " DESC";
            name_ref = new_ref(PyUnicode_Substring(what, 1, n));
            what = name_ref.get();
        }
        PyObject* p = find_column(model, what);
        if (p && holds_no_null(p)) out += kNotNullTerm;
        append_named(out, model, what);
    } else {
        raise_arg_type("args", "BaseProperty, Expression, str or (column, direction)", arg);
    }
    if (dir) out += dir;
    return to_str(out);
}

// Whether the statement reads the table of `owner` (a column's model): its
// own model's or a joined one's.  Compared by table, the name the text uses.
bool reads_table_of(SqlGeneratorObject* g, PyObject* model, PyObject* owner) {
    if (!owner || owner == model) return true;
    Ref table = getattr(owner, names.tableName.get());
    auto same = [&](PyObject* m) {
        if (!m) return false;
        if (m == owner) return true;
        Ref t = Ref::consuming_nullable(PyObject_GetAttr(m, names.tableName.get()));
        if (!t) {
            PyErr_Clear();
            return false;
        }
        return Require(PyObject_RichCompareBool(t.get(), table.get(), Py_EQ)) == 1;
    };
    if (same(model)) return true;
    if (g->joins)
        for (Py_ssize_t i = 0, n = PyList_GET_SIZE(g->joins); i < n; i++)
            if (same(((JoinCellObject*)PyList_GET_ITEM(g->joins, i))->target)) return true;
    return false;
}

// A column of a table the statement does not read would fail at the
// database, after the call: refused here, before any statement runs.
void check_order_column(SqlGeneratorObject* g, PyObject* model, PyObject* arg) {
    PyObject* what = PyTuple_Check(arg) && PyTuple_GET_SIZE(arg) == 2 ? PyTuple_GET_ITEM(arg, 0) : arg;
    if (!is_prop(what) || !model || model == Py_None) return;
    if (reads_table_of(g, model, ((BasePropertyObject*)what)->owner)) return;
    Ref table = Ref::consuming_nullable(PyObject_GetAttr(model, names.tableName.get()));
    if (!table) PyErr_Clear();
    PyErr_Format(PyExc_ValueError, "orderBy: %R is not a column of %R (nor of a table joined to it)", what,
                 table ? table.get() : model);
    throw_error();
}

PyObject* m_order_by(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        no_kwargs(kwnames, "orderBy");
        SqlGeneratorObject* g = G(self);
        PyObject* model = g->table ? g->table : g->model;
        Ref terms = new_ref(PyList_New(0));
        for (Py_ssize_t i = 0; i < nargs; i++) {
            check_order_column(g, model, args[i]);
            Ref t = order_term(model, args[i]);
            Require(PyList_Append(terms.get(), t.get()));
        }
        if (!g->order) g->order = new_ref(PyList_New(0)).relinquish();
        Py_ssize_t n = PyList_GET_SIZE(g->order);
        Require(PyList_SetSlice(g->order, n, n, terms.get()));
        return self_ref(self);
    });
}

PyObject* m_limit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        no_kwargs(kwnames, "Limit");
        if (nargs < 1 || nargs > 2) raise_arity("Limit", nargs < 1 ? "at least" : "at most", nargs < 1 ? 1 : 2, nargs);
        long long count = to_int64(args[0]);
        long long skip = nargs > 1 ? to_int64(args[1]) : 0;
        if (paging(self, count, skip) < 0) throw_error();
        return self_ref(self);
    });
}

// A selection that locks the rows it reads until the transaction ends (the
// MySQL form; SQLite has no such clause).
PyObject* m_for_update(PyObject* self, PyObject*) {
    return guard([&]() -> PyObject* {
        G(self)->lockRows = 1;
        return self_ref(self);
    });
}

PyObject* m_bind(PyObject* self, PyObject* model) {
    return guard([&]() -> PyObject* { return api_bind_model(self, model); });
}

PyObject* m_statement_pair(PyObject* self, PyObject*) { return api_statement_pair(self); }
PyObject* m_where_part(PyObject* self, PyObject*) { return api_where_part(self); }

// ------------------------------------------------------------ rendering

void render_where(SqlGeneratorObject* g, std::string& out, PyObject* params) {
    if (!g->where) return;
    Ref text = new_ref(mp_api->filter_render(g->where, params));
    out += " WHERE ";
    append_utf8(out, text.get());
}

void no_select_clauses(SqlGeneratorObject* g, const char* what) {
    if (g->hasLimit || (g->order && PyList_GET_SIZE(g->order)) || (g->joins && PyList_GET_SIZE(g->joins))) {
        PyErr_Format(PyExc_ValueError, "%s statements take no JOIN, ORDER BY or LIMIT", what);
        throw_error();
    }
}

// `d`: the database the text is for, or NULL for the generator's own
// spelling (a locking read ends in FOR UPDATE, as the statement was asked).
Ref select_pair(SqlGeneratorObject* g, const Dialect* d) {
    PyObject* model = g->model;
    Ref params = new_ref(PyList_New(0));
    std::string out = "SELECT ";
    PyObject* cols = g->columns;
    Ref model_cols;
    const int agg = g->aggregate;
    if (agg == AGG_COUNT) {
        out += "COUNT(*)";
        cols = nullptr;
    } else if (agg == AGG_EXISTS) {
        out += '1';
        cols = nullptr;
    } else if (agg == AGG_GROUPED) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(cols); i++) {
            PyObject* it = PyTuple_GET_ITEM(cols, i);
            if (i) out += ", ";
            append_operand(out, PyTuple_GET_ITEM(it, 1), params.get());
            out += " AS ";
            quote_ident(out, PyTuple_GET_ITEM(it, 0));
        }
        cols = nullptr;
    } else if (!cols || PyTuple_GET_SIZE(cols) == 0) {
        if (model) {
            Ref c = getattr(model, names.col.get());
            model_cols = new_ref(PySequence_Tuple(c.get()));
            cols = model_cols.get();
        }
    }
    Py_ssize_t n = cols ? PyTuple_GET_SIZE(cols) : 0;
    if (n == 0 && agg == AGG_NONE) out += '*';
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject* c = PyTuple_GET_ITEM(cols, i);
        if (i) out += ", ";
        if (is_prop(c)) {
            append_selected(out, c);
            if (!model) model = ((BasePropertyObject*)c)->owner;
        } else if (PyUnicode_Check(c) && PyUnicode_CompareWithASCIIString(c, "*") == 0) {
            out += '*';
        } else if (PyUnicode_Check(c)) {
            if (PyObject* p = find_column(model, c))
                append_selected(out, p);
            else
                quote_ident(out, c);
        } else {
            raise_arg_type("cols", "BaseProperty or str", c);
        }
    }
    if (!model) {
        PyErr_SetString(PyExc_ValueError, "SELECT without a table: bind the generator to a model");
        throw_error();
    }
    out += " FROM ";
    Ref t = table_name(model);
    quote_ident(out, t.get());
    if (g->joins) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(g->joins); i++) {
            JoinCellObject* j = (JoinCellObject*)PyList_GET_ITEM(g->joins, i);
            if (!j->target || !j->on) {
                PyErr_SetString(PyExc_ValueError, "JoinCell is not initialised");
                throw_error();
            }
            Ref jt = table_name(j->target);
            out += j->left ? " LEFT JOIN " : " JOIN ";
            quote_ident(out, jt.get());
            out += " ON ";
            Ref on = new_ref(mp_api->filter_render(j->on, params.get()));
            append_utf8(out, on.get());
        }
    }
    render_where(g, out, params.get());
    if (agg == AGG_EXISTS) out += " LIMIT 1";
    const bool rows_out = agg == AGG_NONE || agg == AGG_GROUPED;
    if (agg == AGG_GROUPED && g->groups && PyTuple_GET_SIZE(g->groups)) {
        out += " GROUP BY ";
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(g->groups); i++) {
            if (i) out += ", ";
            append_column(out, PyTuple_GET_ITEM(g->groups, i));
        }
    }
    if (agg == AGG_GROUPED && g->having) {
        Ref text = new_ref(mp_api->filter_render(g->having, params.get()));
        out += " HAVING ";
        append_utf8(out, text.get());
    }
    if (rows_out && g->order && PyList_GET_SIZE(g->order)) {
        out += " ORDER BY ";
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(g->order); i++) {
            if (i) out += ", ";
            const size_t start = out.size();
            PyObject* term = PyList_GET_ITEM(g->order, i);
            if (PyTuple_Check(term)) {
                append_utf8(out, PyTuple_GET_ITEM(term, 0));
                PyObject* values = PyTuple_GET_ITEM(term, 1);
                for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(values); k++)
                    Require(PyList_Append(params.get(), PyTuple_GET_ITEM(values, k)));
            } else {
                append_utf8(out, term);
            }
            const bool no_null = out.size() > start && out[start] == kNotNullTerm;
            if (no_null) out.erase(start, 1);
            if (d && d->nulls_sort_high && !no_null) {
                const bool desc = out.size() - start > 5 && out.compare(out.size() - 5, 5, " DESC") == 0;
                out += desc ? " NULLS LAST" : " NULLS FIRST";
            }
        }
    }
    if (rows_out && g->hasLimit) {
        out += " LIMIT %s OFFSET %s";
        Ref l = from_long(g->limit), o = from_long(g->offset);
        Require(PyList_Append(params.get(), l.get()));
        Require(PyList_Append(params.get(), o.get()));
    }
    if (agg == AGG_NONE && g->lockRows) {
        const char* lock = d ? d->for_update : kMySQL.for_update;
        if (lock) out += lock;
    }
    Ref text = to_str(out);
    Ref tuple = new_ref(PyList_AsTuple(params.get()));
    return new_ref(PyTuple_Pack(2, text.get(), tuple.get()));
}

// The INSERT text for the columns of the first row.  Saves repeat the same
// few shapes, so the texts are kept per (table, columns): the same text
// object then also hits the drivers' statement caches at once.
Ref insert_text(SqlGeneratorObject* g, PyObject* cols) {
    static Immortal cache;
    Ref t = table_name(g->table);
    Py_ssize_t ncols = PyTuple_GET_SIZE(cols);
    Ref key = new_ref(PyTuple_New(ncols + 1));
    Py_INCREF(t.get());
    PyTuple_SET_ITEM(key.get(), 0, t.get());
    for (Py_ssize_t i = 0; i < ncols; i++) {
        PyObject* name = prop_column(PyTuple_GET_ITEM(cols, i));
        if (!name) raise_expected("str", Py_None);
        Py_INCREF(name);
        PyTuple_SET_ITEM(key.get(), i + 1, name);
    }
    if (!cache) cache = new_ref(PyDict_New());
    if (PyObject* hit = dict_get(cache, key.get())) return borrow(hit);
    std::string out = "INSERT INTO ";
    quote_ident(out, t.get());
    out += " (";
    for (Py_ssize_t i = 0; i < ncols; i++) {
        if (i) out += ", ";
        quote_ident(out, PyTuple_GET_ITEM(key.get(), i + 1));
    }
    out += ") VALUES (";
    for (Py_ssize_t i = 0; i < ncols; i++) out += i ? ", %s" : "%s";
    out += ')';
    Ref text = to_str(out);
    if (PyDict_GET_SIZE(cache.get()) >= 1024) PyDict_Clear(cache);
    Require(PyDict_SetItem(cache, key.get(), text.get()));
    return text;
}

// The rows of values of a batch, as rows of cells (for copies and pickles).
Ref batch_as_rows(SqlGeneratorObject* g) {
    PyObject* cols = PyTuple_GET_ITEM(g->batch, 0);
    PyObject* params = PyTuple_GET_ITEM(g->batch, 1);
    Ref rows = new_ref(PyList_New(PyList_GET_SIZE(params)));
    for (Py_ssize_t r = 0; r < PyList_GET_SIZE(params); r++) {
        PyObject* vals = PyList_GET_ITEM(params, r);
        Ref row = new_ref(PyTuple_New(PyTuple_GET_SIZE(cols)));
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(cols); i++) {
            PyObject* cell = Require(PyTuple_Pack(2, PyTuple_GET_ITEM(cols, i), PyTuple_GET_ITEM(vals, i)));
            PyTuple_SET_ITEM(row.get(), i, cell);
        }
        PyList_SET_ITEM(rows.get(), r, row.relinquish());
    }
    return rows;
}

// A row given no values: every column takes its default, and the database's
// constraints decide whether the row may exist.  The two databases spell it
// differently and neither reads the other's form.
Ref default_insert_pair(SqlGeneratorObject* g, const Dialect& d) {
    Ref t = table_name(g->table);
    std::string out = "INSERT INTO ";
    quote_ident(out, t.get());
    out += d.empty_insert;
    Ref text = to_str(out);
    Ref none = new_ref(PyTuple_New(0));
    return new_ref(PyTuple_Pack(2, text.get(), none.get()));
}

// " RETURNING <primary key>" after `out`; false (nothing appended) when the
// table has no primary key column.
bool append_returning(SqlGeneratorObject* g, std::string& out) {
    Ref pk = Ref::consuming_nullable(PyObject_GetAttr(g->table, names.pkCol.get()));
    if (!pk) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
        PyErr_Clear();
        return false;
    }
    if (!PyObject_TypeCheck(pk.get(), mp_api->BasePropertyType)) return false;
    PyObject* column = prop_column(pk.get());
    if (!column) return false;
    out += " RETURNING ";
    quote_ident(out, column);
    // An upsert's rows are told apart by their target's values, not by
    // their order (a row left alone returns nothing).
    if (g->upsert && g->conflict)
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(g->conflict); i++) {
            PyObject* t = PyTuple_GET_ITEM(g->conflict, i);
            if (t == pk.get()) continue;
            PyObject* name = prop_column(t);
            if (!name) raise_expected("str", Py_None);
            out += ", ";
            quote_ident(out, name);
        }
    return true;
}

// Whether the upsert's target is the table's primary key alone.
bool targets_key(SqlGeneratorObject* g) {
    if (!g->conflict || PyTuple_GET_SIZE(g->conflict) != 1) return false;
    Ref pk = Ref::consuming_nullable(PyObject_GetAttr(g->table, names.pkCol.get()));
    if (!pk) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
        PyErr_Clear();
        return false;
    }
    return PyTuple_GET_ITEM(g->conflict, 0) == pk.get();
}

void append_quoted_column(std::string& out, PyObject* prop) {
    PyObject* name = prop_column(prop);
    if (!name) raise_expected("str", Py_None);
    quote_ident(out, name);
}

// What follows an upsert's VALUES: the target and, for an update, every
// column of the batch but the key and the target, each taking the new row's
// value.  With nothing else to write, the target is set to itself: the row
// is still met (and returned), as a row of other columns would be.
std::string conflict_clause(SqlGeneratorObject* g, const Dialect& d, PyObject* cols) {
    PyObject* target = g->conflict;
    Ref pk = Ref::consuming_nullable(PyObject_GetAttr(g->table, names.pkCol.get()));
    if (!pk) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
        PyErr_Clear();
    }
    std::vector<PyObject*> set;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(cols); i++) {
        PyObject* c = PyTuple_GET_ITEM(cols, i);
        bool skip = pk && c == pk.get();
        for (Py_ssize_t j = 0; !skip && j < PyTuple_GET_SIZE(target); j++) skip = PyTuple_GET_ITEM(target, j) == c;
        if (!skip) set.push_back(c);
    }
    PyObject* first = PyTuple_GET_ITEM(target, 0);
    if (set.empty()) set.push_back(first);
    std::string out;
    if (d.upsert == Upsert::OnConflict) {
        out += " ON CONFLICT (";
        for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(target); j++) {
            if (j) out += ", ";
            append_quoted_column(out, PyTuple_GET_ITEM(target, j));
        }
        out += ')';
        if (g->upsert == 2) {
            out += " DO NOTHING";
            return out;
        }
        out += " DO UPDATE SET ";
        for (size_t i = 0; i < set.size(); i++) {
            if (i) out += ", ";
            append_quoted_column(out, set[i]);
            out += " = excluded.";
            append_quoted_column(out, set[i]);
        }
        return out;
    }
    out += " ON DUPLICATE KEY UPDATE ";
    if (g->upsert == 2) {
        // Only a duplicate is passed over: every other refusal still raises.
        PyObject* same = pk && is_prop(pk.get()) ? pk.get() : first;
        append_quoted_column(out, same);
        out += " = ";
        append_quoted_column(out, same);
        return out;
    }
    for (size_t i = 0; i < set.size(); i++) {
        if (i) out += ", ";
        append_quoted_column(out, set[i]);
        out += " = VALUES(";
        append_quoted_column(out, set[i]);
        out += ')';
    }
    return out;
}

// A single-row INSERT where the new key comes back by RETURNING: the text
// with the clause naming the table's primary key (none without one).
Ref returning_key(SqlGeneratorObject* g, Ref pair, const Dialect& d) {
    if (d.new_key != NewKey::Returning) return pair;
    std::string out;
    append_utf8(out, PyTuple_GET_ITEM(pair.get(), 0));
    if (!append_returning(g, out)) return pair;
    Ref text = to_str(out);
    return new_ref(PyTuple_Pack(2, text.get(), PyTuple_GET_ITEM(pair.get(), 1)));
}

// A keyed batch run per row (PostgreSQL).  A NULL key there is refused, not
// replaced by the next one: when some rows carry their key and others hold
// None, the two groups are two INSERTs, the rows carrying keys first
// ((list of two texts, list of their parameter lists)); else one.
// An upsert's clause (`tail`) ends each INSERT, but for rows without a key
// when the key is the target: those cannot be meant to meet a stored row,
// and a generated key already taken must raise, not update that row.
Ref per_row_pair(SqlGeneratorObject* g, const Dialect& d, PyObject* plain, PyObject* params, const std::string& tail) {
    PyObject* cols = PyTuple_GET_ITEM(g->batch, 0);
    std::string tailed_text;
    append_utf8(tailed_text, plain);
    tailed_text += tail;
    Ref tailed = to_str(tailed_text);
    PyObject* text = tailed.get();
    const bool plain_keyless = !tail.empty() && targets_key(g);
    Ref pk = Ref::consuming_nullable(PyObject_GetAttr(g->table, names.pkCol.get()));
    if (!pk) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
        PyErr_Clear();
    }
    Py_ssize_t at = -1;
    for (Py_ssize_t i = 0; pk && i < PyTuple_GET_SIZE(cols); i++)
        if (PyTuple_GET_ITEM(cols, i) == pk.get()) at = i;
    Ref one = new_ref(PyTuple_Pack(2, text, params));
    if (at < 0) {
        if (plain_keyless) one = new_ref(PyTuple_Pack(2, plain, params));
        return returning_key(g, std::move(one), d);
    }
    Ref with = new_ref(PyList_New(0)), without = new_ref(PyList_New(0));
    const Py_ssize_t ncols = PyTuple_GET_SIZE(cols);
    for (Py_ssize_t r = 0; r < PyList_GET_SIZE(params); r++) {
        PyObject* row = PyList_GET_ITEM(params, r);
        if (PyTuple_GET_ITEM(row, at) != Py_None) {
            Require(PyList_Append(with.get(), row));
            continue;
        }
        Ref rest = new_ref(PyTuple_New(ncols - 1));
        for (Py_ssize_t i = 0, j = 0; i < ncols; i++) {
            if (i == at) continue;
            PyObject* v = PyTuple_GET_ITEM(row, i);
            Py_INCREF(v);
            PyTuple_SET_ITEM(rest.get(), j++, v);
        }
        Require(PyList_Append(without.get(), rest.get()));
    }
    if (PyList_GET_SIZE(without.get()) == 0 || PyList_GET_SIZE(with.get()) == 0 || ncols == 1)
        return returning_key(g, std::move(one), d);
    Ref rest_cols = new_ref(PyTuple_New(ncols - 1));
    for (Py_ssize_t i = 0, j = 0; i < ncols; i++) {
        if (i == at) continue;
        PyObject* c = PyTuple_GET_ITEM(cols, i);
        Py_INCREF(c);
        PyTuple_SET_ITEM(rest_cols.get(), j++, c);
    }
    Ref a = returning_key(g, new_ref(PyTuple_Pack(2, text, with.get())), d);
    Ref rest_text = insert_text(g, rest_cols.get());
    if (!tail.empty() && !plain_keyless) {
        std::string t;
        append_utf8(t, rest_text.get());
        t += tail;
        rest_text = to_str(t);
    }
    Ref b = returning_key(g, new_ref(PyTuple_Pack(2, rest_text.get(), without.get())), d);
    Ref texts = new_ref(Py_BuildValue("[OO]", PyTuple_GET_ITEM(a.get(), 0), PyTuple_GET_ITEM(b.get(), 0)));
    Ref lists = new_ref(Py_BuildValue("[OO]", with.get(), without.get()));
    return new_ref(PyTuple_Pack(2, texts.get(), lists.get()));
}

// Bytes a value may take once the MySQL driver has spliced it into the text:
// an upper bound (every character escaped, each at its widest UTF-8 form),
// so a chunk never outgrows the limit.
Py_ssize_t spliced_size(PyObject* v) {
    if (PyUnicode_Check(v)) {
        const int kind = PyUnicode_KIND(v);
        return PyUnicode_GET_LENGTH(v) * (kind == PyUnicode_1BYTE_KIND ? 2 : kind == PyUnicode_2BYTE_KIND ? 3 : 4) + 4;
    }
    if (PyBytes_Check(v)) return PyBytes_GET_SIZE(v) * 2 + 12;
    if (PyByteArray_Check(v)) return PyByteArray_GET_SIZE(v) * 2 + 12;
    return 80;
}

// A keyed batch where the database has no per-row RETURNING of a batch run:
// INSERTs of many rows of VALUES each, cut by the dialect's limits, each
// returning the keys of its rows: (list of texts, list of flat parameter
// tuples).  Chunks of one length share one text.
Ref multirow_pair(SqlGeneratorObject* g, const Dialect& d, PyObject* base, PyObject* params, const std::string& tail) {
    const Py_ssize_t nrows = PyList_GET_SIZE(params);
    const Py_ssize_t ncols = PyTuple_GET_SIZE(PyList_GET_ITEM(params, 0));
    std::string returning;
    if (!append_returning(g, returning)) {
        PyErr_SetString(PyExc_ValueError, "the table has no primary key to return");
        throw_error();
    }
    std::string head;
    append_utf8(head, base);
    std::string group = "(";
    for (Py_ssize_t i = 0; i < ncols; i++) group += i ? ", %s" : "%s";
    group += ')';
    const Py_ssize_t per_params = d.batch_params > 0 ? std::max<Py_ssize_t>(1, d.batch_params / ncols) : nrows;
    Ref texts = new_ref(PyList_New(0));
    Ref chunks = new_ref(PyList_New(0));
    Ref last_text;
    Py_ssize_t last_rows = 0;
    Py_ssize_t fixed = (Py_ssize_t)(head.size() + tail.size() + returning.size());
    for (Py_ssize_t start = 0; start < nrows;) {
        Py_ssize_t end = start, bytes = fixed;
        while (end < nrows && end - start < per_params) {
            if (d.batch_bytes > 0) {
                PyObject* row = PyList_GET_ITEM(params, end);
                Py_ssize_t size = 4;
                for (Py_ssize_t i = 0; i < ncols; i++) size += spliced_size(PyTuple_GET_ITEM(row, i)) + 2;
                if (end > start && bytes + size > d.batch_bytes) break;
                bytes += size;
            }
            end++;
        }
        const Py_ssize_t k = end - start;
        if (!last_text || k != last_rows) {
            std::string out = head;
            out.reserve(head.size() + (size_t)k * (group.size() + 2) + tail.size() + returning.size());
            for (Py_ssize_t r = 1; r < k; r++) {
                out += ", ";
                out += group;
            }
            out += tail;
            out += returning;
            last_text = to_str(out);
            last_rows = k;
        }
        Ref flat = new_ref(PyTuple_New(k * ncols));
        for (Py_ssize_t r = 0; r < k; r++) {
            PyObject* row = PyList_GET_ITEM(params, start + r);
            for (Py_ssize_t i = 0; i < ncols; i++) {
                PyObject* v = PyTuple_GET_ITEM(row, i);
                Py_INCREF(v);
                PyTuple_SET_ITEM(flat.get(), r * ncols + i, v);
            }
        }
        Require(PyList_Append(texts.get(), last_text.get()));
        Require(PyList_Append(chunks.get(), flat.get()));
        start = end;
    }
    return new_ref(PyTuple_Pack(2, texts.get(), chunks.get()));
}

// `spelled`: for a database's core (statement_pair_in), which alone reads a
// keyed batch's form; statementPair() shows the batch as it is given.
Ref insert_pair(SqlGeneratorObject* g, const Dialect& d, bool spelled) {
    no_select_clauses(g, "INSERT");
    if (g->where) {
        PyErr_SetString(PyExc_ValueError, "INSERT statements take no WHERE");
        throw_error();
    }
    if (g->batch) {
        Ref text = insert_text(g, PyTuple_GET_ITEM(g->batch, 0));
        PyObject* params = PyTuple_GET_ITEM(g->batch, 1);
        const bool keyed = g->keyed && spelled;
        const std::string tail = g->upsert ? conflict_clause(g, d, PyTuple_GET_ITEM(g->batch, 0)) : std::string();
        // An upsert's single row is returned as a batch's are: the key of the
        // row it met, told apart by its target.
        if (g->upsert && keyed && d.batch_keys == BatchKeys::MultiRow)
            return multirow_pair(g, d, text.get(), params, tail);
        if (g->upsert && keyed && d.batch_keys == BatchKeys::PerRow)
            return per_row_pair(g, d, text.get(), params, tail);
        if (g->upsert) {
            std::string t;
            append_utf8(t, text.get());
            t += tail;
            text = to_str(t);
        }
        if (PyList_GET_SIZE(params) == 1)
            return returning_key(g, new_ref(PyTuple_Pack(2, text.get(), PyList_GET_ITEM(params, 0))), d);
        if (keyed && d.batch_keys == BatchKeys::MultiRow) return multirow_pair(g, d, text.get(), params, tail);
        if (keyed && d.batch_keys == BatchKeys::PerRow) return per_row_pair(g, d, text.get(), params, tail);
        return new_ref(PyTuple_Pack(2, text.get(), params));
    }
    Py_ssize_t nrows = g->rows ? PyList_GET_SIZE(g->rows) : 0;
    if (nrows == 1 && PyTuple_GET_SIZE(PyList_GET_ITEM(g->rows, 0)) == 0)
        return returning_key(g, default_insert_pair(g, d), d);
    if (nrows == 0 || PyTuple_GET_SIZE(PyList_GET_ITEM(g->rows, 0)) == 0) {
        PyErr_SetString(PyExc_ValueError, "INSERT without values");
        throw_error();
    }
    PyObject* first = PyList_GET_ITEM(g->rows, 0);
    Py_ssize_t ncols = PyTuple_GET_SIZE(first);
    Ref cols = new_ref(PyTuple_New(ncols));
    for (Py_ssize_t i = 0; i < ncols; i++) {
        PyObject* p = PyTuple_GET_ITEM(PyTuple_GET_ITEM(first, i), 0);
        Py_INCREF(p);
        PyTuple_SET_ITEM(cols.get(), i, p);
    }
    Ref text = insert_text(g, cols.get());
    Ref batch = new_ref(PyList_New(nrows));
    for (Py_ssize_t r = 0; r < nrows; r++) {
        PyObject* row = PyList_GET_ITEM(g->rows, r);
        if (PyTuple_GET_SIZE(row) != ncols) {
            PyErr_Format(PyExc_ValueError, "row %zd of the INSERT has %zd cells, the first has %zd", r,
                         PyTuple_GET_SIZE(row), ncols);
            throw_error();
        }
        Ref vals = new_ref(PyTuple_New(ncols));
        for (Py_ssize_t i = 0; i < ncols; i++) {
            PyObject* cell = PyTuple_GET_ITEM(row, i);
            PyObject* p = PyTuple_GET_ITEM(cell, 0);
            PyObject* p0 = PyTuple_GET_ITEM(PyTuple_GET_ITEM(first, i), 0);
            if (p != p0 && PyUnicode_Compare(prop_column(p), prop_column(p0)) != 0) {
                if (PyErr_Occurred()) throw_error();
                PyErr_Format(PyExc_ValueError, "row %zd of the INSERT has other columns than the first", r);
                throw_error();
            }
            PyObject* v = PyTuple_GET_ITEM(cell, 1);
            Py_INCREF(v);
            PyTuple_SET_ITEM(vals.get(), i, v);
        }
        PyList_SET_ITEM(batch.get(), r, vals.relinquish());
    }
    if (nrows == 1) return returning_key(g, new_ref(PyTuple_Pack(2, text.get(), PyList_GET_ITEM(batch.get(), 0))), d);
    return new_ref(PyTuple_Pack(2, text.get(), batch.get()));
}

// UPDATE texts are kept per (table, columns set, WHERE text), as INSERT
// texts are: saves and updates repeat the same few shapes, and the same text
// object also hits the drivers' statement caches at once.
Ref update_pair(SqlGeneratorObject* g) {
    static Immortal cache;
    no_select_clauses(g, "UPDATE");
    Py_ssize_t n = g->sets ? PyList_GET_SIZE(g->sets) : 0;
    if (n == 0) {
        PyErr_SetString(PyExc_ValueError, "UPDATE without SET");
        throw_error();
    }
    Ref t = table_name(g->table);
    Ref key = new_ref(PyTuple_New(n + 2));
    Py_INCREF(t.get());
    PyTuple_SET_ITEM(key.get(), 0, t.get());
    // A column set to an expression writes its text in place of the
    // placeholder, and its values in place of the value: the key holds
    // (name, text) for it.
    Ref set_params = new_ref(PyList_New(0));
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject* cell = PyList_GET_ITEM(g->sets, i);
        PyObject* name = prop_column(PyTuple_GET_ITEM(cell, 0));
        if (!name) raise_expected("str", Py_None);
        PyObject* v = PyTuple_GET_ITEM(cell, 1);
        if (is_prop(v) || is_expr(v)) {
            Ref text = new_ref(mp_api->operand_render(v, set_params.get()));
            PyTuple_SET_ITEM(key.get(), i + 1, Require(PyTuple_Pack(2, name, text.get())));
        } else {
            Py_INCREF(name);
            PyTuple_SET_ITEM(key.get(), i + 1, name);
            Require(PyList_Append(set_params.get(), v));
        }
    }
    Ref values = new_ref(PyList_AsTuple(set_params.get()));
    const Py_ssize_t ncells = n;
    n = PyTuple_GET_SIZE(values.get());
    Ref params = new_ref(PyList_New(0));
    Ref where = g->where ? new_ref(mp_api->filter_render(g->where, params.get())) : borrow(Py_None);
    PyTuple_SET_ITEM(key.get(), ncells + 1, where.relinquish());
    if (!cache) cache = new_ref(PyDict_New());
    Ref text = borrow(dict_get(cache, key.get()));
    if (!text) {
        std::string out = "UPDATE ";
        quote_ident(out, t.get());
        out += " SET ";
        for (Py_ssize_t i = 0; i < ncells; i++) {
            if (i) out += ", ";
            PyObject* k = PyTuple_GET_ITEM(key.get(), i + 1);
            if (PyTuple_Check(k)) {
                quote_ident(out, PyTuple_GET_ITEM(k, 0));
                out += " = ";
                append_utf8(out, PyTuple_GET_ITEM(k, 1));
            } else {
                quote_ident(out, k);
                out += " = %s";
            }
        }
        PyObject* w = PyTuple_GET_ITEM(key.get(), ncells + 1);
        if (w != Py_None) {
            out += " WHERE ";
            append_utf8(out, w);
        }
        text = to_str(out);
        if (PyDict_GET_SIZE(cache.get()) >= 1024) PyDict_Clear(cache);
        Require(PyDict_SetItem(cache, key.get(), text.get()));
    }
    Py_ssize_t nwhere = PyList_GET_SIZE(params.get());
    Ref tuple = new_ref(PyTuple_New(n + nwhere));
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject* v = PyTuple_GET_ITEM(values.get(), i);
        Py_INCREF(v);
        PyTuple_SET_ITEM(tuple.get(), i, v);
    }
    for (Py_ssize_t i = 0; i < nwhere; i++) {
        PyObject* v = PyList_GET_ITEM(params.get(), i);
        Py_INCREF(v);
        PyTuple_SET_ITEM(tuple.get(), n + i, v);
    }
    return new_ref(PyTuple_Pack(2, text.get(), tuple.get()));
}

Ref delete_pair(SqlGeneratorObject* g) {
    no_select_clauses(g, "DELETE");
    Ref params = new_ref(PyList_New(0));
    std::string out = "DELETE FROM ";
    Ref t = table_name(g->table);
    quote_ident(out, t.get());
    render_where(g, out, params.get());
    Ref text = to_str(out);
    Ref tuple = new_ref(PyList_AsTuple(params.get()));
    return new_ref(PyTuple_Pack(2, text.get(), tuple.get()));
}

// ------------------------------------------------------------ texts by shape

// Keyed reads and writes repeat a few statement shapes with new values: the
// text is kept by what decides it (kinds, operators, counts and the text
// objects it copies, never a value), so a repeated shape only binds its
// values, and the same text object then also hits the connectors' and the
// drivers' statement caches at once.
class TextCache {
public:
    // At most this many shapes (IN lists of every length are so many), and
    // no long text: a statement that long costs the database far more.
    static constexpr size_t kShapes = 1024;
    static constexpr Py_ssize_t kLongest = 4096;

    ~TextCache() { clear(); }
    PyObject* find(const std::string& key) const {
        auto it = map_.find(key);
        return it == map_.end() ? nullptr : it->second.text;
    }
    // Holds `text` and the objects the key names.  Only str objects are
    // held, so dropping them runs no Python code while the map changes.
    void keep(std::string key, const std::vector<PyObject*>& held, PyObject* text) {
        if (!PyUnicode_CheckExact(text) || PyUnicode_GET_LENGTH(text) > kLongest) return;
        for (PyObject* o : held)
            if (!PyUnicode_CheckExact(o)) return;
        if (map_.count(key)) return;
        if (map_.size() >= kShapes) clear();
        Py_INCREF(text);
        for (PyObject* o : held) Py_INCREF(o);
        map_.emplace(std::move(key), Entry{text, held});
    }
    void clear() {
        std::unordered_map<std::string, Entry> old;
        old.swap(map_);
        for (auto& kv : old) release(kv.second);
    }

private:
    struct Entry {
        PyObject* text;
        std::vector<PyObject*> held;
    };
    static void release(Entry& e) {
        for (PyObject* o : e.held) Py_DECREF(o);
        Py_DECREF(e.text);
    }
    std::unordered_map<std::string, Entry> map_;
};

// Owned by the module's `_statement_texts` capsule, so the texts are let go
// with the module's objects, never by a static destructor; NULL once the
// capsule has gone.
TextCache* texts = nullptr;

void drop_texts(PyObject* capsule) {
    TextCache* t = (TextCache*)PyCapsule_GetPointer(capsule, "Tavrik.DB.Generator._statement_texts");
    if (t == texts) texts = nullptr;
    delete t;
}

// A column's `table`.`column` text, as the rendering writes it.
PyObject* column_text(PyObject* prop) {
    PyObject* s = ((BasePropertyObject*)prop)->columnSql;
    if (s) return s;
    Ref made = new_ref(mp_api->column_sql(prop));  // cached on the property from now on
    return ((BasePropertyObject*)prop)->columnSql == made.get() ? made.get() : nullptr;
}

bool where_shape(SqlGeneratorObject* g, TextShape& s, PyObject* params) {
    if (!g->where) {
        s.tag('-');
        return true;
    }
    s.tag('W');
    return Require(mp_api->filter_shape(g->where, &s, params)) == 1;
}

bool table_shape(PyObject* model, TextShape& s) {
    Ref t = table_name(model);
    if (!PyUnicode_CheckExact(t.get())) return false;
    s.text(t.get());
    return true;
}

// The shape of select_pair's text: a selection of properties of the bound
// model, without joins or grouping.
bool select_shape(SqlGeneratorObject* g, const Dialect* d, TextShape& s, PyObject* params) {
    const int agg = g->aggregate;
    if (!g->model || agg == AGG_GROUPED || (g->joins && PyList_GET_SIZE(g->joins))) return false;
    s.tag('S');
    s.tag(d ? d->id : D_COUNT);
    s.tag(agg);
    if (!table_shape(g->model, s)) return false;
    if (agg == AGG_NONE) {
        // The model's own column list is read in place: copying it would
        // cost every keyed read an allocation.
        Ref cols = g->columns && PyTuple_GET_SIZE(g->columns) ? borrow(g->columns) : Ref();
        if (!cols) cols = new_ref(PySequence_Fast(getattr(g->model, names.col.get()).get(), "columns"));
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(cols.get());
        s.count(n);
        for (Py_ssize_t i = 0; i < n; i++) {
            PyObject* c = PySequence_Fast_GET_ITEM(cols.get(), i);
            if (!is_prop(c)) return false;
            BasePropertyObject* p = (BasePropertyObject*)c;
            PyObject* text = column_text(c);
            if (!text) return false;
            s.text(text);
            if (p->column && p->name) {
                if (!PyUnicode_CheckExact(p->name)) return false;
                s.tag('A');
                s.text(p->name);
            } else {
                s.tag('.');
            }
        }
    }
    if (!where_shape(g, s, params)) return false;
    if (agg != AGG_NONE) return true;  // no ordering, window or lock
    const Py_ssize_t nterms = g->order ? PyList_GET_SIZE(g->order) : 0;
    s.count(nterms);
    for (Py_ssize_t i = 0; i < nterms; i++) {
        // Terms are texts made when orderBy was called: kept by content.
        PyObject* term = PyList_GET_ITEM(g->order, i);
        PyObject* text = PyTuple_Check(term) ? PyTuple_GET_ITEM(term, 0) : term;
        Py_ssize_t len;
        const char* bytes = PyUnicode_AsUTF8AndSize(text, &len);
        if (!bytes) throw_error();
        s.count(len);
        s.key.append(bytes, (size_t)len);
        if (PyTuple_Check(term)) {
            PyObject* values = PyTuple_GET_ITEM(term, 1);
            for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(values); k++)
                Require(PyList_Append(params, PyTuple_GET_ITEM(values, k)));
        }
    }
    s.tag(g->hasLimit);
    if (g->hasLimit) {
        Ref l = from_long(g->limit), o = from_long(g->offset);
        Require(PyList_Append(params, l.get()));
        Require(PyList_Append(params, o.get()));
    }
    s.tag(g->lockRows);
    return true;
}

// update_pair's text: the SET columns, each set to a value or to a column
// or expression's text, and the condition.
bool update_shape(SqlGeneratorObject* g, TextShape& s, PyObject* params) {
    const Py_ssize_t n = g->sets ? PyList_GET_SIZE(g->sets) : 0;
    if (n == 0 || !g->table) return false;
    s.tag('U');
    if (!table_shape(g->table, s)) return false;
    s.count(n);
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject* cell = PyList_GET_ITEM(g->sets, i);
        PyObject* name = prop_column(PyTuple_GET_ITEM(cell, 0));
        if (!name || !PyUnicode_CheckExact(name)) return false;
        s.text(name);
        PyObject* v = PyTuple_GET_ITEM(cell, 1);
        if (is_prop(v) || is_expr(v)) {
            s.tag('e');
            if (Require(mp_api->operand_shape(v, &s, params)) != 1) return false;
        } else {
            s.tag('p');
            Require(PyList_Append(params, v));
        }
    }
    return where_shape(g, s, params);
}

bool delete_shape(SqlGeneratorObject* g, TextShape& s, PyObject* params) {
    if (!g->table) return false;
    s.tag('D');
    return table_shape(g->table, s) && where_shape(g, s, params);
}

bool statement_shape(SqlGeneratorObject* g, const Dialect* d, TextShape& s, PyObject* params) {
    switch (g->head.base.kind) {
        case SK_SELECT: return select_shape(g, d, s, params);
        case SK_UPDATE: return update_shape(g, s, params);
        case SK_DELETE: return delete_shape(g, s, params);
        default: return false;
    }
}

// Whether the shape's walk gathered the values the rendering bound, in its
// order: a text is kept only then, so a walk that ever strays from the
// rendering costs a miss, never a value bound to another placeholder.
bool same_values(PyObject* walked, const Ref& pair) {
    PyObject* bound = PyTuple_GET_ITEM(pair.get(), 1);
    const Py_ssize_t n = PyList_GET_SIZE(walked);
    if (!PyTuple_Check(bound) || PyTuple_GET_SIZE(bound) != n) return false;
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject* a = PyList_GET_ITEM(walked, i);
        PyObject* b = PyTuple_GET_ITEM(bound, i);
        if (a == b) continue;
        if (Py_TYPE(a) != Py_TYPE(b)) return false;
        const int eq = PyObject_RichCompareBool(a, b, Py_EQ);
        if (eq < 0) throw_error();
        if (!eq) return false;
    }
    return true;
}

// The statement's (text, parameters): the kept text of its shape with its
// values, else `render()`'s, whose text is kept when its shape is read alike
// again after it (the rendering may run Python code): that second reading
// holds the objects the key names until the entry holds them.
template <class Render>
Ref by_shape(SqlGeneratorObject* g, const Dialect* d, Render&& render) {
    const int kind = g->head.base.kind;
    if (!texts || (kind != SK_SELECT && kind != SK_UPDATE && kind != SK_DELETE)) return render();
    if (kind != SK_SELECT) no_select_clauses(g, kind == SK_UPDATE ? "UPDATE" : "DELETE");
    TextShape s;
    s.key.reserve(128);
    Ref params = new_ref(PyList_New(0));
    if (!statement_shape(g, d, s, params.get())) return render();
    if (PyObject* hit = texts ? texts->find(s.key) : nullptr) {
        Ref text = borrow(hit);
        Ref tuple = new_ref(PyList_AsTuple(params.get()));
        return new_ref(PyTuple_Pack(2, text.get(), tuple.get()));
    }
    Ref pair = render();
    std::vector<PyObject*> held;
    struct Release {
        std::vector<PyObject*>& refs;
        ~Release() {
            for (PyObject* o : refs) Py_DECREF(o);
        }
    } release{held};
    TextShape again;
    again.held = &held;
    Ref scratch = new_ref(PyList_New(0));
    if (statement_shape(g, d, again, scratch.get()) && again.key == s.key && same_values(params.get(), pair) && texts)
        texts->keep(std::move(s.key), held, PyTuple_GET_ITEM(pair.get(), 0));
    return pair;
}

}  // namespace

void init_texts(PyObject* m) {
    auto* cache = new TextCache;
    Ref capsule = Ref::consuming_nullable(PyCapsule_New(cache, "Tavrik.DB.Generator._statement_texts", drop_texts));
    if (!capsule) {
        delete cache;
        throw_error();
    }
    texts = cache;
    add_object(m, "_statement_texts", capsule.get());
}

namespace {

// Executors are copied and pickled with their statement.
PyObject* gen_reduce(PyObject* self, PyObject*) {
    SqlGeneratorObject* g = G(self);
    return guard([&]() -> PyObject* {
        Ref rows = g->batch ? batch_as_rows(g) : borrow(none_if_null(g->rows));
        return Py_BuildValue("(O(O)(iOOOOOOOLLiiiOO))", (PyObject*)Py_TYPE(self), none_if_null(g->model),
                             g->head.base.kind, none_if_null(g->table), none_if_null(g->columns),
                             none_if_null(g->joins), none_if_null(g->where), none_if_null(g->order), rows.get(),
                             none_if_null(g->sets), g->limit, g->offset, g->hasLimit, g->lockRows, g->aggregate,
                             none_if_null(g->groups), none_if_null(g->having));
    });
}

PyObject* gen_setstate(PyObject* self, PyObject* state) {
    return guard([&]() -> PyObject* {
        int kind, has_limit, lock_rows = 0, aggregate = AGG_NONE;
        long long limit, offset;
        // The lock, the aggregate and the grouping came later: older states
        // lack them.
        Py_ssize_t n = PyTuple_Check(state) ? PyTuple_GET_SIZE(state) : 0;
        if (n < 11 || n > 15 || n == 14) raise_arg_type("state", "tuple", state);
        PyObject* const* s = &PyTuple_GET_ITEM(state, 0);
        try {
            kind = arg_int(s[0]);
            limit = arg_long_long(s[8]);
            offset = arg_long_long(s[9]);
            has_limit = arg_int(s[10]);
            if (n > 11) lock_rows = arg_int(s[11]);
            if (n > 12) aggregate = arg_int(s[12]);
        } catch (const PyErrOccurred&) {
            raise_arg_type("state", "tuple", state);
        }
        PyObject *table = s[1], *columns = s[2], *joins = s[3], *where = s[4], *order = s[5], *rows = s[6],
                 *sets = s[7];
        PyObject* groups = n > 13 ? s[13] : Py_None;
        PyObject* having = n > 13 ? s[14] : Py_None;
        bool ok = kind >= SK_NONE && kind <= SK_CUSTOM && limit >= 0 && offset >= 0;
        ok = ok && aggregate >= AGG_NONE && aggregate <= AGG_GROUPED;
        ok = ok && (having == Py_None || is_filter(having));
        if (ok && aggregate == AGG_GROUPED) {
            try {
                check_grouped(columns, groups == Py_None ? Ref(new_ref(PyTuple_New(0))).get() : groups, having);
            } catch (const PyErrOccurred&) {
                PyErr_Clear();
                ok = false;
            }
        }
        ok = ok && (columns == Py_None || PyTuple_Check(columns)) && (where == Py_None || is_filter(where));
        for (PyObject* l : {joins, order, rows, sets}) ok = ok && (l == Py_None || PyList_Check(l));
        if (ok && joins != Py_None)
            for (Py_ssize_t i = 0; ok && i < PyList_GET_SIZE(joins); i++)
                ok = PyObject_TypeCheck(PyList_GET_ITEM(joins, i), &JoinCellType);
        if (ok && order != Py_None)
            for (Py_ssize_t i = 0; ok && i < PyList_GET_SIZE(order); i++)
                ok = PyUnicode_Check(PyList_GET_ITEM(order, i)) ||
                     (PyTuple_Check(PyList_GET_ITEM(order, i)) && PyTuple_GET_SIZE(PyList_GET_ITEM(order, i)) == 2 &&
                      PyUnicode_Check(PyTuple_GET_ITEM(PyList_GET_ITEM(order, i), 0)) &&
                      PyTuple_Check(PyTuple_GET_ITEM(PyList_GET_ITEM(order, i), 1)));
        if (!ok) {
            PyErr_SetString(PyExc_ValueError, "invalid SqlGenerator state");
            throw_error();
        }
        if (rows != Py_None)
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rows); i++) {
                PyObject* r = PyList_GET_ITEM(rows, i);
                if (!PyTuple_Check(r)) raise_arg_type("rows", "tuple", r);
                for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(r); j++) check_cell(PyTuple_GET_ITEM(r, j));
            }
        if (sets != Py_None)
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(sets); i++) check_cell(PyList_GET_ITEM(sets, i));
        // The lists are the statement's own: a shallow copy (copy.copy hands
        // over the original's lists) must not grow the original's clauses.
        auto own = [](PyObject* l) -> Ref {
            if (l == Py_None) return Ref();
            return new_ref(PyList_GetSlice(l, 0, PyList_GET_SIZE(l)));
        };
        Ref joins_c = own(joins), order_c = own(order), rows_c = own(rows), sets_c = own(sets);
        SqlGeneratorObject* g = G(self);
        clear_statement(g);
        g->head.base.kind = kind;
        set_field(g->table, null_if_none(table));
        set_field(g->columns, null_if_none(columns));
        set_field(g->joins, joins_c.get());
        set_field(g->where, null_if_none(where));
        set_field(g->order, order_c.get());
        set_field(g->rows, rows_c.get());
        set_field(g->sets, sets_c.get());
        g->limit = limit;
        g->offset = offset;
        g->hasLimit = has_limit != 0;
        g->lockRows = lock_rows != 0;
        g->aggregate = aggregate;
        set_field(g->groups, null_if_none(groups));
        set_field(g->having, null_if_none(having));
        Py_RETURN_NONE;
    });
}

PyObject* join_reduce(PyObject* self, PyObject*) {
    JoinCellObject* j = (JoinCellObject*)self;
    if (!j->target || !j->on) {
        PyErr_SetString(PyExc_ValueError, "JoinCell is not initialised");
        return nullptr;
    }
    return Py_BuildValue("(O(OO)i)", (PyObject*)Py_TYPE(self), j->target, j->on, j->left);
}

PyObject* join_setstate(PyObject* self, PyObject* state) {
    int left = PyObject_IsTrue(state);
    if (left < 0) return nullptr;
    ((JoinCellObject*)self)->left = left;
    Py_RETURN_NONE;
}

PyMethodDef join_methods[] = {
    {"__reduce__", join_reduce, METH_NOARGS, nullptr},
    {"__setstate__", join_setstate, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef gen_methods[] = {
    {"__reduce__", gen_reduce, METH_NOARGS, nullptr},
    {"__setstate__", gen_setstate, METH_O, nullptr},
    {"select", (PyCFunction)(void (*)(void))m_select, METH_FASTCALL | METH_KEYWORDS,
     "select($self, /, *cols)\n--\n\n"
     "select(*cols): begins a SELECT of the columns (properties or names); none selects the model's columns."},
    {"selectCount", m_select_count, METH_NOARGS,
     "selectCount($self, /)\n--\n\n"
     "selectCount(): begins SELECT COUNT(*) of the bound model's table (ordering, window and lock do not apply)."},
    {"selectExists", m_select_exists, METH_NOARGS,
     "selectExists($self, /)\n--\n\n"
     "selectExists(): begins SELECT 1 ... LIMIT 1 of the bound model's table: a row if any matches."},
    {"selectGrouped", (PyCFunction)(void (*)(void))m_select_grouped, METH_FASTCALL | METH_KEYWORDS,
     "selectGrouped($self, /, items, groups=(), having=None)\n--\n\n"
     "selectGrouped(items, groups=(), having=None): begins SELECT expression AS alias, ... GROUP BY groups "
     "HAVING having; items are (alias, column or expression) pairs, groups columns; ordering and window "
     "apply."},
    {"where", m_where, METH_O,
     "where($self, cond, /)\n--\n\n"
     "where(cond): adds a condition (ANDed with an earlier one); None adds nothing."},
    {"insert", m_insert, METH_O,
     "insert($self, model, /)\n--\n\n"
     "insert(model): begins an INSERT into the model's table."},
    {"values", (PyCFunction)(void (*)(void))m_values, METH_FASTCALL | METH_KEYWORDS,
     "values($self, /, *cells)\n--\n\n"
     "values(*cells): adds one row of insertCell cells."},
    {"valuesMany", m_values_many, METH_O,
     "valuesMany($self, rows, /)\n--\n\n"
     "valuesMany(rows): adds several rows, each a sequence of insertCell cells with the same columns; "
     "the statement then runs once per row."},
    {"update", m_update, METH_O,
     "update($self, model, /)\n--\n\n"
     "update(model): begins an UPDATE of the model's table."},
    {"set", (PyCFunction)(void (*)(void))m_set, METH_FASTCALL | METH_KEYWORDS,
     "set($self, /, *cells)\n--\n\n"
     "set(*cells): the updateCell cells of an UPDATE."},
    {"delete", m_delete, METH_O,
     "delete($self, model, /)\n--\n\n"
     "delete(model): begins a DELETE from the model's table."},
    {"join", m_join, METH_O,
     "join($self, relation, /)\n--\n\n"
     "join(relation): JOIN through a ForeignKey descriptor or a JoinCell."},
    {"orderBy", (PyCFunction)(void (*)(void))m_order_by, METH_FASTCALL | METH_KEYWORDS,
     "orderBy($self, /, *args)\n--\n\n"
     "orderBy(*args): properties, 'name', '-name', (column, 'ASC'|'DESC') or prop.desc()."},
    {"Limit", (PyCFunction)(void (*)(void))m_limit, METH_FASTCALL | METH_KEYWORDS,
     "Limit($self, count, skip=0, /)\n--\n\n"
     "Limit(count, skip=0): at most `count` rows after skipping `skip`."},
    {"forUpdate", m_for_update, METH_NOARGS,
     "forUpdate($self, /)\n--\n\n"
     "forUpdate(): the selection ends in FOR UPDATE (MySQL): the rows it reads stay locked until the "
     "transaction ends."},
    {"bind", m_bind, METH_O,
     "bind($self, model, /)\n--\n\n"
     "bind(model): binds the generator to a model and returns it."},
    {"statementPair", m_statement_pair, METH_NOARGS,
     "statementPair($self, /)\n--\n\n"
     "statementPair(): (SQL text with %s placeholders, parameter tuple or list of tuples for a batch); "
     "an INSERT of no values in SQLite's spelling (DEFAULT VALUES)."},
    {"wherePart", m_where_part, METH_NOARGS,
     "wherePart($self, /)\n--\n\n"
     "wherePart(): ('WHERE ...', [values]) or ('', [])."},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* get_kind(PyObject* self, void*) { return PyLong_FromLong(((BaseSqlGeneratorObject*)self)->kind); }
PyObject* get_model(PyObject* self, void*) { return or_none(G(self)->model); }

PyGetSetDef base_getset[] = {
    {"kind", get_kind, nullptr, "Statement kind: 0 select, 1 insert, 2 delete, 3 update, 4 other, -1 none.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
PyGetSetDef gen_getset[] = {
    {"model", get_model, nullptr, "The bound model.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ------------------------------------------------------------ JoinCell

using JoinRefs = Refs<JoinCellObject, NoRefs, &JoinCellObject::target, &JoinCellObject::on>;

int join_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard_int([&]() -> int {
        static const char* const kw[] = {"target", "on", "left"};
        PyObject* a[3];
        int left = 0;
        parse_tuple_kw(KwParams{"JoinCell", kw, 3, 2, 2}, args, kwargs, a, [&](int i, PyObject* v) {
            if (i == 2) left = arg_bool(v);
        });
        PyObject *target = a[0], *on = a[1];
        if (!is_filter(on)) raise_arg_type("on", mp_api->FilterListCellType->tp_name, on);
        Ref t = table_name(target);
        JoinCellObject* j = (JoinCellObject*)self;
        set_field(j->target, target);
        set_field(j->on, on);
        j->left = left;
        return 0;
    });
}

// ------------------------------------------------------- CustomSqlGenerator

using CustomRefs = Refs<CustomSqlObject, NoRefs, &CustomSqlObject::text, &CustomSqlObject::params>;

int custom_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard_int([&]() -> int {
        static const char* const kw[] = {"text", "params", "kind"};
        PyObject* a[3];
        int kind = SK_CUSTOM;
        parse_tuple_kw(KwParams{"CustomSqlGenerator", kw, 3, 1, 2}, args, kwargs, a, [&](int i, PyObject* v) {
            if (i == 2) kind = arg_int(v);
        });
        PyObject* text = a[0];
        PyObject* params = a[1];
        check_str_arg(text, "text", false);
        Ref p;
        if (!params || params == Py_None) {
            p = new_ref(PyTuple_New(0));
        } else if (PyTuple_Check(params)) {
            p = borrow(params);
        } else if (PyList_Check(params)) {
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(params); i++)
                if (!PyTuple_Check(PyList_GET_ITEM(params, i)))
                    raise_arg_type("params", "tuple or list of tuples", PyList_GET_ITEM(params, i));
            p = new_ref(PyList_GetSlice(params, 0, PyList_GET_SIZE(params)));
        } else {
            raise_arg_type("params", "tuple or list of tuples", params);
        }
        if (kind < SK_NONE || kind > SK_CUSTOM) {
            PyErr_Format(PyExc_ValueError, "kind must be between -1 and 4, got %d", kind);
            throw_error();
        }
        CustomSqlObject* c = (CustomSqlObject*)self;
        set_field(c->text, text);
        set_field(c->params, p.get());
        c->base.kind = kind;
        return 0;
    });
}

// ---------------------------------------------------- InOperatorGenerator

using InRefs = Refs<InOperatorObject, NoRefs, &InOperatorObject::col, &InOperatorObject::values>;

int in_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard_int([&]() -> int {
        static const char* const kw[] = {"col", "values"};
        PyObject* a[2];
        parse_tuple_kw(KwParams{"InOperatorGenerator", kw, 2, 2, 2}, args, kwargs, a);
        PyObject *col = a[0], *values = a[1];
        if (!is_prop(col)) raise_arg_type("col", mp_api->BasePropertyType->tp_name, col);
        Ref t = new_ref(PySequence_Tuple(values));
        set_field(((InOperatorObject*)self)->col, col);
        set_field(((InOperatorObject*)self)->values, t.get());
        return 0;
    });
}
Ref in_condition(PyObject* self) {
    InOperatorObject* o = (InOperatorObject*)self;
    if (!o->col) {
        PyErr_SetString(PyExc_ValueError, "InOperatorGenerator is not initialised");
        throw_error();
    }
    return new_ref(mp_api->filter_in(o->col, o->values));
}
PyObject* in_cell(PyObject* self, PyObject*) {
    return guard([&]() -> PyObject* { return in_condition(self).relinquish(); });
}
PyObject* in_sql(PyObject* self, PyObject*) {
    return guard([&]() -> PyObject* {
        Ref cond = in_condition(self);
        Ref params = new_ref(PyList_New(0));
        Ref text = new_ref(mp_api->filter_render(cond.get(), params.get()));
        Ref tuple = new_ref(PyList_AsTuple(params.get()));
        return Require(PyTuple_Pack(2, text.get(), tuple.get()));
    });
}
PyMethodDef in_methods[] = {
    {"sql", in_sql, METH_NOARGS,
     "sql($self, /)\n--\n\n"
     "sql(): ('`t`.`c` IN (%s, ...)', values); an empty list gives ('0', ())."},
    {"cell", in_cell, METH_NOARGS,
     "cell($self, /)\n--\n\n"
     "cell(): the condition as a FilterListCell, for where()."},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef custom_methods[] = {
    {"statementPair", m_statement_pair, METH_NOARGS,
     "statementPair($self, /)\n--\n\n"
     "statementPair(): (text, params)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

// ------------------------------------------------------------ capsule

namespace {

// The generator's own spelling (statementPair()): "%s" placeholders,
// backquoted names, FOR UPDATE when asked, SQLite's empty INSERT.
PyObject* statement_pair_for(PyObject* self, const Dialect* d) {
    return guard([&]() -> PyObject* {
        if (PyObject_TypeCheck(self, &SqlGeneratorType)) {
            SqlGeneratorObject* g = G(self);
            switch (g->head.base.kind) {
                case SK_SELECT: return by_shape(g, d, [&] { return select_pair(g, d); }).relinquish();
                case SK_INSERT: return insert_pair(g, d ? *d : kSQLite, d != nullptr).relinquish();
                case SK_UPDATE: return by_shape(g, d, [&] { return update_pair(g); }).relinquish();
                case SK_DELETE: return by_shape(g, d, [&] { return delete_pair(g); }).relinquish();
                default: PyErr_SetString(PyExc_ValueError, "the generator holds no statement"); throw_error();
            }
        }
        if (PyObject_TypeCheck(self, &CustomSqlGeneratorType)) {
            CustomSqlObject* c = (CustomSqlObject*)self;
            if (!c->text) {
                PyErr_SetString(PyExc_ValueError, "CustomSqlGenerator is not initialised");
                throw_error();
            }
            return Require(PyTuple_Pack(2, c->text, c->params));
        }
        if (PyObject_TypeCheck(self, &TableGeneratorType)) return Require(table_statement_pair(self));
        raise_arg_type("gen", BaseSqlGeneratorType.tp_name, self);
    });
}

}  // namespace

PyObject* api_statement_pair(PyObject* self) { return statement_pair_for(self, nullptr); }

PyObject* api_statement_pair_in(PyObject* self, int dialect) {
    return statement_pair_for(self, &dialect_by_id(dialect));
}

int api_return_keys(PyObject* gen) {
    if (!PyObject_TypeCheck(gen, &SqlGeneratorType) || G(gen)->head.base.kind != SK_INSERT || !G(gen)->batch) {
        PyErr_SetString(PyExc_ValueError, "return_keys: the generator holds no batch INSERT");
        return -1;
    }
    G(gen)->keyed = 1;
    return 0;
}

int api_upsert(PyObject* gen, int mode, PyObject* target) {
    if (!PyObject_TypeCheck(gen, &SqlGeneratorType) || G(gen)->head.base.kind != SK_INSERT || !G(gen)->batch) {
        PyErr_SetString(PyExc_ValueError, "upsert: the generator holds no batch INSERT");
        return -1;
    }
    if ((mode != 1 && mode != 2) || !PyTuple_Check(target) || PyTuple_GET_SIZE(target) == 0) {
        PyErr_SetString(PyExc_ValueError, "upsert: mode 1 or 2 and a tuple of target columns");
        return -1;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(target); i++)
        if (!is_prop(PyTuple_GET_ITEM(target, i)) || !prop_column(PyTuple_GET_ITEM(target, i))) {
            PyErr_SetString(PyExc_ValueError, "upsert: the target holds a column without a name");
            return -1;
        }
    G(gen)->upsert = mode;
    set_field(G(gen)->conflict, target);
    return 0;
}

int api_returns_keys(PyObject* gen) {
    return PyObject_TypeCheck(gen, &SqlGeneratorType) && G(gen)->head.base.kind == SK_INSERT && G(gen)->batch &&
           G(gen)->keyed;
}

int api_locks_rows(PyObject* gen) {
    return PyObject_TypeCheck(gen, &SqlGeneratorType) && G(gen)->head.base.kind == SK_SELECT && G(gen)->lockRows &&
           G(gen)->aggregate == AGG_NONE;
}

PyObject* api_where_part(PyObject* self) {
    return guard([&]() -> PyObject* {
        if (!PyObject_TypeCheck(self, &SqlGeneratorType)) raise_arg_type("gen", SqlGeneratorType.tp_name, self);
        Ref params = new_ref(PyList_New(0));
        std::string out;
        render_where(G(self), out, params.get());
        Ref text = to_str(out.empty() ? out : out.substr(1));  // without the leading blank
        return Require(PyTuple_Pack(2, text.get(), params.get()));
    });
}

PyObject* api_bind_model(PyObject* self, PyObject* model) {
    return guard([&]() -> PyObject* {
        if (!PyObject_TypeCheck(self, &SqlGeneratorType)) raise_arg_type("gen", SqlGeneratorType.tp_name, self);
        set_field(G(self)->model, model == Py_None ? nullptr : model);
        return self_ref(self);
    });
}

// An INSERT of rows of values: `cols` a tuple of column properties, `params`
// a list of tuples of database values in that order (what the cells of
// valuesMany carry, without a cell object per value).
PyObject* api_insert_values(PyObject* self, PyObject* model, PyObject* cols, PyObject* params) {
    return guard([&]() -> PyObject* {
        if (!PyObject_TypeCheck(self, &SqlGeneratorType)) raise_arg_type("gen", SqlGeneratorType.tp_name, self);
        if (!PyTuple_Check(cols)) raise_arg_type("cols", "tuple", cols);
        if (!PyList_Check(params)) raise_arg_type("params", "list", params);
        Py_ssize_t ncols = PyTuple_GET_SIZE(cols);
        if (ncols == 0 || PyList_GET_SIZE(params) == 0) {
            PyErr_SetString(PyExc_ValueError, "INSERT without values");
            throw_error();
        }
        for (Py_ssize_t i = 0; i < ncols; i++) {
            PyObject* p = PyTuple_GET_ITEM(cols, i);
            if (!is_prop(p)) raise_arg_type("cols", "BaseProperty", p);
            if (!((BasePropertyObject*)p)->name) {
                PyErr_SetString(PyExc_ValueError, "a cell's column has no name");
                throw_error();
            }
        }
        for (Py_ssize_t r = 0; r < PyList_GET_SIZE(params); r++) {
            PyObject* row = PyList_GET_ITEM(params, r);
            if (!PyTuple_Check(row) || PyTuple_GET_SIZE(row) != ncols) {
                PyErr_Format(PyExc_ValueError, "row %zd of the INSERT does not have %zd values", r, ncols);
                throw_error();
            }
        }
        SqlGeneratorObject* g = G(self);
        begin(g, SK_INSERT, model);
        g->batch = Require(PyTuple_Pack(2, cols, params));
        return self_ref(self);
    });
}

PyObject* api_update_statement(PyObject* self, PyObject* model) {
    return guard([&]() -> PyObject* {
        if (!PyObject_TypeCheck(self, &SqlGeneratorType)) raise_arg_type("gen", SqlGeneratorType.tp_name, self);
        return Require(m_update(self, model));
    });
}

PyObject* api_new_bound(PyObject* model) {
    return guard([&]() -> PyObject* {
        Ref g = new_ref(gen_new(&SqlGeneratorType, nullptr, nullptr));
        set_field(G(g.get())->model, model == Py_None ? nullptr : model);
        return g.relinquish();
    });
}

// The statement-building entries of the table: the methods' own C bodies
// on a SqlGenerator, the methods looked up by name on a subclass instance.

namespace {

// clang-format off: one name list, laid out by hand
#define BUILD_NAMES(X) \
    X(select) X(selectCount) X(selectExists) X(where) X(join) X(orderBy) X(forUpdate) X(Limit) X(insert) X(values) \
    X(valuesMany) X(update) X(set) X(selectGrouped)
// clang-format on
#define BUILD_TEXTS(X) X(delete_, "delete")
struct BuildNames {
    BUILD_NAMES(TAVRIK_NAME_FIELD)
    BUILD_TEXTS(TAVRIK_TEXT_FIELD)
    void init() {
        BUILD_NAMES(TAVRIK_NAME_INTERN)
        BUILD_TEXTS(TAVRIK_TEXT_INTERN)
    }
} bn;

// A method body's new reference (or NULL): dropped, or the error raised.
void done(PyObject* r) { Ref keep = new_ref(r); }

bool own_type(PyObject* gen) { return Py_TYPE(gen) == &SqlGeneratorType; }

// Positional arguments from a tuple or list.
template <class F>
int spread(PyObject* gen, PyObject* name, PyObject* seq, F&& direct) {
    return guard_int([&]() -> int {
        Ref fast = new_ref(PySequence_Fast(seq, "argument list must be a sequence"));
        PyObject* const* items = PySequence_Fast_ITEMS(fast.get());
        Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.get());
        if (own_type(gen))
            done(direct(items, n));
        else
            call_method_args(gen, name, items, n);
        return 0;
    });
}

// One argument, or none when `arg` is NULL.
template <class F>
int single(PyObject* gen, PyObject* name, PyObject* arg, F&& direct) {
    return guard_int([&]() -> int {
        if (own_type(gen))
            done(direct());
        else
            call_method_args(gen, name, &arg, arg ? 1 : 0);
        return 0;
    });
}

int api_select(PyObject* gen, PyObject* cols) {
    return spread(gen, bn.select, cols, [&](PyObject* const* a, Py_ssize_t n) { return m_select(gen, a, n, nullptr); });
}
int api_select_count(PyObject* gen) {
    return single(gen, bn.selectCount, nullptr, [&] { return m_select_count(gen, nullptr); });
}
int api_select_exists(PyObject* gen) {
    return single(gen, bn.selectExists, nullptr, [&] { return m_select_exists(gen, nullptr); });
}
int api_where(PyObject* gen, PyObject* cond) {
    return single(gen, bn.where, cond, [&] { return m_where(gen, cond); });
}
int api_join(PyObject* gen, PyObject* relation) {
    return single(gen, bn.join, relation, [&] { return m_join(gen, relation); });
}
int api_order_by(PyObject* gen, PyObject* terms) {
    return spread(gen, bn.orderBy, terms,
                  [&](PyObject* const* a, Py_ssize_t n) { return m_order_by(gen, a, n, nullptr); });
}
int api_for_update(PyObject* gen) {
    return single(gen, bn.forUpdate, nullptr, [&] { return m_for_update(gen, nullptr); });
}
int api_limit(PyObject* gen, long long count, long long skip) {
    return guard_int([&]() -> int {
        Ref c = from_long(count), s = from_long(skip);
        PyObject* a[2] = {c.get(), s.get()};
        if (own_type(gen))
            done(m_limit(gen, a, 2, nullptr));
        else
            call_method_args(gen, bn.Limit, a, 2);
        return 0;
    });
}
int api_insert(PyObject* gen, PyObject* model) {
    return single(gen, bn.insert, model, [&] { return m_insert(gen, model); });
}
int api_values(PyObject* gen, PyObject* cells) {
    return spread(gen, bn.values, cells,
                  [&](PyObject* const* a, Py_ssize_t n) { return m_values(gen, a, n, nullptr); });
}
int api_values_many(PyObject* gen, PyObject* rows) {
    return single(gen, bn.valuesMany, rows, [&] { return m_values_many(gen, rows); });
}
int api_update(PyObject* gen, PyObject* model) {
    return single(gen, bn.update, model, [&] { return m_update(gen, model); });
}
int api_set(PyObject* gen, PyObject* cells) {
    return spread(gen, bn.set, cells, [&](PyObject* const* a, Py_ssize_t n) { return m_set(gen, a, n, nullptr); });
}
int api_select_grouped(PyObject* gen, PyObject* items, PyObject* groups, PyObject* having) {
    return guard_int([&]() -> int {
        PyObject* a[3] = {items, groups, having};
        if (own_type(gen))
            done(m_select_grouped(gen, a, 3, nullptr));
        else
            call_method_args(gen, bn.selectGrouped, a, 3);
        return 0;
    });
}
int api_delete_from(PyObject* gen, PyObject* model) {
    return single(gen, bn.delete_, model, [&] { return m_delete(gen, model); });
}

}  // namespace

void fill_building_api(GeneratorAPI* api) {
    bn.init();
    api->select = api_select;
    api->select_count = api_select_count;
    api->select_exists = api_select_exists;
    api->where = api_where;
    api->join = api_join;
    api->order_by = api_order_by;
    api->for_update = api_for_update;
    api->limit = api_limit;
    api->insert = api_insert;
    api->values = api_values;
    api->values_many = api_values_many;
    api->update = api_update;
    api->set = api_set;
    api->delete_from = api_delete_from;
    api->select_grouped = api_select_grouped;
}

void init_sql_types(PyObject* m) {
    PyTypeObject* tp = &BaseSqlGeneratorType;
    tp->tp_name = "Tavrik.DB.Generator.BaseSqlGenerator";
    tp->tp_basicsize = sizeof(BaseSqlGeneratorObject);
    tp->tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    tp->tp_doc =
        "BaseSqlGenerator()\n--\n\n"
        "Base of the statement builders; holds the statement kind.";
    tp->tp_new = base_new;
    tp->tp_getset = base_getset;
    add_type(m, tp);

    tp = &SqlGeneratorType;
    *tp = with_slots(
        gc_type<GenRefs, gen_clear, offsetof(SqlGeneratorObject, weaklist)>(
            "Tavrik.DB.Generator.SqlGenerator", sizeof(SqlGeneratorObject), Py_TPFLAGS_BASETYPE, &BaseSqlGeneratorType),
        {"SqlGenerator(model=None)\n--\n\n"
         "SqlGenerator(model=None): one SELECT/INSERT/UPDATE/DELETE statement under construction.",
         gen_methods, gen_getset, gen_init, gen_new});
    add_type(m, tp);

    tp = &CustomSqlGeneratorType;
    *tp = with_slots(gc_type<CustomRefs>("Tavrik.DB.Generator.CustomSqlGenerator", sizeof(CustomSqlObject),
                                         Py_TPFLAGS_BASETYPE, &BaseSqlGeneratorType),
                     {"CustomSqlGenerator(text, params=(), *, kind=4)\n--\n\n"
                      "CustomSqlGenerator(text, params=(), *, kind=4): a hand-written statement and its parameters.",
                      custom_methods, nullptr, custom_init, base_new});
    add_type(m, tp);

    tp = &InOperatorGeneratorType;
    *tp = with_slots(gc_type<InRefs>("Tavrik.DB.Generator.InOperatorGenerator", sizeof(InOperatorObject)),
                     {"InOperatorGenerator(col, values)\n--\n\n"
                      "InOperatorGenerator(col, values): the condition col IN (values).",
                      in_methods, nullptr, in_init, PyType_GenericNew});
    add_type(m, tp);

    tp = &JoinCellType;
    *tp = with_slots(gc_type<JoinRefs>("Tavrik.DB.Generator.JoinCell", sizeof(JoinCellObject), 0),
                     {"JoinCell(target, on, *, left=False)\n--\n\n"
                      "JoinCell(target, on, *, left=False): one JOIN clause for SqlGenerator.join.",
                      join_methods, nullptr, join_init, PyType_GenericNew});
    add_type(m, tp);
}

}  // namespace gen
}  // namespace tavrik
