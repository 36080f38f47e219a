// Expression: arithmetic over columns and the aggregates of columns and
// expressions.  An expression is a tree Python built by its operators; it is
// rendered as SQL text with %s placeholders and a list of bound values, every
// column through its quoted `table`.`column` text.
#include "mp.hpp"
#include <cstddef>
#include <cstdint>

namespace tavrik {
namespace mp {

PyTypeObject ExpressionType = empty_type();
PyNumberMethods operand_number = {};

namespace {

enum ExprKind : int { E_VALUE = 0, E_BINARY, E_NEG, E_AGG, E_KIND_LAST = E_AGG };
enum AggFn : int { A_SUM = 0, A_AVG, A_MIN, A_MAX, A_COUNT, A_FN_LAST = A_COUNT };

struct ExprObject {
    PyObject_HEAD int kind;  // ExprKind
    int op;                  // E_BINARY: '+', '-', '*', '/'; E_AGG: AggFn
    int distinct;            // E_AGG: COUNT(DISTINCT ...)
    int numkind;             // PropKind of what the expression gives
    int agg;                 // non-zero: is or holds an aggregate
    PyObject* left;          // operand (column or expression); E_VALUE: the bound value
    PyObject* right;         // E_BINARY: the second operand
    // The column whose own conversion a value on the other side takes, or
    // NULL: the expression's kind converts it.
    PyObject* typeCol;
    PyObject* weaklist;
};

inline ExprObject* X(PyObject* o) { return (ExprObject*)o; }

using ExprRefs = Refs<ExprObject, NoRefs, &ExprObject::left, &ExprObject::right, &ExprObject::typeCol>;
int expr_clear(PyObject* self) { return ExprRefs::clear(self); }

bool is_number_kind(int k) { return k == PK_BASE || k == PK_INT || k == PK_BIGINT || k == PK_FLOAT || k == PK_DECIMAL; }
int norm(int k) { return k == PK_BIGINT ? PK_INT : k; }

int kind_of(PyObject* o) { return is_property(o) ? norm(P(o)->kind) : X(o)->numkind; }
PyObject* type_col_of(PyObject* o) { return is_property(o) ? o : X(o)->typeCol; }

Ref expr_new(int kind, int op, int numkind) {
    Ref e = new_ref(PyType_GenericAlloc(&ExpressionType, 0));
    X(e.get())->kind = kind;
    X(e.get())->op = op;
    X(e.get())->numkind = numkind;
    return e;
}

// Arithmetic takes numbers only: text, dates or JSON have no + that every
// database reads alike.
void require_number(PyObject* o) {
    if (is_number_kind(kind_of(o))) return;
    if (is_property(o)) raise_column(o, PyExc_TypeError, "arithmetic and sum/avg take number columns only");
    PyErr_SetString(PyExc_TypeError, "arithmetic and sum/avg take number expressions only");
    throw_error();
}

Ref value_node(int numkind, PyObject* converted) {
    Ref e = expr_new(E_VALUE, 0, numkind);
    X(e.get())->left = borrow(converted).relinquish();
    return e;
}

bool is_decimal_value(PyObject* v) {
    static Immortal decimal_type(import_attr("decimal", "Decimal"));
    return PyObject_TypeCheck(v, (PyTypeObject*)decimal_type.get());
}

// A value in arithmetic: converted as the other side takes it, except that a
// fraction (a float or a Decimal) next to integers makes a decimal
// (stock * 1.5) instead of being refused.  Bound as a decimal, not a float:
// PostgreSQL types a parameter by the column beside it.
Ref arith_value(PyObject* other, PyObject* v) {
    if (kind_of(other) == PK_INT && (PyFloat_Check(v) || is_decimal_value(v)))
        return value_node(PK_DECIMAL, kind_db(PK_DECIMAL, v).get());
    return bound_value(other, v);
}

Ref binary(int op, PyObject* a, PyObject* b) {
    if (!is_operand(a) && !is_operand(b)) throw_error();  // not reached: a slot of one of them runs
    Ref av = is_operand(a) ? borrow(a) : arith_value(b, a);
    Ref bv = is_operand(b) ? borrow(b) : arith_value(a, b);
    require_number(av.get());
    require_number(bv.get());
    int ka = kind_of(av.get()), kb = kind_of(bv.get());
    int kind;
    if (ka == PK_FLOAT || kb == PK_FLOAT)
        kind = PK_FLOAT;
    else if (op == '/' || ka == PK_DECIMAL || kb == PK_DECIMAL)
        kind = PK_DECIMAL;
    else if (ka == PK_BASE || kb == PK_BASE)
        kind = PK_BASE;
    else
        kind = PK_INT;
    Ref e = expr_new(E_BINARY, op, kind);
    ExprObject* x = X(e.get());
    // Values go through a column of the result's own kind when one side is
    // one; a quotient has no such column.
    PyObject* col = nullptr;
    if (op != '/' && kind != PK_DECIMAL) {
        for (PyObject* side : {av.get(), bv.get()}) {
            PyObject* c = type_col_of(side);
            if (!col && c && kind_of(side) == kind) col = c;
        }
    }
    x->typeCol = col ? borrow(col).relinquish() : nullptr;
    x->agg = holds_aggregate(av.get()) || holds_aggregate(bv.get());
    x->left = av.relinquish();
    x->right = bv.relinquish();
    return e;
}

PyObject* slot_binary(int op, PyObject* a, PyObject* b) {
    // A condition on either side is not a number: let Python say so.
    if (PyObject_TypeCheck(a, &FilterListCellType) || PyObject_TypeCheck(b, &FilterListCellType))
        Py_RETURN_NOTIMPLEMENTED;
    return guard([&]() -> PyObject* { return binary(op, a, b).relinquish(); });
}
PyObject* nb_add(PyObject* a, PyObject* b) { return slot_binary('+', a, b); }
PyObject* nb_sub(PyObject* a, PyObject* b) { return slot_binary('-', a, b); }
PyObject* nb_mul(PyObject* a, PyObject* b) { return slot_binary('*', a, b); }
PyObject* nb_div(PyObject* a, PyObject* b) { return slot_binary('/', a, b); }

PyObject* nb_neg(PyObject* a) {
    return guard([&]() -> PyObject* {
        require_number(a);
        Ref e = expr_new(E_NEG, 0, kind_of(a));
        PyObject* col = type_col_of(a);
        X(e.get())->typeCol = col ? borrow(col).relinquish() : nullptr;
        X(e.get())->agg = holds_aggregate(a);
        X(e.get())->left = borrow(a).relinquish();
        return e.relinquish();
    });
}
PyObject* nb_pos(PyObject* a) {
    return guard([&]() -> PyObject* {
        require_number(a);
        return borrow(a).relinquish();
    });
}

// ------------------------------------------------------------ aggregates

Ref aggregate(PyObject* operand, int fn, bool distinct) {
    if (holds_aggregate(operand)) {
        PyErr_SetString(PyExc_ValueError, "an aggregate cannot hold another aggregate");
        throw_error();
    }
    int k = kind_of(operand);
    int kind = k;
    PyObject* col = type_col_of(operand);
    switch (fn) {
        case A_SUM: require_number(operand); break;
        case A_AVG:
            // One rule on every database: the mean of integers is a float,
            // of decimals a Decimal.
            require_number(operand);
            kind = k == PK_DECIMAL ? PK_DECIMAL : k == PK_BASE ? PK_BASE : PK_FLOAT;
            col = nullptr;
            break;
        case A_COUNT:
            kind = PK_INT;
            col = nullptr;
            break;
        default: break;  // MIN and MAX keep the operand's kind and column
    }
    // A decimal's values are bound by kind, every digit kept.
    if (kind == PK_DECIMAL) col = nullptr;
    Ref e = expr_new(E_AGG, fn, kind);
    ExprObject* x = X(e.get());
    x->distinct = distinct;
    x->agg = 1;
    x->typeCol = col ? borrow(col).relinquish() : nullptr;
    x->left = borrow(operand).relinquish();
    return e;
}

template <int FN>
PyObject* m_agg(PyObject* self, PyObject*) {
    return guard([&]() -> PyObject* { return aggregate(self, FN, false).relinquish(); });
}

PyObject* m_count(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&]() -> PyObject* {
        static const char* const kw[] = {"distinct"};
        PyObject* a[1];
        bind_args("count", args, nargs, kwnames, kw, 1, 0, a);
        return aggregate(self, A_COUNT, a[0] && arg_bool(a[0])).relinquish();
    });
}

PyObject* m_desc(PyObject* self, PyObject*) { return PyTuple_Pack(2, self, names.DESC.get()); }
PyObject* m_asc(PyObject* self, PyObject*) { return PyTuple_Pack(2, self, names.ASC.get()); }

// ------------------------------------------------------------ rendering

void render_sub(PyObject* o, std::string& out, PyObject* params) {
    // Nested arithmetic keeps the tree Python built, whatever the precedence.
    bool wrap = is_expression(o) && X(o)->kind == E_BINARY;
    if (wrap) out += '(';
    render_operand(o, out, params);
    if (wrap) out += ')';
}

// The digits after the point of a decimal's text, at most 30 (MySQL's
// widest scale); an exponent form takes the widest.
int decimal_scale(PyObject* text) {
    Py_ssize_t n;
    const char* t = PyUnicode_AsUTF8AndSize(text, &n);
    if (!t) throw_error();
    int scale = 0;
    bool after = false;
    for (Py_ssize_t i = 0; i < n; i++) {
        if (t[i] == 'E' || t[i] == 'e') return 30;
        if (after) scale++;
        if (t[i] == '.') after = true;
    }
    return scale < 30 ? scale : 30;
}

const char* const agg_names[] = {"SUM(", "AVG(", "MIN(", "MAX(", "COUNT("};

void render_expr(PyObject* o, std::string& out, PyObject* params) {
    ExprObject* x = X(o);
    switch (x->kind) {
        case E_VALUE:
            Require(PyList_Append(params, x->left));
            if (x->numkind == PK_DECIMAL && PyUnicode_Check(x->left)) {
                // A decimal is bound as text: the cast makes it a number on
                // every database (SQLite compares an expression with text as
                // text), at its own scale so that a product keeps the scale
                // of its factors (1.10 * 3 is 3.30, not 3.300...0).
                out += "CAST(%s AS DECIMAL(65, ";
                out += std::to_string(decimal_scale(x->left));
                out += "))";
            } else {
                out += "%s";
            }
            return;
        case E_BINARY:
            if (x->op == '/' && x->numkind != PK_FLOAT) {
                // One division everywhere: SQLite and PostgreSQL divide
                // integers to an integer, MySQL does not.
                out += '(';
                render_sub(x->left, out, params);
                out += " * 1.0)";
            } else {
                render_sub(x->left, out, params);
            }
            out += ' ';
            out += (char)x->op;
            out += ' ';
            if (x->op == '/') {
                // One answer to a zero divisor: NULL, as SQLite and MySQL
                // give it, where PostgreSQL would fail the statement.  0.0,
                // not 0: PostgreSQL would type a bound divisor as an integer.
                out += "NULLIF(";
                render_operand(x->right, out, params);
                out += ", 0.0)";
            } else {
                render_sub(x->right, out, params);
            }
            return;
        case E_NEG:
            // In parentheses: "a - -b" would begin a comment.
            out += "(-";
            render_sub(x->left, out, params);
            out += ')';
            return;
        case E_AGG:
            out += agg_names[x->op];
            if (x->distinct) out += "DISTINCT ";
            render_operand(x->left, out, params);
            out += ')';
            return;
    }
}

// ------------------------------------------------------------ Python API

PyObject* expr_richcompare(PyObject* self, PyObject* other, int op) {
    return guard([&]() -> PyObject* { return make_compare(self, other, op).relinquish(); });
}

Py_hash_t expr_hash(PyObject* self) {
    // Identity: `==` builds a condition, as on columns.
    uintptr_t x = (uintptr_t)self;
    Py_hash_t h = (Py_hash_t)((x >> 4) | (x << (8 * sizeof(uintptr_t) - 4)));
    return h == -1 ? -2 : h;
}

int expr_bool(PyObject*) {
    PyErr_SetString(PyExc_TypeError, "表达式没有真假值: 用比较构成条件");
    return -1;
}

PyObject* expr_repr(PyObject* self) {
    return guard([&]() -> PyObject* {
        Ref params = new_ref(PyList_New(0));
        std::string out;
        render_operand(self, out, params.get());
        Ref text = new_ref(PyUnicode_DecodeUTF8(out.data(), (Py_ssize_t)out.size(), "strict"));
        return Require(PyUnicode_FromFormat("<Expression %U %R>", text.get(), params.get()));
    });
}

PyObject* expr_reduce(PyObject* self, PyObject*) {
    ExprObject* x = X(self);
    return Py_BuildValue("(O()(iiiiiOOO))", (PyObject*)&ExpressionType, x->kind, x->op, x->distinct, x->numkind, x->agg,
                         none_if_null(x->left), none_if_null(x->right), none_if_null(x->typeCol));
}

PyObject* expr_setstate(PyObject* self, PyObject* state) {
    return guard([&]() -> PyObject* {
        if (!PyTuple_Check(state) || PyTuple_GET_SIZE(state) != 8) raise_arg_type("state", "tuple", state);
        int v[5];
        for (int i = 0; i < 5; i++) v[i] = arg_int(PyTuple_GET_ITEM(state, i));
        PyObject *left = PyTuple_GET_ITEM(state, 5), *right = PyTuple_GET_ITEM(state, 6),
                 *col = PyTuple_GET_ITEM(state, 7);
        bool ok = v[0] >= E_VALUE && v[0] <= E_KIND_LAST && (col == Py_None || is_property(col));
        if (ok && v[0] != E_VALUE) ok = is_operand(left);
        if (ok && v[0] == E_BINARY)
            ok = is_operand(right) && (v[1] == '+' || v[1] == '-' || v[1] == '*' || v[1] == '/');
        if (ok && v[0] == E_AGG) ok = v[1] >= A_SUM && v[1] <= A_FN_LAST;
        if (!ok) {
            PyErr_SetString(PyExc_ValueError, "invalid Expression state");
            throw_error();
        }
        ExprObject* x = X(self);
        expr_clear(self);
        x->kind = v[0];
        x->op = v[1];
        x->distinct = v[2];
        x->numkind = v[3];
        x->agg = v[4];
        x->left = borrow(left).relinquish();
        x->right = borrow(null_if_none(right)).relinquish();
        x->typeCol = borrow(null_if_none(col)).relinquish();
        Py_RETURN_NONE;
    });
}

PyMethodDef expr_methods[] = {
    {"__reduce__", expr_reduce, METH_NOARGS, nullptr},
    {"__setstate__", expr_setstate, METH_O, nullptr},
    {"sum", m_agg<A_SUM>, METH_NOARGS,
     "sum($self, /)\n--\n\n"
     "sum(): SUM of the expression; NULL (None) over no values."},
    {"avg", m_agg<A_AVG>, METH_NOARGS,
     "avg($self, /)\n--\n\n"
     "avg(): AVG of the expression: a float, a Decimal for decimals."},
    {"min", m_agg<A_MIN>, METH_NOARGS,
     "min($self, /)\n--\n\n"
     "min(): MIN of the expression."},
    {"max", m_agg<A_MAX>, METH_NOARGS,
     "max($self, /)\n--\n\n"
     "max(): MAX of the expression."},
    {"count", (PyCFunction)(void (*)(void))m_count, METH_FASTCALL | METH_KEYWORDS,
     "count($self, /, distinct=False)\n--\n\n"
     "count(distinct=False): COUNT of the values that are not NULL (distinct ones with distinct=True)."},
    {"desc", m_desc, METH_NOARGS,
     "desc($self, /)\n--\n\n"
     "desc(): descending order for orderBy."},
    {"asc", m_asc, METH_NOARGS,
     "asc($self, /)\n--\n\n"
     "asc(): ascending order for orderBy."},
    {nullptr, nullptr, 0, nullptr},
};

PyNumberMethods expr_number = {};

}  // namespace

