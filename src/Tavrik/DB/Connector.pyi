"""数据库连接器: SQLite (同步 sqlite3 / 异步 aiosqlite) 与 MySQL (同步 pymysql / 异步 aiomysql 连接池)。"""
import asyncio
import logging
import multiprocessing
import sqlite3
from asyncio import AbstractEventLoop as AbstractEventLoop, Task as Task
from typing import Any, Awaitable, Callable, ContextManager, Dict, Iterator, List, Optional, Tuple, TypeVar, Union

from typing_extensions import disjoint_base

from Tavrik.DB.DB import DB as DB
from Tavrik.DB.Generator import (
    BaseSqlGenerator as BaseSqlGenerator,
    CustomColAnnounce as CustomColAnnounce,
    CustomSqlGenerator as CustomSqlGenerator,
    InOperatorGenerator as InOperatorGenerator,
    JoinCell as JoinCell,
    SqlGenerator as SqlGenerator,
    TableGenerator as TableGenerator,
)
from Tavrik.DB.utils import SqliteContextManager as SqliteContextManager
from Tavrik.Error.Strovy import WriteOperateNotInAffairs as WriteOperateNotInAffairs
from Tavrik.Ext import generate_table as generate_table
from Tavrik.Model.Korvid import InstanceList as InstanceList, ModelInstance as ModelInstance, _Korvid as _Korvid
from Tavrik.Model.ModelProperty import (
    AutoIncrement as AutoIncrement,
    BaseProperty as BaseProperty,
    FilterListCell as FilterListCell,
    NullDefault as NullDefault,
)
from Tavrik.Model.Vantrel import (
    AsyncModelExecutor as AsyncModelExecutor,
    BaseModelExecutor as BaseModelExecutor,
    ModelExecutor as ModelExecutor,
)

# aiomysql's cursor classes, re-exported (aiomysql ships no type information).
Cursor: Any
DictCursor: Any

_logger: logging.Logger
#: 进程唯一的锁: Sqlite3Connector.process 从执行语句到提交一直持有它。
lock: multiprocessing.synchronize.Lock

def dict_factory(cursor: Any, row: Optional[Tuple[Any, ...]]) -> Dict[str, Any]:
    """把一行转换为以列名为键的字典 (列名重复时保留后一列的值)。"""

_R = TypeVar("_R")

@disjoint_base
class BaseConnector:
    """连接器基类: 所有连接器共有的字段与空操作。"""
    _pool: Any
    isAsync: bool
    _config: Optional[Dict[str, Any]]
    isReady: bool
    @property
    def paramsHolder(self) -> str: ...
    @property
    def dialect(self) -> str:
        """The SQL dialect the connector speaks: 'sqlite' or 'mysql'."""
    def process(self, *args: Any, **kwargs: Any) -> Any: ...
    def asyncProcess(self, *args: Any, **kwargs: Any) -> Awaitable[Any]: ...
    def GenerateTable(self) -> None: ...
    def close(self) -> Any:
        """关闭连接器持有的连接。同步连接器直接关闭; 异步连接器返回需要 await 的协程。"""

