from typing import Any, List, Optional, Type

from typing_extensions import disjoint_base

from Tavrik.Ext.Dict import DictPlus
from Tavrik.Model.Korvid import Korvid
from Tavrik.Model.ModelProperty import FilterListCell

class Page(DictPlus):
    """A page of a paged query: a dict whose items are also attributes.

    Items: page, pageSize, content (the rows), total (matching rows),
    totalPage (number of pages, set by the query)."""

    page: int
    pageSize: int
    content: List[Any]
    total: int
    totalPage: int
    def __init__(self, page: int, pageSize: int, content: Optional[List[Any]] = ..., total: int = 0) -> None: ...

@disjoint_base
class Olvane:
    """The paging controller; configuring methods return the object itself."""

    def __init__(self, target: Type[Korvid], page: int = 1, pageSize: int = 10, findForeign: bool = False) -> None: ...
    def filter(self, args: Optional[FilterListCell] = None) -> "Olvane": ...
    def orderBy(self, *args: Any) -> "Olvane": ...
    def findForeign(self) -> "Olvane": ...
    def setPage(self, page: int, pageSize: int = 0) -> "Olvane": ...
    def execute(self) -> Any:
        """The Page on a synchronous connector; on an asynchronous one an awaitable of the Page."""
    def _execute(self) -> Page: ...
    async def _asyncExecute(self) -> Page: ...
    def _getCount(self) -> Any: ...
