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
from Tavrik.DB.DB import DB


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
        # The connector's getCon() is entered as an asynchronous context
        # manager; the connection it yields is kept on the object.
        async with DB.getInstance().connector.getCon() as self.con:
            try:
                res = await fun(self, *args, **kwargs)
                await self.con.commit()
                return res
            except Exception:
                await self.con.rollback()
                raise
    return warp
)PY";

PyModuleDef moduledef = {PyModuleDef_HEAD_INIT, "Tavrik.Ext.Decorators", nullptr, -1, nullptr};

void init(PyObject* m) { tavrik::run_source(m, kSource, "Tavrik/Ext/Decorators"); }

}  // namespace

PyMODINIT_FUNC PyInit_Decorators(void) { TAVRIK_MODULE_INIT(moduledef, init); }
