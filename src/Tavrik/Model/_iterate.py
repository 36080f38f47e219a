"""The loops of ``executor.iterate()`` (``Tavrik.Model.Vantrel``): keyset
pages of a query, one findAllBy per page, each page beginning right after
the row that ended the one before.

The arguments were checked by the extension; ``terms`` is the pages'
ordering, ``(column, "ASC"|"DESC", nullable, row key)`` for each term, the
primary key last.  NULLs sort first ascending and last descending on every
database (the generator writes ``NULLS FIRST``/``LAST`` where a database
differs), and the condition after a row follows that rule.
"""
from __future__ import annotations

from typing import TYPE_CHECKING, Any, AsyncIterator, Iterator, List, Optional, Sequence, Tuple

if TYPE_CHECKING:
    from Tavrik.Model.Vantrel import AsyncModelExecutor, ModelExecutor

__all__ = ["aiterate", "iterate"]

_Term = Tuple[Any, str, bool, str]


def _beyond(column: Any, descending: bool, nullable: bool, value: Any) -> Optional[Any]:
    """The rows whose `column` comes strictly after `value`; None for none."""
    if value is None:
        # NULLs come first ascending: every other value is beyond them;
        # descending they come last and nothing is.
        return column != None if not descending else None  # noqa: E711 (IS NOT NULL)
    if not descending:
        return column > value
    if nullable:
        return (column < value) | (column == None)  # noqa: E711 (IS NULL)
    return column < value


def _same(column: Any, value: Any) -> Any:
    return column == None if value is None else column == value  # noqa: E711


def _after(terms: Sequence[_Term], values: Sequence[Any]) -> Optional[Any]:
    """The rows after the one holding `values` (one per term) in the order
    of `terms`: beyond it on a term and equal to it on every term before."""
    branches: List[Any] = []
    for i, (column, direction, nullable, _) in enumerate(terms):
        beyond = _beyond(column, direction == "DESC", nullable, values[i])
        if beyond is None:
            continue
        for j in range(i):
            beyond = _same(terms[j][0], values[j]) & beyond
        branches.append(beyond)
    if not branches:
        return None
    cond = branches[0]
    for b in branches[1:]:
        cond = cond | b
    return cond


def _page_condition(cond: Any, terms: Sequence[_Term], last: Optional[List[Any]]) -> Tuple[bool, Any]:
    """(whether any row can follow, the condition of the next page)."""
    if last is None:
        return True, cond
    after = _after(terms, last)
    if after is None:
        return False, None
    return True, after if cond is None else cond & after


def _boundary(terms: Sequence[_Term], rows: Sequence[Any], batch: int) -> Optional[List[Any]]:
    """The last row's values of the terms, or None after a short (last) page."""
    if len(rows) < batch:
        return None
    return [rows[-1][t[3]] for t in terms]


def iterate(executor: ModelExecutor[Any], cond: Any, batch: int, terms: Sequence[_Term]) -> Iterator[Any]:
    order = [(t[0], t[1].lower()) for t in terms]
    last: Optional[List[Any]] = None
    while True:
        more, page_cond = _page_condition(cond, terms, last)
        if not more:
            return
        rows = executor.findAllBy(page_cond, orderBy=order, limit=batch)
        # Read before the rows are handed out: the caller may change them.
        last = _boundary(terms, rows, batch)
        yield from rows
        del rows
        if last is None:
            return


async def aiterate(executor: AsyncModelExecutor[Any], cond: Any, batch: int,
                   terms: Sequence[_Term]) -> AsyncIterator[Any]:
    order = [(t[0], t[1].lower()) for t in terms]
    last: Optional[List[Any]] = None
    while True:
        more, page_cond = _page_condition(cond, terms, last)
        if not more:
            return
        rows = await executor.findAllBy(page_cond, orderBy=order, limit=batch)
        last = _boundary(terms, rows, batch)
        for row in rows:
            yield row
        del rows
        if last is None:
            return
