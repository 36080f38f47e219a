"""Model executors: query, save, update and delete rows of one model and load
their related rows, synchronously (ModelExecutor) or as awaitables
(AsyncModelExecutor)."""
from typing import (Any, AsyncIterator, Awaitable, Callable, Dict, Generic, Iterable, Iterator, List, Literal, Mapping,
                    Optional, Sequence, Tuple, Type, TypeVar, Union, overload)

from typing_extensions import disjoint_base

from Tavrik.DB.Generator import SqlGenerator
from Tavrik.Error.QueryError import QueryResoutIsNotOne
from Tavrik.Model.Korvid import InstanceList, Korvid, MiddleKorvid
from Tavrik.Ext.Dict import DictPlus
from Tavrik.Model.ModelProperty import BaseProperty, Expression, FilterListCell

_E = TypeVar("_E", bound="BaseModelExecutor[Any]")
_M = TypeVar("_M", bound=Korvid)
_J = TypeVar("_J", bound=MiddleKorvid)
_Column = Union[BaseProperty[Any], str]
"""A column of the executor's model: the property, its attribute name or its database column's name."""
_OrderTerm = Union[_Column, Expression, Tuple[Union[_Column, Expression], str]]
"""A column ("-name" descends), an expression, or (column or expression, 'asc' | 'desc') as made by
column.asc() / column.desc()."""
_Order = Union[_OrderTerm, Sequence[_OrderTerm]]
_Columns = Union[_Column, Sequence[_Column]]
_Rows = TypeVar("_Rows", bound=Iterable[Korvid])
_OnConflict = Optional[Literal["update", "ignore"]]
"""What saveAll does with a row meeting a stored one on a unique key: raise (None), update it, or leave it."""

@disjoint_base
class BaseModelExecutor(Generic[_M]):
    """The statement under construction and the query operations shared by
    both flavours.  State: model, sql, work, db, executed and __dict__
    (which holds `instance`, the row last given to save/update)."""

    __dict__: Dict[str, Any]
    def __init__(self, model: Type[_M], work: Any = None) -> None: ...
    @property
    def sql(self) -> Optional[SqlGenerator]: ...
    @sql.setter
    def sql(self, value: Optional[SqlGenerator]) -> None: ...
    @sql.deleter
    def sql(self) -> None: ...
    @property
    def generator(self) -> Optional[SqlGenerator]: ...
    def reset(self: _E) -> Optional[_E]: ...
    def editSql(self: _E, func: Callable[[Optional[SqlGenerator]], Any]) -> _E: ...
    def find(self: _E, *args: Any) -> _E: ...
    def findAllBy(self, Filter: Optional[FilterListCell] = None, *, forUpdate: bool = False, orderBy: Optional[_Order] = None, limit: Optional[int] = None, offset: Optional[int] = None, columns: Optional[_Columns] = None) -> Any:
        """Rows in the order given (NULLs first ascending, last descending), at most `limit` after skipping
        `offset` (non-negative 64-bit); with `columns`, rows of the model's row class that hold only those."""
    def findOneBy(self, Filter: Optional[FilterListCell] = None, *, forUpdate: bool = False, orderBy: Optional[_Order] = None, limit: Optional[int] = None, offset: Optional[int] = None, columns: Optional[_Columns] = None) -> Any: ...
    def findAnyMatch(self, instance: _M, limit: int = 0, offset: int = 0, *, forUpdate: bool = False, orderBy: Optional[_Order] = None, columns: Optional[_Columns] = None) -> Any: ...
    def By(self, Filter: Optional[FilterListCell] = None) -> Any: ...
    def count(self, Filter: Optional[FilterListCell] = None) -> Any:
        """The number of matching rows (SELECT COUNT(*)); ordering and windows added beforehand do not apply."""
    def exists(self, Filter: Optional[FilterListCell] = None) -> Any:
        """Whether a row matches (SELECT 1 ... LIMIT 1)."""
    def updateWhere(self, cond: Optional[FilterListCell], values: Mapping[_Column, Any], *, all: bool = False) -> Any:
        """One UPDATE ... SET ... WHERE cond: `values` maps the model's columns (not the key) to plain values,
        converted by the column, or to columns and expressions ({Item.stock: Item.stock - 1}); cond=None needs
        all=True.  The rows matched (SQLite) or changed (MySQL)."""
    def aggregate(self, cond: Optional[FilterListCell] = None, *, groupBy: Optional[_Columns] = None, having: Optional[FilterListCell] = None, orderBy: Optional[_Order] = None, limit: Optional[int] = None, **named: Expression) -> Any:
        """One SELECT ... GROUP BY: a DictPlus per group holding the group columns (by attribute) and each
        named aggregate (total=Item.qty.sum()); count is an int, min/max/sum of a column the column's type,
        avg a float (a Decimal for decimals), None over no values.  `having` conditions aggregates;
        `orderBy` may name a result ("-total")."""
    def deleteWhere(self, cond: Optional[FilterListCell], *, all: bool = False) -> Any:
        """One DELETE ... WHERE cond; cond=None needs all=True.  The rows deleted."""
    def delete(self, instance: Optional[Mapping[str, Any]], filter: Optional[FilterListCell] = None) -> Any: ...
    def save(self, instance: Any) -> Any: ...
    def update(self, instance: Any) -> Any: ...
    def execute(self) -> Any: ...
    def __copy__(self: _E) -> _E: ...
    def __deepcopy__(self: _E, memo: Dict[int, Any]) -> _E: ...
    def __reduce__(self) -> Any: ...

