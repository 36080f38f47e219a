// Tavrik.Ext.Decorators: use_database, which runs an asynchronous method
// inside one connection and transaction of the database handle, and
// pydantic_support, which the model module applies to every pydantic model it
// builds.  Both are defined from Python source: use_database's wrapper is a
// coroutine, and neither sits on a per-row path.
#include <tavrik/module.hpp>

namespace {

const char kSource[] = R"PY(
# Defined first: the model module imports it, and it may be loading now
# because of the DB import below (DB -> ... -> Korvid -> Decorators).
def pydantic_support(model):
    # Rows are dicts with attribute access and executors hand over row
    # dictionaries or objects: let the model validate from attributes too.
    config = dict(model.model_config)
    config["from_attributes"] = True
    model.model_config = config
    model.model_rebuild(force=True)


import functools
import sys
from Tavrik.DB.DB import DB
from Tavrik.DB._async_tx import Transaction


def use_database(fun):
    @functools.wraps(fun)
    async def warp(*args, **kwargs):
        if args:
            self = args[0]
            args = args[1:]
        elif "self" in kwargs:
            self = kwargs.pop("self")
        else:
            raise TypeError("warp() takes at least 1 positional argument (0 given)")
        # The steps of connector.transaction() on the connector's getCon(),
        # with the connection kept on the object (and read from it again to
        # commit) and a cancellation left to the task's end.
        tx = Transaction(DB.getInstance().connector.getCon(), holder=self, cancelRollsBack=False)
        con = await tx.__aenter__()
        try:
            self.con = con
        except BaseException:
            if not await tx.leave(*sys.exc_info()):
                raise
            return None
        try:
            res = await fun(self, *args, **kwargs)
        except BaseException:
            if not await tx.__aexit__(*sys.exc_info()):
                raise
            return None
        if await tx.__aexit__(None, None, None):
            return None
        return res
    return warp
)PY";

PyModuleDef moduledef = {PyModuleDef_HEAD_INIT, "Tavrik.Ext.Decorators", nullptr, -1, nullptr};

void init(PyObject* m) { tavrik::run_source(m, kSource, "Tavrik/Ext/Decorators"); }

}  // namespace

PyMODINIT_FUNC PyInit_Decorators(void) { TAVRIK_MODULE_INIT(moduledef, init); }
