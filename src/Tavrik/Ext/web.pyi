from typing import Any, AsyncIterator, Awaitable, Callable, MutableMapping

__all__ = ["TransactionMiddleware", "transaction"]

_Scope = MutableMapping[str, Any]
_Message = MutableMapping[str, Any]
_Receive = Callable[[], Awaitable[_Message]]
_Send = Callable[[_Message], Awaitable[None]]
_App = Callable[[_Scope, _Receive, _Send], Awaitable[None]]

class TransactionMiddleware:
    """ASGI middleware: each HTTP request in one transaction() block of the
    database handle's connector (or `connector`), committed before the
    response starts, rolled back on an exception or a 5xx answer; a failed
    commit answers 500."""

    app: _App
    connector: Any
    def __init__(self, app: _App, connector: Any = None) -> None: ...
    async def __call__(self, scope: _Scope, receive: _Receive, send: _Send) -> None: ...

def transaction() -> AsyncIterator[Any]:
    """FastAPI dependency (Depends(transaction, scope="function")): the
    endpoint in one transaction() block, committed before the response."""
