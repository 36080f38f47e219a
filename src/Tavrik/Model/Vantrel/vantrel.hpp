// Internal declarations shared by the executor sources of Tavrik.Model.Vantrel.
#pragma once
#include <tavrik/api/connector.hpp>
#include <tavrik/api/db.hpp>
#include <tavrik/api/generator.hpp>
#include <tavrik/api/korvid.hpp>
#include <tavrik/api/modelproperty.hpp>
#include <tavrik/api/vantrel.hpp>
#include <tavrik/args.hpp>
#include <tavrik/module.hpp>
#include <tavrik/ref.hpp>
#include <initializer_list>

namespace tavrik {
namespace vantrel {

using Exec = BaseModelExecutorObject;

extern PyTypeObject BaseModelExecutorType;
extern PyTypeObject ModelExecutorType;
extern PyTypeObject AsyncModelExecutorType;
// Makes `t` a subclass of BaseModelExecutor with its own methods; its GC
// support (flag, traverse, clear) is inherited from the base.
inline void ready_executor_subtype(PyTypeObject* t, const char* doc, PyMethodDef* methods) {
    t->tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    t->tp_doc = doc;
    t->tp_base = &BaseModelExecutorType;
    t->tp_methods = methods;
}

// Interned attribute names, made once at module init.
// clang-format off: one name list, laid out by hand
#define VANTREL_NAMES(X)                                                                                       \
    X(col) X(fk) X(pkName) X(pkCol) X(tableName) X(name) X(Type) X(bindCol) X(targetBindCol) X(target)         \
    X(directTarget) X(owner) X(middleModel) X(object) X(getExecutor) X(getOtherFkBy) X(instance) X(execute)    \
    X(findAllBy) X(findForeignKey) X(save) X(update) X(reset) X(con) X(deep) X(path) X(clevel) X(level)        \
    X(before) X(_saveOTO) X(_saveOTM) X(_saveMTM) X(modelInstance) X(mapping) X(ModelList) X(instances) \
    X(conflictColumns)
// clang-format on
#define VANTREL_TEXTS(X) X(delete_, "delete")
struct Names {
    VANTREL_NAMES(TAVRIK_NAME_FIELD)
    VANTREL_TEXTS(TAVRIK_TEXT_FIELD)
    void init() {
        VANTREL_NAMES(TAVRIK_NAME_INTERN)
        VANTREL_TEXTS(TAVRIK_TEXT_INTERN)
    }
};
extern Names N;

// What the module imports from the rest of the package and from outside.
struct Imports {
    KorvidAPI* korvid;
    ModelPropertyAPI* mp;
    GeneratorAPI* gen;
    DBAPI* db;
    ConnectorAPI* connector;
    Immortal OTO;  // ForeignType members
    Immortal OTM;
    Immortal MTM;
    Immortal integrity;  // (pymysql.IntegrityError, sqlite3.IntegrityError, _async_tx.KeyTaken)
    Immortal DeleteWithOutPrimaryKeyError;
    Immortal UpdateWithOutPrimaryKeyError;
    Immortal QueryResoutIsNotOne;
    Immortal log_info;  // logging.info
    Immortal empty_tuple;
    // int subclass: a level handed to an overriding findForeignKey from
    // inside a running search, taken as it is rather than as a caller's start.
    Immortal search_level;
};
extern Imports I;

// What a selection's rows become (the statement's, reset with it).
// SHAPE_AGGREGATE: rows of named results, `only` holding the selection's
// (alias, column or expression) items.
enum Shape : int { SHAPE_ROWS = 0, SHAPE_COUNT = 1, SHAPE_EXISTS = 2, SHAPE_AGGREGATE = 3 };

// Layout of the executor: the public head plus one transient flag and the
// shape of the current selection.
struct ExecObject {
    BaseModelExecutorObject head;
    // Non-zero while a batch insert (saveAll) runs, 2 when it brings back
    // the rows' new keys (the rows are the dict's `instances`), 3 until the
    // connector knows whether it can; not state.
    int batch;
    int shape;       // Shape of the current selection's result
    PyObject* only;  // tuple of the keys rows keep (a column selection), or NULL
    // Rows matched by the last UPDATE this executor ran, when its connector
    // reports them; -1 when unknown.  Not state.
    long long matched;
    // Non-zero from an updateWhere/deleteWhere building its statement until
    // its result is taken: the result is then the connector's row count.
    int changes;
    // The batch's upsert while it runs (0 none, 1 update, 2 ignore; its
    // target in the dict's `conflictColumns`), and the rows the database
    // reports it wrote, -1 while unknown.  Not state.
    int upsert;
    long long written;
};
inline ExecObject* X(PyObject* o) { return (ExecObject*)o; }
inline Exec* E(PyObject* o) { return (Exec*)o; }

// ---- helpers (module.cpp / BaseModelExecutor.cpp) ----
// Item of a row (dict fast path, any mapping otherwise); NULL when absent.
Ref row_get(PyObject* row, PyObject* key);
// Item of a row, raising KeyError when absent.
Ref row_item(PyObject* row, PyObject* key);
void row_set(PyObject* row, PyObject* key, PyObject* value);

PyObject* model_of(PyObject* self);
Ref new_generator(PyObject* model);
Ref executor_reset(PyObject* self);  // None or self (new ref)
void end_batch(PyObject* self);      // after a batch ran (or failed); never raises
Ref executor_execute(PyObject* self);
Ref sync_execute(PyObject* self);
// sync_execute that reports a failed statement by returning NULL (error set)
// instead of unwinding; the statement's own failures only.
PyObject* sync_execute_unchecked(PyObject* self);
// The asynchronous executor's own road: the awaitable of the raw result of
// its statement from the core of the handle's connector, or None when that
// connector is a user's class (then execute() goes through the handle).
Ref async_run(PyObject* self);
// The executor's result of a raw result of its statement.
Ref take_result(PyObject* self, PyObject* raw);
// The connector of the executor's handle when it is one of the package's
// own of the executor's road (its core is called directly), else null.
PyObject* core_connector(PyObject* self, bool async);
// raw(): the statement started (its raw result, or on the asynchronous road
// an awaitable of it), and its result as the model's rows.
Ref raw_start(PyObject* self, PyObject* sql, PyObject* params, bool async);
Ref raw_rows(PyObject* self, PyObject* result);
Ref executor_find_all(PyObject* self, PyObject* filter, bool lock = false);

// ---- ordering, windows, column selections, count and exists (queries.cpp) ----
// The keyword options of the selection operations, checked before anything
// is built.
struct QueryOptions {
    bool lock = false;
    Ref order;  // tuple of ordering terms for the generator's orderBy, or null
    bool window = false;
    long long limit = 0;
    long long offset = 0;
    Ref cols;   // tuple of the model's column properties selected, or null (all)
    Ref keys;   // their row keys
    Ref given;  // (kwnames tuple, values tuple) of the options given, for an override
};
QueryOptions query_options(PyObject* model, PyObject* forUpdate, PyObject* orderBy, PyObject* limit, PyObject* offset,
                           PyObject* columns);
// update()'s columns=: the model's columns named (properties or names, as
// for findAllBy), in order, each once, without the primary key; ValueError
// for an unknown one or when none is left.
Ref written_columns(PyObject* model, PyObject* columns);
// Adds the ordering and the window of `o` to the statement begun.
void apply_order_window(PyObject* self, const QueryOptions& o);
void set_shape(PyObject* self, int shape, PyObject* only);
// The result of a selection shaped as the statement asked: `built` the rows
// (InstanceList) unless the shape needs the raw `rows` (count, exists).
Ref shape_result(PyObject* self, Ref built);
// The rows of `built` (a list) holding only the keys in `only`.
Ref keep_only(Ref built, PyObject* only);
bool counts_or_probes(PyObject* self);
Ref scalar_result(PyObject* self, PyObject* rows);
Ref executor_find_all(PyObject* self, PyObject* filter, const QueryOptions& o);
PyObject* m_count(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* m_exists(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* m_aggregate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// updateWhere(cond, values, *, all=False) / deleteWhere(cond, *, all=False).
PyObject* m_updateWhere(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* m_deleteWhere(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* h_query_options(PyObject*, PyObject* const* args, Py_ssize_t nargs);
void check_filter(PyObject* f, const char* arg);
void check_row_of(PyObject* model, PyObject* row, const char* arg, bool allow_plain_dict);
PyObject* instance_dict(PyObject* self);  // borrowed, created on demand
bool is_junction(PyObject* model);
// The connector whose core runs the executor's statements, when the executor
// runs them itself (its own execute, one of the package's connectors).
PyObject* own_core_connector(PyObject* self);
bool eq(PyObject* a, PyObject* b);
// Text from UTF-8 literals and objects (str() of each); PyUnicode_FromFormat
// takes ASCII formats only.
Ref text_of(std::initializer_list<PyObject*> parts);
Ref utf8(const char* s);
Ref fk_type(PyObject* fk);

// ---- writing (ModelExecutor.cpp) ----
enum ValidateMode : int { VM_SAVE = 0, VM_UPDATE = 1, VM_ASYNC_SAVE = 2, VM_ASYNC_UPDATE = 3 };
void validate_tree(PyObject* model, PyObject* row, int mode);
// The INSERT of save() (also of a row holding no values); when
// `update_cells` is given (a list), it receives, in column order, what an
// update of the same row writes: the INSERT's own cells, and the bare column
// for a column the row holds as None.
void build_insert(PyObject* self, PyObject* instance, PyObject* update_cells = nullptr);
// The UPDATE of update(); `cells`, when given, are those save()'s INSERT
// kept for it (see build_insert).
bool build_update_has_cells(PyObject* self, PyObject* instance, PyObject* cells = nullptr);
Py_ssize_t build_batch(PyObject* self, PyObject* instances, PyObject* onConflict = nullptr,
                       PyObject* conflictColumns = nullptr);
// saveAll's docstring, the same on both executors.
#define SAVE_ALL_DOC                                                                                                                                                  \
    "saveAll($self, /, instances, onConflict=None, conflictColumns=None)\n--\n\n"                                                                                     \
    "批量插入实例 (全部写入或都不写入)，返回写入的行数; 主键由数据库分配 (自增) 时, 没有主键的实例按顺序得到新主键 " \
    "(RETURNING: SQLite 3.35 以上, MariaDB 10.5 以上, PostgreSQL; MySQL 与更早的 SQLite 只回填单行的批量)。\n\n"                                     \
    "onConflict 为 'update' 或 'ignore' 时是 upsert (每批一条语句): 与已存的行在 conflictColumns 上相遇的行, "                                   \
    "'update' 更新那一行 (写入本批中除主键与 conflictColumns 外的每一列; 本批有而某行没有的列写入其默认值), "                      \
    "'ignore' 保持那一行不变。conflictColumns 为模型的列 (属性或属性名), 默认为主键, 否则须是一个 unique=True 的列; "                 \
    "其它目标在写入前抛出 ValueError。返回插入与更新的行数: 'update' 为全部行, 'ignore' 为插入的行, "                                   \
    "各数据库相同 (不用 MySQL 把更新记作 2、未变的行记作 0 的 affected rows)。新主键按 conflictColumns 的值回填, "                      \
    "不按位置: 更新了已存行的实例得到那一行的主键, 被忽略的实例保留自己的 (或没有)。"                                             \
    "MySQL/MariaDB 对表的每个唯一键都作答: 在另一个唯一列上相遇的行也更新 (或保持) 那一行而不报错 "                               \
    "(SQLite 与 PostgreSQL 报错, 本批都不写入); 那里 conflictColumns 只被校验并用来回填主键。"                                                 \
    "MySQL 的 'ignore' 不回填主键 (MariaDB 的 RETURNING 也返回被忽略的行, 分不出哪些是插入的), "                                              \
    "没有 RETURNING 的数据库 (MySQL, 3.35 以前的 SQLite) 上的 upsert 也不回填。"

// saveAll's answer once its batch of `n` rows ran: the rows written.
Py_ssize_t batch_written(PyObject* self, Py_ssize_t n);
bool batch_keys_known(PyObject* self, bool final);
// update(row, columns=...): the UPDATE of those columns only (`props` from
// written_columns), checked and converted before the statement is touched.
void build_column_update(PyObject* self, PyObject* instance, PyObject* props);
Ref stored_key_condition(PyObject* model, PyObject* row);  // null when the row has no key
void require_pk(PyObject* model, PyObject* row);           // UpdateWithOutPrimaryKeyError without a key
bool has_related(PyObject* model, PyObject* row);          // whether an update writes related rows too

// ---- save and update, one algorithm for both executors (saveplan.cpp) ----
// What a road does its own way, in saving and in loading; everything else
// is the one algorithm (saveplan.cpp, loadplan.cpp).
struct Road {
    // Executors of this type run nested saves inside the plan and have their
    // rows loaded in place; every related executor a load meets must be one
    // (TypeError otherwise, naming `own_name`).
    PyTypeObject* own;
    const char* own_name;
    bool update_saves_oto;   // update() saves (inserts or updates) a one-to-one related row
    bool mtm_saves_far;      // many-to-many items are saved themselves (update: instead of updated)
    int vm_save, vm_update;  // ValidateMode of a save and of an update
    // Loading: related executors are made on the caller's connection,
    // getExecutor(work); otherwise getExecutor() lets the database handle
    // choose one.
    bool callers_work;
    // Loading: a relation whose binding column is absent from the row is
    // skipped like an unset (None) one; otherwise the absence is a KeyError.
    bool skip_absent_binding;
    // Loading: a many-to-many answer taken from the search's cache that is
    // not a list is stored wrapped in a one-element list.
    bool wrap_cached_list;
};
extern const Road sync_road, async_road;
enum PlanOp : int { OP_SAVE, OP_UPDATE, OP_SAVE_OTO, OP_SAVE_OTM, OP_SAVE_MTM };
// A step of a plan: run the statement built on `ex`; read rows of `ex` by a
// filter; or call a method of `ex`.  The objects are the plan's (borrowed).
enum ActionKind : int { A_EXECUTE, A_FIND, A_CALL };
struct Action {
    ActionKind kind;
    PyObject* ex;
    PyObject* name;
    PyObject* args[3];
    size_t nargs;
    bool lock;
};
// The operation on the synchronous road (args as the method's); its result.
Ref run_plan(PyObject* self, PlanOp op, PyObject* const* args);
// The operation's plan for the asynchronous road (a SavePlan), its
// arguments checked.
Ref new_async_plan(PyObject* self, PlanOp op, PyObject* const* args);
void ready_plan_type();
// The coroutine that runs a plan object of the asynchronous road
// (Tavrik/Model/_aio_executor.py, run).
Ref drive_async(PyObject* plan);

// Pauses the cyclic garbage collector while many acyclic objects are made
// at once (rows of a large result, cells of a batch): otherwise every few
// hundred allocations start a collection that walks all rows built so far.
// Restores the previous state; does nothing when it was already off.
class GcPause {
public:
    explicit GcPause(bool active = true);
    ~GcPause();
    GcPause(const GcPause&) = delete;
    GcPause& operator=(const GcPause&) = delete;

private:
    bool paused_;
};

// ---- batched loading of related rows (prefetch.cpp) ----
PyObject* executor_prefetch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* executor_prefetch_async(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
void install_prefetch();

extern PyMethodDef base_methods[];
extern PyMethodDef sync_methods[];
extern PyMethodDef module_helpers[];
void install_async();
// ---- iterate() (iterate.cpp) ----
PyObject* executor_iterate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* executor_iterate_async(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
void install_iterate();

}  // namespace vantrel
}  // namespace tavrik
