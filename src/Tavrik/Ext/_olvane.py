"""The coroutine body of ``Olvane._asyncExecute``.

The paging steps themselves are C helpers of ``Tavrik.Ext.Olvane``; this
module only awaits the count and the page query between them.
"""
from __future__ import annotations

from typing import TYPE_CHECKING

from Tavrik.Ext.Olvane import _begin, _count_done, _deep, _limit

if TYPE_CHECKING:
    from Tavrik.Ext.Olvane import Olvane, Page

__all__ = ["async_execute"]


async def async_execute(self: Olvane) -> Page:
    page = _begin(self)
    rows = await self._getCount()
    if not _count_done(self, page, rows):
        return page
    executor = _limit(self)
    page["content"] = await executor.execute()
    if _deep(self) and page["content"]:
        await executor.findListForeignKey(page["content"])
    return page
