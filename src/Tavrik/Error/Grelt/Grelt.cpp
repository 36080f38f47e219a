// Tavrik.Error.Grelt: errors of wrongly built SQL statements.  Plain classes
// written in Python (Tavrik/Error/_grelt.py) and published here; the argument
// check of SqlMissingRelationshipError._process is done in C (_check_str) so
// its TypeError text is the interpreter's own.
#include <tavrik/args.hpp>
#include <tavrik/module.hpp>

namespace {

// _check_str(value, argname): raises the interpreter's "Argument ... has
// incorrect type" TypeError unless value is a str or None.
PyObject* check_str(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return tavrik::guard([&]() -> PyObject* {
        if (nargs != 2) tavrik::raise_arity("_check_str", "exactly", 2, nargs);
        if (!PyUnicode_Check(args[1])) tavrik::raise_expected("str", args[1]);
        tavrik::check_str_arg(args[0], PyUnicode_AsUTF8(args[1]));
        Py_RETURN_NONE;
    });
}

PyMethodDef methods[] = {
    {"_check_str", (PyCFunction)(void (*)(void))check_str, METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef moduledef = tavrik::module_definition("Tavrik.Error.Grelt", nullptr, methods);

void init(PyObject* m) { tavrik::load_python(m, "Tavrik.Error._grelt"); }

}  // namespace

PyMODINIT_FUNC PyInit_Grelt(void) { TAVRIK_MODULE_INIT(moduledef, init); }
