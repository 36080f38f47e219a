// Internal declarations shared by the sources of Tavrik.DB.Generator.
#pragma once
#include <tavrik/sqltext.hpp>
#include <tavrik/args.hpp>
#include <tavrik/params.hpp>
#include <tavrik/module.hpp>
#include <tavrik/api/generator.hpp>
#include <tavrik/api/modelproperty.hpp>
#include <string>

namespace tavrik {
namespace gen {

extern PyTypeObject BaseSqlGeneratorType;
extern PyTypeObject SqlGeneratorType;
extern PyTypeObject TableGeneratorType;
extern PyTypeObject InOperatorGeneratorType;
extern PyTypeObject CustomSqlGeneratorType;
extern PyTypeObject CustomColAnnounceType;
extern PyTypeObject JoinCellType;

extern ModelPropertyAPI* mp_api;

// clang-format off: one name list, laid out by hand
#define GENERATOR_NAMES(X) \
    X(tableName) X(col) X(name) X(target) X(bindCol) X(targetBindCol) X(autoFiledAnnounce) X(pkCol)
// clang-format on
struct Names {
    GENERATOR_NAMES(TAVRIK_NAME_FIELD)
    void init() { GENERATOR_NAMES(TAVRIK_NAME_INTERN) }
};
extern Names names;

struct SqlGeneratorObject {
    SqlGeneratorHead head;
    PyObject* model;    // the bound model: SELECT reads from its table
    PyObject* table;    // model of the current INSERT/UPDATE/DELETE
    PyObject* columns;  // tuple given to select()
    PyObject* joins;    // list of JoinCell
    PyObject* where;    // FilterListCell or NULL
    PyObject* order;    // list of rendered ORDER BY terms (str)
    PyObject* rows;     // list of rows (lists of cells) for INSERT
    PyObject* sets;     // list of cells for UPDATE
    PyObject* batch;    // (column properties, list of parameter tuples): an INSERT given as rows of values
    long long limit;
    long long offset;
    int hasLimit;
    PyObject* weaklist;
    int lockRows;        // SELECT ... FOR UPDATE
    int aggregate;       // Aggregate: what a selection returns instead of columns
    PyObject* groups;    // AGG_GROUPED: tuple of the GROUP BY columns
    PyObject* having;    // AGG_GROUPED: FilterListCell of HAVING, or NULL
    int keyed;           // the batch INSERT brings back its new keys (return_keys)
    int upsert;          // the batch INSERT meets stored rows: 0 not, 1 updates them, 2 leaves them
    PyObject* conflict;  // upsert: tuple of the columns of the unique key it answers
};

// A selection that counts or probes instead of returning columns: its
// ordering, window and lock do not apply.
// AGG_GROUPED selects named aggregates (`columns` a tuple of (alias,
// column or expression) pairs) over groups; its ordering and window apply.
enum Aggregate : int { AGG_NONE = 0, AGG_COUNT = 1, AGG_EXISTS = 2, AGG_GROUPED = 3 };

struct JoinCellObject {
    PyObject_HEAD PyObject* target;  // model joined
    PyObject* on;                    // FilterListCell
    int left;                        // LEFT JOIN
};

struct CustomSqlObject {
    BaseSqlGeneratorObject base;
    PyObject* text;
    PyObject* params;  // tuple, or list of tuples for a batch
};

struct TableGeneratorObject {
    BaseSqlGeneratorObject base;
    PyObject* model;
    PyObject* connector;
    PyObject* extra;   // list of CustomColAnnounce
    PyObject* wanted;  // list of columns indexed for relations (index()), or NULL
};

struct CustomColAnnounceObject {
    PyObject_HEAD PyObject* name;
    PyObject* declaration;
};

struct InOperatorObject {
    PyObject_HEAD PyObject* col;
    PyObject* values;
};

Ref table_name(PyObject* model);
Ref to_str(const std::string& s);

void init_sql_types(PyObject* m);
// The statement texts kept by shape, owned by the module.
void init_texts(PyObject* m);
void init_table_types(PyObject* m);
PyObject* table_statement_pair(PyObject* gen);

PyObject* api_statement_pair(PyObject* gen);
PyObject* api_statement_pair_in(PyObject* gen, int dialect);
int api_locks_rows(PyObject* gen);
PyObject* api_where_part(PyObject* gen);
PyObject* api_bind_model(PyObject* gen, PyObject* model);
PyObject* api_update_statement(PyObject* gen, PyObject* model);
PyObject* api_insert_values(PyObject* gen, PyObject* model, PyObject* cols, PyObject* params);
int api_return_keys(PyObject* gen);
int api_returns_keys(PyObject* gen);
int api_upsert(PyObject* gen, int mode, PyObject* target);
PyObject* api_new_bound(PyObject* model);
// Sets the statement-building entries (version 3) of the table.
void fill_building_api(GeneratorAPI* api);

}  // namespace gen
}  // namespace tavrik
