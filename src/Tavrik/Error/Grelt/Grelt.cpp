// Tavrik.Error.Grelt: errors of wrongly built SQL statements.  Plain classes
// defined from Python source at module init; the argument check of
// SqlMissingRelationshipError._process is done in C so its TypeError text is
// the interpreter's own.
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

const char kSource[] = R"PY(
from Tavrik.Error.BaseOrmError import BaseOrmError


class SqlInStanceError(BaseOrmError):
    def _process(self, c, t):
        self.msg = "无法在" + format(c, "") + "语句中添加" + format(t, "") + "语句块"


class SqlMissingRelationshipError(BaseOrmError):
    def _process(self, a, b):
        _check_str(a, "a")
        _check_str(b, "b")
        self.msg = "在" + ("None" if a is None else a) + "与" + ("None" if b is None else b) + "之间缺少了关系运算符"


class WhereGrelt(BaseOrmError):
    msg = "无法在未指定操作类型的sql上添加where子句"


class SetGrelt(BaseOrmError):
    msg = "无法在非UPDATE语句中添加SET语句"
)PY";

PyModuleDef moduledef = {PyModuleDef_HEAD_INIT, "Tavrik.Error.Grelt", nullptr, -1, methods};

void init(PyObject* m) { tavrik::run_source(m, kSource, "Tavrik/Error/Grelt"); }

}  // namespace

PyMODINIT_FUNC PyInit_Grelt(void) { TAVRIK_MODULE_INIT(moduledef, init); }
