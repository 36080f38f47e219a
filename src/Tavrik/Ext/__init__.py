"""Tavrik extensions: table creation for the declared models.

Models are classes whose columns are set by their metaclass at run time, and
connections and cursors are the drivers' (untyped): both are ``Any`` here.
"""
from __future__ import annotations

import sqlite3
import warnings
from typing import Any, Coroutine, Dict, List, Optional, Sequence, Tuple

from Tavrik.Error.DriverError import IntegrityError

# An index a table is declared with: (column name, unique).
_Index = Tuple[str, bool]

__all__ = ["SchemaWarning", "generate_table"]


class SchemaWarning(UserWarning):
    """An index or unique constraint a model declares and its existing table
    lacks: generate_table() creates the tables that are missing, and changing
    an existing one is a migration's job."""

    def __init__(self, message: str) -> None:
        super().__init__(message)


def _declared_models() -> List[Any]:
    """Models with columns, the latest declaration of each table name, in
    order of their latest declaration (Korvid and MiddleKorvid left out)."""
    from Tavrik.Model.Korvid import Korvid, MiddleKorvid, _KorvidMeta

    latest: Dict[str, Any] = {}
    for model in _KorvidMeta.ModelList:
        if model is Korvid or model is MiddleKorvid:
            continue
        # A class whose creation failed half-way may lack its columns.
        if not getattr(model, "col", None):
            continue
        name = getattr(model, "tableName", None)
        if not name:
            continue
        latest.pop(name, None)
        latest[name] = model
    return list(latest.values())


def _relation_columns(models: Sequence[Any]) -> List[Tuple[Any, Any]]:
    """(model, column) for every column a relation looks rows up by: the
    target column of each one-to-one and one-to-many relation, and both key
    columns of each junction.  Without an index each lookup, and each
    deletion of a many-to-many save, scans the whole table."""
    from Tavrik.Model.Korvid import MiddleKorvid

    found: List[Tuple[Any, Any]] = []
    for model in models:
        junction = issubclass(model, MiddleKorvid)
        for fk in model.fk:
            try:
                # For a many-to-many relation: the junction's column of the owner.
                found.append((fk.target, fk.targetBindCol))
            except LookupError:
                continue  # a model named by string and not declared (yet): no table to index
            if junction:
                found.append((model, fk.bindCol))
    # Columns compare by identity: == on a column builds a condition.
    return [(m, c) for m, c in found if c is not None and any(c is x for x in getattr(m, "col", None) or ())]


def _declared_indexes(model: Any, relation_columns: Sequence[Tuple[Any, Any]]) -> List[_Index]:
    """(column name, unique) of each index the model's table is declared
    with: unique= and index= columns, and the columns relations look up."""
    cols = list(model.col)
    # A lone primary key has its own index.
    lone_key = sum(1 for c in cols if c.primaryKey) == 1
    wanted = [(c, True) for c in cols if c.unique] + [(c, False) for c in cols if c.index]
    wanted += [(c, False) for m, c in relation_columns if m is model]
    out: Dict[str, bool] = {}
    for c, unique in wanted:
        if not (c.primaryKey and lone_key):
            out.setdefault(c.column, unique)
    return list(out.items())


def _lacking(table: str, column: str, unique: bool, cause: Optional[BaseException] = None) -> None:
    what = "唯一约束" if unique else "索引"
    text = "表 %r 已存在, 但缺少模型声明的%s (列 %r): generate_table() 只创建缺少的表, 修改已有的表需要迁移" % (
        table, what, column)
    if cause is not None:
        text += "; 数据库拒绝创建它: %s" % (cause,)
    warnings.warn(SchemaWarning(text), stacklevel=3)


