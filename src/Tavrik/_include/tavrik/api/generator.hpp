// C-level layout and operation table of Tavrik.DB.Generator.
// Version rule: append only; bump the version with every appended entry.
#pragma once
#include "../ref.hpp"

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

#define TAVRIK_GENERATOR_API_VERSION 5
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
};

}  // namespace tavrik
