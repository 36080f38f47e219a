// Tavrik.Error.Strovy: errors of database-handle misuse and of writes that
// cannot be carried out.  Plain classes with a fixed message each; they have
// no hot path, so they are written in Python (Tavrik/Error/_strovy.py) and
// published here.
#include <tavrik/module.hpp>

namespace {

PyModuleDef moduledef = tavrik::module_definition("Tavrik.Error.Strovy");

void init(PyObject* m) { tavrik::load_python(m, "Tavrik.Error._strovy"); }

}  // namespace

PyMODINIT_FUNC PyInit_Strovy(void) { TAVRIK_MODULE_INIT(moduledef, init); }
