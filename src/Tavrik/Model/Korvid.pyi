from typing import Any, ClassVar, Dict, List, Optional, Tuple, Type, TypeVar, Union

from pydantic import BaseModel, create_model as create_model

from Tavrik.DB.DB import DB
from Tavrik.Ext.Decorators import pydantic_support as pydantic_support
from Tavrik.Model.ModelProperty import BaseProperty, ForeignKey as ForeignKey, ForeignType as ForeignType
from Tavrik.Model.Vantrel import AsyncModelExecutor, ModelExecutor as ModelExecutor

_T = TypeVar("_T")

class _KorvidMeta(type):
    ModelList: ClassVar[List[type]]
    def __new__(cls, name: str, bases: Tuple[type, ...], attrs: Dict[str, Any], **kwargs: Any) -> Any: ...
    @staticmethod
    def buildModelInstance(cls: type, cols: List[BaseProperty], name: str) -> Type[ModelInstance]: ...
    @staticmethod
    def buildPydanticModel(cls: type, cols: List[BaseProperty], name: str, fk: List[ForeignKey]) -> Type[BaseModel]: ...
    @staticmethod
    def getPropertyObj(
        cls: Any, attrs: Dict[str, Any]
    ) -> Tuple[List[BaseProperty], Dict[str, Union[BaseProperty, ForeignKey]], List[ForeignKey]]: ...

class _Korvid:
    tableName: Optional[str]
    @classmethod
    def instanceBuilder(cls, *args: Any, **kwargs: Any) -> Optional[ModelInstance]: ...

class ModelInstance(dict):
    object: ClassVar[Type[Korvid]]
    _temp: ClassVar[dict]
    def __init__(self, *args: Any, check: bool = ..., **kwargs: Any) -> None: ...
    def __getattribute__(self, name: str) -> Any: ...
    def __setattr__(self, key: str, value: Any) -> None: ...

class InstanceList(list): ...

class Korvid(_Korvid, metaclass=_KorvidMeta):
    col: ClassVar[List[BaseProperty]]
    mapping: ClassVar[Dict[str, Union[BaseProperty, ForeignKey]]]
    fk: ClassVar[List[ForeignKey]]
    tableName: ClassVar[str]  # type: ignore[misc]
    modelInstance: ClassVar[Type[ModelInstance]]
    MODEL: ClassVar[Type[BaseModel]]
    pkName: ClassVar[Optional[str]]
    pkCol: ClassVar[Optional[BaseProperty]]
    _db: ClassVar[Type[DB]]
    def __new__(cls, *args: Any, **kwargs: Any) -> Any: ...
    @classmethod
    def getExecutor(cls, work: Any = None) -> Union[ModelExecutor, AsyncModelExecutor]: ...
    @classmethod
    def getAsyncExecutor(cls, work: Any = None) -> AsyncModelExecutor: ...

class MiddleKorvid(Korvid):
    @classmethod
    def instanceBuilder(cls, *args: Any, **kwargs: Any) -> None: ...
    @classmethod
    def getOtherFkBy(cls, model: type) -> ForeignKey: ...
    @classmethod
    def getOtherModelBy(cls, model: type) -> Type[Korvid]: ...
