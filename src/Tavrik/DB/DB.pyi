"""进程唯一的数据库句柄。"""
from typing import Any, Callable, Optional, Tuple, TypeVar

from Tavrik.DB._observe import StatementEvent

from typing_extensions import final

_Hook = TypeVar("_Hook", bound=Callable[[StatementEvent], Any])

@final
class DB:
    """进程唯一的数据库句柄, 持有一个连接器; 用 DB.create(connector) 创建, DB() 直接调用抛出 DBInstanceCreateError。"""
    @property
    def connector(self) -> Any: ...
    @classmethod
    def create(cls, connector: Any) -> "DB":
        """创建唯一的句柄; 已存在时抛出 DBInstanceError。"""
    @classmethod
    def getInstance(cls) -> "DB":
        """唯一的句柄; 尚未创建时抛出 DBInstanceCreateError。"""
    @classmethod
    def drop(cls) -> Any:
        """忘掉句柄并返回它的连接器 (没有句柄时为 None); 关闭连接器由调用者负责 (异步连接器要 await close())。"""
    def execute(self, *, executor: Any, con: Any = ...) -> Any:
        """连接器的 process (同步) 或 asyncProcess (异步, 返回可等待对象); 只在给出 con 时传递 con。"""
    def executeSql(self, sql: str, args: Optional[Tuple[Any, ...]] = ()) -> Any:
        """connector.execute(sql, args=args)。"""
    def onStatement(self, callback: Optional[_Hook], /) -> Optional[_Hook]:
        """每条语句执行完之后调用 callback(event) (StatementEvent); 可以注册多个, 返回 callback;
        None 去掉全部回调。回调抛出的 Exception 记录在 "Tavrik.DB" 记录器上, 不影响语句。"""
    def offStatement(self, callback: Callable[[StatementEvent], Any], /) -> None:
        """去掉 onStatement 注册的一个回调。"""
    def slowStatements(self, seconds: Optional[float], /) -> None:
        """执行时间达到 seconds 秒的语句在 "Tavrik.DB" 记录器上记录 WARNING (文本与耗时, 不含参数值); None 关闭。"""