@disjoint_base
class Sqlite3Connector(BaseConnector):
    """
        SQLite同步连接器: 一个主链接 (busy timeout 99999 秒, 可在任何线程使用)。
        process 在模块锁 lock 下执行执行器的语句, 读取全部结果行并提交; 语句 (或批量中的任何一行) 失败时,
        在抛出错误之前回滚主链接, 所以失败的批量不留下任何行。execute 与 getTableNameList 也在锁下读取结果行。
        模块锁对持有它的线程可重入; fork 出的子进程得到新的锁, 并在首次使用时打开自己的链接。
        新行的 id 原样作为 Python int 传递 (64 位)。批量插入的结果 id 为最后一行的 id。
    """
    def __init__(self, path: Optional[str], showLog: Any = True) -> None: ...
    def getCon(self) -> sqlite3.Connection:
        """主线程得到主链接; 其他线程得到该线程自己的链接 (每个线程一个, 在该线程中复用,
        线程结束后在下一次打开时关闭, close() 关闭全部)。"""
    def releaseCon(self, con: sqlite3.Connection, /) -> None:
        """提交给定链接 (不关闭)。"""
    def execute(
        self, sql: Optional[str], con: Any = None, dictCur: Any = False, args: Optional[Tuple[Any, ...]] = ()
    ) -> Union[Tuple[Tuple[Any, ...], ...], Iterator[Dict[str, Any]]]:
        """在主链接上执行 (模块锁下读取全部行), 不提交。dictCur 为真时返回首次迭代才转换的字典行 (只能迭代一次)。
        只替换引号 (名称, 字符串) 与注释之外的 %s。"""
    def process(self, executor: Optional[ModelExecutor[Any]], con: Any = None) -> Any: ...
    def getTableNameList(self) -> List[str]: ...
    def GenerateTable(self) -> None:
        """generate_table(self): 创建所有已声明模型的表并提交。"""
    def autoFiledAnnounce(self, prop: Any, /) -> str: ...
    def transaction(self) -> ContextManager[sqlite3.Connection]:
        """事务块: 本线程持有模块锁直到块结束, 块内本线程的所有语句在主链接的同一事务中;
        正常结束时提交, 异常时回滚; 可以嵌套 (内层块为保存点)。"""
    def commit(self) -> None:
        """提交主链接。"""
    def rollback(self) -> None:
        """回滚主链接。"""
    def close(self) -> None:
        """关闭主链接与 getCon() 在其他线程交出的链接。"""

class _ConRequest:
    """getCon() 的结果: await 得到当前任务的链接; async with 进入时得到同一个链接,
    退出时不提交也不回滚 (事务属于任务; use_database 自己提交或回滚)。"""
    def __init__(self, connector: BaseConnector) -> None: ...
    def __await__(self) -> Any: ...
    async def __aenter__(self) -> Any: ...
    async def __aexit__(self, exc_type: Any, exc: Any, tb: Any) -> None: ...

class _Transaction:
    """transaction() 的结果 (Tavrik.DB._async_tx.Transaction)。"""
    async def __aenter__(self) -> Any: ...
    async def __aexit__(self, *exc: Any) -> None:
        """Commits or rolls back; never swallows the block's exception."""

@disjoint_base
class AioSqliteConnector(BaseConnector):
    """
        SQLite异步连接器 (aiosqlite)。每个 asyncio 任务一个链接, 一个任务就是一个事务:
        任务正常结束时提交, 抛出异常或被取消时回滚; 然后关闭链接并从 conMap 删除 (删除总会发生)。
        最多同时打开 20 个任务链接 (打开之前先占位, 严格成立); 其余任务等待空位。
        任务链接以自动提交模式打开, busy timeout 30 秒; 只读过的任务不持有锁: 第一次写入
        (或 forUpdate=True 的查询) 之前执行 BEGIN IMMEDIATE, 从那时起持有写锁直到提交或回滚。
        本连接器的任务按到达顺序等待写锁; 超时的错误说明写锁由哪个任务 (或另一个链接) 持有。
        持有写锁的任务不要等待另一个要写入的任务。
        释放时提交/回滚失败会在 "Tavrik.DB" 记录器上以 ERROR 记录 (包括最后的语句), 并照常由 asyncio 报告。
    """
    @property
    def boundConnections(self) -> int:
        """持有链接且尚未释放 (提交或回滚并关闭) 的任务数。"""
    def __init__(self, loop: Any, **kwargs: Any) -> None: ...
    def init_sqlite(self, path: Optional[str], showLog: Any = True) -> None: ...
    def getCon(self) -> _ConRequest: ...
    async def _taskCon(self) -> Any: ...
    def releaseCon(self, task: "asyncio.Task[Any]", /) -> None: ...
    def execute(
        self, sql: Optional[str], con: Any = None, dictCur: Any = False, args: Optional[Tuple[Any, ...]] = ()
    ) -> Awaitable[Union[Tuple[Tuple[Any, ...], ...], List[Dict[str, Any]]]]: ...
    def asyncProcess(self, *args: Any, executor: AsyncModelExecutor[Any] = ..., con: Any = ...) -> Awaitable[Any]: ...
    async def getTableNameList(self) -> List[str]: ...
    def GenerateTable(self) -> None: ...
    def autoFiledAnnounce(self, prop: Any, /) -> str: ...
    def transaction(self) -> "_Transaction":
        """async with connector.transaction() as con: 在当前任务的链接上运行, 结束时提交
        (提交失败在此抛出), 异常或取消时回滚; 嵌套的代码块是保存点; 代码块结束之后 con 不能再执行语句。"""
    async def runTransaction(self, fn: Callable[..., Awaitable[_R]], /, *args: Any, retries: int = 3, **kwargs: Any) -> _R:
        """在 transaction() 中执行 await fn(con, *args, **kwargs) 并返回其结果; 事务冲突或提交之前节点失联时
        重新执行, 最多再执行 retries 次。"""
    async def close(self, timeout: float = 10.0) -> None:
        """先提交调用者任务的事务, 等待其他任务的事务随任务结束 (最多 timeout 秒), 回滚剩余的,
        关闭所有链接并停止工作线程; 之后的语句抛出 RuntimeError; 再次调用无害。"""

