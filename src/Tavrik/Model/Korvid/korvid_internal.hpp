// Shared state of the Tavrik.Model.Korvid sources: the module's types,
// interned names made once at init and what it imports from the other
// modules of the package.
#pragma once
#include <tavrik/api/connector.hpp>
#include <tavrik/api/db.hpp>
#include <tavrik/api/korvid.hpp>
#include <tavrik/api/modelproperty.hpp>
#include <tavrik/args.hpp>
#include <tavrik/params.hpp>
#include <tavrik/module.hpp>

namespace tavrik {
namespace korvid {

extern PyTypeObject KorvidBaseType;    // _Korvid
extern PyTypeObject ModelInstanceType;
extern PyTypeObject InstanceListType;

struct Names {
    PyObject* object;
    PyObject* mapping;
    PyObject* check;
    PyObject* check_kwnames;  // ("check",)
    PyObject* Type;
    PyObject* target;
    PyObject* directTarget;
    PyObject* toObjValue;
    PyObject* Default;
    PyObject* hasDefault;
    PyObject* name;
    PyObject* MODEL;
    PyObject* fk;
    PyObject* col;
    PyObject* tableName;
    PyObject* instanceBuilder;
    PyObject* modelInstance;
    PyObject* getAsyncExecutor;
    PyObject* getOtherFkBy;
    PyObject* connector;
    PyObject* isAsync;
    PyObject* items;
    PyObject* ModelList;
    PyObject* getPropertyObj;
    PyObject* buildModelInstance;
    PyObject* buildPydanticModel;
    PyObject* dunder_new;
    PyObject* dunder_missing;
    PyObject* dunder_module;
    PyObject* Instance;       // "Instance"
    PyObject* empty_tuple;
};
extern Names N;

// What the module imports from elsewhere; filled during module init, after
// the module's own types and capsule are published.
struct Imports {
    ModelPropertyAPI* mp = nullptr;
    DBAPI* db = nullptr;
    PyTypeObject* BaseProperty = nullptr;
    PyTypeObject* ForeignKey = nullptr;
    PyObject* ONE_TO_ONE = nullptr;
    PyObject* ONE_TO_MANY = nullptr;
    PyObject* MANY_TO_MANY = nullptr;
    PyObject* Optional = nullptr;
    PyObject* List = nullptr;
    PyObject* create_model = nullptr;
    PyObject* pydantic_support = nullptr;
    PyObject* deepcopy = nullptr;
    PyObject* type_new = nullptr;  // type.__new__
    PyTypeObject* DBType = nullptr;
    PyTypeObject* BaseConnector = nullptr;
    PyTypeObject* ModelExecutor = nullptr;
    PyTypeObject* AsyncModelExecutor = nullptr;
    // Created by this module.
    PyObject* KorvidMeta = nullptr;
    PyObject* Korvid = nullptr;
    PyObject* MiddleKorvid = nullptr;
    PyObject* korvid_new_sm = nullptr;          // Korvid.__dict__["__new__"]
    PyObject* instance_builder_descr = nullptr;  // _Korvid.__dict__["instanceBuilder"]
};
extern Imports I;

// Looks `name` up along the type's MRO without invoking descriptors
// (borrowed, NULL when absent).
PyObject* mro_lookup(PyTypeObject* tp, PyObject* name);


// Rows.
PyObject* mi_new(PyTypeObject* type, PyObject* args, PyObject* kwds);
int mi_init(PyObject* self, PyObject* args, PyObject* kwds);
PyObject* mi_getattro(PyObject* self, PyObject* name);
bool is_plain_instance_class(PyObject* cls);
// The remaining slots of ModelInstance (set before the type is readied).
void set_instance_slots(PyTypeObject* tp);
// Fills a new row as ModelInstance.__init__ does: `first` is the first
// positional argument or NULL, `kwargs` the keyword dict or NULL.
void fill_row(PyObject* self, PyObject* first, PyObject* kwargs);
// cls.modelInstance(*args, **kw) with the result checked.
PyObject* call_instance_class(PyObject* inst_cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
void check_builder_result(PyObject* res);
PyObject* build_row(PyObject* model, PyObject* row);
int build_rows(PyObject* model, PyObject* names, PyObject* rows, PyObject* out);
PyObject* plain_instance_class_of(PyObject* model);
PyObject* meta_call(PyObject* cls, PyObject* args, PyObject* kwargs);
Py_ssize_t instance_list_len(PyObject* list);

// Classes and the metaclass.
void ready_types(PyObject* m);
void create_meta(PyObject* m);
void create_korvid_classes(PyObject* m);

}  // namespace korvid
}  // namespace tavrik
