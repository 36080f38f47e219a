"""Column properties, conditions and relation descriptors."""
import datetime
import decimal
import enum
from typing import TYPE_CHECKING, Any, Generic, Iterable, List, Literal, Optional, Tuple, Type as _TypeOf, TypeVar, Union, overload

from typing_extensions import Self, disjoint_base, final

if TYPE_CHECKING:
    from Tavrik.Model.Korvid import Korvid

_V = TypeVar("_V")
_K = TypeVar("_K", bound="Korvid")

Cell = Tuple["BaseProperty[Any]", Any]
"""A (column, database value) pair made by insertCell/updateCell."""

@final
class AutoIncrement:
    """Default of an integer primary key that the database assigns (class or instance)."""

@final
class NullDefault:
    """Default NULL (class or instance)."""

_Default = Any

@disjoint_base
class BaseProperty(Generic[_V]):
    """A column.  Read on the model class it is the property (conditions, ordering); read on a
    row it is the row's value, of the column's type (Optional when the column is nullable):
    declare it as `name: Column[str] = StrProperty(64, nullable=False)`."""
    def __init__(self, *, name: Optional[str] = None, primaryKey: bool = False, nullable: bool = True,
                 default: _Default = ..., unique: bool = False, index: bool = False) -> None:
        """name: the database column's name when it differs from the attribute; unique/index: the
        table created by generate_table keeps the column unique / indexes it."""
    @overload
    def __get__(self, instance: None, owner: Any) -> Self: ...
    @overload
    def __get__(self, instance: object, owner: Any) -> _V: ...
    def __set__(self, instance: object, value: _V) -> None: ...
    def __set_name__(self, owner: type, name: str, /) -> None: ...
    def __copy__(self) -> Self: ...
    def __deepcopy__(self, memo: Any, /) -> Self: ...
    name: Optional[str]
    """Key of the value in a row: the attribute the column is bound to (the declared name until then)."""
    @property
    def column(self) -> Optional[str]:
        """The database column's name: the name= given, else the attribute."""
    @property
    def unique(self) -> bool: ...
    @property
    def index(self) -> bool: ...
    @property
    def valueType(self) -> Any: ...
    @property
    def nullable(self) -> bool: ...
    @property
    def primaryKey(self) -> bool: ...
    @property
    def hasDefault(self) -> bool: ...
    @property
    def Default(self) -> Any:
        """The default as a Python value (a fresh copy when mutable); None for the sentinels."""
    @property
    def declaredDefault(self) -> Any: ...
    @property
    def autoIncrement(self) -> bool: ...
    @property
    def targetType(self) -> Optional[str]:
        """SQL type name, MySQL spelling: INT, BIGINT, DOUBLE, DECIMAL, VARCHAR, LONGTEXT, TINYINT, DATE,
        DATETIME, LONGBLOB."""
    @property
    def typeArgs(self) -> Tuple[int, ...]: ...
    @property
    def owner(self) -> Optional[type]: ...
    @property
    def length(self) -> Optional[int]: ...
    def toObjValue(self, value: Any, /) -> Any:
        """Stored or given value -> the column's Python value (None and the sentinels -> None)."""
    def insertCell(self, value: Any, /) -> Cell:
        """The cell for SqlGenerator.values; TypeError/ValueError naming the column when it cannot be stored."""
    def updateCell(self, value: Any, /) -> Cell:
        """The cell for SqlGenerator.set; same checks as insertCell."""
    def __eq__(self, other: Any) -> "FilterListCell": ...  # type: ignore[override]
    def __ne__(self, other: Any) -> "FilterListCell": ...  # type: ignore[override]
    def __lt__(self, other: Any) -> "FilterListCell": ...
    def __le__(self, other: Any) -> "FilterListCell": ...
    def __gt__(self, other: Any) -> "FilterListCell": ...
    def __ge__(self, other: Any) -> "FilterListCell": ...
    def __hash__(self) -> int: ...
    def in_(self, values: Iterable[Any], /) -> "FilterListCell":
        """column IN (...); an empty iterable matches nothing, None in it matches NULL."""
    def like(self, pattern: str, /) -> "FilterListCell": ...
    def isNull(self) -> "FilterListCell": ...
    def notNull(self) -> "FilterListCell": ...
    def desc(self) -> Tuple["BaseProperty[Any]", str]: ...
    def asc(self) -> Tuple["BaseProperty[Any]", str]: ...