@disjoint_base
class AioMysqlConnector(BaseConnector):
    """
        MySQL异步连接器 (aiomysql 连接池)。每个 asyncio 任务一个池链接, 一个任务就是一个事务:
        正常结束时提交, 抛出异常或被取消时回滚, 然后还给连接池并从 conMap 删除。
        连接池尚未建好时语句等待它; 建池失败时语句抛出 RuntimeError。
        参数为元组的语句执行一次, 为元组列表时用 executemany 批量执行, 为 None 时不带参数执行一次。
    """
    def __init__(
        self,
        loop: Any,
        *args: Any,
        hosts: Union[str, List[Union[str, Tuple[str, int]]]] = ...,
        spread: bool = False,
        causalReads: Union[bool, int] = False,
        checkInterval: float = 0.5,
        failoverTimeout: float = 10.0,
        **kwargs: Any,
    ) -> None:
        """hosts 给出集群的多个节点 (此时不能再给 host/port); 其余关键字参数为 aiomysql.create_pool 的参数。"""
    async def _init_mysql(self, *args: Any, **kwargs: Any) -> None: ...
    def getCon(self) -> _ConRequest: ...
    async def _taskCon(self) -> Any: ...
    async def getSelectCon(self) -> Any: ...
    def _releaseCon(self, task: "asyncio.Task[Any]", /) -> None: ...
    def releaseCon(self, con: Any, /) -> Any: ...
    def execute(
        self, sql: Optional[str], con: Any = None, dictCur: Any = False, args: Optional[Tuple[Any, ...]] = ()
    ) -> Awaitable[Any]: ...
    def asyncProcess(self, *args: Any, executor: AsyncModelExecutor[Any] = ..., con: Any = ...) -> Awaitable[Any]: ...
    async def getTableNameList(self) -> List[str]:
        """information_schema 中 _config["db"] 的表名 (模式名作为参数绑定)。"""
    def GenerateTable(self) -> None: ...
    def autoFiledAnnounce(self, prop: BaseProperty[Any], /) -> str: ...
    @property
    def config(self) -> Optional[Dict[str, Any]]: ...
    @property
    def boundConnections(self) -> int:
        """持有链接且尚未释放 (提交或回滚并还给连接池) 的任务数。"""
    def transaction(self) -> "_Transaction":
        """async with connector.transaction() as con: 同 AioSqliteConnector.transaction; 事务冲突抛出
        Tavrik.Error.ClusterError.TransactionConflict, 节点失联抛出 NodeLost。"""
    async def runTransaction(self, fn: Callable[..., Awaitable[_R]], /, *args: Any, retries: int = 3, **kwargs: Any) -> _R:
        """在 transaction() 中执行 await fn(con, *args, **kwargs) 并返回其结果; 事务冲突或提交之前节点失联时
        重新执行, 最多再执行 retries 次。"""
    async def close(self, timeout: float = 10.0) -> None:
        """先提交调用者任务的事务, 等待其他任务的事务随任务结束 (最多 timeout 秒), 回滚并归还剩余的链接,
        关闭连接池; 之后的语句抛出 RuntimeError; 再次调用无害。"""

