// C-level layout and operation table of Tavrik.Model.ModelProperty.
//
// Version rule: the table only grows at its end; bump the version when an
// entry is appended and require the new version where it is used.
#pragma once
#include "../ref.hpp"
#include <string>
#include <vector>

namespace tavrik {

// Which conversion a column applies; lets hot paths switch without a lookup.
enum PropKind : int {
    PK_BASE = 0,
    PK_INT,
    PK_BIGINT,
    PK_FLOAT,
    PK_DECIMAL,
    PK_STR,
    PK_TEXT,
    PK_BOOL,
    PK_DATE,
    PK_DATETIME,
    PK_JSON,
    PK_BYTES,
};

struct BasePropertyObject {
    PyObject_HEAD PyObject* name;  // the key of the value in an instance: the attribute name (str or NULL)
    PyObject* valueType;           // Python value type, used for the pydantic model
    int nullable;                  // non-zero: the value may be None
    int primaryKey;                // non-zero: primary-key column
    int hasDefault;                // non-zero: `defaultValue` is a default (a value or a sentinel)
    int kind;                      // PropKind
    PyObject* defaultValue;        // the declared default, NullDefault/AutoIncrement instance, or NULL
    PyObject* targetType;          // SQL type name (str), e.g. "INT", "VARCHAR"
    PyObject* typeArgs;            // tuple of SQL type arguments, e.g. (11,)
    PyObject* owner;               // the model class that declares the column, or NULL
    Py_ssize_t length;             // maximum length of a string column, 0 for none
    PyObject* extra;               // subclass data (decimal precision, ...) or NULL
    PyObject* dict;                // instance attribute dictionary
    PyObject* weaklist;
    // Appended: cached `table`.`column` text, made on first use (or NULL).
    PyObject* columnSql;
    // Appended: the database column's name where it differs from `name` (a
    // column declared with name= under another attribute), else NULL.
    PyObject* column;
    int unique;  // non-zero: the DDL makes the column UNIQUE
    int index;   // non-zero: the DDL indexes the column
};

// The database column of a column property: its declared name when that
// differs from the attribute the rows are keyed by.
inline PyObject* prop_column(PyObject* prop) {
    BasePropertyObject* p = (BasePropertyObject*)prop;
    return p->column ? p->column : p->name;
}

// What decides the text of a condition or an expression, for keeping
// statement texts by shape: `key` holds the kinds, operators and counts, and
// the address of every text object the rendering copies (a column's
// `table`.`column`); with `held` given, a new reference to each of those
// objects is added there too, so that whoever keeps the key holds them and
// no other object can take an address it names.  Bound values never go into
// the key.
struct TextShape {
    std::string key;
    std::vector<PyObject*>* held = nullptr;
    void tag(int v) { key += (char)v; }
    void count(Py_ssize_t n) { key.append((const char*)&n, sizeof n); }
    void text(PyObject* s) {
        key.append((const char*)&s, sizeof s);
        if (held) {
            Py_INCREF(s);
            held->push_back(s);
        }
    }
};

// Version 3: BasePropertyObject grew `column`, `unique` and `index`.
#define TAVRIK_MODELPROPERTY_API_VERSION 7
#define TAVRIK_MODELPROPERTY_CAPSULE "Tavrik.Model.ModelProperty._C_API"

struct ModelPropertyAPI {
    int api_version;
    PyTypeObject* BasePropertyType;
    PyTypeObject* FilterListCellType;
    PyTypeObject* AutoIncrementType;
    PyTypeObject* NullDefaultType;
    // Stored/given value -> Python value of the column (new reference).
    PyObject* (*to_obj_value)(PyObject* prop, PyObject* value);
    // Python value -> what the database stores; raises TypeError/ValueError
    // naming the column for a value it cannot store (new reference).
    PyObject* (*to_db_value)(PyObject* prop, PyObject* value);
    // FilterListCell("1"), FilterListCell(name, col=prop), FilterListCell(value).
    PyObject* (*filter_true)(void);
    PyObject* (*filter_column)(PyObject* name, PyObject* prop);
    PyObject* (*filter_value)(PyObject* value);
    // head.link(other, code) (new reference to what link returns).
    PyObject* (*filter_link)(PyObject* head, PyObject* other, int code);
    // Renders a condition: returns its SQL text (new reference) and appends
    // the bound values to the list `params`.
    PyObject* (*filter_render)(PyObject* cell, PyObject* params);
    // `table`.`column` of a column property, quoted (new reference).
    PyObject* (*column_sql)(PyObject* prop);
    // --- version 2 ---
    // prop.insertCell(value) / prop.updateCell(value): the (column, database
    // value) cell that SqlGenerator.values/set take (new reference).
    PyObject* (*insert_cell)(PyObject* prop, PyObject* value);
    PyObject* (*update_cell)(PyObject* prop, PyObject* value);
    // --- version 4 ---
    // prop.in_(values): the condition `column IN (...)` over the database
    // values of the iterable `values` (new reference).  A column class
    // declared in Python has its own in_ called.
    PyObject* (*filter_in)(PyObject* prop, PyObject* values);
    // --- version 5 ---
    // As filter_in, the values bound as one array parameter: `column =
    // ANY(%s)` (a database with KeyList::AnyArray).  None among the values
    // is refused.
    PyObject* (*filter_in_array)(PyObject* prop, PyObject* values);
    // --- version 6 ---
    // Expression: arithmetic over columns and aggregates (Item.qty.sum()).
    PyTypeObject* ExpressionType;
    // The SQL text of a column or an expression (new reference), its bound
    // values appended to the list `params`.
    PyObject* (*operand_render)(PyObject* operand, PyObject* params);
    // A value read back for a column or an expression, as Python gives it:
    // the column's own conversion; an aggregate's rule (COUNT an int, MIN,
    // MAX and SUM of a column the column's type, AVG a float or, of
    // decimals, a Decimal) (new reference).
    PyObject* (*operand_result)(PyObject* operand, PyObject* raw);
    // 1 when `operand` is or holds an aggregate, else 0.
    int (*holds_aggregate)(PyObject* operand);
    // --- version 7 ---
    // The shape of a condition (filter_shape) or of a column or expression
    // (operand_shape): appends to `shape` what decides the text
    // filter_render/operand_render write, and to the list `params` the
    // values they bind, in the same order.  1 when the text follows from
    // the shape alone; 0 when it does not (a relation's EXISTS, a linked
    // chain, a decimal value whose cast takes its scale), `shape` and
    // `params` then partly written; -1 with an exception set.
    int (*filter_shape)(PyObject* cell, TextShape* shape, PyObject* params);
    int (*operand_shape)(PyObject* operand, TextShape* shape, PyObject* params);
};

}  // namespace tavrik
