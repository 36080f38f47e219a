// Internal declarations shared by the sources of Tavrik.Model.ModelProperty.
#pragma once
#include <tavrik/sqltext.hpp>
#include <tavrik/args.hpp>
#include <tavrik/params.hpp>
#include <tavrik/module.hpp>
#include <tavrik/api/modelproperty.hpp>
#include <string>

namespace tavrik {
namespace mp {

extern PyTypeObject BasePropertyType;
extern PyTypeObject FilterListCellType;
extern PyTypeObject AutoIncrementType;
extern PyTypeObject NullDefaultType;
extern PyTypeObject ExpressionType;

// The two sentinel instances that a class given as default is normalised to.
extern Immortal auto_increment_instance;
extern Immortal null_default_instance;

// clang-format off: one name list, laid out by hand
#define MODELPROPERTY_NAMES(X)                                                                           \
    X(tableName) X(pkName) X(pkCol) X(owner) X(ModelList) X(quantize) X(rounding) X(is_finite) X(adjusted)  \
    X(isoformat) X(fromisoformat) X(date) X(microseconds) X(ensure_ascii) X(allow_nan) X(sep) X(timespec)    \
    X(name) X(DESC) X(ASC)
// clang-format on

struct Names {
    MODELPROPERTY_NAMES(TAVRIK_NAME_FIELD)
    Immortal space, one_str;  // " ", "1"
    void init();
};
extern Names names;

// ------------------------------------------------------------ conversions
inline BasePropertyObject* P(PyObject* o) { return (BasePropertyObject*)o; }
inline bool is_property(PyObject* o) { return PyObject_TypeCheck(o, &BasePropertyType); }
bool is_sentinel(PyObject* v);

void init_convert();  // imports datetime/json/decimal helpers
// Stored or given value -> the column's Python value (new reference).
Ref to_obj(PyObject* prop, PyObject* v);
// Python value -> database value.  `strict` also checks that the column can
// hold it (length, range, precision, NOT NULL); filters skip those checks
// because an out-of-range value there merely matches nothing.
Ref to_db(PyObject* prop, PyObject* v, bool strict);
// Raises `exc` with "column 'c' of table 't': <msg>".
[[noreturn]] void raise_column(PyObject* prop, PyObject* exc, const char* msg);
// Re-raises the pending exception prefixed with the column and table.
[[noreturn]] void rethrow_column(PyObject* prop);

// The numbers of an expression, converted by their kind (PropKind) alone:
// a value to bind (decimals as text, every digit kept), and a result read
// back (int, float or Decimal).  Other kinds pass through.
Ref kind_db(int kind, PyObject* v);
Ref kind_obj(int kind, PyObject* v);

// A fresh copy of a mutable default (new reference).
PyObject* copy_default(PyObject* v);

// `table`.`column` (cached on the property).
PyObject* column_sql_borrowed(PyObject* prop);
// prop.in_(iterable) of the package's own column types (new reference).
PyObject* column_in(PyObject* prop, PyObject* iterable);
// Appends a backtick-quoted identifier (backticks doubled) to `out`.

// --------------------------------------------------------------- filters
enum FilterKind : int {
    F_TRUE = 0,  // FilterListCell("1"): always true
    F_COLUMN,    // a column waiting for its comparison
    F_VALUE,     // a value waiting to be compared
    F_CMP,       // column <op> value / column
    F_IN,        // column IN (values...); op 1: OR column IS NULL, op 2: column = ANY(array of values)
    F_LIKE,      // column LIKE pattern
    F_AND,
    F_OR,
    F_NOT,
    F_EXISTS,  // a related row exists: col the owner's binding column, value the relation (see filter.cpp),
               // left the related rows' condition or NULL
};
enum FilterOp : int { OP_EQ = 0, OP_NE, OP_LT, OP_LE, OP_GT, OP_GE, OP_ISNULL, OP_NOTNULL };

struct FilterObject {
    PyObject_HEAD int kind;
    int op;
    PyObject* name;   // column cells: the name given
    PyObject* col;    // the column property (column cells, comparisons)
    PyObject* value;  // compared value, right-hand column, tuple for IN, pattern
    PyObject* left;   // AND/OR/NOT operands
    PyObject* right;
    PyObject* chain;  // list of (code, cell) appended by link(), or NULL
    PyObject* weaklist;
};

Ref filter_new(int kind);
Ref make_compare(PyObject* prop, PyObject* other, int op);
PyObject* api_filter_true();
PyObject* api_filter_column(PyObject* name, PyObject* prop);
PyObject* api_filter_value(PyObject* value);
PyObject* api_filter_link(PyObject* head, PyObject* other, int code);
PyObject* api_filter_render(PyObject* cell, PyObject* params);
// The text `render(out, params)` writes, as a str; on an error the values
// it appended are taken back out of the caller's `params` list.
template <class Render>
PyObject* render_keeping_params(PyObject* params, Render render) {
    if (!PyList_Check(params)) raise_arg_type("params", "list", params);
    std::string out;
    Py_ssize_t before = PyList_GET_SIZE(params);
    try {
        render(out, params);
    } catch (...) {
        PyObject *t, *v, *tb;
        PyErr_Fetch(&t, &v, &tb);
        PyList_SetSlice(params, before, PyList_GET_SIZE(params), nullptr);
        PyErr_Restore(t, v, tb);
        throw;
    }
    return Require(PyUnicode_DecodeUTF8(out.data(), (Py_ssize_t)out.size(), "strict"));
}
// Appends a column as a condition names it: `table`.`column`, or the alias
// of its table inside a relation's subquery.
void append_column(std::string& out, PyObject* prop);
// _relation_filter(near, far, corr, middle, middleFar, farKey, cond): the
// module function behind ForeignKey.any/has.
PyObject* relation_filter(PyObject* self, PyObject* const* args, Py_ssize_t nargs);

// ----------------------------------------------------------- expressions
inline bool is_expression(PyObject* o) { return PyObject_TypeCheck(o, &ExpressionType); }
// A column or an expression: what arithmetic and comparisons take as a side.
inline bool is_operand(PyObject* o) { return is_property(o) || is_expression(o); }
// Appends the SQL of a column or an expression, its values to `params`.
void render_operand(PyObject* o, std::string& out, PyObject* params);
// The shape of what render_operand writes, its values to `params`; false
// where the text takes more than the shape (see TextShape).
bool operand_shape(PyObject* o, TextShape& shape, PyObject* params);
// The same of a condition, as filter_render writes it.
bool filter_shape(PyObject* cell, TextShape& shape, PyObject* params);
// A plain value on the other side of `o` (column or expression), converted
// as `o` takes it: an expression bound value (new reference).
Ref bound_value(PyObject* o, PyObject* v);
// Whether `o` is or holds an aggregate.
bool holds_aggregate(PyObject* o);
// A value read back for `o` (a column or an expression) as Python gives it.
Ref operand_result(PyObject* o, PyObject* raw);
// A column's aggregates, the bodies of its sum/avg/min/max/count methods.
PyObject* column_sum(PyObject* self, PyObject*);
PyObject* column_avg(PyObject* self, PyObject*);
PyObject* column_min(PyObject* self, PyObject*);
PyObject* column_max(PyObject* self, PyObject*);
PyObject* column_count(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// The number slots columns share with expressions (+ - * /, unary - and +).
extern PyNumberMethods operand_number;

void init_property_types(PyObject* m);
void init_expression_type(PyObject* m);
void init_filter_type(PyObject* m);

}  // namespace mp
}  // namespace tavrik