class MysqlConnector(BaseConnector):
    """
        MySQL同步连接器 (pymysql 连接池, 可在线程之间共享)。
        connectOptions: pymysql.connect 的参数 (host, port, user, password, db/database, charset, ...),
        以及连接池的参数 minsize=1 (构造时打开), maxsize=10, pool_recycle=-1, showLog=False。
        块外每条语句从池中取一个链接, 执行, 读取全部行, 提交并归还; 事务块内本线程的语句都在块的链接上。
        fork 出的子进程打开自己的链接, 从不使用或关闭父进程的链接。config 不含密码。
        hosts 给出集群的多个节点 (此时不能再给 host/port): 链接打开在已同步且就绪的节点上, 其余节点在
        failoverTimeout 秒内依次尝试; causalReads 同 AioMysqlConnector。
    """
    def __init__(self, **connectOptions: Any) -> None: ...
    @property
    def config(self) -> Optional[Dict[str, Any]]: ...
    def getCon(self) -> Any:
        """事务块内得到块的链接; 否则从连接池取出一个链接 (用完交给 releaseCon)。"""
    def releaseCon(self, con: Any, /) -> None:
        """提交 getCon() 给出的链接并还给连接池 (事务块的链接由块提交)。"""
    def execute(
        self, sql: Optional[str], con: Any = None, dictCur: Any = False, args: Optional[Tuple[Any, ...]] = ()
    ) -> Union[Tuple[Tuple[Any, ...], ...], List[Dict[str, Any]]]:
        """执行并读取全部行: 在给定的 con 上 (不提交), 在本线程的事务块中, 或在一个池链接上并提交。
        文本交给驱动 (args 不为 None 时驱动用 % 格式化, 与 AioMysqlConnector.execute 相同)。"""
    def process(self, executor: Optional[ModelExecutor[Any]], con: Any = None) -> Any: ...
    def getTableNameList(self) -> List[str]: ...
    def GenerateTable(self) -> None: ...
    def autoFiledAnnounce(self, prop: BaseProperty[Any], /) -> str: ...
    def transaction(self) -> ContextManager[Any]:
        """事务块: 本线程持有一个池链接直到块结束; 正常结束时提交 (提交失败在此抛出), 异常时回滚;
        可以嵌套 (内层块为保存点)。事务冲突抛出 Tavrik.Error.ClusterError.TransactionConflict,
        链接失联抛出 NodeLost。"""
    def runTransaction(self, fn: Callable[..., _R], /, *args: Any, retries: int = 3, **kwargs: Any) -> _R:
        """在 transaction() 中执行 fn(con, *args, **kwargs) 并返回其结果; 事务冲突 (死锁, 串行化失败,
        集群认证失败) 或提交前链接失联时在新的事务中重新执行, 最多再执行 retries 次; 已在事务块中时只执行一次。"""
    def commit(self) -> None:
        """块外每条语句已提交: 什么也不做; 事务块内抛出 RuntimeError。"""
    def rollback(self) -> None:
        """块外每条语句已提交: 什么也不做; 事务块内抛出 RuntimeError。"""
    def close(self) -> None:
        """关闭空闲链接 (使用中的链接在归还时关闭); 之后的语句抛出 RuntimeError。"""