PyObject* column_sum(PyObject* self, PyObject* a) { return m_agg<A_SUM>(self, a); }
PyObject* column_avg(PyObject* self, PyObject* a) { return m_agg<A_AVG>(self, a); }
PyObject* column_min(PyObject* self, PyObject* a) { return m_agg<A_MIN>(self, a); }
PyObject* column_max(PyObject* self, PyObject* a) { return m_agg<A_MAX>(self, a); }
PyObject* column_count(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return m_count(self, args, nargs, kwnames);
}

void render_operand(PyObject* o, std::string& out, PyObject* params) {
    if (Py_EnterRecursiveCall(" while rendering an expression")) throw_error();
    struct Leave {
        ~Leave() { Py_LeaveRecursiveCall(); }
    } leave;
    if (is_property(o))
        append_column(out, o);
    else if (is_expression(o))
        render_expr(o, out, params);
    else
        raise_arg_type("operand", "a column or an expression", o);
}

bool operand_shape(PyObject* o, TextShape& shape, PyObject* params) {
    if (Py_EnterRecursiveCall(" while reading an expression's shape")) throw_error();
    struct Leave {
        ~Leave() { Py_LeaveRecursiveCall(); }
    } leave;
    if (is_property(o)) {
        shape.tag('c');
        shape.text(column_sql_borrowed(o));
        return true;
    }
    if (!is_expression(o)) raise_arg_type("operand", "a column or an expression", o);
    ExprObject* x = X(o);
    switch (x->kind) {
        case E_VALUE:
            // A decimal's cast is written at the value's own scale.
            if (x->numkind == PK_DECIMAL && PyUnicode_Check(x->left)) return false;
            shape.tag('v');
            Require(PyList_Append(params, x->left));
            return true;
        case E_BINARY:
            shape.tag('b');
            shape.tag(x->op);
            shape.tag(x->numkind == PK_FLOAT);
            return operand_shape(x->left, shape, params) && operand_shape(x->right, shape, params);
        case E_NEG: shape.tag('n'); return operand_shape(x->left, shape, params);
        case E_AGG:
            shape.tag('a');
            shape.tag(x->op);
            shape.tag(x->distinct != 0);
            return operand_shape(x->left, shape, params);
    }
    return false;
}