def generate_table(connector: Any = None) -> Optional[Coroutine[Any, Any, None]]:
    """
        为每个已声明且有列的模型创建尚不存在的表 (CREATE TABLE IF NOT EXISTS)。
        同一表名声明多次时以最后一次为准; Korvid 与 MiddleKorvid 本身不建表。
        connector 默认为数据库句柄 DB.getInstance() 的连接器。
        先创建(并提交)所有缺少的表, 再创建索引; 已有的表缺少声明的索引或唯一约束时
        (或数据库拒绝创建它, 例如已有重复值), 发出 SchemaWarning 指明表与列, 其余照常完成。
        同步连接器: 在 getCon() 的链接上执行并提交, 返回 None。
        异步连接器: 返回一个协程, 它在当前任务的链接上执行这些语句并提交该链接;
        协程完成时表已创建并已提交。
    """
    if connector is None:
        from Tavrik.DB.DB import DB

        connector = DB.getInstance().connector
    from Tavrik.DB.Generator import TableGenerator

    models = _declared_models()
    relation_columns = _relation_columns(models)
    generators = {model: TableGenerator(model, connector) for model in models}
    for model, column in relation_columns:
        generator = generators.get(model)
        if generator is not None:
            generator.index(column)
    creates = [g.sql() for g in generators.values()]
    declared = {model: _declared_indexes(model, relation_columns) for model in models}
    # indexSql() lists a table's indexes in the declared order: unique
    # columns, index= columns, relation columns, each column once.
    indexes = [(model, sql, spec) for model, g in generators.items()
               for sql, spec in zip(g.indexSql(), declared[model])]
    if connector.isAsync:
        return _create_tables(connector, creates, indexes, declared)
    if getattr(connector, "dialect", None) == "mysql":
        _create_pooled_tables(connector, creates, indexes, declared)
        return None
    if getattr(connector, "dialect", None) == "postgresql":
        # Each statement its own transaction, spelled by the connector: a
        # refused index undoes only itself.
        for sql in creates:
            connector.execute(sql)
        for model, sql, (column, unique) in indexes:
            try:
                connector.execute(sql)
            except IntegrityError as e:
                _lacking(model.tableName, column, unique, e)
        return None
    con = connector.getCon()
    # Every missing table first, committed: a failing index cannot keep
    # a later table from being made.
    for sql in creates:
        con.execute(sql)
    con.commit()
    for model, sql, (column, unique) in indexes:
        try:
            con.execute(sql)
        except sqlite3.IntegrityError as e:
            _lacking(model.tableName, column, unique, e)
    con.commit()
    return None


async def _create_tables(connector: Any, creates: Sequence[str], indexes: Sequence[Tuple[Any, str, _Index]],
                         declared: Dict[Any, List[_Index]]) -> None:
    if getattr(connector, "dialect", None) == "postgresql":
        await _create_pg_tables(connector, creates, indexes)
        return
    con = await connector.getCon()
    cursor = await con.cursor()
    try:
        for sql in creates:
            await cursor.execute(sql)
        await con.commit()
        for model, sql, (column, unique) in indexes:
            try:
                await cursor.execute(sql)
            except sqlite3.IntegrityError as e:
                _lacking(model.tableName, column, unique, e)
        if getattr(connector, "dialect", None) == "mysql":
            # MySQL declares indexes inside CREATE TABLE, which an existing
            # table skips: compare with what the table has.
            await _check_mysql_indexes(cursor, declared)
    finally:
        await cursor.close()
    await con.commit()


def _create_pooled_tables(connector: Any, creates: Sequence[str], indexes: Sequence[Tuple[Any, str, _Index]],
                          declared: Dict[Any, List[_Index]]) -> None:
    # A pooled connector (MysqlConnector) commits each statement it runs;
    # without arguments the driver reads the DDL as it is (no `%` formatting).
    for sql in creates:
        connector.execute(sql, args=None)
    for _, sql, _ in indexes:
        connector.execute(sql, args=None)
    for model, wanted in declared.items():
        if wanted:
            _compare_mysql_indexes(model, wanted, connector.execute(_MYSQL_INDEXES_SQL, args=(model.tableName,)))


_MYSQL_INDEXES_SQL = (
    "SELECT INDEX_NAME, NON_UNIQUE, SEQ_IN_INDEX, COLUMN_NAME FROM information_schema.STATISTICS "
    "WHERE TABLE_SCHEMA = DATABASE() AND TABLE_NAME = %s ORDER BY INDEX_NAME, SEQ_IN_INDEX")


async def _create_pg_tables(connector: Any, creates: Sequence[str], indexes: Sequence[Tuple[Any, str, _Index]]) -> None:
    # The statements go through the connector, which spells them for the
    # driver; a refused index rolls back only itself.
    con = await connector.getCon()
    for sql in creates:
        await connector.execute(sql)
    await con.commit()
    for model, sql, (column, unique) in indexes:
        try:
            await connector.execute(sql)
        except IntegrityError as e:
            _lacking(model.tableName, column, unique, e)
    await con.commit()


async def _check_mysql_indexes(cursor: Any, declared: Dict[Any, List[_Index]]) -> None:
    for model, wanted in declared.items():
        if not wanted:
            continue
        await cursor.execute(_MYSQL_INDEXES_SQL, (model.tableName,))
        _compare_mysql_indexes(model, wanted, await cursor.fetchall())


def _compare_mysql_indexes(model: Any, wanted: List[_Index], rows: Sequence[Any]) -> None:
    # MySQL declares indexes inside CREATE TABLE, which an existing table
    # skips: what the table has is compared with what the model declares.
    found: Dict[str, Tuple[bool, List[str]]] = {}
    for name, non_unique, _, column in rows:
        found.setdefault(name, (not int(non_unique), []))[1].append(column)
    for column, unique in wanted:
        if unique:
            ok = any(u and cols == [column] for u, cols in found.values())
        else:
            ok = any(cols[0] == column for _, cols in found.values())
        if not ok:
            _lacking(model.tableName, column, unique)
