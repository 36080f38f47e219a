from dataclasses import InitVar
from typing import Any, ClassVar, Dict, List, Optional, Tuple, Type, TypeVar, Union

from pydantic import BaseModel, create_model as create_model
from typing_extensions import dataclass_transform, disjoint_base

from Tavrik.DB.DB import DB
from Tavrik.Ext.Decorators import pydantic_support as pydantic_support
from Tavrik.Model.ModelProperty import BaseProperty, ForeignKey as ForeignKey, ForeignType as ForeignType
from Tavrik.Model.Vantrel import AsyncModelExecutor, ModelExecutor as ModelExecutor

_M = TypeVar("_M", bound="Korvid")
_Col = BaseProperty[Any]
_Fk = ForeignKey[Any]

# A model's annotated columns and relations become the keyword-only parameters
# of calling the model class, each optional (a missing column gets its default).
@dataclass_transform(kw_only_default=True)
class _KorvidMeta(type):
    ModelList: ClassVar[List[type]]
    def __new__(cls, name: str, bases: Tuple[type, ...], attrs: Dict[str, Any], **kwargs: Any) -> Any: ...
    @staticmethod
    def buildModelInstance(cls: type, cols: List[_Col], name: str) -> Type[ModelInstance]: ...
    @staticmethod
    def buildPydanticModel(cls: type, cols: List[_Col], name: str, fk: List[_Fk]) -> Type[BaseModel]: ...
    @staticmethod
    def getPropertyObj(cls: Any, attrs: Dict[str, Any]) -> Tuple[List[_Col], Dict[str, Union[_Col, _Fk]], List[_Fk]]: ...

class _Korvid:
    tableName: Optional[str]
    @classmethod
    def instanceBuilder(cls, *args: Any, **kwargs: Any) -> Optional[ModelInstance]: ...

@disjoint_base
class ModelInstance(Dict[str, Any]):
    object: ClassVar[Type[Korvid]]
    _temp: ClassVar[Dict[str, Any]]
    def __init__(self, *args: Any, check: bool = ..., **kwargs: Any) -> None: ...
    def __getattribute__(self, name: str) -> Any: ...
    def __setattr__(self, key: str, value: Any) -> None: ...
    def json(self) -> bytes:
        """The row as JSON text, UTF-8 bytes (keys: attribute names)."""

class InstanceList(List[_M]):
    """The rows a query returns."""

    def json(self) -> bytes:
        """The rows as a JSON array, UTF-8 bytes (each row as ModelInstance.json() writes it)."""

class Korvid(_Korvid, Dict[str, Any], metaclass=_KorvidMeta):
    """Calling a model class builds a row of it: at run time a dict (an instance of the model's
    instance class, not of the model class) whose items are also attributes; to the type checker
    an instance of the model, whose declared columns and relations are typed attributes.  A
    keyword that names no column or relation raises TypeError."""

    check: InitVar[bool] = True
    col: ClassVar[List[_Col]]
    mapping: ClassVar[Dict[str, Union[_Col, _Fk]]]
    fk: ClassVar[List[_Fk]]
    tableName: ClassVar[str]  # type: ignore[misc]
    modelInstance: ClassVar[Type[ModelInstance]]
    MODEL: ClassVar[Type[BaseModel]]
    pkName: ClassVar[Optional[str]]
    pkCol: ClassVar[Optional[_Col]]
    _db: ClassVar[Type[DB]]
    def json(self) -> bytes:
        """The row as JSON text, UTF-8 bytes (a row is a ModelInstance at run time)."""
    @classmethod
    def getExecutor(cls: Type[_M], work: Any = None) -> Union[ModelExecutor[_M], AsyncModelExecutor[_M]]:
        """The executor of the connector's road; getSyncExecutor/getAsyncExecutor name the road."""
    @classmethod
    def getSyncExecutor(cls: Type[_M], work: Any = None) -> ModelExecutor[_M]:
        """A ModelExecutor; TypeError when the database's connector is asynchronous."""
    @classmethod
    def getAsyncExecutor(cls: Type[_M], work: Any = None) -> AsyncModelExecutor[_M]: ...
    @classmethod
    def createSchema(cls) -> Type[BaseModel]:
        """The body that creates a row: no auto-increment key, optional what has a default or may be NULL,
        max_length/max_digits/decimal_places from the columns, unknown fields refused."""
    @classmethod
    def updateSchema(cls) -> Type[BaseModel]:
        """The body that changes a row in part: every column but the key optional (model_dump(exclude_unset=True)
        tells left out from None; None only where the column may be NULL), the same limits."""
    @classmethod
    def readSchema(cls, depth: int = 1) -> Type[BaseModel]:
        """A row as answered: its columns and its relations to `depth` as nested read schemas (from_attributes)."""

# Calling a junction class gives None: pyright reads it from here, mypy does
# not read a metaclass's __call__ and still sees a row.  Rows: buildRow.
@dataclass_transform(kw_only_default=True)
class _JunctionMeta(_KorvidMeta):
    def __call__(cls, *args: Any, **kwargs: Any) -> None: ...

class MiddleKorvid(Korvid, metaclass=_JunctionMeta):
    """A junction model: calling its class gives None; buildRow builds its row."""

    @classmethod
    def buildRow(cls: Type[_M], *args: Any, check: bool = ..., **kwargs: Any) -> _M:
        """The junction's row, built as calling another model class builds its row."""
    @classmethod
    def instanceBuilder(cls, *args: Any, **kwargs: Any) -> None: ...
    @classmethod
    def getOtherFkBy(cls, model: type) -> _Fk: ...
    @classmethod
    def getOtherModelBy(cls, model: type) -> Type[Korvid]: ...