class PsycopgConnector(BaseConnector):
    """
        PostgreSQL同步连接器 (psycopg 3 连接池, 可在线程之间共享; pip install tavrik[postgresql])。
        conninfo: psycopg 的连接串; options: psycopg.connect 的参数 (host, port, user, password,
        dbname/database, prepare_threshold, ...), 以及连接池的参数 minsize=1 (构造时打开), maxsize=10,
        pool_recycle=-1, showLog=False。事务池之后请给出 prepare_threshold=None。
        块外每条语句从池中取一个链接, 执行, 读取全部行, 提交并归还; 事务块内本线程的语句都在块的链接上。
        fork 出的子进程打开自己的链接, 从不使用或关闭父进程的链接。config 不含密码。
    """
    def __init__(self, conninfo: Optional[str] = None, **options: Any) -> None: ...
    @property
    def config(self) -> Optional[Dict[str, Any]]: ...
    def getCon(self) -> Any:
        """事务块内得到块的链接; 否则从连接池取出一个链接 (用完交给 releaseCon)。"""
    def releaseCon(self, con: Any, /) -> None:
        """提交 getCon() 给出的链接并还给连接池 (事务块的链接由块提交)。"""
    def execute(
        self, sql: Optional[str], con: Any = None, dictCur: Any = False, args: Optional[Tuple[Any, ...]] = ()
    ) -> Union[Tuple[Tuple[Any, ...], ...], List[Dict[str, Any]]]:
        """执行并读取全部行: 在给定的 con 上 (不提交), 在本线程的事务块中, 或在一个池链接上并提交。
        占位符写作 %s, 与执行器的语句一样为驱动改写。"""
    def process(self, executor: Optional[ModelExecutor[Any]], con: Any = None) -> Any: ...
    def getTableNameList(self) -> List[str]: ...
    def GenerateTable(self) -> None: ...
    def autoFiledAnnounce(self, prop: BaseProperty[Any], /) -> str: ...
    def transaction(self) -> ContextManager[Any]:
        """事务块: 本线程持有一个池链接直到块结束; 正常结束时提交 (提交失败在此抛出), 异常时回滚;
        可以嵌套 (内层块为保存点)。块内一条语句失败 (调用者捕获了它) 只撤销这条语句, 块照常可用。"""
    def runTransaction(self, fn: Callable[..., _R], /, *args: Any, retries: int = 3, **kwargs: Any) -> _R:
        """在 transaction() 中执行 fn(con, *args, **kwargs) 并返回其结果; 事务冲突 (死锁, 串行化失败,
        集群认证失败) 或提交前链接失联时在新的事务中重新执行, 最多再执行 retries 次; 已在事务块中时只执行一次。"""
    def commit(self) -> None:
        """块外每条语句已提交: 什么也不做; 事务块内抛出 RuntimeError。"""
    def rollback(self) -> None:
        """块外每条语句已提交: 什么也不做; 事务块内抛出 RuntimeError。"""
    def close(self) -> None:
        """关闭空闲链接 (使用中的链接在归还时关闭); 之后的语句抛出 RuntimeError。"""

