// Tavrik.Model.Vantrel: module initialisation.  Own types and capsule first,
// then the other modules of the package, then the module body.
#include "loadplan.hpp"
#include "vantrel.hpp"

namespace tavrik {
namespace vantrel {

Names N;
Imports I;

extern VantrelAPI capi;
extern PyMethodDef rebuild_def;
void set_rebuild(Ref fn);
void ready_base_type();
void ready_sync_type();
void ready_async_type();

static PyModuleDef moduledef =
    module_definition("Tavrik.Model.Vantrel", "模型执行器：查询、保存、更新、删除模型实例，并加载关联对象");

static void init(PyObject* m) {
    N.init();
    // 1. Own types and capsule, so modules that import this one while it is
    //    still loading find them.
    ready_base_type();
    ready_sync_type();
    ready_async_type();
    ready_plan_type();
    add_type(m, &BaseModelExecutorType);
    add_type(m, &ModelExecutorType);
    add_type(m, &AsyncModelExecutorType);
    export_api(m, TAVRIK_VANTREL_CAPSULE, &capi);
    Require(PyModule_AddFunctions(m, module_helpers));
    {
        Ref fn = new_ref(PyCFunction_NewEx(&rebuild_def, nullptr, PyModule_GetNameObject(m)));
        add_object(m, "_rebuild", fn.get());
        set_rebuild(std::move(fn));
    }

    // 2. The other modules' capsules and types.
    I.korvid = import_api<KorvidAPI>(TAVRIK_KORVID_CAPSULE, 3);
    I.mp = import_api<ModelPropertyAPI>(TAVRIK_MODELPROPERTY_CAPSULE, 6);
    I.gen = import_api<GeneratorAPI>(TAVRIK_GENERATOR_CAPSULE, 8);
    I.db = import_api<DBAPI>(TAVRIK_DB_CAPSULE, 1);
    I.connector = import_api<ConnectorAPI>(TAVRIK_CONNECTOR_CAPSULE, 7);

    // 3. The module body: ordinary names.
    PyObject* g = PyModule_GetDict(m);
    Ref logging = import("logging");
    Require(PyDict_SetItemString(g, "logging", logging.get()));
    I.log_info = getattr(logging.get(), "info");
    Ref List = import_attr("typing", "List");
    Require(PyDict_SetItemString(g, "List", List.get()));
    Ref del_err = import_attr("Tavrik.Error.Strovy", "DeleteWithOutPrimaryKeyError");
    Ref upd_err = import_attr("Tavrik.Error.Strovy", "UpdateWithOutPrimaryKeyError");
    Require(PyDict_SetItemString(g, "DeleteWithOutPrimaryKeyError", del_err.get()));
    Require(PyDict_SetItemString(g, "UpdateWithOutPrimaryKeyError", upd_err.get()));
    I.DeleteWithOutPrimaryKeyError = std::move(del_err);
    I.UpdateWithOutPrimaryKeyError = std::move(upd_err);
    Ref ftype = import_attr("Tavrik.Model.ModelProperty", "ForeignType");
    Require(PyDict_SetItemString(g, "ForeignType", ftype.get()));
    I.OTO = getattr(ftype.get(), "ONE_TO_ONE");
    I.OTM = getattr(ftype.get(), "ONE_TO_MANY");
    I.MTM = getattr(ftype.get(), "MANY_TO_MANY");
    Ref my_integrity = import_attr("pymysql", "IntegrityError");
    Ref sqlite3 = import("sqlite3");
    Require(PyDict_SetItemString(g, "IntegrityError", my_integrity.get()));
    Require(PyDict_SetItemString(g, "sqlite3", sqlite3.get()));
    Ref lite_integrity = getattr(sqlite3.get(), "IntegrityError");
    Ref key_taken = import_attr("Tavrik.DB._async_tx", "KeyTaken");
    I.integrity = new_ref(PyTuple_Pack(3, my_integrity.get(), lite_integrity.get(), key_taken.get()));
    Ref not_one = import_attr("Tavrik.Error.QueryError", "QueryResoutIsNotOne");
    Ref not_def = import_attr("Tavrik.Error.QueryError", "QueryNotDefine");
    Require(PyDict_SetItemString(g, "QueryResoutIsNotOne", not_one.get()));
    Require(PyDict_SetItemString(g, "QueryNotDefine", not_def.get()));
    I.QueryResoutIsNotOne = std::move(not_one);
    I.empty_tuple = new_ref(PyTuple_New(0));
    {
        Ref modname = new_ref(PyModule_GetNameObject(m));
        Ref ns = new_ref(Py_BuildValue("{s:(),s:O}", "__slots__", "__module__", modname.get()));
        Ref bases = new_ref(PyTuple_Pack(1, (PyObject*)&PyLong_Type));
        I.search_level =
            new_ref(PyObject_CallFunction((PyObject*)&PyType_Type, "sOO", "_SearchLevel", bases.get(), ns.get()));
    }

    // Names the coroutine bodies use.
    Require(PyDict_SetItemString(g, "_v_NotOne", I.QueryResoutIsNotOne));
    Require(PyDict_SetItemString(g, "_v_InstanceList", (PyObject*)I.korvid->InstanceListType));
    install_loading(m);
    install_async();
    install_prefetch();
    install_iterate();
}

}  // namespace vantrel
}  // namespace tavrik

PyMODINIT_FUNC PyInit_Vantrel(void) { TAVRIK_MODULE_INIT(tavrik::vantrel::moduledef, tavrik::vantrel::init); }
