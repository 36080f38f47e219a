// Tavrik.Ext.Decorators: use_database, which runs an asynchronous method
// inside one connection and transaction of the database handle, and
// pydantic_support, which the model module applies to every pydantic model it
// builds.  Both are written in Python (Tavrik/Ext/_decorators.py) and
// published here: use_database's wrapper is a coroutine, and neither sits on
// a per-row path.
#include <tavrik/module.hpp>

namespace {

PyModuleDef moduledef = tavrik::module_definition("Tavrik.Ext.Decorators");

void init(PyObject* m) { tavrik::load_python(m, "Tavrik.Ext._decorators"); }

}  // namespace

PyMODINIT_FUNC PyInit_Decorators(void) { TAVRIK_MODULE_INIT(moduledef, init); }
