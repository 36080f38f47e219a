"""Runs a batched load of related rows on an asynchronous connector.

The plan (built in C++ by ``AsyncModelExecutor.prefetch``) decides every
statement and fills the rows; this coroutine only awaits each statement on the
connector, on the executor's connection when it has one (else the task's), and
hands the fetched rows back to the plan.
"""
from __future__ import annotations

from typing import TYPE_CHECKING, Any, Union

if TYPE_CHECKING:
    from Tavrik.DB.Connector import AioMysqlConnector, AioSqliteConnector


# The plan is the extension's object and `work` the driver's connection (or
# None): neither carries type information.
async def drive(plan: Any, connector: Union[AioSqliteConnector, AioMysqlConnector], work: Any) -> Any:
    rows = None
    while True:
        statement = plan.step(rows)
        if statement is None:
            return plan.result()
        rows = await connector.execute(statement[0], work, False, statement[1])
