import functools as functools
from typing import Any, Awaitable, Callable, Type, TypeVar

from pydantic import BaseModel

from Tavrik.DB.DB import DB as DB

_F = TypeVar("_F", bound=Callable[..., Awaitable[Any]])

def use_database(fun: _F) -> _F: ...
def pydantic_support(model: Type[BaseModel]) -> None: ...
