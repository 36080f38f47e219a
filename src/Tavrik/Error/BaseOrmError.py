"""Base class of the package's own exceptions.

The message of an error lives in ``msg``: a class attribute for a fixed text,
or set on the instance (by ``_process`` or from the first argument) for a
composed one.  ``str()`` of an error is its ``msg``.
"""

from typing import Any, Dict, Optional, Tuple

__all__ = ["BaseOrmError"]


class BaseOrmError(Exception):
    msg: Any = "ORM操作出错"

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        if args or kwargs:
            process = getattr(type(self), "_process", None)
            if process is not None:
                process(self, *args, **kwargs)
            elif args:
                self.msg = args[0]
        super().__init__(self.msg)

    def __str__(self) -> str:
        return str(self.msg)

    def __reduce__(self) -> Tuple[type, Tuple[Any, ...], Optional[Dict[str, Any]]]:
        # Rebuild without arguments (``_process`` takes composed ones) and put
        # the per-instance message back from the state.
        return type(self), (), self.__dict__ or None