@disjoint_base
class AsyncpgConnector(BaseConnector):
    """
        PostgreSQL异步连接器 (asyncpg 连接池; pip install tavrik[postgresql])。每个 asyncio 任务一个池链接,
        一个任务就是一个事务: 正常结束时提交, 抛出异常或被取消时回滚, 然后还给连接池。
        事务中一条语句失败 (调用者捕获了它) 只撤销这条语句, 事务照常可用。
    """
    def __init__(self, loop: Any, dsn: Optional[str] = None, **poolOptions: Any) -> None:
        """poolOptions 为 asyncpg.create_pool 的参数 (host, port, user, password, database, min_size, max_size,
        statement_cache_size, init, ...)。"""
    def getCon(self) -> _ConRequest: ...
    async def _taskCon(self) -> Any: ...
    def _releaseCon(self, task: "asyncio.Task[Any]", /) -> None: ...
    def execute(
        self, sql: Optional[str], con: Any = None, dictCur: Any = False, args: Optional[Tuple[Any, ...]] = ()
    ) -> Awaitable[Any]: ...
    def asyncProcess(self, *args: Any, executor: AsyncModelExecutor[Any] = ..., con: Any = ...) -> Awaitable[Any]: ...
    async def getTableNameList(self) -> List[str]:
        """当前模式 (current_schema()) 的表名。"""
    def GenerateTable(self) -> None: ...
    def autoFiledAnnounce(self, prop: BaseProperty[Any], /) -> str: ...
    @property
    def config(self) -> Optional[Dict[str, Any]]: ...
    @property
    def boundConnections(self) -> int:
        """持有链接且尚未释放 (提交或回滚并还给连接池) 的任务数。"""
    def transaction(self) -> "_Transaction":
        """async with connector.transaction() as con: 同 AioSqliteConnector.transaction; 事务冲突 (40001, 40P01)
        抛出 Tavrik.Error.ClusterError.TransactionConflict。"""
    async def runTransaction(self, fn: Callable[..., Awaitable[_R]], /, *args: Any, retries: int = 3, **kwargs: Any) -> _R:
        """在 transaction() 中执行 await fn(con, *args, **kwargs) 并返回其结果; 事务冲突时重新执行,
        最多再执行 retries 次。"""
    async def close(self, timeout: float = 10.0) -> None:
        """先提交调用者任务的事务, 等待其他任务的事务随任务结束 (最多 timeout 秒), 回滚并归还剩余的链接,
        关闭连接池; 之后的语句抛出 RuntimeError; 再次调用无害。"""

class PyMysqlConnector(BaseConnector):
    def __init__(self) -> None: ...

# The helpers the package's own coroutines (Tavrik.DB._aio_connectors,
# _async_tx, _cluster) call on an asynchronous connector: not API.
# Connections, cursors and rows are the drivers' (untyped).
def _c_path(self: AioSqliteConnector, /) -> Optional[str]: ...
# A Tavrik.DB._async_tx.Life, typed so where it is used: importing that module
# here would lead the checkers of every user of these stubs to the drivers.
def _c_life(self: Union[AioSqliteConnector, AioMysqlConnector, AsyncpgConnector], /) -> Any: ...
def _c_statement(
    self: Union[AioSqliteConnector, AioMysqlConnector, AsyncpgConnector], executor: AsyncModelExecutor[Any], /
) -> Tuple[str, Any, int, bool, bool]: ...
def _c_driver(self: Union[AioSqliteConnector, AioMysqlConnector, AsyncpgConnector], sql: str, params: Any, /) -> Tuple[str, Any]: ...
def _c_sq_text(self: AioSqliteConnector, sql: str, args: Tuple[Any, ...], /) -> Tuple[str, bool]: ...
def _c_dict_rows(cursor: Any, rows: Any, /) -> List[Dict[str, Any]]: ...
def _c_rows(cursor: Any, rows: Any, /) -> Tuple[Tuple[str, ...], List[Any], None, None]: ...
def _c_error_kind(dialect: Union[str, BaseConnector], exc: BaseException, /) -> int: ...
def _c_take(executor: AsyncModelExecutor[Any], raw: Tuple[Any, Any, Any, Any], /) -> Any: ...
def _c_run(
    self: Union[AioSqliteConnector, AioMysqlConnector, AsyncpgConnector], sql: Any, params: Any, kind: int, batch: int,
    locks: bool, hasCon: bool, con: Any, /
) -> Awaitable[Tuple[Any, Any, Any, Any]]: ...
# Tavrik.DB._observe's switch: its emit and observed functions, or two Nones.
def _c_observe(emit: Optional[Callable[..., None]], observed: Optional[Callable[..., Awaitable[Any]]], /) -> None: ...