class ModelExecutor(BaseModelExecutor[_M]):
    """Runs every statement on the calling thread."""

    def findAllBy(self, Filter: Optional[FilterListCell] = None, *, forUpdate: bool = False, orderBy: Optional[_Order] = None, limit: Optional[int] = None, offset: Optional[int] = None, columns: Optional[_Columns] = None) -> InstanceList[_M]: ...
    def findOneBy(self, Filter: Optional[FilterListCell] = None, *, forUpdate: bool = False, orderBy: Optional[_Order] = None, limit: Optional[int] = None, offset: Optional[int] = None, columns: Optional[_Columns] = None) -> _M:
        """The one matching row; QueryResoutIsNotOne when there is none or more than one."""
    def findAnyMatch(self, instance: _M, limit: int = 0, offset: int = 0, *, forUpdate: bool = False, orderBy: Optional[_Order] = None, columns: Optional[_Columns] = None) -> InstanceList[_M]: ...
    def iterate(self, cond: Optional[FilterListCell] = None, *, batchSize: int = 1000, orderBy: Optional[_Order] = None) -> Iterator[_M]:
        """The rows `cond` picks, one by one, read in pages of at most
        `batchSize` rows ordered by `orderBy` and then the primary key (each
        page begins after the last row of the one before; nothing is held
        between pages).  Columns only in orderBy (no expressions)."""
    def raw(self, sql: str, params: Sequence[Any] = ()) -> InstanceList[_M]:
        """A statement written by hand ("%s" placeholders on every database,
        the values bound) and its rows as the model's converted rows: result
        columns matched to the model's by attribute name (or the `name=`
        column name); a column the model does not declare is left out."""
    def By(self, Filter: Optional[FilterListCell] = None) -> Any: ...
    def count(self, Filter: Optional[FilterListCell] = None) -> int: ...
    def exists(self, Filter: Optional[FilterListCell] = None) -> bool: ...
    def aggregate(self, cond: Optional[FilterListCell] = None, *, groupBy: Optional[_Columns] = None, having: Optional[FilterListCell] = None, orderBy: Optional[_Order] = None, limit: Optional[int] = None, **named: Expression) -> List[DictPlus]: ...
    def updateWhere(self, cond: Optional[FilterListCell], values: Mapping[_Column, Any], *, all: bool = False) -> int: ...
    def deleteWhere(self, cond: Optional[FilterListCell], *, all: bool = False) -> int: ...
    def delete(self, instance: Optional[Mapping[str, Any]], filter: Optional[FilterListCell] = None) -> Any: ...
    def execute(self) -> Any: ...
    @overload
    def save(self: "ModelExecutor[_J]", instance: _J) -> None: ...  # type: ignore[overload-overlap]
    @overload
    def save(self, instance: _M) -> _M:
        """Inserts the row (every column whose value is not None; a falsy
        primary key asks for a new key) and then its related rows; a row whose
        key exists already is updated instead.  A row holding no values is
        inserted with every column at its default.  Returns the same row with
        its new key, or None for a junction row."""
    def update(self, instance: _M, *, columns: Optional[_Columns] = None) -> _M:
        """Updates the row by its primary key, its related rows first; every
        column the row holds is written (None as NULL), and a many-to-many
        relation's junction rows become exactly the list held.  With
        `columns`, only those columns (never the key) and no related rows."""
    def saveAll(self, instances: Iterable[_M], onConflict: _OnConflict = None,
                conflictColumns: Optional[_Columns] = None) -> int:
        """One batch insert of all rows, all or nothing; returns the number
        of rows written.  Where the database gives out the key
        (AutoIncrement), each row without one gets its new key in order (by
        RETURNING: SQLite 3.35+, MariaDB 10.5+, PostgreSQL; on MySQL and
        older SQLite only a batch of one row); related rows are not saved,
        so rows holding any are refused (ValueError) before anything is
        written.

        onConflict="update" / "ignore": an upsert, one statement per batch;
        a row meeting a stored row on `conflictColumns` (the primary key by
        default, else a column declared unique=True; anything else is a
        ValueError before anything is written) updates every column it holds
        but the key and the target, or leaves the stored row alone.  Returns
        the rows inserted or updated (every row for "update"; for "ignore"
        those inserted).  Keys come back by the target's values: an updated
        row gets the stored row's key, a row left alone keeps its own.  MySQL
        answers every unique key, whatever the target (which there only
        tells rows apart); its "ignore" returns no keys."""
    def _saveOTO(self, res: Any, fk: Any, instance: _M) -> None: ...
    def _saveOTM(self, fk: Any, instance: _M) -> None: ...
    def _saveMTM(self, fk: Any, instance: _M) -> None: ...
    def findForeignKey(
        self,
        instance: _M,
        deep: bool = False,
        path: Optional[Dict[Any, Any]] = None,
        clevel: int = 1,
        level: int = 3,
        before: Optional[str] = None,
    ) -> Optional[_M]: ...
    def findListForeignKey(
        self,
        instances: Optional[Sequence[_M]],
        deep: bool = False,
        path: Optional[Dict[Any, Any]] = None,
        clevel: int = 1,
        level: int = 3,
        before: Optional[str] = None,
    ) -> None: ...
    def prefetch(self, rows: _Rows, level: int = 3) -> _Rows:
        """Fills the related rows of every row of `rows` (rows of this
        executor's model) as findListForeignKey(rows, level=level) does, with
        one statement per relation and level (chunked below the drivers'
        parameter limits) instead of one per row and relation.  Returns
        `rows`.  Nothing is filled when a statement fails."""

