from typing import Any, Awaitable, List, Optional, Sequence, Tuple, Union, overload

from Tavrik.DB.Connector import AioMysqlConnector, AioSqliteConnector, Sqlite3Connector

__all__ = ["SchemaWarning", "generate_table"]

class SchemaWarning(UserWarning):
    """A declared index or unique constraint that an existing table lacks."""

    def __init__(self, message: str) -> None: ...

@overload
def generate_table(connector: Sqlite3Connector) -> None: ...
@overload
def generate_table(connector: Union[AioSqliteConnector, AioMysqlConnector]) -> Awaitable[None]: ...
@overload
def generate_table(connector: Optional[Any] = None) -> Optional[Awaitable[None]]:
    """
        为每个已声明且有列的模型创建尚不存在的表 (同一表名以最后的声明为准, 不含 Korvid 与 MiddleKorvid)。
        connector 默认为 DB.getInstance().connector。
        同步连接器: 在 getCon() 的链接上执行并提交, 返回 None。
        异步连接器: 返回协程, 它在当前任务的链接上执行并提交; 完成时表已提交。
    """

# Read by Tavrik.migrate: the models generate_table() would make tables of,
# and the columns their relations look rows up by (not API).
def _declared_models() -> List[Any]: ...
def _relation_columns(models: Sequence[Any]) -> List[Tuple[Any, Any]]: ...
