// Shared state of the Tavrik.Model.Korvid sources: the module's types,
// interned names made once at init and what it imports from the other
// modules of the package.
#pragma once
#include <tavrik/api/db.hpp>
#include <tavrik/api/korvid.hpp>
#include <tavrik/api/modelproperty.hpp>
#include <tavrik/args.hpp>
#include <tavrik/params.hpp>
#include <tavrik/module.hpp>

namespace tavrik {
namespace korvid {

// Layouts of the model base and of a row.  No other module reads them.
struct KorvidObject {
    PyObject_HEAD PyObject* col;
    PyObject* mapping;
    PyObject* modelInstance;
    PyObject* tableName;
};

struct ModelInstanceObject {
    PyDictObject dict;
    PyObject* _temp;
};

extern PyTypeObject KorvidBaseType;  // _Korvid
extern PyTypeObject ModelInstanceType;
extern PyTypeObject InstanceListType;

// clang-format off: one name list, laid out by hand
#define KORVID_NAMES(X)                                                                                        \
    X(object) X(mapping) X(check) X(Type) X(target) X(directTarget) X(toObjValue) X(Default) X(hasDefault)       \
    X(name) X(MODEL) X(fk) X(col) X(tableName) X(instanceBuilder) X(modelInstance) X(getAsyncExecutor)          \
    X(getOtherFkBy) X(ModelList) X(getPropertyObj) X(buildModelInstance) X(buildPydanticModel) X(Instance)
// clang-format on
// clang-format off: one name list, laid out by hand
#define KORVID_TEXTS(X) \
    X(dunder_new, "__new__") X(dunder_name, "__name__") X(dunder_missing, "__missing__") X(dunder_module, "__module__")
// clang-format on
struct Names {
    KORVID_NAMES(TAVRIK_NAME_FIELD)
    KORVID_TEXTS(TAVRIK_TEXT_FIELD)
    Immortal check_kwnames;  // ("check",)
    Immortal empty_tuple;
    void init() {
        KORVID_NAMES(TAVRIK_NAME_INTERN)
        KORVID_TEXTS(TAVRIK_TEXT_INTERN)
        check_kwnames = new_ref(PyTuple_Pack(1, check.get()));
        empty_tuple = new_ref(PyTuple_New(0));
    }
};
extern Names N;

// What the module imports from elsewhere; filled during module init, after
// the module's own types and capsule are published.
struct Imports {
    ModelPropertyAPI* mp = nullptr;
    DBAPI* db = nullptr;
    PyTypeObject* BaseProperty = nullptr;
    PyTypeObject* ForeignKey = nullptr;
    Immortal ONE_TO_ONE;
    Immortal ONE_TO_MANY;
    Immortal MANY_TO_MANY;
    Immortal Optional;
    Immortal List;
    Immortal create_model;
    Immortal pydantic_support;
    Immortal deepcopy;
    Immortal type_new;  // type.__new__
    PyTypeObject* DBType = nullptr;
    PyTypeObject* ModelExecutor = nullptr;
    PyTypeObject* AsyncModelExecutor = nullptr;
    // Created by this module.
    Immortal KorvidMeta;
    Immortal Korvid;
    Immortal MiddleKorvid;
    Immortal korvid_new_sm;           // Korvid.__dict__["__new__"]
    Immortal instance_builder_descr;  // _Korvid.__dict__["instanceBuilder"]
    Immortal middle_builder_descr;    // MiddleKorvid.__dict__["instanceBuilder"]
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
// json() of a row and of a row list: the JSON text as UTF-8 bytes.
PyObject* rows_json(PyObject* self, PyObject*);
// The remaining slots of ModelInstance (set before the type is readied).
void set_instance_slots(PyTypeObject* tp);
// Fills a new row as ModelInstance.__init__ does: `first` is the first
// positional argument or NULL, `kwargs` the keyword dict or NULL.
// strict: refuse keys that name no column or relation and arguments that
// would be ignored (rows the caller builds; `nargs` positionals were given).
void fill_row(PyObject* self, PyObject* first, PyObject* kwargs, bool strict, Py_ssize_t nargs = 1);
// cls.modelInstance(*args, **kw) with the result checked.
PyObject* call_instance_class(PyObject* inst_cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
void check_builder_result(PyObject* res);
int build_rows(PyObject* model, PyObject* names, PyObject* rows, PyObject* out);
// results: for rows built from a result, where a junction model's rows are
// built by its row class (calling a junction class gives None).
PyObject* plain_instance_class_of(PyObject* model, bool results = false);
PyObject* meta_call(PyObject* cls, PyObject* args, PyObject* kwargs);

// Classes and the metaclass.
void ready_types(PyObject* m);
void create_meta(PyObject* m);
void create_korvid_classes(PyObject* m);

}  // namespace korvid
}  // namespace tavrik
