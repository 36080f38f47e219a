// The coroutines of the asynchronous connectors.  Each step that touches a
// statement or a row is a C helper (_c_*); only the awaiting is Python.
#include <cstring>
#include "internal.hpp"

namespace tavrik {
namespace conn {

namespace {

const char* kSource = R"PY(
_BUSY_TIMEOUT = 30.0
_BEGIN = "BEGIN IMMEDIATE"


class _ConRequest:
    """
        当前任务的数据库链接。
        await 得到链接; async with 进入时得到同一个链接, 退出时不提交也不回滚:
        事务在任务结束时由连接器提交或回滚 (use_database 自己提交或回滚)。
    """
    __slots__ = ("_connector",)

    def __init__(self, connector):
        self._connector = connector

    def __await__(self):
        return self._connector._taskCon().__await__()

    async def __aenter__(self):
        return await self._connector._taskCon()

    async def __aexit__(self, exc_type, exc, tb):
        return None


async def _c_noop():
    return None


async def _c_drain(self):
    while True:
        tasks = _c_background(self)
        current = asyncio.current_task()
        tasks = [t for t in tasks if t is not current]
        if not tasks:
            return
        await asyncio.wait(tasks)


def _c_release_failed(self, con, commit, exc):
    context = _c_context(self, con) or (None, None)
    _logger.error("任务结束时%s失败: %r; 最后执行的语句: %s || params=%s",
                  "提交" if commit else "回滚", exc, context[0], context[1])


# ------------------------------------------------------------ aiosqlite

async def _sq_taskCon(self):
    task = asyncio.current_task()
    con = _c_task_con(self, task)
    if con:
        return con
    while not _c_reserve(self):
        await asyncio.sleep(0.1)
    try:
        import aiosqlite
        con = await aiosqlite.connect(_c_path(self), timeout=_BUSY_TIMEOUT, isolation_level=None)
    except BaseException:
        _c_unreserve(self)
        raise
    _c_bind(self, task, con)
    return con


async def _sq_execute(self, sql, con, dictCur, args):
    while not self.isReady:
        await asyncio.sleep(0.3)
    if not con:
        con = _c_task_con(self, asyncio.current_task()) or await self._taskCon()
    text = _c_sq_text(self, sql, args)
    if _c_note(self, con, text, args):
        await con.execute(_BEGIN)
    # One trip to the connection's thread per call (a separate cursor() and
    # execute() would take two).
    cursor = await con.execute(text, args)
    rows = await cursor.fetchall()
    if dictCur:
        return _c_dict_rows(cursor, rows)
    return tuple(rows)


async def _sq_asyncProcess(self, executor, hasCon, con):
    while not self.isReady:
        await asyncio.sleep(0.3)
    sql, params, kind, batch = _c_sq_prepare(self, executor)
    if not hasCon:
        con = _c_task_con(self, asyncio.current_task()) or await self._taskCon()
    if _c_note(self, con, sql, params):
        await con.execute(_BEGIN)
    if batch:
        cursor = await con.executemany(sql, params)
    else:
        cursor = await con.execute(sql, params)
    if kind == 0:
        return _c_select(executor, cursor, await cursor.fetchall())
    elif kind == 1:
        if batch:
            # executemany leaves lastrowid unset: the id of the batch's last row.
            await cursor.execute("SELECT last_insert_rowid()")
            raw = (await cursor.fetchone())[0]
        else:
            raw = cursor.lastrowid
    elif kind == 2 or kind == 3:
        # A deletion or update returns no rows, and the executor's result for
        # it does not depend on them: spare the trip to fetch nothing.
        raw = []
    else:
        raw = await cursor.fetchall()
    return _c_process(executor, raw)


async def _sq_getTableNameList(self):
    con = _c_task_con(self, asyncio.current_task()) or await self._taskCon()
    cursor = await con.execute('select tbl_name as name from sqlite_master where type = "table";')
    return [row["name"] for row in _c_dict_rows(cursor, await cursor.fetchall())]


async def _sq_release(self, task, con, commit):
    try:
        try:
            if commit:
                await con.commit()
            else:
                await con.rollback()
        except BaseException as e:
            _c_release_failed(self, con, commit, e)
            raise
        finally:
            await con.close()
    finally:
        _c_forget(self, task, con)


async def _sq_close(self):
    """
        关闭连接器: 等待进行中的释放完成, 回滚并关闭仍被任务持有的链接。
    """
    await _c_drain(self)
    # The map is already emptied: every connection must be closed even when
    # one of them fails (its first error is raised at the end).
    error = None
    for task, con in _c_take_all(self):
        try:
            try:
                await con.rollback()
            finally:
                await con.close()
        except Exception as e:
            if error is None:
                error = e
    if error is not None:
        raise error


# ------------------------------------------------------------ aiomysql

async def _my_init_mysql(self, *args, **kwargs):
    import aiomysql
    pool = await aiomysql.create_pool(*args, **kwargs)
    self.isReady = True
    self._pool = pool


async def _my_wait_pool(self):
    while not self.isReady:
        init = _c_init_task(self)
        if init is None:
            await asyncio.sleep(0.3)
        elif not init.done():
            await asyncio.wait((init,))
        elif init.cancelled():
            raise RuntimeError("MySQL连接池的创建已被取消, 连接器不可用")
        elif init.exception() is not None:
            raise RuntimeError("MySQL连接池创建失败, 连接器不可用: %r" % (init.exception(),)) from init.exception()
        else:
            await asyncio.sleep(0.3)


async def _my_taskCon(self):
    task = asyncio.current_task()
    con = _c_task_con(self, task)
    if con:
        return con
    if not self.isReady:
        await _my_wait_pool(self)
    con = await self._pool.acquire()
    _c_bind(self, task, con)
    return con


async def _my_getSelectCon(self):
    if not self.isReady:
        await _my_wait_pool(self)
    return await self._pool.acquire()


async def _my_execute(self, sql, con, dictCur, args):
    if not con:
        con = _c_task_con(self, asyncio.current_task()) or await self._taskCon()
    async with con.cursor(DictCursor if dictCur else Cursor) as cursor:
        _c_note(self, con, sql, args)
        await cursor.execute(sql, args)
        return await cursor.fetchall()


async def _my_asyncProcess(self, executor, hasCon, con):
    kind = _c_my_kind(executor)
    if not hasCon:
        con = _c_task_con(self, asyncio.current_task()) or await self._taskCon()
    # Rows of a selection are read as tuples and turned into model rows in
    # one step (the same rows a dictionary cursor's dicts would give).
    async with con.cursor(Cursor) as cursor:
        sql, params, batch = _c_my_pair(executor)
        _c_note(self, con, sql, params)
        if batch:
            await cursor.executemany(sql, params)
        else:
            await cursor.execute(sql, params)
        if kind == 0:
            return _c_select(executor, cursor, list(await cursor.fetchall()))
        if kind == 1:
            raw = cursor.lastrowid
        else:
            raw = await cursor.fetchall()
    return _c_process(executor, raw)


async def _my_getTableNameList(self):
    db = self._config.get("db")
    rows = await self.execute(
        "SELECT TABLE_NAME FROM information_schema.`TABLES` WHERE TABLE_SCHEMA = %s;", args=(str(db),))
    return [row[0] for row in rows]


async def _my_release(self, task, con, commit):
    try:
        try:
            if commit:
                await con.commit()
            else:
                await con.rollback()
        except BaseException as e:
            _c_release_failed(self, con, commit, e)
            raise
        finally:
            await self._pool.release(con)
    finally:
        _c_forget(self, task, con)


async def _my_close(self):
    """
        关闭连接器: 等待进行中的释放完成, 回滚并归还仍被任务持有的链接, 关闭连接池。
    """
    init = _c_init_task(self)
    if init is not None and not init.done():
        await asyncio.wait((init,))
    await _c_drain(self)
    pool = self._pool
    # As for SQLite: every connection goes back and the pool is closed even
    # when a rollback fails (its first error is raised at the end).
    error = None
    for task, con in _c_take_all(self):
        try:
            try:
                await con.rollback()
            finally:
                await pool.release(con)
        except Exception as e:
            if error is None:
                error = e
    if pool is not None:
        pool.close()
        await pool.wait_closed()
    if error is not None:
        raise error
)PY";

Ref take(PyObject* m, const char* name) {
    PyObject* v = dict_get(PyModule_GetDict(m), intern(name).get());
    if (!v) {
        PyErr_Format(PyExc_SystemError, "%s missing after module source", name);
        throw_error();
    }
    return borrow(v);
}

void put(PyTypeObject* tp, const char* attr, PyObject* m, const char* name) {
    Ref v = take(m, name);
    // Named as the method it becomes.
    Ref n = new_ref(PyUnicode_FromString(attr));
    setattr(v.get(), "__name__", n.get());
    const char* dot = strrchr(tp->tp_name, '.');
    Ref q = new_ref(PyUnicode_FromFormat("%s.%s", dot ? dot + 1 : tp->tp_name, attr));
    setattr(v.get(), "__qualname__", q.get());
    type_set(tp, attr, v.get());
}

}  // namespace

void init_async_source(PyObject* m) {
    run_source(m, kSource, "<Tavrik.DB.Connector>");
    G.ConRequest = take(m, "_ConRequest");
    G.noop_coro = take(m, "_c_noop");
    G.sq_execute = take(m, "_sq_execute");
    G.sq_asyncProcess = take(m, "_sq_asyncProcess");
    G.sq_release = take(m, "_sq_release");
    G.my_execute = take(m, "_my_execute");
    G.my_asyncProcess = take(m, "_my_asyncProcess");
    G.my_release = take(m, "_my_release");

    put(&AioSqliteConnectorType, "_taskCon", m, "_sq_taskCon");
    put(&AioSqliteConnectorType, "getTableNameList", m, "_sq_getTableNameList");
    put(&AioSqliteConnectorType, "close", m, "_sq_close");
    put(&AioMysqlConnectorType, "_init_mysql", m, "_my_init_mysql");
    put(&AioMysqlConnectorType, "_taskCon", m, "_my_taskCon");
    put(&AioMysqlConnectorType, "getSelectCon", m, "_my_getSelectCon");
    put(&AioMysqlConnectorType, "getTableNameList", m, "_my_getTableNameList");
    put(&AioMysqlConnectorType, "close", m, "_my_close");
}

}  // namespace conn
}  // namespace tavrik
