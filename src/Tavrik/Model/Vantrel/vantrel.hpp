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

// Interned attribute names, made once at module init.
struct Names {
    Immortal select, where, insert, values, set, delete_, join;
    Immortal col, fk, pkName, pkCol, tableName, name, Type, bindCol, targetBindCol;
    Immortal target, directTarget, owner, middleModel, object;
    Immortal getExecutor, getOtherFkBy, insertCell, updateCell, instance, execute;
    Immortal findAllBy, findForeignKey, save, update, reset, con, info;
    Immortal executor, deep, path, clevel, level, before, _saveOTO, _saveOTM, _saveMTM;
    Immortal findOneBy, modelInstance, valuesMany, forUpdate;
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
    Immortal integrity;  // (pymysql.IntegrityError, sqlite3.IntegrityError)
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

// Layout of the executor: the public head plus one transient flag.
struct ExecObject {
    BaseModelExecutorObject head;
    int batch;  // non-zero while a batch insert (saveAll) runs; not state
};
inline Exec* E(PyObject* o) { return (Exec*)o; }

// ---- helpers (module.cpp / BaseModelExecutor.cpp) ----
Ref call_method(PyObject* obj, PyObject* name, PyObject* const* args, size_t nargs, PyObject* kwnames = nullptr);
inline Ref call_method0(PyObject* obj, PyObject* name) { return call_method(obj, name, nullptr, 0); }
inline Ref call_method1(PyObject* obj, PyObject* name, PyObject* a) {
    PyObject* args[1] = {a};
    return call_method(obj, name, args, 1);
}
// Calls `name` with the items of `seq` (a list or tuple) as positional arguments.
Ref call_method_seq(PyObject* obj, PyObject* name, PyObject* seq);

// Item of a row (dict fast path, any mapping otherwise); NULL when absent.
Ref row_get(PyObject* row, PyObject* key);
// Item of a row, raising KeyError when absent.
Ref row_item(PyObject* row, PyObject* key);
void row_set(PyObject* row, PyObject* key, PyObject* value);
bool row_has(PyObject* row, PyObject* key);

PyObject* model_of(PyObject* self);
Ref new_generator(PyObject* model);
Ref executor_reset(PyObject* self);  // None or self (new ref)
void end_batch(PyObject* self);  // after a batch ran (or failed); never raises
Ref executor_execute(PyObject* self);
Ref sync_execute(PyObject* self);
Ref executor_find_all(PyObject* self, PyObject* filter, bool lock = false);
void check_filter(PyObject* f, const char* arg);
void check_row_of(PyObject* model, PyObject* row, const char* arg, bool allow_plain_dict);
PyObject* instance_dict(PyObject* self);  // borrowed, created on demand
bool is_junction(PyObject* model);
bool eq(PyObject* a, PyObject* b);
// Text from UTF-8 literals and objects (str() of each); PyUnicode_FromFormat
// takes ASCII formats only.
Ref text_of(std::initializer_list<PyObject*> parts);
Ref utf8(const char* s);
Ref fk_type(PyObject* fk);

// ---- writing (ModelExecutor.cpp) ----
enum ValidateMode : int { VM_SAVE = 0, VM_UPDATE = 1, VM_ASYNC_SAVE = 2, VM_ASYNC_UPDATE = 3 };
void validate_tree(PyObject* model, PyObject* row, int mode);
bool build_insert(PyObject* self, PyObject* instance);
bool build_update_has_cells(PyObject* self, PyObject* instance);
Py_ssize_t build_batch(PyObject* self, PyObject* instances);
Ref mtm_plan(PyObject* fk, PyObject* instance);
Ref stored_key_condition(PyObject* model, PyObject* row);  // null when the row has no key

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
void install_prefetch();

extern PyMethodDef base_methods[];
extern PyMethodDef sync_methods[];
extern PyMethodDef module_helpers[];
void install_async(PyObject* module);
void init_names();

}  // namespace vantrel
}  // namespace tavrik