# A column's value type, and Optional of it unless the column is declared with
# nullable=False or primaryKey=True.
class IntProperty(BaseProperty[_V]):
    @overload
    def __init__(self: "IntProperty[int]", *, name: Optional[str] = None, primaryKey: Literal[True], nullable: bool = True, default: _Default = ..., unique: bool = False, index: bool = False) -> None: ...
    @overload
    def __init__(self: "IntProperty[int]", *, name: Optional[str] = None, primaryKey: bool = False, nullable: Literal[False], default: _Default = ..., unique: bool = False, index: bool = False) -> None: ...
    @overload
    def __init__(self: "IntProperty[Optional[int]]", *, name: Optional[str] = None, primaryKey: bool = False, nullable: bool = True, default: _Default = ..., unique: bool = False, index: bool = False) -> None: ...

class BigIntProperty(BaseProperty[_V]):
    @overload
    def __init__(self: "BigIntProperty[int]", *, name: Optional[str] = None, primaryKey: Literal[True], nullable: bool = True, default: _Default = ..., unique: bool = False, index: bool = False) -> None: ...
    @overload
    def __init__(self: "BigIntProperty[int]", *, name: Optional[str] = None, primaryKey: bool = False, nullable: Literal[False], default: _Default = ..., unique: bool = False, index: bool = False) -> None: ...
    @overload
    def __init__(self: "BigIntProperty[Optional[int]]", *, name: Optional[str] = None, primaryKey: bool = False, nullable: bool = True, default: _Default = ..., unique: bool = False, index: bool = False) -> None: ...

class FloatProperty(BaseProperty[_V]):
    @overload
    def __init__(self: "FloatProperty[float]", *, name: Optional[str] = None, primaryKey: Literal[True], nullable: bool = True, default: _Default = ..., unique: bool = False, index: bool = False) -> None: ...
    @overload
    def __init__(self: "FloatProperty[float]", *, name: Optional[str] = None, primaryKey: bool = False, nullable: Literal[False], default: _Default = ..., unique: bool = False, index: bool = False) -> None: ...
    @overload
    def __init__(self: "FloatProperty[Optional[float]]", *, name: Optional[str] = None, primaryKey: bool = False, nullable: bool = True, default: _Default = ..., unique: bool = False, index: bool = False) -> None: ...

class DecimalProperty(BaseProperty[_V]):
    """On SQLite a NUMERIC column up to 15 digits of precision (compared as numbers, read back at the
    declared scale), a TEXT column beyond (every digit kept; compared as text)."""
    @overload
    def __init__(self: "DecimalProperty[decimal.Decimal]", precision: int = 10, scale: int = 2, *, name: Optional[str] = None, primaryKey: Literal[True], nullable: bool = True, default: _Default = ..., unique: bool = False, index: bool = False) -> None: ...
    @overload
    def __init__(self: "DecimalProperty[decimal.Decimal]", precision: int = 10, scale: int = 2, *, name: Optional[str] = None, primaryKey: bool = False, nullable: Literal[False], default: _Default = ..., unique: bool = False, index: bool = False) -> None: ...
    @overload
    def __init__(self: "DecimalProperty[Optional[decimal.Decimal]]", precision: int = 10, scale: int = 2, *, name: Optional[str] = None, primaryKey: bool = False, nullable: bool = True, default: _Default = ..., unique: bool = False, index: bool = False) -> None: ...

class StrProperty(BaseProperty[_V]):
    @overload
    def __init__(self: "StrProperty[str]", length: int = 255, *, name: Optional[str] = None, primaryKey: Literal[True], nullable: bool = True, default: _Default = ..., unique: bool = False, index: bool = False) -> None: ...
    @overload
    def __init__(self: "StrProperty[str]", length: int = 255, *, name: Optional[str] = None, primaryKey: bool = False, nullable: Literal[False], default: _Default = ..., unique: bool = False, index: bool = False) -> None: ...
    @overload
    def __init__(self: "StrProperty[Optional[str]]", length: int = 255, *, name: Optional[str] = None, primaryKey: bool = False, nullable: bool = True, default: _Default = ..., unique: bool = False, index: bool = False) -> None: ...

