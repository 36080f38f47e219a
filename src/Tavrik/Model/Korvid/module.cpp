// Tavrik.Model.Korvid: module init, loading order and the operation table.
#include "korvid_internal.hpp"

namespace tavrik {
namespace korvid {

Names N;
Imports I;

PyObject* mro_lookup(PyTypeObject* tp, PyObject* name) {
    PyObject* mro = tp->tp_mro;
    if (!mro || !PyTuple_Check(mro)) return nullptr;
    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(mro); i < n; ++i) {
        PyObject* d = ((PyTypeObject*)PyTuple_GET_ITEM(mro, i))->tp_dict;
        if (!d) continue;  // static builtin types keep their dict elsewhere on 3.12
        PyObject* v = dict_get(d, name);
        if (v) return v;
    }
    return nullptr;
}

namespace {

KorvidAPI api = {
    TAVRIK_KORVID_API_VERSION,
    &KorvidBaseType,
    &InstanceListType,
    &ModelInstanceType,
    []() -> PyObject* { return I.Korvid; },
    []() -> PyObject* { return I.MiddleKorvid; },
    build_rows,
};

// Binds `module.name` in the module namespace and returns it (borrowed; the
// module keeps it alive for the life of the process).
PyObject* bind(PyObject* m, const char* module, const char* name) {
    Ref v = import_attr(module, name);
    add_object(m, name, v.get());
    return v.get();
}

PyTypeObject* bind_type(PyObject* m, const char* module, const char* name) {
    PyTypeObject* t = import_type(module, name);
    add_object(m, name, (PyObject*)t);
    return t;
}

void import_others(PyObject* m) {
    // typing
    I.Optional = borrow(bind(m, "typing", "Optional"));
    bind(m, "typing", "Type");
    I.List = borrow(bind(m, "typing", "List"));

    // Column properties and relations.
    I.mp = import_api<ModelPropertyAPI>(TAVRIK_MODELPROPERTY_CAPSULE, 3);
    I.BaseProperty = bind_type(m, "Tavrik.Model.ModelProperty", "BaseProperty");
    bind_type(m, "Tavrik.Model.ModelProperty", "FilterListCell");
    bind_type(m, "Tavrik.Model.ModelProperty", "AutoIncrement");
    bind_type(m, "Tavrik.Model.ModelProperty", "NullDefault");
    I.ForeignKey = bind_type(m, "Tavrik.Model.ModelProperty", "ForeignKey");
    PyObject* ft = bind(m, "Tavrik.Model.ModelProperty", "ForeignType");
    I.ONE_TO_ONE = getattr(ft, "ONE_TO_ONE");
    I.ONE_TO_MANY = getattr(ft, "ONE_TO_MANY");
    I.MANY_TO_MANY = getattr(ft, "MANY_TO_MANY");

    // Statement builders.
    for (const char* g : {"BaseSqlGenerator", "SqlGenerator", "TableGenerator", "InOperatorGenerator",
                          "CustomSqlGenerator", "CustomColAnnounce", "JoinCell"})
        bind_type(m, "Tavrik.DB.Generator", g);

    // Executors.
    bind_type(m, "Tavrik.Model.Vantrel", "BaseModelExecutor");
    I.ModelExecutor = bind_type(m, "Tavrik.Model.Vantrel", "ModelExecutor");
    I.AsyncModelExecutor = bind_type(m, "Tavrik.Model.Vantrel", "AsyncModelExecutor");

    // Connectors.
    for (const char* c :
         {"BaseConnector", "Sqlite3Connector", "AioSqliteConnector", "AioMysqlConnector", "PyMysqlConnector"})
        bind_type(m, "Tavrik.DB.Connector", c);

    // Database handle.
    I.db = import_api<DBAPI>(TAVRIK_DB_CAPSULE, 2);
    I.DBType = bind_type(m, "Tavrik.DB.DB", "DB");

    // pydantic and the model hook (from the Python module itself: it defines
    // the hook before importing the database handle, which may bring us here).
    I.create_model = borrow(bind(m, "pydantic", "create_model"));
    I.pydantic_support = borrow(bind(m, "Tavrik.Ext._decorators", "pydantic_support"));

    I.deepcopy = import_attr("copy", "deepcopy");
}

PyModuleDef moduledef = module_definition("Tavrik.Model.Korvid");

void init(PyObject* m) {
    N.init();
    I.type_new = getattr((PyObject*)&PyType_Type, "__new__");
    // Own types and the capsule first, so modules importing this one while
    // it loads find them.
    ready_types(m);
    create_meta(m);
    export_api(m, TAVRIK_KORVID_CAPSULE, &api);
    import_others(m);
    create_korvid_classes(m);
}

}  // namespace
}  // namespace korvid
}  // namespace tavrik

PyMODINIT_FUNC PyInit_Korvid(void) { TAVRIK_MODULE_INIT(tavrik::korvid::moduledef, tavrik::korvid::init); }