Ref bound_value(PyObject* o, PyObject* v) {
    int kind = kind_of(o);
    PyObject* col = type_col_of(o);
    Ref converted = col && kind != PK_DECIMAL ? to_db(col, v, false) : kind_db(kind, v);
    return value_node(kind, converted.get());
}

bool holds_aggregate(PyObject* o) { return is_expression(o) && X(o)->agg; }

Ref operand_result(PyObject* o, PyObject* raw) {
    if (is_property(o)) return to_obj(o, raw);
    if (!is_expression(o)) raise_arg_type("operand", "a column or an expression", o);
    if (raw == Py_None) return borrow(raw);
    ExprObject* x = X(o);
    // MIN, MAX and SUM of a column answer in the column's own type (a
    // datetime, a Decimal of its scale); COUNT always an int.
    if (x->kind == E_AGG && x->op == A_COUNT) return kind_obj(PK_INT, raw);
    if (x->kind == E_AGG && x->op != A_AVG && is_property(x->left)) return to_obj(x->left, raw);
    return kind_obj(x->numkind, raw);
}

void init_expression_type(PyObject* m) {
    PyNumberMethods* ns[] = {&operand_number, &expr_number};
    for (PyNumberMethods* n : ns) {
        n->nb_add = nb_add;
        n->nb_subtract = nb_sub;
        n->nb_multiply = nb_mul;
        n->nb_true_divide = nb_div;
        n->nb_negative = nb_neg;
        n->nb_positive = nb_pos;
    }
    expr_number.nb_bool = expr_bool;
    PyTypeObject* tp = &ExpressionType;
    *tp = gc_type<ExprRefs, expr_clear, offsetof(ExprObject, weaklist)>("Tavrik.Model.ModelProperty.Expression",
                                                                        sizeof(ExprObject), 0);
    tp->tp_doc =
        "Expression()\n--\n\n"
        "Arithmetic over columns (Item.price * Item.qty, Item.stock - 1, -Item.stock) or an aggregate "
        "(Item.qty.sum()); compared, it is a condition; in updateWhere's values, what a column is set to.";
    tp->tp_new = PyType_GenericNew;
    tp->tp_methods = expr_methods;
    tp->tp_as_number = &expr_number;
    tp->tp_richcompare = expr_richcompare;
    tp->tp_hash = expr_hash;
    tp->tp_repr = expr_repr;
    add_type(m, tp);
}

}  // namespace mp
}  // namespace tavrik