class TextProperty(BaseProperty[_V]):
    @overload
    def __init__(self: "TextProperty[str]", *, name: Optional[str] = None, primaryKey: Literal[True], nullable: bool = True, default: _Default = ..., unique: bool = False, index: bool = False) -> None: ...
    @overload
    def __init__(self: "TextProperty[str]", *, name: Optional[str] = None, primaryKey: bool = False, nullable: Literal[False], default: _Default = ..., unique: bool = False, index: bool = False) -> None: ...
    @overload
    def __init__(self: "TextProperty[Optional[str]]", *, name: Optional[str] = None, primaryKey: bool = False, nullable: bool = True, default: _Default = ..., unique: bool = False, index: bool = False) -> None: ...

class BoolProperty(BaseProperty[_V]):
    @overload
    def __init__(self: "BoolProperty[bool]", *, name: Optional[str] = None, primaryKey: Literal[True], nullable: bool = True, default: _Default = ..., unique: bool = False, index: bool = False) -> None: ...
    @overload
    def __init__(self: "BoolProperty[bool]", *, name: Optional[str] = None, primaryKey: bool = False, nullable: Literal[False], default: _Default = ..., unique: bool = False, index: bool = False) -> None: ...
    @overload
    def __init__(self: "BoolProperty[Optional[bool]]", *, name: Optional[str] = None, primaryKey: bool = False, nullable: bool = True, default: _Default = ..., unique: bool = False, index: bool = False) -> None: ...

class DateProperty(BaseProperty[_V]):
    @overload
    def __init__(self: "DateProperty[datetime.date]", *, name: Optional[str] = None, primaryKey: Literal[True], nullable: bool = True, default: _Default = ..., unique: bool = False, index: bool = False) -> None: ...
    @overload
    def __init__(self: "DateProperty[datetime.date]", *, name: Optional[str] = None, primaryKey: bool = False, nullable: Literal[False], default: _Default = ..., unique: bool = False, index: bool = False) -> None: ...
    @overload
    def __init__(self: "DateProperty[Optional[datetime.date]]", *, name: Optional[str] = None, primaryKey: bool = False, nullable: bool = True, default: _Default = ..., unique: bool = False, index: bool = False) -> None: ...

class DateTimeProperty(BaseProperty[_V]):
    @overload
    def __init__(self: "DateTimeProperty[datetime.datetime]", *, name: Optional[str] = None, primaryKey: Literal[True], nullable: bool = True, default: _Default = ..., unique: bool = False, index: bool = False) -> None: ...
    @overload
    def __init__(self: "DateTimeProperty[datetime.datetime]", *, name: Optional[str] = None, primaryKey: bool = False, nullable: Literal[False], default: _Default = ..., unique: bool = False, index: bool = False) -> None: ...
    @overload
    def __init__(self: "DateTimeProperty[Optional[datetime.datetime]]", *, name: Optional[str] = None, primaryKey: bool = False, nullable: bool = True, default: _Default = ..., unique: bool = False, index: bool = False) -> None: ...

class JsonProperty(BaseProperty[_V]):
    def __init__(self: "JsonProperty[Any]", *, name: Optional[str] = None, primaryKey: bool = False, nullable: bool = True, default: _Default = ..., unique: bool = False, index: bool = False) -> None: ...

class BytesProperty(BaseProperty[_V]):
    @overload
    def __init__(self: "BytesProperty[bytes]", *, name: Optional[str] = None, primaryKey: Literal[True], nullable: bool = True, default: _Default = ..., unique: bool = False, index: bool = False) -> None: ...
    @overload
    def __init__(self: "BytesProperty[bytes]", *, name: Optional[str] = None, primaryKey: bool = False, nullable: Literal[False], default: _Default = ..., unique: bool = False, index: bool = False) -> None: ...
    @overload
    def __init__(self: "BytesProperty[Optional[bytes]]", *, name: Optional[str] = None, primaryKey: bool = False, nullable: bool = True, default: _Default = ..., unique: bool = False, index: bool = False) -> None: ...

Column = BaseProperty
"""The annotation of a model's column: `name: Column[Optional[str]] = StrProperty(64)`."""

