"""SQL statement builders.  Statement texts use %s placeholders; every value is a bound parameter."""
from typing import Any, Dict, Iterable, List, Optional, Sequence, Tuple, Union

from typing_extensions import disjoint_base, final

from Tavrik.Model.ModelProperty import BaseProperty, Expression, FilterListCell

Cell = Tuple[BaseProperty[Any], Any]
Params = Union[Tuple[Any, ...], List[Tuple[Any, ...]]]
_Order = Union[BaseProperty[Any], Expression, str, Tuple[Union[BaseProperty[Any], Expression, str], str]]

@disjoint_base
class BaseSqlGenerator:
    @property
    def kind(self) -> int:
        """0 select, 1 insert, 2 delete, 3 update, 4 other, -1 none."""

@disjoint_base
class SqlGenerator(BaseSqlGenerator):
    def __init__(self, model: Optional[type] = None) -> None: ...
    @property
    def model(self) -> Optional[type]: ...
    def bind(self, model: Optional[type], /) -> "SqlGenerator": ...
    def select(self, *cols: Union[BaseProperty[Any], str]) -> "SqlGenerator":
        """No columns: the bound model's columns.  Keeps joins/ordering added before it."""
    def selectCount(self) -> "SqlGenerator":
        """SELECT COUNT(*) of the bound model's table; keeps joins and conditions; ordering, window, lock unused."""
    def selectExists(self) -> "SqlGenerator":
        """SELECT 1 ... LIMIT 1 of the bound model's table: one row when any matches."""
    def selectGrouped(self, items: Sequence[Tuple[str, Union[BaseProperty[Any], Expression]]], groups: Sequence[BaseProperty[Any]] = (), having: Optional[FilterListCell] = None) -> "SqlGenerator":
        """SELECT expression AS alias, ... GROUP BY groups HAVING having; ordering and window apply."""
    def where(self, cond: Optional[FilterListCell], /) -> "SqlGenerator":
        """WhereGrelt without a statement; None adds nothing; a second call ANDs."""
    def insert(self, model: type, /) -> "SqlGenerator": ...
    def values(self, *cells: Cell) -> "SqlGenerator":
        """One row; called again it adds another row (the statement becomes a batch)."""
    def valuesMany(self, rows: Iterable[Sequence[Cell]], /) -> "SqlGenerator":
        """Several rows with the same columns; statementPair then gives a list of tuples (one run per row)."""
    def update(self, model: type, /) -> "SqlGenerator": ...
    def set(self, *cells: Cell) -> "SqlGenerator":
        """SetGrelt unless the statement is an UPDATE."""
    def delete(self, model: type, /) -> "SqlGenerator": ...
    def join(self, relation: Union["JoinCell", Any], /) -> "SqlGenerator":
        """A ForeignKey descriptor (JOIN target ON target.targetBindCol = owner.bindCol) or a JoinCell."""
    def orderBy(self, *args: _Order) -> "SqlGenerator": ...
    def Limit(self, count: int, skip: int = 0, /) -> "SqlGenerator":
        """64-bit values; negative ones raise ValueError."""
    def forUpdate(self) -> "SqlGenerator":
        """The selection ends in FOR UPDATE (MySQL)."""
    def statementPair(self) -> Tuple[str, Params]: ...
    def wherePart(self) -> Tuple[str, List[Any]]:
        """('WHERE ...', [values]) or ('', [])."""

@disjoint_base
class TableGenerator(BaseSqlGenerator):
    def __init__(self, model: Any, connector: Any) -> None: ...
    def add(self, announce: "CustomColAnnounce", /) -> "TableGenerator": ...
    def sql(self) -> str:
        """CREATE TABLE IF NOT EXISTS in the connector's dialect (its `dialect`; an object without one: SQLite when its paramsHolder == '?', else MySQL)."""
    def statementPair(self) -> Tuple[str, Tuple[()]]: ...
    def index(self, col: Any, /) -> "TableGenerator":
        """Also indexes this column of the model's table (generate_table asks it for relation columns)."""
    def indexSql(self) -> List[str]:
        """SQLite: CREATE [UNIQUE] INDEX IF NOT EXISTS statements for the columns declared unique=/index=
        and those given to index(); MySQL: [] (its indexes are part of sql())."""
    def columnSql(self, col: Any, /) -> str:
        """The column's declaration as sql() writes it."""
    def addColumnSql(self, col: Any, /) -> str:
        """ALTER TABLE ... ADD COLUMN with the column's declaration."""
    def dropColumnSql(self, name: str, /) -> str: ...
    def renameColumnSql(self, old: str, new: str) -> str: ...
    def renameTableSql(self, name: str, /) -> str: ...
    def dropTableSql(self) -> str: ...
    def alterColumnSql(self, col: Any, /) -> List[str]:
        """The statements giving an existing column this declaration (MySQL: MODIFY COLUMN; PostgreSQL:
        ALTER COLUMN clauses); [] on SQLite, whose tables are rebuilt instead."""
    def createIndexSql(self, col: Any, unique: bool = False) -> str:
        """CREATE [UNIQUE] INDEX, named as indexSql() names it (with MySQL's key prefix)."""
    def dropIndexSql(self, col: Any, unique: bool = False) -> str: ...
    def copyRowsSql(self, source: str, columns: Sequence[str]) -> str:
        """INSERT INTO this table (columns) SELECT columns FROM source."""
    @staticmethod
    def schemaFacts(connector: Any, /) -> Dict[str, Any]:
        """{'dialect', 'transactionalDdl', 'alterColumn' ('rebuild', 'modify' or 'clauses'), 'lock', 'unlock',
        'ddlAlreadyDone' (error codes joined by '|'), 'columnsQuery' (a live table's (name, NOT NULL) rows)}."""
    @staticmethod
    def quote(name: str, /) -> str:
        """The name quoted as the generator's statements quote it."""

@disjoint_base
class CustomSqlGenerator(BaseSqlGenerator):
    def __init__(self, text: str, params: Optional[Params] = (), *, kind: int = 4) -> None: ...
    def statementPair(self) -> Tuple[str, Params]: ...

@disjoint_base
class CustomColAnnounce:
    def __init__(self, name: str, declaration: str) -> None: ...
    def sql(self) -> str: ...

@disjoint_base
class InOperatorGenerator:
    def __init__(self, col: BaseProperty[Any], values: Iterable[Any]) -> None: ...
    def sql(self) -> Tuple[str, Tuple[Any, ...]]: ...
    def cell(self) -> FilterListCell: ...

@final
class JoinCell:
    def __init__(self, target: type, on: FilterListCell, *, left: bool = False) -> None: ...
