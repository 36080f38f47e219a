"""进程唯一的数据库句柄。"""
from typing import Any, Optional, Tuple

from typing_extensions import final

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
