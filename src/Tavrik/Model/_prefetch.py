"""Runs a batched load of related rows on an asynchronous connector.

The plan (built in C++ by ``AsyncModelExecutor.prefetch``) decides every
statement and fills the rows; this coroutine only awaits each statement on the
connector, on the executor's connection when it has one (else the task's), and
hands the fetched rows back to the plan.
"""


async def drive(plan, connector, work):
    rows = None
    while True:
        statement = plan.step(rows)
        if statement is None:
            return plan.result()
        rows = await connector.execute(statement[0], work, False, statement[1])
