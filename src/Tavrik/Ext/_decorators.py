"""use_database and pydantic_support, published by ``Tavrik.Ext.Decorators``.

use_database runs an asynchronous method inside one connection and
transaction of the database handle; pydantic_support is applied by the model
module to every pydantic model it builds.  Neither sits on a per-row path.
"""

from __future__ import annotations

import functools
import sys
from typing import TYPE_CHECKING, Any, Awaitable, Callable, Coroutine, Optional, Type, TypeVar, cast

if TYPE_CHECKING:
    from pydantic import BaseModel, ConfigDict

_T = TypeVar("_T")

# The module names the decorator module has always exposed come along.
__all__ = ["DB", "Transaction", "functools", "pydantic_support", "sys", "use_database"]


# Defined before the DB import below: the model module imports it, and it may
# be loading now because of that import (DB -> ... -> Korvid -> Decorators).
def pydantic_support(model: Type[BaseModel]) -> None:
    # Rows are dicts with attribute access and executors hand over row
    # dictionaries or objects: let the model validate from attributes too.
    config = cast("ConfigDict", dict(model.model_config))  # a copy of the same TypedDict
    config["from_attributes"] = True
    model.model_config = config
    model.model_rebuild(force=True)


from Tavrik.DB._async_tx import Transaction  # noqa: E402
from Tavrik.DB.DB import DB  # noqa: E402


def _handle() -> Type[DB]:
    # The decorator module's DB, looked up when the method is called:
    # replacing Tavrik.Ext.Decorators.DB points the decorator at another handle.
    module = sys.modules.get("Tavrik.Ext.Decorators")
    handle: Type[DB] = getattr(module, "DB", DB) if module is not None else DB
    return handle


def use_database(fun: Callable[..., Awaitable[_T]]) -> Callable[..., Coroutine[Any, Any, Optional[_T]]]:
    @functools.wraps(fun)
    async def warp(*args: Any, **kwargs: Any) -> Optional[_T]:
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
        tx = Transaction(_handle().getInstance().connector.getCon(), holder=self, cancelRollsBack=False)
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