class AsyncModelExecutor(BaseModelExecutor[_M]):
    """Every operation that reaches the database returns an awaitable; its
    arguments are checked when it is called."""

    def findAllBy(self, Filter: Optional[FilterListCell] = None, *, forUpdate: bool = False, orderBy: Optional[_Order] = None, limit: Optional[int] = None, offset: Optional[int] = None, columns: Optional[_Columns] = None) -> Awaitable[InstanceList[_M]]: ...
    def findAnyMatch(self, instance: _M, limit: int = 0, offset: int = 0, *, forUpdate: bool = False, orderBy: Optional[_Order] = None, columns: Optional[_Columns] = None) -> Awaitable[InstanceList[_M]]: ...
    def iterate(self, cond: Optional[FilterListCell] = None, *, batchSize: int = 1000, orderBy: Optional[_Order] = None) -> AsyncIterator[_M]: ...
    def raw(self, sql: str, params: Sequence[Any] = ()) -> Awaitable[InstanceList[_M]]: ...
    def By(self, Filter: Optional[FilterListCell] = None) -> Awaitable[Any]: ...
    def count(self, Filter: Optional[FilterListCell] = None) -> Awaitable[int]: ...
    def exists(self, Filter: Optional[FilterListCell] = None) -> Awaitable[bool]: ...
    def aggregate(self, cond: Optional[FilterListCell] = None, *, groupBy: Optional[_Columns] = None, having: Optional[FilterListCell] = None, orderBy: Optional[_Order] = None, limit: Optional[int] = None, **named: Expression) -> Awaitable[List[DictPlus]]: ...
    def updateWhere(
        self, cond: Optional[FilterListCell], values: Mapping[_Column, Any], *, all: bool = False
    ) -> Awaitable[int]: ...
    def deleteWhere(self, cond: Optional[FilterListCell], *, all: bool = False) -> Awaitable[int]: ...
    def delete(
        self, instance: Optional[Mapping[str, Any]], filter: Optional[FilterListCell] = None
    ) -> Awaitable[Any]: ...
    def execute(self) -> Awaitable[Any]: ...
    @overload
    def save(self: "AsyncModelExecutor[_J]", instance: _J) -> Awaitable[None]: ...  # type: ignore[overload-overlap]
    @overload
    def save(self, instance: _M) -> Awaitable[_M]: ...
    def update(self, instance: _M, *, columns: Optional[_Columns] = None) -> Awaitable[_M]: ...
    def saveAll(self, instances: Iterable[_M], onConflict: _OnConflict = None,
                conflictColumns: Optional[_Columns] = None) -> Awaitable[int]: ...
    def _saveOTO(self, res: Any, fk: Any, instance: _M) -> Awaitable[None]: ...
    def _saveOTM(self, fk: Any, instance: _M) -> Awaitable[None]: ...
    def _saveMTM(self, fk: Any, instance: _M) -> Awaitable[None]: ...
    def findOneBy(self, Filter: Optional[FilterListCell] = None, *, forUpdate: bool = False, orderBy: Optional[_Order] = None, limit: Optional[int] = None, offset: Optional[int] = None, columns: Optional[_Columns] = None) -> Awaitable[Optional[_M]]:
        """The one matching row, or None when there is none (unlike ModelExecutor); QueryResoutIsNotOne for more than one."""
    def findForeignKey(
        self,
        instance: _M,
        deep: bool = False,
        path: Optional[Dict[Any, Any]] = None,
        clevel: int = 1,
        level: int = 3,
        before: Optional[str] = None,
    ) -> Awaitable[Optional[_M]]: ...
    def findListForeignKey(
        self,
        instances: Optional[Sequence[_M]],
        deep: bool = False,
        path: Optional[Dict[Any, Any]] = None,
        clevel: int = 1,
        level: int = 3,
        before: Optional[str] = None,
    ) -> Awaitable[None]: ...
    def prefetch(self, rows: _Rows, level: int = 3) -> Awaitable[_Rows]:
        """As ModelExecutor.prefetch, each statement awaited on the
        executor's connection (work) when it has one, else the task's."""

