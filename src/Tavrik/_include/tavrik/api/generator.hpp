// C-level layout and operation table of Tavrik.DB.Generator.
// Version rule: append only; bump the version with every appended entry.
#pragma once
#include "../args.hpp"

namespace tavrik {

// Statement kinds.
enum StatementKind : int {
    SK_SELECT = 0,
    SK_INSERT = 1,
    SK_DELETE = 2,
    SK_UPDATE = 3,
    SK_CUSTOM = 4,
    SK_NONE = -1,
};

struct BaseSqlGeneratorObject {
    PyObject_HEAD int kind;  // StatementKind; SK_NONE until a statement is begun
};

// Paging member of SqlGenerator: sets LIMIT/OFFSET.  Returns 0, or -1 with an
// exception set.
typedef int (*tavrik_paging_fn)(PyObject* gen, long long limit, long long offset);

// The leading part of SqlGenerator's layout that other modules read.
struct SqlGeneratorHead {
    BaseSqlGeneratorObject base;
    tavrik_paging_fn paging;
};

#define TAVRIK_GENERATOR_API_VERSION 8
#define TAVRIK_GENERATOR_CAPSULE "Tavrik.DB.Generator._C_API"

struct GeneratorAPI {
    int api_version;
    // (statement text with "%s" placeholders, parameters): a tuple of values,
    // or a list of tuples for a batch (new reference).
    PyObject* (*statement_pair)(PyObject* gen);
    // (WHERE text or "", list of its parameters) (new reference).
    PyObject* (*where_part)(PyObject* gen);
    // Binds the generator to a model; returns the generator to keep (new ref).
    PyObject* (*bind_model)(PyObject* gen, PyObject* model);
    // Begins an UPDATE of the model; returns an object with `set` (new ref).
    PyObject* (*update_statement)(PyObject* gen, PyObject* model);
    // SqlGenerator() bound to `model` (new reference).
    PyObject* (*new_bound)(PyObject* model);
    PyTypeObject* BaseSqlGeneratorType;
    PyTypeObject* SqlGeneratorType;
    PyTypeObject* TableGeneratorType;
    PyTypeObject* InOperatorGeneratorType;
    PyTypeObject* CustomSqlGeneratorType;
    PyTypeObject* CustomColAnnounceType;
    PyTypeObject* JoinCellType;
    // Version 2.  Begins an INSERT of the model's table given as rows of
    // database values: `cols` a tuple of column properties, `params` a list of
    // tuples of values in that order.  Returns the generator (new reference).
    PyObject* (*insert_values)(PyObject* gen, PyObject* model, PyObject* cols, PyObject* params);
    // Version 3.  The statement-building methods of SqlGenerator, for the
    // modules that build statements in C.  Each does what the method named
    // in its comment does to `gen` (checks, errors and all) and returns 0,
    // or -1 with an exception set.  On an instance of a Python subclass of
    // SqlGenerator the method itself is looked up and called, so a
    // subclass's override is honoured.  `cols`, `terms`, `cells`: a tuple or
    // a list, spread as the method's positional arguments.
    int (*select)(PyObject* gen, PyObject* cols);                  // gen.select(*cols)
    int (*select_count)(PyObject* gen);                            // gen.selectCount()
    int (*select_exists)(PyObject* gen);                           // gen.selectExists()
    int (*where)(PyObject* gen, PyObject* cond);                   // gen.where(cond); cond may be None
    int (*join)(PyObject* gen, PyObject* relation);                // gen.join(relation)
    int (*order_by)(PyObject* gen, PyObject* terms);               // gen.orderBy(*terms)
    int (*for_update)(PyObject* gen);                              // gen.forUpdate()
    int (*limit)(PyObject* gen, long long count, long long skip);  // gen.Limit(count, skip)
    int (*insert)(PyObject* gen, PyObject* model);                 // gen.insert(model)
    int (*values)(PyObject* gen, PyObject* cells);                 // gen.values(*cells)
    int (*values_many)(PyObject* gen, PyObject* rows);             // gen.valuesMany(rows)
    int (*update)(PyObject* gen, PyObject* model);                 // gen.update(model)
    int (*set)(PyObject* gen, PyObject* cells);                    // gen.set(*cells)
    int (*delete_from)(PyObject* gen, PyObject* model);            // gen.delete(model)
    // Version 4.  statement_pair spelled for a database (`dialect` a
    // tavrik::DialectId): its empty INSERT, and a locking read's clause
    // where the database has one (statement_pair keeps FOR UPDATE).
    PyObject* (*statement_pair_in)(PyObject* gen, int dialect);
    // Version 5.  Whether `gen` holds a locking read (forUpdate()): 1 or 0.
    // A database without the clause locks otherwise (SQLite: the task's
    // write transaction begins first).
    int (*locks_rows)(PyObject* gen);
    // Version 6.  Marks the batch INSERT `gen` holds (insert_values) to
    // bring back the new keys, as the dialect spells it (BatchKeys): one
    // RETURNING row per parameter tuple, or a list of INSERTs of many rows
    // each, `(list of texts, list of parameter tuples)`, whose RETURNING
    // rows together hold every key.  Returns 0, or -1 with an exception set.
    int (*return_keys)(PyObject* gen);
    // Whether `gen` holds such a batch: 1 or 0.
    int (*returns_keys)(PyObject* gen);
    // Version 7.  gen.selectGrouped(items, groups, having): begins a SELECT
    // of named aggregates (`items` a tuple of (alias, column or expression)),
    // grouped by the columns of the tuple `groups`, filtered by `having` (a
    // condition or None).  0, or -1 with an exception set.
    int (*select_grouped)(PyObject* gen, PyObject* items, PyObject* groups, PyObject* having);
    // Version 8.  Makes the batch INSERT `gen` holds an upsert: `mode` 1
    // updates a stored row the new one meets on the unique key whose columns
    // are the tuple `target` (every column of the batch but the key and the
    // target), 2 leaves it as it is; as the dialect spells it (Upsert).  A
    // keyed such batch returns the key and then the target's columns other
    // than the key, one RETURNING row per row written (in no promised order).
    // Returns 0, or -1 with an exception set.
    int (*upsert)(PyObject* gen, int mode, PyObject* target);
};

// A statement as it goes down to a connector's core: the text in the house
// form ("%s" placeholders, the dialect's quoting), its parameters (a tuple,
// or a list of tuples for a batch), its kind and whether it locks the rows
// it reads; a batch that brings back its new keys (`keyed`, batch mode 2
// of the connectors' cores).
struct Statement {
    Ref sql;     // str or None; a list of texts for a keyed batch of many INSERTs
    Ref params;  // tuple (one run) or anything else (batch)
    int kind;
    bool batch;
    bool locks;
    bool keyed;
    int mode() const { return batch ? (keyed ? 2 : 1) : 0; }
};

// The statement `gen` holds, spelled for dialect `dialect` (a DialectId).  A
// generator subclass's statement may be any object: what is not a
// (text, parameters) pair is refused as unpacking it would be.
inline Statement statement_in(const GeneratorAPI* api, PyObject* gen, int dialect) {
    if (!PyObject_TypeCheck(gen, api->BaseSqlGeneratorType)) raise_expected("SqlGenerator", gen);
    Ref keep = borrow(gen);
    Ref pair = new_ref(api->statement_pair_in(gen, dialect));
    PyObject* p = pair.get();
    if (p == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' object is not iterable");
        throw_error();
    }
    if (!PyTuple_Check(p)) {
        PyErr_Format(PyExc_TypeError, "Expected tuple, got %.200s", type_name(p));
        throw_error();
    }
    const Py_ssize_t n = PyTuple_GET_SIZE(p);
    if (n > 2) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", (Py_ssize_t)2);
        throw_error();
    }
    if (n < 2) {
        PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", n, n == 1 ? "" : "s");
        throw_error();
    }
    Statement st{borrow(PyTuple_GET_ITEM(p, 0)),
                 borrow(PyTuple_GET_ITEM(p, 1)),
                 ((BaseSqlGeneratorObject*)gen)->kind,
                 false,
                 false,
                 false};
    // No parameters run the statement once, without any.
    if (st.params.get() == Py_None) st.params = new_ref(PyTuple_New(0));
    st.batch = !PyTuple_Check(st.params.get());
    st.keyed = st.batch && st.kind == SK_INSERT && api->returns_keys(gen);
    if (st.sql.get() != Py_None && !PyUnicode_Check(st.sql.get()) && !(st.keyed && PyList_Check(st.sql.get())))
        raise_expected("unicode", st.sql.get());
    st.locks = st.kind == SK_SELECT && api->locks_rows(gen);
    return st;
}

}  // namespace tavrik