@final
class FilterListCell:
    """FilterListCell("1"): always-true head; FilterListCell(name, col=prop): column cell;
    FilterListCell(value): value cell."""
    def __init__(self, value: Any, *, col: Optional[BaseProperty[Any]] = None) -> None: ...
    def link(self, other: "FilterListCell", code: int) -> "FilterListCell":
        """Appends in place and returns self: 0 AND column/condition, 1 OR column/condition,
        2 last column = value, 3 last column != value."""
    def render(self) -> Tuple[str, List[Any]]:
        """(SQL text with %s placeholders, bound values)."""
    def __and__(self, other: "FilterListCell") -> "FilterListCell": ...
    def __or__(self, other: "FilterListCell") -> "FilterListCell": ...
    def __invert__(self) -> "FilterListCell": ...

class ForeignType(enum.IntEnum):
    ONE_TO_ONE = 1
    ONE_TO_MANY = 2
    MANY_TO_MANY = 3

_ModelRef = Union[type, str]
_ColRef = Union[BaseProperty[Any], str, None]
"""A column property, or by string (resolved when first needed): its attribute, its column name,
or "Model.attribute"."""

class ForeignKey(Generic[_V]):
    """A relation.  Read on the model class it is the descriptor; read on a row it is the related
    row (one-to-one, Optional) or the list of related rows: declare it as
    `profile: ForeignKey[Optional[Profile]] = ForeignKey.oneToOne(Profile, ...)` or
    `posts: ForeignKey[List[Post]] = ForeignKey.oneToMany(Post, ...)`."""
    Type: ForeignType
    name: Optional[str]
    owner: Optional[type]
    def __init__(self: "ForeignKey[Any]", Type: Union[ForeignType, int], target: _ModelRef, bindCol: _ColRef = None,
                 targetBindCol: _ColRef = None, middleModel: Optional[_ModelRef] = None,
                 name: Optional[str] = None) -> None: ...
    @overload
    def __get__(self, instance: None, owner: Any) -> Self: ...
    @overload
    def __get__(self, instance: object, owner: Any) -> _V: ...
    def __set__(self, instance: object, value: _V) -> None: ...
    def __set_name__(self, owner: type, name: str) -> None: ...
    @overload
    @classmethod
    def oneToOne(cls, target: _TypeOf[_K], bindCol: _ColRef = None, targetBindCol: _ColRef = None,
                 name: Optional[str] = None) -> "ForeignKey[Optional[_K]]": ...
    @overload
    @classmethod
    def oneToOne(cls, target: str, bindCol: _ColRef = None, targetBindCol: _ColRef = None,
                 name: Optional[str] = None) -> "ForeignKey[Any]": ...
    @overload
    @classmethod
    def oneToMany(cls, target: _TypeOf[_K], targetBindCol: _ColRef = None, bindCol: _ColRef = None,
                  name: Optional[str] = None) -> "ForeignKey[List[_K]]": ...
    @overload
    @classmethod
    def oneToMany(cls, target: str, targetBindCol: _ColRef = None, bindCol: _ColRef = None,
                  name: Optional[str] = None) -> "ForeignKey[Any]": ...
    @overload
    @classmethod
    def manyToMany(cls, target: _TypeOf[_K], middleModel: Optional[_ModelRef] = None, bindCol: _ColRef = None,
                   targetBindCol: _ColRef = None, name: Optional[str] = None) -> "ForeignKey[List[_K]]": ...
    @overload
    @classmethod
    def manyToMany(cls, target: str, middleModel: Optional[_ModelRef] = None, bindCol: _ColRef = None,
                   targetBindCol: _ColRef = None, name: Optional[str] = None) -> "ForeignKey[Any]": ...
    @property
    def target(self) -> type:
        """The related model; for many-to-many the junction model."""
    @property
    def directTarget(self) -> type:
        """The model at the far end (the related model beyond the junction for many-to-many)."""
    @property
    def middleModel(self) -> Optional[type]: ...
    @property
    def bindCol(self) -> Optional[BaseProperty[Any]]: ...
    @property
    def targetBindCol(self) -> Optional[BaseProperty[Any]]: ...
    def __getitem__(self, key: str) -> Any: ...