# The helpers of AsyncModelExecutor's coroutine bodies (Tavrik.Model._aio_executor):
# not API.  A plan is the extension's step machine (send/throw/close/running).
_v_InstanceList = InstanceList
_v_NotOne: Type[QueryResoutIsNotOne]
def _v_start(executor: AsyncModelExecutor[Any], /) -> Awaitable[Any]: ...
def _v_run(executor: AsyncModelExecutor[Any], /) -> Optional[Awaitable[Tuple[Any, Any, Any, Any]]]: ...
def _v_take(executor: AsyncModelExecutor[Any], raw: Tuple[Any, Any, Any, Any], /) -> Any: ...
def _v_check_filter(Filter: Any, /) -> None: ...
def _v_raw_start(executor: AsyncModelExecutor[Any], sql: Any, params: Any, /) -> Awaitable[Any]: ...
def _v_raw_rows(executor: AsyncModelExecutor[Any], result: Any, /) -> InstanceList[Any]: ...
def _v_query_options(
    executor: AsyncModelExecutor[Any], forUpdate: Any, orderBy: Any, limit: Any, offset: Any, columns: Any, /
) -> Dict[str, Any]: ...
def _v_build_batch(executor: AsyncModelExecutor[Any], instances: Any, onConflict: Any, conflictColumns: Any, /) -> int: ...
def _v_batch_written(executor: AsyncModelExecutor[Any], n: int, /) -> int: ...
def _v_end_batch(executor: AsyncModelExecutor[Any], /) -> None: ...
def _v_batch_keys(executor: AsyncModelExecutor[Any], final: bool, /) -> Any: ...
def _v_load_plan(
    executor: AsyncModelExecutor[Any], many: bool, instances: Any, deep: Any, path: Any, clevel: Any, level: Any,
    before: Any, /
) -> Any: ...
