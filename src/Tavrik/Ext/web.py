"""Web services on the asynchronous road: a request's writes are committed
before its answer is sent.

Under the per-task default an endpoint that awaits ``save(...)`` and
returns has its answer sent before its task ends, and so before the task's
transaction commits: a server killed right after answering loses writes it
acknowledged.  ``TransactionMiddleware`` (any ASGI application) and the
``transaction`` dependency (FastAPI) run a request in one ``transaction()``
block that is committed before the response starts.
"""
from __future__ import annotations

import logging
from typing import Any, AsyncIterator, Awaitable, Callable, Dict, MutableMapping

from Tavrik.DB.DB import DB

__all__ = ["TransactionMiddleware", "transaction"]

_Scope = MutableMapping[str, Any]
_Message = MutableMapping[str, Any]
_Receive = Callable[[], Awaitable[_Message]]
_Send = Callable[[_Message], Awaitable[None]]
_App = Callable[[_Scope, _Receive, _Send], Awaitable[None]]

_logger = logging.getLogger("Tavrik.DB")


class _Answered5xx(Exception):
    """Rolls the block back: the application answered with a server error."""


def _connector(given: Any) -> Any:
    return given if given is not None else DB.getInstance().connector


class TransactionMiddleware:
    """ASGI中间件: 每个HTTP请求在数据库连接器 (默认 DB.getInstance().connector) 的一个 transaction()
    块中运行, 在响应开始之前提交; 应用抛出异常或以5xx应答时回滚。提交失败时应答改为500, 应用的应答不发出。
    响应开始之后 (流式响应的其余部分, 后台任务) 的写入不在这个块中: 它们属于请求任务自己的事务,
    任务结束时提交。"""

    def __init__(self, app: _App, connector: Any = None) -> None:
        self.app = app
        self.connector = connector

    async def __call__(self, scope: _Scope, receive: _Receive, send: _Send) -> None:
        if scope.get("type") != "http":
            await self.app(scope, receive, send)
            return
        block = _connector(self.connector).transaction()
        await block.__aenter__()
        state: Dict[str, bool] = {"open": True, "replaced": False}

        async def end(ok: bool) -> None:
            state["open"] = False
            if ok:
                await block.__aexit__(None, None, None)
            else:
                err = _Answered5xx()
                await block.__aexit__(_Answered5xx, err, None)

        async def answer(message: _Message) -> None:
            if state["replaced"]:
                return  # the application's answer, after a failed commit
            if message.get("type") == "http.response.start" and state["open"]:
                try:
                    await end(int(message.get("status", 500)) < 500)
                except Exception:
                    # Not committed: the client must not read a success.
                    _logger.exception("请求的事务提交失败, 应答改为500")
                    state["replaced"] = True
                    await send({"type": "http.response.start", "status": 500,
                                "headers": [(b"content-type", b"text/plain; charset=utf-8")]})
                    await send({"type": "http.response.body", "body": b"Internal Server Error"})
                    return
            await send(message)

        try:
            await self.app(scope, receive, answer)
        except BaseException as e:
            if state["open"]:
                state["open"] = False
                await block.__aexit__(type(e), e, e.__traceback__)
            raise
        if state["open"]:
            # The application returned without answering.
            await end(True)


async def transaction() -> AsyncIterator[Any]:
    """FastAPI依赖 (Depends(transaction, scope="function")): 端点在数据库连接器的一个 transaction() 块中运行,
    端点返回之后、响应发出之前提交, 端点抛出异常时回滚; 产出块的链接。"""
    async with _connector(None).transaction() as con:
        yield con
